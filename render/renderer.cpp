#include "render/renderer.h"

#include <chrono>
#include <cmath>

#include "accel/refit.h"
#include "device/launch.h"
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
    noise_.allocate(resources.width, resources.height);
    adoptMetro();
}

void Renderer::adoptMetro() {
    MetroHandoff* h = res_.metroHandoff;
    if (!h || h->pending()) return;
    if (h->state() == MetroHandoff::State::Ready) {
        res_.kdScene = withTree(res_.kdScene, h->scene);
        res_.metro = h->chains;
    }
    res_.metroHandoff = nullptr;
}

void Renderer::setEnvironmentRotation(float radians) {
    const float c = std::cos(radians), sn = std::sin(radians);
    for (EnvironmentView* v : {&res_.scene.lights.env.view, &res_.kdScene.lights.env.view}) {
        v->cosRotation = c;
        v->sinRotation = sn;
    }
    requestReset();
}

void Renderer::setLightDirection(int light, const Vector3d& direction) {
    LightSetBuffers* set = res_.lightSet;
    const Vector3d d = normalize(direction);
    if (!set || light < 0 || light >= set->sceneLightCount() || !std::isfinite(d.x) || !std::isfinite(d.y) ||
        !std::isfinite(d.z))
        return;
    SceneLight l = set->sceneLight(light);
    l.direction = d;
    set->setSceneLight(light, l);
    lightsChanged_ = true;
    requestReset();
}

void Renderer::requestMove(const Vector3d& offset) {
    movableOffset_ = offset;
    movableMoved_ = true;
    resetAccumulation_ = true;
}

bool Renderer::applyPending(FrameStats& stats) {
    // Chains made ready since the last frame: Metropolis mode, if it is on,
    // starts with this frame.
    adoptMetro();
    // A change of mode or medium changes what the running sum estimates.
    const bool metroNow = mltEnabled && metroReady();
    if (anyFrame_ &&
        (metroNow != lastMetro_ || fogEnabled != lastFog_ || ssEnabled != lastSs_ ||
         (metroNow && (mltCombineLargeSteps != lastCombine_ || mltForcedAcceptance != lastForced_))))
        resetAccumulation_ = true;
    anyFrame_ = true;
    lastMetro_ = metroNow;
    lastFog_ = fogEnabled;
    lastSs_ = ssEnabled;
    lastCombine_ = mltCombineLargeSteps;
    lastForced_ = mltForcedAcceptance;
    // Chains whose normalisation was estimated with other media (at start-up
    // the chains are set up without fog or subsurface walks) estimate it anew.
    const MediaFlags media = frameMedia();
    if (metroNow && (res_.metro->media.fog != media.fog || res_.metro->media.subsurface != media.subsurface ||
                     res_.metro->media.inscatter != media.inscatter))
        resetAccumulation_ = true;
    const bool restarted = resetAccumulation_;
    if (resetAccumulation_) {
        if (!device::fillBytes(accumBuffer_.get(), 0, accumBuffer_.bytes()) || !noise_.clear()) {
            stats.error = deviceError("clearing the running sum");
            return false;
        }
        if (mltEnabled && metroReady()) {
            res_.metro->reset();
            res_.metro->media = frameMedia();
        }
        frameCount_ = 0;
        resetAccumulation_ = false;
        guidesStale_ = true;
    }
    // Both modes trace the movable object through the refitted BVH.
    if (movableMoved_ && res_.movables && res_.bvhNodes) {
        if (!launchUpdateBVH(0, movableOffset_, res_.movables, res_.bvhNodes, res_.scene.wide) ||
            !launchMoveLights(0, res_.movables, res_.scene.triangles, res_.lights,
                              res_.scene.lights.triangleCount) ||
            !device::synchronize()) {
            stats.error = deviceError("the BVH refit after moving the mesh");
            return false;
        }
        movableMoved_ = false;
        guidesStale_ = true;
    }
    // Adaptive sampling switched off: every pixel samples again.
    if ((!adaptive || metroNow) && noise_.anyTileIdle() && !noise_.activateAll()) {
        stats.error = deviceError("resuming every pixel's samples");
        return false;
    }
    // An edited emission or light (every edit restarts the average)
    // reaches the light samples: which triangles are lights, what they send
    // and how often each is chosen.
    if (restarted && res_.lightSet &&
        (lightsChanged_ || res_.lightSet->emissionChanged(res_.scene.materials))) {
        if (!rebuildLights()) {
            stats.error = "the light records cannot be rebuilt after a light or an emission changed";
            return false;
        }
        lightsChanged_ = false;
    }
    return true;
}

