#include "accel/bvh.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace lumenar {

namespace {

constexpr float kTraversalCost = 0.2f;
constexpr double kObjectFactor = 0.8;
constexpr int kSmallNode = 5;

inline bool sweepBefore(const SweepEntry& a, const SweepEntry& b) {
    if (a.pos != b.pos) return a.pos < b.pos;
    if (a.kind != b.kind) return a.kind < b.kind;
    return a.id < b.id;
}

inline float surfaceArea(const aabb& b) {
    const float dx = b.max.x - b.min.x, dy = b.max.y - b.min.y, dz = b.max.z - b.min.z;
    return 2.0f * (dx * dy + dx * dz + dy * dz);
}

inline int longestAxis(const aabb& b) {
    const Vector3d d = b.max - b.min;
    if (!(d.x < d.y || d.x < d.z)) return 0;
    return d.y > d.z ? 1 : 2;
}

}  // namespace

void BVHNode::addTri(int tri) {
    auto it = std::lower_bound(tris.begin(), tris.end(), tri);
    if (it == tris.end() || *it != tri) tris.insert(it, tri);
}

void BVHNode::addObj(int obj) {
    objects.push_back(obj);
}

void BVHNode::copyTriToDevice(std::vector<int>& list) {
    triCount = static_cast<int32_t>(tris.size());
    triStart = static_cast<int32_t>(list.size());
    list.insert(list.end(), tris.begin(), tris.end());
}

BVHTree::BVHTree() {
    nodes.emplace_back();
    nodes[0].index = 0;
    nodes[0].parent = -1;
    nodes[0].object = -1;
}

aabb BVHTree::primBox(int32_t id) const {
    return id >= 0 ? scene->hostTriangles[id].bounds : (*movables_)[~id].bounds;
}

int BVHTree::primWeight(int32_t id) const {
    return id >= 0 ? 1 : (*movables_)[~id].triangleCount;
}

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
    for (int k = 0; k < objectCount; ++k) {
        const Movable& m = sc->movables[k];
        if (m.firstTriangle < 0 || m.triangleCount < 0 || m.firstTriangle > n - m.triangleCount) {
            std::printf("Movable object %d names triangles %d..%d outside the %d scene triangles\n", k,
                        m.firstTriangle, m.firstTriangle + m.triangleCount - 1, n);
            return false;
        }
    }
    maxDepth = static_cast<int32_t>(std::lround(8.0 + 1.3 * std::log2(static_cast<double>(std::max(n, 1)))));

    nodes.resize(1);
    nodes[0] = BVHNode();
    nodes[0].index = 0;
    triIndices.clear();

    std::vector<uint8_t> inObject(static_cast<std::size_t>(n), 0);
    for (int k = 0; k < objectCount; ++k) {
        const Movable& m = sc->movables[k];
        std::fill(inObject.begin() + m.firstTriangle, inObject.begin() + m.firstTriangle + m.triangleCount,
                  1);
    }
    BVHNode& root = nodes[0];
    root.tris.reserve(static_cast<std::size_t>(n));
    for (int j = 0; j < n; ++j)
        if (!inObject[j]) root.tris.push_back(j);
    for (int k = 0; k < objectCount; ++k) root.addObj(k);
    root.bbox = sc->bounds;

    treeDepth = 0;
    subdivideDynamic(0, sc->bounds, 0, n, 0);
    std::vector<SweepEntry>().swap(sweep_);

    // Depth in edges of the deepest leaf: the traversal keeps at most that
    // many pending children.
    std::vector<int> depth(nodes.size(), 0);
    for (std::size_t i = 1; i < nodes.size(); ++i) {
        depth[i] = depth[nodes[i].parent] + 1;
        treeDepth = std::max(treeDepth, depth[i]);
    }
    if (treeDepth > kBvhStackSize) {
        std::printf("The BVH is %d levels deep; the traversal serves at most %d\n", treeDepth, kBvhStackSize);
        return false;
    }
    return copyDynamicTreeToDevice(sc);
}

void BVHTree::expandObject(int node, int obj) {
    BVHNode& nd = nodes[node];
    const Movable& m = (*movables_)[obj];
    nd.tris.resize(static_cast<std::size_t>(m.triangleCount));
    for (int i = 0; i < m.triangleCount; ++i) nd.tris[i] = m.firstTriangle + i;
    nd.object = obj;
    nd.objects.clear();
    (*movables_)[obj].bvhNode = nd.index;
}

