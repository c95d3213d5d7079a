// The core queue and AsioScheduler on a real thread.
#include "platform/net/scheduler.h"

#include <atomic>
#include <cmath>
#include <limits>
#include <stdexcept>

#include <pthread.h>

#include <gtest/gtest.h>

#include "net_fixture.h"

namespace quendra {
namespace {

using namespace std::chrono_literals;
using test::onCore;

class SchedulerTest : public ::testing::Test {
protected:
    std::unique_ptr<CoreQueue> queue = std::make_unique<CoreQueue>();
    std::shared_ptr<AsioScheduler> scheduler = std::make_shared<AsioScheduler>(*queue);
};

TEST_F(SchedulerTest, RunsPostedWorkInOrderOnItsNamedThread) {
    auto seen = std::make_shared<test::Shared<std::vector<int>>>();
    for (int i = 0; i < 100; ++i) {
        queue->post([seen, i] { seen->update([i](auto& v) { v.push_back(i); }); });
    }
    ASSERT_TRUE(seen->waitUntil([](const auto& v) { return v.size() == 100; }));
    for (int i = 0; i < 100; ++i) EXPECT_EQ(seen->get()[static_cast<size_t>(i)], i);
    const std::string name = onCore(*queue, [] {
        char buffer[32] = {};
        pthread_getname_np(pthread_self(), buffer, sizeof buffer);
        return std::string(buffer);
    });
    EXPECT_EQ(name, "quendra.core");
    EXPECT_FALSE(queue->isCurrent());
    EXPECT_TRUE(onCore(*queue, [&] { return queue->isCurrent(); }));
}

TEST_F(SchedulerTest, AThrowingHandlerIsLoggedAndTheQueueGoesOn) {
    testing::internal::CaptureStderr();
    queue->post([] { throw std::runtime_error("risposta rotta"); });
    queue->post([] { throw 7; });
    const bool ranAfter = onCore(*queue, [] { return true; });
    const std::string logged = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(ranAfter);
    EXPECT_NE(logged.find("risposta rotta"), std::string::npos) << logged;
    EXPECT_NE(logged.find("sconosciuto"), std::string::npos) << logged;
}

TEST_F(SchedulerTest, StopDropsPendingWorkAndLaterPostsAtOnce) {
    auto ran = std::make_shared<std::atomic<int>>(0);
    auto token = std::make_shared<int>(0);
    std::weak_ptr<int> watch = token;
    // The queue stays busy until stop() has begun, with work piled up behind it.
    auto* context = &queue->context();
    queue->post([context] {
        const auto until = std::chrono::steady_clock::now() + test::waitLimit;
        while (!context->stopped() && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(1ms);
    });
    queue->post([ran, token] { ++*ran; });
    token.reset();
    queue->stop();
    EXPECT_TRUE(watch.expired());  // destroyed at stop, not with the context
    EXPECT_EQ(*ran, 0);

    auto late = std::make_shared<int>(0);
    std::weak_ptr<int> lateWatch = late;
    queue->post([ran, late] { ++*ran; });
    late.reset();
    EXPECT_TRUE(lateWatch.expired());
    queue->stop();
    queue.reset();
    EXPECT_EQ(*ran, 0);
}

TEST_F(SchedulerTest, NowIsWallClockMilliseconds) {
    using namespace std::chrono;
    const double before = duration<double, std::milli>(system_clock::now().time_since_epoch()).count();
    const double now = scheduler->nowMs();
    const double after = duration<double, std::milli>(system_clock::now().time_since_epoch()).count();
    EXPECT_GE(now, before);
    EXPECT_LE(now, after);
}

TEST_F(SchedulerTest, DegenerateDelaysRunOnTheNextTurnInOrder) {
    auto order = std::make_shared<test::Shared<std::vector<std::string>>>();
    auto record = [order](std::string what) { return [order, what] { order->update([&](auto& v) { v.push_back(what); }); }; };
    onCore(*queue, [&] {
        scheduler->after(-5, record("negative"));
        scheduler->after(std::nan(""), record("nan"));
        scheduler->after(std::numeric_limits<double>::infinity(), record("infinite"));
        scheduler->after(0.9, record("fraction"));
        queue->post(record("posted"));
        order->update([](auto& v) { v.push_back("same turn"); });
    });
    ASSERT_TRUE(order->waitUntil([](const auto& v) { return v.size() == 6; }));
    EXPECT_EQ(order->get(), (std::vector<std::string>{"same turn", "negative", "nan", "infinite", "fraction", "posted"}));
}

TEST_F(SchedulerTest, WaitsAtLeastTheWholeMilliseconds) {
    auto firedAt = std::make_shared<test::Shared<std::optional<std::chrono::steady_clock::time_point>>>();
    const auto start = std::chrono::steady_clock::now();
    scheduler->after(30.9, [firedAt] { firedAt->update([](auto& t) { t = std::chrono::steady_clock::now(); }); });
    ASSERT_TRUE(firedAt->waitUntil([](const auto& t) { return t.has_value(); }));
    EXPECT_GE(*firedAt->get() - start, 30ms);
}

TEST_F(SchedulerTest, CancelBeforeFiringMeansNeverAndAfterOrTwiceDoesNothing) {
    auto runs = std::make_shared<test::Shared<std::vector<std::string>>>();
    auto record = [runs](std::string what) { return [runs, what] { runs->update([&](auto& v) { v.push_back(what); }); }; };
    // Cancelled on the queue in the same turn, and from this thread well before the due time.
    onCore(*queue, [&] {
        scheduler->after(0, record("cancelled now"))->cancel();
        scheduler->after(20, record("cancelled soon"))->cancel();
    });
    auto far = scheduler->after(60'000, record("cancelled far"));
    far->cancel();
    far->cancel();
    auto fired = scheduler->after(10, record("fired"));
    ASSERT_TRUE(runs->waitUntil([](const auto& v) { return !v.empty(); }));
    fired->cancel();
    // A marker after the cancelled timers' due times proves they stayed silent.
    auto marker = std::make_shared<test::Shared<bool>>();
    scheduler->after(60, [marker] { marker->update([](bool& b) { b = true; }); });
    ASSERT_TRUE(marker->waitUntil([](bool b) { return b; }));
    EXPECT_EQ(runs->get(), (std::vector<std::string>{"fired"}));
}

TEST_F(SchedulerTest, ACancelledTimerReleasesItsBlockAtOnce) {
    auto token = std::make_shared<int>(0);
    std::weak_ptr<int> watch = token;
    auto item = scheduler->after(600'000, [token] {});
    token.reset();
    EXPECT_FALSE(watch.expired());
    item->cancel();
    EXPECT_TRUE(watch.expired());
}

TEST_F(SchedulerTest, ArmsAndCancelsFromAnotherThreadWhileTheQueueFires) {
    // Short timers armed off the queue fire on it while this thread still arms and cancels more;
    // under ThreadSanitizer any timer touched by both threads shows up here.
    constexpr int count = 300;
    auto fired = std::make_shared<test::Shared<int>>();
    std::vector<std::shared_ptr<Cancellable>> kept;
    int expected = 0;
    for (int i = 0; i < count; ++i) {
        // Those cancelled are due far later, so that none can have run before its cancel.
        const bool cancelled = i % 4 == 0;
        auto item = scheduler->after(cancelled ? 60'000 : i % 3, [fired] { fired->update([](int& n) { ++n; }); });
        if (cancelled) {
            item->cancel();
        } else {
            ++expected;
            kept.push_back(std::move(item));
        }
    }
    ASSERT_TRUE(fired->waitUntil([&](int n) { return n >= expected; }));
    // One more turn of the queue after the last due time: nothing cancelled ran late.
    auto marker = std::make_shared<test::Shared<bool>>();
    scheduler->after(5, [marker] { marker->update([](bool& b) { b = true; }); });
    ASSERT_TRUE(marker->waitUntil([](bool b) { return b; }));
    EXPECT_EQ(fired->get(), expected);
}

TEST_F(SchedulerTest, OutlivesItsQueueAndStaysSilent) {
    auto runs = std::make_shared<std::atomic<int>>(0);
    auto pending = scheduler->after(60'000, [runs] { ++*runs; });
    queue.reset();
    // Arming, cancelling and dropping after the queue is gone do nothing, and crash nothing.
    auto late = scheduler->after(0, [runs] { ++*runs; });
    auto later = scheduler->after(10, [runs] { ++*runs; });
    pending->cancel();
    later->cancel();
    scheduler.reset();
    EXPECT_EQ(*runs, 0);
}

}  // namespace
}  // namespace quendra
