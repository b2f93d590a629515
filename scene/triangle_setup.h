// Completing a triangle record from its vertices and normals: the box, the
// area and the map to the unit triangle that the kd-tree traversal tests
// against. The scene loader fills the same fields; tests, benchmarks and tools
// that make triangles themselves use these helpers.
#pragma once

#include <vector>

#include "scene/records.h"

namespace lumenar {

// Sets bounds, area and woopRows from p1, p2, p3 (single precision).
void finishTriangle(Triangle& t);

// The four float4 of a triangle in the woop array: the columns of the linear
// part each followed by one translation component, then (normal1, material
// bits).
void packWoop(const Triangle& t, float4 out[4]);

deviceTriangle makeDeviceTriangle(const Triangle& t);

// Host arrays for a whole triangle list (four float4 per triangle).
std::vector<float4> buildWoopArray(const std::vector<Triangle>& tris);
std::vector<deviceTriangle> buildDeviceTriangles(const std::vector<Triangle>& tris);

}  // namespace lumenar
