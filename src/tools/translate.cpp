// ombrix-translate: runs the real engine on the real network adapters without a sound server. It
// reads an audio file, feeds it through the listen direction in real time, 100 ms at a time, as
// the capture side would, plays the translation into a virtual device that pulls the player every
// 20 ms, and writes what that device heard to a WAV file. Status lines are printed as they change.
#include <sndfile.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/engine/engine.h"
#include "core/audio/resampler.h"
#include "core/engine/usage.h"
#include "platform/brand.h"
#include "platform/net/core_queue.h"
#include "platform/net/http_fetch.h"
#include "platform/storage/keychain.h"
#include "platform/net/scheduler.h"
#include "platform/storage/settings_store.h"
#include "platform/net/websocket.h"

namespace quendra {
namespace {

constexpr double kChunkMs = 100;
constexpr double kDeviceMs = 20;
constexpr int kDeviceFrames = 480;  // 20 ms at 24 kHz
constexpr double kQuietEndMs = 3000;  // no new translation for this long after the input: done

const char* kUsage =
    "Uso: ombrix-translate [--provider mock|gemini|openai] [--language CODICE] [--service URL]\n"
    "                      [--out USCITA.wav] INGRESSO\n"
    "\n"
    "Traduce il parlato di un file audio (qualsiasi formato letto da libsndfile) come se lo\n"
    "stesse riproducendo un'altra applicazione, e scrive la traduzione in un file WAV a 24000 Hz.\n"
    "Con gemini e openai usa l'accesso salvato dall'applicazione (o OMBRIX_SESSION_TOKEN).\n";

struct Options {
    std::string provider = "mock";
    std::optional<std::string> language;
    std::optional<std::string> service;
    std::string input;
    std::string output;
};

std::optional<Options> parseArgs(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= argc) return std::nullopt;
            return std::string(argv[++i]);
        };
        std::optional<std::string> v;
        if (arg == "--help" || arg == "-h") return std::nullopt;
        if (arg == "--provider" && (v = value())) {
            o.provider = *v;
        } else if (arg == "--language" && (v = value())) {
            o.language = *v;
        } else if (arg == "--service" && (v = value())) {
            o.service = *v;
        } else if (arg == "--out" && (v = value())) {
            o.output = *v;
        } else if (!arg.empty() && arg[0] != '-' && o.input.empty()) {
            o.input = arg;
        } else {
            return std::nullopt;
        }
    }
    if (o.input.empty()) return std::nullopt;
    if (o.output.empty()) {
        const auto dot = o.input.find_last_of('.');
        const auto slash = o.input.find_last_of('/');
        const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
        o.output = (hasExtension ? o.input.substr(0, dot) : o.input) + ".tradotto.wav";
    }
    return o;
}

// The file mixed to mono and cut into the 16 kHz chunks the capture side would deliver.
std::optional<std::vector<std::vector<std::int16_t>>> readChunks(const std::string& path, std::string& error,
                                                                   double& seconds) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) {
        error = "File audio non leggibile: " + path + " (" + sf_strerror(nullptr) + ")";
        return std::nullopt;
    }
    if (info.channels < 1 || info.samplerate < 1 || info.frames < 1) {
        sf_close(file);
        error = "Il file audio è vuoto: " + path;
        return std::nullopt;
    }
    std::vector<std::vector<std::int16_t>> chunks;
    StreamResampler resampler(info.samplerate, 16000);
    Int16Chunker chunker(1600, [&](std::vector<std::int16_t> c) { chunks.push_back(std::move(c)); });
    std::vector<float> block(4096 * static_cast<size_t>(info.channels));
    std::vector<float> mono;
    sf_count_t total = 0;
    for (;;) {
        const sf_count_t frames = sf_readf_float(file, block.data(), 4096);
        if (frames <= 0) break;
        total += frames;
        mono.assign(static_cast<size_t>(frames), 0.0f);
        for (sf_count_t f = 0; f < frames; ++f) {
            float sum = 0;
            for (int c = 0; c < info.channels; ++c) sum += block[static_cast<size_t>(f * info.channels + c)];
            mono[static_cast<size_t>(f)] = sum / static_cast<float>(info.channels);
        }
        chunker.push(resampler.process(mono));
    }
    sf_close(file);
    // Complete the last chunk with silence so the end of the file is sent too.
    chunker.push(std::vector<float>(1600, 0.0f));
    seconds = static_cast<double>(total) / info.samplerate;
    return chunks;
}

