// Settings shared by the web-socket and HTTP adapters, and the TLS set-up they share.
#pragma once

#include <cstddef>
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
    // Largest message accepted from the peer; a larger one ends the connection as a transport
    // failure instead of growing the buffer. Real providers send audio deltas of some tens of KB;
    // 4 MiB of base64 is over a minute of 24 kHz speech, far beyond any delta, yet small enough
    // that a hostile peer cannot make one message cost much.
    std::size_t readMessageMaxBytes = 4u << 20;
    // Most bytes waiting to be written on an open web socket. A peer that stays connected but
    // stops reading fills it (the idle timeout does not notice while it keeps sending); the
    // connection then fails as after a drop. 2 MiB is half a minute of microphone audio or more:
    // a link that far behind is of no use live, and a burst of ordinary messages never comes near.
    std::size_t sendQueueMaxBytes = 2u << 20;
    // How long a closing handshake may take before the connection is simply dropped.
    double closeTimeoutMs = 5000;
    // Whole-request deadline of an HTTP fetch.
    double httpTimeoutMs = 15000;
    // Connect-to rules; none reads OMBRIX_CONNECT_TO at each connection.
    std::optional<std::vector<ConnectTo>> connectTo;
};

}  // namespace quendra
