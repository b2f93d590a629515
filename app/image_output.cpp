#include "app/image_output.h"

#include <OpenImageIO/imageio.h>

#include <cstdio>

namespace lumenar {

namespace {

// Writes rows bottom to top (row 0 of data is the bottom of the picture) into
// the format the file name asks for, top row first.
bool writeBottomUp(const std::string& path, int width, int height, int channels, OIIO::TypeDesc fileType,
                   OIIO::TypeDesc dataType, const void* data, std::size_t pixelBytes) {
    auto out = OIIO::ImageOutput::create(path);
    if (!out) {
        std::fprintf(stderr, "%s: cannot write this image format: %s\n", path.c_str(),
                     OIIO::geterror().c_str());
        return false;
    }
    OIIO::ImageSpec spec(width, height, channels, fileType);
    if (!out->open(path, spec)) {
        std::fprintf(stderr, "%s: cannot open for writing: %s\n", path.c_str(), out->geterror().c_str());
        return false;
    }
    // Start at the top row and step backwards through memory.
    const std::size_t row = static_cast<std::size_t>(width) * pixelBytes;
    const auto* top = static_cast<const char*>(data) + row * (height - 1);
    const bool ok = out->write_image(dataType, top, static_cast<OIIO::stride_t>(pixelBytes),
                                     -static_cast<OIIO::stride_t>(row));
    if (!ok)
        std::fprintf(stderr, "%s: writing the image failed: %s\n", path.c_str(), out->geterror().c_str());
    if (!out->close()) {
        std::fprintf(stderr, "%s: closing the image failed: %s\n", path.c_str(), out->geterror().c_str());
        return false;
    }
    return ok;
}

}  // namespace

bool writePngBottomUp(const std::string& path, int width, int height, const std::vector<uint8_t>& rgb) {
    if (width <= 0 || height <= 0 ||
        rgb.size() != static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3) {
        std::fprintf(stderr, "%s: image size %d x %d does not match its %zu bytes\n", path.c_str(), width,
                     height, rgb.size());
        return false;
    }
    return writeBottomUp(path, width, height, 3, OIIO::TypeDesc::UINT8, OIIO::TypeDesc::UINT8, rgb.data(), 3);
}

bool writeExrBottomUp(const std::string& path, int width, int height, const std::vector<Color>& rgb) {
    if (width <= 0 || height <= 0 ||
        rgb.size() != static_cast<std::size_t>(width) * static_cast<std::size_t>(height)) {
        std::fprintf(stderr, "%s: image size %d x %d does not match its %zu pixels\n", path.c_str(), width,
                     height, rgb.size());
        return false;
    }
    return writeBottomUp(path, width, height, 3, OIIO::TypeDesc::HALF, OIIO::TypeDesc::FLOAT, rgb.data(),
                         sizeof(Color));
}

}  // namespace lumenar
