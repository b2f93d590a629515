// What the window's render loop asks of the Renderer besides plain frames:
// cancelling a frame part-way, quick previews and the denoised display, none
// of which may change the running average.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/batch_render.h"
#include "app/startup.h"
#include "device/threads.h"
#include "render/accumulation.h"

using namespace lumenar;

namespace {

constexpr int kW = 40;
constexpr int kH = 30;

std::string smallDefaultScene() {
    std::ifstream in(std::string(LUMENAR_SOURCE_DIR) + "/scenes/default/input", std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    std::string text = s.str();
    const std::string from = "resolution 256 256";
    const std::size_t at = text.find(from);
    if (at == std::string::npos) return std::string();
    text.replace(at, from.size(), "resolution " + std::to_string(kW) + " " + std::to_string(kH));
    const std::string path = testing::TempDir() + "lumenar_interactive_default_" + std::to_string(getpid());
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

// A started application with a renderer; every run starts afresh, since
// frames advance the sample sequences that start-up made.
struct Session {
    Settings settings;
    Application app{settings};
    std::unique_ptr<Renderer> renderer;
    std::vector<Color> display = std::vector<Color>(static_cast<std::size_t>(kW) * kH);

    bool start(std::string path = smallDefaultScene()) {
        if (path.empty()) return false;
        testing::internal::CaptureStdout();
        const bool ok = app.start(path);
        // Frames of either mode from the first: the chains made after
        // start-up are awaited.
        if (ok) app.waitForMetro();
        testing::internal::GetCapturedStdout();
        if (!ok) return false;
        renderer = std::make_unique<Renderer>(frameResources(app));
        return renderer->valid();
    }
    ~Session() {
        renderer.reset();
        testing::internal::CaptureStdout();
        app.shutdown();
        testing::internal::GetCapturedStdout();
    }
    bool frame() { return renderer->renderFrame(app.scene().camera, display.data()).ok(); }
    std::vector<Color> average() const {
        return std::vector<Color>(renderer->accumBuffer(), renderer->accumBuffer() + kW * kH);
    }
};

bool sameBits(const std::vector<Color>& a, const std::vector<Color>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(Color)) == 0;
}

double sum(const std::vector<Color>& image) {
    double s = 0.0;
    for (const Color& c : image) s += c.r + c.g + c.b;
    return s;
}

// A floor and a back wall under a small lamp panel facing down, movable
// object 0, at x = lampX with the given emission.
std::string lampScene(const std::string& name, float emission, float lampX) {
    std::ostringstream s;
    s << "lamp\ncamera\nresolution " << kW << " " << kH
      << "\neye 0 1 3\nlookat 0 0.5 0\nup 0 1 0\nnear 1\nbgcolor\n0 0 0\nmaterial\n2\n\n";
    const char* rest =
        "transmission 1 1 1\nmetalness 0\nanisotropic False\nroughness 1\nroughnessY 1\n"
        "transparency 0\nIOR 1.5\ntex 0\nrsc 0\nabsorption 0 0 0\n";
    s << "mtl 0 floor\nbasecolor 0.7 0.6 0.5\nspecular 0 0 0\nemission 0 0 0\n" << rest;
    s << "mtl 1 lamp\nbasecolor 0 0 0\nspecular 0 0 0\nemission " << emission << " " << emission << " "
      << emission << "\n"
      << rest;
    const float x0 = lampX - 0.25f, x1 = lampX + 0.25f;
    s << "mesh\n2\n\no 0 lamp\nmovable True\n"
      << "v " << x0 << " 1.5 -0.25\nv " << x1 << " 1.5 -0.25\nv " << x1 << " 1.5 0.25\nv " << x0
      << " 1.5 0.25\nusemtl 1 lamp\ns off\nf 1 2 3\nf 1 3 4\n"
      << "o 1 room\nv -2 0 -2\nv -2 0 2\nv 2 0 2\nv 2 0 -2\nv -2 3 -2\nv 2 3 -2\n"
      << "usemtl 0 floor\ns off\nf 5 6 7\nf 5 7 8\nf 5 8 10\nf 5 10 9\n";
    const std::string path = testing::TempDir() + name + "_" + std::to_string(getpid());
    std::ofstream(path, std::ios::binary) << s.str();
    return path;
}

}  // namespace

// Edits reach the light samples: after the lamp's emission is changed and
// the lamp is moved (before the first frame, so both runs draw the same
// numbers), the frames are those of the scene loaded with that emission and
// the lamp where it now stands, to the bit.
TEST(Interactive, EditedEmissionAndMovedLampLightAsIfLoadedThatWay) {
    device::ThreadLimit threads(2);
    Session loaded, edited, movedOnly;
    ASSERT_TRUE(loaded.start(lampScene("lumenar_lamp_loaded", 6.0f, 0.25f)));
    ASSERT_TRUE(edited.start(lampScene("lumenar_lamp_edited", 2.0f, 0.0f)));
    ASSERT_TRUE(movedOnly.start(lampScene("lumenar_lamp_moved", 6.0f, 0.0f)));
    edited.app.materials()[1].emission = Color(6.0f, 6.0f, 6.0f);
    edited.renderer->requestReset();
    for (Session* s : {&edited, &movedOnly}) s->renderer->requestMove(Vector3d(0.25f, 0.0f, 0.0f));
    for (int f = 0; f < 4; ++f) {
        ASSERT_TRUE(loaded.frame());
        ASSERT_TRUE(edited.frame());
        ASSERT_TRUE(movedOnly.frame());
    }
    EXPECT_GT(sum(loaded.average()), 0.0);
    EXPECT_TRUE(sameBits(movedOnly.average(), loaded.average())) << "moved lamp";
    EXPECT_TRUE(sameBits(edited.average(), loaded.average())) << "edited emission";
    // The next edit brings the old emission back, and the image with it.
    edited.app.materials()[1].emission = Color(2.0f, 2.0f, 2.0f);
    edited.renderer->requestReset();
    ASSERT_TRUE(edited.frame());
    // (The running sums: one frame against four.)
    EXPECT_NEAR(4.0 * sum(edited.average()) / sum(loaded.average()), 1.0 / 3.0, 0.1);
}

TEST(Interactive, CancelledFramesLeaveNoTraceInTheAverage) {
    device::ThreadLimit threads(2);
    Session plain, cancelled;
    ASSERT_TRUE(plain.start());
    ASSERT_TRUE(cancelled.start());
    const Camera& cam = cancelled.app.scene().camera;
    auto cancelAt = [&](int stopAt) {
        int asked = 0;
        cancelled.renderer->setCancelCheck([&asked, stopAt] { return ++asked >= stopAt; });
        const std::vector<Color> before = cancelled.average();
        const uint32_t frames = cancelled.renderer->frameCount();
        const FrameStats s = cancelled.renderer->renderFrame(cam, cancelled.display.data());
        cancelled.renderer->setCancelCheck(nullptr);
        EXPECT_TRUE(s.ok()) << s.error;
        EXPECT_TRUE(s.cancelled) << "stop at check " << stopAt;
        EXPECT_EQ(asked, stopAt);
        EXPECT_EQ(cancelled.renderer->frameCount(), frames);
        EXPECT_TRUE(sameBits(cancelled.average(), before)) << "a cancelled frame reached the running sum";
    };

    // Cancelled before its camera rays, a frame has drawn nothing from any
    // sequence: the frames after it are exactly those of a run without it.
    ASSERT_TRUE(plain.frame());
    ASSERT_TRUE(plain.frame());
    ASSERT_TRUE(cancelled.frame());
    cancelAt(1);
    ASSERT_TRUE(cancelled.frame());
    EXPECT_TRUE(sameBits(cancelled.average(), plain.average()));
    EXPECT_GT(sum(plain.average()), 0.0);

    // Cancelled after two bounce launches: nothing reaches the sum, and the
    // next frame adds to it as the third.
    cancelAt(4);
    const std::vector<Color> two = cancelled.average();
    ASSERT_TRUE(cancelled.frame());
    EXPECT_EQ(cancelled.renderer->frameCount(), 3u);
    EXPECT_FALSE(sameBits(cancelled.average(), two));
}

TEST(Interactive, PreviewsLeaveTheAverageAsFullFramesMakeIt) {
    device::ThreadLimit threads(2);
    Session plain, previewed;
    ASSERT_TRUE(plain.start());
    ASSERT_TRUE(previewed.start());
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(plain.frame());

    const Camera& cam = previewed.app.scene().camera;
    for (int i = 0; i < 4; ++i) {
        // Previews of every size before each full frame; they restart nothing.
        for (int block : {16, 8, 4, 2}) {
            const FrameStats s = previewed.renderer->renderPreview(cam, previewed.display.data(), block);
            ASSERT_TRUE(s.ok()) << s.error;
            ASSERT_FALSE(s.cancelled);
            EXPECT_EQ(previewed.renderer->frameCount(), static_cast<uint32_t>(i));
            // The preview fills the whole view with display vertices of a lit image.
            long long lit = 0;
            for (int y = 0; y < kH; ++y)
                for (int x = 0; x < kW; ++x) {
                    displayVertex v;
                    std::memcpy(&v, &previewed.display[static_cast<std::size_t>(y) * kW + x], sizeof v);
                    ASSERT_EQ(v.x, static_cast<float>(x));
                    ASSERT_EQ(v.y, static_cast<float>(y));
                    ASSERT_EQ(v.alpha, kDisplayAlpha);
                    lit += v.red + v.green + v.blue > 30;
                }
            EXPECT_GT(lit, kW * kH / 2) << "block " << block;
        }
        ASSERT_TRUE(previewed.frame());
    }
    EXPECT_TRUE(sameBits(previewed.average(), plain.average()));
    EXPECT_EQ(
        std::memcmp(previewed.display.data(), plain.display.data(), plain.display.size() * sizeof(Color)), 0)
        << "the displayed frame differs";
}

TEST(Interactive, DenoisingChangesOnlyWhatIsShown) {
    device::ThreadLimit threads(2);
    Session plain, denoised;
    ASSERT_TRUE(plain.start());
    ASSERT_TRUE(denoised.start());
    ASSERT_TRUE(plain.frame());
    ASSERT_TRUE(plain.frame());
    const std::vector<Color> shownPlain = plain.display;
    ASSERT_TRUE(plain.frame());

    denoised.renderer->denoise = true;
    ASSERT_TRUE(denoised.frame());
    ASSERT_TRUE(denoised.frame());
    const std::vector<Color> shownDenoised = denoised.display;
    denoised.renderer->denoise = false;
    ASSERT_TRUE(denoised.frame());
    // Switched off again, the view gets exactly the bytes it gets without it,
    // and the average never saw the filter.
    EXPECT_EQ(
        std::memcmp(denoised.display.data(), plain.display.data(), plain.display.size() * sizeof(Color)), 0);
    EXPECT_TRUE(sameBits(denoised.average(), plain.average()));
    // While it was on, the shown image did differ.
    EXPECT_NE(std::memcmp(shownDenoised.data(), shownPlain.data(), shownPlain.size() * sizeof(Color)), 0);
}

// A Metropolis frame stops between bands of chains; some chains have then
// splatted and others not, so the average starts again.
TEST(Interactive, CancelledMetropolisFrameRestartsTheAverage) {
    device::ThreadLimit threads(2);
    Session s;
    ASSERT_TRUE(s.start());
    ASSERT_TRUE(s.renderer->metroReady());
    s.renderer->mltEnabled = true;
    s.renderer->requestReset();
    ASSERT_TRUE(s.frame());
    ASSERT_TRUE(s.frame());
    int asked = 0;
    s.renderer->setCancelCheck([&asked] { return ++asked >= 3; });
    const FrameStats st = s.renderer->renderFrame(s.app.scene().camera, s.display.data());
    s.renderer->setCancelCheck(nullptr);
    EXPECT_TRUE(st.ok()) << st.error;
    EXPECT_TRUE(st.cancelled);
    EXPECT_EQ(asked, 3);  // the frame's own check, then one per band
    EXPECT_TRUE(s.renderer->resetPending());
    ASSERT_TRUE(s.frame());
    EXPECT_EQ(s.renderer->frameCount(), 1u);
    EXPECT_GT(sum(s.average()), 0.0);
}
