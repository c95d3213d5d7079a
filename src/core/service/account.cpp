#include "core/service/account.h"

#include <optional>

#include <nlohmann/json.hpp>

#include "core/base/json_text.h"
#include "core/base/text.h"
#include "core/service/token_client.h"

namespace quendra::AccountClient {

namespace {

using nlohmann::json;
using ObjectCompletion = std::function<void(tl::expected<json, TokenError>)>;

constexpr const char* verifyPath = "/api/auth/verify";

// `text` with every white-space character removed (Unicode's White_Space set, which users paste
// from mail clients).
std::string withoutWhitespace(std::string_view text) {
    std::string out;
    while (!text.empty()) {
        // A white-space character is one to three bytes long and trims away to nothing.
        std::size_t space = 0;
        for (std::size_t n = 1; n <= 3 && n <= text.size() && space == 0; ++n) {
            if (trimWhitespace(text.substr(0, n)).empty()) space = n;
        }
        if (space == 0) out.push_back(text.front());
        text.remove_prefix(space == 0 ? 1 : space);
    }
    return out;
}

std::string trimmed(std::string_view text) { return std::string(trimWhitespace(text)); }

TokenError failure(std::string message, std::optional<std::int64_t> status, bool retryable) {
    return TokenError{std::move(message), status, retryable};
}

std::optional<std::string> textMember(const json& object, const char* name) {
    const auto it = object.find(name);
    if (it == object.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

// Sends one request and completes with the answer's JSON object, or the TokenError it amounts to.
void send(const std::string& serviceUrl, const std::string& method, const std::string& path,
          const std::optional<std::string>& token, const std::optional<json>& body, const FetchFunction& fetch,
          ObjectCompletion completion) {
    const auto root = TokenClient::base(serviceUrl);
    if (!root) {
        completion(tl::unexpected(root.error()));
        return;
    }
    HTTPRequest request;
    request.url = *root + path;
    request.method = method;
    request.headers[TokenClient::clientHeader] = TokenClient::clientName;
    if (body) request.headers["Content-Type"] = "application/json";
    if (token) request.headers["Authorization"] = "Bearer " + *token;
    request.body = body ? jsonString(*body) : std::string();
    fetch(request, [path, completion = std::move(completion)](const Result<HTTPResponse>& result) {
        if (!result) {
            completion(tl::unexpected(
                failure("Servizio non raggiungibile: " + errorMessage(result.error()), std::nullopt, true)));
            return;
        }
        const std::int64_t status = result->status;
        json object = parseJson(result->body);
        const bool isObject = object.is_object();
        if (status >= 200 && status <= 299 && isObject) {
            completion(std::move(object));
            return;
        }
        if (status == 401 && path != verifyPath) {
            completion(tl::unexpected(failure("Sessione scaduta: accedi di nuovo.", 401, false)));
            return;
        }
        completion(tl::unexpected(TokenClient::answerError(status, object)));
    });
}

}  // namespace

void requestCode(const std::string& serviceUrl, const std::string& email, const FetchFunction& fetch,
                 DoneCompletion completion) {
    const std::string address = trimmed(email);
    if (address.empty() || address.find('@') == std::string::npos) {
        completion(Error{failure("Scrivi un indirizzo email valido.", std::nullopt, false)});
        return;
    }
    send(serviceUrl, "POST", "/api/auth/request-code", std::nullopt, json{{"email", address}}, fetch,
         [completion = std::move(completion)](tl::expected<json, TokenError> result) {
             if (!result) {
                 completion(Error{result.error()});
             } else {
                 completion(std::nullopt);
             }
         });
}

void verify(const std::string& serviceUrl, const std::string& email, const std::string& code,
            const FetchFunction& fetch, SessionCompletion completion) {
    const std::string digits = withoutWhitespace(code);
    bool valid = digits.size() == 6;
    for (char c : digits) valid = valid && c >= '0' && c <= '9';
    if (!valid) {
        completion(tl::unexpected(Error{failure("Il codice è di 6 cifre.", std::nullopt, false)}));
        return;
    }
    send(serviceUrl, "POST", verifyPath, std::nullopt,
         json{{"email", trimmed(email)}, {"code", digits}, {"client", "app"}}, fetch,
         [email, completion = std::move(completion)](tl::expected<json, TokenError> result) {
             if (!result) {
                 completion(tl::unexpected(Error{result.error()}));
                 return;
             }
             const auto token = textMember(*result, "token");
             if (!token || token->empty()) {
                 completion(tl::unexpected(
                     Error{failure("Il servizio non ha restituito la sessione.", std::nullopt, false)}));
                 return;
             }
             completion(Session{*token, textMember(*result, "email").value_or(email)});
         });
}

void me(const std::string& serviceUrl, const std::string& token, const FetchFunction& fetch,
        AccountCompletion completion) {
    send(serviceUrl, "GET", "/api/me", token, std::nullopt, fetch,
         [completion = std::move(completion)](tl::expected<json, TokenError> result) {
             if (!result) {
                 completion(tl::unexpected(Error{result.error()}));
                 return;
             }
             const auto email = textMember(*result, "email");
             if (!email) {
                 completion(tl::unexpected(Error{failure("Risposta del servizio non valida.", std::nullopt, true)}));
                 return;
             }
             Account account;
             account.email = *email;
             account.plan = textMember(*result, "plan").value_or("free");
             if (const auto keys = result->find("keys"); keys != result->end() && keys->is_object()) {
                 for (const auto& [name, value] : keys->items()) {
                     if (value.is_object()) account.keys.insert(name);
                 }
             }
             completion(std::move(account));
         });
}

void logout(const std::string& serviceUrl, const std::string& token, const FetchFunction& fetch,
            DoneCompletion completion) {
    send(serviceUrl, "POST", "/api/auth/logout", token, json::object(), fetch,
         [completion = std::move(completion)](tl::expected<json, TokenError> result) {
             if (!result) {
                 completion(Error{result.error()});
             } else {
                 completion(std::nullopt);
             }
         });
}

bool isUnauthorized(const Error& error) {
    const auto* token = std::get_if<TokenError>(&error);
    return token != nullptr && token->status == std::optional<std::int64_t>(401);
}

}  // namespace quendra::AccountClient
