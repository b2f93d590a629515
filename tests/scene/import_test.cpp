// Model files opened as scenes: geometry, materials, textures, cameras and
// lights of glTF and OBJ files written by the tests, checked against scenes
// placed by hand, closed forms and the texel values; malformed files.
#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "import_test_util.h"
#include "render/texture.h"
#include "scene/importer.h"
#include "scene/input_parser.h"

using namespace lumenar;
using namespace lumenar::test;
namespace fs = std::filesystem;

namespace {

constexpr double kPi = 3.14159265358979323846;

// Matte white-ish material without a specular lobe (index of refraction 1).
int matte(GltfWriter& w, const std::string& name, const std::string& base) {
    w.useExtension("KHR_materials_ior");
    return w.addMaterial(name, pbr(base, 0, 1) + ",\"extensions\":{\"KHR_materials_ior\":{\"ior\":1.0}}");
}

int emitter(GltfWriter& w, double strength) {
    w.useExtension("KHR_materials_emissive_strength");
    return w.addMaterial("lamp", pbr("0,0,0", 0, 1) +
                                     ",\"emissiveFactor\":[1,1,1],\"extensions\":{\"KHR_materials_emissive_"
                                     "strength\":{\"emissiveStrength\":" +
                                     GltfWriter::num(strength) + "}}");
}

}  // namespace

// ---- geometry ------------------------------------------------------------------

// The same quad placed twice through a node hierarchy (translation, rotation
// as a quaternion, scale, and a matrix) renders as the quads placed by hand
// at the transformed corners in a scene file, camera included.
TEST(Import, TransformedInstancesRenderAsTheSameMeshPlacedByHand) {
    const std::string dir = tempDir("instances");
    GltfWriter w;
    const int white = matte(w, "white", "0.7,0.7,0.7");
    const int lamp = emitter(w, 4.0);
    const int quad = w.addMesh(unitQuad(white), "quad");
    const int lampMesh = w.addMesh(unitQuad(lamp), "lampquad");
    // Floor: rotated -90 degrees about x (so it faces +y), scaled by 4.
    const double s = std::sqrt(0.5);
    w.addNode("\"mesh\":" + std::to_string(quad) + ",\"rotation\":[" + GltfWriter::num(-s) + ",0,0," +
              GltfWriter::num(s) + "],\"scale\":[4,4,4]");
    // Back wall: a child at z = -1 of a parent moved up by 1, scaled 2 x 2.
    const int wall = w.addNode("\"mesh\":" + std::to_string(quad) + ",\"translation\":[0,0,-1]", false);
    w.addNode("\"children\":[" + std::to_string(wall) + "],\"matrix\":[2,0,0,0, 0,2,0,0, 0,0,1,0, 0,1,0,1]");
    // Lamp facing down at height 1.5.
    w.addNode("\"mesh\":" + std::to_string(lampMesh) + ",\"rotation\":[" + GltfWriter::num(s) + ",0,0," +
              GltfWriter::num(s) + "],\"translation\":[0,1.5,0]");
    const int cam = w.addPerspectiveCamera(0.9, 1.0);
    w.addNode("\"camera\":" + std::to_string(cam) + ",\"translation\":[0,1,4]");
    ASSERT_TRUE(w.writeGltf(dir + "/model.gltf"));

    // By hand: floor y = 0 over [-2, 2]^2; wall z = -1 over x in [-1, 1],
    // y in [0, 2]; lamp y = 1.5 over [-0.5, 0.5]^2 facing down.
    std::ostringstream t;
    t << "by hand\ncamera\nresolution 24 24\neye 0 1 4\nlookat 0 1 3\nup 0 1 0\nnear "
      << GltfWriter::num(1.0 / std::tan(0.45)) << "\nbgcolor\n0 0 0\nmaterial\n3\n\n";
    auto mat = [&](int i, const char* name, const char* base, const char* emission) {
        t << "mtl " << i << " " << name << "\nbasecolor " << base << "\nspecular 0 0 0\nemission " << emission
          << "\ntransmission " << base << "\nmetalness 0\nanisotropic False\nroughness 1\nroughnessY 1\n"
          << "transparency 0\nIOR 1\ntex 0\nrsc 0\nabsorption 0 0 0\n";
    };
    mat(0, "white", "0.7 0.7 0.7", "0 0 0");
    mat(1, "lamp", "0 0 0", "4 4 4");
    mat(2, "unused", "1 1 1", "0 0 0");
    t << "mesh\n3\n\n"
      << "o 0 floor\nv -2 0 2\nv 2 0 2\nv 2 0 -2\nv -2 0 -2\nusemtl 0 white\ns off\nf 1 2 3\nf 1 3 4\n"
      << "o 1 wall\nv -1 0 -1\nv 1 0 -1\nv 1 2 -1\nv -1 2 -1\nusemtl 0 white\ns off\nf 5 6 7\nf 5 7 8\n"
      << "o 2 lamp\nv -0.5 1.5 -0.5\nv 0.5 1.5 -0.5\nv 0.5 1.5 0.5\nv -0.5 1.5 0.5\nusemtl 1 lamp\ns off\n"
      << "f 9 10 11\nf 9 11 12\n";
    std::ofstream(dir + "/input") << t.str();

    Settings settings;
    settings.importWidth = 24;
    settings.importHeight = 24;
    const std::vector<Color> imported = render(dir + "/model.gltf", 64, settings);
    const std::vector<Color> byHand = render(dir + "/input", 64);
    ASSERT_EQ(imported.size(), byHand.size());
    ASSERT_FALSE(imported.empty());
    // Same geometry and camera up to float rounding of the corners: the
    // images agree pixel by pixel within the noise, and on average closely.
    double diff = 0.0;
    for (std::size_t i = 0; i < imported.size(); ++i)
        diff += std::fabs((imported[i].r - byHand[i].r) + (imported[i].g - byHand[i].g) +
                          (imported[i].b - byHand[i].b)) /
                3.0;
    diff /= static_cast<double>(imported.size());
    const double mean = meanLuminance(byHand);
    EXPECT_GT(mean, 0.05);
    EXPECT_LT(diff, 0.02 * mean);
    EXPECT_NEAR(meanLuminance(imported), mean, 0.01 * mean);
}

