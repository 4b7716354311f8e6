// Stand-ins for lame_enc.so for the engine's tests, built in several kinds:
//   STUB_NO_INIT        - beInitStream is not exported at all
//   STUB_NO_INFOTAG     - beWriteInfoTag is not exported (the caller falls back to beWriteVBRHeader)
//   STUB_FAIL_ENCODE    - every beEncodeChunkFloatS16NI call fails with code 5
//   STUB_FAIL_DEINIT    - beDeinitStream fails with code 7
//   (none)              - every call succeeds
// Instead of audio, a stub writes one byte per call and records every call with its
// arguments; the header call writes that record to "<output path>.calls", so a test can check
// what the caller passed and in which order.
#include "lame_enc/bladeenc.h"

#include <cstdarg>
#include <cstdio>
#include <string>

using namespace velmora::bladeenc;

namespace {
std::string g_log;

void Note(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Note(const char* format, ...) {
    char line[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    g_log += line;
    g_log += '\n';
}

void Save(const char* path) {
    if (FILE* f = std::fopen((std::string(path) + ".calls").c_str(), "wb")) {
        std::fputs(g_log.c_str(), f);
        std::fclose(f);
    }
}
}  // namespace

extern "C" {

#ifndef STUB_NO_INIT
__attribute__((visibility("default"))) BE_ERR beInitStream(BE_CONFIG* config, uint32_t* samples, uint32_t* bufferSize,
                                                           HBE_STREAM* stream, uint32_t a1, uint32_t a2,
                                                           const wchar_t* s1, const wchar_t*, const wchar_t*,
                                                           const wchar_t*, const wchar_t*, const wchar_t*,
                                                           const wchar_t* s7, uint32_t a3, uint32_t a4, uint32_t a5,
                                                           uint32_t a6, uint32_t a7, uint32_t a8) {
    g_log.clear();
    const auto& l = config->LHV1;
    Note("init config=%u version=%u size=%u rate=%u resample=%u mode=%d kbps=%u preset=%d mpeg=%u vbrheader=%d "
         "vbr=%d nores=%d quality=%04x",
         config->dwConfig, l.dwStructVersion, l.dwStructSize, l.dwSampleRate, l.dwReSampleRate, l.nMode,
         l.dwBitrate, l.nPreset, l.dwMpegVersion, l.bWriteVBRHeader, l.bEnableVBR, l.bNoRes, l.nQuality);
    Note("extra %u %u %d %d %u %u %u %u %u %u", a1, a2, s1 && !*s1, s7 && !*s7, a3, a4, a5, a6, a7, a8);
    *samples = l.nMode == BE_MP3_MODE_MONO ? 1152 : 2304;
    *bufferSize = 8640;
    *stream = 42;
    return BE_ERR_SUCCESSFUL;
}
#endif

__attribute__((visibility("default"))) BE_ERR beEncodeChunkFloatS16NI(HBE_STREAM stream, uint32_t frames,
                                                                      const float* left, const float* right,
                                                                      uint8_t* output, uint32_t* outputBytes) {
    if (frames > 0)
        Note("encode %llu %u %.4f %s %.4f", static_cast<unsigned long long>(stream), frames, left[0],
             right ? std::to_string(right[0]).c_str() : "null", left[frames - 1]);
    else
        Note("encode %llu 0", static_cast<unsigned long long>(stream));
#ifdef STUB_FAIL_ENCODE
    *outputBytes = 0;
    return 5;
#else
    output[0] = 'E';
    *outputBytes = 1;
    return BE_ERR_SUCCESSFUL;
#endif
}

__attribute__((visibility("default"))) BE_ERR beDeinitStream(HBE_STREAM stream, uint8_t* output, uint32_t* outputBytes) {
    Note("deinit %llu", static_cast<unsigned long long>(stream));
#ifdef STUB_FAIL_DEINIT
    *outputBytes = 0;
    return 7;
#else
    output[0] = 'D';
    *outputBytes = 1;
    return BE_ERR_SUCCESSFUL;
#endif
}

__attribute__((visibility("default"))) BE_ERR beCloseStream(HBE_STREAM stream) {
    Note("close %llu", static_cast<unsigned long long>(stream));
    return BE_ERR_SUCCESSFUL;
}

#ifndef STUB_NO_INFOTAG
__attribute__((visibility("default"))) BE_ERR beWriteInfoTag(HBE_STREAM stream, const char* path) {
    Note("infotag %llu %s", static_cast<unsigned long long>(stream), path);
    Save(path);
    return BE_ERR_SUCCESSFUL;
}
#endif

__attribute__((visibility("default"))) BE_ERR beWriteVBRHeader(const char* path) {
    Note("vbrheader %s", path);
    Save(path);
    return BE_ERR_SUCCESSFUL;
}

}  // extern "C"
