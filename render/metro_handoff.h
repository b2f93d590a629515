// Metropolis made ready while the path tracer already runs: a worker thread
// builds the kd-tree and sets up the chains, then publishes them once; the
// renderer takes them over at a frame boundary. The worker writes the chains
// and the tree's part of the scene only before it publishes; everyone else
// reads them only after seeing the publication.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "render/metropolis.h"

namespace lumenar {

class MetroHandoff {
 public:
    enum class State { Pending, Ready, Failed };

    State state() const { return state_.load(std::memory_order_acquire); }
    bool pending() const { return state() == State::Pending; }

    // Worker side, once: the chains are set up and `scene` holds what they
    // trace (ok), or they could not be made (the reason has been said).
    void publish(bool ok) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            state_.store(ok ? State::Ready : State::Failed, std::memory_order_release);
        }
        published_.notify_all();
    }
    // Blocks until the worker has published; returns what it published.
    State wait() const {
        std::unique_lock<std::mutex> lock(mutex_);
        published_.wait(lock, [this] { return state_.load(std::memory_order_acquire) != State::Pending; });
        return state();
    }

    // Valid once published as Ready.
    MetroChains* chains = nullptr;
    // The tree's part of what the chains trace: the unit-triangle maps, the
    // kd-tree's records and lists, the tracing box, the movable objects'
    // subtrees (movableCount 0: the kd-tree holds every triangle). The rest of
    // the view is the renderer's own, as edits left it.
    KdScene scene{};

 private:
    mutable std::mutex mutex_;
    mutable std::condition_variable published_;
    std::atomic<State> state_{State::Pending};
};

// The tree's fields of `tree` laid over the view of `live` (what a renderer
// traces with once the chains are ready).
inline KdScene withTree(const KdScene& live, const KdScene& tree) {
    KdScene s = live;
    s.woop = tree.woop;
    s.nodes = tree.nodes;
    s.triIndices = tree.triIndices;
    s.box = tree.box;
    s.bvhNodes = tree.bvhNodes;
    s.bvhTriIndices = tree.bvhTriIndices;
    s.movableCount = tree.movableCount > 0 ? live.movableCount : 0;
    return s;
}

}  // namespace lumenar
