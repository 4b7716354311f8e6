#include "engine/media_file.h"

#include <mpg123.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
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
    pieces_.clear();
    pieceBytes_ = 0;
    error_ = 0;
}

void MediaFile::Bytes::resize(size_t n) {
    if (n > capacity_) {
        // Grown by half again at least: the head is read on a few times for large tags.
        const size_t capacity = std::max(n, capacity_ + capacity_ / 2);
        std::unique_ptr<unsigned char[]> bigger(new unsigned char[capacity]);
        if (size_ > 0) std::memcpy(bigger.get(), data_.get(), size_);
        data_ = std::move(bigger);
        capacity_ = capacity;
    }
    size_ = n;
}

namespace {

bool HasFlacExtension(const std::string& path) {
    constexpr char kExt[] = ".flac";
    constexpr size_t n = sizeof kExt - 1;
    if (path.size() < n) return false;
    for (size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(path[path.size() - n + i])) != kExt[i]) return false;
    return true;
}

}  // namespace

bool MediaFile::Open(const std::string& path, int64_t regularBytes) {
    Close();
    path_ = path;
    reads_ = 0;
    // One stat before the open (the caller's or ours), none after it: a pipe or a device is
    // never opened (opening one can wait, or act on the device). Non-blocking all the same,
    // so that a file swapped for a pipe since the stat cannot hang the reader; reading that
    // pipe fails.
    if (regularBytes < 0) {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
        regularBytes = st.st_size;
    }
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0) return false;
    size_ = regularBytes;

    // The name only sizes the first read; the content decides what more is read.
    const size_t first = HasFlacExtension(path) ? kFlacHeadBytes : kHeadBytes;
    head_.resize(static_cast<size_t>(std::min<int64_t>(size_, static_cast<int64_t>(first))));
    head_.resize(ReadAt(0, head_.data(), head_.size()));
    int64_t tailStart = size_ - static_cast<int64_t>(kTailBytes);
    if (head_.size() == first) {
        const unsigned char* h = head_.data();
        if (std::memcmp(h, "ID3", 3) == 0) {
            ReadWholeId3v2();
        } else if (std::memcmp(h, "fLaC", 4) == 0) {
            ReadFlacMetadata();
            tailStart = size_ - static_cast<int64_t>(kFlacTailBytes);
        } else if (std::memcmp(h + 4, "ftyp", 4) == 0) {
            tailStart = ReadWholeMp4Index(tailStart);
        } else if (std::memcmp(h, "OggS", 4) == 0) {
            // The Ogg reader finds the length in the last page, looked for in the last 64 KiB.
            tailStart = size_ - static_cast<int64_t>(kOggTailBytes);
        }
    }
    const int64_t headEnd = static_cast<int64_t>(head_.size());
    if (headEnd < size_ && tailStart < size_) {
        tailStart_ = std::max(headEnd, tailStart);
        tail_.resize(static_cast<size_t>(size_ - tailStart_));
        tail_.resize(ReadAt(tailStart_, tail_.data(), tail_.size()));
    }
    return true;
}

bool MediaFile::ExtendHead(int64_t to) {
    to = std::min(to, size_);
    const size_t had = head_.size();
    if (to <= static_cast<int64_t>(had)) return true;
    head_.resize(static_cast<size_t>(to));
    head_.resize(had + ReadAt(static_cast<int64_t>(had), head_.data() + had, head_.size() - had));
    return static_cast<int64_t>(head_.size()) == to;
}

// An ID3v2 tag (its size is syncsafe, after a 10-byte header, plus a footer when flagged) is
// read whole with the frames after it: the tag reader parses all of it anyway.
void MediaFile::ReadWholeId3v2() {
    const unsigned char* h = head_.data();
    if (((h[6] | h[7] | h[8] | h[9]) & 0x80) != 0) return;
    const int64_t tag = 10 + ((int64_t(h[6]) << 21) | (int64_t(h[7]) << 14) | (int64_t(h[8]) << 7) | h[9]) +
                        ((h[5] & 0x10) ? 10 : 0);
    ExtendHead(tag + static_cast<int64_t>(kFramesBytes));
}

// FLAC's metadata blocks as the file list reads them: STREAMINFO and the Vorbis comment (and
// the other small blocks) are read, a picture or padding is stepped over without reading it,
// so that a cover of some megabytes costs one small read after it rather than the whole
// cover. The content of everything read stays for the parsers; whatever else a reader wants
// (FFmpeg's probe on an odd file) it reads where it lies.
void MediaFile::ReadFlacMetadata() {
    constexpr int kPadding = 1;
    constexpr int kPicture = 6;
    int64_t at = 4;
    // Far more blocks than any encoder writes; a damaged file of empty blocks stops here.
    for (int blocks = 0; blocks < 1024; ++blocks) {
        unsigned char h[4];
        if (!Fetch(at, sizeof h) || FromMemory(at, h, sizeof h) != sizeof h) return;
        const int64_t length = (int64_t(h[1]) << 16) | (int64_t(h[2]) << 8) | h[3];
        const int type = h[0] & 0x7F;
        if (type != kPadding && type != kPicture && !Fetch(at + 4, static_cast<size_t>(length))) return;
        at += 4 + length;
        if ((h[0] & 0x80) || at >= size_) return;
    }
}

