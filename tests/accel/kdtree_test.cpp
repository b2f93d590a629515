// The kd-tree build: tree shape, numbering, leaf lists, clipping, encoding.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <functional>

#include "accel_test_util.h"
#include "app/startup.h"

using namespace lumenar;
using namespace lumenar::test;

namespace {

// Depth of every node (root 0).
std::vector<int> nodeDepths(const std::vector<KdNode>& nodes) {
    std::vector<int> d(nodes.size(), 0);
    for (std::size_t i = 1; i < nodes.size(); ++i) d[i] = d[nodes[i].parent] + 1;
    return d;
}

// Node numbering and leaf order follow a depth-first build that creates both
// children of a node together and finishes the left subtree first.
void checkNumberingAndLeafOrder(const KdTree& kd) {
    const std::vector<KdNode> nodes = kd.hostNodes();
    int next = 1;
    int nextStart = 0;
    std::function<void(int)> visit = [&](int n) {
        const KdNode& nd = nodes[n];
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
        EXPECT_EQ(nodes[nd.left].parent, n);
        EXPECT_EQ(nodes[nd.right].parent, n);
        next += 2;
        visit(nd.left);
        visit(nd.right);
    };
    visit(0);
    EXPECT_EQ(next, static_cast<int>(nodes.size()));
    EXPECT_EQ(nextStart, static_cast<int>(kd.triIndices.size()));
}

// The tree as the build's rules define it, written the plain way: every node
// keeps one list of all its events in the event order (position, axis, type
// descending, triangle), classifies with each event's other end, clips a
// straddler at its first event and sorts its new events into each child's
// list. The build sorts once, keeps one list per axis and partitions in
// place; it must give this tree node for node.
class ReferenceKd {
 public:
    std::vector<KdNode> nodes;
    int wrong = 0;

    ReferenceKd(const KdTree& tree, const Scene& scene, const aabb& box, int mode, bool staticOnly)
        : tree_(tree), scene_(scene), mode_(mode), side_(scene.hostTriangles.size(), kUnknown) {
        const int n = scene.triangleCount;
        maxDepth_ = KdTree::depthLimit(n);
        std::vector<bool> skip(static_cast<std::size_t>(n), false);
        if (staticOnly)
            for (const Movable& m : scene.movables)
                for (int i = 0; i < m.triangleCount; ++i) skip[m.firstTriangle + i] = true;
        std::vector<Ev> events;
        int placed = 0;
        for (int i = 0; i < n; ++i) {
            if (skip[i]) continue;
            ++placed;
            const Triangle& t = scene.hostTriangles[i];
            aabb b;
            b.grow(t.p1);
            b.grow(t.p2);
            b.grow(t.p3);
            add(events, i, b);
        }
        std::sort(events.begin(), events.end(), before);
        nodes.emplace_back();
        nodes[0].bbox = box;
        subdivide(0, events, box, 0, placed, 0, 4ll * std::max(placed, 1));
    }

