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
#include "render/bounce.h"
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

// ---- point, spot and sun lights ---------------------------------------------------

namespace {

constexpr double kPi = 3.14159265358979323846;

double radians(double degrees) {
    return degrees * kPi / 180.0;
}

// A light set of the given point, spot and sun lights alone.
struct Shapes {
    std::vector<deviceLight> records;
    LightSet set;
    explicit Shapes(const std::vector<SceneLight>& lights, float sceneRadius = 10.0f) {
        std::vector<double> powers;
        for (const SceneLight& l : lights) {
            records.push_back(lightRecord(l));
            powers.push_back(lightChoicePower(l, sceneRadius));
        }
        std::vector<deviceLightTriangle> none;
        prepareLightChoice(none, records, powers);
        set.lights = records.data();
        set.lightCount = static_cast<int>(records.size());
    }
};

SceneLight pointLight(const Vector3d& at, const Color& c, float intensity, float radius = 0.0f) {
    SceneLight l;
    l.kind = kPointLight;
    l.position = at;
    l.color = c;
    l.intensity = intensity;
    l.radius = radius;
    return l;
}

SceneLight spotLight(const Vector3d& at, const Vector3d& axis, float intensity, double inner, double outer) {
    SceneLight l = pointLight(at, Color(1, 1, 1), intensity);
    l.kind = kSpotLight;
    l.direction = normalize(axis);
    l.innerAngle = static_cast<float>(radians(inner));
    l.outerAngle = static_cast<float>(radians(outer));
    return l;
}

// A sun whose light comes from `towards` (the way to the sun).
SceneLight sun(const Vector3d& towards, float irradiance, double diameterDegrees) {
    SceneLight l;
    l.kind = kSunLight;
    l.direction = -normalize(towards);
    l.intensity = irradiance;
    l.angularDiameter = static_cast<float>(radians(diameterDegrees));
    return l;
}

// The plane y = 0 seen from above, nothing else: every upward ray leaves.
struct OpenPlane {
    EmitterHit nearestEmitter(const Ray& r) const {
        EmitterHit e;
        e.escaped = r.direction.y > 0.0f;
        if (!e.escaped) e.t = -r.origin.y / r.direction.y;
        return e;
    }
    Color transmittance(const Vector3d&, const Vector3d& dir, float) const {
        return dir.y > 0.0f ? Color(1, 1, 1) : Color(0, 0, 0);
    }
};

Material lambertian(float albedo) {
    Material m = test::material(1.0f, 0.0f, 0.0f, 1.0f);
    m.basecolor = Color(albedo, albedo, albedo);
    m.specular = Color(0, 0, 0);
    return m;
}

struct Stats {
    double mean[3], sd[3];
    int n;
    double se(int ch) const { return sd[ch] / std::sqrt(static_cast<double>(n)); }
};

// Next-event estimates at point x of the plane, seen from above; sample k
// shades with material k modulo the list (a mixture of materials).
Stats estimate(const LightSet& set, const std::vector<Material>& mats, const Vector3d& x,
               DirectLightStrategy strategy, int n, uint64_t seed) {
    double s[3] = {0, 0, 0}, s2[3] = {0, 0, 0};
    const OpenPlane q;
    for (int k = 0; k < n; ++k) {
        VertexObj v;
        v.weight = Color(1, 1, 1);
        v.normal = v.surfaceNormal = Vector3d(0, 1, 0);
        v.position = v.hitPoint = x;
        v.incoming = normalize(Vector3d(0.3f, -1.0f, 0.2f));
        v.materialIndex = 0;
        XorwowState rng;
        xorwowInit(bounceSeed(static_cast<int>(seed), 0, k), &rng);
        XorwowDraws draws{&rng};
        const Color c =
            directLight(v, draws, &mats[static_cast<std::size_t>(k) % mats.size()], set, q, strategy);
        const double ch[3] = {c.r, c.g, c.b};
        for (int i = 0; i < 3; ++i) s[i] += ch[i], s2[i] += ch[i] * ch[i];
    }
    Stats st;
    st.n = n;
    for (int i = 0; i < 3; ++i) {
        st.mean[i] = s[i] / n;
        st.sd[i] = std::sqrt(std::fmax(s2[i] / n - st.mean[i] * st.mean[i], 0.0));
    }
    return st;
}

// Irradiance I cos(theta) / d^2 at x on the plane y = 0 from intensity I at p.
double inverseSquare(double I, const Vector3d& p, const Vector3d& x) {
    const Vector3d d = p - x;
    const double d2 = dot(d, d);
    return I * (d.y / std::sqrt(d2)) / d2;
}

}  // namespace

