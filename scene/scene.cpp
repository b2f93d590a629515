#include "scene/scene.h"

#include <map>

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
    objects.clear();
    materialMaps.clear();
    triangleUVs.clear();
    triangleUVs1.clear();
    triangleColors.clear();
    triangleTangents.clear();
    triangleCount = movableCount = materialCount = volumeCount = textureCount = lightCount = 0;
}

int largestFixedObjectMaterial(const Scene& scene) {
    double largest = -1.0;
    int material = -1;
    const int32_t triangles = static_cast<int32_t>(scene.hostTriangles.size());
    for (const SceneObject& o : scene.objects) {
        if (o.movable || o.triangleCount <= 0 || o.firstTriangle < 0 ||
            o.firstTriangle > triangles - o.triangleCount)
            continue;
        std::map<int, double> byMaterial;
        double area = 0.0;
        for (int32_t i = o.firstTriangle; i < o.firstTriangle + o.triangleCount; ++i) {
            const Triangle& t = scene.hostTriangles[static_cast<std::size_t>(i)];
            byMaterial[t.materialIndex] += t.area;
            area += t.area;
        }
        if (!(area > largest)) continue;  // the first of equals stays
        largest = area;
        double most = -1.0;
        for (const auto& [m, a] : byMaterial)
            if (a > most) most = a, material = m;
    }
    return material >= 0 && material < static_cast<int>(scene.materials.size()) ? material : -1;
}

}  // namespace lumenar
