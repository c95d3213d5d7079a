#include "core/audio/pull_player.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quendra {
namespace {

using Samples = std::vector<std::int16_t>;

// The configuration the application uses: 2880 jitter frames, 120 fade, 720 flush, 120 lead.
PullPlayer makePlayer(double jitterMs = 120) { return PullPlayer(24000, jitterMs, 5, 30, 5); }

std::vector<float> render(PullPlayer& player, std::size_t frames) {
    std::vector<float> out(frames, -9.0f);
    // Odd block sizes: nothing may depend on where blocks end.
    for (std::size_t i = 0; i < frames;) {
        const std::size_t n = std::min<std::size_t>(frames - i, 97);
        player.render(out.data() + i, n);
        i += n;
    }
    return out;
}

// Full-scale chunks play at 1.0, so each output sample is the gain applied to it.
Samples fullScale(std::size_t n) { return Samples(n, 32767); }

// Expected gain of sample i of an isolated stretch of `length` samples: fade in over 120 from 1/120,
// fade out to 0 at the last sample.
float edgeGain(std::size_t i, std::size_t length) {
    return std::min({static_cast<float>(i + 1) / 120.0f, static_cast<float>(length - 1 - i) / 120.0f, 1.0f});
}

std::size_t leadingZeros(const std::vector<float>& x) {
    std::size_t n = 0;
    while (n < x.size() && x[n] == 0.0f) ++n;
    return n;
}

TEST(PullPlayerTest, FrameCountsFollowTheRate) {
    PullPlayer player = makePlayer();
    EXPECT_EQ(player.jitterFrames(), 2880);
    EXPECT_EQ(player.fadeFrames(), 120);
    EXPECT_EQ(player.flushFrames(), 720);
    EXPECT_EQ(player.minLeadFrames(), 120);
    EXPECT_EQ(player.hangFrames(), 6000);
    EXPECT_EQ(player.sampleRate(), 24000);
    PullPlayer tiny(100, 0, 1, 1, 0);  // fades are at least one frame
    EXPECT_EQ(tiny.fadeFrames(), 1);
    EXPECT_EQ(tiny.flushFrames(), 1);
}

TEST(PullPlayerTest, StartsAfterTheJitterDelayWithEdgeFades) {
    PullPlayer player = makePlayer();
    player.enqueue(fullScale(2400));
    const std::vector<float> out = render(player, 2880 + 2400 + 50);
    EXPECT_EQ(leadingZeros(out), 2880u);
    for (std::size_t i = 0; i < 2400; ++i) ASSERT_NEAR(out[2880 + i], edgeGain(i, 2400), 1e-5) << i;
    EXPECT_FLOAT_EQ(out[2880], 1.0f / 120);
    EXPECT_NEAR(out[2880 + 119], 1.0f, 1e-5);
    EXPECT_EQ(out[2880 + 2399], 0.0f);
    for (std::size_t i = 2880 + 2400; i < out.size(); ++i) ASSERT_EQ(out[i], 0.0f);
}

TEST(PullPlayerTest, ShortChunkPlaysAsATriangle) {
    PullPlayer player = makePlayer();
    player.enqueue(fullScale(10));
    const std::vector<float> out = render(player, 2880 + 20);
    const std::vector<float> expected{1, 2, 3, 4, 5, 4, 3, 2, 1, 0};
    for (std::size_t i = 0; i < 10; ++i) EXPECT_FLOAT_EQ(out[2880 + i], expected[i] / 120.0f) << i;
}

TEST(PullPlayerTest, ChunkArrivingWhilePlayingFollowsAtFullGain) {
    PullPlayer player = makePlayer();
    player.enqueue(fullScale(2400));
    std::vector<float> out = render(player, 2880 + 2000);  // 400 unplayed
    player.enqueue(fullScale(2400));
    const std::vector<float> more = render(player, 2400 + 400 + 10);
    out.insert(out.end(), more.begin(), more.end());
    for (std::size_t i = 0; i < 4800; ++i) ASSERT_NEAR(out[2880 + i], edgeGain(i, 4800), 1e-5) << i;
}

// Running dry ends playback at the next rendered frame: a chunk arriving before that frame
// continues at once with a fresh fade-in, one arriving after it waits a full delay.
TEST(PullPlayerTest, RunningDryDecidesBetweenContinuingAndANewDelay) {
    struct Case {
        std::size_t framesAfterLastSample;
        std::size_t expectedSilence;
    };
    const Case cases[] = {{0, 0}, {1, 2880}, {500, 2880}};
    for (const auto& c : cases) {
        PullPlayer player = makePlayer();
        player.enqueue(fullScale(10));
        render(player, 2880 + 10 + c.framesAfterLastSample);
        player.enqueue(fullScale(10));
        const std::vector<float> out = render(player, 2880 + 20);
        EXPECT_EQ(leadingZeros(out), c.expectedSilence) << c.framesAfterLastSample;
        EXPECT_FLOAT_EQ(out[c.expectedSilence], 1.0f / 120) << c.framesAfterLastSample;
    }
}

TEST(PullPlayerTest, FlushWhileRunningLeavesAFadedTailAndHoldsNewAudio) {
    PullPlayer player = makePlayer();
    player.enqueue(Samples(6000, 16384));
    const float x = 16384.0f / 32767.0f;
    render(player, 2880 + 1000);  // 5000 queued, edge 1
    player.flush();
    player.enqueue(fullScale(2400));
    const std::vector<float> out = render(player, 2880 + 10);
    for (std::size_t f = 0; f < 720; ++f) {
        ASSERT_FLOAT_EQ(out[f], x * 1.0f * (1.0f - static_cast<float>(f) / 720.0f)) << f;
    }
    // The new audio starts after max(hold 840, jitter 2880) frames.
    for (std::size_t i = 720; i < 2880; ++i) ASSERT_EQ(out[i], 0.0f) << i;
    EXPECT_FLOAT_EQ(out[2880], 1.0f / 120);
}

TEST(PullPlayerTest, HoldAfterFlushOutlastsAShorterJitterDelay) {
    struct Case {
        std::size_t renderedAfterFlush;
        std::size_t expectedStart;  // frames after the enqueue
    };
    // hold = 720 + 120, counting down per rendered frame; no jitter delay.
    const Case cases[] = {{0, 840}, {100, 740}, {840, 0}, {2000, 0}};
    for (const auto& c : cases) {
        PullPlayer player = makePlayer(0);
        player.enqueue(fullScale(2400));
        render(player, 500);
        player.flush();
        render(player, c.renderedAfterFlush);
        player.enqueue(fullScale(2400));
        const std::vector<float> out = render(player, 1000);
        std::size_t start = 0;
        while (out[start] != 1.0f / 120) ++start;
        EXPECT_EQ(start, c.expectedStart) << c.renderedAfterFlush;
    }
}

TEST(PullPlayerTest, FlushBeforePlaybackLeavesNoTail) {
    PullPlayer player = makePlayer();
    player.enqueue(fullScale(2400));
    render(player, 100);
    player.flush();
    EXPECT_FALSE(player.isPlaying());
    EXPECT_EQ(player.bufferedSeconds(), 0.0);
    EXPECT_EQ(leadingZeros(render(player, 6000)), 6000u);
}

TEST(PullPlayerTest, VoicedTrackingAndBufferedSeconds) {
    PullPlayer player = makePlayer();
    player.enqueue(Samples(2400, 100));  // RMS 0.003: not voiced
    EXPECT_FALSE(player.isPlaying());
    EXPECT_EQ(player.bufferedSeconds(), 0.0);

    player.enqueue(Samples(2400, 3000));
    EXPECT_TRUE(player.isPlaying());
    EXPECT_DOUBLE_EQ(player.bufferedSeconds(), 0.2);  // all queued samples count

    render(player, 2880 + 4800);  // the last voiced sample plays on the last frame
    EXPECT_EQ(player.bufferedSeconds(), 0.0);
    render(player, 5999);
    EXPECT_TRUE(player.isPlaying());
    render(player, 1);
    EXPECT_FALSE(player.isPlaying());

    PullPlayer single = makePlayer();
    single.enqueue(Samples(2400, 3000));
    EXPECT_DOUBLE_EQ(single.bufferedSeconds(), 0.1);
    single.enqueue(Samples{});
    EXPECT_DOUBLE_EQ(single.bufferedSeconds(), 0.1);
}

TEST(PullPlayerTest, GrowingTheRingKeepsTheOrderWhenItsHeadIsNotAtTheStart) {
    PullPlayer player(24000, 0, 0.001, 30, 5);  // fades of one frame: samples play as they are
    for (int i = 0; i < 10; ++i) player.enqueue(Samples(3, 1000));
    render(player, 40);  // plays them all: the live chunks now start at slot 10
    for (int i = 0; i < 300; ++i) player.enqueue(Samples(3, static_cast<std::int16_t>((i + 1) * 100)));
    const std::vector<float> out = render(player, 900);
    for (std::size_t i = 0; i + 1 < 900; ++i) {  // the very last sample fades to 0
        ASSERT_NEAR(out[i] * 32767, static_cast<float>((i / 3 + 1) * 100), 0.01) << "chunk " << i / 3;
    }
}

TEST(PullPlayerTest, QueueStopsAtItsLimitAndDropsWholeChunks) {
    std::vector<std::string> warnings;
    PullPlayer player(100, 0, 10, 10, 0);
    Logger logger;
    logger.warn = [&warnings](const std::string& text) { warnings.push_back(text); };
    player.setLogger(logger);
    EXPECT_EQ(player.maxQueuedFrames(), 18000);
    for (int i = 0; i < 20; ++i) player.enqueue(fullScale(1000));
    EXPECT_DOUBLE_EQ(player.bufferedSeconds(), 180);
    EXPECT_EQ(player.droppedChunks(), 2);
    EXPECT_EQ(warnings, std::vector<std::string>{"coda di riproduzione piena (180 s): audio tradotto scartato"});
    render(player, 1000);  // room for one chunk again
    player.enqueue(fullScale(1000));
    player.enqueue(fullScale(1000));
    EXPECT_EQ(player.droppedChunks(), 3);
    EXPECT_EQ(warnings.size(), 1u);
    player.flush();  // a new stream may warn again
    for (int i = 0; i < 19; ++i) player.enqueue(fullScale(1000));
    EXPECT_EQ(player.droppedChunks(), 4);
    EXPECT_EQ(warnings.size(), 2u);
}

TEST(PullPlayerTest, ManySmallChunksOutgrowTheInitialRing) {
    PullPlayer player = makePlayer(0);
    for (int i = 0; i < 1000; ++i) player.enqueue(fullScale(3));
    const std::vector<float> out = render(player, 3000 + 10);
    for (std::size_t i = 0; i < 3000; ++i) ASSERT_NEAR(out[i], edgeGain(i, 3000), 1e-5) << i;
    EXPECT_EQ(out[3000], 0.0f);
}

}  // namespace
}  // namespace quendra
