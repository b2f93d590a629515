// Every bundled scene parses, with the counts its files promise.
#include <gtest/gtest.h>

#include <string>

#include "app/startup.h"
#include "scene/input_parser.h"

using namespace lumenar;

namespace {

std::string scenePath(const std::string& name) {
    return std::string(LUMENAR_SOURCE_DIR) + "/scenes/" + name + "/input";
}

struct Loaded {
    bool ok;
    std::string out;
};

Loaded load(const std::string& name, Scene& scene) {
    aabb box = initialSceneBox();
    testing::internal::CaptureStdout();
    Loaded l;
    l.ok = parseSceneFile(scenePath(name), scene, box, nullptr);
    l.out = testing::internal::GetCapturedStdout();
    return l;
}

}  // namespace

TEST(BundledScenes, DefaultIsTheBunnyInACornellBox) {
    Scene s;
    const Loaded l = load("default", s);
    ASSERT_TRUE(l.ok) << l.out;
    EXPECT_EQ(l.out, "");
    EXPECT_EQ(s.triangleCount, 69666 + 14);
    EXPECT_EQ(s.lightCount, 2);
    ASSERT_EQ(s.materialCount, 5);
    ASSERT_EQ(s.movableCount, 1);
    EXPECT_EQ(s.movables[0].firstTriangle, 0);
    EXPECT_EQ(s.movables[0].triangleCount, 69666);
    EXPECT_EQ(s.hostTriangles[0].materialIndex, 0);
    EXPECT_EQ(s.hostTriangles[69666].materialIndex, 3);  // the first wall
    EXPECT_TRUE(s.materials[4].isEmissive());
    EXPECT_FALSE(s.materials[3].isEmissive());
    EXPECT_LE(s.camera.width, 512);
    // The bunny stands on the floor, inside the box.
    EXPECT_NEAR(s.movables[0].bounds.min.y, 0.0f, 0.01f);
    EXPECT_GT(s.movables[0].bounds.min.x, s.bounds.min.x);
    EXPECT_LT(s.movables[0].bounds.max.y, s.bounds.max.y);
}

TEST(BundledScenes, MaterialsFogTexturesAndLarge) {
    Scene m;
    Loaded l = load("materials", m);
    ASSERT_TRUE(l.ok) << l.out;
    EXPECT_EQ(m.triangleCount, 4 * 320 + 14);
    EXPECT_EQ(m.materialCount, 8);
    EXPECT_LT(m.materials[0].transparency, 0.0f);  // subsurface
    EXPECT_EQ(m.materials[1].transparency, 1.0f);  // glass
    EXPECT_EQ(m.materials[2].metalness, 1.0f);
    EXPECT_EQ(m.materials[3].anisotropic, 1);
    EXPECT_NE(m.materials[3].roughness, m.materials[3].roughnessY);
    EXPECT_EQ(m.movableCount, 1);

    Scene fog;
    l = load("fog", fog);
    ASSERT_TRUE(l.ok) << l.out;
    ASSERT_EQ(fog.volumeCount, 1);
    EXPECT_EQ(fog.volumes[0].volumeType, kHomogeneous);
    EXPECT_EQ(fog.volumes[0].bounds.max.z, fog.bounds.max.z);  // bbox global
    EXPECT_TRUE(fog.inscatter);
    EXPECT_EQ(fog.triangleCount, 50);  // with the slotted lamp shade

    Scene exp;
    l = load("fog-exponential", exp);
    ASSERT_TRUE(l.ok) << l.out;
    ASSERT_EQ(exp.volumeCount, 1);
    EXPECT_EQ(exp.volumes[0].volumeType, kExponential);
    EXPECT_FLOAT_EQ(exp.volumes[0].gravity.y, -1.0f);

    Scene tex;
    l = load("textures", tex);
    ASSERT_TRUE(l.ok) << l.out;
    ASSERT_EQ(tex.textureCount, 2);
    EXPECT_EQ(tex.materials[0].tex, 1);
    EXPECT_EQ(tex.materials[1].tex, 2);
    EXPECT_EQ(tex.triangleCount, 18);

    Scene sun;
    l = load("sun-and-spot", sun);
    ASSERT_TRUE(l.ok) << l.out;
    EXPECT_EQ(sun.lightCount, 0);  // no emissive triangle: lit by its sun and its spot light alone
    ASSERT_EQ(sun.lights.size(), 2u);
    EXPECT_EQ(sun.lights[0].kind, kSunLight);
    EXPECT_GT(sun.lights[0].angularDiameter, 0.0f);
    EXPECT_EQ(sun.lights[1].kind, kSpotLight);

    Scene large;
    l = load("large", large);
    ASSERT_TRUE(l.ok) << l.out;
    EXPECT_GE(large.triangleCount, 300000);
    EXPECT_EQ(large.lightCount, 2);
}

TEST(BundledScenes, TextureSceneStartsWithItsImagesOnTheDevice) {
    Settings settings;
    Application app(settings);
    testing::internal::CaptureStdout();
    const bool started = app.start(scenePath("textures"));
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(started) << out;
    EXPECT_EQ(out.find("Error"), std::string::npos) << out;
    const auto& t = app.scene().textures;
    ASSERT_EQ(t.size(), 2u);
    EXPECT_EQ(t[0].width(), 128);   // wood.png, RGB
    EXPECT_EQ(t[1].height(), 128);  // marble.jpg, grey
    ASSERT_NE(t[1].record().pixels, nullptr);
    testing::internal::CaptureStdout();
    EXPECT_EQ(app.shutdown(), 0);
    testing::internal::GetCapturedStdout();
}
