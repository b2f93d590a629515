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

    // A parent's box is the union of its children's in the parent's
    // coordinates: a child that is the root of a movable object (this one or
    // another) holds its box in that object's load-time coordinates, so it
    // counts where the object stands now.
    const auto placedBox = [&](int child, int parentObject) {
        const DynamicBVHNodeProp& c = nodes[child];
        if (c.object < 0 || c.object == parentObject) return c.box;
        const Vector3d o = movables[c.object].offset;
        return aabb(c.box.min + o, c.box.max + o);
    };
    for (int p = nodes[m.bvhNode].parent; p >= 0; p = nodes[p].parent) {
        DynamicBVHNodeProp& n = nodes[p];
        bool refit = false;
        for (int a = 0; a < 3 && !refit; ++a)  // NaN counts as outside
            refit = !(newBox.min[a] >= n.box.min[a]) || !(newBox.max[a] <= n.box.max[a]);
        for (int a = 0; a < 3 && !refit; ++a)
            refit = delta[a] != 0.0f && (n.box.min[a] == oldBox.min[a] || n.box.max[a] == oldBox.max[a]);
        if (!refit) break;
        const aabb c0 = placedBox(n.first(), n.object);
        const aabb c1 = placedBox(n.second, n.object);
        n.box = aabb(vmin(c0.min, c1.min), vmax(c0.max, c1.max));
    }
}

// The same, and the wide layout's boxes on the path from the object up to
// the root.
LUMENAR_HD inline void updateBVH(int object, Vector3d offset, Movable* movables, DynamicBVHNodeProp* nodes,
                                 const WideBVHView& wideBvh) {
    updateBVH(object, offset, movables, nodes);
    wide::refit(wideBvh, object, movables);
}

// The light records of movable object `object` follow it: each emissive
// triangle of the object is sampled where it stands now, its load-time
// corners (the scene's triangles keep them) plus the object's offset.
// Without this, next-event estimation aimed at the lamp's old place while
// rays found it at the new one. Translation changes neither the face normal
// nor the area, so the light choice stands.
LUMENAR_HD inline void moveLight(const Movable& m, const deviceTriangle* tris, deviceLightTriangle& l) {
    const int t = l.triangleIndex;
    if (t < m.firstTriangle || t - m.firstTriangle >= m.triangleCount) return;
    l.p1 = tris[t].p1 + m.offset;
    l.p2 = tris[t].p2 + m.offset;
    l.p3 = tris[t].p3 + m.offset;
}

// Launches updateBVH as a single device thread; false after a message when
// the launch failed.
bool launchUpdateBVH(int object, Vector3d offset, Movable* movables, DynamicBVHNodeProp* nodes);
bool launchUpdateBVH(int object, Vector3d offset, Movable* movables, DynamicBVHNodeProp* nodes,
                     const WideBVHView& wideBvh);
// moveLight for every light record, after the object's offset was stored.
bool launchMoveLights(int object, const Movable* movables, const deviceTriangle* tris,
                      deviceLightTriangle* lights, int lightCount);

}  // namespace lumenar
