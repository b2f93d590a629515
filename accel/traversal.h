// Ray queries over both trees, usable on both backends: closest hit and
// occlusion through the kd-tree (unit-triangle test over the woop array) and
// through the dynamic BVH (Moller-Trumbore with per-object offsets).
//
// TreeTraversal holds the per-thread traversal stacks; a tracer embeds one
// (or derives from it) and calls the queries on it. Every query leaves the
// stack empty (top = -1) when it returns.
#pragma once

#include <cfloat>

#if defined(__SSE2__) && !defined(__CUDA_ARCH__)
#include <emmintrin.h>
#include <xmmintrin.h>
#endif

#include "accel/device_layout.h"
#include "accel/wide_bvh.h"
#include "scene/records.h"

namespace lumenar {

constexpr float kRayEpsilon = 0.00001f;  // nearest accepted hit distance
constexpr float kRayMaxT = FLT_MAX;

// A pending far child with the ray interval inside it.
struct KdStackEntry {
    int32_t node;
    float tEntry;
    float tExit;
};

class TreeTraversal {
 public:
    KdStackEntry kdStack[kKdStackSize + 1];  // the last is scratch: the kd walk stores before it decides
    int32_t bvhStack[kBvhStackSize];
    int32_t top = -1;

    LUMENAR_HD TreeTraversal() : top(-1) {}

    // ---- kd-tree -------------------------------------------------------

    // Closest hit in [kRayEpsilon, kRayMaxT]; the normal comes back unit
    // length. `box` is the enlarged box of the tree.
    LUMENAR_HD bool intersect(const Ray& ray, SurfaceHitRecord* hit, const float4* woop,
                              const NodeProp* nodes, const int* indices, const deviceTriangle* tris,
                              const Material* /*materials*/, const aabb& box) {
        const bool found =
            intersectScene8byteStandard(box, woop, nodes, indices, tris, ray, kRayEpsilon, kRayMaxT, hit);
        if (found) hit->normal = normalize(hit->normal);
        return found;
    }

    // True when a triangle lies in [kRayEpsilon, dist - 0.001].
    LUMENAR_HD bool occlude(const Ray& ray, float dist, const float4* woop, const NodeProp* nodes,
                            const int* indices, const deviceTriangle* tris, const Material* /*materials*/,
                            const aabb& box) {
        const float tmax = static_cast<float>(static_cast<double>(dist) - 0.001);
        return intersectScene8byteStandardOcclude(box, woop, nodes, indices, tris, ray, kRayEpsilon, tmax);
    }

    // The closest-hit walk. A leaf accepts any hit on [tmin, the nearest hit
    // so far], and once a hit is in hand the walk goes on only into pending
    // cells that start before it: usually none, as the far cells lie beyond
    // the leaf; a ray inside a split plane has both children pending over the
    // same interval, and the second, which may hold a nearer triangle, is
    // then tested up to that hit. Far children beyond a hit in hand are not
    // pushed.
    LUMENAR_HD bool intersectScene8byteStandard(const aabb& box, const float4* woop, const NodeProp* nodes,
                                                const int* indices, const deviceTriangle* tris,
                                                const Ray& ray, float tmin, float tmax,
                                                SurfaceHitRecord* hit) {
        float t0 = tmin, t1 = tmax;
        top = -1;
        if (!clipToBox(box, ray, t0, t1)) return false;
        const KdRay r(ray);
        float best = tmax, bestU = 0.0f, bestV = 0.0f;
        int bestTri = -1;
        int sp = -1;  // the stack's top, kept local during the walk
        int node = 0;
        for (;;) {
            node = descend(nodes, r, node, t0, t1, bestTri >= 0 ? widenUp(best) : FLT_MAX, sp);
            const int count = node >= 0 ? nodes[node].triCount() : 0;
            if (count > 0) {
                const NodeProp& leaf = nodes[node];
                // Any hit nearer than the one in hand is taken, wherever it
                // lies along the ray: it is a true hit, and every pending cell
                // that starts before it is still searched. Bounding the test
                // by the cell's interval lost triangles lying in a split
                // plane when the ray starts a hair from it: their hit and the
                // plane's distance round apart by more than any relative slack.
                float leafBest = best;
                int leafTri = -1;
                float u = 0.0f, v = 0.0f;
                nearestInLeaf(woop, indices + leaf.start(), count, r, tmin, leafBest, leafTri, u, v);
                if (leafTri >= 0) {
                    best = leafBest;
                    bestTri = leafTri;
                    bestU = u;
                    bestV = v;
                }
            }
            // The next cell. One that starts beyond the hit in hand cannot
            // hold a nearer one and is dropped; the entries are not ordered
            // by their start (an in-plane sibling starts where the plane's
            // cell does, below cells pushed after it), so all are looked at.
            const float drop = bestTri >= 0 ? widenUp(best) : FLT_MAX;
            while (sp >= 0 && kdStack[sp].tEntry > drop) --sp;
            if (sp < 0) break;
            const KdStackEntry& e = kdStack[sp--];
            node = e.node;
            t0 = e.tEntry;
            t1 = e.tExit;
        }
        top = -1;
        if (bestTri < 0) return false;
        const deviceTriangle& d = tris[bestTri];
        hit->t = best;
        hit->p = ray.origin + ray.direction * best;
        hit->normal = d.normal3 * (1.0f - bestU - bestV) + d.normal1 * bestU + d.normal2 * bestV;
        hit->materialIndex = d.materialIndex;
        hit->triangleIndex = bestTri;
        hit->isLight = d.isLight != 0;
        hit->b1 = bestV;
        hit->b2 = 1.0f - bestU - bestV;
        return true;
    }

