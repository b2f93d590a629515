// Model formats other than glTF (OBJ/MTL, PLY, FBX, COLLADA ...), read
// through the Open Asset Import Library.
#include <assimp/ObjMaterial.h>
#include <assimp/material.h>
#include <assimp/postprocess.h>
#include <assimp/scene.h>

#include <algorithm>
#include <assimp/Importer.hpp>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <system_error>

#include "scene/import_model.h"

namespace lumenar::import {

namespace fs = std::filesystem;

namespace {

constexpr double kPi = 3.14159265358979323846;

int wrapOf(aiTextureMapMode m) {
    return m == aiTextureMapMode_Clamp || m == aiTextureMapMode_Decal
               ? kWrapClamp
               : (m == aiTextureMapMode_Mirror ? kWrapMirror : kWrapRepeat);
}

// Whether an image reads as a tangent-space normal map: bluish on average,
// with red and green about a half.
bool looksLikeNormalMap(const Image& image) {
    const std::vector<uint8_t> rgba = expandToRGBA(image);
    double sum[3] = {0, 0, 0};
    const std::size_t n = rgba.size() / 4;
    for (std::size_t i = 0; i < n; ++i)
        for (int c = 0; c < 3; ++c) sum[c] += rgba[i * 4 + c] / 255.0;
    if (n == 0) return false;
    const double r = sum[0] / n, g = sum[1] / n, b = sum[2] / n;
    return b > 0.7 && r > 0.35 && r < 0.65 && g > 0.35 && g < 0.65;
}

// The tangent-space normal map of a height map (its grey level): the
// normal of the surface whose height rises by `scale` times the grey
// level's rise per texel (a rise of 1 over one texel leans 45 degrees), +y
// up the image; edges wrap.
Image slopeNormals(const Image& heights, float scale) {
    const std::vector<uint8_t> rgba = expandToRGBA(heights);
    const int w = heights.width, h = heights.height;
    auto at = [&](int x, int y) {
        x = (x % w + w) % w;
        y = (y % h + h) % h;
        const uint8_t* p = &rgba[(static_cast<std::size_t>(y) * w + x) * 4];
        return (0.2126 * p[0] + 0.7152 * p[1] + 0.0722 * p[2]) / 255.0;
    };
    Image out;
    out.width = w;
    out.height = h;
    out.bytesPerPixel = 4;
    out.pixels.resize(static_cast<std::size_t>(w) * h * 4);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const double dx = -scale * (at(x + 1, y) - at(x - 1, y)) * 0.5;
            const double dy = -scale * (at(x, y + 1) - at(x, y - 1)) * 0.5;  // rows count up the image
            const double len = std::sqrt(dx * dx + dy * dy + 1.0);
            const double n[3] = {dx / len, dy / len, 1.0 / len};
            uint8_t* p = &out.pixels[(static_cast<std::size_t>(y) * w + x) * 4];
            for (int c = 0; c < 3; ++c) p[c] = static_cast<uint8_t>(std::lround((n[c] + 1.0) * 0.5 * 255.0));
            p[3] = 255;
        }
    return out;
}

class Reader {
 public:
    Reader(const std::string& path, const aiScene* scene, Model& model)
        : path_(path), sc_(scene), model_(model) {}

    bool run() {
        if (!materials()) return false;
        meshes();
        nodes();
        camera();
        model_.ignoredLights = sc_->mNumLights;
        return true;
    }

 private:
    // ---- materials and textures -------------------------------------------

