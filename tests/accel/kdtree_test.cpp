// The kd-tree build: tree shape, numbering, leaf lists, clipping, encoding.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <functional>

#include "accel_test_util.h"
#include "app/startup.h"

using namespace lumenar;
using namespace lumenar::test;

namespace {

// Depth of every node (root 0).
std::vector<int> nodeDepths(const KdTree& kd) {
    std::vector<int> d(kd.nodes.size(), 0);
    for (std::size_t i = 1; i < kd.nodes.size(); ++i) d[i] = d[kd.nodes[i].parent] + 1;
    return d;
}

// Node numbering and leaf order follow a depth-first build that creates both
// children of a node together and finishes the left subtree first.
void checkNumberingAndLeafOrder(const KdTree& kd) {
    int next = 1;
    int nextStart = 0;
    std::function<void(int)> visit = [&](int n) {
        const KdNode& nd = kd.nodes[n];
        ASSERT_EQ(nd.index, n);
        if (nd.isLeaf) {
            EXPECT_EQ(nd.triStart, nextStart);
            EXPECT_TRUE(std::is_sorted(nd.tris.begin(), nd.tris.end()));
            EXPECT_TRUE(std::adjacent_find(nd.tris.begin(), nd.tris.end()) == nd.tris.end());
            for (int i = 0; i < nd.triCount; ++i) EXPECT_EQ(kd.triIndices[nd.triStart + i], nd.tris[i]);
            nextStart += nd.triCount;
            return;
        }
        ASSERT_EQ(nd.left, next);
        ASSERT_EQ(nd.right, next + 1);
        EXPECT_EQ(kd.nodes[nd.left].parent, n);
        EXPECT_EQ(kd.nodes[nd.right].parent, n);
        next += 2;
        visit(nd.left);
        visit(nd.right);
    };
    visit(0);
    EXPECT_EQ(next, static_cast<int>(kd.nodes.size()));
    EXPECT_EQ(nextStart, static_cast<int>(kd.triIndices.size()));
}

Triangle spanning(float x0, float x1) {  // full y and z extent of [-1, 1]
    return makeTriangle(Vector3d(x0, -1, -1), Vector3d(x1, 1, -1), Vector3d(0.5f * (x0 + x1), 0, 1));
}

}  // namespace

TEST(KdTreeBuild, DepthLimit) {
    EXPECT_EQ(KdTree::depthLimit(1), 8);
    EXPECT_EQ(KdTree::depthLimit(1000000), 34);
    EXPECT_EQ(KdTree::depthLimit(270000), 31);
    EXPECT_EQ(KdTree::depthLimit(280000), 32);
    EXPECT_EQ(KdTree::depthLimit(0), 8);
    // No scene we can index reaches past the traversal stack.
    EXPECT_LE(KdTree::depthLimit(INT_MAX) + 1, kKdStackSize);
}

TEST(KdTreeBuild, SmallScenesBecomeOneLeaf) {
    {  // one triangle whose box is the scene box: every candidate costs 1.2
        Scene scene;
        scene.hostTriangles.push_back(
            makeTriangle(Vector3d(0, 0, 0), Vector3d(1, 2, 0), Vector3d(0.5f, 1, 3)));
        finishScene(scene);
        KdTree kd;
        aabb box = scene.bounds;
        ASSERT_TRUE(kd.build(&scene, box, KdTree::kClipping));
        EXPECT_EQ(kd.maxDepth, 8);
        ASSERT_EQ(kd.nodes.size(), 1u);
        EXPECT_TRUE(kd.nodes[0].isLeaf);
        EXPECT_EQ(kd.nodes[0].splitAxis, 3);
        EXPECT_EQ(kd.triIndices, std::vector<int>{0});
        EXPECT_TRUE(kd.nodeRecords[0].isLeaf());
        EXPECT_EQ(kd.nodeRecords[0].triCount(), 1);
    }
    {  // no triangles at all
        Scene scene;
        finishScene(scene);
        KdTree kd;
        aabb box(Vector3d(-1, -1, -1), Vector3d(1, 1, 1));
        ASSERT_TRUE(kd.build(&scene, box, KdTree::kClipping));
        ASSERT_EQ(kd.nodes.size(), 1u);
        EXPECT_TRUE(kd.nodes[0].isLeaf);
        EXPECT_EQ(kd.nodeRecords[0].triCount(), 0);
        HostArrays a(scene);
        TreeTraversal tr;
        SurfaceHitRecord h;
        EXPECT_FALSE(tr.intersect(Ray(Vector3d(0, 0, -5), Vector3d(0, 0, 1)), &h, a.woop.data(),
                                  kd.nodeRecords.data(), kd.triIndices.data(), a.tris.data(), nullptr, box));
    }
}

