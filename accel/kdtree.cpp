#include "accel/kdtree.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>

#include "accel/parallel.h"

namespace lumenar {

namespace {

constexpr float kTraversalCost = 0.2f;
constexpr float kNoCost = 9999999.0f;
constexpr double kEmptyMin = 99999.0;
constexpr double kEmptyMax = -99999.0;

// Triangle references the leaves may hold in all, per scene triangle.
// Overlapping, coplanar or fan-shaped geometry would otherwise be cut into
// copies without end; past the budget a node takes only planes that cut no
// triangle, or stays a leaf.
constexpr long long kReferencesPerTriangle = 4;

// An event (one bound of a triangle on one axis) is one 64-bit word whose
// order as an unsigned number is the event order along the axis: the
// position's bits in an order that agrees with the floats' (-0 is stored as
// +0, the same position), then the type (end, planar, start: at one
// position ends come first), then the triangle.
using Event = uint64_t;
constexpr int kTriBits = 30;
constexpr uint64_t kTriMask = (uint64_t{1} << kTriBits) - 1;
enum TypeKey : uint32_t { kEndKey = 0, kPlanarKey = 1, kStartKey = 2 };

inline uint32_t positionKey(float pos) {
    if (pos == 0.0f) pos = 0.0f;
    uint32_t u;
    std::memcpy(&u, &pos, sizeof u);
    return (u & 0x80000000u) ? ~u : (u | 0x80000000u);
}

inline float positionOf(uint32_t key) {
    const uint32_t u = (key & 0x80000000u) ? (key & 0x7fffffffu) : ~key;
    float pos;
    std::memcpy(&pos, &u, sizeof pos);
    return pos;
}

inline Event makeEvent(float pos, TypeKey type, int32_t tri) {
    return (static_cast<uint64_t>(positionKey(pos)) << 32) | (static_cast<uint64_t>(type) << kTriBits) |
           static_cast<uint64_t>(tri);
}
inline uint32_t keyOf(Event e) {
    return static_cast<uint32_t>(e >> 32);
}
inline uint32_t typeOf(Event e) {
    return static_cast<uint32_t>(e >> kTriBits) & 3u;
}
inline int32_t triOf(Event e) {
    return static_cast<int32_t>(e & kTriMask);
}

enum Side : uint8_t { kLeftOnly = 0, kBoth = 1, kRightOnly = 2, kUnknown = 0xFF };
enum PlanarSide { kNone, kLeft, kRight };

inline float surfaceArea(const aabb& b) {
    const float dx = b.max.x - b.min.x, dy = b.max.y - b.min.y, dz = b.max.z - b.min.z;
    return 2.0f * (dx * dy + dx * dz + dy * dz);
}

// x unless shorter than y or z; then y if longer than z, else z.
inline int longestAxis(const aabb& b) {
    const Vector3d d = b.max - b.min;
    if (!(d.x < d.y || d.x < d.z)) return 0;
    return d.y > d.z ? 1 : 2;
}

// The events of a triangle whose bounds (or the bounds of its part in a
// cell) are b, appended per axis: planar where the bounds are flat, else a
// start and an end.
template <class Out>
void addEvents(Out& out, int32_t tri, const aabb& b) {
    for (int a = 0; a < 3; ++a) {
        const float lo = b.min[a], hi = b.max[a];
        if (lo == hi) {
            out[a].push_back(makeEvent(lo, kPlanarKey, tri));
        } else {
            out[a].push_back(makeEvent(lo, kStartKey, tri));
            out[a].push_back(makeEvent(hi, kEndKey, tri));
        }
    }
}

// Sorts events that are in triangle order (as made, a triangle's events in
// any order) into the event order: a stable sort on the bits above the
// triangle, least significant digit first; digits that are the same in
// every event are skipped.
void sortEvents(std::vector<Event>& events, std::vector<Event>& tmp) {
    const std::size_t n = events.size();
    if (n < 4096) {
        std::sort(events.begin(), events.end());
        return;
    }
    constexpr int kDigits[3][2] = {{kTriBits, 12}, {kTriBits + 12, 11}, {kTriBits + 23, 11}};
    std::vector<uint32_t> hist(3u << 12, 0);
    for (Event e : events)
        for (int p = 0; p < 3; ++p)
            ++hist[(static_cast<std::size_t>(p) << 12) +
                   ((e >> kDigits[p][0]) & ((1u << kDigits[p][1]) - 1))];
    tmp.resize(n);
    for (int p = 0; p < 3; ++p) {
        uint32_t* h = &hist[static_cast<std::size_t>(p) << 12];
        const int shift = kDigits[p][0];
        const uint64_t mask = (uint64_t{1} << kDigits[p][1]) - 1;
        if (h[(events[0] >> shift) & mask] == n) continue;
        uint32_t sum = 0;
        for (std::size_t b = 0; b <= mask; ++b) {
            const uint32_t c = h[b];
            h[b] = sum;
            sum += c;
        }
        for (Event e : events) tmp[h[(e >> shift) & mask]++] = e;
        events.swap(tmp);
    }
}

struct DVec {
    double v[3];
    double operator[](int i) const { return v[i]; }
    double& operator[](int i) { return v[i]; }
};

inline DVec toDouble(const Vector3d& p) {
    return {{p.x, p.y, p.z}};
}

struct DBox {
    double lo[3] = {kEmptyMin, kEmptyMin, kEmptyMin};
    double hi[3] = {kEmptyMax, kEmptyMax, kEmptyMax};
    void grow(const DVec& p) {
        for (int i = 0; i < 3; ++i) {
            lo[i] = std::min(lo[i], p[i]);
            hi[i] = std::max(hi[i], p[i]);
        }
    }
    aabb toFloat() const {
        return aabb(
            Vector3d(static_cast<float>(lo[0]), static_cast<float>(lo[1]), static_cast<float>(lo[2])),
            Vector3d(static_cast<float>(hi[0]), static_cast<float>(hi[1]), static_cast<float>(hi[2])));
    }
};

// The edges of a triangle (v sorted along the split axis): edge k runs from
// P[k] to the next vertex along D[k]; per edge and axis the parameters where
// it meets a box's two slab planes, or for an edge parallel to the slab
// whether it lies within it.
struct Edges {
    DVec P[3], D[3];
    double tLo[3][3], tHi[3][3];
    bool parallelInside[3][3];
};

void edgesOf(const DVec v[3], Edges& g) {
    for (int k = 0; k < 3; ++k) {
        g.P[k] = v[k];
        const DVec& e = v[(k + 1) % 3];
        for (int i = 0; i < 3; ++i) g.D[k][i] = e[i] - g.P[k][i];
    }
}

// The slab parameters of axis i for the bounds [lo, hi].
void slab(Edges& g, int i, double lo, double hi) {
    for (int k = 0; k < 3; ++k) {
        g.parallelInside[k][i] = false;
        if (g.D[k][i] == 0.0) {
            g.parallelInside[k][i] = (hi - g.P[k][i]) * (lo - g.P[k][i]) <= 0.0;
            g.tLo[k][i] = g.tHi[k][i] = 99999.0;
        } else {
            g.tLo[k][i] = (lo - g.P[k][i]) / g.D[k][i];
            g.tHi[k][i] = (hi - g.P[k][i]) / g.D[k][i];
        }
    }
}

// Bounds of the part of the triangle inside box, from its edges' slab
// parameters for that box.
aabb clipToBox(const Edges& g, const aabb& box) {
    const double bmin[3] = {box.min.x, box.min.y, box.min.z};
    const double bmax[3] = {box.max.x, box.max.y, box.max.z};
    DBox out;
    const DVec* P = g.P;
    const DVec* D = g.D;
    const auto& tLo = g.tLo;
    const auto& tHi = g.tHi;
    const auto& parallelInside = g.parallelInside;
    // Vertices inside the box.
    for (int k = 0; k < 3; ++k) {
        bool inside = true;
        for (int i = 0; i < 3 && inside; ++i) inside = tLo[k][i] * tHi[k][i] <= 0.0 || parallelInside[k][i];
        if (inside) out.grow(P[k]);
    }
    // Where the triangle crosses each face plane: a segment between two
    // edges, clipped to the face.
    for (int i = 0; i < 3; ++i) {
        for (int face = 0; face < 2; ++face) {
            const double plane = face == 0 ? bmin[i] : bmax[i];
            for (int k = 0; k < 3; ++k) {
                const int k2 = (k + 1) % 3;
                const double ta = face == 0 ? tLo[k][i] : tHi[k][i];
                const double tb = face == 0 ? tLo[k2][i] : tHi[k2][i];
                if (!(ta >= 0.0 && ta <= 1.0 && tb >= 0.0 && tb <= 1.0)) continue;
                DVec X, Y;
                for (int j = 0; j < 3; ++j) {
                    X[j] = P[k][j] + ta * D[k][j];
                    Y[j] = P[k2][j] + tb * D[k2][j];
                }
                if (X[0] == Y[0] && X[1] == Y[1] && X[2] == Y[2]) continue;
                double s0 = 0.0, s1 = 1.0;
                int fix0 = -1, fix1 = -1;
                double fixVal0 = 0.0, fixVal1 = 0.0;
                bool rejected = false;
                for (int step = 1; step <= 2 && !rejected; ++step) {
                    const int j = (i + step) % 3;
                    const double dj = Y[j] - X[j];
                    if (dj == 0.0) {
                        rejected = X[j] < bmin[j] || X[j] > bmax[j];
                        continue;
                    }
                    double tEnter = (bmin[j] - X[j]) / dj, tExit = (bmax[j] - X[j]) / dj;
                    double enterBound = bmin[j], exitBound = bmax[j];
                    if (tEnter > tExit) {
                        std::swap(tEnter, tExit);
                        std::swap(enterBound, exitBound);
                    }
                    if (tExit < s0 || tEnter > s1) {
                        rejected = true;
                        continue;
                    }
                    if (tEnter > s0) {
                        s0 = tEnter;
                        fix0 = j;
                        fixVal0 = enterBound;
                    }
                    if (tExit < s1) {
                        s1 = tExit;
                        fix1 = j;
                        fixVal1 = exitBound;
                    }
                }
                if (rejected) break;
                DVec A, B;
                for (int j = 0; j < 3; ++j) {
                    A[j] = X[j] + s0 * (Y[j] - X[j]);
                    B[j] = X[j] + s1 * (Y[j] - X[j]);
                }
                if (fix0 >= 0) A[fix0] = fixVal0;
                if (fix1 >= 0) B[fix1] = fixVal1;
                A[i] = plane;
                B[i] = plane;
                out.grow(A);
                out.grow(B);
                break;  // only the first edge pair of a face counts
            }
        }
    }
    return out.toFloat();
}

// Scratch memory for event lists, taken and given back last in, first out:
// a node takes its children's lists and gives them back once both subtrees
// are built, so the memory in use follows the path being built: the lists
// of the nodes on it beside their siblings', at most as many events as the
// subtree's root had. The first block is made that large (its pages are
// touched only as they are used); blocks stay for reuse until the build
// ends.
class EventArena {
 public:
    struct Mark {
        std::size_t block, used;
    };
    explicit EventArena(std::size_t firstBlock) : firstBlock_(std::max<std::size_t>(firstBlock, 1 << 12)) {}
    Mark mark() const { return {block_, used_}; }
    // Gives back the last n events of the latest take.
    void giveBack(std::size_t n) { used_ -= n; }
    void release(const Mark& m) {
        block_ = m.block;
        used_ = m.used;
    }
    Event* take(std::size_t n) {
        while (block_ < blocks_.size()) {
            Block& b = blocks_[block_];
            if (used_ + n <= b.size) {
                Event* p = b.data.get() + used_;
                used_ += n;
                b.touched = std::max(b.touched, used_);
                return p;
            }
            if (block_ + 1 == blocks_.size()) break;
            ++block_;
            used_ = 0;
        }
        const std::size_t size =
            std::max({n, firstBlock_, blocks_.empty() ? std::size_t{0} : 2 * blocks_.back().size});
        blocks_.push_back({std::unique_ptr<Event[]>(new Event[size]), size, n});
        block_ = blocks_.size() - 1;
        used_ = n;
        return blocks_.back().data.get();
    }
    // Bytes of the blocks that were ever used.
    std::size_t touchedBytes() const {
        std::size_t sum = 0;
        for (const Block& b : blocks_) sum += b.touched * sizeof(Event);
        return sum;
    }

