// ombrix-translate: runs the real engine on the real network adapters without a sound server. It
// reads an audio file, feeds it through the listen direction in real time, 100 ms at a time, as
// the capture side would, plays the translation into a virtual device that pulls the player every
// 20 ms, and writes what that device hears to a WAV file as it goes. Status lines are printed as
// they change.
//
// The input is read and the output written block by block, so memory does not grow with the
// length of the file. The output goes to a temporary file that replaces the destination only when
// the run succeeded, or was interrupted after some translation arrived.
#include <signal.h>
#include <unistd.h>

#include <boost/asio/signal_set.hpp>

#include <cstdio>
#include <cstdlib>
#include <future>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/base/text.h"
#include "core/engine/engine.h"
#include "core/engine/usage.h"
#include "platform/brand.h"
#include "platform/net/core_queue.h"
#include "platform/net/http_fetch.h"
#include "platform/net/scheduler.h"
#include "platform/net/websocket.h"
#include "platform/storage/keychain.h"
#include "platform/storage/process_secrets.h"
#include "platform/storage/settings_store.h"
#include "tools/audio_file_feed.h"
#include "tools/wav_output.h"

namespace quendra {
namespace {

constexpr double kChunkMs = 100;
constexpr double kDeviceMs = 20;
constexpr int kDeviceFrames = 480;      // 20 ms at 24 kHz
constexpr int kOutputRateHz = 24000;
constexpr double kQuietEndMs = 3000;    // no new translation for this long after the input: done
constexpr double kTailCapMs = 60000;    // the translation must end this long after the input
constexpr double kStallMs = 120000;     // the link must be open again within this long
constexpr std::size_t kLogBytes = 4000;

enum ExitCode : int { kSuccess = 0, kFailed = 1, kUsage = 2 };

const char* kUsageText =
    "Uso: ombrix-translate [--provider mock|gemini|openai] [--language CODICE] [--service URL]\n"
    "                      [--out USCITA.wav] INGRESSO\n"
    "\n"
    "Traduce il parlato di un file audio (qualsiasi formato letto da libsndfile, da 1000 a\n"
    "384000 Hz) come se lo stesse riproducendo un'altra applicazione, e scrive la traduzione in un\n"
    "file WAV a 24000 Hz (senza --out: INGRESSO.tradotto.wav). Il file di uscita viene scritto\n"
    "solo se la traduzione riesce, o con la parte già tradotta se la si interrompe (Ctrl-C); fino\n"
    "ad allora un file con lo stesso nome resta com'era.\n"
    "\n"
    "Esito: 0 tradotto; 1 traduzione non riuscita (collegamento, servizio, scrittura); 2 argomenti,\n"
    "file di ingresso o di uscita non validi; 130 o 143 interrotto da SIGINT o SIGTERM.\n"
    "\n"
    "Variabili d'ambiente:\n"
    "  OMBRIX_GEMINI_KEY         la tua chiave Gemini: gemini senza account, al posto della chiave\n"
    "                            o dell'accesso salvati dall'applicazione\n"
    "  OMBRIX_OPENAI_KEY         la tua chiave OpenAI: openai senza account, allo stesso modo\n"
    "  OMBRIX_SESSION_TOKEN      accesso da usare per gemini e openai al posto di quello salvato\n"
    "                            dall'applicazione nel Secret Service\n"
    "  DBUS_SESSION_BUS_ADDRESS  il bus di sessione del Secret Service, dove l'applicazione salva\n"
    "                            l'accesso e le chiavi (letto solo per gemini e openai, senza la\n"
    "                            loro chiave e senza OMBRIX_SESSION_TOKEN nell'ambiente)\n"
    "  XDG_CONFIG_HOME           cartella delle impostazioni dell'applicazione (predefinita\n"
    "                            ~/.config): indirizzo del servizio, lingua, voce, glossario\n"
    "  OMBRIX_CONNECT_TO         host:porta:altrohost:altraporta[,...]: collega un host a un altro\n"
    "                            indirizzo, verificando il certificato del nome originale\n"
    "  SSL_CERT_FILE, SSL_CERT_DIR  autorità di certificazione fidate (predefinite di OpenSSL)\n"
    "  QUENDRA_DEBUG             \"1\" scrive anche i messaggi di diagnostica sull'errore standard\n";

struct Options {
    bool help = false;
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
        if (arg == "--help" || arg == "-h") {
            o.help = true;
            return o;
        }
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
    if (!s.listenError.empty()) line += " (" + printableText(s.listenError) + ")";
    line += " · inviati " + decimal2(s.minutesIn) + " min · ricevuti " + decimal2(s.minutesOut) + " min · " +
            Cost::formatEur(s.costEur);
    return line;
}

// A keychain that holds nothing: for runs that need no saved login, so that a Secret Service
// that hangs or is missing costs them nothing.
class NoKeychain final : public Keychain {
public:
    std::string read(const std::string&) override { return {}; }
    void write(const std::string&, const std::string&) override {}
};

// SIGINT and SIGTERM, delivered on the core queue: Asio's handler only writes to a pipe that the
// queue reads. Without a handler installed, a signal ends the process at once (nothing has been
// paid for or written then). Lives on the core queue; close() it there before the queue stops.
class Interrupts : public std::enable_shared_from_this<Interrupts> {
public:
    explicit Interrupts(boost::asio::io_context& context) : signals_(context, SIGINT, SIGTERM) {}

