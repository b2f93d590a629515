// Image-based lighting, host side: an environment image in device memory with
// the sampling distribution built from it. render/environment.h holds the
// lookups and the sampler that read it on both backends.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "device/hd.h"
#include "device/memory.h"
#include "scene/hdr_image.h"

namespace lumenar {

// What kernels read of an environment (device pointers on the GPU backend).
struct EnvironmentView {
    const float* texels = nullptr;          // width * height RGB, top row first
    const float* marginalCdf = nullptr;     // height + 1 entries, 0 ... 1
    const float* conditionalCdf = nullptr;  // height rows of width + 1 entries, 0 ... 1
    int32_t width = 0;
    int32_t height = 0;
    float scale = 1.0f;  // radiance multiplier
    float cosRotation = 1.0f, sinRotation = 0.0f;

    LUMENAR_HD explicit operator bool() const { return texels != nullptr; }
};

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

    // What kernels read, the image turned about +y by `rotation` radians;
    // empty (false) when no environment is loaded.
    EnvironmentView view(float rotation = 0.0f) const;
    // Radiance integrated over the sphere (luminance, scale included): the
    // irradiance a white sky of this brightness would give, times pi.
    float power() const { return power_; }
    int width() const { return width_; }
    int height() const { return height_; }

 private:
    device::Buffer<float> texels_, marginal_, conditional_;
    int width_ = 0, height_ = 0;
    float scale_ = 1.0f, power_ = 0.0f;
};

}  // namespace lumenar
