// Textures in scene files: a material's "tex" number and the texturemaps
// block, texture coordinates of faces, and the errors of both.
#include <gtest/gtest.h>

#include <string>

#include "scene_test_util.h"

using namespace lumenar;
using namespace lumenar::test;

namespace {

std::string texturedScene(const std::string& maps, const std::string& tex0 = "2") {
    return "title\ntexture\n2\na.png\nb.png\nmaterial\n2\n\n" + materialEntry(0, "0 0 0", "False", tex0) +
           materialEntry(1) + maps +
           "mesh\n2\n\no 0 uv\nv 0 0 0\nv 1 0 0\nv 0 1 0\nvt 0.1 0.2\nvt 0.3 0.4\nvt 0.5 0.6\nvn 0 0 1\n"
           "usemtl 0 m0\ns on\nf 1/1/1 2/2/1 3/3/1\no 1 flat\nusemtl 1 m1\ns off\nf 1 2 3\n";
}

}  // namespace

TEST(TextureMaps, TexNumbersAndTheMapsBlockGiveEachMaterialItsTextures) {
    Scene scene;
    const Parsed p = parse(texturedScene("texturemaps\n1\n1 1 2 clamp mirror\n"), scene);
    ASSERT_EQ(p.status, ParseStatus::Ok) << p.out;
    ASSERT_EQ(scene.materialMaps.size(), 2u);
    // "tex 2": the second texture, repeating.
    EXPECT_EQ(scene.materialMaps[0].baseColor, 1);
    EXPECT_EQ(scene.materialMaps[0].metallicRoughness, -1);
    EXPECT_EQ(scene.materialMaps[0].wrapU, kWrapRepeat);
    EXPECT_EQ(scene.materialMaps[1].baseColor, 0);
    EXPECT_EQ(scene.materialMaps[1].metallicRoughness, 1);
    EXPECT_EQ(scene.materialMaps[1].wrapU, kWrapClamp);
    EXPECT_EQ(scene.materialMaps[1].wrapV, kWrapMirror);
    ASSERT_EQ(scene.triangleUVs.size(), 2u);
    // The face written with texture indices carries its coordinates in
    // corner order; the flat one none.
    EXPECT_EQ(scene.triangleUVs[0].valid, 1);
    EXPECT_FLOAT_EQ(scene.triangleUVs[0].uv[1].u, 0.3f);
    EXPECT_FLOAT_EQ(scene.triangleUVs[0].uv[2].v, 0.6f);
    EXPECT_EQ(scene.triangleUVs[1].valid, 0);
    EXPECT_EQ(scene.materialNames[1], "m1");
}

TEST(TextureMaps, SceneWithoutTexturesCarriesNoMaps) {
    // No texture used, or a texture used by no face with coordinates: the
    // shading reads the material records alone, as it always did.
    for (const std::string& text :
         {texturedScene("", "0"),
          "title\ntexture\n1\na.png\nmaterial\n1\n\n" + materialEntry(0, "0 0 0", "False", "1") +
              "mesh\n1\n\no 0 t\nv 0 0 0\nv 1 0 0\nv 0 1 0\nusemtl 0 m0\ns off\nf 1 2 3\n"}) {
        Scene scene;
        const Parsed p = parse(text, scene);
        ASSERT_EQ(p.status, ParseStatus::Ok) << p.out;
        EXPECT_TRUE(scene.materialMaps.empty());
        EXPECT_TRUE(scene.triangleUVs.empty());
    }
}

TEST(TextureMaps, BadMapsAreReportedWithTheirLine) {
    struct Case {
        std::string maps, message;
    };
    const Case cases[] = {
        {"texturemaps\n1\n0 1 0 wrap repeat\n", "wrap mode \"wrap\""},
        {"texturemaps\n1\n0 3 0 repeat repeat\n", "texture 3"},
        {"texturemaps\n1\n0 0 -1 repeat repeat\n", "texture -1"},
        {"texturemaps\n1\n2 1 0 repeat repeat\n", "material 2"},
        {"texturemaps\n2\n0 1 0 repeat repeat\n", "expected"},
    };
    for (const Case& c : cases) {
        Scene scene;
        const Parsed p = parse(texturedScene(c.maps), scene);
        EXPECT_EQ(p.status, ParseStatus::Failed) << c.maps;
        EXPECT_NE(p.out.find(c.message), std::string::npos) << p.out;
        EXPECT_NE(p.out.find("input:"), std::string::npos) << p.out;
        EXPECT_EQ(scene.triangleCount, 0);
    }
    // A "tex" number beyond the list was never looked up by older versions:
    // a warning, and the material stays untextured.
    Scene scene;
    const Parsed p = parse(texturedScene("", "5"), scene);
    ASSERT_EQ(p.status, ParseStatus::Ok) << p.out;
    EXPECT_NE(p.out.find("warning: tex 5 of material 0"), std::string::npos) << p.out;
    EXPECT_TRUE(scene.materialMaps.empty());
}
