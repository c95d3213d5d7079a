#include "core/sessions/sessions.h"

#include <gtest/gtest.h>

#include <utility>

#include "support/fakes.h"

namespace quendra {
namespace {

using test::ManualScheduler;
using test::ScriptedTranslator;

// Events the session reports, in order, interleaved with what the translators saw.
struct Journal {
    std::vector<std::string> events;
    int changes() const { return static_cast<int>(std::count(events.begin(), events.end(), "change")); }
    int count(const std::string& e) const { return static_cast<int>(std::count(events.begin(), events.end(), e)); }
};

struct FactoryCall {
    std::string provider, language, voice, glossary;
    bool operator==(const FactoryCall&) const = default;
};

// Shared pieces of both sessions' fixtures: clock, ports, a factory of scripted translators.
class SessionFixture : public ::testing::Test {
protected:
    std::shared_ptr<ManualScheduler> scheduler = std::make_shared<ManualScheduler>();
    std::shared_ptr<PullPlayer> player = std::make_shared<PullPlayer>(24000, 120, 5, 30, 5);
    std::shared_ptr<GainRamp> originalGain = std::make_shared<GainRamp>(48000, 1.0f);
    std::shared_ptr<GainRamp> translatedGain = std::make_shared<GainRamp>(48000, 1.0f);
    Journal journal;
    std::vector<FactoryCall> calls;
    std::vector<std::shared_ptr<ScriptedTranslator>> made;
    std::optional<Error> factoryError;
    Settings settings;

    TranslatorFactory factory() {
        return [this](const std::string& p, const std::string& l, const std::string& v,
                      const std::string& g) -> Result<std::shared_ptr<Translator>> {
            calls.push_back({p, l, v, g});
            if (factoryError) return tl::unexpected(*factoryError);
            TranslatorOptions options(l, scheduler, nullptr, nullptr);
            auto t = std::make_shared<ScriptedTranslator>(options);
            t->onUsage = [this](const Usage&) { journal.events.push_back("usage"); };
            made.push_back(t);
            return std::shared_ptr<Translator>(t);
        };
    }
    SessionEvent record(const char* what) {
        return [this, what] { journal.events.push_back(what); };
    }
    std::shared_ptr<ScriptedTranslator> current() const { return made.empty() ? nullptr : made.back(); }

