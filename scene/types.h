// Plain 32-bit value types shared by host and device code.
#pragma once

#include <cmath>
#include <cstdint>

#include "device/hd.h"

#if defined(LUMENAR_BACKEND_CUDA)
#include <vector_types.h>
#else
struct alignas(16) float4 {
    float x, y, z, w;
};
#endif

namespace lumenar {

LUMENAR_HD inline float4 makeFloat4(float x, float y, float z, float w) {
    float4 r;
    r.x = x;
    r.y = y;
    r.z = z;
    r.w = w;
    return r;
}

struct Vector3d {
    float x = 0.0f, y = 0.0f, z = 0.0f;

    Vector3d() = default;
    LUMENAR_HD Vector3d(float x_, float y_, float z_) : x(x_), y(y_), z(z_) {}

    LUMENAR_HD float operator[](int i) const { return i == 0 ? x : (i == 1 ? y : z); }
    LUMENAR_HD float& operator[](int i) { return i == 0 ? x : (i == 1 ? y : z); }

    LUMENAR_HD Vector3d operator+(const Vector3d& o) const { return {x + o.x, y + o.y, z + o.z}; }
    LUMENAR_HD Vector3d operator-(const Vector3d& o) const { return {x - o.x, y - o.y, z - o.z}; }
    LUMENAR_HD Vector3d operator-() const { return {-x, -y, -z}; }
    LUMENAR_HD Vector3d operator*(float s) const { return {x * s, y * s, z * s}; }
    LUMENAR_HD Vector3d operator/(float s) const { return {x / s, y / s, z / s}; }
    LUMENAR_HD Vector3d& operator+=(const Vector3d& o) {
        x += o.x;
        y += o.y;
        z += o.z;
        return *this;
    }
    LUMENAR_HD Vector3d& operator-=(const Vector3d& o) {
        x -= o.x;
        y -= o.y;
        z -= o.z;
        return *this;
    }
    LUMENAR_HD Vector3d& operator*=(float s) {
        x *= s;
        y *= s;
        z *= s;
        return *this;
    }
};

LUMENAR_HD inline Vector3d operator*(float s, const Vector3d& v) {
    return v * s;
}
LUMENAR_HD inline float dot(const Vector3d& a, const Vector3d& b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}
LUMENAR_HD inline Vector3d cross(const Vector3d& a, const Vector3d& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
LUMENAR_HD inline float length(const Vector3d& v) {
    return sqrtf(dot(v, v));
}
LUMENAR_HD inline Vector3d normalize(const Vector3d& v) {
    return v / length(v);
}
LUMENAR_HD inline Vector3d vmin(const Vector3d& a, const Vector3d& b) {
    return {fminf(a.x, b.x), fminf(a.y, b.y), fminf(a.z, b.z)};
}
LUMENAR_HD inline Vector3d vmax(const Vector3d& a, const Vector3d& b) {
    return {fmaxf(a.x, b.x), fmaxf(a.y, b.y), fmaxf(a.z, b.z)};
}

struct Color {
    float r = 0.0f, g = 0.0f, b = 0.0f;

    Color() = default;
    LUMENAR_HD Color(float r_, float g_, float b_) : r(r_), g(g_), b(b_) {}

    LUMENAR_HD Color operator+(const Color& o) const { return {r + o.r, g + o.g, b + o.b}; }
    LUMENAR_HD Color operator-(const Color& o) const { return {r - o.r, g - o.g, b - o.b}; }
    LUMENAR_HD Color operator*(const Color& o) const { return {r * o.r, g * o.g, b * o.b}; }
    LUMENAR_HD Color operator*(float s) const { return {r * s, g * s, b * s}; }
    LUMENAR_HD Color operator/(float s) const { return {r / s, g / s, b / s}; }
    LUMENAR_HD Color& operator+=(const Color& o) {
        r += o.r;
        g += o.g;
        b += o.b;
        return *this;
    }
    LUMENAR_HD Color& operator*=(const Color& o) {
        r *= o.r;
        g *= o.g;
        b *= o.b;
        return *this;
    }
    LUMENAR_HD bool isBlack() const { return r == 0.0f && g == 0.0f && b == 0.0f; }
};

LUMENAR_HD inline Color operator*(float s, const Color& c) {
    return c * s;
}

struct Ray {
    Vector3d origin;
    Vector3d direction;

    Ray() = default;
    LUMENAR_HD Ray(const Vector3d& o, const Vector3d& d) : origin(o), direction(d) {}
    LUMENAR_HD Vector3d at(float t) const { return origin + direction * t; }
};

// Axis-aligned box. The default is the empty pattern: growing it by anything
// yields that thing's box.
struct aabb {
    Vector3d min{99999.0f, 99999.0f, 99999.0f};
    Vector3d max{-99999.0f, -99999.0f, -99999.0f};

    aabb() = default;
    LUMENAR_HD aabb(const Vector3d& lo, const Vector3d& hi) : min(lo), max(hi) {}

    LUMENAR_HD void grow(const Vector3d& p) {
        min = vmin(min, p);
        max = vmax(max, p);
    }
    LUMENAR_HD void grow(const aabb& b) {
        min = vmin(min, b.min);
        max = vmax(max, b.max);
    }
    LUMENAR_HD bool isEmpty() const { return min.x > max.x || min.y > max.y || min.z > max.z; }
    LUMENAR_HD Vector3d extent() const { return max - min; }
};

}  // namespace lumenar
