#include "render/bsdf.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "render/vertex.h"
#include "test_support.h"

using namespace lumenar;
using test::CountingDraws;
using test::material;
using test::ScriptedDraws;

namespace {

constexpr double kPi = 3.14159265358979323846;

VertexObj vertexAt(const Vector3d& n, const Vector3d& d) {
    VertexObj v;
    v.position = v.hitPoint = Vector3d(1.0f, 2.0f, 3.0f);
    v.normal = v.surfaceNormal = n;
    v.incoming = d;
    v.materialIndex = 0;
    return v;
}

void expectNear(const Vector3d& a, const Vector3d& b, float tol, const char* what) {
    EXPECT_NEAR(a.x, b.x, tol) << what;
    EXPECT_NEAR(a.y, b.y, tol) << what;
    EXPECT_NEAR(a.z, b.z, tol) << what;
}

void expectNear(const Color& a, const Color& b, float tol, const char* what) {
    EXPECT_NEAR(a.r, b.r, tol) << what;
    EXPECT_NEAR(a.g, b.g, tol) << what;
    EXPECT_NEAR(a.b, b.b, tol) << what;
}

void expectEqual(const Color& a, const Color& b, const char* what) {
    EXPECT_EQ(a.r, b.r) << what;
    EXPECT_EQ(a.g, b.g) << what;
    EXPECT_EQ(a.b, b.b) << what;
}

// Uniform in [0, 1), as the Metropolis records hold them.
float unitDraw(XorwowState* s) {
    return 1.0f - xorwowUniform(s);
}

// Light arriving on a horizontal surface (normal +z) at 40 degrees.
const Vector3d kUp(0.0f, 0.0f, 1.0f);
const float kSin40 = static_cast<float>(std::sin(40.0 * kPi / 180.0));
const float kCos40 = static_cast<float>(std::cos(40.0 * kPi / 180.0));
const Vector3d kWo(kSin40, 0.0f, kCos40);  // towards the viewer
const Vector3d kMirror(-kSin40, 0.0f, kCos40);

// Snell's law from air into index 1.5, worked out independently.
Vector3d snellInto15() {
    const double st = std::sin(40.0 * kPi / 180.0) / 1.5;
    return Vector3d(static_cast<float>(-st), 0.0f, static_cast<float>(-std::sqrt(1.0 - st * st)));
}

}  // namespace

TEST(Bsdf, RoughnessZeroGivesTheDeltaForms) {
    const Material m = material(0.0f, 0.5f, 0.0f, 1.5f);
    const Vector3d T = snellInto15();
    int reflections = 0, refractions = 0;
    for (uint64_t seed = 0; seed < 2000; ++seed) {
        VertexObj v = vertexAt(kUp, -kWo);
        CountingDraws draws(seed);
        const ScatterResult s = v.getSampleAndAlphaFrom(draws, &m);
        if (v.lobe == kLobeReflection) {
            ++reflections;
            EXPECT_TRUE(s.isDelta);
            expectEqual(s.alpha, specularColor(m), "reflection alpha is the specular colour");
            expectNear(s.ray.direction, kMirror, 1e-5f, "mirror direction");
        } else if (v.lobe == kLobeRefraction) {
            ++refractions;
            EXPECT_TRUE(s.isDelta);
            expectEqual(s.alpha, m.transmission, "refraction alpha is the transmission");
            expectNear(s.ray.direction, T, 1e-5f, "Snell direction");
        }

        CountingDraws cd(seed);
        const Continuation c = sampleContinuationFrom(v.hitPoint, kUp, -kWo, m, cd);
        if (cd.used == 3) {
            expectNear(c.factor, specularColor(m), 1e-5f, "continuation mirror factor");
            expectNear(c.ray.direction, kMirror, 1e-5f, "continuation mirror");
        } else if (cd.used == 4) {
            expectNear(c.factor, m.transmission, 1e-5f, "continuation refraction factor");
            expectNear(c.ray.direction, T, 1e-5f, "continuation refraction");
        }
        expectNear(c.ray.origin, v.hitPoint + c.ray.direction * 0.0001f, 1e-6f, "offset origin");
    }
    EXPECT_GT(reflections, 0);
    EXPECT_GT(refractions, 0);

    // Evaluation: exactly 1 (density) and colour / cosine (value) on the
    // specular direction, 0 a little off it.
    VertexObj v = vertexAt(kUp, -kWo);
    const Vector3d off = normalize(kMirror + Vector3d(0.0f, 0.05f, 0.0f));
    const Vector3d offT = normalize(T + Vector3d(0.0f, 0.05f, 0.0f));
    EXPECT_EQ(v.getpdf(kLobeReflection, m, kUp, kWo, kMirror), 1.0f);
    EXPECT_EQ(v.getpdf(kLobeReflection, m, kUp, kWo, off), 0.0f);
    expectNear(v.getbsdf(kLobeReflection, m, kUp, kWo, kMirror), specularColor(m) / kCos40, 1e-5f,
               "mirror bsdf");
    EXPECT_TRUE(v.getbsdf(kLobeReflection, m, kUp, kWo, off).isBlack());
    EXPECT_EQ(v.getpdf(kLobeRefraction, m, kUp, kWo, T), 1.0f);
    EXPECT_EQ(v.getpdf(kLobeRefraction, m, kUp, kWo, offT), 0.0f);
    expectNear(v.getbsdf(kLobeRefraction, m, kUp, kWo, T), m.transmission / std::fabs(T.z), 1e-5f,
               "refraction bsdf");
    EXPECT_TRUE(v.getbsdf(kLobeRefraction, m, kUp, kWo, offT).isBlack());
    EXPECT_EQ(v.getpdf(7, m, kUp, kWo, kMirror), 0.0f);
    EXPECT_TRUE(v.getbsdf(-1, m, kUp, kWo, kMirror).isBlack());
}

