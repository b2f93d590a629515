#include "scene/scene.h"

#include "device/memory.h"

namespace lumenar {

Scene::~Scene() {
    release();
}

void Scene::release() {
    device::freeBytes(deviceTriangles, device::MemoryKind::Device);
    device::freeBytes(woopTriangles, device::MemoryKind::Device);
    deviceTriangles = nullptr;
    woopTriangles = nullptr;
    for (Volume& v : volumes) {
        delete[] v.densityData;
        v.densityData = nullptr;
    }
    textures.clear();
    environment.reset();
    hostTriangles.clear();
    movables.clear();
    materials.clear();
    volumes.clear();
    texturePaths.clear();
    materialNames.clear();
    lights.clear();
    lightNames.clear();
    materialMaps.clear();
    triangleUVs.clear();
    triangleCount = movableCount = materialCount = volumeCount = textureCount = lightCount = 0;
}

}  // namespace lumenar
