// httpFetch and the account client against the Node account peer over TLS from the test CA.
#include "platform/net/http_fetch.h"

#include <atomic>

#include <boost/asio/ip/tcp.hpp>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/service/account.h"
#include "core/service/token_client.h"
#include "net_fixture.h"
#include "support/results.h"

namespace quendra {
namespace {

using test::failedContaining;
using test::succeeded;

using nlohmann::json;
using test::onCore;

struct Outcome {
    std::optional<Result<HTTPResponse>> result;
    bool onQueue = false;
};

class HttpFetchTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { test::processCa(); }

    void SetUp() override {
        account = test::startPeer("account/server.js",
                                  {"--cert", test::processCa().serverCert, "--key", test::processCa().serverKey});
        ASSERT_TRUE(account);
    }

    std::string base(const std::string& host = "127.0.0.1") const {
        return "https://" + host + ":" + std::to_string(account->port());
    }

    // Runs one fetch and waits for its completion.
    Outcome fetch(const HTTPRequest& request, NetTuning tuning = {}) {
        auto outcome = std::make_shared<test::Shared<Outcome>>();
        auto function = makeFetch(*queue, std::move(tuning));
        auto* q = queue.get();
        function(request, [outcome, q](Result<HTTPResponse> result) {
            outcome->update([&](Outcome& o) {
                o.result = std::move(result);
                o.onQueue = q->isCurrent();
            });
        });
        EXPECT_TRUE(outcome->waitUntil([](const Outcome& o) { return o.result.has_value(); }));
        return outcome->get();
    }

    void script(const json& rule) {
        auto outcome = fetch({base() + "/__control/respond", "POST", {}, rule.dump()});
        ASSERT_TRUE(outcome.result && outcome.result->has_value());
        ASSERT_EQ((*outcome.result)->status, 200);
    }

    json received() {
        auto outcome = fetch({base() + "/__control/requests", "GET", {}, ""});
        return json::parse((*outcome.result)->body);
    }

