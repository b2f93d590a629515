// PLY models, read by the importer's own reader. The asset library reads
// the same files too, so it is the oracle for well-formed ones: both must
// give the same scene, text for text. Hostile files must end in a message at
// once, not in the gigabytes the library allocated for them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "import_test_util.h"
#include "scene/import_model.h"
#include "scene/importer.h"

using namespace lumenar;
using namespace lumenar::test;

namespace {

struct PlyProperty {
    std::string type;  // "float", "uchar", ...
    std::string name;
    std::string countType;  // a list's, or empty
};

struct PlyElement {
    std::string name;
    std::vector<PlyProperty> properties;
    // Each item's values in property order; a list is its count then its
    // entries.
    std::vector<std::vector<double>> items;
};

void putValue(std::string& out, const std::string& type, double v, bool big) {
    unsigned char b[8];
    std::size_t n = 0;
    auto store = [&](const auto x) {
        n = sizeof x;
        std::memcpy(b, &x, n);
    };
    if (type == "char")
        store(static_cast<int8_t>(v));
    else if (type == "uchar")
        store(static_cast<uint8_t>(v));
    else if (type == "short")
        store(static_cast<int16_t>(v));
    else if (type == "ushort")
        store(static_cast<uint16_t>(v));
    else if (type == "int")
        store(static_cast<int32_t>(v));
    else if (type == "uint")
        store(static_cast<uint32_t>(v));
    else if (type == "float")
        store(static_cast<float>(v));
    else
        store(v);
    for (std::size_t i = 0; i < n; ++i) out += static_cast<char>(b[big ? n - 1 - i : i]);
}

// A PLY file of `elements` in `format` (ascii, binary_little_endian or
// binary_big_endian), with `headerExtra` lines after the format line.
std::string plyFile(const std::string& format, const std::vector<PlyElement>& elements,
                    const std::string& headerExtra = "") {
    std::ostringstream h;
    h << "ply\nformat " << format << " 1.0\n" << headerExtra;
    for (const PlyElement& e : elements) {
        h << "element " << e.name << " " << e.items.size() << "\n";
        for (const PlyProperty& p : e.properties) {
            if (p.countType.empty())
                h << "property " << p.type << " " << p.name << "\n";
            else
                h << "property list " << p.countType << " " << p.type << " " << p.name << "\n";
        }
    }
    h << "end_header\n";
    std::string out = h.str();
    const bool ascii = format == "ascii", big = format == "binary_big_endian";
    for (const PlyElement& e : elements)
        for (const std::vector<double>& item : e.items) {
            std::ostringstream line;
            line.precision(9);
            std::size_t at = 0;
            for (const PlyProperty& p : e.properties) {
                std::size_t n = 1;
                if (!p.countType.empty()) {
                    n = static_cast<std::size_t>(item[at]);
                    if (ascii)
                        line << item[at] << " ";
                    else
                        putValue(out, p.countType, item[at], big);
                    ++at;
                }
                for (std::size_t k = 0; k < n; ++k, ++at) {
                    if (ascii)
                        line << item[at] << " ";
                    else
                        putValue(out, p.type, item[at], big);
                }
            }
            if (ascii) out += line.str() + "\n";
        }
    return out;
}

using Reader = bool (*)(const std::string&, const ImportOptions&, import::Model&);

// What a reader makes of `path`: the scene text up to its meshes (camera,
// materials, texture maps) and every triangle as its corners' attributes,
// each triangle turned to start at its least corner (keeping its winding),
// in sorted order. Empty when the reader refuses the file.
struct ReadModel {
    std::string head;
    std::vector<std::vector<float>> triangles;
    bool operator==(const ReadModel& o) const { return head == o.head && triangles == o.triangles; }
};

ReadModel readModel(Reader read, const std::string& path) {
    ReadModel r;
    import::Model model;
    if (!read(path, ImportOptions(), model)) return r;
    for (const import::MeshData& m : model.meshes)
        for (std::size_t t = 0; t < m.indices.triangles(); ++t) {
            std::vector<std::vector<float>> corners(3);
            for (int k = 0; k < 3; ++k) {
                const uint32_t i = m.indices.corner(3 * t + k);
                for (const import::AttributeView* a : {&m.positions, &m.normals, &m.uv, &m.colors}) {
                    float v[4] = {};
                    if (a->present()) a->get(i, v);
                    corners[k].insert(corners[k].end(), v, v + 4);
                }
            }
            const int first =
                static_cast<int>(std::min_element(corners.begin(), corners.end()) - corners.begin());
            std::vector<float> tri;
            for (int k = 0; k < 3; ++k)
                tri.insert(tri.end(), corners[(first + k) % 3].begin(), corners[(first + k) % 3].end());
            r.triangles.push_back(tri);
        }
    std::sort(r.triangles.begin(), r.triangles.end());
    ImportedScene scene;
    if (!import::assembleModel(path, ImportOptions(), model, scene)) return ReadModel();
    const std::string text = importedSceneText(scene);
    r.head = text.substr(text.find('\n'), text.find("\nmesh\n"));
    return r;
}

// The area the triangles of a model's first mesh cover in the z = 0 plane.
double planeArea(const std::string& path, Reader read) {
    import::Model model;
    if (!read(path, ImportOptions(), model)) return -1.0;
    const import::MeshData& m = model.meshes.at(0);
    double area = 0.0;
    for (std::size_t t = 0; t < m.indices.triangles(); ++t) {
        float p[3][3];
        for (int k = 0; k < 3; ++k) m.positions.get(m.indices.corner(3 * t + k), p[k]);
        area += 0.5 * std::abs((p[1][0] - p[0][0]) * (p[2][1] - p[0][1]) -
                               (p[2][0] - p[0][0]) * (p[1][1] - p[0][1]));
    }
    return area;
}

// A unit square of two triangles as a quad, plus a triangle above it and a
// pentagon beside it, each vertex with a normal, coordinates and a colour.
PlyElement vertices(const std::string& uvNames, const std::string& colourType) {
    PlyElement v{"vertex",
                 {{"float", "x", ""},
                  {"float", "y", ""},
                  {"float", "z", ""},
                  {"float", "nx", ""},
                  {"float", "ny", ""},
                  {"float", "nz", ""}},
                 {}};
    v.properties.push_back({"float", uvNames.substr(0, uvNames.find(' ')), ""});
    v.properties.push_back({"float", uvNames.substr(uvNames.find(' ') + 1), ""});
    for (const char* c : {"red", "green", "blue", "alpha"}) v.properties.push_back({colourType, c, ""});
    const double scale = colourType == "uchar" ? 255.0 : colourType == "ushort" ? 65535.0 : 1.0;
    const double corners[][3] = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0},   {0, 1, 0},   {0.5, 0.5, 1},
                                 {2, 0, 0}, {3, 0, 0}, {3.5, 1, 0}, {2.5, 2, 0}, {1.5, 1, 0}};
    int i = 0;
    for (const auto& c : corners) {
        const double colour[4] = {(i % 3) / 2.0, (i % 5) / 4.0, (i % 2) * 1.0, 1.0};
        std::vector<double> item{c[0], c[1], c[2], 0, 0, 1, c[0] * 0.5, c[1] * 0.25};
        for (const double k : colour) item.push_back(std::round(k * scale));
        v.items.push_back(item);
        ++i;
    }
    return v;
}

}  // namespace

