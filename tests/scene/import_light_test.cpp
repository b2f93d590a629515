// Punctual lights of glTF files (point, spot and directional) light the
// imported scene in the renderer's units: a Lambertian floor seen from above
// shows the irradiance the inverse-square law, the cosine law and glTF's spot
// falloff give, with candela and lux taken at 683 lm/W.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "app/startup.h"
#include "import_test_util.h"
#include "scene/importer.h"

using namespace lumenar;
using namespace lumenar::test;

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kLumensPerWatt = 683.0;
constexpr int kSize = 32;
constexpr double kAlbedo = 0.5;
constexpr double kCameraHeight = 4.0;
constexpr double kTanHalfView = 0.75;

// A large matte floor in the plane z = 0 (facing +z) and a camera above its
// centre looking straight down; the lights are added by the caller.
GltfWriter floorUnderCamera() {
    GltfWriter w;
    w.useExtension("KHR_materials_ior");
    // Index of refraction 1: no reflecting coat, a Lambertian surface.
    const int matte = w.addMaterial(
        "floor", pbr("0.5,0.5,0.5", 0, 1) + ",\"extensions\":{\"KHR_materials_ior\":{\"ior\":1.0}}");
    w.addMesh(unitQuad(matte), "floor");
    w.addNode("\"mesh\":0,\"scale\":[100,100,1]");
    const int cam = w.addPerspectiveCamera(2.0 * std::atan(kTanHalfView), 1.0);
    w.addNode("\"camera\":" + std::to_string(cam) + ",\"translation\":[0,0," +
              GltfWriter::num(kCameraHeight) + "]");
    return w;
}

Settings square() {
    Settings s;
    s.importWidth = kSize;
    s.importHeight = kSize;
    return s;
}

// The radiance a Lambertian floor of kAlbedo sends up from the point at
// radius r under irradiance `irradiance(r)`, averaged over pixel (i, j) of
// the camera above (4 x 4 points in the pixel).
template <class Irradiance>
double expectedPixel(int i, int j, Irradiance irradiance) {
    double sum = 0.0;
    for (int a = 0; a < 4; ++a)
        for (int b = 0; b < 4; ++b) {
            const double x = (2.0 * (i + (a + 0.5) / 4.0) / kSize - 1.0) * kTanHalfView * kCameraHeight;
            const double y = (2.0 * (j + (b + 0.5) / 4.0) / kSize - 1.0) * kTanHalfView * kCameraHeight;
            sum += kAlbedo / kPi * irradiance(std::sqrt(x * x + y * y));
        }
    return sum / 16.0;
}

double value(const Color& c) {
    return (c.r + c.g + c.b) / 3.0;
}

// Starts the model (checking the records its lights became), then renders it.
std::vector<Color> renderLit(const std::string& path, int frames, const SceneLight& expected) {
    Started st = start(path, square());
    EXPECT_TRUE(st.ok) << st.out;
    if (!st.ok) return {};
    // Lit by its own light: no fallback sky.
    EXPECT_EQ(st.out.find("sky"), std::string::npos) << st.out;
    const Scene& scene = st.app->scene();
    EXPECT_EQ(scene.bgcolor.r, 0.0f);
    EXPECT_EQ(scene.lightCount, 0);  // no emissive triangle
    EXPECT_EQ(st.app->lightSet().sceneLightCount(), 1);
    if (scene.lights.size() != 1) {
        ADD_FAILURE() << "lights: " << scene.lights.size();
        return {};
    }
    const SceneLight& l = scene.lights[0];
    EXPECT_EQ(l.kind, expected.kind);
    EXPECT_NEAR(l.intensity, expected.intensity, 1e-6 * expected.intensity);
    EXPECT_NEAR(l.position.x, expected.position.x, 1e-6);
    EXPECT_NEAR(l.position.y, expected.position.y, 1e-6);
    EXPECT_NEAR(l.position.z, expected.position.z, 1e-6);
    if (l.kind != kPointLight) {
        EXPECT_NEAR(dot(l.direction, expected.direction), 1.0, 1e-6);
    }
    EXPECT_NEAR(l.innerAngle, expected.innerAngle, 1e-6);
    EXPECT_NEAR(l.outerAngle, expected.outerAngle, 1e-6);
    st.app.reset();
    return render(path, frames, square());
}

}  // namespace

