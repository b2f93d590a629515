// Light transport against answers from outside the code under test: white
// furnaces (closed forms and quadrature of the evaluated BSDF), samplers
// against their densities, and the three direct-light estimators against each
// other. Whole frames go through start-up, the Renderer and the bounce loop.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/batch_render.h"
#include "app/startup.h"
#include "device/threads.h"
#include "render/renderer.h"
#include "render/tracer.h"
#include "render/vertex.h"
#include "scene/hdr_image.h"
#include "test_support.h"

using namespace lumenar;
using test::tempPath;
using test::writeScene;

namespace {

constexpr double kPi = 3.14159265358979323846;

struct Mat {
    const char* name = "m";
    Color base{0.5f, 0.5f, 0.5f};
    Color spec{0.0f, 0.0f, 0.0f};
    Color emission{0.0f, 0.0f, 0.0f};
    Color transmission{1.0f, 1.0f, 1.0f};
    float metalness = 0.0f;
    float roughness = 1.0f;
    float transparency = 0.0f;
    float ior = 1.0f;
};

Material toMaterial(const Mat& m) {
    Material r{};
    r.basecolor = m.base;
    r.specular = m.spec;
    r.emission = m.emission;
    r.transmission = m.transmission;
    r.metalness = m.metalness;
    r.roughness = r.roughnessY = m.roughness;
    r.transparency = m.transparency;
    r.IOR = m.ior;
    r.tex = -1;
    return r;
}

std::string materialBlock(const std::vector<Mat>& mats) {
    std::ostringstream s;
    auto col = [&](const char* key, const Color& c) {
        s << key << " " << c.r << " " << c.g << " " << c.b << "\n";
    };
    s << "material\n" << mats.size() << "\n\n";
    for (std::size_t i = 0; i < mats.size(); ++i) {
        const Mat& m = mats[i];
        s << "mtl " << i << " " << m.name << "\n";
        col("basecolor", m.base);
        col("specular", m.spec);
        col("emission", m.emission);
        col("transmission", m.transmission);
        s << "metalness " << m.metalness << "\nanisotropic False\nroughness " << m.roughness
          << "\nroughnessY " << m.roughness << "\ntransparency " << m.transparency << "\nIOR " << m.ior
          << "\ntex 0\nrsc 0\nabsorption 0 0 0\n";
    }
    return s.str();
}

// Triangle soup written as one mesh object per material.
struct Mesh {
    std::ostringstream text;
    int vertices = 0, objects = 0;

    void triangle(const Vector3d& a, const Vector3d& b, const Vector3d& c, int material) {
        text << "o " << objects++ << " t\n";
        for (const Vector3d& p : {a, b, c}) text << "v " << p.x << " " << p.y << " " << p.z << "\n";
        text << "usemtl " << material << " m\ns off\nf " << vertices + 1 << " " << vertices + 2 << " "
             << vertices + 3 << "\n";
        vertices += 3;
    }
    // Quad a b c d (counter-clockwise seen from the front) cut into n x n
    // cells of two triangles each.
    void quad(const Vector3d& a, const Vector3d& b, const Vector3d& c, const Vector3d& d, int material,
              int n = 1) {
        auto at = [&](float s, float t) { return a + (b - a) * s + (d - a) * t + (c - b - d + a) * (s * t); };
        for (int j = 0; j < n; ++j)
            for (int i = 0; i < n; ++i) {
                const float s0 = static_cast<float>(i) / n, s1 = static_cast<float>(i + 1) / n;
                const float t0 = static_cast<float>(j) / n, t1 = static_cast<float>(j + 1) / n;
                triangle(at(s0, t0), at(s1, t0), at(s1, t1), material);
                triangle(at(s0, t0), at(s1, t1), at(s0, t1), material);
            }
    }
    // Faceted sphere with outward-facing triangles.
    void sphere(const Vector3d& centre, float radius, int material) {
        const int nt = 24, np = 48;
        auto p = [&](int i, int j) {
            const double t = kPi * i / nt, ph = 2 * kPi * j / np;
            return centre + Vector3d(static_cast<float>(std::sin(t) * std::cos(ph)),
                                     static_cast<float>(std::cos(t)),
                                     static_cast<float>(std::sin(t) * std::sin(ph))) *
                                radius;
        };
        auto outward = [&](const Vector3d& a, const Vector3d& b, const Vector3d& c) {
            if (dot(cross(b - a, c - a), (a + b + c) / 3.0f - centre) > 0.0f)
                triangle(a, b, c, material);
            else
                triangle(a, c, b, material);
        };
        for (int i = 0; i < nt; ++i)
            for (int j = 0; j < np; ++j) {
                if (i > 0) outward(p(i, j), p(i, j + 1), p(i + 1, j));
                if (i < nt - 1) outward(p(i, j + 1), p(i + 1, j + 1), p(i + 1, j));
            }
    }
};

std::string sceneText(int res, const Vector3d& eye, const Vector3d& lookat, float nearDist, const Color& bg,
                      const std::vector<Mat>& mats, const Mesh& mesh) {
    std::ostringstream s;
    s << "transport test\ncamera\nresolution " << res << " " << res << "\neye " << eye.x << " " << eye.y
      << " " << eye.z << "\nlookat " << lookat.x << " " << lookat.y << " " << lookat.z << "\nup 0 1 0\nnear "
      << nearDist << "\nbgcolor\n"
      << bg.r << " " << bg.g << " " << bg.b << "\n"
      << materialBlock(mats) << "mesh\n"
      << mesh.objects << "\n\n"
      << mesh.text.str();
    return s.str();
}

// Per-frame images of a scene (linear, row 0 at the bottom), rendered with
// the given direct-light techniques.
// With uniformLightChoice every light is picked with the same chance
// instead of by power.
std::vector<std::vector<Color>> renderFrames(const std::string& path, int frames,
                                             DirectLightStrategy strategy = DirectLightStrategy::kMis,
                                             bool uniformLightChoice = false) {
    device::ThreadLimit limit(2);
    Settings settings;
    Application app(settings);
    std::vector<std::vector<Color>> out;
    testing::internal::CaptureStdout();
    if (app.start(path)) {
        FrameResources res = frameResources(app);
        res.scene.directLightStrategy = strategy;
        if (uniformLightChoice && res.scene.lights.triangleCount > 0) {
            std::vector<deviceLightTriangle> lights(static_cast<std::size_t>(res.scene.lights.triangleCount));
            const std::size_t bytes = lights.size() * sizeof(deviceLightTriangle);
            device::copyToHost(lights.data(), res.lights, bytes);
            prepareLightChoice(lights, 1.0);
            device::copyToDevice(res.lights, lights.data(), bytes);
        }
        const std::size_t n = static_cast<std::size_t>(res.width) * res.height;
        Renderer renderer(res);
        device::Buffer<Color> display(n);
        std::vector<Color> prev(n), sum(n);
        for (int f = 0; f < frames && renderer.valid() && display; ++f) {
            renderer.renderFrame(app.scene().camera, display.get());
            device::copyToHost(sum.data(), renderer.accumBuffer(), n * sizeof(Color));
            std::vector<Color> frame(n);
            for (std::size_t i = 0; i < n; ++i) frame[i] = sum[i] - prev[i];
            prev = sum;
            out.push_back(frame);
        }
    }
    app.shutdown();
    testing::internal::GetCapturedStdout();
    return out;
}

struct Estimate {
    double mean[3] = {0, 0, 0};
    double stderr_[3] = {0, 0, 0};
};

// Mean over frames of each frame's mean over the pixels selected by `in`,
// with the standard error from the spread between frames.
template <class Select>
Estimate regionMean(const std::vector<std::vector<Color>>& frames, int res, Select in) {
    Estimate e;
    const double n = static_cast<double>(frames.size());
    for (int ch = 0; ch < 3; ++ch) {
        double s = 0.0, s2 = 0.0;
        for (const std::vector<Color>& f : frames) {
            double m = 0.0;
            int count = 0;
            for (int y = 0; y < res; ++y)
                for (int x = 0; x < res; ++x)
                    if (in(x, y)) {
                        const Color& c = f[static_cast<std::size_t>(y) * res + x];
                        m += ch == 0 ? c.r : (ch == 1 ? c.g : c.b);
                        ++count;
                    }
            m /= count;
            s += m;
            s2 += m * m;
        }
        e.mean[ch] = s / n;
        e.stderr_[ch] = std::sqrt(std::fmax(s2 / n - e.mean[ch] * e.mean[ch], 0.0) / (n - 1));
    }
    return e;
}

Estimate wholeImage(const std::vector<std::vector<Color>>& frames, int res) {
    return regionMean(frames, res, [](int, int) { return true; });
}

// ---- directional albedo by quadrature ----------------------------------------

// Directional albedo (per channel) of a material lit from outside along wo
// about the normal +z: the integral over the sphere of the evaluated BSDF x
// |cos| (midpoint rule; the material must have no perfectly smooth lobe).
Color quadratureAlbedo(const Material& m, const Vector3d& wo) {
    const ShadingPoint p = shadingPoint(m, Vector3d(0, 0, 1), wo);
    const int nt = 900, np = 720;
    const double dt = kPi / nt, dp = 2 * kPi / np;
    double acc[3] = {0, 0, 0};
    for (int i = 0; i < nt; ++i) {
        const double t = (i + 0.5) * dt;
        const double st = std::sin(t), ct = std::cos(t);
        for (int j = 0; j < np; ++j) {
            const double ph = (j + 0.5) * dp;
            const Vector3d w(static_cast<float>(st * std::cos(ph)), static_cast<float>(st * std::sin(ph)),
                             static_cast<float>(ct));
            const Color f = materialValue(p, w);
            const double k = std::fabs(ct) * st * dt * dp;
            acc[0] += f.r * k, acc[1] += f.g * k, acc[2] += f.b * k;
        }
    }
    return Color(static_cast<float>(acc[0]), static_cast<float>(acc[1]), static_cast<float>(acc[2]));
}

double channel(const Color& c, int ch) {
    return ch == 0 ? c.r : (ch == 1 ? c.g : c.b);
}

}  // namespace

