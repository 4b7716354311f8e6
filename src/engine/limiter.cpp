#include "engine/limiter.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "engine/loudness.h"

namespace velmora {

namespace {

constexpr size_t kTaps = TruePeakMeter::kTapsPerPhase;
constexpr size_t kHistory = kTaps - 1;
// The in-between values a frame arrival gives lie between the frame 6 back and the next.
constexpr size_t kInterpolationDelay = kTaps / 2;
constexpr size_t kChunkFrames = 256;

size_t PowerOfTwoAtLeast(size_t n) {
    size_t p = 1;
    while (p < n) p <<= 1;
    return p;
}

template <typename Sample>
constexpr float kScale = 1.0f;
template <>
constexpr float kScale<int32_t> = 1.0f / 2147483648.0f;

inline int32_t Finish(int32_t raw, float gain, float limit) {
    double v = static_cast<double>(raw) * gain;
    if (limit != 1.0f) v *= limit;
    return static_cast<int32_t>(std::clamp(v, -2147483648.0, 2147483647.0));
}

inline float Finish(float raw, float gain, float limit) {
    float v = raw * gain;
    if (limit != 1.0f) v *= limit;
    return v;
}

}  // namespace

double LimiterRelease::Coefficient(double ms, double stepsPerSecond) {
    return 1.0 - std::exp(-1000.0 / (ms * stepsPerSecond));
}

template <typename Sample>
PeakLimiter<Sample>::PeakLimiter(unsigned channels, long rate, float gain, float ceiling)
    : channels_(std::clamp(channels, 1u, 2u)), gain_(gain), ceiling_(ceiling),
      release_(static_cast<double>(std::max(rate, 1000L))) {
    const double r = static_cast<double>(std::max(rate, 1000L));
    lookAhead_ = std::max<size_t>(1, static_cast<size_t>(std::lround(r * kLimiterLookAheadMs / 1000.0)));
    hold_ = std::max(lookAhead_, static_cast<size_t>(std::lround(r * kLimiterHoldMs / 1000.0)));
    // A frame's gain is final once the peak lookAhead - 1 frames after it has gone through the
    // envelope, and a peak once the interpolation has seen the frames it is made of; one frame
    // more covers a frame begun, and keeps whole frames in giving whole frames out.
    const size_t delayFrames = lookAhead_ - 1 + kInterpolationDelay;
    latency_ = (delayFrames + 1) * channels_;
    delay_.resize(PowerOfTwoAtLeast(latency_ + (kChunkFrames + 1) * channels_));
    delayMask_ = delay_.size() - 1;
    gains_.resize(PowerOfTwoAtLeast(delayFrames + 2 * kChunkFrames + 2));
    gainsMask_ = gains_.size() - 1;
    lines_.assign(channels_, std::vector<float>(kHistory + kChunkFrames + 1, 0.0f));
    segment_.resize(kChunkFrames);
    scratch_.resize(3 * kChunkFrames);
    minQueue_.resize(PowerOfTwoAtLeast(hold_ + 1));
    box_.assign(lookAhead_, 1.0);
    boxSum_ = static_cast<double>(lookAhead_);
}

template <typename Sample>
PeakLimiter<Sample>::~PeakLimiter() = default;

template <typename Sample>
double PeakLimiter<Sample>::MaxReductionDb() const {
    return deepest_ < 1.0 ? -20.0 * std::log10(deepest_) : 0.0;
}

template <typename Sample>
void PeakLimiter<Sample>::PushPeak(float peak) {
    const uint64_t n = peaksPushed_++;
    const float need = peak > ceiling_ ? ceiling_ / peak : 1.0f;
    // Running minimum of the need over the hold.
    const size_t mask = minQueue_.size() - 1;
    while (minTail_ != minHead_ && minQueue_[(minTail_ - 1) & mask].second >= need) --minTail_;
    minQueue_[minTail_++ & mask] = {n, need};
    while (minQueue_[minHead_ & mask].first + hold_ <= n) ++minHead_;
    const double held = minQueue_[minHead_ & mask].second;
    // Down at once (the box below makes that a ramp), back up slowly.
    released_ = release_.Step(held);
    // The box average over the look-ahead: the ramp that meets each peak's need on time.
    const double old = box_[boxAt_];
    box_[boxAt_] = released_;
    boxAt_ = boxAt_ + 1 == box_.size() ? 0 : boxAt_ + 1;
    boxBelowOne_ += (released_ < 1.0) - (old < 1.0);
    boxSum_ += released_ - old;
    // Where the whole box is at unity the gain is exactly 1 (no rounding left over).
    if (boxBelowOne_ == 0) boxSum_ = static_cast<double>(box_.size());
    if (n + 1 < lookAhead_) return;  // before the first frame
    const double gain = boxBelowOne_ == 0 ? 1.0 : boxSum_ / static_cast<double>(box_.size());
    deepest_ = std::min(deepest_, gain);
    if (gain < 1.0) lastReduced_ = gainsKnown_;
    gains_[gainsKnown_ & gainsMask_] = static_cast<float>(gain);
    ++gainsKnown_;
}

template <typename Sample>
void PeakLimiter<Sample>::PushFrames(size_t frames) {
    if (frames == 0) return;
    std::fill(segment_.begin(), segment_.begin() + static_cast<long>(frames), 0.0f);
    const auto& phases = TruePeakMeter::PhaseTaps();
    const float bound = TruePeakMeter::Overshoot();
    for (std::vector<float>& line : lines_) {
        const float loudest = MaxMagnitude(line.data(), frames + kHistory);
        // Nothing in reach of the ceiling: no in-between value can pass it either.
        if (loudest * bound <= ceiling_) continue;
        for (size_t p = 0; p < 3; ++p) {
            float* sums = scratch_.data() + p * kChunkFrames;
            const auto& taps = phases[p];
            for (size_t t = 0; t < frames; ++t) {
                const float* window = line.data() + t;  // at[t - kHistory] ... at[t]
                float sum = 0.0f;
                for (size_t k = 0; k < kTaps; ++k) sum += taps[k] * window[kHistory - k];
                sums[t] = sum;
            }
        }
        for (size_t t = 0; t < frames; ++t) {
            float peak = std::fabs(line[t + kHistory - kInterpolationDelay]);
            for (size_t p = 0; p < 3; ++p) peak = std::max(peak, std::fabs(scratch_[p * kChunkFrames + t]));
            if (peak > ceiling_) segment_[t] = std::max(segment_[t], peak);
        }
    }
    // With nothing over the ceiling in reach and the envelope at rest, every gain is 1: the
    // envelope's state stays as it is but for the frame it has reached.
    const size_t mask = minQueue_.size() - 1;
    const bool quiet = std::all_of(segment_.begin(), segment_.begin() + static_cast<long>(frames),
                                   [](float v) { return v == 0.0f; });
    if (quiet && lastSegment_ == 0.0f && release_.AtRest() && boxBelowOne_ == 0 && minTail_ - minHead_ == 1 &&
        minQueue_[minHead_ & mask].second == 1.0f &&
        framesSeen_ >= kInterpolationDelay + lookAhead_) {
        peaksPushed_ += frames;
        minQueue_[minHead_ & mask].first = peaksPushed_ - 1;
        boxAt_ = (boxAt_ + frames) % box_.size();
        for (size_t t = 0; t < frames; ++t) gains_[(gainsKnown_ + t) & gainsMask_] = 1.0f;
        gainsKnown_ += frames;
        framesSeen_ += frames;
        for (std::vector<float>& line : lines_)
            std::memmove(line.data(), line.data() + frames, (kHistory + 1) * sizeof(float));
        return;
    }
    // segment_[t]: the peak from frame j = seen + t - 6 to the next; a frame's own peak is the
    // larger of the segments on either side of it.
    for (size_t t = 0; t < frames; ++t) {
        const int64_t j = static_cast<int64_t>(framesSeen_ + t) - static_cast<int64_t>(kInterpolationDelay);
        if (j >= 0) PushPeak(std::max(lastSegment_, segment_[t]));
        lastSegment_ = segment_[t];
    }
    framesSeen_ += frames;
    for (std::vector<float>& line : lines_) {
        // The last kHistory frames become the history, and a frame begun stays at the front.
        std::memmove(line.data(), line.data() + frames, (kHistory + 1) * sizeof(float));
    }
}

template <typename Sample>
size_t PeakLimiter<Sample>::Emit(Sample* out, size_t count) {
    const uint64_t end = flushing_ ? in_ : (in_ > latency_ ? in_ - latency_ : 0);
    const size_t n = static_cast<size_t>(std::min<uint64_t>(count, end > out_ ? end - out_ : 0));
    for (size_t i = 0; i < n;) {
        // A run of samples within one frame's gain, or of whole frames at unity, that does not
        // wrap around the delay ring: one tight loop.
        const size_t at = static_cast<size_t>(out_ & delayMask_);
        const uint64_t frame = out_ / channels_;
        const float limit = gains_[frame & gainsMask_];
        // Past the last frame the limiter reduced, every known gain is 1.
        const uint64_t unityEnd = frame > lastReduced_ || lastReduced_ == kNone ? gainsKnown_ * channels_ : 0;
        const uint64_t runEnd = unityEnd > out_ ? unityEnd : (frame + 1) * channels_;
        const size_t run = static_cast<size_t>(std::min<uint64_t>({n - i, delay_.size() - at, runEnd - out_}));
        const Sample* from = delay_.data() + at;
        for (size_t k = 0; k < run; ++k) out[i + k] = Finish(from[k], gain_, limit);
        i += run;
        out_ += run;
    }
    return n;
}

template <typename Sample>
size_t PeakLimiter<Sample>::Process(Sample* samples, size_t count) {
    const float scale = kScale<Sample> * gain_;
    size_t taken = 0, given = 0;
    while (taken < count) {
        // At most a chunk of whole frames (and the rest of a frame begun) at a time, so the
        // delay ring never holds more than the latency and one chunk.
        const size_t room = (kChunkFrames - chunkFrames_) * channels_ - pendingCount_;
        const size_t n = std::min(count - taken, room);
        const Sample* from = samples + taken;
        // Into the delay ring in at most two copies.
        const size_t at = static_cast<size_t>(in_ & delayMask_);
        const size_t first = std::min(n, delay_.size() - at);
        std::copy(from, from + first, delay_.begin() + static_cast<long>(at));
        std::copy(from + first, from + n, delay_.begin());
        // Into the detector's lines: the rest of a frame begun, whole frames, a frame begun.
        size_t i = 0;
        for (; i < n && pendingCount_ != 0; ++i) {
            lines_[pendingCount_][kHistory + chunkFrames_] = static_cast<float>(from[i]) * scale;
            if (++pendingCount_ == channels_) {
                pendingCount_ = 0;
                ++chunkFrames_;
            }
        }
        const size_t whole = (n - i) / channels_;
        for (unsigned c = 0; c < channels_; ++c) {
            float* line = lines_[c].data() + kHistory + chunkFrames_;
            const Sample* x = from + i + c;
            for (size_t f = 0; f < whole; ++f) line[f] = static_cast<float>(x[f * channels_]) * scale;
        }
        i += whole * channels_;
        chunkFrames_ += whole;
        for (; i < n; ++i) lines_[pendingCount_++][kHistory + chunkFrames_] = static_cast<float>(from[i]) * scale;
        in_ += n;
        taken += n;
        PushFrames(chunkFrames_);
        chunkFrames_ = 0;
        given += Emit(samples + given, taken - given);
    }
    return given;
}

template <typename Sample>
size_t PeakLimiter<Sample>::Flush(Sample* out, size_t room) {
    if (!flushing_) {
        flushing_ = true;
        // Silence after the end: it completes a frame begun and lets the last frames' gains
        // be settled.
        const uint64_t frames = (in_ + channels_ - 1) / channels_;
        if (pendingCount_ != 0) {
            for (size_t c = pendingCount_; c < channels_; ++c) lines_[c][kHistory + chunkFrames_] = 0.0f;
            pendingCount_ = 0;
            ++chunkFrames_;
        }
        for (;;) {
            PushFrames(chunkFrames_);
            chunkFrames_ = 0;
            if (gainsKnown_ >= frames) break;
            for (auto& line : lines_) std::fill(line.begin() + kHistory, line.end(), 0.0f);
            chunkFrames_ = kChunkFrames;
        }
    }
    return Emit(out, room);
}

template class PeakLimiter<int32_t>;
template class PeakLimiter<float>;

}  // namespace velmora
