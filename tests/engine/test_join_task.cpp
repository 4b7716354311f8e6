#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <chrono>
#include <string>
#include <thread>

#include "engine/join_task.h"
#include "support/mp3_fixtures.h"

using namespace velmora;
using velmora::testing::TempDir;

namespace {

CConversionTask TaskOf(std::initializer_list<CFileToBeJoin> files) {
    CConversionTask task;
    for (const auto& f : files) task.files->push_back(f);
    return task;
}

AppSettings Settings(int16_t frequencyIndex, int16_t channelModeIndex) {
    AppSettings s;
    s.frequencyIndex = frequencyIndex;
    s.channelModeIndex = channelModeIndex;
    return s;
}

void Touch(const std::filesystem::path& p) { std::ofstream(p) << "x"; }

}  // namespace

TEST(PrepareTask, TwoCdQualityInputsNeedNoConversion) {
    auto task = TaskOf({{"a.mp3", 44100, 2, 88201}, {"b.mp3", 44100, 2, 100000}});
    PrepareTask(task, Settings(0, 0));
    EXPECT_EQ(task.currentRate, 44100u);
    EXPECT_EQ(task.currentChannels, 2u);
    EXPECT_EQ(task.outputRate, 44100u);
    EXPECT_EQ(task.outputChannels, 2u);
    EXPECT_EQ(task.needsConversion, 0);
    // 188201 rounded down to whole stereo frames.
    EXPECT_EQ(task.totalSamples, 188200u);
}

TEST(PrepareTask, MonoHalfRateInputCountsFourTimes) {
    auto task = TaskOf({{"mono.mp3", 22050, 1, 22050}, {"stereo.mp3", 44100, 2, 88200}});
    PrepareTask(task, Settings(0, 0));
    EXPECT_EQ(task.currentRate, 44100u);
    EXPECT_EQ(task.currentChannels, 2u);
    EXPECT_EQ(task.outputRate, 44100u);
    EXPECT_EQ(task.outputChannels, 2u);
    EXPECT_EQ(task.needsConversion, 1);
    EXPECT_EQ(task.totalSamples, 22050u * 4 + 88200u);
}

TEST(PrepareTask, AutomaticRatePicksTheNextTableRate) {
    struct Case { uint32_t highest; uint32_t expected; };
    for (const Case c : {Case{11025, 11025}, Case{44000, 44100}, Case{96000, 48000}, Case{8000, 8000},
                         Case{7000, 8000}, Case{22051, 24000}, Case{48000, 48000}, Case{48001, 48000}}) {
        auto task = TaskOf({{"low.mp3", c.highest / 2, 1, 800}, {"high.mp3", c.highest, 1, 1000}});
        PrepareTask(task, Settings(0, 0));
        EXPECT_EQ(task.currentRate, c.highest);
        EXPECT_EQ(task.outputRate, c.expected) << "highest input rate " << c.highest;
    }
}

TEST(PrepareTask, ChosenRateComesFromTheTable) {
    for (int16_t f = 1; f <= 9; ++f) {
        auto task = TaskOf({{"a.mp3", 44100, 2, 1000}});
        PrepareTask(task, Settings(f, 0));
        EXPECT_EQ(task.outputRate, FrequencyTable[static_cast<size_t>(f)].hz);
        EXPECT_EQ(task.needsConversion, FrequencyTable[static_cast<size_t>(f)].hz != 44100 ? 1 : 0);
    }
}

TEST(PrepareTask, OutOfRangeFrequencyIndexMeansAutomatic) {
    for (int16_t f : {int16_t(-1), int16_t(10), int16_t(32767)}) {
        auto task = TaskOf({{"a.mp3", 32000, 2, 1000}});
        PrepareTask(task, Settings(f, 0));
        EXPECT_EQ(task.outputRate, 32000u) << f;
    }
}

TEST(PrepareTask, MonoModeWithStereoInputs) {
    auto task = TaskOf({{"a.mp3", 44100, 2, 88200}, {"b.mp3", 44100, 2, 44101}});
    PrepareTask(task, Settings(0, kChannelMono));
    EXPECT_EQ(task.outputChannels, 1u);
    EXPECT_EQ(task.outputRate, 44100u);
    EXPECT_EQ(task.needsConversion, 1);
    // Halved per input, each step truncated: trunc(44100 + 22050.5) = 66150.
    EXPECT_EQ(task.totalSamples, 66150u);
}

