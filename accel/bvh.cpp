#include "accel/bvh.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "accel/parallel.h"

namespace lumenar {

namespace {

constexpr float kTraversalCost = 0.2f;
constexpr double kObjectFactor = 0.8;
constexpr int kSmallNode = 5;

inline bool sweepBefore(const SweepEntry& a, const SweepEntry& b) {
    if (a.pos != b.pos) return a.pos < b.pos;
    if (a.kind() != b.kind()) return a.kind() < b.kind();
    return a.id() < b.id();
}

// Sweep entries sort as 64-bit keys: the position's bits in an unsigned
// order, then the kind (2 bits), then the id plus the object count (idBits).
constexpr int kMaxIdBits = 30;

inline uint64_t sweepKey(float pos, int32_t kind, uint64_t biasedId, int idBits) {
    if (pos == 0.0f) pos = 0.0f;  // -0 and +0 are one position
    uint32_t u;
    std::memcpy(&u, &pos, sizeof u);
    u = (u & 0x80000000u) ? ~u : (u | 0x80000000u);
    return (static_cast<uint64_t>(u) << (idBits + 2)) | (static_cast<uint64_t>(kind) << idBits) | biasedId;
}

inline float keyPos(uint32_t u) {
    u = (u & 0x80000000u) ? (u & 0x7fffffffu) : ~u;
    float pos;
    std::memcpy(&pos, &u, sizeof pos);
    return pos;
}

// Least significant digit first, 11 bits a pass from bit `firstBit` up: the
// keys must already be in the order of their bits below it. Passes whose
// digit is the same in every key are skipped.
void radixSort(std::vector<uint64_t>& keys, std::vector<uint64_t>& tmp, int firstBit) {
    const std::size_t n = keys.size();
    if (n < 1024) {
        std::sort(keys.begin(), keys.end());
        return;
    }
    constexpr int kBits = 11;
    constexpr std::size_t kBuckets = std::size_t{1} << kBits;
    const int passes = (64 - firstBit + kBits - 1) / kBits;
    std::vector<std::size_t> hist(static_cast<std::size_t>(passes) * kBuckets, 0);
    for (uint64_t k : keys)
        for (int p = 0; p < passes; ++p)
            ++hist[p * kBuckets + ((k >> (firstBit + p * kBits)) & (kBuckets - 1))];
    tmp.resize(n);
    for (int p = 0; p < passes; ++p) {
        std::size_t* h = &hist[p * kBuckets];
        const int shift = firstBit + p * kBits;
        if (h[(keys[0] >> shift) & (kBuckets - 1)] == n) continue;
        std::size_t sum = 0;
        for (std::size_t b = 0; b < kBuckets; ++b) {
            const std::size_t c = h[b];
            h[b] = sum;
            sum += c;
        }
        for (uint64_t k : keys) tmp[h[(k >> shift) & (kBuckets - 1)]++] = k;
        keys.swap(tmp);
    }
}

// The bits of a position in an unsigned order that agrees with the floats'.
inline uint32_t posOrder(float pos) {
    uint32_t u;
    std::memcpy(&u, &pos, sizeof u);
    return (u & 0x80000000u) ? ~u : (u | 0x80000000u);
}

// A stable least significant digit first sort of entries by position, 11
// bits a pass; passes whose digit is the same in every entry are skipped.
void radixSortByPos(SweepEntry* list, std::size_t n, std::vector<SweepEntry>& tmpList) {
    if (n < 1024) {
        std::stable_sort(list, list + n,
                         [](const SweepEntry& a, const SweepEntry& b) { return a.pos < b.pos; });
        return;
    }
    constexpr int kBits = 11, kPasses = 3;
    constexpr uint32_t kBuckets = 1u << kBits;
    std::vector<uint32_t> hist(kPasses * kBuckets, 0);
    for (std::size_t i = 0; i < n; ++i) {
        const uint32_t k = posOrder(list[i].pos);
        ++hist[k & (kBuckets - 1)];
        ++hist[kBuckets + ((k >> kBits) & (kBuckets - 1))];
        ++hist[2 * kBuckets + (k >> (2 * kBits))];
    }
    if (tmpList.size() < n) tmpList.resize(n);
    SweepEntry* from = list;
    SweepEntry* to = tmpList.data();
    for (int p = 0; p < kPasses; ++p) {
        uint32_t* h = &hist[p * kBuckets];
        const int shift = p * kBits;
        const uint32_t mask = p == kPasses - 1 ? ~0u : kBuckets - 1;
        if (h[(posOrder(from[0].pos) >> shift) & mask] == n) continue;
        uint32_t sum = 0;
        for (uint32_t b = 0; b < kBuckets; ++b) {
            const uint32_t c = h[b];
            h[b] = sum;
            sum += c;
        }
        for (std::size_t i = 0; i < n; ++i) to[h[(posOrder(from[i].pos) >> shift) & mask]++] = from[i];
        std::swap(from, to);
    }
    if (from != list) std::copy(from, from + n, list);
}

// fminf and fmaxf as aabb::grow calls them, kept out of line: the compiler
// must not fold them with what the callers below know about the operands.
[[gnu::noipa]] float libraryMin(float a, float b) {
    return fminf(a, b);
}

[[gnu::noipa]] float libraryMax(float a, float b) {
    return fmaxf(a, b);
}

// The same without a call where the answer is plain; equal zeros (which
// may differ in sign) and NaNs still get the library's answer, so boxes
// come out bit for bit as aabb::grow makes them.
inline float minOf(float a, float b) {
    if (a < b) return a;
    if (b < a) return b;
    if (a == b && a != 0.0f) return a;  // the same number has the same bits
    return libraryMin(a, b);
}

inline float maxOf(float a, float b) {
    if (a > b) return a;
    if (b > a) return b;
    if (a == b && a != 0.0f) return a;
    return libraryMax(a, b);
}

inline void grow(aabb& box, const aabb& b) {
    box.min = Vector3d(minOf(box.min.x, b.min.x), minOf(box.min.y, b.min.y), minOf(box.min.z, b.min.z));
    box.max = Vector3d(maxOf(box.max.x, b.max.x), maxOf(box.max.y, b.max.y), maxOf(box.max.z, b.max.z));
}

inline float surfaceArea(const aabb& b) {
    const float dx = b.max.x - b.min.x, dy = b.max.y - b.min.y, dz = b.max.z - b.min.z;
    return 2.0f * (dx * dy + dx * dz + dy * dz);
}

// A box being grown in the sweep. On SSE hosts it lives in two registers,
// as loaded from an aabb: lo holds min.x, min.y, min.z (and max.x, unused),
// hi holds max.x, max.y, max.z in lanes 1 to 3 (lane 0 is min.z, unused).
// The packed min and max give fminf's and fmaxf's answer for any two
// numbers but two zeros, where the sign is the library's choice; zeros on
// both sides or a NaN anywhere take the scalar path, so the box comes out
// bit for bit as grow() makes it. (Equal nonzero numbers have one encoding.)
#if defined(__SSE2__)
struct SweepBox {
    __m128 lo, hi;
};

inline SweepBox loadBox(const aabb& b) {
    return {_mm_loadu_ps(&b.min.x), _mm_loadu_ps(&b.min.z)};
}

inline void storeBox(const SweepBox& r, aabb& b) {
    alignas(16) float lo[4], hi[4];
    _mm_store_ps(lo, r.lo);
    _mm_store_ps(hi, r.hi);
    b.min = Vector3d(lo[0], lo[1], lo[2]);
    b.max = Vector3d(hi[1], hi[2], hi[3]);
}

// Lanes where the packed min and max may not answer as fminf and fmaxf do:
// two zeros (of either sign) or a NaN.
inline int unsureLanes(__m128 a, __m128 b) {
    const __m128 zero = _mm_setzero_ps();
    return _mm_movemask_ps(
        _mm_or_ps(_mm_cmpunord_ps(a, b), _mm_and_ps(_mm_cmpeq_ps(a, zero), _mm_cmpeq_ps(b, zero))));
}

[[gnu::always_inline]] inline SweepBox grown(const SweepBox& a, const SweepBox& b) {
    if ((unsureLanes(a.lo, b.lo) & 7) == 0 && (unsureLanes(a.hi, b.hi) & 14) == 0)
        return {_mm_min_ps(a.lo, b.lo), _mm_max_ps(a.hi, b.hi)};
    aabb x, y;
    storeBox(a, x);
    storeBox(b, y);
    grow(x, y);
    return loadBox(x);
}

inline float surfaceArea(const SweepBox& r) {
    const __m128 d = _mm_sub_ps(_mm_shuffle_ps(r.hi, r.hi, _MM_SHUFFLE(3, 3, 2, 1)), r.lo);
    const float dx = _mm_cvtss_f32(d);
    const float dy = _mm_cvtss_f32(_mm_shuffle_ps(d, d, _MM_SHUFFLE(1, 1, 1, 1)));
    const float dz = _mm_cvtss_f32(_mm_shuffle_ps(d, d, _MM_SHUFFLE(2, 2, 2, 2)));
    return 2.0f * (dx * dy + dx * dz + dy * dz);
}
#else
using SweepBox = aabb;

inline SweepBox loadBox(const aabb& b) {
    return b;
}

inline void storeBox(const SweepBox& r, aabb& b) {
    b = r;
}

inline SweepBox grown(SweepBox a, const SweepBox& b) {
    grow(a, b);
    return a;
}
#endif

// start grown by boxes[0 .. n), in that order.
aabb unionFrom(const aabb& start, const aabb* boxes, std::size_t n) {
    SweepBox u = loadBox(start);
    for (std::size_t k = 0; k < n; ++k) u = grown(u, loadBox(boxes[k]));
    aabb out;
    storeBox(u, out);
    return out;
}

inline uint32_t toBits(float x) {
    uint32_t u;
    std::memcpy(&u, &x, sizeof u);
    return u;
}

inline float fromBits(uint32_t u) {
    float x;
    std::memcpy(&x, &u, sizeof x);
    return x;
}

// The least of sixteen costs (none of them NaN).
inline float leastOf16(const float* c) {
#if defined(__SSE2__)
    __m128 a = _mm_min_ps(_mm_load_ps(c), _mm_load_ps(c + 4));
    a = _mm_min_ps(a, _mm_min_ps(_mm_load_ps(c + 8), _mm_load_ps(c + 12)));
    a = _mm_min_ps(a, _mm_shuffle_ps(a, a, _MM_SHUFFLE(1, 0, 3, 2)));
    a = _mm_min_ps(a, _mm_shuffle_ps(a, a, _MM_SHUFFLE(2, 3, 0, 1)));
    return _mm_cvtss_f32(a);
#else
    float least = c[0];
    for (int k = 1; k < 16; ++k) least = c[k] < least ? c[k] : least;
    return least;
#endif
}

inline int longestAxis(const aabb& b) {
    const Vector3d d = b.max - b.min;
    if (!(d.x < d.y || d.x < d.z)) return 0;
    return d.y > d.z ? 1 : 2;
}

}  // namespace

void BVHNode::addObj(int obj) {
    objects.push_back(obj);
}

struct BVHTree::Scratch {
    std::vector<SweepEntry> spill;  // the right-hand entries while partitioning
    // A node's primitives in centre order: their boxes and ids, and per
    // prefix and suffix of that order (index j: the first j primitives, or
    // all from j on) the union's box, its area scaled by the node's, and the
    // weight. Planes are costed for 0 < j < m (the primitive count) only;
    // centreIds and candidates have a place at m for the gather's last write.
    std::vector<aabb> boxes;
    std::vector<int32_t> centreIds;
    std::vector<aabb> suffix;
    std::vector<float> suffixArea;
    std::vector<float> prefixArea;
    std::vector<int32_t> prefixWeight;
    // Per count j of centres passed: which bounds strictly inside the node
    // lie between the j-th and the (j+1)-th centre, the candidate planes
    // with j primitives on the left (kTriangleBound, kObjectBound).
    std::vector<uint8_t> candidates;
    static constexpr uint32_t kTriangleBound = 1, kObjectBound = 2;
    std::vector<uint64_t> keys, tmp;  // sort keys of one axis
    std::vector<SweepEntry> entryTmp;
    void fit(std::size_t m) {
        if (boxes.size() >= m) return;
        boxes.resize(m);
        centreIds.resize(m + 1);
        suffix.resize(m);
        suffixArea.resize(m);
        prefixArea.resize(m + 1);
        prefixWeight.resize(m + 1);
        candidates.resize(m + 1);
    }
};

struct BVHTree::ThreadScratch {
    build::PerThread<Scratch> perThread;
    Scratch& local() { return perThread.local(); }
};

BVHTree::Scratch& BVHTree::localScratch() {
    return scratch_->local();
}

BVHTree::~BVHTree() = default;

BVHTree::BVHTree() = default;

bool BVHTree::buildDynamic(Scene* sc) {
    return buildImpl(sc, true);
}

bool BVHTree::build(Scene* sc) {
    return buildImpl(sc, false);
}

bool BVHTree::buildImpl(Scene* sc, bool withObjects) {
    scene = sc;
    movables_ = &sc->movables;
    lostTriangles = 0;
    const int n = sc->triangleCount;
    const int objectCount =
        withObjects ? std::min<int>(sc->movableCount, static_cast<int>(sc->movables.size())) : 0;
    if (n > SweepEntry::kMaxId || objectCount > SweepEntry::kMaxId) {
        std::printf("The BVH build takes at most %d triangles and objects (the scene has %d and %d)\n",
                    SweepEntry::kMaxId, n, objectCount);
        return false;
    }
    objectCount_ = objectCount;
    for (int k = 0; k < objectCount; ++k) {
        const Movable& m = sc->movables[k];
        if (m.firstTriangle < 0 || m.triangleCount < 0 || m.firstTriangle > n - m.triangleCount) {
            std::printf("Movable object %d names triangles %d..%d outside the %d scene triangles\n", k,
                        m.firstTriangle, m.firstTriangle + m.triangleCount - 1, n);
            return false;
        }
    }
    maxDepth = static_cast<int32_t>(std::lround(8.0 + 1.3 * std::log2(static_cast<double>(std::max(n, 1)))));

    BVHNode root;
    triIndices.clear();

    std::vector<uint8_t> inObject(static_cast<std::size_t>(n), 0);
    for (int k = 0; k < objectCount; ++k) {
        const Movable& m = sc->movables[k];
        std::fill(inObject.begin() + m.firstTriangle, inObject.begin() + m.firstTriangle + m.triangleCount,
                  1);
    }
    // The root holds the static triangles and every object as one primitive.
    std::vector<int32_t> rootPrims;
    rootPrims.reserve(static_cast<std::size_t>(n) + static_cast<std::size_t>(objectCount));
    // Ascending ids (objects -objectCount .. -1, then triangles) sort fastest.
    for (int k = objectCount; k-- > 0;) rootPrims.push_back(~k);
    for (int j = 0; j < n; ++j)
        if (!inObject[j]) rootPrims.push_back(j);
    std::vector<uint8_t>().swap(inObject);
    root.bbox = sc->bounds;

    treeDepth = 0;
    Fragment top;
    if (method == Method::Binned) {
        top.nodes.push_back(std::move(root));
        buildBinned(top, rootPrims);
    } else {
        for (int k = 0; k < objectCount; ++k) root.addObj(k);
        triBoxes_.resize(static_cast<std::size_t>(n));
        for (int j = 0; j < n; ++j) triBoxes_[j] = sc->hostTriangles[j].bounds;
        sides_.assign(static_cast<std::size_t>(objectCount) + static_cast<std::size_t>(n), 0);
        left_ = sides_.data() + objectCount;
        scratch_ = std::make_unique<ThreadScratch>();

        const int rootCount = static_cast<int>(rootPrims.size());
        std::unique_ptr<SweepEntry[]> rootEntries(new SweepEntry[9 * rootPrims.size()]);
        sortedEntries(rootPrims, rootEntries.get());
        std::vector<int32_t>().swap(rootPrims);
        SweepEntry* const base = rootEntries.get();
        const std::size_t stride = 3 * static_cast<std::size_t>(rootCount);

        top.nodes.push_back(std::move(root));
        subdivideDynamic(top, 0, sc->bounds, 0, n, Span{{base, base + stride, base + 2 * stride}, rootCount});

        rootEntries.reset();
        std::vector<aabb>().swap(triBoxes_);
        std::vector<uint8_t>().swap(sides_);
        left_ = nullptr;
        scratch_.reset();
    }

    // One node list and one index list, in the order of a depth-first,
    // first-child-first build whatever ran side by side.
    std::size_t total = 0, indexTotal = 0;
    auto sizes = [&](const Fragment& f, auto&& self) -> void {
        total += f.nodes.size() - f.subtrees.size();
        indexTotal += f.tris.size();
        for (const auto& sub : f.subtrees) self(*sub, self);
    };
    sizes(top, sizes);
    nodeRecords.clear();
    nodeRecords.reserve(total);
    nodeRecords.emplace_back();
    triIndices.clear();
    triIndices.reserve(indexTotal);
    leafTooLarge_ = false;
    lostTriangles = number(top, 0, 0, -1);
    top = Fragment();
    if (leafTooLarge_) {
        std::printf("A BVH leaf holds too many triangles to be encoded\n");
        return false;
    }

    // Depth in edges of the deepest leaf: the traversal keeps at most that
    // many pending children.
    std::vector<int> depth(nodeRecords.size(), 0);
    for (std::size_t i = 1; i < nodeRecords.size(); ++i) {
        depth[i] = depth[static_cast<std::size_t>(nodeRecords[i].parent)] + 1;
        treeDepth = std::max(treeDepth, depth[i]);
    }
    if (treeDepth > kBvhStackSize) {
        std::printf("The BVH is %d levels deep; the traversal serves at most %d\n", treeDepth, kBvhStackSize);
        return false;
    }
    return copyDynamicTreeToDevice(sc);
}

void BVHTree::sortedEntries(const std::vector<int32_t>& ids, SweepEntry* out) {
    const std::size_t m = ids.size();
    const std::size_t count = 3 * m;
    // Objects have the ids -objectCount_ .. -1, triangles 0 .. n-1.
    const int64_t bias = objectCount_;
    const int64_t idRange = static_cast<int64_t>(triBoxes_.size()) + bias;
    int idBits = 1;
    while (idBits <= kMaxIdBits && (int64_t{1} << idBits) < idRange) ++idBits;
    const bool radix = idBits <= kMaxIdBits;
    const uint64_t idMask = (uint64_t{1} << idBits) - 1;
    const bool ascending = std::is_sorted(ids.begin(), ids.end());
    // The axes are independent: each sorts into its own list with its own
    // key buffers.
    auto sortAxis = [&](int axis) {
        SweepEntry* list = out + static_cast<std::size_t>(axis) * count;
        if (!radix) {
            SweepEntry* e = list;
            for (int32_t id : ids) {
                const aabb& b = primBox(id);
                *e++ = {b.min[axis], SweepEntry::encode(id, SweepEntry::kMin)};
                *e++ = {(b.min[axis] + b.max[axis]) * 0.5f, SweepEntry::encode(id, SweepEntry::kCentre)};
                *e++ = {b.max[axis], SweepEntry::encode(id, SweepEntry::kMax)};
            }
            std::sort(list, list + count, sweepBefore);
            return;
        }
        Scratch& scratch = localScratch();  // no other task runs on this thread till the end
        if (ascending) {
            // Kind by kind, each in id order, the entries are already in
            // the order of (kind, id): a stable sort by position alone
            // finishes them.
            SweepEntry* e = list;
            for (int32_t kind = SweepEntry::kMin; kind <= SweepEntry::kMax; ++kind)
                for (int32_t id : ids) {
                    const aabb& b = primBox(id);
                    float pos = kind == SweepEntry::kMin      ? b.min[axis]
                                : kind == SweepEntry::kCentre ? (b.min[axis] + b.max[axis]) * 0.5f
                                                              : b.max[axis];
                    if (pos == 0.0f) pos = 0.0f;  // -0 and +0 are one position
                    *e++ = {pos, SweepEntry::encode(id, kind)};
                }
            radixSortByPos(list, count, scratch.entryTmp);
            return;
        }
        std::vector<uint64_t>& keys = scratch.keys;
        // Kind by kind, each in id order: the keys start out sorted by their
        // low bits (kind, id), and only the position's bits are left to sort.
        keys.resize(count);
        uint64_t* k = keys.data();
        for (int32_t kind = SweepEntry::kMin; kind <= SweepEntry::kMax; ++kind)
            for (int32_t id : ids) {
                const aabb& b = primBox(id);
                const float pos = kind == SweepEntry::kMin      ? b.min[axis]
                                  : kind == SweepEntry::kCentre ? (b.min[axis] + b.max[axis]) * 0.5f
                                                                : b.max[axis];
                *k++ = sweepKey(pos, kind, static_cast<uint64_t>(static_cast<int64_t>(id) + bias), idBits);
            }
        radixSort(keys, scratch.tmp, ascending ? idBits + 2 : 0);
        for (std::size_t i = 0; i < count; ++i) {
            const uint64_t key = keys[i];
            list[i].pos = keyPos(static_cast<uint32_t>(key >> (idBits + 2)));
            list[i].code = SweepEntry::encode(static_cast<int32_t>(static_cast<int64_t>(key & idMask) - bias),
                                              static_cast<int32_t>((key >> idBits) & 3u));
        }
    };
    // Small lists (objects opened deep in the tree) are not worth a task.
    if (build::kParallel && m >= 4096) {
        build::parallelFor(3, [&](std::size_t axis) { sortAxis(static_cast<int>(axis)); });
        return;
    }
    for (int axis = 0; axis < 3; ++axis) sortAxis(axis);
}

void BVHTree::expandObject(Fragment& f, int node, int obj) {
    // The object's bvhNode is set when the node gets its final number.
    BVHNode& nd = f.nodes[node];
    nd.object = obj;
    nd.objects.clear();
}

void BVHTree::makeLeaf(Fragment& f, int node, const Span& span) {
    // Only triangles are left: one centre entry each.
    BVHNode& nd = f.nodes[node];
    std::vector<int>& list = f.tris;
    nd.triStart = static_cast<int32_t>(list.size());
    const SweepEntry* e = span.axis[0];
    for (std::size_t i = 0, end = 3 * static_cast<std::size_t>(span.count); i < end; ++i)
        if (e[i].kind() == SweepEntry::kCentre) list.push_back(e[i].id());
    std::sort(list.begin() + nd.triStart, list.end());
    nd.triCount = static_cast<int32_t>(list.size()) - nd.triStart;
    nd.isLeaf = true;
}

void BVHTree::makeObjectLeaf(Fragment& f, int node) {
    BVHNode& nd = f.nodes[node];
    const Movable& m = (*movables_)[nd.object];
    nd.triStart = static_cast<int32_t>(f.tris.size());
    nd.triCount = m.triangleCount;
    for (int i = 0; i < m.triangleCount; ++i) f.tris.push_back(m.firstTriangle + i);
    nd.isLeaf = true;
}

int BVHTree::number(Fragment& f, int local, int index, int parent) {
    int lost = local == 0 ? f.lost : 0;
    const BVHNode& src = f.nodes[local];
    if (src.left <= -2) {
        // A part built apart: numbered whole, then freed (the records grow
        // while the parts go).
        std::unique_ptr<Fragment>& part = f.subtrees[static_cast<std::size_t>(-2 - src.left)];
        lost += number(*part, 0, index, parent);
        part.reset();
        return lost;
    }
    DynamicBVHNodeProp& r = nodeRecords[static_cast<std::size_t>(index)];
    r.box = src.bbox;
    r.parent = parent;
    r.object = src.object;
    // An object's subtree root is the node that took it apart; objects do
    // not nest, so its parent carries no object.
    if (src.object >= 0 && (parent < 0 || nodeRecords[static_cast<std::size_t>(parent)].object != src.object))
        (*movables_)[src.object].bvhNode = index;
    if (src.isLeaf) {
        if (static_cast<uint32_t>(src.triCount) > DynamicBVHNodeProp::kFieldMask) leafTooLarge_ = true;
        r.childCountAxis =
            (static_cast<uint32_t>(src.triCount) & DynamicBVHNodeProp::kFieldMask) | (3u << 30);
        r.second = static_cast<int32_t>(triIndices.size());
        const auto from = f.tris.begin() + src.triStart;
        triIndices.insert(triIndices.end(), from, from + src.triCount);
        return lost;
    }
    const int left = src.left, right = src.right;
    const int first = static_cast<int>(nodeRecords.size());
    r.childCountAxis = static_cast<uint32_t>(first) | (static_cast<uint32_t>(src.splitAxis) << 30);
    r.second = first + 1;
    nodeRecords.emplace_back();
    nodeRecords.emplace_back();
    lost += number(f, left, first, index);
    lost += number(f, right, first + 1, index);
    return lost;
}

std::vector<BVHNode> BVHTree::hostNodes() const {
    std::vector<BVHNode> out(nodeRecords.size());
    for (std::size_t i = 0; i < nodeRecords.size(); ++i) {
        const DynamicBVHNodeProp& r = nodeRecords[i];
        BVHNode& n = out[i];
        n.bbox = r.box;
        n.index = static_cast<int32_t>(i);
        n.parent = r.parent;
        n.object = r.object;
        n.isLeaf = r.isLeaf();
        n.splitAxis = r.axis();
        if (n.isLeaf) {
            n.triCount = r.triCount();
            n.triStart = r.triStart();
        } else {
            n.left = r.first();
            n.right = r.second;
        }
    }
    return out;
}

void BVHTree::partition(const Span& span) {
    const std::size_t count = 3 * static_cast<std::size_t>(span.count);
    auto partitionAxis = [&](int axis) {
        std::vector<SweepEntry>& spillList = localScratch().spill;
        if (spillList.size() < count) spillList.resize(count);
        SweepEntry* const spill = spillList.data();
        SweepEntry* const e = span.axis[axis];
        // Each entry is written to both places; only its side's count moves.
        std::size_t kept = 0, spilled = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const SweepEntry x = e[i];
            const std::size_t left = goesLeft(x.id()) ? 1 : 0;
            e[kept] = x;
            spill[spilled] = x;
            kept += left;
            spilled += 1 - left;
        }
        std::copy(spill, spill + spilled, e + kept);
    };
    if (build::kParallel && span.count >= parallelGrain) {
        build::parallelFor(3, [&](std::size_t axis) { partitionAxis(static_cast<int>(axis)); });
        return;
    }
    for (int axis = 0; axis < 3; ++axis) partitionAxis(axis);
}

