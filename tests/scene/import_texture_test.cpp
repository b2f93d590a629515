// Textures of imported models read as the file asks: the sampler's filters,
// the coordinate set, KHR_texture_transform, mip levels for distant
// textures, vertex colours and emissive textures; checked against texel
// values worked out here and against renders under a uniform white sky
// (where a matte surface shows its albedo).
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "import_test_util.h"
#include "render/texture.h"
#include "scene/device_texture.h"

using namespace lumenar;
using namespace lumenar::test;

namespace {

constexpr int kNearest = 9728, kLinear = 9729, kTrilinear = 9987, kClamp = 33071, kRepeat = 10497;

// A matte material (index of refraction 1: no coat) with a base colour
// texture and glTF texture-info members `info` (e.g. a texCoord).
int matteTextured(GltfWriter& w, int texture, const std::string& info = "",
                  const std::string& base = "1,1,1") {
    w.useExtension("KHR_materials_ior");
    return w.addMaterial(
        "matte", pbr(base, 0, 1, ",\"baseColorTexture\":{\"index\":" + std::to_string(texture) + info + "}") +
                     ",\"extensions\":{\"KHR_materials_ior\":{\"ior\":1.0}}");
}

// One triangle whose glTF coordinates are (0, 0), (1, 0), (0, 1): the
// barycentric weights of corners 2 and 3 are glTF's (u, v) at a point.
GltfWriter::Mesh unitTriangle(int material) {
    GltfWriter::Mesh m;
    m.positions = {0, 0, 0, 1, 0, 0, 0, 1, 0};
    m.normals = {0, 0, 1, 0, 0, 1, 0, 0, 1};
    m.uvs = {0, 0, 1, 0, 0, 1};
    m.material = material;
    return m;
}

// Base colour of material `material` on triangle `tri` at glTF coordinates
// (u, v) of the unit triangle.
Color lookup(Application& app, int material, int tri, double u, double v) {
    const Scene& sc = app.scene();
    return shadingMaterial(sc.materials[static_cast<std::size_t>(material)], material, app.sceneTextures(),
                           tri, static_cast<float>(u), static_cast<float>(v))
        .basecolor;
}

// A wide plane facing +z with a glTF camera on the axis looking at it, `yfov`
// radians of view at distance `dist`.
void planeAndCamera(GltfWriter& w, int material, double yfov, double dist, double scale = 1.0) {
    w.addMesh(unitQuad(material, true, true));
    w.addNode("\"mesh\":0,\"scale\":[" + GltfWriter::num(scale) + "," + GltfWriter::num(scale) + ",1]");
    const int cam = w.addPerspectiveCamera(yfov, 1.0);
    w.addNode("\"camera\":" + std::to_string(cam) + ",\"translation\":[0,0," + GltfWriter::num(dist) + "]");
}

}  // namespace

// The sampler's magnification filter: nearest reads the texel a point falls
// in, linear blends the nearest texel centres; and a magnified two-texel
// image rendered with each shows a hard edge or a ramp.
TEST(ImportedTextures, SamplerFilterNearestOrLinear) {
    const std::string dir = tempDir("filters");
    for (const int mag : {kNearest, kLinear}) {
        GltfWriter w;
        // Two texels: black and white (sRGB bytes 0 and 255, linear 0 and 1).
        const int image =
            w.addImageBytes(pngBytes(dir, 2, 1, {0, 0, 0, 255, 255, 255, 255, 255}), "image/png");
        const int m = matteTextured(w, w.addTexture(image, kClamp, kClamp, mag, kLinear));
        planeAndCamera(w, m, 2 * std::atan(0.5), 1.0);  // the quad fills the view exactly
        const std::string path = dir + (mag == kNearest ? "/nearest.glb" : "/linear.glb");
        ASSERT_TRUE(w.writeGlb(path));
        {
            Started st = start(path);
            ASSERT_TRUE(st.ok) << st.out;
            // Triangle 0 of the quad has glTF coordinates (0, 1), (1, 1), (1, 0):
            // weights (u - 0.1, 0.1) are the point (u, 0.9).
            const double ux[2] = {0.45, 0.55};
            for (int k = 0; k < 2; ++k) {
                const Color c = lookup(*st.app, 0, 0, ux[k] - 0.1, 0.1);
                const double want = mag == kNearest ? k : (ux[k] * 2 - 0.5);  // centres at 0.25 and 0.75
                EXPECT_NEAR(c.r, want, 1e-5) << "filter " << mag << " u " << ux[k];
            }
        }
        // Matte and white where the texture is white: each pixel shows the
        // texel values its samples saw, exactly 0 or 1 through the nearest
        // filter; the linear one ramps between the texel centres.
        const std::vector<Color> img = render(path, 4, smallImage(16, 16));
        ASSERT_EQ(img.size(), 256u);
        int between = 0;
        for (const Color& c : img) between += c.r > 0.02f && c.r < 0.98f;
        if (mag == kNearest)
            EXPECT_EQ(between, 0);
        else
            EXPECT_GE(between, 16 * 6);  // the middle half of the columns, less their ends
    }
}