    LUMENAR_HD bool intersectScene8byteStandardOcclude(const aabb& box, const float4* woop,
                                                       const NodeProp* nodes, const int* indices,
                                                       const deviceTriangle* /*tris*/, const Ray& ray,
                                                       float tmin, float tmax) {
        float t0 = tmin, t1 = tmax;
        top = -1;
        if (!clipToBox(box, ray, t0, t1)) return false;
        const KdRay r(ray);
        int sp = -1;
        int node = 0;
        bool blocked = false;
        for (;;) {
            node = descend(nodes, r, node, t0, t1, FLT_MAX, sp);
            const int count = node >= 0 ? nodes[node].triCount() : 0;
            if (count > 0) {
                const NodeProp& leaf = nodes[node];
                // Any triangle on [tmin, tmax] blocks, inside this cell or not
                // (see the closest-hit walk for why the cell's own interval
                // is not the bound).
                if (anyInLeaf(woop, indices + leaf.start(), count, r, tmin, tmax)) {
                    blocked = true;
                    break;
                }
            }
            if (sp < 0) break;
            const KdStackEntry& e = kdStack[sp--];
            node = e.node;
            t0 = e.tEntry;
            t1 = e.tExit;
        }
        top = -1;
        return blocked;
    }

    // One triangle, closest-hit form: fills hit (normal not normalised) when
    // the triangle is hit with t in [tmin, tmax].
    LUMENAR_HD static bool computeHit(const float4* woop, const deviceTriangle* tris, const Ray& ray, int tri,
                                      float tmin, float tmax, SurfaceHitRecord& hit) {
        float t, u, v;
        if (!woopTest(woop + 4 * tri, ray, tmin, tmax, t, u, v)) return false;
        const deviceTriangle& d = tris[tri];
        hit.t = t;
        hit.p = ray.origin + ray.direction * t;
        hit.normal = d.normal3 * (1.0f - u - v) + d.normal1 * u + d.normal2 * v;
        hit.materialIndex = d.materialIndex;
        hit.triangleIndex = tri;
        hit.isLight = d.isLight != 0;
        hit.b1 = v;
        hit.b2 = 1.0f - u - v;
        return true;
    }

    // One triangle, occlusion form: tri on a hit in [tmin, tmax], else -1.
    LUMENAR_HD static int computeShadowHit(const float4* woop, const deviceTriangle* /*tris*/, const Ray& ray,
                                           int tri, float tmin, float tmax) {
        float t, u, v;
        return woopTest(woop + 4 * tri, ray, tmin, tmax, t, u, v) ? tri : -1;
    }

