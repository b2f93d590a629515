#include "render/accumulation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "device/launch.h"
#include "device/memory.h"

using namespace lumenar;

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

std::vector<displayVertex> asVertices(const device::Buffer<Color>& b, int n) {
    std::vector<Color> raw(n);
    EXPECT_TRUE(b.download(raw.data(), n));
    std::vector<displayVertex> v(n);
    std::memcpy(v.data(), raw.data(), sizeof(Color) * n);
    return v;
}

std::vector<Color> download(const device::Buffer<Color>& b, int n) {
    std::vector<Color> h(n);
    EXPECT_TRUE(b.download(h.data(), n));
    return h;
}

device::Buffer<Color> upload(const std::vector<Color>& h) {
    return device::uploadArray(h.data(), h.size());
}

Color grey(float v) {
    return Color(v, v, v);
}

}  // namespace

TEST(Accumulation, ToneCurveBytesAndRunningAverage) {
    const int W = 3, H = 2;
    // First frame after a reset.
    auto frame =
        upload({grey(0.5f), grey(1.0f), grey(1.0001f), grey(0.0f), Color(-0.5f, 7.0f, 0.25f), grey(0.5f)});
    auto accum = upload(std::vector<Color>(W * H, grey(0.0f)));
    AccumulateFrameColor(W, H, 1, frame.get(), accum.get());
    ASSERT_TRUE(device::synchronize());
    auto v = asVertices(frame, W * H);
    const int expected[] = {209, 255, 255, 0};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(v[i].red, expected[i]) << i;
        EXPECT_EQ(v[i].green, expected[i]) << i;
        EXPECT_EQ(v[i].blue, expected[i]) << i;
    }
    EXPECT_EQ(v[4].red, 0);  // negative average: powf gives NaN, shown as 0
    EXPECT_EQ(v[4].green, 255);
    EXPECT_EQ(v[4].blue, static_cast<int>(std::pow(0.25f, 0.2857143f) * 255.0f));
    for (int i = 0; i < W * H; ++i) {
        EXPECT_EQ(v[i].x, static_cast<float>(i % W));
        EXPECT_EQ(v[i].y, static_cast<float>(i / W));
        EXPECT_EQ(v[i].alpha, 1);
    }

    // Second frame: the sum carries on and the average halves.
    auto frame2 = upload({grey(0.0f), grey(0.0f), grey(0.0f), grey(1.0f), grey(0.0f), grey(0.5f)});
    AccumulateFrameColor(W, H, 2, frame2.get(), accum.get());
    ASSERT_TRUE(device::synchronize());
    const auto sum = download(accum, W * H);
    EXPECT_EQ(sum[0].r, 0.5f);
    EXPECT_EQ(sum[3].r, 1.0f);
    EXPECT_EQ(sum[5].r, 1.0f);
    v = asVertices(frame2, W * H);
    EXPECT_EQ(v[1].red, 209);  // (1 + 0) / 2
    EXPECT_EQ(v[3].red, 209);
    EXPECT_EQ(v[5].red, 209);
    EXPECT_EQ(v[0].red, static_cast<int>(std::pow(0.25f, 0.2857143f) * 255.0f));
}

TEST(Accumulation, NonFiniteFrameColourNeverPoisonsTheSum) {
    const int W = 2, H = 1;
    const float inf = std::numeric_limits<float>::infinity();
    auto accum = upload({grey(0.5f), grey(0.5f)});
    auto frame = upload({Color(kNaN, 0.2f, 0.2f), Color(0.2f, inf, 0.2f)});
    AccumulateFrameColor(W, H, 1, frame.get(), accum.get());
    ASSERT_TRUE(device::synchronize());
    for (const Color& c : download(accum, W * H)) EXPECT_EQ(c.r, 0.5f);
    for (const displayVertex& d : asVertices(frame, W * H)) EXPECT_EQ(d.red, 209);

    // The byte conversion itself: NaN shows as 0.
    EXPECT_EQ(displayByte(kNaN), 0);
    EXPECT_EQ(displayByte(-1.0f), 0);
    EXPECT_EQ(displayByte(1.0f), 255);
    EXPECT_EQ(displayByte(0.9999f), 254);
}

