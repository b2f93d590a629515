#include "device/threads.h"

#if !defined(LUMENAR_BACKEND_CUDA)
#include <tbb/global_control.h>
#include <tbb/info.h>
#endif

namespace lumenar::device {

#if !defined(LUMENAR_BACKEND_CUDA)
struct ThreadLimit::Impl {
    explicit Impl(int n) : control(tbb::global_control::max_allowed_parallelism, n) {}
    tbb::global_control control;
};

ThreadLimit::ThreadLimit(int threads) {
    if (threads > 0) impl_ = std::make_unique<Impl>(threads);
}

int hostThreads() {
    return static_cast<int>(tbb::global_control::active_value(tbb::global_control::max_allowed_parallelism));
}
#else
struct ThreadLimit::Impl {};
ThreadLimit::ThreadLimit(int) {}
int hostThreads() {
    return 1;
}
#endif

ThreadLimit::~ThreadLimit() = default;

}  // namespace lumenar::device
