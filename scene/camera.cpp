#include "scene/camera.h"

#include <algorithm>
#include <cmath>

namespace lumenar {

Camera::Camera() {
    setCamera(Vector3d(0, 0, 0), Vector3d(0, 0, -1), Vector3d(0, 1, 0), -1, 1, -1, 1, 1, 256, 256);
}

Camera& Camera::setCamera(const Vector3d& eye, const Vector3d& lookat, const Vector3d& upVector, float left_,
                          float right_, float bottom_, float top_, float near_, int width_, int height_) {
    position = eye;
    up = upVector;
    left = left_;
    right = right_;
    bottom = bottom_;
    top = top_;
    focalDistance = near_;
    width = width_;
    height = height_;
    rayOrigin = eye;

    const Vector3d w = normalize(eye - lookat);
    direction = -w;
    pitch = std::asin(direction.y);
    const float cp = std::cos(pitch);
    yaw = std::atan2(direction.x / cp, direction.z / cp);
    buildImagePlane(w);
    return *this;
}

void Camera::updateCamera() {
    rayOrigin = position;
    direction = Vector3d(std::sin(yaw) * std::cos(pitch), std::sin(pitch), std::cos(yaw) * std::cos(pitch));
    buildImagePlane(-direction);
}

void Camera::buildImagePlane(const Vector3d& w) {
    // up need not be perpendicular to the view: normalising the cross
    // product keeps the horizontal axis unit length, so a pitched camera keeps
    // square pixels.
    const Vector3d u = normalize(cross(normalize(up), w));
    const Vector3d v = cross(w, u);
    planeCorner = ((rayOrigin + u * left) + v * bottom) - w * focalDistance;
    planeHorizontal = u * (right - left);
    planeVertical = v * (top - bottom);
}

void Camera::moveForward(float d) {
    position += direction * d;
    updateCamera();
}

void Camera::moveSideways(float d) {
    position += normalize(cross(direction, Vector3d(0, 1, 0))) * d;
    updateCamera();
}

void Camera::moveVertical(float d) {
    position.y += d;
    updateCamera();
}

void Camera::addYaw(float d) {
    const float y = yaw + d;
    yaw = y - std::floor(y / kTwoPi) * kTwoPi;
    updateCamera();
}

void Camera::addPitch(float d) {
    pitch = std::max(-kMaxPitch, std::min(pitch + d, kMaxPitch));
    updateCamera();
}

void Camera::addFocalDistance(float d) {
    focalDistance += d;
    updateCamera();
}

void Camera::resizeCamera(int width_, int height_) {
    width = width_;
    height = height_;
}

CameraWindow windowForResolution(int width, int height) {
    if (width > height) {
        const float r = static_cast<float>(static_cast<double>(height) / width);
        return {-1.0f, 1.0f, -r, r};
    }
    const float r = static_cast<float>(static_cast<double>(width) / height);
    return {-r, r, -1.0f, 1.0f};
}

}  // namespace lumenar
