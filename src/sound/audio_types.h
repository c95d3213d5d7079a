// The records the sound layer hands to the rest of the program: output devices, applications
// that play, and the two error records of capture and playback. Plain C++, no sound-server
// headers, so the application model can use them without linking the sound layer.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace quendra {

// A sink of the sound server.
struct AudioDevice {
    std::uint32_t id = 0;  // sink index; changes when the sink is recreated
    std::string uid;       // sink name, stable across restarts
    std::string name;      // what the user sees (the description), or `uid` when it has none
    bool operator==(const AudioDevice&) const = default;
};

// One playback stream of another client.
struct AudioProcess {
    std::uint32_t object = 0;  // sink-input index
    std::string appId;         // application.id, else application.process.binary, else application.name
    std::string appName;       // application.name, or `appId` when there is none
    bool playing = false;      // not corked
    bool isApp = false;        // a user-facing application, not a sound-server helper or event sound
    std::uint32_t processId = 0;  // application.process.id; 0 when the stream does not say
    bool operator==(const AudioProcess&) const = default;
};

// Failure of application capture; `message` is the complete Italian text for the user.
struct TapError {
    std::string message;
    bool operator==(const TapError&) const = default;
};

// Failure of a listen or speak graph; `message` is the complete Italian text for the user.
struct AudioError {
    std::string message;
    bool operator==(const AudioError&) const = default;
};

using SoundError = std::variant<AudioError, TapError>;

inline std::string audioErrorMessage(const SoundError& error) {
    return std::visit([](const auto& e) { return e.message; }, error);
}

}  // namespace quendra
