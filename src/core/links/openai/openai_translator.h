// The OpenAI realtime translation link, on the shared connection machinery
// (`ConnectedTranslator`): what is its own is the handshake (the server's `session.created`
// answered with the `session.update`, readiness on `session.updated`, a refused transcription
// reconfigured on the same connection), the renewal before the session expiry the service
// announces, `session.close` to a retired connection and the server's `session.closed`, the
// streaming resampler every outgoing chunk goes through (the service wants 24 kHz input), the
// bounded tail of silence sent after the speaker stops, and transcripts closed by a pause.
//
// Threading: every operation, socket callback, timer block and token completion runs on the core
// queue. The silence and transcript timers hold the link weakly.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "core/audio/resampler.h"
#include "core/links/connected_translator.h"

namespace quendra {

class OpenAITranslator final : public ConnectedTranslator {
public:
    explicit OpenAITranslator(TranslatorOptions options);
    ~OpenAITranslator() override;

    void sendAudio(const std::vector<std::int16_t>& samples) override;
    void close() override;

private:
    // One connection, with the session expiry and transcription choice of its handshake.
    class Session;
    using SessionPtr = std::shared_ptr<Session>;

    std::shared_ptr<OpenAITranslator> self();
    // The target language with the empty code taken as "en".
    std::string language() const;

    bool admitConnect(const Completion& completion) override;
    [[nodiscard]] tl::expected<ConnectionPtr, Error> openConnection(const Attempt& attempt, const Token& token) override;
    void connectionMessage(const ConnectionPtr& connection, const std::string& text) override;
    Error closedBeforeReady(int code, const std::string& description) const override;
    Error setupTimedOut() const override;
    void attemptEnded(const ConnectionPtr& connection, AttemptEnd why) override;
    void retiring(const ConnectionPtr& connection) override;
    std::optional<double> renewAfterMs(const ConnectionPtr& connection) const override;
    void sendQueued(const ConnectionPtr& connection, const std::vector<std::int16_t>& samples) override;

    void handleMessage(const SessionPtr& session, const nlohmann::json& event);
    void handleError(const SessionPtr& session, const nlohmann::json& error);
    void handleAudioDelta(const nlohmann::json& event);
    void push(const std::vector<std::int16_t>& samples);
    void silenceStep(double left);
    void transcript(TranscriptKind kind, const std::string& text);
    void finalizeTranscript(TranscriptKind kind);
    void debugOnce(const std::string& text);

    StreamResampler resampler_{inputRate, 24000};
    std::vector<float> resampled_;  // reused output of the resampler
    std::shared_ptr<Cancellable> silenceTimer_;
    std::map<TranscriptKind, std::string> transcripts_;
    std::map<TranscriptKind, std::shared_ptr<Cancellable>> transcriptTimers_;
    std::set<std::string> warned_;
};

}  // namespace quendra
