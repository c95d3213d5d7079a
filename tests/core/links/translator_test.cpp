#include "core/links/factory.h"
#include "core/links/mock_translator.h"

#include <gtest/gtest.h>

#include "core/audio/pcm.h"
#include "support/fakes.h"

namespace quendra {
namespace {

using test::FixedTokenSource;
using test::ManualScheduler;
using test::SocketRecorder;

struct Recorded {
    std::vector<std::pair<LinkState, std::optional<std::string>>> states;
    std::vector<std::vector<std::int16_t>> audio;
    std::vector<Usage> usages;
};

class MockTranslatorTest : public ::testing::Test {
protected:
    std::shared_ptr<ManualScheduler> scheduler = std::make_shared<ManualScheduler>();
    SocketRecorder sockets{scheduler};
    FixedTokenSource tokens;
    Recorded rec;

    std::shared_ptr<Translator> make(TokenSource source = nullptr) {
        TranslatorOptions options("en", scheduler, sockets.factory(),
                                  source ? source : tokens.source());
        auto made = createTranslator("mock", options);
        EXPECT_TRUE(made.has_value());
        auto translator = *made;
        translator->onState = [this](LinkState s, const std::optional<std::string>& m) {
            rec.states.emplace_back(s, m);
        };
        translator->onAudio = [this](const std::vector<std::int16_t>& a) { rec.audio.push_back(a); };
        translator->onUsage = [this](const Usage& u) { rec.usages.push_back(u); };
        return translator;
    }
};

TEST(LinkStateTest, RawValuesRoundTripAndRejectOtherText) {
    for (auto s : {LinkState::off, LinkState::connecting, LinkState::open, LinkState::reconnecting,
                   LinkState::closed, LinkState::error, LinkState::passthrough}) {
        EXPECT_EQ(linkStateFromRaw(rawValue(s)), s);
    }
    EXPECT_EQ(linkStateFromRaw("passthrough"), LinkState::passthrough);
    EXPECT_EQ(linkStateFromRaw("Open"), std::nullopt);
    EXPECT_EQ(linkStateFromRaw(""), std::nullopt);
}

TEST(LinkTuningTest, DefaultsAreTheDocumentedOnes) {
    const LinkTuning t;
    EXPECT_EQ(t.renewAfterMs, std::nullopt);
    EXPECT_EQ(t.drainMs, 2500);
    EXPECT_EQ(t.setupTimeoutMs, 10000);
    EXPECT_EQ(t.maxQueueMs, 10000);
    EXPECT_EQ(t.usageIntervalMs, 1000);
    EXPECT_EQ(t.backoffBaseMs, 500);
    EXPECT_EQ(t.backoffMaxMs, 15000);
    EXPECT_EQ(t.maxRetries, 6);
    EXPECT_EQ(t.autoStreamEndMs, 1500);
    EXPECT_EQ(t.silenceAfterMs, 300);
    EXPECT_EQ(t.silenceTailMs, 2000);
    EXPECT_EQ(t.transcriptPauseMs, 1200);
    EXPECT_EQ(t.mockDelayMs, 2000);
}

TEST(CreateTranslatorTest, ProviderIdentifiersMatchExactly) {
    auto scheduler = std::make_shared<ManualScheduler>();
    SocketRecorder sockets;
    TranslatorOptions options("en", scheduler, sockets.factory(), FixedTokenSource{}.source());
    EXPECT_TRUE(createTranslator("mock", options).has_value());
    for (const std::string id : {"Mock", "", "deepl", "mock "}) {
        auto made = createTranslator(id, options);
        ASSERT_FALSE(made.has_value()) << id;
        EXPECT_EQ(made.error(), Error(LinkError{"fornitore non supportato: " + id, false, false}));
    }
}

TEST_F(MockTranslatorTest, NewTranslatorIsClosedWithZeroUsage) {
    auto t = make();
    EXPECT_EQ(t->state, LinkState::closed);
    EXPECT_EQ(t->inputBytes, 0);
    EXPECT_EQ(t->outputBytes, 0);
    EXPECT_EQ(t->usage(), (Usage{0, 0}));
    t->inputBytes = 32000;
    t->outputBytes = 48000;
    EXPECT_EQ(t->usage(), (Usage{1, 1}));
}

TEST_F(MockTranslatorTest, ConnectOpensInsideTheCallEvenWhenTheTokenFails) {
    tokens.result = tl::unexpected(Error{TokenError{"no", std::nullopt, false}});
    auto t = make();
    int completions = 0;
    t->connect([&](std::optional<Error> e) {
        EXPECT_FALSE(e.has_value());
        ++completions;
    });
    EXPECT_EQ(completions, 1);
    EXPECT_EQ(t->state, LinkState::open);
    ASSERT_EQ(rec.states.size(), 2u);
    EXPECT_EQ(rec.states[0], std::make_pair(LinkState::connecting, std::optional<std::string>{}));
    EXPECT_EQ(rec.states[1], std::make_pair(LinkState::open, std::optional<std::string>{}));

    // Already open: completes at once, no state.
    t->connect([&](std::optional<Error> e) {
        EXPECT_FALSE(e.has_value());
        ++completions;
    });
    EXPECT_EQ(completions, 2);
    EXPECT_EQ(rec.states.size(), 2u);
}

TEST_F(MockTranslatorTest, ConnectWhileConnectingEmitsNoSecondConnectingAndDiesWithTheTranslator) {
    TokenCompletion pending;
    auto t = make([&](TokenCompletion c) { pending = std::move(c); });
    int completions = 0;
    t->connect([&](std::optional<Error>) { ++completions; });
    t->connect([&](std::optional<Error>) { ++completions; });
    EXPECT_EQ(rec.states.size(), 1u);
    EXPECT_EQ(t->state, LinkState::connecting);
    t.reset();  // the token arrives after the translator is gone
    pending(Token{"x", std::nullopt, Token::Kind::apiKey});
    EXPECT_EQ(completions, 0);
}

TEST_F(MockTranslatorTest, EchoesEachChunkAfterTheDelayResampledWithOneUsageReport) {
    auto t = make();
    t->connect(nullptr);
    std::vector<std::int16_t> chunk(1600);
    for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<std::int16_t>(i * 10);
    t->sendAudio(chunk);
    EXPECT_EQ(t->inputBytes, 3200);
    scheduler->advance(1999);
    EXPECT_TRUE(rec.audio.empty());
    scheduler->advance(1);
    ASSERT_EQ(rec.audio.size(), 1u);
    EXPECT_EQ(rec.audio[0], PCM::resampleInt16(chunk, 16000, 24000));
    EXPECT_EQ(rec.audio[0].size(), 2400u);
    EXPECT_EQ(t->outputBytes, 4800);
    ASSERT_EQ(rec.usages.size(), 1u);
    EXPECT_EQ(rec.usages[0], (Usage{0.1, 0.1}));
}

TEST_F(MockTranslatorTest, AudioWhileNotOpenIsDroppedAndCloseCancelsPendingEchoes) {
    auto t = make();
    t->sendAudio(std::vector<std::int16_t>(1600, 1));  // closed: dropped
    EXPECT_EQ(t->inputBytes, 0);
    t->connect(nullptr);
    t->sendAudio(std::vector<std::int16_t>(1600, 1));
    scheduler->advance(1000);
    t->close();
    EXPECT_EQ(rec.usages.size(), 1u);
    EXPECT_EQ(rec.states.back(), std::make_pair(LinkState::closed, std::optional<std::string>{}));
    const auto statesAfterClose = rec.states.size();
    t->close();
    scheduler->advance(5000);
    EXPECT_TRUE(rec.audio.empty());
    EXPECT_EQ(rec.usages.size(), 1u);
    EXPECT_EQ(rec.states.size(), statesAfterClose);
}

TEST_F(MockTranslatorTest, EchoOfATranslatorReleasedMeanwhileIsDropped) {
    auto t = make();
    t->connect(nullptr);
    t->sendAudio(std::vector<std::int16_t>(1600, 1));
    std::weak_ptr<Translator> weak = t;
    t.reset();
    EXPECT_TRUE(weak.expired());  // the pending block holds it weakly
    scheduler->advance(3000);
    EXPECT_TRUE(rec.audio.empty());
}

class AbstractOnly : public Translator {
public:
    using Translator::Translator;
    void connect(Completion c) override { Translator::connect(std::move(c)); }
    void sendAudio(const std::vector<std::int16_t>& s) override { Translator::sendAudio(s); }
    void close() override { Translator::close(); }
};

TEST(TranslatorDeathTest, AbstractOperationsStopWithTheirMessages) {
    auto scheduler = std::make_shared<ManualScheduler>();
    TranslatorOptions options("en", scheduler, nullptr, nullptr);
    auto t = std::make_shared<AbstractOnly>(options);
    EXPECT_DEATH(t->connect(nullptr), "connect\\(\\) non implementato");
    EXPECT_DEATH(t->sendAudio({}), "sendAudio\\(\\) non implementato");
    EXPECT_DEATH(t->close(), "close\\(\\) non implementato");
}

}  // namespace
}  // namespace quendra
