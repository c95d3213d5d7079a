// The audio-thread operations must not touch the heap: this binary replaces the global allocation
// functions with counting ones and runs many blocks through every such path after warm-up.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "core/audio/ducker.h"
#include "core/audio/gain_ramp.h"
#include "core/audio/pull_player.h"
#include "core/audio/resampler.h"
#include "core/audio/ring_buffer.h"

namespace {

thread_local bool counting = false;
std::atomic<long> allocations{0};
std::atomic<long> deallocations{0};

void* allocate(std::size_t size, std::size_t alignment = 0) {
    if (counting) allocations.fetch_add(1, std::memory_order_relaxed);
    void* p = alignment > alignof(std::max_align_t)
                  ? std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment)
                  : std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

void release(void* p) noexcept {
    if (p == nullptr) return;
    if (counting) deallocations.fetch_add(1, std::memory_order_relaxed);
    std::free(p);
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, std::align_val_t a) { return allocate(size, static_cast<std::size_t>(a)); }
void* operator new[](std::size_t size, std::align_val_t a) { return allocate(size, static_cast<std::size_t>(a)); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }
void operator delete(void* p, std::align_val_t) noexcept { release(p); }
void operator delete[](void* p, std::align_val_t) noexcept { release(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { release(p); }

namespace quendra {
namespace {

struct Counted {
    long allocations;
    long deallocations;
};

template <typename F>
Counted countHeapUse(F&& body) {
    allocations = 0;
    deallocations = 0;
    counting = true;
    body();
    counting = false;
    return {allocations.load(), deallocations.load()};
}

TEST(NoAllocationTest, CountingSeesOrdinaryAllocations) {
    const Counted c = countHeapUse([] { std::vector<float> v(10); });
    EXPECT_EQ(c.allocations, 1);
    EXPECT_EQ(c.deallocations, 1);
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
        const Counted c = countHeapUse([&] {
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
        ASSERT_EQ(c.deallocations, 0) << "round " << round;
    }
    EXPECT_EQ(rendered, 50 * 60);
    EXPECT_GT(loudest, 0.2f);  // the player really played
    EXPECT_FALSE(resampled.empty());
}

}  // namespace
}  // namespace quendra
