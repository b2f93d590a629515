// PLY models (ASCII and both binary byte orders), read here rather than by
// the asset library. That library believes the counts a file gives (an
// element's count, read from the element's name when the name starts with a
// digit; a face's list count) and allocates them before it finds the file
// shorter: a few hundred bytes could cost it minutes and tens of gigabytes.
// Here every count is held to the bytes that are left, and arrays grow with
// what is actually read.
//
// What is read: the vertex element's x, y, z, its normal (nx, ny, nz), its
// texture coordinates (u, v / s, t / texture_u, texture_v / texture_s,
// texture_t) and colour (red, green, blue, alpha; integers scaled to 0..1),
// the face element's vertex_indices (or vertex_index) lists as polygons, a
// tristrips element's strips, and a "comment TextureFile NAME" as the base
// colour texture. Other elements and properties are read past.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <sstream>

#include "scene/import_model.h"

namespace lumenar::import {

namespace {

enum class PlyFormat { Ascii, BinaryLittle, BinaryBig };

enum PlyType { kNoType, kInt8, kUint8, kInt16, kUint16, kInt32, kUint32, kFloat32, kFloat64 };

int plyTypeBytes(PlyType t) {
    switch (t) {
        case kInt8:
        case kUint8:
            return 1;
        case kInt16:
        case kUint16:
            return 2;
        case kInt32:
        case kUint32:
        case kFloat32:
            return 4;
        case kFloat64:
            return 8;
        default:
            return 0;
    }
}

PlyType plyType(const std::string& s) {
    if (s == "char" || s == "int8") return kInt8;
    if (s == "uchar" || s == "uint8") return kUint8;
    if (s == "short" || s == "int16") return kInt16;
    if (s == "ushort" || s == "uint16") return kUint16;
    if (s == "int" || s == "int32") return kInt32;
    if (s == "uint" || s == "uint32") return kUint32;
    if (s == "float" || s == "float32") return kFloat32;
    if (s == "double" || s == "float64") return kFloat64;
    return kNoType;
}

// The largest value of an integer type: colours of that type are scaled by it.
double plyTypeMax(PlyType t) {
    switch (t) {
        case kInt8:
            return 127.0;
        case kUint8:
            return 255.0;
        case kInt16:
            return 32767.0;
        case kUint16:
            return 65535.0;
        case kInt32:
            return 2147483647.0;
        case kUint32:
            return 4294967295.0;
        default:
            return 1.0;
    }
}

struct PlyProperty {
    std::string name;
    PlyType type = kNoType;       // the value's, or a list's entries'
    PlyType countType = kNoType;  // a list's count; kNoType for a single value
    bool list() const { return countType != kNoType; }
};

struct PlyElement {
    std::string name;
    uint64_t count = 0;
    std::vector<PlyProperty> properties;
};

// Where each vertex attribute comes from: property indices, -1 where absent.
struct VertexLayout {
    int position[3] = {-1, -1, -1};
    int normal[3] = {-1, -1, -1};
    int uv[2] = {-1, -1};
    int color[4] = {-1, -1, -1, -1};
};

// A word of the file as a message shows it: at most 40 characters, other
// than printable ones shown as '?'.
std::string shown(const std::string& word) {
    std::string out = word.substr(0, 40);
    for (char& c : out)
        if (!std::isprint(static_cast<unsigned char>(c))) c = '?';
    return word.size() > 40 ? out + "..." : out;
}

// A value of type T from its bytes in the machine's order.
template <typename T>
double stored(const unsigned char* bytes) {
    T v;
    std::memcpy(&v, bytes, sizeof v);
    return static_cast<double>(v);
}

int findProperty(const PlyElement& e, std::initializer_list<const char*> names) {
    for (const char* n : names)
        for (std::size_t i = 0; i < e.properties.size(); ++i)
            if (!e.properties[i].list() && e.properties[i].name == n) return static_cast<int>(i);
    return -1;
}

class PlyReader {
 public:
    PlyReader(const std::string& path, Model& model) : path_(path), model_(model) {}

    bool run() {
        std::ifstream f(path_, std::ios::binary);
        std::ostringstream bytes;
        if (!f || !(bytes << f.rdbuf())) return fail("the file cannot be read");
        data_ = bytes.str();
        if (!header() || !body() || !material()) return false;
        NodeOut root;
        root.meshes.push_back(0);
        model_.nodes.push_back(root);
        model_.roots.push_back(0);
        model_.meshes.push_back(std::move(mesh_));
        return true;
    }

