#include "device/memory.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(LUMENAR_BACKEND_CUDA)
#include <cuda_runtime.h>
#endif

namespace lumenar::device {

#if defined(LUMENAR_BACKEND_CUDA)

namespace {
const char* lastError = "";
bool ok(cudaError_t e, const char* what) {
    if (e == cudaSuccess) return true;
    lastError = cudaGetErrorString(e);
    std::fprintf(stderr, "%s failed: %s\n", what, lastError);
    return false;
}
}  // namespace

const char* lastErrorText() {
    return lastError;
}

void* allocateBytes(std::size_t bytes, MemoryKind kind) {
    if (bytes == 0) return nullptr;
    void* p = nullptr;
    cudaError_t e = cudaSuccess;
    switch (kind) {
        case MemoryKind::Device:
            e = cudaMalloc(&p, bytes);
            break;
        case MemoryKind::Managed:
            e = cudaMallocManaged(&p, bytes, cudaMemAttachGlobal);
            break;
        case MemoryKind::Host:
            e = cudaMallocHost(&p, bytes);
            break;
    }
    if (e != cudaSuccess) {
        std::fprintf(stderr, "cudaMalloc failed (%zu bytes): %s\n", bytes, cudaGetErrorString(e));
        return nullptr;
    }
    return p;
}

void freeBytes(void* p, MemoryKind kind) {
    if (!p) return;
    if (kind == MemoryKind::Host)
        cudaFreeHost(p);
    else
        cudaFree(p);
}

bool copyToDevice(void* dst, const void* src, std::size_t bytes) {
    return bytes == 0 || ok(cudaMemcpy(dst, src, bytes, cudaMemcpyHostToDevice), "cudaMemcpy");
}
bool copyToHost(void* dst, const void* src, std::size_t bytes) {
    return bytes == 0 || ok(cudaMemcpy(dst, src, bytes, cudaMemcpyDeviceToHost), "cudaMemcpy");
}
bool copyOnDevice(void* dst, const void* src, std::size_t bytes) {
    return bytes == 0 || ok(cudaMemcpy(dst, src, bytes, cudaMemcpyDeviceToDevice), "cudaMemcpy");
}
bool fillBytes(void* dst, int value, std::size_t bytes) {
    return bytes == 0 || ok(cudaMemset(dst, value, bytes), "cudaMemset");
}
bool synchronize() {
    return ok(cudaDeviceSynchronize(), "cudaDeviceSynchronize");
}
bool checkLaunch() {
    cudaError_t e = cudaGetLastError();
    if (e == cudaSuccess) return true;
    lastError = cudaGetErrorString(e);
    std::fprintf(stderr, "Kernel launch failed: %s\n", lastError);
    return false;
}
bool resetDevice() {
    if (cudaDeviceReset() == cudaSuccess) return true;
    std::fprintf(stderr, "cudaDeviceReset failed!");
    return false;
}
const char* backendName() {
    return "CUDA";
}

#else  // CPU backend

namespace {
constexpr std::size_t kAlignment = 64;
}

void* allocateBytes(std::size_t bytes, MemoryKind) {
    if (bytes == 0) return nullptr;
    const std::size_t rounded = (bytes + kAlignment - 1) / kAlignment * kAlignment;
    void* p = std::aligned_alloc(kAlignment, rounded);
    if (!p) std::fprintf(stderr, "allocation of %zu bytes failed\n", bytes);
    return p;
}

void freeBytes(void* p, MemoryKind) {
    std::free(p);
}

bool copyToDevice(void* dst, const void* src, std::size_t bytes) {
    if (bytes) std::memcpy(dst, src, bytes);
    return true;
}
bool copyToHost(void* dst, const void* src, std::size_t bytes) {
    if (bytes) std::memcpy(dst, src, bytes);
    return true;
}
bool copyOnDevice(void* dst, const void* src, std::size_t bytes) {
    if (bytes) std::memmove(dst, src, bytes);
    return true;
}
bool fillBytes(void* dst, int value, std::size_t bytes) {
    if (bytes) std::memset(dst, value, bytes);
    return true;
}
bool synchronize() {
    return true;
}
bool checkLaunch() {
    return true;
}
bool resetDevice() {
    return true;
}
const char* lastErrorText() {
    return "";
}
const char* backendName() {
    return "CPU";
}

#endif

}  // namespace lumenar::device