TEST(Accumulation, MetropolisCurveLeavesTheSumAndTheOutsideAlone) {
    // Sizes that fill neither the 4-wide nor the 8-high blocks; the display
    // buffer is followed by a guard band that must stay untouched.
    for (auto [W, H] : {std::pair{5, 11}, {3, 13}, {7, 1}}) {
        const int n = W * H, guard = 64;
        std::vector<Color> sums(n, grey(1.0f));  // 1.0 over two frames: 0.5
        sums[n - 1] = grey(4.0f);
        auto accum = upload(sums);
        auto display = upload(std::vector<Color>(n + guard, grey(-7.0f)));
        RenderMetroFrame(2, W, H, accum.get(), display.get());
        ASSERT_TRUE(device::synchronize());
        const auto out = download(display, n + guard);
        for (int i = n; i < n + guard; ++i)
            ASSERT_EQ(out[i].r, -7.0f) << W << " x " << H << " wrote past the image";
        std::vector<displayVertex> v(n);
        std::memcpy(v.data(), out.data(), sizeof(Color) * n);
        for (int i = 0; i < n - 1; ++i) {
            EXPECT_EQ(v[i].red, 186);
            EXPECT_EQ(v[i].blue, 186);
            EXPECT_EQ(v[i].x, static_cast<float>(i % W));
            EXPECT_EQ(v[i].y, static_cast<float>(i / W));
            EXPECT_EQ(v[i].alpha, 1);
        }
        EXPECT_EQ(v[n - 1].green, 255);
        const auto after = download(accum, n);
        for (int i = 0; i < n; ++i) EXPECT_EQ(after[i].r, sums[i].r);
    }
}

TEST(Accumulation, CompactionKeepsSurvivorsInOrder) {
    const int n = 5000;
    std::vector<pixelData> paths(n);
    std::vector<int> expected;
    uint32_t h = 1;
    for (int i = 0; i < n; ++i) {
        h = WangHash(h + i);
        paths[i].pixelIndex = i;
        paths[i].alive = (h % 3 != 0) ? static_cast<int>(h % 5 + 1) : 0;
        paths[i].throughput = grey(static_cast<float>(i));
        if (paths[i].alive) expected.push_back(i);
    }
    auto buf = device::uploadArray(paths.data(), paths.size());
    const int kept = compactPaths(buf.get(), n);
    ASSERT_EQ(kept, static_cast<int>(expected.size()));
    std::vector<pixelData> out(n);
    buf.download(out.data(), n);
    for (int k = 0; k < kept; ++k) {
        ASSERT_EQ(out[k].pixelIndex, expected[k]);
        EXPECT_NE(out[k].alive, 0);
        EXPECT_EQ(out[k].throughput.r, static_cast<float>(expected[k]));
    }

    // A compacted array compacts to itself; all-dead and empty arrays give 0.
    EXPECT_EQ(compactPaths(buf.get(), kept), kept);
    for (auto& p : paths) p.alive = 0;
    auto dead = device::uploadArray(paths.data(), paths.size());
    EXPECT_EQ(compactPaths(dead.get(), n), 0);
    EXPECT_EQ(compactPaths(dead.get(), 0), 0);
}

TEST(Contribution, AddsWeightedRadianceAndAdvancesThePath) {
    Color frame[2] = {grey(1.0f), grey(0.0f)};
    pixelData p;
    p.throughput = Color(0.5f, 0.25f, 2.0f);
    p.pixelIndex = 1;
    p.alive = 1;
    const Ray next(Vector3d(1, 2, 3), Vector3d(0, 0, 1));

    // Zero radiance: the frame stays, the path still moves on.
    applyBounceResult(p, BounceResult{grey(0.0f), grey(0.5f), next, 2}, frame, 1);
    EXPECT_TRUE(frame[1].isBlack());
    EXPECT_EQ(p.throughput.b, 1.0f);
    EXPECT_EQ(p.ray.origin.y, 2.0f);
    EXPECT_EQ(p.alive, 1);

    // Radiance adds throughput x radiance; a negative code ends the path.
    applyBounceResult(p, BounceResult{Color(2.0f, 4.0f, 1.0f), grey(3.0f), next, -1}, frame, 1);
    EXPECT_EQ(frame[1].r, 0.5f);
    EXPECT_EQ(frame[1].g, 0.5f);
    EXPECT_EQ(frame[1].b, 1.0f);
    EXPECT_EQ(frame[0].r, 1.0f);
    EXPECT_EQ(p.alive, 0);
    EXPECT_EQ(p.throughput.r, 0.75f);  // written back even when it ends

    // Supersampling divides by o^2.
    pixelData q = p;
    q.alive = 1;
    q.throughput = grey(1.0f);
    applyBounceResult(q, BounceResult{grey(1.0f), grey(1.0f), next, 1}, frame, 2);
    EXPECT_EQ(frame[1].b, 1.25f);
}

