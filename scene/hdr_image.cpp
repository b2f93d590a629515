#include "scene/hdr_image.h"

#include <OpenImageIO/imageio.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <new>

namespace lumenar {

namespace {

// Larger than any environment a renderer would light with (16k x 8k).
constexpr uint64_t kMaxTexels = uint64_t(1) << 28;

bool isFloatFormat(const OIIO::TypeDesc& t) {
    return t.basetype == OIIO::TypeDesc::FLOAT || t.basetype == OIIO::TypeDesc::HALF ||
           t.basetype == OIIO::TypeDesc::DOUBLE;
}

}  // namespace

bool loadLinearImage(const std::string& path, FloatImage& out) {
    try {
        auto in = OIIO::ImageInput::open(path);
        if (!in) {
            std::printf("Error: Cannot read environment image %s: %s\n", path.c_str(),
                        OIIO::geterror().c_str());
            return false;
        }
        const OIIO::ImageSpec spec = in->spec();
        const int w = spec.width, h = spec.height, nc = spec.nchannels;
        if (w <= 0 || h <= 0 || nc < 1 || uint64_t(w) * uint64_t(h) > kMaxTexels) {
            std::printf("Error: Environment image %s has an unusable size (%d x %d, %d channels).\n",
                        path.c_str(), w, h, nc);
            return false;
        }
        std::vector<float> px(std::size_t(w) * std::size_t(h) * std::size_t(nc));
        if (!in->read_image(0, 0, 0, nc, OIIO::TypeDesc::FLOAT, px.data())) {
            std::printf("Error: Cannot read environment image %s: %s\n", path.c_str(),
                        in->geterror().c_str());
            return false;
        }
        in->close();
        const bool linear = isFloatFormat(spec.format);
        FloatImage img;
        img.width = w;
        img.height = h;
        img.rgb.resize(std::size_t(w) * std::size_t(h) * 3);
        for (std::size_t i = 0; i < std::size_t(w) * std::size_t(h); ++i) {
            for (int c = 0; c < 3; ++c) {
                float v = px[i * std::size_t(nc) + std::size_t(nc >= 3 ? c : 0)];
                if (!linear) v = srgbToLinear(v);
                // Negative or non-finite radiance has no meaning; it would
                // poison the sampling distribution.
                if (!(v >= 0.0f) || !std::isfinite(v)) v = 0.0f;
                img.rgb[i * 3 + std::size_t(c)] = v;
            }
        }
        out = std::move(img);
        return true;
    } catch (const std::bad_alloc&) {
        std::printf("Error: Not enough memory for environment image %s.\n", path.c_str());
        return false;
    }
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
