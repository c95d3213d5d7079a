#include "core/ducker.h"

#include <algorithm>
#include <cmath>

namespace quendra {

Ducker::Ducker(double duckLevel, double duckMs, double restoreMs, double releaseSilenceMs, double translatedMs)
    : duckLevel_(duckLevel),
      duckMs_(duckMs),
      restoreMs_(restoreMs),
      releaseSilenceMs_(releaseSilenceMs),
      translatedMs_(translatedMs) {}

DuckResult Ducker::update(std::optional<bool> micSpeaking, std::optional<bool> translationPlaying,
                          std::optional<bool> bypass, double nowMs) {
    if (micSpeaking) micSpeaking_ = *micSpeaking;
    if (translationPlaying) translationPlaying_ = *translationPlaying;
    if (bypass) bypass_ = *bypass;

    if (state_ == State::idle) {
        // Only a playing translation starts a duck; the speaker alone never does.
        if (translationPlaying_) {
            state_ = State::ducked;
            silenceSince_.reset();
        }
    } else if (translationPlaying_ || micSpeaking_) {
        silenceSince_.reset();
    } else {
        if (!silenceSince_) silenceSince_ = nowMs;
        if (nowMs - *silenceSince_ > releaseSilenceMs_) {
            state_ = State::idle;
            silenceSince_.reset();
        }
    }

    GainTarget original;
    GainTarget translated;
    if (bypass_) {
        original = {1.0, restoreMs_};
        translated = {0.0, translatedMs_};
    } else if (state_ == State::ducked) {
        original = {duckLevel_, duckMs_};
        translated = {1.0, translatedMs_};
    } else {
        original = {1.0, restoreMs_};
        translated = {1.0, translatedMs_};
    }

    // A target whose level is unchanged keeps its old ramp time: nothing needs to move.
    bool changed = false;
    if (original.level != original_.level) {
        original_ = original;
        changed = true;
    }
    if (translated.level != translated_.level) {
        translated_ = translated;
        changed = true;
    }

    DuckResult result{state_, original_, translated_, changed, std::nullopt};
    if (silenceSince_) result.wakeAtMs = *silenceSince_ + releaseSilenceMs_ + 1;
    return result;
}

DuckResult Ducker::tick(double nowMs) { return update(std::nullopt, std::nullopt, std::nullopt, nowMs); }

void Ducker::reset() {
    state_ = State::idle;
    micSpeaking_ = false;
    translationPlaying_ = false;
    bypass_ = false;
    silenceSince_.reset();
    original_ = {1.0, 0};
    translated_ = {1.0, 0};
}

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
