// Scene file grammar outside the mesh block, and the inputs the parser must
// refuse cleanly.
#include <unistd.h>

#include <cstdio>
#include <regex>

#include "scene/input_parser.h"
#include "scene_test_util.h"

using namespace lumenar;
using lumenar::test::materialEntry;
using lumenar::test::parse;
using lumenar::test::twoMaterials;

namespace {

const char* kTriangle = "mesh\n1\n\no 0 tri\nv 0 0 0\nv 1 0 0\nv 0 1 0\nusemtl 0 m\nf 1 2 3\n";

std::string volumeBlock(const std::string& bbox, const std::string& type, const std::string& rest = "") {
    return "volume\nbbox " + bbox +
           "\npos -1 -2 -3\nsize 4 5 6\ninscatter yes\nsigma_a 0.1 0.2 0.3\nsigma_s 0.4 0.5 0.6\nle 0 0 0.5\n"
           "g 0.25\ntype " +
           type + "\n" + rest;
}

}  // namespace

TEST(SceneFile, TitleLineOnlyGivesAnEmptyScene) {
    Scene scene;
    const auto p = parse("just a title\n", scene);
    ASSERT_EQ(p.status, ParseStatus::Ok) << p.out;
    EXPECT_EQ(p.out, "");
    EXPECT_EQ(scene.triangleCount, 0);
    EXPECT_EQ(scene.lightCount, 0);
    EXPECT_EQ(scene.deviceTriangles, nullptr);
    EXPECT_EQ(p.bounds.min.x, 99999.0f);
    EXPECT_EQ(p.bounds.max.x, -199998.0f);
    EXPECT_EQ(scene.bounds.max.y, -199998.0f);
    EXPECT_EQ(scene.camera.width, 256);  // the default camera stays
}

TEST(SceneFile, CameraBackgroundTexturesAndEnvironment) {
    Scene scene;
    const auto p = parse(
        "t\ncamera\nresolution 64 32\neye 0 1 5\nlookat 0 1 0\nup 0 1 0\nnear 2\nbgcolor\n0.1 0.2 0.3\n"
        "texture\n2\na.png\nsub/b.jpg\nenvmap\n1\nsky.hdr\n",
        scene);
    ASSERT_EQ(p.status, ParseStatus::Ok) << p.out;
    EXPECT_EQ(scene.camera.width, 64);
    EXPECT_EQ(scene.camera.height, 32);
    EXPECT_FLOAT_EQ(scene.camera.left, -1.0f);
    EXPECT_FLOAT_EQ(scene.camera.top, 0.5f);  // the longer side spans [-1, 1]
    EXPECT_FLOAT_EQ(scene.camera.focalDistance, 2.0f);
    EXPECT_FLOAT_EQ(scene.camera.direction.z, -1.0f);
    EXPECT_FLOAT_EQ(scene.bgcolor.g, 0.2f);
    ASSERT_EQ(scene.textureCount, 2);
    EXPECT_EQ(scene.texturePaths[1], "sub/b.jpg");
    EXPECT_TRUE(scene.envMapEnabled);
    EXPECT_EQ(scene.envMapPath, "sky.hdr");

    // A texture count of 0 reads no path: the next word is a keyword again.
    Scene other;
    const auto q = parse("t\ntexture\n0\nenvmap 0\nbgcolor 1 1 1\n", other);
    ASSERT_EQ(q.status, ParseStatus::Ok) << q.out;
    EXPECT_EQ(other.textureCount, 0);
    EXPECT_FALSE(other.envMapEnabled);
    EXPECT_EQ(other.bgcolor.r, 1.0f);
}

TEST(SceneFile, WhitespaceIsFreeBetweenWords) {
    const std::string spaced = std::string("t\n") +
                               "camera\nresolution 32 32\neye 0 0 1\nlookat 0 0 0\nup 0 1 0\n" + "near 1\n" +
                               twoMaterials() + kTriangle;
    std::string squeezed = std::regex_replace(spaced.substr(2), std::regex("[ \n]+"), " \t ");
    squeezed = "t\r\n" + std::regex_replace(squeezed, std::regex("eye"), "\r\n\n  eye");
    Scene a, b;
    const auto pa = parse(spaced, a);
    const auto pb = parse(squeezed, b);
    ASSERT_EQ(pa.status, ParseStatus::Ok) << pa.out;
    ASSERT_EQ(pb.status, ParseStatus::Ok) << pb.out;
    EXPECT_EQ(b.triangleCount, 1);
    EXPECT_EQ(b.materialCount, 2);
    EXPECT_EQ(b.camera.width, 32);
    EXPECT_EQ(b.materials[1].emission.r, 4.0f);
}