TEST(Bsdf, TotalInternalReflectionAlwaysReflects) {
    // Leaving glass at about 72 degrees from the normal: beyond the critical angle.
    const Material m = material(0.0f, 1.0f, 0.0f, 1.5f);
    const Vector3d d = normalize(Vector3d(0.9f, 0.0f, 0.3f));
    const Vector3d mirror(d.x, d.y, -d.z);
    for (uint64_t seed = 0; seed < 1000; ++seed) {
        VertexObj v = vertexAt(kUp, d);
        CountingDraws draws(seed);
        const ScatterResult s = v.getSampleAndAlphaFrom(draws, &m);
        EXPECT_EQ(v.lobe, kLobeReflection);
        EXPECT_EQ(v.lobeProb, 1.0f);
        expectNear(s.ray.direction, mirror, 1e-5f, "total internal reflection");

        CountingDraws cd(seed);
        const Continuation c = sampleContinuationFrom(v.hitPoint, kUp, d, m, cd);
        EXPECT_EQ(cd.used, 3);
        expectNear(c.ray.direction, mirror, 1e-5f, "continuation reflects");
    }
    // Even the largest draw, 1, cannot send it into refraction (whose direction
    // does not exist here).
    VertexObj v = vertexAt(kUp, d);
    ScriptedDraws top{0.3f, 0.6f, 1.0f};
    const ScatterResult s = v.getSampleAndAlphaFrom(top, &m);
    EXPECT_EQ(v.lobe, kLobeReflection);
    EXPECT_EQ(top.used, 3);
    expectNear(s.ray.direction, mirror, 1e-5f, "draw of 1 reflects");
    ScriptedDraws top2{0.3f, 0.6f, 1.0f};
    const Continuation c = sampleContinuationFrom(v.hitPoint, kUp, d, m, top2);
    EXPECT_EQ(top2.used, 3);
    expectNear(c.ray.direction, mirror, 1e-5f, "continuation with a draw of 1 reflects");
    // An index below 1 reflects totally on the way in.
    const Material inverted = material(0.0f, 1.0f, 0.0f, 0.7f);
    for (uint64_t seed = 0; seed < 200; ++seed) {
        CountingDraws cd(seed);
        const Continuation ci = sampleContinuationFrom(v.hitPoint, kUp, -d, inverted, cd);
        EXPECT_EQ(cd.used, 3);
        expectNear(ci.ray.direction, Vector3d(-d.x, -d.y, d.z), 1e-5f, "entering a thinner medium");
    }
    BSDFSample u{{0.3f, 0.6f, 0.2f, 0.99999994f, 0.1f, 0.5f, 0.5f}};
    VertexObj w = vertexAt(kUp, d);
    w.getSampleAndAlpha(u, &m);
    EXPECT_EQ(w.lobe, kLobeReflection);
}

