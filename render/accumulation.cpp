#include "render/accumulation.h"

#include "device/launch.h"
#include "device/primitives.h"

namespace lumenar {

void AccumulateFrameColor(int W, int H, int frameCount, Color* frame, Color* accum) {
    device::launchPixelGrid(
        W, H, LUMENAR_LAMBDA(int x, int y) { accumulatePixel(x, y, W, frameCount, frame, accum); });
}

void RenderMetroFrame(int frameCount, int W, int H, const Color* accum, Color* display) {
    device::launchPixelGrid(
        W, H, LUMENAR_LAMBDA(int x, int y) { metroPixel(x, y, W, frameCount, accum, display); });
}

int compactPaths(pixelData* paths, int count) {
    return device::compact(paths, count, IsTerminated{});
}

}  // namespace lumenar
