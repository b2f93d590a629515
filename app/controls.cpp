#include "app/controls.h"

#include <cmath>

namespace lumenar {

namespace {
constexpr double kDegree = 3.14159265358979323846 / 180.0;
constexpr double kElevationPerStep = 0.9;  // 0 to 90 degrees over the slider
constexpr double kAzimuthPerStep = 3.6;    // a whole turn over the slider
}  // namespace

Controls::Controls(Camera& camera, Material* materials, int materialCount, Volume* volumes, int volumeCount,
                   RenderCommands& commands, const Settings& settings)
    : camera_(camera),
      materials_(materials),
      materialCount_(materials ? materialCount : 0),
      volumes_(volumes),
      volumeCount_(volumes ? volumeCount : 0),
      commands_(commands),
      settings_(settings),
      showFps_(settings.showFps != 0) {}

Controls::Controls(Camera& camera, Material* materials, int materialCount, Volume* volumes, int volumeCount,
                   Renderer& renderer, const Settings& settings)
    : camera_(camera),
      materials_(materials),
      materialCount_(materials ? materialCount : 0),
      volumes_(volumes),
      volumeCount_(volumes ? volumeCount : 0),
      direct_(std::make_unique<DirectCommands>(renderer)),
      commands_(*direct_),
      settings_(settings),
      showFps_(settings.showFps != 0) {}

Material* Controls::material(int index) const {
    return index >= 0 && index < materialCount_ ? &materials_[index] : nullptr;
}

void Controls::useScene(const Scene& scene) {
    materialNames_ = scene.materialNames;
    wall_ = -1;
    selectWallMaterial(largestFixedObjectMaterial(scene));
    sun_ = -1;
    for (std::size_t i = 0; i < scene.lights.size(); ++i) {
        if (scene.lights[i].kind != kSunLight) continue;
        sun_ = static_cast<int>(i);
        // Towards the sun, against the way its light travels.
        const Vector3d& d = scene.lights[i].direction;
        const double x = -d.x, y = -d.y, z = -d.z;
        sunElevation_ = std::atan2(y, std::sqrt(x * x + z * z)) / kDegree;
        sunAzimuth_ = std::atan2(x, -z) / kDegree;
        if (sunAzimuth_ < 0.0) sunAzimuth_ += 360.0;
        break;
    }
}

int Controls::sunElevationStart() const {
    const long v = std::lround(sunElevation_ / kElevationPerStep);
    return static_cast<int>(v < 0 ? 0 : (v > 100 ? 100 : v));
}

int Controls::sunAzimuthStart() const {
    const long v = std::lround(sunAzimuth_ / kAzimuthPerStep);
    return static_cast<int>(v > 100 ? v - 100 : v);
}

void Controls::setSunElevation(int v) {
    sunElevation_ = v * kElevationPerStep;
    aimSun();
}

void Controls::setSunAzimuth(int v) {
    sunAzimuth_ = v * kAzimuthPerStep;
    aimSun();
}

void Controls::aimSun() {
    const int light = sun_;
    const double e = sunElevation_ * kDegree, a = sunAzimuth_ * kDegree;
    // The way its light travels: from the sun, so against the way to it.
    const Vector3d travel(static_cast<float>(-std::cos(e) * std::sin(a)), static_cast<float>(-std::sin(e)),
                          static_cast<float>(std::cos(e) * std::cos(a)));
    commands_.post([light, travel](Renderer& r) { r.setLightDirection(light, travel); });
}

void Controls::setMaterialField(int index, float Material::*field, float value) {
    Material* m = material(index);
    commands_.post([m, field, value](Renderer&) {
        if (m) m->*field = value;
    });
}

void Controls::setRoughness(int v) {
    setMaterialField(selected_, &Material::roughness, static_cast<float>(v) / 100.0f);
}

void Controls::setMetalness(int v) {
    setMaterialField(selected_, &Material::metalness, static_cast<float>(v) / 100.0f);
}

void Controls::setTransparency(int v) {
    setMaterialField(selected_, &Material::transparency, static_cast<float>(v) / 100.0f);
}

void Controls::setIor(int v) {
    // 1 to 3; the sum is formed in double precision.
    setMaterialField(selected_, &Material::IOR,
                     static_cast<float>(static_cast<double>(static_cast<float>(v) / 50.0f) + 1.0));
}

void Controls::setTranslucency(int v) {
    // 20 down to 0; the difference is formed in double precision.
    setMaterialField(kBunnyMaterial, &Material::rsc,
                     static_cast<float>(20.0 - static_cast<double>(static_cast<float>(v) / 5.0f)));
}

void Controls::setWallRoughness(int v) {
    // Never exactly 0: 0.001 to 1.
    setMaterialField(wall_, &Material::roughness, static_cast<float>(v * 0.999 / 100 + 0.001));
}

void Controls::setWallMetalness(int v) {
    setMaterialField(wall_, &Material::metalness, static_cast<float>(v) / 100.0f);
}

void Controls::setFogGravity(int v) {
    Volume* volume = volumeCount_ > 0 ? &volumes_[0] : nullptr;
    const float b = static_cast<float>(v) / 10.0f;
    commands_.post([volume, b](Renderer&) {
        if (volume) volume->b = b;
    });
}

void Controls::setEnvironmentRotation(int v) {
    const float radians = static_cast<float>(static_cast<double>(v) / 100.0 * 6.283185307179586);
    commands_.post([radians](Renderer& r) { r.setEnvironmentRotation(radians); });
}

bool Controls::setMlt(bool on) {
    if (on && !commands_.metroAvailable()) return false;
    commands_.post([on](Renderer& r) { r.mltEnabled = on; });
    return true;
}

void Controls::setFog(bool on) {
    commands_.post([on](Renderer& r) { r.fogEnabled = on; });
}

void Controls::setSubsurface(bool on) {
    // A negative transparency makes material 0 scatter below its surface;
    // switching off restores the value it had before. The switch sets the
    // state asked for: saying "on" twice marks it once.
    Material* m = material(kBunnyMaterial);
    commands_.post([this, m, on](Renderer& r) {
        if (m && on != subsurfaceOn_) {
            if (on) {
                savedTransparency_ = m->transparency;
                m->transparency = -1.0f;
            } else {
                m->transparency = savedTransparency_;
            }
        }
        subsurfaceOn_ = on;
        r.ssEnabled = on;
    });
}

void Controls::moveMesh(int axis, float amount) {
    if (!meshKeysActive()) return;
    if (axis == 0) movableOffset_.x += amount;
    if (axis == 1) movableOffset_.y += amount;
    if (axis == 2) movableOffset_.z += amount;
    const Vector3d offset = movableOffset_;
    commands_.post([offset](Renderer& r) { r.requestMove(offset); });
}

bool Controls::keyPress(int key) {
    switch (key) {
        case 'W':
            camera_.moveForward(kMoveStep);
            break;
        case 'S':
            camera_.moveForward(-kMoveStep);
            break;
        case 'A':
            camera_.moveSideways(-kMoveStep);
            break;
        case 'D':
            camera_.moveSideways(kMoveStep);
            break;
        case 'E':
            camera_.moveVertical(kMoveStep);
            break;
        case 'Q':
            camera_.moveVertical(-kMoveStep);
            break;
        case 'I':
            moveMesh(2, -kMoveStep);
            return true;  // farther
        case 'K':
            moveMesh(2, kMoveStep);
            return true;  // closer
        case 'J':
            moveMesh(0, -kMoveStep);
            return true;
        case 'L':
            moveMesh(0, kMoveStep);
            return true;
        case 'U':
            moveMesh(1, -kMoveStep);
            return true;
        case 'O':
            moveMesh(1, kMoveStep);
            return true;
        default:
            return false;
    }
    commands_.setCamera(camera_);
    return true;
}

void Controls::mousePress(int x, int y) {
    lastMouseX_ = x;
    lastMouseY_ = y;
}

void Controls::mouseMove(int x, int y, int buttons) {
    const int dx = lastMouseX_ - x;
    const int dy = lastMouseY_ - y;
    if (dx == 0 && dy == 0) return;
    if (buttons & kLeftButton) {
        camera_.addYaw(static_cast<float>(dx * kMouseStep));
        camera_.addPitch(static_cast<float>(dy * kMouseStep));
    } else if (buttons & kMiddleButton) {
        camera_.moveVertical(static_cast<float>(-dy * kMouseStep));
    } else if (buttons & kRightButton) {
        camera_.addFocalDistance(static_cast<float>(dy * kMouseStep));
    }
    lastMouseX_ = x;
    lastMouseY_ = y;
    commands_.setCamera(camera_);
}

}  // namespace lumenar
