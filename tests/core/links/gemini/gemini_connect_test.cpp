// Connecting the Gemini link: attempts, backoff, setup timeout, setup rejection and its fallbacks,
// close at every stage, and what reaches the log.
#include <gtest/gtest.h>

#include "core/base/json_text.h"
#include "core/base/text.h"
#include "gemini_fixture.h"
#include "core/links/factory.h"

namespace quendra::test {
namespace {

using nlohmann::json;
namespace GP = GeminiProtocol;

class GeminiConnectTest : public GeminiFixture {
protected:
    // A token source that records when it was asked and answers with `result`.
    std::shared_ptr<std::vector<double>> askedAt = std::make_shared<std::vector<double>>();
    void tokensAnswer(Result<Token> result) {
        tokenSource = [this, result, asked = askedAt](TokenCompletion completion) {
            asked->push_back(scheduler->nowMs());
            completion(result);
        };
    }
    void runAllTimers() {
        while (auto due = scheduler->nextDueMs()) scheduler->advance(*due - scheduler->nowMs());
    }
};

const std::string kV1betaBase =
    std::string(GP::apiHost) + "/ws/google.ai.generativelanguage.v1beta.GenerativeService.";

TEST_F(GeminiConnectTest, FactoryBuildsTheLinkForExactlyGemini) {
    for (const char* name : {"Gemini", "gemini ", "GEMINI"}) {
        TranslatorOptions options("it", scheduler, sockets.factory(), tokenSource);
        const auto built = createTranslator(name, options);
        ASSERT_FALSE(built.has_value());
        EXPECT_EQ(errorMessage(built.error()), std::string("fornitore non supportato: ") + name);
    }
    make();  // "gemini", checked inside
    EXPECT_EQ(link->state, LinkState::closed);
    EXPECT_EQ(link->resumptionHandle(), std::nullopt);
    EXPECT_EQ(link->droppedChunks(), 0);
}

TEST_F(GeminiConnectTest, OpensWhenTheSetupIsConfirmed) {
    make();
    connect();
    ASSERT_EQ(sockets.sockets.size(), 1u);
    const auto socket = sockets.last();
    EXPECT_EQ(socket->url, kV1betaBase + "BidiGenerateContentConstrained?access_token=test-token");
    EXPECT_TRUE(socket->protocols.empty());
    EXPECT_EQ(states, (std::vector<State>{{LinkState::connecting, std::nullopt}}));

    socket->deliverOpen();
    EXPECT_EQ(socket->sent, std::vector<std::string>{jsonString(
                                GP::buildSetup("it", "mimic", "", false, true, true, std::nullopt))});

    // A second connect while the attempt runs changes nothing.
    connect();
    EXPECT_EQ(completions, (std::vector<std::optional<Error>>{std::nullopt}));
    EXPECT_EQ(sockets.sockets.size(), 1u);

    socket->deliverMessage(R"({"setupComplete":true})");
    EXPECT_EQ(states, (std::vector<State>{{LinkState::connecting, std::nullopt},
                                          {LinkState::open, std::nullopt}}));
    EXPECT_EQ(completions.size(), 2u);
    EXPECT_EQ(completions.back(), std::nullopt);

    // ... nor while a session is active.
    connect();
    EXPECT_EQ(completions.size(), 3u);
    EXPECT_EQ(completions.back(), std::nullopt);
    EXPECT_EQ(states.size(), 2u);
    EXPECT_EQ(sockets.sockets.size(), 1u);
}

struct BackoffCase {
    double random;
    std::vector<double> delays;  // before attempts 2 to 7
};

class GeminiBackoffTest : public GeminiConnectTest,
                          public ::testing::WithParamInterface<BackoffCase> {};

TEST_P(GeminiBackoffTest, SevenAttemptsWithJitteredExponentialDelays) {
    random = GetParam().random;
    tokensAnswer(tl::unexpected(Error{TokenError{"servizio non raggiungibile", 503, true}}));
    make();
    connect();
    runAllTimers();

    ASSERT_EQ(askedAt->size(), 7u);
    for (size_t i = 1; i < askedAt->size(); ++i) {
        EXPECT_NEAR((*askedAt)[i] - (*askedAt)[i - 1], GetParam().delays[i - 1], 1e-6) << i;
    }
    for (int attempt = 1; attempt <= 7; ++attempt) {
        EXPECT_EQ(warnsContaining("connessione fallita (tentativo " + std::to_string(attempt) +
                                  "): servizio non raggiungibile"),
                  1u);
    }
    EXPECT_EQ(states.back(), (State{LinkState::error, "servizio non raggiungibile"}));
    ASSERT_EQ(completions.size(), 1u);
    EXPECT_EQ(completions[0], (Error{TokenError{"servizio non raggiungibile", 503, true}}));
}

INSTANTIATE_TEST_SUITE_P(
    Jitter, GeminiBackoffTest,
    ::testing::Values(BackoffCase{0.5, {500, 1000, 2000, 4000, 8000, 15000}},
                      BackoffCase{0.0, {400, 800, 1600, 3200, 6400, 12000}},
                      BackoffCase{1 - 1e-12, {600, 1200, 2400, 4800, 9600, 18000}}));

TEST_F(GeminiConnectTest, JitterCloseToOneStaysJustUnderTheUpperBound) {
    random = 1 - 1e-9;
    tokensAnswer(tl::unexpected(Error{TokenError{"x", 503, true}}));
    make();
    connect();
    const double first = *scheduler->nextDueMs() - scheduler->nowMs();
    EXPECT_LT(first, 600);
    EXPECT_GT(first, 599.999);
}

TEST_F(GeminiConnectTest, FailuresThatEndAtOnce) {
    struct Case {
        std::int64_t maxRetries;
        Result<Token> token;
        size_t tokenCalls;
        Error error;
    };
    const std::vector<Case> cases = {
        {-1, Token{}, 0, LinkError{"connessione fallita", std::nullopt, false}},
        {6, tl::unexpected(Error{TokenError{"accesso negato", 401, false}}), 1,
         TokenError{"accesso negato", 401, false}},
        {6, tl::unexpected(Error{LinkError{"no", false, false}}), 1, LinkError{"no", false, false}},
    };
    for (const auto& c : cases) {
        askedAt->clear();
        states.clear();
        completions.clear();
        tuning.maxRetries = c.maxRetries;
        tokensAnswer(c.token);
        make();
        connect();
        EXPECT_EQ(askedAt->size(), c.tokenCalls);
        ASSERT_EQ(completions.size(), 1u);
        EXPECT_EQ(completions[0], c.error);
        EXPECT_EQ(states.back(), (State{LinkState::error, errorMessage(c.error)}));
        EXPECT_EQ(scheduler->pending(), 0u);
        link->close();
    }
}

TEST_F(GeminiConnectTest, UnusableTokensAreRetried) {
    struct Case {
        std::string text;
        std::optional<double> expiresAtMs;
        Token::Kind kind;
        std::string message;
    };
    const double now = scheduler->nowMs();
    const std::vector<Case> cases = {
        {"t", now, Token::Kind::ephemeral, "gettone già scaduto (controlla data e ora del computer)"},
        {"", std::nullopt, Token::Kind::apiKey, "getToken() non ha restituito un gettone"},
    };
    tuning.maxRetries = 1;
    for (const auto& c : cases) {
        askedAt->clear();
        completions.clear();
        Token token;
        token.token = c.text;
        token.expiresAtMs = c.expiresAtMs;
        token.kind = c.kind;
        tokensAnswer(token);
        make();
        connect();
        runAllTimers();
        EXPECT_EQ(askedAt->size(), 2u);
        EXPECT_TRUE(sockets.sockets.empty());
        ASSERT_EQ(completions.size(), 1u);
        EXPECT_EQ(completions[0], (Error{LinkError{c.message, std::nullopt, false}}));
        link->close();
    }

    // An API key has no expiry to check.
    tokensAnswer(Token{"k", now - 1, Token::Kind::apiKey});
    make();
    connect();
    ASSERT_EQ(sockets.sockets.size(), 1u);
    EXPECT_EQ(sockets.last()->url, kV1betaBase + "BidiGenerateContent?key=k");
}

TEST_F(GeminiConnectTest, UnconfirmedSetupTimesOutAndIsRetried) {
    make();
    connect();
    const auto first = sockets.last();
    first->deliverOpen();
    scheduler->advance(9999);
    EXPECT_TRUE(first->closeCalls.empty());
    scheduler->advance(1);
    EXPECT_EQ(first->closeCalls, (std::vector<ScriptedSocket::CloseCall>{{4000, "timeout setup"}}));
    EXPECT_EQ(warnsContaining("connessione fallita (tentativo 1): timeout del setup"), 1u);
    scheduler->advance(499);
    EXPECT_EQ(sockets.sockets.size(), 1u);
    scheduler->advance(1);
    ASSERT_EQ(sockets.sockets.size(), 2u);
    confirm(sockets.last());
    EXPECT_EQ(link->state, LinkState::open);
    EXPECT_EQ(completions, (std::vector<std::optional<Error>>{std::nullopt}));
}

TEST_F(GeminiConnectTest, OtherClosesBeforeSetupAreRetriedWithBackoff) {
    make();
    connect();
    sockets.last()->deliverClose(1011);
    EXPECT_EQ(warnsContaining("connessione fallita (tentativo 1): chiuso prima del setup (codice 1011)"),
              1u);
    EXPECT_EQ(sockets.sockets.size(), 1u);
    scheduler->advance(500);
    EXPECT_EQ(sockets.sockets.size(), 2u);
}

struct FallbackCase {
    Token::Kind kind;
    std::string glossary;
};

class GeminiFallbackTest : public GeminiConnectTest,
                           public ::testing::WithParamInterface<FallbackCase> {};

TEST_P(GeminiFallbackTest, RejectedSetupsWalkTheVariantsWithoutDelay) {
    glossary = GetParam().glossary;
    tokensAnswer(Token{"tok", std::nullopt, GetParam().kind});
    make();
    connect();
    const bool hasGlossary = !trimWhitespace(glossary).empty();
    const auto variants = GP::compatVariants(GetParam().kind, hasGlossary);
    const double start = scheduler->nowMs();
    for (size_t i = 0; i < variants.size(); ++i) {
        ASSERT_EQ(sockets.sockets.size(), i + 1);
        const auto socket = sockets.sockets[i];
        const auto& v = variants[i];
        EXPECT_NE(socket->url.find(".generativelanguage." + v.apiVersion + "."), std::string::npos);
        socket->deliverOpen();
        const json setup = setupOf(socket);
        EXPECT_EQ(setup.contains("sessionResumption"), v.sessionResumption) << i;
        EXPECT_EQ(setup.contains("contextWindowCompression"), v.contextCompression) << i;
        EXPECT_EQ(setup.contains("systemInstruction"), v.glossary && hasGlossary) << i;
        socket->deliverClose(1008, "bad");
        if (i + 1 < variants.size()) {
            EXPECT_EQ(warnsContaining("setup rifiutato, provo la variante " + std::to_string(i + 1) +
                                      ": " + variants[i + 1].apiVersion + ", ripresa=" +
                                      (variants[i + 1].sessionResumption ? "true" : "false") +
                                      ", compressione=" +
                                      (variants[i + 1].contextCompression ? "true" : "false") +
                                      ", glossario=" + (variants[i + 1].glossary ? "true" : "false")),
                      1u);
        }
    }
    EXPECT_EQ(sockets.sockets.size(), variants.size());
    EXPECT_EQ(scheduler->nowMs(), start);
    EXPECT_EQ(warnsContaining("connessione fallita (tentativo 1)"), variants.size());
    EXPECT_EQ(warnsContaining("connessione fallita (tentativo 2)"), 0u);
    EXPECT_EQ(states.back(), (State{LinkState::error, "chiuso prima del setup (codice 1008 bad)"}));
    ASSERT_EQ(completions.size(), 1u);
    EXPECT_EQ(completions[0], (Error{LinkError{"chiuso prima del setup (codice 1008 bad)", false, true}}));
}

INSTANTIATE_TEST_SUITE_P(Variants, GeminiFallbackTest,
                         ::testing::Values(FallbackCase{Token::Kind::apiKey, ""},
                                           FallbackCase{Token::Kind::ephemeral, "  \n"},
                                           FallbackCase{Token::Kind::ephemeral, "Ombrix\nQuendra"}));

TEST_F(GeminiConnectTest, RejectedSetupWithAHandleDropsTheHandleAndRetriesAtOnce) {
    const auto first = openLink();
    first->deliverMessage(R"({"sessionResumptionUpdate":{"resumable":true,"newHandle":"h1"}})");
    first->deliverMessage(R"({"sessionResumptionUpdate":{"resumable":false,"newHandle":"h2"}})");
    first->deliverMessage(R"({"sessionResumptionUpdate":{"resumable":true,"newHandle":""}})");
    EXPECT_EQ(link->resumptionHandle(), "h1");

    scheduler->advance(Translator::shortLivedMs);  // a connection that lived: replaced at once
    first->deliverClose(1006, "rete");
    ASSERT_EQ(sockets.sockets.size(), 2u);
    const auto second = sockets.last();
    second->deliverOpen();
    EXPECT_EQ(setupOf(second)["sessionResumption"], json::parse(R"({"handle":"h1"})"));
    second->deliverClose(1007, "handle");
    EXPECT_EQ(link->resumptionHandle(), std::nullopt);

    // At once, as the next attempt, with the same variant and no handle.
    ASSERT_EQ(sockets.sockets.size(), 3u);
    const auto third = sockets.last();
    EXPECT_EQ(third->url, second->url);
    third->deliverOpen();
    EXPECT_EQ(setupOf(third)["sessionResumption"], json::object());
    EXPECT_TRUE(setupOf(third).contains("contextWindowCompression"));
    EXPECT_EQ(warnsContaining("connessione fallita (tentativo 1): chiuso prima del setup (codice 1007 "
                              "handle)"),
              1u);
    third->deliverMessage(R"({"setupComplete":{}})");
    EXPECT_EQ(states.back(), (State{LinkState::open, std::nullopt}));
}

TEST_F(GeminiConnectTest, HandleIsOfferedOnTheFirstTwoAttemptsOnly) {
    const auto first = openLink();
    first->deliverMessage(R"({"sessionResumptionUpdate":{"resumable":true,"newHandle":"h1"}})");
    scheduler->advance(Translator::shortLivedMs);
    first->deliverClose(1006);
    for (int attempt = 0; attempt < 3; ++attempt) {
        // The backoff after the previous attempt.
        if (attempt > 0) scheduler->advance(*scheduler->nextDueMs() - scheduler->nowMs());
        ASSERT_EQ(sockets.sockets.size(), static_cast<size_t>(attempt + 2));
        const auto socket = sockets.last();
        socket->deliverOpen();
        EXPECT_EQ(setupOf(socket)["sessionResumption"].contains("handle"), attempt < 2) << attempt;
        socket->deliverClose(1011);
    }
    EXPECT_EQ(link->resumptionHandle(), "h1");
}

TEST_F(GeminiConnectTest, CloseDuringAnAttemptEndsItQuietly) {
    make();
    connect();
    const auto socket = sockets.last();
    socket->deliverOpen();
    link->close();
    EXPECT_EQ(states, (std::vector<State>{{LinkState::connecting, std::nullopt},
                                          {LinkState::closed, std::nullopt}}));
    link->sendAudio(chunk(1));
    EXPECT_EQ(link->inputBytes, 0);

    // The late confirmation retires the session at once.
    socket->deliverMessage(R"({"setupComplete":{}})");
    EXPECT_EQ(socket->closeCalls, (std::vector<ScriptedSocket::CloseCall>{{1000, "rinnovo"}}));
    EXPECT_EQ(completions, (std::vector<std::optional<Error>>{std::nullopt}));
    EXPECT_EQ(states.size(), 2u);
    EXPECT_EQ(socket->sent.size(), 1u);  // the setup only
}

TEST_F(GeminiConnectTest, CloseDuringBackoffEndsTheSeriesWithoutError) {
    tokensAnswer(tl::unexpected(Error{TokenError{"x", 503, true}}));
    make();
    connect();
    link->close();
    runAllTimers();
    EXPECT_EQ(askedAt->size(), 1u);
    EXPECT_EQ(completions, (std::vector<std::optional<Error>>{std::nullopt}));
    EXPECT_EQ(states, (std::vector<State>{{LinkState::connecting, std::nullopt},
                                          {LinkState::closed, std::nullopt}}));
}

TEST_F(GeminiConnectTest, AttemptFromBeforeCloseDoesNotTakeOverAReconnectedLink) {
    make();
    connect();
    const auto stale = sockets.last();
    stale->deliverOpen();
    link->close();
    connect();
    ASSERT_EQ(sockets.sockets.size(), 2u);
    const auto fresh = sockets.last();

    stale->deliverMessage(R"({"setupComplete":{}})");
    EXPECT_EQ(stale->closeCalls, (std::vector<ScriptedSocket::CloseCall>{{1000, "rinnovo"}}));
    EXPECT_EQ(link->state, LinkState::connecting);

    confirm(fresh);
    EXPECT_EQ(link->state, LinkState::open);
    link->sendAudio(chunk(7));
    EXPECT_EQ(chunkIds(fresh), std::vector<std::int16_t>{7});
    EXPECT_TRUE(fresh->closeCalls.empty());
}

TEST_F(GeminiConnectTest, CloseReportsUsageAndClosedOnce) {
    const auto socket = openLink();
    link->sendAudio(chunk(1));
    usages.clear();
    states.clear();
    link->close();
    EXPECT_EQ(usages, (std::vector<Usage>{{0.1, 0}}));
    EXPECT_EQ(states, (std::vector<State>{{LinkState::closed, std::nullopt}}));
    EXPECT_EQ(socket->closeCalls, (std::vector<ScriptedSocket::CloseCall>{{1000, "rinnovo"}}));
    link->close();  // nothing visible
    EXPECT_EQ(states.size(), 1u);
    EXPECT_EQ(usages.size(), 1u);
    scheduler->runDue();
    EXPECT_TRUE(socket->closeDelivered());
    EXPECT_FALSE(socket->onClose);
}

TEST_F(GeminiConnectTest, TransportFailuresThatRetryingCannotMendAreFinalAtOnce) {
    const std::pair<int, std::string> finals[] = {
        {CloseCode::tlsFailure, "certificate verify failed"},
        {CloseCode::invalidUrl, "indirizzo non valido"},
        {CloseCode::httpStatusBase + 401, "HTTP/1.1 401 Unauthorized"},
        {CloseCode::httpStatusBase + 403, "HTTP/1.1 403 Forbidden"},
    };
    for (const auto& [code, reason] : finals) {
        SCOPED_TRACE(code);
        completions.clear();
        make();
        connect();
        const size_t before = sockets.sockets.size();
        sockets.last()->deliverClose(code, reason);
        const std::string message = "chiuso prima del setup (codice " + std::to_string(code) + " " + reason + ")";
        ASSERT_EQ(completions.size(), 1u);
        EXPECT_EQ(completions[0], Error(LinkError{message, false, false}));
        EXPECT_EQ(states.back(), (State{LinkState::error, message}));
        runAllTimers();
        EXPECT_EQ(sockets.sockets.size(), before);
        link->close();
    }
    // Other refusals of the upgrade may pass: retried.
    make();
    connect();
    sockets.last()->deliverClose(CloseCode::httpStatusBase + 429, "HTTP/1.1 429 Too Many Requests");
    const size_t before = sockets.sockets.size();
    scheduler->advance(500);
    EXPECT_EQ(sockets.sockets.size(), before + 1);
}

TEST_F(GeminiConnectTest, ACredentialEchoedBareIsHiddenToo) {
    // No pattern knows this credential; its exact value is hidden wherever it comes back.
    const std::string secret = "Zq8tRkP2mWx";
    tokensAnswer(Token{secret, std::nullopt, Token::Kind::apiKey});
    tuning.maxRetries = 1;
    make();
    connect();
    sockets.last()->deliverClose(1011, "ospite " + secret);
    scheduler->advance(500);
    sockets.last()->deliverClose(1011, "ancora " + secret);
    ASSERT_EQ(completions.size(), 1u);
    const std::string message = "chiuso prima del setup (codice 1011 ancora ***)";
    EXPECT_EQ(completions[0], Error(LinkError{message, std::nullopt, false}));
    EXPECT_EQ(states.back(), (State{LinkState::error, message}));
    EXPECT_TRUE(logs.contains("ospite ***"));
    for (const auto& line : logs.texts()) EXPECT_EQ(line.find(secret), std::string::npos) << line;
}

TEST_F(GeminiConnectTest, DroppedLinkClosesItsConnections) {
    const auto socket = openLink();
    make();  // replaces and destroys the first link without close
    EXPECT_EQ(socket->closeCalls, (std::vector<ScriptedSocket::CloseCall>{{1000, "rinnovo"}}));
    EXPECT_FALSE(socket->onMessage);
}

TEST_F(GeminiConnectTest, CredentialsNeverReachTheLog) {
    std::vector<Token> tokens(2);
    tokens[0].token = "AIzaSyD-SECRETkey_1";
    tokens[0].kind = Token::Kind::apiKey;
    tokens[1].token = "auth_tokens/SECRET.ephemeral";
    tokens[1].expiresAtMs = 5e12;
    for (const auto& token : tokens) {
        tokensAnswer(token);
        make();
        connect();
        // A service that echoes the request in its close reasons and messages.
        auto socket = sockets.last();
        socket->deliverOpen();
        socket->deliverClose(1011, "rifiutato " + socket->url);
        scheduler->advance(500);
        socket = sockets.last();
        confirm(socket);
        socket->deliverMessage(R"({"goAway":{"timeLeft":"1s"}})");
        confirm(sockets.last());
        scheduler->advance(Translator::shortLivedMs);
        sockets.last()->deliverClose(1006, "Token " + token.token + " url " + socket->url);
        confirm(sockets.last());
        link->close();
    }
    ASSERT_FALSE(logs.lines().empty());
    EXPECT_TRUE(logs.contains("connessione caduta"));
    for (const auto& line : logs.texts()) EXPECT_EQ(line.find("SECRET"), std::string::npos) << line;
}

}  // namespace
}  // namespace quendra::test
