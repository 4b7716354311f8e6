// Stand-ins for lame_enc.so that misbehave in one chosen way, so the engine's handling of a
// broken encoder module can be tested. Which way is chosen at compile time:
//   STUB_NO_INIT        - beInitStream is not exported at all
//   STUB_FAIL_ENCODE    - every beEncodeChunkFloatS16NI call fails with code 5
//   STUB_FAIL_DEINIT    - beDeinitStream fails with code 7
// The stubs write a recognisable byte per call instead of audio and record the calls in a
// side file named by the output path + ".calls", so a test can check the order of calls.
#include "lame_enc/bladeenc.h"

#include <cstdio>
#include <string>

using namespace velmora::bladeenc;

namespace {
std::string g_log;  // calls made on the current stream
void Note(const char* what) { g_log += what; g_log += '\n'; }
}  // namespace

extern "C" {

#ifndef STUB_NO_INIT
__attribute__((visibility("default"))) BE_ERR beInitStream(BE_CONFIG* config, uint32_t* samples, uint32_t* bufferSize,
                                                           HBE_STREAM* stream, uint32_t, uint32_t, const wchar_t*,
                                                           const wchar_t*, const wchar_t*, const wchar_t*,
                                                           const wchar_t*, const wchar_t*, const wchar_t*, uint32_t,
                                                           uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) {
    g_log.clear();
    Note("init");
    *samples = config->LHV1.nMode == BE_MP3_MODE_MONO ? 1152 : 2304;
    *bufferSize = 8640;
    *stream = 1;
    return BE_ERR_SUCCESSFUL;
}
#endif

__attribute__((visibility("default"))) BE_ERR beEncodeChunkFloatS16NI(HBE_STREAM, uint32_t, const float*, const float*,
                                                                      uint8_t* output, uint32_t* outputBytes) {
    Note("encode");
#ifdef STUB_FAIL_ENCODE
    *outputBytes = 0;
    return 5;
#else
    output[0] = 'E';
    *outputBytes = 1;
    return BE_ERR_SUCCESSFUL;
#endif
}

__attribute__((visibility("default"))) BE_ERR beDeinitStream(HBE_STREAM, uint8_t* output, uint32_t* outputBytes) {
    Note("deinit");
#ifdef STUB_FAIL_DEINIT
    *outputBytes = 0;
    return 7;
#else
    output[0] = 'D';
    *outputBytes = 1;
    return BE_ERR_SUCCESSFUL;
#endif
}

__attribute__((visibility("default"))) BE_ERR beCloseStream(HBE_STREAM) {
    Note("close");
    return BE_ERR_SUCCESSFUL;
}

__attribute__((visibility("default"))) BE_ERR beWriteInfoTag(HBE_STREAM, const char* path) {
    Note("infotag");
    if (FILE* f = std::fopen((std::string(path) + ".calls").c_str(), "wb")) {
        std::fputs(g_log.c_str(), f);
        std::fclose(f);
    }
    return BE_ERR_SUCCESSFUL;
}

__attribute__((visibility("default"))) BE_ERR beWriteVBRHeader(const char*) {
    Note("vbrheader");
    return BE_ERR_SUCCESSFUL;
}

}  // extern "C"
