#include "render/denoise.h"

#include <utility>

#include "device/launch.h"
#include "render/accumulation.h"

namespace lumenar {

bool Denoiser::allocate(int width, int height) {
    const std::size_t n = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    width_ = width;
    height_ = height;
    guides_ = device::Buffer<DenoiseGuide>(n);
    ping_ = device::Buffer<Color>(n);
    pong_ = device::Buffer<Color>(n);
    varPing_ = device::Buffer<float>(n);
    varPong_ = device::Buffer<float>(n);
    if (n == 0 || !guides_ || !ping_ || !pong_ || !varPing_ || !varPong_) {
        guides_.reset();
        return false;
    }
    return true;
}

void Denoiser::computeGuides(const Camera& camera, const DynamicScene& scene) {
    const Camera cam = camera;
    const DynamicScene s = scene;
    DenoiseGuide* guides = guides_.get();
    const int W = width_;
    device::launchPixelGrid(
        width_, height_, LUMENAR_LAMBDA(int x, int y) {
            Raytrace rt;
            guides[y * W + x] = guideOfPixel(x, y, cam, s, rt);
        });
}

void launchAtrousPass(int W, int H, int step, float sigmaColour, const Color* in, Color* out,
                      const DenoiseGuide* guides, const DenoiseParams& params, const float* varianceIn,
                      float* varianceOut) {
    const DenoiseParams k = params;
    device::launchPixelGrid(
        W, H, LUMENAR_LAMBDA(int x, int y) {
            out[y * W + x] =
                atrousPixel(x, y, W, H, step, sigmaColour, in, guides, k, varianceIn, varianceOut);
        });
}

void Denoiser::runPasses(bool withVariance) {
    float sigma = params.sigmaColour;
    for (int pass = 0; pass < params.passes; ++pass) {
        launchAtrousPass(width_, height_, 1 << pass, sigma, ping_.get(), pong_.get(), guides_.get(), params,
                         withVariance ? varPing_.get() : nullptr, withVariance ? varPong_.get() : nullptr);
        std::swap(ping_, pong_);
        std::swap(varPing_, varPong_);
        sigma *= 0.5f;
    }
}

void Denoiser::demodulateInto(const Color* image, int frames, const uint32_t* samples,
                              const Color* variance) {
    const int W = width_;
    const float divisor = frameDivisor(frames);
    const DenoiseGuide* guides = guides_.get();
    Color* lighting = ping_.get();
    float* lightingVar = varPing_.get();
    device::launchPixelGrid(
        width_, height_, LUMENAR_LAMBDA(int x, int y) {
            const int i = y * W + x;
            const float n = samples ? frameDivisor(static_cast<int>(samples[i])) : divisor;
            lighting[i] = demodulate(image[i] / n, guides[i].albedo);
            if (variance) lightingVar[i] = lightingVariance(variance[i], guides[i].albedo);
        });
}

void Denoiser::filter(const Color* accum, int frames, float exponent, Color* display, const Color* variance,
                      const uint32_t* samples) {
    demodulateInto(accum, frames, samples, variance);
    runPasses(variance != nullptr);
    const int W = width_;
    const DenoiseGuide* guides = guides_.get();
    const Color* filtered = ping_.get();
    device::launchPixelGrid(
        width_, height_, LUMENAR_LAMBDA(int x, int y) {
            const int i = y * W + x;
            const Color c = remodulate(filtered[i], guides[i].albedo);
            storeDisplayVertex(&display[i], makeDisplayVertex(x, y, c, exponent));
        });
}

void Denoiser::filterLinear(Color* image, const Color* variance) {
    demodulateInto(image, 1, nullptr, variance);
    runPasses(variance != nullptr);
    const int W = width_;
    const DenoiseGuide* guides = guides_.get();
    const Color* filtered = ping_.get();
    device::launchPixelGrid(
        width_, height_, LUMENAR_LAMBDA(int x, int y) {
            const int i = y * W + x;
            image[i] = remodulate(filtered[i], guides[i].albedo);
        });
}

}  // namespace lumenar
