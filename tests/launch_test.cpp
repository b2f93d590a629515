#include "device/launch.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numeric>
#include <vector>

#if !defined(LUMENAR_STD_THREADS) && !defined(LUMENAR_BACKEND_CUDA)
#include <tbb/global_control.h>
#endif

#include "device/atomics.h"
#include "device/memory.h"
#include "device/primitives.h"
#include "device/threads.h"
#include "render/path_state.h"

using namespace lumenar;

TEST(Launch, PixelGridRunsEveryItemOnceForAwkwardSizes) {
    for (auto [w, h] : {std::pair{1, 1}, {3, 7}, {5, 9}, {33, 17}, {257, 129}, {4, 8}}) {
        device::Buffer<int> hits(static_cast<std::size_t>(w) * h);
        device::fillBytes(hits.get(), 0, hits.bytes());
        int* p = hits.get();
        device::launchPixelGrid(
            w, h, LUMENAR_LAMBDA(int x, int y) {
                device::atomicAddFloat(reinterpret_cast<float*>(&p[0]), 0.0f);  // exercise the atomic path
                __atomic_fetch_add(&p[y * w + x], 1, __ATOMIC_RELAXED);
            });
        ASSERT_TRUE(device::synchronize());
        std::vector<int> host(hits.size());
        hits.download(host.data(), host.size());
        for (int v : host) ASSERT_EQ(v, 1) << w << " x " << h;
    }
}

TEST(Launch, PathArrayRunsEveryItemOnce) {
    for (int n : {1, 31, 33, 127, 129, 1000, 100003}) {
        std::vector<int> hits(n, 0);
        int* p = hits.data();
        device::launchPathArray(
            n, LUMENAR_LAMBDA(int i) { __atomic_fetch_add(&p[i], 1, __ATOMIC_RELAXED); });
        for (int v : hits) ASSERT_EQ(v, 1) << n;
    }
    int calls = 0;
    int* c = &calls;
    device::launchPathArray(
        0, LUMENAR_LAMBDA(int) { ++*c; });
    device::launchPixelGrid(
        0, 5, LUMENAR_LAMBDA(int, int) { ++*c; });
    EXPECT_EQ(calls, 0);
}

TEST(Launch, ThreadLimitIsHonouredAndReleased) {
    const int before = device::hostThreads();
    {
        device::ThreadLimit one(1);
        EXPECT_EQ(device::hostThreads(), 1);
    }
    EXPECT_EQ(device::hostThreads(), before);
}

TEST(Atomics, FloatAddFromManyItemsLosesNothing) {
    float sum = 0.0f;
    float* s = &sum;
    device::launchPathArray(
        1 << 16, LUMENAR_LAMBDA(int) { device::atomicAddFloat(s, 1.0f); });
    EXPECT_EQ(sum, 65536.0f);
}

TEST(Atomics, ExchangeAndLock) {
    int word = 5;
    EXPECT_EQ(device::atomicExchangeInt(&word, 7), 5);
    EXPECT_EQ(word, 7);
    EXPECT_EQ(device::atomicCompareExchangeInt(&word, 3, 9), 7);
    EXPECT_EQ(word, 7);
    EXPECT_EQ(device::atomicCompareExchangeInt(&word, 7, 9), 7);
    EXPECT_EQ(word, 9);

    // A non-atomic counter guarded by the lock stays exact.
    int mutex = 0;
    long counter = 0;
    device::Lock lock{&mutex};
    device::Lock* l = &lock;
    long* c = &counter;
    device::launchPathArray(
        20000, LUMENAR_LAMBDA(int) {
            l->lock();
            *c = *c + 1;
            l->unlock();
        });
    EXPECT_EQ(counter, 20000);
    EXPECT_EQ(mutex, 0);
}