// A sphere in a uniform white background with no light (a white furnace):
// a diffuse sphere shows its albedo, a mirror and clear glass lose nothing.
TEST(Furnace, SpheresShowTheirAlbedo) {
    struct Case {
        const char* name;
        Mat mat;
        double expected, tolerance;
        int frames;
    };
    Mat diffuse05, diffuse1, mirror, glass;
    diffuse05.base = Color(0.5f, 0.5f, 0.5f);  // IOR 1: no interface, a pure Lambertian surface
    diffuse1.base = Color(1.0f, 1.0f, 1.0f);
    mirror.base = Color(1.0f, 1.0f, 1.0f), mirror.metalness = 1.0f, mirror.roughness = 0.0f;
    mirror.ior = 1.5f;
    glass.spec = Color(1.0f, 1.0f, 1.0f), glass.transparency = 1.0f, glass.roughness = 0.0f, glass.ior = 1.5f;
    const Case cases[] = {
        {"diffuse 0.5", diffuse05, 0.5, 0.01, 200},
        {"diffuse 1", diffuse1, 1.0, 0.01, 4},
        {"mirror", mirror, 1.0, 0.005, 4},
        {"smooth glass", glass, 1.0, 0.005, 40},
    };
    for (const Case& c : cases) {
        Mesh mesh;
        mesh.sphere(Vector3d(0, 0, 0), 1.0f, 0);
        const int res = 24;
        const std::string path = writeScene(
            "lumenar_furnace_sphere",
            sceneText(res, Vector3d(0, 0, 4), Vector3d(0, 0, 0), 40.0f, Color(1, 1, 1), {c.mat}, mesh));
        const auto frames = renderFrames(path, c.frames);
        ASSERT_EQ(frames.size(), static_cast<std::size_t>(c.frames)) << c.name;
        const Estimate e = wholeImage(frames, res);
        for (int ch = 0; ch < 3; ++ch) {
            EXPECT_NEAR(e.mean[ch], c.expected, c.tolerance * c.expected) << c.name << " channel " << ch;
            EXPECT_LT(e.stderr_[ch], c.tolerance * c.expected / 3.0) << c.name << ": too few samples";
        }
    }
}

