// What the window's sliders, check boxes, keys and mouse do to the renderer's
// inputs, without a display.
#include "app/controls.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/batch_render.h"
#include "app/startup.h"
#include "scene/input_parser.h"

using namespace lumenar;

namespace {

Material plainMaterial(float value) {
    Material m{};
    m.roughness = m.roughnessY = m.metalness = m.transparency = value;
    m.IOR = 1.45f;
    m.rsc = 6.0f;
    return m;
}

// Writes `text` as a scene file in the test folder and starts app on it;
// standard output is captured from here until the test takes it back.
bool startScene(Application& app, const std::string& name, const std::string& text) {
    const std::string path = testing::TempDir() + name + "_" + std::to_string(getpid());
    std::ofstream(path) << text;
    testing::internal::CaptureStdout();
    return app.start(path);
}

}  // namespace

TEST(Controls, SlidersWriteTheirFieldsAndRestartTheAverage) {
    std::vector<Material> mats(5, plainMaterial(0.5f));
    std::vector<Volume> vols(1);
    Camera camera;
    FrameResources res;
    res.width = res.height = 4;
    Settings settings;
    struct Case {
        void (Controls::*set)(int);
        int v;
        float Material::*field;
        int material;
        float expected;
    };
    const Case cases[] = {
        {&Controls::setRoughness, 30, &Material::roughness, 0, 0.3f},
        {&Controls::setMetalness, 100, &Material::metalness, 0, 1.0f},
        {&Controls::setTransparency, 7, &Material::transparency, 0, 0.07f},
        {&Controls::setIor, 25, &Material::IOR, 0, 1.5f},
        {&Controls::setIor, 100, &Material::IOR, 0, 3.0f},
        {&Controls::setIor, 0, &Material::IOR, 0, 1.0f},
        {&Controls::setTranslucency, 0, &Material::rsc, 0, 20.0f},
        {&Controls::setTranslucency, 100, &Material::rsc, 0, 0.0f},
        {&Controls::setTranslucency, 50, &Material::rsc, 0, 10.0f},
        {&Controls::setWallRoughness, 0, &Material::roughness, 3, 0.001f},  // never 0
        {&Controls::setWallRoughness, 100, &Material::roughness, 3, 1.0f},
        {&Controls::setWallMetalness, 40, &Material::metalness, 3, 0.4f},
    };
    for (const Case& c : cases) {
        std::vector<Material> m = mats;
        Renderer renderer(res);
        Controls controls(camera, m.data(), 5, vols.data(), 1, renderer, settings);
        controls.selectWallMaterial(3);
        ASSERT_FALSE(renderer.resetPending());
        (controls.*c.set)(c.v);
        EXPECT_FLOAT_EQ(m[c.material].*c.field, c.expected) << "slider value " << c.v;
        EXPECT_TRUE(renderer.resetPending()) << "slider value " << c.v;
        // Nothing else changes: roughnessY in particular stays as loaded.
        m[c.material].*c.field = mats[c.material].*c.field;
        for (int i = 0; i < 5; ++i)
            EXPECT_EQ(std::memcmp(&m[i], &mats[i], sizeof(Material)), 0)
                << "material " << i << ", value " << c.v;
    }
    Renderer renderer(res);
    Controls controls(camera, mats.data(), 5, vols.data(), 1, renderer, settings);
    controls.setFogGravity(35);
    EXPECT_FLOAT_EQ(vols[0].b, 3.5f);
    EXPECT_TRUE(renderer.resetPending());
}

// The environment slider turns the image for both modes and restarts.
TEST(Controls, EnvironmentSliderTurnsTheSky) {
    Camera camera;
    FrameResources res;
    res.width = res.height = 4;
    std::vector<float> texels(8 * 4 * 3, 1.0f), marginal(5, 0.0f), conditional(4 * 9, 0.0f);
    res.scene.lights.env.view.texels = texels.data();
    res.scene.lights.env.view.marginalCdf = marginal.data();
    res.scene.lights.env.view.conditionalCdf = conditional.data();
    res.scene.lights.env.view.width = 8;
    res.scene.lights.env.view.height = 4;
    res.kdScene.lights.env = res.scene.lights.env;
    Renderer renderer(res);
    Controls controls(camera, nullptr, 0, nullptr, 0, renderer, Settings());
    controls.setEnvironmentRotation(25);  // a quarter turn
    EXPECT_TRUE(renderer.resetPending());
    for (const EnvironmentView& v :
         {renderer.resources().scene.lights.env.view, renderer.resources().kdScene.lights.env.view}) {
        EXPECT_NEAR(v.cosRotation, 0.0f, 1e-6f);
        EXPECT_NEAR(v.sinRotation, 1.0f, 1e-6f);
    }
}