// Every encoding, both names of the texture coordinates, colours as bytes,
// shorts and floats, an element the importer does not use and a property
// of the face it does not use: the triangles, materials and camera are the
// asset library's, in ASCII and either byte order alike.
TEST(PlyImport, WellFormedFilesGiveTheAssetLibrarysModel) {
    const std::string dir = tempDir("ply_agree");
    PlyElement faces{"face", {{"int", "vertex_indices", "uchar"}, {"uchar", "flags", ""}}, {}};
    faces.items = {{4, 0, 1, 2, 3, 7}, {3, 0, 1, 4, 0}, {3, 1, 2, 4, 1}, {4, 5, 6, 7, 9, 2}};
    PlyElement edges{"edge", {{"int", "vertex1", ""}, {"int", "vertex2", ""}}, {{0, 1}, {1, 2}}};
    ReadModel first;
    int files = 0;
    for (const char* format : {"ascii", "binary_little_endian", "binary_big_endian"})
        for (const char* uv : {"s t", "u v"})
            for (const char* colour : {"uchar", "ushort", "float"}) {
                const std::string path = dir + "/m" + std::to_string(files++) + ".ply";
                std::ofstream(path, std::ios::binary)
                    << plyFile(format, {vertices(uv, colour), faces, edges}, "comment made by a test\n");
                const ReadModel ours = readModel(import::readPly, path);
                ASSERT_EQ(ours.triangles.size(), 6u) << path;
                EXPECT_TRUE(ours == readModel(import::readWithAssetLibrary, path))
                    << format << " " << uv << " " << colour;
                if (first.triangles.empty()) first = ours;
                // Colours of another type differ in their last bits.
                if (std::string(colour) == "uchar") {
                    EXPECT_TRUE(ours == first) << path;
                }
            }
    // A convex pentagon becomes three triangles covering its area, however
    // each reader cuts it (the library clips ears, this reader fans).
    const std::string path = dir + "/pentagon.ply";
    faces.items = {{5, 5, 6, 7, 8, 9, 0}};
    std::ofstream(path, std::ios::binary) << plyFile("ascii", {vertices("u v", "float"), faces});
    const double shoelace = 2.5;  // (2,0) (3,0) (3.5,1) (2.5,2) (1.5,1)
    EXPECT_NEAR(planeArea(path, import::readPly), shoelace, 1e-6);
    EXPECT_NEAR(planeArea(path, import::readWithAssetLibrary), shoelace, 1e-6);
}