namespace {

// Average image after `frames` frames, path traced or by Metropolis.
std::vector<Color> renderAverage(const std::string& path, int frames, bool mlt) {
    device::ThreadLimit limit(2);
    Settings settings;
    Application app(settings);
    std::vector<Color> avg;
    testing::internal::CaptureStdout();
    if (app.start(path)) {
        // Metropolis needs its chains, which are made after start-up.
        if (mlt) app.waitForMetro();
        FrameResources res = frameResources(app);
        const std::size_t n = static_cast<std::size_t>(res.width) * res.height;
        Renderer renderer(res);
        renderer.mltEnabled = mlt;
        device::Buffer<Color> display(n);
        if (renderer.valid() && display && (!mlt || renderer.metroReady())) {
            for (int f = 0; f < frames; ++f) renderer.renderFrame(app.scene().camera, display.get());
            avg.resize(n);
            device::copyToHost(avg.data(), renderer.accumBuffer(), n * sizeof(Color));
            for (Color& c : avg) c = c / static_cast<float>(renderer.frameCount());
        }
    }
    app.shutdown();
    testing::internal::GetCapturedStdout();
    return avg;
}

constexpr int kFurnaceRes = 24;

std::string furnaceSphere(const Mat& m) {
    Mesh mesh;
    mesh.sphere(Vector3d(0, 0, 0), 1.0f, 0);
    return writeScene("lumenar_furnace_sphere", sceneText(kFurnaceRes, Vector3d(0, 0, 4), Vector3d(0, 0, 0),
                                                          40.0f, Color(1, 1, 1), {m}, mesh));
}

// Pixels that see only the sphere (a black sphere shows exactly 0 there in
// every sample), and whose four neighbours do too.
std::vector<bool> sphereMask() {
    Mat black;
    black.base = Color(0, 0, 0);
    const std::vector<Color> img = renderAverage(furnaceSphere(black), 16, false);
    const int r = kFurnaceRes;
    std::vector<bool> mask(img.size(), false);
    if (img.empty()) return mask;
    auto zero = [&](int x, int y) {
        return x >= 0 && y >= 0 && x < r && y < r && img[static_cast<std::size_t>(y) * r + x].isBlack();
    };
    for (int y = 0; y < r; ++y)
        for (int x = 0; x < r; ++x)
            mask[static_cast<std::size_t>(y) * r + x] =
                zero(x, y) && zero(x - 1, y) && zero(x + 1, y) && zero(x, y - 1) && zero(x, y + 1);
    return mask;
}

double maskedMean(const std::vector<Color>& img, const std::vector<bool>& mask, int ch) {
    double s = 0.0;
    int n = 0;
    for (std::size_t i = 0; i < img.size(); ++i)
        if (mask[i]) s += channel(img[i], ch), ++n;
    return n > 0 ? s / n : -1.0;
}

struct FurnaceCase {
    std::string name;
    Mat mat;
    double expected, tolerance;
};

// The cases of a white furnace: coated white, a half-grey base without a
// coat, white metals and clear glass.
std::vector<FurnaceCase> furnaceCases() {
    std::vector<FurnaceCase> cases;
    for (float spec : {1.0f, 0.0f})
        for (float ior : {1.33f, 1.5f, 2.4f})
            for (float rough : {0.0f, 0.3f, 0.6f, 1.0f}) {
                Mat m;
                m.base = Color(1, 1, 1), m.spec = Color(spec, spec, spec), m.ior = ior, m.roughness = rough;
                std::ostringstream name;
                name << "coat specular " << spec << " IOR " << ior << " roughness " << rough;
                cases.push_back({name.str(), m, 1.0, 0.01});
            }
    Mat half;
    half.base = Color(0.5f, 0.5f, 0.5f), half.ior = 1.5f, half.roughness = 0.5f;
    cases.push_back({"basecolor 0.5, specular 0", half, 0.5, 0.01});
    for (float rough : {0.3f, 0.6f, 1.0f}) {
        Mat metal, glass;
        metal.base = Color(1, 1, 1), metal.metalness = 1.0f, metal.ior = 1.5f, metal.roughness = rough;
        glass.base = Color(1, 1, 1), glass.spec = Color(1, 1, 1), glass.transparency = 1.0f, glass.ior = 1.5f;
        glass.roughness = rough;
        cases.push_back({"white metal roughness " + std::to_string(rough), metal, 1.0, 0.02});
        cases.push_back({"clear glass roughness " + std::to_string(rough), glass, 1.0, 0.02});
    }
    return cases;
}

// Renders every `stride`-th case.
void runFurnace(bool mlt, int frames, int stride) {
    const std::vector<bool> mask = sphereMask();
    ASSERT_GT(std::count(mask.begin(), mask.end(), true), 60);
    const std::vector<FurnaceCase> cases = furnaceCases();
    for (std::size_t i = 0; i < cases.size(); i += stride) {
        const FurnaceCase& c = cases[i];
        const std::vector<Color> img = renderAverage(furnaceSphere(c.mat), frames, mlt);
        ASSERT_EQ(img.size(), mask.size()) << c.name;
        for (int ch = 0; ch < 3; ++ch) {
            const double v = maskedMean(img, mask, ch);
            if (ch == 0)
                std::printf("%s furnace, %s: %.4f\n", mlt ? "Metropolis" : "path-traced", c.name.c_str(), v);
            EXPECT_NEAR(v, c.expected, c.tolerance * c.expected) << c.name << ", channel " << ch;
        }
    }
}

}  // namespace

// A sphere that absorbs nothing in a uniform white background with no light
// renders exactly as the background, whatever its coat, roughness and index;
// a base of 0.5 without a coat shows 0.5.
TEST(Furnace, MaterialsThatAbsorbNothingVanish) {
    runFurnace(false, 48, 1);
}

// The same through Metropolis (whose chains wander, so it needs more frames
// for the same precision: a sample of the cases).
TEST(Furnace, MaterialsThatAbsorbNothingVanishUnderMetropolis) {
    runFurnace(true, 160, 3);
}

// A single flat surface in the furnace, seen at 50 degrees from its normal:
// light leaving it on either side reaches the background, so each pixel shows
// the material's directional albedo, worked out here by quadrature of
// getbsdf x cosine (no sampling). Catches a sampler, an evaluator and a
// sample weight that disagree.
TEST(Furnace, RoughSurfacesShowTheirDirectionalAlbedo) {
    Mat metal, roughGlass, plastic, roughPlastic;
    metal.base = Color(0.95f, 0.8f, 0.6f), metal.metalness = 1.0f, metal.roughness = 0.5f, metal.ior = 1.5f;
    roughGlass.spec = Color(1.0f, 1.0f, 1.0f), roughGlass.transparency = 1.0f, roughGlass.roughness = 0.45f;
    roughGlass.ior = 1.5f;
    plastic.base = Color(1.0f, 1.0f, 1.0f), plastic.spec = Color(0.04f, 0.04f, 0.04f),
    plastic.roughness = 0.4f;
    plastic.ior = 1.5f;
    // Wide enough that many drawn half vectors face away from the viewer.
    roughPlastic = plastic, roughPlastic.base = Color(0.725f, 0.71f, 0.68f), roughPlastic.roughness = 0.9f;
    const struct {
        const char* name;
        Mat mat;
    } cases[] = {{"rough metal", metal},
                 {"rough glass", roughGlass},
                 {"plastic", plastic},
                 {"rough plastic", roughPlastic}};

    const double tilt = 50.0 * kPi / 180.0;
    const Vector3d n(0.0f, static_cast<float>(std::sin(tilt)), static_cast<float>(std::cos(tilt)));
    const Vector3d a = normalize(Vector3d(1, 0, 0)), b = cross(n, a);  // tangents of the plane
    const Vector3d wo(static_cast<float>(std::sin(tilt)), 0.0f, static_cast<float>(std::cos(tilt)));
    for (const auto& c : cases) {
        Mesh mesh;
        const float h = 3.0f;
        mesh.quad((-a - b) * h, (a - b) * h, (a + b) * h, (b - a) * h, 0);
        const int res = 24;
        const std::string path = writeScene(
            "lumenar_furnace_plane",
            sceneText(res, Vector3d(0, 0, 4), Vector3d(0, 0, 0), 40.0f, Color(1, 1, 1), {c.mat}, mesh));
        const auto frames = renderFrames(path, 100);
        ASSERT_EQ(frames.size(), 100u) << c.name;
        const Estimate e = wholeImage(frames, res);
        const Color expected = quadratureAlbedo(toMaterial(c.mat), wo);
        for (int ch = 0; ch < 3; ++ch) {
            const double x = channel(expected, ch);
            EXPECT_GT(x, 0.2) << c.name;
            EXPECT_LT(x, 1.01) << c.name;
            EXPECT_NEAR(e.mean[ch], x, 0.01 * x) << c.name << " channel " << ch;
            EXPECT_LT(e.stderr_[ch], 0.0035 * x) << c.name << ": too few samples";
        }
    }
}

namespace {

// Textbook GGX of width a2 = alpha^2 with its separable Smith masking: the
// directional albedo of a white metal at cosine mu, by quadrature.
double textbookMetalAlbedo(double mu, double a2, int nt = 400, int np = 200) {
    auto g1 = [&](double x) { return 2.0 * x / (x + std::sqrt(a2 + (1.0 - a2) * x * x)); };
    const double ox = std::sqrt(1.0 - mu * mu), oz = mu;
    double s = 0.0;
    for (int i = 0; i < nt; ++i) {
        const double t = (i + 0.5) * (kPi / 2) / nt;
        const double ix0 = std::sin(t), iz = std::cos(t);
        for (int j = 0; j < np; ++j) {
            const double ph = (j + 0.5) * kPi / np;  // mirror-symmetric in phi
            const double ix = ix0 * std::cos(ph), iy = ix0 * std::sin(ph);
            double hx = ix + ox, hy = iy, hz = iz + oz;
            const double len = std::sqrt(hx * hx + hy * hy + hz * hz);
            hx /= len, hy /= len, hz /= len;
            const double den = hz * hz * (a2 - 1.0) + 1.0;
            const double D = a2 / (kPi * den * den);
            s += D * g1(iz) * g1(oz) / (4.0 * oz) * std::sin(t) * (kPi / 2 / nt) * (2.0 * kPi / np);
        }
    }
    return s;
}

}  // namespace

