#include "filelist/join_inputs.h"

#include <mpg123.h>

#include <filesystem>
#include <memory>
#include <system_error>

#include <QFile>

#include "engine/audio_source.h"
#include "engine/stream_info.h"
#include "filelist/file_item_info.h"
#include "filelist/media_reader.h"

namespace velmora {

bool JoinWantsTags(const AppSettings& settings) {
    return settings.outputTags != 0 || settings.chapterMode != kChaptersNone;
}

bool ReadJoinInputs(const std::vector<std::string>& paths, bool wantTags, FileList& files,
                    std::vector<InputTrouble>& troubles, const std::atomic<int>* keepGoing) {
    std::unique_ptr<mpg123_handle, void (*)(mpg123_handle*)> handle(NewStreamInfoHandle(true), [](mpg123_handle* h) {
        if (h) mpg123_delete(h);
    });
    ReaderDecoder tagDecoder(true);
    MediaInfoReader tagReader(tagDecoder.handle());
    for (const std::string& input : paths) {
        if (keepGoing && keepGoing->load(std::memory_order_acquire) == 0) return false;
        std::error_code ec;
        StreamInfo info;
        if (std::filesystem::is_directory(input, ec)) {
            info.message = StreamTroubleMessage("Is a folder, not a file.");
        } else if (!IsMpegAudioFile(input)) {
            // Not MPEG audio: FFmpeg's probe, with its own message for what it cannot read.
            const AudioFileInfo other = ProbeAudioFile(input);
            info.readable = other.readable;
            info.message = other.message;
            info.sampleRate = other.sampleRate;
            info.channels = other.channels;
            info.totalSamples = other.totalSamples;
        } else {
            info = ReadStreamInfo(handle.get(), input);
        }
        if (!info.readable) {
            troubles.push_back({input, info.message});
            continue;
        }
        CFileToBeJoin file{input, info.sampleRate, info.channels, info.totalSamples, {}};
        if (wantTags) {
            FileRow row;
            NullRowWriter quiet;
            tagReader.ReadMediaInfo(QFile::decodeName(QByteArray::fromStdString(input)), row, quiet);
            file.tags = InputTagsOf(row.info);
        }
        files.push_back(std::move(file));
    }
    return true;
}

}  // namespace velmora
