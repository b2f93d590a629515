// Linear floating-point images (environment maps): decoded on the host into
// RGB floats, top row first. High-dynamic-range files (OpenEXR, Radiance HDR)
// are taken as linear; images with integer channels are decoded from sRGB.
#pragma once

#include <cmath>
#include <string>
#include <vector>

#include "device/hd.h"

namespace lumenar {

struct FloatImage {
    std::vector<float> rgb;  // width * height * 3 floats, top row first
    int width = 0;
    int height = 0;
};

// Reads `path` as linear RGB (grey spreads to all three channels, a fourth
// channel is dropped). On failure prints "Error: ..." naming the file and
// returns false with `out` untouched.
bool loadLinearImage(const std::string& path, FloatImage& out);

// Writes a linear RGB image as 32-bit float OpenEXR (or any format the file
// name's extension selects); false after a message naming the file.
bool writeLinearImage(const std::string& path, const FloatImage& image);

// sRGB transfer function, from encoded [0, 1] to linear (texture lookups on
// either backend use it too).
LUMENAR_HD inline float srgbToLinear(float c) {
    return c <= 0.04045f ? c / 12.92f : powf((c + 0.055f) / 1.055f, 2.4f);
}

}  // namespace lumenar