    // ---- dynamic BVH ---------------------------------------------------

    LUMENAR_HD bool intersectMov(const Ray& ray, SurfaceHitRecord* hit, const DynamicBVHNodeProp* nodes,
                                 const int* indices, const Movable* movables, const deviceTriangle* tris,
                                 const Material* /*materials*/, const aabb& box) {
        return intersectDynamicSceneBVH(box, nodes, movables, indices, tris, ray, kRayEpsilon, kRayMaxT, hit);
    }

    LUMENAR_HD bool occludeMov(const Ray& ray, float dist, const DynamicBVHNodeProp* nodes,
                               const int* indices, const Movable* movables, const deviceTriangle* tris,
                               const Material* /*materials*/, const aabb& box) {
        const float tmax = static_cast<float>(static_cast<double>(dist) - 0.001);
        return intersectDyanmicSceneBVHOcclude(box, nodes, movables, indices, tris, ray, kRayEpsilon, tmax);
    }

    // ---- wide BVH (the layout the tracer walks) ------------------------

    // Closest hit in [kRayEpsilon, kRayMaxT] with the record the binary walk
    // writes (unit normal, triangle index and light flag included).
    LUMENAR_HD bool intersectMov(const Ray& ray, SurfaceHitRecord* hit, const WideBVHView& w,
                                 const Movable* movables, const deviceTriangle* tris) {
        top = -1;
        const wide::Nearest n = wide::closestHit(w, movables, ray, kRayEpsilon, kRayMaxT);
        if (n.tri < 0) return false;
        *hit = bvhHitRecord(tris, n.tri, ray, n.t, n.u, n.v);
        return true;
    }

    // True when a triangle lies in [kRayEpsilon, dist - 0.001].
    LUMENAR_HD bool occludeMov(const Ray& ray, float dist, const WideBVHView& w, const Movable* movables) {
        top = -1;
        const float tmax = static_cast<float>(static_cast<double>(dist) - 0.001);
        return wide::anyHit(w, movables, ray, kRayEpsilon, tmax) >= 0;
    }

    // The first triangle the wide walk accepts in [tmin, tmax], or -1.
    LUMENAR_HD int firstAccepted(const WideBVHView& w, const Movable* movables, const Ray& ray, float tmin,
                                 float tmax) {
        top = -1;
        return wide::anyHit(w, movables, ray, tmin, tmax);
    }

    // True when the first triangle the walk accepts is `target` (the first
    // in traversal order, not necessarily the nearest).
    LUMENAR_HD bool intersectFind(const Ray& ray, SurfaceHitRecord* /*hit*/, const DynamicBVHNodeProp* nodes,
                                  const int* indices, const Movable* movables, const deviceTriangle* tris,
                                  const Material* /*materials*/, const aabb& /*box*/, int target) {
        const int found = firstAccepted(nodes, movables, indices, tris, ray, kRayEpsilon, kRayMaxT);
        return found >= 0 && found == target;
    }

    // Closest hit (unit normal) through the whole binary hierarchy.
    LUMENAR_HD bool intersectDynamicSceneBVH(const aabb& /*box*/, const DynamicBVHNodeProp* nodes,
                                             const Movable* movables, const int* indices,
                                             const deviceTriangle* tris, const Ray& ray, float tmin,
                                             float tmax, SurfaceHitRecord* hit) {
        float u = 0.0f, v = 0.0f;
        const int tri = bvhWalk<false>(nodes, movables, indices, tris, ray, 0, tmin, tmax, u, v);
        if (tri < 0) return false;
        *hit = bvhHitRecord(tris, tri, ray, tmax, u, v);
        return true;
    }

    LUMENAR_HD bool intersectDyanmicSceneBVHOcclude(const aabb& /*box*/, const DynamicBVHNodeProp* nodes,
                                                    const Movable* movables, const int* indices,
                                                    const deviceTriangle* tris, const Ray& ray, float tmin,
                                                    float tmax) {
        return firstAccepted(nodes, movables, indices, tris, ray, tmin, tmax) >= 0;
    }

