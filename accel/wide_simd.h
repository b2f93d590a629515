// Four and eight floats at once: SSE on x86 hosts (SSE2, part of every x86-64
// CPU; eight lanes in one AVX register where the build targets AVX), plain
// loops on the GPU and elsewhere. Only what the wide BVH's box and triangle
// tests need. Masks are bit sets, lane k in bit k.
#pragma once

#include <cstdint>

#include "scene/types.h"

#if defined(__SSE2__) && !defined(__CUDA_ARCH__)
#include <emmintrin.h>
#define LUMENAR_WIDE_SSE 1
#endif
#if defined(__AVX__) && !defined(__CUDA_ARCH__)
#include <immintrin.h>
#define LUMENAR_WIDE_AVX 1
#endif

namespace lumenar {
namespace simd {

#if defined(LUMENAR_WIDE_SSE)

struct vf4 {
    __m128 v;
};

inline vf4 load(const float* p) {
    return {_mm_loadu_ps(p)};
}
inline vf4 splat(float x) {
    return {_mm_set1_ps(x)};
}
inline vf4 operator+(vf4 a, vf4 b) {
    return {_mm_add_ps(a.v, b.v)};
}
inline vf4 operator-(vf4 a, vf4 b) {
    return {_mm_sub_ps(a.v, b.v)};
}
inline vf4 operator*(vf4 a, vf4 b) {
    return {_mm_mul_ps(a.v, b.v)};
}
inline vf4 operator/(vf4 a, vf4 b) {
    return {_mm_div_ps(a.v, b.v)};
}
// Lane-wise minimum and maximum; with a NaN in a the lane takes b.
inline vf4 vmin4(vf4 a, vf4 b) {
    return {_mm_min_ps(a.v, b.v)};
}
inline vf4 vmax4(vf4 a, vf4 b) {
    return {_mm_max_ps(a.v, b.v)};
}
// Comparisons give masks; a NaN lane compares false.
inline int le(vf4 a, vf4 b) {
    return _mm_movemask_ps(_mm_cmple_ps(a.v, b.v));
}
inline int ge(vf4 a, vf4 b) {
    return _mm_movemask_ps(_mm_cmpge_ps(a.v, b.v));
}
inline void store(vf4 a, float* p) {
    _mm_storeu_ps(p, a.v);
}

#else

struct vf4 {
    float v[4];
};

LUMENAR_HD inline vf4 load(const float* p) {
    return {{p[0], p[1], p[2], p[3]}};
}
LUMENAR_HD inline vf4 splat(float x) {
    return {{x, x, x, x}};
}
#define LUMENAR_WIDE_LANES(expr)                 \
    vf4 r;                                       \
    for (int k = 0; k < 4; ++k) r.v[k] = (expr); \
    return r
LUMENAR_HD inline vf4 operator+(vf4 a, vf4 b) {
    LUMENAR_WIDE_LANES(a.v[k] + b.v[k]);
}
LUMENAR_HD inline vf4 operator-(vf4 a, vf4 b) {
    LUMENAR_WIDE_LANES(a.v[k] - b.v[k]);
}
LUMENAR_HD inline vf4 operator*(vf4 a, vf4 b) {
    LUMENAR_WIDE_LANES(a.v[k] * b.v[k]);
}
LUMENAR_HD inline vf4 operator/(vf4 a, vf4 b) {
    LUMENAR_WIDE_LANES(a.v[k] / b.v[k]);
}
LUMENAR_HD inline vf4 vmin4(vf4 a, vf4 b) {
    LUMENAR_WIDE_LANES(a.v[k] < b.v[k] ? a.v[k] : b.v[k]);
}
LUMENAR_HD inline vf4 vmax4(vf4 a, vf4 b) {
    LUMENAR_WIDE_LANES(a.v[k] > b.v[k] ? a.v[k] : b.v[k]);
}
#undef LUMENAR_WIDE_LANES
LUMENAR_HD inline int le(vf4 a, vf4 b) {
    int m = 0;
    for (int k = 0; k < 4; ++k) m |= (a.v[k] <= b.v[k]) << k;
    return m;
}
LUMENAR_HD inline int ge(vf4 a, vf4 b) {
    int m = 0;
    for (int k = 0; k < 4; ++k) m |= (a.v[k] >= b.v[k]) << k;
    return m;
}
LUMENAR_HD inline void store(vf4 a, float* p) {
    for (int k = 0; k < 4; ++k) p[k] = a.v[k];
}

#endif

// Eight floats at once for the wide BVH's node test: one AVX register where
// the build targets AVX, else two halves of four.
#if defined(LUMENAR_WIDE_AVX)

struct vf8 {
    __m256 v;
};
inline vf8 load8(const float* p) {
    return {_mm256_loadu_ps(p)};
}
inline vf8 splat8(float x) {
    return {_mm256_set1_ps(x)};
}
inline vf8 operator+(vf8 a, vf8 b) {
    return {_mm256_add_ps(a.v, b.v)};
}
inline vf8 operator-(vf8 a, vf8 b) {
    return {_mm256_sub_ps(a.v, b.v)};
}
inline vf8 operator*(vf8 a, vf8 b) {
    return {_mm256_mul_ps(a.v, b.v)};
}
// As vmin4 and vmax4: with a NaN in a the lane takes b.
inline vf8 vmin8(vf8 a, vf8 b) {
    return {_mm256_min_ps(a.v, b.v)};
}
inline vf8 vmax8(vf8 a, vf8 b) {
    return {_mm256_max_ps(a.v, b.v)};
}
inline int le8(vf8 a, vf8 b) {
    return _mm256_movemask_ps(_mm256_cmp_ps(a.v, b.v, _CMP_LE_OQ));
}
inline void store8(vf8 a, float* p) {
    _mm256_storeu_ps(p, a.v);
}

#else

struct vf8 {
    vf4 lo, hi;
};
LUMENAR_HD inline vf8 load8(const float* p) {
    return {load(p), load(p + 4)};
}
LUMENAR_HD inline vf8 splat8(float x) {
    return {splat(x), splat(x)};
}
LUMENAR_HD inline vf8 operator+(vf8 a, vf8 b) {
    return {a.lo + b.lo, a.hi + b.hi};
}
LUMENAR_HD inline vf8 operator-(vf8 a, vf8 b) {
    return {a.lo - b.lo, a.hi - b.hi};
}
LUMENAR_HD inline vf8 operator*(vf8 a, vf8 b) {
    return {a.lo * b.lo, a.hi * b.hi};
}
LUMENAR_HD inline vf8 vmin8(vf8 a, vf8 b) {
    return {vmin4(a.lo, b.lo), vmin4(a.hi, b.hi)};
}
LUMENAR_HD inline vf8 vmax8(vf8 a, vf8 b) {
    return {vmax4(a.lo, b.lo), vmax4(a.hi, b.hi)};
}
LUMENAR_HD inline int le8(vf8 a, vf8 b) {
    return le(a.lo, b.lo) | (le(a.hi, b.hi) << 4);
}
LUMENAR_HD inline void store8(vf8 a, float* p) {
    store(a.lo, p);
    store(a.hi, p + 4);
}

#endif

}  // namespace simd
}  // namespace lumenar
