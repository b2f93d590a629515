// Per-path record of the wavefront path tracer.
#pragma once

#include <cstddef>

#include "scene/types.h"

namespace lumenar {

struct pixelData {
    Ray ray;
    Color throughput;
    int32_t pixelIndex;  // y * W + x of the final image
    int32_t alive;       // non-zero while the path continues
    int32_t pathIndex;   // the path's camera-sample slot; with the frame seed and bounce it seeds the path's
                         // numbers
};

static_assert(sizeof(pixelData) == 48, "pixelData layout");
static_assert(offsetof(pixelData, pixelIndex) == 36, "pixelData layout");

struct IsTerminated {
    LUMENAR_HD bool operator()(const pixelData& p) const { return p.alive == 0; }
};

// 32-bit integer hash turning the frame number into the frame seed.
LUMENAR_HD inline uint32_t WangHash(uint32_t n) {
    uint32_t h = (n ^ 61u) ^ (n >> 16);
    h *= 9u;
    h ^= h >> 4;
    h *= 0x27d4eb2du;
    h ^= h >> 15;
    return h;
}

}  // namespace lumenar
