// A small table-driven reader of MPEG audio frames: the 4-byte header, the Layer III side
// information's main_data_begin, and the Xing/Info/VBRI header frame with its LAME extension.
// Everything works on bytes in memory and never reads past the length it is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "lame_enc/lame_crc16.h"  // LameCrc16, for the Info frames the copy writes

namespace velmora {

struct MpegFrameHeader {
    int version = 0;          // 1, 2, or 25 (MPEG-2.5)
    int layer = 0;            // 1, 2 or 3
    bool crc = false;         // a 16-bit CRC follows the header
    int bitrateIndex = 0;     // 0: free format
    int bitrateKbps = 0;
    int rateIndex = 0;
    uint32_t sampleRate = 0;
    bool padding = false;
    int mode = 0;             // 0 stereo, 1 joint stereo, 2 dual channel, 3 mono
    uint32_t length = 0;      // bytes of the whole frame; 0 for free format
    uint32_t samples = 0;     // sample frames (per channel) the frame decodes to

    uint32_t channels() const { return mode == 3 ? 1 : 2; }
    // Bytes of Layer III side information after the header (and CRC).
    uint32_t sideInfoSize() const;
    // Same stream kind: version, layer and sample rate.
    bool SameStream(const MpegFrameHeader& o) const {
        return version == o.version && layer == o.layer && sampleRate == o.sampleRate;
    }
};

// Parses the 4 bytes at `p` (n bytes available). False for anything that is no valid header
// (no sync, reserved version, layer, bit rate or rate index).
bool ParseMpegHeader(const uint8_t* p, size_t n, MpegFrameHeader& h);

// The 4 header bytes of a Layer III frame without CRC, padding or private bit.
void BuildMpegHeader(const MpegFrameHeader& h, uint8_t out[4]);

// The frame length for the header's fields (0 for free format).
uint32_t MpegFrameLength(int version, int layer, int bitrateKbps, uint32_t sampleRate, bool padding);
// The bit rate index of `kbps` for the version and layer, or 0 when it has none.
int MpegBitrateIndex(int version, int layer, int kbps);
// The bit rates of the version's and layer's table, index 1..14.
int MpegBitrate(int version, int layer, int index);

// A Layer III frame's main_data_begin (bytes borrowed from earlier frames), or -1 when the
// frame is too short to hold its side information.
int MainDataBegin(const uint8_t* frame, size_t n, const MpegFrameHeader& h);

// What a header frame (the first frame of a file written by an encoder) says.
struct XingHeader {
    bool present = false;   // a Xing, Info or VBRI frame: it holds no audio
    std::string id;         // "Xing", "Info" or "VBRI"
    uint32_t frames = 0;    // when given
    uint32_t bytes = 0;     // when given
    bool hasLame = false;   // a LAME extension (or its Lavc/Lavf twin) with delay and padding
    int delay = 0;          // encoder delay, sample frames
    int padding = 0;        // padding at the end, sample frames
};
XingHeader ParseXingFrame(const uint8_t* frame, size_t n, const MpegFrameHeader& h);

}  // namespace velmora
