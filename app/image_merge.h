// Merging renders of disjoint frame ranges: each input's average weighted by
// its frame count, refused unless all inputs show the same scene with the
// same image-changing options and no two hold the same frame.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/image_output.h"

namespace lumenar {

struct MergeOptions {
    std::vector<std::string> inputs;
    std::string out;            // merged OpenEXR image
    std::string png;            // tone-mapped image as well (empty: none)
    bool allowPartial = false;  // skip unreadable inputs instead of refusing
    uint64_t expectFrames = 0;  // the inputs must cover frames 1 ... expectFrames (0: no such check)
};

// Reads, checks and merges; writes nothing unless every check passed.
// Messages go to standard error. Returns the process exit status: 0 when the
// merged image was written, 1 otherwise.
int mergeRenders(const MergeOptions& options);

// The tone-mapped 8-bit RGB bytes lumenar-render shows for an average
// (row order kept) in mode "pt" or "mlt".
std::vector<uint8_t> toneMapped(const std::vector<Color>& average, int width, const std::string& mode);

}  // namespace lumenar
