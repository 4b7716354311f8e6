// The look-ahead true-peak limiter that runs after an input's loudness gain: it holds the
// output's peaks (the in-between values of a 4x oversampled reconstruction, as the true-peak
// meter finds them) at a ceiling and leaves everything under it alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace velmora {

// Envelope shape. Look-ahead: the gain ramps down over 5 ms and reaches the reduction a peak
// needs by the time the peak plays (a box average over the look-ahead of the running minimum
// of the needed gain, so no sample is ever above its need). Hold: the reduction stays 20 ms
// past the peak, longer than the pitch period of the lowest voices, so voiced speech is not
// modulated from one glottal pulse to the next. Release in two stages: a fast one (20 ms)
// that lets go of a lone transient (a plosive, a click) before the syllable after it is
// ducked, and a slow one (down over 50 ms, back up over 200 ms) that only sustained limiting
// pulls down and that then returns smoothly, so a loud passage does not pump. The gain is the
// lower of the two.
inline constexpr double kLimiterLookAheadMs = 5.0;
inline constexpr double kLimiterHoldMs = 20.0;
inline constexpr double kLimiterFastReleaseMs = 20.0;
inline constexpr double kLimiterSlowAttackMs = 50.0;
inline constexpr double kLimiterSlowReleaseMs = 200.0;

// The release stages of the envelope, step by step (a frame, or a 1 ms bin of the limiter
// model). `Step` takes the held need and gives the gain before the look-ahead's box average.
class LimiterRelease {
public:
    explicit LimiterRelease(double stepsPerSecond)
        : fastUp_(Coefficient(kLimiterFastReleaseMs, stepsPerSecond)),
          slowDown_(Coefficient(kLimiterSlowAttackMs, stepsPerSecond)),
          slowUp_(Coefficient(kLimiterSlowReleaseMs, stepsPerSecond)) {}
    double Step(double held) {
        fast_ = held <= fast_ ? held : fast_ + fastUp_ * (held - fast_);
        slow_ += (held < slow_ ? slowDown_ : slowUp_) * (held - slow_);
        // Back at rest once within a thousandth of a decibel: exactly 1 from there on.
        if (held == 1.0 && fast_ > 0.9999 && slow_ > 0.9999) fast_ = slow_ = 1.0;
        return fast_ < slow_ ? fast_ : slow_;
    }
    bool AtRest() const { return fast_ == 1.0 && slow_ == 1.0; }

private:
    static double Coefficient(double ms, double stepsPerSecond);
    double fastUp_, slowDown_, slowUp_;
    double fast_ = 1.0, slow_ = 1.0;
};

// One input: interleaved samples in, the same samples times the input's gain and the
// limiter's gain out, delayed by the look-ahead. Output lags input by Latency() samples; the
// rest comes out with Flush at the input's end, so an input keeps its exact sample count and
// every sample its place. `Sample` is int32_t (the join's full scale) or float (full scale 1.0).
// Where the limiter's gain is exactly 1 the output is bit for bit the gain alone:
// int32: clamp(double(s) * gain), float: s * gain.
template <typename Sample>
class PeakLimiter {
public:
    // `ceiling`: linear, full scale 1.0. `gain`: linear gain applied before limiting.
    PeakLimiter(unsigned channels, long rate, float gain, float ceiling);
    ~PeakLimiter();
    PeakLimiter(const PeakLimiter&) = delete;
    PeakLimiter& operator=(const PeakLimiter&) = delete;

    // Takes `count` samples from `samples` and writes the samples that are ready to its front
    // (never more than came in); returns how many were written. Any count, whole frames or not.
    size_t Process(Sample* samples, size_t count);
    // After the input's last sample: writes up to `room` of the samples still held back to
    // `out`; returns how many (0 once all are out).
    size_t Flush(Sample* out, size_t room);

    // Samples held back for the look-ahead (what Flush still has to give at the end).
    size_t Held() const { return static_cast<size_t>(in_ - out_); }
    size_t Latency() const { return latency_; }
    // The deepest reduction so far, in dB (0 when the limiter never acted).
    double MaxReductionDb() const;

private:
    struct Detector;
    void PushFrames(size_t frames);  // detection and envelope for the frames in lines_
    void PushPeak(float peak);       // one frame's peak through the envelope
    size_t Emit(Sample* out, size_t count);

    unsigned channels_;
    float gain_;
    float ceiling_;
    size_t lookAhead_;  // frames: the attack ramp
    size_t hold_;       // frames the running minimum covers
    size_t latency_;    // samples

    // Raw samples as they came in, and each frame's final gain, both as rings.
    std::vector<Sample> delay_;
    size_t delayMask_;
    std::vector<float> gains_;
    size_t gainsMask_;
    uint64_t in_ = 0;          // samples taken
    uint64_t out_ = 0;         // samples given
    uint64_t gainsKnown_ = 0;  // frames whose gain is final
    static constexpr uint64_t kNone = ~uint64_t{0};
    uint64_t lastReduced_ = kNone;  // the last frame with a gain under 1

    // Detection: per channel the last kTaps - 1 normalised samples, then the chunk.
    std::vector<std::vector<float>> lines_;
    std::vector<float> segment_;  // per frame of a chunk: the peak from it to the next frame
    std::vector<float> scratch_;
    float pending_[2] = {};       // an incomplete frame, normalised
    size_t pendingCount_ = 0;
    size_t chunkFrames_ = 0;      // frames gathered in lines_
    uint64_t framesSeen_ = 0;     // frames that entered detection
    uint64_t peaksPushed_ = 0;    // frames that went through the envelope
    float lastSegment_ = 0.0f;

    // Envelope: running minimum (a monotonic queue of frame, need), release, box average.
    std::vector<std::pair<uint64_t, float>> minQueue_;
    size_t minHead_ = 0, minTail_ = 0;
    LimiterRelease release_;
    double released_ = 1.0;
    std::vector<double> box_;
    size_t boxAt_ = 0;
    double boxSum_ = 0.0;
    size_t boxBelowOne_ = 0;
    double deepest_ = 1.0;
    bool flushing_ = false;
};

extern template class PeakLimiter<int32_t>;
extern template class PeakLimiter<float>;

}  // namespace velmora