// A Lambertian plane under a point light reflects albedo / pi times
// I cos(theta) / d^2 per channel; a sphere light of the same intensity gives
// the same wherever the whole sphere is above the horizon (a uniform sphere
// sends I in every direction). The delta light's estimate is exact in every
// sample; the sphere's converges.
TEST(PointLight, PlaneIrradianceIsIntensityCosineOverDistanceSquared) {
    const float albedo = 0.7f;
    const Material m = lambertian(albedo);
    const Color colour(1.0f, 0.5f, 0.25f);
    const Vector3d p(0.4f, 1.5f, -0.3f);
    const Shapes point({pointLight(p, colour, 6.0f)});
    const Shapes sphere({pointLight(p, colour, 6.0f, 0.3f)});
    for (const Vector3d x : {Vector3d(0, 0, 0), Vector3d(1.5f, 0, 0.5f), Vector3d(-2, 0, 1)}) {
        const double E = inverseSquare(6.0, p, x);
        const Stats a = estimate(point.set, {m}, x, DirectLightStrategy::kMis, 200, 1);
        const Stats b = estimate(sphere.set, {m}, x, DirectLightStrategy::kMis, 40000, 2);
        const double c[3] = {colour.r, colour.g, colour.b};
        for (int ch = 0; ch < 3; ++ch) {
            const double expected = albedo / kPi * E * c[ch];
            EXPECT_NEAR(a.mean[ch], expected, 1e-4 * expected) << "point, x = " << x.x << ", channel " << ch;
            EXPECT_LT(a.sd[ch], 1e-4 * expected);
            EXPECT_NEAR(b.mean[ch], expected, 4.0 * b.se(ch) + 1e-4 * expected)
                << "sphere, x = " << x.x << ", channel " << ch;
        }
    }
}

// A spot light pointing straight down: full intensity inside its inner
// cone, glTF's smooth falloff (the square of the ramp of the cosine) between
// the cones, nothing outside.
TEST(SpotLight, InsideInTheFalloffAndOutsideTheCone) {
    const Material m = lambertian(0.5f);
    const Vector3d p(0, 2, 0);
    const double inner = 20.0, outer = 40.0;
    const Shapes spot({spotLight(p, Vector3d(0, -1, 0), 8.0f, inner, outer)});
    for (double angle : {0.0, 10.0, 25.0, 30.0, 39.0, 41.0, 60.0}) {
        const Vector3d x(static_cast<float>(2.0 * std::tan(radians(angle))), 0, 0);
        const double ramp = (std::cos(radians(angle)) - std::cos(radians(outer))) /
                            (std::cos(radians(inner)) - std::cos(radians(outer)));
        const double s = std::min(std::max(ramp, 0.0), 1.0);
        const double expected = 0.5 / kPi * inverseSquare(8.0, p, x) * s * s;
        const Stats st = estimate(spot.set, {m}, x, DirectLightStrategy::kMis, 50, 3);
        EXPECT_NEAR(st.mean[1], expected, 1e-4 * expected + 1e-9) << angle << " degrees off the axis";
        if (angle > outer) {
            EXPECT_EQ(st.mean[1], 0.0) << angle;
        }
    }
}