// KHR_texture_transform (offset, rotation, scale and its own texCoord):
// the transformed material reads, at every point, what the plain one reads
// at the coordinates glTF's formula gives (worked out here in glTF's own
// coordinates, v down the image).
TEST(ImportedTextures, TextureTransformAndSecondCoordinateSet) {
    const std::string dir = tempDir("transform");
    GltfWriter w;
    std::vector<uint8_t> texels(4 * 4 * 4);
    for (std::size_t i = 0; i < texels.size(); ++i) texels[i] = static_cast<uint8_t>((i * 53 + 7) % 256);
    const int tex = w.addTexture(w.addImageBytes(pngBytes(dir, 4, 4, texels), "image/png"), kRepeat, kRepeat,
                                 kNearest, kNearest);
    const double ox = 0.1, oy = 0.2, rot = 0.5, sx = 2.0, sy = 0.5;
    w.useExtension("KHR_texture_transform");
    const int plain = matteTextured(w, tex);
    const int transformed =
        matteTextured(w, tex,
                      ",\"extensions\":{\"KHR_texture_transform\":{\"offset\":[" + GltfWriter::num(ox) + "," +
                          GltfWriter::num(oy) + "],\"rotation\":" + GltfWriter::num(rot) + ",\"scale\":[" +
                          GltfWriter::num(sx) + "," + GltfWriter::num(sy) + "]}}");
    const int second = matteTextured(w, tex, ",\"texCoord\":1");
    for (int m : {plain, transformed, second}) {
        GltfWriter::Mesh mesh = unitTriangle(m);
        mesh.uvs1 = {0.25f, 0.5f, 0.75f, 0.5f, 0.25f, 1.0f};  // set 1 = (0.25 + u / 2, 0.5 + v / 2)
        w.addMesh(mesh);
        w.addNode("\"mesh\":" + std::to_string(m));
    }
    ASSERT_TRUE(w.writeGlb(dir + "/t.glb"));
    Started st = start(dir + "/t.glb");
    ASSERT_TRUE(st.ok) << st.out;
    int checked = 0;
    for (double u = 0.03; u < 1.0; u += 0.137)
        for (double v = 0.05; v < 1.0; v += 0.161) {
            const double gx = std::cos(rot) * sx * u - std::sin(rot) * sy * v + ox;
            const double gy = std::sin(rot) * sx * u + std::cos(rot) * sy * v + oy;
            const Color want = lookup(*st.app, plain, 0, gx, gy);
            const Color got = lookup(*st.app, transformed, 1, u, v);
            EXPECT_EQ(got.r, want.r) << u << " " << v;
            EXPECT_EQ(got.g, want.g) << u << " " << v;
            EXPECT_EQ(got.b, want.b) << u << " " << v;
            const Color viaSecond = lookup(*st.app, second, 2, u, v);
            const Color atSecond = lookup(*st.app, plain, 0, 0.25 + u / 2, 0.5 + v / 2);
            EXPECT_EQ(viaSecond.g, atSecond.g) << u << " " << v;
            ++checked;
        }
    EXPECT_GT(checked, 30);
}

