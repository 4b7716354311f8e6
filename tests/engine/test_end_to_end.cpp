// Whole joins through the runner: real MP3 inputs made here, decoded by libmpg123, converted
// by libsox where needed, encoded through lame_enc.so, and the output decoded again.
#include "test_encoder_support.h"

#include "engine/bitrate_choice.h"
#include "engine/loudness.h"
#include "engine/output_tag.h"
#include "engine/stream_info.h"
#include "lame_enc/mp3_frames.h"
#include "support/ffmpeg_fixtures.h"

#include <ebur128.h>
#include <mpg123.h>
#include <taglib/attachedpictureframe.h>
#include <taglib/chapterframe.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/textidentificationframe.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>

using namespace velmora;
using namespace velmora::testing;

namespace {

class Join {
public:
    Join() {
        engine = MakeHeadlessEngine(sink);
        engine->encodeTask = EncodeTask;
        engine->settings.askOutputPath = 1;
        output = (dir / "joined.mp3").string();
    }

    std::string Tone(const std::string& name, int rate, int channels, double seconds, double freq) {
        const auto path = dir / name;
        ToneSpec toneSpec;
        toneSpec.rate = rate;
        toneSpec.channels = channels;
        toneSpec.seconds = seconds;
        toneSpec.frequency = freq;
        toneSpec.kbps = rate < 32000 ? 64 : 128;
        EXPECT_TRUE(MakeToneMp3(path, toneSpec)) << name;
        return path.string();
    }

    // An input as the file list measures it.
    static CFileToBeJoin Measured(const std::string& path) {
        const StreamInfo info = ReadStreamInfo(path);
        EXPECT_TRUE(info.readable) << path << ": " << info.message;
        CFileToBeJoin f;
        f.path = path;
        f.sampleRate = info.sampleRate;
        f.channels = info.channels;
        f.totalSamples = info.totalSamples;
        return f;
    }

    // An input that was readable when listed and was damaged afterwards.
    std::string Damaged(const std::string& name) {
        const auto path = dir / name;
        std::ofstream out(path, std::ios::binary);
        for (int i = 0; i < 2000; ++i) out << "this is no audio at all, line " << i << "\n";
        return path.string();
    }

    CConversionTask& AddTask(const std::vector<CFileToBeJoin>& inputs) {
        CConversionTask task;
        *task.files = inputs;
        task.outputKind = kOutputKindMp3;
        task.outputPath = output;
        PrepareTask(task, engine->settings);
        JoinRunState& run = *engine->activeRun;
        run.overallSamplesTotal = run.overallSamplesTotal.load() + task.totalSamples;
        run.tasks.push_back(task);
        return run.tasks.back();
    }

    // Starts the run; `during` runs on this thread while the job goes on.
    Reports Run(const std::function<void(JoinRunState&)>& during = {}) {
        std::shared_ptr<WorkerThread> job = StartJoinRun(engine);
        EXPECT_TRUE(job);
        if (!job) return Reports({});
        if (during) during(*engine->activeRun);
        EXPECT_TRUE(job->Wait(60000)) << "the run did not end";
        EXPECT_TRUE(StopJoinWorkers(*engine->activeRun, 10000));
        return Reports(sink->TakeAll());
    }

    TempDir dir;
    std::shared_ptr<JoinEventQueue> sink;
    std::shared_ptr<JoinEngine> engine;
    std::string output;
};

// The output is whole: every byte a Layer III frame, and an Info header that counts them.
void ExpectWholeFile(const std::string& path, int rate, int mode) {
    const Mp3File file = ReadMp3File(path);
    ASSERT_TRUE(file.ok) << path;
    ASSERT_TRUE(file.hasInfo) << path;
    EXPECT_EQ(file.infoId, "Info");
    EXPECT_EQ(file.infoFrames, file.frames.size() - 1);
    EXPECT_EQ(file.infoBytes, file.audioBytes());
    for (const Mp3Frame& f : file.frames) {
        EXPECT_EQ(f.layer, 3);
        EXPECT_EQ(f.rate, rate);
        EXPECT_EQ(f.mode, mode);
    }
    const DecodedMp3 d = DecodeMp3(path);
    ASSERT_TRUE(d.ok);
    if (file.frames.size() > 1 && file.encoderDelay >= 0) {
        const size_t coded = (file.frames.size() - 1) * SamplesPerFrame(file.frames[0]);
        EXPECT_EQ(d.frames(), coded - file.encoderDelay - file.encoderPadding);
    }
}

// Runs the join, expects it to end cleanly with one whole output file of `rate` and `mode`,
// and decodes that file.
DecodedMp3 RunCleanly(Join& j, int rate, int mode) {
    const Reports r = j.Run();
    EXPECT_TRUE(r.errorLines.empty()) << r.errorLines.front();
    EXPECT_EQ(r.done, 1);
    ExpectWholeFile(j.output, rate, mode);
    return DecodeMp3(j.output);
}

TEST(EndToEnd, TwoStereoInputsJoinSampleExactly) {
    REQUIRE_ENCODER_MODULE();
    Join j;
    j.engine->settings.bitrateIndex = 13;  // 192 kbit/s
    const auto a = Join::Measured(j.Tone("a.mp3", 44100, 2, 1.0, 440.0));
    const auto b = Join::Measured(j.Tone("b.mp3", 44100, 2, 1.5 + 123.0 / 44100, 880.0));
    const CConversionTask& task = j.AddTask({a, b});
    EXPECT_EQ(task.outputRate, 44100u);
    EXPECT_EQ(task.outputChannels, 2u);
    EXPECT_EQ(task.needsConversion, 0);
    const uint64_t total = task.totalSamples;
    EXPECT_EQ(total, a.totalSamples + b.totalSamples);

    const Reports r = j.Run();
    EXPECT_TRUE(r.errorLines.empty()) << r.errorLines.front();
    EXPECT_TRUE(r.HasLine("Joining status: OK."));
    EXPECT_EQ(r.done, 1);
    EXPECT_TRUE(r.boxes.empty());
    ASSERT_FALSE(r.progress.empty());
    EXPECT_TRUE(r.progress.back().final);
    EXPECT_FLOAT_EQ(r.progress.back().taskPercent, 100.0f);
    EXPECT_FLOAT_EQ(r.progress.back().overallPercent, 100.0f);

    const Mp3File file = ReadMp3File(j.output);
    ASSERT_TRUE(file.ok);
    for (const Mp3Frame& f : file.frames) {
        EXPECT_EQ(f.version, 1);
        EXPECT_EQ(f.kbps, 192);
    }
    ExpectWholeFile(j.output, 44100, 1);
    const DecodedMp3 d = DecodeMp3(j.output);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.rate, 44100);
    EXPECT_EQ(d.channels, 2);
    EXPECT_EQ(d.frames(), total / 2);
    // In order and without a gap: the tone changes exactly where the first input ends.
    const size_t seam = a.totalSamples / 2;
    EXPECT_NEAR(EstimateFrequency(d, seam - 8000, 7900), 440.0, 8.0);
    EXPECT_NEAR(EstimateFrequency(d, seam + 100, 7900), 880.0, 8.0);
    EXPECT_NEAR(EstimateFrequency(d, seam + 100, 7900, 1), 1320.0, 12.0);
}

TEST(EndToEnd, LowBitRateOutputKeepsItsInfoHeaderAndLength) {
    REQUIRE_ENCODER_MODULE();
    Join j;
    j.engine->settings.bitrateIndex = 0;  // 8 kbit/s: MPEG-1 frames too small for the header
    const auto a = Join::Measured(j.Tone("a.mp3", 44100, 2, 0.6, 440.0));
    const auto b = Join::Measured(j.Tone("b.mp3", 44100, 2, 0.5, 880.0));
    const uint64_t total = j.AddTask({a, b}).totalSamples;
    const DecodedMp3 d = RunCleanly(j, 44100, 1);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.frames(), total / 2);
}

