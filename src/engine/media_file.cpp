#include "engine/media_file.h"

#include <mpg123.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

namespace velmora {

namespace {

// Not an errno value: the file ended before the size it had when it was opened.
constexpr int kShrunk = -1;

std::atomic<InputReadHook*> g_readHook{nullptr};

}  // namespace

void SetInputReadHook(InputReadHook hook) {
    InputReadHook* next = hook ? new InputReadHook(std::move(hook)) : nullptr;
    delete g_readHook.exchange(next, std::memory_order_acq_rel);
}

bool IsRegularFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string MediaFile::errorText() const {
    if (error_ == 0) return {};
    if (error_ == kShrunk) return "the file became shorter while it was read";
    return std::strerror(error_);
}

MediaFile::~MediaFile() { Close(); }

void MediaFile::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    size_ = 0;
    head_.clear();
    tail_.clear();
    tailStart_ = 0;
    window_.clear();
    windowStart_ = 0;
    error_ = 0;
}

bool MediaFile::Open(const std::string& path) {
    Close();
    path_ = path;
    reads_ = 0;
    // Non-blocking so that a pipe's name cannot hang the reader; only regular files go on.
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0) return false;
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        Close();
        return false;
    }
    size_ = st.st_size;

    head_.resize(static_cast<size_t>(std::min<int64_t>(size_, kHeadBytes)));
    head_.resize(ReadAt(0, head_.data(), head_.size()));
    // An ID3v2 tag (its size is syncsafe, after a 10-byte header, plus a footer when flagged)
    // is read whole with the frames after it: the tag reader parses all of it anyway.
    if (head_.size() >= 10 && std::memcmp(head_.data(), "ID3", 3) == 0) {
        const unsigned char* h = head_.data();
        if (((h[6] | h[7] | h[8] | h[9]) & 0x80) == 0) {
            const int64_t tag = 10 + ((int64_t(h[6]) << 21) | (int64_t(h[7]) << 14) | (int64_t(h[8]) << 7) | h[9]) +
                                ((h[5] & 0x10) ? 10 : 0);
            const int64_t want = std::min<int64_t>(size_, tag + static_cast<int64_t>(kFramesBytes));
            if (want > static_cast<int64_t>(head_.size()) && head_.size() == kHeadBytes) {
                const size_t had = head_.size();
                head_.resize(static_cast<size_t>(want));
                head_.resize(had + ReadAt(static_cast<int64_t>(had), head_.data() + had, head_.size() - had));
            }
        }
    }
    const int64_t headEnd = static_cast<int64_t>(head_.size());
    if (headEnd < size_) {
        tailStart_ = std::max(headEnd, size_ - static_cast<int64_t>(kTailBytes));
        tail_.resize(static_cast<size_t>(size_ - tailStart_));
        tail_.resize(ReadAt(tailStart_, tail_.data(), tail_.size()));
    }
    return true;
}

size_t MediaFile::ReadAt(int64_t offset, void* into, size_t count) {
    const InputReadHook* hook = g_readHook.load(std::memory_order_acquire);
    size_t done = 0;
    while (done < count) {
        ++reads_;
        char* at = static_cast<char*>(into) + done;
        const int64_t from = offset + static_cast<int64_t>(done);
        const ssize_t n = hook ? (*hook)(path_, fd_, at, count - done, from) : ::pread(fd_, at, count - done, from);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && error_ == 0) error_ = errno != 0 ? errno : EIO;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    return done;
}

size_t MediaFile::ReadExpecting(int64_t offset, void* into, size_t count) {
    const size_t got = ReadAt(offset, into, count);
    if (got < count && error_ == 0) error_ = kShrunk;
    return got;
}

size_t MediaFile::Read(int64_t offset, void* into, size_t count) {
    if (fd_ < 0 || offset < 0 || offset >= size_) return 0;
    count = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(count), size_ - offset));
    const int64_t end = offset + static_cast<int64_t>(count);
    if (end <= static_cast<int64_t>(head_.size())) {
        std::memcpy(into, head_.data() + offset, count);
        return count;
    }
    if (!tail_.empty() && offset >= tailStart_ && end <= tailStart_ + static_cast<int64_t>(tail_.size())) {
        std::memcpy(into, tail_.data() + (offset - tailStart_), count);
        return count;
    }
    // The head and tail were read at open and may hold less than the size promised; reads
    // here are measured against the size the file had then, so a file that shrinks shows.
    if (count > kWindowBytes / 2) return ReadExpecting(offset, into, count);
    if (window_.empty() || offset < windowStart_ || end > windowStart_ + static_cast<int64_t>(window_.size())) {
        window_.resize(static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(kWindowBytes), size_ - offset)));
        windowStart_ = offset;
        window_.resize(ReadExpecting(offset, window_.data(), window_.size()));
        if (end > windowStart_ + static_cast<int64_t>(window_.size())) {
            const size_t got = window_.size();
            std::memcpy(into, window_.data(), got);
            return got;
        }
    }
    std::memcpy(into, window_.data() + (offset - windowStart_), count);
    return count;
}

namespace {

ssize_t DecoderRead(void* handle, void* into, size_t count) {
    auto* r = static_cast<DecoderSource*>(handle);
    const size_t n = r->file->Read(r->position, into, count);
    r->position += static_cast<int64_t>(n);
    // A failed read is the decoder's reader error, not a quiet end of the stream.
    if (n == 0 && r->file->failed()) return -1;
    return static_cast<ssize_t>(n);
}

off_t DecoderSeek(void* handle, off_t offset, int whence) {
    auto* r = static_cast<DecoderSource*>(handle);
    int64_t to = offset;
    if (whence == SEEK_CUR) to += r->position;
    else if (whence == SEEK_END) to += r->file->size();
    else if (whence != SEEK_SET) return -1;
    if (to < 0) return -1;
    r->position = to;
    return static_cast<off_t>(to);
}

}  // namespace

bool OpenOnDecoder(mpg123_handle* handle, DecoderSource& source) {
    if (!handle || !source.file || !source.file->isOpen()) return false;
    source.position = 0;
    // No clean-up callback: the source belongs to the caller.
    if (mpg123_replace_reader_handle(handle, DecoderRead, DecoderSeek, nullptr) != MPG123_OK) return false;
    return mpg123_open_handle(handle, &source) == MPG123_OK;
}

}  // namespace velmora