// A coloured rough metal in the furnace: what its single-scattering lobe
// reflects (colour c times the albedo E) plus what bounces between its
// microfacets, c^k for k > 1 bounces with the average albedo E_avg as the
// chance of leaving after each: c^2 E_avg (1 - E) / (1 - c (1 - E_avg)).
// E and E_avg come from quadrature of the textbook lobe.
TEST(Furnace, ColouredMetalShowsItsExpectedAlbedo) {
    const float rough = 0.7f;
    const double a2 = std::pow(static_cast<double>(rough), 4.0);
    Mat metal;
    metal.base = Color(0.95f, 0.64f, 0.3f), metal.metalness = 1.0f, metal.roughness = rough, metal.ior = 1.5f;
    const double tilt = 50.0 * kPi / 180.0;
    const double E = textbookMetalAlbedo(std::cos(tilt), a2);
    double Eavg = 0.0;
    const int nm = 48;
    for (int i = 0; i < nm; ++i) {
        const double mu = (i + 0.5) / nm;
        Eavg += textbookMetalAlbedo(mu, a2, 160, 80) * 2.0 * mu / nm;
    }
    EXPECT_LT(E, 0.97) << "the single-scattering lobe loses light at this roughness";

    const Vector3d n(0.0f, static_cast<float>(std::sin(tilt)), static_cast<float>(std::cos(tilt)));
    const Vector3d a = normalize(Vector3d(1, 0, 0)), b = cross(n, a);
    Mesh mesh;
    const float h = 3.0f;
    mesh.quad((-a - b) * h, (a - b) * h, (a + b) * h, (b - a) * h, 0);
    const int res = 24;
    const std::string path = writeScene(
        "lumenar_furnace_metal",
        sceneText(res, Vector3d(0, 0, 4), Vector3d(0, 0, 0), 40.0f, Color(1, 1, 1), {metal}, mesh));
    const auto frames = renderFrames(path, 100);
    ASSERT_EQ(frames.size(), 100u);
    const Estimate e = wholeImage(frames, res);
    for (int ch = 0; ch < 3; ++ch) {
        const double c = channel(metal.base, ch);
        const double expected = c * E + c * c * Eavg * (1.0 - E) / (1.0 - c * (1.0 - Eavg));
        std::printf("coloured metal channel %d: %.4f, expected %.4f\n", ch, e.mean[ch], expected);
        EXPECT_NEAR(e.mean[ch], expected, 0.015 * expected) << "channel " << ch;
        EXPECT_LT(e.stderr_[ch], 0.005 * expected) << "too few samples";
    }
}

// A subsurface-marked floor (negative transparency) outside subsurface mode
// is an opaque material: it receives the lamp's light, and BSDF sampling
// alone, light sampling alone and their combination agree.
TEST(DirectLightEstimators, SubsurfaceMarkedSurfaceIsLitOutsideSubsurfaceMode) {
    Mat floor, lamp;
    floor.name = "wax", floor.base = Color(0.8f, 0.6f, 0.5f), floor.spec = Color(0.5f, 0.5f, 0.5f);
    floor.roughness = 0.5f, floor.ior = 1.4f, floor.transparency = -1.0f;
    lamp.name = "lamp", lamp.base = Color(0, 0, 0), lamp.emission = Color(6.0f, 6.0f, 6.0f);
    Mesh mesh;
    mesh.quad(Vector3d(-2, 0, 2), Vector3d(2, 0, 2), Vector3d(2, 0, -2), Vector3d(-2, 0, -2), 0);
    mesh.quad(Vector3d(-0.6f, 1.5f, 0.6f), Vector3d(-0.6f, 1.5f, -0.6f), Vector3d(0.6f, 1.5f, -0.6f),
              Vector3d(0.6f, 1.5f, 0.6f), 1, 2);
    const int res = 12;
    const std::string path =
        writeScene("lumenar_marked_floor", sceneText(res, Vector3d(0, 1.0f, 2.5f), Vector3d(0, 0, 0), 1.0f,
                                                     Color(0, 0, 0), {floor, lamp}, mesh));
    const int frames = 600;
    const auto mis = renderFrames(path, frames, DirectLightStrategy::kMis);
    const auto bsdf = renderFrames(path, frames, DirectLightStrategy::kBsdfOnly);
    const auto light = renderFrames(path, frames, DirectLightStrategy::kLightOnly);
    ASSERT_EQ(mis.size(), static_cast<std::size_t>(frames));
    ASSERT_EQ(bsdf.size(), mis.size());
    ASSERT_EQ(light.size(), mis.size());
    // The lower half of the image shows the floor only.
    auto in = [&](int, int y) { return y < res / 2; };
    const Estimate e[3] = {regionMean(mis, res, in), regionMean(bsdf, res, in), regionMean(light, res, in)};
    const char* names[3] = {"MIS", "BSDF only", "light only"};
    for (int ch = 0; ch < 3; ++ch) {
        EXPECT_GT(e[2].mean[ch], 0.1) << "the floor is lit through light sampling";
        for (int i = 0; i < 3; ++i)
            for (int j = i + 1; j < 3; ++j) {
                const double se = std::hypot(e[i].stderr_[ch], e[j].stderr_[ch]);
                EXPECT_LT(se, 0.03 * e[0].mean[ch]) << "too few samples";
                EXPECT_NEAR(e[i].mean[ch], e[j].mean[ch], 3.5 * se)
                    << names[i] << " vs " << names[j] << ", channel " << ch;
            }
    }
}

// ---- samplers against their densities -----------------------------------------

namespace {

constexpr int kThetaBins = 24;
constexpr int kPhiBins = 12;

int sphereBin(const Vector3d& w) {
    const double t = std::acos(std::fmax(-1.0, std::fmin(1.0, static_cast<double>(w.z))));
    double ph = std::atan2(static_cast<double>(w.y), static_cast<double>(w.x));
    if (ph < 0) ph += 2 * kPi;
    int ti = static_cast<int>(t / kPi * kThetaBins), pi = static_cast<int>(ph / (2 * kPi) * kPhiBins);
    ti = ti >= kThetaBins ? kThetaBins - 1 : ti;
    pi = pi >= kPhiBins ? kPhiBins - 1 : pi;
    return ti * kPhiBins + pi;
}

}  // namespace

