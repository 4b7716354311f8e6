#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <fstream>
#include <filesystem>
#include <thread>
#include <vector>

#include "engine/decoder.h"
#include "engine_harness.h"

using namespace velmora;
using namespace velmora::enginetest;

namespace {

// The job thread's part of a decode: sets the current input as DecodeAllFiles does.
void SetCurrent(CConversionTask& task, const CFileToBeJoin& input) {
    task.currentFile = input.path;
    task.currentRate = input.sampleRate;
    task.currentChannels = input.channels;
}

// Decodes one input while a reader thread drains decodedSamples; returns what it read.
std::vector<int32_t> DecodeWithReader(JoinEngine& engine, CConversionTask& task, int& result) {
    std::atomic<bool> decoderDone{false};
    std::vector<int32_t> got;
    std::thread reader([&] {
        std::vector<int32_t> buf(3000);
        for (;;) {
            const bool finished = decoderDone.load();
            const uint32_t n = engine.decodedSamples.Read(buf.data(), static_cast<uint32_t>(buf.size()), 0);
            got.insert(got.end(), buf.begin(), buf.begin() + n);
            if (n == 0) {
                if (finished) break;
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
    });
    result = DecodeFile(engine, task);
    decoderDone = true;
    reader.join();
    return got;
}

class DecoderTest : public ::testing::Test {
protected:
    void SetUp() override {
        engine = MakeEngine(queue, nullptr);
        engine->activeRun->running = 1;
    }
    std::vector<JoinEvent> Events() { return queue->TakeAll(); }

    TempDir dir;
    std::shared_ptr<JoinEventQueue> queue = std::make_shared<JoinEventQueue>();
    std::shared_ptr<JoinEngine> engine;
    CConversionTask task;
};

}  // namespace

TEST_F(DecoderTest, EverySampleArrivesInOrder) {
    struct Case { int rate; int channels; };
    for (const Case c : {Case{44100, 2}, Case{44100, 1}, Case{48000, 2}, Case{32000, 1}, Case{22050, 1},
                         Case{24000, 2}, Case{16000, 2}, Case{11025, 1}, Case{8000, 1}}) {
        SCOPED_TRACE(::testing::Message() << c.rate << " Hz, " << c.channels << " channel(s)");
        ToneSpec tone;
        tone.rate = c.rate;
        tone.channels = c.channels;
        tone.seconds = 1.3;
        tone.kbps = c.rate >= 32000 ? 128 : 64;  // room for the Info header in every frame size
        const CFileToBeJoin input = MakeInput(dir, "tone.mp3", tone);
        ASSERT_EQ(input.sampleRate, static_cast<uint32_t>(c.rate));
        ASSERT_EQ(input.channels, static_cast<uint32_t>(c.channels));
        // The length the file list measured (the library's length × channels) is what arrives.
        ASSERT_GT(input.totalSamples, static_cast<uint64_t>(1.2 * c.rate) * c.channels);

        engine->decodedSamples.Reset();
        SetCurrent(task, input);
        int result = -1;
        const std::vector<int32_t> got = DecodeWithReader(*engine, task, result);
        EXPECT_EQ(result, 1);
        EXPECT_EQ(got.size(), input.totalSamples);
        const std::vector<int32_t> reference = ReferenceDecode(input.path, c.rate, c.channels);
        EXPECT_EQ(got, reference);
        // A real tone, not silence: the 32-bit samples use the upper bits.
        int32_t peak = 0;
        for (int32_t s : got) peak = std::max(peak, s < 0 ? -(s + 1) : s);
        EXPECT_GT(peak, 1 << 28);
        EXPECT_TRUE(MessageTexts(Events()).empty());
    }
}

TEST_F(DecoderTest, RecordedFormatIsForcedOnTheOutput) {
    // A 44.1 kHz stereo file whose entry says 22.05 kHz mono comes out at the recorded format.
    ToneSpec tone;
    tone.seconds = 1.0;
    const CFileToBeJoin input = MakeInput(dir, "stereo.mp3", tone);
    CFileToBeJoin recorded = input;
    recorded.sampleRate = 22050;
    recorded.channels = 1;
    SetCurrent(task, recorded);
    int result = -1;
    const std::vector<int32_t> got = DecodeWithReader(*engine, task, result);
    EXPECT_EQ(result, 1);
    // Half the rate and one channel: about a quarter of the samples.
    EXPECT_NEAR(static_cast<double>(got.size()), input.totalSamples / 4.0, 1200.0);
}

TEST_F(DecoderTest, UnsupportedRateIsAnInvalidFormat) {
    const CFileToBeJoin input = MakeInput(dir, "tone.mp3", ToneSpec{});
    for (uint32_t rate : {1234u, 96000u, 0u}) {
        CFileToBeJoin recorded = input;
        recorded.sampleRate = rate;
        SetCurrent(task, recorded);
        EXPECT_EQ(DecodeFile(*engine, task), 0) << rate;
        EXPECT_EQ(engine->decodedSamples.Used(0), 0u);
        const auto texts = MessageTexts(Events());
        ASSERT_EQ(texts.size(), 1u);
        EXPECT_EQ(texts[0], "Invalid Format!");
    }
}

TEST_F(DecoderTest, ChannelCountOtherThanOneOrTwoIsAnInvalidFormat) {
    const CFileToBeJoin input = MakeInput(dir, "tone.mp3", ToneSpec{});
    for (uint32_t channels : {0u, 3u, 6u}) {
        CFileToBeJoin recorded = input;
        recorded.channels = channels;
        SetCurrent(task, recorded);
        EXPECT_EQ(DecodeFile(*engine, task), 0) << channels;
        EXPECT_EQ(engine->decodedSamples.Used(0), 0u);
        const auto events = Events();
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].text, "Invalid Format!");
        EXPECT_EQ(events[0].kind, kMessageError);
    }
}

