#include "core/engine/engine.h"

#include <gtest/gtest.h>

#include "support/fakes.h"

namespace quendra {
namespace {

using test::ManualScheduler;
using test::RecordingLogger;
using test::SocketRecorder;

AudioPorts makePorts() {
    return AudioPorts{std::make_shared<PullPlayer>(24000, 120, 5, 30, 5), std::make_shared<GainRamp>(48000, 1.0f),
                      std::make_shared<GainRamp>(48000, 0.0f)};
}

class EngineTest : public ::testing::Test {
protected:
    std::shared_ptr<ManualScheduler> scheduler = std::make_shared<ManualScheduler>();
    SocketRecorder sockets{scheduler};
    RecordingLogger log;
    AudioPorts listenPorts = makePorts();
    AudioPorts speakPorts = makePorts();
    std::vector<HTTPRequest> requests;
    std::vector<FetchCompletion> pendingFetches;
    std::vector<EngineStatus> statuses;
    Settings settings = mockSettings();

    static Settings mockSettings() {
        Settings s;
        s.provider = "mock";
        return s;
    }

    std::shared_ptr<TranslationEngine> make() {
        FetchFunction fetch = [this](const HTTPRequest& r, FetchCompletion c) {
            requests.push_back(r);
            pendingFetches.push_back(std::move(c));
        };
        auto engine = std::make_shared<TranslationEngine>(settings, scheduler, sockets.factory(), fetch,
                                                          listenPorts, speakPorts, log.logger());
        engine->onStatus = [this](const EngineStatus& s) { statuses.push_back(s); };
        return engine;
    }
};

TEST_F(EngineTest, MockLinksOpenInsideStartAndTheFirstStatusShowsIt) {
    auto engine = make();
    engine->start(std::nullopt, std::nullopt);
    ASSERT_EQ(statuses.size(), 1u);
    EXPECT_EQ(statuses[0].speakState, LinkState::open);
    EXPECT_EQ(statuses[0].listenState, LinkState::open);
    EXPECT_TRUE(log.contains("motore avvio: modello mock"));
}

TEST_F(EngineTest, ListeningEnabledLaterStartsAtOnce) {
    settings.listenEnabled = false;
    auto engine = make();
    engine->start(std::nullopt, std::nullopt);
    EXPECT_NE(engine->speakSession(), nullptr);
    EXPECT_EQ(engine->status().listenState, LinkState::off);
    statuses.clear();
    auto next = settings;
    next.listenEnabled = true;
    engine->apply(next, std::nullopt, std::nullopt);
    ASSERT_EQ(statuses.size(), 1u);
    EXPECT_EQ(statuses[0].listenState, LinkState::open);
}

TEST_F(EngineTest, RestartLogsStopThenStartAndBeginsAFreshRun) {
    auto engine = make();
    engine->start(std::nullopt, std::nullopt);
    engine->setOriginalVoice(true);
    engine->listenSession()->translator()->onUsage(Usage{90, 30});
    EXPECT_DOUBLE_EQ(engine->status().minutesIn, 1.5);
    EXPECT_DOUBLE_EQ(engine->status().minutesOut, 0.5);
    EXPECT_TRUE(engine->status().originalVoice);

    engine->start(std::nullopt, std::nullopt);
    const auto texts = log.texts();
    ASSERT_GE(texts.size(), 3u);
    EXPECT_EQ(texts[texts.size() - 2], "motore stop");
    EXPECT_EQ(texts.back(), "motore avvio: modello mock");
    EXPECT_EQ(engine->status().minutesIn, 0);
    EXPECT_FALSE(engine->status().originalVoice);
}

TEST_F(EngineTest, IdleEngineStoresSettingsAndOnlyCutPublishes) {
    auto engine = make();
    auto next = settings;
    next.glossary = "Ombrix";
    engine->apply(next, "errore", std::nullopt);
    EXPECT_EQ(engine->settings().glossary, "Ombrix");
    engine->setOriginalVoice(true);
    EXPECT_TRUE(statuses.empty());
    engine->cut();
    ASSERT_EQ(statuses.size(), 1u);
    EXPECT_FALSE(statuses[0].originalVoice);
}

TEST_F(EngineTest, ApplyAdjustsTheDirectionsFieldByField) {
    struct Case {
        const char* name;
        std::function<void(Settings&)> change;
        std::optional<std::string> listenError, speakError;
        bool listenReplaced, speakReplaced;
        std::function<void(const TranslationEngine&)> check;
    };
    const Case cases[] = {
        {"provider", [](Settings& s) { s.provider = "Mock"; }, {}, {}, true, true,
         [](const TranslationEngine& e) {
             EXPECT_EQ(e.status().listenError, "fornitore non supportato: Mock");
             EXPECT_EQ(e.status().speakError, "fornitore non supportato: Mock");
         }},
        {"glossary", [](Settings& s) { s.glossary = "Quendra"; }, {}, {}, true, true, nullptr},
        {"listenLanguage", [](Settings& s) { s.listenLanguage = "fr"; }, {}, {}, true, false, nullptr},
        {"voice", [](Settings& s) { s.voice = "Kore"; }, {}, {}, true, false, nullptr},
        {"outputLanguage", [](Settings& s) { s.outputLanguage = "de"; }, {}, {}, false, true, nullptr},
        {"originalDuckLevel", [](Settings& s) { s.originalDuckLevel = 0.3; }, {}, {}, false, false, nullptr},
        {"micDuckLevel", [](Settings& s) { s.micDuckLevel = 0.3; }, {}, {}, false, false, nullptr},
        {"silenceGate", [](Settings& s) { s.silenceGate = false; }, {}, {}, false, false,
         [](const TranslationEngine& e) {
             EXPECT_FALSE(e.listenSession()->gate().enabled());
             EXPECT_FALSE(e.speakSession()->gate().enabled());
         }},
        {"serviceUrl", [](Settings& s) { s.serviceUrl = "https://other.example"; }, {}, {}, false, false, nullptr},
        {"sessionToken", [](Settings& s) { s.sessionToken = "new"; }, {}, {}, false, false, nullptr},
        {"listenTarget", [](Settings& s) { s.listenTarget = "org.mozilla.firefox"; }, {}, {}, false, false, nullptr},
        {"speakOutputUID", [](Settings& s) { s.speakOutputUID = "sink"; }, {}, {}, false, false, nullptr},
        {"listenEnabled", [](Settings& s) { s.listenEnabled = false; }, {}, {}, true, false,
         [](const TranslationEngine& e) {
             EXPECT_EQ(e.listenSession(), nullptr);
             EXPECT_EQ(e.status().listenState, LinkState::off);
         }},
        {"speakEnabled", [](Settings& s) { s.speakEnabled = false; }, {}, {}, false, true,
         [](const TranslationEngine& e) { EXPECT_EQ(e.status().speakState, LinkState::off); }},
        {"listen device error", nullptr, "Cattura non disponibile", {}, true, false,
         [](const TranslationEngine& e) {
             EXPECT_EQ(e.status().listenState, LinkState::error);
             EXPECT_EQ(e.status().listenError, "Cattura non disponibile");
         }},
        {"speak device error", nullptr, {}, "Uscita non disponibile", false, true,
         [](const TranslationEngine& e) {
             EXPECT_EQ(e.status().speakState, LinkState::error);
             EXPECT_EQ(e.status().speakError, "Uscita non disponibile");
         }},
    };
    for (const auto& c : cases) {
        statuses.clear();
        auto engine = make();
        engine->start(std::nullopt, std::nullopt);
        auto listenBefore = engine->listenSession()->translator();
        auto speakBefore = engine->speakSession()->translator();
        auto next = settings;
        if (c.change) c.change(next);
        statuses.clear();
        engine->apply(next, c.listenError, c.speakError);
        EXPECT_EQ(listenBefore->state == LinkState::closed, c.listenReplaced) << c.name;
        EXPECT_EQ(speakBefore->state == LinkState::closed, c.speakReplaced) << c.name;
        EXPECT_EQ(statuses.size(), 1u) << c.name;
        if (c.check) c.check(*engine);
    }
}

TEST_F(EngineTest, FactoryOfAGoneEngineFailsWithMotoreFermo) {
    auto engine = make();
    engine->start(std::nullopt, std::nullopt);
    auto speak = engine->speakSession();
    engine.reset();  // the session outlives the engine through our reference
    auto next = settings;
    next.outputLanguage = "fr";
    speak->configure(next, std::nullopt);
    EXPECT_EQ(speak->state(), LinkState::error);
    EXPECT_EQ(speak->error(), "motore fermo");
}

TEST_F(EngineTest, ProviderLinksAskTheServiceForTokensWhileTheEngineLives) {
    settings.provider = "openai";
    settings.sessionToken = "sessione";
    settings.speakEnabled = false;
    auto engine = make();
    engine->start(std::nullopt, std::nullopt);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].url, std::string(defaultServiceUrl) + "/api/token/openai");
    EXPECT_EQ(requests[0].headers.at("Authorization"), "Bearer sessione");