// A quad concave at one corner is cut along the diagonal from that corner
// (a fan from a corner beside it would cover the notch); a texture named by
// a TextureFile comment is the base colour texture. Both as the library
// does.
TEST(PlyImport, ConcaveQuadsAndTheTextureCommentAsTheAssetLibraryReadsThem) {
    const std::string dir = tempDir("ply_concave");
    {
        const std::vector<uint8_t> png =
            pngBytes(dir, 2, 2, {255, 0, 0, 255, 0, 255, 0, 255, 0, 0, 255, 255, 255, 255, 255, 255});
        std::ofstream(dir + "/grid.png", std::ios::binary)
            .write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
    }
    PlyElement v{
        "vertex",
        {{"float", "x", ""}, {"float", "y", ""}, {"float", "z", ""}, {"float", "u", ""}, {"float", "v", ""}},
        {{0, 0, 0, 0, 0}, {2, 0, 0, 1, 0}, {0.5, 0.5, 0, 0.25, 0.25}, {0, 2, 0, 0, 1}}};
    PlyElement f{"face", {{"uint", "vertex_indices", "uchar"}}, {{4, 0, 1, 2, 3}, {4, 1, 2, 3, 0}}};
    const std::string path = dir + "/notch.ply";
    std::ofstream(path, std::ios::binary)
        << plyFile("binary_little_endian", {v, f}, "comment TextureFile grid.png\n");
    const ReadModel ours = readModel(import::readPly, path);
    ASSERT_FALSE(ours.triangles.empty());
    EXPECT_TRUE(ours == readModel(import::readWithAssetLibrary, path));
    EXPECT_NE(ours.head.find("basecolor 1 0 repeat repeat"), std::string::npos) << ours.head;
    // Both quads cover the dart's area of 1 (the second one starts at a
    // corner whose fan would cover 3, notch and all).
    EXPECT_NEAR(planeArea(path, import::readPly), 2 * 1.0, 1e-6);
}

// Counts beyond what the file holds, vertices that are not there, words that
// are not numbers and headers that are not PLY: each refused with a message
// naming the file and the problem, before anything is allocated by it.
TEST(PlyImport, HostileFilesAreRefusedWithWhatIsWrong) {
    const std::string dir = tempDir("ply_hostile");
    const std::string head =
        "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\n"
        "property float z\nelement face 1\nproperty list uchar int vertex_indices\n";
    const std::string points = "0 0 0\n1 0 0\n0 1 0\n";
    std::string binary =
        "ply\nformat binary_little_endian 1.0\nelement vertex 3\nproperty float x\n"
        "property float y\nproperty float z\nelement face 1\n"
        "property list uint int vertex_indices\nend_header\n";
    for (int i = 0; i < 9; ++i) putValue(binary, "float", i == 3 || i == 7 ? 1 : 0, false);
    putValue(binary, "uint", 4026531840.0, false);
    for (int i = 0; i < 3; ++i) putValue(binary, "int", i, false);
    struct Case {
        const char* name;
        std::string bytes;
        const char* says;
    };
    const Case cases[] = {
        {"list", head + "end_header\n" + points + "100000000 0 1 2\n", "lists 100000000 values, more than"},
        {"binary_list", binary, "lists 4026531840 values, more than"},
        {"element", "ply\nformat ascii 1.0\nelement face 10000000000000000000000000000\nend_header\n",
         "of 10000000000000000000000000000 items in a file of"},
        {"name_of_digits", "ply\nformat ascii 1.0\nelement 88888888888888888888 0 0 1vertex 5\nend_header\n",
         "an element line is \"element NAME COUNT\""},
        {"index", head + "end_header\n" + points + "3 0 1 3\n", "a face uses vertex 3 of 3"},
        {"negative", head + "end_header\n" + points + "3 0 -1 2\n", "names vertex -1"},
        {"word", head + "end_header\n0 0 zero\n1 0 0\n0 1 0\n3 0 1 2\n",
         "\"zero\" in the element data is not a number"},
        {"cut", head + "end_header\n" + points + "3 0 1", "the file ends inside the element data"},
        {"no_end", "ply\nformat ascii 1.0\nelement vertex 3\n", "without its end_header line"},
        {"type", "ply\nformat ascii 1.0\nelement vertex 1\nproperty flaot x\nend_header\n0\n",
         "unknown property type \"flaot\""},
        {"no_xyz", "ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\nend_header\n0\n",
         "no x, y and z"},
        {"not_ply", "plyx\nformat ascii 1.0\nend_header\n", "not a PLY file"},
    };
    for (const Case& c : cases) {
        const std::string path = dir + "/" + c.name + ".ply";
        std::ofstream(path, std::ios::binary) << c.bytes;
        testing::internal::CaptureStdout();
        ImportedScene s;
        const bool read = importScene(path, ImportOptions(), s);
        const std::string said = testing::internal::GetCapturedStdout();
        EXPECT_FALSE(read) << c.name;
        EXPECT_NE(said.find(path + ": cannot read the model: "), std::string::npos) << c.name << ": " << said;
        EXPECT_NE(said.find(c.says), std::string::npos) << c.name << ": " << said;
    }
}
