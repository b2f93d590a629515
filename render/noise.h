// The noise of the running average, estimated per pixel beside it, and the
// adaptive sampling and noise targets that read the estimate.
//
// The estimate works on units: a pixel's samples in path tracing, batches of
// kMetroNoiseBatch frames in Metropolis mode (whose frames are correlated
// through the chains, so single frames would understate the noise). Per
// pixel it keeps
//   - the number of units n and the sum of their values (the running sum);
//   - m2, the sum of squared deviations of the units from their mean
//     (Welford's update, taken from the running sum itself, so a constant
//     pixel reads 0): m2 / (n (n - 1)) is the variance of the mean if the
//     units were independent;
//   - the sums of its first P / 4, P / 2 and P units, P the largest power of
//     two not above n.
// The camera jitter and first bounce draw stratified (quasi-random) numbers,
// and a pixel's first 2^k samples are a stratified set of their own, so the
// mean converges faster than independent units would: m2 alone overstates
// its error (1.6 times on the default box at 32 frames, 5 times on the edge
// of a lamp seen head on). With v_m the variance of the mean of m units, the
// two halves of the first P differ by H with E[H^2 / 4] = v_{P/2} - v_P,
// and the quarters of the first P / 2 by Q with E[Q^2 / 4] = v_{P/4} -
// v_{P/2}. Where the variance falls by a steady ratio r per doubling, r is
// their quotient and v_P = (H^2 / 4) / (r - 1) (r = 2 for independent units
// gives the usual estimate); from P to n it falls by r^log2(n / P). The
// halves and quarters say little per pixel, so r and the ratio of this
// estimate to m2's (the stratification gain, between kMinStratificationGain
// and 1) are taken over a tile and its eight neighbours, and a pixel's
// estimate is m2's variance times its tile's gain.
//
// Errors are relative, on the scale the benchmarks measure: a pixel's squared
// relative error is the mean over its channels of var / (mean^2 + 0.01), so
// pixels darker than 0.1 count against an absolute floor rather than their
// own (near-zero) brightness.
#pragma once

#include <cstdint>
#include <vector>

#include "device/hd.h"
#include "device/memory.h"
#include "render/accumulation.h"
#include "render/path_state.h"

