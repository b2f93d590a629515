// Camera rays: the per-frame primary rays of the path tracer (Sobol-jittered)
// and the tent-filtered rays of the Metropolis start-up.
#pragma once

#include "device/random.h"
#include "render/accumulation.h"
#include "render/path_state.h"
#include "scene/camera.h"

namespace lumenar {

// Scale that keeps a (0, 1] uniform strictly below 1 (the float 0x3F7FFFFE).
constexpr float kBelowOne = 0.99999988f;

struct SamplePosition {
    float px, py;  // continuous position in pixel units
    int pixel;     // index of the final-image pixel, y * W + x
};

// Position of sample (x, y) of the o-times supersampled grid, given the two
// jitter values in (0, 1): sample (x mod o, y mod o) of pixel (x div o,
// y div o) lies in its own 1/o x 1/o cell, so the o x o samples stratify the
// whole pixel. With o = 1: px = x + u1, py = y + u2, centred on the pixel.
LUMENAR_HD inline SamplePosition primarySamplePosition(int x, int y, int sw, int o, float u1, float u2) {
    SamplePosition s;
    s.px = static_cast<float>((x / o) + ((x % o) + static_cast<double>(u1)) / o);
    s.py = static_cast<float>((y / o) + ((y % o) + static_cast<double>(u2)) / o);
    s.pixel = (y / o) * (sw / o) + (x / o);
    return s;
}

// The per-sample work of RayTraceKernelGLOnlyDiffusePDInitSuper. The jitter
// is the first pair of the sample slot's scrambled Sobol points (sample
// stream.index), or with a stream that is not low-discrepancy the slot's
// Sobol states. A pixel the stream leaves out gets an ended path and keeps
// its frame colour.
LUMENAR_HD inline void primaryRay(int x, int y, SobolState* states, const Camera& cam, int sw, Color* frame,
                                  pixelData* paths, int o, const SampleStream& stream = SampleStream()) {
    const int idx = y * sw + x;
    // A pixel that takes no sample sends a path that is dropped at once.
    if (!stream.takesSample(x / o, y / o)) {
        paths[idx].alive = 0;
        return;
    }
    float u1, u2;
    if (stream.lowDiscrepancy) {
        const uint32_t seed = pixelSampleSeed(stream.sequenceSeed, static_cast<uint32_t>(idx));
        uint32_t b1, b2;
        scrambledSobolPairBits(seed, stream.sampleOf((y / o) * (sw / o) + (x / o)), 0, &b1, &b2);
        u1 = uniformFromBits(b1) * kBelowOne;
        u2 = uniformFromBits(b2) * kBelowOne;
    } else {
        u1 = sobolUniform(&states[2 * idx]) * kBelowOne;
        u2 = sobolUniform(&states[2 * idx + 1]) * kBelowOne;
    }
    const SamplePosition sp = primarySamplePosition(x, y, sw, o, u1, u2);
    const float s = sp.px / static_cast<float>(cam.width);
    const float t = sp.py / static_cast<float>(cam.height);
    const Vector3d target = planePoint(cam, s, t);
    pixelData& p = paths[idx];
    p.ray = Ray(cam.rayOrigin, target - cam.rayOrigin);
    p.throughput = Color(1.0f, 1.0f, 1.0f);
    p.pixelIndex = sp.pixel;
    p.alive = 1;
    p.pathIndex = idx;
    frame[sp.pixel] = Color(0.0f, 0.0f, 0.0f);
}

// Writes one camera path per sample of the sw x sh sample grid (sw = o * W,
// sh = o * H) into paths and clears each pixel's frame colour. `hash` is the
// frame seed; the stream (or without one the Sobol states) carries the
// sequence, so it is unused here.
void RayTraceKernelGLOnlyDiffusePDInitSuper(SobolState* states, int hash, Camera cam, int sw, int sh,
                                            Color* frame, pixelData* paths, int o,
                                            const SampleStream& stream = SampleStream());

// Tent filter of the Metropolis start-up: maps (0, 1) onto (-1, 1), peaked at 0.
LUMENAR_HD inline float tent(float u) {
    const float r = 2.0f * u;
    return r < 1.0f ? sqrtf(r) - 1.0f : 1.0f - sqrtf(2.0f - r);
}

// Ray through pixel (x, y) of a W x H image with a tent-filtered offset. The
// generator must be freshly seeded with y * W + x; the first draw goes to the
// vertical coordinate.
LUMENAR_HD inline Ray tentFilteredRay(const Camera& cam, int x, int y, XorwowState* rng) {
    const float u1 = xorwowUniform(rng);
    const float u2 = xorwowUniform(rng);
    const float py = static_cast<float>(y + (static_cast<double>(tent(u1)) + 0.5));
    const float px = static_cast<float>(x + (static_cast<double>(tent(u2)) + 0.5));
    const Vector3d target =
        planePoint(cam, px / static_cast<float>(cam.width), py / static_cast<float>(cam.height));
    return Ray(cam.rayOrigin, target - cam.rayOrigin);
}

}  // namespace lumenar
