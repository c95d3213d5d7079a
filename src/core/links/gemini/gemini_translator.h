// The translation link to Gemini Live, on the shared connection machinery (`ConnectedTranslator`):
// what is its own is the setup message sent once a socket opens and confirmed by `setupComplete`,
// the fallback through the setup variants when the service rejects a setup, the resumption handle
// carried from one connection to the next, the renewal on the service's `goAway`, and the end of
// the audio stream signalled after a pause.
//
// Threading: every operation, socket callback, timer block and token completion runs on the core
// queue. Nothing locks. The stream-end timer holds the translator weakly.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "core/links/gemini/gemini_protocol.h"
#include "core/links/connected_translator.h"

namespace quendra {

class GeminiTranslator final : public ConnectedTranslator {
public:
    explicit GeminiTranslator(TranslatorOptions options);
    ~GeminiTranslator() override;

    void sendAudio(const std::vector<std::int16_t>& samples) override;
    void close() override;

    // Sends the end of the audio stream now if a ready connection takes audio.
    void sendAudioStreamEnd();

    // The latest resumable handle the service gave.
    const std::optional<std::string>& resumptionHandle() const { return resumptionHandle_; }

private:
    // One connection, with the setup message it sends once open.
    class Session;

    std::shared_ptr<GeminiTranslator> self();

    std::optional<std::string> resumptionHandleFor(std::int64_t attempt) const override;
    [[nodiscard]] tl::expected<ConnectionPtr, Error> openConnection(const Attempt& attempt, const Token& token) override;
    void connectionOpened(const ConnectionPtr& connection) override;
    void connectionMessage(const ConnectionPtr& connection, const std::string& text) override;
    Error closedBeforeReady(int code, const std::string& description) const override;
    Error setupTimedOut() const override;
    void attemptEnded(const ConnectionPtr& connection, AttemptEnd why) override;
    std::optional<std::int64_t> retryAtOnce(const Attempt& attempt, const Error& error) override;
    std::optional<double> renewAfterMs(const ConnectionPtr& connection) const override;
    void sendQueued(const ConnectionPtr& connection, const std::vector<std::int16_t>& samples) override;

    // One text message of the service. Untrusted input: its parse never throws; what the
    // owner's callbacks throw passes through.
    void handleMessage(const ConnectionPtr& session, const std::string& text);
    void handleServerContent(const nlohmann::json& content);
    void sendChunk(const ConnectionPtr& session, const std::vector<std::int16_t>& samples);
    void armStreamEnd();
    void transcript(TranscriptKind kind, const std::string& text, bool finished);
    void finalizeTranscripts();

    std::optional<std::string> resumptionHandle_;
    std::shared_ptr<Cancellable> streamEndTimer_;
    std::array<std::string, 2> transcripts_;  // indexed by TranscriptKind
    bool warnedLongAudio_ = false;
    std::vector<GeminiVariant> variants_;
    std::optional<Token::Kind> variantsKind_;
    std::int64_t variantIdx_ = 0;
};

}  // namespace quendra