void BVHTree::makeLeaf(int node) {
    BVHNode& nd = nodes[node];
    nd.copyTriToDevice(triIndices);
    nd.isLeaf = true;
    std::vector<int32_t>().swap(nd.tris);
}

void BVHTree::splitByKind(int node, int depth, bool small) {
    BVHNode& nd = nodes[node];
    nd.splitAxis = 0;
    const int first = static_cast<int>(nodes.size());
    const int second = first + 1;
    nodes.emplace_back();
    nodes.emplace_back();
    BVHNode& p = nodes[node];
    BVHNode& a = nodes[first];
    BVHNode& b = nodes[second];
    a.index = first;
    b.index = second;
    a.parent = b.parent = node;
    p.left = first;
    p.right = second;
    if (p.tris.empty()) {
        const std::size_t half = p.objects.size() / 2;
        a.objects.assign(p.objects.begin(), p.objects.begin() + static_cast<std::ptrdiff_t>(half));
        b.objects.assign(p.objects.begin() + static_cast<std::ptrdiff_t>(half), p.objects.end());
    } else {
        a.tris.swap(p.tris);
        b.objects.swap(p.objects);
    }
    for (int t : a.tris) a.bbox.grow(scene->hostTriangles[t].bounds);
    for (int o : a.objects) a.bbox.grow((*movables_)[o].bounds);
    for (int o : b.objects) b.bbox.grow((*movables_)[o].bounds);
    std::vector<int32_t>().swap(p.tris);
    std::vector<int32_t>().swap(p.objects);
    const aabb boxA = a.bbox, boxB = b.bbox;
    if (small) {
        // Each child is again a small node.
        subdivideDynamic(first, boxA, depth, 0, 0);
        subdivideDynamic(second, boxB, depth, 0, 0);
        return;
    }
    int countA = static_cast<int>(a.tris.size()), countB = 0;
    for (int o : a.objects) countA += (*movables_)[o].triangleCount;
    for (int o : b.objects) countB += (*movables_)[o].triangleCount;
    subdivideDynamic(first, boxA, depth + 1, countA, 0);
    subdivideDynamic(second, boxB, depth + 1, countB, 0);
}

