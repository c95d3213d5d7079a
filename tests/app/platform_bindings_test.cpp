// The model on the real core queue, settings file and log file, with the exit sequence. The test
// thread plays the UI thread.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <mutex>
#include <sstream>

#include <stdlib.h>

#include <gtest/gtest.h>

#include "app/platform_bindings.h"
#include "app/model/model_fakes.h"

namespace quendra {
namespace {

namespace fs = std::filesystem;

// Tasks posted from any thread, run on the test thread when it asks. Timers never fire.
class ThreadedMainQueue : public MainQueue {
public:
    void post(std::function<void()> task) override {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
        posted_.notify_all();
    }
    std::shared_ptr<Cancellable> after(double, std::function<void()>) override { return std::make_shared<Never>(); }
    std::shared_ptr<Cancellable> every(double, std::function<void()>) override { return std::make_shared<Never>(); }

    // Runs posted tasks until `done` holds; false after `timeout` without it.
    bool runUntil(const std::function<bool()>& done, std::chrono::seconds timeout = std::chrono::seconds(20)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            std::unique_lock lock(mutex_);
            if (!posted_.wait_until(lock, deadline, [&] { return !tasks_.empty(); })) return false;
            auto task = std::move(tasks_.front());
            tasks_.pop_front();
            lock.unlock();
            task();
        }
        return true;
    }

private:
    struct Never : Cancellable {
        void cancel() override {}
    };
    std::mutex mutex_;
    std::condition_variable posted_;
    std::deque<std::function<void()>> tasks_;
};

class MemoryKeychain : public Keychain {
public:
    std::string read(const std::string&) override { return ""; }
    void write(const std::string&, const std::string&) override {}
};

std::string slurp(const fs::path& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(PlatformBindings, RunsOnTheRealAdaptersAndShutsDownCleanly) {
    std::string pattern = (fs::temp_directory_path() / "ombrix-model.XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    const fs::path folder = pattern;
    {
        std::ofstream(folder / "settings.json") << R"({"provider":"mock","listenTarget":"firefox"})";
    }

    CoreQueue queue;
    FileLog log(folder / "log");
    auto main = std::make_shared<ThreadedMainQueue>();
    auto sound = std::make_shared<test::FakeSoundSystem>();
    sound->devices = {{1, "usb", "Cuffie USB"}, {7, "ombrix_voce", "Ombrix Voce"}};
    sound->defaultOutput = "usb";
    auto listen = std::make_shared<test::FakeListenGraph>();
    auto speak = std::make_shared<test::FakeSpeakGraph>();

    auto deps = platformDependencies(queue, log, std::make_shared<MemoryKeychain>(), folder);
    deps.mainQueue = main;
    deps.sound = sound;
    deps.listenGraph = listen;
    deps.speakGraph = speak;
    auto model = AppModel::create(std::move(deps));
    EXPECT_EQ(model->settings().listenTarget, "firefox");
    EXPECT_NE(slurp(folder / "settings.json").find("\"speakOutputUID\":\"ombrix_voce\""), std::string::npos)
        << "the automatic choice was saved";

    model->start();
    ASSERT_TRUE(main->runUntil([&] { return model->status().speakState == LinkState::open; }))
        << "the engine's status comes back to the UI thread";
    EXPECT_EQ(listen->targets, std::vector<std::string>{"firefox"});

    shutDownApplication(*model, queue, log);
    EXPECT_FALSE(listen->running);
    EXPECT_FALSE(speak->running);
    EXPECT_EQ(model->engine(), nullptr);
    const auto lines = slurp(folder / "log" / "Ombrix.log");
    EXPECT_NE(lines.find(" motore avvio: modello mock\n"), std::string::npos);
    EXPECT_NE(lines.find(" motore stop\n"), std::string::npos);

    model->start();
    EXPECT_FALSE(model->running()) << "nothing more after the exit sequence";
    fs::remove_all(folder);
}

}  // namespace
}  // namespace quendra
