#include "render/bounce.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <vector>

#include "render/accumulation.h"
#include "test_support.h"

using namespace lumenar;
using test::CountingDraws;
using test::material;
using test::ScriptedDraws;

namespace {

constexpr double kPi = 3.14159265358979323846;

// Stand-in for the BVH queries: fixed answers, and a count of the shadow
// and sampled-direction queries.
struct FixedQueries {
    SurfaceHit hit{Vector3d(0, 0, 0), Vector3d(0, 0, 1), 0.5f, 0};  // what the bounce's ray meets
    EmitterHit emitter;                                             // what every sampled direction meets
    bool blocked = false;
    mutable int nearestCalls = 0, occludeCalls = 0;
    bool nearest(const Ray&, SurfaceHit* h) const {
        *h = hit;
        return true;
    }
    EmitterHit nearestEmitter(const Ray&) const {
        ++nearestCalls;
        return emitter;
    }
    Color transmittance(const Vector3d&, const Vector3d&, float) const {
        ++occludeCalls;
        return blocked ? Color(0, 0, 0) : Color(1, 1, 1);
    }
};

// The scene a bounce sees: these materials and lights, nothing else.
SceneView viewOf(const std::vector<Material>& mats, const LightSet& lights) {
    SceneView s;
    s.materials = mats.data();
    s.lights = lights;
    return s;
}

// Rectangle [0, a] x [0, b] at height c facing down, as two light triangles.
std::vector<deviceLightTriangle> ceilingLight(float a, float b, float c, const Color& e) {
    const Vector3d p00(0, 0, c), p10(a, 0, c), p11(a, b, c), p01(0, b, c);
    deviceLightTriangle t{};
    t.normal = Vector3d(0, 0, -1);
    t.invArea = 2.0f / (a * b);
    t.emission = e;
    std::vector<deviceLightTriangle> l(2, t);
    l[0].p1 = p00, l[0].p2 = p11, l[0].p3 = p10, l[0].triangleIndex = 10;
    l[1].p1 = p00, l[1].p2 = p01, l[1].p3 = p11, l[1].triangleIndex = 11;
    prepareLightChoice(l);
    return l;
}

VertexObj floorVertex() {
    VertexObj v;
    v.weight = Color(1, 1, 1);
    v.normal = v.surfaceNormal = Vector3d(0, 0, 1);
    v.incoming = normalize(Vector3d(0.2f, 0.1f, -1.0f));
    v.materialIndex = 0;
    return v;
}

const Ray kDown(Vector3d(0, 0, 1), Vector3d(0, 0, -2));  // not unit length on purpose

}  // namespace

TEST(Bounce, NoTwoPathBouncesOfAFrameShareASeed) {
    // Every (path, bounce) pair of a 32 x 32 frame with 3 x 3 supersampling
    // and all 99 launches, plus paths of a very large frame (indices around
    // 2^25, where the path bits meet the frame seed's), for a few frame seeds.
    for (int frameSeed : {0, -1, INT_MAX, 0x5bd1e995}) {
        std::vector<uint64_t> seeds;
        auto addPath = [&](int p) {
            for (int b = 0; b < kMaxBounceLaunches; ++b) seeds.push_back(bounceSeed(frameSeed, b, p));
        };
        for (int p = 0; p < 32 * 32 * 9; ++p) addPath(p);
        for (int p = (1 << 25) - 300; p < (1 << 25) + 300; ++p) addPath(p);
        std::sort(seeds.begin(), seeds.end());
        EXPECT_EQ(std::adjacent_find(seeds.begin(), seeds.end()), seeds.end()) << "frame seed " << frameSeed;
    }
    // The old scheme's collision: slot i at bounce b + 1 and slot i + 1 at
    // bounce b (a path moved down one slot by compaction).
    EXPECT_NE(bounceSeed(7, 3, 10), bounceSeed(7, 2, 11));
    // Different frames give different streams to the same path.
    EXPECT_NE(bounceSeed(7, 3, 10), bounceSeed(8, 3, 10));
}