bool writeWav(const std::string& path, const std::vector<float>& samples, std::string& error) {
    SF_INFO info{};
    info.samplerate = 24000;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr) {
        error = "Non riesco a scrivere " + path + " (" + sf_strerror(nullptr) + ")";
        return false;
    }
    const sf_count_t written = sf_writef_float(file, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(file);
    if (written != static_cast<sf_count_t>(samples.size())) {
        error = "Scrittura incompleta di " + path;
        return false;
    }
    return true;
}

std::string decimal2(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.2f", value);
    std::string s(text);
    for (auto& c : s) {
        if (c == '.') c = ',';
    }
    return s;
}

std::string statusLine(const EngineStatus& s) {
    std::string line = "ascolto: " + std::string(rawValue(s.listenState));
    if (!s.listenError.empty()) line += " (" + s.listenError + ")";
    line += " · inviati " + decimal2(s.minutesIn) + " min · ricevuti " + decimal2(s.minutesOut) + " min · " +
            Cost::formatEur(s.costEur);
    return line;
}

// Everything below runs on the core queue.
class Run : public std::enable_shared_from_this<Run> {
public:
    Run(std::shared_ptr<TranslationEngine> engine, std::shared_ptr<Scheduler> scheduler, AudioPorts ports,
        std::vector<std::vector<std::int16_t>> chunks, double inputSeconds)
        : engine_(std::move(engine)),
          scheduler_(std::move(scheduler)),
          ports_(std::move(ports)),
          chunks_(std::move(chunks)),
          capMs_(inputSeconds * 1000 + 60000) {}

    std::future<int> begin() {
        std::weak_ptr<Run> weak = weak_from_this();
        engine_->onStatus = [weak](const EngineStatus& s) {
            if (auto self = weak.lock()) self->onStatus(s);
        };
        engine_->onAutoStop = [weak](const std::string&) {
            if (auto self = weak.lock()) self->finish(0);
        };
        startMs_ = scheduler_->nowMs();
        engine_->start(std::nullopt, std::nullopt);
        feed();
        pull();
        return done_.get_future();
    }

    std::vector<float> heard;

private:
    void onStatus(const EngineStatus& s) {
        const std::string line = statusLine(s);
        if (line != lastLine_) {
            std::cout << line << std::endl;
            lastLine_ = line;
        }
        if (s.minutesOut != lastMinutesOut_) {
            lastMinutesOut_ = s.minutesOut;
            lastOutputMs_ = scheduler_->nowMs();
        }
        if (s.listenState == LinkState::error && !finished_) {
            std::cerr << "Errore: " << s.listenError << std::endl;
            finish(1);
        }
    }

    // Both clocks tick against the start time, so timer lateness never accumulates into drift
    // between what is captured and what the device pulls.
    void feed() {
        if (finished_) return;
        if (next_ < chunks_.size()) {
            engine_->listenChunk(chunks_[next_++]);
            if (next_ == chunks_.size()) inputEndMs_ = scheduler_->nowMs();
        }
        std::weak_ptr<Run> weak = weak_from_this();
        const double due = startMs_ + static_cast<double>(++feedTicks_) * kChunkMs;
        scheduler_->after(due - scheduler_->nowMs(), [weak] {
            if (auto self = weak.lock()) self->feed();
        });
    }

    // The virtual output device: pulls the player as a sound server would.
    void pull() {
        if (finished_) return;
        float block[kDeviceFrames];
        ports_.player->render(block, kDeviceFrames);
        ports_.translated->apply(block, kDeviceFrames);
        heard.insert(heard.end(), block, block + kDeviceFrames);
        const double now = scheduler_->nowMs();
        if (inputEndMs_ && !ports_.player->isPlaying() && ports_.player->bufferedSeconds() <= 0 &&
            now - std::max(*inputEndMs_, lastOutputMs_) >= kQuietEndMs) {
            finish(0);
            return;
        }
        if (now - startMs_ > capMs_) {
            std::cerr << "Errore: nessuna fine della traduzione entro il tempo massimo" << std::endl;
            finish(1);
            return;
        }
        std::weak_ptr<Run> weak = weak_from_this();
        const double due = startMs_ + static_cast<double>(++pullTicks_) * kDeviceMs;
        scheduler_->after(due - now, [weak] {
            if (auto self = weak.lock()) self->pull();
        });
    }

