#include "engine/output_tag.h"

#include <taglib/attachedpictureframe.h>
#include <taglib/flacfile.h>
#include <taglib/mp4file.h>
#include <taglib/opusfile.h>
#include <taglib/vorbisfile.h>
#include <taglib/chapterframe.h>
#include <taglib/commentsframe.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/tableofcontentsframe.h>
#include <taglib/textidentificationframe.h>

#include <algorithm>
#include <cstring>
#include <cctype>
#include <filesystem>
#include <map>
#include <set>
#include <utility>

#include "engine/audio_source.h"
#include "engine/book_plan.h"
#include "engine/join_runner.h"
#include "engine/join_sink.h"
#include "engine/media_file.h"
#include "engine/join_task.h"

namespace velmora {

namespace {

// Room left over in the reserved tag beyond what the planned content needs: the length and
// the chapters' times are known only at the end, and a length may gain a digit.
constexpr uint32_t kTagSlack = 1024;
constexpr uint32_t kNoOffset = 0xFFFFFFFFu;  // CHAP byte offsets: unused, times rule

// The most entries one ID3 table of contents (CTOC) holds: its count is a single byte.
constexpr size_t kMaxTocEntries = 255;

// `text` as valid UTF-8: each maximal ill-formed part becomes U+FFFD. File names are the
// system's bytes and need not be UTF-8; TagLib turns a string it cannot decode into nothing.
std::string ValidUtf8(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        const unsigned char c = s[i];
        size_t need = 0;
        unsigned char lo = 0x80, hi = 0xBF;  // the allowed range of the second byte
        if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            need = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            need = 2;
            if (c == 0xE0) lo = 0xA0;  // no overlong forms
            if (c == 0xED) hi = 0x9F;  // no surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            need = 3;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;  // nothing past U+10FFFF
        }
        size_t len = 1;
        while (need > 0 && len <= need && i + len < n) {
            const unsigned char b = s[i + len];
            if (len == 1 ? (b < lo || b > hi) : (b < 0x80 || b > 0xBF)) break;
            ++len;
        }
        if (need > 0 && len == need + 1) {
            out.append(text, i, len);
        } else {
            out += "\xEF\xBF\xBD";  // U+FFFD for the lead byte and what followed it validly
        }
        i += len;
    }
    return out;
}

TagLib::String Utf8(const std::string& text) { return TagLib::String(ValidUtf8(text), TagLib::String::UTF8); }

// Latin-1 where every character fits, else Unicode (UTF-16 in an ID3v2.3 tag).
TagLib::String::Type EncodingFor(const TagLib::String& text) {
    return text.isLatin1() ? TagLib::String::Latin1 : TagLib::String::UTF16;
}

TagLib::ID3v2::Frame* TextFrame(const char* id, const std::string& value) {
    const TagLib::String text = Utf8(value);
    auto* frame = new TagLib::ID3v2::TextIdentificationFrame(id, EncodingFor(text));
    frame->setText(text);
    return frame;
}

// A path's file name without its extension; paths are the system's bytes (UTF-8).
std::string StemOf(const std::string& path) {
    return std::filesystem::path(path).stem().string();
}

uint32_t Milliseconds(uint64_t frames, uint32_t rate) {
    if (rate == 0) return 0;
    const uint64_t ms = frames * 1000 / rate;
    return ms > 0xFFFFFFFEu ? 0xFFFFFFFEu : static_cast<uint32_t>(ms);
}

void PutSynchsafe(uint8_t* to, uint32_t value) {
    for (int i = 3; i >= 0; --i) {
        to[i] = static_cast<uint8_t>(value & 0x7F);
        value >>= 7;
    }
}

void PutHeader(uint8_t* header, uint32_t size) {
    std::memcpy(header, "ID3", 3);
    header[3] = 3;  // ID3v2.3
    header[4] = 0;
    header[5] = 0;  // no unsynchronisation, no extended header
    PutSynchsafe(header + 6, size - 10);
}

