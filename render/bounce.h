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

#include "accel/device_layout.h"
#include "device/hd.h"
#include "device/random.h"
#include "render/bsdf.h"
#include "render/environment.h"
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
// only (later bounces took it in the previous vertex's next-event estimate).
LUMENAR_HD inline Color escapedRadiance(const Color& bgcolor, const EnvironmentView& env, const Vector3d& dir,
                                        bool direct) {
    if (!env) return bgcolor;
    return direct ? envRadiance(env, normalize(dir)) : Color(0.0f, 0.0f, 0.0f);
}

// A path that leaves the scene picks up the background and ends.
LUMENAR_HD inline BounceResult missResult(const Color& bgcolor, const Ray& ray) {
    return BounceResult{bgcolor, Color(0.0f, 0.0f, 0.0f), ray, -1};
}

// Index of the light chosen by xi in (0, 1] among lightCount > 0 lights,
// all equally likely.
LUMENAR_HD inline int chooseLight(float xi, int lightCount) {
    const int j = static_cast<int>(static_cast<float>(lightCount) * xi);
    return j >= lightCount ? lightCount - 1 : j;
}

// Index of the light chosen by xi in (0, 1] by the lights' choice
// probabilities (prepareLightChoice): the first whose running sum reaches xi.
LUMENAR_HD inline int chooseLightByPower(float xi, const deviceLightTriangle* lights, int lightCount) {
    int lo = 0, hi = lightCount - 1;
    while (lo < hi) {
        const int mid = (lo + hi) / 2;
        if (lights[mid].choiceCdf < xi)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

// Chance that the light choice picks the light of scene triangle `triangle`
// (the list is sorted by triangle); 0 for a triangle outside the list.
LUMENAR_HD inline float lightChoicePdfOf(int triangle, const deviceLightTriangle* lights, int lightCount) {
    int lo = 0, hi = lightCount - 1;
    while (lo <= hi) {
        const int mid = (lo + hi) / 2;
        const int t = lights[mid].triangleIndex;
        if (t == triangle) return lights[mid].choicePdf;
        if (t < triangle)
            lo = mid + 1;
        else
            hi = mid - 1;
    }
    return 0.0f;
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
    float pdf;  // solid-angle density including the light's choice probability; 0 behind the light
    Color Le;
};

LUMENAR_HD inline LightSample sampleLightPoint(const deviceLightTriangle& l, const Vector3d& x, float xa,
                                               float xb) {
    const float sigma = sqrtf(1.0f - xa);
    const Vector3d p = l.p1 + (l.p2 - l.p1) * (sigma * xb) + (l.p3 - l.p1) * (1.0f - sigma);
    const Vector3d toP = p - x;
    LightSample s;
    s.dir = normalize(toP);
    const float dist2 = dot(toP, toP);
    s.dist = sqrtf(dist2);
    const float cosL = -dot(l.normal, s.dir);
    s.pdf = cosL >= 0.0f ? (l.invArea * dist2 / cosL) * l.choicePdf : 0.0f;
    s.Le = emissionToward(l, s.dir);
    return s;
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
};

// Fills in what textured shading reads at a closest hit (nothing when the
// scene has no textured material, so such scenes shade as they always did).
LUMENAR_HD inline void setTextureHit(const SurfaceHitRecord& rec, const SceneTextures& t, SurfaceHit* hit) {
    if (!t.maps) return;
    hit->triangleIndex = rec.triangleIndex;
    hit->b1 = rec.b1;
    hit->b2 = rec.b2;
    hit->textures = &t;
}

// The shading hit of a closest-hit record along ray r.
LUMENAR_HD inline SurfaceHit surfaceHitOf(const Ray& r, const SurfaceHitRecord& rec, const SceneTextures& t) {
    SurfaceHit hit;
    hit.point = r.origin + r.direction * rec.t;
    hit.normal = normalize(rec.normal);
    hit.t = rec.t;
    hit.materialIndex = rec.materialIndex;
    setTextureHit(rec, t, &hit);
    return hit;
}

// The material at a hit, its textures applied.
LUMENAR_HD inline Material hitMaterial(const Material* materials, const SurfaceHit& hit) {
    const Material& m = materials[hit.materialIndex];
    if (!hit.textures) return m;
    return shadingMaterial(m, hit.materialIndex, *hit.textures, hit.triangleIndex, hit.b1, hit.b2);
}

// What the nearest-surface query reports along a BSDF-sampled direction:
// whether the nearest surface is an emissive triangle of the light list, and
// what light sampling needs to know about it.
struct EmitterHit {
    bool found = false;
    bool escaped = false;  // nothing at all along the ray: it leaves the scene
    float t = 0.0f;        // ray distance of the hit
    Vector3d normal;       // unit face normal, the emitting side (as in deviceLightTriangle)
    float invArea = 0.0f;
    Color emission;
    int32_t triangle = -1;  // index of the scene triangle hit (finds its light choice probability)
};

// The emitter record of triangle `tri` (scene triangle `index`) hit at
// distance t (the tracer's and the tests' queries share it).
LUMENAR_HD inline EmitterHit emitterHitOf(const deviceTriangle& tri, const Material* materials, float t,
                                          int index = -1) {
    EmitterHit e;
    e.triangle = index;
    const Material& m = materials[tri.materialIndex];
    if (!tri.isLight || !m.isEmissive()) return e;
    e.found = true;
    e.t = t;
    e.normal = emitterFaceNormal(tri.p1, tri.p2, tri.p3, tri.normal1, tri.normal2, tri.normal3);
    e.invArea = tri.invArea;
    e.emission = m.emission;
    return e;
}

// Solid-angle density with which light sampling (the light picked with
// probability choicePdf, then a point uniform over its area) produces the
// direction dir that meets the emitter at distance dist; 0 from behind it.
LUMENAR_HD inline float lightPdfAlong(const Vector3d& normal, float invArea, float dist, const Vector3d& dir,
                                      float choicePdf) {
    const float cosL = -dot(normal, dir);
    return cosL > 0.0f ? (invArea * dist * dist / cosL) * choicePdf : 0.0f;
}

// The environment as a light beside the emissive triangles.
struct EnvironmentLight {
    EnvironmentView view;
    // Chance that next-event estimation samples the environment rather than
    // a triangle (1 without emissive triangles).
    float probability = 0.0f;

    LUMENAR_HD explicit operator bool() const { return static_cast<bool>(view); }
};

// How much of next-event estimation goes to the environment: in proportion to
// the radiance it sends in (integrated over the sphere) against what the
// triangles send in from the scene's size, so that a dim sky beside a bright
// lamp, or the reverse, gets few shadow rays; never below 5 % for either.
// `trianglePower` is the sum of emitted luminance times area.
inline float environmentLightProbability(float environmentPower, float trianglePower, float sceneRadius,
                                         int lightCount) {
    if (!(environmentPower > 0.0f)) return 0.0f;
    if (lightCount <= 0) return 1.0f;
    const float r2 = sceneRadius > 0.0f ? sceneRadius * sceneRadius : 1.0f;
    const float t = trianglePower / r2;
    const float p = environmentPower / (environmentPower + t);
    return fminf(fmaxf(p, 0.05f), 0.95f);
}

// One light drawn for next-event estimation: the environment or one of the
// triangles. One number picks it (the same number and the same triangle as
// without an environment when there is none).
struct ChosenLight {
    const deviceLightTriangle* triangle;  // null: the environment
    float triangleShare;                  // probability of picking among the triangles at all
};

// Probability that the light choice picks among the triangles at all.
LUMENAR_HD inline float triangleShareOf(int lightCount, const EnvironmentLight& env) {
    return 1.0f - (env ? (lightCount > 0 ? env.probability : 1.0f) : 0.0f);
}

LUMENAR_HD inline ChosenLight chooseLightOrEnvironment(float xi, int lightCount,
                                                       const deviceLightTriangle* lights,
                                                       const EnvironmentLight& env) {
    ChosenLight c;
    c.triangleShare = triangleShareOf(lightCount, env);
    const float pEnv = 1.0f - c.triangleShare;
    if (xi < pEnv || lightCount <= 0) {
        c.triangle = nullptr;
        return c;
    }
    const float xt = pEnv > 0.0f ? (xi - pEnv) / (1.0f - pEnv) : xi;
    c.triangle = &lights[chooseLightByPower(xt, lights, lightCount)];
    return c;
}

// The light choice and the first number of the point on the light from one
// number. xi picks the light as chooseLightOrEnvironment does; where it fell
// within the chosen light's share of (0, 1] then serves, rescaled, as the
// point's first number, so that a stratified pair (xi, second number) stays
// stratified over all the lights together, not just light by light. Given
// the choice, the rescaled number is uniform. A share below
// kLightShareReused leaves too few distinct values for a smooth point
// density: such a light takes spare, a number of its own, instead.
constexpr float kLightShareReused = 1.0f / 256.0f;
struct LightAndPoint {
    ChosenLight light;
    float xa;  // the point's first number
};
LUMENAR_HD inline LightAndPoint chooseLightAndPoint(float xi, float spare, int lightCount,
                                                    const deviceLightTriangle* lights,
                                                    const EnvironmentLight& env) {
    LightAndPoint r;
    r.light = chooseLightOrEnvironment(xi, lightCount, lights, env);
    float lo = 0.0f, share = 1.0f - r.light.triangleShare;  // the environment's range (0, pEnv]
    if (r.light.triangle) {
        const int k = static_cast<int>(r.light.triangle - lights);
        const float pEnv = share;
        // The range of xt (chooseLightOrEnvironment) that picks light k, in xi.
        const float below = k > 0 ? lights[k - 1].choiceCdf : 0.0f;
        const float above = lights[k].choiceCdf;
        lo = pEnv + below * (1.0f - pEnv);
        share = (above - below) * (1.0f - pEnv);
    }
    float xa = spare;
    if (share >= kLightShareReused) {
        xa = (xi - lo) / share;
        xa = xa > 1.0f ? 1.0f : (xa > 0.0f ? xa : 0.0f);
    }
    r.xa = xa;
    return r;
}

// A point on the chosen light seen from x, with the density of the whole
// choice (light and point).
LUMENAR_HD inline LightSample sampleChosenLight(const ChosenLight& c, const EnvironmentLight& env,
                                                const Vector3d& x, float xa, float xb) {
    if (c.triangle) {
        LightSample s = sampleLightPoint(*c.triangle, x, xa, xb);
        s.pdf *= c.triangleShare;
        return s;
    }
    const EnvSample e = envSample(env.view, xa, xb);
    LightSample s;
    s.dir = e.dir;
    s.dist = FLT_MAX;
    s.pdf = e.pdf * (1.0f - c.triangleShare);
    s.Le = e.Le;
    return s;
}

// Next-event estimate at vertex v (hit point, normals, material index and
// incoming direction filled in). Draws the light choice, the vertex sample
// and, for a non-delta vertex sample, the light point, in that order.
//
// Two techniques, combined with the power heuristic (each sample weighted by
// both densities of its own direction):
//  - along the vertex sample's direction: the nearest surface there, if it is
//    any emissive triangle of the light list, contributes its emission times
//    the sample's weight;
//  - towards a uniform point on the chosen light (chosen by power, see
//    prepareLightChoice; the hit emitter's own choice probability enters the
//    BSDF side's weight).
// With an environment, it is one more light: the light choice picks it with
// env.probability, a point on it is a direction drawn from its image, and a
// sampled direction that leaves the scene takes its radiance.
// A cosine-lobe sample uses only the light point (its direction is not
// traced); a perfectly specular one only its own direction.
//
// Queries q (supplied by the tracer, backed by the BVH):
//   EmitterHit q.nearestEmitter(const Ray& r): the nearest surface along r on
//       [0.00001, largest float], reported when it is a light (emitterHitOf).
//   bool q.occluded(const Vector3d& from, const Vector3d& dir, float dist):
//       whether any triangle lies along dir on [0.00001, dist - 0.001].
//
// With no emissive triangle there is nothing to sample: nothing is drawn and
// the estimate is black.
template <class Draws, class Queries>
LUMENAR_HD Color directLight(VertexObj& v, Draws& next, const Material* materials, int lightCount,
                             const deviceLightTriangle* lights, const Queries& q,
                             DirectLightStrategy strategy = DirectLightStrategy::kMis,
                             const EnvironmentLight& env = EnvironmentLight()) {
    if (lightCount <= 0 && !env) return Color(0.0f, 0.0f, 0.0f);
    // The light is chosen with the light point's first number (see
    // chooseLightAndPoint); this number stands in for it where the chosen
    // light's share is too small to rescale.
    beginSampleSlot(next, kSlotLightChoice);
    const float spare = next();
    const float triangleShare = triangleShareOf(lightCount, env);
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

    // Along the sampled direction.
    Color viaBsdf(0.0f, 0.0f, 0.0f);
    if (bsdfSide && !s.alpha.isBlack()) {
        // A perfectly smooth lobe has no density to weigh against; its own
        // direction carries all of its light.
        const float pdfB = s.isDelta ? 1.0f : v.pdf(s.ray.direction);
        if (pdfB > 0.0f) {
            const EmitterHit e = q.nearestEmitter(s.ray);
            if (e.found && dot(e.normal, s.ray.direction) < 0.0f) {
                float w = 1.0f;
                if (mis) {
                    const float choice = lightChoicePdfOf(e.triangle, lights, lightCount);
                    const float pdfL =
                        lightPdfAlong(e.normal, e.invArea, e.t + kRayOffset, s.ray.direction, choice) *
                        triangleShare;
                    w = powerHeuristic(pdfB, pdfL);
                }
                viaBsdf = e.emission * s.alpha * w;
            } else if (e.escaped && env) {
                const Vector3d dir = normalize(s.ray.direction);
                float w = 1.0f;
                if (mis) w = powerHeuristic(pdfB, envPdf(env.view, dir) * (1.0f - triangleShare));
                viaBsdf = envRadiance(env.view, dir) * s.alpha * w;
            }
        }
    }

    // Towards a point on the light.
    Color viaLight(0.0f, 0.0f, 0.0f);
    if (!s.isDelta) {
        beginSampleSlot(next, kSlotLightPoint);
        const float xi = next();
        const float xb = next();
        if (lightSide) {
            const LightAndPoint lp = chooseLightAndPoint(xi, spare, lightCount, lights, env);
            const LightSample ls = sampleChosenLight(lp.light, env, v.hitPoint, lp.xa, xb);
            const Color f = v.bsdf(ls.dir);
            if (ls.pdf > 0.0f && !ls.Le.isBlack() && (f.r > 0.0f || f.g > 0.0f || f.b > 0.0f) &&
                !q.occluded(v.hitPoint, ls.dir, ls.dist)) {
                const float w = mis ? powerHeuristic(ls.pdf, v.pdf(ls.dir)) : 1.0f;
                viaLight = f * ls.Le * (fabsf(dot(v.surfaceNormal, ls.dir)) * w / ls.pdf);
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

// Everything of one bounce after the nearest hit: emitter rule, continuation,
// next-event estimate and roulette. Draw order: continuation (3 or 4),
// light choice (1), vertex sample (3 or 4), light point (2, non-delta vertex
// samples only), roulette (1). `throughput` is the path's weight before this
// bounce, which the roulette decides on (russianRoulette).
template <class Draws, class Queries>
LUMENAR_HD BounceResult shadeHitFrom(const Ray& ray, const SurfaceHit& hit, int bounce, Draws& next,
                                     const Material* materials, int lightCount,
                                     const deviceLightTriangle* lights, const Queries& q,
                                     DirectLightStrategy strategy = DirectLightStrategy::kMis,
                                     const EnvironmentLight& env = EnvironmentLight(),
                                     const Color& throughput = Color(1.0f, 1.0f, 1.0f)) {
    const Vector3d d = normalize(ray.direction);
    const Material m = hitMaterial(materials, hit);
    if (m.isEmissive()) {
        // Emitters end paths. Seen directly from the camera their front adds
        // its emission; later hits were already counted by the previous
        // bounce's next-event estimate.
        const bool front = bounce == 0 && dot(hit.normal, -d) > 0.0f;
        return BounceResult{front ? m.emission : Color(0.0f, 0.0f, 0.0f), Color(1.0f, 1.0f, 1.0f), ray, -1};
    }

    const ShadingPoint p = shadingPoint(m, hit.normal, -d);
    beginSampleSlot(next, kSlotContinuation);
    const Continuation c = sampleContinuationAt(hit.point, p, next);

    VertexObj v = surfaceVertexAt(hit, d);
    v.materialIndex = 0;  // the vertex reads the material resolved above
    v.usePoint(p);

    BounceResult r;
    r.radiance = directLight(v, next, &m, lightCount, lights, q, strategy, env);
    r.factor = c.factor;
    r.next = c.ray;
    beginSampleSlot(next, kSlotRoulette);
    r.code = russianRoulette(r.factor, next(), throughput, bounce, rouletteWeightFor(next)) ? bounce + 1 : -1;
    return r;
}

template <class Queries>
LUMENAR_HD BounceResult shadeHit(const Ray& ray, const SurfaceHit& hit, int bounce, XorwowState* rng,
                                 const Material* materials, int lightCount, const deviceLightTriangle* lights,
                                 const Queries& q, DirectLightStrategy strategy = DirectLightStrategy::kMis,
                                 const EnvironmentLight& env = EnvironmentLight(),
                                 const Color& throughput = Color(1.0f, 1.0f, 1.0f)) {
    XorwowDraws draws{rng};
    return shadeHitFrom(ray, hit, bounce, draws, materials, lightCount, lights, q, strategy, env, throughput);
}

}  // namespace lumenar
