// Directions of the samplers: frames about a normal, GGX half vectors,
// cosine-weighted directions, and the draw sources the samplers read.
//
// Samplers are written against a draw source: any callable returning the next
// uniform number. The device code passes XorwowDraws; tests can script the
// numbers and count how many were taken.
#pragma once

#include <cmath>

#include "device/hd.h"
#include "device/random.h"
#include "scene/records.h"

namespace lumenar {

// Constants formed in double precision; products with them are taken in
// double and rounded to float so both backends agree.
constexpr double kTwoPiD = 6.283185308;
constexpr double kPiD = 3.141592654;
constexpr float kInvPiF = 0.318309873f;
constexpr float kPiF = 3.14159265f;
// Sampled rays start this far along their own direction from the surface.
constexpr float kRayOffset = 0.0001f;

// Draws from a per-thread xorwow generator.
struct XorwowDraws {
    XorwowState* state;
    LUMENAR_HD float operator()() { return xorwowUniform(state); }
};

// Uniform numbers of one Metropolis bounce, each in [0, 1), read in order by
// the material sampler: u0 and u1 the half vector (or cosine direction), u2
// the lobe, u3 reflection or refraction at the interface; the rest spare.
struct BSDFSample {
    float u[7];
};

// n if it faces against d, else -n; normalised.
LUMENAR_HD inline Vector3d orientNormal(const Vector3d& n, const Vector3d& d) {
    return normalize(dot(n, d) < 0.0f ? n : -n);
}

// Orthonormal frame (u, v, w) around w for cosine-weighted directions.
struct Frame {
    Vector3d u, v, w;
};

LUMENAR_HD inline Frame cosineFrame(const Vector3d& w) {
    const Vector3d a =
        fabs(static_cast<double>(w.x)) > 0.1 ? Vector3d(0.0f, 1.0f, 0.0f) : Vector3d(1.0f, 0.0f, 0.0f);
    Frame f;
    f.w = w;
    f.u = normalize(cross(a, w));
    f.v = cross(w, f.u);
    return f;
}

// Tangent frame (tX, tY, nl) in which half vectors are drawn.
LUMENAR_HD inline Frame microfacetFrame(const Vector3d& nl) {
    const Vector3d up =
        fabs(static_cast<double>(nl.z)) < 0.999 ? Vector3d(0.0f, 0.0f, 1.0f) : Vector3d(1.0f, 0.0f, 0.0f);
    Frame f;
    f.w = nl;
    f.u = normalize(cross(up, nl));
    f.v = cross(nl, f.u);
    return f;
}

// Azimuth 2*pi*xi, formed in double.
LUMENAR_HD inline float azimuth(float xi) {
    return static_cast<float>(kTwoPiD * static_cast<double>(xi));
}

// GGX half vector for azimuth phi and polar number xi under width alpha2.
// A width of zero (or less) gives the normal itself: a perfectly specular lobe.
LUMENAR_HD inline Vector3d ggxHalfVectorAt(float phi, float xi, float alpha2, const Frame& f) {
    if (alpha2 <= 0.0f) return f.w;
    const float cosTheta = sqrtf((1.0f - xi) / (1.0f + (alpha2 - 1.0f) * xi));
    const float sinTheta = sqrtf(1.0f - cosTheta * cosTheta);
    return normalize(f.u * (sinTheta * cosf(phi)) + f.v * (sinTheta * sinf(phi)) + f.w * cosTheta);
}

LUMENAR_HD inline Vector3d ggxHalfVector(float xa, float xb, float alpha2, const Frame& f) {
    return ggxHalfVectorAt(azimuth(xa), xb, alpha2, f);
}

// Anisotropic azimuth and the width that goes with it. ax, ay are the widths
// along the two tangents (roughness squared); u0 picks the angle, u2 the half
// plane.
struct AnisoAzimuth {
    float phi;
    float alpha2;
};

LUMENAR_HD inline AnisoAzimuth anisotropicAzimuth(float ax, float ay, float u0, float u2) {
    const double s = u2 < 0.5f ? 1.0 : -1.0;
    AnisoAzimuth r;
    r.phi = static_cast<float>(
        atan2(static_cast<double>(ay) * tan(kPiD * static_cast<double>(u0)), s * static_cast<double>(ax)) +
        kPiD);
    const float c = cosf(r.phi), sn = sinf(r.phi);
    const float ax2 = ax * ax, ay2 = ay * ay;
    if (ax == 0.0f)
        r.alpha2 = c == 0.0f ? ay2 : 0.0f;
    else if (ay == 0.0f)
        r.alpha2 = sn == 0.0f ? ax2 : 0.0f;
    else
        r.alpha2 = ax2 * ay2 / (ax2 * sn * sn + ay2 * c * c);
    return r;
}

// Cosine-weighted direction around f.w from an azimuth number and a radius
// number.
LUMENAR_HD inline Vector3d cosineDirection(float xa, float xb, const Frame& f) {
    const float phi = azimuth(xa);
    const float r = sqrtf(xb);
    return normalize(f.u * (cosf(phi) * r) + f.v * (sinf(phi) * r) + f.w * sqrtf(1.0f - xb));
}

}  // namespace lumenar
