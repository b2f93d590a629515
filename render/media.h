// One bounce of the interactive path tracer with fog and subsurface
// scattering: the surface bounce of bounce.h, plus
//  - fog: the first Volume of the scene attenuates every segment that ends on
//    the front of a surface; an emitting medium, or any medium when the scene
//    asks for in-scattering, is ray-marched for its emitted light and the
//    light scattered once from the emitters towards the camera;
//  - subsurface scattering: entering a material whose transparency is
//    negative starts a short random walk inside it, driven by the material's
//    rsc (scattering coefficient) and absorption.
//
// As in bounce.h the ray queries come in through an object, so all of it runs
// and is tested without an acceleration structure. Besides the queries of
// directLight, this bounce asks for
//   bool q.nearest(const Ray& r, SurfaceHit* hit): the nearest hit along r on
//       [0.00001, largest float] (hit point, unit normal, distance, material).
#pragma once

#include <cfloat>

#include "render/bounce.h"

namespace lumenar {

// Which of the extra effects a bounce applies.
struct MediaFlags {
    bool fog = false;         // attenuate by the scene's first medium
    bool inscatter = false;   // march the medium even when it does not emit
    bool subsurface = false;  // walk inside subsurface-marked materials
};

// A subsurface walk that keeps finding new entry surfaces (a ray trapped in a
// mesh that is not closed) ends after this many steps of one bounce; its
// weight is then dropped.
constexpr int kMaxWalkSteps = 64;

LUMENAR_HD inline Color expNeg(const Color& c) {
    return Color(expf(-c.r), expf(-c.g), expf(-c.b));
}

LUMENAR_HD inline bool isFiniteColor(const Color& c) {
    return c.r - c.r == 0.0f && c.g - c.g == 0.0f && c.b - c.b == 0.0f;
}

// Receives what the fog and the walks cost (the CPU backend's --stats); the
// default records nothing.
struct NoMediaStats {
    LUMENAR_HD unsigned long long marchBegin() const { return 0; }
    LUMENAR_HD void marchEnd(unsigned long long /*begin*/, int /*samples*/) const {}
    LUMENAR_HD void walkStep() const {}
};

// Emitted and once-scattered light picked up along ray (unit direction) from
// the medium's entry up to tHit, by stratified samples one world unit apart.
// Transmittance to each sample is tracked along the march; once it falls
// below 0.001 the march continues with probability 1/2 (and twice the weight).
// In-scattering samples one point on one emitter per step, exactly as the
// surface's next-event estimate does; the shadow ray's transmittance is
// estimated with the medium's own step.
template <class Draws, class Queries>
LUMENAR_HD Color marchMedium(const Volume& vol, const Ray& ray, float tHit, Draws& next,
                             const LightSet& lights, const Queries& q, int* samples = nullptr) {
    float t0 = 0.0f, t1 = FLT_MAX;
    if (!vol.Intersect(ray, t0, t1)) return Color(0.0f, 0.0f, 0.0f);
    t1 = fminf(t1, tHit);  // nothing behind the surface reaches the camera
    if (!(t1 > t0)) return Color(0.0f, 0.0f, 0.0f);
    const int m = static_cast<int>(ceilf(t1 - t0));
    const float step = (t1 - t0) / static_cast<float>(m);
    Vector3d y = ray.at(t0);
    const Vector3d w = -ray.direction;
    t0 += next() * step;
    Color Tm(1.0f, 1.0f, 1.0f), Lv(0.0f, 0.0f, 0.0f);
    for (int i = 0; i < m; ++i) {
        if (samples) ++*samples;
        const Vector3d yPrev = y;
        y = ray.at(t0);
        const Vector3d seg = y - yPrev;
        const float len = length(seg);
        const float xi = next();
        if (len > 0.0f) Tm *= expNeg(vol.tau(Ray(yPrev, seg / len), 0.0f, len, 1.0f, xi));
        if (static_cast<double>(fmaxf(Tm.r, fmaxf(Tm.g, Tm.b))) < 0.001) {
            if (next() > 0.5f) break;
            Tm = Tm * 2.0f;
        }
        Lv += Tm * vol.Lve(y, w);
        const Color ss = vol.sigma_s(y, w);
        if (!ss.isBlack() && !lights.empty()) {
            const LightPick light = chooseLight(lights, next());
            const float xa = next();
            const float xb = next();
            const LightSample ls = sampleLight(lights, light, y, xa, xb);
            if (!ls.Le.isBlack() && ls.pdf > 0.0f && !q.occluded(y, ls.dir, ls.dist)) {
                const Color Tl = expNeg(vol.tau(Ray(y, ls.dir), 0.0f, ls.dist, step, next()));
                const Color c = Tm * ss * Tl * ls.Le * (vol.p(y, w, -ls.dir) / ls.pdf);
                if (isFiniteColor(c)) Lv += c;
            }
        }
        t0 += step;
    }
    return Lv * step;
}

// The shadow queries of the next-event estimate with the medium in the way:
// a light stays visible with the probability that light gets through the
// medium along the shadow ray (the mean of the three channels' transmittance),
// which estimates the attenuation without bias for a grey medium.
template <class Queries, class Draws>
struct FoggedShadowQueries {
    const Queries& q;
    const Volume& vol;
    Draws& next;
    // With an environment, a sampled direction that leaves the scene is a
    // light too and crosses the medium like a shadow ray towards it.
    bool attenuateEscapes = false;

