// Inputs that are damaged, fail to read, shrink or are replaced while a join runs, CRC-protected
// inputs, outputs past 4 GiB, and an existing output that only an OK join may replace. Faults
// come through the file layer's read seam at chosen offsets, never through timing.
#include "test_encoder_support.h"

#include "engine/copy_join.h"
#include "engine/encoder.h"
#include "engine/loudness.h"
#include "engine/media_file.h"
#include "engine/mpeg_frame.h"
#include "lame_enc/mp3_frames.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <random>

using namespace velmora;
using namespace velmora::testing;
namespace fs = std::filesystem;

namespace {

class Faults {
public:
    Faults() {
        engine = MakeHeadlessEngine(sink);
        engine->encodeTask = EncodeTask;
        engine->settings.askOutputPath = 1;
        output = (dir / "joined.mp3").string();
    }
    ~Faults() { SetInputReadHook({}); }

    std::string Tone(const std::string& name, double seconds, int rate = 44100) {
        ToneSpec t;
        t.seconds = seconds;
        t.rate = rate;
        EXPECT_TRUE(MakeToneMp3(dir / name, t)) << name;
        return (dir / name).string();
    }

    // `beforeStart` runs once the inputs are measured, just before the join starts.
    Reports Run(const std::vector<std::string>& paths, const std::function<void()>& beforeStart = {}) {
        Reports r = RunJoinOf(engine, *sink, paths, output, beforeStart);
        SetInputReadHook({});
        return r;
    }

    size_t CountLines(const Reports& r, const std::string& text) const {
        return static_cast<size_t>(std::count(r.lines.begin(), r.lines.end(), text));
    }

    TempDir dir;
    std::shared_ptr<JoinEventQueue> sink;
    std::shared_ptr<JoinEngine> engine;
    std::string output;
};

// The real read, through the descriptor the file layer opened.
ssize_t RealRead(int fd, void* into, size_t count, int64_t offset) { return ::pread(fd, into, count, offset); }

// A read across `at`: the head and tail reads every open makes stay clear of a point in the
// middle, so only the reads of the audio itself meet the fault.
bool Spans(int64_t offset, size_t count, int64_t at) { return offset <= at && offset + static_cast<int64_t>(count) > at; }

// Overwrites `count` bytes in the middle of the file with noise that holds no frame sync.
void Damage(const std::string& path, size_t count) {
    std::string bytes = ReadFile(path);
    std::mt19937 random(7);
    const size_t at = bytes.size() / 2;
    for (size_t i = 0; i < count; ++i) bytes[at + i] = static_cast<char>(random() % 0xE0);
    WriteFile(path, bytes);
}

}  // namespace

// A damaged block far larger than the decoder's default resync window: the rest of the input
// is still joined, in the loudness pass too, and the input is named once.
TEST(InputFaults, DamagedDataOfAnyLengthIsSkippedAndTheRestJoined) {
    Faults f;
    f.engine->settings.loudness = 1;
    const std::string a = f.Tone("a.mp3", 5.0);
    const std::string b = f.Tone("b.mp3", 1.0);
    Damage(a, 3000);
    LoudnessMeasure m;
    uint64_t measured = 0;
    ASSERT_TRUE(MeasureLoudness(a, m, [&](uint64_t frames) { return (measured = frames), true; }));
    EXPECT_GT(measured, 44100u * 47 / 10);  // 5 s less the damaged frames

    const Reports r = f.Run({a, b});
    EXPECT_TRUE(r.HasLine("Joining status: OK."));
    EXPECT_EQ(f.CountLines(r, "Trouble with " + a + ": damaged data left out."), 1u);
    EXPECT_EQ(f.CountLines(r, "Trouble with " + b + ": damaged data left out."), 0u);
    const DecodedMp3 d = DecodeMp3(f.output);
    ASSERT_TRUE(d.ok);
    EXPECT_GT(d.frames(), 44100u * 57 / 10);
    EXPECT_LE(d.frames(), 44100u * 6);
}

