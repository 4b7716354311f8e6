// An M4B output (AAC in MP4) read back with FFmpeg's libraries and TagLib: the codec and
// container, the decoded length against the inputs', the chapters at the inputs' seams, the
// tags and the cover, and a cancelled join that still leaves a playable file.
#include <gtest/gtest.h>

#include <taglib/mp4file.h>
#include <taglib/mp4tag.h>

#include <cmath>
#include <cstdlib>
#include <fstream>

#include "engine/output_tag.h"
#include "support/m4b_reader.h"
#include "test_encoder_support.h"

using namespace velmora;
using namespace velmora::testing;

namespace {

struct Input {
    const char* name;
    double seconds;
    double hz;
    const char* title;
};

class M4bJoin : public ::testing::Test {
protected:
    void SetUp() override {
        engine = MakeHeadlessEngine(sink);
        engine->encodeTask = EncodeTask;
        engine->settings.askOutputPath = 1;
        engine->settings.outputFormat = kFormatM4b;
        engine->settings.aacBitrateKbps = 64;
        output = (dir / "book.m4b").string();
    }

    // MP3 tones measured as the file list measures them, with a Title each.
    void AddInputs(const std::vector<Input>& inputs) {
        for (const Input& in : inputs) {
            ToneSpec tone;
            tone.seconds = in.seconds;
            tone.frequency = in.hz;
            const std::string path = (dir / in.name).string();
            ASSERT_TRUE(MakeToneMp3(path, tone));
            const StreamInfo info = ReadStreamInfo(path);
            CFileToBeJoin f{path, info.sampleRate, info.channels, info.totalSamples, {}};
            f.tags.title = in.title;
            task.files->push_back(f);
        }
    }

    Reports Run(const std::function<void(JoinRunState&)>& during = {}) {
        // The job clears the list with the task when it ends.
        for (const CFileToBeJoin& f : *task.files) inputFrames.push_back(f.totalSamples / f.channels);
        task.outputKind = OutputKindOf(engine->settings);
        task.outputPath = output;
        PrepareTask(task, engine->settings);
        task.tagRequest = request;
        engine->activeRun->tasks = {task};
        engine->activeRun->overallSamplesTotal = task.totalSamples;
        std::shared_ptr<WorkerThread> job = StartJoinRun(engine);
        EXPECT_TRUE(job);
        if (during) during(*engine->activeRun);
        EXPECT_TRUE(job->Wait(60000));
        EXPECT_TRUE(StopJoinWorkers(*engine->activeRun, 10000));
        return Reports(sink->TakeAll());
    }

    std::vector<uint64_t> InputFrames() const { return inputFrames; }

