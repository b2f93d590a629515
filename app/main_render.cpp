// lumenar-render: the headless renderer. Runs the same start-up as the window
// program, renders a number of frames (or for a time) and writes the images.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "app/batch_output.h"
#include "app/batch_render.h"
#include "app/image_output.h"
#include "app/startup.h"
#include "device/threads.h"
#include "render/metropolis.h"
#include "render/sequence.h"

namespace fs = std::filesystem;

namespace {

// Resolves the scene argument: a folder means its "input" file. The run then
// works inside the scene's folder, so paths in the scene file resolve as
// they do for the window program.
bool enterSceneFolder(const std::string& arg, std::string& sceneFile) {
    std::error_code ec;
    fs::path p(arg);
    fs::path dir;
    if (fs::is_directory(p, ec)) {
        dir = p;
        sceneFile = "input";
    } else {
        dir = p.parent_path();
        sceneFile = p.filename().string();
    }
    if (!dir.empty()) {
        fs::current_path(dir, ec);
        if (ec) {
            std::fprintf(stderr, "%s: cannot enter the scene folder: %s\n", dir.string().c_str(),
                         ec.message().c_str());
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    lumenar::Settings settings;
    lumenar::BatchOptions batch;
    std::string scene = "input";
    std::string out = "render.png";
    std::string hdr;
    int threads = 0;

    CLI::App cli{"Lumenar headless renderer: loads a scene, path-traces it and writes the image."};
    cli.add_option("scene", scene,
                   "Scene file, or a folder holding a scene file named \"input\" (default: input in the "
                   "working directory), or a model file (.glb, .gltf, .obj, .ply, .fbx, .dae ...)");
    cli.add_option("--width", settings.importWidth,
                   "Model files: image width (default 1280, or from the height and the camera's aspect)")
        ->check(CLI::Range(1, 16384));
    cli.add_option("--height", settings.importHeight,
                   "Model files: image height (default from the width and the camera's aspect, else 720)")
        ->check(CLI::Range(1, 16384));
    cli.add_option("--movable", settings.movableName,
                   "Model files: the node (or mesh) that becomes the movable object");
    auto* framesOpt = cli.add_option("-f,--frames", batch.frames, "Frames (samples per pixel) to render")
                          ->check(CLI::PositiveNumber)
                          ->capture_default_str();
    auto* secondsOpt =
        cli.add_option("-s,--seconds", batch.seconds,
                       "Render for this many seconds instead of a frame count (with --frames: whichever "
                       "comes first)")
            ->check(CLI::PositiveNumber);
    auto* thresholdOpt =
        cli.add_option("--noise-threshold", batch.noiseThreshold,
                       "Stop once every pixel's estimated relative error is below this (say 0.02), or at "
                       "--frames or --seconds if given, whichever comes first")
            ->check(CLI::Range(1e-6, 1e6));
    cli.add_flag("--adaptive", batch.adaptive,
                 "Adaptive sampling: pixels whose estimated error is below the noise threshold (without "
                 "one: low against the rest of the image) take fewer or no more samples");
    cli.add_option("-o,--out", out, "PNG image to write (the displayed, tone-mapped image)")
        ->capture_default_str();
    auto* hdrOpt = cli.add_option("--hdr", hdr,
                                  "OpenEXR image of the linear running average to write as well (32-bit "
                                  "floats; its header says which frames it holds, for lumenar-merge)");
    cli.add_option("--kd-mode", settings.kdBuildMode,
                   "kd-tree build: non-zero clips straddling triangles, 0 duplicates them")
        ->capture_default_str();
    cli.add_option("--ss", settings.superSampleFactor,
                   "Supersampling: primary samples per pixel along each axis")
        ->check(CLI::Range(1, 8))
        ->capture_default_str();
    cli.add_option("-t,--threads", threads, "Worker threads of the CPU backend (0: all cores)")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
    cli.add_flag("--fog", batch.fog,
                 "Fog: the scene's medium attenuates light, and adds light scattered in from the emitters "
                 "when the scene says \"inscatter yes\" (or the medium emits)");
    cli.add_flag("--subsurface", batch.subsurface,
                 "Subsurface scattering in material 0 (marked with transparency -1 while rendering); "
                 "its rsc and absorption drive the walk. Not to be confused with --ss");
    std::string mode = "pt";
    cli.add_option("--mode", mode,
                   "Light transport: pt (interactive path tracer) or mlt (Metropolis light transport)")
        ->check(CLI::IsMember({"pt", "mlt"}))
        ->capture_default_str();
    bool cappedStart = false, uncappedStart = false;
    auto* cappedOpt =
        cli.add_flag("--mlt-capped-start", cappedStart,
                     "Metropolis (the default): no chain starts on a candidate brighter than " +
                         std::to_string(static_cast<int>(lumenar::kMetroStartCap)) +
                         " times its neighbours' mean, so one bright path found at start-up does not take "
                         "thousands of chains (lower error in the first hundreds of frames)");
    cli.add_flag("--mlt-uncapped-start", uncappedStart,
                 "Metropolis: chains start on candidates in proportion to their full luminance")
        ->excludes(cappedOpt);
    cli.add_flag("--mlt-combined", batch.mltCombined,
                 "Metropolis: weigh the chains' splats and their large steps' proposals together (balance "
                 "heuristic), which keeps dark regions from depending on rare chain visits");
    cli.add_option("--mlt-forced-acceptance", batch.mltForcedAcceptance,
                   "Metropolis: in the first " + std::to_string(lumenar::kMetroForcedWarmUp) +
                       " frames, a chain rejected this many times in a row accepts its next proposal (0: "
                       "never); it moves chains off bright paths found at start-up while the first frames "
                       "converge, and stops so that the image converges to the path tracer's")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
    cli.add_flag("--stats", batch.stats,
                 "Print the start-up's phases (waiting for the kd-tree and the Metropolis chains, which are "
                 "made while the path tracer runs), the peak resident memory, throughput and the share of "
                 "frame time spent in ray queries");
    // Sample ranges: runs over disjoint frame ranges merge into one image.
    int firstFrame = 0, sequenceSeed = 0;
    bool hdrHalf = false;
    cli.add_option("--first-frame", firstFrame,
                   "Frames already rendered elsewhere: render frames K+1 ... K+N of the sample sequence "
                   "(N = --frames) with the seeds a single run of all frames uses")
        ->check(CLI::Range(0, 2147483647))
        ->capture_default_str();
    cli.add_option("--seed", sequenceSeed,
                   "Sample sequence: 0 is the plain one; any other value renders an independent image")
        ->check(CLI::Range(0, 2147483647))
        ->capture_default_str();
    cli.add_flag("--hdr-half", hdrHalf,
                 "Write the --hdr image with half floats (smaller, too coarse to merge)")
        ->needs(hdrOpt);
    cli.add_flag("--denoise", batch.denoise,
                 "Write the PNG through the edge-aware preview denoiser (--hdr stays the raw average)");
    cli.footer(
        "Exit status: 0 when every image was written; 1 when the run stopped before rendering (an output "
        "name that cannot be written, a scene, texture or environment image that cannot be read) or the "
        "render failed; " +
        std::to_string(lumenar::kPngNotWritten) + " when the PNG, " +
        std::to_string(lumenar::kHdrNotWritten) + " when the --hdr image, " +
        std::to_string(lumenar::kPngNotWritten + lumenar::kHdrNotWritten) +
        " when neither could be written after the render.");
    CLI11_PARSE(cli, argc, argv);

    std::error_code ec;
    const std::string outPath = fs::absolute(out, ec).string();
    const std::string hdrPath = hdr.empty() ? std::string() : fs::absolute(hdr, ec).string();
    // Fail before the scene loads rather than after a long render.
    if (!lumenar::checkImageDestination(outPath, false)) return 1;
    if (!hdrPath.empty() && !lumenar::checkImageDestination(hdrPath, true)) return 1;
    if (outPath == hdrPath) {
        std::fprintf(stderr, "%s: --out and --hdr name the same file\n", outPath.c_str());
        return 1;
    }
    std::string sceneFile;
    if (!enterSceneFolder(scene, sceneFile)) return 1;

    batch.mlt = mode == "mlt";
    if (batch.adaptive && batch.mlt) {
        std::fprintf(stderr, "--adaptive needs --mode pt: Metropolis chains splat wherever they go\n");
        return 1;
    }
    // With a time or a noise target, --frames is a limit beside them.
    if (*secondsOpt || *thresholdOpt) batch.frameLimit = *framesOpt ? batch.frames : 0;
    if (static_cast<long long>(firstFrame) + (batch.frameLimit > 0                 ? batch.frameLimit
                                              : batch.seconds > 0 || *thresholdOpt ? 0
                                                                                   : batch.frames) >
        2147483647LL) {
        std::fprintf(stderr, "--first-frame %d with --frames %d runs past frame 2147483647\n", firstFrame,
                     batch.frames);
        return 1;
    }
    batch.firstFrame = static_cast<uint32_t>(firstFrame);
    batch.seed = static_cast<uint32_t>(sequenceSeed);
    if (batch.mlt) settings.metroSalt = lumenar::metroRunSalt(batch.firstFrame, batch.seed);
    settings.mltStartCap = uncappedStart ? 0.0f : lumenar::kMetroStartCap;
    lumenar::device::ThreadLimit limit(threads);
    lumenar::Application app(settings);
    if (!app.start(sceneFile)) return 1;

    // The record of the high-dynamic-range image: fingerprints are taken
    // before the render so a scene edited meanwhile is not misattributed.
    lumenar::RenderRecord record;
    if (!hdrPath.empty()) {
        // The batch renderer turns no environment.
        if (!lumenar::sceneFingerprint(app, sceneFile, 0.0f, record.sceneHash)) {
            app.shutdown();
            return 1;
        }
        record.mode = mode;
        record.superSampling = settings.superSampleFactor;
        record.firstFrame = batch.firstFrame;
        record.seed = batch.seed;
        record.options = "mode=" + mode + " ss=" + std::to_string(settings.superSampleFactor) +
                         " kd-mode=" + (settings.kdBuildMode != 0 ? "1" : "0") +
                         " fog=" + (batch.fog ? "1" : "0") + " subsurface=" + (batch.subsurface ? "1" : "0") +
                         (batch.mlt && batch.mltCombined ? " mlt-combined=1" : "") +
                         (batch.mlt && settings.mltStartCap > 0.0f ? " mlt-capped-start=1" : "") +
                         (batch.mlt && batch.mltForcedAcceptance != lumenar::kMetroForcedAcceptance
                              ? " mlt-forced-acceptance=" + std::to_string(batch.mltForcedAcceptance)
                              : "") +
                         (batch.mlt && batch.mltForcedAcceptance > 0
                              ? " mlt-forced-warm-up=" + std::to_string(lumenar::kMetroForcedWarmUp)
                              : "");
        record.optionsHash = lumenar::fingerprintOf(record.options);
        record.version = LUMENAR_VERSION;
    }

    batch.progress = isatty(STDERR_FILENO) != 0;
    const lumenar::BatchResult r = lumenar::renderBatch(app, batch);
    int outputStatus = r.ok ? 0 : 1;
    if (r.ok) {
        const int W = app.imageWidth(), H = app.imageHeight();
        // Adaptive sampling takes fewer samples than frames x pixels.
        const double samples = batch.adaptive ? static_cast<double>(r.samples)
                                              : static_cast<double>(r.frames) * settings.superSampleFactor *
                                                    settings.superSampleFactor * W * H;
        std::printf("Rendered %d frames of %d x %d in %.2f s: %.2f frames/s, %.3f Msamples/s\n", r.frames, W,
                    H, r.seconds, r.frames / r.seconds, samples / r.seconds * 1e-6);
        if (batch.stats) {
            // The kd-tree and the chains are made on their own thread: their
            // times are known once it is done.
            const bool metro = app.waitForMetro();
            const lumenar::Application::Phases& p = app.phases();
            std::printf(
                "Start-up: loading %.3f s, BVH %.3f s, the path tracer's records and buffers %.3f s: "
                "tracing from %.3f s, first frame done at %.3f s\n",
                p.load, p.bvh, p.records, p.start, p.start + r.firstFrameSeconds);
            std::printf("On the worker: kd-tree %.3f s, Metropolis chains %.3f s: %s at %.3f s\n", p.kdTree,
                        p.chains, metro ? "ready" : "unavailable", p.metroReady);
            std::printf("Peak resident memory: %.1f MB\n", lumenar::peakResidentBytes() / 1e6);
        }
        if (batch.stats && batch.mlt) {
            std::printf(
                "kd-tree queries: %.3f Mqueries/s (%.3f closest-hit, %.3f shadow per chain step); "
                "%.1f %% of the frame time (%d worker threads)\n",
                (r.closestHits + r.shadowRays) / r.seconds * 1e-6, r.closestHits / samples,
                r.shadowRays / samples, 100.0 * r.queryShare, lumenar::device::hostThreads());
            std::printf("Frame time: chain steps %.1f %%, display %.1f %%\n",
                        r.phases.bounces * 100.0 / r.seconds, r.phases.accumulate * 100.0 / r.seconds);
        } else if (batch.stats) {
            std::printf(
                "Path segments per sample: %.3f; rays per sample: %.3f (%.3f closest-hit, %.3f shadow)\n",
                r.pathSegments / samples, (r.closestHits + r.shadowRays) / samples, r.closestHits / samples,
                r.shadowRays / samples);
            std::printf("Ray queries: %.3f Mrays/s; %.1f %% of the frame time (%d worker threads)\n",
                        (r.closestHits + r.shadowRays) / r.seconds * 1e-6, 100.0 * r.queryShare,
                        lumenar::device::hostThreads());
            const lumenar::FramePhaseTimes& t = r.phases;
            const double pct = 100.0 / r.seconds;
            std::printf(
                "Frame time: bounce launches %.1f %%, camera rays %.1f %%, compaction %.1f %%, "
                "accumulation %.1f %%; %.2f bounce launches per frame\n",
                t.bounces * pct, t.primary * pct, t.compaction * pct, t.accumulate * pct,
                static_cast<double>(r.bounceLaunches) / r.frames);
            if (batch.fog || batch.subsurface)
                std::printf(
                    "Fog: %.3f march samples per sample, %.1f %% of the frame time (its shadow rays "
                    "included); subsurface: %.3f scattering steps per sample\n",
                    r.marchSamples / samples, 100.0 * r.marchShare, r.walkSteps / samples);
        }
        if (*thresholdOpt || batch.adaptive)
            std::printf("Noise: relative error %.5f (worst pixel %.5f)%s; %.2f samples per pixel\n",
                        std::sqrt(r.noise.relativeMse), r.noise.worst,
                        !*thresholdOpt         ? ""
                        : r.noiseTargetReached ? ", every pixel below the threshold"
                                               : ", the threshold was not reached",
                        samples / (static_cast<double>(W) * H));
        if (batch.stats) {
            double sum[3] = {0.0, 0.0, 0.0};
            for (const lumenar::Color& c : r.average) {
                sum[0] += c.r;
                sum[1] += c.g;
                sum[2] += c.b;
            }
            const double n = static_cast<double>(r.average.size());
            std::printf("Mean linear radiance: %.5f %.5f %.5f\n", sum[0] / n, sum[1] / n, sum[2] / n);
        }
        record.frames = r.frames;
        record.ranges = {{batch.seed, batch.firstFrame, static_cast<uint32_t>(r.frames)}};
        if (r.noise.known) {
            record.noiseError = std::sqrt(r.noise.relativeMse);
            record.noiseWorst = r.noise.worst;
        }
        if (*thresholdOpt) {
            record.noiseThreshold = batch.noiseThreshold;
            record.noiseReached = r.noiseTargetReached;
            // The frames up to the limit were this run's to take.
            if (r.noiseTargetReached && batch.frameLimit > r.frames)
                record.reserved = {{batch.seed, batch.firstFrame, static_cast<uint32_t>(batch.frameLimit)}};
        }
        outputStatus =
            lumenar::writeBatchImages(outPath, hdrPath, W, H, r, record,
                                      hdrHalf ? lumenar::ExrPixels::Half : lumenar::ExrPixels::Float);
    }
    const int status = app.shutdown();
    return outputStatus != 0 ? outputStatus : status;
}
