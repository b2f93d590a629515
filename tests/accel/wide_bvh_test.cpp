// The eight-wide layout the tracer walks: its boxes hold what lies below
// them, every triangle sits in exactly one leaf, and its queries agree with
// brute force over all triangles (and with the binary walk it is derived
// from), before and after movable objects move.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>

#include "accel/refit.h"
#include "accel_test_util.h"

using namespace lumenar;
using namespace lumenar::test;

namespace {

bool contains(const aabb& outer, const aabb& inner) {
    for (int a = 0; a < 3; ++a)
        if (!(outer.min[a] <= inner.min[a] && inner.max[a] <= outer.max[a])) return false;
    return true;
}

// Union of a node's used slots.
aabb nodeBox(const WideNode& n) {
    aabb b;
    b.min = Vector3d(FLT_MAX, FLT_MAX, FLT_MAX);
    b.max = Vector3d(-FLT_MAX, -FLT_MAX, -FLT_MAX);
    for (int k = 0; k < kWideWidth; ++k)
        if (n.box[0][k] <= n.box[3][k])
            b = aabb(vmin(b.min, n.slotBox(k).min), vmax(b.max, n.slotBox(k).max));
    return b;
}

void checkLayout(const BVHTree& bvh, const Scene& scene) {
    std::map<int, int> seen;  // triangle -> leaves holding it
    for (std::size_t i = 0; i < bvh.wideNodes.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "wide node " << i);
        const WideNode& n = bvh.wideNodes[i];
        const WideLink& link = bvh.wideLinks[i];
        for (int k = 0; k < kWideWidth; ++k) {
            if (!(n.box[0][k] <= n.box[3][k])) continue;
            const aabb slot = n.slotBox(k);
            if (n.child[k] >= 0) {
                const WideNode& c = bvh.wideNodes[n.child[k]];
                const WideLink& cl = bvh.wideLinks[n.child[k]];
                EXPECT_EQ(cl.parent, static_cast<int>(i));
                EXPECT_EQ(cl.parentSlot, k);
                EXPECT_EQ(n.info[k], cl.object);
                aabb inner = nodeBox(c);
                if (cl.object != link.object) {
                    ASSERT_EQ(link.object, -1);  // objects hang below static nodes only
                    const Vector3d off = scene.movables[cl.object].offset;
                    inner = aabb(inner.min + off, inner.max + off);
                    EXPECT_EQ(bvh.wideObjectRoots[cl.object], n.child[k]);
                }
                EXPECT_TRUE(contains(slot, inner)) << "slot " << k;
                continue;
            }
            std::map<int, int> inLeaf;
            for (int p = 0; p < n.info[k]; ++p) {
                const TriPack& pack = bvh.widePacks[~n.child[k] + p];
                for (int l = 0; l < kPackWidth; ++l) {
                    const int tri = pack.tri[l];
                    ASSERT_GE(tri, 0);
                    inLeaf[tri] = 1;
                    const Triangle& t = scene.hostTriangles[tri];
                    EXPECT_EQ(pack.p1[0][l], t.p1.x);
                    EXPECT_EQ(pack.e2[2][l], t.p3.z - t.p1.z);
                    EXPECT_TRUE(contains(slot, t.bounds)) << "triangle " << tri;
                }
            }
            for (const auto& e : inLeaf) seen[e.first] += 1;
        }
    }
    EXPECT_EQ(seen.size(), scene.hostTriangles.size());
    for (const auto& e : seen) EXPECT_EQ(e.second, 1) << "triangle " << e.first;
}

