// The per-pixel noise estimate, adaptive sampling and the noise target.
#include "render/noise.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "app/batch_render.h"
#include "app/startup.h"
#include "device/threads.h"
#include "test_support.h"

using namespace lumenar;

namespace {

// A pixel fed sample by sample through the accumulation, on the host.
struct HostPixel {
    Color frame, accum, m2;
    BlockSums blocks;
    uint32_t count = 0;
    void add(const Color& sample) {
        frame = sample;
        accumulateEstimatePixel(0, 0, 1, &frame, &accum, &m2, &blocks, &count, nullptr, 1);
    }
    PixelUnits units() const { return PixelUnits{accum, m2, blocks, static_cast<float>(count)}; }
};

Color grey(float v) {
    return Color(v, v, v);
}

struct Rendered {
    bool ok = false;
    int width = 0, height = 0;
    BatchResult result;
};

Rendered render(const std::string& scene, BatchOptions options, int threads = 2) {
    device::ThreadLimit limit(threads);
    Settings settings;
    Application app(settings);
    Rendered r;
    testing::internal::CaptureStdout();
    const bool started = app.start(scene);
    if (started) {
        r.result = renderBatch(app, options);
        r.width = app.imageWidth();
        r.height = app.imageHeight();
    }
    app.shutdown();
    testing::internal::GetCapturedStdout();
    r.ok = started && r.result.ok;
    return r;
}

BatchOptions frames(int n, uint32_t seed = 0) {
    BatchOptions o;
    o.frames = n;
    o.seed = seed;
    return o;
}

std::string materials(float floorAlbedo, float emission) {
    std::ostringstream m;
    auto mtl = [&](int i, const char* name, float base, float emit) {
        m << "mtl " << i << " " << name << "\nbasecolor " << base << " " << base << " " << base
          << "\nspecular 0 0 0\nemission " << emit << " " << emit << " " << emit
          << "\ntransmission 1 1 1\nmetalness 0\nanisotropic False\nroughness 0\nroughnessY 0\n"
          << "transparency 0\nIOR 1\ntex 0\nrsc 0\nabsorption 0 0 0\n";
    };
    m << "material\n2\n\n";
    mtl(0, "matte", floorAlbedo, 0.0f);
    mtl(1, "lamp", 0.0f, emission);
    return m.str();
}

// Lamps seen head on against a black background: every camera sample reads
// either the lamps' emission or nothing, so the pixels along their edges are
// two-valued and those inside or outside them constant. A grid of 7 x 7
// small triangles, so that every part of the image has edges.
std::string lampsInTheDark(int size, float emission) {
    std::ostringstream s;
    s << "lamps in the dark\ncamera\nresolution " << size << " " << size
      << "\neye 0 0 3\nlookat 0 0 0\nup 0 1 0\nnear 2\nbgcolor\n0 0 0\n"
      << materials(0.0f, emission) << "mesh\n1\n\no 0 lamps\n";
    for (int j = 0; j < 7; ++j)
        for (int i = 0; i < 7; ++i) {
            const double x = -1.3 + 0.4 * i, y = -1.3 + 0.4 * j;
            s << "v " << x << " " << y << " 0\nv " << x + 0.27 << " " << y + 0.05 << " 0\nv " << x + 0.08
              << " " << y + 0.3 << " 0\n";
        }
    s << "usemtl 1 lamp\ns off\n";
    for (int t = 0; t < 49; ++t) s << "f " << 3 * t + 1 << " " << 3 * t + 2 << " " << 3 * t + 3 << "\n";
    return test::writeScene("lumenar_noise_lamps", s.str());
}

// A matte floor under a parallel square lamp, seen from straight above; the
// left half of the image looks past the floor's edge into a constant sky.
std::string floorAndSky(int width, int height) {
    std::ostringstream s;
    s << "floor and sky\ncamera\nresolution " << width << " " << height
      << "\neye 0 0.5 0\nlookat 0 0 0\nup 0 0 -1\nnear 3\nbgcolor\n0.25 0.5 0.75\n"
      << materials(0.8f, 2.0f) << "mesh\n2\n\n"
      << "o 0 floor\nv 0.02 0 -10\nv 0.02 0 10\nv 10 0 10\nv 10 0 -10\nusemtl 0 matte\ns off\nf 1 2 3\nf 1 3 "
         "4\n"
      << "o 1 lamp\nv -0.75 1 -0.75\nv 0.75 1 -0.75\nv 0.75 1 0.75\nv -0.75 1 0.75\nusemtl 1 lamp\n"
      << "f 5 6 7\nf 5 7 8\n";
    return test::writeScene("lumenar_noise_floor", s.str());
}

float relativeErrorOf(const Color& mean, const Color& variance) {
    return std::sqrt(relativeErrorSq(mean, variance));
}

}  // namespace

