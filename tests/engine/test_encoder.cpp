// The encoder stage on its own: a producer thread fills the task's ring buffer while
// EncodeTask runs, with the real module (decoding what it wrote) or with stand-in modules that
// record the calls they get.
#include "test_encoder_support.h"

#include "lame_enc/mp3_frames.h"

#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstring>

using namespace velmora;
using namespace velmora::bladeenc;
using namespace velmora::testing;

namespace {

constexpr int32_t kTopSample = 2147418112;  // 2^31 - 65536
constexpr int32_t kBottomSample = INT32_MIN;

// A tone as the decoder would deliver it: 32-bit full scale, interleaved.
std::vector<int32_t> Tone(uint32_t rate, uint32_t channels, size_t frames, double freq) {
    std::vector<int32_t> pcm(frames * channels);
    for (size_t i = 0; i < frames; ++i)
        for (uint32_t c = 0; c < channels; ++c)
            pcm[i * channels + c] = static_cast<int32_t>(
                std::lround(0.4 * 2147483647.0 * std::sin(2 * M_PI * freq * (c + 1) * static_cast<double>(i) / rate)));
    return pcm;
}

// One encoder run without the job thread: the test plays the decoder.
class EncoderRun {
public:
    EncoderRun(uint32_t rate, uint32_t channels) {
        engine = MakeHeadlessEngine(sink);
        task.outputKind = kOutputKindMp3;
        task.outputRate = rate;
        task.outputChannels = channels;
        task.encoderSource = &engine->decodedSamples;
        task.outputPath = (dir / "out.mp3").string();
        engine->activeRun->running = 1;
    }

    // Feeds `pcm` from a second thread while EncodeTask runs here; `pace` slows the feed.
    int Run(const std::vector<int32_t>& pcm, const std::string& moduleFolder,
            std::chrono::microseconds pace = std::chrono::microseconds(0)) {
        task.totalSamples = pcm.size();
        engine->activeRun->overallSamplesTotal = pcm.size();
        task.decoding = 1;
        std::thread producer([&] { Feed(pcm, pace); });
        const int result = EncodeTaskWithModule(*engine, task, moduleFolder);
        producer.join();
        return result;
    }

    void Feed(const std::vector<int32_t>& pcm, std::chrono::microseconds pace) {
        JoinRunState& run = *engine->activeRun;
        size_t done = 0;
        while (done < pcm.size() && run.running) {
            const uint32_t n = static_cast<uint32_t>(std::min<size_t>(4096, pcm.size() - done));
            if (engine->decodedSamples.Free() < n) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            done += engine->decodedSamples.Write(pcm.data() + done, n);
            if (pace.count()) std::this_thread::sleep_for(pace);
        }
        task.decoding = 0;
    }

    Reports Take() { return Reports(sink->TakeAll()); }

