// Alpha of imported materials: a mask cut-out casts the shadow of its opaque
// part and is seen through elsewhere, in the path tracer's walks (the BVH)
// and in Metropolis's (the kd-tree), as the same scene built without the
// cut-away part renders; a blended material lets through the share of light
// its opacity leaves.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "import_test_util.h"
#include "render/cutout.h"

using namespace lumenar;
using namespace lumenar::test;

namespace {

constexpr int kNearest = 9728, kClamp = 33071;

// Floor (y = 0), a square lamp above (y = 4) and between them a 2 x 2
// blocker at y = 1: with `cutOut` a square whose right half the texture's
// alpha cuts away; otherwise only its left half, as geometry (or, with
// `whole`, the whole square). The camera looks down on it from the side.
std::string shadowScene(const std::string& dir, bool cutOut, bool whole = false) {
    GltfWriter w;
    w.useExtension("KHR_materials_ior");
    w.useExtension("KHR_materials_emissive_strength");
    const int floor = w.addMaterial(
        "floor", pbr("0.5,0.5,0.5", 0, 1) + ",\"extensions\":{\"KHR_materials_ior\":{\"ior\":1.0}}");
    const int lamp = w.addMaterial("lamp", pbr("0,0,0", 0, 1) +
                                               ",\"emissiveFactor\":[1,1,1],\"extensions\":{\"KHR_materials_"
                                               "emissive_strength\":{\"emissiveStrength\":4}}");
    std::string blockerFields = pbr("0,0,0", 0, 1);
    if (cutOut) {
        // Two texels: opaque (alpha 255) on the left, cut away on the right.
        const int tex = w.addTexture(
            w.addImageBytes(pngBytes(dir, 2, 1, {255, 255, 255, 255, 255, 255, 255, 0}), "image/png"), kClamp,
            kClamp, kNearest, kNearest);
        blockerFields = pbr("0,0,0", 0, 1, ",\"baseColorTexture\":{\"index\":" + std::to_string(tex) + "}") +
                        ",\"alphaMode\":\"MASK\"";
    }
    const int blocker = w.addMaterial("blocker", blockerFields);
    GltfWriter::Mesh f;
    f.positions = {-20, 0, 20, 20, 0, 20, 20, 0, -20, -20, 0, -20};
    f.indices = {0, 1, 2, 0, 2, 3};
    f.material = floor;
    w.addMesh(f);
    GltfWriter::Mesh l;
    l.positions = {-1, 4, -1, 1, 4, -1, 1, 4, 1, -1, 4, 1};  // facing down
    l.indices = {0, 1, 2, 0, 2, 3};
    l.material = lamp;
    w.addMesh(l);
    GltfWriter::Mesh b;
    const float right = cutOut || whole ? 1.0f : 0.0f;
    b.positions = {-1, 1, -1, right, 1, -1, right, 1, 1, -1, 1, 1};
    b.uvs = {0, 0, 1, 0, 1, 1, 0, 1};
    b.indices = {0, 1, 2, 0, 2, 3};
    b.material = blocker;
    w.addMesh(b);
    for (int m = 0; m < 3; ++m) w.addNode("\"mesh\":" + std::to_string(m));
    const int cam = w.addPerspectiveCamera(1.2, 1.0);
    const double a = -0.6;  // looking down, 0.6 radians below the horizon... about x
    w.addNode("\"camera\":" + std::to_string(cam) + ",\"translation\":[0,3.5,4.5],\"rotation\":[" +
              GltfWriter::num(std::sin(a / 2)) + ",0,0," + GltfWriter::num(std::cos(a / 2)) + "]");
    const std::string path = dir + (cutOut ? "/cutout.glb" : whole ? "/whole.glb" : "/half.glb");
    EXPECT_TRUE(w.writeGlb(path));
    return path;
}

// Mean of each quarter of an r x r image (left to right, bottom to top).
std::vector<double> quarters(const std::vector<Color>& img, int r) {
    std::vector<double> q(4, 0.0);
    for (int y = 0; y < r; ++y)
        for (int x = 0; x < r; ++x) {
            const Color& c = img[static_cast<std::size_t>(y * r + x)];
            q[static_cast<std::size_t>((y * 2 / r) * 2 + x * 2 / r)] +=
                (c.r + c.g + c.b) / 3.0 / (r * r / 4.0);
        }
    return q;
}

}  // namespace

// The blocker's cut-away half neither blocks light nor the view: floor,
// shadow and blocker render as with only the other half built, through the
// path tracer's BVH and through Metropolis's kd-tree.
TEST(CutOuts, MaskCastsTheShadowOfItsOpaquePart) {
    const std::string dir = tempDir("cutout_shadow");
    const int r = 16;
    for (bool metropolis : {false, true}) {
        const int frames = metropolis ? 400 : 64;
        const std::vector<Color> cut = render(shadowScene(dir, true), frames, smallImage(r, r), metropolis);
        const std::vector<Color> half = render(shadowScene(dir, false), frames, smallImage(r, r), metropolis);
        ASSERT_EQ(cut.size(), static_cast<std::size_t>(r * r));
        ASSERT_EQ(half.size(), cut.size());
        const std::vector<double> a = quarters(cut, r), b = quarters(half, r);
        for (int k = 0; k < 4; ++k)
            EXPECT_NEAR(a[static_cast<std::size_t>(k)], b[static_cast<std::size_t>(k)],
                        (metropolis ? 0.06 : 0.02) * b[static_cast<std::size_t>(k)] + 1e-3)
                << (metropolis ? "Metropolis" : "path tracer") << ", quarter " << k;
        // Without the cut, the right half would shadow the floor too: the
        // image differs where that shadow falls.
        if (!metropolis) {
            const std::vector<double> c =
                quarters(render(shadowScene(dir, false, true), frames, smallImage(r, r)), r);
            double most = 0.0;
            for (int k = 0; k < 4; ++k)
                most = std::max(
                    most, std::fabs(c[static_cast<std::size_t>(k)] / b[static_cast<std::size_t>(k)] - 1.0));
            EXPECT_GT(most, 0.1);
        }
        std::printf("%s quarters (cut-out / half): %.4f %.4f %.4f %.4f / %.4f %.4f %.4f %.4f\n",
                    metropolis ? "Metropolis" : "path tracer", a[0], a[1], a[2], a[3], b[0], b[1], b[2],
                    b[3]);
    }
}

