// Fog and subsurface scattering: the medium's methods against closed forms
// and quadrature, the fog bounce against exact transmittance and a numerical
// integral of single scattering, and the subsurface walk's weights.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "render/bounce.h"
#include "test_support.h"

using namespace lumenar;
using test::CountingDraws;
using test::ScriptedDraws;

namespace {

constexpr double kPi = 3.14159265358979323846;

struct Tri {
    Vector3d p1, p2, p3, n;
    int material;
};

// Brute-force stand-in for the BVH: every query tests every triangle.
struct BruteQueries {
    std::vector<Tri> tris;
    mutable int nearestCalls = 0;

    static bool hitTri(const Tri& tr, const Ray& r, float& t) {
        const Vector3d e1 = tr.p2 - tr.p1, e2 = tr.p3 - tr.p1;
        const Vector3d pv = cross(r.direction, e2);
        const float det = dot(e1, pv);
        if (std::fabs(det) < 1e-12f) return false;
        const Vector3d tv = r.origin - tr.p1;
        const float u = dot(tv, pv) / det;
        if (u < 0.0f || u > 1.0f) return false;
        const Vector3d qv = cross(tv, e1);
        const float v = dot(r.direction, qv) / det;
        if (v < 0.0f || u + v > 1.0f) return false;
        t = dot(e2, qv) / det;
        return true;
    }
    int nearestIndex(const Ray& r, float tmax, float& best) const {
        int idx = -1;
        best = tmax;
        for (std::size_t i = 0; i < tris.size(); ++i) {
            float t;
            if (hitTri(tris[i], r, t) && t >= 0.00001f && t < best) best = t, idx = static_cast<int>(i);
        }
        return idx;
    }
    bool nearest(const Ray& r, SurfaceHit* hit) const {
        ++nearestCalls;
        float t;
        const int i = nearestIndex(r, FLT_MAX, t);
        if (i < 0) return false;
        hit->point = r.origin + r.direction * t;
        hit->normal = tris[i].n;
        hit->t = t;
        hit->materialIndex = tris[i].material;
        return true;
    }
    const Material* materials = nullptr;  // set by MediaScene::trace
    EmitterHit nearestEmitter(const Ray& r) const {
        float t;
        const int i = nearestIndex(r, FLT_MAX, t);
        EmitterHit e;
        if (i < 0 || !materials[tris[i].material].isEmissive()) return e;
        e.found = true;
        e.t = t;
        e.normal = tris[i].n;
        e.invArea = 2.0f / length(cross(tris[i].p2 - tris[i].p1, tris[i].p3 - tris[i].p1));
        e.emission = materials[tris[i].material].emission;
        e.triangle = i;  // lightsOf numbers the lights by their triangle
        return e;
    }
    Color transmittance(const Vector3d& from, const Vector3d& dir, float dist) const {
        float t;
        const bool blocked = nearestIndex(Ray(from, dir), static_cast<float>(dist - 0.001), t) >= 0;
        return blocked ? Color(0, 0, 0) : Color(1, 1, 1);
    }
};

// Rectangle a, b, c, d (counter-clockwise seen from the side n points to).
void addQuad(std::vector<Tri>& t, Vector3d a, Vector3d b, Vector3d c, Vector3d d, Vector3d n, int m) {
    t.push_back({a, b, c, n, m});
    t.push_back({a, c, d, n, m});
}

// The light triangles of the given scene triangles (those of material m).
std::vector<deviceLightTriangle> lightsOf(const std::vector<Tri>& tris, int m, const Color& e) {
    std::vector<deviceLightTriangle> l;
    for (std::size_t i = 0; i < tris.size(); ++i) {
        if (tris[i].material != m) continue;
        deviceLightTriangle d{};
        d.p1 = tris[i].p1, d.p2 = tris[i].p2, d.p3 = tris[i].p3;
        d.normal = tris[i].n;
        d.invArea = 2.0f / length(cross(d.p2 - d.p1, d.p3 - d.p1));
        d.triangleIndex = static_cast<int>(i);
        d.emission = e;
        l.push_back(d);
    }
    prepareLightChoice(l);
    return l;
}

Material matte(const Color& base) {
    Material m{};
    m.basecolor = base;
    m.roughness = m.roughnessY = 1.0f;
    m.IOR = 1.5f;
    m.tex = -1;
    return m;
}

Material lamp(const Color& e) {
    Material m = matte(Color(0, 0, 0));
    m.emission = e;
    return m;
}

// Subsurface-marked, perfectly smooth.
Material marked(float ior, float rsc, const Color& absorption, const Color& base) {
    Material m = matte(base);
    m.specular = Color(1, 1, 1);
    m.transmission = Color(1, 1, 1);
    m.transparency = -1.0f;
    m.roughness = m.roughnessY = 0.0f;
    m.IOR = ior;
    m.rsc = rsc;
    m.absorption = absorption;
    return m;
}

Volume homogeneousBox(const Color& sa, const Color& ss, const Color& le, float g) {
    return Volume(Vector3d(-5, -5, -5), Vector3d(5, 5, 5), sa, ss, le, g);
}

struct MediaScene {
    BruteQueries q;
    std::vector<Material> materials;
    std::vector<deviceLightTriangle> lights;
    std::vector<deviceLight> shapes;  // point, spot and sun lights after the triangles
    std::vector<Volume> volumes;
    Color bg{0, 0, 0};
    MediaFlags flags;

