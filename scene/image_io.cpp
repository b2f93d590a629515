#include "scene/image_io.h"

#include <OpenImageIO/imageio.h>

#include <cctype>
#include <cstdio>
#include <exception>
#include <memory>
#include <new>
#include <string_view>

#include "scene/exr_header.h"

namespace lumenar {

namespace {

// Decoders this program uses. Scene files, and the images they name, are
// shared between people: keeping to the common still-image formats keeps the
// exotic decoders (video, camera raw, volumes, medical) away from them.
constexpr std::string_view kFormats[] = {"png", "jpeg", "bmp",     "targa", "tiff", "gif",      "pnm", "psd",
                                         "ico", "hdr",  "openexr", "webp",  "sgi",  "jpeg2000", "dds"};

bool allowed(std::string_view format) {
    for (std::string_view f : kFormats)
        if (f == format) return true;
    return false;
}

// The format the file name's extension suggests.
std::string formatFromName(const std::string& path) {
    const std::size_t dot = path.find_last_of('.');
    const std::size_t slash = path.find_last_of('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
    std::string ext = path.substr(dot + 1);
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string list;
    OIIO::getattribute("extension_list", list);
    // "format:ext,ext;format:ext..."
    std::string_view rest(list);
    while (!rest.empty()) {
        const std::size_t semi = rest.find(';');
        const std::string_view entry = rest.substr(0, semi);
        rest = semi == std::string_view::npos ? std::string_view() : rest.substr(semi + 1);
        const std::size_t colon = entry.find(':');
        if (colon == std::string_view::npos) continue;
        const std::string_view format = entry.substr(0, colon);
        std::string_view exts = entry.substr(colon + 1);
        while (!exts.empty()) {
            const std::size_t comma = exts.find(',');
            if (exts.substr(0, comma) == ext && allowed(format)) return std::string(format);
            exts = comma == std::string_view::npos ? std::string_view() : exts.substr(comma + 1);
        }
    }
    return {};
}

bool decode(const std::string& path, Image& out) {
    const std::string format = imageFormatOf(path);
    if (format.empty()) {
        std::printf("Error: Cannot determine image format of %s.\n", path.c_str());
        return false;
    }
    ExrLayout layout;
    std::string damaged;
    if (format == "openexr" && !walkExrHeader(path, layout, damaged)) {
        std::printf("Error: Cannot read image file %s: %s.\n", path.c_str(), damaged.c_str());
        return false;
    }
    auto in = OIIO::ImageInput::create(format);
    OIIO::ImageSpec spec;
    // Colours exactly as stored: no premultiplication by alpha.
    OIIO::ImageSpec config;
    config.attribute("oiio:UnassociatedAlpha", 1);
    if (!in || !in->open(path, spec, config)) {
        std::printf("Error: Cannot read image file %s.\n", path.c_str());
        (void)OIIO::geterror();  // drop the library's pending message
        return false;
    }
    bool bytes = spec.format == OIIO::TypeDesc::UINT8 && !spec.deep;
    for (const OIIO::TypeDesc& t : spec.channelformats) bytes = bytes && t == OIIO::TypeDesc::UINT8;
    if (!bytes) {
        std::printf("Error: Only 8-bits-per-component standard bitmap is supported.\n");
        return false;
    }
    if (spec.nchannels < 1 || spec.nchannels > 4) {
        std::printf("Error: Only 8, 16, 24, 32 bits per pixel are supported.\n");
        return false;
    }
    const int w = spec.width, h = spec.height, bpp = spec.nchannels;
    if (!imageSizeFits(w, h, bpp, 1, kMaxImageBytes)) {
        std::printf("Error: Image %s of %d x %d pixels is too large.\n", path.c_str(), w, h);
        return false;
    }
    const std::size_t row = std::size_t(w) * std::size_t(bpp);
    std::vector<uint8_t> pixels;
    try {
        pixels.resize(row * std::size_t(h));
    } catch (const std::bad_alloc&) {
        std::printf("Error: Not enough memory.\n");
        return false;
    }
    // The decoder delivers the top row first; a negative row stride writes
    // it last, so the array starts with the bottom row.
    uint8_t* bottomUp = pixels.data() + row * std::size_t(h - 1);
    if (!in->read_image(0, 0, 0, bpp, OIIO::TypeDesc::UINT8, bottomUp, OIIO::AutoStride,
                        -static_cast<OIIO::stride_t>(row))) {
        std::printf("Error: Cannot read image file %s.\n", path.c_str());
        (void)in->geterror();
        return false;
    }
    in->close();
    out.pixels = std::move(pixels);
    out.width = w;
    out.height = h;
    out.bytesPerPixel = bpp;
    return true;
}

}  // namespace

std::string recognisedImageFormat(const std::string& path) {
    for (std::string_view f : kFormats) {
        auto in = OIIO::ImageInput::create(std::string(f));
        if (in && in->valid_file(path)) return std::string(f);
    }
    return {};
}

std::string imageFormatOf(const std::string& path) {
    const std::string format = recognisedImageFormat(path);
    return format.empty() ? formatFromName(path) : format;
}

bool imageSizeFits(int width, int height, int channels, int channelBytes, uint64_t maxBytes) {
    if (width <= 0 || height <= 0 || channels <= 0 || channelBytes <= 0) return false;
    // Each factor is below 2^31: no product of two overflows, and the bound
    // is checked before the last one.
    const uint64_t pixels = uint64_t(width) * uint64_t(height);
    const uint64_t perPixel = uint64_t(channels) * uint64_t(channelBytes);
    return pixels <= maxBytes / perPixel;
}

bool loadImage(const std::string& path, Image& out) {
    try {
        return decode(path, out);
    } catch (const std::exception&) {
        std::printf("Error: Cannot read image file %s.\n", path.c_str());
        return false;
    }
}

std::vector<uint8_t> expandToRGBA(const Image& image) {
    const std::size_t n = std::size_t(image.width) * std::size_t(image.height);
    std::vector<uint8_t> rgba(n * 4);
    const uint8_t* s = image.pixels.data();
    const int b = image.bytesPerPixel;
    for (std::size_t i = 0; i < n; ++i, s += b) {
        uint8_t* d = &rgba[i * 4];
        switch (b) {
            case 1:
                d[0] = d[1] = d[2] = s[0];
                d[3] = 255;
                break;
            case 2:
                d[0] = d[1] = d[2] = s[0];
                d[3] = s[1];
                break;
            case 3:
                d[0] = s[0];
                d[1] = s[1];
                d[2] = s[2];
                d[3] = 255;
                break;
            default:
                d[0] = s[0];
                d[1] = s[1];
                d[2] = s[2];
                d[3] = s[3];
                break;
        }
    }
    return rgba;
}

}  // namespace lumenar
