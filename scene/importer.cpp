#include "scene/importer.h"

#include <assimp/GltfMaterial.h>
#include <assimp/material.h>
#include <assimp/postprocess.h>
#include <assimp/scene.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <assimp/Importer.hpp>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <system_error>

#include "scene/camera.h"
#include "scene/types.h"

namespace lumenar {

namespace fs = std::filesystem;

namespace {

// Longest name written into the scene text (the native format allows 127).
constexpr std::size_t kMaxNameLength = 100;
constexpr double kPi = 3.14159265358979323846;

// A 4 x 4 affine transform in double precision, row major.
struct Xform {
    double m[4][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};

    static Xform of(const aiMatrix4x4& a) {
        Xform x;
        const ai_real* rows[4] = {a[0], a[1], a[2], a[3]};
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j) x.m[i][j] = rows[i][j];
        return x;
    }
    Xform operator*(const Xform& o) const {
        Xform r;
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j) {
                double s = 0.0;
                for (int k = 0; k < 4; ++k) s += m[i][k] * o.m[k][j];
                r.m[i][j] = s;
            }
        return r;
    }
    void point(const aiVector3D& p, double out[3]) const {
        for (int i = 0; i < 3; ++i) out[i] = m[i][0] * p.x + m[i][1] * p.y + m[i][2] * p.z + m[i][3];
    }
    void vector(const aiVector3D& v, double out[3]) const {
        for (int i = 0; i < 3; ++i) out[i] = m[i][0] * v.x + m[i][1] * v.y + m[i][2] * v.z;
    }
    double det3() const {
        return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
               m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
               m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    }
    // Normals transform with the inverse transpose of the linear part; the
    // cofactor matrix is that up to a positive or negative scale, which the
    // normalisation and the sign of the determinant take out.
    void normal(const aiVector3D& n, double out[3]) const {
        const double c[3][3] = {{m[1][1] * m[2][2] - m[1][2] * m[2][1], m[1][2] * m[2][0] - m[1][0] * m[2][2],
                                 m[1][0] * m[2][1] - m[1][1] * m[2][0]},
                                {m[0][2] * m[2][1] - m[0][1] * m[2][2], m[0][0] * m[2][2] - m[0][2] * m[2][0],
                                 m[0][1] * m[2][0] - m[0][0] * m[2][1]},
                                {m[0][1] * m[1][2] - m[0][2] * m[1][1], m[0][2] * m[1][0] - m[0][0] * m[1][2],
                                 m[0][0] * m[1][1] - m[0][1] * m[1][0]}};
        const double s = det3() < 0.0 ? -1.0 : 1.0;
        for (int i = 0; i < 3; ++i) out[i] = s * (c[i][0] * n.x + c[i][1] * n.y + c[i][2] * n.z);
        const double len = std::sqrt(out[0] * out[0] + out[1] * out[1] + out[2] * out[2]);
        for (int i = 0; i < 3; ++i) out[i] = len > 0.0 ? out[i] / len : 0.0;
    }
};

// A word of the scene text: no blanks or control characters, not empty.
std::string sceneWord(const std::string& name, const std::string& fallback) {
    std::string w;
    for (char c : name) {
        const unsigned char u = static_cast<unsigned char>(c);
        w += (u <= 0x20 || u == 0x7f) ? '_' : c;
        if (w.size() >= kMaxNameLength) break;
    }
    return w.empty() ? fallback : w;
}

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
std::string num(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.9g", static_cast<float>(v));
    return buf;
}

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool finite3(const double v[3]) {
    return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]);
}