TEST(EndToEnd, MonoAndStereoAutomaticGiveStereoAt44100) {
    REQUIRE_ENCODER_MODULE();
    Join j;
    const auto a = Join::Measured(j.Tone("mono22.mp3", 22050, 1, 1.0, 500.0));
    const auto b = Join::Measured(j.Tone("stereo44.mp3", 44100, 2, 1.0, 440.0));
    const CConversionTask& task = j.AddTask({a, b});
    EXPECT_EQ(task.outputRate, 44100u);
    EXPECT_EQ(task.outputChannels, 2u);
    EXPECT_EQ(task.needsConversion, 1);
    EXPECT_EQ(task.totalSamples, a.totalSamples * 4 + b.totalSamples);
    const uint64_t total = task.totalSamples;

    const DecodedMp3 d = RunCleanly(j, 44100, 1);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.channels, 2);
    // Within one sample frame per converted input of the expected length.
    EXPECT_NEAR(static_cast<double>(d.frames()), static_cast<double>(total / 2), 2.0);
    // The mono tone is on both channels, at its own pitch after the rate change.
    EXPECT_NEAR(EstimateFrequency(d, 4000, 30000, 0), 500.0, 8.0);
    EXPECT_NEAR(EstimateFrequency(d, 4000, 30000, 1), 500.0, 8.0);
    EXPECT_NEAR(EstimateFrequency(d, 50000, 30000, 0), 440.0, 8.0);
    EXPECT_NEAR(EstimateFrequency(d, 50000, 30000, 1), 660.0, 10.0);
}

TEST(EndToEnd, FixedRateConvertsUnevenRatios) {
    REQUIRE_ENCODER_MODULE();
    Join j;
    j.engine->settings.frequencyIndex = 8;  // 44100 Hz
    j.engine->settings.channelModeIndex = kChannelStereo;
    const auto a = Join::Measured(j.Tone("a48.mp3", 48000, 2, 1.0, 440.0));
    const auto b = Join::Measured(j.Tone("b32.mp3", 32000, 1, 0.7, 600.0));
    const CConversionTask& task = j.AddTask({a, b});
    EXPECT_EQ(task.outputRate, 44100u);
    EXPECT_EQ(task.needsConversion, 1);
    const uint64_t total = task.totalSamples;
    const DecodedMp3 d = RunCleanly(j, 44100, 0);
    ASSERT_TRUE(d.ok);
    EXPECT_NEAR(static_cast<double>(d.frames()), static_cast<double>(total / 2), 2.0);
    EXPECT_NEAR(EstimateFrequency(d, 4000, 30000, 0), 440.0, 8.0);
    EXPECT_NEAR(EstimateFrequency(d, 48000, 20000, 1), 600.0, 8.0);
}

TEST(EndToEnd, MonoModeWithStereoInputs) {
    REQUIRE_ENCODER_MODULE();
    Join j;
    j.engine->settings.channelModeIndex = kChannelMono;
    const auto a = Join::Measured(j.Tone("a.mp3", 44100, 2, 0.7, 440.0));
    const auto b = Join::Measured(j.Tone("b.mp3", 44100, 2, 0.6, 700.0));
    const CConversionTask& task = j.AddTask({a, b});
    EXPECT_EQ(task.outputChannels, 1u);
    EXPECT_EQ(task.needsConversion, 1);
    const uint64_t total = task.totalSamples;
    EXPECT_EQ(total, (a.totalSamples + b.totalSamples) / 2);

    const DecodedMp3 d = RunCleanly(j, 44100, 3);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.channels, 1);
    EXPECT_NEAR(static_cast<double>(d.frames()), static_cast<double>(total), 2.0);
}

TEST(EndToEnd, InputOfZeroSamples) {
    REQUIRE_ENCODER_MODULE();
    for (const bool convert : {false, true}) {
        Join j;
        const auto a = Join::Measured(j.Tone("a.mp3", convert ? 22050 : 44100, convert ? 1 : 2, 0.5, 440.0));
        const auto empty = Join::Measured(j.Tone("empty.mp3", 44100, 2, 0.0, 440.0));
        const auto b = Join::Measured(j.Tone("b.mp3", 44100, 2, 0.5, 880.0));
        EXPECT_EQ(empty.totalSamples, 0u);
        const CConversionTask& task = j.AddTask({a, empty, b});
        EXPECT_EQ(task.needsConversion, convert ? 1 : 0);
        const uint64_t total = task.totalSamples;
        const Reports r = j.Run();
        EXPECT_TRUE(r.errorLines.empty()) << r.errorLines.front();
        EXPECT_EQ(r.done, 1) << convert;
        ExpectWholeFile(j.output, 44100, 1);
        const DecodedMp3 d = DecodeMp3(j.output);
        ASSERT_TRUE(d.ok);
        if (convert)
            EXPECT_NEAR(static_cast<double>(d.frames()), static_cast<double>(total / 2), 3.0);
        else
            EXPECT_EQ(d.frames(), total / 2);
    }
}

// ---- faults -------------------------------------------------------------------------------

// Inputs longer than a ring buffer holds, so a stage that stops reading would leave the
// decoder waiting on a full buffer.
std::vector<CFileToBeJoin> LongInputs(Join& j) {
    return {Join::Measured(j.Tone("long1.mp3", 44100, 2, 8.0, 440.0)),
            Join::Measured(j.Tone("long2.mp3", 44100, 2, 8.0, 550.0))};
}

void ExpectFailedRunWithLine(const Reports& r, const std::string& line) {
    EXPECT_NE(std::find(r.errorLines.begin(), r.errorLines.end(), line), r.errorLines.end()) << line;
    ASSERT_FALSE(r.lines.empty());
    EXPECT_EQ(r.lines.back(), "Joining status: ERROR.");
    EXPECT_EQ(r.done, 0);
}

TEST(EndToEndFaults, MissingModuleEndsTheRunAtOnce) {
    REQUIRE_ENCODER_MODULE();
    Join j;
    const auto empty = j.dir / "empty-folder";
    std::filesystem::create_directories(empty);
    j.engine->encodeTask = [folder = empty.string()](JoinEngine& e, CConversionTask& t) {
        return EncodeTaskWithModule(e, t, folder);
    };
    j.AddTask(LongInputs(j));
    const Reports r = j.Run();
    ExpectFailedRunWithLine(r, "Error loading lame_enc.so");
    ASSERT_EQ(r.boxes.size(), 1u);
    EXPECT_EQ(r.boxes[0], "Error Loading Lame_enc.so");
    EXPECT_FALSE(std::filesystem::exists(j.output));
}

TEST(EndToEndFaults, ModuleWithoutInitEntryPoint) {
    REQUIRE_ENCODER_MODULE();
    Join j;
    j.engine->encodeTask = [folder = StubModuleFolder(j.dir, "noinit")](JoinEngine& e, CConversionTask& t) {
        return EncodeTaskWithModule(e, t, folder);
    };
    j.AddTask(LongInputs(j));
    const Reports r = j.Run();
    ExpectFailedRunWithLine(r, "Unable to get LAME interfaces");
    ASSERT_EQ(r.boxes.size(), 1u);
    EXPECT_EQ(r.boxes[0], "Unable to Get LAME Interfaces");
    EXPECT_FALSE(std::filesystem::exists(j.output));
}

