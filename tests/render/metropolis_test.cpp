// Metropolis light transport: the chain mechanics one step at a time, the
// splats under contention, and whole renders that must converge to the path
// tracer's image.
#include "render/metropolis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "accel/kdtree.h"
#include "app/batch_render.h"
#include "app/startup.h"
#include "device/launch.h"
#include "device/threads.h"
#include "render/renderer.h"
#include "test_support.h"

using namespace lumenar;

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// ---- one chain, on the host --------------------------------------------------

struct OneChain {
    static constexpr int W = 8, H = 4;
    MLTSample sample{};
    Color contribution;
    int rejects = 0;
    int forcedAcceptance = kMetroForcedAcceptance;
    std::vector<Color> accum = std::vector<Color>(W * H);

    explicit OneChain(const Color& c) : contribution(c) {
        sample.values[0] = 2.5f;
        sample.values[1] = 1.5f;
        for (int i = kMetroFirstPathNumber; i < kMetroNumbers; ++i) sample.values[i] = 0.5f;
    }

    // One step of frame k with the given contribution function.
    template <class Evaluate>
    bool step(uint32_t k, const Evaluate& evaluate, float meanLuminance = 1.0f, bool combined = false) {
        MetroFrameParams p;
        p.combineLargeSteps = combined;
        p.forcedAcceptance = forcedAcceptance;
        p.frame = k;
        p.frameSeed = WangHash(k);
        p.meanLuminance = meanLuminance;
        p.width = W;
        p.height = H;
        // Chain 0 of a one-chain array.
        const MetroChainArrays a{&sample, &contribution, &rejects, nullptr};
        return metroChainStep(0, p, a, accum.data(), evaluate);
    }
};

Color constant(float v) {
    return Color(v, v, v);
}

}  // namespace

TEST(MetroSteps, LargeStepsOnFramesOneFiveNineOnly) {
    for (uint32_t k = 1; k <= 13; ++k)
        EXPECT_EQ(isLargeStep(k, 4), k == 1 || k == 5 || k == 9 || k == 13) << k;

    // On a large step every number is drawn afresh; on the others each number
    // moves by at most a 64th of its range (modulo the wrap).
    OneChain c(constant(1.0f));
    for (uint32_t k = 1; k <= 9; ++k) {
        const MLTSample before = c.sample;
        MLTSample proposed{};
        c.step(k, [&](const MLTSample& y) {
            proposed = y;
            return constant(1.0f);  // always accepted: the chain follows its proposals
        });
        int far = 0;
        for (int i = 0; i < kMetroNumbers; ++i) {
            const float R = i == 0 ? OneChain::W : i == 1 ? OneChain::H : 1.0f;
            ASSERT_GE(proposed.values[i], 0.0f);
            ASSERT_LT(proposed.values[i], R);
            float d = std::fabs(proposed.values[i] - before.values[i]);
            d = std::fmin(d, R - d);
            if (d > R / 64.0f * 1.0001f) ++far;
            if (!isLargeStep(k, 4)) {
                EXPECT_GE(d, R / 1024.0f * 0.999f) << "frame " << k << " number " << i;
            }
        }
        if (isLargeStep(k, 4))
            EXPECT_GT(far, kMetroNumbers / 2) << "frame " << k;
        else
            EXPECT_EQ(far, 0) << "frame " << k;
    }
}

// The step's numbers come from a hash of (step key, position): they must be
// uniform, and uncorrelated between positions of one step, between
// neighbouring chains of one frame and between one chain's frames (a weak
// hash shows up as a correlation there first). The size law is 16^-u.
TEST(MetroSteps, StepNumbersAreUniformAndIndependent) {
    for (float t = 0.0f; t <= 4.0f; t += 1.0f / 512.0f)
        ASSERT_NEAR(exp2NegUpTo4(t), std::exp2(-static_cast<double>(t)), 3e-7 * std::exp2(-t)) << t;

    const int chains = 512, frames = 64;
    const auto unit = [](uint32_t frame, int chain, uint32_t i) {
        return static_cast<double>(metroStepUnit(metroStepWord(metroStepKey(WangHash(frame), 0u, chain), i)));
    };
    // Pearson correlation of n pairs of U(0,1) numbers: about N(0, 1/n) when independent.
    struct Corr {
        double sxy = 0, sx = 0, sy = 0, sxx = 0, syy = 0;
        int n = 0;
        void add(double x, double y) { sxy += x * y, sx += x, sy += y, sxx += x * x, syy += y * y, ++n; }
        double z() const {
            const double cov = sxy / n - (sx / n) * (sy / n);
            const double vx = sxx / n - (sx / n) * (sx / n), vy = syy / n - (sy / n) * (sy / n);
            return cov / std::sqrt(vx * vy) * std::sqrt(static_cast<double>(n));
        }
    } positions, neighbours, nextFrame, signs;
    std::vector<int> bins(64, 0);
    int n = 0;
    for (uint32_t k = 1; k <= static_cast<uint32_t>(frames); ++k)
        for (int c = 0; c < chains; ++c)
            for (uint32_t i = 0; i <= kMetroAcceptWord; ++i) {
                const double u = unit(k, c, i);
                ASSERT_GE(u, 0.0);
                ASSERT_LT(u, 1.0);
                ++bins[static_cast<int>(u * 64.0)];
                ++n;
                if (i > 0) positions.add(u, unit(k, c, i - 1));
                if (i % 8 == 0) {
                    neighbours.add(u, unit(k, c + 1, i));
                    nextFrame.add(u, unit(k + 1, c, i));
                    const uint32_t w = metroStepWord(metroStepKey(WangHash(k), 0u, c), i);
                    signs.add(w & 1u, u);  // the sign bit and the size must not go together
                }
            }
    double chi2 = 0.0;
    for (int b : bins) chi2 += (b - n / 64.0) * (b - n / 64.0) / (n / 64.0);
    EXPECT_LT(chi2, 63.0 + 6.0 * std::sqrt(2.0 * 63.0)) << "63 degrees of freedom";
    EXPECT_LT(std::fabs(positions.z()), 5.0);
    EXPECT_LT(std::fabs(neighbours.z()), 5.0);
    EXPECT_LT(std::fabs(nextFrame.z()), 5.0);
    EXPECT_LT(std::fabs(signs.z()), 5.0);
}

TEST(MetroSteps, SmallStepWrapsInsideTheRange) {
    // Just below the top, the smallest step up wraps to just above zero.
    for (float R : {1.0f, 256.0f}) {
        const float top = std::nextafter(R, 0.0f);
        const float up = smallStepValue(top, R, 1.0f, 0.25f);
        EXPECT_GT(up, 0.0f);
        EXPECT_LT(up, R / 512.0f);
        const float down = smallStepValue(std::nextafter(0.0f, 1.0f), R, 1.0f, 0.75f);
        EXPECT_LT(down, R);
        EXPECT_GT(down, R - R / 512.0f);
        // Step sizes span R/1024 ... R/64.
        EXPECT_NEAR(smallStepValue(0.5f * R, R, 1.0f, 0.0f) - 0.5f * R, R / 1024.0f, R * 1e-6f);
        EXPECT_NEAR(smallStepValue(0.5f * R, R, 0.0f, 0.0f) - 0.5f * R, R / 64.0f, R * 1e-6f);
    }
    // A wrap that rounds onto R itself lands on 0.
    EXPECT_EQ(smallStepValue(-1e-9f, 1.0f, 1.0f, 0.75f) < 1.0f, true);
    EXPECT_EQ(largeStepCoordinate(1.0f, 7) < 7.0f, true);
}

TEST(MetroSteps, ChainRejectedThirtyTwoTimesAcceptsItsNextProposal) {
    OneChain c(constant(2.0f));
    const auto dark = [](const MLTSample&) { return constant(0.0f); };
    uint32_t k = 2;  // small steps; the frame number only picks the step kind
    for (int i = 1; i <= 32; ++i, ++k) {
        if (isLargeStep(k, 4)) ++k;
        ASSERT_FALSE(c.step(k, dark)) << "step " << i;
        EXPECT_EQ(c.rejects, i);
    }
    EXPECT_TRUE(c.step(k + 1, dark));
    EXPECT_EQ(c.rejects, 0);
    EXPECT_TRUE(c.contribution.isBlack());

    // With forcing off (or at another count) the chain waits for its own acceptance.
    for (int forced : {0, 100}) {
        OneChain d(constant(2.0f));
        d.forcedAcceptance = forced;
        int steps = 0;
        for (uint32_t f = 2; steps < 100; ++f)
            if (!isLargeStep(f, 4)) {
                ASSERT_FALSE(d.step(f, dark)) << "forced after " << forced << ", step " << steps;
                ++steps;
            }
        EXPECT_EQ(d.rejects, 100);
        if (forced > 0) {
            EXPECT_TRUE(d.step(1000 * 4 + 2, dark));
        }
    }
}

