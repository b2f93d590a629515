#include "render/metropolis.h"

#include <climits>
#include <cstdio>

#include "accel/bvh.h"
#include "accel/kdtree.h"
#include "device/launch.h"
#include "device/primitives.h"
#include "render/primary_rays.h"

namespace lumenar {

KdScene kdSceneOf(const KdTree& tree, const BVHTree& bvh) {
    KdScene s;
    if (tree.sceneView) static_cast<SceneView&>(s) = *tree.sceneView;
    s.woop = tree.woopTriangles;
    s.nodes = tree.deviceNodes.get();
    s.triIndices = tree.deviceTriIndices.get();
    s.box = tree.bbox;
    // Without the objects' subtrees a tree over the whole scene is traced as
    // it was built.
    if (tree.staticOnly && s.movableCount > 0) {
        s.bvhNodes = bvh.deviceNodes.get();
        s.bvhTriIndices = bvh.deviceTriIndices.get();
    } else {
        s.movableCount = 0;
    }
    return s;
}

void RayTraceKernelMetroInit(float* luminance, const Camera& cam, int W, int H, const KdScene& scene,
                             uint32_t salt) {
    const Camera c = cam;
    const KdScene s = scene;
    device::launchPixelGrid(
        W, H, LUMENAR_LAMBDA(int x, int y) {
            const int idx = y * W + x;
            XorwowState rng;
            metroGenerator(salt, idx, &rng);
            MetroTraversal tt;
            MLTSample candidate;
            luminance[idx] = metroLuminance(metroRadiance(x, y, &rng, c, W, H, tt, s, candidate));
        });
}

void getCdfSeed(float* seeds, float total, int W, int H, uint32_t salt) {
    device::launchPixelGrid(
        W, H, LUMENAR_LAMBDA(int x, int y) {
            const int idx = y * W + x;
            XorwowState rng;
            // Its own streams: the high word differs from the candidates'.
            metroGenerator(salt ^ 0x80000000u, idx + static_cast<int>(kMetroCdfSeedOffset), &rng);
            seeds[idx] = total * xorwowUniform(&rng);
        });
}

void RetrieveInitSampleHetero(const int* chosen, MLTSample* samples, Color* contributions, const Camera& cam,
                              int W, int H, const KdScene& scene, uint32_t salt) {
    const Camera c = cam;
    const KdScene s = scene;
    device::launchPixelGrid(
        W, H, LUMENAR_LAMBDA(int x, int y) {
            const int idx = y * W + x;
            XorwowState rng;
            const int j = chosen[idx];
            metroGenerator(salt, j, &rng);
            MLTSample m;
            MetroTraversal tt;
            contributions[idx] = metroRadiance(j % W, j / W, &rng, c, W, H, tt, s, m);
            samples[idx] = m;
        });
}

void RayTraceKernelMetro(const MetroFrameParams& params, const MetroChainArrays& chains, Color* accum,
                         const Camera& cam, const KdScene& scene, int rowBegin, int rowEnd) {
    const MetroFrameParams p = params;
    const MetroChainArrays c = chains;
    const Camera cm = cam;
    const KdScene s = scene;
    const int first = rowBegin < 0 ? 0 : rowBegin;
    const int last = rowEnd < 0 || rowEnd > p.height ? p.height : rowEnd;
    device::launchPixelGrid(
        p.width, last - first, LUMENAR_LAMBDA(int x, int row) {
            const int y = first + row;
            MetroTraversal tt;
            metroChainStep(y * p.width + x, p, c, accum, [&](const MLTSample& m) {
                return metroRadiance(cm, m, p.width, p.height, tt, s);
            });
        });
}

void MetroChains::updateNormalisation(uint32_t frame, Color* accum) {
    if (!isLargeStep(frame, kMetroLargeStepPeriod) || !largeStepLuminance) return;
    const int n = width * height;
    luminanceSum += device::reduceSum(largeStepLuminance.get(), n);
    luminanceCount += n;
    const float b = static_cast<float>(luminanceSum / luminanceCount);
    // With a zero normalisation nothing was splatted, so there is nothing to
    // rescale; the next frames splat with the new value.
    if (meanLuminance > 0.0f && b != meanLuminance) {
        const float scale = b / meanLuminance;
        device::launchPathArray(
            n, LUMENAR_LAMBDA(int i) { accum[i] = accum[i] * scale; });
        device::synchronize();
    }
    meanLuminance = b;
}

std::size_t mltSetupBytes(int W, int H) {
    const std::size_t n = W > 0 && H > 0 ? static_cast<std::size_t>(W) * static_cast<std::size_t>(H) : 0;
    // Kept: the state, its contribution, the rejection count and the large
    // step's luminance; for the set-up only: luminance, prefix sums, seeds
    // and the chosen candidates.
    const std::size_t kept = sizeof(MLTSample) + sizeof(Color) + sizeof(int) + sizeof(float);
    const std::size_t temporary = 3 * sizeof(float) + sizeof(int);
    return n * (kept + temporary);
}

namespace {
// The chains stay unset (Metropolis mode off); the path tracer does not
// depend on them.
bool chainsUnavailable(MetroChains& chains, int W, int H, const char* why) {
    chains = MetroChains();
    std::fprintf(stderr,
                 "Metropolis light transport is unavailable: the set-up of its %d x %d chains failed (%s); "
                 "the path tracer runs without it\n",
                 W, H, why);
    return false;
}
}  // namespace

bool mltSetup(const Camera& cam, int W, int H, const KdScene& scene, MetroChains& chains, uint32_t salt,
              float startCap, std::size_t memoryLimit) {
    chains = MetroChains();
    if (W <= 0 || H <= 0 || static_cast<long long>(W) * H > INT_MAX)
        return chainsUnavailable(chains, W, H, "the image size is out of range");
    const std::size_t n = static_cast<std::size_t>(W) * static_cast<std::size_t>(H);
    const std::size_t need = mltSetupBytes(W, H);
    if (memoryLimit > 0 && need > memoryLimit) {
        char why[160];
        std::snprintf(why, sizeof why, "it needs %zu bytes, more than the %zu allowed", need, memoryLimit);
        return chainsUnavailable(chains, W, H, why);
    }
    chains.width = W;
    chains.height = H;
    chains.salt = salt;
    chains.media = scene.media;
    // The temporaries are freed on every way out.
    device::Buffer<float> luminance(n), prefix(n), seeds(n);
    device::Buffer<int> chosen(n);
    chains.samples = device::Buffer<MLTSample>(n);
    chains.contributions = device::Buffer<Color>(n);
    chains.rejectCounters = device::Buffer<int>(n);
    chains.largeStepLuminance = device::Buffer<float>(n);
    if (!luminance || !prefix || !seeds || !chosen || !chains.ready()) {
        char why[160];
        std::snprintf(why, sizeof why, "out of memory for %zu bytes", need);
        return chainsUnavailable(chains, W, H, why);
    }
    if (!device::fillBytes(chains.rejectCounters.get(), 0, chains.rejectCounters.bytes()))
        return chainsUnavailable(chains, W, H, device::lastErrorText());

    RayTraceKernelMetroInit(luminance.get(), cam, W, H, scene, salt);
    if (!device::checkLaunch()) return chainsUnavailable(chains, W, H, device::lastErrorText());
    device::synchronize();

    const int count = static_cast<int>(n);
    const float total = device::reduceSum(luminance.get(), count);
    // With a cap, each candidate is picked in proportion to its luminance
    // capped at startCap times its neighbours' mean (or the image's, where
    // that is larger); the capped weights go to `seeds` until the seeds
    // replace them.
    float pickTotal = total;
    if (startCap > 0.0f && total > 0.0f) {
        const float floorMean = total / static_cast<float>(n);
        const float* lum = luminance.get();
        float* pick = seeds.get();
        device::launchPixelGrid(
            W, H, LUMENAR_LAMBDA(int x, int y) {
                float sum = 0.0f;
                int k = 0;
                for (int dy = -kMetroStartRadius; dy <= kMetroStartRadius; ++dy)
                    for (int dx = -kMetroStartRadius; dx <= kMetroStartRadius; ++dx) {
                        const int nx = x + dx, ny = y + dy;
                        if ((dx == 0 && dy == 0) || nx < 0 || ny < 0 || nx >= W || ny >= H) continue;
                        sum += lum[ny * W + nx];
                        ++k;
                    }
                const float local = k > 0 ? sum / static_cast<float>(k) : floorMean;
                const float cap = startCap * fmaxf(local, floorMean);
                pick[y * W + x] = fminf(lum[y * W + x], cap);
            });
        if (!device::checkLaunch()) return chainsUnavailable(chains, W, H, device::lastErrorText());
        device::synchronize();
        pickTotal = device::reduceSum(seeds.get(), count);
        device::inclusiveScanSum(seeds.get(), prefix.get(), count);
    } else {
        device::inclusiveScanSum(luminance.get(), prefix.get(), count);
    }

    getCdfSeed(seeds.get(), pickTotal, W, H, salt);
    device::lowerBound(prefix.get(), count, seeds.get(), count, chosen.get());
    chains.meanLuminance = total / static_cast<float>(n);
    device::synchronize();

    chains.luminanceSum = total;
    chains.luminanceCount = static_cast<double>(n);
    // The scan and the reduction may round differently: a seed equal to the
    // total can lie past the last prefix sum. Such an index is kept in range.
    int* chosenIdx = chosen.get();
    device::launchPathArray(
        count, LUMENAR_LAMBDA(int i) {
            if (chosenIdx[i] >= count) chosenIdx[i] = count - 1;
        });
    RetrieveInitSampleHetero(chosen.get(), chains.samples.get(), chains.contributions.get(), cam, W, H, scene,
                             salt);
    if (!device::checkLaunch() || !device::synchronize())
        return chainsUnavailable(chains, W, H, device::lastErrorText());
    return true;
}

}  // namespace lumenar
