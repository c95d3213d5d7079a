// The two directions of a run. A session takes 16 kHz chunks from capture, measures them for
// speech, ducks the other path, sends what passes the send gate to its translator and queues the
// translated speech in its player.
//
// Threading: every operation and callback runs on the core queue. The player and gain ramps are
// shared with audio render threads and lock themselves; sessions only enqueue, flush, read the
// playing state and buffered seconds, and ramp.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/audio/ducker.h"
#include "core/audio/gain_ramp.h"
#include "core/audio/pull_player.h"
#include "core/settings/settings.h"
#include "core/links/translator.h"
#include "core/audio/vad.h"

namespace quendra {

// Builds a translator for (provider, language, voice, glossary), or fails.
using TranslatorFactory = std::function<Result<std::shared_ptr<Translator>>(
    const std::string& provider, const std::string& language, const std::string& voice,
    const std::string& glossary)>;

// Argument-less notification of a session: something visible changed, speech or playback was
// seen, the current translator was closed and its usage is final.
using SessionEvent = std::function<void()>;

// Listens to another application (or the whole computer) and plays its translation.
class ListenSession : public std::enable_shared_from_this<ListenSession> {
public:
    ListenSession(Settings settings, std::optional<std::string> deviceError,
                  std::shared_ptr<Scheduler> scheduler, TranslatorFactory makeTranslator,
                  std::shared_ptr<PullPlayer> player, std::shared_ptr<GainRamp> originalGain,
                  std::shared_ptr<GainRamp> translationGain, SessionEvent onChange,
                  SessionEvent onActivity, SessionEvent onArchive);

    void start();
    void stop();
    void configure(const Settings& settings, const std::optional<std::string>& deviceError);
    void onChunk(const std::vector<std::int16_t>& samples);
    // Drops the translation waiting to be played; the link is untouched.
    void cut();
    // Every 50 ms from the engine: playing edges and the release of the duck.
    void poll();

    LinkState state() const { return state_; }
    const std::string& error() const { return error_; }
    SendGate& gate() { return gate_; }
    const SendGate& gate() const { return gate_; }
    bool stopped() const { return stopped_; }
    // Seconds of translation still queued; 0 while stopped.
    double tailSeconds() const;
    bool playing() const;
    const std::shared_ptr<Translator>& translator() const { return translator_; }

private:
    void installCallbacks(const std::shared_ptr<Translator>& translator);
    void fail(const std::string& message);
    void applyDuck(std::optional<bool> micSpeaking, std::optional<bool> translationPlaying,
                   std::optional<bool> bypass);

    LinkState state_ = LinkState::off;
    std::string error_;
    SendGate gate_;
    Settings settings_;
    std::optional<std::string> deviceError_;
    std::shared_ptr<Scheduler> scheduler_;
    TranslatorFactory makeTranslator_;
    std::shared_ptr<PullPlayer> player_;
    std::shared_ptr<GainRamp> originalGain_;
    std::shared_ptr<GainRamp> translationGain_;
    SessionEvent onChange_;
    SessionEvent onActivity_;
    SessionEvent onArchive_;
    std::shared_ptr<Translator> translator_;
    Vad vad_;
    Ducker ducker_;
    bool stopped_ = true;
    bool lastPlaying_ = false;
};

// Translates the user's microphone into the output device the call application listens to. Lives
// for the whole run and opens or closes its translator itself as the settings change.
class SpeakSession : public std::enable_shared_from_this<SpeakSession> {
public:
    SpeakSession(Settings settings, std::optional<std::string> deviceError,
                 std::shared_ptr<Scheduler> scheduler, TranslatorFactory makeTranslator,
                 std::shared_ptr<PullPlayer> player, std::shared_ptr<GainRamp> micGain,
                 std::shared_ptr<GainRamp> voiceGain, SessionEvent onChange, SessionEvent onActivity,
                 SessionEvent onArchive);

    void start();
    void stop();
    void configure(const Settings& settings, const std::optional<std::string>& deviceError);
    void onMicChunk(const std::vector<std::int16_t>& samples);
    void cut();
    // Lets the user's own voice through instead of the translation; the link stays connected.
    void setOriginalVoice(bool on);
    void poll();

    // A translator is open, the translation is wanted and nothing prevents it.
    bool live() const;
    LinkState state() const;
    std::string error() const;
    SendGate& gate() { return gate_; }
    const SendGate& gate() const { return gate_; }
    bool playing() const;
    double tailSeconds() const;
    const std::shared_ptr<Translator>& translator() const { return translator_; }

private:
    void update();
    void openTranslator();
    void closeTranslator();
    void applyDuck(std::optional<bool> micSpeaking, std::optional<bool> translationPlaying,
                   std::optional<bool> bypass);

    SendGate gate_;
    Settings settings_;
    std::optional<std::string> deviceError_;
    std::shared_ptr<Scheduler> scheduler_;
    TranslatorFactory makeTranslator_;
    std::shared_ptr<PullPlayer> player_;
    std::shared_ptr<GainRamp> micGain_;
    std::shared_ptr<GainRamp> voiceGain_;
    SessionEvent onChange_;
    SessionEvent onActivity_;
    SessionEvent onArchive_;
    std::shared_ptr<Translator> translator_;
    LinkState trState_ = LinkState::closed;
    std::string trError_;
    bool originalVoice_ = false;
    std::optional<bool> active_;
    Vad vad_;
    Ducker ducker_;
    bool stopped_ = true;
    bool lastPlaying_ = false;
};

}  // namespace quendra
