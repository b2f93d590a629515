// Launchers: run one per-item function over a pixel grid or a path array on
// the selected backend. Kernel bodies receive their item coordinates and never
// see blocks or threads; items outside the range are never called.
//
//   launchPixelGrid(w, h, LUMENAR_LAMBDA(int x, int y) { ... });
//   launchPathArray(n, LUMENAR_LAMBDA(int i) { ... });
#pragma once

#include "device/hd.h"

#if defined(LUMENAR_BACKEND_CUDA) && !defined(__CUDACC__)
#error "this file launches per-item work: list it with lumenar_device_sources() so nvcc compiles it"
#endif

#if defined(__CUDACC__)
#include <cuda_runtime.h>
#elif defined(LUMENAR_STD_THREADS)
#include "device/threads.h"
#else
#include <tbb/blocked_range.h>
#include <tbb/blocked_range2d.h>
#include <tbb/parallel_for.h>
#endif

namespace lumenar::device {

// Block shapes of the CUDA backend: 4 x 8 threads for pixel grids, 32 for
// path arrays.
constexpr int kPixelBlockX = 4;
constexpr int kPixelBlockY = 8;
constexpr int kPathBlock = 32;

// Grain sizes of the CPU backend: big enough to amortise scheduling, small
// enough that two cores share uneven work (paths end at different bounces).
constexpr int kPixelGrainX = 32;
constexpr int kPixelGrainY = 4;
constexpr int kPathGrain = 128;

#if defined(__CUDACC__)

template <class F>
__global__ void pixelGridKernel(int w, int h, F f) {
    const int x = blockIdx.x * blockDim.x + threadIdx.x;
    const int y = blockIdx.y * blockDim.y + threadIdx.y;
    if (x < w && y < h) f(x, y);
}

template <class F>
__global__ void pathArrayKernel(int n, F f) {
    const int i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i < n) f(i);
}

template <class F>
void launchPixelGrid(int w, int h, F f) {
    if (w <= 0 || h <= 0) return;
    const dim3 block(kPixelBlockX, kPixelBlockY);
    const dim3 grid((w + kPixelBlockX - 1) / kPixelBlockX, (h + kPixelBlockY - 1) / kPixelBlockY);
    pixelGridKernel<<<grid, block>>>(w, h, f);
}

template <class F>
void launchPathArray(int n, F f) {
    if (n <= 0) return;
    pathArrayKernel<<<(n + kPathBlock - 1) / kPathBlock, kPathBlock>>>(n, f);
}

template <class F>
void launchSingle(F f) {
    pathArrayKernel<<<1, 1>>>(1, f);
}

#elif defined(LUMENAR_STD_THREADS)

// Tiles of the same shape as the oneTBB path, handed out to std::threads.
template <class F>
void launchPixelGrid(int w, int h, F f) {
    if (w <= 0 || h <= 0) return;
    const int tilesX = (w + kPixelGrainX - 1) / kPixelGrainX;
    const int tilesY = (h + kPixelGrainY - 1) / kPixelGrainY;
    runChunks(tilesX * tilesY, [&](int tile) {
        const int x0 = (tile % tilesX) * kPixelGrainX, y0 = (tile / tilesX) * kPixelGrainY;
        const int x1 = x0 + kPixelGrainX < w ? x0 + kPixelGrainX : w;
        const int y1 = y0 + kPixelGrainY < h ? y0 + kPixelGrainY : h;
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x) f(x, y);
    });
}

template <class F>
void launchPathArray(int n, F f) {
    if (n <= 0) return;
    runChunks((n + kPathGrain - 1) / kPathGrain, [&](int chunk) {
        const int end = (chunk + 1) * kPathGrain < n ? (chunk + 1) * kPathGrain : n;
        for (int i = chunk * kPathGrain; i < end; ++i) f(i);
    });
}

template <class F>
void launchSingle(F f) {
    f(0);
}

#else

template <class F>
void launchPixelGrid(int w, int h, F f) {
    if (w <= 0 || h <= 0) return;
    tbb::parallel_for(tbb::blocked_range2d<int>(0, h, kPixelGrainY, 0, w, kPixelGrainX),
                      [&](const tbb::blocked_range2d<int>& r) {
                          for (int y = r.rows().begin(); y != r.rows().end(); ++y)
                              for (int x = r.cols().begin(); x != r.cols().end(); ++x) f(x, y);
                      });
}

template <class F>
void launchPathArray(int n, F f) {
    if (n <= 0) return;
    tbb::parallel_for(tbb::blocked_range<int>(0, n, kPathGrain), [&](const tbb::blocked_range<int>& r) {
        for (int i = r.begin(); i != r.end(); ++i) f(i);
    });
}

template <class F>
void launchSingle(F f) {
    f(0);
}

#endif

}  // namespace lumenar::device
