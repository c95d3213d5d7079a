#include "core/audio/ring_buffer.h"

#include <algorithm>
#include <cstring>

namespace quendra {

namespace {

std::int64_t clampedCapacity(std::int64_t capacity) { return std::max<std::int64_t>(capacity, 1); }

std::int64_t clampedPrefill(std::int64_t capacity, std::int64_t prefill) {
    return std::max<std::int64_t>(std::min(prefill, clampedCapacity(capacity)), 0);
}

}  // namespace

RingBuffer::RingBuffer(std::int64_t capacity, std::int64_t prefill, std::optional<std::int64_t> maxFill)
    : capacity_(clampedCapacity(capacity)),
      prefill_(clampedPrefill(capacity, prefill)),
      maxFill_(std::min(capacity_, std::max(maxFill.value_or(capacity), prefill_))),
      buf_(static_cast<std::size_t>(capacity_), 0.0f) {}

void RingBuffer::write(const float* samples, std::int64_t count) {
    if (count <= 0) return;
    if (count > capacity_) {
        samples += count - capacity_;
        count = capacity_;
    }
    const std::lock_guard guard(lock_);
    if (fill_ + count > capacity_) {
        ++overflows_;
        const std::int64_t keep = std::min({capacity_ - count, fill_, prefill_});
        readIdx_ = (readIdx_ + fill_ - keep) % capacity_;
        fill_ = keep;
    }
    const std::int64_t start = (readIdx_ + fill_) % capacity_;
    const std::int64_t first = std::min(count, capacity_ - start);
    std::memcpy(buf_.data() + start, samples, static_cast<std::size_t>(first) * sizeof(float));
    std::memcpy(buf_.data(), samples + first, static_cast<std::size_t>(count - first) * sizeof(float));
    fill_ += count;
}

void RingBuffer::read(float* into, std::int64_t count) {
    if (count <= 0) return;
    const std::lock_guard guard(lock_);
    if (!primed_) {
        if (fill_ < std::max(count, prefill_)) return silence(into, count);
        primed_ = true;
    }
    if (fill_ > maxFill_ + count) {
        // Latency has built up: drop the oldest samples down to the prefill level.
        const std::int64_t target = std::max(prefill_, count);
        readIdx_ = (readIdx_ + fill_ - target) % capacity_;
        fill_ = target;
    }
    if (fill_ < count) return silence(into, count);
    const std::int64_t first = std::min(count, capacity_ - readIdx_);
    std::memcpy(into, buf_.data() + readIdx_, static_cast<std::size_t>(first) * sizeof(float));
    std::memcpy(into + first, buf_.data(), static_cast<std::size_t>(count - first) * sizeof(float));
    readIdx_ = (readIdx_ + count) % capacity_;
    fill_ -= count;
}

void RingBuffer::silence(float* into, std::int64_t count) {
    primed_ = false;
    ++underruns_;
    std::fill(into, into + count, 0.0f);
}

std::int64_t RingBuffer::count() const {
    const std::lock_guard guard(lock_);
    return fill_;
}

RingBuffer::Counters RingBuffer::takeCounters() {
    const std::lock_guard guard(lock_);
    const Counters counters{underruns_, overflows_};
    underruns_ = 0;
    overflows_ = 0;
    return counters;
}

void RingBuffer::clear() {
    const std::lock_guard guard(lock_);
    readIdx_ = 0;
    fill_ = 0;
    primed_ = false;
}

}  // namespace quendra