    // Point, spot and sun lights beside the triangles, all chosen by power.
    void addLights(const std::vector<SceneLight>& ls) {
        std::vector<double> powers;
        for (const SceneLight& l : ls) {
            shapes.push_back(lightRecord(l));
            powers.push_back(lightChoicePower(l, 5.0f));
        }
        prepareLightChoice(lights, shapes, powers);
    }

    template <class Draws>
    BounceResult trace(const Ray& r, int bounce, Draws& next) {
        q.materials = materials.data();
        SceneView view;
        view.materials = materials.data();
        view.bgcolor = bg;
        view.lights = test::lightSetOf(lights);
        view.lights.lights = shapes.empty() ? nullptr : shapes.data();
        view.lights.lightCount = static_cast<int>(shapes.size());
        view.volumeCount = static_cast<int>(volumes.size());
        view.volumes = volumes.data();
        return traceBounce(r, bounce, next, view, flags, q);
    }
};

const Ray kForward(Vector3d(0, 0, 0), Vector3d(0, 0, -3));  // not unit length on purpose

}  // namespace

TEST(Volume, IntersectClipsToTheBoxFromInsideAndOutside) {
    const Volume v = homogeneousBox(Color(1, 1, 1), Color(0, 0, 0), Color(0, 0, 0), 0.0f);
    float t0 = 0.0f, t1 = FLT_MAX;
    ASSERT_TRUE(v.Intersect(Ray(Vector3d(1, 2, 3), normalize(Vector3d(1, 0, 0))), t0, t1));
    EXPECT_FLOAT_EQ(t0, 0.0f);
    EXPECT_FLOAT_EQ(t1, 4.0f);
    t0 = 0.0f, t1 = FLT_MAX;
    ASSERT_TRUE(v.Intersect(Ray(Vector3d(-8, 0, 0), Vector3d(1, 0, 0)), t0, t1));
    EXPECT_FLOAT_EQ(t0, 3.0f);
    EXPECT_FLOAT_EQ(t1, 13.0f);
    t0 = 0.0f, t1 = FLT_MAX;
    EXPECT_FALSE(v.Intersect(Ray(Vector3d(-8, 6, 0), Vector3d(1, 0, 0)), t0, t1));
    t0 = 0.0f, t1 = 2.0f;  // the interval ends before the box
    EXPECT_FALSE(v.Intersect(Ray(Vector3d(-8, 0, 0), Vector3d(1, 0, 0)), t0, t1));
}

TEST(Volume, CoefficientsFollowTheDensity) {
    Volume v(Vector3d(0, 0, 0), Vector3d(1, 2, 1), Color(0.1f, 0.2f, 0.3f), Color(0.4f, 0.5f, 0.6f),
             Color(1, 2, 3), 0.0f, 2.0f, 1.5f, Vector3d(0, -3, 0));
    const Vector3d p(0.5f, 0.5f, 0.5f), w(0, 0, 1);
    const float dens = 2.0f * std::exp(-1.5f * 0.5f);  // densest at the bottom, against gravity
    EXPECT_NEAR(v.Density(p), dens, 1e-6);
    EXPECT_NEAR(v.Density(Vector3d(0.5f, 0.0f, 0.5f)), 2.0f, 1e-6);
    EXPECT_NEAR(v.sigma_t(p, w).g, 0.7f * dens, 1e-6);
    EXPECT_NEAR(v.sigma_a(p, w).b, 0.3f * dens, 1e-6);
    EXPECT_NEAR(v.sigma_s(p, w).r, 0.4f * dens, 1e-6);
    EXPECT_NEAR(v.Lve(p, w).b, 3.0f * dens, 1e-5);
    EXPECT_EQ(v.Density(Vector3d(0.5f, 2.5f, 0.5f)), 0.0f);
    EXPECT_EQ(v.Density(Vector3d(NAN, 0.5f, 0.5f)), 0.0f);
    EXPECT_TRUE(v.hasEmission());
    v.le = Color(0, 0, 0);
    EXPECT_FALSE(v.hasEmission());
}

