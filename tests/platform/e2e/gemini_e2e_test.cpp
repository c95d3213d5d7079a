// The Gemini link end to end: the real translator on the real scheduler and sockets, against the
// Gemini Live test peer reached through the connect-to override (TLS still checks the service's
// host name against the test CA).
#include <gtest/gtest.h>

#include "core/links/gemini/gemini_translator.h"
#include "link_fixture.h"

namespace quendra {
namespace {

using test::LinkRecord;
using test::onCore;
using test::toneChunk;
using Json = nlohmann::json;

constexpr const char* kToken = "eph-Gemini.Secret_7f3a";
constexpr const char* kHost = "generativelanguage.googleapis.com";
constexpr std::int64_t kOutChunk = 2400;  // 100 ms at 24 kHz

class GeminiE2ETest : public test::LinkE2ETest {
protected:
    void start(const std::vector<std::string>& commands = {}, Token::Kind kind = Token::Kind::ephemeral) {
        std::vector<std::string> args{"--expect-token", kToken};
        for (const auto& c : commands) {
            args.push_back("--command");
            args.push_back(c);
        }
        startProvider("gemini/server.js", kHost, args);
        credential = kToken;
        createAndConnect("gemini", options("en", fixedToken(Token{kToken, std::nullopt, kind})));
    }

