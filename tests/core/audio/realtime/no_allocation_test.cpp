// The audio-thread operations must not touch the heap: this binary counts the heap use of the
// audio-thread paths (support/counting_allocator.h) and runs many blocks through each after warm-up.
#include <gtest/gtest.h>

#include <vector>

#include "core/audio/ducker.h"
#include "core/audio/gain_ramp.h"
#include "core/audio/pull_player.h"
#include "core/audio/resampler.h"
#include "core/audio/ring_buffer.h"
#include "support/counting_allocator.h"

namespace quendra {
namespace {

thread_local bool counting = false;

template <typename F>
test::HeapUse countHeapUse(F&& body) {
    test::countHeapUseWhen([] { return counting; });
    test::resetHeapUse();
    counting = true;
    body();
    counting = false;
    return test::heapUse();
}

TEST(NoAllocationTest, CountingSeesOrdinaryAllocations) {
    const test::HeapUse c = countHeapUse([] { std::vector<float> v(10); });
    EXPECT_EQ(c.allocations, 1);
    EXPECT_EQ(c.releases, 1);
}

TEST(NoAllocationTest, AudioThreadPathsNeverTouchTheHeap) {
    constexpr std::size_t kBlock = 480;
    PullPlayer player(24000, 120, 5, 30, 5);
    GainRamp translated(24000, 1.0f);
    GainRamp original(48000, 1.0f);
    RingBuffer ring(24000, 1920, 5760);
    StreamResampler resampler(48000, 16000);

    std::vector<float> block(kBlock);
    std::vector<float> gains(kBlock);
    std::vector<float> captured(kBlock * 2, 0.25f);
    std::vector<float> resampled;
    std::vector<float> fromRing(kBlock);

    // Warm-up: every path once, the resampler's output reserved.
    const std::vector<std::int16_t> speech(kBlock, 8000);
    player.enqueue(speech);
    player.render(block.data(), kBlock);
    resampler.process(captured, resampled);

    // Core-queue work (allocating, not counted) interleaved with counted audio-thread blocks:
    // chunks finish and are dropped from the queue inside render, ramps restart, flushes cut in.
    long rendered = 0;
    float loudest = 0;
    for (int round = 0; round < 50; ++round) {
        for (int i = 0; i < 20; ++i) player.enqueue(speech);
        translated.ramp(round % 2 ? 0.2 : 1.0, 40);
        const test::HeapUse c = countHeapUse([&] {
            for (int b = 0; b < 60; ++b) {
                player.render(block.data(), kBlock);
                translated.apply(block.data(), kBlock);
                original.gains(gains.data(), kBlock);
                ring.write(block.data(), kBlock);
                ring.read(fromRing.data(), kBlock);
                resampler.process(captured, resampled);
                if (b == 45 && round % 3 == 0) player.flush();
                for (float s : block) loudest = std::max(loudest, s);
                ++rendered;
            }
            (void)player.isPlaying();
            (void)player.bufferedSeconds();
            (void)ring.count();
            (void)ring.takeCounters();
        });
        ASSERT_EQ(c.allocations, 0) << "round " << round;
        ASSERT_EQ(c.releases, 0) << "round " << round;
    }
    EXPECT_EQ(rendered, 50 * 60);
    EXPECT_GT(loudest, 0.2f);  // the player really played
    EXPECT_FALSE(resampled.empty());
}

}  // namespace
}  // namespace quendra
