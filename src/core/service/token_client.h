// Short-lived provider tokens from the account service, and the validation of the service
// address that the account client and the engine share.
// Threading: `getToken` is called on the core queue and completes there (the fetch function
// guarantees it). Nothing is cached; every call makes one request.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "core/service/http.h"
#include "core/base/runtime.h"
#include "core/settings/service_address.h"
#include "core/settings/settings.h"

namespace quendra {

namespace TokenClient {

inline constexpr const char* clientHeader = "X-Client";
inline constexpr const char* clientName = "quendra-mac";

// The service address trimmed, checked to be https and stripped of trailing slashes (letter case
// kept); a TokenError otherwise.
[[nodiscard]] tl::expected<std::string, TokenError> base(std::string_view serviceUrl);

// Asks the service for a token for `provider` with the settings' service address and session
// token.
void getToken(const Settings& settings, const std::string& provider, const FetchFunction& fetch,
              TokenCompletion completion);

// The same with the two values given directly: asks the service at `serviceUrl` for a token for `provider`, authenticated by the account's
// session token.
void getToken(std::string_view serviceUrl, const std::string& sessionToken,
              const std::string& provider, const FetchFunction& fetch, TokenCompletion completion);

// Reads a token answer; every failure is a TokenError.
[[nodiscard]] tl::expected<Token, TokenError> parse(const HTTPResponse& response, const std::string& provider);

// The error of an answer with status `status` that the caller has no special text for: the
// service's own `error` text when `body` is an object carrying one (made printable), else "Il
// servizio ha risposto con errore N."; retryable from 500 on. The account client shares it.
[[nodiscard]] TokenError answerError(std::int64_t status, const nlohmann::json& body);

// An expiry in milliseconds since 1970 from a number (seconds below 1e12, else milliseconds) or
// an RFC 3339 date-time text; absent for anything else. `value` may be null.
std::optional<double> expiresAtMs(const nlohmann::json* value);

// Milliseconds since 1970 of an RFC 3339 date-time ("2026-01-01T00:00:00.25+01:00"), or none.
std::optional<double> parseRfc3339Ms(std::string_view text);

}  // namespace TokenClient
}  // namespace quendra
