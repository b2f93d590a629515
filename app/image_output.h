// Writing rendered images to disk.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "scene/types.h"

namespace lumenar {

// Writes an 8-bit RGB image whose row 0 is the bottom of the picture (the
// renderer's convention and OpenGL's) with the top row first, in the format
// the file name's extension names (PNG for ".png"). Returns false after
// printing a message naming the file and the problem.
bool writePngBottomUp(const std::string& path, int width, int height, const std::vector<uint8_t>& rgb);

// Writes linear RGB colours (row 0 at the bottom) as a half-float OpenEXR
// image with the top row first. Returns false after printing a message.
bool writeExrBottomUp(const std::string& path, int width, int height, const std::vector<Color>& rgb);

}  // namespace lumenar
