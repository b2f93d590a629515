#include "device/primitives.h"

#include <thrust/binary_search.h>
#include <thrust/reduce.h>
#include <thrust/scan.h>

namespace lumenar::device {

float reduceSum(const float* data, int n) {
    if (n <= 0) return 0.0f;
    return thrust::reduce(policy(), data, data + n, 0.0f);
}

void inclusiveScanSum(const float* data, float* out, int n) {
    if (n <= 0) return;
    thrust::inclusive_scan(policy(), data, data + n, out);
}

void lowerBound(const float* sorted, int n, const float* values, int m, int* out) {
    if (m <= 0) return;
    thrust::lower_bound(policy(), sorted, sorted + n, values, values + m, out);
}

}  // namespace lumenar::device