TEST(SceneFile, MaterialFieldsAndTheirQuirks) {
    Scene scene;
    const auto p =
        parse("t\nmaterial\n4\n\n" + materialEntry(0, "0 0 1e-9", "True", "3") +
                  materialEntry(1, "0 0 0", "true", "0") + materialEntry(2, "0 0 0", "False", "-2") +
                  materialEntry(3, "1 1 1", "TRUE", "1"),
              scene);
    ASSERT_EQ(p.status, ParseStatus::Ok) << p.out;
    ASSERT_EQ(scene.materialCount, 4);
    const Material& m0 = scene.materials[0];
    EXPECT_EQ(m0.anisotropic, 1);
    EXPECT_EQ(m0.roughnessY, 0.6f);
    EXPECT_EQ(m0.tex, 3);
    EXPECT_TRUE(m0.isEmissive());  // (0, 0, 1e-9) emits
    EXPECT_EQ(m0.IOR, 1.5f);
    EXPECT_EQ(m0.rsc, 2.0f);
    EXPECT_EQ(m0.absorption.b, 0.3f);
    EXPECT_EQ(m0.transparency, 0.1f);
    // Only the exact word "True" is anisotropic; otherwise roughnessY copies roughness.
    EXPECT_EQ(scene.materials[1].anisotropic, 0);
    EXPECT_EQ(scene.materials[1].roughnessY, 0.3f);
    EXPECT_EQ(scene.materials[3].anisotropic, 0);
    // tex 0 and negative values leave "no texture".
    EXPECT_EQ(scene.materials[1].tex, -1);
    EXPECT_EQ(scene.materials[2].tex, -1);
    EXPECT_FALSE(scene.materials[1].isEmissive());
}

TEST(SceneFile, OnlyTheFirstVolumeIsKeptAndAGlobalBoxAppliesToIt) {
    Scene scene;
    const auto p = parse("t\n" + volumeBlock("local", "exponential", "a 2\nb 0.5\ngravity 0 -3 0\n") +
                             volumeBlock("global", "homogeneous") + twoMaterials() +
                             "mesh 1\no 0 t\nv -7 0 0\nv 1 8 0\nv 0 1 9\nusemtl 0 m\nf 1 2 3\n",
                         scene);
    ASSERT_EQ(p.status, ParseStatus::Ok) << p.out;
    ASSERT_EQ(scene.volumeCount, 1);
    ASSERT_EQ(scene.volumes.size(), 1u);
    const Volume& v = scene.volumes[0];
    EXPECT_EQ(v.volumeType, kExponential);
    EXPECT_EQ(v.a, 2.0f);
    EXPECT_FLOAT_EQ(v.gravity.y, -1.0f);
    EXPECT_TRUE(scene.inscatter);
    // The second block's "bbox global" replaces the kept box by the box of all vertices.
    EXPECT_EQ(v.bounds.min.x, -7.0f);
    EXPECT_EQ(v.bounds.max.y, 8.0f);
    EXPECT_EQ(v.bounds.max.z, 9.0f);

    Scene local;
    const auto q = parse("t\n" + volumeBlock("local", "homogeneous"), local);
    ASSERT_EQ(q.status, ParseStatus::Ok) << q.out;
    EXPECT_EQ(local.volumes[0].bounds.min.y, -2.0f);
    EXPECT_EQ(local.volumes[0].bounds.max.z, 6.0f);  // "size" is the maximum corner
    EXPECT_EQ(local.volumes[0].g, 0.25f);
    EXPECT_EQ(local.volumes[0].le.b, 0.5f);
}

TEST(SceneFile, ShortDensityGridIsReportedAndParsingGoesOn) {
    Scene scene;
    const auto p = parse("t\n" + volumeBlock("local", "customized", "dimensions 2 1 2\ndata\n0.5 0.25\n") +
                             "bgcolor 0.5 0.5 0.5\n",
                         scene);
    ASSERT_EQ(p.status, ParseStatus::Ok) << p.out;
    EXPECT_NE(p.out.find("not enough density data! (input:15: 2 of 4 values read)\n"), std::string::npos)
        << p.out;
    const Volume& v = scene.volumes[0];
    EXPECT_EQ(v.volumeType, kCustomized);
    EXPECT_EQ(v.gridZ, 2);
    ASSERT_NE(v.densityData, nullptr);
    EXPECT_EQ(v.densityData[1], 0.25f);
    EXPECT_EQ(v.densityData[3], 0.0f);  // cells the file does not reach are 0
    EXPECT_EQ(scene.bgcolor.r, 0.5f);   // the next block was read
}

