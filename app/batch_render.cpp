#include "app/batch_render.h"

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "device/threads.h"
#include "render/accumulation.h"
#include "render/sequence.h"

namespace lumenar {

FrameResources frameResources(Application& app) {
    FrameResources r;
    BVHTree& bvh = app.bvhTree();
    r.width = app.imageWidth();
    r.height = app.imageHeight();
    r.superSampleFactor = app.settings().superSampleFactor;
    r.sobolStates = app.sobolStates();
    r.pathStates = app.pathStates();
    r.bvhNodes = bvh.deviceNodes.get();
    r.movables = bvh.deviceMovables.get();
    r.lights = app.lightSet().triangles();
    r.lightSet = &app.lightSet();
    static_cast<SceneView&>(r.scene) = app.sceneView();
    r.scene.nodes = bvh.deviceNodes.get();
    r.scene.triIndices = bvh.deviceTriIndices.get();
    r.scene.wide = bvh.wideView();
    // The chains and their kd-tree may still be in the making: the renderer
    // then takes them over once they are published.
    static_cast<SceneView&>(r.kdScene) = app.sceneView();
    MetroHandoff& chains = app.metroHandoff();
    if (chains.pending()) {
        r.metroHandoff = &chains;
    } else if (chains.state() == MetroHandoff::State::Ready) {
        r.kdScene = withTree(r.kdScene, chains.scene);
        r.metro = chains.chains;
    }
    return r;
}

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

void printProgress(int frame, int total, double elapsed, double seconds, double samples,
                   const NoiseLevel* noise, float threshold) {
    const double fps = frame / elapsed;
    const double left = seconds > 0.0 ? seconds - elapsed : total > 0 ? (total - frame) / fps : 0.0;
    if (total > 0)
        std::fprintf(stderr, "\rframe %d/%d  %.2f frames/s  %.2f Msamples/s", frame, total, fps,
                     samples / elapsed * 1e-6);
    else
        std::fprintf(stderr, "\rframe %d  %.2f frames/s  %.2f Msamples/s", frame, fps,
                     samples / elapsed * 1e-6);
    if (seconds > 0.0 || total > 0) std::fprintf(stderr, "  %.0f s left", left > 0 ? left : 0.0);
    if (noise && noise->known) {
        std::fprintf(stderr, "  noise %.4f (worst pixel %.4f", std::sqrt(noise->relativeMse), noise->worst);
        if (threshold > 0.0f) std::fprintf(stderr, ", target %g", threshold);
        std::fprintf(stderr, ")");
        if (noise->sampling < 1.0) std::fprintf(stderr, "  sampling %.0f %%", 100.0 * noise->sampling);
    } else if (noise) {
        std::fprintf(stderr, "  noise -");
    }
    std::fprintf(stderr, "   ");
    std::fflush(stderr);
}

}  // namespace

