// Runs progressive frames: pending reset and refit, the frame seed, primary
// rays, bounce launches with compaction between them, and the accumulation
// into a caller-given display buffer. The window and the headless renderer
// both drive it; it knows nothing of either.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "accel/device_layout.h"
#include "device/memory.h"
#include "device/random.h"
#include "render/accumulation.h"
#include "render/denoise.h"
#include "render/metro_handoff.h"
#include "render/metropolis.h"
#include "render/noise.h"
#include "render/path_state.h"
#include "render/tracer.h"
#include "scene/camera.h"

namespace lumenar {

// Everything a frame reads that start-up made; the Renderer does not own it.
struct FrameResources {
    int width = 0;              // W
    int height = 0;             // H
    int superSampleFactor = 1;  // o
    SobolState* sobolStates = nullptr;
    pixelData* pathStates = nullptr;  // o * o * W * H records
    DynamicBVHNodeProp* bvhNodes = nullptr;
    Movable* movables = nullptr;  // managed: the refit writes the offset
    // The scene's light triangles (scene.lights, writable): a move places the
    // movable object's emissive triangles anew.
    deviceLightTriangle* lights = nullptr;
    // Builds the light set anew when an emission has changed (at the next
    // restart of the average); null: the records stay as they were made.
    LightSetBuffers* lightSet = nullptr;
    DynamicScene scene{};
    MetroChains* metro = nullptr;  // Metropolis chains; null or not ready: no Metropolis mode
    KdScene kdScene{};             // what the chains trace
    // Chains still being made: taken over (chains and kd-tree) at the first
    // frame boundary after they are published. Until then, and for good if
    // they fail, frames are path traced whatever mltEnabled says.
    MetroHandoff* metroHandoff = nullptr;
};

// Wall-clock seconds of a frame's phases. Kernels are synchronised before
// each phase ends, so on a GPU the split holds as well.
struct FramePhaseTimes {
    double primary = 0.0;     // camera rays
    double bounces = 0.0;     // bounce launches (queries, shading, sampling)
    double compaction = 0.0;  // removing ended paths between launches
    double accumulate = 0.0;  // running sum and display vertices
    FramePhaseTimes& operator+=(const FramePhaseTimes& o) {
        primary += o.primary;
        bounces += o.bounces;
        compaction += o.compaction;
        accumulate += o.accumulate;
        return *this;
    }
};

struct FrameStats {
    // Empty when the frame ran; otherwise what went wrong on the device (the
    // frame's image is then incomplete and the caller should stop).
    std::string error;
    bool ok() const { return error.empty(); }
    // The frame was given up at a cancel request: nothing of it reached the
    // running sum (or, in Metropolis mode, the average restarts) and its
    // display buffer holds nothing to show.
    bool cancelled = false;
    int bounceLaunches = 0;
    long long pathSegments = 0;  // path records traced over all launches
    long long cameraPaths = 0;   // samples the frame took (fewer than the pixels' with adaptive sampling)
    FramePhaseTimes phases;
};

class Renderer {
 public:
    // Allocates the running sum (W x H colours, cleared).
    explicit Renderer(const FrameResources& resources);
    Renderer(const Renderer&) = delete;
    Renderer& operator=(const Renderer&) = delete;

    bool valid() const { return static_cast<bool>(accumBuffer_) && noise_.valid(); }

    // Any change of view, mesh, material or mode restarts the average.
    void requestReset() { resetAccumulation_ = true; }
    // Requests movable object 0 at the given total translation; applied before
    // the next frame of either mode, and the average restarts.
    void requestMove(const Vector3d& offset);
    // Turns the scene's environment image about +y (radians) for both modes
    // and restarts the average; nothing to turn without one.
    void setEnvironmentRotation(float radians);
    // Aims light `light` of the scene's lights block (a sun: the way its
    // light travels; a spot: its axis) along `direction`, for both modes
    // from the next frame on, and restarts the average. Nothing happens for
    // a light the scene does not have, a direction of no length, or without
    // the light set's records (FrameResources::lightSet).
    void setLightDirection(int light, const Vector3d& direction);

    // Runs one frame into display (W x H elements of 12 bytes): afterwards
    // each element is the pixel's display vertex.
    FrameStats renderFrame(const Camera& camera, Color* display);

    // A quick look at the image before the first full frame after a restart:
    // one path per block x block pixels (block 2 or 4), upsampled into display
    // vertices. Applies a pending reset and move like renderFrame, but leaves
    // the running sum and the frame count alone and draws nothing from the
    // sample sequences the full frames use, so the converged image is the same
    // with or without previews. Path tracing only; in Metropolis mode it
    // renders nothing and returns with cancelled set.
    FrameStats renderPreview(const Camera& camera, Color* display, int block);