// The queries themselves: a ray through the cut-away part meets the floor
// behind it; a shadow ray through it is not blocked; through the opaque part
// both stop at the blocker.
TEST(CutOuts, QueriesPassOverWhatTheMaskCutsAway) {
    const std::string dir = tempDir("cutout_queries");
    Started st = start(shadowScene(dir, true));
    ASSERT_TRUE(st.ok) << st.out;
    const SceneTextures& t = st.app->sceneTextures();
    ASSERT_EQ(t.cutOuts, 1);
    // A brute-force walk over every triangle stands in for the trees.
    const Scene& sc = st.app->scene();
    auto brute = [&](const Ray& ray, SurfaceHitRecord* rec) {
        bool found = false;
        for (int i = 0; i < sc.triangleCount; ++i) {
            const Triangle& tri = sc.hostTriangles[static_cast<std::size_t>(i)];
            const Vector3d e1 = tri.p2 - tri.p1, e2 = tri.p3 - tri.p1, pv = cross(ray.direction, e2);
            const float det = dot(e1, pv);
            if (std::fabs(det) < 1e-12f) continue;
            const Vector3d tv = ray.origin - tri.p1;
            const float u = dot(tv, pv) / det;
            const Vector3d qv = cross(tv, e1);
            const float v = dot(ray.direction, qv) / det, d = dot(e2, qv) / det;
            if (u < 0 || v < 0 || u + v > 1 || d < 1e-5f || (found && d >= rec->t)) continue;
            rec->t = d;
            rec->triangleIndex = i;
            rec->materialIndex = tri.materialIndex;
            rec->b1 = u;
            rec->b2 = v;
            found = true;
        }
        return found;
    };
    const Vector3d down(0, -1, 0);
    SurfaceHitRecord rec;
    ASSERT_TRUE(nearestOpaqueHit(t, Ray(Vector3d(0.5f, 3, 0), down), &rec, brute));
    EXPECT_NEAR(rec.t, 3.0, 1e-4);  // the floor, through the cut-away half
    ASSERT_TRUE(nearestOpaqueHit(t, Ray(Vector3d(-0.5f, 3, 0), down), &rec, brute));
    EXPECT_NEAR(rec.t, 2.0, 1e-4);  // the blocker's opaque half
    EXPECT_FALSE(blockedThroughCutOuts(t, Vector3d(0.5f, 0, 0), Vector3d(0, 1, 0), 3.9f, brute));
    EXPECT_TRUE(blockedThroughCutOuts(t, Vector3d(-0.5f, 0, 0), Vector3d(0, 1, 0), 3.9f, brute));
    // Up to the cut-out and no further: nothing in the way.
    EXPECT_FALSE(blockedThroughCutOuts(t, Vector3d(-0.5f, 0, 0), Vector3d(0, 1, 0), 0.9f, brute));
}

// A blended square of opacity 0.3 (its base colour's alpha, times a vertex
// colour's) in front of a lamp: the camera sees 0.7 of the lamp through it,
// on average over its samples.
TEST(CutOuts, BlendLetsThroughWhatItsOpacityLeaves) {
    const std::string dir = tempDir("blend");
    GltfWriter w;
    w.useExtension("KHR_materials_emissive_strength");
    const int lamp = w.addMaterial("lamp", pbr("0,0,0", 0, 1) +
                                               ",\"emissiveFactor\":[1,1,1],\"extensions\":{\"KHR_materials_"
                                               "emissive_strength\":{\"emissiveStrength\":2}}");
    const int veil = w.addMaterial("veil",
                                   "\"pbrMetallicRoughness\":{\"baseColorFactor\":[0,0,0,0.6],"
                                   "\"metallicFactor\":0,\"roughnessFactor\":1},\"alphaMode\":\"BLEND\"");
    w.addMesh(unitQuad(lamp));
    GltfWriter::Mesh v = unitQuad(veil);
    v.colors = {1, 1, 1, 0.5f, 1, 1, 1, 0.5f, 1, 1, 1, 0.5f, 1, 1, 1, 0.5f};
    w.addMesh(v);
    w.addNode("\"mesh\":0,\"scale\":[10,10,1]");
    w.addNode("\"mesh\":1,\"scale\":[10,10,1],\"translation\":[0,0,1]");
    const int cam = w.addPerspectiveCamera(0.5, 1.0);
    w.addNode("\"camera\":" + std::to_string(cam) + ",\"translation\":[0,0,3]");
    ASSERT_TRUE(w.writeGlb(dir + "/blend.glb"));
    const int frames = 64;
    const std::vector<Color> img = render(dir + "/blend.glb", frames, smallImage(8, 8));
    ASSERT_EQ(img.size(), 64u);
    // Each sample shows 2 or 0: the mean of n samples has standard error
    // 2 sqrt(p (1 - p) / n).
    const double n = 64.0 * frames, p = 0.7;
    EXPECT_NEAR(meanLuminance(img), 2.0 * p, 4 * 2.0 * std::sqrt(p * (1 - p) / n));
}
