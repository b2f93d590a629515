// Whole frames through start-up, the Renderer and the batch loop.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/batch_render.h"
#include "app/startup.h"
#include "device/threads.h"
#include "test_support.h"

using namespace lumenar;

namespace {

constexpr double kPi = 3.14159265358979323846;

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

using test::writeScene;

struct Render {
    bool ok = false;
    BatchResult result;
};

Render renderScene(const std::string& path, int frames, int threads, BatchOptions options = BatchOptions()) {
    device::ThreadLimit limit(threads);
    Settings settings;
    Application app(settings);
    Render r;
    testing::internal::CaptureStdout();
    const bool started = app.start(path);
    if (started) {
        options.frames = frames;
        r.result = renderBatch(app, options);
    }
    app.shutdown();
    testing::internal::GetCapturedStdout();
    r.ok = started && r.result.ok;
    return r;
}

// Material block for the test scenes: a matte white and an emitter.
std::string materialBlock(float albedo, float emission) {
    std::ostringstream m;
    auto mtl = [&](int i, const char* name, float base, float emit) {
        m << "mtl " << i << " " << name << "\n"
          << "basecolor " << base << " " << base << " " << base << "\n"
          << "specular 0 0 0\nemission " << emit << " " << emit << " " << emit << "\n"
          << "transmission 1 1 1\nmetalness 0\nanisotropic False\nroughness 0\nroughnessY 0\n"
          << "transparency 0\nIOR 1\ntex 0\nrsc 0\nabsorption 0 0 0\n";
    };
    m << "material\n2\n\n";
    mtl(0, "matte", albedo, 0.0f);
    mtl(1, "lamp", 0.0f, emission);
    return m.str();
}

}  // namespace

// The same frames with one worker thread and with two give the same bits.
TEST(Frame, DefaultSceneIsTheSameOnOneAndTwoThreads) {
    std::string text = readFile(std::string(LUMENAR_SOURCE_DIR) + "/scenes/default/input");
    ASSERT_FALSE(text.empty()) << "scenes/default/input is made by the build";
    const std::string from = "resolution 256 256";
    const std::size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos);
    text.replace(at, from.size(), "resolution 40 30");
    const std::string path = writeScene("lumenar_frame_default", text);

    const Render one = renderScene(path, 3, 1);
    const Render two = renderScene(path, 3, 2);
    ASSERT_TRUE(one.ok && two.ok);
    ASSERT_EQ(one.result.average.size(), 40u * 30u);
    ASSERT_EQ(two.result.average.size(), one.result.average.size());
    EXPECT_EQ(std::memcmp(one.result.average.data(), two.result.average.data(),
                          one.result.average.size() * sizeof(Color)),
              0);
    EXPECT_EQ(one.result.rgb, two.result.rgb);
    EXPECT_EQ(one.result.pathSegments, two.result.pathSegments);

    // Something was lit: the box is closed around its light.
    double sum = 0.0;
    for (const Color& c : one.result.average) {
        ASSERT_TRUE(std::isfinite(c.r) && std::isfinite(c.g) && std::isfinite(c.b));
        sum += c.r + c.g + c.b;
    }
    EXPECT_GT(sum, 0.0);
}

namespace {

// A bundled scene at 40 x 30 pixels.
std::string smallBundledScene(const std::string& name) {
    std::string text = readFile(std::string(LUMENAR_SOURCE_DIR) + "/scenes/" + name + "/input");
    const std::string from = "resolution 256 256";
    const std::size_t at = text.find(from);
    if (at == std::string::npos) return std::string();
    text.replace(at, from.size(), "resolution 40 30");
    return writeScene("lumenar_frame_" + name, text);
}

void expectSameOnOneAndTwoThreads(const std::string& path, const BatchOptions& options) {
    const Render one = renderScene(path, 2, 1, options);
    const Render two = renderScene(path, 2, 2, options);
    ASSERT_TRUE(one.ok && two.ok);
    ASSERT_EQ(two.result.average.size(), one.result.average.size());
    EXPECT_EQ(std::memcmp(one.result.average.data(), two.result.average.data(),
                          one.result.average.size() * sizeof(Color)),
              0);
    double sum = 0.0;
    for (const Color& c : one.result.average) {
        ASSERT_TRUE(std::isfinite(c.r) && std::isfinite(c.g) && std::isfinite(c.b));
        sum += c.r + c.g + c.b;
    }
    EXPECT_GT(sum, 0.0);
}

}  // namespace

