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

WorkerSlot::~WorkerSlot() {
    Node* n = kept_.load(std::memory_order_acquire);
    while (n) {
        Node* next = n->next;
        delete n;
        n = next;
    }
}

std::shared_ptr<WorkerThread> WorkerSlot::load(std::memory_order order) const {
    const Node* n = current_.load(order == std::memory_order_relaxed ? order : std::memory_order_acquire);
    return n ? n->worker : nullptr;
}

void WorkerSlot::store(std::shared_ptr<WorkerThread> worker, std::memory_order order) {
    if (!worker) {
        current_.store(nullptr, std::memory_order_release);
        return;
    }
    Node* n = new Node{std::move(worker), nullptr};
    n->next = kept_.load(std::memory_order_relaxed);
    while (!kept_.compare_exchange_weak(n->next, n, std::memory_order_release, std::memory_order_relaxed)) {
    }
    current_.store(n, order == std::memory_order_relaxed ? order : std::memory_order_release);
}

bool WaitForWorker(const WorkerSlot& slot, uint32_t milliseconds) {
    std::shared_ptr<WorkerThread> worker = slot.load(std::memory_order_acquire);
    return !worker || worker->Wait(milliseconds);
}

}  // namespace velmora
