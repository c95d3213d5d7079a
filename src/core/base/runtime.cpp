#include "core/base/runtime.h"

#include <cstdio>
#include <cstdlib>

namespace quendra {

std::string errorMessage(const Error& error) {
    return std::visit([](const auto& e) { return e.message; }, error);
}

bool isNonRetryable(const Error& error) {
    if (const auto* link = std::get_if<LinkError>(&error)) {
        return link->retryable.has_value() && !*link->retryable;
    }
    return !std::get<TokenError>(error).retryable;
}

void fatal(const char* message, const char* where) {
    std::fprintf(stderr, "%s: %s\n", where, message);
    std::fflush(stderr);
    std::abort();
}

}  // namespace quendra
