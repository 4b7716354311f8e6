#include "engine/book_plan.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "engine/audio_source.h"
#include "engine/join_sink.h"
#include "engine/join_task.h"
#include "engine/media_file.h"

namespace velmora {

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::string Trim(const std::string& s) {
    size_t a = 0, b = s.size();
    while (a < b && (IsSpace(s[a]) || s[a] == '\r' || s[a] == '\n')) ++a;
    while (b > a && (IsSpace(s[b - 1]) || s[b - 1] == '\r' || s[b - 1] == '\n')) --b;
    return s.substr(a, b - a);
}

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// "01 - Intro", "01. Intro", "01_Intro", "(01) Intro" and "01 Intro" lose the track number; a
// name that is only a number ("1984") or does not start with one ("Part 10") stays.
std::string WithoutTrackNumber(const std::string& name) {
    size_t i = 0;
    while (i < name.size() && IsDigit(name[i])) ++i;
    if (i == 0 || i == name.size()) return name;
    size_t j = i;
    while (j < name.size() && (IsSpace(name[j]) || name[j] == '-' || name[j] == '.' || name[j] == '_' ||
                               name[j] == ')' || name[j] == ':'))
        ++j;
    if (j == i || j == name.size()) return name;
    return name.substr(j);
}

// The tags a join carries: each from the first input that has one.
std::string FirstOf(const std::vector<CFileToBeJoin>& files, std::string InputTags::*field) {
    for (const CFileToBeJoin& f : files)
        if (!(f.tags.*field).empty()) return f.tags.*field;
    return {};
}

// "H:MM:SS.mmm" (hours of any length, the fraction optional, 1 to 3 digits) into ms.
bool ParseClock(const std::string& text, uint64_t& ms) {
    size_t i = 0;
    uint64_t hours = 0;
    const size_t start = i;
    while (i < text.size() && IsDigit(text[i]) && i - start < 6) hours = hours * 10 + uint64_t(text[i++] - '0');
    if (i == start || i >= text.size() || text[i] != ':') return false;
    auto twoDigits = [&](uint64_t& v) {
        if (i + 2 > text.size() || !IsDigit(text[i]) || !IsDigit(text[i + 1])) return false;
        v = uint64_t(text[i] - '0') * 10 + uint64_t(text[i + 1] - '0');
        i += 2;
        return v < 60;
    };
    uint64_t minutes = 0, seconds = 0, fraction = 0;
    ++i;
    if (!twoDigits(minutes) || i >= text.size() || text[i] != ':') return false;
    ++i;
    if (!twoDigits(seconds)) return false;
    if (i < text.size() && (text[i] == '.' || text[i] == ',')) {
        ++i;
        int digits = 0;
        while (i < text.size() && IsDigit(text[i]) && digits < 3) fraction = fraction * 10 + uint64_t(text[i++] - '0'), ++digits;
        if (digits == 0) return false;
        while (digits++ < 3) fraction *= 10;
    }
    if (i != text.size()) return false;
    ms = ((hours * 60 + minutes) * 60 + seconds) * 1000 + fraction;
    return true;
}

// A cue sheet's "mm:ss:ff", 75 frames a second.
bool ParseCueTime(const std::string& text, uint64_t& ms) {
    unsigned long m = 0, s = 0, f = 0;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%lu:%lu:%lu%c", &m, &s, &f, &tail) != 3 || s >= 60 || f >= 75) return false;
    ms = (uint64_t(m) * 60 + s) * 1000 + uint64_t(f) * 1000 / 75;
    return true;
}

// A cue sheet's quoted (or bare) value after its keyword.
std::string CueValue(const std::string& rest) {
    const std::string t = Trim(rest);
    if (t.size() >= 2 && t.front() == '"') {
        const size_t close = t.find('"', 1);
        return t.substr(1, close == std::string::npos ? std::string::npos : close - 1);
    }
    return t;
}

bool LooksLikeCue(const std::vector<std::string>& lines) {
    for (const std::string& raw : lines) {
        const std::string line = Upper(Trim(raw));
        if (line.rfind("TRACK ", 0) == 0 || line.rfind("FILE ", 0) == 0 || line.rfind("INDEX ", 0) == 0) return true;
    }
    return false;
}

std::string LineError(const std::string& path, size_t line, const char* what) {
    return FormatText("%s line %zu: %s", path.c_str(), line, what);
}

bool ParseChaptersText(const std::string& path, const std::vector<std::string>& lines, std::vector<ChapterMark>& marks,
                       std::string& error) {
    for (size_t n = 0; n < lines.size(); ++n) {
        const std::string line = Trim(lines[n]);
        if (line.empty()) continue;
        size_t gap = 0;
        while (gap < line.size() && !IsSpace(line[gap])) ++gap;
        ChapterMark m;
        m.title = Trim(line.substr(gap));
        if (!ParseClock(line.substr(0, gap), m.startMs) || m.title.empty()) {
            error = LineError(path, n + 1, "not a chapter line (\"HH:MM:SS.mmm Title\").");
            return false;
        }
        if (!marks.empty() && m.startMs <= marks.back().startMs) {
            error = LineError(path, n + 1, "its time does not come after the one before.");
            return false;
        }
        marks.push_back(std::move(m));
    }
    return true;
}

bool ParseCueSheet(const std::string& path, const std::vector<std::string>& lines, std::vector<ChapterMark>& marks,
                   std::string& error) {
    struct Track {
        size_t line = 0;
        std::string number;
        std::string title;
        bool indexed = false;
        uint64_t startMs = 0;
    };
    std::vector<Track> tracks;
    for (size_t n = 0; n < lines.size(); ++n) {
        const std::string line = Trim(lines[n]);
        if (line.empty()) continue;
        size_t gap = 0;
        while (gap < line.size() && !IsSpace(line[gap])) ++gap;
        const std::string keyword = Upper(line.substr(0, gap));
        const std::string rest = Trim(line.substr(gap));
        if (keyword == "TRACK") {
            std::istringstream words(rest);
            Track t;
            t.line = n + 1;
            if (!(words >> t.number) || t.number.empty() || !std::all_of(t.number.begin(), t.number.end(), IsDigit)) {
                error = LineError(path, n + 1, "a TRACK without its number.");
                return false;
            }
            tracks.push_back(std::move(t));
        } else if (keyword == "TITLE") {
            if (!tracks.empty()) tracks.back().title = CueValue(rest);  // before any track: the album's
        } else if (keyword == "INDEX") {
            std::istringstream words(rest);
            std::string number, time;
            if (!(words >> number >> time) || tracks.empty()) {
                error = LineError(path, n + 1, "not an INDEX of a track (\"INDEX 01 mm:ss:ff\").");
                return false;
            }
            if (number != "01" && number != "1") continue;  // index 00 is the pregap
            if (!ParseCueTime(time, tracks.back().startMs)) {
                error = LineError(path, n + 1, "not a time mm:ss:ff (75 frames a second).");
                return false;
            }
            tracks.back().indexed = true;
        }
        // REM, FILE, PERFORMER, FLAGS and the rest say nothing about where chapters start.
    }
    for (const Track& t : tracks) {
        if (!t.indexed) {
            error = LineError(path, t.line, "a TRACK without INDEX 01.");
            return false;
        }
        if (!marks.empty() && t.startMs <= marks.back().startMs) {
            error = LineError(path, t.line, "its time does not come after the one before.");
            return false;
        }
        marks.push_back(ChapterMark{t.startMs, t.title.empty() ? "Track " + t.number : t.title});
    }
    return true;
}

// Each input's length in milliseconds, as the list measured it.
std::vector<uint64_t> ListedMilliseconds(const std::vector<CFileToBeJoin>& files) {
    std::vector<uint64_t> ms;
    for (const CFileToBeJoin& f : files) {
        const uint64_t frames = f.channels ? f.totalSamples / f.channels : 0;
        ms.push_back(f.sampleRate ? frames * 1000 / f.sampleRate : 0);
    }
    return ms;
}

}  // namespace