 private:
    struct Block {
        std::unique_ptr<Event[]> data;
        std::size_t size;
        std::size_t touched;  // the most events in use at once
    };
    std::vector<Block> blocks_;
    std::size_t block_ = 0, used_ = 0;
    std::size_t firstBlock_;
};

// One axis's events of a node, sorted, in memory the node may write up to
// `room` events into.
struct Span {
    Event* data = nullptr;
    std::size_t size = 0, room = 0;
};

// Merges the sorted list add[0, m) into the sorted list d[0, n) in place
// (d has room for n + m; no event is in both), from the back: each new
// event finds its place by a binary search and the kept events above it
// move up in one block.
void mergeFromBack(Event* d, std::size_t n, const Event* add, std::size_t m) {
    std::size_t i = n;
    for (std::size_t j = m; j-- > 0;) {
        const std::size_t at = static_cast<std::size_t>(std::upper_bound(d, d + i, add[j]) - d);
        std::memmove(d + at + j + 1, d + at, (i - at) * sizeof(Event));
        d[at + j] = add[j];
        i = at;
    }
}

}  // namespace

// A node's event lists, one per axis.
struct KdTree::Lists {
    Span axis[3];
};

// What a worker thread uses while it splits one node (a split runs on one
// thread without waiting on others in between).
struct KdTree::Scratch {
    std::vector<uint8_t> side;          // per triangle: its side at the node being split
    std::unique_ptr<EventArena> arena;  // the children's lists
    std::vector<Event> fresh[2][3];     // clipped triangles' new events, lower and upper side
    std::vector<int32_t> straddlers;
};

// A part of the tree built on one thread: its records in depth-first order,
// with upper children and leaf starts counted within the part, and the
// leaves' lists. Where a node's two subtrees were built apart (a fork), they
// are parts of their own, placed after the node when the parts are joined.
struct KdTree::Fragment {
    std::vector<NodeProp> records;
    std::vector<int32_t> tris;
    struct Fork {
        std::size_t record;
        std::unique_ptr<Fragment> lower, upper;
    };
    std::vector<Fork> forks;  // in record order
    std::size_t totalRecords = 0, totalTris = 0;
};

struct KdTree::Build {
    KdTree& tree;
    int mode;
    int triangleCount;
    std::size_t rootEvents = 0;  // the root's events on all three axes
    build::PerThread<Scratch> perThread;
    std::atomic<int> wrong{0};

