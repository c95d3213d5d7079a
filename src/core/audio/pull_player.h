// The jitter-buffered player of translated speech: 16-bit chunks arrive from the core queue in
// network-sized pieces and an audio render thread pulls floats sample by sample.
#pragma once

#include <cstddef>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

#include "core/base/runtime.h"

namespace quendra {

// Playback starts after a jitter delay and fades in over fadeFrames; whenever the queue is about
// to run dry it fades out so the last queued sample plays at gain 0 (a short stretch becomes a
// triangle). A flush leaves a short faded tail of what was playing instead of a hard cut, and
// holds back new audio until that tail and a minimum lead have played. The player also tracks
// whether voiced audio (chunk RMS at least voiceRMS) is playing, with a hang of voiceHangMs.
//
// Threads: enqueue, flush, isPlaying, bufferedSeconds on the core queue; render on one audio
// render thread. One mutex guards the state. render takes it once per block, never allocates and
// never frees: a finished chunk only advances the head of a fixed ring of chunk slots, and its
// storage is released by the core queue when the slot is reused. The tail has its full length
// reserved at construction. The core queue converts samples and allocates outside the lock.
//
// The queue holds at most maxQueuedSeconds of unplayed audio, whatever a provider sends: a chunk
// that would go beyond is dropped whole (one log line until the next flush), never queued.
class PullPlayer {
public:
    static constexpr double voiceRMS = 0.01;
    static constexpr double voiceHangMs = 250;
    static constexpr double maxQueuedSeconds = 180;

    PullPlayer(double sampleRate, double jitterMs, double edgeFadeMs, double flushFadeMs, double minLeadMs);
    PullPlayer(const PullPlayer&) = delete;
    PullPlayer& operator=(const PullPlayer&) = delete;

    // Core queue. Queues a chunk; a chunk arriving while the player is idle and empty waits the
    // start delay (at least the hold left by a flush).
    void enqueue(std::span<const std::int16_t> samples);
    // Core queue. Drops everything queued; a running player leaves a faded tail.
    void flush();
    // Before the first enqueue (its owner sets it up). Where the line about a full queue goes.
    void setLogger(Logger logger) { log_ = std::move(logger); }
    // Core queue. Chunks dropped because the queue was full; never reset.
    std::int64_t droppedChunks() const { return droppedChunks_; }
    // Audio render thread. Fills `count` samples.
    void render(float* into, std::size_t count);

    // Core queue. True while voiced audio is queued, and up to voiceHangMs after the last voiced
    // sample played.
    bool isPlaying() const;
    // Core queue. Seconds queued, counted only while some queued chunk is voiced.
    double bufferedSeconds() const;
    // Any thread. How often a voiced sample has been rendered after voiceHangMs without one: the
    // start of each stretch of translated speech the user hears. Lock-free, so the render thread
    // publishes it without taking anything beyond its block's lock.
    std::uint64_t voiceOnsets() const { return voiceOnsets_.load(std::memory_order_relaxed); }

    double sampleRate() const { return sampleRate_; }
    std::int64_t jitterFrames() const { return jitterFrames_; }
    std::int64_t fadeFrames() const { return fadeFrames_; }
    std::int64_t flushFrames() const { return flushFrames_; }
    std::int64_t minLeadFrames() const { return minLeadFrames_; }
    std::int64_t hangFrames() const { return hangFrames_; }
    std::int64_t maxQueuedFrames() const { return maxQueuedFrames_; }

private:
    struct Chunk {
        std::vector<float> samples;
        std::size_t pos = 0;
        bool voice = false;
    };

    // Live chunks are slots_[head_ .. head_ + count_) modulo the ring size; the others hold spent
    // storage until reused.
    Chunk& live(std::size_t i) { return slots_[(head_ + i) % slots_.size()]; }

    const double sampleRate_;
    const std::int64_t jitterFrames_;
    const std::int64_t fadeFrames_;
    const std::int64_t flushFrames_;
    const std::int64_t minLeadFrames_;
    const std::int64_t hangFrames_;
    const std::int64_t maxQueuedFrames_;
    const float fadeStep_;  // 1 / fadeFrames

    // Core queue only.
    Logger log_;
    std::int64_t droppedChunks_ = 0;
    bool warnedFull_ = false;  // until the next flush

    mutable std::mutex lock_;
    std::vector<Chunk> slots_;
    std::size_t head_ = 0;
    std::size_t count_ = 0;
    std::int64_t voicedChunks_ = 0;  // live chunks that are voiced
    std::int64_t queued_ = 0;        // unplayed samples in live chunks
    std::int64_t delay_ = 0;
    bool running_ = false;
    float edge_ = 0;
    std::vector<float> tail_;  // flushFrames long; tailLen_ of it in use
    std::size_t tailLen_ = 0;
    std::size_t tailPos_ = 0;
    std::int64_t hold_ = 0;
    std::int64_t clock_ = 0;
    std::int64_t voiceEnd_ = -1'000'000'000;
    std::atomic<std::uint64_t> voiceOnsets_{0};  // written by render only
};

}  // namespace quendra