std::string DefaultChapterTitle(const CFileToBeJoin& file) {
    const std::string title = ChapterTitleOf(file);
    return file.tags.title.empty() ? WithoutTrackNumber(title) : title;
}

bool ReadChaptersFile(const std::string& path, std::vector<ChapterMark>& marks, std::string& error) {
    constexpr uint64_t kMaxBytes = 4 << 20;  // far more than any list of chapters
    if (!IsRegularFile(path)) {
        error = FormatText("%s cannot be read.", path.c_str());
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) {
        error = FormatText("%s cannot be read.", path.c_str());
        return false;
    }
    if (text.size() > kMaxBytes) {
        error = FormatText("%s is too large for a chapters file.", path.c_str());
        return false;
    }
    if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
    std::vector<std::string> lines;
    std::istringstream split(text);
    for (std::string line; std::getline(split, line);) lines.push_back(line);
    std::vector<ChapterMark> read;
    const bool ok = LooksLikeCue(lines) ? ParseCueSheet(path, lines, read, error) : ParseChaptersText(path, lines, read, error);
    if (!ok) return false;
    if (read.empty()) {
        error = FormatText("%s holds no chapters.", path.c_str());
        return false;
    }
    marks = std::move(read);
    return true;
}

bool PlanBookChapters(const std::vector<CFileToBeJoin>& files, int32_t source, const std::string& chaptersFile,
                      BookPlan& plan, std::string& error) {
    std::vector<std::vector<ChapterMark>> inputMarks(files.size());
    std::vector<ChapterMark> outputMarks;
    switch (source) {
    case kChaptersNone: break;
    case kChaptersFromFile:
        if (!ReadChaptersFile(chaptersFile, outputMarks, error)) return false;
        break;
    case kChaptersPerTitle: {
        // A run of inputs with one (non-empty) title is one chapter.
        const std::string* last = nullptr;
        for (size_t i = 0; i < files.size(); ++i) {
            const std::string& title = files[i].tags.title;
            if (!(last && !title.empty() && title == *last)) inputMarks[i].push_back({0, DefaultChapterTitle(files[i])});
            last = &title;
        }
        break;
    }
    case kChaptersKeep:
        for (size_t i = 0; i < files.size(); ++i) {
            // MPEG audio keeps its ID3v2 chapters; the other formats their container's (an MP4
            // chapter track, CHAPTERnn comments), as FFmpeg reads them.
            std::vector<ChapterEntry> own;
            std::string unreadable;
            const bool read = HasMpegAudioExtension(files[i].path) ? ReadChapters(files[i].path, own)
                                                                  : ReadAudioChapters(files[i].path, own, unreadable);
            if (read && !own.empty()) {
                std::stable_sort(own.begin(), own.end(),
                                 [](const ChapterEntry& a, const ChapterEntry& b) { return a.startMs < b.startMs; });
                for (const ChapterEntry& e : own)
                    inputMarks[i].push_back({e.startMs, e.title.empty() ? DefaultChapterTitle(files[i]) : e.title});
                // The input's start opens its first chapter: a lead-in before the first mark
                // belongs to the input, not to the chapter of the input before.
                inputMarks[i].front().startMs = 0;
            } else {
                inputMarks[i].push_back({0, DefaultChapterTitle(files[i])});
            }
        }
        break;
    default:  // a chapter per file
        source = kChaptersPerFile;
        for (size_t i = 0; i < files.size(); ++i) inputMarks[i].push_back({0, DefaultChapterTitle(files[i])});
        break;
    }
    plan.chapterSource = source;
    plan.inputMarks = std::move(inputMarks);
    plan.outputMarks = std::move(outputMarks);
    return true;
}