bool MediaFile::Fetch(int64_t offset, size_t count) {
    const int64_t end = offset + static_cast<int64_t>(count);
    if (offset < 0 || end > size_) return false;
    const int64_t headEnd = static_cast<int64_t>(head_.size());
    if (end <= headEnd) return true;
    for (const Piece& p : pieces_)
        if (offset >= p.start && end <= p.start + static_cast<int64_t>(p.bytes.size())) return true;
    const int64_t least = static_cast<int64_t>(kFlacHeadBytes);
    if (offset <= headEnd) {
        // Contiguous with the head: read it on.
        if (end > static_cast<int64_t>(kMaxMetadataBytes)) return false;
        return ExtendHead(std::max(end, headEnd + least)) || static_cast<int64_t>(head_.size()) >= end;
    }
    // A block that runs on past the last piece read (the comment after a picture) extends it.
    Piece* p = pieces_.empty() ? nullptr : &pieces_.back();
    int64_t from = offset;
    if (p && offset >= p->start && offset <= p->start + static_cast<int64_t>(p->bytes.size()))
        from = p->start + static_cast<int64_t>(p->bytes.size());
    else
        p = nullptr;
    const size_t want = static_cast<size_t>(std::min(std::max(end, from + least), size_) - from);
    if (pieceBytes_ + want > kMaxMetadataBytes) return false;
    if (!p) {
        p = &pieces_.emplace_back();
        p->start = from;
    }
    const size_t had = p->bytes.size();
    p->bytes.resize(had + want);
    const size_t got = ReadAt(from, p->bytes.data() + had, want);
    p->bytes.resize(had + got);
    pieceBytes_ += got;
    return p->start + static_cast<int64_t>(p->bytes.size()) >= end;
}

// MP4 keeps its index and tags in the moov box, before or after the media data (mdat; after
// it unless the file was made for streaming). A moov first is read whole into the head, with
// the first packets after it; a moov after the media data starts the tail, which then holds
// all of it. The result is where the tail starts (`tailStart` when the boxes say nothing).
int64_t MediaFile::ReadWholeMp4Index(int64_t tailStart) {
    auto be32 = [](const unsigned char* p) { return (uint64_t(p[0]) << 24) | (uint64_t(p[1]) << 16) | (uint64_t(p[2]) << 8) | p[3]; };
    int64_t at = 0;
    for (int boxes = 0; boxes < 64 && at + 16 <= static_cast<int64_t>(head_.size()); ++boxes) {
        const unsigned char* b = head_.data() + at;
        uint64_t length = be32(b);
        if (length == 1) length = (be32(b + 8) << 32) | be32(b + 12);  // a 64-bit size follows the type
        else if (length == 0) length = static_cast<uint64_t>(size_ - at);  // to the end of the file
        if (length < 8 || length > static_cast<uint64_t>(size_ - at)) break;
        const int64_t end = at + static_cast<int64_t>(length);
        if (std::memcmp(b + 4, "mdat", 4) == 0) {
            // Nothing after the media data: no tail to read.
            if (end == size_) return size_;
            return size_ - end <= static_cast<int64_t>(kMaxMetadataBytes) ? end : tailStart;
        }
        if (end > static_cast<int64_t>(head_.size()) &&
            (end > static_cast<int64_t>(kMaxMetadataBytes) || !ExtendHead(end + static_cast<int64_t>(kFramesBytes))))
            break;
        at = end;
    }
    return tailStart;
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
    auto* out = static_cast<unsigned char*>(into);
    size_t done = 0;
    // Piece by piece: what the head, the tail or the window hold is copied, the rest read, so
    // a read that crosses the end of the head does not read again what is in memory.
    while (done < count) {
        const int64_t at = offset + static_cast<int64_t>(done);
        size_t n = FromMemory(at, out + done, count - done);
        if (n == 0) {
            // The head and tail were read at open and may hold less than the size promised;
            // reads here are measured against the size the file had then, so a file that
            // shrinks shows. A large read goes straight to the caller, up to the tail.
            const int64_t upTo = !tail_.empty() && at < tailStart_ ? tailStart_ : size_;
            const size_t direct = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(count - done), upTo - at));
            if (direct > kWindowBytes / 2) {
                n = ReadExpecting(at, out + done, direct);
                done += n;
                if (n < direct) break;
                continue;
            }
            // The window starts where the read does, or, near the end of the file, ends at the
            // end: readers that look at the last bytes step back and forth there.
            const int64_t headEnd = static_cast<int64_t>(head_.size());
            windowStart_ = std::max(headEnd, std::min(at, size_ - static_cast<int64_t>(kWindowBytes)));
            window_.resize(static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(kWindowBytes), size_ - windowStart_)));
            window_.resize(ReadExpecting(windowStart_, window_.data(), window_.size()));
            n = FromMemory(at, out + done, count - done);
            if (n == 0) break;  // the window came back short
        }
        done += n;
    }
    return done;
}

size_t MediaFile::ReadSome(int64_t offset, void* into, size_t count) {
    if (fd_ < 0 || offset < 0 || offset >= size_) return 0;
    count = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(count), size_ - offset));
    const size_t n = FromMemory(offset, into, count);
    return n > 0 ? n : Read(offset, into, count);
}

size_t MediaFile::FromMemory(int64_t offset, void* into, size_t count) const {
    auto copy = [&](const Bytes& bytes, int64_t start) -> size_t {
        if (bytes.empty() || offset < start || offset >= start + static_cast<int64_t>(bytes.size())) return 0;
        const size_t n = std::min(count, static_cast<size_t>(start + static_cast<int64_t>(bytes.size()) - offset));
        std::memcpy(into, bytes.data() + (offset - start), n);
        return n;
    };
    size_t n = copy(head_, 0);
    if (n == 0) n = copy(tail_, tailStart_);
    if (n == 0) n = copy(window_, windowStart_);
    for (size_t i = 0; n == 0 && i < pieces_.size(); ++i) n = copy(pieces_[i].bytes, pieces_[i].start);
    return n;
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
