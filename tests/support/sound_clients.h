// Other clients of the private sound server that tests/support/sound_with_server.sh started:
// players of real speech under a chosen application name and id, recorders of a sink's monitor,
// and what the server says about its streams and sinks (through pactl). Also a stand-in for the
// main thread that the test thread pumps while it waits.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "support/speech.h"

namespace quendra::test {

// "pulseaudio" or "pipewire" under the launcher; "" when the binary runs without it.
std::string soundServerKind();

// Runs pactl with `args` (a shell word list) and returns its standard output; none on failure.
std::optional<std::string> pactl(const std::string& args);

// Makes `name` the server's default sink ("sink") or source ("source") and waits until the server
// reports it. On PipeWire pactl only records the wish: WirePlumber picks the default a moment
// later, and on a loaded machine may settle on another device if it had not seen this one yet;
// then the wish is said again (three times at most). False if the server never took it.
bool setDefaultDevice(const std::string& kind, const std::string& name);

struct SinkInputRow {
    std::uint32_t index = 0;
    std::uint32_t sink = 0;
    std::string sinkName;
    std::string appName;
    std::string appId;
    bool corked = false;
};
std::vector<SinkInputRow> sinkInputs();
// name -> index of every sink.
std::vector<std::pair<std::string, std::uint32_t>> sinks();
std::optional<std::uint32_t> sinkIndex(const std::string& name);
bool anyTapSink();  // a sink whose name begins with "quendra-tap-"
std::vector<SinkInputRow> inputsOf(const std::string& appName);

// A client that plays `audio` (mono) over and over as one stream until destroyed.
class Player {
public:
    Player(const Audio& audio, const std::string& appName, const std::string& appId, const std::string& device = "");
    ~Player();
    Player(const Player&) = delete;
    Player& operator=(const Player&) = delete;
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    std::string file_;
};

// Plays a stereo stream with `left` on the first channel and `right` on the second.
class StereoPlayer {
public:
    StereoPlayer(const Audio& left, const Audio& right, const std::string& appName, const std::string& device);
    ~StereoPlayer();
    StereoPlayer(const StereoPlayer&) = delete;
    StereoPlayer& operator=(const StereoPlayer&) = delete;
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    std::string file_;
};

// Records a sink's monitor (or any source) at `rate` Hz, mono, from construction on. It asks for
// generous buffers so that a loaded machine does not make it drop data (the keepers hold the
// sinks' own latency low).
class Recorder {
public:
    explicit Recorder(const std::string& source, double rate = 16000);
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;
    // Everything recorded so far.
    std::vector<float> samples() const;
    double rate() const { return rate_; }

private:
    pid_t pid_ = -1;
    std::string file_;
    double rate_;
};

// A second private server of the same kind with no device at all, for as long as it lives.
class EmptyServer {
public:
    EmptyServer();
    ~EmptyServer();
    EmptyServer(const EmptyServer&) = delete;
    EmptyServer& operator=(const EmptyServer&) = delete;
    // Its address for PULSE_SERVER, once it answers ("" when it did not start).
    const std::string& address() const { return address_; }

private:
    pid_t pid_ = -1;
    std::string address_;
};

double rms(const std::vector<float>& samples, std::size_t from = 0);

// A main thread for the sound layer's notifications: tasks are queued from any thread and run on
// the test thread by pump() and waitUntil().
class TestMain {
public:
    std::function<void(std::function<void()>)> poster();
    void pump();
    // Pumps and checks `condition` until it holds or `timeoutMs` passes.
    bool waitUntil(const std::function<bool()>& condition, double timeoutMs = 20000);

private:
    std::mutex mutex_;
    std::deque<std::function<void()>> tasks_;
};

// Speech for the sound tests, made once per process.
const Audio& speechA();  // an English sentence
const Audio& speechB();  // a different Italian sentence

}  // namespace quendra::test