 private:
    bool fail(const std::string& what) {
        std::printf("%s: cannot read the model: %s\n", path_.c_str(), what.c_str());
        return false;
    }

    // The next header line (without its line end) into `line`; false at the
    // end of the file.
    bool nextLine(std::string& line) {
        if (at_ >= data_.size()) return false;
        std::size_t end = data_.find('\n', at_);
        if (end == std::string::npos) end = data_.size();
        line.assign(data_, at_, end - at_);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        at_ = std::min(end + 1, data_.size());
        ++lineNumber_;
        return true;
    }

    bool header() {
        std::string line;
        if (!nextLine(line) || line != "ply") return fail("not a PLY file (its first line is not \"ply\")");
        bool formatSeen = false;
        while (nextLine(line)) {
            std::istringstream words(line);
            std::string word;
            words >> word;
            const std::string where = "line " + std::to_string(lineNumber_) + " of the PLY header: ";
            if (word == "end_header") {
                if (!formatSeen) return fail("a PLY header without its format line");
                return true;
            }
            if (word.empty() || word == "obj_info") continue;
            if (word == "comment") {
                std::string key;
                if (words >> key && key == "TextureFile") {
                    std::getline(words >> std::ws, textureFile_);
                    while (!textureFile_.empty() &&
                           std::isspace(static_cast<unsigned char>(textureFile_.back())))
                        textureFile_.pop_back();
                }
                continue;
            }
            if (word == "format") {
                std::string format, version;
                words >> format >> version;
                if (format == "ascii")
                    format_ = PlyFormat::Ascii;
                else if (format == "binary_little_endian")
                    format_ = PlyFormat::BinaryLittle;
                else if (format == "binary_big_endian")
                    format_ = PlyFormat::BinaryBig;
                else
                    return fail(where + "unknown format \"" + shown(format) + "\"");
                formatSeen = true;
                continue;
            }
            if (word == "element") {
                PlyElement e;
                std::string count, extra;
                if (!(words >> e.name >> count) || (words >> extra) ||
                    count.find_first_not_of("0123456789") != std::string::npos)
                    return fail(where + "an element line is \"element NAME COUNT\"");
                // Every item of an element takes at least a byte of the file.
                if (count.size() > 18 || std::stoull(count) > data_.size())
                    return fail("a PLY element \"" + shown(e.name) + "\" of " + count +
                                " items in a file of " + std::to_string(data_.size()) + " bytes");
                e.count = std::stoull(count);
                elements_.push_back(std::move(e));
                continue;
            }
            if (word == "property") {
                if (elements_.empty()) return fail(where + "a property before any element");
                PlyProperty p;
                std::string type, extra;
                words >> type;
                if (type == "list") {
                    std::string countType;
                    words >> countType >> type;
                    p.countType = plyType(countType);
                    if (p.countType == kNoType || p.countType == kFloat32 || p.countType == kFloat64)
                        return fail(where + "a list's count type \"" + shown(countType) +
                                    "\" is not an integer type");
                }
                p.type = plyType(type);
                if (p.type == kNoType) return fail(where + "unknown property type \"" + shown(type) + "\"");
                if (!(words >> p.name) || (words >> extra))
                    return fail(where +
                                "a property line is \"property TYPE NAME\" or \"property list "
                                "COUNT_TYPE TYPE NAME\"");
                elements_.back().properties.push_back(p);
                continue;
            }
            return fail(where + "\"" + shown(word) + "\" is not a PLY header line");
        }
        return fail("a PLY header without its end_header line");
    }

