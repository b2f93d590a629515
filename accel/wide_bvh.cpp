// Collapsing the built binary hierarchy into the eight-wide layout.
#include <cfloat>
#include <cstdio>
#include <type_traits>

#include "accel/bvh.h"

namespace lumenar {

namespace {

float surfaceArea(const aabb& b) {
    const Vector3d d = b.max - b.min;
    return 2.0f * (d.x * d.y + d.x * d.z + d.y * d.z);
}

WideNode emptyWideNode() {
    WideNode w{};
    for (int k = 0; k < kWideWidth; ++k) {
        for (int a = 0; a < 3; ++a) {
            w.box[a][k] = FLT_MAX * 2.0f;  // +inf
            w.box[3 + a][k] = -FLT_MAX * 2.0f;
        }
        w.child[k] = -1;
        w.info[k] = 0;
    }
    return w;
}

}  // namespace

void BVHTree::makePacks(const DynamicBVHNodeProp& leaf, TriPack* out) const {
    const int count = leaf.triCount();
    for (int first = 0; first < count; first += kPackWidth) {
        TriPack p{};
        for (int k = 0; k < kPackWidth; ++k) {
            // Unused lanes repeat the leaf's last triangle.
            const int tri = triIndices[leaf.triStart() + std::min(first + k, count - 1)];
            const Triangle& t = scene->hostTriangles[tri];
            const Vector3d e1 = t.p2 - t.p1, e2 = t.p3 - t.p1;
            for (int a = 0; a < 3; ++a) {
                p.p1[a][k] = t.p1[a];
                p.e1[a][k] = e1[a];
                p.e2[a][k] = e2[a];
            }
            p.tri[k] = tri;
        }
        *out++ = p;
    }
}

// One wide node for the binary subtree at `binary`: its children are opened
// up, the largest box first, until eight slots are filled or only leaves and
// other objects' subtrees are left. An object's subtree never shares a node
// with static geometry, so each node has one coordinate system.
int BVHTree::collapse(int binary, int parent, int parentSlot) {
    const int index = static_cast<int>(wideNodes.size());
    wideNodes.push_back(emptyWideNode());
    const int object = nodeRecords[binary].object;
    wideLinks.push_back({object, parent, parentSlot, 0});
    if (object >= 0 && (parent < 0 || wideLinks[parent].object != object)) wideObjectRoots[object] = index;

    int slots[kWideWidth];
    int used = 0;
    const DynamicBVHNodeProp& root = nodeRecords[binary];
    if (root.isLeaf()) {
        slots[used++] = binary;
    } else {
        slots[used++] = root.first();
        slots[used++] = root.second;
    }
    while (used < kWideWidth) {
        int open = -1;
        float largest = -1.0f;
        for (int k = 0; k < used; ++k) {
            const DynamicBVHNodeProp& c = nodeRecords[slots[k]];
            if (c.isLeaf() || c.object != object) continue;
            const float area = surfaceArea(c.box);
            if (area > largest) {
                largest = area;
                open = k;
            }
        }
        if (open < 0) break;
        const DynamicBVHNodeProp& c = nodeRecords[slots[open]];
        for (int k = used; k > open + 1; --k) slots[k] = slots[k - 1];
        slots[open] = c.first();
        slots[open + 1] = c.second;
        ++used;
    }

    for (int k = 0; k < used; ++k) {
        const DynamicBVHNodeProp& c = nodeRecords[slots[k]];
        aabb box = c.box;
        if (c.object != object) {
            // Another object's subtree: its box moves with the object.
            const Vector3d off = (*movables_)[c.object].offset;
            box = aabb(box.min + off, box.max + off);
        }
        wideNodes[index].setSlotBox(k, box);
        if (c.isLeaf() && c.object == object) {
            const int packs = (c.triCount() + kPackWidth - 1) / kPackWidth;
            wideNodes[index].child[k] = ~static_cast<int32_t>(packCount_);
            wideNodes[index].info[k] = packs;
            packLeaves_.push_back(slots[k]);
            packCount_ += static_cast<std::size_t>(packs);
        } else {
            const int child = collapse(slots[k], index, k);
            wideNodes[index].child[k] = child;
            wideNodes[index].info[k] = c.object;
        }
    }
    return index;
}

bool BVHTree::buildWide() {
    wideNodes.clear();
    wideLinks.clear();
    widePacks.clear();
    wideObjectRoots.assign(static_cast<std::size_t>(objectCount_), -1);
    // Room for the most nodes there can be, so that the lists are not
    // copied as they grow: every wide node but a lone leaf opens at least
    // one inner binary node. Reserved room is not touched until used.
    const std::size_t innerBound = nodeRecords.size() / 2 + 1;
    wideNodes.reserve(innerBound);
    wideLinks.reserve(innerBound);
    packLeaves_.clear();
    packCount_ = 0;
    collapse(0, -1, 0);
    rootObject_ = wideLinks.empty() ? -1 : wideLinks[0].object;

    const std::size_t nodeCount = wideNodes.size(), packCount = packCount_;
    // Each list goes up and, unless the host copies are kept, away at once.
    // (The object roots, one per object, stay: the views count them.)
    auto up = [&](auto& list, auto& buffer, bool keep) {
        if (list.empty()) return true;
        buffer = device::uploadArray(list.data(), list.size());
        if (!keep) std::remove_reference_t<decltype(list)>().swap(list);
        return static_cast<bool>(buffer);
    };
    deviceWidePacks.reset();
    deviceWideObjectRoots.reset();
    bool ok = up(wideNodes, deviceWideNodes, keepHostCopies) &&
              up(wideLinks, deviceWideLinks, keepHostCopies) &&
              up(wideObjectRoots, deviceWideObjectRoots, true);
    ok = ok && deviceWideNodes && deviceWideLinks;
    // The packs, the largest part, in leaf order: all on the host to keep
    // them, or through a small list in stretches.
    if (ok && packCount > 0) {
        if (keepHostCopies) {
            widePacks.resize(packCount);
            TriPack* out = widePacks.data();
            for (int leaf : packLeaves_) {
                makePacks(nodeRecords[leaf], out);
                out += (nodeRecords[leaf].triCount() + kPackWidth - 1) / kPackWidth;
            }
            deviceWidePacks = device::uploadArray(widePacks.data(), widePacks.size());
            ok = static_cast<bool>(deviceWidePacks);
        } else {
            deviceWidePacks = device::Buffer<TriPack>(packCount);
            ok = static_cast<bool>(deviceWidePacks);
            constexpr std::size_t kStretch = 1 << 14;
            std::vector<TriPack> stage;
            std::size_t done = 0;
            for (std::size_t i = 0; ok && i < packLeaves_.size();) {
                stage.clear();
                for (; i < packLeaves_.size() && stage.size() < kStretch; ++i) {
                    const DynamicBVHNodeProp& leaf = nodeRecords[packLeaves_[i]];
                    const std::size_t first = stage.size();
                    stage.resize(first +
                                 static_cast<std::size_t>((leaf.triCount() + kPackWidth - 1) / kPackWidth));
                    makePacks(leaf, stage.data() + first);
                }
                ok = device::copyToDevice(deviceWidePacks.get() + done, stage.data(),
                                          stage.size() * sizeof(TriPack));
                done += stage.size();
            }
        }
    }
    std::vector<int>().swap(packLeaves_);
    if (!ok)
        std::printf("Cannot upload the wide BVH (%zu nodes, %zu triangle packs)\n", nodeCount, packCount);
    return ok;
}

WideBVHView BVHTree::wideView() const {
    WideBVHView v;
    v.nodes = deviceWideNodes.get();
    v.links = deviceWideLinks.get();
    v.rootObject = rootObject_;
    v.packs = deviceWidePacks.get();
    v.objectRoots = deviceWideObjectRoots.get();
    v.objectCount = static_cast<int32_t>(wideObjectRoots.size());
    return v;
}

void BVHTree::releaseHostCopies() {
    std::vector<DynamicBVHNodeProp>().swap(nodeRecords);
    std::vector<int>().swap(triIndices);
    std::vector<WideNode>().swap(wideNodes);
    std::vector<WideLink>().swap(wideLinks);
    std::vector<TriPack>().swap(widePacks);
}

WideBVHView BVHTree::hostWideView() {
    WideBVHView v;
    v.nodes = wideNodes.data();
    v.links = wideLinks.data();
    v.rootObject = wideLinks.empty() ? -1 : wideLinks[0].object;
    v.packs = widePacks.data();
    v.objectRoots = wideObjectRoots.data();
    v.objectCount = static_cast<int32_t>(wideObjectRoots.size());
    return v;
}

}  // namespace lumenar
