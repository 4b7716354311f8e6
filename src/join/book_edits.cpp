#include "join/book_edits.h"

#include "controls/report_ctrl.h"
#include "controls/report_item_info.h"
#include "filelist/file_item_info.h"
#include "filelist/file_list_columns.h"
#include "settings/app_settings.h"

namespace velmora {

std::vector<JoinRow> GatherJoinRows(const CReportCtrl& list, bool selectedOnly) {
    std::vector<JoinRow> rows;
    for (int row = 0; row < list.GetItemCount(); ++row) {
        if (selectedOnly && !(list.GetItemStateFlags(row) & kStateSelected)) continue;
        auto* info = static_cast<FileItemInfo*>(list.GetItemUserData(row));
        // Unreadable rows leave no trace; a row without a record has never been read either.
        if (!info || info->unreadable != 0) continue;
        JoinRow r;
        r.info = info;
        r.file.path = FullPathOf(list.GetItemText(row, kColPath), list.GetItemText(row, kColName)).toStdString();
        r.file.sampleRate = uint32_t(info->sampleRate > 0 ? info->sampleRate : 0);
        r.file.channels = uint32_t(info->channels > 0 ? info->channels : 0);
        r.file.totalSamples = info->totalSamples;
        // The tags as the list read them go with the input: the output's tag and chapters.
        r.file.tags = InputTagsOf(*info);
        rows.push_back(std::move(r));
    }
    return rows;
}

int32_t ChapterSourceOf(const BookEdits& edits, const AppSettings& settings) {
    if (edits.chapterSource) return *edits.chapterSource;
    // A hand-edited value outside the three modes reads as the default, as the join reads it.
    const int32_t mode = settings.chapterMode;
    return mode == kChaptersNone || mode == kChaptersPerTitle ? mode : kChaptersPerFile;
}

namespace {

std::string PlainOutputName(const BookEdits& edits, const AppSettings& settings) {
    return edits.outputName && !edits.outputName->empty() ? *edits.outputName : settings.defaultFileName;
}

}  // namespace

std::string OutputNameOf(const BookPlan& plan, const BookEdits& edits, const AppSettings& settings) {
    if (edits.nameFromTitle) {
        std::string name = FileNameFromTitle(plan.tags.title);
        if (!name.empty()) return name;
    }
    return PlainOutputName(edits, settings);
}

bool PlanDefaults(const std::vector<CFileToBeJoin>& files, const BookEdits& edits, const AppSettings& settings,
                  BookPlan& plan, std::string& error) {
    const int32_t source = ChapterSourceOf(edits, settings);
    // The title taken from the output's name is the plain name's: a name that follows the
    // title cannot also give it.
    const std::string outputPath = settings.outputFolder + PlainOutputName(edits, settings) + OutputExtension(settings);
    BookPlan fresh;
    if (source == kChaptersFromFile) {
        // The marks read when the user chose the file, as edited since; the file is not read
        // again behind the user's back.
        if (!PlanBook(files, outputPath, kChaptersNone, std::string(), fresh, error)) return false;
        fresh.chapterSource = kChaptersFromFile;
        fresh.outputMarks = edits.fileMarks;
    } else if (!PlanBook(files, outputPath, source, std::string(), fresh, error)) {
        return false;
    }
    plan = std::move(fresh);
    return true;
}

bool PlanFromEdits(const std::vector<CFileToBeJoin>& files,
                   const std::vector<std::optional<std::vector<ChapterMark>>>& rowMarks, const BookEdits& edits,
                   const AppSettings& settings, BookPlan& plan, std::string& error) {
    BookPlan p;
    if (!PlanDefaults(files, edits, settings, p, error)) return false;
    auto overlay = [](std::string& field, const std::optional<std::string>& edited) {
        if (edited) field = *edited;
    };
    overlay(p.tags.title, edits.title);
    overlay(p.tags.artist, edits.artist);
    overlay(p.tags.albumArtist, edits.albumArtist);
    overlay(p.tags.album, edits.album);
    overlay(p.tags.year, edits.year);
    overlay(p.tags.genre, edits.genre);
    overlay(p.tags.comment, edits.comment);

    if (edits.coverSource) {
        switch (*edits.coverSource) {
            case CoverSource::Input: {
                // The chosen input may have left the list or the selection: then the first
                // input with a picture, as without a choice.
                for (size_t i = 0; i < files.size(); ++i) {
                    if (files[i].path == edits.coverInputPath) {
                        p.coverSource = CoverSource::Input;
                        p.coverInput = i;
                        break;
                    }
                }
                break;
            }
            case CoverSource::Image:
                p.coverSource = CoverSource::Image;
                p.cover = edits.coverImage;
                p.coverMime = edits.coverMime;
                break;
            case CoverSource::None:
                p.coverSource = CoverSource::None;
                break;
            case CoverSource::FirstInput:
                break;
        }
    }

    if (p.chapterSource != kChaptersFromFile && p.chapterSource != kChaptersNone) {
        if (p.inputMarks.size() < files.size()) p.inputMarks.resize(files.size());
        for (size_t i = 0; i < files.size() && i < rowMarks.size(); ++i)
            if (rowMarks[i]) p.inputMarks[i] = *rowMarks[i];
    }
    plan = std::move(p);
    return true;
}

bool PlanFromEdits(const std::vector<JoinRow>& rows, const BookEdits& edits, const AppSettings& settings,
                   BookPlan& plan, std::string& error) {
    std::vector<CFileToBeJoin> files;
    std::vector<std::optional<std::vector<ChapterMark>>> marks;
    files.reserve(rows.size());
    marks.reserve(rows.size());
    for (const JoinRow& r : rows) {
        files.push_back(r.file);
        marks.push_back(r.info ? r.info->chapterMarks : std::nullopt);
    }
    return PlanFromEdits(files, marks, edits, settings, plan, error);
}

}  // namespace velmora
