#include "scene/scene_assembly.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "device/memory.h"
#include "scene/triangle_setup.h"

namespace lumenar {

namespace {

// Records made from the triangles a block at a time and copied into one
// device array, so that the host never holds a second copy of the whole
// array.
constexpr std::size_t kStagingRecords = 1 << 14;

template <class T, class Make>
device::Buffer<T> uploadMade(std::size_t count, Make make) {
    if (count == 0) return {};
    device::Buffer<T> out(count);
    if (!out) return {};
    std::vector<T> staging(std::min(count, kStagingRecords));
    for (std::size_t first = 0; first < count; first += staging.size()) {
        const std::size_t n = std::min(staging.size(), count - first);
        for (std::size_t k = 0; k < n; ++k) make(first + k, staging[k]);
        if (!device::copyToDevice(out.get() + first, staging.data(), n * sizeof(T))) return {};
    }
    return out;
}

struct WoopBlock {
    float4 rows[4];
};
static_assert(sizeof(WoopBlock) == 4 * sizeof(float4), "four float4 per triangle");

}  // namespace

const char* const kSlotNames[kSlotCount] = {"basecolor", "metalrough",   "normal", "emissive",
                                            "specular",  "transmission", "opacity"};

TextureSlot& slotOf(MaterialMaps& m, int slot) {
    TextureSlot* slots[kSlotCount] = {&m.baseColor, &m.metallicRoughness, &m.normal, &m.emissive,
                                      &m.specular,  &m.transmission,      &m.opacity};
    return *slots[slot];
}

const TextureSlot& slotOf(const MaterialMaps& m, int slot) {
    return slotOf(const_cast<MaterialMaps&>(m), slot);
}

TriangleColors whiteCorners() {
    TriangleColors c;
    for (auto& corner : c.rgba)
        for (float& x : corner) x = 1.0f;
    return c;
}

namespace {
// Minification filters and their bits.
const struct {
    const char* word;
    int bits;
} kMinFilters[] = {{"linear", 0},
                   {"nearest", kMinNearest},
                   {"linear-mipmap-nearest", kMipmaps},
                   {"nearest-mipmap-nearest", kMipmaps | kMinNearest},
                   {"linear-mipmap-linear", kMipmaps | kMipLinear},
                   {"nearest-mipmap-linear", kMipmaps | kMipLinear | kMinNearest}};
}  // namespace

int textureFilterOf(const std::string& mag, const std::string& min) {
    if (mag != "nearest" && mag != "linear") return -1;
    for (const auto& f : kMinFilters)
        if (min == f.word) return f.bits | (mag == "nearest" ? kMagNearest : 0);
    return -1;
}

void textureFilterWords(int filter, std::string& mag, std::string& min) {
    mag = filter & kMagNearest ? "nearest" : "linear";
    min = "linear";
    for (const auto& f : kMinFilters)
        if ((filter & ~kMagNearest) == f.bits) min = f.word;
}

bool textureIsColour(const std::vector<MaterialMaps>& maps, int texture) {
    bool data = false;
    for (const MaterialMaps& m : maps) {
        if (m.baseColor.texture == texture || m.emissive.texture == texture || m.specular.texture == texture)
            return true;
        data = data || m.metallicRoughness.texture == texture || m.normal.texture == texture ||
               m.transmission.texture == texture || m.opacity.texture == texture;
    }
    return !data;
}

bool uvDirections(const Vector3d& p0, const Vector3d& p1, const Vector3d& p2, const UV& t0, const UV& t1,
                  const UV& t2, Vector3d& dPdu, Vector3d& dPdv) {
    const Vector3d e1 = p1 - p0, e2 = p2 - p0;
    const float du1 = t1.u - t0.u, dv1 = t1.v - t0.v, du2 = t2.u - t0.u, dv2 = t2.v - t0.v;
    const float det = du1 * dv2 - du2 * dv1;
    if (!(std::fabs(det) > 0.0f) || !std::isfinite(det)) return false;
    // Weighted by the triangle's area: the edges over the coordinates'
    // determinant, times the area in coordinates (|det| / 2).
    const float s = det > 0.0f ? 0.5f : -0.5f;
    dPdu = (e1 * dv2 - e2 * dv1) * s;
    dPdv = (e2 * du1 - e1 * du2) * s;
    return std::isfinite(dPdu.x + dPdu.y + dPdu.z + dPdv.x + dPdv.y + dPdv.z);
}

void cornerTangent(const Vector3d& n, const Vector3d& dPdu, const Vector3d& dPdv, float out[4]) {
    const float nn = dot(n, n);
    Vector3d t = nn > 0.0f ? dPdu - n * (dot(n, dPdu) / nn) : dPdu;
    const float len = length(t);
    out[0] = out[1] = out[2] = out[3] = 0.0f;
    if (!(len > 0.0f) || !std::isfinite(len)) return;
    t = t / len;
    out[0] = t.x;
    out[1] = t.y;
    out[2] = t.z;
    out[3] = dot(cross(n, t), dPdv) < 0.0f ? -1.0f : 1.0f;
}

// Tangents from each triangle's own coordinates where it has none: for the
// materials with a normal map, by the set the map reads.
void fillFaceTangents(std::vector<TriangleTangents>& tangents, const std::vector<Triangle>& tris,
                      const std::vector<TriangleUVs>& uvs, const std::vector<TriangleUVs>& uvs1,
                      const std::vector<MaterialMaps>& maps) {
    tangents.resize(tris.size(), TriangleTangents{});
    for (std::size_t i = 0; i < tris.size(); ++i) {
        TriangleTangents& out = tangents[i];
        if (out.t[0][3] != 0.0f || out.t[1][3] != 0.0f || out.t[2][3] != 0.0f) continue;
        const Triangle& t = tris[i];
        const std::size_t m = static_cast<std::size_t>(t.materialIndex);
        if (m >= maps.size() || !maps[m].normal.used()) continue;
        const TriangleUVs* set = maps[m].normal.uvSet == 1 && i < uvs1.size() && uvs1[i].valid ? &uvs1[i]
                                 : i < uvs.size()                                              ? &uvs[i]
                                                                                               : nullptr;
        Vector3d dPdu, dPdv;
        if (!set || !set->valid ||
            !uvDirections(t.p1, t.p2, t.p3, set->uv[0], set->uv[1], set->uv[2], dPdu, dPdv))
            continue;
        const Vector3d* n[3] = {&t.normal1, &t.normal2, &t.normal3};
        for (int k = 0; k < 3; ++k) cornerTangent(*n[k], dPdu, dPdv, out.t[k]);
    }
}

// Coordinate units per world unit on each triangle with coordinates.
void setDensities(std::vector<TriangleUVs>& uvs, const std::vector<Triangle>& tris) {
    for (std::size_t i = 0; i < uvs.size() && i < tris.size(); ++i) {
        TriangleUVs& t = uvs[i];
        if (!t.valid) continue;
        const float du1 = t.uv[1].u - t.uv[0].u, dv1 = t.uv[1].v - t.uv[0].v;
        const float du2 = t.uv[2].u - t.uv[0].u, dv2 = t.uv[2].v - t.uv[0].v;
        const float uvArea = 0.5f * std::fabs(du1 * dv2 - du2 * dv1);
        const float d = std::sqrt(uvArea / tris[i].area);
        t.density = std::isfinite(d) ? d : 0.0f;
    }
}

bool unitLightDirection(Vector3d& d) {
    Vector3d u = normalize(d);
    if (!std::isfinite(u.x) || !std::isfinite(u.y) || !std::isfinite(u.z)) return false;
    for (int pass = 0; pass < 4; ++pass) {
        const Vector3d v = normalize(u);
        if (v.x == u.x && v.y == u.y && v.z == u.z) break;
        u = v;
    }
    d = u;
    return true;
}

float lightAngleRadians(float degrees) {
    return static_cast<float>(static_cast<double>(degrees) * (3.14159265358979323846 / 180.0));
}

float lightAngleDegrees(float radians) {
    const float guess = static_cast<float>(static_cast<double>(radians) * (180.0 / 3.14159265358979323846));
    // The nearest float to the exact degrees, or one a few steps from it.
    float down = guess, up = guess;
    for (int step = 0; step < 8; ++step) {
        if (lightAngleRadians(down) == radians) return down;
        if (lightAngleRadians(up) == radians) return up;
        down = std::nextafter(down, -INFINITY);
        up = std::nextafter(up, INFINITY);
    }
    return guess;
}

bool commitScene(SceneAssembly& a, Scene& scene, aabb& bounds, float4** woopTriangles,
                 const std::string& name) {
    const std::vector<Triangle>& tris = a.triangles;
    const std::size_t triCount = tris.size();
    const std::size_t lightCount = a.lightIndices.size();

    device::Buffer<WoopBlock> dWoop =
        uploadMade<WoopBlock>(triCount, [&](std::size_t i, WoopBlock& w) { packWoop(tris[i], w.rows); });
    device::Buffer<deviceTriangle> dTris = uploadMade<deviceTriangle>(
        triCount, [&](std::size_t i, deviceTriangle& d) { d = makeDeviceTriangle(tris[i]); });
    // The light records are the light set's (render/lights.h), built from
    // the triangles and materials at start-up.
    if (triCount && (!dTris || !dWoop)) {
        std::printf("%s: cannot place %zu triangles in device memory\n", name.c_str(), triCount);
        return false;
    }

    if (a.sceneBoxFlag && !a.volumes.empty()) a.volumes.front().bounds = a.bounds;

    // Commit: everything below only moves what was built.
    scene.release();
    if (a.haveCamera) scene.camera = a.camera;
    if (a.haveBgcolor) scene.bgcolor = a.bgcolor;
    if (a.haveMaterials) {
        scene.materials = std::move(a.materials);
        scene.materialCount = static_cast<int32_t>(scene.materials.size());
        scene.materialNames = std::move(a.materialNames);
    }
    // Shading reads the per-triangle arrays only where a material needs them:
    // textures (with coordinates to read them by), a cut-out, vertex colours
    // or an emitter lit on both sides.
    bool needed = !a.triangleColors.empty();
    for (const MaterialMaps& m : a.materialMaps)
        needed = needed || (m.anyTexture() && a.anyTriangleUVs) || m.cutOut() || m.emitsBothSides;
    if (needed) {
        scene.materialMaps = std::move(a.materialMaps);
        scene.materialMaps.resize(scene.materials.size());
        a.triangleUVs.resize(triCount);
        setDensities(a.triangleUVs, a.triangles);
        scene.triangleUVs = std::move(a.triangleUVs);
        if (!a.triangleUVs1.empty()) {
            a.triangleUVs1.resize(triCount);
            setDensities(a.triangleUVs1, a.triangles);
            scene.triangleUVs1 = std::move(a.triangleUVs1);
        }
        if (!a.triangleColors.empty()) {
            a.triangleColors.resize(triCount, whiteCorners());
            scene.triangleColors = std::move(a.triangleColors);
        }
        bool normalMaps = false;
        for (const MaterialMaps& m : scene.materialMaps) normalMaps = normalMaps || m.normal.used();
        if (normalMaps) {
            fillFaceTangents(a.triangleTangents, a.triangles, scene.triangleUVs, scene.triangleUVs1,
                             scene.materialMaps);
            scene.triangleTangents = std::move(a.triangleTangents);
        }
    }
    if (a.haveTextures) {
        scene.texturePaths = std::move(a.texturePaths);
        scene.textureCount = static_cast<int32_t>(scene.texturePaths.size());
    }
    if (a.haveLights) {
        scene.lights = std::move(a.lights);
        scene.lightNames = std::move(a.lightNames);
    }
    if (a.haveEnvMap) {
        scene.envMapEnabled = a.envMapEnabled;
        if (a.envMapEnabled) scene.envMapPath = a.envMapPath;
    }
    if (!a.volumes.empty()) {
        scene.volumes.push_back(a.volumes.front());
        a.volumes.front().densityData = nullptr;  // now owned by the scene
        scene.volumeCount = 1;
        scene.inscatter = a.inscatter;
    }
    scene.hostTriangles = std::move(a.triangles);
    scene.triangleCount = static_cast<int32_t>(triCount);
    scene.lightCount = static_cast<int32_t>(lightCount);
    scene.movables = std::move(a.movables);
    scene.movableCount = static_cast<int32_t>(scene.movables.size());
    scene.objects = std::move(a.objects);
    scene.deviceTriangles = dTris.release();
    scene.woopTriangles = reinterpret_cast<float4*>(dWoop.release());
    scene.bounds = a.bounds;
    bounds = a.bounds;
    if (woopTriangles) *woopTriangles = scene.woopTriangles;
    return true;
}

}  // namespace lumenar