    // A login that happens meanwhile counts from the next request on.
    auto next = engine->settings();
    next.sessionToken = "nuova";
    engine->apply(next, std::nullopt, std::nullopt);
    const auto source = engine->listenSession()->translator()->opts.getToken;
    int completions = 0;
    source([&](const Result<Token>&) { ++completions; });
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].headers.at("Authorization"), "Bearer nuova");

    // Priced usage turns into euros; an archived translator's late report is ignored.
    auto translator = engine->listenSession()->translator();
    translator->inputBytes = 32000 * 60;  // what its final report on close will say
    translator->onUsage(translator->usage());
    EXPECT_DOUBLE_EQ(engine->status().minutesIn, 1.0);
    EXPECT_DOUBLE_EQ(engine->status().costEur, 0.031);  // 0.034 $ x 0.9, to the thousandth
    next.listenLanguage = "de";
    engine->apply(next, std::nullopt, std::nullopt);  // replaces (and archives) the listen link
    translator->onUsage(Usage{600, 0});
    EXPECT_DOUBLE_EQ(engine->status().minutesIn, 1.0);

    // Once the engine is gone a token request goes nowhere and never completes.
    engine.reset();
    source([&](const Result<Token>&) { ++completions; });
    EXPECT_EQ(requests.size(), 3u);
    EXPECT_EQ(completions, 0);
}