TEST(EndToEndFaults, UnwritableOutputFolder) {
    REQUIRE_ENCODER_MODULE();
    Join j;
    const auto folder = j.dir / "locked";
    std::filesystem::create_directories(folder);
    std::filesystem::permissions(folder, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    // Root writes anywhere; a folder that does not exist fails for everyone.
    j.output = (geteuid() == 0 ? j.dir / "missing" / "out.mp3" : folder / "out.mp3").string();
    j.AddTask(LongInputs(j));
    const Reports r = j.Run();
    ExpectFailedRunWithLine(r, "Error creating file " + j.output);
    EXPECT_TRUE(r.boxes.empty());
    EXPECT_FALSE(std::filesystem::exists(j.output));
    std::filesystem::permissions(folder, std::filesystem::perms::owner_all);
}

TEST(EndToEndFaults, FullDevice) {
    REQUIRE_ENCODER_MODULE();
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
    Join j;
    j.output = "/dev/full";
    j.AddTask({Join::Measured(j.Tone("a.mp3", 44100, 2, 1.0, 440.0))});
    const Reports r = j.Run();
    ExpectFailedRunWithLine(r, "Output file write error");
    EXPECT_EQ(std::count(r.errorLines.begin(), r.errorLines.end(), "Output file write error"), 1);
    EXPECT_TRUE(r.boxes.empty());
}

// An input listed as readable gave no audio at join time: it is named, the run ends as failed,
// and the output still holds the first input (a) and then the last (b, an 880 Hz tone).
void ExpectLostInputNamedAndRestJoined(const Reports& r, const Join& j, const CFileToBeJoin& a,
                                       const CFileToBeJoin& b, const std::string& lost) {
    EXPECT_TRUE(r.HasLine("No audio could be decoded from " + lost + "."));
    EXPECT_EQ(r.lines.back(), "Joining status: ERROR.");
    EXPECT_EQ(r.done, 0);
    ExpectWholeFile(j.output, 44100, 1);
    const DecodedMp3 d = DecodeMp3(j.output);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.frames(), (a.totalSamples + b.totalSamples) / 2);
    EXPECT_NEAR(EstimateFrequency(d, a.totalSamples / 2 + 100, 20000), 880.0, 8.0);
}

TEST(EndToEndFaults, InputsLostSinceListingAreNamedAndFailTheRun) {
    REQUIRE_ENCODER_MODULE();
    for (const int where : {1, 2}) {  // the middle input, the last one
        Join j;
        const auto a = Join::Measured(j.Tone("a.mp3", 44100, 2, 0.8, 440.0));
        const auto b = Join::Measured(j.Tone("b.mp3", 44100, 2, 0.9, 880.0));
        const auto gone = Join::Measured(j.Tone("gone.mp3", 44100, 2, 0.5, 300.0));
        std::filesystem::remove(gone.path);  // listed, then deleted before the join
        j.AddTask(where == 1 ? std::vector<CFileToBeJoin>{a, gone, b} : std::vector<CFileToBeJoin>{a, b, gone});
        const Reports r = j.Run();
        ASSERT_FALSE(r.errorLines.empty());
        EXPECT_EQ(r.errorLines[0].rfind("Trouble with mpg123: ", 0), 0u) << r.errorLines[0];
        ExpectLostInputNamedAndRestJoined(r, j, a, b, gone.path);
    }
    // Overwritten with something that is no MP3: opens, but decodes to nothing.
    Join j;
    const auto a = Join::Measured(j.Tone("a.mp3", 44100, 2, 0.8, 440.0));
    const auto b = Join::Measured(j.Tone("b.mp3", 44100, 2, 0.9, 880.0));
    CFileToBeJoin bad = a;  // measured as a good file before it was overwritten
    bad.path = j.Damaged("bad.mp3");
    j.AddTask({a, bad, b});
    ExpectLostInputNamedAndRestJoined(j.Run(), j, a, b, bad.path);
}

// ---- cancel ---------------------------------------------------------------------------------

TEST(EndToEndCancel, DuringEncoding) {
    REQUIRE_ENCODER_MODULE();
    Join j;
    const CConversionTask& task = j.AddTask(LongInputs(j));
    const uint64_t total = task.totalSamples;
    uint64_t atCancel = 0;
    const Reports r = j.Run([&](JoinRunState& run) {
        while (run.taskSamplesDone.load() < 44100 * 2 && run.running) std::this_thread::yield();
        run.running = 0;
    });
    atCancel = j.engine->activeRun->taskSamplesDone.load();
    ASSERT_FALSE(r.lines.empty());
    EXPECT_EQ(r.lines.back(), "Joining status: ERROR.");
    EXPECT_EQ(r.done, 0);
    ExpectWholeFile(j.output, 44100, 1);
    const DecodedMp3 d = DecodeMp3(j.output);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.frames(), atCancel / 2);
    EXPECT_GT(d.frames(), 0u);
    EXPECT_LT(d.frames(), total / 2);
    EXPECT_NEAR(EstimateFrequency(d, 1000, 40000), 440.0, 8.0);
    // The tag covers what was written: no chapter reaches past the end, the last ends there.
    std::vector<ChapterEntry> chapters;
    ASSERT_TRUE(ReadChapters(j.output, chapters));
    ASSERT_FALSE(chapters.empty());
    EXPECT_EQ(chapters.back().endMs, d.frames() * 1000 / 44100);
    for (const ChapterEntry& c : chapters) EXPECT_LT(c.startMs, c.endMs);
}

TEST(EndToEndCancel, DuringPausedConversion) {
    REQUIRE_ENCODER_MODULE();
    Join j;
    const auto a = Join::Measured(j.Tone("mono22.mp3", 22050, 1, 6.0, 500.0));
    const auto b = Join::Measured(j.Tone("stereo44.mp3", 44100, 2, 2.0, 440.0));
    const CConversionTask& task = j.AddTask({a, b});
    ASSERT_EQ(task.needsConversion, 1);
    j.engine->startDelayMs = 300;  // the pause is in place before any work starts
    const Reports r = j.Run([&](JoinRunState& run) {
        run.paused = 1;
        // Wait until a conversion chain runs, give it time to fill its buffer, then cancel.
        for (int i = 0; i < 5000; ++i) {
            CConversionTask* current = j.engine->currentTask.load();
            if (current && current->converting) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_EQ(run.taskSamplesDone.load(), 0u);
        run.running = 0;
    });
    ASSERT_FALSE(r.lines.empty());
    EXPECT_EQ(r.lines.back(), "Joining status: ERROR.");
    EXPECT_EQ(r.done, 0);
    // Nothing was encoded, yet the file is a whole MP3 whose header says so.
    ExpectWholeFile(j.output, 44100, 1);
    const DecodedMp3 d = DecodeMp3(j.output);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.frames(), 0u);
}

}  // namespace

