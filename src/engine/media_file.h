// One file opened once for the whole media information read: the stream probe (libmpg123 or
// FFmpeg's libavformat) and the tag reader (TagLib) both read it through here. The head (the
// ID3v2 tag, whose size its header gives, FLAC's metadata blocks or an MP4 index at the front,
// and the first frames) and the tail (ID3v1, APE, Lyrics3; an MP4 index at the end) are read in
// one large read each (FLAC's blocks after a picture in one more); anything else either parser
// asks for is read where it lies, on the same descriptor.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

typedef struct mpg123_handle_struct mpg123_handle;

namespace velmora {

class MediaFile {
public:
    MediaFile() = default;
    explicit MediaFile(const std::string& path) { Open(path); }
    ~MediaFile();
    MediaFile(const MediaFile&) = delete;
    MediaFile& operator=(const MediaFile&) = delete;

    // Opens `path` (UTF-8) and reads its head and tail. False when it cannot be opened or is
    // not a regular file (a folder, a pipe, a device: those are never opened); the file is
    // then closed. `regularBytes`: the caller's own stat of the path found a regular file of
    // that size (a folder scan's), so none is made here; -1 when it has none.
    bool Open(const std::string& path, int64_t regularBytes = -1);
    bool isOpen() const { return fd_ >= 0; }
    const std::string& path() const { return path_; }
    int64_t size() const { return size_; }

    // Copies up to `count` bytes from `offset`; fewer at the end of the file (its size when it
    // was opened), 0 past it. A read that fails, or finds the file shorter than it was when it
    // was opened, gives what it got and leaves failed() set.
    size_t Read(int64_t offset, void* into, size_t count);
    // The same for a reader that takes short reads (libavformat's): when bytes at `offset` are
    // in memory, only those, so that nothing is read from the file that the reader may never
    // ask for.
    size_t ReadSome(int64_t offset, void* into, size_t count);

    // A read failed or the file shrank after it was opened: what was read can no longer be
    // trusted to be the whole file. errorText() is the system's message for it.
    bool failed() const { return error_ != 0; }
    std::string errorText() const;

    // Reads done on the descriptor so far (the head and tail included): for the benchmark.
    int reads() const { return reads_; }

    // The head is read in one go, large enough for the ID3v2 tags most files carry and the
    // first frames after them; a larger tag is read whole with kFramesBytes after it, and so
    // is an MP4 index (moov) at the front, up to kMaxMetadataBytes. The tail holds the end tags of most files; for an MP4 file it holds
    // the index written after the media data, for an Ogg file its last 64 KiB (the last page
    // gives its length).
    static constexpr size_t kHeadBytes = 64 * 1024;
    static constexpr size_t kFramesBytes = 16 * 1024;
    static constexpr size_t kTailBytes = 8 * 1024;
    static constexpr size_t kOggTailBytes = 72 * 1024;
    static constexpr size_t kMaxMetadataBytes = 16 * 1024 * 1024;
    // A file named .flac starts with a small head: its metadata blocks are mostly small, and a
    // picture or padding among them is stepped over (the file list shows neither), with a read
    // of this size where the next block starts. Its tail only has to show an ID3v1 tag.
    static constexpr size_t kFlacHeadBytes = 4 * 1024;
    static constexpr size_t kFlacTailBytes = 512;
    // Reads between the head and the tail are served from a window of this size, so a decoder
    // asking for a frame at a time costs one system call per window, not per frame.
    static constexpr size_t kWindowBytes = 256 * 1024;

private:
    // Bytes read from the file, not zeroed first (the read fills them): a vector's resize
    // clears each byte before the read writes it again.
    class Bytes {
    public:
        unsigned char* data() { return data_.get(); }
        const unsigned char* data() const { return data_.get(); }
        size_t size() const { return size_; }
        bool empty() const { return size_ == 0; }
        void clear() { size_ = 0; }
        // Keeps the first min(size, n) bytes; the rest are undefined until written.
        void resize(size_t n);

    private:
        std::unique_ptr<unsigned char[]> data_;
        size_t size_ = 0;
        size_t capacity_ = 0;
    };
    // Bytes read on purpose away from the head and the tail (FLAC's blocks after a picture).
    struct Piece {
        int64_t start = 0;
        Bytes bytes;
    };

    // What the head, tail or window hold from `offset` on, up to `count` bytes; 0 when
    // `offset` is in none of them.
    size_t FromMemory(int64_t offset, void* into, size_t count) const;
    // Reads the head on up to `to` (at most the size); false when a read came back short.
    bool ExtendHead(int64_t to);
    void ReadWholeId3v2();
    void ReadFlacMetadata();
    // Makes [offset, offset + count) readable from memory: the head is read on when it ends
    // there, else a piece of at least kFlacHeadBytes is read from `offset`. False when the
    // bytes are not all there (the file ends first, a read fails, or the pieces would pass
    // kMaxMetadataBytes).
    bool Fetch(int64_t offset, size_t count);
    int64_t ReadWholeMp4Index(int64_t tailStart);
    size_t ReadAt(int64_t offset, void* into, size_t count);
    // ReadAt where fewer than `count` bytes is a fault: the file shrank, or a read failed.
    size_t ReadExpecting(int64_t offset, void* into, size_t count);
    void Close();

    std::string path_;
    int fd_ = -1;
    int64_t size_ = 0;
    Bytes head_;
    int64_t tailStart_ = 0;
    Bytes tail_;
    int64_t windowStart_ = 0;
    Bytes window_;
    std::vector<Piece> pieces_;
    size_t pieceBytes_ = 0;
    int reads_ = 0;
    int error_ = 0;  // errno of the first failed read, kShrunk, or 0
};

// The path names a regular file (after links): pipes, devices and sockets are never opened
// for reading, since opening or reading one can wait for ever.
bool IsRegularFile(const std::string& path);

// The file layer's test seam: when set, every read of an input file goes through it instead
// of pread, so a test can fail a read, or shrink or rewrite the file, at a chosen offset of a
// chosen file, without racing the engine's threads. Set it before the files are opened and
// clear it (an empty function) after the threads that read them have ended.
using InputReadHook = std::function<ssize_t(const std::string& path, int fd, void* into, size_t count, int64_t offset)>;
void SetInputReadHook(InputReadHook hook);

// The decoder's view of a MediaFile, with a position of its own. It must outlive the decoder's
// use of it (until mpg123_close).
struct DecoderSource {
    MediaFile* file = nullptr;
    int64_t position = 0;
};

// Opens `source` on `handle` through the handle's replaced reader (no second open); the caller
// closes it with mpg123_close. False with the decoder's error left on the handle.
bool OpenOnDecoder(mpg123_handle* handle, DecoderSource& source);

}  // namespace velmora
