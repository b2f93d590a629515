// One bounce of the interactive path tracer, apart from the ray queries:
// per-launch seeding, the emitter and background rules, next-event estimation
// from one randomly chosen emissive triangle with multiple importance
// sampling, and Russian roulette.
//
// The tracer finds the nearest hit itself and hands the visibility queries in
// through a small object (see shadeHit), so everything here runs and is
// tested without an acceleration structure.
#pragma once

#include <cfloat>
#include <cstdint>

#include "device/hd.h"
#include "device/random.h"
#include "render/bsdf.h"
#include "render/vertex.h"
#include "scene/records.h"

namespace lumenar {

// What one bounce hands back to its path.
struct BounceResult {
    Color radiance;  // light gathered here, still to be weighted by the throughput
    Color factor;    // multiplier of the path's throughput
    Ray next;        // continuation ray
    int32_t code;    // -1 ends the path; otherwise the next bounce number
};

// Generator seed of path slot i in a bounce launch: the 32-bit sum of the
// frame seed, the bounce number and the slot, sign-extended. Slots index the
// compacted path array, so every launch draws fresh streams.
LUMENAR_HD inline uint64_t bounceSeed(int frameSeed, int bounce, int i) {
    const uint32_t s =
        static_cast<uint32_t>(frameSeed) + static_cast<uint32_t>(bounce) + static_cast<uint32_t>(i);
    return static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(s)));
}

// Shading normal at barycentrics (u, v); the first weight is formed in double.
LUMENAR_HD inline Vector3d interpolatedNormal(const deviceTriangle& tri, float u, float v) {
    const float w = static_cast<float>(1.0 - static_cast<double>(u) - static_cast<double>(v));
    return normalize(tri.normal1 * w + tri.normal2 * u + tri.normal3 * v);
}

// A path that leaves the scene picks up the background and ends.
LUMENAR_HD inline BounceResult missResult(const Color& bgcolor, const Ray& ray) {
    return BounceResult{bgcolor, Color(0.0f, 0.0f, 0.0f), ray, -1};
}

// Index of the light chosen by xi in (0, 1] among lightCount > 0 lights.
LUMENAR_HD inline int chooseLight(float xi, int lightCount) {
    const int j = static_cast<int>(static_cast<float>(lightCount) * xi);
    return j >= lightCount ? lightCount - 1 : j;
}

// Radiance a light triangle sends along dir (arriving at the shaded point):
// only its front side emits.
LUMENAR_HD inline Color emissionToward(const deviceLightTriangle& l, const Vector3d& dir) {
    return dot(l.normal, dir) < 0.0f ? l.emission : Color(0.0f, 0.0f, 0.0f);
}

// A point drawn uniformly on a light triangle, seen from x.
struct LightSample {
    Vector3d dir;  // unit direction from x to the point
    float dist;
    float pdf;  // solid-angle density including the 1 / lightCount choice; 0 behind the light
    Color Le;
};

LUMENAR_HD inline LightSample sampleLightPoint(const deviceLightTriangle& l, int lightCount,
                                               const Vector3d& x, float xa, float xb) {
    const float sigma = sqrtf(1.0f - xa);
    const Vector3d p = l.p1 + (l.p2 - l.p1) * (sigma * xb) + (l.p3 - l.p1) * (1.0f - sigma);
    const Vector3d toP = p - x;
    LightSample s;
    s.dir = normalize(toP);
    const float dist2 = dot(toP, toP);
    s.dist = sqrtf(dist2);
    const float cosL = -dot(l.normal, s.dir);
    s.pdf = cosL >= 0.0f ? (l.invArea * dist2 / cosL) / static_cast<float>(lightCount) : 0.0f;
    s.Le = emissionToward(l, s.dir);
    return s;
}

struct MisWeights {
    float bsdf, light;
};

// Diffuse samples take light only from the light point, perfectly specular
// ones only from their own direction; the rest use the power heuristic.
LUMENAR_HD inline MisWeights misWeights(int lobe, bool isDelta, float pdfB, float pdfL) {
    if (lobe == kLobeDiffuse) return {0.0f, 1.0f};
    if (isDelta) return {1.0f, 0.0f};
    const float b2 = pdfB * pdfB, l2 = pdfL * pdfL;
    return {b2 / (b2 + l2), l2 / (l2 + b2)};
}

LUMENAR_HD inline bool hasNaN(const Color& c) {
    return c.r != c.r || c.g != c.g || c.b != c.b;
}

// Weighted sum of the two estimates; NaN anywhere drops the whole estimate
// (0/0 arises behind a light and at grazing light points).
LUMENAR_HD inline Color combineDirect(const MisWeights& w, const Color& bsdfEstimate,
                                      const Color& lightEstimate) {
    const Color d = bsdfEstimate * w.bsdf + lightEstimate * w.light;
    return hasNaN(d) ? Color(0.0f, 0.0f, 0.0f) : d;
}

// Russian roulette on the continuation factor: survives with probability
// max(factor) (always when that is at least 1) and is then divided by it.
LUMENAR_HD inline bool russianRoulette(Color& factor, float xi) {
    const float q = fmaxf(factor.r, fmaxf(factor.g, factor.b));
    if (xi > q) return false;
    factor = factor / q;
    return true;
}

