// lumenar-denoise-bench: how close the preview denoiser brings a short render
// to the converged image, and whether light crosses silhouettes.
//
//   lumenar-denoise-bench [--threads N] [--frames 16] [--reference-frames 4096]
//                         [--reference FILE] [--sigma-colour S] [--passes N]
//                         scene-folder
//
// Renders the scene's raw average of --frames frames, runs the denoiser over
// it, and compares both with a reference of --reference-frames frames rendered
// from another seed (so its noise is independent). The reference is cached in
// FILE (default denoise-reference-<scene>-<frames>.exr in the working
// directory) and read back on later runs.
//
// Error: mean over pixels and channels of (image - reference)^2 /
// (reference^2 + 0.01). Silhouettes are found from the denoiser's own
// first-hit depths: a pixel lies on the near side of one when a pixel within
// two of it sees something more than 20 % farther (or nothing), on the far
// side when one sees something more than 20 % nearer. Light leaking across a
// silhouette shows as a mean on one side that the reference does not have.
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/batch_render.h"
#include "app/startup.h"
#include "device/memory.h"
#include "device/threads.h"
#include "render/denoise.h"
#include "scene/hdr_image.h"

using namespace lumenar;

namespace {

bool fileExists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

// The renderer's average has row 0 at the bottom; EXR files the top row first.
FloatImage toImage(const std::vector<Color>& average, int W, int H) {
    FloatImage img;
    img.width = W;
    img.height = H;
    img.rgb.resize(static_cast<std::size_t>(W) * H * 3);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            const Color& c = average[static_cast<std::size_t>(H - 1 - y) * W + x];
            float* o = &img.rgb[(static_cast<std::size_t>(y) * W + x) * 3];
            o[0] = c.r;
            o[1] = c.g;
            o[2] = c.b;
        }
    return img;
}

std::vector<Color> fromImage(const FloatImage& img) {
    const int W = img.width, H = img.height;
    std::vector<Color> out(static_cast<std::size_t>(W) * H);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            const float* p = &img.rgb[(static_cast<std::size_t>(y) * W + x) * 3];
            out[static_cast<std::size_t>(H - 1 - y) * W + x] = Color(p[0], p[1], p[2]);
        }
    return out;
}

double relativeError(const Color& a, const Color& r) {
    auto e = [](float x, float ref) {
        const double d = static_cast<double>(x) - ref;
        return d * d / (static_cast<double>(ref) * ref + 0.01);
    };
    return (e(a.r, r.r) + e(a.g, r.g) + e(a.b, r.b)) / 3.0;
}

double luminance(const Color& c) {
    return 0.2126 * c.r + 0.7152 * c.g + 0.0722 * c.b;
}

struct Stats {
    double error = 0.0;
    double mean = 0.0;
    long long pixels = 0;
};