// Without normals in the file faces are flat (their normals are the face
// normal); given normals are kept, turned with the node; a degenerate face
// is dropped with a note.
TEST(Import, MissingNormalsAreFlatGivenOnesAreTurnedDegenerateFacesDropped) {
    const std::string dir = tempDir("normals");
    GltfWriter w;
    const int m = matte(w, "m", "0.5,0.5,0.5");
    GltfWriter::Mesh flat;
    flat.positions = {0, 0, 0, 1, 0, 0, 0, 1, 1, 5, 5, 5, 5, 5, 5, 6, 6, 6};  // second face degenerate
    flat.material = m;                                                        // non-indexed
    GltfWriter::Mesh smooth = unitQuad(m, true);
    smooth.normals = {0, 0, 1, 0, 0, 1, 0, 0.6f, 0.8f, 0, 0, 1};
    w.addMesh(flat, "flat");
    w.addMesh(smooth, "smooth");
    w.addNode("\"mesh\":0");
    // Rotated 90 degrees about y: +z turns into +x.
    const double s = std::sqrt(0.5);
    w.addNode("\"mesh\":1,\"rotation\":[0," + GltfWriter::num(s) + ",0," + GltfWriter::num(s) + "]");
    w.addNode("\"mesh\":0,\"scale\":[1,1e-30,1e-30]");  // squashed to a line: all its faces degenerate
    ASSERT_TRUE(w.writeGlb(dir + "/n.glb"));

    Started st = start(dir + "/n.glb");
    ASSERT_TRUE(st.ok) << st.out;
    EXPECT_NE(st.out.find("3 degenerate triangles"), std::string::npos) << st.out;
    const Scene& sc = st.app->scene();
    ASSERT_EQ(sc.triangleCount, 3);
    // Flat: the cross product of the edges, (0, -1, 1) up to scale.
    const Triangle& f = sc.hostTriangles[0];
    for (const Vector3d& n : {f.normal1, f.normal2, f.normal3}) {
        const Vector3d u = normalize(n);
        EXPECT_NEAR(u.x, 0.0, 1e-6);
        EXPECT_NEAR(u.y, -std::sqrt(0.5), 1e-6);
        EXPECT_NEAR(u.z, std::sqrt(0.5), 1e-6);
    }
    // Smooth: vertex normals as given, rotated (0, 0.6, 0.8) -> (0.8, 0.6, 0).
    bool sawTilted = false;
    for (int t = 1; t < 3; ++t) {
        const Triangle& tri = sc.hostTriangles[static_cast<std::size_t>(t)];
        for (const Vector3d& n : {tri.normal1, tri.normal2, tri.normal3}) {
            EXPECT_NEAR(length(n), 1.0, 1e-6);
            EXPECT_NEAR(n.z, 0.0, 1e-6);
            if (std::fabs(n.y - 0.6f) < 1e-6f) {
                sawTilted = true;
                EXPECT_NEAR(n.x, 0.8, 1e-6);
            } else {
                EXPECT_NEAR(n.x, 1.0, 1e-6);
            }
        }
    }
    EXPECT_TRUE(sawTilted);
}

// The first camera's vertical field of view: a quad whose height spans half
// the view's height at its distance covers the middle half of the rows.
TEST(Import, CameraFieldOfViewFramesAKnownQuad) {
    const std::string dir = tempDir("fov");
    GltfWriter w;
    const int black = w.addMaterial("black", pbr("0,0,0", 0, 1));
    w.addMesh(unitQuad(black), "q");
    const double yfov = 0.7, dist = 3.0;
    const double halfHeight = dist * std::tan(yfov / 2.0);  // half of the view at the quad
    // Quad scaled to a height of halfHeight (half the view) and a width that
    // overfills the view.
    w.addNode("\"mesh\":0,\"scale\":[100," + GltfWriter::num(halfHeight) + ",1]");
    const int cam = w.addPerspectiveCamera(yfov, 2.0);
    w.addNode("\"camera\":" + std::to_string(cam) + ",\"translation\":[0,0," + GltfWriter::num(dist) + "]");
    ASSERT_TRUE(w.writeGlb(dir + "/fov.glb"));

    // The height follows the camera's aspect ratio.
    Settings settings;
    settings.importWidth = 64;
    Started st = start(dir + "/fov.glb", settings);
    ASSERT_TRUE(st.ok) << st.out;
    EXPECT_EQ(st.app->imageWidth(), 64);
    EXPECT_EQ(st.app->imageHeight(), 32);
    // No light in the file: the sky lights it (and is seen around the quad).
    EXPECT_NE(st.out.find("sky"), std::string::npos);
    EXPECT_EQ(st.app->scene().bgcolor.r, 1.0f);
    st.app.reset();

    const std::vector<Color> img = render(dir + "/fov.glb", 1, settings);
    ASSERT_EQ(img.size(), 64u * 32u);
    int darkRows = 0;
    for (int y = 0; y < 32; ++y) {
        const Color& c = img[static_cast<std::size_t>(y) * 64 + 32];
        darkRows += c.r < 0.5f;
    }
    EXPECT_EQ(darkRows, 16);
}

