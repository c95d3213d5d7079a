#include "sound/graphs.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "core/audio/ring_buffer.h"
#include "sound/capture.h"
#include "sound/streams.h"

namespace quendra {

namespace {

constexpr std::size_t kMaxFrames = 8192;
constexpr double kTranslationRateHz = 24000;

std::string rateText(double hz) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.1f", hz);
    return buf;
}

std::string latencyText(const OurStream* s) {
    if (!s) return "?";
    const double ms = s->latencyMs();
    if (ms < 0) return "?";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.1f ms", ms);
    return buf;
}

// The translation stream: the player pulled through `gain`, 24000 Hz mono. Shared by both graphs.
std::unique_ptr<OurStream> makeTranslationNode(SoundServer::Impl& impl, const AudioPorts& ports, const std::string& device,
                                               bool dontMove, std::function<void()> onTrouble, std::string& error) {
    const double rate = ports.player ? ports.player->sampleRate() : kTranslationRateHz;
    ports.translated->setSampleRate(rate);
    auto player = ports.player;
    auto gain = ports.translated;
    return OurStream::playback(
        impl, "Traduzione", rate, 1, device, dontMove,
        [player, gain](float* into, std::size_t frames) {
            player->render(into, frames);
            gain->apply(into, frames);
        },
        std::move(onTrouble), error);
}

// Posts `onConfigChange` to the main thread from the render thread, once per burst.
// Held weakly by the posted task: a graph restarted or gone meanwhile drops it.
struct ConfigNotifier : std::enable_shared_from_this<ConfigNotifier> {
    PostFunction postToMain;
    std::function<void()> onMain;  // runs on the main thread
    std::atomic<bool> pending{false};
    void fire() {
        if (pending.exchange(true)) return;
        postToMain([weak = weak_from_this()] {
            auto self = weak.lock();
            if (!self) return;
            self->pending = false;
            if (self->onMain) self->onMain();
        });
    }
};

void logPulseLatencyOverride(const Logger& logger, const std::string& prefix) {
    if (const char* v = std::getenv("PULSE_LATENCY_MSEC"))
        logger.debug(prefix + "PULSE_LATENCY_MSEC=" + v + " sostituisce la latenza chiesta");
}

}  // namespace

// --- listen -------------------------------------------------------------------------------------

// What the listen graph's stream callbacks use. Each callback holds it (shared), so it lives as
// long as the last stream that can still call into it; the streams, and their callbacks with
// them, are destroyed on the main thread, so it is never released on the render thread.
// The render thread touches the ring, the gains, the statistics (their own locks) and the
// scratch buffers (one stream's callback only); the pump thread writes the statistics line.
struct ListenRender {
    ListenRender(std::uint32_t ch, double rateHz, AudioPorts p, Logger log)
        : channels(ch),
          ports(std::move(p)),
          logger(std::move(log)),
          ring(ch * static_cast<std::int64_t>(rateHz / 2), ch * static_cast<std::int64_t>(rateHz * 0.04),
               ch * static_cast<std::int64_t>(rateHz * 0.12)),
          scratch(static_cast<std::size_t>(ch) * kMaxFrames, 0.0f),
          gains(kMaxFrames, 0.0f) {}

    const std::uint32_t channels;
    const AudioPorts ports;
    const Logger logger;
    RingBuffer ring;
    std::vector<float> scratch;  // channels x kMaxFrames: the original stream's callback only
    std::vector<float> gains;    // kMaxFrames: the original stream's callback only
    AudioStats stats;
    std::atomic<bool> outputsOn{false};  // both our outputs play (main thread writes)
    // Last: destroyed (its thread joined) before everything its statistics tick reads.
    std::unique_ptr<FeedPump> pump;

    void capture(const float* samples, std::size_t frames, std::uint32_t ch);  // render thread
    void renderOriginal(float* into, std::size_t n);                            // render thread
    void statsLine();                                                           // pump thread
};

