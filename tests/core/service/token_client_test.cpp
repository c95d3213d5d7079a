#include "core/service/token_client.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace quendra {
namespace {

using nlohmann::json;

TEST(TokenClientBaseTest, NormalisesOrRefusesTheServiceAddress) {
    struct Case {
        std::string input;
        std::optional<std::string> base;
        std::string message;
    };
    const Case cases[] = {
        {" \n HTTPS://Example.com/Api/// \t", "HTTPS://Example.com/Api", ""},
        {"https://x.org", "https://x.org", ""},
        // Pasted from a web page: a no-break space before, a line separator after the slash.
        {"\xC2\xA0https://x.org/\xE2\x80\xA8", "https://x.org", ""},
        {"\xE3\x80\x80", std::nullopt, "Manca l'indirizzo del servizio nelle Impostazioni."},
        {"http://x.org", std::nullopt, "L'indirizzo del servizio deve iniziare con https://"},
        {"ftp://x.org", std::nullopt, "L'indirizzo del servizio deve iniziare con https://"},
        {"   ", std::nullopt, "Manca l'indirizzo del servizio nelle Impostazioni."},
        {"", std::nullopt, "Manca l'indirizzo del servizio nelle Impostazioni."},
    };
    for (const auto& c : cases) {
        auto got = TokenClient::base(c.input);
        if (c.base) {
            ASSERT_TRUE(got.has_value()) << c.input;
            EXPECT_EQ(*got, *c.base);
        } else {
            ASSERT_FALSE(got.has_value()) << c.input;
            EXPECT_EQ(got.error(), (TokenError{c.message, std::nullopt, false}));
        }
    }
}

TEST(TokenClientGetTokenTest, BuildsTheRequestAndMapsTransportFailures) {
    std::vector<HTTPRequest> requests;
    FetchCompletion pending;
    FetchFunction fetch = [&](const HTTPRequest& r, FetchCompletion c) {
        requests.push_back(r);
        pending = std::move(c);
    };
    std::optional<Result<Token>> got;
    TokenClient::getToken("https://svc.example/", "sess", "gemini", fetch,
                          [&](Result<Token> r) { got = std::move(r); });
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].url, "https://svc.example/api/token/gemini");
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].body, "{}");
    EXPECT_EQ(requests[0].headers, (std::map<std::string, std::string>{
                                       {"Authorization", "Bearer sess"},
                                       {"Content-Type", "application/json"},
                                       {"X-Client", "quendra-mac"}}));
    pending(tl::unexpected(Error{LinkError{"connessione rifiutata", std::nullopt, false}}));
    ASSERT_TRUE(got.has_value());
    ASSERT_FALSE(got->has_value());
    EXPECT_EQ(got->error(),
              Error(TokenError{"Servizio non raggiungibile: connessione rifiutata", std::nullopt, true}));

    pending = nullptr;
    TokenClient::getToken("https://svc.example", "sess", "openai", fetch, [&](Result<Token> r) { got = r; });
    pending(HTTPResponse{200, R"({"token":"ek_1","expiresAt":1767225600})"});
    ASSERT_TRUE(got->has_value());
    EXPECT_EQ(**got, (Token{"ek_1", 1767225600000.0, Token::Kind::ephemeral}));
}

TEST(TokenClientGetTokenTest, AddressCheckComesBeforeTheLoginCheckAndNeitherFetches) {
    int fetches = 0;
    FetchFunction fetch = [&](const HTTPRequest&, FetchCompletion) { ++fetches; };
    std::optional<Result<Token>> got;
    TokenClient::getToken("http://bad", "", "gemini", fetch, [&](Result<Token> r) { got = r; });
    EXPECT_EQ(errorMessage(got->error()), "L'indirizzo del servizio deve iniziare con https://");
    TokenClient::getToken("https://ok", "", "gemini", fetch, [&](Result<Token> r) { got = r; });
    EXPECT_EQ(got->error(), Error(TokenError{"Accedi al tuo account Ombrix per usare questo modello.",
                                             std::nullopt, false}));
    EXPECT_EQ(fetches, 0);
}

