#include "app/startup.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "app/settings.h"

using namespace lumenar;

TEST(Startup, BuildModeArgumentReadsLikeAtoi) {
    const char* none[] = {"lumenar"};
    EXPECT_EQ(buildModeFromArguments(1, none, 1), 1);
    const char* zero[] = {"lumenar", "0"};
    EXPECT_EQ(buildModeFromArguments(2, zero, 1), 0);
    const char* word[] = {"lumenar", "fast"};
    EXPECT_EQ(buildModeFromArguments(2, word, 1), 0);
    const char* prefix[] = {"lumenar", "7x"};
    EXPECT_EQ(buildModeFromArguments(2, prefix, 1), 7);
}

TEST(Startup, DefaultSettings) {
    Settings s;
    EXPECT_EQ(s.superSampleFactor, 1);
    EXPECT_EQ(s.kdBuildMode, 1);
    EXPECT_EQ(s.extendedMode, 1);
    EXPECT_EQ(s.useDynamicBVH, 1);
    EXPECT_EQ(s.showFps, 1);
    EXPECT_EQ(Settings::kLargeStepPeriod, 4);
    EXPECT_EQ(Settings::kForcedAcceptanceThreshold, 32);
}

TEST(Startup, TracingBoxGrowsFivePercentEachSide) {
    const aabb b = enlargedBox(aabb(Vector3d(-1, -1, -1), Vector3d(1, 1, 1)));
    EXPECT_FLOAT_EQ(b.min.x, -1.1f);
    EXPECT_FLOAT_EQ(b.max.y, 1.1f);
    const aabb c = enlargedBox(aabb(Vector3d(0, 10, 0), Vector3d(10, 10, 20)));
    EXPECT_FLOAT_EQ(c.min.x, -0.5f);
    EXPECT_FLOAT_EQ(c.max.x, 10.5f);
    EXPECT_FLOAT_EQ(c.min.y, 10.0f);  // a flat axis stays flat
    EXPECT_FLOAT_EQ(c.max.z, 21.0f);
}

TEST(Startup, MissingSceneFileStopsWithAMessage) {
    Settings s;
    Application app(s);
    testing::internal::CaptureStdout();
    const bool ok = app.start("no-such-scene-file");
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(ok);
    EXPECT_NE(out.find("Loading files...\n"), std::string::npos);
    EXPECT_NE(out.find("no-such-scene-file"), std::string::npos);
    EXPECT_EQ(out.find("Start tracing!"), std::string::npos);
}

TEST(Startup, CleanRunPrintsTheProgressLinesInOrder) {
    const std::string path = testing::TempDir() + "lumenar_startup_input_" + std::to_string(getpid());
    std::ofstream(path) << "title line\n";
    Settings s;
    Application app(s);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(app.start(path));
    EXPECT_NE(app.pathStates(), nullptr);
    EXPECT_NE(app.sobolStates(), nullptr);
    EXPECT_NE(app.deviceLock(), nullptr);
    EXPECT_EQ(app.shutdown(), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out,
              "Loading files...\n"
              "Building spatial acceleration structures...\n"
              "Initializing data structures for Metropolis Light Transport...\n"
              "Start tracing!\n"
              "All done.\n");
    std::remove(path.c_str());
}

// A run that ends while its kd-tree is still being built gives the build up
// and shuts down as usual: no message about Metropolis, the same last line.
// (The worker is held until the shutdown has begun.)
TEST(Startup, ShutdownWhileTheKdTreeIsBuiltGivesItUp) {
    const std::string path = testing::TempDir() + "lumenar_startup_big_" + std::to_string(getpid());
    {
        std::ofstream f(path);
        f << "title\ncamera\nresolution 8 8\neye 0 0 40\nlookat 0 0 0\nup 0 1 0\nnear 1\nbgcolor\n0 0 0\n"
             "material\n1\n\nmtl 0 grey\nbasecolor 0.5 0.5 0.5\nspecular 0 0 0\nemission 0 0 0\n"
             "transmission 1 1 1\nmetalness 0\nanisotropic False\nroughness 1\nroughnessY 1\n"
             "transparency 0\nIOR 1.5\ntex 0\nrsc 0\nabsorption 0 0 0\nmesh\n1\n\no 0 soup\n";
        // A grid of 30 x 30 quads, each its own four corners.
        const int n = 30;
        for (int j = 0; j < n; ++j)
            for (int i = 0; i < n; ++i)
                f << "v " << i << ' ' << j << " 0\nv " << i + 1 << ' ' << j << " 0.5\nv " << i + 1 << ' '
                  << j + 1 << " 0\nv " << i << ' ' << j + 1 << " 0.5\n";
        f << "usemtl 0 grey\ns off\n";
        for (int q = 0; q < n * n; ++q)
            f << "f " << 4 * q + 1 << ' ' << 4 * q + 2 << ' ' << 4 * q + 3 << "\nf " << 4 * q + 1 << ' '
              << 4 * q + 3 << ' ' << 4 * q + 4 << '\n';
    }
    Settings s;
    Application app(s);
    app.beforeMetro = [&app] {
        while (!app.stopping()) std::this_thread::yield();
    };
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    ASSERT_TRUE(app.start(path));
    EXPECT_EQ(app.shutdown(), 0);
    const std::string err = testing::internal::GetCapturedStderr();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out,
              "Loading files...\n"
              "Building spatial acceleration structures...\n"
              "Initializing data structures for Metropolis Light Transport...\n"
              "Start tracing!\n"
              "All done.\n");
    EXPECT_EQ(err, "");
    EXPECT_EQ(app.metroHandoff().state(), MetroHandoff::State::Failed);
    std::remove(path.c_str());
}