// The size of the largest picture frame in the ID3v2 tag at the start of `path`, from the
// frame headers alone: a huge picture is measured without being read. 0 when there is none.
uint64_t LargestPictureFrame(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return 0;
    uint64_t largest = 0;
    uint8_t h[10];
    if (std::fread(h, 1, 10, file) == 10 && std::memcmp(h, "ID3", 3) == 0 && h[3] >= 2 && h[3] <= 4) {
        const unsigned version = h[3];
        auto synchsafe = [](const uint8_t* b) {
            return (uint64_t(b[0] & 0x7F) << 21) | (uint64_t(b[1] & 0x7F) << 14) | (uint64_t(b[2] & 0x7F) << 7) |
                   uint64_t(b[3] & 0x7F);
        };
        auto plain = [](const uint8_t* b, int bytes) {
            uint64_t v = 0;
            for (int k = 0; k < bytes; ++k) v = (v << 8) | b[k];
            return v;
        };
        const uint64_t end = 10 + synchsafe(h + 6);
        uint64_t at = 10;
        uint8_t f[10];
        if (version >= 3 && (h[5] & 0x40) && std::fread(f, 1, 4, file) == 4)  // extended header
            at += version == 3 ? 4 + plain(f, 4) : synchsafe(f);
        const size_t headLength = version == 2 ? 6 : 10;
        while (at + headLength <= end && std::fseek(file, static_cast<long>(at), SEEK_SET) == 0 &&
               std::fread(f, 1, headLength, file) == headLength && f[0] != 0) {
            const uint64_t size = version == 2 ? plain(f + 3, 3) : version == 4 ? synchsafe(f + 4) : plain(f + 4, 4);
            const bool picture = version == 2 ? std::memcmp(f, "PIC", 3) == 0 : std::memcmp(f, "APIC", 4) == 0;
            if (picture) largest = std::max(largest, size);
            at += headLength + size;
        }
    }
    std::fclose(file);
    return largest;
}

enum class CoverFound { None, Carried, TooLarge };

// The picture to carry from one input's ID3v2 tag: the front cover, else the first one. A
// tag holding a picture frame over the limit (with room for its type, MIME type and
// description) is not loaded at all; the picture's own size is checked exactly after.
// The cover of a FLAC, Ogg or Opus file (its picture blocks) or of an MP4 file (its covr atom):
// the front cover, else the first picture.
CoverFound ReadOtherCover(const std::string& path, std::vector<uint8_t>& data, std::string& mime) {
    std::string extension = std::filesystem::path(path).extension().string();
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    auto take = [&](const TagLib::ByteVector& bytes, const std::string& type) {
        if (bytes.isEmpty()) return CoverFound::None;
        if (bytes.size() > kMaxCoverBytes) return CoverFound::TooLarge;
        data.assign(bytes.begin(), bytes.end());
        mime = type;
        return CoverFound::Carried;
    };
    auto fromPictures = [&](const TagLib::List<TagLib::FLAC::Picture*>& pictures) {
        const TagLib::FLAC::Picture* chosen = nullptr;
        for (const TagLib::FLAC::Picture* p : pictures) {
            if (p->data().isEmpty()) continue;
            if (!chosen || p->type() == TagLib::FLAC::Picture::FrontCover) chosen = p;
            if (p->type() == TagLib::FLAC::Picture::FrontCover) break;
        }
        return chosen ? take(chosen->data(), chosen->mimeType().to8Bit(true)) : CoverFound::None;
    };
    if (extension == ".flac") {
        TagLib::FLAC::File file(path.c_str(), false);
        return file.isValid() ? fromPictures(file.pictureList()) : CoverFound::None;
    }
    if (extension == ".ogg" || extension == ".oga") {
        TagLib::Ogg::Vorbis::File file(path.c_str(), false);
        return file.isValid() && file.tag() ? fromPictures(file.tag()->pictureList()) : CoverFound::None;
    }
    if (extension == ".opus") {
        TagLib::Ogg::Opus::File file(path.c_str(), false);
        return file.isValid() && file.tag() ? fromPictures(file.tag()->pictureList()) : CoverFound::None;
    }
    if (extension == ".m4a" || extension == ".m4b" || extension == ".mp4") {
        TagLib::MP4::File file(path.c_str(), false);
        if (!file.isValid() || !file.tag() || !file.tag()->contains("covr")) return CoverFound::None;
        for (const TagLib::MP4::CoverArt& art : file.tag()->item("covr").toCoverArtList())
            return take(art.data(), art.format() == TagLib::MP4::CoverArt::PNG ? "image/png" : "image/jpeg");
    }
    return CoverFound::None;
}

