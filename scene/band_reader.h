// Reading an opened image a band of rows at a time into a buffer that grows
// with what was read: a header that declares a large image over a few bytes
// of pixels fails at its first band, before the whole image is allocated.
#pragma once

#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <cstddef>
#include <vector>

namespace lumenar {

// Reads channels [0, channels) of subimage 0 of `in` (opened with `spec`)
// as floats, top row first, into `data`: whole elements of T, each holding
// one or more floats. Tiled images are read a row of tiles (or several) at
// a time. False, with the reader's error pending, when a band cannot be
// read; may throw std::bad_alloc.
template <class T>
bool readFloatBands(OIIO::ImageInput& in, const OIIO::ImageSpec& spec, int channels, std::vector<T>& data) {
    static_assert(sizeof(T) % sizeof(float) == 0, "whole floats per element");
    const std::size_t floatsPerElement = sizeof(T) / sizeof(float);
    const std::size_t rowFloats = static_cast<std::size_t>(spec.width) * static_cast<std::size_t>(channels);
    if (rowFloats % floatsPerElement != 0) return false;
    const std::size_t row = rowFloats / floatsPerElement;  // elements per row
    const std::size_t all = row * static_cast<std::size_t>(spec.height);
    const int tileRows = std::max(spec.tile_height, 1);
    const int band = spec.tile_width > 0 ? tileRows * std::max(1, 64 / tileRows) : 64;
    data.clear();
    for (int y0 = 0; y0 < spec.height; y0 += band) {
        const int y1 = y0 + std::min(band, spec.height - y0);
        const std::size_t needed = static_cast<std::size_t>(y1) * row;
        if (data.capacity() < needed) data.reserve(std::min(all, std::max(needed, 2 * data.capacity())));
        data.resize(needed);
        T* at = data.data() + static_cast<std::size_t>(y0) * row;
        const bool read = spec.tile_width > 0
                              ? in.read_tiles(0, 0, spec.x, spec.x + spec.width, spec.y + y0, spec.y + y1,
                                              spec.z, spec.z + 1, 0, channels, OIIO::TypeDesc::FLOAT, at)
                              : in.read_scanlines(0, 0, spec.y + y0, spec.y + y1, spec.z, 0, channels,
                                                  OIIO::TypeDesc::FLOAT, at);
        if (!read) return false;
    }
    return true;
}

}  // namespace lumenar
