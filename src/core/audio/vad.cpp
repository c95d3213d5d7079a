#include "core/audio/vad.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "core/audio/pcm.h"
#include "core/base/runtime.h"

namespace quendra {

Vad::Vad(float threshold, double hangoverMs, double frameMs)
    : threshold_(threshold), hangoverMs_(hangoverMs), frameMs_(frameMs) {}

Vad::Decision Vad::push(std::span<const float> frame) {
    const bool before = speaking_;
    level_ = PCM::rms(frame);
    if (level_ >= threshold_) {
        speaking_ = true;
        silentMs_ = 0;
    } else if (speaking_) {
        silentMs_ += frameMs_;
        if (silentMs_ >= hangoverMs_) {
            speaking_ = false;
            silentMs_ = 0;
        }
    }
    return {speaking_, speaking_ != before};
}

void Vad::reset() {
    speaking_ = false;
    silentMs_ = 0;
    level_ = 0;
}

namespace {

std::int64_t wholeFrames(double ms, double frameMs) {
    const double frames = std::ceil(ms / frameMs);
    if (!std::isfinite(frames)) fatal("durata del frame non valida", "QuendraCore/SendGate");
    // Far beyond any real duration; keeps the conversion defined.
    return static_cast<std::int64_t>(std::clamp(frames, -1e15, 1e15));
}

}  // namespace

SendGate::SendGate(double threshold, double hangoverMs, double prerollMs, double frameMs)
    : threshold_(threshold),
      hangFrames_(wholeFrames(hangoverMs, frameMs)),
      preFrames_(wholeFrames(prerollMs, frameMs)) {}

std::vector<SendGate::Chunk> SendGate::push(Chunk chunk) {
    // Rounded to three decimals before the comparison, as the level shown in the statistics.
    const double level = PCM::rms16(chunk);
    maxLevel_ = std::max(maxLevel_, level);

    std::vector<Chunk> out;
    if (!enabled_) {
        sent_ += 1;
        out.push_back(std::move(chunk));
        return out;
    }

    if (level >= threshold_) {
        quiet_ = 0;
        if (!open_) {
            out.reserve(pre_.size() + 1);
            for (Chunk& c : pre_) out.push_back(std::move(c));
            pre_.clear();
        }
        out.push_back(std::move(chunk));
        open_ = true;
        sent_ += static_cast<std::int64_t>(out.size());
        return out;
    }

    if (open_) {
        quiet_ += 1;
        if (quiet_ <= hangFrames_) {
            sent_ += 1;
            out.push_back(std::move(chunk));
            return out;
        }
    }
    open_ = false;
    const auto held = static_cast<std::int64_t>(pre_.size());
    pre_.push_back(std::move(chunk));
    if (held >= preFrames_) {
        pre_.pop_front();
        skipped_ += 1;
    }
    return out;
}

SendGate::Stats SendGate::takeStats() {
    const Stats stats{sent_, skipped_, maxLevel_};
    sent_ = 0;
    skipped_ = 0;
    maxLevel_ = 0;
    return stats;
}

}  // namespace quendra
