#include "app/sound_bindings.h"

namespace quendra {

PulseSoundSystem::PulseSoundSystem(std::shared_ptr<SoundServer> server, std::shared_ptr<ApplicationEndedHandler> ended)
    : server_(std::move(server)), ended_(std::move(ended)) {}

PulseSoundSystem::~PulseSoundSystem() {
    for (int key : changeKeys_) server_->removeChangeHandler(key);
}

std::vector<AudioDevice> PulseSoundSystem::outputDevices() { return server_->outputDevices(); }

std::vector<AudioProcess> PulseSoundSystem::audioProcesses() { return server_->audioProcesses(); }

std::optional<AudioDevice> PulseSoundSystem::device(const std::string& uid) { return server_->device(uid); }

std::string PulseSoundSystem::defaultOutputUid() {
    const auto sink = server_->defaultSink();
    return sink ? sink->uid : std::string();
}

bool PulseSoundSystem::defaultInputFedBy(const AudioDevice& device) {
    return server_->defaultInputIsSpeakDevice(device.uid);
}

std::optional<std::string> PulseSoundSystem::runningApplicationName(const std::string& appId) {
    // An application is known to run while one of its streams exists, playing or paused.
    for (const auto& process : server_->audioProcesses()) {
        if (process.appId == appId) return process.appName;
    }
    return std::nullopt;
}

void PulseSoundSystem::onDefaultDeviceChange(std::function<void()> handler) {
    // The output devices count too: the server tells a stream's end before the end of its
    // device, so whoever reacted to the stream read a list that still had the device.
    struct Defaults {
        std::string sink;
        std::string source;
        std::vector<std::string> outputs;
        bool operator==(const Defaults&) const = default;
    };
    auto read = [](SoundServer& server) {
        const auto sink = server.defaultSink();
        Defaults now{sink ? sink->uid : std::string(), server.defaultSourceName(), {}};
        for (const auto& device : server.outputDevices()) now.outputs.push_back(device.uid);
        return now;
    };
    auto last = std::make_shared<Defaults>(read(*server_));
    std::weak_ptr<SoundServer> weak = server_;
    changeKeys_.push_back(server_->addChangeHandler([weak, last, read, handler = std::move(handler)] {
        auto server = weak.lock();
        if (!server) return;
        Defaults now = read(*server);
        if (now == *last) return;
        *last = std::move(now);
        handler();
    }));
}

void PulseSoundSystem::onApplicationEnded(std::function<void(const std::string& appId)> handler) {
    ended_->handler = std::move(handler);
}

PulseListenGraph::PulseListenGraph(std::shared_ptr<SoundServer> server, std::shared_ptr<ApplicationEndedHandler> ended,
                                   PostFunction postToCore, Logger logger)
    : server_(server), ended_(std::move(ended)), graph_(std::move(server), std::move(postToCore), std::move(logger)) {}

std::optional<SoundError> PulseListenGraph::start(const std::string& target, const AudioPorts& ports,
                                                  ChunkHandler onChunk, std::function<void()> onConfigChange) {
    auto started = graph_.start(target, ports, std::move(onChunk), std::move(onConfigChange));
    if (!started) return started.error();
    if (!target.empty()) {
        server_->watchApplication(target, [ended = ended_, target] {
            if (ended->handler) ended->handler(target);
        });
    }
    return std::nullopt;
}

void PulseListenGraph::stop() {
    server_->stopWatchingApplication();
    graph_.stop();
}

PulseSpeakGraph::PulseSpeakGraph(std::shared_ptr<SoundServer> server, PostFunction postToCore, Logger logger)
    : graph_(std::move(server), std::move(postToCore), std::move(logger)) {}

std::optional<SoundError> PulseSpeakGraph::start(const AudioDevice& output, const AudioPorts& ports,
                                                 ChunkHandler onChunk, std::function<void()> onConfigChange) {
    auto started = graph_.start(output.uid, ports, std::move(onChunk), std::move(onConfigChange));
    if (!started) return started.error();
    return std::nullopt;
}

void PulseSpeakGraph::stop() { graph_.stop(); }

}  // namespace quendra
