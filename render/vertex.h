// Path vertices: a surface hit that can be sampled (for direct lighting and
// the Metropolis tracer) and evaluated (BSDF value and density of a given
// direction, for multiple importance sampling).
//
// Sampling draws GGX half vectors and evaluation uses the same GGX
// distribution with a Smith-Schlick shadowing term, so a sample's weight is
// exactly getbsdf x cosine / getpdf. The Fresnel weight of a lobe is not part
// of getbsdf: the sampler applies it by choosing the lobe with that
// probability (lobeProb).
#pragma once

#include <cfloat>

#include "render/bsdf.h"

namespace lumenar {

// Common part of a path vertex.
struct Vertex {
    Color weight;
    bool isDelta = false;  // the last sampled lobe is perfectly specular
    Vector3d position;
    Vector3d
        normal;  // interpolated surface normal; its side picks the relative index when evaluating refraction
    float hitDistance = 1e6f;
};

// Result of getSampleAndAlpha: the sampled ray and its weight, BSDF x cosine
// / pdf with the lobe-selection probability cancelled.
struct ScatterResult {
    Ray ray;
    Color alpha;
    bool isDelta;
};

// Result of VertexObj::sample: lobe probability x directional density.
struct VertexSample {
    Ray ray;
    float pdf;
    int32_t lobe;
    float lobeProb;
    bool isDelta;
};

LUMENAR_HD inline Material blankMaterial() {
    Material m{};
    m.tex = -1;
    return m;
}

// GGX (Trowbridge-Reitz) distribution of width alpha2 at mu = nl . H, the
// distribution ggxHalfVector draws from (with density D x |mu|).
LUMENAR_HD inline float ggxD(float mu, float alpha2) {
    if (!(alpha2 > 0.0f)) return 0.0f;
    const double m2 = static_cast<double>(mu) * static_cast<double>(mu);
    const double a2 = static_cast<double>(alpha2);
    const double den = m2 * (a2 - 1.0) + 1.0;
    return static_cast<float>(a2 / (kPiD * den * den));
}

LUMENAR_HD inline bool isSpecularMaterial(const Material& m) {
    return m.roughness == 0.0f && m.roughnessY == 0.0f;
}

// A surface vertex.
struct VertexObj : Vertex {
    Vector3d hitPoint;
    Vector3d surfaceNormal;  // interpolated normal n, not necessarily facing the ray
    int32_t materialIndex = 0;
    Vector3d incoming;  // direction d of the arriving ray
    Vector3d sampledDir;
    int32_t lobe = kLobeDiffuse;
    float lobeProb = 0.0f;
    Vector3d orientedNormal;  // nl: n turned against d
    Material material = blankMaterial();

    // Samples a lobe and direction from the generator (direct-lighting
    // sample). Normalises `incoming`, copies the material and records nl,
    // lobe and lobeProb. Takes three numbers for a reflection, three or four
    // for a refraction (none is drawn for the refraction decision of a
    // negative transparency), five or six for diffuse. A caller that only
    // looks at a diffuse sample's lobe and probabilities passes
    // diffuseRay = false: the numbers are still drawn, the ray and weight
    // are left unset.
    template <class Draws>
    LUMENAR_HD ScatterResult getSampleAndAlphaFrom(Draws& next, const Material* materials,
                                                   bool diffuseRay = true) {
        prepare(materials);
        const float alpha2 = widthSquared(material.roughness);
        const float xi1 = next();
        const float xi2 = next();
        const Vector3d H = ggxHalfVector(xi1, xi2, alpha2, microfacetFrame(orientedNormal));
        const MicrofacetGeometry g = microfacetGeometry(incoming, orientedNormal, H, entering(), material);
        const bool delta = alpha2 <= 0.0f;
        if (choosesReflection(next(), g)) return reflect(g, alpha2, delta);
        if (material.transparency < 0.0f || next() < material.transparency) return refract(g, alpha2, delta);
        const float xi5 = next();
        const float xi6 = next();
        if (!diffuseRay) {
            lobe = kLobeDiffuse;
            lobeProb = diffuseLobeProb(g);
            ScatterResult r{};
            r.isDelta = false;
            return r;
        }
        return diffuse(g, xi5, xi6);
    }

    LUMENAR_HD ScatterResult getSampleAndAlpha(XorwowState* rng, const Material* materials) {
        XorwowDraws draws{rng};
        return getSampleAndAlphaFrom(draws, materials);
    }

