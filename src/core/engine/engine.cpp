#include "core/engine/engine.h"
#include "core/links/factory.h"

#include <algorithm>

#include "core/service/token_client.h"

namespace quendra {

TranslationEngine::TranslationEngine(Settings settings, std::shared_ptr<Scheduler> scheduler,
                                     SocketFactory makeSocket, FetchFunction fetch, AudioPorts listenPorts,
                                     AudioPorts speakPorts, Logger logger)
    : settings_(std::move(settings)),
      scheduler_(std::move(scheduler)),
      makeSocket_(std::move(makeSocket)),
      fetch_(std::move(fetch)),
      listenPorts_(std::move(listenPorts)),
      speakPorts_(std::move(speakPorts)),
      logger_(std::move(logger)) {
    autoStop_.emplace(idleMs, scheduler_->nowMs());
    for (const auto& [ports, direction] : {std::pair{&listenPorts_, "listen"}, std::pair{&speakPorts_, "speak"}}) {
        if (!ports->player) continue;
        Logger playerLog;
        playerLog.debug = [base = logger_, prefix = std::string(direction) + " "](const std::string& text) {
            base.debug(prefix + text);
        };
        playerLog.warn = [base = logger_, prefix = std::string(direction) + " ATTENZIONE "](const std::string& text) {
            base.warn(prefix + text);
        };
        ports->player->setLogger(std::move(playerLog));
    }
}

SessionEvent TranslationEngine::changed() {
    std::weak_ptr<TranslationEngine> weak = weak_from_this();
    return [weak] {
        if (auto self = weak.lock()) self->dirty_ = true;
    };
}

SessionEvent TranslationEngine::activity() {
    std::weak_ptr<TranslationEngine> weak = weak_from_this();
    return [weak] {
        if (auto self = weak.lock()) self->autoStop_->activity(self->scheduler_->nowMs());
    };
}

SessionEvent TranslationEngine::archive(const std::string& direction) {
    std::weak_ptr<TranslationEngine> weak = weak_from_this();
    return [weak, direction] {
        if (auto self = weak.lock()) self->ledger_->archive(direction);
    };
}

void TranslationEngine::start(std::optional<std::string> listenError, std::optional<std::string> speakError) {
    if (running_) stop();
    ++starts_;
    running_ = true;
    listenError_ = std::move(listenError);
    speakError_ = std::move(speakError);
    ledger_ = std::make_shared<UsageLedger>();
    autoStop_.emplace(idleAfterMs, scheduler_->nowMs());
    originalVoice_ = false;
    logger_.debug("motore avvio: modello " + settings_.provider);
    runStartMs_ = lastDelayLogMs_ = scheduler_->nowMs();
    listenDelay_.reset(listenPorts_.player ? listenPorts_.player->voiceOnsets() : 0);
    speakDelay_.reset(speakPorts_.player ? speakPorts_.player->voiceOnsets() : 0);

    speak_ = std::make_shared<SpeakSession>(settings_, speakError_, scheduler_, factory("speak"),
                                            speakPorts_.player, speakPorts_.original, speakPorts_.translated,
                                            changed(), activity(), archive("speak"));
    speak_->start();
    if (settings_.listenEnabled) startListen();

    ++run_;
    armPoll();
    armStatus();
    publish();
}

void TranslationEngine::armPoll() {
    std::weak_ptr<TranslationEngine> weak = weak_from_this();
    pollTimer_ = scheduler_->after(pollMs, [weak, run = run_] {
        if (auto self = weak.lock()) self->tick(run);
    });
}

void TranslationEngine::armStatus() {
    std::weak_ptr<TranslationEngine> weak = weak_from_this();
    statusTimer_ = scheduler_->after(statusMs, [weak, run = run_] {
        if (auto self = weak.lock()) self->statusTick(run);
    });
}

void TranslationEngine::startListen() {
    if (listen_) return;
    listenDelay_.reset(listenPorts_.player ? listenPorts_.player->voiceOnsets() : 0);
    listen_ = std::make_shared<ListenSession>(settings_, listenError_, scheduler_, factory("listen"),
                                              listenPorts_.player, listenPorts_.original,
                                              listenPorts_.translated, changed(), activity(),
                                              archive("listen"));
    listen_->start();
}

void TranslationEngine::stop() {
    if (!running_) return;
    logger_.debug("motore stop");
    running_ = false;
    if (pollTimer_) pollTimer_->cancel();
    if (statusTimer_) statusTimer_->cancel();
    pollTimer_.reset();
    statusTimer_.reset();
    if (auto listen = std::move(listen_)) {
        listen_.reset();
        listen->stop();
    }
    if (speak_) {
        speak_->stop();
        speak_.reset();
    }
    listenDelay_.reset(listenPorts_.player ? listenPorts_.player->voiceOnsets() : 0);
    speakDelay_.reset(speakPorts_.player ? speakPorts_.player->voiceOnsets() : 0);
    publish();
}

void TranslationEngine::apply(Settings settings, std::optional<std::string> listenError,
                              std::optional<std::string> speakError) {
    const bool wasListening = settings_.listenEnabled;
    settings_ = std::move(settings);
    listenError_ = std::move(listenError);
    speakError_ = std::move(speakError);
    if (!running_) return;
    if (settings_.listenEnabled == wasListening) {
        if (listen_) listen_->configure(settings_, listenError_);
    } else if (!settings_.listenEnabled) {
        if (auto listen = std::move(listen_)) {
            listen_.reset();
            listen->stop();
        }
    } else {
        startListen();
    }
    if (speak_) speak_->configure(settings_, speakError_);
    publish();
}

void TranslationEngine::listenChunk(const std::vector<std::int16_t>& samples) {
    if (!listen_) return;
    listenDelay_.chunk(samples, listen_->state() == LinkState::open && !listen_->stopped(), scheduler_->nowMs());
    listen_->onChunk(samples);
}

void TranslationEngine::micChunk(const std::vector<std::int16_t>& samples) {
    if (!speak_) return;
    speakDelay_.chunk(samples, speak_->live(), scheduler_->nowMs());
    speak_->onMicChunk(samples);
}

void TranslationEngine::cut() {
    if (listen_) listen_->cut();
    if (speak_) speak_->cut();
    listenDelay_.dropPending();
    speakDelay_.dropPending();
    publish();
}

void TranslationEngine::setOriginalVoice(bool on) {
    if (!running_) return;
    originalVoice_ = on;
    if (speak_) speak_->setOriginalVoice(on);
    publish();
}

EngineStatus TranslationEngine::status() const {
    EngineStatus s;
    const Usage total = ledger_->total();
    s.minutesIn = total.inputSeconds / 60;
    s.minutesOut = total.outputSeconds / 60;
    s.usageByProvider = ledger_->byProvider();
    s.costEur = Cost::estimateEur(s.usageByProvider);
    if (listen_) {
        s.listenState = listen_->state();
        s.listenError = listen_->error();
    }
    if (speak_) {
        s.speakState = speak_->state();
        s.speakError = speak_->error();
    }
    const double listenTail =
        listen_ && !listen_->stopped() ? std::max(listenPorts_.player->bufferedSeconds(), 0.0) : 0.0;
    const double speakTail = speak_ ? speak_->tailSeconds() : 0.0;
    s.tailSeconds = std::max(listenTail, speakTail);
    s.tailActive = (listen_ && !listen_->stopped() && listenPorts_.player->isPlaying()) ||
                   (speak_ && speak_->playing());
    s.originalVoice = originalVoice_;
    if (listen_) s.listenDelayMs = listenDelay_.medianMs();
    if (speak_) s.speakDelayMs = speakDelay_.medianMs();
    return s;
}

void TranslationEngine::publish() {
    dirty_ = false;
    if (onStatus) onStatus(status());
}

// The callbacks may stop the engine, or stop and start it (a new run with timers of its own): a
// timer re-arms only while the run that armed it is still the current one.
bool TranslationEngine::current(std::uint64_t run) const { return running_ && run == run_; }

void TranslationEngine::tick(std::uint64_t run) {
    if (!current(run)) return;
    if (listen_) listen_->poll();
    if (speak_) speak_->poll();
    measureDelays();
    if (dirty_) publish();
    if (current(run)) armPoll();
}

void TranslationEngine::statusTick(std::uint64_t run) {
    if (!current(run)) return;
    const double now = scheduler_->nowMs();
    if (autoStop_->check(now)) {
        autoStop_.emplace(idleAfterMs, now);
        if (onAutoStop) onAutoStop("idle");
    }
    if (!current(run)) return;
    logDelays(now);
    publish();
    if (current(run)) armStatus();
}

// The render thread only counts voice onsets; they are matched with the utterances here, at
// the poll's resolution.
void TranslationEngine::measureDelays() {
    const double now = scheduler_->nowMs();
    const bool listenOpen = listen_ && !listen_->stopped() && listen_->state() == LinkState::open;
    if (listenDelay_.poll(listenPorts_.player ? listenPorts_.player->voiceOnsets() : 0, listenOpen, now)) {
        dirty_ = true;
    }
    if (speakDelay_.poll(speakPorts_.player ? speakPorts_.player->voiceOnsets() : 0, speak_ && speak_->live(), now)) {
        dirty_ = true;
    }
}

void TranslationEngine::logDelays(double nowMs) {
    if (nowMs - lastDelayLogMs_ < delayLogMs) return;
    lastDelayLogMs_ = nowMs;
    const auto listen = listen_ ? listenDelay_.medianMs() : std::nullopt;
    const auto speak = speak_ ? speakDelay_.medianMs() : std::nullopt;
    if (!listen && !speak) return;
    auto part = [](const char* name, const std::optional<double>& ms, std::size_t count) {
        return std::string(name) + (ms ? " " + delayText(*ms) + " (" + std::to_string(count) + " frasi)" : " non misurato");
    };
    logger_.debug("ritardo misurato: " + part("ascolto", listen, listenDelay_.measured()) + ", " +
                  part("parlato", speak, speakDelay_.measured()));
}

TranslatorFactory TranslationEngine::factory(const std::string& direction) {
    std::weak_ptr<TranslationEngine> weak = weak_from_this();
    return [weak, direction](const std::string& provider, const std::string& language,
                             const std::string& voice,
                             const std::string& glossary) -> Result<std::shared_ptr<Translator>> {
        auto self = weak.lock();
        if (!self) return tl::unexpected(Error{LinkError{"motore fermo", false, false}});
        const auto info = Providers::info(provider);
        const bool needsToken = info ? info->needsToken : true;

        TokenSource getToken = [weak, provider, needsToken](TokenCompletion completion) {
            if (!needsToken) {
                completion(Token{"nessuno", std::nullopt, Token::Kind::apiKey});
                return;
            }
            auto engine = weak.lock();
            if (!engine) return;  // never completes: the translator that asked is gone too
            // The user's own key reaches the provider directly, without the account service.
            if (auto key = engine->settings_.ownKey(provider)) {
                completion(Token{std::move(*key), std::nullopt, Token::Kind::apiKey});
                return;
            }
            TokenClient::getToken(engine->settings_, provider, engine->fetch_, std::move(completion));
        };
        TranslatorOptions options(language, self->scheduler_, self->makeSocket_, std::move(getToken));
        options.voice = voice;
        options.glossary = glossary;
        Logger base = self->logger_;
        options.logger.debug = [base, prefix = direction + " " + provider + " "](const std::string& text) {
            base.debug(prefix + text);
        };
        options.logger.warn = [base, prefix = direction + " " + provider + " ATTENZIONE "](const std::string& text) {
            base.warn(prefix + text);
        };
        // Gemini always transcribes; OpenAI transcribes what was said only when asked.
        options.inputTranscription = self->settings_.captions;
        options.tuning = self->tuning;

        auto made = createTranslator(provider, std::move(options));
        if (!made) return made;
        std::shared_ptr<Translator> translator = *made;
        std::weak_ptr<Translator> weakTranslator = translator;
        // The ledger of this run, held weakly: it keeps its archived translators alive, so a strong
        // hold here would be a cycle that outlives the run. Reports after the run has been
        // replaced have nowhere to count anyway.
        std::weak_ptr<UsageLedger> ledger = self->ledger_;
        translator->onUsage = [ledger, direction, provider, weakTranslator](const Usage& usage) {
            if (auto current = ledger.lock()) current->set(direction, provider, usage, weakTranslator.lock());
        };
        translator->onTranscript = [weak, direction, run = self->starts_](const std::string& text,
                                                                          TranscriptKind kind, bool final) {
            auto engine = weak.lock();
            if (!engine || !engine->onTranscript) return;
            engine->onTranscript(TranscriptEvent{direction, kind, text, final,
                                                 engine->scheduler_->nowMs() - engine->runStartMs_, run});
        };
        return translator;
    };
}

}  // namespace quendra