namespace {
// Chains over a made-up image with a closed form: a state is bright (its
// luminance kBright) when it lies in pixel column 0 and its first path number
// is below kBand, and grey (1) otherwise. The band is narrower than the
// smallest small step, so a bright state's proposals all leave it and are
// accepted with probability 1 / kBright: a chain holds a bright state for
// about kBright frames, which forced acceptance cuts short. Returns the share
// of all splatted light that lands in column 0, per chain, after `frames`
// frames with the forcing count forced(k).
constexpr int kBandW = 2, kBandH = 2;
constexpr float kBright = 300.0f, kBand = 0.0009f;
Color bandImage(const MLTSample& y) {
    return constant(y.values[0] < 1.0f && y.values[2] < kBand ? kBright : 1.0f);
}
template <class Forced>
std::vector<double> columnZeroShares(int chains, uint32_t frames, const Forced& forced) {
    std::vector<MLTSample> samples(static_cast<std::size_t>(chains));
    std::vector<Color> contributions(samples.size());
    std::vector<int> rejects(samples.size(), 0);
    // Every chain starts in the target distribution (uniform candidates kept
    // in proportion to their luminance), so an unforced chain is unbiased
    // from its first frame.
    for (int c = 0; c < chains; ++c) {
        for (uint32_t t = 0;; ++t) {
            const uint64_t key = metroStepKey(0x51a7u + t, 77u, c);
            MLTSample& m = samples[static_cast<std::size_t>(c)];
            largeStep(m, key, kBandW, kBandH);
            if (metroStepUnit(metroStepWord(key, kMetroAcceptWord + 1)) * kBright <
                metroLuminance(bandImage(m)))
                break;
        }
        contributions[static_cast<std::size_t>(c)] = bandImage(samples[static_cast<std::size_t>(c)]);
    }
    const MetroChainArrays arrays{samples.data(), contributions.data(), rejects.data(), nullptr};
    // The true normalisation: the mean luminance of uniform states.
    const float b = (kBand * kBright + (1.0f - kBand) + (kBandW - 1)) / kBandW;
    std::vector<double> shares;
    std::vector<Color> accum(kBandW * kBandH);
    for (int c = 0; c < chains; ++c) {
        std::fill(accum.begin(), accum.end(), Color());
        for (uint32_t k = 1; k <= frames; ++k) {
            MetroFrameParams p;
            p.frame = k;
            p.frameSeed = WangHash(k);
            p.salt = 9u;
            p.forcedAcceptance = forced(k);
            p.meanLuminance = b;
            p.width = kBandW;
            p.height = kBandH;
            // One chain of the array per call; its splats go to accum alone.
            metroChainStep(c, p, arrays, accum.data(), bandImage);
        }
        double column = 0.0, all = 0.0;
        for (int i = 0; i < kBandW * kBandH; ++i) {
            all += accum[static_cast<std::size_t>(i)].r;
            if (i % kBandW == 0) column += accum[static_cast<std::size_t>(i)].r;
        }
        shares.push_back(column / all);
    }
    return shares;
}
void meanAndError(const std::vector<double>& v, double& mean, double& error) {
    mean = 0.0;
    for (double x : v) mean += x;
    mean /= static_cast<double>(v.size());
    double s2 = 0.0;
    for (double x : v) s2 += (x - mean) * (x - mean);
    error = std::sqrt(s2 / static_cast<double>(v.size() - 1) / static_cast<double>(v.size()));
}
}  // namespace

// With the renderer's forcing (the warm-up only) the chains converge to the
// image; forcing every frame takes light from the states chains hold long.
TEST(MetroSteps, ChainsWithTheDefaultForcingConvergeToTheImage) {
    const double exact = (kBand * kBright + (1.0 - kBand)) / (kBand * kBright + (1.0 - kBand) + (kBandW - 1));
    const int chains = 48;
    const uint32_t frames = 20000;
    double mean = 0.0, error = 0.0;
    meanAndError(
        columnZeroShares(chains, frames,
                         [](uint32_t k) { return metroForcedAcceptance(k, kMetroForcedAcceptance); }),
        mean, error);
    EXPECT_NEAR(mean, exact, 4.0 * error) << "standard error " << error;
    EXPECT_LT(error, 0.03 * exact);
    double forcedMean = 0.0, forcedError = 0.0;
    meanAndError(columnZeroShares(chains, frames, [](uint32_t) { return kMetroForcedAcceptance; }),
                 forcedMean, forcedError);
    EXPECT_GT(std::fabs(forcedMean - exact), 8.0 * forcedError)
        << "forcing every frame: " << forcedMean << " +- " << forcedError << ", exact " << exact;
}

TEST(MetroSteps, FirstStepAfterAResetIsAccepted) {
    // A reset clears the contribution: whatever the proposal, it is taken,
    // and nothing is splatted for the old state.
    for (float proposal : {0.0f, 1e-30f, 3.0f}) {
        for (uint32_t k : {1u, 2u}) {
            OneChain c(constant(0.0f));
            c.rejects = 5;
            EXPECT_TRUE(c.step(k, [&](const MLTSample&) { return constant(proposal); })) << proposal;
            EXPECT_EQ(c.rejects, 0);
            const int xPixel = splatPixel(MLTSample{{2.5f, 1.5f}}, OneChain::W, OneChain::H);
            if (proposal == 0.0f) {
                EXPECT_TRUE(c.accum[xPixel].isBlack());
            }
        }
    }
}

TEST(MetroSteps, SplatsAreNeverNaNInfiniteOrNegative) {
    const float specials[] = {0.0f, -0.0f, 1e-38f, 1e-45f, 1.0f, 3e38f, kInf, -kInf, kNaN, -1.0f};
    for (float r : specials)
        for (float g : specials)
            for (float lum : specials)
                for (float w : {0.0f, 0.5f, 1.0f}) {
                    const Color s = splatValue(Color(r, g, 1.0f), w, 0.7f, lum);
                    ASSERT_TRUE(isFinite(s)) << r << " " << g << " " << lum;
                    ASSERT_TRUE(s.r >= 0.0f && s.g >= 0.0f && s.b >= 0.0f) << r << " " << g << " " << lum;
                }
    for (float x : specials)
        for (float y : specials) {
            const float a = acceptanceProbability(x, y);
            ASSERT_TRUE(a >= 0.0f && a <= 1.0f) << x << " " << y;
        }
    EXPECT_EQ(acceptanceProbability(0.0f, 0.0f), 1.0f);
    EXPECT_EQ(acceptanceProbability(2.0f, 1.0f), 0.5f);

    // A proposal whose contribution is NaN or infinite counts as black: it is
    // neither splatted nor kept as the chain's contribution.
    for (const Color bad : {Color(kNaN, 1, 1), Color(1, kInf, 1), Color(-kInf, 0, 0)}) {
        OneChain c(constant(1.0f));
        for (uint32_t k = 1; k <= 40; ++k) c.step(k, [&](const MLTSample&) { return bad; });
        for (const Color& p : c.accum) ASSERT_TRUE(isFinite(p) && p.r >= 0 && p.g >= 0 && p.b >= 0);
        EXPECT_TRUE(isFinite(c.contribution));
    }
}

// The splats of one step are the expected values of the two outcomes: their
// sum is C_X (1 - a) b / I_X + C_Y a b / I_Y.
TEST(MetroSteps, ExpectedValueSplatWeights) {
    OneChain c(Color(4.0f, 2.0f, 1.0f));
    const Color cY(1.0f, 0.5f, 0.25f);
    c.step(
        2, [&](const MLTSample&) { return cY; }, 3.0f);
    Color total;
    for (const Color& p : c.accum) total += p;
    const float a = 0.25f;  // I_Y / I_X = 1 / 4
    const Color expected = Color(4.0f, 2.0f, 1.0f) * ((1 - a) * 3.0f / 4.0f) + cY * (a * 3.0f / 1.0f);
    EXPECT_NEAR(total.r, expected.r, 1e-5f);
    EXPECT_NEAR(total.g, expected.g, 1e-5f);
    EXPECT_NEAR(total.b, expected.b, 1e-5f);
}

// The combined estimator weighs a state by 1 / (I / b + 1 / period), and a
// large step's proposal counts once more as a uniform sample.
TEST(MetroSteps, CombinedSplatWeights) {
    const Color cX(4.0f, 2.0f, 1.0f), cY(1.0f, 0.5f, 0.25f);
    const float a = 0.25f, b = 3.0f, pl = 0.25f;  // I_Y / I_X = 1 / 4
    for (uint32_t k : {1u, 2u}) {
        OneChain c(cX);
        c.step(
            k, [&](const MLTSample&) { return cY; }, b, true);
        Color total;
        for (const Color& p : c.accum) total += p;
        const float large = k == 1 ? 1.0f : 0.0f;
        const Color expected = cX * ((1 - a) / (4.0f / b + pl)) + cY * ((a + large) / (1.0f / b + pl));
        EXPECT_NEAR(total.r, expected.r, 1e-5f) << "frame " << k;
        EXPECT_NEAR(total.g, expected.g, 1e-5f) << "frame " << k;
        EXPECT_NEAR(total.b, expected.b, 1e-5f) << "frame " << k;
    }
    // Black and broken states splat nothing, and a zero normalisation
    // (a black scene) keeps everything black.
    EXPECT_TRUE(splatValue(Color(1, 1, 1), 1.0f, 0.0f, 1.0f, pl).isBlack());
    EXPECT_TRUE(splatValue(Color(0, 0, 0), 1.0f, 1.0f, 0.0f, pl).isBlack());
    EXPECT_TRUE(splatValue(Color(kNaN, 1, 1), 1.0f, 1.0f, 1.0f, pl).isBlack());
    EXPECT_TRUE(splatValue(Color(kInf, 1, 1), 1.0f, 1.0f, kInf, pl).isBlack());
    EXPECT_TRUE(splatValue(Color(-1, 2, 1), 1.0f, 1.0f, 2.0f, pl).isBlack());
}