    LUMENAR_HD bool getsThrough(const Ray& r, float dist) const {
        const Color tr = expNeg(vol.tau(r, 0.0f, dist, 1.0f, next()));
        const float p = (tr.r + tr.g + tr.b) / 3.0f;
        return next() < p;  // NaN never lets light through
    }
    LUMENAR_HD EmitterHit nearestEmitter(const Ray& r) const {
        EmitterHit e = q.nearestEmitter(r);
        if (e.found && !getsThrough(r, e.t)) e.found = false;
        if (e.escaped && attenuateEscapes && !getsThrough(r, FLT_MAX)) e.escaped = false;
        return e;
    }
    LUMENAR_HD bool occluded(const Vector3d& from, const Vector3d& dir, float dist) const {
        return q.occluded(from, dir, dist) || !getsThrough(Ray(from, dir), dist);
    }
};

// One bounce with fog and subsurface scattering. Draw order per pass through
// a surface: fog transmittance (1) and march (fog on, entering), continuation
// (3 or 4; 1 more, plus 2 per scattering event, for a subsurface walk), next-event
// estimate as in shadeHitFrom (with fog, 2 more per shadow ray that reaches a
// light), roulette (1, on the path's weight: `throughput` before this bounce
// times what the bounce multiplies it by, see russianRoulette).
template <class Draws, class Queries, class Stats = NoMediaStats>
LUMENAR_HD BounceResult traceSSVolFrom(const Ray& incoming, int bounce, Draws& next,
                                       const Material* materials, const Color& bgcolor,
                                       const LightSet& lights, int volumeCount, const Volume* volumes,
                                       const MediaFlags& flags, const Queries& q,
                                       DirectLightStrategy strategy = DirectLightStrategy::kMis,
                                       const Stats& stats = Stats(),
                                       const Color& throughput = Color(1.0f, 1.0f, 1.0f)) {
    const Color black(0.0f, 0.0f, 0.0f), white(1.0f, 1.0f, 1.0f);
    Ray ray(incoming.origin, normalize(incoming.direction));
    Color W = white;  // fog transmittance, walk weights, then the continuation factor
    Color R = black;
    for (int walk = 0;; ++walk) {
        // A walk that keeps re-entering surfaces gives up, dropping its weight.
        if (walk >= kMaxWalkSteps) return BounceResult{R, black, incoming, -1};
        SurfaceHit hit;
        if (!q.nearest(ray, &hit)) {
            // A walk's own rays were never seen by a next-event estimate.
            const Color L = escapedRadiance(bgcolor, lights.env.view, ray.direction, bounce == 0 || walk > 0);
            return BounceResult{R + L * W, black, incoming, -1};
        }
        const Vector3d d = ray.direction;
        const Vector3d nl = orientNormal(hit.normal, d);
        const bool entering = dot(hit.normal, nl) > 0.0f;
        const Material m = hitMaterial(materials, hit);

        // Fog between the ray's origin and a surface it enters.
        if (flags.fog && volumeCount >= 1 && entering) {
            const Volume& vol = volumes[0];
            Color Tr = expNeg(vol.tau(ray, 0.0f, hit.t, 1.0f, next()));
            if (hasNaN(Tr)) Tr = white;
            const Color before = W;
            W *= Tr;
            if (vol.hasEmission() || flags.inscatter) {
                const unsigned long long t0 = stats.marchBegin();
                int samples = 0;
                const Color Lv = before * marchMedium(vol, ray, hit.t, next, lights, q, &samples);
                stats.marchEnd(t0, samples);
                if (isFiniteColor(Lv)) R += Lv;
            }
        }

        if (bounce == 0 && dot(hit.normal, -d) > 0.0f) R += m.emission * W;
        if (m.isEmissive()) return BounceResult{R, W, incoming, -1};

        // The light reflected here reaches the ray's origin through the fog
        // and the walk so far; the continuation factor comes on top.
        const Color arriving = W;
        // A subsurface-marked material in subsurface mode: the coat reflects
        // as usual; what it leaves enters (or leaves) the material and, on
        // entering, starts a walk. Outside subsurface mode it is an opaque
        // material like any other.
        const bool sss = flags.subsurface && m.transparency < 0.0f;
        const ShadingPoint p = shadingPoint(m, hit.normal, -d, sss);
        beginSampleSlot(next, kSlotContinuation);  // the first pass only: a slot is taken once
        Continuation c = sampleContinuationAt(hit.point, p, next);
        if (sss && c.lobe == kLobeEnter && entering && !c.factor.isBlack()) {
            const Vector3d T = c.ray.direction;
            const Vector3d o = c.ray.origin;
            SurfaceHit exit;
            if (!q.nearest(c.ray, &exit)) return BounceResult{R, W, c.ray, -1};
            const Material mE = hitMaterial(materials, exit);
            const float xi = next();
            const float s = m.rsc > 0.0f ? -logf(xi) / m.rsc : FLT_MAX;
            if (s < exit.t) {
                // Scatters at depth s; leaves towards the entry side.
                const Vector3d ps = o + T * s;
                const float phi = azimuth(next());
                const float z = 2.0f * next() - 1.0f;
                const float r = sqrtf(fabsf(z));
                const Frame f = cosineFrame(nl);
                const Vector3d om =
                    f.u * (cosf(phi) * r) + f.v * (sinf(phi) * r) + nl * sqrtf(1.0f - fabsf(z));
                const Color weight = expNeg(m.absorption * s) * mE.basecolor * c.factor;
                if (!hasNaN(weight)) W *= weight;
                ray = Ray(ps, normalize(om));
                stats.walkStep();
                continue;
            }
            const Color tint = expNeg(m.absorption * exit.t);
            if (!hasNaN(tint)) W *= tint * mE.basecolor;
        }
        W *= c.factor;

        VertexObj v = surfaceVertexAt(hit, d);
        v.subsurface = sss;
        v.materialIndex = 0;  // the vertex reads the material resolved above
        v.usePoint(p);
        Color direct;
        if (flags.fog && volumeCount >= 1) {
            const FoggedShadowQueries<Queries, Draws> fq{q, volumes[0], next, static_cast<bool>(lights.env)};
            direct = arriving * directLight(v, next, &m, lights, fq, strategy);
        } else {
            direct = arriving * directLight(v, next, &m, lights, q, strategy);
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
