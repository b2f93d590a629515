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
// a build are still compiled by the host compiler. Files that launch work
// (include device/launch.h) must be listed with lumenar_device_sources().

// A lambda usable as a per-item kernel on either backend.
#define LUMENAR_LAMBDA(...) [=] LUMENAR_HD(__VA_ARGS__)
