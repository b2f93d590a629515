#include "device/threads.h"

#if !defined(LUMENAR_BACKEND_CUDA)
#include <tbb/global_control.h>
#include <tbb/info.h>
#endif

#if defined(LUMENAR_STD_THREADS)
#include <atomic>
#include <thread>
#endif

namespace lumenar::device {

#if defined(LUMENAR_STD_THREADS)
namespace {
int defaultThreads() {
    const unsigned n = std::thread::hardware_concurrency();
    return n > 1 ? static_cast<int>(n) : 2;
}
std::atomic<int> gThreads{defaultThreads()};
// What still runs through oneTBB (the tree builds) stays on the calling
// thread, where the sanitizer can follow it.
tbb::global_control gSerialTbb(tbb::global_control::max_allowed_parallelism, 1);
}  // namespace

struct ThreadLimit::Impl {
    int previous;
};

ThreadLimit::ThreadLimit(int threads) {
    if (threads > 0) impl_ = std::make_unique<Impl>(Impl{gThreads.exchange(threads)});
}

ThreadLimit::~ThreadLimit() {
    if (impl_) gThreads.store(impl_->previous);
}

int hostThreads() {
    return gThreads.load();
}
#elif !defined(LUMENAR_BACKEND_CUDA)
struct ThreadLimit::Impl {
    explicit Impl(int n) : control(tbb::global_control::max_allowed_parallelism, n) {}
    tbb::global_control control;
};

ThreadLimit::ThreadLimit(int threads) {
    if (threads > 0) impl_ = std::make_unique<Impl>(threads);
}

ThreadLimit::~ThreadLimit() = default;

int hostThreads() {
    return static_cast<int>(tbb::global_control::active_value(tbb::global_control::max_allowed_parallelism));
}
#else
struct ThreadLimit::Impl {};
ThreadLimit::ThreadLimit(int) {}
ThreadLimit::~ThreadLimit() = default;
int hostThreads() {
    return 1;
}
#endif

}  // namespace lumenar::device
