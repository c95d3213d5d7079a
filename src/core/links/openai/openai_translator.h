// The OpenAI realtime translation link: one logical link built from a succession of WebSocket
// connections. Audio waits in a bounded queue while no connection is ready; failed attempts are
// retried with jittered exponential backoff; a ready connection is renewed before the session
// expiry the service announces, the old one draining meanwhile; a dropped one is replaced at once,
// unless it dropped young (`Translator::shortLivedMs`): then its series' backoff holds.
// The service wants 24 kHz input, so every outgoing chunk goes through one streaming resampler;
// after the speaker stops, a bounded tail of silence is sent so the service finishes the sentence.
//
// Threading: every operation, socket callback, timer block and token completion runs on the core
// queue. Socket callbacks and the renewal, drain, silence and transcript timers hold the link
// weakly; the token completion, the backoff timer and the setup timer of an attempt hold it
// strongly until they have run.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "core/audio/resampler.h"
#include "core/links/translator.h"

namespace quendra {

class OpenAITranslator final : public Translator {
public:
    explicit OpenAITranslator(TranslatorOptions options);
    ~OpenAITranslator() override;

    void connect(Completion completion) override;
    void sendAudio(const std::vector<std::int16_t>& samples) override;
    void close() override;

    // Chunks discarded because the queue was full; never reset.
    std::int64_t droppedChunks() const { return droppedChunks_; }
    // Capacity of the queue of audio waiting for a ready connection, in 100 ms chunks.
    std::int64_t maxQueueChunks() const { return maxQueueChunks_; }

    class Session;

private:
    struct Attempt;
    using SessionPtr = std::shared_ptr<Session>;
    using SessionResult = tl::expected<SessionPtr, Error>;
    using SessionCompletion = std::function<void(SessionResult)>;

    std::shared_ptr<OpenAITranslator> self();
    // The target language with the empty code taken as "en".
    std::string language() const;
    // Text and errors shown to the owner without the credentials in use.
    std::string redacted(std::string_view text) const;
    Error redacted(const Error& error) const;
    // A generation ends with every `close`; work of an older generation stops where it stands.
    bool stale(std::uint64_t generation) const { return closing_ || generation != generation_; }

    void openWithRetry(std::int64_t attempt, std::optional<Error> lastError,
                       std::uint64_t generation, SessionCompletion completion);
    void openOnce(std::uint64_t generation, SessionCompletion completion);
    static SessionCompletion settleAttempt(Attempt& attempt);
    static void failAttempt(std::shared_ptr<Attempt> attempt, Error error);
    static void readyAttempt(std::shared_ptr<Attempt> attempt);
    void onSocketMessage(const SessionPtr& session, const std::string& text);
    void onSocketClose(const SessionPtr& session, int code, const std::string& reason);
    void handleMessage(const SessionPtr& session, const nlohmann::json& event);
    void handleError(const SessionPtr& session, const nlohmann::json& error);
    void handleAudioDelta(const nlohmann::json& event);
    void activate(const SessionPtr& session);
    void retire(const SessionPtr& session, double drainMs);
    void shut(SessionPtr session);
    // `dropText` describes the drop when `reason` is "dropped".
    void renew(const std::string& reason, const std::string& dropText = {});
    void push(const std::vector<std::int16_t>& samples);
    void silenceStep(double left);
    void transcript(TranscriptKind kind, const std::string& text);
    void finalizeTranscript(TranscriptKind kind);
    void maybeEmitUsage();
    void debugOnce(const std::string& text);
    void abortAttempt(Error error);

    StreamResampler resampler_{inputRate, 24000};
    std::vector<float> resampled_;  // reused output of the resampler
    SessionPtr active_;
    std::vector<SessionPtr> draining_;
    bool switching_ = false;
    std::deque<std::vector<std::int16_t>> queue_;
    bool closing_ = false;
    std::uint64_t generation_ = 0;
    std::shared_ptr<Cancellable> renewTimer_;
    std::shared_ptr<Cancellable> silenceTimer_;
    double lastUsageEmit_;
    std::map<TranscriptKind, std::string> transcripts_;
    std::map<TranscriptKind, std::shared_ptr<Cancellable>> transcriptTimers_;
    std::set<std::string> warned_;
    std::weak_ptr<Attempt> pendingAttempt_;  // the attempt `close` must abort
    std::int64_t droppedChunks_ = 0;
    std::int64_t youngDrops_ = 0;  // drops in a row of connections that died young
    double activatedAtMs_ = 0;
    Logger log_;
    std::int64_t maxQueueChunks_;
};

}  // namespace quendra
