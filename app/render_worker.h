// The render thread of the window program. It owns the Renderer while it
// runs: edits of the renderer's inputs (materials, media, modes, the mesh)
// arrive as commands that it applies between frames, in the order they were
// posted, and the camera arrives as one latest value, so a burst of key
// repeats collapses into one camera state. Every edit restarts the average
// and cancels the full frame in flight (a preview, being short, is finished
// first, so a stream of edits still shows pictures). Finished frames go into a buffer that the
// display side takes without waiting for a frame.
//
// After every restart the first pictures are quick previews at reduced
// resolution (blocks of pixels, finest last), then full frames accumulate.
//
// Free of any window toolkit: the window drives it through these calls, and
// so do the tests and the latency benchmark.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "device/memory.h"
#include "render/renderer.h"
#include "scene/camera.h"

namespace lumenar {

// Where the controls send their changes.
class RenderCommands {
 public:
    using Edit = std::function<void(Renderer&)>;
    virtual ~RenderCommands() = default;
    // Runs edit on the renderer between frames, after every edit posted
    // before it, and restarts the average.
    virtual void post(Edit edit) = 0;
    // The camera of the next frames (restarts the average); a camera set
    // again before the last one was taken replaces it.
    virtual void setCamera(const Camera& camera) = 0;
    // Whether the displayed image is denoised; the average goes on.
    virtual void setDenoise(bool on) = 0;
    // Adaptive sampling (Renderer::adaptive) and the overlay of the pixels
    // that no longer take samples; neither restarts the average.
    virtual void setSampling(bool adaptive, bool overlay) = 0;
    // Whether the renderer has Metropolis chains or may still get them
    // (their set-up runs after start-up and may fail; the path tracer runs
    // either way).
    virtual bool metroAvailable() const = 0;
    // The chains are still being made: Metropolis mode switched on now
    // starts when they are ready.
    virtual bool metroPreparing() const = 0;
};

// Applies every change at once on the calling thread, for code that renders
// on the same thread (and for checking the controls on their own).
class DirectCommands : public RenderCommands {
 public:
    explicit DirectCommands(Renderer& renderer) : renderer_(renderer) {}
    void post(Edit edit) override {
        edit(renderer_);
        renderer_.requestReset();
    }
    // The caller renders with its own camera; only the restart is left to do.
    void setCamera(const Camera&) override { renderer_.requestReset(); }
    void setDenoise(bool on) override { renderer_.denoise = on; }
    void setSampling(bool adaptive, bool overlay) override {
        renderer_.adaptive = adaptive;
        renderer_.samplingOverlay = overlay;
    }
    bool metroAvailable() const override { return renderer_.metroExpected(); }
    bool metroPreparing() const override { return renderer_.metroPending(); }

 private:
    Renderer& renderer_;
};

// What a finished frame shows.
struct FrameInfo {
    uint64_t sequence = 0;    // 1, 2, ... in the order frames finished; 0: none yet
    uint32_t frameCount = 0;  // frames in the average (0 for a preview)
    int previewBlock = 0;     // pixels per preview block along each axis; 0 for a full frame
    uint64_t edits = 0;       // how many edits and camera changes the frame reflects
};

class RenderWorker : public RenderCommands {
 public:
    // renderer and its device state must outlive the worker; camera is the
    // first view.
    RenderWorker(Renderer& renderer, const Camera& camera);
    ~RenderWorker() override;
    RenderWorker(const RenderWorker&) = delete;
    RenderWorker& operator=(const RenderWorker&) = delete;

    // Previews after each restart (on by default); set before start().
    void setPreviews(bool on) { previews_ = on; }
    // Runs on the render thread before each frame (tests slow frames down
    // with it); set before start().
    void setBeforeFrame(std::function<void()> hook) { beforeFrame_ = std::move(hook); }

    // Allocates the frame buffers and starts the thread. False (after a
    // message) when the buffers cannot be made.
    bool start();
    // Cancels a full frame in flight (a preview is finished) and joins the
    // thread; the renderer is the caller's again afterwards. Safe to call
    // more than once.
    void stop();
    bool running() const { return thread_.joinable(); }

    void post(Edit edit) override;
    void setCamera(const Camera& camera) override;
    void setDenoise(bool on) override;
    void setSampling(bool adaptive, bool overlay) override;
    bool metroAvailable() const override {
        return metroAvailable_ || (metroHandoff_ && metroHandoff_->state() != MetroHandoff::State::Failed);
    }
    bool metroPreparing() const override {
        return !metroAvailable_ && metroHandoff_ && metroHandoff_->pending();
    }

    // Edits and camera changes posted so far (compare with FrameInfo::edits).
    uint64_t editsPosted() const;
    // Sequence number of the newest finished frame (cheap; no lock).
    uint64_t newestSequence() const { return newest_.load(std::memory_order_acquire); }
    // Makes the newest finished frame the shown one, if it is newer, and
    // returns the shown frame's W x H display vertices (null before the first
    // frame) with its description. The array stays valid and unchanged until
    // the next call. Never waits for a frame. Call from one thread only.
    const Color* takeNewest(FrameInfo* info);

    // What stopped the thread after a device fault; empty otherwise.
    std::string error() const;
    bool failed() const { return failed_.load(std::memory_order_acquire); }
    // Frames and previews given up because an edit arrived.
    uint64_t cancelledFrames() const { return cancelled_.load(std::memory_order_relaxed); }

    int width() const { return width_; }
    int height() const { return height_; }

 private:
    void run();
    int firstPreviewBlock() const;

    Renderer& renderer_;
    Camera camera_;  // render thread's own
    int width_;
    int height_;
    bool metroAvailable_;  // the chains were ready when the worker was made
    // Chains still being made then (their state is read on the display side).
    const MetroHandoff* metroHandoff_;
    bool previews_ = true;
    std::function<void()> beforeFrame_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Edit> edits_;
    std::optional<Camera> pendingCamera_;
    bool denoise_ = false;
    bool adaptive_ = false, samplingOverlay_ = false;
    uint64_t posted_ = 0;
    bool stopping_ = false;
    std::string error_;
    // Three display buffers: one being rendered (render thread), the newest
    // finished one, and the one shown (display side). Finished and shown
    // swap under the lock; no buffer is ever written while another thread
    // reads it.
    device::Buffer<Color> rendering_;
    device::Buffer<Color> finished_;
    device::Buffer<Color> shown_;
    FrameInfo finishedInfo_;
    FrameInfo shownInfo_;

    std::atomic<bool> cancel_{false};
    std::atomic<bool> failed_{false};
    std::atomic<uint64_t> newest_{0};
    std::atomic<uint64_t> cancelled_{0};
    double lastFrameSeconds_ = 0.0;  // render thread only
    bool cancellable_ = true;        // render thread only: whether the frame running may be cancelled
    std::thread thread_;
};

}  // namespace lumenar
