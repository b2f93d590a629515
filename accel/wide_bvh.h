// The BVH as the tracer walks it: the binary hierarchy collapsed into nodes
// of eight children whose boxes are tested together, and leaves of
// precomputed triangle packs (first vertex and two edges of four triangles,
// lane by lane), so the hot loop reads no index list and no vertex records.
//
// Movable objects keep their own subtrees, in load-time coordinates: a node
// records the object its children belong to, and the walk moves the ray
// into that object's coordinates on entering it. A node's child boxes are in
// the node's own coordinates, so the box of an object's root sits in its
// static parent in scene coordinates and is what a move refits.
#pragma once

#include <cfloat>
#include <cstdint>

#include "accel/device_layout.h"
#include "accel/wide_simd.h"
#include "scene/records.h"

namespace lumenar {

constexpr int kWideWidth = 8;  // children of a node
constexpr int kPackWidth = 4;  // triangles of a pack
// A walk keeps at most seven pending children per level, and no path is
// deeper than the binary hierarchy it came from.
constexpr int kWideStackSize = (kWideWidth - 1) * kBvhStackSize + 1;

// Four cache lines: what the walk reads of a node and nothing else.
struct alignas(64) WideNode {
    // Child boxes lane by lane: min x, y, z then max x, y, z. An empty slot
    // holds the inverted infinite box, which no ray enters.
    float box[6][kWideWidth];
    // >= 0: a node; < 0: a leaf, ~(its first pack).
    int32_t child[kWideWidth];
    // A leaf: its number of packs. A node: the movable object that node
    // belongs to, or -1 (the walk moves the ray when this changes).
    int32_t info[kWideWidth];

    LUMENAR_HD aabb slotBox(int k) const {
        return aabb(Vector3d(box[0][k], box[1][k], box[2][k]), Vector3d(box[3][k], box[4][k], box[5][k]));
    }
    LUMENAR_HD void setSlotBox(int k, const aabb& b) {
        box[0][k] = b.min.x;
        box[1][k] = b.min.y;
        box[2][k] = b.min.z;
        box[3][k] = b.max.x;
        box[4][k] = b.max.y;
        box[5][k] = b.max.z;
    }
};

// Where a node hangs, for the refit (one per node, in node order).
struct WideLink {
    int32_t object;      // movable object the node's boxes and leaves belong to, or -1
    int32_t parent;      // -1 for the root
    int32_t parentSlot;  // the node's slot in its parent
    int32_t pad;
};

// Four triangles for one Moller-Trumbore test: p1, p2 - p1, p3 - p1 per lane.
// A leaf's last pack repeats its last triangle in the unused lanes.
struct TriPack {
    float p1[3][kPackWidth];
    float e1[3][kPackWidth];
    float e2[3][kPackWidth];
    int32_t tri[kPackWidth];
};

static_assert(sizeof(WideNode) == 256, "WideNode is four cache lines");
static_assert(sizeof(TriPack) == 160, "TriPack is 40 words");

// What a traversal or a refit needs of the wide layout (device pointers on
// the GPU backend). Node 0 is the root; objectRoots[k] is the node where
// movable object k starts.
struct WideBVHView {
    WideNode* nodes = nullptr;
    const WideLink* links = nullptr;
    const TriPack* packs = nullptr;
    const int32_t* objectRoots = nullptr;
    int32_t objectCount = 0;
    int32_t rootObject = -1;  // the root's object (a scene of one object)

    LUMENAR_HD explicit operator bool() const { return nodes != nullptr; }
};

namespace wide {

// Index of the lowest set bit of a non-zero mask.
LUMENAR_HD inline int lowestLane(int mask) {
#if defined(__CUDA_ARCH__)
    return __ffs(mask) - 1;
#else
    return __builtin_ctz(static_cast<unsigned>(mask));
#endif
}

struct StackEntry {
    int32_t node;
    float t;         // where the ray enters the node's box
    int32_t object;  // the node's object
};

// A ray prepared for the box tests: the origin in the current node's
// coordinates, the reciprocal direction (zero components replaced by a tiny
// number of the same sign, so no lane computes 0 * inf), and for each axis
// which of the two box planes the ray meets first.
struct PreparedRay {
    Vector3d origin;  // in scene coordinates
    Vector3d dir;
    Vector3d o;  // in the current object's coordinates
    float inv[3];
    int nearPlane[3], farPlane[3];
    int object = -1;

    LUMENAR_HD explicit PreparedRay(const Ray& r) : origin(r.origin), dir(r.direction), o(r.origin) {
        for (int a = 0; a < 3; ++a) {
            float d = r.direction[a];
            const bool negative = d < 0.0f || (d == 0.0f && 1.0f / d < 0.0f);
            if (fabsf(d) < 1e-30f) d = negative ? -1e-30f : 1e-30f;
            inv[a] = 1.0f / d;
            nearPlane[a] = negative ? 3 + a : a;
            farPlane[a] = negative ? a : 3 + a;
        }
    }