    TempDir dir;
    std::shared_ptr<JoinEventQueue> sink;
    std::shared_ptr<JoinEngine> engine;
    std::string output;
    CConversionTask task;
    std::vector<uint64_t> inputFrames;
    std::shared_ptr<OutputTagRequest> request = std::make_shared<OutputTagRequest>();
};

// The names of the file's top-level boxes, in order.
std::vector<std::string> TopLevelBoxes(const std::string& path) {
    std::vector<std::string> names;
    std::ifstream in(path, std::ios::binary);
    for (;;) {
        unsigned char h[8];
        if (!in.read(reinterpret_cast<char*>(h), 8)) break;
        const uint32_t size = (uint32_t(h[0]) << 24) | (uint32_t(h[1]) << 16) | (uint32_t(h[2]) << 8) | h[3];
        names.emplace_back(reinterpret_cast<char*>(h + 4), 4);
        if (size < 8) break;
        in.seekg(size - 8, std::ios::cur);
    }
    return names;
}

// The Nero chapter list ("chpl" in the index's user data): start (100 ns units) and title of
// each entry, as some players read chapters only from there.
std::vector<std::pair<double, std::string>> NeroChapters(const std::string& bytes) {
    std::vector<std::pair<double, std::string>> list;
    size_t at = bytes.find("chpl");
    if (at == std::string::npos || at + 13 > bytes.size()) return list;
    at += 4 + 8;  // version and flags, reserved
    const auto* u = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t count = u[at++];
    for (size_t i = 0; i < count && at + 9 <= bytes.size(); ++i) {
        uint64_t start = 0;
        for (int k = 0; k < 8; ++k) start = (start << 8) | u[at++];
        const size_t length = u[at++];
        list.emplace_back(static_cast<double>(start) / 1e7, bytes.substr(at, length));
        at += length;
    }
    return list;
}

TEST_F(M4bJoin, IsGaplessAacInMp4WithChaptersTagsAndCover) {
    AddInputs({{"01.mp3", 1.3, 440, "Opening"}, {"02.mp3", 0.7, 660, "Middle"}, {"03.mp3", 1.1, 990, "End"}});
    CFileToBeJoin& first = task.files->front();
    first.tags.albumArtist = "The Reader";
    first.tags.year = "2024";
    first.tags.genre = "Audiobook";
    first.tags.comment = "Unabridged";
    first.tags.album = "The Book";
    first.tags.artist = "Ann Author";
    // A PNG made by ffmpeg, given as the cover: it must come back byte for byte.
    const std::string coverPath = (dir / "cover.png").string();
    ASSERT_EQ(std::system(("ffmpeg -nostdin -loglevel error -y -f lavfi -i color=c=red:s=16x16 -frames:v 1 '" +
                           coverPath + "'").c_str()),
              0);
    const std::string cover = ReadAll(coverPath);
    ASSERT_GT(cover.size(), 8u);
    auto overrides = std::make_shared<TagOverrides>();
    overrides->cover.assign(cover.begin(), cover.end());
    overrides->coverMime = "image/png";
    request->overrides = overrides;

    const Reports r = Run();
    ASSERT_EQ(r.done, 1) << ::testing::PrintToString(r.lines);
    EXPECT_TRUE(r.HasLine("Wrote tags and 3 chapters."));

    const ReadM4b m = ReadM4bFile(output);
    ASSERT_TRUE(m.ok) << m.error;
    EXPECT_NE(m.container.find("mp4"), std::string::npos) << m.container;
    EXPECT_EQ(m.codec, "aac");
    EXPECT_EQ(m.profile, 1) << "AAC LC";
    EXPECT_EQ(m.rate, 44100);
    EXPECT_EQ(m.channels, 2);
    EXPECT_EQ(m.tags.at("major_brand"), "M4B ");

    // The edit list skips the encoder's delay and ends at the last input sample.
    const std::vector<uint64_t> frames = InputFrames();
    const uint64_t total = frames[0] + frames[1] + frames[2];
    EXPECT_EQ(static_cast<uint64_t>(m.indexFrames), total);
    EXPECT_NEAR(static_cast<double>(m.frames()), static_cast<double>(total), 1024.0);

    // The chapters start at the sums of the inputs' lengths, and each holds its own tone.
    ASSERT_EQ(m.chapters.size(), 3u);
    const char* titles[] = {"Opening", "Middle", "End"};
    const double hz[] = {440, 660, 990};
    uint64_t at = 0;
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_NEAR(m.chapters[i].start, static_cast<double>(at) / 44100.0, 0.001) << i;
        EXPECT_EQ(m.chapters[i].title, titles[i]);
        const size_t mid = static_cast<size_t>(at + frames[i] / 2 - 4410);
        EXPECT_NEAR(M4bFrequency(m, mid, 8820), hz[i], hz[i] * 0.03) << i;
        at += frames[i];
    }
    EXPECT_NEAR(m.chapters.back().end, static_cast<double>(total) / 44100.0, 0.001);
    // Both forms of chapters: the audio track refers to a chapter text track (Apple's players),
    // and the Nero list holds the same starts and titles.
    const std::string bytes = ReadAll(output);
    const size_t tref = bytes.find("tref");
    ASSERT_NE(tref, std::string::npos);
    EXPECT_EQ(bytes.compare(tref + 8, 4, "chap"), 0);
    const auto nero = NeroChapters(bytes);
    ASSERT_EQ(nero.size(), 3u);
    EXPECT_NEAR(nero[1].first, static_cast<double>(frames[0]) / 44100.0, 0.001);
    EXPECT_EQ(nero[2].second, "End");

    EXPECT_EQ(m.tags.at("title"), "The Book");
    EXPECT_EQ(m.tags.at("artist"), "Ann Author");
    EXPECT_EQ(m.tags.at("album_artist"), "The Reader");
    EXPECT_EQ(m.tags.at("album"), "The Book");
    EXPECT_EQ(m.tags.at("date"), "2024");
    EXPECT_EQ(m.tags.at("genre"), "Audiobook");
    EXPECT_EQ(m.tags.at("comment"), "Unabridged");

    // As TagLib (and the players) see the items: the audiobook media kind and the cover.
    TagLib::MP4::File file(output.c_str());
    ASSERT_TRUE(file.isValid() && file.tag());
    const TagLib::MP4::Tag* tag = file.tag();
    ASSERT_TRUE(tag->contains("stik"));
    EXPECT_EQ(tag->item("stik").toByte(), 2);
    ASSERT_TRUE(tag->contains("covr"));
    const TagLib::MP4::CoverArtList arts = tag->item("covr").toCoverArtList();
    ASSERT_EQ(arts.size(), 1u);
    EXPECT_EQ(arts.front().format(), TagLib::MP4::CoverArt::PNG);
    EXPECT_EQ(std::string(arts.front().data().data(), arts.front().data().size()), cover);

    // Fast start: the index comes before the audio.
    const std::vector<std::string> boxes = TopLevelBoxes(output);
    const auto moov = std::find(boxes.begin(), boxes.end(), "moov");
    const auto mdat = std::find(boxes.begin(), boxes.end(), "mdat");
    ASSERT_TRUE(moov != boxes.end() && mdat != boxes.end());
    EXPECT_LT(moov, mdat);
}

