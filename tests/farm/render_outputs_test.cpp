// lumenar-render as a farm runs it: output names checked before the scene
// loads, each image attempted whatever becomes of the other, a texture that
// cannot be read stopping the run, and a scene fingerprint that keeps
// ranges rendered under other skies or without a texture from merging.
#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/batch_output.h"
#include "farm_test_util.h"
#include "scene/hdr_image.h"

using namespace lumenar;
using namespace lumenar::test;
namespace fs = std::filesystem;

namespace {

std::string dir(const std::string& name) {
    return freshDir("outputs_" + name);
}

ProgramRun render(const std::string& arguments) {
    return runProgram(LUMENAR_RENDER_PROGRAM, "--threads 2 --frames 2 " + arguments);
}

// The lamp scene (8 x 8 pixels) in `d` as "input", with `blocks` (a sky, a
// texture list) before its materials.
std::string lampSceneWith(const std::string& d, const std::string& blocks) {
    std::string text = readFile(lampScene(8));
    const std::size_t at = text.find("material\n3\n");
    if (at == std::string::npos) return std::string();
    text.insert(at, blocks);
    std::ofstream(d + "input") << text;
    return d + "input";
}

void writeSky(const std::string& path, float level) {
    FloatImage sky;
    sky.width = 4;
    sky.height = 2;
    sky.rgb.assign(24, level);
    ASSERT_TRUE(writeLinearImage(path, sky));
}

void writeTexture(const std::string& path) {
    const std::vector<uint8_t> texels(2 * 2 * 3, 200);
    auto out = OIIO::ImageOutput::create(path);
    ASSERT_TRUE(out && out->open(path, OIIO::ImageSpec(2, 2, 3, OIIO::TypeDesc::UINT8)));
    ASSERT_TRUE(out->write_image(OIIO::TypeDesc::UINT8, texels.data()));
    out->close();
}

}  // namespace

// A name no image can be written to ends the run before the scene loads,
// with exit status 1 and a message naming the file.
TEST(RenderProgram, OutputNamesThatCannotBeWrittenFailBeforeTheSceneLoads) {
    const std::string d = dir("names");
    const std::string scene = lampSceneWith(d, "");
    struct Case {
        std::string arguments, file, says;
    };
    const Case cases[] = {
        {"--out " + d + "final", d + "final", "no image format has this extension"},
        {"--out " + d + "nowhere/a.png", d + "nowhere/a.png", "the folder " + d + "nowhere does not exist"},
        {"--out " + d, d, "is a folder"},
        {"--out " + d + "a.png --hdr " + d + "a", d + "a", "no image format has this extension (use .exr)"},
        {"--out " + d + "a.png --hdr " + d + "a.tif", d + "a.tif", "written as OpenEXR: name it .exr"},
        {"--out " + d + "a.png --hdr " + d + "nowhere/a.exr", d + "nowhere/a.exr", "does not exist"},
        {"--out " + d + "a.exr --hdr " + d + "a.exr", d + "a.exr", "--out and --hdr name the same file"},
    };
    for (const Case& c : cases) {
        const ProgramRun r = render(scene + " " + c.arguments);
        EXPECT_EQ(r.status, 1) << c.arguments << ": " << r.output;
        EXPECT_NE(r.output.find(c.file + ": "), std::string::npos) << c.arguments << ": " << r.output;
        EXPECT_NE(r.output.find(c.says), std::string::npos) << c.arguments << ": " << r.output;
        EXPECT_EQ(r.output.find("Loading files"), std::string::npos) << c.arguments << ": " << r.output;
    }
    // The check leaves nothing behind in the folder.
    const ProgramRun ok = render(scene + " --out " + d + "a.png --hdr " + d + "a.exr");
    EXPECT_EQ(ok.status, 0) << ok.output;
    int files = 0;
    for (const auto& e : fs::directory_iterator(d)) files += e.is_regular_file() ? 1 : 0;
    EXPECT_EQ(files, 3);  // input, a.png, a.exr
}

