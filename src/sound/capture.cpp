#include "sound/capture.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <set>

#include "sound/pulse_internal.h"
#include "sound/streams.h"

namespace quendra {

namespace {

std::string freshUuid() {
    std::ifstream in("/proc/sys/kernel/random/uuid");
    std::string uuid;
    std::getline(in, uuid);
    return uuid;
}

std::string errorText(int code) { return std::to_string(code); }

}  // namespace

// Everything the render thread touches is guarded by the loop lock. The record stream's callbacks
// reach this state through a bare pointer: stop() clears them under the loop lock, and the
// destructor stops first, so none runs once the state can go.
struct AppCapture::State {
    SoundServer::Impl* impl = nullptr;
    pa_context* context = nullptr;  // the connection the sink was made on
    std::string target;
    std::string sinkName;
    std::uint32_t module = PA_INVALID_INDEX;
    std::uint32_t sink = PA_INVALID_INDEX;
    Format format;
    pa_stream* record = nullptr;
    OnAudio onAudio;
    int watcher = 0;
    std::map<std::uint32_t, std::string> moved;  // sink input -> where it was ("" = the default)
    std::set<std::uint32_t> seen;                // never moved twice: the user may move one away

    // Render thread, loop lock: moves the target's new streams onto the sink.
    void follow(const ServerPicture& p) {
        if (sink == PA_INVALID_INDEX || context != impl->context) return;
        std::set<std::uint32_t> present;
        for (const auto& in : p.sinkInputs) {
            present.insert(in.index);
            if (seen.count(in.index) || in.client == p.ownClient || in.sink == sink) continue;
            if (in.pid == static_cast<std::uint32_t>(::getpid())) continue;
            if (!target.empty() && in.appId != target) continue;
            const SinkInfo* from = p.sinkByIndex(in.sink);
            // Not placed yet: pipewire-pulse shows a new stream on no sink until the session
            // manager has linked it. Taken once it is on its sink, or it would go back to the
            // default one instead of the device its application asked for.
            if (!from) continue;
            if (from->name.rfind(kTapPrefix, 0) == 0) continue;  // another run's capture
            seen.insert(in.index);
            const std::string origin = from->name != p.defaultSink ? from->name : "";
            moved[in.index] = origin;
            impl->tellGuard("origin " + std::to_string(in.index) + " " + (origin.empty() ? "-" : origin));
            if (pa_operation* op = pa_context_move_sink_input_by_index(impl->context, in.index, sink, nullptr, nullptr))
                pa_operation_unref(op);
        }
        for (auto it = seen.begin(); it != seen.end();) {
            if (!present.count(*it)) {
                moved.erase(*it);
                it = seen.erase(it);
            } else {
                ++it;
            }
        }
    }
};

AppCapture::AppCapture(std::shared_ptr<SoundServer> server)
    : server_(std::move(server)), state_(std::make_shared<State>()) {
    state_->impl = &server_->impl();
}

AppCapture::~AppCapture() { stop(); }

tl::expected<AppCapture::Format, TapError> AppCapture::prepare(const std::string& target) {
    stop();
    SoundServer::Impl& impl = server_->impl();
    const ServerPicture before = impl.snapshot();
    Format format{2, 48000};
    if (const SinkInfo* def = before.sinkByName(before.defaultSink)) {
        if (def->sampleSpec.rate > 0) format.sampleRate = def->sampleSpec.rate;
        if (def->sampleSpec.channels >= 1 && def->sampleSpec.channels <= 8) format.channels = def->sampleSpec.channels;
    }
    const std::string name = kTapPrefix + freshUuid();
    char args[512];
    std::snprintf(args, sizeof args,
                  "sink_name=%s rate=%u channels=%u format=float32le "
                  "sink_properties=\"device.description='%s' %s=%d\"",
                  name.c_str(), static_cast<unsigned>(format.sampleRate), format.channels, kTapDescription,
                  kOwnerPidProperty, static_cast<int>(::getpid()));
    int error = 0;
    std::uint32_t module = PA_INVALID_INDEX;
    pa_context* context = nullptr;
    {
        LoopLock lock(impl.loop);
        module = loadModule(impl, "module-null-sink", args, &error);
        context = impl.context;
    }
    if (module == PA_INVALID_INDEX) {
        return tl::unexpected(TapError{"Non riesco a catturare l'audio (errore " + errorText(error) +
                                       "). Controlla che il server audio (PipeWire o PulseAudio) sia in funzione."});
    }
    state_->context = context;
    state_->module = module;
    state_->sinkName = name;
    state_->target = target;
    // pipewire-pulse creates the sink after answering the load.
    const SinkInfo* sink = nullptr;
    ServerPicture p;
    for (int attempt = 0; attempt < 20 && !sink; ++attempt) {
        if (!impl.sync(2000)) break;
        p = impl.snapshot();
        sink = p.sinkByName(name);
        if (!sink) ::usleep(50'000);
    }
    if (!sink) {
        stop();
        return tl::unexpected(TapError{"Non riesco a preparare la cattura dell'audio (dispositivo di cattura, errore " +
                                       errorText(PA_ERR_NOENTITY) + ")."});
    }
    const pa_sample_spec sampleSpec = sink->sampleSpec;
    if (sampleSpec.rate == 0 || sampleSpec.channels < 1 || sampleSpec.channels > 8) {
        char text[200];
        std::snprintf(text, sizeof text, "Formato dell'audio catturato non previsto (%.1f Hz, %d canali, %d bit).",
                      static_cast<double>(sampleSpec.rate), static_cast<int>(sampleSpec.channels),
                      static_cast<int>(pa_sample_size(&sampleSpec) * 8));
        stop();
        return tl::unexpected(TapError{text});
    }
    state_->sink = sink->index;
    state_->format = Format{sampleSpec.channels, static_cast<double>(sampleSpec.rate)};
    return state_->format;
}

tl::expected<void, TapError> AppCapture::run(OnAudio onAudio) {
    SoundServer::Impl& impl = server_->impl();
    if (state_->sink == PA_INVALID_INDEX) return tl::unexpected(TapError{"Cattura non preparata."});
    LoopLock lock(impl.loop);
    State& s = *state_;
    if (!impl.context || impl.context != s.context) {
        return tl::unexpected(TapError{"Non riesco a leggere l'audio catturato (errore " +
                                       errorText(PA_ERR_CONNECTIONTERMINATED) + ")."});
    }
    pa_sample_spec sampleSpec{PA_SAMPLE_FLOAT32NE, static_cast<std::uint32_t>(s.format.sampleRate),
                        static_cast<std::uint8_t>(s.format.channels)};
    pa_proplist* props = pa_proplist_new();
    pa_proplist_sets(props, PA_PROP_MEDIA_NAME, kTapDescription);
    s.record = pa_stream_new_with_proplist(impl.context, kTapDescription, &sampleSpec, nullptr, props);
    pa_proplist_free(props);
    if (!s.record) {
        return tl::unexpected(
            TapError{"Non riesco a leggere l'audio catturato (errore " + errorText(pa_context_errno(impl.context)) + ")."});
    }
    s.onAudio = std::move(onAudio);
    pa_stream_set_state_callback(
        s.record, [](pa_stream*, void* u) { pa_threaded_mainloop_signal(static_cast<State*>(u)->impl->loop, 0); },
        state_.get());
    pa_stream_set_read_callback(
        s.record,
        [](pa_stream* stream, std::size_t, void* u) {
            const StreamCallbackScope scope;
            auto* st = static_cast<State*>(u);
            const void* data = nullptr;
            std::size_t bytes = 0;
            while (pa_stream_readable_size(stream) > 0) {
                if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) return;
                if (data && st->onAudio) {
                    const std::size_t frames = bytes / (sizeof(float) * st->format.channels);
                    if (frames > 0) st->onAudio(static_cast<const float*>(data), frames, st->format.channels);
                }
                pa_stream_drop(stream);
            }
        },
        state_.get());
    pa_buffer_attr attr;
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.tlength = static_cast<std::uint32_t>(-1);
    attr.prebuf = static_cast<std::uint32_t>(-1);
    attr.minreq = static_cast<std::uint32_t>(-1);
    attr.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(10 * PA_USEC_PER_MSEC, &sampleSpec));
    const std::string monitor = s.sinkName + ".monitor";
    // No automatic timing updates: nothing reads this stream's timing.
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_DONT_MOVE | PA_STREAM_ADJUST_LATENCY);
    int rc = pa_stream_connect_record(s.record, monitor.c_str(), &attr, flags);
    while (rc == 0 && pa_stream_get_state(s.record) == PA_STREAM_CREATING) pa_threaded_mainloop_wait(impl.loop);
    if (rc != 0 || pa_stream_get_state(s.record) != PA_STREAM_READY) {
        const int error = pa_context_errno(impl.context);
        pa_stream_set_state_callback(s.record, nullptr, nullptr);
        pa_stream_set_read_callback(s.record, nullptr, nullptr);
        pa_stream_disconnect(s.record);
        pa_stream_unref(s.record);
        s.record = nullptr;
        return tl::unexpected(TapError{"La cattura dell'audio non parte (errore " + errorText(error) + ")."});
    }
    std::weak_ptr<State> weak = state_;
    s.watcher = impl.addLoopWatcher([weak](const ServerPicture& p) {
        if (auto st = weak.lock()) st->follow(p);
    });
    s.follow(impl.snapshot());
    return {};
}

