// lumenar-load-bench MODEL [--via-text]: time and peak memory of opening a
// model file into the scene records (what the renderer holds before it
// builds its trees). With --via-text the records go through the native scene
// text and its parser on the way, as model files were opened before the
// importer wrote records directly; the difference is the text round trip.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "scene/importer.h"
#include "scene/input_parser.h"

int main(int argc, char** argv) {
    using namespace lumenar;
    if (argc < 2) {
        std::printf("usage: lumenar-load-bench MODEL [--via-text]\n");
        return 2;
    }
    const bool viaText = argc > 2 && std::strcmp(argv[2], "--via-text") == 0;
    using Clock = std::chrono::steady_clock;
    const Clock::time_point t0 = Clock::now();
    ImportedScene imported;
    if (!importScene(argv[1], ImportOptions(), imported)) return 1;
    const Clock::time_point t1 = Clock::now();
    Scene scene;
    aabb box = initialSceneBox();
    float4* woop = nullptr;
    bool ok;
    if (viaText) {
        const std::string text = importedSceneText(imported);
        imported = ImportedScene();
        ok = parseSceneText(text, argv[1], scene, box, &woop) == ParseStatus::Ok;
    } else {
        ok = commitScene(imported.assembly, scene, box, &woop, argv[1]);
    }
    if (!ok) return 1;
    const Clock::time_point t2 = Clock::now();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](Clock::duration d) { return std::chrono::duration<double>(d).count(); };
    std::printf("%s: %d triangles; read %.3f s, records %.3f s, total %.3f s; peak resident %.0f MiB%s\n",
                argv[1], scene.triangleCount, seconds(t1 - t0), seconds(t2 - t1), seconds(t2 - t0),
                usage.ru_maxrss / 1024.0, viaText ? " (via scene text)" : "");
    return 0;
}