    void finish(int code) {
        if (finished_) return;
        finished_ = true;
        engine_->stop();
        done_.set_value(code);
    }

    std::shared_ptr<TranslationEngine> engine_;
    std::shared_ptr<Scheduler> scheduler_;
    AudioPorts ports_;
    std::vector<std::vector<std::int16_t>> chunks_;
    size_t next_ = 0;
    std::uint64_t feedTicks_ = 0;
    std::uint64_t pullTicks_ = 0;
    double startMs_ = 0;
    double capMs_;
    std::optional<double> inputEndMs_;
    double lastOutputMs_ = 0;
    double lastMinutesOut_ = 0;
    std::string lastLine_;
    bool finished_ = false;
    std::promise<int> done_;
};

int run(int argc, char** argv) {
    const auto options = parseArgs(argc, argv);
    if (!options) {
        std::cerr << kUsage;
        return 2;
    }
    std::string error;
    double inputSeconds = 0;
    auto chunks = readChunks(options->input, error, inputSeconds);
    if (!chunks) {
        std::cerr << "Errore: " << error << std::endl;
        return 2;
    }

    const bool debug = std::getenv("QUENDRA_DEBUG") && std::string(std::getenv("QUENDRA_DEBUG")) == "1";
    Logger logger;
    logger.debug = [debug](const std::string& text) {
        if (debug) std::cerr << text << std::endl;
    };
    logger.warn = [](const std::string& text) { std::cerr << "ATTENZIONE " << text << std::endl; };

    auto keychain = std::make_shared<SecretServiceKeychain>(logger);
    SettingsStore store(SettingsStore::defaultFolder(), keychain);
    Settings settings = store.load();
    if (const char* token = std::getenv("OMBRIX_SESSION_TOKEN")) settings.sessionToken = token;
    settings.provider = options->provider;
    if (options->language) settings.listenLanguage = *options->language;
    if (options->service) settings.serviceUrl = *options->service;
    settings.listenEnabled = true;
    settings.speakEnabled = false;

    auto makePorts = [](float translatedInitial) {
        return AudioPorts{std::make_shared<PullPlayer>(24000, 120, 5, 30, 5), std::make_shared<GainRamp>(48000, 1.0f),
                          std::make_shared<GainRamp>(24000, translatedInitial)};
    };
    const AudioPorts listenPorts = makePorts(1.0f);
    const AudioPorts speakPorts = makePorts(0.0f);

    CoreQueue& queue = coreQueue();
    auto scheduler = std::make_shared<AsioScheduler>(queue);
    std::shared_ptr<Run> session;
    std::promise<std::future<int>> started;
    queue.post([&] {
        auto engine = std::make_shared<TranslationEngine>(settings, scheduler, makeSocketFactory(queue),
                                                          makeFetch(queue), listenPorts, speakPorts, logger);
        session = std::make_shared<Run>(engine, scheduler, listenPorts, std::move(*chunks), inputSeconds);
        started.set_value(session->begin());
    });
    const int code = started.get_future().get().get();

    // Collect the result on the queue, then let the queue drop everything before it stops.
    std::promise<std::vector<float>> result;
    queue.post([&] {
        result.set_value(std::move(session->heard));
        session.reset();
    });
    const auto heard = result.get_future().get();
    // Let the closes the engine's destructors posted run, then stop the core thread before static
    // destruction: no handler may run while the TLS context and the other statics are destroyed.
    std::promise<void> flushed;
    queue.post([&] { flushed.set_value(); });
    flushed.get_future().get();
    queue.stop();
    if (code != 0) return code;
    if (!writeWav(options->output, heard, error)) {
        std::cerr << "Errore: " << error << std::endl;
        return 1;
    }
    std::cout << "Scritto " << options->output << " (" << decimal2(static_cast<double>(heard.size()) / 24000.0)
              << " s)" << std::endl;
    return 0;
}

}  // namespace
}  // namespace quendra

int main(int argc, char** argv) { return quendra::run(argc, argv); }
