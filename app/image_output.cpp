#include "app/image_output.h"

#include <OpenImageIO/imageio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
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
#include "scene/exr_header.h"
#include "scene/image_io.h"

namespace lumenar {

namespace {

const std::vector<std::string> kNoiseChannelNames = {"R",          "G",          "B",      "variance.R",
                                                     "variance.G", "variance.B", "samples"};
constexpr int kNoiseChannelsTotal = 7;

// Writes rows bottom to top (row 0 of data is the bottom of the picture) into
// the format the file name asks for, top row first. The image goes to a
// temporary file beside `path` that is renamed once it is complete.
bool writeBottomUp(const std::string& path, int width, int height, int channels, OIIO::TypeDesc fileType,
                   OIIO::TypeDesc dataType, const void* data, std::size_t pixelBytes,
                   const RenderRecord* record = nullptr, const std::vector<std::string>& channelNames = {},
                   const std::vector<OIIO::TypeDesc>& channelFormats = {}) {
    auto out = OIIO::ImageOutput::create(path);
    if (!out) {
        std::fprintf(stderr, "%s: cannot write this image format: %s\n", path.c_str(),
                     OIIO::geterror().c_str());
        return false;
    }
    OIIO::ImageSpec spec(width, height, channels, fileType);
    if (!channelNames.empty()) spec.channelnames = channelNames;
    if (!channelFormats.empty()) spec.channelformats = channelFormats;
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
        if (!record->reserved.empty()) spec.attribute("lumenar:reserved", formatRanges(record->reserved));
        if (record->noiseError >= 0.0) {
            spec.attribute("lumenar:noise", static_cast<float>(record->noiseError));
            spec.attribute("lumenar:noiseWorst", static_cast<float>(record->noiseWorst));
        }
        if (record->noiseThreshold > 0.0) {
            spec.attribute("lumenar:noiseThreshold", static_cast<float>(record->noiseThreshold));
            spec.attribute("lumenar:noiseReached", record->noiseReached ? 1 : 0);
        }
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
                      const RenderRecord& record, ExrPixels pixels, const NoiseChannels* noise) {
    if (!sizeMatches(path, width, height, rgb.size())) return false;
    const OIIO::TypeDesc type = pixels == ExrPixels::Half ? OIIO::TypeDesc::HALF : OIIO::TypeDesc::FLOAT;
    if (!noise || noise->empty())
        return writeBottomUp(path, width, height, 3, type, OIIO::TypeDesc::FLOAT, rgb.data(), sizeof(Color),
                             &record);
    if (noise->variance.size() != rgb.size() || noise->samples.size() != rgb.size()) {
        std::fprintf(stderr, "%s: the noise estimate does not match the image's %zu pixels\n", path.c_str(),
                     rgb.size());
        return false;
    }
    // The colour, its variance and the sample count of each pixel side by
    // side; the count always as a 32-bit float.
    constexpr int kChannels = 7;
    std::vector<float> pixelsOut(rgb.size() * kChannels);
    for (std::size_t i = 0; i < rgb.size(); ++i) {
        float* p = &pixelsOut[i * kChannels];
        p[0] = rgb[i].r, p[1] = rgb[i].g, p[2] = rgb[i].b;
        p[3] = noise->variance[i].r, p[4] = noise->variance[i].g, p[5] = noise->variance[i].b;
        p[6] = static_cast<float>(noise->samples[i]);
    }
    return writeBottomUp(path, width, height, kChannels, type, OIIO::TypeDesc::FLOAT, pixelsOut.data(),
                         kChannels * sizeof(float), &record, kNoiseChannelNames,
                         {type, type, type, type, type, type, OIIO::TypeDesc::FLOAT});
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

bool pixelsFit(int64_t width, int64_t height, std::string& error) {
    if (static_cast<uint64_t>(width) * static_cast<uint64_t>(height) <= kMaxRecordedPixels) return true;
    error = "its header declares " + std::to_string(width) + " x " + std::to_string(height) +
            " pixels, more than lumenar-render renders (" + std::to_string(kMaxRecordedPixels) + ")";
    return false;
}

bool floatAttribute(const OIIO::ImageSpec& spec, const char* name, double& value) {
    const OIIO::ParamValue* p = spec.find_attribute(name, OIIO::TypeDesc::FLOAT);
    if (!p) return false;
    value = p->get_float();
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
    ExrLayout layout;
    if (!walkExrHeader(path, layout, error)) return false;
    if (!pixelsFit(layout.width, layout.height, error)) return false;
    // A header whose record disagrees with its data window is refused here
    // already, before the reader sizes its buffers by the window.
    // A header without the record is no render's either (the reader would
    // size its chunk buffers by whatever window it gives).
    const auto recorded = layout.strings.find("lumenar:resolution");
    if (recorded == layout.strings.end()) {
        error = "its header has no lumenar:resolution: not written by lumenar-render --hdr";
        return false;
    }
    const std::string window = std::to_string(layout.width) + "x" + std::to_string(layout.height);
    if (layout.width > 0 && recorded->second != window) {
        error = "its header's resolution " + recorded->second + " is not the image's " + window;
        return false;
    }
    if (layout.x != 0 || layout.y != 0) {
        error = "its header starts the pixels at " + std::to_string(layout.x) + ", " +
                std::to_string(layout.y) + ", not at 0, 0 as a render does";
        return false;
    }
    OIIO::ImageSpec spec;
    if (!in->open(path, spec)) {
        error = "not a readable image (" + in->geterror() + ")";
        return false;
    }
    // R, G, B, and with a noise estimate its four channels.
    if ((spec.nchannels != 3 && spec.nchannels != kNoiseChannelsTotal) || spec.width <= 0 ||
        spec.height <= 0 || spec.depth != 1 || spec.x != 0 || spec.y != 0 || spec.z != 0 || spec.deep) {
        error = "not a " +
                std::string("3-channel image (or one with a noise estimate) starting at pixel 0, 0 (") +
                std::to_string(spec.nchannels) + " channels)";
        return false;
    }
    int channel[kNoiseChannelsTotal];
    for (int c = 0; c < kNoiseChannelsTotal; ++c) channel[c] = spec.channelindex(kNoiseChannelNames[c]);
    const bool withNoise = spec.nchannels == kNoiseChannelsTotal;
    const std::vector<std::string> rgb = {"R", "G", "B"};
    bool named = withNoise || spec.channelnames == rgb;
    for (int c = 0; c < spec.nchannels; ++c) named = named && channel[c] >= 0;
    if (!named) {
        std::string names;
        for (const std::string& n : spec.channelnames) names += (names.empty() ? "" : ", ") + n;
        error = "its channels are " + names + ", not R, G, B" +
                (withNoise ? std::string(" and the noise estimate's") : std::string());
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
    std::string reserved;
    if (stringAttribute(spec, "lumenar:reserved", reserved) && !parseRanges(reserved, r.reserved)) {
        error = "its header's reserved frames \"" + reserved + "\" cannot be read";
        return false;
    }
    // What a run reserved holds what it rendered.
    for (const FrameRange& used : r.reserved.empty() ? std::vector<FrameRange>() : r.ranges) {
        bool inside = false;
        for (const FrameRange& k : r.reserved)
            inside = inside || (k.seed == used.seed && k.first <= used.first && used.end() <= k.end());
        if (!inside) {
            error =
                "its header's reserved frames \"" + reserved + "\" do not hold its " + describeRange(used);
            return false;
        }
    }
    if (!floatAttribute(spec, "lumenar:noise", r.noiseError) ||
        !floatAttribute(spec, "lumenar:noiseWorst", r.noiseWorst))
        r.noiseError = r.noiseWorst = -1.0;
    int reached = 0;
    if (floatAttribute(spec, "lumenar:noiseThreshold", r.noiseThreshold) &&
        intAttribute(spec, "lumenar:noiseReached", reached))
        r.noiseReached = reached != 0;
    else
        r.noiseThreshold = 0.0;
    image.width = spec.width;
    image.height = spec.height;
    image.halfPixels = spec.format == OIIO::TypeDesc::HALF;
    const std::size_t n = static_cast<std::size_t>(spec.width) * static_cast<std::size_t>(spec.height);
    const std::size_t channels = static_cast<std::size_t>(spec.nchannels);
    std::vector<float> top;  // top row first, as the file holds them
    if (!readFloatBands(*in, spec, spec.nchannels, top)) {
        error = "truncated or damaged (" + in->geterror() + ")";
        return false;
    }
    image.rgb.resize(n);
    if (withNoise) {
        image.noise.variance.resize(n);
        image.noise.samples.resize(n);
    }
    // Row 0 at the bottom.
    const std::size_t w = static_cast<std::size_t>(spec.width);
    for (int y = 0; y < spec.height; ++y)
        for (std::size_t x = 0; x < w; ++x) {
            const float* p = &top[((spec.height - 1 - y) * w + x) * channels];
            const std::size_t i = y * w + x;
            image.rgb[i] = Color(p[channel[0]], p[channel[1]], p[channel[2]]);
            if (!withNoise) continue;
            image.noise.variance[i] = Color(p[channel[3]], p[channel[4]], p[channel[5]]);
            const float count = p[channel[6]];
            if (!(count >= 0.0f && count <= 4294967040.0f) || count != std::floor(count)) {
                error = "its samples channel holds " + std::to_string(count) + ", not a sample count";
                return false;
            }
            image.noise.samples[i] = static_cast<uint32_t>(count);
        }
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
