#include "app/panel/qt_main_queue.h"

#include <QMetaObject>
#include <QPointer>
#include <QTimer>

#include <cmath>
#include <limits>

namespace quendra {

namespace {

int timerMs(double ms) {
    if (!std::isfinite(ms) || ms < 0) return 0;
    return ms > std::numeric_limits<int>::max() ? std::numeric_limits<int>::max() : static_cast<int>(std::ceil(ms));
}

// Stops its timer once cancelled; the timer is owned by the queue's context, so a cancellation
// after the context is gone does nothing.
class TimerHandle final : public Cancellable {
public:
    explicit TimerHandle(QTimer* timer) : timer_(timer) {}
    ~TimerHandle() override = default;
    void cancel() override {
        if (timer_) {
            timer_->stop();
            timer_->deleteLater();
            timer_.clear();
        }
    }

private:
    QPointer<QTimer> timer_;
};

}  // namespace

QtMainQueue::QtMainQueue(QObject* context) : context_(context) {}

QtMainQueue::~QtMainQueue() { *alive_ = false; }

void QtMainQueue::post(std::function<void()> task) {
    // A queued invocation on the context runs on its thread (the UI thread) after the current
    // event, in posting order; it is dropped if the context is destroyed first.
    QMetaObject::invokeMethod(
        context_,
        [alive = alive_, task = std::move(task)] {
            if (*alive) task();
        },
        Qt::QueuedConnection);
}

std::shared_ptr<Cancellable> QtMainQueue::after(double ms, std::function<void()> task) {
    auto* timer = new QTimer(context_);
    timer->setSingleShot(true);
    auto handle = std::make_shared<TimerHandle>(timer);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, task = std::move(task)] {
        timer->deleteLater();
        task();
    });
    timer->start(timerMs(ms));
    return handle;
}

std::shared_ptr<Cancellable> QtMainQueue::every(double ms, std::function<void()> task) {
    auto* timer = new QTimer(context_);
    auto handle = std::make_shared<TimerHandle>(timer);
    QObject::connect(timer, &QTimer::timeout, timer, std::move(task));
    timer->start(timerMs(ms));
    return handle;
}

}  // namespace quendra
