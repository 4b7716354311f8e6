#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/join_runner.h"
#include "engine_harness.h"

using namespace velmora;
using namespace velmora::enginetest;

namespace {

std::vector<int32_t> Concat(std::initializer_list<std::vector<int32_t>> parts) {
    std::vector<int32_t> all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

bool IsTimeLine(const std::string& s) {
    return std::regex_match(s, std::regex(R"(Time elapsed \d+\.\d\d secs, speed \d+\.\d\dx\.)"));
}

class RunnerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ToneSpec first;
        first.seconds = 1.0;
        first.frequency = 440;
        a = MakeInput(dir, "a.mp3", first);
        ToneSpec second;
        second.seconds = 0.7;
        second.frequency = 660;
        b = MakeInput(dir, "b.mp3", second);
        engine = MakeEngine(queue, pcm);
    }

    std::vector<int32_t> Ref(const CFileToBeJoin& f) {
        return ReferenceDecode(f.path, static_cast<long>(f.sampleRate), static_cast<int>(f.channels));
    }
    std::string Out(const std::string& name) { return (dir / name).string(); }

    TempDir dir;
    CFileToBeJoin a, b;
    AppSettings settings;
    std::shared_ptr<JoinEventQueue> queue = std::make_shared<JoinEventQueue>();
    std::shared_ptr<CollectedPcm> pcm = std::make_shared<CollectedPcm>();
    std::shared_ptr<JoinEngine> engine;
};

}  // namespace

TEST_F(RunnerTest, OneTaskReportsInOrderAndDeliversEverySample) {
    CConversionTask task = MakeTask({a, b}, settings, Out("out.mp3"));
    ASSERT_EQ(task.needsConversion, 0);
    const uint64_t expected = task.totalSamples;
    EXPECT_EQ(expected, a.totalSamples + b.totalSamples);
    AddTask(*engine, task);
    ASSERT_TRUE(RunToEnd(engine));

    const std::vector<JoinEvent> events = queue->TakeAll();
    ASSERT_EQ(events.size(), 10u);
    EXPECT_EQ(events[0].type, JoinEvent::Type::Progress);
    EXPECT_EQ(events[0].taskPercent, 0.0f);
    EXPECT_EQ(events[0].overallPercent, 0.0f);
    EXPECT_FALSE(events[0].final);
    EXPECT_EQ(events[1].type, JoinEvent::Type::Title);
    EXPECT_EQ(events[1].text, "Joining...");
    EXPECT_EQ(events[2].type, JoinEvent::Type::Destination);
    EXPECT_EQ(events[2].text, Out("out.mp3"));
    EXPECT_EQ(events[3].type, JoinEvent::Type::Message);
    EXPECT_EQ(events[3].text, "Start a new joining task.");
    EXPECT_EQ(events[3].kind, kMessageInfo);
    EXPECT_EQ(events[4].type, JoinEvent::Type::Message);
    EXPECT_EQ(events[4].text, "Destination: " + Out("out.mp3") + ".");
    EXPECT_EQ(events[4].kind, kMessageInfo);
    EXPECT_EQ(events[5].type, JoinEvent::Type::Source);
    EXPECT_EQ(events[5].text, a.path);
    EXPECT_EQ(events[6].type, JoinEvent::Type::Source);
    EXPECT_EQ(events[6].text, b.path);
    EXPECT_EQ(events[7].type, JoinEvent::Type::Message);
    EXPECT_TRUE(IsTimeLine(events[7].text)) << events[7].text;
    EXPECT_EQ(events[7].kind, kMessageInfo);
    EXPECT_EQ(events[8].type, JoinEvent::Type::Message);
    EXPECT_EQ(events[8].text, "Joining status: OK.");
    EXPECT_EQ(events[8].kind, kMessageInfo);
    EXPECT_EQ(events[9].type, JoinEvent::Type::Done);

    // Every decoded sample of both inputs, in join order, with no gap.
    ASSERT_EQ(pcm->tasks.size(), 1u);
    EXPECT_EQ(pcm->tasks[0].size(), expected);
    EXPECT_EQ(pcm->tasks[0], Concat({Ref(a), Ref(b)}));

    const JoinRunState& run = *engine->activeRun;
    EXPECT_EQ(run.running, 1);
    EXPECT_EQ(run.overallSamplesDone, expected);
    EXPECT_EQ(run.taskSamplesDone, expected);
    EXPECT_NEAR(run.overallSecondsDone, 1.7, 0.01);
    EXPECT_EQ(run.currentTaskIndex, 1);
    // The finished task's input list is gone; its output path stays.
    EXPECT_TRUE(run.tasks[0].files->empty());
    EXPECT_EQ(run.tasks[0].outputPath, Out("out.mp3"));
    EXPECT_EQ(engine->currentTask.load(), nullptr);
}

