// A small glTF 2.0 writer for the import tests: meshes, nodes, materials,
// textures and cameras, written as .gltf (buffer in a data URI) or .glb.
#pragma once

#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace lumenar::test {

class GltfWriter {
 public:
    struct Mesh {
        std::vector<float> positions;   // xyz per vertex
        std::vector<float> normals;     // optional
        std::vector<float> uvs;         // optional, glTF convention (v down the image)
        std::vector<float> uvs1;        // optional second set
        std::vector<float> colors;      // optional RGBA per vertex (floats)
        std::vector<float> tangents;    // optional xyzw per vertex
        std::vector<uint32_t> indices;  // optional: non-indexed without
        int material = -1;
    };

    int addMesh(const Mesh& m, const std::string& name = "") {
        std::string attrs = "\"POSITION\":" + std::to_string(floatAccessor(m.positions, 3, true));
        if (!m.normals.empty()) attrs += ",\"NORMAL\":" + std::to_string(floatAccessor(m.normals, 3, false));
        if (!m.uvs.empty()) attrs += ",\"TEXCOORD_0\":" + std::to_string(floatAccessor(m.uvs, 2, false));
        if (!m.uvs1.empty()) attrs += ",\"TEXCOORD_1\":" + std::to_string(floatAccessor(m.uvs1, 2, false));
        if (!m.colors.empty()) attrs += ",\"COLOR_0\":" + std::to_string(floatAccessor(m.colors, 4, false));
        if (!m.tangents.empty())
            attrs += ",\"TANGENT\":" + std::to_string(floatAccessor(m.tangents, 4, false));
        std::string prim = "{\"attributes\":{" + attrs + "}";
        if (!m.indices.empty()) {
            const int view = addView(m.indices.data(), m.indices.size() * 4);
            accessors_.push_back("{\"bufferView\":" + std::to_string(view) +
                                 ",\"componentType\":5125,\"count\":" + std::to_string(m.indices.size()) +
                                 ",\"type\":\"SCALAR\"}");
            prim += ",\"indices\":" + std::to_string(accessors_.size() - 1);
        }
        if (m.material >= 0) prim += ",\"material\":" + std::to_string(m.material);
        prim += "}";
        meshes_.push_back("{" + nameField(name) + "\"primitives\":[" + prim + "]}");
        return static_cast<int>(meshes_.size()) - 1;
    }

    // `fields`: the node's JSON members without braces, e.g.
    // "\"mesh\":0,\"translation\":[1,0,0]". Root nodes form the scene.
    int addNode(const std::string& fields, bool root = true) {
        nodes_.push_back("{" + fields + "}");
        const int n = static_cast<int>(nodes_.size()) - 1;
        if (root) roots_.push_back(n);
        return n;
    }

    // `fields`: material members, e.g. "\"pbrMetallicRoughness\":{...}".
    int addMaterial(const std::string& name, const std::string& fields) {
        materials_.push_back("{" + nameField(name) + fields + "}");
        return static_cast<int>(materials_.size()) - 1;
    }

