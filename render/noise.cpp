#include "render/noise.h"

#include <algorithm>
#include <cmath>

#include "device/launch.h"
#include "device/primitives.h"

namespace lumenar {

std::vector<float> stratificationGains(const std::vector<TileNoise>& tiles, int tilesX, int tilesY) {
    std::vector<float> gains(tiles.size(), 1.0f);
    for (int ty = 0; ty < tilesY; ++ty)
        for (int tx = 0; tx < tilesX; ++tx) {
            double units = 0.0, quarters = 0.0, halvesBeside = 0.0;
            for (int y = std::max(ty - 1, 0); y <= std::min(ty + 1, tilesY - 1); ++y)
                for (int x = std::max(tx - 1, 0); x <= std::min(tx + 1, tilesX - 1); ++x) {
                    const TileNoise& t = tiles[static_cast<std::size_t>(y) * tilesX + x];
                    units += t.units;
                    quarters += t.quarters;
                    halvesBeside += t.halvesBesideQuarters;
                }
            if (!(units > 0.0)) continue;
            // The ratio per doubling: 2 for independent units, more the
            // better the stratification works.
            const double r =
                quarters > 0.0 && halvesBeside > 0.0 ? std::clamp(quarters / halvesBeside, 2.0, 16.0) : 2.0;
            const double fall = std::log2(r);
            double variance = 0.0;
            for (int y = std::max(ty - 1, 0); y <= std::min(ty + 1, tilesY - 1); ++y)
                for (int x = std::max(tx - 1, 0); x <= std::min(tx + 1, tilesX - 1); ++x) {
                    const TileNoise& t = tiles[static_cast<std::size_t>(y) * tilesX + x];
                    if (!(t.samples >= 2.0f)) continue;
                    const double P = blockOf(t.samples);
                    variance += t.halves / (r - 1.0) * std::pow(P / t.samples, fall);
                }
            gains[static_cast<std::size_t>(ty) * tilesX + tx] = static_cast<float>(
                std::clamp(variance / units, static_cast<double>(kMinStratificationGain), 1.0));
        }
    return gains;
}

std::vector<uint8_t> chooseActiveTiles(const std::vector<TileNoise>& tiles, const std::vector<float>& gains,
                                       const AdaptivePolicy& policy) {
    std::vector<uint8_t> active(tiles.size(), 1);
    if (tiles.empty()) return active;
    auto worst = [&](std::size_t t) {
        return tiles[t].worst >= kUnknownNoise ? HUGE_VAL : static_cast<double>(tiles[t].worst) * gains[t];
    };
    if (policy.threshold > 0.0f) {
        const double target = static_cast<double>(policy.threshold) * policy.threshold;
        for (std::size_t t = 0; t < tiles.size(); ++t) active[t] = worst(t) > target ? 1 : 0;
        return active;
    }
    // Per-sample noise of each tile.
    std::vector<double> noise(tiles.size());
    for (std::size_t t = 0; t < tiles.size(); ++t) {
        const TileNoise& k = tiles[t];
        noise[t] = worst(t) == HUGE_VAL || !(k.known > 0.0f)
                       ? HUGE_VAL
                       : static_cast<double>(k.units) * gains[t] / k.known * k.samples;
    }
    // A tile beside noisy ones takes at least their mean: noise that comes
    // from rare bright paths shows in one tile before the next.
    if (policy.tilesX > 0) {
        const int tilesX = policy.tilesX, tilesY = static_cast<int>(tiles.size()) / tilesX;
        const std::vector<double> own = noise;
        for (int ty = 0; ty < tilesY; ++ty)
            for (int tx = 0; tx < tilesX; ++tx) {
                double sum = 0.0;
                int count = 0;
                for (int y = std::max(ty - 1, 0); y <= std::min(ty + 1, tilesY - 1); ++y)
                    for (int x = std::max(tx - 1, 0); x <= std::min(tx + 1, tilesX - 1); ++x) {
                        sum += own[static_cast<std::size_t>(y) * tilesX + x];
                        ++count;
                    }
                double& v = noise[static_cast<std::size_t>(ty) * tilesX + tx];
                v = std::max(v, sum / count);
            }
    }
    for (double& v : noise) v = v == HUGE_VAL ? v : std::sqrt(v);
    std::vector<double> sorted = noise;
    const std::size_t q = static_cast<std::size_t>(policy.quantile * static_cast<float>(sorted.size() - 1));
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(q), sorted.end());
    const double reference = sorted[q];
    if (!(reference > 0.0) || reference == HUGE_VAL) return active;
    const double next = static_cast<double>(policy.frames) + policy.interval;
    for (std::size_t t = 0; t < tiles.size(); ++t) {
        if (noise[t] == HUGE_VAL) continue;
        const double rate = std::clamp(noise[t] / reference, static_cast<double>(policy.minRate), 1.0);
        // Sample over the next interval when that brings the count nearer
        // to the rate's share of the frames by then.
        active[t] = tiles[t].samples + 0.5 * policy.interval <= rate * next ? 1 : 0;
    }
    return active;
}

