// Synthetic scenes and brute-force oracles for the tree tests.
#pragma once

#include <cfloat>
#include <random>
#include <vector>

#include "accel/bvh.h"
#include "accel/kdtree.h"
#include "accel/traversal.h"
#include "scene/scene.h"
#include "scene/triangle_setup.h"

namespace lumenar::test {

Triangle makeTriangle(const Vector3d& a, const Vector3d& b, const Vector3d& c, int material = 0);
// A triangle with distinct vertex normals (so interpolation is checked).
Triangle makeSmoothTriangle(const Vector3d& a, const Vector3d& b, const Vector3d& c, int material = 0);

// Fills scene counts and bounds from its host triangles (and movables).
void finishScene(Scene& scene);

// Host arrays the traversals read, built from a scene's triangles.
struct HostArrays {
    std::vector<float4> woop;
    std::vector<deviceTriangle> tris;
    explicit HostArrays(const Scene& scene)
        : woop(buildWoopArray(scene.hostTriangles)), tris(buildDeviceTriangles(scene.hostTriangles)) {}
};

// Scene generators (all deterministic for a seed).
void addRandomSoup(Scene& s, int count, std::mt19937& rng, float extent = 10.0f, float size = 1.5f);
void addGrid(Scene& s, int n, float z, float cell);  // shared edges, axis-aligned plane z
void addAxisAlignedBoxes(Scene& s, int count, std::mt19937& rng);
// Overlapping triangles in the plane z (decals; every seventh twice over).
void addCoplanarDecals(Scene& s, int count, std::mt19937& rng, float z = 0.0f);
// Thin triangles around one shared vertex.
void addFan(Scene& s, int count, const Vector3d& hub, float radius);
void addDegenerates(Scene& s, std::mt19937& rng);  // zero-area and collinear triangles
void addObject(Scene& s, int triangles, const Vector3d& centre, float size, std::mt19937& rng);

// A mix of everything above: random soup, a grid, boxes and degenerates.
void makeMixedScene(Scene& s, int soup, std::mt19937& rng);

// Random rays: some from outside the scene box, some from inside, some with
// zero direction components.
std::vector<Ray> makeRays(const aabb& box, int count, std::mt19937& rng);

// Closest hit over all triangles by the unit-triangle test (the kd-tree's
// triangle test) or the Moller-Trumbore test with object offsets (the BVH's).
struct BruteHit {
    int tri = -1;
    float t = FLT_MAX;
};
BruteHit bruteWoop(const HostArrays& a, const Ray& ray, float tmin, float tmax);
BruteHit bruteMT(const Scene& scene, const HostArrays& a, const Ray& ray, float tmin, float tmax);
// Moller-Trumbore on one triangle shifted by off; returns t or -1.
bool mtHit(const deviceTriangle& tri, const Vector3d& off, const Ray& ray, float tmin, float tmax, float& t,
           float& u, float& v);
bool woopHit(const HostArrays& a, int tri, const Ray& ray, float tmin, float tmax, float& t, float& u,
             float& v);

// Offset of the movable object that owns triangle tri, or zero.
Vector3d offsetOf(const Scene& scene, int tri);

}  // namespace lumenar::test