// A read that fails part-way ends either kind of join as failed, naming the input and the
// system's message; a file cut short while it is read does the same.
TEST(InputFaults, AReadErrorOrAShrinkingInputEndsEitherJoinWithAnError) {
    for (const bool copy : {false, true}) {
        for (const bool shrink : {false, true}) {
            SCOPED_TRACE(std::string(copy ? "copy" : "re-encode") + (shrink ? ", shrink" : ", read error"));
            Faults f;
            f.engine->settings.copyFrames = copy ? 1 : 0;
            const std::string a = f.Tone("a.mp3", 1.0);
            const std::string b = f.Tone("b.mp3", 12.0);
            const int64_t cut = static_cast<int64_t>(fs::file_size(b) / 2);
            SetInputReadHook([b, cut, shrink](const std::string& path, int fd, void* into, size_t count, int64_t offset) {
                if (path == b && Spans(offset, count, cut)) {
                    if (!shrink) {
                        errno = EIO;
                        return ssize_t(-1);
                    }
                    if (::truncate(path.c_str(), cut) != 0) return ssize_t(-1);
                }
                return RealRead(fd, into, count, offset);
            });
            const Reports r = f.Run({a, b});
            EXPECT_TRUE(r.HasLine("Joining status: ERROR."));
            EXPECT_FALSE(r.HasLine("Joining status: OK."));
            const std::string why = shrink ? "the file became shorter while it was read" : std::strerror(EIO);
            EXPECT_TRUE(r.HasLine("Error reading " + b + ": " + why + ".")) << ::testing::PrintToString(r.lines);
        }
    }
}

// Between the copy join's plan and its copy, an input is replaced by a file of another rate,
// or by zeros: none of it goes into the stream, and the join fails naming it.
TEST(InputFaults, ACopyJoinTakesOnlyFramesOfItsPlan) {
    for (const bool zeros : {false, true}) {
        SCOPED_TRACE(zeros ? "zeros" : "48 kHz");
        Faults f;
        f.engine->settings.copyFrames = 1;
        const std::string a = f.Tone("a.mp3", 1.0);
        const std::string b = f.Tone("b.mp3", 1.0);
        const std::string other = zeros ? (f.dir / "zeros").string() : f.Tone("other.mp3", 1.0, 48000);
        if (zeros) WriteFile(other, std::string(fs::file_size(b), '\0'));
        // The plan reads a, then b; a read of a after b has been read is the copy.
        std::mutex m;
        bool sawB = false, replaced = false;
        const Reports r = f.Run({a, b}, [&] {
            SetInputReadHook([&](const std::string& path, int fd, void* into, size_t count, int64_t offset) {
                std::lock_guard lock(m);
                if (path == b) sawB = true;
                if (path == a && sawB && !replaced) {
                    replaced = true;
                    fs::rename(other, b);
                }
                return RealRead(fd, into, count, offset);
            });
        });
        EXPECT_TRUE(replaced);
        EXPECT_TRUE(r.HasLine("Copying the audio frames (no re-encoding)."));
        EXPECT_TRUE(r.HasLine("No audio could be decoded from " + b + "."));
        EXPECT_TRUE(r.HasLine("Joining status: ERROR."));
        const Mp3File out = ReadMp3File(f.output);
        ASSERT_TRUE(out.ok);
        for (const Mp3Frame& frame : out.frames) ASSERT_EQ(frame.rate, 44100);
        EXPECT_EQ(DecodeMp3(f.output).frames(), DecodeMp3(a).frames());
    }
}

