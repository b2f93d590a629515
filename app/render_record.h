// What a high-dynamic-range render holds: the frames of the sample sequence
// it averages and everything that must agree before two such images may be
// averaged together. Written into the OpenEXR header as "lumenar:*"
// attributes and read back by the merge.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lumenar {

// Frames first + 1 ... first + count of sequence `seed`.
struct FrameRange {
    uint32_t seed = 0;
    uint32_t first = 0;
    uint32_t count = 0;
    uint64_t end() const { return static_cast<uint64_t>(first) + count; }  // one past the last offset
};

struct RenderRecord {
    int frames = 0;           // frames averaged (the sum of the ranges' counts)
    uint32_t firstFrame = 0;  // offset of the earliest range
    int64_t seed = 0;         // the ranges' sequence seed; -1 when they have several
    std::string mode;         // "pt" or "mlt"
    int superSampling = 1;
    std::string sceneHash;    // hex digest of the scene file and its textures
    std::string options;      // the options that change the image, as "name=value" words
    std::string optionsHash;  // hex digest of `options`
    std::string version;      // program version that rendered it
    std::vector<FrameRange> ranges;
    // Frames a run may have taken but did not need: a run that reached its
    // noise threshold before its frame limit reserves the rest of its range,
    // so the frames it left out are not missing (empty: the ranges).
    std::vector<FrameRange> reserved;
    // The noise the image states (from its per-pixel estimate): the relative
    // error of the whole image (the square root of its mean squared relative
    // error) and of its worst pixel; negative where not known. The threshold
    // its run was to reach (0: none), and whether every pixel reached it.
    double noiseError = -1.0;
    double noiseWorst = -1.0;
    double noiseThreshold = 0.0;
    bool noiseReached = false;
};

// FNV-1a, 64 bits: a fingerprint, not a defence against forgery.
class Fingerprint {
 public:
    void add(const void* data, std::size_t bytes);
    void add(const std::string& s) { add(s.data(), s.size()); }
    // Adds a file's bytes; returns false (after a message) when it cannot be read.
    bool addFile(const std::string& path);
    std::string hex() const;

 private:
    uint64_t h_ = 0xcbf29ce484222325ull;
};

std::string fingerprintOf(const std::string& text);

// "S:F+N" words separated by spaces, e.g. "0:0+16 0:16+16".
std::string formatRanges(const std::vector<FrameRange>& ranges);
// Parses formatRanges' text; false on anything else.
bool parseRanges(const std::string& text, std::vector<FrameRange>& ranges);
// "frames 17-32" (1-based, inclusive), with the seed when it is not 0.
std::string describeRange(const FrameRange& r);

// Sorts by seed and first frame and joins ranges that touch.
std::vector<FrameRange> coalesceRanges(std::vector<FrameRange> ranges);

// The parts of [0, frames) of `seed` that no range covers.
std::vector<FrameRange> missingRanges(const std::vector<FrameRange>& ranges, uint32_t seed, uint64_t frames);

}  // namespace lumenar