TEST(KdTreeBuild, FirstOfEqualCostsAndNumbering) {
    Scene scene;
    scene.hostTriangles.push_back(spanning(-2, -1));
    scene.hostTriangles.push_back(spanning(1, 2));
    finishScene(scene);
    KdTree kd;
    aabb box(Vector3d(-2, -1, -1), Vector3d(2, 1, 1));
    ASSERT_TRUE(kd.build(&scene, box, KdTree::kClipping));
    // Splitting at -1 and at 1 cost the same; the first in event order wins.
    ASSERT_FALSE(kd.nodes[0].isLeaf);
    EXPECT_EQ(kd.nodes[0].splitAxis, 0);
    EXPECT_EQ(kd.nodes[0].splitPos, -1.0f);
    ASSERT_EQ(kd.nodes.size(), 3u);
    EXPECT_EQ(kd.nodes[1].tris, std::vector<int>{0});
    EXPECT_EQ(kd.nodes[2].tris, std::vector<int>{1});
    EXPECT_EQ(kd.nodes[1].bbox.max.x, -1.0f);
    EXPECT_EQ(kd.nodes[2].bbox.min.x, -1.0f);
    EXPECT_EQ(kd.nodeRecords[0].lowerField(), 1u);
    EXPECT_EQ(kd.nodeRecords[0].upperChild(), 2);
}

TEST(KdTreeBuild, PlanarTrianglesOnTheSplitPlane) {
    for (float xmax : {1.0f, 1.5f}) {
        Scene scene;
        for (int i = 0; i < 5; ++i)
            scene.hostTriangles.push_back(makeTriangle(Vector3d(0, -0.5f, -0.5f + 0.1f * i),
                                                       Vector3d(0, 0.5f, -0.5f + 0.1f * i),
                                                       Vector3d(0, 0, 0.5f)));
        finishScene(scene);
        KdTree kd;
        aabb box(Vector3d(-1, -1, -1), Vector3d(xmax, 1, 1));
        ASSERT_TRUE(kd.build(&scene, box, KdTree::kClipping));
        ASSERT_FALSE(kd.nodes[0].isLeaf);
        EXPECT_EQ(kd.nodes[0].splitAxis, 0);
        EXPECT_EQ(kd.nodes[0].splitPos, 0.0f);
        // Equal costs send them right; a larger right side makes left cheaper.
        const KdNode& empty = kd.nodes[xmax == 1.0f ? 1 : 2];
        EXPECT_TRUE(empty.isLeaf);
        EXPECT_EQ(empty.triCount, 0);
        checkNumberingAndLeafOrder(kd);
    }
}

TEST(KdTreeBuild, ShapeOfLargerTrees) {
    for (int mode : {KdTree::kClipping, KdTree::kDuplicating}) {
        Scene scene;
        std::mt19937 rng(21);
        makeMixedScene(scene, 2000, rng);
        KdTree kd;
        aabb box = scene.bounds;
        ASSERT_TRUE(kd.build(&scene, box, mode));
        EXPECT_EQ(kd.wrongSides, 0);
        checkNumberingAndLeafOrder(kd);
        const std::vector<int> depth = nodeDepths(kd);
        std::vector<bool> listed(scene.hostTriangles.size(), false);
        for (const KdNode& n : kd.nodes) {
            if (!n.isLeaf) {
                EXPECT_LE(depth[n.index], kd.maxDepth);
                continue;
            }
            EXPECT_LE(depth[n.index], kd.maxDepth + 1);
            for (int t : n.tris) listed[t] = true;
        }
        // Every triangle with area lands in some leaf.
        for (std::size_t t = 0; t < listed.size(); ++t)
            if (scene.hostTriangles[t].area > 0.0f) {
                EXPECT_TRUE(listed[t]) << t;
            }
    }
}

