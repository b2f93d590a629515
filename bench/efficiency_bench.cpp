// Efficiency of the progressive path tracer: noise reached in a fixed time.
//
// Renders a scene for a fixed time on a given number of threads and compares
// the running average with a long reference render of the same scene:
//
//   error = mean over pixels and channels of (image - ref)^2 / (ref^2 + 0.01)
//
// and prints error x seconds (lower is better: the time needed for a given
// noise scales with it) and samples per second, both on the wall clock and
// on the process's CPU time (which other work on a loaded machine inflates
// far less; with one thread the two agree on an idle one). The reference is rendered
// once, as two halves from independent sample sequences (sequence seeds 1
// and 2; the timed run uses the plain sequence 0), and cached. Its own noise
// is estimated from the halves, (A - B)^2 / 4 on the same scale, and reported
// beside the error ("ref noise"); "net" is the error less that floor.
//
//   lumenar-efficiency-bench [options] scene-folder
//     --seconds S       timed render length (default 10)
//     --frames F        render F frames instead (same samples before and
//                       after a change: the errors compare directly, the
//                       costs by their CPU seconds)
//     --threads N       threads of the timed render (default 1)
//     --ref-frames F    frames of the reference, both halves together (default 2000)
//     --ref-threads N   threads of the reference render (default 0: all cores)
//     --width W --height H
//                       render at this size instead of the scene's (the
//                       scene file is copied with its resolution changed)
//     --lambertian      a copy of the scene with every IOR set to 1 (no
//                       coat reflection: plain diffuse surfaces)
//     --name NAME       name of the variant in the cache and the output
//     --cache DIR       where the scene copies and references live
//                       (default ./efficiency-cache)
//     --adaptive        adaptive sampling (lumenar-render --adaptive)
//     --noise-threshold E
//                       stop once every pixel's estimated relative error is
//                       below E (with --seconds or --frames as a limit)
//     --until-error X   stop once the error against the reference is at
//                       most X (measured after every frame, not timed) and
//                       print when that was
//     --cpu-seconds S   stop once the render has used S seconds of CPU time
//                       (equal work on a machine whose load changes)
//
// Every line also gives the renderer's own estimate of the error, from its
// per-pixel noise estimate ("est", on the same scale against the reference),
// and its ratio to the net error: near 1 when the estimate is honest.
//
// The scene folder must hold a self-contained scene file called "input" (the
// bundled scenes after a build). Timings depend on the machine's load.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/batch_render.h"
#include "app/startup.h"
#include "device/memory.h"
#include "device/threads.h"
#include "render/noise.h"

using namespace lumenar;
namespace fs = std::filesystem;

namespace {

struct Options {
    double seconds = 10.0;
    int frames = 0;
    int threads = 1;
    int refFrames = 2000;
    int refThreads = 0;
    int width = 0, height = 0;
    bool lambertian = false;
    bool adaptive = false;
    float noiseThreshold = 0.0f;
    double untilError = 0.0;
    double cpuSeconds = 0.0;
    std::string name;
    std::string cache = "efficiency-cache";
    std::string scene;
};

bool parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](const char* what) -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s needs a value\n", what);
                return nullptr;
            }
            return argv[++i];
        };
        const char* v = nullptr;
        if (a == "--lambertian") {
            o.lambertian = true;
            continue;
        }
        if (a == "--adaptive") {
            o.adaptive = true;
            continue;
        }
        if (a.rfind("--", 0) == 0) {
            if (!(v = value(a.c_str()))) return false;
            if (a == "--seconds")
                o.seconds = std::atof(v);
            else if (a == "--frames")
                o.frames = std::atoi(v);
            else if (a == "--threads")
                o.threads = std::atoi(v);
            else if (a == "--ref-frames")
                o.refFrames = std::atoi(v);
            else if (a == "--ref-threads")
                o.refThreads = std::atoi(v);
            else if (a == "--width")
                o.width = std::atoi(v);
            else if (a == "--height")
                o.height = std::atoi(v);
            else if (a == "--name")
                o.name = v;
            else if (a == "--cache")
                o.cache = v;
            else if (a == "--noise-threshold")
                o.noiseThreshold = static_cast<float>(std::atof(v));
            else if (a == "--until-error")
                o.untilError = std::atof(v);
            else if (a == "--cpu-seconds")
                o.cpuSeconds = std::atof(v);
            else {
                std::fprintf(stderr, "unknown option %s\n", a.c_str());
                return false;
            }
            continue;
        }
        o.scene = a;
    }
    if (o.scene.empty() || o.seconds <= 0.0 || o.frames < 0 || o.refFrames < 2 ||
        (o.width > 0) != (o.height > 0)) {
        std::fprintf(
            stderr,
            "usage: lumenar-efficiency-bench [--seconds S | --frames F] [--threads N] [--ref-frames F] "
            "[--ref-threads N] [--width W --height H] [--lambertian] [--name NAME] [--cache DIR] "
            "[--adaptive] [--noise-threshold E] [--until-error X] [--cpu-seconds S] scene-folder\n");
        return false;
    }
    if (o.name.empty()) {
        o.name = fs::path(o.scene).filename().string();
        if (o.name.empty()) o.name = fs::path(o.scene).parent_path().filename().string();
        if (o.lambertian) o.name += "-lambertian";
    }
    return true;
}

