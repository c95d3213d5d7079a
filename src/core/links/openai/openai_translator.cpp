#include "core/links/openai/openai_translator.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
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

// One WebSocket connection. Owned by the attempt that opens it, then by `active_` / `draining_`;
// its socket's callbacks hold it weakly, so a forgotten session takes its socket with it.
class OpenAITranslator::Session {
public:
    Session(std::shared_ptr<WebSocketLike> socket, bool transcription)
        : ws(std::move(socket)), withTranscription(transcription) {}

    const std::shared_ptr<WebSocketLike> ws;
    bool ready = false;
    bool retired = false;
    std::optional<double> expiresAt;
    bool withTranscription;
    std::shared_ptr<Cancellable> drainTimer;
    std::function<void()> onReady;
    std::function<void(Error)> onSetupError;

    void send(const json& event) const { ws->send(jsonString(event)); }
};

// The state of one connection attempt: its completion acts at most once, on readiness, on a setup
// error, on a close before readiness, on the setup timeout or when `close` aborts it. Only the
// setup timer holds it strongly; the session's callbacks and the translator reach it weakly.
struct OpenAITranslator::Attempt {
    std::weak_ptr<OpenAITranslator> owner;
    SessionPtr session;
    SessionCompletion completion;
    std::shared_ptr<Cancellable> setupTimer;
    bool done = false;
};