    std::unique_ptr<CoreQueue> queue = std::make_unique<CoreQueue>();
    std::unique_ptr<test::PeerProcess> account;
};

TEST_F(HttpFetchTest, SendsMethodHeadersAndBodyUnchanged) {
    HTTPRequest request{base("localhost") + "/api/auth/request-code?x=1", "POST",
                        {{"X-Client", "quendra-mac"}, {"Content-Type", "application/json"}, {"X-Trace", "a b"}},
                        R"({"email":"è@example.org"})"};
    auto outcome = fetch(request);
    ASSERT_TRUE(succeeded(*outcome.result));
    EXPECT_TRUE(outcome.onQueue);
    EXPECT_EQ((*outcome.result)->status, 200);
    EXPECT_EQ(json::parse((*outcome.result)->body), (json{{"ok", true}}));
    const auto seen = received().back();
    EXPECT_EQ(seen["method"], "POST");
    EXPECT_EQ(seen["path"], "/api/auth/request-code");
    EXPECT_EQ(seen["body"], R"({"email":"è@example.org"})");
    EXPECT_EQ(seen["headers"]["x-client"], "quendra-mac");
    EXPECT_EQ(seen["headers"]["content-type"], "application/json");
    EXPECT_EQ(seen["headers"]["x-trace"], "a b");
    EXPECT_EQ(seen["headers"]["host"], "localhost:" + std::to_string(account->port()));
}

TEST_F(HttpFetchTest, EveryStatusIsAnAnswer) {
    struct Case {
        int status;
        std::string body;
    };
    const Case cases[] = {{404, "nope"}, {503, ""}, {401, R"({"error":"x"})"}, {204, ""}, {302, "moved"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        script({{"path", "/api/me"}, {"status", c.status}, {"body", c.body}});
        auto outcome = fetch({base() + "/api/me", "GET", {{"X-Client", "quendra-mac"}}, ""});
        ASSERT_TRUE(succeeded(*outcome.result));
        EXPECT_EQ(**outcome.result, (HTTPResponse{c.status, c.body}));
        EXPECT_TRUE(outcome.onQueue);
    }
}

TEST_F(HttpFetchTest, TransportFailuresAreLinkErrorsWithTheErrorText) {
    NetTuning quick;
    quick.httpTimeoutMs = 300;
    script({{"path", "/api/me"}, {"hang", true}});
    auto timedOut = fetch({base() + "/api/me", "GET", {}, ""}, quick);
    ASSERT_FALSE(timedOut.result->has_value());
    EXPECT_TRUE(timedOut.onQueue);
    const auto& timeout = std::get<LinkError>(timedOut.result->error());
    EXPECT_NE(timeout.message.find("timeout"), std::string::npos) << timeout.message;
    EXPECT_EQ(timeout.retryable, std::nullopt);
    EXPECT_FALSE(timeout.setupRejected);

    script({{"path", "/api/me"}, {"drop", true}});
    auto dropped = fetch({base() + "/api/me", "GET", {}, ""});
    ASSERT_FALSE(dropped.result->has_value());
    EXPECT_FALSE(errorMessage(dropped.result->error()).empty());

    auto rogue = test::startPeer("account/server.js", {"--cert", test::processCa().untrustedCert, "--key",
                                                       test::processCa().untrustedKey});
    ASSERT_TRUE(rogue);
    auto untrusted = fetch({"https://localhost:" + std::to_string(rogue->port()) + "/api/me", "GET", {}, ""});
    EXPECT_TRUE(failedContaining(*untrusted.result, "certificate verify failed"));

    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor free(io, {boost::asio::ip::make_address("127.0.0.1"), 0});
    const auto port = free.local_endpoint().port();
    free.close();
    auto refused = fetch({"https://127.0.0.1:" + std::to_string(port) + "/", "GET", {}, ""});
    ASSERT_FALSE(refused.result->has_value());
    EXPECT_FALSE(errorMessage(refused.result->error()).empty());
}

TEST_F(HttpFetchTest, AnUnusableUrlFailsAtOnce) {
    auto function = makeFetch(*queue);
    for (const std::string url : {"", "not a url", "ftp://host/", "https://", "wss://host/", "https://host:0/"}) {
        SCOPED_TRACE(url);
        std::optional<Result<HTTPResponse>> got;
        function({url, "GET", {}, ""}, [&](Result<HTTPResponse> r) { got = std::move(r); });
        ASSERT_TRUE(got.has_value());  // before returning, on this thread
        ASSERT_FALSE(got->has_value());
        EXPECT_EQ(got->error(), Error(LinkError{"indirizzo non valido", std::nullopt, false}));
    }
}

TEST_F(HttpFetchTest, AHeaderThatWouldChangeTheRequestFailsAtOnce) {
    auto function = makeFetch(*queue);
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"X-Token", "abc\r\nX-Injected: 1"}, {"X-Token", "abc\n"}, {"X-Token", std::string("a\0b", 3)},
        {"X-Token", "a\x1b[31m"}, {"X Token", "a"}, {"", "a"}};
    for (const auto& header : bad) {
        SCOPED_TRACE(testing::PrintToString(header));
        std::optional<Result<HTTPResponse>> got;
        function({base() + "/api/me", "GET", {header}, ""}, [&](Result<HTTPResponse> r) { got = std::move(r); });
        ASSERT_TRUE(got.has_value());
        ASSERT_FALSE(got->has_value());
        EXPECT_EQ(got->error(), Error(LinkError{"richiesta non valida", std::nullopt, false}));
    }
    // A tab and text beyond ASCII are ordinary header content.
    auto outcome = fetch({base() + "/api/me", "GET", {{"X-Client", "quendra-mac"}, {"X-Note", "a\tb è"}}, ""});
    ASSERT_TRUE(succeeded(*outcome.result));
}

