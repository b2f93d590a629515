// The line at the foot of the main window that says what the scene lacks.
#pragma once

#include <string>
#include <vector>

class QLabel;
class QMainWindow;

namespace lumenar {

// Names the texture files that could not be read (the image renders without
// them) in the window's status bar, for as long as the window is open.
// Returns the label, or nullptr and no status bar when nothing is missing.
QLabel* showMissingTextures(QMainWindow& window, const std::vector<std::string>& files);

}  // namespace lumenar
