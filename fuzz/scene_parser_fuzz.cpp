// libFuzzer entry: parses arbitrary bytes as a scene file. Every input must
// end in success or a reported failure, never in a crash, a hang or a
// sanitizer finding.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "scene/input_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using namespace lumenar;
    Scene scene;
    aabb box = initialSceneBox();
    float4* woop = nullptr;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    // parseSceneText reports an unknown volume type instead of ending the
    // process, so that case is explored too.
    const ParseStatus status = parseSceneText(text, "fuzz-input", scene, box, &woop);
    if (status == ParseStatus::Ok && scene.triangleCount > 0 && woop == nullptr) __builtin_trap();
    return 0;
}
