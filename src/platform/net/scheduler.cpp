#include "platform/net/scheduler.h"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <mutex>
#include <optional>

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

namespace quendra {

namespace {

// Anything longer is as good as never (about 30 years) and keeps the duration from overflowing.
constexpr double maxDelayMs = 1e12;

// The handle of one armed block. The lock only orders a cancel from a foreign thread against the
// firing on the queue; on the queue itself it is never contended.
class TimerItem final : public Cancellable {
public:
    explicit TimerItem(std::function<void()> block) : block_(std::move(block)) {}

    void cancel() override {
        std::function<void()> dropped;
        std::shared_ptr<boost::asio::steady_timer> timer;
        std::shared_ptr<QueueState> queue;
        {
            std::lock_guard lock(mutex_);
            dropped = std::move(block_);
            block_ = nullptr;
            timer = std::move(timer_);
            queue = queue_.lock();
        }
        // Wake the timer early so it releases this item now rather than at its due time. The
        // timer is only touched on the queue's thread.
        if (timer && queue) queue->post([timer] { timer->cancel(); });
    }

    // Takes the block out, leaving nothing to run a second time.
    std::function<void()> take() {
        std::lock_guard lock(mutex_);
        std::function<void()> block = std::move(block_);
        block_ = nullptr;
        timer_.reset();
        return block;
    }

    // On the queue. False when cancelled already: then there is nothing to arm.
    bool setTimer(std::shared_ptr<boost::asio::steady_timer> timer, const std::shared_ptr<QueueState>& queue) {
        std::lock_guard lock(mutex_);
        if (!block_) return false;
        timer_ = std::move(timer);
        queue_ = queue;
        return true;
    }

private:
    std::mutex mutex_;
    std::function<void()> block_;
    std::shared_ptr<boost::asio::steady_timer> timer_;
    std::weak_ptr<QueueState> queue_;  // weak: the timer's handler already holds this item
};

void fire(const std::shared_ptr<TimerItem>& item) {
    if (auto block = item->take()) block();
}

}  // namespace

double AsioScheduler::nowMs() const {
    using namespace std::chrono;
    return duration<double, std::milli>(system_clock::now().time_since_epoch()).count();
}

std::shared_ptr<Cancellable> AsioScheduler::after(double ms, std::function<void()> block) {
    auto item = std::make_shared<TimerItem>(std::move(block));
    const double delay = std::isfinite(ms) && ms >= 0 ? std::min(ms, maxDelayMs) : 0;
    const auto wholeMs = static_cast<std::int64_t>(delay);
    if (wholeMs == 0) {
        // No timer: keeps zero-delay blocks in posting order with other queued work.
        queue_->post([item] { fire(item); });
        return item;
    }
    // Armed on the queue, never on the caller's thread, so that arming and a cancel from the
    // queue never touch the timer at once.
    queue_->post([item, queue = queue_, wholeMs] {
        auto timer = std::make_shared<boost::asio::steady_timer>(queue->context(), std::chrono::milliseconds(wholeMs));
        if (!item->setTimer(timer, queue)) return;
        timer->async_wait([item, timer](const boost::system::error_code& error) {
            // Aborted only by cancel(), which already dropped the block.
            if (!error) fire(item);
        });
    });
    return item;
}

}  // namespace quendra
