// The UI thread's event queue, as the application model needs it: run a task later, run one after
// a delay (cancellable), run one repeatedly. The executable binds it to the Qt main loop; tests to
// a manual clock.
#pragma once

#include <functional>
#include <memory>

#include "core/base/scheduler.h"

namespace quendra {

class MainQueue {
public:
    virtual ~MainQueue() = default;
    // Runs `task` on the UI thread after the current task, in posting order. Any thread may call.
    virtual void post(std::function<void()> task) = 0;
    // Runs `task` once on the UI thread, no sooner than `ms` from now. UI thread only.
    virtual std::shared_ptr<Cancellable> after(double ms, std::function<void()> task) = 0;
    // Runs `task` on the UI thread every `ms` until cancelled. UI thread only.
    virtual std::shared_ptr<Cancellable> every(double ms, std::function<void()> task) = 0;
};

}  // namespace quendra
