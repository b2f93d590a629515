// The bounding volume hierarchy of the interactive tracer: static triangles
// and, as whole subtrees, the movable objects, whose boxes and triangles stay
// in load-time coordinates; the traversal adds each object's offset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "accel/device_layout.h"
#include "accel/wide_bvh.h"
#include "device/memory.h"
#include "scene/scene.h"

namespace lumenar {

// One bound of a primitive on one axis. Order: pos, kind, id. Eight bytes:
// the sweeps and partitions stream these lists, so the kind shares a word
// with the id.
struct SweepEntry {
    enum Kind : int32_t { kMin = 0, kCentre = 1, kMax = 2 };
    // Ids keep clear of the two kind bits: |id| < 2^29.
    static constexpr int32_t kMaxId = (1 << 29) - 1;
    float pos;
    int32_t code;  // id * 4 + kind

    static int32_t encode(int32_t id, int32_t kind) {
        return static_cast<int32_t>(static_cast<uint32_t>(id) << 2) | kind;
    }
    // id: triangle index, or ~object for a movable object.
    int32_t id() const { return code >> 2; }
    int32_t kind() const { return code & 3; }
};
static_assert(sizeof(SweepEntry) == 8, "SweepEntry is two words");

// A primitive as the binned build moves it (bvh_binned.cpp).
struct BvhPrimRef;

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
    std::vector<int32_t> objects;  // objects the node holds whole (the sweep build's)

    void addObj(int object);
};

class BVHTree {
 public:
    BVHTree();
    ~BVHTree();
    BVHTree(const BVHTree&) = delete;
    BVHTree& operator=(const BVHTree&) = delete;

    // How the hierarchy is built. Binned: the surface-area heuristic at the
    // borders of a few bins over the primitives' centres on all three axes
    // (fast, the start-up's). Sweep: the heuristic at every primitive bound,
    // one axis after the other from the longest, planes on object bounds
    // favoured (slower; the reference the binned trees are measured by).
    enum class Method { Binned, Sweep };
    Method method = Method::Binned;

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
    std::vector<int> triIndices;
    std::vector<DynamicBVHNodeProp> nodeRecords;  // host copy of deviceNodes
    // The nodes as BVHNode records, decoded from nodeRecords (for tests and
    // tools).
    std::vector<BVHNode> hostNodes() const;

    // The layout the tracer walks: the nodes above collapsed into eight-wide
    // nodes with triangle packs in the leaves, made and uploaded by every
    // build. The binary records stay the reference it is derived from.
    std::vector<WideNode> wideNodes;
    std::vector<WideLink> wideLinks;
    std::vector<TriPack> widePacks;
    std::vector<int32_t> wideObjectRoots;  // per movable object, or -1
    device::Buffer<WideNode> deviceWideNodes;
    device::Buffer<WideLink> deviceWideLinks;
    device::Buffer<TriPack> deviceWidePacks;
    device::Buffer<int32_t> deviceWideObjectRoots;
    WideBVHView wideView() const;  // the device arrays
    WideBVHView hostWideView();    // the host copies
    // Frees the host copies (the node lists of both layouts and the index
    // list) once they are on the device and nothing on the host walks or
    // refits the tree; hostWideView() is then empty.
    void releaseHostCopies();
    // False: every host copy is freed as soon as the device has it, so that
    // the two are never all held at once (start-up; tests keep them).
    bool keepHostCopies = true;
    // Collapses the binary nodes and uploads the result; false after a
    // message when the upload failed.
    bool buildWide();

    int treeDepth = 0;      // edges from the root to the deepest leaf
    int lostTriangles = 0;  // "error!" reports of the last build

    // With more than one worker thread, nodes of at least this many
    // primitives are swept in fixed stretches and partitioned on all cores,
    // and children of at least a quarter of it are built side by side.
    // Neither it nor the thread count changes the tree.
    int parallelGrain = 16384;