BatchResult renderBatch(Application& app, const BatchOptions& options) {
    const Clock::time_point called = Clock::now();
    BatchResult result;
    const FrameResources res = frameResources(app);
    const int W = res.width, H = res.height;
    // A scene without triangles is valid (it shows its background); any
    // other scene needs its tree.
    if (app.scene().triangleCount > 0 && (!res.scene.nodes || !res.scene.triIndices)) {
        std::fprintf(stderr, "the scene has no acceleration structure to trace\n");
        return result;
    }
    // Metropolis frames need the chains: wait for them.
    if (options.mlt) app.waitForMetro();
    Renderer renderer(res);
    device::Buffer<Color> display(static_cast<std::size_t>(W) * H);
    if (!renderer.valid() || !display) return result;
    if (options.mlt && !renderer.metroReady()) {
        std::fprintf(stderr, "Metropolis mode is unavailable: its chains were not set up\n");
        return result;
    }
    if (options.mlt && app.settings().metroSalt != metroRunSalt(options.firstFrame, options.seed)) {
        std::fprintf(stderr, "Metropolis chains were seeded for another frame range or seed\n");
        return result;
    }
    const int o = res.superSampleFactor;
    if (!positionSobolStates(res.sobolStates, 2 * o * o * W * H, options.firstFrame, options.seed)) {
        std::fprintf(stderr, "moving the sample sequence to frame %u failed on the device\n",
                     options.firstFrame + 1);
        return result;
    }
    renderer.firstFrame = options.firstFrame;
    renderer.sequenceSeed = options.seed;
    renderer.mltEnabled = options.mlt;
    renderer.mltCombineLargeSteps = options.mltCombined;
    renderer.mltForcedAcceptance = options.mltForcedAcceptance;
    renderer.fogEnabled = options.fog;
    renderer.ssEnabled = options.subsurface;
    if (options.adaptive && options.mlt) {
        std::fprintf(stderr,
                     "adaptive sampling needs path tracing: Metropolis chains splat wherever they go\n");
        return result;
    }
    renderer.adaptive = options.adaptive;
    renderer.noiseThreshold = options.noiseThreshold > 0.0f ? options.noiseThreshold : 0.0f;
    // Subsurface on, as the control panel switches it: material 0 carries the
    // subsurface mark (transparency -1) while it is on.
    Material* const material0 = app.scene().materials.empty() ? nullptr : app.materials();
    const float transparency0 = material0 ? material0->transparency : 0.0f;
    if (options.subsurface && material0) material0->transparency = -1.0f;

    const bool untilNoise = renderer.noiseThreshold > 0.0f;
    // Frames the run may take at most (0: no count, a time or the noise ends it).
    const int maxFrames = options.seconds > 0.0 || untilNoise ? options.frameLimit : options.frames;
    querystats::reset();
    querystats::setEnabled(options.stats);
    const unsigned long long cycles0 = querystats::now();
    const Clock::time_point t0 = Clock::now();
    double lastMeasure = 0.0, hookSeconds = 0.0;
    for (;;) {
        // The filter changes only the displayed bytes: with a frame count it
        // runs on the last frame alone.
        renderer.denoise = options.denoise && (maxFrames <= 0 || result.frames + 1 >= maxFrames);
        const FrameStats fs = renderer.renderFrame(app.scene().camera, display.get());
        if (!fs.ok()) {
            if (options.progress) std::fprintf(stderr, "\n");
            std::fprintf(stderr, "Frame %d: %s\n", result.frames + 1, fs.error.c_str());
            return result;
        }
        if (++result.frames == 1) result.firstFrameSeconds = secondsSince(called);
        result.pathSegments += fs.pathSegments;
        result.bounceLaunches += fs.bounceLaunches;
        result.samples += fs.cameraPaths;
        result.phases += fs.phases;
        double elapsed = secondsSince(t0) - hookSeconds;
        if (options.afterFrame) {
            const Clock::time_point h0 = Clock::now();
            const bool goOn = options.afterFrame(renderer, result.frames, elapsed);
            hookSeconds += secondsSince(h0);
            if (!goOn) break;
        }
        result.noiseTargetReached = renderer.noiseTargetReached();
        if (options.progress) {
            // The noise is measured every few frames anyway with a target or
            // adaptive sampling; otherwise for the progress line, now and then.
            const bool measured = untilNoise || options.adaptive;
            if (!measured && elapsed - lastMeasure >= 0.5) {
                renderer.measureNoise();
                lastMeasure = elapsed;
            }
            printProgress(result.frames, maxFrames, elapsed, options.seconds,
                          static_cast<double>(result.samples), &renderer.noiseLevel(),
                          renderer.noiseThreshold);
        }
        if ((options.seconds > 0.0 && elapsed >= options.seconds) ||
            (maxFrames > 0 && result.frames >= maxFrames) || result.noiseTargetReached ||
            result.frames >= 2147483647 - static_cast<int>(options.firstFrame))
            break;
    }
    result.seconds = secondsSince(t0) - hookSeconds;
    if (options.subsurface && material0) material0->transparency = transparency0;
    const unsigned long long wallCycles = querystats::now() - cycles0;
    querystats::setEnabled(false);
    if (options.progress) std::fprintf(stderr, "\n");
    if (options.stats) {
        const querystats::Totals t = querystats::totals();
        result.closestHits = t.closestHits;
        result.shadowRays = t.shadowRays;
        const double workerCycles = static_cast<double>(wallCycles) * device::hostThreads();
        result.queryShare = workerCycles > 0 ? t.cycles / workerCycles : 0.0;
        result.marchShare = workerCycles > 0 ? t.marchCycles / workerCycles : 0.0;
        result.marchSamples = t.marchSamples;
        result.walkSteps = t.walkSteps;
    }

    // The displayed bytes, the linear average and its noise.
    const std::size_t n = static_cast<std::size_t>(W) * H;
    std::vector<displayVertex> vertices(n);
    std::vector<Color> sum(n);
    if (!device::copyToHost(vertices.data(), display.get(), n * sizeof(displayVertex)) ||
        !device::copyToHost(sum.data(), renderer.accumBuffer(), n * sizeof(Color)) ||
        !renderer.copyEstimate(result.estimate))
        return result;
    result.noise = renderer.noiseLevel();
    result.rgb.resize(n * 3);
    result.average.resize(n);
    // Divided, not multiplied by a rounded reciprocal: the average of a
    // power-of-two frame count is then exactly its sum scaled, and merges of
    // such runs lose nothing. Without adaptive sampling every pixel's count
    // is the frame count.
    for (std::size_t i = 0; i < n; ++i) {
        result.rgb[3 * i + 0] = vertices[i].red;
        result.rgb[3 * i + 1] = vertices[i].green;
        result.rgb[3 * i + 2] = vertices[i].blue;
        result.average[i] = sum[i] / frameDivisor(static_cast<int>(result.estimate.samples[i]));
    }
    result.ok = true;
    return result;
}

}  // namespace lumenar
