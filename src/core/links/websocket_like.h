// The web socket the links talk through, and the factory that makes one. The platform implements
// it over TLS; tests script it.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace quendra {

// A web socket that connects by itself once created. `onOpen` comes once when open; every text
// message comes through `onMessage`; `onClose` comes exactly once per socket, also after a close
// the owner asked for; `send` while not open is dropped silently. Callbacks on the core queue.
class WebSocketLike {
public:
    virtual ~WebSocketLike() = default;
    std::function<void()> onOpen;
    std::function<void(const std::string& text)> onMessage;
    std::function<void(int code, const std::string& reason)> onClose;

    virtual bool isOpen() const = 0;
    virtual void send(const std::string& text) = 0;
    virtual void close(int code, const std::string& reason) = 0;
};

using SocketFactory = std::function<std::shared_ptr<WebSocketLike>(
    const std::string& url, const std::vector<std::string>& protocols)>;

// Close codes a socket reports, never sends, for failures that retrying cannot mend; the links make
// them final at once. Any other failure of the transport is 1006 with the error's text.
namespace CloseCode {
// TLS refused: the certificate or the host name did not verify, or the handshake failed.
inline constexpr int tlsFailure = 1015;
// The address cannot be used (malformed, unknown scheme, host unusable for TLS).
inline constexpr int invalidUrl = 4001;
// The server answered the upgrade with HTTP status N instead of 101: reported as 4000 + N
// (4401, 4403, 4429, 4503...), the reason holding the status line.
inline constexpr int httpStatusBase = 4000;

// True for the codes no retry can mend: TLS refused, an unusable address, and the upgrade
// answered with 401 or 403 (the credential is refused). Other HTTP statuses, 429 and 503 among
// them, may pass.
constexpr bool isFinal(int code) {
    return code == tlsFailure || code == invalidUrl || code == httpStatusBase + 401 ||
           code == httpStatusBase + 403;
}
}  // namespace CloseCode

}  // namespace quendra