    TempDir dir;
    std::shared_ptr<JoinEventQueue> sink;
    std::shared_ptr<JoinEngine> engine;
    CConversionTask task;
};

// ---- the record --------------------------------------------------------------------------

TEST(EncoderConfig, ChannelModeCodes) {
    // A one-channel output is mono whatever the setting says.
    for (int16_t m = -1; m <= 6; ++m) EXPECT_EQ(EncoderChannelMode(1, m), BE_MP3_MODE_MONO) << m;
    EXPECT_EQ(EncoderChannelMode(2, kChannelAutomatic), BE_MP3_MODE_JSTEREO);
    EXPECT_EQ(EncoderChannelMode(2, kChannelStereo), BE_MP3_MODE_STEREO);
    EXPECT_EQ(EncoderChannelMode(2, kChannelJointStereo), BE_MP3_MODE_JSTEREO);
    EXPECT_EQ(EncoderChannelMode(2, kChannelDual), BE_MP3_MODE_DUALCHANNEL);
    EXPECT_EQ(EncoderChannelMode(2, kChannelMono), BE_MP3_MODE_JSTEREO);
    EXPECT_EQ(EncoderChannelMode(2, 5), BE_MP3_MODE_JSTEREO);
    EXPECT_EQ(EncoderChannelMode(2, -1), BE_MP3_MODE_JSTEREO);
}

TEST(EncoderConfig, RecordFields) {
    CConversionTask task;
    task.outputRate = 32000;
    task.outputChannels = 2;
    AppSettings settings;
    settings.channelModeIndex = kChannelDual;
    settings.bitrateIndex = 13;
    const BE_CONFIG c = MakeEncoderConfig(task, settings);
    const auto& l = c.LHV1;
    EXPECT_EQ(c.dwConfig, 256u);
    EXPECT_EQ(l.dwStructVersion, 1u);
    EXPECT_EQ(l.dwStructSize, 331u);
    EXPECT_EQ(l.dwSampleRate, 32000u);
    EXPECT_EQ(l.dwReSampleRate, 0u);
    EXPECT_EQ(l.nMode, 2);
    EXPECT_EQ(l.dwBitrate, 192u);
    EXPECT_EQ(l.dwMaxBitrate, 0u);
    EXPECT_EQ(l.nPreset, -1);
    EXPECT_EQ(l.dwMpegVersion, 1u);
    EXPECT_EQ(l.dwPsyModel, 0u);
    EXPECT_EQ(l.dwEmphasis, 0u);
    EXPECT_EQ(l.bPrivate, 0);
    EXPECT_EQ(l.bCRC, 0);
    EXPECT_EQ(l.bCopyright, 0);
    EXPECT_EQ(l.bOriginal, 0);
    EXPECT_EQ(l.bWriteVBRHeader, 1);
    EXPECT_EQ(l.bEnableVBR, 0);
    EXPECT_EQ(l.nVBRQuality, 0);
    EXPECT_EQ(l.dwVbrAbr_bps, 0u);
    EXPECT_EQ(l.nVbrMethod, 0);
    EXPECT_EQ(l.bNoRes, 1);
    EXPECT_EQ(l.bStrictIso, 0);
    EXPECT_EQ(l.nQuality, 0xF609);
    for (uint8_t b : l.btReserved) EXPECT_EQ(b, 0);
}

TEST(EncoderConfig, BitrateComesFromTheTable) {
    CConversionTask task;
    task.outputRate = 44100;
    task.outputChannels = 1;
    AppSettings settings;
    for (int16_t i = 0; i < static_cast<int16_t>(BitrateTable.size()); ++i) {
        settings.bitrateIndex = i;
        const BE_CONFIG c = MakeEncoderConfig(task, settings);
        EXPECT_EQ(c.LHV1.dwBitrate, BitrateTable[i].kbps) << i;
        EXPECT_EQ(c.LHV1.nMode, BE_MP3_MODE_MONO);
    }
    // A hand-edited index outside the table falls back to the initial 128 kbit/s.
    for (int16_t bad : {int16_t(-1), int16_t(17), int16_t(32767)}) {
        settings.bitrateIndex = bad;
        EXPECT_EQ(MakeEncoderConfig(task, settings).LHV1.dwBitrate, 128u) << bad;
    }
}

// ---- scaling --------------------------------------------------------------------------

TEST(EncoderScaling, FullScaleMapsOntoSixteenBitRange) {
    const int32_t in[] = {kTopSample, kBottomSample, 65536, -65536, 0, 32768};
    float left[6] = {};
    EXPECT_EQ(ScaleToFloat(in, 6, 1, left, nullptr), 6u);
    EXPECT_EQ(left[0], 32767.0f);
    EXPECT_EQ(left[1], -32768.0f);
    EXPECT_EQ(left[2], 1.0f);
    EXPECT_EQ(left[3], -1.0f);
    EXPECT_EQ(left[4], 0.0f);
    EXPECT_EQ(left[5], 0.5f);
}

TEST(EncoderScaling, StereoIsDeinterleavedAndOddRemainderDropped) {
    const int32_t in[] = {65536, -131072, 196608, -262144, 327680};
    float left[3] = {-9, -9, -9}, right[3] = {-9, -9, -9};
    EXPECT_EQ(ScaleToFloat(in, 5, 2, left, right), 2u);
    EXPECT_EQ(left[0], 1.0f);
    EXPECT_EQ(right[0], -2.0f);
    EXPECT_EQ(left[1], 3.0f);
    EXPECT_EQ(right[1], -4.0f);
    EXPECT_EQ(left[2], -9.0f);  // untouched
    EXPECT_EQ(right[2], -9.0f);
}

// ---- the calls the stage makes -----------------------------------------------------------

TEST(EncoderCalls, StereoChunksAndRemainder) {
    REQUIRE_ENCODER_MODULE();
    EncoderRun r(44100, 2);
    const std::string module = StubModuleFolder(r.dir, "record");
    std::vector<int32_t> pcm(3 * 2304 + 1000, 0);
    pcm[0] = kTopSample;                // first left
    pcm[1] = kBottomSample;             // first right
    pcm[3 * 2304] = kBottomSample;      // first left of the remainder
    pcm[3 * 2304 + 998] = kTopSample;   // last left of the remainder
    r.engine->settings.channelModeIndex = kChannelStereo;
    r.engine->settings.bitrateIndex = 9;
    ASSERT_EQ(r.Run(pcm, module), 1);

    const auto calls = ReadLines(r.task.outputPath + ".calls");
    ASSERT_EQ(calls.size(), 9u) << ReadAll(r.task.outputPath + ".calls");
    EXPECT_EQ(calls[0],
              "init config=256 version=1 size=331 rate=44100 resample=0 mode=0 kbps=96 preset=-1 mpeg=1 "
              "vbrheader=1 vbr=0 nores=1 quality=f609");
    EXPECT_EQ(calls[1], "extra 0 0 1 1 0 0 30 5 15160 750");
    EXPECT_EQ(calls[2], "encode 42 1152 32767.0000 -32768.000000 0.0000");
    EXPECT_EQ(calls[3], "encode 42 1152 0.0000 0.000000 0.0000");
    EXPECT_EQ(calls[4], "encode 42 1152 0.0000 0.000000 0.0000");
    EXPECT_EQ(calls[5], "encode 42 500 -32768.0000 0.000000 32767.0000");
    EXPECT_EQ(calls[6], "deinit 42");
    EXPECT_EQ(calls[7], "close 42");
    EXPECT_EQ(calls[8], "infotag 42 " + r.task.outputPath);
    // The output holds what the module returned, in order: one byte per encode, one for the flush.
    EXPECT_EQ(ReadAll(r.task.outputPath), "EEEED");

    JoinRunState& run = *r.engine->activeRun;
    EXPECT_EQ(run.taskSamplesDone.load(), pcm.size());
    EXPECT_EQ(run.overallSamplesDone.load(), pcm.size());
    EXPECT_NEAR(run.taskSecondsDone.load(), pcm.size() / 88200.0, 1e-4);
    EXPECT_EQ(r.task.encoding.load(), 0);
    EXPECT_EQ(run.running.load(), 1);

    const Reports reports = r.Take();
    EXPECT_TRUE(reports.errorLines.empty());
    ASSERT_FALSE(reports.progress.empty());
    const JoinEvent& last = reports.progress.back();
    EXPECT_TRUE(last.final);
    EXPECT_FLOAT_EQ(last.taskPercent, 100.0f);
    EXPECT_FLOAT_EQ(last.overallPercent, 100.0f);
    EXPECT_EQ(reports.all.back().type, JoinEvent::Type::Progress);
}

TEST(EncoderCalls, MonoChunksAndModuleWithoutInfoTagCall) {
    REQUIRE_ENCODER_MODULE();
    EncoderRun r(22050, 1);
    const std::string module = StubModuleFolder(r.dir, "noinfotag");
    std::vector<int32_t> pcm(1152 * 2 + 7, 131072);
    ASSERT_EQ(r.Run(pcm, module), 1);
    const auto calls = ReadLines(r.task.outputPath + ".calls");
    ASSERT_EQ(calls.size(), 8u) << ReadAll(r.task.outputPath + ".calls");
    EXPECT_NE(calls[0].find(" rate=22050 "), std::string::npos);
    EXPECT_NE(calls[0].find(" mode=3 "), std::string::npos);
    EXPECT_EQ(calls[2], "encode 42 1152 2.0000 null 2.0000");
    EXPECT_EQ(calls[3], "encode 42 1152 2.0000 null 2.0000");
    EXPECT_EQ(calls[4], "encode 42 7 2.0000 null 2.0000");
    EXPECT_EQ(calls[7], "vbrheader " + r.task.outputPath);
}

TEST(EncoderCalls, ChannelModeSettingReachesTheModule) {
    REQUIRE_ENCODER_MODULE();
    const struct { int16_t setting; int mode; } cases[] = {{kChannelAutomatic, 1}, {kChannelStereo, 0},
                                                          {kChannelJointStereo, 1}, {kChannelDual, 2}};
    for (const auto& c : cases) {
        EncoderRun r(48000, 2);
        r.engine->settings.channelModeIndex = c.setting;
        ASSERT_EQ(r.Run(std::vector<int32_t>(100, 0), StubModuleFolder(r.dir, "record")), 1);
        const auto calls = ReadLines(r.task.outputPath + ".calls");
        ASSERT_FALSE(calls.empty());
        EXPECT_NE(calls[0].find(" mode=" + std::to_string(c.mode) + " "), std::string::npos) << calls[0];
    }
}

TEST(EncoderCalls, NothingToEncodeStillFinishesTheFile) {
    REQUIRE_ENCODER_MODULE();
    EncoderRun r(44100, 2);
    ASSERT_EQ(r.Run({}, StubModuleFolder(r.dir, "record")), 1);
    const auto calls = ReadLines(r.task.outputPath + ".calls");
    ASSERT_EQ(calls.size(), 5u);
    EXPECT_EQ(calls[2], "deinit 42");
    EXPECT_EQ(calls[4], "infotag 42 " + r.task.outputPath);
    EXPECT_EQ(ReadAll(r.task.outputPath), "D");
    const Reports reports = r.Take();
    ASSERT_FALSE(reports.progress.empty());
    EXPECT_TRUE(reports.progress.back().final);
    EXPECT_EQ(reports.progress.back().taskPercent, 0.0f);  // a task of no samples
}

// ---- with the real module ----------------------------------------------------------------

TEST(EncoderModule, EncodesWhatItReadsSampleExactly) {
    REQUIRE_ENCODER_MODULE();
    EncoderRun r(44100, 2);
    const auto pcm = Tone(44100, 2, 44100 + 333, 500.0);
    ASSERT_EQ(r.Run(pcm, ExecutableFolder()), 1);
    const Mp3File file = ReadMp3File(r.task.outputPath);
    ASSERT_TRUE(file.ok);
    ASSERT_TRUE(file.hasInfo);
    EXPECT_EQ(file.infoFrames, file.frames.size() - 1);
    EXPECT_EQ(file.infoBytes, file.audioBytes());
    for (const Mp3Frame& f : file.frames) {
        EXPECT_EQ(f.version, 1);
        EXPECT_EQ(f.kbps, 128);
        EXPECT_EQ(f.mode, 1);
    }
    const DecodedMp3 d = DecodeMp3(r.task.outputPath);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.frames(), pcm.size() / 2);
    EXPECT_NEAR(EstimateFrequency(d, 2000, 40000, 0), 500.0, 5.0);
    EXPECT_NEAR(EstimateFrequency(d, 2000, 40000, 1), 1000.0, 10.0);
    // 0.4 of full scale comes back as 0.4 of the 16-bit range.
    int peak = 0;
    for (int16_t s : d.samples) peak = std::max(peak, std::abs(int(s)));
    EXPECT_NEAR(peak, 0.4 * 32767, 0.05 * 32767);
}

