// Normal maps of imported models: glTF's tangent-space convention with the
// file's tangents or tangents made here (mirrored instances included), a
// normal-mapped surface against the bumped geometry it stands for, and a
// shading normal that stays consistent with the surface (no light through
// it, no black fringes at grazing view).
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "import_test_util.h"
#include "render/texture.h"

using namespace lumenar;
using namespace lumenar::test;

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kNearest = 9728, kRepeat = 10497;

// A texel of a tangent-space normal (x, y, z), encoded as glTF stores it.
std::vector<uint8_t> normalTexel(double x, double y, double z) {
    auto byte = [](double c) { return static_cast<uint8_t>(std::lround((c + 1.0) * 0.5 * 255.0)); };
    return {byte(x), byte(y), byte(z), 255};
}

std::vector<uint8_t> concat(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    std::vector<uint8_t> c = a;
    c.insert(c.end(), b.begin(), b.end());
    return c;
}

// A matte material (index 1, no coat) of grey `albedo` with normal map
// texture `normalTexture` (-1: none).
int bumpyMatte(GltfWriter& w, double albedo, int normalTexture) {
    w.useExtension("KHR_materials_ior");
    const std::string a = GltfWriter::num(albedo);
    std::string fields =
        pbr(a + "," + a + "," + a, 0, 1) + ",\"extensions\":{\"KHR_materials_ior\":{\"ior\":1.0}}";
    if (normalTexture >= 0) fields += ",\"normalTexture\":{\"index\":" + std::to_string(normalTexture) + "}";
    return w.addMaterial("matte", fields);
}

Vector3d shadingNormal(Application& app, int tri, const Vector3d& wo, Vector3d* ng = nullptr) {
    const Scene& sc = app.scene();
    TexturePoint p;
    p.triangle = tri;
    p.b1 = 0.3f;
    p.b2 = 0.3f;
    Vector3d ns(0, 0, 0), g(0, 0, 0);
    const Triangle& t = sc.hostTriangles[static_cast<std::size_t>(tri)];
    const Vector3d n = normalize(t.normal1 * 0.4f + t.normal2 * 0.3f + t.normal3 * 0.3f);
    EXPECT_TRUE(mappedNormal(app.sceneTextures(), t.materialIndex, p, n, wo, &ns, &g));
    if (ng) *ng = g;
    return ns;
}

}  // namespace

// A one-texel map tilting the normal by 30 degrees towards +x (then +y) of
// tangent space, on a quad whose u runs along +x and whose image's up runs
// along +y: the shading normal tilts towards +x (+y) in the world; mirrored
// by a negative scale, the texture's x runs along -x. The same with the
// file's tangents and with tangents made from the coordinates.
TEST(NormalMaps, TangentSpaceFollowsGltfsConvention) {
    const std::string dir = tempDir("normal_convention");
    const double s = std::sin(kPi / 6), c = std::cos(kPi / 6);
    for (int axis = 0; axis < 2; ++axis)
        for (bool fileTangents : {false, true})
            for (bool mirrored : {false, true}) {
                GltfWriter w;
                const std::vector<uint8_t> texel = axis == 0 ? normalTexel(s, 0, c) : normalTexel(0, s, c);
                const int tex = w.addTexture(w.addImageBytes(pngBytes(dir, 1, 1, texel), "image/png"));
                GltfWriter::Mesh quad = unitQuad(bumpyMatte(w, 0.5, tex), true, true);
                if (fileTangents) quad.tangents = {1, 0, 0, 1, 1, 0, 0, 1, 1, 0, 0, 1, 1, 0, 0, 1};
                w.addMesh(quad);
                w.addNode(std::string("\"mesh\":0") + (mirrored ? ",\"scale\":[-1,1,1]" : ""));
                ASSERT_TRUE(w.writeGlb(dir + "/q.glb"));
                Started st = start(dir + "/q.glb");
                ASSERT_TRUE(st.ok) << st.out;
                const Vector3d n = shadingNormal(*st.app, 0, Vector3d(0, 0, 1));
                const double x = axis == 0 ? (mirrored ? -s : s) : 0.0, y = axis == 1 ? s : 0.0;
                const std::string what = std::string(axis ? "+y" : "+x") +
                                         (fileTangents ? ", file's tangents" : "") +
                                         (mirrored ? ", mirrored" : "");
                EXPECT_NEAR(n.x, x, 0.01) << what;
                EXPECT_NEAR(n.y, y, 0.01) << what;
                EXPECT_NEAR(n.z, c, 0.01) << what;
            }
}