bool Renderer::rebuildLights() {
    if (!res_.lightSet->build(res_.scene.materials, res_.lightSet->materialCount())) return false;
    LightSet fresh = res_.lightSet->view();
    fresh.env.view = res_.scene.lights.env.view;  // turned as it is now
    res_.scene.lights = fresh;
    res_.kdScene.lights = fresh;
    res_.lights = res_.lightSet->triangles();
    guidesStale_ = true;
    return true;
}

bool Renderer::checkNoise(bool metro) {
    AdaptivePolicy policy;
    policy.threshold = noiseThreshold > 0.0f ? noiseThreshold : 0.0f;
    return noise_.check(accumBuffer_.get(), frameCount_, metro, adaptive && !metro ? &policy : nullptr);
}

const NoiseLevel& Renderer::measureNoise() {
    // Measuring leaves the tiles that sample as they are until the next
    // scheduled choice.
    if (frameCount_ > 0 && noise_.level().frame != frameCount_)
        noise_.check(accumBuffer_.get(), frameCount_, lastMetro_, nullptr);
    return noise_.level();
}

bool Renderer::copyEstimate(NoiseEstimate::HostCopy& out) {
    measureNoise();
    return noise_.copyToHost(accumBuffer_.get(), frameCount_, lastMetro_, out);
}

FrameStats Renderer::renderFrame(const Camera& camera, Color* display) {
    FrameStats stats;
    const int W = res_.width, H = res_.height, o = res_.superSampleFactor;
    if (!applyPending(stats)) return stats;
    if (cancelRequested()) {
        stats.cancelled = true;
        return stats;
    }
    const bool metro = mltEnabled && metroReady();
    frameCount_ += 1;
    const uint32_t hash = sequenceFrameSeed(firstFrame + frameCount_, sequenceSeed);
    const int seed = static_cast<int>(hash);
    // Frame k of the run (from 1) is pixel sample k - 1 of every pixel.
    SampleStream stream;
    stream.index = firstFrame + static_cast<uint32_t>(frameCount_) - 1u;
    stream.sequenceSeed = sequenceSeed;
    stream.lowDiscrepancy = true;
    if (adaptive && !metro) {
        // Each pixel draws the next point of its own sequence.
        stream.index = firstFrame;
        stream.pixelSamples = noise_.counts();
        noise_.limitStream(stream);
    }
    if (metro) {
        renderMetroFrame(camera, display, stats);
        if (stats.ok() && !stats.cancelled && denoise)
            denoiseDisplay(camera, display, kMetroToneExponent, stats);
        return stats;
    }

    const Clock::time_point t0 = Clock::now();
    RayTraceKernelGLOnlyDiffusePDInitSuper(res_.sobolStates, seed, camera, o * W, o * H, display,
                                           res_.pathStates, o, stream);
    if (!device::checkLaunch() || !device::synchronize()) {
        stats.error = deviceError("the camera-ray launch");
        return stats;
    }
    const Clock::time_point t1 = Clock::now();
    // Pixels whose tile no longer samples send no path.
    const int live = noise_.dropInactivePaths(res_.pathStates, o * o * W * H);
    stats.cameraPaths = live;
    stats.bounceLaunches = runBounceLaunches(res_.pathStates, live, [&](int bounce, int n) {
        const Clock::time_point b0 = Clock::now();
        const bool ran = launchBounce(seed, bounce, display, n, o, stats, stream);
        stats.phases.bounces += secondsBetween(b0, Clock::now());
        return ran;
    });
    const Clock::time_point t2 = Clock::now();
    if (stats.cancelled) {
        // The frame never happened: the next one takes its number, so the
        // sequence of frame seeds is the same as without the cancel.
        frameCount_ -= 1;
        return stats;
    }
    if (!stats.error.empty()) return stats;
    noise_.accumulate(display, accumBuffer_.get());
    if (!device::checkLaunch() || !device::synchronize()) {
        stats.error = deviceError("the accumulation launch");
        return stats;
    }
    // With a target or adaptive sampling, the noise is measured (and the
    // tiles chosen) every few frames once every pixel has enough samples.
    if ((adaptive || noiseThreshold > 0.0f) && frameCount_ >= static_cast<uint32_t>(kAdaptiveMinFrames) &&
        (frameCount_ - kAdaptiveMinFrames) % kAdaptiveInterval == 0 && !checkNoise(false)) {
        stats.error = deviceError("measuring the noise");
        return stats;
    }
    const Clock::time_point t3 = Clock::now();
    stats.phases.primary = secondsBetween(t0, t1);
    stats.phases.compaction = secondsBetween(t1, t2) - stats.phases.bounces;
    stats.phases.accumulate = secondsBetween(t2, t3);
    if (denoise) denoiseDisplay(camera, display, kPathToneExponent, stats);
    if (samplingOverlay && stats.ok()) {
        noise_.overlay(display);
        if (!device::checkLaunch() || !device::synchronize())
            stats.error = deviceError("the sampling overlay");
    }
    return stats;
}