TEST(KdTreeBuild, ClippingGivesExactPartBoxes) {
    Scene scene;
    scene.hostTriangles.push_back(makeTriangle(Vector3d(0, 0, 0), Vector3d(2, 0, 0), Vector3d(0, 2, 0)));
    scene.hostTriangles.push_back(makeTriangle(Vector3d(1, 0, 0), Vector3d(2, 0, 0), Vector3d(1, 1, 0)));
    finishScene(scene);
    KdTree kd;
    kd.scene = &scene;
    const aabb left(Vector3d(0, 0, -1), Vector3d(1, 2, 1)), right(Vector3d(1, 0, -1), Vector3d(2, 2, 1));
    aabb lb, rb;
    kd.clipTriangle(0, 1.0f, 0, left, right, lb, rb);
    EXPECT_EQ(lb.min.x, 0.0f);
    EXPECT_EQ(lb.max.x, 1.0f);
    EXPECT_EQ(lb.max.y, 2.0f);
    EXPECT_EQ(lb.min.z, 0.0f);
    EXPECT_EQ(lb.max.z, 0.0f);
    EXPECT_EQ(rb.min.x, 1.0f);
    EXPECT_EQ(rb.max.x, 2.0f);
    EXPECT_EQ(rb.min.y, 0.0f);
    EXPECT_EQ(rb.max.y, 1.0f);
    // A triangle that only touches the plane is not split.
    kd.clipTriangle(1, 1.0f, 0, left, right, lb, rb);
    EXPECT_TRUE(lb.isEmpty());
    EXPECT_TRUE(rb.isEmpty());
    // Clipping to a box the triangle never enters leaves that side empty.
    const aabb far(Vector3d(1, 1.5f, -1), Vector3d(2, 2, 1));
    kd.clipTriangle(0, 1.0f, 0, left, far, lb, rb);
    EXPECT_FALSE(lb.isEmpty());
    EXPECT_TRUE(rb.isEmpty());
}

TEST(KdTreeBuild, StraddlersInBothSubtreesOnlyWhenTheyEnter) {
    // A long thin diagonal triangle crossing many cells of a grid.
    Scene scene;
    addGrid(scene, 8, 0.0f, 1.0f);
    scene.hostTriangles.push_back(makeTriangle(Vector3d(-4, -4, 1), Vector3d(4, 4, 1), Vector3d(4, 4, 1.2f)));
    finishScene(scene);
    const int diag = scene.triangleCount - 1;
    std::size_t leavesClip = 0, leavesDup = 0;
    for (int mode : {KdTree::kClipping, KdTree::kDuplicating}) {
        KdTree kd;
        aabb box = scene.bounds;
        ASSERT_TRUE(kd.build(&scene, box, mode));
        std::size_t& leaves = mode == KdTree::kClipping ? leavesClip : leavesDup;
        for (const KdNode& n : kd.nodes)
            if (n.isLeaf && std::binary_search(n.tris.begin(), n.tris.end(), diag)) ++leaves;
    }
    EXPECT_GT(leavesClip, 1u);
    // Clipping lists it only where its surface is, duplication wherever its box is.
    EXPECT_LT(leavesClip, leavesDup);
}

TEST(KdTreeBuild, TrianglesOutsideTheBoxAreReported) {
    Scene scene;
    std::mt19937 rng(4);
    addRandomSoup(scene, 40, rng, 0.8f, 0.2f);
    for (int i = 0; i < 3; ++i)
        scene.hostTriangles.push_back(
            makeTriangle(Vector3d(5, 0, 0), Vector3d(6, 0.5f, 0), Vector3d(5.5f, 0, 0.5f)));
    finishScene(scene);
    KdTree kd;
    aabb box(Vector3d(-1, -1, -1), Vector3d(1, 1, 1));
    testing::internal::CaptureStdout();
    ASSERT_TRUE(kd.build(&scene, box, KdTree::kClipping));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_GT(kd.wrongSides, 0);
    EXPECT_NE(out.find("wrong!\n"), std::string::npos);
}

TEST(KdTreeEncoding, WideLeavesAndLargeIndices) {
    const NodeProp wide = NodeProp::leaf(100, 7);
    EXPECT_TRUE(wide.isLeaf());
    EXPECT_EQ(wide.countField(), 63u);
    EXPECT_EQ(wide.triCount(), 100);
    EXPECT_EQ(wide.triStart, 7);
    const NodeProp small = NodeProp::leaf(62, 3);
    EXPECT_EQ(small.countField(), 62u);
    EXPECT_EQ(small.triCount(), 62);
    const NodeProp inner = NodeProp::inner(2.5f, 2, 20000001, 20000002);
    EXPECT_EQ(inner.axis(), 2);
    EXPECT_FALSE(inner.isLeaf());
    EXPECT_EQ(inner.lowerChild(), 20000001);
    EXPECT_EQ(inner.upperChild(), 20000002);
    const NodeProp plain = NodeProp::inner(0.0f, 1, 5, 6);
    EXPECT_EQ(plain.lowerField(), 5u);
    EXPECT_EQ(plain.lowerChild(), 5);
}

