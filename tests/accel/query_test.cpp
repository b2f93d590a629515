// Both trees against brute force over all triangles, and against each other.
#include <gtest/gtest.h>

#include <cmath>

#include "accel_test_util.h"
#include "app/startup.h"

using namespace lumenar;
using namespace lumenar::test;

namespace {

constexpr float kRelTol = 1e-4f;

bool nearT(float a, float b) {
    return std::fabs(a - b) <= kRelTol * std::fmax(1.0f, std::fabs(b));
}

// Normal of triangle tri at the hit point, interpolated like the kd-tree hit
// record, unit length.
Vector3d oracleNormal(const HostArrays& a, int tri, const Ray& ray) {
    SurfaceHitRecord h;
    EXPECT_TRUE(TreeTraversal::computeHit(a.woop.data(), a.tris.data(), ray, tri, 0.0f, FLT_MAX, h));
    return normalize(h.normal);
}

struct Trees {
    Scene& scene;
    HostArrays arrays;
    KdTree kd;
    BVHTree bvh;
    aabb box;
    Trees(Scene& s, int mode) : scene(s), arrays(s) {
        aabb b = s.bounds;
        EXPECT_TRUE(kd.build(&s, b, mode));
        EXPECT_TRUE(bvh.buildDynamic(&s));
        box = enlargedBox(kd.bbox);
    }
    bool kdHit(const Ray& r, SurfaceHitRecord& h) {
        TreeTraversal tr;
        const bool f = tr.intersect(r, &h, arrays.woop.data(), kd.nodeRecords.data(), kd.triIndices.data(),
                                    arrays.tris.data(), nullptr, box);
        EXPECT_EQ(tr.top, -1);
        return f;
    }
    bool kdOcclude(const Ray& r, float dist) {
        TreeTraversal tr;
        const bool f = tr.occlude(r, dist, arrays.woop.data(), kd.nodeRecords.data(), kd.triIndices.data(),
                                  arrays.tris.data(), nullptr, box);
        EXPECT_EQ(tr.top, -1);
        return f;
    }
    bool bvhHit(const Ray& r, SurfaceHitRecord& h) {
        TreeTraversal tr;
        const bool f = tr.intersectMov(r, &h, bvh.nodeRecords.data(), bvh.triIndices.data(),
                                       scene.movables.data(), arrays.tris.data(), nullptr, box);
        EXPECT_EQ(tr.top, -1);
        return f;
    }
    bool bvhOcclude(const Ray& r, float dist) {
        TreeTraversal tr;
        const bool f = tr.occludeMov(r, dist, bvh.nodeRecords.data(), bvh.triIndices.data(),
                                     scene.movables.data(), arrays.tris.data(), nullptr, box);
        EXPECT_EQ(tr.top, -1);
        return f;
    }
};

void checkAgainstBruteForce(Scene& scene, int mode, int rayCount, unsigned seed) {
    Trees trees(scene, mode);
    std::mt19937 rng(seed);
    const std::vector<Ray> rays = makeRays(scene.bounds, rayCount, rng);
    int hits = 0;
    for (std::size_t i = 0; i < rays.size(); ++i) {
        const Ray& r = rays[i];
        SCOPED_TRACE(testing::Message() << "ray " << i << " mode " << mode);
        const BruteHit bw = bruteWoop(trees.arrays, r, kRayEpsilon, kRayMaxT);
        const BruteHit bm = bruteMT(scene, trees.arrays, r, kRayEpsilon, kRayMaxT);
        SurfaceHitRecord hk{}, hb{};
        const bool fk = trees.kdHit(r, hk);
        const bool fb = trees.bvhHit(r, hb);
        ASSERT_EQ(fk, bw.tri >= 0);
        ASSERT_EQ(fb, bm.tri >= 0);
        if (fk) {
            ++hits;
            EXPECT_TRUE(nearT(hk.t, bw.t)) << hk.t << " vs " << bw.t;
            if (hk.triangleIndex == bw.tri) {
                const Vector3d n = oracleNormal(trees.arrays, bw.tri, r);
                EXPECT_NEAR(dot(n, hk.normal), 1.0f, 1e-4f);
                EXPECT_EQ(hk.materialIndex, scene.hostTriangles[bw.tri].materialIndex);
            }
            EXPECT_NEAR(length(hk.p - r.at(hk.t)), 0.0f, 1e-4f);
        }
        if (fb) {
            EXPECT_TRUE(nearT(hb.t, bm.t)) << hb.t << " vs " << bm.t;
            EXPECT_EQ(hb.materialIndex, scene.hostTriangles[hb.triangleIndex].materialIndex);
            EXPECT_NEAR(length(hb.normal), 1.0f, 1e-4f);
        }
        if (fk && fb) {
            EXPECT_TRUE(nearT(hk.t, hb.t)) << hk.t << " vs " << hb.t;
            if (hk.triangleIndex == hb.triangleIndex) {
                EXPECT_NEAR(dot(hk.normal, hb.normal), 1.0f, 1e-3f);
            }
        }

        // Occlusion towards a point part-way along the ray.
        const float dist = std::uniform_real_distribution<float>(0.01f, 40.0f)(rng);
        const float tmax = static_cast<float>(static_cast<double>(dist) - 0.001);
        const bool blockedW = bruteWoop(trees.arrays, r, kRayEpsilon, tmax).tri >= 0;
        const bool blockedM = bruteMT(scene, trees.arrays, r, kRayEpsilon, tmax).tri >= 0;
        EXPECT_EQ(trees.kdOcclude(r, dist), blockedW);
        EXPECT_EQ(trees.bvhOcclude(r, dist), blockedM);
    }
    EXPECT_GT(hits, rayCount / 10);
}

}  // namespace

