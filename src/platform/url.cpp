#include "platform/url.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace quendra {

namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

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

}  // namespace

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

std::string repairUtf8(std::string_view text) {
    static constexpr const char* replacement = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    const size_t n = text.size();
    auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    while (i < n) {
        const unsigned char b = byte(i);
        if (b < 0x80) {
            out.push_back(static_cast<char>(b));
            ++i;
            continue;
        }
        size_t need = 0;
        unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
        if (b >= 0xC2 && b <= 0xDF) {
            need = 1;
        } else if (b >= 0xE0 && b <= 0xEF) {
            need = 2;
            if (b == 0xE0) lo = 0xA0;
            if (b == 0xED) hi = 0x9F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            need = 3;
            if (b == 0xF0) lo = 0x90;
            if (b == 0xF4) hi = 0x8F;
        } else {
            out += replacement;
            ++i;
            continue;
        }
        size_t k = 1;
        for (; k <= need; ++k) {
            if (i + k >= n) break;
            const unsigned char c = byte(i + k);
            const unsigned char min = k == 1 ? lo : 0x80;
            const unsigned char max = k == 1 ? hi : 0xBF;
            if (c < min || c > max) break;
        }
        if (k > need) {
            out.append(text.substr(i, need + 1));
            i += need + 1;
        } else {
            // The valid prefix so far is one maximal subpart: one replacement for all of it.
            out += replacement;
            i += k;
        }
    }
    return out;
}

std::optional<std::vector<ConnectTo>> parseConnectTo(std::string_view text) {
    std::vector<ConnectTo> rules;
    while (!text.empty()) {
        const auto comma = text.find(',');
        std::string_view item = text.substr(0, comma);
        text = comma == std::string_view::npos ? "" : text.substr(comma + 1);
        while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
        while (!item.empty() && item.back() == ' ') item.remove_suffix(1);
        if (item.empty()) continue;
        ConnectTo rule;
        // host:port:otherhost:otherport, each part possibly empty.
        auto fromHost = takeHost(item, true);
        if (!fromHost || item.empty() || item.front() != ':') return std::nullopt;
        item.remove_prefix(1);
        const auto portEnd = item.find(':');
        if (portEnd == std::string_view::npos) return std::nullopt;
        if (portEnd > 0) {
            auto port = parsePort(item.substr(0, portEnd));
            if (!port) return std::nullopt;
            rule.fromPort = *port;
        }
        item.remove_prefix(portEnd + 1);
        auto toHost = takeHost(item, true);
        if (!toHost || item.empty() || item.front() != ':') return std::nullopt;
        item.remove_prefix(1);
        if (!item.empty()) {
            auto port = parsePort(item);
            if (!port) return std::nullopt;
            rule.toPort = *port;
        }
        rule.fromHost = *fromHost;
        rule.toHost = *toHost;
        rules.push_back(std::move(rule));
    }
    return rules;
}

Endpoint routeConnection(const std::vector<ConnectTo>& rules, const std::string& host, std::uint16_t port) {
    const std::string name = lowercase(host);
    for (const auto& rule : rules) {
        if (!rule.fromHost.empty() && rule.fromHost != name) continue;
        if (rule.fromPort != 0 && rule.fromPort != port) continue;
        return Endpoint{rule.toHost.empty() ? host : rule.toHost, rule.toPort == 0 ? port : rule.toPort};
    }
    return Endpoint{host, port};
}

std::vector<ConnectTo> connectToFromEnvironment() {
    const char* value = std::getenv("OMBRIX_CONNECT_TO");
    if (value == nullptr) return {};
    auto rules = parseConnectTo(value);
    if (!rules) {
        static std::once_flag warned;
        std::call_once(warned, [&] {
            std::fprintf(stderr, "OMBRIX_CONNECT_TO non valido, ignorato: %s\n", value);
        });
        return {};
    }
    return *rules;
}

}  // namespace quendra
