// A model opened directly and the scene folder lumenar-import writes from it
// are the same scene: every record the renderer reads (triangles, the device
// arrays made from them, lights, materials, texture use, coordinates,
// movable objects, camera, texels) is equal bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "import_test_util.h"
#include "scene/importer.h"

using namespace lumenar;
using namespace lumenar::test;
namespace fs = std::filesystem;

namespace {

// A model that exercises the importer's geometry paths: nested nodes placed
// by translation, scale, matrix and rotation, a mirroring scale, indexed and
// non-indexed primitives with and without normals and coordinates, a
// degenerate face, a textured and an emissive material, a movable subtree and
// a camera.
std::string recordsModel(const std::string& dir) {
    GltfWriter w;
    std::vector<uint8_t> texels(4 * 4 * 4);
    for (std::size_t i = 0; i < texels.size(); ++i) texels[i] = static_cast<uint8_t>(i * 37 + 11);
    const int image = w.addImageBytes(pngBytes(dir, 4, 4, texels), "image/png");
    const int tex = w.addTexture(image, 33071, 33648);
    const int board = w.addMaterial("board",
                                    "\"pbrMetallicRoughness\":{\"baseColorFactor\":[0.9,0.8,0.7,1],"
                                    "\"metallicFactor\":0.2,\"roughnessFactor\":0.6,"
                                    "\"baseColorTexture\":{\"index\":" +
                                        std::to_string(tex) + "}}");
    const int grey = w.addMaterial("grey",
                                   "\"pbrMetallicRoughness\":{\"baseColorFactor\":[0.5,0.5,0.5,1],"
                                   "\"metallicFactor\":0,\"roughnessFactor\":0.3}");
    const int lamp = w.addMaterial("lamp",
                                   "\"pbrMetallicRoughness\":{\"baseColorFactor\":[0,0,0,1]},"
                                   "\"emissiveFactor\":[1,0.75,0.5],\"emissiveTexture\":{\"index\":" +
                                       std::to_string(tex) + "}");
    // Every other texture setting: filters, a transform, the second set, a
    // normal map, a cut-out with its opacity.
    const int nearest = w.addTexture(image, 10497, 33071, 9728, 9986);
    w.useExtension("KHR_texture_transform");
    w.useExtension("KHR_materials_specular");
    const int leaf = w.addMaterial(
        "leaf",
        "\"pbrMetallicRoughness\":{\"baseColorFactor\":[0.4,0.9,0.3,0.8],\"baseColorTexture\":{\"index\":" +
            std::to_string(nearest) +
            ",\"extensions\":{\"KHR_texture_transform\":{\"offset\":[0.25,-0.5],\"rotation\":0.3,"
            "\"scale\":[2,3],\"texCoord\":1}}}},\"normalTexture\":{\"index\":" +
            std::to_string(tex) +
            ",\"scale\":0.7},\"alphaMode\":\"MASK\",\"alphaCutoff\":0.3,\"extensions\":{"
            "\"KHR_materials_specular\":{\"specularColorTexture\":{\"index\":" +
            std::to_string(tex) + ",\"texCoord\":1}}}");
    GltfWriter::Mesh quad;
    quad.positions = {-0.5f, -0.5f, 0, 0.5f, -0.5f, 0, 0.5f, 0.5f, 0.1f, -0.5f, 0.5f, 0};
    quad.normals = {0, 0, 1, 0, 0.6f, 0.8f, 0, 0, 1, 0.6f, 0, 0.8f};
    quad.uvs = {0, 1, 1.5f, 1, 1, -0.25f, 0, 0};
    quad.indices = {0, 1, 2, 0, 2, 3};
    quad.material = board;
    const int quadMesh = w.addMesh(quad, "quad");
    GltfWriter::Mesh flat;  // non-indexed, no normals, no coordinates; the second face degenerate
    flat.positions = {0, 0, 0, 1, 0, 0.25f, 0, 1, 1, 3, 3,    3,    3, 3,
                      3, 4, 4, 4, 2, 0,     0, 2, 1, 0, 1.5f, 0.3f, 1};
    flat.material = grey;
    const int flatMesh = w.addMesh(flat, "flat");
    GltfWriter::Mesh uvOnly;  // coordinates without normals
    uvOnly.positions = {0, 0, 0, 1, 0, 0, 0, 1, 0};
    uvOnly.uvs = {0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f};
    uvOnly.material = board;
    const int uvMesh = w.addMesh(uvOnly, "uvonly");
    GltfWriter::Mesh coloured = quad;  // two coordinate sets and vertex colours
    coloured.uvs1 = {0.5f, 0.5f, 0.75f, 0.5f, 0.75f, 0.25f, 0.5f, 0.25f};
    coloured.colors = {1, 0, 0, 1, 0, 1, 0, 0.5f, 0, 0, 1, 1, 0.25f, 0.5f, 0.75f, 0};
    coloured.material = leaf;
    const int colouredMesh = w.addMesh(coloured, "coloured");
    GltfWriter::Mesh light = quad;
    light.normals.clear();
    light.uvs.clear();
    light.material = lamp;
    const int lampMesh = w.addMesh(light, "lampquad");

    w.addNode("\"mesh\":" + std::to_string(quadMesh) + ",\"translation\":[1,2,3],\"scale\":[2,0.5,4]");
    const int child =
        w.addNode("\"mesh\":" + std::to_string(flatMesh) + ",\"translation\":[0.25,0,-1]", false);
    w.addNode("\"children\":[" + std::to_string(child) +
              "],\"matrix\":[1,0,0,0, 0,0.5,0,0, 0,0,2,0, 3,1,0,1]");
    w.addNode("\"mesh\":" + std::to_string(quadMesh) + ",\"scale\":[-1,1,1],\"translation\":[-2,0,0]");
    w.addNode("\"mesh\":" + std::to_string(uvMesh) + ",\"rotation\":[0,0.6,0,0.8],\"translation\":[0,-1,0]");
    w.addNode("\"mesh\":" + std::to_string(lampMesh) + ",\"translation\":[0,4,0],\"rotation\":[1,0,0,0]");
    w.addNode("\"mesh\":" + std::to_string(colouredMesh) + ",\"translation\":[5,0,0]");
    // The movable subtree: a quad and, below it, the flat mesh.
    const int movChild =
        w.addNode("\"mesh\":" + std::to_string(flatMesh) + ",\"translation\":[0,0,1]", false);
    w.addNode("\"name\":\"mover\",\"mesh\":" + std::to_string(quadMesh) + ",\"children\":[" +
              std::to_string(movChild) + "],\"translation\":[0,0,-3]");
    const int cam = w.addPerspectiveCamera(0.8, 1.5);
    w.addNode("\"camera\":" + std::to_string(cam) + ",\"translation\":[0.5,1,9]");
    // Punctual lights under a scaled, turned parent: their directions are
    // made unit length again, their cones and units converted.
    const int bulb =
        w.addLight("\"name\":\"bulb\",\"type\":\"point\",\"color\":[1,0.9,0.7],\"intensity\":123.4");
    const int spot = w.addLight(
        "\"type\":\"spot\",\"intensity\":2000,\"spot\":{\"innerConeAngle\":0.3,\"outerConeAngle\":0.7}");
    const int sun = w.addLight("\"name\":\"sky sun\",\"type\":\"directional\",\"intensity\":1700");
    const int lamps[3] = {
        w.addNode(GltfWriter::lightRef(bulb) + ",\"translation\":[1,2,3]", false),
        w.addNode(GltfWriter::lightRef(spot) + ",\"rotation\":[0.3,0.1,0.2,0.9273618]", false),
        w.addNode(GltfWriter::lightRef(sun) + ",\"rotation\":[0.5,0.5,0.5,0.5]", false)};
    w.addNode("\"scale\":[2,0.5,3],\"rotation\":[0,0.6,0,0.8],\"translation\":[0.1,0.2,0.3],\"children\":[" +
              std::to_string(lamps[0]) + "," + std::to_string(lamps[1]) + "," + std::to_string(lamps[2]) +
              "]");
    const std::string path = dir + "/model.glb";
    EXPECT_TRUE(w.writeGlb(path));
    return path;
}

template <class T>
std::vector<T> download(const T* p, std::size_t n) {
    std::vector<T> v(n);
    if (n) device::copyToHost(v.data(), p, n * sizeof(T));
    return v;
}

template <class T>
void expectSameBytes(const std::vector<T>& a, const std::vector<T>& b, const char* what) {
    ASSERT_EQ(a.size(), b.size()) << what;
    for (std::size_t i = 0; i < a.size(); ++i)
        ASSERT_EQ(std::memcmp(&a[i], &b[i], sizeof(T)), 0) << what << " " << i;
}

template <class T>
void expectSameBytes(const T& a, const T& b, const char* what) {
    EXPECT_EQ(std::memcmp(&a, &b, sizeof(T)), 0) << what;
}

// Every record two started applications hold for their scenes.
void expectSameRecords(Application& a, Application& b) {
    const Scene& x = a.scene();
    const Scene& y = b.scene();
    ASSERT_EQ(x.triangleCount, y.triangleCount);
    ASSERT_EQ(x.lightCount, y.lightCount);
    std::vector<Triangle> tx = x.hostTriangles, ty = y.hostTriangles;
    for (Triangle& t : tx) t.buildSide = 0;  // scratch of the tree builds
    for (Triangle& t : ty) t.buildSide = 0;
    expectSameBytes(tx, ty, "triangle");
    const std::size_t n = static_cast<std::size_t>(x.triangleCount);
    expectSameBytes(download(x.deviceTriangles, n), download(y.deviceTriangles, n), "device triangle");
    expectSameBytes(download(x.woopTriangles, 4 * n), download(y.woopTriangles, 4 * n),
                    "unit-triangle transform");
    const LightSet lx = a.lightSet().view(), ly = b.lightSet().view();
    ASSERT_EQ(lx.triangleCount, ly.triangleCount);
    const std::size_t lights = static_cast<std::size_t>(lx.triangleCount);
    expectSameBytes(download(lx.triangles, lights), download(ly.triangles, lights), "light");
    expectSameBytes(x.lights, y.lights, "point, spot or sun light");
    EXPECT_EQ(x.lightNames, y.lightNames);
    expectSameBytes(x.materials, y.materials, "material");
    EXPECT_EQ(x.materialNames, y.materialNames);
    expectSameBytes(x.materialMaps, y.materialMaps, "material maps");
    expectSameBytes(x.triangleUVs, y.triangleUVs, "triangle coordinates");
    expectSameBytes(x.triangleUVs1, y.triangleUVs1, "second triangle coordinates");
    expectSameBytes(x.triangleColors, y.triangleColors, "vertex colours");
    expectSameBytes(x.movables, y.movables, "movable");
    ASSERT_EQ(x.objects.size(), y.objects.size());
    for (std::size_t i = 0; i < x.objects.size(); ++i) {
        EXPECT_EQ(x.objects[i].name, y.objects[i].name);
        EXPECT_EQ(x.objects[i].firstTriangle, y.objects[i].firstTriangle);
        EXPECT_EQ(x.objects[i].triangleCount, y.objects[i].triangleCount);
        EXPECT_EQ(x.objects[i].movable, y.objects[i].movable);
    }
    expectSameBytes(x.camera, y.camera, "camera");
    expectSameBytes(x.bgcolor, y.bgcolor, "background");
    expectSameBytes(x.bounds, y.bounds, "bounds");
    expectSameBytes(a.sceneBox(), b.sceneBox(), "scene box");
    ASSERT_EQ(x.textures.size(), y.textures.size());
    for (std::size_t i = 0; i < x.textures.size(); ++i) {
        const TextureRecord rx = x.textures[i].record(), ry = y.textures[i].record();
        ASSERT_EQ(rx.width, ry.width);
        ASSERT_EQ(rx.height, ry.height);
        const std::size_t bytes = static_cast<std::size_t>(rx.width) * rx.height * 4;
        EXPECT_EQ(download(rx.pixels, bytes), download(ry.pixels, bytes)) << "texture " << i;
    }
}

}  // namespace

