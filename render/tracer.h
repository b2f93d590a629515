// The interactive path tracer: one bounce of every live path per launch,
// nearest hits and shadow queries through the dynamic BVH.
#pragma once

#include "accel/traversal.h"
#include "device/random.h"
#include "render/accumulation.h"
#include "render/bounce.h"
#include "render/media.h"
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

// Per-thread tracer: traversal stacks plus the feature flags of the kernels.
class Raytrace : public TreeTraversal {
 public:
    bool flags[10];

    LUMENAR_HD Raytrace(bool f0, bool f1, bool f2, bool f3, bool f4, bool f5, bool f6, bool f7, bool f8)
        : flags{f0, f1, f2, f3, f4, f5, f6, f7, f8, false} {}

    LUMENAR_HD bool fogEnabled() const { return flags[5]; }
    LUMENAR_HD bool subsurfaceEnabled() const { return flags[8]; }
    // Marches the medium for in-scattered light even when it does not emit.
    LUMENAR_HD bool inscatterEnabled() const { return flags[6]; }

    // One bounce of a path: nearest hit, emitted or background light, direct
    // light from one emissive triangle (multiple importance sampling), the
    // continuation and Russian roulette.
    // `throughput` is the path's weight so far (the roulette decides on it).
    LUMENAR_HD BounceResult TraceRayMov(const Ray& ray, int bounce, PathSampleDraws& draws,
                                        const DynamicScene& s,
                                        const Color& throughput = Color(1.0f, 1.0f, 1.0f));

    // The same bounce with fog (the scene's first medium) and subsurface
    // walks, as the fog, in-scattering and subsurface flags ask.
    LUMENAR_HD BounceResult TraceRaySSVol(const Ray& ray, int bounce, PathSampleDraws& draws,
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

// The shadow queries the shading code asks of the tracer.
struct DynamicSceneQueries {
    Raytrace* rt;
    const DynamicScene* s;

    // The nearest surface along a sampled direction, reported when it is a
    // light (the BSDF-sampling side of the direct-light estimate).
    LUMENAR_HD EmitterHit nearestEmitter(const Ray& r) const {
        SurfaceHitRecord rec;
        if (!rt->nearestHit(r, *s, &rec)) {
            EmitterHit e;
            e.escaped = true;
            return e;
        }
        return emitterHitOf(s->triangles[rec.triangleIndex], s->materials, rec.t, rec.triangleIndex);
    }

    LUMENAR_HD bool nearest(const Ray& r, SurfaceHit* hit) const {
        SurfaceHitRecord rec;
        if (!rt->nearestHit(r, *s, &rec)) return false;
        *hit = surfaceHitOf(r, rec, s->textures);
        return true;
    }

    LUMENAR_HD bool occluded(const Vector3d& from, const Vector3d& dir, float dist) const {
#if !defined(__CUDA_ARCH__)
        const bool timed = querystats::enabled();
        const unsigned long long t0 = timed ? querystats::now() : 0;
#endif
        const bool blocked = s->wide ? rt->occludeMov(Ray(from, dir), dist, s->wide, s->movables)
                                     : rt->occludeMov(Ray(from, dir), dist, s->nodes, s->triIndices,
                                                      s->movables, s->triangles, s->materials, aabb());
#if !defined(__CUDA_ARCH__)
        if (timed) querystats::add(false, querystats::now() - t0);
#endif
        return blocked;
    }
};

LUMENAR_HD inline bool Raytrace::nearestHit(const Ray& ray, const DynamicScene& s, SurfaceHitRecord* hit) {
#if !defined(__CUDA_ARCH__)
    const bool timed = querystats::enabled();
    const unsigned long long t0 = timed ? querystats::now() : 0;
#endif
    const bool found =
        s.wide ? intersectMov(ray, hit, s.wide, s.movables, s.triangles)
               : intersectMov(ray, hit, s.nodes, s.triIndices, s.movables, s.triangles, s.materials, aabb());
#if !defined(__CUDA_ARCH__)
    if (timed) querystats::add(true, querystats::now() - t0);
#endif
    return found;
}

LUMENAR_HD inline BounceResult Raytrace::TraceRayMov(const Ray& ray, int bounce, PathSampleDraws& draws,
                                                     const DynamicScene& s, const Color& throughput) {
    SurfaceHitRecord rec;
    // A scene without triangles has no tree: every ray leaves it.
    if (!s.nodes || !s.triIndices || !nearestHit(ray, s, &rec))
        return missResult(escapedRadiance(s.bgcolor, s.lights.env.view, ray.direction, bounce == 0), ray);
    const SurfaceHit hit = surfaceHitOf(ray, rec, s.textures);
    const DynamicSceneQueries q{this, &s};
    return shadeHitFrom(ray, hit, bounce, draws, s.materials, s.lights, q, s.directLightStrategy, throughput);
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

LUMENAR_HD inline BounceResult Raytrace::TraceRaySSVol(const Ray& ray, int bounce, PathSampleDraws& draws,
                                                       const DynamicScene& s, const Color& throughput) {
    // A scene without triangles has no tree: every ray leaves it.
    if (!s.nodes || !s.triIndices)
        return missResult(escapedRadiance(s.bgcolor, s.lights.env.view, ray.direction, bounce == 0), ray);
    MediaFlags f;
    f.fog = fogEnabled();
    f.inscatter = inscatterEnabled();
    f.subsurface = subsurfaceEnabled();
    const DynamicSceneQueries q{this, &s};
    return traceSSVolFrom(ray, bounce, draws, s.materials, s.bgcolor, s.lights, s.volumeCount, s.volumes, f,
                          q, s.directLightStrategy, HostMediaStats(), throughput);
}

// The bounce launch: one thread per live path. Each path's generator is
// seeded from the frame seed, the path's identity and the bounce
// (bounceSeed), so the same frame seed gives the same image on any number of
// threads; the first bounces also read the pixel sample's Sobol points of
// `stream`.
void RayTraceKernelGLFinalHackMov(int seed, int bounce, const DynamicScene& scene, bool fogEnabled,
                                  bool ssEnabled, Color* frame, pixelData* paths, int count,
                                  int superSampleFactor, const SampleStream& stream = SampleStream());

// The same launch through TraceRaySSVol, for frames with fog or subsurface
// scattering on; the scene's in-scattering setting is the tracer's seventh flag.
void RayTraceKernelGLFinalHackMovSSVol(int seed, int bounce, const DynamicScene& scene, bool fogEnabled,
                                       bool ssEnabled, Color* frame, pixelData* paths, int count,
                                       int superSampleFactor, const SampleStream& stream = SampleStream());

}  // namespace lumenar
