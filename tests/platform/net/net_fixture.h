// What the adapter tests share: one test CA per process, a core queue per test, running code on
// the queue and waiting for what it reports, with bounded waits only.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <dirent.h>

#include <gtest/gtest.h>

#include "platform/net/core_queue.h"
#include "support/peers.h"

namespace quendra::test {

inline constexpr auto waitLimit = std::chrono::seconds(20);

// Made once per process, trusted before any TLS context exists, removed at exit.
inline const TestCa& processCa() {
    static const std::unique_ptr<TestCa> ca = [] {
        auto made = TestCa::create();
        if (!made) {
            ADD_FAILURE() << made.error();
            std::abort();
        }
        (*made)->trustInThisProcess();
        return std::move(*made);
    }();
    return *ca;
}

// Runs `task` on the queue and waits for it; its result comes back to the test thread.
template <typename F>
auto onCore(CoreQueue& queue, F task) -> decltype(task()) {
    using R = decltype(task());
    auto promise = std::make_shared<std::promise<R>>();
    auto future = promise->get_future();
    queue.post([promise, task = std::move(task)]() mutable {
        if constexpr (std::is_void_v<R>) {
            task();
            promise->set_value();
        } else {
            promise->set_value(task());
        }
    });
    if (future.wait_for(waitLimit) != std::future_status::ready) {
        ADD_FAILURE() << "the core queue did not run the task in time";
        std::abort();  // a stuck queue would hang every later step
    }
    return future.get();
}

// A record written on the core thread and read by the test thread.
template <typename T>
class Shared {
public:
    void update(const std::function<void(T&)>& change) {
        {
            std::lock_guard lock(mutex_);
            change(value_);
        }
        changed_.notify_all();
    }
    // Waits until `done` holds (false when the wait limit passed first).
    bool waitUntil(const std::function<bool(const T&)>& done,
                   std::chrono::milliseconds limit = std::chrono::duration_cast<std::chrono::milliseconds>(waitLimit)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return done(value_); });
    }
    T get() const {
        std::lock_guard lock(mutex_);
        return value_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    T value_{};
};

// Open file descriptors of this process.
inline int openDescriptors() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr) ++count;
        closedir(dir);
    }
    return count - 3;  // ".", ".." and the directory's own descriptor
}

inline std::unique_ptr<PeerProcess> startPeer(const std::string& script, const std::vector<std::string>& args) {
    auto peer = PeerProcess::start(script, args);
    if (!peer) {
        ADD_FAILURE() << peer.error();
        return nullptr;
    }
    return std::move(*peer);
}

}  // namespace quendra::test
