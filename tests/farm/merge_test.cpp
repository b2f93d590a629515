// The record in high-dynamic-range images and lumenar-merge: header round
// trip, float precision, weighting by frame count, and every refusal as the
// program reports it (a message naming the file, exit status 1, nothing
// written).
#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app/image_merge.h"
#include "farm_test_util.h"

using namespace lumenar;
using namespace lumenar::test;
namespace fs = std::filesystem;

namespace {

std::vector<Color> constantImage(int w, int h, Color c) {
    return std::vector<Color>(static_cast<std::size_t>(w) * h, c);
}

std::string dir(const std::string& name) {
    return freshDir("merge_" + name);
}

using MergeRun = ProgramRun;

MergeRun runMerge(const std::string& arguments) {
    return runProgram(LUMENAR_MERGE_PROGRAM, arguments);
}

// A recorded image whose header declares width x height pixels (its data
// window and its lumenar:resolution agree) over the pixels of a 4 x 4 one,
// padded with `padding` zero bytes.
std::string declaringSize(const std::string& small, int width, int height, std::size_t padding) {
    std::string b = readFile(small);
    auto put32 = [&](std::size_t at, int32_t v) {
        for (int i = 0; i < 4; ++i)
            b[at + i] = static_cast<char>((static_cast<uint32_t>(v) >> (8 * i)) & 0xff);
    };
    const std::string window("dataWindow\0box2i\0", 17);
    const std::size_t w = b.find(window);
    if (w == std::string::npos) return std::string();
    put32(w + window.size() + 4 + 8, width - 1);
    put32(w + window.size() + 4 + 12, height - 1);
    const std::string key("lumenar:resolution\0string\0", 26);
    const std::size_t r = b.find(key);
    if (r == std::string::npos) return std::string();
    const std::size_t at = r + key.size();
    const uint32_t oldSize = static_cast<uint8_t>(b[at]) | static_cast<uint8_t>(b[at + 1]) << 8 |
                             static_cast<uint8_t>(b[at + 2]) << 16 |
                             static_cast<uint32_t>(static_cast<uint8_t>(b[at + 3])) << 24;
    const std::string value = std::to_string(width) + "x" + std::to_string(height);
    b.replace(at + 4, oldSize, value);
    put32(at, static_cast<int32_t>(value.size()));
    return b + std::string(padding, '\0');
}

}  // namespace

TEST(RenderRecord, RangesTextRoundTripsAndRejectsGarbage) {
    const std::vector<FrameRange> ranges = {{0, 0, 16}, {0, 16, 16}, {7, 4294967295u - 5, 5}};
    std::vector<FrameRange> back;
    ASSERT_TRUE(parseRanges(formatRanges(ranges), back));
    ASSERT_EQ(back.size(), ranges.size());
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        EXPECT_EQ(back[i].seed, ranges[i].seed);
        EXPECT_EQ(back[i].first, ranges[i].first);
        EXPECT_EQ(back[i].count, ranges[i].count);
    }
    for (const char* bad :
         {"", "0:5", "a:1+2", "0:1+0", "0:4294967295+2", "0:1+2 ", "0:1+2,0:3+1", "0:99999999999+1"})
        EXPECT_FALSE(parseRanges(bad, back)) << bad;

    // Touching ranges join; gaps up to the expected count are what is missing.
    const std::vector<FrameRange> c = coalesceRanges({{0, 32, 16}, {0, 0, 16}, {0, 16, 8}, {3, 0, 4}});
    EXPECT_EQ(formatRanges(c), "0:0+24 0:32+16 3:0+4");
    EXPECT_EQ(formatRanges(missingRanges(c, 0, 64)), "0:24+8 0:48+16");
    EXPECT_EQ(formatRanges(missingRanges(c, 3, 4)), "");
    EXPECT_EQ(describeRange({0, 16, 16}), "frames 17-32");
}