    // Ray against an axis-aligned box by slabs on [t0, t1]; narrows the
    // interval. A NaN bound keeps the previous value.
    LUMENAR_HD static bool clipToBox(const aabb& box, const Ray& ray, float& t0, float& t1) {
        for (int a = 0; a < 3; ++a) {
            const float o = ray.origin[a], d = ray.direction[a];
            const float entry = d < 0.0f ? box.max[a] : box.min[a];
            const float exit = d < 0.0f ? box.min[a] : box.max[a];
            const float tIn = (entry - o) / d;
            const float tOut = (exit - o) / d;
            if (tOut < t0 || tIn > t1) return false;
            if (tOut < t1) t1 = tOut;
            if (tIn > t0) t0 = tIn;
        }
        return true;
    }

    // The occlusion walk: index of the first accepted triangle (first in
    // traversal order), or -1.
    LUMENAR_HD int firstAccepted(const DynamicBVHNodeProp* nodes, const Movable* movables, const int* indices,
                                 const deviceTriangle* tris, const Ray& ray, float tmin, float tmax) {
        float u, v;
        return bvhWalk<true>(nodes, movables, indices, tris, ray, 0, tmin, tmax, u, v);
    }

    // The walk of the binary hierarchy from node `root` (0: the whole scene;
    // a movable object's subtree root: that object alone), each node's box
    // and triangles placed by its object's current offset. Returns the
    // nearest triangle hit on [tmin, tmax] (tmax narrows to its distance, u
    // and v its barycentric weights of corners 2 and 3), or with anyHit the
    // first one the walk accepts; -1 when none.
    template <bool anyHit>
    LUMENAR_HD int bvhWalk(const DynamicBVHNodeProp* nodes, const Movable* movables, const int* indices,
                           const deviceTriangle* tris, const Ray& ray, int root, float tmin, float& tmax,
                           float& u, float& v) {
        int best = -1;
        top = -1;
        int node = root;
        for (;;) {
            const DynamicBVHNodeProp& n = nodes[node];
            const Vector3d off = n.object >= 0 ? movables[n.object].offset : Vector3d();
            if (hitsBox(n.box, off, ray, tmin, tmax)) {
                if (!n.isLeaf()) {
                    const bool negative = ray.direction[n.axis()] < 0.0f;
                    push(negative ? n.first() : n.second);
                    node = negative ? n.second : n.first();
                    continue;
                }
                const int count = n.triCount();
                for (int i = 0; i < count; ++i) {
                    const int tri = indices[n.triStart() + i];
                    float t, tu, tv;
                    if (mollerTrumbore(tris[tri], off, ray, tmin, tmax, t, tu, tv)) {
                        best = tri;
                        if (anyHit) {
                            top = -1;
                            return best;
                        }
                        tmax = t;
                        u = tu;
                        v = tv;
                    }
                }
            }
            if (top < 0) return best;
            node = bvhStack[top--];
        }
    }

    // What a closest hit of the hierarchies reports: triangle tri hit at
    // distance t along ray, barycentric weights u, v of corners 2 and 3; the
    // normal interpolated and made unit length (the first weight formed in
    // double).
    LUMENAR_HD static SurfaceHitRecord bvhHitRecord(const deviceTriangle* tris, int tri, const Ray& ray,
                                                    float t, float u, float v) {
        const deviceTriangle& d = tris[tri];
        const float w = static_cast<float>(1.0 - static_cast<double>(u) - static_cast<double>(v));
        SurfaceHitRecord hit;
        hit.t = t;
        hit.p = ray.origin + ray.direction * t;
        hit.normal = normalize(d.normal1 * w + d.normal2 * u + d.normal3 * v);
        hit.materialIndex = d.materialIndex;
        hit.triangleIndex = tri;
        hit.isLight = d.isLight != 0;
        hit.b1 = u;
        hit.b2 = v;
        return hit;
    }

 protected:
    LUMENAR_HD void push(int node) {
        // The build bounds the hierarchy's depth by the stack size, so this
        // never drops an entry for a tree we accept.
        if (top + 1 < kBvhStackSize) bvhStack[++top] = node;
    }