TEST(TokenClientParseTest, StatusTable) {
    struct Case {
        std::int64_t status;
        std::string body;
        std::string message;
        std::optional<std::int64_t> errorStatus;
        bool retryable;
    };
    const std::string notFound =
        "Il servizio non conosce questo indirizzo (errore 404): controlla l'indirizzo del servizio "
        "nelle Impostazioni.";
    const Case cases[] = {
        {401, R"({"error":"whatever"})", "Sessione scaduta: accedi di nuovo.", 401, false},
        {404, "", notFound, 404, false},
        {409, R"({"error":"Chiave mancante per gemini"})", "Chiave mancante per gemini", 409, false},
        {409, "", "Manca la tua chiave per questo modello: aggiungila su https://account.ombrix.app.", 409,
         false},
        {429, "", "Troppe richieste di gettoni: riprovo tra poco.", 429, true},
        {500, R"({"error":"Provider NON CONFIGURATO"})", "Servizio non configurato (errore 500).", 500, false},
        {500, R"({"error":"boom"})", "boom", 500, true},
        {500, "", "Il servizio ha risposto con errore 500.", 500, true},
        {502, "", "Il servizio ha risposto con errore 502.", 502, true},
        {403, "", "Il servizio ha risposto con errore 403.", 403, false},
        {403, R"(["error"])", "Il servizio ha risposto con errore 403.", 403, false},
        {0, "", "Il servizio ha risposto con errore 0.", 0, false},
        {200, "not json", "Risposta del servizio non valida.", std::nullopt, true},
        {200, "", "Risposta del servizio non valida.", std::nullopt, true},
        {200, R"("token")", "Risposta del servizio non valida.", std::nullopt, true},
        {201, R"({"token":""})", "Il servizio non ha restituito un gettone.", std::nullopt, false},
        {200, R"({"token":42})", "Il servizio non ha restituito un gettone.", std::nullopt, false},
        {299, R"({})", "Il servizio non ha restituito un gettone.", std::nullopt, false},
        {200, std::string("{\"token\":\"abc\"}\0garbage", 23), "Risposta del servizio non valida.",
         std::nullopt, true},
        // The service's words reach a terminal: no escapes, no line breaks, a bounded length.
        {500, "{\"error\":\"\\u001b[2Jguasto\\r\\nriga\"}", "[2Jguasto  riga", 500, true},
        {409, R"({"error":")" + std::string(5000, 'x') + R"("})", std::string(297, 'x') + "\xE2\x80\xA6", 409,
         false},
    };
    for (const auto& c : cases) {
        auto got = TokenClient::parse(HTTPResponse{c.status, c.body}, "gemini");
        ASSERT_FALSE(got.has_value()) << c.status << " " << c.body;
        EXPECT_EQ(got.error(), (TokenError{c.message, c.errorStatus, c.retryable})) << c.status << " " << c.body;
    }
}

TEST(TokenClientParseTest, SuccessCarriesTokenAndExpiry) {
    auto got = TokenClient::parse(HTTPResponse{200, R"({"token":"t","expiresAt":"2026-01-01T00:00:00Z"})"}, "x");
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(*got, (Token{"t", 1767225600000.0, Token::Kind::ephemeral}));
    got = TokenClient::parse(HTTPResponse{200, R"({"token":"t"})"}, "x");
    EXPECT_EQ(got->expiresAtMs, std::nullopt);
}

TEST(TokenClientExpiryTest, NumbersAndDateTexts) {
    struct Case {
        json value;
        std::optional<double> ms;
    };
    const Case cases[] = {
        {1767225600, 1767225600000.0},
        {1767225600000.0, 1767225600000.0},
        {1767225600.5, 1767225600500.0},
        {"2026-01-01T00:00:00Z", 1767225600000.0},
        {"2026-01-01T00:00:00.250Z", 1767225600250.0},
        {"2026-01-01T00:00:00.2Z", 1767225600200.0},
        {"2026-01-01T00:00:00.250000000Z", 1767225600250.0},
        {"2026-01-01T01:30:00+01:30", 1767225600000.0},
        {"2025-12-31T23:00:00-01:00", 1767225600000.0},
        {"2024-02-29T00:00:00Z", 1709164800000.0},
        {"1970-01-01T00:00:00Z", 0.0},
        {"2023-02-29T00:00:00Z", std::nullopt},
        {"2026-01-01 00:00:00Z", std::nullopt},
        {"2026-01-01T00:00:00", std::nullopt},
        {"2026-01-01T00:00:00.Z", std::nullopt},
        {"2026-01-01T24:00:00Z", std::nullopt},
        {"2026-01-01T00:00:00+0100", std::nullopt},
        {"2026-01-01T00:00:00Zjunk", std::nullopt},
        {"2026-13-01T00:00:00Z", std::nullopt},
        {"", std::nullopt},
        {"domani", std::nullopt},
        {nullptr, std::nullopt},
        {true, std::nullopt},
        {json::array({1}), std::nullopt},
        {json::object(), std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TokenClient::expiresAtMs(&c.value), c.ms) << c.value.dump();
    }
    EXPECT_EQ(TokenClient::expiresAtMs(nullptr), std::nullopt);
}

}  // namespace
}  // namespace quendra
