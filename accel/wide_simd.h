// Four floats at once: SSE on x86 hosts (SSE2, part of every x86-64 CPU),
// plain loops on the GPU and elsewhere. Only what the wide BVH's box and
// triangle tests need. Masks are bit sets, lane k in bit k.
#pragma once

#include <cstdint>

#include "scene/types.h"

#if defined(__SSE2__) && !defined(__CUDA_ARCH__)
#include <emmintrin.h>
#define LUMENAR_WIDE_SSE 1
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

}  // namespace simd
}  // namespace lumenar
