// Writing rendered images to disk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/render_record.h"
#include "scene/types.h"

namespace lumenar {

// Writes an 8-bit RGB image whose row 0 is the bottom of the picture (the
// renderer's convention and OpenGL's) with the top row first, in the format
// the file name's extension names (PNG for ".png"). Returns false after
// printing a message naming the file and the problem.
bool writePngBottomUp(const std::string& path, int width, int height, const std::vector<uint8_t>& rgb);

// Writes linear RGB colours (row 0 at the bottom) as a half-float OpenEXR
// image with the top row first. Returns false after printing a message.
bool writeExrBottomUp(const std::string& path, int width, int height, const std::vector<Color>& rgb);

// Every image is written under a temporary name in the same folder and
// renamed when complete, so a file with the asked-for name is never partial.

// Pixel type of a recorded OpenEXR image: 32-bit floats keep every bit of a
// float average; halves make files half the size.
enum class ExrPixels { Float, Half };

// The noise estimate beside a recorded image, written as the channels
// variance.R, variance.G, variance.B (the variance of each pixel's mean,
// negative where not known) and samples (each pixel's sample count, as a
// 32-bit float: exact up to 16,777,216). Row 0 at the bottom.
struct NoiseChannels {
    std::vector<Color> variance;
    std::vector<uint32_t> samples;
    bool empty() const { return samples.empty(); }
};

// Writes linear RGB colours (row 0 at the bottom) as an OpenEXR image with
// the top row first and the record in its header, and the noise channels
// when given. Returns false after printing a message.
bool writeRecordedExr(const std::string& path, int width, int height, const std::vector<Color>& rgb,
                      const RenderRecord& record, ExrPixels pixels, const NoiseChannels* noise = nullptr);

struct RecordedImage {
    int width = 0, height = 0;
    RenderRecord record;
    bool halfPixels = false;
    std::vector<Color> rgb;  // row 0 at the bottom
    NoiseChannels noise;     // empty for an image written without them
};

// The most pixels a recorded image may have: lumenar-render renders no more.
constexpr std::size_t kMaxRecordedPixels = std::size_t(1) << 28;

// Reads an image writeRecordedExr wrote, with the OpenEXR reader alone. On
// failure returns false with `error` saying what is wrong (no file, not
// OpenEXR, no record, not R, G, B, more pixels than a render has, truncated)
// and `image` empty; a hostile header ends here too, never in an abort.
bool readRecordedExr(const std::string& path, RecordedImage& image, std::string& error);

// The index of the first pixel with a negative or non-finite channel (a
// damaged average), or rgb.size() when there is none.
std::size_t firstDamagedPixel(const std::vector<Color>& rgb);

}  // namespace lumenar
