// Writing rendered images to disk.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lumenar {

// Writes an 8-bit RGB image whose row 0 is the bottom of the picture (the
// renderer's convention) as a PNG with the top row first. Returns false after
// printing a message naming the file and the problem.
bool writePngBottomUp(const std::string& path, int width, int height, const std::vector<uint8_t>& rgb);

}  // namespace lumenar