// The nearest hit of a bounce, as the tracer found it.
struct SurfaceHit {
    Vector3d point;   // origin + t * stored direction
    Vector3d normal;  // interpolated, normalised
    float t;
    int32_t materialIndex;
};

// Next-event estimate at vertex v (hit point, normals, material index and
// incoming direction filled in). Draws the light choice, the vertex sample
// and, for a non-delta vertex sample, the light point, in that order.
//
// Queries q (supplied by the tracer, backed by the BVH):
//   int q.firstAccepted(const Ray& r): the triangle at which the occlusion
//       traversal from r.origin along r.direction on [0.00001, largest float]
//       stops (the first accepted, not necessarily the nearest); -1 if none.
//   bool q.occluded(const Vector3d& from, const Vector3d& dir, float dist):
//       whether any triangle lies along dir on [0.00001, dist - 0.001].
//
// With no emissive triangle there is nothing to sample: nothing is drawn and
// the estimate is black.
template <class Draws, class Queries>
LUMENAR_HD Color directLight(VertexObj& v, Draws& next, const Material* materials, int lightCount,
                             const deviceLightTriangle* lights, const Queries& q) {
    if (lightCount <= 0) return Color(0.0f, 0.0f, 0.0f);
    const deviceLightTriangle& light = lights[chooseLight(next(), lightCount)];
    // A diffuse vertex sample only picks the lobe: its light comes from the
    // light point, so its direction is never traced.
    const ScatterResult s = v.getSampleAndAlphaFrom(next, materials, false);

    // Along the sampled direction.
    Color viaBsdf(0.0f, 0.0f, 0.0f);
    float pdfB = 0.0f;
    if (v.lobe != kLobeDiffuse) {
        pdfB = v.pdf(s.ray.direction);
        if (pdfB > 0.0f && q.firstAccepted(s.ray) == light.triangleIndex)
            viaBsdf = emissionToward(light, s.ray.direction) * s.alpha;
    }

    // Towards a point on the light.
    Color viaLight(0.0f, 0.0f, 0.0f);
    float pdfL = 0.0f;
    if (!s.isDelta) {
        const float xa = next();
        const float xb = next();
        const LightSample ls = sampleLightPoint(light, lightCount, v.hitPoint, xa, xb);
        pdfL = ls.pdf;
        const Color f = v.bsdf(ls.dir);
        if (f.r > 0.0f && f.g > 0.0f && f.b > 0.0f && !q.occluded(v.hitPoint, ls.dir, ls.dist))
            viaLight = f * ls.Le * (fabsf(dot(v.surfaceNormal, ls.dir)) / ls.pdf);
    }

    return combineDirect(misWeights(v.lobe, s.isDelta, pdfB, pdfL), viaBsdf, viaLight);
}

// Everything of one bounce after the nearest hit: emitter rule, continuation,
// next-event estimate and roulette. Draw order: continuation (3, 4 or 6),
// light choice (1), vertex sample (3 to 6), light point (2, non-delta vertex
// samples only), roulette (1).
template <class Draws, class Queries>
LUMENAR_HD BounceResult shadeHitFrom(const Ray& ray, const SurfaceHit& hit, int bounce, Draws& next,
                                     const Material* materials, int lightCount,
                                     const deviceLightTriangle* lights, const Queries& q) {
    const Vector3d d = normalize(ray.direction);
    const Material& m = materials[hit.materialIndex];
    if (m.isEmissive()) {
        // Emitters end paths. Seen directly from the camera their front adds
        // its emission; later hits were already counted by the previous
        // bounce's next-event estimate.
        const bool front = bounce == 0 && dot(hit.normal, -d) > 0.0f;
        return BounceResult{front ? m.emission : Color(0.0f, 0.0f, 0.0f), Color(1.0f, 1.0f, 1.0f), ray, -1};
    }

    const Continuation c = sampleContinuationFrom(hit.point, hit.normal, d, m, next);

    VertexObj v;
    v.weight = Color(1.0f, 1.0f, 1.0f);
    v.position = hit.point;
    v.normal = hit.normal;
    v.hitDistance = hit.t;
    v.hitPoint = hit.point;
    v.surfaceNormal = hit.normal;
    v.materialIndex = hit.materialIndex;
    v.incoming = d;

    BounceResult r;
    r.radiance = directLight(v, next, materials, lightCount, lights, q);
    r.factor = c.factor;
    r.next = c.ray;
    r.code = russianRoulette(r.factor, next()) ? bounce + 1 : -1;
    return r;
}

template <class Queries>
LUMENAR_HD BounceResult shadeHit(const Ray& ray, const SurfaceHit& hit, int bounce, XorwowState* rng,
                                 const Material* materials, int lightCount, const deviceLightTriangle* lights,
                                 const Queries& q) {
    XorwowDraws draws{rng};
    return shadeHitFrom(ray, hit, bounce, draws, materials, lightCount, lights, q);
}

}  // namespace lumenar
