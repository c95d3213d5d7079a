// Ducking decisions: when to lower the original path and when to bring it back. The Ducker runs on
// the core queue; the GainRamps of audio/gain_ramp.h carry its targets out on the audio threads.
#pragma once

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

}  // namespace quendra
