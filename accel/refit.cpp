#define LUMENAR_NEEDS_NVCC 1
#include "accel/refit.h"

#include "device/launch.h"
#include "device/memory.h"

namespace lumenar {

bool launchUpdateBVH(int object, Vector3d offset, Movable* movables, DynamicBVHNodeProp* nodes) {
    device::launchSingle(LUMENAR_LAMBDA(int) { updateBVH(object, offset, movables, nodes); });
    return device::checkLaunch();
}

bool launchUpdateBVH(int object, Vector3d offset, Movable* movables, DynamicBVHNodeProp* nodes,
                     const WideBVHView& wideBvh) {
    const WideBVHView w = wideBvh;
    device::launchSingle(LUMENAR_LAMBDA(int) { updateBVH(object, offset, movables, nodes, w); });
    return device::checkLaunch();
}

bool launchMoveLights(int object, const Movable* movables, const deviceTriangle* tris,
                      deviceLightTriangle* lights, int lightCount) {
    if (lightCount <= 0 || !lights) return true;
    device::launchPixelGrid(
        lightCount, 1, LUMENAR_LAMBDA(int i, int) { moveLight(movables[object], tris, lights[i]); });
    return device::checkLaunch();
}

}  // namespace lumenar