TEST(Controls, RecordsTheSceneLacksAreLeftAlone) {
    // One material and no volume: the wall and fog sliders only restart.
    Material only = plainMaterial(0.5f);
    Camera camera;
    FrameResources res;
    res.width = res.height = 4;
    Renderer renderer(res);
    Controls controls(camera, &only, 1, nullptr, 0, renderer, Settings());
    controls.setWallRoughness(0);
    controls.setWallMetalness(100);
    controls.setFogGravity(100);
    EXPECT_TRUE(renderer.resetPending());
    EXPECT_FLOAT_EQ(only.roughness, 0.5f);
    Controls none(camera, nullptr, 0, nullptr, 0, renderer, Settings());
    none.setRoughness(10);
    none.setSubsurface(true);
    none.setSubsurface(false);
}

TEST(Controls, MaterialSlidersEditTheChosenMaterial) {
    std::vector<Material> mats(5, plainMaterial(0.5f));
    const std::vector<Material> before = mats;
    Camera camera;
    FrameResources res;
    res.width = res.height = 4;
    Renderer renderer(res);
    Controls controls(camera, mats.data(), 5, nullptr, 0, renderer, Settings());
    controls.setMaterialNames({"a", "b", "c", "d", "e"});
    EXPECT_EQ(controls.selectedMaterial(), 0);
    controls.selectMaterial(2);
    controls.selectMaterial(5);  // no such material: the choice stays
    controls.selectMaterial(-1);
    EXPECT_EQ(controls.selectedMaterial(), 2);
    controls.setRoughness(20);
    controls.setMetalness(70);
    controls.setTransparency(10);
    controls.setIor(50);
    EXPECT_FLOAT_EQ(mats[2].roughness, 0.2f);
    EXPECT_FLOAT_EQ(mats[2].metalness, 0.7f);
    EXPECT_FLOAT_EQ(mats[2].transparency, 0.1f);
    EXPECT_FLOAT_EQ(mats[2].IOR, 2.0f);
    for (int i : {0, 1, 3, 4}) EXPECT_EQ(std::memcmp(&mats[i], &before[i], sizeof(Material)), 0) << i;
}

// The wall sliders edit the material of the scene's largest fixed object (or
// the one chosen), not a fixed slot: in the opening scene material 3 is the
// glass sphere's, and moving "wall metalness" must leave the glass alone.
TEST(Controls, WallSlidersEditTheLargestFixedObjectsMaterial) {
    std::ifstream in(std::string(LUMENAR_SOURCE_DIR) + "/scenes/opening/input");
    ASSERT_TRUE(in);
    std::stringstream text;
    text << in.rdbuf();
    Scene scene;
    aabb box = initialSceneBox();
    testing::internal::CaptureStdout();
    const ParseStatus status = parseSceneText(text.str(), "opening", scene, box, nullptr);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(status, ParseStatus::Ok);
    ASSERT_EQ(scene.materialNames.at(3), "glass");
    std::vector<Material> mats = scene.materials;
    const std::vector<Material> before = mats;
    Camera camera;
    FrameResources res;
    res.width = res.height = 4;
    Renderer renderer(res);
    const int n = static_cast<int>(mats.size());
    Controls controls(camera, mats.data(), n, nullptr, 0, renderer, Settings());
    EXPECT_EQ(controls.wallMaterial(), -1);
    controls.setWallMetalness(100);  // no wall material yet: nothing changes
    EXPECT_EQ(std::memcmp(mats.data(), before.data(), mats.size() * sizeof(Material)), 0);

    controls.useScene(scene);
    EXPECT_EQ(controls.materialNames(), scene.materialNames);
    // The room's floor and ceiling (equal in area) are its largest objects.
    const int wall = controls.wallMaterial();
    ASSERT_TRUE(scene.materialNames.at(wall) == "floor" || scene.materialNames.at(wall) == "white")
        << scene.materialNames.at(wall);
    controls.setWallMetalness(100);
    controls.setWallRoughness(0);
    EXPECT_FLOAT_EQ(mats[wall].metalness, 1.0f);
    EXPECT_FLOAT_EQ(mats[wall].roughness, 0.001f);
    for (int i = 0; i < n; ++i) {
        if (i != wall) {
            EXPECT_EQ(std::memcmp(&mats[i], &before[i], sizeof(Material)), 0) << "material " << i;
        }
    }

    // A choice from the list moves the sliders to another material; an index
    // the scene lacks is ignored.
    controls.selectWallMaterial(2);
    controls.selectWallMaterial(n);
    controls.selectWallMaterial(-1);
    EXPECT_EQ(controls.wallMaterial(), 2);
    controls.setWallMetalness(30);
    EXPECT_FLOAT_EQ(mats[2].metalness, 0.3f);
    EXPECT_FLOAT_EQ(mats[wall].metalness, 1.0f);
}

