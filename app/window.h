// The main window's content: the render view beside a column of sliders
// ("Bunny config", "Env config") and a column of mode switches and buttons.
// Keys move the camera and the movable mesh.
#pragma once

#include <QWidget>
#include <functional>
#include <string>

#include "app/controls.h"

class QCheckBox;
class QGroupBox;
class QLabel;
class QMainWindow;
class QMessageBox;
class QPushButton;
class QSlider;
class QVBoxLayout;

namespace lumenar {

class GLWidget;

class Window : public QWidget {
    Q_OBJECT

 public:
    // mainWindow is the parent and gets the title; worker renders the view's
    // frames.
    Window(RenderWorker& worker, Controls& controls, QMainWindow* mainWindow);
    ~Window() override;

    GLWidget* view() const { return glWidget_; }
    QSlider* slider(const QString& label) const;
    QCheckBox* checkBox(const QString& text) const;
    QPushButton* button(const QString& text) const;
    QMessageBox* helpBox() const { return helpBox_; }
    QMessageBox* aboutBox() const { return aboutBox_; }
    // Shown when "enable MLT" is switched on in a run without chains (null
    // until then).
    QMessageBox* mltUnavailableBox() const { return mltUnavailableBox_; }

    // Writes "screencapture.png" into the working directory.
    bool captureScreen();

    // Writes one line per control and the view, "<name>\t<x>\t<y>\t<w>\t<h>"
    // in pixels from the top-level window's corner, for driving the window
    // from outside.
    bool writeWidgetMap(const std::string& path) const;

 protected:
    void keyPressEvent(QKeyEvent* event) override;

 private:
    QSlider* addSlider(QVBoxLayout* box, const QString& label, int start, bool enabled);
    QCheckBox* addCheckBox(QVBoxLayout* column, const QString& text, bool checked);
    // A list of the scene's materials (none without names) that calls choose
    // with the index picked.
    void addMaterialChooser(QVBoxLayout* box, const QString& name, int current,
                            const std::function<void(int)>& choose);
    QPushButton* addButton(QVBoxLayout* column, const QString& text);

    Controls& controls_;
    GLWidget* glWidget_ = nullptr;
    QWidget* configColumn_ = nullptr;
    QWidget* toggleColumn_ = nullptr;
    QGroupBox* bunnyBox_ = nullptr;
    QGroupBox* envBox_ = nullptr;
    QSlider* transparencySlider_ = nullptr;
    QSlider* translucencySlider_ = nullptr;
    QSlider* fogGravitySlider_ = nullptr;
    QMessageBox* helpBox_ = nullptr;
    QMessageBox* aboutBox_ = nullptr;
    QMessageBox* mltUnavailableBox_ = nullptr;
};

// The about box's text.
QString aboutText();

}  // namespace lumenar