TEST(EncoderModule, StreamThatCannotOpenLeavesAnEmptyClosedFile) {
    REQUIRE_ENCODER_MODULE();
    EncoderRun r(12345, 2);  // no MPEG rate: the module refuses the record
    EXPECT_EQ(r.Run(Tone(12345, 2, 5000, 300.0), ExecutableFolder()), 0);
    const Reports reports = r.Take();
    ASSERT_EQ(reports.errorLines.size(), 1u);
    EXPECT_EQ(reports.errorLines[0], "Error opening encoding stream (2)");
    EXPECT_TRUE(reports.boxes.empty());
    EXPECT_EQ(r.engine->activeRun->running.load(), 0);
    EXPECT_TRUE(std::filesystem::exists(r.task.outputPath));
    EXPECT_EQ(std::filesystem::file_size(r.task.outputPath), 0u);
}

TEST(EncoderModule, FullDeviceIsAWriteError) {
    REQUIRE_ENCODER_MODULE();
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
    EncoderRun r(44100, 2);
    r.task.outputPath = "/dev/full";
    EXPECT_EQ(r.Run(Tone(44100, 2, 88200, 440.0), ExecutableFolder()), 0);
    const Reports reports = r.Take();
    ASSERT_EQ(reports.errorLines.size(), 1u);
    EXPECT_EQ(reports.errorLines[0], "Output file write error");
    EXPECT_EQ(r.engine->activeRun->running.load(), 0);
    EXPECT_EQ(r.task.encoding.load(), 0);
    ASSERT_FALSE(reports.progress.empty());
    EXPECT_TRUE(reports.progress.back().final);
}

