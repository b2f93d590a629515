// The kd-tree build: tree shape, numbering, leaf lists, clipping, encoding.
#include <gtest/gtest.h>

#include <algorithm>
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
    // Records: the root, its lower child right after it, the upper child.
    EXPECT_EQ(kd.nodeRecords[0].upperChild(), 2);
    EXPECT_EQ(kd.nodeRecords[1].triCount(), 1);
    EXPECT_EQ(kd.nodeRecords[2].triCount(), 1);
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
    const NodeProp wide = NodeProp::leaf(100000, 7);
    EXPECT_TRUE(wide.isLeaf());
    EXPECT_FALSE(wide.packed());
    EXPECT_EQ(wide.triCount(), 100000);
    EXPECT_EQ(wide.start(), 7u);
    NodeProp most = NodeProp::leaf(static_cast<int>(NodeProp::kMaxCount), 0);
    most.setStart(0xFFFFFFF0u, true);
    EXPECT_TRUE(most.isLeaf());
    EXPECT_TRUE(most.packed());
    EXPECT_EQ(most.triCount(), static_cast<int>(NodeProp::kMaxCount));
    EXPECT_EQ(most.start(), 0xFFFFFFF0u);
    for (int axis = 0; axis < 3; ++axis)
        for (int empties = 0; empties < 4; ++empties) {
            const NodeProp inner =
                NodeProp::inner(-2.5f, axis, static_cast<int>(NodeProp::kMaxChild), empties & 1, empties & 2);
            EXPECT_FALSE(inner.isLeaf());
            EXPECT_EQ(inner.axis(), axis);
            EXPECT_EQ(inner.split, -2.5f);
            EXPECT_EQ(inner.upperChild(), static_cast<int>(NodeProp::kMaxChild));
            EXPECT_EQ(inner.lowerEmpty(), (empties & 1) != 0);
            EXPECT_EQ(inner.upperEmpty(), (empties & 2) != 0);
        }
    EXPECT_EQ(NodeProp::inner(0.0f, 1, 6).upperChild(), 6);
}

