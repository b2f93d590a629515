#include "accel/kdtree.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "accel/parallel.h"
#include "scene/triangle_setup.h"

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

// Two subtrees whose event lists hold at least this many events in all are
// built side by side.
constexpr std::size_t kParallelEvents = 16384;

enum Side : uint8_t { kLeftOnly = 0, kBoth = 1, kRightOnly = 2, kClipped = 3, kUnknown = 0xFF };
enum PlanarSide { kNone, kLeft, kRight };

inline bool eventBeforeOnAxis(const SplitEvent& a, const SplitEvent& b) {
    if (a.pos != b.pos) return a.pos < b.pos;
    if (a.type != b.type) return a.type > b.type;
    return a.tri < b.tri;
}

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

// Bounds of the part of the triangle (v sorted along the split axis) inside b.
aabb clipToBox(const DVec v[3], const aabb& box) {
    const double bmin[3] = {box.min.x, box.min.y, box.min.z};
    const double bmax[3] = {box.max.x, box.max.y, box.max.z};
    DBox out;
    DVec P[3], D[3];
    double tLo[3][3], tHi[3][3];
    bool parallelInside[3][3];
    for (int k = 0; k < 3; ++k) {
        P[k] = v[k];
        const DVec& e = v[(k + 1) % 3];
        for (int i = 0; i < 3; ++i) D[k][i] = e[i] - P[k][i];
        for (int i = 0; i < 3; ++i) {
            parallelInside[k][i] = false;
            if (D[k][i] == 0.0) {
                parallelInside[k][i] = (bmax[i] - P[k][i]) * (bmin[i] - P[k][i]) <= 0.0;
                tLo[k][i] = tHi[k][i] = 99999.0;
            } else {
                tLo[k][i] = (bmin[i] - P[k][i]) / D[k][i];
                tHi[k][i] = (bmax[i] - P[k][i]) / D[k][i];
            }
        }
    }
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

}  // namespace

// A node while the tree is built. Subtrees are built apart (in parallel
// where they are large) and numbered afterwards in the order a depth-first,
// left-first build gives them.
struct KdTree::BuildNode {
    KdNode node;
    std::unique_ptr<BuildNode> left, right;
};

// The per-triangle classification, one array per worker thread: a node's
// classification and distribution run on one thread without interruption,
// and every triangle of the node is classified before it is looked up.
struct KdTree::SideArrays {
    build::PerThread<std::vector<uint8_t>> perThread;
    std::vector<uint8_t>& local() { return perThread.local(); }
};

void KdNode::addTri(int tri) {
    auto it = std::lower_bound(tris.begin(), tris.end(), tri);
    if (it == tris.end() || *it != tri) tris.insert(it, tri);
}

void KdNode::copyTriToDevice(std::vector<int>& list) {
    triCount = static_cast<int32_t>(tris.size());
    triStart = static_cast<int32_t>(list.size());
    list.insert(list.end(), tris.begin(), tris.end());
}

KdTree::~KdTree() = default;

KdTree::KdTree() {
    nodes.emplace_back();
    nodes[0].parent = -1;
    nodes[0].index = 0;
}

int KdTree::depthLimit(long long triangleCount) {
    // An empty scene would take the logarithm of 0; it gets the limit of one
    // triangle (its root is a leaf either way).
    const double n = static_cast<double>(std::max(triangleCount, 1ll));
    const long depth = std::lround(8.0 + 1.3 * std::log2(n));
    return static_cast<int>(std::min<long>(depth, kKdStackSize - 1));
}

void KdTree::addEvents(Events& out, int tri, const aabb& b) {
    for (int a = 0; a < 3; ++a) {
        const float lo = b.min[a], hi = b.max[a];
        if (lo == hi) {
            out.axis[a].push_back({lo, SplitEvent::kPlanar, a, tri, hi});
        } else {
            out.axis[a].push_back({lo, SplitEvent::kStart, a, tri, hi});
            out.axis[a].push_back({hi, SplitEvent::kEnd, a, tri, lo});
        }
    }
}