// Henyey-Greenstein: isotropic 1/(4 pi) at g = 0, unit integral over the
// sphere for any g (midpoint rule in mu = cos theta), zero outside the box.
TEST(Volume, PhaseFunctionIsNormalised) {
    Volume v = homogeneousBox(Color(1, 1, 1), Color(1, 1, 1), Color(0, 0, 0), 0.0f);
    const Vector3d in(0, 0, 0), out(6, 0, 0);
    EXPECT_NEAR(v.p(in, Vector3d(1, 0, 0), normalize(Vector3d(-1, 2, 3))), 1.0 / (4 * kPi), 1e-7);
    EXPECT_NEAR(v.p(in, Vector3d(0, 1, 0), Vector3d(0, 1, 0)), 1.0 / (4 * kPi), 1e-7);
    EXPECT_EQ(v.p(out, Vector3d(1, 0, 0), Vector3d(1, 0, 0)), 0.0f);
    for (float g : {-0.6f, 0.3f, 0.8f}) {
        v.g = g;
        const int n = 20000;
        double sum = 0.0;
        for (int i = 0; i < n; ++i) {
            const double mu = -1.0 + (i + 0.5) * 2.0 / n;
            const double s = std::sqrt(1.0 - mu * mu);
            sum += v.p(in, Vector3d(0, 0, 1), Vector3d(static_cast<float>(s), 0, static_cast<float>(mu)));
        }
        EXPECT_NEAR(sum * 2.0 / n * 2.0 * kPi, 1.0, 2e-3) << "g = " << g;
        EXPECT_EQ(v.p(out, Vector3d(1, 0, 0), Vector3d(1, 0, 0)), 0.0f);
    }
}

TEST(Volume, OpticalThickness) {
    const Color sa(0.1f, 0.2f, 0.3f), ss(0.3f, 0.2f, 0.1f);
    const Volume h(Vector3d(-1, -1, -1), Vector3d(1, 1, 1), sa, ss, Color(0, 0, 0), 0.0f);
    const Ray r(Vector3d(-3, 0, 0), Vector3d(2, 0, 0));  // t in units of the direction's length
    EXPECT_NEAR(h.tau(r, 0.0f, 100.0f, 1.0f, 0.5f).r, 0.4 * 2.0, 1e-6);
    EXPECT_NEAR(h.tau(r, 1.5f, 1.75f, 1.0f, 0.5f).g, 0.4 * 0.5, 1e-6);
    // A segment that ends before the box, or starts after it, crosses no medium.
    EXPECT_EQ(h.tau(r, 0.0f, 0.5f, 1.0f, 0.5f).r, 0.0f);
    EXPECT_EQ(h.tau(r, 3.0f, 5.0f, 1.0f, 0.5f).r, 0.0f);
    EXPECT_EQ(h.tau(Ray(Vector3d(-3, 5, 0), Vector3d(1, 0, 0)), 0.0f, 100.0f, 1.0f, 0.5f).r, 0.0f);

    // Exponential medium along gravity: sigma_t a / b (exp(-b h0) - exp(-b h1)).
    const float a = 1.5f, b = 2.0f;
    const Volume e(Vector3d(-1, 0, -1), Vector3d(1, 2, 1), sa, ss, Color(0, 0, 0), 0.0f, a, b,
                   Vector3d(0, -1, 0));
    const Ray up(Vector3d(0, -1, 0), Vector3d(0, 1, 0));
    const double exact = 0.4 * a / b * (std::exp(-b * 0.25) - std::exp(-b * 1.75));
    // Whatever step a caller passes, tiny or zero included, the answer is the
    // integral and comes back at once.
    for (float step : {1.0f, 0.02f, 1e-30f, 0.0f})
        EXPECT_NEAR(e.tau(up, 1.25f, 2.75f, step, 0.5f).r, exact, 1e-5 * exact) << "step " << step;
    // A slanted ray with a direction of length 3: the height grows by 0.6 per
    // unit of t and the path by 3, so tau = 3 sigma_t a / (0.6 b) (e^{-b h0} - e^{-b h1}),
    // checked against a fine midpoint sum in double.
    const Ray slant(Vector3d(-0.9f, 0.1f, -0.5f), Vector3d(2.4f, 0.6f, 1.6431677f));
    const double speed = std::sqrt(2.4 * 2.4 + 0.6 * 0.6 + 1.6431677 * 1.6431677);
    double sum = 0.0;
    const int n = 200000;
    const double tA = 0.1, tB = 0.7;
    for (int i = 0; i < n; ++i) {
        const double t = tA + (i + 0.5) * (tB - tA) / n;
        const double z = -0.5 + 1.6431677 * t;
        if (z > 1.0) continue;  // left the box
        sum += a * std::exp(-b * (0.1 + 0.6 * t));
    }
    const double slanted = 0.4 * sum * (tB - tA) / n * speed;
    EXPECT_NEAR(e.tau(slant, static_cast<float>(tA), static_cast<float>(tB), 1.0f, 0.5f).r, slanted,
                1e-4 * slanted);
    // Horizontal rays see a constant density: the limit k -> 0 of the closed form.
    const Ray flat(Vector3d(-2, 0.5f, 0), Vector3d(1, 0, 0));
    EXPECT_NEAR(e.tau(flat, 0.0f, 10.0f, 1.0f, 0.5f).r, 0.4 * a * std::exp(-b * 0.5) * 2.0, 1e-6);

    const Volume c(Vector3d(-1, -1, -1), Vector3d(1, 1, 1), sa, ss, Color(0, 0, 0), 0.0f, 2, 2, 2, nullptr);
    EXPECT_EQ(c.tau(r, 0.0f, 100.0f, 1.0f, 0.5f).r, 0.0f);
}

