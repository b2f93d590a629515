// Compares a merged image with one run of the same frames: the records must
// say the same frames of the same scene, and every pixel must agree within a
// relative tolerance. Prints the largest difference and whether the two are
// bit for bit the same.
//
// Usage: lumenar-compare-exr MERGED.exr SINGLE.exr TOLERANCE
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/image_output.h"

using namespace lumenar;

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s MERGED.exr SINGLE.exr TOLERANCE\n", argv[0]);
        return 2;
    }
    const double tolerance = std::atof(argv[3]);
    RecordedImage a, b;
    std::string error;
    if (!readRecordedExr(argv[1], a, error) || !readRecordedExr(argv[2], b, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    const std::string ra = formatRanges(coalesceRanges(a.record.ranges));
    const std::string rb = formatRanges(coalesceRanges(b.record.ranges));
    if (a.width != b.width || a.height != b.height || a.record.frames != b.record.frames || ra != rb ||
        a.record.sceneHash != b.record.sceneHash || a.record.options != b.record.options) {
        std::fprintf(stderr,
                     "the records differ: %dx%d, %d frames (%s), scene %s, %s vs %dx%d, %d frames (%s), "
                     "scene %s, %s\n",
                     a.width, a.height, a.record.frames, ra.c_str(), a.record.sceneHash.c_str(),
                     a.record.options.c_str(), b.width, b.height, b.record.frames, rb.c_str(),
                     b.record.sceneHash.c_str(), b.record.options.c_str());
        return 1;
    }
    double worst = 0.0;
    std::size_t differing = 0, worstAt = 0;
    for (std::size_t i = 0; i < a.rgb.size(); ++i) {
        const float pa[3] = {a.rgb[i].r, a.rgb[i].g, a.rgb[i].b};
        const float pb[3] = {b.rgb[i].r, b.rgb[i].g, b.rgb[i].b};
        if (std::memcmp(pa, pb, sizeof pa) != 0) ++differing;
        for (int c = 0; c < 3; ++c) {
            const double scale = std::fmax(std::fabs(pa[c]), std::fabs(pb[c]));
            const double d = scale > 0.0 ? std::fabs(static_cast<double>(pa[c]) - pb[c]) / scale : 0.0;
            if (!(d <= worst)) {
                worst = d;
                worstAt = i;
            }
        }
    }
    std::printf(
        "%dx%d, %d frames: largest relative difference %.3g (pixel %zu from the bottom left); %zu of "
        "%zu pixels differ in any bit\n",
        a.width, a.height, a.record.frames, worst, worstAt, differing, a.rgb.size());
    return worst <= tolerance ? 0 : 1;
}
