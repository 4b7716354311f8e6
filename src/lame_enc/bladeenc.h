// The BladeEnc-style encoder interface of lame_enc.so: the configuration record, the result
// codes and the entry-point types. One header for both sides, the module that exports the
// entry points and the engine that loads it at run time, so the two can never disagree on
// the record's layout or a call's signature. Plain C++, no Qt.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora::bladeenc {

using BE_ERR = uint32_t;

inline constexpr BE_ERR BE_ERR_SUCCESSFUL = 0x00000000;
inline constexpr BE_ERR BE_ERR_INVALID_FORMAT = 0x00000001;
inline constexpr BE_ERR BE_ERR_INVALID_FORMAT_PARAMETERS = 0x00000002;
inline constexpr BE_ERR BE_ERR_NO_MORE_HANDLES = 0x00000003;
inline constexpr BE_ERR BE_ERR_INVALID_HANDLE = 0x00000004;
inline constexpr BE_ERR BE_ERR_BUFFER_TOO_SMALL = 0x00000005;

// dwConfig: only the LAME form of the record is understood.
inline constexpr uint32_t BE_CONFIG_MP3 = 0;
inline constexpr uint32_t BE_CONFIG_LAME = 256;

// nMode
inline constexpr int32_t BE_MP3_MODE_STEREO = 0;
inline constexpr int32_t BE_MP3_MODE_JSTEREO = 1;
inline constexpr int32_t BE_MP3_MODE_DUALCHANNEL = 2;
inline constexpr int32_t BE_MP3_MODE_MONO = 3;

// dwMpegVersion
inline constexpr uint32_t MPEG2 = 0;
inline constexpr uint32_t MPEG1 = 1;

inline constexpr int32_t LQP_NOPRESET = -1;

inline constexpr uint32_t CURRENT_STRUCT_VERSION = 1;
inline constexpr uint32_t CURRENT_STRUCT_SIZE = 331;

// nQuality carries its own check: the high byte is the one's complement of the low byte,
// which holds the quality 0 (best) ... 9 (fastest).
constexpr uint16_t MakeQuality(uint8_t quality) {
    return static_cast<uint16_t>(quality | (static_cast<uint16_t>(static_cast<uint8_t>(~quality)) << 8));
}

#pragma pack(push, 1)
// The LHV1 form of the configuration record: 331 bytes, no gaps, little-endian.
struct BE_LHV1 {
        uint32_t dwStructVersion;
        uint32_t dwStructSize;
        uint32_t dwSampleRate;
        uint32_t dwReSampleRate;
        int32_t nMode;
        uint32_t dwBitrate;
        uint32_t dwMaxBitrate;
        int32_t nPreset;
        uint32_t dwMpegVersion;
        uint32_t dwPsyModel;
        uint32_t dwEmphasis;
        int32_t bPrivate;
        int32_t bCRC;
        int32_t bCopyright;
        int32_t bOriginal;
        int32_t bWriteVBRHeader;
        int32_t bEnableVBR;
        int32_t nVBRQuality;
        uint32_t dwVbrAbr_bps;
        int32_t nVbrMethod;
        int32_t bNoRes;
        int32_t bStrictIso;
        uint16_t nQuality;
        uint8_t btReserved[237];
};
struct BE_CONFIG {
    uint32_t dwConfig;
    BE_LHV1 LHV1;
};
#pragma pack(pop)

static_assert(sizeof(BE_CONFIG) == 331, "the LHV1 record is 331 bytes");
static_assert(offsetof(BE_CONFIG, dwConfig) == 0);
static_assert(offsetof(BE_CONFIG, LHV1) == 4);
static_assert(offsetof(BE_CONFIG, LHV1) + offsetof(BE_LHV1, dwStructVersion) == 4);
static_assert(offsetof(BE_CONFIG, LHV1) + offsetof(BE_LHV1, dwStructSize) == 8);
static_assert(offsetof(BE_CONFIG, LHV1) + offsetof(BE_LHV1, dwSampleRate) == 12);
static_assert(offsetof(BE_CONFIG, LHV1) + offsetof(BE_LHV1, dwReSampleRate) == 16);
static_assert(offsetof(BE_CONFIG, LHV1) + offsetof(BE_LHV1, nMode) == 20);
static_assert(offsetof(BE_CONFIG, LHV1) + offsetof(BE_LHV1, dwBitrate) == 24);
static_assert(offsetof(BE_CONFIG, LHV1) + offsetof(BE_LHV1, dwMaxBitrate) == 28);
static_assert(offsetof(BE_CONFIG, LHV1) + offsetof(BE_LHV1, nPreset) == 32);
static_assert(offsetof(BE_CONFIG, LHV1) + offsetof(BE_LHV1, dwMpegVersion) == 36);
static_assert(offsetof(BE_CONFIG, LHV1) + offsetof(BE_LHV1, dwPsyModel) == 40);
static_assert(offsetof(BE_CONFIG, LHV1) + offsetof(BE_LHV1, dwEmphasis) == 44);
static_assert(offsetof(BE_CONFIG, LHV1) + offsetof(BE_LHV1, bPrivate) == 48);
static_assert(offsetof(BE_CONFIG, LHV1) + offsetof(BE_LHV1, bCRC) == 52);
static_assert(offsetof(BE_CONFIG, LHV1) + offsetof(BE_LHV1, bCopyright) == 56);
static_assert(offsetof(BE_CONFIG, LHV1) + offsetof(BE_LHV1, bOriginal) == 60);
static_assert(offsetof(BE_CONFIG, LHV1) + offsetof(BE_LHV1, bWriteVBRHeader) == 64);
static_assert(offsetof(BE_CONFIG, LHV1) + offsetof(BE_LHV1, bEnableVBR) == 68);
static_assert(offsetof(BE_CONFIG, LHV1) + offsetof(BE_LHV1, nVBRQuality) == 72);
static_assert(offsetof(BE_CONFIG, LHV1) + offsetof(BE_LHV1, dwVbrAbr_bps) == 76);
static_assert(offsetof(BE_CONFIG, LHV1) + offsetof(BE_LHV1, nVbrMethod) == 80);
static_assert(offsetof(BE_CONFIG, LHV1) + offsetof(BE_LHV1, bNoRes) == 84);
static_assert(offsetof(BE_CONFIG, LHV1) + offsetof(BE_LHV1, bStrictIso) == 88);
static_assert(offsetof(BE_CONFIG, LHV1) + offsetof(BE_LHV1, nQuality) == 92);
static_assert(offsetof(BE_CONFIG, LHV1) + offsetof(BE_LHV1, btReserved) == 94);