bool PlanBook(const std::vector<CFileToBeJoin>& files, const std::string& outputPath, int32_t source,
              const std::string& chaptersFile, BookPlan& plan, std::string& error) {
    BookPlan p;
    if (!PlanBookChapters(files, source, chaptersFile, p, error)) return false;
    for (std::string InputTags::*field : {&InputTags::artist, &InputTags::albumArtist, &InputTags::album,
                                          &InputTags::year, &InputTags::genre, &InputTags::comment})
        p.tags.*field = FirstOf(files, field);
    p.tags.title = p.tags.album.empty() ? std::filesystem::path(outputPath).stem().string() : p.tags.album;
    plan = std::move(p);
    return true;
}

std::vector<PlannedChapter> ResolveChapters(const BookPlan& plan, const std::vector<uint64_t>& inputFrames,
                                            uint64_t outputFrames, uint32_t rate, size_t* dropped) {
    std::vector<PlannedChapter> rows;
    size_t past = 0;
    auto frameOf = [rate](uint64_t ms) { return ms * rate / 1000; };
    auto add = [&](uint64_t at, const ChapterMark& m, int input, size_t mark) {
        if (at >= outputFrames) {
            ++past;
            return;
        }
        // Two chapters cannot start at one place: the first keeps it.
        if (!rows.empty() && rows.back().chapter.startFrame >= at) return;
        rows.push_back(PlannedChapter{Chapter{m.title, at, at}, input, mark});
    };
    if (plan.chapterSource == kChaptersFromFile) {
        for (size_t k = 0; k < plan.outputMarks.size(); ++k) add(frameOf(plan.outputMarks[k].startMs), plan.outputMarks[k], -1, k);
    } else if (plan.chapterSource != kChaptersNone) {
        uint64_t position = 0;
        for (size_t i = 0; i < inputFrames.size() && i < plan.inputMarks.size(); ++i) {
            const uint64_t frames = inputFrames[i];
            if (frames == 0) continue;  // nothing of it in the output: none of its chapters
            const std::vector<ChapterMark>& marks = plan.inputMarks[i];
            for (size_t k = 0; k < marks.size(); ++k) {
                const uint64_t offset = frameOf(marks[k].startMs);
                if (offset >= frames) {
                    ++past;
                    continue;
                }
                add(position + offset, marks[k], static_cast<int>(i), k);
            }
            position += frames;
        }
    }
    for (size_t k = 0; k < rows.size(); ++k)
        rows[k].chapter.endFrame = k + 1 < rows.size() ? rows[k + 1].chapter.startFrame : outputFrames;
    if (dropped) *dropped = past;
    return rows;
}

