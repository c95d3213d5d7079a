// The one object through which the application drives translation: it holds the settings, runs
// the two directions, builds their translators with tokens, logging and usage accounting, and
// publishes status snapshots.
//
// Threading: every operation is called on the core queue; `onStatus` and `onAutoStop` are called
// there too, and may stop or restart the engine. Audio render threads never call the engine: they only use the players and gain
// ramps of the two AudioPorts, which lock themselves.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/audio/audio_ports.h"
#include "core/service/http.h"
#include "core/audio/pull_player.h"
#include "core/sessions/sessions.h"
#include "core/settings/settings.h"
#include "core/links/translator.h"
#include "core/engine/usage.h"
#include "core/engine/measured_delay.h"

namespace quendra {

struct EngineStatus {
    LinkState listenState = LinkState::off;
    std::string listenError;
    LinkState speakState = LinkState::off;
    std::string speakError;
    double minutesIn = 0;
    double minutesOut = 0;
    double costEur = 0;
    bool tailActive = false;   // translated speech is playing in either direction
    double tailSeconds = 0;    // the larger of the two directions' queued seconds
    bool originalVoice = false;
    // Rolling medians of the measured delay of each direction in this run; none until measured.
    std::optional<double> listenDelayMs;
    std::optional<double> speakDelayMs;
    // The run's usage per provider (the ledger's `byProvider`), for the monthly spend.
    std::map<std::string, Usage> usageByProvider;
    bool operator==(const EngineStatus&) const = default;
};

// One transcript from a link: what was said (input) or its translation (output), the text of the
// utterance so far, and whether it is complete. `runMs` counts from the start of the run.
struct TranscriptEvent {
    std::string direction;  // "listen" or "speak"
    TranscriptKind kind = TranscriptKind::input;
    std::string text;
    bool final = false;
    double runMs = 0;
    std::uint64_t run = 0;  // the engine's count of starts when the link was made: 1 for the first run
    bool operator==(const TranscriptEvent&) const = default;
};

class TranslationEngine : public std::enable_shared_from_this<TranslationEngine> {
public:
    static constexpr double pollMs = 50;
    static constexpr double statusMs = 1000;
    static constexpr double idleMs = 900000;
    static constexpr double delayLogMs = 60000;

    // Stores the settings as given (no repair) and starts nothing.
    TranslationEngine(Settings settings, std::shared_ptr<Scheduler> scheduler, SocketFactory makeSocket,
                      FetchFunction fetch, AudioPorts listenPorts, AudioPorts speakPorts, Logger logger);

    // Starts both directions (restarting when running); the texts are the audio graphs' device
    // errors, if any.
    void start(std::optional<std::string> listenError, std::optional<std::string> speakError);
    void stop();
    // New settings and device errors; while running the directions adjust.
    void apply(Settings settings, std::optional<std::string> listenError,
               std::optional<std::string> speakError);
    // 16 kHz mono chunks from the listen capture and the microphone.
    void listenChunk(const std::vector<std::int16_t>& samples);
    void micChunk(const std::vector<std::int16_t>& samples);
    // Drops queued translated speech in both directions.
    void cut();
    void setOriginalVoice(bool on);

    EngineStatus status() const;
    const Settings& settings() const { return settings_; }
    bool running() const { return running_; }

    LinkTuning tuning;
    // How long nobody speaks and nothing plays before translation stops by itself; set before
    // start. Only diagnostics shorten it.
    double idleAfterMs = idleMs;
    std::function<void(const EngineStatus&)> onStatus;
    std::function<void(const std::string& reason)> onAutoStop;
    // Every transcript of either direction's links, on the core queue.
    std::function<void(const TranscriptEvent&)> onTranscript;

    // Read access for tests and diagnostics.
    const std::shared_ptr<ListenSession>& listenSession() const { return listen_; }
    const std::shared_ptr<SpeakSession>& speakSession() const { return speak_; }
    const UsageLedger& ledger() const { return *ledger_; }

private:
    void startListen();
    void publish();
    void armPoll();
    void armStatus();
    bool current(std::uint64_t run) const;
    void tick(std::uint64_t run);
    void statusTick(std::uint64_t run);
    TranslatorFactory factory(const std::string& direction);
    SessionEvent changed();
    SessionEvent activity();
    SessionEvent archive(const std::string& direction);
    void measureDelays();
    void logDelays(double nowMs);

    Settings settings_;
    std::shared_ptr<Scheduler> scheduler_;
    SocketFactory makeSocket_;
    FetchFunction fetch_;
    AudioPorts listenPorts_;
    AudioPorts speakPorts_;
    Logger logger_;
    std::shared_ptr<UsageLedger> ledger_ = std::make_shared<UsageLedger>();
    std::shared_ptr<ListenSession> listen_;
    std::shared_ptr<SpeakSession> speak_;
    std::optional<AutoStop> autoStop_;  // replaced whole at start and after an idle stop
    bool running_ = false;
    bool originalVoice_ = false;
    std::optional<std::string> listenError_;
    std::optional<std::string> speakError_;
    std::shared_ptr<Cancellable> pollTimer_;
    std::shared_ptr<Cancellable> statusTimer_;
    std::uint64_t run_ = 0;  // bumped by every start; the timers of an older run stop
    bool dirty_ = false;
    DelayMeter listenDelay_;
    DelayMeter speakDelay_;
    double runStartMs_ = 0;
    double lastDelayLogMs_ = 0;
    std::uint64_t starts_ = 0;  // counted as `start` begins, so the links of a run know their run
};

}  // namespace quendra
