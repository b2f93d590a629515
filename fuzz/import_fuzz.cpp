// libFuzzer entry for the model import path: the first byte picks the file
// type (glb, gltf, obj, ply, dae), the rest is the file. The model is read
// into scene records, written as scene text and that text parsed as a scene. Every input must
// end in a scene or a reported failure, never in a crash, a hang or a
// sanitizer finding.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "scene/importer.h"
#include "scene/input_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using namespace lumenar;
    if (size < 1) return 0;
    static const char* const kTypes[] = {".glb", ".gltf", ".obj", ".ply", ".dae"};
    const char* type = kTypes[data[0] % 5];
    char name[] = "/tmp/lumenar-import-fuzz-XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) std::abort();
    close(fd);
    const std::string path = std::string(name) + type;
    if (std::rename(name, path.c_str()) != 0) std::abort();
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) std::abort();
    if (size > 1) std::fwrite(data + 1, 1, size - 1, f);
    std::fclose(f);

    ImportOptions options;
    options.width = 16;
    options.height = 16;
    ImportedScene imported;
    const bool ok = importScene(path, options, imported);
    std::remove(path.c_str());
    if (!ok) return 0;
    // What the importer writes must always be a valid scene.
    Scene scene;
    aabb box = initialSceneBox();
    float4* woop = nullptr;
    if (parseSceneText(importedSceneText(imported), path, scene, box, &woop) != ParseStatus::Ok)
        __builtin_trap();
    return 0;
}
