#include "scene/triangle_setup.h"

#include <cstring>

namespace lumenar {

void finishTriangle(Triangle& t) {
    t.bounds = aabb();
    t.bounds.grow(t.p1);
    t.bounds.grow(t.p2);
    t.bounds.grow(t.p3);
    t.area = length(cross(t.p1 - t.p2, t.p1 - t.p3)) * 0.5f;

    // M sends (1,0,0) to p1, (0,1,0) to p2, the origin to p3 and (0,0,1) to
    // p3 + n: linear columns c0, c1, c2 and translation p3. Its inverse has
    // the rows (c1 x c2, c2 x c0, c0 x c1) / det.
    const Vector3d c0 = t.p1 - t.p3;
    const Vector3d c1 = t.p2 - t.p3;
    const Vector3d c2 = cross(t.p2 - t.p1, t.p3 - t.p1);
    const Vector3d r0 = cross(c1, c2);
    const Vector3d r1 = cross(c2, c0);
    const Vector3d r2 = cross(c0, c1);
    const float inv = 1.0f / dot(c0, r0);
    const Vector3d rows[3] = {r0 * inv, r1 * inv, r2 * inv};
    for (int r = 0; r < 3; ++r) {
        t.woopRows[3 * r + 0] = rows[r].x;
        t.woopRows[3 * r + 1] = rows[r].y;
        t.woopRows[3 * r + 2] = rows[r].z;
        t.woopRows[9 + r] = -dot(rows[r], t.p3);
    }
}

void packWoop(const Triangle& t, float4 out[4]) {
    const float* L = t.woopRows;
    const float* T = t.woopRows + 9;
    for (int k = 0; k < 3; ++k) out[k] = makeFloat4(L[k], L[3 + k], L[6 + k], T[k]);
    float material;
    std::memcpy(&material, &t.materialIndex, sizeof material);
    out[3] = makeFloat4(t.normal1.x, t.normal1.y, t.normal1.z, material);
}

deviceTriangle makeDeviceTriangle(const Triangle& t) {
    deviceTriangle d;
    d.materialIndex = t.materialIndex;
    d.p1 = t.p1;
    d.p2 = t.p2;
    d.p3 = t.p3;
    d.normal1 = t.normal1;
    d.normal2 = t.normal2;
    d.normal3 = t.normal3;
    d.isLight = t.isLight;
    d.invArea = static_cast<float>(1.0 / static_cast<double>(t.area));
    return d;
}

std::vector<float4> buildWoopArray(const std::vector<Triangle>& tris) {
    std::vector<float4> out(tris.size() * 4);
    for (std::size_t i = 0; i < tris.size(); ++i) packWoop(tris[i], &out[4 * i]);
    return out;
}

std::vector<deviceTriangle> buildDeviceTriangles(const std::vector<Triangle>& tris) {
    std::vector<deviceTriangle> out(tris.size());
    for (std::size_t i = 0; i < tris.size(); ++i) out[i] = makeDeviceTriangle(tris[i]);
    return out;
}

}  // namespace lumenar
