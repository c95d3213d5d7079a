// The OpenAI link end to end: the real translator on the real scheduler and sockets, against the
// realtime translation test peer reached through the connect-to override.
#include <algorithm>
#include <cstdlib>

#include <gtest/gtest.h>

#include "core/links/openai/openai_translator.h"
#include "link_fixture.h"

namespace quendra {
namespace {

using test::LinkRecord;
using test::onCore;
using test::toneChunk;
using Json = nlohmann::json;

constexpr const char* kToken = "tok-OpenAI-Secret-91c2";
constexpr const char* kHost = "api.openai.com";

class OpenAIE2ETest : public test::LinkE2ETest {
protected:
    void start(const std::vector<std::string>& commands = {}, bool inputTranscription = false) {
        std::vector<std::string> args{"--expect-token", kToken};
        for (const auto& c : commands) {
            args.push_back("--command");
            args.push_back(c);
        }
        startProvider("openai/server.js", kHost, args);
        credential = kToken;
        auto opts = options("it", fixedToken(Token{kToken, std::nullopt, Token::Kind::ephemeral}));
        opts.inputTranscription = inputTranscription;
        createAndConnect("openai", opts);
    }

    std::vector<LinkState> states() const {
        std::vector<LinkState> out;
        for (const auto& s : record->get().states) out.push_back(s.first);
        return out;
    }

    // Waits until the peer answered every chunk it received, then until all of it came back.
    bool waitEcho(int appends) {
        if (!waitPeer([appends](const Json& s) { return s["appends"] == appends; })) return false;
        return waitAudio(peerStatus()["samplesIn"].get<std::int64_t>());
    }