TEST(SceneFileDeathTest, UnrecognisedVolumeTypeEndsTheProcess) {
    // The image library's dependencies run thread pools from load time on; a
    // forked child could not end them, so the child starts afresh.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string text = "t\n" + volumeBlock("local", "Homogeneous");
    EXPECT_EXIT(
        {
            std::FILE* f = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
            std::fflush(stdout);
            dup2(2, 1);  // the message goes to standard output; let the death test see it
            Scene scene;
            aabb box = initialSceneBox();
            parseSceneFile(f, "input", scene, box, nullptr);
        },
        testing::ExitedWithCode(1), "unrecognized volume type! \\(input:11: \"Homogeneous\"");
}

TEST(SceneFile, KeywordsAndIndicesOutOfPlaceAreReported) {
    struct Case {
        std::string text;
        std::string message;
    };
    const Case cases[] = {
        {"t\ncameras\n", "invalid token included! (input:2: \"cameras\" is not a block keyword)\n"},
        {"t\nbgcolor 1 1 1\nBgcolor 1 1 1\n", "invalid token included! (input:3: \"Bgcolor\""},
        {std::string(130, 'x') + "\nbgcolor 1 1 1\n", "invalid token included! (input:1: \"xxx"},
        {"t\nmaterial 2\n" + materialEntry(0) + materialEntry(2),
         "invalid index! (input:17: material 2 where material 1 was expected)\n"},
        {"t\nmaterial 2\n" + materialEntry(0),
         "invalid index! (input:16: the file ends before material 1 of 2)"},
        {"t\ncamera\nresolution 64 64\neyes 0 0 1\n", "input:4: expected \"eye <number> <number> <number>\""},
        {"t\ncamera\nresolution 64\n", "input:3: the file ends where \"resolution <integer> <integer>\""},
    };
    for (const Case& c : cases) {
        Scene scene;
        const auto p = parse(c.text, scene);
        EXPECT_EQ(p.status, ParseStatus::Failed) << c.text;
        EXPECT_NE(p.out.find(c.message), std::string::npos) << "wanted: " << c.message << "\ngot: " << p.out;
    }
}

