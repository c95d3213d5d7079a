// Ducking decisions and the gain ramps that carry them out. The Ducker runs on the core queue; a
// GainRamp is shared between the core queue (ramp) and an audio thread (apply, gains).
#pragma once

#include <cstddef>
#include <mutex>
#include <optional>

namespace quendra {

struct GainTarget {
    double level = 1.0;   // gain factor, 1 = unchanged
    double rampMs = 0;    // time to get there
    bool operator==(const GainTarget&) const = default;
};

struct DuckResult;

// Lowers the original path while a translation plays and for a quiet while after. It never reads
// a clock: callers pass the time in. Core queue only.
class Ducker {
public:
    enum class State { idle, ducked };

    Ducker(double duckLevel, double duckMs, double restoreMs, double releaseSilenceMs, double translatedMs);

    // Absent inputs keep their last known value. `changed` in the result says whether either
    // target level moved; only then should the caller ramp its gains.
    DuckResult update(std::optional<bool> micSpeaking, std::optional<bool> translationPlaying,
                  std::optional<bool> bypass, double nowMs);
    // update with no new input: releases a duck whose quiet period has run out.
    DuckResult tick(double nowMs);
    // Back to idle with all inputs false and both targets (1, 0); settings are kept.
    void reset();

    State state() const { return state_; }

    double duckLevel() const { return duckLevel_; }
    void setDuckLevel(double v) { duckLevel_ = v; }
    double duckMs() const { return duckMs_; }
    void setDuckMs(double v) { duckMs_ = v; }
    double restoreMs() const { return restoreMs_; }
    void setRestoreMs(double v) { restoreMs_ = v; }
    double releaseSilenceMs() const { return releaseSilenceMs_; }
    void setReleaseSilenceMs(double v) { releaseSilenceMs_ = v; }
    double translatedMs() const { return translatedMs_; }
    void setTranslatedMs(double v) { translatedMs_ = v; }

private:
    double duckLevel_;
    double duckMs_;
    double restoreMs_;
    double releaseSilenceMs_;
    double translatedMs_;
    State state_ = State::idle;
    bool micSpeaking_ = false;
    bool translationPlaying_ = false;
    bool bypass_ = false;
    std::optional<double> silenceSince_;  // start of the quiet period while ducked
    GainTarget original_{1.0, 0};
    GainTarget translated_{1.0, 0};
};

struct DuckResult {
    Ducker::State state = Ducker::State::idle;
    GainTarget original;
    GainTarget translated;
    bool changed = false;
    // Earliest time at which a later update or tick can release the duck.
    std::optional<double> wakeAtMs;
    bool operator==(const DuckResult&) const = default;
};

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