TEST(KdTreeTraversal, DeepTreesNeverOverrunTheStack) {
    // A chain of inner nodes whose far children are all pending at once: the
    // only triangle sits in the first far child, found after the last pop.
    const int levels = kKdStackSize - 1;
    Scene scene;
    scene.hostTriangles.push_back(
        makeTriangle(Vector3d(100.5f, -1, -1), Vector3d(100.5f, 1, -1), Vector3d(100.5f, 0, 1)));
    finishScene(scene);
    HostArrays a(scene);
    std::vector<NodeProp> nodes;
    nodes.push_back(NodeProp::inner(100.0f, 0, 1, 2));
    for (int k = 1; k <= levels; ++k) {
        // node 2k-1: next inner node (or the last, empty leaf); node 2k: far leaf
        const bool last = k == levels;
        if (last)
            nodes.push_back(NodeProp::leaf(0, 0));
        else
            nodes.push_back(NodeProp::inner(100.0f - k, 0, 2 * k + 1, 2 * k + 2));
        nodes.push_back(NodeProp::leaf(k == 1 ? 1 : 0, 0));
    }
    const std::vector<int> indices{0};
    TreeTraversal tr;
    SurfaceHitRecord h;
    const aabb box(Vector3d(-1000, -2, -2), Vector3d(200, 2, 2));
    ASSERT_TRUE(tr.intersect(Ray(Vector3d(-500, 0, 0), Vector3d(1, 0, 0)), &h, a.woop.data(), nodes.data(),
                             indices.data(), a.tris.data(), nullptr, box));
    EXPECT_FLOAT_EQ(h.t, 600.5f);
    EXPECT_EQ(tr.top, -1);
}

// Overlapping, coplanar and fan-shaped input: every plane cuts most
// triangles, and without a limit the clipping build copied them at every
// level. The leaves hold at most four references per triangle, the node
// count stays linear, and the tree still answers every ray.
TEST(KdTreeBuild, DegenerateInputKeepsWithinTheReferenceBudget) {
    Scene decals, fan;
    std::mt19937 rng(21);
    addCoplanarDecals(decals, 1500, rng);
    finishScene(decals);
    addFan(fan, 1200, Vector3d(0, 0, 0), 5.0f);
    addCoplanarDecals(fan, 300, rng, 0.5f);
    finishScene(fan);
    for (Scene* scene : {&decals, &fan}) {
        for (int mode : {KdTree::kClipping, KdTree::kDuplicating}) {
            SCOPED_TRACE(testing::Message()
                         << "mode " << mode << ", " << scene->triangleCount << " triangles");
            KdTree kd;
            aabb box = scene->bounds;
            ASSERT_TRUE(kd.build(scene, box, mode));
            const std::size_t n = static_cast<std::size_t>(scene->triangleCount);
            EXPECT_LE(kd.triIndices.size(), 4 * n);
            EXPECT_GE(kd.triIndices.size(), n);
            EXPECT_LE(kd.nodes.size(), 8 * n);
            checkNumberingAndLeafOrder(kd);

            const HostArrays arrays(*scene);
            const aabb tracing = enlargedBox(kd.bbox);
            std::mt19937 rayRng(5 + mode);
            for (const Ray& r : makeRays(scene->bounds, 300, rayRng)) {
                const BruteHit b = bruteWoop(arrays, r, kRayEpsilon, kRayMaxT);
                TreeTraversal tr;
                SurfaceHitRecord h{};
                const bool found = tr.intersect(r, &h, arrays.woop.data(), kd.nodeRecords.data(),
                                                kd.triIndices.data(), arrays.tris.data(), nullptr, tracing);
                ASSERT_EQ(found, b.tri >= 0);
                if (found) {
                    EXPECT_NEAR(h.t, b.t, 1e-4f * std::fmax(1.0f, b.t));
                }
            }
        }
    }
}