// An emissive square of side a at height h above a Lambertian floor: the
// radiance leaving the floor under its centre is albedo * Le * F, F the
// view factor of the square seen from that point.
TEST(Import, EmissiveQuadLightsAFloorAsTheClosedFormSays) {
    const std::string dir = tempDir("emissive");
    GltfWriter w;
    const double albedo = 0.5, Le = 3.0, a = 0.5, h = 1.0;
    const int floorMat = matte(w, "floor", "0.5,0.5,0.5");
    const int lamp = emitter(w, Le);
    w.addMesh(unitQuad(floorMat), "floor");
    w.addMesh(unitQuad(lamp), "lamp");
    const double s = std::sqrt(0.5);
    w.addNode("\"mesh\":0,\"rotation\":[" + GltfWriter::num(-s) + ",0,0," + GltfWriter::num(s) +
              "],\"scale\":[40,40,40]");
    w.addNode("\"mesh\":1,\"rotation\":[" + GltfWriter::num(s) + ",0,0," + GltfWriter::num(s) +
              "],\"scale\":[" + GltfWriter::num(a) + "," + GltfWriter::num(a) + ",1],\"translation\":[0," +
              GltfWriter::num(h) + ",0]");
    // A camera at the side, below the lamp, aimed at the floor point under
    // it with a narrow view: the image is (nearly) that one point.
    const double ex = 1.5, ey = 0.9;
    const double pitch = std::atan2(ey, ex);
    // Turn -z towards (-ex, -ey, 0): pitch down about x, then yaw 90 degrees about y.
    const double cy = std::cos(kPi / 4), sy = std::sin(kPi / 4);  // half of a 90 degree yaw
    const double cp = std::cos(-pitch / 2), sp = std::sin(-pitch / 2);
    // q = yaw(y) * pitch(x)
    const double qx = cy * sp, qy = sy * cp, qz = -sy * sp, qw = cy * cp;
    const int cam = w.addPerspectiveCamera(0.02, 1.0);
    w.addNode("\"camera\":" + std::to_string(cam) + ",\"translation\":[" + GltfWriter::num(ex) + "," +
              GltfWriter::num(ey) + ",0],\"rotation\":[" + GltfWriter::num(qx) + "," + GltfWriter::num(qy) +
              "," + GltfWriter::num(qz) + "," + GltfWriter::num(qw) + "]");
    ASSERT_TRUE(w.writeGlb(dir + "/lamp.glb"));

    Settings settings;
    settings.importWidth = 16;
    settings.importHeight = 16;
    Started st = start(dir + "/lamp.glb", settings);
    ASSERT_TRUE(st.ok) << st.out;
    EXPECT_EQ(st.out.find("sky"), std::string::npos);
    EXPECT_EQ(st.app->scene().lightCount, 2);
    const Camera& c = st.app->scene().camera;
    // The camera looks at the origin.
    const Vector3d toOrigin = normalize(Vector3d(0, 0, 0) - c.position);
    EXPECT_NEAR(dot(c.direction, toOrigin), 1.0, 1e-5);
    st.app.reset();

    const std::vector<Color> img = render(dir + "/lamp.glb", 256, settings);
    const double X = (a / 2) / h;
    const double F1 = (X / std::sqrt(1 + X * X) * std::atan(X / std::sqrt(1 + X * X))) * 2.0 / (2.0 * kPi);
    const double expected = albedo * Le * 4.0 * F1;
    EXPECT_NEAR(meanLuminance(img), expected, 0.03 * expected);
}

// The same lamp turned to face up, away from the floor: only a double-sided
// emitter still lights the floor (from its back face, as the closed form
// says); a one-sided one leaves it dark. The camera sees the back face glow
// only where both faces emit.
TEST(Import, DoubleSidedEmitterLightsFromItsBackFace) {
    const std::string dir = tempDir("double_sided");
    const double albedo = 0.5, Le = 3.0, a = 0.5, h = 1.0;
    const auto model = [&](bool doubleSided, bool camera) {
        GltfWriter w;
        const int floorMat = matte(w, "floor", "0.5,0.5,0.5");
        w.useExtension("KHR_materials_emissive_strength");
        const int lamp = w.addMaterial(
            "lamp", pbr("0,0,0", 0, 1) + ",\"doubleSided\":" + (doubleSided ? "true" : "false") +
                        ",\"emissiveFactor\":[1,1,1],\"extensions\":{\"KHR_materials_emissive_strength\":{"
                        "\"emissiveStrength\":" +
                        GltfWriter::num(Le) + "}}");
        w.addMesh(unitQuad(floorMat), "floor");
        w.addMesh(unitQuad(lamp), "lamp");
        const double s = std::sqrt(0.5);
        w.addNode("\"mesh\":0,\"rotation\":[" + GltfWriter::num(-s) + ",0,0," + GltfWriter::num(s) +
                  "],\"scale\":[40,40,40]");
        // Turned by -90 degrees about x: the lamp's front faces +y, up.
        w.addNode("\"mesh\":1,\"rotation\":[" + GltfWriter::num(-s) + ",0,0," + GltfWriter::num(s) +
                  "],\"scale\":[" + GltfWriter::num(a) + "," + GltfWriter::num(a) +
                  ",1],\"translation\":[0," + GltfWriter::num(h) + ",0]");
        if (camera) {
            // Looking straight up at the lamp's back face from below.
            const int cam = w.addPerspectiveCamera(0.1, 1.0);
            w.addNode("\"camera\":" + std::to_string(cam) + ",\"translation\":[0,0.2,0],\"rotation\":[" +
                      GltfWriter::num(s) + ",0,0," + GltfWriter::num(s) + "]");
        } else {
            // The floor point under the lamp, seen from the side (as above).
            const double ex = 1.5, ey = 0.9;
            const double pitch = std::atan2(ey, ex);
            const double cy = std::cos(kPi / 4), sy = std::sin(kPi / 4);
            const double cp = std::cos(-pitch / 2), sp = std::sin(-pitch / 2);
            const int cam = w.addPerspectiveCamera(0.02, 1.0);
            w.addNode("\"camera\":" + std::to_string(cam) + ",\"translation\":[" + GltfWriter::num(ex) + "," +
                      GltfWriter::num(ey) + ",0],\"rotation\":[" + GltfWriter::num(cy * sp) + "," +
                      GltfWriter::num(sy * cp) + "," + GltfWriter::num(-sy * sp) + "," +
                      GltfWriter::num(cy * cp) + "]");
        }
        const std::string path = dir + "/lamp_" + (doubleSided ? "2" : "1") + (camera ? "_up" : "") + ".glb";
        EXPECT_TRUE(w.writeGlb(path));
        return path;
    };
    Settings settings;
    settings.importWidth = 16;
    settings.importHeight = 16;
    const double X = (a / 2) / h;
    const double F1 = (X / std::sqrt(1 + X * X) * std::atan(X / std::sqrt(1 + X * X))) * 2.0 / (2.0 * kPi);
    const double expected = albedo * Le * 4.0 * F1;
    EXPECT_NEAR(meanLuminance(render(model(true, false), 256, settings)), expected, 0.03 * expected);
    EXPECT_LT(meanLuminance(render(model(false, false), 16, settings)), 1e-3 * expected);

    // The back face seen from below.
    EXPECT_NEAR(meanLuminance(render(model(true, true), 1, settings)), Le, 1e-4 * Le);
    EXPECT_LT(meanLuminance(render(model(false, true), 1, settings)), 1e-3 * Le);

    // A scene folder written from it keeps the setting.
    ImportOptions options;
    options.width = options.height = 16;
    ImportedScene imported;
    std::string out;
    ASSERT_TRUE(importAndWrite(model(true, false), options, dir + "/folder", imported, out)) << out;
    EXPECT_NEAR(meanLuminance(render(dir + "/folder/input", 256, settings)), expected, 0.03 * expected);
}

// ---- materials -------------------------------------------------------------------