TEST_F(DecoderTest, MissingFileIsReportedAndTheHandleStaysUsable) {
    const CFileToBeJoin input = MakeInput(dir, "gone.mp3", ToneSpec{});
    std::filesystem::remove(input.path);
    SetCurrent(task, input);
    EXPECT_EQ(DecodeFile(*engine, task), kDecodeNoAudio);
    EXPECT_EQ(engine->decodedSamples.Used(0), 0u);
    const auto events = Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, kMessageError);
    EXPECT_EQ(events[0].text.rfind("Trouble with mpg123: ", 0), 0u) << events[0].text;
    EXPECT_GT(events[0].text.size(), std::string("Trouble with mpg123: ").size());

    // The next input decodes normally on the same handle.
    const CFileToBeJoin next = MakeInput(dir, "next.mp3", ToneSpec{});
    SetCurrent(task, next);
    int result = -1;
    const auto got = DecodeWithReader(*engine, task, result);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(got.size(), next.totalSamples);
}

TEST_F(DecoderTest, NotAnMp3EndsQuietlyWithoutSamples) {
    const auto path = dir / "noise.mp3";
    {
        std::ofstream f(path, std::ios::binary);
        for (int i = 0; i < 3000; ++i) f.put(static_cast<char>(i * 7 % 13));
    }
    CFileToBeJoin input{path.string(), 44100, 2, 0};
    SetCurrent(task, input);
    int result = -1;
    const auto got = DecodeWithReader(*engine, task, result);
    // Either the open fails with the library's reason, or the read finds no frame; never a crash.
    if (result == 0) {
        const auto texts = MessageTexts(Events());
        ASSERT_EQ(texts.size(), 1u);
        EXPECT_EQ(texts[0].rfind("Trouble with mpg123: ", 0), 0u);
    }
    EXPECT_TRUE(got.empty());
}

TEST_F(DecoderTest, StalledConsumerFillsTheBufferThenStopClosesTheFile) {
    // 13 s of 44.1 kHz stereo is more than the buffer's 1 048 575 samples.
    ToneSpec tone;
    tone.seconds = 13.0;
    tone.kbps = 64;
    const CFileToBeJoin input = MakeInput(dir, "long.mp3", tone);
    ASSERT_GT(input.totalSamples, kSampleRingCapacity);
    SetCurrent(task, input);

    std::atomic<int> result{-1};
    std::thread decoder([&] { result = DecodeFile(*engine, task); });
    const uint32_t full = kSampleRingCapacity - 1;
    EXPECT_TRUE(WaitUntil([&] { return engine->decodedSamples.Free() == 0; }, 30000));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(result.load(), -1);  // still waiting for room
    EXPECT_EQ(engine->decodedSamples.Used(0), full);

    engine->activeRun->running = 0;
    decoder.join();
    EXPECT_EQ(result.load(), 1);
    EXPECT_TRUE(MessageTexts(Events()).empty());

    // What was buffered is the start of the file, in order.
    const auto reference = ReferenceDecode(input.path, 44100, 2);
    std::vector<int32_t> buffered(full);
    ASSERT_EQ(engine->decodedSamples.Read(buffered.data(), full, 0), full);
    EXPECT_TRUE(std::equal(buffered.begin(), buffered.end(), reference.begin()));

    // The file was closed: the handle opens the next input at once.
    engine->activeRun->running = 1;
    engine->decodedSamples.Reset();
    const CFileToBeJoin next = MakeInput(dir, "next.mp3", ToneSpec{});
    SetCurrent(task, next);
    int again = -1;
    const auto got = DecodeWithReader(*engine, task, again);
    EXPECT_EQ(again, 1);
    EXPECT_EQ(got.size(), next.totalSamples);
}

TEST_F(DecoderTest, StoppedRunReadsNothing) {
    const CFileToBeJoin input = MakeInput(dir, "tone.mp3", ToneSpec{});
    SetCurrent(task, input);
    engine->activeRun->running = 0;
    EXPECT_EQ(DecodeFile(*engine, task), 1);
    EXPECT_EQ(engine->decodedSamples.Used(0), 0u);
}
