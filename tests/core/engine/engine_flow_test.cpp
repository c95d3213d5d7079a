// A whole run of the engine on the mock provider under the manual clock: real speech goes in
// through both capture entry points and comes back out of the players.
#include <gtest/gtest.h>

#include "core/engine/engine.h"
#include "core/audio/pcm.h"
#include "core/audio/resampler.h"
#include "support/fakes.h"
#include "support/speech.h"

namespace quendra {
namespace {

using test::ManualScheduler;
using test::SocketRecorder;

constexpr int kChunk = 1600;          // 100 ms at 16 kHz
constexpr int kRenderBlock = 480;     // 20 ms at 24 kHz, as an audio device pulls
constexpr int kOutPerStep = 2400;     // 100 ms at 24 kHz
constexpr long kJitterFrames = 2880;  // 120 ms at 24 kHz

// The 16 kHz chunks the capture side would produce from `speech`, with silence around it.
std::vector<std::vector<std::int16_t>> captureChunks(const test::Audio& speech, double leadSeconds,
                                                     double trailSeconds) {
    std::vector<float> stream(static_cast<size_t>(leadSeconds * speech.sampleRate), 0.0f);
    stream.insert(stream.end(), speech.samples.begin(), speech.samples.end());
    stream.resize(stream.size() + static_cast<size_t>(trailSeconds * speech.sampleRate), 0.0f);
    StreamResampler resampler(speech.sampleRate, 16000);
    std::vector<std::vector<std::int16_t>> chunks;
    Int16Chunker chunker(kChunk, [&](std::vector<std::int16_t> c) { chunks.push_back(std::move(c)); });
    chunker.push(resampler.process(stream));
    return chunks;
}

std::vector<std::int16_t> concat(const std::vector<std::vector<std::int16_t>>& chunks) {
    std::vector<std::int16_t> all;
    for (const auto& c : chunks) all.insert(all.end(), c.begin(), c.end());
    return all;
}

class EngineFlowTest : public ::testing::Test {
protected:
    std::shared_ptr<ManualScheduler> scheduler = std::make_shared<ManualScheduler>();
    SocketRecorder sockets{scheduler};
    AudioPorts listenPorts{std::make_shared<PullPlayer>(24000, 120, 5, 30, 5),
                           std::make_shared<GainRamp>(48000, 1.0f), std::make_shared<GainRamp>(48000, 1.0f)};
    AudioPorts speakPorts{std::make_shared<PullPlayer>(24000, 120, 5, 30, 5),
                          std::make_shared<GainRamp>(48000, 1.0f), std::make_shared<GainRamp>(48000, 0.0f)};
    std::vector<EngineStatus> statuses;
    std::vector<std::pair<double, std::string>> autoStops;

    std::shared_ptr<TranslationEngine> make(bool silenceGate) {
        Settings settings;
        settings.provider = "mock";
        settings.silenceGate = silenceGate;
        FetchFunction fetch = [](const HTTPRequest&, FetchCompletion) { FAIL() << "the mock needs no token"; };
        auto engine = std::make_shared<TranslationEngine>(settings, scheduler, sockets.factory(), fetch,
                                                          listenPorts, speakPorts, Logger::silent());
        engine->onStatus = [this](const EngineStatus& s) { statuses.push_back(s); };
        engine->onAutoStop = [this](const std::string& reason) { autoStops.emplace_back(scheduler->nowMs(), reason); };
        return engine;
    }

