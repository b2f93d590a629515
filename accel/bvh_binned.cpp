// The BVH's binned build: a node's primitives are sorted into a few bins by
// the centres of their boxes along each axis, the surface-area heuristic is
// evaluated at the bins' borders on all three axes at once, and the
// primitives are partitioned in place. Large nodes bin in fixed stretches
// on all cores, and subtrees are built side by side. Movable
// objects are primitives of their own (weighted by their triangles) until a
// node holds one alone, which then opens into its triangles, as in the
// sweep build. The stretches depend on parallelGrain only, so the tree is
// the same on any number of threads.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#include <xmmintrin.h>
#endif

#include "accel/bvh.h"
#include "accel/parallel.h"

namespace lumenar {

// Its box, id and weight in two lines of four words.
struct alignas(16) BvhPrimRef {
    float lo[3];
    int32_t id;  // triangle index, or ~object
    float hi[3];
    int32_t weight;  // 1, or the object's triangle count
};
static_assert(sizeof(BvhPrimRef) == 32, "a BvhPrimRef is two lines of four words");

namespace {

constexpr int kBins = 32;
// Nodes of at most this many primitives are not binned: every split of
// their centre order along each axis is costed.
constexpr int kSweepMax = 8;
constexpr float kTraversalCost = 0.2f;
constexpr int kSmallNode = 5;

// A box being grown, in registers on SSE hosts: lanes x, y, z (the fourth
// carries what follows the bounds in a BvhPrimRef and is never read).
#if defined(__SSE2__)
struct Box {
    __m128 lo = _mm_set1_ps(FLT_MAX), hi = _mm_set1_ps(-FLT_MAX);
    void grow(const BvhPrimRef& r) {
        lo = _mm_min_ps(lo, _mm_load_ps(r.lo));
        hi = _mm_max_ps(hi, _mm_load_ps(r.hi));
    }
    void grow(const Box& b) {
        lo = _mm_min_ps(lo, b.lo);
        hi = _mm_max_ps(hi, b.hi);
    }
    float area() const {
        alignas(16) float d[4];
        _mm_store_ps(d, _mm_sub_ps(hi, lo));
        return 2.0f * (d[0] * d[1] + d[0] * d[2] + d[1] * d[2]);
    }
    aabb toAabb() const {
        alignas(16) float l[4], h[4];
        _mm_store_ps(l, lo);
        _mm_store_ps(h, hi);
        return aabb(Vector3d(l[0], l[1], l[2]), Vector3d(h[0], h[1], h[2]));
    }
};
// Twice the centre of a primitive's box.
inline __m128 doubledCentre(const BvhPrimRef& r) {
    return _mm_add_ps(_mm_load_ps(r.lo), _mm_load_ps(r.hi));
}
#else
struct Box {
    float lo[3] = {FLT_MAX, FLT_MAX, FLT_MAX};
    float hi[3] = {-FLT_MAX, -FLT_MAX, -FLT_MAX};
    void grow(const BvhPrimRef& r) {
        for (int a = 0; a < 3; ++a) {
            lo[a] = std::min(lo[a], r.lo[a]);
            hi[a] = std::max(hi[a], r.hi[a]);
        }
    }
    void grow(const Box& b) {
        for (int a = 0; a < 3; ++a) {
            lo[a] = std::min(lo[a], b.lo[a]);
            hi[a] = std::max(hi[a], b.hi[a]);
        }
    }
    float area() const {
        const float dx = hi[0] - lo[0], dy = hi[1] - lo[1], dz = hi[2] - lo[2];
        return 2.0f * (dx * dy + dx * dz + dy * dz);
    }
    aabb toAabb() const { return aabb(Vector3d(lo[0], lo[1], lo[2]), Vector3d(hi[0], hi[1], hi[2])); }
};
#endif

inline float centreOf(const BvhPrimRef& r, int a) {
    return r.lo[a] + r.hi[a];
}

inline float boxArea(const aabb& b) {
    const float dx = b.max.x - b.min.x, dy = b.max.y - b.min.y, dz = b.max.z - b.min.z;
    return 2.0f * (dx * dy + dx * dz + dy * dz);
}

struct Bin {
    Box box;
    long long weight = 0;
};

// The first `count` bins of a stretch of primitives along the three axes
// (the others are left as they are, unused).
struct Bins {
    int count;
    Bin bin[3][kBins];
    explicit Bins(int n = kBins) : count(n) {
        for (auto& axis : bin)
            for (int k = 0; k < n; ++k) axis[k] = Bin();
    }
    void add(const Bins& o) {
        for (int a = 0; a < 3; ++a)
            for (int k = 0; k < count; ++k) {
                bin[a][k].box.grow(o.bin[a][k].box);
                bin[a][k].weight += o.bin[a][k].weight;
            }
    }
};

// Bins for a node of m primitives: fewer for smaller nodes, where the fixed
// cost of many bins outweighs what they find.
inline int binsFor(std::size_t m) {
    return static_cast<int>(std::min<std::size_t>(kBins, std::max<std::size_t>(8, m / 4)));
}

// Maps twice a box centre (lo + hi) to its bin along each axis.
struct BinMap {
    float base[3], scale[3];
    bool usable[3];
    int count;
    BinMap(const aabb& centres, int bins) : count(bins) {
        for (int a = 0; a < 3; ++a) {
            const float extent = centres.max[a] - centres.min[a];
            base[a] = centres.min[a];
            usable[a] = extent > 0.0f && std::isfinite(extent);
            scale[a] = usable[a] ? static_cast<float>(bins) * 0.99999f / extent : 0.0f;
        }
    }
    int operator()(const BvhPrimRef& r, int a) const {
        const int k = static_cast<int>((centreOf(r, a) - base[a]) * scale[a]);
        return std::min(std::max(k, 0), count - 1);
    }
};

void binStretch(const BvhPrimRef* refs, std::size_t n, const BinMap& map, Bins& out) {
#if defined(__SSE2__)
    const __m128 base = _mm_setr_ps(map.base[0], map.base[1], map.base[2], 0.0f);
    const __m128 scale = _mm_setr_ps(map.scale[0], map.scale[1], map.scale[2], 0.0f);
    const __m128i top = _mm_set1_epi32(map.count - 1), zero = _mm_setzero_si128();
    for (std::size_t i = 0; i < n; ++i) {
        const BvhPrimRef& r = refs[i];
        __m128i k = _mm_cvttps_epi32(_mm_mul_ps(_mm_sub_ps(doubledCentre(r), base), scale));
        // Clamped to the bins (a lane whose scale is 0 gives bin 0).
        k = _mm_and_si128(k, _mm_cmpgt_epi32(k, zero));
        k = _mm_or_si128(_mm_and_si128(_mm_cmpgt_epi32(k, top), top),
                         _mm_andnot_si128(_mm_cmpgt_epi32(k, top), k));
        alignas(16) int32_t bin[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(bin), k);
        const __m128 lo = _mm_load_ps(r.lo), hi = _mm_load_ps(r.hi);
        for (int a = 0; a < 3; ++a) {
            Bin& b = out.bin[a][bin[a]];
            b.box.lo = _mm_min_ps(b.box.lo, lo);
            b.box.hi = _mm_max_ps(b.box.hi, hi);
            b.weight += r.weight;
        }
    }
#else
    for (std::size_t i = 0; i < n; ++i) {
        const BvhPrimRef& r = refs[i];
        for (int a = 0; a < 3; ++a) {
            Bin& b = out.bin[a][map(r, a)];
            b.box.grow(r);
            b.weight += r.weight;
        }
    }
#endif
}

// Bounds of twice the centres of refs.
aabb centreBounds(const BvhPrimRef* refs, std::size_t n) {
    float lo[3] = {FLT_MAX, FLT_MAX, FLT_MAX}, hi[3] = {-FLT_MAX, -FLT_MAX, -FLT_MAX};
    for (std::size_t i = 0; i < n; ++i)
        for (int a = 0; a < 3; ++a) {
            const float c = centreOf(refs[i], a);
            lo[a] = std::min(lo[a], c);
            hi[a] = std::max(hi[a], c);
        }
    return aabb(Vector3d(lo[0], lo[1], lo[2]), Vector3d(hi[0], hi[1], hi[2]));
}

aabb boundsOf(const BvhPrimRef* refs, std::size_t n) {
    Box b;
    for (std::size_t i = 0; i < n; ++i) b.grow(refs[i]);
    return b.toAabb();
}

BvhPrimRef refOf(int32_t id, const aabb& box, int32_t weight) {
    BvhPrimRef r;
    for (int a = 0; a < 3; ++a) {
        r.lo[a] = box.min[a];
        r.hi[a] = box.max[a];
    }
    r.id = id;
    r.weight = weight;
    return r;
}

// The best split: the first of the least cost over the axes in order.
// Binned: the primitives of bins up to `last` go first; swept: the first
// `last` primitives of the centre order along the axis.
struct Choice {
    float cost = FLT_MAX;
    int axis = -1;
    int last = -1;
    long long weightA = 0, weightB = 0;
    Box boxA, boxB;
};

Choice bestBorder(const Bins& bins, const BinMap& map, float f) {
    Choice best;
    const int n = bins.count;
    for (int a = 0; a < 3; ++a) {
        if (!map.usable[a]) continue;
        const Bin* b = bins.bin[a];
        Box right[kBins];
        long long rightWeight[kBins];
        Box acc;
        long long w = 0;
        for (int k = n - 1; k > 0; --k) {
            acc.grow(b[k].box);
            w += b[k].weight;
            right[k] = acc;
            rightWeight[k] = w;
        }
        Box left;
        long long lw = 0;
        for (int k = 0; k + 1 < n; ++k) {
            left.grow(b[k].box);
            lw += b[k].weight;
            if (lw == 0 || rightWeight[k + 1] == 0) continue;
            const float cost = (left.area() * f) * static_cast<float>(lw) +
                               (right[k + 1].area() * f) * static_cast<float>(rightWeight[k + 1]) +
                               kTraversalCost;
            if (cost < best.cost) {
                best.cost = cost;
                best.axis = a;
                best.last = k;
                best.weightA = lw;
                best.weightB = rightWeight[k + 1];
                best.boxA = left;
                best.boxB = right[k + 1];
            }
        }
    }
    return best;
}

// Sorts a few primitives by their centres along an axis (equal centres keep
// their order).
void sortByCentre(BvhPrimRef* refs, int m, int a) {
    for (int i = 1; i < m; ++i) {
        const BvhPrimRef r = refs[i];
        const float c = centreOf(r, a);
        int j = i;
        for (; j > 0 && c < centreOf(refs[j - 1], a); --j) refs[j] = refs[j - 1];
        refs[j] = r;
    }
}

// Every split of the centre order along each axis, for a few primitives.
Choice bestSweep(const BvhPrimRef* refs, int m, float f) {
    Choice best;
    BvhPrimRef sorted[kSweepMax];
    for (int a = 0; a < 3; ++a) {
        std::copy(refs, refs + m, sorted);
        sortByCentre(sorted, m, a);
        Box right[kSweepMax];
        long long rightWeight[kSweepMax];
        Box acc;
        long long w = 0;
        for (int j = m - 1; j > 0; --j) {
            acc.grow(sorted[j]);
            w += sorted[j].weight;
            right[j] = acc;
            rightWeight[j] = w;
        }
        Box left;
        long long lw = 0;
        for (int j = 1; j < m; ++j) {
            left.grow(sorted[j - 1]);
            lw += sorted[j - 1].weight;
            const float cost = (left.area() * f) * static_cast<float>(lw) +
                               (right[j].area() * f) * static_cast<float>(rightWeight[j]) + kTraversalCost;
            if (cost < best.cost) {
                best.cost = cost;
                best.axis = a;
                best.last = j;
                best.weightA = lw;
                best.weightB = rightWeight[j];
                best.boxA = left;
                best.boxB = right[j];
            }
        }
    }
    return best;
}

}  // namespace

void BVHTree::buildBinned(Fragment& top, const std::vector<int32_t>& rootPrims) {
    const std::size_t m = rootPrims.size();
    std::unique_ptr<BinRef[]> refs(new BinRef[std::max<std::size_t>(m, 1)]);
    const std::vector<Triangle>& tris = scene->hostTriangles;
    build::parallelFor((m + 16383) / 16384, [&](std::size_t c) {
        for (std::size_t i = c * 16384, end = std::min(m, i + 16384); i < end; ++i) {
            const int32_t id = rootPrims[i];
            refs[i] = id >= 0 ? refOf(id, tris[static_cast<std::size_t>(id)].bounds, 1)
                              : refOf(id, (*movables_)[~id].bounds, (*movables_)[~id].triangleCount);
        }
    });
    top.nodes.reserve(m);
    const BinSpan span{refs.get(), static_cast<int>(m), centreBounds(refs.get(), m)};
    subdivideBinned(top, 0, scene->bounds, 0, scene->triangleCount, span);
}

void BVHTree::binnedLeaf(Fragment& f, int node, const BinSpan& span) {
    BVHNode& nd = f.nodes[node];
    nd.triStart = static_cast<int32_t>(f.tris.size());
    for (int i = 0; i < span.count; ++i) f.tris.push_back(span.refs[i].id);
    std::sort(f.tris.begin() + nd.triStart, f.tris.end());
    nd.triCount = static_cast<int32_t>(f.tris.size()) - nd.triStart;
    nd.isLeaf = true;
}

void BVHTree::subdivideBinned(Fragment& f, int node, const aabb& box, int depth, int count, BinSpan span) {
    int objects = 0;
    for (int i = 0; i < span.count && objects < 2; ++i) objects += span.refs[i].id < 0;
    if (depth >= maxDepth || count < kSmallNode) {
        if (objects == 0) return binnedLeaf(f, node, span);
        if (objects == 1 && span.count == 1) {
            expandObject(f, node, ~span.refs[0].id);
            return makeObjectLeaf(f, node);
        }
        return binnedByKind(f, node, depth, true, span);
    }

    // A lone object opens up: from here on its triangles are the
    // primitives, in a list of their own that lives as long as this subtree
    // is built.
    std::unique_ptr<BinRef[]> objectRefs;
    if (objects == 1 && span.count == 1) {
        const int obj = ~span.refs[0].id;
        expandObject(f, node, obj);
        const Movable& mv = (*movables_)[obj];
        const std::size_t size = static_cast<std::size_t>(std::max(mv.triangleCount, 1));
        objectRefs.reset(new BinRef[size]);
        for (int i = 0; i < mv.triangleCount; ++i)
            objectRefs[i] =
                refOf(mv.firstTriangle + i,
                      scene->hostTriangles[static_cast<std::size_t>(mv.firstTriangle + i)].bounds, 1);
        span = BinSpan{objectRefs.get(), mv.triangleCount,
                       centreBounds(objectRefs.get(), static_cast<std::size_t>(mv.triangleCount))};
        objects = 0;
    }

    // Bin, in fixed stretches side by side where the node is large; a few
    // primitives are swept instead.
    const std::size_t m = static_cast<std::size_t>(span.count);
    const float invArea = 1.0f / boxArea(box);
    const bool swept = span.count <= kSweepMax;
    const BinMap map(span.centres, binsFor(m));
    const std::size_t grain = static_cast<std::size_t>(std::max(parallelGrain, 2));
    const bool wide = build::kParallel && m >= grain;
    const std::size_t stretch = std::max<std::size_t>(grain / 2, 1);
    const std::size_t stretches = wide ? (m + stretch - 1) / stretch : 1;
    Choice best;
    if (swept) {
        best = bestSweep(span.refs, span.count, invArea);
    } else {
        Bins bins(map.count);
        if (!wide) {
            binStretch(span.refs, m, map, bins);
        } else {
            std::vector<Bins> parts(stretches, Bins(map.count));
            build::parallelFor(stretches, [&](std::size_t c) {
                const std::size_t from = c * stretch;
                binStretch(span.refs + from, std::min(stretch, m - from), map, parts[c]);
            });
            for (const Bins& p : parts) bins.add(p);
        }
        best = bestBorder(bins, map, invArea);
    }
    if (best.axis < 0 || (static_cast<float>(count) <= best.cost && objects == 0)) {
        // Nothing to split by (the centres coincide), or no split pays.
        if (objects == 0) return binnedLeaf(f, node, span);
        return binnedByKind(f, node, depth, false, span);
    }

    // Partition: the primitives of bins up to best.last (or the first
    // best.last of the centre order) go first.
    const int axis = best.axis;
    auto goesFirst = [&](const BvhPrimRef& r) { return map(r, axis) <= best.last; };
    std::size_t firstCount = 0;
    // In place, from both ends (the same on any number of threads; large
    // nodes bin on all cores, which is where their time goes).
    if (swept) {
        sortByCentre(span.refs, span.count, axis);
        firstCount = static_cast<std::size_t>(best.last);
    } else {
        BvhPrimRef* lo = span.refs;
        BvhPrimRef* hi = span.refs + m;
        for (;;) {
            while (lo < hi && goesFirst(*lo)) ++lo;
            while (lo < hi && !goesFirst(*(hi - 1))) --hi;
            if (lo >= hi) break;
            std::swap(*lo, *(hi - 1));
            ++lo;
            --hi;
        }
        firstCount = static_cast<std::size_t>(lo - span.refs);
    }

    const int first = addChildPair(f, node);
    BVHNode& p = f.nodes[node];
    p.splitAxis = axis;
    BVHNode& a = f.nodes[first];
    BVHNode& b = f.nodes[first + 1];
    a.object = b.object = p.object;
    a.bbox = best.boxA.toAabb();
    b.bbox = best.boxB.toAabb();
    const long long weights = best.weightA + best.weightB;
    if (weights < count) {
        std::printf("error!\n");
        ++f.lost;
    }
    const BinSpan spanA{span.refs, static_cast<int>(firstCount), aabb()};
    const BinSpan spanB{span.refs + firstCount, span.count - static_cast<int>(firstCount), aabb()};
    BinSpan sides[2] = {spanA, spanB};
    // The children's centre bounds, side by side where the node is large.
    auto centresOf = [&](int c) {
        sides[c].centres = centreBounds(sides[c].refs, static_cast<std::size_t>(sides[c].count));
    };
    if (wide)
        build::parallelInvoke([&] { centresOf(0); }, [&] { centresOf(1); });
    else
        centresOf(0), centresOf(1);
    const aabb boxA = a.bbox, boxB = b.bbox;
    binnedChildren(f, first, boxA, depth + 1, static_cast<int>(best.weightA), sides[0], boxB, depth + 1,
                   static_cast<int>(best.weightB), sides[1]);
}

void BVHTree::binnedChildren(Fragment& f, int first, const aabb& boxA, int depthA, int countA,
                             const BinSpan& a, const aabb& boxB, int depthB, int countB, const BinSpan& b) {
    const int grain = std::max(parallelGrain / 4, 1);
    if (build::kParallel && a.count >= grain && b.count >= grain) {
        Fragment* parts[2];
        for (int c = 0; c < 2; ++c) {
            auto part = std::make_unique<Fragment>();
            part->nodes.reserve(static_cast<std::size_t>((c == 0 ? a : b).count));
            part->nodes.push_back(std::move(f.nodes[first + c]));
            f.nodes[first + c] = BVHNode();
            f.nodes[first + c].left = -2 - static_cast<int>(f.subtrees.size());
            parts[c] = part.get();
            f.subtrees.push_back(std::move(part));
        }
        build::parallelInvoke([&] { subdivideBinned(*parts[0], 0, boxA, depthA, countA, a); },
                              [&] { subdivideBinned(*parts[1], 0, boxB, depthB, countB, b); });
        return;
    }
    subdivideBinned(f, first, boxA, depthA, countA, a);
    subdivideBinned(f, first + 1, boxB, depthB, countB, b);
}

void BVHTree::binnedByKind(Fragment& f, int node, int depth, bool small, BinSpan span) {
    // Triangles to the first child and objects to the second; or, with no
    // triangles, the objects in two halves by their numbers.
    const std::size_t m = static_cast<std::size_t>(span.count);
    BinRef* const refs = span.refs;
    std::size_t firstCount;
    const std::size_t objectCount =
        static_cast<std::size_t>(std::count_if(refs, refs + m, [](const BinRef& r) { return r.id < 0; }));
    if (objectCount == m) {
        std::sort(refs, refs + m, [](const BinRef& x, const BinRef& y) { return ~x.id < ~y.id; });
        firstCount = m / 2;
    } else {
        firstCount = static_cast<std::size_t>(
            std::stable_partition(refs, refs + m, [](const BinRef& r) { return r.id >= 0; }) - refs);
    }
    f.nodes[node].splitAxis = 0;
    const int first = addChildPair(f, node);
    BVHNode& p = f.nodes[node];
    BVHNode& a = f.nodes[first];
    BVHNode& b = f.nodes[first + 1];
    a.object = b.object = p.object;
    a.bbox = boundsOf(refs, firstCount);
    b.bbox = boundsOf(refs + firstCount, m - firstCount);
    int countA = 0, countB = 0;
    for (std::size_t i = 0; i < m; ++i) (i < firstCount ? countA : countB) += refs[i].weight;
    const BinSpan spanA{refs, static_cast<int>(firstCount), centreBounds(refs, firstCount)};
    const BinSpan spanB{refs + firstCount, static_cast<int>(m - firstCount),
                        centreBounds(refs + firstCount, m - firstCount)};
    const aabb boxA = a.bbox, boxB = b.bbox;
    // Children of a small node are small nodes again (count 0 keeps them so).
    if (small)
        binnedChildren(f, first, boxA, depth, 0, spanA, boxB, depth, 0, spanB);
    else
        binnedChildren(f, first, boxA, depth + 1, countA, spanA, boxB, depth + 1, countB, spanB);
}

}  // namespace lumenar
