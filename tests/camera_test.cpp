#include "scene/camera.h"

#include <gtest/gtest.h>

#include <cmath>

#include "render/primary_rays.h"

using namespace lumenar;

namespace {
void expectNear(const Vector3d& a, const Vector3d& b, float eps = 1e-5f) {
    EXPECT_NEAR(a.x, b.x, eps);
    EXPECT_NEAR(a.y, b.y, eps);
    EXPECT_NEAR(a.z, b.z, eps);
}

Camera lookingDownMinusZ() {
    Camera c;
    c.setCamera({0, 1, 5}, {0, 1, 0}, {0, 1, 0}, -1, 1, -1, 1, 1, 256, 256);
    return c;
}
}  // namespace

TEST(Camera, SetUpBuildsTheImagePlaneAndSurvivesARebuild) {
    Camera c = lookingDownMinusZ();
    expectNear(c.direction, {0, 0, -1});
    EXPECT_EQ(c.pitch, 0.0f);
    EXPECT_NEAR(std::fabs(c.yaw), 3.14159265f, 1e-6f);
    expectNear(c.planeCorner, {-1, 0, 4});
    expectNear(c.planeHorizontal, {2, 0, 0});
    expectNear(c.planeVertical, {0, 2, 0});
    expectNear(c.rayOrigin, c.position, 0.0f);

    c.updateCamera();
    expectNear(c.direction, {0, 0, -1});
    expectNear(c.planeCorner, {-1, 0, 4});
    expectNear(c.planeHorizontal, {2, 0, 0});
    expectNear(c.planeVertical, {0, 2, 0});
}

TEST(Camera, DefaultLooksDownMinusZ) {
    Camera c;
    EXPECT_EQ(c.width, 256);
    EXPECT_EQ(c.height, 256);
    expectNear(c.direction, {0, 0, -1});
    expectNear(c.planeCorner, {-1, -1, -1});
}

TEST(Camera, LookingUpAlongMinusZKeepsItsHeadingAfterRebuild) {
    Camera c;
    c.setCamera({0, 0, 0}, {0, 1, -1}, {0, 1, 0}, -1, 1, -1, 1, 1, 64, 64);
    const Vector3d before = c.direction;
    c.updateCamera();
    expectNear(c.direction, before);
    EXPECT_LT(c.direction.z, 0.0f);
}

TEST(Camera, YawWrapsIntoOneTurnAndPitchIsClamped) {
    Camera c = lookingDownMinusZ();
    c.yaw = 0.0f;
    c.addYaw(7.0f);
    EXPECT_NEAR(c.yaw, 7.0f - 6.2831855f, 1e-6f);
    c.yaw = 0.0f;
    c.addYaw(-0.5f);
    EXPECT_GE(c.yaw, 0.0f);
    EXPECT_LT(c.yaw, 6.2831855f);

    c.pitch = 0.0f;
    c.addPitch(3.0f);
    EXPECT_EQ(c.pitch, 1.5707964f);
    c.addPitch(-10.0f);
    EXPECT_EQ(c.pitch, -1.5707964f);
}

TEST(Camera, MovementOperations) {
    Camera c = lookingDownMinusZ();
    c.moveForward(2.0f);
    expectNear(c.position, {0, 1, 3});
    expectNear(c.rayOrigin, {0, 1, 3});
    c.moveSideways(1.0f);  // right of -z is +x
    expectNear(c.position, {1, 1, 3});
    c.moveVertical(-1.0f);
    expectNear(c.position, {1, 0, 3});
    c.addFocalDistance(1.0f);
    EXPECT_FLOAT_EQ(c.focalDistance, 2.0f);
    expectNear(c.planeCorner, {0, -1, 1});
}

TEST(Camera, WindowFollowsTheLongerSide) {
    CameraWindow w = windowForResolution(400, 200);
    EXPECT_EQ(w.left, -1.0f);
    EXPECT_EQ(w.right, 1.0f);
    EXPECT_EQ(w.bottom, -0.5f);
    EXPECT_EQ(w.top, 0.5f);
    w = windowForResolution(300, 600);
    EXPECT_EQ(w.left, -0.5f);
    EXPECT_EQ(w.top, 1.0f);
    w = windowForResolution(300, 300);
    EXPECT_EQ(w.left, -1.0f);
    EXPECT_EQ(w.bottom, -1.0f);
}