    // One number of type `t` from the body into `out`; false (with the
    // reason in error_) at the end of the data or on a word that is no number.
    bool number(PlyType t, double& out) {
        if (format_ == PlyFormat::Ascii) {
            while (at_ < data_.size() && std::isspace(static_cast<unsigned char>(data_[at_]))) ++at_;
            std::size_t end = at_;
            while (end < data_.size() && !std::isspace(static_cast<unsigned char>(data_[end]))) ++end;
            if (end == at_) {
                error_ = "the file ends inside the element data";
                return false;
            }
            const std::string word(data_, at_, std::min<std::size_t>(end - at_, 65));
            char* stop = nullptr;
            out = std::strtod(word.c_str(), &stop);
            if (word.size() > 64 || stop == word.c_str() || *stop != '\0') {
                error_ = "\"" + shown(word) + "\" in the element data is not a number";
                return false;
            }
            at_ = end;
            return true;
        }
        const std::size_t n = static_cast<std::size_t>(plyTypeBytes(t));
        if (data_.size() - at_ < n) {
            error_ = "the file ends inside the element data";
            return false;
        }
        unsigned char b[8];
        for (std::size_t i = 0; i < n; ++i)
            b[i] =
                static_cast<unsigned char>(data_[at_ + (format_ == PlyFormat::BinaryLittle ? i : n - 1 - i)]);
        at_ += n;
        switch (t) {
            case kInt8:
                out = stored<int8_t>(b);
                break;
            case kUint8:
                out = stored<uint8_t>(b);
                break;
            case kInt16:
                out = stored<int16_t>(b);
                break;
            case kUint16:
                out = stored<uint16_t>(b);
                break;
            case kInt32:
                out = stored<int32_t>(b);
                break;
            case kUint32:
                out = stored<uint32_t>(b);
                break;
            case kFloat32:
                out = stored<float>(b);
                break;
            default:
                out = stored<double>(b);
                break;
        }
        return true;
    }

    // A list's count: a whole number no larger than what the rest of the
    // file can hold (each entry takes at least a byte, or its type's bytes).
    bool listCount(const PlyElement& e, uint64_t item, const PlyProperty& p, std::size_t& count) {
        double c = 0.0;
        if (!number(p.countType, c)) return false;
        const std::size_t left = data_.size() - at_;
        const std::size_t most =
            format_ == PlyFormat::Ascii ? left : left / static_cast<std::size_t>(plyTypeBytes(p.type));
        if (!(c >= 0.0) || c != std::floor(c) || c > static_cast<double>(most)) {
            error_ = "item " + std::to_string(item) + " of element \"" + shown(e.name) + "\" lists " +
                     formatCount(c) + " values, more than the rest of the file holds";
            return false;
        }
        count = static_cast<std::size_t>(c);
        return true;
    }

    static std::string formatCount(double c) {
        char text[64];
        std::snprintf(text, sizeof text, "%.17g", c);
        return text;
    }

    bool body() {
        bool vertices = false;
        for (const PlyElement& e : elements_) {
            bool ok = true;
            if (e.name == "vertex" && !vertices) {
                vertices = true;
                ok = readVertices(e);
            } else if (e.name == "face") {
                ok = readPolygons(e, false);
            } else if (e.name == "tristrips") {
                ok = readPolygons(e, true);
            } else {
                ok = skip(e);
            }
            if (!ok) return fail(error_);
        }
        if (!vertices) return fail("the PLY file has no vertex element");
        for (const uint32_t index : mesh_.indices.owned)
            if (index >= mesh_.vertices)
                return fail("a face uses vertex " + std::to_string(index) + " of " +
                            std::to_string(mesh_.vertices));
        return true;
    }

    // At most the items the rest of the file can hold, for reserving.
    std::size_t itemsThatFit(const PlyElement& e) const {
        std::size_t least = 0;
        for (const PlyProperty& p : e.properties)
            least += format_ == PlyFormat::Ascii
                         ? 2
                         : static_cast<std::size_t>(plyTypeBytes(p.list() ? p.countType : p.type));
        const std::size_t left = data_.size() - at_;
        return least == 0 ? 0 : static_cast<std::size_t>(std::min<uint64_t>(e.count, left / least + 1));
    }

