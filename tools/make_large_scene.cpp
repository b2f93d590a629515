// lumenar-make-large-scene: writes a scene of many triangles for stress tests
// and benchmarks: a floor, an area light and a grid of finely tessellated
// spheres in five materials, or a terrain.
//
//   lumenar-make-large-scene [-o FILE] [--grid N] [--slices S] [--sky IMAGE]
//   lumenar-make-large-scene [-o FILE] --heightfield N
//
// N x N spheres of S slices and S/2 stacks each (defaults 6 and 96: 324,868
// triangles). With --sky the scene has no area light: the environment image
// IMAGE (a path relative to the scene file) lights it, and the camera comes
// closer. --heightfield N writes a rolling terrain of N x N quads (2 N^2
// triangles, plus two for the lamp above it) seen at 160 x 120 pixels:
// 1000 gives two million triangles, 2237 ten million. Written atomically
// when -o is given, else to standard output; the text goes out as it is
// made, so a terrain of any size needs little memory.
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char* kHeader = R"(Large scene: a grid of tessellated spheres
camera
resolution 384 256
eye 0 7 16
lookat 0 0.8 0
up 0 1 0
near 2.2
bgcolor
0.05 0.06 0.08
material
6

)";

struct MaterialSpec {
    const char* name;
    const char* base;
    const char* emission;
    float metalness, roughness, transparency, ior;
};

const MaterialSpec kMaterials[] = {
    {"floor", "0.7 0.7 0.7", "0 0 0", 0.0f, 0.8f, 0.0f, 1.5f},
    {"light", "0 0 0", "12 11 10", 0.0f, 1.0f, 0.0f, 1.0f},
    {"clay", "0.75 0.35 0.2", "0 0 0", 0.0f, 0.6f, 0.0f, 1.5f},
    {"gold", "1 0.78 0.34", "0 0 0", 1.0f, 0.25f, 0.0f, 1.5f},
    {"glass", "1 1 1", "0 0 0", 0.0f, 0.02f, 1.0f, 1.5f},
    {"jade", "0.3 0.7 0.45", "0 0 0", 0.0f, 0.35f, 0.0f, 1.6f},
};

void append(std::string& out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void append(std::string& out, const char* fmt, ...) {
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    const int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    out.append(buf, static_cast<std::size_t>(n));
}

bool parsePositive(const char* text, int& out) {
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < 1 || v > 4096) return false;
    out = static_cast<int>(v);
    return true;
}

// Where the text goes: standard output, or a temporary file renamed over
// FILE at the end. The text is handed on in blocks as it grows.
class Sink {
 public:
    explicit Sink(const std::string& output) : output_(output) {}
    bool open() {
        if (output_.empty()) {
            file_ = stdout;
            return true;
        }
        tmp_ = output_ + ".tmp";
        file_ = std::fopen(tmp_.c_str(), "wb");
        if (!file_)
            std::fprintf(stderr, "lumenar-make-large-scene: cannot write %s: %s\n", tmp_.c_str(),
                         std::strerror(errno));
        return file_ != nullptr;
    }
    // Writes what `text` holds once it is large; keeps the rest.
    void drain(std::string& text, std::size_t atLeast = std::size_t{1} << 20) {
        if (text.size() < atLeast || !ok_) return;
        ok_ = std::fwrite(text.data(), 1, text.size(), file_) == text.size();
        text.clear();
    }
    bool finish(std::string& text) {
        drain(text, 0);
        if (output_.empty()) return ok_ && std::fflush(stdout) == 0;
        const bool closed = std::fclose(file_) == 0;
        if (!ok_ || !closed || std::rename(tmp_.c_str(), output_.c_str()) != 0) {
            std::fprintf(stderr, "lumenar-make-large-scene: cannot write %s\n", output_.c_str());
            std::remove(tmp_.c_str());
            return false;
        }
        return true;
    }

 private:
    std::string output_, tmp_;
    std::FILE* file_ = nullptr;
    bool ok_ = true;
};

