#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "engine/join_runner.h"
#include "engine/join_sink.h"

using namespace velmora;
using namespace std::chrono_literals;

TEST(FormatText, FormatsLikePrintf) {
    EXPECT_EQ(FormatText("Destination: %s.", "/a/b.mp3"), "Destination: /a/b.mp3.");
    EXPECT_EQ(FormatText("Time elapsed %.2f secs, speed %.2fx.", 1.5, 12.345), "Time elapsed 1.50 secs, speed 12.35x.");
    EXPECT_EQ(FormatText("%s", ""), "");
    const std::string longText(5000, 'x');
    EXPECT_EQ(FormatText("[%s]", longText.c_str()), "[" + longText + "]");
}

TEST(JoinEventQueue, KeepsPayloadsAndOrder) {
    JoinEventQueue q;
    JoinRunState run;
    q.Progress(12.5f, 3.25f, false, run);
    q.Message("line", kMessageError);
    q.SetTitle("Joining...");
    q.SetSource("/in.mp3");
    q.SetDestination("/out.mp3");
    q.ShowMessageBox("Error Loading Lame_enc.so");
    q.Done();
    EXPECT_EQ(q.Size(), 7u);
    const auto all = q.TakeAll();
    ASSERT_EQ(all.size(), 7u);
    EXPECT_EQ(all[0].type, JoinEvent::Type::Progress);
    EXPECT_EQ(all[0].taskPercent, 12.5f);
    EXPECT_EQ(all[0].overallPercent, 3.25f);
    EXPECT_FALSE(all[0].final);
    EXPECT_EQ(all[1].type, JoinEvent::Type::Message);
    EXPECT_EQ(all[1].text, "line");
    EXPECT_EQ(all[1].kind, kMessageError);
    EXPECT_EQ(all[2].type, JoinEvent::Type::Title);
    EXPECT_EQ(all[2].text, "Joining...");
    EXPECT_EQ(all[3].type, JoinEvent::Type::Source);
    EXPECT_EQ(all[4].type, JoinEvent::Type::Destination);
    EXPECT_EQ(all[5].type, JoinEvent::Type::MessageBox);
    EXPECT_EQ(all[5].text, "Error Loading Lame_enc.so");
    EXPECT_EQ(all[6].type, JoinEvent::Type::Done);
    EXPECT_EQ(q.Size(), 0u);
    EXPECT_FALSE(q.TryPop());
}

TEST(JoinEventQueue, PopWaitsForAnEvent) {
    JoinEventQueue q;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(q.Pop(30ms));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 25ms);
    std::thread sender([&] {
        std::this_thread::sleep_for(20ms);
        q.Message("late", kMessageInfo);
    });
    auto e = q.Pop(10s);
    sender.join();
    ASSERT_TRUE(e);
    EXPECT_EQ(e->text, "late");
}

TEST(JoinEventQueue, ManySendersKeepEachSendersOrder) {
    JoinEventQueue q;
    constexpr int kPerSender = 2000;
    std::vector<std::thread> senders;
    for (int s = 0; s < 3; ++s)
        senders.emplace_back([&q, s] {
            for (int i = 0; i < kPerSender; ++i) q.Message(std::to_string(s) + ":" + std::to_string(i), kMessageInfo);
        });
    std::vector<int> next(3, 0);
    int received = 0;
    while (received < 3 * kPerSender) {
        auto e = q.Pop(10s);
        ASSERT_TRUE(e);
        const int s = e->text[0] - '0';
        ASSERT_EQ(e->text, std::to_string(s) + ":" + std::to_string(next[static_cast<size_t>(s)]));
        ++next[static_cast<size_t>(s)];
        ++received;
    }
    for (auto& t : senders) t.join();
    EXPECT_EQ(q.Size(), 0u);
}

TEST(JoinEventQueue, FinalProgressWaitsUntilTaken) {
    JoinEventQueue q(true);
    JoinRunState run;
    run.running = 1;
    std::atomic<bool> returned{false};
    std::thread encoder([&] {
        q.Progress(100.0f, 100.0f, true, run);
        returned = true;
    });
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(returned.load());  // nobody has handled it yet
    auto e = q.Pop(10s);
    ASSERT_TRUE(e);
    EXPECT_TRUE(e->final);
    encoder.join();
    EXPECT_TRUE(returned.load());
}

TEST(JoinEventQueue, FinalProgressGivesUpWhenTheRunStops) {
    JoinEventQueue q(true);
    JoinRunState run;
    run.running = 1;
    std::atomic<bool> returned{false};
    std::thread encoder([&] {
        q.Progress(50.0f, 50.0f, true, run);
        returned = true;
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(returned.load());
    // A cancelling receiver stops the run instead of taking the report.
    run.running = 0;
    encoder.join();
    EXPECT_TRUE(returned.load());
    EXPECT_EQ(q.Size(), 1u);  // the report is still there for whoever looks
}

TEST(JoinEventQueue, FinalProgressDoesNotWaitByDefault) {
    JoinEventQueue q;
    JoinRunState run;
    run.running = 1;
    q.Progress(100.0f, 100.0f, true, run);  // returns at once: nobody is asked to take it
    EXPECT_EQ(q.Size(), 1u);
}

TEST(PostJoin, GoesToTheEngineSink) {
    JoinEngine engine;
    PostJoinMessage(engine, "dropped", kMessageInfo);  // no sink: nothing happens
    PostJoinProgress(engine, 1, 2, false);
    auto q = std::make_shared<JoinEventQueue>();
    engine.sink = q;
    PostJoinMessage(engine, "kept", kMessageError);
    PostJoinProgress(engine, 1.5f, 0.5f, false);
    const auto all = q->TakeAll();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].text, "kept");
    EXPECT_EQ(all[0].kind, kMessageError);
    EXPECT_EQ(all[1].type, JoinEvent::Type::Progress);
    EXPECT_EQ(all[1].taskPercent, 1.5f);
    EXPECT_EQ(all[1].overallPercent, 0.5f);
}