// Hostile or broken files: each ends with a message naming the line and the
// problem, and leaves the scene empty with nothing on the device.
TEST(SceneFile, BadValuesAreRefusedAndNothingIsUploaded) {
    const std::string mats = twoMaterials();                               // lines 2 to 33
    const std::string obj = "mesh 1\no 0 a\nv 0 0 0\nv 1 0 0\nv 0 1 0\n";  // lines 34 to 38
    struct Case {
        std::string text;
        std::string message;
    };
    const Case cases[] = {
        {"t\n" + std::string(128, 'k') + "\n", "input:2: word \"kkkk"},
        {"t\ntexture 1\n" + std::string(200, 'p') + ".png\n", "longer than 127 characters"},
        {"t\nmaterial\n-1\n", "input:3: material count -1 is negative"},
        {"t\nmaterial\n1000000\n" + materialEntry(0),
         "material count 1000000 exceeds what the rest of the file"},
        {"t\ntexture -3\n", "texture count -3 is negative"},
        {"t\ntexture 2000000000\na.png\n", "texture count 2000000000 exceeds"},
        {"t\nmesh -1\n", "object count -1 is negative"},
        {"t\nmesh 99999999\no 0 a\n", "object count 99999999 exceeds"},
        {"t\n" + volumeBlock("local", "customized", "dimensions 100000 100000 100000\ndata 1 2 3\n"),
         "input:12: grid 100000 x 100000 x 100000 holds more values than the rest of the file"},
        {"t\n" + volumeBlock("local", "customized", "dimensions 2147483647 2147483647 2147483647\ndata\n"),
         "holds more values"},
        {"t\n" + volumeBlock("local", "customized", "dimensions 4 0 4\ndata\n"),
         "grid dimensions 4 x 0 x 4 are not positive"},
        {"t\n" + volumeBlock("local", "exponential", "a 1\nb 1\ngravity 0 0 0\n"),
         "gravity (0, 0, 0) has no direction"},
        {"t\ncamera\nresolution 0 64\neye 0 0 1\nlookat 0 0 0\nup 0 1 0\nnear 1\n",
         "input:3: resolution 0 x 64 is not positive"},
        {"t\ncamera\nresolution 64 64\neye 0 0 1\nlookat 0 0 1\nup 0 1 0\nnear 1\n",
         "the camera has no view direction"},
        {"t\nbgcolor 1 nan 1\n", "input:2: number \"nan\" is not finite"},
        {"t\nbgcolor 1 1 -inf\n", "number \"-inf\" is not finite"},
        {"t\nbgcolor 1e39 1 1\n", "number \"1e39\" is not finite"},
        {"t\n" + mats + obj + "v 1 infinity 0\n", "input:38: number \"infinity\" is not finite"},
        {"t\ntexture 99999999999\n", "input:2: integer 99999999999 is out of range"},
        {"t\n" + mats + "mesh 1\no 0 a\nv 0 0 0\nusemtl 2 x\n",
         "input:36: usemtl 2 names no material (the scene has 2)"},
        {"t\n" + mats + "mesh 1\no 0 a\nusemtl -1 x\n", "usemtl -1 names no material"},
        {"t\nmesh 1\no 0 a\nusemtl 0 x\n", "usemtl 0 names no material (the scene has 0)"},
        {"t\n" + mats + obj + "usemtl 0 m\nf 1 2 4\n",
         "input:39: face refers to vertex 4, but 3 vertices were read"},
        {"t\n" + mats + obj + "usemtl 0 m\nf 0 1 2\n", "face refers to vertex 0"},
        {"t\n" + mats + obj + "usemtl 0 m\nf -1 -2 -3\n", "face refers to vertex -1"},
        {"t\n" + mats + obj + "usemtl 0 m\ns on\nf 1//1 2//1 3//1\n",
         "face refers to normal 1, but 0 normals"},
        {"t\n" + mats + obj + "vt 0 0\nvn 0 0 1\nusemtl 0 m\ns on\nf 1/1/1 2/2/1 3/1/1\n",
         "face refers to texture coordinate 2, but 1 texture coordinates"},
        {"t\n" + mats + obj + "f 1 2 3\n", "input:38: face before any usemtl has no material"},
        {"t\n" + mats + obj + "usemtl 0 m\nf 1//1 2//2 3//3\n",
         "input:39: expected \"<integer> <integer> <integer>\", found \"1//1\""},
    };
    for (const Case& c : cases) {
        Scene scene;
        const auto p = parse(c.text, scene);
        EXPECT_EQ(p.status, ParseStatus::Failed) << c.message;
        EXPECT_NE(p.out.find(c.message), std::string::npos) << "wanted: " << c.message << "\ngot: " << p.out;
        EXPECT_EQ(scene.deviceTriangles, nullptr);
        EXPECT_EQ(scene.woopTriangles, nullptr);
        EXPECT_EQ(p.woop, nullptr);
        EXPECT_EQ(scene.triangleCount, 0);
        EXPECT_EQ(scene.materialCount, 0);
        EXPECT_EQ(scene.volumeCount, 0);
        EXPECT_EQ(p.bounds.max.x, -199998.0f);  // the caller's box is untouched
    }
}

TEST(SceneFile, FailedParseLeavesAnEarlierSceneAlone) {
    Scene scene;
    const auto good = parse("t\n" + twoMaterials() + kTriangle, scene);
    ASSERT_EQ(good.status, ParseStatus::Ok) << good.out;
    deviceTriangle* before = scene.deviceTriangles;
    const auto bad = parse("t\n" + twoMaterials() + "mesh 1\no 0 a\nv 0 0 0\nusemtl 0 m\nf 1 1 2\n", scene);
    EXPECT_EQ(bad.status, ParseStatus::Failed);
    EXPECT_EQ(scene.deviceTriangles, before);
    EXPECT_EQ(scene.triangleCount, 1);
}

TEST(SceneFile, MissingFileIsReported) {
    Scene scene;
    aabb box = initialSceneBox();
    testing::internal::CaptureStdout();
    EXPECT_FALSE(parseSceneFile(std::string("/nonexistent/dir/input"), scene, box, nullptr));
    EXPECT_FALSE(parseSceneFile(static_cast<std::FILE*>(nullptr), "input", scene, box, nullptr));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Failed to open the file ! (/nonexistent/dir/input: No such file or directory)\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("Failed to open the file ! (input)\n"), std::string::npos) << out;
}