int BVHTree::addChildPair(Fragment& f, int node) {
    std::vector<BVHNode>& list = f.nodes;
    const int first = static_cast<int>(list.size());
    list.emplace_back();
    list.emplace_back();
    list[first].index = first;
    list[first + 1].index = first + 1;
    list[first].parent = list[first + 1].parent = node;
    list[node].left = first;
    list[node].right = first + 1;
    return first;
}

void BVHTree::descend(Fragment& f, int first, const aabb& boxA, int depthA, int countA, const Span& spanA,
                      const aabb& boxB, int depthB, int countB, const Span& spanB) {
    const int grain = std::max(parallelGrain / 4, 1);
    if (build::kParallel && spanA.count >= grain && spanB.count >= grain) {
        // Each child's subtree goes to a fragment of its own; the children
        // own distinct primitives, entry ranges and side flags.
        Fragment* parts[2];
        for (int c = 0; c < 2; ++c) {
            auto part = std::make_unique<Fragment>();
            part->nodes.push_back(std::move(f.nodes[first + c]));
            f.nodes[first + c] = BVHNode();
            f.nodes[first + c].left = -2 - static_cast<int>(f.subtrees.size());
            parts[c] = part.get();
            f.subtrees.push_back(std::move(part));
        }
        build::parallelInvoke([&] { subdivideDynamic(*parts[0], 0, boxA, depthA, countA, spanA); },
                              [&] { subdivideDynamic(*parts[1], 0, boxB, depthB, countB, spanB); });
        return;
    }
    subdivideDynamic(f, first, boxA, depthA, countA, spanA);
    subdivideDynamic(f, first + 1, boxB, depthB, countB, spanB);
}