CoverFound ReadCover(const std::string& path, std::vector<uint8_t>& data, std::string& mime) {
    constexpr uint64_t kPictureFieldsRoom = 64 * 1024;
    if (!IsRegularFile(path)) return CoverFound::None;
    if (!IsMpegAudioFile(path)) return ReadOtherCover(path, data, mime);
    if (LargestPictureFrame(path) > kMaxCoverBytes + kPictureFieldsRoom) return CoverFound::TooLarge;
    TagLib::MPEG::File file(path.c_str(), false);
    if (!file.isValid() || !file.hasID3v2Tag()) return CoverFound::None;
    const TagLib::ID3v2::FrameList& pictures = file.ID3v2Tag()->frameListMap()["APIC"];
    const TagLib::ID3v2::AttachedPictureFrame* chosen = nullptr;
    for (TagLib::ID3v2::Frame* f : pictures) {
        auto* picture = dynamic_cast<TagLib::ID3v2::AttachedPictureFrame*>(f);
        if (!picture || picture->picture().isEmpty()) continue;
        if (!chosen) chosen = picture;
        if (picture->type() == TagLib::ID3v2::AttachedPictureFrame::FrontCover) {
            chosen = picture;
            break;
        }
    }
    if (!chosen) return CoverFound::None;
    if (chosen->picture().size() > kMaxCoverBytes) return CoverFound::TooLarge;
    const TagLib::ByteVector bytes = chosen->picture();
    data.assign(bytes.begin(), bytes.end());
    mime = chosen->mimeType().to8Bit(true);
    return CoverFound::Carried;
}

}  // namespace

std::string ValidUtf8Text(const std::string& text) { return ValidUtf8(text); }

std::string ChapterTitleOf(const CFileToBeJoin& file) {
    return ValidUtf8(file.tags.title.empty() ? StemOf(file.path) : file.tags.title);
}

std::vector<Chapter> PlanChapters(const std::vector<CFileToBeJoin>& files, const std::vector<uint64_t>& inputFrames,
                                  uint64_t outputFrames, int32_t mode) {
    std::vector<Chapter> chapters;
    if (mode != kChaptersPerFile && mode != kChaptersPerTitle) return chapters;
    uint64_t position = 0;
    std::string lastMergeTitle;  // the Title of the chapter open for merging, empty: none
    for (size_t i = 0; i < files.size() && i < inputFrames.size() && position < outputFrames; ++i) {
        const uint64_t frames = inputFrames[i];
        if (frames == 0) continue;  // nothing of it in the output: no chapter
        const uint64_t end = std::min(position + frames, outputFrames);
        const std::string& title = files[i].tags.title;
        if (mode == kChaptersPerTitle && !title.empty() && title == lastMergeTitle && !chapters.empty()) {
            chapters.back().endFrame = end;
        } else {
            chapters.push_back(Chapter{ChapterTitleOf(files[i]), position, end});
        }
        lastMergeTitle = title;
        position = end;
    }
    if (!chapters.empty()) chapters.back().endFrame = outputFrames;
    return chapters;
}

