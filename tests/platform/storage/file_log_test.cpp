#include "platform/storage/file_log.h"

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <vector>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quendra {
namespace {

namespace fs = std::filesystem;
using std::chrono::system_clock;

// The instant that reads as the given local time of day on 2026-03-14.
system_clock::time_point localTime(int hour, int minute, int second, int millisecond) {
    std::tm tm{};
    tm.tm_year = 2026 - 1900;
    tm.tm_mon = 2;
    tm.tm_mday = 14;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    return system_clock::from_time_t(std::mktime(&tm)) + std::chrono::milliseconds(millisecond);
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

class FileLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "ombrix-log.XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root = pattern;
    }
    void TearDown() override { fs::remove_all(root); }

    fs::path root;
    std::atomic<std::int64_t> nowMs{0};
    FileLog::Clock clock = [this] { return system_clock::time_point(std::chrono::milliseconds(nowMs.load())); };
};

TEST(FileLogFormatTest, LocalTimeOfDayWithMilliseconds) {
    struct Case {
        system_clock::time_point time;
        const char* line;
    };
    const Case cases[] = {
        {localTime(9, 5, 3, 7), "09:05:03.007 avvio\n"},
        {localTime(0, 0, 0, 0), "00:00:00.000 avvio\n"},
        {localTime(23, 59, 59, 999), "23:59:59.999 avvio\n"},
        {localTime(12, 30, 0, 999) + std::chrono::microseconds(999), "12:30:00.999 avvio\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(FileLog::formatLine(c.time, "avvio"), c.line);
    EXPECT_EQ(FileLog::formatLine(localTime(9, 5, 3, 7), ""), "09:05:03.007 \n");
}

TEST_F(FileLogTest, StampsTheTimeOfTheCallAndAppendsInOrder) {
    const auto at = [](system_clock::time_point t) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
    };
    const fs::path folder = root / "state" / "ombrix";  // created with its parents
    {
        FileLog log(folder, clock);
        nowMs = at(localTime(9, 5, 3, 7));
        log.write("ATTENZIONE primo");
        nowMs = at(localTime(9, 5, 4, 120));
        log.write("secondo: mario@example.com");
        log.waitUntilWritten();
        EXPECT_EQ(readFile(log.file()), "09:05:03.007 ATTENZIONE primo\n09:05:04.120 secondo: mario@example.com\n");
        struct stat info{};
        ASSERT_EQ(::stat(log.file().c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0600u);
        EXPECT_EQ(log.file().filename(), "Ombrix.log");
    }
    {
        FileLog again(folder, clock);  // a later run appends to the same file
        again.write("terzo");
    }  // destruction writes what is queued
    EXPECT_EQ(lines(readFile(folder / "Ombrix.log")).size(), 3u);
}

TEST_F(FileLogTest, StartsOverOnlyAboveFiveMillionBytes) {
    struct Case {
        std::uintmax_t existing;
        bool startsOver;
    };
    const Case cases[] = {{4'999'999, false}, {5'000'000, false}, {5'000'001, true}, {9'000'000, true}};
    FileLog log(root, clock);
    const std::string line = FileLog::formatLine(clock(), "riga");
    for (const auto& c : cases) {
        fs::remove(log.file());
        { std::ofstream create(log.file()); }
        fs::resize_file(log.file(), c.existing);  // sparse: cheap at any size
        log.write("riga");
        log.waitUntilWritten();
        if (c.startsOver) {
            EXPECT_EQ(readFile(log.file()), line) << c.existing;
        } else {
            EXPECT_EQ(fs::file_size(log.file()), c.existing + line.size()) << c.existing;
        }
    }
}

TEST_F(FileLogTest, ExistingFileBecomesPrivate) {
    FileLog log(root, clock);
    { std::ofstream create(log.file()); }
    fs::permissions(log.file(), fs::perms(0644));
    log.write("x");
    log.waitUntilWritten();
    EXPECT_EQ(fs::status(log.file()).permissions(), fs::perms(0600));
}

// Lines of concurrent writers never mix, none is lost, and each writer's lines keep its order.
TEST_F(FileLogTest, ConcurrentWritersKeepWholeLinesInCallOrder) {
    constexpr int kThreads = 4;
    constexpr int kLines = 500;
    {
        FileLog log(root, clock);
        std::vector<std::thread> writers;
        for (int t = 0; t < kThreads; ++t) {
            writers.emplace_back([&log, t] {
                for (int i = 0; i < kLines; ++i) {
                    log.write("w" + std::to_string(t) + " " + std::to_string(i) + " " + std::string(64, 'a' + t));
                }
            });
        }
        for (auto& w : writers) w.join();
        log.waitUntilWritten();
    }
    const auto all = lines(readFile(root / "Ombrix.log"));
    ASSERT_EQ(all.size(), static_cast<std::size_t>(kThreads * kLines));
    std::vector<int> next(kThreads, 0);
    for (const auto& line : all) {
        int t = -1, i = -1;
        char tail[128] = {};
        ASSERT_EQ(std::sscanf(line.c_str(), "%*s w%d %d %127s", &t, &i, tail), 3) << line;
        ASSERT_TRUE(t >= 0 && t < kThreads) << line;
        EXPECT_EQ(i, next[t]++) << line;
        EXPECT_EQ(std::string(tail), std::string(64, static_cast<char>('a' + t))) << line;
    }
}

TEST_F(FileLogTest, RunsOnAThreadNamedAfterTheQueue) {
    FileLog log(root, clock);
    log.write("x");
    log.waitUntilWritten();
    bool found = false;
    for (const auto& task : fs::directory_iterator("/proc/self/task")) {
        found = found || readFile(task.path() / "comm") == "ombrix.log\n";
    }
    EXPECT_TRUE(found);
}

TEST_F(FileLogTest, FolderThatCannotBeCreatedFailsSilently) {
    { std::ofstream blocker(root / "blocker"); }
    for (const fs::path& folder : {root / "blocker", root / "blocker" / "logs" / "ombrix"}) {
        FileLog log(folder, clock);
        for (int i = 0; i < 3; ++i) log.write("perso");
        log.waitUntilWritten();
        EXPECT_FALSE(fs::exists(log.file()));
    }
    EXPECT_EQ(fs::file_size(root / "blocker"), 0u);

    // Something other than a file in its place is not written through and holds nothing up.
    fs::create_directory(root / "Ombrix.log");
    FileLog log(root, clock);
    log.write("perso");
    log.waitUntilWritten();
    EXPECT_TRUE(fs::is_directory(root / "Ombrix.log"));
}

TEST(FileLogFolderTest, DefaultFolderFollowsXdgStateHome) {
    const char* savedXdg = std::getenv("XDG_STATE_HOME");
    const char* savedHome = std::getenv("HOME");
    const std::string xdgBackup = savedXdg ? savedXdg : "";
    const std::string homeBackup = savedHome ? savedHome : "";

    ::setenv("HOME", "/home/someone", 1);
    ::setenv("XDG_STATE_HOME", "/custom/state", 1);
    EXPECT_EQ(FileLog::defaultFolder(), fs::path("/custom/state/ombrix"));
    ::unsetenv("XDG_STATE_HOME");
    EXPECT_EQ(FileLog::defaultFolder(), fs::path("/home/someone/.local/state/ombrix"));

    savedXdg ? ::setenv("XDG_STATE_HOME", xdgBackup.c_str(), 1) : ::unsetenv("XDG_STATE_HOME");
    savedHome ? ::setenv("HOME", homeBackup.c_str(), 1) : ::unsetenv("HOME");
}

}  // namespace
}  // namespace quendra
