// The host side of image-based lighting: an environment image in device
// memory with the sampling distribution built from it (render/environment.h
// reads both).
#pragma once

#include <string>
#include <vector>

#include "device/memory.h"
#include "render/environment.h"
#include "scene/hdr_image.h"

namespace lumenar {

// The two CDFs of the piecewise-constant sampling distribution of an image
// (see render/environment.h): `marginal` has height + 1 entries, `conditional`
// height rows of width + 1. An image without light gets uniform CDFs.
void buildEnvironmentDistribution(const FloatImage& image, std::vector<float>& marginal,
                                  std::vector<float>& conditional);

class EnvironmentMap {
 public:
    // Loads the image at `path` (linear RGB) and builds its distribution;
    // false after a message naming the file.
    bool load(const std::string& path, float scale);
    // The same from an image already in memory.
    bool create(const FloatImage& image, float scale);
    void reset();

    // Turns the environment about +y (radians).
    void setRotation(float radians);
    float rotation() const { return rotation_; }

    // What kernels read; empty (false) when no environment is loaded.
    EnvironmentView view() const;
    // Radiance integrated over the sphere (luminance, scale included): the
    // irradiance a white sky of this brightness would give, times pi.
    float power() const { return power_; }
    int width() const { return width_; }
    int height() const { return height_; }

 private:
    device::Buffer<float> texels_, marginal_, conditional_;
    int width_ = 0, height_ = 0;
    float scale_ = 1.0f, rotation_ = 0.0f, power_ = 0.0f;
};

}  // namespace lumenar