TEST_F(RunnerTest, TwoTasksEndWithTheTotalLines) {
    AddTask(*engine, MakeTask({a, b}, settings, Out("one.mp3")));
    AddTask(*engine, MakeTask({b}, settings, Out("two.mp3")));
    const uint64_t total = engine->activeRun->overallSamplesTotal;
    ASSERT_TRUE(RunToEnd(engine));

    const auto events = queue->TakeAll();
    const auto texts = MessageTexts(events);
    ASSERT_EQ(texts.size(), 10u);
    EXPECT_EQ(texts[0], "Start a new joining task.");
    EXPECT_EQ(texts[1], "Destination: " + Out("one.mp3") + ".");
    EXPECT_TRUE(IsTimeLine(texts[2])) << texts[2];
    EXPECT_EQ(texts[3], "Joining status: OK.");
    EXPECT_EQ(texts[4], "Start a new joining task.");
    EXPECT_EQ(texts[5], "Destination: " + Out("two.mp3") + ".");
    EXPECT_TRUE(IsTimeLine(texts[6])) << texts[6];
    EXPECT_EQ(texts[7], "Joining status: OK.");
    EXPECT_EQ(texts[8], std::string(99, '-'));
    EXPECT_TRUE(std::regex_match(texts[9], std::regex(R"(Total time elapsed \d+\.\d\d secs, overall speed \d+\.\d\dx\.)")))
        << texts[9];
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().type, JoinEvent::Type::Done);

    ASSERT_EQ(pcm->tasks.size(), 2u);
    EXPECT_EQ(pcm->tasks[0], Concat({Ref(a), Ref(b)}));
    EXPECT_EQ(pcm->tasks[1], Ref(b));
    EXPECT_EQ(engine->activeRun->overallSamplesDone, total);
    EXPECT_EQ(engine->activeRun->taskSamplesDone, b.totalSamples);
    EXPECT_EQ(engine->activeRun->currentTaskIndex, 2);
}

// An input lost since it was listed is named, the others are joined whole, and the run fails.
TEST_F(RunnerTest, LostInputsAreNamedTheRestJoinedAndTheTaskFails) {
    for (const bool last : {false, true}) {
        engine = MakeEngine(queue, pcm = std::make_shared<CollectedPcm>());
        CFileToBeJoin missing = a;
        missing.path = Out("missing.mp3");
        AddTask(*engine, MakeTask(last ? std::vector<CFileToBeJoin>{a, b, missing} : std::vector<CFileToBeJoin>{a, missing, b},
                                  settings, Out("out.mp3")));
        ASSERT_TRUE(RunToEnd(engine));

        const auto events = queue->TakeAll();
        const auto texts = MessageTexts(events);
        ASSERT_EQ(texts.size(), 5u);
        EXPECT_EQ(texts[2].rfind("Trouble with mpg123: ", 0), 0u) << texts[2];
        EXPECT_EQ(texts[3], "No audio could be decoded from " + missing.path + ".");
        EXPECT_EQ(texts[4], "Joining status: ERROR.");
        EXPECT_FALSE(HasDone(events));
        EXPECT_EQ(engine->activeRun->running, 0);
        ASSERT_EQ(pcm->tasks.size(), 1u);
        EXPECT_EQ(pcm->tasks[0], Concat({Ref(a), Ref(b)}));
    }
}

