// Control over the CPU backend's worker threads.
#pragma once

#include <memory>

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

}  // namespace lumenar::device
