// Control over the CPU backend's worker threads.
#pragma once

#include <memory>

#if defined(LUMENAR_STD_THREADS)
#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>
#endif

namespace lumenar::device {

// Limits the CPU backend's worker threads while alive (no effect under CUDA).
// 0 keeps the default (all cores).
class ThreadLimit {
 public:
    explicit ThreadLimit(int threads);
    ~ThreadLimit();
    ThreadLimit(const ThreadLimit&) = delete;
    ThreadLimit& operator=(const ThreadLimit&) = delete;

 private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Worker threads the CPU backend uses now (1 under CUDA).
int hostThreads();

#if defined(LUMENAR_STD_THREADS)
// The launch path of the thread-sanitizer build: plain std::thread workers,
// so that what the sanitizer sees is this project's own synchronisation
// (the system's oneTBB is not built for it). Runs body(0) .. body(chunks - 1),
// each exactly once, on up to hostThreads() threads, the caller's included;
// returns when all are done.
template <class Body>
void runChunks(int chunks, const Body& body) {
    if (chunks <= 0) return;
    const int threads = std::min(chunks, std::max(1, hostThreads()));
    std::atomic<int> next{0};
    auto work = [&] {
        for (int c = next.fetch_add(1); c < chunks; c = next.fetch_add(1)) body(c);
    };
    std::vector<std::thread> helpers;
    helpers.reserve(static_cast<std::size_t>(threads - 1));
    for (int t = 1; t < threads; ++t) helpers.emplace_back(work);
    work();
    for (std::thread& h : helpers) h.join();
}
#endif

}  // namespace lumenar::device