    // Cells are dropped or left unpushed only when they start beyond the hit
    // in hand widened by this share: the hit's distance and a plane's are
    // rounded differently, and a cell that starts at the hit must be searched.
    static constexpr float kLeafSlack = 1e-5f;
    LUMENAR_HD static float widenUp(float t) { return t + fabsf(t) * kLeafSlack; }

    // A ray prepared for the kd walk: per axis the reciprocal direction (a
    // zero component of either sign gives +infinity) and whether the ray
    // runs downwards (a zero component counts as upwards). Split distances
    // differ from a division by a rounding at most; the leaves' slack
    // (kLeafSlack) covers that.
    struct KdRay {
        float o[3], d[3], inv[3];
        int down[3];
        LUMENAR_HD explicit KdRay(const Ray& ray) {
            for (int a = 0; a < 3; ++a) {
                o[a] = ray.origin[a];
                d[a] = ray.direction[a];
                inv[a] = 1.0f / (d[a] == 0.0f ? 0.0f : d[a]);
                down[a] = d[a] < 0.0f ? 1 : 0;
            }
        }
    };

    // Walks from node down to a leaf on [t0, t1], pushing far children that
    // start no farther than limit, and returns the leaf; -1 when every cell
    // the ray crosses below node is a leaf without triangles (those are
    // skipped on their parent's word, never read). sp is the stack's top.
    LUMENAR_HD int descend(const NodeProp* nodes, const KdRay& r, int node, float& t0, float& t1, float limit,
                           int& sp) {
        for (;;) {
            const NodeProp n = nodes[node];
            if (n.isLeaf()) return node;
            const int a = n.axis();
            const int lower = node + 1, upper = n.upperChild();
#if !defined(__CUDA_ARCH__)
            // The lower child is the next record; the upper one is far off
            // in a large subtree and read soon on most paths (as the near
            // child or popped as the far one), so its line is asked for now.
            __builtin_prefetch(nodes + upper);
#endif
            // A zero direction component gives +-infinity (the ray stays on
            // one side: lower when below the plane) or NaN (it runs in the
            // plane: both sides, whole interval each, lower first). Every
            // comparison below reads NaN as "both sides, interval whole".
            const float tSplit = (n.split - r.o[a]) * r.inv[a];
            const int down = r.down[a];
            const int nearChild = lower + down * (upper - lower);
            const int farChild = upper + lower - nearChild;
            // Bit 0: lower child empty, bit 1: upper child empty.
            const uint32_t empty = n.bits >> 2;
            // Inclusive comparisons: a flat leaf (two splits in one plane)
            // holds its planar triangles and is crossed in zero length. The
            // choices are made without branches (they go either way as
            // often); bitwise, not logical, operators keep them so.
            const bool nearSide = !(tSplit < t0) & !((empty >> down) & 1u);
            const bool farSide = !(tSplit > t1) & !((empty >> (down ^ 1)) & 1u);
            const float farEntry = tSplit > t0 ? tSplit : t0;
            // The far child is stored in any case and kept when pushed.
            const bool push = nearSide & farSide & (farEntry <= limit) & (sp + 1 < kKdStackSize);
            kdStack[sp + 1] = {farChild, farEntry, t1};
            sp += push ? 1 : 0;
            if (!(nearSide | farSide)) return -1;
            t1 = nearSide & (tSplit < t1) ? tSplit : t1;
            t0 = nearSide ? t0 : farEntry;
            node = nearSide ? nearChild : farChild;
        }
    }

    // The leaf's nearest triangle with t in [tmin, best], taken in list order
    // on equal distances; lowers best.
    LUMENAR_HD static void nearestInLeaf(const float4* woop, const int* list, int count, const KdRay& r,
                                         float tmin, float& best, int& bestTri, float& bestU, float& bestV) {
#if defined(__SSE2__) && !defined(__CUDA_ARCH__)
        for (int i = 0; i < count; i += 4) {
            float t[4], u[4], v[4];
            int mask = woopTest4(woop, list, i, count, r, tmin, best, t, u, v);
            while (mask) {
                const int l = __builtin_ctz(static_cast<unsigned>(mask));
                mask &= mask - 1;
                if (t[l] < best || (bestTri < 0 && t[l] <= best)) {
                    best = t[l];
                    bestU = u[l];
                    bestV = v[l];
                    bestTri = list[i + l];
                }
            }
        }
#else
        for (int i = 0; i < count; ++i) {
            const int tri = list[i];
            float t, u, v;
            if (woopTest(woop + 4 * tri, r, tmin, best, t, u, v) &&
                (t < best || (bestTri < 0 && t <= best))) {
                best = t;
                bestU = u;
                bestV = v;
                bestTri = tri;
            }
        }
#endif
    }