TEST(Controls, SubsurfaceSwitchRestoresTheTransparency) {
    std::vector<Material> mats(4, plainMaterial(0.25f));
    Camera camera;
    FrameResources res;
    res.width = res.height = 4;
    Renderer renderer(res);
    Controls controls(camera, mats.data(), 4, nullptr, 0, renderer, Settings());
    controls.setSubsurface(true);
    EXPECT_FLOAT_EQ(mats[0].transparency, -1.0f);  // the subsurface marker
    EXPECT_TRUE(renderer.ssEnabled);
    EXPECT_TRUE(renderer.resetPending());
    controls.setSubsurface(false);
    EXPECT_FLOAT_EQ(mats[0].transparency, 0.25f);
    EXPECT_FALSE(renderer.ssEnabled);
    controls.setTransparency(60);
    controls.setSubsurface(true);
    controls.setSubsurface(false);
    EXPECT_FLOAT_EQ(mats[0].transparency, 0.6f);

    // The switch sets the state it is given, it does not flip: "off" while
    // off and "on" while on change nothing.
    controls.setSubsurface(false);
    EXPECT_FLOAT_EQ(mats[0].transparency, 0.6f);
    EXPECT_FALSE(renderer.ssEnabled);
    controls.setSubsurface(true);
    controls.setSubsurface(true);
    EXPECT_FLOAT_EQ(mats[0].transparency, -1.0f);
    EXPECT_TRUE(renderer.ssEnabled);
    controls.setSubsurface(false);
    EXPECT_FLOAT_EQ(mats[0].transparency, 0.6f);

    controls.setFog(true);
    EXPECT_TRUE(renderer.fogEnabled);
    controls.setFog(false);
    EXPECT_FALSE(renderer.fogEnabled);
}

// Without Metropolis chains (their set-up failed at start-up) the switch says
// no and leaves the path tracer running; with chains it switches.
TEST(Controls, MetropolisSwitchNeedsChains) {
    Camera camera;
    FrameResources res;
    res.width = res.height = 4;
    Renderer renderer(res);
    ASSERT_FALSE(renderer.metroReady());
    Controls controls(camera, nullptr, 0, nullptr, 0, renderer, Settings());
    EXPECT_FALSE(controls.setMlt(true));
    EXPECT_FALSE(renderer.mltEnabled);
    EXPECT_FALSE(renderer.resetPending());
    EXPECT_TRUE(controls.setMlt(false));

    // Chains of a 4 x 4 image over an empty scene.
    MetroChains chains;
    testing::internal::CaptureStderr();
    ASSERT_TRUE(mltSetup(camera, 4, 4, KdScene(), chains));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    res.metro = &chains;
    Renderer withChains(res);
    Controls switching(camera, nullptr, 0, nullptr, 0, withChains, Settings());
    EXPECT_TRUE(switching.setMlt(true));
    EXPECT_FALSE(switching.metroPreparing());
    EXPECT_TRUE(withChains.mltEnabled);
    EXPECT_TRUE(switching.setMlt(false));
    EXPECT_FALSE(withChains.mltEnabled);

    // Chains still being made: the switch goes on (and says it waits); the
    // frames are path traced until the chains are published, the first one
    // after that is a Metropolis frame. Chains that fail leave it refusing.
    for (const bool ok : {true, false}) {
        MetroHandoff handoff;
        FrameResources later = res;
        later.metro = nullptr;
        later.metroHandoff = &handoff;
        Renderer waiting(later);
        Controls early(camera, nullptr, 0, nullptr, 0, waiting, Settings());
        EXPECT_TRUE(early.setMlt(true));
        EXPECT_TRUE(early.metroPreparing());
        EXPECT_TRUE(waiting.mltEnabled);
        EXPECT_FALSE(waiting.metroReady());
        handoff.chains = &chains;
        handoff.publish(ok);
        EXPECT_FALSE(early.metroPreparing());
        if (ok) {
            device::Buffer<Color> display(16);
            ASSERT_TRUE(waiting.renderFrame(camera, display.get()).ok());
            EXPECT_TRUE(waiting.metroReady());
        }
        EXPECT_TRUE(early.setMlt(false));
        EXPECT_EQ(early.setMlt(true), ok);
    }
}

