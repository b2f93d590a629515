#include "app/controls.h"

namespace lumenar {

Controls::Controls(Camera& camera, Material* materials, int materialCount, Volume* volumes, int volumeCount,
                   Renderer& renderer, const Settings& settings)
    : camera_(camera),
      materials_(materials),
      materialCount_(materials ? materialCount : 0),
      volumes_(volumes),
      volumeCount_(volumes ? volumeCount : 0),
      renderer_(renderer),
      settings_(settings),
      showFps_(settings.showFps != 0) {}

Material* Controls::material(int index) const {
    return index < materialCount_ ? &materials_[index] : nullptr;
}

void Controls::setRoughness(int v) {
    if (Material* m = material(selected_)) m->roughness = static_cast<float>(v) / 100.0f;
    renderer_.requestReset();
}

void Controls::setMetalness(int v) {
    if (Material* m = material(selected_)) m->metalness = static_cast<float>(v) / 100.0f;
    renderer_.requestReset();
}

void Controls::setTransparency(int v) {
    if (Material* m = material(selected_)) m->transparency = static_cast<float>(v) / 100.0f;
    renderer_.requestReset();
}

void Controls::setIor(int v) {
    // 1 to 3; the sum is formed in double precision.
    if (Material* m = material(selected_))
        m->IOR = static_cast<float>(static_cast<double>(static_cast<float>(v) / 50.0f) + 1.0);
    renderer_.requestReset();
}

void Controls::setTranslucency(int v) {
    // 20 down to 0; the difference is formed in double precision.
    if (Material* m = material(kBunnyMaterial))
        m->rsc = static_cast<float>(20.0 - static_cast<double>(static_cast<float>(v) / 5.0f));
    renderer_.requestReset();
}

void Controls::setWallRoughness(int v) {
    // Never exactly 0: 0.001 to 1.
    if (Material* m = material(kWallMaterial)) m->roughness = static_cast<float>(v * 0.999 / 100 + 0.001);
    renderer_.requestReset();
}

void Controls::setWallMetalness(int v) {
    if (Material* m = material(kWallMaterial)) m->metalness = static_cast<float>(v) / 100.0f;
    renderer_.requestReset();
}

void Controls::setFogGravity(int v) {
    if (volumeCount_ > 0) volumes_[0].b = static_cast<float>(v) / 10.0f;
    renderer_.requestReset();
}

void Controls::setMlt(bool on) {
    renderer_.mltEnabled = on;
    renderer_.requestReset();
}

void Controls::setFog(bool on) {
    renderer_.fogEnabled = on;
    renderer_.requestReset();
}

void Controls::setSubsurface(bool on) {
    // A negative transparency makes material 0 scatter below its surface;
    // switching off restores the value it had before.
    if (Material* m = material(kBunnyMaterial)) {
        if (subsurfaceToggle_) {
            m->transparency = savedTransparency_;
        } else {
            savedTransparency_ = m->transparency;
            m->transparency = -1.0f;
        }
        subsurfaceToggle_ = !subsurfaceToggle_;
    }
    renderer_.ssEnabled = on;
    renderer_.requestReset();
}

void Controls::moveMesh(int axis, float amount) {
    if (!meshKeysActive()) return;
    if (axis == 0) movableOffset_.x += amount;
    if (axis == 1) movableOffset_.y += amount;
    if (axis == 2) movableOffset_.z += amount;
    renderer_.requestMove(movableOffset_);
    renderer_.requestReset();
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
    renderer_.requestReset();
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
    renderer_.requestReset();
}

}  // namespace lumenar
