// The render thread: edits reach the renderer between frames and in order,
// an edit cancels the frame in flight, key repeats collapse into one camera,
// and the average it builds is the one a plain frame loop builds.
#include "app/render_worker.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/batch_render.h"
#include "app/controls.h"
#include "app/startup.h"
#include "device/threads.h"

using namespace lumenar;

namespace {

constexpr int kW = 32;
constexpr int kH = 24;

std::string smallDefaultScene() {
    std::ifstream in(std::string(LUMENAR_SOURCE_DIR) + "/scenes/default/input", std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    std::string text = s.str();
    const std::size_t at = text.find("resolution 256 256");
    if (at == std::string::npos) return std::string();
    text.replace(at, 18, "resolution " + std::to_string(kW) + " " + std::to_string(kH));
    const std::string path = testing::TempDir() + "lumenar_worker_scene_" + std::to_string(getpid());
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

struct Started {
    Settings settings;
    Application app{settings};
    std::unique_ptr<Renderer> renderer;
    bool start() {
        testing::internal::CaptureStdout();
        const bool ok = app.start(smallDefaultScene());
        testing::internal::GetCapturedStdout();
        if (!ok) return false;
        renderer = std::make_unique<Renderer>(frameResources(app));
        return renderer->valid();
    }
    ~Started() {
        renderer.reset();
        testing::internal::CaptureStdout();
        app.shutdown();
        testing::internal::GetCapturedStdout();
    }
};

// Waits (bounded) until the newest finished frame satisfies done.
template <class Done>
bool waitForFrame(RenderWorker& worker, FrameInfo* info, Done done) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < limit && !worker.failed()) {
        worker.takeNewest(info);
        if (info->sequence > 0 && done(*info)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

// A gate the render thread waits at before a chosen frame.
struct Gate {
    std::mutex m;
    std::condition_variable cv;
    int framesStarted = 0;
    int holdAt = -1;  // frame (1-based) that waits until released
    bool released = false;
    void beforeFrame() {
        std::unique_lock<std::mutex> lock(m);
        ++framesStarted;
        cv.notify_all();
        if (framesStarted == holdAt) cv.wait(lock, [&] { return released; });
    }
    void waitUntilHeld() {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return framesStarted >= holdAt; });
    }
    void release() {
        std::lock_guard<std::mutex> lock(m);
        released = true;
        cv.notify_all();
    }
};

}  // namespace

TEST(RenderWorker, EditsArriveInOrderBetweenFramesAndCancelTheFrameInFlight) {
    device::ThreadLimit threads(2);
    Started s;
    ASSERT_TRUE(s.start());
    RenderWorker worker(*s.renderer, s.app.scene().camera);
    worker.setPreviews(false);
    Gate gate;
    gate.holdAt = 3;
    worker.setBeforeFrame([&] { gate.beforeFrame(); });
    ASSERT_TRUE(worker.start());

    // Frame 3 is about to run: the edits come in while it is in flight.
    gate.waitUntilHeld();
    std::vector<int> order;  // written on the render thread only
    std::vector<uint32_t> frameWhenApplied;
    for (int i = 0; i < 3; ++i)
        worker.post([&order, &frameWhenApplied, i](Renderer& r) {
            order.push_back(i);
            frameWhenApplied.push_back(r.frameCount());
        });
    worker.post([](Renderer& r) { r.fogEnabled = true; });
    const uint64_t posted = worker.editsPosted();
    EXPECT_EQ(posted, 4u);
    gate.release();

    FrameInfo info;
    ASSERT_TRUE(waitForFrame(worker, &info, [&](const FrameInfo& f) {
        return f.edits >= posted && f.frameCount >= 2;
    })) << worker.error();
    worker.stop();
    // The held frame was given up rather than finished.
    EXPECT_GE(worker.cancelledFrames(), 1u);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    // Applied between frames: all before the same frame, after frame 2 had
    // finished; the restart then starts the average again.
    ASSERT_EQ(frameWhenApplied.size(), 3u);
    EXPECT_EQ(frameWhenApplied[0], 2u);
    EXPECT_EQ(frameWhenApplied[2], 2u);
    EXPECT_TRUE(s.renderer->fogEnabled);
    EXPECT_GE(s.renderer->frameCount(), 2u);
    EXPECT_LE(s.renderer->frameCount(), info.frameCount + 1u);
}

TEST(RenderWorker, KeyRepeatsCollapseIntoOneCamera) {
    device::ThreadLimit threads(2);
    Started s;
    ASSERT_TRUE(s.start());
    Camera camera = s.app.scene().camera;
    RenderWorker worker(*s.renderer, camera);
    Gate gate;
    gate.holdAt = 2;
    worker.setBeforeFrame([&] { gate.beforeFrame(); });
    Controls controls(camera, s.app.materials(), static_cast<int>(s.app.scene().materials.size()),
                      s.app.volumes(), s.app.scene().volumeCount, worker, s.settings);
    ASSERT_TRUE(worker.start());
    gate.waitUntilHeld();
    for (int i = 0; i < 20; ++i) controls.keyPress('W');
    const Camera expected = camera;
    const uint64_t posted = worker.editsPosted();
    gate.release();
    FrameInfo info;
    ASSERT_TRUE(waitForFrame(worker, &info, [&](const FrameInfo& f) { return f.edits >= posted; }));
    const uint64_t cancelled = worker.cancelledFrames();
    worker.stop();
    // Twenty presses, one restart: at most the held frame was cancelled.
    EXPECT_LE(cancelled, 1u);
    // The first picture with the new camera starts a new average.
    EXPECT_TRUE(info.previewBlock > 0 || info.frameCount <= 2) << info.frameCount;
    // What the render thread renders is the camera after all twenty steps.
    Camera last = s.app.scene().camera;
    for (int i = 0; i < 20; ++i) last.moveForward(Controls::kMoveStep);
    EXPECT_EQ(std::memcmp(&last, &expected, sizeof(Camera)), 0);
}

// The frames of the render thread, previews and all, add up to the average a
// plain loop of the same frames makes, bit for bit.
TEST(RenderWorker, AverageIsTheOneAPlainFrameLoopMakes) {
    device::ThreadLimit threads(2);
    std::vector<Color> threaded;
    uint32_t frames = 0;
    {
        Started s;
        ASSERT_TRUE(s.start());
        RenderWorker worker(*s.renderer, s.app.scene().camera);
        ASSERT_TRUE(worker.start());
        FrameInfo info;
        ASSERT_TRUE(waitForFrame(worker, &info, [&](const FrameInfo& f) { return f.frameCount >= 4; }));
        worker.stop();
        frames = s.renderer->frameCount();
        threaded.assign(s.renderer->accumBuffer(), s.renderer->accumBuffer() + kW * kH);
        // The last finished frame is the one the average ends with.
        worker.takeNewest(&info);
        EXPECT_EQ(info.frameCount, frames);
    }
    Started s;
    ASSERT_TRUE(s.start());
    std::vector<Color> display(static_cast<std::size_t>(kW) * kH);
    for (uint32_t i = 0; i < frames; ++i)
        ASSERT_TRUE(s.renderer->renderFrame(s.app.scene().camera, display.data()).ok());
    EXPECT_EQ(std::memcmp(threaded.data(), s.renderer->accumBuffer(), threaded.size() * sizeof(Color)), 0)
        << "after " << frames << " frames";
}

// Stopping while frames run and edits keep coming ends cleanly, as often as
// it is asked; a worker that was never started stops at once.
TEST(RenderWorker, StopsCleanlyWhileBusy) {
    device::ThreadLimit threads(2);
    Started s;
    ASSERT_TRUE(s.start());
    {
        RenderWorker idle(*s.renderer, s.app.scene().camera);
        idle.stop();
    }
    for (int round = 0; round < 3; ++round) {
        RenderWorker worker(*s.renderer, s.app.scene().camera);
        ASSERT_TRUE(worker.start());
        std::thread editor([&] {
            for (int i = 0; i < 50; ++i) {
                worker.post([](Renderer& r) { r.fogEnabled = !r.fogEnabled; });
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
        FrameInfo info;
        for (int i = 0; i < 20; ++i) worker.takeNewest(&info);
        editor.join();
        worker.stop();
        worker.stop();
        EXPECT_FALSE(worker.failed()) << worker.error();
    }
}

// The adaptive switch and the sampling overlay reach the renderer between
// frames without restarting the average; once tiles stop sampling, the
// shown picture darkens them.
TEST(RenderWorker, AdaptiveSamplingSwitchesWithoutARestart) {
    device::ThreadLimit threads(2);
    Started s;
    ASSERT_TRUE(s.start());
    RenderWorker worker(*s.renderer, s.app.scene().camera);
    worker.setPreviews(false);
    ASSERT_TRUE(worker.start());
    FrameInfo info;
    ASSERT_TRUE(waitForFrame(worker, &info, [](const FrameInfo& f) { return f.frameCount >= 2; }));
    const uint64_t edits = worker.editsPosted();
    worker.setSampling(true, true);
    // Tiles are chosen from frame 16 on, every few frames.
    ASSERT_TRUE(waitForFrame(worker, &info, [&](const FrameInfo& f) {
        return f.frameCount >= static_cast<uint32_t>(kAdaptiveMinFrames + 3 * kAdaptiveInterval);
    }));
    worker.stop();
    EXPECT_EQ(worker.editsPosted(), edits);  // no restart was asked for
    EXPECT_TRUE(s.renderer->adaptive);
    EXPECT_TRUE(s.renderer->samplingOverlay);
    NoiseEstimate::HostCopy estimate;
    ASSERT_TRUE(s.renderer->copyEstimate(estimate));
    uint32_t fewest = 0xffffffffu, most = 0;
    for (uint32_t n : estimate.samples) fewest = std::min(fewest, n), most = std::max(most, n);
    EXPECT_EQ(most, s.renderer->frameCount());  // one average all along
    ASSERT_LT(fewest, most) << "no tile stopped sampling";
    // The shown frame is the last one: its idle pixels are darkened and tinted.
    worker.takeNewest(&info);
    ASSERT_EQ(info.frameCount, s.renderer->frameCount());
    const Color* shown = worker.takeNewest(&info);
    int tinted = 0;
    for (int i = 0; i < kW * kH; ++i) {
        if (estimate.samples[i] == most) continue;
        displayVertex v;
        std::memcpy(&v, &shown[i], sizeof v);
        tinted += v.blue >= 60 && v.red <= 85 ? 1 : 0;
    }
    EXPECT_GT(tinted, 0);
}