bool Renderer::launchBounce(int seed, int bounce, Color* frame, int count, int o, FrameStats& stats,
                            const SampleStream& stream) {
    // On the CPU a launch runs in stretches of paths, so a cancel waits for
    // one stretch at most; which stretch a path is in changes nothing it
    // draws or adds (its numbers come from its own identity).
#if defined(LUMENAR_BACKEND_CUDA)
    const int stretch = count;
#else
    constexpr int kStretch = 16384;
    const int stretch = kStretch;
#endif
    for (int begin = 0; begin < count; begin += stretch) {
        // A cancelled frame ends here, before its colours reach the sum.
        if (cancelRequested()) {
            stats.cancelled = true;
            return false;
        }
        const int n = count - begin < stretch ? count - begin : stretch;
        pixelData* paths = res_.pathStates + begin;
        RayTraceKernelGLFinalHackMov(seed, bounce, res_.scene, frameMedia(), frame, paths, n, o, stream);
        if (!device::checkLaunch() || !device::synchronize()) {
            stats.error = deviceError("a bounce launch");
            return false;
        }
        stats.pathSegments += n;
    }
    return true;
}

bool Renderer::denoiseDisplay(const Camera& camera, Color* display, float exponent, FrameStats& stats) {
    if (!denoiser_.valid() && !denoiser_.allocate(res_.width, res_.height)) {
        stats.error = "the denoiser's buffers cannot be allocated";
        return false;
    }
    if (guidesStale_) {
        denoiser_.computeGuides(camera, res_.scene);
        if (!device::checkLaunch() || !device::synchronize()) {
            stats.error = deviceError("the denoiser's guide rays");
            return false;
        }
        guidesStale_ = false;
    }
    // The filter reads the noise estimate as of this frame.
    const bool metro = lastMetro_;
    const std::size_t n = static_cast<std::size_t>(res_.width) * static_cast<std::size_t>(res_.height);
    if (!meanVariance_) meanVariance_ = device::Buffer<Color>(n);
    if (!meanVariance_) {
        stats.error = "the denoiser's buffers cannot be allocated";
        return false;
    }
    measureNoise();
    noise_.varianceOfMeans(accumBuffer_.get(), metro, meanVariance_.get());
    denoiser_.filter(accumBuffer_.get(), static_cast<int>(frameCount_), exponent, display,
                     meanVariance_.get(), metro ? nullptr : noise_.counts());
    if (!device::checkLaunch() || !device::synchronize()) {
        stats.error = deviceError("the denoiser");
        return false;
    }
    return true;
}

