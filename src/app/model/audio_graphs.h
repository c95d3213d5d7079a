// The two audio graphs as the application model drives them. A graph plays through the ports it
// is given and hands 16 kHz chunks of what it captures to `onChunk`; failures come back as
// values, never as exceptions.
//
// Threading: `start` and `stop` on the UI thread. `onChunk` is called on the core queue with 1600
// samples (100 ms at 16000 Hz, mono). `onConfigChange` is called on the UI thread, possibly from
// inside `start`, whenever the graph's devices changed under it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/audio/audio_ports.h"
#include "sound/audio_types.h"

namespace quendra {

using ChunkHandler = std::function<void(const std::vector<std::int16_t>& samples)>;

// Captures one application (or the whole computer) and plays it on the user's output through
// `ports.original`, with the translation from `ports.player` through `ports.translated`.
class ListenGraphLike {
public:
    virtual ~ListenGraphLike() = default;
    // `target` is an application id, "" for the whole computer. On failure the graph is stopped.
    [[nodiscard]] virtual std::optional<SoundError> start(const std::string& target, const AudioPorts& ports,
                                                          ChunkHandler onChunk,
                                                          std::function<void()> onConfigChange) = 0;
    // Tears everything down; safe at any time and repeatedly.
    virtual void stop() = 0;
};

// Records the microphone and plays the user's voice (`ports.original`) and the translation
// (`ports.player` through `ports.translated`) into `output`.
class SpeakGraphLike {
public:
    virtual ~SpeakGraphLike() = default;
    // On failure the graph is stopped.
    [[nodiscard]] virtual std::optional<SoundError> start(const AudioDevice& output, const AudioPorts& ports,
                                                          ChunkHandler onChunk,
                                                          std::function<void()> onConfigChange) = 0;
    virtual void stop() = 0;
};

}  // namespace quendra
