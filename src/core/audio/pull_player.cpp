#include "core/audio/pull_player.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "core/audio/pcm.h"

namespace quendra {

namespace {

// sampleRate x ms / 1000, truncated towards zero; nonsense (negative, not finite) gives 0.
std::int64_t frames(double sampleRate, double ms) {
    const double v = sampleRate * ms / 1000;
    if (!(v > 0)) return 0;
    return static_cast<std::int64_t>(std::min(v, 1e15));
}

constexpr std::size_t kInitialSlots = 256;
static_assert(std::atomic<std::uint64_t>::is_always_lock_free, "the render thread publishes voice onsets without a lock");
constexpr std::int64_t kNoVoice = -1'000'000'000;

}  // namespace

PullPlayer::PullPlayer(double sampleRate, double jitterMs, double edgeFadeMs, double flushFadeMs, double minLeadMs)
    : sampleRate_(sampleRate),
      jitterFrames_(frames(sampleRate, jitterMs)),
      fadeFrames_(std::max<std::int64_t>(frames(sampleRate, edgeFadeMs), 1)),
      flushFrames_(std::max<std::int64_t>(frames(sampleRate, flushFadeMs), 1)),
      minLeadFrames_(frames(sampleRate, minLeadMs)),
      hangFrames_(frames(sampleRate, voiceHangMs)),
      maxQueuedFrames_(frames(sampleRate, maxQueuedSeconds * 1000)),
      fadeStep_(1.0f / static_cast<float>(fadeFrames_)),
      slots_(kInitialSlots),
      tail_(static_cast<std::size_t>(flushFrames_)) {}

void PullPlayer::enqueue(std::span<const std::int16_t> samples) {
    if (samples.empty()) return;
    const bool voice = PCM::rms16Exact(samples) >= voiceRMS;
    std::vector<float> floats = PCM::int16ToFloat(samples);
    const auto n = static_cast<std::int64_t>(floats.size());

    // Everything released here is freed after the lock is let go, on this thread.
    std::vector<Chunk> retired;
    for (;;) {
        bool full = false;
        {
            const std::lock_guard guard(lock_);
            full = queued_ + n > maxQueuedFrames_;
            if (!full && count_ < slots_.size()) {
                if (!running_ && count_ == 0) delay_ = std::max(hold_, jitterFrames_);
                Chunk& slot = live(count_);
                std::swap(slot.samples, floats);  // floats now holds the slot's spent storage
                slot.pos = 0;
                slot.voice = voice;
                ++count_;
                queued_ += n;
                if (voice) ++voicedChunks_;
                return;
            }
        }
        if (full) {
            ++droppedChunks_;
            if (!std::exchange(warnedFull_, true)) {
                log_.warn("coda di riproduzione piena (" + std::to_string(static_cast<int>(maxQueuedSeconds)) +
                          " s): audio tradotto scartato");
            }
            return;
        }
        // Ring full: allocate a larger one outside the lock, then move the live chunks over
        // (moves only). Only this thread changes the ring, and render can only shrink count_.
        std::vector<Chunk> bigger(slots_.size() * 2);
        {
            const std::lock_guard guard(lock_);
            for (std::size_t i = 0; i < count_; ++i) bigger[i] = std::move(live(i));
            head_ = 0;
            slots_.swap(bigger);
        }
        retired = std::move(bigger);
    }
}

void PullPlayer::flush() {
    warnedFull_ = false;
    const std::lock_guard guard(lock_);
    std::size_t n = 0;
    if (running_) {
        const auto limit = static_cast<std::size_t>(flushFrames_);
        for (std::size_t c = 0; c < count_ && n < limit; ++c) {
            const Chunk& chunk = live(c);
            for (std::size_t p = chunk.pos; p < chunk.samples.size() && n < limit; ++p) tail_[n++] = chunk.samples[p];
        }
        const auto total = static_cast<float>(n);
        for (std::size_t f = 0; f < n; ++f) {
            tail_[f] = tail_[f] * edge_ * (1.0f - static_cast<float>(f) / total);
        }
    }
    tailLen_ = n;
    tailPos_ = 0;
    head_ = (head_ + count_) % slots_.size();
    count_ = 0;
    voicedChunks_ = 0;
    queued_ = 0;
    edge_ = 0;
    delay_ = 0;
    running_ = false;
    hold_ = flushFrames_ + minLeadFrames_;
    voiceEnd_ = kNoVoice;
}

void PullPlayer::render(float* into, std::size_t count) {
    const std::lock_guard guard(lock_);
    const float fade = static_cast<float>(fadeFrames_);
    for (std::size_t i = 0; i < count; ++i) {
        float s = 0;
        if (tailPos_ < tailLen_) s = tail_[tailPos_++];
        if (hold_ > 0) --hold_;

        bool play = false;
        if (running_) {
            if (queued_ == 0) {
                running_ = false;
                edge_ = 0;
            } else {
                play = true;
            }
        } else if (queued_ >= 1) {
            if (delay_ < 1) {
                running_ = true;
                edge_ = 0;
                play = true;
            } else {
                --delay_;
            }
        }

        if (play) {
            // Fade out so the last queued sample plays at 0; (q - 1) / fade only matters near the
            // end, before that the limit is 1.
            const std::int64_t left = queued_ - 1;
            const float limit = left >= fadeFrames_ ? 1.0f : static_cast<float>(left) / fade;
            edge_ = std::min(edge_ + fadeStep_, limit);
            Chunk& chunk = slots_[head_];
            const float x = chunk.samples[chunk.pos++];
            --queued_;
            if (chunk.voice) {
                if (clock_ >= voiceEnd_ + hangFrames_) voiceOnsets_.fetch_add(1, std::memory_order_relaxed);
                voiceEnd_ = clock_ + 1;
            }
            s += edge_ * x;
            if (chunk.pos == chunk.samples.size()) {
                if (chunk.voice) --voicedChunks_;
                head_ = (head_ + 1) % slots_.size();
                --count_;
            }
        }
        into[i] = s;
        ++clock_;
    }
}

bool PullPlayer::isPlaying() const {
    const std::lock_guard guard(lock_);
    return voicedChunks_ > 0 || clock_ < voiceEnd_ + hangFrames_;
}

double PullPlayer::bufferedSeconds() const {
    const std::lock_guard guard(lock_);
    return voicedChunks_ > 0 ? static_cast<double>(queued_) / sampleRate_ : 0.0;
}

}  // namespace quendra