TEST(Bounce, APathDrawsTheSameNumbersInWhicheverSlotItLies) {
    // The generator follows the path's identity, not its compacted slot.
    std::vector<pixelData> paths(3);
    for (int i = 0; i < 3; ++i) {
        paths[i].ray = kDown;
        paths[i].throughput = Color(1, 1, 1);
        paths[i].pixelIndex = 0;
        paths[i].alive = 1;
        paths[i].pathIndex = 40 + i;
    }
    Color frame[1] = {};
    float first[2] = {0, 0};
    for (int slot : {0, 2}) {
        std::vector<pixelData> moved = paths;
        moved[slot].pathIndex = 41;
        bouncePathItem(slot, 5, 1, moved.data(), frame, 1, [&](const Ray& r, int, XorwowState* rng) {
            first[slot / 2] = xorwowUniform(rng);
            return missResult(Color(), r);
        });
    }
    EXPECT_EQ(first[0], first[1]);
}

TEST(Bounce, LightChoiceCoversEveryLightAndNoMore) {
    EXPECT_EQ(chooseLight(1.0f, 5), 4);
    EXPECT_EQ(chooseLight(0.5f, 4), 2);
    EXPECT_EQ(chooseLight(2.3283064e-10f, 3), 0);
    EXPECT_EQ(chooseLight(0.99999994f, 1 << 24), (1 << 24) - 1);
}

TEST(Bounce, MissAddsTheBackgroundOnceAndEnds) {
    const Color bg(0.1f, 0.2f, 0.3f);
    std::vector<pixelData> paths(2);
    for (int i = 0; i < 2; ++i) {
        paths[i].ray = kDown;
        paths[i].throughput = Color(1, 1, 1);
        paths[i].pixelIndex = i;
        paths[i].alive = 1;
    }
    Color frame[2] = {};
    auto miss = [&](const Ray& r, int, XorwowState*) { return missResult(bg, r); };
    bouncePathItem(1, 99, 0, paths.data(), frame, 1, miss);
    EXPECT_TRUE(frame[0].isBlack());
    EXPECT_EQ(frame[1].g, 0.2f);
    EXPECT_EQ(paths[1].alive, 0);
    EXPECT_EQ(paths[0].alive, 1);
    EXPECT_TRUE(paths[1].throughput.isBlack());
}

TEST(Bounce, EmittersEndPathsAndShowOnlyTheirFrontToTheCamera) {
    std::vector<Material> mats{material(0.5f, 0.0f, 0.0f, 1.5f)};
    mats[0].emission = Color(5, 6, 7);
    FixedQueries q;
    ScriptedDraws none{};
    const SurfaceHit front{Vector3d(), Vector3d(0, 0, 1), 1.0f, 0};
    const SurfaceHit back{Vector3d(), Vector3d(0, 0, -1), 1.0f, 0};
    for (int bounce : {0, 1, 5}) {
        for (int side = 0; side < 2; ++side) {
            q.hit = side == 0 ? front : back;
            const BounceResult r =
                traceBounce(kDown, bounce, none, viewOf(mats, LightSet()), MediaFlags(), q);
            EXPECT_EQ(r.code, -1);
            EXPECT_EQ(r.factor.r, 1.0f);
            EXPECT_EQ(r.next.direction.z, kDown.direction.z);
            const bool seen = bounce == 0 && side == 0;
            EXPECT_EQ(r.radiance.g, seen ? 6.0f : 0.0f) << "bounce " << bounce;
        }
    }
    EXPECT_EQ(none.used, 0);
}

TEST(Bounce, RouletteKeepsStrongPathsAndRescalesSurvivors) {
    // A factor of at least 1 always survives and keeps its value: dividing
    // it would lose energy.
    Color f(2.0f, 0.5f, 1.0f);
    EXPECT_TRUE(russianRoulette(f, 1.0f));
    EXPECT_EQ(f.r, 2.0f);
    EXPECT_EQ(f.g, 0.5f);
    Color one(1.0f, 0.2f, 0.2f);
    EXPECT_TRUE(russianRoulette(one, 1.0f));
    EXPECT_EQ(one.g, 0.2f);
    // Below kRouletteWeight: survives with probability max(factor) /
    // kRouletteWeight, then divided by it, so the expected factor is unchanged.
    Color g(0.5f * kRouletteWeight, 0.25f * kRouletteWeight, 0.1f * kRouletteWeight);
    EXPECT_FALSE(russianRoulette(g, 0.6f));
    EXPECT_TRUE(russianRoulette(g, 0.4f));
    EXPECT_FLOAT_EQ(g.r, kRouletteWeight);
    Color black;
    EXPECT_FALSE(russianRoulette(black, 2.3283064e-10f));
}

