// Inside the sound layer: the libpulse threaded main loop and context behind SoundServer, the
// picture of the server it keeps, and helpers to wait for operations. Not for use outside
// src/sound.
//
// Threads: the main loop's thread is the layer's render thread; every libpulse callback runs
// there with the loop lock held. Other threads take the lock (LoopLock) before touching any
// libpulse object. Blocking waits (LoopLock + waitFor) are for the main thread only, never the
// render thread.
#pragma once

#include <pulse/pulseaudio.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "sound/sound_server.h"

namespace quendra {

inline constexpr const char* kTapPrefix = "quendra-tap-";
inline constexpr const char* kTapDescription = "Cattura per la traduzione";
// The property on every sink the program creates for capture: the creating process id, so that
// leftovers of a dead run can be told from the sinks of a run that is alive.
inline constexpr const char* kOwnerPidProperty = "ombrix.pid";

struct SinkInfo {
    std::uint32_t index = PA_INVALID_INDEX;
    std::string name;
    std::string description;
    std::uint32_t ownerModule = PA_INVALID_INDEX;
    std::string monitorSource;
    pa_sample_spec sampleSpec{};
    std::string ownerPid;  // kOwnerPidProperty
};

struct SourceInfo {
    std::uint32_t index = PA_INVALID_INDEX;
    std::string name;
    std::string description;
    std::uint32_t monitorOfSink = PA_INVALID_INDEX;
    std::uint32_t ownerModule = PA_INVALID_INDEX;
    std::string masterDevice;  // device.master_device: what a remap source is fed by
    pa_cvolume volume{};
};

struct SinkInputInfo {
    std::uint32_t index = PA_INVALID_INDEX;
    std::uint32_t client = PA_INVALID_INDEX;
    std::uint32_t sink = PA_INVALID_INDEX;
    bool corked = false;
    std::string appId;
    std::string appName;
    std::string role;
    std::uint32_t pid = 0;
};

struct ModuleInfo {
    std::uint32_t index = PA_INVALID_INDEX;
    std::string name;
    std::string argument;
};

struct ServerPicture {
    bool connected = false;
    std::uint64_t generation = 0;  // bumped by every published picture
    std::uint64_t connection = 0;  // which connection to a server it shows: bumped by each one
    std::uint32_t ownClient = PA_INVALID_INDEX;
    std::string defaultSink;
    std::string defaultSource;
    std::vector<SinkInfo> sinks;
    std::vector<SourceInfo> sources;
    std::vector<SinkInputInfo> sinkInputs;
    std::vector<ModuleInfo> modules;

    const SinkInfo* sinkByName(const std::string& name) const;
    const SinkInfo* sinkByIndex(std::uint32_t index) const;
    const SourceInfo* sourceByName(const std::string& name) const;
};

// appId as the lists show it: application.id, else application.process.binary, else
// application.name.
std::string appIdOf(pa_proplist* props);

class LoopLock {
public:
    explicit LoopLock(pa_threaded_mainloop* loop) : loop_(loop) { pa_threaded_mainloop_lock(loop_); }
    ~LoopLock() { pa_threaded_mainloop_unlock(loop_); }
    LoopLock(const LoopLock&) = delete;
    LoopLock& operator=(const LoopLock&) = delete;

private:
    pa_threaded_mainloop* loop_;
};

struct SoundServer::Impl : std::enable_shared_from_this<SoundServer::Impl> {
    SoundServerOptions options;
    pa_threaded_mainloop* loop = nullptr;
    pa_context* context = nullptr;  // loop lock; replaced on every reconnection
    pa_time_event* retry = nullptr;
    bool closing = false;
    int guardFd = -1;  // write end of the pipe to the crash guard; -1 without a guard
    std::mutex guardMutex;

    // Picture being built on the render thread.
    ServerPicture building;
    std::uint64_t connections = 0;  // loop lock: connections made so far
    int pendingQueries = 0;
    bool refreshAgain = false;

    // sync(): a refresh round issued after a request covers it.
    std::uint64_t requestedSeq = 0;  // loop lock
    std::uint64_t issuedSeq = 0;     // loop lock: requestedSeq when the running round began

    mutable std::mutex pictureMutex;
    ServerPicture picture;
    std::uint64_t coveredSeq = 0;  // pictureMutex
    std::condition_variable pictureCv;

    // Render thread (registered under the loop lock): called after each new picture.
    std::map<int, std::function<void(const ServerPicture&)>> loopWatchers;
    int nextKey = 1;
    // Main thread.
    std::map<int, std::function<void()>> changeHandlers;

    struct Watch;
    std::shared_ptr<Watch> watch;  // main thread
    int watchKey = 0;

    ~Impl();
    void start();
    void connect();       // loop lock
    void scheduleRetry();  // loop lock
    void refresh();        // loop lock
    void publish();        // loop lock
    void notifyMain();

    // Loop lock held, main thread: waits until `op` is done; false when it was cancelled or the
    // connection failed meanwhile. Takes ownership of `op` (null is false).
    bool waitFor(pa_operation* op);
    // Copy of the current picture.
    ServerPicture snapshot() const;
    // Main thread: waits until the picture is at least as new as the server now is.
    bool sync(double timeoutMs);
    // Tells the crash guard about a capture sink or a moved stream (one line each, see guard).
    void tellGuard(const std::string& line);
    int addLoopWatcher(std::function<void(const ServerPicture&)> watcher);  // loop lock
    void removeLoopWatcher(int key);                                        // loop lock
};

// A success callback that only wakes the waiting thread; userdata is the pa_threaded_mainloop.
inline void wakeLoop(pa_context*, int, void* loop) {
    pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
}

// Loads a module and returns its index (PA_INVALID_INDEX on failure; `error` gets the
// server's error code). Main thread, loop lock held.
std::uint32_t loadModule(SoundServer::Impl& impl, const std::string& name, const std::string& argument,
                         int* error);
bool unloadModule(SoundServer::Impl& impl, std::uint32_t index);

}  // namespace quendra
