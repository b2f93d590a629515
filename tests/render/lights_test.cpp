// The light set: the choice of a light by power with its floor, one number
// for the light and the point on it, and the densities of sampled points
// and directions, against brute force and closed forms.
#include "render/lights.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "device/random.h"
#include "test_support.h"

using namespace lumenar;

// ---- light choice by power ---------------------------------------------------

namespace {

deviceLightTriangle lightTriangle(const Vector3d& a, const Vector3d& b, const Vector3d& c, const Color& e,
                                  int triangle) {
    deviceLightTriangle l{};
    l.p1 = a, l.p2 = b, l.p3 = c;
    const Vector3d n = cross(b - a, c - a);
    l.normal = normalize(n);
    l.invArea = 2.0f / length(n);
    l.emission = e;
    l.triangleIndex = triangle;
    return l;
}

// Distance along the unit direction d from x to triangle l, or -1.
double hitDistance(const deviceLightTriangle& l, const Vector3d& x, const Vector3d& d) {
    const Vector3d e1 = l.p2 - l.p1, e2 = l.p3 - l.p1;
    const Vector3d p = cross(d, e2);
    const double det = dot(e1, p);
    if (std::fabs(det) < 1e-12) return -1.0;
    const Vector3d s = x - l.p1;
    const double u = dot(s, p) / det;
    const Vector3d q = cross(s, e1);
    const double v = dot(d, q) / det;
    const double t = dot(e2, q) / det;
    return (u < 0 || v < 0 || u + v > 1 || t <= 0) ? -1.0 : t;
}

}  // namespace

// The chance of each light is (1 - u) P / sum P + u / n with P its
// luminance times area; the chances sum to 1, the sampler picks each light
// that often, and the light a ray hits is found by its triangle.
TEST(LightChoice, ChancesFollowPowerWithAFloorAndSumToOne) {
    std::vector<deviceLightTriangle> lights = {
        lightTriangle(Vector3d(0, 2, 0), Vector3d(1, 2, 0), Vector3d(0, 2, 1), Color(1, 1, 1), 40),
        lightTriangle(Vector3d(0, 2, 0), Vector3d(2, 2, 0), Vector3d(0, 2, 2), Color(5, 1, 0.5f), 7),
        lightTriangle(Vector3d(0, 2, 0), Vector3d(0.1f, 2, 0), Vector3d(0, 2, 0.1f), Color(100, 100, 100),
                      12),
        lightTriangle(Vector3d(0, 2, 0), Vector3d(1, 2, 0), Vector3d(0, 2, 1), Color(0, 0, 0), 3),
        lightTriangle(Vector3d(0, 2, 0), Vector3d(3, 2, 0), Vector3d(0, 2, 3), Color(0.01f, 0.02f, 0.0f),
                      25)};
    double power[64] = {};
    double total = 0.0;
    for (const deviceLightTriangle& l : lights) {
        const double p = (0.2126 * l.emission.r + 0.7152 * l.emission.g + 0.0722 * l.emission.b) /
                         static_cast<double>(l.invArea);
        power[l.triangleIndex] = p;
        total += p;
    }
    prepareLightChoice(lights);
    const int n = static_cast<int>(lights.size());
    double sum = 0.0;
    for (int j = 0; j < n; ++j) {
        if (j > 0) {
            EXPECT_LT(lights[j - 1].triangleIndex, lights[j].triangleIndex) << "sorted by triangle";
        }
        const double expected = (1.0 - kLightChoiceUniformShare) * power[lights[j].triangleIndex] / total +
                                kLightChoiceUniformShare / n;
        EXPECT_NEAR(lights[j].choicePdf, expected, 1e-6) << j;
        sum += lights[j].choicePdf;
        EXPECT_FLOAT_EQ(triangleChoicePdf(test::lightSetOf(lights), lights[j].triangleIndex),
                        lights[j].choicePdf);
    }
    EXPECT_NEAR(sum, 1.0, 1e-6);
    EXPECT_EQ(lights[n - 1].choiceCdf, 1.0f);
    EXPECT_EQ(triangleChoicePdf(test::lightSetOf(lights), 8), 0.0f);

    // Stratified numbers over (0, 1]: each light is picked as often as its chance.
    std::vector<double> counts(n, 0.0);
    const LightSet set = test::lightSetOf(lights);
    const int draws = 1 << 20;
    for (int i = 0; i < draws; ++i)
        counts[chooseFromList(set, (static_cast<float>(i) + 1.0f) / draws)] += 1.0;
    for (int j = 0; j < n; ++j) EXPECT_NEAR(counts[j] / draws, lights[j].choicePdf, 1e-5) << j;

    // Without any power the choice is uniform.
    for (deviceLightTriangle& l : lights) l.emission = Color(0, 0, 0);
    prepareLightChoice(lights);
    for (const deviceLightTriangle& l : lights) EXPECT_NEAR(l.choicePdf, 1.0 / n, 1e-6);
}

