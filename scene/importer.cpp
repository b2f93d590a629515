#include "scene/importer.h"

#include <OpenImageIO/imageio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <assimp/Importer.hpp>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <new>
#include <sstream>
#include <system_error>

#include "scene/camera.h"
#include "scene/import_model.h"
#include "scene/triangle_setup.h"

namespace lumenar {

namespace fs = std::filesystem;

namespace import {

namespace {
// Longest name written into the scene text (the native format allows 127).
constexpr std::size_t kMaxNameLength = 100;
constexpr double kPi = 3.14159265358979323846;
// Lumens per watt: photometric units are radiometric ones at this luminous
// efficacy.
constexpr double kLumensPerWatt = 683.0;
// Deepest node hierarchy followed, and most node visits (a file whose nodes
// share children can describe exponentially many).
constexpr int kMaxNodeDepth = 1000;
constexpr std::size_t kMaxNodeVisits = std::size_t(1) << 22;
}  // namespace

Xform Xform::of(const aiMatrix4x4& a) {
    Xform x;
    const ai_real* rows[4] = {a[0], a[1], a[2], a[3]};
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) x.m[i][j] = rows[i][j];
    return x;
}

Xform Xform::operator*(const Xform& o) const {
    Xform r;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            double s = 0.0;
            for (int k = 0; k < 4; ++k) s += m[i][k] * o.m[k][j];
            r.m[i][j] = s;
        }
    return r;
}

double Xform::det3() const {
    return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
           m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
           m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
}

// The cofactor matrix is the inverse transpose up to a positive or negative
// scale, which the normalisation and the sign of the determinant take out.
void Xform::normal(const double n[3], double out[3]) const {
    const double c[3][3] = {{m[1][1] * m[2][2] - m[1][2] * m[2][1], m[1][2] * m[2][0] - m[1][0] * m[2][2],
                             m[1][0] * m[2][1] - m[1][1] * m[2][0]},
                            {m[0][2] * m[2][1] - m[0][1] * m[2][2], m[0][0] * m[2][2] - m[0][2] * m[2][0],
                             m[0][1] * m[2][0] - m[0][0] * m[2][1]},
                            {m[0][1] * m[1][2] - m[0][2] * m[1][1], m[0][2] * m[1][0] - m[0][0] * m[1][2],
                             m[0][0] * m[1][1] - m[0][1] * m[1][0]}};
    const double s = det3() < 0.0 ? -1.0 : 1.0;
    for (int i = 0; i < 3; ++i) out[i] = s * (c[i][0] * n[0] + c[i][1] * n[1] + c[i][2] * n[2]);
    const double len = std::sqrt(out[0] * out[0] + out[1] * out[1] + out[2] * out[2]);
    for (int i = 0; i < 3; ++i) out[i] = len > 0.0 ? out[i] / len : 0.0;
}

std::string sceneWord(const std::string& name, const std::string& fallback) {
    std::string w;
    for (char c : name) {
        const unsigned char u = static_cast<unsigned char>(c);
        w += (u <= 0x20 || u == 0x7f) ? '_' : c;
        if (w.size() >= kMaxNameLength) break;
    }
    return w.empty() ? fallback : w;
}

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

int componentBytes(int type) {
    switch (type) {
        case kByte:
        case kUnsignedByte:
            return 1;
        case kShort:
        case kUnsignedShort:
            return 2;
        case kUnsignedInt:
        case kFloat:
            return 4;
        default:
            return 0;
    }
}

void AttributeView::get(std::size_t i, float* out) const {
    if (!owned.empty()) {
        for (int c = 0; c < components; ++c) out[c] = owned[i * components + c];
        return;
    }
    const uint8_t* p = data + i * stride;
    for (int c = 0; c < components; ++c) {
        switch (componentType) {
            case kFloat: {
                std::memcpy(&out[c], p + 4 * c, 4);
                break;
            }
            case kUnsignedByte: {
                const float v = p[c];
                out[c] = normalized ? v / 255.0f : v;
                break;
            }
            case kByte: {
                const float v = static_cast<int8_t>(p[c]);
                out[c] = normalized ? std::max(v / 127.0f, -1.0f) : v;
                break;
            }
            case kUnsignedShort: {
                uint16_t u;
                std::memcpy(&u, p + 2 * c, 2);
                out[c] = normalized ? u / 65535.0f : static_cast<float>(u);
                break;
            }
            case kShort: {
                int16_t s;
                std::memcpy(&s, p + 2 * c, 2);
                out[c] = normalized ? std::max(s / 32767.0f, -1.0f) : static_cast<float>(s);
                break;
            }
            default: {
                uint32_t u;
                std::memcpy(&u, p + 4 * c, 4);
                out[c] = normalized ? static_cast<float>(u / 4294967295.0) : static_cast<float>(u);
                break;
            }
        }
    }
}

