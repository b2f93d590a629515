#include "scene/hdr_image.h"

#include <OpenImageIO/imageio.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <new>

#include "scene/band_reader.h"
#include "scene/exr_header.h"
#include "scene/image_io.h"

namespace lumenar {

namespace {

// Largest environment accepted, decoded to three floats a texel: larger than
// any a renderer would light with (16k x 8k).
constexpr uint64_t kMaxEnvironmentBytes = (uint64_t(1) << 28) * 3 * sizeof(float);

bool isFloatFormat(const OIIO::TypeDesc& t) {
    return t.basetype == OIIO::TypeDesc::FLOAT || t.basetype == OIIO::TypeDesc::HALF ||
           t.basetype == OIIO::TypeDesc::DOUBLE;
}

// Three floats a texel, whatever the channels: only those are read.
bool sizeFits(const std::string& path, int64_t w, int64_t h) {
    if (w <= INT32_MAX && h <= INT32_MAX &&
        imageSizeFits(static_cast<int>(w), static_cast<int>(h), 3, sizeof(float), kMaxEnvironmentBytes))
        return true;
    std::printf("Error: Environment image %s has an unusable size (%lld x %lld texels).\n", path.c_str(),
                static_cast<long long>(w), static_cast<long long>(h));
    return false;
}

bool decodeLinear(const std::string& path, FloatImage& out) {
    // The formats textures may come in, read by their own decoder: no other
    // decoder the image library has ever sees the file.
    const std::string format = imageFormatOf(path);
    if (format.empty()) {
        std::printf("Error: Cannot determine image format of environment image %s.\n", path.c_str());
        return false;
    }
    ExrLayout layout;
    std::string damaged;
    if (format == "openexr" && !walkExrHeader(path, layout, damaged)) {
        std::printf("Error: Cannot read environment image %s: %s\n", path.c_str(), damaged.c_str());
        return false;
    }
    // A size the header declares is checked before the reader sizes its
    // buffers by it.
    if (layout.width > 0 && !sizeFits(path, layout.width, layout.height)) return false;
    auto in = OIIO::ImageInput::create(format);
    OIIO::ImageSpec spec;
    if (!in || !in->open(path, spec)) {
        std::printf("Error: Cannot read environment image %s: %s\n", path.c_str(),
                    in ? in->geterror().c_str() : OIIO::geterror().c_str());
        return false;
    }
    // Grey (and grey with alpha) spreads to all three channels; only the
    // channels used are read, whatever else the file holds.
    const int w = spec.width, h = spec.height, nc = spec.nchannels;
    const int used = nc >= 3 ? 3 : 1;
    if (nc < 1 || spec.deep) {
        std::printf("Error: Environment image %s has no channels to light with.\n", path.c_str());
        return false;
    }
    if (!sizeFits(path, w, h)) return false;
    const std::size_t texels = std::size_t(w) * std::size_t(h);
    FloatImage img;
    img.width = w;
    img.height = h;
    std::vector<float> grey;  // a grey image's one channel
    if (!readFloatBands(*in, spec, used, used == 3 ? img.rgb : grey)) {
        std::printf("Error: Cannot read environment image %s: %s\n", path.c_str(), in->geterror().c_str());
        return false;
    }
    in->close();
    if (used == 1) img.rgb.resize(texels * 3);
    const bool linear = isFloatFormat(spec.format);
    for (std::size_t i = 0; i < texels; ++i) {
        for (int c = 0; c < 3; ++c) {
            float v = used == 3 ? img.rgb[i * 3 + std::size_t(c)] : grey[i];
            if (!linear) v = srgbToLinear(v);
            // Negative or non-finite radiance has no meaning; it would
            // poison the sampling distribution.
            if (!(v >= 0.0f) || !std::isfinite(v)) v = 0.0f;
            img.rgb[i * 3 + std::size_t(c)] = v;
        }
    }
    out = std::move(img);
    return true;
}

}  // namespace

bool loadLinearImage(const std::string& path, FloatImage& out) {
    try {
        return decodeLinear(path, out);
    } catch (const std::bad_alloc&) {
        std::printf("Error: Not enough memory for environment image %s.\n", path.c_str());
    } catch (const std::exception& e) {
        std::printf("Error: Cannot read environment image %s: %s\n", path.c_str(), e.what());
    }
    return false;
}

bool writeLinearImage(const std::string& path, const FloatImage& image) {
    auto o = OIIO::ImageOutput::create(path);
    if (!o) {
        std::printf("Error: Cannot write %s: %s\n", path.c_str(), OIIO::geterror().c_str());
        return false;
    }
    OIIO::ImageSpec spec(image.width, image.height, 3, OIIO::TypeDesc::FLOAT);
    if (!o->open(path, spec) || !o->write_image(OIIO::TypeDesc::FLOAT, image.rgb.data()) || !o->close()) {
        std::printf("Error: Cannot write %s: %s\n", path.c_str(), o->geterror().c_str());
        return false;
    }
    return true;
}

}  // namespace lumenar
