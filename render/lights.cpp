#include "render/lights.h"

#include <algorithm>
#include <cmath>

namespace lumenar {

double lightChoicePower(const deviceLightTriangle& l) {
    const Color& e = l.emission;
    const double lum = 0.2126 * e.r + 0.7152 * e.g + 0.0722 * e.b;
    const double area = l.invArea > 0.0f ? 1.0 / static_cast<double>(l.invArea) : 0.0;
    const double p = lum * area;
    return p > 0.0 && p < 1e300 ? p : 0.0;  // negative, NaN and infinite powers count as none
}

namespace {
double luminance(const Color& c) {
    return 0.2126 * c.r + 0.7152 * c.g + 0.0722 * c.b;
}
// Negative, NaN and infinite powers count as none.
double powerOrNone(double p) {
    return p > 0.0 && p < 1e300 ? p : 0.0;
}
}  // namespace

double lightChoicePower(const SceneLight& l, float sceneRadius) {
    const double e = luminance(l.color) * static_cast<double>(l.intensity);
    switch (l.kind) {
        case kPointLight:
            return powerOrNone(4.0 * e);  // 4 pi I over pi
        case kSpotLight: {
            // The cone to halfway between the inner and the outer angle.
            const double half = 0.5 * (static_cast<double>(l.innerAngle) + static_cast<double>(l.outerAngle));
            return powerOrNone(2.0 * e * (1.0 - std::cos(half)));
        }
        default: {
            const double r = sceneRadius > 0.0f && std::isfinite(sceneRadius) ? sceneRadius : 1.0;
            return powerOrNone(e * r * r);  // E pi r^2 over pi
        }
    }
}

void prepareLightChoice(std::vector<deviceLightTriangle>& triangles, std::vector<deviceLight>& lights,
                        const std::vector<double>& lightPowers, double uniformShare) {
    std::stable_sort(triangles.begin(), triangles.end(),
                     [](const deviceLightTriangle& a, const deviceLightTriangle& b) {
                         return a.triangleIndex < b.triangleIndex;
                     });
    const std::size_t nt = triangles.size();
    const std::size_t n = nt + lights.size();
    if (n == 0) return;
    auto power = [&](std::size_t j) {
        return j < nt ? lightChoicePower(triangles[j]) : powerOrNone(lightPowers[j - nt]);
    };
    double total = 0.0;
    for (std::size_t j = 0; j < n; ++j) total += power(j);
    const double u = total > 0.0 ? std::min(std::max(uniformShare, 0.0), 1.0) : 1.0;
    double cdf = 0.0;
    float prev = 0.0f;
    for (std::size_t j = 0; j < n; ++j) {
        const double share = total > 0.0 ? power(j) / total : 0.0;
        cdf += (1.0 - u) * share + u / static_cast<double>(n);
        const float c = j + 1 == n ? 1.0f : std::min(static_cast<float>(cdf), 1.0f);
        // The chance is what the stored bounds give, so sampling and its
        // density agree to the last bit.
        const float pdf = static_cast<float>(static_cast<double>(c) - static_cast<double>(prev));
        if (j < nt) {
            triangles[j].choiceCdf = c;
            triangles[j].choicePdf = pdf;
        } else {
            lights[j - nt].choiceCdf = c;
            lights[j - nt].choicePdf = pdf;
        }
        prev = c;
    }
}

void prepareLightChoice(std::vector<deviceLightTriangle>& triangles, double uniformShare) {
    std::vector<deviceLight> none;
    prepareLightChoice(triangles, none, std::vector<double>(), uniformShare);
}

deviceLight lightRecord(const SceneLight& l) {
    deviceLight d{};
    d.kind = l.kind;
    d.position = l.position;
    const Color c = l.color * l.intensity;
    if (l.kind == kSunLight) {
        d.axis = -normalize(l.direction);
        const double a = 0.5 * static_cast<double>(l.angularDiameter);
        if (a > 0.0) {
            const double s = std::sin(a);
            d.sin2Angle = static_cast<float>(s * s);
            d.oneMinusCos = static_cast<float>(s * s / (1.0 + std::cos(a)));
            d.emission = c * static_cast<float>(1.0 / (3.14159265358979323846 * s * s));
        } else {
            d.emission = c;
        }
        return d;
    }
    d.axis = l.kind == kSpotLight ? normalize(l.direction) : Vector3d(0.0f, 0.0f, 1.0f);
    d.cosInner = static_cast<float>(std::cos(static_cast<double>(l.innerAngle)));
    d.cosOuter = static_cast<float>(std::cos(static_cast<double>(l.outerAngle)));
    d.radius = l.radius > 0.0f ? l.radius : 0.0f;
    d.emission = d.radius > 0.0f ? c * static_cast<float>(1.0 / (3.14159265358979323846 *
                                                                 static_cast<double>(d.radius) * d.radius))
                                 : c;
    return d;
}

float environmentLightProbability(float environmentPower, float listPower, float sceneRadius, int listCount) {
    if (!(environmentPower > 0.0f)) return 0.0f;
    if (listCount <= 0) return 1.0f;
    const float r2 = sceneRadius > 0.0f ? sceneRadius * sceneRadius : 1.0f;
    const float t = listPower / r2;
    const float p = environmentPower / (environmentPower + t);
    return fminf(fmaxf(p, 0.05f), 0.95f);
}

std::vector<deviceLightTriangle> emissiveTriangleRecords(const std::vector<Triangle>& triangles,
                                                         const Material* materials, int materialCount,
                                                         const Movable* movables, int movableCount) {
    std::vector<deviceLightTriangle> out;
    for (std::size_t i = 0; i < triangles.size(); ++i) {
        const Triangle& t = triangles[i];
        if (t.materialIndex < 0 || t.materialIndex >= materialCount) continue;
        const Material& m = materials[t.materialIndex];
        if (!m.isEmissive()) continue;
        Vector3d offset;
        for (int k = 0; k < movableCount; ++k) {
            const Movable& mv = movables[k];
            const int first = mv.firstTriangle;
            if (static_cast<int>(i) >= first && static_cast<int>(i) - first < mv.triangleCount)
                offset = mv.offset;
        }
        deviceLightTriangle l{};
        l.p1 = t.p1 + offset;
        l.p2 = t.p2 + offset;
        l.p3 = t.p3 + offset;
        // Light sampling divides by the cosine at the light: the unit face
        // normal, never a (smooth-shaded) vertex normal.
        l.normal = emitterFaceNormal(t.p1, t.p2, t.p3, t.normal1, t.normal2, t.normal3);
        l.invArea = 1.0f / t.area;
        l.triangleIndex = static_cast<int32_t>(i);
        l.materialIndex = t.materialIndex;
        l.emission = m.emission;
        out.push_back(l);
    }
    return out;
}

bool LightSetBuffers::build(const Material* materials, int materialCount) {
    static const std::vector<Triangle> kNone;
    const std::vector<Triangle>& tris = source_.triangles ? *source_.triangles : kNone;
    std::vector<deviceLightTriangle> records =
        emissiveTriangleRecords(tris, materials, materialCount, source_.movables, source_.movableCount);
    std::vector<deviceLight> shapes;
    std::vector<double> powers;
    for (const SceneLight& l : source_.lights) {
        shapes.push_back(lightRecord(l));
        powers.push_back(lightChoicePower(l, source_.sceneRadius));
    }
    // Emitters are chosen by their mean power: a textured one's emission
    // times the texture's mean (the texture itself is read where a point is
    // sampled), a two-sided one's twice over. For the choice alone: the
    // records keep the material's emission.
    const std::vector<Color>& scales = source_.emissionScales;
    for (deviceLightTriangle& l : records) {
        const std::size_t m = static_cast<std::size_t>(l.materialIndex);
        if (m < scales.size()) l.emission = l.emission * scales[m];
        l.bothSides = m < source_.bothSides.size() && source_.bothSides[m] ? 1 : 0;
        if (l.bothSides) l.emission = l.emission * 2.0f;
    }
    prepareLightChoice(records, shapes, powers);
    double triangleLight = 0.0;  // what the triangles send, for the environment's share
    for (deviceLightTriangle& l : records) {
        const Color& e = l.emission;
        triangleLight += (0.2126 * e.r + 0.7152 * e.g + 0.0722 * e.b) * tris[l.triangleIndex].area;
        l.emission = materials[l.materialIndex].emission;
    }
    device::Buffer<deviceLightTriangle> uploaded;
    device::Buffer<deviceLight> uploadedShapes;
    if (!records.empty()) {
        uploaded = device::uploadArray(records.data(), records.size());
        if (!uploaded) return false;
    }
    if (!shapes.empty()) {
        uploadedShapes = device::uploadArray(shapes.data(), shapes.size());
        if (!uploadedShapes) return false;
    }
    triangles_ = std::move(uploaded);
    lights_ = std::move(uploadedShapes);
    emissions_.assign(static_cast<std::size_t>(materialCount > 0 ? materialCount : 0), Color());
    for (int i = 0; i < materialCount; ++i) emissions_[static_cast<std::size_t>(i)] = materials[i].emission;

    view_ = LightSet();
    view_.triangles = triangles_.get();
    view_.triangleCount = static_cast<int>(records.size());
    view_.lights = lights_.get();
    view_.lightCount = static_cast<int>(shapes.size());
    view_.textures = source_.textures;
    const EnvironmentMap* map = source_.environment;
    if (map && map->width() > 0) {
        view_.env.view = map->view();
        // What the list sends in, against what the sky sends in.
        double listPower = triangleLight;
        for (double p : powers) listPower += p;
        const float radius = source_.sceneRadius;
        view_.env.probability =
            environmentLightProbability(map->power(), static_cast<float>(listPower),
                                        std::isfinite(radius) ? radius : 1.0f, view_.listCount());
    }
    return true;
}

bool LightSetBuffers::emissionChanged(const Material* materials) const {
    for (std::size_t i = 0; i < emissions_.size(); ++i) {
        const Color& a = materials[i].emission;
        const Color& b = emissions_[i];
        if (a.r != b.r || a.g != b.g || a.b != b.b) return true;
    }
    return false;
}

void LightSetBuffers::release() {
    triangles_.reset();
    lights_.reset();
    emissions_.clear();
    view_ = LightSet();
}

}  // namespace lumenar
