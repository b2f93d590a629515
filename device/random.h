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

// ---- scrambled Sobol points per pixel --------------------------------------
//
// The low-discrepancy numbers of the path tracer: for every pixel sample
// (sample index k, counted from 0 over the whole run) and every pair of
// dimensions, a point of the first two dimensions of the Sobol sequence (a
// (0, 2)-sequence in base 2) under hash-based nested uniform (Owen)
// scrambling. Each pair of each pixel gets its own scramble of the sample
// index (which keeps every aligned block of 2^m samples a block of the
// sequence, so the first 2^m samples of a pixel are stratified in every
// elementary interval of area 2^-m) and of both coordinates; pairs are
// decorrelated from each other and pixels from their neighbours. Everything
// is a pure function of (pixel seed, k, dimension), so any thread count,
// frame range and backend draws the same numbers.

LUMENAR_HD inline uint32_t reverseBits32(uint32_t x) {
    x = ((x >> 1) & 0x55555555u) | ((x & 0x55555555u) << 1);
    x = ((x >> 2) & 0x33333333u) | ((x & 0x33333333u) << 2);
    x = ((x >> 4) & 0x0f0f0f0fu) | ((x & 0x0f0f0f0fu) << 4);
    x = ((x >> 8) & 0x00ff00ffu) | ((x & 0x00ff00ffu) << 8);
    return (x >> 16) | (x << 16);
}

// A permutation of 32-bit words in which each bit depends only on itself and
// the less significant bits (so applied to bit-reversed values it scrambles
// from the most significant digit down, as nested uniform scrambling does).
LUMENAR_HD inline uint32_t laineKarrasPermutation(uint32_t x, uint32_t seed) {
    x += seed;
    x ^= x * 0x6c50b47cu;
    x ^= x * 0xb82f1e52u;
    x ^= x * 0xc7afe638u;
    x ^= x * 0x8d22f6e6u;
    return x;
}

// Nested uniform scrambling of a 32-bit fixed-point value in [0, 1).
LUMENAR_HD inline uint32_t owenScramble(uint32_t x, uint32_t seed) {
    return reverseBits32(laineKarrasPermutation(reverseBits32(x), seed));
}

// 32-bit hash (lowbias32).
LUMENAR_HD inline uint32_t hash32(uint32_t x) {
    x ^= x >> 16;
    x *= 0x7feb352du;
    x ^= x >> 15;
    x *= 0x846ca68bu;
    x ^= x >> 16;
    return x;
}

LUMENAR_HD inline uint32_t hashCombine(uint32_t seed, uint32_t v) {
    return hash32(seed ^ (v + 0x9e3779b9u + (seed << 6) + (seed >> 2)));
}

// The first two dimensions of the Sobol sequence at index i, as 32-bit
// fixed-point values: the van der Corput sequence and the dimension of the
// polynomial x + 1.
LUMENAR_HD inline uint32_t sobolFirst(uint32_t i) {
    return reverseBits32(i);
}
//
// The second dimension's direction words are the rows of Pascal's triangle
// mod 2: index bit k contributes to output bit 31 - m exactly when C(k, m) is
// odd, that is (Lucas) when the bits of m are among those of k. Read in
// reversed bit order the point is therefore the XOR over supersets of each
// bit position, which five shift-and-mask steps form (sobolSecondReversed).
LUMENAR_HD inline uint32_t sobolSecondReversed(uint32_t i) {
    i ^= (i >> 1) & 0x55555555u;
    i ^= (i >> 2) & 0x33333333u;
    i ^= (i >> 4) & 0x0f0f0f0fu;
    i ^= (i >> 8) & 0x00ff00ffu;
    i ^= (i >> 16) & 0x0000ffffu;
    return i;
}
LUMENAR_HD inline uint32_t sobolSecond(uint32_t i) {
    return reverseBits32(sobolSecondReversed(i));
}

// owenScramble of the two dimensions at index i (the scramble works on
// reversed bits, so the points are formed there directly).
LUMENAR_HD inline uint32_t scrambledSobolFirst(uint32_t i, uint32_t seed) {
    return reverseBits32(laineKarrasPermutation(i, seed));
}
LUMENAR_HD inline uint32_t scrambledSobolSecond(uint32_t i, uint32_t seed) {
    return reverseBits32(laineKarrasPermutation(sobolSecondReversed(i), seed));
}

// Dimension `dim` of sample k of the pixel whose seed is pixelSeed, as a
// 32-bit fixed-point value; dimensions 2j and 2j + 1 form one stratified pair.
LUMENAR_HD inline uint32_t scrambledSobolBits(uint32_t pixelSeed, uint32_t k, uint32_t dim) {
    const uint32_t pairSeed = hashCombine(pixelSeed, dim >> 1);
    const uint32_t i = owenScramble(k, pairSeed);
    const uint32_t s = hashCombine(pairSeed, 1u + (dim & 1u));
    return (dim & 1u) ? scrambledSobolSecond(i, s) : scrambledSobolFirst(i, s);
}

// Both dimensions 2 pair and 2 pair + 1 at once (as scrambledSobolBits gives
// them one by one), for callers that draw a whole pair: the index scramble is
// shared.
LUMENAR_HD inline void scrambledSobolPairBits(uint32_t pixelSeed, uint32_t k, uint32_t pair, uint32_t* first,
                                              uint32_t* second) {
    const uint32_t pairSeed = hashCombine(pixelSeed, pair);
    const uint32_t i = owenScramble(k, pairSeed);
    *first = scrambledSobolFirst(i, hashCombine(pairSeed, 1u));
    *second = scrambledSobolSecond(i, hashCombine(pairSeed, 2u));
}

// The same in (0, 1].
LUMENAR_HD inline float scrambledSobol(uint32_t pixelSeed, uint32_t k, uint32_t dim) {
    return uniformFromBits(scrambledSobolBits(pixelSeed, k, dim));
}

// Seed of one pixel sample slot under sequence seed S.
LUMENAR_HD inline uint32_t pixelSampleSeed(uint32_t sequenceSeed, uint32_t slot) {
    return hashCombine(hash32(sequenceSeed ^ 0x5bd1e995u), slot);
}

}  // namespace lumenar