TEST_F(RunnerTest, FailedTaskStopsTheRunBeforeTheNextTask) {
    CFileToBeJoin missing = b;
    missing.path = Out("missing.mp3");
    AddTask(*engine, MakeTask({missing}, settings, Out("one.mp3")));
    AddTask(*engine, MakeTask({a}, settings, Out("two.mp3")));
    ASSERT_TRUE(RunToEnd(engine));
    const auto texts = MessageTexts(queue->TakeAll());
    ASSERT_EQ(texts.size(), 5u);
    EXPECT_EQ(texts[4], "Joining status: ERROR.");
    EXPECT_EQ(engine->activeRun->currentTaskIndex, 1);
    EXPECT_EQ(pcm->tasks.size(), 1u);
}

TEST_F(RunnerTest, ExistingOutputIsNotOverwritten) {
    std::ofstream(Out("out.mp3")) << "keep me";
    std::ofstream(Out("out (2).mp3")) << "keep me too";
    AddTask(*engine, MakeTask({a}, settings, Out("out.mp3")));
    ASSERT_TRUE(RunToEnd(engine));
    const auto texts = MessageTexts(queue->TakeAll());
    ASSERT_GE(texts.size(), 2u);
    EXPECT_EQ(texts[1], "Destination: " + Out("out (3).mp3") + ".");
    // Only the job's copy changed.
    EXPECT_EQ(engine->activeRun->tasks[0].outputPath, Out("out.mp3"));
}

TEST_F(RunnerTest, AskedOutputPathIsTakenAsGiven) {
    std::ofstream(Out("out.mp3")) << "the user chose to replace this";
    engine->settings.askOutputPath = 1;
    AddTask(*engine, MakeTask({a}, settings, Out("out.mp3")));
    ASSERT_TRUE(RunToEnd(engine));
    const auto texts = MessageTexts(queue->TakeAll());
    ASSERT_GE(texts.size(), 2u);
    EXPECT_EQ(texts[1], "Destination: " + Out("out.mp3") + ".");
}

TEST_F(RunnerTest, WorkStartsAfterTheStartDelay) {
    AddTask(*engine, MakeTask({a}, settings, Out("out.mp3")));
    ASSERT_TRUE(StartJoinRun(engine));
    // Only the opening progress report comes in the first 300 ms.
    auto first = queue->Pop(std::chrono::milliseconds(1000));
    ASSERT_TRUE(first);
    EXPECT_EQ(first->type, JoinEvent::Type::Progress);
    EXPECT_FALSE(queue->Pop(std::chrono::milliseconds(300)));
    auto next = queue->Pop(std::chrono::milliseconds(10000));
    ASSERT_TRUE(next);
    EXPECT_EQ(next->type, JoinEvent::Type::Title);
    ASSERT_TRUE(engine->activeRun->jobThread.load()->Wait(60000));
}

TEST_F(RunnerTest, CancelDuringTheStartDelayDoesNothing) {
    AddTask(*engine, MakeTask({a}, settings, Out("out.mp3")));
    auto job = StartJoinRun(engine);
    ASSERT_TRUE(job);
    engine->activeRun->running = 0;
    ASSERT_TRUE(job->Wait(5000));
    const auto events = queue->TakeAll();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, JoinEvent::Type::Progress);
    EXPECT_EQ(pcm->started, 0);
    EXPECT_FALSE(std::filesystem::exists(Out("out.mp3")));
}

