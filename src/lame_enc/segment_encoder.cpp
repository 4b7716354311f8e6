#include "lame_enc/segment_encoder.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

namespace velmora::lame_module {

namespace {

// The length of the Layer III frame whose header is at p, 0 when it is none.
uint32_t FrameLength(const uint8_t* p, size_t n) {
    if (n < 4 || p[0] != 0xFF || (p[1] & 0xE0) != 0xE0) return 0;
    const int version = (p[1] >> 3) & 3;  // 3: MPEG-1, 2: MPEG-2, 0: MPEG-2.5
    const int bi = p[2] >> 4, si = (p[2] >> 2) & 3;
    if (version == 1 || ((p[1] >> 1) & 3) != 1 || bi == 0 || bi == 15 || si == 3) return 0;
    static const int kbps1[] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
    static const int kbps2[] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};
    static const int rates[] = {44100, 48000, 32000};
    const int rate = rates[si] / (version == 3 ? 1 : version == 2 ? 2 : 4);
    const int kbps = version == 3 ? kbps1[bi] : kbps2[bi];
    return static_cast<uint32_t>((version == 3 ? 144 : 72) * kbps * 1000 / rate + ((p[2] >> 1) & 1));
}

}  // namespace

uint32_t EncoderThreads() {
    if (const char* v = std::getenv("VELMORA_ENCODER_THREADS"); v && *v) {
        char* end = nullptr;
        const long n = std::strtol(v, &end, 10);
        if (end && *end == '\0' && n >= 1) return static_cast<uint32_t>(std::min(n, 16L));
    }
    const unsigned hw = std::thread::hardware_concurrency();
    return std::clamp(hw == 0 ? 1u : hw, 1u, 16u);
}

SegmentEncoder::SegmentEncoder(std::function<lame_global_flags*()> make, uint32_t channels, uint32_t threads,
                               uint32_t frameSamples, uint32_t maxFrameBytes)
    : make_(std::move(make)),
      channels_(channels),
      frameSamples_(frameSamples),
      maxFrameBytes_(maxFrameBytes),
      // One segment per thread and two more: every core stays busy while the oldest is being
      // handed out, and memory has a bound whatever the length of the stream.
      maxInFlight_(static_cast<size_t>(threads) + 2),
      // Many threads hold many segments at once: shorter ones keep memory in bounds (the
      // pre-roll then costs 6 % instead of 3 %).
      segmentFrames_(threads > 8 ? kSegmentFrames / 2 : kSegmentFrames) {
    for (uint32_t i = 0; i < threads; ++i) workers_.emplace_back([this] { Worker(); });
}

SegmentEncoder::~SegmentEncoder() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        pending_.clear();
    }
    wake_.notify_all();
    for (std::thread& t : workers_) t.join();
}

uint32_t SegmentEncoder::OutputCapacity() const {
    // Every segment in flight, the last one with its tail, and what was ready but not yet taken.
    const uint64_t frames = (maxInFlight_ + 3) * (segmentFrames_ + kLookaheadFrames + 4);
    return static_cast<uint32_t>(std::min<uint64_t>(frames * maxFrameBytes_, 0x7FFFFFFF));
}

void SegmentEncoder::Run(Job& job) {
    lame_global_flags* gf = make_();
    if (!gf) {
        job.failed = true;
        return;
    }
    const size_t n = job.left.size();
    const float* right = channels_ == 2 ? job.right.data() : job.left.data();
    // Fed a few frames at a time: libmp3lame allocates and clears input buffers the size of
    // each call, and a whole segment at once made that (with the page faults and the returns
    // of the memory to the system) a fifth of the work of two threads.
    const size_t piece = static_cast<size_t>(frameSamples_) * 8;
    std::vector<uint8_t> out;
    out.reserve(n * 5 / 4 + 7200 + 2 * maxFrameBytes_);
    std::vector<uint8_t> chunk(piece * 5 / 4 + 7200 + 2 * maxFrameBytes_);
    int got = 0;
    for (size_t at = 0; at < n && got >= 0; at += piece) {
        const size_t m = std::min(piece, n - at);
        got = lame_encode_buffer_float(gf, job.left.data() + at, right + at, static_cast<int>(m), chunk.data(),
                                       static_cast<int>(chunk.size()));
        if (got > 0) out.insert(out.end(), chunk.begin(), chunk.begin() + got);
    }
    // The audio fed after a segment is enough for libmp3lame to have written all of the
    // segment's frames; only the last segment is flushed, with the stream's end padding.
    const int flushed = got < 0 ? -1 : job.last ? lame_encode_flush(gf, chunk.data(), static_cast<int>(chunk.size())) : 0;
    lame_close(gf);
    if (got < 0 || flushed < 0) {
        job.failed = true;
        return;
    }
    out.insert(out.end(), chunk.begin(), chunk.begin() + flushed);
    // Keeps the frames after the pre-roll: the ones a single encoder writes at these places.
    size_t at = 0;
    uint32_t index = 0;
    while (at < out.size()) {
        const uint32_t length = FrameLength(out.data() + at, out.size() - at);
        if (length == 0 || at + length > out.size()) {
            job.failed = true;
            return;
        }
        if (index >= job.preroll && (job.keep == 0 || index < job.preroll + job.keep))
            job.out.insert(job.out.end(), out.begin() + static_cast<long>(at), out.begin() + static_cast<long>(at + length));
        at += length;
        ++index;
    }
    if (job.keep != 0 && index < job.preroll + job.keep) job.failed = true;
    job.left = {};
    job.right = {};
}

