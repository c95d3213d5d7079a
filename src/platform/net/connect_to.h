// The connect-to override: sends a connection for one host and port to another.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quendra {

// One rule of the override: connections for host `fromHost` (any host when empty) and port
// `fromPort` (any port when 0) go to `toHost` (the same host when empty) and `toPort` (the same
// port when 0). TLS still presents and verifies the original host name.
struct ConnectTo {
    std::string fromHost;
    std::uint16_t fromPort = 0;
    std::string toHost;
    std::uint16_t toPort = 0;
    bool operator==(const ConnectTo&) const = default;
};

// Reads "host:port:otherhost:otherport[,more]" (curl's --connect-to syntax; IPv6 hosts in
// brackets). None when any rule is malformed, so a typo never silently routes elsewhere.
[[nodiscard]] std::optional<std::vector<ConnectTo>> parseConnectTo(std::string_view text);

struct Endpoint {
    std::string host;
    std::uint16_t port = 0;
    bool operator==(const Endpoint&) const = default;
};

// Where to connect for `host`:`port`: the first matching rule, else the address itself.
Endpoint routeConnection(const std::vector<ConnectTo>& rules, const std::string& host, std::uint16_t port);

// The rules of the environment variable OMBRIX_CONNECT_TO, read at each call; empty when unset.
// A malformed value is reported once on standard error and ignored.
std::vector<ConnectTo> connectToFromEnvironment();

}  // namespace quendra
