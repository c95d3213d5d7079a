#include "platform/storage/file_log.h"

#include <cerrno>
#include <cstdio>
#include <ctime>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/brand.h"
#include "platform/storage/paths.h"

namespace quendra {

FileLog::FileLog(std::filesystem::path folder, Clock clock)
    : folder_(std::move(folder)), clock_(std::move(clock)), thread_([this] { run(); }) {}

FileLog::~FileLog() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    queued_.notify_one();
    thread_.join();
}

std::filesystem::path FileLog::defaultFolder() {
    return xdgBaseFolder("XDG_STATE_HOME", ".local/state") / Brand::applicationId;
}

FileLog& FileLog::shared() {
    static FileLog log(defaultFolder());
    return log;
}

std::string FileLog::formatLine(std::chrono::system_clock::time_point time, const std::string& message) {
    using namespace std::chrono;
    const auto ms = floor<milliseconds>(time.time_since_epoch());
    const auto seconds = floor<std::chrono::seconds>(ms);
    const std::time_t t = static_cast<std::time_t>(seconds.count());
    std::tm local{};
    if (::localtime_r(&t, &local) == nullptr) local = std::tm{};
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03d ", local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>((ms - seconds).count()));
    std::string line;
    line.reserve(13 + message.size() + 1);
    line += stamp;
    line += message;
    line += '\n';
    return line;
}

void FileLog::write(const std::string& message) {
    // The time of the call, not of the write.
    std::string line = formatLine(clock_(), message);
    {
        std::lock_guard lock(mutex_);
        lines_.push_back(std::move(line));
        ++queuedCount_;
    }
    queued_.notify_one();
}

void FileLog::waitUntilWritten() {
    std::unique_lock lock(mutex_);
    const std::uint64_t target = queuedCount_;
    written_.wait(lock, [&] { return writtenCount_ >= target; });
}

void FileLog::run() {
    ::pthread_setname_np(::pthread_self(), "ombrix.log");
    std::unique_lock lock(mutex_);
    for (;;) {
        queued_.wait(lock, [this] { return stopping_ || !lines_.empty(); });
        if (lines_.empty()) return;  // stopping, and everything is written
        std::string line = std::move(lines_.front());
        lines_.pop_front();
        lock.unlock();
        append(line);
        lock.lock();
        ++writtenCount_;
        written_.notify_all();
    }
}

void FileLog::append(const std::string& line) {
    // Keep trying to create the folder until it exists: it may become creatable later.
    if (!folderReady_) folderReady_ = !createPrivateFolders(folder_);

    const std::filesystem::path path = file();
    struct stat info{};
    if (::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        static_cast<std::uintmax_t>(info.st_size) > maxBytes) {
        ::unlink(path.c_str());  // start over; no older copy is kept
    }

    // O_NONBLOCK: something other than a file in its place must not hold up the log.
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0600);
    if (fd < 0) return;
    // The log may name the user's e-mail address: private even if it was created otherwise.
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && (info.st_mode & 07777) != 0600) ::fchmod(fd, 0600);
    std::size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(fd, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
}

}  // namespace quendra