uint32_t TriangleIndices::corner(std::size_t k) const {
    if (!owned.empty()) return owned[k];
    if (!data) return static_cast<uint32_t>(k);
    const uint8_t* p = data + k * stride;
    if (componentType == kUnsignedByte) return *p;
    if (componentType == kUnsignedShort) {
        uint16_t u;
        std::memcpy(&u, p, 2);
        return u;
    }
    uint32_t u;
    std::memcpy(&u, p, 4);
    return u;
}

// glTF's dielectric is a Fresnel-weighted specular layer over the diffuse
// base (or over the transmission), its reflectance at normal incidence
// ((ior - 1) / (ior + 1))^2: the renderer's coat at full strength, whose own
// Fresnel term takes F0 from the IOR. KHR_materials_specular scales the layer
// (factor times colour, kept within [0, 1] so that it never reflects more
// than arrives). Metals reflect their base colour. Roughness is glTF's, the
// one the microfacet width squares.
Material pbrMaterial(const PbrParams& p) {
    Material m{};
    m.tex = -1;
    m.basecolor = p.baseColor;
    m.IOR = p.ior >= 1.0f && std::isfinite(p.ior) ? p.ior : 1.5f;
    m.metalness = std::clamp(p.metallic, 0.0f, 1.0f);
    m.roughness = m.roughnessY = std::clamp(p.roughness, 0.0f, 1.0f);
    const float s = std::isfinite(p.specular) ? std::clamp(p.specular, 0.0f, 1.0f) : 1.0f;
    auto layer = [s](float c) { return std::isfinite(c) ? std::clamp(c * s, 0.0f, 1.0f) : s; };
    m.specular = Color(layer(p.specularColor.r), layer(p.specularColor.g), layer(p.specularColor.b));
    m.transparency = std::clamp(p.transmission, 0.0f, 1.0f);
    m.transmission = m.basecolor;
    m.emission = usableEmission(p.emission);
    return m;
}

Material roughDielectric(const Color& base) {
    Material m{};
    m.tex = -1;
    m.basecolor = base;
    m.specular = Color(1.0f, 1.0f, 1.0f);  // a plain dielectric's coat
    m.transmission = Color(1.0f, 1.0f, 1.0f);
    m.roughness = m.roughnessY = 1.0f;
    m.IOR = 1.5f;
    return m;
}

Color usableEmission(const Color& e) {
    return e.r >= 0.0f && e.g >= 0.0f && e.b >= 0.0f && std::isfinite(e.r + e.g + e.b) ? e : Color();
}

namespace {

// A private temporary file's name, made (empty on failure).
std::string temporaryFile(const char* suffix) {
    std::error_code ec;
    std::string tmpl = (fs::temp_directory_path(ec) / "lumenar-texture-XXXXXX").string() + suffix;
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    const int fd = mkstemps(name.data(), static_cast<int>(std::strlen(suffix)));
    if (fd < 0) return {};
    ::close(fd);
    return name.data();
}

}  // namespace

bool encodePng(const Image& image, std::vector<uint8_t>& out) {
    const std::string path = temporaryFile(".png");
    if (path.empty()) return false;
    const std::vector<uint8_t> rgba = expandToRGBA(image);
    auto file = OIIO::ImageOutput::create(path);
    const OIIO::ImageSpec spec(image.width, image.height, 4, OIIO::TypeDesc::UINT8);
    // Rows are kept bottom first; the file starts at the top.
    const std::ptrdiff_t row = static_cast<std::ptrdiff_t>(image.width) * 4;
    bool ok = file && file->open(path, spec) &&
              file->write_image(OIIO::TypeDesc::UINT8, rgba.data() + row * (image.height - 1), 4, -row) &&
              file->close();
    if (ok) {
        std::ifstream f(path, std::ios::binary);
        out.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
        ok = !out.empty();
    }
    ::unlink(path.c_str());
    return ok;
}

