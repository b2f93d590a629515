// Rendering a loaded scene without a window: a number of frames or a time
// budget, with a progress line and an optional frame-time breakdown.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "app/startup.h"
#include "render/renderer.h"

namespace lumenar {

// The frame resources of a started application.
FrameResources frameResources(Application& app);

struct BatchOptions {
    int frames = 16;       // frames to render (ignored when seconds > 0 or with a noise threshold)
    double seconds = 0.0;  // render until this much time has passed (at least one frame)
    int frameLimit = 0;    // with seconds or a noise threshold: stop after this many frames too (0: none)
    // Stop once every pixel's estimated relative error is below this (0: no
    // such target); whichever of the limits comes first ends the run.
    float noiseThreshold = 0.0f;
    bool adaptive = false;    // adaptive sampling (path tracing; Renderer::adaptive)
    bool progress = false;    // a progress line on standard error
    bool stats = false;       // time the ray queries
    bool fog = false;         // attenuate by the scene's medium (Renderer::fogEnabled)
    bool subsurface = false;  // subsurface walks in material 0, marked as the control panel does
    bool mlt = false;         // Metropolis light transport instead of path tracing
    bool mltCombined =
        false;  // Metropolis splats with the combined estimator (Renderer::mltCombineLargeSteps)
    int mltForcedAcceptance = kMetroForcedAcceptance;  // Renderer::mltForcedAcceptance
    // Place in the sample sequence: the run renders frames firstFrame + 1,
    // firstFrame + 2, ... of sequence `seed` (render/sequence.h). Metropolis
    // runs need Settings::metroSalt = metroRunSalt(firstFrame, seed) at start-up.
    uint32_t firstFrame = 0;
    uint32_t seed = 0;
    bool denoise = false;  // the displayed bytes (rgb) through the preview denoiser; average stays raw
    // Called after each frame with the renderer, the frames so far and the
    // seconds of rendering so far (the hook's own time is not counted);
    // returning false ends the run there. For benchmarks that watch a run.
    std::function<bool(Renderer&, int, double)> afterFrame;
};

struct BatchResult {
    bool ok = false;
    int frames = 0;
    double seconds = 0.0;
    double firstFrameSeconds = 0.0;  // from the call until the first frame was done
    long long pathSegments = 0;      // bounce-kernel path records traced
    int bounceLaunches = 0;
    long long samples = 0;       // camera paths traced (frames x pixels x o^2 without adaptive sampling)
    FramePhaseTimes phases;      // summed over all frames
    std::vector<uint8_t> rgb;    // displayed image, 8-bit RGB, row 0 at the bottom
    std::vector<Color> average;  // linear running average (sum / samples), row 0 at the bottom
    // The noise estimate, row 0 at the bottom: the variance of each pixel's
    // mean (negative where it is not known), each pixel's sample count
    // (frames, without adaptive sampling) and what merges add up.
    NoiseEstimate::HostCopy estimate;
    NoiseLevel noise;                 // the image's noise at the end
    bool noiseTargetReached = false;  // the run stopped because every pixel reached the threshold
    // Ray-query counts and time share (only with stats).
    unsigned long long closestHits = 0;
    unsigned long long shadowRays = 0;
    double queryShare = 0.0;  // share of worker time spent in ray queries
    double marchShare = 0.0;  // share of worker time spent marching the fog (its shadow rays included)
    unsigned long long marchSamples = 0;
    unsigned long long walkSteps = 0;
};

BatchResult renderBatch(Application& app, const BatchOptions& options);

}  // namespace lumenar
