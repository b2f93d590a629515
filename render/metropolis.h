// Metropolis light transport in primary sample space: one Markov chain per
// pixel over the static scene, traced through the kd-tree.
//
// A chain's state is an MLTSample: a continuous image position and the
// numbers a path evaluation reads. Every frame each chain proposes a mutated
// state (a large step draws a fresh one, a small step perturbs every number a
// little), splats its current and proposed contributions into the running sum
// with expected-value weights, and accepts or rejects the proposal.
//
// The path evaluation is the interactive path tracer's own bounce (traceBounce:
// emitters, next-event estimation with multiple importance sampling,
// continuation and roulette), fed from fixed positions of the sample instead
// of a generator, so both modes converge to the same image.
#pragma once

#include <cstdint>
#include <cstring>

#include "accel/traversal.h"
#include "device/atomics.h"
#include "device/hd.h"
#include "device/memory.h"
#include "device/random.h"
#include "render/accumulation.h"
#include "render/bounce.h"
#include "render/cutout.h"
#include "render/primary_rays.h"
#include "render/sobol_states.h"
#include "render/tracer.h"
#include "scene/camera.h"

namespace lumenar {

class KdTree;

// Numbers a chain carries: 0 and 1 are the image position in pixels, 2 ... 83
// feed the path evaluation.
constexpr int kMetroNumbers = 84;
constexpr int kMetroFirstPathNumber = 2;
// Surface vertices whose numbers the state holds: the first hit and four
// bounces. Paths go on past them (with Russian roulette, as path-traced paths
// do) on numbers drawn from a generator seeded with a hash of the whole state:
// still a function of the state, so a chain's target stays fixed, and no
// light is lost to a depth limit the path tracer does not have.
constexpr int kMetroVertices = 5;
constexpr int kMetroMaxVertices = kMaxBounceLaunches;
// Each vertex reads its own block of positions, in the order traceBounce
// draws: continuation, light choice, vertex sample, light point, roulette.
// Blocks never overlap, so no number drives two decisions of one path.
constexpr int kMetroNumbersPerVertex = 16;
static_assert(kMetroFirstPathNumber + kMetroVertices * kMetroNumbersPerVertex <= kMetroNumbers,
              "every vertex block fits in the sample");

constexpr int kMetroLargeStepPeriod = 4;
// Forced acceptance: a chain rejected this many times in a row accepts its
// next proposal. That moves chains off states they would hold for many
// frames (a bright path through glass, found at start-up or by a large step),
// which would otherwise splat one pixel while the first frames after a
// restart converge. It also takes chains off such states sooner than their
// light asks for, so the chains no longer sample the image's distribution:
// bright paths lose part of their share (on the opening scene the image came
// out several per cent too blue, for good). Forcing therefore holds only for
// the first kMetroForcedWarmUp frames after each restart; from then on the
// chains follow the plain acceptance rule, their distribution returns to the
// image's and what the warm-up put into the average fades as 1 / frames.
constexpr int kMetroForcedAcceptance = 32;
constexpr uint32_t kMetroForcedWarmUp = 64;
constexpr uint32_t kMetroCdfSeedOffset = 1234;
// Start-up picks each chain's first state among one candidate per pixel in
// proportion to its luminance. One candidate per pixel is a poor estimate of
// where the light is: one rare bright candidate (a caustic path found by
// chance, thousands of times the mean) takes tens of thousands of chains,
// which then splat one pixel for frames on end. A capped start (startCap > 0
// in mltSetup; kMetroStartCap with --mlt-capped-start) caps the luminance the
// pick uses at startCap times the mean of the candidates within
// kMetroStartRadius pixels around it (or of all of them, where that is
// larger): such a firefly then takes a handful of chains and the moves carry
// chains to its region at the rate its luminance asks for, while a region
// bright as a whole (a lamp in view) keeps its full share. The chains then
// start a little away from their stationary distribution, which fades as
// the frames run. The normalisation keeps the uncapped mean.
constexpr float kMetroStartCap = 16.0f;
constexpr int kMetroStartRadius = 2;

struct MLTSample {
    float values[kMetroNumbers];
};

// What the chains trace: the scene view, the static kd-tree (the scene
// without its movable objects) and, for each movable object, its subtree of
// the dynamic BVH, walked with the object's current offset. A query takes the
// nearer of the kd-tree's hit and the objects' hits, so the chains see every
// object where it stands, as the path tracer does, without rebuilding the
// kd-tree after a move.
struct KdScene : SceneView {
    const float4* woop = nullptr;
    const NodeProp* nodes = nullptr;
    const int* triIndices = nullptr;
    aabb box;                                      // the enlarged tracing box
    const DynamicBVHNodeProp* bvhNodes = nullptr;  // holds the movable objects' subtrees
    const int* bvhTriIndices = nullptr;
    // Fog, in-scattering and subsurface walks as the path tracer applies them
    // (the renderer sets them from its switches every frame).
    MediaFlags media{};
};

class BVHTree;
// The chains' scene: the kd-tree's view and nodes, and the BVH's subtrees of
// the movable objects.
KdScene kdSceneOf(const KdTree& tree, const BVHTree& bvh);

// ---- queries ---------------------------------------------------------------

// The kd walk plus, for each movable object, the binary BVH walk from the
// root of its subtree.
class MetroTraversal : public TreeTraversal {
 public:
    // Closest hit through the kd-tree and every movable object.
    LUMENAR_HD bool nearest(const KdScene& s, const Ray& ray, SurfaceHitRecord* hit) {
        bool found =
            s.nodes && intersect(ray, hit, s.woop, s.nodes, s.triIndices, s.triangles, s.materials, s.box);
        if (!s.bvhNodes) return found;
        for (int o = 0; o < s.movableCount; ++o) {
            float tmax = found ? hit->t : kRayMaxT, u = 0.0f, v = 0.0f;
            const int tri = bvhWalk<false>(s.bvhNodes, s.movables, s.bvhTriIndices, s.triangles, ray,
                                           s.movables[o].bvhNode, kRayEpsilon, tmax, u, v);
            if (tri < 0) continue;
            *hit = bvhHitRecord(s.triangles, tri, ray, tmax, u, v);
            found = true;
        }
        return found;
    }

