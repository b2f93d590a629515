// The quasi-random states behind the primary-ray jitter and the Metropolis
// large steps: two scrambled Sobol states per sample slot.
#pragma once

#include <cstdint>

#include "device/memory.h"
#include "device/random.h"

namespace lumenar {

constexpr uint32_t kSobolSkipAhead = 1234;

// Dimensions the states of n sample slots draw from (state 2i uses dimension
// i / 32, state 2i + 1 dimension (n + i) / 32).
int sobolDimensionsFor(int n);

// Per-slot set-up: state 2 idx takes dimension idx / 32 and scramble word
// 2 idx; state 2 idx + 1 takes dimension (n + idx) / 32 and scramble word
// 2 idx + 1; both skip ahead 1234 points. n = W * H.
void initSobolStates(const uint32_t* directions, const uint32_t* scrambles, SobolState* states, int W, int H);

// Owns the direction table, the scramble words and the 2 * W * H states on the
// device. The tables are sized from the image, so any image size works.
class SobolStates {
 public:
    bool create(int W, int H);
    SobolState* states() const { return states_.get(); }
    std::size_t count() const { return states_.size(); }

 private:
    device::Buffer<uint32_t> directions_;
    device::Buffer<uint32_t> scrambles_;
    device::Buffer<SobolState> states_;
};

}  // namespace lumenar