TEST_F(EngineTest, AnOwnKeyIsTheTokenOfItsProviderAndNeedsNoService) {
    settings.provider = "gemini";
    settings.sessionToken = "sessione";
    settings.speakEnabled = false;
    settings.ownKeys = {{"gemini", "AIzaSyOwnKey"}};
    auto engine = make();
    engine->start(std::nullopt, std::nullopt);
    EXPECT_TRUE(requests.empty()) << "the key goes to the provider, not to the account service";
    ASSERT_NE(sockets.last(), nullptr);
    EXPECT_NE(sockets.last()->url.find("v1beta.GenerativeService.BidiGenerateContent?key=AIzaSyOwnKey"),
              std::string::npos)
        << sockets.last()->url;

    const auto source = engine->listenSession()->translator()->opts.getToken;
    std::optional<Result<Token>> got;
    source([&](Result<Token> token) { got = std::move(token); });
    ASSERT_TRUE(got && got->has_value()) << "at once, on the calling stack";
    EXPECT_EQ(**got, (Token{"AIzaSyOwnKey", std::nullopt, Token::Kind::apiKey}));

    // Removed while running: the next request goes to the service again; nothing reconnects.
    auto next = engine->settings();
    next.ownKeys.clear();
    engine->apply(next, std::nullopt, std::nullopt);
    source([](const Result<Token>&) {});
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].url, std::string(defaultServiceUrl) + "/api/token/gemini");
}

TEST_F(EngineTest, LinkLogLinesCarryDirectionAndProvider) {
    auto engine = make();
    engine->start(std::nullopt, std::nullopt);
    const auto& logger = engine->listenSession()->translator()->opts.logger;
    logger.warn("X");
    logger.debug("Y");
    const auto lines = log.lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2].text, "listen mock ATTENZIONE X");
    EXPECT_EQ(lines[lines.size() - 2].level, test::RecordingLogger::Line::Level::warn);
    EXPECT_EQ(lines.back().text, "listen mock Y");
    EXPECT_EQ(lines.back().level, test::RecordingLogger::Line::Level::debug);
}