// A bounce must not take more numbers per vertex than a sample block
// holds, whatever the material and lobe.
TEST(MetroSteps, ShadingFitsInOneVertexBlock) {
    struct Counting {
        XorwowState s;
        int used = 0;
        float operator()() {
            ++used;
            return xorwowUniform(&s);
        }
    };
    struct Queries {
        EmitterHit nearestEmitter(const Ray&) const {
            EmitterHit e;
            e.found = true;
            e.t = 2.0f;
            e.normal = Vector3d(0, 0, -1);
            e.invArea = 2.0f;
            e.emission = Color(1, 1, 1);
            e.triangle = 10;
            return e;
        }
        Color transmittance(const Vector3d&, const Vector3d&, float) const { return Color(1, 1, 1); }
        SurfaceHit hit;
        bool nearest(const Ray&, SurfaceHit* h) const {
            *h = hit;
            return true;
        }
    };
    std::vector<Material> mats = {
        test::material(1.0f, 0.0f, 0.0f, 1.5f), test::material(0.0f, 1.0f, 0.0f, 1.5f),
        test::material(0.3f, 0.5f, 0.5f, 1.3f), test::material(0.0f, 0.0f, 1.0f, 1.0f),
        test::material(0.5f, -1.0f, 0.0f, 1.4f)};
    deviceLightTriangle l{};
    l.p1 = Vector3d(0, 0, 2);
    l.p2 = Vector3d(1, 0, 2);
    l.p3 = Vector3d(0, 1, 2);
    l.normal = Vector3d(0, 0, -1);
    l.invArea = 2.0f;
    l.emission = Color(1, 1, 1);
    l.triangleIndex = 10;
    l.choicePdf = l.choiceCdf = 1.0f;  // the only light
    const Ray in(Vector3d(0.3f, 0.2f, 1.0f), Vector3d(-0.3f, -0.2f, -1.0f));
    int most = 0;
    for (int m = 0; m < static_cast<int>(mats.size()); ++m) {
        for (uint64_t seed = 0; seed < 400; ++seed) {
            Queries q;
            q.hit = SurfaceHit{Vector3d(0, 0, 0), Vector3d(0, 0, 1), 1.0f, m};
            Counting draws{};
            xorwowInit(seed, &draws.s);
            SceneView view;
            view.materials = mats.data();
            const std::vector<deviceLightTriangle> lights{l};
            view.lights = test::lightSetOf(lights);
            traceBounce(in, 1, draws, view, MediaFlags(), q);
            most = std::max(most, draws.used);
        }
    }
    EXPECT_LE(most, kMetroNumbersPerVertex);
    EXPECT_GE(most, 10);  // the count is real
}

// Many threads splatting into the same few pixels lose no addition.
TEST(MetroSplats, ConcurrentSplatsLoseNothing) {
    std::vector<Color> accum(4);
    const int threads = 8, adds = 20000;
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&, t] {
            for (int i = 0; i < adds; ++i) splat(accum.data(), (i + t) % 4, Color(1.0f, 2.0f, 0.5f));
        });
    for (auto& th : pool) th.join();
    const float each = static_cast<float>(threads) * adds / 4;  // exact in float
    for (const Color& c : accum) {
        EXPECT_EQ(c.r, each);
        EXPECT_EQ(c.g, 2 * each);
        EXPECT_EQ(c.b, 0.5f * each);
    }

    // The same through the backend's launcher, every item on one pixel.
    device::Buffer<Color> dev(1, device::MemoryKind::Managed);
    device::fillBytes(dev.get(), 0, dev.bytes());
    Color* p = dev.get();
    const int n = 1 << 16;
    device::launchPathArray(
        n, LUMENAR_LAMBDA(int) { splat(p, 0, Color(1.0f, 1.0f, 1.0f)); });
    device::synchronize();
    Color sum;
    dev.download(&sum, 1);
    EXPECT_EQ(sum.r, static_cast<float>(n));
    EXPECT_EQ(sum.b, static_cast<float>(n));
}

// ---- whole scenes --------------------------------------------------------------

