#include "lame_enc/segment_encoder.h"

#include "lame_enc/xing_frame.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

namespace velmora::lame_module {

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
      segmentFrames_(SegmentFrames(threads, frameSamples)),
      prerollFrames_(kPrerollSamples / frameSamples),
      lanes_(maxInFlight_) {
    filling_ = NewJob(0);
    for (uint32_t i = 0; i < threads; ++i) workers_.emplace_back([this] { Worker(); });
}

SegmentEncoder::~SegmentEncoder() {
    {
        std::lock_guard lock(mutex_);
        stopping_.store(true, std::memory_order_release);
        pending_.clear();
    }
    wake_.notify_all();
    for (std::thread& t : workers_) t.join();
    for (Lane& lane : lanes_)
        if (lane.gf) lame_close(lane.gf);
}

uint32_t SegmentEncoder::OutputCapacity() const {
    // Every segment in flight, the last one with its tail, and what was ready but not yet taken.
    const uint64_t frames = (maxInFlight_ + 3) * (segmentFrames_ + kLookaheadFrames + 4);
    return static_cast<uint32_t>(std::min<uint64_t>(frames * maxFrameBytes_, 0x7FFFFFFF));
}

bool SegmentEncoder::Split(Lane& lane, Job& job, uint64_t keepFrom, uint64_t keepTo) {
    size_t at = 0;
    while (at < lane.bytes.size()) {
        const size_t left = lane.bytes.size() - at;
        if (left < 4) break;
        Layer3Header h;
        if (!ParseLayer3Header(lane.bytes.data() + at, left, h)) return false;
        const uint32_t length = h.length;
        if (length > left) break;  // the rest of this frame comes with the next call
        if (lane.written >= keepFrom && lane.written < keepTo) {
            job.out.insert(job.out.end(), lane.bytes.begin() + static_cast<long>(at),
                           lane.bytes.begin() + static_cast<long>(at + length));
            ++job.frames;
        }
        at += length;
        ++lane.written;
    }
    lane.bytes.erase(lane.bytes.begin(), lane.bytes.begin() + static_cast<long>(at));
    return true;
}

bool SegmentEncoder::Run(Job& job, Lane& lane) {
    if (!lane.gf) {
        lane.gf = make_();
        if (!lane.gf) return false;
        lane.fed = lane.written = 0;
        lane.bytes.clear();
    }
    // The frames this segment keeps, counted in the lane's own stream: the ones a single
    // encoder writes at these places.
    const uint64_t keepFrom = lane.fed + job.preroll;
    const uint64_t keepTo = job.last ? UINT64_MAX : keepFrom + job.keep;
    const size_t n = job.left.size();
    const float* right = channels_ == 2 ? job.right.data() : job.left.data();
    // Fed a few frames at a time: libmp3lame allocates and clears input buffers the size of
    // each call, and a whole segment at once made that (with the page faults and the returns
    // of the memory to the system) a fifth of the work of two threads.
    const size_t piece = static_cast<size_t>(frameSamples_) * 8;
    lane.chunk.resize(piece * 5 / 4 + 7200 + 2 * maxFrameBytes_);
    for (size_t at = 0; at < n; at += piece) {
        if (stopping_.load(std::memory_order_acquire)) return false;
        const size_t m = std::min(piece, n - at);
        const int got = lame_encode_buffer_float(lane.gf, job.left.data() + at, right + at, static_cast<int>(m),
                                                 lane.chunk.data(), static_cast<int>(lane.chunk.size()));
        if (got < 0) return false;
        lane.bytes.insert(lane.bytes.end(), lane.chunk.begin(), lane.chunk.begin() + got);
        if (!Split(lane, job, keepFrom, keepTo)) return false;
    }
    lane.fed += n / frameSamples_;  // whole frames but for the last segment
    if (job.last) {
        // Only the last segment is flushed, with the stream's end padding.
        const int got = lame_encode_flush(lane.gf, lane.chunk.data(), static_cast<int>(lane.chunk.size()));
        if (got < 0) return false;
        lane.bytes.insert(lane.bytes.end(), lane.chunk.begin(), lane.chunk.begin() + got);
        return Split(lane, job, keepFrom, keepTo) && lane.bytes.empty();
    }
    // The audio fed after the segment is enough for libmp3lame to have written all its frames.
    return lane.written >= keepTo;
}

void SegmentEncoder::Worker() {
    for (;;) {
        std::shared_ptr<Job> job;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_.load(std::memory_order_acquire) || !pending_.empty(); });
            if (stopping_.load(std::memory_order_acquire)) return;
            job = std::move(pending_.front());
            pending_.pop_front();
        }
        // A lane's encoder goes on from one of its segments to the next: the pre-roll settles
        // it after the jump in the audio as it settles a new one after silence, and a new
        // encoder per segment (tables computed, buffers allocated and cleared) cost a tenth of
        // the work.
        Lane& lane = lanes_[job->lane];
        const bool ok = Run(*job, lane);
        if (!ok || job->last) {
            lame_close(lane.gf);
            lane.gf = nullptr;
        }
        {
            std::lock_guard lock(mutex_);
            job->failed = !ok;
            job->done = true;
        }
        doneSignal_.notify_all();
    }
}

