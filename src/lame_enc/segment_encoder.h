// Segment-parallel encoding inside the encoder module. With the bit reservoir off every frame
// stands alone; only the filter bank's overlap and the psychoacoustic model's memory tie it to
// the audio before it. So the stream is cut into segments of whole frames, encoded side by side
// on a few encoders (lanes): before each segment a lane runs over a few frames of the audio
// just before it (thrown away), after it a little of the audio after it, and the segments'
// frames are put back in order.
#pragma once

#include <lame/lame.h>

#include <atomic>
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
    // Audio thrown away before a segment, in samples (whole frames of it). Measured against
    // the single stream on sweeps, clicks, noise and chords at every rate, qualities 2 to 9:
    // 1152 samples of pre-roll leave seams (up to 28 dB worse locally), 1728 settle the
    // 576-sample frames and 2304 the 1152-sample ones (none of the numbers in between is a
    // whole frame), after silence as after a jump in the audio. Twice 1728 is taken: three
    // frames of 1152 samples, six of 576.
    static constexpr uint32_t kPrerollSamples = 3456;
    // Frames of audio fed after a segment: libmp3lame writes a frame only once it has the
    // audio after it. One is enough at every rate; a segment short of its frames fails loudly.
    static constexpr uint32_t kLookaheadFrames = 2;

    // Frames per segment: 256 of 1152 samples (6.7 s at 44.1 kHz) keep the pre-roll and the
    // look-ahead at 2 % of the work; with many threads (many segments in flight) shorter ones
    // keep memory in bounds.
    static constexpr uint32_t SegmentFrames(uint32_t threads, uint32_t frameSamples) {
        const uint32_t samples = threads > 8 ? 64 * 1152 : threads > 4 ? 128 * 1152 : 256 * 1152;
        return samples / frameSamples;
    }

    // `make` returns a configured encoder for a lane (no Info frame, reservoir off).
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
        size_t lane = 0;
        uint32_t preroll = 0;
        uint32_t keep = 0;  // frames kept after the pre-roll; 0 keeps all (the last segment)
        bool last = false;
        uint32_t frames = 0;  // frames in `out`
        std::vector<float> left;
        std::vector<float> right;
        std::vector<uint8_t> out;
        bool done = false;
        bool failed = false;
    };

    // An encoder that goes on from segment to segment, and what it has written that is not
    // yet split into frames.
    struct Lane {
        lame_global_flags* gf = nullptr;
        uint64_t fed = 0;      // frames of audio fed to gf
        uint64_t written = 0;  // frames gf has written
        std::vector<uint8_t> bytes;
        std::vector<uint8_t> chunk;
    };

    // Encodes a segment on the lane's encoder; false when libmp3lame failed.
    bool Run(Job& job, Lane& lane);
    void Worker();
    // Moves the lane's whole frames out, the ones in [keepFrom, keepTo) to the segment.
    static bool Split(Lane& lane, Job& job, uint64_t keepFrom, uint64_t keepTo);
    // An empty job for a segment with `preroll` frames before it, buffers from a spare one.
    std::shared_ptr<Job> NewJob(uint32_t preroll);
    // Hands filling_ to the workers and starts its successor.
    void Dispatch(bool last);
    // Waits for the oldest segment when as many as there are lanes are in flight.
    bool MakeRoom();
    // Moves finished segments, in order, to the ready bytes; waits for the oldest when `wait`.
    bool Collect(bool waitOldest);
    uint32_t Take(uint8_t* out, uint32_t cap);

    std::function<lame_global_flags*()> make_;
    const uint32_t channels_;
    const uint32_t frameSamples_;
    const uint32_t maxFrameBytes_;
    const size_t maxInFlight_;
    const uint32_t segmentFrames_;
    const uint32_t prerollFrames_;

    // The segment being filled: the caller's audio goes straight into it, and the frames its
    // successor shares with it (pre-roll and look-ahead) are copied over when it goes out.
    std::shared_ptr<Job> filling_;
    uint64_t samplesIn_ = 0;
    uint64_t framesOut_ = 0;
    std::vector<uint8_t> ready_;
    size_t readyAt_ = 0;
    bool failed_ = false;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable doneSignal_;
    std::deque<std::shared_ptr<Job>> pending_;   // not yet started
    // Segment i is encoded on lane i % lanes_.size(), whichever worker runs it: a segment's
    // bytes do not depend on which worker was free first. There are as many lanes as segments
    // in flight, so a segment's lane has always finished the one before it.
    std::vector<Lane> lanes_;
    uint64_t dispatched_ = 0;
    std::deque<std::shared_ptr<Job>> inFlight_;  // in stream order, started or not
    std::vector<std::shared_ptr<Job>> spare_;    // collected, their buffers kept
    // Set (under the mutex, so no worker misses the wake-up) when the encoder goes away; a
    // segment being encoded stops at its next few frames.
    std::atomic<bool> stopping_{false};
    std::vector<std::thread> workers_;
};

// The encoder threads: VELMORA_ENCODER_THREADS when set (1 to 16), else the machine's hardware
// threads, at most 16.
uint32_t EncoderThreads();

}  // namespace velmora::lame_module