// A camera ray starting inside a homogeneous medium meets an emitter's front
// at distance 2: its light arrives attenuated by exp(-(sa + ss) 2) per
// channel; a ray that meets nothing brings the background unattenuated.
TEST(Fog, AttenuatesSurfacesButNotTheBackground) {
    MediaScene s;
    addQuad(s.q.tris, Vector3d(-1, -1, -2), Vector3d(1, -1, -2), Vector3d(1, 1, -2), Vector3d(-1, 1, -2),
            Vector3d(0, 0, 1), 0);
    s.materials = {lamp(Color(3, 2, 1))};
    s.bg = Color(0.5f, 0.25f, 0.125f);
    const Color sa(0.1f, 0.2f, 0.3f), ss(0.2f, 0.0f, 0.5f);
    s.volumes = {homogeneousBox(sa, ss, Color(0, 0, 0), 0.4f)};
    s.flags.fog = true;
    CountingDraws draws(7);
    BounceResult r = s.trace(kForward, 0, draws);
    EXPECT_NEAR(r.radiance.r, 3.0 * std::exp(-0.3 * 2), 1e-5);
    EXPECT_NEAR(r.radiance.g, 2.0 * std::exp(-0.2 * 2), 1e-5);
    EXPECT_NEAR(r.radiance.b, 1.0 * std::exp(-0.8 * 2), 1e-5);
    EXPECT_EQ(r.code, -1);

    r = s.trace(Ray(Vector3d(0, 0, 0), Vector3d(0, 0, 1)), 0, draws);
    EXPECT_EQ(r.radiance.r, 0.5f);
    EXPECT_EQ(r.radiance.g, 0.25f);
    EXPECT_EQ(r.radiance.b, 0.125f);

    // A customised medium's grid is not read: it leaves rays unattenuated.
    s.volumes = {
        Volume(Vector3d(-5, -5, -5), Vector3d(5, 5, 5), sa, ss, Color(0, 0, 0), 0.0f, 2, 2, 2, nullptr)};
    r = s.trace(kForward, 0, draws);
    EXPECT_FLOAT_EQ(r.radiance.r, 3.0f);
    EXPECT_FLOAT_EQ(r.radiance.b, 1.0f);

    // Fog off: the same bounce without the medium.
    s.volumes = {homogeneousBox(sa, ss, Color(0, 0, 0), 0.4f)};
    s.flags.fog = false;
    r = s.trace(kForward, 0, draws);
    EXPECT_FLOAT_EQ(r.radiance.g, 2.0f);
}

// A white wall lit by a small lamp, seen through a non-scattering-in grey
// medium: its light is attenuated along the camera segment and along the
// light's way to the wall, exp(-sigma_t (2 + 1)).
TEST(Fog, DirectLightIsAttenuatedBothWays) {
    MediaScene s;
    addQuad(s.q.tris, Vector3d(-3, -3, -2), Vector3d(3, -3, -2), Vector3d(3, 3, -2), Vector3d(-3, 3, -2),
            Vector3d(0, 0, 1), 0);
    const float h = 0.03f;  // lamp around (0, 0.8, -1.4), facing the wall point (0, 0, -2)
    const Vector3d c(0, 0.8f, -1.4f), n = normalize(Vector3d(0, -0.8f, -0.6f));
    const Vector3d u(1, 0, 0), v = cross(n, u);
    addQuad(s.q.tris, c - u * h - v * h, c - u * h + v * h, c + u * h + v * h, c + u * h - v * h, n, 1);
    s.materials = {matte(Color(0.8f, 0.8f, 0.8f)), lamp(Color(50, 50, 50))};
    s.lights = lightsOf(s.q.tris, 1, Color(50, 50, 50));
    const float st = 0.3f;
    s.volumes = {homogeneousBox(Color(0.1f, 0.1f, 0.1f), Color(0.2f, 0.2f, 0.2f), Color(0, 0, 0), 0.0f)};
    auto estimate = [&](bool fog, double& se) {
        s.flags.fog = fog;
        double sum = 0.0, sum2 = 0.0;
        const int n = 20000;
        for (int i = 0; i < n; ++i) {
            CountingDraws d(300000 + i);
            const double x = s.trace(kForward, 0, d).radiance.g;
            sum += x, sum2 += x * x;
        }
        const double mean = sum / n;
        se = std::sqrt((sum2 / n - mean * mean) / (n - 1));
        return mean;
    };
    double se0, se1;
    const double clear = estimate(false, se0), fogged = estimate(true, se1);
    ASSERT_GT(clear, 0.0);
    const double ratio = fogged / clear;
    const double seRatio = ratio * std::sqrt(se0 * se0 / (clear * clear) + se1 * se1 / (fogged * fogged));
    EXPECT_NEAR(ratio, std::exp(-st * 3.0), 4 * seRatio + 0.01) << "standard error " << seRatio;
}

