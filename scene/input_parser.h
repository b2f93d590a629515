// Reader of the scene description file ("input"): camera, background, medium,
// texture list, materials and the mesh block. A successful parse fills the
// Scene, grows the caller's scene box and uploads the triangle arrays to the
// device; a failed one prints a message naming the file, the line and the
// problem, and leaves the Scene and the box as they were.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "scene/scene.h"

namespace lumenar {

enum class ParseStatus {
    Ok,
    Failed,                  // message printed, nothing filled or uploaded
    UnrecognizedVolumeType,  // "unrecognized volume type!" printed; callers end the process
};

// Longest word (keyword, name, path) a scene file may hold.
constexpr std::size_t kMaxTokenLength = 127;

// Parses scene text already in memory. `name` is the file name used in
// messages. On success `*woopTriangles` receives the device array of four
// float4 per triangle (also kept in scene.woopTriangles, which owns it).
ParseStatus parseSceneText(std::string_view text, const std::string& name, Scene& scene, aabb& bounds,
                           float4** woopTriangles);

// Reads the whole stream and parses it. A null stream prints
// "Failed to open the file !" and returns false. An unrecognised volume type
// ends the process with status 1.
bool parseSceneFile(std::FILE* file, const std::string& name, Scene& scene, aabb& bounds,
                    float4** woopTriangles);

// Opens `path` and parses it as above.
bool parseSceneFile(const std::string& path, Scene& scene, aabb& bounds, float4** woopTriangles);

}  // namespace lumenar
