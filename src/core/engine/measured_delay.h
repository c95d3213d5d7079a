// The delay the user hears in one direction: from the moment an utterance's first loud chunk is
// sent to the moment the first voiced sample of its translation is rendered, as a rolling median
// of the last utterances.
//
// Threading: core queue only. The render side is read through PullPlayer::voiceOnsets, a counter
// the audio render thread bumps without locking; `poll` compares it with the last value seen.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>

#include "core/audio/vad.h"

namespace quendra {

// A delay as the user reads it: "~2,8 s" (tenths of a second, decimal comma).
std::string delayText(double ms);

class DelayMeter {
public:
    static constexpr std::size_t windowSize = 9;   // utterances in the median
    static constexpr std::size_t maxPending = 8;   // utterances sent and not yet heard
    static constexpr double maxWaitMs = 20000;     // an utterance unanswered this long is dropped

    DelayMeter();

    // A captured chunk, at `nowMs`; `sent` tells whether the link was open to take it. The first
    // loud chunk after a pause starts an utterance.
    void chunk(std::span<const std::int16_t> samples, bool sent, double nowMs);
    // Every poll: `onsets` is the player's voice-onset counter. Each new onset answers the oldest
    // utterance waiting. While the link is not open nothing that was sent can come back: the
    // waiting utterances are dropped. True when the median changed.
    bool poll(std::uint64_t onsets, bool linkOpen, double nowMs);
    // What was waiting will not be heard (the translation was cut); the median stays.
    void dropPending() { pending_.clear(); }
    // A new run: nothing measured, nothing waiting; `onsets` is the player's counter now.
    void reset(std::uint64_t onsets);

    std::optional<double> medianMs() const { return median_; }
    std::size_t measured() const { return samples_.size(); }

private:
    Vad vad_;
    std::deque<double> pending_;  // send times of utterances waiting for their translation
    std::deque<double> samples_;  // the last windowSize delays
    std::optional<double> median_;
    std::uint64_t onsetsSeen_ = 0;
};

}  // namespace quendra