// A black wall behind a scattering medium with a lamp to the side: without
// in-scattering (and no emission) the medium only takes light away; with it
// the ray gathers light; an emitting medium adds its emission.
TEST(Fog, OnlyInScatteringOrEmissionAddLight) {
    MediaScene s;
    addQuad(s.q.tris, Vector3d(-3, -3, -3), Vector3d(3, -3, -3), Vector3d(3, 3, -3), Vector3d(-3, 3, -3),
            Vector3d(0, 0, 1), 0);
    addQuad(s.q.tris, Vector3d(-0.2f, 1, -1.2f), Vector3d(0.2f, 1, -1.2f), Vector3d(0.2f, 1, -0.8f),
            Vector3d(-0.2f, 1, -0.8f), Vector3d(0, -1, 0), 1);
    s.materials = {matte(Color(0, 0, 0)), lamp(Color(5, 5, 5))};
    s.lights = lightsOf(s.q.tris, 1, Color(5, 5, 5));
    s.volumes = {homogeneousBox(Color(0.1f, 0.1f, 0.1f), Color(0.5f, 0.5f, 0.5f), Color(0, 0, 0), 0.0f)};
    s.flags.fog = true;
    double without = 0.0, with = 0.0;
    for (int i = 0; i < 200; ++i) {
        CountingDraws a(100 + i), b(100 + i);
        without += s.trace(kForward, 0, a).radiance.r;
        s.flags.inscatter = true;
        with += s.trace(kForward, 0, b).radiance.r;
        s.flags.inscatter = false;
    }
    EXPECT_EQ(without, 0.0);
    EXPECT_GT(with, 0.0);

    // Emission alone: Le (1 - exp(-sigma_t t)) / sigma_t along 3 units, no lights.
    s.lights.clear();
    s.volumes = {homogeneousBox(Color(0.1f, 0.1f, 0.1f), Color(0, 0, 0), Color(0.2f, 0.2f, 0.2f), 0.0f)};
    double sum = 0.0, sum2 = 0.0;
    const int n = 4000;
    for (int i = 0; i < n; ++i) {
        CountingDraws d(5000 + i);
        const double v = s.trace(kForward, 0, d).radiance.g;
        sum += v, sum2 += v * v;
    }
    const double mean = sum / n, se = std::sqrt((sum2 / n - mean * mean) / (n - 1));
    const double exact = 0.2 * (1.0 - std::exp(-0.1 * 3.0)) / 0.1;
    EXPECT_NEAR(mean, exact, 4 * se + 1e-4);
}

// Single scattering in a thin slab lit by a small lamp, against the integral
// of T(t) sigma_s p(cos) Le T_l cos_l / r^2 over the camera ray and the lamp.
TEST(Fog, SingleScatteringMatchesANumericalIntegral) {
    MediaScene s;
    addQuad(s.q.tris, Vector3d(-9, -9, -4), Vector3d(9, -9, -4), Vector3d(9, 9, -4), Vector3d(-9, 9, -4),
            Vector3d(0, 0, 1), 0);
    const float h = 0.15f, ly = 0.6f, lz = -1.0f;  // lamp: square of side 2h at height ly over z = lz
    addQuad(s.q.tris, Vector3d(-h, ly, lz - h), Vector3d(h, ly, lz - h), Vector3d(h, ly, lz + h),
            Vector3d(-h, ly, lz + h), Vector3d(0, -1, 0), 1);
    const Color Le(4, 4, 4);
    s.materials = {matte(Color(0, 0, 0)), lamp(Le)};
    s.lights = lightsOf(s.q.tris, 1, Le);
    const float sa = 0.2f, ss = 0.6f, g = 0.5f, z0 = 0.8f, z1 = 1.3f;  // slab between z = -z0 and -z1
    s.volumes = {Volume(Vector3d(-5, -5, -z1), Vector3d(5, 5, -z0), Color(sa, sa, sa), Color(ss, ss, ss),
                        Color(0, 0, 0), g)};
    s.flags.fog = true;
    s.flags.inscatter = true;

    const double st = sa + ss;
    double exact = 0.0;
    const int nt = 200, na = 40;
    for (int i = 0; i < nt; ++i) {
        const double t = z0 + (i + 0.5) * (z1 - z0) / nt;
        const double T = std::exp(-st * (t - z0));
        double light = 0.0;
        for (int a = 0; a < na; ++a)
            for (int b = 0; b < na; ++b) {
                const double x = -h + (a + 0.5) * 2 * h / na, z = lz - h + (b + 0.5) * 2 * h / na;
                const double dx = x, dy = ly, dz = z + t;  // from (0, 0, -t) to the lamp point
                const double r2 = dx * dx + dy * dy + dz * dz, r = std::sqrt(r2);
                // Only the part of the shadow ray inside the slab attenuates.
                const double inSlab =
                    dz > 0 ? std::min(r, (t - z0) * r / dz) : std::min(r, (z1 - t) * r / -dz);
                const double mu = -dz / r;  // light travels (-dx, -dy, -dz)/r, scatters towards +z
                const double p = (1 - g * g) / (4 * kPi) / std::pow(1 + g * g - 2 * g * mu, 1.5);
                light += p * std::exp(-st * inSlab) * (dy / r) / r2;
            }
        exact += T * ss * Le.r * light * (2 * h / na) * (2 * h / na) * (z1 - z0) / nt;
    }

    double sum = 0.0, sum2 = 0.0;
    const int n = 20000;
    for (int i = 0; i < n; ++i) {
        CountingDraws d(90000 + i);
        const double v = s.trace(kForward, 0, d).radiance.r;
        sum += v, sum2 += v * v;
    }
    const double mean = sum / n, se = std::sqrt((sum2 / n - mean * mean) / (n - 1));
    EXPECT_NEAR(mean, exact, 4 * se) << "standard error " << se;
    EXPECT_LT(se, 0.03 * exact);
}

