// The core queue and AsioScheduler on a real thread.
#include "platform/net/scheduler.h"

#include <cmath>
#include <limits>

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

}  // namespace
}  // namespace quendra
