// lumenar: the interactive program. Reads "input" from the working directory;
// the optional first argument is the kd-tree build mode.
#include <cstdio>

#include "app/startup.h"

int main(int argc, char** argv) {
    lumenar::Settings settings;
    settings.kdBuildMode = lumenar::buildModeFromArguments(argc, argv, settings.kdBuildMode);

    lumenar::Application app(settings);
    if (!app.start("input")) return 1;
    std::printf("The render view is not part of this build yet; use lumenar-render for images.\n");
    return app.shutdown();
}