TEST_F(RunnerTest, ClearingRunningDuringDecodingEndsEveryLoop) {
    ToneSpec longTone;
    longTone.seconds = 20.0;
    longTone.kbps = 64;
    const CFileToBeJoin longInput = MakeInput(dir, "long.mp3", longTone);
    AddTask(*engine, MakeTask({longInput, a}, settings, Out("out.mp3")));
    // A held encoder: the decoder fills the buffer and waits for room.
    auto job = StartJoinRun(engine);
    ASSERT_TRUE(job);
    // Held before its first pass (the job thread starts work after its start delay; a run
    // start clears the flag, so it is raised only now).
    engine->activeRun->paused = 1;
    ASSERT_TRUE(WaitUntil([&] { return engine->decodedSamples.Free() == 0; }, 30000));
    engine->activeRun->running = 0;
    ASSERT_TRUE(job->Wait(20000));
    auto encoder = engine->activeRun->encoderThread.load();
    ASSERT_TRUE(encoder);
    EXPECT_TRUE(encoder->Finished());

    const auto events = queue->TakeAll();
    const auto texts = MessageTexts(events);
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.back(), "Joining status: ERROR.");
    EXPECT_FALSE(HasDone(events));
    // The second input never started.
    for (const auto& e : events) EXPECT_FALSE(e.type == JoinEvent::Type::Source && e.text == a.path);
}

TEST_F(RunnerTest, ThrowingEncoderFailsTheTask) {
    engine->encodeTask = [](JoinEngine&, CConversionTask& task) -> int {
        task.encoding = 1;
        throw std::runtime_error("boom");
    };
    AddTask(*engine, MakeTask({a, b}, settings, Out("out.mp3")));
    ASSERT_TRUE(RunToEnd(engine));
    const auto events = queue->TakeAll();
    const auto texts = MessageTexts(events);
    ASSERT_GE(texts.size(), 2u);
    EXPECT_NE(std::find(texts.begin(), texts.end(), "An error occurred while encoding " + Out("out.mp3")), texts.end());
    EXPECT_EQ(texts.back(), "Joining status: ERROR.");
    EXPECT_FALSE(HasDone(events));
}

TEST_F(RunnerTest, EncoderThatGivesUpStopsTheRun) {
    // An encoder that ends without encoding and without stopping the run must not leave the
    // decoder waiting on a full buffer.
    ToneSpec longTone;
    longTone.seconds = 20.0;
    longTone.kbps = 64;
    const CFileToBeJoin longInput = MakeInput(dir, "long.mp3", longTone);
    engine->encodeTask = [](JoinEngine&, CConversionTask&) -> int { return 0; };
    AddTask(*engine, MakeTask({longInput}, settings, Out("out.mp3")));
    ASSERT_TRUE(RunToEnd(engine, 30000));
    const auto texts = MessageTexts(queue->TakeAll());
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.back(), "Joining status: ERROR.");
}

TEST_F(RunnerTest, WorkerThatDoesNotEndIsLeftBehindSafely) {
    auto release = std::make_shared<std::atomic<bool>>(false);
    auto touched = std::make_shared<std::atomic<int>>(0);
    engine->workerWaitMs = 100;
    // An encoder that ignores the stop flag until the test lets it go, then still reads the
    // engine and the task: neither may be gone by then.
    engine->encodeTask = [release, touched](JoinEngine& e, CConversionTask& task) -> int {
        task.encoding = 1;
        while (!release->load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        touched->store(static_cast<int>(e.activeRun->running.load()) + 10 +
                       static_cast<int>(task.outputPath.size() > 0));
        task.encoding = 0;
        return 1;
    };
    AddTask(*engine, MakeTask({a}, settings, Out("out.mp3")));
    auto job = StartJoinRun(engine);
    ASSERT_TRUE(job);
    ASSERT_TRUE(job->Wait(20000));
    const auto texts = MessageTexts(queue->TakeAll());
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.back(), "Joining status: ERROR.");
    EXPECT_EQ(engine->activeRun->running, 0);

    // While it lives, no new run may start on the same buffers.
    EXPECT_FALSE(StartJoinRun(engine));

    std::weak_ptr<JoinEngine> weak = engine;
    auto encoder = engine->activeRun->encoderThread.load();
    engine.reset();
    queue.reset();
    EXPECT_FALSE(weak.expired());  // the left-behind worker keeps the engine alive
    release->store(true);
    ASSERT_TRUE(encoder->Wait(10000));
    EXPECT_EQ(touched->load(), 11);
    EXPECT_TRUE(WaitUntil([&] { return weak.expired(); }, 10000));
}

