#include "core/audio/ducker.h"

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

}  // namespace quendra