// The kd walk (leaves tested four at a time from their packs, branch-free
// descent, in-plane siblings both visited) against brute force over all
// triangles with the same triangle test, on input that stresses it:
// overlapping coplanar triangles, large triangles that cross many cells
// among small ones, shared edges in split planes, and rays that run inside
// split planes. The packs give exactly what the index list gives.
TEST(KdTreeTraversal, AgreesWithBruteForceOnHostileScenes) {
    std::vector<Scene> scenes(4);
    std::mt19937 rng(57);
    makeMixedScene(scenes[0], 500, rng);  // soup, shared-edge grid, axis-aligned boxes, degenerates
    addCoplanarDecals(scenes[1], 400, rng);
    addFan(scenes[1], 100, Vector3d(0, 0, 1), 3.0f);
    finishScene(scenes[1]);
    addRandomSoup(scenes[2], 1500, rng, 10.0f, 0.3f);
    addRandomSoup(scenes[2], 25, rng, 10.0f, 14.0f);
    finishScene(scenes[2]);
    addAxisAlignedBoxes(scenes[3], 60, rng);
    addGrid(scenes[3], 12, 0.0f, 1.0f);
    finishScene(scenes[3]);
    std::uniform_real_distribution<float> uni(-1.0f, 1.0f);
    for (std::size_t s = 0; s < scenes.size(); ++s)
        for (int mode : {KdTree::kClipping, KdTree::kDuplicating}) {
            SCOPED_TRACE(testing::Message() << "scene " << s << " mode " << mode);
            Scene& scene = scenes[s];
            KdTree kd;
            aabb b = scene.bounds;
            ASSERT_TRUE(kd.build(&scene, b, mode));
            const HostArrays a(scene);
            const aabb box = enlargedBox(kd.bbox);
            // The same tree without the leaves' packs: tested through the
            // index list and the woop array, one triangle at a time.
            std::vector<NodeProp> plain(kd.nodeRecords.begin(), kd.nodeRecords.begin() + kd.nodes.size());
            int packed = 0;
            for (NodeProp& n : plain)
                if (n.isLeaf() && n.packStart() != 0) {
                    ++packed;
                    n.setPackStart(0);
                }
            EXPECT_GT(packed, 0);
            std::vector<Ray> rays = makeRays(scene.bounds, 1500, rng);
            // Rays inside split planes (the direction has no component
            // across the plane), from the first inner nodes down.
            int inPlane = 0;
            for (std::size_t k = 0; k < kd.nodes.size() && inPlane < 300; ++k) {
                const NodeProp& n = kd.nodeRecords[k];
                if (n.isLeaf()) continue;
                const int axis = n.axis();
                Vector3d o((scene.bounds.min + scene.bounds.max) * 0.5f), d(uni(rng), uni(rng), uni(rng));
                for (int k = 0; k < 3; ++k)
                    o[k] += 0.5f * uni(rng) * (scene.bounds.max[k] - scene.bounds.min[k]);
                o[axis] = n.split;
                d[axis] = 0.0f;
                if (length(d) == 0.0f) d[(axis + 1) % 3] = 1.0f;
                rays.emplace_back(o, normalize(d));
                ++inPlane;
            }
            int hits = 0;
            for (std::size_t i = 0; i < rays.size(); ++i) {
                const Ray& r = rays[i];
                SCOPED_TRACE(testing::Message() << "ray " << i);
                const BruteHit brute = bruteWoop(a, r, kRayEpsilon, kRayMaxT);
                TreeTraversal tr;
                SurfaceHitRecord h{};
                const bool found = tr.intersect(r, &h, a.woop.data(), kd.nodeRecords.data(),
                                                kd.triIndices.data(), a.tris.data(), nullptr, box);
                EXPECT_EQ(tr.top, -1);
                ASSERT_EQ(found, brute.tri >= 0);
                if (found) {
                    ++hits;
                    EXPECT_NEAR(h.t, brute.t, 1e-4f * std::fmax(1.0f, brute.t));
                    // Another triangle at the same distance may be reported:
                    // it must itself be hit there.
                    float t, u, v;
                    ASSERT_TRUE(woopHit(a, h.triangleIndex, r, 0.0f, FLT_MAX, t, u, v));
                    EXPECT_EQ(t, h.t);
                    EXPECT_EQ(h.materialIndex, scene.hostTriangles[h.triangleIndex].materialIndex);
                    EXPECT_NEAR(length(h.normal), 1.0f, 1e-4f);
                }
                SurfaceHitRecord hp{};
                ASSERT_EQ(tr.intersect(r, &hp, a.woop.data(), plain.data(), kd.triIndices.data(),
                                       a.tris.data(), nullptr, box),
                          found);
                if (found) {
                    EXPECT_EQ(hp.t, h.t);
                    EXPECT_EQ(hp.triangleIndex, h.triangleIndex);
                }
                const float dist = std::uniform_real_distribution<float>(0.01f, 40.0f)(rng);
                const float tmax = static_cast<float>(static_cast<double>(dist) - 0.001);
                const bool blocked = bruteWoop(a, r, kRayEpsilon, tmax).tri >= 0;
                EXPECT_EQ(tr.occlude(r, dist, a.woop.data(), kd.nodeRecords.data(), kd.triIndices.data(),
                                     a.tris.data(), nullptr, box),
                          blocked);
                EXPECT_EQ(tr.occlude(r, dist, a.woop.data(), plain.data(), kd.triIndices.data(),
                                     a.tris.data(), nullptr, box),
                          blocked);
                EXPECT_EQ(tr.top, -1);
            }
            EXPECT_GT(hits, static_cast<int>(rays.size()) / 10);
        }
}
