#include "scene/records.h"

namespace lumenar {

Volume::Volume(const Vector3d& bmin, const Vector3d& bmax, const Color& sigmaA, const Color& sigmaS,
               const Color& emitted, float g_)
    : bounds(bmin, bmax), volumeType(kHomogeneous), sigma_a(sigmaA), sigma_s(sigmaS), le(emitted), g(g_) {}

Volume::Volume(const Vector3d& bmin, const Vector3d& bmax, const Color& sigmaA, const Color& sigmaS,
               const Color& emitted, float g_, float a_, float b_, const Vector3d& gravity_)
    : bounds(bmin, bmax),
      volumeType(kExponential),
      sigma_a(sigmaA),
      sigma_s(sigmaS),
      le(emitted),
      g(g_),
      a(a_),
      b(b_),
      gravity(normalize(gravity_)) {}

Volume::Volume(const Vector3d& bmin, const Vector3d& bmax, const Color& sigmaA, const Color& sigmaS,
               const Color& emitted, float g_, int gx, int gy, int gz, float* data)
    : bounds(bmin, bmax),
      volumeType(kCustomized),
      sigma_a(sigmaA),
      sigma_s(sigmaS),
      le(emitted),
      g(g_),
      gridX(gx),
      gridY(gy),
      gridZ(gz),
      densityData(data) {}

}  // namespace lumenar
