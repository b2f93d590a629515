// What loading a scene collects before it becomes the Scene: the host
// records in their final form. The scene-file parser and the model importer
// both fill one, and commitScene turns it into the Scene (device arrays
// included) in one step, so a scene file and a model that describe the same
// scene give the same records.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "scene/scene.h"

namespace lumenar {

struct SceneAssembly {
    bool haveCamera = false;
    Camera camera;
    bool haveBgcolor = false;
    Color bgcolor;
    std::vector<Volume> volumes;  // owns the density arrays until committed
    bool inscatter = false;
    bool sceneBoxFlag = false;  // the first volume's box becomes the scene box
    bool haveTextures = false;
    std::vector<std::string> texturePaths;
    bool haveEnvMap = false;
    bool envMapEnabled = false;
    std::string envMapPath;
    bool haveLights = false;
    std::vector<SceneLight> lights;  // point, spot and sun lights
    std::vector<std::string> lightNames;
    bool haveMaterials = false;
    std::vector<Material> materials;
    std::vector<std::string> materialNames;
    // One entry per material, or empty when no material is textured.
    std::vector<MaterialMaps> materialMaps;

    std::vector<Triangle> triangles;       // complete (finishTriangle, scene/triangle_setup.h)
    std::vector<TriangleUVs> triangleUVs;  // one per triangle from the first with coordinates on
    bool anyTriangleUVs = false;
    std::vector<TriangleUVs> triangleUVs1;           // the second set: one per triangle, or none
    std::vector<TriangleColors> triangleColors;      // vertex colours: one per triangle, or none
    std::vector<TriangleTangents> triangleTangents;  // one per triangle, or none
    std::vector<int32_t> lightIndices;               // triangles whose material emits, in order
    std::vector<Movable> movables;
    std::vector<SceneObject> objects;  // the mesh block's objects (names and runs of triangles)
    aabb bounds;                       // the scene box: grown by every vertex read

    SceneAssembly() = default;
    SceneAssembly(const SceneAssembly&) = delete;
    SceneAssembly& operator=(const SceneAssembly&) = delete;
    SceneAssembly(SceneAssembly&&) = default;
    SceneAssembly& operator=(SceneAssembly&&) = default;
    ~SceneAssembly() {
        for (Volume& v : volumes) delete[] v.densityData;
    }
};

// The texture slots of a material by number, and their names in scene files.
constexpr int kSlotCount = 7;
extern const char* const kSlotNames[kSlotCount];
TextureSlot& slotOf(MaterialMaps& m, int slot);
const TextureSlot& slotOf(const MaterialMaps& m, int slot);

// Every corner white and opaque.
TriangleColors whiteCorners();

// Texture filter bits for the words of a magnification and a minification
// filter (nearest, linear; nearest, linear, nearest-mipmap-nearest,
// linear-mipmap-nearest, nearest-mipmap-linear, linear-mipmap-linear); -1
// for a word that is none of these. textureFilterWords gives them back.
int textureFilterOf(const std::string& mag, const std::string& min);
void textureFilterWords(int filter, std::string& mag, std::string& min);

// Whether texture `texture` holds sRGB colour (its mip levels then average
// the light it encodes): false only for a texture that the materials read
// as data alone (metallic-roughness, normal, transmission).
bool textureIsColour(const std::vector<MaterialMaps>& maps, int texture);

// Directions of increasing u and v of a triangle's texture coordinates
// (corners p0, p1, p2 with coordinates t0, t1, t2), unnormalised (their
// length grows with the triangle, so sums over a vertex's triangles weigh
// each by its size); false where the coordinates span no area.
bool uvDirections(const Vector3d& p0, const Vector3d& p1, const Vector3d& p2, const UV& t0, const UV& t1,
                  const UV& t2, Vector3d& dPdu, Vector3d& dPdv);

// A corner's tangent from the u and v directions: dPdu made orthogonal to
// the corner's normal n, and w the side of dPdv (w = 0 where there is no
// tangent to be had).
void cornerTangent(const Vector3d& n, const Vector3d& dPdu, const Vector3d& dPdv, float out[4]);

// A light's direction as the records hold it: of unit length, normalised
// until another pass changes no bit (so a written and re-read direction is
// the same); false where it has no length to speak of.
bool unitLightDirection(Vector3d& d);

// A light's angle in radians from the degrees a scene file gives, and the
// degrees to write for such an angle (whose radians are the same bits).
float lightAngleRadians(float degrees);
float lightAngleDegrees(float radians);

// Builds the device arrays (triangles and unit-triangle transforms) and
// moves everything into `scene`, replacing what it held; `bounds` and
// `*woopTriangles` (when not null) receive the scene box and the device
// transforms. On failure prints a message naming `name` and leaves `scene`
// and `bounds` untouched.
bool commitScene(SceneAssembly& assembly, Scene& scene, aabb& bounds, float4** woopTriangles,
                 const std::string& name);

}  // namespace lumenar
