// The material model: one place that evaluates, samples and gives the density
// of a surface material, for every estimator (path continuation, next-event
// estimation, fog and subsurface bounces, Metropolis).
//
// A material is a mix, by metalness, of a metal and a dielectric:
//  - metal: a GGX reflection of colour basecolor (Fresnel 1), plus a
//    multiple-scattering lobe that returns what the single-scattering lobe
//    loses (albedo scaling with the metal's directional albedo E(mu));
//  - dielectric: a coat over a base. The coat is a GGX reflection weighted
//    specular x F (Schlick, F0 from the IOR); specular 0 is no coat. The base
//    is, by transparency, diffuse or refraction:
//      * diffuse: basecolor / pi times what the coat leaves over the whole
//        hemisphere, (1 - E(mu_o)) (1 - E(mu_i)) / (1 - E_avg) per channel,
//        with E the coat's own directional albedo, so coat plus base add up
//        to 1 for a white base and the pair stays reciprocal;
//      * refraction: the coat is the interface itself; a microfacet reflects
//        specular x F (all of it under total internal reflection) and
//        refracts the rest, tinted by the transmission colour; a
//        multiple-scattering lobe returns what the rough interface loses,
//        part on each side.
// A negative transparency marks a subsurface material. Outside subsurface
// mode it is an opaque coated diffuse material; in subsurface mode its base
// is the entry into the material (the walk in media.h takes over).
//
// Lobes are picked with probabilities that depend only on the outgoing
// direction (their albedos there), so a caller may condition on the picked
// lobe: lobeValue / lobeProbability and lobeDensity form an unbiased
// one-lobe estimate. Perfectly smooth lobes (roughness 0) are not evaluated;
// they are only sampled.
#pragma once

#include "render/albedo_tables.h"
#include "render/directions.h"
#include "render/microfacet.h"
#include "scene/records.h"

