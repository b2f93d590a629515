// Build and query speed of the kd-tree and the dynamic BVH against Embree 3
// on the same triangles and the same stored rays. Without Embree (built
// without LUMENAR_BENCH_EMBREE) our own trees run alone and the ratios are
// taken to the wide BVH.
#include <benchmark/benchmark.h>
#if defined(LUMENAR_BENCH_EMBREE)
#include <embree3/rtcore.h>
#endif
#include <tbb/blocked_range.h>
#include <tbb/global_control.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "accel/bvh.h"
#include "accel/kdtree.h"
#include "accel/traversal.h"
#include "scene/triangle_setup.h"

using namespace lumenar;

namespace {

// ---- scenes ------------------------------------------------------------

Triangle flatTriangle(const Vector3d& a, const Vector3d& b, const Vector3d& c, int material) {
    Triangle t{};
    t.materialIndex = material;
    t.p1 = a;
    t.p2 = b;
    t.p3 = c;
    t.normal1 = t.normal2 = t.normal3 = cross(b - a, c - a);
    finishTriangle(t);
    return t;
}

void addQuad(std::vector<Triangle>& out, const Vector3d& a, const Vector3d& b, const Vector3d& c,
             const Vector3d& d, int material) {
    out.push_back(flatTriangle(a, b, c, material));
    out.push_back(flatTriangle(a, c, d, material));
}

void finish(Scene& s) {
    s.triangleCount = static_cast<int32_t>(s.hostTriangles.size());
    s.bounds = aabb();
    for (const Triangle& t : s.hostTriangles) s.bounds.grow(t.bounds);
    s.movableCount = static_cast<int32_t>(s.movables.size());
}

// The closed box with an area light and the bunny as movable object 0.
bool makeDefaultScene(Scene& s) {
    std::ifstream in("/usr/share/glmark2/models/bunny.obj");
    if (!in) {
        std::fprintf(
            stderr,
            "The bunny mesh (/usr/share/glmark2/models/bunny.obj, package glmark2-data) is missing\n");
        return false;
    }
    std::vector<Vector3d> v;
    std::vector<Triangle> bunny;
    aabb b;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream ls(line);
        std::string tag;
        ls >> tag;
        if (tag == "v") {
            Vector3d p;
            ls >> p.x >> p.y >> p.z;
            v.push_back(p);
            b.grow(p);
        } else if (tag == "f") {
            int i, j, k;
            ls >> i >> j >> k;
            bunny.push_back(flatTriangle(v[i - 1], v[j - 1], v[k - 1], 0));
        }
    }
    // Fit the bunny into the lower middle of a 10 x 10 x 10 box.
    const Vector3d e = b.max - b.min;
    const float scale = 5.0f / std::max(e.x, std::max(e.y, e.z));
    const Vector3d shift =
        Vector3d(5, 0, 5) - Vector3d((b.min.x + b.max.x) * 0.5f, b.min.y, (b.min.z + b.max.z) * 0.5f) * scale;
    Movable m{};
    m.firstTriangle = 0;
    m.triangleCount = static_cast<int32_t>(bunny.size());
    for (Triangle& t : bunny) {
        t = flatTriangle(t.p1 * scale + shift, t.p2 * scale + shift, t.p3 * scale + shift, 0);
        m.bounds.grow(t.bounds);
        s.hostTriangles.push_back(t);
    }
    s.movables.push_back(m);
    const float L = 10.0f;
    auto P = [](float x, float y, float z) { return Vector3d(x, y, z); };
    addQuad(s.hostTriangles, P(0, 0, 0), P(L, 0, 0), P(L, 0, L), P(0, 0, L), 3);  // floor
    addQuad(s.hostTriangles, P(0, L, 0), P(0, L, L), P(L, L, L), P(L, L, 0), 3);  // ceiling
    addQuad(s.hostTriangles, P(0, 0, L), P(L, 0, L), P(L, L, L), P(0, L, L), 3);  // back
    addQuad(s.hostTriangles, P(0, 0, 0), P(0, 0, L), P(0, L, L), P(0, L, 0), 1);  // left
    addQuad(s.hostTriangles, P(L, 0, 0), P(L, L, 0), P(L, L, L), P(L, 0, L), 2);  // right
    addQuad(s.hostTriangles, P(0, 0, 0), P(0, L, 0), P(L, L, 0), P(L, 0, 0), 3);  // front
    addQuad(s.hostTriangles, P(4, L - 0.01f, 4), P(6, L - 0.01f, 4), P(6, L - 0.01f, 6), P(4, L - 0.01f, 6),
            4);
    finish(s);
    return true;
}