// The record travels as raw bytes, so the layout above is only right on little-endian hosts.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the record is little-endian");

// A stream handle: an opaque number the module hands out; 0 is never a valid stream.
using HBE_STREAM = uint64_t;

// The extended form of beInitStream: the record, the three out values, then 15 arguments
// the module ignores (two numbers, seven texts, six numbers). Spelled out in full so that the
// caller and the module agree on one function type.
using BeInitStreamFn = BE_ERR (*)(BE_CONFIG* config, uint32_t* samplesPerChunk, uint32_t* outputBufferSize,
                                  HBE_STREAM* stream, uint32_t, uint32_t, const wchar_t*, const wchar_t*,
                                  const wchar_t*, const wchar_t*, const wchar_t*, const wchar_t*,
                                  const wchar_t*, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t);
// Frames per channel in this call; right is null for a mono stream.
using BeEncodeChunkFloatS16NIFn = BE_ERR (*)(HBE_STREAM stream, uint32_t frames, const float* left,
                                             const float* right, uint8_t* output, uint32_t* outputBytes);
using BeDeinitStreamFn = BE_ERR (*)(HBE_STREAM stream, uint8_t* output, uint32_t* outputBytes);

// What beVersion fills: the module's own version, then the encoder's (LAME 3.100 is major 3,
// minor 100), its date and home page.
struct BE_VERSION {
    uint8_t byDLLMajorVersion;
    uint8_t byDLLMinorVersion;
    uint8_t byMajorVersion;
    uint8_t byMinorVersion;
    uint8_t byDay;
    uint8_t byMonth;
    uint16_t wYear;
    char zHomepage[129];
    uint8_t byAlphaLevel;
    uint8_t byBetaLevel;
    uint8_t byMMXEnabled;
    uint8_t btReserved[125];
};
using BeVersionFn = void (*)(BE_VERSION* version);
using BeCloseStreamFn = BE_ERR (*)(HBE_STREAM stream);
// Paths in the system's 8-bit encoding (UTF-8 here).
using BeWriteInfoTagFn = BE_ERR (*)(HBE_STREAM stream, const char* path);
using BeWriteVBRHeaderFn = BE_ERR (*)(const char* path);

inline constexpr const char* kModuleFileName = "lame_enc.so";

}  // namespace velmora::bladeenc

// The exported entry points, with C names so dlsym finds them by their plain names.
extern "C" {
velmora::bladeenc::BE_ERR beInitStream(velmora::bladeenc::BE_CONFIG* config, uint32_t* samplesPerChunk,
                                       uint32_t* outputBufferSize, velmora::bladeenc::HBE_STREAM* stream,
                                       uint32_t, uint32_t, const wchar_t*, const wchar_t*, const wchar_t*,
                                       const wchar_t*, const wchar_t*, const wchar_t*, const wchar_t*,
                                       uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t);
velmora::bladeenc::BE_ERR beEncodeChunkFloatS16NI(velmora::bladeenc::HBE_STREAM stream, uint32_t frames,
                                                  const float* left, const float* right, uint8_t* output,
                                                  uint32_t* outputBytes);
velmora::bladeenc::BE_ERR beDeinitStream(velmora::bladeenc::HBE_STREAM stream, uint8_t* output,
                                         uint32_t* outputBytes);
velmora::bladeenc::BE_ERR beCloseStream(velmora::bladeenc::HBE_STREAM stream);
velmora::bladeenc::BE_ERR beWriteInfoTag(velmora::bladeenc::HBE_STREAM stream, const char* path);
velmora::bladeenc::BE_ERR beWriteVBRHeader(const char* path);
void beVersion(velmora::bladeenc::BE_VERSION* version);
}
