// Segment-parallel encoding inside the encoder module. With the bit reservoir off every frame
// stands alone; only the filter bank's overlap and the psychoacoustic model's memory tie it to
// the audio before it. So the stream is cut into segments of whole frames, each encoded by an
// encoder of its own that first runs over a few frames of the audio before the segment (thrown
// away) and is fed a little audio after it, and the segments' frames are put back in order.
#pragma once

#include <lame/lame.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace velmora::lame_module {

class SegmentEncoder {
public:
    // Frames per segment, frames of pre-roll thrown away before a segment, and frames of
    // audio fed after it. Measured on a two-tone join against the single stream: with no
    // pre-roll the seams differ by up to -5 dBFS, one frame still by -10 dBFS, two frames
    // settle it (the decoded output then differs by at most 3 LSB anywhere, 112 dB SNR);
    // one frame of audio after the segment is enough, none is not. Both are taken twice over.
    static constexpr uint32_t kSegmentFrames = 128;
    static constexpr uint32_t kPrerollFrames = 4;
    static constexpr uint32_t kLookaheadFrames = 2;

    // `make` returns a configured encoder for one segment (no Info frame, reservoir off).
    // `frameSamples` is the sample frames per MPEG frame, `maxFrameBytes` the largest frame.
    SegmentEncoder(std::function<lame_global_flags*()> make, uint32_t channels, uint32_t threads,
                   uint32_t frameSamples, uint32_t maxFrameBytes);
    ~SegmentEncoder();
    SegmentEncoder(const SegmentEncoder&) = delete;
    SegmentEncoder& operator=(const SegmentEncoder&) = delete;

    // The output buffer the caller must give every call (the whole tail comes at the flush).
    uint32_t OutputCapacity() const;
    // Takes n sample frames and returns encoded bytes that are ready, in order. False when an
    // encoder failed.
    bool Encode(const float* left, const float* right, uint32_t n, uint8_t* out, uint32_t cap, uint32_t& bytes);
    // Encodes the rest and returns every remaining byte.
    bool Flush(uint8_t* out, uint32_t cap, uint32_t& bytes);

    uint64_t frames() const { return framesOut_; }
    uint64_t samplesIn() const { return samplesIn_; }

private:
    struct Job {
        uint32_t preroll = 0;
        uint32_t keep = 0;  // frames kept after the pre-roll; 0 keeps all (the last segment)
        bool last = false;
        std::vector<float> left;
        std::vector<float> right;
        std::vector<uint8_t> out;
        bool done = false;
        bool failed = false;
    };

    void Run(Job& job);
    void Worker();
    void Dispatch(bool last);
    // Moves finished segments, in order, to the ready bytes; waits for the oldest when `wait`.
    bool Collect(bool waitOldest);
    uint32_t Take(uint8_t* out, uint32_t cap);

    std::function<lame_global_flags*()> make_;
    const uint32_t channels_;
    const uint32_t frameSamples_;
    const uint32_t maxFrameBytes_;
    const size_t maxInFlight_;
    const uint32_t segmentFrames_;

    std::vector<float> left_;   // audio from global sample bufferStart_ on
    std::vector<float> right_;
    uint64_t bufferStart_ = 0;
    uint64_t nextFrame_ = 0;    // the first frame of the next segment
    uint64_t samplesIn_ = 0;
    uint64_t framesOut_ = 0;
    std::vector<uint8_t> ready_;
    size_t readyAt_ = 0;
    bool failed_ = false;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable doneSignal_;
    std::deque<std::shared_ptr<Job>> pending_;   // not yet started
    std::deque<std::shared_ptr<Job>> inFlight_;  // in stream order, started or not
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

// The encoder threads: VELMORA_ENCODER_THREADS when set (1 to 16), else the machine's hardware
// threads, at most 16.
uint32_t EncoderThreads();

}  // namespace velmora::lame_module