// A slab of subsurface material between z = -1 (entry, facing the camera)
// and z = -2 (exit); index 1 so nothing reflects at normal incidence.
struct Slab : MediaScene {
    Color absorption{0.1f, 0.5f, 1.0f}, exitBase{0.9f, 0.6f, 0.3f};
    explicit Slab(float rsc, float ior = 1.0f) {
        addQuad(q.tris, Vector3d(-5, -5, -1), Vector3d(5, -5, -1), Vector3d(5, 5, -1), Vector3d(-5, 5, -1),
                Vector3d(0, 0, 1), 0);
        addQuad(q.tris, Vector3d(-5, -5, -2), Vector3d(-5, 5, -2), Vector3d(5, 5, -2), Vector3d(5, -5, -2),
                Vector3d(0, 0, -1), 1);
        materials = {marked(ior, rsc, absorption, Color(1, 1, 1)), marked(ior, rsc, absorption, exitBase)};
        flags.subsurface = true;
    }
};

// With rsc = 0 the free path is infinite: every walk crosses to the far side
// and is tinted by exp(-absorption tE) and the exit base colour.
TEST(Subsurface, WithoutScatteringEveryWalkReachesTheFarSurface) {
    Slab s(0.0f);
    const float tE = 0.9999f;  // from just inside the entry face
    const Color tint(std::exp(-0.1f * tE) * 0.9f, std::exp(-0.5f * tE) * 0.6f, std::exp(-1.0f * tE) * 0.3f);
    const float q = std::min(1.0f, std::max(tint.r, std::max(tint.g, tint.b)) / kRouletteWeight);
    int survived = 0;
    for (int i = 0; i < 300; ++i) {
        CountingDraws d(i);
        // At a depth where the roulette decides (earlier bounces always go on).
        const BounceResult r = s.trace(kForward, kRouletteMinBounce, d);
        EXPECT_EQ(r.radiance.r, 0.0f);
        EXPECT_NEAR(r.next.origin.z, -1.0001f, 1e-5);
        EXPECT_FLOAT_EQ(r.next.direction.z, -1.0f);
        if (r.code < 0) continue;
        ++survived;
        EXPECT_NEAR(r.factor.r, tint.r / q, 1e-5);  // survived roulette with probability q
        EXPECT_NEAR(r.factor.g, tint.g / q, 1e-5);
        EXPECT_NEAR(r.factor.b, tint.b / q, 1e-5);
    }
    EXPECT_NEAR(survived / 300.0, q, 4 * std::sqrt(q * (1 - q) / 300));
}

// Leaving a subsurface-marked material refracts out by Snell's law with no
// refraction factor and draws no transparency number.
TEST(Subsurface, LeavingRefractsWithoutAFactor) {
    Slab s(3.0f, 1.5f);
    const Vector3d d = normalize(Vector3d(0.3f, 0, -1));
    ScriptedDraws draws{0.5f, 0.5f, 0.999f, 0.5f};
    const BounceResult r = s.trace(Ray(Vector3d(0, 0, -1.5f), d), 2, draws);
    EXPECT_EQ(draws.used, 4);
    ASSERT_EQ(r.code, 3);
    EXPECT_FLOAT_EQ(r.factor.r, 1.0f);
    EXPECT_FLOAT_EQ(r.factor.g, 1.0f);
    EXPECT_FLOAT_EQ(r.factor.b, 1.0f);
    const float sinOut = 1.5f * d.x;
    EXPECT_NEAR(r.next.direction.x, sinOut, 1e-5);
    EXPECT_NEAR(r.next.direction.z, -std::sqrt(1 - sinOut * sinOut), 1e-5);
}

// A scattering walk leaves towards the entry side; its weight is the
// absorption along the free path and the base colour of the exit surface,
// never more than 1 with white materials and no absorption.
TEST(Subsurface, ScatteringWalkWeights) {
    Slab s(5.0f);
    s.materials[1].basecolor = Color(1, 1, 1);
    s.absorption = Color(0, 0, 0);
    s.materials[0].absorption = s.materials[1].absorption = Color(0, 0, 0);
    int scattered = 0;
    for (int i = 0; i < 500; ++i) {
        CountingDraws d(1000 + i);
        const BounceResult r = s.trace(kForward, 0, d);
        if (r.code >= 0) {
            EXPECT_FLOAT_EQ(r.factor.r, 1.0f);  // nothing lost, nothing made
            EXPECT_FLOAT_EQ(r.factor.b, 1.0f);
        }
        if (r.next.origin.z > -1.00002f && r.next.direction.z > 0.0f) ++scattered;  // out through the entry
    }
    // P(s < 1) = 1 - exp(-5) for the walk from the entry face; a few of those
    // reflect back in at the exit.
    EXPECT_GT(scattered, 400);
}