// A write that fails after the render (a full disk, a folder gone) costs
// that image alone: the other is still written, and the exit status says
// which one is missing.
TEST(RenderOutputs, EachImageIsWrittenWhateverBecomesOfTheOther) {
    const std::string d = dir("writes");
    const int w = 3, h = 2;
    BatchResult result;
    result.rgb.assign(w * h * 3, 128);
    result.average.assign(w * h, Color(0.25f, 0.5f, 1.0f));
    const RenderRecord r = record(16);
    const std::string gone = d + "gone/";

    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int pngLost = writeBatchImages(gone + "a.png", d + "a.exr", w, h, result, r, ExrPixels::Float);
    const int hdrLost = writeBatchImages(d + "b.png", gone + "b.exr", w, h, result, r, ExrPixels::Float);
    const int bothLost = writeBatchImages(gone + "c.png", gone + "c.exr", w, h, result, r, ExrPixels::Float);
    const int noneLost = writeBatchImages(d + "d.png", "", w, h, result, r, ExrPixels::Float);
    testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();

    EXPECT_EQ(pngLost, kPngNotWritten);
    RecordedImage back;
    std::string error;
    EXPECT_TRUE(readRecordedExr(d + "a.exr", back, error)) << error;
    EXPECT_EQ(hdrLost, kHdrNotWritten);
    EXPECT_TRUE(fs::exists(d + "b.png"));
    EXPECT_EQ(bothLost, kPngNotWritten + kHdrNotWritten);
    EXPECT_EQ(noneLost, 0);
    EXPECT_TRUE(fs::exists(d + "d.png"));
    for (const char* name : {"a.png", "b.exr"})
        EXPECT_NE(err.find(gone + name + " not written"), std::string::npos) << name << ": " << err;
    EXPECT_NE(err.find(gone + "c.png and " + gone + "c.exr not written"), std::string::npos) << err;
}

// Without one of its textures the image would come out untextured, which a
// farm would merge with textured ranges: the run stops, naming the file,
// before anything is built or written.
TEST(RenderProgram, ATextureThatCannotBeReadStopsTheRun) {
    const std::string d = dir("texture");
    writeTexture(d + "wood.png");
    std::ofstream(d + "broken.png") << "not an image\n";
    for (const char* missing : {"absent.png", "broken.png"}) {
        const std::string scene = lampSceneWith(d, std::string("texture\n2\nwood.png\n") + missing + "\n");
        const ProgramRun r = render(scene + " --out " + d + "a.png --hdr " + d + "a.exr");
        EXPECT_EQ(r.status, 1) << r.output;
        // Named as the scene file names it, in the scene's folder.
        EXPECT_NE(r.output.find(std::string(missing) + ": texture 2 of the scene cannot be read; stopping"),
                  std::string::npos)
            << r.output;
        EXPECT_EQ(r.output.find("Building spatial acceleration structures"), std::string::npos) << r.output;
        EXPECT_FALSE(fs::exists(d + "a.png"));
        EXPECT_FALSE(fs::exists(d + "a.exr"));
    }
}

// Ranges rendered under another sky are another scene's: their records
// differ and the merge refuses them.
TEST(RenderProgram, RangesUnderDifferentSkiesDoNotMerge) {
    const std::string d = dir("skies");
    const std::string scene = lampSceneWith(d, "envmap\n1\nsky.exr\n");
    writeSky(d + "sky.exr", 0.5f);
    ProgramRun r = render(scene + " --out " + d + "a.png --hdr " + d + "a.exr");
    ASSERT_EQ(r.status, 0) << r.output;
    writeSky(d + "sky.exr", 2.0f);
    r = render(scene + " --first-frame 2 --out " + d + "b.png --hdr " + d + "b.exr");
    ASSERT_EQ(r.status, 0) << r.output;
    const ProgramRun merged = runProgram(LUMENAR_MERGE_PROGRAM, d + "m.exr " + d + "a.exr " + d + "b.exr");
    EXPECT_EQ(merged.status, 1) << merged.output;
    EXPECT_NE(merged.output.find(d + "b.exr: rendered from a different scene"), std::string::npos)
        << merged.output;
}

// The fingerprint follows what the image shows: the sky's pixels and its
// rotation count; a texture that could not be read counts as missing,
// whatever its file holds, and never as a texture that was read.
TEST(SceneFingerprint, FollowsTheSkyItsRotationAndTexturesThatCouldNotBeRead) {
    const std::string d = dir("fingerprint");
    const std::string scene = lampSceneWith(d, "envmap\n1\nsky.exr\ntexture\n1\nwood.png\n");
    writeSky(d + "sky.exr", 0.5f);
    writeTexture(d + "wood.png");
    auto print = [&](float rotation) {
        Settings settings;
        settings.missingTexturesAllowed = true;
        Application app(settings);
        std::string hex;
        testing::internal::CaptureStdout();
        const bool started = app.start(scene);
        EXPECT_TRUE(started);
        EXPECT_TRUE(started && sceneFingerprint(app, scene, rotation, hex));
        app.shutdown();
        testing::internal::GetCapturedStdout();
        return hex;
    };
    const std::string first = print(0.0f);
    EXPECT_EQ(print(0.0f), first);
    EXPECT_NE(print(0.5f), first);
    writeSky(d + "sky.exr", 0.75f);
    const std::string otherSky = print(0.0f);
    EXPECT_NE(otherSky, first);

    fs::remove(d + "wood.png");
    const std::string absent = print(0.0f);
    std::ofstream(d + "wood.png") << "not an image\n";
    const std::string broken = print(0.0f);
    EXPECT_NE(absent, otherSky);
    EXPECT_EQ(broken, absent);  // both render without it
}