// The update against a two-pass sum over the same samples, a constant pixel
// reading exactly 0, and the halves of the first power-of-two samples.
TEST(NoiseEstimate, UpdateMatchesTwoPassSumsAndHalves) {
    HostPixel p;
    for (int i = 0; i < 37; ++i) p.add(grey(0.25f));
    const PixelVariance constant = pixelVariance(p.units());
    EXPECT_EQ(constant.units.r, 0.0f);
    EXPECT_EQ(constant.halves.g, 0.0f);

    HostPixel q;
    XorwowState rng;
    xorwowInit(7, &rng);
    std::vector<double> xs;
    for (int i = 0; i < 45; ++i) {
        const float x = 3.0f * xorwowUniform(&rng) * xorwowUniform(&rng);
        xs.push_back(x);
        q.add(Color(x, 2.0f * x, 0.5f));
    }
    double mean = 0.0;
    for (double x : xs) mean += x / xs.size();
    double m2 = 0.0;
    for (double x : xs) m2 += (x - mean) * (x - mean);
    const PixelVariance v = pixelVariance(q.units());
    const double n = static_cast<double>(xs.size());
    EXPECT_NEAR(v.units.r, m2 / (n * (n - 1.0)), 1e-5 * m2 / (n * n));
    EXPECT_NEAR(v.units.g, 4.0 * m2 / (n * (n - 1.0)), 4e-5 * m2 / (n * n));
    EXPECT_EQ(v.units.b, 0.0f);
    // 45 samples: the block is the first 32, its halves the first 16 and
    // the next 16, the quarters those of the first 16.
    double a = 0.0, b = 0.0, c = 0.0, d = 0.0;
    for (int i = 0; i < 16; ++i) a += xs[i] / 16.0, b += xs[16 + i] / 16.0;
    for (int i = 0; i < 8; ++i) c += xs[i] / 8.0, d += xs[8 + i] / 8.0;
    EXPECT_NEAR(v.halves.r, (a - b) * (a - b) / 4.0, 1e-5);
    EXPECT_NEAR(v.quarters.r, (c - d) * (c - d) / 4.0, 1e-5);

    // Fewer than two samples: not known, above any target.
    HostPixel one;
    one.add(grey(1.0f));
    EXPECT_LT(pixelVariance(one.units()).units.r, 0.0f);
    EXPECT_EQ(relativeErrorSq(grey(1.0f), pixelVariance(one.units()).units), kUnknownNoise);

    // A sample that is not finite counts as black and never reaches the estimate.
    HostPixel bad;
    bad.add(grey(1.0f));
    bad.add(Color(NAN, 1.0f, 1.0f));
    EXPECT_TRUE(std::isfinite(bad.m2.r));
    EXPECT_FLOAT_EQ(bad.accum.r, 1.0f);
    EXPECT_NEAR(pixelVariance(bad.units()).units.r, 0.25f, 1e-6f);
}

