#include "app/image_output.h"

#include <OpenImageIO/imageio.h>
#include <png.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace lumenar {

bool writePngBottomUp(const std::string& path, int width, int height, const std::vector<uint8_t>& rgb) {
    if (width <= 0 || height <= 0 ||
        rgb.size() != static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3) {
        std::fprintf(stderr, "%s: image size %d x %d does not match its %zu bytes\n", path.c_str(), width,
                     height, rgb.size());
        return false;
    }
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        std::fprintf(stderr, "%s: cannot open for writing: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!png || !info) {
        png_destroy_write_struct(&png, nullptr);
        std::fclose(f);
        std::fprintf(stderr, "%s: out of memory for the PNG encoder\n", path.c_str());
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        std::fclose(f);
        std::fprintf(stderr, "%s: writing the PNG failed\n", path.c_str());
        return false;
    }
    png_init_io(png, f);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = height - 1; y >= 0; --y)
        png_write_row(png, const_cast<png_bytep>(rgb.data() + static_cast<std::size_t>(y) * width * 3));
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    if (std::fclose(f) != 0) {
        std::fprintf(stderr, "%s: closing the file failed: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

bool writeExrBottomUp(const std::string& path, int width, int height, const std::vector<Color>& rgb) {
    if (width <= 0 || height <= 0 ||
        rgb.size() != static_cast<std::size_t>(width) * static_cast<std::size_t>(height)) {
        std::fprintf(stderr, "%s: image size %d x %d does not match its %zu pixels\n", path.c_str(), width,
                     height, rgb.size());
        return false;
    }
    auto out = OIIO::ImageOutput::create(path);
    if (!out) {
        std::fprintf(stderr, "%s: cannot write this image format: %s\n", path.c_str(),
                     OIIO::geterror().c_str());
        return false;
    }
    OIIO::ImageSpec spec(width, height, 3, OIIO::TypeDesc::HALF);
    if (!out->open(path, spec)) {
        std::fprintf(stderr, "%s: cannot open for writing: %s\n", path.c_str(), out->geterror().c_str());
        return false;
    }
    // Start at the top row and step backwards through memory.
    const std::size_t row = static_cast<std::size_t>(width) * sizeof(Color);
    const auto* top = reinterpret_cast<const char*>(rgb.data()) + row * (height - 1);
    const bool ok =
        out->write_image(OIIO::TypeDesc::FLOAT, top, sizeof(Color), -static_cast<OIIO::stride_t>(row));
    if (!ok)
        std::fprintf(stderr, "%s: writing the image failed: %s\n", path.c_str(), out->geterror().c_str());
    if (!out->close()) {
        std::fprintf(stderr, "%s: closing the image failed: %s\n", path.c_str(), out->geterror().c_str());
        return false;
    }
    return ok;
}

}  // namespace lumenar
