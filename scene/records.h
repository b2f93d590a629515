// Scene records shared byte for byte between host and device. Field orders
// are the layout contract: arrays of these records are uploaded with one copy
// and indexed on the device with the same layout, so every size and offset is
// pinned below.
#pragma once

#include <cstddef>
#include <cstdint>

#include "scene/types.h"

namespace lumenar {

struct Material {
    Color basecolor;
    Color specular;
    Color emission;
    Color transmission;
    Color absorption;
    float metalness;
    int32_t anisotropic;  // 1 when the scene file says "True"
    float roughness;
    float roughnessY;
    float transparency;  // negative marks a subsurface material
    float rsc;
    float IOR;
    int32_t tex;  // -1 = none

    LUMENAR_HD bool isEmissive() const {
        return emission.r != 0.0f || emission.g != 0.0f || emission.b != 0.0f;
    }
};

struct UV {
    float u, v;
};

struct Triangle {
    int32_t materialIndex;
    Vector3d p1, p2, p3;
    Vector3d normal1, normal2, normal3;
    UV uv1, uv2, uv3;
    float woopRows[12];  // 3x3 linear part row by row, then the translation
    aabb bounds;
    int32_t isLight;
    float area;
    int32_t buildSide;
};

struct deviceTriangle {
    int32_t materialIndex;
    Vector3d p1, p2, p3;
    Vector3d normal1, normal2, normal3;
    int32_t isLight;
    float invArea;
};

// The unit normal of an emitting triangle's face, on the side its vertex
// normals point to. Light sampling measures area against this normal, so it
// must be the plane's own normal even where the surface is smooth-shaded
// (a vertex normal would tilt the light's cosine). A flat face stores its raw
// cross product as every vertex normal, which gives the same side.
LUMENAR_HD inline Vector3d emitterFaceNormal(const Vector3d& p1, const Vector3d& p2, const Vector3d& p3,
                                             const Vector3d& n1, const Vector3d& n2, const Vector3d& n3) {
    const Vector3d side = n1 + n2 + n3;
    Vector3d n = cross(p2 - p1, p3 - p1);
    float len = length(n);
    if (!(len > 0.0f)) {  // no face to speak of (never hit): the vertex normals' side
        n = side;
        len = length(n);
    }
    if (len > 0.0f) n = n / len;
    return dot(n, side) < 0.0f ? -n : n;
}

struct deviceLightTriangle {
    Vector3d p1, p2, p3;
    Vector3d normal;
    float invArea;
    int32_t triangleIndex;
    Color emission;
    // Next-event estimation picks a light in proportion to its power (see
    // render/lights.h): the chance of this light and the running sum of the
    // chances up to and including it (1 for the last light).
    float choicePdf;
    float choiceCdf;
    int32_t materialIndex;  // whose emissive texture, if any, shapes the emission
    int32_t bothSides;      // 1: its back face emits too
};

// Lights beside the emissive triangles and the environment.
enum LightKind : int32_t { kPointLight = 0, kSpotLight = 1, kSunLight = 2 };

// A point, spot or sun light as a scene file or a model importer gives it.
// Units: intensity in W/sr (point and spot, on the spot's axis), irradiance
// in W/m^2 at normal incidence (sun); both are scaled per channel by the
// colour. Angles in radians.
struct SceneLight {
    int32_t kind = kPointLight;
    Vector3d position;   // point and spot
    Vector3d direction;  // spot: the way its axis points; sun: the way its light travels
    Color color{1.0f, 1.0f, 1.0f};
    float intensity = 0.0f;  // point and spot: W/sr; sun: W/m^2
    // Spot: angles from the axis; full intensity inside the inner one, none
    // outside the outer one, glTF's smooth falloff between them.
    float innerAngle = 0.0f, outerAngle = 0.0f;
    float angularDiameter = 0.0f;  // sun: 0 is a delta light (hard shadows)
    float radius = 0.0f;           // point and spot: a sphere of this radius (soft shadows); 0: a point
};

// A point, spot or sun light as the light set samples it (render/lights.h).
struct deviceLight {
    int32_t kind;
    Vector3d position;  // point and spot: the centre
    // Unit: the spot's axis (the way it shines); for the sun the direction
    // towards it (against the way its light travels).
    Vector3d axis;
    // Point and spot of radius 0: intensity per channel (W/sr); of radius r:
    // the sphere's radiance, intensity / (pi r^2). Sun: its irradiance when
    // it is a delta light, else the radiance of its disc, E / (pi sin^2 a).
    Color emission;
    float radius;
    float cosInner, cosOuter;  // spot
    // Sun of angular radius a > 0: sin^2 a and 1 - cos a (formed in double);
    // both 0 for a delta sun.
    float sin2Angle, oneMinusCos;
    // As for the light triangles: the chance of this light and the running
    // sum up to it, in the list after the triangles.
    float choicePdf;
    float choiceCdf;

