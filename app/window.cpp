#include "app/window.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMainWindow>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QVBoxLayout>
#include <cstdio>

#include "app/gl_widget.h"

namespace lumenar {

namespace {

const char* const kHelpText =
    "W/S/A/D/E/Q -- Move camera forward/backwards/left/right/up/down\n"
    "I/K/J/L/O/U -- Move bunny farther/closer/left/right/up/down\n"
    "mouse left button -- control yaw/pitch\n"
    "mouse right button -- control focal length\n"
    " ";

const char* const kMltPreparingText =
    "Metropolis light transport starts once its chains are ready (the kd-tree is still being built); "
    "the path tracer goes on until then.";

const char* const kMltUnavailableText =
    "Metropolis light transport is unavailable in this run: its chains could not be set up at start-up "
    "(see the console). The path tracer goes on.";

}  // namespace

QString aboutText() {
    return QStringLiteral(
        "Lumenar Demo \n"
        "Interactive progressive path tracing, by the Lumenar developers\n"
        "Contact: lumenar-dev@example.org\n"
        "\n"
        "\"enable fog\" traces the scene's medium, \"enable ss\" scatters light below the surface of "
        "the bunny's material, and \"enable MLT\" switches from path tracing to Metropolis light "
        "transport (one Markov chain per pixel; it sees the fog, the walks below the surface and the bunny "
        "where it stands, as the path tracer does). \"denoise\" "
        "shows the image through an edge-aware preview filter; the average itself is not filtered. "
        "\"adaptive\" sends the path tracer's samples where the image is still noisy (pixels that are "
        "clean take fewer), and \"show sampling\" darkens the pixels that no longer take samples.");
}

Window::Window(RenderWorker& worker, Controls& controls, QMainWindow* mainWindow)
    : QWidget(mainWindow), controls_(controls) {
    auto* outer = new QVBoxLayout(this);
    auto* row = new QWidget(this);
    outer->addWidget(row);
    auto* rowLayout = new QHBoxLayout(row);

    glWidget_ = new GLWidget(worker, controls, mainWindow, row);
    glWidget_->setObjectName(QStringLiteral("view"));
    rowLayout->addWidget(glWidget_);

    configColumn_ = new QWidget(row);
    auto* configLayout = new QVBoxLayout(configColumn_);
    bunnyBox_ = new QGroupBox(tr("Bunny config"), configColumn_);
    envBox_ = new QGroupBox(tr("Env config"), configColumn_);
    configLayout->addWidget(bunnyBox_);
    configLayout->addWidget(envBox_);
    rowLayout->addWidget(configColumn_);

    toggleColumn_ = new QWidget(row);
    auto* toggleLayout = new QVBoxLayout(toggleColumn_);
    rowLayout->addWidget(toggleColumn_);

    // Start positions are set before the handlers are connected, so they
    // leave the scene file's materials as they are.
    auto* bunny = new QVBoxLayout(bunnyBox_);
    // The material the sliders below edit, by name.
    addMaterialChooser(bunny, QStringLiteral("material"), controls_.selectedMaterial(),
                       [this](int i) { controls_.selectMaterial(i); });
    QSlider* roughness = addSlider(bunny, QStringLiteral("roughness"), Controls::kRoughnessStart, true);
    QSlider* metalness = addSlider(bunny, QStringLiteral("metalness"), Controls::kMetalnessStart, true);
    transparencySlider_ =
        addSlider(bunny, QStringLiteral("transparency"), Controls::kTransparencyStart, true);
    QSlider* ior = addSlider(bunny, QStringLiteral("IOR"), Controls::kIorStart, true);
    translucencySlider_ =
        addSlider(bunny, QStringLiteral("ss translucency"), Controls::kTranslucencyStart, false);
    auto* env = new QVBoxLayout(envBox_);
    // The material the wall sliders edit (at first the largest fixed
    // object's), by name.
    addMaterialChooser(env, QStringLiteral("wall material"), controls_.wallMaterial(),
                       [this](int i) { controls_.selectWallMaterial(i); });
    QSlider* wallRoughness =
        addSlider(env, QStringLiteral("wall roughness"), Controls::kWallRoughnessStart, true);
    QSlider* wallMetalness =
        addSlider(env, QStringLiteral("wall metalness"), Controls::kWallMetalnessStart, true);
    fogGravitySlider_ = addSlider(env, QStringLiteral("fog gravity"), Controls::kFogGravityStart, false);
    QSlider* environmentRotation =
        addSlider(env, QStringLiteral("environment rotation"), Controls::kEnvironmentRotationStart, true);

    Controls* c = &controls_;
    connect(roughness, &QSlider::valueChanged, this, [c](int v) { c->setRoughness(v); });
    connect(metalness, &QSlider::valueChanged, this, [c](int v) { c->setMetalness(v); });
    connect(transparencySlider_, &QSlider::valueChanged, this, [c](int v) { c->setTransparency(v); });
    connect(ior, &QSlider::valueChanged, this, [c](int v) { c->setIor(v); });
    connect(translucencySlider_, &QSlider::valueChanged, this, [c](int v) { c->setTranslucency(v); });
    connect(wallRoughness, &QSlider::valueChanged, this, [c](int v) { c->setWallRoughness(v); });
    connect(wallMetalness, &QSlider::valueChanged, this, [c](int v) { c->setWallMetalness(v); });
    connect(fogGravitySlider_, &QSlider::valueChanged, this, [c](int v) { c->setFogGravity(v); });
    connect(environmentRotation, &QSlider::valueChanged, this, [c](int v) { c->setEnvironmentRotation(v); });
    // A scene lit by a sun can turn it.
    if (controls_.sunLight() >= 0) {
        QSlider* elevation =
            addSlider(env, QStringLiteral("sun elevation"), controls_.sunElevationStart(), true);
        QSlider* azimuth = addSlider(env, QStringLiteral("sun azimuth"), controls_.sunAzimuthStart(), true);
        connect(elevation, &QSlider::valueChanged, this, [c](int v) { c->setSunElevation(v); });
        connect(azimuth, &QSlider::valueChanged, this, [c](int v) { c->setSunAzimuth(v); });
    }

    QCheckBox* mlt = addCheckBox(toggleLayout, QStringLiteral("enable MLT"), false);
    QCheckBox* fog = addCheckBox(toggleLayout, QStringLiteral("enable fog"), false);
    QCheckBox* ss = addCheckBox(toggleLayout, QStringLiteral("enable ss"), false);
    QCheckBox* fps = addCheckBox(toggleLayout, QStringLiteral("show fps"), controls_.showFps());
    QCheckBox* denoise = addCheckBox(toggleLayout, QStringLiteral("denoise"), false);
    QCheckBox* adaptive = addCheckBox(toggleLayout, QStringLiteral("adaptive"), false);
    QCheckBox* overlay = addCheckBox(toggleLayout, QStringLiteral("show sampling"), false);
    connect(mlt, &QCheckBox::stateChanged, this, [this, c, mlt](int state) {
        if (c->setMlt(state != 0)) {
            if (state != 0 && c->metroPreparing()) {
                std::printf("%s\n", kMltPreparingText);
                std::fflush(stdout);
            }
            return;
        }
        // No chains in this run: the box goes back off and says why.
        const QSignalBlocker quiet(mlt);
        mlt->setChecked(false);
        std::printf("%s\n", kMltUnavailableText);
        std::fflush(stdout);
        if (!mltUnavailableBox_) {
            mltUnavailableBox_ =
                new QMessageBox(QMessageBox::Information, QStringLiteral("enable MLT"),
                                QString::fromLatin1(kMltUnavailableText), QMessageBox::Ok, this);
            mltUnavailableBox_->setObjectName(QStringLiteral("mlt unavailable"));
        }
        mltUnavailableBox_->show();  // not modal: the frames go on behind it
    });
    connect(fog, &QCheckBox::stateChanged, this, [this, c](int state) {
        fogGravitySlider_->setEnabled(state != 0);
        c->setFog(state != 0);
    });
    connect(ss, &QCheckBox::stateChanged, this, [this, c](int state) {
        c->setSubsurface(state != 0);
        translucencySlider_->setEnabled(state != 0);
        transparencySlider_->setEnabled(state == 0);
    });
    connect(fps, &QCheckBox::stateChanged, this, [c](int state) { c->setShowFps(state != 0); });
    connect(denoise, &QCheckBox::stateChanged, this, [c](int state) { c->setDenoise(state != 0); });
    connect(adaptive, &QCheckBox::stateChanged, this, [c](int state) { c->setAdaptive(state != 0); });
    connect(overlay, &QCheckBox::stateChanged, this, [c](int state) { c->setSamplingOverlay(state != 0); });

    connect(addButton(toggleLayout, QStringLiteral("Capture Screen")), &QPushButton::clicked, this,
            [this] { captureScreen(); });
    helpBox_ = new QMessageBox();
    helpBox_->setWindowTitle(QStringLiteral("Help"));
    helpBox_->setText(QString::fromLatin1(kHelpText));
    aboutBox_ = new QMessageBox();
    aboutBox_->setWindowTitle(QStringLiteral("About"));
    aboutBox_->setText(aboutText());
    connect(addButton(toggleLayout, QStringLiteral("Help")), &QPushButton::clicked, this,
            [this] { helpBox_->exec(); });
    connect(addButton(toggleLayout, QStringLiteral("About")), &QPushButton::clicked, this,
            [this] { aboutBox_->exec(); });

    connect(glWidget_, &GLWidget::frameFailed, this, [this](const QString& message) {
        // Shown once the failed paint has returned.
        QMetaObject::invokeMethod(
            this, [this, message] { QMessageBox::critical(this, QStringLiteral("Lumenar"), message); },
            Qt::QueuedConnection);
    });
}

Window::~Window() {
    delete helpBox_;
    delete aboutBox_;
}

QSlider* Window::addSlider(QVBoxLayout* box, const QString& label, int start, bool enabled) {
    auto* text = new QLabel(label);
    auto* slider = new QSlider(Qt::Horizontal);
    slider->setObjectName(label);
    slider->setRange(0, 100);
    slider->setSingleStep(1);
    slider->setPageStep(10);
    slider->setTickInterval(10);
    slider->setTickPosition(QSlider::TicksBelow);
    slider->setValue(start);
    slider->setEnabled(enabled);
    box->addWidget(text);
    box->addWidget(slider);
    return slider;
}

void Window::addMaterialChooser(QVBoxLayout* box, const QString& name, int current,
                                const std::function<void(int)>& choose) {
    if (controls_.materialNames().empty()) return;
    auto* chooser = new QComboBox();
    chooser->setObjectName(name);
    for (const std::string& material : controls_.materialNames())
        chooser->addItem(QString::fromStdString(material));
    chooser->setCurrentIndex(current);
    box->addWidget(chooser);
    connect(chooser, QOverload<int>::of(&QComboBox::currentIndexChanged), this, choose);
}

QCheckBox* Window::addCheckBox(QVBoxLayout* column, const QString& text, bool checked) {
    auto* box = new QCheckBox(text);
    box->setObjectName(text);
    box->setChecked(checked);
    column->addWidget(box);
    return box;
}

QPushButton* Window::addButton(QVBoxLayout* column, const QString& text) {
    auto* button = new QPushButton(text);
    button->setObjectName(text);
    column->addWidget(button);
    return button;
}

QSlider* Window::slider(const QString& label) const {
    return findChild<QSlider*>(label);
}

QCheckBox* Window::checkBox(const QString& text) const {
    return findChild<QCheckBox*>(text);
}

QPushButton* Window::button(const QString& text) const {
    return findChild<QPushButton*>(text);
}

bool Window::captureScreen() {
    const char* path = "screencapture.png";
    if (glWidget_->captureScreen(path)) return true;
    QMessageBox::warning(this, QStringLiteral("Capture Screen"),
                         tr("The screen capture could not be written to %1 (see the console).")
                             .arg(QString::fromLatin1(path)));
    return false;
}

void Window::keyPressEvent(QKeyEvent* event) {
    if (!controls_.keyPress(event->key())) QWidget::keyPressEvent(event);
}

bool Window::writeWidgetMap(const std::string& path) const {
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (!f) {
        std::perror(path.c_str());
        return false;
    }
    const QList<QWidget*> widgets = findChildren<QWidget*>();
    for (const QWidget* w : widgets) {
        if (w->objectName().isEmpty() || w->objectName().startsWith(QLatin1String("qt_"))) continue;
        const QPoint at = w->mapTo(window(), QPoint(0, 0));
        std::fprintf(f, "%s\t%d\t%d\t%d\t%d\n", w->objectName().toUtf8().constData(), at.x(), at.y(),
                     w->width(), w->height());
    }
    return std::fclose(f) == 0;
}

}  // namespace lumenar
