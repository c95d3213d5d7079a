// Settings shared by the web-socket and HTTP adapters, and the TLS set-up they share.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/net/connect_to.h"
#include "platform/net/url.h"

namespace quendra {

struct NetTuning {
    // Deadline of each connect step (name resolution, TCP connect, TLS handshake, web-socket
    // handshake); a step that takes longer ends the connection as a transport failure.
    double stepTimeoutMs = 15000;
    // An open web socket that has received nothing for this long is pinged; after as long again
    // without any data it is closed as a transport failure.
    double idleTimeoutMs = 30000;
    // How long a closing handshake may take before the connection is simply dropped.
    double closeTimeoutMs = 5000;
    // Whole-request deadline of an HTTP fetch.
    double httpTimeoutMs = 15000;
    // Connect-to rules; none reads OMBRIX_CONNECT_TO at each connection.
    std::optional<std::vector<ConnectTo>> connectTo;
};

}  // namespace quendra
