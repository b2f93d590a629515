// The material model on its own: its albedo tables against quadrature of the
// lobes they describe, reciprocity, samplers against the evaluator, and
// directions exactly in the tangent plane.
#include "render/material.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "render/bsdf.h"
#include "render/vertex.h"
#include "test_support.h"

using namespace lumenar;

namespace {

constexpr double kPi = 3.14159265358979323846;

Material plain(float roughness, float ior) {
    Material m{};
    m.basecolor = Color(1, 1, 1);
    m.specular = Color(1, 1, 1);
    m.transmission = Color(1, 1, 1);
    m.roughness = m.roughnessY = roughness;
    m.IOR = ior;
    m.tex = -1;
    return m;
}

Vector3d at(double theta, double phi) {
    return Vector3d(static_cast<float>(std::sin(theta) * std::cos(phi)),
                    static_cast<float>(std::sin(theta) * std::sin(phi)), static_cast<float>(std::cos(theta)));
}

// Integral over the sphere of lobe x |cos| (first channel) for wo at cosine
// mu about +z (normal n), by the midpoint rule in (theta, phi); the lobe is
// mirror-symmetric in phi, so half the circle is integrated twice.
double lobeAlbedo(const Material& m, const Vector3d& n, float mu, int lobe) {
    const Vector3d wo(std::sqrt(1.0f - mu * mu), 0.0f, mu);
    const ShadingPoint p = shadingPoint(m, n, wo);
    const int nt = 720, np = 360;
    const double dt = kPi / nt, dp = kPi / np;
    double s = 0.0;
    for (int i = 0; i < nt; ++i) {
        const double t = (i + 0.5) * dt;
        const double w = std::fabs(std::cos(t)) * std::sin(t) * dt * dp * 2.0;
        for (int j = 0; j < np; ++j) s += lobeValue(p, lobe, at(t, (j + 0.5) * dp)).r * w;
    }
    return s;
}

}  // namespace

// The tables hold the directional albedo of the lobes as the model evaluates
// them (specular 1, white): checked here by quadrature over directions, at
// table nodes and between them. A smooth coat's albedo is Schlick's term.
TEST(MaterialTables, AlbedoMatchesQuadratureOfTheLobes) {
    const Vector3d up(0, 0, 1), down(0, 0, -1);
    for (float rough : {0.3f, 0.55f, 0.8f, 1.0f})
        for (float mu : {0.25f, 0.5f, 0.8f}) {
            const Vector3d wo(std::sqrt(1.0f - mu * mu), 0.0f, mu);
            Material coat = plain(rough, 1.5f);
            const double coatQ = lobeAlbedo(coat, up, mu, kLobeReflection);
            EXPECT_NEAR(shadingPoint(coat, up, wo).coatE.r, coatQ, 0.006)
                << "coat, roughness " << rough << ", mu " << mu;

            Material metal = plain(rough, 1.5f);
            metal.metalness = 1.0f;
            const double metalQ = lobeAlbedo(metal, up, mu, kLobeMetal);
            EXPECT_NEAR(shadingPoint(metal, up, wo).metalE, metalQ, 0.006)
                << "metal, roughness " << rough << ", mu " << mu;
            EXPECT_LE(metalQ, 1.0 + 1e-3) << "a single-scattering lobe never gains energy";

            for (float ior : {1.5f, 2.2f})
                for (const Vector3d& n : {up, down}) {
                    Material glass = plain(rough, ior);
                    glass.transparency = 1.0f;
                    const double q = lobeAlbedo(glass, n, mu, kLobeRefraction);
                    EXPECT_NEAR(shadingPoint(glass, n, wo).ifE, q, 0.008)
                        << "interface, IOR " << ior << (n.z > 0 ? " from outside" : " from inside")
                        << ", roughness " << rough << ", mu " << mu;
                    EXPECT_LE(q, 1.0 + 1e-3);
                }
        }
    for (float mu : {0.1f, 0.4f, 0.9f}) {
        const Vector3d wo(std::sqrt(1.0f - mu * mu), 0.0f, mu);
        const double f0 = 0.04, schlick = f0 + (1 - f0) * std::pow(1.0 - mu, 5.0);
        EXPECT_NEAR(shadingPoint(plain(0.0f, 1.5f), up, wo).coatE.r, schlick, 2e-3)
            << "smooth coat, mu " << mu;
    }
}

