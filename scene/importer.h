// Opening model files (glTF 2.0 and PLY read here; OBJ/MTL, FBX, COLLADA and
// whatever else the asset library reads through it) as scenes. The model's
// geometry goes straight into scene records (a SceneAssembly); the same
// records can be written as a native scene folder (`lumenar-import`), which
// opens as the same scene.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "scene/image_io.h"
#include "scene/scene_assembly.h"

namespace lumenar {

struct ImportOptions {
    // Image size; 0 picks it: 1280 wide, the height from the file camera's
    // aspect ratio (720 without one), or the other side from the aspect.
    int width = 0;
    int height = 0;
    // Node (or mesh) whose triangles form the movable object; empty: none.
    std::string movable;
};

struct ImportedTexture {
    std::string fileName;           // as the scene text names it, relative to the scene folder
    std::string sourcePath;         // the image file beside the model (empty when embedded)
    std::vector<uint8_t> embedded;  // the compressed image stored inside the model
    Image image;                    // decoded, checked at import
};

// What the camera block of the scene holds: the values setCamera is given.
struct ImportedCamera {
    int width = 0, height = 0;
    Vector3d eye, lookat, up;
    float nearDistance = 1.0f;
};

struct ImportedScene {
    std::string source;                     // the model's file name
    SceneAssembly assembly;                 // the records, to commit (commitScene) or write
    ImportedCamera camera;                  // also set in assembly.camera
    std::vector<ImportedTexture> textures;  // texture i of the records
    int triangleCount = 0;
    int droppedTriangles = 0;  // degenerate faces left out
    bool skyLight = false;     // nothing emits: a uniform sky lights the scene
};

// Whether `path` names a file for the importer rather than a native scene
// file: a file (not a folder) whose extension the asset library reads.
bool isImportablePath(const std::string& path);

// Reads a model file. On failure prints one line naming the file (and the
// texture, where a texture is the problem) and returns false with `out`
// untouched. Notes (dropped triangles, the sky, ignored lights) are printed
// on standard output.
bool importScene(const std::string& path, const ImportOptions& options, ImportedScene& out);

// The native scene file of an imported scene, naming its textures by their
// fileName; parsing it gives the records of `scene.assembly` bit for bit.
std::string importedSceneText(const ImportedScene& scene);

// Writes `scene` as a native scene folder: `dir`/input and the texture
// images beside it. Creates `dir` when missing. Prints a message naming the
// file and returns false when something cannot be written.
bool writeImportedScene(const ImportedScene& scene, const std::string& dir);

}  // namespace lumenar
