// The translation link to Gemini Live. One translator is one logical link; underneath it runs a
// succession of WebSocket connections (`Session`s): it renews a connection before the service ends
// it, drains the old one so translation under way still arrives, queues audio while no connection
// is ready, retries failed attempts with jittered exponential backoff (a connection that drops
// young, `Translator::shortLivedMs`, counts as one more failed attempt), falls back through the setup
// variants when the service rejects a setup, carries the resumption handle over, and signals the
// end of the audio stream after a pause.
//
// Threading: every operation, socket callback, timer block and token completion runs on the core
// queue. Nothing locks. Socket callbacks and timers hold the translator weakly; the token
// completion and the backoff timer hold it until they have run.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "core/links/gemini/gemini_protocol.h"
#include "core/links/translator.h"

namespace quendra {

class GeminiTranslator final : public Translator {
public:
    // One WebSocket connection. Compared by identity.
    class Session {
    public:
        explicit Session(std::shared_ptr<WebSocketLike> ws) : ws(std::move(ws)) {}
        const std::shared_ptr<WebSocketLike> ws;
        bool ready = false;    // the service confirmed the setup
        bool retired = false;  // takes no more audio; closed when its drain ends
        std::shared_ptr<Cancellable> drainTimer;
        std::function<void()> onReady;  // run once when the setup is confirmed

    private:
        friend class GeminiTranslator;
        using Result = tl::expected<std::shared_ptr<Session>, Error>;
        // Completes the attempt that opened this connection; only the first call counts.
        void settle(Result result);
        std::function<void(Result)> pending_;
        std::shared_ptr<Cancellable> setupTimer_;
        bool socketClosed_ = false;
    };

    explicit GeminiTranslator(TranslatorOptions options);
    // Closes and detaches every connection still open, so none outlives the link.
    ~GeminiTranslator() override;

    void connect(Completion completion) override;
    void sendAudio(const std::vector<std::int16_t>& samples) override;
    void close() override;

    // Sends the end of the audio stream now if a ready connection takes audio.
    void sendAudioStreamEnd();

    // The latest resumable handle the service gave.
    const std::optional<std::string>& resumptionHandle() const { return resumptionHandle_; }
    // Chunks discarded because the queue was full; never reset.
    std::int64_t droppedChunks() const { return droppedChunks_; }
    // Capacity of the queue: `maxQueueMs` in 100 ms chunks, at least 1.
    std::int64_t maxQueueChunks() const { return maxQueueChunks_; }

private:
    using SessionResult = Session::Result;
    using SessionCompletion = std::function<void(SessionResult)>;

    std::shared_ptr<GeminiTranslator> self();
    // Text and errors shown to the owner without the credentials in use.
    std::string redacted(std::string_view text) const;
    Error redacted(const Error& error) const;
    // True once `close` has ended the attempt series started at `epoch`.
    bool closingFor(std::uint64_t epoch) const { return closing_ || epoch != epoch_; }

    void openWithRetry(std::int64_t attempt, std::optional<Error> lastError, std::uint64_t epoch,
                       SessionCompletion completion);
    void openOnce(std::optional<std::string> handle, std::uint64_t epoch, SessionCompletion completion);
    void startSession(const std::optional<std::string>& handle, std::uint64_t epoch,
                      Result<Token> token, SessionCompletion completion);
    // One text message of the service on `session`. Untrusted input: its parse never throws;
    // what the owner's callbacks throw passes through.
    void handleMessage(const std::shared_ptr<Session>& session, const std::string& text);
    static void socketClosed(const std::shared_ptr<GeminiTranslator>& self,
                             const std::shared_ptr<Session>& session, int code,
                             const std::string& reason);
    void handleServerContent(const nlohmann::json& content);
    void activate(const std::shared_ptr<Session>& session);
    void retire(const std::shared_ptr<Session>& session, double drainMs);
    void closeRetired(const std::shared_ptr<Session>& session);
    // `dropText` describes the drop when `reason` is "dropped".
    void renew(const std::string& reason, const std::string& dropText = {});
    void sendChunk(const std::shared_ptr<Session>& session, const std::vector<std::int16_t>& samples);
    void armStreamEnd();
    bool canSendNow() const;
    void maybeEmitUsage();
    void transcript(TranscriptKind kind, const std::string& text, bool finished);
    void finalizeTranscripts();

    std::shared_ptr<Session> active_;
    std::vector<std::shared_ptr<Session>> draining_;
    bool switching_ = false;
    std::deque<std::vector<std::int16_t>> queue_;
    std::optional<std::string> resumptionHandle_;
    bool closing_ = false;
    std::shared_ptr<Cancellable> renewTimer_;
    std::shared_ptr<Cancellable> streamEndTimer_;
    double lastUsageEmit_;
    std::array<std::string, 2> transcripts_;  // indexed by TranscriptKind
    std::int64_t droppedChunks_ = 0;
    std::int64_t youngDrops_ = 0;  // drops in a row of connections that died young
    double activatedAtMs_ = 0;
    bool warnedLongAudio_ = false;
    std::vector<GeminiVariant> variants_;
    std::optional<Token::Kind> variantsKind_;
    std::int64_t variantIdx_ = 0;
    Logger log_;
    std::int64_t maxQueueChunks_;
    // Bumped by `close`: an attempt series started before it ends as if closing, even when a new
    // `connect` has cleared `closing_` meanwhile.
    std::uint64_t epoch_ = 0;
    // Every connection whose socket has not reported its close yet, for the destructor.
    std::vector<std::weak_ptr<Session>> sessions_;
};

}  // namespace quendra