OutputTagContent GatherOutputTag(const std::vector<CFileToBeJoin>& files, const std::string& outputPath,
                                 const OutputTagRequest& request) {
    OutputTagContent c;
    c.tags = request.tags;
    if (!c.tags) return c;
    auto carryCover = [&](const CFileToBeJoin& f) {
        const CoverFound found = ReadCover(f.path, c.cover, c.coverMime);
        if (found == CoverFound::TooLarge) c.coverLeftOut = f.path;
        return found != CoverFound::None;
    };
    if (const BookPlan* plan = request.plan.get()) {
        // The plan is written as it stands: it was planned from these inputs and edited.
        c.title = plan->tags.title;
        c.artist = plan->tags.artist;
        c.albumArtist = plan->tags.albumArtist;
        c.album = plan->tags.album;
        c.year = plan->tags.year;
        c.genre = plan->tags.genre;
        c.comment = plan->tags.comment;
        c.track = plan->track;
        switch (plan->coverSource) {
        case CoverSource::Image:
            c.cover = plan->cover;
            c.coverMime = plan->coverMime;
            break;
        case CoverSource::Input:
            if (plan->coverInput < files.size()) carryCover(files[plan->coverInput]);
            break;
        case CoverSource::FirstInput:
            for (const CFileToBeJoin& f : files)
                if (carryCover(f)) break;
            break;
        case CoverSource::None: break;
        }
        return c;
    }
    auto first = [&](std::string InputTags::*field) {
        for (const CFileToBeJoin& f : files)
            if (!(f.tags.*field).empty()) return f.tags.*field;
        return std::string();
    };
    c.album = first(&InputTags::album);
    c.title = c.album.empty() ? StemOf(outputPath) : c.album;
    c.artist = first(&InputTags::artist);
    c.albumArtist = first(&InputTags::albumArtist);
    c.year = first(&InputTags::year);
    c.genre = first(&InputTags::genre);
    c.comment = first(&InputTags::comment);
    const TagOverrides* o = request.overrides.get();
    if (o && o->title) c.title = *o->title;
    if (o && o->artist) c.artist = *o->artist;
    if (o && o->album) c.album = *o->album;
    if (o && !o->cover.empty()) {
        c.cover = o->cover;
        c.coverMime = o->coverMime;
    } else {
        // The first input with a picture decides; a picture too large is left out, not
        // replaced by a later input's.
        for (const CFileToBeJoin& f : files)
            if (carryCover(f)) break;
    }
    return c;
}

std::vector<uint8_t> RenderTagFrames(const OutputTagContent& content) {
    TagLib::ID3v2::Tag tag;
    if (content.tags) {
        const std::pair<const char*, const std::string*> texts[] = {
            {"TIT2", &content.title}, {"TPE1", &content.artist}, {"TPE2", &content.albumArtist},
            {"TALB", &content.album}, {"TCON", &content.genre}, {"TRCK", &content.track}};
        for (const auto& [id, value] : texts)
            if (!value->empty()) tag.addFrame(TextFrame(id, *value));
        // The year as the inputs wrote it; ID3v2.3 keeps it in TYER, four digits.
        if (!content.year.empty()) tag.addFrame(TextFrame("TYER", content.year.substr(0, 4)));
        if (!content.comment.empty()) {
            const TagLib::String text = Utf8(content.comment);
            auto* comment = new TagLib::ID3v2::CommentsFrame(EncodingFor(text));
            comment->setLanguage("eng");
            comment->setText(text);
            tag.addFrame(comment);
        }
        if (content.lengthMs > 0) tag.addFrame(TextFrame("TLEN", std::to_string(content.lengthMs)));
        if (!content.cover.empty()) {
            auto* picture = new TagLib::ID3v2::AttachedPictureFrame;
            picture->setTextEncoding(TagLib::String::Latin1);
            picture->setMimeType(content.coverMime.empty() ? "image/jpeg" : content.coverMime);
            picture->setType(TagLib::ID3v2::AttachedPictureFrame::FrontCover);
            picture->setPicture(TagLib::ByteVector(reinterpret_cast<const char*>(content.cover.data()),
                                                   static_cast<unsigned>(content.cover.size())));
            tag.addFrame(picture);
        }
    }
    if (!content.chapters.empty()) {
        TagLib::ByteVectorList children;
        for (size_t i = 0; i < content.chapters.size(); ++i) {
            const Chapter& ch = content.chapters[i];
            const TagLib::ByteVector id(("chp" + std::to_string(i)).c_str());
            TagLib::ID3v2::FrameList embedded;
            embedded.append(TextFrame("TIT2", ch.title));
            tag.addFrame(new TagLib::ID3v2::ChapterFrame(id, Milliseconds(ch.startFrame, content.rate),
                                                         Milliseconds(ch.endFrame, content.rate), kNoOffset, kNoOffset,
                                                         embedded));
            children.append(id);
        }
        // A table lists at most 255 entries (TagLib writes the count as one byte and would
        // wrap it): longer lists go into ordered tables of 255, listed by the level above.
        auto table = [&](const TagLib::ByteVector& id, const TagLib::ByteVectorList& entries, bool topLevel) {
            auto* toc = new TagLib::ID3v2::TableOfContentsFrame(id, entries);
            toc->setIsTopLevel(topLevel);
            toc->setIsOrdered(true);
            tag.addFrame(toc);
        };
        int tables = 0;
        while (children.size() > kMaxTocEntries) {
            TagLib::ByteVectorList level, part;
            size_t placed = 0;
            for (const TagLib::ByteVector& child : children) {
                part.append(child);
                ++placed;
                if (part.size() == kMaxTocEntries || placed == children.size()) {
                    const TagLib::ByteVector id(("toc" + std::to_string(++tables)).c_str());
                    table(id, part, false);
                    level.append(id);
                    part.clear();
                }
            }
            children = level;
        }
        table("toc", children, true);
    }
    const TagLib::ByteVector rendered = tag.render(TagLib::ID3v2::v3);
    // Walk the frames to where the padding TagLib adds begins (ID3v2.3 frame sizes are plain
    // 32-bit numbers after a 4-byte id; no frame id starts with a zero byte).
    const auto* bytes = reinterpret_cast<const uint8_t*>(rendered.data());
    size_t at = 10;
    while (at + 10 <= rendered.size() && bytes[at] != 0) {
        const uint32_t size = (uint32_t(bytes[at + 4]) << 24) | (uint32_t(bytes[at + 5]) << 16) |
                              (uint32_t(bytes[at + 6]) << 8) | uint32_t(bytes[at + 7]);
        if (at + 10 + size > rendered.size()) break;
        at += 10 + size;
    }
    return rendered.size() >= 10 ? std::vector<uint8_t>(bytes + 10, bytes + at) : std::vector<uint8_t>();
}