// Directions each lobe's sampler draws follow that lobe's density, times
// the probability with which the lobe is picked. Bins cover the whole
// sphere; one more bin holds the samples of the other lobes and those that
// carry no weight.
TEST(BsdfStatistics, EachLobeSamplerFollowsItsDensity) {
    const Vector3d up(0, 0, 1);
    const float s40 = static_cast<float>(std::sin(40.0 * kPi / 180.0));
    const Vector3d wo(s40, 0.0f, static_cast<float>(std::cos(40.0 * kPi / 180.0)));
    Mat metal, glass, plastic, matte;
    metal.metalness = 1.0f, metal.roughness = 0.6f, metal.ior = 1.5f, metal.base = Color(0.9f, 0.7f, 0.5f);
    glass.transparency = 1.0f, glass.roughness = 0.55f, glass.ior = 1.5f, glass.spec = Color(1, 1, 1);
    plastic.roughness = 0.5f, plastic.ior = 1.5f, plastic.spec = Color(0.6f, 0.6f, 0.6f);
    matte.roughness = 0.7f;  // IOR 1: diffuse only
    const struct {
        const char* name;
        Mat mat;
        int lobe;
    } cases[] = {{"metal reflection", metal, kLobeMetal},
                 {"metal multiple scattering", metal, kLobeMetalMultiple},
                 {"glass interface", glass, kLobeRefraction},
                 {"glass multiple scattering", glass, kLobeInterfaceMultiple},
                 {"plastic coat", plastic, kLobeReflection},
                 {"plastic base", plastic, kLobeDiffuse},
                 {"diffuse", matte, kLobeDiffuse}};
    const int n = 300000;
    for (const auto& c : cases) {
        const Material m = toMaterial(c.mat);
        auto vertex = [&] {
            VertexObj v;
            v.normal = v.surfaceNormal = up;
            v.incoming = -wo;
            v.materialIndex = 0;
            return v;
        };
        std::vector<double> counts(kThetaBins * kPhiBins + 1, 0.0);
        XorwowState rng;
        xorwowInit(99, &rng);
        for (int i = 0; i < n; ++i) {
            VertexObj v = vertex();
            const ScatterResult s = v.getSampleAndAlpha(&rng, &m);
            const bool counted = v.lobe == c.lobe && !s.alpha.isBlack();
            counts[counted ? sphereBin(s.ray.direction) : kThetaBins * kPhiBins] += 1.0;
        }
        // Expected: the density integrated over each bin (midpoint rule).
        VertexObj v = vertex();
        const double sel = shadingPoint(m, up, wo).prob[c.lobe];
        ASSERT_GT(sel, 0.02) << c.name;
        v.material = m;
        v.orientedNormal = up;
        std::vector<double> p(kThetaBins * kPhiBins + 1, 0.0);
        const int sub = 24;
        const double dt = kPi / kThetaBins / sub, dp = 2 * kPi / kPhiBins / sub;
        double total = 0.0;
        for (int ti = 0; ti < kThetaBins * sub; ++ti) {
            const double t = (ti + 0.5) * dt;
            for (int pj = 0; pj < kPhiBins * sub; ++pj) {
                const double ph = (pj + 0.5) * dp;
                const Vector3d w(static_cast<float>(std::sin(t) * std::cos(ph)),
                                 static_cast<float>(std::sin(t) * std::sin(ph)),
                                 static_cast<float>(std::cos(t)));
                if (v.getbsdf(c.lobe, m, up, wo, w).isBlack()) continue;
                const double q = sel * v.getpdf(c.lobe, m, up, wo, w) * std::sin(t) * dt * dp;
                p[ti / sub * kPhiBins + pj / sub] += q;
                total += q;
            }
        }
        ASSERT_GT(total, 0.02) << c.name;
        ASSERT_LT(total, 1.0 + 1e-3) << c.name;
        p.back() = std::fmax(0.0, 1.0 - total);
        test::expectChiSquareFit(counts, p, n, c.name);
    }
}

// ---- the three direct-light estimators agree -------------------------------------

// A glossy floor, a mirror, a small bright and a large dim emitter (several
// triangles each), black background. Rendering with BSDF sampling only, light
// sampling only and multiple importance sampling converges to the same image:
// each region's means agree within 3 standard errors of their difference.
TEST(DirectLightEstimators, BsdfLightAndMisConvergeToTheSameImage) {
    Mat floor, mirror, small, large;
    floor.name = "floor", floor.base = Color(0.6f, 0.5f, 0.4f), floor.spec = Color(0.8f, 0.8f, 0.8f);
    floor.roughness = 0.35f, floor.ior = 1.5f;
    mirror.name = "mirror", mirror.base = Color(0.9f, 0.9f, 0.9f), mirror.metalness = 1.0f;
    mirror.roughness = 0.0f, mirror.ior = 1.5f;
    small.name = "small", small.base = Color(0, 0, 0), small.emission = Color(30.0f, 24.0f, 18.0f);
    large.name = "large", large.base = Color(0, 0, 0), large.emission = Color(1.0f, 1.5f, 2.0f);
    Mesh mesh;
    mesh.quad(Vector3d(-2, 0, 2), Vector3d(2, 0, 2), Vector3d(2, 0, -2), Vector3d(-2, 0, -2), 0);
    // Mirror on the right facing -x, small lamp under the ceiling facing
    // down, large panel at the back facing +z (seen directly and in the
    // mirror).
    mesh.quad(Vector3d(1.9f, 0, 1.2f), Vector3d(1.9f, 0, -1.9f), Vector3d(1.9f, 2.4f, -1.9f),
              Vector3d(1.9f, 2.4f, 1.2f), 1);
    mesh.quad(Vector3d(-0.3f, 1.8f, 0.2f), Vector3d(-0.3f, 1.8f, -0.4f), Vector3d(0.3f, 1.8f, -0.4f),
              Vector3d(0.3f, 1.8f, 0.2f), 2, 2);
    mesh.quad(Vector3d(-1.9f, 0.3f, -1.9f), Vector3d(0.6f, 0.3f, -1.9f), Vector3d(0.6f, 1.9f, -1.9f),
              Vector3d(-1.9f, 1.9f, -1.9f), 3, 3);
    const int res = 16;
    const std::string path = writeScene(
        "lumenar_estimators", sceneText(res, Vector3d(0.4f, 1.4f, 3.2f), Vector3d(0, 0.7f, -1.0f), 1.2f,
                                        Color(0, 0, 0), {floor, mirror, small, large}, mesh));
    const int frames = 400;
    const auto mis = renderFrames(path, frames, DirectLightStrategy::kMis);
    const auto bsdf = renderFrames(path, frames, DirectLightStrategy::kBsdfOnly);
    const auto light = renderFrames(path, frames, DirectLightStrategy::kLightOnly);
    ASSERT_EQ(mis.size(), static_cast<std::size_t>(frames));
    ASSERT_EQ(bsdf.size(), mis.size());
    ASSERT_EQ(light.size(), mis.size());

    // Four quadrants of the image: the lower half shows the floor, the upper
    // half the mirror and what it reflects.
    for (int q = 0; q < 4; ++q) {
        auto in = [&](int x, int y) { return (x >= res / 2) == (q % 2 == 1) && (y >= res / 2) == (q >= 2); };
        const Estimate e[3] = {regionMean(mis, res, in), regionMean(bsdf, res, in),
                               regionMean(light, res, in)};
        const char* names[3] = {"MIS", "BSDF only", "light only"};
        for (int ch = 0; ch < 3; ++ch) {
            EXPECT_GT(e[0].mean[ch], 0.02) << "quadrant " << q << " is lit";
            EXPECT_LT(e[0].stderr_[ch], 0.05 * e[0].mean[ch]) << "quadrant " << q << ": too few samples";
            for (int i = 0; i < 3; ++i)
                for (int j = i + 1; j < 3; ++j) {
                    const double se = std::hypot(e[i].stderr_[ch], e[j].stderr_[ch]);
                    EXPECT_NEAR(e[i].mean[ch], e[j].mean[ch], 3.0 * se)
                        << names[i] << " vs " << names[j] << ", quadrant " << q << ", channel " << ch;
                }
        }
    }
}