// Closest hit and occlusion on random rays: wide walk, binary walk and brute
// force over all triangles.
void checkQueries(BVHTree& bvh, Scene& scene, const HostArrays& arrays, int rayCount, unsigned seed) {
    std::mt19937 rng(seed);
    aabb box = scene.bounds;
    for (const Movable& m : scene.movables) box.grow(aabb(m.bounds.min + m.offset, m.bounds.max + m.offset));
    std::vector<Ray> rays = makeRays(box, rayCount, rng);
    // Rays at object triangles where they now stand.
    for (const Movable& m : scene.movables)
        for (int k = 0; k < std::min(m.triangleCount, 10); ++k) {
            const Triangle& t = scene.hostTriangles[m.firstTriangle + k];
            const Vector3d c = (t.p1 + t.p2 + t.p3) / 3.0f + m.offset;
            rays.emplace_back(c + Vector3d(0.1f, 0.2f, 5.0f), normalize(Vector3d(-0.1f, -0.2f, -5.0f)));
        }
    const WideBVHView w = bvh.hostWideView();
    int hits = 0;
    for (std::size_t i = 0; i < rays.size(); ++i) {
        const Ray& r = rays[i];
        SCOPED_TRACE(testing::Message() << "ray " << i);
        const BruteHit b = bruteMT(scene, arrays, r, kRayEpsilon, kRayMaxT);
        TreeTraversal tr;
        SurfaceHitRecord hw{}, hb{};
        const bool fw = tr.intersectMov(r, &hw, w, scene.movables.data(), arrays.tris.data());
        EXPECT_EQ(tr.top, -1);
        const bool fb = tr.intersectMov(r, &hb, bvh.nodeRecords.data(), bvh.triIndices.data(),
                                        scene.movables.data(), arrays.tris.data(), nullptr, aabb());
        ASSERT_EQ(fw, b.tri >= 0);
        ASSERT_EQ(fw, fb);
        if (fw) {
            ++hits;
            EXPECT_NEAR(hw.t, b.t, 1e-4f * std::fmax(1.0f, b.t));
            EXPECT_NEAR(hw.t, hb.t, 1e-4f * std::fmax(1.0f, b.t));
            EXPECT_NEAR(length(hw.p - r.at(hw.t)), 0.0f, 1e-4f * std::fmax(1.0f, b.t));
            EXPECT_EQ(hw.materialIndex, scene.hostTriangles[hw.triangleIndex].materialIndex);
            if (hw.triangleIndex == b.tri) {
                float t, u, v;
                ASSERT_TRUE(mtHit(arrays.tris[b.tri], offsetOf(scene, b.tri), r, 0.0f, FLT_MAX, t, u, v));
                const deviceTriangle& d = arrays.tris[b.tri];
                const Vector3d n = normalize(d.normal1 * (1 - u - v) + d.normal2 * u + d.normal3 * v);
                EXPECT_NEAR(dot(n, hw.normal), 1.0f, 1e-4f);
            }
        }
        const float dist = std::uniform_real_distribution<float>(0.01f, 40.0f)(rng);
        const float tmax = static_cast<float>(static_cast<double>(dist) - 0.001);
        const bool blocked = bruteMT(scene, arrays, r, kRayEpsilon, tmax).tri >= 0;
        EXPECT_EQ(tr.occludeMov(r, dist, w, scene.movables.data()), blocked);
        const int first = tr.firstAccepted(w, scene.movables.data(), r, kRayEpsilon, kRayMaxT);
        EXPECT_EQ(first >= 0, b.tri >= 0);
        if (first >= 0) {
            float t, u, v;
            EXPECT_TRUE(mtHit(arrays.tris[first], offsetOf(scene, first), r, kRayEpsilon, kRayMaxT, t, u, v));
        }
        EXPECT_EQ(tr.top, -1);
    }
    EXPECT_GT(hits, rayCount / 10);
}

}  // namespace

TEST(WideBVH, AgreesWithBruteForceOnHostileScenes) {
    std::vector<Scene> scenes(5);
    std::mt19937 rng(31);
    makeMixedScene(scenes[0], 500, rng);  // soup, shared-edge grid, axis-aligned boxes, degenerates
    addGrid(scenes[1], 16, 1.0f, 0.5f);   // one plane; rays in and parallel to it
    finishScene(scenes[1]);
    addCoplanarDecals(scenes[2], 400, rng);  // overlapping and duplicated triangles
    addFan(scenes[2], 100, Vector3d(0, 0, 1), 3.0f);
    finishScene(scenes[2]);
    finishScene(scenes[3]);  // no triangles at all
    // Objects among static triangles, inside and beside them.
    addRandomSoup(scenes[4], 400, rng, 6.0f, 0.6f);
    addObject(scenes[4], 200, Vector3d(0, 0, 0), 2.0f, rng);
    addObject(scenes[4], 4, Vector3d(3, 0, 0), 0.5f, rng);
    for (int k = 0; k < 6; ++k) addObject(scenes[4], 1 + k, Vector3d(-3, 0.3f * k, 0), 0.4f, rng);
    finishScene(scenes[4]);
    for (std::size_t i = 0; i < scenes.size(); ++i)
        for (const BVHTree::Method method : {BVHTree::Method::Binned, BVHTree::Method::Sweep}) {
            SCOPED_TRACE(testing::Message()
                         << "scene " << i << (method == BVHTree::Method::Sweep ? ", sweep" : ", binned"));
            BVHTree bvh;
            bvh.method = method;
            ASSERT_TRUE(bvh.buildDynamic(&scenes[i]));
            checkLayout(bvh, scenes[i]);
            if (scenes[i].triangleCount == 0) {
                TreeTraversal tr;
                SurfaceHitRecord h{};
                EXPECT_FALSE(tr.intersectMov(Ray(Vector3d(0, 0, 0), Vector3d(0, 0, 1)), &h,
                                             bvh.hostWideView(), scenes[i].movables.data(), nullptr));
                continue;
            }
            const HostArrays arrays(scenes[i]);
            checkQueries(bvh, scenes[i], arrays, 1500, 40 + static_cast<unsigned>(i));
        }
}