void AppCapture::stop() {
    SoundServer::Impl& impl = server_->impl();
    State& s = *state_;
    if (s.module == PA_INVALID_INDEX && !s.record && s.watcher == 0) return;
    {
        LoopLock lock(impl.loop);
        if (s.watcher) impl.removeLoopWatcher(s.watcher);
        s.watcher = 0;
        if (s.record) {
            pa_stream_set_state_callback(s.record, nullptr, nullptr);
            pa_stream_set_read_callback(s.record, nullptr, nullptr);
            pa_stream_disconnect(s.record);
            pa_stream_unref(s.record);
            s.record = nullptr;
        }
    }
    // After a reconnection the sink died with the old server; nothing to undo.
    const bool sameServer = [&] {
        LoopLock lock(impl.loop);
        return impl.context && impl.context == s.context;
    }();
    if (sameServer && s.module != PA_INVALID_INDEX) {
        impl.sync(2000);
        const ServerPicture p = impl.snapshot();
        std::string fallback = p.defaultSink;
        if (fallback.empty() || fallback.rfind(kTapPrefix, 0) == 0) {
            fallback.clear();
            for (const auto& sk : p.sinks)
                if (sk.name.rfind(kTapPrefix, 0) != 0) {
                    fallback = sk.name;
                    break;
                }
        }
        LoopLock lock(impl.loop);
        for (const auto& in : p.sinkInputs) {
            if (in.sink != s.sink) continue;
            // Back to the default sink (which clears the stream-restore preference the move to the
            // capture sink stored), or to the stream's own sink when that was not the default.
            std::string dest = fallback;
            if (auto it = s.moved.find(in.index); it != s.moved.end() && !it->second.empty() &&
                                                  it->second != p.defaultSink && p.sinkByName(it->second))
                dest = it->second;
            if (!dest.empty())
                impl.waitFor(pa_context_move_sink_input_by_name(impl.context, in.index, dest.c_str(), wakeLoop, impl.loop));
        }
        unloadModule(impl, s.module);
        for (auto& [index, origin] : s.moved) impl.tellGuard("forget " + std::to_string(index));
    }
    s.module = PA_INVALID_INDEX;
    s.sink = PA_INVALID_INDEX;
    s.sinkName.clear();
    s.moved.clear();
    s.seen.clear();
    s.onAudio = nullptr;
}

std::string AppCapture::sinkName() const { return state_->sinkName; }

std::vector<std::uint32_t> AppCapture::movedStreams() const {
    LoopLock lock(server_->impl().loop);
    std::vector<std::uint32_t> out;
    for (auto& [index, origin] : state_->moved) out.push_back(index);
    return out;
}

}  // namespace quendra