bool decodeImageBytes(const std::vector<uint8_t>& bytes, Image& out) {
    // The image decoder reads files: the bytes go through a private
    // temporary file.
    std::error_code ec;
    std::string tmpl = (fs::temp_directory_path(ec) / "lumenar-texture-XXXXXX").string();
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    const int fd = mkstemp(name.data());
    bool ok = fd >= 0;
    if (ok) {
        std::size_t done = 0;
        while (ok && done < bytes.size()) {
            const ssize_t w = ::write(fd, bytes.data() + done, bytes.size() - done);
            if (w <= 0) ok = false;
            done += w > 0 ? static_cast<std::size_t>(w) : 0;
        }
        ::close(fd);
        ok = ok && loadImage(name.data(), out);
        ::unlink(name.data());
    }
    return ok;
}

namespace {

bool finite3(const double v[3]) {
    return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]);
}

// Element i of a view of three numbers, in double precision.
void vectorOf(const AttributeView& v, std::size_t i, double out[3]) {
    float f[3] = {0.0f, 0.0f, 0.0f};
    v.get(i, f);
    for (int k = 0; k < 3; ++k) out[k] = f[k];
}

Vector3d toFloat(const double v[3]) {
    return Vector3d(static_cast<float>(v[0]), static_cast<float>(v[1]), static_cast<float>(v[2]));
}

// Scene objects as the scene file's mesh block holds them: the meshes of a
// node, or of the movable node's whole subtree.
struct ObjectOut {
    std::string name;
    bool movable = false;
    std::vector<std::pair<std::size_t, Xform>> meshes;  // mesh index, placement
};

class Assembler {
 public:
    Assembler(const std::string& path, const ImportOptions& options, Model& model)
        : path_(path), opt_(options), model_(model) {}

    bool run(ImportedScene& out) {
        SceneAssembly& a = out.assembly;
        if (!collectObjects()) return false;
        if (!opt_.movable.empty() && !movableFound_) {
            std::printf("%s: no node or mesh is named \"%s\" (--movable)\n", path_.c_str(),
                        opt_.movable.c_str());
            return false;
        }
        a.bounds = initialSceneBox();
        std::size_t capacity = 0;
        for (const ObjectOut& o : objects_)
            for (const auto& m : o.meshes) capacity += model_.meshes[m.first].indices.triangles();
        // Triangles are numbered with 32-bit integers.
        if (capacity > static_cast<std::size_t>(std::numeric_limits<int32_t>::max())) {
            std::printf("%s: the placed meshes hold %zu triangles, more than a scene can number\n",
                        path_.c_str(), capacity);
            return false;
        }
        a.triangles.reserve(capacity);
        for (const MeshData& m : model_.meshes) {
            anyUV_ = anyUV_ || m.uv.present();
            anyUV1_ = anyUV1_ || m.uv1.present();
            anyColor_ = anyColor_ || m.colors.present();
            anyTangent_ = anyTangent_ || normalMapped(m);
        }
        if (anyUV_) a.triangleUVs.reserve(capacity);
        if (anyUV1_) a.triangleUVs1.reserve(capacity);
        if (anyColor_) a.triangleColors.reserve(capacity);
        if (anyTangent_) a.triangleTangents.reserve(capacity);
        for (ObjectOut& o : objects_) object(o, a);
        if (a.triangles.empty()) {
            std::printf("%s: the file holds no triangles%s\n", path_.c_str(),
                        dropped_ > 0 ? " (all of its faces are degenerate)" : "");
            return false;
        }
        if (dropped_ > 0)
            std::printf("%s: %d degenerate triangles (zero area) left out\n", path_.c_str(), dropped_);
        if (model_.ignoredLights > 0)
            std::printf(
                "%s: its %u point, spot or directional lights are not used (only emissive surfaces "
                "and glTF's punctual lights emit light)\n",
                path_.c_str(), model_.ignoredLights);
        placeLights(a);
        const bool sky = a.lightIndices.empty() && a.lights.empty();
        if (sky)
            std::printf("%s: no emissive material and no light: a uniform white sky lights the scene\n",
                        path_.c_str());
        a.haveBgcolor = true;
        a.bgcolor = sky ? Color(1.0f, 1.0f, 1.0f) : Color(0.0f, 0.0f, 0.0f);
        if (!camera(out)) return false;
        a.materials = std::move(model_.materials);
        a.materialNames = std::move(model_.materialNames);
        a.haveMaterials = true;
        a.haveTextures = true;
        for (const ImportedTexture& t : model_.textures) a.texturePaths.push_back(t.fileName);
        a.materialMaps = std::move(model_.materialMaps);
        out.textures = std::move(model_.textures);
        out.triangleCount = static_cast<int>(a.triangles.size());
        out.droppedTriangles = dropped_;
        out.skyLight = sky;
        return true;
    }