TEST(EndToEnd, APauseLongerThanTheEndOfTaskWaitNeverFailsTheJoinNorCountsAsWork) {
    REQUIRE_ENCODER_MODULE();
    Join j;
    j.engine->workerWaitMs = 200;  // the end-of-task wait, shortened
    const auto a = Join::Measured(j.Tone("a.mp3", 44100, 2, 1.0, 440.0));
    const auto b = Join::Measured(j.Tone("b.mp3", 44100, 2, 1.0, 880.0));
    const uint64_t total = j.AddTask({a, b}).totalSamples;
    const auto start = std::chrono::steady_clock::now();
    const Reports r = j.Run([](JoinRunState& run) {
        SetPaused(run, true);  // within the start delay, before the encoder's first chunk
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        SetPaused(run, false);
    });
    const float wall = std::chrono::duration<float>(std::chrono::steady_clock::now() - start).count();
    EXPECT_TRUE(r.errorLines.empty()) << r.errorLines.front();
    EXPECT_EQ(r.lines.back(), "Joining status: OK.");
    // The final line times the work alone: the run's wall time less the pause, and the speed
    // is the two seconds of audio over at most that time.
    ASSERT_GE(r.lines.size(), 2u);
    float elapsed = 99, speed = 0;
    ASSERT_EQ(std::sscanf(r.lines[r.lines.size() - 2].c_str(), "Time elapsed %f secs, speed %fx.", &elapsed, &speed), 2)
        << r.lines[r.lines.size() - 2];
    EXPECT_LT(elapsed, wall - 1.4f);
    EXPECT_GT(speed, 2.0f / (wall - 1.4f));
    EXPECT_EQ(r.done, 1);
    ExpectWholeFile(j.output, 44100, 1);
    EXPECT_EQ(DecodeMp3(j.output).frames(), total / 2);
}

// ---- the output's tag and chapters ---------------------------------------------------------

namespace {

CFileToBeJoin Titled(CFileToBeJoin f, const std::string& title) {
    f.tags.title = title;
    return f;
}

// Decoded sample frames of an input at its own rate.
uint64_t FramesOf(const CFileToBeJoin& f) { return f.totalSamples / f.channels; }

std::string FrameText(TagLib::ID3v2::Tag* tag, const char* id) {
    const TagLib::ID3v2::FrameList& l = tag->frameListMap()[id];
    return l.isEmpty() ? std::string() : l.front()->toString().to8Bit(true);
}

std::vector<uint8_t> PseudoJpeg(size_t size) {
    std::vector<uint8_t> bytes(size);
    uint32_t x = 12345;
    for (uint8_t& b : bytes) b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 24);
    bytes[0] = 0xFF, bytes[1] = 0xD8, bytes[2] = 0xFF;
    return bytes;
}

void PutCover(const std::string& path, const std::vector<uint8_t>& bytes, const char* mime) {
    TagLib::MPEG::File file(path.c_str());
    auto* picture = new TagLib::ID3v2::AttachedPictureFrame;
    picture->setMimeType(mime);
    picture->setType(TagLib::ID3v2::AttachedPictureFrame::FrontCover);
    picture->setPicture(TagLib::ByteVector(reinterpret_cast<const char*>(bytes.data()), unsigned(bytes.size())));
    file.ID3v2Tag(true)->addFrame(picture);
    ASSERT_TRUE(file.save(TagLib::MPEG::File::ID3v2));
}

}  // namespace

TEST(OutputTag, AChapterPerFileOrPerTitleAtTheSummedSamplePositions) {
    REQUIRE_ENCODER_MODULE();
    for (const int32_t mode : {kChaptersPerFile, kChaptersPerTitle, kChaptersNone}) {
        Join j;
        j.engine->settings.chapterMode = mode;
        const std::vector<CFileToBeJoin> inputs{
            Titled(Join::Measured(j.Tone("one.mp3", 44100, 2, 1.0 + 17.0 / 44100, 440.0)), "One"),
            Titled(Join::Measured(j.Tone("two.mp3", 44100, 2, 0.7, 550.0)), "Two"),
            Titled(Join::Measured(j.Tone("two-b.mp3", 44100, 2, 0.5 + 301.0 / 44100, 660.0)), "Two"),
            Join::Measured(j.Tone("four.mp3", 44100, 2, 0.4, 770.0))};
        const uint64_t total = j.AddTask(inputs).totalSamples;
        const Reports r = j.Run();
        EXPECT_TRUE(r.errorLines.empty()) << r.errorLines.front();
        EXPECT_TRUE(r.HasLine(mode == kChaptersNone ? "Wrote tags." : mode == kChaptersPerFile
                                                                     ? "Wrote tags and 4 chapters."
                                                                     : "Wrote tags and 3 chapters."));
        ExpectWholeFile(j.output, 44100, 1);
        const DecodedMp3 d = DecodeMp3(j.output);
        ASSERT_TRUE(d.ok);
        EXPECT_EQ(d.frames(), total / 2);  // the tag costs the audio nothing

        std::vector<ChapterEntry> chapters;
        ASSERT_TRUE(ReadChapters(j.output, chapters));
        auto ms = [](uint64_t frames) { return uint32_t(frames * 1000 / 44100); };
        const uint64_t a = FramesOf(inputs[0]), b = FramesOf(inputs[1]), c = FramesOf(inputs[2]);
        std::vector<std::tuple<std::string, uint32_t, uint32_t>> got, want;
        for (const ChapterEntry& e : chapters) got.emplace_back(e.title, e.startMs, e.endMs);
        if (mode == kChaptersPerFile)
            want = {{"One", 0, ms(a)}, {"Two", ms(a), ms(a + b)}, {"Two", ms(a + b), ms(a + b + c)},
                    {"four", ms(a + b + c), ms(d.frames())}};
        if (mode == kChaptersPerTitle)
            want = {{"One", 0, ms(a)}, {"Two", ms(a), ms(a + b + c)}, {"four", ms(a + b + c), ms(d.frames())}};
        EXPECT_EQ(got, want) << mode;
    }
}

TEST(OutputTag, PositionsOfConvertedInputsCountAtTheOutputRate) {
    REQUIRE_ENCODER_MODULE();
    Join j;
    j.engine->settings.frequencyIndex = 9;  // 48000 Hz
    const auto a = Titled(Join::Measured(j.Tone("mono22.mp3", 22050, 1, 1.0, 500.0)), "Mono");
    const auto b = Titled(Join::Measured(j.Tone("stereo44.mp3", 44100, 2, 1.0, 440.0)), "Stereo");
    j.AddTask({a, b});
    const DecodedMp3 d = RunCleanly(j, 48000, 1);
    ASSERT_TRUE(d.ok);
    std::vector<ChapterEntry> chapters;
    ASSERT_TRUE(ReadChapters(j.output, chapters));
    ASSERT_EQ(chapters.size(), 2u);
    // The seam lies where the first input's length at 48 kHz ends (the rate change may round
    // by a sample frame), not at its length in its own samples.
    const double seamMs = FramesOf(a) * 48000.0 / 22050.0 * 1000.0 / 48000.0;
    EXPECT_NEAR(chapters[0].endMs, seamMs, 1.0);
    EXPECT_EQ(chapters[1].startMs, chapters[0].endMs);
    EXPECT_EQ(chapters[1].endMs, d.frames() * 1000 / 48000);
}

