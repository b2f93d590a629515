// Image-based lighting: the direction mapping, the sampler against its
// density, and irradiance from single bright texels against the closed form.
#include "render/environment.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "device/random.h"
#include "render/bounce.h"
#include "test_support.h"

using namespace lumenar;

namespace {

constexpr double kPi = 3.14159265358979323846;

// A sky with structure: a gradient from the horizon up, a bright disc, a
// dark band, and a column of zeros (a region the sampler must never pick
// where the lookup gives nothing).
FloatImage testSky(int w, int h) {
    FloatImage img;
    img.width = w;
    img.height = h;
    img.rgb.assign(std::size_t(w) * std::size_t(h) * 3, 0.0f);
    for (int j = 0; j < h; ++j)
        for (int i = 0; i < w; ++i) {
            float* p = &img.rgb[(std::size_t(j) * std::size_t(w) + std::size_t(i)) * 3];
            const float v = (j + 0.5f) / h, u = (i + 0.5f) / w;
            float L = 0.2f + 0.8f * (1.0f - v);
            if (std::hypot(u - 0.3f, v - 0.25f) < 0.06f) L = 40.0f;
            if (v > 0.7f && v < 0.8f) L = 0.0f;
            if (i == w / 2) L = 0.0f;
            p[0] = L;
            p[1] = 0.9f * L;
            p[2] = 0.7f * L + 0.05f * static_cast<float>(i % 3);
        }
    return img;
}

struct HostEnv {
    FloatImage image;
    std::vector<float> marginal, conditional;
    EnvironmentView view;
    explicit HostEnv(FloatImage img, float rotation = 0.0f) : image(std::move(img)) {
        buildEnvironmentDistribution(image, marginal, conditional);
        view.texels = image.rgb.data();
        view.marginalCdf = marginal.data();
        view.conditionalCdf = conditional.data();
        view.width = image.width;
        view.height = image.height;
        view.cosRotation = std::cos(rotation);
        view.sinRotation = std::sin(rotation);
    }
};

FloatImage oneBrightTexel(int w, int h, int i, int j, float L) {
    FloatImage img;
    img.width = w;
    img.height = h;
    img.rgb.assign(std::size_t(w) * std::size_t(h) * 3, 0.0f);
    float* p = &img.rgb[(std::size_t(j) * std::size_t(w) + std::size_t(i)) * 3];
    p[0] = p[1] = p[2] = L;
    return img;
}

}  // namespace

TEST(Environment, DirectionMappingFollowsTheImageConvention) {
    const HostEnv env(oneBrightTexel(8, 4, 0, 0, 1.0f));
    auto near = [](const Vector3d& a, const Vector3d& b) {
        return std::fabs(a.x - b.x) < 1e-5f && std::fabs(a.y - b.y) < 1e-5f && std::fabs(a.z - b.z) < 1e-5f;
    };
    EXPECT_TRUE(near(envUVToDirection(env.view, 0.5f, 0.5f), Vector3d(0, 0, -1)));  // centre looks along -z
    EXPECT_TRUE(near(envUVToDirection(env.view, 0.75f, 0.5f), Vector3d(1, 0, 0)));  // u grows towards +x
    EXPECT_TRUE(near(envUVToDirection(env.view, 0.0f, 0.5f), Vector3d(0, 0, 1)));   // the seam is behind
    EXPECT_TRUE(near(envUVToDirection(env.view, 0.3f, 0.0f), Vector3d(0, 1, 0)));   // top row: zenith
    EXPECT_TRUE(near(envUVToDirection(env.view, 0.3f, 1.0f), Vector3d(0, -1, 0)));  // bottom row: nadir
    for (float rotation : {0.0f, 1.0f, -2.5f}) {
        const HostEnv r(oneBrightTexel(8, 4, 0, 0, 1.0f), rotation);
        for (float u = 0.01f; u < 1.0f; u += 0.07f)
            for (float v = 0.02f; v < 1.0f; v += 0.09f) {
                const EnvUV uv = envDirectionToUV(r.view, envUVToDirection(r.view, u, v));
                EXPECT_NEAR(uv.u, u, 1e-4f);
                EXPECT_NEAR(uv.v, v, 1e-4f);
            }
        // Turning the image by a quarter turn brings -z's texel to -x (about +y,
        // counter-clockwise seen from above: -z goes to -x).
        if (rotation == 1.0f) {
            const Vector3d d = envUVToDirection(r.view, 0.5f, 0.5f);
            EXPECT_NEAR(d.x, -std::sin(1.0f), 1e-5f);
            EXPECT_NEAR(d.z, -std::cos(1.0f), 1e-5f);
        }
    }
}