TEST(Controls, KeysMoveTheCameraAndTheMesh) {
    Camera camera;
    camera.setCamera(Vector3d(0, 1, 3), Vector3d(0, 1, 0), Vector3d(0, 1, 0), -1, 1, -1, 1, 2.6f, 64, 64);
    const Camera start = camera;
    FrameResources res;
    res.width = res.height = 4;
    Renderer renderer(res);
    Controls controls(camera, nullptr, 0, nullptr, 0, renderer, Settings());

    EXPECT_TRUE(controls.keyPress('W'));
    EXPECT_NEAR(camera.position.z, 2.95f, 1e-6f);  // looking down -z
    EXPECT_TRUE(renderer.resetPending());
    controls.keyPress('S');
    controls.keyPress('D');
    EXPECT_NEAR(camera.position.x, 0.05f, 1e-6f);
    controls.keyPress('A');
    controls.keyPress('E');
    EXPECT_NEAR(camera.position.y, 1.05f, 1e-6f);
    controls.keyPress('Q');
    EXPECT_NEAR(camera.position.x, start.position.x, 1e-6f);
    EXPECT_NEAR(camera.position.y, start.position.y, 1e-6f);
    EXPECT_NEAR(camera.position.z, start.position.z, 1e-6f);

    EXPECT_FALSE(renderer.movePending());
    for (int key : {'I', 'I', 'L', 'O', 'O', 'O', 'K', 'J', 'J', 'U'}) EXPECT_TRUE(controls.keyPress(key));
    EXPECT_NEAR(controls.movableOffset().x, -0.05f, 1e-6f);
    EXPECT_NEAR(controls.movableOffset().y, 0.10f, 1e-6f);
    EXPECT_NEAR(controls.movableOffset().z, -0.05f, 1e-6f);
    EXPECT_TRUE(renderer.movePending());
}

TEST(Controls, MeshKeysNeedTheDynamicHierarchyAndOtherKeysDoNothing) {
    for (int flag = 0; flag < 2; ++flag) {
        Settings settings;
        (flag == 0 ? settings.useDynamicBVH : settings.extendedMode) = 0;
        Camera camera;
        FrameResources res;
        res.width = res.height = 4;
        Renderer renderer(res);
        Controls controls(camera, nullptr, 0, nullptr, 0, renderer, settings);
        controls.keyPress('I');
        controls.keyPress('O');
        EXPECT_FALSE(renderer.movePending());
        EXPECT_FALSE(renderer.resetPending());
        EXPECT_EQ(controls.movableOffset().z, 0.0f);
        EXPECT_FALSE(controls.keyPress('X'));
        EXPECT_FALSE(controls.keyPress('w'));  // key codes are the upper-case letters
        EXPECT_FALSE(renderer.resetPending());
    }
}

