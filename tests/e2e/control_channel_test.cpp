// The control channel drives the real application as the panel would: it reads what the panel
// shows, takes settings, starts and stops, refuses malformed requests without harm, and ends the
// program with the captured application put back.
#include "e2e/e2e_fixture.h"

namespace quendra::test {
namespace {

using ControlChannelTest = E2eTest;

TEST_F(ControlChannelTest, ReadsSetsStartsStopsAndQuits) {
    Player call(speechA(), callAppName, callAppId);
    launch();
    const Json first = ombrix->state();
    EXPECT_FALSE(first["running"].get<bool>());
    EXPECT_EQ(line(first, "listen"), "Spento");
    EXPECT_EQ(first["apps"][0]["name"], "Tutto il computer");
    // The virtual microphone exists and is the automatic speak device.
    ASSERT_TRUE(waitFor([](const Json& s) { return s["settings"].value("speakOutputUID", "") == "ombrix_voce"; }));

    // Malformed requests are refused and change nothing.
    for (const Json& bad : {Json("not an object"), Json{{"op", "fly"}}, Json{{"nop", 1}},
                            setRequest({{"noSuchSetting", 1}}), Json{{"op", "originalVoice"}}}) {
        const Json answer = ombrix->request(bad.is_object() ? bad : Json{{"op", bad}});
        EXPECT_FALSE(answer.value("ok", true)) << bad.dump();
        EXPECT_TRUE(answer.contains("error")) << bad.dump();
    }

    ASSERT_TRUE(appListed());
    send(setRequest({{"provider", "mock"}, {"listenTarget", callAppId}, {"originalDuckLevel", 0.3}}));
    EXPECT_EQ(ombrix->state()["settings"]["originalDuckLevel"], 0.3);
    send({{"op", "start"}});
    ASSERT_TRUE(waitFor([](const Json& s) {
        return s["running"].get<bool>() && line(s, "listen") == "Attivo" && line(s, "speak") == "Attivo";
    }));
    EXPECT_TRUE(eventually(anyTapSink));

    send({{"op", "stop"}, {"notice", "Fermato dalla prova."}});
    ASSERT_TRUE(waitFor([](const Json& s) {
        return !s["running"].get<bool>() && s["notice"] == "Fermato dalla prova." && line(s, "listen") == "Spento";
    }));
    EXPECT_TRUE(eventually([] { return leftAsFound(callAppName); }));

    // The settings were stored: a second run starts with them.
    EXPECT_EQ(ombrix->quit(), 0);
    launch();
    EXPECT_EQ(ombrix->state()["settings"]["provider"], "mock");
    send({{"op", "start"}});
    ASSERT_TRUE(waitFor([](const Json& s) { return line(s, "listen") == "Attivo"; }));
    // Quitting while running puts the application back.
    EXPECT_EQ(ombrix->quit(), 0);
    EXPECT_TRUE(eventually([] { return leftAsFound(callAppName); }));
}

}  // namespace
}  // namespace quendra::test
