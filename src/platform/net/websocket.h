// WebSocketLike over Boost.Beast (TLS through OpenSSL for wss) on a core queue.
//
// Threading: every callback (onOpen, onMessage, onClose) runs on the queue's thread; `send`,
// `close` and `isOpen` belong to that thread too, as do the callbacks' assignments once the
// socket may have started (the owner sets them right after creating it, on the core queue).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/links/translator.h"
#include "platform/net/core_queue.h"
#include "platform/net/network.h"

namespace quendra {

namespace detail {
class WsConnection;
}

// Connects by itself: resolve, TCP connect, TLS handshake (SNI and host-name verification against
// the system trust store), web-socket handshake offering `protocols`, each step under
// `stepTimeoutMs`. Once open it pings when idle. Text frames arrive as they are, binary frames as
// UTF-8 with invalid sequences replaced; a message over `readMessageMaxBytes` ends the connection.
// `onClose` comes exactly once: with the peer's code and reason; with 1006 and the error text on
// a transport failure (a timeout, a drop, a send queue over `sendQueueMaxBytes`, an oversized
// message); with a final code of CloseCode that retrying cannot mend: tlsFailure when TLS refused
// the peer, invalidUrl for an unusable URL or a subprotocol that is not an HTTP token (checked
// before connecting), httpStatusBase + status with the status line when the upgrade was answered
// otherwise; or with the owner's own code and reason after `close`. Dropping the last reference
// to an unfinished socket closes it with 1001, without any callback.
class BeastWebSocket final : public WebSocketLike, public std::enable_shared_from_this<BeastWebSocket> {
public:
    // The socket may outlive `queue`: once it stopped, nothing more is reported and `send` and
    // `close` do nothing. May be called from any thread; work starts on the queue.
    static std::shared_ptr<BeastWebSocket> create(CoreQueue& queue, const std::string& url,
                                                  const std::vector<std::string>& protocols,
                                                  const NetTuning& tuning = {});
    static std::shared_ptr<BeastWebSocket> create(const std::shared_ptr<QueueState>& queue, const std::string& url,
                                                  const std::vector<std::string>& protocols,
                                                  const NetTuning& tuning = {});
    ~BeastWebSocket() override;

    bool isOpen() const override { return open_; }
    // One text frame, queued behind frames not yet written; dropped unless open.
    void send(const std::string& text) override;
    // Sends a close frame behind the frames already queued (or abandons the connection attempt);
    // a peer that has not taken them within `closeTimeoutMs` loses the connection instead.
    // `onClose(code, reason)` follows on the queue at once, and nothing from the peer is reported
    // after this.
    void close(int code, const std::string& reason) override;

    // Called by the connection, on the queue.
    void connectionOpened();
    void connectionMessage(const std::string& text);
    void connectionEnded(int code, const std::string& text);

    struct Private;  // construction is through create() only
    BeastWebSocket(Private, std::shared_ptr<QueueState> queue);

private:
    void finish(int code, const std::string& text);

    std::shared_ptr<QueueState> queue_;
    std::shared_ptr<detail::WsConnection> connection_;
    bool open_ = false;
    bool finished_ = false;
};

// The application's socket factory: BeastWebSockets on coreQueue() with default tuning.
std::shared_ptr<WebSocketLike> makeWebSocket(const std::string& url, const std::vector<std::string>& protocols);

// A factory on another queue or with other tuning (tests). It and its sockets may outlive `queue`.
SocketFactory makeSocketFactory(CoreQueue& queue, NetTuning tuning = {});

}  // namespace quendra