void BVHTree::splitByKind(Fragment& f, int node, int depth, bool small, Span span) {
    f.nodes[node].splitAxis = 0;
    const int first = addChildPair(f, node);
    const int second = first + 1;
    BVHNode& p = f.nodes[node];
    BVHNode& a = f.nodes[first];
    BVHNode& b = f.nodes[second];
    const int triCount = span.count - static_cast<int>(p.objects.size());
    int leftCount;
    if (triCount == 0) {
        const std::size_t half = p.objects.size() / 2;
        a.objects.assign(p.objects.begin(), p.objects.begin() + static_cast<std::ptrdiff_t>(half));
        b.objects.assign(p.objects.begin() + static_cast<std::ptrdiff_t>(half), p.objects.end());
        for (int o : a.objects) left_[~o] = 1;
        for (int o : b.objects) left_[~o] = 0;
        leftCount = static_cast<int>(half);
    } else {
        b.objects.swap(p.objects);
        // The triangles in ascending order, as the first child lists them.
        std::vector<int32_t> tris;
        tris.reserve(static_cast<std::size_t>(triCount));
        const SweepEntry* e = span.axis[0];
        for (std::size_t i = 0, end = 3 * static_cast<std::size_t>(span.count); i < end; ++i)
            if (e[i].kind() == SweepEntry::kCentre && e[i].id() >= 0) tris.push_back(e[i].id());
        std::sort(tris.begin(), tris.end());
        for (int t : tris) {
            a.bbox.grow(triBoxes_[t]);
            left_[t] = 1;
        }
        for (int o : b.objects) left_[~o] = 0;
        leftCount = triCount;
    }
    for (int o : a.objects) a.bbox.grow((*movables_)[o].bounds);
    for (int o : b.objects) b.bbox.grow((*movables_)[o].bounds);
    std::vector<int32_t>().swap(p.objects);
    partition(span);
    const std::size_t shift = 3 * static_cast<std::size_t>(leftCount);
    const Span spanA{{span.axis[0], span.axis[1], span.axis[2]}, leftCount};
    const Span spanB{{span.axis[0] + shift, span.axis[1] + shift, span.axis[2] + shift},
                     span.count - leftCount};
    const aabb boxA = a.bbox, boxB = b.bbox;
    if (small) {
        // Each child is again a small node.
        descend(f, first, boxA, depth, 0, spanA, boxB, depth, 0, spanB);
        return;
    }
    int countA = triCount, countB = 0;
    for (int o : a.objects) countA += (*movables_)[o].triangleCount;
    for (int o : b.objects) countB += (*movables_)[o].triangleCount;
    descend(f, first, boxA, depth + 1, countA, spanA, boxB, depth + 1, countB, spanB);
}