TEST(Bsdf, TransparencyPicksBetweenRefractionAndDiffuse) {
    const Vector3d d = -kWo;
    // 0 never refracts: no lobe 2 and never the four-number path.
    const Material opaque = material(0.4f, 0.0f, 0.0f, 1.5f);
    // 1 never goes diffuse.
    const Material clear = material(0.4f, 1.0f, 0.0f, 1.5f);
    int opaqueDiffuse = 0, clearRefract = 0;
    for (uint64_t seed = 0; seed < 3000; ++seed) {
        VertexObj v = vertexAt(kUp, d);
        CountingDraws a(seed);
        v.getSampleAndAlphaFrom(a, &opaque);
        EXPECT_NE(v.lobe, kLobeRefraction);
        opaqueDiffuse += v.lobe == kLobeDiffuse;

        CountingDraws b(seed);
        v.getSampleAndAlphaFrom(b, &clear);
        EXPECT_NE(v.lobe, kLobeDiffuse);
        clearRefract += v.lobe == kLobeRefraction;

        CountingDraws c1(seed), c2(seed);
        sampleContinuationFrom(v.hitPoint, kUp, d, opaque, c1);
        EXPECT_NE(c1.used, 4);
        sampleContinuationFrom(v.hitPoint, kUp, d, clear, c2);
        EXPECT_NE(c2.used, 6);
    }
    EXPECT_GT(opaqueDiffuse, 0);
    EXPECT_GT(clearRefract, 0);

    // A negative transparency (subsurface material) refracts whenever it does
    // not reflect, and takes no number for that decision.
    const Material sub = material(0.4f, -0.5f, 0.0f, 1.5f);
    VertexObj v = vertexAt(kUp, d);
    ScriptedDraws draws{0.3f, 0.6f, 0.99f};
    v.getSampleAndAlphaFrom(draws, &sub);
    EXPECT_EQ(v.lobe, kLobeRefraction);
    EXPECT_EQ(draws.used, 3);
}

TEST(Bsdf, FullMetalnessAlwaysReflectsAndHasNoDiffuse) {
    const Material m = material(0.4f, 0.5f, 1.0f, 1.5f);
    for (uint64_t seed = 0; seed < 2000; ++seed) {
        VertexObj v = vertexAt(kUp, -kWo);
        CountingDraws draws(seed);
        const ScatterResult s = v.getSampleAndAlphaFrom(draws, &m);
        EXPECT_EQ(v.lobe, kLobeReflection);
        EXPECT_EQ(v.lobeProb, 1.0f);
        // Metals reflect in their base colour.
        if (s.alpha.r > 0.0f) {
            EXPECT_NEAR(s.alpha.g / s.alpha.r, 0.75f, 1e-5f);
        }
        CountingDraws cd(seed);
        sampleContinuationFrom(v.hitPoint, kUp, -kWo, m, cd);
        EXPECT_EQ(cd.used, 3);
    }
    // Not even a Fresnel draw of exactly 1 gets past reflection.
    ScriptedDraws draws{0.3f, 0.6f, 1.0f};
    sampleContinuationFrom(Vector3d(), kUp, -kWo, m, draws);
    EXPECT_EQ(draws.used, 3);
}

TEST(Bsdf, ContinuationBelowTheSurfaceEndsThePath) {
    const Material m = material(1.0f, 0.0f, 1.0f, 1.5f);
    const Vector3d d = normalize(Vector3d(1.0f, 0.0f, -0.1f));  // grazing
    int below = 0, above = 0;
    for (uint64_t seed = 0; seed < 4000; ++seed) {
        CountingDraws draws(seed);
        const Continuation c = sampleContinuationFrom(Vector3d(), kUp, d, m, draws);
        ASSERT_EQ(draws.used, 3);
        if (dot(c.ray.direction, kUp) <= 0.0f) {
            ++below;
            // No light comes from inside the surface: factor 0, which the
            // roulette turns into the end of the path.
            expectEqual(c.factor, Color(0.0f, 0.0f, 0.0f), "below the surface");
        } else {
            ++above;
            EXPECT_GE(c.factor.r, 0.0f);
        }
    }
    EXPECT_GT(below, 50);
    EXPECT_GT(above, 50);
}

// ---- statistical checks of the samplers --------------------------------------

