// Progressive accumulation: the contribution of one bounce to the frame
// colour, path compaction, and the two kernels that fold a frame into the
// running sum and turn the average into display vertices.
//
// The display buffer holds W x H elements of 12 bytes. While a frame is traced
// each element is the pixel's Color; the accumulation kernels then overwrite
// it with a displayVertex (position and RGBA bytes) that the view draws as one
// point per pixel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "device/atomics.h"
#include "device/hd.h"
#include "render/bounce.h"
#include "render/path_state.h"

namespace lumenar {

struct displayVertex {
    float x, y;  // integer pixel coordinates, no half-pixel offset
    uint8_t red, green, blue, alpha;
};

static_assert(sizeof(displayVertex) == 12 && sizeof(displayVertex) == sizeof(Color),
              "a display vertex reuses one frame colour's bytes");
static_assert(offsetof(displayVertex, y) == 4 && offsetof(displayVertex, red) == 8 &&
                  offsetof(displayVertex, alpha) == 11,
              "display vertex layout: two floats, then red, green, blue, alpha bytes");

// Tone curves: 1/3.5 for path-traced frames, 1/2.2 for Metropolis frames
// (single-precision constants).
constexpr float kPathToneExponent = 0.2857143f;
constexpr float kMetroToneExponent = 0.45454544f;
// The draw call reads alpha as a byte; it is always written as 1.
constexpr uint8_t kDisplayAlpha = 1;

LUMENAR_HD inline bool isFinite(float v) {
    return v - v == 0.0f;  // inf - inf and NaN - NaN are NaN
}
LUMENAR_HD inline bool isFinite(const Color& c) {
    return isFinite(c.r) && isFinite(c.g) && isFinite(c.b);
}

// Byte of a tone-mapped value: saturates above 1, 0 for negatives and NaN,
// otherwise d * 255 truncated.
LUMENAR_HD inline uint8_t displayByte(float d) {
    if (d > 1.0f) return 255;
    if (!(d >= 0.0f)) return 0;
    return static_cast<uint8_t>(static_cast<unsigned int>(d * 255.0f) & 0xffu);
}

LUMENAR_HD inline displayVertex makeDisplayVertex(int x, int y, const Color& average, float exponent) {
    displayVertex v;
    v.x = static_cast<float>(x);
    v.y = static_cast<float>(y);
    v.red = displayByte(powf(average.r, exponent));
    v.green = displayByte(powf(average.g, exponent));
    v.blue = displayByte(powf(average.b, exponent));
    v.alpha = kDisplayAlpha;
    return v;
}

// Replaces the Color in a display element by a display vertex.
LUMENAR_HD inline void storeDisplayVertex(Color* element, const displayVertex& v) {
    memcpy(static_cast<void*>(element), &v, sizeof v);
}

LUMENAR_HD inline float frameDivisor(int frameCount) {
    return static_cast<float>(frameCount < 1 ? 1 : frameCount);
}

// One pixel of AccumulateFrameColor: adds the frame colour to the running
// sum and writes the toned average in the frame colour's place. A frame colour
// that is not finite is left out of the sum, so one bad sample cannot blank a
// pixel until the next reset.
LUMENAR_HD inline void accumulatePixel(int x, int y, int W, int frameCount, Color* frame, Color* accum) {
    const int i = y * W + x;
    const Color f = frame[i];
    if (isFinite(f)) accum[i] = accum[i] + f;
    const Color a = accum[i] / frameDivisor(frameCount);
    storeDisplayVertex(&frame[i], makeDisplayVertex(x, y, a, kPathToneExponent));
}

// One pixel of RenderMetroFrame: the running sum is only read.
LUMENAR_HD inline void metroPixel(int x, int y, int W, int frameCount, const Color* accum, Color* display) {
    const int i = y * W + x;
    const Color a = accum[i] / frameDivisor(frameCount);
    storeDisplayVertex(&display[i], makeDisplayVertex(x, y, a, kMetroToneExponent));
}

LUMENAR_HD inline void addToFrame(Color* frame, int pixel, const Color& c, bool atomic) {
    Color& dst = frame[pixel];
    if (atomic) {
        device::atomicAddFloat(&dst.r, c.r);
        device::atomicAddFloat(&dst.g, c.g);
        device::atomicAddFloat(&dst.b, c.b);
    } else {
        dst = dst + c;
    }
}

// Folds one bounce's result into its path and the frame colour. A non-zero
// radiance adds throughput x radiance / o^2 to the path's pixel, atomically
// when o > 1 (several paths then share a pixel); then the throughput takes
// the factor, the ray moves on and a negative code ends the path. The record
// is written back even for a path that ends.
//
// Non-finite values never reach the image: such a contribution is dropped,
// and a path whose throughput stops being finite is ended.
LUMENAR_HD inline void applyBounceResult(pixelData& path, const BounceResult& r, Color* frame,
                                         int superSampleFactor) {
    if (!r.radiance.isBlack()) {
        const Color c =
            path.throughput * r.radiance / static_cast<float>(superSampleFactor * superSampleFactor);
        if (isFinite(c)) addToFrame(frame, path.pixelIndex, c, superSampleFactor > 1);
    }
    path.throughput = path.throughput * r.factor;
    path.ray = r.next;
    if (r.code < 0 || !isFinite(path.throughput)) path.alive = 0;
}

// Where a frame's pixel samples sit in the low-discrepancy sequence: sample
// `index` (the frame number less one, counted over the whole run, so a frame
// draws the same numbers whatever range renders it) of sequence
// `sequenceSeed`. Without lowDiscrepancy every number is pseudo-random (the
// previews). With pixelSamples (adaptive sampling, where pixels take
// different numbers of samples) a pixel's sample is index + its count so
// far instead, so every pixel draws the first points of its own sequence.
struct SampleStream {
    uint32_t index = 0;
    uint32_t sequenceSeed = 0;
    bool lowDiscrepancy = false;
    const uint32_t* pixelSamples = nullptr;
    // Adaptive sampling: the pixels of tiles marked 0 (square tiles of
    // 2^tileShift pixels, tilesX to a row) take no sample this frame.
    const uint8_t* activeTiles = nullptr;
    int tilesX = 0;
    int tileShift = 0;
    LUMENAR_HD uint32_t sampleOf(int pixel) const {
        return pixelSamples ? index + pixelSamples[pixel] : index;
    }
    LUMENAR_HD bool takesSample(int x, int y) const {
        return !activeTiles || activeTiles[(y >> tileShift) * tilesX + (x >> tileShift)] != 0;
    }
};

// One thread of a bounce launch: seeds the path's generator (from its
// identity and the bounce, not from the slot it was compacted into), traces the
// path's ray with trace(ray, bounce, throughput, draws) -> BounceResult (the
// throughput so far, for the roulette; draws a PathSampleDraws over the
// generator and the pixel sample's Sobol points; a tracer that takes neither
// is called as trace(ray, bounce, rng)) and folds the result into the path
// and the frame.
template <class Trace>
LUMENAR_HD void bouncePathItem(int i, int frameSeed, int bounce, pixelData* paths, Color* frame,
                               int superSampleFactor, const Trace& trace,
                               const SampleStream& stream = SampleStream()) {
    pixelData p = paths[i];
    XorwowState rng;
    xorwowInit(bounceSeed(frameSeed, bounce, p.pathIndex), &rng);
    BounceResult r;
    if constexpr (std::is_invocable_v<const Trace&, const Ray&, int, const Color&, PathSampleDraws&>) {
        PathSampleDraws draws{&rng};
        if (stream.lowDiscrepancy) {
            draws.pixelSeed = pixelSampleSeed(stream.sequenceSeed, static_cast<uint32_t>(p.pathIndex));
            draws.sampleIndex = stream.sampleOf(p.pixelIndex);
            draws.bounce = bounce;
        }
        r = trace(p.ray, bounce, p.throughput, draws);
    } else {
        r = trace(p.ray, bounce, &rng);
    }
    applyBounceResult(p, r, frame, superSampleFactor);
    paths[i] = p;
}

// Adds the frame colours to accum, divides by frameCount, tones with the
// path-tracing curve and overwrites each frame colour with its display
// vertex. W x H pixel grid.
void AccumulateFrameColor(int W, int H, int frameCount, Color* frame, Color* accum);

// Display vertices of the Metropolis average accum / frameCount with the
// Metropolis curve; accum is not changed. W x H pixel grid: nothing outside
// the image is read or written.
void RenderMetroFrame(int frameCount, int W, int H, const Color* accum, Color* display);

// Removes ended paths (IsTerminated) from paths[0, count) in place, keeping
// the survivors' order; returns how many remain.
int compactPaths(pixelData* paths, int count);

// Most bounce launches one frame runs.
constexpr int kMaxBounceLaunches = 99;

// The bounce loop of a path-traced frame: launch(bounce, count) advances the
// first count paths by one bounce, then the ended ones are compacted away;
// stops when none is left or after kMaxBounceLaunches launches. Returns the
// number of launches.
template <class LaunchBounce>
int runBounceLaunches(pixelData* paths, int count, LaunchBounce&& launch) {
    int launches = 0;
    for (int bounce = 0; bounce < kMaxBounceLaunches && count > 0; ++bounce) {
        // A launcher that returns false (a device fault) ends the frame.
        if constexpr (std::is_same_v<decltype(launch(bounce, count)), bool>) {
            if (!launch(bounce, count)) return launches + 1;
        } else {
            launch(bounce, count);
        }
        ++launches;
        count = compactPaths(paths, count);
    }
    return launches;
}

}  // namespace lumenar
