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

// Inlined wherever it is called: for small hot helpers that the host
// compiler would otherwise leave out of line (a call per random number).
#if defined(__CUDACC__)
#define LUMENAR_INLINE __forceinline__
#elif defined(__GNUC__)
#define LUMENAR_INLINE inline __attribute__((always_inline))
#else
#define LUMENAR_INLINE inline
#endif

// A lambda usable as a per-item kernel on either backend.
#define LUMENAR_LAMBDA(...) [=] LUMENAR_HD(__VA_ARGS__)

#include <cmath>

namespace lumenar {

// fmaxf and fminf for the code in this namespace (unqualified calls find
// these first). On the host the C library's are out-of-line calls, dozens in
// every shading function, because their NaN rule rules out a bare maxss;
// these have the same answers, bit for bit (a NaN operand gives the other
// one; equal operands, zeros of either sign included, give the second), and
// inline. The GPU's are intrinsics already.
LUMENAR_HD inline float fmaxf(float a, float b) {
#if defined(__CUDA_ARCH__)
    return ::fmaxf(a, b);
#else
    return (a > b || b != b) ? a : b;
#endif
}
LUMENAR_HD inline float fminf(float a, float b) {
#if defined(__CUDA_ARCH__)
    return ::fminf(a, b);
#else
    return (a < b || b != b) ? a : b;
#endif
}

}  // namespace lumenar
