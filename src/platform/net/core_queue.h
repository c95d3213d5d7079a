// The one serial execution context of the core: a boost::asio::io_context run by one thread named
// "quendra.core". Every scheduler block, web-socket callback and HTTP completion of the core runs
// there, which is why the core needs no locks.
#pragma once

#include <functional>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

namespace quendra {

class CoreQueue {
public:
    // Starts the thread at once. Tests make their own instances; the application uses coreQueue().
    CoreQueue();
    // Stops the thread and drops work not yet run. Must not be called on the queue's own thread.
    // Objects bound to the context (sockets, timers) must be gone, or pending in it, by then.
    ~CoreQueue();
    // Stops the thread early, e.g. before static destruction; work still pending, and work posted
    // later, never runs and is dropped with the queue. Idempotent; same rule as the destructor.
    void stop();
    CoreQueue(const CoreQueue&) = delete;
    CoreQueue& operator=(const CoreQueue&) = delete;

    // Runs `task` later on the queue's thread, in posting order. Any thread may call it.
    void post(std::function<void()> task);
    // True on the queue's own thread.
    bool isCurrent() const;

    boost::asio::io_context& context() { return context_; }

private:
    boost::asio::io_context context_{1};
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
    std::thread thread_;
};

// The process-wide queue, created on first use and stopped at exit.
CoreQueue& coreQueue();

}  // namespace quendra
