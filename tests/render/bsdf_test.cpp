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

// Uniform in [0, 1), as the Metropolis records hold them.
float unitDraw(XorwowState* s) {
    return 1.0f - xorwowUniform(s);
}

// Light arriving on a horizontal surface (normal +z) at 40 degrees.
const Vector3d kUp(0.0f, 0.0f, 1.0f);
const float kSin40 = static_cast<float>(std::sin(40.0 * kPi / 180.0));
const float kCos40 = static_cast<float>(std::cos(40.0 * kPi / 180.0));
const Vector3d kWo(kSin40, 0.0f, kCos40);  // towards the viewer

}  // namespace

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
// (H = normalise(R + V)), follow GGX for every way of drawing them. Only the
// metal's single-scattering lobe draws half vectors.
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
        {"record", 0.5f, 0.5f, 1, 0},
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
            int lobe;
            if (cs.source == 2) {
                const Continuation c = sampleContinuation(Vector3d(), kTilted, d, m, &rng);
                r = c.ray.direction;
                lobe = c.lobe;
            } else {
                VertexObj v = vertexAt(kTilted, d);
                if (cs.source == 0) {
                    r = v.getSampleAndAlpha(&rng, &m).ray.direction;
                } else {
                    BSDFSample u;
                    for (float& x : u.u) x = unitDraw(&rng);
                    r = v.getSampleAndAlpha(u, &m).ray.direction;
                }
                lobe = v.lobe;
            }
            if (lobe != kLobeMetal) continue;
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
// that the drawn GGX half vector faces the viewer and reflects above the
// surface (the others are lost samples), worked out from the textbook
// distribution.
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
                sum += v.getpdf(kLobeMetal, m, kUp, kWo, wi);
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
                const double oh = hx * kWo.x + hz * kWo.z;
                if (oh <= 0.0 || 2.0 * oh * hz - kWo.z <= 0.0) continue;  // reflects into the surface
                visible += ggxDensity(t, ph, a, a) * std::sin(t) * (kPi / 2 / ht) * (2 * kPi / hp);
            }
        }
        EXPECT_LT(visible, 1.0);
        EXPECT_NEAR(sum * 4 * kPi / (nt * np), visible, 0.005) << "roughness " << roughness;
    }
}