// ---- failures ----------------------------------------------------------------------------

TEST(EncoderFaults, MissingModule) {
    EncoderRun r(44100, 2);
    const auto empty = r.dir / "no-module-here";
    std::filesystem::create_directories(empty);
    // The producer has more than the ring holds: it must not be left waiting on a full buffer.
    EXPECT_EQ(r.Run(std::vector<int32_t>(3 * kSampleRingCapacity, 1), empty.string()), 0);
    const Reports reports = r.Take();
    ASSERT_EQ(reports.errorLines.size(), 1u);
    EXPECT_EQ(reports.errorLines[0], "Error loading lame_enc.so");
    ASSERT_EQ(reports.boxes.size(), 1u);
    EXPECT_EQ(reports.boxes[0], "Error Loading Lame_enc.so");
    EXPECT_TRUE(reports.progress.empty());
    EXPECT_EQ(r.engine->activeRun->running.load(), 0);
    EXPECT_FALSE(std::filesystem::exists(r.task.outputPath));
    EXPECT_EQ(r.task.encoding.load(), 0);
}

TEST(EncoderFaults, ModuleWithoutInitEntryPoint) {
    REQUIRE_ENCODER_MODULE();
    EncoderRun r(44100, 2);
    EXPECT_EQ(r.Run(std::vector<int32_t>(3 * kSampleRingCapacity, 1), StubModuleFolder(r.dir, "noinit")), 0);
    const Reports reports = r.Take();
    ASSERT_EQ(reports.errorLines.size(), 1u);
    EXPECT_EQ(reports.errorLines[0], "Unable to get LAME interfaces");
    ASSERT_EQ(reports.boxes.size(), 1u);
    EXPECT_EQ(reports.boxes[0], "Unable to Get LAME Interfaces");
    EXPECT_EQ(r.engine->activeRun->running.load(), 0);
    EXPECT_FALSE(std::filesystem::exists(r.task.outputPath));
}

