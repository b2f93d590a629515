#include "app/image_merge.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <map>
#include <new>
#include <system_error>

#include "render/accumulation.h"
#include "render/noise.h"

namespace lumenar {

std::vector<uint8_t> toneMapped(const std::vector<Color>& average, int width, const std::string& mode) {
    const float exponent = mode == "mlt" ? kMetroToneExponent : kPathToneExponent;
    std::vector<uint8_t> rgb(average.size() * 3);
    for (std::size_t i = 0; i < average.size(); ++i) {
        const displayVertex v =
            makeDisplayVertex(static_cast<int>(i % width), static_cast<int>(i / width), average[i], exponent);
        rgb[3 * i + 0] = v.red;
        rgb[3 * i + 1] = v.green;
        rgb[3 * i + 2] = v.blue;
    }
    return rgb;
}

namespace {

bool folderExists(const std::string& path) {
    std::error_code ec;
    const std::filesystem::path dir = std::filesystem::absolute(path, ec).parent_path();
    if (!ec && std::filesystem::is_directory(dir, ec)) return true;
    std::fprintf(stderr, "lumenar-merge: %s: the folder %s does not exist\n", path.c_str(),
                 dir.string().c_str());
    return false;
}

// What is wrong with an image's noise channels; empty when nothing is.
std::string checkNoise(const RecordedImage& image) {
    if (image.noise.empty()) return std::string();
    for (std::size_t i = 0; i < image.noise.samples.size(); ++i) {
        if (image.noise.samples[i] > static_cast<uint32_t>(image.record.frames))
            return "a pixel holds " + std::to_string(image.noise.samples[i]) + " samples, more than its " +
                   std::to_string(image.record.frames) + " frames";
        const Color& v = image.noise.variance[i];
        if (!isFinite(v) || (v.r < 0.0f) != (v.g < 0.0f) || (v.r < 0.0f) != (v.b < 0.0f))
            return "its variance channels hold a value that is not a variance";
    }
    return std::string();
}

// Why `image` cannot join `reference`; empty when it can.
std::string mismatch(const RecordedImage& image, const RecordedImage& reference, const std::string& refName) {
    const RenderRecord &a = image.record, &b = reference.record;
    if (a.sceneHash != b.sceneHash)
        return "rendered from a different scene than " + refName + " (scene fingerprint " + a.sceneHash +
               ", not " + b.sceneHash + ")";
    if (image.width != reference.width || image.height != reference.height)
        return "its resolution is " + std::to_string(image.width) + "x" + std::to_string(image.height) +
               ", not " + std::to_string(reference.width) + "x" + std::to_string(reference.height) +
               " like " + refName;
    if (a.mode != b.mode) return "rendered in mode " + a.mode + ", not " + b.mode + " like " + refName;
    if (a.superSampling != b.superSampling)
        return "rendered with supersampling " + std::to_string(a.superSampling) + ", not " +
               std::to_string(b.superSampling) + " like " + refName;
    if (a.optionsHash != b.optionsHash)
        return "rendered with options \"" + a.options + "\", not \"" + b.options + "\" like " + refName;
    return std::string();
}

int mergeChecked(const MergeOptions& options) {
    if (options.inputs.empty()) {
        std::fprintf(stderr, "lumenar-merge: no input images\n");
        return 1;
    }
    if (!folderExists(options.out) || (!options.png.empty() && !folderExists(options.png))) return 1;

    RecordedImage reference;
    std::string referenceName;
    std::vector<double> sum;
    long long totalFrames = 0;
    // Per pixel: the samples the sum weighs (an input without a noise
    // estimate weighs every pixel by its frames) and, while every input has
    // an estimate, the sum of samples^2 x the variance of the input's mean.
    std::vector<double> weight, weightedVariance;
    bool allNoise = true;
    // Every range with the input it came from, for the overlap check (the
    // reserved ranges of runs that stopped at their noise threshold), and
    // the frames the inputs took.
    std::vector<std::pair<FrameRange, std::string>> held;
    std::vector<FrameRange> usedRanges;
    bool anyReserved = false;
    std::vector<std::string> skipped;
    bool mixedVersions = false;

    for (const std::string& name : options.inputs) {
        RecordedImage image;
        std::string error;
        if (!readRecordedExr(name, image, error)) {
            if (!options.allowPartial) {
                std::fprintf(stderr, "lumenar-merge: %s: %s\n", name.c_str(), error.c_str());
                return 1;
            }
            std::fprintf(stderr, "lumenar-merge: %s: %s; skipped (--allow-partial)\n", name.c_str(),
                         error.c_str());
            skipped.push_back(name);
            continue;
        }
        const std::size_t damaged = firstDamagedPixel(image.rgb);
        if (damaged < image.rgb.size()) {
            const std::string where = "pixel " + std::to_string(damaged % image.width) + ", " +
                                      std::to_string(image.height - 1 - damaged / image.width) +
                                      " (from the top left)";
            if (!options.allowPartial) {
                std::fprintf(stderr, "lumenar-merge: %s: %s is negative or not a number: damaged\n",
                             name.c_str(), where.c_str());
                return 1;
            }
            std::fprintf(stderr,
                         "lumenar-merge: %s: %s is negative or not a number: damaged; skipped "
                         "(--allow-partial)\n",
                         name.c_str(), where.c_str());
            skipped.push_back(name);
            continue;
        }
        const std::string noiseFault = checkNoise(image);
        if (!noiseFault.empty()) {
            std::fprintf(stderr, "lumenar-merge: %s: %s: damaged\n", name.c_str(), noiseFault.c_str());
            return 1;
        }
        if (image.halfPixels)
            std::fprintf(stderr,
                         "lumenar-merge: %s: half-float pixels; the merge is no more precise than they are\n",
                         name.c_str());
        if (sum.empty()) {
            sum.assign(image.rgb.size() * 3, 0.0);
            weight.assign(image.rgb.size(), 0.0);
            weightedVariance.assign(image.rgb.size() * 3, 0.0);
        } else {
            const std::string why = mismatch(image, reference, referenceName);
            if (!why.empty()) {
                std::fprintf(stderr, "lumenar-merge: %s: %s\n", name.c_str(), why.c_str());
                return 1;
            }
            mixedVersions = mixedVersions || image.record.version != reference.record.version;
        }
        // A run that stopped at its noise threshold holds its whole range.
        for (const FrameRange& r :
             image.record.reserved.empty() ? image.record.ranges : image.record.reserved)
            held.emplace_back(r, name);
        for (const FrameRange& r : image.record.ranges) usedRanges.push_back(r);
        if (!image.record.reserved.empty()) anyReserved = true;
        // Each average counts with its samples (frames, without adaptive
        // sampling): the sum of its frame colours.
        const bool noise = !image.noise.empty();
        allNoise = allNoise && noise;
        for (std::size_t i = 0; i < image.rgb.size(); ++i) {
            const double w = noise ? image.noise.samples[i] : image.record.frames;
            sum[3 * i + 0] += w * image.rgb[i].r;
            sum[3 * i + 1] += w * image.rgb[i].g;
            sum[3 * i + 2] += w * image.rgb[i].b;
            weight[i] += w;
            if (!allNoise || w == 0.0) continue;
            const Color v = image.noise.variance[i];
            // Not known in one input: not known in the merge.
            const bool known = v.r >= 0.0f && weightedVariance[3 * i] >= 0.0;
            weightedVariance[3 * i + 0] = known ? weightedVariance[3 * i + 0] + w * w * v.r : -1.0;
            weightedVariance[3 * i + 1] = known ? weightedVariance[3 * i + 1] + w * w * v.g : -1.0;
            weightedVariance[3 * i + 2] = known ? weightedVariance[3 * i + 2] + w * w * v.b : -1.0;
        }
        totalFrames += image.record.frames;
        if (referenceName.empty()) {
            referenceName = name;
            reference.width = image.width;
            reference.height = image.height;
            reference.record = image.record;
        }
    }
    if (referenceName.empty()) {
        std::fprintf(stderr, "lumenar-merge: none of the %zu inputs could be read: nothing to merge\n",
                     options.inputs.size());
        return 1;
    }
    if (totalFrames > 2147483647LL) {
        std::fprintf(stderr, "lumenar-merge: the inputs hold %lld frames, more than a header can say\n",
                     totalFrames);
        return 1;
    }

    // No frame may be counted twice.
    std::sort(held.begin(), held.end(), [](const auto& a, const auto& b) {
        return a.first.seed != b.first.seed ? a.first.seed < b.first.seed : a.first.first < b.first.first;
    });
    for (std::size_t i = 1; i < held.size(); ++i) {
        const FrameRange &prev = held[i - 1].first, &r = held[i].first;
        if (prev.seed == r.seed && prev.end() > r.first) {
            const FrameRange both{r.seed, r.first,
                                  static_cast<uint32_t>(std::min(prev.end(), r.end()) - r.first)};
            if (held[i - 1].second == held[i].second)
                std::fprintf(stderr, "lumenar-merge: %s: its ranges overlap: %s counted twice\n",
                             held[i].second.c_str(), describeRange(both).c_str());
            else
                std::fprintf(stderr, "lumenar-merge: %s and %s overlap: both hold %s\n",
                             held[i - 1].second.c_str(), held[i].second.c_str(), describeRange(both).c_str());
            return 1;
        }
    }

    std::vector<FrameRange> ranges;
    for (const auto& h : held) ranges.push_back(h.first);
    ranges = coalesceRanges(ranges);     // what the inputs hold, reservations included
    std::map<uint32_t, uint64_t> seeds;  // each seed and the end of its last range
    for (const FrameRange& r : ranges) seeds[r.seed] = std::max(seeds[r.seed], r.end());
    std::vector<FrameRange> missing;
    for (const auto& [seed, end] : seeds) {
        const uint64_t upTo = options.expectFrames > 0 ? options.expectFrames : end;
        for (const FrameRange& m : missingRanges(ranges, seed, upTo)) missing.push_back(m);
    }
    if (!missing.empty()) {
        std::string list;
        for (const FrameRange& m : missing) list += (list.empty() ? "" : ", ") + describeRange(m);
        if (!options.allowPartial) {
            std::fprintf(stderr,
                         "lumenar-merge: the inputs do not cover %s (use --allow-partial to merge anyway)\n",
                         list.c_str());
            return 1;
        }
        std::fprintf(stderr, "lumenar-merge: missing: %s\n", list.c_str());
    }
    if (mixedVersions)
        std::fprintf(stderr, "lumenar-merge: the inputs come from different program versions\n");

    const int W = reference.width, H = reference.height;
    std::vector<Color> average(static_cast<std::size_t>(W) * H);
    NoiseChannels noise;
    if (allNoise) {
        noise.variance.resize(average.size());
        noise.samples.resize(average.size());
    }
    for (std::size_t i = 0; i < average.size(); ++i) {
        const double w = weight[i] > 0.0 ? weight[i] : 1.0;
        average[i] = Color(static_cast<float>(sum[3 * i + 0] / w), static_cast<float>(sum[3 * i + 1] / w),
                           static_cast<float>(sum[3 * i + 2] / w));
        if (!allNoise) continue;
        if (weight[i] > 4294967040.0) {
            std::fprintf(
                stderr,
                "lumenar-merge: a pixel of the inputs holds %.0f samples, more than a count can say\n",
                weight[i]);
            return 1;
        }
        noise.samples[i] = static_cast<uint32_t>(weight[i]);
        // The variance of the merged mean: the inputs' means are independent.
        const double* v = &weightedVariance[3 * i];
        noise.variance[i] = v[0] >= 0.0 && weight[i] > 0.0 ? Color(static_cast<float>(v[0] / (w * w)),
                                                                   static_cast<float>(v[1] / (w * w)),
                                                                   static_cast<float>(v[2] / (w * w)))
                                                           : Color(-1.0f, -1.0f, -1.0f);
    }

    RenderRecord record = reference.record;
    record.frames = static_cast<int>(totalFrames);
    record.ranges = coalesceRanges(usedRanges);
    record.reserved = anyReserved ? ranges : std::vector<FrameRange>();
    // The noise the merged image has, from its merged estimate.
    record.noiseThreshold = 0.0;
    record.noiseReached = false;
    record.noiseError = record.noiseWorst = -1.0;
    if (allNoise) {
        double total = 0.0, worst = 0.0;
        bool known = true;
        for (std::size_t i = 0; i < average.size() && known; ++i) {
            const float e = relativeErrorSq(average[i], noise.variance[i]);
            known = e < kUnknownNoise;
            total += e;
            worst = std::max(worst, static_cast<double>(e));
        }
        if (known) {
            record.noiseError = std::sqrt(total / static_cast<double>(average.size()));
            record.noiseWorst = std::sqrt(worst);
        }
    }
    record.firstFrame = record.ranges.front().first;
    for (const FrameRange& r : record.ranges) record.firstFrame = std::min(record.firstFrame, r.first);
    record.seed = seeds.size() == 1 ? static_cast<int64_t>(record.ranges.front().seed) : -1;
    if (!writeRecordedExr(options.out, W, H, average, record, ExrPixels::Float, allNoise ? &noise : nullptr))
        return 1;
    std::printf("Merged %lld frames (%s) from %zu images into %s\n", totalFrames,
                formatRanges(record.ranges).c_str(), options.inputs.size() - skipped.size(),
                options.out.c_str());
    if (record.noiseError >= 0.0)
        std::printf("Noise: relative error %.5f (worst pixel %.5f)\n", record.noiseError, record.noiseWorst);
    if (!options.png.empty()) {
        if (!writePngBottomUp(options.png, W, H, toneMapped(average, W, record.mode))) return 1;
        std::printf("Wrote %s\n", options.png.c_str());
    }
    return 0;
}

}  // namespace

int mergeRenders(const MergeOptions& options) {
    try {
        return mergeChecked(options);
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "lumenar-merge: not enough memory for the merge\n");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "lumenar-merge: %s\n", e.what());
    }
    return 1;
}

}  // namespace lumenar
