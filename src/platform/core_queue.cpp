#include "platform/core_queue.h"

#include <pthread.h>

#include <boost/asio/post.hpp>

#include "core/runtime.h"

namespace quendra {

CoreQueue::CoreQueue() : work_(boost::asio::make_work_guard(context_)) {
    thread_ = std::thread([this] {
        pthread_setname_np(pthread_self(), "quendra.core");
        context_.run();
    });
}

CoreQueue::~CoreQueue() {
    if (isCurrent()) fatal("la coda del nucleo non può fermarsi da sé", "platform/CoreQueue");
    work_.reset();
    context_.stop();
    thread_.join();
}

void CoreQueue::post(std::function<void()> task) {
    boost::asio::post(context_, std::move(task));
}

bool CoreQueue::isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }

CoreQueue& coreQueue() {
    static CoreQueue queue;
    return queue;
}

}  // namespace quendra