    Build(KdTree& t, int m, int n, std::size_t events)
        : tree(t), mode(m), triangleCount(n), rootEvents(events) {
        setKeep();
    }
    // Bytes of event lists the threads' scratch ever held.
    std::size_t scratchBytes() {
        std::size_t sum = 0;
        perThread.forEach([&](Scratch& s) {
            if (s.arena) sum += s.arena->touchedBytes();
        });
        return sum;
    }

    Scratch& scratch() {
        Scratch& s = perThread.local();
        if (!s.arena) {
            s.arena = std::make_unique<EventArena>(rootEvents);
            s.side.assign(static_cast<std::size_t>(triangleCount), kUnknown);
        }
        return s;
    }

    void subdivide(Fragment& f, std::size_t record, Lists& ev, const aabb& box, int depth, int count,
                   long long budget);
    void child(Fragment& f, std::size_t record, Lists& ev, bool leaf, const aabb& box, int depth, int count,
               long long budget) {
        if (leaf)
            makeLeaf(f, record, ev.axis[0]);
        else
            subdivide(f, record, ev, box, depth, count, budget);
    }
    // A leaf of every triangle with an event in the list (each triangle of a
    // node has one start or planar event on every axis).
    static void makeLeaf(Fragment& f, std::size_t record, const Span& events) {
        const std::size_t start = f.tris.size();
        for (std::size_t i = 0; i < events.size; ++i)
            if (typeOf(events.data[i]) != kEndKey) f.tris.push_back(triOf(events.data[i]));
        std::sort(f.tris.begin() + static_cast<std::ptrdiff_t>(start), f.tris.end());
        f.tris.erase(std::unique(f.tris.begin() + static_cast<std::ptrdiff_t>(start), f.tris.end()),
                     f.tris.end());
        f.records[record] =
            NodeProp::leaf(static_cast<int>(f.tris.size() - start), static_cast<uint32_t>(start));
    }
    // Sends one axis's events to the children: the lower side's stay at the
    // front of the node's own list, the upper side's go to a list of their
    // own; each side then takes in the sorted new events of the clipped
    // straddlers. The choices are made without branches (sides come in
    // any order): every event is written to both lists, and each list's end
    // moves on only where the event belongs to it.
    void splitAxis(Scratch& s, Span& lower, Span& upper, int axis) {
        const uint8_t* side = s.side.data();
        std::vector<Event>& addLower = s.fresh[0][axis];
        std::vector<Event>& addUpper = s.fresh[1][axis];
        Event* const d = lower.data;
        const std::size_t n = lower.size;
        Event* const up = s.arena->take(n + addUpper.size());
        std::size_t w = 0, r = 0;
        unsigned unknown = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const Event e = d[i];
            const unsigned k = keep[side[triOf(e)]];
            d[w] = e;
            up[r] = e;
            w += k & 1u;
            r += (k >> 1) & 1u;
            unknown += k >> 2;
        }
        for (unsigned k = 0; k < unknown; ++k) std::printf("wrong!\n");
        wrong += static_cast<int>(unknown);
        s.arena->giveBack(n - r);
        mergeFromBack(up, r, addUpper.data(), addUpper.size());
        upper = Span{up, r + addUpper.size(), r + addUpper.size()};
        const std::size_t m = addLower.size();
        if (w + m <= lower.room) {
            mergeFromBack(d, w, addLower.data(), m);
        } else {
            Event* p = s.arena->take(w + m);
            std::merge(d, d + w, addLower.begin(), addLower.end(), p);
            lower.data = p;
            lower.room = w + m;
        }
        lower.size = w + m;
        addLower.clear();
        addUpper.clear();
    }
    // Per side value: bit 0 the event goes to the lower child, bit 1 to the
    // upper one, bit 2 its triangle has no side.
    uint8_t keep[256];
    void setKeep() {
        for (unsigned v = 0; v < 256; ++v) keep[v] = 4;
        keep[kLeftOnly] = 1;
        keep[kRightOnly] = 2;
        // Straddlers' events go to both children as they are, or are
        // replaced by the events of their clipped parts.
        keep[kBoth] = mode == kDuplicating ? 3 : 0;
    }
};

