// The dynamic BVH: object subtrees, small-node rules, refit after a move.
#include <gtest/gtest.h>

#include <cstring>

#include "accel/refit.h"
#include "accel_test_util.h"

using namespace lumenar;
using namespace lumenar::test;

namespace {

bool inside(const aabb& inner, const aabb& outer) {
    for (int a = 0; a < 3; ++a)
        if (inner.min[a] < outer.min[a] || inner.max[a] > outer.max[a]) return false;
    return true;
}

aabb worldBox(const Movable& m) {
    return aabb(m.bounds.min + m.offset, m.bounds.max + m.offset);
}

// Every triangle sits in exactly one leaf, and that leaf belongs to the
// triangle's object (or to none for static triangles).
void checkLeaves(const Scene& scene, const BVHTree& bvh) {
    std::vector<int> seen(scene.hostTriangles.size(), 0);
    for (const BVHNode& n : bvh.nodes) {
        if (!n.isLeaf) continue;
        for (int i = 0; i < n.triCount; ++i) {
            const int t = bvh.triIndices[n.triStart + i];
            ++seen[t];
            int owner = -1;
            for (int k = 0; k < scene.movableCount; ++k) {
                const Movable& m = scene.movables[k];
                if (t >= m.firstTriangle && t < m.firstTriangle + m.triangleCount) owner = k;
            }
            EXPECT_EQ(n.object, owner) << "triangle " << t;
        }
    }
    for (std::size_t t = 0; t < seen.size(); ++t) EXPECT_EQ(seen[t], 1) << "triangle " << t;
    EXPECT_EQ(bvh.lostTriangles, 0);
}

}  // namespace

TEST(BVHBuild, ObjectsBecomeSubtreesOfTheirOwn) {
    Scene scene;
    std::mt19937 rng(5);
    addObject(scene, 30, Vector3d(3, 0, 0), 1.0f, rng);
    addObject(scene, 12, Vector3d(-3, 0, 0), 1.0f, rng);  // adjoins the first
    addObject(scene, 3, Vector3d(0, 4, 0), 0.5f, rng);    // small: one leaf
    addRandomSoup(scene, 300, rng);                       // static, after the objects
    finishScene(scene);
    BVHTree bvh;
    ASSERT_TRUE(bvh.buildDynamic(&scene));
    checkLeaves(scene, bvh);
    for (int k = 0; k < 3; ++k) {
        const Movable& m = scene.movables[k];
        ASSERT_GE(m.bvhNode, 0);
        const BVHNode& root = bvh.nodes[m.bvhNode];
        EXPECT_EQ(root.object, k);
        EXPECT_EQ(bvh.nodes[root.parent].object, -1);
        EXPECT_EQ(bvh.nodeRecords[m.bvhNode].object, k);
    }
    const BVHNode& small = bvh.nodes[scene.movables[2].bvhNode];
    EXPECT_TRUE(small.isLeaf);
    EXPECT_EQ(small.triCount, 3);
    EXPECT_LE(bvh.treeDepth, kBvhStackSize);
    // Leaves and inner nodes are encoded as they were built.
    for (std::size_t i = 0; i < bvh.nodes.size(); ++i) {
        const BVHNode& n = bvh.nodes[i];
        const DynamicBVHNodeProp& r = bvh.nodeRecords[i];
        EXPECT_EQ(r.isLeaf(), n.isLeaf);
        EXPECT_EQ(r.parent, n.parent);
        if (n.isLeaf) {
            EXPECT_EQ(r.triCount(), n.triCount);
            EXPECT_EQ(r.triStart(), n.triStart);
        } else {
            EXPECT_EQ(r.first(), n.left);
            EXPECT_EQ(r.second, n.right);
            EXPECT_EQ(r.axis(), n.splitAxis);
        }
    }
}

TEST(BVHBuild, EmptyAndInvalidScenes) {
    {
        Scene scene;
        finishScene(scene);
        BVHTree bvh;
        ASSERT_TRUE(bvh.buildDynamic(&scene));
        ASSERT_EQ(bvh.nodes.size(), 1u);
        EXPECT_TRUE(bvh.nodes[0].isLeaf);
        TreeTraversal tr;
        SurfaceHitRecord h;
        EXPECT_FALSE(tr.intersectMov(Ray(Vector3d(0, 0, -5), Vector3d(0, 0, 1)), &h, bvh.nodeRecords.data(),
                                     bvh.triIndices.data(), nullptr, nullptr, nullptr, aabb()));
    }
    {  // an object naming triangles past the end of the list
        Scene scene;
        std::mt19937 rng(1);
        addRandomSoup(scene, 10, rng);
        Movable m{};
        m.firstTriangle = 8;
        m.triangleCount = 5;
        scene.movables.push_back(m);
        finishScene(scene);
        BVHTree bvh;
        testing::internal::CaptureStdout();
        EXPECT_FALSE(bvh.buildDynamic(&scene));
        EXPECT_NE(testing::internal::GetCapturedStdout().find("outside"), std::string::npos);
    }
}