TEST_F(HttpFetchTest, TheFetchFunctionMayOutliveTheQueue) {
    auto function = makeFetch(*queue);
    auto completions = std::make_shared<std::atomic<int>>(0);
    // One request pending in the queue's context when it goes (held behind a task that waits for
    // the stop), one made afterwards.
    auto* context = &queue->context();
    queue->post([context] {
        const auto until = std::chrono::steady_clock::now() + test::waitLimit;
        while (!context->stopped() && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    function({base() + "/api/me", "GET", {}, ""}, [completions](Result<HTTPResponse>) { ++*completions; });
    queue.reset();
    function({base() + "/api/me", "GET", {}, ""}, [completions](Result<HTTPResponse>) { ++*completions; });
    function = nullptr;
    EXPECT_EQ(*completions, 0);
}

TEST_F(HttpFetchTest, PlainHttpWorks) {
    auto plain = test::startPeer("account/server.js", {"--plain"});
    ASSERT_TRUE(plain);
    auto outcome = fetch({"http://127.0.0.1:" + std::to_string(plain->port()) + "/api/me", "GET",
                          {{"X-Client", "quendra-mac"}}, ""});
    ASSERT_TRUE(succeeded(*outcome.result));
    EXPECT_EQ((*outcome.result)->status, 401);
}

TEST_F(HttpFetchTest, ConnectToReachesAProviderHostOnLoopbackVerifyingItsName) {
    NetTuning tuning;
    tuning.connectTo = parseConnectTo("api.openai.com:443:127.0.0.1:" + std::to_string(account->port()));
    ASSERT_TRUE(tuning.connectTo);
    auto outcome = fetch({"https://api.openai.com/api/me", "GET", {{"X-Client", "quendra-mac"}}, ""}, tuning);
    ASSERT_TRUE(succeeded(*outcome.result));
    EXPECT_EQ((*outcome.result)->status, 401);
    EXPECT_EQ(received().back()["headers"]["host"], "api.openai.com");
}

// The whole login flow of the application through the real adapter: every completion on the queue.
TEST_F(HttpFetchTest, AccountFlowAgainstTheService) {
    const std::string service = base() + "/";
    auto fetchFunction = makeFetch(*queue);
    auto* q = queue.get();
    struct Flow {
        int step = 0;
        bool offQueue = false;
        std::optional<Error> codeError;
        std::optional<Result<AccountClient::Session>> session;
        std::optional<Result<Account>> account;
        std::optional<Result<Token>> token;
        std::optional<Error> logoutError;
        std::optional<Result<Account>> afterLogout;
    };
    auto flow = std::make_shared<test::Shared<Flow>>();
    auto waitStep = [&](int n) { return flow->waitUntil([n](const Flow& f) { return f.step >= n; }); };

    AccountClient::requestCode(service, " ada@example.org ", fetchFunction, [=](std::optional<Error> e) {
        flow->update([&](Flow& f) { f.codeError = e; f.offQueue |= !q->isCurrent(); ++f.step; });
    });
    ASSERT_TRUE(waitStep(1));
    EXPECT_FALSE(flow->get().codeError.has_value());

    AccountClient::verify(service, "Ada@Example.org", "123 456", fetchFunction, [=](auto r) {
        flow->update([&](Flow& f) { f.session = r; f.offQueue |= !q->isCurrent(); ++f.step; });
    });
    ASSERT_TRUE(waitStep(2));
    ASSERT_TRUE(flow->get().session->has_value());
    const auto session = **flow->get().session;
    EXPECT_EQ(session.email, "ada@example.org");

    AccountClient::me(service, session.token, fetchFunction, [=](auto r) {
        flow->update([&](Flow& f) { f.account = r; f.offQueue |= !q->isCurrent(); ++f.step; });
    });
    ASSERT_TRUE(waitStep(3));
    ASSERT_TRUE(flow->get().account->has_value());
    EXPECT_EQ(**flow->get().account, (Account{"ada@example.org", "pro", {"gemini", "openai"}}));

    TokenClient::getToken(service, session.token, "gemini", fetchFunction, [=](Result<Token> r) {
        flow->update([&](Flow& f) { f.token = r; f.offQueue |= !q->isCurrent(); ++f.step; });
    });
    ASSERT_TRUE(waitStep(4));
    ASSERT_TRUE(succeeded(*flow->get().token));
    EXPECT_EQ((*flow->get().token)->token.rfind("eph-gemini-", 0), 0u);
    EXPECT_TRUE((*flow->get().token)->expiresAtMs.has_value());

    AccountClient::logout(service, session.token, fetchFunction, [=](std::optional<Error> e) {
        flow->update([&](Flow& f) { f.logoutError = e; f.offQueue |= !q->isCurrent(); ++f.step; });
    });
    ASSERT_TRUE(waitStep(5));
    EXPECT_FALSE(flow->get().logoutError.has_value());

    AccountClient::me(service, session.token, fetchFunction, [=](auto r) {
        flow->update([&](Flow& f) { f.afterLogout = r; f.offQueue |= !q->isCurrent(); ++f.step; });
    });
    ASSERT_TRUE(waitStep(6));
    ASSERT_FALSE(flow->get().afterLogout->has_value());
    EXPECT_TRUE(AccountClient::isUnauthorized(flow->get().afterLogout->error()));
    EXPECT_FALSE(flow->get().offQueue);

    // A wrong code shows the service's own text.
    AccountClient::verify(service, "ada@example.org", "000000", fetchFunction, [=](auto r) {
        flow->update([&](Flow& f) { f.session = r; ++f.step; });
    });
    ASSERT_TRUE(waitStep(7));
    ASSERT_FALSE(flow->get().session->has_value());
    EXPECT_EQ(flow->get().session->error(), Error(TokenError{"Codice non valido o scaduto.", 401, false}));
}

}  // namespace
}  // namespace quendra
