// Reads files' media information on a few threads ahead of one consumer, which takes the
// results in the order the files were queued: the CLI lister and the window's folder loads.
#pragma once

#include "filelist/media_reader.h"

#include <QString>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace velmora {

// A writer that keeps everything a read wrote, to be carried out later on another thread.
class GatheringWriter : public RowWriter {
public:
    // Room for a row's usual writes (its cells, some twice), made once.
    GatheringWriter() { cells.reserve(24); }
    void SetCellText(int column, const QString& text) override { cells.emplace_back(column, text); }
    void StoreRecord(const FileItemInfo& values) override {
        record = values;
        stored = true;
    }
    void ReportUnreadable(const QString& message) override { unreadable = message; }
    void AddSeconds(double s) override { seconds += s; }

    std::vector<std::pair<int, QString>> cells;
    FileItemInfo record;
    bool stored = false;
    QString unreadable;
    double seconds = 0.0;
};

// One file's read: the row starts with the loader's own cells and ends filled.
struct MediaRead {
    QString path;
    FileRow row;
    GatheringWriter writer;
    // The scan found a regular file of this size (its own stat, which the read then does
    // without); -1: not known.
    int64_t regularBytes = -1;
    bool done = false;  // under the pool's lock
};

// Reads one file as a load does: media information, then the bit rate.
void ReadFileMedia(MediaInfoReader& reader, MediaRead& read);

class MediaReadAhead {
public:
    // `threads` readers, each with a decoder of its own; `quiet` keeps the decoder's notes off
    // stderr.
    // `wakeRun`: the taker waiting for the front read is woken once that many reads are done
    // in a row at the front (or every queued read is): more than 1 trades how soon the first
    // rows arrive for fewer wakes (a wake costs two system calls).
    MediaReadAhead(unsigned threads, bool quiet, size_t wakeRun = 1);
    // Stops the readers; reads not taken are dropped.
    ~MediaReadAhead();
    MediaReadAhead(const MediaReadAhead&) = delete;
    MediaReadAhead& operator=(const MediaReadAhead&) = delete;

    void Queue(QString path, FileRow facts, int64_t regularBytes = -1);
    size_t pending() const;
    // Waits for the oldest read not taken yet and hands it over (null when none is queued).
    std::unique_ptr<MediaRead> TakeFront();

    // The machine's hardware threads, at most 8: the reads are short and share one disk.
    static unsigned DefaultThreads();

private:
    void Work(bool quiet);
    // Done reads in a row from the front, counted up to wakeRun_; under the lock.
    size_t DoneAtFront() const;

    mutable std::mutex mutex_;
    std::condition_variable work_;  // a read was queued, or the pool stops
    std::condition_variable done_;  // the front read is done
    std::deque<std::unique_ptr<MediaRead>> reads_;  // in queue order; taken from the front
    size_t nextToRead_ = 0;                         // index into reads_ of the next to start
    size_t done_count_ = 0;                         // reads in reads_ that are done
    size_t wakeRun_ = 1;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace velmora
