// The render paths do not touch the heap: this binary counts what the layer's stream callbacks
// allocate and release with new and delete (support/counting_allocator.h; everything else, libpulse's
// own C allocations included, is left alone), and runs both graphs in steady state with audio on
// every path: a captured application, a microphone, a translation playing.
#include <atomic>

#include "core/audio/pcm.h"
#include "platform/net/core_queue.h"
#include "sound/graphs.h"
#include "sound/streams.h"
#include "sound_fixture.h"
#include "support/counting_allocator.h"

namespace quendra::test {
namespace {

using RenderAllocationTest = SoundTest;

TEST_F(RenderAllocationTest, StreamCallbacksOfBothGraphsAllocateNothingInSteadyState) {
    Player call(speechA(), "Zoom", "us.zoom.xos");
    StereoPlayer voice(speechB(), speechB(), "Voce di prova", "microphone");
    ASSERT_TRUE(waitOnSink("Zoom", "headphones"));
    CoreQueue core;
    const PostFunction toCore = [&core](std::function<void()> task) { core.post(std::move(task)); };
    const auto ports = [] {
        return AudioPorts{std::make_shared<PullPlayer>(24000, 60, 5, 30, 5), std::make_shared<GainRamp>(48000, 1.0f),
                          std::make_shared<GainRamp>(24000, 1.0f)};
    };
    const AudioPorts listenPorts = ports();
    const AudioPorts speakPorts = ports();
    std::atomic<int> listenChunks{0};
    std::atomic<int> speakChunks{0};
    ListenGraph listen(server, toCore, Logger{});
    SpeakGraph speak(server, toCore, Logger{});
    auto started = listen.start("us.zoom.xos", listenPorts, [&](std::vector<std::int16_t>) { ++listenChunks; }, [] {});
    ASSERT_TRUE(started) << audioErrorMessage(started.error());
    started = speak.start("speakers", speakPorts, [&](std::vector<std::int16_t>) { ++speakChunks; }, [] {});
    ASSERT_TRUE(started) << audioErrorMessage(started.error());
    ASSERT_TRUE(waitOnTap("Zoom"));

    // Both translation players get speech to play through the window below.
    const auto speech = resampled(speechA().samples, speechA().sampleRate, 24000);
    const std::vector<std::int16_t> pcm = PCM::floatToInt16(std::span<const float>(speech));
    for (const auto& player : {listenPorts.player, speakPorts.player}) {
        core.post([player, pcm] {
            for (std::size_t i = 0; i < pcm.size(); i += 2400)
                player->enqueue(std::span<const std::int16_t>(pcm.data() + i, std::min<std::size_t>(2400, pcm.size() - i)));
        });
    }
    // Warm-up: both record paths deliver.
    ASSERT_TRUE(main.waitUntil([&] { return listenChunks > 5 && speakChunks > 5; }));

    countHeapUseWhen(inStreamCallback);
    resetHeapUse();
    const int listenFrom = listenChunks;
    const int speakFrom = speakChunks;
    // Two seconds of audio through every path.
    ASSERT_TRUE(main.waitUntil([&] { return listenChunks >= listenFrom + 20 && speakChunks >= speakFrom + 20; }));
    const HeapUse counted = heapUse();
    countHeapUseWhen(nullptr);
    EXPECT_EQ(counted.allocations, 0);
    EXPECT_EQ(counted.releases, 0);
    listen.stop();
    speak.stop();
}

}  // namespace
}  // namespace quendra::test
