// Device encodings of the two trees and the hit record their queries write.
// Records are plain 32-bit words, uploaded with one copy each.
#pragma once

#include <cstdint>
#include <cstring>

#include "scene/types.h"

namespace lumenar {

// Pending entries the traversals keep per thread. The kd-tree build bounds its
// depth so that no path pushes more than kKdStackSize entries; the BVH build
// refuses a hierarchy deeper than kBvhStackSize.
constexpr int kKdStackSize = 64;
constexpr int kBvhStackSize = 64;

// kd-tree node, four words.
//   word 1: split plane position (inner nodes)
//   word 2: bits 0..23 lower child, bits 24..29 leaf triangle count
//           (saturated at 63), bits 30..31 axis (3 = leaf)
//   word 3: inner node: upper child, all 32 bits; leaf: the full triangle count
//   word 4: leaf: first position in the index list
// Children are always adjacent (upper = lower + 1), so the traversal takes both
// from word 3 and the 24-bit lower field only serves trees below 2^24 nodes. A
// leaf whose 6-bit count reads 63 takes its real count from word 3; leaves
// below 63 triangles read the same either way.
//
// A leaf's word 1 (no split plane) holds, as an unsigned integer, where its
// triangle packs (KdPack, below) start in the same record array, counted in
// records; the packs follow the last node. 0 means the leaf has none and is
// tested through the index list and the woop array.
struct NodeProp {
    float split;
    uint32_t lowerCountAxis;
    uint32_t upper;
    int32_t triStart;

    static constexpr uint32_t kNoChild = 0xFFFFFFu;
    static constexpr uint32_t kChildMask = 0xFFFFFFu;
    static constexpr uint32_t kCountLimit = 63u;

    LUMENAR_HD int axis() const { return static_cast<int>(lowerCountAxis >> 30); }
    LUMENAR_HD bool isLeaf() const { return (lowerCountAxis >> 30) == 3u; }
    LUMENAR_HD uint32_t lowerField() const { return lowerCountAxis & kChildMask; }
    LUMENAR_HD uint32_t countField() const { return (lowerCountAxis >> 24) & 63u; }
    LUMENAR_HD int upperChild() const { return static_cast<int>(upper); }
    LUMENAR_HD int lowerChild() const { return static_cast<int>(upper) - 1; }
    LUMENAR_HD int triCount() const {
        const uint32_t c = countField();
        return static_cast<int>(c == kCountLimit ? upper : c);
    }
    LUMENAR_HD uint32_t packStart() const {
#if defined(__CUDA_ARCH__)
        return __float_as_uint(split);
#else
        uint32_t bits;
        std::memcpy(&bits, &split, sizeof bits);
        return bits;
#endif
    }
    void setPackStart(uint32_t start) {
        std::memcpy(&split, &start, sizeof split);
    }

    static NodeProp inner(float split, int axis, int lower, int upper) {
        NodeProp n;
        n.split = split;
        n.lowerCountAxis = (static_cast<uint32_t>(lower) & kChildMask) | (static_cast<uint32_t>(axis) << 30);
        n.upper = static_cast<uint32_t>(upper);
        n.triStart = 0;
        return n;
    }
    static NodeProp leaf(int count, int start) {
        NodeProp n;
        n.split = 0.0f;
        const uint32_t c =
            static_cast<uint32_t>(count) < kCountLimit ? static_cast<uint32_t>(count) : kCountLimit;
        n.lowerCountAxis = kNoChild | (c << 24) | (3u << 30);
        n.upper = static_cast<uint32_t>(count);
        n.triStart = start;
        return n;
    }
};

// BVH node, ten words; boxes of nodes that belong to a movable object are in
// that object's load-time coordinates.
struct DynamicBVHNodeProp {
    aabb box;
    uint32_t childCountAxis;  // bits 0..29: first child or leaf count; 30..31: axis, 3 = leaf
    int32_t second;           // inner: second child; leaf: first position in the index list
    int32_t parent;           // -1 for the root
    int32_t object;           // movable object of the subtree, or -1

    static constexpr uint32_t kFieldMask = (1u << 30) - 1u;

    LUMENAR_HD bool isLeaf() const { return (childCountAxis >> 30) == 3u; }
    LUMENAR_HD int axis() const { return static_cast<int>(childCountAxis >> 30); }
    LUMENAR_HD int first() const { return static_cast<int>(childCountAxis & kFieldMask); }
    LUMENAR_HD int triCount() const { return static_cast<int>(childCountAxis & kFieldMask); }
    LUMENAR_HD int triStart() const { return second; }
};

// What a closest-hit query reports.
struct SurfaceHitRecord {
    float t;
    Vector3d p;
    Vector3d normal;
    int32_t materialIndex;
    int32_t triangleIndex;
    bool isLight;
    float b1, b2;  // barycentric weights of the triangle's corners 2 and 3
};

// Four triangles of a kd-tree leaf, tested together: the first three float4
// of each triangle's woop record, lane by lane (row 4k + c holds component c
// of float4 k), and the triangles' indices. A leaf's last pack repeats its
// last triangle in the unused lanes. Thirteen records long, so that packs
// can follow the nodes in one array.
struct alignas(16) KdPack {
    float row[12][4];
    int32_t tri[4];
};

static_assert(sizeof(NodeProp) == 16, "NodeProp is four words");
static_assert(sizeof(KdPack) == 13 * sizeof(NodeProp), "a KdPack is thirteen node records");
static_assert(sizeof(DynamicBVHNodeProp) == 40, "DynamicBVHNodeProp is ten words");

}  // namespace lumenar