 private:
    enum { kLeftOnly, kBoth, kRightOnly, kUnknown };
    struct Ev {
        float pos;
        int type;  // 0 start, 1 planar, 2 end
        int axis;
        int tri;
        float other;
    };
    static bool before(const Ev& a, const Ev& b) {
        if (a.pos != b.pos) return a.pos < b.pos;
        if (a.axis != b.axis) return a.axis < b.axis;
        if (a.type != b.type) return a.type > b.type;
        return a.tri < b.tri;
    }
    static void add(std::vector<Ev>& out, int tri, const aabb& b) {
        for (int a = 0; a < 3; ++a) {
            if (b.min[a] == b.max[a]) {
                out.push_back({b.min[a], 1, a, tri, b.max[a]});
            } else {
                out.push_back({b.min[a], 0, a, tri, b.max[a]});
                out.push_back({b.max[a], 2, a, tri, b.min[a]});
            }
        }
    }
    static float area(const aabb& b) {
        const float dx = b.max.x - b.min.x, dy = b.max.y - b.min.y, dz = b.max.z - b.min.z;
        return 2.0f * (dx * dy + dx * dz + dy * dz);
    }
    void leaf(int node, const std::vector<Ev>& events) {
        KdNode& nd = nodes[static_cast<std::size_t>(node)];
        nd.isLeaf = true;
        nd.splitAxis = 3;
        for (const Ev& e : events) nd.tris.push_back(e.tri);
        std::sort(nd.tris.begin(), nd.tris.end());
        nd.tris.erase(std::unique(nd.tris.begin(), nd.tris.end()), nd.tris.end());
        nd.triCount = static_cast<int>(nd.tris.size());
    }
    void subdivide(int node, std::vector<Ev> events, const aabb& box, int depth, int count, int attempt,
                   long long budget) {
        const Vector3d d = box.max - box.min;
        const int longest = !(d.x < d.y || d.x < d.z) ? 0 : (d.y > d.z ? 1 : 2);
        const int a = (longest + attempt) % 3;
        const float f = 0.5f / (d.x * d.y + d.z * d.x + d.y * d.z);
        int NL = 0, NR = count, bestNL = 0, bestNR = 0, bestSide = 0;  // side: 0 none, 1 left, 2 right
        float best = 9999999.0f, bestPos = 0.0f;
        aabb L = box, R = box, bestL = box, bestR = box;
        for (std::size_t i = 0; i < events.size();) {
            if (events[i].pos > box.max[a]) break;
            if (events[i].axis != a) {
                ++i;
                continue;
            }
            const float p = events[i].pos;
            L.max[a] = p;
            R.min[a] = p;
            int by[3] = {0, 0, 0};
            for (; i < events.size() && events[i].pos == p; ++i)
                if (events[i].axis == a) ++by[events[i].type];
            NR -= by[1] + by[2];
            float cost = (static_cast<float>(NL) * area(L) + static_cast<float>(NR) * area(R)) * f + 0.2f;
            int side = 0, cNL = NL, cNR = NR;
            if (by[1] > 0) {
                const float cl =
                    (static_cast<float>(NL + by[1]) * area(L) + static_cast<float>(NR) * area(R)) * f + 0.2f;
                const float cr =
                    (static_cast<float>(NL) * area(L) + static_cast<float>(NR + by[1]) * area(R)) * f + 0.2f;
                side = cr <= cl ? 2 : 1;
                cost = cr <= cl ? cr : cl;
                (side == 2 ? cNR : cNL) += by[1];
            }
            if (cost < best && static_cast<long long>(cNL) + cNR <= budget) {
                best = cost;
                bestPos = p;
                bestSide = side;
                bestNL = cNL;
                bestNR = cNR;
                bestL = L;
                bestR = R;
            }
            NL += by[1] + by[0];
        }
        if (static_cast<float>(count) < best) {
            if (attempt < 2)
                return subdivide(node, std::move(events), box, depth, count, attempt + 1, budget);
            return leaf(node, events);
        }
        const float s = bestPos;
        const int left = static_cast<int>(nodes.size());
        nodes.resize(nodes.size() + 2);
        {
            KdNode& nd = nodes[static_cast<std::size_t>(node)];
            nd.splitAxis = a;
            nd.splitPos = s;
            nd.left = left;
            nd.right = left + 1;
        }
        nodes[static_cast<std::size_t>(left)].bbox = bestL;
        nodes[static_cast<std::size_t>(left) + 1].bbox = bestR;
        for (int c = left; c <= left + 1; ++c) {
            nodes[static_cast<std::size_t>(c)].parent = node;
            nodes[static_cast<std::size_t>(c)].index = c;
        }
        // Classification by the split axis's events; triangles wholly above
        // the box get no side.
        for (const Ev& e : events)
            if (e.axis == a && e.pos > box.max[a]) side_[e.tri] = kUnknown;
        int nL = 0, nR = 0;
        for (const Ev& e : events) {
            if (e.pos > box.max[a]) break;
            if (e.axis != a) continue;
            int side = -1;
            if (e.type == 2 && e.pos <= s) side = kLeftOnly;
            if (e.type == 0 && e.pos >= s) side = kRightOnly;
            if (e.type == 0 && e.pos < s && s < e.other) side = kBoth;
            if (e.type == 1 && (e.pos < s || (e.pos == s && bestSide == 1))) side = kLeftOnly;
            if (e.type == 1 && (e.pos > s || (e.pos == s && bestSide == 2))) side = kRightOnly;
            if (side < 0) continue;
            side_[e.tri] = side;
            nL += side != kRightOnly;
            nR += side != kLeftOnly;
        }
        std::vector<Ev> lo, hi, newLo, newHi;
        std::vector<bool> clipped(side_.size(), false);
        for (const Ev& e : events) {
            const int side = side_[e.tri];
            if (side == kLeftOnly) lo.push_back(e);
            if (side == kRightOnly) hi.push_back(e);
            if (side == kUnknown) ++wrong;
            if (side != kBoth) continue;
            if (mode_ == KdTree::kDuplicating) {
                lo.push_back(e);
                hi.push_back(e);
            } else if (!clipped[e.tri]) {
                clipped[e.tri] = true;
                aabb lb, rb;
                tree_.clipTriangle(e.tri, s, a, bestL, bestR, lb, rb);
                if (!lb.isEmpty()) add(newLo, e.tri, lb);
                if (!rb.isEmpty()) add(newHi, e.tri, rb);
            }
        }
        auto merged = [](std::vector<Ev>& kept, std::vector<Ev>& fresh) {
            std::sort(fresh.begin(), fresh.end(), before);
            std::vector<Ev> out;
            std::merge(kept.begin(), kept.end(), fresh.begin(), fresh.end(), std::back_inserter(out), before);
            return out;
        };
        lo = merged(lo, newLo);
        hi = merged(hi, newHi);
        long long budgetL = nL, budgetR = nR;
        if (static_cast<long long>(nL) + nR <= budget && nL + nR > 0) {
            budgetL = budget * nL / (static_cast<long long>(nL) + nR);
            budgetR = budget - budgetL;
        }
        const bool deep = depth >= maxDepth_;
        if (deep || bestNL <= 4)
            leaf(left, lo);
        else
            subdivide(left, std::move(lo), bestL, depth + 1, nL, 0, budgetL);
        if (deep || bestNR <= 4)
            leaf(left + 1, hi);
        else
            subdivide(left + 1, std::move(hi), bestR, depth + 1, nR, 0, budgetR);
    }