TEST(ImportRecords, ModelOpenedDirectlyEqualsItsWrittenSceneFolder) {
    const std::string dir = tempDir("model");
    const std::string model = recordsModel(dir);
    ImportOptions options;
    options.width = 30;
    options.height = 20;
    options.movable = "mover";
    ImportedScene imported;
    std::string out;
    ASSERT_TRUE(importAndWrite(model, options, dir + "/folder", imported, out)) << out;

    Settings settings;
    settings.importWidth = 30;
    settings.importHeight = 20;
    settings.movableName = "mover";
    Started direct = start(model, settings);
    ASSERT_TRUE(direct.ok) << direct.out;
    Started folder = start(dir + "/folder/input", Settings());
    ASSERT_TRUE(folder.ok) << folder.out;
    // What the model holds reached the records: the degenerate face is left
    // out, the lamp's two faces are lights, the movable object comes first.
    EXPECT_EQ(direct.app->scene().triangleCount, 15);
    EXPECT_EQ(direct.app->scene().triangleColors.size(), 15u);
    EXPECT_EQ(direct.app->scene().triangleUVs1.size(), 15u);
    EXPECT_EQ(direct.app->scene().lightCount, 2);
    ASSERT_EQ(direct.app->scene().lights.size(), 3u);
    EXPECT_EQ(direct.app->scene().lightNames[0], "bulb");
    ASSERT_EQ(direct.app->scene().movableCount, 1);
    EXPECT_EQ(direct.app->scene().movables[0].firstTriangle, 0);
    EXPECT_EQ(direct.app->scene().movables[0].triangleCount, 4);
    expectSameRecords(*direct.app, *folder.app);
}