bool WriteTagPlaceholder(std::FILE* file, uint32_t size) {
    if (size < 11 || size - 10 >= (1u << 28)) return false;  // the synchsafe size holds 28 bits
    std::vector<uint8_t> tag(size, 0);
    PutHeader(tag.data(), size);
    return std::fwrite(tag.data(), 1, tag.size(), file) == tag.size();
}

bool FillReservedTag(const std::string& path, const std::vector<uint8_t>& frames, uint32_t size) {
    // At least one byte of padding stays, so the frames never run into the audio.
    if (size < 11 || frames.size() + 10 >= size) return false;
    std::FILE* file = std::fopen(path.c_str(), "r+b");
    if (!file) return false;
    uint8_t found[10] = {};
    uint8_t expected[10] = {};
    PutHeader(expected, size);
    bool ok = std::fread(found, 1, sizeof found, file) == sizeof found && std::memcmp(found, expected, 10) == 0;
    if (ok) {
        std::vector<uint8_t> tag(size, 0);
        std::memcpy(tag.data(), expected, 10);
        std::copy(frames.begin(), frames.end(), tag.begin() + 10);
        ok = std::fseek(file, 0, SEEK_SET) == 0 && std::fwrite(tag.data(), 1, tag.size(), file) == tag.size();
    }
    if (std::fclose(file) != 0) ok = false;
    return ok;
}

namespace {

// The chapters a task writes: its plan's, else those of its chapter mode.
std::vector<Chapter> TaskChapters(const CConversionTask& task, const std::vector<uint64_t>& inputFrames,
                                  uint64_t outputFrames, size_t* dropped = nullptr) {
    if (dropped) *dropped = 0;
    if (!task.tagRequest->plan) return PlanChapters(*task.files, inputFrames, outputFrames, task.tagRequest->chapters);
    std::vector<Chapter> chapters;
    for (PlannedChapter& p : ResolveChapters(*task.tagRequest->plan, inputFrames, outputFrames, task.outputRate, dropped))
        chapters.push_back(std::move(p.chapter));
    return chapters;
}

int32_t TaskChapterMode(const OutputTagRequest& request) {
    return request.plan ? request.plan->chapterSource : request.chapters;
}

}  // namespace

