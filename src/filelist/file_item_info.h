// The record behind one row of the file list. The list control keeps a pointer to it as the
// row's user data; the file list owns it.
#pragma once

#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

#include "engine/book_plan.h"
#include "engine/output_tag.h"

namespace velmora {

struct FileItemInfo {
    int32_t unreadable = 0;    // 1 when the decoder could not open the file or find its format
    uint8_t fileType = 0;      // code of the extension in fileTypeTable, 0 when not listed
    uint8_t tagKinds = 0;      // kTagId3v1 | kTagId3v2 | kTagApe
    uint8_t trackNumber = 0;
    uint8_t trackCount = 0;
    int32_t sampleRate = 0;    // Hz
    int32_t channels = 0;
    uint64_t totalSamples = 0; // over all channels
    int32_t bitrate = 0;       // kbit/s
    double sizeMB = 0.0;       // bytes / 1 048 576
    double duration = 0.0;     // seconds
    QString artist;
    QString albumArtist;
    QString album;
    QString track;
    QString title;
    QString genre;
    QString date;
    QString comment;
    // The chapters the user gave this file in "Chapters and Tags" (marks from its start);
    // none: the plan's own. Kept in the record so that they move with the row.
    std::optional<std::vector<ChapterMark>> chapterMarks;
};

inline constexpr uint8_t kTagId3v1 = 0x01;
inline constexpr uint8_t kTagId3v2 = 0x02;
inline constexpr uint8_t kTagApe = 0x04;

// The tags of a record as the engine carries them into a joined file (UTF-8).
InputTags InputTagsOf(const FileItemInfo& info);

// Copies the fields the media reader owns (everything but fileType, sizeMB, which the loader
// fills, and the user's chapter marks) from one record to another.
void CopyMediaFields(FileItemInfo& to, const FileItemInfo& from);

}  // namespace velmora
