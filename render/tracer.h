// The interactive path tracer: one bounce of every live path per launch
// (traceBounce, render/bounce.h), nearest hits and shadow queries through
// the dynamic BVH.
#pragma once

#include "accel/traversal.h"
#include "device/random.h"
#include "render/accumulation.h"
#include "render/bounce.h"
#include "render/cutout.h"
#include "render/path_state.h"
#include "render/scene_view.h"

namespace lumenar {

// Counts and times the ray queries of the CPU backend when enabled (the
// frame-time breakdown of `lumenar-render --stats`); free when disabled.
namespace querystats {
bool enabled();
void setEnabled(bool on);
struct Totals {
    unsigned long long closestHits = 0;
    unsigned long long shadowRays = 0;
    unsigned long long cycles = 0;  // time-stamp counter cycles inside queries
    // Fog and subsurface work (frames with either on).
    unsigned long long marchCycles = 0;   // inside medium marches, their shadow rays included
    unsigned long long marchSamples = 0;  // in-scattering and emission samples
    unsigned long long walkSteps = 0;     // subsurface scattering events
};
Totals totals();  // sums over all threads
void reset();
#if !defined(__CUDA_ARCH__)
void add(bool closest, unsigned long long cycles);
void addMarch(unsigned long long cycles, int samples);
void addWalkStep();
unsigned long long now();
#endif
}  // namespace querystats

// What a bounce reads: the scene view and the dynamic BVH over it (what the
// frame loop passes every launch).
struct DynamicScene : SceneView {
    const DynamicBVHNodeProp* nodes = nullptr;
    const int* triIndices = nullptr;
    // Techniques of the direct-light estimate; the single-technique ones are
    // for checking that all converge to the same image.
    DirectLightStrategy directLightStrategy = DirectLightStrategy::kMis;
    WideBVHView wide{};  // the layout the queries walk; the binary nodes when unset
};

// Per-thread tracer: traversal stacks plus what the bounce applies besides
// the surfaces (fog, in-scattering, subsurface walks).
class Raytrace : public TreeTraversal {
 public:
    MediaFlags media;

    LUMENAR_HD explicit Raytrace(const MediaFlags& options = MediaFlags()) : media(options) {}

    // One bounce of a path (traceBounce): nearest hit through the dynamic
    // BVH, emitted or background light, the next-event estimate, the
    // continuation and Russian roulette, with the media asked for.
    // `throughput` is the path's weight so far (the roulette decides on it).
    LUMENAR_HD BounceResult TraceRay(const Ray& ray, int bounce, PathSampleDraws& draws,
                                     const DynamicScene& s,
                                     const Color& throughput = Color(1.0f, 1.0f, 1.0f));

    // Nearest hit along the ray's stored (unnormalised) direction.
    LUMENAR_HD bool nearestHit(const Ray& ray, const DynamicScene& s, SurfaceHitRecord* hit);

    // The triangle where the occlusion walk along r stops (the first accepted,
    // not necessarily the nearest), or -1.
    LUMENAR_HD int firstAcceptedTriangle(const Ray& r, const DynamicScene& s) {
        if (s.wide) return firstAccepted(s.wide, s.movables, r, kRayEpsilon, kRayMaxT);
        return firstAccepted(s.nodes, s.movables, s.triIndices, s.triangles, r, kRayEpsilon, kRayMaxT);
    }
};

// The ray queries the shading code asks of the tracer. A scene without
// triangles has no tree: every ray leaves it.
struct DynamicSceneQueries {
    Raytrace* rt;
    const DynamicScene* s;

    LUMENAR_HD bool traceable() const { return s->nodes && s->triIndices; }

    // The nearest surface along a sampled direction, and whether it emits
    // (the BSDF-sampling side of the direct-light estimate).
    LUMENAR_HD EmitterHit nearestEmitter(const Ray& r) const {
        SurfaceHitRecord rec;
        const bool found = traceable() && rt->nearestHit(r, *s, &rec);
        return sampledDirectionHit(found, rec, *s, r.direction);
    }

    LUMENAR_HD bool nearest(const Ray& r, SurfaceHit* hit) const {
        SurfaceHitRecord rec;
        if (!traceable() || !rt->nearestHit(r, *s, &rec)) return false;
        *hit = surfaceHitOf(r, rec, s->textures);
        return true;
    }