// A bumpy sphere of 2 * n * n triangles.
void makeSphereScene(Scene& s, int n) {
    auto point = [n](int i, int j) {
        const float th = 3.14159265f * i / n, ph = 6.2831853f * j / n;
        const float r = 5.0f + 0.3f * std::sin(7.0f * th) * std::cos(9.0f * ph) + 0.1f * std::sin(31.0f * ph);
        return Vector3d(r * std::sin(th) * std::cos(ph), r * std::cos(th), r * std::sin(th) * std::sin(ph));
    };
    s.hostTriangles.reserve(2 * static_cast<std::size_t>(n) * n);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            const Vector3d a = point(i, j), b = point(i + 1, j), c = point(i + 1, j + 1), d = point(i, j + 1);
            s.hostTriangles.push_back(flatTriangle(a, b, c, 0));
            s.hostTriangles.push_back(flatTriangle(a, c, d, 0));
        }
    finish(s);
}

// ---- Embree ------------------------------------------------------------

#if defined(LUMENAR_BENCH_EMBREE)

struct EmbreeScene {
    RTCDevice device = nullptr;
    RTCScene scene = nullptr;
    EmbreeScene(const Scene& s, RTCBuildQuality quality, const char* config = nullptr) {
        device = rtcNewDevice(config);
        scene = rtcNewScene(device);
        rtcSetSceneBuildQuality(scene, quality);
        RTCGeometry g = rtcNewGeometry(device, RTC_GEOMETRY_TYPE_TRIANGLE);
        rtcSetGeometryBuildQuality(g, quality);
        const std::size_t n = s.hostTriangles.size();
        float* vb = static_cast<float*>(rtcSetNewGeometryBuffer(g, RTC_BUFFER_TYPE_VERTEX, 0,
                                                                RTC_FORMAT_FLOAT3, 3 * sizeof(float), 3 * n));
        unsigned* ib = static_cast<unsigned*>(
            rtcSetNewGeometryBuffer(g, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT3, 3 * sizeof(unsigned), n));
        for (std::size_t i = 0; i < n; ++i) {
            const Triangle& t = s.hostTriangles[i];
            const Vector3d p[3] = {t.p1, t.p2, t.p3};
            for (int k = 0; k < 3; ++k) {
                vb[9 * i + 3 * k + 0] = p[k].x;
                vb[9 * i + 3 * k + 1] = p[k].y;
                vb[9 * i + 3 * k + 2] = p[k].z;
                ib[3 * i + k] = static_cast<unsigned>(3 * i + k);
            }
        }
        rtcCommitGeometry(g);
        rtcAttachGeometry(scene, g);
        rtcReleaseGeometry(g);
        rtcCommitScene(scene);
    }
    ~EmbreeScene() {
        rtcReleaseScene(scene);
        rtcReleaseDevice(device);
    }
    float closest(const Ray& r) const {
        RTCIntersectContext ctx;
        rtcInitIntersectContext(&ctx);
        RTCRayHit rh;
        rh.ray.org_x = r.origin.x;
        rh.ray.org_y = r.origin.y;
        rh.ray.org_z = r.origin.z;
        rh.ray.dir_x = r.direction.x;
        rh.ray.dir_y = r.direction.y;
        rh.ray.dir_z = r.direction.z;
        rh.ray.tnear = kRayEpsilon;
        rh.ray.tfar = kRayMaxT;
        rh.ray.mask = ~0u;
        rh.ray.flags = 0;
        rh.ray.time = 0.0f;
        rh.hit.geomID = RTC_INVALID_GEOMETRY_ID;
        rtcIntersect1(scene, &ctx, &rh);
        return rh.hit.geomID == RTC_INVALID_GEOMETRY_ID ? -1.0f : rh.ray.tfar;
    }
    bool occluded(const Ray& r, float dist) const {
        RTCIntersectContext ctx;
        rtcInitIntersectContext(&ctx);
        RTCRay ray;
        ray.org_x = r.origin.x;
        ray.org_y = r.origin.y;
        ray.org_z = r.origin.z;
        ray.dir_x = r.direction.x;
        ray.dir_y = r.direction.y;
        ray.dir_z = r.direction.z;
        ray.tnear = kRayEpsilon;
        ray.tfar = static_cast<float>(static_cast<double>(dist) - 0.001);
        ray.mask = ~0u;
        ray.flags = 0;
        ray.time = 0.0f;
        rtcOccluded1(scene, &ctx, &ray);
        return ray.tfar < 0.0f;
    }
    // Distance and geometric normal of the nearest hit (t < 0: none).
    float closestWithNormal(const Ray& r, Vector3d& n) const {
        RTCIntersectContext ctx;
        rtcInitIntersectContext(&ctx);
        RTCRayHit rh{};
        rh.ray.org_x = r.origin.x;
        rh.ray.org_y = r.origin.y;
        rh.ray.org_z = r.origin.z;
        rh.ray.dir_x = r.direction.x;
        rh.ray.dir_y = r.direction.y;
        rh.ray.dir_z = r.direction.z;
        rh.ray.tnear = kRayEpsilon;
        rh.ray.tfar = kRayMaxT;
        rh.ray.mask = ~0u;
        rh.hit.geomID = RTC_INVALID_GEOMETRY_ID;
        rtcIntersect1(scene, &ctx, &rh);
        if (rh.hit.geomID == RTC_INVALID_GEOMETRY_ID) return -1.0f;
        n = normalize(Vector3d(rh.hit.Ng_x, rh.hit.Ng_y, rh.hit.Ng_z));
        return rh.ray.tfar;
    }
};
#endif

