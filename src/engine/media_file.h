// One file opened once for the whole media information read: the stream probe (libmpg123) and
// the tag reader (TagLib) both read it through here. The head (the ID3v2 tag, whose size its
// header gives, and the first frames) and the tail (ID3v1, APE, Lyrics3) are read in one large
// read each; anything else either parser asks for is read where it lies, on the same
// descriptor.
#pragma once

#include <cstddef>
#include <cstdint>
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
    // not a regular file's data (a folder, say); the file is then closed.
    bool Open(const std::string& path);
    bool isOpen() const { return fd_ >= 0; }
    const std::string& path() const { return path_; }
    int64_t size() const { return size_; }

    // Copies up to `count` bytes from `offset`; fewer at the end of the file, 0 past it or on
    // a read error.
    size_t Read(int64_t offset, void* into, size_t count);

    // Reads done on the descriptor so far (the head and tail included): for the benchmark.
    int reads() const { return reads_; }

    // The head is read in one go, large enough for the ID3v2 tags most files carry and the
    // first frames after them; a larger tag is read whole with kFramesBytes after it. The
    // tail holds the end tags of most files.
    static constexpr size_t kHeadBytes = 64 * 1024;
    static constexpr size_t kFramesBytes = 16 * 1024;
    static constexpr size_t kTailBytes = 8 * 1024;

private:
    size_t ReadAt(int64_t offset, void* into, size_t count);
    void Close();

    std::string path_;
    int fd_ = -1;
    int64_t size_ = 0;
    std::vector<unsigned char> head_;
    int64_t tailStart_ = 0;
    std::vector<unsigned char> tail_;
    int reads_ = 0;
};

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