namespace lumenar {

constexpr float kNoiseErrorFloor = 0.01f;
// Squared relative error of a pixel whose noise is not known yet (fewer than
// two units): above any target.
constexpr float kUnknownNoise = 1e30f;
// Frames per unit of the Metropolis estimate.
constexpr int kMetroNoiseBatch = 16;
// Adaptive sampling decides per tile of kNoiseTileSize^2 pixels, from the
// worst pixel of the tile and of a border of kNoiseTileBorder pixels around it
// (so a noisy pixel keeps the tiles beside it sampling too).
constexpr int kNoiseTileShift = 3;
constexpr int kNoiseTileSize = 1 << kNoiseTileShift;
constexpr int kNoiseTileBorder = 2;
// Bounds of the stratification gain kappa.
constexpr float kMinStratificationGain = 1.0f / 16.0f;
// Every pixel takes this many frames before any decision, then the tiles are
// chosen again every kAdaptiveInterval frames.
constexpr int kAdaptiveMinFrames = 16;
constexpr int kAdaptiveInterval = 4;
// Without a target: tiles at or above this quantile of per-sample noise are
// sampled every frame, the others in proportion to their noise, and none at
// less than kAdaptiveMinRate of the frames.
constexpr float kAdaptiveNoiseQuantile = 0.97f;
constexpr float kAdaptiveMinRate = 1.0f / 16.0f;

LUMENAR_HD inline int noiseTilesAlong(int pixels) {
    return (pixels + kNoiseTileSize - 1) >> kNoiseTileShift;
}

// A pixel's sums of its first P / 4, P / 2 and P units.
struct BlockSums {
    Color quarter, half, whole;
};

// A pixel's statistics over its units.
struct PixelUnits {
    Color sum;  // sum of the units' values
    Color m2;   // squared deviations from their mean
    BlockSums blocks;
    float n;  // units
};

// Largest power of two not above n (n >= 1).
LUMENAR_HD inline float blockOf(float n) {
    float p = 1.0f;
    while (p * 2.0f <= n) p *= 2.0f;
    return p;
}

// Estimates of the variance of a pixel's mean (negative when n < 2): from
// the squared deviations as if the units were independent, and those of the
// means of its first P and first P / 2 units from their halves (the latter
// negative when P < 4).
struct PixelVariance {
    Color units;
    Color halves;
    Color quarters;
};

LUMENAR_HD inline Color halvesVariance(const Color& first, const Color& both, float count) {
    const Color d = (both - first - first) / (0.5f * count);
    return Color(0.25f * d.r * d.r, 0.25f * d.g * d.g, 0.25f * d.b * d.b);
}

LUMENAR_HD inline PixelVariance pixelVariance(const PixelUnits& p) {
    PixelVariance v;
    if (!(p.n >= 2.0f)) {
        v.units = v.halves = v.quarters = Color(-1.0f, -1.0f, -1.0f);
        return v;
    }
    const float d = p.n * (p.n - 1.0f);
    v.units = Color(fmaxf(p.m2.r, 0.0f) / d, fmaxf(p.m2.g, 0.0f) / d, fmaxf(p.m2.b, 0.0f) / d);
    const float P = blockOf(p.n);
    v.halves = halvesVariance(p.blocks.half, p.blocks.whole, P);
    v.quarters =
        P >= 4.0f ? halvesVariance(p.blocks.quarter, p.blocks.half, 0.5f * P) : Color(-1.0f, -1.0f, -1.0f);
    return v;
}

// After a unit brought the count to n: at a power of two the blocks move on.
LUMENAR_HD inline void advanceBlocks(uint32_t n, const Color& sum, BlockSums* b) {
    if (n == 0u || (n & (n - 1u)) != 0u) return;
    b->quarter = b->half;
    b->half = b->whole;
    b->whole = sum;
}

// Squared relative error of a mean given its variance (kUnknownNoise when
// the variance is not known).
LUMENAR_HD inline float relativeErrorSq(const Color& mean, const Color& variance) {
    if (variance.r < 0.0f) return kUnknownNoise;
    const float e = variance.r / (mean.r * mean.r + kNoiseErrorFloor) +
                    variance.g / (mean.g * mean.g + kNoiseErrorFloor) +
                    variance.b / (mean.b * mean.b + kNoiseErrorFloor);
    return isFinite(e) ? e * (1.0f / 3.0f) : kUnknownNoise;
}

// One step of the update: the pixel's sum goes from `before` to `after` with
// the unit x, its count to n. Adds x's share of the squared deviations.
LUMENAR_HD inline Color welfordStep(const Color& m2, const Color& before, const Color& after, const Color& x,
                                    float n) {
    if (!(n > 1.0f)) return Color(0.0f, 0.0f, 0.0f);
    const Color meanBefore = before / (n - 1.0f), meanAfter = after / n;
    return Color(m2.r + (x.r - meanBefore.r) * (x.r - meanAfter.r),
                 m2.g + (x.g - meanBefore.g) * (x.g - meanAfter.g),
                 m2.b + (x.b - meanBefore.b) * (x.b - meanAfter.b));
}

LUMENAR_HD inline int noiseTileOf(int tilesX, int x, int y) {
    return (y >> kNoiseTileShift) * tilesX + (x >> kNoiseTileShift);
}
LUMENAR_HD inline bool tileActive(const uint8_t* activeTiles, int tilesX, int x, int y) {
    return !activeTiles || activeTiles[noiseTileOf(tilesX, x, y)] != 0;
}

// One pixel of a path-traced frame's accumulation with the estimate: adds
// the frame colour to the running sum (a colour that is not finite is left
// out, and counts as a black sample), counts the sample, updates the
// estimate and writes the toned average in the frame colour's place. A pixel
// of a tile that is not sampling keeps its sum and count. The sum and the
// display are bit for bit those of accumulatePixel while every pixel
// samples every frame.
LUMENAR_HD inline void accumulateEstimatePixel(int x, int y, int W, Color* frame, Color* accum, Color* m2,
                                               BlockSums* blocks, uint32_t* counts,
                                               const uint8_t* activeTiles, int tilesX) {
    const int i = y * W + x;
    if (!tileActive(activeTiles, tilesX, x, y)) {
        const Color a = accum[i] / frameDivisor(static_cast<int>(counts[i]));
        storeDisplayVertex(&frame[i], makeDisplayVertex(x, y, a, kPathToneExponent));
        return;
    }
    const Color f = frame[i];
    const bool finite = isFinite(f);
    const Color before = accum[i];
    const Color after = finite ? before + f : before;
    const Color sample = finite ? f : Color(0.0f, 0.0f, 0.0f);
    const uint32_t n = counts[i] + 1u;
    accum[i] = after;
    counts[i] = n;
    m2[i] = welfordStep(m2[i], before, after, sample, static_cast<float>(n));
    advanceBlocks(n, after, &blocks[i]);
    const Color a = after / frameDivisor(static_cast<int>(n));
    storeDisplayVertex(&frame[i], makeDisplayVertex(x, y, a, kPathToneExponent));
}

// One pixel at the end of Metropolis batch `batch` (from 1): the batch's
// unit is its mean frame value, the growth of the sum since the last batch
// over the batch's frames. The snapshot keeps the sum at the batch's end;
// the block sums are sums of frames too.
LUMENAR_HD inline void metroBatchPixel(int i, int batch, const Color* accum, Color* snapshot, Color* m2,
                                       BlockSums* blocks) {
    const Color now = accum[i];
    const Color before = snapshot[i];
    const float frames = static_cast<float>(kMetroNoiseBatch);
    m2[i] =
        welfordStep(m2[i], before / frames, now / frames, (now - before) / frames, static_cast<float>(batch));
    advanceBlocks(static_cast<uint32_t>(batch), now, &blocks[i]);
    snapshot[i] = now;
}

// What a tile's pixels say, as squared relative errors: the largest of the
// units' estimate over the tile and its border, and the sums of the three
// estimates over its own pixels whose noise is known (the quarters' over
// those that have them, with the halves' over the same pixels beside it).
struct TileNoise {
    float worst;
    float units;
    float halves;
    float quarters;
    float halvesBesideQuarters;
    float samples;  // its pixels' units
    float known;    // its own pixels whose noise is known
};

// The image's noise as of the last check.
struct NoiseLevel {
    bool known = false;        // every pixel has an estimate
    double relativeMse = 0.0;  // mean squared relative error of the average (the benchmarks' error)
    double worst = 0.0;        // largest relative error of a pixel
    double sampling = 1.0;     // share of the tiles sampling over the next frames
    uint32_t frame = 0;        // the frame it was measured after
};

// The stratification gain of each tile: over the tile and its eight
// neighbours, the estimate from the halves and the ratio per doubling (see
// above) over the units' one, within [kMinStratificationGain, 1] (1 where
// nothing is known).
std::vector<float> stratificationGains(const std::vector<TileNoise>& tiles, int tilesX, int tilesY);

// How the tiles are chosen (host side, from the tiles' noise).
struct AdaptivePolicy {
    float threshold = 0.0f;  // relative error to reach (0: none, sample in proportion to the noise)
    uint32_t frames = 0;     // frames run so far
    int interval = kAdaptiveInterval;
    float quantile = kAdaptiveNoiseQuantile;
    float minRate = kAdaptiveMinRate;
    int tilesX = 0;  // tiles along a row (0: no neighbours are looked at)
};

// Which tiles take samples over the next interval, from each tile's squared
// relative errors (scaled by its gain) and samples. With a threshold, the
// tiles that have a pixel (or a border pixel) above it. Without one, each
// tile takes samples at a rate proportional to its per-sample noise (the
// root mean square of its pixels' errors times the square root of its
// samples: one pixel's error says little, a few rare bright paths make it
// swing), or the mean of its neighbourhood's where that is higher (noise
// from rare bright paths, a caustic, shows in one tile before the next), the
// rate 1 at the noise quantile and above, and never below minRate: for a
// fixed number of samples that allocation minimises the image's mean squared
// relative error. A tile whose noise is not known (anywhere in it or its
// border) always samples.
std::vector<uint8_t> chooseActiveTiles(const std::vector<TileNoise>& tiles, const std::vector<float>& gains,
                                       const AdaptivePolicy& policy);

// The image's noise level from its tiles and their gains (relativeMse over
// `pixels` pixels); `active` the tiles that sample next.
NoiseLevel summariseNoise(const std::vector<TileNoise>& tiles, const std::vector<float>& gains,
                          const std::vector<uint8_t>& active, std::size_t pixels, uint32_t frame);

// Owns the estimate of one W x H image and the choice of tiles. The Renderer
// drives it; a reset clears it with the running sum.
class NoiseEstimate {
 public:
    bool allocate(int width, int height);
    bool valid() const { return static_cast<bool>(m2_); }
    // Clears the estimate and the counts; every tile samples again.
    bool clear();

