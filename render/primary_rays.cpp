#include "render/primary_rays.h"

#include <cstdio>

#include "device/launch.h"
#include "device/sobol.h"
#include "render/sobol_states.h"

namespace lumenar {

void RayTraceKernelGLOnlyDiffusePDInitSuper(SobolState* states, int /*hash*/, Camera cam, int sw, int sh,
                                            Color* frame, pixelData* paths, int o,
                                            const SampleStream& stream) {
    const SampleStream st = stream;
    device::launchPixelGrid(
        sw, sh, LUMENAR_LAMBDA(int x, int y) { primaryRay(x, y, states, cam, sw, frame, paths, o, st); });
}

int sobolDimensionsFor(int n) {
    return n <= 0 ? 0 : (2 * n - 1) / 32 + 1;
}

void initSobolStates(const uint32_t* directions, const uint32_t* scrambles, SobolState* states, int W,
                     int H) {
    const int n = W * H;
    device::launchPixelGrid(
        W, H, LUMENAR_LAMBDA(int x, int y) {
            const int idx = y * W + x;
            sobolInit(directions + (idx / 32) * 32, scrambles[2 * idx], kSobolSkipAhead, &states[2 * idx]);
            sobolInit(directions + ((n + idx) / 32) * 32, scrambles[2 * idx + 1], kSobolSkipAhead,
                      &states[2 * idx + 1]);
        });
}

bool SobolStates::create(int W, int H) {
    const long long n = static_cast<long long>(W) * H;
    if (W <= 0 || H <= 0 || n > (1 << 29)) {
        std::printf("Sobol states: image size %d x %d is out of range\n", W, H);
        return false;
    }
    const std::vector<uint32_t> dirs = sobolDirectionVectors(sobolDimensionsFor(static_cast<int>(n)));
    const std::vector<uint32_t> scr = sobolScrambleConstants(static_cast<std::size_t>(2 * n));
    directions_ = device::uploadArray(dirs.data(), dirs.size());
    scrambles_ = device::uploadArray(scr.data(), scr.size());
    states_ = device::Buffer<SobolState>(static_cast<std::size_t>(2 * n));
    if (!directions_ || !scrambles_ || !states_) return false;
    initSobolStates(directions_.get(), scrambles_.get(), states_.get(), W, H);
    return device::checkLaunch() && device::synchronize();
}

}  // namespace lumenar