void KdTree::Build::subdivide(Fragment& f, std::size_t record, Lists& ev, const aabb& box, int depth,
                              int count, long long budget) {
    // A cancelled build finishes every node as an empty leaf.
    if (tree.cancel && tree.cancel->load(std::memory_order_relaxed)) {
        f.records[record] = NodeProp::leaf(0, 0);
        return;
    }
    int a = 0;
    float bestPos = 0.0f;
    PlanarSide bestSide = kNone;
    int bestNL = 0, bestNR = 0;
    aabb bestL = box, bestR = box;
    for (int attempt = 0;; ++attempt) {
        a = (longestAxis(box) + attempt) % 3;
        const float dx = box.max.x - box.min.x, dy = box.max.y - box.min.y, dz = box.max.z - box.min.z;
        const float scale = 0.5f / (dx * dy + dz * dx + dy * dz);
        const uint32_t maxKey = positionKey(box.max[a]);
        const Event* e = ev.axis[a].data;
        const std::size_t n = ev.axis[a].size;

        int NL = 0, NR = count;
        float bestCost = kNoCost;
        bestPos = 0.0f;
        bestSide = kNone;
        bestNL = bestNR = 0;
        aabb L = box, R = box;
        bestL = bestR = box;
        std::size_t i = 0;
        while (i < n) {
            const uint32_t key = keyOf(e[i]);
            if (key > maxKey) break;
            const float p = positionOf(key);
            L.max[a] = p;
            R.min[a] = p;
            int by[3] = {0, 0, 0};  // ends, planars, starts
            for (; i < n && keyOf(e[i]) == key; ++i) ++by[typeOf(e[i])];
            const int pEnd = by[kEndKey], pPlanar = by[kPlanarKey], pStart = by[kStartKey];
            NR = NR - pPlanar - pEnd;
            const float saL = surfaceArea(L), saR = surfaceArea(R);
            float cost;
            PlanarSide side = kNone;
            int cNL = NL, cNR = NR;
            if (pPlanar > 0) {
                const float cLeft =
                    (static_cast<float>(NL + pPlanar) * saL + static_cast<float>(NR) * saR) * scale +
                    kTraversalCost;
                const float cRight =
                    (static_cast<float>(NL) * saL + static_cast<float>(NR + pPlanar) * saR) * scale +
                    kTraversalCost;
                if (cRight <= cLeft) {
                    cost = cRight;
                    side = kRight;
                    cNR = NR + pPlanar;
                } else {
                    cost = cLeft;
                    side = kLeft;
                    cNL = NL + pPlanar;
                }
            } else {
                cost = (static_cast<float>(NL) * saL + static_cast<float>(NR) * saR) * scale + kTraversalCost;
            }
            if (cost < bestCost && static_cast<long long>(cNL) + cNR <= budget) {
                bestCost = cost;
                bestPos = p;
                bestSide = side;
                bestNL = cNL;
                bestNR = cNR;
                bestL = L;
                bestR = R;
            }
            NL = NL + pPlanar + pStart;
        }
        if (static_cast<float>(count) < bestCost) {
            if (attempt < 2) continue;
            makeLeaf(f, record, ev.axis[0]);
            return;
        }
        break;
    }

    // Split.
    Scratch& s = scratch();
    uint8_t* const side = s.side.data();
    const float split = bestPos;
    bool leftLeaf = true, rightLeaf = true;
    if (depth < tree.maxDepth) {
        leftLeaf = bestNL <= 4;
        rightLeaf = bestNR <= 4;
    }

    // Classify along the split axis. A start below the plane marks a
    // straddler until its end, if at or below the plane, moves it to the
    // lower side. Triangles lying wholly above the node box on this axis get
    // no side and are reported below.
    int nL = 0, nR = 0;
    s.straddlers.clear();
    {
        const Span& list = ev.axis[a];
        const uint32_t maxKey = positionKey(box.max[a]);
        std::size_t end = list.size;
        while (end > 0 && keyOf(list.data[end - 1]) > maxKey) side[triOf(list.data[--end])] = kUnknown;
        for (std::size_t i = 0; i < end; ++i) {
            const Event e = list.data[i];
            const float pos = positionOf(keyOf(e));
            const int32_t t = triOf(e);
            switch (typeOf(e)) {
                case kEndKey:
                    if (pos <= split) {
                        side[t] = kLeftOnly;
                        --nR;
                    }
                    break;
                case kStartKey:
                    if (pos >= split) {
                        side[t] = kRightOnly;
                        ++nR;
                    } else {
                        side[t] = kBoth;
                        ++nL;
                        ++nR;
                        s.straddlers.push_back(t);
                    }
                    break;
                default:
                    if (pos < split || (pos == split && bestSide == kLeft)) {
                        side[t] = kLeftOnly;
                        ++nL;
                    } else if (pos > split || (pos == split && bestSide == kRight)) {
                        side[t] = kRightOnly;
                        ++nR;
                    }
                    break;
            }
        }
    }

    // Clip the straddlers (those still marked: an end at or below the plane
    // took some back) to the children's boxes, then distribute.
    if (mode != kDuplicating) {
        for (int32_t t : s.straddlers) {
            if (side[t] != kBoth) continue;
            aabb lb, rb;
            tree.clipTriangle(t, split, a, bestL, bestR, lb, rb);
            if (!lb.isEmpty()) addEvents(s.fresh[0], t, lb);
            if (!rb.isEmpty()) addEvents(s.fresh[1], t, rb);
        }
        for (auto& sideLists : s.fresh)
            for (auto& list : sideLists) std::sort(list.begin(), list.end());
    }
    const EventArena::Mark mark = s.arena->mark();
    Lists lower = ev, upper;
    for (int ax = 0; ax < 3; ++ax) splitAxis(s, lower.axis[ax], upper.axis[ax], ax);
    ev = Lists();

    // The children share the budget in proportion to their counts, so each
    // keeps at least its own references (budget >= nL + nR).
    long long budgetL = nL, budgetR = nR;
    if (static_cast<long long>(nL) + nR <= budget && nL + nR > 0) {
        budgetL = budget * nL / (static_cast<long long>(nL) + nR);
        budgetR = budget - budgetL;
    }
    const bool sideBySide = build::kParallel && !leftLeaf && !rightLeaf &&
                            lower.axis[0].size + upper.axis[0].size >= tree.parallelEvents;
    if (sideBySide) {
        f.records[record] = NodeProp::inner(split, a, static_cast<int>(NodeProp::kMaxChild));
        Fragment::Fork fork{record, std::make_unique<Fragment>(), std::make_unique<Fragment>()};
        Fragment& lo = *fork.lower;
        Fragment& hi = *fork.upper;
        lo.records.emplace_back();
        hi.records.emplace_back();
        build::parallelInvoke([&] { subdivide(lo, 0, lower, bestL, depth + 1, nL, budgetL); },
                              [&] { subdivide(hi, 0, upper, bestR, depth + 1, nR, budgetR); });
        f.forks.push_back(std::move(fork));
    } else {
        const std::size_t lowerRecord = f.records.size();
        f.records.emplace_back();
        child(f, lowerRecord, lower, leftLeaf, bestL, depth + 1, nL, budgetL);
        const std::size_t upperRecord = f.records.size();
        f.records.emplace_back();
        f.records[record] = NodeProp::inner(split, a, static_cast<int>(upperRecord));
        child(f, upperRecord, upper, rightLeaf, bestR, depth + 1, nR, budgetR);
    }
    s.arena->release(mark);
}