// Every field and every pixel bit come back; halves lose what floats keep.
TEST(RenderRecord, HeaderAndFloatPixelsRoundTrip) {
    const std::string d = dir("roundtrip");
    const int w = 5, h = 3;
    std::vector<Color> rgb(w * h);
    for (int i = 0; i < w * h; ++i)  // values a half float cannot hold; row 0 is the bottom
        rgb[i] = Color(1.0f + std::ldexp(1.0f, -20) * i, 3e-8f * (i + 1), 1e5f + i);
    RenderRecord r = record(48, 32, 9, "mlt");
    r.superSampling = 2;
    r.ranges = {{9, 32, 16}, {9, 64, 32}};
    ASSERT_TRUE(writeRecordedExr(d + "a.exr", w, h, rgb, r, ExrPixels::Float));
    RecordedImage back;
    std::string error;
    ASSERT_TRUE(readRecordedExr(d + "a.exr", back, error)) << error;
    EXPECT_EQ(back.width, w);
    EXPECT_EQ(back.height, h);
    EXPECT_FALSE(back.halfPixels);
    EXPECT_EQ(back.record.frames, 48);
    EXPECT_EQ(back.record.firstFrame, 32u);
    EXPECT_EQ(back.record.seed, 9);
    EXPECT_EQ(back.record.mode, "mlt");
    EXPECT_EQ(back.record.superSampling, 2);
    EXPECT_EQ(back.record.sceneHash, r.sceneHash);
    EXPECT_EQ(back.record.options, r.options);
    EXPECT_EQ(back.record.optionsHash, r.optionsHash);
    EXPECT_EQ(back.record.version, "test");
    EXPECT_EQ(formatRanges(back.record.ranges), "9:32+16 9:64+32");
    ASSERT_EQ(back.rgb.size(), rgb.size());
    EXPECT_EQ(std::memcmp(back.rgb.data(), rgb.data(), rgb.size() * sizeof(Color)), 0);

    ASSERT_TRUE(writeRecordedExr(d + "h.exr", w, h, rgb, r, ExrPixels::Half));
    ASSERT_TRUE(readRecordedExr(d + "h.exr", back, error)) << error;
    EXPECT_TRUE(back.halfPixels);
    EXPECT_EQ(back.rgb[1].r, 1.0f);  // 1 + 2^-20 rounds to 1 in a half
    // A write leaves no temporary files behind.
    int files = 0;
    for (const auto& e : fs::directory_iterator(d)) files += e.is_regular_file() ? 1 : 0;
    EXPECT_EQ(files, 2);
}

// Inputs count with their frames; the header sums them and joins the ranges;
// the PNG uses the path tracer's tone curve (x^(1/3.5), times 255, truncated).
TEST(Merge, WeightsByFrameCountAndTonesLikeTheRenderer) {
    const std::string d = dir("weights");
    ASSERT_TRUE(writeRecordedExr(d + "a.exr", 4, 2, constantImage(4, 2, Color(0.5f, 0.25f, 0.0f)),
                                 record(1, 0), ExrPixels::Float));
    ASSERT_TRUE(writeRecordedExr(d + "b.exr", 4, 2, constantImage(4, 2, Color(0.1f, 1.25f, 2.0f)),
                                 record(3, 1), ExrPixels::Float));
    const MergeRun run = runMerge(d + "m.exr " + d + "b.exr " + d + "a.exr --out " + d + "m.png");
    ASSERT_EQ(run.status, 0) << run.output;
    RecordedImage m;
    std::string error;
    ASSERT_TRUE(readRecordedExr(d + "m.exr", m, error)) << error;
    EXPECT_EQ(m.record.frames, 4);
    EXPECT_EQ(formatRanges(m.record.ranges), "0:0+4");
    EXPECT_EQ(m.record.firstFrame, 0u);
    const double expected[3] = {(0.5 + 3 * 0.1) / 4, (0.25 + 3 * 1.25) / 4, (0.0 + 3 * 2.0) / 4};
    EXPECT_FLOAT_EQ(m.rgb[0].r, static_cast<float>(expected[0]));
    EXPECT_FLOAT_EQ(m.rgb[0].g, static_cast<float>(expected[1]));
    EXPECT_FLOAT_EQ(m.rgb[0].b, static_cast<float>(expected[2]));

    auto in = OIIO::ImageInput::open(d + "m.png");
    ASSERT_TRUE(in);
    std::vector<uint8_t> png(4 * 2 * 3);
    ASSERT_TRUE(in->read_image(0, 0, 0, 3, OIIO::TypeDesc::UINT8, png.data()));
    for (int c = 0; c < 3; ++c) {
        const double toned = std::pow(expected[c], 1.0 / 3.5);
        const int byte = toned >= 1.0 ? 255 : static_cast<int>(toned * 255.0);
        EXPECT_NEAR(png[c], byte, 1) << "channel " << c;
    }
}