// ---- our trees ---------------------------------------------------------

struct Ours {
    Scene scene;
    std::vector<float4> woop;
    std::vector<deviceTriangle> tris;
    KdTree kd;
    BVHTree bvh;
    BVHTree bvhSweep;  // the exact sweep build, for the binned tree's quality
    aabb box;
    explicit Ours() {}
    void build() {
        woop = buildWoopArray(scene.hostTriangles);
        tris = buildDeviceTriangles(scene.hostTriangles);
        aabb b = scene.bounds;
        kd.build(&scene, b, KdTree::kClipping);
        bvh.buildDynamic(&scene);
        bvhSweep.method = BVHTree::Method::Sweep;
        {
            // Its own copy of the movable objects: each build sets their
            // subtree roots.
            const std::vector<Movable> movables = scene.movables;
            bvhSweep.buildDynamic(&scene);
            sweepMovables = scene.movables;
            scene.movables = movables;
        }
        box = aabb(kd.bbox.min - (kd.bbox.max - kd.bbox.min) * 0.05f, kd.bbox.max);
        box.max = box.min + (kd.bbox.max - kd.bbox.min) * 1.1f;
    }
    float kdClosest(TreeTraversal& tr, const Ray& r) const {
        SurfaceHitRecord h;
        return tr.intersect(r, &h, woop.data(), kd.nodeRecords.data(), kd.triIndices.data(), tris.data(),
                            nullptr, box)
                   ? h.t
                   : -1.0f;
    }
    std::vector<Movable> sweepMovables;
    // The wide layout (what the tracer walks) and the binary one it is
    // derived from.
    WideBVHView wide() const { return const_cast<BVHTree&>(bvh).hostWideView(); }
    float sweepClosest(TreeTraversal& tr, const Ray& r) const {
        SurfaceHitRecord h;
        return tr.intersectMov(r, &h, const_cast<BVHTree&>(bvhSweep).hostWideView(), sweepMovables.data(),
                               tris.data())
                   ? h.t
                   : -1.0f;
    }
    bool sweepOccluded(TreeTraversal& tr, const Ray& r, float d) const {
        return tr.occludeMov(r, d, const_cast<BVHTree&>(bvhSweep).hostWideView(), sweepMovables.data());
    }
    float bvhClosest(TreeTraversal& tr, const Ray& r) const {
        SurfaceHitRecord h;
        return tr.intersectMov(r, &h, wide(), scene.movables.data(), tris.data()) ? h.t : -1.0f;
    }
    bool bvhOccluded(TreeTraversal& tr, const Ray& r, float d) const {
        return tr.occludeMov(r, d, wide(), scene.movables.data());
    }
    float binaryClosest(TreeTraversal& tr, const Ray& r) const {
        SurfaceHitRecord h;
        return tr.intersectMov(r, &h, bvh.nodeRecords.data(), bvh.triIndices.data(), scene.movables.data(),
                               tris.data(), nullptr, box)
                   ? h.t
                   : -1.0f;
    }
    bool kdOccluded(TreeTraversal& tr, const Ray& r, float d) const {
        return tr.occlude(r, d, woop.data(), kd.nodeRecords.data(), kd.triIndices.data(), tris.data(),
                          nullptr, box);
    }
    bool binaryOccluded(TreeTraversal& tr, const Ray& r, float d) const {
        return tr.occludeMov(r, d, bvh.nodeRecords.data(), bvh.triIndices.data(), scene.movables.data(),
                             tris.data(), nullptr, box);
    }
};