 private:
    // ---- objects -------------------------------------------------------------

    bool nodeIsMovable(const NodeOut& n) const {
        if (opt_.movable.empty()) return false;
        if (opt_.movable == n.name) return true;
        for (std::size_t mi : n.meshes)
            if (opt_.movable == model_.meshes[mi].name) return true;
        return false;
    }

    bool collectObjects() {
        for (std::size_t r : model_.roots) visit(r, Xform(), nullptr, 0);
        if (visits_ > kMaxNodeVisits) {
            std::printf("%s: the node hierarchy is cyclic or too large\n", path_.c_str());
            return false;
        }
        // The movable object goes first: the renderer moves movable object 0.
        std::stable_partition(objects_.begin(), objects_.end(), [](const ObjectOut& o) { return o.movable; });
        return true;
    }

    void visit(std::size_t index, const Xform& parent, ObjectOut* into, int depth) {
        if (depth > kMaxNodeDepth || index >= model_.nodes.size() || ++visits_ > kMaxNodeVisits) return;
        const NodeOut& n = model_.nodes[index];
        const Xform world = parent * n.local;
        if (n.camera && !cameraPlaced_) {
            cameraPlaced_ = true;
            cameraWorld_ = world;
        }
        if (n.light >= 0) placedLights_.emplace_back(static_cast<std::size_t>(n.light), world);
        std::size_t own = static_cast<std::size_t>(-1);
        if (!into && !movableFound_ && nodeIsMovable(n)) {
            movableFound_ = true;
            ObjectOut o;
            o.name = sceneWord(n.name, "movable");
            o.movable = true;
            objects_.push_back(o);
            own = objects_.size() - 1;
        } else if (!into && !n.meshes.empty()) {
            ObjectOut o;
            o.name = sceneWord(n.name, "object_" + std::to_string(objects_.size()));
            objects_.push_back(o);
            own = objects_.size() - 1;
        }
        for (std::size_t mi : n.meshes) {
            if (mi >= model_.meshes.size()) continue;
            if (into)
                into->meshes.emplace_back(mi, world);
            else
                objects_[own].meshes.emplace_back(mi, world);
        }
        const bool subtreeMovable = own != static_cast<std::size_t>(-1) && objects_[own].movable;
        for (std::size_t c : n.children) {
            // objects_ may grow below: pass the movable object by index.
            if (into) {
                visit(c, world, into, depth + 1);
            } else if (subtreeMovable) {
                ObjectOut sub;
                visit(c, world, &sub, depth + 1);
                for (auto& m : sub.meshes) objects_[own].meshes.push_back(m);
            } else {
                visit(c, world, nullptr, depth + 1);
            }
        }
    }

    // ---- lights ----------------------------------------------------------------

    // The punctual lights where their nodes place them, in the renderer's
    // units: glTF's candela (lm/sr) and lux (lm/m^2) become W/sr and W/m^2 at
    // 683 lm/W, the luminous efficacy photometric units are defined by (and
    // the factor exporters use to write watts as lumens).
    void placeLights(SceneAssembly& a) {
        int unusable = 0;
        for (const auto& [index, world] : placedLights_) {
            const LightSource& src = model_.lights[index];
            const double origin[3] = {0.0, 0.0, 0.0}, down[3] = {0.0, 0.0, -1.0};
            double p[3], d[3];
            world.point(origin, p);
            world.vector(down, d);
            SceneLight l;
            l.kind = src.kind;
            l.position = toFloat(p);
            l.direction = toFloat(d);
            l.color = src.color;
            l.intensity = static_cast<float>(src.intensity / kLumensPerWatt);
            const bool placed = std::isfinite(l.position.x + l.position.y + l.position.z) &&
                                std::isfinite(l.intensity) &&
                                (src.kind == kPointLight || unitLightDirection(l.direction));
            if (!placed) {
                ++unusable;
                continue;
            }
            if (src.kind == kPointLight) l.direction = Vector3d();
            if (src.kind == kSunLight) l.position = Vector3d();
            if (src.kind == kSpotLight) {
                // As a scene file gives them: whole degrees' floats, so that
                // the folder lumenar-import writes holds the same angles.
                const auto degrees = [](double radians) {
                    return std::min(static_cast<float>(radians * (180.0 / kPi)), 90.0f);
                };
                const float outer = std::max(degrees(src.outerCone), 1e-6f);
                l.innerAngle = lightAngleRadians(std::min(degrees(src.innerCone), outer));
                l.outerAngle = lightAngleRadians(outer);
            }
            a.lights.push_back(l);
            a.lightNames.push_back(sceneWord(src.name, "light_" + std::to_string(a.lights.size() - 1)));
        }
        a.haveLights = !a.lights.empty();
        if (unusable > 0)
            std::printf("%s: %d lights left out (their nodes collapse or leave their place undefined)\n",
                        path_.c_str(), unusable);
    }

