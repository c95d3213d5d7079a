#include "e2e/ombrix_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

extern char** environ;

namespace quendra::test {
namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

int connectTo(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

std::unique_ptr<Ombrix> Ombrix::start(const std::map<std::string, std::string>& environment, std::string& error) {
    std::unique_ptr<Ombrix> ombrix(new Ombrix());
    char folder[] = "/tmp/ombrix-e2e.XXXXXX";
    if (::mkdtemp(folder) == nullptr) {
        error = "no scratch folder";
        return nullptr;
    }
    const std::string socketPath = std::string(folder) + "/control";
    ombrix->folder_ = folder;
    ombrix->errFile_ = std::string(folder) + "/stderr";

    std::map<std::string, std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const auto eq = entry.find('=');
        if (eq != std::string::npos) env[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    env["QT_QPA_PLATFORM"] = "offscreen";
    env["OMBRIX_CONTROL"] = socketPath;
    env["QUENDRA_DEBUG"] = "1";
    for (const auto& [key, value] : environment) env[key] = value;
    std::vector<std::string> entries;
    for (const auto& [key, value] : env) entries.push_back(key + "=" + value);
    std::vector<char*> envp;
    for (auto& entry : entries) envp.push_back(entry.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, ombrix->errFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::string exe = OMBRIX_EXECUTABLE;
    char* argv[] = {exe.data(), nullptr};
    const int spawned = posix_spawn(&ombrix->pid_, exe.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        error = "ombrix not started: " + std::string(std::strerror(spawned));
        return nullptr;
    }

    const auto begun = Clock::now();
    while ((ombrix->fd_ = connectTo(socketPath)) < 0) {
        int status = 0;
        if (::waitpid(ombrix->pid_, &status, WNOHANG) == ombrix->pid_) {
            ombrix->pid_ = -1;
            error = "ombrix ended before its channel opened:\n" + ombrix->standardError();
            return nullptr;
        }
        if (msSince(begun) > 60000) {
            error = "no control channel after 60 s:\n" + ombrix->standardError();
            return nullptr;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const Json watched = ombrix->request({{"op", "watch"}});
    if (!watched.value("ok", false)) {
        error = "watch refused: " + watched.dump();
        return nullptr;
    }
    return ombrix;
}

Ombrix::~Ombrix() {
    if (fd_ >= 0) ::close(fd_);
    if (pid_ > 0) kill9();
    std::error_code ignored;
    if (!folder_.empty()) std::filesystem::remove_all(folder_, ignored);
}

std::string Ombrix::standardError() const {
    std::ifstream in(errFile_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool Ombrix::readLine(std::string& line, double timeoutMs) {
    const auto begun = Clock::now();
    for (;;) {
        const auto newline = buffer_.find('\n');
        if (newline != std::string::npos) {
            line = buffer_.substr(0, newline);
            buffer_.erase(0, newline + 1);
            return true;
        }
        const double left = timeoutMs - msSince(begun);
        if (fd_ < 0 || left <= 0) return false;
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left) + 1) <= 0) continue;
        char chunk[65536];
        const ssize_t n = ::read(fd_, chunk, sizeof(chunk));
        if (n <= 0) {
            ::close(fd_);
            fd_ = -1;
            return false;
        }
        buffer_.append(chunk, static_cast<std::size_t>(n));
    }
}

void Ombrix::take(const Json& line) {
    if (line.contains("state") && line["state"].is_object()) state_ = line["state"];
}

Ombrix::Json Ombrix::request(Json request) {
    const int id = nextId_++;
    request["id"] = id;
    const std::string text = request.dump() + "\n";
    if (fd_ < 0 || ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(text.size())) {
        return {{"ok", false}, {"error", "channel closed"}};
    }
    std::string line;
    while (readLine(line, 30000)) {
        const Json answer = Json::parse(line, nullptr, false);
        take(answer);
        if (answer.is_object() && answer.contains("id") && answer["id"] == id) return answer;
    }
    return {{"ok", false}, {"error", "no answer"}};
}

bool Ombrix::waitFor(const Condition& condition, double timeoutMs) {
    const auto begun = Clock::now();
    std::string line;
    while (!(state_.is_object() && condition(state_))) {
        const double left = timeoutMs - msSince(begun);
        if (left <= 0) return false;
        if (readLine(line, left)) {
            take(Json::parse(line, nullptr, false));
        } else if (fd_ < 0) {
            return false;
        }
    }
    return true;
}

int Ombrix::waitExit(double timeoutMs) {
    const auto begun = Clock::now();
    while (pid_ > 0) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (msSince(begun) > timeoutMs) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return -1;
}

int Ombrix::quit() {
    (void)request({{"op", "quit"}});
    return waitExit(30000);
}

void Ombrix::kill9() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

}  // namespace quendra::test