void appendMaterials(std::string& out) {
    int index = 0;
    for (const MaterialSpec& m : kMaterials) {
        append(out,
               "mtl %d %s\nbasecolor %s\nspecular 0.04 0.04 0.04\nemission %s\ntransmission 1 1 1\n"
               "metalness %g\nanisotropic False\nroughness %g\nroughnessY %g\ntransparency %g\nIOR %g\n"
               "tex 0\nrsc 0\nabsorption 0 0 0\n",
               index++, m.name, m.base, m.emission, m.metalness, m.roughness, m.roughness, m.transparency,
               m.ior);
    }
}

// Height of the terrain at (x, z): rolling hills with ridges and fine
// ripples, so that no two cells are alike and nothing is flat.
float terrainHeight(float x, float z) {
    return 0.9f * std::sin(0.31f * x) * std::cos(0.27f * z) + 0.35f * std::sin(1.3f * x + 0.9f * z) +
           0.12f * std::cos(3.1f * x - 2.3f * z) + 0.03f * std::sin(11.0f * x) * std::sin(13.0f * z);
}

// A terrain of n x n quads over [-12, 12]^2 and a lamp above it.
long writeTerrain(std::string& out, Sink& sink, int n) {
    out = "Terrain: a heightfield of " + std::to_string(2l * n * n) + " triangles\n";
    out +=
        "camera\nresolution 160 120\neye 0 9 17\nlookat 0 0 0\nup 0 1 0\nnear 2.2\nbgcolor\n"
        "0.05 0.06 0.08\nmaterial\n6\n\n";
    appendMaterials(out);
    out += "mesh\n2\n\n";
    out += "o 0 lamp\nv -3 10 -3\nv 3 10 -3\nv 3 10 3\nv -3 10 3\nusemtl 1 light\ns off\n";
    out += "f 1 2 3\nf 1 3 4\n";
    out += "o 1 terrain\n";
    const float extent = 24.0f, step = extent / static_cast<float>(n);
    for (int j = 0; j <= n; ++j) {
        const float z = -0.5f * extent + step * static_cast<float>(j);
        for (int i = 0; i <= n; ++i) {
            const float x = -0.5f * extent + step * static_cast<float>(i);
            append(out, "v %.6g %.6g %.6g\n", x, terrainHeight(x, z), z);
        }
        sink.drain(out);
    }
    out += "usemtl 2 clay\ns off\n";
    const long row = n + 1;
    for (long j = 0; j < n; ++j) {
        for (long i = 0; i < n; ++i) {
            const long a = 5 + j * row + i, b = a + 1, c = a + row + 1, d = a + row;  // lamp: 1..4
            append(out, "f %ld %ld %ld\nf %ld %ld %ld\n", a, c, b, a, d, c);
        }
        sink.drain(out);
    }
    return 2l * n * n + 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string output, sky;
    int grid = 6, slices = 96, terrain = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "-o" && i + 1 < argc) {
            output = argv[++i];
        } else if (a == "--grid" && i + 1 < argc && parsePositive(argv[i + 1], grid)) {
            ++i;
        } else if (a == "--slices" && i + 1 < argc && parsePositive(argv[i + 1], slices) && slices >= 4) {
            ++i;
        } else if (a == "--sky" && i + 1 < argc) {
            sky = argv[++i];
        } else if (a == "--heightfield" && i + 1 < argc && parsePositive(argv[i + 1], terrain)) {
            ++i;
        } else {
            std::fprintf(stderr,
                         "usage: lumenar-make-large-scene [-o FILE] [--grid N] [--slices S (>= 4)] [--sky "
                         "IMAGE]\n       lumenar-make-large-scene [-o FILE] --heightfield N (<= 4096)\n");
            return 2;
        }
    }
    Sink sink(output);
    if (!sink.open()) return 1;
    std::string out;
    if (terrain > 0) {
        const long triangles = writeTerrain(out, sink, terrain);
        std::fprintf(stderr, "lumenar-make-large-scene: 2 objects, %ld triangles\n", triangles);
        return sink.finish(out) ? 0 : 1;
    }
    const int stacks = slices / 2;

    out = kHeader;
    if (!sky.empty()) {
        // Lit by the sky alone, seen from closer by.
        const float reach = grid * 1.2f;
        out = "Spheres under a sky\ncamera\nresolution 384 256\n";
        append(out, "eye 0 %.3g %.3g\nlookat 0 0.7 0\nup 0 1 0\nnear 2.2\nbgcolor\n0 0 0\n", reach * 1.1f,
               reach * 3.6f);
        out += "envmap\n1\n" + sky + "\nmaterial\n6\n\n";
    }
    const bool light = sky.empty();
    appendMaterials(out);
    const int first = light ? 2 : 1;  // object index of the first sphere
    const int objects = first + grid * grid;
    append(out, "mesh\n%d\n\n", objects);
    // Floor and light: flat quads facing up and down.
    append(out, "o 0 floor\nv -12 0 -12\nv -12 0 12\nv 12 0 12\nv 12 0 -12\nusemtl 0 floor\ns off\n");
    append(out, "f 1 2 3\nf 1 3 4\n");
    int base = 4;  // vertices (and, for the spheres, normals) written so far
    long triangles = 2;
    if (light) {
        append(out, "o 1 light\nv -2 9 -2\nv 2 9 -2\nv 2 9 2\nv -2 9 2\nusemtl 1 light\ns off\n");
        append(out, "f 5 6 7\nf 5 7 8\n");
        base = 8;
        triangles = 4;
    }
    int normalBase = 0;
    const float spacing = 2.4f, radius = 0.9f;
    const float pi = 3.14159265358979f;
    for (int gz = 0; gz < grid; ++gz) {
        for (int gx = 0; gx < grid; ++gx) {
            const int k = first + gz * grid + gx;
            const float cx = (gx - (grid - 1) * 0.5f) * spacing;
            const float cz = (gz - (grid - 1) * 0.5f) * spacing;
            const float cy = radius;
            append(out, "o %d sphere%d\n", k, k);
            // Poles once each, then the rings between them.
            append(out, "v %.6g %.6g %.6g\n", cx, cy + radius, cz);
            for (int s = 1; s < stacks; ++s) {
                const float th = pi * s / stacks;
                for (int l = 0; l < slices; ++l) {
                    const float ph = 2 * pi * l / slices;
                    append(out, "v %.6g %.6g %.6g\n", cx + radius * std::sin(th) * std::cos(ph),
                           cy + radius * std::cos(th), cz + radius * std::sin(th) * std::sin(ph));
                }
            }
            append(out, "v %.6g %.6g %.6g\n", cx, cy - radius, cz);
            append(out, "vn 0 1 0\n");
            for (int s = 1; s < stacks; ++s) {
                const float th = pi * s / stacks;
                for (int l = 0; l < slices; ++l) {
                    const float ph = 2 * pi * l / slices;
                    append(out, "vn %.5f %.5f %.5f\n", std::sin(th) * std::cos(ph), std::cos(th),
                           std::sin(th) * std::sin(ph));
                }
            }
            append(out, "vn 0 -1 0\n");
            const int material = 2 + (gx + gz) % 4;
            append(out, "usemtl %d %s\ns on\n", material, kMaterials[material].name);
            // Local index 0 is the top pole, 1 + (s-1)*slices + l a ring vertex, last the bottom pole.
            const int last = 1 + (stacks - 1) * slices;
            auto ring = [&](int s, int l) { return 1 + (s - 1) * slices + (l % slices); };
            auto face = [&](int a, int b, int c) {
                append(out, "f %d//%d %d//%d %d//%d\n", base + a + 1, normalBase + a + 1, base + b + 1,
                       normalBase + b + 1, base + c + 1, normalBase + c + 1);
                ++triangles;
            };
            for (int l = 0; l < slices; ++l) face(0, ring(1, l + 1), ring(1, l));
            for (int s = 1; s + 1 < stacks; ++s)
                for (int l = 0; l < slices; ++l) {
                    face(ring(s, l), ring(s, l + 1), ring(s + 1, l + 1));
                    face(ring(s, l), ring(s + 1, l + 1), ring(s + 1, l));
                }
            for (int l = 0; l < slices; ++l) face(last, ring(stacks - 1, l), ring(stacks - 1, l + 1));
            base += last + 1;
            normalBase += last + 1;
            sink.drain(out);
        }
    }
    std::fprintf(stderr, "lumenar-make-large-scene: %d objects, %ld triangles\n", objects, triangles);

    return sink.finish(out) ? 0 : 1;
}
