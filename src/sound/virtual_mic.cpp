#include "sound/virtual_mic.h"

#include <algorithm>
#include <cctype>

#include "sound/pulse_internal.h"

namespace quendra {

namespace {

bool mentionsOmbrix(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text.find("ombrix") != std::string::npos;
}

bool anyOmbrixDevice(const ServerPicture& p) {
    for (auto& s : p.sinks)
        if (mentionsOmbrix(s.name) || mentionsOmbrix(s.description)) return true;
    for (auto& s : p.sources)
        if (mentionsOmbrix(s.name) || mentionsOmbrix(s.description)) return true;
    return false;
}

constexpr int maxAttempts = 3;  // creations tried on one connection

}  // namespace

std::shared_ptr<VirtualMicrophone> VirtualMicrophone::ensure(std::shared_ptr<SoundServer> server, Logger logger) {
    std::shared_ptr<VirtualMicrophone> mic(new VirtualMicrophone);
    mic->server_ = server;
    mic->logger_ = std::move(logger);
    (void)server->impl().sync(3000);
    // The first connection seen counts like any later one: the devices are made unless there.
    mic->onServerChange();
    mic->created_ = mic->madeOnConnection_;
    std::weak_ptr<VirtualMicrophone> weak = mic;
    mic->changeHandler_ = server->addChangeHandler([weak] {
        if (auto m = weak.lock()) m->onServerChange();
    });
    return mic;
}

bool VirtualMicrophone::createDevices() {
    SoundServer::Impl& impl = server_->impl();
    int error = 0;
    LoopLock lock(impl.loop);
    // A low priority so that the server never makes them the default devices.
    const std::uint32_t sink = loadModule(
        impl, "module-null-sink",
        std::string("sink_name=") + sinkName +
            " format=s16le rate=48000 channels=2 sink_properties=\"device.description='Ombrix Voce' "
            "priority.session=1 priority.driver=1\"",
        &error);
    const std::uint32_t source =
        sink == PA_INVALID_INDEX
            ? PA_INVALID_INDEX
            : loadModule(impl, "module-remap-source",
                         std::string("source_name=") + sourceName + " master=" + sinkName +
                             ".monitor source_properties=\"device.description='Ombrix Microfono' "
                             "priority.session=1 priority.driver=1\"",
                         &error);
    if (source == PA_INVALID_INDEX) {
        if (sink != PA_INVALID_INDEX) unloadModule(impl, sink);
        logger_.warn(std::string("suono: non riesco a creare il microfono virtuale «Ombrix Microfono»: ") +
                     pa_strerror(error));
        return false;
    }
    logger_.debug("suono: creati «Ombrix Voce» e «Ombrix Microfono»");
    return true;
}

// A server that restarts (or starts only after the program) comes back without the devices:
// while the user has not removed them, a call application must find its microphone again.
// Devices that disappear while the connection stays were removed on purpose and stay removed.
// A new connection is told by the picture's connection number, not by having seen the server
// go: on a busy main thread its loss and its return can both be over before this runs.
void VirtualMicrophone::onServerChange() {
    const ServerPicture p = server_->impl().snapshot();
    if (!p.connected) return;
    const bool present = anyOmbrixDevice(p);
    if (p.connection != connection_) {
        if (connection_ != 0 && !present && wanted_)
            logger_.debug("suono: il server audio è ripartito senza il microfono virtuale; lo ricreo");
        connection_ = p.connection;
        seenOnConnection_ = madeOnConnection_ = false;
        attemptsOnConnection_ = 0;
    }
    if (present) {
        seenOnConnection_ = true;
    } else if (seenOnConnection_) {
        wanted_ = false;
    } else if (wanted_ && !madeOnConnection_ && attemptsOnConnection_ < maxAttempts) {
        // A server still starting may refuse the modules: tried again at its next changes.
        ++attemptsOnConnection_;
        madeOnConnection_ = createDevices();
    }
    keepVolume();
}

VirtualMicrophone::~VirtualMicrophone() {
    if (changeHandler_) server_->removeChangeHandler(changeHandler_);
}

void VirtualMicrophone::keepVolume() {
    SoundServer::Impl& impl = server_->impl();
    const ServerPicture p = impl.snapshot();
    const SourceInfo* src = p.sourceByName(sourceName);
    if (!src || src->volume.channels == 0) return;
    bool norm = true;
    for (int c = 0; c < src->volume.channels; ++c) norm = norm && src->volume.values[c] == PA_VOLUME_NORM;
    if (norm) return;
    pa_cvolume full;
    pa_cvolume_set(&full, src->volume.channels, PA_VOLUME_NORM);
    {
        LoopLock lock(impl.loop);
        if (!impl.context) return;
        if (pa_operation* op = pa_context_set_source_volume_by_name(impl.context, sourceName, &full, nullptr, nullptr))
            pa_operation_unref(op);
    }
    if (!volumeLogged_) {
        volumeLogged_ = true;
        logger_.debug("suono: volume di «Ombrix Microfono» riportato al 100 % (un'app lo aveva cambiato)");
    }
}

bool VirtualMicrophone::remove() {
    wanted_ = false;
    SoundServer::Impl& impl = server_->impl();
    (void)impl.sync(3000);
    const ServerPicture p = impl.snapshot();
    std::vector<std::uint32_t> modules;
    // The source first: its recorders then move to the default source instead of dying with it.
    if (const SourceInfo* s = p.sourceByName(sourceName)) modules.push_back(s->ownerModule);
    if (const SinkInfo* s = p.sinkByName(sinkName)) modules.push_back(s->ownerModule);
    bool removed = false;
    LoopLock lock(impl.loop);
    for (std::uint32_t m : modules)
        if (m != PA_INVALID_INDEX) removed = unloadModule(impl, m) || removed;
    return removed;
}

}  // namespace quendra
