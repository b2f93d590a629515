// Helpers of the render-farm tests: scenes, in-process renders, records.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/batch_render.h"
#include "app/image_output.h"
#include "app/startup.h"
#include "device/threads.h"
#include "render/sequence.h"

namespace lumenar::test {

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline std::string writeFile(const std::string& name, const std::string& text) {
    // Per process: ctest runs the cases of one suite side by side.
    const std::string path = testing::TempDir() + std::to_string(getpid()) + "_" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

// A fresh, empty folder for one test case of this process, ending in '/'.
inline std::string freshDir(const std::string& name) {
    const std::string d = testing::TempDir() + "lumenar_farm_" + std::to_string(getpid()) + "_" + name + "/";
    std::filesystem::remove_all(d);
    std::filesystem::create_directories(d);
    return d;
}

struct ProgramRun {
    int status = -1;     // exit status; -1 when it ended on a signal
    std::string output;  // standard output and error
};

// Runs `program arguments` through the shell, as a user would.
inline ProgramRun runProgram(const std::string& program, const std::string& arguments) {
    ProgramRun r;
    const std::string command = program + " " + arguments + " 2>&1";
    FILE* p = popen(command.c_str(), "r");
    if (!p) return r;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, p)) r.output += buffer;
    const int raw = pclose(p);
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return r;
}

// The bundled default scene (bunny in a box) at a small resolution.
inline std::string smallDefaultScene(int width, int height) {
    std::string text = readFile(std::string(LUMENAR_SOURCE_DIR) + "/scenes/default/input");
    const std::string from = "resolution 256 256";
    const std::size_t at = text.find(from);
    if (at == std::string::npos) return std::string();
    text.replace(at, from.size(), "resolution " + std::to_string(width) + " " + std::to_string(height));
    return writeFile("lumenar_farm_default_" + std::to_string(width), text);
}

// A wide matte floor, a glossy block and a square lamp over it, under a dim sky:
// a handful of triangles, so start-up takes no time.
inline std::string lampScene(int size) {
    std::ostringstream s;
    s << "lamp over a floor\ncamera\nresolution " << size << " " << size
      << "\neye 0 2 3\nlookat 0 0 0\nup 0 1 0\nnear 2\nbgcolor\n0.1 0.12 0.15\nmaterial\n3\n\n";
    auto mtl = [&](int i, const char* name, float base, float rough, float metal, float emit) {
        s << "mtl " << i << " " << name << "\nbasecolor " << base << " " << base << " " << base
          << "\nspecular 0.04 0.04 0.04\nemission " << emit << " " << emit << " " << emit
          << "\ntransmission 1 1 1\nmetalness " << metal << "\nanisotropic False\nroughness " << rough
          << "\nroughnessY " << rough << "\ntransparency 0\nIOR 1.5\ntex 0\nrsc 0\nabsorption 0 0 0\n";
    };
    mtl(0, "floor", 0.7f, 0.9f, 0.0f, 0.0f);
    mtl(1, "block", 0.8f, 0.3f, 1.0f, 0.0f);
    mtl(2, "lamp", 0.0f, 1.0f, 0.0f, 8.0f);
    s << "mesh\n3\n\n";
    s << "o 0 floor\nv -20 0 -20\nv 20 0 -20\nv 20 0 20\nv -20 0 20\nusemtl 0 floor\ns off\nf 1 3 2\nf 1 4 "
         "3\n";
    // A block: 8 corners, 12 triangles.
    s << "o 1 block\n";
    for (int i = 0; i < 8; ++i)
        s << "v " << ((i & 1) ? 0.5 : -0.3) << " " << ((i & 2) ? 0.6 : 0.0) << " " << ((i & 4) ? 0.4 : -0.4)
          << "\n";
    s << "usemtl 1 block\ns off\n";
    const int faces[12][3] = {{5, 7, 6}, {5, 6, 8}, {1, 2, 4}, {1, 4, 3}, {1, 3, 7}, {1, 7, 5},
                              {2, 6, 8}, {2, 8, 4}, {3, 4, 8}, {3, 8, 7}, {1, 5, 6}, {1, 6, 2}};
    // Vertex numbers run on over the whole file: the floor holds 1-4.
    for (const auto& f : faces) s << "f " << f[0] + 4 << " " << f[1] + 4 << " " << f[2] + 4 << "\n";
    s << "o 2 lamp\nv -0.5 2 -0.5\nv 0.5 2 -0.5\nv 0.5 2 0.5\nv -0.5 2 0.5\nusemtl 2 lamp\ns off\n"
      << "f 13 14 15\nf 13 15 16\n";
    return writeFile("lumenar_farm_lamp_" + std::to_string(size), s.str());
}

struct Render {
    bool ok = false;
    int width = 0, height = 0;
    BatchResult result;
};

// Renders as lumenar-render does with these options (Metropolis chains
// salted for the range).
inline Render renderWith(const std::string& scene, const BatchOptions& options) {
    device::ThreadLimit limit(2);
    Settings settings;
    if (options.mlt) settings.metroSalt = metroRunSalt(options.firstFrame, options.seed);
    Application app(settings);
    Render r;
    testing::internal::CaptureStdout();
    const bool started = app.start(scene);
    if (started) {
        r.result = renderBatch(app, options);
        r.width = app.imageWidth();
        r.height = app.imageHeight();
    }
    app.shutdown();
    testing::internal::GetCapturedStdout();
    r.ok = started && r.result.ok;
    return r;
}

// Renders `frames` frames starting after frame `first` of sequence `seed`.
inline Render render(const std::string& scene, int frames, uint32_t first = 0, uint32_t seed = 0,
                     bool mlt = false) {
    BatchOptions options;
    options.frames = frames;
    options.firstFrame = first;
    options.seed = seed;
    options.mlt = mlt;
    return renderWith(scene, options);
}

inline RenderRecord record(int frames, uint32_t first = 0, uint32_t seed = 0,
                           const std::string& mode = "pt") {
    RenderRecord r;
    r.frames = frames;
    r.firstFrame = first;
    r.seed = seed;
    r.mode = mode;
    r.superSampling = 1;
    r.sceneHash = "0123456789abcdef";
    r.options = "mode=" + mode + " ss=1 kd-mode=1 fog=0 subsurface=0";
    r.optionsHash = fingerprintOf(r.options);
    r.version = "test";
    r.ranges = {{seed, first, static_cast<uint32_t>(frames)}};
    return r;
}

// Largest relative difference of two images of the same size.
inline double largestRelativeDifference(const std::vector<Color>& a, const std::vector<Color>& b,
                                        std::size_t* differingPixels = nullptr) {
    double worst = 0.0;
    std::size_t differing = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const float pa[3] = {a[i].r, a[i].g, a[i].b}, pb[3] = {b[i].r, b[i].g, b[i].b};
        bool same = true;
        for (int c = 0; c < 3; ++c) {
            same = same && pa[c] == pb[c];
            const double scale = std::fmax(std::fabs(pa[c]), std::fabs(pb[c]));
            const double d = scale > 0.0 ? std::fabs(static_cast<double>(pa[c]) - pb[c]) / scale : 0.0;
            worst = d > worst || d != d ? d : worst;
        }
        differing += same ? 0 : 1;
    }
    if (differingPixels) *differingPixels = differing;
    return worst;
}

}  // namespace lumenar::test
