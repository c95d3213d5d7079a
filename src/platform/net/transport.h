// The first steps of every client connection, shared by the web socket and the HTTP fetch: the
// connect-to route, name resolution, the TCP connect and, on a TLS stream, the host-name checks
// and the TLS handshake. Platform-internal; queue thread only.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <type_traits>

#include <boost/asio/error.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>

#include "platform/net/connect_to.h"
#include "platform/net/network.h"
#include "platform/net/tls.h"
#include "platform/net/url.h"

namespace quendra {

// Why the transport could not be made.
struct TransportFailure {
    enum class Kind {
        unusableHost,  // OpenSSL refused the host name for SNI or verification
        network,       // resolution, connect, or a handshake cut by the network
        tlsRefused,    // OpenSSL's own verdict: certificate, host name, protocol
    };
    Kind kind;
    std::string text;
};

// What the owner of a connection does at each step. Every function is called on the queue; the
// owner's functions keep it (and the stream and resolver it owns) alive until the chain ends.
struct TransportSteps {
    std::function<bool()> abandoned;  // the owner has ended: the chain stops where it stands
    std::function<void()> waiting;    // a step that waits begins (resolve, connect, TLS handshake)
    std::function<void(TransportFailure)> failed;
    std::function<void()> ready;  // connected, and for TLS streams handshaken
};

// The stream under a connection: TLS over TCP, or plain TCP.
template <bool Secure>
using TransportStream =
    std::conditional_t<Secure, boost::beast::ssl_stream<boost::beast::tcp_stream>, boost::beast::tcp_stream>;

namespace detail {

template <class Stream>
constexpr bool isTls = !std::is_same_v<Stream, boost::beast::tcp_stream>;

template <class Stream>
void afterConnect(Stream& stream, const std::shared_ptr<TransportSteps>& steps) {
    if constexpr (isTls<Stream>) {
        steps->waiting();
        stream.async_handshake(boost::asio::ssl::stream_base::client,
                               [&stream, steps](boost::system::error_code ec) {
                                   if (steps->abandoned()) return;
                                   if (!ec) return steps->ready();
                                   // OpenSSL's own errors (verification, protocol) stay whatever the
                                   // retry; a connection reset or cut during the handshake may not.
                                   const bool refused = ec.category() == boost::asio::error::get_ssl_category();
                                   steps->failed({refused ? TransportFailure::Kind::tlsRefused
                                                          : TransportFailure::Kind::network,
                                                  tls::errorText(ec, stream.native_handle())});
                               });
    } else {
        steps->ready();
    }
}

}  // namespace detail

// A stream on `context`; a TLS stream gets the process's client context.
template <class Stream>
Stream makeTransportStream(boost::asio::io_context& context) {
    if constexpr (detail::isTls<Stream>) {
        return Stream(context, tls::clientContext());
    } else {
        return Stream(context);
    }
}

// The OpenSSL connection of a TLS stream, for error texts; null for a plain one.
template <class Stream>
SSL* sslOf(Stream& stream) {
    if constexpr (detail::isTls<Stream>) {
        return stream.native_handle();
    } else {
        return nullptr;
    }
}

// Runs the steps for `url` on `stream` (a `beast::tcp_stream`, or a `beast::ssl_stream` over one)
// with `resolver`; ends in exactly one of `steps.failed` and `steps.ready`, unless abandoned.
template <class Stream>
void connectTransport(Stream& stream, boost::asio::ip::tcp::resolver& resolver, const ParsedUrl& url,
                      const NetTuning& tuning, TransportSteps stepsIn) {
    using boost::asio::ip::tcp;
    using boost::system::error_code;
    const auto steps = std::make_shared<TransportSteps>(std::move(stepsIn));
    if constexpr (detail::isTls<Stream>) {
        if (!tls::prepareClient(stream.native_handle(), url.host)) {
            steps->failed({TransportFailure::Kind::unusableHost,
                           "nome del server non utilizzabile per TLS: " + url.host});
            return;
        }
    }
    const auto rules = tuning.connectTo ? *tuning.connectTo : connectToFromEnvironment();
    const Endpoint target = routeConnection(rules, url.host, url.port);
    steps->waiting();
    resolver.async_resolve(
        target.host, std::to_string(target.port),
        [&stream, steps](error_code ec, tcp::resolver::results_type results) {
            if (steps->abandoned()) return;
            if (ec) return steps->failed({TransportFailure::Kind::network, ec.message()});
            steps->waiting();
            boost::beast::get_lowest_layer(stream).async_connect(
                results, [&stream, steps](error_code ec, const tcp::endpoint&) {
                    if (steps->abandoned()) return;
                    if (ec) return steps->failed({TransportFailure::Kind::network, ec.message()});
                    // Audio goes out as small frames every 100 ms: without this each waits for
                    // the peer's delayed acknowledgement (about 40 ms on Linux).
                    error_code ignored;
                    boost::beast::get_lowest_layer(stream).socket().set_option(tcp::no_delay(true), ignored);
                    detail::afterConnect(stream, steps);
                });
        });
}

}  // namespace quendra