    // ---- geometry --------------------------------------------------------------

    void object(ObjectOut& o, SceneAssembly& a) {
        // Meshes without texture coordinates go first: in a scene file a
        // face written with coordinates makes every later face of its object
        // take them too.
        std::stable_partition(o.meshes.begin(), o.meshes.end(), [&](const std::pair<std::size_t, Xform>& m) {
            return !model_.meshes[m.first].uv.present();
        });
        const std::size_t first = a.triangles.size();
        for (const auto& [mi, xf] : o.meshes) placeMesh(model_.meshes[mi], xf, a);
        const std::size_t count = a.triangles.size() - first;
        if (count == 0 && !o.movable) return;
        SceneObject record;
        record.name = o.name;
        record.firstTriangle = static_cast<int32_t>(first);
        record.triangleCount = static_cast<int32_t>(count);
        record.movable = o.movable;
        a.objects.push_back(record);
        if (o.movable) {
            Movable m{};
            m.firstTriangle = static_cast<int32_t>(first);
            m.triangleCount = static_cast<int32_t>(count);
            m.bvhNode = -1;
            m.bounds = aabb();
            for (std::size_t t = first; t < a.triangles.size(); ++t) m.bounds.grow(a.triangles[t].bounds);
            a.movables.push_back(m);
        }
    }