// Every bound between the same two centres is a plane of the same cost
// (an object's bound at the object factor), so the sweep's first cheapest
// plane is the first cheapest count of centres passed among those with a
// candidate. The costs are worked out a block at a time without branches,
// and a block is looked into only when its least cost beats the best so
// far. A count without a candidate, or whose cost is not a number, gets
// infinity and is never taken, as a plain comparison would never take it.
BVHTree::Plane BVHTree::cheapestPlane(const Scratch& s, std::size_t m, int count) const {
    constexpr std::size_t kBlock = 16;
    constexpr float kNone = std::numeric_limits<float>::infinity();
    alignas(16) float cost[kBlock];
    Plane best;
    // A plane with every primitive on one side (j = 0 or m) separates
    // nothing: with the object factor it could still undercut not
    // splitting, and the node would be "split" into an empty and an
    // identical child down to the depth limit.
    for (std::size_t b = 1; b < m; b += kBlock) {
        const std::size_t n = std::min(kBlock, m - b);
        for (std::size_t k = 0; k < n; ++k) {
            const std::size_t j = b + k;
            const int nL = s.prefixWeight[j];
            const float c = s.prefixArea[j] * static_cast<float>(nL) +
                            s.suffixArea[j] * static_cast<float>(count - nL) + kTraversalCost;
            const float cObject = static_cast<float>(static_cast<double>(c) * kObjectFactor);
            const uint32_t marks = s.candidates[j];
            // The choices are made on the bits: written as selects, the
            // compiler branches on them.
            const uint32_t tri = 0u - static_cast<uint32_t>((marks & Scratch::kTriangleBound) & (c < kNone));
            const uint32_t obj =
                0u - static_cast<uint32_t>(((marks & Scratch::kObjectBound) != 0) & (cObject < kNone));
            const float v = fromBits((toBits(c) & tri) | (toBits(kNone) & ~tri));
            const float w = fromBits((toBits(cObject) & obj) | (toBits(kNone) & ~obj));
            cost[k] = w < v ? w : v;
        }
        for (std::size_t k = n; k < kBlock; ++k) cost[k] = kNone;
        const float least = leastOf16(cost);
        if (!(least < best.cost)) continue;
        for (std::size_t k = 0;; ++k)
            if (cost[k] == least) {
                best.cost = least;
                best.moved = b + k;
                break;
            }
    }
    return best;
}

