// The light set: every light of a scene in one place, for both backends. For
// each kind of light it owns the choice (which light next-event estimation
// samples), sampling a point or direction on it, the density of a direction
// for multiple importance sampling, and the radiance it sends.
//
// Kinds: the emissive triangles (their records follow the scene's triangles
// and materials), the environment image, and point, spot and sun lights
// (deviceLight). A point or spot light of radius 0 and a sun of angular
// diameter 0 are delta lights: only next-event estimation reaches them. A
// point or spot light of radius r > 0 is a sphere that emits outwards (soft
// shadows), a sun of diameter > 0 a disc in the sky: BSDF-sampled directions
// meet those too, and the two techniques are combined as for the others.
// Point and spot lights cast no shadow of their own and are not seen by the
// camera; the sun's disc is seen where a camera ray leaves the scene.
//
// The choice: the environment takes a share of it (EnvironmentLight::
// probability, from what it sends in against the other lights); the rest is
// spread over the list of the other lights in proportion to their power,
// with a floor (kLightChoiceUniformShare) so that a dim light beside a
// bright one still gets some shadow rays.
//
// The host half (LightSetBuffers, below) builds the records from the scene
// and keeps them in step with it: an edited emission or a moved emitter is
// seen by the next frame's light samples.
#pragma once

#include <cfloat>
#include <cstdint>
#include <vector>

#include "device/hd.h"
#include "device/memory.h"
#include "render/directions.h"
#include "render/environment.h"
#include "render/texture.h"
#include "scene/environment_map.h"
#include "scene/records.h"

namespace lumenar {

// Share of the light choice spread evenly over all lights of the list.
constexpr double kLightChoiceUniformShare = 0.05;

// The environment as a light beside the others.
struct EnvironmentLight {
    EnvironmentView view;
    // Chance that next-event estimation samples the environment rather than
    // a light of the list (1 without other lights).
    float probability = 0.0f;

    LUMENAR_HD explicit operator bool() const { return static_cast<bool>(view); }
};

// What the tracers read of the lights.
struct LightSet {
    // The emissive triangles, sorted by scene triangle; each carries its
    // chance of being chosen and the running sum of the chances.
    const deviceLightTriangle* triangles = nullptr;
    int triangleCount = 0;
    // The point, spot and sun lights: the list's entries after the triangles.
    const deviceLight* lights = nullptr;
    int lightCount = 0;
    EnvironmentLight env{};
    // The scene's textures: an emissive texture shapes what its triangles
    // send (empty: none is textured).
    SceneTextures textures{};