    LUMENAR_HD Color transmittance(const Vector3d& from, const Vector3d& dir, float dist) const {
        if (!traceable()) return Color(1.0f, 1.0f, 1.0f);
#if !defined(__CUDA_ARCH__)
        const bool timed = querystats::enabled();
        const unsigned long long t0 = timed ? querystats::now() : 0;
#endif
        bool blocked;
        if (s->textures.cutOuts) {
            // Through cut-outs a shadow ray looks for the nearest surface that stops it.
            blocked =
                blockedThroughCutOuts(s->textures, from, dir, dist, [&](const Ray& r, SurfaceHitRecord* h) {
                    return s->wide ? rt->intersectMov(r, h, s->wide, s->movables, s->triangles)
                                   : rt->intersectMov(r, h, s->nodes, s->triIndices, s->movables,
                                                      s->triangles, s->materials, aabb());
                });
        } else {
            blocked = s->wide ? rt->occludeMov(Ray(from, dir), dist, s->wide, s->movables)
                              : rt->occludeMov(Ray(from, dir), dist, s->nodes, s->triIndices, s->movables,
                                               s->triangles, s->materials, aabb());
        }
#if !defined(__CUDA_ARCH__)
        if (timed) querystats::add(false, querystats::now() - t0);
#endif
        return blocked ? Color(0.0f, 0.0f, 0.0f) : Color(1.0f, 1.0f, 1.0f);
    }
};

LUMENAR_HD inline bool Raytrace::nearestHit(const Ray& ray, const DynamicScene& s, SurfaceHitRecord* hit) {
#if !defined(__CUDA_ARCH__)
    const bool timed = querystats::enabled();
    const unsigned long long t0 = timed ? querystats::now() : 0;
#endif
    const bool found = nearestOpaqueHit(s.textures, ray, hit, [&](const Ray& r, SurfaceHitRecord* h) {
        return s.wide
                   ? intersectMov(r, h, s.wide, s.movables, s.triangles)
                   : intersectMov(r, h, s.nodes, s.triIndices, s.movables, s.triangles, s.materials, aabb());
    });
#if !defined(__CUDA_ARCH__)
    if (timed) querystats::add(true, querystats::now() - t0);
#endif
    return found;
}

// Fog and walk costs for the CPU backend's --stats.
struct HostMediaStats {
    LUMENAR_HD unsigned long long marchBegin() const {
#if !defined(__CUDA_ARCH__)
        if (querystats::enabled()) return querystats::now();
#endif
        return 0;
    }
    LUMENAR_HD void marchEnd(unsigned long long begin, int samples) const {
#if !defined(__CUDA_ARCH__)
        if (querystats::enabled()) querystats::addMarch(querystats::now() - begin, samples);
#else
        (void)begin;
        (void)samples;
#endif
    }
    LUMENAR_HD void walkStep() const {
#if !defined(__CUDA_ARCH__)
        if (querystats::enabled()) querystats::addWalkStep();
#endif
    }
};

LUMENAR_HD inline BounceResult Raytrace::TraceRay(const Ray& ray, int bounce, PathSampleDraws& draws,
                                                  const DynamicScene& s, const Color& throughput) {
    const DynamicSceneQueries q{this, &s};
    return traceBounce(ray, bounce, draws, s, media, q, s.directLightStrategy, throughput, HostMediaStats());
}

// The bounce launch: one thread per live path, each advanced by one bounce
// with the given media (fog: the scene's medium; inscatter: march it even
// when it does not emit; subsurface: walks in subsurface-marked materials).
// Each path's generator is seeded from the frame seed, the path's identity
// and the bounce (bounceSeed), so the same frame seed gives the same image on
// any number of threads; the first bounces also read the pixel sample's
// Sobol points of `stream`.
void RayTraceKernelGLFinalHackMov(int seed, int bounce, const DynamicScene& scene, const MediaFlags& media,
                                  Color* frame, pixelData* paths, int count, int superSampleFactor,
                                  const SampleStream& stream = SampleStream());

}  // namespace lumenar
