// Voice detection and the send gate, run by the sessions on every captured 100 ms chunk. Both are
// single-threaded and used on the core queue only.
#pragma once

#include <cstdint>
#include <deque>
#include <span>
#include <vector>

namespace quendra {

// Decides whether someone is speaking, with a hangover so short pauses do not end speech.
class Vad {
public:
    struct Decision {
        bool speaking = false;
        bool changed = false;  // speaking differs from its value before the push
        bool operator==(const Decision&) const = default;
    };

    // A frame at or above `threshold` RMS is speech; speech ends after `hangoverMs` of quiet
    // frames, each pushed frame counting `frameMs` whatever its length.
    Vad(float threshold, double hangoverMs, double frameMs);

    Decision push(std::span<const float> frame);
    void reset();

    bool speaking() const { return speaking_; }
    // RMS of the last pushed frame.
    float level() const { return level_; }

private:
    float threshold_;
    double hangoverMs_;
    double frameMs_;
    bool speaking_ = false;
    float level_ = 0;
    double silentMs_ = 0;
};

// Decides which chunks go to the provider. While the audio is quiet it holds chunks back, keeping
// the most recent ones as a pre-roll that goes out ahead of the first loud chunk so the start of
// speech is not cut; after speech it keeps sending through short pauses.
class SendGate {
public:
    using Chunk = std::vector<std::int16_t>;

    struct Stats {
        std::int64_t mandati = 0;  // chunks sent
        std::int64_t saltati = 0;  // chunks skipped
        double max = 0;            // highest chunk level
        bool operator==(const Stats&) const = default;
    };

    // hangoverMs / frameMs and prerollMs / frameMs are rounded up to whole chunks; frameMs must be
    // above 0 (anything else stops the program).
    SendGate(double threshold, double hangoverMs, double prerollMs, double frameMs);

    // Returns the chunks to send now, oldest first (possibly none).
    std::vector<Chunk> push(Chunk chunk);
    // Counters since the last call; resets them.
    Stats takeStats();

    double threshold() const { return threshold_; }
    bool enabled() const { return enabled_; }
    // Disabled, every chunk is sent; the gate's state is kept for when it is enabled again.
    void setEnabled(bool enabled) { enabled_ = enabled; }

    std::int64_t hangFrames() const { return hangFrames_; }
    std::int64_t preFrames() const { return preFrames_; }

private:
    double threshold_;
    std::int64_t hangFrames_;
    std::int64_t preFrames_;
    bool enabled_ = true;
    bool open_ = false;
    std::int64_t quiet_ = 0;  // quiet chunks since the last loud one; only a loud chunk resets it
    std::deque<Chunk> pre_;   // oldest first, at most preFrames_ after a push
    std::int64_t sent_ = 0;
    std::int64_t skipped_ = 0;
    double maxLevel_ = 0;
};

}  // namespace quendra
