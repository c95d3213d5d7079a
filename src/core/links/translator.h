// The translator contract: what every translation link is built from and what it reports.
//
// Threading: every operation, callback, scheduler block and socket callback of a translator runs
// on the core queue. Nothing here locks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/runtime.h"
#include "core/base/scheduler.h"
#include "core/links/websocket_like.h"

namespace quendra {

enum class LinkState { off, connecting, open, reconnecting, closed, error, passthrough };

// The raw value of a state is its case name; any other text yields none.
std::string_view rawValue(LinkState state);
std::optional<LinkState> linkStateFromRaw(std::string_view raw);

enum class TranscriptKind { input, output };

// Timing and retry settings of every link; all durations in milliseconds.
struct LinkTuning {
    std::optional<double> renewAfterMs;
    double drainMs = 2500;
    double setupTimeoutMs = 10000;
    double maxQueueMs = 10000;
    double usageIntervalMs = 1000;
    double backoffBaseMs = 500;
    double backoffMaxMs = 15000;
    std::int64_t maxRetries = 6;
    std::optional<double> autoStreamEndMs = 1500;
    double silenceAfterMs = 300;
    double silenceTailMs = 2000;
    double transcriptPauseMs = 1200;
    double mockDelayMs = 2000;
    bool operator==(const LinkTuning&) const = default;
};

using TokenSource = std::function<void(TokenCompletion)>;

// A double uniformly drawn from [0, 1), from the standard library's generator.
double uniformRandom();

// The wait before retry number `attempt` + 1 of a failed connection attempt:
// min(backoffBaseMs x 2^attempt, backoffMaxMs) x (0.8 + 0.4 x random).
double retryDelayMs(const LinkTuning& tuning, std::int64_t attempt, double random);

struct TranslatorOptions {
    TranslatorOptions(std::string targetLanguage, std::shared_ptr<Scheduler> scheduler,
                      SocketFactory makeSocket, TokenSource getToken)
        : targetLanguage(std::move(targetLanguage)),
          scheduler(std::move(scheduler)),
          makeSocket(std::move(makeSocket)),
          getToken(std::move(getToken)) {}

    std::string targetLanguage;
    std::shared_ptr<Scheduler> scheduler;
    SocketFactory makeSocket;
    TokenSource getToken;
    std::string voice = "mimic";
    std::string glossary;
    Logger logger = Logger::silent();
    bool inputTranscription = false;
    std::function<double()> random = uniformRandom;
    LinkTuning tuning;
};

using Completion = std::function<void(std::optional<Error>)>;

// Base of every translation link. Created through `createTranslator` and shared by the session
// that owns it; callbacks that outlive a call hold it weakly.
class Translator : public std::enable_shared_from_this<Translator> {
public:
    static constexpr int inputRate = 16000;
    static constexpr int outputRate = 24000;

    // Limits the provider links hold to whatever their peer sends.
    // Translated audio one server message may carry, at outputRate after any resampling: 30 s. A
    // larger message is dropped whole, with a once-only log line, and not counted as received.
    static constexpr std::size_t maxMessageFrames = 30 * static_cast<std::size_t>(outputRate);
    // Text kept of one utterance's transcript, in bytes; what comes after is dropped.
    static constexpr std::size_t maxTranscriptBytes = 16 * 1024;
    // A connection that drops sooner than this after it became ready counts as a failed attempt:
    // the reconnection waits the backoff of the young drops in a row (backoffBaseMs, then twice
    // that, up to backoffMaxMs) and the maxRetries + 1st young drop in a row fails the link with
    // the drop's text, so a peer that accepts and breaks every connection costs a few attempts,
    // not hundreds a second. A drop after a longer life reconnects at once.
    static constexpr double shortLivedMs = 5000;

    explicit Translator(TranslatorOptions options) : opts(std::move(options)) {}
    virtual ~Translator() = default;
    Translator(const Translator&) = delete;
    Translator& operator=(const Translator&) = delete;

    const TranslatorOptions opts;
    LinkState state = LinkState::closed;
    std::int64_t inputBytes = 0;   // 16-bit input audio sent so far
    std::int64_t outputBytes = 0;  // 16-bit translated audio received so far
    std::function<void(const std::vector<std::int16_t>&)> onAudio;  // 24 kHz samples
    std::function<void(const std::string& text, TranscriptKind kind, bool final)> onTranscript;
    std::function<void(LinkState state, const std::optional<std::string>& message)> onState;
    std::function<void(const Usage&)> onUsage;

    // Running totals since construction, in seconds.
    Usage usage() const;

    // Opens the link; the completion gets no error once `open`, or the error it failed with.
    virtual void connect(Completion completion) = 0;
    // One chunk of 16 kHz mono samples; only while the owner considers the link open.
    virtual void sendAudio(const std::vector<std::int16_t>& samples) = 0;
    // Ends the link for good, reporting the final usage first.
    virtual void close() = 0;

protected:
    // Changes `state` together with its `onState` report. The message goes with `error` only.
    void setState(LinkState next, std::optional<std::string> message = std::nullopt);
    void reportUsage();

    // Remembers a credential the link presented, so that `withoutCredentials` hides its exact
    // value wherever a peer or a transport echoes it back. The last few are kept.
    void rememberCredential(const std::string& credential);
    std::string withoutCredentials(std::string_view text) const;
    // The same list, for the link's redacting logger (a copy of which may outlive the call).
    const std::shared_ptr<std::vector<std::string>>& credentials() const { return credentials_; }

private:
    std::shared_ptr<std::vector<std::string>> credentials_ = std::make_shared<std::vector<std::string>>();
};

}  // namespace quendra
