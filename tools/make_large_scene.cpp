// lumenar-make-large-scene: writes a scene of many triangles for stress tests
// and benchmarks: a floor, an area light and a grid of finely tessellated
// spheres in five materials.
//
//   lumenar-make-large-scene [-o FILE] [--grid N] [--slices S] [--sky IMAGE]
//
// N x N spheres of S slices and S/2 stacks each (defaults 6 and 96: 324,868
// triangles). With --sky the scene has no area light: the environment image
// IMAGE (a path relative to the scene file) lights it, and the camera comes
// closer. Written atomically when -o is given, else to standard output.
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

}  // namespace

int main(int argc, char** argv) {
    std::string output, sky;
    int grid = 6, slices = 96;
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
        } else {
            std::fprintf(
                stderr,
                "usage: lumenar-make-large-scene [-o FILE] [--grid N] [--slices S (>= 4)] [--sky IMAGE]\n");
            return 2;
        }
    }
    const int stacks = slices / 2;

    std::string out = kHeader;
    if (!sky.empty()) {
        // Lit by the sky alone, seen from closer by.
        const float reach = grid * 1.2f;
        out = "Spheres under a sky\ncamera\nresolution 384 256\n";
        append(out, "eye 0 %.3g %.3g\nlookat 0 0.7 0\nup 0 1 0\nnear 2.2\nbgcolor\n0 0 0\n", reach * 1.1f,
               reach * 3.6f);
        out += "envmap\n1\n" + sky + "\nmaterial\n6\n\n";
    }
    const bool light = sky.empty();
    int index = 0;
    for (const MaterialSpec& m : kMaterials) {
        append(out,
               "mtl %d %s\nbasecolor %s\nspecular 0.04 0.04 0.04\nemission %s\ntransmission 1 1 1\n"
               "metalness %g\nanisotropic False\nroughness %g\nroughnessY %g\ntransparency %g\nIOR %g\n"
               "tex 0\nrsc 0\nabsorption 0 0 0\n",
               index++, m.name, m.base, m.emission, m.metalness, m.roughness, m.roughness, m.transparency,
               m.ior);
    }

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
        }
    }
    std::fprintf(stderr, "lumenar-make-large-scene: %d objects, %ld triangles\n", objects, triangles);

    if (output.empty()) return std::fwrite(out.data(), 1, out.size(), stdout) == out.size() ? 0 : 1;
    const std::string tmp = output + ".tmp";
    std::FILE* f = std::fopen(tmp.c_str(), "wb");
    if (!f) {
        std::fprintf(stderr, "lumenar-make-large-scene: cannot write %s: %s\n", tmp.c_str(),
                     std::strerror(errno));
        return 1;
    }
    const bool ok = std::fwrite(out.data(), 1, out.size(), f) == out.size();
    if (std::fclose(f) != 0 || !ok || std::rename(tmp.c_str(), output.c_str()) != 0) {
        std::fprintf(stderr, "lumenar-make-large-scene: cannot write %s\n", output.c_str());
        std::remove(tmp.c_str());
        return 1;
    }
    return 0;
}