    std::function<void(int signal)> handler;

    void wait() {
        signals_.async_wait([weak = weak_from_this()](const boost::system::error_code& error, int signal) {
            auto self = weak.lock();
            if (error || !self) return;  // cancelled by close()
            if (!self->handler) std::_Exit(128 + signal);
            self->handler(signal);
            self->wait();
        });
    }

    void close() {
        handler = nullptr;
        boost::system::error_code ignored;
        signals_.cancel(ignored);
    }

private:
    boost::asio::signal_set signals_;
};

// Everything below runs on the core queue.
class Run : public std::enable_shared_from_this<Run> {
public:
    Run(std::shared_ptr<TranslationEngine> engine, std::shared_ptr<Scheduler> scheduler, AudioPorts ports,
        std::unique_ptr<AudioFileFeed> input, std::unique_ptr<WavOutput> output)
        : engine_(std::move(engine)),
          scheduler_(std::move(scheduler)),
          ports_(std::move(ports)),
          input_(std::move(input)),
          output_(std::move(output)) {}

    std::future<int> begin() {
        std::weak_ptr<Run> weak = weak_from_this();
        engine_->onStatus = [weak](const EngineStatus& s) {
            if (auto self = weak.lock()) self->onStatus(s);
        };
        // No onAutoStop: a file ends by itself, and the idle stop of live use would cut a recording
        // with a long pause short.
        startMs_ = scheduler_->nowMs();
        engine_->start(std::nullopt, std::nullopt);
        feed();
        pull();
        return done_.get_future();
    }

    // Stops at once and keeps what was translated so far, if anything arrived.
    void interrupt(int signal) {
        if (finished_) return;
        std::cerr << "Interrotto." << std::endl;
        // What the player already holds was translated: play it into the file without waiting.
        const auto most = static_cast<int>(ports_.player->bufferedSeconds() * 1000 / kDeviceMs) + 50;
        for (int i = 0; i < most && ports_.player->bufferedSeconds() > 0; ++i) {
            if (!pullBlock()) return;
        }
        const bool received = engine_->status().minutesOut > 0;
        if (!received) std::cerr << "Nessuna traduzione ricevuta: nessun file scritto." << std::endl;
        finish(128 + signal, received, std::nullopt);
    }

private:
    LinkState listenState() const {
        const auto& session = engine_->listenSession();
        return session ? session->state() : LinkState::off;
    }

    void onStatus(const EngineStatus& s) {
        const std::string line = statusLine(s);
        if (line != lastLine_) {
            std::cout << line << std::endl;
            lastLine_ = line;
        }
        if (!s.listenError.empty()) lastError_ = s.listenError;
        if (s.minutesOut != lastMinutesOut_) {
            lastMinutesOut_ = s.minutesOut;
            lastOutputMs_ = scheduler_->nowMs();
        }
        if (s.listenState == LinkState::error && !finished_) finish(kFailed, false, s.listenError);
    }

    // Sends the next chunk while the link is open; a file, unlike live capture, can wait for the
    // link, so nothing is dropped while it connects or reconnects. Ticks against the start time,
    // so timer lateness never accumulates into drift between what is sent and what is pulled.
    void feed() {
        if (finished_ || inputEndMs_) return;
        if (listenState() == LinkState::open) {
            if (auto chunk = input_->next()) {
                engine_->listenChunk(*chunk);
            } else if (input_->readError()) {
                finish(kFailed, false, *input_->readError());
                return;
            } else {
                inputEndMs_ = scheduler_->nowMs();
                return;
            }
        }
        std::weak_ptr<Run> weak = weak_from_this();
        const double due = startMs_ + static_cast<double>(++feedTicks_) * kChunkMs;
        scheduler_->after(due - scheduler_->nowMs(), [weak] {
            if (auto self = weak.lock()) self->feed();
        });
    }

    // One block of the virtual output device into the file; false (and finished) when writing failed.
    bool pullBlock() {
        float block[kDeviceFrames];
        ports_.player->render(block, kDeviceFrames);
        ports_.translated->apply(block, kDeviceFrames);
        if (output_->write(block, kDeviceFrames)) return true;
        finish(kFailed, false, output_->error());
        return false;
    }

