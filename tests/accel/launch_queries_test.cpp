// The queries and the refit launched as per-item work on the selected backend
// give exactly what the same code gives on the host.
#include <gtest/gtest.h>

#include <cstring>

#include "accel/refit.h"
#include "accel_test_util.h"
#include "app/startup.h"
#include "device/launch.h"
#include "device/memory.h"

using namespace lumenar;
using namespace lumenar::test;

namespace {

struct QueryResult {
    int kdTri;
    float kdT;
    int kdBlocked;
    int bvhTri;
    float bvhT;
    int bvhBlocked;
};

LUMENAR_HD QueryResult runQueries(const Ray& r, const float4* woop, const NodeProp* kdNodes, const int* kdIdx,
                                  const DynamicBVHNodeProp* bvhNodes, const int* bvhIdx,
                                  const Movable* movables, const deviceTriangle* tris, const aabb& box) {
    TreeTraversal tr;
    SurfaceHitRecord h{};
    QueryResult q{-1, 0.0f, 0, -1, 0.0f, 0};
    if (tr.intersect(r, &h, woop, kdNodes, kdIdx, tris, nullptr, box)) {
        q.kdTri = h.triangleIndex;
        q.kdT = h.t;
    }
    q.kdBlocked = tr.occlude(r, 5.0f, woop, kdNodes, kdIdx, tris, nullptr, box);
    if (tr.intersectMov(r, &h, bvhNodes, bvhIdx, movables, tris, nullptr, box)) {
        q.bvhTri = h.triangleIndex;
        q.bvhT = h.t;
    }
    q.bvhBlocked = tr.occludeMov(r, 5.0f, bvhNodes, bvhIdx, movables, tris, nullptr, box);
    return q;
}

// One query set per ray, as per-item work (a free function: device lambdas
// cannot live in a test body).
void launchQueries(int n, const Ray* rp, const float4* w, const NodeProp* kn, const int* ki,
                   const DynamicBVHNodeProp* bn, const int* bi, const Movable* mv, const deviceTriangle* tp,
                   aabb box, QueryResult* out) {
    device::launchPathArray(
        n, LUMENAR_LAMBDA(int i) { out[i] = runQueries(rp[i], w, kn, ki, bn, bi, mv, tp, box); });
}

}  // namespace

TEST(LaunchedQueries, MatchTheHostExactly) {
    Scene scene;
    std::mt19937 rng(31);
    makeMixedScene(scene, 500, rng);
    addObject(scene, 30, Vector3d(1, 2, 3), 1.0f, rng);
    finishScene(scene);
    HostArrays a(scene);
    KdTree kd;
    aabb box = scene.bounds;
    ASSERT_TRUE(kd.build(&scene, box, KdTree::kClipping));
    BVHTree bvh;
    ASSERT_TRUE(bvh.buildDynamic(&scene));
    const aabb tracingBox = enlargedBox(kd.bbox);

    auto woop = device::uploadArray(a.woop.data(), a.woop.size());
    auto tris = device::uploadArray(a.tris.data(), a.tris.size());
    auto movables =
        device::uploadArray(scene.movables.data(), scene.movables.size(), device::MemoryKind::Managed);
    std::mt19937 r2(4);
    const std::vector<Ray> rays = makeRays(scene.bounds, 4000, r2);
    auto deviceRays = device::uploadArray(rays.data(), rays.size());
    device::Buffer<QueryResult> results(rays.size());
    ASSERT_TRUE(woop && tris && movables && deviceRays && results);

    // Move the object on the device first, and the host copy the same way.
    const Vector3d offset(0.5f, -1.0f, 0.25f);
    // The launch refits the binary records and the wide layout the tracer
    // walks, as the host walk does.
    ASSERT_TRUE(launchUpdateBVH(0, offset, movables.get(), bvh.deviceNodes.get(), bvh.wideView()));
    ASSERT_TRUE(device::synchronize());
    updateBVH(0, offset, scene.movables.data(), bvh.nodeRecords.data(), bvh.hostWideView());
    std::vector<DynamicBVHNodeProp> refitted(bvh.nodeRecords.size());
    ASSERT_TRUE(bvh.deviceNodes.download(refitted.data(), refitted.size()));
    EXPECT_EQ(0, std::memcmp(refitted.data(), bvh.nodeRecords.data(), refitted.size() * sizeof(refitted[0])));
    std::vector<WideNode> wideRefitted(bvh.wideNodes.size());
    ASSERT_TRUE(bvh.deviceWideNodes.download(wideRefitted.data(), wideRefitted.size()));
    EXPECT_EQ(0,
              std::memcmp(wideRefitted.data(), bvh.wideNodes.data(), wideRefitted.size() * sizeof(WideNode)));

    launchQueries(static_cast<int>(rays.size()), deviceRays.get(), woop.get(), kd.deviceNodes.get(),
                  kd.deviceTriIndices.get(), bvh.deviceNodes.get(), bvh.deviceTriIndices.get(),
                  movables.get(), tris.get(), tracingBox, results.get());
    ASSERT_TRUE(device::checkLaunch());
    ASSERT_TRUE(device::synchronize());
    std::vector<QueryResult> got(rays.size());
    ASSERT_TRUE(results.download(got.data(), got.size()));

    int hits = 0;
    for (std::size_t i = 0; i < rays.size(); ++i) {
        const QueryResult want = runQueries(
            rays[i], a.woop.data(), kd.nodeRecords.data(), kd.triIndices.data(), bvh.nodeRecords.data(),
            bvh.triIndices.data(), scene.movables.data(), a.tris.data(), tracingBox);
        EXPECT_EQ(got[i].kdTri, want.kdTri) << i;
        EXPECT_EQ(got[i].bvhTri, want.bvhTri) << i;
        EXPECT_NEAR(got[i].kdT, want.kdT, 1e-5f * std::fmax(1.0f, want.kdT)) << i;
        EXPECT_NEAR(got[i].bvhT, want.bvhT, 1e-5f * std::fmax(1.0f, want.bvhT)) << i;
        EXPECT_EQ(got[i].kdBlocked, want.kdBlocked) << i;
        EXPECT_EQ(got[i].bvhBlocked, want.bvhBlocked) << i;
        hits += want.kdTri >= 0;
    }
    EXPECT_GT(hits, 400);
}
