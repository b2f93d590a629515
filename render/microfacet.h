// Single-scattering microfacet pieces of the material model, and the layout of
// the directional-albedo tables built from them.
//
// The distribution is GGX (Trowbridge-Reitz) of width alpha^2 = roughness^4
// with the Smith masking term that belongs to it (separable form), so a
// single-scattering lobe never reflects more than arrives. Fresnel terms are
// Schlick's; a relative index of 1 (no interface) reflects nothing, not even
// at grazing angles.
//
// Everything here is also compiled into the table generator, which integrates
// the sample weights defined below over the half-vector distribution; the
// material model then reads the tables through albedoTable().
#pragma once

#include <cmath>

#include "device/hd.h"

namespace lumenar {

LUMENAR_HD inline float pow5(float x) {
    const float x2 = x * x;
    return x2 * x2 * x;
}

// Smith masking term of GGX width alpha2 for a direction at cosine x to the
// normal (1 for a smooth surface, 0 in the tangent plane).
LUMENAR_HD inline float smithG1(float x, float alpha2) {
    if (!(x > 0.0f)) return 0.0f;
    return 2.0f * x / (x + sqrtf(alpha2 + (1.0f - alpha2) * x * x));
}

LUMENAR_HD inline float widthSquared(float roughness) {
    const float r2 = roughness * roughness;
    return r2 * r2;
}

// GGX distribution of width alpha2 at mu = n . H, the distribution
// ggxHalfVector draws from (with density D x |mu|).
LUMENAR_HD inline float ggxD(float mu, float alpha2) {
    if (!(alpha2 > 0.0f)) return 0.0f;
    const double m2 = static_cast<double>(mu) * static_cast<double>(mu);
    const double a2 = static_cast<double>(alpha2);
    const double den = m2 * (a2 - 1.0) + 1.0;
    return static_cast<float>(a2 / (3.141592654 * den * den));
}

// Reflectance at normal incidence of an interface of relative index eta.
LUMENAR_HD inline float iorF0(float eta) {
    const float r = (eta - 1.0f) / (eta + 1.0f);
    return r * r;
}

// Schlick's Fresnel term at cosine c; 0 where there is no interface.
LUMENAR_HD inline float schlickFresnel(float f0, float c) {
    if (!(f0 > 0.0f)) return 0.0f;
    const float x = fminf(fmaxf(1.0f - c, 0.0f), 1.0f);
    return f0 + (1.0f - f0) * pow5(x);
}

// Fresnel term of a dielectric interface at a microfacet seen at cosine
// cosNear > 0 from the near side, eta = n(far) / n(near). Schlick's form is
// taken at the cosine on the less dense side, so a pair of directions joined
// through the facet gets the same value whichever side it starts from.
struct InterfaceFresnel {
    float F;       // 1 under total internal reflection
    float cosFar;  // cosine of the refracted direction to the facet; 0 under total reflection
    bool totalInternal;
};

LUMENAR_HD inline InterfaceFresnel interfaceFresnel(float cosNear, float eta) {
    InterfaceFresnel r;
    const float sin2Far = (1.0f - cosNear * cosNear) / (eta * eta);
    if (sin2Far >= 1.0f) {
        r.F = 1.0f;
        r.cosFar = 0.0f;
        r.totalInternal = true;
        return r;
    }
    r.cosFar = sqrtf(1.0f - sin2Far);
    r.totalInternal = false;
    r.F = schlickFresnel(iorF0(eta), eta >= 1.0f ? cosNear : r.cosFar);
    return r;
}

// ---- directional-albedo tables ---------------------------------------------
//
// Coat (reflection only, Fresnel F0 + (1 - F0)(1 - c)^5): its albedo at
// cosine mu is F0 x coatE1 + coatE2, linear in F0, so two tables over
// (roughness, mu) cover every index; a metal (F = 1) has coatE1 + coatE2.
// The averages E_avg = integral of E(mu) 2 mu dmu are those of the tables as
// interpolated.
//
// Interface (reflection and refraction of a rough dielectric) seen from one
// side, eta = n(far) / n(near): with the reflection weighted s F (1 under
// total internal reflection) and the refraction 1 - s F, its albedo is
// ifE0 + s ifE1. Tables over (side, index, roughness, mu): side 0 looks into
// the denser medium (eta >= 1), side 1 out of it; the index axis is
// max(eta, 1 / eta). ifRho is the share of the (s = 1) interface albedo,
// averaged over mu, that reflects.
namespace albedo {
constexpr int kCoatMu = 32;
constexpr int kCoatRough = 32;
constexpr int kIfMu = 16;
constexpr int kIfRough = 16;
constexpr int kIfIor = 21;
constexpr float kIfIorMax = 3.0f;  // index axis: 1 ... 3

constexpr int kCoatE1 = 0;
constexpr int kCoatE2 = kCoatE1 + kCoatMu * kCoatRough;
constexpr int kCoatAvg1 = kCoatE2 + kCoatMu * kCoatRough;
constexpr int kCoatAvg2 = kCoatAvg1 + kCoatRough;
constexpr int kIfCells = 2 * kIfIor * kIfRough * kIfMu;
constexpr int kIfAvgCells = 2 * kIfIor * kIfRough;
constexpr int kIfE0 = kCoatAvg2 + kCoatRough;
constexpr int kIfE1 = kIfE0 + kIfCells;
constexpr int kIfAvg0 = kIfE1 + kIfCells;
constexpr int kIfAvg1 = kIfAvg0 + kIfAvgCells;
constexpr int kIfRho = kIfAvg1 + kIfAvgCells;
constexpr int kTableSize = kIfRho + kIfAvgCells;

// Node values of the axes. mu's first node sits just above 0, where the
// weights are still defined.
LUMENAR_HD inline float muNode(int i, int n) {
    return i == 0 ? 0.001f : static_cast<float>(i) / static_cast<float>(n - 1);
}
LUMENAR_HD inline float roughNode(int i, int n) {
    return static_cast<float>(i) / static_cast<float>(n - 1);
}
LUMENAR_HD inline float iorNode(int i) {
    return 1.0f + (kIfIorMax - 1.0f) * static_cast<float>(i) / static_cast<float>(kIfIor - 1);
}
LUMENAR_HD inline int coatIndex(int r, int mu) {
    return r * kCoatMu + mu;
}
LUMENAR_HD inline int ifAvgIndex(int side, int ior, int r) {
    return (side * kIfIor + ior) * kIfRough + r;
}
LUMENAR_HD inline int ifIndex(int side, int ior, int r, int mu) {
    return ifAvgIndex(side, ior, r) * kIfMu + mu;
}
}  // namespace albedo

// Sample weights f |cos| / density of one half vector H drawn with density
// D(H) (n . H), for an outgoing direction wo at cosine NO = n . wo > 0. OH is
// wo . H, NH is n . H, NI the cosine of the scattered direction. Zero where
// the scattered direction falls on the wrong side.
LUMENAR_HD inline float reflectionWeight(float NO, float NI, float OH, float NH, float alpha2) {
    if (!(NI > 0.0f) || !(OH > 0.0f) || !(NH > 0.0f)) return 0.0f;
    return smithG1(NI, alpha2) * smithG1(NO, alpha2) * OH / (NO * NH);
}
LUMENAR_HD inline float refractionWeight(float NO, float NI, float OH, float NH, float alpha2) {
    if (!(NI < 0.0f) || !(OH > 0.0f) || !(NH > 0.0f)) return 0.0f;
    return smithG1(-NI, alpha2) * smithG1(NO, alpha2) * OH / (NO * NH);
}

}  // namespace lumenar