    // True when a triangle of the leaf lies in [lo, hi].
    LUMENAR_HD static bool anyInLeaf(const float4* woop, const int* list, int count, const KdRay& r, float lo,
                                     float hi) {
#if defined(__SSE2__) && !defined(__CUDA_ARCH__)
        for (int i = 0; i < count; i += 4) {
            float t[4], u[4], v[4];
            if (woopTest4(woop, list, i, count, r, lo, hi, t, u, v)) return true;
        }
#else
        for (int i = 0; i < count; ++i) {
            float t, u, v;
            if (woopTest(woop + 4 * list[i], r, lo, hi, t, u, v)) return true;
        }
#endif
        return false;
    }

#if defined(__SSE2__) && !defined(__CUDA_ARCH__)
    // woopTest on list[i] .. list[i + 3] at once (lanes past count repeat
    // the last triangle), term by term the same arithmetic; mask of the
    // lanes hit, lane k in bit k, with t, u, v stored for all lanes.
    static int woopTest4(const float4* woop, const int* list, int i, int count, const KdRay& r, float tmin,
                         float tmax, float t[4], float u[4], float v[4]) {
        const int last = count - 1;
        const float* f0 = &woop[4 * list[i]].x;
        const float* f1 = &woop[4 * list[i + 1 < last ? i + 1 : last]].x;
        const float* f2 = &woop[4 * list[i + 2 < last ? i + 2 : last]].x;
        const float* f3 = &woop[4 * list[i + 3 < last ? i + 3 : last]].x;
        // Rows k of the four triangles, transposed into x, y, z, w lanes.
        __m128 ax = _mm_load_ps(f0), ay = _mm_load_ps(f1), az = _mm_load_ps(f2), aw = _mm_load_ps(f3);
        _MM_TRANSPOSE4_PS(ax, ay, az, aw);
        __m128 bx = _mm_load_ps(f0 + 4), by = _mm_load_ps(f1 + 4), bz = _mm_load_ps(f2 + 4),
               bw = _mm_load_ps(f3 + 4);
        _MM_TRANSPOSE4_PS(bx, by, bz, bw);
        __m128 cx = _mm_load_ps(f0 + 8), cy = _mm_load_ps(f1 + 8), cz = _mm_load_ps(f2 + 8),
               cw = _mm_load_ps(f3 + 8);
        _MM_TRANSPOSE4_PS(cx, cy, cz, cw);
        return woopLanes(ax, ay, az, aw, bx, by, bz, bw, cx, cy, cz, cw, r, tmin, tmax, t, u, v);
    }

