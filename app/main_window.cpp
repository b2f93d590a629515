// lumenar: the interactive program. Reads "input" from the working directory,
// or the scene or model file given; the optional first argument is the kd-tree
// build mode. The Metropolis switches are the batch renderer's.
#include <unistd.h>

#include <QApplication>
#include <QMainWindow>
#include <QSocketNotifier>
#include <QSurfaceFormat>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/batch_render.h"
#include "app/controls.h"
#include "app/gl_widget.h"
#include "app/render_worker.h"
#include "app/startup.h"
#include "app/status_line.h"
#include "app/window.h"

namespace {

// Ctrl+C or a termination request closes the window like its close button,
// so the run still ends with the shutdown; a second one ends it at once.
int signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char c = 1;
    if (write(signalPipe[1], &c, 1) < 0) _exit(1);
}

void quitOnSignals(QObject* owner) {
    if (pipe(signalPipe) != 0) return;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, owner);
    QObject::connect(notifier, &QSocketNotifier::activated, owner, [] { QCoreApplication::quit(); });
    struct sigaction sa = {};
    sa.sa_handler = onSignal;
    sa.sa_flags = SA_RESETHAND;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    lumenar::Settings settings;
    std::string sceneFile;
    if (!lumenar::windowArguments(argc, argv, settings, sceneFile)) return 1;
    // A texture that cannot be read is named at the foot of the window.
    settings.missingTexturesAllowed = true;

    lumenar::Application app(settings);
    if (!app.start(sceneFile)) return 1;

    int loopStatus = 0;
    {
        // Frames follow each other as fast as they are made: no waiting for
        // the display's refresh. Must be set before the application object.
        QSurfaceFormat format = QSurfaceFormat::defaultFormat();
        format.setSwapInterval(0);
        QSurfaceFormat::setDefaultFormat(format);

        QApplication qtApp(argc, argv);
        QCoreApplication::addLibraryPath(QStringLiteral("./plugins"));
        QCoreApplication::setApplicationName(QStringLiteral("Lumenar Demo"));

        lumenar::Renderer renderer(lumenar::frameResources(app));
        if (!renderer.valid()) return 1;
        renderer.mltCombineLargeSteps = settings.mltCombined;
        renderer.mltForcedAcceptance = settings.mltForcedAcceptance;
        lumenar::Scene& scene = app.scene();
        // Frames run on the render thread; the controls send it their changes.
        lumenar::RenderWorker worker(renderer, scene.camera);
        lumenar::Controls controls(scene.camera, app.materials(), static_cast<int>(scene.materials.size()),
                                   app.volumes(), scene.volumeCount, worker, settings);
        controls.useScene(scene);
        if (!worker.start()) return 1;

        // Declared after the renderer, so the view's buffers go first.
        QMainWindow mainWindow;
        auto* window = new lumenar::Window(worker, controls, &mainWindow);
        mainWindow.setCentralWidget(window);
        lumenar::showMissingTextures(mainWindow, app.missingTextures());
        mainWindow.resize(mainWindow.sizeHint());
        mainWindow.setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
        mainWindow.setFixedSize(mainWindow.sizeHint());
        mainWindow.setWindowTitle(QStringLiteral("Lumenar"));
        mainWindow.show();
        window->setFocus();

        // For driving the window from outside (tests): where every control is.
        if (const char* mapPath = std::getenv("LUMENAR_WIDGET_MAP")) {
            QTimer::singleShot(0, window, [window, mapPath] { window->writeWidgetMap(mapPath); });
        }
        // ... and which pictures it has shown.
        if (const char* logPath = std::getenv("LUMENAR_FRAME_LOG")) window->view()->logShownFrames(logPath);
        quitOnSignals(&qtApp);
        loopStatus = qtApp.exec();
        // The render thread ends before anything it uses goes: its pending
        // edits refer to the controls, its frames to the device state.
        worker.stop();
        if (window->view()->stopped() || worker.failed()) loopStatus = 1;
    }
    // Window, view, renderer and toolkit are gone: every device buffer left
    // belongs to the application, which frees them all before the reset.
    const int status = app.shutdown();
    return status != 0 ? status : loopStatus;
}