TEST(TreeQueries, AgreeWithBruteForceOnMixedScene) {
    for (int mode : {KdTree::kClipping, KdTree::kDuplicating}) {
        Scene scene;
        std::mt19937 rng(7);
        makeMixedScene(scene, 600, rng);
        checkAgainstBruteForce(scene, mode, 3000, 11 + mode);
    }
}

TEST(TreeQueries, AgreeWithBruteForceWithMovableObjects) {
    Scene scene;
    std::mt19937 rng(3);
    addRandomSoup(scene, 200, rng);
    addObject(scene, 40, Vector3d(2, 2, 2), 2.0f, rng);
    addObject(scene, 3, Vector3d(-4, 0, 1), 1.0f, rng);  // a small object: its own leaf
    addGrid(scene, 6, -3.0f, 1.0f);
    finishScene(scene);
    checkAgainstBruteForce(scene, KdTree::kClipping, 2000, 5);
}

TEST(TreeQueries, FlatAndDenseScenes) {
    {  // everything in one plane, rays in and parallel to it
        Scene scene;
        addGrid(scene, 20, 1.0f, 0.5f);
        finishScene(scene);
        checkAgainstBruteForce(scene, KdTree::kClipping, 1000, 2);
    }
    {  // many overlapping triangles: leaves beyond the 6-bit count
        Scene scene;
        std::mt19937 rng(9);
        for (int i = 0; i < 150; ++i)
            scene.hostTriangles.push_back(makeSmoothTriangle(
                Vector3d(-1, -1, 0.001f * i), Vector3d(1, -1, 0.002f * i), Vector3d(0, 1, -0.001f * i)));
        finishScene(scene);
        checkAgainstBruteForce(scene, KdTree::kClipping, 1000, 4);
    }
}

