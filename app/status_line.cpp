#include "app/status_line.h"

#include <QLabel>
#include <QMainWindow>
#include <QStatusBar>
#include <QStringList>
#include <filesystem>

namespace lumenar {

QLabel* showMissingTextures(QMainWindow& window, const std::vector<std::string>& files) {
    if (files.empty()) return nullptr;
    QStringList names, paths;
    for (const std::string& f : files) {
        names << QString::fromStdString(std::filesystem::path(f).filename().string());
        paths << QString::fromStdString(f);
    }
    auto* label =
        new QLabel((files.size() == 1 ? QStringLiteral("Texture not found, rendered without it: ")
                                      : QStringLiteral("Textures not found, rendered without them: ")) +
                   names.join(QStringLiteral(", ")));
    label->setObjectName(QStringLiteral("missing textures"));
    label->setToolTip(paths.join(QLatin1Char('\n')));
    label->setStyleSheet(QStringLiteral("color: #b00000"));
    // A permanent widget: passing messages never hide it.
    window.statusBar()->addPermanentWidget(label, 1);
    return label;
}

}  // namespace lumenar