// The mip levels: each texel the mean of the four below it, sRGB colour
// averaged as the light it encodes, down to one texel.
TEST(ImportedTextures, MipLevelsAverageTheLightTheyEncode) {
    Image image;
    image.width = 4;
    image.height = 2;
    image.bytesPerPixel = 4;
    image.pixels.assign(4 * 2 * 4, 0);
    for (int x = 0; x < 4; ++x) {
        uint8_t* p = &image.pixels[static_cast<std::size_t>(x) * 4];
        p[0] = p[1] = p[2] = (x % 2) ? 255 : 0;  // a row of black and white
        p[3] = 255;
        uint8_t* q = &image.pixels[static_cast<std::size_t>(4 + x) * 4];
        q[0] = q[1] = q[2] = 255;  // a white row
        q[3] = 0;
    }
    int levels = 0;
    const std::vector<uint8_t> chain = mipChain(image, true, levels);
    ASSERT_EQ(levels, 3);  // 4 x 2, 2 x 1, 1 x 1
    ASSERT_EQ(chain.size(), static_cast<std::size_t>((8 + 2 + 1) * 4));
    // Level 1: three white texels and a black one: linear 0.75, sRGB 225.
    auto encoded = [](double linear) {
        return static_cast<int>(std::lround(
            255.0 * (linear <= 0.0031308 ? linear * 12.92 : 1.055 * std::pow(linear, 1 / 2.4) - 0.055)));
    };
    EXPECT_EQ(chain[32], encoded(0.75));
    EXPECT_EQ(chain[32 + 3], 128);  // alpha: (1 + 1 + 0 + 0) / 4, linear
    EXPECT_EQ(chain[40], encoded(0.75));
    // Stored linearly (a metallic-roughness or normal map) the bytes average as numbers.
    const std::vector<uint8_t> data = mipChain(image, false, levels);
    EXPECT_EQ(data[32], 191);
}

// A distant texture is read through its mip levels: a checker of single
// texels far away shows its mean in every pixel of one frame, where reading
// the full-size image makes each pixel black or white at random; both
// converge to the same mean.
TEST(ImportedTextures, DistantCheckerDoesNotAlias) {
    const std::string dir = tempDir("mips");
    std::vector<uint8_t> checker(64 * 64 * 4);
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x) {
            uint8_t* p = &checker[static_cast<std::size_t>(y * 64 + x) * 4];
            p[0] = p[1] = p[2] = ((x + y) % 2) ? 255 : 0;
            p[3] = 255;
        }
    const std::vector<uint8_t> png = pngBytes(dir, 64, 64, checker);
    double spread[2], mean[2];
    for (int mip = 0; mip < 2; ++mip) {
        GltfWriter w;
        const int m = matteTextured(w, w.addTexture(w.addImageBytes(png, "image/png"), kRepeat, kRepeat,
                                                    kLinear, mip ? kTrilinear : kNearest));
        // 64 x 64 texels over 8 x 8 pixels: eight texels across each pixel.
        planeAndCamera(w, m, 2 * std::atan(0.5), 10.0, 10.0);
        const std::string path = dir + (mip ? "/mip.glb" : "/full.glb");
        ASSERT_TRUE(w.writeGlb(path));
        const std::vector<Color> one = render(path, 1, smallImage(8, 8));
        ASSERT_EQ(one.size(), 64u);
        double s = 0, s2 = 0;
        for (const Color& c : one) s += c.g, s2 += c.g * c.g;
        spread[mip] = std::sqrt(std::max(s2 / 64 - (s / 64) * (s / 64), 0.0));
        mean[mip] = meanLuminance(render(path, 64, smallImage(8, 8)));
    }
    EXPECT_LT(spread[1], 0.02);
    EXPECT_GT(spread[0], 0.2);
    EXPECT_NEAR(mean[1], 0.5, 0.02);
    EXPECT_NEAR(mean[0], 0.5, 0.05);
}

