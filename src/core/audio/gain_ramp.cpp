#include "core/audio/gain_ramp.h"

#include <algorithm>
#include <cmath>

namespace quendra {

GainRamp::GainRamp(double sampleRate, float initial) : rate_(sampleRate), current_(initial), target_(initial) {}

void GainRamp::ramp(double to, double ms) {
    if (std::isnan(to)) return;
    const std::lock_guard guard(lock_);
    target_ = static_cast<float>(std::clamp(to, 0.0, 1.0));
    const auto frames = static_cast<float>(std::isfinite(ms) ? (std::max(ms, minRampMs) / 1000) * rate_
                                                             : 0.005 * rate_);
    // Also covers a rate of 0, negative or NaN: the gain then moves in a single step.
    const float divisor = frames >= 1.0f ? frames : 1.0f;
    step_ = (target_ - current_) / divisor;
}

// Per sample: move one step, land exactly on the target instead of passing it, then use the
// gain. At rest (current == target) the block is one constant gain.
template <typename Out>
void GainRamp::run(std::size_t count, Out out) {
    const std::lock_guard guard(lock_);
    std::size_t i = 0;
    float current = current_;
    const float target = target_;
    const float step = step_;
    for (; i < count && current != target; ++i) {
        current += step;
        if ((step > 0 && current > target) || (step < 0 && current < target) || step == 0) current = target;
        out(i, current);
    }
    current_ = current;
    for (; i < count; ++i) out(i, current);
}

void GainRamp::apply(float* samples, std::size_t count) {
    run(count, [samples](std::size_t i, float g) { samples[i] *= g; });
}

void GainRamp::gains(float* into, std::size_t count) {
    run(count, [into](std::size_t i, float g) { into[i] = g; });
}

float GainRamp::value() const {
    const std::lock_guard guard(lock_);
    return current_;
}

float GainRamp::targetValue() const {
    const std::lock_guard guard(lock_);
    return target_;
}

double GainRamp::sampleRate() const {
    const std::lock_guard guard(lock_);
    return rate_;
}

void GainRamp::setSampleRate(double rate) {
    const std::lock_guard guard(lock_);
    rate_ = rate;
}

}  // namespace quendra