// A point light of P watts as an exporter writes it (683 P / 4 pi candela)
// at height d over the floor: the irradiance at radius r is
// I cos(theta) / dist^2 = I d / (d^2 + r^2)^(3/2), I = P / (4 pi) W/sr.
TEST(ImportLights, PointLightFollowsTheInverseSquareAndCosineLaws) {
    const std::string dir = tempDir("point_light");
    const double watts = 100.0, d = 2.0;
    const double candela = kLumensPerWatt * watts / (4.0 * kPi);
    GltfWriter w = floorUnderCamera();
    const int light = w.addLight("\"name\":\"bulb\",\"type\":\"point\",\"color\":[1,1,1],\"intensity\":" +
                                 GltfWriter::num(candela) + ",\"range\":1.5");
    w.addNode(GltfWriter::lightRef(light) + ",\"translation\":[0,0," + GltfWriter::num(d) + "]");
    ASSERT_TRUE(w.writeGlb(dir + "/point.glb"));

    const double I = watts / (4.0 * kPi);
    SceneLight expected;
    expected.kind = kPointLight;
    expected.intensity = static_cast<float>(I);
    expected.position = Vector3d(0.0f, 0.0f, static_cast<float>(d));
    const std::vector<Color> img = renderLit(dir + "/point.glb", 64, expected);
    ASSERT_EQ(img.size(), static_cast<std::size_t>(kSize * kSize));
    // The range does not cut the light off: the floor is lit out to the
    // image's edge (radius 3 at its sides), beyond the file's range of 1.5.
    const auto E = [&](double r) { return I * d / std::pow(d * d + r * r, 1.5); };
    double sum = 0.0, expectedSum = 0.0;
    for (int j = 0; j < kSize; ++j)
        for (int i = 0; i < kSize; ++i) {
            const double want = expectedPixel(i, j, E);
            const double got = value(img[static_cast<std::size_t>(j) * kSize + i]);
            EXPECT_NEAR(got, want, 0.02 * want) << "pixel " << i << ", " << j;
            sum += got;
            expectedSum += want;
        }
    EXPECT_NEAR(sum, expectedSum, 0.005 * expectedSum);
}

// A spot light pointing down: inside its inner cone the irradiance of a
// point light, outside its outer cone none, between them glTF's falloff (the
// square of the linear ramp of the cosine from the outer to the inner cone).
TEST(ImportLights, SpotLightLightsItsConeWithGltfsFalloff) {
    const std::string dir = tempDir("spot_light");
    const double I = 5.0, d = 2.0, inner = 20.0 * kPi / 180.0, outer = 35.0 * kPi / 180.0;
    GltfWriter w = floorUnderCamera();
    const int light = w.addLight(
        "\"type\":\"spot\",\"color\":[1,1,1],\"intensity\":" + GltfWriter::num(I * kLumensPerWatt) +
        ",\"spot\":{\"innerConeAngle\":" + GltfWriter::num(inner) +
        ",\"outerConeAngle\":" + GltfWriter::num(outer) + "}");
    // A spot shines down its node's -z: here straight at the floor.
    w.addNode(GltfWriter::lightRef(light) + ",\"translation\":[0,0," + GltfWriter::num(d) + "]");
    ASSERT_TRUE(w.writeGlb(dir + "/spot.glb"));

    SceneLight expected;
    expected.kind = kSpotLight;
    expected.intensity = static_cast<float>(I);
    expected.position = Vector3d(0.0f, 0.0f, static_cast<float>(d));
    expected.direction = Vector3d(0.0f, 0.0f, -1.0f);
    expected.innerAngle = static_cast<float>(inner);
    expected.outerAngle = static_cast<float>(outer);
    const std::vector<Color> img = renderLit(dir + "/spot.glb", 64, expected);
    ASSERT_EQ(img.size(), static_cast<std::size_t>(kSize * kSize));
    const auto falloff = [&](double r) {
        const double c = d / std::sqrt(d * d + r * r);
        const double t = std::clamp((c - std::cos(outer)) / (std::cos(inner) - std::cos(outer)), 0.0, 1.0);
        return t * t;
    };
    const auto E = [&](double r) { return falloff(r) * I * d / std::pow(d * d + r * r, 1.5); };
    int inside = 0, outside = 0, between = 0;
    for (int j = 0; j < kSize; ++j)
        for (int i = 0; i < kSize; ++i) {
            const double want = expectedPixel(i, j, E);
            const double got = value(img[static_cast<std::size_t>(j) * kSize + i]);
            const double x = (2.0 * (i + 0.5) / kSize - 1.0) * kTanHalfView * kCameraHeight;
            const double y = (2.0 * (j + 0.5) / kSize - 1.0) * kTanHalfView * kCameraHeight;
            const double angle = std::atan(std::sqrt(x * x + y * y) / d);
            if (angle > outer + 0.05) {
                EXPECT_EQ(got, 0.0) << "outside the cone: pixel " << i << ", " << j;
                ++outside;
            } else {
                EXPECT_NEAR(got, want, 0.03 * want + 1e-3) << "pixel " << i << ", " << j;
                ++(angle < inner ? inside : between);
            }
        }
    // Each part of the cone is seen by many pixels.
    EXPECT_GT(inside, 40);
    EXPECT_GT(between, 40);
    EXPECT_GT(outside, 40);
}