// A walk that keeps finding entry surfaces (as a ray caught in a mesh that
// is not closed can) ends after a bounded number of steps, its weight
// dropped. The stand-in geometry puts an entry face of the subsurface
// material one unit ahead of every ray, facing it.
struct EndlessEntryQueries {
    mutable int nearestCalls = 0;
    bool nearest(const Ray& r, SurfaceHit* hit) const {
        ++nearestCalls;
        hit->point = r.origin + r.direction;
        hit->normal = -r.direction;
        hit->t = 1.0f;
        hit->materialIndex = 0;
        return true;
    }
    EmitterHit nearestEmitter(const Ray&) const { return EmitterHit(); }
    Color transmittance(const Vector3d&, const Vector3d&, float) const { return Color(1, 1, 1); }
};

TEST(Subsurface, AWalkThatCannotEndIsStopped) {
    const Material m = marked(1.0f, 1e6f, Color(0, 0, 0), Color(1, 1, 1));
    MediaFlags flags;
    flags.subsurface = true;
    for (int i = 0; i < 20; ++i) {
        EndlessEntryQueries q;
        CountingDraws d(i);
        SceneView view;
        view.materials = &m;
        view.bgcolor = Color(1, 1, 1);
        const BounceResult r = traceBounce(kForward, 0, d, view, flags, q);
        EXPECT_EQ(q.nearestCalls, 2 * kMaxWalkSteps);  // a hit and an exit per step
        EXPECT_EQ(r.code, -1);
        EXPECT_TRUE(r.factor.isBlack());
        EXPECT_TRUE(r.radiance.isBlack());
    }
}

// The march's roulette and guards keep every result finite, even for a medium
// so dense that the transmittance underflows.
TEST(Fog, DenseMediumStaysFinite) {
    MediaScene s;
    addQuad(s.q.tris, Vector3d(-3, -3, -4), Vector3d(3, -3, -4), Vector3d(3, 3, -4), Vector3d(-3, 3, -4),
            Vector3d(0, 0, 1), 0);
    addQuad(s.q.tris, Vector3d(-0.2f, 1, -1.2f), Vector3d(0.2f, 1, -1.2f), Vector3d(0.2f, 1, -0.8f),
            Vector3d(-0.2f, 1, -0.8f), Vector3d(0, -1, 0), 1);
    s.materials = {matte(Color(0.5f, 0.5f, 0.5f)), lamp(Color(1e30f, 1e30f, 1e30f))};
    s.lights = lightsOf(s.q.tris, 1, Color(1e30f, 1e30f, 1e30f));
    s.volumes = {homogeneousBox(Color(500, 500, 500), Color(900, 900, 900), Color(1e30f, 0, 0), 0.9f)};
    s.flags.fog = s.flags.inscatter = true;
    for (int i = 0; i < 100; ++i) {
        CountingDraws d(i);
        const BounceResult r = s.trace(kForward, 0, d);
        EXPECT_TRUE(isFiniteColor(r.radiance));
        EXPECT_TRUE(isFiniteColor(r.factor));
    }
}

// The next-event estimate at a subsurface-marked surface outside subsurface
// mode treats it as the opaque material it then is (the same lobes, with the
// same probabilities, as transparency 0), so lights above it reach it; in
// subsurface mode what the coat leaves is the entry into the material, which
// the estimate does not evaluate.
TEST(Subsurface, MarkedMaterialIsOpaqueOutsideSubsurfaceMode) {
    std::vector<Material> mats = {marked(1.4f, 10.0f, Color(0, 0, 0), Color(1, 1, 1))};
    mats[0].roughness = mats[0].roughnessY = 0.5f;
    mats[0].basecolor = Color(0.6f, 0.5f, 0.4f);
    mats[0].specular = Color(1, 1, 1);
    std::vector<Material> opaque = mats;
    opaque[0].transparency = 0.0f;
    const Vector3d up = normalize(Vector3d(0.1f, 0.2f, 1));
    for (bool subsurface : {false, true}) {
        int diffuse = 0, enter = 0;
        for (uint64_t seed = 0; seed < 400; ++seed) {
            VertexObj v, w;
            for (VertexObj* x : {&v, &w}) {
                x->surfaceNormal = x->normal = Vector3d(0, 0, 1);
                x->incoming = normalize(Vector3d(0.2f, 0, -1));  // arriving from above
                x->subsurface = subsurface;
            }
            CountingDraws a(seed), b(seed);
            const ScatterResult s = v.getSampleAndAlphaFrom(a, mats.data());
            w.getSampleAndAlphaFrom(b, opaque.data());
            EXPECT_EQ(a.used, b.used);
            EXPECT_TRUE(isFiniteColor(s.alpha));
            if (!subsurface) {
                ASSERT_EQ(v.lobe, w.lobe);
                EXPECT_FLOAT_EQ(v.lobeProb, w.lobeProb);
                const Color f = v.bsdf(up), g = w.bsdf(up);
                EXPECT_FLOAT_EQ(f.r, g.r);
                EXPECT_FLOAT_EQ(v.pdf(up), w.pdf(up));
                if (v.lobe == kLobeDiffuse) {
                    ++diffuse;
                    EXPECT_GT(f.r, 0.0f);
                    EXPECT_GT(v.pdf(up), 0.0f);
                }
            } else if (v.lobe == kLobeEnter) {
                ++enter;
                EXPECT_TRUE(s.isDelta);
                EXPECT_TRUE(v.bsdf(up).isBlack());
                if (!s.alpha.isBlack()) {
                    EXPECT_LT(s.ray.direction.z, 0.0f) << "goes in";
                }
            } else {
                EXPECT_EQ(v.lobe, kLobeReflection);
            }
        }
        EXPECT_GT(subsurface ? enter : diffuse, 200);
    }
}

