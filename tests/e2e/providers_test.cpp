// The real providers' protocols, against the Gemini and OpenAI peers over TLS, signed in through
// the account service peer: both directions translate, and "Taglia traduzione" empties a full
// player at once.
#include "e2e/e2e_fixture.h"

namespace quendra::test {
namespace {

using ProvidersTest = E2eTest;

TEST_F(ProvidersTest, GeminiAndOpenAiTranslateBothDirections) {
    Player call(speechA(), callAppName, callAppId);
    StereoPlayer voice(speechB(), speechB(), "Voce di prova", "microphone");
    ASSERT_NO_FATAL_FAILURE(launchWithPeers());
    signIn();
    ASSERT_TRUE(appListed());
    // Fully ducked, so that what the headphones and the virtual microphone carry while the
    // translation plays is the translation.
    send(setRequest({{"listenTarget", callAppId}, {"originalDuckLevel", 0.0}, {"micDuckLevel", 0.0},
                     {"silenceGate", false}}));
    for (const char* provider : {"gemini", "openai"}) {
        SCOPED_TRACE(provider);
        send(setRequest({{"provider", provider}}));
        send({{"op", "start"}});
        ASSERT_TRUE(waitFor([](const Json& s) { return line(s, "listen") == "Attivo" && line(s, "speak") == "Attivo"; }));
        ASSERT_TRUE(waitFor([](const Json& s) { return s["tailActive"].get<bool>() && s["minutesOut"] > 0; }));
        Recorder headphones("headphones.monitor");
        Recorder microphone("ombrix_microfono");
        double best = 0;
        EXPECT_TRUE(heard(headphones, speechA(), 0.5, best)) << "listen " << best;
        EXPECT_TRUE(heard(microphone, speechB(), 0.5, best)) << "speak " << best;
        send({{"op", "stop"}});
        ASSERT_TRUE(waitFor([](const Json& s) { return !s["running"].get<bool>() && line(s, "listen") == "Spento"; }));
        EXPECT_TRUE(eventually([] { return leftAsFound(callAppName); }));
    }

    // The Gemini peer answers every chunk forty times over: the players fill far faster than they
    // play. A queue plays at most one second per second, so one that falls from `queued` seconds
    // to under 2 in less than `queued - 2` seconds was emptied by the cut. Filled to a minute, only
    // a machine that stalls the program for most of a minute could fail this.
    send(setRequest({{"provider", "gemini"}}));
    send({{"op", "start"}});
    ASSERT_TRUE(waitFor([](const Json& s) { return line(s, "listen") == "Attivo"; }));
    ASSERT_TRUE(ProviderPeers::command(*peers.gemini, "repeat 40"));
    ASSERT_TRUE(waitFor([](const Json& s) { return s["tailSeconds"] > 60; }));
    const double queued = ombrix->state()["tailSeconds"];
    const auto filled = std::chrono::steady_clock::now();
    ASSERT_TRUE(ProviderPeers::command(*peers.gemini, "repeat 1"));
    send({{"op", "cut"}});
    ASSERT_TRUE(waitFor([](const Json& s) { return s["tailSeconds"] < 2; }));
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - filled).count();
    EXPECT_LT(took, queued - 2) << "the queue only played out";
    EXPECT_EQ(ombrix->state()["listen"]["line"], "Attivo") << "a cut keeps translating";
    EXPECT_EQ(ombrix->quit(), 0);
    EXPECT_TRUE(eventually([] { return leftAsFound(callAppName); }));
}

}  // namespace
}  // namespace quendra::test