// V-grooves along y, their faces sloping 8 degrees each way, under a small
// lamp 60 degrees off the vertical towards +x: made as geometry, and as a
// flat plane whose normal map holds the faces' two normals. Seen from above,
// the columns over faces of either slope show the same light (the grooves
// cast no shadows at this elevation and barely light each other).
TEST(NormalMaps, BumpedPlaneMatchesTheGeometryItStandsFor) {
    const std::string dir = tempDir("normal_grooves");
    const double slope = 8.0 * kPi / 180.0, period = 0.25;  // four pixels per period below
    const int periods = 200;                                // far wider than the view
    const double half = periods * period / 2;
    double means[2][2] = {{0, 0}, {0, 0}};  // [bumped][face rising towards +x, falling]
    for (int bumped = 0; bumped < 2; ++bumped) {
        GltfWriter w;
        int material;
        GltfWriter::Mesh mesh;
        if (bumped) {
            // Texel 0 (u in the first half of a period): the face rising towards
            // +x, its normal tilted towards -x; texel 1 falling.
            const std::vector<uint8_t> texels = concat(normalTexel(-std::sin(slope), 0, std::cos(slope)),
                                                       normalTexel(std::sin(slope), 0, std::cos(slope)));
            const int tex = w.addTexture(w.addImageBytes(pngBytes(dir, 2, 1, texels), "image/png"), kRepeat,
                                         kRepeat, kNearest, kNearest);
            material = bumpyMatte(w, 0.4, tex);
            mesh.positions = {float(-half), float(-half), 0, float(half),  float(-half), 0,
                              float(half),  float(half),  0, float(-half), float(half),  0};
            mesh.normals = {0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1};
            const float u = static_cast<float>(periods);
            mesh.uvs = {0, 1, u, 1, u, 0, 0, 0};
            mesh.indices = {0, 1, 2, 0, 2, 3};
        } else {
            material = bumpyMatte(w, 0.4, -1);
            const float h = static_cast<float>(std::tan(slope) * period / 2);
            for (int k = 0; k <= 2 * periods; ++k) {
                const float x = static_cast<float>(-half + k * period / 2);
                const float z = (k % 2) ? h : 0.0f;
                mesh.positions.insert(mesh.positions.end(), {x, float(-half), z, x, float(half), z});
                if (k > 0) {
                    const uint32_t a = 2 * (k - 1), b = a + 1, c = a + 2, d = a + 3;
                    mesh.indices.insert(mesh.indices.end(), {a, c, d, a, d, b});
                }
            }
        }
        mesh.material = material;
        w.addMesh(mesh);
        w.addNode("\"mesh\":0");
        // The lamp: a 1 x 1 square 40 units away, 60 degrees from the vertical.
        w.useExtension("KHR_materials_emissive_strength");
        const int lamp =
            w.addMaterial("lamp", pbr("0,0,0", 0, 1) +
                                      ",\"emissiveFactor\":[1,1,1],\"extensions\":{\"KHR_materials_"
                                      "emissive_strength\":{\"emissiveStrength\":2000}}");
        w.addMesh(unitQuad(lamp));
        const double a = kPi / 3, dist = 40.0, turn = a + kPi;  // its +z turned about y to face the origin
        w.addNode("\"mesh\":1,\"translation\":[" + GltfWriter::num(dist * std::sin(a)) + ",0," +
                  GltfWriter::num(dist * std::cos(a)) + "],\"rotation\":[0," +
                  GltfWriter::num(std::sin(turn / 2)) + ",0," + GltfWriter::num(std::cos(turn / 2)) + "]");
        // The camera looks straight down on 32 columns of 1/16 unit: groove
        // edges fall on column edges.
        const int cam = w.addPerspectiveCamera(2 * std::atan(1.0 / 4.0), 1.0);
        w.addNode("\"camera\":" + std::to_string(cam) + ",\"translation\":[0,0,4]");
        const std::string path = dir + (bumped ? "/bumped.glb" : "/geometry.glb");
        ASSERT_TRUE(w.writeGlb(path));
        const std::vector<Color> img = render(path, 64, smallImage(32, 32));
        ASSERT_EQ(img.size(), 1024u);
        for (int x = 0; x < 32; ++x) {
            // Column x covers [x - 16, x - 15] / 16: a rising face where its
            // place within a period (four columns) is in the first half.
            const int face = ((x % 4) < 2) ? 0 : 1;
            for (int y = 0; y < 32; ++y)
                means[bumped][face] += img[static_cast<std::size_t>(y * 32 + x)].g / 512.0;
        }
    }
    std::printf("rising faces: geometry %.4f, normal map %.4f; falling: %.4f, %.4f\n", means[0][0],
                means[1][0], means[0][1], means[1][1]);
    // The faces differ (cos 68 degrees against cos 52) ...
    EXPECT_GT(means[0][1], 1.4 * means[0][0]);
    // ... and the map shows what the geometry shows.
    for (int face = 0; face < 2; ++face) EXPECT_NEAR(means[1][face], means[0][face], 0.03 * means[0][face]);
}

