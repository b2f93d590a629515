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

// kd-tree node, two words. Records are laid out depth first: an inner
// node's lower child is the record right after it, so only the upper
// child's index is stored, and a walk that goes down the lower side reads
// neighbouring records.
//   word 1: inner node: split plane position. Leaf: the first position of
//           its triangles in the index list, as an unsigned integer.
//   word 2: bits 0..1 axis (3 = leaf).
//           Inner node: bit 2 set when the lower child is a leaf without
//           triangles, bit 3 the same for the upper child, bits 4..31 the
//           upper child's index.
//           Leaf: bits 2..31 the triangle count.
// The empty-child bits let the walk skip such leaves without reading them.
struct NodeProp {
    float split;
    uint32_t bits;

    static constexpr uint32_t kLeafAxis = 3u;
    static constexpr uint32_t kMaxChild = (1u << 28) - 1u;  // largest upper child index
    static constexpr uint32_t kMaxCount = (1u << 30) - 1u;  // largest leaf triangle count

    LUMENAR_HD int axis() const { return static_cast<int>(bits & 3u); }
    LUMENAR_HD bool isLeaf() const { return (bits & 3u) == kLeafAxis; }
    // Inner nodes. The lower child of the node at index i is i + 1.
    LUMENAR_HD int upperChild() const { return static_cast<int>(bits >> 4); }
    LUMENAR_HD bool lowerEmpty() const { return (bits & 4u) != 0; }
    LUMENAR_HD bool upperEmpty() const { return (bits & 8u) != 0; }
    // Leaves.
    LUMENAR_HD int triCount() const { return static_cast<int>(bits >> 2); }
    LUMENAR_HD uint32_t start() const {
#if defined(__CUDA_ARCH__)
        return __float_as_uint(split);
#else
        uint32_t v;
        std::memcpy(&v, &split, sizeof v);
        return v;
#endif
    }

    // The caller keeps upper <= kMaxChild.
    static NodeProp inner(float split, int axis, int upper, bool lowerEmpty = false,
                          bool upperEmpty = false) {
        NodeProp n;
        n.split = split;
        n.bits = static_cast<uint32_t>(axis) | (lowerEmpty ? 4u : 0u) | (upperEmpty ? 8u : 0u) |
                 (static_cast<uint32_t>(upper) << 4);
        return n;
    }
    // A leaf of count triangles from position start of the index list; the
    // caller keeps count <= kMaxCount.
    static NodeProp leaf(int count, uint32_t start) {
        NodeProp n;
        n.bits = kLeafAxis | (static_cast<uint32_t>(count) << 2);
        std::memcpy(&n.split, &start, sizeof start);
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

static_assert(sizeof(NodeProp) == 8, "NodeProp is two words");
static_assert(sizeof(DynamicBVHNodeProp) == 40, "DynamicBVHNodeProp is ten words");

}  // namespace lumenar
