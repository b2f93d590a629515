#include "device/random.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <set>
#include <vector>

#include "device/sobol.h"
#include "render/path_state.h"
#include "render/sobol_states.h"

using namespace lumenar;

namespace {

// Reference xorwow written from the published description (Marsaglia 2003,
// "Xorshift RNGs", with the additive Weyl sequence of step 362437) and the
// seeding constants of the CUDA random library, kept independent of the
// renderer's code.
struct ReferenceXorwow {
    uint32_t x[5];
    uint32_t weyl;
    explicit ReferenceXorwow(uint64_t seed) {
        const uint32_t lo = static_cast<uint32_t>(seed & 0xffffffffu) ^ 0xaad26b49u;
        const uint32_t hi = static_cast<uint32_t>(seed >> 32) ^ 0xf7dcefddu;
        const uint32_t a = lo * 1099087573u, b = hi * 2591861531u;
        x[0] = 123456789u + a;
        x[1] = 362436069u ^ a;
        x[2] = 521288629u + b;
        x[3] = 88675123u ^ b;
        x[4] = 5783321u + a;
        weyl = 6615241u + a + b;
    }
    uint32_t next() {
        uint32_t t = x[0];
        t ^= t >> 2;
        t ^= t << 1;
        uint32_t v = x[4];
        v ^= v << 4;
        for (int i = 0; i < 4; ++i) x[i] = x[i + 1];
        x[4] = v ^ t;
        weyl += 362437u;
        return x[4] + weyl;
    }
};

uint32_t referenceSobolPoint(const uint32_t* dirs, uint32_t index, uint32_t scramble) {
    const uint32_t g = index ^ (index >> 1);
    uint32_t x = scramble;
    for (int k = 0; k < 32; ++k)
        if (g >> k & 1u) x ^= dirs[k];
    return x;
}

}  // namespace

TEST(Xorwow, MatchesAnIndependentImplementation) {
    for (uint64_t seed : {uint64_t{0}, uint64_t{1}, uint64_t{1234}, uint64_t{0xffffffffu},
                          uint64_t{0xfffffffffffffffbull}, uint64_t{0x123456789abcdefull}}) {
        XorwowState s;
        xorwowInit(seed, &s);
        ReferenceXorwow ref(seed);
        for (int i = 0; i < 1000; ++i)
            ASSERT_EQ(xorwowNext(&s), ref.next()) << "seed " << seed << " draw " << i;
    }
}

TEST(Xorwow, UniformsLieInZeroOneAndSpreadEvenly) {
    XorwowState s;
    xorwowInit(42, &s);
    int bins[10] = {};
    const int n = 100000;
    for (int i = 0; i < n; ++i) {
        const float u = xorwowUniform(&s);
        ASSERT_GT(u, 0.0f);
        ASSERT_LE(u, 1.0f);
        bins[std::min(9, static_cast<int>(u * 10))]++;
    }
    for (int b : bins) EXPECT_NEAR(b, n / 10, 500);
    EXPECT_EQ(uniformFromBits(0), kTwoPowMinus33);
    EXPECT_LE(uniformFromBits(0xffffffffu) * 0.99999988f, 0.99999994f);
}

TEST(Sobol, PolynomialsArePrimitiveAndDistinct) {
    const std::vector<uint32_t> p = primitivePolynomials(60);
    ASSERT_EQ(p.size(), 60u);
    // Known start of the list: x+1, x^2+x+1, x^3+x+1, x^3+x^2+1, x^4+x+1, x^4+x^3+1.
    const uint32_t expected[] = {0b11, 0b111, 0b1011, 0b1101, 0b10011, 0b11001};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(p[i], expected[i]);
    // Counts per degree equal phi(2^d - 1) / d: 1, 1, 2, 2, 6, 6, 18, 16, ...
    int perDegree[9] = {};
    for (uint32_t q : p) {
        int d = 0;
        while (q >> (d + 1)) ++d;
        if (d <= 8) perDegree[d]++;
    }
    EXPECT_EQ(perDegree[5], 6);
    EXPECT_EQ(perDegree[6], 6);
    EXPECT_EQ(perDegree[7], 18);
    EXPECT_EQ(std::set<uint32_t>(p.begin(), p.end()).size(), p.size());
}