    bool readVertices(const PlyElement& e) {
        VertexLayout l;
        l.position[0] = findProperty(e, {"x"});
        l.position[1] = findProperty(e, {"y"});
        l.position[2] = findProperty(e, {"z"});
        if (l.position[0] < 0 || l.position[1] < 0 || l.position[2] < 0) {
            error_ = "the vertex element has no x, y and z";
            return false;
        }
        l.normal[0] = findProperty(e, {"nx"});
        l.normal[1] = findProperty(e, {"ny"});
        l.normal[2] = findProperty(e, {"nz"});
        l.uv[0] = findProperty(e, {"u", "s", "texture_u", "texture_s"});
        l.uv[1] = findProperty(e, {"v", "t", "texture_v", "texture_t"});
        l.color[0] = findProperty(e, {"red", "r", "diffuse_red"});
        l.color[1] = findProperty(e, {"green", "g", "diffuse_green"});
        l.color[2] = findProperty(e, {"blue", "b", "diffuse_blue"});
        l.color[3] = findProperty(e, {"alpha", "a", "diffuse_alpha"});
        const bool normals = l.normal[0] >= 0 && l.normal[1] >= 0 && l.normal[2] >= 0;
        const bool uvs = l.uv[0] >= 0 && l.uv[1] >= 0;
        const bool colours = l.color[0] >= 0 && l.color[1] >= 0 && l.color[2] >= 0;

        const std::size_t reserve = itemsThatFit(e);
        std::vector<float>& positions = mesh_.positions.owned;
        positions.reserve(reserve * 3);
        if (normals) mesh_.normals.owned.reserve(reserve * 3);
        if (uvs) mesh_.uv.owned.reserve(reserve * 2);
        if (colours) mesh_.colors.owned.reserve(reserve * 4);
        std::vector<double> values(e.properties.size(), 0.0);
        std::vector<double> unused;
        for (uint64_t item = 0; item < e.count; ++item) {
            if (!readItem(e, item, values, -1, unused)) return false;
            for (int k = 0; k < 3; ++k) positions.push_back(static_cast<float>(values[l.position[k]]));
            if (normals)
                for (int k = 0; k < 3; ++k)
                    mesh_.normals.owned.push_back(static_cast<float>(values[l.normal[k]]));
            if (uvs)
                for (int k = 0; k < 2; ++k) mesh_.uv.owned.push_back(static_cast<float>(values[l.uv[k]]));
            if (colours)
                for (int k = 0; k < 4; ++k) {
                    const int at = l.color[k];
                    const float c =
                        at < 0 ? 1.0f : static_cast<float>(values[at] / plyTypeMax(e.properties[at].type));
                    mesh_.colors.owned.push_back(c);
                }
        }
        const std::size_t count = positions.size() / 3;
        mesh_.vertices = count;
        auto view = [count](AttributeView& v, int components) {
            v.components = components;
            v.count = v.owned.empty() ? 0 : count;
        };
        view(mesh_.positions, 3);
        view(mesh_.normals, 3);
        view(mesh_.uv, 2);
        view(mesh_.colors, 4);
        return true;
    }

    // A face element's polygons (fanned into triangles; a quad is cut along
    // the diagonal that keeps both halves inside it) or a tristrips
    // element's strips (-1 starts a new strip).
    bool readPolygons(const PlyElement& e, bool strips) {
        int indices = -1;
        for (std::size_t i = 0; i < e.properties.size(); ++i)
            if (e.properties[i].list() &&
                (e.properties[i].name == "vertex_indices" || e.properties[i].name == "vertex_index"))
                indices = static_cast<int>(i);
        std::vector<uint32_t>& out = mesh_.indices.owned;
        std::vector<double> values(e.properties.size()), corners;
        for (uint64_t item = 0; item < e.count; ++item) {
            if (!readItem(e, item, values, indices, corners)) return false;
            for (const double c : corners)
                if (!(c >= (strips ? -1.0 : 0.0)) || c > 4294967295.0 || c != std::floor(c)) {
                    error_ = "item " + std::to_string(item) + " of element \"" + shown(e.name) +
                             "\" names vertex " + formatCount(c);
                    return false;
                }
            if (strips)
                addStrips(corners, out);
            else
                addPolygon(corners, out);
        }
        return true;
    }

    void addPolygon(const std::vector<double>& c, std::vector<uint32_t>& out) const {
        const std::size_t n = c.size();
        if (n < 3) return;  // points and lines are no surface
        std::size_t first = 0;
        if (n == 4) first = reflexCorner(c);
        for (std::size_t k = 1; k + 1 < n; ++k) {
            out.push_back(static_cast<uint32_t>(c[first]));
            out.push_back(static_cast<uint32_t>(c[(first + k) % n]));
            out.push_back(static_cast<uint32_t>(c[(first + k + 1) % n]));
        }
    }

