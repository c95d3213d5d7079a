// The real `ombrix` executable for end-to-end tests: started on the offscreen Qt platform with its
// control channel on a socket in a private folder, driven and watched through that channel.
// Runs inside tests/support/sound_with_server.sh, which gives it a private sound server and its
// own HOME and XDG folders.
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

namespace quendra::test {

class Ombrix {
public:
    using Json = nlohmann::json;
    using Condition = std::function<bool(const Json& state)>;

    // Starts the executable with `environment` added to this process's and connects; none (with
    // the reason in `error`) when it does not answer within 60 s.
    static std::unique_ptr<Ombrix> start(const std::map<std::string, std::string>& environment, std::string& error);
    // Kills the process if it still runs.
    ~Ombrix();
    Ombrix(const Ombrix&) = delete;
    Ombrix& operator=(const Ombrix&) = delete;

    // Sends a request and returns its answer ({"ok": false, "error": ...} when the channel is gone).
    Json request(Json request);
    // The latest state seen in an answer or event.
    const Json& state() const { return state_; }
    // Reads events until `condition` holds for the latest state or `timeoutMs` passes.
    bool waitFor(const Condition& condition, double timeoutMs = 60000);

    // "quit" and waits for the exit; the exit status, or -1 when it did not end within 30 s.
    int quit();
    // SIGKILL and waits.
    void kill9();
    pid_t pid() const { return pid_; }
    // What the process wrote to standard error so far.
    std::string standardError() const;

private:
    Ombrix() = default;
    bool readLine(std::string& line, double timeoutMs);
    void take(const Json& line);
    int waitExit(double timeoutMs);

    pid_t pid_ = -1;
    int fd_ = -1;
    std::string buffer_;
    std::string folder_;
    std::string errFile_;
    Json state_;
    int nextId_ = 1;
};

// Settings requests in the channel's form.
inline nlohmann::json setRequest(nlohmann::json settings) { return {{"op", "set"}, {"settings", std::move(settings)}}; }

}  // namespace quendra::test
