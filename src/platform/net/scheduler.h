// The core's clock and timers on the core queue.
#pragma once

#include <functional>
#include <memory>

#include "core/links/translator.h"
#include "platform/net/core_queue.h"

namespace quendra {

// `nowMs` is wall-clock time; `after` arms a steady timer on `queue`. Blocks run on the queue's
// thread. `after` and `cancel` may be called from any thread: the timer itself is armed and
// cancelled on the queue, and a cancel that happens before the block starts means it never runs.
// Once the queue stopped nothing fires; the scheduler may outlive the queue.
class AsioScheduler final : public Scheduler {
public:
    explicit AsioScheduler(CoreQueue& queue = coreQueue()) : queue_(queue.state()) {}

    double nowMs() const override;
    // Delay: negative or non-finite counts as 0; fractions of a millisecond are dropped.
    std::shared_ptr<Cancellable> after(double ms, std::function<void()> block) override;

private:
    std::shared_ptr<QueueState> queue_;
};

}  // namespace quendra