    // Appends the triangles of one mesh placed by `xf`.
    void placeMesh(const MeshData& mesh, const Xform& xf, SceneAssembly& a) {
        const std::size_t nv = mesh.vertices;
        if (nv == 0) return;
        const bool mirror = xf.det3() < 0.0;
        std::vector<Vector3d> pos(nv);
        std::vector<char> bad(nv, 0);
        for (std::size_t i = 0; i < nv; ++i) {
            double local[3], w[3];
            vectorOf(mesh.positions, i, local);
            xf.point(local, w);
            pos[i] = toFloat(w);
            // Beyond the float range (or not a number): every face using it
            // is left out.
            if (!std::isfinite(pos[i].x) || !std::isfinite(pos[i].y) || !std::isfinite(pos[i].z)) {
                pos[i] = Vector3d(0.0f, 0.0f, 0.0f);
                bad[i] = 1;
            } else {
                framing_.grow(pos[i]);
            }
        }
        const int mat = mesh.material;
        const bool light = model_.materials[static_cast<std::size_t>(mat)].isEmissive();
        const bool uvs = mesh.uv.present();
        const bool normals = mesh.normals.present();
        std::vector<Vector3d> nrm;
        std::vector<char> goodNormal;
        if (normals) {
            nrm.resize(nv);
            goodNormal.assign(nv, 0);
            for (std::size_t i = 0; i < nv; ++i) {
                double local[3], n[3];
                vectorOf(mesh.normals, i, local);
                xf.normal(local, n);
                goodNormal[i] = finite3(n) && (n[0] != 0.0 || n[1] != 0.0 || n[2] != 0.0);
                nrm[i] = goodNormal[i] ? toFloat(n) : Vector3d();
            }
        }
        const std::vector<std::array<float, 4>> tan = normalMapped(mesh) && normals
                                                          ? vertexTangents(mesh, xf, pos, nrm, goodNormal)
                                                          : std::vector<std::array<float, 4>>();
        const std::size_t before = a.triangles.size();
        const std::size_t count = mesh.indices.triangles();
        for (std::size_t f = 0; f < count; ++f) {
            uint32_t c[3] = {mesh.indices.corner(3 * f), mesh.indices.corner(3 * f + 1),
                             mesh.indices.corner(3 * f + 2)};
            if (c[0] >= nv || c[1] >= nv || c[2] >= nv || bad[c[0]] || bad[c[1]] || bad[c[2]]) {
                ++dropped_;
                continue;
            }
            if (mirror) std::swap(c[1], c[2]);
            Triangle t{};
            t.p1 = pos[c[0]];
            t.p2 = pos[c[1]];
            t.p3 = pos[c[2]];
            const float area = length(cross(t.p1 - t.p2, t.p1 - t.p3)) / 2.0f;
            if (!(area > 0.0f) || !std::isfinite(area)) {
                ++dropped_;
                continue;
            }
            t.materialIndex = mat;
            t.isLight = light ? 1 : 0;
            if (!uvs && !normals) {
                // Flat: every corner takes the face's cross product.
                t.normal1 = t.normal2 = t.normal3 = cross(t.p2 - t.p1, t.p3 - t.p1);
            } else if (normals && goodNormal[c[0]] && goodNormal[c[1]] && goodNormal[c[2]]) {
                t.normal1 = nrm[c[0]];
                t.normal2 = nrm[c[1]];
                t.normal3 = nrm[c[2]];
            } else {
                // Smooth shading without (usable) normals: the unit face normal.
                t.normal1 = t.normal2 = t.normal3 = normalize(cross(t.p2 - t.p1, t.p3 - t.p1));
            }
            const TriangleUVs tuv = coordinates(mesh, mesh.uv, c);
            if (tuv.valid) {
                t.uv1 = tuv.uv[0];
                t.uv2 = tuv.uv[1];
                t.uv3 = tuv.uv[2];
                a.anyTriangleUVs = true;
            }
            finishTriangle(t);
            if (light) a.lightIndices.push_back(static_cast<int32_t>(a.triangles.size()));
            a.triangles.push_back(t);
            if (anyUV_) a.triangleUVs.push_back(tuv);
            if (anyUV1_) a.triangleUVs1.push_back(coordinates(mesh, mesh.uv1, c));
            if (anyColor_) a.triangleColors.push_back(colors(mesh, c));
            if (anyTangent_) {
                TriangleTangents tt{};
                if (!tan.empty())
                    for (int k = 0; k < 3; ++k)
                        for (int j = 0; j < 4; ++j) tt.t[k][j] = tan[c[k]][static_cast<std::size_t>(j)];
                a.triangleTangents.push_back(tt);
            }
        }
        if (a.triangles.size() == before) return;
        // The scene box takes every vertex of a mesh that has faces.
        for (std::size_t i = 0; i < nv; ++i)
            if (!bad[i]) a.bounds.grow(pos[i]);
    }

    bool normalMapped(const MeshData& m) const {
        const std::size_t mat = static_cast<std::size_t>(m.material);
        return mat < model_.materialMaps.size() && model_.materialMaps[mat].normal.used();
    }

