#include "render/renderer.h"

#include <chrono>

#include "accel/refit.h"
#include "render/accumulation.h"
#include "render/primary_rays.h"
#include "render/sequence.h"

namespace lumenar {

namespace {
using Clock = std::chrono::steady_clock;
double secondsBetween(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}
std::string deviceError(const char* what) {
    std::string text = std::string(what) + " failed on the device";
    const char* reason = device::lastErrorText();
    if (reason && *reason) text += std::string(": ") + reason;
    return text;
}
}  // namespace

Renderer::Renderer(const FrameResources& resources)
    : res_(resources), accumBuffer_(static_cast<std::size_t>(resources.width) * resources.height) {
    // Cleared once here, so the first frame never averages stale memory.
    if (accumBuffer_) device::fillBytes(accumBuffer_.get(), 0, accumBuffer_.bytes());
}

void Renderer::requestMove(const Vector3d& offset) {
    movableOffset_ = offset;
    movableMoved_ = true;
}

FrameStats Renderer::renderFrame(const Camera& camera, Color* display) {
    FrameStats stats;
    const int W = res_.width, H = res_.height, o = res_.superSampleFactor;
    if (resetAccumulation_) {
        if (!device::fillBytes(accumBuffer_.get(), 0, accumBuffer_.bytes())) {
            stats.error = deviceError("clearing the running sum");
            return stats;
        }
        if (mltEnabled && metroReady()) res_.metro->reset();
        frameCount_ = 0;
        resetAccumulation_ = false;
    }
    const bool metro = mltEnabled && metroReady();
    // The chains trace the static kd-tree: a mesh move waits for path tracing.
    if (movableMoved_ && !metro && res_.movables && res_.bvhNodes) {
        if (!launchUpdateBVH(0, movableOffset_, res_.movables, res_.bvhNodes, res_.scene.wide) ||
            !device::synchronize()) {
            stats.error = deviceError("the BVH refit after moving the mesh");
            return stats;
        }
        movableMoved_ = false;
    }
    frameCount_ += 1;
    const uint32_t hash = sequenceFrameSeed(firstFrame + frameCount_, sequenceSeed);
    const int seed = static_cast<int>(hash);
    if (metro) {
        renderMetroFrame(camera, display, stats);
        return stats;
    }

    const Clock::time_point t0 = Clock::now();
    RayTraceKernelGLOnlyDiffusePDInitSuper(res_.sobolStates, seed, camera, o * W, o * H, display,
                                           res_.pathStates, o);
    if (!device::checkLaunch() || !device::synchronize()) {
        stats.error = deviceError("the camera-ray launch");
        return stats;
    }
    const Clock::time_point t1 = Clock::now();
    stats.bounceLaunches = runBounceLaunches(res_.pathStates, o * o * W * H, [&](int bounce, int n) {
        const Clock::time_point b0 = Clock::now();
        if (fogEnabled || ssEnabled)
            RayTraceKernelGLFinalHackMovSSVol(seed, bounce, res_.scene, fogEnabled, ssEnabled, display,
                                              res_.pathStates, n, o);
        else
            RayTraceKernelGLFinalHackMov(seed, bounce, res_.scene, fogEnabled, ssEnabled, display,
                                         res_.pathStates, n, o);
        const bool ran = device::checkLaunch() && device::synchronize();
        stats.phases.bounces += secondsBetween(b0, Clock::now());
        stats.pathSegments += n;
        if (!ran) stats.error = deviceError("a bounce launch");
        return ran;
    });
    const Clock::time_point t2 = Clock::now();
    if (!stats.error.empty()) return stats;
    AccumulateFrameColor(W, H, static_cast<int>(frameCount_), display, accumBuffer_.get());
    if (!device::checkLaunch() || !device::synchronize()) {
        stats.error = deviceError("the accumulation launch");
        return stats;
    }
    const Clock::time_point t3 = Clock::now();
    stats.phases.primary = secondsBetween(t0, t1);
    stats.phases.compaction = secondsBetween(t1, t2) - stats.phases.bounces;
    stats.phases.accumulate = secondsBetween(t2, t3);
    return stats;
}

void Renderer::renderMetroFrame(const Camera& camera, Color* display, FrameStats& stats) {
    MetroChains& chains = *res_.metro;
    MetroFrameParams p;
    p.frame = frameCount_;
    p.frameSeed = sequenceFrameSeed(firstFrame + frameCount_, sequenceSeed);
    p.salt = chains.salt;
    p.meanLuminance = chains.meanLuminance;
    p.width = res_.width;
    p.height = res_.height;
    const Clock::time_point t0 = Clock::now();
    RayTraceKernelMetro(p, chains.arrays(), accumBuffer_.get(), camera, res_.kdScene);
    if (!device::checkLaunch() || !device::synchronize()) {
        stats.error = deviceError("the Metropolis chain step");
        return;
    }
    chains.updateNormalisation(frameCount_, accumBuffer_.get());
    const Clock::time_point t1 = Clock::now();
    RenderMetroFrame(static_cast<int>(frameCount_), res_.width, res_.height, accumBuffer_.get(), display);
    if (!device::checkLaunch() || !device::synchronize()) {
        stats.error = deviceError("the Metropolis display launch");
        return;
    }
    stats.phases.bounces = secondsBetween(t0, t1);
    stats.phases.accumulate = secondsBetween(t1, Clock::now());
    stats.pathSegments = static_cast<long long>(res_.width) * res_.height;
}

}  // namespace lumenar