// Node visits of the BVH walk for one closest-hit ray (same order and
// culling as the traversal).
int bvhVisits(const Ours& o, const Ray& ray) {
    int stack[kBvhStackSize];
    int top = -1, node = 0, visits = 0;
    float t1 = kRayMaxT;
    for (;;) {
        ++visits;
        const DynamicBVHNodeProp& n = o.bvh.nodeRecords[node];
        const Vector3d off = n.object >= 0 ? o.scene.movables[n.object].offset : Vector3d();
        float t0 = kRayEpsilon, t1c = t1;
        if (TreeTraversal::clipToBox(aabb(n.box.min + off, n.box.max + off), ray, t0, t1c)) {
            if (!n.isLeaf()) {
                const bool neg = ray.direction[n.axis()] < 0.0f;
                stack[++top] = neg ? n.first() : n.second;
                node = neg ? n.second : n.first();
                continue;
            }
            for (int i = 0; i < n.triCount(); ++i) {
                SurfaceHitRecord h;
                TreeTraversal tr;
                const int tri = o.bvh.triIndices[n.triStart() + i];
                // Moller-Trumbore and the unit-triangle test agree to rounding here.
                if (TreeTraversal::computeHit(o.woop.data(), o.tris.data(), ray, tri, kRayEpsilon, t1, h))
                    t1 = h.t;
            }
        }
        if (top < 0) return visits;
        node = stack[top--];
    }
}

// Kd-tree node visits (inner and leaf records read) for one closest-hit ray:
// the walk of the traversal (empty leaves skipped on their parent's word, a
// leaf accepts hits up to its exit, pending cells that start beyond the hit
// in hand are dropped), counting. Also counts the leaves with triangles
// reached and the triangle tests.
int kdVisits(const Ours& o, const Ray& ray, long long& leaves, long long& tests) {
    struct E {
        int node;
        float t0, t1;
    } stack[kKdStackSize];
    int top = -1, visits = 0;
    float t0 = kRayEpsilon, t1 = kRayMaxT;
    if (!TreeTraversal::clipToBox(o.box, ray, t0, t1)) return 0;
    auto up = [](float t) { return t + std::fabs(t) * 1e-5f; };
    float best = kRayMaxT;
    bool any = false;
    int node = 0;
    const std::vector<NodeProp>& rec = o.kd.nodeRecords;
    for (;;) {
        bool leaf = true;
        for (;;) {
            const NodeProp& n = rec[static_cast<std::size_t>(node)];
            ++visits;
            if (n.isLeaf()) break;
            const int a = n.axis();
            const float d = ray.direction[a], org = ray.origin[a];
            const float inv = 1.0f / (d == 0.0f ? 0.0f : d);
            const float ts = (n.split - org) * inv;
            const bool down = d < 0.0f;
            const int nearC = down ? n.upperChild() : node + 1, farC = down ? node + 1 : n.upperChild();
            const bool nearSide = !(ts < t0) && !(down ? n.upperEmpty() : n.lowerEmpty());
            const bool farSide = !(ts > t1) && !(down ? n.lowerEmpty() : n.upperEmpty());
            const float farEntry = std::fmax(t0, ts);
            if (nearSide && farSide && (!any || farEntry <= up(best))) stack[++top] = {farC, farEntry, t1};
            if (nearSide) {
                t1 = std::fmin(t1, ts);
                node = nearC;
            } else if (farSide) {
                t0 = farEntry;
                node = farC;
            } else {
                leaf = false;
                break;
            }
        }
        if (leaf) {
            const NodeProp& n = rec[static_cast<std::size_t>(node)];
            const int count = n.triCount();
            leaves += count > 0;
            tests += count;
            for (int i = 0; i < count; ++i) {
                SurfaceHitRecord h;
                const int tri = o.kd.triIndices[n.start() + static_cast<uint32_t>(i)];
                if (TreeTraversal::computeHit(o.woop.data(), o.tris.data(), ray, tri, 0.0f,
                                              std::min(best, up(t1)), h)) {
                    best = h.t;
                    any = true;
                }
            }
        }
        for (;;) {
            if (top < 0) return visits;
            const E e = stack[top--];
            if (any && e.t0 > up(best)) continue;
            node = e.node;
            t0 = e.t0;
            t1 = e.t1;
            break;
        }
    }
}

// ---- ray sets ----------------------------------------------------------

struct RaySet {
    std::vector<Ray> rays;
    std::vector<float> dist;  // occlusion distances
};

bool loadRays(const std::string& path, RaySet& s) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    uint64_t n = 0;
    in.read(reinterpret_cast<char*>(&n), sizeof n);
    s.rays.resize(n);
    s.dist.resize(n);
    in.read(reinterpret_cast<char*>(s.rays.data()), static_cast<std::streamsize>(n * sizeof(Ray)));
    in.read(reinterpret_cast<char*>(s.dist.data()), static_cast<std::streamsize>(n * sizeof(float)));
    return static_cast<bool>(in);
}

void storeRays(const std::string& path, const RaySet& s) {
    std::ofstream out(path, std::ios::binary);
    const uint64_t n = s.rays.size();
    out.write(reinterpret_cast<const char*>(&n), sizeof n);
    out.write(reinterpret_cast<const char*>(s.rays.data()), static_cast<std::streamsize>(n * sizeof(Ray)));
    out.write(reinterpret_cast<const char*>(s.dist.data()), static_cast<std::streamsize>(n * sizeof(float)));
}

