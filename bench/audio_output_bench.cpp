// The audio-thread side of playback, per 480-frame block: the pull player's render followed by
// the translated gain ramp, and a ring buffer write and read. "rtf" is seconds of audio per
// second of CPU at 24000 Hz (player) and 48000 Hz (ring).
#include <benchmark/benchmark.h>

#include <vector>

#include "core/audio/ducker.h"
#include "core/audio/gain_ramp.h"
#include "core/audio/pull_player.h"
#include "core/audio/ring_buffer.h"

namespace {

using namespace quendra;

constexpr std::size_t kBlock = 480;

void BM_PlayerRenderAndGain(benchmark::State& state) {
    PullPlayer player(24000, 120, 5, 30, 5);
    GainRamp gain(24000, 1.0f);
    const std::vector<std::int16_t> chunk(kBlock * 4, 8000);
    std::vector<float> out(kBlock);
    std::int64_t n = 0;
    for (auto _ : state) {
        // Keep the player fed (the core queue's job), outside the measurement.
        if (n % 1024 == 0) {
            state.PauseTiming();
            for (int i = 0; i < 300; ++i) player.enqueue(chunk);
            gain.ramp((n / 1024) % 2 ? 0.2 : 1.0, 400);
            state.ResumeTiming();
        }
        player.render(out.data(), kBlock);
        gain.apply(out.data(), kBlock);
        benchmark::DoNotOptimize(out.data());
        ++n;
    }
    state.counters["rtf"] = benchmark::Counter(static_cast<double>(state.iterations()) * kBlock / 24000,
                                               benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PlayerRenderAndGain);

void BM_RingWriteRead(benchmark::State& state) {
    RingBuffer ring(24000, 1920, 5760);
    std::vector<float> in(kBlock, 0.5f);
    std::vector<float> out(kBlock);
    for (auto _ : state) {
        ring.write(in.data(), kBlock);
        ring.read(out.data(), kBlock);
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["rtf"] = benchmark::Counter(static_cast<double>(state.iterations()) * kBlock / 48000,
                                               benchmark::Counter::kIsRate);
}
BENCHMARK(BM_RingWriteRead);

}  // namespace