void ListenRender::capture(const float* samples, std::size_t frames, std::uint32_t ch) {
    float peak = 0;
    for (std::size_t i = 0; i < frames * ch; ++i) peak = std::max(peak, std::fabs(samples[i]));
    {
        std::lock_guard lock(stats.lock);
        stats.tapCalls += 1;
        stats.tapFrames += static_cast<std::int64_t>(frames);
        stats.tapPeak = std::max(stats.tapPeak, peak);
    }
    ring.write(samples, static_cast<std::int64_t>(frames * ch));
    pump->pushMixed(samples, frames, ch);
}

void ListenRender::renderOriginal(float* into, std::size_t n) {
    const std::size_t frames = std::min(n, kMaxFrames);
    {
        std::lock_guard lock(stats.lock);
        stats.outFrames += static_cast<std::int64_t>(frames);
    }
    ring.read(scratch.data(), static_cast<std::int64_t>(frames * channels));
    ports.original->gains(gains.data(), frames);
    for (std::size_t j = 0; j < frames; ++j)
        for (std::uint32_t c = 0; c < channels; ++c) into[j * channels + c] = scratch[j * channels + c] * gains[j];
    std::fill(into + frames * channels, into + n * channels, 0.0f);
}

void ListenRender::statsLine() {
    std::int64_t calls, frames, out;
    float peak;
    {
        std::lock_guard lock(stats.lock);
        calls = stats.tapCalls;
        frames = stats.tapFrames;
        out = stats.outFrames;
        peak = stats.tapPeak;
        stats.tapCalls = stats.tapFrames = stats.outFrames = 0;
        stats.tapPeak = 0;
    }
    const RingBuffer::Counters counters = ring.takeCounters();
    char line[512];
    std::snprintf(line, sizeof line,
                  "ascolto: cattura %d giri %d fotogrammi/s picco %.3f | cuffie %d fotogrammi/s | coda %d campioni, "
                  "vuota %d volte, piena %d volte | volume originale %.2f, traduzione %.2f | motore %s",
                  static_cast<int>(calls / 2), static_cast<int>(frames / 2), static_cast<double>(peak),
                  static_cast<int>(out / 2), static_cast<int>(ring.count()), static_cast<int>(counters.underruns),
                  static_cast<int>(counters.overflows), static_cast<double>(ports.original->value()),
                  static_cast<double>(ports.translated->value()), outputsOn ? "acceso" : "spento");
    logger.debug(line);
}

struct ListenGraph::State : std::enable_shared_from_this<ListenGraph::State> {
    std::shared_ptr<SoundServer> server;
    PostFunction postToCore;
    Logger logger;
    bool running = false;
    std::string target;
    AudioPorts ports;
    std::function<void()> onConfigChange;
    std::string outputDevice;
    std::uint32_t channels = 0;
    double rate = 0;

    std::unique_ptr<AppCapture> capture;
    std::shared_ptr<ListenRender> render;
    std::unique_ptr<OurStream> translation;
    std::unique_ptr<OurStream> original;
    std::shared_ptr<ConfigNotifier> notifier;
    int changeHandler = 0;

    bool makeOutputs(std::string& error);
    void onChange();
};

// Main thread: the translation and original streams on `outputDevice`.
bool ListenGraph::State::makeOutputs(std::string& error) {
    auto trouble = [n = notifier] { n->fire(); };
    translation = makeTranslationNode(server->impl(), ports, outputDevice, true, trouble, error);
    if (!translation) return false;
    if (render) {
        original = OurStream::playback(
            server->impl(), "Audio originale", rate, channels, outputDevice, true,
            [r = render](float* into, std::size_t n) { r->renderOriginal(into, n); }, trouble, error);
        if (!original) return false;
        render->outputsOn = true;
    }
    return true;
}

// Main thread: a stream of ours failed, moved or was suspended, the default sink changed or the
// server went away.
void ListenGraph::State::onChange() {
    if (!running) return;
    const bool dead = !translation || !translation->alive() || !original || !original->alive();
    if (dead && server->connected()) {
        if (render) render->outputsOn = false;
        translation.reset();
        original.reset();
        if (auto def = server->defaultSink()) outputDevice = def->uid;
        std::string error;
        if (makeOutputs(error)) {
            logger.debug("ascolto: uscita riaccesa dopo un cambio di configurazione");
        } else {
            logger.debug("ascolto: uscita NON riaccesa: " + error);
        }
    }
    if (onConfigChange) onConfigChange();
}