// The reference for the ray sets' camera hits: Embree where built with it,
// else the wide BVH (so that both trees see the same rays either way).
struct Reference {
#if defined(LUMENAR_BENCH_EMBREE)
    const EmbreeScene* embree;
    float closestWithNormal(const Ray& r, Vector3d& n) const {
        return embree->closestWithNormal(r, n);
    }
#else
    const Ours* ours;
    float closestWithNormal(const Ray& r, Vector3d& n) const {
        TreeTraversal tr;
        SurfaceHitRecord h;
        if (!tr.intersectMov(r, &h, ours->wide(), ours->scene.movables.data(), ours->tris.data()))
            return -1.0f;
        const Triangle& t = ours->scene.hostTriangles[h.triangleIndex];
        n = normalize(cross(t.p2 - t.p1, t.p3 - t.p1));
        return h.t;
    }
#endif
};

// Camera rays through a 320 x 240 image, and one cosine-distributed bounce
// from every camera hit (hits found with the reference, so both trees see
// the same).
void makeRays(const Scene& scene, const Reference& ref, const Vector3d& eye, const Vector3d& look,
              RaySet& camera, RaySet& diffuse) {
    const int W = 320, H = 240;
    const Vector3d fwd = normalize(look - eye);
    const Vector3d right = normalize(cross(fwd, Vector3d(0, 1, 0)));
    const Vector3d up = cross(right, fwd);
    std::mt19937 rng(1234);
    std::uniform_real_distribution<float> uni(0.0f, 1.0f);
    const float span = 0.7f;
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            const float u = ((x + uni(rng)) / W * 2.0f - 1.0f) * span * W / H;
            const float v = ((y + uni(rng)) / H * 2.0f - 1.0f) * span;
            const Ray r(eye, normalize(fwd + right * u + up * v));
            camera.rays.push_back(r);
            Vector3d n;
            const float t = ref.closestWithNormal(r, n);
            camera.dist.push_back(t > 0 ? t * (0.5f + uni(rng)) : 20.0f * uni(rng) + 0.01f);
            if (t <= 0) continue;
            const Vector3d p = r.at(t);
            if (dot(n, r.direction) > 0) n = -n;
            const Vector3d a = std::fabs(n.x) > 0.9f ? Vector3d(0, 1, 0) : Vector3d(1, 0, 0);
            const Vector3d tx = normalize(cross(a, n)), ty = cross(n, tx);
            const float r1 = uni(rng), r2 = uni(rng);
            const float phi = 6.2831853f * r1, sr = std::sqrt(r2);
            const Vector3d d =
                normalize(tx * (std::cos(phi) * sr) + ty * (std::sin(phi) * sr) + n * std::sqrt(1 - r2));
            diffuse.rays.emplace_back(p + d * 0.0001f, d);
            diffuse.dist.push_back(0.1f + 10.0f * uni(rng));
        }
    (void)scene;
}

// ---- benchmark fixtures --------------------------------------------------

struct Case {
    std::string name;
    Ours ours;
#if defined(LUMENAR_BENCH_EMBREE)
    std::unique_ptr<EmbreeScene> embree;
#endif
    RaySet camera, diffuse;
};

std::map<std::string, std::unique_ptr<Case>>& cases() {
    static std::map<std::string, std::unique_ptr<Case>> c;
    return c;
}

Case* getCase(const std::string& name) {
    auto& c = cases();
    auto it = c.find(name);
    if (it != c.end()) return it->second.get();
    auto k = std::make_unique<Case>();
    k->name = name;
    Vector3d eye, look;
    if (name == "default") {
        if (!makeDefaultScene(k->ours.scene)) return nullptr;
        eye = Vector3d(5, 5, -9.5f);
        look = Vector3d(5, 3, 5);
        // the camera sits inside the closed box
        eye = Vector3d(5, 5, 0.5f);
    } else {
        makeSphereScene(k->ours.scene, 400);  // 320,000 triangles
        eye = Vector3d(0, 2, -14);
        look = Vector3d(0, 0, 0);
    }
    k->ours.build();
#if defined(LUMENAR_BENCH_EMBREE)
    k->embree = std::make_unique<EmbreeScene>(k->ours.scene, RTC_BUILD_QUALITY_HIGH);
    const Reference ref{k->embree.get()};
#else
    const Reference ref{&k->ours};
#endif
    const std::string pc = "bench-rays-" + name + "-camera.bin", pd = "bench-rays-" + name + "-diffuse.bin";
    if (!loadRays(pc, k->camera) || !loadRays(pd, k->diffuse)) {
        k->camera = RaySet();
        k->diffuse = RaySet();
        makeRays(k->ours.scene, ref, eye, look, k->camera, k->diffuse);
        storeRays(pc, k->camera);
        storeRays(pd, k->diffuse);
    }
    Case* raw = k.get();
    c[name] = std::move(k);
    return raw;
}