    // Asked before each bounce launch and Metropolis band: when it returns
    // true the frame stops there and returns with cancelled set. Empty: never.
    void setCancelCheck(std::function<bool()> check) { cancelCheck_ = std::move(check); }
    uint32_t frameCount() const { return frameCount_; }
    bool resetPending() const { return resetAccumulation_; }
    bool movePending() const { return movableMoved_; }
    const Color* accumBuffer() const { return accumBuffer_.get(); }
    // The per-pixel noise estimate beside the running sum (both modes).
    const NoiseEstimate& noise() const { return noise_; }
    // The estimate on the host (measured now if the last check is older).
    bool copyEstimate(NoiseEstimate::HostCopy& out);
    // The image's noise as of the last check (measured after every few
    // frames while a target or adaptive sampling is on, and on request).
    const NoiseLevel& noiseLevel() const { return noise_.level(); }
    // Measures it now (a few launches).
    const NoiseLevel& measureNoise();
    // A noise threshold is set and every pixel's estimated relative error
    // is below it.
    bool noiseTargetReached() const {
        const NoiseLevel& l = noise_.level();
        return noiseThreshold > 0.0f && l.known && l.frame == frameCount_ && l.worst <= noiseThreshold;
    }
    const FrameResources& resources() const { return res_; }

    bool fogEnabled = false;
    bool ssEnabled = false;
    // Frames advance the Metropolis chains instead of tracing paths (when the
    // chains are ready). Switching it, or switching fog or subsurface
    // scattering, restarts the average at the next frame.
    bool mltEnabled = false;
    // Metropolis frames splat with the combined estimator of the chains and
    // their large steps (MetroFrameParams::combineLargeSteps). Switching it
    // restarts the average at the next frame.
    bool mltCombineLargeSteps = false;
    // In the first kMetroForcedWarmUp frames after a restart, a chain
    // rejected this many times in a row accepts its next proposal
    // (metroForcedAcceptance; 0: never). Changing it restarts the average at
    // the next frame.
    int mltForcedAcceptance = kMetroForcedAcceptance;
    bool metroReady() const { return res_.metro && res_.metro->ready(); }
    // The chains are still being made (they may yet become ready).
    bool metroPending() const { return res_.metroHandoff && res_.metroHandoff->pending(); }
    // There are chains, or there will be.
    bool metroExpected() const {
        return metroReady() ||
               (res_.metroHandoff && res_.metroHandoff->state() != MetroHandoff::State::Failed);
    }
    // Where the frames sit in the sample sequence: frame k after a reset
    // draws with the seed of frame firstFrame + k of sequence sequenceSeed
    // (render/sequence.h). The Sobol states must stand at the same place.
    uint32_t firstFrame = 0;
    uint32_t sequenceSeed = 0;
    // The displayed image goes through the preview denoiser (the running sum
    // does not). Switching it needs no restart.
    bool denoise = false;
    // Adaptive sampling (path tracing): after kAdaptiveMinFrames frames, the
    // tiles whose pixels reached their target take no more samples (see
    // chooseActiveTiles); each pixel keeps its own sample count, so its
    // average stays its own mean. Switching it needs no restart.
    bool adaptive = false;
    // The relative error every pixel is to reach (0: none): adaptive sampling
    // stops the tiles below it, and noiseTargetReached() says when all are.
    float noiseThreshold = 0.0f;
    // The display darkens the pixels that no longer take samples.
    bool samplingOverlay = false;

 private:
    FrameResources res_;
    device::Buffer<Color> accumBuffer_;
    uint32_t frameCount_ = 0;
    bool resetAccumulation_ = false;
    bool movableMoved_ = false;
    bool lightsChanged_ = false;  // a light of the lights block was edited: build the records anew
    Vector3d movableOffset_;
    // The mode and media of the last frame that ran: a frame with others
    // starts a new average (the chains' target has changed).
    bool lastMetro_ = false, lastFog_ = false, lastSs_ = false, lastCombine_ = false;
    int lastForced_ = kMetroForcedAcceptance;
    bool anyFrame_ = false;
    std::function<bool()> cancelCheck_;
    device::Buffer<Color> coarse_;  // preview colours, one per block
    Denoiser denoiser_;
    bool guidesStale_ = true;
    NoiseEstimate noise_;
    device::Buffer<Color> meanVariance_;  // what the denoiser reads
    bool checkNoise(bool metro);

    bool cancelRequested() const { return cancelCheck_ && cancelCheck_(); }
    // Takes over chains that have been published meanwhile.
    void adoptMetro();
    // The media a frame applies, from the switches and the scene.
    MediaFlags frameMedia() const {
        MediaFlags m;
        m.fog = fogEnabled;
        m.inscatter = fogEnabled && res_.scene.inscatter;
        m.subsurface = ssEnabled;
        return m;
    }
    bool applyPending(FrameStats& stats);
    // The light set made anew from the materials as they are now, for both
    // modes (the environment keeps its rotation).
    bool rebuildLights();
    // One bounce of paths [0, count): false after a device fault (error set)
    // or a cancel (cancelled set).
    bool launchBounce(int seed, int bounce, Color* frame, int count, int o, FrameStats& stats,
                      const SampleStream& stream = SampleStream());
    bool denoiseDisplay(const Camera& camera, Color* display, float exponent, FrameStats& stats);
    void renderMetroFrame(const Camera& camera, Color* display, FrameStats& stats);
};

// The preview's launches: camera paths through the blocks of a block x block
// grid (colours in coarse, cleared), and the upsampling of coarse into W x H
// display vertices (bilinear between block centres).
void launchCoarsePrimaryRays(int seed, const Camera& cam, int W, int H, int block, Color* coarse,
                             pixelData* paths);
void launchUpsampleCoarse(int W, int H, int block, const Color* coarse, Color* display);

}  // namespace lumenar
