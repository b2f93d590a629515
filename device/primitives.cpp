#include "device/primitives.h"

#include <thrust/binary_search.h>
#include <thrust/reduce.h>
#include <thrust/scan.h>

namespace lumenar::device {

#if defined(__CUDACC__)
float reduceSum(const float* data, int n) {
    if (n <= 0) return 0.0f;
    return thrust::reduce(policy(), data, data + n, 0.0f);
}

void inclusiveScanSum(const float* data, float* out, int n) {
    if (n <= 0) return;
    thrust::inclusive_scan(policy(), data, data + n, out);
}
#else
// The CPU sums run over fixed blocks, each summed in double and the block
// sums added in order, so the result is the same bit for bit whatever the
// thread count or the scheduler's partition (a work-stealing reduction is
// not: its grouping of the additions changes from run to run).
namespace {
constexpr int kSumBlock = 4096;

int sumBlocks(int n) {
    return (n + kSumBlock - 1) / kSumBlock;
}

std::vector<double> blockSums(const float* data, int n) {
    std::vector<double> sums(static_cast<std::size_t>(sumBlocks(n)));
    double* s = sums.data();
    forEachBlock(sumBlocks(n), [&](int b) {
        const int end = std::min(n, (b + 1) * kSumBlock);
        double acc = 0.0;
        for (int i = b * kSumBlock; i < end; ++i) acc += data[i];
        s[b] = acc;
    });
    return sums;
}
}  // namespace

float reduceSum(const float* data, int n) {
    if (n <= 0) return 0.0f;
    double total = 0.0;
    for (double s : blockSums(data, n)) total += s;
    return static_cast<float>(total);
}

void inclusiveScanSum(const float* data, float* out, int n) {
    if (n <= 0) return;
    std::vector<double> offsets = blockSums(data, n);
    double running = 0.0;
    for (double& s : offsets) {
        const double blockSum = s;
        s = running;
        running += blockSum;
    }
    const double* off = offsets.data();
    forEachBlock(sumBlocks(n), [&](int b) {
        const int end = std::min(n, (b + 1) * kSumBlock);
        double acc = off[b];
        for (int i = b * kSumBlock; i < end; ++i) {
            acc += data[i];
            out[i] = static_cast<float>(acc);
        }
    });
}
#endif

void lowerBound(const float* sorted, int n, const float* values, int m, int* out) {
    if (m <= 0) return;
    thrust::lower_bound(policy(), sorted, sorted + n, values, values + m, out);
}

}  // namespace lumenar::device