    std::vector<LinkState> states() const {
        std::vector<LinkState> out;
        for (const auto& s : record->get().states) out.push_back(s.first);
        return out;
    }
};

struct CredentialCase {
    const char* name;
    Token::Kind kind;
    const char* method;  // endpoint method
    const char* param;   // query parameter carrying the credential
};
void PrintTo(const CredentialCase& c, std::ostream* os) { *os << c.name; }

class GeminiCredentialTest : public GeminiE2ETest, public ::testing::WithParamInterface<CredentialCase> {};

TEST_P(GeminiCredentialTest, TranslatesAudioWithTranscriptsAndUsage) {
    const auto& c = GetParam();
    start({}, c.kind);
    ASSERT_TRUE(waitState(LinkState::open));
    ASSERT_TRUE(waitCompleted());
    EXPECT_FALSE(record->get().completions.front().has_value());
    EXPECT_EQ(states(), (std::vector<LinkState>{LinkState::connecting, LinkState::open}));

    std::vector<std::vector<std::int16_t>> chunks;
    for (int i = 0; i < 3; ++i) chunks.push_back(toneChunk(i));
    sendAll(chunks);
    ASSERT_TRUE(waitAudio(3 * kOutChunk));
    // The pause ends the turn: the peer finishes both transcripts.
    ASSERT_TRUE(record->waitUntil([](const LinkRecord& r) { return !r.finals(TranscriptKind::output).empty(); }));

    const auto rec = record->get();
    EXPECT_EQ(rec.audioSamples, 3 * kOutChunk);
    // The peer interpolates each chunk to 24 kHz; every third output sample is an input sample,
    // so samples, byte order and Base64 survived both directions.
    for (size_t n = 0; n < chunks.size(); ++n) {
        for (size_t k = 0; k < 800; ++k) {
            ASSERT_EQ(rec.audio[n * kOutChunk + 3 * k], chunks[n][2 * k]) << "chunk " << n << " sample " << k;
        }
    }
    EXPECT_EQ(rec.finals(TranscriptKind::input), std::vector<std::string>{"pezzo 1 pezzo 2 pezzo 3 ."});
    EXPECT_EQ(rec.finals(TranscriptKind::output), std::vector<std::string>{"chunk 1 chunk 2 chunk 3 ."});
    ASSERT_FALSE(rec.usages.empty());
    EXPECT_EQ(rec.usages.back(), (Usage{0.3, 0.3}));

    auto status = peerStatus();
    EXPECT_EQ(status["connections"], 1);
    EXPECT_EQ(status["audioChunks"], 3);
    EXPECT_GE(status["streamEnds"], 1);
    const std::string url = status["urls"][0];
    const std::string expected =
        std::string("/ws/google.ai.generativelanguage.v1beta.GenerativeService.") + c.method + "?" + c.param + "=";
    EXPECT_EQ(url.rfind(expected, 0), 0u)
        << url;
    EXPECT_TRUE(status["setups"][0].contains("sessionResumption"));
    EXPECT_TRUE(status["setups"][0].contains("contextWindowCompression"));

    onCore(*queue, [this] { translator->close(); });
    EXPECT_EQ(record->get().last(), LinkState::closed);
    ASSERT_TRUE(waitPeer([](const Json& s) { return s["closes"].size() == 1; }));
    EXPECT_EQ(peerStatus()["closes"][0], (Json{{"code", 1000}, {"reason", "rinnovo"}}));
}

INSTANTIATE_TEST_SUITE_P(Credentials, GeminiCredentialTest,
                         ::testing::Values(CredentialCase{"ephemeral", Token::Kind::ephemeral,
                                                          "BidiGenerateContentConstrained", "access_token"},
                                           CredentialCase{"apiKey", Token::Kind::apiKey, "BidiGenerateContent", "key"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(GeminiE2ETest, GoAwayRenewsWithoutLosingAudioOrChangingState) {
    start();
    ASSERT_TRUE(waitState(LinkState::open));
    send(toneChunk(0));
    send(toneChunk(1));
    ASSERT_TRUE(waitAudio(2 * kOutChunk));

    ASSERT_TRUE(command("goaway 5s"));
    // Sent at once: some may still reach the old connection, the rest wait for the new one.
    for (int i = 2; i < 6; ++i) send(toneChunk(i));
    ASSERT_TRUE(waitAudio(6 * kOutChunk));
    ASSERT_TRUE(waitPeer([](const Json& s) { return s["connections"] == 2 && s["closes"].size() == 1; }));

    const auto status = peerStatus();
    EXPECT_EQ(status["audioChunks"], 6);
    // The old connection drained and was closed by the link, not dropped.
    EXPECT_EQ(status["closes"][0], (Json{{"code", 1000}, {"reason", "rinnovo"}}));
    // The new connection asked to resume the old one's context.
    ASSERT_EQ(status["resumedHandles"].size(), 1u);
    EXPECT_EQ(status["resumedHandles"][0].get<std::string>().rfind("h-1-", 0), 0u);
    EXPECT_EQ(record->get().audioSamples, 6 * kOutChunk);
    EXPECT_EQ(states(), (std::vector<LinkState>{LinkState::connecting, LinkState::open}));
    EXPECT_TRUE(logged("goAway, tempo rimasto: 5000 ms"));
    EXPECT_TRUE(logged("rinnovo connessione (goAway)"));
}

TEST_F(GeminiE2ETest, DroppedConnectionReconnectsAndDeliversQueuedAudio) {
    start();
    ASSERT_TRUE(waitState(LinkState::open));
    send(toneChunk(0));
    send(toneChunk(1));
    ASSERT_TRUE(waitAudio(2 * kOutChunk));

    // The first replacement never gets its setup confirmed, so the audio below is sure to wait
    // in the queue until the retry after the setup timeout.
    ASSERT_TRUE(command("silent 1"));
    ASSERT_TRUE(command("drop"));
    ASSERT_TRUE(waitState(LinkState::reconnecting));
    for (int i = 2; i < 5; ++i) send(toneChunk(i));
    ASSERT_TRUE(waitState(LinkState::open, 2));
    ASSERT_TRUE(waitAudio(5 * kOutChunk));

    EXPECT_EQ(states(), (std::vector<LinkState>{LinkState::connecting, LinkState::open, LinkState::reconnecting,
                                                LinkState::open}));
    EXPECT_EQ(record->get().audioSamples, 5 * kOutChunk);
    ASSERT_TRUE(waitPeer([](const Json& s) { return s["closes"].size() >= 2; }));
    const auto status = peerStatus();
    EXPECT_EQ(status["connections"], 3);
    EXPECT_EQ(status["audioChunks"], 5);
    EXPECT_EQ(status["closes"][1], (Json{{"code", 4000}, {"reason", "timeout setup"}}));
    // Both replacements offered the dropped connection's handle.
    ASSERT_EQ(status["setups"].size(), 3u);
    for (int i = 1; i < 3; ++i) {
        const std::string handle = status["setups"][i]["sessionResumption"].value("handle", "");
        EXPECT_EQ(handle.rfind("h-1-", 0), 0u) << status["setups"][i].dump();
    }
    EXPECT_TRUE(logged("connessione caduta (codice 1006"));
    EXPECT_TRUE(logged("connessione fallita (tentativo 1): timeout del setup"));
}

TEST_F(GeminiE2ETest, ClosingAndDroppingTheLinkDuringSetupLeavesNothingOpen) {
    link.setupTimeoutMs = 30000;  // only the owner can end this attempt within the test
    start({"silent 1"});
    ASSERT_TRUE(waitPeer([](const Json& s) { return s["setups"].size() == 1; }));
    onCore(*queue, [this] {
        translator->close();
        translator.reset();
    });
    EXPECT_EQ(record->get().last(), LinkState::closed);
    ASSERT_TRUE(waitPeer([](const Json& s) { return s["closes"].size() == 1; }, std::chrono::seconds(5)));
    EXPECT_EQ(peerStatus()["closes"][0], (Json{{"code", 1000}, {"reason", "rinnovo"}}));
}

// Setups the peer refuses or never confirms, and what the link makes of them.
struct SetupCase {
    const char* name;
    std::vector<std::string> commands;
    Token::Kind kind;
    int connections;                           // the peer saw this many before the outcome
    std::optional<std::string> errorMessage;   // none: the link ends up open
    std::string logFragment;
    std::function<void(const Json& status)> check;
};
void PrintTo(const SetupCase& c, std::ostream* os) { *os << c.name; }

class GeminiSetupTest : public GeminiE2ETest, public ::testing::WithParamInterface<SetupCase> {};

TEST_P(GeminiSetupTest, FallsBackRetriesOrFails) {
    const auto& c = GetParam();
    start(c.commands, c.kind);
    ASSERT_TRUE(waitCompleted());
    const auto rec = record->get();
    if (c.errorMessage) {
        ASSERT_TRUE(rec.completions.front().has_value());
        EXPECT_EQ(errorMessage(*rec.completions.front()), *c.errorMessage);
        EXPECT_EQ(rec.last(), LinkState::error);
        EXPECT_EQ(rec.states.back().second, c.errorMessage);
    } else {
        EXPECT_FALSE(rec.completions.front().has_value());
        EXPECT_EQ(rec.last(), LinkState::open);
    }
    // Every connection but the one left open has ended by now, or soon.
    const std::size_t ended = c.connections - (c.errorMessage ? 0 : 1);
    EXPECT_TRUE(waitPeer([&](const Json& s) { return s["connections"] == c.connections && s["closes"].size() == ended; }))
        << peerStatus().dump();
    const auto status = peerStatus();
    EXPECT_TRUE(logged(c.logFragment)) << c.logFragment;
    if (c.check) c.check(status);
}

INSTANTIATE_TEST_SUITE_P(
    Setups, GeminiSetupTest,
    ::testing::Values(
        SetupCase{"neverConfirmed", {"silent 1"}, Token::Kind::apiKey, 2, std::nullopt,
                  "connessione fallita (tentativo 1): timeout del setup",
                  [](const Json& s) { EXPECT_EQ(s["closes"][0], (Json{{"code", 4000}, {"reason", "timeout setup"}})); }},
        SetupCase{"policyRejection", {"reject 1008"}, Token::Kind::apiKey, 2, std::nullopt,
                  "setup rifiutato, provo la variante 1: v1beta, ripresa=true, compressione=false",
                  [](const Json& s) {
                      EXPECT_TRUE(s["setups"][0].contains("contextWindowCompression"));
                      EXPECT_FALSE(s["setups"][1].contains("contextWindowCompression"));
                  }},
        SetupCase{"unsupportedResumption", {"reject-field sessionResumption"}, Token::Kind::ephemeral, 3,
                  std::nullopt, "provo la variante 2: v1beta, ripresa=false",
                  [](const Json& s) { EXPECT_FALSE(s["setups"][2].contains("sessionResumption")); }},
        SetupCase{"unsupportedApiVersion", {"reject-field v1beta"}, Token::Kind::ephemeral, 4, std::nullopt,
                  "provo la variante 3: v1alpha",
                  [](const Json& s) {
                      const std::string url = s["urls"][3];
                      EXPECT_NE(url.find(".v1alpha."), std::string::npos) << url;
                  }},
        SetupCase{"everyVariantRejected", {"reject 1007 9"}, Token::Kind::apiKey, 3,
                  std::string("chiuso prima del setup (codice 1007 setup rifiutato)"),
                  "connessione fallita (tentativo 1): chiuso prima del setup (codice 1007 setup rifiutato)", nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quendra
