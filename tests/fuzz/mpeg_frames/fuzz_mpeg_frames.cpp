// Feeds arbitrary bytes to the copy join's frame walk and checks what it reports: every frame
// it hands out is a whole, valid Layer I-III frame inside the input, of one stream, in order and
// without overlap, and its counts add up.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "engine/copy_join.h"
#include "engine/mpeg_frame.h"

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const uint8_t* lastEnd = data;
    uint64_t frames = 0;
    uint64_t bytes = 0;
    velmora::MpegFrameHeader stream;
    const velmora::CopyInput info =
        velmora::WalkMp3Frames(data, size, [&](const uint8_t* frame, const velmora::MpegFrameHeader& h) {
            Check(frame >= lastEnd && frame + h.length <= data + size);
            velmora::MpegFrameHeader again;
            Check(velmora::ParseMpegHeader(frame, h.length, again) && again.length == h.length && h.length > 0);
            if (frames == 0) stream = h;
            Check(h.SameStream(stream));
            // Whatever the frame holds, reading its side information and header fields stays inside it.
            (void)velmora::MainDataBegin(frame, h.length, h);
            (void)velmora::ParseXingFrame(frame, h.length, h);
            lastEnd = frame + h.length;
            ++frames;
            bytes += h.length;
        });
    Check(info.frames == frames && info.bytes == bytes);
    Check(info.delay >= 0 && info.delay <= 4095 && info.padding >= 0 && info.padding <= 4095);

    // The copy's walk against a plan (the first bytes' header, when they hold one): every
    // frame it hands out is of the plan's version, layer, rate and channel count.
    velmora::MpegFrameHeader plan;
    if (size >= 4 && velmora::ParseMpegHeader(data, 4, plan)) {
        uint64_t planned = 0;
        const velmora::CopyInput again = velmora::WalkMp3Frames(
            data, size,
            [&](const uint8_t* frame, const velmora::MpegFrameHeader& h) {
                Check(frame >= data && frame + h.length <= data + size && h.length > 0);
                Check(h.SameStream(plan) && h.channels() == plan.channels());
                ++planned;
            },
            &plan);
        Check(again.frames == planned);
    }
    return 0;
}
