// The kd-tree over the static scene: an event-sweep SAH build on the host,
// optionally clipping straddling triangles to the child boxes, flattened into
// NodeProp records (depth first) and a triangle index list for the device
// traversal.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "accel/device_layout.h"
#include "device/memory.h"
#include "scene/scene.h"

namespace lumenar {

struct SceneView;

// One boundary of a triangle on one axis.
struct SplitEvent {
    enum Type : int32_t { kStart = 0, kPlanar = 1, kEnd = 2 };
    float pos;
    int32_t type;
    int32_t axis;
    int32_t tri;
    float otherEnd;
};

// Event order: position, axis, type descending (end, planar, start), triangle.
inline bool eventBefore(const SplitEvent& a, const SplitEvent& b) {
    if (a.pos != b.pos) return a.pos < b.pos;
    if (a.axis != b.axis) return a.axis < b.axis;
    if (a.type != b.type) return a.type > b.type;
    return a.tri < b.tri;
}

struct KdNode {
    aabb bbox;
    float splitPos = 0.0f;
    int32_t splitAxis = 0;
    bool isLeaf = false;
    int32_t index = 0;
    int32_t parent = -1;
    int32_t left = -1;
    int32_t right = -1;
    int32_t triCount = 0;
    int32_t triStart = 0;
    std::vector<int32_t> tris;  // leaf triangles, ascending and distinct

    void addTri(int tri);
    void copyTriToDevice(std::vector<int>& list);
};

class KdTree {
 public:
    // Build modes: 0 duplicates straddling triangles' events into both
    // children; anything else clips the triangles to the child boxes.
    static constexpr int kDuplicating = 0;
    static constexpr int kClipping = 1;

    KdTree();
    ~KdTree();
    KdTree(const KdTree&) = delete;
    KdTree& operator=(const KdTree&) = delete;

    // Builds the tree over scene->hostTriangles inside box and uploads it.
    // Returns false (after a message) when the upload failed.
    bool build(Scene* scene, aabb& box, int mode);

    // Exact boxes of the parts of triangle tri inside the two child boxes;
    // both stay empty unless the triangle's vertices lie strictly on both
    // sides of the plane.
    void clipTriangle(int tri, float split, int axis, const aabb& leftBox, const aabb& rightBox,
                      aabb& leftBounds, aabb& rightBounds) const;

    // Flattens the nodes into records and uploads records and index list.
    bool copyTreeToDevice();

    int32_t maxDepth = 0;
    aabb bbox;
    device::Buffer<NodeProp> deviceNodes;
    float4* woopTriangles = nullptr;
    device::Buffer<int> deviceTriIndices;
    // The scene the tree's leaves index into, as every tracer reads it (set
    // by start-up; not owned).
    const SceneView* sceneView = nullptr;
    // Leaves out the triangles of the scene's movable objects: they are
    // traced through their own subtrees where they stand now.
    bool staticOnly = false;

    Scene* scene = nullptr;
    std::vector<KdNode> nodes;
    std::vector<int> triIndices;
    // Host copy of deviceNodes: the nodes in depth-first order (not the
    // order of `nodes`), then the leaves' triangle packs.
    std::vector<NodeProp> nodeRecords;
    std::vector<int> recordOf;  // the record of each node of `nodes`

    // Number of "wrong!" reports of the last build (triangles with an
    // unknown side during distribution).
    int wrongSides = 0;

    // The depth limit for n triangles: 8 + 1.3 log2(n), rounded, bounded by
    // what the traversal stack holds.
    static int depthLimit(long long triangleCount);

 private:
    // A node's events, one sorted list per axis.
    struct Events {
        std::vector<SplitEvent> axis[3];
        void clear() {
            for (auto& a : axis) std::vector<SplitEvent>().swap(a);
        }
    };

    struct BuildNode;
    struct SideArrays;
    // budget: the triangle references the subtree's leaves may hold.
    void subdivide(BuildNode* node, Events& events, const aabb& box, int depth, int count, int attempt,
                   long long budget);
    void makeLeaf(BuildNode* node, const Events& events);
    // Copies the built subtree at b into nodes[index] and on, numbering
    // children in pairs depth first, and appends the leaves' lists.
    void number(BuildNode& b, int index);
    // Nodes and leaf references of the built subtree at b.
    static void countBuilt(const BuildNode& b, std::size_t& nodeCount, std::size_t& references);
    static void addEvents(Events& out, int tri, const aabb& b);

    int mode_ = kClipping;
    int triangleCount_ = 0;
    std::unique_ptr<SideArrays> sides_;  // classification scratch of the running build
    std::atomic<int> wrongCount_{0};
};

}  // namespace lumenar
