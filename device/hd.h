// Marks functions that run on both backends and picks the backend at compile
// time. Every header that holds per-item work includes this first.
#pragma once

#if defined(__CUDACC__)
#define LUMENAR_HD __host__ __device__
#define LUMENAR_DEVICE_CODE 1
#else
#define LUMENAR_HD
#endif

// The CUDA backend is selected for the whole build (LUMENAR_CUDA=ON defines
// LUMENAR_BACKEND_CUDA for every target); host-only translation units in such
// a build are still compiled by the host compiler.
#if defined(LUMENAR_BACKEND_CUDA) && !defined(__CUDACC__) && defined(LUMENAR_NEEDS_NVCC)
#error "this file launches work and must be compiled by nvcc in a CUDA build"
#endif

// A lambda usable as a per-item kernel on either backend.
#define LUMENAR_LAMBDA(...) [=] LUMENAR_HD(__VA_ARGS__)