    // True when a triangle lies in [kRayEpsilon, dist - 0.001].
    LUMENAR_HD bool blocked(const KdScene& s, const Ray& ray, float dist) {
        if (s.nodes && occlude(ray, dist, s.woop, s.nodes, s.triIndices, s.triangles, s.materials, s.box))
            return true;
        if (!s.bvhNodes) return false;
        for (int o = 0; o < s.movableCount; ++o) {
            float tmax = static_cast<float>(static_cast<double>(dist) - 0.001), u, v;
            if (bvhWalk<true>(s.bvhNodes, s.movables, s.bvhTriIndices, s.triangles, ray,
                              s.movables[o].bvhNode, kRayEpsilon, tmax, u, v) >= 0)
                return true;
        }
        return false;
    }
};

LUMENAR_HD inline bool kdNearestHit(MetroTraversal& tt, const KdScene& s, const Ray& ray,
                                    SurfaceHitRecord* hit) {
#if !defined(__CUDA_ARCH__)
    const bool timed = querystats::enabled();
    const unsigned long long t0 = timed ? querystats::now() : 0;
#endif
    const bool found = nearestOpaqueHit(
        s.textures, ray, hit, [&](const Ray& r, SurfaceHitRecord* h) { return tt.nearest(s, r, h); });
#if !defined(__CUDA_ARCH__)
    if (timed) querystats::add(true, querystats::now() - t0);
#endif
    return found;
}

// The queries the shared shading asks for, answered by the kd-tree and the
// movable objects' subtrees.
struct KdSceneQueries {
    MetroTraversal* tt;
    const KdScene* s;

    // The nearest surface along a sampled direction, and whether it emits
    // (the BSDF-sampling side of the direct-light estimate).
    LUMENAR_HD EmitterHit nearestEmitter(const Ray& r) const {
        SurfaceHitRecord rec;
        const bool found = kdNearestHit(*tt, *s, r, &rec);
        return sampledDirectionHit(found, rec, *s, r.direction);
    }

    LUMENAR_HD bool nearest(const Ray& r, SurfaceHit* hit) const {
        SurfaceHitRecord rec;
        if (!kdNearestHit(*tt, *s, r, &rec)) return false;
        *hit = surfaceHitOf(r, rec, s->textures);
        return true;
    }