    // The virtual output device: pulls the player as a sound server would.
    void pull() {
        if (finished_) return;
        if (!pullBlock()) return;
        const double now = scheduler_->nowMs();
        if (inputEndMs_ && !ports_.player->isPlaying() && ports_.player->bufferedSeconds() <= 0 &&
            now - std::max(*inputEndMs_, lastOutputMs_) >= kQuietEndMs) {
            complete();
            return;
        }
        if (inputEndMs_ && now - *inputEndMs_ > kTailCapMs) {
            finish(kFailed, false, "nessuna fine della traduzione entro il tempo massimo");
            return;
        }
        if (listenState() == LinkState::open) {
            closedSinceMs_.reset();
        } else if (!closedSinceMs_) {
            closedSinceMs_ = now;
        } else if (now - *closedSinceMs_ > kStallMs) {
            finish(kFailed, false, lastError_.value_or("il collegamento con il servizio di traduzione non si apre"));
            return;
        }
        std::weak_ptr<Run> weak = weak_from_this();
        const double due = startMs_ + static_cast<double>(++pullTicks_) * kDeviceMs;
        scheduler_->after(due - now, [weak] {
            if (auto self = weak.lock()) self->pull();
        });
    }

    // The input was sent and the translation has ended: a success unless nothing came back and
    // the link still reports an error (one it recovered from is no reason).
    void complete() {
        if (finished_) return;
        const EngineStatus status = engine_->status();
        if (status.minutesOut <= 0 && !status.listenError.empty()) {
            finish(kFailed, false, status.listenError);
            return;
        }
        finish(kSuccess, true, std::nullopt);
    }

    void finish(int code, bool keep, const std::optional<std::string>& error) {
        if (finished_) return;
        finished_ = true;
        if (error) std::cerr << "Errore: " << printableText(*error) << std::endl;
        engine_->stop();
        if (keep) {
            if (auto committed = output_->commit(); !committed) {
                std::cerr << "Errore: " << committed.error() << std::endl;
                if (code == kSuccess) code = kFailed;
            } else {
                std::cout << "Scritto " << output_->path() << " ("
                          << decimal2(static_cast<double>(output_->frames()) / kOutputRateHz) << " s)" << std::endl;
            }
        } else {
            output_->discard();
        }
        done_.set_value(code);
    }

