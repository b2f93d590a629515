// The tree builds' parallel steps: two subtrees side by side, a few
// independent loop bodies, a sort, and per-thread scratch. Three forms:
// oneTBB where the builds have it; plain std::threads in the
// thread-sanitizer build (the system's oneTBB is not built for the
// sanitizer, which would see its task hand-offs as races); serial otherwise.
// The results never depend on the form or on the number of threads.
#pragma once

#include <algorithm>
#include <cstddef>

#if defined(LUMENAR_STD_THREADS)
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "device/threads.h"
#elif defined(LUMENAR_ACCEL_TBB)
#include <tbb/enumerable_thread_specific.h>
#include <tbb/global_control.h>
#include <tbb/parallel_for.h>
#include <tbb/parallel_invoke.h>
#include <tbb/parallel_sort.h>
#include <tbb/task_arena.h>
#endif

namespace lumenar::build {

#if defined(LUMENAR_STD_THREADS)

constexpr bool kParallel = true;

// Threads the builds may use now (the backend's limit).
inline int threadsAllowed() {
    return std::max(1, device::hostThreads());
}

namespace detail {
// Helper threads alive for parallelInvoke, all builds together.
inline std::atomic<int>& helpers() {
    static std::atomic<int> count{0};
    return count;
}
}  // namespace detail

// Runs a and b, b on a thread of its own while fewer than threadsAllowed()
// threads are busy, else both here, a first.
template <class A, class B>
void parallelInvoke(const A& a, const B& b) {
    std::atomic<int>& busy = detail::helpers();
    int n = busy.load();
    while (n + 1 < threadsAllowed()) {
        if (busy.compare_exchange_weak(n, n + 1)) {
            std::thread helper([&] { b(); });
            a();
            helper.join();
            busy.fetch_sub(1);
            return;
        }
    }
    a();
    b();
}

// body(i) for i in [0, n), in any order, each exactly once.
template <class Body>
void parallelFor(std::size_t n, const Body& body) {
    device::runChunks(static_cast<int>(n), [&](int i) { body(static_cast<std::size_t>(i)); });
}

template <class It, class Less>
void parallelSort(It first, It last, const Less& less) {
    std::sort(first, last, less);
}

// A number of the calling thread that no other thread ever had (thread ids
// are handed out again once a thread has ended, and the sanitizer does not
// count that as an ordering: a new thread would take over scratch that a
// finished one wrote without any synchronisation it can see).
inline unsigned long long threadSerial() {
    static std::atomic<unsigned long long> next{0};
    thread_local const unsigned long long serial = next.fetch_add(1);
    return serial;
}

// One T per thread that asks for it; kept until the owner goes (every
// short-lived helper thread leaves one behind, which only this build has).
template <class T>
class PerThread {
 public:
    T& local() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::unique_ptr<T>& slot = slots_[threadSerial()];
        if (!slot) slot = std::make_unique<T>();
        return *slot;
    }
    // Every thread's T (when no thread uses them).
    template <class F>
    void forEach(const F& f) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& [serial, slot] : slots_) f(*slot);
    }

 private:
    std::mutex mutex_;
    std::map<unsigned long long, std::unique_ptr<T>> slots_;
};

#elif defined(LUMENAR_ACCEL_TBB)

constexpr bool kParallel = true;

inline int threadsAllowed() {
    const int allowed =
        static_cast<int>(tbb::global_control::active_value(tbb::global_control::max_allowed_parallelism));
    return std::max(1, std::min(allowed, tbb::this_task_arena::max_concurrency()));
}

template <class A, class B>
void parallelInvoke(const A& a, const B& b) {
    tbb::parallel_invoke(a, b);
}

template <class Body>
void parallelFor(std::size_t n, const Body& body) {
    tbb::parallel_for(std::size_t{0}, n, [&](std::size_t i) { body(i); });
}

template <class It, class Less>
void parallelSort(It first, It last, const Less& less) {
    tbb::parallel_sort(first, last, less);
}

template <class T>
class PerThread {
 public:
    T& local() { return perThread_.local(); }
    template <class F>
    void forEach(const F& f) {
        for (T& t : perThread_) f(t);
    }

 private:
    tbb::enumerable_thread_specific<T> perThread_;
};

#else

constexpr bool kParallel = false;

inline int threadsAllowed() {
    return 1;
}

template <class A, class B>
void parallelInvoke(const A& a, const B& b) {
    a();
    b();
}

template <class Body>
void parallelFor(std::size_t n, const Body& body) {
    for (std::size_t i = 0; i < n; ++i) body(i);
}

template <class It, class Less>
void parallelSort(It first, It last, const Less& less) {
    std::sort(first, last, less);
}

template <class T>
class PerThread {
 public:
    T& local() { return one_; }
    template <class F>
    void forEach(const F& f) {
        f(one_);
    }

 private:
    T one_;
};

#endif

}  // namespace lumenar::build