    LUMENAR_HD int listCount() const { return triangleCount + lightCount; }
    // Nothing to sample: next-event estimation draws nothing.
    LUMENAR_HD bool empty() const { return listCount() <= 0 && !env; }
    // Probability that the choice picks from the list at all.
    LUMENAR_HD float listShare() const {
        return 1.0f - (env ? (listCount() > 0 ? env.probability : 1.0f) : 0.0f);
    }
    // Running sum of the list's chances up to and including entry k.
    LUMENAR_HD float cdfAt(int k) const {
        return k < triangleCount ? triangles[k].choiceCdf : lights[k - triangleCount].choiceCdf;
    }
};

// ---- the choice --------------------------------------------------------------

// Index of the light chosen by xi in (0, 1] among lightCount > 0 lights,
// all equally likely.
LUMENAR_HD inline int chooseLight(float xi, int lightCount) {
    const int j = static_cast<int>(static_cast<float>(lightCount) * xi);
    return j >= lightCount ? lightCount - 1 : j;
}

// Entry of the list chosen by xi in (0, 1] by the chances of its entries:
// the first whose running sum reaches xi.
LUMENAR_HD inline int chooseFromList(const LightSet& L, float xi) {
    int lo = 0, hi = L.listCount() - 1;
    while (lo < hi) {
        const int mid = (lo + hi) / 2;
        if (L.cdfAt(mid) < xi)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

// Chance that the list's choice picks the light of scene triangle `triangle`
// (the triangles are sorted by their scene triangle); 0 for a triangle that
// is not a light.
LUMENAR_HD inline float triangleChoicePdf(const LightSet& L, int triangle) {
    int lo = 0, hi = L.triangleCount - 1;
    while (lo <= hi) {
        const int mid = (lo + hi) / 2;
        const int t = L.triangles[mid].triangleIndex;
        if (t == triangle) return L.triangles[mid].choicePdf;
        if (t < triangle)
            lo = mid + 1;
        else
            hi = mid - 1;
    }
    return 0.0f;
}

// One light drawn for next-event estimation.
struct LightPick {
    int32_t entry;  // entry of the list; -1: the environment
};

// The light chosen by xi in (0, 1]: the environment below its probability,
// else an entry of the list by the rest of xi rescaled (the same number and
// the same triangle as without an environment when there is none).
LUMENAR_HD inline LightPick chooseLight(const LightSet& L, float xi) {
    const float pEnv = 1.0f - L.listShare();
    if (xi < pEnv || L.listCount() <= 0) return LightPick{-1};
    const float xt = pEnv > 0.0f ? (xi - pEnv) / (1.0f - pEnv) : xi;
    return LightPick{chooseFromList(L, xt)};
}

// The light choice and the first number of the point on the light from one
// number. xi picks the light as chooseLight does; where it fell within the
// chosen light's share of (0, 1] then serves, rescaled, as the point's first
// number, so that a stratified pair (xi, second number) stays stratified
// over all the lights together, not just light by light. Given the choice,
// the rescaled number is uniform. A share below kLightShareReused leaves too
// few distinct values for a smooth point density: such a light takes spare,
// a number of its own, instead.
constexpr float kLightShareReused = 1.0f / 256.0f;
struct LightAndPoint {
    LightPick light;
    float xa;  // the point's first number
};
LUMENAR_HD inline LightAndPoint chooseLightAndPoint(const LightSet& L, float xi, float spare) {
    LightAndPoint r;
    r.light = chooseLight(L, xi);
    float lo = 0.0f, share = 1.0f - L.listShare();  // the environment's range (0, pEnv]
    if (r.light.entry >= 0) {
        const int k = r.light.entry;
        const float pEnv = share;
        // The range of the rescaled number (chooseLight) that picks entry k, in xi.
        const float below = k > 0 ? L.cdfAt(k - 1) : 0.0f;
        const float above = L.cdfAt(k);
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

// ---- sampling --------------------------------------------------------------------

// A point or direction drawn on a light, seen from x.
struct LightSample {
    Vector3d dir;  // unit direction from x towards the light
    float dist;    // to the point on the light; FLT_MAX for the environment and the sun
    // Solid-angle density including the light's choice probability; 0:
    // nothing drawn. For a delta light the choice probability alone.
    float pdf;
    // Radiance arriving along -dir; for a delta light the irradiance it
    // gives at normal incidence.
    Color Le;
    bool delta = false;
    float b1 = 0.0f, b2 = 0.0f;  // a light triangle's point: its barycentric weights
};

// Radiance a light triangle sends along dir (arriving at the shaded point):
// only its front side emits.
LUMENAR_HD inline Color emissionToward(const deviceLightTriangle& l, const Vector3d& dir) {
    return l.bothSides || dot(l.normal, dir) < 0.0f ? l.emission : Color(0.0f, 0.0f, 0.0f);
}

// A point drawn uniformly on a light triangle, seen from x; the density
// includes the triangle's chance within the list.
LUMENAR_HD inline LightSample sampleLightPoint(const deviceLightTriangle& l, const Vector3d& x, float xa,
                                               float xb) {
    const float sigma = sqrtf(1.0f - xa);
    const Vector3d p = l.p1 + (l.p2 - l.p1) * (sigma * xb) + (l.p3 - l.p1) * (1.0f - sigma);
    const Vector3d toP = p - x;
    LightSample s;
    s.b1 = sigma * xb;
    s.b2 = 1.0f - sigma;
    s.dir = normalize(toP);
    const float dist2 = dot(toP, toP);
    s.dist = sqrtf(dist2);
    const float cosN = -dot(l.normal, s.dir);
    const float cosL = l.bothSides ? fabsf(cosN) : cosN;
    s.pdf = cosL >= 0.0f ? (l.invArea * dist2 / cosL) * l.choicePdf : 0.0f;
    s.Le = emissionToward(l, s.dir);
    return s;
}

// glTF's smooth falloff of a spot light at cosine cosAngle from its axis: 1
// inside the inner cone, 0 outside the outer one, the square of the linear
// ramp of the cosine between them. Other lights: 1.
LUMENAR_HD inline float spotFalloff(const deviceLight& l, float cosAngle) {
    if (l.kind != kSpotLight) return 1.0f;
    const float t = (cosAngle - l.cosOuter) / fmaxf(l.cosInner - l.cosOuter, 0.001f);
    const float s = fminf(fmaxf(t, 0.0f), 1.0f);
    return s * s;
}

constexpr float kLightPi = 3.14159265358979f;

// A direction uniform in the cone about the unit axis whose half-angle has
// 1 - cos = oneMinusCos (its density is 1 / (2 pi oneMinusCos)). The sine
// is formed from 1 - cos, so cones of a fraction of a degree keep their
// precision.
LUMENAR_HD inline Vector3d sampleCone(const Vector3d& axis, float oneMinusCos, float xa, float xb) {
    const float h = xa * oneMinusCos;  // 1 - cos theta
    const float sinT = sqrtf(fmaxf(h * (2.0f - h), 0.0f));
    const float phi = azimuth(xb);
    const Frame f = cosineFrame(axis);
    return normalize(f.u * (cosf(phi) * sinT) + f.v * (sinf(phi) * sinT) + axis * (1.0f - h));
}

// Whether the unit direction w lies in the cone about the unit axis with
// sin^2 of its half-angle sin2 (< 1): through the cross product, which
// keeps its precision for narrow cones where the cosine does not.
LUMENAR_HD inline bool inCone(const Vector3d& w, const Vector3d& axis, float sin2) {
    const Vector3d c = cross(w, axis);
    return dot(w, axis) > 0.0f && dot(c, c) <= sin2;
}

// The cone a sphere light of radius r at distance^2 d2 > r^2 fills, seen
// from outside: sin^2 and 1 - cos of its half-angle.
struct SphereCone {
    float sin2, oneMinusCos;
};
LUMENAR_HD inline SphereCone sphereCone(float r, float d2) {
    SphereCone c;
    c.sin2 = fminf(r * r / d2, 1.0f);
    c.oneMinusCos = c.sin2 / (1.0f + sqrtf(1.0f - c.sin2));
    return c;
}

// Distance along the unit direction w from the origin of toC (the vector to
// the sphere's centre) to the near side of a sphere of radius r, or -1 when
// w misses it. For a point outside the sphere.
LUMENAR_HD inline float sphereDistance(const Vector3d& toC, float r, const Vector3d& w) {
    const float b = dot(w, toC);
    const Vector3d c = cross(w, toC);
    const float disc = r * r - dot(c, c);
    if (!(b > 0.0f) || disc < 0.0f) return -1.0f;
    return fmaxf(b - sqrtf(disc), 0.0f);
}

// A point or direction on a point, spot or sun light, seen from x; the
// density includes the light's chance within the list.
LUMENAR_HD inline LightSample sampleLightShape(const deviceLight& l, const Vector3d& x, float xa, float xb) {
    LightSample s;
    s.pdf = 0.0f;
    s.Le = Color(0.0f, 0.0f, 0.0f);
    s.dist = FLT_MAX;
    if (l.kind == kSunLight) {
        s.delta = !(l.sin2Angle > 0.0f);
        if (s.delta) {
            s.dir = l.axis;
            s.pdf = l.choicePdf;
        } else {
            s.dir = sampleCone(l.axis, l.oneMinusCos, xa, xb);
            s.pdf = l.choicePdf / (2.0f * kLightPi * l.oneMinusCos);
        }
        s.Le = l.emission;
        return s;
    }
    const Vector3d toC = l.position - x;
    const float d2 = dot(toC, toC);
    s.delta = !(l.radius > 0.0f);
    if (s.delta) {
        s.dist = sqrtf(d2);
        s.dir = toC / s.dist;
        if (!(d2 > 0.0f)) return s;
        s.pdf = l.choicePdf;
        s.Le = l.emission * (spotFalloff(l, -dot(l.axis, s.dir)) / d2);
        return s;
    }
    // Inside the sphere nothing is seen: it emits outwards only.
    if (!(d2 > l.radius * l.radius)) return s;
    const float d = sqrtf(d2);
    const SphereCone cone = sphereCone(l.radius, d2);
    s.dir = sampleCone(toC / d, cone.oneMinusCos, xa, xb);
    const float t = sphereDistance(toC, l.radius, s.dir);
    s.dist = t >= 0.0f ? t : d;
    s.pdf = l.choicePdf / (2.0f * kLightPi * cone.oneMinusCos);
    s.Le = l.emission * spotFalloff(l, -dot(l.axis, s.dir));
    return s;
}

// A point on the chosen light seen from x, with the density of the whole
// choice (light and point).
LUMENAR_HD inline LightSample sampleLight(const LightSet& L, const LightPick& c, const Vector3d& x, float xa,
                                          float xb) {
    if (c.entry >= L.triangleCount) {
        LightSample s = sampleLightShape(L.lights[c.entry - L.triangleCount], x, xa, xb);
        s.pdf *= L.listShare();
        return s;
    }
    if (c.entry >= 0) {
        const deviceLightTriangle& l = L.triangles[c.entry];
        LightSample s = sampleLightPoint(l, x, xa, xb);
        s.pdf *= L.listShare();
        if (L.textures.maps) s.Le *= emissiveTexel(L.textures, l.materialIndex, l.triangleIndex, s.b1, s.b2);
        return s;
    }
    const EnvSample e = envSample(L.env.view, xa, xb);
    LightSample s;
    s.dir = e.dir;
    s.dist = FLT_MAX;
    s.pdf = e.pdf * (1.0f - L.listShare());
    s.Le = e.Le;
    return s;
}

// ---- what a sampled direction meets -------------------------------------------

// What the nearest-surface query reports along a BSDF-sampled direction:
// whether the nearest surface is an emissive triangle, and what light
// sampling needs to know about it.
struct EmitterHit {
    bool found = false;
    bool escaped = false;  // nothing at all along the ray: it leaves the scene
    float t = FLT_MAX;     // ray distance of the nearest surface, emitter or not (FLT_MAX: none)
    Vector3d normal;       // unit face normal, the emitting side (as in deviceLightTriangle)
    float invArea = 0.0f;
    Color emission;
    int32_t triangle = -1;  // index of the scene triangle hit (finds its light choice probability)
};

// The emitter record of triangle `tri` (scene triangle `index`) hit at
// distance t (the tracer's and the tests' queries share it). Any triangle
// whose material emits is an emitter; the radiance is the material's as it
// is now.
LUMENAR_HD inline EmitterHit emitterHitOf(const deviceTriangle& tri, const Material* materials, float t,
                                          int index = -1) {
    EmitterHit e;
    e.triangle = index;
    e.t = t;
    const Material& m = materials[tri.materialIndex];
    if (!m.isEmissive()) return e;
    e.found = true;
    e.normal = emitterFaceNormal(tri.p1, tri.p2, tri.p3, tri.normal1, tri.normal2, tri.normal3);
    e.invArea = tri.invArea;
    e.emission = m.emission;
    return e;
}

// Solid-angle density with which light sampling of one triangle (picked
// with probability choicePdf, then a point uniform over its area) produces
// the direction dir that meets it at distance dist; 0 from behind it.
LUMENAR_HD inline float lightPdfAlong(const Vector3d& normal, float invArea, float dist, const Vector3d& dir,
                                      float choicePdf) {
    const float cosL = -dot(normal, dir);
    return cosL > 0.0f ? (invArea * dist * dist / cosL) * choicePdf : 0.0f;
}

// Density with which light sampling produces the direction dir from x that
// meets the emitter e at distance dist.
LUMENAR_HD inline float emitterPdf(const LightSet& L, const EmitterHit& e, float dist, const Vector3d& dir) {
    return lightPdfAlong(e.normal, e.invArea, dist, dir, triangleChoicePdf(L, e.triangle)) * L.listShare();
}

// Density with which light sampling produces the unit direction dir
// towards the environment.
LUMENAR_HD inline float environmentPdf(const LightSet& L, const Vector3d& dir) {
    return envPdf(L.env.view, dir) * (1.0f - L.listShare());
}

// Radiance of the suns' discs along the unit direction dir of a ray that
// leaves the scene (what a camera ray sees there besides the environment).
LUMENAR_HD inline Color sunDiscRadiance(const LightSet& L, const Vector3d& dir) {
    Color c(0.0f, 0.0f, 0.0f);
    for (int i = 0; i < L.lightCount; ++i) {
        const deviceLight& l = L.lights[i];
        if (l.kind == kSunLight && l.sin2Angle > 0.0f && inCone(dir, l.axis, l.sin2Angle)) c += l.emission;
    }
    return c;
}

// The light a BSDF-sampled direction dir (unit) from x meets among the
// point, spot and sun lights that are not delta lights, each weighted by
// weight(pdfL) (pdfL: the density with which light sampling produces dir
// for that light, its choice included) and by the colour along(t) (what
// gets through to distance t). Spheres count when they lie before the
// nearest surface, at tSurface; suns when the ray leaves the scene.
template <class Weight, class Along>
LUMENAR_HD Color shapesAlong(const LightSet& L, const Vector3d& x, const Vector3d& dir, float tSurface,
                             bool escaped, const Weight& weight, const Along& along) {
    Color sum(0.0f, 0.0f, 0.0f);
    for (int i = 0; i < L.lightCount; ++i) {
        const deviceLight& l = L.lights[i];
        if (l.kind == kSunLight) {
            if (!escaped || !(l.sin2Angle > 0.0f) || !inCone(dir, l.axis, l.sin2Angle)) continue;
            const float pdfL = l.choicePdf * L.listShare() / (2.0f * kLightPi * l.oneMinusCos);
            sum += l.emission * along(FLT_MAX) * weight(pdfL);
            continue;
        }
        if (!(l.radius > 0.0f)) continue;
        const Vector3d toC = l.position - x;
        const float d2 = dot(toC, toC);
        if (!(d2 > l.radius * l.radius)) continue;
        const float t = sphereDistance(toC, l.radius, dir);
        if (t < 0.0f || !(t < tSurface)) continue;
        const SphereCone cone = sphereCone(l.radius, d2);
        const float pdfL = l.choicePdf * L.listShare() / (2.0f * kLightPi * cone.oneMinusCos);
        const Color Le = l.emission * spotFalloff(l, -dot(l.axis, dir));
        if (!Le.isBlack()) sum += Le * along(t) * weight(pdfL);
    }
    return sum;
}

// What gets through a medium along r up to distance t, per channel, as the
// queries q say (q.through); queries that know no medium let everything
// through.
template <class Queries>
LUMENAR_HD auto mediumThrough(const Queries& q, const Ray& r, float t, int) -> decltype(q.through(r, t)) {
    return q.through(r, t);
}
template <class Queries>
LUMENAR_HD Color mediumThrough(const Queries&, const Ray&, float, long) {
    return Color(1.0f, 1.0f, 1.0f);
}

// ---- host: building the set -------------------------------------------------------

// Emitted power of a light triangle as the light choice weighs it: luminance
// of the emission times the area.
double lightChoicePower(const deviceLightTriangle& l);

// The same measure for a point, spot or sun light: its emitted power over
// pi (for a triangle that is the luminance times the area), a sun's through
// a disc of the scene's radius.
double lightChoicePower(const SceneLight& l, float sceneRadius);

// Fills in choicePdf and choiceCdf of the list, the triangles and then the
// other lights (whose powers are given): entry j is chosen with probability
// (1 - u) P_j / sum P + u / n (u = uniformShare), or 1 / n when no entry has
// power. Sorts the triangles by triangleIndex first, so that the emitter a
// ray hits can be looked up by its triangle. A uniformShare of 1 chooses
// uniformly.
void prepareLightChoice(std::vector<deviceLightTriangle>& triangles, std::vector<deviceLight>& lights,
                        const std::vector<double>& lightPowers,
                        double uniformShare = kLightChoiceUniformShare);
// The same for a list of triangles alone.
void prepareLightChoice(std::vector<deviceLightTriangle>& triangles,
                        double uniformShare = kLightChoiceUniformShare);

// The record a point, spot or sun light is sampled with (the choice not
// filled in).
deviceLight lightRecord(const SceneLight& l);

// How much of next-event estimation goes to the environment: in proportion
// to the radiance it sends in (integrated over the sphere) against what the
// list sends in from the scene's size, so that a dim sky beside a bright
// lamp, or the reverse, gets few shadow rays; never below 5 % for either.
// `listPower` is the list's summed lightChoicePower.
float environmentLightProbability(float environmentPower, float listPower, float sceneRadius, int listCount);

// The light records of the triangles whose material emits, in triangle
// order: corners (a movable object's triangles where the object stands
// now), unit face normal, area and the material's emission. The choice is
// not filled in (prepareLightChoice).
std::vector<deviceLightTriangle> emissiveTriangleRecords(const std::vector<Triangle>& triangles,
                                                         const Material* materials, int materialCount,
                                                         const Movable* movables = nullptr,
                                                         int movableCount = 0);

// The light set's records in device memory, built from the scene and kept
// in step with it. Host only; one thread (the one that runs the frames).
class LightSetBuffers {
 public:
    // What the set is built from; the pointers stay valid while the set is
    // used. `movables` are the objects with their current offsets (read on
    // every rebuild).
    struct Source {
        const std::vector<Triangle>* triangles = nullptr;
        const EnvironmentMap* environment = nullptr;
        float sceneRadius = 1.0f;
        const Movable* movables = nullptr;
        int movableCount = 0;
        std::vector<SceneLight> lights;  // point, spot and sun lights
        // The scene's textures, and per material the mean its emissive
        // texture multiplies the emission by (empty, or white: none), which
        // weighs the choice of its triangles.
        SceneTextures textures{};
        std::vector<Color> emissionScales;
        std::vector<uint8_t> bothSides;  // per material: 1 where both faces of an emitter emit
    };

    void setSource(const Source& source) { source_ = source; }
    // Builds the records from the materials as they are now; false when the
    // device memory cannot be had.
    bool build(const Material* materials, int materialCount);
    // Whether an emission differs from what the set was built with (the
    // same number of materials).
    bool emissionChanged(const Material* materials) const;
    int materialCount() const { return static_cast<int>(emissions_.size()); }
    // What the tracers read (the environment unturned).
    LightSet view() const { return view_; }
    // The triangle records, writable (a move places them anew).
    deviceLightTriangle* triangles() const { return triangles_.get(); }
    // Point, spot and sun lights as given (index i of the lights block); a
    // change takes effect at the next build.
    int sceneLightCount() const { return static_cast<int>(source_.lights.size()); }
    const SceneLight& sceneLight(int i) const { return source_.lights[static_cast<std::size_t>(i)]; }
    void setSceneLight(int i, const SceneLight& l) { source_.lights[static_cast<std::size_t>(i)] = l; }
    void release();

 private:
    Source source_;
    device::Buffer<deviceLightTriangle> triangles_;
    device::Buffer<deviceLight> lights_;
    std::vector<Color> emissions_;  // of every material, as the set was built
    LightSet view_{};
};

}  // namespace lumenar