// glTF's factors become the material: a dielectric is the full-strength coat
// (its Fresnel term takes F0 from the index of refraction), scaled by
// KHR_materials_specular; transmission, emission strength and the defaults.
TEST(Import, GltfFactorsMapOntoTheMaterial) {
    const std::string dir = tempDir("factors");
    GltfWriter w;
    w.useExtension("KHR_materials_ior");
    w.useExtension("KHR_materials_transmission");
    w.useExtension("KHR_materials_emissive_strength");
    w.useExtension("KHR_materials_specular");
    const int glass = w.addMaterial(
        "glass", pbr("0.9,0.8,0.7", 0.25, 0.4) +
                     ",\"extensions\":{\"KHR_materials_ior\":{\"ior\":1.33},\"KHR_materials_transmission\":{"
                     "\"transmissionFactor\":0.75}}");
    const int plain = w.addMaterial("plain", "\"pbrMetallicRoughness\":{}");
    const int glow = w.addMaterial("glow", pbr("0,0,0", 0, 1) +
                                               ",\"emissiveFactor\":[1,0.5,0.25],\"extensions\":{\"KHR_"
                                               "materials_emissive_strength\":{\"emissiveStrength\":8}}");
    const int satin =
        w.addMaterial("satin", pbr("0.5,0.5,0.5", 0, 0.3) +
                                   ",\"extensions\":{\"KHR_materials_specular\":{\"specularFactor\":0.5,"
                                   "\"specularColorFactor\":[1,0.5,3]}}");
    for (int m : {glass, plain, glow, satin}) w.addMesh(unitQuad(m));
    for (int i = 0; i < 4; ++i)
        w.addNode("\"mesh\":" + std::to_string(i) + ",\"translation\":[" + std::to_string(2 * i) + ",0,0]");
    ASSERT_TRUE(w.writeGltf(dir + "/f.gltf"));

    Started st = start(dir + "/f.gltf");
    ASSERT_TRUE(st.ok) << st.out;
    const Scene& sc = st.app->scene();
    ASSERT_EQ(sc.materials.size(), 4u);
    ASSERT_EQ(sc.materialNames[0], "glass");
    const Material& g = sc.materials[0];
    EXPECT_FLOAT_EQ(g.basecolor.g, 0.8f);
    EXPECT_FLOAT_EQ(g.metalness, 0.25f);
    EXPECT_FLOAT_EQ(g.roughness, 0.4f);
    EXPECT_FLOAT_EQ(g.roughnessY, 0.4f);
    EXPECT_FLOAT_EQ(g.IOR, 1.33f);
    EXPECT_FLOAT_EQ(g.transparency, 0.75f);
    EXPECT_FLOAT_EQ(g.transmission.b, 0.7f);
    // The whole coat: its reflectance at normal incidence is then
    // ((1.33 - 1) / (1.33 + 1))^2, as glTF's dielectric asks.
    for (float c : {g.specular.r, g.specular.g, g.specular.b}) EXPECT_EQ(c, 1.0f);
    EXPECT_FALSE(g.isEmissive());
    // glTF defaults: white, metallic 1, roughness 1, index 1.5.
    const Material& p = sc.materials[1];
    EXPECT_FLOAT_EQ(p.basecolor.r, 1.0f);
    EXPECT_FLOAT_EQ(p.metalness, 1.0f);
    EXPECT_FLOAT_EQ(p.roughness, 1.0f);
    EXPECT_FLOAT_EQ(p.IOR, 1.5f);
    EXPECT_FLOAT_EQ(p.transparency, 0.0f);
    EXPECT_EQ(p.specular.g, 1.0f);
    // Emission: factor times strength; its two triangles are lights.
    EXPECT_FLOAT_EQ(sc.materials[2].emission.r, 8.0f);
    EXPECT_FLOAT_EQ(sc.materials[2].emission.g, 4.0f);
    EXPECT_FLOAT_EQ(sc.materials[2].emission.b, 2.0f);
    EXPECT_EQ(sc.lightCount, 2);
    // KHR_materials_specular: factor times colour, no channel above 1.
    const Material& s = sc.materials[3];
    EXPECT_FLOAT_EQ(s.specular.r, 0.5f);
    EXPECT_FLOAT_EQ(s.specular.g, 0.25f);
    EXPECT_FLOAT_EQ(s.specular.b, 1.0f);
    EXPECT_TRUE(sc.materialMaps.empty());  // no textures: shading reads the records alone
}

TEST(Import, ObjAndMtlPropertiesMapOntoTheMaterial) {
    const std::string dir = tempDir("obj");
    std::ofstream(dir + "/m.mtl") << "newmtl shiny\nKd 0.5 0.4 0.3\nKs 0.2 0.2 0.2\nNs 98\nNi 1.4\nd 0.6\n"
                                  << "newmtl lamp\nKd 0 0 0\nKe 5 4 3\n";
    std::ofstream(dir + "/m.obj") << "mtllib m.mtl\nv 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\n"
                                  << "usemtl shiny\nf 1 2 3\nusemtl lamp\nf 1 3 4\n";
    Started st = start(dir + "/m.obj");
    ASSERT_TRUE(st.ok) << st.out;
    const Scene& sc = st.app->scene();
    int shiny = -1, lamp = -1;
    for (std::size_t i = 0; i < sc.materialNames.size(); ++i) {
        if (sc.materialNames[i] == "shiny") shiny = static_cast<int>(i);
        if (sc.materialNames[i] == "lamp") lamp = static_cast<int>(i);
    }
    ASSERT_GE(shiny, 0);
    ASSERT_GE(lamp, 0);
    const Material& m = sc.materials[static_cast<std::size_t>(shiny)];
    EXPECT_FLOAT_EQ(m.basecolor.g, 0.4f);
    EXPECT_FLOAT_EQ(m.specular.r, 0.2f);
    EXPECT_NEAR(m.roughness, std::pow(2.0 / 100.0, 0.25), 1e-6);  // Blinn-Phong exponent to GGX
    EXPECT_FLOAT_EQ(m.IOR, 1.4f);
    EXPECT_NEAR(m.transparency, 0.4, 1e-6);
    EXPECT_FLOAT_EQ(m.metalness, 0.0f);
    EXPECT_FLOAT_EQ(sc.materials[static_cast<std::size_t>(lamp)].emission.g, 4.0f);
    EXPECT_EQ(sc.lightCount, 1);
}

