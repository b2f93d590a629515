#include "app/gl_widget.h"

#include <QMainWindow>
#include <QMouseEvent>
#include <QOpenGLContext>
#include <QTimer>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/image_output.h"

namespace lumenar {

namespace {
// How often the view looks for a newer frame (and how long an edit's first
// picture can wait to be drawn at most).
constexpr int kPollMilliseconds = 10;
}  // namespace

GLWidget::GLWidget(RenderWorker& worker, Controls& controls, QMainWindow* titleWindow, QWidget* parent)
    : QOpenGLWidget(parent),
      worker_(worker),
      controls_(controls),
      titleWindow_(titleWindow),
      width_(worker.width()),
      height_(worker.height()) {
    // The buffers are sized for the start-up image, so the view keeps it.
    setFixedSize(width_, height_);
    auto* timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, [this] { poll(); });
    timer->start(kPollMilliseconds);
}

void GLWidget::poll() {
    if (stopped()) return;
    if (worker_.failed()) {
        error_ = tr("Rendering stopped: %1.").arg(QString::fromStdString(worker_.error()));
        std::fprintf(stderr, "%s\n", error_.toLocal8Bit().constData());
        emit frameFailed(error_);
        update();
        return;
    }
    if (worker_.newestSequence() > uploaded_) update();
}

GLWidget::~GLWidget() {
    // The base class ends the context after this object is gone: the handler
    // must not run then.
    disconnect(contextEnding_);
    releaseDisplay();
    if (frameLog_) std::fclose(frameLog_);
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
    ++paints_;
    // After a device fault the frames may be half made: the view stays black
    // and the loop stays stopped.
    if (stopped()) return;
    FrameInfo info;
    const Color* frame = worker_.takeNewest(&info);
    if (frame && info.sequence != uploaded_) {
        if (!display_.upload(frame)) {
            error_ = tr("Rendering stopped: %1.")
                         .arg(QStringLiteral("the display buffer cannot take the finished frame"));
            std::fprintf(stderr, "%s\n", error_.toLocal8Bit().constData());
            emit frameFailed(error_);
            return;
        }
        uploaded_ = info.sequence;
        shown_ = info;
        if (frameLog_) {
            std::fprintf(frameLog_, "%llu %u %d\n", static_cast<unsigned long long>(info.sequence),
                         info.frameCount, info.previewBlock);
            std::fflush(frameLog_);
        }
        // The rates count every finished picture, previews included, so
        // they keep coming while edits restart the average.
        const float fps = computeFps(static_cast<uint32_t>(info.sequence));
        if (fps != 0.0f) lastFps_ = fps;
    }
    if (uploaded_ != 0) display_.draw();
    updateTitle();
}

bool GLWidget::logShownFrames(const std::string& path) {
    if (frameLog_) std::fclose(frameLog_);
    frameLog_ = std::fopen(path.c_str(), "w");
    if (!frameLog_) {
        std::fprintf(stderr, "%s: cannot write the frame log: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

float GLWidget::computeFps(uint32_t frameNumber) {
    const int frame = static_cast<int>(frameNumber);
    const int now = elapsedMilliseconds();
    // The view may skip frames that finished between two looks: a frame
    // number lower than the last measured one also means a restart.
    if (frame == 1 || frame < fpsFrame_ || fpsFrame_ == 0) {
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