TEST(Contribution, NonFiniteValuesNeverReachTheFrame) {
    const float inf = std::numeric_limits<float>::infinity();
    Color frame[1] = {grey(0.25f)};
    pixelData p;
    p.throughput = grey(1.0f);
    p.pixelIndex = 0;
    p.alive = 1;
    applyBounceResult(p, BounceResult{Color(kNaN, 1.0f, 1.0f), grey(1.0f), Ray(), 1}, frame, 1);
    EXPECT_EQ(frame[0].r, 0.25f);
    EXPECT_EQ(frame[0].g, 0.25f);
    EXPECT_EQ(p.alive, 1);
    // A factor that is not finite ends the path instead of carrying on.
    applyBounceResult(p, BounceResult{grey(0.0f), Color(1.0f, inf, 1.0f), Ray(), 1}, frame, 1);
    EXPECT_EQ(p.alive, 0);
    p.alive = 1;
    p.throughput = grey(1.0f);
    applyBounceResult(p, BounceResult{grey(0.0f), Color(kNaN, 1.0f, 1.0f), Ray(), 1}, frame, 1);
    EXPECT_EQ(p.alive, 0);
}

TEST(Contribution, SharedPixelsAddAtomicallyWhenSupersampling) {
    // 4 x 4 samples per pixel on a 4-pixel image, many launches' worth.
    const int o = 4, pixels = 4, n = o * o * pixels * 64;
    std::vector<pixelData> paths(n);
    for (int i = 0; i < n; ++i) {
        paths[i].throughput = grey(1.0f);
        paths[i].pixelIndex = i % pixels;
        paths[i].alive = 1;
    }
    auto buf = device::uploadArray(paths.data(), paths.size());
    auto frame = upload(std::vector<Color>(pixels, grey(0.0f)));
    pixelData* ps = buf.get();
    Color* f = frame.get();
    device::launchPathArray(
        n, LUMENAR_LAMBDA(int i) {
            pixelData p = ps[i];
            applyBounceResult(p, BounceResult{grey(1.0f), grey(1.0f), p.ray, -1}, f, o);
            ps[i] = p;
        });
    ASSERT_TRUE(device::synchronize());
    for (const Color& c : download(frame, pixels)) {
        EXPECT_EQ(c.r, 64.0f);  // sums of 1/16 are exact
        EXPECT_EQ(c.b, 64.0f);
    }
}

TEST(FrameLoop, LaunchesUntilNoPathIsLeftOrTheCap) {
    // Path i lives through lifetime[i] bounces; each launch sees exactly the
    // living paths, in their original order.
    const int n = 300;
    std::vector<int> lifetime(n);
    for (int i = 0; i < n; ++i) lifetime[i] = static_cast<int>(WangHash(i) % 7) + 1;
    std::vector<pixelData> paths(n);
    for (int i = 0; i < n; ++i) {
        paths[i].pixelIndex = i;
        paths[i].alive = 1;
    }
    auto buf = device::uploadArray(paths.data(), paths.size());
    pixelData* ps = buf.get();
    std::vector<int> counts;
    const int launches = runBounceLaunches(ps, n, [&](int bounce, int count) {
        counts.push_back(count);
        std::vector<pixelData> h(count);
        buf.download(h.data(), count);
        int expectedCount = 0, last = -1;
        for (int i = 0; i < count; ++i) {
            EXPECT_GT(h[i].pixelIndex, last);
            last = h[i].pixelIndex;
            EXPECT_GT(lifetime[h[i].pixelIndex], bounce);
            if (bounce + 1 >= lifetime[h[i].pixelIndex]) h[i].alive = 0;
        }
        for (int t : lifetime) expectedCount += t > bounce;
        EXPECT_EQ(count, expectedCount);
        buf.upload(h.data(), count);
    });
    EXPECT_EQ(launches, 7);
    EXPECT_EQ(counts.front(), n);

    // Every path ends at once: one launch. None ever ends: the cap.
    int calls = 0;
    EXPECT_EQ(runBounceLaunches(ps, n,
                                [&](int, int count) {
                                    ++calls;
                                    std::vector<pixelData> dead(count);
                                    buf.upload(dead.data(), count);
                                }),
              1);
    EXPECT_EQ(calls, 1);
    std::vector<pixelData> live(n);
    for (auto& p : live) p.alive = 1;
    buf.upload(live.data(), n);
    EXPECT_EQ(runBounceLaunches(ps, n, [](int, int) {}), kMaxBounceLaunches);
    EXPECT_EQ(runBounceLaunches(ps, 0, [](int, int) { ADD_FAILURE(); }), 0);
    // A launch that reports a device fault is the frame's last.
    int tries = 0;
    EXPECT_EQ(runBounceLaunches(ps, n, [&](int bounce, int) { return ++tries, bounce < 2; }), 3);
    EXPECT_EQ(tries, 3);
}