// The roulette on the path's weight: the first bounces are never culled,
// a weight of at least kRouletteWeight passes untouched, and otherwise the expected factor
// over xi is the factor itself (survival q, survivors divided by q), with q
// never below the floor.
TEST(Bounce, ThroughputRouletteKeepsTheExpectedWeight) {
    const Color dim(0.02f, 0.01f, 0.0f);
    for (int b = 0; b < kRouletteMinBounce; ++b) {
        Color f(0.1f, 0.2f, 0.3f);
        EXPECT_TRUE(russianRoulette(f, 1.0f, dim, b)) << b;
        EXPECT_EQ(f.b, 0.3f);
    }
    // Through glass the weight can exceed 1: it survives as it is.
    Color glass(0.9f, 0.9f, 0.9f);
    EXPECT_TRUE(russianRoulette(glass, 1.0f, Color(1.5f, 1.5f, 1.5f), kRouletteMinBounce));
    EXPECT_EQ(glass.r, 0.9f);
    // So does one between kRouletteWeight and 1.
    static_assert(kRouletteWeight <= 0.6f, "the weight below must reach the threshold");
    Color bright(0.6f, 0.1f, 0.1f);
    EXPECT_TRUE(russianRoulette(bright, 1.0f, Color(1, 1, 1), kRouletteMinBounce));
    EXPECT_EQ(bright.r, 0.6f);
    // A path that carries nothing ends even before the roulette depth.
    Color zero(0.0f, 0.0f, 0.0f);
    EXPECT_FALSE(russianRoulette(zero, 0.5f, Color(1, 1, 1), 0));

    const Color throughputs[] = {Color(0.8f, 0.5f, 0.2f), Color(0.01f, 0.02f, 0.005f),
                                 Color(1.0f, 0.0f, 0.0f), Color(3.0f, 0.1f, 0.1f)};
    const Color factors[] = {Color(0.7f, 0.7f, 0.7f), Color(0.1f, 0.6f, 0.3f), Color(0.9f, 0.2f, 0.05f)};
    const int n = 100000;
    for (const Color& t : throughputs)
        for (const Color& f0 : factors) {
            double sum[3] = {0, 0, 0};
            double maxScale = 0.0;
            for (int i = 0; i < n; ++i) {
                Color f = f0;
                const float xi = (static_cast<float>(i) + 0.5f) / n;
                if (!russianRoulette(f, xi, t, kRouletteMinBounce + 2)) continue;
                sum[0] += f.r, sum[1] += f.g, sum[2] += f.b;
                if (f0.g > 0.0f) maxScale = std::max(maxScale, static_cast<double>(f.g / f0.g));
            }
            EXPECT_NEAR(sum[0] / n, f0.r, 1e-3 * (1.0 + f0.r / kRouletteMinSurvival));
            EXPECT_NEAR(sum[1] / n, f0.g, 1e-3 * (1.0 + f0.g / kRouletteMinSurvival));
            EXPECT_NEAR(sum[2] / n, f0.b, 1e-3 * (1.0 + f0.b / kRouletteMinSurvival));
            EXPECT_LE(maxScale, 1.0 / kRouletteMinSurvival + 1e-3);
        }
}

// A whole path under the roulette: each bounce gathers light 1 and then
// multiplies the weight by a factor that alternates between a dim wall
// (0.3, 0.5, 0.6) and a glass exit that brightens it (1.4 in every channel).
// The expected sum is the geometric series of the factors, which the
// roulette must leave as it is; a plain sum without roulette (100 bounces,
// well past where the series has converged) gives the same.
TEST(Bounce, ThroughputRouletteLeavesAPathSumUnbiased) {
    const Color wall(0.3f, 0.5f, 0.6f), exitGlass(1.4f, 1.4f, 1.4f);
    double expected[3] = {0, 0, 0};
    {
        double w[3] = {1, 1, 1};
        for (int b = 0; b < 200; ++b) {
            const Color f = (b % 2 == 0) ? wall : exitGlass;
            expected[0] += w[0], expected[1] += w[1], expected[2] += w[2];
            w[0] *= f.r, w[1] *= f.g, w[2] *= f.b;
        }
    }
    const int paths = 200000;
    double sum[3] = {0, 0, 0}, sumSq = 0.0;
    XorwowState rng;
    xorwowInit(77, &rng);
    long long bounces = 0;
    for (int p = 0; p < paths; ++p) {
        Color t(1.0f, 1.0f, 1.0f);
        double s[3] = {0, 0, 0};
        for (int b = 0; b < 200; ++b) {
            s[0] += t.r, s[1] += t.g, s[2] += t.b;
            Color f = (b % 2 == 0) ? wall : exitGlass;
            ++bounces;
            if (!russianRoulette(f, xorwowUniform(&rng), t, b)) break;
            t = t * f;
        }
        sum[0] += s[0], sum[1] += s[1], sum[2] += s[2];
        sumSq += s[2] * s[2];
    }
    const double mean2 = sum[2] / paths;
    const double se = std::sqrt((sumSq / paths - mean2 * mean2) / paths);
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(sum[c] / paths, expected[c], 5.0 * se + 1e-3) << c;
    // The roulette does end paths: far fewer bounces than the plain sum's.
    EXPECT_LT(bounces, 20LL * paths);
}