    bool waitLogged(const std::string& fragment) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            if (logged(fragment)) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
};

TEST_F(OpenAIE2ETest, BecomesReadyAndTranslatesAudioWithTranscriptsAndUsage) {
    start();
    ASSERT_TRUE(waitState(LinkState::open));
    ASSERT_TRUE(waitCompleted());
    EXPECT_FALSE(record->get().completions.front().has_value());
    EXPECT_EQ(states(), (std::vector<LinkState>{LinkState::connecting, LinkState::open}));
    auto status = peerStatus();
    EXPECT_EQ(status["protocols"][0], (Json{"realtime", "openai-insecure-api-key.***"}));
    ASSERT_EQ(status["sessionUpdates"].size(), 1u);
    EXPECT_EQ(status["sessionUpdates"][0], (Json{{"audio", {{"output", {{"language", "it"}}}}}}));
    EXPECT_TRUE(logged("session.created"));
    EXPECT_TRUE(logged("session.updated: senza trascrizione"));

    sendAll({toneChunk(0), toneChunk(1), toneChunk(2)});
    ASSERT_TRUE(waitEcho(3));
    ASSERT_TRUE(record->waitUntil([](const LinkRecord& r) {
        return !r.finals(TranscriptKind::input).empty() && !r.finals(TranscriptKind::output).empty();
    }));

    status = peerStatus();
    const std::int64_t wire = status["samplesIn"];
    // 4800 input samples at 16 kHz are about 7200 at 24 kHz, less what the resampler still holds.
    EXPECT_GT(wire, 7000);
    EXPECT_LE(wire, 7200);
    const auto rec = record->get();
    EXPECT_EQ(rec.audioSamples, wire);
    // The peer sends a quarter of the level and the link amplifies by 4: the tone's peak again.
    const auto peak = std::abs(*std::max_element(rec.audio.begin(), rec.audio.end(), [](auto a, auto b) {
        return std::abs(a) < std::abs(b);
    }));
    EXPECT_GT(peak, 7800);
    EXPECT_LT(peak, 8050);
    EXPECT_EQ(rec.finals(TranscriptKind::input), std::vector<std::string>{"pezzo 1 pezzo 2 pezzo 3"});
    EXPECT_EQ(rec.finals(TranscriptKind::output), std::vector<std::string>{"chunk 1 chunk 2 chunk 3"});
    ASSERT_FALSE(rec.usages.empty());
    EXPECT_DOUBLE_EQ(rec.usages.back().inputSeconds, 0.3);
    EXPECT_DOUBLE_EQ(rec.usages.back().outputSeconds, static_cast<double>(2 * wire) / 48000.0);

    onCore(*queue, [this] { translator->close(); });
    ASSERT_TRUE(waitPeer([](const Json& s) { return s["closes"].size() == 1; }));
    status = peerStatus();
    EXPECT_EQ(status["sessionCloses"], 1);
    EXPECT_EQ(status["closes"][0], (Json{{"code", 1000}, {"reason", "fine"}}));
}

TEST_F(OpenAIE2ETest, TranscriptionRefusalReconfiguresTheSameConnection) {
    start({"refuse-transcription"}, /*inputTranscription=*/true);
    ASSERT_TRUE(waitState(LinkState::open));
    const auto status = peerStatus();
    EXPECT_EQ(status["connections"], 1);
    ASSERT_EQ(status["sessionUpdates"].size(), 2u);
    EXPECT_TRUE(status["sessionUpdates"][0]["audio"].contains("input"));
    EXPECT_FALSE(status["sessionUpdates"][1]["audio"].contains("input"));
    EXPECT_TRUE(logged("trascrizione rifiutata: riprovo senza"));
    EXPECT_TRUE(logged("session.updated: senza trascrizione"));

    send(toneChunk(0));
    EXPECT_TRUE(waitEcho(1));
}

TEST_F(OpenAIE2ETest, ErrorAfterReadyIsOnlyLoggedAndAnEndedSessionIsRenewed) {
    start();
    ASSERT_TRUE(waitState(LinkState::open));
    ASSERT_TRUE(command("error"));
    EXPECT_TRUE(waitLogged("errore OpenAI: server_error: errore simulato dal peer"));

    ASSERT_TRUE(command("end-session"));
    ASSERT_TRUE(waitPeer([](const Json& s) { return s["ready"] == 2 && s["closes"].size() == 1; }));
    EXPECT_EQ(peerStatus()["closes"][0], (Json{{"code", 1000}, {"reason", "fine"}}));
    EXPECT_TRUE(waitLogged("rinnovo connessione (chiusa dal server)"));

    // The new connection carries the audio; the owner saw no change of state.
    send(toneChunk(0));
    EXPECT_TRUE(waitEcho(1));
    EXPECT_EQ(states(), (std::vector<LinkState>{LinkState::connecting, LinkState::open}));
}

TEST_F(OpenAIE2ETest, DroppedConnectionReconnectsAndDeliversQueuedAudio) {
    start();
    ASSERT_TRUE(waitState(LinkState::open));
    send(toneChunk(0));
    ASSERT_TRUE(waitEcho(1));

    // The first replacement is never confirmed, so the audio below waits in the queue until the
    // retry after the setup timeout.
    ASSERT_TRUE(command("silent 1"));
    ASSERT_TRUE(command("drop"));
    ASSERT_TRUE(waitState(LinkState::reconnecting));
    for (int i = 1; i < 4; ++i) send(toneChunk(i));
    ASSERT_TRUE(waitState(LinkState::open, 2));
    ASSERT_TRUE(waitEcho(4));

    EXPECT_EQ(states(), (std::vector<LinkState>{LinkState::connecting, LinkState::open, LinkState::reconnecting,
                                                LinkState::open}));
    ASSERT_TRUE(waitPeer([](const Json& s) { return s["closes"].size() >= 2; }));
    const auto status = peerStatus();
    EXPECT_EQ(status["connections"], 3);
    EXPECT_EQ(status["ready"], 2);
    EXPECT_EQ(status["closes"][1], (Json{{"code", 1000}, {"reason", "setup fallito"}}));
    EXPECT_TRUE(logged("connessione caduta (codice 1006"));
    EXPECT_TRUE(logged("connessione fallita (tentativo 1): timeout del collegamento a OpenAI"));
}

TEST_F(OpenAIE2ETest, CloseDuringSetupEndsTheAttemptAtOnce) {
    link.setupTimeoutMs = 30000;  // only the owner can end this attempt within the test
    start({"silent 1"});
    ASSERT_TRUE(waitPeer([](const Json& s) { return s["sessionUpdates"].size() == 1; }));
    onCore(*queue, [this] { translator->close(); });
    EXPECT_EQ(record->get().last(), LinkState::closed);
    ASSERT_TRUE(waitPeer([](const Json& s) { return s["closes"].size() == 1; }, std::chrono::seconds(5)));
    EXPECT_EQ(peerStatus()["closes"][0], (Json{{"code", 1000}, {"reason", "setup fallito"}}));
    // The attempt series ends quietly: the connect completes without an error, no error state.
    ASSERT_TRUE(waitCompleted());
    EXPECT_FALSE(record->get().completions.front().has_value());
    EXPECT_EQ(record->get().count(LinkState::error), 0);
}

// Connections that fail before they are ready, and what the link makes of them.
struct FailureCase {
    const char* name;
    std::vector<std::string> commands;
    int connections;                          // the peer accepted this many upgrades
    std::optional<std::string> errorPrefix;  // none: the link ends up open
    std::string logFragment;
    std::function<void(const Json& status)> check;
};
void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class OpenAIFailureTest : public OpenAIE2ETest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(OpenAIFailureTest, RetriesOrFails) {
    const auto& c = GetParam();
    start(c.commands);
    ASSERT_TRUE(waitCompleted());
    const auto rec = record->get();
    if (c.errorPrefix) {
        ASSERT_TRUE(rec.completions.front().has_value());
        const auto message = errorMessage(*rec.completions.front());
        EXPECT_EQ(message.rfind(*c.errorPrefix, 0), 0u) << message;
        EXPECT_EQ(rec.last(), LinkState::error);
        EXPECT_EQ(rec.states.back().second, message);
    } else {
        EXPECT_FALSE(rec.completions.front().has_value());
        EXPECT_EQ(rec.last(), LinkState::open);
    }
    EXPECT_EQ(std::count(rec.states.begin(), rec.states.end(), std::make_pair(LinkState::connecting, std::optional<std::string>())), 1);
    // Every connection but the one left open has ended by now, or soon.
    const std::size_t ended = c.connections - (c.errorPrefix ? 0 : 1);
    EXPECT_TRUE(waitPeer([&](const Json& s) { return s["connections"] == c.connections && s["closes"].size() == ended; }))
        << peerStatus().dump();
    const auto status = peerStatus();
    EXPECT_TRUE(logged(c.logFragment)) << c.logFragment;
    if (c.check) c.check(status);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, OpenAIFailureTest,
    ::testing::Values(
        FailureCase{"requestRejected", {"error-before-ready invalid_request_error"}, 1,
                    std::string("OpenAI ha rifiutato il collegamento: rifiutato dal peer (invalid_request_error)"),
                    "errore OpenAI: invalid_request_error: rifiutato dal peer",
                    [](const Json& s) { EXPECT_EQ(s["closes"][0], (Json{{"code", 1000}, {"reason", "setup fallito"}})); }},
        FailureCase{"serverErrorRetried", {"error-before-ready server_error"}, 2, std::nullopt,
                    "connessione fallita (tentativo 1): OpenAI ha rifiutato il collegamento: rifiutato dal peer "
                    "(server_error)",
                    nullptr},
        FailureCase{"neverConfirmed", {"silent 1"}, 2, std::nullopt,
                    "connessione fallita (tentativo 1): timeout del collegamento a OpenAI", nullptr},
        FailureCase{"cutBeforeCreated", {"fail-before-ready 9"}, 4, std::string("chiuso prima dell'avvio (codice 1006"),
                    "connessione fallita (tentativo 4): chiuso prima dell'avvio (codice 1006",
                    [](const Json& s) { EXPECT_EQ(s["ready"], 0); }},
        // The socket reports the refusal as final (4000 + status, the status line as reason), and
        // the link gives up at once instead of going through its retries.
        FailureCase{"handshakeRefused", {"reject-handshake 401 9"}, 0,
                    std::string("chiuso prima dell'avvio (codice 4401 HTTP/1.1 401 "),
                    "(codice 4401 HTTP/1.1 401 ",
                    [](const Json& s) { EXPECT_EQ(s["refusedUpgrades"], 1); }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quendra