TEST(TreeQueries, HitRecordFromTheUnitTriangleMap) {
    Scene scene;
    Triangle t = makeTriangle(Vector3d(0, 0, 0), Vector3d(2, 0, 0), Vector3d(0, 3, 0), 4);
    t.normal1 = Vector3d(1, 0, 0);
    t.normal2 = Vector3d(0, 1, 0);
    t.normal3 = Vector3d(0, 0, 1);
    t.isLight = 1;
    scene.hostTriangles.push_back(t);
    finishScene(scene);
    HostArrays a(scene);
    // The map sends p1, p2, p3 to (1,0,0), (0,1,0), (0,0,0).
    const float* L = scene.hostTriangles[0].woopRows;
    auto map = [&](const Vector3d& p) {
        return Vector3d(L[0] * p.x + L[1] * p.y + L[2] * p.z + L[9],
                        L[3] * p.x + L[4] * p.y + L[5] * p.z + L[10],
                        L[6] * p.x + L[7] * p.y + L[8] * p.z + L[11]);
    };
    const Vector3d m1 = map(t.p1), m2 = map(t.p2), m3 = map(t.p3);
    EXPECT_NEAR(m1.x, 1, 1e-6);
    EXPECT_NEAR(m1.y, 0, 1e-6);
    EXPECT_NEAR(m2.y, 1, 1e-6);
    EXPECT_NEAR(m2.x, 0, 1e-6);
    EXPECT_NEAR(length(m3), 0, 1e-6);
    // Near each vertex the normal is that vertex's normal.
    const Vector3d verts[3] = {t.p1, t.p2, t.p3};
    const Vector3d normals[3] = {t.normal1, t.normal2, t.normal3};
    const Vector3d centre = (t.p1 + t.p2 + t.p3) / 3.0f;
    for (int k = 0; k < 3; ++k) {
        const Vector3d target = verts[k] + (centre - verts[k]) * 0.001f;
        const Ray r(target + Vector3d(0, 0, 5), Vector3d(0, 0, -1));
        SurfaceHitRecord h;
        ASSERT_TRUE(TreeTraversal::computeHit(a.woop.data(), a.tris.data(), r, 0, 0.0f, FLT_MAX, h));
        EXPECT_NEAR(h.t, 5.0f, 1e-5f);
        EXPECT_GT(dot(normalize(h.normal), normals[k]), 0.99f);
        EXPECT_EQ(h.materialIndex, 4);
        EXPECT_TRUE(h.isLight);
        // Both faces are hit.
        const Ray back(target - Vector3d(0, 0, 5), Vector3d(0, 0, 1));
        EXPECT_EQ(TreeTraversal::computeShadowHit(a.woop.data(), a.tris.data(), back, 0, 0.0f, 10.0f), 0);
        EXPECT_EQ(TreeTraversal::computeShadowHit(a.woop.data(), a.tris.data(), back, 0, 0.0f, 4.9f), -1);
    }
}

TEST(TreeQueries, ShadowIntervalAndRayOrigin) {
    Scene scene;
    scene.hostTriangles.push_back(makeTriangle(Vector3d(-1, -1, 0), Vector3d(1, -1, 0), Vector3d(0, 1, 0)));
    scene.hostTriangles.push_back(makeTriangle(Vector3d(-1, -1, 4), Vector3d(1, -1, 4), Vector3d(0, 1, 4)));
    finishScene(scene);
    Trees trees(scene, KdTree::kClipping);
    const Ray r(Vector3d(0, 0, -2), Vector3d(0, 0, 1));
    // A blocker at dist - 0.002 counts, one at dist does not.
    EXPECT_TRUE(trees.kdOcclude(r, 2.002f));
    EXPECT_FALSE(trees.kdOcclude(r, 2.0f));
    EXPECT_TRUE(trees.bvhOcclude(r, 2.002f));
    EXPECT_FALSE(trees.bvhOcclude(r, 2.0f));
    // A ray starting between the triangles sees only the one ahead.
    const Ray inside(Vector3d(0, 0, 1), Vector3d(0, 0, 1));
    SurfaceHitRecord h;
    ASSERT_TRUE(trees.kdHit(inside, h));
    EXPECT_EQ(h.triangleIndex, 1);
    EXPECT_FLOAT_EQ(h.t, 3.0f);
    ASSERT_TRUE(trees.bvhHit(inside, h));
    EXPECT_EQ(h.triangleIndex, 1);
    // A ray that misses the box.
    const Ray away(Vector3d(0, 0, -2), Vector3d(0, 0, -1));
    EXPECT_FALSE(trees.kdHit(away, h));
    EXPECT_FALSE(trees.bvhHit(away, h));
}
