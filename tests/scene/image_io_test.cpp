// Texture image decoding and the start-up texture stage.
#include "scene/image_io.h"

#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/startup.h"
#include "device/memory.h"
#include "scene/device_texture.h"
#include "scene/hdr_image.h"

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

// A texture that cannot be read stops the start-up, naming the file; the
// window's start-up goes on without it and lists it.
TEST(ImageIO, StartUpLoadsTexturesNextToTheSceneFileAndStopsOnBadOnes) {
    const std::string dir = testing::TempDir() + "lumenar_texture_scene_" + std::to_string(getpid()) + "/";
    std::remove((dir + "input").c_str());
    ASSERT_EQ(std::system(("mkdir -p " + dir).c_str()), 0);
    const std::string good = writeImage<uint8_t>("good.png", 4, OIIO::TypeDesc::UINT8);
    ASSERT_EQ(std::rename(good.c_str(), (dir + "good.png").c_str()), 0);
    std::ofstream(dir + "input") << "textures\ntexture\n3\ngood.png\nmissing.png\ngood.png\n";

    Settings settings;
    Application strict(settings);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(strict.start(dir + "input"));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Error: Cannot read image file " + dir + "missing.png.\n" + dir +
                       "missing.png: texture 2 of the scene cannot be read; stopping\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("Building spatial acceleration structures"), std::string::npos) << out;

    settings.missingTexturesAllowed = true;
    Application app(settings);
    testing::internal::CaptureStdout();
    const bool started = app.start(dir + "input");
    out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(started) << out;
    EXPECT_NE(out.find(dir + "missing.png: texture 2 of the scene cannot be read; rendering without it\n"),
              std::string::npos)
        << out;
    const auto& textures = app.scene().textures;
    ASSERT_EQ(textures.size(), 3u);
    EXPECT_EQ(textures[0].width(), 3);
    EXPECT_EQ(textures[1].width(), 0);  // left out
    EXPECT_EQ(textures[2].height(), 2);
    EXPECT_EQ(app.missingTextures(), std::vector<std::string>{dir + "missing.png"});
    EXPECT_EQ(app.textureFiles(),
              (std::vector<std::string>{dir + "good.png", dir + "missing.png", dir + "good.png"}));
    testing::internal::CaptureStdout();
    app.shutdown();
    testing::internal::GetCapturedStdout();
}

// Environment images come through the same decoders as textures (no other
// the image library has sees them), read only the channels they use, and
// a header that declares more than its file holds fails at its first rows
// with a message, allocating only those.
TEST(ImageIO, EnvironmentImagesKeepToTheTextureFormatsAndReadTheChannelsTheyUse) {
    FloatImage sky;
    sky.width = 3;
    sky.height = 2;
    for (int i = 0; i < 18; ++i) sky.rgb.push_back(0.25f * static_cast<float>(i));
    // A format the image library writes that no scene may use.
    const std::string fits = tempPath("sky.fits");
    testing::internal::CaptureStdout();
    const bool wrote = writeLinearImage(fits, sky);
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(wrote) << "the image library writes FITS";
    FloatImage back;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(loadLinearImage(fits, back));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "Error: Cannot determine image format of environment image " + fits + ".\n");
    EXPECT_EQ(back.width, 0);
    std::remove(fits.c_str());

    // Five channels (RGB and two more) and grey with alpha.
    const std::string five = writeImage<float>("five.exr", 5, OIIO::TypeDesc::FLOAT);
    ASSERT_TRUE(loadLinearImage(five, back));
    ASSERT_EQ(back.rgb.size(), 3u * 2u * 3u);
    // Texel (2, 1) holds 10 * 1 + 3 * 2 + c + 1 in channel c.
    EXPECT_EQ(back.rgb[(1 * 3 + 2) * 3 + 0], 17.0f);
    EXPECT_EQ(back.rgb[(1 * 3 + 2) * 3 + 2], 19.0f);
    const std::string greyAlpha = writeImage<float>("grey.exr", 2, OIIO::TypeDesc::FLOAT);
    ASSERT_TRUE(loadLinearImage(greyAlpha, back));
    EXPECT_EQ(back.rgb[(1 * 3 + 2) * 3 + 1], 17.0f);

    // A 64-channel header declaring 16384 x 16384 texels: 64 GiB of floats
    // were all its channels read, over a file of a few kilobytes.
    const std::string many = writeImage<float>("many.exr", 64, OIIO::TypeDesc::FLOAT);
    std::string bytes;
    {
        std::ifstream in(many, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    const std::string window("dataWindow\0box2i\0", 17);
    const std::size_t at = bytes.find(window);
    ASSERT_NE(at, std::string::npos);
    const int32_t last = 16383;
    for (std::size_t field : {8u, 12u}) std::memcpy(&bytes[at + window.size() + 4 + field], &last, 4);
    bytes += std::string(16384 / 16 * 8 + 1000, '\0');  // room for its chunk table
    const std::string declared = tempPath("declared.exr");
    std::ofstream(declared, std::ios::binary) << bytes;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(loadLinearImage(declared, back));
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("Error: Cannot read environment image " + declared + ": ", 0), 0u) << out;
    for (const std::string& f : {five, greyAlpha, many, declared}) std::remove(f.c_str());

    // Headers that once made the OpenEXR reader allocate gigabytes (see
    // fuzz/regressions/merge) are refused by the walk of the header, as a
    // sky and as a texture.
    const std::string lying =
        std::string(LUMENAR_SOURCE_DIR) + "/fuzz/regressions/merge/attribute-size-beyond-the-file.exr";
    testing::internal::CaptureStdout();
    EXPECT_FALSE(loadLinearImage(lying, back));
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("Error: Cannot read environment image " + lying + ": its header's attribute", 0), 0u)
        << out;
    const Loaded texture = load(lying);
    EXPECT_FALSE(texture.ok);
    EXPECT_EQ(texture.out.rfind("Error: Cannot read image file " + lying + ": its header's attribute", 0), 0u)
        << texture.out;
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