TEST(Sobol, FirstPowerOfTwoPointsAreStratifiedBeforeAndAfterScrambling) {
    const int dims = 300;
    const std::vector<uint32_t> dirs = sobolDirectionVectors(dims);
    const std::vector<uint32_t> scrambles = sobolScrambleConstants(dims);
    for (int d = 0; d < dims; ++d) {
        // Direction word k comes from an odd m below 2^(k+1): its lowest set bit is bit 31 - k.
        for (int k = 0; k < 32; ++k) {
            const uint32_t w = dirs[d * 32 + k];
            ASSERT_EQ((w >> (31 - k)) & 1u, 1u) << d << " " << k;
            ASSERT_EQ(w & ((1ull << (31 - k)) - 1), 0u) << d << " " << k;
        }
        for (uint32_t scramble : {0u, scrambles[d]}) {
            for (int k = 1; k <= 10; ++k) {
                std::vector<int> cells(1u << k, 0);
                SobolState s;
                sobolInit(&dirs[d * 32], scramble, 0, &s);
                for (uint32_t i = 0; i < (1u << k); ++i) cells[sobolNext(&s) >> (32 - k)]++;
                for (int c : cells) ASSERT_EQ(c, 1) << "dimension " << d << " k " << k;
            }
        }
    }
}

TEST(Sobol, TwoDimensionalProjectionsOfTheFirstDimensionsAreStratified) {
    // (0, m, 2)-net property of dimensions 0 and 1: 2^m points, one per
    // elementary interval of any shape 2^-a x 2^-(m-a).
    const std::vector<uint32_t> dirs = sobolDirectionVectors(2);
    const int m = 8;
    for (int a = 0; a <= m; ++a) {
        std::set<std::pair<uint32_t, uint32_t>> cells;
        SobolState s0, s1;
        sobolInit(&dirs[0], 0, 0, &s0);
        sobolInit(&dirs[32], 0, 0, &s1);
        for (int i = 0; i < (1 << m); ++i) {
            const uint32_t x = sobolNext(&s0), y = sobolNext(&s1);
            cells.insert({a ? x >> (32 - a) : 0, (m - a) ? y >> (32 - (m - a)) : 0});
        }
        EXPECT_EQ(cells.size(), 1u << m) << "a = " << a;
    }
}

TEST(Sobol, SkipAheadEqualsStepping) {
    const std::vector<uint32_t> dirs = sobolDirectionVectors(40);
    for (int d : {0, 1, 7, 39}) {
        for (uint32_t offset : {0u, 1u, 2u, 1234u, 65535u, 1000003u}) {
            SobolState stepped, jumped, initAt;
            sobolInit(&dirs[d * 32], 0xdeadbeefu, 0, &stepped);
            for (uint32_t i = 0; i < offset; ++i) sobolNext(&stepped);
            sobolInit(&dirs[d * 32], 0xdeadbeefu, 0, &jumped);
            sobolSkipAhead(offset, &jumped);
            sobolInit(&dirs[d * 32], 0xdeadbeefu, offset, &initAt);
            for (int i = 0; i < 50; ++i) {
                const uint32_t expect = sobolNext(&stepped);
                ASSERT_EQ(sobolNext(&jumped), expect);
                ASSERT_EQ(sobolNext(&initAt), expect);
                ASSERT_EQ(expect, referenceSobolPoint(&dirs[d * 32], offset + i, 0xdeadbeefu));
            }
        }
    }
}