TEST(PrepareTask, ChannelModes) {
    struct Case { int16_t mode; uint32_t highestChannels; uint32_t expected; };
    for (const Case c : {Case{kChannelAutomatic, 1, 1}, Case{kChannelAutomatic, 2, 2}, Case{kChannelMono, 2, 1},
                         Case{kChannelStereo, 1, 2}, Case{kChannelJointStereo, 1, 2}, Case{kChannelDual, 1, 2},
                         Case{7, 1, 2}, Case{-3, 1, 2}}) {
        auto task = TaskOf({{"a.mp3", 44100, c.highestChannels, 1000}});
        PrepareTask(task, Settings(0, c.mode));
        EXPECT_EQ(task.outputChannels, c.expected) << "mode " << c.mode;
        EXPECT_EQ(task.needsConversion, c.expected != c.highestChannels ? 1 : 0) << "mode " << c.mode;
    }
}

TEST(PrepareTask, EachInputIsTruncatedInTurn) {
    // 48000 Hz stereo out of 44100 Hz mono: factor 96000 / 44100 = 2.17687…; 1000 samples give
    // 2176.87 each. Truncating after every input gives 2176, 4352, 6528 (not 6530 from the sum).
    auto task = TaskOf({{"a.mp3", 44100, 1, 1000}, {"b.mp3", 44100, 1, 1000}, {"c.mp3", 44100, 1, 1000}});
    PrepareTask(task, Settings(9, kChannelStereo));
    EXPECT_EQ(task.outputRate, 48000u);
    EXPECT_EQ(task.outputChannels, 2u);
    EXPECT_EQ(task.totalSamples, 6528u);
}

TEST(PrepareTask, TotalIsRoundedDownToWholeFrames) {
    // 96000 / 88200 × 1001 = 1089.52 → 1089 → 1088 (a multiple of two channels).
    auto task = TaskOf({{"a.mp3", 44100, 2, 1001}});
    PrepareTask(task, Settings(9, 0));
    EXPECT_EQ(task.totalSamples, 1088u);
    EXPECT_EQ(task.totalSamples % task.outputChannels, 0u);

    // Mono output keeps an odd count.
    auto mono = TaskOf({{"a.mp3", 44100, 1, 1001}});
    PrepareTask(mono, Settings(0, 0));
    EXPECT_EQ(mono.outputChannels, 1u);
    EXPECT_EQ(mono.totalSamples, 1001u);
}

TEST(PrepareTask, EmptyListGivesAUsableMonoFormat) {
    CConversionTask task;
    PrepareTask(task, Settings(0, 0));
    EXPECT_EQ(task.outputChannels, 1u);
    EXPECT_EQ(task.outputRate, 8000u);
    EXPECT_EQ(task.totalSamples, 0u);
    EXPECT_EQ(task.needsConversion, 0);
    EXPECT_EQ(task.SecondsOf(16000), 2.0f);
}

TEST(PrepareTask, InputWithoutAFormatAddsNothing) {
    auto task = TaskOf({{"a.mp3", 44100, 2, 88200}, {"broken.mp3", 0, 0, 5000}});
    PrepareTask(task, Settings(0, 0));
    EXPECT_EQ(task.totalSamples, 88200u);
    EXPECT_EQ(task.needsConversion, 1);
}

TEST(ConversionTask, CopySharesTheFileList) {
    auto task = TaskOf({{"a.mp3", 44100, 2, 10}});
    task.outputPath = "/out.mp3";
    task.decoding = 1;
    CConversionTask copy = task;
    EXPECT_EQ(copy.files, task.files);
    EXPECT_EQ(copy.outputPath, "/out.mp3");
    EXPECT_EQ(copy.decoding, 1);
    copy.files->push_back({"b.mp3", 22050, 1, 20});
    ASSERT_EQ(task.files->size(), 2u);
    EXPECT_EQ((*task.files)[1].path, "b.mp3");
    // The flags are the copy's own.
    copy.decoding = 0;
    EXPECT_EQ(task.decoding, 1);

    CConversionTask fresh;
    EXPECT_TRUE(fresh.files);
    EXPECT_TRUE(fresh.files->empty());
    EXPECT_NE(fresh.files, task.files);
    EXPECT_EQ(fresh.outputKind, 0);
    EXPECT_EQ(fresh.totalSamples, 0u);
}

