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

// Waits for the thread in `slot` (if any) at most `milliseconds`; true when none is left running.
bool WaitForWorker(const std::atomic<std::shared_ptr<WorkerThread>>& slot, uint32_t milliseconds);

}  // namespace velmora
