#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "engine/worker_thread.h"

using namespace velmora;
using namespace std::chrono_literals;

TEST(WorkerThread, WaitEndsWithTheBody) {
    std::atomic<bool> go{false};
    auto w = WorkerThread::Start([&] {
        while (!go.load()) std::this_thread::sleep_for(1ms);
    });
    EXPECT_FALSE(w->Wait(30));
    EXPECT_FALSE(w->Finished());
    go = true;
    EXPECT_TRUE(w->Wait(10000));
    EXPECT_TRUE(w->Finished());
    EXPECT_TRUE(w->Wait(0));
}

TEST(WorkerThread, ManyWaitersMayWait) {
    std::atomic<bool> go{false};
    auto w = WorkerThread::Start([&] {
        while (!go.load()) std::this_thread::sleep_for(1ms);
    });
    std::atomic<int> ended{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.emplace_back([&] {
            w->WaitForever();
            ended.fetch_add(1);
        });
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(ended.load(), 0);
    go = true;
    for (auto& t : waiters) t.join();
    EXPECT_EQ(ended.load(), 3);
}

TEST(WorkerThread, ExceptionsStayInsideTheThread) {
    auto w = WorkerThread::Start([] { throw std::runtime_error("worker failure"); });
    EXPECT_TRUE(w->Wait(10000));
}

TEST(WorkerThread, CapturesAreReleasedBeforeTheEnd) {
    auto owned = std::make_shared<int>(7);
    std::weak_ptr<int> weak = owned;
    auto w = WorkerThread::Start([owned] { EXPECT_EQ(*owned, 7); });
    owned.reset();
    ASSERT_TRUE(w->Wait(10000));
    EXPECT_TRUE(weak.expired());
}

TEST(WorkerThread, AWaiterThatGivesUpLeavesTheThreadRunning) {
    auto release = std::make_shared<std::atomic<bool>>(false);
    auto done = std::make_shared<std::atomic<bool>>(false);
    {
        auto w = WorkerThread::Start([release, done] {
            while (!release->load()) std::this_thread::sleep_for(1ms);
            done->store(true);
        });
        EXPECT_FALSE(w->Wait(10));
    }  // the handle is gone; the thread is not
    release->store(true);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!done->load() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    EXPECT_TRUE(done->load());
}

TEST(WorkerSlot, StoresAndLoads) {
    WorkerSlot slot;
    EXPECT_FALSE(slot.load());
    EXPECT_TRUE(WaitForWorker(slot, 0));  // nothing to wait for
    auto w = WorkerThread::Start([] {});
    slot.store(w);
    EXPECT_EQ(slot.load(), w);
    EXPECT_TRUE(WaitForWorker(slot, 10000));
    slot.store(nullptr);
    EXPECT_FALSE(slot.load());
}

TEST(WorkerSlot, OneThreadStoresWhileAnotherWaits) {
    WorkerSlot slot;
    std::atomic<bool> stop{false};
    std::atomic<int> seen{0};
    std::thread watcher([&] {
        while (!stop.load()) {
            if (auto w = slot.load()) {
                WaitForWorker(slot, 1);
                seen.fetch_add(w->Finished() ? 1 : 0);
            }
        }
    });
    for (int i = 0; i < 200; ++i) {
        auto w = WorkerThread::Start([] {});
        slot.store(w);
        ASSERT_TRUE(w->Wait(10000));
    }
    stop = true;
    watcher.join();
    EXPECT_TRUE(slot.load()->Finished());
}
