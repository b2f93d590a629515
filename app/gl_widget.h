// The render view: frames are rendered on the render thread (RenderWorker);
// the view only looks for a newer finished frame a hundred times a second,
// draws the newest as one point per pixel and puts the frame rates into the
// main window's title. It never waits for a frame.
#pragma once

#include <QOpenGLWidget>
#include <QString>
#include <cstdio>
#include <string>

#include "app/controls.h"
#include "app/gl_display.h"
#include "app/render_worker.h"

class QMainWindow;

namespace lumenar {

class GLWidget : public QOpenGLWidget {
    Q_OBJECT

 public:
    // worker renders the frames (started and stopped by its owner);
    // titleWindow gets the title.
    GLWidget(RenderWorker& worker, Controls& controls, QMainWindow* titleWindow, QWidget* parent = nullptr);
    ~GLWidget() override;

    QSize sizeHint() const override;

    // Writes the view's current image, W x H, to path. Returns false after a
    // message naming the file and the problem.
    bool captureScreen(const std::string& path = "screencapture.png");
    // The view's current image as 8-bit RGB, row 0 at the bottom.
    std::vector<uint8_t> readView();

    // The frame loop stops for good after a device error.
    bool stopped() const { return !error_.isEmpty(); }
    const QString& error() const { return error_; }
    double lastFps() const { return lastFps_; }
    float avgFps() const { return avgFps_; }
    // The frame the view shows now, and how many times it has been drawn.
    const FrameInfo& shownFrame() const { return shown_; }
    long long paints() const { return paints_; }
    // For driving the window from outside (tests): appends one line
    // "sequence frames previewBlock" per picture put on the display. Returns
    // false after a message naming the file when it cannot be written.
    bool logShownFrames(const std::string& path);

 signals:
    // A frame failed on the device; the loop has stopped.
    void frameFailed(const QString& message);

 protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void initializeGL() override;
    void resizeGL(int w, int h) override;
    void paintGL() override;

 private:
    float computeFps(uint32_t frame);
    void updateTitle();
    void releaseDisplay();
    void poll();

    RenderWorker& worker_;
    Controls& controls_;
    QMainWindow* titleWindow_;
    GlDisplay display_;
    int width_;
    int height_;
    double lastFps_ = 0.0;
    float avgFps_ = 0.0f;
    int fpsTime_ = 0;
    int fpsFrame_ = 0;
    QString error_;
    QMetaObject::Connection contextEnding_;
    FrameInfo shown_;        // uploaded to the display buffer
    uint64_t uploaded_ = 0;  // sequence of the frame in the display buffer
    long long paints_ = 0;
    std::FILE* frameLog_ = nullptr;
};

}  // namespace lumenar