// Each refusal: exit status 1, a message naming the file and the problem,
// and no merged image.
TEST(Merge, RefusesWhatCannotBeMergedAndWritesNothing) {
    const std::string d = dir("refusals");
    const auto image = constantImage(4, 4, Color(0.5f, 0.5f, 0.5f));
    ASSERT_TRUE(writeRecordedExr(d + "good.exr", 4, 4, image, record(16, 0), ExrPixels::Float));
    ASSERT_TRUE(writeRecordedExr(d + "next.exr", 4, 4, image, record(16, 16), ExrPixels::Float));
    RenderRecord otherScene = record(16, 16);
    otherScene.sceneHash = "fedcba9876543210";
    ASSERT_TRUE(writeRecordedExr(d + "scene.exr", 4, 4, image, otherScene, ExrPixels::Float));
    ASSERT_TRUE(writeRecordedExr(d + "size.exr", 8, 4, constantImage(8, 4, Color()), record(16, 16),
                                 ExrPixels::Float));
    ASSERT_TRUE(writeRecordedExr(d + "mode.exr", 4, 4, image, record(16, 16, 0, "mlt"), ExrPixels::Float));
    RenderRecord fog = record(16, 16);
    fog.options = "mode=pt ss=1 kd-mode=1 fog=1 subsurface=0";
    fog.optionsHash = fingerprintOf(fog.options);
    ASSERT_TRUE(writeRecordedExr(d + "fog.exr", 4, 4, image, fog, ExrPixels::Float));
    ASSERT_TRUE(writeRecordedExr(d + "overlap.exr", 4, 4, image, record(8, 12), ExrPixels::Float));
    ASSERT_TRUE(writeExrBottomUp(d + "plain.exr", 4, 4, image));  // no record
    ASSERT_TRUE(writePngBottomUp(d + "picture.png", 4, 4, std::vector<uint8_t>(48, 7)));
    fs::rename(d + "picture.png", d + "picture.exr");
    std::ofstream(d + "text.exr", std::ios::binary) << "not an image\n";
    // A large image cut short: its header is whole, its pixels are not.
    ASSERT_TRUE(writeRecordedExr(d + "big.exr", 256, 256, constantImage(256, 256, Color(1, 2, 3)),
                                 record(16, 16), ExrPixels::Float));
    const std::string big = readFile(d + "big.exr");
    std::ofstream(d + "truncated.exr", std::ios::binary) << big.substr(0, big.size() / 2);

    struct Case {
        const char* input;
        const char* says;
    };
    const Case cases[] = {
        {"scene.exr", "different scene"},
        {"size.exr", "resolution is 8x4, not 4x4"},
        {"mode.exr", "mode mlt, not pt"},
        {"fog.exr", "fog=1"},
        {"overlap.exr", "overlap: both hold frames 13-16"},
        {"missing.exr", "no such file"},
        {"truncated.exr", "truncated"},
        {"text.exr", "not a readable image"},
        {"picture.exr", "not an OpenEXR image"},
        {"plain.exr", "not written by lumenar-render --hdr"},
    };
    for (const Case& c : cases) {
        const MergeRun run =
            runMerge(d + "out.exr " + d + "good.exr " + d + c.input + " --out " + d + "out.png");
        EXPECT_EQ(run.status, 1) << c.input << ": " << run.output;
        EXPECT_NE(run.output.find(d + c.input), std::string::npos) << c.input << ": " << run.output;
        EXPECT_NE(run.output.find(c.says), std::string::npos) << c.input << ": " << run.output;
        EXPECT_FALSE(fs::exists(d + "out.exr")) << c.input;
        EXPECT_FALSE(fs::exists(d + "out.png")) << c.input;
    }
    // The two good ones merge, and the same file twice is an overlap.
    MergeRun run = runMerge(d + "out.exr " + d + "good.exr " + d + "good.exr");
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find("overlap"), std::string::npos) << run.output;
    run = runMerge(d + "out.exr " + d + "good.exr " + d + "next.exr");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(fs::exists(d + "out.exr"));
    // An output folder that does not exist is found before anything is read.
    run = runMerge(d + "nowhere/out.exr " + d + "good.exr");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find("does not exist"), std::string::npos) << run.output;
}