// LAME puts its Info frame into a CRC-protected first frame where it would be without the
// CRC. A copy join of a plain and a protected file must take it as the header it is.
TEST(InputFaults, ACrcProtectedInfoFrameIsNeverCopiedAsAudio) {
    Faults f;
    f.engine->settings.copyFrames = 1;
    const std::string wav = (f.dir / "tone.wav").string();
    const std::string crc = (f.dir / "crc.mp3").string();
    ASSERT_EQ(std::system(("sox -q -n -r 44100 -c 2 -b 16 '" + wav + "' synth 1.5 sine 330 vol 0.3").c_str()), 0);
    ASSERT_EQ(std::system(("lame --quiet -p -b 128 '" + wav + "' '" + crc + "'").c_str()), 0);
    const std::string plain = f.Tone("plain.mp3", 1.0);

    const Mp3File protectedFile = ReadMp3File(crc);
    ASSERT_TRUE(protectedFile.ok);
    ASSERT_TRUE(protectedFile.frames[0].crc);
    const uint8_t* first = protectedFile.bytes.data() + protectedFile.frames[0].offset;
    MpegFrameHeader h;
    ASSERT_TRUE(ParseMpegHeader(first, 4, h));
    const XingHeader x = ParseXingFrame(first, h.length, h);
    EXPECT_TRUE(x.present);
    EXPECT_TRUE(x.hasLame);
    EXPECT_GT(x.delay, 0);

    EXPECT_EQ(ReadStreamInfo(crc).totalSamples, DecodeMp3(crc).samples.size());

    const Reports r = f.Run({plain, crc});
    ASSERT_TRUE(r.HasLine("Copying the audio frames (no re-encoding)."));
    EXPECT_TRUE(r.HasLine("Joining status: OK."));
    // A copy join's seam keeps the first input's padding and the second's delay.
    EXPECT_EQ(DecodeMp3(f.output).frames(), DecodeMp3(plain).frames() + DecodeMp3(crc).frames() +
                                                ReadMp3File(plain).encoderPadding + x.delay);
    EXPECT_EQ(ReadMp3File(f.output).frames.size(), ReadMp3File(plain).frames.size() + protectedFile.frames.size() - 1);
}