// The records' layout on built trees, both build modes: every node has
// exactly one record, reached from the root; the records are in depth-first
// order (each inner node's lower child follows it, its upper child follows
// the whole lower subtree); splits, axes, counts and the empty-child bits
// match the nodes; and every leaf's packs lie after the nodes, in range,
// from an even record, and list the leaf's triangles in order.
TEST(KdTreeEncoding, RecordsAreDepthFirstAndMatchTheNodes) {
    std::mt19937 rng(91);
    std::vector<Scene> scenes(2);
    makeMixedScene(scenes[0], 400, rng);
    addAxisAlignedBoxes(scenes[1], 40, rng);
    addRandomSoup(scenes[1], 300, rng, 6.0f, 0.5f);
    finishScene(scenes[1]);
    for (Scene& scene : scenes)
        for (int mode : {KdTree::kClipping, KdTree::kDuplicating}) {
            SCOPED_TRACE(testing::Message() << scene.triangleCount << " triangles, mode " << mode);
            KdTree kd;
            aabb box = scene.bounds;
            ASSERT_TRUE(kd.build(&scene, box, mode));
            const std::size_t count = kd.nodes.size();
            ASSERT_GT(count, 100u);
            ASSERT_EQ(kd.recordOf.size(), count);
            const std::vector<NodeProp>& rec = kd.nodeRecords;
            const std::size_t packBase = (count + 1) & ~std::size_t{1};
            ASSERT_GE(rec.size(), packBase);
            std::vector<int> seen(count, 0);
            std::vector<char> packUsed(rec.size(), 0);
            int emptySkips = 0;
            // Checks the subtree of host node n at record r; returns its size.
            std::function<int(int, int)> check = [&](int n, int r) -> int {
                const KdNode& nd = kd.nodes[static_cast<std::size_t>(n)];
                EXPECT_EQ(kd.recordOf[static_cast<std::size_t>(n)], r);
                if (r < 0 || static_cast<std::size_t>(r) >= count) {
                    ADD_FAILURE() << "record " << r << " of node " << n << " out of range";
                    return 1;
                }
                ++seen[static_cast<std::size_t>(r)];
                const NodeProp& p = rec[static_cast<std::size_t>(r)];
                if (nd.isLeaf) {
                    EXPECT_TRUE(p.isLeaf());
                    EXPECT_EQ(p.triCount(), nd.triCount);
                    EXPECT_EQ(p.packed(), nd.triCount > 0);
                    if (p.packed()) {
                        const std::size_t first = p.start();
                        const std::size_t packs = (static_cast<std::size_t>(nd.triCount) + 3) / 4;
                        EXPECT_GE(first, packBase);
                        EXPECT_EQ(first % 2, 0u);
                        EXPECT_LE(first + 26 * packs, rec.size());
                        if (first >= packBase && first + 26 * packs <= rec.size()) {
                            const KdPack* pk = reinterpret_cast<const KdPack*>(&rec[first]);
                            for (int i = 0; i < 4 * static_cast<int>(packs); ++i)
                                EXPECT_EQ(pk[i / 4].tri[i % 4], nd.tris[std::min(i, nd.triCount - 1)]);
                            for (std::size_t k = first; k < first + 26 * packs; ++k) {
                                EXPECT_FALSE(packUsed[k]) << "packs overlap at record " << k;
                                packUsed[k] = 1;
                            }
                        }
                    }
                    return 1;
                }
                EXPECT_FALSE(p.isLeaf());
                EXPECT_EQ(p.axis(), nd.splitAxis);
                EXPECT_EQ(p.split, nd.splitPos);
                const KdNode& lo = kd.nodes[static_cast<std::size_t>(nd.left)];
                const KdNode& hi = kd.nodes[static_cast<std::size_t>(nd.right)];
                EXPECT_EQ(p.lowerEmpty(), lo.isLeaf && lo.triCount == 0);
                EXPECT_EQ(p.upperEmpty(), hi.isLeaf && hi.triCount == 0);
                emptySkips += p.lowerEmpty() + p.upperEmpty();
                const int lowerSize = check(nd.left, r + 1);
                EXPECT_EQ(p.upperChild(), r + 1 + lowerSize);
                return 1 + lowerSize + check(nd.right, p.upperChild());
            };
            EXPECT_EQ(check(0, 0), static_cast<int>(count));
            EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), static_cast<long>(count));
            EXPECT_EQ(std::count(packUsed.begin(), packUsed.end(), 1),
                      static_cast<long>(rec.size() - packBase));
            EXPECT_GT(emptySkips, 0);
        }
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
    // Depth first: inner nodes 0 .. levels - 1 each followed by the next
    // (node levels is the last, empty leaf), then the far leaves, the
    // deepest node's first; the root's far leaf, last, holds the triangle.
    // The far leaves are not marked empty, so all of them are pushed.
    std::vector<NodeProp> nodes;
    for (int k = 0; k < levels; ++k) nodes.push_back(NodeProp::inner(100.0f - k, 0, 2 * levels - k));
    nodes.push_back(NodeProp::leaf(0, 0));
    for (int k = levels - 1; k >= 0; --k) nodes.push_back(NodeProp::leaf(k == 0 ? 1 : 0, 0));
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
// among small ones, shared edges in split planes, rays that run inside split
// planes and rays that start a hair from them. The packs give exactly what the
// index list gives.
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
            for (std::size_t k = 0; k < kd.nodes.size(); ++k) {
                NodeProp& n = plain[static_cast<std::size_t>(kd.recordOf[k])];
                if (n.isLeaf() && n.packed()) {
                    ++packed;
                    n.setStart(static_cast<uint32_t>(kd.nodes[k].triStart), false);
                }
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
            // Rays that start a hair from a split plane (which often holds
            // the faces of the boxes and the grid) and cross it: the hit on a
            // triangle in the plane and the plane's own distance round apart
            // by more than the hit's distance is long. (Their own generator
            // leaves the other rays as they were.)
            std::mt19937 nearRng(static_cast<unsigned>(91 + 2 * s + mode));
            std::uniform_real_distribution<float> decade(-6.0f, -2.0f);
            int nearPlane = 0;
            for (std::size_t k = 0; k < kd.nodes.size() && nearPlane < 600; ++k) {
                const NodeProp& n = kd.nodeRecords[k];
                if (n.isLeaf()) continue;
                const int axis = n.axis();
                for (float side : {-1.0f, 1.0f}) {
                    Vector3d o((scene.bounds.min + scene.bounds.max) * 0.5f),
                        d(uni(nearRng), uni(nearRng), uni(nearRng));
                    for (int k = 0; k < 3; ++k)
                        o[k] += 0.5f * uni(nearRng) * (scene.bounds.max[k] - scene.bounds.min[k]);
                    const float extent = scene.bounds.max[axis] - scene.bounds.min[axis];
                    o[axis] = n.split + side * extent * std::pow(10.0f, decade(nearRng));
                    d[axis] = -side * (0.05f + std::fabs(d[axis]));
                    rays.emplace_back(o, normalize(d));
                    ++nearPlane;
                }
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

// A ray inside the root's split plane: both children are pending over the
// same interval. The lower child is split again across the ray, and its near
// cell holds a hit; the far cell pushed below the upper child starts beyond
// that hit and is dropped, but the upper child, pending from the start,
// holds a nearer triangle and must still be searched.
TEST(KdTreeTraversal, InPlaneSiblingBehindLaterPushesIsSearched) {
    Scene scene;
    // 0: the hit in the lower child at y = -5; 1: the nearer one, y = -8,
    // listed in the upper child only.
    for (float y : {-5.0f, -8.0f})
        scene.hostTriangles.push_back(
            makeTriangle(Vector3d(-1, y, -1), Vector3d(1, y, -1), Vector3d(0, y, 1)));
    finishScene(scene);
    HostArrays a(scene);
    std::vector<NodeProp> nodes;
    nodes.push_back(NodeProp::inner(0.0f, 0, 4));  // x = 0: the ray's plane
    nodes.push_back(NodeProp::inner(0.0f, 1, 3));  // y = 0, across the ray
    nodes.push_back(NodeProp::leaf(1, 0));         // y < 0: triangle 0
    nodes.push_back(NodeProp::leaf(0, 0));         // y > 0: nothing, still pushed
    nodes.push_back(NodeProp::leaf(1, 1));         // x > 0: triangle 1
    const std::vector<int> indices{0, 1};
    const aabb box(Vector3d(-2, -12, -2), Vector3d(2, 12, 2));
    const Ray ray(Vector3d(0, -10, 0), Vector3d(0, 1, 0));
    TreeTraversal tr;
    SurfaceHitRecord h;
    ASSERT_TRUE(
        tr.intersect(ray, &h, a.woop.data(), nodes.data(), indices.data(), a.tris.data(), nullptr, box));
    EXPECT_EQ(h.triangleIndex, 1);
    EXPECT_FLOAT_EQ(h.t, 2.0f);
    EXPECT_EQ(tr.top, -1);
    EXPECT_EQ(bruteWoop(a, ray, kRayEpsilon, kRayMaxT).tri, 1);
}