 private:
    // The primitives of a node: along each axis their sweep entries, three
    // per primitive, in sweep order. A split partitions every list stably,
    // so each child again owns a contiguous, sorted stretch of them.
    struct Span {
        SweepEntry* axis[3];
        int count;  // primitives
    };
    // The best plane of one sweep along an axis.
    struct Plane {
        float cost = 1e9f;
        std::size_t moved = 0;  // primitives in centre order before it
        aabb left, right;
    };
    // A part of the tree built on its own (subtrees are built side by side),
    // with its own node list and index list. Node 0 is its root; a node whose
    // subtree went to another fragment is marked with left = -2 - that
    // fragment's place in `subtrees`. The parts are numbered afterwards in
    // the order a depth-first, first-child-first build gives them.
    struct Fragment {
        std::vector<BVHNode> nodes;
        std::vector<int> tris;  // the leaves' index lists, concatenated
        std::vector<std::unique_ptr<Fragment>> subtrees;
        int lost = 0;  // "error!" reports
    };
    struct Scratch;  // a sweep's and a partition's work arrays
    struct ThreadScratch;
    bool buildImpl(Scene* scene, bool withObjects);
    void subdivideDynamic(Fragment& f, int node, const aabb& box, int depth, int count, Span span);
    // Builds both children, side by side where both are large.
    void descend(Fragment& f, int first, const aabb& boxA, int depthA, int countA, const Span& spanA,
                 const aabb& boxB, int depthB, int countB, const Span& spanB);
    Plane sweepAxis(Scratch& s, const Span& span, int axis, const aabb& box, int count);
    Plane sweepAxisChunked(Scratch& s, const Span& span, int axis, const aabb& box, int count);
    // The first cheapest plane of a sweep over m primitives from the
    // areas, weights and candidate marks in s. Sets the plane's cost and
    // moved count, not its boxes.
    Plane cheapestPlane(const Scratch& s, std::size_t m, int count) const;
    // The prefix sums of the centre order's boxes [begin, end) (their
    // scaled areas and weights), going on from the union `left` of those
    // before and their weight `nL`.
    void sweepPrefixes(Scratch& s, std::size_t begin, std::size_t end, const aabb& left, int nL,
                       float f) const;
    // Splits a node without a plane: triangles to the first child and
    // objects to the second, or the objects in two halves. Children of a
    // small node stay small nodes; otherwise they go on with their weights.
    void splitByKind(Fragment& f, int node, int depth, bool small, Span span);
    // Appends two linked children of node; returns the first one's index.
    int addChildPair(Fragment& f, int node);
    // Moves the primitives marked in left_ to the front of every
    // list of the span, keeping the order on both sides.
    void partition(const Span& span);
    void expandObject(Fragment& f, int node, int object);
    void makeLeaf(Fragment& f, int node, const Span& span);
    void makeObjectLeaf(Fragment& f, int node);
    // Gives the fragments' nodes their final numbers, writing their records
    // and the index list; returns the "error!" reports they made.
    int number(Fragment& f, int local, int index, int parent);
    bool leafTooLarge_ = false;  // a leaf the records cannot hold
    // Sweep entries of the primitives `ids` along each axis into
    // out[0 .. 9 * ids.size()), one sorted list of 3 * ids.size() per axis.
    void sortedEntries(const std::vector<int32_t>& ids, SweepEntry* out);
    bool goesLeft(int32_t id) const { return left_[id] != 0; }
    const aabb& primBox(int32_t id) const { return id >= 0 ? triBoxes_[id] : (*movables_)[~id].bounds; }
    int primWeight(int32_t id) const { return id >= 0 ? 1 : (*movables_)[~id].triangleCount; }
    Scratch& localScratch();

    // The binned build (bvh_binned.cpp).
    using BinRef = BvhPrimRef;
    struct BinSpan {
        BinRef* refs;
        int count;     // primitives
        aabb centres;  // bounds of twice their box centres
    };
    void buildBinned(Fragment& top, const std::vector<int32_t>& rootPrims);
    void subdivideBinned(Fragment& f, int node, const aabb& box, int depth, int count, BinSpan span);
    void binnedChildren(Fragment& f, int first, const aabb& boxA, int depthA, int countA, const BinSpan& a,
                        const aabb& boxB, int depthB, int countB, const BinSpan& b);
    void binnedByKind(Fragment& f, int node, int depth, bool small, BinSpan span);
    void binnedLeaf(Fragment& f, int node, const BinSpan& span);

    int collapse(int binary, int parent, int parentSlot);
    // The packs of a leaf into out (as many as its triangles fill).
    void makePacks(const DynamicBVHNodeProp& leaf, TriPack* out) const;
    std::vector<int> packLeaves_;  // the leaves with packs, in pack order
    std::size_t packCount_ = 0;

    std::vector<Movable>* movables_ = nullptr;
    int objectCount_ = 0;
    int32_t rootObject_ = -1;  // the wide root's object
    // Scratch of one build.
    std::vector<aabb> triBoxes_;  // the triangles' bounds, packed
    std::vector<uint8_t> sides_;  // 1 for the first child, at id + objectCount_
    uint8_t* left_ = nullptr;     // the same indexed by id (subtrees built side by side own distinct ids)
    // Per worker thread; used only between two points where the thread
    // could pick up another task.
    std::unique_ptr<ThreadScratch> scratch_;
};

}  // namespace lumenar