ListenGraph::ListenGraph(std::shared_ptr<SoundServer> server, PostFunction postToCore, Logger logger)
    : server_(server), state_(std::make_shared<State>()) {
    state_->server = std::move(server);
    state_->postToCore = std::move(postToCore);
    state_->logger = std::move(logger);
}

ListenGraph::~ListenGraph() { stop(); }

bool ListenGraph::running() const { return state_->running; }

std::string ListenGraph::captureSinkName() const { return state_->capture ? state_->capture->sinkName() : ""; }

tl::expected<void, SoundError> ListenGraph::start(const std::string& target, AudioPorts ports, OnChunk onChunk,
                                                  std::function<void()> onConfigChange) {
    stop();
    State& s = *state_;
    s.running = true;
    s.target = target;
    s.ports = ports;
    s.onConfigChange = std::move(onConfigChange);
    auto fail = [&](SoundError error) -> tl::expected<void, SoundError> {
        s.logger.debug("ascolto: ERRORE all'avvio: " + audioErrorMessage(error));
        stop();
        return tl::unexpected(std::move(error));
    };
    SoundServer::Impl& impl = server_->impl();
    (void)impl.sync(3000);

    // Configuration changes come from our streams (render thread) and from the server's
    // picture (main thread); both end in onChange on the main thread.
    std::weak_ptr<State> weak = state_;
    s.notifier = std::make_shared<ConfigNotifier>();
    s.notifier->postToMain = impl.options.postToMain;
    s.notifier->onMain = [weak] {
        if (auto st = weak.lock()) st->onChange();
    };

    auto def = server_->defaultSink();
    if (!def) return fail(AudioError{"Nessun dispositivo di uscita audio (cuffie o casse)."});
    s.outputDevice = def->uid;
    logPulseLatencyOverride(s.logger, "ascolto: ");

    std::string error;
    s.translation = makeTranslationNode(impl, ports, s.outputDevice, true, [n = s.notifier] { n->fire(); }, error);
    if (!s.translation) return fail(AudioError{"L'uscita audio non parte: " + error});

    std::uint32_t own = PA_INVALID_INDEX;
    {
        LoopLock lock(impl.loop);
        if (impl.context) own = pa_context_get_index(impl.context);
    }
    if (own == PA_INVALID_INDEX)
        return fail(AudioError{"Non riesco a riconoscere il processo dell'app nel server audio: cattura annullata."});

    if (!target.empty()) {
        bool found = false;
        for (auto& p : server_->audioProcesses()) found = found || p.appId == target;
        if (!found)
            return fail(AudioError{"L'app da ascoltare non è aperta o non ha ancora usato l'audio. Avvia la chiamata (o "
                                   "fai partire un suono) e riprova, oppure scegli «Tutto il computer»."});
    }

    s.capture = std::make_unique<AppCapture>(server_);
    auto format = s.capture->prepare(target);
    if (!format) return fail(format.error());
    if (format->channels < 1 || format->channels > 8 || !(format->sampleRate > 0))
        return fail(AudioError{"Formato dell'audio catturato non valido."});
    s.channels = format->channels;
    s.rate = format->sampleRate;

    ports.original->setSampleRate(s.rate);
    s.render = std::make_shared<ListenRender>(s.channels, s.rate, ports, s.logger);
    ListenRender& render = *s.render;

    s.original = OurStream::playback(
        impl, "Audio originale", s.rate, s.channels, s.outputDevice, true,
        [r = s.render](float* into, std::size_t n) { r->renderOriginal(into, n); }, [n = s.notifier] { n->fire(); },
        error);
    if (!s.original) return fail(AudioError{"L'uscita audio non parte: " + error});
    render.outputsOn = true;

    render.pump = std::make_unique<FeedPump>(s.rate, std::move(onChunk), s.postToCore, 2000,
                                             [r = &render] { r->statsLine(); });

    auto ran = s.capture->run([r = s.render](const float* samples, std::size_t frames, std::uint32_t channels) {
        r->capture(samples, frames, channels);
    });
    if (!ran) return fail(ran.error());

    s.changeHandler = server_->addChangeHandler([weak] {
        auto st = weak.lock();
        if (!st || !st->running) return;
        auto now = st->server->defaultSink();
        if (!st->server->connected() || !now || now->uid != st->outputDevice) st->notifier->fire();
    });

    double outputRate = s.rate;
    const ServerPicture now = impl.snapshot();
    if (const SinkInfo* out = now.sinkByName(s.outputDevice); out && out->sampleSpec.rate > 0)
        outputRate = out->sampleSpec.rate;
    s.logger.debug("ascolto: avvio; cattura " + rateText(s.rate) + " Hz, " + std::to_string(s.channels) + " canali, uscita " +
                   rateText(outputRate) + " Hz, dispositivo " + s.outputDevice + ", app «" +
                   (target.empty() ? std::string("tutto il computer") : target) + "»; latenza traduzione " +
                   latencyText(s.translation.get()) + ", originale " + latencyText(s.original.get()));
    return {};
}

