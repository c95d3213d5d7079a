// TLS work on the process-wide core queue, left as the application leaves it at exit: this
// binary's check is the leak checker of the sanitized build, which fails the process when the
// core thread's OpenSSL state or a TLS stream still pending in the queue is not released at exit.
#include <chrono>
#include <future>
#include <memory>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/steady_timer.hpp>
#include <gtest/gtest.h>

#include "platform/net/core_queue.h"
#include "platform/net/tls.h"

namespace quendra {
namespace {

// What a connection waiting for its peer amounts to: a TLS stream owned by its pending step.
struct PendingTls {
    explicit PendingTls(boost::asio::io_context& context)
        : stream(context, tls::clientContext()), timer(context, std::chrono::hours(1)) {}
    boost::asio::ssl::stream<boost::asio::ip::tcp::socket> stream;
    boost::asio::steady_timer timer;
};

TEST(CoreQueueAtExit, ReleasesTlsStateMadeOnTheQueue) {
    std::promise<bool> made;
    coreQueue().post([&made] {
        auto pending = std::make_shared<PendingTls>(coreQueue().context());
        pending->timer.async_wait([pending](const boost::system::error_code&) {});
        made.set_value(tls::prepareClient(pending->stream.native_handle(), "example.com"));
    });
    EXPECT_TRUE(made.get_future().get());
}

}  // namespace
}  // namespace quendra