    bool materials() {
        for (unsigned i = 0; i < sc_->mNumMaterials; ++i) {
            const aiMaterial* am = sc_->mMaterials[i];
            aiString name;
            const std::string matName =
                sceneWord(am->Get(AI_MATKEY_NAME, name) == AI_SUCCESS ? std::string(name.C_Str()) : "",
                          "material_" + std::to_string(i));
            aiColor4D c;
            float f = 0.0f;
            Color base(0.8f, 0.8f, 0.8f);
            if (am->Get(AI_MATKEY_BASE_COLOR, c) == AI_SUCCESS ||
                am->Get(AI_MATKEY_COLOR_DIFFUSE, c) == AI_SUCCESS)
                base = Color(c.r, c.g, c.b);
            float ior = 1.5f;
            if (am->Get(AI_MATKEY_REFRACTI, f) == AI_SUCCESS && f >= 1.0f && std::isfinite(f)) ior = f;
            Color emission;
            if (am->Get(AI_MATKEY_COLOR_EMISSIVE, c) == AI_SUCCESS) {
                float strength = 1.0f;
                if (am->Get(AI_MATKEY_EMISSIVE_INTENSITY, strength) != AI_SUCCESS || !(strength >= 0.0f) ||
                    !std::isfinite(strength))
                    strength = 1.0f;
                emission = Color(c.r * strength, c.g * strength, c.b * strength);
            }
            // Metallic-roughness materials carry these two factors; the
            // others (OBJ/MTL and most older formats) are Phong-like.
            PbrParams pbr;
            const bool metallicRoughness = am->Get(AI_MATKEY_METALLIC_FACTOR, pbr.metallic) == AI_SUCCESS ||
                                           am->Get(AI_MATKEY_ROUGHNESS_FACTOR, pbr.roughness) == AI_SUCCESS;
            Material m{};
            if (metallicRoughness) {
                am->Get(AI_MATKEY_METALLIC_FACTOR, pbr.metallic);
                am->Get(AI_MATKEY_ROUGHNESS_FACTOR, pbr.roughness);
                am->Get(AI_MATKEY_TRANSMISSION_FACTOR, pbr.transmission);
                pbr.baseColor = base;
                pbr.ior = ior;
                pbr.emission = emission;
                m = pbrMaterial(pbr);
            } else {
                m.tex = -1;
                m.basecolor = base;
                m.IOR = ior;
                m.roughness = 1.0f;
                if (am->Get(AI_MATKEY_COLOR_SPECULAR, c) == AI_SUCCESS) m.specular = Color(c.r, c.g, c.b);
                float shininess = 0.0f;
                if (am->Get(AI_MATKEY_SHININESS, shininess) == AI_SUCCESS && shininess > 0.0f)
                    m.roughness = std::pow(2.0f / (shininess + 2.0f), 0.25f);
                m.roughnessY = m.roughness;
                if (am->Get(AI_MATKEY_OPACITY, f) == AI_SUCCESS && f < 1.0f)
                    m.transparency = std::clamp(1.0f - f, 0.0f, 1.0f);
                m.transmission = Color(1.0f, 1.0f, 1.0f);
                m.emission = usableEmission(emission);
            }
            MaterialMaps maps;
            if (metallicRoughness && !slot(am, aiTextureType_BASE_COLOR, matName, maps.baseColor))
                return false;
            if (!maps.baseColor.used() && !slot(am, aiTextureType_DIFFUSE, matName, maps.baseColor))
                return false;
            if (maps.baseColor.used()) m.tex = maps.baseColor.texture + 1;
            // MTL: map_Ks colours the coat; map_d is an opacity map (blended).
            if (!metallicRoughness && !slot(am, aiTextureType_SPECULAR, matName, maps.specular)) return false;
            if (!slot(am, aiTextureType_OPACITY, matName, maps.opacity)) return false;
            if (maps.opacity.used()) maps.alphaMode = kAlphaBlend;
            if (!normalSlot(am, matName, maps.normal)) return false;
            model_.materials.push_back(m);
            model_.materialNames.push_back(matName);
            model_.materialMaps.push_back(maps);
        }
        if (model_.materials.empty()) {
            model_.materials.push_back(roughDielectric(Color(0.8f, 0.8f, 0.8f)));
            model_.materialNames.push_back("default");
            model_.materialMaps.emplace_back();
        }
        return true;
    }

    // The texture of `type` slot 0 of material `am`, loaded and added to the
    // list (once per image): its number (from 1) in `number`, 0 when there is
    // none.
    bool texture(const aiMaterial* am, aiTextureType type, const std::string& matName, int& number,
                 aiTextureMapMode* modes) {
        number = 0;
        if (am->GetTextureCount(type) == 0) return true;
        aiString p;
        if (am->GetTexture(type, 0, &p, nullptr, nullptr, nullptr, nullptr, modes) != AI_SUCCESS) return true;
        const std::string key = p.C_Str();
        if (key.empty()) return true;
        const auto found = numbers_.find(key);
        if (found != numbers_.end()) {
            number = found->second;
            return true;
        }
        ImportedTexture t;
        const int index = static_cast<int>(model_.textures.size());
        const aiTexture* embedded = sc_->GetEmbeddedTexture(key.c_str());
        if (embedded) {
            if (embedded->mHeight != 0) {
                std::printf(
                    "%s: texture \"%s\" of material \"%s\" is stored uncompressed, which is not "
                    "supported\n",
                    path_.c_str(), key.c_str(), matName.c_str());
                return false;
            }
            std::string hint = lower(sceneWord(embedded->achFormatHint, "img"));
            if (hint == "jpeg") hint = "jpg";
            t.embedded.assign(reinterpret_cast<const uint8_t*>(embedded->pcData),
                              reinterpret_cast<const uint8_t*>(embedded->pcData) + embedded->mWidth);
            t.fileName = "texture_" + std::to_string(index + 1) + "." + hint;
            if (!decodeImageBytes(t.embedded, t.image)) {
                std::printf("%s: embedded texture \"%s\" of material \"%s\" cannot be read\n", path_.c_str(),
                            key.c_str(), matName.c_str());
                return false;
            }
        } else if (!readTextureFile(path_, key, matName, index + 1, t)) {
            return false;
        }
        model_.textures.push_back(std::move(t));
        number = index + 1;
        numbers_[key] = number;
        return true;
    }

