// What textured shading reads besides the material records: per material,
// which textures it uses and how each is read (coordinate set, wrap modes,
// filters, coordinate transform), its alpha mode; per triangle, its texture
// coordinates (two sets) and vertex colours; and the texel arrays. Plain
// records, copied to the device as arrays; a scene that needs none of them
// leaves them all empty.
#pragma once

#include <cstdint>

#include "scene/records.h"

namespace lumenar {

// How a texture coordinate outside [0, 1] is brought back onto the image.
enum TextureWrap : int32_t { kWrapRepeat = 0, kWrapClamp = 1, kWrapMirror = 2 };

// Filter bits of a texture slot: nearest texel when magnified (else
// bilinear), nearest texel within a level when minified, minification over
// the mip levels, and blending between two levels (else the nearest level).
// 0 is bilinear on the full-size image whatever the footprint.
enum TextureFilter : int32_t {
    kMagNearest = 1,
    kMinNearest = 2,
    kMipmaps = 4,
    kMipLinear = 8,
    kFilterTrilinear = kMipmaps | kMipLinear,
};

// One texture as a material reads it.
struct TextureSlot {
    int32_t texture = -1;  // index into the scene's textures; -1: none
    int32_t uvSet = 0;     // texture coordinate set 0 or 1
    int32_t wrapU = kWrapRepeat;
    int32_t wrapV = kWrapRepeat;
    int32_t filter = 0;
    // Affine map of the coordinates before the lookup:
    // (u, v) -> (t0 u + t1 v + t2, t3 u + t4 v + t5).
    float transform[6] = {1.0f, 0.0f, 0.0f, 0.0f, 1.0f, 0.0f};

    LUMENAR_HD bool used() const { return texture >= 0; }
};

// Alpha modes: opaque, a cut-out below the cutoff, or blended (rendered as a
// cut-out with the opacity as its probability).
enum AlphaMode : int32_t { kAlphaOpaque = 0, kAlphaMask = 1, kAlphaBlend = 2 };

// Texture use and the other per-material settings of one material.
struct MaterialMaps {
    TextureSlot baseColor;          // sRGB colour (and alpha), multiplies basecolor
    TextureSlot metallicRoughness;  // linear: green scales roughness, blue metalness
    TextureSlot normal;             // tangent-space normal map
    TextureSlot emissive;           // sRGB, multiplies emission
    TextureSlot specular;           // sRGB, multiplies specular (the coat's colour)
    TextureSlot transmission;       // linear: red scales transparency
    TextureSlot opacity;            // linear: red scales the alpha (a separate opacity map)
    float normalScale = 1.0f;       // scales the map's x and y
    int32_t alphaMode = kAlphaOpaque;
    float alphaCutoff = 0.5f;
    float alpha = 1.0f;  // the base colour's own opacity
    // An emitter whose back face emits too (its front alone otherwise).
    int32_t emitsBothSides = 0;

    LUMENAR_HD bool anyTexture() const {
        return baseColor.used() || metallicRoughness.used() || normal.used() || emissive.used() ||
               specular.used() || transmission.used() || opacity.used();
    }
    LUMENAR_HD bool cutOut() const { return alphaMode != kAlphaOpaque; }
};

// Texture coordinates at the three corners of a triangle, in the order of
// its vertices; `valid` is 0 for a face written without coordinates.
// `density`: coordinate units per world unit on the triangle (the square
// root of the ratio of its areas in the two), which sizes a footprint.
struct TriangleUVs {
    UV uv[3] = {};
    int32_t valid = 0;
    float density = 0.0f;
};

// Linear RGBA colours at the three corners of a triangle (vertex colours:
// they multiply the base colour and its alpha).
struct TriangleColors {
    float rgba[3][4];
};

// Tangents at the three corners of a triangle (xyz along increasing u of
// the normal map's coordinates; w = +-1 the side of the bitangent, which is
// w cross(normal, tangent)); w = 0 for a triangle without tangents.
struct TriangleTangents {
    float t[3][4];
};

// One texture as the lookup reads it: RGBA texels, rows bottom first (so
// v = 0 is the bottom edge of the image), the full-size image followed by
// its mip levels, each half the size of the one before (at least 1 x 1).
struct TextureView {
    const uint8_t* texels = nullptr;
    int32_t width = 0;
    int32_t height = 0;
    int32_t levels = 1;
};

// Everything textured shading reads, as device pointers. With `maps` null
// the scene needs none of it and shading reads the material records alone.
struct SceneTextures {
    const TriangleUVs* uvs = nullptr;            // one per triangle
    const TriangleUVs* uvs1 = nullptr;           // the second set; null: none
    const TriangleColors* colors = nullptr;      // null: no vertex colours
    const TriangleTangents* tangents = nullptr;  // null: no normal map
    const deviceTriangle* triangles = nullptr;   // their faces give the geometric normals
    const MaterialMaps* maps = nullptr;          // one per material
    const TextureView* textures = nullptr;
    int32_t textureCount = 0;
    // Angle one pixel spans from the camera (radians): with the distance to
    // a camera ray's hit it sizes the footprint that picks a mip level.
    float pixelSpread = 0.0f;
    // Some material is a cut-out (alpha mask or blend): ray queries test the
    // opacity of what they hit.
    int32_t cutOuts = 0;
};

static_assert(sizeof(TextureSlot) == 44, "TextureSlot is eleven words");
static_assert(sizeof(MaterialMaps) == 7 * 44 + 20, "MaterialMaps layout");
static_assert(sizeof(TriangleUVs) == 32, "TriangleUVs is eight words");
static_assert(sizeof(TriangleColors) == 48, "TriangleColors is twelve words");
static_assert(sizeof(TriangleTangents) == 48, "TriangleTangents is twelve words");

}  // namespace lumenar
