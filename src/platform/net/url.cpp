#include "platform/net/url.h"

namespace quendra {

namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::uint16_t defaultPort(const std::string& scheme) {
    return scheme == "ws" || scheme == "http" ? 80 : 443;
}

bool hostCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_';
}

bool ipv6Character(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == ':' ||
           c == '.';
}

}  // namespace

namespace UrlParts {

std::string lowercase(std::string_view text) {
    std::string out(text);
    for (auto& c : out) c = lower(c);
    return out;
}

std::optional<std::uint16_t> parsePort(std::string_view text) {
    if (text.empty() || text.size() > 5) return std::nullopt;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value == 0 || value > 65535) return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

// Splits "host" or "[v6]" at the front of `text`; the rest starts after it.
std::optional<std::string> takeHost(std::string_view& text, bool allowEmpty) {
    if (!text.empty() && text.front() == '[') {
        const auto end = text.find(']');
        if (end == std::string_view::npos || end == 1) return std::nullopt;
        const auto inside = text.substr(1, end - 1);
        for (char c : inside) {
            if (!ipv6Character(c)) return std::nullopt;
        }
        text.remove_prefix(end + 1);
        return lowercase(inside);
    }
    size_t n = 0;
    while (n < text.size() && hostCharacter(text[n])) ++n;
    if (n == 0 && !allowEmpty) return std::nullopt;
    auto host = lowercase(text.substr(0, n));
    text.remove_prefix(n);
    return host;
}

}  // namespace UrlParts

using UrlParts::lowercase;
using UrlParts::parsePort;
using UrlParts::takeHost;

std::string ParsedUrl::hostHeader() const {
    std::string out = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    if (port != defaultPort(scheme)) out += ":" + std::to_string(port);
    return out;
}

std::optional<ParsedUrl> parseUrl(std::string_view text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f) return std::nullopt;
    }
    const auto colon = text.find("://");
    if (colon == std::string_view::npos) return std::nullopt;
    ParsedUrl url;
    url.scheme = lowercase(text.substr(0, colon));
    if (url.scheme != "ws" && url.scheme != "wss" && url.scheme != "http" && url.scheme != "https") {
        return std::nullopt;
    }
    text.remove_prefix(colon + 3);
    if (const auto hash = text.find('#'); hash != std::string_view::npos) text = text.substr(0, hash);
    const auto authorityEnd = text.find_first_of("/?");
    std::string_view authority = text.substr(0, authorityEnd);
    const std::string_view rest = authorityEnd == std::string_view::npos ? "" : text.substr(authorityEnd);
    if (authority.find('@') != std::string_view::npos) return std::nullopt;
    auto host = takeHost(authority, false);
    if (!host) return std::nullopt;
    url.host = *host;
    url.port = defaultPort(url.scheme);
    if (!authority.empty()) {
        if (authority.front() != ':') return std::nullopt;
        authority.remove_prefix(1);
        auto port = parsePort(authority);
        if (!port) return std::nullopt;
        url.port = *port;
    }
    url.target = rest.empty() ? "/" : std::string(rest);
    if (url.target.front() == '?') url.target.insert(0, "/");
    return url;
}

}  // namespace quendra