TEST(OutputTag, TagsAndCoverComeFromTheFirstInputsThatHaveThemAndOverridesWin) {
    REQUIRE_ENCODER_MODULE();
    Join j;
    auto first = Titled(Join::Measured(j.Tone("first.mp3", 44100, 2, 0.5, 440.0)), "Глава 1");
    auto second = Join::Measured(j.Tone("second.mp3", 44100, 2, 0.5, 550.0));
    first.tags.genre = "Audiobook";
    second.tags = InputTags{"Zwei", "Ärtist", "Band", "Bücher", "2019", "Other", "Read by me"};
    const std::vector<uint8_t> cover = PseudoJpeg(5 * 1024 * 1024);
    PutCover(second.path, cover, "image/jpeg");
    second.totalSamples = ReadStreamInfo(second.path).totalSamples;
    const CConversionTask& task = j.AddTask({first, second});
    const uint64_t total = task.totalSamples;
    const DecodedMp3 d = RunCleanly(j, 44100, 1);
    EXPECT_EQ(d.frames(), total / 2);

    TagLib::MPEG::File out(j.output.c_str(), false);
    ASSERT_TRUE(out.hasID3v2Tag());
    TagLib::ID3v2::Tag* tag = out.ID3v2Tag();
    EXPECT_EQ(tag->header()->majorVersion(), 3u);
    EXPECT_EQ(FrameText(tag, "TIT2"), "Bücher");  // the first Album names the whole
    EXPECT_EQ(FrameText(tag, "TPE1"), "Ärtist");
    EXPECT_EQ(FrameText(tag, "TPE2"), "Band");
    EXPECT_EQ(FrameText(tag, "TALB"), "Bücher");
    EXPECT_EQ(FrameText(tag, "TDRC"), "2019");  // written as ID3v2.3's TYER, read back upgraded
    EXPECT_NE(ReadFile(j.output).find("TYER"), std::string::npos);
    EXPECT_EQ(FrameText(tag, "TCON"), "Audiobook");
    EXPECT_EQ(FrameText(tag, "TRCK"), "");
    EXPECT_EQ(FrameText(tag, "TLEN"), std::to_string(d.frames() * 1000 / 44100));
    const TagLib::ID3v2::FrameList pictures = tag->frameListMap()["APIC"];
    ASSERT_EQ(pictures.size(), 1u);
    auto* picture = dynamic_cast<TagLib::ID3v2::AttachedPictureFrame*>(pictures.front());
    ASSERT_NE(picture, nullptr);
    EXPECT_EQ(picture->mimeType(), "image/jpeg");
    EXPECT_EQ(picture->type(), TagLib::ID3v2::AttachedPictureFrame::FrontCover);
    EXPECT_TRUE(picture->picture() == TagLib::ByteVector(reinterpret_cast<const char*>(cover.data()), unsigned(cover.size())));
    // A title that Latin-1 cannot hold is written as Unicode and survives.
    std::vector<ChapterEntry> chapters;
    ASSERT_TRUE(ReadChapters(j.output, chapters));
    ASSERT_EQ(chapters.size(), 2u);
    EXPECT_EQ(chapters[0].title, "Глава 1");

    // Overrides win; without tags only the chapters are written.
    for (const bool tags : {true, false}) {
        Join k;
        k.engine->settings.outputTags = tags ? 1 : 0;
        CConversionTask& t = k.AddTask({first, second});
        auto overrides = std::make_shared<TagOverrides>();
        overrides->title = "Given";
        overrides->artist = "Someone";
        overrides->cover = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 1, 2, 3};
        overrides->coverMime = "image/png";
        auto request = std::make_shared<OutputTagRequest>(*t.tagRequest);
        request->overrides = overrides;
        t.tagRequest = request;
        const Reports r = k.Run();
        EXPECT_TRUE(r.HasLine(tags ? "Wrote tags and 2 chapters." : "Wrote 2 chapters.")) << tags;
        TagLib::MPEG::File o(k.output.c_str(), false);
        TagLib::ID3v2::Tag* ot = o.ID3v2Tag();
        ASSERT_NE(ot, nullptr);
        EXPECT_EQ(FrameText(ot, "TIT2"), tags ? "Given" : "");
        EXPECT_EQ(FrameText(ot, "TPE1"), tags ? "Someone" : "");
        EXPECT_EQ(FrameText(ot, "TALB"), tags ? "Bücher" : "");
        EXPECT_EQ(ot->frameListMap()["APIC"].size(), tags ? 1u : 0u);
        if (tags) {
            auto* p = dynamic_cast<TagLib::ID3v2::AttachedPictureFrame*>(ot->frameListMap()["APIC"].front());
            EXPECT_EQ(p->mimeType(), "image/png");
            EXPECT_EQ(p->picture().size(), overrides->cover.size());
        }
        EXPECT_EQ(ot->frameListMap()["CHAP"].size(), 2u);
    }
}

TEST(OutputTag, ACarriedCoverOver16MiBIsLeftOutWithALogLine) {
    REQUIRE_ENCODER_MODULE();
    Join j;
    const auto first = Join::Measured(j.Tone("first.mp3", 44100, 2, 0.3, 440.0));
    const auto second = Join::Measured(j.Tone("second.mp3", 44100, 2, 0.3, 550.0));
    PutCover(first.path, PseudoJpeg(kMaxCoverBytes + 1), "image/jpeg");
    j.AddTask({first, second});
    const Reports r = j.Run();
    EXPECT_TRUE(r.errorLines.empty()) << r.errorLines.front();
    EXPECT_EQ(r.lines.back(), "Joining status: OK.");
    EXPECT_TRUE(r.HasLine("Cover of " + first.path + " is larger than 16 MiB: left out."));
    EXPECT_TRUE(r.HasLine("Wrote tags and 2 chapters."));
    TagLib::MPEG::File out(j.output.c_str(), false);
    ASSERT_TRUE(out.hasID3v2Tag());
    EXPECT_TRUE(out.ID3v2Tag()->frameListMap()["APIC"].isEmpty());
    EXPECT_LT(std::filesystem::file_size(j.output), 1u << 20);
}

TEST(OutputTag, AnInputThatGaveNothingGetsNoChapterAndEqualTitlesAroundItMerge) {
    std::vector<CFileToBeJoin> files(4);
    files[0].path = "/m/a.mp3";
    files[1].path = "/m/Part.Two.mp3";
    files[2].path = "/m/gone.mp3";
    files[3].path = "/m/d.mp3";
    files[0].tags.title = "X";
    files[2].tags.title = "Y";
    files[3].tags.title = "X";
    const std::vector<uint64_t> frames{100, 50, 0, 30};
    std::vector<Chapter> perFile = PlanChapters(files, frames, 180, kChaptersPerFile);
    ASSERT_EQ(perFile.size(), 3u);
    EXPECT_EQ(perFile[1].title, "Part.Two");
    EXPECT_EQ(perFile[2].startFrame, 150u);
    EXPECT_EQ(perFile[2].endFrame, 180u);
    // A cancelled join: what lies past the end is left out, the last chapter ends at the end.
    perFile = PlanChapters(files, frames, 120, kChaptersPerFile);
    ASSERT_EQ(perFile.size(), 2u);
    EXPECT_EQ(perFile[1].endFrame, 120u);
    files[1].tags.title = "X";
    const std::vector<Chapter> perTitle = PlanChapters(files, frames, 180, kChaptersPerTitle);
    ASSERT_EQ(perTitle.size(), 1u);
    EXPECT_EQ(perTitle[0].endFrame, 180u);
}

// ---- encoding on several threads ---------------------------------------------------------

namespace {

// Sets the encoder module's thread count for the life of the object.
class EncoderThreadsFor {
public:
    explicit EncoderThreadsFor(int n) { ::setenv("VELMORA_ENCODER_THREADS", std::to_string(n).c_str(), 1); }
    ~EncoderThreadsFor() { ::unsetenv("VELMORA_ENCODER_THREADS"); }
};

}  // namespace