    LUMENAR_HD Color transmittance(const Vector3d& from, const Vector3d& dir, float dist) const {
#if !defined(__CUDA_ARCH__)
        const bool timed = querystats::enabled();
        const unsigned long long t0 = timed ? querystats::now() : 0;
#endif
        // Through cut-outs a shadow ray looks for the nearest surface that stops it.
        const bool b = s->textures.cutOuts ? blockedThroughCutOuts(s->textures, from, dir, dist,
                                                                   [&](const Ray& r, SurfaceHitRecord* h) {
                                                                       return tt->nearest(*s, r, h);
                                                                   })
                                           : tt->blocked(*s, Ray(from, dir), dist);
#if !defined(__CUDA_ARCH__)
        if (timed) querystats::add(false, querystats::now() - t0);
#endif
        return b ? Color(0.0f, 0.0f, 0.0f) : Color(1.0f, 1.0f, 1.0f);
    }
};

// ---- path evaluation ---------------------------------------------------------

// A number of a chain state drawn from a generator: in [0, 1).
LUMENAR_HD inline float metroNumber(XorwowState* rng) {
    return xorwowUniform(rng) * kBelowOne;
}

// Seed of the numbers past the state's own: a hash of all of its numbers.
LUMENAR_HD inline uint64_t metroTailSeed(const MLTSample& x) {
    uint64_t h = 0x243f6a8885a308d3ull;
    for (int i = 0; i < kMetroNumbers; ++i) {
        uint32_t bits;
        memcpy(&bits, &x.values[i], sizeof bits);
        h = mixSeed(h ^ bits);
    }
    return h;
}

// The numbers of one vertex: its block of the state in order, then (past
// the block, or for vertices past the state's own) the tail generator,
// seeded from the state on first use. A stored value is in [0, 1); the
// shading expects (0, 1], so 0 reads as 1 (the same point of the circle).
struct MetroDraws {
    const MLTSample* state;
    const float* values;  // the vertex's block, or null
    int used;
    bool tailSeeded;
    XorwowState tail;

