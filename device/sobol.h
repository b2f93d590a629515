// Sobol direction numbers and scramble constants, generated rather than read
// from a fixed table, so any number of dimensions is available.
//
// Dimension 0 is the van der Corput sequence. Dimension j >= 1 uses the j-th
// primitive polynomial over GF(2) (ordered by degree, then by value) and
// initial direction numbers m_k chosen odd and below 2^k by a fixed hash, the
// standard recurrence filling the rest.
#pragma once

#include <cstdint>
#include <vector>

namespace lumenar {

constexpr int kSobolBits = 32;

// 32 words per dimension, dimension-major.
std::vector<uint32_t> sobolDirectionVectors(int dimensions);

// Fixed pseudo-random scramble words.
std::vector<uint32_t> sobolScrambleConstants(std::size_t count);

// Primitive polynomials over GF(2) in generation order, as bit masks with the
// leading and constant terms included (x^2 + x + 1 is 0b111). Exposed for tests.
std::vector<uint32_t> primitivePolynomials(int count);

}  // namespace lumenar