// The tiles' choice: with a target, exactly the tiles above it; without
// one, rates in proportion to the per-sample noise, unknown tiles always.
TEST(NoiseEstimate, TileChoiceFollowsTheTargetOrTheNoise) {
    // One pixel per tile: its worst and its own error agree.
    auto tile = [](float worst, float samples) {
        return TileNoise{worst, worst < kUnknownNoise ? worst : 0.0f, 0.0f, 0.0f, 0.0f, samples, 1.0f};
    };
    std::vector<TileNoise> tiles = {tile(0.01f, 64.0f), tile(1e-4f, 64.0f), tile(kUnknownNoise, 64.0f),
                                    tile(0.0f, 64.0f)};  // relative errors 0.1, 0.01, unknown, 0
    const std::vector<float> ones(4, 1.0f);
    AdaptivePolicy target;
    target.threshold = 0.05f;
    target.frames = 64;
    EXPECT_EQ(chooseActiveTiles(tiles, ones, target), (std::vector<uint8_t>{1, 0, 1, 0}));
    // The gain scales the error: a tenth of tile 0's squared error is below 0.05^2.
    EXPECT_EQ(chooseActiveTiles(tiles, {0.1f, 1.0f, 1.0f, 1.0f}, target), (std::vector<uint8_t>{0, 0, 1, 0}));

    // No target: 40 tiles with per-sample noise 1 ... 40 after 64 frames.
    std::vector<TileNoise> ramp;
    for (int t = 0; t < 40; ++t) ramp.push_back(tile(static_cast<float>((t + 1) * (t + 1)) / 64.0f, 64.0f));
    AdaptivePolicy share;
    share.frames = 64;
    share.quantile = 0.9f;
    const std::vector<uint8_t> a = chooseActiveTiles(ramp, std::vector<float>(40, 1.0f), share);
    // The reference is the 0.9 quantile (tile 35, noise 36): at 68 frames a
    // tile's share is 68 * noise / 36 samples, and it has 64.
    for (int t = 0; t < 40; ++t) {
        const double rate = std::min(1.0, std::max(1.0 / 16.0, (t + 1) / 36.0));
        EXPECT_EQ(a[t], 64.0 + 2.0 <= rate * 68.0 ? 1 : 0) << t;
    }
    EXPECT_EQ(a[39], 1);
    EXPECT_EQ(a[0], 0);
}

// The gain from the halves and quarters over a tile and its neighbours.
TEST(NoiseEstimate, StratificationGainFromHalvesAndQuarters) {
    // Independent units: the quarters' estimate twice the halves' (r = 2),
    // and the halves' (of the first 32 of 48 units) 32 / 48 of the units'.
    auto tile = [](float halves, float quarters) {
        return TileNoise{1.0f, 1.0f, halves, quarters, halves, 48.0f, 64.0f};
    };
    std::vector<TileNoise> iid(9, tile(1.5f, 3.0f));
    for (float g : stratificationGains(iid, 3, 3)) EXPECT_NEAR(g, 1.0f, 1e-6f);
    // Variance falling 4 times per doubling: v_32 = H / 3, and v_48 =
    // v_32 (32 / 48)^2.
    std::vector<TileNoise> strat(9, tile(0.6f, 2.4f));
    const double expected = 0.2 * std::pow(32.0 / 48.0, 2.0);
    for (float g : stratificationGains(strat, 3, 3)) EXPECT_NEAR(g, expected, 1e-6);
    // Within the bounds; and nothing known gives no gain.
    std::vector<TileNoise> none(9, tile(0.0f, 0.0f));
    EXPECT_FLOAT_EQ(stratificationGains(none, 3, 3)[4], kMinStratificationGain);
    std::vector<TileNoise> worse(9, tile(3.0f, 3.0f));
    EXPECT_FLOAT_EQ(stratificationGains(worse, 3, 3)[4], 1.0f);
    for (TileNoise& t : none) t.units = 0.0f;
    EXPECT_FLOAT_EQ(stratificationGains(none, 3, 3)[4], 1.0f);
    // A tile takes its neighbours' figures: one tile of independent units
    // among stratified ones moves the gain of those beside it only.
    strat[0] = tile(1.5f, 3.0f);
    const std::vector<float> mixed = stratificationGains(strat, 3, 3);
    EXPECT_GT(mixed[4], expected);
    EXPECT_NEAR(mixed[8], expected, 1e-6);
}

