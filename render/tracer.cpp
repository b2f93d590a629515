#include "render/tracer.h"

#include "device/launch.h"
#include "render/accumulation.h"

#if !defined(__CUDACC__) && (defined(__x86_64__) || defined(__i386__))
#include <x86intrin.h>
#endif

#include <atomic>
#include <chrono>
#include <mutex>
#include <vector>

namespace lumenar {

namespace querystats {
namespace {
std::atomic<bool> gEnabled{false};

struct alignas(64) ThreadTotals {
    Totals t;
};

std::mutex gRegistryMutex;
std::vector<ThreadTotals*>& registry() {
    static std::vector<ThreadTotals*> r;
    return r;
}

ThreadTotals& local() {
    thread_local ThreadTotals* mine = [] {
        auto* t = new ThreadTotals();  // lives as long as the process: totals outlive worker threads
        std::lock_guard<std::mutex> lock(gRegistryMutex);
        registry().push_back(t);
        return t;
    }();
    return *mine;
}
}  // namespace

bool enabled() {
    return gEnabled.load(std::memory_order_relaxed);
}
void setEnabled(bool on) {
    gEnabled.store(on, std::memory_order_relaxed);
}

void add(bool closest, unsigned long long cycles) {
    Totals& t = local().t;
    if (closest)
        ++t.closestHits;
    else
        ++t.shadowRays;
    t.cycles += cycles;
}

void addMarch(unsigned long long cycles, int samples) {
    Totals& t = local().t;
    t.marchCycles += cycles;
    t.marchSamples += static_cast<unsigned long long>(samples);
}

void addWalkStep() {
    ++local().t.walkSteps;
}

unsigned long long now() {
#if !defined(__CUDACC__) && (defined(__x86_64__) || defined(__i386__))
    return __rdtsc();
#else
    return static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count());
#endif
}

Totals totals() {
    std::lock_guard<std::mutex> lock(gRegistryMutex);
    Totals sum;
    for (const ThreadTotals* t : registry()) {
        sum.closestHits += t->t.closestHits;
        sum.shadowRays += t->t.shadowRays;
        sum.cycles += t->t.cycles;
        sum.marchCycles += t->t.marchCycles;
        sum.marchSamples += t->t.marchSamples;
        sum.walkSteps += t->t.walkSteps;
    }
    return sum;
}

void reset() {
    std::lock_guard<std::mutex> lock(gRegistryMutex);
    for (ThreadTotals* t : registry()) t->t = Totals();
}
}  // namespace querystats

void RayTraceKernelGLFinalHackMov(int seed, int bounce, const DynamicScene& scene, const MediaFlags& media,
                                  Color* frame, pixelData* paths, int count, int superSampleFactor,
                                  const SampleStream& stream) {
    const DynamicScene s = scene;
    const SampleStream st = stream;
    const MediaFlags m = media;
    device::launchPathArray(
        count, LUMENAR_LAMBDA(int i) {
            Raytrace rt(m);
            bouncePathItem(
                i, seed, bounce, paths, frame, superSampleFactor,
                [&](const Ray& ray, int b, const Color& t, PathSampleDraws& d) {
                    return rt.TraceRay(ray, b, d, s, t);
                },
                st);
        });
}

}  // namespace lumenar
