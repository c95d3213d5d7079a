#include "core/sessions/sessions.h"

#include <algorithm>

#include "core/audio/pcm.h"

namespace quendra {

namespace {

constexpr double kGateThreshold = 0.008;
constexpr double kGateHangoverMs = 1500;
constexpr double kGatePrerollMs = 500;
constexpr double kFrameMs = 100;
constexpr float kVadThreshold = 0.015f;
constexpr double kVadHangoverMs = 600;
constexpr double kDuckMs = 400;
constexpr double kRestoreMs = 400;
constexpr double kReleaseSilenceMs = 600;
constexpr double kTranslatedMs = 50;

SendGate makeGate(bool enabled) {
    SendGate gate(kGateThreshold, kGateHangoverMs, kGatePrerollMs, kFrameMs);
    gate.setEnabled(enabled);
    return gate;
}

bool sameDeviceError(const std::optional<std::string>& a, const std::optional<std::string>& b) {
    return a == b;  // both none, or both present with equal text
}

// Runs the ducker and, when a target changed, ramps both paths towards the new targets.
void duck(Ducker& ducker, GainRamp& original, GainRamp& translated, double nowMs,
          std::optional<bool> micSpeaking, std::optional<bool> translationPlaying,
          std::optional<bool> bypass) {
    const DuckResult result = ducker.update(micSpeaking, translationPlaying, bypass, nowMs);
    if (!result.changed) return;
    original.ramp(result.original.level, result.original.rampMs);
    translated.ramp(result.translated.level, result.translated.rampMs);
}

// Sends what the gate releases for one chunk, in order.
void sendThroughGate(SendGate& gate, Translator& translator, const std::vector<std::int16_t>& chunk) {
    for (const auto& out : gate.push(chunk)) translator.sendAudio(out);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// ListenSession

ListenSession::ListenSession(Settings settings, std::optional<std::string> deviceError,
                             std::shared_ptr<Scheduler> scheduler, TranslatorFactory makeTranslator,
                             std::shared_ptr<PullPlayer> player, std::shared_ptr<GainRamp> originalGain,
                             std::shared_ptr<GainRamp> translationGain, SessionEvent onChange,
                             SessionEvent onActivity, SessionEvent onArchive)
    : gate_(makeGate(settings.silenceGate)),
      settings_(std::move(settings)),
      deviceError_(std::move(deviceError)),
      scheduler_(std::move(scheduler)),
      makeTranslator_(std::move(makeTranslator)),
      player_(std::move(player)),
      originalGain_(std::move(originalGain)),
      translationGain_(std::move(translationGain)),
      onChange_(std::move(onChange)),
      onActivity_(std::move(onActivity)),
      onArchive_(std::move(onArchive)),
      vad_(kVadThreshold, kVadHangoverMs, kFrameMs),
      ducker_(settings_.originalDuckLevel, kDuckMs, kRestoreMs, kReleaseSilenceMs, kTranslatedMs) {}

void ListenSession::applyDuck(std::optional<bool> micSpeaking, std::optional<bool> translationPlaying,
                              std::optional<bool> bypass) {
    duck(ducker_, *originalGain_, *translationGain_, scheduler_->nowMs(), micSpeaking, translationPlaying,
         bypass);
}

void ListenSession::start() {
    stopped_ = false;
    lastPlaying_ = false;
    applyDuck(std::nullopt, std::nullopt, true);
    if (deviceError_) {
        fail(*deviceError_);
        return;
    }
    state_ = LinkState::connecting;
    onChange_();
    const std::string language = settings_.listenLanguage.empty() ? "it" : settings_.listenLanguage;
    const std::string voice = settings_.voice.empty() ? "mimic" : settings_.voice;
    auto made = makeTranslator_(settings_.provider, language, voice, settings_.glossary);
    if (!made) {
        fail(errorMessage(made.error()));
        return;
    }
    translator_ = *made;
    installCallbacks(translator_);
    std::weak_ptr<ListenSession> weakSelf = weak_from_this();
    std::weak_ptr<Translator> weakTranslator = translator_;
    auto translator = translator_;  // connect may re-enter and replace the current translator
    translator->connect([weakSelf, weakTranslator](std::optional<Error> error) {
        auto self = weakSelf.lock();
        auto translator = weakTranslator.lock();
        if (!self || !translator || translator != self->translator_ || !error) return;
        self->fail(errorMessage(*error));
    });
}

void ListenSession::installCallbacks(const std::shared_ptr<Translator>& translator) {
    std::weak_ptr<ListenSession> weakSelf = weak_from_this();
    std::weak_ptr<Translator> weakTranslator = translator;
    translator->onAudio = [weakSelf, weakTranslator](const std::vector<std::int16_t>& samples) {
        auto self = weakSelf.lock();
        auto current = weakTranslator.lock();
        if (!self || !current || current != self->translator_ || self->state_ != LinkState::open) return;
        self->player_->enqueue(samples);
    };
    translator->onState = [weakSelf, weakTranslator](LinkState next, const std::optional<std::string>& message) {
        auto self = weakSelf.lock();
        auto current = weakTranslator.lock();
        if (!self || !current || current != self->translator_) return;
        if (message) {
            self->error_ = *message;
        } else if (next != LinkState::error) {
            self->error_.clear();
        }
        self->state_ = next;
        self->onChange_();
        if (next != LinkState::open) self->player_->flush();
        self->applyDuck(std::nullopt, std::nullopt, next != LinkState::open);
    };
}

void ListenSession::fail(const std::string& message) {
    error_ = message;
    state_ = LinkState::error;
    onChange_();
    player_->flush();
    applyDuck(std::nullopt, std::nullopt, true);
}

void ListenSession::stop() {
    stopped_ = true;
    auto closing = std::move(translator_);
    translator_.reset();
    player_->flush();
    originalGain_->ramp(1, 200);
    translationGain_->ramp(1, 50);
    ducker_.reset();
    vad_.reset();
    state_ = LinkState::off;
    onChange_();
    if (closing) {
        // Closing reports the final usage, which the engine records before the archive makes it final.
        closing->close();
        onArchive_();
    }
}

void ListenSession::configure(const Settings& settings, const std::optional<std::string>& deviceError) {
    const bool restart = settings.provider != settings_.provider ||
                         settings.listenLanguage != settings_.listenLanguage ||
                         settings.voice != settings_.voice || settings.glossary != settings_.glossary ||
                         !sameDeviceError(deviceError, deviceError_);
    settings_ = settings;
    ducker_.setDuckLevel(settings.originalDuckLevel);
    gate_.setEnabled(settings.silenceGate);
    deviceError_ = deviceError;
    if (stopped_) return;
    if (restart) {
        stop();
        start();
    } else {
        applyDuck(std::nullopt, std::nullopt, std::nullopt);
    }
}

void ListenSession::onChunk(const std::vector<std::int16_t>& samples) {
    if (stopped_) return;
    const bool speaking = vad_.push(PCM::int16ToFloat(samples)).speaking;
    if (speaking) onActivity_();
    applyDuck(speaking, std::nullopt, std::nullopt);
    if (!translator_ || state_ != LinkState::open) return;
    sendThroughGate(gate_, *translator_, samples);
}

void ListenSession::cut() {
    player_->flush();
    applyDuck(std::nullopt, false, std::nullopt);
}

void ListenSession::poll() {
    if (stopped_) return;
    const bool isPlaying = player_->isPlaying();
    if (isPlaying != lastPlaying_) {
        lastPlaying_ = isPlaying;
        if (isPlaying) onActivity_();
        onChange_();
    }
    applyDuck(std::nullopt, isPlaying, std::nullopt);
}

double ListenSession::tailSeconds() const {
    return stopped_ ? 0 : std::max(player_->bufferedSeconds(), 0.0);
}

bool ListenSession::playing() const { return !stopped_ && player_->isPlaying(); }

// ---------------------------------------------------------------------------------------------
// SpeakSession

SpeakSession::SpeakSession(Settings settings, std::optional<std::string> deviceError,
                           std::shared_ptr<Scheduler> scheduler, TranslatorFactory makeTranslator,
                           std::shared_ptr<PullPlayer> player, std::shared_ptr<GainRamp> micGain,
                           std::shared_ptr<GainRamp> voiceGain, SessionEvent onChange,
                           SessionEvent onActivity, SessionEvent onArchive)
    : gate_(makeGate(settings.silenceGate)),
      settings_(std::move(settings)),
      deviceError_(std::move(deviceError)),
      scheduler_(std::move(scheduler)),
      makeTranslator_(std::move(makeTranslator)),
      player_(std::move(player)),
      micGain_(std::move(micGain)),
      voiceGain_(std::move(voiceGain)),
      onChange_(std::move(onChange)),
      onActivity_(std::move(onActivity)),
      onArchive_(std::move(onArchive)),
      vad_(kVadThreshold, kVadHangoverMs, kFrameMs),
      ducker_(settings_.micDuckLevel, kDuckMs, kRestoreMs, kReleaseSilenceMs, kTranslatedMs) {}

void SpeakSession::applyDuck(std::optional<bool> micSpeaking, std::optional<bool> translationPlaying,
                             std::optional<bool> bypass) {
    duck(ducker_, *micGain_, *voiceGain_, scheduler_->nowMs(), micSpeaking, translationPlaying, bypass);
}

bool SpeakSession::live() const {
    return translator_ && trState_ == LinkState::open && !originalVoice_ && settings_.speakEnabled &&
           !stopped_ && !deviceError_;
}

LinkState SpeakSession::state() const {
    if (!settings_.speakEnabled) return LinkState::off;
    if (deviceError_) return LinkState::error;
    if (originalVoice_) return LinkState::passthrough;
    if (translator_ || trState_ == LinkState::error) return trState_;
    return LinkState::connecting;
}

std::string SpeakSession::error() const { return deviceError_ ? *deviceError_ : trError_; }

bool SpeakSession::playing() const { return live() && player_->isPlaying(); }

double SpeakSession::tailSeconds() const {
    if (!live() || !player_->isPlaying()) return 0;
    return std::max(player_->bufferedSeconds(), 0.0);
}

void SpeakSession::update() {
    const bool isLive = live();
    if (!active_ || *active_ != isLive) {
        active_ = isLive;
        if (!isLive) {
            player_->flush();
            lastPlaying_ = false;
            vad_.reset();
            (void)ducker_.update(false, false, std::nullopt, scheduler_->nowMs());
        }
    }
    applyDuck(std::nullopt, std::nullopt, !isLive);
    onChange_();
}

void SpeakSession::openTranslator() {
    if (translator_ || stopped_ || !settings_.speakEnabled || deviceError_) return;
    const std::string language = settings_.outputLanguage.empty() ? "en" : settings_.outputLanguage;
    // The speak direction never asks for a voice: the translation mimics the speaker.
    auto made = makeTranslator_(settings_.provider, language, "mimic", settings_.glossary);
    if (!made) {
        trState_ = LinkState::error;
        trError_ = errorMessage(made.error());
        update();
        return;
    }
    translator_ = *made;
    trState_ = LinkState::connecting;
    trError_.clear();

    std::weak_ptr<SpeakSession> weakSelf = weak_from_this();
    std::weak_ptr<Translator> weakTranslator = translator_;
    translator_->onAudio = [weakSelf, weakTranslator](const std::vector<std::int16_t>& samples) {
        auto self = weakSelf.lock();
        auto current = weakTranslator.lock();
        if (!self || !current || current != self->translator_ || !self->live()) return;
        self->player_->enqueue(samples);
    };
    translator_->onState = [weakSelf, weakTranslator](LinkState next, const std::optional<std::string>& message) {
        auto self = weakSelf.lock();
        auto current = weakTranslator.lock();
        if (!self || !current || current != self->translator_) return;
        self->trState_ = next;
        if (message) {
            self->trError_ = *message;
        } else if (next == LinkState::open) {
            self->trError_.clear();
        }
        self->update();
    };
    update();
    auto translator = translator_;  // connect may re-enter and replace the current translator
    translator->connect([weakSelf, weakTranslator](std::optional<Error> error) {
        auto self = weakSelf.lock();
        auto current = weakTranslator.lock();
        if (!self || !current || current != self->translator_ || !error) return;
        self->trState_ = LinkState::error;
        self->trError_ = errorMessage(*error);
        self->update();
    });
}

void SpeakSession::closeTranslator() {
    if (!translator_) return;
    auto closing = std::move(translator_);
    translator_.reset();
    trState_ = LinkState::closed;
    update();
    closing->close();
    onArchive_();
}

void SpeakSession::start() {
    stopped_ = false;
    lastPlaying_ = false;
    active_.reset();
    micGain_->ramp(1, 50);
    voiceGain_->ramp(0, 50);
    ducker_.reset();
    update();
    openTranslator();
}

void SpeakSession::stop() {
    stopped_ = true;
    player_->flush();
    micGain_->ramp(1, 200);
    voiceGain_->ramp(0, 50);
    closeTranslator();
}

void SpeakSession::configure(const Settings& settings, const std::optional<std::string>& deviceError) {
    const bool deviceUnchanged = sameDeviceError(deviceError, deviceError_);
    const bool wasEnabled = settings_.speakEnabled;
    const bool linkUnchanged = settings.outputLanguage == settings_.outputLanguage &&
                               settings.provider == settings_.provider &&
                               settings.glossary == settings_.glossary;
    settings_ = settings;
    deviceError_ = deviceError;
    ducker_.setDuckLevel(settings.micDuckLevel);
    gate_.setEnabled(settings.silenceGate);
    if (stopped_) return;
    if (settings_.speakEnabled && !deviceError_) {
        if (deviceUnchanged && wasEnabled) {
            if (linkUnchanged) {
                update();
            } else {
                closeTranslator();
                openTranslator();
                update();
            }
        } else {
            openTranslator();
            update();
        }
    } else {
        closeTranslator();
        update();
    }
}

void SpeakSession::onMicChunk(const std::vector<std::int16_t>& samples) {
    if (!live()) return;
    const bool speaking = vad_.push(PCM::int16ToFloat(samples)).speaking;
    if (speaking) onActivity_();
    applyDuck(speaking, std::nullopt, std::nullopt);
    sendThroughGate(gate_, *translator_, samples);
}

void SpeakSession::cut() {
    player_->flush();
    lastPlaying_ = false;
    applyDuck(std::nullopt, false, std::nullopt);
    onChange_();
}

void SpeakSession::setOriginalVoice(bool on) {
    originalVoice_ = on;
    update();
}

void SpeakSession::poll() {
    if (stopped_) return;
    const bool isPlaying = playing();
    if (isPlaying != lastPlaying_) {
        lastPlaying_ = isPlaying;
        if (isPlaying) onActivity_();
        onChange_();
    }
    applyDuck(std::nullopt, isPlaying, std::nullopt);
}

}  // namespace quendra
