// A render thread pulls the player, applies a gain ramp and reads the ring buffer while a control
// thread (standing in for the core queue and the capture thread) enqueues, flushes, ramps and
// writes. Bounded by an iteration count, never by time. Run under ThreadSanitizer as well.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "core/audio/ducker.h"
#include "core/audio/gain_ramp.h"
#include "core/audio/pull_player.h"
#include "core/audio/ring_buffer.h"

namespace quendra {
namespace {

TEST(AudioThreadsTest, RenderWhileTheControlThreadChangesEverything) {
    constexpr std::size_t kBlock = 480;
    constexpr int kControlSteps = 3000;
    constexpr std::int16_t kValue = 8192;
    const float value = static_cast<float>(kValue) / 32767.0f;

    PullPlayer player(24000, 20, 5, 30, 5);
    GainRamp gain(24000, 1.0f);
    RingBuffer ring(4800, 960, 1920);

    std::atomic<bool> done{false};
    std::atomic<long> blocks{0};

    // Found by the render thread, checked after the join.
    double playedSum = 0;
    long playerOutOfRange = 0;
    long gainOutOfRange = 0;
    long ringOutOfOrder = 0;
    long ringDelivered = 0;

    std::thread render([&] {
        std::vector<float> out(kBlock);
        std::vector<float> ones(kBlock);
        std::vector<float> fromRing(kBlock);
        float lastFromRing = 0;
        while (!done.load(std::memory_order_acquire) || player.isPlaying()) {
            player.render(out.data(), kBlock);
            for (float s : out) {
                // Constant positive input: fades and tails must keep every sample in [0, value],
                // and a tail never overlaps new audio.
                if (!(s >= 0.0f && s <= value * 1.000001f)) ++playerOutOfRange;
                playedSum += s;
            }
            std::fill(ones.begin(), ones.end(), 1.0f);
            gain.apply(ones.data(), kBlock);
            for (float g : ones) {
                if (!(g >= 0.0f && g <= 1.0f)) ++gainOutOfRange;
            }
            ring.read(fromRing.data(), static_cast<std::int64_t>(kBlock));
            for (float s : fromRing) {
                if (s == 0.0f) continue;  // silence of an underrun
                if (s <= lastFromRing) ++ringOutOfOrder;
                lastFromRing = s;
                ++ringDelivered;
            }
            blocks.fetch_add(1, std::memory_order_release);
        }
    });

    std::mt19937 rng(42);
    std::uniform_int_distribution<std::size_t> chunkSize(1, 3000);
    std::uniform_real_distribution<double> level(-0.5, 1.5);
    std::uniform_real_distribution<double> rampMs(0, 100);
    while (blocks.load(std::memory_order_acquire) == 0) std::this_thread::yield();

    long enqueued = 0;
    std::uint64_t lastOnsets = 0;
    float sequence = 1;  // ring samples count up, so order and duplicates show
    std::vector<float> toRing(240);
    for (int step = 0; step < kControlSteps; ++step) {
        const std::size_t n = chunkSize(rng);
        player.enqueue(std::vector<std::int16_t>(n, kValue));
        enqueued += static_cast<long>(n);
        if (step % 500 == 250) {
            // A burst of tiny chunks makes the player grow its chunk ring while it renders.
            for (int i = 0; i < 600; ++i) {
                player.enqueue(std::vector<std::int16_t>(3, kValue));
                enqueued += 3;
            }
        }
        if (step % 7 == 3) player.flush();
        gain.ramp(level(rng), rampMs(rng));
        if (step % 50 == 0) gain.setSampleRate(step % 100 == 0 ? 48000 : 24000);
        for (float& s : toRing) s = sequence++;
        ring.write(toRing.data(), static_cast<std::int64_t>(toRing.size()));
        (void)player.bufferedSeconds();
        std::uint64_t onsets = player.voiceOnsets();  // published by the render thread without a lock
        EXPECT_GE(onsets, lastOnsets);
        lastOnsets = onsets;
        (void)ring.takeCounters();
        if (step % 4 == 0) std::this_thread::yield();
    }
    player.flush();
    done.store(true, std::memory_order_release);
    render.join();

    EXPECT_EQ(playerOutOfRange, 0);
    EXPECT_EQ(gainOutOfRange, 0);
    EXPECT_EQ(ringOutOfOrder, 0);
    // Every queued sample plays at most once, at a gain of at most 1, in the queue or in a tail.
    EXPECT_LE(playedSum, static_cast<double>(enqueued) * value * 1.0001);
    EXPECT_GT(playedSum, 0.0);
    EXPECT_GT(blocks.load(), 0);
    EXPECT_GT(player.voiceOnsets(), 0u);  // flushes end the voice again and again
    EXPECT_LE(ringDelivered, static_cast<long>(sequence));
}

}  // namespace
}  // namespace quendra