    // The woop test on four triangles given lane by lane: a = the first
    // float4's x, y, z, w, b the second's, c the third's.
    static int woopLanes(__m128 ax, __m128 ay, __m128 az, __m128 aw, __m128 bx, __m128 by, __m128 bz,
                         __m128 bw, __m128 cx, __m128 cy, __m128 cz, __m128 cw, const KdRay& r, float tmin,
                         float tmax, float t[4], float u[4], float v[4]) {
        const __m128 ox = _mm_set1_ps(r.o[0]), oy = _mm_set1_ps(r.o[1]), oz = _mm_set1_ps(r.o[2]);
        const __m128 dx = _mm_set1_ps(r.d[0]), dy = _mm_set1_ps(r.d[1]), dz = _mm_set1_ps(r.d[2]);
        const __m128 Oz = _mm_add_ps(
            _mm_add_ps(_mm_add_ps(_mm_mul_ps(az, ox), _mm_mul_ps(bz, oy)), _mm_mul_ps(cz, oz)), cw);
        const __m128 Dz = _mm_add_ps(_mm_add_ps(_mm_mul_ps(az, dx), _mm_mul_ps(bz, dy)), _mm_mul_ps(cz, dz));
        const __m128 tt = _mm_div_ps(_mm_xor_ps(Oz, _mm_set1_ps(-0.0f)), Dz);
        int mask = _mm_movemask_ps(
            _mm_and_ps(_mm_cmpge_ps(tt, _mm_set1_ps(tmin)), _mm_cmple_ps(tt, _mm_set1_ps(tmax))));
        if (!mask) return 0;
        const __m128 uu = _mm_add_ps(
            _mm_add_ps(_mm_add_ps(_mm_add_ps(_mm_mul_ps(ax, ox), _mm_mul_ps(bx, oy)), _mm_mul_ps(cx, oz)),
                       aw),
            _mm_mul_ps(tt,
                       _mm_add_ps(_mm_add_ps(_mm_mul_ps(ax, dx), _mm_mul_ps(bx, dy)), _mm_mul_ps(cx, dz))));
        const __m128 vv = _mm_add_ps(
            _mm_add_ps(_mm_add_ps(_mm_add_ps(_mm_mul_ps(ay, ox), _mm_mul_ps(by, oy)), _mm_mul_ps(cy, oz)),
                       bw),
            _mm_mul_ps(tt,
                       _mm_add_ps(_mm_add_ps(_mm_mul_ps(ay, dx), _mm_mul_ps(by, dy)), _mm_mul_ps(cy, dz))));
        const __m128 zero = _mm_setzero_ps(), one = _mm_set1_ps(1.0f);
        mask &= _mm_movemask_ps(
            _mm_and_ps(_mm_and_ps(_mm_cmpge_ps(uu, zero), _mm_cmple_ps(uu, one)),
                       _mm_and_ps(_mm_cmpge_ps(vv, zero), _mm_cmple_ps(_mm_add_ps(uu, vv), one))));
        if (mask) {
            _mm_storeu_ps(t, tt);
            _mm_storeu_ps(u, uu);
            _mm_storeu_ps(v, vv);
        }
        return mask;
    }
#endif

    LUMENAR_HD static bool woopTest(const float4* f, const Ray& ray, float tmin, float tmax, float& t,
                                    float& u, float& v) {
        const Vector3d& o = ray.origin;
        const Vector3d& d = ray.direction;
        const float4 f0 = f[0], f1 = f[1], f2 = f[2];
        const float oz = f0.z * o.x + f1.z * o.y + f2.z * o.z + f2.w;
        const float dz = f0.z * d.x + f1.z * d.y + f2.z * d.z;
        t = -oz / dz;
        if (t < tmin || t > tmax) return false;
        u = (f0.x * o.x + f1.x * o.y + f2.x * o.z + f0.w) + t * (f0.x * d.x + f1.x * d.y + f2.x * d.z);
        if (!(u >= 0.0f && u <= 1.0f)) return false;
        v = (f0.y * o.x + f1.y * o.y + f2.y * o.z + f1.w) + t * (f0.y * d.x + f1.y * d.y + f2.y * d.z);
        return v >= 0.0f && u + v <= 1.0f;
    }

    // The same test on a prepared ray.
    LUMENAR_HD static bool woopTest(const float4* f, const KdRay& r, float tmin, float tmax, float& t,
                                    float& u, float& v) {
        const float4 f0 = f[0], f1 = f[1], f2 = f[2];
        const float oz = f0.z * r.o[0] + f1.z * r.o[1] + f2.z * r.o[2] + f2.w;
        const float dz = f0.z * r.d[0] + f1.z * r.d[1] + f2.z * r.d[2];
        t = -oz / dz;
        if (t < tmin || t > tmax) return false;
        u = (f0.x * r.o[0] + f1.x * r.o[1] + f2.x * r.o[2] + f0.w) +
            t * (f0.x * r.d[0] + f1.x * r.d[1] + f2.x * r.d[2]);
        if (!(u >= 0.0f && u <= 1.0f)) return false;
        v = (f0.y * r.o[0] + f1.y * r.o[1] + f2.y * r.o[2] + f1.w) +
            t * (f0.y * r.d[0] + f1.y * r.d[1] + f2.y * r.d[2]);
        return v >= 0.0f && u + v <= 1.0f;
    }