TEST(ParallelEncoding, SegmentsDecodeToTheSingleStreamsSamplesWithoutASeam) {
    REQUIRE_ENCODER_MODULE();
    std::vector<int16_t> single;
    for (const int threads : {1, 3}) {
        EncoderThreadsFor use(threads);
        Join j;
        // Ten seconds: several segments, the last one short.
        const auto a = Join::Measured(j.Tone("a.mp3", 44100, 2, 6.0, 440.0));
        const auto b = Join::Measured(j.Tone("b.mp3", 44100, 2, 4.0 + 333.0 / 44100, 660.0));
        const uint64_t total = j.AddTask({a, b}).totalSamples;
        const DecodedMp3 d = RunCleanly(j, 44100, 1);
        ASSERT_TRUE(d.ok);
        EXPECT_EQ(d.frames(), total / 2) << threads;
        const Mp3File file = ReadMp3File(j.output);
        EXPECT_TRUE(file.lameTagCrcOk) << threads;
        EXPECT_EQ(file.encoderDelay, 576) << threads;
        for (size_t i = 1; i < file.frames.size(); ++i) EXPECT_EQ(file.frames[i].mainDataBegin, 0u) << i;
        if (threads == 1) {
            single = d.samples;
            continue;
        }
        // Every sample, the segments' seams included, is the single stream's within rounding.
        ASSERT_EQ(d.samples.size(), single.size());
        int worst = 0;
        for (size_t i = 0; i < single.size(); ++i) worst = std::max(worst, std::abs(d.samples[i] - single[i]));
        EXPECT_LE(worst, 16);
    }
}

TEST(ParallelEncoding, ACancelStillClosesAValidShorterFile) {
    REQUIRE_ENCODER_MODULE();
    EncoderThreadsFor use(3);
    Join j;
    const CConversionTask& task = j.AddTask(LongInputs(j));
    const uint64_t total = task.totalSamples;
    const Reports r = j.Run([&](JoinRunState& run) {
        while (run.taskSamplesDone.load() < 44100 * 2 * 5 && run.running) std::this_thread::yield();
        run.running = 0;
    });
    const uint64_t atCancel = j.engine->activeRun->taskSamplesDone.load();
    EXPECT_EQ(r.lines.back(), "Joining status: ERROR.");
    ExpectWholeFile(j.output, 44100, 1);
    const DecodedMp3 d = DecodeMp3(j.output);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.frames(), atCancel / 2);
    EXPECT_LT(d.frames(), total / 2);
}

// ---- even loudness -----------------------------------------------------------------------

namespace {

// Integrated loudness of a stretch of decoded stereo output.
double LoudnessOf(const DecodedMp3& d, size_t fromFrame, size_t frames) {
    ebur128_state* st = ebur128_init(2, static_cast<unsigned long>(d.rate), EBUR128_MODE_I);
    ebur128_add_frames_short(st, d.samples.data() + 2 * fromFrame, frames);
    double lufs = 0;
    ebur128_loudness_global(st, &lufs);
    ebur128_destroy(&st);
    return lufs;
}

}  // namespace

TEST(EvenLoudness, InputsFarApartComeOutAtTheTargetAndSilenceGetsNoGain) {
    REQUIRE_ENCODER_MODULE();
    Join j;
    j.engine->settings.loudness = 1;
    j.engine->settings.loudnessPreset = kLoudnessCustom;
    j.engine->settings.loudnessTarget = -20;
    j.engine->settings.copyFrames = 1;  // loudness wins over copying
    ToneSpec quiet{44100, 2, 3.0, 440.0, 128, true};
    quiet.amplitude = 400;  // about -30 LUFS
    ToneSpec loud{44100, 2, 3.0, 440.0, 128, true};
    loud.amplitude = 30000;
    ToneSpec silent{44100, 2, 1.0, 440.0, 128, true};
    silent.amplitude = 0;
    for (const auto& [name, tone] : {std::pair{"quiet.mp3", quiet}, std::pair{"loud.mp3", loud}, std::pair{"silent.mp3", silent}})
        ASSERT_TRUE(MakeToneMp3(j.dir / name, tone));
    const uint64_t total = j.AddTask({Join::Measured((j.dir / "quiet.mp3").string()),
                                      Join::Measured((j.dir / "loud.mp3").string()),
                                      Join::Measured((j.dir / "silent.mp3").string())})
                               .totalSamples;
    const Reports r = j.Run();
    EXPECT_TRUE(r.HasLine("Even loudness changes the audio: the join re-encodes instead of copying."));
    EXPECT_TRUE(r.HasLine("Measuring loudness."));
    EXPECT_TRUE(r.HasLine((j.dir / "silent.mp3").string() + ": silence, no gain"));
    int gainLines = 0;
    for (const std::string& line : r.lines)
        if (line.find(" LUFS, gain ") != std::string::npos) ++gainLines;
    EXPECT_EQ(gainLines, 2);
    EXPECT_TRUE(r.HasLine("Joining status: OK."));
    const DecodedMp3 d = DecodeMp3(j.output);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.frames(), total / 2);
    // Each input at the target, within half a loudness unit (the tone is steady).
    EXPECT_NEAR(LoudnessOf(d, 4410, 3 * 44100 - 8820), -20.0, 0.5);
    EXPECT_NEAR(LoudnessOf(d, 3 * 44100 + 4410, 3 * 44100 - 8820), -20.0, 0.5);
    // The silent input stays silent.
    int worst = 0;
    for (size_t i = 2 * (6 * 44100 + 2000); i < d.samples.size(); ++i) worst = std::max(worst, std::abs(int(d.samples[i])));
    EXPECT_LT(worst, 4);
}

TEST(EvenLoudness, TruePeakMeterFindsThePeaksBetweenSamples) {
    // A quarter-rate sine sampled 45 degrees off its crests: every sample at 0.707, the
    // waveform at 1.0 between them.
    std::vector<float> crest(2 * 44100);
    for (size_t i = 0; i < crest.size() / 2; ++i)
        crest[2 * i] = crest[2 * i + 1] = static_cast<float>(std::sin(M_PI / 2 * i + M_PI / 4));
    TruePeakMeter meter(2);
    meter.Add(crest.data(), 1000);  // uneven pieces: the filter's memory carries across calls
    meter.Add(crest.data() + 2000, crest.size() / 2 - 1000);
    EXPECT_NEAR(20 * std::log10(meter.Peak()), 0.0, 0.15);

    // Noise: the same figure as the library's own true-peak mode.
    std::mt19937 random(7);
    std::normal_distribution<float> noise(0.0f, 0.15f);
    std::vector<float> samples(2 * 48000 * 3);
    for (float& s : samples) s = std::clamp(noise(random), -1.0f, 1.0f);
    TruePeakMeter ours(2);
    ours.Add(samples.data(), samples.size() / 2);
    ebur128_state* st = ebur128_init(2, 48000, EBUR128_MODE_TRUE_PEAK);
    ebur128_add_frames_float(st, samples.data(), samples.size() / 2);
    double left = 0, right = 0;
    ebur128_true_peak(st, 0, &left);
    ebur128_true_peak(st, 1, &right);
    ebur128_destroy(&st);
    EXPECT_NEAR(20 * std::log10(ours.Peak()), 20 * std::log10(std::max(left, right)), 0.2);
}

