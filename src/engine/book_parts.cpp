#include "engine/book_parts.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "engine/join_sink.h"
#include "engine/output_tag.h"

namespace velmora {

namespace {

uint64_t ListedMs(const CFileToBeJoin& f) {
    const uint64_t frames = f.channels ? f.totalSamples / f.channels : 0;
    return f.sampleRate ? frames * 1000 / f.sampleRate : 0;
}

// Chapters from a chapters file are times of the output; one that starts this close to an
// input's start (as the list measured it) starts with that input.
constexpr uint64_t kOutputMarkSlackMs = 50;

uint64_t Distance(uint64_t a, uint64_t b) { return a > b ? a - b : b - a; }

}  // namespace

std::vector<BookPart> PlanParts(const BookPlan& plan, const std::vector<CFileToBeJoin>& files, uint64_t maxMs) {
    std::vector<uint64_t> starts;  // of each input in the book, and the book's end
    uint64_t at = 0;
    for (const CFileToBeJoin& f : files) {
        starts.push_back(at);
        at += ListedMs(f);
    }
    starts.push_back(at);

    // Where a part may begin: at an input a chapter starts with (with no chapters, any input).
    std::vector<bool> cut(files.size(), plan.chapterSource == kChaptersNone);
    std::vector<std::string> title(files.size());
    if (plan.chapterSource == kChaptersFromFile) {
        for (const ChapterMark& m : plan.outputMarks)
            for (size_t i = 0; i < files.size(); ++i)
                if (Distance(m.startMs, starts[i]) <= kOutputMarkSlackMs && !cut[i]) {
                    cut[i] = true;
                    title[i] = m.title;
                }
    } else if (plan.chapterSource != kChaptersNone) {
        for (size_t i = 0; i < files.size() && i < plan.inputMarks.size(); ++i)
            if (!plan.inputMarks[i].empty() && plan.inputMarks[i].front().startMs == 0) {
                cut[i] = true;
                title[i] = plan.inputMarks[i].front().title;
            }
    }
    if (!files.empty()) cut[0] = true;
    if (title.size() && title[0].empty()) title[0] = DefaultChapterTitle(files[0]);

    // The stretches between cut points cannot be divided; parts take them whole, greedily.
    std::vector<BookPart> parts;
    for (size_t i = 0; i < files.size();) {
        size_t end = i + 1;
        while (end < files.size() && !cut[end]) ++end;
        const uint64_t length = starts[end] - starts[i];
        BookPart* open = parts.empty() ? nullptr : &parts.back();
        const bool fits = open && !open->overLimit && (maxMs == 0 || open->lengthMs + length <= maxMs);
        if (fits) {
            open->endInput = end;
            open->lengthMs += length;
        } else {
            BookPart part;
            part.firstInput = i;
            part.endInput = end;
            part.startMs = starts[i];
            part.lengthMs = length;
            if (maxMs > 0 && length > maxMs) {
                part.overLimit = true;
                part.longChapter = title[i];
            }
            parts.push_back(part);
        }
        // A stretch over the limit stays alone: nothing is added after it either.
        i = end;
    }
    return parts;
}

BookPlan PartPlan(const BookPlan& book, const std::vector<BookPart>& parts, size_t index,
                  const std::vector<uint8_t>& cover, const std::string& coverMime) {
    const BookPart& part = parts[index];
    BookPlan plan;
    plan.tags = book.tags;
    plan.track = std::to_string(index + 1) + "/" + std::to_string(parts.size());
    if (cover.empty()) {
        plan.coverSource = CoverSource::None;
    } else {
        plan.coverSource = CoverSource::Image;
        plan.cover = cover;
        plan.coverMime = coverMime;
    }
    plan.chapterSource = book.chapterSource;
    for (size_t i = part.firstInput; i < part.endInput && i < book.inputMarks.size(); ++i)
        plan.inputMarks.push_back(book.inputMarks[i]);
    const uint64_t end = part.startMs + part.lengthMs;
    const bool last = index + 1 == parts.size();
    for (const ChapterMark& m : book.outputMarks) {
        // A mark near the cut belongs to the part it starts (it was the reason for the cut).
        const uint64_t from = part.startMs > kOutputMarkSlackMs ? part.startMs - kOutputMarkSlackMs : 0;
        const uint64_t to = end > kOutputMarkSlackMs ? end - kOutputMarkSlackMs : 0;
        if (m.startMs < from || (!last && m.startMs >= to)) continue;
        plan.outputMarks.push_back(ChapterMark{m.startMs > part.startMs ? m.startMs - part.startMs : 0, m.title});
    }
    return plan;
}

std::string PartOutputPath(const std::string& bookOutput, size_t number) {
    const size_t slash = bookOutput.find_last_of('/');
    const size_t dot = bookOutput.find_last_of('.');
    const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    const std::string stem = hasExtension ? bookOutput.substr(0, dot) : bookOutput;
    return stem + " (Part " + std::to_string(number) + ")" + (hasExtension ? bookOutput.substr(dot) : "");
}

bool ParseMaxLength(const std::string& text, uint64_t& ms) {
    if (text.empty()) return false;
    uint64_t total = 0;
    size_t i = 0;
    bool any = false;
    while (i < text.size()) {
        uint64_t value = 0;
        size_t digits = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && digits < 9) {
            value = value * 10 + uint64_t(text[i++] - '0');
            ++digits;
        }
        if (digits == 0) return false;
        uint64_t unit = 60000;  // a bare number is minutes
        if (i < text.size()) {
            switch (text[i++]) {
            case 'h': unit = 3600000; break;
            case 'm': unit = 60000; break;
            case 's': unit = 1000; break;
            default: return false;
            }
        } else if (any) {
            return false;  // "1h30" is not clear: minutes or seconds?
        }
        total += value * unit;
        any = true;
    }
    if (total > uint64_t(1000) * 3600000) return false;
    ms = total;
    return true;
}

