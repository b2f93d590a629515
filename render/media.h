// The participating medium of fog (the scene's first Volume) as the one
// bounce (render/bounce.h) meets it: the march for the light a medium emits
// and scatters once towards the camera, and the shadow queries with the
// medium in the way, which say per channel what gets through.
#pragma once

#include <cfloat>

#include "render/lights.h"

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
// In-scattering samples one point on one light of the light set per step, as
// the surface's next-event estimate does; q are the shadow queries with the
// medium in the way (FoggedShadowQueries), whose transmittance is the
// shadow ray's, per channel.
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
            if (!ls.Le.isBlack() && ls.pdf > 0.0f) {
                const Color Tl = q.transmittance(y, ls.dir, ls.dist);
                const Color c = Tm * ss * Tl * ls.Le * (vol.p(y, w, -ls.dir) / ls.pdf);
                if (!Tl.isBlack() && isFiniteColor(c)) Lv += c;
            }
        }
        t0 += step;
    }
    return Lv * step;
}

// The shadow queries of the next-event estimate with the medium in the way:
// what gets through, per channel, is the medium's transmittance along the
// ray (exact for the homogeneous and exponential media, whose optical
// thickness has a closed form), so a coloured medium tints the light it lets
// through as it tints the camera's view. Rays that leave the scene (towards
// the environment or a sun) cross the medium like those to a surface.
template <class Queries>
struct FoggedShadowQueries {
    const Queries& q;
    const Volume& vol;

    // What gets through the medium along r up to distance dist; nothing for
    // a value that is not a number.
    LUMENAR_HD Color through(const Ray& r, float dist) const {
        const Color tr = expNeg(vol.tau(r, 0.0f, dist, 1.0f, 0.0f));
        return isFiniteColor(tr) ? tr : Color(0.0f, 0.0f, 0.0f);
    }
    LUMENAR_HD EmitterHit nearestEmitter(const Ray& r) const { return q.nearestEmitter(r); }
    LUMENAR_HD Color transmittance(const Vector3d& from, const Vector3d& dir, float dist) const {
        const Color blocked = q.transmittance(from, dir, dist);
        if (blocked.isBlack()) return blocked;
        return blocked * through(Ray(from, dir), dist);
    }
};

}  // namespace lumenar