// Past 4 GiB the Info frame's byte count cannot be written: it is left out, never saturated,
// while the frame count, the table of contents and the LAME extension stay exact.
TEST(InputFaults, AHeaderPastFourGibLeavesItsByteCountOut) {
    MpegFrameHeader like;
    const uint8_t header[4] = {0xFF, 0xFB, 0x90, 0x64};  // MPEG-1 Layer III, 128 kbps, 44.1 kHz
    ASSERT_TRUE(ParseMpegHeader(header, 4, like));
    const uint64_t frames = 12'000'000;  // about 5.0 GB at 418 bytes a frame
    FrameOffsets offsets;
    for (uint64_t i = 0; i < frames; ++i) offsets.Add(i, i * 418);
    const uint64_t bytes = frames * 418;
    ASSERT_GT(bytes, 0xFFFFFFFFull);
    for (const uint64_t streamBytes : {uint64_t(400'000), bytes}) {
        const uint64_t n = streamBytes == bytes ? frames : 900;
        const std::vector<uint8_t> f = BuildHeaderFrame(like, true, n, streamBytes, &offsets, 576, 1000, 0x1234);
        MpegFrameHeader h;
        ASSERT_TRUE(ParseMpegHeader(f.data(), 4, h));
        const XingHeader x = ParseXingFrame(f.data(), f.size(), h);
        ASSERT_TRUE(x.present);
        EXPECT_EQ(x.frames, n);
        EXPECT_EQ(x.bytes, streamBytes == bytes ? 0u : streamBytes);
        EXPECT_TRUE(x.hasLame);
        EXPECT_EQ(x.delay, 576);
        EXPECT_EQ(x.padding, 1000);
        const size_t tag = 4 + h.sideInfoSize();
        const bool hasCount = (f[tag + 7] & 0x02) != 0;
        EXPECT_EQ(hasCount, streamBytes != bytes);
        if (streamBytes == bytes) {
            // The table of contents follows the frame count at once: half way is byte 128.
            EXPECT_NEAR(f[tag + 12 + 50], 128, 1);
            const size_t ext = tag + 12 + 100 + 4;
            ASSERT_EQ(std::string(reinterpret_cast<const char*>(&f[ext]), 4), "LAME");
            EXPECT_EQ(f[ext + 28] | f[ext + 29] | f[ext + 30] | f[ext + 31], 0);  // music length unknown
            EXPECT_EQ(LameCrc16(0, f.data(), ext + 34), (f[ext + 34] << 8) | f[ext + 35]);
        }
    }
}

// An existing output is replaced only by a join that ends OK. A failed join leaves it as it
// was and no temporary file behind; a cancelled one leaves it too and keeps what was joined
// under the next free name.
TEST(InputFaults, AnExistingOutputIsReplacedOnlyByAJoinThatEndsOk) {
    Faults f;
    const std::string a = f.Tone("a.mp3", 1.0);
    const std::string b = f.Tone("b.mp3", 6.0);
    const std::string old = "the old file, which must survive";
    auto listing = [&] {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(f.dir.path())) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    };
    WriteFile(f.output, old);
    ::chmod(f.output.c_str(), 0640);
    const auto before = listing();

    SetInputReadHook([b](const std::string& path, int fd, void* into, size_t count, int64_t offset) {
        if (path == b && Spans(offset, count, 70000)) return (errno = EIO), ssize_t(-1);
        return RealRead(fd, into, count, offset);
    });
    Reports r = f.Run({a, b});
    EXPECT_TRUE(r.HasLine("Joining status: ERROR."));
    EXPECT_EQ(ReadFile(f.output), old);
    EXPECT_EQ(listing(), before);

    const std::shared_ptr<JoinRunState> run = f.engine->activeRun;
    SetInputReadHook([b, run](const std::string& path, int fd, void* into, size_t count, int64_t offset) {
        if (path == b && Spans(offset, count, 70000)) {
            run->stopped = 1;  // as the dialog's Cancel does
            run->running = 0;
        }
        return RealRead(fd, into, count, offset);
    });
    r = f.Run({a, b});
    const std::string kept = (f.dir / "joined (2).mp3").string();
    EXPECT_EQ(ReadFile(f.output), old);
    EXPECT_TRUE(r.HasLine("The old file was kept; what was joined is in " + kept + "."));
    // A valid, shorter file: how much of it the encoder had done when the cancel came is the
    // threads' business.
    const Mp3File shorter = ReadMp3File(kept);
    ASSERT_TRUE(shorter.ok);
    EXPECT_TRUE(shorter.hasInfo);
    EXPECT_LT(DecodeMp3(kept).frames(), 44100u * 7);
    fs::remove(kept);
    EXPECT_EQ(listing(), before);

    r = f.Run({a, b});
    EXPECT_TRUE(r.HasLine("Joining status: OK."));
    EXPECT_EQ(DecodeMp3(f.output).frames(), 44100u * 7);
    EXPECT_EQ(fs::status(f.output).permissions() & fs::perms::all, fs::perms(0640));
    EXPECT_EQ(listing(), before);
}

// An input that became a named pipe after it was listed is never opened for reading (that
// would wait for a writer for ever), in either kind of join or the loudness pass.
TEST(InputFaults, AnInputThatIsNoLongerARegularFileIsNotRead) {
    for (const int kind : {0, 1, 2}) {
        SCOPED_TRACE(kind);
        Faults f;
        f.engine->settings.copyFrames = kind == 1 ? 1 : 0;
        f.engine->settings.loudness = kind == 2 ? 1 : 0;
        const std::string a = f.Tone("a.mp3", 1.0);
        const std::string b = f.Tone("b.mp3", 1.0);
        const Reports r = f.Run({a, b}, [&] {
            fs::remove(b);
            ASSERT_EQ(::mkfifo(b.c_str(), 0600), 0);
        });
        EXPECT_TRUE(r.HasLine("No audio could be decoded from " + b + ".")) << ::testing::PrintToString(r.lines);
        EXPECT_TRUE(r.HasLine("Joining status: ERROR."));
    }
}
