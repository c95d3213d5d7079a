// The program's one connection to the sound server (PulseAudio, or PipeWire through
// pipewire-pulse): the device and application lists, the defaults, change notifications and the
// watching of a listened application's processes. Plain C++: no sound-server types here.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/base/runtime.h"
#include "sound/audio_types.h"

namespace quendra {

using PostFunction = std::function<void(std::function<void()>)>;

struct SoundServerOptions {
    // Runs a task on the main (UI) thread; change notifications and "application ended" arrive
    // through it.
    PostFunction postToMain;
    Logger logger;
    // The crash guard executable (ombrix-sound-guard). Empty: the one next to the running
    // program. When it cannot be started the layer still works and says so in the log.
    std::string guardPath;
};

class SoundServer {
public:
    struct Impl;

    // Starts the layer's render thread, repairs what an earlier run that died left behind (capture
    // sinks and the streams moved onto them), starts the crash guard and connects. A server that
    // is not there yet is waited for: the lists stay empty and a notification follows the
    // connection. Main thread.
    static std::shared_ptr<SoundServer> create(SoundServerOptions options);
    ~SoundServer();
    SoundServer(const SoundServer&) = delete;
    SoundServer& operator=(const SoundServer&) = delete;

    // Any thread: read from the last complete picture of the server, never blocking on it.
    bool connected() const;
    // Sinks, in server order, without the program's capture sinks.
    std::vector<AudioDevice> outputDevices() const;
    // Other clients' playback streams, in server order; the program's own are left out.
    std::vector<AudioProcess> audioProcesses() const;
    // The sink named `uid`; none for "" or when there is no such sink.
    std::optional<AudioDevice> device(const std::string& uid) const;
    std::optional<AudioDevice> defaultSink() const;
    // The default source's name ("" when unknown).
    std::string defaultSourceName() const;
    // True when the default source is `speakSinkUid`'s monitor or a source fed by that monitor
    // (such as "Ombrix Microfono"): a speak graph would then record its own output.
    bool defaultInputIsSpeakDevice(const std::string& speakSinkUid) const;

    // Main thread. `handler` runs on the main thread after each change of the lists, the defaults
    // or the connection. Returns a key for removeChangeHandler.
    int addChangeHandler(std::function<void()> handler);
    void removeChangeHandler(int key);

    // Main thread. Waits until the picture reflects the server as it is now (every change made
    // before the call is in it); false after `timeoutMs` or when not connected.
    bool sync(double timeoutMs = 5000);

    // Main thread. Watches the processes that played for `appId` (from the streams' process ids,
    // including streams that appear later) and calls `onEnded` on the main thread once all of
    // them have ended. One watch at a time; a new call replaces the old one. Nothing is polled:
    // the kernel reports each exit (pidfd).
    void watchApplication(const std::string& appId, std::function<void()> onEnded);
    void stopWatchingApplication();

    Impl& impl() { return *impl_; }

private:
    explicit SoundServer(std::shared_ptr<Impl> impl);
    std::shared_ptr<Impl> impl_;
};

}  // namespace quendra