namespace {

// Radiance of the matte floor of floorAndSky at (x, 0, z): the lamp's light
// (albedo x emission x the point-to-rectangle form factor) and the sky's
// over the rest of the hemisphere.
Color floorRadiance(double x, double z) {
    auto corner = [](double a, double b) {  // the rectangle [0, a] x [0, b] one unit above the point
        const double A = std::sqrt(1.0 + a * a), B = std::sqrt(1.0 + b * b);
        return (a / A * std::atan(b / A) + b / B * std::atan(a / B)) / (2.0 * 3.14159265358979323846);
    };
    const double ff = corner(0.75 - x, 0.75 - z) + corner(0.75 + x, 0.75 - z) + corner(0.75 - x, 0.75 + z) +
                      corner(0.75 + x, 0.75 + z);
    const double sky[3] = {0.25, 0.5, 0.75};
    double c[3];
    for (int k = 0; k < 3; ++k) c[k] = 0.8 * (2.0 * ff + sky[k] * (1.0 - ff));
    return Color(static_cast<float>(c[0]), static_cast<float>(c[1]), static_cast<float>(c[2]));
}

// Where pixel (x, y) of floorAndSky looks at the floor (through its centre),
// or false where it sees past the floor's edge.
bool floorPoint(int x, int y, int W, int H, double* fx, double* fz) {
    Camera cam;
    const CameraWindow w = windowForResolution(W, H);
    cam.setCamera(Vector3d(0, 0.5f, 0), Vector3d(0, 0, 0), Vector3d(0, 0, -1), w.left, w.right, w.bottom,
                  w.top, 3.0f, W, H);
    const Vector3d p = planePoint(cam, (x + 0.5f) / W, (y + 0.5f) / H);
    const Vector3d d = p - cam.rayOrigin;
    const double t = -cam.rayOrigin.y / d.y;
    *fx = cam.rayOrigin.x + t * d.x;
    *fz = cam.rayOrigin.z + t * d.z;
    return *fx > 0.03;  // a pixel's width inside the edge
}

bool isSky(const Color& c) {
    return c.r == 0.25f && c.g == 0.5f && c.b == 0.75f;
}

// The mean over the floor's pixels of image - analytic, with its standard
// error from the pixels' spread.
struct Residual {
    double mean = 0.0, se = 0.0;
    int pixels = 0;
};
Residual floorResidual(const Rendered& r) {
    std::vector<double> d;
    for (int y = 0; y < r.height; ++y)
        for (int x = 0; x < r.width; ++x) {
            double fx, fz;
            if (!floorPoint(x, y, r.width, r.height, &fx, &fz)) continue;
            const Color c = r.result.average[static_cast<std::size_t>(y) * r.width + x];
            const Color e = floorRadiance(fx, fz);
            d.push_back(((c.r - e.r) + (c.g - e.g) + (c.b - e.b)) / 3.0);
        }
    Residual res;
    res.pixels = static_cast<int>(d.size());
    for (double v : d) res.mean += v / d.size();
    double ss = 0.0;
    for (double v : d) ss += (v - res.mean) * (v - res.mean);
    res.se = std::sqrt(ss / (d.size() - 1.0) / d.size());
    return res;
}

}  // namespace

// Pixels that see only the background read exactly 0; pixels whose samples
// take two values, the lamp's emission L or nothing, hold squared deviations
// n m (L - m) for their mean m, whatever the samples were.
TEST(NoiseEstimate, ConstantPixelsReadZeroAndTwoValuedPixelsTheirVariance) {
    // Colours whose sums are exact read exactly 0; others 0 to float rounding.
    for (const char* colour : {"0.25 0.5 0.75", "0.3 0.1 0.7"}) {
        const Rendered sky =
            render(test::writeScene("lumenar_noise_empty",
                                    std::string("empty\ncamera\nresolution 10 6\neye 0 0 3\n"
                                                "lookat 0 0 0\nup 0 1 0\nnear 1\nbgcolor\n") +
                                        colour + "\n" + materials(0.5f, 0.0f) + "mesh\n0\n\n"),
                   frames(20));
        ASSERT_TRUE(sky.ok);
        const bool exact = colour[2] == '2';
        for (const Color& v : sky.result.estimate.variance) {
            if (exact) {
                EXPECT_EQ(v.r, 0.0f);
                EXPECT_EQ(v.b, 0.0f);
            }
            EXPECT_LT(v.b, 1e-12f * 0.49f);
        }
        EXPECT_TRUE(sky.result.noise.known);
        EXPECT_LT(sky.result.noise.worst, exact ? 1e-30 : 1e-6);
    }

    const float L = 3.0f;
    const int n = 24;
    device::ThreadLimit limit(2);
    Settings settings;
    Application app(settings);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(app.start(lampsInTheDark(16, L)));
    Renderer renderer(frameResources(app));
    device::Buffer<Color> display(16 * 16);
    for (int f = 0; f < n; ++f) ASSERT_TRUE(renderer.renderFrame(app.scene().camera, display.get()).ok());
    std::vector<Color> sum(256), m2(256);
    ASSERT_TRUE(device::copyToHost(sum.data(), renderer.accumBuffer(), sizeof(Color) * 256));
    ASSERT_TRUE(device::copyToHost(m2.data(), renderer.noise().deviations(), sizeof(Color) * 256));
    app.shutdown();
    testing::internal::GetCapturedStdout();
    int edges = 0;
    for (int i = 0; i < 256; ++i) {
        const double m = sum[i].r / n;
        EXPECT_NEAR(m2[i].r, n * m * (L - m), 2e-5 * n * L * L) << "pixel " << i;
        EXPECT_EQ(m2[i].r, m2[i].g);
        edges += m > 0.0 && m < L ? 1 : 0;
    }
    EXPECT_GT(edges, 20);  // the lamp's outline crosses enough pixels to mean something
}