// MTL's texture statements: map_Kd the base colour, map_Ks the coat's
// colour, map_d an opacity map (blended), norm a normal map, and a bump map
// that is a height map becomes the normal map of its slopes (-bm scaling).
TEST(Import, MtlTextureStatementsFillTheirSlots) {
    const std::string dir = tempDir("mtl_maps");
    auto image = [&](const std::string& name, int w, int h, const std::vector<uint8_t>& rgba) {
        const std::vector<uint8_t> png = pngBytes(dir, w, h, rgba);
        std::ofstream(dir + "/" + name, std::ios::binary)
            .write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
    };
    image("kd.png", 1, 1, {200, 100, 50, 255});
    image("ks.png", 1, 1, {10, 20, 30, 255});
    image("d.png", 1, 1, {128, 128, 128, 255});
    image("n.png", 1, 1, {128, 128, 255, 255});
    // Heights rising to the right: 0, 64, 128, 192 (grey).
    image("h.png", 4, 1, {0, 0, 0, 255, 64, 64, 64, 255, 128, 128, 128, 255, 192, 192, 192, 255});
    std::ofstream(dir + "/m.mtl")
        << "newmtl a\nKd 1 1 1\nmap_Kd kd.png\nmap_Ks ks.png\nmap_d d.png\nnorm n.png\n"
        << "newmtl b\nKd 1 1 1\nmap_Bump -bm 2 h.png\n";
    std::ofstream(dir + "/m.obj")
        << "mtllib m.mtl\nv 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nvt 0 0\nvt 1 0\nvt 1 1\nvt 0 1\n"
        << "vn 0 0 1\nusemtl a\nf 1/1/1 2/2/1 3/3/1\nusemtl b\nf 1/1/1 3/3/1 4/4/1\n";
    ImportedScene imported;
    ImportOptions options;
    options.width = options.height = 16;
    testing::internal::CaptureStdout();
    const bool ok = importScene(dir + "/m.obj", options, imported);
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(ok) << out;
    const SceneAssembly& a = imported.assembly;
    int ia = -1, ib = -1;
    for (std::size_t i = 0; i < a.materialNames.size(); ++i) {
        if (a.materialNames[i] == "a") ia = static_cast<int>(i);
        if (a.materialNames[i] == "b") ib = static_cast<int>(i);
    }
    ASSERT_GE(ia, 0);
    ASSERT_GE(ib, 0);
    const MaterialMaps& ma = a.materialMaps[static_cast<std::size_t>(ia)];
    const MaterialMaps& mb = a.materialMaps[static_cast<std::size_t>(ib)];
    auto file = [&](const TextureSlot& slot) {
        return slot.used() ? imported.textures[static_cast<std::size_t>(slot.texture)].fileName
                           : std::string();
    };
    EXPECT_NE(file(ma.baseColor).find("kd.png"), std::string::npos);
    EXPECT_NE(file(ma.specular).find("ks.png"), std::string::npos);
    EXPECT_NE(file(ma.opacity).find("d.png"), std::string::npos);
    EXPECT_EQ(ma.alphaMode, kAlphaBlend);
    EXPECT_NE(file(ma.normal).find("n.png"), std::string::npos);  // already a normal map
    ASSERT_TRUE(mb.normal.used());
    const Image& made = imported.textures[static_cast<std::size_t>(mb.normal.texture)].image;
    ASSERT_EQ(made.width, 4);
    // At texel 1 the height rises (128 - 0) / 2 / 255 per texel, times 2:
    // the normal leans back against the rise.
    const std::vector<uint8_t> rgba = expandToRGBA(made);
    const double rise = 2.0 * (128.0 / 255.0) / 2.0, len = std::sqrt(rise * rise + 1.0);
    EXPECT_NEAR(rgba[4 + 0], (-rise / len + 1) * 127.5, 1.0);
    EXPECT_NEAR(rgba[4 + 1], 127.5, 1.0);
    EXPECT_NEAR(rgba[4 + 2], (1 / len + 1) * 127.5, 1.0);
    // It is written with the folder like any texture.
    testing::internal::CaptureStdout();
    ASSERT_TRUE(writeImportedScene(imported, dir + "/folder"));
    testing::internal::GetCapturedStdout();
    Started st = start(dir + "/folder/input");
    ASSERT_TRUE(st.ok) << st.out;
    EXPECT_TRUE(st.app->scene().materialMaps[static_cast<std::size_t>(ib)].normal.used());
}

// ---- textures ----------------------------------------------------------------------

namespace {

// A 4 x 2 texture, top row first: distinct sRGB bytes per texel.
std::vector<uint8_t> checkerTexels() {
    std::vector<uint8_t> t(4 * 2 * 4);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 4; ++x) {
            uint8_t* p = &t[static_cast<std::size_t>((y * 4 + x) * 4)];
            p[0] = static_cast<uint8_t>(20 + 60 * x);
            p[1] = static_cast<uint8_t>(y ? 230 : 10);
            p[2] = static_cast<uint8_t>(((x + y) % 2) ? 200 : 40);
            p[3] = 255;
        }
    return t;
}

// Texel (x, y) of checkerTexels, y counted from the top, decoded.
Color texel(int x, int y) {
    const std::vector<uint8_t> t = checkerTexels();
    const uint8_t* p = &t[static_cast<std::size_t>((y * 4 + x) * 4)];
    return Color(static_cast<float>(srgbDecoded(p[0])), static_cast<float>(srgbDecoded(p[1])),
                 static_cast<float>(srgbDecoded(p[2])));
}

// One triangle with glTF texture coordinates (0, 0), (1, 0), (0, 1): the
// barycentric weights of corners 2 and 3 are the coordinates themselves.
std::string texturedTriangleModel(const std::string& dir, int wrapS, int wrapT, bool external) {
    GltfWriter w;
    const std::vector<uint8_t> png = pngBytes(dir, 4, 2, checkerTexels());
    int image;
    if (external) {
        std::ofstream(dir + "/checker.png", std::ios::binary)
            .write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
        image = w.addImageUri("checker.png");
    } else {
        image = w.addImageBytes(png, "image/png");
    }
    const int tex = w.addTexture(image, wrapS, wrapT);
    const int m = w.addMaterial(
        "checker", pbr("1,1,1", 0, 1, ",\"baseColorTexture\":{\"index\":" + std::to_string(tex) + "}"));
    GltfWriter::Mesh mesh;
    mesh.positions = {0, 0, 0, 1, 0, 0, 0, 1, 0};
    mesh.uvs = {0, 0, 1, 0, 0, 1};
    mesh.material = m;
    w.addMesh(mesh);
    w.addNode("\"mesh\":0");
    const std::string path = dir + (external ? "/tex.gltf" : "/tex.glb");
    EXPECT_TRUE(external ? w.writeGltf(path) : w.writeGlb(path));
    return path;
}

