// Writes the seed corpora of the fuzz targets into the folder given.
//   make_fuzz_seeds import DIR: glTF (text and binary, with embedded
//     textures, cameras, lights, instances and transforms), OBJ (texture
//     coordinates, normals, negative indices, several objects and materials)
//     and PLY (ASCII, both binary byte orders, normals, colours, texture
//     coordinates, quads) files of the kinds the import tests write, each
//     starting with its type byte as fuzz_import reads it.
//   make_fuzz_seeds merge DIR: recorded renders as lumenar-render --hdr
//     writes them (floats and halves, several sizes and ranges), and the
//     same images stored with each compression OpenEXR has, tiled and with
//     their channels as halves.
#include <OpenImageIO/imageio.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "app/image_output.h"
#include "gltf_writer.h"

namespace fs = std::filesystem;
using lumenar::test::GltfWriter;

namespace {

enum Type : char { kGlb = 0, kGltf = 1, kObj = 2, kPly = 3 };

fs::path outDir;
int written = 0;

void seed(Type type, const std::string& name, const std::string& bytes) {
    std::ofstream f(outDir / name, std::ios::binary);
    f << type << bytes;
    ++written;
}

std::string fileBytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// A small PNG (RGBA or grey), encoded by the image library.
std::vector<uint8_t> png(int w, int h, int channels) {
    const std::string path = (outDir / "tmp_seed.png").string();
    std::vector<uint8_t> px(static_cast<std::size_t>(w * h * channels));
    for (std::size_t i = 0; i < px.size(); ++i) px[i] = static_cast<uint8_t>(37 * i + 11);
    auto out = OIIO::ImageOutput::create(path);
    if (!out || !out->open(path, OIIO::ImageSpec(w, h, channels, OIIO::TypeDesc::UINT8)) ||
        !out->write_image(OIIO::TypeDesc::UINT8, px.data()) || !out->close())
        return {};
    const std::string b = fileBytes(path);
    fs::remove(path);
    return std::vector<uint8_t>(b.begin(), b.end());
}

GltfWriter::Mesh quad(int material, bool normals, bool uvs, bool indexed) {
    GltfWriter::Mesh m;
    const float p[4][3] = {{-1, -1, 0}, {1, -1, 0}, {1, 1, 0}, {-1, 1, 0}};
    const uint32_t tri[6] = {0, 1, 2, 0, 2, 3};
    if (indexed) {
        for (const auto& v : p) m.positions.insert(m.positions.end(), v, v + 3);
        m.indices.assign(tri, tri + 6);
        if (normals)
            for (int i = 0; i < 4; ++i) m.normals.insert(m.normals.end(), {0.0f, 0.0f, 1.0f});
        if (uvs) m.uvs = {0, 1, 1, 1, 1, 0, 0, 0};
    } else {
        for (uint32_t i : tri) {
            m.positions.insert(m.positions.end(), p[i], p[i] + 3);
            if (normals) m.normals.insert(m.normals.end(), {0.0f, 0.0f, 1.0f});
            if (uvs) m.uvs.insert(m.uvs.end(), {p[i][0] * 0.5f + 0.5f, 0.5f - p[i][1] * 0.5f});
        }
    }
    m.material = material;
    return m;
}

std::string pbr(double r, double g, double b, double metallic, double roughness, const std::string& extra) {
    return "\"pbrMetallicRoughness\":{\"baseColorFactor\":[" + GltfWriter::num(r) + "," + GltfWriter::num(g) +
           "," + GltfWriter::num(b) + ",1],\"metallicFactor\":" + GltfWriter::num(metallic) +
           ",\"roughnessFactor\":" + GltfWriter::num(roughness) + extra + "}";
}

void writeGltfSeeds() {
    const double s = std::sqrt(0.5);
    for (int variant = 0; variant < 6; ++variant) {
        GltfWriter w;
        const bool textured = variant % 2 == 1;
        int tex = -1;
        if (textured) {
            const int image = w.addImageBytes(png(4, 2, variant == 3 ? 1 : 4), "image/png");
            tex = w.addTexture(image, variant == 5 ? 33071 : 10497, variant == 5 ? 33648 : 10497);
        }
        const std::string texRef =
            textured ? ",\"baseColorTexture\":{\"index\":" + std::to_string(tex) + "}" : std::string();
        const int matte = w.addMaterial("matte", pbr(0.8, 0.7, 0.6, 0.0, 0.9, texRef));
        const int metal = w.addMaterial("metal", pbr(0.9, 0.9, 0.9, 1.0, 0.2, ""));
        w.useExtension("KHR_materials_emissive_strength");
        const int lamp =
            w.addMaterial("lamp", pbr(0, 0, 0, 0, 1, "") +
                                      ",\"emissiveFactor\":[1,0.9,0.8],\"extensions\":{"
                                      "\"KHR_materials_emissive_strength\":{\"emissiveStrength\":" +
                                      GltfWriter::num(4.0 + variant) + "}}");
        if (variant >= 2) {
            w.useExtension("KHR_materials_ior");
            w.useExtension("KHR_materials_transmission");
            w.addMaterial("glass", pbr(1, 1, 1, 0, 0.05, "") +
                                       ",\"extensions\":{\"KHR_materials_ior\":{\"ior\":1.45},"
                                       "\"KHR_materials_transmission\":{\"transmissionFactor\":1}}");
        }
        const int floor = w.addMesh(quad(matte, variant != 1, textured, variant % 3 != 0), "floor");
        const int block = w.addMesh(quad(metal, true, false, true), "block");
        const int light = w.addMesh(quad(lamp, false, false, false), "light");
        w.addNode("\"mesh\":" + std::to_string(floor) + ",\"rotation\":[" + GltfWriter::num(-s) + ",0,0," +
                  GltfWriter::num(s) + "],\"scale\":[4,4,4]");
        w.addNode("\"name\":\"bunny\",\"mesh\":" + std::to_string(block) + ",\"translation\":[0,0.5,0]");
        if (variant >= 3) {
            // An instance under a parent with a matrix.
            const int child =
                w.addNode("\"mesh\":" + std::to_string(block) + ",\"translation\":[1,0,0]", false);
            w.addNode("\"children\":[" + std::to_string(child) +
                      "],\"matrix\":[1,0,0,0,0,1,0,0,0,0,1,0,0.5,0.25,-1,1]");
        }
        w.addNode("\"mesh\":" + std::to_string(light) + ",\"rotation\":[" + GltfWriter::num(s) + ",0,0," +
                  GltfWriter::num(s) + "],\"translation\":[0,2,0]");
        if (variant != 4) {
            const int cam = w.addPerspectiveCamera(0.8, variant == 2 ? 0.0 : 1.5);
            w.addNode("\"camera\":" + std::to_string(cam) + ",\"translation\":[0,1,4]");
        }
        const std::string base = "model" + std::to_string(variant);
        const std::string tmp = (outDir / "tmp_seed").string();
        if (w.writeGlb(tmp)) seed(kGlb, base + ".glb", fileBytes(tmp));
        if (w.writeGltf(tmp)) seed(kGltf, base + ".gltf", fileBytes(tmp));
        fs::remove(tmp);
    }
}

void writeObjSeeds() {
    seed(kObj, "quad.obj", "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nf 1 2 3 4\n");
    seed(kObj, "full.obj",
         "# two objects, texture coordinates and normals\nmtllib scene.mtl\no floor\n"
         "v -2 0 -2\nv 2 0 -2\nv 2 0 2\nv -2 0 2\nvt 0 0\nvt 1 0\nvt 1 1\nvt 0 1\nvn 0 1 0\n"
         "usemtl matte\ns off\nf 1/1/1 3/3/1 2/2/1\nf 1/1/1 4/4/1 3/3/1\n"
         "o lamp\nv -0.5 2 -0.5\nv 0.5 2 -0.5\nv 0.5 2 0.5\nv -0.5 2 0.5\n"
         "usemtl lamp\nf -4//1 -3//1 -2//1\nf -4//1 -2//1 -1//1\n"
         "g block\nv 0 0 0\nv 0.5 0 0\nv 0.5 0.5 0\nv 0 0.5 0\nvn 0 0 1\nusemtl shiny\ns 1\n"
         "f -4//-1 -3//-1 -2//-1 -1//-1\nl 1 2\np 3\n");
    seed(kObj, "strip.obj",
         "v 0 0 0 1\nv 1 0 0 1\nv 1 1 0 1\nv 0 1 0\nv 2 0 0\nv 2 1 0\nvt 0.5 0.5 0\nvn 0 0 -1\n"
         "f 1/1 2/1 3/1\nf 2/1/1 5/1/1 6/1/1 3/1/1\nusemtl missing\nf 4 3 6\n");
    seed(kObj, "colours.obj", "v 0 0 0 1 0 0\nv 1 0 0 0 1 0\nv 0 1 0 0 0 1\nf 1 2 3\n");
}

std::string plyHeader(const char* format, int vertices, int faces, bool normals, bool colours, bool uvs,
                      const char* indexType) {
    std::ostringstream h;
    h << "ply\nformat " << format << " 1.0\ncomment seed\nelement vertex " << vertices
      << "\nproperty float x\nproperty float y\nproperty float z\n";
    if (normals) h << "property float nx\nproperty float ny\nproperty float nz\n";
    if (colours) h << "property uchar red\nproperty uchar green\nproperty uchar blue\n";
    if (uvs) h << "property float s\nproperty float t\n";
    h << "element face " << faces << "\nproperty list uchar " << indexType << " vertex_indices\nend_header\n";
    return h.str();
}

template <typename T>
void put(std::string& s, T v, bool bigEndian) {
    char b[sizeof(T)];
    std::memcpy(b, &v, sizeof(T));
    if (bigEndian)
        for (std::size_t i = 0; i < sizeof(T) / 2; ++i) std::swap(b[i], b[sizeof(T) - 1 - i]);
    s.append(b, sizeof(T));
}

void writePlySeeds() {
    const float p[5][3] = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {0.5f, 0.5f, 1}};
    // Faces: a quad and two triangles of a pyramid.
    const std::vector<std::vector<int>> faces = {{0, 1, 2, 3}, {0, 1, 4}, {1, 2, 4}};
    for (int v = 0; v < 4; ++v) {
        const bool normals = v & 1, colours = v & 2, uvs = v >= 2;
        std::string ascii = plyHeader("ascii", 5, 3, normals, colours, uvs, v == 3 ? "uint" : "int");
        std::ostringstream body;
        for (int i = 0; i < 5; ++i) {
            body << p[i][0] << " " << p[i][1] << " " << p[i][2];
            if (normals) body << " 0 0 1";
            if (colours) body << " " << 50 * i << " 200 " << 255 - 40 * i;
            if (uvs) body << " " << p[i][0] << " " << p[i][1];
            body << "\n";
        }
        for (const auto& f : faces) {
            body << f.size();
            for (int i : f) body << " " << i;
            body << "\n";
        }
        seed(kPly, "ascii" + std::to_string(v) + ".ply", ascii + body.str());

        for (int big = 0; big < 2; ++big) {
            std::string bin = plyHeader(big ? "binary_big_endian" : "binary_little_endian", 5, 3, normals,
                                        colours, uvs, v == 3 ? "uint" : "int");
            for (int i = 0; i < 5; ++i) {
                for (int c = 0; c < 3; ++c) put(bin, p[i][c], big);
                if (normals) {
                    put(bin, 0.0f, big);
                    put(bin, 0.0f, big);
                    put(bin, 1.0f, big);
                }
                if (colours)
                    for (int c = 0; c < 3; ++c) bin += static_cast<char>(60 * c + 10 * i);
                if (uvs) {
                    put(bin, p[i][0], big);
                    put(bin, p[i][1], big);
                }
            }
            for (const auto& f : faces) {
                bin += static_cast<char>(f.size());
                for (int i : f) put(bin, static_cast<int32_t>(i), big);
            }
            seed(kPly, (big ? "big" : "little") + std::to_string(v) + ".ply", bin);
        }
    }
}

