// The application model's sound interfaces bound to the sound layer.
//
// Threading: UI thread, like the model; the sound layer delivers its notifications there.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/model/audio_graphs.h"
#include "app/model/sound_system.h"
#include "sound/graphs.h"
#include "sound/sound_server.h"

namespace quendra {

// Who hears that the listened application has ended: the sound system's registered handler,
// armed by the listen graph for its target while it runs.
struct ApplicationEndedHandler {
    std::function<void(const std::string& appId)> handler;
};

class PulseSoundSystem final : public SoundSystem {
public:
    PulseSoundSystem(std::shared_ptr<SoundServer> server, std::shared_ptr<ApplicationEndedHandler> ended);
    ~PulseSoundSystem() override;

    std::vector<AudioDevice> outputDevices() override;
    std::vector<AudioProcess> audioProcesses() override;
    std::optional<AudioDevice> device(const std::string& uid) override;
    std::string defaultOutputUid() override;
    bool defaultInputFedBy(const AudioDevice& device) override;
    std::optional<std::string> runningApplicationName(const std::string& appId) override;
    // Only a change of the default sink or source is reported: streams coming and going change
    // the server's picture all the time and must not rebuild the graphs.
    void onDefaultDeviceChange(std::function<void()> handler) override;
    void onApplicationEnded(std::function<void(const std::string& appId)> handler) override;

private:
    std::shared_ptr<SoundServer> server_;
    std::shared_ptr<ApplicationEndedHandler> ended_;
    std::vector<int> changeKeys_;
};

class PulseListenGraph final : public ListenGraphLike {
public:
    PulseListenGraph(std::shared_ptr<SoundServer> server, std::shared_ptr<ApplicationEndedHandler> ended,
                     PostFunction postToCore, Logger logger);
    std::optional<SoundError> start(const std::string& target, const AudioPorts& ports, ChunkHandler onChunk,
                                    std::function<void()> onConfigChange) override;
    void stop() override;

private:
    std::shared_ptr<SoundServer> server_;
    std::shared_ptr<ApplicationEndedHandler> ended_;
    ListenGraph graph_;
};

class PulseSpeakGraph final : public SpeakGraphLike {
public:
    PulseSpeakGraph(std::shared_ptr<SoundServer> server, PostFunction postToCore, Logger logger);
    std::optional<SoundError> start(const AudioDevice& output, const AudioPorts& ports, ChunkHandler onChunk,
                                    std::function<void()> onConfigChange) override;
    void stop() override;

private:
    SpeakGraph graph_;
};

}  // namespace quendra