    const KdTree& tree_;
    const Scene& scene_;
    int mode_;
    int maxDepth_ = 0;
    std::vector<int> side_;
};

// Four scenes that stress a tree: a mix of soup, a shared-edge grid,
// axis-aligned boxes and degenerates; overlapping coplanar decals and a fan;
// small triangles among a few that cross the whole scene; boxes on a grid.
void addHostileScenes(Scene* scenes, std::mt19937& rng) {
    makeMixedScene(scenes[0], 500, rng);
    addCoplanarDecals(scenes[1], 400, rng);
    addFan(scenes[1], 100, Vector3d(0, 0, 1), 3.0f);
    finishScene(scenes[1]);
    addRandomSoup(scenes[2], 1500, rng, 10.0f, 0.3f);
    addRandomSoup(scenes[2], 25, rng, 10.0f, 14.0f);
    finishScene(scenes[2]);
    addAxisAlignedBoxes(scenes[3], 60, rng);
    addGrid(scenes[3], 12, 0.0f, 1.0f);
    finishScene(scenes[3]);
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
        const std::vector<KdNode> nodes = kd.hostNodes();
        ASSERT_EQ(nodes.size(), 1u);
        EXPECT_TRUE(nodes[0].isLeaf);
        EXPECT_EQ(nodes[0].splitAxis, 3);
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
        const std::vector<KdNode> nodes = kd.hostNodes();
        ASSERT_EQ(nodes.size(), 1u);
        EXPECT_TRUE(nodes[0].isLeaf);
        EXPECT_EQ(kd.nodeRecords[0].triCount(), 0);
        HostArrays a(scene);
        TreeTraversal tr;
        SurfaceHitRecord h;
        EXPECT_FALSE(tr.intersect(Ray(Vector3d(0, 0, -5), Vector3d(0, 0, 1)), &h, a.woop.data(),
                                  kd.nodeRecords.data(), kd.triIndices.data(), a.tris.data(), nullptr, box));
    }
}

