// lumenar-obj2mesh: converts Wavefront OBJ models into the numbered mesh
// objects of a scene file, so that models made elsewhere can be rendered.
//
//   lumenar-obj2mesh [--header FILE] [-o OUT] [object options] model.obj
//                    [[object options] model.obj ...]
//
// Every OBJ file becomes one mesh object, numbered in command-line order.
// Object options apply to the OBJ file that follows them and are reset after
// it:
//   --material N         material of every face (default 0)
//   --movable            the object is the movable one ("movable True")
//   --smooth             write vertex normals and "s on" faces; the model's
//                        own normals are used when every face corner has one,
//                        otherwise area-weighted normals are computed
//   --scale S            uniform scale, applied before --translate
//   --translate X Y Z    offset added to every vertex
//   --name NAME          object name (default: the file name without extension)
// Output options:
//   --header FILE        copy FILE (title line and the blocks before the mesh:
//                        camera, materials, ...) in front of the mesh block,
//                        giving a complete scene file
//   -o FILE              write there (atomically) instead of standard output
#include <tiny_obj_loader.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct ObjectSpec {
    std::string path;
    std::string name;
    int material = 0;
    bool movable = false;
    bool smooth = false;
    float scale = 1.0f;
    float translate[3] = {0, 0, 0};
};

struct Options {
    std::string header;
    std::string output;
    std::vector<ObjectSpec> objects;
};

void usage() {
    std::fprintf(stderr,
                 "usage: lumenar-obj2mesh [--header FILE] [-o OUT] [--material N] [--movable] [--smooth]\n"
                 "                        [--scale S] [--translate X Y Z] [--name NAME] model.obj ...\n");
}

bool parseNumber(const char* text, float& out) {
    char* end = nullptr;
    errno = 0;
    out = std::strtof(text, &end);
    return end != text && *end == '\0' && errno == 0 && std::isfinite(out);
}

bool parseInt(const char* text, int& out) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || v < 0 || v > 0x7fffffff) return false;
    out = static_cast<int>(v);
    return true;
}

std::string stem(const std::string& path) {
    std::string s = path.substr(path.find_last_of('/') == std::string::npos ? 0 : path.find_last_of('/') + 1);
    const std::size_t dot = s.find_last_of('.');
    if (dot != std::string::npos && dot > 0) s.resize(dot);
    for (char& c : s)
        if (c == ' ' || c == '\t') c = '_';
    return s.empty() ? "object" : s;
}

bool parseArguments(int argc, char** argv, Options& opt) {
    ObjectSpec next;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto need = [&](int n) {
            if (i + n >= argc) {
                std::fprintf(stderr, "lumenar-obj2mesh: %s needs %d value%s\n", a.c_str(), n,
                             n > 1 ? "s" : "");
                return false;
            }
            return true;
        };
        if (a == "--header") {
            if (!need(1)) return false;
            opt.header = argv[++i];
        } else if (a == "-o") {
            if (!need(1)) return false;
            opt.output = argv[++i];
        } else if (a == "--material") {
            if (!need(1) || !parseInt(argv[i + 1], next.material)) {
                std::fprintf(stderr, "lumenar-obj2mesh: --material needs a material number\n");
                return false;
            }
            ++i;
        } else if (a == "--movable") {
            next.movable = true;
        } else if (a == "--smooth") {
            next.smooth = true;
        } else if (a == "--scale") {
            if (!need(1) || !parseNumber(argv[i + 1], next.scale)) {
                std::fprintf(stderr, "lumenar-obj2mesh: --scale needs a finite number\n");
                return false;
            }
            ++i;
        } else if (a == "--translate") {
            if (!need(3)) return false;
            for (int k = 0; k < 3; ++k) {
                if (!parseNumber(argv[i + 1 + k], next.translate[k])) {
                    std::fprintf(stderr, "lumenar-obj2mesh: --translate needs three finite numbers\n");
                    return false;
                }
            }
            i += 3;
        } else if (a == "--name") {
            if (!need(1)) return false;
            next.name = argv[++i];
            if (next.name.empty() || next.name.find_first_of(" \t\r\n") != std::string::npos ||
                next.name.size() > 127) {
                std::fprintf(stderr, "lumenar-obj2mesh: --name needs one word of at most 127 characters\n");
                return false;
            }
        } else if (a == "-h" || a == "--help") {
            usage();
            std::exit(0);
        } else if (!a.empty() && a[0] == '-') {
            std::fprintf(stderr, "lumenar-obj2mesh: unknown option %s\n", a.c_str());
            usage();
            return false;
        } else {
            next.path = a;
            if (next.name.empty()) next.name = stem(a);
            opt.objects.push_back(next);
            next = ObjectSpec();
        }
    }
    if (opt.objects.empty()) {
        usage();
        return false;
    }
    return true;
}

