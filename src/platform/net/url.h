// Addresses as the network adapters understand them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quendra {

struct ParsedUrl {
    std::string scheme;  // lowercased: "ws", "wss", "http" or "https"
    std::string host;    // as written (IPv6 without brackets), lowercased
    std::uint16_t port = 0;
    std::string target;  // path and query, at least "/"; the fragment is dropped
    bool secure() const { return scheme == "wss" || scheme == "https"; }
    // The Host header value: the host (bracketed if IPv6), with the port when it is not the
    // scheme's default.
    std::string hostHeader() const;
    bool operator==(const ParsedUrl&) const = default;
};

// Absolute URLs of the four schemes only; no user info, no spaces or control characters.
[[nodiscard]] std::optional<ParsedUrl> parseUrl(std::string_view text);

// The pieces of an address that the connect-to rules parse the same way.
namespace UrlParts {
std::string lowercase(std::string_view text);
// A decimal port from 1 to 65535.
std::optional<std::uint16_t> parsePort(std::string_view text);
// Takes "host" or "[v6]" from the front of `text` (lowercased, brackets dropped); `text` keeps
// the rest. An empty host only when `allowEmpty`.
std::optional<std::string> takeHost(std::string_view& text, bool allowEmpty);
}  // namespace UrlParts

}  // namespace quendra
