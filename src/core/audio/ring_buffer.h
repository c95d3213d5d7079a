// A bounded float FIFO between two real-time audio threads (a capture callback and an output
// render callback). Delivery waits for a prefill, latency built up beyond maxFill is trimmed back
// to the prefill level, and underruns and overflows are counted.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

namespace quendra {

// Threads: write on the producer's audio thread, read on the consumer's audio thread, count and
// takeCounters on a statistics timer, clear from the thread that owns the graph. One mutex guards
// the state; write and read take it once per block, never allocate (storage is fixed at
// construction) and only copy.
class RingBuffer {
public:
    struct Counters {
        std::int64_t underruns = 0;  // reads answered with silence
        std::int64_t overflows = 0;  // writes that did not fit
        bool operator==(const Counters&) const = default;
    };

    // capacity at least 1; prefill within [0, capacity]; maxFill within [prefill, capacity],
    // the capacity when absent.
    RingBuffer(std::int64_t capacity, std::int64_t prefill, std::optional<std::int64_t> maxFill = std::nullopt);
    RingBuffer(const RingBuffer&) = delete;
    RingBuffer& operator=(const RingBuffer&) = delete;

    // Producer. Copies `count` samples in; only the last `capacity` of a larger block are kept.
    // When they do not fit, the backlog is cut to the prefill level first (an overflow).
    void write(const float* samples, std::int64_t count);
    // Consumer. Fills `count` samples, or silence when not enough are stored (an underrun; the
    // buffer then waits for its prefill again). Nothing is done for count <= 0.
    void read(float* into, std::int64_t count);

    std::int64_t count() const;
    // Counters since the last call; resets them.
    Counters takeCounters();
    // Empties the buffer; counters are kept.
    void clear();

    std::int64_t capacity() const { return capacity_; }
    std::int64_t prefill() const { return prefill_; }
    std::int64_t maxFill() const { return maxFill_; }

private:
    void silence(float* into, std::int64_t count);

    const std::int64_t capacity_;
    const std::int64_t prefill_;
    const std::int64_t maxFill_;

    mutable std::mutex lock_;
    std::vector<float> buf_;
    std::int64_t readIdx_ = 0;
    std::int64_t fill_ = 0;
    bool primed_ = false;
    std::int64_t underruns_ = 0;
    std::int64_t overflows_ = 0;
};

}  // namespace quendra
