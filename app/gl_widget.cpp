#include "app/gl_widget.h"

#include <QMainWindow>
#include <QMouseEvent>
#include <QOpenGLContext>
#include <cstdio>

#include "app/image_output.h"

namespace lumenar {

GLWidget::GLWidget(Renderer& renderer, Camera& camera, Controls& controls, QMainWindow* titleWindow,
                   QWidget* parent)
    : QOpenGLWidget(parent),
      renderer_(renderer),
      camera_(camera),
      controls_(controls),
      titleWindow_(titleWindow),
      width_(renderer.resources().width),
      height_(renderer.resources().height) {
    // The buffers are sized for the start-up image, so the view keeps it.
    setFixedSize(width_, height_);
}

GLWidget::~GLWidget() {
    // The base class ends the context after this object is gone: the handler
    // must not run then.
    disconnect(contextEnding_);
    releaseDisplay();
}

void GLWidget::releaseDisplay() {
    if (!context()) return;
    makeCurrent();
    display_.release();
    doneCurrent();
}

QSize GLWidget::sizeHint() const {
    return QSize(width_, height_);
}

void GLWidget::mousePressEvent(QMouseEvent* event) {
    controls_.mousePress(event->pos().x(), event->pos().y());
}

void GLWidget::mouseMoveEvent(QMouseEvent* event) {
    controls_.mouseMove(event->pos().x(), event->pos().y(), static_cast<int>(event->buttons()));
}

void GLWidget::initializeGL() {
    // Free the buffer while the context still exists, whoever ends it.
    disconnect(contextEnding_);
    contextEnding_ =
        connect(context(), &QOpenGLContext::aboutToBeDestroyed, this, [this] { releaseDisplay(); });
    if (!display_.initialize(width_, height_)) {
        error_ = tr("The render view cannot make its display buffer (see the console).");
        emit frameFailed(error_);
    }
}

void GLWidget::resizeGL(int, int) {
    // The view keeps its start-up size (fixed), so nothing is reallocated.
    update();
}

void GLWidget::paintGL() {
    display_.setProjection();
    display_.clear();
    // After a device fault the buffer may hold a half-made frame: the view
    // stays black and the loop stays stopped.
    if (stopped()) return;
    Color* frame = display_.beginFrame();
    FrameStats stats;
    if (!frame)
        stats.error = "the display buffer cannot be mapped for the device";
    else
        stats = renderer_.renderFrame(camera_, frame);
    const bool uploaded = display_.endFrame();
    if (stats.ok() && !uploaded) stats.error = "the display buffer cannot be handed back for drawing";
    if (!stats.ok()) {
        error_ = tr("Rendering stopped: %1.").arg(QString::fromStdString(stats.error));
        std::fprintf(stderr, "%s\n", error_.toLocal8Bit().constData());
        emit frameFailed(error_);
        return;
    }
    display_.draw();
    update();
    const float fps = computeFps();
    if (fps != 0.0f) lastFps_ = fps;
    updateTitle();
}

float GLWidget::computeFps() {
    const int frame = static_cast<int>(renderer_.frameCount());
    const int now = elapsedMilliseconds();
    if (frame == 1) {
        fpsTime_ = now;
        fpsFrame_ = frame;
        return 0.0f;
    }
    if (now - fpsTime_ > 1000) {
        const int c = fpsFrame_;
        const float fps = static_cast<float>(frame - c) * 1000.0f / static_cast<float>(now - fpsTime_);
        const float fresh = static_cast<float>(frame - c + 1) / static_cast<float>(frame);
        const float old = static_cast<float>(c - 1) / static_cast<float>(frame);
        avgFps_ = static_cast<float>(static_cast<double>(fresh * fps) + static_cast<double>(old * avgFps_));
        fpsTime_ = now;
        fpsFrame_ = frame;
        return fps;
    }
    return 0.0f;
}

void GLWidget::updateTitle() {
    if (!titleWindow_) return;
    char text[128];
    if (controls_.showFps())
        std::snprintf(text, sizeof text, "Lumenar FPS: %f Avg FPS: %f", lastFps_,
                      static_cast<double>(avgFps_));
    else
        std::snprintf(text, sizeof text, "Lumenar");
    const QString title = QString::fromLatin1(text);
    if (titleWindow_->windowTitle() != title) titleWindow_->setWindowTitle(title);
}

std::vector<uint8_t> GLWidget::readView() {
    // The view draws into a framebuffer of its own, exactly W x H, which
    // makeCurrent binds: reading it gives the view and nothing else.
    makeCurrent();
    std::vector<uint8_t> rgb = display_.readPixels();
    doneCurrent();
    return rgb;
}

bool GLWidget::captureScreen(const std::string& path) {
    const std::vector<uint8_t> rgb = readView();
    if (rgb.empty()) {
        std::fprintf(stderr, "%s: cannot read the render view's pixels\n", path.c_str());
        return false;
    }
    return writePngBottomUp(path, width_, height_, rgb);
}

}  // namespace lumenar