    // A texture slot of `type` (its first texture), read through mip levels
    // (the formats read here say nothing of filters).
    bool slot(const aiMaterial* am, aiTextureType type, const std::string& matName, TextureSlot& out) {
        aiTextureMapMode modes[3] = {aiTextureMapMode_Wrap, aiTextureMapMode_Wrap, aiTextureMapMode_Wrap};
        int number = 0;
        if (!texture(am, type, matName, number, modes)) return false;
        out = TextureSlot();
        if (number == 0) return true;
        out.texture = number - 1;
        out.wrapU = wrapOf(modes[0]);
        out.wrapV = wrapOf(modes[1]);
        out.filter = kFilterTrilinear;
        return true;
    }

    // MTL's norm (a tangent-space normal map) and map_Bump / bump: a normal
    // map where the image is one (bluish, red and green about a half), else
    // a height map, made here into the normal map of its slopes.
    bool normalSlot(const aiMaterial* am, const std::string& matName, TextureSlot& out) {
        if (!slot(am, aiTextureType_NORMALS, matName, out)) return false;
        if (out.used()) return true;
        if (!slot(am, aiTextureType_HEIGHT, matName, out)) return false;
        if (!out.used()) return true;
        ImportedTexture& t = model_.textures[static_cast<std::size_t>(out.texture)];
        if (looksLikeNormalMap(t.image)) return true;
        float scale = 1.0f;
        if (am->Get(AI_MATKEY_OBJ_BUMPMULT_HEIGHT(0), scale) != AI_SUCCESS || !std::isfinite(scale))
            scale = 1.0f;
        ImportedTexture made;
        made.image = slopeNormals(t.image, scale);
        const int number = static_cast<int>(model_.textures.size()) + 1;
        made.fileName = "texture_" + std::to_string(number) + ".png";
        if (!encodePng(made.image, made.embedded)) {
            std::printf("%s: the normal map made from the height map of material \"%s\" cannot be stored\n",
                        path_.c_str(), matName.c_str());
            return false;
        }
        out.texture = number - 1;
        model_.textures.push_back(std::move(made));
        return true;
    }

    // ---- meshes and nodes ----------------------------------------------------

    void meshes() {
        const unsigned materials = static_cast<unsigned>(model_.materials.size());
        for (unsigned i = 0; i < sc_->mNumMeshes; ++i) {
            const aiMesh* am = sc_->mMeshes[i];
            MeshData m;
            m.name = am->mName.C_Str();
            m.material = am->mMaterialIndex < materials ? static_cast<int>(am->mMaterialIndex) : 0;
            if (am->mVertices && am->mNumVertices > 0) {
                m.vertices = am->mNumVertices;
                m.positions = floats(am->mVertices, am->mNumVertices, sizeof(aiVector3D), 3);
                if (am->HasNormals())
                    m.normals = floats(am->mNormals, am->mNumVertices, sizeof(aiVector3D), 3);
                if (am->HasTextureCoords(0))
                    m.uv = floats(am->mTextureCoords[0], am->mNumVertices, sizeof(aiVector3D), 2);
                if (am->HasTextureCoords(1))
                    m.uv1 = floats(am->mTextureCoords[1], am->mNumVertices, sizeof(aiVector3D), 2);
                if (am->HasVertexColors(0))
                    m.colors = floats(am->mColors[0], am->mNumVertices, sizeof(aiColor4D), 4);
            }
            for (unsigned f = 0; f < am->mNumFaces; ++f) {
                const aiFace& face = am->mFaces[f];
                if (face.mNumIndices != 3) continue;
                m.indices.owned.insert(m.indices.owned.end(), face.mIndices, face.mIndices + 3);
            }
            model_.meshes.push_back(std::move(m));
        }
    }

    static AttributeView floats(const void* data, std::size_t count, std::size_t stride, int components) {
        AttributeView v;
        v.data = static_cast<const uint8_t*>(data);
        v.count = count;
        v.stride = stride;
        v.components = components;
        v.componentType = kFloat;
        return v;
    }