// Mono at another rate, converted on the way, with the chapters off and no tags: no chapter
// list, no cover, and the length still exact.
TEST_F(M4bJoin, ConvertedMonoWithoutTagsOrChapters) {
    AddInputs({{"a.mp3", 0.9, 440, "A"}, {"b.mp3", 0.6, 660, "B"}});
    engine->settings.frequencyIndex = 7;    // 32000 Hz
    engine->settings.channelModeIndex = 1;  // mono
    request->tags = false;
    request->chapters = kChaptersNone;
    engine->settings.outputTags = 0;
    engine->settings.chapterMode = kChaptersNone;
    const Reports r = Run();
    ASSERT_EQ(r.done, 1) << ::testing::PrintToString(r.lines);
    const ReadM4b m = ReadM4bFile(output);
    ASSERT_TRUE(m.ok) << m.error;
    EXPECT_EQ(m.rate, 32000);
    EXPECT_EQ(m.channels, 1);
    EXPECT_TRUE(m.chapters.empty());
    EXPECT_EQ(m.tags.count("media_type"), 0u);
    const std::vector<uint64_t> frames = InputFrames();
    const double total = static_cast<double>(frames[0] + frames[1]) * 32000.0 / 44100.0;
    EXPECT_NEAR(static_cast<double>(m.indexFrames), total, 2.0);
    EXPECT_NEAR(static_cast<double>(m.frames()), total, 1024.0);
}

// A copy join does not apply: the log says so and the join encodes, with the loudness evened
// out on the way (quiet inputs come out louder).
TEST_F(M4bJoin, CopyJoinDoesNotApplyAndLoudnessIsEvenedOut) {
    for (const char* name : {"q1.mp3", "q2.mp3"}) {
        ToneSpec tone;
        tone.seconds = 1.0;
        tone.amplitude = 1500;  // about -27 dBFS peak
        const std::string path = (dir / name).string();
        ASSERT_TRUE(MakeToneMp3(path, tone));
        const StreamInfo info = ReadStreamInfo(path);
        task.files->push_back(CFileToBeJoin{path, info.sampleRate, info.channels, info.totalSamples, {}});
    }
    engine->settings.copyFrames = 1;
    engine->settings.loudness = 1;
    engine->settings.loudnessPreset = kLoudnessPodcast;
    const Reports r = Run();
    ASSERT_EQ(r.done, 1) << ::testing::PrintToString(r.lines);
    EXPECT_TRUE(r.HasLine("A copy join does not apply to an M4B output: the join encodes."));
    EXPECT_FALSE(r.HasLine("Copying the audio frames (no re-encoding)."));
    const ReadM4b m = ReadM4bFile(output);
    ASSERT_TRUE(m.ok) << m.error;
    EXPECT_EQ(static_cast<uint64_t>(m.indexFrames), inputFrames[0] + inputFrames[1]);
    int peak = 0;
    for (int16_t v : m.samples) peak = std::max(peak, std::abs(static_cast<int>(v)));
    EXPECT_GT(peak, 1500 * 3) << "evened out to -16 LUFS, well above the inputs' level";
}

// A cancel half-way leaves a shorter file with its index written: it opens, decodes to the
// length its index gives, and its chapters end within it.
TEST_F(M4bJoin, ACancelledJoinIsAValidShorterFile) {
    AddInputs({{"01.mp3", 6.0, 440, "One"}, {"02.mp3", 6.0, 660, "Two"}, {"03.mp3", 6.0, 880, "Three"}});
    const Reports r = Run([](JoinRunState& run) {
        for (int i = 0; i < 2000 && run.taskSamplesDone < 44100 * 2 * 2; ++i) ::usleep(2000);
        run.stopped = 1;  // as the dialog's Cancel does it
        run.running = 0;
    });
    EXPECT_EQ(r.done, 0);
    EXPECT_TRUE(r.HasLine("Joining status: ERROR."));
    const ReadM4b m = ReadM4bFile(output);
    ASSERT_TRUE(m.ok) << m.error;
    EXPECT_EQ(m.codec, "aac");
    const std::vector<uint64_t> frames = InputFrames();
    const uint64_t total = frames[0] + frames[1] + frames[2];
    EXPECT_GE(m.indexFrames, 44100 * 2);
    EXPECT_LT(static_cast<uint64_t>(m.indexFrames), total);
    EXPECT_NEAR(static_cast<double>(m.frames()), static_cast<double>(m.indexFrames), 1024.0);
    ASSERT_FALSE(m.chapters.empty());
    EXPECT_EQ(m.chapters.front().title, "One");
    EXPECT_NEAR(m.chapters.back().end, static_cast<double>(m.indexFrames) / 44100.0, 0.001);
    // What was encoded is the joined audio from its start.
    EXPECT_NEAR(M4bFrequency(m, 22050, 8820), 440.0, 440.0 * 0.03);
}

}  // namespace