    // The same from one Metropolis record. Anisotropic materials draw the
    // half vector's azimuth and width from u0 and u2; there is no special case
    // for a negative transparency; the diffuse direction reuses u0 and u1.
    LUMENAR_HD ScatterResult getSampleAndAlpha(const BSDFSample& s, const Material* materials) {
        prepare(materials);
        const Frame f = microfacetFrame(orientedNormal);
        float alpha2;
        Vector3d H;
        if (material.anisotropic == 0) {
            alpha2 = widthSquared(material.roughness);
            H = ggxHalfVector(s.u[0], s.u[1], alpha2, f);
        } else {
            const AnisoAzimuth a =
                anisotropicAzimuth(material.roughness * material.roughness,
                                   material.roughnessY * material.roughnessY, s.u[0], s.u[2]);
            alpha2 = a.alpha2;
            H = ggxHalfVectorAt(a.phi, s.u[1], alpha2, f);
        }
        const MicrofacetGeometry g = microfacetGeometry(incoming, orientedNormal, H, entering(), material);
        const bool delta = alpha2 <= 0.0f;
        if (choosesReflection(s.u[3], g)) return reflect(g, alpha2, delta);
        if (s.u[4] < material.transparency) return refract(g, alpha2, delta);
        return diffuse(g, s.u[0], s.u[1]);
    }

    // Metropolis start-up sample: uses the stored material and the stored
    // incoming direction as they are. Lobes are perfectly specular exactly
    // when both roughnesses are 0.
    LUMENAR_HD VertexSample sample(const BSDFSample& s) {
        orientedNormal = orientNormal(surfaceNormal, incoming);
        const Vector3d nl = orientedNormal;
        const bool delta = isSpecularMaterial(material);
        Vector3d H = nl;
        if (!delta) {
            const AnisoAzimuth a =
                anisotropicAzimuth(material.roughness * material.roughness,
                                   material.roughnessY * material.roughnessY, s.u[0], s.u[2]);
            H = ggxHalfVectorAt(a.phi, s.u[1], a.alpha2, microfacetFrame(nl));
        }
        const MicrofacetGeometry g = microfacetGeometry(incoming, nl, H, entering(), material);
        Vector3d dir;
        if (choosesReflection(s.u[3], g)) {
            lobe = kLobeReflection;
            lobeProb = g.reflectProb;
            dir = g.reflected;
        } else if (s.u[4] < material.transparency) {
            lobe = kLobeRefraction;
            lobeProb = (1.0f - g.reflectProb) * material.transparency;
            dir = g.refracted;
        } else {
            lobe = kLobeDiffuse;
            lobeProb = (1.0f - g.reflectProb) * (1.0f - material.transparency);
            dir = cosineDirection(s.u[5], s.u[6], cosineFrame(nl));
        }
        VertexSample r;
        const Vector3d wo = -incoming;
        r.pdf = lobeProb * getpdf(lobe, material, nl, wo, dir);
        sampledDir = dir;
        isDelta = delta && lobe != kLobeDiffuse;
        r.ray = Ray(hitPoint + dir * kRayOffset, dir);
        r.lobe = lobe;
        r.lobeProb = lobeProb;
        r.isDelta = isDelta;
        return r;
    }

    // Value and densities of the lobe chosen by the last sampling call, for
    // the direction wi towards a light. The lobe was chosen with probability
    // lobeProb, so an estimate built from these counts the lobe once:
    //   bsdf(wi) = getbsdf(lobe, wi) x (the probability with which the sampler
    //              picks this lobe at wi's half vector) / lobeProb,
    // which is getbsdf itself for the diffuse lobe (its probability does not
    // depend on wi) and whose expectation over the sampled half vector is
    // getbsdf times the lobe's Fresnel weight at wi for the other two.
    //   pdf(wi) = getpdf(lobe, wi), the lobe's own directional density.
    LUMENAR_HD Color bsdf(const Vector3d& wi) const {
        const Vector3d wo = -incoming;
        const Color f = getbsdf(lobe, material, orientedNormal, wo, wi);
        if (lobe == kLobeDiffuse || f.isBlack()) return f;
        return f * (lobeSelectionProb(lobe, wi) / lobeProb);
    }
    LUMENAR_HD float pdf(const Vector3d& wi) const {
        return getpdf(lobe, material, orientedNormal, -incoming, wi);
    }
    // Density of arriving from wi and leaving along -d (the reverse walk).
    LUMENAR_HD float pdfInv(const Vector3d& wi) const {
        return getpdf(lobe, material, orientedNormal, wi, -incoming);
    }

