// The AAC decoder configuration of an MP4 file's first sound track, read from the index: the
// channel count and rate the decoder will give, which the sample entry's own fields do not
// always say (muxers write 2 channels there for a mono stream).
#pragma once

#include <cstdint>

namespace velmora {

class MediaFile;

struct Mp4AacConfig {
    int objectType = 0;     // 2: AAC LC; 5 and 29 carry SBR (the decoder doubles the rate)
    int sampleRate = 0;     // Hz, of the core stream
    int channelConfig = 0;  // 1 mono, 2 stereo, 3..7 more; 0: in a program config element
};

// False when `file` has no sound track with an AAC configuration that can be read.
bool ReadMp4AacConfig(MediaFile& file, Mp4AacConfig& config);

}  // namespace velmora
