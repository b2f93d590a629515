// Frame ranges of the sample sequence: runs over disjoint ranges merge to
// the image of one run over all of them, and sequence seeds give independent
// images of the same scene.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "app/image_merge.h"
#include "farm_test_util.h"

using namespace lumenar;
using namespace lumenar::test;

namespace {

// Writes each render as lumenar-render --hdr would and merges them.
std::vector<Color> mergeThroughFiles(const std::vector<Render>& parts, const std::vector<uint32_t>& firsts,
                                     const std::string& tag, ExrPixels pixels = ExrPixels::Float) {
    MergeOptions m;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const std::string path =
            testing::TempDir() + std::to_string(getpid()) + "_" + tag + "_part" + std::to_string(i) + ".exr";
        EXPECT_TRUE(writeRecordedExr(path, parts[i].width, parts[i].height, parts[i].result.average,
                                     record(parts[i].result.frames, firsts[i]), pixels));
        m.inputs.push_back(path);
    }
    m.out = testing::TempDir() + std::to_string(getpid()) + "_" + tag + "_merged.exr";
    testing::internal::CaptureStdout();
    const int status = mergeRenders(m);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(status, 0);
    RecordedImage merged;
    std::string error;
    EXPECT_TRUE(readRecordedExr(m.out, merged, error)) << error;
    return merged.rgb;
}

double mean(const std::vector<Color>& image) {
    double s = 0.0;
    for (const Color& c : image) s += c.r + c.g + c.b;
    return s / (3.0 * image.size());
}

}  // namespace

// Four runs of 16 frames of the default scene at frame offsets 0, 16, 32 and
// 48 merge to one run of 64 frames. Not bit for bit: the single run sums its
// frames one after another in floats, the merge sums four partial sums.
TEST(SampleRanges, FourRangesMergeToOneRunOfAllFrames) {
    const std::string scene = smallDefaultScene(48, 48);
    ASSERT_FALSE(scene.empty()) << "scenes/default/input is made by the build";
    const Render whole = render(scene, 64);
    ASSERT_TRUE(whole.ok);
    std::vector<Render> parts;
    for (uint32_t first : {0u, 16u, 32u, 48u}) {
        parts.push_back(render(scene, 16, first));
        ASSERT_TRUE(parts.back().ok);
    }
    // The ranges really are different frames.
    EXPECT_GT(largestRelativeDifference(parts[0].result.average, parts[1].result.average), 1e-2);

    const std::vector<Color> merged = mergeThroughFiles(parts, {0, 16, 32, 48}, "four");
    ASSERT_EQ(merged.size(), whole.result.average.size());
    std::size_t differing = 0;
    const double worst = largestRelativeDifference(merged, whole.result.average, &differing);
    std::printf(
        "4 x 16 frames merged vs 64 frames: largest relative difference %.3g, %zu of %zu pixels not "
        "bit for bit\n",
        worst, differing, merged.size());
    EXPECT_LT(worst, 1e-5);
    EXPECT_GT(mean(merged), 0.01);
}

// Float pixels hold a one-frame average exactly: 64 single-frame files merge
// to the 64-frame run. Half floats cannot, which is why they are not the default.
TEST(SampleRanges, SixtyFourSingleFramesMergeToOneRun) {
    const std::string scene = lampScene(16);
    const Render whole = render(scene, 64);
    ASSERT_TRUE(whole.ok);
    std::vector<Render> parts;
    std::vector<uint32_t> firsts;
    for (uint32_t k = 0; k < 64; ++k) {
        parts.push_back(render(scene, 1, k));
        ASSERT_TRUE(parts.back().ok) << "frame " << k + 1;
        firsts.push_back(k);
    }
    const std::vector<Color> merged = mergeThroughFiles(parts, firsts, "single");
    const double worst = largestRelativeDifference(merged, whole.result.average);
    std::printf("64 single frames merged vs 64 frames: largest relative difference %.3g\n", worst);
    EXPECT_LT(worst, 1e-5);
    EXPECT_GT(mean(merged), 0.01);

    testing::internal::CaptureStderr();  // the merge warns about half inputs
    const std::vector<Color> halves = mergeThroughFiles(parts, firsts, "half", ExrPixels::Half);
    testing::internal::GetCapturedStderr();
    // Well beyond the float merge's rounding above (half floats keep 11 bits).
    EXPECT_GT(largestRelativeDifference(halves, whole.result.average), 2e-5);
}

// Two sequence seeds give different images whose mean agrees within noise;
// the per-pixel differences of independent renders give the noise.
TEST(SampleRanges, SeedsGiveIndependentImagesWithTheSameMean) {
    const std::string scene = lampScene(24);
    const Render a = render(scene, 16, 0, 0);
    const Render b = render(scene, 16, 0, 12345);
    ASSERT_TRUE(a.ok && b.ok);
    const std::vector<Color>&x = a.result.average, &y = b.result.average;
    ASSERT_EQ(x.size(), y.size());
    double sum = 0.0, sum2 = 0.0;
    std::size_t same = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double d = (x[i].r + x[i].g + x[i].b) - (y[i].r + y[i].g + y[i].b);
        sum += d;
        sum2 += d * d;
        same += (x[i].r == y[i].r && x[i].g == y[i].g && x[i].b == y[i].b) ? 1 : 0;
    }
    const double n = static_cast<double>(x.size());
    const double meanDiff = sum / n, se = std::sqrt((sum2 / n - meanDiff * meanDiff) / (n - 1));
    std::printf("seed 0 vs seed 12345: mean difference %.5f, standard error %.5f, %zu identical pixels\n",
                meanDiff, se, same);
    EXPECT_LT(same, x.size() / 20) << "the seed must change the samples";
    EXPECT_GT(se, 0.0);
    EXPECT_LT(std::fabs(meanDiff), 4.0 * se);

    // Seed S from frame 0 is not seed 0 from some later frame either.
    const Render c = render(scene, 16, 16, 0);
    ASSERT_TRUE(c.ok);
    EXPECT_GT(largestRelativeDifference(b.result.average, c.result.average), 1e-2);
}

