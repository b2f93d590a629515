// The start-up and shutdown sequence shared by the window program and the
// headless renderer: load the scene, build what the renderer needs on the
// device, and free it all again at the end.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "accel/bvh.h"
#include "accel/kdtree.h"
#include "app/settings.h"
#include "device/atomics.h"
#include "device/memory.h"
#include "render/lights.h"
#include "render/metro_handoff.h"
#include "render/metropolis.h"
#include "render/path_state.h"
#include "render/sobol_states.h"
#include "scene/scene.h"

namespace lumenar {

// The process's peak resident memory so far, in bytes.
double peakResidentBytes();

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
    // The path tracer can run as soon as it returns; the kd-tree and the
    // Metropolis chains are then still being made on a worker thread of
    // their own (metroHandoff() says when they are ready).
    bool start(const std::string& sceneFile);

    // Stops the worker (a kd-tree build in progress is given up), frees what
    // start() made, resets the device and prints "All done.". Returns the
    // process exit status.
    int shutdown();

    const Settings& settings() const { return settings_; }
    Scene& scene() { return scene_; }
    const Scene& scene() const { return scene_; }
    int imageWidth() const { return imageWidth_; }
    int imageHeight() const { return imageHeight_; }
    const aabb& sceneBox() const { return sceneBox_; }
    const aabb& tracingBox() const { return tracingBox_; }
    pixelData* pathStates() const { return pathStates_.get(); }
    SobolState* sobolStates() const { return sobolStates_.states(); }
    Material* materials() const { return materials_.get(); }
    Volume* volumes() const { return volumes_.get(); }
    device::Lock* deviceLock() const { return deviceLock_.get(); }
    // Runs on the worker before it builds anything; set before start()
    // (tests hold the worker with it).
    std::function<void()> beforeMetro;
    // The run is ending: the worker gives up what it has not finished.
    bool stopping() const { return cancelMetro_.load(); }
    // Where the renderer learns that the chains are ready (never waits).
    MetroHandoff& metroHandoff() { return metroHandoff_; }
    // Waits for the worker; true when the chains are ready.
    bool waitForMetro();
    // Both wait for the worker first.
    KdTree& kdTree();
    // The Metropolis chains (not ready when their set-up failed).
    MetroChains& metroChains();

    // Wall-clock seconds of the start-up's phases: until "Start tracing!"
    // (loading, the BVH, the path tracer's records and buffers), and on the
    // worker the kd-tree and the chains (those two read after waitForMetro()).
    struct Phases {
        double load = 0.0, bvh = 0.0, records = 0.0, start = 0.0, kdTree = 0.0, chains = 0.0;
        double metroReady = 0.0;  // from the start of start() to the chains' publication
    };
    const Phases& phases() const { return phases_; }
    double startSeconds() const { return phases_.start; }
    double mltSetupSeconds() const { return phases_.chains; }
    BVHTree& bvhTree() { return bvhTree_; }
    // The file each texture of the scene was read from, resolved against the
    // scene file's folder (empty for an image stored inside a model file),
    // and those that could not be read (Settings::missingTexturesAllowed).
    const std::vector<std::string>& textureFiles() const { return textureFiles_; }
    const std::vector<std::string>& missingTextures() const { return missingTextures_; }
    // The environment image's file, resolved like the textures (empty
    // without one).
    const std::string& environmentFile() const { return environmentFile_; }
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
    bool loadTextures(const std::string& sceneDir);
    bool loadEnvironment(const std::string& sceneDir);
    bool importModel(const std::string& path);
    bool uploadTextureMaps();
    bool startStages(const std::string& sceneFile);
    bool buildAccelerationStructures();
    bool buildKdTree();
    // The worker: the kd-tree, then the chains, then the publication.
    void prepareMetro();
    // Copies of what the path tracer may edit while the worker traces (the
    // materials, media, movable objects and light records as they start).
    bool snapshotForChains();
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
    device::Buffer<TriangleUVs> triangleUVs1_;
    device::Buffer<TriangleColors> triangleColors_;
    device::Buffer<TriangleTangents> triangleTangents_;
    device::Buffer<MaterialMaps> materialMaps_;
    device::Buffer<TextureView> textureViews_;
    SceneTextures sceneTextures_;
    std::vector<std::string> textureFiles_;
    std::vector<std::string> missingTextures_;
    std::string environmentFile_;
    LightSetBuffers lightSet_;
    SceneView view_;
    device::Buffer<pixelData> pathStates_;
    SobolStates sobolStates_;
    MetroChains metro_;
    MetroHandoff metroHandoff_;
    std::thread metroWorker_;
    std::atomic<bool> cancelMetro_{false};
    device::Buffer<Material> chainMaterials_;
    device::Buffer<Volume> chainVolumes_;
    device::Buffer<Movable> chainMovables_;
    device::Buffer<deviceLightTriangle> chainLights_;
    device::Buffer<deviceLight> chainSceneLights_;  // point, spot and sun lights
    SceneView chainView_;
    Phases phases_;
    std::chrono::steady_clock::time_point startedAt_;
    device::Buffer<int> mutexWord_;
    device::Buffer<device::Lock> deviceLock_;
    bool shutDown_ = false;
};

}  // namespace lumenar
