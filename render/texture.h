// Texture lookups of the shading code: wrap modes, bilinear filtering of
// RGBA texels, sRGB decoding, and the material at a hit with its textures
// applied. The same code runs on both backends over plain texel arrays.
#pragma once

#include <cmath>
#include <cstdint>

#include "device/hd.h"
#include "scene/hdr_image.h"
#include "scene/records.h"
#include "scene/texture_maps.h"

namespace lumenar {

// Texel index i brought into [0, n) by the wrap mode.
LUMENAR_HD inline int wrapTexel(int i, int n, int mode) {
    if (mode == kWrapClamp) return i < 0 ? 0 : (i >= n ? n - 1 : i);
    if (mode == kWrapMirror) {
        const int period = 2 * n;
        int m = i % period;
        if (m < 0) m += period;
        return m < n ? m : period - 1 - m;
    }
    int m = i % n;
    return m < 0 ? m + n : m;
}

// A coordinate brought near [0, 1] without changing what the wrap mode makes
// of it (whole periods of two taken off; clamped ones held just outside), so
// that texel indices stay small.
LUMENAR_HD inline float foldCoordinate(float c, int mode) {
    if (!(fabsf(c) < 1e6f)) return 0.0f;  // not finite or absurd: the first texel
    if (mode == kWrapClamp) return fminf(fmaxf(c, -1.0f), 2.0f);
    return c - 2.0f * floorf(c * 0.5f);
}

struct Texel {
    float r = 0.0f, g = 0.0f, b = 0.0f, a = 0.0f;
};

LUMENAR_HD inline Texel fetchTexel(const TextureView& t, int x, int y, bool srgb) {
    const uint8_t* p = t.texels + (static_cast<int64_t>(y) * t.width + x) * 4;
    Texel v;
    const float k = 1.0f / 255.0f;
    v.r = p[0] * k;
    v.g = p[1] * k;
    v.b = p[2] * k;
    v.a = p[3] * k;
    if (srgb) {
        v.r = srgbToLinear(v.r);
        v.g = srgbToLinear(v.g);
        v.b = srgbToLinear(v.b);
    }
    return v;
}

// Bilinear lookup at (u, v): texel centres sit at ((i + 0.5) / width,
// (j + 0.5) / height); colour channels are decoded from sRGB before they are
// filtered when `srgb` is set. A coordinate that is not finite reads as 0.
LUMENAR_HD inline Texel sampleTexture(const TextureView& t, float u, float v, int wrapU, int wrapV,
                                      bool srgb) {
    if (!t.texels || t.width <= 0 || t.height <= 0) return Texel{1.0f, 1.0f, 1.0f, 1.0f};
    u = foldCoordinate(u, wrapU);
    v = foldCoordinate(v, wrapV);
    const float x = u * static_cast<float>(t.width) - 0.5f;
    const float y = v * static_cast<float>(t.height) - 0.5f;
    const float fx0 = floorf(x), fy0 = floorf(y);
    const float fx = x - fx0, fy = y - fy0;
    const int ix = static_cast<int>(fx0), iy = static_cast<int>(fy0);
    const int x0 = wrapTexel(ix, t.width, wrapU), x1 = wrapTexel(ix + 1, t.width, wrapU);
    const int y0 = wrapTexel(iy, t.height, wrapV), y1 = wrapTexel(iy + 1, t.height, wrapV);
    const Texel a = fetchTexel(t, x0, y0, srgb), b = fetchTexel(t, x1, y0, srgb);
    const Texel c = fetchTexel(t, x0, y1, srgb), d = fetchTexel(t, x1, y1, srgb);
    const float w00 = (1.0f - fx) * (1.0f - fy), w10 = fx * (1.0f - fy);
    const float w01 = (1.0f - fx) * fy, w11 = fx * fy;
    Texel r;
    r.r = a.r * w00 + b.r * w10 + c.r * w01 + d.r * w11;
    r.g = a.g * w00 + b.g * w10 + c.g * w01 + d.g * w11;
    r.b = a.b * w00 + b.b * w10 + c.b * w01 + d.b * w11;
    r.a = a.a * w00 + b.a * w10 + c.a * w01 + d.a * w11;
    return r;
}

// The material record `base` of triangle `tri` at the point with barycentric
// weights (1 - b1 - b2, b1, b2) of its corners 1, 2, 3, its textures applied:
// the base colour texture multiplies basecolor; the metallic-roughness texture scales roughness (green) and
// metalness (blue). Without textures for this material, or without coordinates on this triangle, the record
// comes back unchanged.
LUMENAR_HD inline Material shadingMaterial(const Material& base, int materialIndex, const SceneTextures& st,
                                           int tri, float b1, float b2) {
    if (!st.maps || tri < 0 || !st.uvs) return base;
    const MaterialMaps maps = st.maps[materialIndex];
    if (!maps.any()) return base;
    const TriangleUVs& t = st.uvs[tri];
    if (!t.valid) return base;
    const float b0 = 1.0f - b1 - b2;
    const float u = t.uv[0].u * b0 + t.uv[1].u * b1 + t.uv[2].u * b2;
    const float v = t.uv[0].v * b0 + t.uv[1].v * b1 + t.uv[2].v * b2;
    Material m = base;
    if (maps.baseColor >= 0 && maps.baseColor < st.textureCount) {
        const Texel c = sampleTexture(st.textures[maps.baseColor], u, v, maps.wrapU, maps.wrapV, true);
        m.basecolor = Color(m.basecolor.r * c.r, m.basecolor.g * c.g, m.basecolor.b * c.b);
    }
    if (maps.metallicRoughness >= 0 && maps.metallicRoughness < st.textureCount) {
        const Texel c =
            sampleTexture(st.textures[maps.metallicRoughness], u, v, maps.wrapU, maps.wrapV, false);
        m.roughness *= c.g;
        m.roughnessY *= c.g;
        m.metalness *= c.b;
    }
    return m;
}

}  // namespace lumenar