Color lookup(Application& app, double u, double v) {
    const Scene& sc = app.scene();
    const Material m = shadingMaterial(sc.materials[0], 0, app.sceneTextures(), 0, static_cast<float>(u),
                                       static_cast<float>(v));
    return m.basecolor;
}

void expectColor(const Color& got, const Color& want, const char* where) {
    EXPECT_NEAR(got.r, want.r, 1e-5) << where;
    EXPECT_NEAR(got.g, want.g, 1e-5) << where;
    EXPECT_NEAR(got.b, want.b, 1e-5) << where;
}

Color mix(const Color& a, const Color& b, float t) {
    return a * (1.0f - t) + b * t;
}

}  // namespace

// Texel centres read exactly (decoded from sRGB), halfway between two
// centres the average of the decoded values, and the file's wrap modes
// outside [0, 1]; embedded and external images alike.
TEST(Import, BaseColourTextureSampledAtKnownCoordinates) {
    for (bool external : {false, true}) {
        const std::string dir = tempDir(external ? "texext" : "texemb");
        // u repeats, v is clamped.
        Started st = start(texturedTriangleModel(dir, 10497, 33071, external));
        ASSERT_TRUE(st.ok) << st.out;
        Application& app = *st.app;
        ASSERT_EQ(app.scene().materialMaps.size(), app.scene().materials.size());
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 4; ++x)
                expectColor(lookup(app, (x + 0.5) / 4.0, (y + 0.5) / 2.0), texel(x, y), "texel centre");
        expectColor(lookup(app, 0.25, 0.25), mix(texel(0, 0), texel(1, 0), 0.5f), "midpoint along u");
        expectColor(lookup(app, 0.125, 0.5), mix(texel(0, 0), texel(0, 1), 0.5f), "midpoint along v");
        // Repeat along u: one period on.
        expectColor(lookup(app, 1.0 + 0.625, 0.25), texel(2, 0), "repeat");
        // Between the last and the first column the repeat blends them.
        expectColor(lookup(app, 1.0, 0.25), mix(texel(3, 0), texel(0, 0), 0.5f), "repeat seam");
        // Clamp along v: beyond the edge the edge texels.
        expectColor(lookup(app, 0.125, -3.0), texel(0, 0), "clamp below");
        expectColor(lookup(app, 0.375, 7.0), texel(1, 1), "clamp above");
        // Far-off and broken coordinates stay on the image.
        expectColor(lookup(app, 1000.0 + 0.625, 0.25), texel(2, 0), "far repeat");
        const Color c = lookup(app, std::nan(""), 1e30);
        EXPECT_TRUE(std::isfinite(c.r) && std::isfinite(c.g) && std::isfinite(c.b));
    }
    // Mirrored repeat along u.
    const std::string dir = tempDir("texmirror");
    Started st = start(texturedTriangleModel(dir, 33648, 10497, false));
    ASSERT_TRUE(st.ok) << st.out;
    expectColor(lookup(*st.app, 1.0 + 0.125, 0.25), texel(3, 0), "mirror");
    expectColor(lookup(*st.app, -0.125, 0.25), texel(0, 0), "mirror below");
}

// Under a uniform white sky a Lambertian plane facing the camera leaves its
// albedo: a one-texel texture of sRGB value 128 times a factor renders as the
// same plane with the product as its factor (the same paths, drawn from the
// same numbers), and both as the albedo.
TEST(Import, TexturedPlaneUnderWhiteSkyRendersAsItsDecodedAlbedo) {
    const std::string dir = tempDir("furnace");
    const double albedo = 0.8 * srgbDecoded(128);
    auto model = [&](bool textured) {
        GltfWriter w;
        std::string extra;
        if (textured) {
            const int image = w.addImageBytes(pngBytes(dir, 1, 1, {128, 128, 128, 255}), "image/png");
            extra = ",\"baseColorTexture\":{\"index\":" + std::to_string(w.addTexture(image)) + "}";
        }
        const std::string f = textured ? "0.8" : GltfWriter::num(static_cast<float>(albedo));
        w.useExtension("KHR_materials_ior");
        const int m = w.addMaterial("t", pbr(f + "," + f + "," + f, 0, 1, extra) +
                                             ",\"extensions\":{\"KHR_materials_ior\":{\"ior\":1.0}}");
        w.addMesh(unitQuad(m, true, true));
        w.addNode("\"mesh\":0,\"scale\":[1000,1000,1]");
        const int cam = w.addPerspectiveCamera(0.5, 1.0);
        w.addNode("\"camera\":" + std::to_string(cam) + ",\"translation\":[0,0,1]");
        const std::string path = dir + (textured ? "/textured.glb" : "/plain.glb");
        EXPECT_TRUE(w.writeGlb(path));
        return path;
    };
    Settings settings;
    settings.importWidth = 8;
    settings.importHeight = 8;
    const double textured = meanLuminance(render(model(true), 256, settings));
    const double plain = meanLuminance(render(model(false), 256, settings));
    EXPECT_NEAR(textured, plain, 0.002 * albedo);
    EXPECT_NEAR(textured, albedo, 0.05 * albedo);
}

// ---- the written scene folder ------------------------------------------------------------

// lumenar-import's folder (scene file and texture images) opens as the same
// scene and renders the same image as the model opened directly.
TEST(Import, WrittenSceneFolderRendersTheSameImage) {
    const std::string dir = tempDir("roundtrip");
    GltfWriter w;
    const int image = w.addImageBytes(pngBytes(dir, 4, 2, checkerTexels()), "image/png");
    const int tex = w.addTexture(image, 33071, 33648);
    const int m = w.addMaterial(
        "checker", pbr("1,1,1", 0, 0.5, ",\"baseColorTexture\":{\"index\":" + std::to_string(tex) + "}"));
    const int lamp = emitter(w, 5.0);
    w.addMesh(unitQuad(m, false, true), "board");
    w.addMesh(unitQuad(lamp), "lamp");
    w.addNode("\"mesh\":0,\"name\":\"board\",\"scale\":[2,2,2]");
    // The lamp faces the board from beside the view.
    w.addNode("\"mesh\":1,\"translation\":[1.6,0,1.5],\"rotation\":[0,1,0,0]");
    const int cam = w.addPerspectiveCamera(0.8, 1.0);
    w.addNode("\"camera\":" + std::to_string(cam) + ",\"translation\":[0.3,0.2,3]");
    ASSERT_TRUE(w.writeGlb(dir + "/model.glb"));

    ImportOptions options;
    options.width = 20;
    options.height = 20;
    options.movable = "board";
    ImportedScene imported;
    std::string out;
    ASSERT_TRUE(importAndWrite(dir + "/model.glb", options, dir + "/scene", imported, out)) << out;
    ASSERT_EQ(imported.textures.size(), 1u);
    EXPECT_TRUE(fs::is_regular_file(dir + "/scene/" + imported.textures[0].fileName));

    Settings settings;
    settings.importWidth = 20;
    settings.importHeight = 20;
    settings.movableName = "board";
    const std::vector<Color> direct = render(dir + "/model.glb", 8, settings);
    const std::vector<Color> folder = render(dir + "/scene/input", 8);
    ASSERT_EQ(direct.size(), 400u);
    ASSERT_EQ(folder.size(), direct.size());
    for (std::size_t i = 0; i < direct.size(); ++i) {
        ASSERT_EQ(direct[i].r, folder[i].r) << i;
        ASSERT_EQ(direct[i].g, folder[i].g) << i;
        ASSERT_EQ(direct[i].b, folder[i].b) << i;
    }
    EXPECT_GT(meanLuminance(direct), 0.01);

    // The movable object is the named node's, first in the list.
    Started st = start(dir + "/scene/input");
    ASSERT_TRUE(st.ok) << st.out;
    ASSERT_EQ(st.app->scene().movableCount, 1);
    EXPECT_EQ(st.app->scene().movables[0].firstTriangle, 0);
    EXPECT_EQ(st.app->scene().movables[0].triangleCount, 2);
}

