// Both directions through the real application and the mock provider, which plays every chunk
// back 2 s later: that delay tells the translation apart from the original in a recording.
#include "e2e/e2e_fixture.h"

namespace quendra::test {
namespace {

using DirectionsTest = E2eTest;

constexpr double mockLag = 2.0;  // seconds; the translation arrives a little later still

// Listen: the call application is captured, the translation of what it played reaches the
// headphones, the original under it is ducked to the chosen level, and everything is as before
// once translation stops.
TEST_F(DirectionsTest, ListenPlaysTheTranslationOverTheDuckedOriginal) {
    Player call(speechA(), callAppName, callAppId);
    launch();
    ASSERT_TRUE(appListed());
    constexpr double duckLevel = 0.2;
    send(setRequest({{"provider", "mock"}, {"listenTarget", callAppId}, {"originalDuckLevel", duckLevel},
                     {"speakEnabled", false}, {"silenceGate", false}}));
    send({{"op", "start"}});
    ASSERT_TRUE(waitFor([](const Json& s) { return line(s, "listen") == "Attivo"; }));
    ASSERT_TRUE(eventually([] { return captured(callAppName) && !tapSink().empty(); }));
    ASSERT_TRUE(waitFor([](const Json& s) { return s["tailActive"].get<bool>(); }));

    // What the application played (its capture sink) against what the headphones got.
    const auto [played, onHeadphones] = recordBoth(tapSink() + ".monitor", "headphones.monitor", loopSeconds(speechA()) + 4);
    const Echo translation = echoOf(played, onHeadphones, 16000, mockLag - 0.2, mockLag + 1.5);
    EXPECT_GT(translation.correlation, 0.5) << "the translation reaches the headphones";
    const Echo original = echoOf(played, onHeadphones, 16000, 0, 0.8);
    std::cout << "listen: translation lag " << translation.lagSeconds << " s, correlation " << translation.correlation
              << ", gain " << translation.gain << "; original lag " << original.lagSeconds << " s, correlation "
              << original.correlation << ", gain " << original.gain << "\n";
    // Ducked while the translation plays: far below the translation, which plays at full level.
    // (How far is the ducker's business, tested on its own: here the original comes back in the
    // translation's pauses and the ramps smear the level.)
    EXPECT_LT(original.gain, 0.6 * translation.gain)
        << "original " << original.gain << " translation " << translation.gain;

    send({{"op", "stop"}});
    ASSERT_TRUE(waitFor([](const Json& s) { return !s["running"].get<bool>() && line(s, "listen") == "Spento"; }));
    EXPECT_TRUE(eventually([] { return leftAsFound(callAppName); }));
    // Back at full level, straight from the application, with no translation.
    Recorder after("headphones.monitor");
    double best = 0;
    EXPECT_TRUE(heard(after, speechA(), 0.5, best)) << best;
}

// Speak: the microphone's speech comes back translated on "Ombrix Microfono" with the own voice
// ducked under it; the original-voice switch passes the own voice and cuts the translation.
TEST_F(DirectionsTest, SpeakSendsTheTranslationToTheVirtualMicrophone) {
    launch();
    send(setRequest({{"provider", "mock"}, {"listenEnabled", false}, {"silenceGate", false}, {"micDuckLevel", 0.12}}));
    ASSERT_EQ(ombrix->state()["settings"]["speakOutputUID"], "ombrix_voce");
    StereoPlayer voice(speechB(), speechB(), "Voce di prova", "microphone");
    send({{"op", "start"}});
    ASSERT_TRUE(waitFor([](const Json& s) { return line(s, "speak") == "Attivo" && s["tailActive"].get<bool>(); }));

    {
        const auto [spoken, sent] = recordBoth("microphone.monitor", "ombrix_microfono", loopSeconds(speechB()) + 4);
        const Echo translation = echoOf(spoken, sent, 16000, mockLag - 0.2, mockLag + 1.5);
        EXPECT_GT(translation.correlation, 0.5) << "the translation reaches the virtual microphone";
        const Echo own = echoOf(spoken, sent, 16000, 0, 0.8);
        EXPECT_LT(own.gain, 0.6 * translation.gain) << "own " << own.gain << " translation " << translation.gain;
    }

    send({{"op", "originalVoice"}, {"on", true}});
    ASSERT_TRUE(waitFor([](const Json& s) { return line(s, "speak") == "Voce originale" && s["originalVoice"] == true; }));
    {
        const auto [spoken, sent] = recordBoth("microphone.monitor", "ombrix_microfono", loopSeconds(speechB()) + 4);
        const Echo own = echoOf(spoken, sent, 16000, 0, 0.8);
        const Echo translation = echoOf(spoken, sent, 16000, mockLag - 0.2, mockLag + 1.5);
        EXPECT_GT(own.correlation, 0.5) << "the own voice passes";
        EXPECT_LT(translation.gain, 0.3 * own.gain) << "no translation: " << translation.gain << " own " << own.gain;
    }

    send({{"op", "originalVoice"}, {"on", false}});
    ASSERT_TRUE(waitFor([](const Json& s) { return line(s, "speak") == "Attivo"; }));

    send({{"op", "stop"}});
    ASSERT_TRUE(waitFor([](const Json& s) { return !s["running"].get<bool>() && line(s, "speak") == "Spento"; }));
    EXPECT_TRUE(eventually([] { return leftAsFound("Voce di prova", "microphone"); }));
}

}  // namespace
}  // namespace quendra::test
