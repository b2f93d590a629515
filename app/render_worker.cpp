#include "app/render_worker.h"

#include <chrono>
#include <cstdio>
#include <utility>

namespace lumenar {

namespace {
// The first preview aims at this many seconds, judged from the last full
// frame (a preview costs a little more than its share of paths).
constexpr double kPreviewSeconds = 1.0 / 40.0;
constexpr int kFinestPreviewBlock = 2;
constexpr int kCoarsestPreviewBlock = 16;
}  // namespace

RenderWorker::RenderWorker(Renderer& renderer, const Camera& camera)
    : renderer_(renderer),
      camera_(camera),
      width_(renderer.resources().width),
      height_(renderer.resources().height),
      metroAvailable_(renderer.metroReady()),
      metroHandoff_(renderer.resources().metroHandoff) {}

RenderWorker::~RenderWorker() {
    stop();
    renderer_.setCancelCheck(nullptr);
}

bool RenderWorker::start() {
    if (thread_.joinable()) return true;
    const std::size_t n = static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_);
    rendering_ = device::Buffer<Color>(n);
    finished_ = device::Buffer<Color>(n);
    shown_ = device::Buffer<Color>(n);
    if (n == 0 || !rendering_ || !finished_ || !shown_) {
        std::fprintf(stderr, "render thread: cannot allocate three frames of %d x %d pixels\n", width_,
                     height_);
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = false;
    }
    cancel_.store(false);
    renderer_.setCancelCheck([this] { return cancellable_ && cancel_.load(std::memory_order_relaxed); });
    thread_ = std::thread([this] { run(); });
    return true;
}

void RenderWorker::stop() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    cancel_.store(true);
    wake_.notify_all();
    thread_.join();
}

void RenderWorker::post(Edit edit) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        edits_.push_back(std::move(edit));
        ++posted_;
    }
    cancel_.store(true);
    wake_.notify_all();
}

void RenderWorker::setCamera(const Camera& camera) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pendingCamera_ = camera;
        ++posted_;
    }
    cancel_.store(true);
    wake_.notify_all();
}

void RenderWorker::setDenoise(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    denoise_ = on;
}

void RenderWorker::setSampling(bool adaptive, bool overlay) {
    std::lock_guard<std::mutex> lock(mutex_);
    adaptive_ = adaptive;
    samplingOverlay_ = overlay;
}

uint64_t RenderWorker::editsPosted() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return posted_;
}

std::string RenderWorker::error() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return error_;
}

const Color* RenderWorker::takeNewest(FrameInfo* info) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (finishedInfo_.sequence > shownInfo_.sequence) {
            std::swap(finished_, shown_);
            std::swap(finishedInfo_, shownInfo_);
        }
        if (info) *info = shownInfo_;
    }
    return shownInfo_.sequence > 0 ? shown_.get() : nullptr;
}

int RenderWorker::firstPreviewBlock() const {
    // Before any full frame was timed: a middle guess.
    if (lastFrameSeconds_ <= 0.0) return 4;
    int block = kFinestPreviewBlock;
    while (block < kCoarsestPreviewBlock && lastFrameSeconds_ / (block * block) > kPreviewSeconds) block *= 2;
    return block;
}

void RenderWorker::run() {
    using Clock = std::chrono::steady_clock;
    int previewBlock = previews_ ? firstPreviewBlock() : 0;  // 0: full frames
    uint64_t applied = 0;
    for (;;) {
        std::deque<Edit> edits;
        std::optional<Camera> camera;
        bool denoise = false, adaptive = false, overlay = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) break;
            // Cleared while holding the lock: an edit posted from here on
            // sets it again and cancels the frame about to run.
            cancel_.store(false);
            edits.swap(edits_);
            camera.swap(pendingCamera_);
            denoise = denoise_;
            adaptive = adaptive_;
            overlay = samplingOverlay_;
            applied = posted_;
        }
        for (Edit& e : edits) {
            e(renderer_);
            renderer_.requestReset();
        }
        if (camera) {
            camera_ = *camera;
            renderer_.requestReset();
        }
        if ((!edits.empty() || camera) && previews_) previewBlock = firstPreviewBlock();
        renderer_.denoise = denoise;
        renderer_.adaptive = adaptive;
        renderer_.samplingOverlay = overlay;
        if (beforeFrame_) beforeFrame_();

        const bool preview = previewBlock > 0 && !renderer_.mltEnabled;
        // Previews run to the end: they are short, and edits that come
        // faster than a preview takes would otherwise leave nothing to show.
        cancellable_ = !preview;
        const Clock::time_point t0 = Clock::now();
        const FrameStats stats = preview ? renderer_.renderPreview(camera_, rendering_.get(), previewBlock)
                                         : renderer_.renderFrame(camera_, rendering_.get());
        if (!stats.ok()) {
            std::lock_guard<std::mutex> lock(mutex_);
            error_ = stats.error;
            failed_.store(true, std::memory_order_release);
            break;
        }
        if (stats.cancelled) {
            cancelled_.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        FrameInfo info;
        info.frameCount = preview ? 0u : renderer_.frameCount();
        info.previewBlock = preview ? previewBlock : 0;
        info.edits = applied;
        if (preview)
            previewBlock = previewBlock > kFinestPreviewBlock ? previewBlock / 2 : 0;
        else
            lastFrameSeconds_ = std::chrono::duration<double>(Clock::now() - t0).count();
        if (renderer_.mltEnabled) previewBlock = 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            info.sequence = finishedInfo_.sequence > shownInfo_.sequence ? finishedInfo_.sequence + 1
                                                                         : shownInfo_.sequence + 1;
            std::swap(rendering_, finished_);
            finishedInfo_ = info;
            newest_.store(info.sequence, std::memory_order_release);
        }
    }
}

}  // namespace lumenar