TEST(Controls, MouseDragsTurnMoveAndFocus) {
    Camera camera;
    camera.setCamera(Vector3d(0, 1, 3), Vector3d(0, 1, 0), Vector3d(0, 1, 0), -1, 1, -1, 1, 2.6f, 64, 64);
    FrameResources res;
    res.width = res.height = 4;
    Renderer renderer(res);
    Controls controls(camera, nullptr, 0, nullptr, 0, renderer, Settings());

    // Left: 100 pixels to the right lowers the yaw by 1 (wrapped into
    // [0, 2 pi)); 20 pixels down lowers the pitch by 0.2.
    const float yaw0 = camera.yaw, pitch0 = camera.pitch;
    controls.mousePress(10, 10);
    controls.mouseMove(110, 30, Controls::kLeftButton);
    float expectedYaw = yaw0 - 1.0f;
    if (expectedYaw < 0) expectedYaw += Camera::kTwoPi;
    EXPECT_NEAR(camera.yaw, expectedYaw, 1e-5f);
    EXPECT_NEAR(camera.pitch, pitch0 - 0.2f, 1e-5f);
    EXPECT_TRUE(renderer.resetPending());

    // Middle: vertical movement; right: focal distance. Left wins when
    // several are held.
    const float y0 = camera.position.y;
    controls.mouseMove(110, 20, Controls::kMiddleButton);  // 10 up
    EXPECT_NEAR(camera.position.y, y0 - 0.1f, 1e-5f);
    const float f0 = camera.focalDistance;
    controls.mouseMove(110, 10, Controls::kRightButton);
    EXPECT_NEAR(camera.focalDistance, f0 + 0.1f, 1e-5f);
    const float yaw1 = camera.yaw;
    controls.mouseMove(100, 10, Controls::kLeftButton | Controls::kRightButton);
    EXPECT_NEAR(camera.yaw, yaw1 + 0.1f, 1e-5f);
    EXPECT_NEAR(camera.focalDistance, f0 + 0.1f, 1e-5f);

    // No button: the view stays, the average still restarts; no movement at
    // all does nothing.
    Renderer fresh(res);
    Controls other(camera, nullptr, 0, nullptr, 0, fresh, Settings());
    const Camera before = camera;
    other.mousePress(5, 5);
    other.mouseMove(5, 5, Controls::kLeftButton);
    EXPECT_FALSE(fresh.resetPending());
    other.mouseMove(9, 2, 0x8);  // a fourth button
    EXPECT_TRUE(fresh.resetPending());
    EXPECT_EQ(std::memcmp(&before, &camera, sizeof(Camera)), 0);
}

// The chains trace the bunny where it stands: a move pressed in Metropolis
// mode applies before the next frame and restarts the average, as in path
// tracing.
TEST(Controls, MeshMovePressedInMetropolisModeAppliesAtTheNextFrame) {
    // The default scene at a small size: the bunny is movable object 0.
    std::ifstream in(std::string(LUMENAR_SOURCE_DIR) + "/scenes/default/input");
    ASSERT_TRUE(in) << "the build makes scenes/default/input";
    std::stringstream text;
    text << in.rdbuf();
    std::string scene = text.str();
    const std::size_t at = scene.find("resolution 256 256");
    ASSERT_NE(at, std::string::npos);
    scene.replace(at, 18, "resolution 16 16");
    Settings settings;
    Application app(settings);
    ASSERT_TRUE(startScene(app, "lumenar_controls_scene", scene));
    ASSERT_TRUE(app.waitForMetro());  // Metropolis frames from the first
    {
        Renderer renderer(frameResources(app));
        Scene& s = app.scene();
        Controls controls(s.camera, app.materials(), static_cast<int>(s.materials.size()), app.volumes(),
                          s.volumeCount, renderer, settings);
        std::vector<Color> display(16 * 16);
        const Movable* bunny = app.bvhTree().deviceMovables.get();  // managed memory
        ASSERT_NE(bunny, nullptr);

        controls.setMlt(true);
        ASSERT_TRUE(renderer.renderFrame(s.camera, display.data()).ok());
        ASSERT_TRUE(renderer.renderFrame(s.camera, display.data()).ok());
        EXPECT_EQ(renderer.frameCount(), 2u);
        controls.keyPress('I');
        ASSERT_TRUE(renderer.renderFrame(s.camera, display.data()).ok());
        EXPECT_FLOAT_EQ(bunny[0].offset.z, -0.05f);
        EXPECT_FALSE(renderer.movePending());
        EXPECT_EQ(renderer.frameCount(), 1u);  // the move restarted the average

        controls.setMlt(false);
        ASSERT_TRUE(renderer.renderFrame(s.camera, display.data()).ok());
        EXPECT_FLOAT_EQ(bunny[0].offset.z, -0.05f);
        EXPECT_EQ(renderer.frameCount(), 1u);  // so did the mode switch
    }
    EXPECT_EQ(app.shutdown(), 0);
    testing::internal::GetCapturedStdout();
}