// Whatever it holds, a material that absorbs nothing reflects and transmits
// all that arrives, by quadrature of the evaluated material (no sampling).
TEST(MaterialTables, WhiteMaterialsKeepTheirEnergy) {
    const Vector3d up(0, 0, 1), down(0, 0, -1);
    for (float rough : {0.3f, 0.6f, 1.0f})
        for (float mu : {0.2f, 0.6f, 0.95f}) {
            Material coated = plain(rough, 1.5f), metal = plain(rough, 1.5f), glass = plain(rough, 1.5f);
            metal.metalness = 1.0f;
            glass.transparency = 1.0f;
            const struct {
                const char* name;
                Material m;
                Vector3d n;
                double tolerance;
            } cases[] = {{"coated white", coated, up, 0.01},
                         {"white metal", metal, up, 0.015},
                         {"clear glass from outside", glass, up, 0.02},
                         {"clear glass from inside", glass, down, 0.02}};
            for (const auto& c : cases) {
                double total = 0.0;
                for (int l = 0; l < kLobeCount; ++l) total += lobeAlbedo(c.m, c.n, mu, l);
                EXPECT_NEAR(total, 1.0, c.tolerance) << c.name << ", roughness " << rough << ", mu " << mu;
            }
        }
}

namespace {

Vector3d randomDirection(XorwowState* rng, bool upper) {
    const float z = 2.0f * xorwowUniform(rng) - 1.0f;
    const float phi = static_cast<float>(2.0 * kPi) * xorwowUniform(rng);
    const float r = std::sqrt(std::fmax(0.0f, 1.0f - z * z));
    const float zz = upper ? std::fabs(z) : z;
    return normalize(Vector3d(r * std::cos(phi), r * std::sin(phi), zz));
}

void expectRelNear(float a, float b, float rel, const char* what) {
    EXPECT_NEAR(a, b, rel * std::fmax(std::fabs(a), std::fabs(b)) + 1e-7f) << what;
}

}  // namespace

// f(wo, wi) = f(wi, wo) for reflection of every kind (coated bases, metals
// with their multiple scattering, a dielectric's reflection side);
// refraction carries the factor eta^2 of radiance crossing the interface.
TEST(MaterialReciprocity, ReflectionIsSymmetricRefractionUpToEtaSquared) {
    const Vector3d up(0, 0, 1);
    Material coated = plain(0.5f, 1.5f);
    coated.basecolor = Color(0.7f, 0.4f, 0.2f), coated.specular = Color(0.8f, 0.5f, 0.3f);
    Material metal = plain(0.45f, 1.5f);
    metal.metalness = 1.0f, metal.basecolor = Color(0.95f, 0.64f, 0.54f);
    Material mixed = coated;
    mixed.metalness = 0.4f, mixed.roughness = 0.8f;
    Material glass = plain(0.5f, 1.5f);
    glass.transparency = 1.0f, glass.specular = Color(0.9f, 0.8f, 0.7f);
    Material frosted = glass;
    frosted.transparency = 0.5f;
    const struct {
        const char* name;
        Material m;
    } cases[] = {
        {"coated", coated}, {"metal", metal}, {"mixed", mixed}, {"glass", glass}, {"frosted", frosted}};
    XorwowState rng;
    xorwowInit(2024, &rng);
    for (const auto& c : cases)
        for (int i = 0; i < 2000; ++i) {
            const Vector3d a = randomDirection(&rng, true), b = randomDirection(&rng, true);
            const Color fab = materialValue(shadingPoint(c.m, up, a), b);
            const Color fba = materialValue(shadingPoint(c.m, up, b), a);
            expectRelNear(fab.r, fba.r, 2e-4f, c.name);
            expectRelNear(fab.g, fba.g, 2e-4f, c.name);
            expectRelNear(fab.b, fba.b, 2e-4f, c.name);
        }
    for (float ior : {1.5f, 2.4f})
        for (int i = 0; i < 2000; ++i) {
            Material g = glass;
            g.IOR = ior;
            const Vector3d a = randomDirection(&rng, true);
            const Vector3d b = -randomDirection(&rng, true);  // inside
            const Color fab = lobeValue(shadingPoint(g, up, a), kLobeRefraction, b);
            const Color fba = lobeValue(shadingPoint(g, up, b), kLobeRefraction, a);
            expectRelNear(fab.r, ior * ior * fba.r, 1e-2f, "refraction");
            expectRelNear(fab.b, ior * ior * fba.b, 1e-2f, "refraction");
        }
}

