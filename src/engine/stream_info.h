// The stream step of the media information reader: what libmpg123 says about one MP3 file
// without decoding it (sampling rate and channels from the format query, the length from the
// length query). Shared by the file list and velmora-cli.
#pragma once

#include <cstdint>
#include <string>

typedef struct mpg123_handle_struct mpg123_handle;

namespace velmora {

struct StreamInfo {
    bool readable = false;      // the file opened and its output format is known
    uint32_t sampleRate = 0;    // Hz
    uint32_t channels = 0;
    uint64_t totalSamples = 0;  // length per channel × channels
    double duration = 0;        // seconds: totalSamples / (sampleRate × channels)
    int constantKbps = 0;       // a constant-bit-rate stream's bit rate as its frames say; else 0
    int layer = 0;              // the MPEG audio layer of the first frame (1, 2 or 3); 0 when unknown
    int averageKbps = 0;        // constantKbps, or a VBR stream's audio bytes over its length; 0: unknown
    std::string message;        // when not readable: "Trouble with mpg123: <decoder's text>"
};

class MediaFile;

// Reads the stream properties of `path` (UTF-8) on `handle`: open, format query, length
// query, close. The handle is left closed and can be used for the next file. A null handle
// gives an unreadable result with a message.
StreamInfo ReadStreamInfo(mpg123_handle* handle, const std::string& path);
// The same on a file already opened (the tag reader then reads the same open file).
StreamInfo ReadStreamInfo(mpg123_handle* handle, MediaFile& file);

// The same on a handle of its own, made with the library's defaults (its console notes off).
StreamInfo ReadStreamInfo(const std::string& path);

// "Trouble with mpg123: %s" with the decoder's text.
std::string StreamTroubleMessage(const char* decoderText);

// The decoder's text for a failed open, format query or read that returned `result` on
// `handle`. A handle keeps its last error code until the next one is set, so a stream that
// merely ends before its first frame (MPG123_DONE) would otherwise show whatever the handle's
// previous file left there; it gets the code a fresh handle gives for it instead. Every reader
// of a file (this probe and the join's decoder) reports through here, so one file gets one
// message.
std::string DecoderFailureText(mpg123_handle* handle, int result);

// Makes a decoder handle the way the file list makes its own: the library started once per
// process, then a handle with the default decoder that resyncs past damaged data of any
// length. Null on failure. `quiet` keeps the library's own notes off stderr. Free it with
// mpg123_delete.
mpg123_handle* NewStreamInfoHandle(bool quiet);

}  // namespace velmora
