// The engine over the real adapters: a provider token comes from the account service peer through
// the real fetch and opens the Gemini link to its peer; captured audio comes back translated in
// the listen player.
#include <gtest/gtest.h>

#include "core/engine/engine.h"
#include "link_fixture.h"

namespace quendra {
namespace {

using test::onCore;
using test::toneChunk;
using Json = nlohmann::json;

constexpr const char* kSession = "sess-E2E-Secret-5d1e";

class EngineE2ETest : public test::LinkE2ETest {
protected:
    void TearDown() override {
        if (engine) {
            onCore(*queue, [this] {
                engine->stop();
                engine.reset();
            });
        }
        LinkE2ETest::TearDown();
    }

    EngineStatus status() {
        return onCore(*queue, [this] { return engine->status(); });
    }

    std::unique_ptr<test::PeerProcess> account;
    AudioPorts listenPorts{std::make_shared<PullPlayer>(24000, 120, 5, 30, 5), std::make_shared<GainRamp>(48000, 1.0f),
                           std::make_shared<GainRamp>(48000, 1.0f)};
    AudioPorts speakPorts{std::make_shared<PullPlayer>(24000, 120, 5, 30, 5), std::make_shared<GainRamp>(48000, 1.0f),
                          std::make_shared<GainRamp>(48000, 0.0f)};
    std::shared_ptr<TranslationEngine> engine;
};

TEST_F(EngineE2ETest, TokensFromTheAccountServiceOpenTheProviderLinkAndAudioComesBack) {
    auto started = test::startTlsPeer(test::processCa(), "account/server.js", {"--session", kSession});
    ASSERT_TRUE(started) << started.error();
    account = std::move(*started);
    startProvider("gemini/server.js", "generativelanguage.googleapis.com", {});
    credential = kSession;

    Settings settings;
    settings.provider = "gemini";
    settings.serviceUrl = "https://127.0.0.1:" + std::to_string(account->port());
    settings.sessionToken = kSession;
    settings.speakEnabled = false;
    settings.silenceGate = false;
    engine = onCore(*queue, [&] {
        auto made = std::make_shared<TranslationEngine>(settings, scheduler, makeSocketFactory(*queue, tuning),
                                                        makeFetch(*queue, tuning), listenPorts, speakPorts,
                                                        logs.logger());
        made->tuning = link;
        made->start(std::nullopt, std::nullopt);
        return made;
    });

    const auto deadline = std::chrono::steady_clock::now() + test::waitLimit;
    auto waitFor = [&](const std::function<bool()>& done) {
        while (std::chrono::steady_clock::now() < deadline) {
            if (done()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    };
    ASSERT_TRUE(waitFor([&] { return status().listenState == LinkState::open; }))
        << rawValue(status().listenState) << " " << status().listenError;

    for (int i = 0; i < 5; ++i) onCore(*queue, [&, i] { engine->listenChunk(toneChunk(i)); });
    ASSERT_TRUE(waitFor([&] { return listenPorts.player->bufferedSeconds() >= 0.4; }));
    std::vector<float> out(24000 / 2);
    listenPorts.player->render(out.data(), out.size());
    float peak = 0;
    for (float v : out) peak = std::max(peak, std::abs(v));
    EXPECT_GT(peak, 0.2f) << "the translated tone reaches the listen player";

    ASSERT_TRUE(waitFor([&] { return status().minutesIn > 0 && status().minutesOut > 0; }));
    const auto s = status();
    EXPECT_EQ(s.listenState, LinkState::open);
    EXPECT_NEAR(s.minutesIn, 0.5 / 60, 1e-9);

    // The token the link used is the one the account service issued for this session.
    const auto requests = request(account->port(), "GET", "/__control/requests", "");
    ASSERT_TRUE(requests);
    const auto received = Json::parse(requests->body);
    ASSERT_GE(received.size(), 1u);
    EXPECT_EQ(received[0]["path"], "/api/token/gemini");
    EXPECT_EQ(received[0]["headers"]["authorization"], std::string("Bearer ") + kSession);
    const std::string url = peerStatus()["urls"][0];
    EXPECT_NE(url.find("BidiGenerateContentConstrained?access_token=eph-gemini-"), std::string::npos) << url;
}

}  // namespace
}  // namespace quendra