// The scene file with the requested changes: the "resolution" line replaced,
// every "IOR" line set to 1 for the Lambertian copy.
bool writeVariant(const Options& o, const std::string& out) {
    std::ifstream in(fs::path(o.scene) / "input", std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "%s/input: cannot read the scene file\n", o.scene.c_str());
        return false;
    }
    std::ostringstream text;
    std::string line;
    int iors = 0;
    while (std::getline(in, line)) {
        if (o.width > 0 && line.rfind("resolution ", 0) == 0)
            line = "resolution " + std::to_string(o.width) + " " + std::to_string(o.height);
        else if (o.lambertian && line.rfind("IOR ", 0) == 0) {
            line = "IOR 1";
            ++iors;
        }
        text << line << '\n';
    }
    if (o.lambertian && iors == 0)
        std::fprintf(stderr, "note: %s has no IOR line to change\n", o.scene.c_str());
    std::ofstream f(out, std::ios::binary);
    f << text.str();
    if (!f) {
        std::fprintf(stderr, "%s: cannot write the scene copy\n", out.c_str());
        return false;
    }
    // The files the scene names (textures, the sky) resolve beside the copy.
    std::error_code ec;
    for (const fs::directory_entry& e : fs::directory_iterator(o.scene, ec)) {
        const fs::path link = fs::path(out).parent_path() / e.path().filename();
        if (e.path().filename() == "input" || fs::exists(fs::symlink_status(link, ec))) continue;
        fs::create_symlink(fs::absolute(e.path(), ec), link, ec);
    }
    return true;
}

struct Render {
    bool ok = false;
    int W = 0, H = 0;
    BatchResult r;
    double cpuSeconds = 0.0;  // the process's CPU time during the render
};

double processCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

Render render(const std::string& sceneFile, int threads, const BatchOptions& b) {
    Render out;
    device::ThreadLimit limit(threads);
    Settings settings;
    Application app(settings);
    if (!app.start(sceneFile)) return out;
    const double cpu0 = processCpuSeconds();
    out.r = renderBatch(app, b);
    out.cpuSeconds = processCpuSeconds() - cpu0;
    out.W = app.imageWidth();
    out.H = app.imageHeight();
    out.ok = out.r.ok && out.r.average.size() == static_cast<std::size_t>(out.W) * out.H;
    app.shutdown();
    return out;
}

struct Reference {
    int W = 0, H = 0, frames = 0;
    std::vector<float> mean;  // 3 per pixel
    double noise = 0.0;       // estimated error of the mean itself, on the bench's scale
};

bool readReference(const std::string& path, int frames, Reference& ref) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return false;
    int32_t head[3];
    f.read(reinterpret_cast<char*>(head), sizeof head);
    if (!f || head[2] != frames || head[0] <= 0 || head[1] <= 0) return false;
    ref.W = head[0], ref.H = head[1], ref.frames = head[2];
    f.read(reinterpret_cast<char*>(&ref.noise), sizeof ref.noise);
    ref.mean.resize(static_cast<std::size_t>(ref.W) * ref.H * 3);
    f.read(reinterpret_cast<char*>(ref.mean.data()), static_cast<std::streamsize>(ref.mean.size() * 4));
    return static_cast<bool>(f);
}