std::string ClockText(uint64_t ms) {
    const uint64_t s = ms / 1000;
    char text[32];
    std::snprintf(text, sizeof text, "%llu:%02llu:%02llu", static_cast<unsigned long long>(s / 3600),
                  static_cast<unsigned long long>(s / 60 % 60), static_cast<unsigned long long>(s % 60));
    return text;
}

std::string PlayerClockText(uint64_t ms) {
    if (ms >= 3600 * 1000) return ClockText(ms);
    const uint64_t s = ms / 1000;
    char text[16];
    std::snprintf(text, sizeof text, "%llu:%02llu", static_cast<unsigned long long>(s / 60),
                  static_cast<unsigned long long>(s % 60));
    return text;
}

bool ResolveBookCover(const BookPlan& plan, const std::vector<CFileToBeJoin>& files, std::vector<uint8_t>& cover,
                      std::string& mime) {
    OutputTagRequest request;
    request.tags = true;
    request.plan = std::make_shared<const BookPlan>(plan);
    OutputTagContent content = GatherOutputTag(files, std::string(), request);
    cover = std::move(content.cover);
    mime = std::move(content.coverMime);
    return !cover.empty();
}

std::vector<CConversionTask> SplitIntoParts(const CConversionTask& book, uint64_t maxMs,
                                            std::vector<std::string>* notes) {
    const std::vector<CFileToBeJoin>& files = *book.files;
    const BookPlan* bookPlan = book.tagRequest ? book.tagRequest->plan.get() : nullptr;
    BookPlan everyInput;
    everyInput.chapterSource = kChaptersNone;
    const BookPlan& plan = bookPlan ? *bookPlan : everyInput;
    const std::vector<BookPart> parts = PlanParts(plan, files, maxMs);
    if (parts.size() < 2) return {book};

    std::vector<uint8_t> cover;
    std::string coverMime;
    if (bookPlan && book.tagRequest->tags) ResolveBookCover(*bookPlan, files, cover, coverMime);
    std::vector<CConversionTask> tasks;
    for (size_t k = 0; k < parts.size(); ++k) {
        const BookPart& part = parts[k];
        CConversionTask task = book;
        task.files = std::make_shared<FileList>(files.begin() + static_cast<ptrdiff_t>(part.firstInput),
                                                files.begin() + static_cast<ptrdiff_t>(part.endInput));
        // Every part in the book's format, so that they play alike one after another.
        SetTaskOutput(task, book.outputRate, book.outputChannels);
        task.currentRate = 0;
        task.currentChannels = 0;
        for (const CFileToBeJoin& f : *task.files) {
            task.currentRate = std::max<uint32_t>(task.currentRate, f.sampleRate);
            task.currentChannels = std::max<uint32_t>(task.currentChannels, f.channels);
        }
        task.outputPath = PartOutputPath(book.outputPath, k + 1);
        task.partNumber = static_cast<int32_t>(k + 1);
        task.partCount = static_cast<int32_t>(parts.size());
        if (bookPlan) {
            auto request = std::make_shared<OutputTagRequest>(*book.tagRequest);
            request->plan = std::make_shared<const BookPlan>(PartPlan(*bookPlan, parts, k, cover, coverMime));
            task.tagRequest = request;
        }
        if (part.overLimit) {
            task.partNote = FormatText("Part %zu holds only the chapter \"%s\": it alone lasts %s, longer than the "
                                       "limit of %s.",
                                       k + 1, ValidUtf8Text(part.longChapter).c_str(), ClockText(part.lengthMs).c_str(),
                                       ClockText(maxMs).c_str());
            if (notes) notes->push_back(task.partNote);
        }
        tasks.push_back(std::move(task));
    }
    return tasks;
}

}  // namespace velmora