    // Path tracing: the accumulation of a frame (replaces AccumulateFrameColor).
    void accumulate(Color* frame, Color* accum);
    // Leaves the pixels of tiles that are not sampling out of the camera-ray
    // launch of a frame (their paths end at once) ...
    void limitStream(SampleStream& stream) const;
    // ... and removes those paths from paths[0, count) after it; returns how
    // many remain.
    int dropInactivePaths(pixelData* paths, int count);
    bool anyTileIdle() const { return idleTiles_ > 0; }
    // Each pixel's samples so far (path tracing) and its units' squared
    // deviations from their mean.
    const uint32_t* counts() const { return counts_.get(); }
    const Color* deviations() const { return m2_.get(); }

    // Metropolis: after frame `frames`; at the end of each batch folds the
    // batch into the estimate. `scale` rescales what is kept after the chains
    // renormalised the running sum by it.
    void metroFrame(uint32_t frames, const Color* accum, float scale);

    // Measures the noise after frame `frames` (a few launches and a copy of
    // the tiles' figures). With a policy, the tiles for the next frames are
    // chosen by it (path tracing); without, the choice stays as it is.
    bool check(const Color* accum, uint32_t frames, bool metro, const AdaptivePolicy* choose);
    // Every tile samples again (adaptive sampling switched off).
    bool activateAll();
    const NoiseLevel& level() const { return level_; }

