// The progressive sample sequence and where a run sits in it. Frame k
// (counted from 1 over the whole sequence) always draws with the same seed
// and the same quasi-random jitter, whichever run renders it, so runs over
// disjoint frame ranges add up to the image one run of all frames gives. A
// sequence seed S picks an independent sequence; S = 0 is the one a plain run
// renders.
#pragma once

#include <cstdint>

#include "device/hd.h"
#include "device/random.h"
#include "render/bounce.h"
#include "render/path_state.h"

namespace lumenar {

// Seed of frame k (from 1) of sequence S.
LUMENAR_HD inline uint32_t sequenceFrameSeed(uint32_t frame, uint32_t sequenceSeed) {
    if (sequenceSeed == 0) return WangHash(frame);
    // Bijective in (S, k): no two frames of different sequences share a key.
    return static_cast<uint32_t>(mixSeed((static_cast<uint64_t>(sequenceSeed) << 32) | frame) >> 32);
}

// The xor applied to the scramble word of Sobol state i under sequence S
// (0 for S = 0): a random digital shift, which keeps the points stratified.
LUMENAR_HD inline uint32_t sequenceScrambleShift(uint32_t sequenceSeed, uint32_t state) {
    if (sequenceSeed == 0) return 0;
    return static_cast<uint32_t>(
        mixSeed((static_cast<uint64_t>(sequenceSeed) << 32) ^ (0x9e3779b97f4a7c15ull + state)));
}

// Moves a Sobol state that stands at the start of the sequence to frame
// `firstFrame` of sequence S: `firstFrame` points later, scrambled for S.
LUMENAR_HD inline void positionSobolState(SobolState* s, uint32_t index, uint32_t firstFrame,
                                          uint32_t sequenceSeed) {
    s->x ^= sequenceScrambleShift(sequenceSeed, index);
    if (firstFrame > 0) sobolSkipAhead(firstFrame, s);
}

// Salt of the Metropolis chains of a run that starts at frame offset K of
// sequence S. Chains cannot resume another run's state, so each run's
// chains are independent; the plain run (K = 0, S = 0) keeps salt 0.
inline uint32_t metroRunSalt(uint32_t firstFrame, uint32_t sequenceSeed) {
    if (firstFrame == 0 && sequenceSeed == 0) return 0;
    const uint64_t key = (static_cast<uint64_t>(sequenceSeed) << 32) | firstFrame;
    const uint32_t salt = static_cast<uint32_t>(mixSeed(key ^ 0x6a09e667f3bcc909ull));
    return salt == 0 ? 1u : salt;
}

// Positions all `count` Sobol states (as SobolStates::create leaves them) for
// a run that starts after frame `firstFrame` of sequence S. Returns whether
// the launch ran.
bool positionSobolStates(SobolState* states, int count, uint32_t firstFrame, uint32_t sequenceSeed);

}  // namespace lumenar
