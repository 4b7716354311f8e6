#include "engine/worker_thread.h"

#include <chrono>
#include <thread>

namespace velmora {

std::shared_ptr<WorkerThread> WorkerThread::Start(std::function<void()> body) {
    std::shared_ptr<WorkerThread> handle(new WorkerThread());
    // The thread is detached from the start: waiters only poll `finished_`, so any number of
    // them may wait, and one that gives up leaves nothing to join. The thread keeps its own
    // reference to the handle.
    std::thread([handle, body = std::move(body)]() mutable {
        try {
            body();
        } catch (...) {
            // Bodies report their own failures; nothing may escape a thread.
        }
        body = nullptr;  // release what the body held before counting as ended
        handle->finished_.store(true, std::memory_order_release);
    }).detach();
    return handle;
}

bool WorkerThread::Wait(uint32_t milliseconds) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!Finished()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void WorkerThread::WaitForever() const {
    while (!Finished()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

bool WaitForWorker(const std::atomic<std::shared_ptr<WorkerThread>>& slot, uint32_t milliseconds) {
    std::shared_ptr<WorkerThread> worker = slot.load(std::memory_order_acquire);
    return !worker || worker->Wait(milliseconds);
}

}  // namespace velmora