TEST(DirectLight, SpecularVertexUsesOnlyItsOwnDirection) {
    // A perfect mirror sees a light only along its sampled direction and
    // never draws a light point. Any light it sees counts in full, whichever
    // light the estimate chose to sample (the 1 / N choice is not a factor).
    std::vector<Material> mats{material(0.0f, 0.0f, 1.0f, 1.5f), material(0.0f, 0.0f, 0.0f, 1.0f)};
    mats[1].emission = Color(3, 3, 3);
    const auto lights = ceilingLight(4, 4, 2, Color(3, 3, 3));
    deviceTriangle lamp{};
    lamp.materialIndex = 1;
    lamp.isLight = 1;
    lamp.normal1 = Vector3d(0, 0, -2);
    lamp.invArea = 0.25f;
    deviceTriangle wall = lamp;
    wall.isLight = 0;
    wall.materialIndex = 0;
    for (int hit = 0; hit < 4; ++hit) {
        VertexObj v = floorVertex();
        FixedQueries q;
        if (hit == 0) q.emitter = emitterHitOf(lamp, mats.data(), 1.0f);
        if (hit == 1) {
            deviceTriangle back = lamp;
            back.normal1 = Vector3d(0, 0, 1);
            q.emitter = emitterHitOf(back, mats.data(), 1.0f);
        }
        if (hit == 2) q.emitter = emitterHitOf(wall, mats.data(), 1.0f);
        ScriptedDraws draws{0.9f, 0.3f, 0.6f, 0.5f};  // light choice 1, vertex sample (3)
        const Color L = directLight(v, draws, mats.data(), test::lightSetOf(lights), q);
        EXPECT_EQ(draws.used, 4);
        EXPECT_EQ(q.nearestCalls, 1);
        EXPECT_EQ(q.occludeCalls, 0);
        if (hit == 0) {
            // Emission times the metal's reflectance, weight 1.
            EXPECT_FLOAT_EQ(L.r, 3.0f * 0.8f);
            EXPECT_FLOAT_EQ(L.b, 3.0f * 0.4f);
        } else {
            EXPECT_TRUE(L.isBlack()) << hit;  // the lamp's back, no light, or nothing
        }
    }
}

TEST(DirectLight, DiffuseVertexUsesOnlyTheLightPoint) {
    const std::vector<Material> mats{material(0.0f, 0.0f, 0.0f, 1.0f)};
    const auto lights = ceilingLight(4, 4, 2, Color(3, 3, 3));
    for (bool blocked : {false, true}) {
        VertexObj v = floorVertex();
        FixedQueries q;
        q.blocked = blocked;
        CountingDraws draws(5);
        const Color L = directLight(v, draws, mats.data(), test::lightSetOf(lights), q);
        EXPECT_EQ(v.lobe, kLobeDiffuse);
        EXPECT_EQ(draws.used, 1 + 3 + 2);
        EXPECT_EQ(q.nearestCalls, 0);
        EXPECT_EQ(q.occludeCalls, 1);
        EXPECT_EQ(L.isBlack(), blocked);
    }
}

