#include "core/audio/vad.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/audio/pcm.h"

namespace quendra {
namespace {

using Chunk = SendGate::Chunk;
using Chunks = std::vector<Chunk>;

// A chunk of constant sample value; the first sample tags it so the tests can tell chunks apart.
Chunk chunk(std::int16_t value, std::int16_t tag) {
    Chunk c(1600, value);
    c[0] = tag;
    return c;
}
Chunk quietChunk(std::int16_t tag) { return chunk(0, tag); }
Chunk loudChunk(std::int16_t tag) { return chunk(3000, tag); }

std::vector<std::int16_t> tags(const Chunks& chunks) {
    std::vector<std::int16_t> out;
    for (const auto& c : chunks) out.push_back(c[0]);
    return out;
}

SendGate standardGate() { return SendGate(0.008, 1500, 500, 100); }

TEST(SendGateTest, FrameCountsAreRoundedUp) {
    struct Case {
        double hangoverMs, prerollMs;
        std::int64_t hang, pre;
    };
    const Case cases[] = {{1500, 500, 15, 5}, {1450, 450, 15, 5}, {1501, 0, 16, 0}, {100, 1, 1, 1}};
    for (const auto& c : cases) {
        SendGate gate(0.008, c.hangoverMs, c.prerollMs, 100);
        EXPECT_EQ(gate.hangFrames(), c.hang) << c.hangoverMs;
        EXPECT_EQ(gate.preFrames(), c.pre) << c.prerollMs;
    }
    EXPECT_DEATH(SendGate(0.008, 1500, 500, 0), "");
}

// Closed gate: q1..q7 then L. Each row is one push: what it returns and the skipped count after it.
TEST(SendGateTest, PrerollKeepsTheLatestQuietChunksAndReleasesThemBeforeSpeech) {
    SendGate gate = standardGate();
    struct Step {
        Chunk chunk;
        std::vector<std::int16_t> returned;
        std::int64_t skippedSoFar;
    };
    const Step steps[] = {
        {quietChunk(1), {}, 0},
        {quietChunk(2), {}, 0},
        {quietChunk(3), {}, 0},
        {quietChunk(4), {}, 0},
        {quietChunk(5), {}, 0},
        {quietChunk(6), {}, 1},  // q1 falls out
        {quietChunk(7), {}, 2},  // q2 falls out
        {loudChunk(100), {3, 4, 5, 6, 7, 100}, 2},
    };
    std::int64_t skipped = 0;
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        EXPECT_EQ(tags(gate.push(steps[i].chunk)), steps[i].returned) << "push " << i + 1;
        const auto stats = gate.takeStats();
        skipped += stats.saltati;
        EXPECT_EQ(skipped, steps[i].skippedSoFar) << "push " << i + 1;
        if (i == 7) {
            EXPECT_EQ(stats.mandati, 6);
        }
    }
}

TEST(SendGateTest, HangKeepsTheGateOpenThroughFifteenQuietChunks) {
    SendGate gate = standardGate();
    EXPECT_EQ(tags(gate.push(loudChunk(1))), (std::vector<std::int16_t>{1}));
    for (std::int16_t i = 1; i <= 15; ++i) EXPECT_EQ(tags(gate.push(quietChunk(i))), (std::vector<std::int16_t>{i}));
    EXPECT_TRUE(gate.push(quietChunk(16)).empty());  // closes; starts the pre-roll
    // The 16th quiet chunk went to the pre-roll: it leads the next loud chunk out.
    EXPECT_EQ(tags(gate.push(loudChunk(17))), (std::vector<std::int16_t>{16, 17}));
    // A loud chunk restarts the hang count.
    for (std::int16_t i = 0; i < 15; ++i) EXPECT_EQ(gate.push(quietChunk(i)).size(), 1u);
    EXPECT_EQ(gate.push(loudChunk(1)).size(), 1u);
    for (std::int16_t i = 0; i < 15; ++i) EXPECT_EQ(gate.push(quietChunk(i)).size(), 1u);
    EXPECT_TRUE(gate.push(quietChunk(0)).empty());
    const auto stats = gate.takeStats();
    EXPECT_EQ(stats.mandati, 1 + 15 + 2 + 15 + 1 + 15);
    EXPECT_EQ(stats.saltati, 0);
}

TEST(SendGateTest, WithoutPrerollQuietChunksAreSkippedAtOnce) {
    SendGate gate(0.008, 1500, 0, 100);
    for (std::int16_t i = 0; i < 3; ++i) EXPECT_TRUE(gate.push(quietChunk(i)).empty());
    EXPECT_EQ(tags(gate.push(loudChunk(9))), (std::vector<std::int16_t>{9}));
    EXPECT_EQ(gate.takeStats(), (SendGate::Stats{1, 3, PCM::rms16(loudChunk(9))}));
}

// The level is rounded to three decimals before it is compared with the threshold.
TEST(SendGateTest, LevelIsRoundedBeforeTheComparison) {
    struct Case {
        std::int16_t value;
        bool opens;
        double level;
    };
    const Case cases[] = {{246, true, 0.008}, {245, false, 0.007}, {-246, true, 0.008}, {0, false, 0.0}};
    for (const auto& c : cases) {
        SendGate gate(0.008, 1500, 500, 100);
        EXPECT_EQ(gate.push(Chunk(1600, c.value)).size(), c.opens ? 1u : 0u) << c.value;
        EXPECT_EQ(gate.takeStats().max, c.level) << c.value;
    }
    SendGate gate = standardGate();
    EXPECT_TRUE(gate.push(Chunk{}).empty());  // empty: level 0, quiet
    EXPECT_EQ(gate.takeStats(), (SendGate::Stats{0, 0, 0.0}));
}

TEST(SendGateTest, DisabledGateSendsEverythingAndKeepsItsState) {
    SendGate gate = standardGate();
    gate.push(quietChunk(1));
    gate.push(quietChunk(2));
    gate.takeStats();

    gate.setEnabled(false);
    EXPECT_FALSE(gate.enabled());
    EXPECT_EQ(tags(gate.push(quietChunk(3))), (std::vector<std::int16_t>{3}));
    EXPECT_EQ(tags(gate.push(chunk(246, 4))), (std::vector<std::int16_t>{4}));
    EXPECT_EQ(tags(gate.push(quietChunk(5))), (std::vector<std::int16_t>{5}));
    EXPECT_EQ(gate.takeStats(), (SendGate::Stats{3, 0, 0.008}));
    EXPECT_EQ(gate.takeStats(), (SendGate::Stats{0, 0, 0.0}));

    // Enabled again: the pre-roll held before is still there, and the gate is still closed.
    gate.setEnabled(true);
    EXPECT_EQ(tags(gate.push(loudChunk(6))), (std::vector<std::int16_t>{1, 2, 6}));
}

TEST(VadTest, HangoverEndsSpeechOnTheSixthQuietFrame) {
    Vad vad(0.015f, 600, 100);
    const std::vector<float> loud(1600, 0.1f);
    const std::vector<float> quiet(1600, 0.001f);
    using D = Vad::Decision;
    EXPECT_EQ(vad.push(quiet), (D{false, false}));
    EXPECT_EQ(vad.push(loud), (D{true, true}));
    EXPECT_NEAR(vad.level(), 0.1f, 1e-5);  // accumulated in float
    for (int i = 0; i < 5; ++i) EXPECT_EQ(vad.push(quiet), (D{true, false})) << i;
    EXPECT_EQ(vad.push(quiet), (D{false, true}));
    EXPECT_EQ(vad.push(quiet), (D{false, false}));

    // A loud frame during the hangover starts the count again; frame length does not matter.
    vad.push(loud);
    for (int i = 0; i < 4; ++i) vad.push(quiet);
    EXPECT_EQ(vad.push(std::vector<float>(3, 0.5f)), (D{true, false}));
    for (int i = 0; i < 5; ++i) EXPECT_EQ(vad.push(std::vector<float>{}), (D{true, false}));
    EXPECT_EQ(vad.level(), 0.0f);
    EXPECT_EQ(vad.push(std::vector<float>(1, 0.0f)), (D{false, true}));

    vad.push(loud);
    vad.reset();
    EXPECT_FALSE(vad.speaking());
    EXPECT_EQ(vad.level(), 0.0f);
}

TEST(VadTest, ThresholdIsInclusive) {
    Vad vad(0.5f, 600, 100);
    EXPECT_EQ(vad.push(std::vector<float>{0.5f, -0.5f}), (Vad::Decision{true, true}));
}

}  // namespace
}  // namespace quendra