// Metropolis runs of different ranges start independent chains; a run whose
// chains were salted for another range is refused rather than mislabelled.
TEST(SampleRanges, MetropolisRangesRunIndependentChains) {
    const std::string scene = lampScene(16);
    const Render a = render(scene, 8, 0, 0, true);
    const Render b = render(scene, 8, 8, 0, true);
    const Render again = render(scene, 8, 8, 0, true);
    ASSERT_TRUE(a.ok && b.ok && again.ok);
    EXPECT_GT(largestRelativeDifference(a.result.average, b.result.average), 1e-2);
    // The same range sets up the same chains; splats from many chains meet in
    // atomic adds, so only the order of the additions may differ.
    EXPECT_LT(largestRelativeDifference(b.result.average, again.result.average), 1e-5);
    EXPECT_GT(mean(a.result.average), 0.01);

    device::ThreadLimit limit(2);
    Settings settings;  // chains salted for frame 0
    Application app(settings);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(app.start(scene));
    BatchOptions options;
    options.mlt = true;
    options.frames = 2;
    options.firstFrame = 8;
    testing::internal::CaptureStderr();
    const BatchResult r = renderBatch(app, options);
    const std::string err = testing::internal::GetCapturedStderr();
    app.shutdown();
    testing::internal::GetCapturedStdout();
    EXPECT_FALSE(r.ok);
    EXPECT_NE(err.find("another frame range"), std::string::npos) << err;
}

// Ranges rendered adaptively to a noise target: each pixel of a range takes
// the first frames of that range (its samples are those of a plain run of
// the range, to the bit), and the merge weighs each pixel by its samples.
TEST(SampleRanges, AdaptiveRangesMergeByEachPixelsSamples) {
    const std::string scene = lampScene(24);
    std::vector<Render> parts;
    std::vector<std::string> files;
    MergeOptions m;
    for (uint32_t first : {0u, 200u}) {
        BatchOptions o;
        o.firstFrame = first;
        o.adaptive = true;
        o.noiseThreshold = 0.08f;
        o.frameLimit = 200;
        parts.push_back(renderWith(scene, o));
        ASSERT_TRUE(parts.back().ok);
        const Render& p = parts.back();
        EXPECT_TRUE(p.result.noiseTargetReached);
        RenderRecord rec = record(p.result.frames, first);
        rec.reserved = {{0, first, 200}};
        const NoiseChannels noise{p.result.estimate.variance, p.result.estimate.samples};
        const std::string path =
            testing::TempDir() + std::to_string(getpid()) + "_adaptive_part" + std::to_string(first) + ".exr";
        ASSERT_TRUE(
            writeRecordedExr(path, p.width, p.height, p.result.average, rec, ExrPixels::Float, &noise));
        m.inputs.push_back(path);
    }
    // The second range's pixels against plain runs of as many frames from frame 200.
    const Render& second = parts[1];
    std::vector<uint32_t> counts = second.result.estimate.samples;
    std::sort(counts.begin(), counts.end());
    counts.erase(std::unique(counts.begin(), counts.end()), counts.end());
    ASSERT_GE(counts.size(), 2u);
    for (uint32_t n : {counts.front(), counts.back()}) {
        const Render plain = render(scene, static_cast<int>(n), 200);
        ASSERT_TRUE(plain.ok);
        int compared = 0;
        for (std::size_t i = 0; i < plain.result.average.size(); ++i) {
            if (second.result.estimate.samples[i] != n) continue;
            EXPECT_EQ(std::memcmp(&plain.result.average[i], &second.result.average[i], sizeof(Color)), 0)
                << i;
            ++compared;
        }
        EXPECT_GT(compared, 0);
    }
    m.out = testing::TempDir() + std::to_string(getpid()) + "_adaptive_merged.exr";
    m.expectFrames = 400;
    testing::internal::CaptureStdout();
    const int status = mergeRenders(m);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(status, 0);
    RecordedImage merged;
    std::string error;
    ASSERT_TRUE(readRecordedExr(m.out, merged, error)) << error;
    for (std::size_t i = 0; i < merged.rgb.size(); ++i) {
        const double n1 = parts[0].result.estimate.samples[i], n2 = second.result.estimate.samples[i];
        EXPECT_EQ(merged.noise.samples[i], static_cast<uint32_t>(n1 + n2));
        const Color a = parts[0].result.average[i], b = second.result.average[i];
        EXPECT_NEAR(merged.rgb[i].g, (n1 * a.g + n2 * b.g) / (n1 + n2), 1e-6 * (a.g + b.g + 1e-3)) << i;
    }
    // Both ranges met their target; the merged image is about 1 / sqrt(2)
    // as noisy as each.
    EXPECT_GT(merged.record.noiseError, 0.0);
    EXPECT_LT(merged.record.noiseWorst, 0.08);
}