TEST(EvenLoudness, LoudnessMeterAgreesWithTheLibrary) {
    // Noise that swells and falls (blocks below both gates), a 30 Hz hum on one side (the
    // high-pass) and a 6 kHz tone (the shelf), at rates with whole and rounded 100 ms.
    struct Case {
        long rate;
        unsigned channels;
        bool dualMono;
        float level;
    };
    std::mt19937 random(11);
    for (const Case c : {Case{44100, 2, false, 0.2f}, Case{11025, 1, true, 0.05f}, Case{48000, 1, false, 0.3f},
                         Case{22050, 2, false, 0.0004f}}) {
        SCOPED_TRACE(c.rate);
        std::normal_distribution<float> noise(0.0f, c.level);
        const size_t frames = static_cast<size_t>(c.rate) * 7 + 123;
        std::vector<float> samples(frames * c.channels);
        for (size_t i = 0; i < frames; ++i) {
            const double t = static_cast<double>(i) / c.rate;
            const float swell = static_cast<float>(std::pow(10.0, -1.5 * (1 + std::sin(2 * M_PI * t / 3))));
            for (unsigned ch = 0; ch < c.channels; ++ch)
                samples[i * c.channels + ch] =
                    swell * (noise(random) + c.level * static_cast<float>(ch == 0 ? std::sin(2 * M_PI * 30 * t)
                                                                                    : std::sin(2 * M_PI * 6000 * t)));
        }
        ebur128_state* st = ebur128_init(c.channels, static_cast<unsigned long>(c.rate), EBUR128_MODE_I);
        if (c.dualMono) ebur128_set_channel(st, 0, EBUR128_DUAL_MONO);
        ebur128_add_frames_float(st, samples.data(), frames);
        double expected = 0;
        ebur128_loudness_global(st, &expected);
        ebur128_destroy(&st);
        LoudnessMeter whole(c.channels, c.rate, c.dualMono);
        whole.Add(samples.data(), frames);
        LoudnessMeter pieces(c.channels, c.rate, c.dualMono);  // uneven pieces, across 100 ms edges
        for (size_t at = 0, n = 1; at < frames; at += n, n = n * 7 + 3)
            pieces.Add(samples.data() + at * c.channels, std::min(n, frames - at));
        double ours = 0, piecewise = 0;
        ASSERT_TRUE(whole.Integrated(ours));
        ASSERT_TRUE(pieces.Integrated(piecewise));
        EXPECT_NEAR(ours, expected, 0.005);
        EXPECT_NEAR(piecewise, ours, 1e-9);
    }
    // Silence, and less than one 400 ms block, have no integrated loudness.
    std::vector<float> quiet(2 * 44100, 0.0f);
    LoudnessMeter silent(2, 44100);
    silent.Add(quiet.data(), 44100);
    double lufs = 0;
    EXPECT_FALSE(silent.Integrated(lufs));
    for (size_t i = 0; i < quiet.size(); ++i) quiet[i] = static_cast<float>(0.5 * std::sin(2 * M_PI * 1000 * (i / 2) / 44100.0));
    LoudnessMeter brief(2, 44100);
    brief.Add(quiet.data(), 17639);
    EXPECT_FALSE(brief.Integrated(lufs));
    brief.Add(quiet.data(), 1);
    EXPECT_TRUE(brief.Integrated(lufs));
}

TEST(EvenLoudness, AConvertedInputMeetsTheTargetAndAPeakyOneIsHeldAtTheCeiling) {
    REQUIRE_ENCODER_MODULE();
    Join j;
    j.engine->settings.loudness = 1;
    j.engine->settings.loudnessTarget = -16;
    ToneSpec stereo{44100, 2, 3.0, 440.0, 128, true};
    stereo.amplitude = 1500;
    ToneSpec mono{22050, 1, 3.0, 440.0, 64, true};  // converted to 44.1 kHz stereo
    mono.amplitude = 700;
    ToneSpec peaky{44100, 2, 3.0, 440.0, 128, true};  // short bursts: weighs little, peaks high
    peaky.amplitude = 16000;
    peaky.burstEvery = 0.4;
    for (const auto& [name, tone] : {std::pair{"stereo.mp3", stereo}, std::pair{"mono.mp3", mono}, std::pair{"peaky.mp3", peaky}})
        ASSERT_TRUE(MakeToneMp3(j.dir / name, tone));
    const uint64_t total = j.AddTask({Join::Measured((j.dir / "stereo.mp3").string()),
                                      Join::Measured((j.dir / "mono.mp3").string()),
                                      Join::Measured((j.dir / "peaky.mp3").string())})
                               .totalSamples;
    const Reports r = j.Run();
    ASSERT_TRUE(r.HasLine("Joining status: OK."));
    const DecodedMp3 d = DecodeMp3(j.output);
    ASSERT_TRUE(d.ok);
    ASSERT_EQ(d.channels, 2);
    EXPECT_EQ(d.frames(), total / 2);
    const double first = LoudnessOf(d, 4410, 3 * 44100 - 8820);
    const double second = LoudnessOf(d, 3 * 44100 + 4410, 3 * 44100 - 8820);
    EXPECT_NEAR(first, -16.0, 1.0);
    EXPECT_NEAR(second, -16.0, 1.0);
    EXPECT_NEAR(first, second, 0.5);
    // The peaky input's loudness is all in its bursts: the limiter holds them at the ceiling,
    // more gain would only flatten them, and the log says it stays short of the target.
    const std::string peakyPath = (j.dir / "peaky.mp3").string();
    EXPECT_TRUE(std::any_of(r.lines.begin(), r.lines.end(), [&](const std::string& line) {
        return line.rfind(peakyPath + ": ", 0) == 0 &&
               line.find(" dB short of the target: its loudness is in peaks the limiter holds") != std::string::npos;
    })) << ::testing::PrintToString(r.lines);
    ebur128_state* st = ebur128_init(2, 44100, EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK);
    ebur128_add_frames_short(st, d.samples.data() + 2 * (6 * 44100 + 2205), 3 * 44100 - 4410);
    double lufs = 0, left = 0, right = 0;
    ebur128_loudness_global(st, &lufs);
    ebur128_true_peak(st, 0, &left);
    ebur128_true_peak(st, 1, &right);
    ebur128_destroy(&st);
    EXPECT_LT(lufs, -17.0);
    EXPECT_LE(20 * std::log10(std::max(left, right)), -1.0);
    EXPECT_GE(20 * std::log10(std::max(left, right)), LimiterCeilingDb(kLoudnessPodcast) - 0.5);
}

TEST(EvenLoudness, AStopWhileMeasuringEndsTheRunAndWritesNothing) {
    REQUIRE_ENCODER_MODULE();
    Join j;
    j.engine->settings.loudness = 1;
    j.AddTask(LongInputs(j));
    const Reports r = j.Run([](JoinRunState& run) {
        run.paused = 1;  // holds the measuring threads where they are
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        run.running = 0;
    });
    EXPECT_TRUE(r.HasLine("Measuring loudness."));
    for (const std::string& line : r.lines) EXPECT_EQ(line.find(" LUFS, gain "), std::string::npos) << line;
    EXPECT_FALSE(std::filesystem::exists(j.output));
    ASSERT_FALSE(r.lines.empty());
    EXPECT_EQ(r.lines.back(), "Joining status: ERROR.");
}
// ---- output choices: VBR, and the bit rate of the inputs ----------------------------------------

namespace {

// Where libmpg123 really lands when it seeks by the header's table of contents alone (fuzzy):
// a frame's worth of what it decodes from there, found in the whole file's decode. -1: nowhere.
int64_t FuzzySeekLanding(const std::string& path, off_t target, const DecodedMp3& whole) {
    int64_t landing = -1;
    mpg123_handle* mh = mpg123_new(nullptr, nullptr);
    mpg123_param(mh, MPG123_ADD_FLAGS, MPG123_FUZZY | MPG123_QUIET, 0);
    mpg123_format_none(mh);
    mpg123_format(mh, 44100, 2, MPG123_ENC_SIGNED_16);
    std::vector<int16_t> got(2 * 6 * 1152);
    size_t bytes = 0, done = 0;
    if (mpg123_open(mh, path.c_str()) == MPG123_OK && mpg123_seek(mh, target, SEEK_SET) >= 0)
        for (int err = MPG123_OK; bytes < got.size() * 2 && (err == MPG123_OK || err == MPG123_NEW_FORMAT); bytes += done)
            err = mpg123_read(mh, reinterpret_cast<unsigned char*>(got.data()) + bytes, got.size() * 2 - bytes, &done);
    mpg123_delete(mh);
    // Four frames in, the decoder's state no longer remembers the jump.
    const size_t probe = 4 * 1152;
    if (bytes == got.size() * 2)
        for (size_t at = 0; landing < 0 && at + 1152 <= whole.frames(); ++at)
            if (std::equal(got.begin() + 2 * probe, got.begin() + 2 * (probe + 1152), whole.samples.begin() + 2 * at))
                landing = int64_t(at) - int64_t(probe);
    return landing;
}

}  // namespace