TEST(Environment, LookupIsBilinearAndWrapsAcrossTheSeam) {
    FloatImage img = oneBrightTexel(4, 2, 0, 0, 8.0f);
    const HostEnv env(img);
    // Texel centres are exact; half way between texel 3 and texel 0 (across
    // the u seam) is their average.
    EXPECT_FLOAT_EQ(envLookup(env.view, 0.125f, 0.25f).r, 8.0f);
    EXPECT_FLOAT_EQ(envLookup(env.view, 0.375f, 0.25f).r, 0.0f);
    EXPECT_FLOAT_EQ(envLookup(env.view, 0.0f, 0.25f).r, 4.0f);
    EXPECT_NEAR(envLookup(env.view, 0.99999f, 0.25f).r, 4.0f, 1e-3f);
    // Above the first row's centre the pole row is held.
    EXPECT_FLOAT_EQ(envLookup(env.view, 0.125f, 0.0f).r, 8.0f);
    EXPECT_FLOAT_EQ(envLookup(env.view, 0.125f, 0.5f).r, 4.0f);
}

TEST(Environment, DensityIntegratesToOneAndMatchesTheSampler) {
    const HostEnv env(testSky(48, 24), 0.7f);
    // Midpoint quadrature over (u, v): d omega = 2 pi^2 sin(theta) du dv.
    const int nu = 960, nv = 480;
    double integral = 0.0;
    for (int b = 0; b < nv; ++b)
        for (int a = 0; a < nu; ++a) {
            const float u = (a + 0.5f) / nu, v = (b + 0.5f) / nv;
            integral += envPdf(env.view, envUVToDirection(env.view, u, v)) * 2.0 * kPi * kPi *
                        std::sin(kPi * v) / (double(nu) * nv);
        }
    EXPECT_NEAR(integral, 1.0, 2e-3);

    // Chi-square of drawn directions over a (u, v) grid of bins against the
    // density integrated over each bin.
    const int bu = 24, bv = 12, sub = 16;
    std::vector<double> prob(bu * bv, 0.0), counts(bu * bv, 0.0);
    for (int b = 0; b < bv * sub; ++b)
        for (int a = 0; a < bu * sub; ++a) {
            const float u = (a + 0.5f) / (bu * sub), v = (b + 0.5f) / (bv * sub);
            prob[(b / sub) * bu + a / sub] += envPdf(env.view, envUVToDirection(env.view, u, v)) * 2.0 * kPi *
                                              kPi * std::sin(kPi * v) / (double(bu * sub) * (bv * sub));
        }
    XorwowState rng;
    xorwowInit(5, &rng);
    const int n = 200000;
    int zeroRadiance = 0;
    for (int k = 0; k < n; ++k) {
        const float xa = xorwowUniform(&rng), xb = xorwowUniform(&rng);
        const EnvSample s = envSample(env.view, xa, xb);
        ASSERT_GT(s.pdf, 0.0f);
        if (k % 97 == 0) {
            EXPECT_NEAR(envPdf(env.view, s.dir), s.pdf, 2e-3f * s.pdf);
        }
        if (s.Le.isBlack()) ++zeroRadiance;
        const EnvUV uv = envDirectionToUV(env.view, s.dir);
        const int a = std::min(bu - 1, static_cast<int>(uv.u * bu)),
                  b = std::min(bv - 1, static_cast<int>(uv.v * bv));
        counts[b * bu + a] += 1.0;
    }
    test::expectChiSquareFit(counts, prob, n, "environment sampler");
    // Samples land where there is light: the dark band and column are
    // reached only through the bilinear fringe of their neighbours.
    EXPECT_LT(zeroRadiance, n / 50);
}