// COLOR_0 multiplies the base colour: a white matte plane with vertex
// colours shows them as its albedo under the white sky; between corners the
// colour is interpolated.
TEST(ImportedTextures, VertexColoursMultiplyTheBaseColour) {
    const std::string dir = tempDir("colours");
    GltfWriter w;
    w.useExtension("KHR_materials_ior");
    const int m = w.addMaterial(
        "m", pbr("0.8,0.8,0.8", 0, 1) + ",\"extensions\":{\"KHR_materials_ior\":{\"ior\":1.0}}");
    GltfWriter::Mesh quad = unitQuad(m, true);
    quad.colors = {0.5f, 0.25f, 1, 1, 0.5f, 0.25f, 1, 1, 0.5f, 0.25f, 1, 1, 0.5f, 0.25f, 1, 1};
    w.addMesh(quad);
    w.addNode("\"mesh\":0,\"scale\":[1000,1000,1]");
    GltfWriter::Mesh tri = unitTriangle(m);
    tri.colors = {1, 0, 0, 1, 0, 1, 0, 1, 0, 0, 1, 1};
    w.addMesh(tri);
    w.addNode("\"mesh\":1,\"translation\":[0,0,-5]");
    const int cam = w.addPerspectiveCamera(0.5, 1.0);
    w.addNode("\"camera\":" + std::to_string(cam) + ",\"translation\":[0,0,1]");
    ASSERT_TRUE(w.writeGlb(dir + "/c.glb"));
    {
        Started st = start(dir + "/c.glb");
        ASSERT_TRUE(st.ok) << st.out;
        const Color c = lookup(*st.app, m, 2, 0.25, 0.5);  // weights 0.25, 0.25, 0.5
        EXPECT_FLOAT_EQ(c.r, 0.8f * 0.25f);
        EXPECT_FLOAT_EQ(c.g, 0.8f * 0.25f);
        EXPECT_FLOAT_EQ(c.b, 0.8f * 0.5f);
    }
    const std::vector<Color> img = render(dir + "/c.glb", 4, smallImage(4, 4));
    ASSERT_EQ(img.size(), 16u);
    for (const Color& c : img) {
        EXPECT_NEAR(c.r, 0.8 * 0.5, 1e-4);
        EXPECT_NEAR(c.g, 0.8 * 0.25, 1e-4);
        EXPECT_NEAR(c.b, 0.8 * 1.0, 1e-4);
    }
}

// An emissive texture multiplies the emission: a lamp whose texture is black
// on the left and white on the right, seen face on, shows 0 and its
// emission.
TEST(ImportedTextures, EmissiveTextureShapesWhatALampShows) {
    const std::string dir = tempDir("emissive");
    GltfWriter w;
    const int tex =
        w.addTexture(w.addImageBytes(pngBytes(dir, 2, 1, {0, 0, 0, 255, 255, 255, 255, 255}), "image/png"),
                     kClamp, kClamp, kNearest, kNearest);
    w.useExtension("KHR_materials_emissive_strength");
    const int lamp = w.addMaterial("lamp", pbr("0,0,0", 0, 1) +
                                               ",\"emissiveFactor\":[1,0.5,0.25],"
                                               "\"emissiveTexture\":{\"index\":" +
                                               std::to_string(tex) +
                                               "},\"extensions\":{\"KHR_materials_emissive_strength\":{"
                                               "\"emissiveStrength\":2}}");
    planeAndCamera(w, lamp, 2 * std::atan(0.5), 1.0);
    ASSERT_TRUE(w.writeGlb(dir + "/lamp.glb"));
    const std::vector<Color> img = render(dir + "/lamp.glb", 2, smallImage(8, 8));
    ASSERT_EQ(img.size(), 64u);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) {
            const Color& c = img[static_cast<std::size_t>(y * 8 + x)];
            const float on = x < 4 ? 0.0f : 1.0f;
            EXPECT_FLOAT_EQ(c.r, 2.0f * on) << x;
            EXPECT_FLOAT_EQ(c.g, 1.0f * on) << x;
            EXPECT_FLOAT_EQ(c.b, 0.5f * on) << x;
        }
}