TEST_F(RunnerTest, RunWithoutASinkStillJoins) {
    engine->sink.reset();
    AddTask(*engine, MakeTask({a, b}, settings, Out("out.mp3")));
    ASSERT_TRUE(RunToEnd(engine));
    ASSERT_EQ(pcm->tasks.size(), 1u);
    EXPECT_EQ(pcm->tasks[0].size(), a.totalSamples + b.totalSamples);
}

TEST_F(RunnerTest, StopWorkersWaitsForAllThreads) {
    AddTask(*engine, MakeTask({a}, settings, Out("out.mp3")));
    auto job = StartJoinRun(engine);
    ASSERT_TRUE(job);
    EXPECT_TRUE(StopJoinWorkers(*engine->activeRun, 60000));
    EXPECT_TRUE(job->Finished());
    // A second run on the same engine works once the first has ended.
    queue->TakeAll();
    engine->activeRun->tasks.clear();
    engine->activeRun->overallSamplesTotal = 0;
    AddTask(*engine, MakeTask({b}, settings, Out("again.mp3")));
    ASSERT_TRUE(RunToEnd(engine));
    EXPECT_TRUE(HasDone(queue->TakeAll()));
    ASSERT_EQ(pcm->tasks.size(), 2u);
    EXPECT_EQ(pcm->tasks[1], Ref(b));
}

TEST_F(RunnerTest, TaskWithoutInputsFails) {
    AddTask(*engine, MakeTask({}, settings, Out("out.mp3")));
    ASSERT_TRUE(RunToEnd(engine));
    const auto events = queue->TakeAll();
    const auto texts = MessageTexts(events);
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_EQ(texts[2], "Joining status: ERROR.");
    EXPECT_FALSE(HasDone(events));
    // The encoder was started and saw at once that nothing would come.
    ASSERT_EQ(pcm->tasks.size(), 1u);
    EXPECT_TRUE(pcm->tasks[0].empty());
}

TEST_F(RunnerTest, ConvertingTaskKeepsTheFlagsUntilTheChainHasDrained) {
    // The stand-in encoder ends only when decoding and converting are both clear; with a
    // converting task every converted sample must still have reached it.
    ToneSpec half;
    half.rate = 22050;
    half.channels = 2;
    half.seconds = 2.0;
    half.kbps = 64;
    const CFileToBeJoin low = MakeInput(dir, "low.mp3", half);
    CConversionTask task = MakeTask({a, low}, settings, Out("out.mp3"));
    ASSERT_EQ(task.needsConversion, 1);
    const uint64_t expected = task.totalSamples;
    AddTask(*engine, task);
    ASSERT_TRUE(RunToEnd(engine));
    EXPECT_TRUE(HasDone(queue->TakeAll()));
    ASSERT_EQ(pcm->tasks.size(), 1u);
    EXPECT_LE(std::llabs(static_cast<long long>(pcm->tasks[0].size()) - static_cast<long long>(expected)), 2);
    const auto ref = Ref(a);
    EXPECT_TRUE(std::equal(ref.begin(), ref.end(), pcm->tasks[0].begin()));
}

TEST_F(RunnerTest, AConversionThatCannotBeSetUpEndsTheRunWithALineNamingTheFile) {
    CConversionTask task = MakeTask({a, b}, settings, Out("out.mp3"));
    task.needsConversion = 1;
    task.outputRate = 0;  // no "rate" effect can be made for this target
    AddTask(*engine, task);
    // The run ends by itself: decoder and encoder are not left waiting on each other.
    ASSERT_TRUE(RunToEnd(engine, 20000));
    const std::vector<JoinEvent> events = queue->TakeAll();
    const std::vector<std::string> texts = MessageTexts(events);
    EXPECT_NE(std::find(texts.begin(), texts.end(), "An error occurred while converting " + a.path), texts.end());
    EXPECT_EQ(texts.back(), "Joining status: ERROR.");
    EXPECT_FALSE(HasDone(events));
    EXPECT_EQ(engine->activeRun->running.load(), 0);
}
