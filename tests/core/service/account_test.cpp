#include "core/service/account.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace quendra {
namespace {

using nlohmann::json;
using Headers = std::map<std::string, std::string>;

// Records each request and answers it with the result the test set.
struct FakeFetch {
    std::vector<HTTPRequest> requests;
    Result<HTTPResponse> answer = HTTPResponse{200, "{}"};
    FetchFunction function() {
        return [this](const HTTPRequest& request, FetchCompletion completion) {
            requests.push_back(request);
            completion(answer);
        };
    }
};

constexpr const char* service = "https://svc.example/";

TokenError tokenError(const std::optional<Error>& error) {
    EXPECT_TRUE(error.has_value());
    if (!error) return {};
    EXPECT_TRUE(std::holds_alternative<TokenError>(*error));
    return std::holds_alternative<TokenError>(*error) ? std::get<TokenError>(*error) : TokenError{};
}

TEST(AccountClientTest, BuildsEachRequestAsTheServiceExpects) {
    FakeFetch fetch;
    fetch.answer = HTTPResponse{200, R"({"token":"s","email":"a@b.c"})"};
    AccountClient::requestCode(service, "  ada@example.org \n", fetch.function(), [](auto) {});
    AccountClient::verify(service, " ada@example.org ", "123 456", fetch.function(), [](auto) {});
    AccountClient::me(service, "sess", fetch.function(), [](auto) {});
    AccountClient::logout(service, "sess", fetch.function(), [](auto) {});
    ASSERT_EQ(fetch.requests.size(), 4u);

    const auto& code = fetch.requests[0];
    EXPECT_EQ(code.url, "https://svc.example/api/auth/request-code");
    EXPECT_EQ(code.method, "POST");
    EXPECT_EQ(code.headers, (Headers{{"Content-Type", "application/json"}, {"X-Client", "quendra-mac"}}));
    EXPECT_EQ(json::parse(code.body), (json{{"email", "ada@example.org"}}));

    const auto& verify = fetch.requests[1];
    EXPECT_EQ(verify.url, "https://svc.example/api/auth/verify");
    EXPECT_EQ(verify.method, "POST");
    EXPECT_EQ(verify.headers, (Headers{{"Content-Type", "application/json"}, {"X-Client", "quendra-mac"}}));
    EXPECT_EQ(json::parse(verify.body), (json{{"email", "ada@example.org"}, {"code", "123456"}, {"client", "app"}}));

    const auto& me = fetch.requests[2];
    EXPECT_EQ(me.url, "https://svc.example/api/me");
    EXPECT_EQ(me.method, "GET");
    EXPECT_EQ(me.headers, (Headers{{"Authorization", "Bearer sess"}, {"X-Client", "quendra-mac"}}));
    EXPECT_EQ(me.body, "");

    const auto& logout = fetch.requests[3];
    EXPECT_EQ(logout.url, "https://svc.example/api/auth/logout");
    EXPECT_EQ(logout.method, "POST");
    EXPECT_EQ(logout.headers, (Headers{{"Authorization", "Bearer sess"},
                                       {"Content-Type", "application/json"},
                                       {"X-Client", "quendra-mac"}}));
    EXPECT_EQ(logout.body, "{}");
}

TEST(AccountClientTest, RefusesBadInputWithoutARequest) {
    struct Case {
        std::string name, url, email, code, message;
    };
    const Case cases[] = {
        {"address without @", service, "ada.example.org", "", "Scrivi un indirizzo email valido."},
        {"address of blanks", service, " \t\n", "", "Scrivi un indirizzo email valido."},
        {"five digits", service, "a@b", "12345", "Il codice è di 6 cifre."},
        {"seven digits", service, "a@b", "1234567", "Il codice è di 6 cifre."},
        {"five digits and a letter", service, "a@b", "12345a", "Il codice è di 6 cifre."},
        {"Arabic-Indic digits", service, "a@b", "١٢٣٤٥٦", "Il codice è di 6 cifre."},
        {"bad code before empty address", "", "a@b", "12", "Il codice è di 6 cifre."},
        {"empty service address", "", "a@b", "123456", "Manca l'indirizzo del servizio nelle Impostazioni."},
        {"plain http service", "http://svc", "a@b", "123456", "L'indirizzo del servizio deve iniziare con https://"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeFetch fetch;
        std::optional<Error> error;
        int calls = 0;
        if (c.code.empty()) {
            AccountClient::requestCode(c.url, c.email, fetch.function(), [&](std::optional<Error> e) {
                ++calls;
                error = e;
            });
        } else {
            AccountClient::verify(c.url, c.email, c.code, fetch.function(), [&](Result<AccountClient::Session> r) {
                ++calls;
                if (!r) error = r.error();
            });
        }
        EXPECT_EQ(calls, 1);
        EXPECT_TRUE(fetch.requests.empty());
        EXPECT_EQ(tokenError(error), (TokenError{c.message, std::nullopt, false}));
    }
}

TEST(AccountClientTest, AcceptsTheLoosestAddressAndCodesWithAnySpacing) {
    FakeFetch fetch;
    std::optional<Error> error{Error{TokenError{}}};
    AccountClient::requestCode(service, "@", fetch.function(), [&](std::optional<Error> e) { error = e; });
    EXPECT_FALSE(error.has_value());
    ASSERT_EQ(fetch.requests.size(), 1u);
    EXPECT_EQ(json::parse(fetch.requests[0].body), (json{{"email", "@"}}));

    fetch.answer = HTTPResponse{200, R"({"token":"t"})"};
    // Tab, no-break space and a line break inside the code are all dropped.
    AccountClient::verify(service, "a@b", "1\t2\xC2\xA0" "34\n56", fetch.function(), [](auto) {});
    ASSERT_EQ(fetch.requests.size(), 2u);
    EXPECT_EQ(json::parse(fetch.requests[1].body)["code"], "123456");
}

TEST(AccountClientTest, MapsAnswersToResultsAndErrors) {
    struct Case {
        std::string name;
        Result<HTTPResponse> answer;
        std::optional<TokenError> error;  // none: success
    };
    const auto transport = Result<HTTPResponse>(tl::unexpected(Error{LinkError{"Connection refused", std::nullopt, false}}));
    const Case cases[] = {
        {"2xx object", HTTPResponse{201, R"({"ignored":1})"}, std::nullopt},
        {"204 without body", HTTPResponse{204, ""}, TokenError{"Il servizio ha risposto con errore 204.", 204, false}},
        {"200 with an array", HTTPResponse{200, "[1]"}, TokenError{"Il servizio ha risposto con errore 200.", 200, false}},
        {"503 without body", HTTPResponse{503, ""}, TokenError{"Il servizio ha risposto con errore 503.", 503, true}},
        {"500 with error text", HTTPResponse{500, R"({"error":"guasto"})"}, TokenError{"guasto", 500, true}},
        {"400 with error text", HTTPResponse{400, R"({"error":"no"})"}, TokenError{"no", 400, false}},
        {"400 with a terminal escape and a line break", HTTPResponse{400, "{\"error\":\"\\u001b[31mno\\nsi\"}"},
         TokenError{"[31mno si", 400, false}},
        {"2xx object cut by a NUL", HTTPResponse{200, std::string("{\"a\":1}\0x", 9)},
         TokenError{"Il servizio ha risposto con errore 200.", 200, false}},
        {"400 with non-text error", HTTPResponse{400, R"({"error":5})"},
         TokenError{"Il servizio ha risposto con errore 400.", 400, false}},
        {"401 whatever the body", HTTPResponse{401, R"({"error":"x"})"},
         TokenError{"Sessione scaduta: accedi di nuovo.", 401, false}},
        {"transport failure", transport, TokenError{"Servizio non raggiungibile: Connection refused", std::nullopt, true}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeFetch fetch;
        fetch.answer = c.answer;
        std::vector<std::optional<Error>> results;
        AccountClient::requestCode(service, "a@b", fetch.function(), [&](auto e) { results.push_back(e); });
        AccountClient::logout(service, "s", fetch.function(), [&](auto e) { results.push_back(e); });
        ASSERT_EQ(results.size(), 2u);
        for (const auto& result : results) {
            if (c.error) {
                EXPECT_EQ(tokenError(result), *c.error);
            } else {
                EXPECT_FALSE(result.has_value());
            }
        }
    }
}

TEST(AccountClientTest, VerifyReadsTheSession) {
    struct Case {
        std::string name;
        HTTPResponse answer;
        std::optional<AccountClient::Session> session;
        std::optional<TokenError> error;
    };
    const Case cases[] = {
        {"token and email", {200, R"({"token":"t1","email":"svc@x"})"}, AccountClient::Session{"t1", "svc@x"}, {}},
        {"no email keeps the typed address", {200, R"({"token":"t1"})"}, AccountClient::Session{"t1", " Ada@X "}, {}},
        {"empty token", {200, R"({"token":""})"}, {}, TokenError{"Il servizio non ha restituito la sessione.", std::nullopt, false}},
        {"token not text", {200, R"({"token":7})"}, {}, TokenError{"Il servizio non ha restituito la sessione.", std::nullopt, false}},
        {"wrong code: the service's text", {401, R"({"error":"Codice errato"})"}, {}, TokenError{"Codice errato", 401, false}},
        {"401 without text", {401, ""}, {}, TokenError{"Il servizio ha risposto con errore 401.", 401, false}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeFetch fetch;
        fetch.answer = c.answer;
        std::optional<Result<AccountClient::Session>> got;
        AccountClient::verify(service, " Ada@X ", "123456", fetch.function(), [&](auto r) { got = r; });
        ASSERT_TRUE(got.has_value());
        if (c.session) {
            ASSERT_TRUE(got->has_value());
            EXPECT_EQ(**got, *c.session);
        } else {
            ASSERT_FALSE(got->has_value());
            EXPECT_EQ(tokenError(got->error()), *c.error);
        }
    }
}

TEST(AccountClientTest, MeReadsTheAccount) {
    struct Case {
        std::string name;
        HTTPResponse answer;
        std::optional<Account> account;
        std::optional<TokenError> error;
    };
    const Case cases[] = {
        {"keys whose values are objects", {200, R"({"email":"a@b","plan":"pro","keys":{"gemini":{},"openai":true}})"},
         Account{"a@b", "pro", {"gemini"}}, {}},
        {"no plan, keys not an object", {200, R"({"email":"a@b","keys":["gemini"]})"}, Account{"a@b", "free", {}}, {}},
        {"plan not text", {200, R"({"email":"a@b","plan":3})"}, Account{"a@b", "free", {}}, {}},
        {"email missing", {200, R"({"plan":"pro"})"}, {}, TokenError{"Risposta del servizio non valida.", std::nullopt, true}},
        {"expired session", {401, R"({"error":"x"})"}, {}, TokenError{"Sessione scaduta: accedi di nuovo.", 401, false}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeFetch fetch;
        fetch.answer = c.answer;
        std::optional<Result<Account>> got;
        AccountClient::me(service, "s", fetch.function(), [&](auto r) { got = r; });
        ASSERT_TRUE(got.has_value());
        if (c.account) {
            ASSERT_TRUE(got->has_value());
            EXPECT_EQ(**got, *c.account);
        } else {
            ASSERT_FALSE(got->has_value());
            EXPECT_EQ(tokenError(got->error()), *c.error);
        }
    }
}

TEST(AccountClientTest, IsUnauthorizedOnlyForA401TokenError) {
    EXPECT_TRUE(AccountClient::isUnauthorized(Error{TokenError{"x", 401, false}}));
    EXPECT_FALSE(AccountClient::isUnauthorized(Error{TokenError{"x", 403, false}}));
    EXPECT_FALSE(AccountClient::isUnauthorized(Error{TokenError{"x", std::nullopt, false}}));
    EXPECT_FALSE(AccountClient::isUnauthorized(Error{LinkError{"x", std::nullopt, false}}));
}

}  // namespace
}  // namespace quendra