void PrepareOutputTag(CConversionTask& task) {
    task.tagReserve = 0;
    task.tagContent.reset();
    if (!task.tagRequest || !task.files) return;
    const OutputTagRequest& request = *task.tagRequest;
    if (!request.tags && TaskChapterMode(request) == kChaptersNone) return;
    auto content = std::make_shared<OutputTagContent>(GatherOutputTag(*task.files, task.outputPath, request));
    content->rate = task.outputRate;
    // An M4B's tags and chapters go into its index, which the muxer writes at the end: no room
    // is reserved before the audio.
    if (task.outputKind == kOutputKindM4b) {
        task.tagContent = content;
        return;
    }
    // The room is planned from the list's lengths with every input counted as giving audio:
    // the chapters at the end are never more, and their frames have the same sizes.
    OutputTagContent planned = *content;
    std::vector<uint64_t> frames;
    uint64_t total = 0;
    for (const CFileToBeJoin& f : *task.files) {
        const uint64_t perChannel = f.channels ? f.totalSamples / f.channels : 0;
        const uint64_t atOutput = f.sampleRate ? perChannel * task.outputRate / f.sampleRate : perChannel;
        frames.push_back(std::max<uint64_t>(atOutput, 1));
        total += frames.back();
    }
    if (const BookPlan* plan = request.plan.get()) {
        // Every mark may become a chapter, wherever the join puts it: the room holds them all
        // (a chapter frame's size does not depend on its times).
        planned.chapters.clear();
        if (plan->chapterSource != kChaptersNone) {
            for (const ChapterMark& m : plan->outputMarks) planned.chapters.push_back(Chapter{m.title, 0, 0});
            if (plan->chapterSource != kChaptersFromFile)
                for (const std::vector<ChapterMark>& marks : plan->inputMarks)
                    for (const ChapterMark& m : marks) planned.chapters.push_back(Chapter{m.title, 0, 0});
        }
    } else {
        planned.chapters = TaskChapters(task, frames, total);
    }
    planned.lengthMs = Milliseconds(total, task.outputRate);
    task.tagContent = content;
    task.tagReserve = static_cast<uint32_t>(10 + RenderTagFrames(planned).size() + kTagSlack);
}

std::vector<Chapter> FinalChapters(const JoinRunState& run, const CConversionTask& task, size_t* dropped) {
    if (dropped) *dropped = 0;
    if (!task.tagRequest || !task.files || TaskChapterMode(*task.tagRequest) == kChaptersNone) return {};
    // The encoder counted what it was fed: the output's length, whether it ran to the end or
    // was stopped.
    const uint32_t channels = task.outputChannels ? task.outputChannels : 1;
    const uint64_t outputFrames = run.taskSamplesDone.load() / channels;
    std::vector<uint64_t> inputFrames;
    for (const AtomicValue<uint64_t>& n : task.inputSamples) inputFrames.push_back(n.load() / channels);
    return TaskChapters(task, inputFrames, outputFrames, dropped);
}

void ReportOutputTag(JoinEngine& engine, const CConversionTask& task, const OutputTagContent& content, size_t dropped) {
    if (content.tags && !content.coverLeftOut.empty())
        PostJoinMessage(engine, FormatText("Cover of %s is larger than 16 MiB: left out.", content.coverLeftOut.c_str()),
                        kMessageInfo);
    // Marks past the end: a chapters file longer than the joined output, or a join stopped
    // early.
    if (dropped > 0)
        PostJoinMessage(engine, FormatText("%zu chapter(s) start past the end of the output: left out.", dropped),
                        kMessageInfo);
    const int count = static_cast<int>(content.chapters.size());
    if (content.tags && TaskChapterMode(*task.tagRequest) != kChaptersNone)
        PostJoinMessage(engine, FormatText("Wrote tags and %d chapters.", count), kMessageInfo);
    else if (content.tags)
        PostJoinMessage(engine, "Wrote tags.", kMessageInfo);
    else
        PostJoinMessage(engine, FormatText("Wrote %d chapters.", count), kMessageInfo);
}

