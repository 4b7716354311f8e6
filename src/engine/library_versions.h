// The libraries the joins are made with, for the About box's credits.
#pragma once

#include <string>
#include <vector>

namespace velmora {

struct LibraryVersion {
    std::string name;
    std::string version;  // empty when the library could not be loaded
};

// libmpg123, SoX, TagLib, LAME (through lame_enc.so) and FFmpeg (through velmora_ffmpeg.so,
// which this loads), each with the version the program runs with where the library can tell
// it, else the one it was built against.
std::vector<LibraryVersion> EngineLibraryVersions();

}  // namespace velmora