TEST(Sobol, StatesCoverImagesBeyondAFixedTable) {
    // 1024 x 512 = 524288 pixels needs 32768 dimensions, twice a fixed
    // 16384-dimension table; every state must point inside the table it owns.
    const int W = 1024, H = 512;
    EXPECT_EQ(sobolDimensionsFor(W * H), 32768);
    EXPECT_EQ(sobolDimensionsFor(1), 1);
    EXPECT_EQ(sobolDimensionsFor(16), 1);
    EXPECT_EQ(sobolDimensionsFor(17), 2);
    SobolStates states;
    ASSERT_TRUE(states.create(W, H));
    ASSERT_EQ(states.count(), 2u * W * H);
    std::vector<SobolState> host(states.count());
    ASSERT_TRUE(device::copyToHost(host.data(), states.states(), host.size() * sizeof(SobolState)));
    const uint32_t* base = host[0].directions;
    for (std::size_t i = 0; i < host.size(); ++i) {
        const std::ptrdiff_t at = host[i].directions - base;
        ASSERT_GE(at, 0);
        ASSERT_LT(at + 32, 32768 * 32 + 1);
        ASSERT_EQ(host[i].i, kSobolSkipAhead);
    }
    // The last pixel's second state takes the last dimension.
    EXPECT_EQ(host.back().directions - base, (32768 - 1) * 32);
}

TEST(FrameSeed, WangHashKnownValues) {
    // Computed by hand from the hash's definition.
    auto ref = [](uint32_t n) {
        uint32_t h = (n ^ 61u) ^ (n >> 16);
        h = h + (h << 3);
        h = h ^ (h >> 4);
        h = h * 0x27d4eb2du;
        return h ^ (h >> 15);
    };
    for (uint32_t n : {0u, 1u, 2u, 1000u, 0xffffffffu}) EXPECT_EQ(WangHash(n), ref(n));
    EXPECT_NE(WangHash(1), WangHash(2));
}

// ---- scrambled Sobol points of the pixel samples -----------------------------

namespace {

// Whether the points (x, y) (32-bit fixed point) put exactly one point in
// every elementary interval of area 1 / n (n = 2^m, all 2^a x 2^(m-a) grids).
bool everyElementaryIntervalHoldsOne(const std::vector<uint32_t>& xs, const std::vector<uint32_t>& ys,
                                     int m) {
    const std::size_t n = std::size_t{1} << m;
    for (int a = 0; a <= m; ++a) {
        std::vector<int> cells(n, 0);
        for (std::size_t i = 0; i < n; ++i) {
            const uint32_t cx = a == 0 ? 0u : xs[i] >> (32 - a);
            const uint32_t cy = a == m ? 0u : ys[i] >> (32 - (m - a));
            if (++cells[(static_cast<std::size_t>(cx) << (m - a)) | cy] > 1) return false;
        }
    }
    return true;
}

}  // namespace

// The first 2^m samples of any pixel, and any aligned block of 2^m samples
// after them, are stratified in every pair of dimensions (2j, 2j + 1): each
// elementary interval of area 2^-m holds exactly one point. The check is
// against the definition, not against the generator's structure.
TEST(PixelSobol, PairsAreStratifiedInEveryElementaryInterval) {
    for (uint32_t pixel : {0u, 1u, 77u, 123456u}) {
        const uint32_t seed = pixelSampleSeed(0, pixel);
        for (uint32_t pair : {0u, 1u, 5u, 30u}) {
            for (int m : {4, 8, 10}) {
                for (uint32_t block : {0u, 3u}) {
                    const uint32_t n = 1u << m;
                    std::vector<uint32_t> xs(n), ys(n);
                    for (uint32_t k = 0; k < n; ++k) {
                        // The path tracer draws whole pairs; one dimension at a
                        // time must give the same points.
                        scrambledSobolPairBits(seed, block * n + k, pair, &xs[k], &ys[k]);
                        ASSERT_EQ(xs[k], scrambledSobolBits(seed, block * n + k, 2 * pair));
                        ASSERT_EQ(ys[k], scrambledSobolBits(seed, block * n + k, 2 * pair + 1));
                    }
                    EXPECT_TRUE(everyElementaryIntervalHoldsOne(xs, ys, m))
                        << "pixel " << pixel << " pair " << pair << " m " << m << " block " << block;
                }
            }
        }
    }
    // A float draw is in (0, 1].
    for (uint32_t k = 0; k < 1000; ++k) {
        const float u = scrambledSobol(pixelSampleSeed(3, 9), k, 7);
        EXPECT_GT(u, 0.0f);
        EXPECT_LE(u, 1.0f);
    }
}

