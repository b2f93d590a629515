// What the model readers (glTF, and the asset library for the other formats)
// hand to the importer: meshes as views of their arrays, placed instances
// grouped into objects, materials with their texture use, textures and the
// camera. assembleModel turns that into scene records. Internal to the
// importer.
#pragma once

#include <assimp/matrix4x4.h>
#include <assimp/vector3.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "scene/importer.h"

namespace lumenar::import {

// A 4 x 4 affine transform in double precision, row major.
struct Xform {
    double m[4][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};

    static Xform of(const aiMatrix4x4& a);
    Xform operator*(const Xform& o) const;
    void point(const double p[3], double out[3]) const {
        for (int i = 0; i < 3; ++i) out[i] = m[i][0] * p[0] + m[i][1] * p[1] + m[i][2] * p[2] + m[i][3];
    }
    void vector(const double v[3], double out[3]) const {
        for (int i = 0; i < 3; ++i) out[i] = m[i][0] * v[0] + m[i][1] * v[1] + m[i][2] * v[2];
    }
    double det3() const;
    // Normals transform with the inverse transpose of the linear part; the
    // result is normalised (0 for a zero or collapsed normal).
    void normal(const double n[3], double out[3]) const;
};

// A word of the scene text: no blanks or control characters, not empty.
std::string sceneWord(const std::string& name, const std::string& fallback);
std::string lower(std::string s);

// Component types of array elements (glTF's codes).
enum ComponentType : int {
    kByte = 5120,
    kUnsignedByte = 5121,
    kShort = 5122,
    kUnsignedShort = 5123,
    kUnsignedInt = 5125,
    kFloat = 5126,
};

// Bytes of one component of a type (0 for an unknown type).
int componentBytes(int type);

// `count` elements of `components` numbers each, read as floats: elements
// `stride` bytes apart from `data`, or the floats in `owned` when that is
// not empty. Normalised integers map to [0, 1] ([-1, 1] signed).
struct AttributeView {
    const uint8_t* data = nullptr;
    std::size_t count = 0;
    std::size_t stride = 0;
    int components = 0;
    int componentType = kFloat;
    bool normalized = false;
    std::vector<float> owned;

    bool present() const { return count > 0; }
    // Element i into out[0 .. components - 1].
    void get(std::size_t i, float* out) const;
};

// The corner indices of a mesh's triangles: an index array (unsigned byte,
// short or int), consecutive vertices when there is none, or a list made
// from strips, fans or faces.
struct TriangleIndices {
    const uint8_t* data = nullptr;  // null with `owned` empty: corners 0, 1, 2, 3 ...
    std::size_t stride = 4;
    int componentType = kUnsignedInt;
    std::size_t corners = 0;      // number of indices (3 per triangle)
    std::vector<uint32_t> owned;  // used when not empty