namespace {

// GGX (Trowbridge-Reitz) distribution of half vectors with widths ax, ay
// along the tangents, times the cosine that makes it a density over the
// hemisphere.
double ggxDensity(double theta, double phi, double ax, double ay) {
    const double s = std::sin(theta), c = std::cos(theta);
    const double hx = s * std::cos(phi), hy = s * std::sin(phi);
    const double q = hx * hx / (ax * ax) + hy * hy / (ay * ay) + c * c;
    return c / (kPi * ax * ay * q * q);
}

constexpr int kThetaBins = 16;
constexpr int kPhiBins = 8;

int binOf(double theta, double phi) {
    int ti = static_cast<int>(theta / (kPi / 2) * kThetaBins);
    int pi = static_cast<int>(phi / (2 * kPi) * kPhiBins);
    ti = ti < 0 ? 0 : (ti >= kThetaBins ? kThetaBins - 1 : ti);
    pi = pi < 0 ? 0 : (pi >= kPhiBins ? kPhiBins - 1 : pi);
    return ti * kPhiBins + pi;
}

// Expected bin probabilities of a density over (theta, phi) on the hemisphere
// (midpoint rule inside each bin).
template <class Density>
std::vector<double> binProbabilities(Density density) {
    std::vector<double> p(kThetaBins * kPhiBins, 0.0);
    const int sub = 48;
    const double dt = kPi / 2 / kThetaBins / sub, dp = 2 * kPi / kPhiBins / sub;
    for (int ti = 0; ti < kThetaBins * sub; ++ti) {
        const double t = (ti + 0.5) * dt;
        for (int pj = 0; pj < kPhiBins * sub; ++pj) {
            const double ph = (pj + 0.5) * dp;
            p[binOf(t, ph)] += density(t, ph) * std::sin(t) * dt * dp;
        }
    }
    return p;
}

struct Angles {
    double theta, phi;
};

Angles anglesIn(const Frame& f, const Vector3d& h) {
    const double c = std::fmin(1.0, std::fmax(-1.0, static_cast<double>(dot(h, f.w))));
    double phi = std::atan2(dot(h, f.v), dot(h, f.u));
    if (phi < 0) phi += 2 * kPi;
    return {std::acos(c), phi};
}

const Vector3d kTilted = normalize(Vector3d(0.3f, 0.5f, 0.8f));

}  // namespace

// Half vectors, recovered from reflections of a metal seen head-on
// (H = normalise(R + V)), follow GGX for every way of drawing them.
TEST(BsdfStatistics, HalfVectorsFollowGgx) {
    const Frame f = microfacetFrame(kTilted);
    const Vector3d d = -kTilted;
    const int n = 200000;
    struct Case {
        const char* name;
        float rx, ry;
        int source;  // 0 generator, 1 Metropolis record, 2 continuation
        int anisotropic;
    };
    const Case cases[] = {
        {"generator", 0.5f, 0.5f, 0, 0},
        {"continuation", 0.7f, 0.7f, 2, 0},
        {"record, isotropic", 0.5f, 0.5f, 1, 0},
        {"record, anisotropic with equal roughness", 0.5f, 0.5f, 1, 1},
        {"record, anisotropic", 0.8f, 0.4f, 1, 1},
        {"record, anisotropic the other way", 0.3f, 0.9f, 1, 1},
    };
    for (const Case& cs : cases) {
        Material m = material(cs.rx, 0.0f, 1.0f, 1.5f);
        m.roughnessY = cs.ry;
        m.anisotropic = cs.anisotropic;
        XorwowState rng;
        xorwowInit(12345, &rng);
        std::vector<double> counts(kThetaBins * kPhiBins, 0.0);
        int used = 0;
        for (int i = 0; i < n; ++i) {
            Vector3d r;
            if (cs.source == 2) {
                r = sampleContinuation(Vector3d(), kTilted, d, m, &rng).ray.direction;
            } else {
                VertexObj v = vertexAt(kTilted, d);
                if (cs.source == 0) {
                    r = v.getSampleAndAlpha(&rng, &m).ray.direction;
                } else {
                    BSDFSample u;
                    for (float& x : u.u) x = unitDraw(&rng);
                    u.u[3] = 0.0f;
                    r = v.getSampleAndAlpha(u, &m).ray.direction;
                }
                ASSERT_EQ(v.lobe, kLobeReflection);
            }
            const Vector3d sum = r + kTilted;
            if (dot(sum, sum) < 1e-8f) continue;  // half vector on the horizon
            const Angles a = anglesIn(f, normalize(sum));
            counts[binOf(a.theta, a.phi)] += 1.0;
            ++used;
        }
        const double ax = static_cast<double>(cs.rx) * cs.rx, ay = static_cast<double>(cs.ry) * cs.ry;
        const auto p = binProbabilities([&](double t, double ph) { return ggxDensity(t, ph, ax, ay); });
        test::expectChiSquareFit(counts, p, used, cs.name);
    }
}

