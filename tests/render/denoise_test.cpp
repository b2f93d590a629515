// The preview denoiser on images of known content: what must stay, what
// must go, and guides of a real scene.
#include "render/denoise.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <vector>

#include "app/batch_render.h"
#include "app/startup.h"

using namespace lumenar;

namespace {

constexpr int kW = 48;
constexpr int kH = 32;

DenoiseGuide surface(float albedo, const Vector3d& normal, float depth) {
    DenoiseGuide g;
    g.albedo = Color(albedo, albedo, albedo);
    g.normal = normal;
    g.depth = depth;
    return g;
}

struct Filter {
    Denoiser denoiser;
    std::vector<Color> image = std::vector<Color>(static_cast<std::size_t>(kW) * kH);
    Filter() { EXPECT_TRUE(denoiser.allocate(kW, kH)); }
    DenoiseGuide& guide(int x, int y) { return denoiser.guides()[y * kW + x]; }
    Color& at(int x, int y) { return image[static_cast<std::size_t>(y) * kW + x]; }
    void run(const std::vector<Color>* variance = nullptr) {
        denoiser.filterLinear(image.data(), variance ? variance->data() : nullptr);
        ASSERT_TRUE(device::checkLaunch() && device::synchronize());
    }
};

// Small deterministic noise in [-1, 1).
struct Noise {
    uint32_t state = 12345u;
    float next() {
        state = state * 1664525u + 1013904223u;
        return static_cast<float>(state >> 8) / static_cast<float>(1u << 23) - 1.0f;
    }
};

}  // namespace

TEST(Denoise, FlatRegionStaysFlat) {
    Filter f;
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            f.guide(x, y) = surface(0.6f, Vector3d(0, 0, 1), 2.0f);
            f.at(x, y) = Color(0.3f, 0.2f, 0.1f);
        }
    f.run();
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            ASSERT_NEAR(f.at(x, y).r, 0.3f, 1e-5f) << x << "," << y;
            ASSERT_NEAR(f.at(x, y).g, 0.2f, 1e-5f);
            ASSERT_NEAR(f.at(x, y).b, 0.1f, 1e-5f);
        }
}

// Step edges in each guide: the two sides keep their values up to the edge
// even with noise on both.
TEST(Denoise, StepEdgesInAnyGuideStaySharp) {
    enum Edge { kNormal, kAlbedo, kDepth };
    for (Edge edge : {kNormal, kAlbedo, kDepth}) {
        Filter f;
        Noise noise;
        const float left = 0.8f, right = 0.1f;
        for (int y = 0; y < kH; ++y)
            for (int x = 0; x < kW; ++x) {
                const bool l = x < kW / 2;
                DenoiseGuide g = surface(0.5f, Vector3d(0, 0, 1), 2.0f);
                if (!l && edge == kNormal) g.normal = Vector3d(1, 0, 0);
                if (!l && edge == kDepth) g.depth = 3.0f;
                // Across an albedo edge the lighting is the same and the
                // albedo makes the step.
                float v = l ? left : right;
                if (edge == kAlbedo) g.albedo = l ? Color(0.8f, 0.8f, 0.8f) : Color(0.1f, 0.1f, 0.1f);
                v *= 1.0f + 0.2f * noise.next();
                f.guide(x, y) = g;
                f.at(x, y) = Color(v, v, v);
            }
        f.run();
        for (int y = 0; y < kH; ++y) {
            EXPECT_NEAR(f.at(kW / 2 - 1, y).r, left, 0.1f * left) << "edge " << edge << ", row " << y;
            EXPECT_NEAR(f.at(kW / 2, y).r, right, 0.1f * right) << "edge " << edge << ", row " << y;
        }
        // For comparison: the same noisy step with equal guides bleeds.
        if (edge == kNormal) {
            Filter blind;
            Noise again;
            for (int y = 0; y < kH; ++y)
                for (int x = 0; x < kW; ++x) {
                    blind.guide(x, y) = surface(0.5f, Vector3d(0, 0, 1), 2.0f);
                    const float v = (x < kW / 2 ? left : right) * (1.0f + 0.2f * again.next());
                    blind.at(x, y) = Color(v, v, v);
                }
            blind.denoiser.params.sigmaColour = 100.0f;  // the colour alone cannot stop it then
            blind.run();
            EXPECT_GT(blind.at(kW / 2, kH / 2).r, 1.5f * right);
        }
    }
}

TEST(Denoise, NoiseOnAConstantImageDrops) {
    Filter f;
    Noise noise;
    double mean0 = 0.0, var0 = 0.0;
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            f.guide(x, y) = surface(0.7f, Vector3d(0, 1, 0), 4.0f);
            const float v = 0.5f * (1.0f + 0.5f * noise.next());
            f.at(x, y) = Color(v, v, v);
            mean0 += v;
            var0 += (v - 0.5) * (v - 0.5);
        }
    const double n = static_cast<double>(kW) * kH;
    mean0 /= n;
    var0 /= n;
    f.run();
    double mean1 = 0.0, var1 = 0.0;
    for (const Color& c : f.image) mean1 += c.r;
    mean1 /= n;
    for (const Color& c : f.image) var1 += (c.r - mean1) * (c.r - mean1);
    var1 /= n;
    EXPECT_LT(var1, 0.1 * var0) << "variance " << var0 << " before, " << var1 << " after";
    EXPECT_NEAR(mean1, mean0, 0.02 * mean0);
}

