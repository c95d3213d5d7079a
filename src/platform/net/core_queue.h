// The one serial execution context of the core: a boost::asio::io_context run by one thread named
// "quendra.core". Every scheduler block, web-socket callback and HTTP completion of the core runs
// there, which is why the core needs no locks.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

namespace quendra {

// What sockets, fetches and timers hold on to, so that they may outlive the CoreQueue that made
// them: the context stays alive while any of them does, and after `stop()` every post is dropped.
class QueueState {
public:
    QueueState();
    QueueState(const QueueState&) = delete;
    QueueState& operator=(const QueueState&) = delete;

    // Runs `task` later on the queue's thread, in posting order; once the queue stopped, `task` is
    // destroyed on the caller's thread instead and never runs. Any thread may call it.
    void post(std::function<void()> task);
    // True on the queue's own thread.
    bool isCurrent() const;
    // True once the queue stopped (or began to): nothing posted runs any more.
    bool stopped() const;

    boost::asio::io_context& context() { return context_; }

private:
    friend class CoreQueue;
    // io_context with its shutdown exposed: pending handlers are destroyed at stop rather than
    // with the context, which objects holding this state may keep alive for a while.
    struct Context : boost::asio::io_context {
        Context() : io_context(1) {}
        void dropPending() { shutdown(); }
    };

    void run();
    void stopAndDrop();

    Context context_;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
    mutable std::mutex mutex_;  // orders posts against stop
    bool stopped_ = false;
    std::atomic<std::thread::id> threadId_{};  // set by the thread itself, first thing
    std::thread thread_;
};

class CoreQueue {
public:
    // Starts the thread at once. Tests make their own instances; the application uses coreQueue().
    CoreQueue();
    // Stops the thread and drops work not yet run. Must not be called on the queue's own thread.
    // Sockets, fetches and timers made on the queue may outlive it: they hold its state.
    ~CoreQueue();
    // Stops the thread early, e.g. before static destruction; work still pending is destroyed here
    // (on the calling thread) and never runs, work posted later is dropped at once. Idempotent;
    // same rule as the destructor.
    void stop();
    CoreQueue(const CoreQueue&) = delete;
    CoreQueue& operator=(const CoreQueue&) = delete;

    // Runs `task` later on the queue's thread, in posting order. Any thread may call it. After
    // `stop()` the task is dropped.
    void post(std::function<void()> task) { state_->post(std::move(task)); }
    // True on the queue's own thread.
    bool isCurrent() const { return state_->isCurrent(); }

    boost::asio::io_context& context() { return state_->context(); }
    // For objects that post to the queue or keep I/O objects on its context beyond its lifetime.
    const std::shared_ptr<QueueState>& state() const { return state_; }

private:
    std::shared_ptr<QueueState> state_;
};

// The process-wide queue, created on first use and stopped at exit.
CoreQueue& coreQueue();

}  // namespace quendra
