#include "scene/device_texture.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>
#include <vector>

#include "device/memory.h"
#include "scene/hdr_image.h"

#if defined(LUMENAR_BACKEND_CUDA)
#include <cuda_runtime.h>
#endif

namespace lumenar {

namespace {

// sRGB byte to linear and back.
float linearOf(uint8_t c) {
    static const std::vector<float> table = [] {
        std::vector<float> t(256);
        for (int i = 0; i < 256; ++i) t[static_cast<std::size_t>(i)] = srgbToLinear(i / 255.0f);
        return t;
    }();
    return table[c];
}

// The linear colour of the last (1 x 1) level of a mip chain.
Color meanOf(const std::vector<uint8_t>& chain, bool srgb) {
    if (chain.size() < 4) return Color();
    const uint8_t* c = chain.data() + chain.size() - 4;
    const auto channel = [&](uint8_t b) { return srgb ? linearOf(b) : b / 255.0f; };
    return Color(channel(c[0]), channel(c[1]), channel(c[2]));
}

uint8_t srgbByte(float linear) {
    const float c = linear <= 0.0031308f ? linear * 12.92f : 1.055f * std::pow(linear, 1.0f / 2.4f) - 0.055f;
    return static_cast<uint8_t>(std::lround(std::clamp(c, 0.0f, 1.0f) * 255.0f));
}

}  // namespace

std::vector<uint8_t> mipChain(const Image& image, bool srgb, int& levels) {
    std::vector<uint8_t> out = expandToRGBA(image);
    levels = 1;
    int w = image.width, h = image.height;
    std::size_t at = 0;  // where the level above starts
    while (w > 1 || h > 1) {
        const int nw = w > 1 ? w / 2 : 1, nh = h > 1 ? h / 2 : 1;
        const std::size_t next = out.size();
        out.resize(next + static_cast<std::size_t>(nw) * nh * 4);
        const uint8_t* above = out.data() + at;
        uint8_t* level = out.data() + next;
        for (int y = 0; y < nh; ++y)
            for (int x = 0; x < nw; ++x) {
                const int xs[2] = {std::min(2 * x, w - 1), std::min(2 * x + 1, w - 1)};
                const int ys[2] = {std::min(2 * y, h - 1), std::min(2 * y + 1, h - 1)};
                for (int c = 0; c < 4; ++c) {
                    float sum = 0.0f;
                    for (int yy : ys)
                        for (int xx : xs) {
                            const uint8_t b = above[(static_cast<std::size_t>(yy) * w + xx) * 4 + c];
                            sum += srgb && c < 3 ? linearOf(b) : b / 255.0f;
                        }
                    const float mean = sum * 0.25f;
                    level[(static_cast<std::size_t>(y) * nw + x) * 4 + c] =
                        srgb && c < 3
                            ? srgbByte(mean)
                            : static_cast<uint8_t>(std::lround(std::clamp(mean, 0.0f, 1.0f) * 255.0f));
                }
            }
        at = next;
        w = nw;
        h = nh;
        ++levels;
    }
    return out;
}

void DeviceTexture::swap(DeviceTexture& o) noexcept {
    std::swap(width_, o.width_);
    std::swap(levels_, o.levels_);
    std::swap(height_, o.height_);
    std::swap(pixels_, o.pixels_);
    std::swap(array_, o.array_);
    std::swap(object_, o.object_);
    std::swap(mean_, o.mean_);
}

TextureRecord DeviceTexture::record() const {
    TextureRecord r;
    r.pixels = pixels_;
    r.width = width_;
    r.height = height_;
    r.levels = levels_;
    return r;
}

#if defined(LUMENAR_BACKEND_CUDA)

bool DeviceTexture::create(const Image& image, bool srgb) {
    reset();
    int levels = 1;
    const std::vector<uint8_t> rgba = mipChain(image, srgb, levels);
    const Color mean = meanOf(rgba, srgb);
    const cudaChannelFormatDesc channels = cudaCreateChannelDesc(8, 8, 8, 8, cudaChannelFormatKindUnsigned);
    cudaArray_t array = nullptr;
    if (cudaMallocArray(&array, &channels, image.width, image.height, 0) != cudaSuccess) {
        std::printf("Something is wrong!\n");
        return false;
    }
    const std::size_t row = std::size_t(image.width) * 4;
    if (cudaMemcpy2DToArray(array, 0, 0, rgba.data(), row, row, image.height, cudaMemcpyHostToDevice) !=
        cudaSuccess) {
        std::printf("Something is wrong!\n");
        cudaFreeArray(array);
        return false;
    }
    cudaResourceDesc res = {};
    res.resType = cudaResourceTypeArray;
    res.res.array.array = array;
    cudaTextureDesc tex = {};
    tex.addressMode[0] = cudaAddressModeWrap;
    tex.addressMode[1] = cudaAddressModeWrap;
    tex.addressMode[2] = cudaAddressModeWrap;
    tex.filterMode = cudaFilterModePoint;
    tex.readMode = cudaReadModeElementType;
    tex.normalizedCoords = 1;
    cudaTextureObject_t object = 0;
    const cudaError_t e = cudaCreateTextureObject(&object, &res, &tex, nullptr);
    if (e != cudaSuccess) {
        std::printf("Error creating texture object, code %d\n", static_cast<int>(e));
        cudaFreeArray(array);
        return false;
    }
    // Shading reads the texels through the same lookup code as the CPU
    // backend, from a plain device array.
    device::Buffer<uint8_t> texels = device::uploadArray(rgba.data(), rgba.size());
    if (!texels) {
        std::printf("Something is wrong!\n");
        cudaDestroyTextureObject(object);
        cudaFreeArray(array);
        return false;
    }
    pixels_ = texels.release();
    array_ = array;
    object_ = object;
    width_ = image.width;
    height_ = image.height;
    levels_ = levels;
    mean_ = mean;
    return true;
}

void DeviceTexture::reset() {
    if (object_) cudaDestroyTextureObject(object_);
    if (array_) cudaFreeArray(static_cast<cudaArray_t>(array_));
    device::freeBytes(pixels_, device::MemoryKind::Device);
    pixels_ = nullptr;
    object_ = 0;
    array_ = nullptr;
    width_ = height_ = levels_ = 0;
    mean_ = Color();
}

#else

bool DeviceTexture::create(const Image& image, bool srgb) {
    reset();
    int levels = 1;
    const std::vector<uint8_t> rgba = mipChain(image, srgb, levels);
    const Color mean = meanOf(rgba, srgb);
    device::Buffer<uint8_t> texels = device::uploadArray(rgba.data(), rgba.size());
    if (!texels) {
        std::printf("Something is wrong!\n");
        return false;
    }
    pixels_ = texels.release();
    width_ = image.width;
    height_ = image.height;
    levels_ = levels;
    mean_ = mean;
    return true;
}

void DeviceTexture::reset() {
    device::freeBytes(pixels_, device::MemoryKind::Device);
    pixels_ = nullptr;
    width_ = height_ = levels_ = 0;
    mean_ = Color();
}

#endif

}  // namespace lumenar