TEST(BVHBuild, StaticBuildIgnoresObjects) {
    Scene scene;
    std::mt19937 rng(2);
    addObject(scene, 20, Vector3d(0, 0, 0), 1.0f, rng);
    addRandomSoup(scene, 100, rng);
    finishScene(scene);
    BVHTree bvh;
    ASSERT_TRUE(bvh.build(&scene));
    for (const BVHNode& n : bvh.nodes) EXPECT_EQ(n.object, -1);
}

TEST(BVHRefit, SmallMoveInsideTheParentChangesOnlyTheOffset) {
    // Two static triangles around a 2-triangle object: fewer than 5 in all,
    // so the root holds a static leaf and the object leaf.
    Scene scene;
    scene.hostTriangles.push_back(
        makeTriangle(Vector3d(-10, -10, -10), Vector3d(10, -10, -10), Vector3d(0, 10, 10)));
    scene.hostTriangles.push_back(
        makeTriangle(Vector3d(-10, 10, 10), Vector3d(10, 10, -10), Vector3d(0, -10, 10)));
    std::mt19937 rng(8);
    addObject(scene, 2, Vector3d(0, 0, 0), 0.5f, rng);
    finishScene(scene);
    BVHTree bvh;
    ASSERT_TRUE(bvh.buildDynamic(&scene));
    const Movable& m = scene.movables[0];
    ASSERT_TRUE(bvh.nodes[m.bvhNode].isLeaf);
    ASSERT_EQ(bvh.nodes[m.bvhNode].parent, 0);
    const std::vector<DynamicBVHNodeProp> before = bvh.nodeRecords;
    updateBVH(0, Vector3d(0.25f, -0.5f, 0.0f), scene.movables.data(), bvh.nodeRecords.data());
    EXPECT_EQ(m.offset.x, 0.25f);
    EXPECT_EQ(m.offset.y, -0.5f);
    ASSERT_EQ(before.size(), bvh.nodeRecords.size());
    for (std::size_t i = 0; i < before.size(); ++i)
        EXPECT_EQ(0, std::memcmp(&before[i], &bvh.nodeRecords[i], sizeof(DynamicBVHNodeProp))) << i;

    // Past the scene box: the root grows to the object's new place.
    updateBVH(0, Vector3d(50, 0, 0), scene.movables.data(), bvh.nodeRecords.data());
    EXPECT_TRUE(inside(worldBox(m), bvh.nodeRecords[0].box));
    EXPECT_EQ(0, std::memcmp(&before[m.bvhNode], &bvh.nodeRecords[m.bvhNode], sizeof(DynamicBVHNodeProp)));
}