// The build against the plain one above, on hostile input (overlapping
// coplanar triangles past the reference budget, a fan, big triangles among
// small ones, shared edges in split planes, triangles outside the box, a
// movable object left out), in both modes, with subtrees built side by side
// from small nodes on.
TEST(KdTreeBuild, SameTreeAsThePlainBuild) {
    std::mt19937 rng(33);
    std::vector<Scene> scenes(6);
    addHostileScenes(scenes.data(), rng);
    // Triangles beyond the box, and a movable object left out.
    addRandomSoup(scenes[4], 300, rng, 5.0f, 0.5f);
    for (int i = 0; i < 3; ++i)
        scenes[4].hostTriangles.push_back(
            makeTriangle(Vector3d(50, 0, 0), Vector3d(51, 0.5f, 0), Vector3d(50.5f, 0, 0.5f)));
    finishScene(scenes[4]);
    addObject(scenes[5], 300, Vector3d(0, 0, 0), 2.0f, rng);
    addRandomSoup(scenes[5], 400, rng, 6.0f, 0.5f);
    finishScene(scenes[5]);
    for (std::size_t k = 0; k < scenes.size(); ++k)
        for (int mode : {KdTree::kClipping, KdTree::kDuplicating}) {
            Scene& scene = scenes[k];
            aabb box = scene.bounds;
            if (k == 4) box.max.x = 10.0f;  // the last three lie beyond it
            const bool staticOnly = k == 5;
            KdTree plain;
            plain.scene = &scene;
            const ReferenceKd ref(plain, scene, box, mode, staticOnly);
            for (std::size_t grain : {std::size_t{16384}, std::size_t{64}, std::size_t{5}}) {
                SCOPED_TRACE(testing::Message() << "scene " << k << " mode " << mode << " grain " << grain);
                KdTree kd;
                kd.parallelEvents = grain;
                kd.staticOnly = staticOnly;
                aabb b = box;
                testing::internal::CaptureStdout();
                ASSERT_TRUE(kd.build(&scene, b, mode));
                testing::internal::GetCapturedStdout();
                const std::vector<KdNode> got = kd.hostNodes();
                ASSERT_EQ(got.size(), ref.nodes.size());
                for (std::size_t i = 0; i < got.size(); ++i) {
                    const KdNode &g = got[i], &w = ref.nodes[i];
                    SCOPED_TRACE(testing::Message() << "node " << i);
                    ASSERT_EQ(g.isLeaf, w.isLeaf);
                    ASSERT_EQ(g.parent, w.parent);
                    for (int a = 0; a < 3; ++a) {
                        ASSERT_EQ(g.bbox.min[a], w.bbox.min[a]);
                        ASSERT_EQ(g.bbox.max[a], w.bbox.max[a]);
                    }
                    if (w.isLeaf) {
                        ASSERT_EQ(g.tris, w.tris);
                    } else {
                        ASSERT_EQ(g.splitAxis, w.splitAxis);
                        ASSERT_EQ(g.splitPos, w.splitPos);
                        ASSERT_EQ(g.left, w.left);
                    }
                }
                EXPECT_EQ(kd.wrongSides, ref.wrong);
                if (k == 4) {
                    EXPECT_GT(kd.wrongSides, 0);
                }
            }
        }
}