// The BSDF-sampled side of the direct-light estimate asks the tree for the
// nearest surface along the sampled direction: a light hidden behind another
// surface is not seen, whatever order the walk meets the triangles in.
TEST(DirectLightEstimators, SampledDirectionSeesOnlyTheNearestSurface) {
    Mat matte, lamp;
    lamp.name = "lamp", lamp.base = Color(0, 0, 0), lamp.emission = Color(2.0f, 3.0f, 4.0f);
    Mesh mesh;
    // Lamps facing +z at z = -2 and occluders at z = -1 in front of every
    // other one, in a row along x.
    for (int i = 0; i < 8; ++i) {
        const float x = 3.0f * i;
        mesh.quad(Vector3d(x - 1, -1, -2), Vector3d(x + 1, -1, -2), Vector3d(x + 1, 1, -2),
                  Vector3d(x - 1, 1, -2), 1, 2);
        if (i % 2 == 0)
            mesh.quad(Vector3d(x - 1, -1, -1), Vector3d(x + 1, -1, -1), Vector3d(x + 1, 1, -1),
                      Vector3d(x - 1, 1, -1), 0, 2);
    }
    const std::string path = writeScene(
        "lumenar_nearest_emitter",
        sceneText(8, Vector3d(0, 0, 4), Vector3d(0, 0, 0), 1.0f, Color(0, 0, 0), {matte, lamp}, mesh));
    device::ThreadLimit limit(1);
    Settings settings;
    Application app(settings);
    testing::internal::CaptureStdout();
    const bool started = app.start(path);
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(started);
    const FrameResources res = frameResources(app);
    Raytrace rt;
    const DynamicSceneQueries q{&rt, &res.scene};
    for (int i = 0; i < 8; ++i) {
        for (float dx : {-0.7f, 0.1f, 0.6f}) {
            const Ray r(Vector3d(3.0f * i + dx, 0.3f, 0.0f), Vector3d(0, 0, -1));
            const EmitterHit e = q.nearestEmitter(r);
            if (i % 2 == 0) {
                EXPECT_FALSE(e.found) << "lamp " << i << " is behind its occluder";
            } else {
                ASSERT_TRUE(e.found) << "lamp " << i;
                EXPECT_NEAR(e.t, 2.0f, 1e-4f);
                EXPECT_EQ(e.emission.g, 3.0f);
                EXPECT_NEAR(e.normal.z, 1.0f, 1e-6f);
                EXPECT_NEAR(e.invArea, 1.0f / 0.5f, 1e-5f);  // cells of 1 x 1 cut in two
            }
        }
    }
    app.shutdown();
}

// ---- image-based lighting ----------------------------------------------------

namespace {

// The scene text with an envmap block naming `image` before its materials.
std::string withEnvironment(const std::string& text, const std::string& image) {
    std::string s = text;
    const std::size_t at = s.find("material\n");
    s.insert(at, "envmap\n1\n" + image + "\n");
    return s;
}

// Writes a w x h latitude-longitude image whose texel (i, j) has radiance f(u, v).
template <class F>
std::string writeSky(const std::string& name, int w, int h, F f) {
    const FloatImage img = test::skyImage(w, h, f);
    const std::string path = tempPath(name) + ".exr";
    EXPECT_TRUE(writeLinearImage(path, img));
    return path;
}

}  // namespace

// A constant environment of radiance 1 is a white furnace lit only through
// the environment's own sampling: a white diffuse sphere shows 1 and a 0.5
// one 0.5, with MIS, BSDF-only and light-only estimates alike, and under
// Metropolis; a coated white sphere vanishes too.
TEST(EnvironmentLighting, ConstantSkyIsAWhiteFurnace) {
    const std::string sky =
        writeSky("lumenar_sky_constant.exr", 16, 8, [](float, float) { return Color(1, 1, 1); });
    Mat white, half, coated;
    white.base = Color(1, 1, 1);
    half.base = Color(0.5f, 0.5f, 0.5f);
    coated.base = Color(1, 1, 1), coated.spec = Color(1, 1, 1), coated.ior = 1.5f, coated.roughness = 0.3f;
    struct Case {
        const char* name;
        Mat mat;
        double expected;
    } cases[] = {{"white", white, 1.0}, {"half", half, 0.5}, {"coated white", coated, 1.0}};
    const std::vector<bool> mask = sphereMask();
    const int res = kFurnaceRes;
    for (const Case& c : cases) {
        Mesh mesh;
        mesh.sphere(Vector3d(0, 0, 0), 1.0f, 0);
        // The background colour is black: only the environment may light.
        const std::string path = writeScene(
            "lumenar_env_furnace", withEnvironment(sceneText(res, Vector3d(0, 0, 4), Vector3d(0, 0, 0), 40.0f,
                                                             Color(0, 0, 0), {c.mat}, mesh),
                                                   sky));
        for (int st = 0; st < 3; ++st) {
            const auto frames = renderFrames(path, 24, static_cast<DirectLightStrategy>(st));
            ASSERT_EQ(frames.size(), 24u) << c.name;
            const Estimate e =
                regionMean(frames, res, [&](int x, int y) { return mask[std::size_t(y) * res + x]; });
            for (int ch = 0; ch < 3; ++ch)
                EXPECT_NEAR(e.mean[ch], c.expected, 0.01 * c.expected + 3 * e.stderr_[ch])
                    << c.name << ", strategy " << st << ", channel " << ch;
        }
        const std::vector<Color> mlt = renderAverage(path, 48, true);
        ASSERT_EQ(mlt.size(), mask.size());
        EXPECT_NEAR(maskedMean(mlt, mask, 1), c.expected, 0.02 * c.expected) << c.name << " under Metropolis";
    }
}