    // An image stored in the buffer (embedded) or named by a URI.
    int addImageBytes(const std::vector<uint8_t>& bytes, const std::string& mime) {
        const int view = addView(bytes.data(), bytes.size());
        images_.push_back("{\"bufferView\":" + std::to_string(view) + ",\"mimeType\":\"" + mime + "\"}");
        return static_cast<int>(images_.size()) - 1;
    }
    int addImageUri(const std::string& uri) {
        images_.push_back("{\"uri\":\"" + uri + "\"}");
        return static_cast<int>(images_.size()) - 1;
    }
    // Wrap modes: 10497 repeat, 33071 clamp, 33648 mirrored repeat. Filters:
    // 9728 nearest, 9729 linear, 9984 ... 9987 the mipmap ones.
    int addTexture(int image, int wrapS = 10497, int wrapT = 10497, int mag = 9729, int min = 9729) {
        samplers_.push_back("{\"magFilter\":" + std::to_string(mag) +
                            ",\"minFilter\":" + std::to_string(min) + ",\"wrapS\":" + std::to_string(wrapS) +
                            ",\"wrapT\":" + std::to_string(wrapT) + "}");
        textures_.push_back("{\"source\":" + std::to_string(image) +
                            ",\"sampler\":" + std::to_string(samplers_.size() - 1) + "}");
        return static_cast<int>(textures_.size()) - 1;
    }
    int addPerspectiveCamera(double yfov, double aspect, const std::string& name = "cam") {
        std::string p = "\"yfov\":" + num(yfov) + ",\"znear\":0.01,\"zfar\":1000";
        if (aspect > 0) p += ",\"aspectRatio\":" + num(aspect);
        cameras_.push_back("{" + nameField(name) + "\"type\":\"perspective\",\"perspective\":{" + p + "}}");
        return static_cast<int>(cameras_.size()) - 1;
    }
    void useExtension(const std::string& e) { extensions_.push_back(e); }
    // A KHR_lights_punctual light; `fields` its JSON members without braces,
    // e.g. "\"type\":\"point\",\"intensity\":10". Placed by a node with
    // "\"extensions\":{\"KHR_lights_punctual\":{\"light\":N}}".
    int addLight(const std::string& fields) {
        if (lights_.empty()) useExtension("KHR_lights_punctual");
        lights_.push_back("{" + fields + "}");
        return static_cast<int>(lights_.size()) - 1;
    }
    static std::string lightRef(int light) {
        return "\"extensions\":{\"KHR_lights_punctual\":{\"light\":" + std::to_string(light) + "}}";
    }

    std::string json(bool glb) const {
        std::string j = "{\"asset\":{\"version\":\"2.0\"}";
        if (!extensions_.empty()) j += ",\"extensionsUsed\":" + list(quoted(extensions_));
        j += ",\"scene\":0,\"scenes\":[{\"nodes\":[";
        for (std::size_t i = 0; i < roots_.size(); ++i) j += (i ? "," : "") + std::to_string(roots_[i]);
        j += "]}]";
        j += ",\"nodes\":" + list(nodes_);
        if (!meshes_.empty()) j += ",\"meshes\":" + list(meshes_);
        if (!materials_.empty()) j += ",\"materials\":" + list(materials_);
        if (!textures_.empty()) j += ",\"textures\":" + list(textures_) + ",\"samplers\":" + list(samplers_);
        if (!images_.empty()) j += ",\"images\":" + list(images_);
        if (!cameras_.empty()) j += ",\"cameras\":" + list(cameras_);
        if (!lights_.empty())
            j += ",\"extensions\":{\"KHR_lights_punctual\":{\"lights\":" + list(lights_) + "}}";
        if (!bin_.empty()) {
            j += ",\"buffers\":[{\"byteLength\":" + std::to_string(bin_.size());
            if (!glb) j += ",\"uri\":\"data:application/octet-stream;base64," + base64(bin_) + "\"";
            j += "}],\"bufferViews\":" + list(views_) + ",\"accessors\":" + list(accessors_);
        }
        return j + "}";
    }

    bool writeGltf(const std::string& path) const {
        std::ofstream f(path, std::ios::binary);
        f << json(false);
        return static_cast<bool>(f);
    }

    bool writeGlb(const std::string& path) const {
        std::string j = json(true);
        while (j.size() % 4) j += ' ';
        std::string b = bin_;
        while (b.size() % 4) b += '\0';
        std::string out;
        put32(out, 0x46546C67);  // "glTF"
        put32(out, 2);
        put32(out, static_cast<uint32_t>(12 + 8 + j.size() + (b.empty() ? 0 : 8 + b.size())));
        put32(out, static_cast<uint32_t>(j.size()));
        put32(out, 0x4E4F534A);  // "JSON"
        out += j;
        if (!b.empty()) {
            put32(out, static_cast<uint32_t>(b.size()));
            put32(out, 0x004E4942);  // "BIN"
            out += b;
        }
        std::ofstream f(path, std::ios::binary);
        f << out;
        return static_cast<bool>(f);
    }