// An emissive texture shapes the light a lamp casts as well as what the
// camera sees of it: a lamp whose texture is black on one half lights a
// floor as a lamp of that other half alone (both estimators of the bounce,
// light sampling and the sampled directions, read the texture).
TEST(ImportedTextures, TexturedLampLightsAsItsBrightPartAlone) {
    const std::string dir = tempDir("textured_lamp");
    const double Le = 4.0;
    const auto scene = [&](bool textured) {
        GltfWriter w;
        w.useExtension("KHR_materials_ior");
        w.useExtension("KHR_materials_emissive_strength");
        const int floorMat = w.addMaterial(
            "floor", pbr("0.5,0.5,0.5", 0, 1) + ",\"extensions\":{\"KHR_materials_ior\":{\"ior\":1.0}}");
        std::string emissive = ",\"emissiveFactor\":[1,1,1]";
        if (textured) {
            const int tex = w.addTexture(
                w.addImageBytes(pngBytes(dir, 2, 1, {0, 0, 0, 255, 255, 255, 255, 255}), "image/png"), kClamp,
                kClamp, kNearest, kNearest);
            emissive += ",\"emissiveTexture\":{\"index\":" + std::to_string(tex) + "}";
        }
        const int lamp = w.addMaterial("lamp", pbr("0,0,0", 0, 1) + emissive +
                                                   ",\"extensions\":{\"KHR_materials_emissive_strength\":{"
                                                   "\"emissiveStrength\":" +
                                                   GltfWriter::num(Le) + "}}");
        w.addMesh(unitQuad(floorMat, true, true), "floor");
        w.addMesh(unitQuad(lamp, true, true), "lamp");
        w.addNode("\"mesh\":0,\"scale\":[40,40,1]");
        // Facing down beside the view: x from 1 to 2 at height 1 (the
        // texture's bright half from 1.5 to 2), or that bright half alone.
        const std::string place = textured ? "\"scale\":[1,1,1],\"translation\":[1.5,0,1]"
                                           : "\"scale\":[0.5,1,1],\"translation\":[1.75,0,1]";
        w.addNode("\"mesh\":1,\"rotation\":[1,0,0,0]," + place);
        const int cam = w.addPerspectiveCamera(2.0 * std::atan(0.3), 1.0);
        w.addNode("\"camera\":" + std::to_string(cam) + ",\"translation\":[0,0,4]");
        const std::string path = dir + (textured ? "/textured.glb" : "/half.glb");
        EXPECT_TRUE(w.writeGlb(path));
        return path;
    };
    const int size = 24, frames = 256;
    const std::vector<Color> textured = render(scene(true), frames, smallImage(size, size));
    const std::vector<Color> half = render(scene(false), frames, smallImage(size, size));
    ASSERT_EQ(textured.size(), static_cast<std::size_t>(size * size));
    ASSERT_EQ(half.size(), textured.size());
    // Means of 6 x 6 blocks: the floor's light falls off across the view.
    double lo = 1e30, hi = 0.0;
    for (int by = 0; by < size; by += 6)
        for (int bx = 0; bx < size; bx += 6) {
            double a = 0.0, b = 0.0;
            for (int y = by; y < by + 6; ++y)
                for (int x = bx; x < bx + 6; ++x) {
                    const Color& c = textured[static_cast<std::size_t>(y * size + x)];
                    const Color& d = half[static_cast<std::size_t>(y * size + x)];
                    a += c.r + c.g + c.b;
                    b += d.r + d.g + d.b;
                }
            EXPECT_NEAR(a, b, 0.04 * b) << "block " << bx << ", " << by;
            lo = std::min(lo, b);
            hi = std::max(hi, b);
        }
    EXPECT_GT(hi, 1.5 * lo);  // the blocks see different light
    EXPECT_GT(lo, 0.0);
}