// The sun sliders: only a scene with a sun has them; they start at its sun
// (shown, not applied) and aim it through the light set, restarting the
// average; the scene's other lights stay as they are.
TEST(Controls, SunSlidersAimTheScenesSun) {
    Camera camera;
    FrameResources res;
    res.width = res.height = 4;
    Renderer bare(res);
    Controls none(camera, nullptr, 0, nullptr, 0, bare, Settings());
    Scene empty;
    none.useScene(empty);
    EXPECT_EQ(none.sunLight(), -1);
    none.setSunElevation(40);  // no light set: nothing to aim, no failure
    EXPECT_EQ(bare.resources().scene.lights.lightCount, 0);

    const std::string text =
        "sun\ncamera\nresolution 8 8\neye 0 2 3\nlookat 0 0 0\nup 0 1 0\nnear 1\nbgcolor\n0 0 0\n"
        "lights\n2\n\npoint bulb\nposition 0 1 0\ncolor 1 1 1\nintensity 1\nradius 0\n"
        "sun noon\ndirection 0 -1 1\ncolor 1 1 1\nirradiance 2\ndiameter 0.53\n"
        "material\n1\n\nmtl 0 ground\nbasecolor 0.5 0.5 0.5\nspecular 0 0 0\nemission 0 0 0\n"
        "transmission 1 1 1\nmetalness 0\nanisotropic False\nroughness 1\nroughnessY 1\ntransparency 0\n"
        "IOR 1.5\ntex 0\nrsc 0\nabsorption 0 0 0\n"
        "mesh\n1\n\no 0 ground\nv -5 0 -5\nv -5 0 5\nv 5 0 5\nusemtl 0 ground\ns off\nf 1 2 3\n";
    Settings settings;
    Application app(settings);
    ASSERT_TRUE(startScene(app, "lumenar_controls_sun", text));
    {
        Renderer renderer(frameResources(app));
        Scene& s = app.scene();
        Controls controls(s.camera, app.materials(), 1, nullptr, 0, renderer, settings);
        controls.useScene(s);
        ASSERT_EQ(controls.sunLight(), 1);
        // Its light travels along (0, -1, 1): the sun stands 45 degrees up,
        // at azimuth 0 (towards -z).
        EXPECT_EQ(controls.sunElevationStart(), 50);
        EXPECT_EQ(controls.sunAzimuthStart(), 0);
        std::vector<Color> display(8 * 8);
        ASSERT_TRUE(renderer.renderFrame(s.camera, display.data()).ok());
        ASSERT_FALSE(renderer.resetPending());
        controls.setSunAzimuth(25);  // towards +x
        EXPECT_TRUE(renderer.resetPending());
        controls.setSunElevation(100);
        ASSERT_TRUE(renderer.renderFrame(s.camera, display.data()).ok());
        EXPECT_EQ(renderer.frameCount(), 1u);
        std::vector<deviceLight> records(2);
        device::copyToHost(records.data(), renderer.resources().scene.lights.lights, sizeof(deviceLight) * 2);
        EXPECT_NEAR(records[1].axis.y, 1.0f, 1e-6f);  // overhead
        controls.setSunElevation(0);
        ASSERT_TRUE(renderer.renderFrame(s.camera, display.data()).ok());
        device::copyToHost(records.data(), renderer.resources().kdScene.lights.lights,
                           sizeof(deviceLight) * 2);
        EXPECT_NEAR(records[1].axis.x, 1.0f, 1e-6f);  // on the horizon, towards +x
        EXPECT_NEAR(records[1].axis.y, 0.0f, 1e-6f);
        EXPECT_EQ(records[0].position.y, 1.0f);  // the bulb stays
        EXPECT_EQ(records[0].kind, kPointLight);
    }
    EXPECT_EQ(app.shutdown(), 0);
    testing::internal::GetCapturedStdout();
}