    // Opens the current translator as a link would.
    void open() {
        current()->report(LinkState::open);
        current()->completeConnect();
    }
};

std::vector<std::int16_t> loud(std::int16_t level = 8000) { return std::vector<std::int16_t>(1600, level); }

class ListenSessionTest : public SessionFixture {
protected:
    std::shared_ptr<ListenSession> make(std::optional<std::string> deviceError = std::nullopt) {
        return std::make_shared<ListenSession>(settings, deviceError, scheduler, factory(), player, originalGain,
                                               translatedGain, record("change"), record("activity"),
                                               record("archive"));
    }
};

TEST_F(ListenSessionTest, DeviceErrorFailsWithoutATranslator) {
    auto s = make("Non riesco a catturare l'audio.");
    s->start();
    EXPECT_EQ(s->state(), LinkState::error);
    EXPECT_EQ(s->error(), "Non riesco a catturare l'audio.");
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(journal.changes(), 1);
    // Chunks are still measured for speech.
    s->onChunk(loud());
    EXPECT_EQ(journal.count("activity"), 1);
}

TEST_F(ListenSessionTest, EmptyLanguageAndVoiceFallBackAndFactoryFailureShowsItsMessage) {
    settings.listenLanguage = "";
    settings.voice = "";
    settings.provider = "mock";
    settings.glossary = "Ombrix";
    factoryError = LinkError{"fornitore non supportato: x", false, false};
    auto s = make();
    s->start();
    EXPECT_EQ(calls, (std::vector<FactoryCall>{{"mock", "it", "mimic", "Ombrix"}}));
    EXPECT_EQ(s->state(), LinkState::error);
    EXPECT_EQ(s->error(), "fornitore non supportato: x");
}

TEST_F(ListenSessionTest, AudioFlowsOnlyWhileOpenAndOnlyFromTheCurrentTranslator) {
    settings.silenceGate = false;
    auto s = make();
    s->start();
    EXPECT_EQ(s->state(), LinkState::connecting);
    s->onChunk(loud());  // connecting: measured, never sent
    EXPECT_EQ(journal.count("activity"), 1);
    EXPECT_TRUE(current()->sentChunks.empty());

    open();
    EXPECT_EQ(s->state(), LinkState::open);
    s->onChunk(loud());
    EXPECT_EQ(current()->sentChunks.size(), 1u);
    current()->deliverAudio(std::vector<std::int16_t>(2400, 1000));
    EXPECT_GT(player->bufferedSeconds(), 0.09);

    // A voice change replaces the translator; the old one's late audio is dropped.
    auto old = current();
    auto next = settings;
    next.voice = "Puck";
    s->configure(next, std::nullopt);
    ASSERT_EQ(made.size(), 2u);
    EXPECT_EQ(old->closeCalls, 1);
    open();
    const double before = player->bufferedSeconds();
    old->deliverAudio(std::vector<std::int16_t>(2400, 1000));
    old->report(LinkState::error, "vecchio");
    EXPECT_EQ(player->bufferedSeconds(), before);
    EXPECT_EQ(s->state(), LinkState::open);
    EXPECT_EQ(s->error(), "");
}

TEST_F(ListenSessionTest, LeavingOpenFlushesAndErrorsComeAndGoWithStates) {
    auto s = make();
    s->start();
    open();
    current()->deliverAudio(std::vector<std::int16_t>(4800, 1000));
    current()->report(LinkState::error, "caduto");
    EXPECT_EQ(s->error(), "caduto");
    EXPECT_EQ(player->bufferedSeconds(), 0);
    current()->report(LinkState::reconnecting);
    EXPECT_EQ(s->error(), "");

    // A failed connect shows its message; the translator stays until the next stop.
    auto failing = make();
    failing->start();
    current()->completeConnect(Error{TokenError{"Servizio non raggiungibile: x", std::nullopt, true}});
    EXPECT_EQ(failing->state(), LinkState::error);
    EXPECT_EQ(failing->error(), "Servizio non raggiungibile: x");
    EXPECT_EQ(failing->translator(), current());
}

// Reports `connecting` from inside `connect`, then still touches itself, as a link does.
class ReentrantTranslator : public ScriptedTranslator {
public:
    using ScriptedTranslator::ScriptedTranslator;
    void connect(Completion completion) override {
        report(LinkState::connecting);
        ScriptedTranslator::connect(std::move(completion));
    }
};

TEST_F(SessionFixture, AStopFromInsideConnectLeavesTheTranslatorAliveUntilConnectReturns) {
    std::weak_ptr<Translator> translator;
    TranslatorFactory reentrant = [&](const std::string& l, auto&&...) -> Result<std::shared_ptr<Translator>> {
        auto t = std::make_shared<ReentrantTranslator>(TranslatorOptions(l, scheduler, nullptr, nullptr));
        translator = t;  // held weakly: the session is the only owner
        return std::shared_ptr<Translator>(t);
    };
    std::shared_ptr<ListenSession> listen;
    std::shared_ptr<SpeakSession> speak;
    // The translator reports `connecting` only from inside `connect`.
    bool stopped = false;
    const auto stopWhenConnecting = [&] {
        const bool connecting = !translator.expired() && translator.lock()->state == LinkState::connecting;
        if (!connecting || std::exchange(stopped, true)) return;
        if (listen) listen->stop();
        if (speak) speak->stop();
    };
    listen = std::make_shared<ListenSession>(settings, std::nullopt, scheduler, reentrant, player, originalGain,
                                             translatedGain, stopWhenConnecting, [] {}, [] {});
    listen->start();  // under AddressSanitizer, a translator freed inside its own connect fails here
    EXPECT_EQ(listen->state(), LinkState::off);
    EXPECT_TRUE(translator.expired());
    listen.reset();

    stopped = false;
    speak = std::make_shared<SpeakSession>(settings, std::nullopt, scheduler, reentrant, player, originalGain,
                                           translatedGain, stopWhenConnecting, [] {}, [] {});
    speak->start();
    EXPECT_TRUE(translator.expired());
}

TEST_F(ListenSessionTest, ConfigureKeepsOrReplacesTheTranslatorByField) {
    struct Case {
        const char* name;
        std::function<void(Settings&)> change;
        bool replaces;
    };
    const Case cases[] = {
        {"duck level", [](Settings& s) { s.originalDuckLevel = 0.5; }, false},
        {"silence gate", [](Settings& s) { s.silenceGate = false; }, false},
        {"output language", [](Settings& s) { s.outputLanguage = "fr"; }, false},
        {"service", [](Settings& s) { s.serviceUrl = "https://x"; }, false},
        {"voice", [](Settings& s) { s.voice = "Kore"; }, true},
        {"language", [](Settings& s) { s.listenLanguage = "de"; }, true},
        {"provider", [](Settings& s) { s.provider = "openai"; }, true},
        {"glossary", [](Settings& s) { s.glossary = "Quendra"; }, true},
    };
    for (const auto& c : cases) {
        made.clear();
        journal.events.clear();
        auto s = make();
        s->start();
        open();
        auto next = settings;
        c.change(next);
        journal.events.clear();
        s->configure(next, std::nullopt);
        EXPECT_EQ(made.size(), c.replaces ? 2u : 1u) << c.name;
        EXPECT_EQ(made.front()->closeCalls, c.replaces ? 1 : 0) << c.name;
        if (c.replaces) {
            // Old one closed (its final usage first), then archived, then a new one.
            EXPECT_EQ(journal.events[0], "change") << c.name;
            EXPECT_EQ(journal.events[1], "usage") << c.name;
            EXPECT_EQ(journal.events[2], "archive") << c.name;
        }
    }
    // A new device error restarts too, into the error.
    made.clear();
    auto s = make();
    s->start();
    s->configure(settings, "Dispositivo sparito");
    EXPECT_EQ(s->state(), LinkState::error);
    EXPECT_EQ(made.size(), 1u);
    EXPECT_EQ(made.front()->closeCalls, 1);
}

TEST_F(ListenSessionTest, ConfigureWhileStoppedCreatesNothingAndStopIsOrdered) {
    auto s = make();
    auto next = settings;
    next.voice = "Kore";
    next.silenceGate = false;
    s->configure(next, std::nullopt);
    EXPECT_TRUE(made.empty());
    EXPECT_FALSE(s->gate().enabled());

    s->start();
    open();
    journal.events.clear();
    s->stop();
    EXPECT_EQ(journal.events, (std::vector<std::string>{"change", "usage", "archive"}));
    EXPECT_EQ(s->state(), LinkState::off);
    s->stop();
    EXPECT_EQ(current()->closeCalls, 1);
    EXPECT_EQ(journal.count("archive"), 1);
}

TEST_F(ListenSessionTest, PollReportsPlayingEdgesOnce) {
    auto s = make();
    s->start();
    open();
    journal.events.clear();
    s->poll();
    EXPECT_TRUE(journal.events.empty());
    current()->deliverAudio(std::vector<std::int16_t>(24000, 8000));
    std::vector<float> out(2880 + 480);
    player->render(out.data(), static_cast<int>(out.size()));
    ASSERT_TRUE(player->isPlaying());
    s->poll();
    s->poll();
    EXPECT_EQ(journal.events, (std::vector<std::string>{"activity", "change"}));
    s->cut();
    journal.events.clear();
    std::vector<float> rest(48000);
    player->render(rest.data(), static_cast<int>(rest.size()));
    s->poll();
    EXPECT_EQ(journal.events, (std::vector<std::string>{"change"}));
}

class SpeakSessionTest : public SessionFixture {
protected:
    std::shared_ptr<SpeakSession> make(std::optional<std::string> deviceError = std::nullopt) {
        return std::make_shared<SpeakSession>(settings, deviceError, scheduler, factory(), player, originalGain,
                                              translatedGain, record("change"), record("activity"),
                                              record("archive"));
    }
};

TEST_F(SpeakSessionTest, DisabledSpeakingIsOffUntilConfigureEnablesIt) {
    settings.speakEnabled = false;
    auto s = make();
    s->start();
    EXPECT_EQ(s->state(), LinkState::off);
    EXPECT_TRUE(made.empty());
    EXPECT_FLOAT_EQ(originalGain->targetValue(), 1.0f);
    EXPECT_FLOAT_EQ(translatedGain->targetValue(), 0.0f);
    auto next = settings;
    next.speakEnabled = true;
    s->configure(next, std::nullopt);
    ASSERT_EQ(made.size(), 1u);
    EXPECT_EQ(s->state(), LinkState::connecting);
    open();
    EXPECT_EQ(s->state(), LinkState::open);
    EXPECT_TRUE(s->live());
}

TEST_F(SpeakSessionTest, TranslatorGetsTheOutputLanguageAndNeverTheVoice) {
    settings.outputLanguage = "";
    settings.voice = "Kore";
    auto s = make();
    s->start();
    EXPECT_EQ(calls, (std::vector<FactoryCall>{{"gemini", "en", "mimic", ""}}));
}

TEST_F(SpeakSessionTest, ConfigureKeepsOrReplacesTheTranslatorByField) {
    struct Case {
        const char* name;
        std::function<void(Settings&)> change;
        bool replaces;
    };
    const Case cases[] = {
        {"voice", [](Settings& s) { s.voice = "Kore"; }, false},
        {"listen language", [](Settings& s) { s.listenLanguage = "de"; }, false},
        {"duck level", [](Settings& s) { s.micDuckLevel = 0.5; }, false},
        {"output language", [](Settings& s) { s.outputLanguage = "fr"; }, true},
        {"provider", [](Settings& s) { s.provider = "mock"; }, true},
        {"glossary", [](Settings& s) { s.glossary = "x"; }, true},
    };
    for (const auto& c : cases) {
        made.clear();
        auto s = make();
        s->start();
        open();
        auto next = settings;
        c.change(next);
        journal.events.clear();
        s->configure(next, std::nullopt);
        EXPECT_EQ(made.size(), c.replaces ? 2u : 1u) << c.name;
        EXPECT_EQ(made.front()->closeCalls, c.replaces ? 1 : 0) << c.name;
        if (c.replaces) {
            EXPECT_EQ(journal.count("archive"), 1) << c.name;
        }
    }
}

TEST_F(SpeakSessionTest, OriginalVoicePassesThroughWithoutReconnecting) {
    settings.silenceGate = false;
    auto s = make();
    s->start();
    open();
    current()->deliverAudio(std::vector<std::int16_t>(4800, 1000));
    s->setOriginalVoice(true);
    EXPECT_EQ(s->state(), LinkState::passthrough);
    EXPECT_EQ(player->bufferedSeconds(), 0);
    s->onMicChunk(loud());
    EXPECT_TRUE(current()->sentChunks.empty());
    current()->deliverAudio(std::vector<std::int16_t>(4800, 1000));
    EXPECT_EQ(player->bufferedSeconds(), 0);
    EXPECT_EQ(current()->closeCalls, 0);

    s->setOriginalVoice(false);
    EXPECT_EQ(s->state(), LinkState::open);
    EXPECT_EQ(made.size(), 1u);
    s->onMicChunk(loud());
    EXPECT_EQ(current()->sentChunks.size(), 1u);
}

TEST_F(SpeakSessionTest, DeviceErrorClosesAndClearingItReopens) {
    auto s = make();
    s->start();
    open();
    s->configure(settings, "Microfono non disponibile");
    EXPECT_EQ(s->state(), LinkState::error);
    EXPECT_EQ(s->error(), "Microfono non disponibile");
    EXPECT_EQ(made.front()->closeCalls, 1);
    EXPECT_EQ(journal.count("archive"), 1);
    s->configure(settings, std::nullopt);
    EXPECT_EQ(made.size(), 2u);
    EXPECT_EQ(s->state(), LinkState::connecting);
}

TEST_F(SpeakSessionTest, FactoryAndConnectFailuresShowAsErrors) {
    factoryError = LinkError{"motore fermo", false, false};
    auto s = make();
    s->start();
    EXPECT_EQ(s->state(), LinkState::error);
    EXPECT_EQ(s->error(), "motore fermo");
    EXPECT_EQ(s->translator(), nullptr);

    factoryError.reset();
    auto next = settings;
    next.outputLanguage = "de";
    s->configure(next, std::nullopt);
    ASSERT_EQ(made.size(), 1u);
    current()->completeConnect(Error{TokenError{"Sessione scaduta: accedi di nuovo.", 401, false}});
    EXPECT_EQ(s->state(), LinkState::error);
    EXPECT_EQ(s->error(), "Sessione scaduta: accedi di nuovo.");
    EXPECT_EQ(s->translator(), current());  // kept until closed
}

TEST_F(SpeakSessionTest, CutReportsOnceAndLeavesTheLink) {
    auto s = make();
    s->start();
    open();
    current()->deliverAudio(std::vector<std::int16_t>(4800, 1000));
    journal.events.clear();
    s->cut();
    EXPECT_EQ(journal.events, (std::vector<std::string>{"change"}));
    EXPECT_EQ(player->bufferedSeconds(), 0);
    EXPECT_EQ(s->state(), LinkState::open);
}

}  // namespace
}  // namespace quendra