bool KdTree::build(Scene* sc, aabb& box, int mode) {
    scene = sc;
    mode_ = mode;
    wrongSides = 0;
    const int n = sc->triangleCount;
    maxDepth = depthLimit(n);

    nodes.resize(1);
    nodes[0] = KdNode();
    nodes[0].parent = -1;
    nodes[0].index = 0;
    nodes[0].isLeaf = false;
    triIndices.clear();
    bbox = box;
    nodes[0].bbox = box;

    Events events;
    for (auto& a : events.axis) a.reserve(2 * static_cast<std::size_t>(n));
    std::vector<char> skip(static_cast<std::size_t>(n), 0);
    if (staticOnly)
        for (const Movable& m : sc->movables)
            for (int i = std::max(m.firstTriangle, 0); i < std::min(m.firstTriangle + m.triangleCount, n);
                 ++i)
                skip[static_cast<std::size_t>(i)] = 1;
    int placed = 0;
    for (int i = 0; i < n; ++i) {
        if (skip[static_cast<std::size_t>(i)]) continue;
        ++placed;
        const Triangle& t = sc->hostTriangles[i];
        aabb b;
        b.grow(t.p1);
        b.grow(t.p2);
        b.grow(t.p3);
        addEvents(events, i, b);
    }
    // The event order is total, so any sort gives the same lists.
    build::parallelFor(3, [&](std::size_t a) {
        build::parallelSort(events.axis[a].begin(), events.axis[a].end(), eventBeforeOnAxis);
    });
    triangleCount_ = n;
    sides_ = std::make_unique<SideArrays>();
    wrongCount_ = 0;

    BuildNode root;
    root.node = nodes[0];
    subdivide(&root, events, box, 0, placed, 0, kReferencesPerTriangle * std::max(placed, 1));
    sides_.reset();
    wrongSides = wrongCount_;
    // Room for every node and leaf reference at once: grown by doubling,
    // the lists of a large tree were copied and their fresh pages cleared
    // again and again.
    std::size_t nodeCount = 0, references = 0;
    countBuilt(root, nodeCount, references);
    nodes.reserve(nodeCount);
    triIndices.reserve(references);
    number(root, 0);
    return copyTreeToDevice();
}

void KdTree::countBuilt(const BuildNode& b, std::size_t& nodeCount, std::size_t& references) {
    // Iterative: a degenerate tree may be deep.
    std::vector<const BuildNode*> pending{&b};
    while (!pending.empty()) {
        const BuildNode* n = pending.back();
        pending.pop_back();
        ++nodeCount;
        if (n->node.isLeaf) {
            references += n->node.tris.size();
            continue;
        }
        if (n->left) pending.push_back(n->left.get());
        if (n->right) pending.push_back(n->right.get());
    }
}

void KdTree::number(BuildNode& b, int index) {
    KdNode& nd = nodes[index];
    nd.bbox = b.node.bbox;
    nd.splitPos = b.node.splitPos;
    nd.splitAxis = b.node.splitAxis;
    nd.isLeaf = b.node.isLeaf;
    if (nd.isLeaf) {
        nd.tris = std::move(b.node.tris);
        nd.copyTriToDevice(triIndices);
        return;
    }
    const int left = static_cast<int>(nodes.size());
    nodes.emplace_back();
    nodes.emplace_back();
    for (int c = left; c <= left + 1; ++c) {
        nodes[c].index = c;
        nodes[c].parent = index;
    }
    nodes[index].left = left;
    nodes[index].right = left + 1;
    number(*b.left, left);
    b.left.reset();
    number(*b.right, left + 1);
    b.right.reset();
}

void KdTree::makeLeaf(BuildNode* node, const Events& events) {
    std::vector<int32_t> tris;
    tris.reserve(events.axis[0].size());
    for (const auto& a : events.axis)
        for (const SplitEvent& e : a) tris.push_back(e.tri);
    std::sort(tris.begin(), tris.end());
    tris.erase(std::unique(tris.begin(), tris.end()), tris.end());
    node->node.tris = std::move(tris);
    node->node.isLeaf = true;
}