FrameStats Renderer::renderPreview(const Camera& camera, Color* display, int block) {
    FrameStats stats;
    const int W = res_.width, H = res_.height;
    if (block < 2) block = 2;
    if (!applyPending(stats)) return stats;
    if ((mltEnabled && metroReady()) || cancelRequested()) {
        stats.cancelled = true;
        return stats;
    }
    // Sized for the finest preview (2 x 2 blocks), which every coarser one fits.
    const int cw = (W + block - 1) / block, ch = (H + block - 1) / block;
    const std::size_t finest = static_cast<std::size_t>((W + 1) / 2) * static_cast<std::size_t>((H + 1) / 2);
    if (!coarse_) coarse_ = device::Buffer<Color>(finest);
    if (!coarse_) {
        stats.error = "the preview buffer cannot be allocated";
        return stats;
    }
    // A seed no full frame uses: previews draw from their own streams.
    const int seed =
        static_cast<int>(WangHash(frameCount_ + 1u) ^ (0x68bc21ebu * static_cast<uint32_t>(block)));
    const Clock::time_point t0 = Clock::now();
    launchCoarsePrimaryRays(seed, camera, W, H, block, coarse_.get(), res_.pathStates);
    if (!device::checkLaunch() || !device::synchronize()) {
        stats.error = deviceError("the preview's camera-ray launch");
        return stats;
    }
    const Clock::time_point t1 = Clock::now();
    stats.bounceLaunches = runBounceLaunches(res_.pathStates, cw * ch, [&](int bounce, int n) {
        return launchBounce(seed, bounce, coarse_.get(), n, 1, stats);
    });
    const Clock::time_point t2 = Clock::now();
    if (stats.cancelled || !stats.ok()) return stats;
    launchUpsampleCoarse(W, H, block, coarse_.get(), display);
    if (!device::checkLaunch() || !device::synchronize()) {
        stats.error = deviceError("the preview's upsampling");
        return stats;
    }
    stats.phases.primary = secondsBetween(t0, t1);
    stats.phases.bounces = secondsBetween(t1, t2);
    stats.phases.accumulate = secondsBetween(t2, Clock::now());
    return stats;
}

void launchCoarsePrimaryRays(int seed, const Camera& cam, int W, int H, int block, Color* coarse,
                             pixelData* paths) {
    const int cw = (W + block - 1) / block, ch = (H + block - 1) / block;
    const Camera c = cam;
    device::launchPixelGrid(
        cw, ch, LUMENAR_LAMBDA(int x, int y) {
            const int idx = y * cw + x;
            XorwowState rng;
            xorwowInit(bounceSeed(seed ^ 0x2545f491, 0, idx), &rng);
            // Anywhere in the block's part of the image.
            const float bw = static_cast<float>(x * block + block <= W ? block : W - x * block);
            const float bh = static_cast<float>(y * block + block <= H ? block : H - y * block);
            const float px = static_cast<float>(x * block) + xorwowUniform(&rng) * kBelowOne * bw;
            const float py = static_cast<float>(y * block) + xorwowUniform(&rng) * kBelowOne * bh;
            const Vector3d target =
                planePoint(c, px / static_cast<float>(c.width), py / static_cast<float>(c.height));
            pixelData& p = paths[idx];
            p.ray = Ray(c.rayOrigin, target - c.rayOrigin);
            p.throughput = Color(1.0f, 1.0f, 1.0f);
            p.pixelIndex = idx;
            p.alive = 1;
            p.pathIndex = idx;
            coarse[idx] = Color(0.0f, 0.0f, 0.0f);
        });
}

