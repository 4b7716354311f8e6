#include "engine/copy_join.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "engine/audio_source.h"
#include "engine/join_runner.h"
#include "engine/join_sink.h"
#include "engine/join_task.h"
#include "engine/media_file.h"
#include "engine/output_tag.h"

namespace velmora {

namespace {

// A window over a file of the engine's file layer or over bytes in memory. Peek returns n
// bytes at pos, or null past the end or when the file could not be read; n never exceeds a
// frame and a header.
class WindowReader {
public:
    WindowReader(const uint8_t* data, size_t size) : mem_(data), size_(size) {}
    explicit WindowReader(MediaFile& file, size_t window = kWindow)
        : file_(&file), size_(static_cast<uint64_t>(file.size())), buf_(new uint8_t[window]), cap_(window) {}

    uint64_t size() const { return size_; }
    // A read failed or the file shrank: nothing after it can be trusted.
    bool failed() const { return file_ && file_->failed(); }
    const uint8_t* Peek(uint64_t pos, size_t n) {
        if (pos > size_ || n > size_ - pos) return nullptr;
        if (mem_) return mem_ + pos;
        if (pos < start_ || pos + n > start_ + len_) {
            if (failed()) return nullptr;
            start_ = pos;
            len_ = file_->Read(static_cast<int64_t>(pos), buf_.get(), static_cast<size_t>(std::min<uint64_t>(cap_, size_ - pos)));
            if (len_ < n) return nullptr;
        }
        return buf_.get() + (pos - start_);
    }

private:
    static constexpr size_t kWindow = 1 << 20;
    const uint8_t* mem_ = nullptr;
    MediaFile* file_ = nullptr;
    uint64_t size_ = 0;
    std::unique_ptr<uint8_t[]> buf_;  // not zeroed: only what was read is ever looked at
    size_t cap_ = 0;
    uint64_t start_ = 0;
    size_t len_ = 0;
};

uint32_t Synchsafe(const uint8_t* p) {
    if ((p[0] | p[1] | p[2] | p[3]) & 0x80) return 0xFFFFFFFFu;
    return (uint32_t(p[0]) << 21) | (uint32_t(p[1]) << 14) | (uint32_t(p[2]) << 7) | uint32_t(p[3]);
}

uint32_t Le32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

// The size of an ID3v2 tag starting at pos, 0 when there is none.
uint64_t Id3v2At(WindowReader& r, uint64_t pos) {
    const uint8_t* p = r.Peek(pos, 10);
    if (!p || std::memcmp(p, "ID3", 3) != 0 || p[3] == 0xFF || p[4] == 0xFF) return 0;
    const uint32_t size = Synchsafe(p + 6);
    if (size == 0xFFFFFFFFu) return 0;
    return 10ull + size + ((p[5] & 0x10) ? 10 : 0);
}

// Where the audio ends: before ID3v1, APE, Lyrics3 and appended ID3v2 tags, in any order.
uint64_t AudioEnd(WindowReader& r) {
    uint64_t end = r.size();
    for (;;) {
        const uint8_t* p;
        if (end >= 128 && (p = r.Peek(end - 128, 3)) && std::memcmp(p, "TAG", 3) == 0) {
            end -= 128;
        } else if (end >= 32 && (p = r.Peek(end - 32, 32)) && std::memcmp(p, "APETAGEX", 8) == 0) {
            const uint64_t size = uint64_t(Le32(p + 12)) + ((Le32(p + 20) & 0x80000000u) ? 32 : 0);
            if (size < 32 || size > end) return end;
            end -= size;
        } else if (end >= 15 && (p = r.Peek(end - 15, 15)) && std::memcmp(p + 6, "LYRICS200", 9) == 0) {
            uint64_t size = 0;
            for (int i = 0; i < 6; ++i) {
                if (p[i] < '0' || p[i] > '9') return end;
                size = size * 10 + (p[i] - '0');
            }
            if (size + 15 > end) return end;
            end -= size + 15;
        } else if (end >= 10 && (p = r.Peek(end - 10, 10)) && std::memcmp(p, "3DI", 3) == 0) {
            const uint32_t size = Synchsafe(p + 6);
            if (size == 0xFFFFFFFFu || uint64_t(size) + 20 > end) return end;
            end -= uint64_t(size) + 20;
        } else {
            return end;
        }
    }
}

// A frame of the stream `like` starts (MPEG version, layer and rate, and the channel count
// when `channels` is set).
bool Matches(const MpegFrameHeader& h, const MpegFrameHeader& like, bool channels) {
    return h.SameStream(like) && (!channels || h.channels() == like.channels());
}

// A frame header at pos that the next frame confirms (or that ends the audio exactly). With
// `like`, only a frame of that stream counts.
bool ConfirmedFrame(WindowReader& r, uint64_t pos, uint64_t end, const MpegFrameHeader* like, bool channels,
                    MpegFrameHeader& h) {
    const uint8_t* p = r.Peek(pos, 4);
    if (!p || !ParseMpegHeader(p, 4, h)) return false;
    if (like && !Matches(h, *like, channels)) return false;
    if (h.length == 0) return false;  // free format: its frames cannot be measured, so never copied
    if (pos + h.length > end) return false;
    if (pos + h.length == end) return true;
    MpegFrameHeader next;
    const uint8_t* q = r.Peek(pos + h.length, 4);
    return q && ParseMpegHeader(q, 4, next) && Matches(next, h, channels);
}

struct WalkState {
    CopyInput info;
    bool readable = false;
    int firstMainDataBegin = 0;
};

// The walk both passes share: every audio frame of the file in order, the header frame and
// everything that is no frame left out. With `plan`, only frames of the planned format
// (version, layer, rate and channel count) are audio: a file replaced since it was planned
// gives none of another format, and those it gives are left out as damaged data.
template <typename OnFrame>
WalkState Walk(WindowReader& r, OnFrame&& onFrame, uint64_t maxFrames = UINT64_MAX,
               const MpegFrameHeader* plan = nullptr) {
    WalkState s;
    const uint64_t end = AudioEnd(r);
    uint64_t pos = 0;
    while (const uint64_t tag = Id3v2At(r, pos)) pos += tag;
    bool haveFirst = plan != nullptr;
    bool firstFrame = true;
    MpegFrameHeader first = plan ? *plan : MpegFrameHeader{};
    bool seenFrame = false;
    while (pos < end && s.info.frames < maxFrames && !r.failed()) {
        MpegFrameHeader h;
        if (haveFirst && (seenFrame || !plan)) {
            const uint8_t* p = r.Peek(pos, 4);
            if (p && ParseMpegHeader(p, 4, h) && Matches(h, first, plan != nullptr) && h.length > 0 &&
                pos + h.length <= end) {
                const uint8_t* frame = r.Peek(pos, h.length);
                if (!frame) break;
                if (firstFrame) {
                    firstFrame = false;
                    const XingHeader x = ParseXingFrame(frame, h.length, h);
                    if (x.present) {
                        s.info.delay = x.hasLame ? x.delay : 0;
                        s.info.padding = x.hasLame ? x.padding : 0;
                        pos += h.length;
                        continue;
                    }
                }
                if (s.info.frames == 0) {
                    s.info.first = h;
                    s.firstMainDataBegin = MainDataBegin(frame, h.length, h);
                } else if (h.bitrateIndex != s.info.first.bitrateIndex) {
                    s.info.sameBitrate = false;
                }
                ++s.info.frames;
                s.info.bytes += h.length;
                onFrame(frame, h);
                pos += h.length;
                continue;
            }
            // A tag between frames is skipped; anything else is damage, and the walk finds
            // the next confirmed frame.
            if (const uint64_t tag = Id3v2At(r, pos); tag > 0 && pos + tag <= end) {
                pos += tag;
                continue;
            }
            s.info.damaged = true;
            ++pos;
        }
        // Resynchronise: the next confirmed frame (of the first frame's stream, once known).
        while (pos < end && !r.failed() && !ConfirmedFrame(r, pos, end, haveFirst ? &first : nullptr, plan != nullptr, h))
            ++pos;
        if (pos >= end || r.failed()) break;
        if (!haveFirst) {
            haveFirst = true;
            first = h;
        }
        seenFrame = true;
        s.readable = true;
    }
    if (s.info.frames == 0) s.info.first = first;
    return s;
}

const char* ModeName(uint32_t channels) { return channels == 1 ? "mono" : "stereo"; }
const char* VersionName(int v) { return v == 1 ? "MPEG-1" : v == 2 ? "MPEG-2" : "MPEG-2.5"; }

// The head of a file: its first audio frame and its own header frame, all the plan needs.
// The frames themselves are read once, by the copy.
WalkState WalkHead(const std::string& path, uint64_t& fileBytes) {
    WalkState s;
    fileBytes = 0;
    MediaFile file(path);
    if (file.isOpen() && file.size() > 0) {
        fileBytes = static_cast<uint64_t>(file.size());
        WindowReader r(file, 64 * 1024);  // a head and a tail, not the whole file
        s = Walk(r, [](const uint8_t*, const MpegFrameHeader&) {}, 1);
    }
    s.info.path = path;
    return s;
}

}  // namespace

// The header frame of the whole stream: Info when every frame has one bit rate, Xing
// otherwise, with frame and byte counts, a table of contents and a LAME extension.
std::vector<uint8_t> BuildHeaderFrame(const MpegFrameHeader& like, bool constant, uint64_t frames,
                                      uint64_t streamBytes, const FrameOffsets* offsets, int delay, int padding,
                                      uint16_t musicCrc) {
    uint8_t first[4];
    BuildMpegHeader(like, first);
    XingFields x;
    x.constant = constant;
    x.frames = frames;
    x.streamBytes = streamBytes;
    x.offsets = offsets;
    x.method = constant ? 1 : 0;  // constant bit rate, or unknown
    x.kbps = static_cast<uint8_t>(constant ? std::min(like.bitrateKbps, 255) : 0);
    x.delay = delay;
    x.padding = padding;
    x.musicCrc = musicCrc;
    return BuildXingFrame(first, x);
}

CopyInput WalkMp3Frames(const uint8_t* data, size_t size,
                        const std::function<void(const uint8_t*, const MpegFrameHeader&)>& frame,
                        const MpegFrameHeader* plan) {
    WindowReader r(data, size);
    return Walk(r, frame, UINT64_MAX, plan).info;
}

bool HasDamagedData(MediaFile& file) {
    if (!file.isOpen()) return false;
    WindowReader r(file);
    return Walk(r, [](const uint8_t*, const MpegFrameHeader&) {}).info.damaged;
}

bool PlanCopyJoin(const CConversionTask& task, CopyPlan& plan, std::string& whyNot) {
    plan = {};
    if (!task.files || task.files->empty()) return false;
    // Frames are copied only between MPEG audio files; any other input is decoded and encoded.
    for (const CFileToBeJoin& file : *task.files) {
        if (IsMpegAudioFile(file.path)) continue;
        const AudioFileInfo info = ProbeAudioFile(file.path);
        whyNot = FormatText("%s is %s, not MPEG audio: re-encoding.", file.path.c_str(),
                            info.typeName.empty() ? "unreadable" : info.typeName.c_str());
        return false;
    }
    for (const CFileToBeJoin& file : *task.files) {
        uint64_t fileBytes = 0;
        const WalkState s = WalkHead(file.path, fileBytes);
        const char* path = file.path.c_str();
        if (!s.readable || s.info.frames == 0) {
            whyNot = FormatText("%s has no MPEG audio frames that can be copied (free format or none): re-encoding.",
                                path);
            return false;
        }
        const MpegFrameHeader& h = s.info.first;
        if (h.layer != 3) {
            whyNot = FormatText("%s is MPEG Layer %s, not Layer III: re-encoding.", path, h.layer == 1 ? "I" : "II");
            return false;
        }
        if (!plan.inputs.empty()) {
            const MpegFrameHeader& f = plan.inputs.front().first;
            if (h.version != f.version) {
                whyNot = FormatText("%s is %s, the first file %s: re-encoding.", path, VersionName(h.version),
                                    VersionName(f.version));
                return false;
            }
            if (h.sampleRate != f.sampleRate) {
                whyNot = FormatText("%s is %u Hz, the first file %u Hz: re-encoding.", path, h.sampleRate, f.sampleRate);
                return false;
            }
            if (h.channels() != f.channels()) {
                whyNot = FormatText("%s is %s, the first file %s: re-encoding.", path, ModeName(h.channels()),
                                    ModeName(f.channels()));
                return false;
            }
        }
        // Its first frame borrows from a reservoir it does not have: copied, it would glitch.
        if (s.firstMainDataBegin != 0) {
            whyNot = FormatText("%s starts inside a bit reservoir (cut out of a longer stream): re-encoding.", path);
            return false;
        }
        // The counts come with the copy; for progress, the file's size in frames of its first.
        CopyInput input = s.info;
        input.frames = h.length ? fileBytes / h.length : 0;
        input.bytes = fileBytes;
        plan.frames += input.frames;
        plan.bytes += input.bytes;
        plan.inputs.push_back(input);
    }
    return true;
}

int CopyAllFiles(JoinEngine& engine, CConversionTask& task, const CopyPlan& plan) {
    const std::shared_ptr<JoinRunState> runOwner = engine.activeRun;
    JoinRunState& run = *runOwner;
    if (plan.inputs.empty()) return 0;
    const MpegFrameHeader& like = plan.inputs.front().first;
    const uint32_t channels = like.channels();
    task.encoding = 1;

    std::FILE* out = std::fopen(task.outputPath.c_str(), "w+b");
    if (!out) {
        PostJoinMessage(engine, FormatText("Error creating file %s", task.outputPath.c_str()), kMessageError);
        run.running = 0;
        task.encoding = 0;
        return 0;
    }
    static thread_local char buffer[1 << 18];
    std::setvbuf(out, buffer, _IOFBF, sizeof buffer);
    bool ok = true;
    if (task.tagReserve > 0) {
        ok = WriteTagPlaceholder(out, task.tagReserve);
        if (ok) task.tagPlaced = 1;
    }
    // The header's room (its size depends on the first frame alone), filled once the stream's
    // counts, and whether every frame has one bit rate, are known.
    bool constant = true;
    const std::vector<uint8_t> placeholder = BuildHeaderFrame(like, constant, 0, 0, nullptr, 0, 0, 0);
    ok = ok && std::fwrite(placeholder.data(), 1, placeholder.size(), out) == placeholder.size();

    FrameOffsets offsets;
    uint64_t frames = 0;
    uint64_t bytes = 0;
    uint16_t musicCrc = 0;
    uint32_t last = TickCount();
    bool completed = true;
    // Each input's own delay and padding, as its copied header frame gave them.
    std::vector<int> delays(plan.inputs.size(), 0), paddings(plan.inputs.size(), 0);
    std::vector<uint64_t> givenOf(plan.inputs.size(), 0);  // samples copied, over all channels
    for (size_t i = 0; i < plan.inputs.size() && ok; ++i) {
        const CopyInput& in = plan.inputs[i];
        if (const std::shared_ptr<JoinSink> sink = engine.sink) sink->SetSource(in.path);
        task.currentFile = in.path;
        MediaFile file(in.path);
        if (!file.isOpen() || file.size() <= 0) {
            PostJoinMessage(engine, FormatText("No audio could be decoded from %s.", in.path.c_str()), kMessageError);
            task.inputsMissing = 1;
            continue;
        }
        WindowReader reader(file);
        uint64_t given = 0;
        const uint32_t perFrame = in.first.samples * channels;
        // Every frame is checked against the plan, whatever the file holds by now.
        WalkState walked = Walk(reader, [&](const uint8_t* frame, const MpegFrameHeader& h) {
            if (!ok || !run.running) return;
            while (run.paused && run.running) std::this_thread::sleep_for(std::chrono::milliseconds(20));
            if (!run.running) return;
            offsets.Add(frames, bytes);
            constant = constant && h.bitrateIndex == like.bitrateIndex;
            if (std::fwrite(frame, 1, h.length, out) != h.length) {
                ok = false;
                return;
            }
            musicCrc = LameCrc16(musicCrc, frame, h.length);
            ++frames;
            bytes += h.length;
            given += perFrame;
            // The plan's total is an estimate from the files' sizes: never past it.
            if (run.taskSamplesDone.load() + perFrame <= task.totalSamples) RecordEncodedSamples(run, task, perFrame);
            const uint32_t now = TickCount();
            if (now - last > 100) {
                last = now;
                PostJoinProgress(engine, static_cast<float>(TaskPercent(run, task)),
                                 static_cast<float>(OverallPercent(run)), false);
            }
        }, UINT64_MAX, &like);
        givenOf[i] = given;
        delays[i] = walked.info.delay;
        paddings[i] = walked.info.padding;
        if (file.failed()) {
            PostJoinMessage(engine, FormatText("Error reading %s: %s.", in.path.c_str(), file.errorText().c_str()),
                            kMessageError);
            run.running = 0;
            completed = false;
            break;
        }
        if (!run.running || !ok) {
            completed = false;
            break;
        }
        if (walked.info.frames == 0) {
            // Readable when it was planned, but no frame of the plan's format now (replaced,
            // emptied): the join goes on with the rest and ends as failed.
            PostJoinMessage(engine, FormatText("No audio could be decoded from %s.", in.path.c_str()), kMessageError);
            task.inputsMissing = 1;
            continue;
        }
        if (walked.info.damaged)
            PostJoinMessage(engine, FormatText("Trouble with %s: damaged data left out.", in.path.c_str()), kMessageError);
    }
    if (!ok) {
        PostJoinMessage(engine, "Output file write error", kMessageError);
        run.running = 0;
        completed = false;
    }
    // The inputs that gave frames: the stream starts with the first one's and, when it ran to
    // its end, ends with the last one's.
    std::vector<size_t> gave;
    for (size_t i = 0; i < givenOf.size(); ++i)
        if (givenOf[i] > 0) gave.push_back(i);
    // The two ends are trimmed by the first input's delay and, when the stream ran to its end,
    // the last input's padding; every interior seam keeps its own.
    const int delay = gave.empty() ? 0 : delays[gave.front()];
    const int padding = completed && !gave.empty() ? paddings[gave.back()] : 0;
    const uint64_t streamBytes = placeholder.size() + bytes;
    const std::vector<uint8_t> header =
        BuildHeaderFrame(like, constant, frames, streamBytes, &offsets, delay, padding, musicCrc);
    if (std::fflush(out) != 0 || std::fseek(out, task.tagReserve, SEEK_SET) != 0 ||
        std::fwrite(header.data(), 1, header.size(), out) != header.size() || std::fflush(out) != 0) {
        if (ok) PostJoinMessage(engine, "Output file write error", kMessageError);
        ok = false;
        run.running = 0;
    }
    if (std::fclose(out) != 0 && ok) {
        PostJoinMessage(engine, "Output file write error", kMessageError);
        ok = false;
        run.running = 0;
    }
    // What the output decodes to, gapless: the chapters' positions and its length. An input's
    // chapter starts at its first sample of music: the silence of its encoder delay at an
    // interior seam counts to the input before it.
    const uint64_t trimmed = uint64_t(std::max(delay, 0) + padding) * channels;
    if (!gave.empty()) {
        givenOf[gave.front()] -= std::min<uint64_t>(givenOf[gave.front()], uint64_t(delay) * channels);
        givenOf[gave.back()] -= std::min<uint64_t>(givenOf[gave.back()], uint64_t(padding) * channels);
        for (size_t k = 1; k < gave.size(); ++k) {
            const uint64_t lead = std::min<uint64_t>(givenOf[gave[k]], uint64_t(std::max(delays[gave[k]], 0)) * channels);
            givenOf[gave[k]] -= lead;
            givenOf[gave[k - 1]] += lead;
        }
    }
    for (size_t i = 0; i < givenOf.size() && i < task.inputSamples.size(); ++i) task.inputSamples[i] = givenOf[i];
    // The counts become exact: the output's length, and a task that ran to its end at 100 %.
    const uint64_t raw = frames * like.samples * channels;
    const uint64_t length = raw - std::min(raw, trimmed);
    const uint64_t recorded = run.taskSamplesDone.load();
    if (completed) {
        run.overallSamplesTotal = run.overallSamplesTotal.load() - std::min(run.overallSamplesTotal.load(),
                                                                            task.totalSamples) + length;
        task.totalSamples = length;
    }
    run.overallSamplesDone = run.overallSamplesDone.load() - std::min(run.overallSamplesDone.load(), recorded) + length;
    run.taskSamplesDone = length;
    PostJoinProgress(engine, static_cast<float>(TaskPercent(run, task)), static_cast<float>(OverallPercent(run)), true);
    task.encoding = 0;
    return ok && completed ? 1 : 0;
}

}  // namespace velmora
