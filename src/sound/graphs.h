// The listen and speak graphs: our playback and record streams around the core's players, rings
// and gain ramps.
//
// Listen: the target application is captured (sound/capture.h) and replayed on the default sink
// through the `original` gain, next to the translation (24000 Hz mono, through `translated`); a
// mono mixdown of the capture goes to the model as 1600-sample chunks at 16000 Hz.
// Speak: the default source's first channel goes to the model the same way and, through a short
// ring and the `original` gain, to the chosen sink with the translation.
//
// Threads: start and stop on the main thread; onChunk on the core queue (through postToCore);
// onConfigChange on the main thread (through the server's postToMain); the stream callbacks on
// the render thread, where they only touch the players, rings, gains and statistics, which they
// share ownership of, so that no callback can outlive what it reads. Once stop() (or the
// destructor) has returned, onChunk is not called again, not even for blocks already posted.
#pragma once

#include <tl/expected.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/audio/audio_ports.h"
#include "core/base/runtime.h"
#include "sound/audio_types.h"
#include "sound/sound_server.h"

namespace quendra {

using OnChunk = std::function<void(std::vector<std::int16_t>)>;

// What passed through the listen graph, for its statistics line. Every access holds `lock`.
struct AudioStats {
    std::mutex lock;
    std::int64_t tapCalls = 0;
    std::int64_t tapFrames = 0;
    std::int64_t outFrames = 0;
    float tapPeak = 0;
};

class ListenGraph {
public:
    // `postToCore` runs a task on the core queue (quendra::coreQueue() in the program).
    ListenGraph(std::shared_ptr<SoundServer> server, PostFunction postToCore, Logger logger);
    ~ListenGraph();
    ListenGraph(const ListenGraph&) = delete;
    ListenGraph& operator=(const ListenGraph&) = delete;

    // Main thread. `target` is an application id, "" for the whole computer. Starts from stop();
    // a failure is logged ("ascolto: ERRORE all'avvio: ...") and leaves the graph stopped with
    // nothing rerouted.
    [[nodiscard]] tl::expected<void, SoundError> start(const std::string& target, AudioPorts ports, OnChunk onChunk,
                                                       std::function<void()> onConfigChange);
    // Main thread, never the core queue (it waits for a chunk being delivered there). Safe at
    // any time, repeatedly.
    void stop();
    bool running() const;
    // The capture sink of the running graph ("" when stopped).
    std::string captureSinkName() const;

    struct State;

private:
    std::shared_ptr<SoundServer> server_;
    std::shared_ptr<State> state_;
};

class SpeakGraph {
public:
    SpeakGraph(std::shared_ptr<SoundServer> server, PostFunction postToCore, Logger logger);
    ~SpeakGraph();
    SpeakGraph(const SpeakGraph&) = delete;
    SpeakGraph& operator=(const SpeakGraph&) = delete;

    // Main thread. `outputUid` is the chosen sink's name. Starts from stop(); a failure leaves
    // the graph stopped.
    [[nodiscard]] tl::expected<void, SoundError> start(const std::string& outputUid, AudioPorts ports, OnChunk onChunk,
                                                       std::function<void()> onConfigChange);
    // Main thread, never the core queue. Safe at any time, repeatedly.
    void stop();
    bool running() const;

    struct State;

private:
    std::shared_ptr<SoundServer> server_;
    std::shared_ptr<State> state_;
};

}  // namespace quendra