namespace {

using test::writeScene;

struct Mtl {
    const char* name;
    Color base;
    Color emission;
    float transparency;
    float ior;
};

std::string materials(const std::vector<Mtl>& list) {
    std::ostringstream m;
    m << "material\n" << list.size() << "\n\n";
    for (std::size_t i = 0; i < list.size(); ++i) {
        const Mtl& t = list[i];
        m << "mtl " << i << " " << t.name << "\n"
          << "basecolor " << t.base.r << " " << t.base.g << " " << t.base.b << "\n"
          << "specular 0 0 0\nemission " << t.emission.r << " " << t.emission.g << " " << t.emission.b
          << "\ntransmission 1 1 1\nmetalness 0\nanisotropic False\nroughness 0\nroughnessY 0\n"
          << "transparency " << t.transparency << "\nIOR " << t.ior << "\ntex 0\nrsc 0\nabsorption 0 0 0\n";
    }
    return m.str();
}

// Mesh objects written one after the other; vertex numbers run on.
struct MeshWriter {
    std::ostringstream body;
    int objects = 0, vertices = 0;
    void quad(int material, Vector3d a, Vector3d b, Vector3d c, Vector3d d, bool movable = false) {
        body << "o " << objects++ << " quad\n";
        if (movable) body << "movable True\n";
        for (const Vector3d& p : {a, b, c, d}) body << "v " << p.x << " " << p.y << " " << p.z << "\n";
        body << "usemtl " << material << " m\ns off\n";
        const int v = vertices + 1;
        body << "f " << v << " " << v + 1 << " " << v + 2 << "\nf " << v << " " << v + 2 << " " << v + 3
             << "\n";
        vertices += 4;
    }
    // A sphere of latitude-longitude triangles.
    void sphere(int material, Vector3d c, float r, int rings, int segments, bool movable = false) {
        body << "o " << objects++ << " sphere\n";
        if (movable) body << "movable True\n";
        const double pi = 3.14159265358979323846;
        for (int i = 0; i <= rings; ++i)
            for (int j = 0; j < segments; ++j) {
                const double th = pi * i / rings, ph = 2 * pi * j / segments;
                body << "v " << c.x + r * std::sin(th) * std::cos(ph) << " " << c.y + r * std::cos(th) << " "
                     << c.z + r * std::sin(th) * std::sin(ph) << "\n";
            }
        body << "usemtl " << material << " m\ns off\n";
        auto id = [&](int i, int j) { return vertices + 1 + i * segments + (j % segments); };
        for (int i = 0; i < rings; ++i)
            for (int j = 0; j < segments; ++j) {
                if (i > 0) body << "f " << id(i, j) << " " << id(i, j + 1) << " " << id(i + 1, j) << "\n";
                if (i < rings - 1)
                    body << "f " << id(i, j + 1) << " " << id(i + 1, j + 1) << " " << id(i + 1, j) << "\n";
            }
        vertices += (rings + 1) * segments;
    }
    std::string text() const { return "mesh\n" + std::to_string(objects) + "\n\n" + body.str(); }
};

// A closed grey box with a red wall and a ceiling lamp, seen from inside
// looking down, so the lamp itself is out of view. spotEmission > 0 adds a
// lamp of half-size spotSize in mid-air in the middle of the view.
std::string diffuseBox(int W, int H, float albedo, float emission, float spotSize = 0.0f,
                       float spotEmission = 0.0f) {
    std::ostringstream s;
    s << "diffuse box\ncamera\nresolution " << W << " " << H
      << "\neye 0 0.2 0.9\nlookat 0 -1 -0.6\nup 0 1 0\nnear 1\nbgcolor\n0 0 0\n"
      << materials({{"grey", constant(albedo), constant(0), 0, 1},
                    {"red", Color(albedo, 0.3f * albedo, 0.3f * albedo), constant(0), 0, 1},
                    {"lamp", constant(0), constant(emission), 0, 1},
                    {"spot", constant(0), constant(spotEmission), 0, 1}});
    MeshWriter m;
    const float e = 1.0f;
    m.quad(0, {-e, -e, -e}, {e, -e, -e}, {e, -e, e}, {-e, -e, e});  // floor
    m.quad(0, {-e, e, -e}, {e, e, -e}, {e, e, e}, {-e, e, e});      // ceiling
    m.quad(0, {-e, -e, -e}, {e, -e, -e}, {e, e, -e}, {-e, e, -e});  // back
    m.quad(0, {-e, -e, e}, {e, -e, e}, {e, e, e}, {-e, e, e});      // front
    m.quad(1, {-e, -e, -e}, {-e, e, -e}, {-e, e, e}, {-e, -e, e});  // left, red
    m.quad(0, {e, -e, -e}, {e, e, -e}, {e, e, e}, {e, -e, e});      // right
    const float a = 0.3f, y = 0.98f;
    m.quad(2, {-a, y, -a}, {a, y, -a}, {a, y, a}, {-a, y, a});  // lamp, facing down
    if (spotEmission > 0.0f) {
        // Half-way to the floor on the line of sight, facing the camera.
        const Vector3d p(0.003f, -0.1125f, 0.51f), u(spotSize, 0.0f, 0.0f),
            v(0.0f, 0.781f * spotSize, -0.625f * spotSize);
        m.quad(3, p - u - v, p + u - v, p + u + v, p - u + v);
    }
    return s.str() + m.text();
}

// A glass sphere on a dark floor under a small lamp: the light focused
// through the sphere reaches the floor only along specular paths.
std::string glassCaustic(int W, int H) {
    std::ostringstream s;
    s << "glass caustic\ncamera\nresolution " << W << " " << H
      << "\neye 0 2.2 2.2\nlookat 0 0 0\nup 0 1 0\nnear 1.6\nbgcolor\n0 0 0\n"
      << materials({{"floor", constant(0.4f), constant(0), 0, 1},
                    {"glass", constant(0), constant(0), 1.0f, 1.5f},
                    {"lamp", constant(0), constant(40.0f), 0, 1}});
    MeshWriter m;
    m.quad(0, {-3, 0, -3}, {3, 0, -3}, {3, 0, 3}, {-3, 0, 3});
    m.sphere(1, {0, 0.5f, 0}, 0.5f, 12, 16);
    const float a = 0.15f, y = 2.5f, x = 0.8f;
    m.quad(2, {x - a, y, -a}, {x + a, y, -a}, {x + a, y, a}, {x - a, y, a});
    return s.str() + m.text();
}

// The bundled opening scene (a room lit through a narrow opening, with a
// glass sphere) at W x H pixels.
std::string openingScene(int W, int H) {
    std::ifstream in(std::string(LUMENAR_SOURCE_DIR) + "/scenes/opening/input", std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t at = text.find("resolution 256 256");
    if (at == std::string::npos) return std::string();
    return text.replace(at, 18, "resolution " + std::to_string(W) + " " + std::to_string(H));
}

// A started application around a scene file, its output captured.
struct App {
    std::unique_ptr<Application> app;
    std::string errors;  // what start-up printed on standard error
    explicit App(const std::string& path, const Settings& settings = Settings()) {
        app = std::make_unique<Application>(settings);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        started = app->start(path);
        // The chains are made after start-up, while the path tracer could
        // already run: these tests want them (and what their set-up said).
        if (started) app->waitForMetro();
        errors = testing::internal::GetCapturedStderr();
        testing::internal::GetCapturedStdout();
    }
    ~App() {
        testing::internal::CaptureStdout();
        app->shutdown();
        testing::internal::GetCapturedStdout();
    }
    bool started = false;
    int W() const { return app->imageWidth(); }
    int H() const { return app->imageHeight(); }
};

std::vector<Color> download(const Color* p, std::size_t n) {
    std::vector<Color> v(n);
    device::copyToHost(v.data(), p, n * sizeof(Color));
    return v;
}

// The running average after `frames` Metropolis frames of chains set up with
// `salt` (salt 0: the application's own chains).
// What a test switches on a renderer before its frames (modes, moves).
using FrameSetup = std::function<void(Renderer&)>;

// Chains of their own are set up with `media`, so that a renderer with the
// same switches goes on from their start-up without a restart.
std::vector<Color> metroAverage(App& a, int frames, uint32_t salt, const Camera* setupView = nullptr,
                                const FrameSetup& setup = FrameSetup(), const MediaFlags& media = {},
                                float startCap = Settings().mltStartCap) {
    FrameResources res = frameResources(*a.app);
    MetroChains chains;
    if (salt != 0) {
        const Camera& view = setupView ? *setupView : a.app->scene().camera;
        res.kdScene.media = media;
        EXPECT_TRUE(mltSetup(view, a.W(), a.H(), res.kdScene, chains, salt, startCap));
        res.metro = &chains;
    }
    Renderer r(res);
    r.mltEnabled = true;
    if (setup) setup(r);
    EXPECT_TRUE(r.metroReady());
    device::Buffer<Color> display(static_cast<std::size_t>(a.W()) * a.H());
    for (int f = 0; f < frames; ++f) r.renderFrame(a.app->scene().camera, display.get());
    std::vector<Color> avg = download(r.accumBuffer(), display.size());
    for (Color& c : avg) c = c / static_cast<float>(r.frameCount());
    return avg;
}

// Region means: the whole image and its four quadrants (summed components).
constexpr int kRegions = 5;
std::vector<double> regionMeans(const std::vector<Color>& img, int W, int H) {
    std::vector<double> sum(kRegions, 0.0), count(kRegions, 0.0);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            const Color& c = img[static_cast<std::size_t>(y) * W + x];
            const double v = static_cast<double>(c.r) + c.g + c.b;
            const int q = 1 + (x >= W / 2 ? 1 : 0) + (y >= H / 2 ? 2 : 0);
            sum[0] += v, count[0] += 1;
            sum[q] += v, count[q] += 1;
        }
    for (int i = 0; i < kRegions; ++i) sum[i] /= count[i];
    return sum;
}

struct Estimate {
    std::vector<double> mean, stderr_;
};

// Path-traced reference: frames are independent, so the spread of their
// region means gives the standard error.
Estimate pathTraced(App& a, int frames, const FrameSetup& setup = FrameSetup()) {
    Renderer r(frameResources(*a.app));
    if (setup) setup(r);
    const std::size_t n = static_cast<std::size_t>(a.W()) * a.H();
    device::Buffer<Color> display(n);
    std::vector<Color> prev(n), frame(n);
    std::vector<double> s(kRegions, 0.0), s2(kRegions, 0.0);
    for (int f = 0; f < frames; ++f) {
        r.renderFrame(a.app->scene().camera, display.get());
        const std::vector<Color> acc = download(r.accumBuffer(), n);
        for (std::size_t i = 0; i < n; ++i) frame[i] = acc[i] - prev[i];
        prev = acc;
        const std::vector<double> m = regionMeans(frame, a.W(), a.H());
        for (int i = 0; i < kRegions; ++i) s[i] += m[i], s2[i] += m[i] * m[i];
    }
    Estimate e;
    for (int i = 0; i < kRegions; ++i) {
        const double mean = s[i] / frames;
        e.mean.push_back(mean);
        e.stderr_.push_back(std::sqrt(std::max(0.0, s2[i] / frames - mean * mean) / (frames - 1)));
    }
    return e;
}

// Independent Metropolis runs: their spread gives the standard error.
Estimate metropolis(App& a, int runs, int frames, const Camera* setupView = nullptr,
                    const FrameSetup& setup = FrameSetup(), const MediaFlags& media = {},
                    float startCap = Settings().mltStartCap) {
    std::vector<double> s(kRegions, 0.0), s2(kRegions, 0.0);
    for (int run = 0; run < runs; ++run) {
        const std::vector<double> m =
            regionMeans(metroAverage(a, frames, 101u + run, setupView, setup, media, startCap), a.W(), a.H());
        for (int i = 0; i < kRegions; ++i) s[i] += m[i], s2[i] += m[i] * m[i];
    }
    Estimate e;
    for (int i = 0; i < kRegions; ++i) {
        const double mean = s[i] / runs;
        e.mean.push_back(mean);
        e.stderr_.push_back(std::sqrt(std::max(0.0, s2[i] / runs - mean * mean) / (runs - 1)));
    }
    return e;
}

// The per-frame evaluation over independent uniform states, pixel by pixel:
// path tracing through the kd-tree with the numbers a chain would hold.
Estimate independentStates(App& a, int perPixel) {
    const int W = a.W(), H = a.H();
    const KdScene scene = kdSceneOf(a.app->kdTree(), a.app->bvhTree());
    std::vector<double> s(kRegions, 0.0), s2(kRegions, 0.0);
    std::vector<Color> img(static_cast<std::size_t>(W) * H);
    for (int k = 0; k < perPixel; ++k) {
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x) {
                XorwowState rng;
                metroGenerator(0x5eedu + k, y * W + x, &rng);
                MLTSample m;
                metroStartState(x, y, &rng, m);
                MetroTraversal tt;
                img[static_cast<std::size_t>(y) * W + x] =
                    metroRadiance(a.app->scene().camera, m, W, H, tt, scene);
            }
        const std::vector<double> r = regionMeans(img, W, H);
        for (int i = 0; i < kRegions; ++i) s[i] += r[i], s2[i] += r[i] * r[i];
    }
    Estimate e;
    for (int i = 0; i < kRegions; ++i) {
        const double mean = s[i] / perPixel;
        e.mean.push_back(mean);
        e.stderr_.push_back(std::sqrt(std::max(0.0, s2[i] / perPixel - mean * mean) / (perPixel - 1)));
    }
    return e;
}

const FrameSetup combined = [](Renderer& r) { r.mltCombineLargeSteps = true; };

// Both estimates agree in every region within z combined standard errors.
void expectSameImage(const Estimate& pt, const Estimate& mlt, double z, const char* scene,
                     double power = 0.06) {
    for (int i = 0; i < kRegions; ++i) {
        const double se = std::sqrt(pt.stderr_[i] * pt.stderr_[i] + mlt.stderr_[i] * mlt.stderr_[i]);
        EXPECT_NEAR(mlt.mean[i], pt.mean[i], z * se)
            << scene << " region " << i << ": path traced " << pt.mean[i] << " +- " << pt.stderr_[i]
            << ", Metropolis " << mlt.mean[i] << " +- " << mlt.stderr_[i];
        // The comparison has power: the error is a few per cent at most.
        EXPECT_LT(se, power * pt.mean[i]) << scene << " region " << i << ": standard errors " << pt.stderr_[i]
                                          << " (path traced) and " << mlt.stderr_[i] << " (Metropolis)";
    }
}

// One run with Metropolis switched on from the first frame while the
// application's chains (seeded with `salt`) are still being made: the
// worker is held until a few frames have run, then frames go on while it
// builds the kd-tree and sets up the chains. Frames are path traced until the
// chains are published; the first frame after that starts a new average in
// Metropolis mode, and `frames` Metropolis frames are averaged.
std::vector<Color> metroSwitchedOnEarly(const std::string& path, uint32_t salt, int frames) {
    Settings settings;
    settings.metroSalt = salt;
    Application app(settings);
    std::mutex mutex;
    std::condition_variable wake;
    bool open = false;
    app.beforeMetro = [&] {
        std::unique_lock<std::mutex> lock(mutex);
        wake.wait(lock, [&] { return open; });
    };
    testing::internal::CaptureStdout();
    std::vector<Color> avg;
    if (app.start(path)) {
        Renderer r(frameResources(app));
        r.mltEnabled = true;
        const Camera& camera = app.scene().camera;
        device::Buffer<Color> display(static_cast<std::size_t>(app.imageWidth()) * app.imageHeight());
        for (int f = 0; f < 3; ++f) EXPECT_TRUE(r.renderFrame(camera, display.get()).ok());
        // Path traced meanwhile, into one average.
        EXPECT_TRUE(r.metroPending());
        EXPECT_FALSE(r.metroReady());
        EXPECT_EQ(r.frameCount(), 3u);
        {
            std::lock_guard<std::mutex> lock(mutex);
            open = true;
        }
        wake.notify_all();
        // A frame that begins after the publication takes the chains over.
        for (int f = 0;; ++f) {
            const bool published = !app.metroHandoff().pending();
            EXPECT_TRUE(r.renderFrame(camera, display.get()).ok());
            if (r.metroReady() || published) break;
            EXPECT_EQ(r.frameCount(), 4u + static_cast<uint32_t>(f));
        }
        EXPECT_TRUE(r.metroReady());
        EXPECT_FALSE(r.metroPending());
        EXPECT_EQ(r.frameCount(), 1u);  // the mode changed: a new average
        while (r.metroReady() && r.frameCount() < static_cast<uint32_t>(frames))
            EXPECT_TRUE(r.renderFrame(camera, display.get()).ok());
        avg = download(r.accumBuffer(), display.size());
        for (Color& c : avg) c = c / static_cast<float>(r.frameCount());
    }
    app.shutdown();
    testing::internal::GetCapturedStdout();
    return avg;
}

}  // namespace

