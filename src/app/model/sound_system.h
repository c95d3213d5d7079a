// What the application model asks of the sound server: the devices the translated voice can go
// to, the applications that play, the defaults, and notifications when these change. The sound
// layer implements it over PulseAudio; tests use a fake.
//
// Threading: every call and every handler on the UI thread.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "sound/audio_types.h"

namespace quendra {

class SoundSystem {
public:
    virtual ~SoundSystem() = default;

    // The sinks, in the server's order; empty when the server does not answer.
    virtual std::vector<AudioDevice> outputDevices() = 0;
    // Playback streams of other clients, in the server's order; empty when the server does not
    // answer.
    virtual std::vector<AudioProcess> audioProcesses() = 0;
    // The sink named `uid`; none for an empty `uid` or when no sink has that name.
    virtual std::optional<AudioDevice> device(const std::string& uid) = 0;
    // The name of the server's default sink; "" when it cannot be read (never matches a device).
    virtual std::string defaultOutputUid() = 0;
    // Whether the server's default source records what `device` plays: its monitor, or a source
    // fed by that monitor (a remapped virtual microphone). False when it cannot be read.
    virtual bool defaultInputFedBy(const AudioDevice& device) = 0;
    // The display name of a running application with this id (which may be empty when it has
    // none), or none when no process of it runs.
    virtual std::optional<std::string> runningApplicationName(const std::string& appId) = 0;

    // Called after the default sink or source changed, or an output device came or went.
    // Registered once, for good.
    virtual void onDefaultDeviceChange(std::function<void()> handler) = 0;
    // Called with the id of an application whose last process ended ("" when it had none).
    // Registered once, for good.
    virtual void onApplicationEnded(std::function<void(const std::string& appId)> handler) = 0;
};

}  // namespace quendra