TEST(Primitives, CompactionKeepsSurvivorsInOrder) {
    const int n = 10007;
    std::vector<pixelData> paths(n);
    for (int i = 0; i < n; ++i) {
        paths[i] = pixelData{};
        paths[i].pixelIndex = i;
        paths[i].alive = (i % 3 == 0 || i % 7 == 0) ? 0 : 1;
    }
    const int kept = device::compact(paths.data(), n, IsTerminated());
    int expected = 0;
    for (int i = 0; i < n; ++i) expected += (i % 3 != 0 && i % 7 != 0);
    ASSERT_EQ(kept, expected);
    for (int i = 1; i < kept; ++i) ASSERT_LT(paths[i - 1].pixelIndex, paths[i].pixelIndex);
    for (int i = 0; i < kept; ++i) ASSERT_NE(paths[i].alive, 0);
    EXPECT_EQ(device::compact(paths.data(), 0, IsTerminated()), 0);

    // Nothing or everything dies; the second call reuses the scratch space.
    for (int i = 0; i < n; ++i) paths[i].alive = 1;
    EXPECT_EQ(device::compact(paths.data(), n, IsTerminated()), n);
    for (int i = 0; i < n; ++i) paths[i].alive = 0;
    EXPECT_EQ(device::compact(paths.data(), n, IsTerminated()), 0);
}

TEST(Primitives, ReduceScanAndLowerBound) {
    std::vector<float> v(1000);
    std::iota(v.begin(), v.end(), 1.0f);
    EXPECT_EQ(device::reduceSum(v.data(), 1000), 500500.0f);
    std::vector<float> scan(1000);
    device::inclusiveScanSum(v.data(), scan.data(), 1000);
    EXPECT_EQ(scan[0], 1.0f);
    EXPECT_EQ(scan[999], 500500.0f);
    const float q[] = {0.0f, 1.0f, 1.5f, 3.0f, 500500.0f, 1e9f};
    int idx[6];
    device::lowerBound(scan.data(), 1000, q, 6, idx);
    EXPECT_EQ(idx[0], 0);
    EXPECT_EQ(idx[1], 0);
    EXPECT_EQ(idx[2], 1);
    EXPECT_EQ(idx[3], 1);
    EXPECT_EQ(idx[4], 999);
    EXPECT_EQ(idx[5], 1000);
    EXPECT_EQ(device::reduceSum(v.data(), 0), 0.0f);
}

// The Metropolis start-up normalises by these sums and picks chains by the
// scan, so they must not change with the thread count or from run to run
// (a work-stealing reduction regroups its additions every time).
TEST(Primitives, SumsAreTheSameBitsOnAnyThreadCount) {
    const int n = 300001;  // not a multiple of any block size
    std::vector<float> v(n);
    uint32_t h = 12345u;
    for (float& x : v) {
        h = h * 1664525u + 1013904223u;
        // Magnitudes over six decades, as luminances of a scene with a lamp.
        x = std::pow(10.0f, static_cast<float>(h >> 8) / 16777216.0f * 6.0f - 3.0f);
    }
    double exact = 0.0;
    for (float x : v) exact += x;
    const auto bitsOf = [](float f) {
        uint32_t b;
        std::memcpy(&b, &f, sizeof b);
        return b;
    };
    const float sum = device::reduceSum(v.data(), n);
    EXPECT_NEAR(sum, exact, 1e-6 * exact);
    std::vector<float> scan(n);
    device::inclusiveScanSum(v.data(), scan.data(), n);
    EXPECT_NEAR(scan[n - 1], exact, 1e-6 * exact);
    for (int i = 1; i < n; ++i) ASSERT_LE(scan[i - 1], scan[i]) << i;

    for (int threads : {1, 2, 3, 8}) {
#if !defined(LUMENAR_STD_THREADS) && !defined(LUMENAR_BACKEND_CUDA)
        tbb::global_control limit(tbb::global_control::max_allowed_parallelism, threads);
#endif
        for (int round = 0; round < 4; ++round) {
            ASSERT_EQ(bitsOf(device::reduceSum(v.data(), n)), bitsOf(sum)) << threads << " threads";
            std::vector<float> again(v);
            device::inclusiveScanSum(again.data(), again.data(), n);  // in place
            ASSERT_EQ(std::memcmp(again.data(), scan.data(), sizeof(float) * n), 0) << threads << " threads";
        }
    }
}