    void nodes() {
        if (!sc_->mRootNode) return;
        const std::string cameraName = sc_->mNumCameras > 0 ? sc_->mCameras[0]->mName.C_Str() : "";
        // Depth first, each node once (the library's hierarchy is a tree).
        std::vector<std::pair<const aiNode*, std::size_t>> stack{{sc_->mRootNode, 0}};
        model_.nodes.emplace_back();
        model_.roots.push_back(0);
        while (!stack.empty()) {
            const auto [n, index] = stack.back();
            stack.pop_back();
            NodeOut& out = model_.nodes[index];
            out.name = n->mName.C_Str();
            out.local = Xform::of(n->mTransformation);
            out.camera = sc_->mNumCameras > 0 && out.name == cameraName;
            for (unsigned i = 0; i < n->mNumMeshes; ++i)
                if (n->mMeshes[i] < sc_->mNumMeshes) out.meshes.push_back(n->mMeshes[i]);
            for (unsigned c = 0; c < n->mNumChildren; ++c) {
                const std::size_t child = model_.nodes.size();
                model_.nodes[index].children.push_back(child);
                model_.nodes.emplace_back();
                stack.emplace_back(n->mChildren[c], child);
            }
        }
    }

    void camera() {
        if (sc_->mNumCameras == 0) return;
        const aiCamera* c = sc_->mCameras[0];
        CameraSource& cam = model_.camera;
        cam.present = true;
        cam.orthographic = c->mOrthographicWidth != 0.0f;
        cam.name = c->mName.C_Str();
        const aiVector3D* v[3] = {&c->mPosition, &c->mLookAt, &c->mUp};
        double* out[3] = {cam.position, cam.lookAt, cam.up};
        for (int k = 0; k < 3; ++k) {
            out[k][0] = v[k]->x;
            out[k][1] = v[k]->y;
            out[k][2] = v[k]->z;
        }
        cam.aspect = c->mAspect > 0.0f ? c->mAspect : 0.0;
        // The library keeps half the horizontal angle.
        const double fov = c->mHorizontalFOV;
        if (fov > 0.0 && fov < kPi) {
            cam.tanHalfX = std::tan(fov);
            if (cam.aspect > 0.0) cam.tanHalfY = cam.tanHalfX / cam.aspect;
        }
    }

    std::string path_;
    const aiScene* sc_;
    Model& model_;
    std::map<std::string, int> numbers_;
};

}  // namespace

bool readTextureFile(const std::string& modelPath, const std::string& key, const std::string& matName,
                     int number, ImportedTexture& t) {
    fs::path src(key);
    if (src.is_relative()) src = fs::path(modelPath).parent_path() / src;
    t.sourcePath = src.string();
    t.fileName =
        "texture_" + std::to_string(number) + "_" + sceneWord(fs::path(key).filename().string(), "image");
    std::error_code ec;
    if (!fs::is_regular_file(src, ec)) {
        std::printf("%s: texture \"%s\" of material \"%s\" cannot be read: %s is not a file\n",
                    modelPath.c_str(), key.c_str(), matName.c_str(), t.sourcePath.c_str());
        return false;
    }
    if (!loadImage(t.sourcePath, t.image)) {
        std::printf("%s: texture \"%s\" of material \"%s\" cannot be read\n", modelPath.c_str(), key.c_str(),
                    matName.c_str());
        return false;
    }
    return true;
}

bool readWithAssetLibrary(const std::string& path, const ImportOptions& /*options*/, Model& model) {
    auto importer = std::make_shared<Assimp::Importer>();
    importer->SetPropertyInteger(AI_CONFIG_PP_SBP_REMOVE, aiPrimitiveType_POINT | aiPrimitiveType_LINE);
    const aiScene* scene = importer->ReadFile(path, aiProcess_ValidateDataStructure);
    if (scene) {
        // Some readers flag primitive types their faces do not have, which
        // the triangulation asserts on (ending the process): the flags are
        // made again from the faces (the validation has checked their index
        // counts) before it runs.
        for (unsigned m = 0; m < scene->mNumMeshes; ++m) {
            aiMesh* mesh = scene->mMeshes[m];
            unsigned types = 0;
            for (unsigned f = 0; f < mesh->mNumFaces; ++f) {
                const unsigned n = mesh->mFaces[f].mNumIndices;
                types |= n == 1   ? aiPrimitiveType_POINT
                         : n == 2 ? aiPrimitiveType_LINE
                         : n == 3 ? aiPrimitiveType_TRIANGLE
                                  : aiPrimitiveType_POLYGON;
            }
            mesh->mPrimitiveTypes = types;
        }
        scene = importer->ApplyPostProcessing(aiProcess_Triangulate | aiProcess_SortByPType |
                                              aiProcess_ValidateDataStructure);
    }
    if (!scene) {
        std::printf("%s: cannot read the model: %s\n", path.c_str(), importer->GetErrorString());
        return false;
    }
    if (scene->mFlags & AI_SCENE_FLAGS_INCOMPLETE) {
        std::printf("%s: the model is incomplete (no meshes could be read)\n", path.c_str());
        return false;
    }
    Reader reader(path, scene, model);
    if (!reader.run()) return false;
    model.storage.push_back(importer);
    return true;
}

}  // namespace lumenar::import
