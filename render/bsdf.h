// Surface scattering of an interactive path: the continuation sampler that
// extends a path by one bounce through the material model (material.h).
#pragma once

#include "render/directions.h"
#include "render/material.h"

namespace lumenar {

struct Continuation {
    Ray ray;
    Color factor;
    int32_t lobe;
};

// Continuation of an interactive path at hit point x with surface normal n
// for the unit ray direction d: a direction sampled from the material and
// its weight (BSDF x cosine / density). Takes three numbers, four for the
// interface lobes. A path that meets the surface exactly edge-on is treated
// as arriving just above it.
template <class Draws>
LUMENAR_HD Continuation sampleContinuationAt(const Vector3d& x, const ShadingPoint& p, Draws& next) {
    const MaterialSample s = sampleMaterial(p, next);
    Continuation c;
    c.factor = s.weight;
    c.lobe = s.lobe;
    c.ray = Ray(x + s.wi * kRayOffset, s.wi);
    return c;
}

template <class Draws>
LUMENAR_HD Continuation sampleContinuationFrom(const Vector3d& x, const Vector3d& n, const Vector3d& d,
                                               const Material& m, Draws& next, bool subsurface = false) {
    return sampleContinuationAt(x, shadingPoint(m, n, -d, subsurface), next);
}

LUMENAR_HD inline Continuation sampleContinuation(const Vector3d& x, const Vector3d& n, const Vector3d& d,
                                                  const Material& m, XorwowState* rng) {
    XorwowDraws draws{rng};
    return sampleContinuationFrom(x, n, d, m, draws);
}

}  // namespace lumenar
