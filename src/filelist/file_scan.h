// The loader's file-system side: which files a folder load finds and in what order, and the
// cells the loader fills itself for each file found.
#pragma once

#include "filelist/file_row.h"

#include <QFileInfo>
#include <QString>
#include <QStringList>

#include <atomic>
#include <cstdint>
#include <functional>

namespace velmora {

// The extensions loads take, upper case: every audio format the program reads (MPEG audio
// through libmpg123, the others through FFmpeg).
const QStringList& scanExtensions();
// MP3 only, for users who turned "Add other audio files" off.
const QStringList& mp3Extensions();
// The extensions loads take with "Add other audio files" on (1) or off (0).
const QStringList& LoadExtensions(int32_t otherAudioFiles);
// True when the extension of `fileName` (case ignored) is one of `extensions`.
bool HasExtensionIn(const QString& fileName, const QStringList& extensions);

// Walks `folder` as a folder load does: the folder's files whose extension is one of
// `extensions` (case ignored) in natural order of their names (NaturalCompare), so that a WAV
// intro, M4A chapters and an MP3 outro keep the order their names give them; then,
// with `includeSubfolders`, each subfolder depth first in the same order. Hidden entries are
// included. Symbolic links to folders are not followed into, so a link loop cannot make the
// walk endless. `keepGoing` (may be null) is polled between files and before each folder;
// `onFolder` (may be empty) hears each folder as its scan begins.
void ScanFolder(const QString& folder, bool includeSubfolders, const std::function<void(const QFileInfo&)>& onFile,
                const std::atomic<int>* keepGoing = nullptr,
                const std::function<void(const QString&)>& onFolder = {},
                const QStringList& extensions = scanExtensions());

// The loader's own cells of a found file: name (0), folder ending in "/" (1), type (2),
// size in MiB (12) and last-write time in local time (13); the record's fileType and sizeMB.
void FillFileFacts(const QFileInfo& file, FileRow& row);

// "%Y/%m/%d %H:%M:%S" of a local time.
QString LastModifiedText(const QDateTime& localTime);

}  // namespace velmora
