#include "scene/device_texture.h"

#include <cstdio>
#include <utility>
#include <vector>

#include "device/memory.h"

#if defined(LUMENAR_BACKEND_CUDA)
#include <cuda_runtime.h>
#endif

namespace lumenar {

void DeviceTexture::swap(DeviceTexture& o) noexcept {
    std::swap(width_, o.width_);
    std::swap(height_, o.height_);
    std::swap(pixels_, o.pixels_);
    std::swap(array_, o.array_);
    std::swap(object_, o.object_);
}

TextureRecord DeviceTexture::record() const {
    TextureRecord r;
    r.pixels = pixels_;
    r.width = width_;
    r.height = height_;
    return r;
}

#if defined(LUMENAR_BACKEND_CUDA)

bool DeviceTexture::create(const Image& image) {
    reset();
    const std::vector<uint8_t> rgba = expandToRGBA(image);
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
    return true;
}

void DeviceTexture::reset() {
    if (object_) cudaDestroyTextureObject(object_);
    if (array_) cudaFreeArray(static_cast<cudaArray_t>(array_));
    device::freeBytes(pixels_, device::MemoryKind::Device);
    pixels_ = nullptr;
    object_ = 0;
    array_ = nullptr;
    width_ = height_ = 0;
}

#else

bool DeviceTexture::create(const Image& image) {
    reset();
    const std::vector<uint8_t> rgba = expandToRGBA(image);
    device::Buffer<uint8_t> texels = device::uploadArray(rgba.data(), rgba.size());
    if (!texels) {
        std::printf("Something is wrong!\n");
        return false;
    }
    pixels_ = texels.release();
    width_ = image.width;
    height_ = image.height;
    return true;
}

void DeviceTexture::reset() {
    device::freeBytes(pixels_, device::MemoryKind::Device);
    pixels_ = nullptr;
    width_ = height_ = 0;
}

#endif

}  // namespace lumenar
