#include "scene/records.h"

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

}  // namespace lumenar
