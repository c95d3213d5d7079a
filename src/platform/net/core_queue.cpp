#include "platform/net/core_queue.h"

#include <cstdio>
#include <exception>

#include <pthread.h>

#include <boost/asio/post.hpp>
#include <openssl/ssl.h>

#include "core/base/runtime.h"

namespace quendra {

QueueState::QueueState() : work_(boost::asio::make_work_guard(context_)) {
    thread_ = std::thread([this] { run(); });
}

void QueueState::run() {
    threadId_ = std::this_thread::get_id();
    pthread_setname_np(pthread_self(), "quendra.core");
    // A handler that throws loses its own work, not the process: say what it was and go on, as a
    // server does with a failing request. run() resumes where it left off.
    for (;;) {
        try {
            context_.run();
            return;
        } catch (const std::exception& error) {
            std::fprintf(stderr, "quendra.core: eccezione non gestita: %s\n", error.what());
        } catch (...) {
            std::fprintf(stderr, "quendra.core: eccezione non gestita di tipo sconosciuto\n");
        }
    }
}

void QueueState::post(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        if (!stopped_) {
            boost::asio::post(context_, std::move(task));
            return;
        }
    }
    // Destroyed outside the lock: its captures may post again.
    task = nullptr;
}

bool QueueState::isCurrent() const { return std::this_thread::get_id() == threadId_.load(); }

bool QueueState::stopped() const {
    std::lock_guard lock(mutex_);
    return stopped_;
}

void QueueState::stopAndDrop() {
    if (isCurrent()) fatal("la coda del nucleo non può fermarsi da sé", "platform/CoreQueue");
    {
        std::lock_guard lock(mutex_);
        if (stopped_) return;
        stopped_ = true;
    }
    work_.reset();
    context_.stop();
    if (thread_.joinable()) thread_.join();
    // Pending handlers hold connections, which hold this state: destroy them now, or the cycle
    // would keep both alive for good. Their destructors' posts are dropped by then.
    context_.dropPending();
}

CoreQueue::CoreQueue() : state_(std::make_shared<QueueState>()) {}

CoreQueue::~CoreQueue() { stop(); }

void CoreQueue::stop() {
    const auto keep = state_;  // the state must not die inside its own shutdown
    keep->stopAndDrop();
}

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
