#include "core/audio/ring_buffer.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

namespace quendra {
namespace {

using Floats = std::vector<float>;
using Counters = RingBuffer::Counters;

// 1, 2, 3, ... from `first`, so every delivered sample tells where it came from.
Floats ramp(std::size_t n, float first = 1) {
    Floats x(n);
    std::iota(x.begin(), x.end(), first);
    return x;
}

Floats read(RingBuffer& ring, std::int64_t n) {
    Floats out(static_cast<std::size_t>(n), -1.0f);
    ring.read(out.data(), n);
    return out;
}

void write(RingBuffer& ring, const Floats& x) { ring.write(x.data(), static_cast<std::int64_t>(x.size())); }

TEST(RingBufferTest, LimitsAreClamped) {
    struct Case {
        std::int64_t capacity, prefill;
        std::optional<std::int64_t> maxFill;
        std::int64_t expectedCapacity, expectedPrefill, expectedMaxFill;
    };
    const Case cases[] = {
        {24000, 1920, 5760, 24000, 1920, 5760},
        {24000, 1920, std::nullopt, 24000, 1920, 24000},
        {24000, 1920, 100, 24000, 1920, 1920},  // never below the prefill
        {24000, 1920, 90000, 24000, 1920, 24000},
        {0, 5, std::nullopt, 1, 1, 1},
        {100, -5, 50, 100, 0, 50},
    };
    for (const auto& c : cases) {
        RingBuffer ring(c.capacity, c.prefill, c.maxFill);
        EXPECT_EQ(ring.capacity(), c.expectedCapacity);
        EXPECT_EQ(ring.prefill(), c.expectedPrefill);
        EXPECT_EQ(ring.maxFill(), c.expectedMaxFill);
    }
}

TEST(RingBufferTest, WaitsForThePrefillThenDelivers) {
    RingBuffer ring(24000, 1920, 5760);
    std::int64_t written = 0;
    std::int64_t silentReads = 0;
    while (written < 1920) {
        EXPECT_EQ(read(ring, 512), Floats(512, 0.0f)) << written;
        ++silentReads;
        write(ring, ramp(480, static_cast<float>(written + 1)));
        written += 480;
    }
    EXPECT_EQ(read(ring, 512), ramp(512));
    EXPECT_EQ(ring.count(), 1920 - 512);
    EXPECT_EQ(ring.takeCounters(), (Counters{silentReads, 0}));
    EXPECT_EQ(ring.takeCounters(), (Counters{0, 0}));
}

TEST(RingBufferTest, TrimsBuiltUpLatencyToThePrefill) {
    RingBuffer ring(24000, 1920, 5760);
    write(ring, ramp(6400));
    // 6400 > 5760 + 512: keep the newest 1920, then deliver 512 of them.
    EXPECT_EQ(read(ring, 512), ramp(512, 6400 - 1920 + 1));
    EXPECT_EQ(ring.count(), 1408);

    RingBuffer exact(24000, 1920, 5760);
    write(exact, ramp(6272));  // exactly maxFill + count: no trim
    EXPECT_EQ(read(exact, 512), ramp(512));
}

TEST(RingBufferTest, OverflowKeepsThePrefillAndOversizedWritesKeepTheNewest) {
    RingBuffer ring(24000, 1920, 5760);
    write(ring, ramp(30000));  // only the last 24000; fits exactly, no overflow
    EXPECT_EQ(ring.count(), 24000);
    EXPECT_EQ(ring.takeCounters(), (Counters{0, 0}));

    write(ring, ramp(512, 100000));  // keeps min(23488, 24000, 1920) old samples
    EXPECT_EQ(ring.count(), 1920 + 512);
    EXPECT_EQ(ring.takeCounters(), (Counters{0, 1}));
    const Floats out = read(ring, 1920 + 512);
    EXPECT_EQ(Floats(out.begin(), out.begin() + 1920), ramp(1920, 30000 - 1920 + 1));
    EXPECT_EQ(Floats(out.begin() + 1920, out.end()), ramp(512, 100000));
}

TEST(RingBufferTest, OverflowWithAPrefillNearTheCapacityNeverOverfills) {
    // Keeping the whole prefill would leave no room for the write: it keeps only what fits.
    RingBuffer ring(10, 8);
    write(ring, ramp(8));
    write(ring, ramp(5, 100));
    EXPECT_EQ(ring.count(), 10);
    EXPECT_EQ(ring.takeCounters(), (Counters{0, 1}));
    Floats expected = ramp(5, 4);
    const Floats newest = ramp(5, 100);
    expected.insert(expected.end(), newest.begin(), newest.end());
    EXPECT_EQ(read(ring, 10), expected);
}

TEST(RingBufferTest, WrapsAroundAndUnderrunsWithoutConsuming) {
    RingBuffer ring(10, 4);
    Floats delivered;
    float next = 1;
    for (int i = 0; i < 20; ++i) {
        write(ring, ramp(3, next));
        next += 3;
        const Floats out = read(ring, 3);
        if (out != Floats(3, 0.0f)) delivered.insert(delivered.end(), out.begin(), out.end());
    }
    EXPECT_EQ(delivered, ramp(delivered.size()));  // in order, nothing lost or repeated
    EXPECT_GE(delivered.size(), 50u);

    RingBuffer small(10, 4);
    write(small, ramp(2));
    EXPECT_EQ(read(small, 3), Floats(3, 0.0f));
    EXPECT_EQ(small.count(), 2);  // silence consumes nothing
    write(small, ramp(2, 3));
    EXPECT_EQ(read(small, 3), ramp(3));
    EXPECT_EQ(read(small, 3), Floats(3, 0.0f));  // 1 left: underrun, unprimed again
    write(small, ramp(2, 5));
    EXPECT_EQ(read(small, 3), Floats(3, 0.0f));  // 3 stored, prefill 4 needed
    EXPECT_EQ(small.takeCounters(), (Counters{3, 0}));

    small.write(nullptr, 0);
    small.write(nullptr, -4);
    small.read(nullptr, 0);
    EXPECT_EQ(small.count(), 3);
    small.clear();
    EXPECT_EQ(small.count(), 0);
    EXPECT_EQ(small.takeCounters(), (Counters{0, 0}));
}

TEST(RingBufferTest, ClearKeepsTheCounters) {
    RingBuffer ring(100, 10);
    read(ring, 5);
    ring.clear();
    EXPECT_EQ(ring.takeCounters(), (Counters{1, 0}));
}

}  // namespace
}  // namespace quendra