TEST(ConversionTask, SecondsOfUsesTheOutputFormat) {
    CConversionTask task;
    task.outputRate = 44100;
    task.outputChannels = 2;
    EXPECT_FLOAT_EQ(task.SecondsOf(88200), 1.0f);
    EXPECT_FLOAT_EQ(task.SecondsOf(44100), 0.5f);
    task.outputChannels = 1;
    EXPECT_FLOAT_EQ(task.SecondsOf(88200), 2.0f);
    task.outputRate = 0;
    EXPECT_EQ(task.SecondsOf(88200), 0.0f);
}

TEST(ProgressArithmetic, CountersAndPercents) {
    JoinRunState run;
    CConversionTask task;
    task.outputRate = 22050;
    task.outputChannels = 2;
    task.totalSamples = 441000;
    run.overallSamplesTotal = 882000;
    RecordEncodedSamples(run, task, 44100);
    RecordEncodedSamples(run, task, 44100);
    EXPECT_EQ(run.taskSamplesDone, 88200u);
    EXPECT_EQ(run.overallSamplesDone, 88200u);
    EXPECT_FLOAT_EQ(run.taskSecondsDone, 2.0f);
    EXPECT_FLOAT_EQ(run.overallSecondsDone, 2.0f);
    EXPECT_DOUBLE_EQ(TaskPercent(run, task), 20.0);
    EXPECT_DOUBLE_EQ(OverallPercent(run), 10.0);
    // Not clamped: more than expected reads above 100.
    RecordEncodedSamples(run, task, 441000);
    EXPECT_GT(TaskPercent(run, task), 100.0);
    // No expected total: 0 rather than a division by zero.
    task.totalSamples = 0;
    run.overallSamplesTotal = 0;
    EXPECT_EQ(TaskPercent(run, task), 0.0);
    EXPECT_EQ(OverallPercent(run), 0.0);
}

TEST(UniqueOutputPath, NumbersBeforeTheExtension) {
    TempDir dir;
    const std::string path = (dir / "Untitled.mp3").string();
    Touch(path);
    EXPECT_EQ(UniqueOutputPath(path), (dir / "Untitled (2).mp3").string());
    Touch(dir / "Untitled (2).mp3");
    EXPECT_EQ(UniqueOutputPath(path), (dir / "Untitled (3).mp3").string());
    Touch(dir / "Untitled (3).mp3");
    Touch(dir / "Untitled (5).mp3");
    EXPECT_EQ(UniqueOutputPath(path), (dir / "Untitled (4).mp3").string());
}

TEST(UniqueOutputPath, DotsInFolderNamesAreNotExtensions) {
    TempDir dir;
    std::filesystem::create_directory(dir / "album.v2");
    EXPECT_EQ(UniqueOutputPath((dir / "album.v2" / "Untitled").string()),
              (dir / "album.v2" / "Untitled (2)").string());
    EXPECT_EQ(UniqueOutputPath((dir / "album.v2" / "a.b.mp3").string()),
              (dir / "album.v2" / "a.b (2).mp3").string());
}

TEST(UniqueOutputPath, ADanglingLinkCountsAsTaken) {
    TempDir dir;
    std::filesystem::create_symlink(dir / "nowhere", dir / "x (2).mp3");
    EXPECT_EQ(UniqueOutputPath((dir / "x.mp3").string()), (dir / "x (3).mp3").string());
}

TEST(AtomicValue, BehavesLikeTheWord) {
    AtomicValue<int32_t> flag;
    EXPECT_EQ(flag, 0);
    flag = 1;
    EXPECT_EQ(flag.load(), 1);
    AtomicValue<uint64_t> counter(5);
    counter.Add(7);
    EXPECT_EQ(counter, 12u);
    AtomicValue<uint64_t> copy = counter;
    counter = 1;
    EXPECT_EQ(copy, 12u);
}

TEST(TickCount, IsMonotonic) {
    const uint32_t a = TickCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const uint32_t b = TickCount();
    EXPECT_GE(static_cast<uint32_t>(b - a), 15u);
    EXPECT_LT(static_cast<uint32_t>(b - a), 60000u);
}
