// The measured delay of both directions on the mock provider under the manual clock: the test
// renders the players as audio devices would, 20 ms at a time.
#include <gtest/gtest.h>

#include <cmath>

#include "core/engine/engine.h"
#include "core/engine/measured_delay.h"
#include "support/fakes.h"

namespace quendra {
namespace {

using test::ManualScheduler;
using test::RecordingLogger;
using test::SocketRecorder;

constexpr int kChunk = 1600;       // 100 ms at 16 kHz
constexpr int kRenderBlock = 480;  // 20 ms at 24 kHz
constexpr double kJitterMs = 120;

std::vector<std::int16_t> tone(double amplitude) {
    std::vector<std::int16_t> chunk(kChunk);
    for (int i = 0; i < kChunk; ++i) {
        chunk[static_cast<size_t>(i)] =
            static_cast<std::int16_t>(std::lround(amplitude * 32767 * std::sin(2 * M_PI * 440 * i / 16000.0)));
    }
    return chunk;
}

class MeasuredDelayTest : public ::testing::Test {
protected:
    std::shared_ptr<ManualScheduler> scheduler = std::make_shared<ManualScheduler>();
    SocketRecorder sockets{scheduler};
    RecordingLogger log;
    AudioPorts listenPorts{std::make_shared<PullPlayer>(24000, kJitterMs, 5, 30, 5),
                           std::make_shared<GainRamp>(48000, 1.0f), std::make_shared<GainRamp>(48000, 1.0f)};
    AudioPorts speakPorts{std::make_shared<PullPlayer>(24000, kJitterMs, 5, 30, 5),
                          std::make_shared<GainRamp>(48000, 1.0f), std::make_shared<GainRamp>(48000, 0.0f)};

    std::shared_ptr<TranslationEngine> make(bool silenceGate) {
        Settings settings;
        settings.provider = "mock";
        settings.silenceGate = silenceGate;
        FetchFunction fetch = [](const HTTPRequest&, FetchCompletion) { FAIL() << "the mock needs no token"; };
        return std::make_shared<TranslationEngine>(settings, scheduler, sockets.factory(), fetch, listenPorts,
                                                   speakPorts, log.logger());
    }

    // `ms` of capture and playback in 20 ms steps; a chunk of `chunk` goes to both directions every
    // 100 ms.
    void run(TranslationEngine& engine, double ms, const std::vector<std::int16_t>& chunk) {
        float block[kRenderBlock];
        for (double t = 0; t < ms; t += 20) {
            if (std::fmod(elapsed_, 100) == 0) {
                engine.listenChunk(chunk);
                engine.micChunk(chunk);
            }
            scheduler->advance(20);
            elapsed_ += 20;
            listenPorts.player->render(block, kRenderBlock);
            speakPorts.player->render(block, kRenderBlock);
        }
    }

    // Utterances of 800 ms, each followed by 3 s of silence.
    void utterances(TranslationEngine& engine, int count) {
        for (int i = 0; i < count; ++i) {
            run(engine, 800, tone(0.3));
            run(engine, 3000, tone(0));
        }
    }

    double elapsed_ = 0;
};

TEST_F(MeasuredDelayTest, IsTheMockDelayPlusWhatThePlayerHoldsBackInBothDirections) {
    // Without the gate every chunk is sent: the mock's 2 s plus the player's jitter delay. With the
    // gate the 500 ms of pre-roll sent before the first loud chunk plays first, and is heard as delay.
    const struct {
        bool gate;
        double expectedMs;
    } cases[] = {{false, 2000 + kJitterMs}, {true, 2000 + kJitterMs + 500}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.gate ? "gate on" : "gate off");
        auto engine = make(c.gate);
        engine->start(std::nullopt, std::nullopt);
        EXPECT_EQ(engine->status().listenDelayMs, std::nullopt);
        run(*engine, 1000, tone(0));
        utterances(*engine, 5);
        const auto status = engine->status();
        ASSERT_TRUE(status.listenDelayMs && status.speakDelayMs);
        // The render thread's onset is read at the next 50 ms poll.
        EXPECT_GE(*status.listenDelayMs, c.expectedMs);
        EXPECT_LE(*status.listenDelayMs, c.expectedMs + 70);
        EXPECT_GE(*status.speakDelayMs, c.expectedMs);
        EXPECT_LE(*status.speakDelayMs, c.expectedMs + 70);
        engine->stop();
        EXPECT_EQ(engine->status().listenDelayMs, std::nullopt);
    }
}

TEST_F(MeasuredDelayTest, CutUtterancesAndPassthroughAreNotMeasured) {
    auto engine = make(false);
    engine->start(std::nullopt, std::nullopt);
    run(*engine, 800, tone(0.3));
    engine->cut();  // before the mock answers: nothing of it is played
    engine->setOriginalVoice(true);
    run(*engine, 3000, tone(0));
    EXPECT_EQ(engine->status().listenDelayMs, std::nullopt);
    // The next utterance pairs with its own translation, not with the one cut.
    utterances(*engine, 1);
    ASSERT_TRUE(engine->status().listenDelayMs);
    EXPECT_LE(*engine->status().listenDelayMs, 2000 + kJitterMs + 70);
    // The original voice lets no translation through: the speak side measures nothing.
    EXPECT_EQ(engine->status().speakDelayMs, std::nullopt);
}

TEST_F(MeasuredDelayTest, IsLoggedOnceAMinute) {
    auto engine = make(false);
    engine->start(std::nullopt, std::nullopt);
    utterances(*engine, 15);  // 57 s
    EXPECT_FALSE(log.contains("ritardo misurato"));
    run(*engine, 3000, tone(0));
    run(*engine, 58000, tone(0));
    int lines = 0;
    for (const auto& text : log.texts()) lines += text.find("ritardo misurato") != std::string::npos;
    EXPECT_EQ(lines, 1);
    const auto status = engine->status();
    ASSERT_TRUE(status.listenDelayMs && status.speakDelayMs);
    EXPECT_TRUE(log.contains("ritardo misurato: ascolto " + delayText(*status.listenDelayMs) + " (9 frasi), parlato " +
                             delayText(*status.speakDelayMs) + " (9 frasi)"))
        << log.texts().back();
}

TEST(DelayTextTest, RoundsToTenthsWithADecimalComma) {
    const std::pair<double, const char*> cases[] = {{2840, "~2,8 s"}, {2850, "~2,9 s"}, {0, "~0,0 s"},
                                                    {-5, "~0,0 s"},    {12960, "~13,0 s"}};
    for (const auto& [ms, text] : cases) EXPECT_EQ(delayText(ms), text) << ms;
}

}  // namespace
}  // namespace quendra
