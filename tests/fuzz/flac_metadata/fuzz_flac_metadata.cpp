// Feeds arbitrary bytes to our FLAC parser as a .flac file, and its Vorbis comment parser to the
// raw bytes. Nothing may crash or read out of bounds; a file the parser accepts must give what
// TagLib's FLAC reader gives: the stream figures and every comment field, in order.
#include "engine/flac_metadata.h"
#include "engine/media_file.h"
#include "fuzz_input_file.h"

#include <taglib/flacfile.h>
#include <taglib/tpropertymap.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

using namespace velmora;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<FlacComment> comments;
    ParseVorbisComment(data, size, comments);

    const std::string& path = fuzzing::WriteInputFile(data, size, ".flac");
    MediaFile file(path);
    FlacMetadata ours;
    if (!ReadFlacMetadata(file, ours)) return 0;
    if (ours.sampleRate == 0 || ours.sampleFrames == 0 || ours.channels < 1 || ours.channels > 8 || ours.lengthMs <= 0)
        std::abort();

    TagLib::FLAC::File theirs(path.c_str(), true, TagLib::AudioProperties::Fast);
    const TagLib::FLAC::Properties* p = theirs.audioProperties();
    if (!theirs.isValid() || !p) std::abort();
    if (static_cast<uint32_t>(p->sampleRate()) != ours.sampleRate || static_cast<uint32_t>(p->channels()) != ours.channels ||
        p->sampleFrames() != ours.sampleFrames || p->lengthInMilliseconds() != ours.lengthMs || p->bitrate() != ours.bitrateKbps)
        std::abort();
    std::map<std::string, std::vector<std::string>> mine, taglib;
    for (const FlacComment& c : ours.comments) {
        if (c.value.empty()) std::abort();
        mine[c.name].push_back(c.value);
    }
    for (const auto& [name, values] : theirs.properties())
        for (const TagLib::String& value : values) taglib[name.to8Bit(true)].push_back(value.to8Bit(true));
    if (mine != taglib) std::abort();
    return 0;
}
