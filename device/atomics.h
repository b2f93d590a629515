// Atomic operations usable from per-item work on either backend.
#pragma once

#include "device/hd.h"

namespace lumenar::device {

LUMENAR_HD inline float atomicAddFloat(float* address, float value) {
#if defined(__CUDA_ARCH__)
    return atomicAdd(address, value);
#else
    float expected;
    __atomic_load(address, &expected, __ATOMIC_RELAXED);
    float desired;
    do {
        desired = expected + value;
    } while (
        !__atomic_compare_exchange(address, &expected, &desired, true, __ATOMIC_RELAXED, __ATOMIC_RELAXED));
    return expected;
#endif
}

LUMENAR_HD inline int atomicExchangeInt(int* address, int value) {
#if defined(__CUDA_ARCH__)
    return atomicExch(address, value);
#else
    return __atomic_exchange_n(address, value, __ATOMIC_ACQ_REL);
#endif
}

// Returns the old value; the store happened when it equals expected.
LUMENAR_HD inline int atomicCompareExchangeInt(int* address, int expected, int desired) {
#if defined(__CUDA_ARCH__)
    return atomicCAS(address, expected, desired);
#else
    __atomic_compare_exchange_n(address, &expected, desired, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
    return expected;
#endif
}

// One device-wide mutex word shared by the chains that splat into a common
// buffer. The word is 0 when free and 1 when held.
struct Lock {
    int* mutex;

    LUMENAR_HD void lock() {
        while (atomicCompareExchangeInt(mutex, 0, 1) != 0) {
        }
    }
    LUMENAR_HD void unlock() { atomicExchangeInt(mutex, 0); }
};

}  // namespace lumenar::device
