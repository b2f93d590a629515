// Build-time settings of a run and the command-line parsing they share.
#pragma once

#include <cstddef>
#include <string>

namespace lumenar {

struct Settings {
    int superSampleFactor = 1;  // primary samples per pixel along each axis
    int kdBuildMode = 1;        // non-zero: clipping kd-tree build; zero: duplicating build
    int extendedMode = 1;       // fifth tracer flag of the Metropolis kernels
    int useDynamicBVH = 1;      // movable objects get their own BVH subtrees
    int showFps = 1;            // frame rates in the window title
    unsigned metroSalt = 0;     // seeds the Metropolis chains (metroRunSalt of a run's frame range)
    // Metropolis start-up: > 0 picks each chain's first state in proportion
    // to its candidate's luminance capped at this many times the neighbouring
    // candidates' mean (kMetroStartCap, the default); 0 leaves it uncapped
    // (--mlt-uncapped-start).
    float mltStartCap = kStartCap;
    // Metropolis splats with the combined estimator (Renderer::mltCombineLargeSteps,
    // --mlt-combined) and the rejections after which a chain accepts its next
    // proposal (Renderer::mltForcedAcceptance, --mlt-forced-acceptance; 0: never).
    bool mltCombined = false;
    int mltForcedAcceptance = kForcedAcceptanceThreshold;
    // Device bytes the Metropolis chain set-up may allocate (0: no limit
    // beyond the device's); a larger set-up leaves Metropolis mode off.
    std::size_t mltMemoryLimit = 0;

    // A texture of the scene file that cannot be read stops the start-up;
    // with this set (the window program) the run goes on without it and
    // Application::missingTextures names it.
    bool missingTexturesAllowed = false;

    // Model files (glTF, OBJ, PLY ...) opened directly: the image size (0:
    // chosen by the importer) and the node that becomes the movable object.
    int importWidth = 0;
    int importHeight = 0;
    std::string movableName;

    static constexpr int kLargeStepPeriod = 4;
    static constexpr int kForcedAcceptanceThreshold = 32;
    static constexpr float kStartCap = 16.0f;  // kMetroStartCap
};

// The window program's optional first argument: the kd-tree build mode, read
// like atoi (a non-numeric argument gives 0).
int buildModeFromArguments(int argc, const char* const* argv, int fallback);

}  // namespace lumenar
