// The OpenAI link's connections: readiness, refusals, retries, renewals, drops and close.
#include "openai_fixture.h"

namespace quendra::test {
namespace {

using json = nlohmann::json;
using States = std::vector<std::pair<LinkState, std::optional<std::string>>>;

TEST_F(OpenAILinkTest, UnsupportedLanguageFailsAtOnceWithoutConnecting) {
    for (const std::string code : {"pl", "EN", "en-US"}) {
        language = code;
        rec = {};
        auto link = make();
        CompletionLog done;
        link->connect(done.completion());
        const std::string message =
            "OpenAI non traduce verso «" + code + "»: scegli un'altra lingua o un altro modello.";
        ASSERT_EQ(done.calls(), 1);
        EXPECT_EQ(done.error(), Error(LinkError{message, false, false}));
        EXPECT_EQ(rec.states, (States{{LinkState::error, message}})) << code;
        EXPECT_EQ(link->state, LinkState::error);
    }
    EXPECT_TRUE(sockets.sockets.empty());
    EXPECT_EQ(*tokens.calls, 0);
}

TEST_F(OpenAILinkTest, ReadyOnlyAfterCreatedUpdateUpdatedSequence) {
    language = "";  // taken as "en"
    tuning.setupTimeoutMs = 5000;
    auto link = make();
    CompletionLog done;
    link->connect(done.completion());
    EXPECT_EQ(rec.states, (States{{LinkState::connecting, std::nullopt}}));
    auto socket = sockets.last();
    ASSERT_TRUE(socket);
    EXPECT_EQ(socket->url, "wss://api.openai.com/v1/realtime/translations?model=gpt-realtime-translate");
    EXPECT_EQ(socket->protocols,
              (std::vector<std::string>{"realtime", "openai-insecure-api-key.test-token"}));

    socket->deliverOpen();
    EXPECT_TRUE(socket->sent.empty());  // the client waits for session.created
    send(socket, {{"type", "session.created"}});
    ASSERT_EQ(socket->sent.size(), 1u);
    EXPECT_EQ(sentEvents(socket)[0], OpenAIProtocol::buildSessionUpdate("en", false));
    EXPECT_EQ(link->state, LinkState::connecting);
    EXPECT_EQ(done.calls(), 0);

    scheduler->advance(4999);  // within the setup time
    send(socket, {{"type", "session.updated"}, {"session", json::object()}});
    EXPECT_EQ(link->state, LinkState::open);
    EXPECT_EQ(rec.states.back(), std::make_pair(LinkState::open, std::optional<std::string>()));
    EXPECT_EQ(done.calls(), 1);
    EXPECT_EQ(done.error(), std::nullopt);
    EXPECT_TRUE(logs.contains("session.updated: senza trascrizione"));

    // A second connect while active completes at once and changes nothing.
    link->connect(done.completion());
    EXPECT_EQ(done.calls(), 2);
    EXPECT_EQ(rec.states.size(), 2u);
    EXPECT_EQ(sockets.sockets.size(), 1u);
}

TEST_F(OpenAILinkTest, SessionUpdatedBeforeCreatedAlsoMakesReady) {
    auto link = make();
    link->connect(nullptr);
    auto socket = sockets.last();
    socket->deliverOpen();
    send(socket, {{"type", "session.updated"}});
    EXPECT_EQ(link->state, LinkState::open);
}

TEST_F(OpenAILinkTest, GlossaryAndVoiceAreLoggedAndNotSent) {
    auto link = make();
    TranslatorOptions changed = link->opts;
    changed.glossary = "  Ombrix\n";
    changed.voice = "alloy";
    auto other = std::make_shared<OpenAITranslator>(changed);
    other->connect(nullptr);
    makeReady(sockets.last());
    EXPECT_TRUE(logs.contains("glossario ignorato: gpt-realtime-translate non accetta istruzioni"));
    EXPECT_TRUE(logs.contains("voce fissa ignorata: gpt-realtime-translate adatta la voce a chi parla"));
    EXPECT_EQ(sentEvents(sockets.last())[0], OpenAIProtocol::buildSessionUpdate("it", false));
}

TEST_F(OpenAILinkTest, RenewalDelayFollowsExpiryWithMarginAndFloor) {
    struct Case {
        const char* name;
        std::optional<double> renewAfterMs;
        json session;
        std::optional<double> delayMs;
    };
    const double nowSeconds = ManualScheduler().nowMs() / 1000;
    const Case cases[] = {
        {"30 minutes ahead", std::nullopt, {{"expires_at", nowSeconds + 1800}}, 1'740'000},
        {"30 minutes ahead as text", std::nullopt, {{"expires_at", "1970-01-01T00:46:40Z"}}, 1'740'000},
        {"70 seconds ahead", std::nullopt, {{"expires_at", nowSeconds + 70}}, 30'000},
        {"already past", std::nullopt, {{"expires_at", nowSeconds - 5}}, 30'000},
        {"no expiry", std::nullopt, json::object(), 1'500'000},
        {"unreadable expiry", std::nullopt, {{"expires_at", "soon"}}, 1'500'000},
        {"tuning wins", 5000.0, {{"expires_at", nowSeconds + 1800}}, 5000},
        {"tuning zero", 0.0, {{"expires_at", nowSeconds + 1800}}, std::nullopt},
    };
    for (const auto& c : cases) {
        scheduler = std::make_shared<ManualScheduler>();
        sockets = SocketRecorder{scheduler};
        tuning.renewAfterMs = c.renewAfterMs;
        auto link = makeOpen(c.session);
        if (c.delayMs) {
            EXPECT_EQ(scheduler->pending(), 1u) << c.name;
            EXPECT_EQ(scheduler->nextDueMs(), scheduler->nowMs() + *c.delayMs) << c.name;
        } else {
            EXPECT_EQ(scheduler->pending(), 0u) << c.name;
        }
        link->close();
    }
}

TEST_F(OpenAILinkTest, PlannedRenewalKeepsStateDrainsOldAndSendsQueuedAudioToNew) {
    tuning.renewAfterMs = 60'000;
    tuning.silenceTailMs = 0;
    auto link = makeOpen();
    auto first = sockets.last();
    scheduler->advance(60'000);
    ASSERT_EQ(sockets.sockets.size(), 2u);
    auto second = sockets.last();
    EXPECT_TRUE(logs.contains("rinnovo connessione (timer)"));
    EXPECT_TRUE(rec.states.empty());
    EXPECT_EQ(sentTypes(first).back(), "session.close");

    link->sendAudio(chunk(100));
    link->sendAudio(chunk(200));
    EXPECT_EQ(sentAudio(first).size(), 0u);  // nothing goes to the retired connection

    scheduler->advance(1000);
    makeReady(second);
    EXPECT_EQ(sentAudio(second).size(), 2u);
    EXPECT_EQ(link->inputBytes, 6400);
    EXPECT_TRUE(first->closeCalls.empty());
    scheduler->advance(1500);  // drainMs after the renewal began
    EXPECT_EQ(first->closeCalls, (std::vector<ScriptedSocket::CloseCall>{{1000, "fine"}}));
    EXPECT_TRUE(rec.states.empty());
}

TEST_F(OpenAILinkTest, DrainingSessionAnsweringCloseIsShutBeforeItsTimer) {
    tuning.renewAfterMs = 1000;
    auto link = makeOpen();
    auto first = sockets.last();
    scheduler->advance(1000);
    EXPECT_EQ(sentTypes(first).back(), "session.close");
    send(first, {{"type", "session.closed"}});
    EXPECT_EQ(first->closeCalls, (std::vector<ScriptedSocket::CloseCall>{{1000, "fine"}}));
    scheduler->advance(5000);
    EXPECT_EQ(first->closeCalls.size(), 1u);
    EXPECT_EQ(sockets.sockets.size(), 2u);  // no second renewal
}

TEST_F(OpenAILinkTest, SessionClosedByServerRenewsWithoutStateChange) {
    tuning.silenceTailMs = 0;
    auto link = makeOpen();
    auto first = sockets.last();
    send(first, {{"type", "session.closed"}});
    EXPECT_EQ(first->closeCalls, (std::vector<ScriptedSocket::CloseCall>{{1000, "fine"}}));
    EXPECT_TRUE(logs.contains("rinnovo connessione (chiusa dal server)"));
    ASSERT_EQ(sockets.sockets.size(), 2u);
    link->sendAudio(chunk(7));
    EXPECT_EQ(link->state, LinkState::open);
    makeReady(sockets.last());
    EXPECT_EQ(sentAudio(sockets.last()).size(), 1u);
    EXPECT_TRUE(rec.states.empty());
}

TEST_F(OpenAILinkTest, DroppedActiveSocketReconnects) {
    auto link = makeOpen();
    auto first = sockets.last();
    scheduler->advance(Translator::shortLivedMs);  // a connection that lived: replaced at once
    first->deliverClose(1006, "rete");
    EXPECT_TRUE(logs.contains("connessione caduta (codice 1006 rete)"));
    EXPECT_EQ(rec.states, (States{{LinkState::reconnecting, std::nullopt}}));
    ASSERT_EQ(sockets.sockets.size(), 2u);
    EXPECT_TRUE(first->closeCalls.empty());  // a dropped session is not drained
    makeReady(sockets.last());
    EXPECT_EQ(rec.states.back(), std::make_pair(LinkState::open, std::optional<std::string>()));
}

TEST_F(OpenAILinkTest, ConnectionsThatDropYoungKeepTheBackoffUpToTheRetryCap) {
    auto link = makeOpen();
    // Each new connection is confirmed and broken at once; the waits between them are the backoff
    // of one attempt series, and the cap ends it.
    std::vector<double> waits;
    for (int i = 0; i < 20 && link->state != LinkState::error; ++i) {
        const size_t before = sockets.sockets.size();
        const double droppedAt = scheduler->nowMs();
        sockets.last()->deliverClose(1006, "rotto");
        while (sockets.sockets.size() == before && link->state != LinkState::error) {
            scheduler->advance(*scheduler->nextDueMs() - scheduler->nowMs());
        }
        if (sockets.sockets.size() == before) break;
        waits.push_back(scheduler->nowMs() - droppedAt);
        makeReady(sockets.last());
    }
    EXPECT_EQ(waits, (std::vector<double>{500, 1000, 2000, 4000, 8000, 15000}));
    EXPECT_EQ(rec.states.back(),
              std::make_pair(LinkState::error, std::optional<std::string>("connessione caduta (codice 1006 rotto)")));
}

TEST_F(OpenAILinkTest, ALongLifeStartsANewSeries) {
    auto link = makeOpen();
    sockets.last()->deliverClose(1006);  // young: waits the first backoff
    EXPECT_EQ(sockets.sockets.size(), 1u);
    scheduler->advance(500);
    ASSERT_EQ(sockets.sockets.size(), 2u);
    makeReady(sockets.last());
    sockets.last()->deliverClose(1006);  // young again: the series' second backoff
    scheduler->advance(999);
    EXPECT_EQ(sockets.sockets.size(), 2u);
    scheduler->advance(1);
    ASSERT_EQ(sockets.sockets.size(), 3u);
    makeReady(sockets.last());
    scheduler->advance(Translator::shortLivedMs);
    sockets.last()->deliverClose(1006);  // lived: a new series, at once
    EXPECT_EQ(sockets.sockets.size(), 4u);
    makeReady(sockets.last());
    sockets.last()->deliverClose(1006);  // young: the new series' first backoff
    scheduler->advance(499);
    EXPECT_EQ(sockets.sockets.size(), 4u);
    scheduler->advance(1);
    EXPECT_EQ(sockets.sockets.size(), 5u);
}

TEST_F(OpenAILinkTest, TransportFailuresThatRetryingCannotMendAreFinalAtOnce) {
    const std::pair<int, std::string> finals[] = {
        {CloseCode::tlsFailure, "certificate verify failed"},
        {CloseCode::invalidUrl, "indirizzo non valido"},
        {CloseCode::httpStatusBase + 401, "HTTP/1.1 401 Unauthorized"},
        {CloseCode::httpStatusBase + 403, "HTTP/1.1 403 Forbidden"},
    };
    for (const auto& [code, reason] : finals) {
        SCOPED_TRACE(code);
        scheduler = std::make_shared<ManualScheduler>();
        sockets = SocketRecorder{scheduler};
        auto link = make();
        CompletionLog done;
        link->connect(done.completion());
        sockets.last()->deliverClose(code, reason);
        const std::string message = "chiuso prima dell'avvio (codice " + std::to_string(code) + " " + reason + ")";
        ASSERT_EQ(done.calls(), 1);
        EXPECT_EQ(done.error(), Error(LinkError{message, false, false}));
        EXPECT_EQ(link->state, LinkState::error);
        scheduler->advance(60'000);
        EXPECT_EQ(sockets.sockets.size(), 1u);
    }
    // Other refusals of the upgrade may pass: retried.
    scheduler = std::make_shared<ManualScheduler>();
    sockets = SocketRecorder{scheduler};
    auto link = make();
    link->connect(nullptr);
    sockets.last()->deliverClose(CloseCode::httpStatusBase + 503, "HTTP/1.1 503 Service Unavailable");
    scheduler->advance(500);
    EXPECT_EQ(sockets.sockets.size(), 2u);
}

TEST_F(OpenAILinkTest, TokenWithControlCharactersIsRefusedBeforeConnecting) {
    tokens = FixedTokenSource{Token{"ek_abcdef123456\r\nX-Injected: 1", std::nullopt, Token::Kind::ephemeral}};
    auto link = make();
    CompletionLog done;
    link->connect(done.completion());
    EXPECT_TRUE(sockets.sockets.empty());
    ASSERT_EQ(done.calls(), 1);
    const std::string message = "gettone non valido: contiene caratteri di controllo (a capo o simili)";
    EXPECT_EQ(done.error(), Error(LinkError{message, false, false}));
    EXPECT_EQ(rec.states.back(), std::make_pair(LinkState::error, std::optional<std::string>(message)));
    EXPECT_EQ(*tokens.calls, 1);  // not retried
    for (const auto& text : logs.texts()) EXPECT_EQ(text.find("abcdef123456"), std::string::npos) << text;
}

TEST_F(OpenAILinkTest, TranscriptionRefusalReconfiguresTheSameConnection) {
    transcription = true;
    auto link = make();
    CompletionLog done;
    link->connect(done.completion());
    auto socket = sockets.last();
    socket->deliverOpen();
    send(socket, {{"type", "session.created"}});
    EXPECT_EQ(sentEvents(socket)[0], OpenAIProtocol::buildSessionUpdate("it", true));
    send(socket, {{"type", "error"},
                  {"error", {{"type", "invalid_request_error"}, {"message", "Input TRANSCRIPTION is not available"}}}});
    EXPECT_TRUE(logs.contains("trascrizione rifiutata: riprovo senza"));
    ASSERT_EQ(socket->sent.size(), 2u);
    EXPECT_EQ(sentEvents(socket)[1], OpenAIProtocol::buildSessionUpdate("it", false));
    EXPECT_EQ(done.calls(), 0);
    EXPECT_TRUE(socket->closeCalls.empty());
    send(socket, {{"type", "session.updated"}});
    EXPECT_TRUE(logs.contains("session.updated: senza trascrizione"));
    EXPECT_EQ(link->state, LinkState::open);
    EXPECT_EQ(sockets.sockets.size(), 1u);
}

TEST_F(OpenAILinkTest, ErrorEventBeforeReadyFailsTheAttempt) {
    struct Case {
        json error;
        std::string message;
        bool retried;
    };
    const Case cases[] = {
        {{{"type", "invalid_request_error"}}, "invalid_request_error", false},
        {{{"type", "authentication_error"}, {"code", "bad_key"}}, "bad_key", false},
        {{{"type", "server_error"}, {"message", "occupato"}}, "occupato", true},
        {json::object(), "errore", true},
        {"not an object", "errore", true},
    };
    for (const auto& c : cases) {
        scheduler = std::make_shared<ManualScheduler>();
        sockets = SocketRecorder{scheduler};
        tuning.maxRetries = 1;
        rec = {};
        auto link = make();
        CompletionLog done;
        link->connect(done.completion());
        auto socket = sockets.last();
        socket->deliverOpen();
        send(socket, {{"type", "session.created"}});
        send(socket, {{"type", "error"}, {"error", c.error}});
        EXPECT_EQ(socket->closeCalls, (std::vector<ScriptedSocket::CloseCall>{{1000, "setup fallito"}}));
        const std::string message = "OpenAI ha rifiutato il collegamento: " + c.message;
        if (c.retried) {
            EXPECT_EQ(done.calls(), 0) << c.message;
            scheduler->advance(500);  // base 500 x (0.8 + 0.4 x 0.5)
            ASSERT_EQ(sockets.sockets.size(), 2u) << c.message;
            sockets.last()->deliverOpen();
            send(sockets.last(), {{"type", "error"}, {"error", c.error}});
        }
        ASSERT_EQ(done.calls(), 1) << c.message;
        ASSERT_TRUE(done.error());
        EXPECT_EQ(errorMessage(*done.error()), message);
        EXPECT_EQ(isNonRetryable(*done.error()), !c.retried);
        EXPECT_EQ(rec.states.back(), std::make_pair(LinkState::error, std::optional<std::string>(message)));
        EXPECT_EQ(sockets.sockets.size(), c.retried ? 2u : 1u);
    }
}

TEST_F(OpenAILinkTest, ErrorEventAfterReadyIsOnlyLogged) {
    auto link = makeOpen();
    send(sockets.last(), {{"type", "error"},
                          {"error", {{"type", "invalid_request_error"}, {"code", "c1"}, {"param", "p"},
                                     {"message", "transcription no"}}}});
    EXPECT_TRUE(logs.contains("errore OpenAI: invalid_request_error / c1 (p): transcription no"));
    EXPECT_EQ(link->state, LinkState::open);
    EXPECT_TRUE(sockets.last()->closeCalls.empty());
    EXPECT_EQ(sockets.last()->sent.size(), 1u);  // no reconfiguration once ready
}

TEST_F(OpenAILinkTest, SetupTimeoutAndEarlyCloseAreRetriedWithBackoff) {
    tuning.maxRetries = 2;
    auto link = make();
    CompletionLog done;
    link->connect(done.completion());
    // 1: no session.updated in time.
    sockets.last()->deliverOpen();
    scheduler->advance(10'000);
    EXPECT_EQ(sockets.last()->closeCalls, (std::vector<ScriptedSocket::CloseCall>{{1000, "setup fallito"}}));
    EXPECT_TRUE(logs.contains("connessione fallita (tentativo 1): timeout del collegamento a OpenAI"));
    // 2: closed by the server before ready.
    scheduler->advance(500);
    ASSERT_EQ(sockets.sockets.size(), 2u);
    sockets.last()->deliverClose(1008, "policy");
    EXPECT_TRUE(logs.contains("connessione fallita (tentativo 2): chiuso prima dell'avvio (codice 1008 policy)"));
    // 3: transport failure; the last error is reported.
    scheduler->advance(1000);
    ASSERT_EQ(sockets.sockets.size(), 3u);
    sockets.last()->deliverClose(1006);
    const std::string last = "chiuso prima dell'avvio (codice 1006: gettone rifiutato o rete assente)";
    ASSERT_EQ(done.calls(), 1);
    EXPECT_EQ(done.error(), Error(LinkError{last, std::nullopt, false}));
    EXPECT_EQ(rec.states.back(), std::make_pair(LinkState::error, std::optional<std::string>(last)));
    scheduler->advance(60'000);
    EXPECT_EQ(sockets.sockets.size(), 3u);
}

TEST_F(OpenAILinkTest, TokenProblemsDecideRetry) {
    struct Case {
        Result<Token> token;
        std::string message;
        int calls;
    };
    const double now = ManualScheduler().nowMs();
    const Case cases[] = {
        {Token{"", std::nullopt, Token::Kind::ephemeral}, "getToken() non ha restituito un gettone", 2},
        {Token{"t", now, Token::Kind::ephemeral}, "gettone già scaduto (controlla data e ora del computer)", 2},
        {tl::unexpected(Error{TokenError{"servizio occupato", 503, true}}), "servizio occupato", 2},
        {tl::unexpected(Error{TokenError{"accesso scaduto", 401, false}}), "accesso scaduto", 1},
    };
    for (const auto& c : cases) {
        scheduler = std::make_shared<ManualScheduler>();
        tuning.maxRetries = 1;
        tokens = FixedTokenSource{c.token};
        auto link = make();
        CompletionLog done;
        link->connect(done.completion());
        scheduler->advance(1000);
        EXPECT_EQ(*tokens.calls, c.calls) << c.message;
        ASSERT_EQ(done.calls(), 1) << c.message;
        EXPECT_EQ(errorMessage(*done.error()), c.message);
    }
    // An expired API key is still presented: only ephemeral tokens carry a meaningful expiry.
    scheduler = std::make_shared<ManualScheduler>();
    sockets = SocketRecorder{scheduler};
    tokens = FixedTokenSource{Token{"k", now - 1, Token::Kind::apiKey}};
    make()->connect(nullptr);
    EXPECT_EQ(sockets.sockets.size(), 1u);
}

TEST_F(OpenAILinkTest, ASecondAnswerOfTheTokenSourceIsIgnored) {
    auto link = make([](TokenCompletion completion) {
        completion(Token{"ek_first", std::nullopt, Token::Kind::ephemeral});
        completion(Token{"ek_second", std::nullopt, Token::Kind::ephemeral});
    });
    link->connect(nullptr);
    ASSERT_EQ(sockets.sockets.size(), 1u);
    EXPECT_EQ(sockets.last()->protocols.back(), "openai-insecure-api-key.ek_first");
}

TEST_F(OpenAILinkTest, CloseDuringAttemptClosesAtOnceAndCompletesWithoutError) {
    auto link = make();
    CompletionLog done;
    link->connect(done.completion());
    auto socket = sockets.last();
    socket->deliverOpen();
    link->close();
    EXPECT_EQ(socket->closeCalls, (std::vector<ScriptedSocket::CloseCall>{{1000, "setup fallito"}}));
    EXPECT_EQ(link->state, LinkState::closed);
    EXPECT_EQ(rec.states.back(), std::make_pair(LinkState::closed, std::optional<std::string>()));
    EXPECT_EQ(done.calls(), 0);
    scheduler->advance(600);  // at most one backoff delay
    EXPECT_EQ(done.calls(), 1);
    EXPECT_EQ(done.error(), std::nullopt);
    EXPECT_EQ(sockets.sockets.size(), 1u);
    EXPECT_EQ(rec.states.back().first, LinkState::closed);
}

TEST_F(OpenAILinkTest, ReconnectRightAfterCloseRunsOnlyTheNewAttempt) {
    auto link = make();
    CompletionLog first, second;
    link->connect(first.completion());
    link->close();
    link->connect(second.completion());
    ASSERT_EQ(sockets.sockets.size(), 2u);
    makeReady(sockets.last());
    EXPECT_EQ(second.calls(), 1);
    EXPECT_EQ(link->state, LinkState::open);
    scheduler->advance(60'000);  // the first series ends quietly, opening nothing more
    EXPECT_EQ(first.calls(), 1);
    EXPECT_EQ(first.error(), std::nullopt);
    EXPECT_EQ(sockets.sockets.size(), 2u);
    EXPECT_EQ(link->state, LinkState::open);
    EXPECT_TRUE(sockets.last()->closeCalls.empty());
}

TEST_F(OpenAILinkTest, CloseWhileOpenEndsEverySessionOnceAndReportsUsage) {
    tuning.renewAfterMs = 1000;
    tuning.silenceTailMs = 0;
    auto link = makeOpen();
    auto first = sockets.last();
    scheduler->advance(1000);  // renewal: the first drains
    auto second = sockets.last();
    makeReady(second);
    link->sendAudio(chunk(1));
    rec = {};
    link->close();
    for (const auto& s : {first, second}) {
        EXPECT_EQ(sentTypes(s).back(), "session.close");
        EXPECT_EQ(s->closeCalls, (std::vector<ScriptedSocket::CloseCall>{{1000, "fine"}}));
    }
    EXPECT_EQ(rec.usages, (std::vector<Usage>{link->usage()}));
    EXPECT_EQ(rec.states, (States{{LinkState::closed, std::nullopt}}));
    link->close();
    link->sendAudio(chunk(1));
    EXPECT_EQ(rec.usages.size(), 1u);
    EXPECT_EQ(rec.states.size(), 1u);
    scheduler->advance(100'000);
    EXPECT_EQ(sockets.sockets.size(), 2u);
}

TEST_F(OpenAILinkTest, LateReadinessAfterCloseIsIgnored) {
    auto link = make();
    link->connect(nullptr);
    auto socket = sockets.last();
    socket->deliverOpen();
    link->close();
    send(socket, {{"type", "session.updated"}});  // too late: the attempt was aborted
    EXPECT_EQ(link->state, LinkState::closed);
    EXPECT_EQ(socket->closeCalls.size(), 1u);
}

TEST_F(OpenAILinkTest, NoCredentialReachesLogsOrStateMessages) {
    const std::string secret = "ek_live1234567890";
    tokens = FixedTokenSource{Token{secret, std::nullopt, Token::Kind::ephemeral}};
    tuning.maxRetries = 2;
    auto link = make();
    CompletionLog done;
    link->connect(done.completion());
    // The server echoes the credential back in every way it can.
    send(sockets.last(), {{"type", "error"},
                          {"error", {{"message", "bad key " + secret + " Bearer " + secret}}}});
    scheduler->advance(500);
    sockets.last()->deliverClose(1006, "openai-insecure-api-key." + secret + ", realtime");
    scheduler->advance(1000);
    send(sockets.last(), {{"type", secret}});
    send(sockets.last(), {{"type", "error"},
                          {"error", {{"type", "authentication_error"},
                                     {"message", "Incorrect API key provided: sk-proj-abcdef1234"}}}});
    ASSERT_EQ(done.calls(), 1);
    ASSERT_TRUE(done.error());
    std::vector<std::string> texts = logs.texts();
    for (const auto& [state, message] : rec.states) {
        if (message) texts.push_back(*message);
    }
    texts.push_back(errorMessage(*done.error()));
    EXPECT_GT(texts.size(), 5u);
    for (const auto& text : texts) {
        EXPECT_EQ(text.find("live1234567890"), std::string::npos) << text;
        EXPECT_EQ(text.find("abcdef1234"), std::string::npos) << text;
    }
    EXPECT_EQ(errorMessage(*done.error()), "OpenAI ha rifiutato il collegamento: Incorrect API key provided: sk-***");
}

TEST_F(OpenAILinkTest, ACredentialEchoedBareIsHiddenToo) {
    // No pattern knows this credential; its exact value is hidden wherever it comes back.
    const std::string secret = "Zq8tRkP2mWx";
    tokens = FixedTokenSource{Token{secret, std::nullopt, Token::Kind::ephemeral}};
    tuning.maxRetries = 1;
    auto link = make();
    CompletionLog done;
    link->connect(done.completion());
    sockets.last()->deliverOpen();
    send(sockets.last(), {{"type", "evento-" + secret}});
    send(sockets.last(), {{"type", "error"}, {"error", {{"code", secret}, {"message", "chiave " + secret}}}});
    scheduler->advance(500);
    sockets.last()->deliverClose(1011, "ospite " + secret);
    ASSERT_EQ(done.calls(), 1);
    std::vector<std::string> texts = logs.texts();
    for (const auto& [state, message] : rec.states) {
        if (message) texts.push_back(*message);
    }
    texts.push_back(errorMessage(*done.error()));
    EXPECT_GE(texts.size(), 6u);
    for (const auto& text : texts) EXPECT_EQ(text.find(secret), std::string::npos) << text;
    EXPECT_EQ(errorMessage(*done.error()), "chiuso prima dell'avvio (codice 1011 ospite ***)");
    EXPECT_TRUE(logs.contains("OpenAI ha rifiutato il collegamento: chiave ***"));
}

TEST_F(OpenAILinkTest, QueueKeepsTheNewestChunksUpToItsCapacity) {
    struct Case {
        double maxQueueMs;
        std::int64_t capacity;
    };
    for (const auto c : {Case{10'000, 100}, Case{250, 3}, Case{40, 1}, Case{0, 1}}) {
        tuning.maxQueueMs = c.maxQueueMs;
        EXPECT_EQ(make()->maxQueueChunks(), c.capacity) << c.maxQueueMs;
    }
    tuning.maxQueueMs = 250;
    tuning.silenceTailMs = 0;
    auto link = make();
    link->connect(nullptr);
    for (std::int16_t v = 1; v <= 5; ++v) link->sendAudio(chunk(v, 160));
    EXPECT_EQ(link->droppedChunks(), 2);
    EXPECT_EQ(link->inputBytes, 0);
    makeReady(sockets.last());
    const auto sent = sentAudio(sockets.last());
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(link->inputBytes, 3 * 320);
    // Oldest first: the surviving chunks are 3, 4 and 5 (their tails, past the resampler's ramp).
    EXPECT_NEAR(sent[0].back(), 3, 1);
    EXPECT_NEAR(sent[2].back(), 5, 1);
}

TEST_F(OpenAILinkTest, UsageAtMostOncePerIntervalAndOnClose) {
    tuning.silenceTailMs = 0;
    auto link = makeOpen();
    for (int i = 0; i < 25; ++i) {
        link->sendAudio(chunk(0));
        scheduler->advance(100);
    }
    // Reports at 0, 1000 and 2000 ms.
    ASSERT_EQ(rec.usages.size(), 3u);
    EXPECT_DOUBLE_EQ(rec.usages[1].inputSeconds, 1.1);
    link->close();
    ASSERT_EQ(rec.usages.size(), 4u);
    EXPECT_EQ(rec.usages.back(), (Usage{2.5, 0}));
}

TEST_F(OpenAILinkTest, ALinkLetGoWithoutCloseClosesItsSockets) {
    // The sockets' callbacks hold their connections: a link dropped without `close`, ready or
    // still connecting, closes and detaches them so that none lives on.
    auto ready = makeOpen();
    const auto readySocket = sockets.last();
    auto connecting = make();
    CompletionLog done;
    connecting->connect(done.completion());
    const auto attemptSocket = sockets.last();
    ASSERT_NE(attemptSocket, readySocket);
    ready.reset();
    connecting.reset();
    for (const auto& socket : {readySocket, attemptSocket}) {
        EXPECT_EQ(socket->closeCalls, (std::vector<ScriptedSocket::CloseCall>{{1000, "fine"}}));
        EXPECT_FALSE(socket->onMessage);
        EXPECT_FALSE(socket->onClose);
    }
    EXPECT_EQ(done.calls(), 0);
}

}  // namespace
}  // namespace quendra::test