// Metropolis and the path tracer converge to the same image. The box's walls
// are dark enough that the light the Metropolis paths leave out (beyond four
// bounces, albedo^5 of the image) stays far below the tolerance.
TEST(MetroImage, DiffuseBoxMatchesThePathTracer) {
    device::ThreadLimit limit(2);
    App a(writeScene("lumenar_mlt_box", diffuseBox(16, 16, 0.3f, 8.0f)));
    ASSERT_TRUE(a.started);
    EXPECT_GT(a.app->metroChains().meanLuminance, 0.0f);
    const Estimate pt = pathTraced(a, 400);
    const Estimate mlt = metropolis(a, 8, 48);
    expectSameImage(pt, mlt, 5.0, "diffuse box");
    expectSameImage(pt, metropolis(a, 8, 48, nullptr, combined), 5.0, "diffuse box, combined splats");
}

// The opening scene with every Metropolis option at its default: light that
// comes in through a narrow opening and through glass, where chains hold
// bright paths for many frames. Forced acceptances past the warm-up would
// shift the image's colour here (red low, green and blue high).
TEST(MetroImage, OpeningWithTheDefaultOptionsMatchesThePathTracer) {
    device::ThreadLimit limit(2);
    App a(writeScene("lumenar_mlt_opening", openingScene(16, 16)));
    ASSERT_TRUE(a.started);
    const Estimate pt = pathTraced(a, 1500);
    const Estimate mlt = metropolis(a, 12, 400);
    expectSameImage(pt, mlt, 5.0, "opening", 0.15);
}

TEST(MetroImage, GlassCausticMatchesThePathTracer) {
    device::ThreadLimit limit(2);
    App a(writeScene("lumenar_mlt_caustic", glassCaustic(16, 16)));
    ASSERT_TRUE(a.started);
    // Enough samples for a comparison with power: paths that go on through
    // the first bounces without roulette carry the caustic's rare heavy
    // contributions further.
    const Estimate pt = pathTraced(a, 1200);
    // The per-frame evaluation itself, on independent states.
    expectSameImage(pt, independentStates(a, 1200), 5.0, "glass caustic, independent states");
    const Estimate mlt = metropolis(a, 8, 128);
    expectSameImage(pt, mlt, 5.0, "glass caustic");
    expectSameImage(pt, metropolis(a, 8, 128, nullptr, combined), 5.0, "glass caustic, combined splats");
}

// Switched on before its chains are ready, Metropolis starts when they are
// and converges to the path tracer's image (independent runs give the
// standard error).
TEST(MetroImage, SwitchedOnBeforeItsChainsAreReadyItStartsWhenTheyAre) {
    device::ThreadLimit limit(2);
    const std::string path = writeScene("lumenar_mlt_early", diffuseBox(16, 16, 0.3f, 8.0f));
    Estimate pt;
    {
        App a(path);
        ASSERT_TRUE(a.started);
        pt = pathTraced(a, 400);
    }
    const int runs = 8;
    std::vector<double> s(kRegions, 0.0), s2(kRegions, 0.0);
    for (int run = 0; run < runs; ++run) {
        const std::vector<Color> avg = metroSwitchedOnEarly(path, 101u + static_cast<uint32_t>(run), 48);
        ASSERT_EQ(avg.size(), 16u * 16u);
        const std::vector<double> m = regionMeans(avg, 16, 16);
        for (int i = 0; i < kRegions; ++i) s[i] += m[i], s2[i] += m[i] * m[i];
    }
    Estimate mlt;
    for (int i = 0; i < kRegions; ++i) {
        const double mean = s[i] / runs;
        mlt.mean.push_back(mean);
        mlt.stderr_.push_back(std::sqrt(std::max(0.0, s2[i] / runs - mean * mean) / (runs - 1)));
    }
    expectSameImage(pt, mlt, 5.0, "diffuse box, chains made while frames ran");
}

// The same handover, short: frames run on this thread while the worker
// builds the kd-tree and sets up the chains (the thread-sanitizer stage
// runs it).
TEST(MetroImage, ChainsAreMadeWhileFramesRun) {
    device::ThreadLimit limit(2);
    const std::string path = writeScene("lumenar_mlt_while", diffuseBox(12, 8, 0.3f, 8.0f));
    const std::vector<Color> avg = metroSwitchedOnEarly(path, 7u, 3);
    ASSERT_EQ(avg.size(), 12u * 8u);
    double sum = 0.0;
    for (const Color& c : avg) sum += c.r + c.g + c.b;
    EXPECT_GT(sum, 0.0);
}

TEST(MetroImage, AllBlackSceneStaysBlack) {
    App a(writeScene("lumenar_mlt_black", diffuseBox(12, 8, 0.5f, 0.0f)));
    ASSERT_TRUE(a.started);
    EXPECT_EQ(a.app->metroChains().meanLuminance, 0.0f);
    const std::vector<Color> avg = metroAverage(a, 6, 0);
    for (const Color& c : avg) ASSERT_TRUE(c.isBlack());
}

// Start-up picks every chain's first state among the pixels' candidates in
// proportion to their luminance: a candidate that sees no light is never
// picked, and each chain holds the contribution of the state it starts in.
TEST(MetroImage, ChainsStartAtLitCandidatesWithTheirOwnContribution) {
    App a(writeScene("lumenar_mlt_start", diffuseBox(10, 6, 0.5f, 8.0f)));
    ASSERT_TRUE(a.started);
    MetroChains& chains = a.app->metroChains();
    ASSERT_TRUE(chains.ready());
    const int W = a.W(), H = a.H();
    const KdScene scene = kdSceneOf(a.app->kdTree(), a.app->bvhTree());
    for (int idx = 0; idx < W * H; ++idx) {
        const MLTSample& s = chains.samples.get()[idx];
        ASSERT_GE(s.values[0], 0.0f);
        ASSERT_LT(s.values[0], static_cast<float>(W));
        ASSERT_GE(s.values[1], 0.0f);
        ASSERT_LT(s.values[1], static_cast<float>(H));
        for (int i = kMetroFirstPathNumber; i < kMetroNumbers; ++i) {
            ASSERT_GE(s.values[i], 0.0f);
            ASSERT_LT(s.values[i], 1.0f);
        }
        MetroTraversal tt;
        const Color c = metroRadiance(a.app->scene().camera, s, W, H, tt, scene);
        const Color stored = chains.contributions.get()[idx];
        EXPECT_EQ(c.r, stored.r);
        EXPECT_EQ(c.b, stored.b);
        EXPECT_GT(metroLuminance(stored), 0.0f) << "chain " << idx;
        EXPECT_EQ(chains.rejectCounters.get()[idx], 0);

        // The generator-driven evaluation of the same candidate agrees.
        const int px = static_cast<int>(s.values[0]), py = static_cast<int>(s.values[1]);
        XorwowState rng;
        metroGenerator(chains.salt, py * W + px, &rng);
        MLTSample again;
        const Color g = metroRadiance(px, py, &rng, a.app->scene().camera, W, H, tt, scene, again);
        ASSERT_EQ(again.values[0], s.values[0]);
        ASSERT_EQ(again.values[40], s.values[40]);
        EXPECT_EQ(g.g, stored.g);
    }
}

// A lamp smaller than a pixel, thousands of times brighter than the floor
// around it: the one candidate that finds it is a firefly. With an uncapped
// start the chains start on candidates in proportion to their luminance, so
// most of them start on the firefly. With a capped start (the default) each
// candidate is picked in
// proportion to its luminance capped at kMetroStartCap times its neighbours'
// mean (the image's where that is larger). Either way the normalisation
// keeps the true mean.
TEST(MetroImage, FireflyCandidatesTakeOnlyTheirCappedShareOfChainsWithACappedStart) {
    Settings uncapped;
    uncapped.mltStartCap = 0.0f;
    App a(writeScene("lumenar_mlt_cap", diffuseBox(48, 32, 0.5f, 8.0f, 0.005f, 1e5f)), uncapped);
    ASSERT_TRUE(a.started);
    const MetroChains& chains = a.app->metroChains();
    ASSERT_TRUE(chains.ready());
    // Capped chains over the same candidates (the same salt).
    MetroChains capped;
    ASSERT_TRUE(mltSetup(a.app->scene().camera, a.W(), a.H(), frameResources(*a.app).kdScene, capped,
                         chains.salt, kMetroStartCap));
    const int W = a.W(), H = a.H(), n = W * H;
    const KdScene scene = kdSceneOf(a.app->kdTree(), a.app->bvhTree());
    const Camera& cam = a.app->scene().camera;
    std::vector<double> lum(n);
    double total = 0.0;
    for (int j = 0; j < n; ++j) {
        XorwowState rng;
        metroGenerator(chains.salt, j, &rng);
        MetroTraversal tt;
        MLTSample m;
        lum[j] = metroLuminance(metroRadiance(j % W, j / W, &rng, cam, W, H, tt, scene, m));
        total += lum[j];
    }
    EXPECT_NEAR(chains.meanLuminance, total / n, 1e-4 * total / n);
    std::vector<double> pick(n);
    double pickTotal = 0.0;
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            double sum = 0.0;
            int k = 0;
            for (int ny = y - kMetroStartRadius; ny <= y + kMetroStartRadius; ++ny)
                for (int nx = x - kMetroStartRadius; nx <= x + kMetroStartRadius; ++nx)
                    if ((nx != x || ny != y) && nx >= 0 && ny >= 0 && nx < W && ny < H)
                        sum += lum[ny * W + nx], ++k;
            const double cap = kMetroStartCap * std::max(sum / k, total / n);
            pick[y * W + x] = std::min(lum[y * W + x], cap);
            pickTotal += pick[y * W + x];
        }
    double uncappedShare = 0.0, cappedShare = 0.0;
    int fireflies = 0;
    for (int j = 0; j < n; ++j)
        if (pick[j] < lum[j]) {
            uncappedShare += lum[j] / total;
            cappedShare += pick[j] / pickTotal;
            ++fireflies;
        }
    const auto shareOnFireflies = [&](const MetroChains& c) {
        int on = 0;
        for (int idx = 0; idx < n; ++idx) {
            const MLTSample& s = c.samples.get()[idx];
            const int j = static_cast<int>(s.values[1]) * W + static_cast<int>(s.values[0]);
            if (pick[j] < lum[j]) ++on;
        }
        return static_cast<double>(on) / n;
    };
    const auto sigmaOf = [&](double p) { return std::sqrt(p * (1.0 - p) / n); };
    ASSERT_GT(uncappedShare - cappedShare, 10.0 * sigmaOf(cappedShare))
        << fireflies << " fireflies: the spot must stand out for the test to mean anything";
    EXPECT_NEAR(shareOnFireflies(capped), cappedShare, 5.0 * sigmaOf(cappedShare))
        << "uncapped share " << uncappedShare;
    EXPECT_NEAR(shareOnFireflies(chains), uncappedShare, 5.0 * sigmaOf(uncappedShare) + 1.0 / n);
    EXPECT_EQ(capped.meanLuminance, chains.meanLuminance);
}

