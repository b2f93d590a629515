#include "device/sobol.h"

#include <algorithm>
#include <mutex>

namespace lumenar {

namespace {

// Product of a and b modulo p over GF(2); p has degree d, a and b are below 2^d.
uint64_t mulMod(uint64_t a, uint64_t b, uint64_t p, int d) {
    uint64_t r = 0;
    while (b) {
        if (b & 1u) r ^= a;
        b >>= 1;
        a <<= 1;
        if ((a >> d) & 1u) a ^= p;
    }
    return r;
}

uint64_t powMod(uint64_t base, uint64_t e, uint64_t p, int d) {
    uint64_t r = 1;
    while (e) {
        if (e & 1u) r = mulMod(r, base, p, d);
        base = mulMod(base, base, p, d);
        e >>= 1;
    }
    return r;
}

std::vector<uint64_t> primeFactors(uint64_t n) {
    std::vector<uint64_t> f;
    for (uint64_t q = 2; q * q <= n; ++q) {
        if (n % q == 0) {
            f.push_back(q);
            while (n % q == 0) n /= q;
        }
    }
    if (n > 1) f.push_back(n);
    return f;
}

// p (degree d, constant term 1) is primitive when x has order exactly 2^d - 1.
bool isPrimitive(uint64_t p, int d, const std::vector<uint64_t>& factors) {
    if (d == 1) return p == 0b11;
    // Cheap filter first: x^(2^d) must equal x.
    uint64_t x = 2;
    for (int i = 0; i < d; ++i) x = mulMod(x, x, p, d);
    if (x != 2) return false;
    const uint64_t order = (uint64_t{1} << d) - 1;
    for (uint64_t q : factors)
        if (powMod(2, order / q, p, d) == 1) return false;
    return true;
}

uint64_t splitMix64(uint64_t& state) {
    uint64_t z = (state += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

std::mutex gPolyMutex;
std::vector<uint32_t> gPolys;  // cache: generation is the costly part for many dimensions
int gNextDegree = 1;

}  // namespace

std::vector<uint32_t> primitivePolynomials(int count) {
    std::lock_guard<std::mutex> lock(gPolyMutex);
    while (static_cast<int>(gPolys.size()) < count && gNextDegree < 32) {
        const int d = gNextDegree++;
        const std::vector<uint64_t> factors = primeFactors((uint64_t{1} << d) - 1);
        for (uint64_t p = (uint64_t{1} << d) | 1u; p < (uint64_t{1} << (d + 1)); p += 2)
            if (isPrimitive(p, d, factors)) gPolys.push_back(static_cast<uint32_t>(p));
    }
    return std::vector<uint32_t>(gPolys.begin(),
                                 gPolys.begin() + std::min<std::size_t>(count, gPolys.size()));
}

std::vector<uint32_t> sobolDirectionVectors(int dimensions) {
    if (dimensions <= 0) return {};
    std::vector<uint32_t> v(static_cast<std::size_t>(dimensions) * kSobolBits);
    for (int k = 0; k < kSobolBits; ++k) v[k] = 1u << (31 - k);
    const std::vector<uint32_t> polys = primitivePolynomials(dimensions - 1);

    uint64_t m[kSobolBits + 1];
    for (int j = 1; j < dimensions; ++j) {
        const uint32_t p = polys[j - 1];
        int s = 0;
        while ((p >> (s + 1)) != 0) ++s;  // degree
        uint64_t hashState = 0x5eed0000ull + static_cast<uint64_t>(j) * 0x10001ull;
        for (int k = 1; k <= kSobolBits; ++k) {
            if (k <= s) {
                const uint64_t h = splitMix64(hashState);
                m[k] = (h & ((uint64_t{1} << k) - 1)) | 1u;
            } else {
                uint64_t mk = (m[k - s] << s) ^ m[k - s];
                for (int i = 1; i < s; ++i)
                    if ((p >> (s - i)) & 1u) mk ^= m[k - i] << i;
                m[k] = mk;
            }
        }
        uint32_t* out = &v[static_cast<std::size_t>(j) * kSobolBits];
        for (int k = 1; k <= kSobolBits; ++k) out[k - 1] = static_cast<uint32_t>(m[k] << (32 - k));
    }
    return v;
}

std::vector<uint32_t> sobolScrambleConstants(std::size_t count) {
    std::vector<uint32_t> c(count);
    uint64_t state = 0x13579bdf2468ace0ull;
    for (auto& w : c) w = static_cast<uint32_t>(splitMix64(state) >> 32);
    return c;
}

}  // namespace lumenar