// A ramp with every channel distinct, row 0 at the bottom.
std::vector<lumenar::Color> ramp(int w, int h) {
    std::vector<lumenar::Color> rgb(static_cast<std::size_t>(w) * h);
    for (std::size_t i = 0; i < rgb.size(); ++i)
        rgb[i] = lumenar::Color(0.01f * static_cast<float>(i), 1.0f / static_cast<float>(i + 1),
                                static_cast<float>(i % 7) * 3.5f);
    return rgb;
}

void writeMergeSeeds() {
    struct Kind {
        int width, height, frames;
        uint32_t first, seed;
        lumenar::ExrPixels pixels;
    };
    const Kind kinds[] = {{1, 1, 1, 0, 0, lumenar::ExrPixels::Float},
                          {5, 3, 16, 16, 0, lumenar::ExrPixels::Float},
                          {4, 4, 48, 32, 9, lumenar::ExrPixels::Half},
                          {17, 9, 64, 0, 0, lumenar::ExrPixels::Float}};
    int n = 0;
    for (const Kind& k : kinds) {
        lumenar::RenderRecord r;
        r.frames = k.frames;
        r.firstFrame = k.first;
        r.seed = k.seed;
        r.mode = n % 2 ? "mlt" : "pt";
        r.superSampling = 1 + n % 2;
        r.sceneHash = "0123456789abcdef";
        r.options =
            "mode=" + r.mode + " ss=" + std::to_string(r.superSampling) + " kd-mode=1 fog=0 subsurface=0";
        r.optionsHash = lumenar::fingerprintOf(r.options);
        r.version = "seed";
        r.ranges = {{k.seed, k.first, static_cast<uint32_t>(k.frames)}};
        if (k.frames == 48) r.ranges = {{k.seed, k.first, 16}, {k.seed, k.first + 32, 32}};
        // Two of them carry the noise estimate's channels and header fields.
        lumenar::NoiseChannels noise;
        const bool withNoise = n == 1 || n == 2;
        if (withNoise) {
            for (int i = 0; i < k.width * k.height; ++i) {
                noise.variance.push_back(i % 5 ? lumenar::Color(0.01f * i, 0.002f, 0.03f)
                                               : lumenar::Color(-1.0f, -1.0f, -1.0f));
                noise.samples.push_back(static_cast<uint32_t>(1 + i % k.frames));
            }
            r.noiseError = 0.05;
            r.noiseWorst = 0.2;
            r.noiseThreshold = 0.1;
            r.noiseReached = n == 1;
            if (n == 1) r.reserved = {{k.seed, k.first, static_cast<uint32_t>(2 * k.frames)}};
        }
        const std::string path = (outDir / ("render" + std::to_string(n++) + ".exr")).string();
        if (lumenar::writeRecordedExr(path, k.width, k.height, ramp(k.width, k.height), r, k.pixels,
                                      withNoise ? &noise : nullptr))
            ++written;
    }
    // The 17 x 9 render again in every compression, tiled, and in halves.
    const std::string source = (outDir / "render3.exr").string();
    auto in = OIIO::ImageInput::open(source);
    if (!in) return;
    OIIO::ImageSpec spec = in->spec();
    std::vector<float> px(static_cast<std::size_t>(spec.width) * spec.height * 3);
    if (!in->read_image(0, 0, 0, 3, OIIO::TypeDesc::FLOAT, px.data())) return;
    in->close();
    const char* variants[] = {"none", "rle",  "zips", "zip",   "piz", "pxr24",
                              "b44",  "b44a", "dwaa", "tiled", "half"};
    for (const char* v : variants) {
        OIIO::ImageSpec s = spec;
        const std::string name(v);
        if (name == "tiled") {
            s.tile_width = 8;
            s.tile_height = 4;
        } else if (name == "half") {
            s.set_format(OIIO::TypeDesc::HALF);
        } else {
            s.attribute("compression", name);
        }
        const std::string path = (outDir / ("render3_" + name + ".exr")).string();
        auto out = OIIO::ImageOutput::create(path);
        if (out && out->open(path, s) && out->write_image(OIIO::TypeDesc::FLOAT, px.data()) && out->close())
            ++written;
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc == 3 ? argv[1] : "";
    if (mode != "import" && mode != "merge") {
        std::fprintf(stderr, "usage: %s import|merge CORPUS_FOLDER\n", argv[0]);
        return 1;
    }
    outDir = argv[2];
    std::error_code ec;
    fs::create_directories(outDir, ec);
    if (ec) {
        std::fprintf(stderr, "%s: %s\n", argv[2], ec.message().c_str());
        return 1;
    }
    if (mode == "import") {
        writeGltfSeeds();
        writeObjSeeds();
        writePlySeeds();
    } else {
        writeMergeSeeds();
    }
    std::printf("Wrote %d seeds into %s\n", written, argv[2]);
    return 0;
}
