// An engine worker thread. Threads cannot be killed here, so a waiter never joins: it polls
// the thread's end flag for a bounded time and, when the time runs out, simply lets the thread
// go on by itself. The body holds shared ownership of everything it touches, and the run's
// stop flag makes it end at its next poll.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

namespace velmora {

class WorkerThread {
public:
    // Starts `body` on a new thread. The body's captures are released before the thread
    // counts as ended.
    static std::shared_ptr<WorkerThread> Start(std::function<void()> body);

    // True once the body has returned (or thrown).
    bool Finished() const { return finished_.load(std::memory_order_acquire); }

    // Waits up to `milliseconds` for the end (1 ms polls); true when the thread has ended.
    bool Wait(uint32_t milliseconds) const;
    // Waits until the thread has ended, however long that takes.
    void WaitForever() const;

private:
    WorkerThread() = default;
    std::atomic<bool> finished_{false};
};

// Where a run keeps the handle of one of its current worker threads. The job thread stores
// while a cancelling thread loads, without a lock: every stored handle stays in a push-only
// list until the slot is destroyed, so a loaded handle is never freed under its reader.
// (std::atomic<std::shared_ptr> takes an internal lock and is not understood by the thread
// sanitizer.) A slot holds one node per store: a few per join input.
class WorkerSlot {
public:
    WorkerSlot() = default;
    ~WorkerSlot();
    WorkerSlot(const WorkerSlot&) = delete;
    WorkerSlot& operator=(const WorkerSlot&) = delete;

    std::shared_ptr<WorkerThread> load(std::memory_order order = std::memory_order_acquire) const;
    void store(std::shared_ptr<WorkerThread> worker, std::memory_order order = std::memory_order_release);

private:
    struct Node {
        std::shared_ptr<WorkerThread> worker;
        Node* next = nullptr;
    };
    std::atomic<Node*> current_{nullptr};
    std::atomic<Node*> kept_{nullptr};
};

// Waits for the thread in `slot` (if any) at most `milliseconds`; true when none is left running.
bool WaitForWorker(const WorkerSlot& slot, uint32_t milliseconds);

}  // namespace velmora
