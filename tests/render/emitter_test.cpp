// Light sampling of emitters as the scene loader builds them: the density of
// a sampled point is a true solid-angle density, also where the emitter is
// smooth-shaded and its vertex normals lean away from the face.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "device/memory.h"
#include "device/random.h"
#include "render/bounce.h"
#include "scene/input_parser.h"

using namespace lumenar;

namespace {

template <class T>
std::vector<T> download(const T* p, std::size_t n) {
    std::vector<T> v(n);
    if (n) device::copyToHost(v.data(), p, n * sizeof(T));
    return v;
}

// Solid angle of triangle (a, b, c) seen from the origin (Van Oosterom and
// Strackee).
double solidAngle(const Vector3d& a3, const Vector3d& b3, const Vector3d& c3) {
    const double a[3] = {a3.x, a3.y, a3.z}, b[3] = {b3.x, b3.y, b3.z}, c[3] = {c3.x, c3.y, c3.z};
    auto dotd = [](const double* u, const double* v) { return u[0] * v[0] + u[1] * v[1] + u[2] * v[2]; };
    const double bxc[3] = {b[1] * c[2] - b[2] * c[1], b[2] * c[0] - b[0] * c[2], b[0] * c[1] - b[1] * c[0]};
    const double la = std::sqrt(dotd(a, a)), lb = std::sqrt(dotd(b, b)), lc = std::sqrt(dotd(c, c));
    const double num = std::fabs(dotd(a, bxc));
    const double den = la * lb * lc + dotd(a, b) * lc + dotd(a, c) * lb + dotd(b, c) * la;
    return 2.0 * std::atan2(num, den);
}

const char* kMaterials =
    "t\nmaterial\n2\n\n"
    "mtl 0 wall\nbasecolor 0.5 0.5 0.5\nspecular 0 0 0\nemission 0 0 0\ntransmission 1 1 1\n"
    "metalness 0\nanisotropic False\nroughness 1\nroughnessY 1\ntransparency 0\nIOR 1\ntex 0\n"
    "rsc 0\nabsorption 0 0 0\n"
    "mtl 1 lamp\nbasecolor 0 0 0\nspecular 0 0 0\nemission 4 4 4\ntransmission 1 1 1\n"
    "metalness 0\nanisotropic False\nroughness 1\nroughnessY 1\ntransparency 0\nIOR 1\ntex 0\n"
    "rsc 0\nabsorption 0 0 0\n";

}  // namespace

// A lamp triangle facing down, given once flat and once smooth-shaded with
// vertex normals leaning up to 50 degrees off the face: seen from points
// below it, the mean of 1 / density over sampled points is the triangle's
// solid angle, and a direction that meets the lamp has the same density
// whether light sampling drew it or a BSDF sample found the lamp.
TEST(EmitterSampling, DensityIsPerSolidAngleForFlatAndSmoothLamps) {
    const std::string flat =
        "mesh 1\n\no 0 lamp\nv -1 2 -1\nv 1.5 2 -0.5\nv 0 2 1.2\nusemtl 1 lamp\nf 1 2 3\n";
    const std::string smooth =
        "mesh 1\n\no 0 lamp\nv -1 2 -1\nv 1.5 2 -0.5\nv 0 2 1.2\n"
        "vn 0.766 -0.643 0\nvn 0 -0.8 0.6\nvn -0.3 -0.954 0\ns on\nusemtl 1 lamp\nf 1//1 3//3 2//2\n";
    for (const std::string& mesh : {flat, smooth}) {
        SCOPED_TRACE(mesh == flat ? "flat" : "smooth");
        Scene s;
        aabb bounds = initialSceneBox();
        float4* woop = nullptr;
        testing::internal::CaptureStdout();
        const ParseStatus st = parseSceneText(std::string(kMaterials) + mesh, "input", s, bounds, &woop);
        const std::string out = testing::internal::GetCapturedStdout();
        ASSERT_EQ(st, ParseStatus::Ok) << out;
        ASSERT_EQ(s.lightCount, 1);
        std::vector<deviceLightTriangle> records = emissiveTriangleRecords(
            s.hostTriangles, s.materials.data(), static_cast<int>(s.materials.size()));
        prepareLightChoice(records);
        ASSERT_EQ(records.size(), 1u);
        const deviceLightTriangle l = records[0];
        const deviceTriangle tri = download(s.deviceTriangles, 1)[0];
        const std::vector<Material>& mats = s.materials;
        // The face is the plane y = 2; vertex normals point down, so it
        // emits downwards.
        EXPECT_NEAR(l.normal.y, -1.0f, 1e-6f);

        for (const Vector3d x : {Vector3d(0, 0, 0), Vector3d(2, 1, -1), Vector3d(-0.5f, 1.7f, 0.3f)}) {
            const double omega = solidAngle(l.p1 - x, l.p2 - x, l.p3 - x);
            XorwowState rng;
            xorwowInit(99, &rng);
            const int n = 200000;
            double sum = 0.0, sum2 = 0.0;
            for (int i = 0; i < n; ++i) {
                const float xa = xorwowUniform(&rng), xb = xorwowUniform(&rng);
                const LightSample ls = sampleLightPoint(l, x, xa, xb);
                ASSERT_GT(ls.pdf, 0.0f);
                const double w = 1.0 / ls.pdf;
                sum += w;
                sum2 += w * w;
                if (i % 1000 == 0) {
                    const EmitterHit e = emitterHitOf(tri, mats.data(), ls.dist);
                    ASSERT_TRUE(e.found);
                    const float along = lightPdfAlong(e.normal, e.invArea, ls.dist, ls.dir, l.choicePdf);
                    EXPECT_NEAR(along, ls.pdf, 1e-4f * ls.pdf);
                }
            }
            const double mean = sum / n, se = std::sqrt((sum2 / n - mean * mean) / n);
            EXPECT_NEAR(mean, omega, 4.0 * se + 1e-6) << "at " << x.x << " " << x.y << " " << x.z;
        }
    }
}