    LUMENAR_HD float operator()() {
        if (values && used < kMetroNumbersPerVertex) {
            const float v = values[used++];
            return v > 0.0f ? v : 1.0f;
        }
        if (!tailSeeded) {
            xorwowInit(metroTailSeed(*state), &tail);
            for (int i = 0; i < 5; ++i) xorwowNext(&tail);
            tailSeeded = true;
        }
        return xorwowUniform(&tail);
    }
    LUMENAR_HD MetroDraws& forVertex(int j) {
        values =
            j < kMetroVertices ? state->values + kMetroFirstPathNumber + j * kMetroNumbersPerVertex : nullptr;
        used = 0;
        return *this;
    }
};

LUMENAR_HD inline float rouletteWeightFor(const MetroDraws&) {
    return kMetroRouletteWeight;
}

LUMENAR_HD inline Color finiteOrBlack(const Color& c) {
    return isFinite(c) ? c : Color(0.0f, 0.0f, 0.0f);
}

// Radiance along the camera ray `ray`; draws.forVertex(j) gives the number
// source of surface vertex j. Paths end by roulette, on leaving the scene, at
// an emitter, or after kMetroMaxVertices vertices (the path tracer's launch
// limit). A result that is not finite counts as black.
LUMENAR_HD inline Color metroPath(Ray ray, MetroTraversal& tt, const KdScene& s, MetroDraws& draws) {
    Color result(0.0f, 0.0f, 0.0f);
    Color weight(1.0f, 1.0f, 1.0f);
    const KdSceneQueries q{&tt, &s};
    for (int j = 0; j < kMetroMaxVertices; ++j) {
        // The path tracer's bounce, fed from the vertex's numbers.
        const BounceResult r =
            traceBounce(ray, j, draws.forVertex(j), s, s.media, q, DirectLightStrategy::kMis, weight);
        if (!r.radiance.isBlack()) result += weight * r.radiance;
        if (r.code < 0) break;
        weight = weight * r.factor;
        if (!isFinite(weight)) break;
        ray = r.next;
    }
    return finiteOrBlack(result);
}

// The camera ray through image position (px, py) in pixels.
LUMENAR_HD inline Ray metroCameraRay(const Camera& cam, float px, float py, int W, int H) {
    const Vector3d target = planePoint(cam, px / static_cast<float>(W), py / static_cast<float>(H));
    return Ray(cam.rayOrigin, target - cam.rayOrigin);
}
LUMENAR_HD inline Ray metroCameraRay(const Camera& cam, const MLTSample& x, int W, int H) {
    return metroCameraRay(cam, x.values[0], x.values[1], W, H);
}

// Per-frame evaluation: every decision reads a fixed position of the state
// (past the state's own vertices, its tail numbers).
LUMENAR_HD inline Color metroRadiance(const Camera& cam, const MLTSample& x, int W, int H, MetroTraversal& tt,
                                      const KdScene& s) {
    MetroDraws draws{&x, nullptr, 0, false, XorwowState{}};
    return metroPath(metroCameraRay(cam, x, W, H), tt, s, draws);
}

// The start-up candidate of pixel (x, y) from a generator seeded for it: a
// position inside the pixel, then the path numbers in order.
LUMENAR_HD inline void metroStartState(int x, int y, XorwowState* rng, MLTSample& m) {
    m.values[0] = static_cast<float>(x) + metroNumber(rng);
    m.values[1] = static_cast<float>(y) + metroNumber(rng);
    for (int i = kMetroFirstPathNumber; i < kMetroNumbers; ++i) m.values[i] = metroNumber(rng);
}

// Start-up evaluation of pixel (x, y), driven by a generator: the state's
// numbers are drawn from rng in order (position, then the path numbers; see
// metroStartState) and evaluated, so the estimate belongs to a state a chain
// can start from. Returns the state as well.
LUMENAR_HD inline Color metroRadiance(int x, int y, XorwowState* rng, const Camera& cam, int W, int H,
                                      MetroTraversal& tt, const KdScene& s, MLTSample& state) {
    metroStartState(x, y, rng, state);
    return metroRadiance(cam, state, W, H, tt, s);
}

// Luminance a chain is distributed by: the largest component.
LUMENAR_HD inline float metroLuminance(const Color& c) {
    return fmaxf(c.r, fmaxf(c.g, c.b));
}

// ---- mutations ------------------------------------------------------------------

// The rejection count that forces an acceptance in frame k after a restart
// (from 1): threshold during the warm-up, then 0 (never).
LUMENAR_HD inline int metroForcedAcceptance(uint32_t frame, int threshold) {
    return threshold > 0 && frame <= kMetroForcedWarmUp ? threshold : 0;
}

// Large steps happen on frames 1, 1 + period, 1 + 2 period, ...
LUMENAR_HD inline bool isLargeStep(uint32_t frame, int period) {
    return period > 0 && frame >= 1 && (frame - 1) % static_cast<uint32_t>(period) == 0;
}

// A draw in (0, 1] scaled to an image coordinate in [0, R).
LUMENAR_HD inline float largeStepCoordinate(float s, int R) {
    float v = static_cast<float>(R) * s * kBelowOne;
    if (!(v >= 0.0f) || v >= static_cast<float>(R) || static_cast<int>(v) >= R) v = 0.0f;
    return v;
}

// 2^-t for t in [0, 4], to about 2e-7 relative: the whole powers through the
// exponent bits, the rest by a polynomial. No library call, so a loop over a
// state's numbers vectorises.
LUMENAR_HD inline float exp2NegUpTo4(float t) {
    int k = static_cast<int>(t);
    k = k < 0 ? 0 : k;
    k = k > 3 ? 3 : k;
    // 2^-(k + f) = 2^-k 2^-1/2 e^g with g = (1/2 - f) ln 2, |g| <= 0.35.
    const float g = (0.5f - (t - static_cast<float>(k))) * 0.69314718f;
    const float e =
        1.0f + g * (1.0f + g * (0.5f + g * (1.0f / 6.0f +
                                            g * (1.0f / 24.0f + g * (1.0f / 120.0f + g * (1.0f / 720.0f))))));
    const uint32_t powBits = static_cast<uint32_t>(127 - k) << 23;
    float pow2;
    memcpy(&pow2, &powBits, sizeof pow2);
    return e * 0.70710678f * pow2;
}

// One number of a small step: a perturbation between R/1024 and R/64 (u
// picks the size, v the sign), wrapped into [0, R). Branch-free, for the
// same reason.
LUMENAR_HD inline float smallStepValue(float value, float R, float u, float v) {
    const float delta = (R / 64.0f) * exp2NegUpTo4(4.0f * u);  // (R/64) 16^-u
    float y = value + (v < 0.5f ? delta : -delta);
    y = y >= R ? y - R : y;
    y = y < 0.0f ? y + R : y;
    return ((y >= 0.0f) & (y < R)) ? y : 0.0f;
}

// ---- the numbers of a step --------------------------------------------------------

// A step's random words come from a counter-based hash of the step's key
// (chain, frame and run; see metroStepKey) and the word's position, so no
// word waits on the one before it: the 84 perturbations of a small step are
// independent of each other's arithmetic and run side by side, where a
// sequential generator made them a chain of dependent draws. For a fixed
// key the hash is a bijection of the position (each stage is), so no two
// numbers of one step share a word.
LUMENAR_HD inline uint32_t metroStepWord(uint64_t key, uint32_t i) {
    return hash32(hash32(static_cast<uint32_t>(key) ^ (i * 0x9e3779b9u)) + static_cast<uint32_t>(key >> 32));
}
// A number in [0, 1) from the word's top 24 bits (all a float holds there).
LUMENAR_HD inline float metroStepUnit(uint32_t word) {
    return static_cast<float>(static_cast<int>(word >> 8)) * (1.0f / 16777216.0f);
}
// Word positions past the state's numbers.
constexpr uint32_t kMetroAcceptWord = kMetroNumbers;

// A large step: a fresh state, independent of the current one. The position
// is random like every other number: a quasi-random sequence here would make
// the proposals depend on the chain's past (the points of a low-discrepancy
// sequence follow a pattern), and the chains would then settle on a
// distribution other than the image's.
LUMENAR_HD inline void largeStep(MLTSample& y, uint64_t key, int W, int H) {
    y.values[0] = largeStepCoordinate(metroStepUnit(metroStepWord(key, 0)), W);
    y.values[1] = largeStepCoordinate(metroStepUnit(metroStepWord(key, 1)), H);
    for (int i = kMetroFirstPathNumber; i < kMetroNumbers; ++i)
        y.values[i] = metroStepUnit(metroStepWord(key, static_cast<uint32_t>(i)));
}

// A small step: every number moves, the size from the word's top bits, the
// direction from its lowest.
LUMENAR_HD inline float smallStepNumber(float value, float R, uint32_t word) {
    return smallStepValue(value, R, metroStepUnit(word), (word & 1u) ? 0.75f : 0.25f);
}
LUMENAR_HD inline void smallStep(MLTSample& y, uint64_t key, int W, int H) {
    y.values[0] = smallStepNumber(y.values[0], static_cast<float>(W), metroStepWord(key, 0));
    y.values[1] = smallStepNumber(y.values[1], static_cast<float>(H), metroStepWord(key, 1));
    for (int i = kMetroFirstPathNumber; i < kMetroNumbers; ++i)
        y.values[i] = smallStepNumber(y.values[i], 1.0f, metroStepWord(key, static_cast<uint32_t>(i)));
}

// ---- acceptance and splats ----------------------------------------------------

// min(1, iY / iX); an infinite or undefined quotient counts as 1.
LUMENAR_HD inline float acceptanceProbability(float iX, float iY) {
    const float q = iY / iX;
    if (!(q < 1.0f)) return 1.0f;
    return q > 0.0f ? q : 0.0f;
}

// The splat of a state: c x weight / (luminance / meanLuminance + pLarge).
// With pLarge 0 that is the chain's expected-value splat, c x weight x b / I.
// Under the combined estimator the chain's states and its large-step
// proposals are two samplings of the same image, one with density I / b (the
// chain's target, per frame) and one uniform at rate pLarge (one large step
// every period frames), joined by the balance heuristic; a large-step
// proposal then counts once more as a uniform sample on top of its
// acceptance weight. Black when the luminance or b is not positive, the
// quotient is infinite, or any component comes out NaN, infinite or
// negative.
LUMENAR_HD inline Color splatValue(const Color& c, float weight, float meanLuminance, float luminance,
                                   float pLarge = 0.0f) {
    const Color black(0.0f, 0.0f, 0.0f);
    if (!(luminance > 0.0f) || !(meanLuminance > 0.0f) || !(weight > 0.0f)) return black;
    const float d = luminance / meanLuminance + pLarge;
    if (!(d > 0.0f) || !isFinite(1.0f / d)) return black;
    const Color s = c * (weight / d);
    if (!isFinite(s) || s.r < 0.0f || s.g < 0.0f || s.b < 0.0f) return black;
    return s;
}

// Pixel a state splats into, y * W + x of its image position (clamped into
// the image, so no state can write outside it).
LUMENAR_HD inline int pixelCoordinate(float v, int R) {
    if (!(v >= 0.0f)) return 0;  // negative or NaN
    if (v >= static_cast<float>(R)) return R - 1;
    const int i = static_cast<int>(v);
    return i < R ? i : R - 1;
}
LUMENAR_HD inline int splatPixel(const MLTSample& x, int W, int H) {
    return pixelCoordinate(x.values[1], H) * W + pixelCoordinate(x.values[0], W);
}

// Adds per component with atomic float additions: several chains may splat
// into the same pixel at once, and no addition may be lost.
LUMENAR_HD inline void splat(Color* accum, int pixel, const Color& s) {
    if (s.isBlack()) return;
    addToFrame(accum, pixel, s, true);
}

// Generator of chain idx for a 32-bit seed. The generator's first draws are
// nearly linear in its seed words: seeded with plain neighbouring values, one
// chain's first numbers keep a fixed difference from frame to frame (its
// mutations would favour one direction) and neighbouring chains' numbers
// line up. The key is therefore mixed bijectively (no two chains or frames
// share a stream) and the first draws, which still carry the seed's
// structure, are skipped.
constexpr int kMetroWarmUpDraws = 5;
LUMENAR_HD inline uint64_t metroSeed(uint32_t seed, int idx) {
    return mixSeed((static_cast<uint64_t>(seed) << 32) | static_cast<uint32_t>(idx));
}
LUMENAR_HD inline void metroGenerator(uint32_t seed, int idx, XorwowState* rng) {
    xorwowInit(metroSeed(seed, idx), rng);
    for (int i = 0; i < kMetroWarmUpDraws; ++i) xorwowNext(rng);
}

// Key of the step a chain takes in one frame: the frame's seed, the run's
// salt and the chain, mixed bijectively.
LUMENAR_HD inline uint64_t metroStepKey(uint32_t frameSeed, uint32_t salt, int idx) {
    return metroSeed(frameSeed ^ salt, idx);
}

// What one frame passes to every chain.
struct MetroFrameParams {
    uint32_t frame = 1;      // k, frames since the last reset, from 1
    uint32_t frameSeed = 0;  // WangHash(k)
    uint32_t salt = 0;       // distinguishes independent runs
    int largeStepPeriod = kMetroLargeStepPeriod;
    int forcedAcceptance = kMetroForcedAcceptance;  // 0: never forced
    float meanLuminance = 0.0f;
    // Splat with the combined estimator (splatValue with pLarge) instead of the
    // chain's expected values alone: regions the chains seldom visit (dark
    // ones, next to bright ones) then get the large steps' light as a path
    // tracer would, and stray bright states no longer leave blotches there.
    bool combineLargeSteps = false;
    int width = 0, height = 0;
};

// The chain arrays a step reads and writes.
struct MetroChainArrays {
    MLTSample* samples;
    Color* contributions;
    int* rejectCounters;
    float* largeStepLuminance;  // written on large steps: the proposal's luminance (or null)
};

// One Metropolis step of chain idx; evaluate(const MLTSample&) -> Color gives
// a state's contribution. Returns whether the proposal was accepted.
template <class Evaluate>
LUMENAR_HD bool metroChainStep(int idx, const MetroFrameParams& p, const MetroChainArrays& c, Color* accum,
                               const Evaluate& evaluate) {
    const uint64_t key = metroStepKey(p.frameSeed, p.salt, idx);
    const MLTSample& X = c.samples[idx];
    const Color cX = c.contributions[idx];
    MLTSample Y = X;
    const bool large = isLargeStep(p.frame, p.largeStepPeriod);
    if (large)
        largeStep(Y, key, p.width, p.height);
    else
        smallStep(Y, key, p.width, p.height);
    const Color cY = finiteOrBlack(evaluate(Y));

    const float iX = metroLuminance(cX), iY = metroLuminance(cY);
    // A large step's proposal is a uniform state: its luminance refines the
    // normalisation.
    if (c.largeStepLuminance && large) c.largeStepLuminance[idx] = iY > 0.0f ? iY : 0.0f;
    const float a = acceptanceProbability(iX, iY);
    const float pLarge =
        p.combineLargeSteps && p.largeStepPeriod > 0 ? 1.0f / static_cast<float>(p.largeStepPeriod) : 0.0f;
    const float uniformBonus = p.combineLargeSteps && large ? 1.0f : 0.0f;
    splat(accum, splatPixel(X, p.width, p.height), splatValue(cX, 1.0f - a, p.meanLuminance, iX, pLarge));
    splat(accum, splatPixel(Y, p.width, p.height),
          splatValue(cY, a + uniformBonus, p.meanLuminance, iY, pLarge));

    bool accept = (p.forcedAcceptance > 0 && c.rejectCounters[idx] >= p.forcedAcceptance) || a >= 1.0f;
    if (!accept) accept = metroStepUnit(metroStepWord(key, kMetroAcceptWord)) < a;
    if (accept) {
        c.samples[idx] = Y;
        c.contributions[idx] = cY;
        c.rejectCounters[idx] = 0;
    } else {
        c.rejectCounters[idx] += 1;
    }
    return accept;
}

// ---- kernels and set-up ----------------------------------------------------------

// Start-up luminance: one path estimate per pixel, the candidate state of
// the pixel's generator (seeded with the pixel index).
void RayTraceKernelMetroInit(float* luminance, const Camera& cam, int W, int H, const KdScene& scene,
                             uint32_t salt);
// seeds[idx] = total x the first uniform of the generator seeded idx + 1234.
void getCdfSeed(float* seeds, float total, int W, int H, uint32_t salt);
// First state of every chain and its contribution: the start-up candidate
// of pixel chosen[idx], so chains start distributed by luminance.
void RetrieveInitSampleHetero(const int* chosen, MLTSample* samples, Color* contributions, const Camera& cam,
                              int W, int H, const KdScene& scene, uint32_t salt);
// One step of every chain; splats into accum. Only the chains of rows
// [rowBegin, rowEnd) step when a band is given (rowEnd < 0: to the last row).
void RayTraceKernelMetro(const MetroFrameParams& params, const MetroChainArrays& chains, Color* accum,
                         const Camera& cam, const KdScene& scene, int rowBegin = 0, int rowEnd = -1);

// The chains, one per pixel, for the life of the process.
class MetroChains {
 public:
    device::Buffer<MLTSample> samples;
    device::Buffer<Color> contributions;
    device::Buffer<int> rejectCounters;
    device::Buffer<float> largeStepLuminance;
    // The normalisation: the mean luminance of uniform states, estimated from
    // the start-up candidates and then from every large step's proposal.
    float meanLuminance = 0.0f;
    double luminanceSum = 0.0;
    double luminanceCount = 0.0;
    int width = 0, height = 0;
    uint32_t salt = 0;
    // The fog and subsurface switches the normalisation was estimated with.
    MediaFlags media{};