KdTree::~KdTree() = default;

KdTree::KdTree() = default;

int KdTree::depthLimit(long long triangleCount) {
    // An empty scene would take the logarithm of 0; it gets the limit of one
    // triangle (its root is a leaf either way).
    const double n = static_cast<double>(std::max(triangleCount, 1ll));
    const long depth = std::lround(8.0 + 1.3 * std::log2(n));
    return static_cast<int>(std::min<long>(depth, kKdStackSize - 1));
}

bool KdTree::build(Scene* sc, aabb& box, int mode) {
    scene = sc;
    mode_ = mode;
    wrongSides = 0;
    peakEventBytes = 0;
    nodeRecords.clear();
    triIndices.clear();
    const int n = sc->triangleCount;
    if (static_cast<uint64_t>(std::max(n, 0)) > kTriMask + 1) {
        std::printf("The kd-tree build takes at most %llu triangles (the scene has %d)\n",
                    static_cast<unsigned long long>(kTriMask + 1), n);
        return false;
    }
    maxDepth = depthLimit(n);
    bbox = box;

    std::vector<char> skip(static_cast<std::size_t>(std::max(n, 0)), 0);
    if (staticOnly)
        for (const Movable& m : sc->movables)
            for (int i = std::max(m.firstTriangle, 0); i < std::min(m.firstTriangle + m.triangleCount, n);
                 ++i)
                skip[static_cast<std::size_t>(i)] = 1;
    // The root's lists, sorted once; every node below keeps its lists sorted
    // as it passes them on.
    std::vector<Event> rootEvents[3];
    int placed = 0;
    for (int i = 0; i < n; ++i) placed += skip[static_cast<std::size_t>(i)] ? 0 : 1;
    for (auto& list : rootEvents) list.reserve(2 * static_cast<std::size_t>(placed));
    for (int i = 0; i < n; ++i) {
        if (skip[static_cast<std::size_t>(i)]) continue;
        const Triangle& t = sc->hostTriangles[i];
        aabb b;
        b.grow(t.p1);
        b.grow(t.p2);
        b.grow(t.p3);
        addEvents(rootEvents, i, b);
    }
    std::vector<char>().swap(skip);
    {
        std::vector<Event> tmp;
        for (auto& list : rootEvents) sortEvents(list, tmp);
    }
    std::size_t rootBytes = 0;
    Lists lists;
    for (int a = 0; a < 3; ++a) {
        lists.axis[a] = Span{rootEvents[a].data(), rootEvents[a].size(), rootEvents[a].capacity()};
        rootBytes += rootEvents[a].capacity() * sizeof(Event);
    }

    Fragment top;
    {
        Build b(*this, mode, n, rootBytes / sizeof(Event));
        top.records.emplace_back();
        b.subdivide(top, 0, lists, box, 0, placed, kReferencesPerTriangle * std::max(placed, 1));
        wrongSides = b.wrong;
        peakEventBytes = rootBytes + b.scratchBytes();
    }
    for (auto& list : rootEvents) std::vector<Event>().swap(list);
    if (cancel && cancel->load()) return false;

    // One record list and one index list, depth first, whatever was built
    // side by side.
    std::function<void(Fragment&)> measure = [&](Fragment& f) {
        f.totalRecords = f.records.size();
        f.totalTris = f.tris.size();
        for (auto& k : f.forks) {
            measure(*k.lower);
            measure(*k.upper);
            f.totalRecords += k.lower->totalRecords + k.upper->totalRecords;
            f.totalTris += k.lower->totalTris + k.upper->totalTris;
        }
    };
    measure(top);
    if (top.totalRecords - 1 > NodeProp::kMaxChild) {
        std::printf("The kd-tree has too many nodes for its records (%zu, at most %u)\n", top.totalRecords,
                    NodeProp::kMaxChild + 1u);
        return false;
    }
    if (top.totalTris > std::size_t{0xFFFFFFFFu}) {
        std::printf("The kd-tree's leaves list too many triangles for its records (%zu)\n", top.totalTris);
        return false;
    }
    nodeRecords.resize(top.totalRecords);
    triIndices.resize(top.totalTris);
    std::size_t nextTri = 0;
    std::function<bool(Fragment&, std::size_t)> place = [&](Fragment& f, std::size_t base) -> bool {
        // Where a record of the part lands: its place in the part, pushed
        // back by the forked parts placed before it.
        std::vector<std::size_t> forkEnd(f.forks.size());  // records of the forks up to and including k
        for (std::size_t k = 0, sum = 0; k < f.forks.size(); ++k)
            forkEnd[k] = sum += f.forks[k].lower->totalRecords + f.forks[k].upper->totalRecords;
        auto where = [&](std::size_t local) {
            // forks whose record comes before local
            const auto it =
                std::lower_bound(f.forks.begin(), f.forks.end(), local,
                                 [](const Fragment::Fork& k, std::size_t r) { return k.record < r; });
            const std::size_t before = static_cast<std::size_t>(it - f.forks.begin());
            return base + local + (before ? forkEnd[before - 1] : 0);
        };
        std::size_t fork = 0;
        for (std::size_t i = 0; i < f.records.size(); ++i) {
            const NodeProp r = f.records[i];
            const std::size_t at = where(i);
            if (r.isLeaf()) {
                const std::size_t count = static_cast<std::size_t>(r.triCount());
                if (count > NodeProp::kMaxCount) {
                    std::printf("A kd-tree leaf holds too many triangles for its record (%zu)\n", count);
                    return false;
                }
                std::copy_n(f.tris.begin() + static_cast<std::ptrdiff_t>(r.start()), count,
                            triIndices.begin() + static_cast<std::ptrdiff_t>(nextTri));
                nodeRecords[at] = NodeProp::leaf(static_cast<int>(count), static_cast<uint32_t>(nextTri));
                nextTri += count;
                continue;
            }
            if (fork < f.forks.size() && f.forks[fork].record == i) {
                Fragment::Fork& k = f.forks[fork++];
                const std::size_t upper = at + 1 + k.lower->totalRecords;
                nodeRecords[at] = NodeProp::inner(r.split, r.axis(), static_cast<int>(upper));
                if (!place(*k.lower, at + 1) || !place(*k.upper, upper)) return false;
                k.lower.reset();
                k.upper.reset();
                continue;
            }
            nodeRecords[at] = NodeProp::inner(r.split, r.axis(), static_cast<int>(where(r.upperChild())));
        }
        std::vector<NodeProp>().swap(f.records);
        std::vector<int32_t>().swap(f.tris);
        return true;
    };
    if (!place(top, 0)) {
        nodeRecords.clear();
        triIndices.clear();
        return false;
    }
    // Children that are leaves without triangles are marked on their
    // parent, so the walk skips them without reading them.
    for (std::size_t i = 0; i < nodeRecords.size(); ++i) {
        NodeProp& r = nodeRecords[i];
        if (r.isLeaf()) continue;
        const NodeProp& lo = nodeRecords[i + 1];
        const NodeProp& hi = nodeRecords[static_cast<std::size_t>(r.upperChild())];
        r = NodeProp::inner(r.split, r.axis(), r.upperChild(), lo.isLeaf() && lo.triCount() == 0,
                            hi.isLeaf() && hi.triCount() == 0);
    }
    return copyTreeToDevice();
}

