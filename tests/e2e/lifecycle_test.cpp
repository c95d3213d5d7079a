// How translation ends without the user: the listened application quits, nobody speaks for the
// idle time, or the program is killed outright. Each time the user sees why, and no stream stays
// captured or silenced.
#include "e2e/e2e_fixture.h"

namespace quendra::test {
namespace {

using LifecycleTest = E2eTest;

constexpr const char* captureEnded = "Traduzione spenta: l'app che stavi ascoltando è stata chiusa.";
constexpr const char* idleStopped = "Traduzione spenta da sola: nessuno parla da 15 minuti.";

TEST_F(LifecycleTest, TheListenedAppQuittingAndSilenceStopTranslation) {
    constexpr double idleSeconds = 6;
    launch({{"OMBRIX_IDLE_SECONDS", std::to_string(idleSeconds)}});
    auto call = std::make_unique<Player>(speechA(), callAppName, callAppId);
    ASSERT_TRUE(appListed());
    send(setRequest({{"provider", "mock"}, {"listenTarget", callAppId}}));
    send({{"op", "start"}});
    ASSERT_TRUE(waitFor([](const Json& s) { return line(s, "listen") == "Attivo"; }));
    ASSERT_TRUE(eventually([] { return captured(callAppName); }));

    call.reset();
    ASSERT_TRUE(waitFor([](const Json& s) {
        return !s["running"].get<bool>() && s["notice"] == captureEnded && line(s, "listen") == "Spento";
    }));
    EXPECT_TRUE(eventually([] { return !anyTapSink(); })) << "capture undone";

    // Silence everywhere: the whole computer plays nothing and the microphone hears nothing.
    send(setRequest({{"listenTarget", ""}}));
    const auto started = std::chrono::steady_clock::now();
    send({{"op", "start"}});
    ASSERT_TRUE(waitFor([](const Json& s) { return s["running"].get<bool>() && line(s, "listen") == "Attivo"; }));
    ASSERT_TRUE(waitFor([](const Json& s) { return !s["running"].get<bool>(); }));
    const double afterSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_EQ(ombrix->state()["notice"], idleStopped);
    EXPECT_GE(afterSeconds, idleSeconds - 0.5) << "not before the idle time";
    EXPECT_TRUE(eventually([] { return !anyTapSink(); }));
}

TEST_F(LifecycleTest, KillingTheProgramLeavesNothingCapturedAndTheNextStartIsClean) {
    Player call(speechA(), callAppName, callAppId);
    StereoPlayer voice(speechB(), speechB(), "Voce di prova", "microphone");
    launch();
    ASSERT_TRUE(appListed());
    send(setRequest({{"provider", "mock"}, {"listenTarget", callAppId}}));
    send({{"op", "start"}});
    ASSERT_TRUE(waitFor([](const Json& s) { return line(s, "listen") == "Attivo" && line(s, "speak") == "Attivo"; }));
    ASSERT_TRUE(eventually([] { return captured(callAppName); }));

    ombrix->kill9();
    EXPECT_TRUE(eventually([] { return leftAsFound(callAppName); })) << "the crash guard put the application back";
    EXPECT_TRUE(leftAsFound("Voce di prova", "microphone"));
    // The virtual microphone stays, so a call does not fall back to the untranslated microphone.
    EXPECT_TRUE(sinkIndex("ombrix_voce").has_value());

    launch();
    const Json& fresh = ombrix->state();
    EXPECT_FALSE(fresh["running"].get<bool>());
    EXPECT_EQ(fresh["notice"], "");
    EXPECT_EQ(line(fresh, "listen"), "Spento");
    EXPECT_EQ(fresh["settings"]["listenTarget"], callAppId);
    EXPECT_EQ(fresh["settings"]["speakOutputUID"], "ombrix_voce") << "no second virtual microphone";
    int voceSinks = 0;
    for (const auto& [name, index] : sinks()) voceSinks += name.rfind("ombrix_voce", 0) == 0;
    EXPECT_EQ(voceSinks, 1);
    send({{"op", "start"}});
    ASSERT_TRUE(waitFor([](const Json& s) { return line(s, "listen") == "Attivo"; }));
    EXPECT_TRUE(eventually([] { return captured(callAppName); }));
    EXPECT_EQ(ombrix->quit(), 0);
    EXPECT_TRUE(eventually([] { return leftAsFound(callAppName); }));
}

}  // namespace
}  // namespace quendra::test
