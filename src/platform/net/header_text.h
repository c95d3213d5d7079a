// What may go into an HTTP request line or header without changing the request's shape.
// Platform-internal.
#pragma once

#include <string_view>

namespace quendra {

// A token (method, header name, web-socket subprotocol): visible ASCII without separators.
bool isHttpToken(std::string_view text);

// A header value that cannot end its line or start another: no control character but tab.
bool isHeaderValue(std::string_view text);

}  // namespace quendra