// A haze that absorbs red only, between a floor and the lamps above it: the
// light that reaches the floor through it is tinted per channel, red by
// exp(-sigma_a x the path length in the haze), green and blue not at all,
// as the camera's own view through such a haze is. For a point light the
// estimate is exact in every sample; for a lamp panel (both sides of the
// next-event estimate, sampled directions as well as shadow rays) the
// reflected light converges to the quadrature of the panel with the slab's
// transmittance along each direction. A grey estimate of the transmittance
// (light let through with the probability of the channels' mean) fails both.
TEST(Fog, ColouredHazeTintsTheDirectLightPerChannel) {
    const float sigmaRed = 3.0f, albedo = 0.6f;
    const float slabLow = 0.5f, slabHigh = 1.0f;  // the haze: 0.5 < y < 1
    auto scene = [&] {
        MediaScene s;
        addQuad(s.q.tris, Vector3d(-4, 0, -4), Vector3d(-4, 0, 4), Vector3d(4, 0, 4), Vector3d(4, 0, -4),
                Vector3d(0, 1, 0), 0);
        s.materials = {matte(Color(albedo, albedo, albedo))};
        s.volumes = {Volume(Vector3d(-5, slabLow, -5), Vector3d(5, slabHigh, 5), Color(sigmaRed, 0, 0),
                            Color(0, 0, 0), Color(0, 0, 0), 0.0f)};
        s.flags.fog = true;
        return s;
    };
    // Seen from the side, below the haze: the camera's segment crosses none.
    const Ray view(Vector3d(-1.0f, 0.2f, 0.0f), Vector3d(1.0f, -0.2f, 0.0f));
    const double thickness = slabHigh - slabLow;

    MediaScene point = scene();
    SceneLight bulb;
    bulb.kind = kPointLight;
    bulb.position = Vector3d(0, 2, 0);
    bulb.intensity = 8.0f;
    point.addLights({bulb});
    const double E = 8.0 / 4.0;  // I / d^2 straight below
    for (int k = 0; k < 50; ++k) {
        CountingDraws d(k);
        const BounceResult r = point.trace(view, 0, d);
        EXPECT_NEAR(r.radiance.r, albedo / kPi * E * std::exp(-sigmaRed * thickness), 1e-4);
        EXPECT_NEAR(r.radiance.g, albedo / kPi * E, 1e-4);
        EXPECT_NEAR(r.radiance.b, albedo / kPi * E, 1e-4);
    }

    // A 1 x 1 panel at height 2 facing down, centred over the floor point.
    MediaScene panel = scene();
    const float h = 2.0f, e = 3.0f;
    addQuad(panel.q.tris, Vector3d(-0.5f, h, -0.5f), Vector3d(0.5f, h, -0.5f), Vector3d(0.5f, h, 0.5f),
            Vector3d(-0.5f, h, 0.5f), Vector3d(0, -1, 0), 1);
    panel.materials.push_back(lamp(Color(e, e, e)));
    panel.lights = lightsOf(panel.q.tris, 1, Color(e, e, e));
    // Irradiance at the origin by midpoint quadrature over the panel:
    // e cos^2 / r^2 dA, red also times the slab's transmittance along the
    // direction (path length thickness / cos).
    double plain = 0.0, red = 0.0;
    const int n = 400;
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            const double x = -0.5 + (i + 0.5) / n, z = -0.5 + (j + 0.5) / n;
            const double r2 = x * x + z * z + h * h, c = h / std::sqrt(r2);
            const double dE = e * c * c / r2 / (double(n) * n);
            plain += dE;
            red += dE * std::exp(-sigmaRed * thickness / c);
        }
    double sum[3] = {0, 0, 0}, sum2 = 0.0;
    const int samples = 40000;
    for (int k = 0; k < samples; ++k) {
        CountingDraws d(1000 + k);
        const BounceResult r = panel.trace(view, 0, d);
        sum[0] += r.radiance.r, sum[1] += r.radiance.g, sum[2] += r.radiance.b;
        sum2 += r.radiance.r * r.radiance.r;
    }
    const double meanR = sum[0] / samples;
    const double seR = std::sqrt((sum2 / samples - meanR * meanR) / samples);
    EXPECT_NEAR(meanR, albedo / kPi * red, 4.0 * seR + 1e-4) << "red";
    EXPECT_NEAR(sum[1] / samples, albedo / kPi * plain, 0.01 * albedo / kPi * plain) << "green";
    EXPECT_NEAR(sum[2] / samples, sum[1] / samples, 1e-6) << "blue";
}
