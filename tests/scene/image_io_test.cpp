// Texture image decoding and the start-up texture stage.
#include "scene/image_io.h"

#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "app/startup.h"
#include "device/memory.h"
#include "scene/device_texture.h"

using namespace lumenar;

namespace {

std::string tempPath(const std::string& name) {
    return testing::TempDir() + "lumenar_image_" + std::to_string(getpid()) + "_" + name;
}

// Writes a 3 x 2 image whose byte at (x, y, c) is 10 * y + 3 * x + c + 1, top
// row (y = 0) first as image files store it.
template <class T>
std::string writeImage(const std::string& name, int channels, OIIO::TypeDesc type) {
    const std::string path = tempPath(name);
    std::vector<T> data(3 * 2 * channels);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x)
            for (int c = 0; c < channels; ++c) data[(y * 3 + x) * channels + c] = T(10 * y + 3 * x + c + 1);
    auto out = OIIO::ImageOutput::create(path);
    EXPECT_TRUE(out);
    OIIO::ImageSpec spec(3, 2, channels, type);
    spec.attribute("oiio:UnassociatedAlpha", 1);  // store the bytes as given
    EXPECT_TRUE(out->open(path, spec));
    EXPECT_TRUE(out->write_image(type, data.data()));
    out->close();
    return path;
}

struct Loaded {
    bool ok;
    Image image;
    std::string out;
};

Loaded load(const std::string& path) {
    Loaded l;
    testing::internal::CaptureStdout();
    l.ok = loadImage(path, l.image);
    l.out = testing::internal::GetCapturedStdout();
    return l;
}

}  // namespace

TEST(ImageIO, EightBitImagesOfOneToFourChannelsLoadBottomRowFirst) {
    for (int channels = 1; channels <= 4; ++channels) {
        SCOPED_TRACE(channels);
        const std::string path =
            writeImage<uint8_t>("c" + std::to_string(channels) + ".png", channels, OIIO::TypeDesc::UINT8);
        const Loaded l = load(path);
        ASSERT_TRUE(l.ok) << l.out;
        EXPECT_EQ(l.out, "");
        EXPECT_EQ(l.image.width, 3);
        EXPECT_EQ(l.image.height, 2);
        EXPECT_EQ(l.image.bytesPerPixel, channels);
        ASSERT_EQ(l.image.pixels.size(), 6u * channels);
        // First stored row is the file's bottom row (y = 1); channels in file order (R, G, B, A).
        for (int x = 0; x < 3; ++x)
            for (int c = 0; c < channels; ++c) {
                EXPECT_EQ(l.image.pixels[x * channels + c], 10 + 3 * x + c + 1);
                EXPECT_EQ(l.image.pixels[(3 + x) * channels + c], 3 * x + c + 1);
            }

        // On the device every texture has four channels.
        DeviceTexture tex;
        ASSERT_TRUE(tex.create(l.image));
        const TextureRecord r = tex.record();
        ASSERT_EQ(r.width, 3);
        std::vector<uint8_t> texels(6 * 4);
        device::copyToHost(texels.data(), r.pixels, texels.size());
        const uint8_t* first = &texels[0];  // bottom-left pixel: bytes 11, 12, 13, 14 of the file
        if (channels <= 2) {
            EXPECT_EQ(first[0], 11);
            EXPECT_EQ(first[1], 11);
            EXPECT_EQ(first[2], 11);
            EXPECT_EQ(first[3], channels == 2 ? 12 : 255);
        } else {
            EXPECT_EQ(first[0], 11);
            EXPECT_EQ(first[1], 12);
            EXPECT_EQ(first[2], 13);
            EXPECT_EQ(first[3], channels == 4 ? 14 : 255);
        }
        std::remove(path.c_str());
    }
}

TEST(ImageIO, FormatsAreRecognisedByContentFirst) {
    const std::string png = writeImage<uint8_t>("content.png", 3, OIIO::TypeDesc::UINT8);
    const std::string renamed = tempPath("content.data");
    std::rename(png.c_str(), renamed.c_str());
    const Loaded l = load(renamed);
    EXPECT_TRUE(l.ok) << l.out;
    EXPECT_EQ(l.image.bytesPerPixel, 3);
    std::remove(renamed.c_str());
}