// A sun of angular radius a and irradiance E at normal incidence is a disc of
// radiance L = E / (pi sin^2 a); a plane tilted theta from it receives
// L pi sin^2 a cos(theta) = E cos(theta), for a delta sun, the real sun's
// 0.53 degrees and discs of 5 and 30 degrees alike.
TEST(SunLight, PlaneIrradianceIsTheDiscsRadianceTimesPiSinSquared) {
    const float albedo = 0.6f;
    const Material m = lambertian(albedo);
    const double elevation = 50.0;  // the 30-degree disc stays above the horizon
    const Vector3d towards(static_cast<float>(std::cos(radians(elevation))),
                           static_cast<float>(std::sin(radians(elevation))), 0.0f);
    for (double diameter : {0.0, 0.53, 5.0, 30.0}) {
        const Shapes s({sun(towards, 3.0f, diameter)});
        const double a = radians(diameter / 2);
        if (diameter > 0.0) {
            EXPECT_NEAR(s.records[0].emission.g * kPi * std::sin(a) * std::sin(a), 3.0, 3e-5) << diameter;
        }
        const double expected = albedo / kPi * 3.0 * std::sin(radians(elevation));
        const Stats st = estimate(s.set, {m}, Vector3d(0, 0, 0), DirectLightStrategy::kMis, 20000, 4);
        EXPECT_NEAR(st.mean[1], expected, 4.0 * st.se(1) + 1e-4 * expected) << diameter << " degrees";
    }
}

// BSDF sampling alone, light sampling alone and their combination converge
// to the same reflected light for suns of 0.53 and 5 degrees and for a
// sphere light, each near the mirror direction of a point that is glossy in
// half of the samples and rough in the other half: light sampling does
// poorly on the glossy part, BSDF sampling on the rough one, and multiple
// importance sampling has a lower spread than either. Delta lights are
// reached by light sampling under every strategy.
TEST(SunAndSphereLights, BsdfLightAndMisEstimatesAgree) {
    struct Case {
        const char* name;
        SceneLight light;
        float glossy, rough;
        int n;
    };
    // The vertex is seen along (0.3, -1, 0.2): the mirror direction is
    // (0.3, 1, 0.2); the lights sit about a degree off it.
    const Vector3d mirror = normalize(Vector3d(0.3f, 1.0f, 0.2f));
    const Vector3d nearMirror = normalize(mirror + Vector3d(0.015f, 0.0f, -0.01f));
    const Case cases[] = {
        {"sun 0.53 degrees", sun(nearMirror, 2.0f, 0.53), 0.08f, 0.6f, 400000},
        {"sun 5 degrees", sun(nearMirror, 2.0f, 5.0), 0.2f, 0.8f, 200000},
        {"sphere light", pointLight(nearMirror * 1.5f, Color(1, 1, 1), 3.0f, 0.05f), 0.1f, 0.6f, 200000},
        {"point light", pointLight(nearMirror * 1.5f, Color(1, 1, 1), 3.0f), 0.15f, 0.8f, 20000},
    };
    for (const Case& c : cases) {
        const Shapes s({c.light});
        std::vector<Material> mats;
        for (float r : {c.glossy, c.rough}) {
            mats.push_back(test::material(r, 0.0f, 0.5f, 1.5f));
            mats.back().specular = Color(1, 1, 1);
        }
        const Stats st[3] = {
            estimate(s.set, mats, Vector3d(0, 0, 0), DirectLightStrategy::kMis, c.n, 7),
            estimate(s.set, mats, Vector3d(0, 0, 0), DirectLightStrategy::kBsdfOnly, c.n, 8),
            estimate(s.set, mats, Vector3d(0, 0, 0), DirectLightStrategy::kLightOnly, c.n, 9)};
        std::printf("%s: mean %.5f %.5f %.5f, spread MIS %.4f, BSDF %.4f, light %.4f\n", c.name,
                    st[0].mean[1], st[1].mean[1], st[2].mean[1], st[0].sd[1], st[1].sd[1], st[2].sd[1]);
        EXPECT_GT(st[0].mean[1], 0.0) << c.name;
        for (int i = 0; i < 3; ++i)
            for (int j = i + 1; j < 3; ++j)
                EXPECT_NEAR(st[i].mean[1], st[j].mean[1], 4.0 * std::hypot(st[i].se(1), st[j].se(1)))
                    << c.name << ": estimators " << i << " and " << j;
        if (c.light.radius > 0.0f || c.light.kind == kSunLight) {
            EXPECT_LT(st[0].sd[1], st[1].sd[1]) << c.name;
            EXPECT_LT(st[0].sd[1], st[2].sd[1]) << c.name;
        }
    }
}

