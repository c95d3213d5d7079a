// The application model's main queue on the Qt event loop of the UI thread.
//
// Threading: `post` from any thread; `after` and `every` on the UI thread; every task runs on the
// UI thread. Tasks still pending when the queue is destroyed never run.
#pragma once

#include <QObject>

#include <functional>
#include <memory>

#include "app/model/main_queue.h"

namespace quendra {

class QtMainQueue final : public MainQueue {
public:
    // `context` owns the timers and receives the posted tasks; it must live on the UI thread.
    explicit QtMainQueue(QObject* context);
    ~QtMainQueue() override;

    void post(std::function<void()> task) override;
    std::shared_ptr<Cancellable> after(double ms, std::function<void()> task) override;
    std::shared_ptr<Cancellable> every(double ms, std::function<void()> task) override;

private:
    QObject* context_;
    // Set false at destruction; tasks posted from other threads check it before running.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace quendra
