// Texture lookups of the shading code: wrap modes, nearest and bilinear
// filtering of RGBA texels, mip levels chosen by the footprint, sRGB
// decoding, coordinate sets and transforms, and the material at a hit with
// its textures and vertex colours applied. The same code runs on both
// backends over plain texel arrays.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

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

LUMENAR_HD inline Texel mixTexels(const Texel& x, const Texel& y, float t) {
    Texel r;
    r.r = x.r + (y.r - x.r) * t;
    r.g = x.g + (y.g - x.g) * t;
    r.b = x.b + (y.b - x.b) * t;
    r.a = x.a + (y.a - x.a) * t;
    return r;
}

// One mip level of a texture: its texels and size.
struct TextureLevel {
    const uint8_t* texels;
    int width, height;
};

LUMENAR_HD inline TextureLevel textureLevel(const TextureView& t, int level) {
    TextureLevel l{t.texels, t.width, t.height};
    for (int k = 0; k < level; ++k) {
        l.texels += static_cast<int64_t>(l.width) * l.height * 4;
        l.width = l.width > 1 ? l.width / 2 : 1;
        l.height = l.height > 1 ? l.height / 2 : 1;
    }
    return l;
}

LUMENAR_HD inline Texel fetchTexel(const TextureLevel& t, int x, int y, bool srgb) {
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
LUMENAR_HD inline Texel fetchTexel(const TextureView& t, int x, int y, bool srgb) {
    return fetchTexel(TextureLevel{t.texels, t.width, t.height}, x, y, srgb);
}

// Lookup at (u, v) within one level: the texel the point falls in
// (`nearest`), or bilinear between the four nearest texel centres, which sit
// at ((i + 0.5) / width, (j + 0.5) / height); colour channels are decoded
// from sRGB before they are filtered when `srgb` is set.
LUMENAR_HD inline Texel sampleLevel(const TextureLevel& t, float u, float v, int wrapU, int wrapV, bool srgb,
                                    bool nearest) {
    u = foldCoordinate(u, wrapU);
    v = foldCoordinate(v, wrapV);
    if (nearest) {
        const int ix = static_cast<int>(floorf(u * static_cast<float>(t.width)));
        const int iy = static_cast<int>(floorf(v * static_cast<float>(t.height)));
        return fetchTexel(t, wrapTexel(ix, t.width, wrapU), wrapTexel(iy, t.height, wrapV), srgb);
    }
    const float x = u * static_cast<float>(t.width) - 0.5f;
    const float y = v * static_cast<float>(t.height) - 0.5f;
    const float fx0 = floorf(x), fy0 = floorf(y);
    const float fx = x - fx0, fy = y - fy0;
    const int ix = static_cast<int>(fx0), iy = static_cast<int>(fy0);
    const int x0 = wrapTexel(ix, t.width, wrapU), x1 = wrapTexel(ix + 1, t.width, wrapU);
    const int y0 = wrapTexel(iy, t.height, wrapV), y1 = wrapTexel(iy + 1, t.height, wrapV);
    const Texel a = fetchTexel(t, x0, y0, srgb), b = fetchTexel(t, x1, y0, srgb);
    const Texel c = fetchTexel(t, x0, y1, srgb), d = fetchTexel(t, x1, y1, srgb);
    return mixTexels(mixTexels(a, b, fx), mixTexels(c, d, fx), fy);
}

// Bilinear lookup on the full-size image. A texture without texels reads as
// white.
LUMENAR_HD inline Texel sampleTexture(const TextureView& t, float u, float v, int wrapU, int wrapV,
                                      bool srgb) {
    if (!t.texels || t.width <= 0 || t.height <= 0) return Texel{1.0f, 1.0f, 1.0f, 1.0f};
    return sampleLevel(TextureLevel{t.texels, t.width, t.height}, u, v, wrapU, wrapV, srgb, false);
}

// Mip level (fractional) for a footprint of `texels` texels across: 0 at one
// texel or less.
LUMENAR_HD inline float mipLevelFor(float texels, int levels) {
    if (!(texels > 1.0f)) return 0.0f;
    const float lod = log2f(texels);
    const float top = static_cast<float>(levels - 1);
    return lod < top ? lod : top;
}

// Lookup through a slot's filters: `width` is the footprint's width in
// coordinate units (0: a point, the full-size image). Magnified (a footprint
// of at most one texel) the magnification filter reads the full-size image;
// minified, the minification filter reads the level the footprint asks for,
// or blends the two around it.
LUMENAR_HD inline Texel sampleFiltered(const TextureView& t, const TextureSlot& s, float u, float v,
                                       float width, bool srgb) {
    if (!t.texels || t.width <= 0 || t.height <= 0) return Texel{1.0f, 1.0f, 1.0f, 1.0f};
    const float texels = width * sqrtf(static_cast<float>(t.width) * static_cast<float>(t.height));
    const TextureLevel base{t.texels, t.width, t.height};
    if (!(texels > 1.0f))
        return sampleLevel(base, u, v, s.wrapU, s.wrapV, srgb, (s.filter & kMagNearest) != 0);
    const bool nearest = (s.filter & kMinNearest) != 0;
    if (!(s.filter & kMipmaps) || t.levels <= 1)
        return sampleLevel(base, u, v, s.wrapU, s.wrapV, srgb, nearest);
    const float lod = mipLevelFor(texels, t.levels);
    if (!(s.filter & kMipLinear)) {
        const int level = static_cast<int>(lod + 0.5f);
        return sampleLevel(textureLevel(t, level), u, v, s.wrapU, s.wrapV, srgb, nearest);
    }
    const int l0 = static_cast<int>(lod);
    const float frac = lod - static_cast<float>(l0);
    const TextureLevel a = textureLevel(t, l0);
    const Texel x = sampleLevel(a, u, v, s.wrapU, s.wrapV, srgb, nearest);
    if (!(frac > 0.0f) || l0 + 1 >= t.levels) return x;
    const TextureLevel b{a.texels + static_cast<int64_t>(a.width) * a.height * 4,
                         a.width > 1 ? a.width / 2 : 1, a.height > 1 ? a.height / 2 : 1};
    return mixTexels(x, sampleLevel(b, u, v, s.wrapU, s.wrapV, srgb, nearest), frac);
}

// Where a hit lies on its triangle for the textures: the barycentric weights
// of corners 2 and 3, and the world-space width of the footprint of the
// pixel it is seen through (0: a point).
struct TexturePoint {
    int triangle = -1;
    float b1 = 0.0f, b2 = 0.0f;
    float footprint = 0.0f;
};

// The coordinates of a slot's set at a point, through the slot's transform,
// and the footprint's width in coordinate units. False where the triangle
// has no coordinates of that set (the second set falls back on the first).
LUMENAR_HD inline bool slotCoordinates(const SceneTextures& st, const TextureSlot& s, const TexturePoint& p,
                                       float* u, float* v, float* width) {
    const TriangleUVs* set =
        s.uvSet == 1 && st.uvs1 && st.uvs1[p.triangle].valid ? &st.uvs1[p.triangle] : &st.uvs[p.triangle];
    if (!set->valid) return false;
    const float b0 = 1.0f - p.b1 - p.b2;
    const float x = set->uv[0].u * b0 + set->uv[1].u * p.b1 + set->uv[2].u * p.b2;
    const float y = set->uv[0].v * b0 + set->uv[1].v * p.b1 + set->uv[2].v * p.b2;
    const float* m = s.transform;
    *u = m[0] * x + m[1] * y + m[2];
    *v = m[3] * x + m[4] * y + m[5];
    *width = p.footprint * set->density * sqrtf(fabsf(m[0] * m[4] - m[1] * m[3]));
    return true;
}

LUMENAR_HD inline bool slotTexel(const SceneTextures& st, const TextureSlot& s, const TexturePoint& p,
                                 bool srgb, Texel* out) {
    if (s.texture < 0 || s.texture >= st.textureCount) return false;
    float u, v, width;
    if (!slotCoordinates(st, s, p, &u, &v, &width)) return false;
    *out = sampleFiltered(st.textures[s.texture], s, u, v, width, srgb);
    return true;
}

// The vertex colour at a point (white without vertex colours).
LUMENAR_HD inline Texel vertexColor(const SceneTextures& st, const TexturePoint& p) {
    Texel c{1.0f, 1.0f, 1.0f, 1.0f};
    if (!st.colors) return c;
    const TriangleColors& t = st.colors[p.triangle];
    const float w[3] = {1.0f - p.b1 - p.b2, p.b1, p.b2};
    c.r = t.rgba[0][0] * w[0] + t.rgba[1][0] * w[1] + t.rgba[2][0] * w[2];
    c.g = t.rgba[0][1] * w[0] + t.rgba[1][1] * w[1] + t.rgba[2][1] * w[2];
    c.b = t.rgba[0][2] * w[0] + t.rgba[1][2] * w[1] + t.rgba[2][2] * w[2];
    c.a = t.rgba[0][3] * w[0] + t.rgba[1][3] * w[1] + t.rgba[2][3] * w[2];
    return c;
}

// The material record `base` (material `materialIndex`) at point p, its
// textures and the vertex colours applied: base colour texture and vertex
// colour multiply basecolor; the metallic-roughness texture scales roughness
// (green) and metalness (blue); the emissive texture multiplies emission, the
// specular one specular and the transmission one (red) transparency. Without
// any of these the record comes back unchanged.
LUMENAR_HD inline Material shadingMaterial(const Material& base, int materialIndex, const SceneTextures& st,
                                           const TexturePoint& p) {
    if (!st.maps || p.triangle < 0 || !st.uvs) return base;
    const MaterialMaps& maps = st.maps[materialIndex];
    if (!maps.anyTexture() && !st.colors) return base;
    Material m = base;
    Texel c;
    if (st.colors) {
        c = vertexColor(st, p);
        m.basecolor = Color(m.basecolor.r * c.r, m.basecolor.g * c.g, m.basecolor.b * c.b);
    }
    if (slotTexel(st, maps.baseColor, p, true, &c))
        m.basecolor = Color(m.basecolor.r * c.r, m.basecolor.g * c.g, m.basecolor.b * c.b);
    if (slotTexel(st, maps.metallicRoughness, p, false, &c)) {
        m.roughness *= c.g;
        m.roughnessY *= c.g;
        m.metalness *= c.b;
    }
    if (slotTexel(st, maps.emissive, p, true, &c))
        m.emission = Color(m.emission.r * c.r, m.emission.g * c.g, m.emission.b * c.b);
    if (slotTexel(st, maps.specular, p, true, &c))
        m.specular = Color(m.specular.r * c.r, m.specular.g * c.g, m.specular.b * c.b);
    if (slotTexel(st, maps.transmission, p, false, &c)) m.transparency *= c.r;
    return m;
}

// Whether both faces of material `materialIndex` emit (its front alone
// otherwise).
LUMENAR_HD inline bool emitsBothSides(const SceneTextures& st, int materialIndex) {
    return st.maps && materialIndex >= 0 && st.maps[materialIndex].emitsBothSides;
}

// What the emissive texture of material `materialIndex` multiplies the
// emission by at barycentric weights (b1, b2) of triangle tri, read at its
// finest level: white where the material has none.
LUMENAR_HD inline Color emissiveTexel(const SceneTextures& st, int materialIndex, int tri, float b1,
                                      float b2) {
    const Color white(1.0f, 1.0f, 1.0f);
    if (!st.maps || tri < 0 || materialIndex < 0) return white;
    TexturePoint p;
    p.triangle = tri;
    p.b1 = b1;
    p.b2 = b2;
    Texel c;
    if (!slotTexel(st, st.maps[materialIndex].emissive, p, true, &c)) return white;
    return Color(c.r, c.g, c.b);
}

// The same for a point without a footprint, by its barycentric weights.
LUMENAR_HD inline Material shadingMaterial(const Material& base, int materialIndex, const SceneTextures& st,
                                           int tri, float b1, float b2) {
    TexturePoint p;
    p.triangle = tri;
    p.b1 = b1;
    p.b2 = b2;
    return shadingMaterial(base, materialIndex, st, p);
}

// ---- cut-outs --------------------------------------------------------------------

// The opacity of material `materialIndex` at point p: the base colour's own,
// times the base colour texture's alpha, the opacity map's red and the
// vertex colour's alpha.
LUMENAR_HD inline float surfaceOpacity(const SceneTextures& st, int materialIndex, const TexturePoint& p) {
    const MaterialMaps& m = st.maps[materialIndex];
    float a = m.alpha;
    Texel c;
    if (slotTexel(st, m.baseColor, p, true, &c)) a *= c.a;
    if (slotTexel(st, m.opacity, p, false, &c)) a *= c.r;
    if (st.colors) a *= vertexColor(st, p).a;
    return a;
}

// A number in [0, 1) fixed by the triangle and the ray: whether a ray meets
// a blended surface is drawn from it, the same for the same ray every time.
LUMENAR_HD inline float cutOutNumber(int triangle, const Vector3d& origin, const Vector3d& direction) {
    const float f[6] = {origin.x, origin.y, origin.z, direction.x, direction.y, direction.z};
    uint64_t h = 0x9e3779b97f4a7c15ull ^ static_cast<uint64_t>(static_cast<uint32_t>(triangle));
    for (float x : f) {
        uint32_t bits;
        memcpy(&bits, &x, sizeof bits);
        h = (h ^ bits) * 0xbf58476d1ce4e5b9ull;
        h ^= h >> 31;
    }
    return static_cast<float>(h >> 40) * (1.0f / 16777216.0f);
}

// Whether a ray along `direction` from `origin` goes through triangle `tri`
// of material `materialIndex` at barycentric weights (b1, b2): a mask lets
// it through where the opacity is below the cutoff; a blended material with
// the chance one minus the opacity (on average the blend, without sorting).
LUMENAR_HD inline bool passesThrough(const SceneTextures& st, int materialIndex, int tri, float b1, float b2,
                                     const Vector3d& origin, const Vector3d& direction) {
    if (!st.maps || tri < 0) return false;
    const MaterialMaps& m = st.maps[materialIndex];
    if (!m.cutOut()) return false;
    TexturePoint p;
    p.triangle = tri;
    p.b1 = b1;
    p.b2 = b2;
    const float a = surfaceOpacity(st, materialIndex, p);
    if (m.alphaMode == kAlphaMask) return !(a >= m.alphaCutoff);
    return cutOutNumber(tri, origin, direction) >= a;
}

// ---- normal maps ------------------------------------------------------------------

// Whether a direction wi that the shading normal ns puts on wo's side (a
// reflection) or across (a transmission) is on that same side of the
// surface itself (normal ng). Where the two normals disagree, light would
// leak through the surface or reflect into it.
LUMENAR_HD inline bool sidesAgree(const Vector3d& ng, const Vector3d& ns, const Vector3d& wo,
                                  const Vector3d& wi) {
    return (dot(wi, ng) * dot(wo, ng) > 0.0f) == (dot(wi, ns) * dot(wo, ns) > 0.0f);
}

// ns brought towards ng until the mirror direction of wo about it stays
// above the surface: the reflection off a bumped point never points into
// the surface, and a bump facing away from the viewer still faces it a
// little (no black fringes at grazing angles). Both normals unit, on wo's
// side of the surface.
LUMENAR_HD inline Vector3d keepReflectionAbove(const Vector3d& ns, const Vector3d& ng, const Vector3d& wo) {
    const float cosO = dot(wo, ng);
    const float margin = fminf(0.01f, 0.9f * cosO);
    auto above = [&](const Vector3d& n) { return dot(n * (2.0f * dot(wo, n)) - wo, ng) >= margin; };
    if (above(ns)) return ns;
    float lo = 0.0f, hi = 1.0f;
    for (int k = 0; k < 12; ++k) {
        const float mid = 0.5f * (lo + hi);
        if (above(normalize(ns * (1.0f - mid) + ng * mid)))
            hi = mid;
        else
            lo = mid;
    }
    return normalize(ns * (1.0f - hi) + ng * hi);
}

// The shading normal of a normal-mapped material at point p seen along wo
// (towards the viewer), from the interpolated normal n (unit): the map's
// tangent-space normal (+x along the tangent, +y along the bitangent, up the
// image; x and y scaled by the material's normal scale) turned into the
// triangle's tangent frame, kept consistent with the surface
// (keepReflectionAbove). Returns false (normals unchanged) without a normal
// map here; otherwise sets *ns and the unit geometric normal *ng, both on
// n's side.
LUMENAR_HD inline bool mappedNormal(const SceneTextures& st, int materialIndex, const TexturePoint& p,
                                    const Vector3d& n, const Vector3d& wo, Vector3d* ns, Vector3d* ng) {
    if (!st.maps || !st.tangents || !st.triangles || p.triangle < 0) return false;
    const MaterialMaps& maps = st.maps[materialIndex];
    Texel c;
    if (!maps.normal.used() || !slotTexel(st, maps.normal, p, false, &c)) return false;
    const TriangleTangents& tt = st.tangents[p.triangle];
    const float w[3] = {1.0f - p.b1 - p.b2, p.b1, p.b2};
    Vector3d t(0.0f, 0.0f, 0.0f);
    float side = 0.0f;
    for (int k = 0; k < 3; ++k) {
        t += Vector3d(tt.t[k][0], tt.t[k][1], tt.t[k][2]) * w[k];
        side += tt.t[k][3] * w[k];
    }
    t = t - n * dot(n, t);
    const float len = length(t);
    if (!(len > 1e-6f) || side == 0.0f) return false;
    t = t / len;
    const Vector3d b = cross(n, t) * (side < 0.0f ? -1.0f : 1.0f);
    const float x = (2.0f * c.r - 1.0f) * maps.normalScale, y = (2.0f * c.g - 1.0f) * maps.normalScale;
    const float z = 2.0f * c.b - 1.0f;
    Vector3d m = t * x + b * y + n * z;
    const float ml = length(m);
    m = ml > 0.0f && z > -1.0f ? m / ml : n;
    const deviceTriangle& tri = st.triangles[p.triangle];
    Vector3d g = cross(tri.p2 - tri.p1, tri.p3 - tri.p1);
    const float gl = length(g);
    if (!(gl > 0.0f)) return false;
    g = g / gl;
    if (dot(g, n) < 0.0f) g = -g;
    // Work on the viewer's side, then turn back.
    const float s = dot(wo, g) < 0.0f ? -1.0f : 1.0f;
    if (dot(m, g) < 0.0f) m = m - g * (2.0f * dot(m, g));  // a map normal below the surface: mirrored up
    *ns = keepReflectionAbove(m * s, g * s, wo) * s;
    *ng = g;
    return true;
}

}  // namespace lumenar