struct Counts {
    std::size_t vertices = 0, uvs = 0, normals = 0;
};

void writeNumber(std::string& out, float v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.7g", static_cast<double>(v));
    out += buf;
}

void writeTriple(std::string& out, const char* key, float x, float y, float z) {
    out += key;
    out += ' ';
    writeNumber(out, x);
    out += ' ';
    writeNumber(out, y);
    out += ' ';
    writeNumber(out, z);
    out += '\n';
}

// Appends one mesh object; indices continue after the lists written so far.
bool convert(const ObjectSpec& spec, int number, Counts& counts, std::string& out) {
    tinyobj::ObjReaderConfig config;
    config.triangulate = true;
    config.vertex_color = false;
    config.mtl_search_path = "";
    tinyobj::ObjReader reader;
    if (!reader.ParseFromFile(spec.path, config)) {
        std::fprintf(stderr, "lumenar-obj2mesh: %s: %s\n", spec.path.c_str(),
                     reader.Error().empty() ? "cannot read the model" : reader.Error().c_str());
        return false;
    }
    const tinyobj::attrib_t& attrib = reader.GetAttrib();
    const std::size_t nv = attrib.vertices.size() / 3;
    const std::size_t nt = attrib.texcoords.size() / 2;
    const std::size_t nn = attrib.normals.size() / 3;

    struct Corner {
        int v, t, n;
    };
    std::vector<Corner> corners;
    bool allNormals = true, allUVs = true;
    for (const tinyobj::shape_t& shape : reader.GetShapes()) {
        std::size_t offset = 0;
        for (std::size_t f = 0; f < shape.mesh.num_face_vertices.size(); ++f) {
            const std::size_t n = shape.mesh.num_face_vertices[f];
            if (n == 3) {
                for (std::size_t k = 0; k < 3; ++k) {
                    const tinyobj::index_t idx = shape.mesh.indices[offset + k];
                    if (idx.vertex_index < 0 || static_cast<std::size_t>(idx.vertex_index) >= nv ||
                        idx.texcoord_index >= static_cast<int>(nt) ||
                        idx.normal_index >= static_cast<int>(nn)) {
                        std::fprintf(stderr,
                                     "lumenar-obj2mesh: %s: face %zu of \"%s\" refers to missing data\n",
                                     spec.path.c_str(), f + 1, shape.name.c_str());
                        return false;
                    }
                    allNormals = allNormals && idx.normal_index >= 0;
                    allUVs = allUVs && idx.texcoord_index >= 0;
                    corners.push_back({idx.vertex_index, idx.texcoord_index, idx.normal_index});
                }
            }
            offset += n;
        }
    }
    if (corners.empty()) {
        allNormals = false;
        allUVs = false;
    }

    std::vector<float> pos(attrib.vertices.size());
    for (std::size_t i = 0; i < nv; ++i)
        for (int k = 0; k < 3; ++k)
            pos[i * 3 + k] = attrib.vertices[i * 3 + k] * spec.scale + spec.translate[k];

    out += "o " + std::to_string(number) + " " + spec.name + "\n";
    if (spec.movable) out += "movable True\n";
    for (std::size_t i = 0; i < nv; ++i) writeTriple(out, "v", pos[i * 3], pos[i * 3 + 1], pos[i * 3 + 2]);

    const bool writeUVs = spec.smooth && allUVs;
    if (writeUVs) {
        for (std::size_t i = 0; i < nt; ++i) {
            out += "vt ";
            writeNumber(out, attrib.texcoords[i * 2]);
            out += ' ';
            writeNumber(out, attrib.texcoords[i * 2 + 1]);
            out += '\n';
        }
    }
    // Normals: the model's own, or one per position from the faces around it.
    std::size_t normalsWritten = 0;
    if (spec.smooth) {
        if (allNormals) {
            const float flip = spec.scale < 0 ? -1.0f : 1.0f;
            for (std::size_t i = 0; i < nn; ++i)
                writeTriple(out, "vn", attrib.normals[i * 3] * flip, attrib.normals[i * 3 + 1] * flip,
                            attrib.normals[i * 3 + 2] * flip);
            normalsWritten = nn;
        } else {
            std::vector<double> acc(nv * 3, 0.0);
            for (std::size_t c = 0; c < corners.size(); c += 3) {
                const float* a = &pos[corners[c].v * 3];
                const float* b = &pos[corners[c + 1].v * 3];
                const float* d = &pos[corners[c + 2].v * 3];
                const double e1[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]};
                const double e2[3] = {d[0] - a[0], d[1] - a[1], d[2] - a[2]};
                const double n[3] = {e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2],
                                     e1[0] * e2[1] - e1[1] * e2[0]};
                for (int k = 0; k < 3; ++k)
                    for (int j = 0; j < 3; ++j) acc[corners[c + k].v * 3 + j] += n[j];
            }
            for (std::size_t i = 0; i < nv; ++i) {
                const double* n = &acc[i * 3];
                const double len = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
                if (len > 0)
                    writeTriple(out, "vn", static_cast<float>(n[0] / len), static_cast<float>(n[1] / len),
                                static_cast<float>(n[2] / len));
                else
                    writeTriple(out, "vn", 0.0f, 1.0f, 0.0f);
            }
            normalsWritten = nv;
        }
    }

    out += "usemtl " + std::to_string(spec.material) + " m" + std::to_string(spec.material) + "\n";
    out += spec.smooth ? "s on\n" : "s off\n";
    for (std::size_t c = 0; c < corners.size(); c += 3) {
        out += 'f';
        for (int k = 0; k < 3; ++k) {
            const Corner& cn = corners[c + k];
            const std::size_t v = counts.vertices + cn.v + 1;
            const std::size_t n = counts.normals + (allNormals ? cn.n : cn.v) + 1;
            out += ' ';
            out += std::to_string(v);
            if (spec.smooth) {
                out += '/';
                if (writeUVs) out += std::to_string(counts.uvs + cn.t + 1);
                out += '/';
                out += std::to_string(n);
            }
        }
        out += '\n';
    }
    counts.vertices += nv;
    counts.uvs += writeUVs ? nt : 0;
    counts.normals += normalsWritten;
    std::fprintf(stderr, "lumenar-obj2mesh: object %d \"%s\": %zu vertices, %zu triangles\n", number,
                 spec.name.c_str(), nv, corners.size() / 3);
    return true;
}

