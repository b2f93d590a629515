// lumenar-import: writes the native scene folder (an "input" file and its
// texture images) equivalent to a model file, for editing by hand. Opening
// the folder renders what opening the model directly renders.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>

#include "scene/importer.h"

int main(int argc, char** argv) {
    std::string model, dir;
    lumenar::ImportOptions options;
    CLI::App cli{"Converts a model file (glTF, OBJ/MTL, PLY, FBX, COLLADA ...) into a Lumenar scene folder."};
    cli.add_option("model", model, "Model file to convert")->required();
    cli.add_option("-o,--out", dir, "Folder to write (created when missing)")->required();
    cli.add_option("--width", options.width, "Image width (default 1280, or from the height and the camera)")
        ->check(CLI::Range(1, 16384));
    cli.add_option("--height", options.height,
                   "Image height (default from the width and the camera, else 720)")
        ->check(CLI::Range(1, 16384));
    cli.add_option("--movable", options.movable, "Node (or mesh) that becomes the movable object");
    CLI11_PARSE(cli, argc, argv);

    lumenar::ImportedScene scene;
    if (!lumenar::importScene(model, options, scene)) return 1;
    if (!lumenar::writeImportedScene(scene, dir)) return 1;
    std::printf("%s: %d triangles, %zu materials, %zu textures written to %s\n", model.c_str(),
                scene.triangleCount, scene.assembly.materials.size(), scene.textures.size(), dir.c_str());
    return 0;
}