    // The corner of a quad where its fan must start to stay inside it: the
    // corner whose turn goes against the quad's normal, or 0 when it is
    // convex (or its corners are not all read yet).
    std::size_t reflexCorner(const std::vector<double>& c) const {
        const std::vector<float>& p = mesh_.positions.owned;
        const std::size_t vertices = p.size() / 3;
        for (const double i : c)
            if (i >= static_cast<double>(vertices)) return 0;
        auto at = [&](std::size_t k, int axis) {
            return static_cast<double>(p[static_cast<std::size_t>(c[k % 4]) * 3 + axis]);
        };
        double normal[3] = {0, 0, 0};  // Newell's normal of the quad
        for (std::size_t k = 0; k < 4; ++k)
            for (int a = 0; a < 3; ++a) {
                const int b = (a + 1) % 3, d = (a + 2) % 3;
                normal[a] += (at(k, b) - at(k + 1, b)) * (at(k, d) + at(k + 1, d));
            }
        for (std::size_t k = 0; k < 4; ++k) {
            double u[3], v[3];
            for (int a = 0; a < 3; ++a) {
                u[a] = at(k, a) - at(k + 3, a);
                v[a] = at(k + 1, a) - at(k, a);
            }
            const double turn[3] = {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2],
                                    u[0] * v[1] - u[1] * v[0]};
            if (turn[0] * normal[0] + turn[1] * normal[1] + turn[2] * normal[2] < 0.0) return k;
        }
        return 0;
    }

    static void addStrips(const std::vector<double>& c, std::vector<uint32_t>& out) {
        std::size_t start = 0;
        for (std::size_t k = 0; k <= c.size(); ++k) {
            if (k < c.size() && c[k] >= 0.0) continue;
            for (std::size_t j = start; j + 2 < k; ++j) {
                const bool odd = (j - start) % 2 == 1;
                out.push_back(static_cast<uint32_t>(c[j]));
                out.push_back(static_cast<uint32_t>(c[odd ? j + 2 : j + 1]));
                out.push_back(static_cast<uint32_t>(c[odd ? j + 1 : j + 2]));
            }
            start = k + 1;
        }
    }

    // Item `item` of `e`: each single value into values[i], the entries of
    // list property `keptList` (if any) into `list`, other lists read past.
    bool readItem(const PlyElement& e, uint64_t item, std::vector<double>& values, int keptList,
                  std::vector<double>& list) {
        list.clear();
        for (std::size_t i = 0; i < e.properties.size(); ++i) {
            const PlyProperty& p = e.properties[i];
            if (!p.list()) {
                if (!number(p.type, values[i])) return false;
                continue;
            }
            std::size_t n = 0;
            if (!listCount(e, item, p, n)) return false;
            const bool keep = static_cast<int>(i) == keptList;
            for (std::size_t k = 0; k < n; ++k) {
                double v = 0.0;
                if (!number(p.type, v)) return false;
                if (keep) list.push_back(v);
            }
        }
        return true;
    }

    bool skip(const PlyElement& e) {
        std::vector<double> values(e.properties.size()), unused;
        for (uint64_t item = 0; item < e.count; ++item)
            if (!readItem(e, item, values, -1, unused)) return false;
        return true;
    }

    // The material a PLY file gets: white, so vertex colours show as they
    // are, with the texture its TextureFile comment names.
    bool material() {
        const std::string name = "material_0";
        Material m = roughDielectric(Color(1.0f, 1.0f, 1.0f));
        MaterialMaps maps;
        if (!textureFile_.empty()) {
            ImportedTexture t;
            if (!readTextureFile(path_, textureFile_, name, 1, t)) return false;
            model_.textures.push_back(std::move(t));
            maps.baseColor.texture = 0;
            maps.baseColor.filter = kFilterTrilinear;
            m.tex = 1;
        }
        model_.materials.push_back(m);
        model_.materialNames.push_back(name);
        model_.materialMaps.push_back(maps);
        return true;
    }

    std::string path_;
    Model& model_;
    std::string data_;
    std::size_t at_ = 0;
    std::size_t lineNumber_ = 0;
    PlyFormat format_ = PlyFormat::Ascii;
    std::vector<PlyElement> elements_;
    std::string textureFile_;
    std::string error_;
    MeshData mesh_;
};

}  // namespace

bool readPly(const std::string& path, const ImportOptions& /*options*/, Model& model) {
    PlyReader reader(path, model);
    return reader.run();
}

}  // namespace lumenar::import
