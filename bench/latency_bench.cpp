// Edit-to-picture latency of the window's frame loop, without a window.
//
// For each scene it injects edits (a camera step, a slider move, a mesh
// move) at random moments while frames render and measures the time until
// the display side first holds a picture that reflects the edit, and how
// often the display side gets to draw:
//
//   inline  - frames rendered on the display thread itself, one after the
//             other (the display draws after each frame);
//   thread  - frames on the render thread (RenderWorker) with previews after
//             each edit; the display side looks for new pictures every 10 ms
//             and copies the newest, as the view does.
//
//   lumenar-latency-bench [--threads N] [--edits N] scene-folder...
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/batch_render.h"
#include "app/render_worker.h"
#include "app/startup.h"
#include "device/threads.h"

using namespace lumenar;
using Clock = std::chrono::steady_clock;

namespace {

double msSince(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

struct Summary {
    std::vector<double> latencies;  // ms
    double displayRate = 0.0;       // pictures drawn (or display-loop turns) per second
    double percentile(double p) const {
        if (latencies.empty()) return 0.0;
        std::vector<double> v = latencies;
        std::sort(v.begin(), v.end());
        return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
    }
    double mean() const {
        double s = 0.0;
        for (double l : latencies) s += l;
        return latencies.empty() ? 0.0 : s / static_cast<double>(latencies.size());
    }
};

// The three kinds of edit, applied to a renderer (and a camera).
void applyEdit(int kind, int n, Renderer& r, Camera& camera, Material* materials) {
    switch (kind % 3) {
        case 0:
            camera.moveForward((n % 2) ? 0.05f : -0.05f);
            break;
        case 1:
            if (materials) materials[0].roughness = static_cast<float>(n % 10) / 10.0f;
            break;
        default:
            r.requestMove(Vector3d(0.0f, 0.0f, (n % 2) ? -0.05f : 0.0f));
            break;
    }
    r.requestReset();
}

Summary inlineLoop(Application& app, int edits, std::mt19937& rng) {
    Renderer renderer(frameResources(app));
    Camera camera = app.scene().camera;
    device::Buffer<Color> display(static_cast<std::size_t>(renderer.resources().width) *
                                  static_cast<std::size_t>(renderer.resources().height));
    std::vector<Color> shown(display.size());
    Summary s;
    std::atomic<bool> pending{false};
    std::atomic<long long> injectedAt{0};
    const Clock::time_point t0 = Clock::now();
    std::thread injector([&] {
        std::uniform_real_distribution<double> gap(0.1, 0.4);
        for (int i = 0; i < edits; ++i) {
            std::this_thread::sleep_for(std::chrono::duration<double>(gap(rng)));
            while (pending.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            injectedAt.store(
                std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0).count());
            pending.store(true);
        }
    });
    long long draws = 0;
    int applied = 0;
    const Clock::time_point start = Clock::now();
    while (applied < edits) {
        // Events are handled between frames only.
        bool edited = false;
        long long at = 0;
        if (pending.load()) {
            at = injectedAt.load();
            applyEdit(applied, applied, renderer, camera, app.materials());
            edited = true;
        }
        if (!renderer.renderFrame(camera, display.get()).ok()) break;
        device::copyToHost(shown.data(), display.get(), display.bytes());
        ++draws;
        if (edited) {
            const double now = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
            s.latencies.push_back(now - static_cast<double>(at) / 1000.0);
            ++applied;
            pending.store(false);
        }
    }
    s.displayRate = static_cast<double>(draws) / (msSince(start) / 1000.0);
    injector.join();
    return s;
}

Summary threadLoop(Application& app, int edits, std::mt19937& rng) {
    Renderer renderer(frameResources(app));
    Camera camera = app.scene().camera;
    RenderWorker worker(renderer, camera);
    Summary s;
    if (!worker.start()) return s;
    std::vector<Color> shown(static_cast<std::size_t>(worker.width()) *
                             static_cast<std::size_t>(worker.height()));
    std::uniform_real_distribution<double> gap(0.1, 0.4);
    long long turns = 0;
    Material* materials = app.materials();
    const Clock::time_point start = Clock::now();
    Clock::time_point nextEdit =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(gap(rng)));
    int injected = 0;
    uint64_t waitingFor = 0;
    Clock::time_point injectedAt;
    // The display loop: look for a newer picture every 10 ms and copy it.
    while (static_cast<int>(s.latencies.size()) < edits && !worker.failed()) {
        if (waitingFor == 0 && injected < edits && Clock::now() >= nextEdit) {
            const int n = injected++;
            injectedAt = Clock::now();
            switch (n % 3) {
                case 0:
                    camera.moveForward((n % 2) ? 0.05f : -0.05f);
                    worker.setCamera(camera);
                    break;
                case 1: {
                    const float v = static_cast<float>(n % 10) / 10.0f;
                    worker.post([materials, v](Renderer&) {
                        if (materials) materials[0].roughness = v;
                    });
                    break;
                }
                default: {
                    const Vector3d offset(0.0f, 0.0f, (n % 2) ? -0.05f : 0.0f);
                    worker.post([offset](Renderer& r) { r.requestMove(offset); });
                    break;
                }
            }
            waitingFor = worker.editsPosted();
        }
        FrameInfo info;
        const Color* frame = worker.takeNewest(&info);
        if (frame) device::copyToHost(shown.data(), frame, shown.size() * sizeof(Color));
        ++turns;
        if (waitingFor != 0 && info.edits >= waitingFor) {
            s.latencies.push_back(msSince(injectedAt));
            waitingFor = 0;
            nextEdit = Clock::now() +
                       std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(gap(rng)));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    s.displayRate = static_cast<double>(turns) / (msSince(start) / 1000.0);
    worker.stop();
    return s;
}

void print(const char* scene, const char* loop, const Summary& s) {
    std::printf(
        "%-10s %-7s edits %3zu  latency ms: mean %7.1f  median %7.1f  p90 %7.1f  max %7.1f  display "
        "%6.1f/s\n",
        scene, loop, s.latencies.size(), s.mean(), s.percentile(0.5), s.percentile(0.9),
        s.latencies.empty() ? 0.0 : *std::max_element(s.latencies.begin(), s.latencies.end()), s.displayRate);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    int threads = 2;
    int edits = 30;
    std::vector<std::string> scenes;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--threads" && i + 1 < argc)
            threads = std::atoi(argv[++i]);
        else if (a == "--edits" && i + 1 < argc)
            edits = std::atoi(argv[++i]);
        else if (a == "--help" || a == "-h") {
            std::printf("lumenar-latency-bench [--threads N] [--edits N] scene-folder...\n");
            return 0;
        } else
            scenes.push_back(a);
    }
    if (scenes.empty()) {
        std::fprintf(stderr, "lumenar-latency-bench: name at least one scene folder\n");
        return 2;
    }
    device::ThreadLimit limit(threads);
    std::printf("CPU backend, %d threads; %d edits per loop, 0.1-0.4 s apart\n", device::hostThreads(),
                edits);
    for (const std::string& folder : scenes) {
        Settings settings;
        Application app(settings);
        const std::string input = folder + "/input";
        if (!app.start(input)) {
            std::fprintf(stderr, "%s: cannot start the scene\n", input.c_str());
            return 1;
        }
        const std::string name = folder.substr(folder.find_last_of('/') + 1);
        std::mt19937 rng(7);
        print(name.c_str(), "inline", inlineLoop(app, edits, rng));
        print(name.c_str(), "thread", threadLoop(app, edits, rng));
        app.shutdown();
    }
    return 0;
}
