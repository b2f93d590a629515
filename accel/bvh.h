// The bounding volume hierarchy of the interactive tracer: static triangles
// and, as whole subtrees, the movable objects, whose boxes and triangles stay
// in load-time coordinates; the traversal adds each object's offset.
#pragma once

#include <cstdint>
#include <vector>

#include "accel/device_layout.h"
#include "device/memory.h"
#include "scene/scene.h"

namespace lumenar {

// One bound of a primitive on one axis. Order: pos, kind, id.
struct SweepEntry {
    enum Kind : int32_t { kMin = 0, kCentre = 1, kMax = 2 };
    float pos;
    int32_t kind;
    int32_t id;  // triangle index, or ~object for a movable object
};

struct BVHNode {
    aabb bbox;
    int32_t splitAxis = 0;
    bool isLeaf = false;
    int32_t left = -1;
    int32_t right = -1;
    int32_t triCount = 0;
    int32_t triStart = 0;
    int32_t index = 0;
    int32_t parent = -1;
    int32_t object = -1;
    std::vector<int32_t> tris;  // ascending and distinct once the node is finished
    std::vector<int32_t> objects;

    void addTri(int tri);
    void addObj(int object);
    void copyTriToDevice(std::vector<int>& list);
};

class BVHTree {
 public:
    BVHTree();
    BVHTree(const BVHTree&) = delete;
    BVHTree& operator=(const BVHTree&) = delete;

    // Builds the hierarchy with every movable object as a subtree of its own
    // and uploads it; sets each object's bvhNode. Returns false after a
    // message when the scene cannot be served (object ranges outside the
    // triangle list, a hierarchy deeper than the traversal stack) or the
    // upload failed.
    bool buildDynamic(Scene* scene);
    // The same over all triangles as static geometry.
    bool build(Scene* scene);

    bool copyDynamicTreeToDevice(Scene* scene);

    int32_t maxDepth = 0;
    aabb bbox;
    device::Buffer<DynamicBVHNodeProp> deviceNodes;
    device::Buffer<Movable> deviceMovables;  // managed; the frame loop moves object 0
    int32_t movableCount = 0;
    device::Buffer<int> deviceTriIndices;
    Scene* scene = nullptr;
    std::vector<BVHNode> nodes;
    std::vector<int> triIndices;
    std::vector<DynamicBVHNodeProp> nodeRecords;  // host copy of deviceNodes

    int treeDepth = 0;      // edges from the root to the deepest leaf
    int lostTriangles = 0;  // "error!" reports of the last build

 private:
    struct Prim {
        float centre;
        int32_t id;
    };
    bool buildImpl(Scene* scene, bool withObjects);
    void subdivideDynamic(int node, const aabb& box, int depth, int count, int attempt);
    // Splits a node without a plane: triangles to the first child and
    // objects to the second, or the objects in two halves. Children of a
    // small node stay small nodes; otherwise they go on with their weights.
    void splitByKind(int node, int depth, bool small);
    void expandObject(int node, int object);
    void makeLeaf(int node);
    aabb primBox(int32_t id) const;
    int primWeight(int32_t id) const;

    std::vector<Movable>* movables_ = nullptr;
    std::vector<SweepEntry> sweep_;  // scratch
};

}  // namespace lumenar