// The estimate of each pixel's error against the spread of the pixels' means
// over independent sample sequences. The edge pixels of lamps seen head on
// are stratified by the camera jitter alone, the case where treating the
// samples as independent overstates the error most (4 to 6 times here).
TEST(NoiseEstimate, AgreesWithTheSpreadOfIndependentRuns) {
    const std::string scene = lampsInTheDark(48, 3.0f);
    const int runs = 32, n = 32;
    const int pixels = 48 * 48;
    std::vector<double> sum(pixels, 0.0), sum2(pixels, 0.0), estimate(pixels, 0.0);
    for (int r = 0; r < runs; ++r) {
        const Rendered run = render(scene, frames(n, static_cast<uint32_t>(r + 1)));
        ASSERT_TRUE(run.ok);
        for (int i = 0; i < pixels; ++i) {
            const double m = run.result.average[i].g;
            sum[i] += m;
            sum2[i] += m * m;
            ASSERT_GE(run.result.estimate.variance[i].g, 0.0f);
            estimate[i] += run.result.estimate.variance[i].g / runs;
        }
    }
    // On the scale of the relative errors the estimate serves.
    double spread = 0.0, estimated = 0.0;
    for (int i = 0; i < pixels; ++i) {
        const double mean = sum[i] / runs, scale = 1.0 / (mean * mean + kNoiseErrorFloor);
        spread += (sum2[i] - runs * mean * mean) / (runs - 1) * scale;
        estimated += estimate[i] * scale;
    }
    std::printf("lamp edges: estimated variance %.4g, spread over %d runs %.4g (ratio %.3f)\n", estimated,
                runs, spread, estimated / spread);
    EXPECT_GT(estimated, 0.75 * spread);
    EXPECT_LT(estimated, 1.33 * spread);
}

// The noise target with adaptive sampling: the run stops with every pixel
// below the target, the sky (constant) stops taking samples at the first
// decision and never takes more, and the floor converges to its analytic
// radiance; the image is the same on one and two threads.
TEST(Adaptive, TargetStopsTheRunWithEveryPixelBelowIt) {
    const std::string scene = floorAndSky(40, 24);
    BatchOptions o;
    o.adaptive = true;
    o.noiseThreshold = 0.01f;
    o.frameLimit = 3000;
    const Rendered r = render(scene, o);
    ASSERT_TRUE(r.ok);
    EXPECT_TRUE(r.result.noiseTargetReached);
    EXPECT_LT(r.result.frames, 3000);
    const NoiseEstimate::HostCopy& e = r.result.estimate;
    int sky = 0, floorPixels = 0;
    uint32_t most = 0;
    for (std::size_t i = 0; i < e.variance.size(); ++i) {
        EXPECT_LE(relativeErrorOf(r.result.average[i], e.variance[i]), 0.01f * 1.0001f) << "pixel " << i;
        most = std::max(most, e.samples[i]);
        if (isSky(r.result.average[i])) {
            ++sky;
            // A constant tile (with its border) is converged at the first decision.
            const int x = static_cast<int>(i) % r.width;
            if (x < 16) {
                EXPECT_EQ(e.samples[i], static_cast<uint32_t>(kAdaptiveMinFrames)) << "pixel " << i;
            }
        } else {
            ++floorPixels;
            EXPECT_GT(e.samples[i], static_cast<uint32_t>(kAdaptiveMinFrames));
        }
    }
    EXPECT_GT(sky, 16 * 24);
    EXPECT_GT(floorPixels, 300);
    EXPECT_EQ(most, static_cast<uint32_t>(r.result.frames));
    // Fewer samples than frames x pixels.
    EXPECT_LT(r.result.samples, static_cast<long long>(r.result.frames) * 40 * 24 * 9 / 10);

    const Residual d = floorResidual(r);
    std::printf("floor with target 0.01: %d frames, residual %.5f +- %.5f over %d pixels\n", r.result.frames,
                d.mean, d.se, d.pixels);
    EXPECT_LT(std::fabs(d.mean), 4.0 * d.se);

    const Rendered one = render(scene, o, 1);
    ASSERT_TRUE(one.ok);
    EXPECT_EQ(one.result.frames, r.result.frames);
    EXPECT_EQ(std::memcmp(one.result.average.data(), r.result.average.data(),
                          sizeof(Color) * r.result.average.size()),
              0);
    EXPECT_EQ(one.result.estimate.samples, e.samples);
}