// A lamp behind a normal-mapped plane whose bumps lean towards it: the side
// facing away from the lamp gets no light at all (the bumps bend the shading,
// not the surface).
TEST(NormalMaps, NoLightThroughABumpedSurface) {
    const std::string dir = tempDir("normal_leak");
    GltfWriter w;
    const double t = 60.0 * kPi / 180.0;
    const int tex = w.addTexture(
        w.addImageBytes(pngBytes(dir, 1, 1, normalTexel(std::sin(t), 0, std::cos(t))), "image/png"));
    const int m = bumpyMatte(w, 0.8, tex);
    w.addMesh(unitQuad(m, true, true));
    w.addNode("\"mesh\":0,\"scale\":[100,100,1]");
    w.useExtension("KHR_materials_emissive_strength");
    const int lamp = w.addMaterial("lamp", pbr("0,0,0", 0, 1) +
                                               ",\"emissiveFactor\":[1,1,1],\"extensions\":{\"KHR_materials_"
                                               "emissive_strength\":{\"emissiveStrength\":50}}");
    w.addMesh(unitQuad(lamp));
    // Below the plane, off to +x, facing up.
    w.addNode("\"mesh\":1,\"translation\":[1,0,-0.5]");
    const int cam = w.addPerspectiveCamera(0.5, 1.0);
    w.addNode("\"camera\":" + std::to_string(cam) + ",\"translation\":[0,0,2]");
    ASSERT_TRUE(w.writeGlb(dir + "/leak.glb"));
    const std::vector<Color> img = render(dir + "/leak.glb", 16, smallImage(8, 8));
    ASSERT_EQ(img.size(), 64u);
    for (const Color& c : img) EXPECT_EQ(c.r + c.g + c.b, 0.0f);
}

// Seen at 80 degrees from the surface normal, bumps leaning 45 degrees away
// from the viewer would face away from it: the shading normal is brought
// back towards the surface's, so a white plane in the furnace shows light,
// not black fringes.
TEST(NormalMaps, NoBlackFringesAtGrazingView) {
    const std::string dir = tempDir("normal_grazing");
    GltfWriter w;
    const double t = 45.0 * kPi / 180.0;
    // The camera sits towards -y looking along +y: leaning towards +y is away.
    const int tex = w.addTexture(
        w.addImageBytes(pngBytes(dir, 1, 1, normalTexel(0, std::sin(t), std::cos(t))), "image/png"));
    const int m = bumpyMatte(w, 1.0, tex);
    w.addMesh(unitQuad(m, true, true));
    w.addNode("\"mesh\":0,\"scale\":[1000,1000,1]");
    const double view = 80.0 * kPi / 180.0;  // from the normal (+z)
    const double e = view / 2;               // rotation about +x from looking down -z
    const int cam = w.addPerspectiveCamera(0.05, 1.0);
    w.addNode("\"camera\":" + std::to_string(cam) + ",\"translation\":[0," +
              GltfWriter::num(-std::sin(view)) + "," + GltfWriter::num(std::cos(view)) + "],\"rotation\":[" +
              GltfWriter::num(std::sin(e)) + ",0,0," + GltfWriter::num(std::cos(e)) + "]");
    ASSERT_TRUE(w.writeGlb(dir + "/grazing.glb"));
    Started st = start(dir + "/grazing.glb");
    ASSERT_TRUE(st.ok) << st.out;
    const Vector3d wo(0.0f, static_cast<float>(-std::sin(view)), static_cast<float>(std::cos(view)));
    Vector3d ng;
    const Vector3d ns = shadingNormal(*st.app, 0, wo, &ng);
    EXPECT_GT(dot(ns, wo), 0.0f);                              // faces the viewer
    EXPECT_GE(dot(ns * (2.0f * dot(wo, ns)) - wo, ng), 0.0f);  // and reflects above the surface
    st.app.reset();
    const std::vector<Color> img = render(dir + "/grazing.glb", 32, smallImage(4, 4));
    ASSERT_EQ(img.size(), 16u);
    double mean = 0.0;
    for (const Color& c : img) {
        EXPECT_GT(c.g, 0.5f);
        mean += c.g / 16.0;
    }
    std::printf("white bumped plane at grazing view in the furnace: %.4f\n", mean);
}
