// The dynamic BVH: object subtrees, small-node rules, refit after a move.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "accel/refit.h"
#include "accel_test_util.h"
#include "device/threads.h"

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
    for (const BVHNode& n : bvh.hostNodes()) {
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

// The tree as the builder's rules define it, written the plain way: every
// node sorts the sweep entries of its own primitives again along each axis
// it tries. The build sorts once and partitions; it must give this tree node
// for node.
class ReferenceBvh {
 public:
    struct Node {
        aabb box;
        int axis = 0;
        bool leaf = false;
        int left = -1, right = -1, triStart = 0, triCount = 0, parent = -1, object = -1;
        std::vector<int> tris, objects;
    };
    std::vector<Node> nodes;
    std::vector<int> triIndices;
    std::vector<int> objectNode;
    int lost = 0;

    ReferenceBvh(const Scene& scene, bool withObjects) : scene_(scene) {
        const int n = scene.triangleCount;
        objects_ =
            withObjects ? std::min<int>(scene.movableCount, static_cast<int>(scene.movables.size())) : 0;
        objectNode.assign(static_cast<std::size_t>(objects_), -1);
        maxDepth_ = static_cast<int>(std::lround(8.0 + 1.3 * std::log2(static_cast<double>(std::max(n, 1)))));
        std::vector<bool> inObject(static_cast<std::size_t>(n), false);
        for (int k = 0; k < objects_; ++k)
            for (int i = 0; i < scene.movables[k].triangleCount; ++i)
                inObject[scene.movables[k].firstTriangle + i] = true;
        nodes.emplace_back();
        for (int j = 0; j < n; ++j)
            if (!inObject[j]) nodes[0].tris.push_back(j);
        for (int k = 0; k < objects_; ++k) nodes[0].objects.push_back(k);
        nodes[0].box = scene.bounds;
        subdivide(0, scene.bounds, 0, n);
    }

 private:
    struct Entry {
        float pos;
        int kind;
        int id;
    };
    const Scene& scene_;
    int objects_ = 0;
    int maxDepth_ = 0;

    aabb primBox(int id) const {
        return id >= 0 ? scene_.hostTriangles[id].bounds : scene_.movables[~id].bounds;
    }
    int weight(int id) const { return id >= 0 ? 1 : scene_.movables[~id].triangleCount; }
    static float area(const aabb& b) {
        const float dx = b.max.x - b.min.x, dy = b.max.y - b.min.y, dz = b.max.z - b.min.z;
        return 2.0f * (dx * dy + dx * dz + dy * dz);
    }
    static int longest(const aabb& b) {
        const Vector3d d = b.max - b.min;
        if (!(d.x < d.y || d.x < d.z)) return 0;
        return d.y > d.z ? 1 : 2;
    }
    int addPair(int node) {
        const int first = static_cast<int>(nodes.size());
        nodes.emplace_back();
        nodes.emplace_back();
        nodes[first].parent = nodes[first + 1].parent = node;
        nodes[node].left = first;
        nodes[node].right = first + 1;
        return first;
    }
    void leaf(int node) {
        Node& nd = nodes[node];
        nd.leaf = true;
        nd.triStart = static_cast<int>(triIndices.size());
        nd.triCount = static_cast<int>(nd.tris.size());
        triIndices.insert(triIndices.end(), nd.tris.begin(), nd.tris.end());
    }
    void expand(int node) {
        Node& nd = nodes[node];
        const int k = nd.objects[0];
        const Movable& m = scene_.movables[k];
        nd.tris.clear();
        for (int i = 0; i < m.triangleCount; ++i) nd.tris.push_back(m.firstTriangle + i);
        nd.objects.clear();
        nd.object = k;
        objectNode[k] = node;
    }
    void byKind(int node, int depth, bool small) {
        nodes[node].axis = 0;
        const int a = addPair(node), b = a + 1;
        if (nodes[node].tris.empty()) {
            const std::vector<int>& all = nodes[node].objects;
            const std::size_t half = all.size() / 2;
            nodes[a].objects.assign(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(half));
            nodes[b].objects.assign(all.begin() + static_cast<std::ptrdiff_t>(half), all.end());
        } else {
            nodes[a].tris = nodes[node].tris;
            nodes[b].objects = nodes[node].objects;
        }
        int count[2] = {0, 0};
        for (int c : {a, b}) {
            for (int t : nodes[c].tris) {
                nodes[c].box.grow(scene_.hostTriangles[t].bounds);
                ++count[c - a];
            }
            for (int o : nodes[c].objects) {
                nodes[c].box.grow(scene_.movables[o].bounds);
                count[c - a] += scene_.movables[o].triangleCount;
            }
        }
        const aabb boxA = nodes[a].box, boxB = nodes[b].box;
        subdivide(a, boxA, small ? depth : depth + 1, small ? 0 : count[0]);
        subdivide(b, boxB, small ? depth : depth + 1, small ? 0 : count[1]);
    }
    void subdivide(int node, const aabb& box, int depth, int count) {
        if (depth >= maxDepth_ || count < 5) {
            if (nodes[node].objects.empty()) return leaf(node);
            if (nodes[node].objects.size() == 1 && nodes[node].tris.empty()) {
                expand(node);
                return leaf(node);
            }
            return byKind(node, depth, true);
        }
        for (int attempt = 0;; ++attempt) {
            const int axis = (longest(box) + attempt) % 3;
            nodes[node].axis = axis;
            if (nodes[node].tris.empty() && nodes[node].objects.size() == 1) expand(node);
            std::vector<int> prims = nodes[node].tris;
            for (int o : nodes[node].objects) prims.push_back(~o);
            std::vector<Entry> sweep;
            for (int id : prims) {
                const aabb b = primBox(id);
                sweep.push_back({b.min[axis], 0, id});
                sweep.push_back({(b.min[axis] + b.max[axis]) * 0.5f, 1, id});
                sweep.push_back({b.max[axis], 2, id});
            }
            std::sort(sweep.begin(), sweep.end(), [](const Entry& x, const Entry& y) {
                if (x.pos != y.pos) return x.pos < y.pos;
                if (x.kind != y.kind) return x.kind < y.kind;
                return x.id < y.id;
            });
            std::vector<int> order;
            for (const Entry& e : sweep)
                if (e.kind == 1) order.push_back(e.id);
            const std::size_t m = order.size();
            const float f = 1.0f / area(box);
            float best = 1e9f;
            std::size_t bestMoved = 0;
            aabb bestL, bestR = box;
            for (std::size_t cut = 1; cut < m; ++cut) {
                // The entries that see `cut` primitives on the left.
                aabb L, R;
                int nL = 0;
                for (std::size_t j = 0; j < cut; ++j) {
                    L.grow(primBox(order[j]));
                    nL += weight(order[j]);
                }
                R = primBox(order[m - 1]);
                for (std::size_t j = m - 1; j-- > cut;) {
                    aabb s = primBox(order[j]);
                    s.grow(R);
                    R = s;
                }
                const int nR = count - nL;
                std::size_t seen = 0;
                for (const Entry& e : sweep) {
                    if (e.kind == 1) {
                        ++seen;
                        continue;
                    }
                    if (seen != cut || !(box.min[axis] < e.pos && e.pos < box.max[axis])) continue;
                    float cost = (area(L) * f) * static_cast<float>(nL) +
                                 (area(R) * f) * static_cast<float>(nR) + 0.2f;
                    if (e.id < 0) cost = static_cast<float>(static_cast<double>(cost) * 0.8);
                    if (cost < best) {
                        best = cost;
                        bestMoved = cut;
                        bestL = L;
                        bestR = R;
                    }
                }
            }
            if (static_cast<float>(count) <= best) {
                if (attempt < 3) continue;
                if (nodes[node].objects.empty()) return leaf(node);
                if (bestMoved == 0) return byKind(node, depth, false);
            }
            const int a = addPair(node), b = a + 1;
            nodes[a].object = nodes[b].object = nodes[node].object;
            nodes[a].box = bestL;
            nodes[b].box = bestR;
            int counts[2] = {0, 0};
            for (std::size_t j = 0; j < m; ++j) {
                Node& dst = nodes[j < bestMoved ? a : b];
                if (order[j] >= 0)
                    dst.tris.push_back(order[j]);
                else
                    dst.objects.push_back(~order[j]);
                counts[j < bestMoved ? 0 : 1] += weight(order[j]);
            }
            std::sort(nodes[a].tris.begin(), nodes[a].tris.end());
            std::sort(nodes[b].tris.begin(), nodes[b].tris.end());
            if (counts[0] + counts[1] < count) ++lost;
            subdivide(a, bestL, depth + 1, counts[0]);
            subdivide(b, bestR, depth + 1, counts[1]);
            return;
        }
    }
};

// Bounds compare by value: where two equal zeros of opposite sign meet, which
// one a min or max keeps is the compiler's and the maths library's choice.
bool sameBox(const aabb& a, const aabb& b) {
    for (int axis = 0; axis < 3; ++axis)
        if (!(a.min[axis] == b.min[axis] && a.max[axis] == b.max[axis])) return false;
    return true;
}

void expectReferenceTree(Scene& scene, bool withObjects, const ReferenceBvh& ref, int parallelGrain,
                         std::vector<DynamicBVHNodeProp>& records) {
    BVHTree bvh;
    bvh.method = BVHTree::Method::Sweep;
    bvh.parallelGrain = parallelGrain;
    ASSERT_TRUE(withObjects ? bvh.buildDynamic(&scene) : bvh.build(&scene));
    ASSERT_EQ(bvh.nodeRecords.size(), ref.nodes.size());
    for (std::size_t i = 0; i < ref.nodes.size(); ++i) {
        const ReferenceBvh::Node& want = ref.nodes[i];
        const DynamicBVHNodeProp& got = bvh.nodeRecords[i];
        ASSERT_TRUE(sameBox(got.box, want.box)) << "node " << i;
        ASSERT_EQ(got.parent, want.parent) << "node " << i;
        ASSERT_EQ(got.object, want.object) << "node " << i;
        ASSERT_EQ(got.isLeaf(), want.leaf) << "node " << i;
        if (want.leaf) {
            ASSERT_EQ(got.triStart(), want.triStart) << "node " << i;
            ASSERT_EQ(got.triCount(), want.triCount) << "node " << i;
        } else {
            ASSERT_EQ(got.first(), want.left) << "node " << i;
            ASSERT_EQ(got.second, want.right) << "node " << i;
            ASSERT_EQ(got.axis(), want.axis) << "node " << i;
        }
    }
    EXPECT_EQ(bvh.triIndices, ref.triIndices);
    // Bit for bit (zeros keep their signs) the same on every grain.
    if (records.empty()) records = bvh.nodeRecords;
    EXPECT_EQ(std::memcmp(records.data(), bvh.nodeRecords.data(), records.size() * sizeof(records[0])), 0);
    EXPECT_EQ(bvh.lostTriangles, ref.lost);
    for (std::size_t k = 0; k < ref.objectNode.size(); ++k)
        EXPECT_EQ(scene.movables[k].bvhNode, ref.objectNode[k]) << "object " << k;
}

void expectReferenceTree(Scene& scene, bool withObjects) {
    const ReferenceBvh ref(scene, withObjects);
    // Also swept in stretches of a few entries and built side by side from
    // small nodes on: stretch borders fall everywhere, also between equal
    // positions and signed zeros.
    std::vector<DynamicBVHNodeProp> records;
    for (int grain : {BVHTree().parallelGrain, 8, 37}) {
        SCOPED_TRACE(grain);
        expectReferenceTree(scene, withObjects, ref, grain, records);
    }
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
    const std::vector<BVHNode> nodes = bvh.hostNodes();
    for (int k = 0; k < 3; ++k) {
        const Movable& m = scene.movables[k];
        ASSERT_GE(m.bvhNode, 0);
        const BVHNode& root = nodes[m.bvhNode];
        EXPECT_EQ(root.object, k);
        EXPECT_EQ(nodes[root.parent].object, -1);
    }
    const BVHNode& small = nodes[scene.movables[2].bvhNode];
    EXPECT_TRUE(small.isLeaf);
    EXPECT_EQ(small.triCount, 3);
    EXPECT_LE(bvh.treeDepth, kBvhStackSize);
}

TEST(BVHBuild, EmptyAndInvalidScenes) {
    {
        Scene scene;
        finishScene(scene);
        BVHTree bvh;
        ASSERT_TRUE(bvh.buildDynamic(&scene));
        ASSERT_EQ(bvh.nodeRecords.size(), 1u);
        EXPECT_TRUE(bvh.nodeRecords[0].isLeaf());
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
    for (const BVHNode& n : bvh.hostNodes()) EXPECT_EQ(n.object, -1);
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
    ASSERT_TRUE(bvh.nodeRecords[m.bvhNode].isLeaf());
    ASSERT_EQ(bvh.nodeRecords[m.bvhNode].parent, 0);
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
        for (int p = bvh.nodeRecords[m.bvhNode].parent; p >= 0; p = bvh.nodeRecords[p].parent)
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

// Two objects, each left where it was moved while the other moves: the
// common ancestors must hold both where they stand now, so a refit may not
// take the other object's box in its load-time place.
TEST(BVHRefit, TwoMovedObjectsStayWhereTheyWereMoved) {
    Scene scene;
    std::mt19937 rng(21);
    addObject(scene, 40, Vector3d(1, 1, 1), 1.5f, rng);
    addObject(scene, 30, Vector3d(-3, 0, 2), 1.0f, rng);
    addRandomSoup(scene, 3, rng);
    finishScene(scene);
    BVHTree bvh;
    ASSERT_TRUE(bvh.buildDynamic(&scene));
    ASSERT_EQ(scene.movableCount, 2);
    // The case that matters: a refit of one object recomputes a node with the
    // other object's subtree root as a direct child.
    bool siblingRoot = false;
    for (int p = bvh.nodeRecords[scene.movables[0].bvhNode].parent; p >= 0; p = bvh.nodeRecords[p].parent) {
        const DynamicBVHNodeProp& n = bvh.nodeRecords[p];
        siblingRoot |= n.first() == scene.movables[1].bvhNode || n.second == scene.movables[1].bvhNode;
    }
    ASSERT_TRUE(siblingRoot);
    HostArrays arrays(scene);

    const struct {
        int object;
        Vector3d offset;
    } moves[] = {{0, Vector3d(40, 0, 0)},
                 {1, Vector3d(-30, 5, 0)},
                 {0, Vector3d(41, 0, 0)},
                 {1, Vector3d(-31, 5, 0)},
                 {0, Vector3d(0, 0, 0)}};
    for (const auto& mv : moves) {
        updateBVH(mv.object, mv.offset, scene.movables.data(), bvh.nodeRecords.data());
        for (int k = 0; k < 2; ++k) {
            const Movable& m = scene.movables[k];
            for (int p = bvh.nodeRecords[m.bvhNode].parent; p >= 0; p = bvh.nodeRecords[p].parent)
                EXPECT_TRUE(inside(worldBox(m), bvh.nodeRecords[p].box)) << "object " << k << " node " << p;
            // Rays aimed at each object's triangles where it stands now find
            // what brute force finds.
            for (int i = 0; i < m.triangleCount; i += 3) {
                const Triangle& t = scene.hostTriangles[m.firstTriangle + i];
                const Vector3d c = (t.p1 + t.p2 + t.p3) / 3.0f + m.offset;
                const Ray r(c + Vector3d(0.3f, -0.2f, 6.0f), normalize(Vector3d(-0.3f, 0.2f, -6.0f)));
                const BruteHit b = bruteMT(scene, arrays, r, kRayEpsilon, kRayMaxT);
                ASSERT_GE(b.tri, 0);
                TreeTraversal tr;
                SurfaceHitRecord h{};
                ASSERT_TRUE(tr.intersectMov(r, &h, bvh.nodeRecords.data(), bvh.triIndices.data(),
                                            scene.movables.data(), arrays.tris.data(), nullptr, aabb()))
                    << "object " << k << " triangle " << i;
                EXPECT_NEAR(h.t, b.t, 1e-4f * std::fmax(1.0f, b.t));
            }
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
    for (const BVHNode& n : bvh.hostNodes())
        if (n.isLeaf) largest = std::max(largest, n.triCount);
    EXPECT_LE(largest, 16);
    // No split leaves one child empty and the other holding everything.
    for (const BVHNode& n : bvh.hostNodes()) {
        if (n.isLeaf) {
            EXPECT_TRUE(n.triCount > 0 || n.parent < 0) << n.index;
        }
    }
}

TEST(BVHBuild, SameTreeAsSortingEveryNodeAgain) {
    // Mixed geometry with objects beside, inside and overlapping the static
    // triangles; many small objects (split by kind, in halves); ties on
    // shared grid edges and bounds on -0 and +0; objects past movableCount
    // are static triangles.
    for (int seed = 0; seed < 6; ++seed) {
        Scene scene;
        std::mt19937 rng(100 + seed);
        makeMixedScene(scene, 150 + 40 * seed, rng);
        addGrid(scene, 6, -0.0f, 0.5f);
        addGrid(scene, 6, 0.0f, 0.75f);
        addObject(scene, 80, Vector3d(1, 1, 1), 1.5f, rng);
        addObject(scene, 40, Vector3d(1.5f, 1, 1), 1.0f, rng);
        for (int k = 0; k < 2 + 3 * seed; ++k)
            addObject(scene, 1 + (k * 5) % 7, Vector3d(-4, 0, 0.1f * k), 0.3f, rng);
        addObject(scene, 600, Vector3d(0, -3, 0), 2.0f, rng);
        finishScene(scene);
        if (seed % 2) scene.movableCount -= 1;
        SCOPED_TRACE(seed);
        expectReferenceTree(scene, true);
        expectReferenceTree(scene, false);
    }
}

// The builds run on all cores; the trees must not depend on how many.
TEST(ParallelBuilds, SameTreesOnOneThreadAndOnAll) {
    Scene scene;
    std::mt19937 rng(44);
    addRandomSoup(scene, 6000, rng);
    addObject(scene, 5000, Vector3d(2, 2, 2), 3.0f, rng);
    addCoplanarDecals(scene, 500, rng);
    finishScene(scene);
    auto build = [&](int threads, KdTree& kd, BVHTree& bvh) {
        device::ThreadLimit limit(threads);
        aabb box = scene.bounds;
        ASSERT_TRUE(kd.build(&scene, box, KdTree::kClipping));
        ASSERT_TRUE(bvh.buildDynamic(&scene));
    };
    KdTree kd1, kdN;
    BVHTree bvh1, bvhN;
    build(1, kd1, bvh1);
    build(0, kdN, bvhN);
    auto same = [](const auto& a, const auto& b) {
        return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(a[0])) == 0;
    };
    EXPECT_TRUE(same(kd1.nodeRecords, kdN.nodeRecords));
    EXPECT_TRUE(same(kd1.triIndices, kdN.triIndices));
    EXPECT_TRUE(same(bvh1.nodeRecords, bvhN.nodeRecords));
    EXPECT_TRUE(same(bvh1.triIndices, bvhN.triIndices));
    EXPECT_TRUE(same(bvh1.wideNodes, bvhN.wideNodes));
    EXPECT_TRUE(same(bvh1.widePacks, bvhN.widePacks));

    // Large enough that the BVH's top nodes sweep in stretches on all
    // cores and its subtrees (also inside the object) are built side by
    // side; and once more with a grain that does so down to small nodes.
    Scene big;
    addRandomSoup(big, 30000, rng);
    addObject(big, 9000, Vector3d(1, 1, 1), 2.0f, rng);
    addObject(big, 3, Vector3d(-1, 1, 1), 0.5f, rng);
    addCoplanarDecals(big, 2000, rng);
    finishScene(big);
    for (const BVHTree::Method method : {BVHTree::Method::Binned, BVHTree::Method::Sweep})
        for (int grain : {BVHTree().parallelGrain, 100}) {
            SCOPED_TRACE(testing::Message()
                         << "grain " << grain << (method == BVHTree::Method::Sweep ? ", sweep" : ", binned"));
            // The root's primitives: the static triangles and the two objects.
            ASSERT_GE(big.triangleCount - 9003 + 2, grain);
            BVHTree one, all;
            one.method = all.method = method;
            one.parallelGrain = all.parallelGrain = grain;
            {
                device::ThreadLimit limit(1);
                ASSERT_TRUE(one.buildDynamic(&big));
            }
            const int objectRoot = big.movables[0].bvhNode;
            ASSERT_TRUE(all.buildDynamic(&big));
            EXPECT_EQ(big.movables[0].bvhNode, objectRoot);
            EXPECT_EQ(all.nodeRecords[objectRoot].object, 0);
            EXPECT_TRUE(same(one.nodeRecords, all.nodeRecords));
            EXPECT_TRUE(same(one.triIndices, all.triIndices));
            EXPECT_TRUE(same(one.wideNodes, all.wideNodes));
            EXPECT_TRUE(same(one.wideLinks, all.wideLinks));
            EXPECT_TRUE(same(one.widePacks, all.widePacks));
            EXPECT_TRUE(same(one.wideObjectRoots, all.wideObjectRoots));
        }
}

// Entries carry the id and the kind in one word: both must come back for
// the extreme triangle ids and for objects (negative ids).
TEST(BVHBuild, SweepEntriesKeepIdAndKind) {
    for (int32_t id : {0, 1, 12345, SweepEntry::kMaxId, -1, -2, ~SweepEntry::kMaxId + 1, -SweepEntry::kMaxId})
        for (int32_t kind : {SweepEntry::kMin, SweepEntry::kCentre, SweepEntry::kMax}) {
            const SweepEntry e{1.0f, SweepEntry::encode(id, kind)};
            EXPECT_EQ(e.id(), id) << kind;
            EXPECT_EQ(e.kind(), kind) << id;
        }
}