    // clipToBox on the box moved by off, as a yes/no answer. On SSE hosts the
    // three slabs are divided in one go; the answer is the same: the
    // sequential narrowing fails exactly when the latest entry passes the
    // earliest exit, and a NaN slab (ray in the plane, parallel to it) is
    // skipped as the sequential form skips it.
    LUMENAR_HD static bool hitsBox(const aabb& b, const Vector3d& off, const Ray& ray, float t0, float t1) {
#if defined(__SSE2__) && !defined(__CUDA_ARCH__)
        // Lanes x, y, z, x: the fourth repeats the first so it changes nothing.
        const __m128 lo0 = _mm_loadu_ps(&b.min.x);  // min.x min.y min.z max.x
        const __m128 hi0 = _mm_loadu_ps(&b.min.z);  // min.z max.x max.y max.z
        const __m128 o4 = _mm_setr_ps(off.x, off.y, off.z, off.x);
        const __m128 lo = _mm_add_ps(_mm_shuffle_ps(lo0, lo0, _MM_SHUFFLE(0, 2, 1, 0)), o4);
        const __m128 hi = _mm_add_ps(_mm_shuffle_ps(hi0, hi0, _MM_SHUFFLE(1, 3, 2, 1)), o4);
        const __m128 o = _mm_setr_ps(ray.origin.x, ray.origin.y, ray.origin.z, ray.origin.x);
        const __m128 d = _mm_setr_ps(ray.direction.x, ray.direction.y, ray.direction.z, ray.direction.x);
        const __m128 neg = _mm_cmplt_ps(d, _mm_setzero_ps());
        const __m128 entry = _mm_or_ps(_mm_and_ps(neg, hi), _mm_andnot_ps(neg, lo));
        const __m128 exit = _mm_or_ps(_mm_and_ps(neg, lo), _mm_andnot_ps(neg, hi));
        // max/min return their second operand when the first is NaN.
        __m128 tIn = _mm_max_ps(_mm_div_ps(_mm_sub_ps(entry, o), d), _mm_set1_ps(t0));
        __m128 tOut = _mm_min_ps(_mm_div_ps(_mm_sub_ps(exit, o), d), _mm_set1_ps(t1));
        tIn = _mm_max_ps(tIn, _mm_shuffle_ps(tIn, tIn, _MM_SHUFFLE(1, 0, 3, 2)));
        tIn = _mm_max_ps(tIn, _mm_shuffle_ps(tIn, tIn, _MM_SHUFFLE(2, 3, 0, 1)));
        tOut = _mm_min_ps(tOut, _mm_shuffle_ps(tOut, tOut, _MM_SHUFFLE(1, 0, 3, 2)));
        tOut = _mm_min_ps(tOut, _mm_shuffle_ps(tOut, tOut, _MM_SHUFFLE(2, 3, 0, 1)));
        return _mm_cvtss_f32(tIn) <= _mm_cvtss_f32(tOut);
#else
        const aabb box(b.min + off, b.max + off);
        return clipToBox(box, ray, t0, t1);
#endif
    }

    LUMENAR_HD static bool mollerTrumbore(const deviceTriangle& tri, const Vector3d& off, const Ray& ray,
                                          float tmin, float tmax, float& t, float& u, float& v) {
        const Vector3d p1 = tri.p1 + off;
        const Vector3d e1 = tri.p2 + off - p1;
        const Vector3d e2 = tri.p3 + off - p1;
        const Vector3d q = cross(ray.direction, e2);
        const float det = dot(e1, q);
        const float inv = 1.0f / det;
        const Vector3d s = ray.origin - p1;
        u = inv * dot(s, q);
        if (u < 0.0f || u > 1.0f) return false;
        const Vector3d r = cross(s, e1);
        v = inv * dot(ray.direction, r);
        if (v < 0.0f || u + v > 1.0f) return false;
        t = inv * dot(e2, r);
        return tmin <= t && t <= tmax;
    }
};

}  // namespace lumenar