bool writeFile(const std::string& path, const std::string& text) {
    const std::string tmp = path + ".tmp";
    std::FILE* f = std::fopen(tmp.c_str(), "wb");
    if (!f) {
        std::fprintf(stderr, "lumenar-obj2mesh: cannot write %s: %s\n", tmp.c_str(), std::strerror(errno));
        return false;
    }
    const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    if (std::fclose(f) != 0 || !ok || std::rename(tmp.c_str(), path.c_str()) != 0) {
        std::fprintf(stderr, "lumenar-obj2mesh: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
        std::remove(tmp.c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (!parseArguments(argc, argv, opt)) return 2;

    std::string out;
    if (!opt.header.empty()) {
        std::ifstream h(opt.header, std::ios::binary);
        if (!h) {
            std::fprintf(stderr, "lumenar-obj2mesh: cannot read %s\n", opt.header.c_str());
            return 1;
        }
        std::ostringstream ss;
        ss << h.rdbuf();
        out = ss.str();
        if (!out.empty() && out.back() != '\n') out += '\n';
    }
    out += "mesh\n" + std::to_string(opt.objects.size()) + "\n\n";
    Counts counts;
    for (std::size_t i = 0; i < opt.objects.size(); ++i)
        if (!convert(opt.objects[i], static_cast<int>(i), counts, out)) return 1;

    if (opt.output.empty()) return std::fwrite(out.data(), 1, out.size(), stdout) == out.size() ? 0 : 1;
    return writeFile(opt.output, out) ? 0 : 1;
}
