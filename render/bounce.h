// One bounce of the interactive path tracer, apart from the ray queries:
// per-launch seeding, the emitter and background rules, next-event estimation
// from one light of the light set (render/lights.h) with multiple importance
// sampling, and Russian roulette.
//
// The tracer finds the nearest hit itself and hands the visibility queries in
// through a small object (see traceBounce), so everything here runs and is
// tested without an acceleration structure.
#pragma once

#include <cfloat>
#include <cstdint>

#include "accel/device_layout.h"
#include "device/hd.h"
#include "device/random.h"
#include "render/bsdf.h"
#include "render/environment.h"
#include "render/lights.h"
#include "render/media.h"
#include "render/scene_view.h"
#include "render/texture.h"
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

// Most bounces a seed tells apart (the frame loop runs fewer launches).
constexpr int kSeedBounces = 128;

// ---- the numbers of a path-traced pixel sample ---------------------------------
//
// The first kSobolBounces bounces of a pixel sample draw their important
// numbers from the pixel's scrambled Sobol points (scrambledSobol): each
// bounce has kSampleSlots slots of kSlotDimensions dimensions (two stratified
// pairs), one slot per decision, in this order: continuation (direction
// pair, then lobe), light choice, vertex sample (direction pair, then lobe),
// point on the light (a pair), roulette. Dimensions 0 and 1 are the position
// in the pixel. Draws outside a slot, beyond a slot's dimensions, in a slot
// taken before during the bounce, or in deeper bounces come from the path's
// pseudo-random generator. Every dimension is used at most once per sample.
// One: on the bundled scenes stratifying the second and third bounces as
// well cost more time than it saved noise (lumenar-efficiency-bench, Lambertian
// default box: 15 % more error x seconds with three).
constexpr int kSobolBounces = 1;
constexpr int kSampleSlots = 5;
constexpr int kSlotDimensions = 4;
constexpr uint32_t kFirstBounceDimension = 2;
static_assert(kFirstBounceDimension % 2 == 0 && kSlotDimensions % 2 == 0, "slots begin on a pair");
enum SampleSlot : int {
    kSlotContinuation = 0,
    kSlotLightChoice = 1,
    kSlotVertexSample = 2,
    kSlotLightPoint = 3,
    kSlotRoulette = 4
};

struct PathSampleDraws {
    XorwowState* rng;
    uint32_t pixelSeed = 0;
    uint32_t sampleIndex = 0;
    int bounce = kSobolBounces;  // from kSobolBounces on: pseudo-random throughout
    int slot = -1;               // -1: pseudo-random
    int used = 0;
    uint32_t slotsTaken = 0;
    uint32_t pairSeed = 0;   // scramble seed of the pair begun by the last even draw
    uint32_t pairIndex = 0;  // and its scrambled sample index

    LUMENAR_HD void beginSlot(int s) {
        if (bounce < 0 || bounce >= kSobolBounces || ((slotsTaken >> s) & 1u)) {
            slot = -1;
            return;
        }
        slotsTaken |= 1u << s;
        slot = s;
        used = 0;
    }
    LUMENAR_HD LUMENAR_INLINE float operator()() {
        if (slot < 0 || used >= kSlotDimensions) return xorwowUniform(rng);
        return sobolDraw();
    }
    // The next dimension of the current slot.
    LUMENAR_HD float sobolDraw() {
        const uint32_t dim = kFirstBounceDimension +
                             static_cast<uint32_t>((bounce * kSampleSlots + slot) * kSlotDimensions + used++);
        // Slots start on even dimensions: a pair's first draw scrambles the
        // sample index once for both.
        if (dim & 1u) return uniformFromBits(scrambledSobolSecond(pairIndex, hashCombine(pairSeed, 2u)));
        pairSeed = hashCombine(pixelSeed, dim >> 1);
        pairIndex = owenScramble(sampleIndex, pairSeed);
        return uniformFromBits(scrambledSobolFirst(pairIndex, hashCombine(pairSeed, 1u)));
    }
};

// Marks the start of a decision's numbers; only PathSampleDraws cares.
template <class Draws>
LUMENAR_HD inline void beginSampleSlot(Draws&, int) {}
LUMENAR_HD inline void beginSampleSlot(PathSampleDraws& d, int slot) {
    d.beginSlot(slot);
}

