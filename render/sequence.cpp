#include "render/sequence.h"

#include "device/launch.h"
#include "device/memory.h"

namespace lumenar {

bool positionSobolStates(SobolState* states, int count, uint32_t firstFrame, uint32_t sequenceSeed) {
    if (firstFrame == 0 && sequenceSeed == 0) return true;
    device::launchPathArray(
        count, LUMENAR_LAMBDA(int i) {
            positionSobolState(&states[i], static_cast<uint32_t>(i), firstFrame, sequenceSeed);
        });
    return device::checkLaunch() && device::synchronize();
}

}  // namespace lumenar