void BVHTree::sweepPrefixes(Scratch& s, std::size_t begin, std::size_t end, const aabb& left, int nL,
                            float f) const {
    SweepBox L = loadBox(left);
    for (std::size_t j = begin; j < end; ++j) {
        L = grown(L, loadBox(s.boxes[j]));
        nL += primWeight(s.centreIds[j]);
        s.prefixArea[j + 1] = surfaceArea(L) * f;
        s.prefixWeight[j + 1] = nL;
    }
}

BVHTree::Plane BVHTree::sweepAxis(Scratch& s, const Span& span, int axis, const aabb& box, int count) {
    const float lo = box.min[axis], hi = box.max[axis];
    const SweepEntry* const entries = span.axis[axis];
    const std::size_t m = static_cast<std::size_t>(span.count);
    const std::size_t total = 3 * m;
    const float dx = box.max.x - box.min.x, dy = box.max.y - box.min.y, dz = box.max.z - box.min.z;
    const float f = 1.0f / (2.0f * (dx * dy + dx * dz + dy * dz));

    // The primitives in centre order (their ids), and the candidate bounds
    // between each two centres; every entry writes both, only a centre
    // moves on. Then the primitives' boxes.
    {
        // Byte stores may alias anything: the lists are reached through
        // local pointers, or every store reloads them.
        int32_t* const ids = s.centreIds.data();
        uint8_t* const candidates = s.candidates.data();
        std::size_t j = 0;
        uint32_t marks = 0;
        for (std::size_t i = 0; i < total; ++i) {
            const SweepEntry e = entries[i];
            const uint32_t centre = e.kind() == SweepEntry::kCentre ? 1u : 0u;
            const uint32_t inside = (lo < e.pos) & (e.pos < hi) & (centre ^ 1u);
            marks |= inside << (static_cast<uint32_t>(e.code) >> 31);  // objects have negative ids
            ids[j] = e.id();
            candidates[j] = static_cast<uint8_t>(marks);
            marks &= centre - 1u;
            j += centre;
        }
        constexpr std::size_t kAhead = 32;  // primitives between prefetch and use
        aabb* const boxes = s.boxes.data();
        const aabb* const triBoxes = triBoxes_.data();
        for (j = 0; j < m; ++j) {
            if (j + kAhead < m) {
                const int32_t ahead = ids[j + kAhead];
                if (ahead >= 0) __builtin_prefetch(&triBoxes[ahead]);
            }
            boxes[j] = primBox(ids[j]);
        }
    }
    // The boxes of every suffix of the centre order and their scaled areas:
    // the exact right-hand side once a prefix has moved left. Then the
    // prefixes.
    {
        SweepBox right{};
        for (std::size_t j = m; j-- > 0;) {
            const SweepBox b = loadBox(s.boxes[j]);
            right = j + 1 < m ? grown(b, right) : b;
            storeBox(right, s.suffix[j]);
            s.suffixArea[j] = surfaceArea(right) * f;
        }
        sweepPrefixes(s, 0, m, aabb(), 0, f);
    }

    Plane best = cheapestPlane(s, m, count);
    if (best.cost >= Plane().cost) {
        best.right = box;
    } else {
        best.left = unionFrom(aabb(), s.boxes.data(), best.moved);
        best.right = s.suffix[best.moved];
    }
    return best;
}