void KdTree::clipTriangle(int tri, float split, int axis, const aabb& leftBox, const aabb& rightBox,
                          aabb& leftBounds, aabb& rightBounds) const {
    leftBounds = aabb();
    rightBounds = aabb();
    const Triangle& t = scene->hostTriangles[tri];
    DVec v[3] = {toDouble(t.p1), toDouble(t.p2), toDouble(t.p3)};
    // Sorted along the axis, equal coordinates keeping their order.
    if (v[1][axis] < v[0][axis]) std::swap(v[0], v[1]);
    if (v[2][axis] < v[1][axis]) {
        std::swap(v[1], v[2]);
        if (v[1][axis] < v[0][axis]) std::swap(v[0], v[1]);
    }
    const double s = split;
    if (!(v[0][axis] < s && v[2][axis] > s)) return;
    // The child boxes share their slabs but on the split axis, where they
    // share the plane: the parameters there are worked out once.
    Edges g;
    edgesOf(v, g);
    for (int i = 0; i < 3; ++i) slab(g, i, leftBox.min[i], leftBox.max[i]);
    leftBounds = clipToBox(g, leftBox);
    bool shared = true;
    for (int i = 0; i < 3; ++i)
        if (i != axis && !(leftBox.min[i] == rightBox.min[i] && leftBox.max[i] == rightBox.max[i]))
            shared = false;
    if (!shared || leftBox.max[axis] != rightBox.min[axis]) {
        for (int i = 0; i < 3; ++i) slab(g, i, rightBox.min[i], rightBox.max[i]);
    } else {
        // The right box's lower plane is the left box's upper one.
        const double lo = rightBox.min[axis], hi = rightBox.max[axis];
        for (int k = 0; k < 3; ++k) {
            if (g.D[k][axis] == 0.0) {
                g.parallelInside[k][axis] = (hi - g.P[k][axis]) * (lo - g.P[k][axis]) <= 0.0;
            } else {
                g.tLo[k][axis] = g.tHi[k][axis];
                g.tHi[k][axis] = (hi - g.P[k][axis]) / g.D[k][axis];
            }
        }
    }
    rightBounds = clipToBox(g, rightBox);
}