void ListenGraph::stop() {
    State& s = *state_;
    s.running = false;
    if (s.changeHandler) server_->removeChangeHandler(s.changeHandler);
    s.changeHandler = 0;
    // Capture first (it feeds the ring and the pump), then our outputs: once they are gone no
    // callback holds the render state, and dropping it joins the pump and closes the model feed.
    if (s.capture) s.capture->stop();
    s.capture.reset();
    s.translation.reset();
    s.original.reset();
    s.render.reset();
}

// --- speak --------------------------------------------------------------------------------------

// What the speak graph's stream callbacks use, held by each of them (see ListenRender).
struct SpeakRender {
    SpeakRender(std::uint32_t ch, double rateHz)
        : micChannels(ch),
          voice(static_cast<std::int64_t>(rateHz / 2), static_cast<std::int64_t>(rateHz * 0.04),
                static_cast<std::int64_t>(rateHz * 0.12)),
          firstChannel(kMaxFrames, 0.0f) {}

    const std::uint32_t micChannels;
    RingBuffer voice;                 // 0.5 s, prefill 40 ms, trimmed back beyond 120 ms
    std::vector<float> firstChannel;  // kMaxFrames: the microphone's callback only
    std::unique_ptr<FeedPump> pump;

    // Render thread: the microphone's first channel to the voice ring and to the model.
    void record(const float* samples, std::size_t frames) {
        for (std::size_t done = 0; done < frames;) {
            const std::size_t n = std::min(frames - done, kMaxFrames);
            const float* block = samples + done * micChannels;
            for (std::size_t i = 0; i < n; ++i) firstChannel[i] = block[i * micChannels];
            voice.write(firstChannel.data(), static_cast<std::int64_t>(n));
            pump->pushFirst(block, n, micChannels);
            done += n;
        }
    }
};

struct SpeakGraph::State {
    std::shared_ptr<SoundServer> server;
    PostFunction postToCore;
    Logger logger;
    bool running = false;
    AudioPorts ports;
    std::function<void()> onConfigChange;
    std::shared_ptr<SpeakRender> render;
    std::unique_ptr<OurStream> mic;
    std::unique_ptr<OurStream> voiceOut;
    std::unique_ptr<OurStream> translation;
    std::shared_ptr<ConfigNotifier> notifier;
    int changeHandler = 0;
    std::string source;
};

SpeakGraph::SpeakGraph(std::shared_ptr<SoundServer> server, PostFunction postToCore, Logger logger)
    : server_(server), state_(std::make_shared<State>()) {
    state_->server = std::move(server);
    state_->postToCore = std::move(postToCore);
    state_->logger = std::move(logger);
}

SpeakGraph::~SpeakGraph() { stop(); }

bool SpeakGraph::running() const { return state_->running; }