void BVHTree::subdivideDynamic(int node, const aabb& box, int depth, int count, int attempt) {
    if (depth >= maxDepth || count < kSmallNode) {
        BVHNode& nd = nodes[node];
        if (nd.objects.empty()) {
            makeLeaf(node);
            return;
        }
        if (nd.objects.size() == 1 && nd.tris.empty()) {
            expandObject(node, nd.objects[0]);
            makeLeaf(node);
            return;
        }
        splitByKind(node, depth, true);
        return;
    }

    for (;; ++attempt) {
        const int axis = (longestAxis(box) + attempt) % 3;
        nodes[node].splitAxis = axis;
        const float lo = box.min[axis], hi = box.max[axis];
        {
            BVHNode& nd = nodes[node];
            if (nd.tris.empty() && nd.objects.size() == 1) expandObject(node, nd.objects[0]);
        }
        const BVHNode& nd = nodes[node];

        // Entries of every primitive along the axis, in sweep order.
        const std::size_t m = nd.tris.size() + nd.objects.size();
        sweep_.clear();
        sweep_.reserve(3 * m);
        auto addPrim = [&](int32_t id) {
            const aabb b = primBox(id);
            sweep_.push_back({b.min[axis], SweepEntry::kMin, id});
            sweep_.push_back({(b.min[axis] + b.max[axis]) * 0.5f, SweepEntry::kCentre, id});
            sweep_.push_back({b.max[axis], SweepEntry::kMax, id});
        };
        for (int t : nd.tris) addPrim(t);
        for (int o : nd.objects) addPrim(~o);
        std::sort(sweep_.begin(), sweep_.end(), sweepBefore);

        // Primitives in centre order and the boxes of every suffix of it: the
        // exact right-hand box once a prefix has moved left.
        std::vector<int32_t> order;
        order.reserve(m);
        for (const SweepEntry& e : sweep_)
            if (e.kind == SweepEntry::kCentre) order.push_back(e.id);
        std::vector<aabb> suffix(m);
        for (std::size_t j = m; j-- > 0;) {
            suffix[j] = primBox(order[j]);
            if (j + 1 < m) suffix[j].grow(suffix[j + 1]);
        }

        const float dx = box.max.x - box.min.x, dy = box.max.y - box.min.y, dz = box.max.z - box.min.z;
        const float f = 1.0f / (2.0f * (dx * dy + dx * dz + dy * dz));
        aabb L, R = box, bestL, bestR = box;
        int nL = 0, nR = count;
        float best = 1e9f;
        std::size_t moved = 0, bestMoved = 0;
        for (const SweepEntry& e : sweep_) {
            if (e.kind == SweepEntry::kCentre) {
                const int w = primWeight(e.id);
                nL += w;
                nR -= w;
                L.grow(primBox(e.id));
                ++moved;
                if (moved < m) R = suffix[moved];
                continue;
            }
            // A plane with every primitive on one side separates nothing:
            // with the object factor it could still undercut not splitting,
            // and the node would be "split" into an empty and an identical
            // child down to the depth limit.
            if (!(lo < e.pos && e.pos < hi) || moved == 0 || moved == m) continue;
            float cost = (surfaceArea(L) * f) * static_cast<float>(nL) +
                         (surfaceArea(R) * f) * static_cast<float>(nR) + kTraversalCost;
            if (e.id < 0) cost = static_cast<float>(static_cast<double>(cost) * kObjectFactor);
            if (cost < best) {
                best = cost;
                bestMoved = moved;
                bestL = L;
                bestR = R;
            }
        }

        if (static_cast<float>(count) <= best) {
            if (attempt < 3) continue;
            if (nd.objects.empty()) {
                makeLeaf(node);
                return;
            }
            if (bestMoved == 0) {
                // Objects that no plane separates: part them as a small node
                // would (triangles from objects, then objects in halves).
                splitByKind(node, depth, false);
                return;
            }
        }

        // Split: the primitives whose centres come before the chosen entry
        // go to the first child.
        const int first = static_cast<int>(nodes.size());
        const int second = first + 1;
        nodes.emplace_back();
        nodes.emplace_back();
        BVHNode& p = nodes[node];
        BVHNode& a = nodes[first];
        BVHNode& b = nodes[second];
        a.index = first;
        b.index = second;
        a.parent = b.parent = node;
        a.object = b.object = p.object;
        a.bbox = bestL;
        b.bbox = bestR;
        p.left = first;
        p.right = second;
        int countA = 0, countB = 0;
        for (std::size_t j = 0; j < m; ++j) {
            BVHNode& dst = j < bestMoved ? a : b;
            const int32_t id = order[j];
            if (id >= 0)
                dst.tris.push_back(id);
            else
                dst.addObj(~id);
            (j < bestMoved ? countA : countB) += primWeight(id);
        }
        std::sort(a.tris.begin(), a.tris.end());
        std::sort(b.tris.begin(), b.tris.end());
        if (countA + countB < count) {
            std::printf("error!\n");
            ++lostTriangles;
        }
        std::vector<int32_t>().swap(p.tris);
        std::vector<int32_t>().swap(p.objects);
        std::vector<int32_t>().swap(order);
        std::vector<aabb>().swap(suffix);
        subdivideDynamic(first, bestL, depth + 1, countA, 0);
        subdivideDynamic(second, bestR, depth + 1, countB, 0);
        return;
    }
}

bool BVHTree::copyDynamicTreeToDevice(Scene*) {
    nodeRecords.resize(nodes.size());
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        BVHNode& nd = nodes[i];
        DynamicBVHNodeProp& r = nodeRecords[i];
        r.box = nd.bbox;
        if (nd.isLeaf) {
            if (static_cast<uint32_t>(nd.triCount) > DynamicBVHNodeProp::kFieldMask) {
                std::printf("A BVH leaf of %d triangles cannot be encoded\n", nd.triCount);
                return false;
            }
            nd.splitAxis = 3;
            r.childCountAxis = static_cast<uint32_t>(nd.triCount) | (3u << 30);
            r.second = nd.triStart;
        } else {
            r.childCountAxis = static_cast<uint32_t>(nd.left) | (static_cast<uint32_t>(nd.splitAxis) << 30);
            r.second = nd.right;
        }
        r.parent = nd.parent;
        r.object = nd.object;
    }
    deviceNodes = device::uploadArray(nodeRecords.data(), nodeRecords.size());
    if (!deviceNodes) {
        std::printf("Cannot upload the BVH nodes (%zu records)\n", nodeRecords.size());
        return false;
    }
    deviceTriIndices.reset();
    if (!triIndices.empty()) {
        deviceTriIndices = device::uploadArray(triIndices.data(), triIndices.size());
        if (!deviceTriIndices) {
            std::printf("Cannot upload the BVH index list (%zu entries)\n", triIndices.size());
            return false;
        }
    }
    return true;
}

}  // namespace lumenar