// The sweep above cut into fixed stretches that run side by side. Boxes
// are grown by minima and maxima, which group in any way with the same
// result, so each stretch starts from the union of the boxes before it and
// then goes on exactly as the whole sweep would; the first best plane of the
// first stretch with the lowest cost is the whole sweep's first best plane.
// The stretches do not depend on the thread count.
BVHTree::Plane BVHTree::sweepAxisChunked(Scratch& s, const Span& span, int axis, const aabb& box, int count) {
    const float lo = box.min[axis], hi = box.max[axis];
    const SweepEntry* const entries = span.axis[axis];
    const std::size_t m = static_cast<std::size_t>(span.count);
    const std::size_t total = 3 * m;
    const float dx = box.max.x - box.min.x, dy = box.max.y - box.min.y, dz = box.max.z - box.min.z;
    const float f = 1.0f / (2.0f * (dx * dy + dx * dz + dy * dz));
    const std::size_t chunk = static_cast<std::size_t>(std::max(parallelGrain / 2, 16));
    const std::size_t chunks = (total + chunk - 1) / chunk;
    auto forEach = [](std::size_t n, auto&& body) { build::parallelFor(n, body); };

    // Per stretch of entries: its centres, their weight and their box.
    struct Stretch {
        std::size_t centres = 0;
        long long weight = 0;
        aabb box;
        uint32_t tail = 0;  // candidate marks after its last centre
        // Where the whole sweep stands as the stretch begins.
        std::size_t moved = 0;
        int nL = 0;
        aabb left;
        aabb after;  // the union of the primitives of all later stretches
    };
    std::vector<Stretch> parts(chunks);
    forEach(chunks, [&](std::size_t c) {
        Stretch& st = parts[c];
        for (std::size_t i = c * chunk, end = std::min(total, i + chunk); i < end; ++i) {
            const SweepEntry& e = entries[i];
            if (e.kind() != SweepEntry::kCentre) continue;
            ++st.centres;
            st.weight += primWeight(e.id());
        }
    });
    for (std::size_t c = 1; c < chunks; ++c) {
        parts[c].moved = parts[c - 1].moved + parts[c - 1].centres;
        parts[c].nL = static_cast<int>(parts[c - 1].nL + parts[c - 1].weight);
    }
    // The primitives in centre order, the candidate bounds before each
    // centre, and each stretch's box.
    forEach(chunks, [&](std::size_t c) {
        Stretch& st = parts[c];
        std::size_t j = st.moved;
        SweepBox acc{};
        uint32_t marks = 0;
        for (std::size_t i = c * chunk, end = std::min(total, i + chunk); i < end; ++i) {
            const SweepEntry& e = entries[i];
            if (e.kind() != SweepEntry::kCentre) {
                marks |= static_cast<uint32_t>(lo < e.pos && e.pos < hi)
                         << (static_cast<uint32_t>(e.code) >> 31);
                continue;
            }
            s.candidates[j] = static_cast<uint8_t>(marks);
            marks = 0;
            const aabb& b = primBox(e.id());
            s.boxes[j] = b;
            s.centreIds[j] = e.id();
            acc = j++ > st.moved ? grown(acc, loadBox(b)) : loadBox(b);
        }
        if (st.centres) storeBox(acc, st.box);
        st.tail = marks;
    });
    // Bounds after a stretch's last centre belong with the next centre,
    // which a later stretch has.
    for (const Stretch& st : parts) {
        const std::size_t next = st.moved + st.centres;
        if (next < m) s.candidates[next] = static_cast<uint8_t>(s.candidates[next] | st.tail);
    }
    {
        SweepBox L = loadBox(aabb());
        for (Stretch& st : parts) {
            storeBox(L, st.left);
            if (st.centres) L = grown(L, loadBox(st.box));
        }
        bool any = false;
        SweepBox R{};
        for (std::size_t c = chunks; c-- > 0;) {
            Stretch& st = parts[c];
            if (any) storeBox(R, st.after);
            if (!st.centres) continue;
            R = any ? grown(loadBox(st.box), R) : loadBox(st.box);
            any = true;
        }
    }
    // The suffix boxes, each stretch from its end on as the whole sweep
    // would go, starting from the union of what lies after it; then the
    // prefixes, from the union of what lies before.
    forEach(chunks, [&](std::size_t c) {
        const Stretch& st = parts[c];
        if (!st.centres) return;
        const std::size_t begin = st.moved, end = st.moved + st.centres;
        bool any = end < m;
        SweepBox right = any ? loadBox(st.after) : SweepBox{};
        for (std::size_t j = end; j-- > begin;) {
            const SweepBox b = loadBox(s.boxes[j]);
            right = any ? grown(b, right) : b;
            any = true;
            storeBox(right, s.suffix[j]);
            s.suffixArea[j] = surfaceArea(right) * f;
        }
        sweepPrefixes(s, begin, end, st.left, st.nL, f);
    });

    Plane best = cheapestPlane(s, m, count);
    if (best.cost >= Plane().cost) {
        best.right = box;
        return best;
    }
    // The left box goes on from the last stretch that starts at or before
    // the plane.
    const Stretch* from = &parts[0];
    for (const Stretch& st : parts)
        if (st.moved <= best.moved) from = &st;
    best.left = unionFrom(from->left, s.boxes.data() + from->moved, best.moved - from->moved);
    best.right = s.suffix[best.moved];
    return best;
}

