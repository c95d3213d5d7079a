#include "platform/net/websocket.h"

#include <chrono>
#include <cmath>
#include <deque>
#include <type_traits>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include "core/links/websocket_like.h"
#include "platform/net/header_text.h"
#include "platform/net/tls.h"
#include "platform/net/transport.h"
#include "platform/net/utf8.h"

namespace quendra {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using boost::system::error_code;

namespace {

std::chrono::milliseconds toDuration(double ms) {
    return std::chrono::milliseconds(static_cast<std::int64_t>(std::isfinite(ms) && ms > 0 ? ms : 0));
}

// Zero or less means no limit.
websocket::stream_base::duration beastDuration(double ms) {
    if (!(ms > 0)) return websocket::stream_base::none();
    return std::chrono::duration_cast<websocket::stream_base::duration>(toDuration(ms));
}

// Codes a client may put in a close frame; others (1005, 1006, 1015, out of range) go out as 1000.
std::uint16_t sendableCloseCode(int code) {
    const bool ok = (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1014) ||
                    (code >= 3000 && code <= 4999);
    return static_cast<std::uint16_t>(ok ? code : 1000);
}

// A close frame's reason holds at most 123 bytes; cut at a character boundary.
std::string closeReasonText(const std::string& reason) {
    std::string text = repairUtf8(reason);
    if (text.size() <= 123) return text;
    size_t cut = 123;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return text.substr(0, cut);
}

std::string timeoutText() { return beast::error_code(beast::error::timeout).message(); }

}  // namespace

namespace detail {

// The transport of one BeastWebSocket. Pending steps keep it alive through shared_from_this; it
// reports to its owner weakly, so an owner dropped meanwhile hears nothing. Queue thread only.
class WsConnection {
public:
    virtual ~WsConnection() = default;
    virtual void start() = 0;
    virtual void send(const std::string& text) = 0;
    // Ends the connection: a close frame when open, else the attempt is abandoned. No report.
    virtual void close(int code, const std::string& reason) = 0;
};

namespace {

template <bool Secure>
class Connection final : public WsConnection, public std::enable_shared_from_this<Connection<Secure>> {
    using Next = TransportStream<Secure>;

public:
    Connection(std::shared_ptr<QueueState> queue, ParsedUrl url, std::vector<std::string> protocols,
               NetTuning tuning, std::weak_ptr<BeastWebSocket> owner)
        : queue_(std::move(queue)),
          ws_(makeTransportStream<Next>(queue_->context())),
          resolver_(queue_->context()),
          deadline_(queue_->context()),
          url_(std::move(url)),
          protocols_(std::move(protocols)),
          tuning_(std::move(tuning)),
          owner_(std::move(owner)) {}

    void start() override {
        if (done_) return;
        const auto self = this->shared_from_this();
        connectTransport(ws_.next_layer(), resolver_, url_, tuning_,
                         TransportSteps{[self] { return self->done_; }, [self] { self->armDeadline(); },
                                        [self](TransportFailure failure) { self->failTransport(failure); },
                                        [self] { self->startHandshake(); }});
    }

    void send(const std::string& text) override {
        if (!open_ || closing_ || overflowed_) return;
        // One frame larger than the bound still goes when nothing waits before it.
        if (!outbox_.empty() && queuedBytes_ + text.size() > tuning_.sendQueueMaxBytes) {
            overflowed_ = true;
            // Reported on a later turn: the owner is inside its own send() now.
            queue_->post([self = this->shared_from_this()] { self->fail("coda di invio piena"); });
            return;
        }
        outbox_.push_back(text);
        queuedBytes_ += text.size();
        if (!writing_) writeNext();
    }

