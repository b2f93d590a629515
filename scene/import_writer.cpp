// An imported scene written as a native scene folder (lumenar-import): the
// scene file is made from the records themselves, so that parsing it gives
// them back bit for bit.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "scene/import_model.h"

namespace lumenar {

namespace fs = std::filesystem;

namespace {

void appendf(std::string& s, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void appendf(std::string& s, const char* fmt, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    const int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n > 0) s.append(buf, std::min<std::size_t>(static_cast<std::size_t>(n), sizeof buf - 1));
}

// Shortest text that reads back as the same float.
std::string num(float v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.9g", v);
    return buf;
}
std::string three(float a, float b, float c) {
    return num(a) + " " + num(b) + " " + num(c);
}
std::string vec(const Vector3d& v) {
    return three(v.x, v.y, v.z);
}
std::string col(const Color& c) {
    return three(c.r, c.g, c.b);
}

const char* wrapWord(int w) {
    return w == kWrapClamp ? "clamp" : (w == kWrapMirror ? "mirror" : "repeat");
}

template <class T>
bool sameBits(const T& a, const T& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// Numbering of distinct values (by their bits) in the order first written:
// an open-addressing table of keys and numbers.
template <class T>
class Numbering {
    static constexpr std::size_t kWords = sizeof(T) / 4;
    struct Slot {
        uint32_t w[kWords];
        uint32_t number;  // 0: empty
    };

 public:
    // The value's number (from 1), and whether it is new.
    std::pair<long long, bool> of(const T& v) {
        uint32_t w[kWords];
        std::memcpy(w, &v, sizeof w);
        if (static_cast<std::size_t>(2 * (count_ + 1)) > slots_.size()) grow();
        std::size_t i = hash(w) & (slots_.size() - 1);
        for (;; i = (i + 1) & (slots_.size() - 1)) {
            Slot& s = slots_[i];
            if (s.number == 0) {
                std::memcpy(s.w, w, sizeof w);
                s.number = static_cast<uint32_t>(++count_);
                return {count_, true};
            }
            if (std::memcmp(s.w, w, sizeof w) == 0) return {s.number, false};
        }
    }
    long long next() const { return count_ + 1; }

 private:
    static std::size_t hash(const uint32_t* w) {
        uint64_t h = 0x9e3779b97f4a7c15ull;
        for (std::size_t k = 0; k < kWords; ++k) {
            h = (h ^ w[k]) * 0xbf58476d1ce4e5b9ull;
            h ^= h >> 31;
        }
        return static_cast<std::size_t>(h);
    }
    void grow() {
        std::vector<Slot> old = std::move(slots_);
        slots_.assign(old.empty() ? 1024 : 2 * old.size(), Slot{});
        for (const Slot& s : old) {
            if (s.number == 0) continue;
            std::size_t i = hash(s.w) & (slots_.size() - 1);
            while (slots_[i].number != 0) i = (i + 1) & (slots_.size() - 1);
            slots_[i] = s;
        }
    }

    std::vector<Slot> slots_;
    long long count_ = 0;
};
static_assert(sizeof(Vector3d) % 4 == 0 && sizeof(UV) % 4 == 0, "values numbered by their 32-bit words");

// A vertex as the scene file numbers it: position and colour; and a
// texture coordinate: both sets (the second with a flag).
struct Corner {
    Vector3d p;
    float rgba[4];
};
struct CornerNormal {
    Vector3d n;
    float tangent[4];
};
struct CornerUV {
    UV uv, uv1;
    float hasSecond;
};

// What a face needs of its object's flags.
enum FaceKind { kFlat, kSmooth, kTextured };

// The mesh block: the assembly's objects with their names, in record order.
// Triangles that no object holds go into objects of their own, split where
// one object's flags could not express them (texture coordinates, once read,
// hold for the rest of an object).
class MeshWriter {
 public:
    MeshWriter(const SceneAssembly& a, std::ostream& out) : a_(a), out_(out) {}

    // The objects are counted first: the count heads the block.
    void run() {
        std::vector<Range> objects;
        std::size_t t = 0;
        for (const SceneObject& o : a_.objects) {
            const std::size_t first = static_cast<std::size_t>(std::max(o.firstTriangle, 0));
            const std::size_t end =
                std::min(first + static_cast<std::size_t>(std::max(o.triangleCount, 0)), a_.triangles.size());
            if (first < t || first > end) continue;
            plain(t, first, objects);
            objects.push_back({first, end, o.movable, o.name});
            t = end;
        }
        plain(t, a_.triangles.size(), objects);
        const bool corners = !boxReached();
        appendf(body_, "mesh\n%zu\n\n", objects.size() + (objects.empty() && corners ? 1 : 0));
        for (const Range& r : objects) object(r);
        if (corners) {
            if (objects.empty()) appendf(body_, "o 0 box\n");
            // Vertex lines may stand in any object: they go at the end of the last.
            body_ += "v " + vec(a_.bounds.min) + "\nv " + vec(a_.bounds.max) + "\n";
        }
        flush(true);
    }

 private:
    FaceKind kind(std::size_t t) const {
        const Triangle& tri = a_.triangles[t];
        if (!a_.triangleUVs.empty() && a_.triangleUVs[t].valid) return kTextured;
        // Tangents ride on the normals: a face that has them is written smooth.
        if (!a_.triangleTangents.empty()) {
            const TriangleTangents& tt = a_.triangleTangents[t];
            if (tt.t[0][3] != 0.0f || tt.t[1][3] != 0.0f || tt.t[2][3] != 0.0f) return kSmooth;
        }
        const Vector3d n = cross(tri.p2 - tri.p1, tri.p3 - tri.p1);
        return sameBits(tri.normal1, n) && sameBits(tri.normal2, n) && sameBits(tri.normal3, n) ? kFlat
                                                                                                : kSmooth;
    }

    struct Range {
        std::size_t from, to;
        bool movable;
        std::string name;
    };

    void plain(std::size_t from, std::size_t to, std::vector<Range>& objects) const {
        while (from < to) {
            std::size_t end = from;
            bool textured = false;
            for (; end < to; ++end) {
                const FaceKind k = kind(end);
                if (textured && k == kSmooth) break;
                textured = textured || k == kTextured;
            }
            objects.push_back({from, end, false, "object_" + std::to_string(objects.size())});
            from = end;
        }
    }

    void object(const Range& r) {
        const std::size_t from = r.from, to = r.to;
        const bool movable = r.movable;
        appendf(body_, "o %zu %s\n", objects_++, import::sceneWord(r.name, "object").c_str());
        if (movable) body_ += "movable True\n";
        int material = -1;
        int smoothing = -1;
        bool textureFlag = false;
        Numbering<CornerUV> uvs;  // per object: its first "vt" line sets the object's texture flag
        for (std::size_t t = from; t < to; ++t) {
            const Triangle& tri = a_.triangles[t];
            FaceKind k = kind(t);
            // An object is written whole: a face without coordinates after
            // one with them takes the coordinates (0, 0) (the importer puts
            // the meshes without coordinates first, so this does not arise).
            if (k == kSmooth && textureFlag) k = kTextured;
            long long v[3];
            const Vector3d* p[3] = {&tri.p1, &tri.p2, &tri.p3};
            for (int i = 0; i < 3; ++i) {
                Corner corner{*p[i], {1.0f, 1.0f, 1.0f, 1.0f}};
                if (!a_.triangleColors.empty())
                    for (int ch = 0; ch < 4; ++ch) corner.rgba[ch] = a_.triangleColors[t].rgba[i][ch];
                const auto [n, added] = positions_.of(corner);
                if (added) {
                    body_ += "v " + vec(*p[i]) + "\n";
                    if (!a_.triangleColors.empty())
                        body_ += "vc " + three(corner.rgba[0], corner.rgba[1], corner.rgba[2]) + " " +
                                 num(corner.rgba[3]) + "\n";
                }
                v[i] = n;
            }
            long long vt[3] = {0, 0, 0}, vn[3] = {0, 0, 0};
            if (k == kTextured) {
                const bool first = !a_.triangleUVs.empty() && a_.triangleUVs[t].valid;
                const bool second = first && !a_.triangleUVs1.empty() && a_.triangleUVs1[t].valid;
                for (int i = 0; i < 3; ++i) {
                    CornerUV c{first ? a_.triangleUVs[t].uv[i] : UV{0.0f, 0.0f},
                               second ? a_.triangleUVs1[t].uv[i] : UV{0.0f, 0.0f}, second ? 1.0f : 0.0f};
                    const auto [n, added] = uvs.of(c);
                    if (added) {
                        body_ += "vt " + num(c.uv.u) + " " + num(c.uv.v) + "\n";
                        if (second) body_ += "vt1 " + num(c.uv1.u) + " " + num(c.uv1.v) + "\n";
                    }
                    vt[i] = uvBase_ + n;
                }
                textureFlag = true;
            }
            if (k != kFlat) {
                const Vector3d* n[3] = {&tri.normal1, &tri.normal2, &tri.normal3};
                for (int i = 0; i < 3; ++i) {
                    CornerNormal c{*n[i], {0.0f, 0.0f, 0.0f, 0.0f}};
                    if (!a_.triangleTangents.empty())
                        for (int j = 0; j < 4; ++j) c.tangent[j] = a_.triangleTangents[t].t[i][j];
                    const auto [m, added] = normals_.of(c);
                    if (added) {
                        body_ += "vn " + vec(*n[i]) + "\n";
                        if (c.tangent[3] != 0.0f)
                            body_ += "vtan " + three(c.tangent[0], c.tangent[1], c.tangent[2]) + " " +
                                     num(c.tangent[3]) + "\n";
                    }
                    vn[i] = m;
                }
            }
            if (tri.materialIndex != material) {
                material = tri.materialIndex;
                const std::size_t mi = static_cast<std::size_t>(material);
                appendf(body_, "usemtl %d %s\n", material,
                        mi < a_.materialNames.size() ? a_.materialNames[mi].c_str() : "material");
            }
            const int smooth = k == kFlat ? 0 : 1;
            if (smooth != smoothing) {
                body_ += smooth ? "s on\n" : "s off\n";
                smoothing = smooth;
            }
            if (k == kFlat)
                appendf(body_, "f %lld %lld %lld\n", v[0], v[1], v[2]);
            else if (textureFlag)
                appendf(body_, "f %lld/%lld/%lld %lld/%lld/%lld %lld/%lld/%lld\n", v[0], vt[0], vn[0], v[1],
                        vt[1], vn[1], v[2], vt[2], vn[2]);
            else
                appendf(body_, "f %lld//%lld %lld//%lld %lld//%lld\n", v[0], vn[0], v[1], vn[1], v[2], vn[2]);
            flush();
        }
        uvBase_ += uvs.next() - 1;
    }

    // Written text leaves the buffer a megabyte at a time.
    void flush(bool all = false) {
        if (!all && body_.size() < (1u << 20)) return;
        out_ << body_;
        body_.clear();
    }

    // The scene box holds every vertex the model gave, used or not: where the
    // faces' own corners do not reach it, its corners are written as vertices.
    bool boxReached() const {
        aabb box = initialSceneBox();
        for (const Triangle& t : a_.triangles) box.grow(t.bounds);
        return sameBits(box.min, a_.bounds.min) && sameBits(box.max, a_.bounds.max);
    }

    const SceneAssembly& a_;
    std::ostream& out_;
    std::string body_;
    std::size_t objects_ = 0;
    Numbering<Corner> positions_;
    Numbering<CornerNormal> normals_;
    long long uvBase_ = 0;
};

}  // namespace

namespace {

void writeSceneText(const ImportedScene& scene, std::ostream& out) {
    const SceneAssembly& a = scene.assembly;
    std::string text = "Imported from " + import::sceneWord(scene.source, "model") + "\n";
    const ImportedCamera& c = scene.camera;
    appendf(text, "camera\nresolution %d %d\n", c.width, c.height);
    text += "eye " + vec(c.eye) + "\nlookat " + vec(c.lookat) + "\nup " + vec(c.up) + "\nnear " +
            num(c.nearDistance) + "\n";
    text += "bgcolor\n" + col(a.bgcolor) + "\n";
    if (!a.lights.empty()) {
        appendf(text, "lights\n%zu\n", a.lights.size());
        for (std::size_t i = 0; i < a.lights.size(); ++i) {
            const SceneLight& l = a.lights[i];
            const std::string name = i < a.lightNames.size() ? a.lightNames[i] : "light_" + std::to_string(i);
            if (l.kind == kSunLight) {
                text += "sun " + name + "\ndirection " + vec(l.direction) + "\ncolor " + col(l.color) +
                        "\nirradiance " + num(l.intensity) + "\ndiameter " +
                        num(lightAngleDegrees(l.angularDiameter)) + "\n";
                continue;
            }
            const bool spot = l.kind == kSpotLight;
            text += (spot ? "spot " : "point ") + name + "\nposition " + vec(l.position) + "\n";
            if (spot) text += "direction " + vec(l.direction) + "\n";
            text += "color " + col(l.color) + "\nintensity " + num(l.intensity) + "\n";
            if (spot)
                text += "cone " + num(lightAngleDegrees(l.innerAngle)) + " " +
                        num(lightAngleDegrees(l.outerAngle)) + "\n";
            text += "radius " + num(l.radius) + "\n";
        }
    }
    if (!scene.textures.empty()) {
        appendf(text, "texture\n%zu\n", scene.textures.size());
        for (const ImportedTexture& t : scene.textures) text += t.fileName + "\n";
    }
    appendf(text, "material\n%zu\n\n", a.materials.size());
    for (std::size_t i = 0; i < a.materials.size(); ++i) {
        const Material& m = a.materials[i];
        appendf(text, "mtl %zu %s\n", i,
                i < a.materialNames.size() ? a.materialNames[i].c_str() : "material");
        text += "basecolor " + col(m.basecolor) + "\nspecular " + col(m.specular) + "\nemission " +
                col(m.emission) + "\ntransmission " + col(m.transmission) + "\nmetalness " +
                num(m.metalness) + "\n";
        text += m.anisotropic ? "anisotropic True\n" : "anisotropic False\n";
        text += "roughness " + num(m.roughness) + "\nroughnessY " + num(m.roughnessY) + "\ntransparency " +
                num(m.transparency) + "\nIOR " + num(m.IOR) + "\n";
        appendf(text, "tex %d\n", m.tex > 0 ? m.tex : 0);
        text += "rsc " + num(m.rsc) + "\nabsorption " + col(m.absorption) + "\n";
    }
    // How each material reads its textures, its alpha and normal scale.
    std::string maps;
    std::size_t lines = 0;
    const MaterialMaps plain;
    for (std::size_t i = 0; i < a.materialMaps.size(); ++i) {
        const MaterialMaps& m = a.materialMaps[i];
        for (int k = 0; k < kSlotCount; ++k) {
            const TextureSlot& s = slotOf(m, k);
            if (!s.used()) continue;
            std::string mag, min;
            textureFilterWords(s.filter, mag, min);
            const float* t = s.transform;
            appendf(maps, "%zu %s %d %d %s %s %s %s ", i, kSlotNames[k], s.texture + 1, s.uvSet,
                    wrapWord(s.wrapU), wrapWord(s.wrapV), mag.c_str(), min.c_str());
            maps += three(t[0], t[1], t[2]) + " " + three(t[3], t[4], t[5]) + "\n";
            ++lines;
        }
        if (m.alphaMode != plain.alphaMode || !sameBits(m.alphaCutoff, plain.alphaCutoff) ||
            !sameBits(m.alpha, plain.alpha)) {
            const char* mode =
                m.alphaMode == kAlphaMask ? "mask" : (m.alphaMode == kAlphaBlend ? "blend" : "opaque");
            appendf(maps, "%zu alpha %s ", i, mode);
            maps += num(m.alphaCutoff) + " " + num(m.alpha) + "\n";
            ++lines;
        }
        if (m.emitsBothSides) {
            appendf(maps, "%zu bothsides\n", i);
            ++lines;
        }
        if (!sameBits(m.normalScale, plain.normalScale)) {
            appendf(maps, "%zu normalscale ", i);
            maps += num(m.normalScale) + "\n";
            ++lines;
        }
    }
    if (lines > 0) appendf(text, "materialmaps\n%zu\n%s", lines, maps.c_str());
    out << text;
    MeshWriter mesh(a, out);
    mesh.run();
}

}  // namespace

std::string importedSceneText(const ImportedScene& scene) {
    std::ostringstream s;
    writeSceneText(scene, s);
    return s.str();
}

bool writeImportedScene(const ImportedScene& scene, const std::string& dir) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec || !fs::is_directory(dir, ec)) {
        std::printf("%s: cannot create the folder: %s\n", dir.c_str(),
                    ec ? ec.message().c_str() : "not a folder");
        return false;
    }
    for (const ImportedTexture& t : scene.textures) {
        const fs::path target = fs::path(dir) / t.fileName;
        if (!t.sourcePath.empty()) {
            fs::copy_file(t.sourcePath, target, fs::copy_options::overwrite_existing, ec);
            if (ec) {
                std::printf("%s: cannot copy the texture %s: %s\n", target.string().c_str(),
                            t.sourcePath.c_str(), ec.message().c_str());
                return false;
            }
        } else {
            std::ofstream f(target, std::ios::binary | std::ios::trunc);
            f.write(reinterpret_cast<const char*>(t.embedded.data()),
                    static_cast<std::streamsize>(t.embedded.size()));
            f.close();
            if (!f) {
                std::printf("%s: cannot write the texture\n", target.string().c_str());
                return false;
            }
        }
    }
    const fs::path input = fs::path(dir) / "input";
    std::ofstream f(input, std::ios::binary | std::ios::trunc);
    writeSceneText(scene, f);
    f.close();
    if (!f) {
        std::printf("%s: cannot write the scene file\n", input.string().c_str());
        return false;
    }
    return true;
}

}  // namespace lumenar