namespace {

const char* const kLightsBlock =
    "lights\n3\n\n"
    "point bulb\nposition 1 2 3\ncolor 1 0.5 0.25\nintensity 12\nradius 0.1\n"  // lines 5 to 9
    "spot lamp\nposition 0 3 0\ndirection 0 -2 0\ncolor 1 1 1\nintensity 40\ncone 15 30\nradius 0\n"
    "sun noon\ndirection 0.3 -1 0.2\ncolor 1 0.9 0.8\nirradiance 900\ndiameter 0.53\n";  // lines 17 to 21

}  // namespace

// The lights block: each light's kind, name and values as given, angles
// turned into radians and directions made unit length; a file without it
// has no such lights.
TEST(SceneFile, LightsBlockGivesPointSpotAndSunLights) {
    Scene scene;
    const auto p = parse(std::string("t\n") + kLightsBlock + twoMaterials(), scene);
    ASSERT_EQ(p.status, ParseStatus::Ok) << p.out;
    ASSERT_EQ(scene.lights.size(), 3u);
    ASSERT_EQ(scene.lightNames, (std::vector<std::string>{"bulb", "lamp", "noon"}));
    const SceneLight& point = scene.lights[0];
    EXPECT_EQ(point.kind, kPointLight);
    EXPECT_EQ(point.position.z, 3.0f);
    EXPECT_EQ(point.color.g, 0.5f);
    EXPECT_EQ(point.intensity, 12.0f);
    EXPECT_EQ(point.radius, 0.1f);
    const SceneLight& spot = scene.lights[1];
    EXPECT_EQ(spot.kind, kSpotLight);
    EXPECT_EQ(spot.direction.y, -1.0f);
    EXPECT_NEAR(spot.innerAngle, 15.0 * 3.14159265358979 / 180.0, 1e-7);
    EXPECT_NEAR(spot.outerAngle, 30.0 * 3.14159265358979 / 180.0, 1e-7);
    const SceneLight& sun = scene.lights[2];
    EXPECT_EQ(sun.kind, kSunLight);
    EXPECT_NEAR(length(sun.direction), 1.0f, 1e-6f);
    EXPECT_EQ(sun.intensity, 900.0f);
    EXPECT_NEAR(sun.angularDiameter, 0.53 * 3.14159265358979 / 180.0, 1e-8);
    EXPECT_EQ(scene.materialCount, 2);

    Scene plain;
    ASSERT_EQ(parse("t\n" + twoMaterials(), plain).status, ParseStatus::Ok);
    EXPECT_TRUE(plain.lights.empty());
}

// Bad light values stop the parse with the file, the line and the problem.
TEST(SceneFile, BadLightValuesAreReportedWithTheirLine) {
    auto with = [](const std::string& from, const std::string& to) {
        std::string text = std::string("t\n") + kLightsBlock;
        const std::size_t at = text.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return text.replace(at, from.size(), to);
    };
    struct Case {
        std::string text, message;
    };
    const Case cases[] = {
        {with("intensity 12", "intensity -12"), "input:8: intensity -12 is negative"},
        {with("intensity 12", "intensity nan"), "input:8: number \"nan\" is not finite"},
        {with("color 1 0.5 0.25", "color 1 -0.5 0.25"),
         "input:7: color 1 -0.5 0.25 has a negative component"},
        {with("radius 0.1", "radius -1"), "input:9: radius -1 is negative"},
        {with("cone 15 30", "cone 30 15"), "input:15: cone angles 30 and 15: expected 0 <= inner <= outer"},
        {with("cone 15 30", "cone 15 95"), "input:15: cone angles 15 and 95"},
        {with("cone 15 30", "cone -5 30"), "input:15: cone angles -5 and 30"},
        {with("direction 0 -2 0", "direction 0 0 0"), "input:12: direction 0 0 0 has no length"},
        {with("irradiance 900", "irradiance -900"), "input:20: irradiance -900 is negative"},
        {with("diameter 0.53", "diameter 180"), "input:21: diameter 180: a sun spans less than 180 degrees"},
        {with("diameter 0.53", "diameter -1"), "input:21: diameter -1 is negative"},
        {with("sun noon", "moon noon"), "input:17: light kind \"moon\" is not point, spot or sun"},
        {with("spot lamp\nposition", "spot lamp\nplace"), "input:11: expected \"position <number>"},
        {"t\nlights\n-2\n", "input:3: light count -2 is negative"},
    };
    for (const Case& c : cases) {
        Scene scene;
        const auto p = parse(c.text, scene);
        EXPECT_EQ(p.status, ParseStatus::Failed) << c.message;
        EXPECT_NE(p.out.find(c.message), std::string::npos) << "wanted: " << c.message << "\ngot: " << p.out;
        EXPECT_TRUE(scene.lights.empty());
    }
}
