// Application capture: the Linux stand-in for a process tap. A null sink of the program's own
// ("quendra-tap-" + a fresh UUID, described "Cattura per la traduzione") receives the listened
// application's playback streams (for the whole computer: every other client's), which makes
// them silent on the user's output; its monitor is recorded and handed on. Streams that the
// application opens while capture runs are moved too (browsers open one per media element).
// `stop` moves every stream back where it came from without leaving a stored preference and
// unloads the sink; if the program dies first, the guard does it (sound/guard.h).
#pragma once

#include <tl/expected.hpp>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sound/audio_types.h"
#include "sound/sound_server.h"

namespace quendra {

class AppCapture {
public:
    struct Format {
        std::uint32_t channels = 0;  // 1..8
        double sampleRate = 0;       // Hz
        bool operator==(const Format&) const = default;
    };
    // Render thread: `samples` holds frames x channels interleaved floats, valid during the call.
    using OnAudio = std::function<void(const float* samples, std::size_t frames, std::uint32_t channels)>;

    explicit AppCapture(std::shared_ptr<SoundServer> server);
    ~AppCapture();  // stop()
    AppCapture(const AppCapture&) = delete;
    AppCapture& operator=(const AppCapture&) = delete;

    // Main thread. Creates the capture sink for `target` (an application id; "" for the whole
    // computer) and returns its format. Starts from stop(); a failure leaves nothing behind.
    [[nodiscard]] tl::expected<Format, TapError> prepare(const std::string& target);
    // Main thread. Starts recording the sink's monitor (onAudio on the render thread) and moves
    // the target's streams onto it, now and as they appear.
    [[nodiscard]] tl::expected<void, TapError> run(OnAudio onAudio);
    // Main thread. Moves the streams back and removes the sink. Safe at any time, repeatedly.
    void stop();

    // Main thread. The capture sink's name ("" when none) and the streams moved onto it so far.
    std::string sinkName() const;
    std::vector<std::uint32_t> movedStreams() const;

    struct State;

private:
    std::shared_ptr<SoundServer> server_;
    std::shared_ptr<State> state_;
};

}  // namespace quendra
