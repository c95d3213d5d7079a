#include "core/links/openai/openai_translator.h"

#include <cmath>
#include <cstdio>
#include <utility>

#include <nlohmann/json.hpp>

#include "core/base/json_text.h"
#include "core/base/text.h"
#include "core/links/openai/openai_protocol.h"
#include "core/audio/pcm.h"
#include "core/service/token_client.h"

namespace quendra {

namespace P = OpenAIProtocol;
using json = nlohmann::json;

class OpenAITranslator::Session final : public Connection {
public:
    Session(std::shared_ptr<WebSocketLike> socket, bool transcription)
        : Connection(std::move(socket)), withTranscription(transcription) {}

    std::optional<double> expiresAt;
    bool withTranscription;

    void send(const json& event) const { ws->send(jsonString(event)); }
};

namespace {

constexpr double kSilenceBlockMs = 200;
constexpr size_t kSilenceBlockSamples = 3200;  // 200 ms at 16 kHz
// Distinct once-only debug lines kept; a server inventing event types cannot grow the set
// without bound.
constexpr size_t kMaxWarned = 64;
// Longest event type quoted in the log.
constexpr size_t kMaxLoggedType = 120;
// Announced rates of received audio that are resampled; anything else is not audio we can play
// (a rate near 0 would ask for an enormous buffer).
constexpr double kMinDeltaRateHz = 1000;
constexpr double kMaxDeltaRateHz = 1'000'000;

LinkError linkError(std::string message, std::optional<bool> retryable = std::nullopt) {
    return LinkError{std::move(message), retryable, false};
}

std::string stringMember(const json& object, const char* name) {
    const json* v = jsonMember(object, name);
    return v && v->is_string() ? v->get<std::string>() : std::string();
}

// A JSON number as a person writes it: 2, 2.5, -1e+30.
std::string numberText(const json& number) {
    if (number.is_number_integer()) return number.dump();
    const double v = number.get<double>();
    char buf[64];
    if (std::isfinite(v) && v == std::trunc(v) && std::fabs(v) < 1e15) {
        std::snprintf(buf, sizeof buf, "%.0f", v);
    } else {
        std::snprintf(buf, sizeof buf, "%g", v);
    }
    return buf;
}

// At most `limit` bytes, cut on a UTF-8 character boundary.
std::string clipped(const std::string& text, size_t limit) {
    if (text.size() <= limit) return text;
    size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return text.substr(0, end) + "…";
}

}  // namespace

OpenAITranslator::OpenAITranslator(TranslatorOptions options)
    : ConnectedTranslator(std::move(options), P::redact, "fine") {
    transcripts_[TranscriptKind::input] = "";
    transcripts_[TranscriptKind::output] = "";
}

OpenAITranslator::~OpenAITranslator() = default;

std::shared_ptr<OpenAITranslator> OpenAITranslator::self() {
    return std::static_pointer_cast<OpenAITranslator>(shared_from_this());
}

std::string OpenAITranslator::language() const {
    return opts.targetLanguage.empty() ? "en" : opts.targetLanguage;
}

// ---------------------------------------------------------------------------------------------
// Connecting

bool OpenAITranslator::admitConnect(const Completion& completion) {
    const std::string lang = language();
    if (!P::supportsLanguage(lang)) {
        const std::string message = "OpenAI non traduce verso «" + lang +
                                    "»: scegli un'altra lingua o un altro modello.";
        setState(LinkState::error, message);
        if (completion) completion(Error{linkError(message, false)});
        return false;
    }
    if (!trimWhitespace(opts.glossary).empty()) {
        log_.debug("glossario ignorato: gpt-realtime-translate non accetta istruzioni");
    }
    if (!opts.voice.empty() && opts.voice != "mimic") {
        log_.debug("voce fissa ignorata: gpt-realtime-translate adatta la voce a chi parla");
    }
    return true;
}

tl::expected<ConnectedTranslator::ConnectionPtr, Error> OpenAITranslator::openConnection(
    const Attempt&, const Token& token) {
    if (token.token.empty()) return tl::unexpected(Error{linkError("getToken() non ha restituito un gettone")});
    // The credential travels in a request header: a line break would smuggle in headers of its
    // own. No retry mends the token the service handed out.
    if (hasControlCharacters(token.token)) {
        return tl::unexpected(Error{
            linkError("gettone non valido: contiene caratteri di controllo (a capo o simili)", false)});
    }
    if (auto expired = expiredToken(token)) return tl::unexpected(std::move(*expired));
    auto ws = openSocket(P::socketUrl(), P::unconfirmedSubprotocols(token.token));
    if (!ws) return tl::unexpected(ws.error());
    // No handler for the socket's opening: the client speaks only after `session.created`.
    return std::make_shared<Session>(std::move(*ws), opts.inputTranscription);
}

Error OpenAITranslator::closedBeforeReady(int code, const std::string& description) const {
    const char* hint = code == 1006 ? ": gettone rifiutato o rete assente" : "";
    const std::optional<bool> retryable = CloseCode::isFinal(code) ? std::optional<bool>(false) : std::nullopt;
    return Error{linkError("chiuso prima dell'avvio (" + description + hint + ")", retryable)};
}

Error OpenAITranslator::setupTimedOut() const { return Error{linkError("timeout del collegamento a OpenAI")}; }

void OpenAITranslator::attemptEnded(const ConnectionPtr& connection, AttemptEnd) {
    connection->ws->close(1000, "setup fallito");
}

void OpenAITranslator::connectionMessage(const ConnectionPtr& connection, const std::string& text) {
    // Only the parse is guarded: malformed text gives a discarded value. What the owner's
    // callbacks throw while an event is handled is theirs and goes up to the core queue's run loop.
    const json event = parseJson(text);
    if (event.is_discarded() || !event.is_object()) {
        log_.warn("JSON non valido dal server");
        return;
    }
    handleMessage(std::static_pointer_cast<Session>(connection), event);
}

void OpenAITranslator::handleMessage(const SessionPtr& session, const json& event) {
    const json* typeValue = jsonMember(event, "type");
    const std::string type = typeValue && typeValue->is_string() ? typeValue->get<std::string>() : "";

    if (type == "session.created") {
        log_.debug("session.created");
        session->send(P::buildSessionUpdate(language(), session->withTranscription));
    } else if (type == "session.updated") {
        if (const json* s = jsonMember(event, "session")) {
            if (auto expiry = TokenClient::expiresAtMs(jsonMember(*s, "expires_at"))) {
                session->expiresAt = expiry;
            }
        }
        if (session->ready) return;
        log_.debug(session->withTranscription ? "session.updated: con trascrizione"
                                              : "session.updated: senza trascrizione");
        connectionReady(session);
    } else if (type == "session.output_audio.delta") {
        handleAudioDelta(event);
    } else if (type == "session.input_transcript.delta" || type == "session.output_transcript.delta") {
        transcript(type == "session.input_transcript.delta" ? TranscriptKind::input : TranscriptKind::output,
                   stringMember(event, "delta"));
    } else if (type == "session.closed") {
        log_.debug("session.closed");
        if (session->retired) {
            shut(session);
        } else if (session == active() && !closing()) {
            replaceEndedActive("chiusa dal server");
        }
    } else if (type == "error") {
        const json* error = jsonMember(event, "error");
        handleError(session, error && error->is_object() ? *error : json::object());
    } else {
        debugOnce("evento non gestito: " + clipped(type, kMaxLoggedType));
    }
}

void OpenAITranslator::handleAudioDelta(const json& event) {
    const json* delta = jsonMember(event, "delta");
    if (!delta || !delta->is_string() || delta->get_ref<const std::string&>().empty()) return;
    std::vector<std::int16_t> chunk = PCM::int16(delta->get_ref<const std::string&>());

    const json* channels = jsonMember(event, "channels");
    if (channels && channels->is_number() && channels->get<double>() != 1.0) {
        debugOnce("audio con " + numberText(*channels) + " canali: atteso mono");
    }
    const json* rate = jsonMember(event, "sample_rate");
    const double hz = rate && rate->is_number() ? rate->get<double>() : 0;
    const bool resample = hz > 0 && hz != P::apiRateHz;
    if (resample && !(hz >= kMinDeltaRateHz && hz <= kMaxDeltaRateHz)) {
        debugOnce("frequenza audio non valida: " + numberText(*rate));
        chunk.clear();
    }
    // Sized before it is converted: a long delta at a low rate would resample to gigabytes.
    const double frames = static_cast<double>(chunk.size()) * (resample ? P::apiRateHz / hz : 1.0);
    if (frames > static_cast<double>(maxMessageFrames)) {
        debugOnce("audio troppo lungo in un messaggio: scartato");
        return;
    }
    if (resample && !chunk.empty()) {
        const auto floats = PCM::int16ToFloat(chunk);
        chunk = PCM::floatToInt16(PCM::resampleLinear(floats, hz, P::apiRateHz));
    }
    chunk = PCM::applyGain(chunk, P::outputGain);
    outputBytes += 2 * static_cast<std::int64_t>(chunk.size());
    if (onAudio) onAudio(chunk);
    maybeEmitUsage();
}

void OpenAITranslator::handleError(const SessionPtr& session, const json& error) {
    std::string type = stringMember(error, "type");
    if (type.empty()) type = "?";
    const std::string code = stringMember(error, "code");
    const std::string param = stringMember(error, "param");
    const std::string message = stringMember(error, "message");

    std::string line = "errore OpenAI: " + type;
    if (!code.empty()) line += " / " + code;
    if (!param.empty()) line += " (" + param + ")";
    line += ": " + message;
    log_.warn(line);

    if (session->ready) return;
    if (session->withTranscription &&
        lowercaseAscii(param + " " + message).find("transcription") != std::string::npos) {
        session->withTranscription = false;
        log_.warn("trascrizione rifiutata: riprovo senza");
        session->send(P::buildSessionUpdate(language(), false));
        return;
    }
    std::string what = !message.empty() ? message
                       : !code.empty()  ? code
                       : type != "?"    ? type
                                        : "errore";
    std::optional<bool> retryable;
    if (type == "invalid_request_error" || type == "authentication_error") retryable = false;
    failAttempt(session, linkError(redacted("OpenAI ha rifiutato il collegamento: " + what), retryable),
                AttemptEnd::refused);
}

// ---------------------------------------------------------------------------------------------
// Sessions

void OpenAITranslator::retiring(const ConnectionPtr& connection) {
    if (connection->ws->isOpen()) static_cast<const Session&>(*connection).send(P::buildSessionClose());
}

std::optional<double> OpenAITranslator::renewAfterMs(const ConnectionPtr& connection) const {
    if (opts.tuning.renewAfterMs) return *opts.tuning.renewAfterMs;
    const auto& expiresAt = static_cast<const Session&>(*connection).expiresAt;
    if (!expiresAt) return P::unconfirmedFallbackRenewMs;
    const double delay = *expiresAt - opts.scheduler->nowMs() - P::renewMarginMs;
    return delay >= 30000 ? delay : 30000;
}

void OpenAITranslator::sendQueued(const ConnectionPtr&, const std::vector<std::int16_t>& samples) {
    push(samples);
}

// ---------------------------------------------------------------------------------------------
// Audio out

void OpenAITranslator::sendAudio(const std::vector<std::int16_t>& samples) {
    if (!takesAudio()) return;
    if (silenceTimer_) silenceTimer_->cancel();
    silenceTimer_.reset();
    push(samples);
    if (opts.tuning.silenceTailMs > 0) {
        std::weak_ptr<OpenAITranslator> weak = self();
        const double tail = opts.tuning.silenceTailMs;
        silenceTimer_ = opts.scheduler->after(opts.tuning.silenceAfterMs, [weak, tail] {
            if (auto me = weak.lock()) me->silenceStep(tail);
        });
    }
}

void OpenAITranslator::push(const std::vector<std::int16_t>& samples) {
    if (canSendNow()) {
        const auto floats = PCM::int16ToFloat(samples);
        resampler_.process(floats, resampled_);
        const auto out = PCM::floatToInt16(resampled_);
        static_cast<const Session&>(*active()).send(P::buildAudioAppend(out));
        inputBytes += 2 * static_cast<std::int64_t>(samples.size());
        maybeEmitUsage();
        return;
    }
    enqueue(samples);
}

void OpenAITranslator::silenceStep(double left) {
    if (closing() || left <= 0) {
        if (silenceTimer_) silenceTimer_->cancel();
        silenceTimer_.reset();
        return;
    }
    push(std::vector<std::int16_t>(kSilenceBlockSamples, 0));
    std::weak_ptr<OpenAITranslator> weak = self();
    silenceTimer_ = opts.scheduler->after(kSilenceBlockMs, [weak, left] {
        if (auto me = weak.lock()) me->silenceStep(left - kSilenceBlockMs);
    });
}

// ---------------------------------------------------------------------------------------------
// Transcripts, usage, logging

void OpenAITranslator::transcript(TranscriptKind kind, const std::string& text) {
    if (text.empty()) return;
    auto& accumulated = transcripts_[kind];
    // Appending in place keeps the work linear; a full utterance takes no more pieces.
    if (!appendWithin(accumulated, text, maxTranscriptBytes)) return;
    if (onTranscript) onTranscript(accumulated, kind, false);
    auto& timer = transcriptTimers_[kind];
    if (timer) timer->cancel();
    std::weak_ptr<OpenAITranslator> weak = self();
    timer = opts.scheduler->after(opts.tuning.transcriptPauseMs, [weak, kind] {
        if (auto me = weak.lock()) me->finalizeTranscript(kind);
    });
}

void OpenAITranslator::finalizeTranscript(TranscriptKind kind) {
    if (auto it = transcriptTimers_.find(kind); it != transcriptTimers_.end()) {
        if (it->second) it->second->cancel();
        transcriptTimers_.erase(it);
    }
    const std::string text(trimWhitespace(transcripts_[kind]));
    transcripts_[kind].clear();
    if (!text.empty() && onTranscript) onTranscript(text, kind, true);
}

void OpenAITranslator::debugOnce(const std::string& text) {
    if (warned_.size() >= kMaxWarned || !warned_.insert(text).second) return;
    log_.debug(text);
}

// ---------------------------------------------------------------------------------------------
// Closing

void OpenAITranslator::close() {
    // An attempt under way ends at once: its socket is closed as a failed setup.
    if (!closeConnections(true)) return;
    if (silenceTimer_) silenceTimer_->cancel();
    silenceTimer_.reset();
    finalizeTranscript(TranscriptKind::input);
    finalizeTranscript(TranscriptKind::output);
    reportUsage();
    if (state != LinkState::closed) setState(LinkState::closed);
}

}  // namespace quendra
