#include "scene/records.h"

#include <algorithm>

namespace lumenar {

Volume::Volume(const Vector3d& bmin, const Vector3d& bmax, const Color& sigmaA_, const Color& sigmaS_,
               const Color& emitted, float g_)
    : bounds(bmin, bmax), volumeType(kHomogeneous), sigmaA(sigmaA_), sigmaS(sigmaS_), le(emitted), g(g_) {}

Volume::Volume(const Vector3d& bmin, const Vector3d& bmax, const Color& sigmaA_, const Color& sigmaS_,
               const Color& emitted, float g_, float a_, float b_, const Vector3d& gravity_)
    : bounds(bmin, bmax),
      volumeType(kExponential),
      sigmaA(sigmaA_),
      sigmaS(sigmaS_),
      le(emitted),
      g(g_),
      a(a_),
      b(b_),
      gravity(normalize(gravity_)) {}

Volume::Volume(const Vector3d& bmin, const Vector3d& bmax, const Color& sigmaA_, const Color& sigmaS_,
               const Color& emitted, float g_, int gx, int gy, int gz, float* data)
    : bounds(bmin, bmax),
      volumeType(kCustomized),
      sigmaA(sigmaA_),
      sigmaS(sigmaS_),
      le(emitted),
      g(g_),
      gridX(gx),
      gridY(gy),
      gridZ(gz),
      densityData(data) {}

double lightChoicePower(const deviceLightTriangle& l) {
    const Color& e = l.emission;
    const double lum = 0.2126 * e.r + 0.7152 * e.g + 0.0722 * e.b;
    const double area = l.invArea > 0.0f ? 1.0 / static_cast<double>(l.invArea) : 0.0;
    const double p = lum * area;
    return p > 0.0 && p < 1e300 ? p : 0.0;  // negative, NaN and infinite powers count as none
}

void prepareLightChoice(std::vector<deviceLightTriangle>& lights, double uniformShare) {
    std::stable_sort(lights.begin(), lights.end(),
                     [](const deviceLightTriangle& a, const deviceLightTriangle& b) {
                         return a.triangleIndex < b.triangleIndex;
                     });
    const std::size_t n = lights.size();
    if (n == 0) return;
    double total = 0.0;
    for (const deviceLightTriangle& l : lights) total += lightChoicePower(l);
    const double u = total > 0.0 ? std::min(std::max(uniformShare, 0.0), 1.0) : 1.0;
    double cdf = 0.0;
    float prev = 0.0f;
    for (std::size_t j = 0; j < n; ++j) {
        const double share = total > 0.0 ? lightChoicePower(lights[j]) / total : 0.0;
        cdf += (1.0 - u) * share + u / static_cast<double>(n);
        const float c = j + 1 == n ? 1.0f : std::min(static_cast<float>(cdf), 1.0f);
        lights[j].choiceCdf = c;
        // The chance is what the stored bounds give, so sampling and its
        // density agree to the last bit.
        lights[j].choicePdf = static_cast<float>(static_cast<double>(c) - static_cast<double>(prev));
        prev = c;
    }
}

}  // namespace lumenar