// ---- malformed files -----------------------------------------------------------------------

namespace {

std::string validGlb(const std::string& dir) {
    GltfWriter w;
    const int m = w.addMaterial("m", pbr("0.5,0.5,0.5", 0, 1));
    w.addMesh(unitQuad(m));
    w.addNode("\"mesh\":0");
    const std::string path = dir + "/ok.glb";
    EXPECT_TRUE(w.writeGlb(path));
    return path;
}

std::string readAll(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

void expectRejected(const std::string& path, const std::string& mention,
                    const Settings& settings = smallImage()) {
    Started st = start(path, settings);
    EXPECT_FALSE(st.ok) << path;
    EXPECT_NE(st.out.find(fs::path(path).filename().string()), std::string::npos) << st.out;
    if (!mention.empty()) {
        EXPECT_NE(st.out.find(mention), std::string::npos) << st.out;
    }
    EXPECT_EQ(st.app->scene().triangleCount, 0);  // nothing half-loaded
    EXPECT_TRUE(st.app->scene().materials.empty());
}

}  // namespace

TEST(Import, MalformedFilesAreRejectedWithTheirName) {
    const std::string dir = tempDir("malformed");
    const std::string good = readAll(validGlb(dir));
    ASSERT_GT(good.size(), 100u);
    {
        Started st = start(dir + "/ok.glb");
        ASSERT_TRUE(st.ok) << st.out;
    }
    auto write = [&](const std::string& name, const std::string& bytes) {
        std::ofstream(dir + "/" + name, std::ios::binary) << bytes;
        return dir + "/" + name;
    };
    // Truncated in the binary chunk, in the JSON, in the header.
    expectRejected(write("cut_bin.glb", good.substr(0, good.size() - 40)), "");
    expectRejected(write("cut_json.glb", good.substr(0, 60)), "");
    expectRejected(write("cut_head.glb", good.substr(0, 7)), "");
    // Wrong magic.
    std::string magic = good;
    magic[0] = 'X';
    expectRejected(write("magic.glb", magic), "");
    // A buffer that names a missing file.
    {
        GltfWriter w;
        const int m = w.addMaterial("m", pbr("1,1,1", 0, 1));
        w.addMesh(unitQuad(m));
        w.addNode("\"mesh\":0");
        std::string j = w.json(true);
        const std::string from = "\"buffers\":[{\"byteLength\":";
        j.replace(j.find(from), from.size(), "\"buffers\":[{\"uri\":\"missing.bin\",\"byteLength\":");
        expectRejected(write("nobuffer.gltf", j), "");
    }
    // A texture image that does not exist: the message names it.
    {
        GltfWriter w;
        const int tex = w.addTexture(w.addImageUri("lost.png"));
        const int m = w.addMaterial(
            "m", pbr("1,1,1", 0, 1, ",\"baseColorTexture\":{\"index\":" + std::to_string(tex) + "}"));
        w.addMesh(unitQuad(m, false, true));
        w.addNode("\"mesh\":0");
        ASSERT_TRUE(w.writeGltf(dir + "/notex.gltf"));
        expectRejected(dir + "/notex.gltf", "lost.png");
    }
    // A texture file that is not an image.
    {
        std::ofstream(dir + "/junk.png") << "this is not an image";
        GltfWriter w;
        const int tex = w.addTexture(w.addImageUri("junk.png"));
        const int m = w.addMaterial(
            "m", pbr("1,1,1", 0, 1, ",\"baseColorTexture\":{\"index\":" + std::to_string(tex) + "}"));
        w.addMesh(unitQuad(m, false, true));
        w.addNode("\"mesh\":0");
        ASSERT_TRUE(w.writeGltf(dir + "/badtex.gltf"));
        expectRejected(dir + "/badtex.gltf", "junk.png");
    }
    // Zero triangles: a scene of nodes only, and one whose faces are all
    // degenerate.
    {
        GltfWriter w;
        w.addNode("\"name\":\"empty\"");
        ASSERT_TRUE(w.writeGltf(dir + "/empty.gltf"));
        expectRejected(dir + "/empty.gltf", "");
        GltfWriter d;
        GltfWriter::Mesh mesh;
        mesh.positions = {0, 0, 0, 1, 1, 1, 2, 2, 2};
        d.addMesh(mesh);
        d.addNode("\"mesh\":0");
        ASSERT_TRUE(d.writeGlb(dir + "/flat.glb"));
        expectRejected(dir + "/flat.glb", "no triangles");
    }
    // An accessor that claims a billion vertices no buffer holds, and a file
    // that requires an extension this reader does not know.
    {
        const std::string head =
            "{\"asset\":{\"version\":\"2.0\"},\"scenes\":[{\"nodes\":[0]}],\"nodes\":[{\"mesh\":0}],"
            "\"meshes\":[{\"primitives\":[{\"attributes\":{\"POSITION\":0}}]}],";
        expectRejected(
            write("huge.gltf", head + "\"accessors\":[{\"componentType\":5126,\"count\":1000000000,"
                                      "\"type\":\"VEC3\"}]}"),
            "without data");
        expectRejected(write("draco.gltf", head + "\"extensionsRequired\":[\"KHR_draco_mesh_compression\"],"
                                                  "\"accessors\":[]}"),
                       "KHR_draco_mesh_compression");
    }
    // A missing file, and a movable name the file does not hold.
    expectRejected(dir + "/absent.glb", "");
    // A format no reader knows is not taken for an empty scene file.
    expectRejected(write("model.xyz", "solid\n1 2 3\n"), "\".xyz\"");
    Settings s = smallImage();
    s.movableName = "nothing";
    expectRejected(dir + "/ok.glb", "nothing", s);
}

// The window program's command line: build mode, scene or model, options.
TEST(Import, WindowArgumentsNameTheSceneAndTheModelOptions) {
    {
        Settings s;
        std::string scene;
        const char* argv[] = {"lumenar", "0", "model.glb", "--movable", "Chair", "--width", "640"};
        ASSERT_TRUE(windowArguments(7, argv, s, scene));
        EXPECT_EQ(s.kdBuildMode, 0);
        EXPECT_EQ(scene, "model.glb");
        EXPECT_EQ(s.movableName, "Chair");
        EXPECT_EQ(s.importWidth, 640);
        EXPECT_EQ(s.importHeight, 0);
    }
    {
        Settings s;
        std::string scene;
        const char* argv[] = {"lumenar"};
        ASSERT_TRUE(windowArguments(1, argv, s, scene));
        EXPECT_EQ(scene, "input");
        EXPECT_EQ(s.kdBuildMode, Settings().kdBuildMode);
    }
    {
        // The Metropolis switches, as the batch renderer takes them.
        Settings s;
        std::string scene;
        const char* argv[] = {"lumenar", "--mlt-capped-start", "scene.txt", "--mlt-forced-acceptance",
                              "0",       "--mlt-combined"};
        ASSERT_TRUE(windowArguments(6, argv, s, scene));
        EXPECT_EQ(s.mltStartCap, kMetroStartCap);
        EXPECT_EQ(s.mltForcedAcceptance, 0);
        EXPECT_TRUE(s.mltCombined);
        const Settings plain;
        EXPECT_EQ(plain.mltStartCap, kMetroStartCap);  // the capped start is the default
        const char* uncapped[] = {"lumenar", "--mlt-uncapped-start"};
        Settings u;
        ASSERT_TRUE(windowArguments(2, uncapped, u, scene));
        EXPECT_EQ(u.mltStartCap, 0.0f);
        EXPECT_EQ(plain.mltForcedAcceptance, kMetroForcedAcceptance);
        EXPECT_FALSE(plain.mltCombined);
    }
    for (const std::vector<const char*>& bad : {std::vector<const char*>{"lumenar", "--width", "wide"},
                                                {"lumenar", "--height", "0"},
                                                {"lumenar", "--movable"},
                                                {"lumenar", "--mlt-forced-acceptance"},
                                                {"lumenar", "--mlt-forced-acceptance", "-1"},
                                                {"lumenar", "--mlt-forced-acceptance", "9999999999"},
                                                {"lumenar", "--mlt-forced-acceptance", "3x"},
                                                {"lumenar", "a.glb", "b.glb"}}) {
        Settings s;
        std::string scene;
        testing::internal::CaptureStdout();
        EXPECT_FALSE(windowArguments(static_cast<int>(bad.size()), bad.data(), s, scene)) << bad.back();
        EXPECT_FALSE(testing::internal::GetCapturedStdout().empty());
    }
}

// Every prefix and many single-byte corruptions of a valid model end in a
// scene or a reported failure (run under the sanitizers in CI).
TEST(Import, CutAndCorruptedModelsFailCleanly) {
    const std::string dir = tempDir("corrupt");
    const std::string good = readAll(validGlb(dir));
    const std::string path = dir + "/c.glb";
    int accepted = 0, rejected = 0;
    auto attempt = [&](const std::string& bytes) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
        ImportedScene s;
        testing::internal::CaptureStdout();
        const bool ok = importScene(path, ImportOptions(), s);
        const std::string out = testing::internal::GetCapturedStdout();
        if (ok) {
            ++accepted;
            Scene scene;
            aabb box = initialSceneBox();
            float4* woop = nullptr;
            testing::internal::CaptureStdout();
            const std::string text = importedSceneText(s);
            const ParseStatus status = parseSceneText(text, path, scene, box, &woop);
            const std::string parsed = testing::internal::GetCapturedStdout();
            EXPECT_EQ(status, ParseStatus::Ok) << parsed << text.substr(0, 2000);
        } else {
            ++rejected;
            EXPECT_NE(out.find("c.glb"), std::string::npos) << out;
        }
    };
    for (std::size_t n = 0; n < good.size(); n += 5) attempt(good.substr(0, n));
    for (std::size_t i = 0; i < good.size(); i += 3) {
        std::string bad = good;
        bad[i] = static_cast<char>(bad[i] ^ 0x5a);
        attempt(bad);
    }
    EXPECT_GT(rejected, 0);
    EXPECT_EQ(accepted + rejected, static_cast<int>((good.size() + 4) / 5 + (good.size() + 2) / 3));
}

