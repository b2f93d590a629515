// What the window's controls, keys and mouse do to the renderer's inputs:
// the camera, the editable material and volume records, the mode flags and
// the movable mesh. Free of any window toolkit, so it can be exercised
// without a display; the window only forwards its events here.
//
// The camera is the display side's own and moves at once; everything the
// kernels read (materials, volumes, flags, the mesh) is changed through
// commands that run where the renderer runs, between frames.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/render_worker.h"
#include "app/settings.h"
#include "render/renderer.h"
#include "scene/camera.h"
#include "scene/records.h"
#include "scene/scene.h"

namespace lumenar {

class Controls {
 public:
    // Mouse buttons as bits (the window toolkit's values).
    static constexpr int kLeftButton = 0x1;
    static constexpr int kRightButton = 0x2;
    static constexpr int kMiddleButton = 0x4;

    // Slider positions at start; they are shown, not applied, so the scene
    // file's values hold until a slider moves.
    static constexpr int kRoughnessStart = 0;
    static constexpr int kMetalnessStart = 0;
    static constexpr int kTransparencyStart = 0;
    static constexpr int kIorStart = 25;
    static constexpr int kTranslucencyStart = 50;
    static constexpr int kWallRoughnessStart = 20;
    static constexpr int kWallMetalnessStart = 0;
    static constexpr int kFogGravityStart = 20;
    static constexpr int kEnvironmentRotationStart = 0;

    // The material the "Bunny config" sliders edit at first.
    static constexpr int kBunnyMaterial = 0;
    // Every key and mouse step, in scene units (or radians per pixel).
    static constexpr float kMoveStep = 0.05f;
    static constexpr double kMouseStep = 0.01;

    // materials and volumes are the arrays the kernels read; a record the
    // scene does not have is never touched. Changes go to commands (the
    // render thread).
    Controls(Camera& camera, Material* materials, int materialCount, Volume* volumes, int volumeCount,
             RenderCommands& commands, const Settings& settings);
    // The same, applying every change to renderer at once.
    Controls(Camera& camera, Material* materials, int materialCount, Volume* volumes, int volumeCount,
             Renderer& renderer, const Settings& settings);

    // The material the roughness, metalness, transparency and IOR sliders
    // edit (material 0 at start), chosen by its position in the list of
    // material names; an index the scene does not have is ignored.
    void setMaterialNames(std::vector<std::string> names) { materialNames_ = std::move(names); }
    const std::vector<std::string>& materialNames() const { return materialNames_; }
    void selectMaterial(int index) {
        if (index >= 0 && index < materialCount_) selected_ = index;
    }
    int selectedMaterial() const { return selected_; }
    // The material the wall sliders edit: none (-1) until chosen, an index
    // the scene does not have is ignored.
    void selectWallMaterial(int index) {
        if (index >= 0 && index < materialCount_) wall_ = index;
    }
    int wallMaterial() const { return wall_; }
    // Takes the scene's material names and makes the wall sliders edit the
    // material of its largest object that is not movable (the room around
    // what moves).
    void useScene(const Scene& scene);

    // Sliders, v in 0..100.
    void setRoughness(int v);
    void setMetalness(int v);
    void setTransparency(int v);
    void setIor(int v);
    void setTranslucency(int v);
    void setWallRoughness(int v);
    void setWallMetalness(int v);
    void setFogGravity(int v);
    // 0 to 100: a whole turn of the environment image about +y.
    void setEnvironmentRotation(int v);
    // The sun the sun sliders aim: the first sun of the scene's lights
    // block (useScene), -1 when it has none (and no sun sliders are shown).
    int sunLight() const { return sun_; }
    // Elevation above the horizon, 0 to 90 degrees, and azimuth, 0 to 360
    // degrees from -z towards +x (as lumenar-make-sky has them), as slider
    // positions 0 to 100; the start positions show the scene's sun.
    void setSunElevation(int v);
    void setSunAzimuth(int v);
    int sunElevationStart() const;
    int sunAzimuthStart() const;

    // Check boxes. Switching Metropolis on in a run without chains (their
    // set-up failed) changes nothing and returns false; while they are still
    // being made it is switched on and starts when they are ready
    // (metroPreparing() says so meanwhile).
    bool setMlt(bool on);
    bool metroPreparing() const { return commands_.metroPreparing(); }
    void setFog(bool on);
    void setSubsurface(bool on);
    void setShowFps(bool on) { showFps_ = on; }
    void setDenoise(bool on) { commands_.setDenoise(on); }
    // Adaptive sampling and the overlay of the pixels that no longer take
    // samples (path tracing; neither restarts the average).
    void setAdaptive(bool on) {
        adaptive_ = on;
        commands_.setSampling(adaptive_, samplingOverlay_);
    }
    void setSamplingOverlay(bool on) {
        samplingOverlay_ = on;
        commands_.setSampling(adaptive_, samplingOverlay_);
    }

    // A key (upper-case letter code); returns false for keys that do nothing.
    bool keyPress(int key);
    // Mouse in view pixels, y downwards; buttons is a set of the bits above.
    void mousePress(int x, int y);
    void mouseMove(int x, int y, int buttons);

    bool showFps() const { return showFps_; }
    const Vector3d& movableOffset() const { return movableOffset_; }
    // Whether the movable-mesh keys act in this run.
    bool meshKeysActive() const { return settings_.extendedMode != 0 && settings_.useDynamicBVH != 0; }

 private:
    Material* material(int index) const;
    void moveMesh(int axis, float amount);
    // Queues a change of one field of material index (if the scene has it).
    void setMaterialField(int index, float Material::*field, float value);
    // Aims the sun at sunElevation_, sunAzimuth_.
    void aimSun();

    Camera& camera_;
    Material* materials_;
    int materialCount_;
    Volume* volumes_;
    int volumeCount_;
    std::unique_ptr<DirectCommands> direct_;  // when changes apply at once
    RenderCommands& commands_;
    Settings settings_;
    bool showFps_;
    bool adaptive_ = false, samplingOverlay_ = false;
    Vector3d movableOffset_;
    int lastMouseX_ = 0;
    int lastMouseY_ = 0;
    // "enable ss" keeps material 0's transparency while it is switched on.
    // Read and written only by the commands, where the renderer runs.
    float savedTransparency_ = 0.0f;
    bool subsurfaceOn_ = false;
    std::vector<std::string> materialNames_;
    int selected_ = kBunnyMaterial;
    int wall_ = -1;
    int sun_ = -1;
    double sunElevation_ = 0.0, sunAzimuth_ = 0.0;  // degrees
};

}  // namespace lumenar