// With a target, a pixel's samples are the first ones it takes in a run of
// all frames: its average is bit for bit the average that run has after as
// many frames as the pixel took.
TEST(Adaptive, APixelsSamplesAreThoseOfAFullRun) {
    const std::string scene = floorAndSky(24, 16);
    BatchOptions o;
    o.adaptive = true;
    o.noiseThreshold = 0.015f;
    o.frameLimit = 400;
    const Rendered r = render(scene, o);
    ASSERT_TRUE(r.ok);
    std::map<uint32_t, std::vector<std::size_t>> byCount;
    for (std::size_t i = 0; i < r.result.estimate.samples.size(); ++i)
        byCount[r.result.estimate.samples[i]].push_back(i);
    EXPECT_GE(byCount.size(), 2u);
    for (const auto& [count, pixels] : byCount) {
        const Rendered full = render(scene, frames(static_cast<int>(count)));
        ASSERT_TRUE(full.ok);
        for (std::size_t i : pixels)
            EXPECT_EQ(std::memcmp(&full.result.average[i], &r.result.average[i], sizeof(Color)), 0)
                << "pixel " << i << " after " << count << " samples";
    }
}

// Without a target, samples go where the noise is: the sky takes a small
// share of the frames, the floor most; the floor's average is still its
// analytic radiance.
TEST(Adaptive, WithoutATargetSamplesFollowTheNoise) {
    const std::string scene = floorAndSky(40, 24);
    BatchOptions o;
    o.adaptive = true;
    o.frames = 400;
    const Rendered r = render(scene, o);
    ASSERT_TRUE(r.ok);
    double skySamples = 0.0, floorSamples = 0.0;
    int sky = 0, floorPixels = 0;
    for (std::size_t i = 0; i < r.result.average.size(); ++i) {
        // The sky of the tiles that have no floor beside them.
        if (static_cast<int>(i) % r.width < 8) {
            skySamples += r.result.estimate.samples[i];
            ++sky;
        } else if (!isSky(r.result.average[i])) {
            floorSamples += r.result.estimate.samples[i];
            ++floorPixels;
        }
    }
    ASSERT_GT(sky, 0);
    skySamples /= sky;
    floorSamples /= floorPixels;

    std::printf("samples per pixel over 400 frames: sky %.1f, floor %.1f\n", skySamples, floorSamples);
    EXPECT_LT(skySamples, 400.0 / 8.0);
    EXPECT_GT(floorSamples, 200.0);
    const Residual d = floorResidual(r);
    std::printf("floor without a target: residual %.5f +- %.5f over %d pixels\n", d.mean, d.se, d.pixels);
    EXPECT_LT(std::fabs(d.mean), 4.0 * d.se);
    // The estimate knows every pixel.
    EXPECT_TRUE(r.result.noise.known);
}

