// The loaded scene: host records, the device arrays made from them, and the
// camera. One instance lives for the whole run; the scene loader fills it.
#pragma once

#include <string>
#include <vector>

#include "scene/camera.h"
#include "scene/device_texture.h"
#include "scene/environment_map.h"
#include "scene/records.h"
#include "scene/texture_maps.h"

namespace lumenar {

// Box the start-up hands to the loader before any vertex is read.
inline aabb initialSceneBox() {
    return aabb(Vector3d(99999.0f, 99999.0f, 99999.0f), Vector3d(-199998.0f, -199998.0f, -199998.0f));
}

// One object of the mesh block: its name and its run of triangles.
struct SceneObject {
    std::string name;
    int32_t firstTriangle = 0;
    int32_t triangleCount = 0;
    bool movable = false;
};

struct Scene {
    deviceTriangle* deviceTriangles = nullptr;
    std::vector<Triangle> hostTriangles;
    int32_t triangleCount = 0;
    aabb bounds;
    std::vector<Movable> movables;
    int32_t movableCount = 0;
    std::vector<Material> materials;
    int32_t materialCount = 0;
    int32_t volumeCount = 0;
    std::vector<Volume> volumes;
    bool inscatter = false;
    int32_t textureCount = 0;
    std::vector<std::string> texturePaths;
    bool envMapEnabled = false;
    std::string envMapPath;
    // Triangles flagged as lights by the mesh block (the light set takes
    // every triangle whose material emits).
    int32_t lightCount = 0;
    // Point, spot and sun lights (the lights block) and their names.
    std::vector<SceneLight> lights;
    std::vector<std::string> lightNames;
    Color bgcolor;
    Camera camera;

    // Device copy of the unit-triangle transforms, four float4 per triangle.
    float4* woopTriangles = nullptr;

    // One entry per path of texturePaths; the entry of an image that failed
    // to load stays empty (no device memory, width 0).
    std::vector<DeviceTexture> textures;

    // The environment image named by the envmap block, with its sampling
    // distribution; empty when the scene has none.
    EnvironmentMap environment;
    // Names of the materials as the file gives them (one per material).
    std::vector<std::string> materialNames;
    // The mesh block's objects, in file order.
    std::vector<SceneObject> objects;
    // Textures of each material and texture coordinates of each triangle;
    // both empty when no material uses a texture.
    std::vector<MaterialMaps> materialMaps;
    std::vector<TriangleUVs> triangleUVs;
    // The second coordinate set and the vertex colours, one per triangle;
    // empty where the scene has none.
    std::vector<TriangleUVs> triangleUVs1;
    std::vector<TriangleColors> triangleColors;
    // Tangents of every triangle where some material has a normal map.
    std::vector<TriangleTangents> triangleTangents;

    Scene() = default;
    Scene(const Scene&) = delete;
    Scene& operator=(const Scene&) = delete;
    ~Scene();

    // Frees the device arrays and host arrays; the scene is empty afterwards.
    void release();
};

// The material covering most of the largest (by area) object that is not
// movable, say the walls of a room: what the window's wall sliders edit at
// first. -1 when every object is movable or there is none.
int largestFixedObjectMaterial(const Scene& scene);

}  // namespace lumenar