TEST(OutputChoices, AVbrJoinOnSeveralThreadsHasTheLengthEveryReaderSeesAndSeeksByItsTable) {
    REQUIRE_ENCODER_MODULE();
    EncoderThreadsFor use(3);
    Join j;
    j.engine->settings.bitrateMode = kBitrateVbr;
    j.engine->settings.vbrQuality = 2;
    // A tone that comes and goes (frames of many sizes), then a steady one, over two segments.
    ToneSpec bursts{44100, 2, 2.5, 440.0, 128, true};
    bursts.burstEvery = 0.2;
    bursts.burstOn = 0.1;
    ASSERT_TRUE(MakeToneMp3(j.dir / "a.mp3", bursts));
    const auto a = Join::Measured((j.dir / "a.mp3").string());
    const auto b = Join::Measured(j.Tone("b.mp3", 44100, 2, 2.5, 880.0));
    const uint64_t total = j.AddTask({a, b}).totalSamples;
    const Reports r = j.Run();
    EXPECT_TRUE(r.HasLine("Joining status: OK."));

    const Mp3File file = ReadMp3File(j.output);
    ASSERT_TRUE(file.ok && file.hasInfo);
    EXPECT_EQ(file.infoId, "Xing");
    EXPECT_EQ(file.infoFrames, file.frames.size() - 1);
    EXPECT_EQ(file.infoBytes, file.audioBytes());
    // (Its table of contents, frame by frame, is the module test's; here a seek uses it.)

    const DecodedMp3 d = DecodeMp3(j.output);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.frames(), total / 2);
    EXPECT_NEAR(EstimateFrequency(d, 8820 + 200, 3000), 440.0, 10.0);  // in the second burst
    EXPECT_NEAR(EstimateFrequency(d, a.totalSamples / 2 + 100, 8000), 880.0, 12.0);
    // The list's probe reads the length from the header: within one frame. TagLib 1.13 too,
    // but it takes no delay or padding off (frames x 1152, in whole milliseconds).
    EXPECT_NEAR(double(ReadStreamInfo(j.output).totalSamples / 2), double(d.frames()), 1152.0);
    TagLib::MPEG::File tagged(j.output.c_str(), true, TagLib::AudioProperties::Accurate);
    ASSERT_TRUE(tagged.audioProperties());
    EXPECT_NEAR(tagged.audioProperties()->lengthInMilliseconds(),
                (d.frames() + file.encoderDelay + file.encoderPadding) * 1000.0 / 44100, 1.0);
    // A seek by the table lands within its resolution (a 256th of the bytes) and a frame.
    const off_t target = off_t(d.frames() * 3 / 4);
    EXPECT_NEAR(double(FuzzySeekLanding(j.output, target, d)), double(target), 2 * 1152.0);
}

TEST(OutputChoices, SameAsTheInputsTakesTheHighestRateOrVbrAverageRoundedUpToTheTable) {
    REQUIRE_ENCODER_MODULE();
    struct Case {
        int firstKbps, secondKbps;  // < 0: VBR at that quality
    };
    for (const Case c : {Case{64, 160}, Case{-9, -2}}) {
        Join j;
        j.engine->settings.bitrateMode = kBitrateSameAsInputs;
        std::vector<CFileToBeJoin> inputs;
        int expected = 0;
        for (const int kbps : {c.firstKbps, c.secondKbps}) {
            ToneSpec tone{44100, 2, 1.5, 440.0 * (inputs.size() + 1), kbps > 0 ? kbps : 128, true};
            tone.vbrQuality = kbps < 0 ? -kbps : -1;
            tone.burstEvery = 0.3;  // VBR frames of many sizes
            tone.burstOn = 0.15;
            const auto path = j.dir / ("in" + std::to_string(inputs.size()) + ".mp3");
            ASSERT_TRUE(MakeToneMp3(path, tone));
            inputs.push_back(Join::Measured(path.string()));
            // A VBR input's rate: its audio frames' bytes over its length.
            const Mp3File f = ReadMp3File(path);
            double bytes = 0;
            for (size_t i = 1; i < f.frames.size(); ++i) bytes += f.frames[i].length;
            const int own = kbps > 0 ? kbps : int(std::lround(bytes * 8 / (inputs.back().totalSamples / 2 / 44100.0) / 1000));
            EXPECT_NEAR(InputBitrateKbps(path.string()), own, 2) << path;
            expected = std::max(expected, own);
        }
        const uint32_t table = RoundUpToBitrateTable(expected, 44100);
        j.AddTask(inputs);
        const Reports r = j.Run();
        EXPECT_TRUE(r.HasLine("Bit rate: " + std::to_string(table) + " kbps, the highest among the inputs."))
            << c.firstKbps << " " << c.secondKbps << ": " << expected;
        const Mp3File out = ReadMp3File(j.output);
        ASSERT_TRUE(out.ok && out.hasInfo);
        EXPECT_EQ(out.infoId, "Info");
        for (size_t i = 1; i < out.frames.size(); ++i) ASSERT_EQ(out.frames[i].kbps, int(table));
    }
}

TEST(OutputChoices, TheTableOfTheOutputRateAndWhatCountsAsAnInputsRate) {
    const struct { int kbps; uint32_t rate; uint32_t table; } rounds[] = {
        {160, 44100, 160}, {161, 48000, 192}, {400, 32000, 320}, {20, 44100, 32},
        {150, 22050, 160}, {192, 24000, 160}, {130, 16000, 144}, {20, 8000, 24},
    };
    for (const auto& c : rounds) EXPECT_EQ(RoundUpToBitrateTable(c.kbps, c.rate), c.table) << c.kbps << " " << c.rate;
    // Lossless and PCM inputs have no rate to match; lossy ones count with theirs.
    TempDir dir;
    for (const char* name : {"pcm.wav", "lossless.flac", "lossy.m4a"}) {
        ASSERT_TRUE(MakeToneWithFfmpeg(dir / name, FfmpegTone{}));
        const AudioFileInfo info = ProbeAudioFile((dir / name).string());
        const bool lossy = std::string(name) == "lossy.m4a";
        EXPECT_EQ(info.lossless, !lossy) << name;
        EXPECT_EQ(InputBitrateKbps((dir / name).string()) > 0, lossy) << name;
    }
    // Only such inputs: the constant rate set, within the table of the output rate.
    Join j;
    j.engine->settings.bitrateMode = kBitrateSameAsInputs;
    j.engine->settings.bitrateIndex = 16;  // 320 kbit/s
    ASSERT_TRUE(MakeToneWithFfmpeg(j.dir / "a.wav", FfmpegTone{22050, 1, 0.5, 440, {}}));
    CConversionTask& task = j.AddTask({CFileToBeJoin{(j.dir / "a.wav").string(), 22050, 1, 11025, {}}});
    EXPECT_EQ(ChooseSameAsInputsBitrate(task, j.engine->settings),
              "Bit rate: 160 kbps, as set: no input has a lossy bit rate to match.");
    EXPECT_EQ(task.bitrateKbps, 160u);
}