    void close(int code, const std::string& reason) override {
        if (closing_) return;
        closing_ = true;
        done_ = true;
        deadline_.cancel();
        if (!open_) {
            abortTransport();
            return;
        }
        open_ = false;
        closeFrame_.code = sendableCloseCode(code);
        closeFrame_.reason = closeReasonText(reason);
        // What the owner sent before closing still goes, then the close frame: a link that
        // retires or ends a connection loses none of the audio it counted as sent. A peer that
        // has not taken it all within the close timeout loses the connection instead.
        if (writing_) {
            armCloseDeadline();
            return;
        }
        sendClose();
    }

private:
    void sendClose() {
        closeSent_ = true;
        deadline_.cancel();
        ws_.async_close(closeFrame_, [self = this->shared_from_this()](error_code ec) {
            // The pending read sees the peer's answer; on failure just drop the transport.
            if (ec) self->abortTransport();
        });
    }

    void armCloseDeadline() {
        deadline_.expires_after(toDuration(tuning_.closeTimeoutMs));
        deadline_.async_wait([weak = std::weak_ptr(this->shared_from_this())](error_code ec) {
            auto self = weak.lock();
            if (ec || !self || self->closeSent_) return;
            self->abortTransport();
        });
    }

    void armDeadline() {
        deadline_.expires_after(toDuration(tuning_.stepTimeoutMs));
        deadline_.async_wait([weak = std::weak_ptr(this->shared_from_this())](error_code ec) {
            auto self = weak.lock();
            if (ec || !self || self->open_ || self->done_) return;
            self->fail(timeoutText());
        });
    }

    void failTransport(const TransportFailure& failure) {
        switch (failure.kind) {
            case TransportFailure::Kind::unusableHost: return fail(failure.text, CloseCode::invalidUrl);
            case TransportFailure::Kind::tlsRefused: return fail(failure.text, CloseCode::tlsFailure);
            case TransportFailure::Kind::network: return fail(failure.text);
        }
    }

    void startHandshake() {
        armDeadline();
        std::string offered;
        for (const auto& p : protocols_) offered += (offered.empty() ? "" : ", ") + p;
        ws_.set_option(websocket::stream_base::decorator([offered](websocket::request_type& request) {
            request.set(beast::http::field::user_agent, "Ombrix");
            if (!offered.empty()) request.set(beast::http::field::sec_websocket_protocol, offered);
        }));
        // The message limit is the read buffer's (see buffer_): Beast's own read_message_max would
        // fail the stream itself, close it and report whatever the TLS teardown says instead.
        ws_.read_message_max(0);
        ws_.async_handshake(response_, url_.hostHeader(), url_.target,
                            [self = this->shared_from_this()](error_code ec) { self->onHandshake(ec); });
    }

    void onHandshake(error_code ec) {
        if (done_) return;
        if (ec) {
            const unsigned status = response_.result_int();
            if (ec == websocket::error::upgrade_declined && status >= 100 && status <= 599) {
                // The status line, e.g. "HTTP/1.1 401 Unauthorized".
                const auto phrase = response_.reason();
                std::string line = "HTTP/" + std::to_string(response_.version() / 10) + "." +
                                   std::to_string(response_.version() % 10) + " " + std::to_string(status);
                if (!phrase.empty()) line += " " + std::string(phrase.data(), phrase.size());
                return fail(closeReasonText(line), CloseCode::httpStatusBase + static_cast<int>(status));
            }
            return fail(tls::errorText(ec, sslHandle()));
        }
        deadline_.cancel();
        websocket::stream_base::timeout timeouts{};
        timeouts.handshake_timeout = beastDuration(tuning_.closeTimeoutMs);  // also bounds the closing handshake
        timeouts.idle_timeout = beastDuration(tuning_.idleTimeoutMs);
        timeouts.keep_alive_pings = true;
        ws_.set_option(timeouts);
        open_ = true;
        if (auto owner = owner_.lock()) owner->connectionOpened();
        read();
    }

    void read() {
        ws_.async_read(buffer_, [self = this->shared_from_this()](error_code ec, std::size_t) { self->onRead(ec); });
    }