// Fog (with in-scattering) and subsurface frames do not depend on the thread count.
TEST(Frame, FogAndSubsurfaceAreTheSameOnOneAndTwoThreads) {
    const std::string fog = smallBundledScene("fog");
    ASSERT_FALSE(fog.empty());
    BatchOptions options;
    options.fog = true;
    expectSameOnOneAndTwoThreads(fog, options);
    const std::string bunny = smallBundledScene("default");
    ASSERT_FALSE(bunny.empty()) << "scenes/default/input is made by the build";
    options.fog = false;
    options.subsurface = true;
    expectSameOnOneAndTwoThreads(bunny, options);
}

// A white, non-absorbing subsurface sphere in a white furnace (background 1,
// no lights) creates no light: it renders at or below the background.
TEST(Frame, SubsurfaceSphereInAFurnaceCreatesNoEnergy) {
    std::ostringstream s;
    s << "furnace\ncamera\nresolution 12 12\neye 0 0 3\nlookat 0 0 0\nup 0 1 0\nnear 20\n"
      << "bgcolor\n1 1 1\nmaterial\n1\n\nmtl 0 skin\nbasecolor 1 1 1\nspecular 1 1 1\nemission 0 0 0\n"
      << "transmission 1 1 1\nmetalness 0\nanisotropic False\nroughness 0\nroughnessY 0\n"
      << "transparency 0\nIOR 1.4\ntex 0\nrsc 4\nabsorption 0 0 0\nmesh\n1\n\no 0 sphere\n";
    const int nu = 32, nv = 16;
    s << "v 0 1 0\n";
    for (int j = 1; j < nv; ++j)
        for (int i = 0; i < nu; ++i) {
            const double th = kPi * j / nv, ph = 2 * kPi * i / nu;
            s << "v " << std::sin(th) * std::cos(ph) << " " << std::cos(th) << " "
              << std::sin(th) * std::sin(ph) << "\n";
        }
    s << "v 0 -1 0\nusemtl 0 skin\ns off\n";
    auto ring = [&](int j, int i) { return 2 + (j - 1) * nu + (i % nu); };  // 1-based
    const int bottom = 2 + (nv - 1) * nu;
    for (int i = 0; i < nu; ++i) {
        s << "f 1 " << ring(1, i + 1) << " " << ring(1, i) << "\n";
        for (int j = 1; j < nv - 1; ++j) {
            s << "f " << ring(j, i) << " " << ring(j, i + 1) << " " << ring(j + 1, i + 1) << "\n";
            s << "f " << ring(j, i) << " " << ring(j + 1, i + 1) << " " << ring(j + 1, i) << "\n";
        }
        s << "f " << bottom << " " << ring(nv - 1, i) << " " << ring(nv - 1, i + 1) << "\n";
    }
    const std::string path = writeScene("lumenar_frame_furnace", s.str());

    BatchOptions options;
    options.subsurface = true;
    const int frames = 200;
    const Render r = renderScene(path, frames, 2, options);
    ASSERT_TRUE(r.ok);
    double sum = 0.0, sum2 = 0.0;
    int n = 0;
    for (int y = 3; y < 9; ++y)
        for (int x = 3; x < 9; ++x) {  // pixels well inside the sphere's outline
            const Color& c = r.result.average[y * 12 + x];
            for (float v : {c.r, c.g, c.b}) sum += v, sum2 += static_cast<double>(v) * v, ++n;
        }
    const double mean = sum / n, se = std::sqrt((sum2 / n - mean * mean) / (n - 1));
    EXPECT_LE(mean, 1.0 + 4 * se) << "standard error " << se;
    EXPECT_GT(mean, 0.5);  // and it does pass light through
    std::printf("furnace sphere: %.4f (standard error %.4f)\n", mean, se);
}

