// The gain ramp shared between the core queue, which sets its targets, and an audio thread, which
// applies it sample by sample.
#pragma once

#include <cstddef>
#include <mutex>

namespace quendra {

// A linear gain ramp applied sample by sample. A new ramp starts from the gain reached so far, so
// it may interrupt an old one without a jump.
//
// Threads: ramp, value, targetValue and sampleRate from any thread (the core queue, the graphs);
// apply and gains on one audio thread. One mutex guards the state; apply and gains take it once
// per block, never allocate and hold it only for the block's arithmetic.
class GainRamp {
public:
    static constexpr double minRampMs = 5;

    GainRamp(double sampleRate, float initial);
    GainRamp(const GainRamp&) = delete;
    GainRamp& operator=(const GainRamp&) = delete;

    // Ramps towards `to` (clamped to [0, 1]) over `ms` (at least minRampMs; minRampMs when not
    // finite). A NaN target is ignored: it would silence or corrupt the stream for good.
    void ramp(double to, double ms);

    // Multiplies `count` samples in place by the successive gains.
    void apply(float* samples, std::size_t count);
    // Writes `count` successive gains.
    void gains(float* into, std::size_t count);

    float value() const;
    float targetValue() const;
    double sampleRate() const;
    void setSampleRate(double rate);

private:
    template <typename Out>
    void run(std::size_t count, Out out);

    mutable std::mutex lock_;
    double rate_;
    float current_;
    float target_;
    float step_ = 0;
};

}  // namespace quendra
