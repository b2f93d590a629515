// libFuzzer entry for the reading of lumenar-merge's inputs: the bytes are
// an OpenEXR file, read as a recorded render (header, record and pixels)
// and its pixels checked as the merge checks them. Every input must end in
// an image of the size its header gives or a reported failure, never in a
// crash, an abort, a hang or a sanitizer finding.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/image_output.h"

namespace {

// The reader's own code is not instrumented, so the fuzzer cannot tell a
// piz-compressed tiled file from a plain one by the paths it takes. These
// branches on the header's layout give each kind of file features of its
// own, which keeps one of each in the corpus.
volatile int kindSeen = 0;

void noteKind(const uint8_t* data, std::size_t size) {
    if (size < 8) return;
    const uint32_t flags = data[5] | (data[6] << 8) | (data[7] << 16);
    if (flags & 0x2) kindSeen = kindSeen + 1;   // tiled
    if (flags & 0x4) kindSeen = kindSeen + 2;   // long names
    if (flags & 0x8) kindSeen = kindSeen + 3;   // deep
    if (flags & 0x10) kindSeen = kindSeen + 4;  // several parts
    static const char kKey[] = "compression\0compression\0";
    const std::size_t keyBytes = sizeof kKey - 1;
    for (std::size_t i = 8; i + keyBytes + 5 <= size; ++i) {
        if (std::memcmp(data + i, kKey, keyBytes) != 0) continue;
        switch (data[i + keyBytes + 4]) {
            case 0:
                kindSeen = kindSeen + 10;
                break;
            case 1:
                kindSeen = kindSeen + 11;
                break;
            case 2:
                kindSeen = kindSeen + 12;
                break;
            case 3:
                kindSeen = kindSeen + 13;
                break;
            case 4:
                kindSeen = kindSeen + 14;
                break;
            case 5:
                kindSeen = kindSeen + 15;
                break;
            case 6:
                kindSeen = kindSeen + 16;
                break;
            case 7:
                kindSeen = kindSeen + 17;
                break;
            case 8:
                kindSeen = kindSeen + 18;
                break;
            case 9:
                kindSeen = kindSeen + 19;
                break;
            default:
                kindSeen = kindSeen + 20;
                break;
        }
        return;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using namespace lumenar;
    // One file per process, written over for each input, gone at the end.
    struct TempFile {
        std::string path;
        TempFile() {
            char name[] = "/tmp/lumenar-merge-fuzz-XXXXXX";
            const int fd = mkstemp(name);
            if (fd < 0) std::abort();
            close(fd);
            path = std::string(name) + ".exr";
            if (std::rename(name, path.c_str()) != 0) std::abort();
        }
        ~TempFile() { std::remove(path.c_str()); }
    };
    static const TempFile file;
    const std::string& path = file.path;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) std::abort();
    if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
    std::fclose(f);

    noteKind(data, size);
    RecordedImage image;
    std::string error;
    if (readRecordedExr(path, image, error)) {
        if (image.width <= 0 || image.height <= 0 ||
            image.rgb.size() !=
                static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height))
            __builtin_trap();
        (void)firstDamagedPixel(image.rgb);
    } else if (error.empty() || !image.rgb.empty()) {
        __builtin_trap();  // a failure says why and leaves nothing behind
    }
    return 0;
}