enum class Engine { Kd, Bvh, BvhSweep, BvhBinary, Embree };
enum class Query { Closest, Occlusion };

// Runs one query over a ray set, on one core or on all (one TBB loop).
double traceAll(Case& c, Engine e, Query q, const RaySet& set, bool allCores) {
    const int n = static_cast<int>(set.rays.size());
    std::vector<float> sink(1, 0.0f);
    auto one = [&](TreeTraversal& tr, int i) -> float {
        const Ray& r = set.rays[i];
        if (q == Query::Closest) {
            switch (e) {
                case Engine::Kd:
                    return c.ours.kdClosest(tr, r);
                case Engine::Bvh:
                    return c.ours.bvhClosest(tr, r);
                case Engine::BvhSweep:
                    return c.ours.sweepClosest(tr, r);
                case Engine::BvhBinary:
                    return c.ours.binaryClosest(tr, r);
                case Engine::Embree:
#if defined(LUMENAR_BENCH_EMBREE)
                    return c.embree->closest(r);
#else
                    return 0.0f;
#endif
            }
        }
        switch (e) {
            case Engine::Kd:
                return c.ours.kdOccluded(tr, r, set.dist[i]);
            case Engine::Bvh:
                return c.ours.bvhOccluded(tr, r, set.dist[i]);
            case Engine::BvhSweep:
                return c.ours.sweepOccluded(tr, r, set.dist[i]);
            case Engine::BvhBinary:
                return c.ours.binaryOccluded(tr, r, set.dist[i]);
            case Engine::Embree:
#if defined(LUMENAR_BENCH_EMBREE)
                return c.embree->occluded(r, set.dist[i]);
#else
                return 0.0f;
#endif
        }
        return 0.0f;
    };
    double acc = 0.0;
    if (!allCores) {
        TreeTraversal tr;
        for (int i = 0; i < n; ++i) acc += one(tr, i);
    } else {
        tbb::parallel_for(tbb::blocked_range<int>(0, n, 256), [&](const tbb::blocked_range<int>& r) {
            TreeTraversal tr;
            double local = 0.0;
            for (int i = r.begin(); i != r.end(); ++i) local += one(tr, i);
            benchmark::DoNotOptimize(local);
        });
    }
    return acc;
}

const char* engineName(Engine e) {
    return e == Engine::Kd          ? "Kd"
           : e == Engine::Bvh       ? "Bvh"
           : e == Engine::BvhSweep  ? "BvhSweep"
           : e == Engine::BvhBinary ? "BvhBinary"
                                    : "Embree";
}

#if defined(LUMENAR_BENCH_EMBREE)
constexpr Engine kEngines[] = {Engine::Kd, Engine::Bvh, Engine::BvhSweep, Engine::BvhBinary, Engine::Embree};
const char* const kReference = "Embree";
#else
constexpr Engine kEngines[] = {Engine::Kd, Engine::Bvh, Engine::BvhSweep, Engine::BvhBinary};
const char* const kReference = "Bvh";
#endif

void registerQueries(const std::string& scene) {
    for (Engine e : kEngines)
        for (Query q : {Query::Closest, Query::Occlusion})
            for (const char* set : {"camera", "diffuse"})
                for (bool all : {false, true}) {
                    const std::string name = std::string("Query/") + scene + "/" + set + "/" +
                                             (q == Query::Closest ? "closest" : "occlusion") + "/" +
                                             (all ? "all-cores" : "one-core") + "/" + engineName(e);
                    const std::string setName = set;
                    benchmark::RegisterBenchmark(
                        name.c_str(),
                        [=](benchmark::State& st) {
                            Case* c = getCase(scene);
                            if (!c) {
                                st.SkipWithError("scene unavailable");
                                return;
                            }
                            const RaySet& rs = setName == "camera" ? c->camera : c->diffuse;
                            for (auto _ : st) benchmark::DoNotOptimize(traceAll(*c, e, q, rs, all));
                            st.counters["Mrays/s"] =
                                benchmark::Counter(static_cast<double>(rs.rays.size()) * 1e-6,
                                                   benchmark::Counter::kIsIterationInvariantRate);
                        })
                        ->Unit(benchmark::kMillisecond)
                        ->UseRealTime();
                }
}