    bool ready() const { return samples && contributions && rejectCounters && largeStepLuminance; }
    // A reset in Metropolis mode: every chain accepts its next proposal and
    // splats nothing for its old state. The view or the scene may have
    // changed, so the normalisation is estimated afresh from the next large
    // steps.
    void reset() {
        if (contributions) device::fillBytes(contributions.get(), 0, contributions.bytes());
        luminanceSum = 0.0;
        luminanceCount = 0.0;
    }
    MetroChainArrays arrays() const {
        return {samples.get(), contributions.get(), rejectCounters.get(), largeStepLuminance.get()};
    }
    // After frame k's steps: on a large-step frame, adds the proposals'
    // luminance to the estimate and rescales the running sum accum (W x H)
    // so that everything splatted so far carries the new normalisation.
    void updateNormalisation(uint32_t frame, Color* accum);
};

// Device bytes the chain set-up of a W x H image allocates (what it keeps
// and its temporaries).
std::size_t mltSetupBytes(int W, int H);

// Sets up the chains of a W x H image, capping the start-up pick at startCap
// (0: uncapped; see kMetroStartCap). memoryLimit > 0 refuses a set-up that
// would allocate more bytes than that (mltSetupBytes). A failed step leaves
// the chains unset (not ready: Metropolis mode stays off) and prints one line
// on standard error saying so and why. The path tracer needs nothing from
// here. Returns whether the chains are ready.
bool mltSetup(const Camera& cam, int W, int H, const KdScene& scene, MetroChains& chains, uint32_t salt = 0,
              float startCap = 0.0f, std::size_t memoryLimit = 0);

}  // namespace lumenar
