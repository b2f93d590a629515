// Bulk primitives over device arrays, through Thrust on both backends (the
// TBB device system on CPU, CUDA's own under nvcc). Include only where needed:
// the Thrust headers are heavy.
#pragma once

#include <thrust/remove.h>

#if defined(__CUDACC__)
#include <thrust/execution_policy.h>
#else
#include <thrust/system/tbb/execution_policy.h>
#endif

#include "device/hd.h"

namespace lumenar::device {

#if defined(__CUDACC__)
inline auto policy() {
    return thrust::device;
}
#else
inline auto policy() {
    return thrust::tbb::par;
}
#endif

// Drops the items for which isDead holds, in place, keeping the survivors'
// relative order; returns how many survive. (Thrust's remove_if is stable and,
// unlike copy_if, allowed to work in place.)
template <class T, class Pred>
int compact(T* items, int count, Pred isDead) {
    if (count <= 0) return 0;
    T* end = thrust::remove_if(policy(), items, items + count, isDead);
    return static_cast<int>(end - items);
}

// Sum of data[0, n).
float reduceSum(const float* data, int n);
// out[i] = data[0] + ... + data[i]; out may equal data.
void inclusiveScanSum(const float* data, float* out, int n);
// out[j] = index of the first element of sorted[0, n) not less than values[j].
void lowerBound(const float* sorted, int n, const float* values, int m, int* out);

}  // namespace lumenar::device
