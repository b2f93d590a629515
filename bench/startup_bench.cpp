// lumenar-startup-bench: how long a scene takes from start to its first
// frame written, phase by phase, and the peak memory of the run.
//
//   lumenar-startup-bench [--render PATH] [--threads N] [--stats] [--runs K] SCENE...
//
// Runs `PATH SCENE --frames 1 --out FILE` (PATH defaults to the
// lumenar-render beside this program) once per scene and run, on a
// pseudo-terminal so that every progress line arrives as it is printed,
// and reports when each line came, the run's end, its peak resident memory
// and CPU time. With --stats the renderer also prints its own phases (the
// kd-tree and the Metropolis chains, made on a worker thread, included),
// which are passed on. Works with renderers of any version: only the
// progress lines of the start-up are looked for.
#include <fcntl.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Run {
    std::vector<std::pair<double, std::string>> lines;  // seconds since the start, text
    double end = 0.0;
    double peakMB = 0.0, userSeconds = 0.0, systemSeconds = 0.0;
    int status = -1;
};

// The first line starting with `prefix`, or -1.
double timeOf(const Run& r, const char* prefix) {
    for (const auto& [t, text] : r.lines)
        if (text.rfind(prefix, 0) == 0) return t;
    return -1.0;
}

bool runOnce(const std::string& render, const std::string& scene, int threads, bool stats, Run& out) {
    std::vector<std::string> args = {render, scene, "--frames", "1", "--out", "/dev/null.png"};
    char tmpl[] = "/tmp/lumenar-startup-bench-XXXXXX";
    const int fd = mkstemp(tmpl);
    if (fd < 0) {
        std::fprintf(stderr, "lumenar-startup-bench: cannot make a temporary file: %s\n",
                     std::strerror(errno));
        return false;
    }
    close(fd);
    const std::string image = std::string(tmpl) + ".png";
    args[5] = image;
    if (threads > 0) {
        args.push_back("--threads");
        args.push_back(std::to_string(threads));
    }
    if (stats) args.push_back("--stats");

    int master = -1;
    const Clock::time_point t0 = Clock::now();
    const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid < 0) {
        std::fprintf(stderr, "lumenar-startup-bench: forkpty failed: %s\n", std::strerror(errno));
        return false;
    }
    if (pid == 0) {
        // Standard output is the terminal (line by line); the progress line
        // on standard error is left out.
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0) dup2(null, STDERR_FILENO);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        std::_Exit(127);
    }
    std::string pending;
    char buf[4096];
    for (;;) {
        const ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0) break;  // EIO once the child has closed the terminal
        const double t = std::chrono::duration<double>(Clock::now() - t0).count();
        pending.append(buf, static_cast<std::size_t>(n));
        std::size_t nl;
        while ((nl = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, nl);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            out.lines.emplace_back(t, line);
            pending.erase(0, nl + 1);
        }
    }
    close(master);
    rusage usage{};
    int status = 0;
    wait4(pid, &status, 0, &usage);
    out.end = std::chrono::duration<double>(Clock::now() - t0).count();
    out.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    out.peakMB = static_cast<double>(usage.ru_maxrss) * 1024.0 / 1e6;
    out.userSeconds = static_cast<double>(usage.ru_utime.tv_sec) + usage.ru_utime.tv_usec * 1e-6;
    out.systemSeconds = static_cast<double>(usage.ru_stime.tv_sec) + usage.ru_stime.tv_usec * 1e-6;
    std::remove(image.c_str());
    std::remove(tmpl);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string render;
    int threads = 0, runs = 1;
    bool stats = false;
    std::vector<std::string> scenes;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--render" && i + 1 < argc) {
            render = argv[++i];
        } else if (a == "--threads" && i + 1 < argc) {
            threads = std::atoi(argv[++i]);
        } else if (a == "--runs" && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--stats") {
            stats = true;
        } else if (!a.empty() && a[0] == '-') {
            std::fprintf(stderr,
                         "usage: lumenar-startup-bench [--render PATH] [--threads N] [--stats] [--runs K] "
                         "SCENE...\n");
            return 2;
        } else {
            scenes.push_back(a);
        }
    }
    if (render.empty()) {
        const std::string self = argv[0];
        const std::size_t slash = self.rfind('/');
        render = (slash == std::string::npos ? std::string(".") : self.substr(0, slash)) +
                 "/../app/lumenar-render";
    }
    if (scenes.empty() || access(render.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "lumenar-startup-bench: give scenes, and a renderer to run (%s is not one)\n",
                     render.c_str());
        return 2;
    }
    std::printf("renderer %s\n", render.c_str());
    std::printf("seconds from the start: %-12s %8s %8s %8s %8s %8s %8s  %9s %7s %7s\n", "scene", "BVH",
                "kd/MLT", "tracing", "frame", "written", "exit", "peak MB", "user s", "sys s");
    for (const std::string& scene : scenes)
        for (int k = 0; k < runs; ++k) {
            Run r;
            if (!runOnce(render, scene, threads, stats, r)) return 1;
            // "Building ..." starts the BVH, "Initializing ..." the kd-tree and
            // chains of renderers that make them before tracing,
            // "Start tracing!" the path tracer; "Rendered" follows the frame.
            std::printf("  %-34s %8.2f %8.2f %8.2f %8.2f %8.2f %8.2f  %9.1f %7.2f %7.2f%s\n", scene.c_str(),
                        timeOf(r, "Building spatial"), timeOf(r, "Initializing data"),
                        timeOf(r, "Start tracing"), timeOf(r, "Rendered"), timeOf(r, "Wrote"), r.end,
                        r.peakMB, r.userSeconds, r.systemSeconds, r.status == 0 ? "" : "  (failed)");
            for (const auto& [t, text] : r.lines)
                if (text.rfind("Start-up:", 0) == 0 || text.rfind("On the worker:", 0) == 0 ||
                    text.rfind("Peak resident", 0) == 0)
                    std::printf("      %s\n", text.c_str());
            if (r.status != 0)
                for (const auto& [t, text] : r.lines) std::printf("      | %s\n", text.c_str());
            std::fflush(stdout);
        }
    return 0;
}
