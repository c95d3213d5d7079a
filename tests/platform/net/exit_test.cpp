// TLS work on the process-wide core queue, left as the application leaves it at exit. The test
// checks at exit that the queue released what was still pending in it; the leak checker of the
// sanitized build also fails the process when the core thread's OpenSSL state is not released.
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>

#include <unistd.h>

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

// Set on the queue; read at exit, after the queue's thread has ended.
std::weak_ptr<PendingTls> pendingAtExit;
bool checkArmed = false;

// Registered before the queue exists, so it runs after the queue's destructor.
void checkReleasedAtExit() {
    if (!checkArmed) return;
    if (!pendingAtExit.expired()) {
        std::fprintf(stderr, "the core queue left its pending TLS work unreleased at exit\n");
        std::fflush(stderr);
        ::_exit(1);
    }
    std::fprintf(stderr, "pending TLS work released at exit\n");
}

TEST(CoreQueueAtExit, ReleasesTlsStateMadeOnTheQueue) {
    ASSERT_EQ(std::atexit(checkReleasedAtExit), 0);
    std::promise<bool> made;
    coreQueue().post([&made] {
        auto pending = std::make_shared<PendingTls>(coreQueue().context());
        pending->timer.async_wait([pending](const boost::system::error_code&) {});
        pendingAtExit = pending;
        made.set_value(tls::prepareClient(pending->stream.native_handle(), "example.com"));
    });
    EXPECT_TRUE(made.get_future().get());
    EXPECT_FALSE(pendingAtExit.expired());  // still waiting in the queue when the test ends
    checkArmed = true;
}

}  // namespace
}  // namespace quendra