// Every sample's weight is its lobe's value x |cos| over (lobe probability x
// lobe density), the form the next-event estimate evaluates; smooth lobes
// report themselves as such.
TEST(MaterialSampling, WeightsAreValueOverDensity) {
    const Vector3d n = normalize(Vector3d(0.2f, -0.3f, 0.9f));
    Material coated = plain(0.5f, 1.5f);
    coated.basecolor = Color(0.7f, 0.4f, 0.2f), coated.specular = Color(0.8f, 0.5f, 0.3f);
    Material metal = plain(0.7f, 1.5f);
    metal.metalness = 0.7f, metal.basecolor = Color(0.9f, 0.6f, 0.3f);
    Material glass = plain(0.4f, 1.5f);
    glass.transparency = 0.7f, glass.transmission = Color(0.9f, 0.8f, 0.6f);
    Material smooth = glass;
    smooth.roughness = 0.0f;
    const Material cases[] = {coated, metal, glass, smooth};
    XorwowState rng;
    xorwowInit(7, &rng);
    int checked = 0;
    for (const Material& m : cases)
        for (int i = 0; i < 3000; ++i) {
            const Vector3d wo = randomDirection(&rng, false);
            const ShadingPoint p = shadingPoint(m, n, wo);
            XorwowDraws draws{&rng};
            const MaterialSample s = sampleMaterial(p, draws);
            ASSERT_TRUE(std::isfinite(s.weight.r) && std::isfinite(s.weight.g) && std::isfinite(s.weight.b));
            EXPECT_GE(s.weight.r, 0.0f);
            EXPECT_FLOAT_EQ(s.lobeProb, p.prob[s.lobe]);
            if (s.isDelta) {
                EXPECT_EQ(m.roughness, 0.0f);
                EXPECT_EQ(lobeDensity(p, s.lobe, s.wi), 0.0f);
                continue;
            }
            if (s.weight.isBlack()) continue;
            const float pdf = lobeDensity(p, s.lobe, s.wi);
            ASSERT_GT(pdf, 0.0f);
            const Color f = lobeValue(p, s.lobe, s.wi);
            const float k = std::fabs(dot(p.nl, s.wi)) / (s.lobeProb * pdf);
            expectRelNear(s.weight.r, f.r * k, 2e-3f, "weight, red");
            expectRelNear(s.weight.b, f.b * k, 2e-3f, "weight, blue");
            ++checked;
        }
    EXPECT_GT(checked, 6000);
}

// A path or light sample arriving exactly in the tangent plane (n . d = 0)
// gets a finite weight, on every estimator's side.
TEST(MaterialSampling, EdgeOnArrivalIsFinite) {
    const Vector3d n(0, 0, 1), d(1, 0, 0);
    Material coated = plain(0.6f, 1.5f);
    Material metal = plain(0.3f, 1.5f);
    metal.metalness = 1.0f;
    Material glass = plain(0.5f, 1.5f);
    glass.transparency = 1.0f;
    Material mirror = metal;
    mirror.roughness = 0.0f;
    const Material cases[] = {coated, metal, glass, mirror};
    for (const Material& m : cases)
        for (uint64_t seed = 0; seed < 300; ++seed) {
            test::CountingDraws draws(seed);
            const Continuation c = sampleContinuationFrom(Vector3d(), n, d, m, draws);
            ASSERT_TRUE(std::isfinite(c.factor.r) && std::isfinite(c.factor.g) && std::isfinite(c.factor.b))
                << "roughness " << m.roughness << ", seed " << seed;
            ASSERT_TRUE(std::isfinite(c.ray.direction.x) && std::isfinite(c.ray.direction.z));
            VertexObj v;
            v.normal = v.surfaceNormal = n;
            v.incoming = d;
            test::CountingDraws vd(seed + 1000);
            const ScatterResult s = v.getSampleAndAlphaFrom(vd, &m);
            ASSERT_TRUE(std::isfinite(s.alpha.r) && std::isfinite(s.alpha.b));
            const Vector3d wi = normalize(Vector3d(0.3f, 0.2f, 0.9f));
            ASSERT_TRUE(std::isfinite(v.bsdf(wi).r));
            ASSERT_TRUE(std::isfinite(v.pdf(wi)));
        }
}

