// Texture image decoding. Images are decoded on the host into tightly packed
// 8-bit pixels, rows bottom first; failures print one line naming the file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lumenar {

struct Image {
    std::vector<uint8_t> pixels;  // width * height * bytesPerPixel bytes, bottom row first
    int width = 0;
    int height = 0;
    int bytesPerPixel = 0;  // 1 grey, 2 grey + alpha, 3 RGB, 4 RGBA (in that byte order)
};

// Largest decoded texture accepted, in bytes.
constexpr uint64_t kMaxImageBytes = uint64_t(1) << 30;

// The image formats (the image library's names) that textures and
// environment images may come in: the common still-image formats, none of
// the exotic decoders. recognisedImageFormat gives the one whose reader
// recognises the file's content; imageFormatOf that one or, failing it, the
// one the file name's extension names. Both are empty when none does.
std::string recognisedImageFormat(const std::string& path);
std::string imageFormatOf(const std::string& path);

// Whether width x height pixels of `channels` channels of `channelBytes`
// bytes each make a usable image: positive sizes, at most `maxBytes` bytes.
bool imageSizeFits(int width, int height, int channels, int channelBytes, uint64_t maxBytes);

// Decodes an image with 8-bit channels and 1 to 4 channels. On failure prints
// one of the "Error: ..." lines and returns false with `out` untouched.
bool loadImage(const std::string& path, Image& out);

// The image as four 8-bit channels per pixel (RGBA, rows as stored): grey
// spreads to red, green and blue, a missing alpha becomes 255.
std::vector<uint8_t> expandToRGBA(const Image& image);

}  // namespace lumenar