// glTF's emissive strength (KHR_materials_emissive_strength) of every
// material in file order, read from the file's JSON since the asset library
// leaves it out; 1 where a material has none. Empty when the JSON cannot be
// read (the library then reports what is wrong with the file).
std::vector<float> gltfEmissiveStrengths(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::string data((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::string json;
    if (data.size() >= 20 && data.compare(0, 4, "glTF") == 0) {
        uint32_t length = 0;
        std::memcpy(&length, data.data() + 12, 4);
        if (static_cast<uint64_t>(length) + 20 > data.size()) return {};
        json = data.substr(20, length);
    } else {
        json = std::move(data);
    }
    const nlohmann::json doc = nlohmann::json::parse(json, nullptr, false);
    std::vector<float> out;
    if (doc.is_discarded() || !doc.is_object()) return out;
    const auto mats = doc.find("materials");
    if (mats == doc.end() || !mats->is_array()) return out;
    for (const nlohmann::json& m : *mats) {
        float s = 1.0f;
        if (m.is_object()) {
            const auto ext = m.find("extensions");
            if (ext != m.end() && ext->is_object()) {
                const auto es = ext->find("KHR_materials_emissive_strength");
                if (es != ext->end() && es->is_object()) {
                    const auto v = es->find("emissiveStrength");
                    if (v != es->end() && v->is_number()) s = v->get<float>();
                }
            }
        }
        out.push_back(s);
    }
    return out;
}

struct MaterialOut {
    std::string name;
    Color basecolor, specular, emission, transmission;
    float metalness = 0.0f, roughness = 1.0f, transparency = 0.0f, IOR = 1.5f;
    int baseColorTexture = 0;  // texture number (from 1), 0 = none
    int metallicRoughnessTexture = 0;
    int wrapU = 0, wrapV = 0;  // repeat, clamp, mirror
};

const char* wrapWord(int w) {
    return w == 1 ? "clamp" : (w == 2 ? "mirror" : "repeat");
}

// One object of the mesh block: the meshes of a node (or of the movable
// node's whole subtree), each with its world transform.
struct ObjectOut {
    std::string name;
    bool movable = false;
    std::vector<std::pair<unsigned, Xform>> meshes;
};

class Converter {
 public:
    Converter(const std::string& path, const aiScene* scene, const ImportOptions& options)
        : path_(path), folder_(fs::path(path).parent_path()), sc_(scene), opt_(options) {}

    bool run(ImportedScene& out) {
        if (!materials()) return false;
        collectObjects();
        if (!opt_.movable.empty() && !movableFound_) {
            std::printf("%s: no node or mesh is named \"%s\" (--movable)\n", path_.c_str(),
                        opt_.movable.c_str());
            return false;
        }
        std::string mesh;
        if (!meshBlock(mesh)) return false;
        if (triangles_ == 0) {
            std::printf("%s: the file holds no triangles%s\n", path_.c_str(),
                        dropped_ > 0 ? " (all of its faces are degenerate)" : "");
            return false;
        }
        if (dropped_ > 0)
            std::printf("%s: %d degenerate triangles (zero area) left out\n", path_.c_str(), dropped_);
        if (sc_->mNumLights > 0)
            std::printf(
                "%s: its %u point, spot or directional lights are not used (only emissive surfaces "
                "emit light)\n",
                path_.c_str(), sc_->mNumLights);
        const bool sky = !emissiveUsed_;
        if (sky)
            std::printf("%s: no emissive material: a uniform white sky lights the scene\n", path_.c_str());

        std::string text;
        appendf(text, "Imported from %s\n", sceneWord(fs::path(path_).filename().string(), "model").c_str());
        if (!camera(text)) return false;
        appendf(text, "bgcolor\n%s\n", sky ? "1 1 1" : "0 0 0");
        if (!textures_.empty()) {
            appendf(text, "texture\n%zu\n", textures_.size());
            for (const ImportedTexture& t : textures_) appendf(text, "%s\n", t.fileName.c_str());
        }
        appendf(text, "material\n%zu\n\n", mats_.size());
        for (std::size_t i = 0; i < mats_.size(); ++i) {
            const MaterialOut& m = mats_[i];
            appendf(text, "mtl %zu %s\n", i, m.name.c_str());
            text += "basecolor " + color(m.basecolor) + "\n";
            text += "specular " + color(m.specular) + "\n";
            text += "emission " + color(m.emission) + "\n";
            text += "transmission " + color(m.transmission) + "\n";
            text += "metalness " + num(m.metalness) + "\n";
            text += "anisotropic False\n";
            text += "roughness " + num(m.roughness) + "\nroughnessY " + num(m.roughness) + "\n";
            text += "transparency " + num(m.transparency) + "\n";
            text += "IOR " + num(m.IOR) + "\n";
            appendf(text, "tex %d\n", m.baseColorTexture);
            text += "rsc 0\nabsorption 0 0 0\n";
        }
        std::size_t mapped = 0;
        for (const MaterialOut& m : mats_)
            if (m.metallicRoughnessTexture > 0 || (m.baseColorTexture > 0 && (m.wrapU || m.wrapV))) ++mapped;
        if (mapped > 0) {
            appendf(text, "texturemaps\n%zu\n", mapped);
            for (std::size_t i = 0; i < mats_.size(); ++i) {
                const MaterialOut& m = mats_[i];
                if (m.metallicRoughnessTexture > 0 || (m.baseColorTexture > 0 && (m.wrapU || m.wrapV)))
                    appendf(text, "%zu %d %d %s %s\n", i, m.baseColorTexture, m.metallicRoughnessTexture,
                            wrapWord(m.wrapU), wrapWord(m.wrapV));
            }
        }
        text += mesh;

        out.sceneText = std::move(text);
        out.textures = std::move(textures_);
        out.materialNames.clear();
        for (const MaterialOut& m : mats_) out.materialNames.push_back(m.name);
        out.triangleCount = triangles_;
        out.droppedTriangles = dropped_;
        out.skyLight = sky;
        return true;
    }

 private:
    bool isGltf() const {
        const std::string ext = lower(fs::path(path_).extension().string());
        return ext == ".gltf" || ext == ".glb";
    }

    static std::string color(const Color& c) { return num(c.r) + " " + num(c.g) + " " + num(c.b); }

    // ---- materials and textures -------------------------------------------

    bool materials() {
        const std::vector<float> strengths = isGltf() ? gltfEmissiveStrengths(path_) : std::vector<float>();
        for (unsigned i = 0; i < sc_->mNumMaterials; ++i) {
            const aiMaterial* am = sc_->mMaterials[i];
            MaterialOut m;
            aiString name;
            m.name = sceneWord(am->Get(AI_MATKEY_NAME, name) == AI_SUCCESS ? std::string(name.C_Str()) : "",
                               "material_" + std::to_string(i));
            aiColor4D c;
            float f = 0.0f;
            // Metallic-roughness materials (glTF) carry these two factors;
            // the others (OBJ/MTL and most older formats) are Phong-like.
            float metallic = 0.0f, rough = 1.0f;
            const bool pbr = am->Get(AI_MATKEY_METALLIC_FACTOR, metallic) == AI_SUCCESS ||
                             am->Get(AI_MATKEY_ROUGHNESS_FACTOR, rough) == AI_SUCCESS;
            if (am->Get(AI_MATKEY_BASE_COLOR, c) == AI_SUCCESS ||
                am->Get(AI_MATKEY_COLOR_DIFFUSE, c) == AI_SUCCESS)
                m.basecolor = Color(c.r, c.g, c.b);
            else
                m.basecolor = Color(0.8f, 0.8f, 0.8f);
            if (am->Get(AI_MATKEY_REFRACTI, f) == AI_SUCCESS && f >= 1.0f && std::isfinite(f)) m.IOR = f;
            if (pbr) {
                am->Get(AI_MATKEY_METALLIC_FACTOR, metallic);
                am->Get(AI_MATKEY_ROUGHNESS_FACTOR, rough);
                m.metalness = std::clamp(metallic, 0.0f, 1.0f);
                m.roughness = std::clamp(rough, 0.0f, 1.0f);
                const float r0 = (m.IOR - 1.0f) / (m.IOR + 1.0f);
                m.specular = Color(r0 * r0, r0 * r0, r0 * r0);
                if (am->Get(AI_MATKEY_TRANSMISSION_FACTOR, f) == AI_SUCCESS)
                    m.transparency = std::clamp(f, 0.0f, 1.0f);
                m.transmission = m.basecolor;
            } else {
                if (am->Get(AI_MATKEY_COLOR_SPECULAR, c) == AI_SUCCESS) m.specular = Color(c.r, c.g, c.b);
                float shininess = 0.0f;
                if (am->Get(AI_MATKEY_SHININESS, shininess) == AI_SUCCESS && shininess > 0.0f)
                    m.roughness = std::pow(2.0f / (shininess + 2.0f), 0.25f);
                if (am->Get(AI_MATKEY_OPACITY, f) == AI_SUCCESS && f < 1.0f)
                    m.transparency = std::clamp(1.0f - f, 0.0f, 1.0f);
                m.transmission = Color(1.0f, 1.0f, 1.0f);
            }
            if (am->Get(AI_MATKEY_COLOR_EMISSIVE, c) == AI_SUCCESS) {
                float strength = 1.0f;
                if (am->Get(AI_MATKEY_EMISSIVE_INTENSITY, strength) != AI_SUCCESS) strength = 1.0f;
                // glTF materials come in file order (a default one may follow).
                if (i < strengths.size()) strength = strengths[i];
                if (!(strength >= 0.0f) || !std::isfinite(strength)) strength = 1.0f;
                m.emission = Color(c.r * strength, c.g * strength, c.b * strength);
                if (!(m.emission.r >= 0.0f && m.emission.g >= 0.0f && m.emission.b >= 0.0f) ||
                    !std::isfinite(m.emission.r + m.emission.g + m.emission.b))
                    m.emission = Color();
            }
            aiTextureMapMode modes[3] = {aiTextureMapMode_Wrap, aiTextureMapMode_Wrap, aiTextureMapMode_Wrap};
            if (!texture(am, pbr ? aiTextureType_BASE_COLOR : aiTextureType_DIFFUSE, m, m.baseColorTexture,
                         modes))
                return false;
            if (!m.baseColorTexture && pbr &&
                !texture(am, aiTextureType_DIFFUSE, m, m.baseColorTexture, modes))
                return false;
            if (m.baseColorTexture) {
                m.wrapU = wrapOf(modes[0]);
                m.wrapV = wrapOf(modes[1]);
            }
            if (pbr) {
                aiTextureMapMode mr[3] = {aiTextureMapMode_Wrap, aiTextureMapMode_Wrap,
                                          aiTextureMapMode_Wrap};
                if (!texture(am, AI_MATKEY_GLTF_PBRMETALLICROUGHNESS_METALLICROUGHNESS_TEXTURE, m,
                             m.metallicRoughnessTexture, mr))
                    return false;
                if (m.metallicRoughnessTexture && !m.baseColorTexture) {
                    m.wrapU = wrapOf(mr[0]);
                    m.wrapV = wrapOf(mr[1]);
                }
            }
            mats_.push_back(m);
        }
        if (mats_.empty()) {
            MaterialOut m;
            m.name = "default";
            m.basecolor = Color(0.8f, 0.8f, 0.8f);
            m.specular = Color(0.04f, 0.04f, 0.04f);
            m.transmission = Color(1.0f, 1.0f, 1.0f);
            mats_.push_back(m);
        }
        return true;
    }

    static int wrapOf(aiTextureMapMode m) {
        return m == aiTextureMapMode_Clamp || m == aiTextureMapMode_Decal
                   ? 1
                   : (m == aiTextureMapMode_Mirror ? 2 : 0);
    }

    // The texture of `type` slot 0 of material `am`, loaded and added to the
    // list (once per image): its number in `number`, 0 when there is none.
    bool texture(const aiMaterial* am, aiTextureType type, unsigned slot, const MaterialOut& m, int& number,
                 aiTextureMapMode* modes) {
        number = 0;
        if (am->GetTextureCount(type) <= slot) return true;
        aiString p;
        if (am->GetTexture(type, slot, &p, nullptr, nullptr, nullptr, nullptr, modes) != AI_SUCCESS)
            return true;
        const std::string key = p.C_Str();
        if (key.empty()) return true;
        const auto found = textureNumbers_.find(key);
        if (found != textureNumbers_.end()) {
            number = found->second;
            return true;
        }
        ImportedTexture t;
        const int index = static_cast<int>(textures_.size());
        const std::pair<const aiTexture*, int> embedded = sc_->GetEmbeddedTextureAndIndex(key.c_str());
        if (embedded.first) {
            const aiTexture* at = embedded.first;
            if (at->mHeight != 0) {
                std::printf(
                    "%s: texture \"%s\" of material \"%s\" is stored uncompressed, which is not "
                    "supported\n",
                    path_.c_str(), key.c_str(), m.name.c_str());
                return false;
            }
            std::string hint = lower(sceneWord(at->achFormatHint, "img"));
            if (hint == "jpeg") hint = "jpg";
            t.embedded.assign(reinterpret_cast<const uint8_t*>(at->pcData),
                              reinterpret_cast<const uint8_t*>(at->pcData) + at->mWidth);
            t.fileName = "texture_" + std::to_string(index + 1) + "." + hint;
            if (!decodeEmbedded(t, key, m)) return false;
        } else {
            fs::path src(key);
            if (src.is_relative()) src = folder_ / src;
            t.sourcePath = src.string();
            t.fileName = "texture_" + std::to_string(index + 1) + "_" +
                         sceneWord(fs::path(key).filename().string(), "image");
            std::error_code ec;
            if (!fs::is_regular_file(src, ec)) {
                std::printf("%s: texture \"%s\" of material \"%s\" cannot be read: %s is not a file\n",
                            path_.c_str(), key.c_str(), m.name.c_str(), t.sourcePath.c_str());
                return false;
            }
            if (!loadImage(t.sourcePath, t.image)) {
                std::printf("%s: texture \"%s\" of material \"%s\" cannot be read\n", path_.c_str(),
                            key.c_str(), m.name.c_str());
                return false;
            }
        }
        textures_.push_back(std::move(t));
        number = index + 1;
        textureNumbers_[key] = number;
        return true;
    }
    bool texture(const aiMaterial* am, aiTextureType type, const MaterialOut& m, int& number,
                 aiTextureMapMode* modes) {
        return texture(am, type, 0, m, number, modes);
    }

    // The image decoder reads files: the embedded image goes through a
    // private temporary file.
    bool decodeEmbedded(ImportedTexture& t, const std::string& key, const MaterialOut& m) {
        std::error_code ec;
        std::string tmpl = (fs::temp_directory_path(ec) / "lumenar-texture-XXXXXX").string();
        std::vector<char> name(tmpl.begin(), tmpl.end());
        name.push_back('\0');
        const int fd = mkstemp(name.data());
        bool ok = fd >= 0;
        if (ok) {
            std::size_t done = 0;
            while (ok && done < t.embedded.size()) {
                const ssize_t w = ::write(fd, t.embedded.data() + done, t.embedded.size() - done);
                if (w <= 0) ok = false;
                done += w > 0 ? static_cast<std::size_t>(w) : 0;
            }
            ::close(fd);
            ok = ok && loadImage(name.data(), t.image);
            ::unlink(name.data());
        }
        if (!ok) {
            std::printf("%s: embedded texture \"%s\" of material \"%s\" cannot be read\n", path_.c_str(),
                        key.c_str(), m.name.c_str());
            return false;
        }
        return true;
    }

    // ---- nodes ---------------------------------------------------------------

    bool nodeIsMovable(const aiNode* n) const {
        if (opt_.movable.empty()) return false;
        if (opt_.movable == n->mName.C_Str()) return true;
        for (unsigned i = 0; i < n->mNumMeshes; ++i) {
            const unsigned mi = n->mMeshes[i];
            if (mi < sc_->mNumMeshes && opt_.movable == sc_->mMeshes[mi]->mName.C_Str()) return true;
        }
        return false;
    }

    void collectObjects() {
        if (sc_->mRootNode) visit(sc_->mRootNode, Xform(), nullptr, 0);
        // The movable object goes first: the renderer moves movable object 0.
        std::stable_partition(objects_.begin(), objects_.end(), [](const ObjectOut& o) { return o.movable; });
    }

    void visit(const aiNode* n, const Xform& parent, ObjectOut* into, int depth) {
        if (depth > 1000) return;  // a cycle or an absurd hierarchy
        const Xform world = parent * Xform::of(n->mTransformation);
        std::size_t own = static_cast<std::size_t>(-1);
        if (!into && !movableFound_ && nodeIsMovable(n)) {
            movableFound_ = true;
            ObjectOut o;
            o.name = sceneWord(n->mName.C_Str(), "movable");
            o.movable = true;
            objects_.push_back(o);
            own = objects_.size() - 1;
        } else if (!into && n->mNumMeshes > 0) {
            ObjectOut o;
            o.name = sceneWord(n->mName.C_Str(), "object_" + std::to_string(objects_.size()));
            objects_.push_back(o);
            own = objects_.size() - 1;
        }
        for (unsigned i = 0; i < n->mNumMeshes; ++i) {
            const unsigned mi = n->mMeshes[i];
            if (mi >= sc_->mNumMeshes) continue;
            if (into)
                into->meshes.emplace_back(mi, world);
            else
                objects_[own].meshes.emplace_back(mi, world);
        }
        const bool subtreeMovable = own != static_cast<std::size_t>(-1) && objects_[own].movable;
        for (unsigned c = 0; c < n->mNumChildren; ++c) {
            // objects_ may grow below: pass the movable object by index.
            if (into) {
                visit(n->mChildren[c], world, into, depth + 1);
            } else if (subtreeMovable) {
                ObjectOut sub;
                visit(n->mChildren[c], world, &sub, depth + 1);
                for (auto& m : sub.meshes) objects_[own].meshes.push_back(m);
            } else {
                visit(n->mChildren[c], world, nullptr, depth + 1);
            }
        }
    }

    // ---- geometry ----------------------------------------------------------

    int materialOf(const aiMesh* mesh) const {
        return mesh->mMaterialIndex < mats_.size() ? static_cast<int>(mesh->mMaterialIndex) : 0;
    }

    bool meshBlock(std::string& s) {
        std::vector<std::string> objects;
        for (ObjectOut& o : objects_) {
            std::string body;
            if (o.movable) body += "movable True\n";
            bool textureFlag = false;
            int faces = 0;
            for (const auto& [mi, xf] : o.meshes) faces += meshText(body, sc_->mMeshes[mi], xf, textureFlag);
            if (faces == 0 && !o.movable) continue;
            objects.push_back(o.name + "\n" + body);
        }
        appendf(s, "mesh\n%zu\n\n", objects.size());
        for (std::size_t k = 0; k < objects.size(); ++k) appendf(s, "o %zu ", k), s += objects[k];
        return true;
    }

    // Appends one mesh placed by `xf`; returns the number of faces written.
    int meshText(std::string& s, const aiMesh* mesh, const Xform& xf, bool& textureFlag) {
        if (!mesh->mVertices || mesh->mNumVertices == 0) return 0;
        const unsigned nv = mesh->mNumVertices;
        const bool mirror = xf.det3() < 0.0;
        std::vector<Vector3d> pos(nv);
        std::vector<char> badVertex(nv, 0);
        for (unsigned i = 0; i < nv; ++i) {
            double p[3];
            xf.point(mesh->mVertices[i], p);
            // What the scene parser will read back.
            pos[i] =
                Vector3d(std::strtof(num(p[0]).c_str(), nullptr), std::strtof(num(p[1]).c_str(), nullptr),
                         std::strtof(num(p[2]).c_str(), nullptr));
            // Beyond the float range (or not a number): written as the
            // origin, and every face using it is dropped below.
            if (!std::isfinite(pos[i].x) || !std::isfinite(pos[i].y) || !std::isfinite(pos[i].z)) {
                pos[i] = Vector3d(0.0f, 0.0f, 0.0f);
                badVertex[i] = 1;
            }
        }
        // Faces that survive: three valid indices, a positive finite area.
        std::vector<unsigned> tris;
        for (unsigned f = 0; f < mesh->mNumFaces; ++f) {
            const aiFace& face = mesh->mFaces[f];
            if (face.mNumIndices != 3) continue;
            unsigned a = face.mIndices[0], b = face.mIndices[1], c = face.mIndices[2];
            if (a >= nv || b >= nv || c >= nv || badVertex[a] || badVertex[b] || badVertex[c]) {
                ++dropped_;
                continue;
            }
            if (mirror) std::swap(b, c);
            const float area = length(cross(pos[a] - pos[b], pos[a] - pos[c])) / 2.0f;
            if (!(area > 0.0f) || !std::isfinite(area)) {
                ++dropped_;
                continue;
            }
            tris.insert(tris.end(), {a, b, c});
        }
        if (tris.empty()) return 0;
        const int mat = materialOf(mesh);
        const MaterialOut& m = mats_[static_cast<std::size_t>(mat)];
        if (!m.emission.isBlack()) emissiveUsed_ = true;

        const long long vBase = vertices_;
        for (unsigned i = 0; i < nv; ++i)
            s += "v " + num(pos[i].x) + " " + num(pos[i].y) + " " + num(pos[i].z) + "\n";
        vertices_ += nv;

        const bool uvs = mesh->HasTextureCoords(0);
        const bool normals = mesh->HasNormals();
        long long tBase = uvCount_;
        if (uvs) {
            for (unsigned i = 0; i < nv; ++i) {
                const aiVector3D& t = mesh->mTextureCoords[0][i];
                s += "vt " + num(std::isfinite(t.x) ? t.x : 0.0) + " " + num(std::isfinite(t.y) ? t.y : 0.0) +
                     "\n";
            }
            uvCount_ += nv;
            textureFlag = true;
        } else if (textureFlag) {
            // This object's faces are read with texture indices from now on.
            s += "vt 0 0\n";
            tBase = uvCount_;
            uvCount_ += 1;
        }
        appendf(s, "usemtl %d %s\n", mat, m.name.c_str());
        const int count = static_cast<int>(tris.size() / 3);
        triangles_ += count;
        if (!uvs && !normals) {
            // Flat faces: the parser takes the face normal.
            s += "s off\n";
            for (std::size_t k = 0; k < tris.size(); k += 3)
                appendf(s, "f %lld %lld %lld\n", vBase + tris[k] + 1, vBase + tris[k + 1] + 1,
                        vBase + tris[k + 2] + 1);
            return count;
        }
        s += "s on\n";
        // Vertex normals as the file gives them; where it gives none (or a
        // useless one) the face normal of each face.
        const long long nBase = normalCount_;
        std::vector<char> goodNormal(nv, 0);
        if (normals) {
            for (unsigned i = 0; i < nv; ++i) {
                double n[3];
                xf.normal(mesh->mNormals[i], n);
                goodNormal[i] = finite3(n) && (n[0] != 0.0 || n[1] != 0.0 || n[2] != 0.0);
                if (!goodNormal[i]) n[0] = n[1] = n[2] = 0.0;
                s += "vn " + num(n[0]) + " " + num(n[1]) + " " + num(n[2]) + "\n";
            }
            normalCount_ += nv;
        }
        for (std::size_t k = 0; k < tris.size(); k += 3) {
            const unsigned a = tris[k], b = tris[k + 1], c = tris[k + 2];
            long long na = nBase + a + 1, nb = nBase + b + 1, nc = nBase + c + 1;
            if (!normals || !goodNormal[a] || !goodNormal[b] || !goodNormal[c]) {
                const Vector3d fn = normalize(cross(pos[b] - pos[a], pos[c] - pos[a]));
                s += "vn " + num(fn.x) + " " + num(fn.y) + " " + num(fn.z) + "\n";
                na = nb = nc = ++normalCount_;
            }
            if (textureFlag) {
                const long long ta = uvs ? tBase + a + 1 : tBase + 1, tb = uvs ? tBase + b + 1 : tBase + 1,
                                tc = uvs ? tBase + c + 1 : tBase + 1;
                appendf(s, "f %lld/%lld/%lld %lld/%lld/%lld %lld/%lld/%lld\n", vBase + a + 1, ta, na,
                        vBase + b + 1, tb, nb, vBase + c + 1, tc, nc);
            } else {
                appendf(s, "f %lld//%lld %lld//%lld %lld//%lld\n", vBase + a + 1, na, vBase + b + 1, nb,
                        vBase + c + 1, nc);
            }
        }
        return count;
    }

    // ---- camera --------------------------------------------------------------

    const aiNode* findNode(const aiNode* n, const aiString& name, Xform parent, Xform& world,
                           int depth) const {
        if (!n || depth > 1000) return nullptr;
        const Xform x = parent * Xform::of(n->mTransformation);
        if (n->mName == name) {
            world = x;
            return n;
        }
        for (unsigned c = 0; c < n->mNumChildren; ++c)
            if (const aiNode* f = findNode(n->mChildren[c], name, x, world, depth + 1)) return f;
        return nullptr;
    }

    bool camera(std::string& text) {
        double eye[3] = {0, 0, 0}, dir[3] = {0, 0, -1}, up[3] = {0, 1, 0};
        double aspect = 0.0, tanHalfY = 0.0, tanHalfX = 0.0;
        bool fromFile = false;
        if (sc_->mNumCameras > 0 && sc_->mCameras[0]->mOrthographicWidth == 0.0f) {
            const aiCamera* c = sc_->mCameras[0];
            Xform world;
            findNode(sc_->mRootNode, c->mName, Xform(), world, 0);
            // A glTF camera sits at its node's origin; the library also
            // copies the node's translation into the position, which would
            // count it twice.
            world.point(isGltf() ? aiVector3D(0, 0, 0) : c->mPosition, eye);
            world.vector(c->mLookAt, dir);
            world.vector(c->mUp, up);
            aspect = c->mAspect > 0.0f ? c->mAspect : 0.0;
            const double fov = c->mHorizontalFOV;
            if (isGltf()) {
                // The library keeps glTF's vertical angle times the aspect
                // ratio (the angle itself when the file gives no ratio).
                tanHalfY = std::tan(0.5 * (aspect > 0.0 ? fov / aspect : fov));
            } else {
                // Half the horizontal angle.
                tanHalfX = std::tan(fov);
                if (aspect > 0.0) tanHalfY = tanHalfX / aspect;
            }
            const double t = tanHalfY > 0.0 ? tanHalfY : tanHalfX;
            fromFile = finite3(eye) && finite3(dir) && finite3(up) && t > 0.0 && std::isfinite(t) &&
                       fov > 0.0 && fov < kPi;
            if (!fromFile)
                std::printf("%s: camera \"%s\" is unusable; a camera framing the scene is used\n",
                            path_.c_str(), c->mName.C_Str());
        } else if (sc_->mNumCameras > 0) {
            std::printf("%s: orthographic cameras are not supported; a camera framing the scene is used\n",
                        path_.c_str());
        }
        int W = opt_.width, H = opt_.height;
        if (W <= 0 && H <= 0) {
            W = 1280;
            H = aspect > 0.0 ? std::max(1, static_cast<int>(std::lround(W / aspect))) : 720;
        } else if (W <= 0) {
            W = aspect > 0.0 ? std::max(1, static_cast<int>(std::lround(H * aspect))) : H * 16 / 9;
        } else if (H <= 0) {
            H = aspect > 0.0 ? std::max(1, static_cast<int>(std::lround(W / aspect))) : W * 9 / 16;
        }
        W = std::max(W, 1);
        H = std::max(H, 1);
        if (fromFile && !(tanHalfY > 0.0)) tanHalfY = tanHalfX * H / W;
        if (!fromFile) {
            tanHalfY = std::tan(22.5 * kPi / 180.0);
            aspect = static_cast<double>(W) / H;
            const Vector3d c = (bounds_.min + bounds_.max) * 0.5f;
            const double r = 0.5 * length(bounds_.max - bounds_.min);
            const double tanHalfMin = aspect >= 1.0 ? tanHalfY : tanHalfY * aspect;
            const double dist = (r > 0.0 ? r : 1.0) / std::sin(std::atan(tanHalfMin)) * 1.05;
            eye[0] = c.x;
            eye[1] = c.y;
            eye[2] = c.z + dist;
            dir[0] = 0.0;
            dir[1] = 0.0;
            dir[2] = -1.0;
            up[0] = 0.0;
            up[1] = 1.0;
            up[2] = 0.0;
        }
        const double len = std::sqrt(dir[0] * dir[0] + dir[1] * dir[1] + dir[2] * dir[2]);
        const CameraWindow w = windowForResolution(W, H);
        const double nearDist = static_cast<double>(w.top) / tanHalfY;
        const double check[] = {eye[0],
                                eye[1],
                                eye[2],
                                eye[0] + dir[0] / len,
                                eye[1] + dir[1] / len,
                                eye[2] + dir[2] / len,
                                up[0],
                                up[1],
                                up[2],
                                nearDist};
        for (double v : check) {
            if (!std::isfinite(static_cast<float>(v))) {
                std::printf(
                    "%s: the camera lies outside the range of single-precision coordinates (the "
                    "model is too large or its numbers are broken)\n",
                    path_.c_str());
                return false;
            }
        }
        appendf(text, "camera\nresolution %d %d\n", W, H);
        text += "eye " + num(eye[0]) + " " + num(eye[1]) + " " + num(eye[2]) + "\n";
        text += "lookat " + num(eye[0] + dir[0] / len) + " " + num(eye[1] + dir[1] / len) + " " +
                num(eye[2] + dir[2] / len) + "\n";
        text += "up " + num(up[0]) + " " + num(up[1]) + " " + num(up[2]) + "\n";
        text += "near " + num(nearDist) + "\n";
        return true;
    }

 public:
    aabb bounds_;  // every vertex written

 private:
    std::string path_;
    fs::path folder_;
    const aiScene* sc_;
    ImportOptions opt_;
    std::vector<MaterialOut> mats_;
    std::vector<ImportedTexture> textures_;
    std::map<std::string, int> textureNumbers_;
    std::vector<ObjectOut> objects_;
    bool movableFound_ = false;
    bool emissiveUsed_ = false;
    long long vertices_ = 0, uvCount_ = 0, normalCount_ = 0;
    int triangles_ = 0, dropped_ = 0;
};

}  // namespace

bool isImportablePath(const std::string& path) {
    std::error_code ec;
    if (fs::is_directory(path, ec)) return false;
    const std::string ext = fs::path(path).extension().string();
    if (ext.size() < 2) return false;
    Assimp::Importer importer;
    return importer.IsExtensionSupported(lower(ext).c_str());
}

bool importScene(const std::string& path, const ImportOptions& options, ImportedScene& out) {
    std::error_code ec;
    if (!fs::exists(path, ec)) {
        std::printf("%s: cannot open the file: %s\n", path.c_str(), std::strerror(ENOENT));
        return false;
    }
    if (!fs::is_regular_file(path, ec)) {
        std::printf("%s: not a file\n", path.c_str());
        return false;
    }
    Assimp::Importer importer;
    importer.SetPropertyInteger(AI_CONFIG_PP_SBP_REMOVE, aiPrimitiveType_POINT | aiPrimitiveType_LINE);
    const aiScene* scene = importer.ReadFile(
        path, aiProcess_Triangulate | aiProcess_SortByPType | aiProcess_ValidateDataStructure);
    if (!scene) {
        std::printf("%s: cannot read the model: %s\n", path.c_str(), importer.GetErrorString());
        return false;
    }
    if (scene->mFlags & AI_SCENE_FLAGS_INCOMPLETE) {
        std::printf("%s: the model is incomplete (no meshes could be read)\n", path.c_str());
        return false;
    }
    Converter conv(path, scene, options);
    // The bounds frame a file without a camera: gather them first.
    std::vector<std::pair<const aiNode*, Xform>> stack;
    if (scene->mRootNode) stack.emplace_back(scene->mRootNode, Xform::of(scene->mRootNode->mTransformation));
    while (!stack.empty()) {
        const auto [n, x] = stack.back();
        stack.pop_back();
        if (stack.size() > 100000) break;
        for (unsigned i = 0; i < n->mNumMeshes; ++i) {
            if (n->mMeshes[i] >= scene->mNumMeshes) continue;
            const aiMesh* mesh = scene->mMeshes[n->mMeshes[i]];
            for (unsigned v = 0; v < mesh->mNumVertices && mesh->mVertices; ++v) {
                double p[3];
                x.point(mesh->mVertices[v], p);
                const Vector3d q(static_cast<float>(p[0]), static_cast<float>(p[1]),
                                 static_cast<float>(p[2]));
                if (std::isfinite(q.x) && std::isfinite(q.y) && std::isfinite(q.z)) conv.bounds_.grow(q);
            }
        }
        for (unsigned c = 0; c < n->mNumChildren; ++c)
            stack.emplace_back(n->mChildren[c], x * Xform::of(n->mChildren[c]->mTransformation));
    }
    ImportedScene result;
    if (!conv.run(result)) return false;
    out = std::move(result);
    std::fflush(stdout);
    return true;
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
    f << scene.sceneText;
    f.close();
    if (!f) {
        std::printf("%s: cannot write the scene file\n", input.string().c_str());
        return false;
    }
    return true;
}

}  // namespace lumenar