// A gap in the expected frames is an error unless --allow-partial, which
// merges what is there and names the missing ranges and the skipped files.
TEST(Merge, PartialMergesSayWhatIsMissing) {
    const std::string d = dir("partial");
    const auto image = constantImage(4, 4, Color(0.5f, 0.5f, 0.5f));
    ASSERT_TRUE(writeRecordedExr(d + "r0.exr", 4, 4, image, record(16, 0), ExrPixels::Float));
    ASSERT_TRUE(writeRecordedExr(d + "r2.exr", 4, 4, image, record(16, 32), ExrPixels::Float));
    const std::string inputs = d + "r0.exr " + d + "r1.exr " + d + "r2.exr " + d + "r3.exr";

    MergeRun run = runMerge(d + "m.exr " + d + "r0.exr " + d + "r2.exr --expect-frames 64");
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find("frames 17-32, frames 49-64"), std::string::npos) << run.output;
    EXPECT_FALSE(fs::exists(d + "m.exr"));

    run = runMerge(d + "m.exr " + inputs + " --expect-frames 64 --allow-partial");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find(d + "r1.exr: no such file; skipped"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find(d + "r3.exr: no such file; skipped"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("missing: frames 17-32, frames 49-64"), std::string::npos) << run.output;
    RecordedImage m;
    std::string error;
    ASSERT_TRUE(readRecordedExr(d + "m.exr", m, error)) << error;
    EXPECT_EQ(m.record.frames, 32);
    EXPECT_EQ(formatRanges(m.record.ranges), "0:0+16 0:32+16");

    // The merged image merges again with the rest.
    ASSERT_TRUE(writeRecordedExr(d + "r1.exr", 4, 4, image, record(16, 16), ExrPixels::Float));
    ASSERT_TRUE(writeRecordedExr(d + "r3.exr", 4, 4, image, record(16, 48), ExrPixels::Float));
    run = runMerge(d + "all.exr " + d + "m.exr " + d + "r1.exr " + d + "r3.exr --expect-frames 64");
    EXPECT_EQ(run.status, 0) << run.output;
    ASSERT_TRUE(readRecordedExr(d + "all.exr", m, error)) << error;
    EXPECT_EQ(formatRanges(m.record.ranges), "0:0+64");
    EXPECT_EQ(m.rgb[5].g, 0.5f);
}

