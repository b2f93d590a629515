// Path vertices: a surface hit that can be sampled (for direct lighting and
// the Metropolis tracer) and evaluated (BSDF value and density of a given
// direction, for multiple importance sampling), all through the material
// model (material.h).
//
// Sampling picks one lobe of the material with a probability that depends
// only on the incoming direction, then a direction from that lobe; the
// estimate that follows is conditioned on the lobe: bsdf(wi) is the lobe's
// value over its probability and pdf(wi) the lobe's own density, so a
// sample's weight is exactly bsdf x cosine / pdf.
#pragma once

#include <cfloat>

#include "render/bsdf.h"

namespace lumenar {

// Common part of a path vertex.
struct Vertex {
    Color weight;
    bool isDelta = false;  // the last sampled lobe is perfectly specular
    Vector3d position;
    Vector3d normal;  // interpolated surface normal; its side is the outside when evaluating refraction
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

// Numbers of one Metropolis record, handed out in order.
struct RecordDraws {
    const BSDFSample* s;
    int used;
    LUMENAR_HD float operator()() {
        const float v = used < 7 ? s->u[used] : 0.5f;
        ++used;
        return v > 0.0f ? v : 1.0f;
    }
};

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
    bool subsurface = false;  // a subsurface material's base is its entry (subsurface mode)
    ShadingPoint point;
    bool pointGiven = false;  // `point` already holds this vertex's material seen along -incoming
    // The surface's own normal where a normal map bent surfaceNormal away
    // from it: light sampling then keeps to the sides it allows.
    bool checkSides = false;
    Vector3d geometricNormal;

    // Hands over the material as the caller already formed it for the same
    // hit, incoming direction (unit) and mode, sparing the sampler the work.
    LUMENAR_HD void usePoint(const ShadingPoint& p) {
        point = p;
        pointGiven = true;
    }

    // Samples a lobe and direction from the generator (direct-lighting
    // sample). Normalises `incoming`, copies the material and records nl,
    // lobe and lobeProb. Takes three numbers, four for the interface lobes.
    // With diffuseRay false a cosine lobe is only picked, for callers that
    // look at nothing but its value and density towards other directions:
    // the numbers are drawn all the same, but its ray and weight are not
    // formed (the weight is 0).
    template <class Draws>
    LUMENAR_HD ScatterResult getSampleAndAlphaFrom(Draws& next, const Material* materials,
                                                   bool diffuseRay = true) {
        prepare(materials);
        return take(sampleMaterial(point, next, diffuseRay));
    }

    LUMENAR_HD ScatterResult getSampleAndAlpha(XorwowState* rng, const Material* materials) {
        XorwowDraws draws{rng};
        return getSampleAndAlphaFrom(draws, materials);
    }

    // The same from one Metropolis record, its numbers read in order.
    LUMENAR_HD ScatterResult getSampleAndAlpha(const BSDFSample& s, const Material* materials) {
        RecordDraws draws{&s, 0};
        return getSampleAndAlphaFrom(draws, materials);
    }

    // Metropolis start-up sample: uses the stored material and the stored
    // incoming direction as they are.
    LUMENAR_HD VertexSample sample(const BSDFSample& s) {
        orientedNormal = orientNormal(surfaceNormal, incoming);
        point = shadingPoint(material, surfaceNormal, -normalize(incoming), subsurface);
        RecordDraws draws{&s, 0};
        const MaterialSample m = sampleMaterial(point, draws);
        take(m);
        VertexSample r;
        r.pdf = lobeProb * (m.isDelta ? 1.0f : lobeDensity(point, lobe, m.wi));
        r.ray = Ray(hitPoint + m.wi * kRayOffset, m.wi);
        r.lobe = lobe;
        r.lobeProb = lobeProb;
        r.isDelta = isDelta;
        return r;
    }

    // Value and density of the lobe chosen by the last sampling call for the
    // direction wi towards a light, conditioned on that lobe: its value over
    // its probability, and its own directional density.
    LUMENAR_HD Color bsdf(const Vector3d& wi) const {
        if (!(lobeProb > 0.0f)) return Color(0.0f, 0.0f, 0.0f);
        return lobeValue(point, lobe, wi) / lobeProb;
    }
    LUMENAR_HD float pdf(const Vector3d& wi) const { return lobeDensity(point, lobe, wi); }

    // Value (with its share of the material) and directional density of lobe
    // `l` of material m for outgoing wo and incident wi about the oriented
    // normal nl; the vertex's normal says which side is the outside.
    LUMENAR_HD float getpdf(int l, const Material& m, const Vector3d& nl, const Vector3d& wo,
                            const Vector3d& wi) const {
        if (l < 0 || l >= kLobeCount) return 0.0f;
        return lobeDensity(pointAt(m, nl, wo), l, wi);
    }
    LUMENAR_HD Color getbsdf(int l, const Material& m, const Vector3d& nl, const Vector3d& wo,
                             const Vector3d& wi) const {
        if (l < 0 || l >= kLobeCount) return Color(0.0f, 0.0f, 0.0f);
        return lobeValue(pointAt(m, nl, wo), l, wi);
    }

 private:
    LUMENAR_HD ShadingPoint pointAt(const Material& m, const Vector3d& nl, const Vector3d& wo) const {
        const bool outside = dot(normal, nl) >= 0.0f;
        return shadingPoint(m, outside ? nl : -nl, wo, subsurface);
    }

    LUMENAR_HD void prepare(const Material* materials) {
        incoming = normalize(incoming);
        material = materials[materialIndex];
        orientedNormal = orientNormal(surfaceNormal, incoming);
        if (!pointGiven) point = shadingPoint(material, surfaceNormal, -incoming, subsurface);
    }

    LUMENAR_HD ScatterResult take(const MaterialSample& m) {
        lobe = m.lobe;
        lobeProb = m.lobeProb;
        isDelta = m.isDelta;
        sampledDir = m.wi;
        ScatterResult r;
        r.ray = Ray(hitPoint + m.wi * kRayOffset, m.wi);
        r.alpha = m.weight;
        r.isDelta = m.isDelta;
        return r;
    }
};

}  // namespace lumenar