// One bright texel of radiance L in an otherwise black sky lights a plane
// facing it with irradiance L x (the texel's solid angle) x cos: the tent of
// the bilinear lookup spreads the texel but keeps its integral. Checked for
// a texel in the middle, next to the pole, and on the u seam, and for a
// plane tilted away from the texel.
TEST(Environment, OneBrightTexelGivesTheClosedFormIrradiance) {
    const int w = 64, h = 32;
    const float L = 50.0f;
    struct Case {
        int i, j;
        float tilt;  // radians between the plane's normal and the texel's direction
    } cases[] = {{20, 13, 0.0f}, {5, 1, 0.0f}, {63, 18, 0.0f}, {0, 10, 0.0f}, {40, 20, 0.9f}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "texel " << c.i << ", " << c.j << " tilt " << c.tilt);
        const HostEnv env(oneBrightTexel(w, h, c.i, c.j, L), 0.3f);
        const double theta0 = kPi * c.j / h, theta1 = kPi * (c.j + 1) / h;
        const double omega = 2.0 * kPi / w * (std::cos(theta0) - std::cos(theta1));
        const Vector3d d = envUVToDirection(env.view, (c.i + 0.5f) / w, (c.j + 0.5f) / h);
        // The plane's normal: the texel's direction turned by `tilt` about an
        // axis across it.
        const Vector3d axis =
            normalize(cross(d, std::fabs(d.y) < 0.9f ? Vector3d(0, 1, 0) : Vector3d(1, 0, 0)));
        const Vector3d side = cross(axis, d);
        const Vector3d nrm = normalize(d * std::cos(c.tilt) + side * std::sin(c.tilt));
        const double expected = L * omega * std::cos(c.tilt);
        XorwowState rng;
        xorwowInit(11, &rng);
        const int n = 100000;
        double sum = 0.0;
        for (int k = 0; k < n; ++k) {
            const EnvSample s = envSample(env.view, xorwowUniform(&rng), xorwowUniform(&rng));
            if (s.pdf > 0.0f) sum += s.Le.r * std::fmax(0.0f, dot(nrm, s.dir)) / s.pdf;
        }
        EXPECT_NEAR(sum / n, expected, 0.02 * expected);
    }
}

TEST(Environment, LoadsLinearAndSrgbImagesAndNamesFilesItCannotRead) {
    const std::string dir = testing::TempDir();
    FloatImage img = testSky(16, 8);
    const std::string exr = dir + "/lumenar_env_test.exr";
    ASSERT_TRUE(writeLinearImage(exr, img));
    FloatImage back;
    ASSERT_TRUE(loadLinearImage(exr, back));
    ASSERT_EQ(back.width, 16);
    ASSERT_EQ(back.height, 8);
    for (std::size_t k = 0; k < img.rgb.size(); ++k) EXPECT_EQ(back.rgb[k], img.rgb[k]) << k;

    // An 8-bit image holds sRGB-encoded values: 188 / 255 decodes to about 0.5.
    FloatImage grey;
    grey.width = 2;
    grey.height = 1;
    grey.rgb.assign(6, 188.0f / 255.0f);
    const std::string png = dir + "/lumenar_env_test.png";
    ASSERT_TRUE(writeLinearImage(png, grey));
    FloatImage decoded;
    ASSERT_TRUE(loadLinearImage(png, decoded));
    EXPECT_NEAR(decoded.rgb[0], 0.5f, 0.005f);

    testing::internal::CaptureStdout();
    FloatImage none;
    EXPECT_FALSE(loadLinearImage(dir + "/no_such_sky.hdr", none));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("no_such_sky.hdr"), std::string::npos) << out;
    std::remove(exr.c_str());
    std::remove(png.c_str());
}