TEST(EncoderFaults, OutputCannotBeCreated) {
    REQUIRE_ENCODER_MODULE();
    EncoderRun r(44100, 2);
    const std::string module = StubModuleFolder(r.dir, "record");
    // A folder that does not exist, and (unless we run as root) one without write permission.
    std::vector<std::string> paths{(r.dir / "missing" / "out.mp3").string()};
    const auto readOnly = r.dir / "readonly";
    std::filesystem::create_directories(readOnly);
    std::filesystem::permissions(readOnly, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    if (geteuid() != 0) paths.push_back((readOnly / "out.mp3").string());
    for (const std::string& path : paths) {
        EncoderRun one(44100, 2);
        one.task.outputPath = path;
        EXPECT_EQ(one.Run(std::vector<int32_t>(10000, 1), module), 0);
        const Reports reports = one.Take();
        ASSERT_EQ(reports.errorLines.size(), 1u) << path;
        EXPECT_EQ(reports.errorLines[0], "Error creating file " + path);
        EXPECT_TRUE(reports.boxes.empty());
        EXPECT_TRUE(reports.progress.empty());
        EXPECT_EQ(one.engine->activeRun->running.load(), 0);
        EXPECT_FALSE(std::filesystem::exists(path));
        // No encoder call was made: the stand-in never saw a stream.
        EXPECT_FALSE(std::filesystem::exists(path + ".calls"));
    }
    std::filesystem::permissions(readOnly, std::filesystem::perms::owner_all);
}

TEST(EncoderFaults, EncodeCallFailsThenTheEndSequenceRuns) {
    REQUIRE_ENCODER_MODULE();
    EncoderRun r(44100, 2);
    EXPECT_EQ(r.Run(std::vector<int32_t>(5 * 2304, 7), StubModuleFolder(r.dir, "failencode")), 1);
    const Reports reports = r.Take();
    ASSERT_EQ(reports.errorLines.size(), 1u);
    EXPECT_EQ(reports.errorLines[0], "beEncodeChunk() failed (5)");
    EXPECT_EQ(r.engine->activeRun->running.load(), 0);
    const auto calls = ReadLines(r.task.outputPath + ".calls");
    ASSERT_EQ(calls.size(), 6u) << ReadAll(r.task.outputPath + ".calls");
    EXPECT_EQ(calls[2].rfind("encode 42 1152", 0), 0u);
    EXPECT_EQ(calls[3], "deinit 42");
    EXPECT_EQ(calls[4], "close 42");
    EXPECT_EQ(calls[5], "infotag 42 " + r.task.outputPath);
    EXPECT_EQ(ReadAll(r.task.outputPath), "D");
    EXPECT_EQ(r.engine->activeRun->taskSamplesDone.load(), 0u);  // the failed chunk is not counted
}

TEST(EncoderFaults, FlushFailsAndNothingMoreIsWritten) {
    REQUIRE_ENCODER_MODULE();
    EncoderRun r(44100, 2);
    EXPECT_EQ(r.Run(std::vector<int32_t>(2 * 2304, 7), StubModuleFolder(r.dir, "faildeinit")), 1);
    const Reports reports = r.Take();
    ASSERT_EQ(reports.errorLines.size(), 1u);
    EXPECT_EQ(reports.errorLines[0], "beExitStream failed (7)");
    EXPECT_EQ(r.engine->activeRun->running.load(), 0);
    const auto calls = ReadLines(r.task.outputPath + ".calls");
    ASSERT_EQ(calls.size(), 7u) << ReadAll(r.task.outputPath + ".calls");
    EXPECT_EQ(calls[4], "deinit 42");
    EXPECT_EQ(calls[5], "close 42");
    EXPECT_EQ(calls[6], "infotag 42 " + r.task.outputPath);
    EXPECT_EQ(ReadAll(r.task.outputPath), "EE");
}

TEST(EncoderFaults, OtherOutputKindsAreNotEncoded) {
    EncoderRun r(44100, 2);
    r.task.outputKind = 1;
    EXPECT_EQ(EncodeTaskWithModule(*r.engine, r.task, ExecutableFolder()), 0);
    EXPECT_EQ(r.task.encoding.load(), 0);
    EXPECT_FALSE(std::filesystem::exists(r.task.outputPath));
    EXPECT_TRUE(r.Take().all.empty());
}

TEST(EncoderFaults, ExceptionBecomesALogLine) {
    EncoderRun r(44100, 2);
    r.task.encoderSource = nullptr;
    EXPECT_EQ(EncodeTaskWithModule(*r.engine, r.task, ExecutableFolder()), 0);
    const Reports reports = r.Take();
    ASSERT_EQ(reports.errorLines.size(), 1u);
    EXPECT_EQ(reports.errorLines[0], "An error occurred while encoding " + r.task.outputPath);
    EXPECT_EQ(r.engine->activeRun->running.load(), 0);
    EXPECT_EQ(r.task.encoding.load(), 0);
}

// ---- pause, progress, cancel -------------------------------------------------------------

TEST(EncoderControl, PauseHoldsEncodingAndProgress) {
    REQUIRE_ENCODER_MODULE();
    EncoderRun r(44100, 2);
    JoinRunState& run = *r.engine->activeRun;
    run.paused = 1;
    const auto pcm = Tone(44100, 2, 44100 * 2, 440.0);
    r.task.totalSamples = pcm.size();
    run.overallSamplesTotal = pcm.size();
    r.task.decoding = 1;
    std::atomic<int> result{-1};
    std::thread encoder([&] { result = EncodeTaskWithModule(*r.engine, r.task, ExecutableFolder()); });
    std::thread producer([&] { r.Feed(pcm, std::chrono::microseconds(0)); });
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    EXPECT_EQ(run.taskSamplesDone.load(), 0u);
    EXPECT_EQ(r.task.encoding.load(), 1);
    const Reports paused = r.Take();
    EXPECT_TRUE(paused.progress.empty());
    run.paused = 0;
    producer.join();
    encoder.join();
    EXPECT_EQ(result.load(), 1);
    EXPECT_EQ(run.taskSamplesDone.load(), pcm.size());
    const Reports after = r.Take();
    ASSERT_FALSE(after.progress.empty());
    EXPECT_TRUE(after.progress.back().final);
    for (size_t i = 0; i + 1 < after.progress.size(); ++i) EXPECT_FALSE(after.progress[i].final);
    const DecodedMp3 d = DecodeMp3(r.task.outputPath);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.frames(), pcm.size() / 2);
}