void registerBuilds(const std::string& scene) {
    auto sceneOf = [scene](Scene& s) {
        if (scene == "default") return makeDefaultScene(s);
        if (scene == "million") {
            makeSphereScene(s, 707);  // 999,698 triangles
            return true;
        }
        makeSphereScene(s, 400);
        return true;
    };
    auto reg = [&](const char* what, std::function<void(Scene&)> fn) {
        const std::string name = std::string("Build/") + scene + "/" + what;
        benchmark::RegisterBenchmark(
            name.c_str(),
            [=](benchmark::State& st) {
                Scene s;
                if (!sceneOf(s)) {
                    st.SkipWithError("scene unavailable");
                    return;
                }
                for (auto _ : st) fn(s);
                st.counters["Mtris/s"] =
                    benchmark::Counter(s.triangleCount * 1e-6, benchmark::Counter::kIsIterationInvariantRate);
            })
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime()
            ->MinTime(1.0);
    };
    reg("kd-clipping", [](Scene& s) {
        KdTree kd;
        aabb b = s.bounds;
        kd.build(&s, b, KdTree::kClipping);
    });
    reg("kd-clipping-one-thread", [](Scene& s) {
        tbb::global_control one(tbb::global_control::max_allowed_parallelism, 1);
        KdTree kd;
        aabb b = s.bounds;
        kd.build(&s, b, KdTree::kClipping);
    });
    if (scene != "million") {
        reg("kd-duplicating", [](Scene& s) {
            KdTree kd;
            aabb b = s.bounds;
            kd.build(&s, b, KdTree::kDuplicating);
        });
        reg("bvh", [](Scene& s) {
            BVHTree bvh;
            bvh.buildDynamic(&s);
        });
        reg("bvh-one-thread", [](Scene& s) {
            tbb::global_control one(tbb::global_control::max_allowed_parallelism, 1);
            BVHTree bvh;
            bvh.buildDynamic(&s);
        });
        reg("bvh-sweep-one-thread", [](Scene& s) {
            tbb::global_control one(tbb::global_control::max_allowed_parallelism, 1);
            BVHTree bvh;
            bvh.method = BVHTree::Method::Sweep;
            bvh.buildDynamic(&s);
        });
#if defined(LUMENAR_BENCH_EMBREE)
        reg("embree-medium", [](Scene& s) { EmbreeScene e(s, RTC_BUILD_QUALITY_MEDIUM); });
        reg("embree-medium-one-thread",
            [](Scene& s) { EmbreeScene e(s, RTC_BUILD_QUALITY_MEDIUM, "threads=1"); });
#endif
    }
#if defined(LUMENAR_BENCH_EMBREE)
    reg("embree-high", [](Scene& s) { EmbreeScene e(s, RTC_BUILD_QUALITY_HIGH); });
    reg("embree-high-one-thread", [](Scene& s) { EmbreeScene e(s, RTC_BUILD_QUALITY_HIGH, "threads=1"); });
#endif
}