    // Probability with which the sampler picks lobe l (1 or 2) when it draws
    // the half vector that joins -incoming to wi; 0 where no half vector does.
    LUMENAR_HD float lobeSelectionProb(int l, const Vector3d& wi) const {
        const Vector3d wo = -incoming;
        const Vector3d& nl = orientedNormal;
        Vector3d H;
        if (l == kLobeReflection) {
            H = normalize(wi + wo);
        } else if (l == kLobeRefraction) {
            const float eta = dot(normal, wo) > 0.0f ? material.IOR : 1.0f / material.IOR;
            if (!refractionHalfVector(nl, wo, wi, eta, &H)) return 0.0f;
        } else {
            return 0.0f;
        }
        if (!(dot(nl, H) > 0.0f)) return 0.0f;
        const MicrofacetGeometry g = microfacetGeometry(incoming, nl, H, entering(), material);
        const float reflect = g.reflectProb;
        if (l == kLobeReflection) return reflect;
        return (1.0f - reflect) * refractionChoice(material);
    }

    // Directional density of lobe `l` for outgoing wo and incident wi about
    // the oriented normal nl (GGX, alpha^2 = roughness^4).
    LUMENAR_HD float getpdf(int l, Material m, const Vector3d& nl, const Vector3d& wo,
                            const Vector3d& wi) const {
        const float alpha2 = widthSquared(m.roughness);
        const bool delta = isSpecularMaterial(m);
        if (l == kLobeDiffuse) return fmaxf(dot(nl, wi), 0.0f) * kInvPiF;  // cosine-weighted
        if (l == kLobeReflection) {
            if (delta) return isMirror(nl, wo, wi) ? 1.0f : 0.0f;
            const Vector3d H = normalize(wi + wo);
            const float NH = dot(nl, H);
            const float WH = dot(wi, H);
            if (!(NH > 0.0f) || !(WH > 0.0f)) return 0.0f;
            return ggxD(NH, alpha2) * NH / (4.0f * WH);
        }
        if (l == kLobeRefraction) {
            if (delta) return isSpecularRefraction(m, nl, wo, wi) ? 1.0f : 0.0f;
            const float eta = dot(normal, wo) > 0.0f ? m.IOR : 1.0f / m.IOR;
            Vector3d H;
            if (!refractionHalfVector(nl, wo, wi, eta, &H)) return 0.0f;
            const float NH = dot(nl, H);
            const float WH = dot(wi, H);
            const float den = dot(wo, H) + eta * WH;
            return ggxD(NH, alpha2) * fabsf(NH) * eta * eta * fabsf(WH) / (den * den);
        }
        return 0.0f;
    }

    // BSDF value of lobe `l` (no Fresnel factor; see lobeProb).
    LUMENAR_HD Color getbsdf(int l, Material m, const Vector3d& nl, const Vector3d& wo,
                             const Vector3d& wi) const {
        const float alpha2 = widthSquared(m.roughness);
        const float k = alpha2 / 2.0f;
        const bool delta = isSpecularMaterial(m);
        const float NI = dot(nl, wi);
        const float NO = dot(nl, wo);
        if (l == kLobeDiffuse) return NI > 0.0f ? m.basecolor / kPiF : Color();
        if (l == kLobeReflection) {
            if (delta) return isMirror(nl, wo, wi) && NI != 0.0f ? specularColor(m) / NI : Color();
            if (!(NI > 0.0f)) return Color();
            const Vector3d H = normalize(wi + wo);
            const float DG = ggxD(dot(nl, H), alpha2) * smithG1(NI, k) * smithG1(NO, k);
            if (NO == 0.0f) return specularColor(m) * (DG / (4.0f * NI));
            return specularColor(m) * (DG / (4.0f * NO * NI));
        }
        if (l == kLobeRefraction) {
            if (delta) return isSpecularRefraction(m, nl, wo, wi) ? m.transmission / fabsf(NI) : Color();
            const float eta = dot(normal, wo) > 0.0f ? m.IOR : 1.0f / m.IOR;
            Vector3d H;
            if (!refractionHalfVector(nl, wo, wi, eta, &H)) return Color();
            const float OH = dot(wo, H);
            const float IH = dot(wi, H);
            const float den = OH + eta * IH;
            const float G = smithG1(fabsf(NI), k) * smithG1(fabsf(NO), k);
            const float D = ggxD(dot(nl, H), alpha2);
            return m.transmission * (eta * eta / (den * den)) *
                   (fabsf(OH) * fabsf(IH) * G * D / (fabsf(NO) * fabsf(NI)));
        }
        return Color();
    }