// Diffuse directions are cosine-weighted about the oriented normal.
TEST(BsdfStatistics, DiffuseDirectionsAreCosineWeighted) {
    const Material m = material(0.0f, 0.0f, 0.0f, 1.0f);  // no Fresnel reflection, opaque
    const Vector3d d = -kTilted;
    const int n = 200000;
    const auto p = binProbabilities([](double t, double) { return std::cos(t) / kPi; });
    for (int source = 0; source < 3; ++source) {
        XorwowState rng;
        xorwowInit(777, &rng);
        const Frame f = cosineFrame(kTilted);
        std::vector<double> counts(kThetaBins * kPhiBins, 0.0);
        for (int i = 0; i < n; ++i) {
            Vector3d r;
            if (source == 0) {
                r = sampleContinuation(Vector3d(), kTilted, d, m, &rng).ray.direction;
            } else {
                VertexObj v = vertexAt(kTilted, d);
                if (source == 1) {
                    r = v.getSampleAndAlpha(&rng, &m).ray.direction;
                } else {
                    BSDFSample u;
                    for (float& x : u.u) x = unitDraw(&rng);
                    v.material = m;
                    r = v.sample(u).ray.direction;
                }
                ASSERT_EQ(v.lobe, kLobeDiffuse);
                ASSERT_FALSE(v.isDelta);
            }
            const Angles a = anglesIn(f, r);
            counts[binOf(a.theta, a.phi)] += 1.0;
        }
        test::expectChiSquareFit(counts, p, n,
                                 source == 0 ? "continuation" : (source == 1 ? "generator" : "record"));
    }
}

// The reflection density used for weighting is the density of the sampler's
// directions: over all incident directions it integrates to the probability
// that the drawn GGX half vector faces the viewer (the others reflect into
// the surface), worked out from the textbook distribution.
TEST(BsdfStatistics, ReflectionDensityIntegratesToTheVisibleHalfVectors) {
    for (float roughness : {0.4f, 0.6f, 0.8f}) {
        const Material m = material(roughness, 0.0f, 1.0f, 1.5f);
        VertexObj v = vertexAt(kUp, -kWo);
        const int nt = 1500, np = 600;
        double sum = 0.0;
        for (int i = 0; i < nt; ++i) {
            const double z = -1.0 + (i + 0.5) * 2.0 / nt;  // uniform in cos over the sphere
            const double s = std::sqrt(1.0 - z * z);
            for (int j = 0; j < np; ++j) {
                const double ph = (j + 0.5) * 2 * kPi / np;
                const Vector3d wi(static_cast<float>(s * std::cos(ph)), static_cast<float>(s * std::sin(ph)),
                                  static_cast<float>(z));
                if (dot(normalize(wi + kWo), kUp) <= 0.0f) continue;
                sum += v.getpdf(kLobeReflection, m, kUp, kWo, wi);
            }
        }
        const double a = static_cast<double>(roughness) * roughness;
        double visible = 0.0;
        const int ht = 2000, hp = 800;
        for (int i = 0; i < ht; ++i) {
            const double t = (i + 0.5) * (kPi / 2) / ht;
            for (int j = 0; j < hp; ++j) {
                const double ph = (j + 0.5) * 2 * kPi / hp;
                const double hx = std::sin(t) * std::cos(ph), hz = std::cos(t);
                if (hx * kWo.x + hz * kWo.z <= 0.0) continue;
                visible += ggxDensity(t, ph, a, a) * std::sin(t) * (kPi / 2 / ht) * (2 * kPi / hp);
            }
        }
        EXPECT_LT(visible, 1.0);
        EXPECT_NEAR(sum * 4 * kPi / (nt * np), visible, 0.005) << "roughness " << roughness;
    }
}