void BVHTree::subdivideDynamic(Fragment& f, int node, const aabb& box, int depth, int count, Span span) {
    if (depth >= maxDepth || count < kSmallNode) {
        BVHNode& nd = f.nodes[node];
        if (nd.objects.empty()) {
            makeLeaf(f, node, span);
            return;
        }
        if (nd.objects.size() == 1 && span.count == 1) {
            expandObject(f, node, nd.objects[0]);
            makeObjectLeaf(f, node);
            return;
        }
        splitByKind(f, node, depth, true, span);
        return;
    }

    // A lone object opens up: from here on its triangles are the primitives,
    // in lists of their own that live as long as this subtree is built.
    std::unique_ptr<SweepEntry[]> objectEntries;
    if (f.nodes[node].objects.size() == 1 && span.count == 1) {
        const int obj = f.nodes[node].objects[0];
        expandObject(f, node, obj);
        const Movable& mv = (*movables_)[obj];
        std::vector<int32_t> ids(static_cast<std::size_t>(mv.triangleCount));
        for (int i = 0; i < mv.triangleCount; ++i) ids[i] = mv.firstTriangle + i;
        objectEntries.reset(new SweepEntry[9 * ids.size()]);
        sortedEntries(ids, objectEntries.get());
        SweepEntry* const base = objectEntries.get();
        const std::size_t stride = 3 * ids.size();
        span = Span{{base, base + stride, base + 2 * stride}, mv.triangleCount};
    }
    const std::size_t m = static_cast<std::size_t>(span.count);
    // A large node sweeps on all cores (one core does better with the plain
    // sweep, which gives the same plane). It waits for the cores in between,
    // and then this thread may run other nodes: it keeps work arrays of its
    // own.
    bool wide = false;
    if (build::kParallel && span.count >= std::max(parallelGrain, 2)) wide = build::threadsAllowed() > 1;
    std::unique_ptr<Scratch> own;
    if (wide) own = std::make_unique<Scratch>();
    Scratch& s = wide ? *own : localScratch();
    s.fit(m);

    // Attempts 0 to 2 try the axes from the longest on; attempt 3 is the
    // longest axis again, whose plane attempt 0 already found.
    const int longest = longestAxis(box);
    Plane first;
    Plane plane;
    int axis = longest;
    int centreOrderOf = -1;  // the axis whose centre order s.centreIds holds
    for (int attempt = 0;; ++attempt) {
        axis = (longest + attempt) % 3;
        f.nodes[node].splitAxis = axis;
        if (attempt < 3) {
            plane = wide ? sweepAxisChunked(s, span, axis, box, count) : sweepAxis(s, span, axis, box, count);
            centreOrderOf = axis;
            if (attempt == 0) first = plane;
        } else {
            plane = first;
        }
        if (static_cast<float>(count) <= plane.cost) {
            if (attempt < 3) continue;
            if (f.nodes[node].objects.empty()) {
                makeLeaf(f, node, span);
                return;
            }
            if (plane.moved == 0) {
                // Objects that no plane separates: part them as a small node
                // would (triangles from objects, then objects in halves).
                splitByKind(f, node, depth, false, span);
                return;
            }
        }
        break;
    }

    // Split: the primitives whose centres come before the chosen entry go
    // to the first child.
    const int firstChild = addChildPair(f, node);
    const int second = firstChild + 1;
    BVHNode& p = f.nodes[node];
    BVHNode& a = f.nodes[firstChild];
    BVHNode& b = f.nodes[second];
    a.object = b.object = p.object;
    a.bbox = plane.left;
    b.bbox = plane.right;
    int countA = 0, countB = 0;
    auto assign = [&](std::size_t j, int32_t id) {
        const bool left = j < plane.moved;
        if (id >= 0) {
            left_[id] = left;
            (left ? countA : countB) += 1;
        } else {
            left_[id] = left;
            (left ? a : b).addObj(~id);
            (left ? countA : countB) += primWeight(id);
        }
    };
    if (centreOrderOf == axis) {
        for (std::size_t j = 0; j < m; ++j) assign(j, s.centreIds[j]);
    } else {
        const SweepEntry* e = span.axis[axis];
        std::size_t j = 0;
        for (std::size_t i = 0, end = 3 * m; i < end; ++i)
            if (e[i].kind() == SweepEntry::kCentre) assign(j++, e[i].id());
    }
    if (countA + countB < count) {
        std::printf("error!\n");
        ++f.lost;
    }
    std::vector<int32_t>().swap(p.objects);
    own.reset();
    partition(span);
    const int leftCount = static_cast<int>(plane.moved);
    const std::size_t shift = 3 * plane.moved;
    const Span spanA{{span.axis[0], span.axis[1], span.axis[2]}, leftCount};
    const Span spanB{{span.axis[0] + shift, span.axis[1] + shift, span.axis[2] + shift},
                     span.count - leftCount};
    const aabb boxA = plane.left, boxB = plane.right;
    descend(f, firstChild, boxA, depth + 1, countA, spanA, boxB, depth + 1, countB, spanB);
}

bool BVHTree::copyDynamicTreeToDevice(Scene*) {
    // The wide layout first: it is made from the host's binary records,
    // which then follow it to the device (one list on both sides at a time).
    if (!buildWide()) return false;
    deviceNodes = device::uploadArray(nodeRecords.data(), nodeRecords.size());
    if (!deviceNodes) {
        std::printf("Cannot upload the BVH nodes (%zu records)\n", nodeRecords.size());
        return false;
    }
    if (!keepHostCopies) std::vector<DynamicBVHNodeProp>().swap(nodeRecords);
    deviceTriIndices.reset();
    if (!triIndices.empty()) {
        deviceTriIndices = device::uploadArray(triIndices.data(), triIndices.size());
        if (!deviceTriIndices) {
            std::printf("Cannot upload the BVH index list (%zu entries)\n", triIndices.size());
            return false;
        }
    }
    if (!keepHostCopies) releaseHostCopies();
    return true;
}

}  // namespace lumenar