void FinishOutputTag(JoinEngine& engine, const JoinRunState& run, CConversionTask& task) {
    if (task.tagReserve == 0 || !task.tagContent || !task.tagRequest || !task.files) return;
    const uint32_t channels = task.outputChannels ? task.outputChannels : 1;
    const uint64_t outputFrames = run.taskSamplesDone.load() / channels;
    OutputTagContent content = *task.tagContent;
    size_t dropped = 0;
    content.chapters = FinalChapters(run, task, &dropped);
    content.lengthMs = Milliseconds(outputFrames, task.outputRate);
    if (!FillReservedTag(task.outputPath, RenderTagFrames(content), task.tagReserve)) {
        PostJoinMessage(engine, FormatText("Could not write the tags of %s.", task.outputPath.c_str()), kMessageError);
        return;
    }
    ReportOutputTag(engine, task, content, dropped);
}

bool ReadChapters(const std::string& path, std::vector<ChapterEntry>& chapters) {
    chapters.clear();
    if (!IsRegularFile(path)) return false;
    TagLib::MPEG::File file(path.c_str(), false);
    if (!file.isValid()) return false;
    if (!file.hasID3v2Tag()) return true;
    TagLib::ID3v2::Tag* tag = file.ID3v2Tag();
    std::map<std::string, ChapterEntry> byId;
    std::vector<std::string> startOrder;
    for (TagLib::ID3v2::Frame* f : tag->frameListMap()["CHAP"]) {
        auto* chap = dynamic_cast<TagLib::ID3v2::ChapterFrame*>(f);
        if (!chap) continue;
        ChapterEntry e{chap->startTime(), chap->endTime(), {}};
        const TagLib::ID3v2::FrameList& titles = chap->embeddedFrameList("TIT2");
        if (!titles.isEmpty()) e.title = titles.front()->toString().to8Bit(true);
        const std::string id(chap->elementID().data(), chap->elementID().size());
        if (byId.emplace(id, e).second) startOrder.push_back(id);
    }
    // The top-level table of contents gives the order, depth first through the tables it
    // lists; each table is followed once, so a table that lists itself ends the walk there.
    std::map<std::string, const TagLib::ID3v2::TableOfContentsFrame*> tables;
    const TagLib::ID3v2::TableOfContentsFrame* top = nullptr;
    for (TagLib::ID3v2::Frame* f : tag->frameListMap()["CTOC"]) {
        auto* toc = dynamic_cast<TagLib::ID3v2::TableOfContentsFrame*>(f);
        if (!toc) continue;
        tables.emplace(std::string(toc->elementID().data(), toc->elementID().size()), toc);
        if (!top && toc->isTopLevel()) top = toc;
    }
    auto entriesOf = [](const TagLib::ID3v2::TableOfContentsFrame* toc) {
        std::vector<std::string> ids;
        for (const TagLib::ByteVector& child : toc->childElements()) ids.emplace_back(child.data(), child.size());
        return ids;
    };
    std::vector<std::string> order;
    std::set<std::string> listed, followed;
    std::vector<std::pair<std::vector<std::string>, size_t>> stack;  // a table's entries, the next one
    if (top) {
        followed.insert(std::string(top->elementID().data(), top->elementID().size()));
        stack.emplace_back(entriesOf(top), 0);
    }
    while (!stack.empty()) {
        auto& [entries, next] = stack.back();
        if (next >= entries.size()) {
            stack.pop_back();
            continue;
        }
        const std::string id = entries[next++];
        if (byId.count(id)) {
            if (listed.insert(id).second) order.push_back(id);
        } else if (const auto t = tables.find(id); t != tables.end() && followed.insert(id).second) {
            stack.emplace_back(entriesOf(t->second), 0);
        }
    }
    std::stable_sort(startOrder.begin(), startOrder.end(),
                     [&](const std::string& a, const std::string& b) { return byId[a].startMs < byId[b].startMs; });
    for (const std::string& id : startOrder)
        if (listed.insert(id).second) order.push_back(id);
    for (const std::string& id : order) chapters.push_back(byId[id]);
    return true;
}

}  // namespace velmora