// Bijective 64-bit mix (the finaliser of splitmix64): distinct keys give
// distinct, decorrelated seeds.
LUMENAR_HD inline uint64_t mixSeed(uint64_t z) {
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

// Generator seed of one bounce of one path: a bijective hash of the frame
// seed, the path's identity (pixelData::pathIndex, its camera-sample slot,
// which compaction does not change) and the bounce number. Within a frame no
// two (path, bounce) pairs share a seed, and a path's numbers do not depend on
// where compaction moved it.
LUMENAR_HD inline uint64_t bounceSeed(int frameSeed, int bounce, int pathIndex) {
    const uint64_t key = (static_cast<uint64_t>(static_cast<uint32_t>(frameSeed)) << 32) ^
                         ((static_cast<uint64_t>(static_cast<uint32_t>(pathIndex)) * kSeedBounces) |
                          static_cast<uint64_t>(static_cast<uint32_t>(bounce) % kSeedBounces));
    return mixSeed(key);
}

// Shading normal at barycentrics (u, v); the first weight is formed in double.
LUMENAR_HD inline Vector3d interpolatedNormal(const deviceTriangle& tri, float u, float v) {
    const float w = static_cast<float>(1.0 - static_cast<double>(u) - static_cast<double>(v));
    return normalize(tri.normal1 * w + tri.normal2 * u + tri.normal3 * v);
}

// What a path that leaves the scene at this bounce picks up: the background
// colour; with an environment its radiance, seen directly from the camera
// only (later bounces took it in the previous vertex's next-event estimate),
// and likewise the discs of the suns.
LUMENAR_HD inline Color escapedRadiance(const Color& bgcolor, const LightSet& lights, const Vector3d& dir,
                                        bool direct) {
    Color L = bgcolor;
    if (lights.env) L = direct ? envRadiance(lights.env.view, normalize(dir)) : Color(0.0f, 0.0f, 0.0f);
    if (direct && lights.lightCount > 0) L += sunDiscRadiance(lights, normalize(dir));
    return L;
}

// A path that leaves the scene picks up the background and ends.
LUMENAR_HD inline BounceResult missResult(const Color& bgcolor, const Ray& ray) {
    return BounceResult{bgcolor, Color(0.0f, 0.0f, 0.0f), ray, -1};
}

struct MisWeights {
    float bsdf, light;
};

// Power heuristic for a direction both techniques can produce, from the two
// densities of that same direction.
LUMENAR_HD inline float powerHeuristic(float pdfThis, float pdfOther) {
    const float a = pdfThis * pdfThis, b = pdfOther * pdfOther;
    return a + b > 0.0f ? a / (a + b) : 0.0f;
}

// Which techniques the next-event estimate uses. The interactive tracer uses
// kMis; the two single-technique estimators exist so tests can check that all
// three converge to the same image. A perfectly specular sample always takes
// its light along its own direction.
enum class DirectLightStrategy : int32_t { kMis = 0, kBsdfOnly = 1, kLightOnly = 2 };

LUMENAR_HD inline bool hasNaN(const Color& c) {
    return c.r != c.r || c.g != c.g || c.b != c.b;
}

// Sum of the two weighted estimates; NaN anywhere drops the whole estimate
// (0/0 arises behind a light and at grazing light points).
LUMENAR_HD inline Color combineDirect(const Color& bsdfEstimate, const Color& lightEstimate) {
    const Color d = bsdfEstimate + lightEstimate;
    return hasNaN(d) ? Color(0.0f, 0.0f, 0.0f) : d;
}

// Russian roulette on the path's throughput. Bounces below
// kRouletteMinBounce always go on (the first bounces carry most of the light
// and culling there only adds variance). From then on the path survives with
// probability q = the largest channel of throughput x factor (its weight
// after this bounce) divided by kRouletteWeight, clamped to
// [kRouletteMinSurvival, 1], and the factor is divided by q, so the expected
// weight is unchanged. A path whose weight is at least kRouletteWeight (through
// glass the throughput can exceed 1) always survives and is not rescaled, and
// the floor keeps a survivor's weight from growing more than
// 1 / kRouletteMinSurvival times in one step. A weight with no positive
// channel ends the path. The number xi is taken whether or not it decides
// anything, so the draws of a bounce do not depend on its depth.
//
// kRouletteWeight: culling every path in proportion to its weight (1) cost
// the path tracer most in dim, indirectly lit regions, where the deep bounces
// carry much of the light; with 0.5 the bundled scenes show 1.2 to 1.4 times
// less error for the same time (lumenar-efficiency-bench), the large mesh
// about the same. Metropolis chains keep 1 (kMetroRouletteWeight): their
// paths cost more each, and on scenes/opening the longer ones gave more
// error for the time, not less.
constexpr int kRouletteMinBounce = 3;
constexpr float kRouletteWeight = 0.5f;
constexpr float kMetroRouletteWeight = 1.0f;
constexpr float kRouletteMinSurvival = 0.05f;

LUMENAR_HD inline float rouletteSurvival(const Color& weight, float full = kRouletteWeight) {
    const float m = fmaxf(weight.r, fmaxf(weight.g, weight.b));
    if (!(m > 0.0f)) return 0.0f;
    return fminf(fmaxf(m / full, kRouletteMinSurvival), 1.0f);
}

LUMENAR_HD inline bool russianRoulette(Color& factor, float xi,
                                       const Color& throughput = Color(1.0f, 1.0f, 1.0f),
                                       int bounce = kRouletteMinBounce, float full = kRouletteWeight) {
    const float q = rouletteSurvival(throughput * factor, full);
    if (!(q > 0.0f)) return false;
    if (bounce < kRouletteMinBounce) return true;
    if (xi > q) return false;
    if (q < 1.0f) factor = factor / q;
    return true;
}

// The weight from which a path always goes on, by the sampler that draws
// its numbers; Metropolis's MetroDraws answers kMetroRouletteWeight.
template <class Draws>
LUMENAR_HD inline float rouletteWeightFor(const Draws&) {
    return kRouletteWeight;
}

// The nearest hit of a bounce, as the tracer found it.
struct SurfaceHit {
    Vector3d point;   // origin + t * stored direction
    Vector3d normal;  // interpolated, normalised
    float t;
    int32_t materialIndex;
    // Where on which triangle (barycentric weights of corners 2 and 3), and
    // the scene's textures; without textures the material record is used as
    // it is.
    int32_t triangleIndex = -1;
    float b1 = 0.0f, b2 = 0.0f;
    const SceneTextures* textures = nullptr;
    // World-space width of the footprint that picks texture mip levels.
    float footprint = 0.0f;
};

// Widest the footprint grows at grazing incidence, as a multiple of its
// width across the ray (a round footprint stretched along the surface
// would blur across as well).
constexpr float kMaxFootprintStretch = 8.0f;

// Fills in what textured shading reads at a closest hit of ray r (nothing
// when the scene needs no texture data, so such scenes shade as they always
// did). The footprint is the camera's pixel cone at the length of this ray,
// stretched by the incidence: for a camera ray the pixel's footprint, for
// later rays a lower bound of theirs (their cones started wider).
LUMENAR_HD inline void setTextureHit(const Ray& r, const SurfaceHitRecord& rec, const SceneTextures& t,
                                     SurfaceHit* hit) {
    if (!t.maps) return;
    hit->triangleIndex = rec.triangleIndex;
    hit->b1 = rec.b1;
    hit->b2 = rec.b2;
    hit->textures = &t;
    if (t.pixelSpread > 0.0f) {
        const float len = length(r.direction);
        const float cosine = fabsf(dot(hit->normal, r.direction)) / len;
        const float stretch = cosine * kMaxFootprintStretch > 1.0f ? 1.0f / cosine : kMaxFootprintStretch;
        hit->footprint = rec.t * len * t.pixelSpread * stretch;
    }
}

// The shading hit of a closest-hit record along ray r.
LUMENAR_HD inline SurfaceHit surfaceHitOf(const Ray& r, const SurfaceHitRecord& rec, const SceneTextures& t) {
    SurfaceHit hit;
    hit.point = r.origin + r.direction * rec.t;
    hit.normal = normalize(rec.normal);
    hit.t = rec.t;
    hit.materialIndex = rec.materialIndex;
    setTextureHit(r, rec, t, &hit);
    return hit;
}

LUMENAR_HD inline TexturePoint texturePointOf(const SurfaceHit& hit) {
    TexturePoint p;
    p.triangle = hit.triangleIndex;
    p.b1 = hit.b1;
    p.b2 = hit.b2;
    p.footprint = hit.footprint;
    return p;
}

// What a closest-hit query along a sampled direction dir tells the
// next-event estimate: the nearest surface and whether it emits (towards
// the ray), or (found false) that the ray leaves the scene.
LUMENAR_HD inline EmitterHit sampledDirectionHit(bool found, const SurfaceHitRecord& rec, const SceneView& s,
                                                 const Vector3d& dir) {
    if (!found) {
        EmitterHit e;
        e.escaped = true;
        return e;
    }
    const deviceTriangle& tri = s.triangles[rec.triangleIndex];
    EmitterHit e = emitterHitOf(tri, s.materials, rec.t, rec.triangleIndex);
    // An emissive texture shapes the light as the camera sees it.
    if (e.found && s.textures.maps)
        e.emission *= emissiveTexel(s.textures, tri.materialIndex, rec.triangleIndex, rec.b1, rec.b2);
    // A two-sided emitter sends its light from the face the ray meets.
    if (e.found && emitsBothSides(s.textures, tri.materialIndex) && dot(e.normal, dir) > 0.0f)
        e.normal = -e.normal;
    return e;
}

// The material at a hit, its textures applied.
LUMENAR_HD inline Material hitMaterial(const Material* materials, const SurfaceHit& hit) {
    const Material& m = materials[hit.materialIndex];
    if (!hit.textures) return m;
    return shadingMaterial(m, hit.materialIndex, *hit.textures, texturePointOf(hit));
}

// Next-event estimate at vertex v (hit point, normals, material index and
// incoming direction filled in). Draws the light choice, the vertex sample
// and, for a non-delta vertex sample, the light point, in that order.
//
// Two techniques, combined with the power heuristic (each sample weighted by
// both densities of its own direction):
//  - along the vertex sample's direction: the nearest surface there, if it is
//    an emissive triangle, contributes its emission times the sample's
//    weight; a direction that leaves the scene takes the environment's
//    radiance;
//  - towards a point on a light of the light set, chosen as the set chooses
//    (render/lights.h; the density of the light the sampled direction met,
//    its choice included, enters the BSDF side's weight).
// A cosine-lobe sample uses only the light point (its direction is not
// traced); a perfectly specular one only its own direction.
//
// Queries q (supplied by the tracer, backed by the BVH):
//   EmitterHit q.nearestEmitter(const Ray& r): the nearest surface along r on
//       [0.00001, largest float], and whether it emits (emitterHitOf).
//   Color q.transmittance(const Vector3d& from, const Vector3d& dir, float
//       dist): what gets through along dir to distance dist, per channel:
//       black when a triangle lies on [0.00001, dist - 0.001], else what a
//       medium in the way lets through (white without one).
//   Color q.through(const Ray& r, float t), optional: what gets through a
//       medium along r up to distance t (without it, everything).
//
// With no light there is nothing to sample: nothing is drawn and the
// estimate is black.
template <class Draws, class Queries>
LUMENAR_HD Color directLight(VertexObj& v, Draws& next, const Material* materials, const LightSet& lights,
                             const Queries& q, DirectLightStrategy strategy = DirectLightStrategy::kMis) {
    if (lights.empty()) return Color(0.0f, 0.0f, 0.0f);
    // The light is chosen with the light point's first number (see
    // chooseLightAndPoint); this number stands in for it where the chosen
    // light's share is too small to rescale.
    beginSampleSlot(next, kSlotLightChoice);
    const float spare = next();
    const bool useBsdf = strategy != DirectLightStrategy::kLightOnly;
    const bool useLight = strategy != DirectLightStrategy::kBsdfOnly;
    // With MIS a cosine-lobe vertex sample only picks the lobe: its light
    // comes from the light point, so its direction is never traced.
    const bool traceDiffuse = strategy == DirectLightStrategy::kBsdfOnly;
    beginSampleSlot(next, kSlotVertexSample);
    const ScatterResult s = v.getSampleAndAlphaFrom(next, materials, traceDiffuse);
    const bool bsdfSide = s.isDelta || (useBsdf && (!isCosineLobe(v.lobe) || traceDiffuse));
    const bool lightSide = !s.isDelta && useLight;
    const bool mis = bsdfSide && lightSide;
    // Under a bumped shading normal only directions on the side the surface
    // itself allows carry light (no leaks through it).
    auto allowed = [&](const Vector3d& wi) {
        return !v.checkSides || sidesAgree(v.geometricNormal, v.surfaceNormal, -v.incoming, wi);
    };
    // Delta lights are reached by light sampling alone, whatever the strategy.
    const bool deltaLights = !s.isDelta && lights.lightCount > 0;

    // Along the sampled direction.
    Color viaBsdf(0.0f, 0.0f, 0.0f);
    if (bsdfSide && !s.alpha.isBlack() && allowed(s.ray.direction)) {
        // A perfectly smooth lobe has no density to weigh against; its own
        // direction carries all of its light.
        const float pdfB = s.isDelta ? 1.0f : v.pdf(s.ray.direction);
        if (pdfB > 0.0f) {
            const EmitterHit e = q.nearestEmitter(s.ray);
            if (e.found && dot(e.normal, s.ray.direction) < 0.0f) {
                float w = 1.0f;
                if (mis) w = powerHeuristic(pdfB, emitterPdf(lights, e, e.t + kRayOffset, s.ray.direction));
                viaBsdf = e.emission * s.alpha * w * mediumThrough(q, s.ray, e.t, 0);
            } else if (e.escaped && lights.env) {
                const Vector3d dir = normalize(s.ray.direction);
                float w = 1.0f;
                if (mis) w = powerHeuristic(pdfB, environmentPdf(lights, dir));
                viaBsdf =
                    envRadiance(lights.env.view, dir) * s.alpha * w * mediumThrough(q, s.ray, FLT_MAX, 0);
            }
            if (lights.lightCount > 0) {
                // Spheres before the nearest surface, suns where the ray
                // leaves the scene.
                const Vector3d dir = normalize(s.ray.direction);
                const Color shapes = shapesAlong(
                    lights, v.hitPoint, dir, e.t + kRayOffset, e.escaped,
                    [&](float pdfL) { return mis ? powerHeuristic(pdfB, pdfL) : 1.0f; },
                    [&](float t) { return mediumThrough(q, Ray(v.hitPoint, dir), t, 0); });
                viaBsdf += shapes * s.alpha;
            }
        }
    }

    // Towards a point on the light.
    Color viaLight(0.0f, 0.0f, 0.0f);
    if (!s.isDelta) {
        beginSampleSlot(next, kSlotLightPoint);
        const float xi = next();
        const float xb = next();
        if (lightSide || deltaLights) {
            const LightAndPoint lp = chooseLightAndPoint(lights, xi, spare);
            const LightSample ls = sampleLight(lights, lp.light, v.hitPoint, lp.xa, xb);
            const Color f = allowed(ls.dir) ? v.bsdf(ls.dir) : Color(0.0f, 0.0f, 0.0f);
            if ((lightSide || ls.delta) && ls.pdf > 0.0f && !ls.Le.isBlack() &&
                (f.r > 0.0f || f.g > 0.0f || f.b > 0.0f)) {
                const Color T = q.transmittance(v.hitPoint, ls.dir, ls.dist);
                if (!T.isBlack()) {
                    const float w = mis && !ls.delta ? powerHeuristic(ls.pdf, v.pdf(ls.dir)) : 1.0f;
                    viaLight = f * ls.Le * T * (fabsf(dot(v.surfaceNormal, ls.dir)) * w / ls.pdf);
                }
            }
        }
    }

    return combineDirect(viaBsdf, viaLight);
}

// The shading vertex of a surface hit seen along the unit direction d.
LUMENAR_HD inline VertexObj surfaceVertexAt(const SurfaceHit& hit, const Vector3d& d) {
    VertexObj v;
    v.weight = Color(1.0f, 1.0f, 1.0f);
    v.position = hit.point;
    v.normal = hit.normal;
    v.hitDistance = hit.t;
    v.hitPoint = hit.point;
    v.surfaceNormal = hit.normal;
    v.materialIndex = hit.materialIndex;
    v.incoming = d;
    return v;
}

// One bounce of a path, for every estimator (the path tracer's launches and
// Metropolis's path sampler): the nearest hit along ray, the background or
// the environment where it leaves the scene, the emitter rule, and at a
// surface the continuation, the next-event estimate and Russian roulette.
// With media:
//  - fog: the scene's first Volume attenuates every segment that ends on the
//    front of a surface, per channel; an emitting medium, or any medium when
//    media.inscatter asks, is marched for its emitted light and the light it
//    scatters once from the light set towards the ray's origin; the shadow
//    rays and the sampled directions of the next-event estimate cross it too
//    (FoggedShadowQueries);
//  - subsurface: entering a material whose transparency is negative starts
//    a short random walk inside it, driven by the material's rsc (scattering
//    coefficient) and absorption, which ends where the light leaves it.
// Without media every number drawn and every result is that of a plain
// surface bounce.
//
// Draw order per pass through a surface: fog march (with fog, entering:
// 1, then the march's own), continuation (3 or 4; 1 more, plus 2 per
// scattering event, for a subsurface walk), light choice (1), vertex sample
// (3 or 4), light point (2, non-delta vertex samples only), roulette (1, on
// the path's weight: `throughput` before this bounce times what the bounce
// multiplies it by, see russianRoulette).
//
// Queries q as for directLight, and
//   bool q.nearest(const Ray& r, SurfaceHit* hit): the nearest hit along r on
//       [0.00001, largest float] (hit point, unit normal, distance, material);
//       false where r leaves the scene.
template <class Draws, class Queries, class Stats = NoMediaStats>
LUMENAR_HD BounceResult traceBounce(const Ray& incoming, int bounce, Draws& next, const SceneView& s,
                                    const MediaFlags& media, const Queries& q,
                                    DirectLightStrategy strategy = DirectLightStrategy::kMis,
                                    const Color& throughput = Color(1.0f, 1.0f, 1.0f),
                                    const Stats& stats = Stats()) {
    const Color black(0.0f, 0.0f, 0.0f), white(1.0f, 1.0f, 1.0f);
    const bool fog = media.fog && s.volumeCount >= 1;
    // Media march along rays of unit direction; a plain bounce takes the ray
    // as it comes (a camera ray's direction is not of unit length).
    const bool unit = fog || media.subsurface;
    Ray ray = unit ? Ray(incoming.origin, normalize(incoming.direction)) : incoming;
    Color W = white;  // fog transmittance, walk weights, then the continuation factor
    Color R = black;
    for (int walk = 0;; ++walk) {
        // A walk that keeps re-entering surfaces gives up, dropping its weight.
        if (walk >= kMaxWalkSteps) return BounceResult{R, black, incoming, -1};
        SurfaceHit hit;
        if (!q.nearest(ray, &hit)) {
            // A walk's own rays were never seen by a next-event estimate.
            const Color L = escapedRadiance(s.bgcolor, s.lights, ray.direction, bounce == 0 || walk > 0);
            return BounceResult{R + L * W, black, incoming, -1};
        }
        const Vector3d d = unit ? ray.direction : normalize(ray.direction);
        const Vector3d nl = orientNormal(hit.normal, d);
        const bool entering = dot(hit.normal, nl) > 0.0f;
        const Material m = hitMaterial(s.materials, hit);

        // Fog between the ray's origin and a surface it enters.
        if (fog && entering) {
            const Volume& vol = s.volumes[0];
            Color Tr = expNeg(vol.tau(ray, 0.0f, hit.t, 1.0f, next()));
            if (hasNaN(Tr)) Tr = white;
            const Color before = W;
            W *= Tr;
            if (vol.hasEmission() || media.inscatter) {
                const unsigned long long t0 = stats.marchBegin();
                int samples = 0;
                const FoggedShadowQueries<Queries> fq{q, vol};
                const Color Lv = before * marchMedium(vol, ray, hit.t, next, s.lights, fq, &samples);
                stats.marchEnd(t0, samples);
                if (isFiniteColor(Lv)) R += Lv;
            }
        }

        // Emitters end paths. Seen directly from the camera their front adds
        // its emission; later hits were already counted by the previous
        // bounce's next-event estimate.
        if (bounce == 0 && (dot(hit.normal, -d) > 0.0f || emitsBothSides(s.textures, hit.materialIndex)))
            R += m.emission * W;
        if (m.isEmissive()) return BounceResult{R, W, incoming, -1};

        // The light reflected here reaches the ray's origin through the fog
        // and the walk so far; the continuation factor comes on top.
        const Color arriving = W;
        // A subsurface-marked material in subsurface mode: the coat reflects
        // as usual; what it leaves enters (or leaves) the material and, on
        // entering, starts a walk. Outside subsurface mode it is an opaque
        // material like any other.
        const bool sss = media.subsurface && m.transparency < 0.0f;
        // A normal map bends the shading normal; the surface's own side still
        // decides where light may come from and go (sidesAgree).
        SurfaceHit h = hit;
        Vector3d ng;
        const bool bumped = hit.textures && mappedNormal(*hit.textures, hit.materialIndex,
                                                         texturePointOf(hit), hit.normal, -d, &h.normal, &ng);
        const ShadingPoint p = shadingPoint(m, h.normal, -d, sss);
        beginSampleSlot(next, kSlotContinuation);  // the first pass only: a slot is taken once
        Continuation c = sampleContinuationAt(h.point, p, next);
        if (bumped && !sidesAgree(ng, h.normal, -d, c.ray.direction)) c.factor = black;
        if (sss && c.lobe == kLobeEnter && entering && !c.factor.isBlack()) {
            const Vector3d T = c.ray.direction;
            const Vector3d o = c.ray.origin;
            SurfaceHit exit;
            if (!q.nearest(c.ray, &exit)) return BounceResult{R, W, c.ray, -1};
            const Material mE = hitMaterial(s.materials, exit);
            const float xi = next();
            const float depth = m.rsc > 0.0f ? -logf(xi) / m.rsc : FLT_MAX;
            if (depth < exit.t) {
                // Scatters at this depth; leaves towards the entry side.
                const Vector3d ps = o + T * depth;
                const float phi = azimuth(next());
                const float z = 2.0f * next() - 1.0f;
                const float r = sqrtf(fabsf(z));
                const Frame f = cosineFrame(nl);
                const Vector3d om =
                    f.u * (cosf(phi) * r) + f.v * (sinf(phi) * r) + nl * sqrtf(1.0f - fabsf(z));
                const Color weight = expNeg(m.absorption * depth) * mE.basecolor * c.factor;
                if (!hasNaN(weight)) W *= weight;
                ray = Ray(ps, normalize(om));
                stats.walkStep();
                continue;
            }
            const Color tint = expNeg(m.absorption * exit.t);
            if (!hasNaN(tint)) W *= tint * mE.basecolor;
        }
        W *= c.factor;

        VertexObj v = surfaceVertexAt(h, d);
        v.subsurface = sss;
        v.materialIndex = 0;  // the vertex reads the material resolved above
        v.usePoint(p);
        v.checkSides = bumped;
        v.geometricNormal = ng;
        Color direct;
        if (fog) {
            const FoggedShadowQueries<Queries> fq{q, s.volumes[0]};
            direct = arriving * directLight(v, next, &m, s.lights, fq, strategy);
        } else {
            direct = arriving * directLight(v, next, &m, s.lights, q, strategy);
        }
        if (isFiniteColor(direct)) R += direct;

        BounceResult res;
        res.radiance = R;
        res.factor = W;
        res.next = c.ray;
        beginSampleSlot(next, kSlotRoulette);
        res.code = russianRoulette(res.factor, next(), throughput, bounce, rouletteWeightFor(next))
                       ? bounce + 1
                       : -1;
        return res;
    }
}

}  // namespace lumenar
