#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <thread>
#include <vector>

#include "engine/converter.h"
#include "engine_harness.h"

using namespace velmora;
using namespace velmora::enginetest;
using velmora::testing::DecodedMp3;
using velmora::testing::EstimateFrequency;

namespace {

// 32-bit engine PCM as 16-bit samples, for the frequency estimate of the fixtures.
DecodedMp3 As16Bit(const std::vector<int32_t>& pcm, size_t first, size_t count, long rate, int channels) {
    DecodedMp3 d;
    d.ok = true;
    d.rate = rate;
    d.channels = channels;
    for (size_t i = first; i < first + count && i < pcm.size(); ++i) d.samples.push_back(static_cast<int16_t>(pcm[i] >> 16));
    return d;
}

std::vector<int32_t> Sine(size_t frames, int channels, double hz, double rate) {
    std::vector<int32_t> s(frames * static_cast<size_t>(channels));
    for (size_t i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c)
            s[i * channels + c] = static_cast<int32_t>(1.0e9 * std::sin(2 * M_PI * hz * (c + 1) * i / rate));
    return s;
}

// Runs ConvertFile on its own thread for a task whose current input is `input`, playing the
// decoder (feeding decodedSamples, then clearing fileDecoding) and the encoder (draining
// convertedSamples). Returns what came out.
std::vector<int32_t> ConvertDirectly(JoinEngine& engine, CConversionTask& task, const std::vector<int32_t>& input) {
    engine.decodedSamples.Reset();
    engine.convertedSamples.Reset();
    task.fileDecoding = 1;
    task.converting = 1;
    std::atomic<bool> chainEnded{false};
    std::thread chain([&] {
        ConvertFile(engine, task);
        chainEnded = true;
    });
    std::vector<int32_t> out;
    std::vector<int32_t> buf(4096);
    size_t fed = 0;
    for (;;) {
        if (fed < input.size()) {
            const uint32_t want = static_cast<uint32_t>(std::min<size_t>(input.size() - fed, 3000));
            fed += engine.decodedSamples.Write(input.data() + fed, want);
            if (fed == input.size()) task.fileDecoding = 0;
        }
        const bool ended = chainEnded.load();
        const uint32_t n = engine.convertedSamples.Read(buf.data(), static_cast<uint32_t>(buf.size()), 0);
        out.insert(out.end(), buf.begin(), buf.begin() + n);
        if (n == 0) {
            if (ended) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    if (input.empty()) task.fileDecoding = 0;
    chain.join();
    return out;
}

class ConverterTest : public ::testing::Test {
protected:
    void SetUp() override {
        engine = MakeEngine(queue, pcm);
        engine->activeRun->running = 1;
    }
    std::string Out(const std::string& name) { return (dir / name).string(); }
    std::vector<int32_t> Ref(const CFileToBeJoin& f) {
        return ReferenceDecode(f.path, static_cast<long>(f.sampleRate), static_cast<int>(f.channels));
    }

    TempDir dir;
    AppSettings settings;
    std::shared_ptr<JoinEventQueue> queue = std::make_shared<JoinEventQueue>();
    std::shared_ptr<CollectedPcm> pcm = std::make_shared<CollectedPcm>();
    std::shared_ptr<JoinEngine> engine;
};

}  // namespace

TEST_F(ConverterTest, ChainDoublesChannelsAndRate) {
    CConversionTask task;
    task.currentRate = 22050;
    task.currentChannels = 1;
    task.outputRate = 44100;
    task.outputChannels = 2;
    const size_t frames = 22050;
    const auto out = ConvertDirectly(*engine, task, Sine(frames, 1, 500.0, 22050));
    EXPECT_EQ(task.converting, 0);
    // One second in, one second out: 44100 stereo frames, within one frame.
    EXPECT_NEAR(static_cast<double>(out.size()), 88200.0, 2.0);
    EXPECT_EQ(out.size() % 2, 0u);
    // Both channels carry the mono signal, and the tone keeps its pitch.
    for (size_t i = 0; i + 1 < out.size(); i += 2) ASSERT_EQ(out[i], out[i + 1]) << i;
    const auto d = As16Bit(out, 0, out.size(), 44100, 2);
    EXPECT_NEAR(EstimateFrequency(d, 2000, 40000, 0), 500.0, 10.0);
}

TEST_F(ConverterTest, SameFormatPassesAsAPlainCopy) {
    CConversionTask task;
    task.currentRate = 44100;
    task.currentChannels = 2;
    task.outputRate = 44100;
    task.outputChannels = 2;
    const auto input = Sine(30000, 2, 440.0, 44100);
    EXPECT_EQ(ConvertDirectly(*engine, task, input), input);
}

TEST_F(ConverterTest, RateOnlyKeepsTheLength) {
    CConversionTask task;
    task.currentRate = 48000;
    task.currentChannels = 2;
    task.outputRate = 32000;
    task.outputChannels = 2;
    const auto out = ConvertDirectly(*engine, task, Sine(48000, 2, 300.0, 48000));
    EXPECT_NEAR(static_cast<double>(out.size()), 64000.0, 2.0);
    const auto d = As16Bit(out, 0, out.size(), 32000, 2);
    EXPECT_NEAR(EstimateFrequency(d, 2000, 28000, 0), 300.0, 8.0);
    EXPECT_NEAR(EstimateFrequency(d, 2000, 28000, 1), 600.0, 12.0);
}

TEST_F(ConverterTest, StereoToMonoMixesBothChannels) {
    CConversionTask task;
    task.currentRate = 44100;
    task.currentChannels = 2;
    task.outputRate = 44100;
    task.outputChannels = 1;
    // The same tone on both sides: the mix is that tone.
    std::vector<int32_t> input(44100 * 2);
    for (size_t i = 0; i < 44100; ++i)
        input[2 * i] = input[2 * i + 1] = static_cast<int32_t>(1.0e9 * std::sin(2 * M_PI * 700.0 * i / 44100));
    const auto out = ConvertDirectly(*engine, task, input);
    ASSERT_EQ(out.size(), 44100u);
    const auto d = As16Bit(out, 0, out.size(), 44100, 1);
    EXPECT_NEAR(EstimateFrequency(d, 1000, 40000, 0), 700.0, 10.0);
    int32_t peak = 0;
    for (int32_t s : out) peak = std::max(peak, std::abs(s));
    EXPECT_GT(peak, 400000000);  // a real signal, not silence
}

TEST_F(ConverterTest, InputOfZeroSamplesEndsTheChainAtOnce) {
    CConversionTask task;
    task.currentRate = 22050;
    task.currentChannels = 1;
    task.outputRate = 44100;
    task.outputChannels = 2;
    task.fileDecoding = 0;  // the decoder wrote nothing and is done
    task.converting = 1;
    std::atomic<bool> ended{false};
    std::thread chain([&] {
        ConvertFile(*engine, task);
        ended = true;
    });
    // The chain must not wait for input that will never come.
    EXPECT_TRUE(WaitUntil([&] { return ended.load(); }, 10000));
    chain.join();
    EXPECT_EQ(task.converting, 0);
    EXPECT_EQ(engine->convertedSamples.Used(0), 0u);
}

TEST_F(ConverterTest, ClearingRunningEndsAWaitingChain) {
    CConversionTask task;
    task.currentRate = 22050;
    task.currentChannels = 1;
    task.outputRate = 44100;
    task.outputChannels = 2;
    task.fileDecoding = 1;  // a decoder that stalls: the chain waits for input
    task.converting = 1;
    std::atomic<bool> ended{false};
    std::thread chain([&] {
        ConvertFile(*engine, task);
        ended = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(ended.load());
    engine->activeRun->running = 0;
    EXPECT_TRUE(WaitUntil([&] { return ended.load(); }, 10000));
    chain.join();
    EXPECT_EQ(task.converting, 0);
}

TEST_F(ConverterTest, MonoHalfRateJoinsWithCdQualityAsStereo) {
    ToneSpec monoTone;
    monoTone.rate = 22050;
    monoTone.channels = 1;
    monoTone.seconds = 1.5;
    monoTone.frequency = 440;
    monoTone.kbps = 64;
    const CFileToBeJoin mono = MakeInput(dir, "mono.mp3", monoTone);
    ToneSpec stereoTone;
    stereoTone.seconds = 1.0;
    stereoTone.frequency = 330;
    const CFileToBeJoin stereo = MakeInput(dir, "stereo.mp3", stereoTone);

    CConversionTask task = MakeTask({mono, stereo}, settings, Out("out.mp3"));
    ASSERT_EQ(task.outputRate, 44100u);
    ASSERT_EQ(task.outputChannels, 2u);
    ASSERT_EQ(task.needsConversion, 1);
    const uint64_t expected = task.totalSamples;
    EXPECT_EQ(expected, mono.totalSamples * 4 + stereo.totalSamples);
    AddTask(*engine, task);
    engine->activeRun->running = 0;
    ASSERT_TRUE(RunToEnd(engine));

    const auto events = queue->TakeAll();
    EXPECT_TRUE(HasDone(events));
    EXPECT_EQ(MessageTexts(events).back(), "Joining status: OK.");
    ASSERT_EQ(pcm->tasks.size(), 1u);
    const auto& out = pcm->tasks[0];
    // Within one stereo frame of the figure the task was planned with.
    EXPECT_LE(std::llabs(static_cast<long long>(out.size()) - static_cast<long long>(expected)), 2);

    // The converted part: both channels the same 440 Hz tone.
    const size_t convertedPart = mono.totalSamples * 4;
    const auto first = As16Bit(out, 0, convertedPart, 44100, 2);
    EXPECT_NEAR(EstimateFrequency(first, 4000, 50000, 0), 440.0, 10.0);
    for (size_t i = 4000; i < convertedPart - 4000; i += 2) ASSERT_EQ(out[i], out[i + 1]) << i;
    // The input in the output format went through the chain unchanged.
    const auto ref = Ref(stereo);
    ASSERT_GE(out.size(), ref.size());
    EXPECT_TRUE(std::equal(ref.begin(), ref.end(), out.end() - static_cast<long>(ref.size())));
}

TEST_F(ConverterTest, EveryInputOfAConvertingTaskGoesThroughAChain) {
    ToneSpec cd;
    cd.seconds = 0.6;
    const CFileToBeJoin one = MakeInput(dir, "one.mp3", cd);
    cd.frequency = 550;
    const CFileToBeJoin two = MakeInput(dir, "two.mp3", cd);
    ToneSpec half;
    half.rate = 22050;
    half.seconds = 0.8;
    half.kbps = 64;
    const CFileToBeJoin three = MakeInput(dir, "three.mp3", half);
    CFileToBeJoin bad = one;
    bad.sampleRate = 1234;  // decodes to nothing: its chain ends at once

    CConversionTask task = MakeTask({one, two, bad, three}, settings, Out("out.mp3"));
    ASSERT_EQ(task.outputRate, 44100u);
    ASSERT_EQ(task.needsConversion, 1);
    AddTask(*engine, task);
    engine->activeRun->running = 0;
    ASSERT_TRUE(RunToEnd(engine));

    const auto events = queue->TakeAll();
    const auto texts = MessageTexts(events);
    EXPECT_NE(std::find(texts.begin(), texts.end(), "Invalid Format!"), texts.end());
    EXPECT_EQ(texts.back(), "Joining status: OK.");
    ASSERT_EQ(pcm->tasks.size(), 1u);
    const auto& out = pcm->tasks[0];
    const auto r1 = Ref(one);
    const auto r2 = Ref(two);
    ASSERT_GT(out.size(), r1.size() + r2.size());
    EXPECT_TRUE(std::equal(r1.begin(), r1.end(), out.begin()));
    EXPECT_TRUE(std::equal(r2.begin(), r2.end(), out.begin() + static_cast<long>(r1.size())));
    const double thirdPart = static_cast<double>(out.size() - r1.size() - r2.size());
    EXPECT_NEAR(thirdPart, static_cast<double>(three.totalSamples) * 2, 2.0);
}

TEST_F(ConverterTest, MonoModeMakesStereoInputsMono) {
    ToneSpec cd;
    cd.seconds = 0.5;
    const CFileToBeJoin one = MakeInput(dir, "one.mp3", cd);
    settings.channelModeIndex = kChannelMono;
    CConversionTask task = MakeTask({one, one}, settings, Out("out.mp3"));
    ASSERT_EQ(task.outputChannels, 1u);
    ASSERT_EQ(task.needsConversion, 1);
    AddTask(*engine, task);
    engine->activeRun->running = 0;
    ASSERT_TRUE(RunToEnd(engine));
    ASSERT_EQ(pcm->tasks.size(), 1u);
    EXPECT_EQ(pcm->tasks[0].size(), task.totalSamples);
}

TEST_F(ConverterTest, CancelWhileTheEncoderIsPausedEndsEveryThread) {
    ToneSpec longMono;
    longMono.rate = 22050;
    longMono.channels = 1;
    longMono.seconds = 75.0;  // more than both buffers hold together
    longMono.kbps = 32;
    const CFileToBeJoin mono = MakeInput(dir, "long.mp3", longMono);
    ToneSpec cd;
    cd.seconds = 0.5;
    const CFileToBeJoin stereo = MakeInput(dir, "cd.mp3", cd);
    AddTask(*engine, MakeTask({mono, stereo}, settings, Out("out.mp3")));
    engine->activeRun->running = 0;
    auto job = StartJoinRun(engine);
    ASSERT_TRUE(job);
    // Held before its first pass (the job thread starts work after its start delay; a run
    // start clears the flag, so it is raised only now).
    engine->activeRun->paused = 1;
    // Both buffers fill up and every stage waits.
    ASSERT_TRUE(WaitUntil([&] { return engine->convertedSamples.Free() == 0; }, 30000));
    ASSERT_TRUE(WaitUntil([&] { return engine->decodedSamples.Free() < 100000; }, 30000));
    engine->activeRun->running = 0;
    ASSERT_TRUE(job->Wait(20000));
    auto conversion = engine->activeRun->conversionThread.load();
    ASSERT_TRUE(conversion);
    EXPECT_TRUE(conversion->Finished());
    EXPECT_TRUE(engine->activeRun->encoderThread.load()->Finished());
    const auto events = queue->TakeAll();
    EXPECT_EQ(MessageTexts(events).back(), "Joining status: ERROR.");
    EXPECT_FALSE(HasDone(events));
}
