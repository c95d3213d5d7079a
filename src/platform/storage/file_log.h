// The application's log file: one "HH:mm:ss.SSS message" line per call, appended on a thread of
// its own so that callers never wait for the disk.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace quendra {

class FileLog {
public:
    using Clock = std::function<std::chrono::system_clock::time_point()>;

    static constexpr std::string_view fileName = "Ombrix.log";
    // A file larger than this is deleted before the next line, so the log starts over.
    static constexpr std::uintmax_t maxBytes = 5'000'000;

    // Lines go to `folder`/Ombrix.log (folder created with its parents on first use). `clock`
    // stamps each line; it is called on the thread that calls `write`, so it must be thread-safe.
    explicit FileLog(std::filesystem::path folder, Clock clock = std::chrono::system_clock::now);
    // Writes every line already queued, then stops the log thread.
    ~FileLog();
    FileLog(const FileLog&) = delete;
    FileLog& operator=(const FileLog&) = delete;

    // $XDG_STATE_HOME/ombrix, by default ~/.local/state/ombrix.
    static std::filesystem::path defaultFolder();
    // The process-wide log in the default folder, created on first use.
    static FileLog& shared();

    // The line for `message` stamped with `time` in local time, line feed included.
    static std::string formatLine(std::chrono::system_clock::time_point time, const std::string& message);

    std::filesystem::path file() const { return folder_ / fileName; }

    // Stamps the line now and queues it; the thread named "ombrix.log" appends lines in the order
    // the calls arrive. Any thread; never blocks on input/output, never fails.
    void write(const std::string& message);

    // Returns once every line queued before the call has been written (or has failed to be).
    // Any thread but the log thread; for tests and shutdown.
    void waitUntilWritten();

private:
    void run();
    void append(const std::string& line);  // log thread only

    const std::filesystem::path folder_;
    const Clock clock_;

    std::mutex mutex_;
    std::condition_variable queued_;   // a line arrived or stop was asked
    std::condition_variable written_;  // `writtenCount_` moved
    std::deque<std::string> lines_;
    std::uint64_t queuedCount_ = 0;
    std::uint64_t writtenCount_ = 0;
    bool stopping_ = false;

    bool folderReady_ = false;  // log thread only
    std::thread thread_;        // last: starts once everything it uses exists
};

}  // namespace quendra
