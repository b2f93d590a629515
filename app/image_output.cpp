#include "app/image_output.h"

#include <OpenImageIO/imageio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <new>
#include <system_error>
#include <utility>
#include <vector>

#include "render/accumulation.h"
#include "scene/band_reader.h"
#include "scene/image_io.h"

namespace lumenar {

namespace {

// Writes rows bottom to top (row 0 of data is the bottom of the picture) into
// the format the file name asks for, top row first. The image goes to a
// temporary file beside `path` that is renamed once it is complete.
bool writeBottomUp(const std::string& path, int width, int height, int channels, OIIO::TypeDesc fileType,
                   OIIO::TypeDesc dataType, const void* data, std::size_t pixelBytes,
                   const RenderRecord* record = nullptr) {
    auto out = OIIO::ImageOutput::create(path);
    if (!out) {
        std::fprintf(stderr, "%s: cannot write this image format: %s\n", path.c_str(),
                     OIIO::geterror().c_str());
        return false;
    }
    OIIO::ImageSpec spec(width, height, channels, fileType);
    if (record) {
        spec.attribute("lumenar:frames", record->frames);
        spec.attribute("lumenar:firstFrame", static_cast<int>(record->firstFrame));
        spec.attribute("lumenar:seed", static_cast<int>(record->seed));
        spec.attribute("lumenar:ranges", formatRanges(record->ranges));
        spec.attribute("lumenar:mode", record->mode);
        spec.attribute("lumenar:resolution", std::to_string(width) + "x" + std::to_string(height));
        spec.attribute("lumenar:supersampling", record->superSampling);
        spec.attribute("lumenar:sceneHash", record->sceneHash);
        spec.attribute("lumenar:options", record->options);
        spec.attribute("lumenar:optionsHash", record->optionsHash);
        spec.attribute("lumenar:version", record->version);
    }
    const std::string temp = path + ".partial-" + std::to_string(getpid());
    if (!out->open(temp, spec)) {
        std::fprintf(stderr, "%s: cannot open for writing: %s\n", path.c_str(), out->geterror().c_str());
        std::remove(temp.c_str());
        return false;
    }
    // Start at the top row and step backwards through memory.
    const std::size_t row = static_cast<std::size_t>(width) * pixelBytes;
    const auto* top = static_cast<const char*>(data) + row * (height - 1);
    bool ok = out->write_image(dataType, top, static_cast<OIIO::stride_t>(pixelBytes),
                               -static_cast<OIIO::stride_t>(row));
    if (!ok)
        std::fprintf(stderr, "%s: writing the image failed: %s\n", path.c_str(), out->geterror().c_str());
    if (!out->close()) {
        std::fprintf(stderr, "%s: closing the image failed: %s\n", path.c_str(), out->geterror().c_str());
        ok = false;
    }
    if (ok && std::rename(temp.c_str(), path.c_str()) != 0) {
        std::fprintf(stderr, "%s: cannot move the finished image into place: %s\n", path.c_str(),
                     std::strerror(errno));
        ok = false;
    }
    if (!ok) std::remove(temp.c_str());
    return ok;
}

bool sizeMatches(const std::string& path, int width, int height, std::size_t pixels) {
    if (width > 0 && height > 0 &&
        pixels == static_cast<std::size_t>(width) * static_cast<std::size_t>(height))
        return true;
    std::fprintf(stderr, "%s: image size %d x %d does not match its %zu pixels\n", path.c_str(), width,
                 height, pixels);
    return false;
}

}  // namespace

bool writePngBottomUp(const std::string& path, int width, int height, const std::vector<uint8_t>& rgb) {
    if (width <= 0 || height <= 0 ||
        rgb.size() != static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3) {
        std::fprintf(stderr, "%s: image size %d x %d does not match its %zu bytes\n", path.c_str(), width,
                     height, rgb.size());
        return false;
    }
    return writeBottomUp(path, width, height, 3, OIIO::TypeDesc::UINT8, OIIO::TypeDesc::UINT8, rgb.data(), 3);
}

bool writeExrBottomUp(const std::string& path, int width, int height, const std::vector<Color>& rgb) {
    if (!sizeMatches(path, width, height, rgb.size())) return false;
    return writeBottomUp(path, width, height, 3, OIIO::TypeDesc::HALF, OIIO::TypeDesc::FLOAT, rgb.data(),
                         sizeof(Color));
}

bool writeRecordedExr(const std::string& path, int width, int height, const std::vector<Color>& rgb,
                      const RenderRecord& record, ExrPixels pixels) {
    if (!sizeMatches(path, width, height, rgb.size())) return false;
    const OIIO::TypeDesc type = pixels == ExrPixels::Half ? OIIO::TypeDesc::HALF : OIIO::TypeDesc::FLOAT;
    return writeBottomUp(path, width, height, 3, type, OIIO::TypeDesc::FLOAT, rgb.data(), sizeof(Color),
                         &record);
}

namespace {

bool stringAttribute(const OIIO::ImageSpec& spec, const char* name, std::string& value) {
    const OIIO::ParamValue* p = spec.find_attribute(name, OIIO::TypeDesc::STRING);
    if (!p) return false;
    value = p->get_string();
    return true;
}

bool intAttribute(const OIIO::ImageSpec& spec, const char* name, int& value) {
    const OIIO::ParamValue* p = spec.find_attribute(name, OIIO::TypeDesc::INT);
    if (!p) return false;
    value = p->get_int();
    return true;
}

int32_t little32(const unsigned char* b) {
    return static_cast<int32_t>(b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24);
}

bool pixelsFit(int64_t width, int64_t height, std::string& error) {
    if (static_cast<uint64_t>(width) * static_cast<uint64_t>(height) <= kMaxRecordedPixels) return true;
    error = "its header declares " + std::to_string(width) + " x " + std::to_string(height) +
            " pixels, more than lumenar-render renders (" + std::to_string(kMaxRecordedPixels) + ")";
    return false;
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

// OpenEXR believes the sizes a header gives and allocates them before it
// finds the file shorter (a string attribute that says 2 GiB, a chunk table
// for a billion rows). The header is walked here first: every attribute and
// the chunk table must fit in the file, and the image in what a render has.
bool exrHeaderFits(const std::string& path, std::string& error) {
    std::ifstream f(path, std::ios::binary | std::ios::ate);
    const std::streamoff fileBytes = f ? static_cast<std::streamoff>(f.tellg()) : -1;
    f.seekg(0);
    unsigned char start[8];
    if (fileBytes < 8 || !f.read(reinterpret_cast<char*>(start), 8)) {
        error = "not a readable image (too short for an OpenEXR image)";
        return false;
    }
    const uint32_t flags = static_cast<uint32_t>(little32(start + 4));  // version and flags
    if (flags & (0x800 | 0x1000)) {
        error = "a deep or multi-part OpenEXR image, which no render writes";
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
            width = static_cast<int64_t>(little32(&value[8])) - little32(&value[0]) + 1;
            height = static_cast<int64_t>(little32(&value[12])) - little32(&value[4]) + 1;
        } else if (name == "compression" && type == "compression") {
            compression = value[0];
        }
    }
    if (width <= 0 || height <= 0) return true;  // the reader says what is wrong
    if (!pixelsFit(width, height, error)) return false;
    if (flags & 0x200) return true;  // tiled: the reader checks its tables
    // Rows per chunk of each compression.
    static const int kRowsPerChunk[] = {1, 1, 1, 16, 32, 16, 32, 32, 32, 256};
    const int rows = compression >= 0 && compression < 10 ? kRowsPerChunk[compression] : 1;
    const int64_t chunks = (height + rows - 1) / rows;
    const std::streamoff left = fileBytes - static_cast<std::streamoff>(f.tellg());
    if (chunks * 8 > left) {
        error = "its header declares " + std::to_string(width) + " x " + std::to_string(height) +
                " pixels, whose chunk table is longer than the file";
        return false;
    }
    return true;
}

bool readHeaderAndPixels(const std::string& path, RecordedImage& image, std::string& error) {
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) {
        error = "no such file";
        return false;
    }
    if (!std::filesystem::is_regular_file(path, ec)) {
        error = "not a regular file";
        return false;
    }
    // Only the OpenEXR reader sees the file: what it is not, no other
    // decoder is asked to read.
    auto in = OIIO::ImageInput::create("openexr");
    if (!in) {
        error = "no OpenEXR reader (" + OIIO::geterror() + ")";
        return false;
    }
    if (!in->valid_file(path)) {
        const std::string format = recognisedImageFormat(path);
        error = format.empty() ? std::string("not a readable image") : "not an OpenEXR image but " + format;
        return false;
    }
    if (!exrHeaderFits(path, error)) return false;
    OIIO::ImageSpec spec;
    if (!in->open(path, spec)) {
        error = "not a readable image (" + in->geterror() + ")";
        return false;
    }
    if (spec.nchannels != 3 || spec.width <= 0 || spec.height <= 0 || spec.depth != 1 || spec.x != 0 ||
        spec.y != 0 || spec.z != 0 || spec.deep) {
        error = "not a " + std::string("3-channel image starting at pixel 0, 0 (") +
                std::to_string(spec.nchannels) + " channels)";
        return false;
    }
    const std::vector<std::string> rgb = {"R", "G", "B"};
    if (spec.channelnames != rgb) {
        std::string names;
        for (const std::string& n : spec.channelnames) names += (names.empty() ? "" : ", ") + n;
        error = "its channels are " + names + ", not R, G, B";
        return false;
    }
    if (!pixelsFit(spec.width, spec.height, error)) return false;
    RenderRecord& r = image.record;
    int firstFrame = 0, seed = 0;
    std::string ranges, resolution;
    const char* missing = nullptr;
    if (!intAttribute(spec, "lumenar:frames", r.frames))
        missing = "lumenar:frames";
    else if (!intAttribute(spec, "lumenar:firstFrame", firstFrame))
        missing = "lumenar:firstFrame";
    else if (!intAttribute(spec, "lumenar:seed", seed))
        missing = "lumenar:seed";
    else if (!stringAttribute(spec, "lumenar:ranges", ranges))
        missing = "lumenar:ranges";
    else if (!stringAttribute(spec, "lumenar:mode", r.mode))
        missing = "lumenar:mode";
    else if (!stringAttribute(spec, "lumenar:resolution", resolution))
        missing = "lumenar:resolution";
    else if (!intAttribute(spec, "lumenar:supersampling", r.superSampling))
        missing = "lumenar:supersampling";
    else if (!stringAttribute(spec, "lumenar:sceneHash", r.sceneHash))
        missing = "lumenar:sceneHash";
    else if (!stringAttribute(spec, "lumenar:options", r.options))
        missing = "lumenar:options";
    else if (!stringAttribute(spec, "lumenar:optionsHash", r.optionsHash))
        missing = "lumenar:optionsHash";
    else if (!stringAttribute(spec, "lumenar:version", r.version))
        missing = "lumenar:version";
    if (missing) {
        error = std::string("its header has no ") + missing + ": not written by lumenar-render --hdr";
        return false;
    }
    r.firstFrame = static_cast<uint32_t>(firstFrame);
    r.seed = seed;
    long long counted = 0;
    if (!parseRanges(ranges, r.ranges)) {
        error = "its header's frame ranges \"" + ranges + "\" cannot be read";
        return false;
    }
    for (const FrameRange& fr : r.ranges) counted += fr.count;
    if (r.frames <= 0 || counted != r.frames) {
        error = "its header says " + std::to_string(r.frames) + " frames but its ranges hold " +
                std::to_string(counted);
        return false;
    }
    if (resolution != std::to_string(spec.width) + "x" + std::to_string(spec.height)) {
        error = "its header's resolution " + resolution + " is not the image's " +
                std::to_string(spec.width) + "x" + std::to_string(spec.height);
        return false;
    }
    if (r.optionsHash != fingerprintOf(r.options)) {
        error = "its header's options do not match their hash";
        return false;
    }
    image.width = spec.width;
    image.height = spec.height;
    image.halfPixels = spec.format == OIIO::TypeDesc::HALF;
    const std::size_t w = static_cast<std::size_t>(spec.width), h = static_cast<std::size_t>(spec.height);
    std::vector<Color> rows;  // top row first, as the file holds them
    if (!readFloatBands(*in, spec, 3, rows)) {
        error = "truncated or damaged (" + in->geterror() + ")";
        return false;
    }
    // Row 0 at the bottom.
    for (std::size_t y = 0; y < h / 2; ++y)
        std::swap_ranges(rows.begin() + y * w, rows.begin() + (y + 1) * w, rows.begin() + (h - 1 - y) * w);
    image.rgb = std::move(rows);
    return true;
}

}  // namespace

bool readRecordedExr(const std::string& path, RecordedImage& image, std::string& error) {
    image = RecordedImage();
    bool ok = false;
    try {
        ok = readHeaderAndPixels(path, image, error);
    } catch (const std::bad_alloc&) {
        error = "not enough memory for its pixels";
    } catch (const std::exception& e) {
        error = std::string("damaged (") + e.what() + ")";
    }
    if (!ok) image = RecordedImage();
    return ok;
}

std::size_t firstDamagedPixel(const std::vector<Color>& rgb) {
    for (std::size_t i = 0; i < rgb.size(); ++i) {
        const Color& c = rgb[i];
        if (!isFinite(c) || c.r < 0.0f || c.g < 0.0f || c.b < 0.0f) return i;
    }
    return rgb.size();
}

}  // namespace lumenar
