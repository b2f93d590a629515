// Bulk primitives over device arrays, through Thrust on both backends (the
// TBB device system on CPU, CUDA's own under nvcc). Include only where needed:
// the Thrust headers are heavy.
#pragma once

#include <thrust/remove.h>

#include <algorithm>
#include <cstring>
#include <type_traits>
#include <vector>

#if defined(__CUDACC__)
#include <thrust/execution_policy.h>
#elif defined(LUMENAR_STD_THREADS)
#include <thrust/system/cpp/execution_policy.h>

#include "device/threads.h"
#else
#include <tbb/parallel_for.h>
#include <thrust/system/tbb/execution_policy.h>
#endif

#include "device/hd.h"

namespace lumenar::device {

#if defined(__CUDACC__)
inline auto policy() {
    return thrust::device;
}
#elif defined(LUMENAR_STD_THREADS)
// The thread-sanitizer build: Thrust's serial system.
inline auto policy() {
    return thrust::cpp::par;
}
#else
inline auto policy() {
    return thrust::tbb::par;
}
#endif

#if !defined(__CUDACC__)
// Runs body(0) .. body(n - 1) side by side on the CPU backend.
template <class Body>
void forEachBlock(int n, const Body& body) {
#if defined(LUMENAR_STD_THREADS)
    runChunks(n, body);
#else
    tbb::parallel_for(0, n, body);
#endif
}
#endif

// Drops the items for which isDead holds, in place, keeping the survivors'
// relative order; returns how many survive.
#if defined(__CUDACC__)
// Thrust's remove_if is stable and, unlike copy_if, allowed to work in place.
template <class T, class Pred>
int compact(T* items, int count, Pred isDead) {
    if (count <= 0) return 0;
    T* end = thrust::remove_if(policy(), items, items + count, isDead);
    return static_cast<int>(end - items);
}
#else
// Blocks are counted in parallel, their survivors gathered into a scratch
// array kept between calls (the frame loop compacts after every bounce
// launch), then copied back.
template <class T, class Pred>
int compact(T* items, int count, Pred isDead) {
    static_assert(std::is_trivially_copyable<T>::value, "compaction moves items bytewise");
    if (count <= 0) return 0;
    constexpr int kBlock = 2048;
    const int blocks = (count + kBlock - 1) / kBlock;
    thread_local std::vector<int> offsets;
    thread_local std::vector<T> scratch;
    offsets.assign(static_cast<std::size_t>(blocks) + 1, 0);
    if (scratch.size() < static_cast<std::size_t>(count)) scratch.resize(static_cast<std::size_t>(count));
    int* off = offsets.data();
    T* tmp = scratch.data();
    forEachBlock(blocks, [&](int b) {
        const int end = std::min(count, (b + 1) * kBlock);
        int kept = 0;
        for (int i = b * kBlock; i < end; ++i) kept += isDead(items[i]) ? 0 : 1;
        off[b + 1] = kept;
    });
    for (int b = 0; b < blocks; ++b) off[b + 1] += off[b];
    const int total = off[blocks];
    if (total == count) return count;
    forEachBlock(blocks, [&](int b) {
        const int end = std::min(count, (b + 1) * kBlock);
        int out = off[b];
        for (int i = b * kBlock; i < end; ++i)
            if (!isDead(items[i])) tmp[out++] = items[i];
    });
    forEachBlock((total + kBlock - 1) / kBlock, [&](int b) {
        const int begin = b * kBlock, end = std::min(total, begin + kBlock);
        std::memcpy(static_cast<void*>(items + begin), tmp + begin,
                    sizeof(T) * static_cast<std::size_t>(end - begin));
    });
    return total;
}
#endif

// Sum of data[0, n).
float reduceSum(const float* data, int n);
// out[i] = data[0] + ... + data[i]; out may equal data.
void inclusiveScanSum(const float* data, float* out, int n);
// out[j] = index of the first element of sorted[0, n) not less than values[j].
void lowerBound(const float* sorted, int n, const float* values, int m, int* out);

}  // namespace lumenar::device