    LUMENAR_HD void enter(int obj, const Movable* movables) {
        if (obj == object) return;
        object = obj;
        o = obj >= 0 ? origin - movables[obj].offset : origin;
    }
};

// Slots whose boxes the ray meets within [tmin, tmax], and the entry
// distances. The far distance is widened by a few ulps so that the
// reciprocal's rounding never loses a box the ray grazes.
LUMENAR_HD inline int hitSlots(const WideNode& n, const PreparedRay& r, float tmin, float tmax,
                               float tEntry[kWideWidth]) {
    using namespace simd;
    const vf8 ox = splat8(r.o.x), oy = splat8(r.o.y), oz = splat8(r.o.z);
    const vf8 ix = splat8(r.inv[0]), iy = splat8(r.inv[1]), iz = splat8(r.inv[2]);
    const vf8 nx = (load8(n.box[r.nearPlane[0]]) - ox) * ix;
    const vf8 ny = (load8(n.box[r.nearPlane[1]]) - oy) * iy;
    const vf8 nz = (load8(n.box[r.nearPlane[2]]) - oz) * iz;
    const vf8 fx = (load8(n.box[r.farPlane[0]]) - ox) * ix;
    const vf8 fy = (load8(n.box[r.farPlane[1]]) - oy) * iy;
    const vf8 fz = (load8(n.box[r.farPlane[2]]) - oz) * iz;
    const vf8 tNear = vmax8(vmax8(nx, ny), vmax8(nz, splat8(tmin)));
    const vf8 tFar = vmin8(vmin8(vmin8(fx, fy), fz) * splat8(1.0000004f), splat8(tmax));
    store8(tNear, tEntry);
    return le8(tNear, tFar);
}

// Moller-Trumbore on the four lanes of a pack for the ray (o, d); mask of
// the lanes hit with t in [tmin, tmax]. The arithmetic is the binary
// traversal's, term by term.
LUMENAR_HD inline int hitPack(const TriPack& p, const Vector3d& o, const Vector3d& d, float tmin, float tmax,
                              float tOut[4], float uOut[4], float vOut[4]) {
    using namespace simd;
    const vf4 dx = splat(d.x), dy = splat(d.y), dz = splat(d.z);
    const vf4 e1x = load(p.e1[0]), e1y = load(p.e1[1]), e1z = load(p.e1[2]);
    const vf4 e2x = load(p.e2[0]), e2y = load(p.e2[1]), e2z = load(p.e2[2]);
    const vf4 qx = dy * e2z - dz * e2y, qy = dz * e2x - dx * e2z, qz = dx * e2y - dy * e2x;
    const vf4 det = e1x * qx + e1y * qy + e1z * qz;
    const vf4 inv = splat(1.0f) / det;
    const vf4 sx = splat(o.x) - load(p.p1[0]), sy = splat(o.y) - load(p.p1[1]),
              sz = splat(o.z) - load(p.p1[2]);
    const vf4 u = inv * (sx * qx + sy * qy + sz * qz);
    const vf4 rx = sy * e1z - sz * e1y, ry = sz * e1x - sx * e1z, rz = sx * e1y - sy * e1x;
    const vf4 v = inv * (dx * rx + dy * ry + dz * rz);
    const vf4 t = inv * (e2x * rx + e2y * ry + e2z * rz);
    const vf4 zero = splat(0.0f), one = splat(1.0f);
    const int mask =
        ge(u, zero) & le(u, one) & ge(v, zero) & le(u + v, one) & ge(t, splat(tmin)) & le(t, splat(tmax));
    if (mask) {
        store(t, tOut);
        store(u, uOut);
        store(v, vOut);
    }
    return mask;
}

// Asks for a node's cache lines ahead of the visit (host only).
LUMENAR_HD inline void prefetchNode(const WideNode* node) {
#if !defined(__CUDA_ARCH__)
    for (int line = 0; line < static_cast<int>(sizeof(WideNode)); line += 64)
        __builtin_prefetch(reinterpret_cast<const char*>(node) + line);
#else
    (void)node;
#endif
}

LUMENAR_HD inline void push(StackEntry* stack, int& top, int node, float t, int object) {
    if (top + 1 < kWideStackSize) stack[++top] = {node, t, object};
}

// Nearest hit in [tmin, tmax]: triangle index (or -1), t, u, v.
struct Nearest {
    int tri = -1;
    float t, u = 0.0f, v = 0.0f;
};

LUMENAR_HD inline Nearest closestHit(const WideBVHView& w, const Movable* movables, const Ray& ray,
                                     float tmin, float tmax) {
    Nearest best;
    best.t = tmax;
    PreparedRay r(ray);
    StackEntry stack[kWideStackSize];
    int top = -1;
    int node = 0, object = w.rootObject;
    for (;;) {
        const WideNode& n = w.nodes[node];
        r.enter(object, movables);
        float tEntry[kWideWidth];
        int mask = hitSlots(n, r, tmin, best.t, tEntry);
        // Leaves first (they lower best.t), then the nodes, nearest last on
        // the stack so that it is taken next.
        int next[kWideWidth], nextObject[kWideWidth];
        float nextT[kWideWidth];
        int nextCount = 0;
        while (mask) {
            const int k = lowestLane(mask);
            mask &= mask - 1;
            const int c = n.child[k];
            if (c >= 0) {
                prefetchNode(w.nodes + c);
                int j = nextCount++;
                for (; j > 0 && nextT[j - 1] < tEntry[k]; --j) {
                    next[j] = next[j - 1];
                    nextT[j] = nextT[j - 1];
                    nextObject[j] = nextObject[j - 1];
                }
                next[j] = c;
                nextT[j] = tEntry[k];
                nextObject[j] = n.info[k];
                continue;
            }
            const TriPack* p = w.packs + ~c;
            for (int i = 0, count = n.info[k]; i < count; ++i) {
                float t[4], u[4], v[4];
                int hits = hitPack(p[i], r.o, r.dir, tmin, best.t, t, u, v);
                while (hits) {
                    const int l = lowestLane(hits);
                    hits &= hits - 1;
                    if (t[l] <= best.t) {
                        best.t = t[l];
                        best.tri = p[i].tri[l];
                        best.u = u[l];
                        best.v = v[l];
                    }
                }
            }
        }
        // nextT is in decreasing order: push all but the nearest.
        if (nextCount > 0) {
            for (int j = 0; j + 1 < nextCount; ++j) push(stack, top, next[j], nextT[j], nextObject[j]);
            node = next[nextCount - 1];
            object = nextObject[nextCount - 1];
            continue;
        }
        for (;;) {
            if (top < 0) return best;
            const StackEntry e = stack[top--];
            if (e.t <= best.t) {
                node = e.node;
                object = e.object;
                break;
            }
        }
    }
}

// The first triangle the walk accepts in [tmin, tmax] (not necessarily the
// nearest: children are taken nearest box first), or -1.
LUMENAR_HD inline int anyHit(const WideBVHView& w, const Movable* movables, const Ray& ray, float tmin,
                             float tmax) {
    PreparedRay r(ray);
    StackEntry stack[kWideStackSize];
    int top = -1;
    int node = 0, object = w.rootObject;
    for (;;) {
        const WideNode& n = w.nodes[node];
        r.enter(object, movables);
        float tEntry[kWideWidth];
        int mask = hitSlots(n, r, tmin, tmax, tEntry);
        int nearest = -1, nearestObject = -1;
        float nearestT = FLT_MAX;
        while (mask) {
            const int k = lowestLane(mask);
            mask &= mask - 1;
            const int c = n.child[k];
            if (c >= 0) {
                prefetchNode(w.nodes + c);
                if (nearest < 0) {
                    nearest = c;
                    nearestT = tEntry[k];
                    nearestObject = n.info[k];
                } else if (tEntry[k] < nearestT) {
                    push(stack, top, nearest, nearestT, nearestObject);
                    nearest = c;
                    nearestT = tEntry[k];
                    nearestObject = n.info[k];
                } else {
                    push(stack, top, c, tEntry[k], n.info[k]);
                }
                continue;
            }
            const TriPack* p = w.packs + ~c;
            for (int i = 0, count = n.info[k]; i < count; ++i) {
                float t[4], u[4], v[4];
                const int hits = hitPack(p[i], r.o, r.dir, tmin, tmax, t, u, v);
                if (hits) return p[i].tri[lowestLane(hits)];
            }
        }
        if (nearest >= 0) {
            node = nearest;
            object = nearestObject;
            continue;
        }
        if (top < 0) return -1;
        node = stack[top].node;
        object = stack[top--].object;
    }
}

// After movable object `object` got its new offset (movables[object].offset):
// the boxes on the path from its root node up to the root become the unions
// of what lies below them. One thread; the path is a few nodes long.
LUMENAR_HD inline void refit(const WideBVHView& w, int object, const Movable* movables) {
    if (!w || object < 0 || object >= w.objectCount) return;
    int c = w.objectRoots[object];
    if (c < 0) return;
    const Vector3d off = movables[object].offset;
    for (;;) {
        const WideNode& n = w.nodes[c];
        const WideLink& link = w.links[c];
        const int p = link.parent;
        if (p < 0) return;
        aabb b;
        b.min = Vector3d(FLT_MAX, FLT_MAX, FLT_MAX);
        b.max = Vector3d(-FLT_MAX, -FLT_MAX, -FLT_MAX);
        for (int k = 0; k < kWideWidth; ++k) {
            if (!(n.box[0][k] <= n.box[3][k])) continue;  // empty slot
            b.min = vmin(b.min, Vector3d(n.box[0][k], n.box[1][k], n.box[2][k]));
            b.max = vmax(b.max, Vector3d(n.box[3][k], n.box[4][k], n.box[5][k]));
        }
        if (link.object >= 0 && w.links[p].object != link.object) b = aabb(b.min + off, b.max + off);
        w.nodes[p].setSlotBox(link.parentSlot, b);
        c = p;
    }
}

}  // namespace wide
}  // namespace lumenar