// A directional light of E lux at angle phi from the floor's normal: every
// point of the floor gets E / 683 cos(phi) W/m^2.
TEST(ImportLights, DirectionalLightGivesIrradianceTimesCosine) {
    const std::string dir = tempDir("sun_light");
    const double irradiance = 3.0, phi = 50.0 * kPi / 180.0;
    GltfWriter w = floorUnderCamera();
    const int light = w.addLight("\"type\":\"directional\",\"color\":[1,0.5,0.25],\"intensity\":" +
                                 GltfWriter::num(irradiance * kLumensPerWatt));
    // Turned by phi about x: -z becomes (0, sin phi, -cos phi). The node's
    // place does not matter.
    w.addNode(GltfWriter::lightRef(light) + ",\"translation\":[5,-7,30],\"rotation\":[" +
              GltfWriter::num(std::sin(phi / 2)) + ",0,0," + GltfWriter::num(std::cos(phi / 2)) + "]");
    ASSERT_TRUE(w.writeGlb(dir + "/sun.glb"));

    SceneLight expected;
    expected.kind = kSunLight;
    expected.intensity = static_cast<float>(irradiance);
    expected.direction =
        Vector3d(0.0f, static_cast<float>(std::sin(phi)), static_cast<float>(-std::cos(phi)));
    const std::vector<Color> img = renderLit(dir + "/sun.glb", 4, expected);
    ASSERT_EQ(img.size(), static_cast<std::size_t>(kSize * kSize));
    const double L = kAlbedo / kPi * irradiance * std::cos(phi);
    for (std::size_t k = 0; k < img.size(); ++k) {
        // Per channel: the light's colour scales its irradiance.
        EXPECT_NEAR(img[k].r, L, 0.005 * L) << k;
        EXPECT_NEAR(img[k].g, 0.5 * L, 0.005 * L) << k;
        EXPECT_NEAR(img[k].b, 0.25 * L, 0.005 * L) << k;
    }
}

// Lights a file gets wrong are refused with the file's name and what is
// wrong; a model with no light at all keeps the sky.
TEST(ImportLights, MalformedLightsAreRefusedWithTheirFile) {
    const std::string dir = tempDir("bad_lights");
    struct Case {
        const char* light;
        const char* node;
        const char* message;
    };
    const Case cases[] = {
        {"\"type\":\"area\"", "0", "not point, spot or directional"},
        {"\"type\":\"point\",\"intensity\":-1", "0", "intensity -1"},
        {"\"type\":\"point\",\"color\":[1,-1,1]", "0", "negative colour"},
        {"\"type\":\"spot\",\"spot\":{\"innerConeAngle\":0.5,\"outerConeAngle\":0.4}", "0", "cone angles"},
        {"\"type\":\"spot\",\"spot\":{\"outerConeAngle\":2}", "0", "cone angles"},
        {"\"type\":\"point\"", "3", "names light 3"},
    };
    for (const Case& c : cases) {
        GltfWriter w = floorUnderCamera();
        w.addLight(c.light);
        w.addNode(std::string("\"extensions\":{\"KHR_lights_punctual\":{\"light\":") + c.node + "}}");
        const std::string path = dir + "/bad.glb";
        ASSERT_TRUE(w.writeGlb(path));
        ImportedScene imported;
        testing::internal::CaptureStdout();
        EXPECT_FALSE(importScene(path, ImportOptions(), imported)) << c.light;
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out.rfind(path + ": ", 0), 0u) << out;
        EXPECT_NE(out.find(c.message), std::string::npos) << out;
    }
    // A light in the list that no node places lights nothing.
    GltfWriter w = floorUnderCamera();
    w.addLight("\"type\":\"point\"");
    ASSERT_TRUE(w.writeGlb(dir + "/unplaced.glb"));
    ImportedScene imported;
    std::string out;
    ASSERT_TRUE(importAndWrite(dir + "/unplaced.glb", ImportOptions(), dir + "/unplaced", imported, out))
        << out;
    EXPECT_TRUE(imported.skyLight);
    EXPECT_TRUE(imported.assembly.lights.empty());
}