// With the renderer's variance estimate the colour weight reads it: a
// converged pattern (variance 0) on equal guides stays as it is, where the
// plain weight blurs it; a noisy flat region whose variance is known is
// smoothed as much as by the plain weight, to the same mean.
TEST(Denoise, VarianceGuidedWeightSmoothsNoiseAndLeavesConvergedPixels) {
    auto stripes = [](Filter& f) {
        for (int y = 0; y < kH; ++y)
            for (int x = 0; x < kW; ++x) {
                f.guide(x, y) = surface(0.5f, Vector3d(0, 0, 1), 2.0f);
                const float v = (x / 2) % 2 ? 0.3f : 0.36f;
                f.at(x, y) = Color(v, v, v);
            }
    };
    Filter plain, guided;
    stripes(plain);
    stripes(guided);
    plain.run();
    const std::vector<Color> converged(static_cast<std::size_t>(kW) * kH, Color(0.0f, 0.0f, 0.0f));
    guided.run(&converged);
    double plainChange = 0.0;
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            const float v = (x / 2) % 2 ? 0.3f : 0.36f;
            EXPECT_NEAR(guided.at(x, y).r, v, 1e-5f) << x << "," << y;
            plainChange = std::fmax(plainChange, std::fabs(plain.at(x, y).r - v));
        }
    EXPECT_GT(plainChange, 0.02);  // the plain weight cannot tell the stripes from noise

    // Noise of known variance on a flat region: (0.25 s)^2 for values
    // 0.5 (1 + 0.5 u), u uniform in [-1, 1).
    Filter noisy;
    Noise noise;
    double mean0 = 0.0;
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            noisy.guide(x, y) = surface(0.7f, Vector3d(0, 1, 0), 4.0f);
            const float v = 0.5f * (1.0f + 0.5f * noise.next());
            noisy.at(x, y) = Color(v, v, v);
            mean0 += v;
        }
    const double n = static_cast<double>(kW) * kH;
    mean0 /= n;
    const float var = 0.25f * 0.25f / 3.0f;
    const std::vector<Color> variance(static_cast<std::size_t>(kW) * kH, Color(var, var, var));
    noisy.run(&variance);
    double mean1 = 0.0, var1 = 0.0;
    for (const Color& c : noisy.image) mean1 += c.r / n;
    for (const Color& c : noisy.image) var1 += (c.r - mean1) * (c.r - mean1) / n;
    EXPECT_LT(var1, 0.1 * var);
    EXPECT_NEAR(mean1, mean0, 0.02 * mean0);
    // Pixels whose variance is not known yet take the plain weight.
    Filter unknown;
    stripes(unknown);
    const std::vector<Color> notKnown(static_cast<std::size_t>(kW) * kH, Color(-1.0f, -1.0f, -1.0f));
    unknown.run(&notKnown);
    for (std::size_t i = 0; i < unknown.image.size(); ++i) EXPECT_EQ(unknown.image[i].r, plain.image[i].r);
}

// Guides of the default scene: a closed box, so every pixel sees a surface
// facing the camera, and the bunny's silhouette shows as a depth step.
TEST(Denoise, GuidesOfTheDefaultScene) {
    std::ifstream in(std::string(LUMENAR_SOURCE_DIR) + "/scenes/default/input", std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    std::string scene = text.str();
    const std::size_t at = scene.find("resolution 256 256");
    ASSERT_NE(at, std::string::npos);
    scene.replace(at, 18, "resolution 32 32");
    const std::string path = testing::TempDir() + "lumenar_denoise_scene";
    std::ofstream(path) << scene;
    Settings settings;
    Application app(settings);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(app.start(path));
    testing::internal::GetCapturedStdout();
    {
        const FrameResources res = frameResources(app);
        Denoiser d;
        ASSERT_TRUE(d.allocate(32, 32));
        d.computeGuides(app.scene().camera, res.scene);
        ASSERT_TRUE(device::checkLaunch() && device::synchronize());
        int steps = 0;
        for (int y = 0; y < 32; ++y)
            for (int x = 0; x < 32; ++x) {
                const DenoiseGuide& g = d.guides()[y * 32 + x];
                ASSERT_NEAR(length(g.normal), 1.0f, 1e-3f) << x << "," << y;
                ASSERT_GT(g.depth, 0.0f);
                if (x > 0) {
                    const float other = d.guides()[y * 32 + x - 1].depth;
                    steps += std::fabs(g.depth - other) > 0.2f * std::fmin(g.depth, other);
                }
            }
        EXPECT_GT(steps, 4) << "no silhouette in the depth guide";
    }
    testing::internal::CaptureStdout();
    EXPECT_EQ(app.shutdown(), 0);
    testing::internal::GetCapturedStdout();
}