// Triangles and point, spot and sun lights share one list and one choice:
// the chances sum to 1 over both, each entry is picked as often as its
// chance says, and a light entry is sampled with its chance in the density.
// A camera ray that leaves the scene sees the sun's disc (and nothing of it
// on later bounces, whose escapes the previous vertex's estimate counted).
TEST(LightChoice, TrianglesAndOtherLightsShareOneList) {
    std::vector<deviceLightTriangle> tris = {
        lightTriangle(Vector3d(0, 2, 0), Vector3d(1, 2, 0), Vector3d(0, 2, 1), Color(2, 2, 2), 3),
        lightTriangle(Vector3d(0, 2, 0), Vector3d(2, 2, 0), Vector3d(0, 2, 2), Color(1, 0, 0), 1)};
    const std::vector<SceneLight> others = {pointLight(Vector3d(0, 1, 0), Color(1, 1, 1), 5.0f),
                                            sun(Vector3d(0, 1, 1), 3.0f, 5.0)};
    std::vector<deviceLight> records;
    std::vector<double> powers;
    for (const SceneLight& l : others) {
        records.push_back(lightRecord(l));
        powers.push_back(lightChoicePower(l, 2.0f));
    }
    EXPECT_DOUBLE_EQ(powers[0], 4.0 * 5.0);         // 4 pi I over pi
    EXPECT_NEAR(powers[1], 3.0 * 2.0 * 2.0, 1e-5);  // E pi r^2 over pi
    prepareLightChoice(tris, records, powers);
    LightSet set = test::lightSetOf(tris);
    set.lights = records.data();
    set.lightCount = 2;
    ASSERT_EQ(set.listCount(), 4);
    EXPECT_EQ(tris[0].triangleIndex, 1);  // sorted by triangle
    double total = 0.0;
    for (const deviceLightTriangle& t : tris) total += t.choicePdf;
    for (const deviceLight& l : records) total += l.choicePdf;
    EXPECT_NEAR(total, 1.0, 1e-6);
    EXPECT_EQ(records[1].choiceCdf, 1.0f);
    EXPECT_GT(records[0].choicePdf, tris[0].choicePdf);

    std::vector<double> counts(4, 0.0);
    const int draws = 1 << 20;
    for (int i = 0; i < draws; ++i) counts[chooseFromList(set, (i + 1.0f) / draws)] += 1.0;
    for (int k = 0; k < 4; ++k) {
        const float chance = k < 2 ? tris[k].choicePdf : records[k - 2].choicePdf;
        EXPECT_NEAR(counts[k] / draws, chance, 1e-5) << k;
    }
    const LightSample p = sampleLight(set, LightPick{2}, Vector3d(0, 0, 0), 0.5f, 0.5f);
    EXPECT_TRUE(p.delta);
    EXPECT_FLOAT_EQ(p.pdf, records[0].choicePdf);
    EXPECT_FLOAT_EQ(p.Le.g, 5.0f);  // I / d^2 at distance 1
    EXPECT_FLOAT_EQ(p.dir.y, 1.0f);

    const Vector3d toSun = normalize(Vector3d(0, 1, 1));
    const Color bg(0.1f, 0.2f, 0.3f);
    const Color seen = escapedRadiance(bg, set, toSun * 2.0f, true);
    EXPECT_FLOAT_EQ(seen.g, bg.g + records[1].emission.g);
    EXPECT_FLOAT_EQ(escapedRadiance(bg, set, toSun, false).g, bg.g);
    EXPECT_FLOAT_EQ(escapedRadiance(bg, set, Vector3d(0, 1, 0), true).g, bg.g);  // 45 degrees off the sun
}