Stats measure(const std::vector<Color>& img, const std::vector<Color>& ref, const std::vector<char>& mask) {
    Stats s;
    for (std::size_t i = 0; i < img.size(); ++i) {
        if (!mask[i]) continue;
        s.error += relativeError(img[i], ref[i]);
        s.mean += luminance(img[i]);
        ++s.pixels;
    }
    if (s.pixels > 0) {
        s.error /= static_cast<double>(s.pixels);
        s.mean /= static_cast<double>(s.pixels);
    }
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    int threads = 0, frames = 16, refFrames = 4096;
    DenoiseParams params;
    std::string folder, refPath;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--threads" && i + 1 < argc)
            threads = std::atoi(argv[++i]);
        else if (a == "--frames" && i + 1 < argc)
            frames = std::atoi(argv[++i]);
        else if (a == "--reference-frames" && i + 1 < argc)
            refFrames = std::atoi(argv[++i]);
        else if (a == "--sigma-colour" && i + 1 < argc)
            params.sigmaColour = static_cast<float>(std::atof(argv[++i]));
        else if (a == "--sigma-variance" && i + 1 < argc)
            params.sigmaVariance = static_cast<float>(std::atof(argv[++i]));
        else if (a == "--passes" && i + 1 < argc)
            params.passes = std::atoi(argv[++i]);
        else if (a == "--reference" && i + 1 < argc)
            refPath = argv[++i];
        else if (a == "--help" || a == "-h") {
            std::printf(
                "lumenar-denoise-bench [--threads N] [--frames N] [--reference-frames N] [--reference FILE] "
                "[--sigma-colour S] [--sigma-variance S] [--passes N] scene-folder\n");
            return 0;
        } else if (folder.empty() && a[0] != '-')
            folder = a;
        else {
            std::fprintf(stderr, "lumenar-denoise-bench: unexpected argument '%s'\n", a.c_str());
            return 2;
        }
    }
    if (folder.empty() || frames < 1 || refFrames < 1) {
        std::fprintf(stderr, "lumenar-denoise-bench: name a scene folder (and positive frame counts)\n");
        return 2;
    }
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    const std::string name = folder.substr(folder.find_last_of('/') + 1);
    if (refPath.empty()) refPath = "denoise-reference-" + name + "-" + std::to_string(refFrames) + ".exr";

    device::ThreadLimit limit(threads);
    Settings settings;
    Application app(settings);
    if (!app.start(folder + "/input")) {
        std::fprintf(stderr, "%s/input: cannot start the scene\n", folder.c_str());
        return 1;
    }
    const int W = app.imageWidth(), H = app.imageHeight();
    const std::size_t n = static_cast<std::size_t>(W) * H;

    std::vector<Color> ref;
    FloatImage cached;
    if (fileExists(refPath) && loadLinearImage(refPath, cached) && cached.width == W && cached.height == H) {
        ref = fromImage(cached);
        std::printf("reference: %s (read back)\n", refPath.c_str());
    } else {
        BatchOptions ro;
        ro.frames = refFrames;
        ro.seed = 0x5eed;  // independent of the short render's sequence 0
        ro.progress = true;
        const BatchResult r = renderBatch(app, ro);
        if (!r.ok) {
            std::fprintf(stderr, "the reference render failed\n");
            return 1;
        }
        ref = r.average;
        if (!writeLinearImage(refPath, toImage(ref, W, H))) return 1;
        std::printf("reference: %s (%d frames, %.0f s)\n", refPath.c_str(), r.frames, r.seconds);
    }

    BatchOptions so;
    so.frames = frames;
    const BatchResult raw = renderBatch(app, so);
    if (!raw.ok) {
        std::fprintf(stderr, "the short render failed\n");
        return 1;
    }

    Denoiser denoiser;
    denoiser.params = params;
    device::Buffer<Color> image(n);
    if (!denoiser.allocate(W, H) || !image) {
        std::fprintf(stderr, "out of memory for the denoiser\n");
        return 1;
    }
    denoiser.computeGuides(app.scene().camera, frameResources(app).scene);
    if (!device::checkLaunch() || !device::synchronize() ||
        !device::copyToDevice(image.get(), raw.average.data(), n * sizeof(Color))) {
        std::fprintf(stderr, "the guide rays failed: %s\n", device::lastErrorText());
        return 1;
    }
    denoiser.filterLinear(image.get());
    std::vector<Color> filtered(n), guided(n);
    std::vector<DenoiseGuide> guides(n);
    if (!device::checkLaunch() || !device::synchronize() ||
        !device::copyToHost(filtered.data(), image.get(), n * sizeof(Color)) ||
        !device::copyToHost(guides.data(), denoiser.guides(), n * sizeof(DenoiseGuide))) {
        std::fprintf(stderr, "the denoiser failed: %s\n", device::lastErrorText());
        return 1;
    }
    // The same with the colour weight read from the renderer's noise estimate.
    device::Buffer<Color> variance = device::uploadArray(raw.estimate.variance.data(), n);
    if (!variance || !device::copyToDevice(image.get(), raw.average.data(), n * sizeof(Color))) return 1;
    denoiser.filterLinear(image.get(), variance.get());
    if (!device::checkLaunch() || !device::synchronize() ||
        !device::copyToHost(guided.data(), image.get(), n * sizeof(Color))) {
        std::fprintf(stderr, "the denoiser failed: %s\n", device::lastErrorText());
        return 1;
    }

    // Silhouette bands from the first-hit depths (0: nothing hit).
    std::vector<char> all(n, 1), nearSide(n, 0), farSide(n, 0);
    auto depth = [&](int x, int y) {
        const float d = guides[static_cast<std::size_t>(y) * W + x].depth;
        return d > 0.0f ? d : INFINITY;
    };
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            const float d = depth(x, y);
            for (int dy = -2; dy <= 2; ++dy)
                for (int dx = -2; dx <= 2; ++dx) {
                    const int qx = x + dx, qy = y + dy;
                    if (qx < 0 || qy < 0 || qx >= W || qy >= H) continue;
                    const float e = depth(qx, qy);
                    if (std::isfinite(d) && e > 1.2f * d) nearSide[static_cast<std::size_t>(y) * W + x] = 1;
                    if (std::isfinite(e) && d > 1.2f * e) farSide[static_cast<std::size_t>(y) * W + x] = 1;
                }
        }

    std::printf("%s, %dx%d, %d threads: %d raw frames against %d reference frames\n", name.c_str(), W, H,
                device::hostThreads(), frames, refFrames);
    std::printf("%-22s %12s %12s %12s %12s %12s %12s\n", "region", "pixels", "err raw", "err denoised",
                "ratio", "err guided", "ratio");
    struct Region {
        const char* label;
        const std::vector<char>* mask;
    } regions[] = {{"whole image", &all}, {"near side of edges", &nearSide}, {"far side of edges", &farSide}};
    for (const Region& r : regions) {
        const Stats a = measure(raw.average, ref, *r.mask), b = measure(filtered, ref, *r.mask),
                    c = measure(guided, ref, *r.mask);
        std::printf("%-22s %12lld %12.5f %12.5f %12.3f %12.5f %12.3f\n", r.label, a.pixels, a.error, b.error,
                    a.error > 0 ? b.error / a.error : 0.0, c.error, a.error > 0 ? c.error / a.error : 0.0);
    }
    std::printf("\n%-22s %12s %12s %12s %12s %12s %12s\n", "mean luminance", "reference", "raw", "denoised",
                "denoised/ref", "guided", "guided/ref");
    for (const Region& r : regions) {
        const Stats s = measure(ref, ref, *r.mask), a = measure(raw.average, ref, *r.mask),
                    b = measure(filtered, ref, *r.mask), c = measure(guided, ref, *r.mask);
        std::printf("%-22s %12.5f %12.5f %12.5f %12.4f %12.5f %12.4f\n", r.label, s.mean, a.mean, b.mean,
                    s.mean > 0 ? b.mean / s.mean : 0.0, c.mean, s.mean > 0 ? c.mean / s.mean : 0.0);
    }
    app.shutdown();
    return 0;
}