    // Darkens the pixels of tiles that no longer sample in a frame's display
    // vertices, so the overlay shows where samples still go.
    void overlay(Color* display);

    // The variance of each pixel's mean (negative: not known) as of the last
    // check, W x H (one launch; the caller synchronises).
    void varianceOfMeans(const Color* accum, bool metro, Color* variance) const;
    // The estimate on the host, as of the last check: the variance of each
    // pixel's mean and its sample count (the frames in Metropolis mode).
    struct HostCopy {
        std::vector<Color> variance;
        std::vector<uint32_t> samples;
    };
    bool copyToHost(const Color* accum, uint32_t frames, bool metro, HostCopy& out) const;

 private:
    int width_ = 0, height_ = 0, tilesX_ = 0, tilesY_ = 0;
    device::Buffer<Color> m2_;
    device::Buffer<BlockSums> blocks_;
    device::Buffer<uint32_t> counts_;
    device::Buffer<Color> snapshot_;  // Metropolis: the sum at the end of the last batch
    device::Buffer<TileNoise> tiles_;
    device::Buffer<float> gains_;
    device::Buffer<uint8_t> active_;
    std::vector<uint8_t> hostActive_;
    int idleTiles_ = 0;
    uint32_t batches_ = 0;  // Metropolis: batches folded in
    NoiseLevel level_;
    bool uploadActive(const std::vector<uint8_t>& active);
};

}  // namespace lumenar