// What fuzzing the import path found (fuzz/regressions/import: the first
// byte picks the file type, as fuzz_import reads it), each of which once
// hung or ended the process inside the model library: every one is now
// refused with a message naming the file, within seconds.
TEST(Import, FuzzFindingsAreRefusedWithAMessage) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const fs::path folder = fs::path(LUMENAR_SOURCE_DIR) / "fuzz" / "regressions" / "import";
    const std::string dir = tempDir("fuzz_findings");
    static const char* const kTypes[] = {".glb", ".gltf", ".obj", ".ply", ".dae"};
    int found = 0;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string bytes = readAll(entry.path().string());
        ASSERT_FALSE(bytes.empty()) << entry.path();
        const std::string name =
            entry.path().filename().string() + kTypes[static_cast<uint8_t>(bytes[0]) % 5];
        std::ofstream(dir + "/" + name, std::ios::binary) << bytes.substr(1);
        ++found;
        // In a child process, its messages on standard error: a hang ends
        // in the alarm, an abort in its signal.
        EXPECT_EXIT(
            {
                alarm(30);
                dup2(2, 1);
                ImportedScene s;
                const bool ok = importScene(dir + "/" + name, ImportOptions(), s);
                std::fflush(stdout);
                std::_Exit(ok ? 0 : 3);
            },
            testing::ExitedWithCode(3), name + ": ")
            << entry.path();
    }
    EXPECT_GE(found, 2);
}
