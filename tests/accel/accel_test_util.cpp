#include "accel_test_util.h"

#include <cmath>

namespace lumenar::test {

Triangle makeTriangle(const Vector3d& a, const Vector3d& b, const Vector3d& c, int material) {
    Triangle t{};
    t.materialIndex = material;
    t.p1 = a;
    t.p2 = b;
    t.p3 = c;
    const Vector3d n = cross(b - a, c - a);
    t.normal1 = t.normal2 = t.normal3 = n;
    finishTriangle(t);
    return t;
}

Triangle makeSmoothTriangle(const Vector3d& a, const Vector3d& b, const Vector3d& c, int material) {
    Triangle t = makeTriangle(a, b, c, material);
    const Vector3d n = cross(b - a, c - a);
    t.normal1 = n + Vector3d(0.3f, 0.0f, 0.0f) * length(n);
    t.normal2 = n + Vector3d(0.0f, 0.3f, 0.0f) * length(n);
    t.normal3 = n + Vector3d(0.0f, 0.0f, 0.3f) * length(n);
    return t;
}

void finishScene(Scene& s) {
    s.triangleCount = static_cast<int32_t>(s.hostTriangles.size());
    s.bounds = aabb();
    for (const Triangle& t : s.hostTriangles) s.bounds.grow(t.bounds);
    s.movableCount = static_cast<int32_t>(s.movables.size());
}

namespace {
float uni(std::mt19937& rng, float lo, float hi) {
    return std::uniform_real_distribution<float>(lo, hi)(rng);
}
Vector3d randomPoint(std::mt19937& rng, float e) {
    return {uni(rng, -e, e), uni(rng, -e, e), uni(rng, -e, e)};
}
}  // namespace

void addRandomSoup(Scene& s, int count, std::mt19937& rng, float extent, float size) {
    for (int i = 0; i < count; ++i) {
        const Vector3d c = randomPoint(rng, extent);
        s.hostTriangles.push_back(makeSmoothTriangle(c + randomPoint(rng, size), c + randomPoint(rng, size),
                                                     c + randomPoint(rng, size), i % 3));
    }
}

void addGrid(Scene& s, int n, float z, float cell) {
    const float o = -0.5f * n * cell;
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            const Vector3d a(o + i * cell, o + j * cell, z), b(o + (i + 1) * cell, o + j * cell, z),
                c(o + (i + 1) * cell, o + (j + 1) * cell, z), d(o + i * cell, o + (j + 1) * cell, z);
            s.hostTriangles.push_back(makeSmoothTriangle(a, b, c, 1));
            s.hostTriangles.push_back(makeSmoothTriangle(a, c, d, 1));
        }
}

void addCoplanarDecals(Scene& s, int count, std::mt19937& rng, float z) {
    std::uniform_real_distribution<float> centre(-3.0f, 3.0f), size(0.2f, 2.5f), jitter(-1.0f, 1.0f);
    for (int k = 0; k < count; ++k) {
        const float cx = centre(rng), cy = centre(rng), r = size(rng);
        Vector3d v[3];
        for (auto& p : v) p = Vector3d(cx + r * jitter(rng), cy + r * jitter(rng), z);
        s.hostTriangles.push_back(makeSmoothTriangle(v[0], v[1], v[2], 2));
        if (k % 7 == 0)
            s.hostTriangles.push_back(makeSmoothTriangle(v[0], v[1], v[2], 2));  // z-fighting twin
    }
}

void addFan(Scene& s, int count, const Vector3d& hub, float radius) {
    for (int k = 0; k < count; ++k) {
        const float a0 = 6.2831853f * k / count, a1 = 6.2831853f * (k + 1) / count;
        s.hostTriangles.push_back(makeSmoothTriangle(
            hub, hub + Vector3d(std::cos(a0), std::sin(a0), 0.3f * std::sin(3.0f * a0)) * radius,
            hub + Vector3d(std::cos(a1), std::sin(a1), 0.3f * std::sin(3.0f * a1)) * radius, 1));
    }
}

void addAxisAlignedBoxes(Scene& s, int count, std::mt19937& rng) {
    for (int k = 0; k < count; ++k) {
        const Vector3d lo = randomPoint(rng, 8.0f);
        const Vector3d hi = lo + Vector3d(uni(rng, 0.2f, 2.0f), uni(rng, 0.2f, 2.0f), uni(rng, 0.2f, 2.0f));
        for (int axis = 0; axis < 3; ++axis)
            for (int side = 0; side < 2; ++side) {
                const int u = (axis + 1) % 3, v = (axis + 2) % 3;
                Vector3d p[4];
                for (int q = 0; q < 4; ++q) {
                    p[q][axis] = side ? hi[axis] : lo[axis];
                    p[q][u] = (q == 1 || q == 2) ? hi[u] : lo[u];
                    p[q][v] = (q >= 2) ? hi[v] : lo[v];
                }
                s.hostTriangles.push_back(makeTriangle(p[0], p[1], p[2], 2));
                s.hostTriangles.push_back(makeTriangle(p[0], p[2], p[3], 2));
            }
    }
}

