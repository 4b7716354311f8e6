#include "filelist/media_read_ahead.h"

#include <algorithm>

namespace velmora {

void ReadFileMedia(MediaInfoReader& reader, MediaRead& read) {
    reader.ReadMediaInfo(read.path, read.row, read.writer);
    reader.ReadBitrate(read.path, read.row, read.writer);
}

unsigned MediaReadAhead::DefaultThreads() { return std::clamp(std::thread::hardware_concurrency(), 1u, 8u); }

MediaReadAhead::MediaReadAhead(unsigned threads, bool quiet) {
    for (unsigned t = 0; t < std::max(1u, threads); ++t) threads_.emplace_back([this, quiet] { Work(quiet); });
}

MediaReadAhead::~MediaReadAhead() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    for (std::thread& t : threads_) t.join();
}

void MediaReadAhead::Queue(QString path, FileRow facts) {
    auto read = std::make_unique<MediaRead>();
    read->path = std::move(path);
    read->row = std::move(facts);
    {
        std::lock_guard lock(mutex_);
        reads_.push_back(std::move(read));
    }
    changed_.notify_all();
}

size_t MediaReadAhead::pending() const {
    std::lock_guard lock(mutex_);
    return reads_.size();
}

std::unique_ptr<MediaRead> MediaReadAhead::TakeFront() {
    std::unique_lock lock(mutex_);
    if (reads_.empty()) return nullptr;
    changed_.wait(lock, [&] { return reads_.front()->done; });
    std::unique_ptr<MediaRead> front = std::move(reads_.front());
    reads_.pop_front();
    --nextToRead_;
    return front;
}

void MediaReadAhead::Work(bool quiet) {
    ReaderDecoder decoder(quiet);
    MediaInfoReader reader(decoder.handle());
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stopping_ || nextToRead_ < reads_.size(); });
        if (stopping_) return;
        // The read stays owned by the queue: only its taker frees it, after `done`.
        MediaRead* read = reads_[nextToRead_++].get();
        lock.unlock();
        ReadFileMedia(reader, *read);
        lock.lock();
        read->done = true;
        changed_.notify_all();
    }
}

}  // namespace velmora