// Next-event estimation of a small sun and a sky at a diffuse point on an
// open plane (nothing above it): BSDF-only and light-only estimates (the
// latter is what MIS does at a diffuse vertex) both converge to the
// reflected radiance that quadrature of the image gives, and importance
// sampling the sky has a tenth of BSDF sampling's spread or less. A glossy
// coated point: the three estimators agree.
TEST(Environment, NextEventEstimationOfSunAndSky) {
    // A 3-degree sun 35 degrees above the horizon, a blue gradient, dark
    // ground.
    const FloatImage img = test::skyImage(256, 128, [](float u, float v) {
        const float du = (u - 0.62f) * 2.0f, dv = v - 0.3f;
        if (du * du + dv * dv < 0.00028f) return Color(3000.0f, 2900.0f, 2600.0f);
        return v > 0.5f ? Color(0.1f, 0.08f, 0.06f) : Color(0.3f + 0.5f * v, 0.45f + 0.4f * v, 0.9f);
    });
    const HostEnv env(img, 0.4f);
    EnvironmentLight light;
    light.view = env.view;
    light.probability = 1.0f;

    // The plane y = 0 seen from above; every direction upwards leaves.
    struct OpenPlane {
        EmitterHit nearestEmitter(const Ray& r) const {
            EmitterHit e;
            e.escaped = r.direction.y > 0.0f;
            return e;
        }
        Color transmittance(const Vector3d&, const Vector3d& dir, float) const {
            return dir.y > 0.0f ? Color(1, 1, 1) : Color(0, 0, 0);
        }
    } q;
    auto vertex = [] {
        VertexObj v;
        v.weight = Color(1, 1, 1);
        v.normal = v.surfaceNormal = Vector3d(0, 1, 0);
        v.position = v.hitPoint = Vector3d(0, 0, 0);
        v.incoming = normalize(Vector3d(0.3f, -1.0f, 0.2f));
        v.materialIndex = 0;
        return v;
    };
    struct Stats {
        double mean, sd;
    };
    auto estimate = [&](const Material& m, DirectLightStrategy strategy, int n, uint64_t seed) {
        double s = 0.0, s2 = 0.0;
        for (int k = 0; k < n; ++k) {
            VertexObj v = vertex();
            XorwowState rng;
            xorwowInit(seed * 1000003ull + static_cast<uint64_t>(k), &rng);
            XorwowDraws draws{&rng};
            const double x = directLight(v, draws, &m, test::lightSetOf({}, light), q, strategy).g;
            s += x;
            s2 += x * x;
        }
        const double mean = s / n;
        return Stats{mean, std::sqrt(std::fmax(s2 / n - mean * mean, 0.0))};
    };

    // Reflected radiance of a white-ish Lambertian floor: albedo / pi times
    // the integral of L cos over the upper hemisphere, by midpoint quadrature
    // of the bilinear image.
    Material diffuse = test::material(1.0f, 0.0f, 0.0f, 1.0f);
    diffuse.specular = Color(0, 0, 0);
    const int nu = 2048, nv = 1024;
    double irradiance = 0.0;
    for (int b = 0; b < nv / 2 + 1; ++b)
        for (int a = 0; a < nu; ++a) {
            const float u = (a + 0.5f) / nu, v = (b + 0.5f) / nv;
            const Vector3d d = envUVToDirection(env.view, u, v);
            if (!(d.y > 0.0f)) continue;
            irradiance +=
                envLookup(env.view, u, v).g * d.y * 2.0 * kPi * kPi * std::sin(kPi * v) / (double(nu) * nv);
        }
    const double expected = diffuse.basecolor.g / kPi * irradiance;

    const Stats lightOnly = estimate(diffuse, DirectLightStrategy::kLightOnly, 40000, 1);
    const Stats mis = estimate(diffuse, DirectLightStrategy::kMis, 40000, 2);
    const Stats bsdf = estimate(diffuse, DirectLightStrategy::kBsdfOnly, 400000, 3);
    EXPECT_NEAR(lightOnly.mean, expected, 4.0 * lightOnly.sd / std::sqrt(40000.0) + 1e-3 * expected);
    EXPECT_NEAR(mis.mean, expected, 4.0 * mis.sd / std::sqrt(40000.0) + 1e-3 * expected);
    EXPECT_NEAR(bsdf.mean, expected, 4.0 * bsdf.sd / std::sqrt(400000.0) + 1e-3 * expected);
    std::printf("sun and sky at a diffuse point: per-sample spread MIS %.4f, BSDF only %.4f (ratio %.4f)\n",
                mis.sd, bsdf.sd, mis.sd / bsdf.sd);
    EXPECT_LT(mis.sd, 0.1 * bsdf.sd);

    Material glossy = test::material(0.3f, 0.0f, 0.0f, 1.5f);
    glossy.specular = Color(1, 1, 1);
    const Stats g[3] = {estimate(glossy, DirectLightStrategy::kMis, 100000, 4),
                        estimate(glossy, DirectLightStrategy::kBsdfOnly, 400000, 5),
                        estimate(glossy, DirectLightStrategy::kLightOnly, 100000, 6)};
    const int n[3] = {100000, 400000, 100000};
    for (int i = 0; i < 3; ++i)
        for (int j = i + 1; j < 3; ++j)
            EXPECT_NEAR(
                g[i].mean, g[j].mean,
                4.0 * std::hypot(g[i].sd / std::sqrt(double(n[i])), g[j].sd / std::sqrt(double(n[j]))))
                << "glossy: estimators " << i << " and " << j;
}
