// The kd-tree over the static scene: an event-sweep SAH build on the host,
// optionally clipping straddling triangles to the child boxes, written as
// NodeProp records (depth first) and a triangle index list for the device
// traversal.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "accel/device_layout.h"
#include "device/memory.h"
#include "scene/scene.h"

namespace lumenar {

struct SceneView;

// A node as the build numbers it: the root is 0 and the two children of a
// node are created together, the lower one first, numbered when their
// parent is split, and the lower child's subtree is finished before the
// upper child's children are numbered. The build keeps only the records;
// KdTree::hostNodes() gives this form back for inspection.
struct KdNode {
    aabb bbox;
    float splitPos = 0.0f;
    int32_t splitAxis = 0;  // 3 for leaves
    bool isLeaf = false;
    int32_t index = 0;
    int32_t parent = -1;
    int32_t left = -1;
    int32_t right = -1;
    int32_t triCount = 0;
    int32_t triStart = 0;
    std::vector<int32_t> tris;  // leaf triangles, ascending and distinct
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
    // Returns false (after a message) when the tree cannot be encoded or
    // the upload failed, and (quietly) when `cancel` was set meanwhile.
    bool build(Scene* scene, aabb& box, int mode);
    // When set (from any thread) while build() runs, the build stops soon
    // and leaves no tree. Not owned.
    const std::atomic<bool>* cancel = nullptr;

    // Exact boxes of the parts of triangle tri inside the two child boxes;
    // both stay empty unless the triangle's vertices lie strictly on both
    // sides of the plane.
    void clipTriangle(int tri, float split, int axis, const aabb& leftBox, const aabb& rightBox,
                      aabb& leftBounds, aabb& rightBounds) const;

    // Uploads the records and the index list.
    bool copyTreeToDevice();
    // Frees the host copies of the records and the index list once they are
    // on the device and nothing on the host walks the tree.
    void releaseHostCopies();
    // False: each host copy is freed as soon as the device has it
    // (start-up; tests keep them).
    bool keepHostCopies = true;

    // The nodes in the build's numbering, decoded from the records; with
    // recordOf, also the record of each node.
    std::vector<KdNode> hostNodes(std::vector<int>* recordOf = nullptr) const;

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
    // Host copies of deviceNodes and deviceTriIndices: the nodes in depth-
    // first order, lower child first, and the leaves' triangle lists in the
    // same order (empty after releaseHostCopies()).
    std::vector<NodeProp> nodeRecords;
    std::vector<int> triIndices;
    std::size_t nodeCount() const { return nodeRecords.size(); }

    // Two subtrees whose lists hold at least this many events on the first
    // axis together are built side by side (as parts joined afterwards).
    // Neither it nor the thread count changes the tree.
    std::size_t parallelEvents = 16384;

    // Number of "wrong!" reports of the last build (triangles with an
    // unknown side during distribution).
    int wrongSides = 0;
    // Bytes of event lists the last build held at once, at most.
    std::size_t peakEventBytes = 0;

    // The depth limit for n triangles: 8 + 1.3 log2(n), rounded, bounded by
    // what the traversal stack holds.
    static int depthLimit(long long triangleCount);

 private:
    struct Lists;
    struct Scratch;
    struct Fragment;
    struct Build;

    int mode_ = kClipping;
};

}  // namespace lumenar