    LUMENAR_HD bool isDelta() const { return kind == kSunLight ? !(sin2Angle > 0.0f) : !(radius > 0.0f); }
};

struct Movable {
    int32_t firstTriangle;
    int32_t triangleCount;
    int32_t bvhNode;
    Vector3d offset;
    aabb bounds;
};

enum VolumeType : int32_t { kHomogeneous = 0, kExponential = 1, kCustomized = 2 };

// The participating medium. Fields a constructor does not mention are zero
// (never garbage: the density pointer in particular is freed by its owner).
struct Volume {
    aabb bounds;
    int32_t volumeType = kHomogeneous;
    // Absorption and scattering coefficients at density 1 (the methods
    // sigma_a() and sigma_s() give them at a point).
    Color sigmaA;
    Color sigmaS;
    Color le;
    float g = 0.0f;
    float a = 0.0f;
    float b = 0.0f;
    Vector3d gravity;
    int32_t gridX = 0, gridY = 0, gridZ = 0;
    float* densityData = nullptr;  // host array (new[]) of gridX * gridY * gridZ floats, owned by the Scene

    Volume() = default;
    Volume(const Vector3d& bmin, const Vector3d& bmax, const Color& absorb, const Color& scatter,
           const Color& emitted, float g_);
    Volume(const Vector3d& bmin, const Vector3d& bmax, const Color& absorb, const Color& scatter,
           const Color& emitted, float g_, float a_, float b_, const Vector3d& gravity_);
    Volume(const Vector3d& bmin, const Vector3d& bmax, const Color& absorb, const Color& scatter,
           const Color& emitted, float g_, int gx, int gy, int gz, float* data);

    // Clips [t0, t1] to the part of r inside the box, slab by slab (x, y, z);
    // false when the ray misses the box on that interval.
    LUMENAR_HD bool Intersect(const Ray& r, float& t0, float& t1) const {
        for (int axis = 0; axis < 3; ++axis) {
            const float o = r.origin[axis], d = r.direction[axis];
            const float lo = d >= 0.0f ? bounds.min[axis] : bounds.max[axis];
            const float hi = d >= 0.0f ? bounds.max[axis] : bounds.min[axis];
            const float tNear = (lo - o) / d, tFar = (hi - o) / d;
            if (tFar < t0 || tNear > t1) return false;
            // fminf/fmaxf keep the interval when a ray lies in a slab's plane (0/0).
            t1 = fminf(t1, tFar);
            t0 = fmaxf(t0, tNear);
        }
        return true;
    }

    // a * exp(-b * h) in an exponential medium, h the height above the box's
    // lowest corner measured against gravity (so the medium is densest at the
    // bottom); 1 in any other; 0 outside the box (a NaN coordinate counts as
    // outside).
    LUMENAR_HD float Density(const Vector3d& p) const {
        if (!inside(p)) return 0.0f;
        if (volumeType != kExponential) return 1.0f;
        return a * expf(-b * dot(densestCorner() - p, gravity));
    }
    LUMENAR_HD Color sigma_a(const Vector3d& p, const Vector3d& /*w*/) const { return sigmaA * Density(p); }
    LUMENAR_HD Color sigma_s(const Vector3d& p, const Vector3d& /*w*/) const { return sigmaS * Density(p); }
    LUMENAR_HD Color sigma_t(const Vector3d& p, const Vector3d& /*w*/) const {
        return (sigmaA + sigmaS) * Density(p);
    }
    LUMENAR_HD Color Lve(const Vector3d& p, const Vector3d& /*w*/) const { return le * Density(p); }
    LUMENAR_HD bool hasEmission() const { return !le.isBlack(); }

    // Henyey-Greenstein phase function of the cosine between w and wp (both
    // taken as directions of travel or both as directions of arrival);
    // integrates to 1 over the sphere. 0 outside the box.
    LUMENAR_HD float p(const Vector3d& pt, const Vector3d& w, const Vector3d& wp) const {
        if (!inside(pt)) return 0.0f;
        const float mu = dot(w, wp);
        const double k = (1.0 - static_cast<double>(g) * static_cast<double>(g)) * 0.079577471535557012;
        const float den = powf(1.0f + g * g - 2.0f * g * mu, 1.5f);
        return static_cast<float>(k / static_cast<double>(den));
    }

    // Optical thickness along r between t0 and t1 (in units of the direction's
    // length). Exact for homogeneous and exponential media: along a ray the
    // exponential density is a * exp(c + k t), whose integral has a closed
    // form, so no march is needed and no step count depends on the caller.
    // 0 for a customised medium (its grid is not read). `step` and `offset`
    // are kept for callers that march other quantities with the same
    // numbers; the result does not depend on them.
    LUMENAR_HD Color tau(const Ray& r, float t0, float t1, float step, float offset) const {
        (void)step;
        (void)offset;
        float near = 0.0f, far = 10000000.0f;
        if (!Intersect(r, near, far)) return Color(0.0f, 0.0f, 0.0f);
        const float tEnd = fminf(far, t1);
        const float tStart = fmaxf(near, t0);
        // A segment that ends before the box or starts after it crosses no medium.
        if (!(tEnd > tStart)) return Color(0.0f, 0.0f, 0.0f);
        const Color st = sigmaA + sigmaS;
        const float speed = length(r.direction);
        if (volumeType == kHomogeneous) return st * (speed * (tEnd - tStart));
        if (volumeType != kExponential) return Color(0.0f, 0.0f, 0.0f);
        // Density(o + d t) = a exp(-b (bottom - o - d t) . gravity) = a exp(c + k t).
        const Vector3d bottom = densestCorner();
        const double c = -static_cast<double>(b) * static_cast<double>(dot(bottom - r.origin, gravity));
        const double k = static_cast<double>(b) * static_cast<double>(dot(r.direction, gravity));
        const double len = static_cast<double>(tEnd) - static_cast<double>(tStart);
        const double x = k * len;
        // (exp(k len) - 1) / k, written so that it stays accurate as k -> 0.
        const double grow = fabs(x) < 1e-5 ? len * (1.0 + 0.5 * x) : expm1(x) / k;
        const double integral = static_cast<double>(a) * exp(c + k * static_cast<double>(tStart)) * grow;
        return st * static_cast<float>(integral * static_cast<double>(speed));
    }