// One number picks the light and, rescaled within the light's share, gives
// the first number of the point on it: the choice is the one
// chooseFromList makes, and given the choice that number is uniform (here
// over evenly spaced numbers, each eighth of (0, 1] gets an eighth of the
// light's picks). A light whose share is too small to rescale takes the spare
// number instead.
TEST(LightChoice, OneNumberPicksTheLightAndThePointWithinIt) {
    std::vector<deviceLightTriangle> lights;
    lights.push_back(
        lightTriangle(Vector3d(0, 2, 0), Vector3d(1, 2, 0), Vector3d(0, 2, 1), Color(4, 4, 4), 0));
    lights.push_back(
        lightTriangle(Vector3d(0, 2, 0), Vector3d(2, 2, 0), Vector3d(0, 2, 2), Color(1, 2, 1), 1));
    // Dark ones: their share is the uniform floor alone, 0.05 / 20, below
    // what a rescaled number serves.
    for (int j = 2; j < 20; ++j)
        lights.push_back(
            lightTriangle(Vector3d(0, 2, 0), Vector3d(1, 2, 0), Vector3d(0, 2, 1), Color(0, 0, 0), j));
    prepareLightChoice(lights);
    const int n = static_cast<int>(lights.size());
    ASSERT_LT(lights[5].choicePdf, kLightShareReused);
    ASSERT_GT(lights[1].choicePdf, kLightShareReused);

    // Without and with an environment beside the triangles (only its
    // choice probability matters here); the environment is index n.
    const float texel[3] = {1.0f, 1.0f, 1.0f};
    EnvironmentLight sky;
    sky.view.texels = texel;
    sky.probability = 0.3f;
    const float spare = 0.3125f;
    const int draws = 1 << 20;
    for (const EnvironmentLight& env : {EnvironmentLight(), sky}) {
        const float pEnv = env ? env.probability : 0.0f;
        std::vector<std::array<double, 8>> bins(static_cast<std::size_t>(n) + 1, std::array<double, 8>{});
        std::vector<double> picks(static_cast<std::size_t>(n) + 1, 0.0);
        for (int i = 0; i < draws; ++i) {
            const float xi = (static_cast<float>(i) + 0.5f) / draws;
            const LightSet set = test::lightSetOf(lights, env);
            const LightAndPoint lp = chooseLightAndPoint(set, xi, spare);
            ASSERT_TRUE(lp.xa >= 0.0f && lp.xa <= 1.0f) << xi;
            ASSERT_FLOAT_EQ(set.listShare(), 1.0f - pEnv);
            int k = n;
            if (xi < pEnv) {
                ASSERT_EQ(lp.light.entry, -1) << xi;
            } else {
                k = chooseFromList(set, (xi - pEnv) / (1.0f - pEnv));
                ASSERT_EQ(lp.light.entry, k) << xi;
                if (lights[k].choicePdf * (1.0f - pEnv) < kLightShareReused) {
                    ASSERT_EQ(lp.xa, spare) << xi;
                    continue;
                }
            }
            picks[k] += 1.0;
            bins[k][std::min(7, static_cast<int>(lp.xa * 8.0f))] += 1.0;
        }
        EXPECT_NEAR(picks[n] / draws, pEnv, 1e-5);
        for (int k = 0; k <= n; ++k) {
            if (picks[k] == 0.0) continue;
            ASSERT_GT(picks[k], 1000.0) << k;
            for (int b = 0; b < 8; ++b)
                EXPECT_NEAR(bins[k][b] / picks[k], 0.125, 1e-3)
                    << "light " << k << " bin " << b << " pEnv " << pEnv;
        }
    }
}