bool writeReference(const std::string& path, const Reference& ref) {
    std::ofstream f(path, std::ios::binary);
    const int32_t head[3] = {ref.W, ref.H, ref.frames};
    f.write(reinterpret_cast<const char*>(head), sizeof head);
    f.write(reinterpret_cast<const char*>(&ref.noise), sizeof ref.noise);
    f.write(reinterpret_cast<const char*>(ref.mean.data()),
            static_cast<std::streamsize>(ref.mean.size() * 4));
    return static_cast<bool>(f);
}

// Mean over pixels and channels of d^2 / (ref^2 + 0.01), with d = img - ref,
// or d = img itself when `offset` is false (img is then a difference).
double relativeError(const std::vector<Color>& img, const std::vector<float>& ref, bool offset = true) {
    double sum = 0.0;
    for (std::size_t i = 0; i < img.size(); ++i) {
        const float c[3] = {img[i].r, img[i].g, img[i].b};
        for (int k = 0; k < 3; ++k) {
            const double r = ref[3 * i + k];
            const double d = offset ? c[k] - r : c[k];
            sum += d * d / (r * r + 0.01);
        }
    }
    return img.empty() ? 0.0 : sum / (3.0 * static_cast<double>(img.size()));
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse(argc, argv, o)) return 2;
    std::error_code ec;
    const fs::path dir = fs::absolute(fs::path(o.cache) / o.name, ec);
    fs::create_directories(dir, ec);
    const std::string sceneFile = (dir / "input").string();
    if (!writeVariant(o, sceneFile)) return 1;
    // Relative paths in the scene resolve against its own folder.
    fs::current_path(fs::absolute(o.scene), ec);
    if (ec) {
        std::fprintf(stderr, "%s: cannot enter the scene folder\n", o.scene.c_str());
        return 1;
    }

    const std::string refPath = (dir / "reference.bin").string();
    Reference ref;
    if (!readReference(refPath, o.refFrames, ref)) {
        std::fprintf(stderr, "%s: rendering the reference (%d frames)\n", o.name.c_str(), o.refFrames);
        BatchOptions b;
        b.frames = o.refFrames / 2;
        std::vector<Render> halves;
        for (uint32_t seed : {1u, 2u}) {
            b.seed = seed;
            halves.push_back(render(sceneFile, o.refThreads, b));
            if (!halves.back().ok) {
                std::fprintf(stderr, "%s: the reference render failed\n", o.name.c_str());
                return 1;
            }
        }
        for (const Render& h : halves) {
            double sum = 0.0;
            for (const Color& c : h.r.average) sum += c.r + c.g + c.b;
            std::fprintf(stderr, "%s: reference half of %d frames in %.1f s, mean %.6f\n", o.name.c_str(),
                         h.r.frames, h.r.seconds, sum / (3.0 * static_cast<double>(h.r.average.size())));
        }
        ref.W = halves[0].W, ref.H = halves[0].H, ref.frames = o.refFrames;
        const std::vector<Color>& a = halves[0].r.average;
        const std::vector<Color>& c = halves[1].r.average;
        ref.mean.resize(a.size() * 3);
        std::vector<Color> diff(a.size());
        for (std::size_t i = 0; i < a.size(); ++i) {
            const Color m = (a[i] + c[i]) * 0.5f;
            ref.mean[3 * i] = m.r, ref.mean[3 * i + 1] = m.g, ref.mean[3 * i + 2] = m.b;
            diff[i] = (a[i] - c[i]) * 0.5f;  // (A - B) / 2: the spread of the mean of the two
        }
        ref.noise = relativeError(diff, ref.mean, false);
        if (!writeReference(refPath, ref))
            std::fprintf(stderr, "%s: cannot cache the reference\n", refPath.c_str());
    }

    BatchOptions b;
    if (o.frames > 0)
        b.frames = o.frames;
    else
        b.seconds = o.seconds;
    b.adaptive = o.adaptive;
    b.noiseThreshold = o.noiseThreshold;
    if (o.noiseThreshold > 0.0f) b.frameLimit = o.frames;
    // Watching the error: the average after each frame against the reference
    // (neither the copies nor the sums are timed, on the clock or the CPU).
    double reachedAt = -1.0, reachedCpu = 0.0, hookCpu = 0.0;
    int reachedFrame = 0;
    if (o.cpuSeconds > 0.0 && o.frames == 0) b.seconds = 1e9;  // the CPU time ends it
    if (o.untilError > 0.0 || o.cpuSeconds > 0.0) {
        const double cpuStart = processCpuSeconds();
        b.afterFrame = [&](Renderer& r, int frames, double seconds) {
            const double c0 = processCpuSeconds();
            if (o.cpuSeconds > 0.0 && c0 - cpuStart - hookCpu >= o.cpuSeconds) return false;
            if (o.untilError <= 0.0) return true;
            const std::size_t n = static_cast<std::size_t>(ref.W) * ref.H;
            std::vector<Color> sum(n);
            NoiseEstimate::HostCopy estimate;
            bool ok = device::copyToHost(sum.data(), r.accumBuffer(), n * sizeof(Color)) &&
                      r.copyEstimate(estimate);
            for (std::size_t i = 0; ok && i < n; ++i)
                sum[i] = sum[i] / frameDivisor(static_cast<int>(estimate.samples[i]));
            const bool reached = ok && relativeError(sum, ref.mean) <= o.untilError;
            const double c1 = processCpuSeconds();
            if (reached) {
                reachedAt = seconds;
                reachedCpu = c0 - cpuStart - hookCpu;
                reachedFrame = frames;
            }
            hookCpu += c1 - c0;
            return ok && !reached;
        };
    }
    Render run = render(sceneFile, o.threads, b);
    if (!run.ok || run.W != ref.W || run.H != ref.H) {
        std::fprintf(stderr, "%s: the timed render failed\n", o.name.c_str());
        return 1;
    }
    run.cpuSeconds -= hookCpu;
    const double err = relativeError(run.r.average, ref.mean);
    // The renderer's own estimate of the same error, and what spending the
    // same samples in proportion to each pixel's noise (the allocation that
    // minimises this error) would make of it: (mean s)^2 / mean(s^2) for the
    // per-sample relative noise s.
    double est = 0.0, sSum = 0.0, s2Sum = 0.0;
    std::size_t unknown = 0;
    for (std::size_t i = 0; i < run.r.estimate.variance.size(); ++i) {
        const Color& v = run.r.estimate.variance[i];
        if (v.r < 0.0f) {
            ++unknown;
            continue;
        }
        const float c[3] = {v.r, v.g, v.b};
        double e = 0.0;
        for (int k = 0; k < 3; ++k)
            e += c[k] / (static_cast<double>(ref.mean[3 * i + k]) * ref.mean[3 * i + k] + 0.01) / 3.0;
        est += e;
        const double s2 = e * run.r.estimate.samples[i];
        sSum += std::sqrt(s2);
        s2Sum += s2;
    }
    const double pixelsKnown = static_cast<double>(run.r.estimate.variance.size() - unknown);
    est /= static_cast<double>(run.r.estimate.variance.size() > 0 ? run.r.estimate.variance.size() : 1);
    const double idealGain = s2Sum > 0.0 ? sSum * sSum / (pixelsKnown * s2Sum) : 1.0;
    // The same over tiles of adaptive sampling's size, each at its pixels'
    // mean squared noise (a pixel's own estimate says little).
    const int tx = noiseTilesAlong(run.W), ty = noiseTilesAlong(run.H);
    std::vector<double> tileS2(static_cast<std::size_t>(tx) * ty, 0.0), tileN(tileS2.size(), 0.0);
    for (int y = 0; y < run.H; ++y)
        for (int x = 0; x < run.W; ++x) {
            const std::size_t i = static_cast<std::size_t>(y) * run.W + x;
            const Color& v = run.r.estimate.variance[i];
            if (v.r < 0.0f) continue;
            const float c[3] = {v.r, v.g, v.b};
            double e = 0.0;
            for (int k = 0; k < 3; ++k)
                e += c[k] / (static_cast<double>(ref.mean[3 * i + k]) * ref.mean[3 * i + k] + 0.01) / 3.0;
            const std::size_t t = static_cast<std::size_t>(noiseTileOf(tx, x, y));
            tileS2[t] += e * run.r.estimate.samples[i];
            tileN[t] += 1.0;
        }
    double tSum = 0.0, t2Sum = 0.0;
    for (std::size_t t = 0; t < tileS2.size(); ++t) {
        if (tileN[t] <= 0.0) continue;
        const double s2 = tileS2[t] / tileN[t];
        tSum += tileN[t] * std::sqrt(s2);
        t2Sum += tileN[t] * s2;
    }
    const double tileGain = t2Sum > 0.0 ? tSum * tSum / (pixelsKnown * t2Sum) : 1.0;
    if (getenv("LUMENAR_QUANTILES")) {
        std::vector<double> ss;
        for (std::size_t t = 0; t < tileS2.size(); ++t)
            if (tileN[t] > 0.0) ss.push_back(std::sqrt(tileS2[t] / tileN[t]));
        std::vector<double> sorted = ss;
        std::sort(sorted.begin(), sorted.end());
        for (double q : {0.8, 0.9, 0.95, 0.98, 0.995, 1.0}) {
            const double ref = sorted[static_cast<std::size_t>(q * (sorted.size() - 1))];
            double budget = 0.0, err = 0.0;
            for (double v : ss) {
                const double rate = std::clamp(v / ref, 1.0 / 16.0, 1.0);
                budget += rate;
                err += v * v / rate;
            }
            double uni = 0.0;
            for (double v : ss) uni += v * v;
            std::printf("quantile %.3f: clipped allocation gives %.3f of uniform\n", q,
                        err * budget / (ss.size() * uni));
        }
        // This run's own allocation (per pixel s^2 / n over the uniform's at the same samples).
        double e = 0.0, n = 0.0, u = 0.0;
        for (int y = 0; y < run.H; ++y)
            for (int x = 0; x < run.W; ++x) {
                const std::size_t i = static_cast<std::size_t>(y) * run.W + x;
                const std::size_t t = static_cast<std::size_t>(noiseTileOf(tx, x, y));
                if (tileN[t] <= 0.0) continue;
                const double s2 = tileS2[t] / tileN[t];
                e += s2 / run.r.estimate.samples[i];
                n += run.r.estimate.samples[i];
                u += s2;
            }
        std::printf("this run's allocation: %.3f of uniform's error at the same samples\n",
                    e * n / (pixelsKnown * u));
        for (std::size_t t = 0; t < tileS2.size(); ++t) {
            const int x = static_cast<int>(t % tx) * kNoiseTileSize,
                      y = static_cast<int>(t / tx) * kNoiseTileSize;
            std::printf("tile %zu s %.4f n %u\n", t, std::sqrt(tileS2[t] / std::max(tileN[t], 1.0)),
                        run.r.estimate.samples[static_cast<std::size_t>(y) * run.W + x]);
        }
    }
    const double samples = static_cast<double>(run.r.samples);
    if (o.untilError > 0.0) {
        if (reachedAt >= 0.0)
            std::printf("%-20s reached error %g after %.2f s (%.2f cpu s), frame %d\n", o.name.c_str(),
                        o.untilError, reachedAt, reachedCpu, reachedFrame);
        else
            std::printf("%-20s did not reach error %g (%.6f after %.2f s)\n", o.name.c_str(), o.untilError,
                        err, run.r.seconds);
    }
    std::printf(
        "%-20s noise spread: samples in proportion to it would take the error to %.2f of this (per pixel), "
        "%.2f (per tile)\n",
        o.name.c_str(), idealGain, tileGain);
    std::printf(
        "%-20s %dx%d threads %d: %.2f s, %d frames, %.1f spp, %.3f Msamples/s, error %.6f (ref noise %.6f, "
        "net "
        "%.6f), est %.6f (est / net %.2f%s), error x seconds %.5f (net %.5f); cpu %.2f s, %.3f Msamples/cpu "
        "s, "
        "error x cpu seconds %.5f (net %.5f)\n",
        o.name.c_str(), run.W, run.H, o.threads, run.r.seconds, run.r.frames, samples / (run.W * run.H),
        samples / run.r.seconds * 1e-6, err, ref.noise, err - ref.noise, est, est / (err - ref.noise),
        unknown ? ", some pixels unknown" : "", err * run.r.seconds, (err - ref.noise) * run.r.seconds,
        run.cpuSeconds, samples / run.cpuSeconds * 1e-6, err * run.cpuSeconds,
        (err - ref.noise) * run.cpuSeconds);
    return 0;
}