    void onRead(error_code ec) {
        if (ec) {
            if (ec == websocket::error::closed) {
                const auto& why = ws_.reason();
                // A close frame without a status is reported as 1005 (no status received).
                end(why.code == websocket::close_code::none ? 1005 : static_cast<int>(why.code),
                    repairUtf8(std::string(why.reason.data(), why.reason.size())));
                abortTransport();
            } else if (ec == websocket::error::buffer_overflow || ec == websocket::error::message_too_big) {
                fail("messaggio dal server oltre il limite di " + std::to_string(tuning_.readMessageMaxBytes) + " byte");
            } else {
                fail(tls::errorText(ec, sslHandle()));
            }
            return;
        }
        std::string text = beast::buffers_to_string(buffer_.data());
        buffer_.consume(buffer_.size());
        // Text frames were checked for valid UTF-8 by the stream already.
        if (!ws_.got_text()) text = repairUtf8(text);
        if (!done_) {
            if (auto owner = owner_.lock()) owner->connectionMessage(text);
        }
        // Reading continues after a local close so that the closing handshake completes.
        read();
    }

    void writeNext() {
        writing_ = true;
        ws_.text(true);
        ws_.async_write(net::buffer(outbox_.front()), [self = this->shared_from_this()](error_code ec, std::size_t) {
            self->onWrite(ec);
        });
    }

    void onWrite(error_code ec) {
        writing_ = false;
        if (!outbox_.empty()) {
            queuedBytes_ -= outbox_.front().size();
            outbox_.pop_front();
        }
        // A failed write is reported by the read that fails with it (after a close, by nothing:
        // the owner has had its report).
        if (ec || overflowed_) {
            dropUnwritten();
            return;
        }
        if (!outbox_.empty()) {
            writeNext();
        } else if (closing_ && !closeSent_) {
            sendClose();
        }
    }

    // Frames not yet handed to the stream go; the one being written stays until it completes.
    void dropUnwritten() {
        while (outbox_.size() > (writing_ ? 1u : 0u)) {
            queuedBytes_ -= outbox_.back().size();
            outbox_.pop_back();
        }
    }

    // A transport failure (1006) or one that retrying cannot mend, with the text; the
    // connection is dropped.
    void fail(const std::string& text, int code = 1006) {
        end(code, text);
        abortTransport();
    }

    void end(int code, const std::string& text) {
        if (done_) return;
        done_ = true;
        open_ = false;
        deadline_.cancel();
        if (auto owner = owner_.lock()) owner->connectionEnded(code, text);
    }

    void abortTransport() {
        done_ = true;
        open_ = false;
        deadline_.cancel();
        resolver_.cancel();
        error_code ignored;
        beast::get_lowest_layer(ws_).socket().close(ignored);
    }

    SSL* sslHandle() { return sslOf(ws_.next_layer()); }