    std::shared_ptr<TranslationEngine> engine_;
    std::shared_ptr<Scheduler> scheduler_;
    AudioPorts ports_;
    std::unique_ptr<AudioFileFeed> input_;
    std::unique_ptr<WavOutput> output_;
    std::uint64_t feedTicks_ = 0;
    std::uint64_t pullTicks_ = 0;
    double startMs_ = 0;
    std::optional<double> inputEndMs_;
    std::optional<double> closedSinceMs_;
    std::optional<std::string> lastError_;
    double lastOutputMs_ = 0;
    double lastMinutesOut_ = 0;
    std::string lastLine_;
    bool finished_ = false;
    std::promise<int> done_;
};

// The variable holding the user's own key for `provider`, none for a provider that takes none.
const char* ownKeyVariable(const std::string& provider) {
    if (provider == "gemini") return "OMBRIX_GEMINI_KEY";
    if (provider == "openai") return "OMBRIX_OPENAI_KEY";
    return nullptr;
}

std::optional<std::string> ownKeyFromEnvironment(const std::string& provider) {
    const char* name = ownKeyVariable(provider);
    const char* value = name != nullptr ? std::getenv(name) : nullptr;
    if (value == nullptr || *value == '\0') return std::nullopt;
    return std::string(value);
}

bool needsSavedLogin(const std::string& provider) {
    const char* token = std::getenv("OMBRIX_SESSION_TOKEN");
    if (token != nullptr && *token != '\0') return false;
    if (ownKeyFromEnvironment(provider)) return false;
    const auto info = Providers::info(provider);
    return info && info->needsToken;
}

int run(int argc, char** argv) {
    // Before anything reads the session token: a crash must not leave it in a core dump.
    if (const auto problem = protectProcessSecrets()) std::cerr << "ATTENZIONE " << *problem << std::endl;
    const auto options = parseArgs(argc, argv);
    if (!options) {
        std::cerr << kUsageText;
        return kUsage;
    }
    if (options->help) {
        std::cout << kUsageText;
        return kSuccess;
    }
    // A file-size limit then fails a write, and a closed standard output (`| head`) fails a print,
    // instead of killing the process and its run.
    ::signal(SIGXFSZ, SIG_IGN);
    ::signal(SIGPIPE, SIG_IGN);

    CoreQueue& queue = coreQueue();
    std::shared_ptr<Interrupts> interrupts;
    {
        std::promise<void> installed;
        queue.post([&] {
            interrupts = std::make_shared<Interrupts>(queue.context());
            interrupts->wait();
            installed.set_value();
        });
        installed.get_future().get();
    }
    // Let the core thread drop what it holds, then stop it before static destruction: no
    // handler may run while the TLS context and the other statics are destroyed.
    auto shutDown = [&](std::shared_ptr<Run> session) {
        std::promise<void> dropped;
        queue.post([&] {
            session.reset();
            interrupts->close();
            dropped.set_value();
        });
        dropped.get_future().get();
        std::promise<void> flushed;
        queue.post([&] {
            interrupts.reset();
            flushed.set_value();
        });
        flushed.get_future().get();
        queue.stop();
    };

    auto input = AudioFileFeed::open(options->input);
    if (!input) {
        std::cerr << "Errore: " << input.error() << std::endl;
        shutDown(nullptr);
        return kUsage;
    }
    // The output is checked, and its temporary file made, before anything is asked of a service.
    // From here until the run owns it, an interruption removes that file on its way out.
    std::unique_ptr<WavOutput> output;
    {
        std::promise<std::optional<std::string>> checked;
        queue.post([&] {
            auto made = WavOutput::create(options->output, options->input, kOutputRateHz);
            if (!made) {
                checked.set_value(made.error());
                return;
            }
            output = std::move(*made);
            interrupts->handler = [temporary = output->temporaryPath()](int signal) {
                ::unlink(temporary.c_str());
                std::_Exit(128 + signal);
            };
            checked.set_value(std::nullopt);
        });
        if (const auto error = checked.get_future().get()) {
            std::cerr << "Errore: " << *error << std::endl;
            shutDown(nullptr);
            return kUsage;
        }
    }

    const bool debug = std::getenv("QUENDRA_DEBUG") && std::string(std::getenv("QUENDRA_DEBUG")) == "1";
    Logger logger;
    logger.debug = [debug](const std::string& text) {
        if (debug) std::cerr << printableText(text, kLogBytes) << std::endl;
    };
    logger.warn = [](const std::string& text) {
        std::cerr << "ATTENZIONE " << printableText(text, kLogBytes) << std::endl;
    };

    std::shared_ptr<Keychain> keychain;
    if (needsSavedLogin(options->provider)) {
        keychain = std::make_shared<SecretServiceKeychain>(logger);
    } else {
        keychain = std::make_shared<NoKeychain>();
    }
    SettingsStore store(SettingsStore::defaultFolder(), keychain);
    Settings settings = store.load();
    if (const char* token = std::getenv("OMBRIX_SESSION_TOKEN"); token != nullptr && *token != '\0') {
        settings.sessionToken = token;
    }
    // The user's own key goes to the provider directly: from the environment, else as the
    // application saved it beside the session.
    if (auto key = ownKeyFromEnvironment(options->provider)) {
        settings.ownKeys[options->provider] = std::move(*key);
    } else if (ownKeyVariable(options->provider) != nullptr && needsSavedLogin(options->provider)) {
        if (auto key = keychain->read(options->provider + "-key"); !key.empty()) {
            settings.ownKeys[options->provider] = std::move(key);
        }
    }
    settings.provider = options->provider;
    if (options->language) settings.listenLanguage = *options->language;
    if (options->service) settings.serviceUrl = *options->service;
    settings.listenEnabled = true;
    settings.speakEnabled = false;

    auto makePorts = [](float translatedInitial) {
        return AudioPorts{std::make_shared<PullPlayer>(kOutputRateHz, 120, 5, 30, 5),
                          std::make_shared<GainRamp>(48000, 1.0f),
                          std::make_shared<GainRamp>(kOutputRateHz, translatedInitial)};
    };
    const AudioPorts listenPorts = makePorts(1.0f);
    const AudioPorts speakPorts = makePorts(0.0f);

    auto scheduler = std::make_shared<AsioScheduler>(queue);
    std::shared_ptr<Run> session;
    std::promise<std::future<int>> started;
    queue.post([&] {
        auto engine = std::make_shared<TranslationEngine>(settings, scheduler, makeSocketFactory(queue),
                                                          makeFetch(queue), listenPorts, speakPorts, logger);
        session = std::make_shared<Run>(engine, scheduler, listenPorts, std::move(*input), std::move(output));
        std::weak_ptr<Run> weak = session;
        interrupts->handler = [weak](int signal) {
            if (auto self = weak.lock()) self->interrupt(signal);
        };
        started.set_value(session->begin());
    });
    const int code = started.get_future().get().get();
    shutDown(std::move(session));
    return code;
}

}  // namespace
}  // namespace quendra

int main(int argc, char** argv) { return quendra::run(argc, argv); }
