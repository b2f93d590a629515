// Moving a movable object: its new offset is stored and the boxes of its
// subtree root's ancestors are refitted, walking up until an ancestor is
// unaffected. Runs as one device thread between frames.
#pragma once

#include "accel/device_layout.h"
#include "accel/wide_bvh.h"
#include "scene/records.h"

namespace lumenar {

// The refit walk itself (one thread). `offset` is the object's new total
// translation.
LUMENAR_HD inline void updateBVH(int object, Vector3d offset, Movable* movables, DynamicBVHNodeProp* nodes) {
    Movable& m = movables[object];
    const Vector3d oldOffset = m.offset;
    const aabb oldBox(m.bounds.min + oldOffset, m.bounds.max + oldOffset);
    const aabb newBox(m.bounds.min + offset, m.bounds.max + offset);
    const Vector3d delta = offset - oldOffset;
    m.offset = offset;

    const int s = m.bvhNode;
    const aabb stored = nodes[s].box;
    nodes[s].box = aabb(stored.min + offset, stored.max + offset);

    for (int p = nodes[s].parent; p >= 0; p = nodes[p].parent) {
        DynamicBVHNodeProp& n = nodes[p];
        bool refit = false;
        for (int a = 0; a < 3 && !refit; ++a)  // NaN counts as outside
            refit = !(newBox.min[a] >= n.box.min[a]) || !(newBox.max[a] <= n.box.max[a]);
        for (int a = 0; a < 3 && !refit; ++a)
            refit = delta[a] != 0.0f && (n.box.min[a] == oldBox.min[a] || n.box.max[a] == oldBox.max[a]);
        if (!refit) break;
        const aabb& c0 = nodes[n.first()].box;
        const aabb& c1 = nodes[n.second].box;
        n.box = aabb(vmin(c0.min, c1.min), vmax(c0.max, c1.max));
    }
    nodes[s].box = stored;
}

// The same, and the wide layout's boxes on the path from the object up to
// the root.
LUMENAR_HD inline void updateBVH(int object, Vector3d offset, Movable* movables, DynamicBVHNodeProp* nodes,
                                 const WideBVHView& wideBvh) {
    updateBVH(object, offset, movables, nodes);
    wide::refit(wideBvh, object, movables);
}

// Launches updateBVH as a single device thread; false after a message when
// the launch failed.
bool launchUpdateBVH(int object, Vector3d offset, Movable* movables, DynamicBVHNodeProp* nodes);
bool launchUpdateBVH(int object, Vector3d offset, Movable* movables, DynamicBVHNodeProp* nodes,
                     const WideBVHView& wideBvh);

}  // namespace lumenar