TEST(DirectLight, PointsBehindTheLightGetNothingAndNoNaN) {
    // The shaded point lies above the downward-facing light.
    const std::vector<Material> mats{material(0.5f, 0.0f, 0.0f, 1.5f)};
    const auto lights = ceilingLight(4, 4, -1, Color(3, 3, 3));
    for (uint64_t seed = 0; seed < 500; ++seed) {
        VertexObj v = floorVertex();
        FixedQueries q;  // nothing is hit looking away from the light
        CountingDraws draws(seed);
        const Color L = directLight(v, draws, mats.data(), test::lightSetOf(lights), q);
        EXPECT_TRUE(L.isBlack());
    }
}

TEST(DirectLight, SceneWithoutLightsDrawsNothingForThem) {
    const std::vector<Material> mats{material(0.5f, 0.3f, 0.0f, 1.5f)};
    for (uint64_t seed = 0; seed < 200; ++seed) {
        FixedQueries q;
        CountingDraws draws(seed);
        const BounceResult r = traceBounce(kDown, 1, draws, viewOf(mats, LightSet()), MediaFlags(), q);
        EXPECT_TRUE(r.radiance.isBlack());
        EXPECT_EQ(q.nearestCalls + q.occludeCalls, 0);
        // Continuation (3 or 4) and roulette (1) only.
        EXPECT_TRUE(draws.used == 4 || draws.used == 5) << draws.used;
        EXPECT_TRUE(isFinite(r.factor));
    }
}

TEST(DirectLight, DrawOrderOfAFullBounce) {
    // Diffuse floor: continuation 3, light choice 1, vertex sample 3, light
    // point 2, roulette 1.
    const std::vector<Material> mats{material(0.0f, 0.0f, 0.0f, 1.0f)};
    const auto lights = ceilingLight(4, 4, 2, Color(3, 3, 3));
    FixedQueries q;
    CountingDraws draws(3);
    const BounceResult r =
        traceBounce(kDown, 2, draws, viewOf(mats, test::lightSetOf(lights)), MediaFlags(), q);
    EXPECT_EQ(draws.used, 10);
    EXPECT_TRUE(r.code == -1 || r.code == 3);
    EXPECT_FALSE(r.radiance.isBlack());
}

// A diffuse point under a parallel rectangular emitter: the reflected
// radiance is albedo x emission x the point-to-rectangle form factor.
TEST(DirectLight, ConvergesToTheRectangleFormFactor) {
    const float a = 1.5f, b = 2.5f, c = 1.0f;
    const float albedo = 0.8f, Le = 2.0f;
    const std::vector<Material> mats{material(0.0f, 0.0f, 0.0f, 1.0f)};  // basecolor r = 0.8
    const auto lights = ceilingLight(a, b, c, Color(Le, Le, Le));
    const double A = a / c, B = b / c;
    const double formFactor = (A / std::sqrt(1 + A * A) * std::atan(B / std::sqrt(1 + A * A)) +
                               B / std::sqrt(1 + B * B) * std::atan(A / std::sqrt(1 + B * B))) /
                              (2 * kPi);
    const double expected = albedo * Le * formFactor;

    const int n = 200000;
    double sum = 0.0, sum2 = 0.0;
    FixedQueries q;
    for (int i = 0; i < n; ++i) {
        VertexObj v = floorVertex();
        XorwowState rng;
        xorwowInit(bounceSeed(1234, 0, i), &rng);
        XorwowDraws draws{&rng};
        const double x = directLight(v, draws, mats.data(), test::lightSetOf(lights), q).r;
        sum += x;
        sum2 += x * x;
    }
    const double mean = sum / n;
    const double stderr_ = std::sqrt((sum2 / n - mean * mean) / n);
    EXPECT_NEAR(mean, expected, 4 * stderr_ + 1e-4) << "standard error " << stderr_;
}