bool KdTree::copyTreeToDevice() {
    deviceNodes = device::uploadArray(nodeRecords.data(), nodeRecords.size());
    if (!deviceNodes) {
        std::printf("Cannot upload the kd-tree nodes (%zu records)\n", nodeRecords.size());
        return false;
    }
    if (!keepHostCopies) std::vector<NodeProp>().swap(nodeRecords);
    deviceTriIndices.reset();
    if (!triIndices.empty()) {
        deviceTriIndices = device::uploadArray(triIndices.data(), triIndices.size());
        if (!deviceTriIndices) {
            std::printf("Cannot upload the kd-tree index list (%zu entries)\n", triIndices.size());
            return false;
        }
        if (!keepHostCopies) std::vector<int>().swap(triIndices);
    }
    return true;
}

void KdTree::releaseHostCopies() {
    std::vector<NodeProp>().swap(nodeRecords);
    std::vector<int>().swap(triIndices);
}

std::vector<KdNode> KdTree::hostNodes(std::vector<int>* recordOf) const {
    std::vector<KdNode> nodes;
    if (nodeRecords.empty()) return nodes;
    nodes.reserve(nodeRecords.size());
    if (recordOf) recordOf->assign(nodeRecords.size(), 0);
    nodes.emplace_back();
    nodes[0].bbox = bbox;
    // Iterative: (node, record); a node's children are numbered when it is
    // reached, its lower subtree is finished before its upper one.
    std::vector<std::pair<int, std::size_t>> pending{{0, 0}};
    while (!pending.empty()) {
        const auto [index, rec] = pending.back();
        pending.pop_back();
        const NodeProp& r = nodeRecords[rec];
        if (recordOf) (*recordOf)[static_cast<std::size_t>(index)] = static_cast<int>(rec);
        KdNode& nd = nodes[static_cast<std::size_t>(index)];
        nd.index = index;
        if (r.isLeaf()) {
            nd.isLeaf = true;
            nd.splitAxis = 3;
            nd.triCount = r.triCount();
            nd.triStart = static_cast<int32_t>(r.start());
            nd.tris.assign(triIndices.begin() + nd.triStart, triIndices.begin() + nd.triStart + nd.triCount);
            continue;
        }
        nd.splitAxis = r.axis();
        nd.splitPos = r.split;
        const int left = static_cast<int>(nodes.size());
        nd.left = left;
        nd.right = left + 1;
        const aabb box = nd.bbox;
        nodes.emplace_back();
        nodes.emplace_back();
        for (int c = 0; c < 2; ++c) {
            KdNode& ch = nodes[static_cast<std::size_t>(left + c)];
            ch.parent = index;
            ch.bbox = box;
            (c == 0 ? ch.bbox.max : ch.bbox.min)[r.axis()] = r.split;
        }
        pending.emplace_back(left + 1, static_cast<std::size_t>(r.upperChild()));
        pending.emplace_back(left, rec + 1);
    }
    return nodes;
}

}  // namespace lumenar