// The solid-angle density of light sampling, integrated over the sphere of
// directions around a point by brute force (every direction traced against
// every light), is 1: the lights' chances and their area densities together
// form one density. The density a BSDF-sampled direction is weighed with
// (lightPdfAlong with the hit light's chance) is the one the light sampler
// reports for the same direction.
TEST(LightChoice, SamplingDensityIntegratesToOneOverTheLights) {
    std::vector<deviceLightTriangle> lights = {
        lightTriangle(Vector3d(-1, 1, -1), Vector3d(-1, 1, 1), Vector3d(-0.2f, 1, -1), Color(1, 1, 1), 0),
        lightTriangle(Vector3d(0.3f, 0.8f, -0.5f), Vector3d(0.4f, 0.8f, 0.5f), Vector3d(1.5f, 0.8f, 0),
                      Color(90, 80, 70), 1)};
    prepareLightChoice(lights);
    for (deviceLightTriangle& l : lights)
        if (l.normal.y > 0) l.normal = -l.normal;  // facing down, towards the point
    const Vector3d x(0, 0, 0);
    const int nt = 800, np = 800;
    double integral = 0.0;
    for (int i = 0; i < nt; ++i)
        for (int j = 0; j < np; ++j) {
            // Uniform over the upper hemisphere in (cos theta, phi) cells.
            const double z = (i + 0.5) / nt, phi = 2 * 3.14159265358979 * (j + 0.5) / np;
            const double r = std::sqrt(1 - z * z);
            const Vector3d d(static_cast<float>(r * std::cos(phi)), static_cast<float>(z),
                             static_cast<float>(r * std::sin(phi)));
            for (const deviceLightTriangle& l : lights) {
                const double t = hitDistance(l, x, d);
                if (t < 0) continue;
                const float choice = triangleChoicePdf(test::lightSetOf(lights), l.triangleIndex);
                integral += lightPdfAlong(l.normal, l.invArea, static_cast<float>(t), d, choice);
            }
        }
    integral *= 2 * 3.14159265358979 / (static_cast<double>(nt) * np);
    EXPECT_NEAR(integral, 1.0, 0.01);

    XorwowState rng;
    xorwowInit(5, &rng);
    const LightSet set = test::lightSetOf(lights);
    for (int i = 0; i < 200; ++i) {
        const LightPick c = chooseLight(set, xorwowUniform(&rng));
        const LightSample s = sampleLight(set, c, x, xorwowUniform(&rng), xorwowUniform(&rng));
        const deviceLightTriangle& l = lights[static_cast<std::size_t>(c.entry)];
        const float along =
            lightPdfAlong(l.normal, l.invArea, s.dist, s.dir, triangleChoicePdf(set, l.triangleIndex));
        EXPECT_NEAR(along, s.pdf, 1e-4f * s.pdf);
    }
}

// The light records are the triangles whose material emits, each with its
// own material's emission, its unit face normal on the side of its vertex
// normals, 1 / area, and its corners where its movable object stands now;
// nothing else enters the list, whatever flags the mesh block set.
TEST(LightRecords, EveryEmittingFaceAndNoOther) {
    std::vector<Material> mats(3, test::material(1.0f, 0.0f, 0.0f, 1.5f));
    mats[1].emission = Color(4, 3, 2);
    mats[2].emission = Color(0, 0.5f, 0);
    auto tri = [](float x, int m, int flag) {
        Triangle t{};
        t.materialIndex = m;
        t.p1 = Vector3d(x, 2, 0), t.p2 = Vector3d(x + 2, 2, 0), t.p3 = Vector3d(x, 2, 1);
        // Vertex normals pointing down: the face emits downwards.
        t.normal1 = t.normal2 = t.normal3 = Vector3d(0, -3, 0);
        t.area = 1.0f;
        t.isLight = flag;
        return t;
    };
    // A flagged face of a dark material, an unflagged lamp face, two lamps.
    const std::vector<Triangle> tris = {tri(0, 0, 1), tri(1, 1, 0), tri(2, 2, 1), tri(3, 1, 1)};
    Movable m{};
    m.firstTriangle = 3;
    m.triangleCount = 1;
    m.offset = Vector3d(0.5f, -1, 0);
    const std::vector<deviceLightTriangle> r = emissiveTriangleRecords(tris, mats.data(), 3, &m, 1);
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0].triangleIndex, 1);
    EXPECT_EQ(r[1].triangleIndex, 2);
    EXPECT_EQ(r[2].triangleIndex, 3);
    EXPECT_EQ(r[0].emission.r, 4.0f);
    EXPECT_EQ(r[1].emission.g, 0.5f);
    for (const deviceLightTriangle& l : r) {
        EXPECT_FLOAT_EQ(l.normal.y, -1.0f);
        EXPECT_EQ(l.invArea, 1.0f);
    }
    EXPECT_EQ(r[0].p1.x, 1.0f);
    EXPECT_EQ(r[2].p1.x, 3.5f);  // moved with its object
    EXPECT_EQ(r[2].p2.y, 1.0f);
    // A material index outside the list is no light.
    EXPECT_TRUE(emissiveTriangleRecords(tris, mats.data(), 1).empty());
}