TEST(BVHRefit, MovedObjectIsHitAtItsNewPlace) {
    Scene scene;
    std::mt19937 rng(6);
    addRandomSoup(scene, 400, rng);
    addObject(scene, 60, Vector3d(1, 1, 1), 1.5f, rng);
    addGrid(scene, 5, -6.0f, 2.0f);
    finishScene(scene);
    BVHTree bvh;
    ASSERT_TRUE(bvh.buildDynamic(&scene));
    HostArrays arrays(scene);
    Movable& m = scene.movables[0];

    const Vector3d moves[] = {Vector3d(0.5f, 0, 0), Vector3d(3, -2, 1), Vector3d(40, 0, 0),
                              Vector3d(0, 0, 0)};
    for (const Vector3d& offset : moves) {
        updateBVH(0, offset, scene.movables.data(), bvh.nodeRecords.data());
        // Every ancestor holds the object where it is now; nothing else moved.
        for (int p = bvh.nodes[m.bvhNode].parent; p >= 0; p = bvh.nodes[p].parent)
            EXPECT_TRUE(inside(worldBox(m), bvh.nodeRecords[p].box)) << p;
        // A ray at an object triangle's centre, shifted with the object, hits
        // it at the same distance with the same normal.
        std::mt19937 r2(17);
        std::vector<Ray> rays = makeRays(aabb(scene.bounds.min + offset, scene.bounds.max + offset), 600, r2);
        for (int k = 0; k < 20; ++k) {
            const Triangle& t = scene.hostTriangles[m.firstTriangle + k];
            const Vector3d c = (t.p1 + t.p2 + t.p3) / 3.0f;
            rays.emplace_back(c + offset + Vector3d(0.1f, 0.2f, 5.0f),
                              normalize(Vector3d(-0.1f, -0.2f, -5.0f)));
        }
        for (const Ray& r : rays) {
            const BruteHit b = bruteMT(scene, arrays, r, kRayEpsilon, kRayMaxT);
            TreeTraversal tr;
            SurfaceHitRecord h{};
            const bool f = tr.intersectMov(r, &h, bvh.nodeRecords.data(), bvh.triIndices.data(),
                                           scene.movables.data(), arrays.tris.data(), nullptr, aabb());
            ASSERT_EQ(f, b.tri >= 0);
            if (!f) continue;
            EXPECT_NEAR(h.t, b.t, 1e-4f * std::fmax(1.0f, b.t));
            if (h.triangleIndex == b.tri) {
                float t, u, v;
                ASSERT_TRUE(mtHit(arrays.tris[b.tri], offsetOf(scene, b.tri), r, 0.0f, FLT_MAX, t, u, v));
                const deviceTriangle& d = arrays.tris[b.tri];
                const Vector3d n = normalize(d.normal1 * (1 - u - v) + d.normal2 * u + d.normal3 * v);
                EXPECT_NEAR(dot(n, h.normal), 1.0f, 1e-4f);
            }
            // Occlusion and the visibility test see the same geometry.
            EXPECT_TRUE(tr.occludeMov(r, b.t + 0.01f, bvh.nodeRecords.data(), bvh.triIndices.data(),
                                      scene.movables.data(), arrays.tris.data(), nullptr, aabb()));
            EXPECT_FALSE(tr.occludeMov(r, b.t * 0.9f, bvh.nodeRecords.data(), bvh.triIndices.data(),
                                       scene.movables.data(), arrays.tris.data(), nullptr, aabb()));
        }
    }
}

TEST(BVHQueries, FindReportsWhetherTheTargetIsVisible) {
    Scene scene;
    scene.hostTriangles.push_back(makeTriangle(Vector3d(-1, -1, 0), Vector3d(1, -1, 0), Vector3d(0, 1, 0)));
    scene.hostTriangles.push_back(makeTriangle(Vector3d(4, -1, 0), Vector3d(6, -1, 0), Vector3d(5, 1, 0)));
    finishScene(scene);
    BVHTree bvh;
    ASSERT_TRUE(bvh.buildDynamic(&scene));
    HostArrays a(scene);
    TreeTraversal tr;
    auto find = [&](const Ray& r, int target) {
        return tr.intersectFind(r, nullptr, bvh.nodeRecords.data(), bvh.triIndices.data(), nullptr,
                                a.tris.data(), nullptr, aabb(), target);
    };
    const Ray toFirst(Vector3d(0, 0, 5), Vector3d(0, 0, -1));
    EXPECT_TRUE(find(toFirst, 0));
    EXPECT_FALSE(find(toFirst, 1));
    EXPECT_FALSE(find(Ray(Vector3d(20, 0, 5), Vector3d(0, 0, -1)), 0));
    EXPECT_EQ(tr.top, -1);
}

TEST(BVHBuild, ObjectInsideWallsIsStillSplit) {
    // Walls spanning the whole box leave no plane that separates anything
    // until the object's own bounds; the object must still get a real
    // subtree rather than one leaf of all its triangles.
    Scene scene;
    std::mt19937 rng(12);
    addObject(scene, 2000, Vector3d(5, 3, 5), 1.5f, rng);
    const float L = 10.0f;
    for (int axis = 0; axis < 3; ++axis)
        for (float side : {0.0f, L}) {
            Vector3d p[4];
            for (int q = 0; q < 4; ++q) {
                p[q][axis] = side;
                p[q][(axis + 1) % 3] = (q == 1 || q == 2) ? L : 0.0f;
                p[q][(axis + 2) % 3] = q >= 2 ? L : 0.0f;
            }
            scene.hostTriangles.push_back(makeTriangle(p[0], p[1], p[2]));
            scene.hostTriangles.push_back(makeTriangle(p[0], p[2], p[3]));
        }
    finishScene(scene);
    BVHTree bvh;
    ASSERT_TRUE(bvh.buildDynamic(&scene));
    checkLeaves(scene, bvh);
    int largest = 0;
    for (const BVHNode& n : bvh.nodes)
        if (n.isLeaf) largest = std::max(largest, n.triCount);
    EXPECT_LE(largest, 16);
    // No split leaves one child empty and the other holding everything.
    for (const BVHNode& n : bvh.nodes) {
        if (n.isLeaf) {
            EXPECT_TRUE(n.triCount > 0 || n.parent < 0) << n.index;
        }
    }
}