 private:
    // The box corner furthest along gravity, from which heights are measured.
    LUMENAR_HD Vector3d densestCorner() const {
        return Vector3d(gravity.x > 0.0f ? bounds.max.x : bounds.min.x,
                        gravity.y > 0.0f ? bounds.max.y : bounds.min.y,
                        gravity.z > 0.0f ? bounds.max.z : bounds.min.z);
    }
    LUMENAR_HD bool inside(const Vector3d& p) const {
        return p.x >= bounds.min.x && p.x <= bounds.max.x && p.y >= bounds.min.y && p.y <= bounds.max.y &&
               p.z >= bounds.min.z && p.z <= bounds.max.z;
    }
};

// ---- layout contract -------------------------------------------------------
static_assert(sizeof(Vector3d) == 12 && sizeof(Color) == 12, "value types are 3 floats");
static_assert(sizeof(Ray) == 24 && sizeof(aabb) == 24, "ray and box are 6 floats");
static_assert(offsetof(aabb, max) == 12, "box min then max");

static_assert(sizeof(Material) == 92, "Material layout");
static_assert(offsetof(Material, emission) == 24, "Material layout");
static_assert(offsetof(Material, absorption) == 48, "Material layout");
static_assert(offsetof(Material, metalness) == 60, "Material layout");
static_assert(offsetof(Material, anisotropic) == 64, "Material layout");
static_assert(offsetof(Material, roughnessY) == 72, "Material layout");
static_assert(offsetof(Material, IOR) == 84, "Material layout");
static_assert(offsetof(Material, tex) == 88, "Material layout");

static_assert(offsetof(Triangle, p1) == 4 && offsetof(Triangle, normal1) == 40, "Triangle layout");
static_assert(offsetof(Triangle, uv1) == 76 && offsetof(Triangle, woopRows) == 100, "Triangle layout");
static_assert(offsetof(Triangle, bounds) == 148 && offsetof(Triangle, isLight) == 172, "Triangle layout");
static_assert(sizeof(Triangle) == 184, "Triangle layout");

static_assert(sizeof(deviceTriangle) == 84, "deviceTriangle layout");
static_assert(offsetof(deviceTriangle, normal1) == 40, "deviceTriangle layout");
static_assert(offsetof(deviceTriangle, isLight) == 76 && offsetof(deviceTriangle, invArea) == 80,
              "deviceTriangle layout");

static_assert(sizeof(deviceLightTriangle) == 84, "deviceLightTriangle layout");
static_assert(offsetof(deviceLightTriangle, choicePdf) == 68, "deviceLightTriangle layout");
static_assert(offsetof(deviceLightTriangle, normal) == 36, "deviceLightTriangle layout");
static_assert(offsetof(deviceLightTriangle, invArea) == 48, "deviceLightTriangle layout");
static_assert(offsetof(deviceLightTriangle, triangleIndex) == 52, "deviceLightTriangle layout");
static_assert(offsetof(deviceLightTriangle, emission) == 56, "deviceLightTriangle layout");

static_assert(sizeof(deviceLight) == 68, "deviceLight layout");
static_assert(offsetof(deviceLight, axis) == 16 && offsetof(deviceLight, emission) == 28,
              "deviceLight layout");
static_assert(offsetof(deviceLight, radius) == 40 && offsetof(deviceLight, choicePdf) == 60,
              "deviceLight layout");

static_assert(sizeof(Movable) == 48, "Movable layout");
static_assert(offsetof(Movable, offset) == 12 && offsetof(Movable, bounds) == 24, "Movable layout");

static_assert(offsetof(Volume, volumeType) == 24 && offsetof(Volume, sigmaA) == 28, "Volume layout");
static_assert(offsetof(Volume, g) == 64 && offsetof(Volume, gravity) == 76, "Volume layout");
static_assert(offsetof(Volume, gridX) == 88 && offsetof(Volume, densityData) == 104, "Volume layout");
static_assert(sizeof(Volume) == 112, "Volume layout");

static_assert(sizeof(float4) == 16 && alignof(float4) == 16, "float4 is 16 aligned bytes");

}  // namespace lumenar
