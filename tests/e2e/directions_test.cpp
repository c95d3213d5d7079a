// Both directions through the real application and the mock provider, which plays every chunk
// back 2 s later: that delay tells the translation apart from the original in a recording.
#include "e2e/e2e_fixture.h"

namespace quendra::test {
namespace {

using DirectionsTest = E2eTest;

constexpr double mockLag = 2.0;  // seconds; the translation arrives a little later still

// The translation (at the mock's lag) and the original (at once) of what `reference` got, as
// heard on `other`.
struct Echoes {
    Echo translation;
    Echo original;
};

// Records both sinks until `good` holds, at most four times. A loaded machine can stall a
// capture or a recorder for a moment and leave a gap in one take; a path that is really broken
// fails every take. The take returned is the last one, or the first that was good. Right after a
// switch a take may also still hold the ramp or the tail of what played before.
Echoes recordEchoes(const std::string& reference, const std::string& other, double seconds,
                    const std::function<bool(const Echoes&)>& good) {
    Echoes echoes;
    for (int take = 1; take <= 4; ++take) {
        const auto [ref, got] = recordBoth(reference, other, seconds);
        echoes = {echoOf(ref, got, 16000, mockLag - 0.2, mockLag + 1.5), echoOf(ref, got, 16000, 0, 0.8)};
        std::cout << other << " take " << take << ": translation lag " << echoes.translation.lagSeconds
                  << " s, correlation " << echoes.translation.correlation << ", gain " << echoes.translation.gain
                  << "; original lag " << echoes.original.lagSeconds << " s, correlation "
                  << echoes.original.correlation << ", gain " << echoes.original.gain << "\n";
        if (good(echoes)) break;
    }
    return echoes;
}

// The translation plays, the original ducked far below it. (How far is the ducker's business,
// tested on its own: here the original comes back in the translation's pauses and the ramps
// smear the level.)
bool translationOverDuckedOriginal(const Echoes& e) {
    return e.translation.correlation > 0.5 && e.original.gain < 0.6 * e.translation.gain;
}

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
    const auto [translation, original] =
        recordEchoes(tapSink() + ".monitor", "headphones.monitor", loopSeconds(speechA()) + 4,
                     translationOverDuckedOriginal);
    EXPECT_GT(translation.correlation, 0.5) << "the translation reaches the headphones";
    // Ducked while the translation plays: far below the translation, which plays at full level.
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
        const auto [translation, own] =
            recordEchoes("microphone.monitor", "ombrix_microfono", loopSeconds(speechB()) + 4,
                         translationOverDuckedOriginal);
        EXPECT_GT(translation.correlation, 0.5) << "the translation reaches the virtual microphone";
        EXPECT_LT(own.gain, 0.6 * translation.gain) << "own " << own.gain << " translation " << translation.gain;
    }

    send({{"op", "originalVoice"}, {"on", true}});
    ASSERT_TRUE(waitFor([](const Json& s) { return line(s, "speak") == "Voce originale" && s["originalVoice"] == true; }));
    {
        const auto [translation, own] = recordEchoes("microphone.monitor", "ombrix_microfono",
                                                     loopSeconds(speechB()) + 4,
                                                     [](const Echoes& e) {
                                                         return e.original.correlation > 0.5 &&
                                                                e.translation.gain < 0.3 * e.original.gain;
                                                     });
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