namespace lumenar {

enum Lobe : int32_t {
    kLobeDiffuse = 0,            // coated diffuse base
    kLobeReflection = 1,         // the coat over an opaque base
    kLobeRefraction = 2,         // a dielectric interface: reflection and refraction
    kLobeMetal = 3,              // metal reflection
    kLobeMetalMultiple = 4,      // what the metal's microfacets pass between themselves
    kLobeInterfaceMultiple = 5,  // what the interface's microfacets pass between themselves
    kLobeEnter = 6,              // subsurface mode: into (or out of) the material
};
constexpr int kLobeCount = 7;

// Lobes whose light the next-event estimate takes from the light point only
// (cosine-shaped: tracing their sampled directions gains little).
LUMENAR_HD inline bool isCosineLobe(int lobe) {
    return lobe == kLobeDiffuse || lobe == kLobeMetalMultiple || lobe == kLobeInterfaceMultiple;
}

LUMENAR_HD inline float colorMean(const Color& c) {
    return (c.r + c.g + c.b) * (1.0f / 3.0f);
}

LUMENAR_HD inline Color clampUnit(const Color& c) {
    return Color(fminf(fmaxf(c.r, 0.0f), 1.0f), fminf(fmaxf(c.g, 0.0f), 1.0f), fminf(fmaxf(c.b, 0.0f), 1.0f));
}

// ---- table look-ups -----------------------------------------------------------

namespace albedo {

struct AxisPos {
    int i;
    float t;
};

LUMENAR_HD inline AxisPos muAxis(float mu, int n) {
    const float x = fminf(fmaxf(mu, 0.0f), 1.0f);
    int i = static_cast<int>(x * static_cast<float>(n - 1));
    if (i > n - 2) i = n - 2;
    const float a = muNode(i, n), b = muNode(i + 1, n);
    return {i, fminf(fmaxf((x - a) / (b - a), 0.0f), 1.0f)};
}

LUMENAR_HD inline AxisPos uniformAxis(float x, int n) {
    const float s = fminf(fmaxf(x, 0.0f), 1.0f) * static_cast<float>(n - 1);
    int i = static_cast<int>(s);
    if (i > n - 2) i = n - 2;
    return {i, fminf(fmaxf(s - static_cast<float>(i), 0.0f), 1.0f)};
}

LUMENAR_HD inline float lerp(float a, float b, float t) {
    return a + (b - a) * t;
}

// Coat albedo parts (E1, E2) at cosine mu and roughness.
struct CoatAlbedo {
    float e1, e2, avg1, avg2;
};

LUMENAR_HD inline CoatAlbedo coatAlbedo(float mu, float roughness) {
    const AxisPos r = uniformAxis(roughness, kCoatRough);
    const AxisPos m = muAxis(mu, kCoatMu);
    auto at = [&](int base) {
        const float a =
            lerp(albedoTable(base + coatIndex(r.i, m.i)), albedoTable(base + coatIndex(r.i, m.i + 1)), m.t);
        const float b = lerp(albedoTable(base + coatIndex(r.i + 1, m.i)),
                             albedoTable(base + coatIndex(r.i + 1, m.i + 1)), m.t);
        return lerp(a, b, r.t);
    };
    CoatAlbedo c;
    c.e1 = at(kCoatE1);
    c.e2 = at(kCoatE2);
    c.avg1 = lerp(albedoTable(kCoatAvg1 + r.i), albedoTable(kCoatAvg1 + r.i + 1), r.t);
    c.avg2 = lerp(albedoTable(kCoatAvg2 + r.i), albedoTable(kCoatAvg2 + r.i + 1), r.t);
    return c;
}

// Interface albedo at cosine mu from the side where eta = n(far) / n(near):
// e0 + s e1, its average, and the reflected share.
struct InterfaceAlbedo {
    float e0, e1, avg0, avg1, rho;
};

LUMENAR_HD inline InterfaceAlbedo interfaceAlbedo(float mu, float roughness, float eta) {
    const int side = eta >= 1.0f ? 0 : 1;
    const float ior = side == 0 ? eta : 1.0f / eta;
    const AxisPos q = uniformAxis((ior - 1.0f) / (kIfIorMax - 1.0f), kIfIor);
    const AxisPos r = uniformAxis(roughness, kIfRough);
    const AxisPos m = muAxis(mu, kIfMu);
    auto cell = [&](int base) {
        float v[2][2];
        for (int a = 0; a < 2; ++a)
            for (int b = 0; b < 2; ++b)
                v[a][b] = lerp(albedoTable(base + ifIndex(side, q.i + a, r.i + b, m.i)),
                               albedoTable(base + ifIndex(side, q.i + a, r.i + b, m.i + 1)), m.t);
        return lerp(lerp(v[0][0], v[0][1], r.t), lerp(v[1][0], v[1][1], r.t), q.t);
    };
    auto avg = [&](int base) {
        return lerp(lerp(albedoTable(base + ifAvgIndex(side, q.i, r.i)),
                         albedoTable(base + ifAvgIndex(side, q.i, r.i + 1)), r.t),
                    lerp(albedoTable(base + ifAvgIndex(side, q.i + 1, r.i)),
                         albedoTable(base + ifAvgIndex(side, q.i + 1, r.i + 1)), r.t),
                    q.t);
    };
    InterfaceAlbedo a;
    a.e0 = cell(kIfE0);
    a.e1 = cell(kIfE1);
    a.avg0 = avg(kIfAvg0);
    a.avg1 = avg(kIfAvg1);
    a.rho = avg(kIfRho);
    return a;
}

}  // namespace albedo

// ---- the material at one point, seen from one direction -------------------------

// Everything the lobes need that depends only on the material, the normal and
// the outgoing direction wo (towards the viewer).
struct ShadingPoint {
    Material m;
    Vector3d n;   // surface normal as given (its side is the outside)
    Vector3d nl;  // n turned towards wo
    Vector3d wo;
    float NO;  // nl . wo, kept above 0
    float alpha2;
    float eta;  // n(far) / n(near) of the interface
    bool delta;
    bool nullInterface;  // IOR 1: a transparent base lets light straight through
    bool subsurface;
    float metal, dielectric, transparency;
    float coatF0;
    Color coatE;    // coat albedo at wo
    Color coatAvg;  // its average over the hemisphere
    float metalE, metalAvg;
    Color metalMultiple;  // colour of the metal's multiple scattering
    float specularMean, transmissionMean;
    float ifE, ifRho;  // interface albedo at wo (mean specular) and its reflected share
    float ifAvgNear, ifAvgFar;
    float prob[kLobeCount];
};

// The smallest cosine of wo that the weights use: a direction in the tangent
// plane (n . wo = 0) is treated as just above it.
constexpr float kMinCosine = 1e-6f;

LUMENAR_HD inline float interfaceE(const albedo::InterfaceAlbedo& a, float s) {
    return fminf(fmaxf(a.e0 + s * a.e1, 0.0f), 1.0f);
}

LUMENAR_HD inline float coatEChannel(const albedo::CoatAlbedo& c, float f0, float s) {
    if (!(f0 > 0.0f)) return 0.0f;
    return fminf(fmaxf(s * (f0 * c.e1 + c.e2), 0.0f), 1.0f);
}

LUMENAR_HD inline Color coatEColor(const albedo::CoatAlbedo& c, float f0, const Color& s) {
    return Color(coatEChannel(c, f0, s.r), coatEChannel(c, f0, s.g), coatEChannel(c, f0, s.b));
}

LUMENAR_HD inline Color coatAvgColor(const albedo::CoatAlbedo& c, float f0, const Color& s) {
    if (!(f0 > 0.0f)) return Color(0.0f, 0.0f, 0.0f);
    auto ch = [&](float x) { return fminf(fmaxf(x * (f0 * c.avg1 + c.avg2), 0.0f), 1.0f); };
    return Color(ch(s.r), ch(s.g), ch(s.b));
}

// (1 - E) / (1 - E_avg) per channel, 0 where the coat keeps everything.
LUMENAR_HD inline Color coatRemainder(const Color& e, const Color& avg) {
    auto ch = [](float x, float a) { return a < 0.999999f ? (1.0f - x) / (1.0f - a) : 0.0f; };
    return Color(ch(e.r, avg.r), ch(e.g, avg.g), ch(e.b, avg.b));
}

// Multiple-scattering colour of a metal of colour c whose microfacets all
// reflect c: the light that bounces k > 1 times is c^k, summed with the
// average albedo as the chance of leaving after each bounce.
LUMENAR_HD inline float metalMultipleChannel(float c, float eAvg) {
    const float den = 1.0f - c * (1.0f - eAvg);
    return den > 0.0f ? c * c * eAvg / den : 0.0f;
}

LUMENAR_HD inline ShadingPoint shadingPoint(const Material& m, const Vector3d& n, const Vector3d& wo,
                                            bool subsurface = false) {
    ShadingPoint p;
    p.m = m;
    p.n = n;
    p.nl = dot(n, wo) >= 0.0f ? n : -n;
    p.wo = wo;
    p.NO = fmaxf(dot(p.nl, wo), kMinCosine);
    const float rough = fminf(fmaxf(m.roughness, 0.0f), 1.0f);
    p.alpha2 = widthSquared(rough);
    p.delta = !(p.alpha2 > 0.0f);
    const bool outside = dot(n, wo) >= 0.0f;
    const float ior = m.IOR > 0.0f ? m.IOR : 1.0f;
    p.eta = outside ? ior : 1.0f / ior;
    p.nullInterface = fabsf(ior - 1.0f) < 1e-4f;
    p.subsurface = subsurface && m.transparency < 0.0f;
    p.metal = fminf(fmaxf(m.metalness, 0.0f), 1.0f);
    p.dielectric = 1.0f - p.metal;
    p.transparency = fminf(fmaxf(m.transparency, 0.0f), 1.0f);

    p.coatF0 = p.nullInterface ? 0.0f : iorF0(ior);
    const Color base = clampUnit(m.basecolor);  // a colour above 1 would make the series diverge
    if (p.coatF0 > 0.0f || p.metal > 0.0f) {
        const albedo::CoatAlbedo c = albedo::coatAlbedo(p.NO, rough);
        p.coatE = coatEColor(c, p.coatF0, m.specular);
        p.coatAvg = coatAvgColor(c, p.coatF0, m.specular);
        p.metalE = fminf(c.e1 + c.e2, 1.0f);
        p.metalAvg = fminf(c.avg1 + c.avg2, 1.0f);
        p.metalMultiple =
            Color(metalMultipleChannel(base.r, p.metalAvg), metalMultipleChannel(base.g, p.metalAvg),
                  metalMultipleChannel(base.b, p.metalAvg));
    } else {
        // No coat and no metal: nothing to look up (the coat albedos are 0
        // and the metal lobes carry no weight).
        p.coatE = p.coatAvg = Color(0.0f, 0.0f, 0.0f);
        p.metalE = p.metalAvg = 0.0f;
        p.metalMultiple = Color(0.0f, 0.0f, 0.0f);
    }
    p.specularMean = fmaxf(colorMean(m.specular), 0.0f);
    p.transmissionMean = fmaxf(colorMean(m.transmission), 0.0f);

    p.ifE = 1.0f;
    p.ifRho = 0.0f;
    p.ifAvgNear = p.ifAvgFar = 1.0f;
    if (p.transparency > 0.0f && !p.nullInterface) {
        const albedo::InterfaceAlbedo a = albedo::interfaceAlbedo(p.NO, rough, p.eta);
        const albedo::InterfaceAlbedo far = albedo::interfaceAlbedo(1.0f, rough, 1.0f / p.eta);
        p.ifE = interfaceE(a, p.specularMean);
        p.ifRho = a.rho;
        p.ifAvgNear = fminf(fmaxf(a.avg0 + p.specularMean * a.avg1, 0.0f), 1.0f);
        p.ifAvgFar = fminf(fmaxf(far.avg0 + p.specularMean * far.avg1, 0.0f), 1.0f);
    }

    const float opaque = p.dielectric * (1.0f - p.transparency);
    const Color left = Color(1.0f, 1.0f, 1.0f) - p.coatE;
    float w[kLobeCount];
    w[kLobeReflection] = opaque * colorMean(p.coatE);
    w[kLobeDiffuse] = p.subsurface ? 0.0f : opaque * colorMean(base * left);
    w[kLobeEnter] = p.subsurface ? opaque * colorMean(left) : 0.0f;
    w[kLobeMetal] = p.metal * colorMean(base) * p.metalE;
    w[kLobeMetalMultiple] = p.delta ? 0.0f : p.metal * colorMean(p.metalMultiple) * (1.0f - p.metalE);
    w[kLobeRefraction] = p.dielectric * p.transparency * fmaxf(p.ifE, 1e-3f);
    w[kLobeInterfaceMultiple] =
        p.delta || p.nullInterface ? 0.0f : p.dielectric * p.transparency * (1.0f - p.ifE);
    float sum = 0.0f;
    for (int l = 0; l < kLobeCount; ++l) {
        w[l] = w[l] > 0.0f ? w[l] : 0.0f;
        sum += w[l];
    }
    for (int l = 0; l < kLobeCount; ++l) p.prob[l] = sum > 0.0f ? w[l] / sum : 0.0f;
    return p;
}

// Probability of reflection at a microfacet of the interface (Fresnel F,
// or total internal reflection).
LUMENAR_HD inline float interfaceReflectProb(const ShadingPoint& p, const InterfaceFresnel& f) {
    if (f.totalInternal) return 1.0f;
    const float r = p.specularMean * f.F;
    const float t = p.transmissionMean * (1.0f - r);
    return r + t > 0.0f ? r / (r + t) : 0.5f;
}

// Colour of the interface's reflection and refraction at a microfacet.
LUMENAR_HD inline Color interfaceReflectColor(const ShadingPoint& p, const InterfaceFresnel& f) {
    return f.totalInternal ? Color(1.0f, 1.0f, 1.0f) : p.m.specular * f.F;
}
LUMENAR_HD inline Color interfaceRefractColor(const ShadingPoint& p, const InterfaceFresnel& f) {
    return p.m.transmission * (Color(1.0f, 1.0f, 1.0f) - p.m.specular * f.F);
}

// Half vector of a refraction from wo into wi, on nl's side; false where no
// microfacet facing wo refracts into wi.
LUMENAR_HD inline bool refractionHalf(const ShadingPoint& p, const Vector3d& wi, Vector3d* H) {
    const Vector3d s = p.wo + wi * p.eta;
    const float len = length(s);
    if (!(len > 0.0f)) return false;
    Vector3d h = s / len;
    if (dot(p.nl, h) < 0.0f) h = -h;
    *H = h;
    return dot(p.nl, h) > 0.0f && dot(p.wo, h) > 0.0f && dot(wi, h) < 0.0f;
}

LUMENAR_HD inline bool reflectionHalf(const ShadingPoint& p, const Vector3d& wi, Vector3d* H) {
    const Vector3d s = p.wo + wi;
    const float len = length(s);
    if (!(len > 0.0f)) return false;
    *H = s / len;
    return dot(p.nl, *H) > 0.0f;
}

// GGX reflection D G / (4 NO NI) without its colour; 0 below the surface.
LUMENAR_HD inline float ggxReflection(const ShadingPoint& p, const Vector3d& wi, float* OH) {
    const float NI = dot(p.nl, wi);
    Vector3d H;
    if (!(NI > 0.0f) || !reflectionHalf(p, wi, &H)) return 0.0f;
    *OH = dot(p.wo, H);
    return ggxD(dot(p.nl, H), p.alpha2) * smithG1(NI, p.alpha2) * smithG1(p.NO, p.alpha2) /
           (4.0f * p.NO * NI);
}

LUMENAR_HD inline float ggxReflectionPdf(const ShadingPoint& p, const Vector3d& wi) {
    Vector3d H;
    if (!(dot(p.nl, wi) > 0.0f) || !reflectionHalf(p, wi, &H)) return 0.0f;
    const float OH = dot(p.wo, H);
    if (!(OH > 0.0f)) return 0.0f;
    const float NH = dot(p.nl, H);
    return ggxD(NH, p.alpha2) * NH / (4.0f * OH);
}

// Value of one lobe at wi, including its share of the material (so the sum
// over lobes is the material's BSDF). Perfectly smooth lobes evaluate to 0.
LUMENAR_HD inline Color lobeValue(const ShadingPoint& p, int lobe, const Vector3d& wi) {
    const Color black(0.0f, 0.0f, 0.0f);
    if (p.prob[lobe] <= 0.0f) return black;
    const float NI = dot(p.nl, wi);
    const float opaque = p.dielectric * (1.0f - p.transparency);
    switch (lobe) {
        case kLobeDiffuse: {
            if (!(NI > 0.0f)) return black;
            const Color white(1.0f, 1.0f, 1.0f);
            // Without a coat (F0 = 0) both albedos are 0 and the scale is 1.
            if (!(p.coatF0 > 0.0f)) return p.m.basecolor * white * (opaque * kInvPiF);
            const albedo::CoatAlbedo c = albedo::coatAlbedo(NI, fminf(fmaxf(p.m.roughness, 0.0f), 1.0f));
            const Color ei = coatEColor(c, p.coatF0, p.m.specular);
            const Color scale = (white - ei) * coatRemainder(p.coatE, p.coatAvg);
            return p.m.basecolor * scale * (opaque * kInvPiF);
        }
        case kLobeReflection: {
            if (p.delta) return black;
            float OH = 0.0f;
            const float f = ggxReflection(p, wi, &OH);
            if (!(f > 0.0f)) return black;
            return p.m.specular * (schlickFresnel(p.coatF0, OH) * f * opaque);
        }
        case kLobeMetal: {
            if (p.delta) return black;
            float OH = 0.0f;
            const float f = ggxReflection(p, wi, &OH);
            return p.m.basecolor * (f * p.metal);
        }
        case kLobeMetalMultiple: {
            if (!(NI > 0.0f) || !(p.metalAvg < 1.0f)) return black;
            const albedo::CoatAlbedo c = albedo::coatAlbedo(NI, fminf(fmaxf(p.m.roughness, 0.0f), 1.0f));
            const float ei = fminf(c.e1 + c.e2, 1.0f);
            return p.metalMultiple *
                   (p.metal * (1.0f - p.metalE) * (1.0f - ei) * kInvPiF / (1.0f - p.metalAvg));
        }
        case kLobeRefraction: {
            if (p.delta || p.nullInterface) return black;
            const float w = p.dielectric * p.transparency;
            if (NI > 0.0f) {
                Vector3d H;
                if (!reflectionHalf(p, wi, &H)) return black;
                const float OH = dot(p.wo, H);
                if (!(OH > 0.0f)) return black;
                const InterfaceFresnel f = interfaceFresnel(OH, p.eta);
                float oh = 0.0f;
                return interfaceReflectColor(p, f) * (ggxReflection(p, wi, &oh) * w);
            }
            Vector3d H;
            if (!refractionHalf(p, wi, &H)) return black;
            const float OH = dot(p.wo, H), IH = dot(wi, H);
            const InterfaceFresnel f = interfaceFresnel(OH, p.eta);
            if (f.totalInternal) return black;
            const float den = OH + p.eta * IH;
            const float G = smithG1(fabsf(NI), p.alpha2) * smithG1(p.NO, p.alpha2);
            const float D = ggxD(dot(p.nl, H), p.alpha2);
            const float v = p.eta * p.eta * OH * fabsf(IH) * G * D / (p.NO * fabsf(NI) * den * den);
            return interfaceRefractColor(p, f) * (v * w);
        }
        case kLobeInterfaceMultiple: {
            const float w = p.dielectric * p.transparency * (1.0f - p.ifE);
            if (NI > 0.0f) {
                if (!(p.ifAvgNear < 1.0f)) return black;
                const float ei =
                    interfaceE(albedo::interfaceAlbedo(NI, p.m.roughness, p.eta), p.specularMean);
                const float v = w * p.ifRho * (1.0f - ei) * kInvPiF / (1.0f - p.ifAvgNear);
                return Color(v, v, v);
            }
            if (!(NI < 0.0f) || !(p.ifAvgFar < 1.0f)) return black;
            const float ei =
                interfaceE(albedo::interfaceAlbedo(-NI, p.m.roughness, 1.0f / p.eta), p.specularMean);
            return p.m.transmission * (w * (1.0f - p.ifRho) * (1.0f - ei) * kInvPiF / (1.0f - p.ifAvgFar));
        }
        default:
            return black;
    }
}

// Directional density with which lobe `lobe`, once picked, samples wi (0 for
// perfectly smooth lobes, which are not evaluated).
LUMENAR_HD inline float lobeDensity(const ShadingPoint& p, int lobe, const Vector3d& wi) {
    const float NI = dot(p.nl, wi);
    switch (lobe) {
        case kLobeDiffuse:
        case kLobeMetalMultiple:
            return NI > 0.0f ? NI * kInvPiF : 0.0f;
        case kLobeInterfaceMultiple:
            if (NI > 0.0f) return p.ifRho * NI * kInvPiF;
            return NI < 0.0f ? (1.0f - p.ifRho) * -NI * kInvPiF : 0.0f;
        case kLobeReflection:
        case kLobeMetal:
            return p.delta ? 0.0f : ggxReflectionPdf(p, wi);
        case kLobeRefraction: {
            if (p.delta || p.nullInterface) return 0.0f;
            if (NI > 0.0f) {
                Vector3d H;
                if (!reflectionHalf(p, wi, &H)) return 0.0f;
                const float OH = dot(p.wo, H);
                if (!(OH > 0.0f)) return 0.0f;
                return interfaceReflectProb(p, interfaceFresnel(OH, p.eta)) * ggxReflectionPdf(p, wi);
            }
            Vector3d H;
            if (!refractionHalf(p, wi, &H)) return 0.0f;
            const float OH = dot(p.wo, H), IH = dot(wi, H);
            const InterfaceFresnel f = interfaceFresnel(OH, p.eta);
            if (f.totalInternal) return 0.0f;
            const float den = OH + p.eta * IH;
            const float NH = dot(p.nl, H);
            return (1.0f - interfaceReflectProb(p, f)) * ggxD(NH, p.alpha2) * NH * p.eta * p.eta * fabsf(IH) /
                   (den * den);
        }
        default:
            return 0.0f;
    }
}

// The whole material: the sum of the lobes, and the density of the sampler
// over all of its lobes.
LUMENAR_HD inline Color materialValue(const ShadingPoint& p, const Vector3d& wi) {
    Color f(0.0f, 0.0f, 0.0f);
    for (int l = 0; l < kLobeCount; ++l) f += lobeValue(p, l, wi);
    return f;
}

LUMENAR_HD inline float materialDensity(const ShadingPoint& p, const Vector3d& wi) {
    float d = 0.0f;
    for (int l = 0; l < kLobeCount; ++l)
        if (p.prob[l] > 0.0f) d += p.prob[l] * lobeDensity(p, l, wi);
    return d;
}

struct MaterialSample {
    Vector3d wi;
    Color weight;  // lobe value x |cos| / (lobe probability x lobe density); 0 for a lost sample
    int32_t lobe;
    float lobeProb;
    bool isDelta;  // the lobe is perfectly smooth (or not evaluated): only its own direction carries it
};

// Lobe picked by xi in (0, 1]: the first with positive probability whose
// cumulative probability reaches xi (the last such lobe for rounding).
LUMENAR_HD inline int pickLobe(const ShadingPoint& p, float xi) {
    float cum = 0.0f;
    int last = -1;
    for (int l = 0; l < kLobeCount; ++l) {
        if (!(p.prob[l] > 0.0f)) continue;
        cum += p.prob[l];
        last = l;
        if (xi <= cum) return l;
    }
    return last;
}

// Samples the material. Numbers: two for the half vector or cosine direction,
// one for the lobe, and one more for the interface lobes (reflection or
// refraction; which side the multiple scattering leaves on). With
// cosineRay false a cosine lobe is only picked: the same numbers are
// drawn, but its direction and weight are left unformed (wi the normal,
// weight 0), for callers that look at nothing but the picked lobe.
template <class Draws>
LUMENAR_HD MaterialSample sampleMaterial(const ShadingPoint& p, Draws& next, bool cosineRay = true) {
    const float xi1 = next();
    const float xi2 = next();
    const float xi3 = next();
    MaterialSample s;
    s.lobe = pickLobe(p, xi3);
    s.isDelta = false;
    s.weight = Color(0.0f, 0.0f, 0.0f);
    s.wi = p.nl;
    if (s.lobe < 0) {
        s.lobe = kLobeDiffuse;
        s.lobeProb = 0.0f;
        return s;
    }
    s.lobeProb = p.prob[s.lobe];
    const float P = s.lobeProb;
    const Color white(1.0f, 1.0f, 1.0f);
    const float opaque = p.dielectric * (1.0f - p.transparency);

    if (isCosineLobe(s.lobe)) {
        Vector3d side = p.nl;
        float sideProb = 1.0f;
        if (s.lobe == kLobeInterfaceMultiple) {
            const float xi4 = next();
            const bool reflect = xi4 <= p.ifRho;
            side = reflect ? p.nl : -p.nl;
            sideProb = reflect ? p.ifRho : 1.0f - p.ifRho;
        }
        if (!cosineRay) return s;
        s.wi = cosineDirection(xi1, xi2, cosineFrame(side));
        const float pdf = sideProb * fabsf(dot(p.nl, s.wi)) * kInvPiF;
        if (pdf > 0.0f) s.weight = lobeValue(p, s.lobe, s.wi) * (fabsf(dot(p.nl, s.wi)) / (P * pdf));
        return s;
    }

    const Vector3d H = ggxHalfVector(xi1, xi2, p.alpha2, microfacetFrame(p.nl));
    const float OH = dot(p.wo, H);
    const float NH = dot(p.nl, H);
    const Vector3d reflected = H * (2.0f * OH) - p.wo;
    // Weight of a microfacet sample, G OH / (NO NH) (1 when smooth); 0 on
    // the wrong side.
    auto reflectWeight = [&](const Vector3d& wi) {
        return p.delta ? 1.0f : reflectionWeight(p.NO, dot(p.nl, wi), OH, NH, p.alpha2);
    };
    auto refractWeight = [&](const Vector3d& wi) {
        return p.delta ? 1.0f : refractionWeight(p.NO, dot(p.nl, wi), OH, NH, p.alpha2);
    };

    switch (s.lobe) {
        case kLobeReflection:
        case kLobeMetal: {
            s.wi = reflected;
            s.isDelta = p.delta;
            const Color c = s.lobe == kLobeMetal ? p.m.basecolor * p.metal
                                                 : p.m.specular * (schlickFresnel(p.coatF0, OH) * opaque);
            if (OH > 0.0f) s.weight = c * (reflectWeight(reflected) / P);
            return s;
        }
        case kLobeEnter: {
            // What the coat leaves goes in (or out) through the microfacet.
            s.isDelta = true;
            s.wi = -p.wo;
            if (!(OH > 0.0f)) return s;
            const InterfaceFresnel f = interfaceFresnel(OH, p.eta);
            if (f.totalInternal) return s;
            s.wi = normalize(p.wo * (-1.0f / p.eta) + H * (OH / p.eta - f.cosFar));
            if (dot(p.nl, s.wi) < 0.0f) s.weight = (white - p.coatE) * (opaque / P);
            return s;
        }
        case kLobeRefraction: {
            const float xi4 = next();
            s.isDelta = p.delta || p.nullInterface;
            const float w = p.dielectric * p.transparency;
            if (p.nullInterface) {
                s.wi = -p.wo;
                s.weight = p.m.transmission * (w / P);
                return s;
            }
            if (!(OH > 0.0f)) return s;
            const InterfaceFresnel f = interfaceFresnel(OH, p.eta);
            const float pr = interfaceReflectProb(p, f);
            if (xi4 <= pr || pr >= 1.0f) {
                s.wi = reflected;
                s.weight = interfaceReflectColor(p, f) * (reflectWeight(reflected) * w / (P * pr));
            } else {
                s.wi = normalize(p.wo * (-1.0f / p.eta) + H * (OH / p.eta - f.cosFar));
                s.weight = interfaceRefractColor(p, f) * (refractWeight(s.wi) * w / (P * (1.0f - pr)));
            }
            return s;
        }
        default:
            return s;
    }
}

}  // namespace lumenar
