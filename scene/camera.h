// Pinhole camera with an explicit image-plane window. Plain data: kernels get
// a copy by value every frame.
#pragma once

#include "scene/types.h"

namespace lumenar {

struct Camera {
    Vector3d position;
    Vector3d up;  // stored as given, re-normalised for every rebuild
    Vector3d direction;
    float left = -1.0f;
    float right = 1.0f;
    float bottom = -1.0f;
    float top = 1.0f;
    float focalDistance = 1.0f;
    float yaw = 0.0f;    // about world y, from +z towards +x
    float pitch = 0.0f;  // elevation, kept within +-kMaxPitch by addPitch
    Vector3d rayOrigin;
    Vector3d planeCorner;      // window coordinate (left, bottom)
    Vector3d planeHorizontal;  // left edge to right edge
    Vector3d planeVertical;    // bottom edge to top edge
    int32_t width = 256;
    int32_t height = 256;

    static constexpr float kTwoPi = 6.2831855f;
    static constexpr float kMaxPitch = 1.5707964f;

    // Looks down -z from the origin with a [-1, 1]^2 window, 256 x 256.
    Camera();

    Camera& setCamera(const Vector3d& eye, const Vector3d& lookat, const Vector3d& upVector, float left_,
                      float right_, float bottom_, float top_, float near_, int width_, int height_);
    void updateCamera();

    void moveForward(float d);
    void moveSideways(float d);  // positive d moves right
    void moveVertical(float d);
    void addYaw(float d);
    void addPitch(float d);
    void addFocalDistance(float d);

    void resizeCamera(int width_, int height_);

 private:
    void buildImagePlane(const Vector3d& w);
};

static_assert(sizeof(Camera) == 120, "Camera layout is shared with the kernels");

// Image-plane window for a resolution: the longer side spans [-1, 1].
struct CameraWindow {
    float left, right, bottom, top;
};
CameraWindow windowForResolution(int width, int height);

// Sample position on the image plane for window coordinates (s, t) in [0, 1].
LUMENAR_HD inline Vector3d planePoint(const Camera& cam, float s, float t) {
    return (cam.planeCorner + cam.planeHorizontal * s) + cam.planeVertical * t;
}

}  // namespace lumenar
