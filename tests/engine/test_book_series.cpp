// A series of books in one run, with the real encoder: a book that fails half-way (a read
// error through the file layer's seam) or before it starts does not stop the others, and a
// cancel half-way through a book stops the series there.
#include "test_encoder_support.h"

#include "engine/media_file.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

using namespace velmora;
using namespace velmora::testing;
namespace fs = std::filesystem;

namespace {

class BookSeries : public ::testing::Test {
protected:
    void SetUp() override {
        REQUIRE_ENCODER_MODULE();
        engine = MakeHeadlessEngine(sink);
        engine->encodeTask = EncodeTask;
        engine->settings.askOutputPath = 0;
    }
    void TearDown() override { SetInputReadHook({}); }

    std::string Tone(const std::string& name, double seconds) {
        ToneSpec t;
        t.seconds = seconds;
        EXPECT_TRUE(MakeToneMp3(dir / name, t)) << name;
        return (dir / name).string();
    }
    // A task of book `number` of `count`, writing out/<name>.mp3.
    void AddBook(int number, int count, const std::string& name, const std::vector<std::string>& inputs,
                 const std::string& error = {}) {
        CConversionTask task;
        for (const std::string& p : inputs) {
            const StreamInfo info = ReadStreamInfo(p);
            task.files->push_back(CFileToBeJoin{p, info.sampleRate, info.channels, info.totalSamples, {}});
        }
        task.outputKind = kOutputKindMp3;
        task.outputPath = Out(name);
        task.bookNumber = number;
        task.bookCount = count;
        task.bookName = name;
        task.bookError = error;
        if (error.empty()) PrepareTask(task, engine->settings);
        engine->activeRun->overallSamplesTotal.Add(task.totalSamples);
        engine->activeRun->tasks.push_back(std::move(task));
    }
    std::string Out(const std::string& name) { return (dir / (name + ".mp3")).string(); }
    Reports Run() {
        std::shared_ptr<WorkerThread> job = StartJoinRun(engine);
        EXPECT_TRUE(job && job->Wait(60000));
        EXPECT_TRUE(StopJoinWorkers(*engine->activeRun, 10000));
        return Reports(sink->TakeAll());
    }
    // Whenever `path` is read across its middle, `action` runs first.
    void AtMiddleOf(const std::string& path, std::function<bool()> action) {
        const int64_t middle = static_cast<int64_t>(fs::file_size(path) / 2);
        SetInputReadHook([=](const std::string& p, int fd, void* into, size_t count, int64_t offset) {
            if (p == path && offset <= middle && offset + static_cast<int64_t>(count) > middle && !action())
                return ssize_t(-1);
            return ::pread(fd, into, count, offset);
        });
    }

    TempDir dir;
    std::shared_ptr<JoinEventQueue> sink;
    std::shared_ptr<JoinEngine> engine;
};

size_t Count(const std::vector<std::string>& lines, const std::string& text) {
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), text));
}

}  // namespace

TEST_F(BookSeries, AFailedBookIsNamedAtTheEndAndTheOthersAreJoined) {
    const std::string a = Tone("a.mp3", 1.0), b = Tone("b.mp3", 12.0);
    engine->activeRun->prefaceLines = {"No audio files in /lib/Empty: skipped."};
    AddBook(1, 4, "One", {a});
    // Two parts of one book: once the first fails, the second is not written either.
    AddBook(2, 4, "Two", {b});
    AddBook(2, 4, "Two", {a});
    AddBook(3, 4, "Three", {}, "x.mp3: Trouble with mpg123: damaged");
    AddBook(4, 4, "Four", {a, a});
    AtMiddleOf(b, [] { return errno = EIO, false; });
    const Reports r = Run();

    // The failed book's reason is the first error line of its block.
    const auto two = std::find(r.lines.begin(), r.lines.end(), "Book 2 of 4: Two");
    const auto reason = std::find_if(two, r.lines.end(), [&](const std::string& l) {
        return std::find(r.errorLines.begin(), r.errorLines.end(), l) != r.errorLines.end();
    });
    ASSERT_NE(reason, r.lines.end());
    EXPECT_TRUE(r.HasLine("Error reading " + b + ": " + std::strerror(EIO) + ".")) << ::testing::PrintToString(r.lines);
    ASSERT_FALSE(r.lines.empty());
    EXPECT_EQ(r.lines.front(), "No audio files in /lib/Empty: skipped.");
    EXPECT_EQ(Count(r.lines, "Book 2 of 4: Two"), 1u);
    EXPECT_EQ(Count(r.lines, "Book 4 of 4: Four"), 1u);
    EXPECT_EQ(Count(r.lines, "Joining status: OK."), 2u);
    EXPECT_EQ(r.lines.back(), "2 joined, 2 failed: Two (" + *reason + "); Three (x.mp3: Trouble with mpg123: damaged)");
    EXPECT_EQ(r.done, 0);
    EXPECT_EQ(engine->activeRun->running, 0);
    bool titled = false;
    for (const JoinEvent& e : r.all) titled |= e.type == JoinEvent::Type::Title && e.text == "Joining... Book 4 of 4";
    EXPECT_TRUE(titled);

    // The good books are whole; the failed one left nothing behind.
    EXPECT_EQ(engine->activeRun->joinedOutputs, (std::vector<std::string>{Out("One"), Out("Four")}));
    const size_t frames = DecodeMp3(a).frames();
    EXPECT_EQ(DecodeMp3(Out("One")).frames(), frames);
    EXPECT_EQ(DecodeMp3(Out("Four")).frames(), 2 * frames);
    EXPECT_FALSE(fs::exists(Out("Two")));
    EXPECT_FALSE(fs::exists(dir / "Two (2).mp3"));
    EXPECT_FALSE(fs::exists(Out("Three")));
}

TEST_F(BookSeries, ACancelHalfWayThroughABookStopsTheSeries) {
    const std::string a = Tone("a.mp3", 1.0), b = Tone("b.mp3", 12.0);
    AddBook(1, 3, "One", {a});
    AddBook(2, 3, "Two", {b});
    AddBook(3, 3, "Three", {a});
    JoinRunState& run = *engine->activeRun;
    AtMiddleOf(b, [&run] {
        // The reader runs ahead of the encoder: wait until some of the book is encoded, so the
        // cancel finds something to keep however loaded the machine is.
        for (int i = 0; i < 2000 && run.taskSamplesDone < 44100; ++i) ::usleep(5000);
        run.stopped = 1;  // as the dialog's Cancel and Ctrl+C do it
        run.running = 0;
        return true;
    });
    const Reports r = Run();

    EXPECT_EQ(r.done, 0);
    EXPECT_EQ(Count(r.lines, "Book 3 of 3: Three"), 0u);
    for (const std::string& line : r.lines) EXPECT_EQ(line.find("joined,"), std::string::npos) << line;
    EXPECT_EQ(run.joinedOutputs, std::vector<std::string>{Out("One")});
    EXPECT_TRUE(run.failedBooks.empty());
    EXPECT_EQ(DecodeMp3(Out("One")).frames(), DecodeMp3(a).frames());
    // The cancelled book keeps what was joined of it, as a cancelled join does.
    const DecodedMp3 two = DecodeMp3(Out("Two"));
    EXPECT_GT(two.frames(), 0u);
    EXPECT_LT(two.frames(), DecodeMp3(b).frames());
    EXPECT_FALSE(fs::exists(Out("Three")));
}
