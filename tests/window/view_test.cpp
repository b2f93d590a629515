// The render view and control panel in a real X server: layout and start
// states, the title, and a screen capture that holds exactly the rendered
// image. Runs under tests/window/with_xvfb.sh.
#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QMainWindow>
#include <QMessageBox>
#include <QPushButton>
#include <QSlider>
#include <QStatusBar>
#include <QSurfaceFormat>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/batch_render.h"
#include "app/controls.h"
#include "app/gl_widget.h"
#include "app/render_worker.h"
#include "app/startup.h"
#include "app/status_line.h"
#include "app/window.h"
#include "render/accumulation.h"

using namespace lumenar;

namespace {

constexpr int kW = 96;  // not square, so a transposed image cannot pass
constexpr int kH = 64;

struct Fixture : testing::Test {
    Settings settings;
    std::string sceneName = "default";  // a bundled scene, shown at kW x kH
    std::unique_ptr<Application> app;
    std::unique_ptr<Renderer> renderer;
    std::unique_ptr<RenderWorker> worker;
    std::unique_ptr<Controls> controls;
    std::unique_ptr<QMainWindow> mainWindow;
    Window* window = nullptr;
    std::filesystem::path dir;
    std::filesystem::path oldDir;

    void SetUp() override {
        std::ifstream in(std::string(LUMENAR_SOURCE_DIR) + "/scenes/" + sceneName + "/input");
        ASSERT_TRUE(in) << "no scenes/" << sceneName << "/input (the build makes the default scene's)";
        std::stringstream text;
        text << in.rdbuf();
        std::string scene = text.str();
        const std::size_t at = scene.find("resolution ");
        ASSERT_NE(at, std::string::npos);
        scene.replace(at, scene.find('\n', at) - at,
                      "resolution " + std::to_string(kW) + " " + std::to_string(kH));
        dir = std::filesystem::path(testing::TempDir()) / "lumenar_view_test";
        std::filesystem::create_directories(dir);
        oldDir = std::filesystem::current_path();
        std::filesystem::current_path(dir);
        std::filesystem::remove("screencapture.png");
        std::ofstream("input") << scene;

        testing::internal::CaptureStdout();
        app = std::make_unique<Application>(settings);
        const bool started = app->start("input");
        testing::internal::GetCapturedStdout();
        ASSERT_TRUE(started);
        renderer = std::make_unique<Renderer>(frameResources(*app));
        Scene& s = app->scene();
        worker = std::make_unique<RenderWorker>(*renderer, s.camera);
        controls =
            std::make_unique<Controls>(s.camera, app->materials(), static_cast<int>(s.materials.size()),
                                       app->volumes(), s.volumeCount, *worker, settings);
        controls->useScene(s);
        ASSERT_TRUE(worker->start());
        mainWindow = std::make_unique<QMainWindow>();
        window = new Window(*worker, *controls, mainWindow.get());
        mainWindow->setCentralWidget(window);
        mainWindow->show();
    }
    void TearDown() override {
        if (worker) worker->stop();
        mainWindow.reset();
        controls.reset();
        worker.reset();
        renderer.reset();
        if (app) app->shutdown();
        std::filesystem::current_path(oldDir);
    }
    // Runs the event loop until the view shows an average of this many frames
    // that reflects every edit posted so far.
    bool runFrames(uint32_t frames) {
        QElapsedTimer t;
        t.start();
        const uint64_t edits = worker->editsPosted();
        auto done = [&] {
            const FrameInfo& f = window->view()->shownFrame();
            return f.frameCount >= frames && f.edits >= edits;
        };
        while (!done() && t.elapsed() < 120000 && !window->view()->stopped())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        return done();
    }
    // Stops the render thread and lets the view draw the last frame it made;
    // the renderer is then the test's to read.
    void stopRendering() {
        worker->stop();
        QElapsedTimer t;
        t.start();
        while (window->view()->shownFrame().sequence != worker->newestSequence() && t.elapsed() < 10000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QCoreApplication::processEvents();
    }
};

}  // namespace

TEST_F(Fixture, PanelHasItsControlsInTheirStartStates) {
    struct Slider {
        const char* label;
        int start;
        bool enabled;
    };
    for (const Slider& s :
         {Slider{"roughness", 0, true}, Slider{"metalness", 0, true}, Slider{"transparency", 0, true},
          Slider{"IOR", 25, true}, Slider{"ss translucency", 50, false}, Slider{"wall roughness", 20, true},
          Slider{"wall metalness", 0, true}, Slider{"fog gravity", 20, false}}) {
        QSlider* slider = window->slider(QString::fromLatin1(s.label));
        ASSERT_NE(slider, nullptr) << s.label;
        EXPECT_EQ(slider->orientation(), Qt::Horizontal);
        EXPECT_EQ(slider->minimum(), 0);
        EXPECT_EQ(slider->maximum(), 100);
        EXPECT_EQ(slider->singleStep(), 1);
        EXPECT_EQ(slider->pageStep(), 10);
        EXPECT_EQ(slider->tickInterval(), 10);
        EXPECT_EQ(slider->tickPosition(), QSlider::TicksBelow);
        EXPECT_EQ(slider->value(), s.start) << s.label;
        EXPECT_EQ(slider->isEnabled(), s.enabled) << s.label;
    }
    // Start positions are shown, not applied: the scene's bunny keeps its IOR.
    EXPECT_FLOAT_EQ(app->materials()[0].IOR, app->scene().materials[0].IOR);
    for (const char* text : {"enable MLT", "enable fog", "enable ss"}) {
        ASSERT_NE(window->checkBox(QString::fromLatin1(text)), nullptr) << text;
        EXPECT_FALSE(window->checkBox(QString::fromLatin1(text))->isChecked()) << text;
    }
    ASSERT_NE(window->checkBox(QStringLiteral("show fps")), nullptr);
    EXPECT_TRUE(window->checkBox(QStringLiteral("show fps"))->isChecked());
    for (const char* text : {"denoise", "adaptive", "show sampling"}) {
        ASSERT_NE(window->checkBox(QString::fromLatin1(text)), nullptr) << text;
        EXPECT_FALSE(window->checkBox(QString::fromLatin1(text))->isChecked()) << text;
    }
    for (const char* text : {"Capture Screen", "Help", "About"})
        EXPECT_NE(window->button(QString::fromLatin1(text)), nullptr) << text;
    EXPECT_EQ(window->helpBox()->windowTitle(), QStringLiteral("Help"));
    EXPECT_EQ(window->helpBox()->text(),
              QStringLiteral("W/S/A/D/E/Q -- Move camera forward/backwards/left/right/up/down\n"
                             "I/K/J/L/O/U -- Move bunny farther/closer/left/right/up/down\n"
                             "mouse left button -- control yaw/pitch\n"
                             "mouse right button -- control focal length\n "));
    EXPECT_EQ(window->aboutBox()->windowTitle(), QStringLiteral("About"));
    EXPECT_TRUE(window->aboutBox()->text().startsWith(QStringLiteral("Lumenar Demo \n")));
    EXPECT_EQ(window->view()->size(), QSize(kW, kH));
    // The default scene has no sun: no sun sliders.
    EXPECT_EQ(window->slider(QStringLiteral("sun elevation")), nullptr);
    EXPECT_EQ(window->slider(QStringLiteral("sun azimuth")), nullptr);
    // The wall sliders' material: at first the walls' (the largest object
    // that does not move), and whatever the list then picks.
    auto* wallChooser = window->findChild<QComboBox*>(QStringLiteral("wall material"));
    ASSERT_NE(wallChooser, nullptr);
    EXPECT_EQ(wallChooser->currentText(), QStringLiteral("white"));
    EXPECT_EQ(controls->wallMaterial(), 3);
    wallChooser->setCurrentIndex(1);  // the red wall
    window->slider(QStringLiteral("wall metalness"))->setValue(70);

    // Switching modes enables the matching sliders and, on the render
    // thread, sets the flags.
    window->checkBox(QStringLiteral("enable fog"))->setChecked(true);
    EXPECT_TRUE(window->slider(QStringLiteral("fog gravity"))->isEnabled());
    window->checkBox(QStringLiteral("enable ss"))->setChecked(true);
    EXPECT_TRUE(window->slider(QStringLiteral("ss translucency"))->isEnabled());
    EXPECT_FALSE(window->slider(QStringLiteral("transparency"))->isEnabled());
    window->checkBox(QStringLiteral("enable MLT"))->setChecked(true);
    window->checkBox(QStringLiteral("denoise"))->setChecked(true);
    window->checkBox(QStringLiteral("adaptive"))->setChecked(true);
    window->checkBox(QStringLiteral("show sampling"))->setChecked(true);
    EXPECT_TRUE(runFrames(2)) << "no frames with every mode switched on";
    stopRendering();
    EXPECT_TRUE(renderer->fogEnabled);
    EXPECT_TRUE(renderer->ssEnabled);
    EXPECT_TRUE(renderer->mltEnabled);
    EXPECT_TRUE(renderer->denoise);
    EXPECT_TRUE(renderer->adaptive);
    EXPECT_TRUE(renderer->samplingOverlay);
    EXPECT_FLOAT_EQ(app->materials()[1].metalness, 0.7f);
    EXPECT_FLOAT_EQ(app->materials()[3].metalness, app->scene().materials[3].metalness);
}

TEST_F(Fixture, CaptureHoldsExactlyTheRenderedImage) {
    ASSERT_TRUE(runFrames(3));
    ASSERT_FALSE(window->view()->stopped()) << window->view()->error().toStdString();
    // With the render thread stopped the view shows the frame whose running
    // sum the renderer holds.
    stopRendering();
    ASSERT_TRUE(window->captureScreen());
    const uint32_t frames = renderer->frameCount();
    ASSERT_EQ(window->view()->shownFrame().frameCount, frames);
    std::vector<uint8_t> expected(static_cast<std::size_t>(kW) * kH * 3);  // top row first
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            const Color a = renderer->accumBuffer()[y * kW + x] / static_cast<float>(frames);
            const displayVertex v = makeDisplayVertex(x, y, a, kPathToneExponent);
            uint8_t* p = &expected[(static_cast<std::size_t>(kH - 1 - y) * kW + x) * 3];
            p[0] = v.red;
            p[1] = v.green;
            p[2] = v.blue;
        }

