// A texture image in device memory, four 8-bit channels (RGBA) per pixel, in
// a plain device array that the shading code's lookup reads on both
// backends; under CUDA also an array behind a texture object.
#pragma once

#include <cstdint>
#include <vector>

#include "scene/image_io.h"
#include "scene/types.h"

namespace lumenar {

// What a kernel would read on the CPU backend.
struct TextureRecord {
    const uint8_t* pixels = nullptr;  // width * height RGBA texels, bottom row first, then the mip levels
    int32_t width = 0;
    int32_t height = 0;
    int32_t levels = 0;  // the full-size image and its mip levels
};

// The image as RGBA texels followed by its mip levels, each half the size
// of the one before (rounded down, at least 1) and each texel the mean of
// the (up to) four below it, down to 1 x 1. With `srgb` the colour channels
// are averaged as the linear values they encode. `levels` receives the
// number of levels.
std::vector<uint8_t> mipChain(const Image& image, bool srgb, int& levels);

class DeviceTexture {
 public:
    DeviceTexture() = default;
    DeviceTexture(const DeviceTexture&) = delete;
    DeviceTexture& operator=(const DeviceTexture&) = delete;
    DeviceTexture(DeviceTexture&& o) noexcept { swap(o); }
    DeviceTexture& operator=(DeviceTexture&& o) noexcept {
        if (this != &o) {
            reset();
            swap(o);
        }
        return *this;
    }
    ~DeviceTexture() { reset(); }

    // Uploads the image as RGBA with its mip levels (mipChain; `srgb`: its
    // colour is sRGB-encoded). Prints "Something is wrong!" when the device
    // array cannot be made or filled and "Error creating texture object, code
    // N" when the texture object cannot be made; returns false then.
    bool create(const Image& image, bool srgb = true);
    void reset();

    int width() const { return width_; }
    // The mean colour of the image (its 1 x 1 mip level), linear.
    Color mean() const { return mean_; }
    int height() const { return height_; }
    // The texels in device memory (null when no image was uploaded).
    TextureRecord record() const;
    // CUDA: the texture object (0 on the CPU backend).
    unsigned long long object() const { return object_; }

 private:
    void swap(DeviceTexture& o) noexcept;

    int width_ = 0;
    int height_ = 0;
    int levels_ = 0;
    Color mean_;
    uint8_t* pixels_ = nullptr;  // linear RGBA texels
    void* array_ = nullptr;      // CUDA array
    unsigned long long object_ = 0;
};

}  // namespace lumenar
