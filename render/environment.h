// Image-based lighting: a latitude-longitude (equirectangular) environment
// image around the scene, looked up with bilinear filtering and sampled in
// proportion to its brightness.
//
// Mapping: +y is up and the image's top row is the zenith (v = 0); the
// image's horizontal centre (u = 0.5) looks along -z and u grows towards +x.
// A direction with polar angle theta from +y and azimuth phi = 2 pi (u - 0.5)
// is (sin theta sin phi, cos theta, -sin theta cos phi). The whole image may
// be turned about +y by `rotation` radians.
//
// Sampling draws a texel from a piecewise-constant distribution over the
// image (a marginal CDF over rows, a conditional CDF over each row's texels,
// built on the host) and a point inside it uniformly in (u, v); the density
// per solid angle is the (u, v) density over 2 pi^2 sin theta. The texel
// weights are the brightest luminance the bilinear lookup can reach from the
// texel (its 3 x 3 neighbourhood) times sin theta at the texel's centre, so
// every direction with radiance has a density above zero.
#pragma once

#include <cmath>
#include <cstdint>

#include "device/hd.h"
#include "scene/environment_map.h"
#include "scene/types.h"

namespace lumenar {

constexpr float kEnvPi = 3.14159265358979f;

// Image coordinates (u, v) in [0, 1) x [0, 1] of a unit direction.
struct EnvUV {
    float u, v;
};

LUMENAR_HD inline EnvUV envDirectionToUV(const EnvironmentView& env, const Vector3d& d) {
    // Undo the rotation about +y (right-handed: a positive angle takes -z
    // towards -x).
    const float x = env.cosRotation * d.x - env.sinRotation * d.z;
    const float z = env.sinRotation * d.x + env.cosRotation * d.z;
    const float y = fminf(fmaxf(d.y, -1.0f), 1.0f);
    float u = atan2f(x, -z) * (0.5f / kEnvPi) + 0.5f;
    if (u >= 1.0f) u -= 1.0f;
    if (u < 0.0f) u += 1.0f;
    return EnvUV{u, acosf(y) / kEnvPi};
}

LUMENAR_HD inline Vector3d envUVToDirection(const EnvironmentView& env, float u, float v) {
    const float phi = 2.0f * kEnvPi * (u - 0.5f);
    const float theta = kEnvPi * v;
    const float st = sinf(theta);
    const float x = st * sinf(phi), z = -st * cosf(phi);
    return Vector3d(env.cosRotation * x + env.sinRotation * z, cosf(theta),
                    -env.sinRotation * x + env.cosRotation * z);
}

LUMENAR_HD inline Color envTexel(const EnvironmentView& env, int i, int j) {
    const float* t = env.texels + (static_cast<int64_t>(j) * env.width + i) * 3;
    return Color(t[0], t[1], t[2]);
}

// Bilinear lookup between texel centres: wraps around in u, clamps at the
// poles.
LUMENAR_HD inline Color envLookup(const EnvironmentView& env, float u, float v) {
    const float x = u * static_cast<float>(env.width) - 0.5f;
    const float y = v * static_cast<float>(env.height) - 0.5f;
    const float fx = floorf(x), fy = floorf(y);
    const float ax = x - fx, ay = y - fy;
    int i0 = static_cast<int>(fx) % env.width;
    if (i0 < 0) i0 += env.width;
    const int i1 = i0 + 1 == env.width ? 0 : i0 + 1;
    const int j0 = static_cast<int>(fx == fx ? fy : 0.0f);
    const int ja = j0 < 0 ? 0 : (j0 >= env.height ? env.height - 1 : j0);
    const int jb = j0 + 1 < 0 ? 0 : (j0 + 1 >= env.height ? env.height - 1 : j0 + 1);
    const Color top = envTexel(env, i0, ja) * (1.0f - ax) + envTexel(env, i1, ja) * ax;
    const Color bottom = envTexel(env, i0, jb) * (1.0f - ax) + envTexel(env, i1, jb) * ax;
    return (top * (1.0f - ay) + bottom * ay) * env.scale;
}

// Radiance arriving from the environment along the unit direction d (d
// points away from the scene, towards the sky).
LUMENAR_HD inline Color envRadiance(const EnvironmentView& env, const Vector3d& d) {
    const EnvUV uv = envDirectionToUV(env, d);
    return envLookup(env, uv.u, uv.v);
}

// Index k with cdf[k] <= xi < cdf[k + 1] among n intervals, skipping
// intervals of zero width.
LUMENAR_HD inline int envFindInterval(const float* cdf, int n, float xi) {
    int lo = 0, hi = n;  // cdf[lo] <= xi < cdf[hi] as far as known
    while (hi - lo > 1) {
        const int mid = (lo + hi) / 2;
        if (cdf[mid] <= xi)
            lo = mid;
        else
            hi = mid;
    }
    // Zero-width intervals share their start with the next one: step past them.
    while (lo + 1 < n && !(cdf[lo + 1] > cdf[lo])) ++lo;
    return lo;
}

// Density per solid angle with which envSample produces direction d.
LUMENAR_HD inline float envPdf(const EnvironmentView& env, const Vector3d& d) {
    const EnvUV uv = envDirectionToUV(env, d);
    const float sinTheta = sinf(kEnvPi * uv.v);
    if (!(sinTheta > 0.0f)) return 0.0f;
    int i = static_cast<int>(uv.u * static_cast<float>(env.width));
    int j = static_cast<int>(uv.v * static_cast<float>(env.height));
    i = i < 0 ? 0 : (i >= env.width ? env.width - 1 : i);
    j = j < 0 ? 0 : (j >= env.height ? env.height - 1 : j);
    const float* row = env.conditionalCdf + static_cast<int64_t>(j) * (env.width + 1);
    const float pdfUV = (env.marginalCdf[j + 1] - env.marginalCdf[j]) * (row[i + 1] - row[i]) *
                        static_cast<float>(env.width) * static_cast<float>(env.height);
    return pdfUV / (2.0f * kEnvPi * kEnvPi * sinTheta);
}

struct EnvSample {
    Vector3d dir;
    float pdf;  // per solid angle; 0 when nothing could be drawn
    Color Le;
};

// Draws a direction from two uniform numbers in [0, 1).
LUMENAR_HD inline EnvSample envSample(const EnvironmentView& env, float xa, float xb) {
    EnvSample s;
    s.pdf = 0.0f;
    s.Le = Color(0.0f, 0.0f, 0.0f);
    if (!env) return s;
    const int j = envFindInterval(env.marginalCdf, env.height, xa);
    const float r0 = env.marginalCdf[j], r1 = env.marginalCdf[j + 1];
    const float* row = env.conditionalCdf + static_cast<int64_t>(j) * (env.width + 1);
    const int i = envFindInterval(row, env.width, xb);
    const float c0 = row[i], c1 = row[i + 1];
    if (!(r1 > r0) || !(c1 > c0)) return s;
    const float dv = fminf(fmaxf((xa - r0) / (r1 - r0), 0.0f), 0.99999994f);
    const float du = fminf(fmaxf((xb - c0) / (c1 - c0), 0.0f), 0.99999994f);
    const float u = (static_cast<float>(i) + du) / static_cast<float>(env.width);
    const float v = (static_cast<float>(j) + dv) / static_cast<float>(env.height);
    const float sinTheta = sinf(kEnvPi * v);
    if (!(sinTheta > 0.0f)) return s;
    s.dir = envUVToDirection(env, u, v);
    s.pdf = (r1 - r0) * (c1 - c0) * static_cast<float>(env.width) * static_cast<float>(env.height) /
            (2.0f * kEnvPi * kEnvPi * sinTheta);
    s.Le = envLookup(env, u, v);
    return s;
}

}  // namespace lumenar
