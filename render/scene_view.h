// The scene as every tracer reads it: device pointers to the triangles,
// materials, media, textures and movable objects, the light set (the
// environment included) and the background (not used with an environment). Start-up builds it once
// (Application::sceneView); the path tracer's DynamicScene and the Metropolis chains' KdScene are this view
// plus the nodes and leaf data of the tree each walks, so an edit through one of these arrays (a material, a
// medium, a move) is seen by both modes.
#pragma once

#include "render/lights.h"
#include "scene/records.h"
#include "scene/texture_maps.h"

namespace lumenar {

struct SceneView {
    const deviceTriangle* triangles = nullptr;
    const Material* materials = nullptr;  // managed: the window edits them in place
    Color bgcolor;
    LightSet lights{};  // every light: the emissive triangles and the environment
    int volumeCount = 0;
    const Volume* volumes = nullptr;  // managed, like the materials
    bool inscatter = false;           // the scene's "inscatter" setting: march a medium that does not emit
    // The movable objects with their current offsets (managed: a move writes
    // the offset) and how many there are.
    const Movable* movables = nullptr;
    int movableCount = 0;
    SceneTextures textures{};  // empty: no material is textured
};

}  // namespace lumenar
