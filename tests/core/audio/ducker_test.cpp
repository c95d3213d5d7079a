#include "core/audio/ducker.h"
#include "core/audio/gain_ramp.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <vector>

namespace quendra {
namespace {

using State = Ducker::State;
constexpr auto none = std::nullopt;

Ducker standardDucker(double duckLevel = 0.2) { return Ducker(duckLevel, 400, 400, 600, 50); }

// One call per row, in order, on the same ducker: inputs, then the whole expected result.
struct Step {
    std::optional<bool> mic, translation, bypass;
    double nowMs;
    DuckResult expected;
};

void runTimeline(Ducker& ducker, const std::vector<Step>& steps) {
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const Step& s = steps[i];
        const DuckResult r = ducker.update(s.mic, s.translation, s.bypass, s.nowMs);
        EXPECT_EQ(r.state, s.expected.state) << "step " << i;
        EXPECT_EQ(r.original, s.expected.original) << "step " << i;
        EXPECT_EQ(r.translated, s.expected.translated) << "step " << i;
        EXPECT_EQ(r.changed, s.expected.changed) << "step " << i;
        EXPECT_EQ(r.wakeAtMs, s.expected.wakeAtMs) << "step " << i;
    }
}

TEST(DuckerTest, DucksWhileTranslationPlaysAndReleasesAfterMoreThanTheQuietTime) {
    Ducker ducker = standardDucker();
    runTimeline(ducker, {
        // Translated level unchanged (1.0): its old ramp time (0) remains.
        {none, true, none, 0, {State::ducked, {0.2, 400}, {1.0, 0}, true, none}},
        {none, false, none, 1000, {State::ducked, {0.2, 400}, {1.0, 0}, false, 1601}},
        {none, none, none, 1600, {State::ducked, {0.2, 400}, {1.0, 0}, false, 1601}},  // 600 is not > 600
        {none, none, none, 1601, {State::idle, {1.0, 400}, {1.0, 0}, true, none}},
        {none, none, none, 5000, {State::idle, {1.0, 400}, {1.0, 0}, false, none}},
    });
}

TEST(DuckerTest, SpeakerKeepsADuckAliveButNeverStartsOne) {
    Ducker ducker = standardDucker();
    runTimeline(ducker, {
        {true, none, none, 0, {State::idle, {1.0, 0}, {1.0, 0}, false, none}},
        {none, true, none, 100, {State::ducked, {0.2, 400}, {1.0, 0}, true, none}},
        {none, false, none, 200, {State::ducked, {0.2, 400}, {1.0, 0}, false, none}},  // mic still on
        {false, none, none, 300, {State::ducked, {0.2, 400}, {1.0, 0}, false, 901}},
        {true, none, none, 800, {State::ducked, {0.2, 400}, {1.0, 0}, false, none}},
        {false, none, none, 1000, {State::ducked, {0.2, 400}, {1.0, 0}, false, 1601}},  // restarts
        {none, none, none, 1500, {State::ducked, {0.2, 400}, {1.0, 0}, false, 1601}},
        {none, none, none, 1601, {State::idle, {1.0, 400}, {1.0, 0}, true, none}},
    });
}

TEST(DuckerTest, BypassOverridesTheTargetsWithoutChangingTheState) {
    Ducker ducker = standardDucker();
    runTimeline(ducker, {
        {none, true, none, 0, {State::ducked, {0.2, 400}, {1.0, 0}, true, none}},
        {none, none, true, 50, {State::ducked, {1.0, 400}, {0.0, 50}, true, none}},
        {none, none, none, 100, {State::ducked, {1.0, 400}, {0.0, 50}, false, none}},
        {none, none, false, 150, {State::ducked, {0.2, 400}, {1.0, 50}, true, none}},
        // Bypass while idle: the own path comes through, the translation is silenced.
        {none, false, true, 200, {State::ducked, {1.0, 400}, {0.0, 50}, true, 801}},
        {none, none, none, 801, {State::idle, {1.0, 400}, {0.0, 50}, false, none}},
        {none, none, false, 900, {State::idle, {1.0, 400}, {1.0, 50}, true, none}},
    });
}

TEST(DuckerTest, DuckLevelOfOneNeverChangesALevel) {
    Ducker ducker = standardDucker(1.0);
    for (const auto& [translation, now] : {std::pair{true, 0.0}, {false, 100.0}, {true, 200.0}, {false, 300.0}}) {
        EXPECT_FALSE(ducker.update(none, translation, none, now).changed);
    }
    const DuckResult released = ducker.tick(1000);
    EXPECT_EQ(released.state, State::idle);
    EXPECT_FALSE(released.changed);
}

TEST(DuckerTest, ResetReturnsToIdleAndKeepsSettings) {
    Ducker ducker = standardDucker();
    ducker.update(true, true, true, 0);
    ducker.reset();
    EXPECT_EQ(ducker.state(), State::idle);
    EXPECT_EQ(ducker.duckLevel(), 0.2);
    // Inputs are false again: a tick stays idle with both targets back at (1, 0).
    const DuckResult r = ducker.tick(10);
    EXPECT_EQ(r, (DuckResult{State::idle, {1.0, 0}, {1.0, 0}, false, none}));
}

std::vector<float> gains(GainRamp& ramp, std::size_t count) {
    std::vector<float> g(count);
    ramp.gains(g.data(), count);
    return g;
}

TEST(GainRampTest, LinearRampLandsExactlyOnTheTarget) {
    GainRamp ramp(48000, 1.0f);
    ramp.ramp(0.2, 400);
    const float step = (0.2f - 1.0f) / 19200.0f;
    const std::vector<float> g = gains(ramp, 19300);
    EXPECT_EQ(g[0], 1.0f + step);  // the first sample already carries one step
    float expected = 1.0f;
    std::size_t landed = 0;
    for (std::size_t i = 0; i < g.size(); ++i) {
        expected += step;
        if (expected < 0.2f) expected = 0.2f;
        ASSERT_EQ(g[i], expected) << i;
        if (landed == 0 && g[i] == 0.2f) landed = i + 1;
    }
    EXPECT_NEAR(static_cast<double>(landed), 19200, 2);
    EXPECT_EQ(ramp.value(), 0.2f);
    EXPECT_EQ(ramp.targetValue(), 0.2f);
    EXPECT_EQ(gains(ramp, 10), std::vector<float>(10, 0.2f));
}

TEST(GainRampTest, RampLengthAndTargetAreBounded) {
    const double nan = std::nan("");
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        double rate, from, to, ms;
        float target;
        std::size_t frames;  // samples until the target is reached
    };
    const Case cases[] = {
        {48000, 0, 1.5, 0, 1.0f, 240},      // clamped target, minimum 5 ms
        {48000, 1, -2, 1, 0.0f, 240},
        {48000, 0, 1, nan, 1.0f, 240},
        {48000, 0, 1, inf, 1.0f, 240},
        {48000, 0, 1, -inf, 1.0f, 240},
        {24000, 1, 0, 50, 0.0f, 1200},
        {0, 1, 0, 400, 0.0f, 1},            // no rate: one step
        {nan, 1, 0, 400, 0.0f, 1},
    };
    for (const auto& c : cases) {
        GainRamp ramp(c.rate, static_cast<float>(c.from));
        ramp.ramp(c.to, c.ms);
        EXPECT_EQ(ramp.targetValue(), c.target);
        const std::vector<float> g = gains(ramp, c.frames + 5);
        const auto reached = static_cast<std::size_t>(std::find(g.begin(), g.end(), c.target) - g.begin()) + 1;
        EXPECT_NEAR(static_cast<double>(reached), static_cast<double>(c.frames), 1) << c.rate << " " << c.ms;
        for (float v : g) ASSERT_TRUE(v >= 0.0f && v <= 1.0f);
    }
}

TEST(GainRampTest, NewRampStartsFromTheGainReachedAndApplyMultiplies) {
    GainRamp ramp(1000, 1.0f);
    ramp.ramp(0.0, 10);  // 10 frames of -0.1
    std::vector<float> x(5, 2.0f);
    ramp.apply(x.data(), x.size());
    EXPECT_FLOAT_EQ(x[0], 1.8f);
    EXPECT_FLOAT_EQ(x[4], 1.0f);
    EXPECT_FLOAT_EQ(ramp.value(), 0.5f);
    ramp.ramp(1.0, 5);  // from 0.5, +0.1 per frame
    const std::vector<float> g = gains(ramp, 6);
    EXPECT_FLOAT_EQ(g[0], 0.6f);
    EXPECT_EQ(g[4], 1.0f);
    EXPECT_EQ(g[5], 1.0f);

    ramp.ramp(std::nan(""), 10);  // ignored
    EXPECT_EQ(ramp.targetValue(), 1.0f);
    ramp.setSampleRate(48000);
    EXPECT_EQ(ramp.sampleRate(), 48000);
}

}  // namespace
}  // namespace quendra
