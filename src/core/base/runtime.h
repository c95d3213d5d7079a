// Records and helpers shared by every layer: usage totals, tokens, the two error records the core
// raises, the logger, and the fatal stop for programming errors.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <variant>

#include <tl/expected.hpp>

namespace quendra {

// Seconds of 16000 Hz input audio sent and of 24000 Hz translated audio received.
struct Usage {
    double inputSeconds = 0;
    double outputSeconds = 0;
    bool operator==(const Usage&) const = default;
};

struct Token {
    enum class Kind { ephemeral, apiKey };
    std::string token;
    std::optional<double> expiresAtMs;  // milliseconds since 1970-01-01 UTC
    Kind kind = Kind::ephemeral;
    bool operator==(const Token&) const = default;
};

// Failure of the service clients; `message` is Italian text for the user.
struct TokenError {
    std::string message;
    std::optional<std::int64_t> status;
    bool retryable = false;
    bool operator==(const TokenError&) const = default;
};

// Failure raised by the translation links and the translator factory.
struct LinkError {
    std::string message;
    std::optional<bool> retryable;  // none leaves the decision to the kind of failure
    bool setupRejected = false;
    bool operator==(const LinkError&) const = default;
};

using Error = std::variant<LinkError, TokenError>;

template <typename T>
using Result = tl::expected<T, Error>;

// Receives a token or the error that prevented one.
using TokenCompletion = std::function<void(Result<Token>)>;

// The user-facing text of any error.
std::string errorMessage(const Error& error);

// True when retrying cannot help: a LinkError whose `retryable` is explicitly false, or a
// TokenError that is not retryable.
bool isNonRetryable(const Error& error);

// Two logging callbacks. A default-constructed Logger, like Logger::silent(), drops everything.
struct Logger {
    using Sink = std::function<void(const std::string&)>;
    Sink debug = [](const std::string&) {};
    Sink warn = [](const std::string&) {};

    static Logger silent() { return Logger{}; }
};

// Stops the program for a programming error: writes "<where>: <message>" to standard error and
// aborts.
[[noreturn]] void fatal(const char* message, const char* where);

}  // namespace quendra