void launchUpsampleCoarse(int W, int H, int block, const Color* coarse, Color* display) {
    const int cw = (W + block - 1) / block, ch = (H + block - 1) / block;
    device::launchPixelGrid(
        W, H, LUMENAR_LAMBDA(int x, int y) {
            // Position in block units, measured from the first block's centre.
            const float fx =
                fminf(fmaxf((static_cast<float>(x) + 0.5f) / static_cast<float>(block) - 0.5f, 0.0f),
                      static_cast<float>(cw - 1));
            const float fy =
                fminf(fmaxf((static_cast<float>(y) + 0.5f) / static_cast<float>(block) - 0.5f, 0.0f),
                      static_cast<float>(ch - 1));
            const int x0 = static_cast<int>(fx), y0 = static_cast<int>(fy);
            const int x1 = x0 + 1 < cw ? x0 + 1 : x0, y1 = y0 + 1 < ch ? y0 + 1 : y0;
            const float ax = fx - static_cast<float>(x0), ay = fy - static_cast<float>(y0);
            const Color top = coarse[y0 * cw + x0] * (1.0f - ax) + coarse[y0 * cw + x1] * ax;
            const Color bottom = coarse[y1 * cw + x0] * (1.0f - ax) + coarse[y1 * cw + x1] * ax;
            Color c = top * (1.0f - ay) + bottom * ay;
            if (!isFinite(c)) c = Color(0.0f, 0.0f, 0.0f);
            storeDisplayVertex(&display[y * W + x], makeDisplayVertex(x, y, c, kPathToneExponent));
        });
}

void Renderer::renderMetroFrame(const Camera& camera, Color* display, FrameStats& stats) {
    MetroChains& chains = *res_.metro;
    // Chains restarted in a scene that was black have no normalisation yet:
    // a large-step frame splats with a provisional one, and the estimate its
    // proposals give rescales the sum afterwards (updateNormalisation), so
    // the first frame after the restart already shows the light.
    if (!(chains.meanLuminance > 0.0f) && isLargeStep(frameCount_, kMetroLargeStepPeriod))
        chains.meanLuminance = 1.0f;
    MetroFrameParams p;
    p.frame = frameCount_;
    p.frameSeed = sequenceFrameSeed(firstFrame + frameCount_, sequenceSeed);
    p.salt = chains.salt;
    p.meanLuminance = chains.meanLuminance;
    p.width = res_.width;
    p.height = res_.height;
    p.combineLargeSteps = mltCombineLargeSteps;
    p.forcedAcceptance = metroForcedAcceptance(frameCount_, mltForcedAcceptance);
    KdScene scene = res_.kdScene;
    scene.media = frameMedia();
    const Clock::time_point t0 = Clock::now();
    // The chains step in bands of rows, so a cancel waits for one band only.
    const int band = res_.height > 8 ? (res_.height + 7) / 8 : res_.height;
    for (int row = 0; row < res_.height; row += band) {
        if (cancelRequested()) {
            // Some chains have splatted this frame and others not: the
            // average cannot go on from here.
            stats.cancelled = true;
            resetAccumulation_ = true;
            return;
        }
        RayTraceKernelMetro(p, chains.arrays(), accumBuffer_.get(), camera, scene, row,
                            row + band < res_.height ? row + band : res_.height);
        if (!device::checkLaunch() || !device::synchronize()) {
            stats.error = deviceError("the Metropolis chain step");
            return;
        }
    }
    const float normalisation = chains.meanLuminance;
    chains.updateNormalisation(frameCount_, accumBuffer_.get());
    // The running sum was rescaled by the new normalisation over the old;
    // the estimate follows it.
    const float scale = normalisation > 0.0f && chains.meanLuminance != normalisation
                            ? chains.meanLuminance / normalisation
                            : 1.0f;
    noise_.metroFrame(frameCount_, accumBuffer_.get(), scale);
    if (!device::checkLaunch() || !device::synchronize()) {
        stats.error = deviceError("the Metropolis noise estimate");
        return;
    }
    if (noiseThreshold > 0.0f && frameCount_ >= 2u * kMetroNoiseBatch &&
        frameCount_ % kMetroNoiseBatch == 0 && !checkNoise(true)) {
        stats.error = deviceError("measuring the noise");
        return;
    }
    const Clock::time_point t1 = Clock::now();
    RenderMetroFrame(static_cast<int>(frameCount_), res_.width, res_.height, accumBuffer_.get(), display);
    if (!device::checkLaunch() || !device::synchronize()) {
        stats.error = deviceError("the Metropolis display launch");
        return;
    }
    stats.phases.bounces = secondsBetween(t0, t1);
    stats.phases.accumulate = secondsBetween(t1, Clock::now());
    stats.pathSegments = static_cast<long long>(res_.width) * res_.height;
    stats.cameraPaths = stats.pathSegments;
}

}  // namespace lumenar
