#include "platform/net/connect_to.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/net/url.h"

namespace quendra {

using UrlParts::lowercase;
using UrlParts::parsePort;
using UrlParts::takeHost;

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
