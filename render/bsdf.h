// Surface scattering: the microfacet building blocks shared by every sampler
// and the continuation sampler that extends an interactive path by one bounce.
//
// Three lobes: 0 diffuse, 1 reflection, 2 refraction. Reflection and
// refraction draw a GGX half vector; a Schlick Fresnel term picks reflection,
// then the material's transparency picks refraction over diffuse. Roughness 0
// makes reflection and refraction perfectly specular.
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

enum Lobe : int32_t { kLobeDiffuse = 0, kLobeReflection = 1, kLobeRefraction = 2 };

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

// Uniform numbers of one Metropolis bounce, each in [0, 1): u0 half-vector
// azimuth, u1 half-vector polar angle, u2 anisotropic half-plane, u3 Fresnel
// decision, u4 transparency decision, u5 and u6 diffuse direction.
struct BSDFSample {
    float u[7];
};

LUMENAR_HD inline float pow5(float x) {
    const float x2 = x * x;
    return x2 * x2 * x;
}

LUMENAR_HD inline Color colorLerp(const Color& a, const Color& b, float t) {
    return a * t + b * (1.0f - t);
}

// Colour of the reflection lobe: base colour for metals, specular otherwise.
LUMENAR_HD inline Color specularColor(const Material& m) {
    return colorLerp(m.basecolor, m.specular, m.metalness);
}

// Reflectance at normal incidence, blended towards 1 by metalness.
LUMENAR_HD inline float fresnelF0(const Material& m) {
    const float r = (m.IOR - 1.0f) / (m.IOR + 1.0f);
    const float f0 = r * r;
    return f0 * (1.0f - m.metalness) + m.metalness;
}

// Smith-Schlick masking term for one direction.
LUMENAR_HD inline float smithG1(float x, float k) {
    return x / (x * (1.0f - k) + k);
}

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

// Geometry of one microfacet interaction: incoming direction d, oriented
// normal nl and half vector H.
struct MicrofacetGeometry {
    Vector3d refracted;  // T; meaningless under total internal reflection
    Vector3d reflected;  // R
    float VH;            // V . H with V = -d
    float NV;            // nl . V
    float NH;            // nl . H
    float eta;           // relative index: 1/IOR entering, IOR leaving
    float fresnel;       // F; 1 under total internal reflection
    float reflectProb;   // probability of taking reflection at this half vector, in [0, 1]
    bool totalInternal;
};

LUMENAR_HD inline MicrofacetGeometry microfacetGeometry(const Vector3d& d, const Vector3d& nl,
                                                        const Vector3d& H, bool entering, const Material& m) {
    MicrofacetGeometry g;
    const Vector3d V = -d;
    g.VH = dot(V, H);
    g.NV = dot(nl, V);
    g.NH = dot(nl, H);
    g.eta = entering ? 1.0f / m.IOR : m.IOR;
    const float cos2t = 1.0f - g.eta * g.eta * (1.0f - g.VH * g.VH);
    // Only rays leaving the denser side can meet it when IOR > 1; a material
    // with IOR < 1 meets it entering.
    g.totalInternal = cos2t < 0.0f;
    g.refracted = normalize(d * g.eta - H * (sqrtf(cos2t) - g.eta * g.VH));
    g.reflected = d + H * (2.0f * g.VH);
    const float f0 = fresnelF0(m);
    if (g.totalInternal)
        g.fresnel = 1.0f;
    else if (f0 <= 0.0f)
        g.fresnel = 0.0f;  // matched indices: no interface, nothing reflects (not even at grazing angles)
    else if (entering)
        g.fresnel = f0 + (1.0f - f0) * pow5(1.0f - g.VH);
    else
        g.fresnel = f0 + (1.0f - f0) * pow5(1.0f + dot(H, g.refracted));
    // A microfacet turned away from the viewer reflects nothing towards it
    // (Schlick's formula would give it F > 1): a dielectric goes on to the
    // refraction or diffuse choice, a metal, which has nothing else, still
    // reflects (into the surface, which ends the path).
    if (g.totalInternal)
        g.reflectProb = 1.0f;
    else if (!(g.VH > 0.0f))
        g.reflectProb = f0 >= 1.0f ? 1.0f : 0.0f;
    else
        g.reflectProb = fminf(fmaxf(g.fresnel, 0.0f), 1.0f);
    return g;
}

// Reflection is taken when the Fresnel number falls below its probability
// (F at a microfacet facing the viewer). Where that probability is 1 (total
// internal reflection, a metal) it is taken for every number: draws of
// exactly 1 must not reach a lobe of probability 0.
LUMENAR_HD inline bool choosesReflection(float xi, const MicrofacetGeometry& g) {
    return xi < g.reflectProb || g.reflectProb >= 1.0f;
}

struct Continuation {
    Ray ray;
    Color factor;
};

// Continuation of an interactive path at hit point x with surface normal n
// for the unit ray direction d. Takes three (reflection), four (refraction)
// or six (diffuse) numbers.
template <class Draws>
LUMENAR_HD Continuation sampleContinuationFrom(const Vector3d& x, const Vector3d& n, const Vector3d& d,
                                               const Material& m, Draws& next) {
    const Vector3d nl = orientNormal(n, d);
    const bool entering = dot(n, nl) > 0.0f;
    const float r2 = m.roughness * m.roughness;
    const float alpha2 = r2 * r2;
    const float k = alpha2 / 2.0f;
    const float xi1 = next();
    const float xi2 = next();
    const Vector3d H = ggxHalfVector(xi1, xi2, alpha2, microfacetFrame(nl));
    const MicrofacetGeometry g = microfacetGeometry(d, nl, H, entering, m);

    Continuation c;
    Vector3d dir;
    if (choosesReflection(next(), g)) {
        dir = g.reflected;
        const float NL = fminf(fmaxf(dot(nl, dir), 0.0f), 1.0f);
        if (NL > 0.0f) {
            const float G = smithG1(NL, k) * smithG1(g.NV, k);
            c.factor = specularColor(m) * (g.VH * G / (g.NV * g.NH));
        } else {
            // A microfacet reflection below the surface carries no light: the
            // factor 0 ends the path at the roulette.
            c.factor = Color(0.0f, 0.0f, 0.0f);
        }
    } else if (next() < m.transparency) {
        dir = g.refracted;
        // Masking takes the cosine on the far side by its size. A refraction
        // that stays on the near side, or through a microfacet turned away
        // from the viewer, carries no light.
        const float NL = dot(nl, dir);
        const float G = smithG1(fabsf(NL), k) * smithG1(fabsf(g.NV), k);
        c.factor = NL < 0.0f && g.VH > 0.0f ? m.transmission * (fabsf(g.VH) * G / (fabsf(g.NV) * fabsf(g.NH)))
                                            : Color(0.0f, 0.0f, 0.0f);
    } else {
        const float xi5 = next();
        const float xi6 = next();
        dir = cosineDirection(xi5, xi6, cosineFrame(nl));
        // Lambertian basecolor / pi drawn with density cos / pi: the weight
        // is the base colour (the lobe's selection probability cancels).
        c.factor = m.basecolor;
    }
    c.ray = Ray(x + dir * kRayOffset, dir);
    return c;
}

LUMENAR_HD inline Continuation sampleContinuation(const Vector3d& x, const Vector3d& n, const Vector3d& d,
                                                  const Material& m, XorwowState* rng) {
    XorwowDraws draws{rng};
    return sampleContinuationFrom(x, n, d, m, draws);
}

}  // namespace lumenar