    // Tangents at the vertices of a placed mesh (whose vertices have usable
    // normals): the file's, turned with the mesh (the bitangent's side
    // follows the placement, mirrored or not); or made here from the
    // coordinates the normal map reads, summed over each vertex's triangles.
    // w = 0 where there is none.
    std::vector<std::array<float, 4>> vertexTangents(const MeshData& mesh, const Xform& xf,
                                                     const std::vector<Vector3d>& pos,
                                                     const std::vector<Vector3d>& nrm,
                                                     const std::vector<char>& goodNormal) const {
        const std::size_t nv = mesh.vertices;
        std::vector<std::array<float, 4>> out(nv, {0.0f, 0.0f, 0.0f, 0.0f});
        if (mesh.tangents.present()) {
            for (std::size_t i = 0; i < nv; ++i) {
                float t[4] = {0.0f, 0.0f, 0.0f, 1.0f};
                float n[3] = {0.0f, 0.0f, 0.0f};
                mesh.tangents.get(i, t);
                mesh.normals.get(i, n);
                const double lt[3] = {t[0], t[1], t[2]};
                // The bitangent in the mesh's own space, placed like the tangent.
                const Vector3d b = cross(Vector3d(n[0], n[1], n[2]), Vector3d(t[0], t[1], t[2])) *
                                   (t[3] < 0.0f ? -1.0f : 1.0f);
                const double lb[3] = {b.x, b.y, b.z};
                double wt[3], wb[3];
                xf.vector(lt, wt);
                xf.vector(lb, wb);
                if (!goodNormal[i]) continue;
                cornerTangent(nrm[i], toFloat(wt), toFloat(wb), out[i].data());
            }
            return out;
        }
        const AttributeView& set =
            model_.materialMaps[static_cast<std::size_t>(mesh.material)].normal.uvSet == 1 &&
                    mesh.uv1.present()
                ? mesh.uv1
                : mesh.uv;
        if (!set.present()) return out;
        std::vector<Vector3d> du(nv), dv(nv);
        const std::size_t count = mesh.indices.triangles();
        const bool mirror = xf.det3() < 0.0;
        for (std::size_t f = 0; f < count; ++f) {
            uint32_t c[3] = {mesh.indices.corner(3 * f), mesh.indices.corner(3 * f + 1),
                             mesh.indices.corner(3 * f + 2)};
            if (c[0] >= nv || c[1] >= nv || c[2] >= nv) continue;
            if (mirror) std::swap(c[1], c[2]);
            const TriangleUVs t = coordinates(mesh, set, c);
            Vector3d u, v;
            if (!uvDirections(pos[c[0]], pos[c[1]], pos[c[2]], t.uv[0], t.uv[1], t.uv[2], u, v)) continue;
            for (uint32_t k : c) {
                du[k] += u;
                dv[k] += v;
            }
        }
        for (std::size_t i = 0; i < nv; ++i)
            if (goodNormal[i]) cornerTangent(nrm[i], du[i], dv[i], out[i].data());
        return out;
    }

    // The coordinates of a face's corners from one set (none without it).
    static TriangleUVs coordinates(const MeshData& mesh, const AttributeView& set, const uint32_t c[3]) {
        TriangleUVs tuv;
        if (!set.present()) return tuv;
        for (int k = 0; k < 3; ++k) {
            float uv[2] = {0.0f, 0.0f};
            set.get(c[k], uv);
            if (mesh.flipV) uv[1] = 1.0f - uv[1];
            tuv.uv[k].u = std::isfinite(uv[0]) ? uv[0] : 0.0f;
            tuv.uv[k].v = std::isfinite(uv[1]) ? uv[1] : 0.0f;
        }
        tuv.valid = 1;
        return tuv;
    }

    // The vertex colours of a face's corners (white without them; opaque
    // where they have no alpha).
    static TriangleColors colors(const MeshData& mesh, const uint32_t c[3]) {
        TriangleColors out = whiteCorners();
        if (!mesh.colors.present()) return out;
        for (int k = 0; k < 3; ++k) {
            float v[4] = {1.0f, 1.0f, 1.0f, 1.0f};
            mesh.colors.get(c[k], v);
            for (int ch = 0; ch < 4; ++ch)
                out.rgba[k][ch] = std::isfinite(v[ch]) ? std::max(v[ch], 0.0f) : 1.0f;
        }
        return out;
    }

    // ---- camera ----------------------------------------------------------------

