// How the core reads time and arms timers. The platform implements it on the core queue; tests use
// a manual clock.
#pragma once

#include <functional>
#include <memory>

namespace quendra {

class Cancellable {
public:
    virtual ~Cancellable() = default;
    // After this a block that has not run yet never runs. Idempotent.
    virtual void cancel() = 0;
};

class Scheduler {
public:
    virtual ~Scheduler() = default;
    // Milliseconds since 1970-01-01 UTC.
    virtual double nowMs() const = 0;
    // Runs `block` once, no sooner than `ms` from now, on the core queue. A negative or
    // non-finite delay counts as 0.
    virtual std::shared_ptr<Cancellable> after(double ms, std::function<void()> block) = 0;
};

}  // namespace quendra