// Headers no render writes: sizes far beyond any render (with room for
// their chunk tables, so the reader gets as far as the pixels), channels
// that are not R, G, B, a file cut short inside its header. Each ends in
// exit status 1 and a message naming the file, never in an abort.
TEST(Merge, HostileHeadersEndInAMessage) {
    const std::string d = dir("hostile");
    const auto image = constantImage(4, 4, Color(0.5f, 0.5f, 0.5f));
    ASSERT_TRUE(writeRecordedExr(d + "good.exr", 4, 4, image, record(16, 0), ExrPixels::Float));
    // 10^10 pixels: 120 GB of colours if believed.
    std::ofstream(d + "huge.exr", std::ios::binary) << declaringSize(d + "good.exr", 100000, 100000, 70000);
    // One pixel over the most a render has, and the most (its pixels cut).
    std::ofstream(d + "over.exr", std::ios::binary) << declaringSize(d + "good.exr", 16384, 16385, 9000);
    std::ofstream(d + "most.exr", std::ios::binary) << declaringSize(d + "good.exr", 16384, 16384, 9000);
    {
        auto out = OIIO::ImageOutput::create(d + "xyz.exr");
        OIIO::ImageSpec spec(4, 4, 3, OIIO::TypeDesc::FLOAT);
        spec.channelnames = {"X", "Y", "Z"};
        const RenderRecord r = record(16, 16);
        spec.attribute("lumenar:frames", r.frames);
        spec.attribute("lumenar:resolution", "4x4");
        ASSERT_TRUE(out && out->open(d + "xyz.exr", spec));
        ASSERT_TRUE(out->write_image(OIIO::TypeDesc::FLOAT, image.data()));
        out->close();
    }
    const std::string good = readFile(d + "good.exr");
    std::ofstream(d + "cut.exr", std::ios::binary) << good.substr(0, good.find("lumenar:options") + 20);

    struct Case {
        const char* input;
        const char* says;
    };
    const Case cases[] = {
        {"huge.exr", "declares 100000 x 100000 pixels, more than lumenar-render renders"},
        {"over.exr", "declares 16384 x 16385 pixels"},
        {"most.exr", "truncated or damaged"},
        {"xyz.exr", "channels are X, Y, Z, not R, G, B"},
        {"cut.exr", "its header is cut short"},
    };
    for (const Case& c : cases) {
        const MergeRun run = runMerge(d + "out.exr " + d + "good.exr " + d + c.input);
        EXPECT_EQ(run.status, 1) << c.input << ": " << run.output;
        EXPECT_NE(run.output.find(d + c.input + ": "), std::string::npos) << c.input << ": " << run.output;
        EXPECT_NE(run.output.find(c.says), std::string::npos) << c.input << ": " << run.output;
        EXPECT_FALSE(fs::exists(d + "out.exr")) << c.input;
    }
    // With --allow-partial each is left out by name and the rest merged.
    std::string all;
    for (const Case& c : cases) all += " " + d + c.input;
    const MergeRun partial = runMerge(d + "out.exr " + d + "good.exr" + all + " --allow-partial");
    EXPECT_EQ(partial.status, 0) << partial.output;
    for (const Case& c : cases)
        EXPECT_NE(partial.output.find(d + c.input + ": "), std::string::npos) << partial.output;
    EXPECT_NE(partial.output.find("from 1 images"), std::string::npos) << partial.output;

    // What fuzzing the reading found (fuzz/regressions/merge), each of which
    // once took the reader seconds and gigabytes: refused by the walk of the
    // header, before the reader allocates what it says.
    const fs::path found = fs::path(LUMENAR_SOURCE_DIR) / "fuzz" / "regressions" / "merge";
    int files = 0;
    for (const auto& entry : fs::directory_iterator(found)) {
        ++files;
        const std::string input = entry.path().string();
        const MergeRun run = runMerge(d + "out.exr " + d + "good.exr " + input);
        EXPECT_EQ(run.status, 1) << input << ": " << run.output;
        EXPECT_NE(run.output.find(input + ": its header"), std::string::npos) << run.output;
    }
    EXPECT_GE(files, 2);
}