    bool camera(ImportedScene& out) {
        const CameraSource& src = model_.camera;
        double eye[3] = {0, 0, 0}, dir[3] = {0, 0, -1}, up[3] = {0, 1, 0};
        double aspect = 0.0, tanHalfY = 0.0;
        bool fromFile = false;
        if (src.present && !src.orthographic) {
            const Xform world = cameraPlaced_ ? cameraWorld_ : Xform();
            world.point(src.position, eye);
            world.vector(src.lookAt, dir);
            world.vector(src.up, up);
            aspect = src.aspect > 0.0 ? src.aspect : 0.0;
            tanHalfY = src.tanHalfY;
            const double t = tanHalfY > 0.0 ? tanHalfY : src.tanHalfX;
            fromFile = finite3(eye) && finite3(dir) && finite3(up) && t > 0.0 && std::isfinite(t);
            if (!fromFile)
                std::printf("%s: camera \"%s\" is unusable; a camera framing the scene is used\n",
                            path_.c_str(), src.name.c_str());
        } else if (src.present) {
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
        if (fromFile && !(tanHalfY > 0.0)) tanHalfY = src.tanHalfX * H / W;
        if (!fromFile) {
            tanHalfY = std::tan(22.5 * kPi / 180.0);
            aspect = static_cast<double>(W) / H;
            const Vector3d c = (framing_.min + framing_.max) * 0.5f;
            const double r = 0.5 * length(framing_.max - framing_.min);
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
        const double lookat[3] = {eye[0] + dir[0] / len, eye[1] + dir[1] / len, eye[2] + dir[2] / len};
        const double nearDist = static_cast<double>(w.top) / tanHalfY;
        const double check[] = {eye[0],    eye[1], eye[2], lookat[0], lookat[1],
                                lookat[2], up[0],  up[1],  up[2],     nearDist};
        for (double v : check) {
            if (!std::isfinite(static_cast<float>(v))) {
                std::printf(
                    "%s: the camera lies outside the range of single-precision coordinates (the "
                    "model is too large or its numbers are broken)\n",
                    path_.c_str());
                return false;
            }
        }
        ImportedCamera& c = out.camera;
        c.width = W;
        c.height = H;
        c.eye = toFloat(eye);
        c.lookat = toFloat(lookat);
        c.up = toFloat(up);
        c.nearDistance = static_cast<float>(nearDist);
        Camera& cam = out.assembly.camera;
        cam.setCamera(c.eye, c.lookat, c.up, w.left, w.right, w.bottom, w.top, c.nearDistance, W, H);
        const float made[] = {cam.direction.x,       cam.direction.y,       cam.direction.z,
                              cam.planeCorner.x,     cam.planeCorner.y,     cam.planeCorner.z,
                              cam.planeHorizontal.x, cam.planeHorizontal.y, cam.planeHorizontal.z,
                              cam.planeVertical.x,   cam.planeVertical.y,   cam.planeVertical.z};
        for (float v : made) {
            if (!std::isfinite(v)) {
                std::printf("%s: the camera has no view direction (its up vector is parallel to the view)\n",
                            path_.c_str());
                return false;
            }
        }
        out.assembly.haveCamera = true;
        return true;
    }

    std::string path_;
    ImportOptions opt_;
    Model& model_;
    std::vector<ObjectOut> objects_;
    bool movableFound_ = false;
    bool cameraPlaced_ = false;
    Xform cameraWorld_;
    std::vector<std::pair<std::size_t, Xform>> placedLights_;  // light, its node's placement
    std::size_t visits_ = 0;
    // Some mesh has texture coordinates (of the first or second set), vertex
    // colours: every triangle gets its entry of that array.
    bool anyUV_ = false, anyUV1_ = false, anyColor_ = false, anyTangent_ = false;
    aabb framing_;  // every finite vertex placed: frames a camera when the file has none
    int dropped_ = 0;
};

// Whether the file starts as a PLY file does: such files are read here
// (readPly), whatever their extension, and never by the asset library.
bool startsAsPly(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    char magic[3] = {};
    return f.read(magic, 3) && std::tolower(static_cast<unsigned char>(magic[0])) == 'p' &&
           std::tolower(static_cast<unsigned char>(magic[1])) == 'l' &&
           std::tolower(static_cast<unsigned char>(magic[2])) == 'y';
}

}  // namespace

bool assembleModel(const std::string& path, const ImportOptions& options, Model& model, ImportedScene& out) {
    Assembler a(path, options, model);
    return a.run(out);
}

}  // namespace import

bool isImportablePath(const std::string& path) {
    std::error_code ec;
    if (fs::is_directory(path, ec)) return false;
    const std::string ext = import::lower(fs::path(path).extension().string());
    if (ext.size() < 2) return false;
    if (ext == ".gltf" || ext == ".glb") return true;
    Assimp::Importer importer;
    return importer.IsExtensionSupported(ext.c_str());
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
    const std::string ext = import::lower(fs::path(path).extension().string());
    import::Model model;
    ImportedScene result;
    try {
        const bool read = ext == ".gltf" || ext == ".glb" ? import::readGltf(path, options, model)
                          : ext == ".ply" || import::startsAsPly(path)
                              ? import::readPly(path, options, model)
                              : import::readWithAssetLibrary(path, options, model);
        if (!read) return false;
        result.source = fs::path(path).filename().string();
        if (!import::assembleModel(path, options, model, result)) return false;
    } catch (const std::bad_alloc&) {
        std::printf("%s: not enough memory to hold the model's scene\n", path.c_str());
        return false;
    }
    out = std::move(result);
    std::fflush(stdout);
    return true;
}

}  // namespace lumenar