NoiseLevel summariseNoise(const std::vector<TileNoise>& tiles, const std::vector<float>& gains,
                          const std::vector<uint8_t>& active, std::size_t pixels, uint32_t frame) {
    NoiseLevel level;
    level.frame = frame;
    double sum = 0.0, worst = 0.0;
    std::size_t sampling = 0;
    bool known = !tiles.empty();
    for (std::size_t t = 0; t < tiles.size(); ++t) {
        known = known && tiles[t].worst < kUnknownNoise;
        sum += static_cast<double>(tiles[t].units) * gains[t];
        worst = std::max(worst, static_cast<double>(tiles[t].worst) * gains[t]);
        sampling += t < active.size() && active[t] ? 1 : 0;
    }
    level.known = known;
    level.relativeMse = known && pixels > 0 ? sum / static_cast<double>(pixels) : HUGE_VAL;
    level.worst = known ? std::sqrt(worst) : HUGE_VAL;
    level.sampling = tiles.empty() ? 1.0 : static_cast<double>(sampling) / static_cast<double>(tiles.size());
    return level;
}

namespace {

// A pixel's units: its samples, or in Metropolis mode the batches (the
// snapshot holds the sum at the last batch's end; it, first and block are
// sums of frames).
struct UnitSource {
    const Color* accum;
    const Color* snapshot;
    const Color* m2;
    const BlockSums* blocks;
    const uint32_t* counts;
    float batches;
    bool metro;
    LUMENAR_HD PixelUnits operator()(int i) const {
        PixelUnits u;
        u.m2 = m2[i];
        if (metro) {
            const float frames = static_cast<float>(kMetroNoiseBatch);
            const BlockSums b = blocks[i];
            u.sum = snapshot[i] / frames;
            u.blocks.quarter = b.quarter / frames;
            u.blocks.half = b.half / frames;
            u.blocks.whole = b.whole / frames;
            u.n = batches;
        } else {
            u.sum = accum[i];
            u.blocks = blocks[i];
            u.n = static_cast<float>(counts[i]);
        }
        return u;
    }
};

}  // namespace

bool NoiseEstimate::allocate(int width, int height) {
    width_ = width;
    height_ = height;
    tilesX_ = noiseTilesAlong(width);
    tilesY_ = noiseTilesAlong(height);
    const std::size_t n = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    const std::size_t t = static_cast<std::size_t>(tilesX_) * static_cast<std::size_t>(tilesY_);
    m2_ = device::Buffer<Color>(n);
    blocks_ = device::Buffer<BlockSums>(n);
    counts_ = device::Buffer<uint32_t>(n);
    tiles_ = device::Buffer<TileNoise>(t);
    gains_ = device::Buffer<float>(t);
    active_ = device::Buffer<uint8_t>(t);
    if (n == 0 || !m2_ || !blocks_ || !counts_ || !tiles_ || !gains_ || !active_) {
        m2_.reset();
        return false;
    }
    return clear();
}

bool NoiseEstimate::clear() {
    if (!device::fillBytes(m2_.get(), 0, m2_.bytes()) ||
        !device::fillBytes(blocks_.get(), 0, blocks_.bytes()) ||
        !device::fillBytes(counts_.get(), 0, counts_.bytes()))
        return false;
    if (snapshot_ && !device::fillBytes(snapshot_.get(), 0, snapshot_.bytes())) return false;
    batches_ = 0;
    level_ = NoiseLevel();
    const std::vector<float> ones(static_cast<std::size_t>(tilesX_) * tilesY_, 1.0f);
    if (!device::copyToDevice(gains_.get(), ones.data(), ones.size() * sizeof(float))) return false;
    return activateAll();
}