void addDegenerates(Scene& s, std::mt19937& rng) {
    for (int k = 0; k < 5; ++k) {
        const Vector3d a = randomPoint(rng, 8.0f), d = randomPoint(rng, 1.0f);
        s.hostTriangles.push_back(makeTriangle(a, a, a));                 // a point
        s.hostTriangles.push_back(makeTriangle(a, a + d, a + d * 2.0f));  // collinear
    }
}

void addObject(Scene& s, int triangles, const Vector3d& centre, float size, std::mt19937& rng) {
    Movable m{};
    m.firstTriangle = static_cast<int32_t>(s.hostTriangles.size());
    m.triangleCount = triangles;
    m.offset = Vector3d();
    m.bounds = aabb();
    for (int i = 0; i < triangles; ++i) {
        const Vector3d c = centre + randomPoint(rng, size);
        const float e = size * 0.3f;
        Triangle t =
            makeSmoothTriangle(c + randomPoint(rng, e), c + randomPoint(rng, e), c + randomPoint(rng, e), 0);
        m.bounds.grow(t.bounds);
        s.hostTriangles.push_back(t);
    }
    s.movables.push_back(m);
}

void makeMixedScene(Scene& s, int soup, std::mt19937& rng) {
    addRandomSoup(s, soup, rng);
    addGrid(s, 12, 0.0f, 1.0f);
    addAxisAlignedBoxes(s, 6, rng);
    addDegenerates(s, rng);
    finishScene(s);
}

std::vector<Ray> makeRays(const aabb& box, int count, std::mt19937& rng) {
    std::vector<Ray> rays;
    const Vector3d c = (box.min + box.max) * 0.5f;
    const float r = length(box.max - box.min);
    for (int i = 0; i < count; ++i) {
        Vector3d o;
        if (i % 2 == 0) {
            o = c + normalize(randomPoint(rng, 1.0f)) * r;  // outside
        } else {
            o = Vector3d(uni(rng, box.min.x, box.max.x), uni(rng, box.min.y, box.max.y),
                         uni(rng, box.min.z, box.max.z));
        }
        Vector3d target(uni(rng, box.min.x, box.max.x), uni(rng, box.min.y, box.max.y),
                        uni(rng, box.min.z, box.max.z));
        Vector3d d = normalize(target - o);
        if (i % 7 == 3) d[i % 3] = 0.0f;  // parallel to the planes of one axis
        if (i % 11 == 5) {
            d = Vector3d();
            d[i % 3] = (i & 1) ? 1.0f : -1.0f;  // along one axis
        }
        rays.emplace_back(o, normalize(d));
    }
    return rays;
}

bool woopHit(const HostArrays& a, int tri, const Ray& ray, float tmin, float tmax, float& t, float& u,
             float& v) {
    SurfaceHitRecord h;
    if (!TreeTraversal::computeHit(a.woop.data(), a.tris.data(), ray, tri, tmin, tmax, h)) return false;
    t = h.t;
    u = v = 0.0f;
    return true;
}

BruteHit bruteWoop(const HostArrays& a, const Ray& ray, float tmin, float tmax) {
    BruteHit best;
    for (int i = 0; i < static_cast<int>(a.tris.size()); ++i) {
        float t, u, v;
        if (woopHit(a, i, ray, tmin, tmax, t, u, v) && t < best.t) {
            best.t = t;
            best.tri = i;
        }
    }
    return best;
}

bool mtHit(const deviceTriangle& tri, const Vector3d& off, const Ray& ray, float tmin, float tmax, float& t,
           float& u, float& v) {
    const Vector3d p1 = tri.p1 + off;
    const Vector3d e1 = tri.p2 + off - p1;
    const Vector3d e2 = tri.p3 + off - p1;
    const Vector3d q = cross(ray.direction, e2);
    const float inv = 1.0f / dot(e1, q);
    const Vector3d s = ray.origin - p1;
    u = inv * dot(s, q);
    if (u < 0.0f || u > 1.0f) return false;
    const Vector3d r = cross(s, e1);
    v = inv * dot(ray.direction, r);
    if (v < 0.0f || u + v > 1.0f) return false;
    t = inv * dot(e2, r);
    return tmin <= t && t <= tmax;
}

Vector3d offsetOf(const Scene& scene, int tri) {
    for (const Movable& m : scene.movables)
        if (tri >= m.firstTriangle && tri < m.firstTriangle + m.triangleCount) return m.offset;
    return Vector3d();
}

BruteHit bruteMT(const Scene& scene, const HostArrays& a, const Ray& ray, float tmin, float tmax) {
    BruteHit best;
    for (int i = 0; i < static_cast<int>(a.tris.size()); ++i) {
        float t, u, v;
        if (mtHit(a.tris[i], offsetOf(scene, i), ray, tmin, tmax, t, u, v) && t < best.t) {
            best.t = t;
            best.tri = i;
        }
    }
    return best;
}

}  // namespace lumenar::test