// The three direct-light estimators at one glossy vertex under a rectangular
// light (two triangles) converge to the same value. The queries intersect the
// rectangle itself, so a sampled direction sees the light exactly where it
// is. Rough enough that both densities matter to the MIS weights.
TEST(DirectLight, BsdfLightAndMisEstimatesAgreeAtAGlossyVertex) {
    const float a = 1.5f, b = 2.5f, c = 1.0f;
    const auto lights = ceilingLight(a, b, c, Color(2.0f, 2.0f, 2.0f));
    struct RectangleQueries {
        const deviceLightTriangle* light;
        float a, b, c;
        EmitterHit nearestEmitter(const Ray& r) const {
            EmitterHit e;
            if (!(r.direction.z > 0.0f)) return e;
            const float t = (c - r.origin.z) / r.direction.z;
            const Vector3d p = r.origin + r.direction * t;
            if (p.x < 0.0f || p.x > a || p.y < 0.0f || p.y > b) return e;
            e.found = true;
            e.t = t;
            e.normal = light->normal;
            e.invArea = light->invArea;
            e.emission = light->emission;
            e.triangle = light->triangleIndex;  // both halves have the same chance
            return e;
        }
        Color transmittance(const Vector3d&, const Vector3d&, float) const { return Color(1, 1, 1); }
    };
    const RectangleQueries q{lights.data(), a, b, c};
    for (float roughness : {0.5f, 0.75f}) {
        const std::vector<Material> mats{material(roughness, 0.0f, 0.6f, 1.5f)};  // part metal: both lobes
        double mean[3], se[3];
        for (int st = 0; st < 3; ++st) {
            const int n = 400000;
            double sum = 0.0, sum2 = 0.0;
            for (int i = 0; i < n; ++i) {
                VertexObj v = floorVertex();
                v.hitPoint = v.position = Vector3d(0.3f, 0.4f, 0.0f);
                XorwowState rng;
                xorwowInit(bounceSeed(77 + st, 0, i), &rng);
                XorwowDraws draws{&rng};
                const double x = directLight(v, draws, mats.data(), test::lightSetOf(lights), q,
                                             static_cast<DirectLightStrategy>(st))
                                     .g;
                sum += x;
                sum2 += x * x;
            }
            mean[st] = sum / n;
            se[st] = std::sqrt((sum2 / n - mean[st] * mean[st]) / n);
        }
        const char* names[3] = {"MIS", "BSDF only", "light only"};
        for (int i = 0; i < 3; ++i) {
            EXPECT_LT(se[i], 0.01 * mean[i]) << names[i] << ": too few samples";
            for (int j = i + 1; j < 3; ++j)
                EXPECT_NEAR(mean[i], mean[j], 3.0 * std::hypot(se[i], se[j]))
                    << names[i] << " vs " << names[j] << ", roughness " << roughness;
        }
    }
}

// The draws of a pixel sample's bounce: inside a decision's slot the first
// numbers are the pixel's Sobol dimensions of that slot, in order; past the
// slot's dimensions, outside any slot, in a slot taken again and in deep
// bounces the numbers are the path generator's, in the generator's order.
TEST(PathSampleDraws, SlotsReadTheirOwnSobolDimensionsOnce) {
    XorwowState rng, ref;
    xorwowInit(42, &rng);
    xorwowInit(42, &ref);
    PathSampleDraws d{&rng};
    d.pixelSeed = pixelSampleSeed(0, 17);
    d.sampleIndex = 5;
    const int b = kSobolBounces - 1;  // the deepest bounce that reads Sobol points
    d.bounce = b;
    EXPECT_EQ(d(), xorwowUniform(&ref));  // before any slot
    beginSampleSlot(d, kSlotLightPoint);
    const uint32_t base = kFirstBounceDimension + (b * kSampleSlots + kSlotLightPoint) * kSlotDimensions;
    for (int i = 0; i < kSlotDimensions; ++i) EXPECT_EQ(d(), scrambledSobol(d.pixelSeed, 5, base + i)) << i;
    EXPECT_EQ(d(), xorwowUniform(&ref));  // the slot is used up
    beginSampleSlot(d, kSlotLightPoint);  // taken again: pseudo-random
    EXPECT_EQ(d(), xorwowUniform(&ref));
    beginSampleSlot(d, kSlotContinuation);
    EXPECT_EQ(d(),
              scrambledSobol(d.pixelSeed, 5, kFirstBounceDimension + b * kSampleSlots * kSlotDimensions));

    XorwowState deepRng, deepRef;
    xorwowInit(7, &deepRng);
    xorwowInit(7, &deepRef);
    PathSampleDraws deep{&deepRng};
    deep.pixelSeed = d.pixelSeed;
    deep.bounce = kSobolBounces;
    beginSampleSlot(deep, kSlotContinuation);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(deep(), xorwowUniform(&deepRef));
    // The dimensions of the bounces that read Sobol points do not overlap the
    // camera position's (0 and 1) or each other.
    EXPECT_EQ(kFirstBounceDimension, 2u);
}
