// Imported materials keep their energy: every mapping of a white glTF
// material (dielectric at several roughnesses and indices, scaled by
// KHR_materials_specular, metal, transmissive) lying as a wide plane under a
// uniform white sky sends back exactly the sky (a white furnace).
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "import_test_util.h"

using namespace lumenar;
using namespace lumenar::test;

namespace {

struct FurnaceCase {
    std::string name;
    std::string material;  // glTF material members
    std::vector<std::string> extensions;
    double tolerance;
};

// A plane of the material, 1000 units wide, seen from 45 degrees above with
// a narrow view (`yfov` radians): every pixel sees the plane. Nothing emits,
// so the sky (1) lights it.
std::string furnacePlane(const std::string& dir, const FurnaceCase& c, double yfov = 0.2) {
    GltfWriter w;
    for (const std::string& e : c.extensions) w.useExtension(e);
    const int m = w.addMaterial("white", c.material);
    w.addMesh(unitQuad(m, true));
    const double s = std::sqrt(0.5);
    w.addNode("\"mesh\":0,\"rotation\":[" + GltfWriter::num(-s) + ",0,0," + GltfWriter::num(s) +
              "],\"scale\":[1000,1000,1000]");
    const double a = -3.14159265358979323846 / 8;  // half of -45 degrees about x
    const int cam = w.addPerspectiveCamera(yfov, 1.0);
    w.addNode("\"camera\":" + std::to_string(cam) + ",\"translation\":[0,3,3],\"rotation\":[" +
              GltfWriter::num(std::sin(a)) + ",0,0," + GltfWriter::num(std::cos(a)) + "]");
    const std::string path = dir + "/plane.glb";
    EXPECT_TRUE(w.writeGlb(path));
    return path;
}

std::string ext(const std::string& name, const std::string& body) {
    return ",\"extensions\":{\"" + name + "\":{" + body + "}}";
}

double meanChannel(const std::vector<Color>& img, int ch) {
    double s = 0.0;
    for (const Color& p : img) s += ch == 0 ? p.r : (ch == 1 ? p.g : p.b);
    return img.empty() ? -1.0 : s / static_cast<double>(img.size());
}

}  // namespace

TEST(ImportedMaterials, WhiteMaterialsInAFurnaceKeepTheirEnergy) {
    const std::string ior = "KHR_materials_ior", spec = "KHR_materials_specular",
                      trans = "KHR_materials_transmission";
    const std::vector<FurnaceCase> cases = {
        {"dielectric, roughness 0.2", pbr("1,1,1", 0, 0.2), {}, 0.01},
        {"dielectric, roughness 0.6", pbr("1,1,1", 0, 0.6), {}, 0.01},
        {"dielectric, roughness 1", pbr("1,1,1", 0, 1), {}, 0.01},
        {"dielectric, index 2, roughness 0.4", pbr("1,1,1", 0, 0.4) + ext(ior, "\"ior\":2.0"), {ior}, 0.01},
        {"dielectric, half specular, roughness 0.5",
         pbr("1,1,1", 0, 0.5) + ext(spec, "\"specularFactor\":0.5"),
         {spec},
         0.01},
        {"metal, roughness 0.3", pbr("1,1,1", 1, 0.3), {}, 0.02},
        {"metal, roughness 0.8", pbr("1,1,1", 1, 0.8), {}, 0.02},
        {"transmissive, smooth", pbr("1,1,1", 0, 0) + ext(trans, "\"transmissionFactor\":1"), {trans}, 0.01},
        {"transmissive, roughness 0.4",
         pbr("1,1,1", 0, 0.4) + ext(trans, "\"transmissionFactor\":1"),
         {trans},
         0.02},
        {"half transmissive, roughness 0.5",
         pbr("1,1,1", 0, 0.5) + ext(trans, "\"transmissionFactor\":0.5"),
         {trans},
         0.02},
    };
    const std::string dir = tempDir("furnace_materials");
    for (const FurnaceCase& c : cases) {
        const std::vector<Color> img = render(furnacePlane(dir, c), 48, smallImage(8, 8));
        ASSERT_EQ(img.size(), 64u) << c.name;
        for (int ch = 0; ch < 3; ++ch)
            EXPECT_NEAR(meanChannel(img, ch), 1.0, c.tolerance) << c.name << ", channel " << ch;
    }
}

// A smooth dielectric over a black base reflects only its specular layer: in
// the furnace, seen at 45 degrees, Schlick's Fresnel term with F0 =
// ((ior - 1) / (ior + 1))^2, times KHR_materials_specular's factor and
// colour, as glTF's dielectric defines it.
TEST(ImportedMaterials, SmoothDielectricReflectsGltfsFresnelTerm) {
    const double cos45 = std::sqrt(0.5);
    auto schlick = [&](double ior) {
        const double f0 = std::pow((ior - 1) / (ior + 1), 2);
        return f0 + (1 - f0) * std::pow(1 - cos45, 5);
    };
    const struct {
        FurnaceCase c;
        double expected[3];
    } cases[] = {
        {{"index 1.5", pbr("0,0,0", 0, 0), {}, 0.0}, {schlick(1.5), schlick(1.5), schlick(1.5)}},
        {{"index 2", pbr("0,0,0", 0, 0) + ext("KHR_materials_ior", "\"ior\":2"), {"KHR_materials_ior"}, 0.0},
         {schlick(2), schlick(2), schlick(2)}},
        {{"specular 0.5, colour (1, 0.5, 0.25)",
          pbr("0,0,0", 0, 0) +
              ext("KHR_materials_specular", "\"specularFactor\":0.5,\"specularColorFactor\":[1,0.5,0.25]"),
          {"KHR_materials_specular"},
          0.0},
         {0.5 * schlick(1.5), 0.25 * schlick(1.5), 0.125 * schlick(1.5)}},
    };
    const std::string dir = tempDir("fresnel");
    for (const auto& k : cases) {
        const std::vector<Color> img = render(furnacePlane(dir, k.c, 0.002), 4, smallImage(4, 4));
        ASSERT_EQ(img.size(), 16u) << k.c.name;
        for (int ch = 0; ch < 3; ++ch)
            EXPECT_NEAR(meanChannel(img, ch), k.expected[ch], 1e-3 * k.expected[ch])
                << k.c.name << ", channel " << ch;
    }
}