    auto in = OIIO::ImageInput::open("screencapture.png");
    ASSERT_TRUE(in) << OIIO::geterror();
    ASSERT_EQ(in->spec().width, kW);
    ASSERT_EQ(in->spec().height, kH);
    ASSERT_EQ(in->spec().nchannels, 3);
    EXPECT_EQ(in->spec().format, OIIO::TypeDesc::UINT8);
    std::vector<uint8_t> file(expected.size());
    ASSERT_TRUE(in->read_image(0, 0, 0, 3, OIIO::TypeDesc::UINT8, file.data()));
    int wrong = 0, lit = 0;
    for (std::size_t i = 0; i < file.size(); ++i) {
        if (file[i] != expected[i] && ++wrong <= 5)
            ADD_FAILURE() << "pixel " << (i / 3) % kW << ", row " << (i / 3) / kW << " from the top, channel "
                          << i % 3 << ": " << int(file[i]) << " instead of " << int(expected[i]);
        lit += expected[i] > 8;
    }
    EXPECT_EQ(wrong, 0) << "of " << file.size() << " bytes";
    EXPECT_GT(lit, static_cast<int>(file.size() / 2)) << "the rendered image is mostly black";
}

TEST_F(Fixture, TitleCarriesTheFrameRatesUnlessSwitchedOff) {
    QElapsedTimer t;
    t.start();
    while (!mainWindow->windowTitle().startsWith(QStringLiteral("Lumenar FPS: ")) && t.elapsed() < 120000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    EXPECT_TRUE(mainWindow->windowTitle().startsWith(QStringLiteral("Lumenar FPS: ")))
        << mainWindow->windowTitle().toStdString();
    // Rates appear once a second of frames has passed.
    while (window->view()->lastFps() == 0.0 && t.elapsed() < 120000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    EXPECT_GT(window->view()->lastFps(), 0.0);
    EXPECT_GT(window->view()->avgFps(), 0.0f);
    const std::string title = mainWindow->windowTitle().toStdString();
    double fps = 0, avg = 0;
    ASSERT_EQ(std::sscanf(title.c_str(), "Lumenar FPS: %lf Avg FPS: %lf", &fps, &avg), 2) << title;
    EXPECT_GT(fps, 0.0);

    window->checkBox(QStringLiteral("show fps"))->setChecked(false);
    const uint32_t frame = window->view()->shownFrame().frameCount;
    ASSERT_TRUE(runFrames(frame + 1));
    EXPECT_EQ(mainWindow->windowTitle(), QStringLiteral("Lumenar"));
}

// A texture the window's start-up could not read is named at the foot of
// the window for as long as it is open; without one there is no such line.
TEST(MissingTextures, AreNamedAtTheFootOfTheWindow) {
    const std::filesystem::path dir = std::filesystem::path(testing::TempDir()) / "lumenar_view_missing";
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "input") << "textures\ntexture\n2\nwood.png\nmarble.jpg\n";
    Settings settings;
    settings.missingTexturesAllowed = true;
    Application app(settings);
    testing::internal::CaptureStdout();
    const bool started = app.start((dir / "input").string());
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(started);

    QMainWindow window;
    window.setCentralWidget(new QWidget);
    QLabel* note = showMissingTextures(window, app.missingTextures());
    window.show();
    QCoreApplication::processEvents();
    ASSERT_NE(note, nullptr);
    EXPECT_TRUE(note->isVisible());
    EXPECT_EQ(note->text().toStdString(), "Textures not found, rendered without them: wood.png, marble.jpg");
    EXPECT_NE(note->toolTip().toStdString().find((dir / "marble.jpg").string()), std::string::npos);
    EXPECT_GT(note->mapTo(&window, QPoint(0, 0)).y(), window.centralWidget()->height() - 1);
    // A passing message does not hide it.
    window.statusBar()->showMessage(QStringLiteral("saved"), 1000);
    QCoreApplication::processEvents();
    EXPECT_TRUE(note->isVisible());

    QMainWindow whole;
    EXPECT_EQ(showMissingTextures(whole, {}), nullptr);
    EXPECT_EQ(whole.findChild<QStatusBar*>(), nullptr);
    testing::internal::CaptureStdout();
    app.shutdown();
    testing::internal::GetCapturedStdout();
}

namespace {
// A run whose Metropolis chains could not be set up (here: over their
// memory limit).
struct NoChains : Fixture {
    NoChains() { settings.mltMemoryLimit = 1; }
};
}  // namespace

TEST_F(NoChains, MetropolisSwitchSaysItIsUnavailableAndThePathTracerGoesOn) {
    ASSERT_FALSE(app->metroChains().ready());
    ASSERT_TRUE(runFrames(2)) << "no path-traced frames without chains";
    QCheckBox* mlt = window->checkBox(QStringLiteral("enable MLT"));
    mlt->setChecked(true);
    EXPECT_FALSE(mlt->isChecked()) << "the box shows a mode the run does not have";
    ASSERT_NE(window->mltUnavailableBox(), nullptr);
    EXPECT_TRUE(window->mltUnavailableBox()->isVisible());
    EXPECT_TRUE(window->mltUnavailableBox()->text().contains(QStringLiteral("unavailable")));
    // The frames go on accumulating, path traced.
    const uint32_t frame = window->view()->shownFrame().frameCount;
    ASSERT_TRUE(runFrames(frame + 2));
    stopRendering();
    EXPECT_FALSE(renderer->mltEnabled);
    EXPECT_GE(renderer->frameCount(), frame + 2);
}

namespace {
// The bundled scene lit by a sun and a spot light.
struct SunScene : Fixture {
    SunScene() { sceneName = "sun-and-spot"; }
};
}  // namespace

// A scene with a sun gets a sun elevation and a sun azimuth slider, at the
// scene's sun to start with; moving them aims the sun for the frames that
// follow (on the render thread, both modes' light set).
TEST_F(SunScene, SunSlidersAimTheSun) {
    QSlider* elevation = window->slider(QStringLiteral("sun elevation"));
    QSlider* azimuth = window->slider(QStringLiteral("sun azimuth"));
    ASSERT_NE(elevation, nullptr);
    ASSERT_NE(azimuth, nullptr);
    // The scene's sun shines along (-0.85, -0.35, -0.4): 20.4 degrees up,
    // 115.2 degrees round from -z towards +x.
    EXPECT_EQ(elevation->value(), 23);
    EXPECT_EQ(azimuth->value(), 32);
    EXPECT_EQ(elevation->maximum(), 100);
    ASSERT_TRUE(runFrames(2));
    elevation->setValue(50);  // 45 degrees up
    azimuth->setValue(25);    // towards +x
    ASSERT_TRUE(runFrames(2));
    stopRendering();
    for (const LightSet& lights :
         {renderer->resources().scene.lights, renderer->resources().kdScene.lights}) {
        ASSERT_EQ(lights.lightCount, 2);
        std::vector<deviceLight> records(2);
        device::copyToHost(records.data(), lights.lights, sizeof(deviceLight) * 2);
        // Towards the sun.
        EXPECT_NEAR(records[0].axis.x, std::sqrt(0.5f), 1e-5f);
        EXPECT_NEAR(records[0].axis.y, std::sqrt(0.5f), 1e-5f);
        EXPECT_NEAR(records[0].axis.z, 0.0f, 1e-5f);
        // The spot light as the scene has it.
        EXPECT_FLOAT_EQ(records[1].axis.y, app->scene().lights[1].direction.y);
    }
}

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    QSurfaceFormat format = QSurfaceFormat::defaultFormat();
    format.setSwapInterval(0);
    QSurfaceFormat::setDefaultFormat(format);
    QApplication qtApp(argc, argv);
    return RUN_ALL_TESTS();
}
