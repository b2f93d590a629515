// What textured shading reads besides the material records: the texture
// coordinates of every triangle, which textures each material uses and how
// they repeat, and the texel arrays. Plain records, copied to the device as
// arrays; a scene that uses no texture leaves all of them empty.
#pragma once

#include <cstdint>

#include "scene/records.h"

namespace lumenar {

// How a texture coordinate outside [0, 1] is brought back onto the image.
enum TextureWrap : int32_t { kWrapRepeat = 0, kWrapClamp = 1, kWrapMirror = 2 };

// Texture use of one material: texture indices into the scene's texture list
// (-1 = none) and the wrap modes along u and v of both.
struct MaterialMaps {
    int32_t baseColor = -1;          // sRGB colour, multiplies basecolor
    int32_t metallicRoughness = -1;  // linear: green scales roughness, blue metalness
    int32_t wrapU = kWrapRepeat;
    int32_t wrapV = kWrapRepeat;

    LUMENAR_HD bool any() const { return baseColor >= 0 || metallicRoughness >= 0; }
};

// Texture coordinates at the three corners of a triangle, in the order of
// its vertices; `valid` is 0 for a face written without coordinates.
struct TriangleUVs {
    UV uv[3] = {};
    int32_t valid = 0;
};

// One texture as the lookup reads it: RGBA texels, rows bottom first (so
// v = 0 is the bottom edge of the image).
struct TextureView {
    const uint8_t* texels = nullptr;
    int32_t width = 0;
    int32_t height = 0;
};

// Everything textured shading reads, as device pointers. With `maps` null
// the scene uses no texture and shading reads the material records alone.
struct SceneTextures {
    const TriangleUVs* uvs = nullptr;    // one per triangle
    const MaterialMaps* maps = nullptr;  // one per material
    const TextureView* textures = nullptr;
    int32_t textureCount = 0;
};

static_assert(sizeof(MaterialMaps) == 16, "MaterialMaps is four words");
static_assert(sizeof(TriangleUVs) == 28, "TriangleUVs is seven words");

}  // namespace lumenar