// The walk of the header refuses tiles that outgrow the image by gigabytes,
// not tiled files: a tile may be larger than a small image, or cut it in
// many. Both merge as their scanline copy does.
TEST(Merge, TiledInputsMergeLikeTheirScanlineCopies) {
    const std::string d = dir("tiled");
    std::vector<Color> ramp(17 * 9);
    for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = Color(0.01f * i, 0.5f, 1.0f - 0.005f * i);
    ASSERT_TRUE(writeRecordedExr(d + "a.exr", 17, 9, ramp, record(16, 0), ExrPixels::Float));
    ASSERT_TRUE(writeRecordedExr(d + "b.exr", 17, 9, constantImage(17, 9, Color(0.2f, 0.1f, 0.4f)),
                                 record(16, 16), ExrPixels::Float));
    const MergeRun plain = runMerge(d + "plain.exr " + d + "a.exr " + d + "b.exr");
    ASSERT_EQ(plain.status, 0) << plain.output;
    RecordedImage expected;
    std::string error;
    ASSERT_TRUE(readRecordedExr(d + "plain.exr", expected, error)) << error;

    auto in = OIIO::ImageInput::open(d + "b.exr");
    ASSERT_TRUE(in);
    const OIIO::ImageSpec spec = in->spec();
    std::vector<float> px(17 * 9 * 3);
    ASSERT_TRUE(in->read_image(0, 0, 0, 3, OIIO::TypeDesc::FLOAT, px.data()));
    in->close();
    for (const int tile : {64, 4}) {
        const std::string tiled = d + "b_tiles" + std::to_string(tile) + ".exr";
        OIIO::ImageSpec s = spec;
        s.tile_width = s.tile_height = tile;
        auto out = OIIO::ImageOutput::create(tiled);
        ASSERT_TRUE(out && out->open(tiled, s) && out->write_image(OIIO::TypeDesc::FLOAT, px.data()) &&
                    out->close());
        const MergeRun run = runMerge(d + "m.exr " + d + "a.exr " + tiled);
        ASSERT_EQ(run.status, 0) << tile << ": " << run.output;
        RecordedImage m;
        ASSERT_TRUE(readRecordedExr(d + "m.exr", m, error)) << error;
        ASSERT_EQ(m.rgb.size(), expected.rgb.size());
        for (std::size_t i = 0; i < m.rgb.size(); ++i) {
            EXPECT_EQ(m.rgb[i].r, expected.rgb[i].r) << tile << ", pixel " << i;
            EXPECT_EQ(m.rgb[i].b, expected.rgb[i].b) << tile << ", pixel " << i;
        }
    }
}

// A negative or non-finite pixel makes an input damaged: refused, or with
// --allow-partial left out by name while the others merge.
TEST(Merge, DamagedPixelsRefuseTheMergeOrLeaveTheirInputOut) {
    const std::string d = dir("damaged");
    const auto image = constantImage(4, 4, Color(0.5f, 0.25f, 1.0f));
    ASSERT_TRUE(writeRecordedExr(d + "r0.exr", 4, 4, image, record(16, 0), ExrPixels::Float));
    ASSERT_TRUE(writeRecordedExr(d + "r2.exr", 4, 4, image, record(16, 32), ExrPixels::Float));
    auto nan = image;
    nan[13].g = std::nanf("");  // x 1, y 0 from the top left (row 3 from the bottom)
    ASSERT_TRUE(writeRecordedExr(d + "nan.exr", 4, 4, nan, record(16, 16), ExrPixels::Float));
    auto negative = image;
    negative[0].b = -1.0f;
    ASSERT_TRUE(writeRecordedExr(d + "neg.exr", 4, 4, negative, record(16, 48), ExrPixels::Float));
    const std::string inputs = d + "r0.exr " + d + "nan.exr " + d + "r2.exr " + d + "neg.exr";

    MergeRun run = runMerge(d + "m.exr " + inputs);
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find(d + "nan.exr: pixel 1, 0 (from the top left) is negative or not a number"),
              std::string::npos)
        << run.output;
    EXPECT_FALSE(fs::exists(d + "m.exr"));

    run = runMerge(d + "m.exr " + inputs + " --allow-partial --expect-frames 64");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find(d + "nan.exr: pixel 1, 0"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find(d + "neg.exr: pixel 0, 3"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("missing: frames 17-32, frames 49-64"), std::string::npos) << run.output;
    RecordedImage m;
    std::string error;
    ASSERT_TRUE(readRecordedExr(d + "m.exr", m, error)) << error;
    EXPECT_EQ(m.record.frames, 32);
    EXPECT_EQ(formatRanges(m.record.ranges), "0:0+16 0:32+16");
    EXPECT_EQ(m.rgb[13].g, 0.25f);
    EXPECT_EQ(m.rgb[0].b, 1.0f);
}