    static void render(PullPlayer& player, std::vector<float>& out) {
        float block[kRenderBlock];
        for (int i = 0; i < kOutPerStep / kRenderBlock; ++i) {
            player.render(block, kRenderBlock);
            out.insert(out.end(), block, block + kRenderBlock);
        }
    }
};

TEST_F(EngineFlowTest, SpeechComesBackDelayedInBothPlayersAndDucksTheOriginal) {
    const auto speech = test::speak("Good morning, this is a translation test.");
    ASSERT_TRUE(speech.has_value()) << "espeak-ng must be installed (scripts/install-deps.sh)";
    const auto chunks = captureChunks(*speech, 0.5, 0.5);
    auto engine = make(/*silenceGate=*/false);
    engine->start(std::nullopt, std::nullopt);
    ASSERT_EQ(statuses.front().speakState, LinkState::open);

    // One step is 100 ms: the clock moves, a chunk arrives from each capture, and each device
    // pulls 100 ms from its player. Output sample n of a player is pulled at step n / 2400.
    std::vector<float> listenOut, speakOut;
    bool ducked = false;
    const size_t steps = chunks.size() + 40;
    for (size_t step = 0; step < steps; ++step) {
        scheduler->advance(100);
        if (step < chunks.size()) {
            engine->listenChunk(chunks[step]);
            engine->micChunk(chunks[step]);
        }
        render(*listenPorts.player, listenOut);
        render(*speakPorts.player, speakOut);
        if (engine->status().tailActive && listenPorts.original->targetValue() == 0.15f) ducked = true;
    }
    EXPECT_TRUE(ducked) << "the original sound is lowered while the translation plays";
    EXPECT_EQ(listenPorts.original->targetValue(), 1.0f) << "and restored once it has ended";

    // Chunk i arrives at step i and comes back 2000 ms (20 steps) later, when the player waits its
    // jitter delay before the first sample: a lag of 20 * 2400 + 2880 output samples. The mock
    // resamples each chunk on its own (holding its last sample), so against the whole stream
    // resampled at once only the chunk edges differ: the match must be near perfect, at the exact
    // lag (one sample either way for the interpolation).
    std::vector<float> reference = PCM::int16ToFloat(PCM::resampleInt16(concat(chunks), 16000, 24000));
    const long expectedLag = 20 * kOutPerStep + kJitterFrames;
    for (const auto* out : {&listenOut, &speakOut}) {
        const auto match = test::bestMatch(reference, *out, expectedLag - 300, expectedLag + 300);
        EXPECT_NEAR(match.lag, expectedLag, 1);
        EXPECT_GT(match.correlation, 0.98);
    }

    // Usage follows the mock's reports: every chunk went out and came back.
    const double seconds = static_cast<double>(chunks.size()) * 0.1;
    EXPECT_NEAR(engine->status().minutesIn, 2 * seconds / 60, 1e-9);
    EXPECT_NEAR(engine->status().minutesOut, 2 * seconds / 60, 1e-9);
    EXPECT_EQ(engine->status().costEur, 0);

    engine->stop();
    EXPECT_EQ(statuses.back().listenState, LinkState::off);
    EXPECT_EQ(statuses.back().speakState, LinkState::off);
    EXPECT_NEAR(statuses.back().minutesIn, 2 * seconds / 60, 1e-9);
}

TEST_F(EngineFlowTest, SilenceGateSkipsQuietChunksAndSendsThePrerollBeforeSpeech) {
    const auto speech = test::speak("Hello there.");
    ASSERT_TRUE(speech.has_value());
    const auto chunks = captureChunks(*speech, 1.5, 0.0);
    auto engine = make(/*silenceGate=*/true);
    engine->start(std::nullopt, std::nullopt);
    auto translator = engine->listenSession()->translator();
    auto& gate = engine->listenSession()->gate();

    size_t firstSent = chunks.size();
    for (size_t i = 0; i < chunks.size() && firstSent == chunks.size(); ++i) {
        scheduler->advance(100);
        const auto before = translator->inputBytes;
        engine->listenChunk(chunks[i]);
        if (translator->inputBytes > before) {
            firstSent = i;
            // The first loud chunk goes out with the five quiet chunks before it.
            EXPECT_EQ(translator->inputBytes - before, 6 * 2 * kChunk);
        }
    }
    ASSERT_GE(firstSent, 14u) << "1.5 s of leading silence is 15 quiet chunks";
    const auto stats = gate.takeStats();
    EXPECT_EQ(stats.mandati, 6);
    EXPECT_EQ(stats.saltati, static_cast<std::int64_t>(firstSent) - 5);
}

TEST_F(EngineFlowTest, IdleAutoStopComesAfterFifteenQuietMinutes) {
    const auto speech = test::speak("Is anybody there?");
    ASSERT_TRUE(speech.has_value());
    const auto chunks = captureChunks(*speech, 0.0, 0.0);
    auto engine = make(/*silenceGate=*/true);
    engine->start(std::nullopt, std::nullopt);
    double lastSpeech = 0;
    for (const auto& chunk : chunks) {
        scheduler->advance(100);
        engine->listenChunk(chunk);
        if (PCM::rms16(chunk) > 0.015) lastSpeech = scheduler->nowMs();
    }
    // The echo plays and ends; nothing is said for a long time.
    std::vector<float> out;
    for (int i = 0; i < 40; ++i) {
        scheduler->advance(100);
        render(*listenPorts.player, out);
    }
    const double quietFrom = scheduler->nowMs();
    scheduler->advance(lastSpeech + 899000 - scheduler->nowMs());
    EXPECT_TRUE(autoStops.empty());
    scheduler->advance(quietFrom + 902000 - scheduler->nowMs());
    ASSERT_EQ(autoStops.size(), 1u);
    EXPECT_EQ(autoStops[0].second, "idle");
    EXPECT_GE(autoStops[0].first, lastSpeech + 900000);
    EXPECT_TRUE(engine->running()) << "the application decides what an idle stop does";
}

}  // namespace
}  // namespace quendra