    const std::shared_ptr<QueueState> queue_;  // first: the context outlives the objects below
    websocket::stream<Next> ws_;
    tcp::resolver resolver_;
    net::steady_timer deadline_;
    const ParsedUrl url_;
    const std::vector<std::string> protocols_;
    const NetTuning tuning_;
    const std::weak_ptr<BeastWebSocket> owner_;
    beast::flat_buffer buffer_{tuning_.readMessageMaxBytes};  // at most one message, bounded
    websocket::response_type response_;
    std::deque<std::string> outbox_;  // front is the frame being written while `writing_`
    std::size_t queuedBytes_ = 0;     // in `outbox_`
    bool writing_ = false;
    bool overflowed_ = false;         // the send queue filled up; failing
    websocket::close_reason closeFrame_;  // the owner's, sent once `outbox_` is through
    bool closeSent_ = false;
    bool open_ = false;
    bool closing_ = false;
    bool done_ = false;  // nothing more is reported to the owner
};

}  // namespace
}  // namespace detail

struct BeastWebSocket::Private {};

BeastWebSocket::BeastWebSocket(Private, std::shared_ptr<QueueState> queue) : queue_(std::move(queue)) {}

std::shared_ptr<BeastWebSocket> BeastWebSocket::create(CoreQueue& queue, const std::string& url,
                                                       const std::vector<std::string>& protocols,
                                                       const NetTuning& tuning) {
    return create(queue.state(), url, protocols, tuning);
}

std::shared_ptr<BeastWebSocket> BeastWebSocket::create(const std::shared_ptr<QueueState>& queue, const std::string& url,
                                                       const std::vector<std::string>& protocols,
                                                       const NetTuning& tuning) {
    auto socket = std::make_shared<BeastWebSocket>(Private{}, queue);
    // Final failures are reported later, so the owner has set onClose by then. The texts never
    // repeat what was refused: it may hold a credential.
    auto refuse = [&](const char* text) {
        queue->post([weak = std::weak_ptr(socket), text] {
            if (auto self = weak.lock()) self->finish(CloseCode::invalidUrl, text);
        });
        return socket;
    };
    const auto parsed = parseUrl(url);
    if (!parsed || (parsed->scheme != "ws" && parsed->scheme != "wss")) return refuse("indirizzo non valido");
    // A subprotocol with a line break would add request headers of its own.
    for (const auto& protocol : protocols) {
        if (!isHttpToken(protocol)) return refuse("sottoprotocollo non valido");
    }
    if (parsed->secure()) {
        socket->connection_ = std::make_shared<detail::Connection<true>>(queue, *parsed, protocols, tuning, socket);
    } else {
        socket->connection_ = std::make_shared<detail::Connection<false>>(queue, *parsed, protocols, tuning, socket);
    }
    queue->post([connection = socket->connection_] { connection->start(); });
    return socket;
}

BeastWebSocket::~BeastWebSocket() {
    // May run on any thread, so the connection decides on the queue whether anything is left to
    // close (it is a no-op once the connection ended). Once the queue stopped the post is dropped
    // and the connection simply goes with its last reference.
    if (connection_) queue_->post([connection = connection_] { connection->close(1001, ""); });
}

void BeastWebSocket::send(const std::string& text) {
    if (!open_ || finished_ || !connection_ || queue_->stopped()) return;
    connection_->send(text);
}

void BeastWebSocket::close(int code, const std::string& reason) {
    if (finished_) return;
    open_ = false;
    // After the queue stopped nothing would run what the connection starts, nor report it.
    if (queue_->stopped()) {
        finished_ = true;
        return;
    }
    if (connection_) connection_->close(code, reason);
    queue_->post([self = shared_from_this(), code, reason] { self->finish(code, reason); });
}

void BeastWebSocket::connectionOpened() {
    if (finished_) return;
    open_ = true;
    // Called through a copy: the owner may replace or clear its callbacks from inside them.
    if (auto callback = onOpen) callback();
}

void BeastWebSocket::connectionMessage(const std::string& text) {
    if (finished_) return;
    if (auto callback = onMessage) callback(text);
}

void BeastWebSocket::connectionEnded(int code, const std::string& text) { finish(code, text); }

void BeastWebSocket::finish(int code, const std::string& text) {
    if (finished_) return;
    finished_ = true;
    open_ = false;
    if (auto callback = onClose) callback(code, text);
}

std::shared_ptr<WebSocketLike> makeWebSocket(const std::string& url, const std::vector<std::string>& protocols) {
    return BeastWebSocket::create(coreQueue(), url, protocols);
}

SocketFactory makeSocketFactory(CoreQueue& queue, NetTuning tuning) {
    return [queue = queue.state(), tuning = std::move(tuning)](const std::string& url,
                                                               const std::vector<std::string>& protocols)
               -> std::shared_ptr<WebSocketLike> { return BeastWebSocket::create(queue, url, protocols, tuning); };
}

}  // namespace quendra