// Renders with a noise estimate (adaptive ones take different samples per
// pixel) merge pixel by pixel: each average weighs with its pixel's samples,
// the variances of the means as those of independent means, and the merged
// header states the noise the merged estimate gives. A run that stopped at
// its noise threshold holds its whole range, so the frames it did not need
// are not missing.
TEST(Merge, AdaptiveRangesWeighByEachPixelsSamples) {
    const std::string d = dir("adaptive");
    const int w = 3, h = 2;
    const std::vector<Color> a = {Color(0.5f, 0.25f, 1.0f), Color(1.5f, 0.1f, 0.0f), Color(0.2f, 0.2f, 0.2f),
                                  Color(3.0f, 2.0f, 1.0f),  Color(0.0f, 0.0f, 0.0f), Color(0.7f, 0.6f, 0.5f)};
    const std::vector<Color> b = {Color(0.7f, 0.35f, 0.8f), Color(1.1f, 0.3f, 0.1f), Color(0.3f, 0.1f, 0.4f),
                                  Color(2.0f, 2.5f, 0.5f),  Color(0.1f, 0.2f, 0.3f), Color(0.9f, 0.1f, 0.2f)};
    NoiseChannels na, nb;
    na.samples = {16, 4, 10, 16, 8, 2};
    nb.samples = {32, 20, 5, 1, 32, 7};
    for (int i = 0; i < w * h; ++i) {
        na.variance.push_back(Color(0.01f * (i + 1), 0.02f, 0.003f));
        nb.variance.push_back(Color(0.004f, 0.001f * (i + 1), 0.05f));
    }
    nb.variance[3] = Color(-1.0f, -1.0f, -1.0f);  // one sample: not known
    RenderRecord ra = record(16, 0), rb = record(32, 16);
    rb.reserved = {{0, 16, 48}};
    rb.noiseThreshold = 0.05;
    rb.noiseReached = true;
    rb.noiseError = 0.02;
    rb.noiseWorst = 0.049;
    ASSERT_TRUE(writeRecordedExr(d + "a.exr", w, h, a, ra, ExrPixels::Float, &na));
    ASSERT_TRUE(writeRecordedExr(d + "b.exr", w, h, b, rb, ExrPixels::Float, &nb));
    RecordedImage back;
    std::string error;
    ASSERT_TRUE(readRecordedExr(d + "b.exr", back, error)) << error;
    EXPECT_EQ(back.noise.samples, nb.samples);
    EXPECT_EQ(std::memcmp(back.noise.variance.data(), nb.variance.data(), sizeof(Color) * w * h), 0);
    EXPECT_EQ(formatRanges(back.record.reserved), "0:16+48");
    EXPECT_FLOAT_EQ(static_cast<float>(back.record.noiseThreshold), 0.05f);
    EXPECT_TRUE(back.record.noiseReached);
    EXPECT_FLOAT_EQ(static_cast<float>(back.record.noiseWorst), 0.049f);

    // Frames 49-64 were b's to take: nothing is missing of 64.
    const MergeRun run = runMerge(d + "m.exr " + d + "a.exr " + d + "b.exr --expect-frames 64");
    ASSERT_EQ(run.status, 0) << run.output;
    RecordedImage m;
    ASSERT_TRUE(readRecordedExr(d + "m.exr", m, error)) << error;
    EXPECT_EQ(m.record.frames, 48);
    EXPECT_EQ(formatRanges(m.record.ranges), "0:0+48");
    EXPECT_EQ(formatRanges(m.record.reserved), "0:0+64");
    ASSERT_EQ(m.noise.samples.size(), 6u);
    double relMse = 0.0, worst = 0.0;
    bool known = true;
    for (int i = 0; i < w * h; ++i) {
        const double n1 = na.samples[i], n2 = nb.samples[i], n = n1 + n2;
        EXPECT_EQ(m.noise.samples[i], na.samples[i] + nb.samples[i]);
        EXPECT_FLOAT_EQ(m.rgb[i].r, static_cast<float>((n1 * a[i].r + n2 * b[i].r) / n)) << i;
        EXPECT_FLOAT_EQ(m.rgb[i].b, static_cast<float>((n1 * a[i].b + n2 * b[i].b) / n)) << i;
        if (i == 3) {
            EXPECT_LT(m.noise.variance[i].r, 0.0f);
            known = false;
            continue;
        }
        const double v[3] = {(n1 * n1 * na.variance[i].r + n2 * n2 * nb.variance[i].r) / (n * n),
                             (n1 * n1 * na.variance[i].g + n2 * n2 * nb.variance[i].g) / (n * n),
                             (n1 * n1 * na.variance[i].b + n2 * n2 * nb.variance[i].b) / (n * n)};
        EXPECT_FLOAT_EQ(m.noise.variance[i].r, static_cast<float>(v[0])) << i;
        EXPECT_FLOAT_EQ(m.noise.variance[i].g, static_cast<float>(v[1])) << i;
        EXPECT_FLOAT_EQ(m.noise.variance[i].b, static_cast<float>(v[2])) << i;
        const float c[3] = {m.rgb[i].r, m.rgb[i].g, m.rgb[i].b};
        double e = 0.0;
        for (int k = 0; k < 3; ++k) e += v[k] / (static_cast<double>(c[k]) * c[k] + 0.01) / 3.0;
        relMse += e / (w * h);
        worst = std::max(worst, e);
    }
    // One pixel's noise is not known: neither is the image's.
    EXPECT_FALSE(known);
    EXPECT_LT(m.record.noiseError, 0.0);

    // Without that pixel's gap, the merged header states the noise.
    nb.variance[3] = Color(0.002f, 0.002f, 0.002f);
    ASSERT_TRUE(writeRecordedExr(d + "b.exr", w, h, b, rb, ExrPixels::Float, &nb));
    ASSERT_EQ(runMerge(d + "m.exr " + d + "a.exr " + d + "b.exr").status, 0);
    ASSERT_TRUE(readRecordedExr(d + "m.exr", m, error)) << error;
    {
        const double n1 = 16, n2 = 1, n = 17;
        const float c[3] = {m.rgb[3].r, m.rgb[3].g, m.rgb[3].b};
        const double v[3] = {(n1 * n1 * 0.04 + n2 * n2 * 0.002) / (n * n),
                             (n1 * n1 * 0.02 + n2 * n2 * 0.002) / (n * n),
                             (n1 * n1 * 0.003 + n2 * n2 * 0.002) / (n * n)};
        double e = 0.0;
        for (int k = 0; k < 3; ++k) e += v[k] / (static_cast<double>(c[k]) * c[k] + 0.01) / 3.0;
        relMse += e / (w * h);
        worst = std::max(worst, e);
    }
    EXPECT_NEAR(m.record.noiseError, std::sqrt(relMse), 1e-4 * std::sqrt(relMse));
    EXPECT_NEAR(m.record.noiseWorst, std::sqrt(worst), 1e-4 * std::sqrt(worst));

    // An input without the channels weighs every pixel by its frames; the
    // merge then has no estimate.
    ASSERT_TRUE(writeRecordedExr(d + "c.exr", w, h, b, record(32, 16), ExrPixels::Float));
    ASSERT_EQ(runMerge(d + "m.exr " + d + "a.exr " + d + "c.exr").status, 0);
    ASSERT_TRUE(readRecordedExr(d + "m.exr", m, error)) << error;
    EXPECT_TRUE(m.noise.empty());
    EXPECT_FLOAT_EQ(m.rgb[1].r, static_cast<float>((4.0 * 1.5 + 32.0 * 1.1) / 36.0));

    // Damaged channels are refused with the file's name.
    NoiseChannels tooMany = na;
    tooMany.samples[2] = 17;
    ASSERT_TRUE(writeRecordedExr(d + "many.exr", w, h, a, ra, ExrPixels::Float, &tooMany));
    NoiseChannels notVariance = na;
    notVariance.variance[1].g = NAN;
    ASSERT_TRUE(writeRecordedExr(d + "nan.exr", w, h, a, ra, ExrPixels::Float, &notVariance));
    for (const auto& [file, says] :
         {std::pair<std::string, std::string>{"many.exr", "17 samples, more than its 16"},
          {"nan.exr", "not a variance"}}) {
        const MergeRun bad = runMerge(d + "x.exr " + d + file + " " + d + "b.exr");
        EXPECT_EQ(bad.status, 1) << bad.output;
        EXPECT_NE(bad.output.find(d + file), std::string::npos) << bad.output;
        EXPECT_NE(bad.output.find(says), std::string::npos) << bad.output;
        EXPECT_FALSE(fs::exists(d + "x.exr"));
    }
}