TEST(PrimaryRays, SamplesCoverTheirPixelCentredOnIt) {
    // o = 1: both coordinates stay inside the pixel, and a jitter of one half
    // lands on its centre.
    for (float u : {1e-7f, 0.25f, 0.99999988f}) {
        SamplePosition s = primarySamplePosition(0, 0, 256, 1, u, u);
        const float sx = s.px / 256.0f, ty = s.py / 256.0f;
        EXPECT_GT(sx, 0.0f);
        EXPECT_LT(sx, 1.0f / 256.0f);
        EXPECT_GT(ty, 0.0f);
        EXPECT_LT(ty, 1.0f / 256.0f);
        EXPECT_EQ(s.pixel, 0);
    }
    const SamplePosition c = primarySamplePosition(7, 5, 16, 1, 0.5f, 0.5f);
    EXPECT_FLOAT_EQ(c.px, 7.5f);
    EXPECT_FLOAT_EQ(c.py, 5.5f);
    // o = 2: sample (3, 1) of a 4-wide grid belongs to pixel (1, 0) of a 2-wide image.
    SamplePosition s = primarySamplePosition(3, 1, 4, 2, 0.5f, 0.5f);
    EXPECT_EQ(s.pixel, 1);
    EXPECT_FLOAT_EQ(s.px, 1.75f);
    EXPECT_FLOAT_EQ(s.py, 0.75f);
}

TEST(PrimaryRays, SupersampledPositionsStratifyTheWholePixel) {
    // For o = 1 to 4, sub-sample (i, j) of a pixel covers exactly cell (i, j)
    // of an o x o grid over the pixel: the cells are disjoint and together
    // cover the pixel, with no gap and no overlap.
    for (int o = 1; o <= 4; ++o) {
        const int W = 3, sw = o * W;
        const int px0 = 2, py0 = 1;  // pixel (2, 1)
        for (int j = 0; j < o; ++j) {
            for (int i = 0; i < o; ++i) {
                const int x = px0 * o + i, y = py0 * o + j;
                const SamplePosition lo = primarySamplePosition(x, y, sw, o, 1e-7f, 1e-7f);
                const SamplePosition hi = primarySamplePosition(x, y, sw, o, 0.99999988f, 0.99999988f);
                EXPECT_EQ(lo.pixel, py0 * W + px0);
                EXPECT_NEAR(lo.px, px0 + static_cast<float>(i) / o, 1e-5f) << o;
                EXPECT_NEAR(hi.px, px0 + static_cast<float>(i + 1) / o, 1e-5f) << o;
                EXPECT_NEAR(lo.py, py0 + static_cast<float>(j) / o, 1e-5f) << o;
                EXPECT_NEAR(hi.py, py0 + static_cast<float>(j + 1) / o, 1e-5f) << o;
            }
        }
    }
}

TEST(Camera, PitchedCameraKeepsSquarePixels) {
    // A square window on a square image: the image-plane vectors must stay
    // orthogonal and of equal length however far the camera looks up or down.
    for (float pitchDeg : {0.0f, 30.0f, 60.0f, -75.0f, 89.0f}) {
        Camera c;
        const float p = pitchDeg * 3.14159265f / 180.0f;
        c.setCamera({1, 2, 3}, Vector3d(1, 2, 3) + Vector3d(0.3f * std::cos(p), std::sin(p), -std::cos(p)),
                    {0, 1, 0}, -1, 1, -1, 1, 1, 64, 64);
        for (int rebuild = 0; rebuild < 2; ++rebuild) {
            const float h = length(c.planeHorizontal), v = length(c.planeVertical);
            EXPECT_NEAR(h, 2.0f, 1e-4f) << pitchDeg;
            EXPECT_NEAR(v, 2.0f, 1e-4f) << pitchDeg;
            EXPECT_NEAR(dot(c.planeHorizontal, c.planeVertical), 0.0f, 1e-4f) << pitchDeg;
            EXPECT_NEAR(dot(c.planeHorizontal, c.direction), 0.0f, 1e-4f) << pitchDeg;
            c.addPitch(0.0f);  // rebuild from yaw and pitch
        }
    }
}

TEST(PrimaryRays, TentFilterCoversMinusOneToOne) {
    EXPECT_NEAR(tent(0.5f), 0.0f, 1e-6f);
    EXPECT_NEAR(tent(0.125f), -0.5f, 1e-6f);
    EXPECT_NEAR(tent(0.875f), 0.5f, 1e-6f);
    EXPECT_GT(tent(1e-9f), -1.0f);
    EXPECT_LE(tent(1.0f), 1.0f);
}

TEST(PrimaryRays, TentFilteredRayStaysNearItsPixel) {
    Camera c;
    c.setCamera({0, 0, 0}, {0, 0, -1}, {0, 1, 0}, -1, 1, -1, 1, 1, 16, 16);
    for (int seed = 0; seed < 64; ++seed) {
        XorwowState rng;
        const int x = seed % 16, y = seed / 4 % 16;
        xorwowInit(y * 16 + x, &rng);
        const Ray r = tentFilteredRay(c, x, y, &rng);
        // Intersect with the plane z = -1 and convert back to pixel units.
        const Vector3d hit = r.origin + r.direction * (-1.0f / r.direction.z);
        const float px = (hit.x + 1.0f) * 8.0f, py = (hit.y + 1.0f) * 8.0f;
        EXPECT_GT(px, x - 0.5f);
        EXPECT_LT(px, x + 1.5f);
        EXPECT_GT(py, y - 0.5f);
        EXPECT_LT(py, y + 1.5f);
    }
}