// A sun and a sky over a floor and a glossy sphere: BSDF-only, light-only and
// MIS estimates converge to the same image, and importance sampling the sky
// makes MIS much less noisy than BSDF sampling alone on the directly lit
// floor (a quarter of the standard error in red, where the sun dominates,
// two thirds in blue, where the broad sky does).
TEST(EnvironmentLighting, EstimatorsAgreeUnderSunAndSky) {
    const std::string sky = writeSky("lumenar_sky_sun.exr", 128, 64, [](float u, float v) {
        // Sun about 35 degrees above the horizon, 16 degrees across: small
        // enough that sampling the sky pays, large enough that BSDF sampling
        // alone converges within the test's frames.
        const float du = (u - 0.62f) * 2.0f, dv = v - 0.3f;
        if (du * du + dv * dv < 0.002f) return Color(30.0f, 28.0f, 25.0f);
        if (v > 0.5f) return Color(0.1f, 0.08f, 0.06f);
        return Color(0.3f + 0.5f * v, 0.45f + 0.4f * v, 0.9f);
    });
    Mat floor, glossy;
    floor.name = "floor", floor.base = Color(0.6f, 0.5f, 0.4f);
    glossy.name = "glossy", glossy.base = Color(0.3f, 0.5f, 0.7f), glossy.spec = Color(1, 1, 1);
    glossy.ior = 1.5f, glossy.roughness = 0.4f;
    Mesh mesh;
    mesh.quad(Vector3d(-3, 0, 3), Vector3d(3, 0, 3), Vector3d(3, 0, -3), Vector3d(-3, 0, -3), 0);
    mesh.sphere(Vector3d(0, 0.8f, 0), 0.8f, 1);
    const int res = 16;
    const std::string path =
        writeScene("lumenar_env_estimators",
                   withEnvironment(sceneText(res, Vector3d(0, 1.6f, 4.0f), Vector3d(0, 0.5f, 0), 1.6f,
                                             Color(0, 0, 0), {floor, glossy}, mesh),
                                   sky));
    const int frames = 300;
    const auto mis = renderFrames(path, frames, DirectLightStrategy::kMis);
    const auto bsdf = renderFrames(path, frames, DirectLightStrategy::kBsdfOnly);
    const auto light = renderFrames(path, frames, DirectLightStrategy::kLightOnly);
    ASSERT_EQ(mis.size(), static_cast<std::size_t>(frames));
    ASSERT_EQ(bsdf.size(), mis.size());
    ASSERT_EQ(light.size(), mis.size());
    double worstRatio = 0.0;
    for (int q = 0; q < 4; ++q) {
        auto in = [&](int x, int y) { return (x >= res / 2) == (q % 2 == 1) && (y >= res / 2) == (q >= 2); };
        const Estimate e[3] = {regionMean(mis, res, in), regionMean(bsdf, res, in),
                               regionMean(light, res, in)};
        const char* names[3] = {"MIS", "BSDF only", "light only"};
        for (int ch = 0; ch < 3; ++ch) {
            for (int i = 0; i < 3; ++i)
                for (int j = i + 1; j < 3; ++j)
                    EXPECT_NEAR(e[i].mean[ch], e[j].mean[ch],
                                3.5 * std::hypot(e[i].stderr_[ch], e[j].stderr_[ch]))
                        << names[i] << " vs " << names[j] << ", quadrant " << q << ", channel " << ch;
            // The lower quadrants show the floor, lit directly by sun and sky;
            // the upper ones are mostly sky and sphere edges, whose noise is
            // the camera's own.
            if (q < 2) worstRatio = std::max(worstRatio, e[0].stderr_[ch] / e[1].stderr_[ch]);
        }
    }
    std::printf("environment: MIS standard error / BSDF-only standard error on the floor: %.3f\n",
                worstRatio);
    EXPECT_LT(worstRatio, 0.8);
}

// "envmap 0" is the same scene as no envmap block at all (bit for bit), and
// an environment image that cannot be read stops the start-up with a message
// naming it.
TEST(EnvironmentLighting, FlagZeroChangesNothingAndAMissingImageIsAnError) {
    Mat m;
    m.base = Color(0.7f, 0.6f, 0.5f), m.spec = Color(1, 1, 1), m.ior = 1.5f, m.roughness = 0.5f;
    Mat lamp;
    lamp.base = Color(0, 0, 0), lamp.emission = Color(5, 5, 5);
    Mesh mesh;
    mesh.sphere(Vector3d(0, 0, 0), 1.0f, 0);
    mesh.quad(Vector3d(-1, 2, 1), Vector3d(-1, 2, -1), Vector3d(1, 2, -1), Vector3d(1, 2, 1), 1);
    const std::string text =
        sceneText(12, Vector3d(0, 0, 4), Vector3d(0, 0, 0), 40.0f, Color(0.2f, 0.3f, 0.4f), {m, lamp}, mesh);
    std::string flagZero = text;
    flagZero.insert(flagZero.find("material\n"), "envmap\n0\n");
    const auto a = renderFrames(writeScene("lumenar_env_none", text), 3);
    const auto b = renderFrames(writeScene("lumenar_env_zero", flagZero), 3);
    ASSERT_EQ(a.size(), 3u);
    ASSERT_EQ(b.size(), 3u);
    for (int f = 0; f < 3; ++f)
        EXPECT_EQ(0, std::memcmp(a[f].data(), b[f].data(), a[f].size() * sizeof(Color))) << "frame " << f;

    const std::string missing = writeScene("lumenar_env_missing", withEnvironment(text, "no_such_sky.exr"));
    Settings settings;
    Application app(settings);
    testing::internal::CaptureStdout();
    const bool started = app.start(missing);
    app.shutdown();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(started);
    EXPECT_NE(out.find("no_such_sky.exr"), std::string::npos) << out;
}

// Two equal lamps over a floor, one a hundred times brighter than the
// other. Picking the lamp by power renders the same floor as picking
// uniformly (the image does not change) and, at the same number of
// samples, with far less noise in its pixels.
TEST(LightChoice, PowerChoiceRendersTheUniformChoiceImageWithLessNoise) {
    Mat floor, dim, bright;
    floor.name = "floor", floor.base = Color(0.7f, 0.7f, 0.7f);
    dim.name = "dim", dim.base = Color(0, 0, 0), dim.emission = Color(0.3f, 0.3f, 0.3f);
    bright.name = "bright", bright.base = Color(0, 0, 0), bright.emission = Color(30.0f, 30.0f, 30.0f);
    Mesh mesh;
    mesh.quad(Vector3d(-2, 0, 2), Vector3d(2, 0, 2), Vector3d(2, 0, -2), Vector3d(-2, 0, -2), 0);
    mesh.quad(Vector3d(-1.4f, 1.5f, 0.5f), Vector3d(-1.4f, 1.5f, -0.5f), Vector3d(-0.4f, 1.5f, -0.5f),
              Vector3d(-0.4f, 1.5f, 0.5f), 1);
    mesh.quad(Vector3d(0.4f, 1.5f, 0.5f), Vector3d(0.4f, 1.5f, -0.5f), Vector3d(1.4f, 1.5f, -0.5f),
              Vector3d(1.4f, 1.5f, 0.5f), 2);
    const int res = 12, frames = 300;
    const std::string path =
        writeScene("lumenar_two_lamps", sceneText(res, Vector3d(0, 1.0f, 2.5f), Vector3d(0, 0, 0), 1.0f,
                                                  Color(0, 0, 0), {floor, dim, bright}, mesh));
    const auto power = renderFrames(path, frames, DirectLightStrategy::kMis);
    const auto uniform = renderFrames(path, frames, DirectLightStrategy::kMis, true);
    ASSERT_EQ(power.size(), static_cast<std::size_t>(frames));
    ASSERT_EQ(uniform.size(), power.size());
    auto in = [&](int, int y) { return y < res / 2; };
    const Estimate p = regionMean(power, res, in), u = regionMean(uniform, res, in);
    for (int ch = 0; ch < 3; ++ch) {
        const double se = std::hypot(p.stderr_[ch], u.stderr_[ch]);
        EXPECT_GT(p.mean[ch], 0.5);
        EXPECT_LT(se, 0.03 * p.mean[ch]) << "too few samples";
        EXPECT_NEAR(p.mean[ch], u.mean[ch], 3.5 * se) << "channel " << ch;
    }
    // Spread of each floor pixel between frames, summed over the pixels.
    auto spread = [&](const std::vector<std::vector<Color>>& f) {
        double total = 0.0;
        for (int y = 0; y < res / 2; ++y)
            for (int x = 0; x < res; ++x) {
                double s = 0.0, s2 = 0.0;
                for (const std::vector<Color>& img : f) {
                    const double v = img[static_cast<std::size_t>(y) * res + x].g;
                    s += v, s2 += v * v;
                }
                total += s2 / frames - (s / frames) * (s / frames);
            }
        return total;
    };
    const double vp = spread(power), vu = spread(uniform);
    EXPECT_LT(vp, 0.5 * vu) << "power " << vp << ", uniform " << vu;
}

