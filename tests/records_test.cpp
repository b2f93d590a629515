#include "scene/records.h"

#include <gtest/gtest.h>

#include "scene/camera.h"
#include "render/path_state.h"
#include "scene/scene.h"

using namespace lumenar;

// Sizes and offsets are pinned by static_asserts next to the records; these
// tests cover the behaviour the records carry.

TEST(Records, EmptyBoxGrowsToWhatItAbsorbs) {
    aabb b;
    EXPECT_TRUE(b.isEmpty());
    EXPECT_EQ(b.min.x, 99999.0f);
    EXPECT_EQ(b.max.z, -99999.0f);
    b.grow(Vector3d(1, -2, 3));
    EXPECT_FALSE(b.isEmpty());
    EXPECT_EQ(b.min.y, -2.0f);
    EXPECT_EQ(b.max.y, -2.0f);
    b.grow(aabb(Vector3d(-5, 0, 0), Vector3d(0, 10, 2)));
    EXPECT_EQ(b.min.x, -5.0f);
    EXPECT_EQ(b.max.x, 1.0f);
    EXPECT_EQ(b.max.y, 10.0f);
    EXPECT_EQ(b.min.z, 0.0f);
    EXPECT_EQ(b.max.z, 3.0f);
    aabb empty;
    b.grow(empty);  // growing by an empty box changes nothing
    EXPECT_EQ(b.min.x, -5.0f);
    EXPECT_EQ(b.max.x, 1.0f);
}

TEST(Records, EmissionMarksEmissiveMaterials) {
    Material m{};
    m.basecolor = Color(1, 1, 1);
    m.specular = Color(1, 1, 1);
    EXPECT_FALSE(m.isEmissive());
    m.emission = Color(0, 0, 1e-9f);
    EXPECT_TRUE(m.isEmissive());
}

TEST(Records, VolumeConstructorsSetTheirTypeAndOnlyTheirFields) {
    const Vector3d lo(0, 0, 0), hi(1, 2, 3);
    const Color sa(0.1f, 0.2f, 0.3f), ss(0.4f, 0.5f, 0.6f), le(0, 0, 0);
    Volume h(lo, hi, sa, ss, le, 0.3f);
    EXPECT_EQ(h.volumeType, kHomogeneous);
    EXPECT_EQ(h.bounds.max.z, 3.0f);
    EXPECT_EQ(h.sigma_s.g, 0.5f);
    EXPECT_EQ(h.g, 0.3f);
    EXPECT_EQ(h.densityData, nullptr);
    EXPECT_EQ(h.gridX, 0);

    Volume e(lo, hi, sa, ss, le, 0.0f, 2.0f, 0.5f, Vector3d(0, -4, 0));
    EXPECT_EQ(e.volumeType, kExponential);
    EXPECT_EQ(e.a, 2.0f);
    EXPECT_EQ(e.b, 0.5f);
    EXPECT_FLOAT_EQ(e.gravity.y, -1.0f);  // normalised

    float data[8] = {};
    Volume c(lo, hi, sa, ss, le, 0.0f, 2, 2, 2, data);
    EXPECT_EQ(c.volumeType, kCustomized);
    EXPECT_EQ(c.gridZ, 2);
    EXPECT_EQ(c.densityData, data);
    c.densityData = nullptr;  // not owned here
}

TEST(Records, SceneStartsEmptyWithTheDefaultCamera) {
    Scene s;
    EXPECT_TRUE(s.bounds.isEmpty());
    EXPECT_EQ(s.triangleCount, 0);
    EXPECT_EQ(s.lightCount, 0);
    EXPECT_EQ(s.deviceTriangles, nullptr);
    EXPECT_EQ(s.camera.width, 256);
    EXPECT_FLOAT_EQ(s.camera.direction.z, -1.0f);
    const aabb start = initialSceneBox();
    EXPECT_EQ(start.min.x, 99999.0f);
    EXPECT_EQ(start.max.x, -199998.0f);
}