// A build whose cancel flag is set gives up and leaves no tree; the same
// tree object builds again once the flag is clear.
TEST(KdTreeBuild, CancelledBuildLeavesNoTree) {
    Scene scene;
    std::mt19937 rng(5);
    makeMixedScene(scene, 2000, rng);
    std::atomic<bool> cancel{true};
    KdTree kd;
    kd.cancel = &cancel;
    aabb box = scene.bounds;
    EXPECT_FALSE(kd.build(&scene, box, KdTree::kClipping));
    EXPECT_TRUE(kd.nodeRecords.empty());
    EXPECT_FALSE(kd.deviceNodes);
    cancel = false;
    ASSERT_TRUE(kd.build(&scene, box, KdTree::kClipping));
    EXPECT_GT(kd.nodeCount(), 100u);
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
    const std::vector<KdNode> nodes = kd.hostNodes();
    ASSERT_FALSE(nodes[0].isLeaf);
    EXPECT_EQ(nodes[0].splitAxis, 0);
    EXPECT_EQ(nodes[0].splitPos, -1.0f);
    ASSERT_EQ(nodes.size(), 3u);
    EXPECT_EQ(nodes[1].tris, std::vector<int>{0});
    EXPECT_EQ(nodes[2].tris, std::vector<int>{1});
    EXPECT_EQ(nodes[1].bbox.max.x, -1.0f);
    EXPECT_EQ(nodes[2].bbox.min.x, -1.0f);
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
        const std::vector<KdNode> nodes = kd.hostNodes();
        ASSERT_FALSE(nodes[0].isLeaf);
        EXPECT_EQ(nodes[0].splitAxis, 0);
        EXPECT_EQ(nodes[0].splitPos, 0.0f);
        // Equal costs send them right; a larger right side makes left cheaper.
        const KdNode& empty = nodes[xmax == 1.0f ? 1 : 2];
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
        const std::vector<KdNode> nodes = kd.hostNodes();
        const std::vector<int> depth = nodeDepths(nodes);
        std::vector<bool> listed(scene.hostTriangles.size(), false);
        for (const KdNode& n : nodes) {
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
        for (const KdNode& n : kd.hostNodes())
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
    EXPECT_EQ(wide.triCount(), 100000);
    EXPECT_EQ(wide.start(), 7u);
    const NodeProp most = NodeProp::leaf(static_cast<int>(NodeProp::kMaxCount), 0xFFFFFFF0u);
    EXPECT_TRUE(most.isLeaf());
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
// the whole lower subtree); splits, axes, counts, list positions and the
// empty-child bits match the nodes.
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
            std::vector<int> recordOf;
            const std::vector<KdNode> nodes = kd.hostNodes(&recordOf);
            const std::size_t count = nodes.size();
            ASSERT_GT(count, 100u);
            ASSERT_EQ(recordOf.size(), count);
            const std::vector<NodeProp>& rec = kd.nodeRecords;
            ASSERT_EQ(rec.size(), count);
            std::vector<int> seen(count, 0);
            int emptySkips = 0;
            std::size_t nextStart = 0;
            // Checks the subtree of host node n at record r; returns its size.
            std::function<int(int, int)> check = [&](int n, int r) -> int {
                const KdNode& nd = nodes[static_cast<std::size_t>(n)];
                EXPECT_EQ(recordOf[static_cast<std::size_t>(n)], r);
                if (r < 0 || static_cast<std::size_t>(r) >= count) {
                    ADD_FAILURE() << "record " << r << " of node " << n << " out of range";
                    return 1;
                }
                ++seen[static_cast<std::size_t>(r)];
                const NodeProp& p = rec[static_cast<std::size_t>(r)];
                if (nd.isLeaf) {
                    EXPECT_TRUE(p.isLeaf());
                    EXPECT_EQ(p.triCount(), nd.triCount);
                    // The leaves' lists follow one another in record order.
                    EXPECT_EQ(p.start(), nextStart);
                    nextStart += static_cast<std::size_t>(nd.triCount);
                    return 1;
                }
                EXPECT_FALSE(p.isLeaf());
                EXPECT_EQ(p.axis(), nd.splitAxis);
                EXPECT_EQ(p.split, nd.splitPos);
                const KdNode& lo = nodes[static_cast<std::size_t>(nd.left)];
                const KdNode& hi = nodes[static_cast<std::size_t>(nd.right)];
                EXPECT_EQ(p.lowerEmpty(), lo.isLeaf && lo.triCount == 0);
                EXPECT_EQ(p.upperEmpty(), hi.isLeaf && hi.triCount == 0);
                emptySkips += p.lowerEmpty() + p.upperEmpty();
                const int lowerSize = check(nd.left, r + 1);
                EXPECT_EQ(p.upperChild(), r + 1 + lowerSize);
                return 1 + lowerSize + check(nd.right, p.upperChild());
            };
            EXPECT_EQ(check(0, 0), static_cast<int>(count));
            EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), static_cast<long>(count));
            EXPECT_EQ(nextStart, kd.triIndices.size());
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
            EXPECT_LE(kd.nodeCount(), 8 * n);
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

// The kd walk (leaves tested four at a time, branch-free descent, in-plane
// siblings both visited) against brute force over all triangles with the
// same triangle test, on input that stresses it: overlapping coplanar
// triangles, large triangles that cross many cells among small ones, shared
// edges in split planes, rays that run inside split planes and rays that
// start a hair from them.
TEST(KdTreeTraversal, AgreesWithBruteForceOnHostileScenes) {
    std::mt19937 rng(57);
    std::vector<Scene> scenes(4);
    addHostileScenes(scenes.data(), rng);
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
            std::vector<Ray> rays = makeRays(scene.bounds, 1500, rng);
            // Rays inside split planes (the direction has no component
            // across the plane), from the first inner nodes down.
            int inPlane = 0;
            for (std::size_t k = 0; k < kd.nodeCount() && inPlane < 300; ++k) {
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
            for (std::size_t k = 0; k < kd.nodeCount() && nearPlane < 600; ++k) {
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
                const float dist = std::uniform_real_distribution<float>(0.01f, 40.0f)(rng);
                const float tmax = static_cast<float>(static_cast<double>(dist) - 0.001);
                const bool blocked = bruteWoop(a, r, kRayEpsilon, tmax).tri >= 0;
                EXPECT_EQ(tr.occlude(r, dist, a.woop.data(), kd.nodeRecords.data(), kd.triIndices.data(),
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
