#include "platform/net/http_fetch.h"

#include <chrono>
#include <cmath>
#include <type_traits>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include "platform/net/header_text.h"
#include "platform/net/tls.h"
#include "platform/net/transport.h"

namespace quendra {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;
using boost::system::error_code;

namespace {

// One request from resolution to the last byte of the answer, under one deadline. Pending steps
// keep it alive; it completes exactly once, on the queue.
template <bool Secure>
class FetchOperation final : public std::enable_shared_from_this<FetchOperation<Secure>> {
    using Stream = TransportStream<Secure>;

public:
    FetchOperation(std::shared_ptr<QueueState> queue, ParsedUrl url, NetTuning tuning, FetchCompletion completion)
        : queue_(std::move(queue)),
          stream_(makeTransportStream<Stream>(queue_->context())),
          resolver_(queue_->context()),
          deadline_(queue_->context()),
          url_(std::move(url)),
          tuning_(std::move(tuning)),
          completion_(std::move(completion)) {}

    void start(const HTTPRequest& request) {
        request_.method_string(request.method);
        request_.target(url_.target);
        request_.version(11);
        for (const auto& [name, value] : request.headers) request_.set(name, value);
        if (request_.find(http::field::host) == request_.end()) request_.set(http::field::host, url_.hostHeader());
        request_.body() = request.body;
        if (!request.body.empty() || request.method != "GET") request_.prepare_payload();

        const double ms = std::isfinite(tuning_.httpTimeoutMs) && tuning_.httpTimeoutMs > 0 ? tuning_.httpTimeoutMs : 0;
        deadline_.expires_after(std::chrono::milliseconds(static_cast<std::int64_t>(ms)));
        deadline_.async_wait([weak = std::weak_ptr(this->shared_from_this())](error_code ec) {
            auto self = weak.lock();
            if (ec || !self) return;
            self->fail(beast::error_code(beast::error::timeout).message());
        });

        const auto self = this->shared_from_this();
        connectTransport(stream_, resolver_, url_, tuning_,
                         TransportSteps{[self] { return !self->completion_; }, [] {},
                                        [self](TransportFailure failure) { self->fail(failure.text); },
                                        [self] { self->write(); }});
    }

private:
    void write() {
        http::async_write(stream_, request_,
                          [self = this->shared_from_this()](error_code ec, std::size_t) { self->onWrite(ec); });
    }

    void onWrite(error_code ec) {
        if (!completion_) return;
        if (ec) return fail(tls::errorText(ec, sslHandle()));
        http::async_read(stream_, buffer_, response_,
                         [self = this->shared_from_this()](error_code ec, std::size_t) { self->onRead(ec); });
    }

    void onRead(error_code ec) {
        if (!completion_) return;
        if (ec) return fail(tls::errorText(ec, sslHandle()));
        HTTPResponse response;
        response.status = response_.result_int();
        response.body = std::move(response_.body());
        complete(std::move(response));
    }

    void fail(const std::string& text) { complete(tl::unexpected(Error{LinkError{text, std::nullopt, false}})); }

    void complete(Result<HTTPResponse> result) {
        if (!completion_) return;
        auto completion = std::move(completion_);
        completion_ = nullptr;
        deadline_.cancel();
        resolver_.cancel();
        // The answer is complete (or abandoned): no TLS goodbye, just drop the connection.
        error_code ignored;
        beast::get_lowest_layer(stream_).socket().close(ignored);
        completion(std::move(result));
    }

    SSL* sslHandle() { return sslOf(stream_); }

    const std::shared_ptr<QueueState> queue_;  // first: the context outlives the objects below
    Stream stream_;
    tcp::resolver resolver_;
    net::steady_timer deadline_;
    const ParsedUrl url_;
    const NetTuning tuning_;
    FetchCompletion completion_;  // empty once completed
    http::request<http::string_body> request_;
    beast::flat_buffer buffer_;
    http::response<http::string_body> response_;
};

void fetchOn(const std::shared_ptr<QueueState>& queue, const NetTuning& tuning, const HTTPRequest& request,
             FetchCompletion completion) {
    const auto url = parseUrl(request.url);
    if (!url || (url->scheme != "http" && url->scheme != "https")) {
        completion(tl::unexpected(Error{LinkError{"indirizzo non valido", std::nullopt, false}}));
        return;
    }
    // Validate what Beast would otherwise throw on, or send as more than one header: a method,
    // header name or value that cannot go on the wire as it is.
    bool valid = isHttpToken(request.method);
    for (const auto& [name, value] : request.headers) valid = valid && isHttpToken(name) && isHeaderValue(value);
    if (!valid) {
        completion(tl::unexpected(Error{LinkError{"richiesta non valida", std::nullopt, false}}));
        return;
    }
    // Once the queue stopped the request is dropped with its completion, which never runs.
    queue->post([queue, tuning, request, url = *url, completion = std::move(completion)]() mutable {
        if (url.secure()) {
            std::make_shared<FetchOperation<true>>(queue, url, tuning, std::move(completion))->start(request);
        } else {
            std::make_shared<FetchOperation<false>>(queue, url, tuning, std::move(completion))->start(request);
        }
    });
}

}  // namespace

void httpFetch(const HTTPRequest& request, FetchCompletion completion) {
    static const NetTuning tuning;
    fetchOn(coreQueue().state(), tuning, request, std::move(completion));
}

FetchFunction makeFetch(CoreQueue& queue, NetTuning tuning) {
    return [queue = queue.state(), tuning = std::move(tuning)](const HTTPRequest& request, FetchCompletion completion) {
        fetchOn(queue, tuning, request, std::move(completion));
    };
}

}  // namespace quendra
