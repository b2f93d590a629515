// glTF 2.0 (.gltf with its buffers, or .glb) read straight into the
// importer's model: the file and its buffers are mapped into memory and the
// meshes are views of their accessors, so the geometry is read once, where it
// lies, on its way into the scene records.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <system_error>

#include "scene/import_model.h"

namespace lumenar::import {

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

constexpr double kPi = 3.14159265358979323846;
// Most elements an accessor may hold that no buffer backs (its zeros are
// made in memory).
constexpr std::size_t kMaxElementsWithoutData = std::size_t(1) << 24;

// A whole file in memory: mapped where the system allows it, read otherwise.
class FileBytes {
 public:
    FileBytes() = default;
    FileBytes(const FileBytes&) = delete;
    FileBytes& operator=(const FileBytes&) = delete;
    ~FileBytes() {
        if (mapped_) munmap(const_cast<uint8_t*>(data_), size_);
    }

    // Opens `path`; on failure `error` says why.
    bool open(const std::string& path, std::string& error) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            error = std::strerror(errno);
            return false;
        }
        struct stat st;
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            error = "not a file";
            ::close(fd);
            return false;
        }
        size_ = static_cast<std::size_t>(st.st_size);
        if (size_ > 0) {
            void* p = mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
            if (p != MAP_FAILED) {
                data_ = static_cast<const uint8_t*>(p);
                mapped_ = true;
            } else {
                copy_.resize(size_);
                std::size_t done = 0;
                while (done < size_) {
                    const ssize_t r = ::read(fd, copy_.data() + done, size_ - done);
                    if (r <= 0) break;
                    done += static_cast<std::size_t>(r);
                }
                size_ = done;
                data_ = copy_.data();
            }
        }
        ::close(fd);
        return true;
    }

    const uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }

 private:
    const uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    bool mapped_ = false;
    std::vector<uint8_t> copy_;
};

// One of the file's buffers: where its bytes lie.
struct BufferBytes {
    const uint8_t* data = nullptr;
    std::size_t size = 0;
};

// ---- JSON access that never throws ---------------------------------------------

const json* member(const json& o, const char* key) {
    if (!o.is_object()) return nullptr;
    const auto it = o.find(key);
    return it == o.end() ? nullptr : &*it;
}

double numberOr(const json& o, const char* key, double fallback) {
    const json* v = member(o, key);
    return v && v->is_number() ? v->get<double>() : fallback;
}

// An index or count: a non-negative integer below 2^31; -1 when absent or
// anything else.
long long indexOf(const json& o, const char* key) {
    const json* v = member(o, key);
    if (!v || !v->is_number_integer()) return -1;
    const long long i = v->get<long long>();
    return i >= 0 && i < (1ll << 31) ? i : -1;
}

std::string stringOr(const json& o, const char* key, const std::string& fallback = "") {
    const json* v = member(o, key);
    return v && v->is_string() ? v->get<std::string>() : fallback;
}

// Up to n numbers of an array member into out (the rest stay as they are);
// false when the member is there but is not an array of n numbers.
bool numbers(const json& o, const char* key, double* out, std::size_t n) {
    const json* v = member(o, key);
    if (!v) return true;
    if (!v->is_array() || v->size() != n) return false;
    for (std::size_t i = 0; i < n; ++i) {
        if (!(*v)[i].is_number()) return false;
        // glTF stores single-precision numbers.
        out[i] = static_cast<float>((*v)[i].get<double>());
    }
    return true;
}

const json& element(const json& doc, const char* list, long long i) {
    static const json none;
    const json* l = member(doc, list);
    if (!l || !l->is_array() || i < 0 || static_cast<std::size_t>(i) >= l->size()) return none;
    return (*l)[static_cast<std::size_t>(i)];
}

std::size_t listSize(const json& doc, const char* list) {
    const json* l = member(doc, list);
    return l && l->is_array() ? l->size() : 0;
}

bool base64Decode(const std::string& in, std::size_t from, std::vector<uint8_t>& out) {
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+' || c == '-') return 62;
        if (c == '/' || c == '_') return 63;
        return -1;
    };
    uint32_t acc = 0;
    int bits = 0;
    out.reserve((in.size() - from) * 3 / 4);
    for (std::size_t i = from; i < in.size(); ++i) {
        const char c = in[i];
        if (c == '=') break;
        const int v = value(c);
        if (v < 0) return false;
        acc = (acc << 6) | static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<uint8_t>((acc >> bits) & 0xff));
        }
    }
    return true;
}

