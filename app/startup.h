// The start-up and shutdown sequence shared by the window program and the
// headless renderer: load the scene, build what the renderer needs on the
// device, and free it all again at the end.
#pragma once

#include <string>

#include "accel/bvh.h"
#include "accel/kdtree.h"
#include "app/settings.h"
#include "device/atomics.h"
#include "device/memory.h"
#include "render/lights.h"
#include "render/metropolis.h"
#include "render/path_state.h"
#include "render/sobol_states.h"
#include "scene/scene.h"

namespace lumenar {

// The box the Metropolis kernels clip against: 5 % of the extent added on
// every side (the maximum is formed from the new minimum).
aabb enlargedBox(const aabb& box);

// The window program's arguments: an optional kd-tree build mode (a number),
// then an optional scene (a folder holding "input", a scene file or a model
// file) and the model options --movable NAME, --width N, --height N. Enters
// the scene's folder, so paths in the scene resolve as for "input" in the
// working directory. Returns false after printing a message on a bad
// argument.
bool windowArguments(int argc, const char* const* argv, Settings& settings, std::string& sceneFile);

class Application {
 public:
    explicit Application(const Settings& settings) : settings_(settings) {}
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;
    ~Application();

    // Runs the start-up stages in order, printing the progress lines. Returns
    // false (after a message naming the problem) when the run cannot go on.
    bool start(const std::string& sceneFile);

    // Frees what start() made, resets the device and prints "All done.".
    // Returns the process exit status.
    int shutdown();

    const Settings& settings() const { return settings_; }
    Scene& scene() { return scene_; }
    int imageWidth() const { return imageWidth_; }
    int imageHeight() const { return imageHeight_; }
    const aabb& sceneBox() const { return sceneBox_; }
    const aabb& tracingBox() const { return tracingBox_; }
    pixelData* pathStates() const { return pathStates_.get(); }
    SobolState* sobolStates() const { return sobolStates_.states(); }
    Material* materials() const { return materials_.get(); }
    Volume* volumes() const { return volumes_.get(); }
    device::Lock* deviceLock() const { return deviceLock_.get(); }
    KdTree& kdTree() { return kdTree_; }
    // The Metropolis chains (not ready when their set-up failed).
    MetroChains& metroChains() { return metro_; }
    // Wall-clock seconds of the whole start-up and of the chain set-up in it.
    double startSeconds() const { return startSeconds_; }
    double mltSetupSeconds() const { return mltSetupSeconds_; }
    BVHTree& bvhTree() { return bvhTree_; }
    // The light set's records (the emissive triangles; the environment), kept
    // in step with the materials and the movable objects by the renderer.
    LightSetBuffers& lightSet() { return lightSet_; }
    // What textured shading reads (all empty when no material is textured).
    const SceneTextures& sceneTextures() const { return sceneTextures_; }
    // The scene as every tracer reads it, built once at start-up; the
    // kd-tree points into it and both modes' scenes are made from it.
    const SceneView& sceneView() const { return view_; }

 private:
    bool loadScene(const std::string& sceneFile);
    void loadTextures(const std::string& sceneDir);
    bool loadEnvironment(const std::string& sceneDir);
    bool importModel(const std::string& path);
    bool uploadTextureMaps();
    bool startStages(const std::string& sceneFile);
    bool buildAccelerationStructures();
    bool buildKdTree();
    bool buildLightSet();
    void buildSceneView();
    bool copyEditableRecords();
    bool allocateFrameBuffers();
    bool createDeviceLock();
    void releaseResources();

    Settings settings_;
    Scene scene_;
    BVHTree bvhTree_;
    KdTree kdTree_;
    aabb sceneBox_ = initialSceneBox();
    aabb tracingBox_;
    int imageWidth_ = 0;
    int imageHeight_ = 0;
    device::Buffer<Material> materials_;
    device::Buffer<Volume> volumes_;
    device::Buffer<TriangleUVs> triangleUVs_;
    device::Buffer<MaterialMaps> materialMaps_;
    device::Buffer<TextureView> textureViews_;
    SceneTextures sceneTextures_;
    LightSetBuffers lightSet_;
    SceneView view_;
    device::Buffer<pixelData> pathStates_;
    SobolStates sobolStates_;
    MetroChains metro_;
    double startSeconds_ = 0.0;
    double mltSetupSeconds_ = 0.0;
    device::Buffer<int> mutexWord_;
    device::Buffer<device::Lock> deviceLock_;
    bool shutDown_ = false;
};

}  // namespace lumenar
