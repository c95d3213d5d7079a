#include "core/engine/measured_delay.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "core/audio/pcm.h"

namespace quendra {
namespace {

// As loud as the sessions' voice detector wants speech, with a pause long enough to end a phrase.
constexpr float kLoudRMS = 0.015f;
constexpr double kPauseMs = 600;
constexpr double kFrameMs = 100;

}  // namespace

std::string delayText(double ms) {
    const auto tenths = static_cast<long long>(std::llround(std::clamp(ms, 0.0, 1e9) / 100));
    return "~" + std::to_string(tenths / 10) + "," + std::to_string(tenths % 10) + " s";
}

DelayMeter::DelayMeter() : vad_(kLoudRMS, kPauseMs, kFrameMs) {}

void DelayMeter::chunk(std::span<const std::int16_t> samples, bool sent, double nowMs) {
    const auto decision = vad_.push(PCM::int16ToFloat(samples));
    if (!sent || !decision.speaking || !decision.changed) return;
    if (pending_.size() == maxPending) pending_.pop_front();
    pending_.push_back(nowMs);
}

bool DelayMeter::poll(std::uint64_t onsets, bool linkOpen, double nowMs) {
    std::uint64_t fresh = onsets - onsetsSeen_;
    onsetsSeen_ = onsets;
    if (!linkOpen) {
        pending_.clear();
        return false;
    }
    while (!pending_.empty() && nowMs - pending_.front() > maxWaitMs) pending_.pop_front();
    bool added = false;
    for (; fresh > 0 && !pending_.empty(); --fresh) {
        samples_.push_back(nowMs - pending_.front());
        pending_.pop_front();
        if (samples_.size() > windowSize) samples_.pop_front();
        added = true;
    }
    if (!added) return false;
    std::vector<double> sorted(samples_.begin(), samples_.end());
    std::sort(sorted.begin(), sorted.end());
    const std::size_t mid = sorted.size() / 2;
    const double median = sorted.size() % 2 ? sorted[mid] : (sorted[mid - 1] + sorted[mid]) / 2;
    const bool changed = median_ != median;
    median_ = median;
    return changed;
}

void DelayMeter::reset(std::uint64_t onsets) {
    vad_.reset();
    pending_.clear();
    samples_.clear();
    median_.reset();
    onsetsSeen_ = onsets;
}

}  // namespace quendra