std::string percentDecoded(const std::string& uri) {
    std::string s;
    for (std::size_t i = 0; i < uri.size(); ++i) {
        if (uri[i] == '%' && i + 2 < uri.size() && std::isxdigit(static_cast<unsigned char>(uri[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(uri[i + 2]))) {
            s += static_cast<char>(std::stoi(uri.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            s += uri[i];
        }
    }
    return s;
}

int components(const std::string& type) {
    if (type == "SCALAR") return 1;
    if (type == "VEC2") return 2;
    if (type == "VEC3") return 3;
    if (type == "VEC4" || type == "MAT2") return 4;
    if (type == "MAT3") return 9;
    if (type == "MAT4") return 16;
    return 0;
}

int wrapMode(long long glWrap) {
    return glWrap == 33071 ? kWrapClamp : (glWrap == 33648 ? kWrapMirror : kWrapRepeat);
}

// Filter bits of a sampler's magnification and minification filters.
int filterOf(long long mag, long long min) {
    int f = mag == 9728 ? kMagNearest : 0;
    switch (min) {
        case 9728:  // NEAREST
            return f | kMinNearest;
        case 9729:  // LINEAR
            return f;
        case 9984:  // NEAREST_MIPMAP_NEAREST
            return f | kMipmaps | kMinNearest;
        case 9985:  // LINEAR_MIPMAP_NEAREST
            return f | kMipmaps;
        case 9986:  // NEAREST_MIPMAP_LINEAR
            return f | kFilterTrilinear | kMinNearest;
        default:  // LINEAR_MIPMAP_LINEAR, or left to the renderer
            return f | kFilterTrilinear;
    }
}

// KHR_texture_transform (offset, rotation, scale, in glTF's coordinates
// with v down the image) as the affine map of the records' coordinates
// (v up): the flip, the file's map, the flip back.
bool transformOf(const json& tt, float out[6]) {
    double offset[2] = {0, 0}, scale[2] = {1, 1};
    if (!numbers(tt, "offset", offset, 2) || !numbers(tt, "scale", scale, 2)) return false;
    const double r = static_cast<float>(numberOr(tt, "rotation", 0.0));
    // u' = a u + b v + c, v' = d u + e v + f in glTF's coordinates.
    const double a = std::cos(r) * scale[0], b = -std::sin(r) * scale[1], c = offset[0];
    const double d = std::sin(r) * scale[0], e = std::cos(r) * scale[1], f = offset[1];
    const double m[6] = {a, -b, b + c, -d, e, 1.0 - e - f};
    for (int k = 0; k < 6; ++k) {
        out[k] = static_cast<float>(m[k]);
        if (!std::isfinite(out[k])) return false;
    }
    return true;
}

// Extensions this reader follows (or whose absence changes nothing it
// renders); a file that requires any other is refused.
const std::set<std::string>& knownExtensions() {
    static const std::set<std::string> known = {
        "KHR_materials_emissive_strength", "KHR_materials_ior",     "KHR_materials_transmission",
        "KHR_materials_specular",          "KHR_materials_volume",  "KHR_lights_punctual",
        "KHR_texture_transform",           "KHR_mesh_quantization", "KHR_materials_unlit"};
    return known;
}

class GltfReader {
 public:
    GltfReader(const std::string& path, Model& model)
        : path_(path), folder_(fs::path(path).parent_path()), model_(model) {}

    bool run() {
        if (!load()) return false;
        if (!checkAsset()) return false;
        if (!buffers()) return false;
        if (!materials()) return false;
        if (!meshes()) return false;
        if (!lights()) return false;
        if (!nodes()) return false;
        camera();
        return true;
    }

 private:
    bool fail(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
        char detail[512];
        va_list ap;
        va_start(ap, fmt);
        std::vsnprintf(detail, sizeof detail, fmt, ap);
        va_end(ap);
        std::printf("%s: %s\n", path_.c_str(), detail);
        return false;
    }

    // ---- the file, its JSON and its buffers ----------------------------------

    bool load() {
        auto file = std::make_shared<FileBytes>();
        std::string error;
        if (!file->open(path_, error)) return fail("cannot open the file: %s", error.c_str());
        model_.storage.push_back(file);
        const uint8_t* d = file->data();
        const std::size_t n = file->size();
        const char* jsonBegin = reinterpret_cast<const char*>(d);
        std::size_t jsonSize = n;
        if (n >= 4 && std::memcmp(d, "glTF", 4) == 0) {
            auto word = [&](std::size_t at) {
                uint32_t w;
                std::memcpy(&w, d + at, 4);
                return w;
            };
            if (n < 20) return fail("the binary glTF file is cut short (%zu bytes)", n);
            if (word(4) != 2) return fail("binary glTF version %u is not supported (only 2)", word(4));
            const std::size_t total = word(8);
            if (total > n) return fail("the binary glTF file is cut short (%zu of %zu bytes)", n, total);
            const std::size_t jsonLength = word(12);
            if (word(16) != 0x4E4F534A || 20 + jsonLength > total)
                return fail("the binary glTF file has no valid JSON chunk");
            jsonBegin = reinterpret_cast<const char*>(d + 20);
            jsonSize = jsonLength;
            std::size_t at = 20 + ((jsonLength + 3) & ~std::size_t(3));
            if (at + 8 <= total) {
                const std::size_t binLength = word(at);
                if (word(at + 4) == 0x004E4942) {
                    if (at + 8 + binLength > total) return fail("the binary chunk is cut short");
                    bin_.data = d + at + 8;
                    bin_.size = binLength;
                    haveBin_ = true;
                }
            }
        }
        doc_ = json::parse(jsonBegin, jsonBegin + jsonSize, nullptr, false);
        if (doc_.is_discarded() || !doc_.is_object())
            return fail("not a glTF file (its JSON cannot be read)");
        return true;
    }

    bool checkAsset() {
        const json* asset = member(doc_, "asset");
        const std::string version = asset ? stringOr(*asset, "version") : "";
        if (version.empty() || version[0] != '2')
            return fail("glTF version \"%s\" is not supported (only 2.x)", version.c_str());
        const json* required = member(doc_, "extensionsRequired");
        if (required && required->is_array()) {
            for (const json& e : *required) {
                if (!e.is_string()) continue;
                const std::string name = e.get<std::string>();
                if (!knownExtensions().count(name))
                    return fail("the file requires the extension %s, which is not supported", name.c_str());
            }
        }
        return true;
    }

    bool buffers() {
        const std::size_t count = listSize(doc_, "buffers");
        for (std::size_t i = 0; i < count; ++i) {
            const json& b = element(doc_, "buffers", static_cast<long long>(i));
            const long long length = indexOf(b, "byteLength");
            if (length < 0) return fail("buffer %zu has no valid byteLength", i);
            BufferBytes bytes;
            const json* uri = member(b, "uri");
            if (!uri) {
                if (!haveBin_ || i != 0) return fail("buffer %zu names no data", i);
                bytes = bin_;
            } else if (!uri->is_string()) {
                return fail("buffer %zu has an invalid uri", i);
            } else {
                const std::string u = uri->get<std::string>();
                if (u.compare(0, 5, "data:") == 0) {
                    const std::size_t comma = u.find(',');
                    if (comma == std::string::npos || u.find(";base64") > comma)
                        return fail("buffer %zu: only base64 data URIs are supported", i);
                    auto owned = std::make_shared<std::vector<uint8_t>>();
                    if (!base64Decode(u, comma + 1, *owned))
                        return fail("buffer %zu: malformed base64 data", i);
                    bytes.data = owned->data();
                    bytes.size = owned->size();
                    model_.storage.push_back(owned);
                } else {
                    const fs::path p = folder_ / percentDecoded(u);
                    auto file = std::make_shared<FileBytes>();
                    std::string error;
                    if (!file->open(p.string(), error))
                        return fail("buffer %zu: cannot open %s: %s", i, p.string().c_str(), error.c_str());
                    bytes.data = file->data();
                    bytes.size = file->size();
                    model_.storage.push_back(file);
                }
            }
            if (bytes.size < static_cast<std::size_t>(length))
                return fail("buffer %zu holds %zu bytes, fewer than its byteLength %lld", i, bytes.size,
                            length);
            bytes.size = static_cast<std::size_t>(length);
            buffers_.push_back(bytes);
        }
        return true;
    }

    // The bytes of buffer view `index`: its start and length, and its stride.
    bool view(long long index, const uint8_t*& data, std::size_t& length, std::size_t& stride) {
        const json& v = element(doc_, "bufferViews", index);
        const long long buffer = indexOf(v, "buffer");
        const long long len = indexOf(v, "byteLength");
        const long long offset = member(v, "byteOffset") ? indexOf(v, "byteOffset") : 0;
        if (!v.is_object() || buffer < 0 || static_cast<std::size_t>(buffer) >= buffers_.size() || len < 0 ||
            offset < 0)
            return fail("buffer view %lld is invalid", index);
        const BufferBytes& b = buffers_[static_cast<std::size_t>(buffer)];
        if (static_cast<uint64_t>(offset) + static_cast<uint64_t>(len) > b.size)
            return fail("buffer view %lld reaches beyond its buffer", index);
        data = b.data + offset;
        length = static_cast<std::size_t>(len);
        const json* s = member(v, "byteStride");
        stride = 0;
        if (s) {
            const long long st = indexOf(v, "byteStride");
            if (st <= 0) return fail("buffer view %lld has an invalid byteStride", index);
            stride = static_cast<std::size_t>(st);
        }
        return true;
    }

    // Accessor `index` as a view of `want` components per element (one of
    // `want` or `alsoWant` when that is not 0).
    bool accessor(long long index, int want, AttributeView& out, const char* what, int alsoWant = 0) {
        const json& a = element(doc_, "accessors", index);
        const long long count = indexOf(a, "count");
        const int type = static_cast<int>(indexOf(a, "componentType"));
        const int comps = components(stringOr(a, "type"));
        const int bytes = componentBytes(type);
        if (!a.is_object() || count < 0 || bytes == 0 || comps == 0)
            return fail("accessor %lld (%s) is invalid", index, what);
        if (comps != want && comps != alsoWant)
            return fail("accessor %lld (%s) has %d components per element, not %d", index, what, comps, want);
        out = AttributeView();
        out.count = static_cast<std::size_t>(count);
        out.components = comps;
        out.componentType = type;
        const json* norm = member(a, "normalized");
        out.normalized = norm && norm->is_boolean() && norm->get<bool>();
        const std::size_t element = static_cast<std::size_t>(bytes) * comps;
        const long long offset = member(a, "byteOffset") ? indexOf(a, "byteOffset") : 0;
        if (offset < 0) return fail("accessor %lld (%s) has an invalid byteOffset", index, what);
        if (member(a, "bufferView")) {
            const uint8_t* data = nullptr;
            std::size_t length = 0, stride = 0;
            if (!view(indexOf(a, "bufferView"), data, length, stride)) return false;
            if (stride == 0) stride = element;
            if (stride < element) return fail("accessor %lld (%s): elements overlap", index, what);
            const uint64_t need =
                count == 0 ? 0 : static_cast<uint64_t>(offset) + (count - 1) * uint64_t(stride) + element;
            if (need > length) return fail("accessor %lld (%s) reaches beyond its buffer view", index, what);
            out.data = data + offset;
            out.stride = stride;
        } else {
            // No data in the file: zeros (which a sparse part may replace).
            if (out.count > kMaxElementsWithoutData)
                return fail("accessor %lld (%s) claims %zu elements without data", index, what, out.count);
            out.owned.assign(out.count * comps, 0.0f);
        }
        const json* sparse = member(a, "sparse");
        if (sparse) return applySparse(*sparse, index, out, what);
        return true;
    }

    // Replaces the elements a sparse accessor names with their values.
    bool applySparse(const json& sparse, long long index, AttributeView& out, const char* what) {
        const long long n = indexOf(sparse, "count");
        const json* idx = member(sparse, "indices");
        const json* val = member(sparse, "values");
        if (n < 0 || !idx || !val) return fail("accessor %lld (%s) has an invalid sparse part", index, what);
        if (out.owned.empty()) {
            std::vector<float> all(out.count * out.components);
            for (std::size_t i = 0; i < out.count; ++i) out.get(i, &all[i * out.components]);
            out.owned = std::move(all);
        }
        const int itype = static_cast<int>(indexOf(*idx, "componentType"));
        const int ibytes = componentBytes(itype);
        const uint8_t* idata = nullptr;
        const uint8_t* vdata = nullptr;
        std::size_t ilen = 0, vlen = 0, unused = 0;
        if (ibytes == 0 || itype == kFloat || !view(indexOf(*idx, "bufferView"), idata, ilen, unused) ||
            !view(indexOf(*val, "bufferView"), vdata, vlen, unused))
            return fail("accessor %lld (%s) has an invalid sparse part", index, what);
        const long long ioff = member(*idx, "byteOffset") ? indexOf(*idx, "byteOffset") : 0;
        const long long voff = member(*val, "byteOffset") ? indexOf(*val, "byteOffset") : 0;
        const std::size_t velement =
            static_cast<std::size_t>(componentBytes(out.componentType)) * out.components;
        if (ioff < 0 || voff < 0 || static_cast<uint64_t>(ioff) + uint64_t(n) * ibytes > ilen ||
            static_cast<uint64_t>(voff) + uint64_t(n) * velement > vlen)
            return fail("accessor %lld (%s): its sparse part reaches beyond its buffer view", index, what);
        TriangleIndices ids;
        ids.data = idata + ioff;
        ids.stride = static_cast<std::size_t>(ibytes);
        ids.componentType = itype;
        AttributeView values = out;
        values.owned.clear();
        values.data = vdata + voff;
        values.stride = velement;
        values.count = static_cast<std::size_t>(n);
        for (long long k = 0; k < n; ++k) {
            const uint32_t target = ids.corner(static_cast<std::size_t>(k));
            if (target >= out.count)
                return fail("accessor %lld (%s): a sparse index is out of range", index, what);
            values.get(static_cast<std::size_t>(k), &out.owned[target * out.components]);
        }
        return true;
    }

    // ---- materials and textures -------------------------------------------------

    // The slot a material's texture reference describes: its texture (loaded
    // and listed once per image), coordinate set, sampler (wrap modes and
    // filters) and KHR_texture_transform. slot.texture stays -1 without a
    // usable image.
    bool textureOf(const json& ref, const std::string& matName, TextureSlot& slot) {
        slot = TextureSlot();
        const long long t = indexOf(ref, "index");
        if (!member(ref, "index")) return true;
        const json& tex = element(doc_, "textures", t);
        if (!tex.is_object())
            return fail("material \"%s\" names texture %lld, which does not exist", matName.c_str(), t);
        const json& sampler = element(doc_, "samplers", indexOf(tex, "sampler"));
        slot.wrapU = wrapMode(static_cast<long long>(numberOr(sampler, "wrapS", 10497)));
        slot.wrapV = wrapMode(static_cast<long long>(numberOr(sampler, "wrapT", 10497)));
        slot.filter = filterOf(static_cast<long long>(numberOr(sampler, "magFilter", 9729)),
                               static_cast<long long>(numberOr(sampler, "minFilter", 9987)));
        slot.uvSet = indexOf(ref, "texCoord") == 1 ? 1 : 0;
        const json* ext = member(ref, "extensions");
        if (const json* tt = ext ? member(*ext, "KHR_texture_transform") : nullptr) {
            if (!transformOf(*tt, slot.transform))
                return fail("material \"%s\" has a malformed texture transform", matName.c_str());
            if (member(*tt, "texCoord")) slot.uvSet = indexOf(*tt, "texCoord") == 1 ? 1 : 0;
        }
        int& index = slot.texture;
        const long long image = indexOf(tex, "source");
        if (!member(tex, "source")) return true;  // an image in a format only an extension names
        const auto found = images_.find(image);
        if (found != images_.end()) {
            index = found->second;
            return true;
        }
        const json& im = element(doc_, "images", image);
        if (!im.is_object()) return fail("texture %lld names image %lld, which does not exist", t, image);
        ImportedTexture out;
        const int number = static_cast<int>(model_.textures.size()) + 1;
        const std::string uri = stringOr(im, "uri");
        const std::string label = uri.empty() ? "image " + std::to_string(image) : uri.substr(0, 200);
        std::string mime = stringOr(im, "mimeType");
        if (!uri.empty() && uri.compare(0, 5, "data:") != 0) {
            const fs::path src = folder_ / percentDecoded(uri);
            out.sourcePath = src.string();
            out.fileName =
                "texture_" + std::to_string(number) + "_" + sceneWord(src.filename().string(), "image");
            std::error_code ec;
            if (!fs::is_regular_file(src, ec))
                return fail("texture \"%s\" of material \"%s\" cannot be read: %s is not a file",
                            label.c_str(), matName.c_str(), out.sourcePath.c_str());
            if (!loadImage(out.sourcePath, out.image))
                return fail("texture \"%s\" of material \"%s\" cannot be read", label.c_str(),
                            matName.c_str());
        } else {
            if (!uri.empty()) {
                const std::size_t comma = uri.find(',');
                if (comma == std::string::npos || !base64Decode(uri, comma + 1, out.embedded))
                    return fail("texture \"%s\" of material \"%s\": malformed data URI", label.c_str(),
                                matName.c_str());
                if (mime.empty()) mime = uri.substr(5, uri.find_first_of(";,") - 5);
            } else {
                const uint8_t* data = nullptr;
                std::size_t length = 0, stride = 0;
                if (!view(indexOf(im, "bufferView"), data, length, stride)) return false;
                out.embedded.assign(data, data + length);
            }
            std::string ext = mime.size() > 6 && mime.compare(0, 6, "image/") == 0 ? mime.substr(6) : "img";
            if (ext == "jpeg") ext = "jpg";
            out.fileName = "texture_" + std::to_string(number) + "." + sceneWord(lower(ext), "img");
            if (!decodeImageBytes(out.embedded, out.image))
                return fail("embedded texture \"%s\" of material \"%s\" cannot be read", label.c_str(),
                            matName.c_str());
        }
        index = number - 1;
        images_[image] = index;
        model_.textures.push_back(std::move(out));
        return true;
    }

    bool materials() {
        const std::size_t count = listSize(doc_, "materials");
        for (std::size_t i = 0; i < count; ++i) {
            const json& mj = element(doc_, "materials", static_cast<long long>(i));
            const std::string name = sceneWord(stringOr(mj, "name"), "material_" + std::to_string(i));
            static const json empty = json::object();
            const json* pbrJson = member(mj, "pbrMetallicRoughness");
            const json& pbr = pbrJson ? *pbrJson : empty;
            const json* extJson = member(mj, "extensions");
            const json& ext = extJson ? *extJson : empty;
            PbrParams p;
            double base[4] = {1, 1, 1, 1}, emissive[3] = {0, 0, 0};
            if (!numbers(pbr, "baseColorFactor", base, 4) || !numbers(mj, "emissiveFactor", emissive, 3))
                return fail("material \"%s\" has a malformed colour", name.c_str());
            p.baseColor =
                Color(static_cast<float>(base[0]), static_cast<float>(base[1]), static_cast<float>(base[2]));
            p.metallic = static_cast<float>(numberOr(pbr, "metallicFactor", 1.0));
            p.roughness = static_cast<float>(numberOr(pbr, "roughnessFactor", 1.0));
            if (const json* ior = member(ext, "KHR_materials_ior"))
                p.ior = static_cast<float>(numberOr(*ior, "ior", 1.5));
            if (const json* sp = member(ext, "KHR_materials_specular")) {
                p.specular = static_cast<float>(numberOr(*sp, "specularFactor", 1.0));
                double c[3] = {1, 1, 1};
                if (!numbers(*sp, "specularColorFactor", c, 3))
                    return fail("material \"%s\" has a malformed specular colour", name.c_str());
                p.specularColor =
                    Color(static_cast<float>(c[0]), static_cast<float>(c[1]), static_cast<float>(c[2]));
            }
            if (const json* tr = member(ext, "KHR_materials_transmission"))
                p.transmission = static_cast<float>(numberOr(*tr, "transmissionFactor", 0.0));
            float strength = 1.0f;
            if (const json* es = member(ext, "KHR_materials_emissive_strength"))
                strength = static_cast<float>(numberOr(*es, "emissiveStrength", 1.0));
            if (!(strength >= 0.0f) || !std::isfinite(strength)) strength = 1.0f;
            p.emission =
                Color(static_cast<float>(emissive[0]) * strength, static_cast<float>(emissive[1]) * strength,
                      static_cast<float>(emissive[2]) * strength);
            Material m = pbrMaterial(p);
            MaterialMaps maps;
            const json* sp = member(ext, "KHR_materials_specular");
            const json* tr = member(ext, "KHR_materials_transmission");
            const struct {
                const json* where;
                const char* key;
                TextureSlot* slot;
            } refs[] = {{&pbr, "baseColorTexture", &maps.baseColor},
                        {&pbr, "metallicRoughnessTexture", &maps.metallicRoughness},
                        {&mj, "normalTexture", &maps.normal},
                        {&mj, "emissiveTexture", &maps.emissive},
                        {sp, "specularColorTexture", &maps.specular},
                        {tr, "transmissionTexture", &maps.transmission}};
            for (const auto& r : refs) {
                const json* ref = r.where ? member(*r.where, r.key) : nullptr;
                if (ref && !textureOf(*ref, name, *r.slot)) return false;
            }
            if (maps.baseColor.used()) m.tex = maps.baseColor.texture + 1;
            if (const json* n = member(mj, "normalTexture"))
                maps.normalScale = static_cast<float>(numberOr(*n, "scale", 1.0));
            const std::string mode = stringOr(mj, "alphaMode", "OPAQUE");
            maps.alphaMode = mode == "MASK" ? kAlphaMask : (mode == "BLEND" ? kAlphaBlend : kAlphaOpaque);
            maps.alphaCutoff = static_cast<float>(numberOr(mj, "alphaCutoff", 0.5));
            maps.alpha = std::isfinite(base[3]) ? static_cast<float>(std::clamp(base[3], 0.0, 1.0)) : 1.0f;
            // Every surface reflects on both sides; an emitter that is
            // double-sided emits from its back face too.
            const json* ds = member(mj, "doubleSided");
            maps.emitsBothSides = ds && ds->is_boolean() && ds->get<bool>() && m.isEmissive() ? 1 : 0;
            model_.materials.push_back(m);
            model_.materialNames.push_back(name);
            model_.materialMaps.push_back(maps);
        }
        return true;
    }

    // glTF's material for primitives that name none.
    int defaultMaterial() {
        if (defaultMaterial_ < 0) {
            defaultMaterial_ = static_cast<int>(model_.materials.size());
            model_.materials.push_back(pbrMaterial(PbrParams()));
            model_.materialNames.push_back("default");
            model_.materialMaps.emplace_back();
        }
        return defaultMaterial_;
    }

    // ---- meshes ------------------------------------------------------------------

    bool meshes() {
        const std::size_t count = listSize(doc_, "meshes");
        primitives_.resize(count);
        for (std::size_t i = 0; i < count; ++i) {
            const json& mj = element(doc_, "meshes", static_cast<long long>(i));
            const std::string name = stringOr(mj, "name");
            const json* prims = member(mj, "primitives");
            if (!prims || !prims->is_array()) return fail("mesh %zu has no primitives", i);
            for (std::size_t k = 0; k < prims->size(); ++k) {
                MeshData m;
                m.name = name;
                bool keep = false;
                if (!primitive((*prims)[k], i, m, keep)) return false;
                if (!keep) continue;
                primitives_[i].push_back(model_.meshes.size());
                model_.meshes.push_back(std::move(m));
            }
        }
        return true;
    }

    bool primitive(const json& pj, std::size_t mesh, MeshData& m, bool& keep) {
        const long long mode = member(pj, "mode") ? indexOf(pj, "mode") : 4;
        // Points and lines carry no surface.
        if (mode < 4 || mode > 6) return true;
        const json* attrs = member(pj, "attributes");
        if (!attrs || !member(*attrs, "POSITION")) return true;
        if (!accessor(indexOf(*attrs, "POSITION"), 3, m.positions, "POSITION")) return false;
        m.vertices = m.positions.count;
        if (member(*attrs, "NORMAL") && !accessor(indexOf(*attrs, "NORMAL"), 3, m.normals, "NORMAL"))
            return false;
        if (member(*attrs, "TEXCOORD_0") && !accessor(indexOf(*attrs, "TEXCOORD_0"), 2, m.uv, "TEXCOORD_0"))
            return false;
        if (member(*attrs, "TEXCOORD_1") && !accessor(indexOf(*attrs, "TEXCOORD_1"), 2, m.uv1, "TEXCOORD_1"))
            return false;
        if (member(*attrs, "COLOR_0") && !accessor(indexOf(*attrs, "COLOR_0"), 4, m.colors, "COLOR_0", 3))
            return false;
        if (member(*attrs, "TANGENT") && !accessor(indexOf(*attrs, "TANGENT"), 4, m.tangents, "TANGENT"))
            return false;
        for (const AttributeView* v : {&m.normals, &m.uv, &m.uv1, &m.colors, &m.tangents})
            if (v->present() && v->count < m.vertices)
                return fail("mesh %zu: an attribute has fewer elements than POSITION", mesh);
        m.flipV = true;
        AttributeView idx;
        std::size_t corners = m.vertices;
        if (member(pj, "indices")) {
            if (!accessor(indexOf(pj, "indices"), 1, idx, "indices")) return false;
            if (idx.componentType != kUnsignedByte && idx.componentType != kUnsignedShort &&
                idx.componentType != kUnsignedInt)
                return fail("mesh %zu: indices are not unsigned integers", mesh);
            corners = idx.count;
            if (idx.owned.empty()) {
                m.indices.data = idx.data;
                m.indices.stride = idx.stride;
                m.indices.componentType = idx.componentType;
            } else {
                m.indices.owned.resize(idx.count);
                for (std::size_t k = 0; k < idx.count; ++k) {
                    float v = 0.0f;
                    idx.get(k, &v);
                    m.indices.owned[k] = static_cast<uint32_t>(v);
                }
                if (m.indices.owned.empty()) return true;
            }
        }
        m.indices.corners = corners - corners % 3;
        if (mode != 4) {
            // Strips and fans as a list of triangles.
            std::vector<uint32_t> list;
            TriangleIndices src = m.indices;
            src.corners = corners;
            for (std::size_t k = 0; k + 2 < corners; ++k) {
                uint32_t a, b, c;
                if (mode == 5) {
                    a = src.corner(k + (k & 1));
                    b = src.corner(k + 1 - (k & 1));
                    c = src.corner(k + 2);
                } else {
                    a = src.corner(0);
                    b = src.corner(k + 1);
                    c = src.corner(k + 2);
                }
                list.insert(list.end(), {a, b, c});
            }
            m.indices = TriangleIndices();
            m.indices.owned = std::move(list);
        }
        if (m.indices.triangles() == 0) return true;
        const long long mat = member(pj, "material") ? indexOf(pj, "material") : -1;
        if (mat >= static_cast<long long>(model_.materials.size()) || (member(pj, "material") && mat < 0))
            return fail("mesh %zu names material %lld, which does not exist", mesh, mat);
        m.material = mat >= 0 ? static_cast<int>(mat) : defaultMaterial();
        keep = true;
        return true;
    }

    // ---- punctual lights ------------------------------------------------------------

    // KHR_lights_punctual's lights: their type, linear colour, intensity
    // (candela, or lux for a directional light) and a spot's cone angles.
    // Their range is left out: light falls off with the square of the
    // distance all the way, as it does in nature.
    bool lights() {
        const json* ext = member(doc_, "extensions");
        const json* punctual = ext ? member(*ext, "KHR_lights_punctual") : nullptr;
        if (!punctual) return true;
        const std::size_t count = listSize(*punctual, "lights");
        for (std::size_t i = 0; i < count; ++i) {
            const json& lj = element(*punctual, "lights", static_cast<long long>(i));
            LightSource l;
            l.name = stringOr(lj, "name");
            const std::string type = stringOr(lj, "type");
            if (type == "point")
                l.kind = kPointLight;
            else if (type == "spot")
                l.kind = kSpotLight;
            else if (type == "directional")
                l.kind = kSunLight;
            else
                return fail("light %zu has type \"%s\", not point, spot or directional", i,
                            sceneWord(type, "(none)").c_str());
            double c[3] = {1.0, 1.0, 1.0};
            if (!numbers(lj, "color", c, 3) || !(c[0] >= 0.0 && c[1] >= 0.0 && c[2] >= 0.0) ||
                !std::isfinite(c[0] + c[1] + c[2]))
                return fail("light %zu has a malformed or negative colour", i);
            l.color = Color(static_cast<float>(c[0]), static_cast<float>(c[1]), static_cast<float>(c[2]));
            l.intensity = numberOr(lj, "intensity", 1.0);
            if (!(l.intensity >= 0.0) || !std::isfinite(l.intensity))
                return fail("light %zu has intensity %g: expected a number of at least 0", i, l.intensity);
            if (l.kind == kSpotLight) {
                const json* spot = member(lj, "spot");
                l.innerCone = spot ? numberOr(*spot, "innerConeAngle", 0.0) : 0.0;
                l.outerCone = spot ? numberOr(*spot, "outerConeAngle", kPi / 4.0) : kPi / 4.0;
                // An exporter's right angle may be a float a little above it;
                // equal angles (a hard edge) are what a spot without blend
                // exports as.
                if (l.outerCone > kPi / 2.0 && l.outerCone < kPi / 2.0 + 1e-6) l.outerCone = kPi / 2.0;
                if (!(l.innerCone >= 0.0) || !(l.innerCone <= l.outerCone) || !(l.outerCone > 0.0) ||
                    !(l.outerCone <= kPi / 2.0))
                    return fail(
                        "light %zu has cone angles %g and %g: expected 0 <= inner <= outer <= pi/2, "
                        "outer above 0",
                        i, l.innerCone, l.outerCone);
            }
            model_.lights.push_back(l);
        }
        return true;
    }

    // ---- nodes, scene and camera ---------------------------------------------------

    bool nodes() {
        const std::size_t count = listSize(doc_, "nodes");
        model_.nodes.resize(count);
        std::vector<char> isChild(count, 0);
        for (std::size_t i = 0; i < count; ++i) {
            const json& nj = element(doc_, "nodes", static_cast<long long>(i));
            NodeOut& n = model_.nodes[i];
            n.name = stringOr(nj, "name");
            if (!transform(nj, n.local)) return fail("node %zu has a malformed transform", i);
            if (member(nj, "mesh")) {
                const long long mesh = indexOf(nj, "mesh");
                if (mesh < 0 || static_cast<std::size_t>(mesh) >= primitives_.size())
                    return fail("node %zu names mesh %lld, which does not exist", i, mesh);
                n.meshes = primitives_[static_cast<std::size_t>(mesh)];
            }
            n.camera = member(nj, "camera") && indexOf(nj, "camera") == 0;
            const json* ext = member(nj, "extensions");
            if (const json* lp = ext ? member(*ext, "KHR_lights_punctual") : nullptr) {
                const long long light = indexOf(*lp, "light");
                if (light < 0 || static_cast<std::size_t>(light) >= model_.lights.size())
                    return fail("node %zu names light %lld, which does not exist", i, light);
                n.light = light;
            }
            if (const json* ch = member(nj, "children")) {
                if (!ch->is_array()) return fail("node %zu has malformed children", i);
                for (const json& c : *ch) {
                    const long long k = c.is_number_integer() ? c.get<long long>() : -1;
                    if (k < 0 || static_cast<std::size_t>(k) >= count)
                        return fail("node %zu names child %lld, which does not exist", i, k);
                    n.children.push_back(static_cast<std::size_t>(k));
                    isChild[static_cast<std::size_t>(k)] = 1;
                }
            }
        }
        const long long s = member(doc_, "scene") ? indexOf(doc_, "scene") : 0;
        const json& scene = element(doc_, "scenes", s);
        if (const json* roots = member(scene, "nodes")) {
            if (!roots->is_array()) return fail("scene %lld has malformed nodes", s);
            for (const json& r : *roots) {
                const long long k = r.is_number_integer() ? r.get<long long>() : -1;
                if (k < 0 || static_cast<std::size_t>(k) >= count)
                    return fail("scene %lld names node %lld, which does not exist", s, k);
                model_.roots.push_back(static_cast<std::size_t>(k));
            }
        } else if (!scene.is_object()) {
            // No scene to show: every node that is nobody's child.
            for (std::size_t i = 0; i < count; ++i)
                if (!isChild[i]) model_.roots.push_back(i);
        }
        return true;
    }

    // The node's matrix, or translation x rotation x scale.
    static bool transform(const json& nj, Xform& x) {
        x = Xform();
        if (member(nj, "matrix")) {
            double m[16];
            if (!numbers(nj, "matrix", m, 16)) return false;
            for (int c = 0; c < 4; ++c)
                for (int r = 0; r < 4; ++r) x.m[r][c] = m[c * 4 + r];  // stored column by column
            return true;
        }
        double t[3] = {0, 0, 0}, q[4] = {0, 0, 0, 1}, s[3] = {1, 1, 1};
        if (!numbers(nj, "translation", t, 3) || !numbers(nj, "rotation", q, 4) ||
            !numbers(nj, "scale", s, 3))
            return false;
        const double len = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
        if (len > 0.0 && std::isfinite(len) && len != 1.0)
            for (double& c : q) c /= len;
        const double X = q[0], Y = q[1], Z = q[2], W = q[3];
        const double r[3][3] = {{1 - 2 * (Y * Y + Z * Z), 2 * (X * Y - Z * W), 2 * (X * Z + Y * W)},
                                {2 * (X * Y + Z * W), 1 - 2 * (X * X + Z * Z), 2 * (Y * Z - X * W)},
                                {2 * (X * Z - Y * W), 2 * (Y * Z + X * W), 1 - 2 * (X * X + Y * Y)}};
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) x.m[i][j] = r[i][j] * s[j];
            x.m[i][3] = t[i];
        }
        return true;
    }

    void camera() {
        const json& c = element(doc_, "cameras", 0);
        if (!c.is_object()) return;
        CameraSource& cam = model_.camera;
        cam.present = true;
        cam.name = stringOr(c, "name", "camera");
        if (stringOr(c, "type") == "orthographic") {
            cam.orthographic = true;
            return;
        }
        // A camera looks down its node's -z with +y up.
        const json* p = member(c, "perspective");
        const double yfov = p ? static_cast<float>(numberOr(*p, "yfov", 0.0)) : 0.0;
        const double aspect = p ? static_cast<float>(numberOr(*p, "aspectRatio", 0.0)) : 0.0;
        cam.aspect = aspect > 0.0 && std::isfinite(aspect) ? aspect : 0.0;
        if (yfov > 0.0 && yfov < kPi) cam.tanHalfY = std::tan(0.5 * yfov);
    }

    std::string path_;
    fs::path folder_;
    Model& model_;
    json doc_;
    BufferBytes bin_;
    bool haveBin_ = false;
    std::vector<BufferBytes> buffers_;
    std::vector<std::vector<std::size_t>> primitives_;  // model meshes of each glTF mesh
    std::map<long long, int> images_;                   // image -> texture index
    int defaultMaterial_ = -1;
};

}  // namespace

bool readGltf(const std::string& path, const ImportOptions& /*options*/, Model& model) {
    GltfReader reader(path, model);
    return reader.run();
}

}  // namespace lumenar::import