void SegmentEncoder::Worker() {
    for (;;) {
        std::shared_ptr<Job> job;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !pending_.empty(); });
            if (stopping_) return;
            job = pending_.front();
            pending_.pop_front();
        }
        Run(*job);
        {
            std::lock_guard lock(mutex_);
            job->done = true;
        }
        doneSignal_.notify_all();
    }
}

void SegmentEncoder::Dispatch(bool last) {
    auto job = std::make_shared<Job>();
    const uint64_t first = nextFrame_;
    job->preroll = static_cast<uint32_t>(std::min<uint64_t>(first, kPrerollFrames));
    job->last = last;
    job->keep = last ? 0 : segmentFrames_;
    const uint64_t from = (first - job->preroll) * frameSamples_;
    const uint64_t end = bufferStart_ + left_.size();
    const uint64_t to = last ? end : std::min(end, (first + segmentFrames_ + kLookaheadFrames) * frameSamples_);
    const auto b = static_cast<long>(from - bufferStart_), e = static_cast<long>(to - bufferStart_);
    job->left.assign(left_.begin() + b, left_.begin() + e);
    if (channels_ == 2) job->right.assign(right_.begin() + b, right_.begin() + e);
    nextFrame_ += segmentFrames_;
    // What the next segment's pre-roll needs stays; the rest goes.
    const uint64_t keepFrom = std::min(end, (nextFrame_ - std::min<uint64_t>(nextFrame_, kPrerollFrames)) * frameSamples_);
    if (keepFrom > bufferStart_) {
        const auto drop = static_cast<long>(keepFrom - bufferStart_);
        left_.erase(left_.begin(), left_.begin() + drop);
        if (channels_ == 2) right_.erase(right_.begin(), right_.begin() + drop);
        bufferStart_ = keepFrom;
    }
    {
        std::lock_guard lock(mutex_);
        pending_.push_back(job);
        inFlight_.push_back(job);
    }
    wake_.notify_one();
}

bool SegmentEncoder::Collect(bool waitOldest) {
    std::unique_lock lock(mutex_);
    if (waitOldest && !inFlight_.empty())
        doneSignal_.wait(lock, [this] { return inFlight_.front()->done; });
    while (!inFlight_.empty() && inFlight_.front()->done) {
        std::shared_ptr<Job> job = inFlight_.front();
        inFlight_.pop_front();
        if (job->failed) failed_ = true;
        if (readyAt_ > 0 && readyAt_ == ready_.size()) {
            ready_.clear();
            readyAt_ = 0;
        }
        ready_.insert(ready_.end(), job->out.begin(), job->out.end());
        for (size_t at = 0; at < job->out.size();) {
            const uint32_t length = FrameLength(job->out.data() + at, job->out.size() - at);
            if (length == 0) break;
            at += length;
            ++framesOut_;
        }
    }
    return !failed_;
}

uint32_t SegmentEncoder::Take(uint8_t* out, uint32_t cap) {
    const size_t n = std::min<size_t>(cap, ready_.size() - readyAt_);
    if (n > 0) std::memcpy(out, ready_.data() + readyAt_, n);
    readyAt_ += n;
    if (readyAt_ == ready_.size()) {
        ready_.clear();
        readyAt_ = 0;
    }
    return static_cast<uint32_t>(n);
}

bool SegmentEncoder::Encode(const float* left, const float* right, uint32_t n, uint8_t* out, uint32_t cap,
                            uint32_t& bytes) {
    bytes = 0;
    left_.insert(left_.end(), left, left + n);
    if (channels_ == 2) right_.insert(right_.end(), right, right + n);
    samplesIn_ += n;
    const uint64_t end = bufferStart_ + left_.size();
    // A segment goes out once the audio after it (the encoder's look-ahead) is there too.
    while (end >= (nextFrame_ + segmentFrames_ + kLookaheadFrames) * frameSamples_) {
        // Memory stays bounded: at most maxInFlight_ segments; the oldest is waited for.
        bool full;
        {
            std::lock_guard lock(mutex_);
            full = inFlight_.size() >= maxInFlight_;
        }
        if (full && !Collect(true)) return false;
        Dispatch(false);
    }
    if (!Collect(false)) return false;
    bytes = Take(out, cap);
    return true;
}

bool SegmentEncoder::Flush(uint8_t* out, uint32_t cap, uint32_t& bytes) {
    bytes = 0;
    Dispatch(true);
    while (true) {
        bool empty;
        {
            std::lock_guard lock(mutex_);
            empty = inFlight_.empty();
        }
        if (empty) break;
        if (!Collect(true)) return false;
    }
    bytes = Take(out, cap);
    return ready_.size() == readyAt_;  // every byte fit
}

}  // namespace velmora::lame_module