TEST_F(EngineTest, AutoStopThatStopsTheEngineEndsTheTimers) {
    auto engine = make();
    std::vector<std::string> reasons;
    engine->onAutoStop = [&](const std::string& reason) {
        reasons.push_back(reason);
        engine->stop();
    };
    engine->start(std::nullopt, std::nullopt);
    scheduler->advance(899000);
    EXPECT_TRUE(reasons.empty());
    statuses.clear();
    scheduler->advance(1000);
    EXPECT_EQ(reasons, std::vector<std::string>{"idle"});
    ASSERT_EQ(statuses.size(), 1u);  // the one stop publishes, the status tick does not
    EXPECT_EQ(statuses[0].speakState, LinkState::off);
    EXPECT_EQ(scheduler->pending(), 0u);
}

TEST_F(EngineTest, RestartFromInsideTheCallbacksLeavesOneTimerOfEachKind) {
    // The mock links arm nothing by themselves: what is pending are the engine's two timers.
    settings.listenEnabled = false;
    enum class From { statusTick, pollTick, autoStop };
    for (const From from : {From::statusTick, From::pollTick, From::autoStop}) {
        SCOPED_TRACE(static_cast<int>(from));
        scheduler = std::make_shared<ManualScheduler>();
        statuses.clear();
        auto engine = make();
        bool armed = false;
        bool restarted = false;
        const auto restart = [&] {
            if (!armed || restarted) return;
            restarted = true;
            engine->stop();
            engine->start(std::nullopt, std::nullopt);
        };
        if (from == From::autoStop) {
            engine->onAutoStop = [&](const std::string&) { restart(); };
        } else {
            engine->onStatus = [&](const EngineStatus& s) {
                statuses.push_back(s);
                restart();
            };
        }
        engine->start(std::nullopt, std::nullopt);
        EXPECT_EQ(scheduler->pending(), 2u);
        if (from == From::autoStop) scheduler->advance(TranslationEngine::idleMs - 1000);
        armed = true;
        if (from == From::pollTick) {
            engine->speakSession()->translator()->close();  // a change the next poll publishes
            scheduler->advance(TranslationEngine::pollMs);
        } else {
            scheduler->advance(TranslationEngine::statusMs);
        }
        ASSERT_TRUE(restarted);
        EXPECT_EQ(scheduler->pending(), 2u);
        statuses.clear();
        scheduler->advance(10'000);
        EXPECT_EQ(statuses.size(), 10u);  // one status a second, not two
        EXPECT_EQ(scheduler->pending(), 2u);
        engine->stop();
        EXPECT_EQ(scheduler->pending(), 0u);
    }
}

TEST_F(EngineTest, StatusIsPublishedEverySecondAndChangesWithinATick) {
    auto engine = make();
    engine->start(std::nullopt, std::nullopt);
    statuses.clear();
    scheduler->advance(3000);
    EXPECT_EQ(statuses.size(), 3u);
    statuses.clear();
    engine->speakSession()->translator()->close();  // a change reported by a session
    scheduler->advance(50);
    ASSERT_EQ(statuses.size(), 1u);
    EXPECT_EQ(statuses[0].speakState, LinkState::closed);
}

TEST_F(EngineTest, StopClosesArchivesAndPublishesOff) {
    auto engine = make();
    engine->start(std::nullopt, std::nullopt);
    auto listenTranslator = engine->listenSession()->translator();
    auto speakTranslator = engine->speakSession()->translator();
    listenTranslator->inputBytes = 32000 * 60;  // one minute sent
    statuses.clear();
    engine->stop();
    EXPECT_EQ(listenTranslator->state, LinkState::closed);
    EXPECT_EQ(speakTranslator->state, LinkState::closed);
    ASSERT_EQ(statuses.size(), 1u);
    EXPECT_EQ(statuses[0].listenState, LinkState::off);
    EXPECT_EQ(statuses[0].speakState, LinkState::off);
    EXPECT_DOUBLE_EQ(statuses[0].minutesIn, 1.0);  // the final report was archived
    EXPECT_TRUE(engine->ledger().live().empty());
    EXPECT_EQ(scheduler->pending(), 0u);
    engine->stop();
    EXPECT_EQ(statuses.size(), 1u);
}

}  // namespace
}  // namespace quendra