 private:
    // Half vector of a refraction from wo to wi (relative index eta), turned
    // to nl's side. False where no microfacet facing wo refracts into wi:
    // wi on wo's side, or either direction on the wrong side of the facet.
    LUMENAR_HD static bool refractionHalfVector(const Vector3d& nl, const Vector3d& wo, const Vector3d& wi,
                                                float eta, Vector3d* H) {
        if (!(dot(nl, wi) < 0.0f)) return false;
        Vector3d h = normalize(wo + wi * eta);
        if (dot(nl, h) < 0.0f) h = -h;
        *H = h;
        return dot(nl, h) > 0.0f && dot(wo, h) > 0.0f && dot(wi, h) < 0.0f;
    }

    LUMENAR_HD static float widthSquared(float roughness) {
        const float r2 = roughness * roughness;
        return r2 * r2;
    }

    LUMENAR_HD bool entering() const { return dot(surfaceNormal, orientedNormal) > 0.0f; }

    LUMENAR_HD void prepare(const Material* materials) {
        incoming = normalize(incoming);
        material = materials[materialIndex];
        orientedNormal = orientNormal(surfaceNormal, incoming);
    }

    // wi is the mirror image of wo about nl.
    LUMENAR_HD static bool isMirror(const Vector3d& nl, const Vector3d& wo, const Vector3d& wi) {
        const Vector3d r = nl * (2.0f * dot(nl, wo)) - wo;
        return fabsf(dot(r, wi) - 1.0f) < 0.0001f;
    }

    // wi is the perfectly refracted continuation of -wo.
    LUMENAR_HD bool isSpecularRefraction(const Material& m, const Vector3d& nl, const Vector3d& wo,
                                         const Vector3d& wi) const {
        const float eta = dot(normal, wo) > 0.0f ? 1.0f / m.IOR : m.IOR;
        const float c = dot(wo, nl);
        const Vector3d T = normalize(-wo * eta - nl * (eta * -c + sqrtf(1.0f - eta * eta * (1.0f - c * c))));
        return fabsf(dot(T, wi) - 1.0f) < 0.0001f;
    }

    LUMENAR_HD ScatterResult finish(const Vector3d& dir, const Color& alpha, bool delta) const {
        ScatterResult r;
        r.ray = Ray(hitPoint + dir * kRayOffset, dir);
        r.alpha = alpha;
        r.isDelta = delta;
        return r;
    }

    // Probability of refraction once reflection is turned down: the
    // transparency, or 1 for a subsurface material (negative transparency).
    LUMENAR_HD static float refractionChoice(const Material& m) {
        return m.transparency < 0.0f ? 1.0f : fminf(m.transparency, 1.0f);
    }

    // Sample weights are getbsdf x cosine / getpdf (k = alpha2 / 2, as in
    // getbsdf); a direction on the wrong side of the surface weighs 0.
    LUMENAR_HD ScatterResult reflect(const MicrofacetGeometry& g, float alpha2, bool delta) {
        lobe = kLobeReflection;
        lobeProb = g.reflectProb;
        const Color spec = specularColor(material);
        if (delta) return finish(g.reflected, spec, true);
        const float k = alpha2 / 2.0f;
        const float NL = dot(g.reflected, orientedNormal);
        if (!(NL > 0.0f)) return finish(g.reflected, Color(), false);
        const float G = smithG1(NL, k) * smithG1(g.NV, k);
        const Color alpha = g.NV == 0.0f ? spec * (G / g.NH) : spec * (G * g.VH / (g.NV * g.NH));
        return finish(g.reflected, alpha, false);
    }

    LUMENAR_HD ScatterResult refract(const MicrofacetGeometry& g, float alpha2, bool delta) {
        lobe = kLobeRefraction;
        lobeProb = (1.0f - g.reflectProb) * refractionChoice(material);
        if (delta) return finish(g.refracted, material.transmission, true);
        const float k = alpha2 / 2.0f;
        const float NL = dot(g.refracted, orientedNormal);
        if (!(NL < 0.0f) || !(g.VH > 0.0f)) return finish(g.refracted, Color(), false);
        const float G = smithG1(fabsf(NL), k) * smithG1(fabsf(g.NV), k);
        return finish(g.refracted, material.transmission * (fabsf(g.VH) * G / (fabsf(g.NV) * fabsf(g.NH))),
                      false);
    }

    LUMENAR_HD float diffuseLobeProb(const MicrofacetGeometry& g) const {
        return (1.0f - g.reflectProb) * (1.0f - material.transparency);
    }

    LUMENAR_HD ScatterResult diffuse(const MicrofacetGeometry& g, float xa, float xb) {
        lobe = kLobeDiffuse;
        lobeProb = diffuseLobeProb(g);
        const Vector3d dir = cosineDirection(xa, xb, cosineFrame(orientedNormal));
        // basecolor / pi x cosine over the cosine density: the base colour.
        return finish(dir, material.basecolor, false);
    }
};

}  // namespace lumenar
