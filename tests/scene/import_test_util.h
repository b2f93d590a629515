// Helpers shared by the model import tests: temporary folders, images,
// started applications, renders, and the pieces of the glTF files the tests
// write.
#pragma once

#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "app/batch_render.h"
#include "app/startup.h"
#include "device/memory.h"
#include "device/threads.h"
#include "gltf_writer.h"
#include "render/renderer.h"
#include "scene/importer.h"

namespace lumenar::test {

inline std::string tempDir(const std::string& name) {
    const std::filesystem::path d = std::filesystem::path(testing::TempDir()) / ("lumenar_import_" + name);
    std::filesystem::remove_all(d);
    std::filesystem::create_directories(d);
    return d.string();
}

// PNG bytes of an RGBA image given top row first.
inline std::vector<uint8_t> pngBytes(const std::string& dir, int w, int h, const std::vector<uint8_t>& rgba) {
    const std::string path = dir + "/tmp_image.png";
    auto out = OIIO::ImageOutput::create(path);
    OIIO::ImageSpec spec(w, h, 4, OIIO::TypeDesc::UINT8);
    spec.attribute("oiio:UnassociatedAlpha", 1);
    EXPECT_TRUE(out && out->open(path, spec));
    EXPECT_TRUE(out->write_image(OIIO::TypeDesc::UINT8, rgba.data()));
    out->close();
    std::ifstream f(path, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::filesystem::remove(path);
    return bytes;
}

inline double srgbDecoded(int byte) {
    const double c = byte / 255.0;
    return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

struct Started {
    std::unique_ptr<Application> app;
    bool ok = false;
    std::string out;
};

// Small images unless asked otherwise: start-up sizes its buffers by them.
inline Settings smallImage(int width = 32, int height = 32) {
    Settings s;
    s.importWidth = width;
    s.importHeight = height;
    return s;
}

inline Started start(const std::string& path, const Settings& settings = smallImage()) {
    Started s;
    s.app = std::make_unique<Application>(settings);
    testing::internal::CaptureStdout();
    s.ok = s.app->start(path);
    s.out = testing::internal::GetCapturedStdout();
    return s;
}

// Average of `frames` frames (linear, row 0 at the bottom), path traced
// or, with `metropolis`, by Metropolis light transport (over the kd-tree).
inline std::vector<Color> render(const std::string& path, int frames, const Settings& settings = Settings(),
                                 bool metropolis = false) {
    device::ThreadLimit limit(2);
    Started s = start(path, settings);
    EXPECT_TRUE(s.ok) << s.out;
    std::vector<Color> img;
    if (!s.ok) return img;
    // The chains are made on a worker after start-up.
    if (metropolis) {
        EXPECT_TRUE(s.app->waitForMetro());
    }
    Renderer renderer(frameResources(*s.app));
    renderer.mltEnabled = metropolis;
    EXPECT_TRUE(!metropolis || renderer.metroReady());
    const std::size_t n = static_cast<std::size_t>(s.app->imageWidth()) * s.app->imageHeight();
    device::Buffer<Color> display(n);
    for (int f = 0; f < frames; ++f) renderer.renderFrame(s.app->scene().camera, display.get());
    img.resize(n);
    device::copyToHost(img.data(), renderer.accumBuffer(), n * sizeof(Color));
    for (Color& c : img) c = c / static_cast<float>(frames);
    testing::internal::CaptureStdout();
    s.app->shutdown();
    testing::internal::GetCapturedStdout();
    return img;
}

// Imports `model` and writes its scene folder to `folder`; false (with what
// was printed in `out`) when either fails.
inline bool importAndWrite(const std::string& model, const ImportOptions& options, const std::string& folder,
                           ImportedScene& imported, std::string& out) {
    testing::internal::CaptureStdout();
    const bool ok = importScene(model, options, imported) && writeImportedScene(imported, folder);
    out = testing::internal::GetCapturedStdout();
    return ok;
}

inline double meanLuminance(const std::vector<Color>& img) {
    double s = 0.0;
    for (const Color& c : img) s += (c.r + c.g + c.b) / 3.0;
    return img.empty() ? 0.0 : s / static_cast<double>(img.size());
}

// Two triangles of a unit quad in the xy plane, facing +z, with glTF texture
// coordinates (v down the image).
inline GltfWriter::Mesh unitQuad(int material, bool normals = false, bool uvs = false) {
    GltfWriter::Mesh m;
    m.positions = {-0.5f, -0.5f, 0, 0.5f, -0.5f, 0, 0.5f, 0.5f, 0, -0.5f, 0.5f, 0};
    if (normals) m.normals = {0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1};
    if (uvs) m.uvs = {0, 1, 1, 1, 1, 0, 0, 0};
    m.indices = {0, 1, 2, 0, 2, 3};
    m.material = material;
    return m;
}

inline std::string pbr(const std::string& base, double metallic, double roughness,
                       const std::string& extra = "") {
    return "\"pbrMetallicRoughness\":{\"baseColorFactor\":[" + base +
           ",1],\"metallicFactor\":" + GltfWriter::num(metallic) +
           ",\"roughnessFactor\":" + GltfWriter::num(roughness) + extra + "}";
}

}  // namespace lumenar::test