// The target ends a run without adaptive sampling too (every pixel samples
// until all are below it), and a Metropolis run, whose estimate comes from
// batches of frames.
TEST(Adaptive, TargetEndsPlainAndMetropolisRuns) {
    const std::string scene = floorAndSky(24, 16);
    BatchOptions o;
    o.noiseThreshold = 0.08f;
    o.frameLimit = 2000;
    const Rendered plain = render(scene, o);
    ASSERT_TRUE(plain.ok);
    EXPECT_TRUE(plain.result.noiseTargetReached);
    EXPECT_LE(plain.result.noise.worst, 0.08);
    for (uint32_t n : plain.result.estimate.samples) EXPECT_EQ(n, static_cast<uint32_t>(plain.result.frames));

    // A frame limit comes first: the run stops there, short of the target.
    o.frameLimit = 20;
    o.noiseThreshold = 0.001f;
    const Rendered limited = render(scene, o);
    ASSERT_TRUE(limited.ok);
    EXPECT_FALSE(limited.result.noiseTargetReached);
    EXPECT_EQ(limited.result.frames, 20);

    o.mlt = true;
    o.noiseThreshold = 0.15f;
    o.frameLimit = 4000;
    device::ThreadLimit threads(2);
    Settings settings;
    Application app(settings);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(app.start(scene));
    // Chains splat wherever they go: adaptive sampling is refused, not ignored.
    BatchOptions adaptiveMlt = o;
    adaptiveMlt.adaptive = true;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(renderBatch(app, adaptiveMlt).ok);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("adaptive sampling needs path tracing"),
              std::string::npos);
    const BatchResult m = renderBatch(app, o);
    app.shutdown();
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(m.ok);
    EXPECT_TRUE(m.noiseTargetReached);
    EXPECT_EQ(m.frames % kMetroNoiseBatch, 0);
    EXPECT_LE(m.noise.worst, 0.15);
    for (const Color& v : m.estimate.variance) EXPECT_GE(v.r, 0.0f);
}

// Adaptive sampling and uniform sampling converge to the same image of the
// default box (independent sequences): every tile's mean agrees within its
// standard error, the errors taken from both runs' estimates.
TEST(Adaptive, AgreesWithUniformSamplingOnTheBox) {
    std::string text = test::readText(std::string(LUMENAR_SOURCE_DIR) + "/scenes/default/input");
    const std::size_t at = text.find("resolution 256 256");
    ASSERT_NE(at, std::string::npos) << "scenes/default/input is made by the build";
    text.replace(at, 18, "resolution 32 24");
    const std::string scene = test::writeScene("lumenar_noise_box", text);
    const Rendered uniform = render(scene, frames(128, 1));
    BatchOptions o = frames(128, 2);
    o.adaptive = true;
    const Rendered adaptive = render(scene, o);
    ASSERT_TRUE(uniform.ok && adaptive.ok);
    EXPECT_LT(adaptive.result.samples, uniform.result.samples);
    double chi2 = 0.0;
    int tiles = 0;
    for (int ty = 0; ty < 3; ++ty)
        for (int tx = 0; tx < 4; ++tx) {
            double d = 0.0, var = 0.0;
            for (int y = ty * 8; y < ty * 8 + 8; ++y)
                for (int x = tx * 8; x < tx * 8 + 8; ++x) {
                    const std::size_t i = static_cast<std::size_t>(y) * 32 + x;
                    const Color a = adaptive.result.average[i], u = uniform.result.average[i];
                    const Color va = adaptive.result.estimate.variance[i],
                                vu = uniform.result.estimate.variance[i];
                    d += (a.r + a.g + a.b - u.r - u.g - u.b) / (3.0 * 64.0);
                    // Channels of one pixel move together: the variance of
                    // their mean is at most that of their mean deviation.
                    const double s = (std::sqrt(va.r) + std::sqrt(va.g) + std::sqrt(va.b) + std::sqrt(vu.r) +
                                      std::sqrt(vu.g) + std::sqrt(vu.b)) /
                                     3.0;
                    var += s * s / (64.0 * 64.0);
                }
            const double z = d / std::sqrt(var);
            EXPECT_LT(std::fabs(z), 4.0) << "tile " << tx << ", " << ty;
            chi2 += z * z;
            ++tiles;
        }
    std::printf("box, adaptive against uniform: mean squared z over %d tiles %.2f\n", tiles, chi2 / tiles);
    EXPECT_LT(chi2 / tiles, 3.0);
}
