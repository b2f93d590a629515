#include "scene/scene_assembly.h"

#include <algorithm>
#include <cstdio>

#include "device/memory.h"
#include "scene/triangle_setup.h"

namespace lumenar {

namespace {

// Records made from the triangles a block at a time and copied into one
// device array, so that the host never holds a second copy of the whole
// array.
constexpr std::size_t kStagingRecords = 1 << 14;

template <class T, class Make>
device::Buffer<T> uploadMade(std::size_t count, Make make) {
    if (count == 0) return {};
    device::Buffer<T> out(count);
    if (!out) return {};
    std::vector<T> staging(std::min(count, kStagingRecords));
    for (std::size_t first = 0; first < count; first += staging.size()) {
        const std::size_t n = std::min(staging.size(), count - first);
        for (std::size_t k = 0; k < n; ++k) make(first + k, staging[k]);
        if (!device::copyToDevice(out.get() + first, staging.data(), n * sizeof(T))) return {};
    }
    return out;
}

struct WoopBlock {
    float4 rows[4];
};
static_assert(sizeof(WoopBlock) == 4 * sizeof(float4), "four float4 per triangle");

}  // namespace

bool commitScene(SceneAssembly& a, Scene& scene, aabb& bounds, float4** woopTriangles,
                 const std::string& name) {
    const std::vector<Triangle>& tris = a.triangles;
    const std::size_t triCount = tris.size();
    const std::size_t lightCount = a.lightIndices.size();

    device::Buffer<WoopBlock> dWoop =
        uploadMade<WoopBlock>(triCount, [&](std::size_t i, WoopBlock& w) { packWoop(tris[i], w.rows); });
    device::Buffer<deviceTriangle> dTris = uploadMade<deviceTriangle>(
        triCount, [&](std::size_t i, deviceTriangle& d) { d = makeDeviceTriangle(tris[i]); });
    std::vector<deviceLightTriangle> devLights(lightCount);
    for (std::size_t i = 0; i < lightCount; ++i) {
        const Triangle& t = tris[static_cast<std::size_t>(a.lightIndices[i])];
        deviceLightTriangle& l = devLights[i];
        l.p1 = t.p1;
        l.p2 = t.p2;
        l.p3 = t.p3;
        // Light sampling divides by the cosine at the light: the unit face
        // normal, never a (smooth-shaded) vertex normal.
        l.normal = emitterFaceNormal(t.p1, t.p2, t.p3, t.normal1, t.normal2, t.normal3);
        l.invArea = 1.0f / t.area;
        l.triangleIndex = a.lightIndices[i];
        l.emission = a.materials[static_cast<std::size_t>(t.materialIndex)].emission;
    }
    prepareLightChoice(devLights);
    device::Buffer<deviceLightTriangle> dLights = device::uploadArray(devLights.data(), devLights.size());
    device::Buffer<int32_t> dLightIdx = device::uploadArray(a.lightIndices.data(), a.lightIndices.size());
    if ((triCount && (!dTris || !dWoop)) || (lightCount && (!dLights || !dLightIdx))) {
        std::printf("%s: cannot place %zu triangles and %zu lights in device memory\n", name.c_str(),
                    triCount, lightCount);
        return false;
    }

    if (a.sceneBoxFlag && !a.volumes.empty()) a.volumes.front().bounds = a.bounds;

    // Commit: everything below only moves what was built.
    scene.release();
    if (a.haveCamera) scene.camera = a.camera;
    if (a.haveBgcolor) scene.bgcolor = a.bgcolor;
    if (a.haveMaterials) {
        scene.materials = std::move(a.materials);
        scene.materialCount = static_cast<int32_t>(scene.materials.size());
        scene.materialNames = std::move(a.materialNames);
    }
    scene.materialMaps = std::move(a.materialMaps);
    if (!scene.materialMaps.empty() && a.anyTriangleUVs)
        scene.triangleUVs = std::move(a.triangleUVs);
    else
        scene.materialMaps.clear();
    if (a.haveTextures) {
        scene.texturePaths = std::move(a.texturePaths);
        scene.textureCount = static_cast<int32_t>(scene.texturePaths.size());
    }
    if (a.haveEnvMap) {
        scene.envMapEnabled = a.envMapEnabled;
        if (a.envMapEnabled) scene.envMapPath = a.envMapPath;
    }
    if (!a.volumes.empty()) {
        scene.volumes.push_back(a.volumes.front());
        a.volumes.front().densityData = nullptr;  // now owned by the scene
        scene.volumeCount = 1;
        scene.inscatter = a.inscatter;
    }
    scene.hostTriangles = std::move(a.triangles);
    scene.triangleCount = static_cast<int32_t>(triCount);
    scene.lightCount = static_cast<int32_t>(lightCount);
    scene.movables = std::move(a.movables);
    scene.movableCount = static_cast<int32_t>(scene.movables.size());
    scene.deviceTriangles = dTris.release();
    scene.deviceLightTriangles = dLights.release();
    scene.deviceLightIndices = dLightIdx.release();
    scene.woopTriangles = reinterpret_cast<float4*>(dWoop.release());
    scene.bounds = a.bounds;
    bounds = a.bounds;
    if (woopTriangles) *woopTriangles = scene.woopTriangles;
    return true;
}

}  // namespace lumenar