namespace {

constexpr const char* kClosed = "chiuso";
constexpr double kSilenceBlockMs = 200;
constexpr size_t kSilenceBlockSamples = 3200;  // 200 ms at 16 kHz
// Distinct once-only debug lines kept; a server inventing event types cannot grow the set
// without bound.
constexpr size_t kMaxWarned = 64;
// Longest event type quoted in the log.
constexpr size_t kMaxLoggedType = 120;
// Announced rates of received audio that are resampled; anything else is not audio we can play
// (a rate near 0 would ask for an enormous buffer).
constexpr double kMinDeltaRate = 1000;
constexpr double kMaxDeltaRate = 1'000'000;

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
    : Translator(std::move(options)), lastUsageEmit_(-std::numeric_limits<double>::infinity()) {
    transcripts_[TranscriptKind::input] = "";
    transcripts_[TranscriptKind::output] = "";
    const Logger& base = opts.logger;
    log_.debug = [sink = base.debug, secrets = credentials()](const std::string& text) {
        if (sink) sink(P::redact(withoutSecrets(text, *secrets)));
    };
    log_.warn = [sink = base.warn, secrets = credentials()](const std::string& text) {
        if (sink) sink(P::redact(withoutSecrets(text, *secrets)));
    };
    // 100 ms chunks, halves away from zero, at least one; capped so the conversion stays defined.
    const double chunks = std::round(opts.tuning.maxQueueMs / 100.0);
    maxQueueChunks_ = chunks >= 1 ? static_cast<std::int64_t>(std::min(chunks, 1e15)) : 1;
}

OpenAITranslator::~OpenAITranslator() = default;

std::shared_ptr<OpenAITranslator> OpenAITranslator::self() {
    return std::static_pointer_cast<OpenAITranslator>(shared_from_this());
}

std::string OpenAITranslator::redacted(std::string_view text) const {
    return P::redact(withoutCredentials(text));
}

Error OpenAITranslator::redacted(const Error& error) const {
    return std::visit(
        [this](auto e) -> Error {
            e.message = redacted(e.message);
            return e;
        },
        error);
}

std::string OpenAITranslator::language() const {
    return opts.targetLanguage.empty() ? "en" : opts.targetLanguage;
}

// ---------------------------------------------------------------------------------------------
// Connecting

void OpenAITranslator::connect(Completion completion) {
    if (active_ || switching_) {
        if (completion) completion(std::nullopt);
        return;
    }
    closing_ = false;
    youngDrops_ = 0;
    const std::string lang = language();
    if (!P::supportsLanguage(lang)) {
        const std::string message = "OpenAI non traduce verso «" + lang +
                                    "»: scegli un'altra lingua o un altro modello.";
        setState(LinkState::error, message);
        if (completion) completion(Error{linkError(message, false)});
        return;
    }
    if (!trimWhitespace(opts.glossary).empty()) {
        log_.debug("glossario ignorato: gpt-realtime-translate non accetta istruzioni");
    }
    if (!opts.voice.empty() && opts.voice != "mimic") {
        log_.debug("voce fissa ignorata: gpt-realtime-translate adatta la voce a chi parla");
    }
    if (state != LinkState::connecting) setState(LinkState::connecting);
    switching_ = true;
    const std::uint64_t generation = generation_;
    auto me = self();
    openWithRetry(0, std::nullopt, generation, [me, generation, completion](SessionResult result) {
        if (generation != me->generation_) {
            // A `close` came in between and a new `connect` may own the link by now.
            if (result) me->retire(*result, 0);
            if (completion) completion(std::nullopt);
            return;
        }
        me->switching_ = false;
        if (result) {
            if (me->closing_) {
                me->retire(*result, 0);
            } else {
                me->activate(*result);
                if (me->state != LinkState::open) me->setState(LinkState::open);
            }
            if (completion) completion(std::nullopt);
            return;
        }
        if (me->closing_) {
            if (completion) completion(std::nullopt);
            return;
        }
        const Error shown = me->redacted(result.error());
        me->setState(LinkState::error, errorMessage(shown));
        if (completion) completion(shown);
    });
}

void OpenAITranslator::openWithRetry(std::int64_t attempt, std::optional<Error> lastError,
                                     std::uint64_t generation, SessionCompletion completion) {
    if (stale(generation)) {
        completion(tl::unexpected(Error{linkError(kClosed)}));
        return;
    }
    if (attempt > opts.tuning.maxRetries) {
        completion(tl::unexpected(lastError ? *lastError : Error{linkError("connessione fallita")}));
        return;
    }
    auto me = self();
    openOnce(generation, [me, attempt, generation, completion](SessionResult result) {
        if (result) {
            completion(std::move(result));
            return;
        }
        const Error error = result.error();
        me->log_.warn("connessione fallita (tentativo " + std::to_string(attempt + 1) +
                      "): " + errorMessage(error));
        if (isNonRetryable(error) || attempt >= me->opts.tuning.maxRetries) {
            completion(tl::unexpected(error));
            return;
        }
        const double delay = retryDelayMs(me->opts.tuning, attempt, me->opts.random());
        (void)me->opts.scheduler->after(delay, [me, attempt, error, generation, completion] {
            me->openWithRetry(attempt + 1, error, generation, completion);
        });
    });
}

void OpenAITranslator::openOnce(std::uint64_t generation, SessionCompletion completion) {
    auto me = self();
    auto answered = std::make_shared<bool>(false);
    opts.getToken([me, generation, completion, answered](Result<Token> token) {
        // A token source that answers twice must not open two connections.
        if (std::exchange(*answered, true)) return;
        if (me->stale(generation)) {
            completion(tl::unexpected(Error{linkError(kClosed)}));
            return;
        }
        if (!token) {
            completion(tl::unexpected(token.error()));
            return;
        }
        if (token->token.empty()) {
            completion(tl::unexpected(Error{linkError("getToken() non ha restituito un gettone")}));
            return;
        }
        me->rememberCredential(token->token);
        // The credential travels in a request header: a line break would smuggle in headers of
        // its own. No retry mends the token the service handed out.
        if (hasControlCharacters(token->token)) {
            completion(tl::unexpected(Error{linkError(
                "gettone non valido: contiene caratteri di controllo (a capo o simili)", false)}));
            return;
        }
        if (token->kind == Token::Kind::ephemeral && token->expiresAtMs &&
            *token->expiresAtMs <= me->opts.scheduler->nowMs()) {
            completion(tl::unexpected(
                Error{linkError("gettone già scaduto (controlla data e ora del computer)")}));
            return;
        }
        auto socket = me->opts.makeSocket(P::socketUrl(), P::unconfirmedSubprotocols(token->token));
        if (!socket) {
            completion(tl::unexpected(Error{linkError("connessione fallita")}));
            return;
        }
        auto session = std::make_shared<Session>(socket, me->opts.inputTranscription);
        auto attempt = std::make_shared<Attempt>();
        attempt->owner = me;
        attempt->session = session;
        attempt->completion = completion;

        std::weak_ptr<Attempt> weakAttempt = attempt;
        attempt->setupTimer = me->opts.scheduler->after(me->opts.tuning.setupTimeoutMs, [attempt] {
            failAttempt(attempt, linkError("timeout del collegamento a OpenAI"));
        });
        me->pendingAttempt_ = attempt;
        session->onReady = [weakAttempt] {
            if (auto a = weakAttempt.lock()) readyAttempt(a);
        };
        session->onSetupError = [weakAttempt](Error error) {
            if (auto a = weakAttempt.lock()) failAttempt(a, std::move(error));
        };

        std::weak_ptr<OpenAITranslator> weakMe = me;
        std::weak_ptr<Session> weakSession = session;
        // No onOpen handler: the client speaks only after `session.created`.
        socket->onMessage = [weakMe, weakSession](const std::string& text) {
            auto translator = weakMe.lock();
            auto s = weakSession.lock();
            if (translator && s) translator->onSocketMessage(s, text);
        };
        socket->onClose = [weakMe, weakSession](int code, const std::string& reason) {
            auto translator = weakMe.lock();
            auto s = weakSession.lock();
            if (translator && s) translator->onSocketClose(s, code, reason);
        };
    });
}

// Ends an attempt's wait for readiness: its timer stops, its session no longer reports to it and
// it is no longer the pending one. Returns the completion still to be called.
OpenAITranslator::SessionCompletion OpenAITranslator::settleAttempt(Attempt& attempt) {
    attempt.done = true;
    if (attempt.setupTimer) attempt.setupTimer->cancel();
    attempt.session->onReady = nullptr;
    attempt.session->onSetupError = nullptr;
    if (auto owner = attempt.owner.lock()) {
        if (owner->pendingAttempt_.lock().get() == &attempt) owner->pendingAttempt_.reset();
    }
    auto completion = std::move(attempt.completion);
    attempt.completion = nullptr;
    return completion;
}

void OpenAITranslator::failAttempt(std::shared_ptr<Attempt> attempt, Error error) {
    const SessionPtr session = attempt->session;
    if (attempt->done || session->ready) return;
    auto completion = settleAttempt(*attempt);
    if (completion) completion(tl::unexpected(std::move(error)));
    session->ws->close(1000, "setup fallito");
}

void OpenAITranslator::readyAttempt(std::shared_ptr<Attempt> attempt) {
    const SessionPtr session = attempt->session;
    if (attempt->done) return;
    session->ready = true;
    auto completion = settleAttempt(*attempt);
    if (completion) completion(session);
}

void OpenAITranslator::abortAttempt(Error error) {
    auto attempt = pendingAttempt_.lock();
    pendingAttempt_.reset();
    if (attempt) failAttempt(attempt, std::move(error));
}

// ---------------------------------------------------------------------------------------------
// Socket events

void OpenAITranslator::onSocketMessage(const SessionPtr& session, const std::string& text) {
    // Only the parse is guarded: malformed text gives a discarded value. What the owner's
    // callbacks throw while an event is handled is theirs and goes up to the core queue's run loop.
    const json event = parseJson(text);
    if (event.is_discarded() || !event.is_object()) {
        log_.warn("JSON non valido dal server");
        return;
    }
    handleMessage(session, event);
}

void OpenAITranslator::onSocketClose(const SessionPtr& session, int code, const std::string& reason) {
    // The close handler itself stays: it is running, and it comes only once.
    session->ws->onOpen = nullptr;
    session->ws->onMessage = nullptr;
    if (session->drainTimer) session->drainTimer->cancel();
    std::string detail = "codice " + std::to_string(code);
    if (!reason.empty()) detail += " " + reason;
    if (!session->ready) {
        if (session->onSetupError) {
            const char* hint = code == 1006 ? ": gettone rifiutato o rete assente" : "";
            const std::optional<bool> retryable =
                CloseCode::isFinal(code) ? std::optional<bool>(false) : std::nullopt;
            session->onSetupError(linkError("chiuso prima dell'avvio (" + detail + hint + ")", retryable));
        }
        return;
    }
    std::erase(draining_, session);
    if (!session->retired && session == active_ && !closing_) {
        const std::string what = "connessione caduta (" + detail + ")";
        log_.warn(what);
        active_.reset();
        renew("dropped", what);
    }
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
        if (session->onReady) {
            auto onReady = session->onReady;
            onReady();
        }
    } else if (type == "session.output_audio.delta") {
        handleAudioDelta(event);
    } else if (type == "session.input_transcript.delta" || type == "session.output_transcript.delta") {
        transcript(type == "session.input_transcript.delta" ? TranscriptKind::input : TranscriptKind::output,
                   stringMember(event, "delta"));
    } else if (type == "session.closed") {
        log_.debug("session.closed");
        if (session->retired) {
            shut(session);
        } else if (session == active_ && !closing_) {
            active_.reset();
            session->retired = true;
            shut(session);
            renew("chiusa dal server");
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
    const bool resample = hz > 0 && hz != P::apiRate;
    if (resample && !(hz >= kMinDeltaRate && hz <= kMaxDeltaRate)) {
        debugOnce("frequenza audio non valida: " + numberText(*rate));
        chunk.clear();
    }
    // Sized before it is converted: a long delta at a low rate would resample to gigabytes.
    const double frames = static_cast<double>(chunk.size()) * (resample ? P::apiRate / hz : 1.0);
    if (frames > static_cast<double>(maxMessageFrames)) {
        debugOnce("audio troppo lungo in un messaggio: scartato");
        return;
    }
    if (resample && !chunk.empty()) {
        const auto floats = PCM::int16ToFloat(chunk);
        chunk = PCM::floatToInt16(PCM::resampleLinear(floats, hz, P::apiRate));
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
    if (session->onSetupError) {
        auto onSetupError = session->onSetupError;
        onSetupError(linkError(redacted("OpenAI ha rifiutato il collegamento: " + what), retryable));
    }
}

// ---------------------------------------------------------------------------------------------
// Sessions

void OpenAITranslator::activate(const SessionPtr& session) {
    active_ = session;
    switching_ = false;
    activatedAtMs_ = opts.scheduler->nowMs();
    auto queued = std::move(queue_);
    queue_.clear();
    for (const auto& chunk : queued) push(chunk);

    if (renewTimer_) renewTimer_->cancel();
    renewTimer_.reset();
    double delay;
    if (opts.tuning.renewAfterMs) {
        delay = *opts.tuning.renewAfterMs;
    } else if (!session->expiresAt) {
        delay = P::unconfirmedFallbackRenewMs;
    } else {
        delay = *session->expiresAt - opts.scheduler->nowMs() - P::renewMarginMs;
        if (!(delay >= 30000)) delay = 30000;
    }
    // An infinite delay means never; the scheduler would take it as "now".
    if (delay > 0 && std::isfinite(delay)) {
        std::weak_ptr<OpenAITranslator> weak = self();
        renewTimer_ = opts.scheduler->after(delay, [weak] {
            if (auto me = weak.lock()) me->renew("timer");
        });
    }
}

void OpenAITranslator::retire(const SessionPtr& session, double drainMs) {
    session->retired = true;
    if (std::find(draining_.begin(), draining_.end(), session) == draining_.end()) {
        draining_.push_back(session);
    }
    if (session->drainTimer) session->drainTimer->cancel();
    session->drainTimer.reset();
    if (session->ws->isOpen()) session->send(P::buildSessionClose());
    if (drainMs <= 0) {
        shut(session);
        return;
    }
    std::weak_ptr<OpenAITranslator> weakMe = self();
    std::weak_ptr<Session> weakSession = session;
    session->drainTimer = opts.scheduler->after(drainMs, [weakMe, weakSession] {
        auto me = weakMe.lock();
        auto s = weakSession.lock();
        if (me && s) me->shut(s);
    });
}

void OpenAITranslator::shut(SessionPtr session) {
    std::erase(draining_, session);
    if (session->drainTimer) session->drainTimer->cancel();
    session->drainTimer.reset();
    session->ws->close(1000, "fine");
}

void OpenAITranslator::renew(const std::string& reason, const std::string& dropText) {
    if (closing_ || switching_) return;
    const SessionPtr old = active_;
    switching_ = true;
    if (renewTimer_) renewTimer_->cancel();
    renewTimer_.reset();
    log_.debug("rinnovo connessione (" + reason + ")");
    const bool dropped = reason == "dropped";
    if (dropped && state != LinkState::reconnecting) setState(LinkState::reconnecting);
    if (old && !old->retired) retire(old, dropped ? 0 : opts.tuning.drainMs);

    const std::uint64_t generation = generation_;
    auto me = self();
    SessionCompletion done = [me, generation](SessionResult result) {
        if (me->stale(generation)) {
            if (result) me->retire(*result, 0);
            return;
        }
        if (result) {
            me->activate(*result);
            if (me->state != LinkState::open) me->setState(LinkState::open);
            return;
        }
        me->switching_ = false;
        me->active_.reset();
        me->setState(LinkState::error, me->redacted(errorMessage(result.error())));
    };
    if (dropped) {
        // A connection that died young counts as a failed attempt: the reconnection waits the
        // backoff of the young drops in a row, and the retry cap ends them.
        youngDrops_ = opts.scheduler->nowMs() - activatedAtMs_ < shortLivedMs ? youngDrops_ + 1 : 0;
        if (youngDrops_ > 0 && youngDrops_ > opts.tuning.maxRetries) {
            done(tl::unexpected(Error{linkError(dropText.empty() ? "connessione caduta" : dropText)}));
            return;
        }
        if (youngDrops_ > 0) {
            const double delay = retryDelayMs(opts.tuning, youngDrops_ - 1, opts.random());
            log_.debug("connessione durata meno di " + std::to_string(static_cast<int>(shortLivedMs / 1000)) +
                       " s: nuovo tentativo tra " + std::to_string(static_cast<std::int64_t>(delay)) + " ms");
            (void)opts.scheduler->after(delay, [me, generation, done] {
                me->openWithRetry(0, std::nullopt, generation, done);
            });
            return;
        }
    }
    openWithRetry(0, std::nullopt, generation, std::move(done));
}

// ---------------------------------------------------------------------------------------------
// Audio out

void OpenAITranslator::sendAudio(const std::vector<std::int16_t>& samples) {
    if (closing_ || state == LinkState::closed || state == LinkState::error) return;
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
    if (!switching_ && active_ && active_->ws->isOpen()) {
        const auto floats = PCM::int16ToFloat(samples);
        resampler_.process(floats, resampled_);
        const auto out = PCM::floatToInt16(resampled_);
        active_->send(P::buildAudioAppend(out));
        inputBytes += 2 * static_cast<std::int64_t>(samples.size());
        maybeEmitUsage();
        return;
    }
    queue_.push_back(samples);
    while (static_cast<std::int64_t>(queue_.size()) > maxQueueChunks_) {
        queue_.pop_front();
        ++droppedChunks_;
    }
}

void OpenAITranslator::silenceStep(double left) {
    if (closing_ || left <= 0) {
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

void OpenAITranslator::maybeEmitUsage() {
    const double now = opts.scheduler->nowMs();
    if (now - lastUsageEmit_ >= opts.tuning.usageIntervalMs) {
        lastUsageEmit_ = now;
        reportUsage();
    }
}

void OpenAITranslator::debugOnce(const std::string& text) {
    if (warned_.size() >= kMaxWarned || !warned_.insert(text).second) return;
    log_.debug(text);
}

// ---------------------------------------------------------------------------------------------
// Closing

void OpenAITranslator::close() {
    // A second close, with no connect in between, shows nothing.
    if (closing_ && state == LinkState::closed) return;
    closing_ = true;
    ++generation_;
    if (renewTimer_) renewTimer_->cancel();
    renewTimer_.reset();
    if (silenceTimer_) silenceTimer_->cancel();
    silenceTimer_.reset();
    queue_.clear();

    if (active_ && std::find(draining_.begin(), draining_.end(), active_) == draining_.end()) {
        draining_.push_back(active_);
    }
    const auto sessions = draining_;
    for (const auto& session : sessions) retire(session, 0);

    abortAttempt(linkError(kClosed));
    active_.reset();
    switching_ = false;

    finalizeTranscript(TranscriptKind::input);
    finalizeTranscript(TranscriptKind::output);

    reportUsage();
    if (state != LinkState::closed) setState(LinkState::closed);
}

}  // namespace quendra
