#include "filelist/media_read_ahead.h"

#include <malloc.h>

#include <algorithm>

namespace velmora {

namespace {

// Every file read allocates and frees a few hundred KiB (the probe's and the decoders'
// buffers, the file's head). By default glibc hands freed memory at the top of a thread's
// heap back to the kernel once 128 KiB lie free, so each file paid a madvise (a TLB flush on
// every core) and page faults on the next: half of a list's time. Freed memory is kept for
// the next file instead, up to 64 MiB, and blocks up to 4 MiB come from the heaps rather than
// a mapping of their own each. Process-wide, set once, before the first reader starts.
void KeepFreedMemoryForTheNextFile() {
    static std::once_flag once;
    std::call_once(once, [] {
        mallopt(M_MMAP_THRESHOLD, 4 * 1024 * 1024);
        mallopt(M_TRIM_THRESHOLD, 64 * 1024 * 1024);
    });
}

}  // namespace

void ReadFileMedia(MediaInfoReader& reader, MediaRead& read) {
    reader.ReadMediaInfo(read.path, read.row, read.writer, read.regularBytes);
    reader.ReadBitrate(read.path, read.row, read.writer);
}

unsigned MediaReadAhead::DefaultThreads() { return std::clamp(std::thread::hardware_concurrency(), 1u, 8u); }

MediaReadAhead::MediaReadAhead(unsigned threads, bool quiet, size_t wakeRun) : wakeRun_(std::max<size_t>(1, wakeRun)) {
    KeepFreedMemoryForTheNextFile();
    for (unsigned t = 0; t < std::max(1u, threads); ++t) threads_.emplace_back([this, quiet] { Work(quiet); });
}

MediaReadAhead::~MediaReadAhead() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    work_.notify_all();
    for (std::thread& t : threads_) t.join();
}

void MediaReadAhead::Queue(QString path, FileRow facts, int64_t regularBytes) {
    auto read = std::make_unique<MediaRead>();
    read->path = std::move(path);
    read->row = std::move(facts);
    read->regularBytes = regularBytes;
    {
        std::lock_guard lock(mutex_);
        reads_.push_back(std::move(read));
    }
    work_.notify_one();
}

size_t MediaReadAhead::pending() const {
    std::lock_guard lock(mutex_);
    return reads_.size();
}

std::unique_ptr<MediaRead> MediaReadAhead::TakeFront() {
    std::unique_lock lock(mutex_);
    if (reads_.empty()) return nullptr;
    done_.wait(lock, [&] { return reads_.front()->done; });
    std::unique_ptr<MediaRead> front = std::move(reads_.front());
    reads_.pop_front();
    --done_count_;
    --nextToRead_;
    return front;
}

size_t MediaReadAhead::DoneAtFront() const {
    size_t n = 0;
    while (n < reads_.size() && n < wakeRun_ && reads_[n]->done) ++n;
    return n;
}

void MediaReadAhead::Work(bool quiet) {
    ReaderDecoder decoder(quiet);
    MediaInfoReader reader(decoder.handle());
    std::unique_lock lock(mutex_);
    for (;;) {
        work_.wait(lock, [&] { return stopping_ || nextToRead_ < reads_.size(); });
        if (stopping_) return;
        // The read stays owned by the queue: only its taker frees it, after `done`.
        MediaRead* read = reads_[nextToRead_++].get();
        lock.unlock();
        ReadFileMedia(reader, *read);
        lock.lock();
        read->done = true;
        ++done_count_;
        // The taker waits for the front read only, and is woken when a run of reads is ready
        // at the front, or when every queued read is done (nothing more can come while it
        // waits): a wake per file costs two system calls.
        if (reads_.front()->done && (done_count_ == reads_.size() || DoneAtFront() >= wakeRun_)) done_.notify_all();
    }
}

}  // namespace velmora