TEST(EncoderControl, ProgressWhileFedSlowly) {
    REQUIRE_ENCODER_MODULE();
    EncoderRun r(44100, 2);
    // About 0.6 s of feeding: several 100 ms periods, each with at most one report.
    const auto pcm = Tone(44100, 2, 44100 * 3, 440.0);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(r.Run(pcm, ExecutableFolder(), std::chrono::microseconds(9000)), 1);
    const auto elapsedMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    const Reports reports = r.Take();
    ASSERT_GE(reports.progress.size(), 3u);
    // Never more than one report per 100 ms, plus the final one.
    EXPECT_LE(static_cast<long>(reports.progress.size() - 1), elapsedMs / 100 + 1);
    float previous = -1;
    for (size_t i = 0; i < reports.progress.size(); ++i) {
        EXPECT_EQ(reports.progress[i].final, i + 1 == reports.progress.size());
        EXPECT_GE(reports.progress[i].taskPercent, previous);
        previous = reports.progress[i].taskPercent;
    }
    EXPECT_FLOAT_EQ(reports.progress.back().taskPercent, 100.0f);
    EXPECT_LT(reports.progress.front().taskPercent, 100.0f);
}

TEST(EncoderControl, CancelWhilePausedStillFinishesAValidFile) {
    REQUIRE_ENCODER_MODULE();
    EncoderRun r(44100, 2);
    JoinRunState& run = *r.engine->activeRun;
    const auto pcm = Tone(44100, 2, 44100 * 4, 440.0);
    r.task.totalSamples = pcm.size();
    r.task.decoding = 1;
    std::atomic<int> result{-1};
    std::thread encoder([&] { result = EncodeTaskWithModule(*r.engine, r.task, ExecutableFolder()); });
    std::thread producer([&] { r.Feed(pcm, std::chrono::microseconds(2000)); });
    // Let some audio through, then pause, then cancel.
    while (run.taskSamplesDone.load() < 44100 * 2 && result.load() < 0) std::this_thread::yield();
    run.paused = 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const uint64_t atPause = run.taskSamplesDone.load();
    run.running = 0;
    encoder.join();
    producer.join();
    EXPECT_EQ(result.load(), 1);
    EXPECT_EQ(run.taskSamplesDone.load(), atPause);
    const Mp3File file = ReadMp3File(r.task.outputPath);
    ASSERT_TRUE(file.ok);
    ASSERT_TRUE(file.hasInfo);
    EXPECT_EQ(file.infoFrames, file.frames.size() - 1);
    EXPECT_EQ(file.infoBytes, file.audioBytes());
    const DecodedMp3 d = DecodeMp3(r.task.outputPath);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.frames(), atPause / 2);
    EXPECT_LT(d.frames(), pcm.size() / 2);
    EXPECT_TRUE(r.Take().errorLines.empty());
}

}  // namespace
