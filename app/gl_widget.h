// The render view: every paint runs one progressive frame through the
// Renderer, draws it as one point per pixel, requests the next paint and
// puts the frame rates into the main window's title.
#pragma once

#include <QOpenGLWidget>
#include <QString>
#include <string>

#include "app/controls.h"
#include "app/gl_display.h"
#include "render/renderer.h"

class QMainWindow;

namespace lumenar {

class GLWidget : public QOpenGLWidget {
    Q_OBJECT

 public:
    // camera is the one the controls move; titleWindow gets the title.
    GLWidget(Renderer& renderer, Camera& camera, Controls& controls, QMainWindow* titleWindow,
             QWidget* parent = nullptr);
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
    float computeFps();
    void updateTitle();
    void releaseDisplay();

    Renderer& renderer_;
    Camera& camera_;
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
};

}  // namespace lumenar