std::vector<PlannedChapter> PreviewChapters(const BookPlan& plan, const std::vector<CFileToBeJoin>& files) {
    // Inputs of one rate are counted in sample frames, as the join counts them, so that the
    // times shown are the ones it writes; mixed rates in milliseconds. Inputs the list could
    // not measure still hold a place for their chapters.
    const uint32_t rate = files.empty() ? 0 : files.front().sampleRate;
    const bool oneRate = rate > 0 && std::all_of(files.begin(), files.end(), [&](const CFileToBeJoin& f) {
                             return f.sampleRate == rate && f.channels > 0;
                         });
    std::vector<uint64_t> lengths = oneRate ? std::vector<uint64_t>() : ListedMilliseconds(files);
    if (oneRate)
        for (const CFileToBeJoin& f : files) lengths.push_back(f.totalSamples / f.channels);
    uint64_t total = 0;
    for (uint64_t& n : lengths) total += (n = std::max<uint64_t>(n, 1));
    const uint32_t unit = oneRate ? rate : 1000;
    std::vector<PlannedChapter> rows = ResolveChapters(plan, lengths, total, unit);
    for (PlannedChapter& r : rows) {
        r.chapter.startFrame = r.chapter.startFrame * 1000 / unit;
        r.chapter.endFrame = r.chapter.endFrame * 1000 / unit;
    }
    return rows;
}

std::string FileNameFromTitle(const std::string& title) {
    std::string name;
    for (const char c : ValidUtf8Text(title)) {
        const auto u = static_cast<unsigned char>(c);
        const bool bad = u < 0x20 || u == 0x7f || c == '/' || c == '\\' || c == ':' || c == '*' || c == '?' ||
                         c == '"' || c == '<' || c == '>' || c == '|';
        name.push_back(bad ? '_' : c);
    }
    // A long title is cut at a character's start.
    constexpr size_t kMaxBytes = 200;
    if (name.size() > kMaxBytes) {
        size_t cut = kMaxBytes;
        while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
        name.resize(cut);
    }
    // A name ending in a dot or space is lost on other systems, and one made of dots is no name.
    const size_t first = name.find_first_not_of(" .");
    if (first == std::string::npos) return {};
    const size_t last = name.find_last_not_of(" .");
    return name.substr(first, last - first + 1);
}

int SplitPoint(const BookPlan& plan, const std::vector<CFileToBeJoin>& files, size_t row) {
    if (plan.chapterSource == kChaptersFromFile || plan.chapterSource == kChaptersNone) return -1;
    const std::vector<PlannedChapter> rows = PreviewChapters(plan, files);
    if (row >= rows.size()) return -1;
    const std::vector<uint64_t> ms = ListedMilliseconds(files);
    uint64_t start = 0;
    for (size_t i = 0; i < files.size(); ++i) {
        if (start > rows[row].chapter.startFrame && start < rows[row].chapter.endFrame) return static_cast<int>(i);
        start += std::max<uint64_t>(ms[i], 1);
    }
    return -1;
}

bool MergeWithNext(BookPlan& plan, const std::vector<CFileToBeJoin>& files, size_t row) {
    const std::vector<PlannedChapter> rows = PreviewChapters(plan, files);
    if (row + 1 >= rows.size()) return false;
    const PlannedChapter& next = rows[row + 1];
    if (next.input < 0) {
        plan.outputMarks.erase(plan.outputMarks.begin() + static_cast<long>(next.mark));
    } else {
        std::vector<ChapterMark>& marks = plan.inputMarks[static_cast<size_t>(next.input)];
        marks.erase(marks.begin() + static_cast<long>(next.mark));
    }
    return true;
}

bool SplitAtInput(BookPlan& plan, const std::vector<CFileToBeJoin>& files, size_t input) {
    if (plan.chapterSource == kChaptersFromFile || plan.chapterSource == kChaptersNone) return false;
    if (input >= files.size()) return false;
    plan.inputMarks.resize(files.size());
    std::vector<ChapterMark>& marks = plan.inputMarks[input];
    if (!marks.empty() && marks.front().startMs == 0) return false;
    marks.insert(marks.begin(), ChapterMark{0, DefaultChapterTitle(files[input])});
    return true;
}

bool SetChapterTitle(BookPlan& plan, const std::vector<CFileToBeJoin>& files, size_t row, const std::string& title) {
    const std::vector<PlannedChapter> rows = PreviewChapters(plan, files);
    if (row >= rows.size()) return false;
    const PlannedChapter& r = rows[row];
    ChapterMark& m = r.input < 0 ? plan.outputMarks[r.mark] : plan.inputMarks[static_cast<size_t>(r.input)][r.mark];
    m.title = title;
    return true;
}

}  // namespace velmora