// The chain mechanics alone, on a known contribution function over the
// primary sample space: the splatted image converges to its pixel integrals.
// Independent runs give the standard error.
TEST(MetroSteps, ChainsReproduceAKnownImage) {
    const int W = 8, H = 4, n = W * H;
    // Bright where x < 2 and the first path number is below 0.2; dim elsewhere.
    const auto f = [](const MLTSample& m) {
        const float v = (m.values[0] < 2.0f && m.values[2] < 0.2f) ? 20.0f : 1.0f;
        return Color(v, 0.5f * v, 0.0f);
    };
    // Pixel integrals: 0.2 * 20 + 0.8 = 4.8 where x < 2, else 1.
    const double brightExpected = 4.8, dimExpected = 1.0;
    const float meanLum = (2.0f * 4.8f + 6.0f * 1.0f) / 8.0f;
    const int runs = 6, frames = 3000;
    std::vector<double> bright, dim;
    for (int run = 0; run < runs; ++run) {
        std::vector<MLTSample> samples(n);
        std::vector<Color> contributions(n);
        std::vector<int> rejects(n, 0);
        for (int i = 0; i < n; ++i) {
            XorwowState rng;
            metroGenerator(77 + run, i, &rng);
            metroStartState(i % W, i / W, &rng, samples[i]);
            contributions[i] = f(samples[i]);
        }
        std::vector<Color> accum(n);
        const MetroChainArrays a{samples.data(), contributions.data(), rejects.data(), nullptr};
        for (int k = 1; k <= frames; ++k) {
            MetroFrameParams p;
            p.frame = k;
            p.frameSeed = WangHash(k);
            p.salt = 1000u * run;
            p.meanLuminance = meanLum;
            p.width = W;
            p.height = H;
            for (int i = 0; i < n; ++i) metroChainStep(i, p, a, accum.data(), f);
        }
        double b = 0.0, d = 0.0;
        for (int i = 0; i < n; ++i) {
            ASSERT_EQ(accum[i].b, 0.0f);
            EXPECT_FLOAT_EQ(accum[i].g, 0.5f * accum[i].r);
            ((i % W) < 2 ? b : d) += accum[i].r / frames;
        }
        bright.push_back(b / (2 * H));
        dim.push_back(d / (6 * H));
    }
    auto check = [&](const std::vector<double>& v, double expected, const char* what) {
        double s = 0.0, s2 = 0.0;
        for (double x : v) s += x, s2 += x * x;
        const double mean = s / runs;
        const double se = std::sqrt(std::max(0.0, s2 / runs - mean * mean) / (runs - 1));
        EXPECT_NEAR(mean, expected, 5.0 * se + 1e-3 * expected) << what << " standard error " << se;
        EXPECT_LT(se, 0.02 * expected) << what;
    };
    check(bright, brightExpected, "bright strip");
    check(dim, dimExpected, "dim part");
}

// A chain set-up that fails (here: over its memory limit, as an image too
// large for the device would be) leaves Metropolis mode off with one line
// that says so, and the path tracer renders as it would with chains: its
// sample states are its own.
TEST(MetroImage, AFailedChainSetUpLeavesThePathTracerRunning) {
    const std::string path = writeScene("lumenar_mlt_nochains", diffuseBox(12, 8, 0.5f, 8.0f));
    Settings limited;
    limited.mltMemoryLimit = mltSetupBytes(12, 8) - 1;
    App without(path, limited);
    ASSERT_TRUE(without.started) << "start-up stopped without Metropolis chains";
    EXPECT_FALSE(without.app->metroChains().ready());
    EXPECT_NE(without.app->sobolStates(), nullptr);
    EXPECT_NE(without.errors.find("Metropolis light transport is unavailable"), std::string::npos)
        << without.errors;
    ASSERT_FALSE(without.errors.empty());
    EXPECT_EQ(without.errors.back(), '\n') << without.errors;
    EXPECT_EQ(without.errors.find("cuda"), std::string::npos) << without.errors;

    // Just enough memory: the chains are set up.
    limited.mltMemoryLimit = mltSetupBytes(12, 8);
    App with(path, limited);
    ASSERT_TRUE(with.started);
    EXPECT_TRUE(with.app->metroChains().ready());
    EXPECT_TRUE(with.errors.empty()) << with.errors;

    // The same path-traced frames, bit for bit, with and without chains.
    BatchOptions options;
    options.frames = 6;
    const BatchResult a = renderBatch(*without.app, options);
    const BatchResult b = renderBatch(*with.app, options);
    ASSERT_TRUE(a.ok);
    ASSERT_TRUE(b.ok);
    ASSERT_EQ(a.average.size(), b.average.size());
    double total = 0.0;
    for (std::size_t i = 0; i < a.average.size(); ++i) {
        ASSERT_EQ(a.average[i].r, b.average[i].r) << "pixel " << i;
        ASSERT_EQ(a.average[i].b, b.average[i].b) << "pixel " << i;
        total += a.average[i].r;
    }
    EXPECT_GT(total, 0.0);

    // Asked for Metropolis frames, the run without chains refuses, saying why.
    options.mlt = true;
    testing::internal::CaptureStderr();
    const BatchResult m = renderBatch(*without.app, options);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(m.ok);
    EXPECT_NE(said.find("Metropolis mode is unavailable"), std::string::npos) << said;
    // A renderer switched to Metropolis without chains goes on path tracing.
    Renderer r(frameResources(*without.app));
    r.mltEnabled = true;
    EXPECT_FALSE(r.metroReady());
    device::Buffer<Color> display(12 * 8);
    r.renderFrame(without.app->scene().camera, display.get());
    EXPECT_EQ(r.frameCount(), 1u);
}

// The renderer forces acceptances in the warm-up after a restart and not
// after it: a chain on a lamp smaller than a pixel (its proposals leave the
// lamp and are seldom accepted) is held there past the forcing count only
// once the warm-up is over, and again only after a restart's warm-up.
TEST(MetroImage, TheRendererForcesAcceptancesInTheWarmUpOnly) {
    App a(writeScene("lumenar_mlt_warmup", openingScene(16, 16)));
    ASSERT_TRUE(a.started);
    Renderer r(frameResources(*a.app));
    r.mltEnabled = true;
    ASSERT_EQ(r.mltForcedAcceptance, kMetroForcedAcceptance);
    const MetroChains& chains = a.app->metroChains();
    const int n = a.W() * a.H();
    device::Buffer<Color> display(n);
    const auto longestRejection = [&] {
        int most = 0;
        for (int i = 0; i < n; ++i) most = std::max(most, chains.rejectCounters.get()[i]);
        return most;
    };
    for (int round = 0; round < 2; ++round) {
        for (uint32_t f = 1; f <= kMetroForcedWarmUp; ++f) {
            r.renderFrame(a.app->scene().camera, display.get());
            ASSERT_LE(longestRejection(), kMetroForcedAcceptance) << "frame " << f << " of round " << round;
        }
        for (int f = 0; f < 3 * kMetroForcedAcceptance; ++f)
            r.renderFrame(a.app->scene().camera, display.get());
        EXPECT_GT(longestRejection(), kMetroForcedAcceptance) << "round " << round;
        r.requestReset();
    }
}