    static std::string num(double v) {
        char buf[40];
        std::snprintf(buf, sizeof buf, "%.17g", v);
        return buf;
    }

 private:
    static std::string nameField(const std::string& name) {
        return name.empty() ? std::string() : "\"name\":\"" + name + "\",";
    }
    static std::string list(const std::vector<std::string>& items) {
        std::string s = "[";
        for (std::size_t i = 0; i < items.size(); ++i) s += (i ? "," : "") + items[i];
        return s + "]";
    }
    static std::vector<std::string> quoted(const std::vector<std::string>& v) {
        std::vector<std::string> q;
        for (const std::string& s : v) q.push_back("\"" + s + "\"");
        return q;
    }
    static void put32(std::string& s, uint32_t v) {
        for (int i = 0; i < 4; ++i) s += static_cast<char>((v >> (8 * i)) & 0xff);
    }
    static std::string base64(const std::string& in) {
        static const char* k = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        std::string out;
        std::size_t i = 0;
        for (; i + 2 < in.size(); i += 3) {
            const uint32_t v = (uint8_t(in[i]) << 16) | (uint8_t(in[i + 1]) << 8) | uint8_t(in[i + 2]);
            out += {k[v >> 18], k[(v >> 12) & 63], k[(v >> 6) & 63], k[v & 63]};
        }
        if (i + 1 == in.size()) {
            const uint32_t v = uint8_t(in[i]) << 16;
            out += {k[v >> 18], k[(v >> 12) & 63], '=', '='};
        } else if (i + 2 == in.size()) {
            const uint32_t v = (uint8_t(in[i]) << 16) | (uint8_t(in[i + 1]) << 8);
            out += {k[v >> 18], k[(v >> 12) & 63], k[(v >> 6) & 63], '='};
        }
        return out;
    }

    int addView(const void* data, std::size_t bytes) {
        while (bin_.size() % 4) bin_ += '\0';
        views_.push_back("{\"buffer\":0,\"byteOffset\":" + std::to_string(bin_.size()) +
                         ",\"byteLength\":" + std::to_string(bytes) + "}");
        bin_.append(static_cast<const char*>(data), bytes);
        return static_cast<int>(views_.size()) - 1;
    }

    int floatAccessor(const std::vector<float>& v, int comps, bool bounds) {
        const int view = addView(v.data(), v.size() * 4);
        std::string a = "{\"bufferView\":" + std::to_string(view) +
                        ",\"componentType\":5126,\"count\":" + std::to_string(v.size() / comps) +
                        ",\"type\":\"" +
                        (comps == 4   ? "VEC4"
                         : comps == 3 ? "VEC3"
                                      : "VEC2") +
                        "\"";
        if (bounds) {
            float lo[3] = {1e30f, 1e30f, 1e30f}, hi[3] = {-1e30f, -1e30f, -1e30f};
            for (std::size_t i = 0; i < v.size(); ++i) {
                lo[i % 3] = std::min(lo[i % 3], v[i]);
                hi[i % 3] = std::max(hi[i % 3], v[i]);
            }
            a += ",\"min\":[" + num(lo[0]) + "," + num(lo[1]) + "," + num(lo[2]) + "],\"max\":[" +
                 num(hi[0]) + "," + num(hi[1]) + "," + num(hi[2]) + "]";
        }
        accessors_.push_back(a + "}");
        return static_cast<int>(accessors_.size()) - 1;
    }

    std::string bin_;
    std::vector<std::string> views_, accessors_, meshes_, nodes_, materials_, textures_, samplers_, images_,
        cameras_, extensions_, lights_;
    std::vector<int> roots_;
};

}  // namespace lumenar::test