bool NoiseEstimate::uploadActive(const std::vector<uint8_t>& active) {
    int idle = 0;
    for (uint8_t a : active) idle += a ? 0 : 1;
    if (active != hostActive_) {
        if (!device::copyToDevice(active_.get(), active.data(), active.size())) return false;
        hostActive_ = active;
    }
    idleTiles_ = idle;
    return true;
}

bool NoiseEstimate::activateAll() {
    return uploadActive(std::vector<uint8_t>(static_cast<std::size_t>(tilesX_) * tilesY_, 1));
}

void NoiseEstimate::accumulate(Color* frame, Color* accum) {
    const int W = width_, tilesX = tilesX_;
    Color* m2 = m2_.get();
    BlockSums* blocks = blocks_.get();
    uint32_t* counts = counts_.get();
    // With every tile sampling the mask is not read at all.
    const uint8_t* active = idleTiles_ > 0 ? active_.get() : nullptr;
    device::launchPixelGrid(
        width_, height_, LUMENAR_LAMBDA(int x, int y) {
            accumulateEstimatePixel(x, y, W, frame, accum, m2, blocks, counts, active, tilesX);
        });
}

int NoiseEstimate::dropInactivePaths(pixelData* paths, int count) {
    if (idleTiles_ == 0) return count;
    return compactPaths(paths, count);
}

void NoiseEstimate::limitStream(SampleStream& stream) const {
    stream.activeTiles = idleTiles_ > 0 ? active_.get() : nullptr;
    stream.tilesX = tilesX_;
    stream.tileShift = kNoiseTileShift;
}

void NoiseEstimate::metroFrame(uint32_t frames, const Color* accum, float scale) {
    const int n = width_ * height_;
    if (!snapshot_) {
        snapshot_ = device::Buffer<Color>(static_cast<std::size_t>(n));
        if (!snapshot_ || !device::fillBytes(snapshot_.get(), 0, snapshot_.bytes())) return;
    }
    Color* snapshot = snapshot_.get();
    Color* m2 = m2_.get();
    BlockSums* blocks = blocks_.get();
    if (scale != 1.0f) {
        const float s2 = scale * scale;
        device::launchPathArray(
            n, LUMENAR_LAMBDA(int i) {
                snapshot[i] = snapshot[i] * scale;
                BlockSums& b = blocks[i];
                b.quarter = b.quarter * scale;
                b.half = b.half * scale;
                b.whole = b.whole * scale;
                m2[i] = m2[i] * s2;
            });
    }
    if (frames == 0 || frames % kMetroNoiseBatch != 0) return;
    const int batch = static_cast<int>(frames / kMetroNoiseBatch);
    batches_ = static_cast<uint32_t>(batch);
    device::launchPathArray(
        n, LUMENAR_LAMBDA(int i) { metroBatchPixel(i, batch, accum, snapshot, m2, blocks); });
}

void NoiseEstimate::varianceOfMeans(const Color* accum, bool metro, Color* variance) const {
    const UnitSource units{accum,
                           snapshot_.get(),
                           m2_.get(),
                           blocks_.get(),
                           counts_.get(),
                           static_cast<float>(batches_),
                           metro && snapshot_};
    const float* gains = gains_.get();
    const int W = width_, tilesX = tilesX_;
    device::launchPixelGrid(
        width_, height_, LUMENAR_LAMBDA(int x, int y) {
            const int i = y * W + x;
            const Color v = pixelVariance(units(i)).units;
            variance[i] = v.r < 0.0f ? v : v * gains[noiseTileOf(tilesX, x, y)];
        });
}

