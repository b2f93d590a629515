// Random-number generators that draw the same sequences on both backends.
//
// XorwowState: Marsaglia's xorwow with a Weyl sequence, seeded the way the
// CUDA random library seeds it for (seed, subsequence 0, offset 0), so a
// seed means the same stream whichever backend runs it.
//
// SobolState: a scrambled 32-bit Sobol sequence in one dimension (gray-code
// order). The direction vectors live in a shared table (see sobol.h); the
// state keeps a pointer to its dimension's 32 words.
#pragma once

#include <cstdint>

#include "device/hd.h"

namespace lumenar {

// 2^-32 and 2^-33: maps a 32-bit draw into (0, 1].
constexpr float kTwoPowMinus32 = 2.3283064e-10f;
constexpr float kTwoPowMinus33 = 1.1641532e-10f;

LUMENAR_HD inline float uniformFromBits(uint32_t bits) {
    return static_cast<float>(bits) * kTwoPowMinus32 + kTwoPowMinus33;
}

struct XorwowState {
    uint32_t d;
    uint32_t v[5];
};

LUMENAR_HD inline void xorwowInit(uint64_t seed, XorwowState* s) {
    const uint32_t s0 = static_cast<uint32_t>(seed) ^ 0xaad26b49u;
    const uint32_t s1 = static_cast<uint32_t>(seed >> 32) ^ 0xf7dcefddu;
    const uint32_t t0 = 1099087573u * s0;
    const uint32_t t1 = 2591861531u * s1;
    s->d = 6615241u + t1 + t0;
    s->v[0] = 123456789u + t0;
    s->v[1] = 362436069u ^ t0;
    s->v[2] = 521288629u + t1;
    s->v[3] = 88675123u ^ t1;
    s->v[4] = 5783321u + t0;
}

LUMENAR_HD inline uint32_t xorwowNext(XorwowState* s) {
    const uint32_t t = s->v[0] ^ (s->v[0] >> 2);
    s->v[0] = s->v[1];
    s->v[1] = s->v[2];
    s->v[2] = s->v[3];
    s->v[3] = s->v[4];
    s->v[4] = (s->v[4] ^ (s->v[4] << 4)) ^ (t ^ (t << 1));
    s->d += 362437u;
    return s->v[4] + s->d;
}

// Uniform in (0, 1].
LUMENAR_HD inline float xorwowUniform(XorwowState* s) {
    return uniformFromBits(xorwowNext(s));
}

struct SobolState {
    uint32_t i;                  // index of the next point
    uint32_t x;                  // next value (scrambled)
    const uint32_t* directions;  // 32 direction words of this dimension
};

LUMENAR_HD inline uint32_t grayCode(uint32_t n) {
    return n ^ (n >> 1);
}

// Positions the state at point `offset` of the dimension, scrambled by `scramble`.
LUMENAR_HD inline void sobolInit(const uint32_t* directions, uint32_t scramble, uint32_t offset,
                                 SobolState* s) {
    s->directions = directions;
    s->i = offset;
    uint32_t x = scramble;
    const uint32_t g = grayCode(offset);
    for (int k = 0; k < 32; ++k)
        if (g & (1u << k)) x ^= directions[k];
    s->x = x;
}

LUMENAR_HD inline void sobolSkipAhead(uint32_t n, SobolState* s) {
    const uint32_t from = grayCode(s->i);
    const uint32_t to = grayCode(s->i + n);
    const uint32_t diff = from ^ to;
    for (int k = 0; k < 32; ++k)
        if (diff & (1u << k)) s->x ^= s->directions[k];
    s->i += n;
}

LUMENAR_HD inline int lowestZeroBit(uint32_t v) {
    int k = 0;
    while (v & 1u) {
        v >>= 1;
        ++k;
    }
    return k;
}

LUMENAR_HD inline uint32_t sobolNext(SobolState* s) {
    const uint32_t r = s->x;
    // Gray-code order: going from point i to i + 1 flips the bit at the lowest zero of i.
    s->x ^= s->directions[lowestZeroBit(s->i) & 31];
    s->i += 1;
    return r;
}

// Uniform in (0, 1].
LUMENAR_HD inline float sobolUniform(SobolState* s) {
    return uniformFromBits(sobolNext(s));
}

}  // namespace lumenar