std::shared_ptr<SegmentEncoder::Job> SegmentEncoder::NewJob(uint32_t preroll) {
    std::shared_ptr<Job> job;
    {
        std::lock_guard lock(mutex_);
        if (!spare_.empty()) {
            job = std::move(spare_.back());
            spare_.pop_back();
        }
    }
    if (!job) job = std::make_shared<Job>();
    job->preroll = preroll;
    job->frames = 0;
    job->done = job->failed = false;
    const size_t full = static_cast<size_t>(preroll + segmentFrames_ + kLookaheadFrames) * frameSamples_;
    job->left.clear();
    job->left.reserve(full);
    job->right.clear();
    if (channels_ == 2) job->right.reserve(full);
    job->out.clear();
    return job;
}

void SegmentEncoder::Dispatch(bool last) {
    std::shared_ptr<Job> job = std::move(filling_);
    job->last = last;
    job->keep = last ? 0 : segmentFrames_;
    job->lane = dispatched_++ % lanes_.size();
    if (!last) {
        // The next segment's pre-roll and its first frames, which this one was fed after its own.
        filling_ = NewJob(prerollFrames_);
        const size_t from = static_cast<size_t>(job->preroll + segmentFrames_ - prerollFrames_) * frameSamples_;
        filling_->left.assign(job->left.begin() + static_cast<long>(from), job->left.end());
        if (channels_ == 2) filling_->right.assign(job->right.begin() + static_cast<long>(from), job->right.end());
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
        framesOut_ += job->frames;
        // Its buffers serve a later segment: no memory allocated, faulted in and handed back
        // for every segment.
        spare_.push_back(std::move(job));
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

bool SegmentEncoder::MakeRoom() {
    // Memory stays bounded, and a segment's lane is free: at most maxInFlight_ segments; the
    // oldest is waited for.
    bool full;
    {
        std::lock_guard lock(mutex_);
        full = inFlight_.size() >= maxInFlight_;
    }
    return !full || Collect(true);
}

bool SegmentEncoder::Encode(const float* left, const float* right, uint32_t n, uint8_t* out, uint32_t cap,
                            uint32_t& bytes) {
    bytes = 0;
    samplesIn_ += n;
    // A segment goes out once the audio after it (the encoder's look-ahead) is there too.
    const size_t full = static_cast<size_t>(filling_->preroll + segmentFrames_ + kLookaheadFrames) * frameSamples_;
    for (uint32_t at = 0; at < n;) {
        const size_t m = std::min<size_t>(n - at, full - filling_->left.size());
        filling_->left.insert(filling_->left.end(), left + at, left + at + m);
        if (channels_ == 2) filling_->right.insert(filling_->right.end(), right + at, right + at + m);
        at += static_cast<uint32_t>(m);
        if (filling_->left.size() == full) {
            if (!MakeRoom()) return false;
            Dispatch(false);
        }
    }
    if (!Collect(false)) return false;
    bytes = Take(out, cap);
    return true;
}

bool SegmentEncoder::Flush(uint8_t* out, uint32_t cap, uint32_t& bytes) {
    bytes = 0;
    if (!MakeRoom()) return false;
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