    std::size_t triangles() const { return (owned.empty() ? corners : owned.size()) / 3; }
    uint32_t corner(std::size_t k) const;
};

struct MeshData {
    std::string name;
    std::size_t vertices = 0;
    AttributeView positions;  // 3 numbers
    AttributeView normals;    // 3 numbers, or absent
    AttributeView uv;         // 2 numbers, or absent
    AttributeView uv1;        // the second coordinate set: 2 numbers, or absent
    AttributeView colors;     // linear RGB or RGBA vertex colours, or absent
    AttributeView tangents;   // xyz and the bitangent's side w (glTF's TANGENT), or absent
    TriangleIndices indices;
    int material = 0;
    bool flipV = false;  // the file counts v down the image (glTF); records count it up
};

// A node of the file's hierarchy.
struct NodeOut {
    std::string name;
    Xform local;                        // relative to its parent
    std::vector<std::size_t> meshes;    // into Model::meshes
    std::vector<std::size_t> children;  // into Model::nodes
    bool camera = false;                // the file's first camera sits here
    long long light = -1;               // into Model::lights: the light this node places, or none
};

// A point, spot or directional light as the file gives it (glTF's
// KHR_lights_punctual), in the space of the node that places it: at its
// origin, shining down its -z.
struct LightSource {
    std::string name;
    int32_t kind = kPointLight;  // kPointLight, kSpotLight or kSunLight (directional)
    Color color{1.0f, 1.0f, 1.0f};
    double intensity = 1.0;                   // candela (point, spot) or lux (directional)
    double innerCone = 0.0, outerCone = 0.0;  // spot: radians from the axis
};

// The file's first camera, in the space of the node that holds it.
struct CameraSource {
    bool present = false;
    bool orthographic = false;
    std::string name;
    double position[3] = {0, 0, 0}, lookAt[3] = {0, 0, -1}, up[3] = {0, 1, 0};
    double aspect = 0.0;  // width / height, 0 when the file gives none
    // Tangents of half the vertical and of half the horizontal angle (one
    // of them may be 0: it follows from the other and the image); both 0
    // when the file's angle is unusable.
    double tanHalfY = 0.0;
    double tanHalfX = 0.0;
};

struct Model {
    std::vector<MeshData> meshes;
    std::vector<NodeOut> nodes;
    std::vector<std::size_t> roots;
    std::vector<Material> materials;
    std::vector<std::string> materialNames;
    std::vector<MaterialMaps> materialMaps;  // one per material
    std::vector<ImportedTexture> textures;
    CameraSource camera;
    std::vector<LightSource> lights;
    unsigned ignoredLights = 0;  // lights of a format whose units are not known, left out
    // What the views of the meshes point into (mapped files, the asset
    // library's scene); kept until the records are made.
    std::vector<std::shared_ptr<const void>> storage;
};

// Turns the placed meshes into triangles (transformed, degenerate faces
// left out, emissive meshes last in each object), frames a camera when the
// file has none, and fills `out`. Prints notes (left-out faces, the sky,
// lights) and returns false after a message naming the file when nothing can
// be rendered.
bool assembleModel(const std::string& path, const ImportOptions& options, Model& model, ImportedScene& out);

// A material in glTF's metallic-roughness terms (the factors; textures are
// attached to the MaterialMaps separately).
struct PbrParams {
    Color baseColor = Color(1.0f, 1.0f, 1.0f);
    float metallic = 1.0f;
    float roughness = 1.0f;
    float ior = 1.5f;
    float specular = 1.0f;                          // KHR_materials_specular's specularFactor
    Color specularColor = Color(1.0f, 1.0f, 1.0f);  // and its specularColorFactor
    float transmission = 0.0f;
    Color emission;  // emissive factor times strength
};

// The renderer's material for metallic-roughness parameters.
Material pbrMaterial(const PbrParams& p);

// The material of a model that names none: a rough dielectric of IOR 1.5
// (a plain coat over `base`), untextured.
Material roughDielectric(const Color& base);

// An emission colour as the file gives it, or black where it is negative or
// not finite.
Color usableEmission(const Color& e);

// Decodes an image stored inside a model file; encodes one as PNG.
bool decodeImageBytes(const std::vector<uint8_t>& bytes, Image& out);
bool encodePng(const Image& image, std::vector<uint8_t>& out);

// Reads the image file `key` names (relative to the model's folder) as the
// model's texture `number` (from 1) of material `matName`: `t` gets its
// source, its name in a written scene and the image. Prints a message naming
// the model and returns false when the file cannot be read.
bool readTextureFile(const std::string& modelPath, const std::string& key, const std::string& matName,
                     int number, ImportedTexture& t);

// Readers: fill `model` from the file, or print a message naming it and
// return false.
bool readGltf(const std::string& path, const ImportOptions& options, Model& model);
bool readPly(const std::string& path, const ImportOptions& options, Model& model);
bool readWithAssetLibrary(const std::string& path, const ImportOptions& options, Model& model);

}  // namespace lumenar::import
