// Ray queries through cut-outs (alpha masks and blended materials): a hit on
// a triangle whose material lets the ray through there is passed over, and
// the query goes on from it. Scenes without a cut-out ask nothing more of
// their queries than before.
#pragma once

#include "accel/device_layout.h"
#include "render/texture.h"

namespace lumenar {

// Most cut-out surfaces one query passes through; a ray that meets more is
// stopped by the last.
constexpr int kMaxCutOutLayers = 64;

// The nearest hit along `ray` that no cut-out lets through, found by
// `find(const Ray&, SurfaceHitRecord*)` (the walk of a tree): each hit a
// cut-out passes is followed by a new query from that hit on. The record's
// distance is along `ray`.
template <class Find>
LUMENAR_HD bool nearestOpaqueHit(const SceneTextures& st, const Ray& ray, SurfaceHitRecord* rec, Find find) {
    if (!find(ray, rec)) return false;
    if (!st.cutOuts) return true;
    float travelled = 0.0f;
    Ray r = ray;
    for (int layer = 0; layer < kMaxCutOutLayers; ++layer) {
        if (!passesThrough(st, rec->materialIndex, rec->triangleIndex, rec->b1, rec->b2, r.origin,
                           r.direction))
            break;
        travelled += rec->t;
        r.origin = ray.origin + ray.direction * travelled;
        if (!find(r, rec)) return false;
    }
    rec->t += travelled;
    rec->p = ray.origin + ray.direction * rec->t;
    return true;
}

// Whether something that no cut-out lets through lies along the unit
// direction `dir` from `from` on [kRayEpsilon, dist - 0.001]: the shadow
// query of a scene with cut-outs (`find` as above).
template <class Find>
LUMENAR_HD bool blockedThroughCutOuts(const SceneTextures& st, const Vector3d& from, const Vector3d& dir,
                                      float dist, Find find) {
    SurfaceHitRecord rec;
    if (!nearestOpaqueHit(st, Ray(from, dir), &rec, find)) return false;
    return rec.t <= static_cast<float>(static_cast<double>(dist) - 0.001);
}

}  // namespace lumenar
