#include "platform/net/core_queue.h"

#include <pthread.h>

#include <boost/asio/post.hpp>
#include <openssl/ssl.h>

#include "core/base/runtime.h"

namespace quendra {

CoreQueue::CoreQueue() : work_(boost::asio::make_work_guard(context_)) {
    thread_ = std::thread([this] {
        pthread_setname_np(pthread_self(), "quendra.core");
        context_.run();
    });
}

CoreQueue::~CoreQueue() { stop(); }

void CoreQueue::stop() {
    if (isCurrent()) fatal("la coda del nucleo non può fermarsi da sé", "platform/CoreQueue");
    if (!thread_.joinable()) return;
    work_.reset();
    context_.stop();
    thread_.join();
}

void CoreQueue::post(std::function<void()> task) {
    boost::asio::post(context_, std::move(task));
}

bool CoreQueue::isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }

CoreQueue& coreQueue() {
    // OpenSSL frees its global and per-thread state from an exit handler. Initialised before the
    // queue exists, that handler runs after the queue's destructor has stopped the thread and freed
    // its connections, not under them. (A thread's own state, its error queue and random
    // generators, is freed when the thread ends only until that handler has run.)
    static const bool tlsReady = OPENSSL_init_ssl(0, nullptr) == 1;
    static CoreQueue queue;
    (void)tlsReady;
    return queue;
}

}  // namespace quendra
