// What loading a scene collects before it becomes the Scene: the host
// records in their final form. The scene-file parser and the model importer
// both fill one, and commitScene turns it into the Scene (device arrays
// included) in one step, so a scene file and a model that describe the same
// scene give the same records.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "scene/scene.h"

namespace lumenar {

struct SceneAssembly {
    bool haveCamera = false;
    Camera camera;
    bool haveBgcolor = false;
    Color bgcolor;
    std::vector<Volume> volumes;  // owns the density arrays until committed
    bool inscatter = false;
    bool sceneBoxFlag = false;  // the first volume's box becomes the scene box
    bool haveTextures = false;
    std::vector<std::string> texturePaths;
    bool haveEnvMap = false;
    bool envMapEnabled = false;
    std::string envMapPath;
    bool haveMaterials = false;
    std::vector<Material> materials;
    std::vector<std::string> materialNames;
    // One entry per material, or empty when no material is textured.
    std::vector<MaterialMaps> materialMaps;

    std::vector<Triangle> triangles;       // complete (finishTriangle, scene/triangle_setup.h)
    std::vector<TriangleUVs> triangleUVs;  // one per triangle
    bool anyTriangleUVs = false;
    std::vector<int32_t> lightIndices;  // emissive triangles, in triangle order
    std::vector<Movable> movables;
    aabb bounds;  // the scene box: grown by every vertex read

    SceneAssembly() = default;
    SceneAssembly(const SceneAssembly&) = delete;
    SceneAssembly& operator=(const SceneAssembly&) = delete;
    SceneAssembly(SceneAssembly&&) = default;
    SceneAssembly& operator=(SceneAssembly&&) = default;
    ~SceneAssembly() {
        for (Volume& v : volumes) delete[] v.densityData;
    }
};

// Builds the device arrays (triangles, lights, unit-triangle transforms) and
// moves everything into `scene`, replacing what it held; `bounds` and
// `*woopTriangles` (when not null) receive the scene box and the device
// transforms. On failure prints a message naming `name` and leaves `scene`
// and `bounds` untouched.
bool commitScene(SceneAssembly& assembly, Scene& scene, aabb& bounds, float4** woopTriangles,
                 const std::string& name);

}  // namespace lumenar