void KdTree::subdivide(BuildNode* node, Events& events, const aabb& box, int depth, int count, int attempt,
                       long long budget) {
    for (;; ++attempt) {
        const int a = (longestAxis(box) + attempt) % 3;
        node->node.splitAxis = a;

        const float dx = box.max.x - box.min.x, dy = box.max.y - box.min.y, dz = box.max.z - box.min.z;
        const float f = 0.5f / (dx * dy + dz * dx + dy * dz);
        const float boxMax = box.max[a];
        const std::vector<SplitEvent>& ev = events.axis[a];

        int NL = 0, NR = count;
        float bestCost = kNoCost, bestPos = 0.0f;
        PlanarSide bestSide = kNone;
        int bestNL = 0, bestNR = 0;
        aabb L = box, R = box, bestL = box, bestR = box;

        const std::size_t n = ev.size();
        std::size_t i = 0;
        while (i < n) {
            const float p = ev[i].pos;
            if (p > boxMax) break;
            L.max[a] = p;
            R.min[a] = p;
            int pEnd = 0, pPlanar = 0, pStart = 0;
            for (; i < n && ev[i].pos == p; ++i) {
                const int t = ev[i].type;
                pEnd += t == SplitEvent::kEnd;
                pPlanar += t == SplitEvent::kPlanar;
                pStart += t == SplitEvent::kStart;
            }
            NR = NR - pPlanar - pEnd;
            const float saL = surfaceArea(L), saR = surfaceArea(R);
            float cost;
            PlanarSide side = kNone;
            int cNL = NL, cNR = NR;
            if (pPlanar > 0) {
                const float cLeft =
                    (static_cast<float>(NL + pPlanar) * saL + static_cast<float>(NR) * saR) * f +
                    kTraversalCost;
                const float cRight =
                    (static_cast<float>(NL) * saL + static_cast<float>(NR + pPlanar) * saR) * f +
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
                cost = (static_cast<float>(NL) * saL + static_cast<float>(NR) * saR) * f + kTraversalCost;
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
            makeLeaf(node, events);
            events.clear();
            return;
        }

        // Split.
        node->node.splitPos = bestPos;
        node->left = std::make_unique<BuildNode>();
        node->right = std::make_unique<BuildNode>();
        BuildNode* left = node->left.get();
        BuildNode* right = node->right.get();
        left->node.bbox = bestL;
        right->node.bbox = bestR;
        std::vector<uint8_t>& side_ = sides_->local();
        if (side_.empty()) side_.assign(static_cast<std::size_t>(triangleCount_), kUnknown);

        bool leftLeaf = true, rightLeaf = true;
        if (depth < maxDepth) {
            leftLeaf = bestNL <= 4;
            rightLeaf = bestNR <= 4;
        }

        // Classify along the split axis. Triangles lying wholly above the
        // node box on this axis get no side and are reported below.
        const float s = bestPos;
        int nL = 0, nR = 0;
        for (auto it = ev.rbegin(); it != ev.rend() && it->pos > boxMax; ++it) side_[it->tri] = kUnknown;
        for (const SplitEvent& e : ev) {
            if (e.pos > boxMax) break;
            int side = -1;
            if (e.type == SplitEvent::kEnd) {
                if (e.pos <= s) side = kLeftOnly;
            } else if (e.type == SplitEvent::kStart) {
                if (e.pos >= s)
                    side = kRightOnly;
                else if (s < e.otherEnd)
                    side = kBoth;
            } else {
                if (e.pos < s || (e.pos == s && bestSide == kLeft))
                    side = kLeftOnly;
                else if (e.pos > s || (e.pos == s && bestSide == kRight))
                    side = kRightOnly;
            }
            if (side < 0) continue;
            side_[e.tri] = static_cast<uint8_t>(side);
            nL += side != kRightOnly;
            nR += side != kLeftOnly;
        }

        // Distribute.
        Events leftEv, rightEv, newLeft, newRight;
        for (int ax = 0; ax < 3; ++ax) {
            std::vector<SplitEvent>& src = events.axis[ax];
            leftEv.axis[ax].reserve(src.size());
            rightEv.axis[ax].reserve(src.size());
            for (const SplitEvent& e : src) {
                switch (side_[e.tri]) {
                    case kLeftOnly:
                        leftEv.axis[ax].push_back(e);
                        break;
                    case kRightOnly:
                        rightEv.axis[ax].push_back(e);
                        break;
                    case kClipped:
                        break;
                    case kBoth:
                        if (mode_ != kDuplicating) {
                            aabb lb, rb;
                            clipTriangle(e.tri, s, a, bestL, bestR, lb, rb);
                            if (!lb.isEmpty()) addEvents(newLeft, e.tri, lb);
                            if (!rb.isEmpty()) addEvents(newRight, e.tri, rb);
                            side_[e.tri] = kClipped;
                        } else {
                            leftEv.axis[ax].push_back(e);
                            rightEv.axis[ax].push_back(e);
                        }
                        break;
                    default:
                        std::printf("wrong!\n");
                        ++wrongCount_;
                        break;
                }
            }
            std::vector<SplitEvent>().swap(src);
        }
        if (mode_ != kDuplicating) {
            // Merged in place from the back: the kept events fill only part
            // of the list's room (it was reserved at the parent's size, which
            // also counts the clipped triangles' own events), so no second
            // list is allocated and its fresh pages are not touched.
            auto mergeIn = [](std::vector<SplitEvent>& dst, std::vector<SplitEvent>& add) {
                if (add.empty()) return;
                std::sort(add.begin(), add.end(), eventBeforeOnAxis);
                std::size_t i = dst.size(), j = add.size();
                dst.resize(i + j);
                SplitEvent* const d = dst.data();
                for (std::size_t k = i + j; j > 0;) {
                    if (i > 0 && eventBeforeOnAxis(add[j - 1], d[i - 1]))
                        d[--k] = d[--i];
                    else
                        d[--k] = add[--j];
                }
            };
            for (int ax = 0; ax < 3; ++ax) {
                mergeIn(leftEv.axis[ax], newLeft.axis[ax]);
                mergeIn(rightEv.axis[ax], newRight.axis[ax]);
            }
        }
        events.clear();

        // The children share the budget in proportion to their counts, so
        // each keeps at least its own references (budget >= nL + nR).
        long long budgetL = nL, budgetR = nR;
        if (static_cast<long long>(nL) + nR <= budget && nL + nR > 0) {
            budgetL = budget * nL / (static_cast<long long>(nL) + nR);
            budgetR = budget - budgetL;
        }
        auto buildLeft = [&] {
            if (leftLeaf)
                makeLeaf(left, leftEv);
            else
                subdivide(left, leftEv, bestL, depth + 1, nL, 0, budgetL);
            leftEv.clear();
        };
        auto buildRight = [&] {
            if (rightLeaf)
                makeLeaf(right, rightEv);
            else
                subdivide(right, rightEv, bestR, depth + 1, nR, 0, budgetR);
            rightEv.clear();
        };
        if (build::kParallel && !leftLeaf && !rightLeaf &&
            leftEv.axis[0].size() + rightEv.axis[0].size() >= kParallelEvents) {
            build::parallelInvoke(buildLeft, buildRight);
            return;
        }
        buildLeft();
        buildRight();
        return;
    }
}

void KdTree::clipTriangle(int tri, float split, int axis, const aabb& leftBox, const aabb& rightBox,
                          aabb& leftBounds, aabb& rightBounds) const {
    leftBounds = aabb();
    rightBounds = aabb();
    const Triangle& t = scene->hostTriangles[tri];
    DVec v[3] = {toDouble(t.p1), toDouble(t.p2), toDouble(t.p3)};
    std::stable_sort(v, v + 3, [axis](const DVec& x, const DVec& y) { return x[axis] < y[axis]; });
    const double s = split;
    if (!(v[0][axis] < s && v[2][axis] > s)) return;
    leftBounds = clipToBox(v, leftBox);
    rightBounds = clipToBox(v, rightBox);
}

bool KdTree::copyTreeToDevice() {
    // The records in depth-first order, lower child first, so that every
    // inner node's lower child is the record after it.
    const std::size_t count = nodes.size();
    if (count - 1 > NodeProp::kMaxChild) {
        std::printf("The kd-tree has too many nodes for its records (%zu, at most %u)\n", count,
                    NodeProp::kMaxChild + 1u);
        return false;
    }
    recordOf.assign(count, 0);
    std::vector<int> order;
    order.reserve(count);
    std::vector<int> pending{0};
    std::size_t packs = 0;
    while (!pending.empty()) {
        const int n = pending.back();
        pending.pop_back();
        recordOf[static_cast<std::size_t>(n)] = static_cast<int>(order.size());
        order.push_back(n);
        const KdNode& nd = nodes[static_cast<std::size_t>(n)];
        if (nd.isLeaf) {
            if (static_cast<uint32_t>(nd.triCount) > NodeProp::kMaxCount) {
                std::printf("A kd-tree leaf holds too many triangles for its record (%d)\n", nd.triCount);
                return false;
            }
            packs += (static_cast<std::size_t>(nd.triCount) + 3) / 4;
            continue;
        }
        pending.push_back(nd.right);
        pending.push_back(nd.left);
    }
    // Then every leaf's triangle packs in the same order, from an even
    // record so that they keep the packs' alignment.
    constexpr std::size_t kPackRecords = sizeof(KdPack) / sizeof(NodeProp);
    std::size_t next = (count + 1) & ~std::size_t{1};
    if (next + kPackRecords * packs > std::size_t{0xFFFFFFFFu}) {
        std::printf("The kd-tree's triangle packs do not fit its records (%zu packs)\n", packs);
        return false;
    }
    nodeRecords.assign(next + kPackRecords * packs, NodeProp{});
    auto emptyLeaf = [&](int n) {
        const KdNode& c = nodes[static_cast<std::size_t>(n)];
        return c.isLeaf && c.triCount == 0;
    };
    for (std::size_t r = 0; r < count; ++r) {
        KdNode& nd = nodes[static_cast<std::size_t>(order[r])];
        if (!nd.isLeaf) {
            nodeRecords[r] =
                NodeProp::inner(nd.splitPos, nd.splitAxis, recordOf[static_cast<std::size_t>(nd.right)],
                                emptyLeaf(nd.left), emptyLeaf(nd.right));
            continue;
        }
        nd.splitAxis = 3;
        nodeRecords[r] = NodeProp::leaf(nd.triCount, nd.triStart);
        if (nd.triCount == 0) continue;
        nodeRecords[r].setStart(static_cast<uint32_t>(next), true);
        for (int first = 0; first < nd.triCount; first += 4) {
            KdPack pack;
            for (int l = 0; l < 4; ++l) {
                const int tri = triIndices[nd.triStart + std::min(first + l, nd.triCount - 1)];
                float4 w[4];
                packWoop(scene->hostTriangles[tri], w);
                for (int k = 0; k < 3; ++k) {
                    pack.row[4 * k + 0][l] = w[k].x;
                    pack.row[4 * k + 1][l] = w[k].y;
                    pack.row[4 * k + 2][l] = w[k].z;
                    pack.row[4 * k + 3][l] = w[k].w;
                }
                pack.tri[l] = tri;
            }
            std::memcpy(static_cast<void*>(&nodeRecords[next]), &pack, sizeof pack);
            next += kPackRecords;
        }
    }
    deviceNodes = device::uploadArray(nodeRecords.data(), nodeRecords.size());
    if (!deviceNodes) {
        std::printf("Cannot upload the kd-tree nodes (%zu records)\n", nodeRecords.size());
        return false;
    }
    deviceTriIndices.reset();
    if (!triIndices.empty()) {
        deviceTriIndices = device::uploadArray(triIndices.data(), triIndices.size());
        if (!deviceTriIndices) {
            std::printf("Cannot upload the kd-tree index list (%zu entries)\n", triIndices.size());
            return false;
        }
    }
    return true;
}

}  // namespace lumenar
