#include "core/service/token_client.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdint>

#include <nlohmann/json.hpp>

#include "core/base/json_text.h"
#include "core/base/text.h"

namespace quendra::TokenClient {

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

unsigned daysInMonth(std::int64_t y, unsigned m) {
    static constexpr std::array<unsigned, 12> days = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return m == 2 && leap ? 29 : days[m - 1];
}

// Reads exactly `count` decimal digits at `pos`.
std::optional<unsigned> digits(std::string_view text, size_t& pos, size_t count) {
    if (pos + count > text.size()) return std::nullopt;
    unsigned value = 0;
    for (size_t i = 0; i < count; ++i) {
        const char c = text[pos + i];
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    pos += count;
    return value;
}

bool expect(std::string_view text, size_t& pos, char c) {
    if (pos >= text.size() || text[pos] != c) return false;
    ++pos;
    return true;
}

TokenError failure(std::string message, std::optional<std::int64_t> status, bool retryable) {
    return TokenError{std::move(message), status, retryable};
}

// The `error` text of an answer, in the service's own words made safe for a terminal and a label.
std::optional<std::string> serviceText(const nlohmann::json& body) {
    const nlohmann::json* text = jsonMember(body, "error");
    if (!text || !text->is_string()) return std::nullopt;
    return printableText(text->get_ref<const std::string&>());
}

}  // namespace

TokenError answerError(std::int64_t status, const nlohmann::json& body) {
    return failure(serviceText(body).value_or("Il servizio ha risposto con errore " + std::to_string(status) + "."),
                   status, status >= 500);
}

tl::expected<std::string, TokenError> base(std::string_view serviceUrl) {
    serviceUrl = trimWhitespace(serviceUrl);
    if (serviceUrl.empty()) {
        return tl::unexpected(failure("Manca l'indirizzo del servizio nelle Impostazioni.", std::nullopt, false));
    }
    if (lowercaseAscii(serviceUrl.substr(0, 8)) != "https://") {
        return tl::unexpected(
            failure("L'indirizzo del servizio deve iniziare con https://", std::nullopt, false));
    }
    while (!serviceUrl.empty() && serviceUrl.back() == '/') serviceUrl.remove_suffix(1);
    return std::string(serviceUrl);
}

void getToken(std::string_view serviceUrl, const std::string& sessionToken,
              const std::string& provider, const FetchFunction& fetch, TokenCompletion completion) {
    auto root = base(serviceUrl);
    if (!root) {
        completion(tl::unexpected(Error{root.error()}));
        return;
    }
    if (sessionToken.empty()) {
        completion(tl::unexpected(Error{
            failure("Accedi al tuo account Ombrix per usare questo modello.", std::nullopt, false)}));
        return;
    }
    HTTPRequest request;
    request.url = *root + "/api/token/" + provider;
    request.method = "POST";
    request.headers = {{"Authorization", "Bearer " + sessionToken},
                       {"Content-Type", "application/json"},
                       {clientHeader, clientName}};
    request.body = "{}";
    fetch(request, [provider, completion = std::move(completion)](const Result<HTTPResponse>& result) {
        if (!result) {
            completion(tl::unexpected(Error{failure(
                "Servizio non raggiungibile: " + errorMessage(result.error()), std::nullopt, true)}));
            return;
        }
        auto token = parse(*result, provider);
        if (token) {
            completion(*token);
        } else {
            completion(tl::unexpected(Error{token.error()}));
        }
    });
}

void getToken(const Settings& settings, const std::string& provider, const FetchFunction& fetch,
              TokenCompletion completion) {
    getToken(settings.serviceUrl, settings.sessionToken, provider, fetch, std::move(completion));
}

tl::expected<Token, TokenError> parse(const HTTPResponse& response, const std::string&) {
    nlohmann::json object = parseJson(response.body);
    const bool isObject = object.is_object();
    const std::optional<std::string> errorText = serviceText(object);
    const std::int64_t status = response.status;
    switch (status) {
        case 401:
            return tl::unexpected(failure("Sessione scaduta: accedi di nuovo.", 401, false));
        case 404:
            return tl::unexpected(failure(
                "Il servizio non conosce questo indirizzo (errore 404): controlla l'indirizzo del "
                "servizio nelle Impostazioni.",
                404, false));
        case 409:
            return tl::unexpected(failure(
                errorText.value_or(std::string("Manca la tua chiave per questo modello: aggiungila su ") +
                                   serviceWebAddress + "."),
                409, false));
        case 429:
            return tl::unexpected(failure("Troppe richieste di gettoni: riprovo tra poco.", 429, true));
        default:
            break;
    }
    if (status == 500 && errorText && lowercaseAscii(*errorText).find("non configurato") != std::string::npos) {
        return tl::unexpected(failure("Servizio non configurato (errore 500).", 500, false));
    }
    if (status < 200 || status > 299) return tl::unexpected(answerError(status, object));
    if (!isObject) return tl::unexpected(failure("Risposta del servizio non valida.", std::nullopt, true));
    const auto token = object.find("token");
    if (token == object.end() || !token->is_string() || token->get_ref<const std::string&>().empty()) {
        return tl::unexpected(failure("Il servizio non ha restituito un gettone.", std::nullopt, false));
    }
    const auto expiry = object.find("expiresAt");
    return Token{token->get<std::string>(), expiresAtMs(expiry == object.end() ? nullptr : &*expiry),
                 Token::Kind::ephemeral};
}

std::optional<double> expiresAtMs(const nlohmann::json* value) {
    if (value == nullptr) return std::nullopt;
    if (value->is_number()) {
        const double v = value->get<double>();
        if (!std::isfinite(v)) return std::nullopt;
        return v < 1e12 ? v * 1000 : v;
    }
    if (value->is_string()) return parseRfc3339Ms(value->get_ref<const std::string&>());
    return std::nullopt;
}

std::optional<double> parseRfc3339Ms(std::string_view text) {
    size_t pos = 0;
    const auto year = digits(text, pos, 4);
    if (!year || !expect(text, pos, '-')) return std::nullopt;
    const auto month = digits(text, pos, 2);
    if (!month || !expect(text, pos, '-')) return std::nullopt;
    const auto day = digits(text, pos, 2);
    if (!day || !expect(text, pos, 'T')) return std::nullopt;
    const auto hour = digits(text, pos, 2);
    if (!hour || !expect(text, pos, ':')) return std::nullopt;
    const auto minute = digits(text, pos, 2);
    if (!minute || !expect(text, pos, ':')) return std::nullopt;
    const auto second = digits(text, pos, 2);
    if (!second) return std::nullopt;
    if (*month < 1 || *month > 12 || *day < 1 || *day > daysInMonth(*year, *month) || *hour > 23 ||
        *minute > 59 || *second > 60) {
        return std::nullopt;
    }
    double fractionMs = 0;
    if (pos < text.size() && text[pos] == '.') {
        ++pos;
        const size_t start = pos;
        double scale = 100;  // first digit is hundreds of milliseconds
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
            fractionMs += (text[pos] - '0') * scale;
            scale /= 10;
            ++pos;
        }
        if (pos == start) return std::nullopt;
    }
    std::int64_t offsetMinutes = 0;
    if (expect(text, pos, 'Z')) {
        offsetMinutes = 0;
    } else if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        const int sign = text[pos] == '-' ? -1 : 1;
        ++pos;
        const auto oh = digits(text, pos, 2);
        if (!oh || !expect(text, pos, ':')) return std::nullopt;
        const auto om = digits(text, pos, 2);
        if (!om || *oh > 23 || *om > 59) return std::nullopt;
        offsetMinutes = sign * static_cast<std::int64_t>(*oh * 60 + *om);
    } else {
        return std::nullopt;
    }
    if (pos != text.size()) return std::nullopt;
    const std::int64_t seconds = daysFromCivil(*year, *month, *day) * 86400 + *hour * 3600 +
                                 *minute * 60 + *second - offsetMinutes * 60;
    return static_cast<double>(seconds) * 1000.0 + fractionMs;
}

}  // namespace quendra::TokenClient
