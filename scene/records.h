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

struct deviceLightTriangle {
    Vector3d p1, p2, p3;
    Vector3d normal;
    float invArea;
    int32_t triangleIndex;
    Color emission;
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
    Color sigma_a;
    Color sigma_s;
    Color le;
    float g = 0.0f;
    float a = 0.0f;
    float b = 0.0f;
    Vector3d gravity;
    int32_t gridX = 0, gridY = 0, gridZ = 0;
    float* densityData = nullptr;  // host array (new[]) of gridX * gridY * gridZ floats, owned by the Scene

    Volume() = default;
    Volume(const Vector3d& bmin, const Vector3d& bmax, const Color& sigmaA, const Color& sigmaS,
           const Color& emitted, float g_);
    Volume(const Vector3d& bmin, const Vector3d& bmax, const Color& sigmaA, const Color& sigmaS,
           const Color& emitted, float g_, float a_, float b_, const Vector3d& gravity_);
    Volume(const Vector3d& bmin, const Vector3d& bmax, const Color& sigmaA, const Color& sigmaS,
           const Color& emitted, float g_, int gx, int gy, int gz, float* data);
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

static_assert(sizeof(deviceLightTriangle) == 68, "deviceLightTriangle layout");
static_assert(offsetof(deviceLightTriangle, normal) == 36, "deviceLightTriangle layout");
static_assert(offsetof(deviceLightTriangle, invArea) == 48, "deviceLightTriangle layout");
static_assert(offsetof(deviceLightTriangle, triangleIndex) == 52, "deviceLightTriangle layout");
static_assert(offsetof(deviceLightTriangle, emission) == 56, "deviceLightTriangle layout");

static_assert(sizeof(Movable) == 48, "Movable layout");
static_assert(offsetof(Movable, offset) == 12 && offsetof(Movable, bounds) == 24, "Movable layout");

static_assert(offsetof(Volume, volumeType) == 24 && offsetof(Volume, sigma_a) == 28, "Volume layout");
static_assert(offsetof(Volume, g) == 64 && offsetof(Volume, gravity) == 76, "Volume layout");
static_assert(offsetof(Volume, gridX) == 88 && offsetof(Volume, densityData) == 104, "Volume layout");
static_assert(sizeof(Volume) == 112, "Volume layout");

static_assert(sizeof(float4) == 16 && alignof(float4) == 16, "float4 is 16 aligned bytes");

}  // namespace lumenar