// Objects of many and of few triangles, one moved about: after each refit
// the boxes still hold everything and every query agrees with brute force
// at the object's new place.
TEST(WideBVH, MovedObjectsAreHitWhereTheyStand) {
    Scene scene;
    std::mt19937 rng(8);
    addRandomSoup(scene, 300, rng);
    addObject(scene, 80, Vector3d(1, 1, 1), 1.5f, rng);
    addObject(scene, 3, Vector3d(-4, 0, 1), 1.0f, rng);  // a leaf of its own
    addGrid(scene, 5, -6.0f, 2.0f);
    finishScene(scene);
    for (const BVHTree::Method method : {BVHTree::Method::Binned, BVHTree::Method::Sweep}) {
        SCOPED_TRACE(method == BVHTree::Method::Sweep ? "sweep" : "binned");
        for (Movable& m : scene.movables) m.offset = Vector3d();
        BVHTree bvh;
        bvh.method = method;
        ASSERT_TRUE(bvh.buildDynamic(&scene));
        const HostArrays arrays(scene);
        checkLayout(bvh, scene);
        checkQueries(bvh, scene, arrays, 800, 3);

        const Vector3d moves[] = {Vector3d(0.25f, 0, 0), Vector3d(3, -2, 1), Vector3d(40, 0, 0),
                                  Vector3d(0, 0, 0)};
        for (int object : {0, 1}) {
            for (const Vector3d& offset : moves) {
                SCOPED_TRACE(testing::Message() << "object " << object << " at " << offset.x << " "
                                                << offset.y << " " << offset.z);
                const std::vector<WideNode> before = bvh.wideNodes;
                updateBVH(object, offset, scene.movables.data(), bvh.nodeRecords.data(), bvh.hostWideView());
                // Only the nodes on the path from the object up changed.
                std::vector<bool> onPath(before.size(), false);
                for (int p = bvh.wideLinks[bvh.wideObjectRoots[object]].parent; p >= 0;
                     p = bvh.wideLinks[p].parent)
                    onPath[p] = true;
                for (std::size_t i = 0; i < before.size(); ++i)
                    if (!onPath[i]) {
                        EXPECT_EQ(0, std::memcmp(&before[i], &bvh.wideNodes[i], sizeof(WideNode))) << i;
                    }
                checkLayout(bvh, scene);
                checkQueries(bvh, scene, arrays, 300, 9);
            }
        }
    }
}

// A scene that is one object: the root belongs to it, and the walk moves the
// ray into the object's coordinates from the start.
TEST(WideBVH, SceneOfOneObject) {
    Scene scene;
    std::mt19937 rng(12);
    addObject(scene, 50, Vector3d(0, 0, 0), 2.0f, rng);
    finishScene(scene);
    BVHTree bvh;
    ASSERT_TRUE(bvh.buildDynamic(&scene));
    EXPECT_EQ(bvh.wideObjectRoots[0], 0);
    const HostArrays arrays(scene);
    updateBVH(0, Vector3d(1.5f, -0.5f, 2.0f), scene.movables.data(), bvh.nodeRecords.data(),
              bvh.hostWideView());
    checkLayout(bvh, scene);
    checkQueries(bvh, scene, arrays, 500, 21);
}

// Built for start-up (each host copy freed once the device has it, the packs
// made in stretches straight for the device), the device holds the same
// arrays as a build that keeps its host copies.
TEST(WideBVH, DeviceArraysDoNotDependOnKeepingHostCopies) {
    Scene scene;
    std::mt19937 rng(19);
    addRandomSoup(scene, 60000, rng, 20.0f, 0.4f);  // more packs than one stretch holds
    addObject(scene, 300, Vector3d(1, 1, 1), 2.0f, rng);
    finishScene(scene);
    BVHTree kept, freed;
    freed.keepHostCopies = false;
    ASSERT_TRUE(kept.buildDynamic(&scene));
    ASSERT_TRUE(freed.buildDynamic(&scene));
    EXPECT_TRUE(freed.nodeRecords.empty());
    EXPECT_TRUE(freed.widePacks.empty());
    auto same = [](const auto& host, const auto& buffer) {
        using T = typename std::decay_t<decltype(host)>::value_type;
        std::vector<T> back(buffer.size());
        if (host.size() != buffer.size() || !buffer.download(back.data(), back.size())) return false;
        return std::memcmp(back.data(), host.data(), host.size() * sizeof(T)) == 0;
    };
    EXPECT_GT(kept.widePacks.size(), std::size_t{1} << 14);
    EXPECT_TRUE(same(kept.widePacks, freed.deviceWidePacks));
    EXPECT_TRUE(same(kept.wideNodes, freed.deviceWideNodes));
    EXPECT_TRUE(same(kept.wideLinks, freed.deviceWideLinks));
    EXPECT_TRUE(same(kept.nodeRecords, freed.deviceNodes));
    EXPECT_TRUE(same(kept.triIndices, freed.deviceTriIndices));
}
