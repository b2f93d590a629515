// A walk of an OpenEXR file's header before the OpenEXR reader opens it.
// The reader believes the sizes a header gives and allocates them before it
// finds the file shorter (a string attribute that says 2 GiB, a chunk table
// for a billion rows, a preview of 4 billion pixels), and reads a value of a
// fixed-size type whatever size the header gives it, parsing the rest from
// the wrong place. Every reader of OpenEXR files here walks the header first.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace lumenar {

struct ExrLayout {
    int64_t x = 0, y = 0;                        // the data window's first pixel
    int64_t width = 0, height = 0;               // and its size; 0 when the header gives none
    std::map<std::string, std::string> strings;  // the header's string attributes by name
};

// Reads the header of the OpenEXR file at `path`: every attribute must fit in
// the file and hold what its type reads, the chunk table must fit in what
// follows, and a tiled image's tiles must not outgrow it by more than a
// small tile. Returns false with `error` ("its header ...") otherwise, and for deep and multi-part files,
// which no program here writes. `layout` gets the data window's size.
bool walkExrHeader(const std::string& path, ExrLayout& layout, std::string& error);

}  // namespace lumenar
