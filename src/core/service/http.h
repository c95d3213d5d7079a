// The core's only way to HTTP: plain request and response records handed to a fetch function that
// the platform supplies.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "core/base/runtime.h"

namespace quendra {

struct HTTPRequest {
    std::string url;     // absolute
    std::string method;  // "POST" or "GET"
    std::map<std::string, std::string> headers;
    std::string body;  // UTF-8, may be empty
    bool operator==(const HTTPRequest&) const = default;
};

struct HTTPResponse {
    std::int64_t status = 0;  // 0 when the platform gave no HTTP status
    std::string body;         // raw bytes, possibly empty
    bool operator==(const HTTPResponse&) const = default;
};

// Calls the completion exactly once, on the core queue: with a response for every HTTP answer,
// whatever its status, or with an error when no answer came.
using FetchCompletion = std::function<void(Result<HTTPResponse>)>;
using FetchFunction = std::function<void(const HTTPRequest&, FetchCompletion)>;

}  // namespace quendra