// Keeps every run's rate so the ratios can be printed at the end.
class Collector : public benchmark::ConsoleReporter {
 public:
    std::map<std::string, double> rate;  // Mrays/s, Mtris/s, or ms
    // CPU time of the timing thread per iteration (ms): on a shared machine
    // the measure that holds for one-thread runs.
    std::map<std::string, double> cpu;
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            // With --benchmark_repetitions the repetitions are followed by
            // their mean, median, deviation and variation: the mean stands
            // for them (the others are no rates).
            if (r.run_type == Run::RT_Aggregate && r.aggregate_name != "mean") continue;
            // Benchmark names carry their settings ("/min_time:1.000", "/real_time").
            std::string name = r.benchmark_name();
            for (const char* tag : {"/min_time:", "/real_time"}) {
                const std::size_t at = name.find(tag);
                if (at != std::string::npos) name.erase(at);
            }
            auto it = r.counters.find("Mrays/s");
            if (it != r.counters.end()) rate[name] = it->second;
            if (name.rfind("Build/", 0) == 0) rate[name] = r.GetAdjustedRealTime();
            cpu[name] = r.GetAdjustedCPUTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

void printSummary(const Collector& c) {
    std::printf("\nour / %s (rays per second, same rays):\n", kReference);
    for (const auto& [name, value] : c.rate) {
        if (name.rfind("Query/", 0) != 0) continue;
        const std::string suffix = std::string("/") + kReference;
        if (name.size() > suffix.size() &&
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
            continue;
        const std::string base = name.substr(0, name.rfind('/'));
        auto e = c.rate.find(base + suffix);
        if (e == c.rate.end() || e->second <= 0) continue;
        // One core: also by CPU time, which the machine's other load
        // inflates far less than the wall clock.
        const auto ours = c.cpu.find(name), theirs = c.cpu.find(base + suffix);
        if (name.find("/one-core/") != std::string::npos && ours != c.cpu.end() && theirs != c.cpu.end() &&
            ours->second > 0)
            std::printf("  %-52s %8.2f Mrays/s  ratio %.2f (by CPU time %.2f)\n", name.c_str(), value,
                        value / e->second, theirs->second / ours->second);
        else
            std::printf("  %-52s %8.2f Mrays/s  ratio %.2f\n", name.c_str(), value, value / e->second);
    }
    std::printf("\nbuild times (ms) and ratios to Embree:\n");
    for (const char* scene : {"default", "large", "million"}) {
        auto get = [&](const std::string& what) {
            auto it = c.rate.find(std::string("Build/") + scene + "/" + what);
            return it == c.rate.end() ? -1.0 : it->second;
        };
        // Thread for thread: each build against the reference's build on
        // the same number of threads.
        const double kd = get("kd-clipping"), kd1 = get("kd-clipping-one-thread"), bvh = get("bvh"),
                     bvh1 = get("bvh-one-thread"), em = get("embree-medium"),
                     em1 = get("embree-medium-one-thread"), eh = get("embree-high"),
                     eh1 = get("embree-high-one-thread");
        const auto ratio = [](double num, double den) { return num > 0 && den > 0 ? num / den : -1.0; };
        if (bvh > 0 && em > 0)
            std::printf(
                "  %-8s BVH %.1f ms (one thread %.1f); Embree medium %.1f ms (one thread %.1f): BVH build "
                "rate "
                "÷ Embree %.2f (one thread %.2f)\n",
                scene, bvh, bvh1, em, em1, em / bvh, ratio(em1, bvh1));
        if (kd > 0 && eh > 0)
            std::printf(
                "  %-8s kd clipping %.1f ms (one thread %.1f); Embree high %.1f ms (one thread %.1f): kd "
                "time ÷ "
                "Embree %.2f (one thread %.2f)\n",
                scene, kd, kd1, eh, eh1, kd / eh, ratio(kd1, eh1));
        auto cpuOf = [&](const std::string& what) {
            auto it = c.cpu.find(std::string("Build/") + scene + "/" + what);
            return it == c.cpu.end() ? -1.0 : it->second;
        };
        const double cb1 = cpuOf("bvh-one-thread"), cs1 = cpuOf("bvh-sweep-one-thread"),
                     cm1 = cpuOf("embree-medium-one-thread"), ck1 = cpuOf("kd-clipping-one-thread"),
                     ch1 = cpuOf("embree-high-one-thread");
        if (cb1 > 0 && cm1 > 0)
            std::printf(
                "  %-8s one thread by CPU time: BVH %.1f ms (sweep %.1f), Embree medium %.1f ms: rate "
                "÷ Embree %.2f\n",
                scene, cb1, cs1, cm1, cm1 / cb1);
        if (ck1 > 0 && ch1 > 0)
            std::printf(
                "  %-8s one thread by CPU time: kd clipping %.1f ms, Embree high %.1f ms: time ÷ "
                "Embree %.2f\n",
                scene, ck1, ch1, ck1 / ch1);
    }
    std::printf("\nnode visits per closest-hit ray (diffuse rays):\n");
    for (auto& [name, k] : cases()) {
        double kdv = 0, bv = 0;
        long long leaves = 0, tests = 0;
        const auto& rays = k->diffuse.rays;
        const std::size_t n = std::min<std::size_t>(rays.size(), 20000);
        for (std::size_t i = 0; i < n; ++i) {
            kdv += kdVisits(k->ours, rays[i], leaves, tests);
            bv += bvhVisits(k->ours, rays[i]);
        }
        std::printf("  %-8s kd-tree %.1f, BVH %.1f (%zu rays; %d triangles, kd %zu nodes, BVH %zu nodes)\n",
                    name.c_str(), kdv / n, bv / n, n, k->ours.scene.triangleCount, k->ours.kd.nodeCount(),
                    k->ours.bvh.nodeRecords.size());
        std::printf("  %-8s kd-tree: %.1f leaves with triangles and %.1f triangle tests per ray\n",
                    name.c_str(), static_cast<double>(leaves) / n, static_cast<double>(tests) / n);
        const KdTree& kd = k->ours.kd;
        const double nodeMB = static_cast<double>(kd.nodeCount() * sizeof(NodeProp)) / 1e6;
        const double listMB = static_cast<double>(kd.triIndices.size() * sizeof(int)) / 1e6;
        std::printf(
            "  %-8s kd-tree memory: %zu nodes x %zu bytes = %.2f MB of nodes; leaf lists %.2f MB (%zu "
            "references, %.2f x the nodes); the scene's unit-triangle maps the leaves read %.2f MB\n",
            name.c_str(), kd.nodeCount(), sizeof(NodeProp), nodeMB, listMB, kd.triIndices.size(),
            listMB / nodeMB, static_cast<double>(k->ours.woop.size() * sizeof(float4)) / 1e6);
    }
}

}  // namespace

int main(int argc, char** argv) {
    registerBuilds("default");
    registerBuilds("large");
    registerBuilds("million");
    registerQueries("default");
    registerQueries("large");
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    printSummary(collector);
    benchmark::Shutdown();
    return 0;
}
