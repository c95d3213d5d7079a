#include "sound/guard.h"

#include <fcntl.h>
#include <pulse/pulseaudio.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <sstream>
#include <vector>

#include "sound/pulse_internal.h"

extern char** environ;

namespace quendra {

namespace {

using Clock = std::chrono::steady_clock;

// A blocking connection on a plain pa_mainloop, for the guard and the start-up repair.
class OneShot {
public:
    explicit OneShot(double timeoutMs)
        : deadline_(Clock::now() + std::chrono::microseconds(static_cast<long long>(timeoutMs * 1000))) {
        loop_ = pa_mainloop_new();
        pa_proplist* props = pa_proplist_new();
        pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, "Ombrix");
        pa_proplist_sets(props, PA_PROP_APPLICATION_ID, "ombrix");
        context_ = pa_context_new_with_proplist(pa_mainloop_get_api(loop_), "Ombrix (riparazione)", props);
        pa_proplist_free(props);
    }
    ~OneShot() {
        if (context_) {
            pa_context_disconnect(context_);
            pa_context_unref(context_);
        }
        pa_mainloop_free(loop_);
    }
    bool connect() {
        // libpulse gives no context when it cannot even make one (no memory pool, say).
        if (!context_) return false;
        if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) return false;
        return runUntil([&] {
                   auto s = pa_context_get_state(context_);
                   return s == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(s);
               }) &&
               pa_context_get_state(context_) == PA_CONTEXT_READY;
    }
    template <typename Done>
    bool runUntil(Done done) {
        while (!done()) {
            if (Clock::now() >= deadline_) return false;
            if (pa_mainloop_prepare(loop_, 20'000) < 0 || pa_mainloop_poll(loop_) < 0 ||
                pa_mainloop_dispatch(loop_) < 0)
                return false;
        }
        return true;
    }
    bool wait(pa_operation* op) {
        if (!op) return false;
        const bool ok = runUntil([&] { return pa_operation_get_state(op) != PA_OPERATION_RUNNING; });
        pa_operation_unref(op);
        return ok;
    }
    pa_context* context() { return context_; }

private:
    Clock::time_point deadline_;
    pa_mainloop* loop_;
    pa_context* context_;
};

bool processAlive(std::uint32_t pid) {
    if (pid == 0) return false;
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

}  // namespace

RepairReport repairLeftovers(RepairScope scope, const std::map<std::uint32_t, std::string>& origins,
                             double timeoutMs, std::uint32_t pid) {
    RepairReport report;
    OneShot conn(timeoutMs);
    if (!conn.connect()) return report;
    report.reached = true;

    struct Sink {
        std::uint32_t index;
        std::string name;
        std::uint32_t module;
        std::uint32_t ownerPid;
    };
    struct Data {
        std::string defaultSink;
        std::vector<Sink> sinks;
        std::vector<std::pair<std::uint32_t, std::uint32_t>> inputs;  // (sink input, sink)
    } data;
    conn.wait(pa_context_get_server_info(
        conn.context(),
        [](pa_context*, const pa_server_info* i, void* u) {
            if (i && i->default_sink_name) static_cast<Data*>(u)->defaultSink = i->default_sink_name;
        },
        &data));
    conn.wait(pa_context_get_sink_info_list(
        conn.context(),
        [](pa_context*, const pa_sink_info* i, int eol, void* u) {
            if (eol || !i) return;
            const char* owner = pa_proplist_gets(i->proplist, kOwnerPidProperty);
            static_cast<Data*>(u)->sinks.push_back(
                Sink{i->index, i->name ? i->name : "", i->owner_module,
                     owner ? static_cast<std::uint32_t>(std::strtoul(owner, nullptr, 10)) : 0});
        },
        &data));
    conn.wait(pa_context_get_sink_input_info_list(
        conn.context(),
        [](pa_context*, const pa_sink_input_info* i, int eol, void* u) {
            if (eol || !i) return;
            static_cast<Data*>(u)->inputs.emplace_back(i->index, i->sink);
        },
        &data));

    auto isTap = [](const std::string& name) { return name.rfind(kTapPrefix, 0) == 0; };
    auto exists = [&](const std::string& name) {
        for (auto& s : data.sinks)
            if (s.name == name) return true;
        return false;
    };
    // Where a stream goes when nothing better is known: the default sink, or any sink of the
    // user's when the default is itself one of ours.
    std::string fallback = data.defaultSink;
    if (fallback.empty() || isTap(fallback)) {
        fallback.clear();
        for (auto& s : data.sinks)
            if (!isTap(s.name)) {
                fallback = s.name;
                break;
            }
    }
    for (const Sink& sink : data.sinks) {
        if (!isTap(sink.name)) continue;
        const bool selected = scope == RepairScope::process
                                  ? sink.ownerPid == pid
                                  : sink.ownerPid != static_cast<std::uint32_t>(::getpid()) &&
                                        !processAlive(sink.ownerPid);
        if (!selected) continue;
        for (auto [input, on] : data.inputs) {
            if (on != sink.index) continue;
            std::string dest = fallback;
            if (auto it = origins.find(input);
                it != origins.end() && !it->second.empty() && it->second != data.defaultSink && exists(it->second) &&
                !isTap(it->second))
                dest = it->second;
            if (dest.empty()) continue;
            if (conn.wait(pa_context_move_sink_input_by_name(conn.context(), input, dest.c_str(), nullptr, nullptr)))
                ++report.streamsMoved;
        }
        if (sink.module != PA_INVALID_INDEX &&
            conn.wait(pa_context_unload_module(conn.context(), sink.module, nullptr, nullptr)))
            ++report.sinksRemoved;
    }
    return report;
}

int startGuard(const std::string& path, const Logger& logger) {
    std::string exe = path;
    if (exe.empty()) {
        char buf[PATH_MAX];
        ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
        if (n > 0) {
            std::string self(buf, static_cast<std::size_t>(n));
            exe = self.substr(0, self.rfind('/') + 1) + "ombrix-sound-guard";
        }
    }
    if (exe.empty() || ::access(exe.c_str(), X_OK) != 0) {
        logger.warn("suono: guardia di sicurezza non trovata (" + exe +
                    "): se il programma si interrompe durante l'ascolto, l'audio delle app resta deviato fino al "
                    "prossimo avvio");
        return -1;
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[0], 3);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // A process group of its own: a Ctrl-C or a group kill aimed at the program must not take the
    // guard with it.
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    const std::string parent = std::to_string(::getpid());
    std::vector<char*> argv{const_cast<char*>(exe.c_str()), const_cast<char*>(parent.c_str()), nullptr};
    pid_t child = 0;
    const int rc = posix_spawn(&child, exe.c_str(), &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(fds[0]);
    if (rc != 0) {
        ::close(fds[1]);
        logger.warn("suono: guardia di sicurezza non avviata: " + std::string(std::strerror(rc)));
        return -1;
    }
    return fds[1];
}

int runGuard(int fd, std::uint32_t parentPid) {
    ::signal(SIGINT, SIG_IGN);
    ::signal(SIGHUP, SIG_IGN);
    ::signal(SIGPIPE, SIG_IGN);
    std::map<std::uint32_t, std::string> origins;
    std::string pending;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        pending.append(buf, static_cast<std::size_t>(n));
        std::size_t nl;
        while ((nl = pending.find('\n')) != std::string::npos) {
            std::istringstream line(pending.substr(0, nl));
            pending.erase(0, nl + 1);
            std::string word;
            std::uint32_t input = 0;
            std::string sink;
            line >> word >> input >> sink;
            if (word == "origin") origins[input] = sink;
            if (word == "forget") origins.erase(input);
        }
    }
    // The program is gone (or closed the pipe on its way out, with nothing left to undo). A server
    // that went away took the sinks with it; give one that is busy a little time.
    repairLeftovers(RepairScope::process, origins, 5000, parentPid);
    return 0;
}

}  // namespace quendra
