#include "core/audio/pcm.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace quendra {
namespace {

using Samples = std::vector<std::int16_t>;
using Floats = std::vector<float>;

TEST(PcmTest, FloatToInt16ClampsRoundsAndUsesTheAsymmetricScale) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        float x;
        std::int16_t expected;
    };
    const Case cases[] = {
        {nan, 0},
        {2.0f, 32767},
        {-3.0f, -32768},
        {1.0f, 32767},
        {-1.0f, -32768},
        {0.5f, 16384},   // 16383.5 rounds away from zero
        {-0.5f, -16384},
        {0.0f, 0},
        {-0.0f, 0},
        {std::numeric_limits<float>::infinity(), 32767},
        {-std::numeric_limits<float>::infinity(), -32768},
        // 0.5 + 2^-15: the true product is 16384.49997; a float product rounds it to 16384.5.
        {0.500030517578125f, 16384},
        {1.0f / 32767.0f * 0.49f, 0},
        {-1.5f / 32768.0f, -2},
    };
    for (const auto& c : cases) EXPECT_EQ(PCM::floatToInt16(c.x), c.expected) << c.x;

    const Floats all{nan, 2.0f, -3.0f, 1.0f, -1.0f, 0.5f, -0.5f};
    EXPECT_EQ(PCM::floatToInt16(all), (Samples{0, 32767, -32768, 32767, -32768, 16384, -16384}));
}

TEST(PcmTest, Int16ToFloatIsExactAtBothEnds) {
    EXPECT_EQ(PCM::int16ToFloat(Samples{-32768, 32767, 0}), (Floats{-1.0f, 1.0f, 0.0f}));
    // Every 16-bit value survives the round trip.
    Samples all;
    for (int s = -32768; s <= 32767; ++s) all.push_back(static_cast<std::int16_t>(s));
    EXPECT_EQ(PCM::floatToInt16(PCM::int16ToFloat(all)), all);
}

TEST(PcmTest, ResampleLinear) {
    const Floats three{0.1f, 0.2f, 0.3f};
    EXPECT_EQ(PCM::resampleLinear(three, 48000, 16000), (Floats{0.1f}));

    const Floats up = PCM::resampleLinear(three, 16000, 48000);
    ASSERT_EQ(up.size(), 9u);
    EXPECT_EQ(up[0], 0.1f);
    EXPECT_EQ(up[3], 0.2f);
    EXPECT_FLOAT_EQ(up[1], 0.1f + (0.2f - 0.1f) * static_cast<float>(1.0 / 3.0));
    EXPECT_EQ(up[6], 0.3f);
    EXPECT_EQ(up[7], 0.3f);
    EXPECT_EQ(up[8], 0.3f);

    EXPECT_EQ(PCM::resampleLinear(three, 16000, 16000), three);
    EXPECT_TRUE(PCM::resampleLinear({}, 16000, 24000).empty());
    EXPECT_TRUE(PCM::resampleLinear(Floats{0.5f}, 48000, 8000).empty());  // round(1/6) = 0
}

TEST(PcmTest, ResampleInt16) {
    const Samples x{0, 100};
    EXPECT_EQ(PCM::resampleInt16(x, 8000, 16000), (Samples{0, 50, 100, 100}));
    EXPECT_EQ(PCM::resampleInt16(x, 16000, 16000), x);
    // Empty input comes back even with rates that would otherwise be refused.
    EXPECT_TRUE(PCM::resampleInt16({}, 0, 16000).empty());
    EXPECT_EQ(PCM::resampleInt16(Samples{32767, -32768, 32767}, 16000, 24000).size(), 5u);
    EXPECT_EQ(PCM::resampleInt16(Samples{10, 20, 30, 40}, 24000, 16000), (Samples{10, 25, 40}));
}

TEST(PcmDeathTest, RatesNotAboveZeroStopTheProgram) {
    EXPECT_DEATH(PCM::resampleLinear(Floats{1}, 0, 16000), "");
    EXPECT_DEATH(PCM::resampleLinear(Floats{1}, 16000, std::nan("")), "");
    EXPECT_DEATH(PCM::resampleInt16(Samples{1}, -1, 16000), "");
}

TEST(PcmTest, ApplyGainRoundsAndClamps) {
    const Samples x{1000, -1000, 3, -3, 20000, -20000};
    EXPECT_EQ(PCM::applyGain(x, 1.0), x);
    EXPECT_EQ(PCM::applyGain(x, 0.5), (Samples{500, -500, 2, -2, 10000, -10000}));
    EXPECT_EQ(PCM::applyGain(x, 2.0), (Samples{2000, -2000, 6, -6, 32767, -32768}));
    EXPECT_EQ(PCM::applyGain(x, std::nan("")), Samples(6, 0));
}

TEST(PcmTest, Levels) {
    EXPECT_EQ(PCM::rms16(Samples{100}), 0.003);
    EXPECT_EQ(PCM::rms16Exact(Samples{100}), 0.0030517578125);
    EXPECT_EQ(PCM::rms16(Samples{}), 0.0);
    EXPECT_EQ(PCM::rms16Exact(Samples{}), 0.0);
    EXPECT_EQ(PCM::rms16Exact(Samples(10, -32768)), 1.0);
    EXPECT_EQ(PCM::rms16Exact(Samples(10, 32767)), 32767.0 / 32768.0);
    EXPECT_EQ(PCM::rms16(Samples(10, 246)), 0.008);  // 0.00751 rounds up
    EXPECT_EQ(PCM::rms16(Samples(10, 245)), 0.007);  // 0.00748 rounds down

    EXPECT_EQ(PCM::rms(Floats{}), 0.0f);
    EXPECT_EQ(PCM::rms(Floats{0.5f, -0.5f}), 0.5f);
    EXPECT_FLOAT_EQ(PCM::rms(Floats{3.0f, 4.0f}), std::sqrt(12.5f));
}

TEST(PcmTest, Base64EncodesLittleEndianBytes) {
    struct Case {
        Samples samples;
        std::string text;
    };
    const Case cases[] = {
        {{}, ""},
        {{1, -1}, "AQD//w=="},         // 01 00 FF FF
        {{0, 256, -32768}, "AAAAAQCA"},  // 00 00 00 01 00 80
        {{0x4241}, "QUI="},
        {{0x4241, 0x4443, 0x4645}, "QUJDREVG"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PCM::base64(c.samples), c.text);
        if (!c.samples.empty()) {
            EXPECT_EQ(PCM::int16(c.text), c.samples) << c.text;
        }
    }
}

TEST(PcmTest, Int16DecodesStrictlyAndNeverFails) {
    struct Case {
        std::string text;
        Samples expected;
    };
    const Case cases[] = {
        {"AAAAAQCA", {0, 256, -32768}},
        {"AAEC", {256}},          // three bytes: the odd one is ignored
        {"AQ==", {}},             // one byte
        {"", {}},
        {"AAAA AQCA", {}},        // space
        {"AAAA\nAQCA", {}},       // line break
        {"AAAAAQC*", {}},         // outside the alphabet
        {"AAAAAQC", {}},          // missing padding
        {"AA==AAAA", {}},         // padding inside
        {"A===", {}},
        {"====", {}},
        {"AAAA-_AA", {}},         // URL-safe alphabet is not standard base64
        {std::string("AAA\0", 4), {}},
    };
    for (const auto& c : cases) EXPECT_EQ(PCM::int16(c.text), c.expected) << c.text;
}

}  // namespace
}  // namespace quendra