TEST(ImageIO, UnsupportedImagesAreReportedAndNotLoaded) {
    const std::string wide =
        writeImage<uint16_t>("wide.png", 3, OIIO::TypeDesc::UINT16);  // 48 bits per pixel
    const std::string grey16 = writeImage<uint16_t>("grey16.png", 1, OIIO::TypeDesc::UINT16);
    const std::string flt = writeImage<float>("float.exr", 3, OIIO::TypeDesc::FLOAT);
    const std::string five = writeImage<uint8_t>("five.tif", 5, OIIO::TypeDesc::UINT8);
    const std::string junk = tempPath("junk.xyz");
    std::ofstream(junk) << "not an image at all\n";
    const std::string fakePng = tempPath("fake.png");
    std::ofstream(fakePng) << "not an image at all\n";

    struct Case {
        std::string path;
        std::string message;
    } cases[] = {
        {wide, "Error: Only 8-bits-per-component standard bitmap is supported.\n"},
        {grey16, "Error: Only 8-bits-per-component standard bitmap is supported.\n"},
        {flt, "Error: Only 8-bits-per-component standard bitmap is supported.\n"},
        {five, "Error: Only 8, 16, 24, 32 bits per pixel are supported.\n"},
        {junk, "Error: Cannot determine image format of " + junk + ".\n"},
        {fakePng, "Error: Cannot read image file " + fakePng + ".\n"},
        {tempPath("missing.png"), "Error: Cannot read image file " + tempPath("missing.png") + ".\n"},
    };
    for (const Case& c : cases) {
        Image untouched;
        untouched.width = 77;
        testing::internal::CaptureStdout();
        EXPECT_FALSE(loadImage(c.path, untouched));
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.message);
        EXPECT_EQ(untouched.width, 77);
        EXPECT_TRUE(untouched.pixels.empty());
        std::remove(c.path.c_str());
    }
}

TEST(ImageIO, StartUpLoadsTexturesNextToTheSceneFileAndSkipsBadOnes) {
    const std::string dir = testing::TempDir() + "lumenar_texture_scene_" + std::to_string(getpid()) + "/";
    std::remove((dir + "input").c_str());
    ASSERT_EQ(std::system(("mkdir -p " + dir).c_str()), 0);
    const std::string good = writeImage<uint8_t>("good.png", 4, OIIO::TypeDesc::UINT8);
    ASSERT_EQ(std::rename(good.c_str(), (dir + "good.png").c_str()), 0);
    std::ofstream(dir + "input") << "textures\ntexture\n3\ngood.png\nmissing.png\ngood.png\n";

    Settings settings;
    Application app(settings);
    testing::internal::CaptureStdout();
    const bool started = app.start(dir + "input");
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(started) << out;
    EXPECT_NE(out.find("Error: Cannot read image file " + dir + "missing.png.\n"), std::string::npos) << out;
    const auto& textures = app.scene().textures;
    ASSERT_EQ(textures.size(), 3u);
    EXPECT_EQ(textures[0].width(), 3);
    EXPECT_EQ(textures[1].width(), 0);  // skipped
    EXPECT_EQ(textures[2].height(), 2);
    testing::internal::CaptureStdout();
    app.shutdown();
    testing::internal::GetCapturedStdout();
}

TEST(StartUp, ParseFailureStopsStartUpWithTheMessage) {
    const std::string path = tempPath("broken_input");
    std::ofstream(path) << "title\ncamera\nresolution 64 64\neye 0 0 1\nlokat 0 0 0\n";
    Settings settings;
    Application app(settings);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(app.start(path));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find(path + ":5: expected \"lookat <number> <number> <number>\", found \"lokat\""),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("Building spatial acceleration structures"), std::string::npos);
    std::remove(path.c_str());

    Application missing(settings);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(missing.start(testing::TempDir() + "no_such_dir/input"));
    const std::string m = testing::internal::GetCapturedStdout();
    EXPECT_NE(m.find("Cannot open the scene file \"input\" (looked in "), std::string::npos) << m;
    EXPECT_NE(m.find("no_such_dir"), std::string::npos) << m;
}