// Neighbouring pixels, pairs of one pixel and sequence seeds draw
// uncorrelated points: sample correlations stay at the level of independent
// uniform numbers (standard deviation 1 / sqrt(n)), and no two pixels share
// their points.
TEST(PixelSobol, PixelsPairsAndSeedsAreDecorrelated) {
    const int n = 4096;
    auto correlation = [&](auto a, auto b) {
        double sa = 0, sb = 0, sab = 0, saa = 0, sbb = 0;
        for (int k = 0; k < n; ++k) {
            const double x = a(k), y = b(k);
            sa += x, sb += y, sab += x * y, saa += x * x, sbb += y * y;
        }
        const double cov = sab / n - (sa / n) * (sb / n);
        return cov / std::sqrt((saa / n - (sa / n) * (sa / n)) * (sbb / n - (sb / n) * (sb / n)));
    };
    const double limit = 4.0 / std::sqrt(static_cast<double>(n));
    for (uint32_t p = 0; p < 8; ++p) {
        const uint32_t s0 = pixelSampleSeed(0, p), s1 = pixelSampleSeed(0, p + 1);
        for (uint32_t dim : {0u, 1u, 6u}) {
            EXPECT_LT(std::fabs(correlation([&](int k) { return scrambledSobol(s0, k, dim); },
                                            [&](int k) { return scrambledSobol(s1, k, dim); })),
                      limit)
                << "pixels " << p << ", " << p + 1 << " dimension " << dim;
        }
        // Two pairs of one pixel, and the same pair under two sequence seeds.
        EXPECT_LT(std::fabs(correlation([&](int k) { return scrambledSobol(s0, k, 0); },
                                        [&](int k) { return scrambledSobol(s0, k, 2); })),
                  limit);
        EXPECT_LT(std::fabs(correlation([&](int k) { return scrambledSobol(s0, k, 3); },
                                        [&](int k) { return scrambledSobol(pixelSampleSeed(1, p), k, 3); })),
                  limit);
    }
    std::set<uint32_t> firstPoints;
    for (uint32_t p = 0; p < 4096; ++p) firstPoints.insert(scrambledSobolBits(pixelSampleSeed(0, p), 0, 0));
    EXPECT_GT(firstPoints.size(), 4090u);
}

// The unscrambled points of the two dimensions the pixel samples use equal
// the Sobol sequence built from its direction words (the generated table,
// whose second dimension comes from the polynomial x + 1 by the standard
// recurrence), for every index below 2^16 and for scattered 32-bit indices,
// and start with the published points 0, 1/2, 3/4, 1/4, 5/8, 1/8, 3/8, 7/8.
// The scrambled forms equal the scramble applied to them.
TEST(PixelSobol, PointsEqualTheDirectionWordDefinition) {
    const std::vector<uint32_t> dirs = sobolDirectionVectors(2);
    auto byWords = [&](int d, uint32_t i) {
        uint32_t r = 0;
        for (int k = 0; k < 32; ++k)
            if ((i >> k) & 1u) r ^= dirs[d * 32 + k];
        return r;
    };
    const double published[8] = {0.0, 0.5, 0.75, 0.25, 0.625, 0.125, 0.375, 0.875};
    for (uint32_t i = 0; i < 8; ++i)
        EXPECT_EQ(sobolSecond(i), static_cast<uint32_t>(published[i] * 4294967296.0));
    XorwowState rng;
    xorwowInit(99, &rng);
    for (uint32_t n = 0; n < (1u << 16) + 4096; ++n) {
        const uint32_t i = n < (1u << 16) ? n : xorwowNext(&rng);
        ASSERT_EQ(sobolFirst(i), byWords(0, i)) << i;
        ASSERT_EQ(sobolSecond(i), byWords(1, i)) << i;
        const uint32_t seed = hash32(i);
        ASSERT_EQ(scrambledSobolFirst(i, seed), owenScramble(byWords(0, i), seed)) << i;
        ASSERT_EQ(scrambledSobolSecond(i, seed), owenScramble(byWords(1, i), seed)) << i;
    }
}