// Start-up hands the kd-tree the arrays the chains trace, the editable
// (managed) materials and volumes among them; the Renderer's reset in
// Metropolis mode clears the contributions, so the next frame accepts every
// chain's proposal.
TEST(MetroImage, StartUpAndResetThroughTheRenderer) {
    App a(writeScene("lumenar_mlt_reset", diffuseBox(8, 6, 0.5f, 8.0f)));
    ASSERT_TRUE(a.started);
    const KdTree& tree = a.app->kdTree();
    ASSERT_EQ(tree.sceneView, &a.app->sceneView());
    EXPECT_EQ(tree.sceneView->materials, a.app->materials());
    EXPECT_EQ(tree.sceneView->volumes, a.app->volumes());
    EXPECT_EQ(tree.sceneView->triangles, a.app->scene().deviceTriangles);
    EXPECT_EQ(tree.sceneView->lights.triangleCount, a.app->scene().lightCount);
    EXPECT_GT(a.app->startSeconds(), 0.0);
    EXPECT_GT(a.app->mltSetupSeconds(), 0.0);

    Renderer r(frameResources(*a.app));
    r.mltEnabled = true;
    ASSERT_TRUE(r.metroReady());
    MetroChains& chains = a.app->metroChains();
    const int n = a.W() * a.H();
    device::Buffer<Color> display(n);
    for (int f = 0; f < 6; ++f) r.renderFrame(a.app->scene().camera, display.get());
    int rejected = 0;
    for (int i = 0; i < n; ++i) rejected += chains.rejectCounters.get()[i] > 0 ? 1 : 0;
    EXPECT_GT(rejected, 0);  // otherwise the check below proves nothing

    r.requestReset();
    r.renderFrame(a.app->scene().camera, display.get());
    EXPECT_EQ(r.frameCount(), 1u);
    for (int i = 0; i < n; ++i) ASSERT_EQ(chains.rejectCounters.get()[i], 0) << "chain " << i;
    // Only the proposals were splatted: the old states' contributions were 0.
    const std::vector<Color> sum = download(r.accumBuffer(), n);
    double total = 0.0;
    for (int i = 0; i < n; ++i) {
        ASSERT_TRUE(isFinite(sum[i]));
        total += sum[i].r;
    }
    EXPECT_GT(total, 0.0);
}

// The normalisation follows the large steps: a wrong start-up value is
// pulled towards the mean luminance of uniform states, and the running sum is
// rescaled with it.
TEST(MetroImage, LargeStepsRefineTheNormalisation) {
    App a(writeScene("lumenar_mlt_norm", diffuseBox(12, 12, 0.5f, 8.0f)));
    ASSERT_TRUE(a.started);
    MetroChains& chains = a.app->metroChains();
    const double truth = chains.luminanceSum / chains.luminanceCount;
    ASSERT_GT(truth, 0.0);
    // As if the start-up had been five times too bright.
    chains.meanLuminance = static_cast<float>(5 * truth);
    chains.luminanceSum = 5 * chains.luminanceSum;
    Renderer r(frameResources(*a.app));
    r.mltEnabled = true;
    device::Buffer<Color> display(static_cast<std::size_t>(a.W()) * a.H());
    for (int f = 0; f < 4 * 24; ++f) r.renderFrame(a.app->scene().camera, display.get());
    // 1 start-up sample and 24 large steps per chain: (5 + 24) / 25 of the truth.
    EXPECT_NEAR(chains.meanLuminance, truth * 29.0 / 25.0, 0.1 * truth);
}

namespace {

// The diffuse box with what a test adds: a medium (a volume block), a
// movable lamp, and a sphere of material 3 standing on the floor.
struct BoxExtras {
    std::string volume;
    bool shutter = false;  // a movable grey quad spanning the box under the lamp
    bool sphere = false;
    bool movableSphere = false;
    bool movableLamp = false;           // the lamp is movable object 0
    Vector3d lampAt{0.0f, 0.0f, 0.0f};  // where the lamp stands, from its place under the ceiling
    Mtl sphereMaterial{"ball", constant(0.5f), constant(0), 0, 1};
};

std::string boxWith(int W, int H, float albedo, float emission, const BoxExtras& x) {
    std::ostringstream s;
    s << "box\ncamera\nresolution " << W << " " << H
      << "\neye 0 0.2 0.9\nlookat 0 -1 -0.6\nup 0 1 0\nnear 1\nbgcolor\n0 0 0\n"
      << x.volume
      << materials({{"grey", constant(albedo), constant(0), 0, 1},
                    {"red", Color(albedo, 0.3f * albedo, 0.3f * albedo), constant(0), 0, 1},
                    {"lamp", constant(0), constant(emission), 0, 1},
                    x.sphereMaterial});
    MeshWriter m;
    const float e = 1.0f;
    m.quad(0, {-e, -e, -e}, {e, -e, -e}, {e, -e, e}, {-e, -e, e});
    m.quad(0, {-e, e, -e}, {e, e, -e}, {e, e, e}, {-e, e, e});
    m.quad(0, {-e, -e, -e}, {e, -e, -e}, {e, e, -e}, {-e, e, -e});
    m.quad(0, {-e, -e, e}, {e, -e, e}, {e, e, e}, {-e, e, e});
    m.quad(1, {-e, -e, -e}, {-e, e, -e}, {-e, e, e}, {-e, -e, e});
    m.quad(0, {e, -e, -e}, {e, e, -e}, {e, e, e}, {e, -e, e});
    const float a = 0.3f, y = 0.98f;
    const Vector3d o = x.lampAt;
    m.quad(2, Vector3d(-a, y, -a) + o, Vector3d(a, y, -a) + o, Vector3d(a, y, a) + o, Vector3d(-a, y, a) + o,
           x.movableLamp);
    const float f = 1.05f;  // through the walls: no gap at the edges
    if (x.shutter) m.quad(0, {-f, 0.95f, -f}, {f, 0.95f, -f}, {f, 0.95f, f}, {-f, 0.95f, f}, true);
    if (x.sphere) m.sphere(3, {-0.45f, -0.6f, -0.45f}, 0.4f, 10, 14, x.movableSphere);
    return s.str() + m.text();
}

const char* kFog =
    "volume\nbbox global\npos 0 0 0\nsize 0 0 0\ninscatter yes\nsigma_a 0.1 0.1 0.1\n"
    "sigma_s 0.6 0.6 0.6\nle 0 0 0\ng 0.3\ntype homogeneous\n";

// Region sums of one frame of each mode, rendered right after a change.
struct OneFrameEach {
    double pathTraced = 0.0, metropolis = 0.0;
};
OneFrameEach oneFrameEach(App& a, Renderer& pt, Renderer& mlt) {
    const std::size_t n = static_cast<std::size_t>(a.W()) * a.H();
    device::Buffer<Color> display(n);
    OneFrameEach out;
    for (Renderer* r : {&pt, &mlt}) {
        const FrameStats fs = r->renderFrame(a.app->scene().camera, display.get());
        EXPECT_TRUE(fs.ok() && !fs.cancelled) << fs.error;
        EXPECT_EQ(r->frameCount(), 1u) << "the change restarts the average";
        double sum = 0.0;
        for (const Color& c : download(r->accumBuffer(), n)) {
            EXPECT_TRUE(isFinite(c));
            sum += static_cast<double>(c.r) + c.g + c.b;
        }
        (r == &pt ? out.pathTraced : out.metropolis) = sum;
    }
    return out;
}

}  // namespace

// Fog and subsurface walks are part of what the chains evaluate: with either
// switched on, Metropolis converges to the path tracer's image of it, and
// that image differs from the one without the effect (so the check has power).
TEST(MetroImage, FogMatchesThePathTracerWithFogOn) {
    device::ThreadLimit limit(2);
    BoxExtras x;
    x.volume = kFog;
    App a(writeScene("lumenar_mlt_fog", boxWith(16, 16, 0.3f, 8.0f, x)));
    ASSERT_TRUE(a.started);
    ASSERT_EQ(a.app->scene().volumeCount, 1);
    const FrameSetup fog = [](Renderer& r) { r.fogEnabled = true; };
    const Estimate pt = pathTraced(a, 400, fog);
    const Estimate clear = pathTraced(a, 400);
    EXPECT_GT(std::fabs(pt.mean[0] - clear.mean[0]), 8.0 * std::hypot(pt.stderr_[0], clear.stderr_[0]))
        << "the fog changes the image";
    MediaFlags media;
    media.fog = true;
    media.inscatter = true;
    expectSameImage(pt, metropolis(a, 8, 48, nullptr, fog, media), 5.0, "fog box");
}

TEST(MetroImage, SubsurfaceMatchesThePathTracerWithSubsurfaceOn) {
    device::ThreadLimit limit(2);
    BoxExtras x;
    x.sphere = true;
    // Negative transparency marks the material for subsurface walks.
    x.sphereMaterial = Mtl{"wax", Color(0.9f, 0.8f, 0.6f), constant(0), -1.0f, 1.4f};
    App a(writeScene("lumenar_mlt_sss", boxWith(16, 16, 0.3f, 8.0f, x)));
    ASSERT_TRUE(a.started);
    // Scattering and absorption inside the wax, set through the editable
    // materials both modes read.
    Material& wax = a.app->materials()[3];
    wax.rsc = 3.0f;
    wax.absorption = Color(0.3f, 0.8f, 1.6f);
    const FrameSetup sss = [](Renderer& r) { r.ssEnabled = true; };
    const Estimate pt = pathTraced(a, 400, sss);
    const Estimate opaque = pathTraced(a, 400);
    double largest = 0.0;
    for (int i = 0; i < kRegions; ++i)
        largest = std::max(
            largest, std::fabs(pt.mean[i] - opaque.mean[i]) / std::hypot(pt.stderr_[i], opaque.stderr_[i]));
    EXPECT_GT(largest, 8.0) << "the walks change the image";
    MediaFlags media;
    media.subsurface = true;
    // A small step moves the walk's later decisions a long way (the numbers
    // past a vertex's block follow a hash of the whole state), so chains in
    // the wax mix slowly: more runs, and a tenth of the mean as the bar.
    // Walks through the wax make bright candidates next to dim ones; a cap
    // much below kMetroStartCap (the default start's) leaves the chains there
    // too few for these frames.
    expectSameImage(pt, metropolis(a, 24, 160, nullptr, sss, media), 5.0, "subsurface sphere", 0.1);
    expectSameImage(pt, metropolis(a, 24, 160, nullptr, sss, media, 0.0f), 5.0,
                    "subsurface sphere, uncapped start", 0.1);
}