tl::expected<void, SoundError> SpeakGraph::start(const std::string& outputUid, AudioPorts ports, OnChunk onChunk,
                                                 std::function<void()> onConfigChange) {
    stop();
    State& s = *state_;
    s.running = true;
    s.ports = ports;
    s.onConfigChange = std::move(onConfigChange);
    auto fail = [&](std::string message) -> tl::expected<void, SoundError> {
        stop();
        return tl::unexpected(SoundError{AudioError{std::move(message)}});
    };
    SoundServer::Impl& impl = server_->impl();
    (void)impl.sync(3000);
    s.notifier = std::make_shared<ConfigNotifier>();
    s.notifier->postToMain = impl.options.postToMain;
    std::weak_ptr<State> weak = state_;
    s.notifier->onMain = [weak] {
        if (auto st = weak.lock(); st && st->running && st->onConfigChange) st->onConfigChange();
    };

    // 1. The microphone: the default source, in its own rate and channels.
    const ServerPicture picture = impl.snapshot();
    const SourceInfo* src = picture.sourceByName(picture.defaultSource);
    pa_sample_spec micSpec{};
    if (src) {
        // The source's own sample format is not in the picture; ask for it.
        LoopLock lock(impl.loop);
        struct Ask {
            pa_threaded_mainloop* loop;
            pa_sample_spec sampleSpec{};
        } ask{impl.loop};
        impl.waitFor(pa_context_get_source_info_by_name(
            impl.context, src->name.c_str(),
            [](pa_context*, const pa_source_info* i, int eol, void* u) {
                auto* a = static_cast<Ask*>(u);
                if (!eol && i) a->sampleSpec = i->sample_spec;
                pa_threaded_mainloop_signal(a->loop, 0);
            },
            &ask));
        micSpec = ask.sampleSpec;
    }
    if (!src || micSpec.rate == 0 || micSpec.channels == 0) return fail("Nessun microfono disponibile.");
    const double rate = micSpec.rate;
    s.source = src->name;

    // 2. Voice ring and the feed towards the model.
    s.render = std::make_shared<SpeakRender>(micSpec.channels, rate);
    s.render->pump = std::make_unique<FeedPump>(rate, std::move(onChunk), s.postToCore, 2000, nullptr);

    // 4. The chosen device.
    if (!server_->device(outputUid))
        return fail("Non riesco a usare il dispositivo di uscita scelto: il dispositivo «" + outputUid +
                    "» non esiste (più).");
    // 5.
    pa_sample_spec voiceSpec{PA_SAMPLE_FLOAT32NE, micSpec.rate, 1};
    if (!pa_sample_spec_valid(&voiceSpec)) return fail("Formato del microfono non valido.");
    // 6-9. Voice and translation on the chosen sink; they must never follow another device.
    ports.original->setSampleRate(rate);
    auto trouble = [n = s.notifier] { n->fire(); };
    std::string error;
    s.voiceOut = OurStream::playback(
        impl, "Voce", rate, 1, outputUid, true,
        [r = s.render, gain = ports.original](float* into, std::size_t n) {
            r->voice.read(into, static_cast<std::int64_t>(n));
            gain->apply(into, n);
        },
        trouble, error);
    if (!s.voiceOut) return fail("L'audio del parlato non parte: " + error);
    s.translation = makeTranslationNode(impl, ports, outputUid, true, trouble, error);
    if (!s.translation) return fail("L'audio del parlato non parte: " + error);
    // 10. Then the microphone: first channel to the ring and to the model.
    s.mic = OurStream::record(
        impl, "Microfono", rate, micSpec.channels, s.source,
        [r = s.render](const float* samples, std::size_t frames) { r->record(samples, frames); }, trouble, error);
    if (!s.mic) return fail("L'audio del parlato non parte: " + error);

    s.changeHandler = server_->addChangeHandler([weak] {
        auto st = weak.lock();
        if (!st || !st->running) return;
        if (!st->server->connected() || st->server->defaultSourceName() != st->source) st->notifier->fire();
    });
    s.logger.debug("parlato: avvio; microfono " + s.source + " " + rateText(rate) + " Hz, " +
                   std::to_string(micSpec.channels) + " canali, uscita " + outputUid + "; latenza microfono " +
                   latencyText(s.mic.get()) + ", voce " + latencyText(s.voiceOut.get()) + ", traduzione " +
                   latencyText(s.translation.get()));
    return {};
}

void SpeakGraph::stop() {
    State& s = *state_;
    s.running = false;
    if (s.changeHandler) server_->removeChangeHandler(s.changeHandler);
    s.changeHandler = 0;
    // The streams first: then nothing holds the render state, and dropping it joins the pump and
    // closes the model feed.
    s.mic.reset();
    s.voiceOut.reset();
    s.translation.reset();
    s.render.reset();
}

}  // namespace quendra
