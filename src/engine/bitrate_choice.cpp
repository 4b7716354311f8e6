#include "engine/bitrate_choice.h"

#include <algorithm>

#include "engine/audio_source.h"
#include "engine/join_sink.h"
#include "engine/mpeg_frame.h"
#include "engine/stream_info.h"

namespace velmora {

int InputBitrateKbps(const std::string& path) {
    if (IsMpegAudioFile(path)) return ReadStreamInfo(path).averageKbps;
    const AudioFileInfo info = ProbeAudioFile(path);
    return info.readable && !info.lossless ? info.bitrateKbps : 0;
}

uint32_t RoundUpToBitrateTable(int kbps, uint32_t outputRate) {
    const int version = outputRate >= 32000 ? 1 : 2;  // MPEG-2.5 shares MPEG-2's table
    for (int i = 1; i < 14; ++i)
        if (MpegBitrate(version, 3, i) >= kbps) return static_cast<uint32_t>(MpegBitrate(version, 3, i));
    return static_cast<uint32_t>(MpegBitrate(version, 3, 14));
}

std::string ChooseSameAsInputsBitrate(CConversionTask& task, const AppSettings& settings) {
    int highest = 0;
    for (const CFileToBeJoin& f : *task.files) highest = std::max(highest, InputBitrateKbps(f.path));
    if (highest == 0) {
        task.bitrateKbps = RoundUpToBitrateTable(BitrateKbps(settings.bitrateIndex), task.outputRate);
        return FormatText("Bit rate: %u kbps, as set: no input has a lossy bit rate to match.", task.bitrateKbps);
    }
    task.bitrateKbps = RoundUpToBitrateTable(highest, task.outputRate);
    return FormatText("Bit rate: %u kbps, the highest among the inputs.", task.bitrateKbps);
}

}  // namespace velmora
