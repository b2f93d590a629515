// Textures in scene files: a material's "tex" number and the texturemaps
// block, texture coordinates of faces, and the errors of both.
#include <gtest/gtest.h>

#include <string>

#include "scene/scene_assembly.h"
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
    EXPECT_EQ(scene.materialMaps[0].baseColor.texture, 1);
    EXPECT_EQ(scene.materialMaps[0].metallicRoughness.texture, -1);
    EXPECT_EQ(scene.materialMaps[0].baseColor.wrapU, kWrapRepeat);
    EXPECT_EQ(scene.materialMaps[0].baseColor.filter, 0);  // bilinear on the full-size image, as always
    EXPECT_EQ(scene.materialMaps[1].baseColor.texture, 0);
    EXPECT_EQ(scene.materialMaps[1].metallicRoughness.texture, 1);
    for (const TextureSlot* slot :
         {&scene.materialMaps[1].baseColor, &scene.materialMaps[1].metallicRoughness}) {
        EXPECT_EQ(slot->wrapU, kWrapClamp);
        EXPECT_EQ(slot->wrapV, kWrapMirror);
    }
    ASSERT_EQ(scene.triangleUVs.size(), 2u);
    // The face written with texture indices carries its coordinates in
    // corner order; the flat one none.
    EXPECT_EQ(scene.triangleUVs[0].valid, 1);
    EXPECT_FLOAT_EQ(scene.triangleUVs[0].uv[1].u, 0.3f);
    EXPECT_FLOAT_EQ(scene.triangleUVs[0].uv[2].v, 0.6f);
    EXPECT_EQ(scene.triangleUVs[1].valid, 0);
    EXPECT_EQ(scene.materialNames[1], "m1");
}

// The materialmaps block sets every slot's texture, coordinate set, wrap
// modes, filters and transform, and the alpha and normal-map settings.
TEST(TextureMaps, MaterialMapsBlockSetsSlotsAlphaAndNormalScale) {
    Scene scene;
    const Parsed p =
        parse(texturedScene("materialmaps\n4\n"
                            "1 emissive 2 1 mirror clamp nearest nearest-mipmap-linear 1 2 3 4 5 6\n"
                            "0 basecolor 0 0 repeat repeat linear linear 1 0 0 0 1 0\n"
                            "1 alpha mask 0.25 0.5\n"
                            "0 normalscale 0.75\n"),
              scene);
    ASSERT_EQ(p.status, ParseStatus::Ok) << p.out;
    ASSERT_EQ(scene.materialMaps.size(), 2u);
    const TextureSlot& e = scene.materialMaps[1].emissive;
    EXPECT_EQ(e.texture, 1);
    EXPECT_EQ(e.uvSet, 1);
    EXPECT_EQ(e.wrapU, kWrapMirror);
    EXPECT_EQ(e.wrapV, kWrapClamp);
    EXPECT_EQ(e.filter, kMagNearest | kMinNearest | kMipmaps | kMipLinear);
    for (int k = 0; k < 6; ++k) EXPECT_EQ(e.transform[k], k + 1.0f);
    // Texture 0 takes away what "tex 2" gave.
    EXPECT_FALSE(scene.materialMaps[0].baseColor.used());
    EXPECT_EQ(scene.materialMaps[1].alphaMode, kAlphaMask);
    EXPECT_FLOAT_EQ(scene.materialMaps[1].alphaCutoff, 0.25f);
    EXPECT_FLOAT_EQ(scene.materialMaps[1].alpha, 0.5f);
    EXPECT_FLOAT_EQ(scene.materialMaps[0].normalScale, 0.75f);
    // Filters and their words go both ways.
    for (int f = 0; f < 16; ++f) {
        std::string mag, min;
        textureFilterWords(f, mag, min);
        if ((f & kMipLinear) && !(f & kMipmaps)) continue;  // no such filter
        EXPECT_EQ(textureFilterOf(mag, min), f) << mag << " " << min;
    }
    for (const char* bad : {"0 shine 1 0 repeat repeat linear linear 1 0 0 0 1 0\n",
                            "0 basecolor 1 2 repeat repeat linear linear 1 0 0 0 1 0\n",
                            "0 basecolor 1 0 repeat repeat blurry linear 1 0 0 0 1 0\n",
                            "0 basecolor 3 0 repeat repeat linear linear 1 0 0 0 1 0\n",
                            "0 alpha sometimes 0.5 1\n", "5 normalscale 1\n"}) {
        Scene s;
        const Parsed q = parse(texturedScene(std::string("materialmaps\n1\n") + bad), s);
        EXPECT_EQ(q.status, ParseStatus::Failed) << bad;
        EXPECT_NE(q.out.find("input:"), std::string::npos) << q.out;
    }
}

// The second coordinate set ("vt1" after a "vt") and vertex colours ("vc"
// after a "v") reach the triangles that name them.
TEST(TextureMaps, SecondCoordinatesAndVertexColoursReachTheTriangles) {
    Scene scene;
    const std::string text =
        "title\ntexture\n1\na.png\nmaterial\n1\n\n" + materialEntry(0, "0 0 0", "False", "1") +
        "mesh\n1\n\no 0 t\nv 0 0 0\nvc 1 0.5 0.25 1\nv 1 0 0\nv 0 1 0\nvc 0 0 1 0.5\nvt 0 0\nvt1 0.5 0.5\n"
        "vt 1 0\nvt1 1 0.5\nvt 0 1\nvt1 0.5 1\nvn 0 0 1\nusemtl 0 m0\ns on\nf 1/1/1 2/2/1 3/3/1\n";
    const Parsed p = parse(text, scene);
    ASSERT_EQ(p.status, ParseStatus::Ok) << p.out;
    ASSERT_EQ(scene.triangleUVs1.size(), 1u);
    EXPECT_EQ(scene.triangleUVs1[0].valid, 1);
    EXPECT_FLOAT_EQ(scene.triangleUVs1[0].uv[1].u, 1.0f);
    EXPECT_FLOAT_EQ(scene.triangleUVs1[0].uv[2].v, 1.0f);
    // Coordinate units per world unit: the second set spans half the face.
    EXPECT_FLOAT_EQ(scene.triangleUVs[0].density, 1.0f);
    EXPECT_FLOAT_EQ(scene.triangleUVs1[0].density, 0.5f);
    ASSERT_EQ(scene.triangleColors.size(), 1u);
    EXPECT_FLOAT_EQ(scene.triangleColors[0].rgba[0][1], 0.5f);
    EXPECT_FLOAT_EQ(scene.triangleColors[0].rgba[1][0], 1.0f);  // no "vc": white
    EXPECT_FLOAT_EQ(scene.triangleColors[0].rgba[2][3], 0.5f);
    for (const char* bad : {"vt1 0 0\n", "vc 1 1 1 1\n"}) {
        Scene s;
        const Parsed q = parse("title\nmaterial\n1\n\n" + materialEntry(0) + "mesh\n1\n\no 0 t\n" + bad, s);
        EXPECT_EQ(q.status, ParseStatus::Failed) << bad;
        EXPECT_NE(q.out.find("before any"), std::string::npos) << q.out;
    }
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
