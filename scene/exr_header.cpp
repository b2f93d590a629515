#include "scene/exr_header.h"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <utility>
#include <vector>

namespace lumenar {

namespace {

int32_t little32(const unsigned char* b) {
    return static_cast<int32_t>(b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24);
}

// Whether an attribute's value is what its type reads. The OpenEXR reader
// reads a value of a fixed-size type whatever size the header gives, and
// the sizes inside a channel list, a preview or a list of strings rather
// than the attribute's: where they disagree, the reader parses the rest of
// the header from the wrong place, and may allocate whatever it finds there.
bool attributeHolds(const std::string& type, const std::vector<unsigned char>& v, std::size_t longestName) {
    static const std::pair<const char*, std::size_t> kFixed[] = {{"box2i", 16},
                                                                 {"box2f", 16},
                                                                 {"chromaticities", 32},
                                                                 {"compression", 1},
                                                                 {"deepImageState", 1},
                                                                 {"double", 8},
                                                                 {"envmap", 1},
                                                                 {"float", 4},
                                                                 {"int", 4},
                                                                 {"keycode", 28},
                                                                 {"lineOrder", 1},
                                                                 {"m33f", 36},
                                                                 {"m33d", 72},
                                                                 {"m44f", 64},
                                                                 {"m44d", 128},
                                                                 {"rational", 8},
                                                                 {"tiledesc", 9},
                                                                 {"timecode", 8},
                                                                 {"v2i", 8},
                                                                 {"v2f", 8},
                                                                 {"v2d", 16},
                                                                 {"v3i", 12},
                                                                 {"v3f", 12},
                                                                 {"v3d", 24}};
    for (const auto& [name, bytes] : kFixed)
        if (type == name) return v.size() == bytes;
    const std::size_t n = v.size();
    if (type == "chlist") {
        // Names, each followed by 16 bytes, up to an empty name.
        std::size_t at = 0;
        while (at < n && v[at] != 0) {
            std::size_t end = at;
            while (end < n && v[end] != 0) ++end;
            if (end - at > longestName || n - end < 1 + 16) return false;
            at = end + 1 + 16;
        }
        return at + 1 == n;
    }
    if (type == "preview") {
        if (n < 8) return false;
        const uint64_t w = static_cast<uint32_t>(little32(&v[0])), h = static_cast<uint32_t>(little32(&v[4]));
        return w * h * 4 == n - 8;  // both below 2^32: no overflow
    }
    if (type == "stringvector") {
        // Strings, each after its length.
        std::size_t at = 0;
        while (at < n) {
            if (n - at < 4) return false;
            const int32_t length = little32(&v[at]);
            at += 4;
            if (length < 0 || static_cast<std::size_t>(length) > n - at) return false;
            at += static_cast<std::size_t>(length);
        }
        return true;
    }
    return true;  // a string, a list of floats or a type the reader keeps as bytes: read by its size
}

// a x b, or the largest value where that does not fit.
uint64_t saturatingProduct(uint64_t a, uint64_t b) {
    return a != 0 && b > UINT64_MAX / a ? UINT64_MAX : a * b;
}

}  // namespace

bool walkExrHeader(const std::string& path, ExrLayout& layout, std::string& error) {
    std::ifstream f(path, std::ios::binary | std::ios::ate);
    const std::streamoff fileBytes = f ? static_cast<std::streamoff>(f.tellg()) : -1;
    f.seekg(0);
    unsigned char start[8];
    if (fileBytes < 8 || !f.read(reinterpret_cast<char*>(start), 8)) {
        error = "its header is cut short (the file is too short for an OpenEXR image)";
        return false;
    }
    const uint32_t flags = static_cast<uint32_t>(little32(start + 4));  // version and flags
    if (flags & (0x800 | 0x1000)) {
        error = "its header says deep or multi-part, which nothing here reads";
        return false;
    }
    const std::size_t longestName = flags & 0x400 ? 255 : 31;
    auto readWord = [&](std::string& word) {
        word.clear();
        char c;
        while (f.get(c) && c != '\0') {
            if (word.size() == longestName) return false;
            word += c;
        }
        return static_cast<bool>(f);
    };
    int64_t width = 0, height = 0;
    int compression = -1;
    int64_t tileWidth = 0, tileHeight = 0;
    std::string name, type;
    while (true) {
        if (!readWord(name)) {
            error = "its header is cut short or damaged";
            return false;
        }
        if (name.empty()) break;  // the end of the header
        unsigned char sizeBytes[4];
        if (!readWord(type) || !f.read(reinterpret_cast<char*>(sizeBytes), 4)) {
            error = "its header is cut short or damaged (attribute \"" + name + "\")";
            return false;
        }
        const int32_t size = little32(sizeBytes);
        const std::streamoff left = fileBytes - static_cast<std::streamoff>(f.tellg());
        if (size < 0 || size > left) {
            error = "its header's attribute \"" + name + "\" declares " + std::to_string(size) +
                    " bytes, more than the file holds";
            return false;
        }
        std::vector<unsigned char> value(static_cast<std::size_t>(size));
        if (size > 0 && !f.read(reinterpret_cast<char*>(value.data()), size)) {
            error = "its header is cut short or damaged (attribute \"" + name + "\")";
            return false;
        }
        if (!attributeHolds(type, value, longestName)) {
            error = "its header's attribute \"" + name + "\" of type " + type + " does not hold what its " +
                    std::to_string(size) + " bytes say";
            return false;
        }
        if (name == "dataWindow" && type == "box2i") {
            layout.x = little32(&value[0]);
            layout.y = little32(&value[4]);
            width = static_cast<int64_t>(little32(&value[8])) - little32(&value[0]) + 1;
            height = static_cast<int64_t>(little32(&value[12])) - little32(&value[4]) + 1;
        } else if (name == "tiles" && type == "tiledesc") {
            tileWidth = static_cast<uint32_t>(little32(&value[0]));
            tileHeight = static_cast<uint32_t>(little32(&value[4]));
        } else if (name == "compression" && type == "compression") {
            compression = value[0];
        } else if (type == "string") {
            layout.strings[name] = std::string(value.begin(), value.end());
        }
    }
    layout.width = width;
    layout.height = height;
    if (width <= 0 || height <= 0) return true;  // the reader says what is wrong
    uint64_t chunks = 0;
    if (flags & 0x200) {
        if (tileWidth == 0 || tileHeight == 0) return true;  // the reader says what is wrong
        // The reader sizes a buffer for each tile it reads at once by the
        // tile's size, whatever the image's: a tile may outgrow a small image
        // (64 x 64 tiles of a 17 x 9 image), but not by gigabytes.
        constexpr uint64_t kLargestSmallTile = uint64_t(1) << 20;
        const uint64_t pixels =
            saturatingProduct(static_cast<uint64_t>(width), static_cast<uint64_t>(height));
        if (saturatingProduct(static_cast<uint64_t>(tileWidth), static_cast<uint64_t>(tileHeight)) >
            std::max(pixels, kLargestSmallTile)) {
            error = "its header declares tiles of " + std::to_string(tileWidth) + " x " +
                    std::to_string(tileHeight) + " pixels for an image of " + std::to_string(width) + " x " +
                    std::to_string(height);
            return false;
        }
        // The first level's tiles: a lower bound on the table of any level mode.
        chunks = saturatingProduct(static_cast<uint64_t>((width + tileWidth - 1) / tileWidth),
                                   static_cast<uint64_t>((height + tileHeight - 1) / tileHeight));
    } else {
        // Rows per chunk of each compression.
        static const int kRowsPerChunk[] = {1, 1, 1, 16, 32, 16, 32, 32, 32, 256};
        const int rows = compression >= 0 && compression < 10 ? kRowsPerChunk[compression] : 1;
        chunks = static_cast<uint64_t>((height + rows - 1) / rows);
    }
    const std::streamoff left = fileBytes - static_cast<std::streamoff>(f.tellg());
    if (left < 0 || chunks > static_cast<uint64_t>(left) / 8) {
        error = "its header declares " + std::to_string(width) + " x " + std::to_string(height) +
                " pixels, whose chunk table is longer than the file";
        return false;
    }
    return true;
}

}  // namespace lumenar