bool NoiseEstimate::copyToHost(const Color* accum, uint32_t frames, bool metro, HostCopy& out) const {
    const std::size_t n = static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_);
    device::Buffer<Color> v(n);
    if (!v) return false;
    varianceOfMeans(accum, metro, v.get());
    if (!device::checkLaunch() || !device::synchronize()) return false;
    out.variance.resize(n);
    out.samples.resize(n);
    if (!device::copyToHost(out.variance.data(), v.get(), n * sizeof(Color))) return false;
    if (metro) {
        std::fill(out.samples.begin(), out.samples.end(), frames);
        return true;
    }
    return device::copyToHost(out.samples.data(), counts_.get(), n * sizeof(uint32_t));
}

bool NoiseEstimate::check(const Color* accum, uint32_t frames, bool metro, const AdaptivePolicy* choose) {
    const int W = width_, H = height_, tilesX = tilesX_;
    const UnitSource units{accum,
                           snapshot_.get(),
                           m2_.get(),
                           blocks_.get(),
                           counts_.get(),
                           static_cast<float>(batches_),
                           metro && snapshot_};
    TileNoise* tiles = tiles_.get();
    device::launchPixelGrid(
        tilesX_, tilesY_, LUMENAR_LAMBDA(int tx, int ty) {
            const int x0 = tx * kNoiseTileSize, y0 = ty * kNoiseTileSize;
            const int x1 = x0 + kNoiseTileSize < W ? x0 + kNoiseTileSize : W;
            const int y1 = y0 + kNoiseTileSize < H ? y0 + kNoiseTileSize : H;
            TileNoise t;
            t.worst = t.units = t.halves = t.quarters = t.halvesBesideQuarters = t.known = 0.0f;
            for (int y = y0 - kNoiseTileBorder; y < y1 + kNoiseTileBorder; ++y) {
                if (y < 0 || y >= H) continue;
                for (int x = x0 - kNoiseTileBorder; x < x1 + kNoiseTileBorder; ++x) {
                    if (x < 0 || x >= W) continue;
                    const PixelUnits u = units(y * W + x);
                    const PixelVariance v = pixelVariance(u);
                    const Color mean = u.sum / (u.n > 1.0f ? u.n : 1.0f);
                    const float e = relativeErrorSq(mean, v.units);
                    t.worst = fmaxf(t.worst, e);
                    if (x >= x0 && x < x1 && y >= y0 && y < y1 && e < kUnknownNoise) {
                        t.known += 1.0f;
                        t.units += e;
                        const float h = relativeErrorSq(mean, v.halves);
                        t.halves += h;
                        if (v.quarters.r >= 0.0f) {
                            t.quarters += relativeErrorSq(mean, v.quarters);
                            t.halvesBesideQuarters += h;
                        }
                    }
                }
            }
            t.samples = units(y0 * W + x0).n;
            tiles[ty * tilesX + tx] = t;
        });
    if (!device::checkLaunch() || !device::synchronize()) return false;
    std::vector<TileNoise> host(static_cast<std::size_t>(tilesX_) * tilesY_);
    if (!device::copyToHost(host.data(), tiles_.get(), host.size() * sizeof(TileNoise))) return false;
    const std::vector<float> gains = stratificationGains(host, tilesX_, tilesY_);
    if (!device::copyToDevice(gains_.get(), gains.data(), gains.size() * sizeof(float))) return false;
    bool ok = true;
    if (choose) {
        AdaptivePolicy p = *choose;
        p.frames = frames;
        p.tilesX = tilesX_;
        ok = uploadActive(chooseActiveTiles(host, gains, p));
    }
    level_ = summariseNoise(host, gains, hostActive_, static_cast<std::size_t>(W) * H, frames);
    return ok;
}

void NoiseEstimate::overlay(Color* display) {
    if (idleTiles_ == 0) return;
    const int W = width_, tilesX = tilesX_;
    const uint8_t* active = active_.get();
    device::launchPixelGrid(
        width_, height_, LUMENAR_LAMBDA(int x, int y) {
            if (tileActive(active, tilesX, x, y)) return;
            displayVertex v;
            memcpy(&v, &display[y * W + x], sizeof v);
            // Idle pixels at a third of their brightness, tinted blue.
            v.red = static_cast<uint8_t>(v.red / 3);
            v.green = static_cast<uint8_t>(v.green / 3);
            v.blue = static_cast<uint8_t>(v.blue / 3 + 60);
            storeDisplayVertex(&display[y * W + x], v);
        });
}

}  // namespace lumenar