// A matte floor under a parallel rectangular emitter, black background, seen
// from straight above through a narrow view: every pixel shows (almost) the
// point under the emitter's centre, whose radiance is albedo x emission x the
// point-to-rectangle form factor. Continuation rays only meet the emitter's
// front (nothing at later bounces) or leave the scene.
TEST(Frame, MatteFloorConvergesToTheFormFactor) {
    const double halfA = 0.75, halfB = 1.25, height = 1.0;
    const float albedo = 0.8f, Le = 2.0f;
    std::ostringstream s;
    s << "form factor\ncamera\nresolution 8 8\neye 0 0.5 0\nlookat 0 0 0\nup 0 0 -1\nnear 50\n"
      << "bgcolor\n0 0 0\n"
      << materialBlock(albedo, Le) << "mesh\n2\n\n"
      << "o 0 floor\nv -10 0 -10\nv -10 0 10\nv 10 0 10\nv 10 0 -10\nusemtl 0 matte\ns off\nf 1 2 3\nf 1 3 "
         "4\n"
      << "o 1 lamp\nv " << -halfA << " " << height << " " << -halfB << "\nv " << halfA << " " << height << " "
      << -halfB << "\nv " << halfA << " " << height << " " << halfB << "\nv " << -halfA << " " << height
      << " " << halfB << "\nusemtl 1 lamp\nf 5 6 7\nf 5 7 8\n";
    const std::string path = writeScene("lumenar_frame_formfactor", s.str());

    const int frames = 300;
    const Render r = renderScene(path, frames, 2);
    ASSERT_TRUE(r.ok);

    // Four corner rectangles of the emitter meet above the point.
    const double A = halfA / height, B = halfB / height;
    const double corner = (A / std::sqrt(1 + A * A) * std::atan(B / std::sqrt(1 + A * A)) +
                           B / std::sqrt(1 + B * B) * std::atan(A / std::sqrt(1 + B * B))) /
                          (2 * kPi);
    const double expected = albedo * Le * 4 * corner;

    // Each pixel's average is an independent estimate over `frames` paths.
    double sum = 0.0, sum2 = 0.0;
    const std::size_t n = r.result.average.size();
    for (const Color& c : r.result.average) {
        sum += c.r;
        sum2 += static_cast<double>(c.r) * c.r;
        EXPECT_FLOAT_EQ(c.r, c.g);
    }
    const double mean = sum / n;
    const double stderr_ = std::sqrt((sum2 / n - mean * mean) / (n - 1));
    EXPECT_NEAR(mean, expected, 4 * stderr_ + 1e-3 * expected) << "standard error " << stderr_;
    EXPECT_LT(stderr_, 0.02 * expected);  // enough paths for the check to mean something
}

// A scene file without triangles is valid: every pixel shows the background.
TEST(Frame, SceneWithoutTrianglesShowsItsBackground) {
    const std::string text =
        "empty\ncamera\nresolution 12 6\neye 0 0 3\nlookat 0 0 0\nup 0 1 0\nnear 1\nbgcolor\n0.25 0.5 "
        "0.75\n" +
        materialBlock(0.5f, 0.0f) + "mesh\n0\n\n";
    const Render r = renderScene(writeScene("lumenar_frame_empty", text), 2, 2);
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.result.average.size(), 12u * 6u);
    for (const Color& c : r.result.average) {
        EXPECT_EQ(c.r, 0.25f);
        EXPECT_EQ(c.g, 0.5f);
        EXPECT_EQ(c.b, 0.75f);
    }
    // The same through the fog and subsurface bounce.
    BatchOptions media;
    media.fog = media.subsurface = true;
    const Render m = renderScene(writeScene("lumenar_frame_empty", text), 2, 2, media);
    ASSERT_TRUE(m.ok);
    for (const Color& c : m.result.average) EXPECT_EQ(c.g, 0.5f);
}