// A vertex sample that only picks its lobe (the direct-light estimate does
// not trace a cosine lobe's direction) draws the same numbers and picks the
// same lobe as a full one, so later draws and the light side's value and
// density are unchanged; other lobes are sampled in full either way.
TEST(MaterialSampling, LobeOnlySampleMatchesTheFullOne) {
    Material metal = test::material(0.4f, 0.0f, 0.6f, 1.5f);
    Material glass = test::material(0.3f, 1.0f, 0.0f, 1.5f);
    Material frosted = test::material(0.5f, 0.5f, 0.2f, 1.3f);
    const Material cases[] = {plain(0.6f, 1.5f), plain(0.6f, 1.0f), metal, glass, frosted};
    const Vector3d n(0, 0, 1);
    const Vector3d wi = normalize(Vector3d(0.3f, -0.2f, 0.9f));
    int cosineLobes = 0;
    for (const Material& m : cases)
        for (const Vector3d d :
             {normalize(Vector3d(0.2f, 0.1f, -1.0f)), normalize(Vector3d(0.1f, 0.3f, 1.0f))})
            for (uint64_t seed = 0; seed < 200; ++seed) {
                VertexObj full, pick;
                full.normal = full.surfaceNormal = pick.normal = pick.surfaceNormal = n;
                full.incoming = pick.incoming = d;
                test::CountingDraws a(seed), b(seed);
                const ScatterResult sf = full.getSampleAndAlphaFrom(a, &m, true);
                const ScatterResult sp = pick.getSampleAndAlphaFrom(b, &m, false);
                ASSERT_EQ(a.used, b.used) << "seed " << seed;
                ASSERT_EQ(a(), b());
                ASSERT_EQ(full.lobe, pick.lobe);
                ASSERT_EQ(full.lobeProb, pick.lobeProb);
                ASSERT_EQ(sf.isDelta, sp.isDelta);
                const Color ff = full.bsdf(wi), fp = pick.bsdf(wi);
                ASSERT_EQ(ff.r, fp.r);
                ASSERT_EQ(ff.b, fp.b);
                ASSERT_EQ(full.pdf(wi), pick.pdf(wi));
                if (isCosineLobe(full.lobe)) {
                    ++cosineLobes;
                    EXPECT_TRUE(sp.alpha.isBlack());
                } else {
                    ASSERT_EQ(sf.alpha.g, sp.alpha.g);
                    ASSERT_EQ(sf.ray.direction.x, sp.ray.direction.x);
                    ASSERT_EQ(sf.ray.direction.z, sp.ray.direction.z);
                }
            }
    EXPECT_GT(cosineLobes, 200);
}

// Without a coat (IOR 1) and without metal the material is Lambert's:
// value basecolor x opaque share / pi over the upper hemisphere, density
// cos / pi, and no metal lobe; with some metal the metal lobes come back.
TEST(MaterialValue, UncoatedNonMetalIsLambertian) {
    Material m = test::material(0.7f, 0.25f, 0.0f, 1.0f);
    const Vector3d n(0, 0, 1), wo = normalize(Vector3d(0.4f, 0.1f, 0.9f));
    const ShadingPoint p = shadingPoint(m, n, wo);
    for (double theta : {0.1, 0.7, 1.3})
        for (double phi : {0.0, 2.0, 4.5}) {
            const Vector3d wi = at(theta, phi);
            const Color f = lobeValue(p, kLobeDiffuse, wi);
            EXPECT_NEAR(f.r, 0.8 * 0.75 / kPi, 1e-6);
            EXPECT_NEAR(f.g, 0.6 * 0.75 / kPi, 1e-6);
            EXPECT_NEAR(f.b, 0.4 * 0.75 / kPi, 1e-6);
            EXPECT_NEAR(lobeDensity(p, kLobeDiffuse, wi), std::cos(theta) / kPi, 1e-6);
        }
    EXPECT_EQ(p.prob[kLobeMetal], 0.0f);
    EXPECT_EQ(p.prob[kLobeMetalMultiple], 0.0f);
    EXPECT_EQ(p.prob[kLobeReflection], 0.0f);
    m.metalness = 0.5f;
    const ShadingPoint q = shadingPoint(m, n, wo);
    EXPECT_GT(q.prob[kLobeMetal], 0.0f);
    EXPECT_GT(q.prob[kLobeMetalMultiple], 0.0f);
    EXPECT_GT(q.metalE, 0.5f);
    EXPECT_LE(q.metalE, 1.0f);
}