// The bundled default scene after the bunny has moved: the chains trace the
// bunny where it stands (its BVH subtree beside the static kd-tree), so both
// modes agree; the path tracer's image before the move differs.
TEST(MetroImage, DefaultSceneAfterABunnyMoveMatchesThePathTracer) {
    device::ThreadLimit limit(2);
    std::ifstream in(std::string(LUMENAR_SOURCE_DIR) + "/scenes/default/input", std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(text.empty()) << "scenes/default/input is made by the build";
    const std::string from = "resolution 256 256";
    const std::size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos);
    text.replace(at, from.size(), "resolution 12 12");
    App a(writeScene("lumenar_mlt_default_move", text));
    ASSERT_TRUE(a.started);
    ASSERT_EQ(a.app->scene().movableCount, 1);
    EXPECT_TRUE(a.app->kdTree().staticOnly);
    const Estimate before = pathTraced(a, 300);
    const FrameSetup move = [](Renderer& r) { r.requestMove(Vector3d(0.45f, 0.0f, 0.2f)); };
    const Estimate pt = pathTraced(a, 300, move);
    double largest = 0.0;
    for (int i = 0; i < kRegions; ++i)
        largest = std::max(
            largest, std::fabs(pt.mean[i] - before.mean[i]) / std::hypot(pt.stderr_[i], before.stderr_[i]));
    EXPECT_GT(largest, 8.0) << "the move changes the image";
    // The chains are set up where the bunny stands now (it stays moved).
    // With the lamp in view so few chains mix slowly: they run longer here.
    // The capped start (the default) keeps the lamp's share: the lamp's
    // pixels are bright together, so none of them is capped.
    expectSameImage(pt, metropolis(a, 8, 400), 5.0, "default scene, bunny moved");
    expectSameImage(pt, metropolis(a, 8, 400, nullptr, FrameSetup(), MediaFlags(), 0.0f), 5.0,
                    "default scene, bunny moved, uncapped start");
}

// A lamp that is the movable object lights the room from where it stands
// after a move: next-event estimation samples its triangles at their new
// place (they once stayed where the scene put them, so shadow rays aimed
// at an empty ceiling while the rays that hit the lamp found it moved). The
// image after the move is the one of the scene that has the lamp there from
// the start, in both modes.
TEST(MetroImage, AMovedLampLightsTheRoomFromWhereItStands) {
    device::ThreadLimit limit(2);
    const Vector3d shift(0.45f, -0.6f, 0.2f);
    BoxExtras moved;
    moved.movableLamp = true;
    BoxExtras placed = moved;
    placed.lampAt = shift;
    App a(writeScene("lumenar_lamp_moved", boxWith(16, 16, 0.5f, 8.0f, moved)));
    App b(writeScene("lumenar_lamp_placed", boxWith(16, 16, 0.5f, 8.0f, placed)));
    ASSERT_TRUE(a.started && b.started);
    ASSERT_EQ(a.app->scene().movableCount, 1);
    const Estimate there = pathTraced(b, 400);
    const FrameSetup move = [&](Renderer& r) { r.requestMove(shift); };
    expectSameImage(there, pathTraced(a, 400, move), 5.0, "path traced, lamp moved");
    expectSameImage(there, metropolis(a, 6, 60, nullptr, move), 5.0, "Metropolis, lamp moved");
}

// One scene view: a move of the mesh and a material edit are seen by the
// next frame of either mode. A movable shutter spanning the box just under
// the lamp shuts the lamp's light out of the room; moved below the floor
// (out of the box) it lets it in.
TEST(MetroImage, ChangesThroughTheSceneViewReachBothModes) {
    BoxExtras x;
    x.shutter = true;
    App a(writeScene("lumenar_mlt_view", boxWith(12, 12, 0.5f, 8.0f, x)));
    ASSERT_TRUE(a.started);
    const SceneView& view = a.app->sceneView();
    EXPECT_EQ(view.materials, a.app->materials());
    EXPECT_EQ(view.movableCount, 1);
    const FrameResources res = frameResources(*a.app);
    EXPECT_EQ(res.scene.materials, view.materials);
    EXPECT_EQ(res.kdScene.materials, view.materials);
    EXPECT_EQ(res.scene.movables, view.movables);
    EXPECT_EQ(res.kdScene.movables, view.movables);
    Renderer pt(res), mlt(res);
    mlt.mltEnabled = true;
    ASSERT_TRUE(mlt.metroReady());

    const OneFrameEach shut = oneFrameEach(a, pt, mlt);
    EXPECT_EQ(shut.pathTraced, 0.0);
    EXPECT_EQ(shut.metropolis, 0.0);

    for (Renderer* r : {&pt, &mlt}) r->requestMove(Vector3d(0.0f, -3.0f, 0.0f));
    const OneFrameEach open = oneFrameEach(a, pt, mlt);
    EXPECT_GT(open.pathTraced, 0.0);
    // The chains were set up in a black room: after the restart they light
    // up on the first frame.
    EXPECT_GT(open.metropolis, 0.0);

    for (Renderer* r : {&pt, &mlt}) r->requestMove(Vector3d(0.0f, 0.0f, 0.0f));
    const OneFrameEach shutAgain = oneFrameEach(a, pt, mlt);
    EXPECT_EQ(shutAgain.pathTraced, 0.0);
    EXPECT_EQ(shutAgain.metropolis, 0.0);

    // Open again, with every surface in view turned black through the
    // editable materials (the lamp is out of view).
    for (Renderer* r : {&pt, &mlt}) r->requestMove(Vector3d(0.0f, -3.0f, 0.0f));
    for (int m : {0, 1}) a.app->materials()[m].basecolor = Color(0.0f, 0.0f, 0.0f);
    const OneFrameEach black = oneFrameEach(a, pt, mlt);
    EXPECT_EQ(black.pathTraced, 0.0);
    EXPECT_EQ(black.metropolis, 0.0);
}

// Switching the mode or a medium restarts the average (the chains' target
// changes with it); a frame with the same switches goes on.
TEST(MetroImage, ModeAndMediumSwitchesRestartTheAverage) {
    BoxExtras x;
    x.volume = kFog;
    App a(writeScene("lumenar_mlt_switch", boxWith(8, 8, 0.5f, 8.0f, x)));
    ASSERT_TRUE(a.started);
    Renderer r(frameResources(*a.app));
    device::Buffer<Color> display(static_cast<std::size_t>(a.W()) * a.H());
    const auto frame = [&] { r.renderFrame(a.app->scene().camera, display.get()); };
    frame();
    frame();
    EXPECT_EQ(r.frameCount(), 2u);
    r.mltEnabled = true;
    frame();
    EXPECT_EQ(r.frameCount(), 1u);
    frame();
    EXPECT_EQ(r.frameCount(), 2u);
    r.mltForcedAcceptance = 0;
    frame();
    EXPECT_EQ(r.frameCount(), 1u);
    frame();
    r.fogEnabled = true;
    frame();
    EXPECT_EQ(r.frameCount(), 1u);
    r.ssEnabled = true;
    frame();
    EXPECT_EQ(r.frameCount(), 1u);
    r.mltEnabled = false;
    frame();
    EXPECT_EQ(r.frameCount(), 1u);
    frame();
    EXPECT_EQ(r.frameCount(), 2u);
}

// The bundled opening scene hides its lamp behind walls that lie in the
// kd-tree's split planes. Metropolis traces it through the kd-tree, the path
// tracer through the BVH; on rays from anywhere in the room (many of them a
// hair from a wall) both find the same nearest surface and the same
// occluders. The kd walk once bounded a leaf's test by the cell's interval
// and lost the wall to rounding: light leaked round it, and Metropolis
// rendered the room several per cent too bright.
TEST(MetroImage, KdAndBvhSeeTheSameOpeningScene) {
    std::ifstream in(std::string(LUMENAR_SOURCE_DIR) + "/scenes/opening/input", std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(text.empty());
    App a(writeScene("lumenar_mlt_opening_walks", text));
    ASSERT_TRUE(a.started);
    const FrameResources res = frameResources(*a.app);
    const KdScene ks = kdSceneOf(a.app->kdTree(), a.app->bvhTree());
    Raytrace rt;
    const DynamicSceneQueries bvh{&rt, &res.scene};
    XorwowState rng;
    metroGenerator(99, 1, &rng);
    int nearestDiffer = 0, occlusionDiffers = 0, hits = 0;
    const int rays = 200000;
    for (int i = 0; i < rays; ++i) {
        const Vector3d o(-2.0f + 4.0f * xorwowUniform(&rng), 0.01f + 2.5f * xorwowUniform(&rng),
                         -2.5f + 4.5f * xorwowUniform(&rng));
        const Vector3d d = normalize(
            Vector3d(xorwowUniform(&rng) - 0.5f, xorwowUniform(&rng) - 0.5f, xorwowUniform(&rng) - 0.5f));
        const Ray ray(o, d);
        MetroTraversal tt;
        const KdSceneQueries kd{&tt, &ks};
        SurfaceHitRecord k{}, b{};
        const bool fk = tt.nearest(ks, ray, &k);
        const bool fb = rt.nearestHit(ray, res.scene, &b);
        hits += fb ? 1 : 0;
        if (fk != fb || (fk && k.triangleIndex != b.triangleIndex && std::fabs(k.t - b.t) > 1e-4f * b.t)) {
            if (nearestDiffer++ < 3)
                ADD_FAILURE() << "ray from " << o.x << " " << o.y << " " << o.z << " along " << d.x << " "
                              << d.y << " " << d.z << ": kd tree " << k.triangleIndex << " at " << k.t
                              << ", BVH " << b.triangleIndex << " at " << b.t;
        }
        const float dist = 0.2f + 3.0f * xorwowUniform(&rng);
        if (bvh.transmittance(o, d, dist).isBlack() != kd.transmittance(o, d, dist).isBlack())
            ++occlusionDiffers;
    }
    EXPECT_EQ(nearestDiffer, 0);
    EXPECT_EQ(occlusionDiffers, 0);
    EXPECT_GT(hits, rays / 2);
}