// ---- point, spot and sun lights, from the scene file to the image ----------------

namespace {

// The scene text with a lights block before its materials.
std::string withLights(const std::string& text, const std::string& block) {
    std::string s = text;
    s.insert(s.find("material\n"), "lights\n" + block);
    return s;
}

constexpr int kRoomRes = 24;
constexpr float kRoomNear = 2.0f;

// Inside a closed sphere of radius 1 with a Lambertian wall of albedo 0.5,
// the light at its centre; the camera looks down -z from (0, 0, 0.3).
std::string litRoom(const std::string& name, const std::string& lights) {
    Mat wall;
    wall.base = Color(0.5f, 0.5f, 0.5f);
    Mesh mesh;
    mesh.sphere(Vector3d(0, 0, 0), 1.0f, 0);
    return writeScene(name, withLights(sceneText(kRoomRes, Vector3d(0, 0, 0.3f), Vector3d(0, 0, -1),
                                                 kRoomNear, Color(0, 0, 0), {wall}, mesh),
                                       lights));
}

// Angle in degrees between the view axis and the ray through pixel (x, y)'s
// centre.
double pixelAngle(int x, int y) {
    const double u = (x + 0.5) / kRoomRes * 2.0 - 1.0, v = (y + 0.5) / kRoomRes * 2.0 - 1.0;
    return std::atan(std::sqrt(u * u + v * v) / kRoomNear) * 180.0 / kPi;
}

}  // namespace

// A light inside a closed sphere of albedo rho and radius R: every point of
// the wall gets its direct light and, the sphere's form factors being
// uniform, an indirect irradiance of rho / (1 - rho) times the mean direct
// irradiance Phi / (4 pi R^2). A point light (or a sphere light of the same
// intensity) gives I / R^2 everywhere, so the wall shows
// rho I / (pi R^2 (1 - rho)), path traced and under Metropolis; a spot light
// gives I / R^2 inside its inner cone and nothing outside its outer one, on
// top of the same indirect light from its power 2 pi I ((1 - cos inner) +
// (cos inner - cos outer) / 3).
TEST(Lights, PointSphereAndSpotLightsInAClosedRoom) {
    const double rho = 0.5, I = 2.0;
    const double uniform = rho * I / (kPi * (1.0 - rho));
    auto all = [](int, int) { return true; };
    for (const char* block : {"1\npoint bulb\nposition 0 0 0\ncolor 1 1 1\nintensity 2\nradius 0\n",
                              "1\npoint ball\nposition 0 0 0\ncolor 1 1 1\nintensity 2\nradius 0.2\n"}) {
        const std::string path = litRoom("lumenar_lit_room", block);
        const auto frames = renderFrames(path, 32);
        ASSERT_EQ(frames.size(), 32u);
        const Estimate e = regionMean(frames, kRoomRes, all);
        for (int ch = 0; ch < 3; ++ch)
            EXPECT_NEAR(e.mean[ch], uniform, 4.0 * e.stderr_[ch] + 0.02 * uniform)
                << block << ", channel " << ch;
        const std::vector<Color> mlt = renderAverage(path, 96, true);
        ASSERT_EQ(mlt.size(), static_cast<std::size_t>(kRoomRes * kRoomRes));
        double m = 0.0;
        for (const Color& c : mlt) m += c.g;
        EXPECT_NEAR(m / mlt.size(), uniform, 0.04 * uniform) << block << ", Metropolis";
    }

    const double inner = 20.0 * kPi / 180.0, outer = 30.0 * kPi / 180.0;
    const double power =
        2.0 * kPi * I * ((1.0 - std::cos(inner)) + (std::cos(inner) - std::cos(outer)) / 3.0);
    const double indirect = rho / (1.0 - rho) * power / (4.0 * kPi);
    const auto frames = renderFrames(litRoom("lumenar_spot_room",
                                             "1\nspot lamp\nposition 0 0 0\ndirection 0 0 -1\ncolor 1 1 "
                                             "1\nintensity 2\ncone 20 30\nradius 0\n"),
                                     48);
    ASSERT_EQ(frames.size(), 48u);
    // Pixels within 10 degrees of the axis see the wall inside the inner
    // cone; beyond 26 degrees, outside the outer one.
    const Estimate in = regionMean(frames, kRoomRes, [](int x, int y) { return pixelAngle(x, y) < 10.0; });
    const Estimate out = regionMean(frames, kRoomRes, [](int x, int y) { return pixelAngle(x, y) > 26.0; });
    const double inside = rho / kPi * (I + indirect), outside = rho / kPi * indirect;
    EXPECT_NEAR(in.mean[1], inside, 4.0 * in.stderr_[1] + 0.02 * inside);
    EXPECT_NEAR(out.mean[1], outside, 4.0 * out.stderr_[1] + 0.02 * outside);
}

// A Lambertian plane under a sun E (W/m^2 at normal incidence) at elevation
// 40 degrees, nothing else: the plane shows rho / pi E sin 40 whether the
// sun is a delta light, the real sun's 0.53 degrees or a 5-degree disc, and
// whatever the direct-light technique.
TEST(Lights, PlaneUnderASunFromTheSceneFile) {
    Mat ground;
    ground.base = Color(0.5f, 0.4f, 0.3f);
    Mesh mesh;
    mesh.quad(Vector3d(-30, 0, 30), Vector3d(30, 0, 30), Vector3d(30, 0, -30), Vector3d(-30, 0, -30), 0);
    const double expected[3] = {0.5 / kPi * 2.0 * std::sin(40.0 * kPi / 180.0),
                                0.4 / kPi * 2.0 * std::sin(40.0 * kPi / 180.0),
                                0.3 / kPi * 2.0 * std::sin(40.0 * kPi / 180.0)};
    const float c = static_cast<float>(std::cos(40.0 * kPi / 180.0)),
                s = static_cast<float>(std::sin(40.0 * kPi / 180.0));
    for (const char* diameter : {"0", "0.53", "5"}) {
        std::ostringstream block;
        block << "1\nsun s\ndirection " << -c << " " << -s << " 0\ncolor 1 1 1\nirradiance 2\ndiameter "
              << diameter << "\n";
        std::string text = withLights(
            sceneText(16, Vector3d(0, 2, 0.01f), Vector3d(0, 0, 0), 1.5f, Color(0, 0, 0), {ground}, mesh),
            block.str());
        const std::string path = writeScene("lumenar_sun_plane", text);
        for (DirectLightStrategy st : {DirectLightStrategy::kMis, DirectLightStrategy::kLightOnly}) {
            const auto frames = renderFrames(path, 16, st);
            ASSERT_EQ(frames.size(), 16u);
            const Estimate e = wholeImage(frames, 16);
            for (int ch = 0; ch < 3; ++ch)
                EXPECT_NEAR(e.mean[ch], expected[ch], 4.0 * e.stderr_[ch] + 1e-3 * expected[ch])
                    << "diameter " << diameter << ", strategy " << static_cast<int>(st) << ", channel " << ch;
        }
    }
}
