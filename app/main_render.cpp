// lumenar-render: the headless renderer. Runs the same start-up as the window
// program and writes an image.
#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "app/image_output.h"
#include "app/startup.h"
#include "device/threads.h"
#include "render/primary_rays.h"

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

// One frame's primary rays as an image: each pixel shows the mean unit
// direction of its samples, mapped from [-1, 1] to [0, 255].
std::vector<uint8_t> rayDirectionImage(lumenar::Application& app) {
    using namespace lumenar;
    const int o = app.settings().superSampleFactor;
    const int W = app.imageWidth(), H = app.imageHeight();
    const std::size_t samples = static_cast<std::size_t>(o) * o * W * H;
    device::Buffer<Color> frame(static_cast<std::size_t>(W) * H);
    RayTraceKernelGLOnlyDiffusePDInitSuper(app.sobolStates(), static_cast<int>(WangHash(1)),
                                           app.scene().camera, o * W, o * H, frame.get(), app.pathStates(),
                                           o);
    device::checkLaunch();
    device::synchronize();

    std::vector<pixelData> paths(samples);
    device::copyToHost(paths.data(), app.pathStates(), samples * sizeof(pixelData));
    std::vector<Vector3d> sum(static_cast<std::size_t>(W) * H);
    for (const pixelData& p : paths) sum[p.pixelIndex] += normalize(p.ray.direction);
    std::vector<uint8_t> rgb(sum.size() * 3);
    for (std::size_t i = 0; i < sum.size(); ++i) {
        const Vector3d d = normalize(sum[i]);
        for (int c = 0; c < 3; ++c) {
            const float v = std::fmin(std::fmax(d[c] * 0.5f + 0.5f, 0.0f), 1.0f);
            rgb[i * 3 + c] = static_cast<uint8_t>(std::lround(v * 255.0f));
        }
    }
    return rgb;
}

}  // namespace

int main(int argc, char** argv) {
    lumenar::Settings settings;
    std::string scene = "input";
    std::string out = "render.png";
    int threads = 0;

    CLI::App cli{"Lumenar headless renderer: loads a scene and writes an image."};
    cli.add_option("scene", scene,
                   "Scene file, or a folder holding a scene file named \"input\" (default: input in the "
                   "working directory)");
    cli.add_option("-o,--out", out, "PNG image to write")->capture_default_str();
    cli.add_option("--kd-mode", settings.kdBuildMode,
                   "kd-tree build: non-zero clips straddling triangles, 0 duplicates them")
        ->capture_default_str();
    cli.add_option("--ss", settings.superSampleFactor, "Primary samples per pixel along each axis")
        ->check(CLI::Range(1, 8))
        ->capture_default_str();
    cli.add_option("-t,--threads", threads, "Worker threads of the CPU backend (0: all cores)")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
    CLI11_PARSE(cli, argc, argv);

    std::error_code ec;
    const std::string outPath = fs::absolute(out, ec).string();
    std::string sceneFile;
    if (!enterSceneFolder(scene, sceneFile)) return 1;

    lumenar::device::ThreadLimit limit(threads);
    lumenar::Application app(settings);
    if (!app.start(sceneFile)) return 1;

    const std::vector<uint8_t> rgb = rayDirectionImage(app);
    const bool written = lumenar::writePngBottomUp(outPath, app.imageWidth(), app.imageHeight(), rgb);
    if (written) std::printf("Wrote %s (%d x %d)\n", outPath.c_str(), app.imageWidth(), app.imageHeight());
    const int status = app.shutdown();
    return written ? status : 1;
}
