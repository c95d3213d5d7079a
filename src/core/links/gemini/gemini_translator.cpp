#include "core/links/gemini/gemini_translator.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <utility>

#include <nlohmann/json.hpp>

#include "core/base/json_text.h"
#include "core/base/text.h"
#include "core/audio/pcm.h"

namespace quendra {

namespace {

using nlohmann::json;

// The member `key` of `object` when it has the wanted type, else nullptr. Never throws.
const json* objectMember(const json& object, const char* key) {
    const json* m = jsonMember(object, key);
    return m && m->is_object() ? m : nullptr;
}
const std::string* nonEmptyString(const json& object, const char* key) {
    const json* m = jsonMember(object, key);
    if (!m || !m->is_string()) return nullptr;
    const auto& text = m->get_ref<const std::string&>();
    return text.empty() ? nullptr : &text;
}
bool isTrue(const json& object, const char* key) {
    const json* m = jsonMember(object, key);
    return m && m->is_boolean() && m->get<bool>();
}

const char* flag(bool value) { return value ? "true" : "false"; }

// The time left of a goAway in whole milliseconds, or "?" when it cannot be told.
std::string describeTimeLeft(const std::optional<double>& ms) {
    if (!ms || !std::isfinite(*ms)) return "?";
    char text[400];
    std::snprintf(text, sizeof text, "%.0f ms", std::trunc(*ms) + 0.0);  // + 0.0: no "-0"
    return text;
}

void cancelTimer(std::shared_ptr<Cancellable>& timer) {
    if (timer) timer->cancel();
    timer = nullptr;
}

}  // namespace

void GeminiTranslator::Session::settle(Result result) {
    auto pending = std::exchange(pending_, nullptr);
    if (pending) pending(std::move(result));
}

GeminiTranslator::GeminiTranslator(TranslatorOptions options)
    : Translator(std::move(options)), lastUsageEmit_(-std::numeric_limits<double>::infinity()) {
    // Every line passes the credential redactor: URLs and errors may carry the token.
    const Logger base = opts.logger;
    log_.debug = [base, secrets = credentials()](const std::string& text) {
        if (base.debug) base.debug(GeminiProtocol::redact(withoutSecrets(text, *secrets)));
    };
    log_.warn = [base, secrets = credentials()](const std::string& text) {
        if (base.warn) base.warn(GeminiProtocol::redact(withoutSecrets(text, *secrets)));
    };
    const double chunks = std::round(opts.tuning.maxQueueMs / 100);
    maxQueueChunks_ = chunks >= 1 ? static_cast<std::int64_t>(std::min(chunks, 1e15)) : 1;
}

GeminiTranslator::~GeminiTranslator() {
    cancelTimer(renewTimer_);
    cancelTimer(streamEndTimer_);
    for (const auto& weak : sessions_) {
        const auto session = weak.lock();
        if (!session || session->socketClosed_) continue;
        cancelTimer(session->setupTimer_);
        cancelTimer(session->drainTimer);
        session->onReady = nullptr;
        session->pending_ = nullptr;
        const auto ws = session->ws;
        ws->onOpen = nullptr;
        ws->onMessage = nullptr;
        ws->onClose = nullptr;
        ws->close(1000, "rinnovo");
    }
}

std::string GeminiTranslator::redacted(std::string_view text) const {
    return GeminiProtocol::redact(withoutCredentials(text));
}

Error GeminiTranslator::redacted(const Error& error) const {
    return std::visit(
        [this](auto e) -> Error {
            e.message = redacted(e.message);
            return e;
        },
        error);
}

std::shared_ptr<GeminiTranslator> GeminiTranslator::self() {
    return std::static_pointer_cast<GeminiTranslator>(shared_from_this());
}

void GeminiTranslator::connect(Completion completion) {
    if (active_ || switching_) {
        if (completion) completion(std::nullopt);
        return;
    }
    closing_ = false;
    youngDrops_ = 0;
    // Set before the state report, so that a `close` from inside it ends this series cleanly.
    switching_ = true;
    if (state != LinkState::connecting) setState(LinkState::connecting);
    const auto epoch = epoch_;
    std::weak_ptr<GeminiTranslator> weak = self();
    openWithRetry(0, std::nullopt, epoch,
                  [weak, epoch, completion = std::move(completion)](SessionResult result) {
                      const auto self = weak.lock();
                      if (!self) return;
                      if (result) {
                          if (self->closingFor(epoch)) {
                              self->retire(*result, 0);
                          } else {
                              self->switching_ = false;
                              self->activate(*result);
                              if (self->state != LinkState::open) self->setState(LinkState::open);
                          }
                          if (completion) completion(std::nullopt);
                          return;
                      }
                      if (self->closingFor(epoch)) {
                          if (completion) completion(std::nullopt);
                          return;
                      }
                      self->switching_ = false;
                      const Error shown = self->redacted(result.error());
                      self->setState(LinkState::error, errorMessage(shown));
                      if (completion) completion(shown);
                  });
}

void GeminiTranslator::openWithRetry(std::int64_t attempt, std::optional<Error> lastError,
                                     std::uint64_t epoch, SessionCompletion completion) {
    if (closingFor(epoch)) {
        completion(tl::unexpected(Error{LinkError{"chiuso", std::nullopt, false}}));
        return;
    }
    if (attempt > opts.tuning.maxRetries) {
        completion(tl::unexpected(
            lastError.value_or(Error{LinkError{"connessione fallita", std::nullopt, false}})));
        return;
    }
    // A handle that failed twice is not offered again.
    std::optional<std::string> handle = attempt <= 1 ? resumptionHandle_ : std::nullopt;
    const bool withHandle = handle.has_value();
    std::weak_ptr<GeminiTranslator> weak = self();
    openOnce(std::move(handle), epoch,
             [weak, attempt, withHandle, epoch, completion](SessionResult result) {
                 const auto self = weak.lock();
                 if (!self) return;
                 if (result) {
                     completion(std::move(result));
                     return;
                 }
                 const Error error = result.error();
                 self->log_.warn("connessione fallita (tentativo " + std::to_string(attempt + 1) +
                                 "): " + errorMessage(error));
                 if (isNonRetryable(error)) {
                     const auto* link = std::get_if<LinkError>(&error);
                     if (link && link->setupRejected) {
                         if (withHandle) {
                             // The service may refuse a stale handle: try once more without it.
                             self->resumptionHandle_.reset();
                             self->openWithRetry(attempt + 1, error, epoch, completion);
                             return;
                         }
                         if (self->variantIdx_ + 1 < static_cast<std::int64_t>(self->variants_.size())) {
                             ++self->variantIdx_;
                             const auto& v = self->variants_[static_cast<size_t>(self->variantIdx_)];
                             self->log_.warn("setup rifiutato, provo la variante " +
                                             std::to_string(self->variantIdx_) + ": " + v.apiVersion +
                                             ", ripresa=" + flag(v.sessionResumption) +
                                             ", compressione=" + flag(v.contextCompression) +
                                             ", glossario=" + flag(v.glossary));
                             self->openWithRetry(attempt, error, epoch, completion);
                             return;
                         }
                     }
                     completion(tl::unexpected(error));
                     return;
                 }
                 const auto& tuning = self->opts.tuning;
                 if (attempt < tuning.maxRetries) {
                     const double delay = retryDelayMs(tuning, attempt, self->opts.random());
                     (void)self->opts.scheduler->after(delay, [self, attempt, error, epoch, completion] {
                         self->openWithRetry(attempt + 1, error, epoch, completion);
                     });
                     return;
                 }
                 completion(tl::unexpected(error));
             });
}

void GeminiTranslator::openOnce(std::optional<std::string> handle, std::uint64_t epoch,
                                SessionCompletion completion) {
    auto answered = std::make_shared<bool>(false);
    opts.getToken([self = self(), handle = std::move(handle), epoch, completion = std::move(completion),
                   answered](Result<Token> token) {
        // A token source that answers twice must not open two connections.
        if (std::exchange(*answered, true)) return;
        self->startSession(handle, epoch, std::move(token), completion);
    });
}

void GeminiTranslator::startSession(const std::optional<std::string>& handle, std::uint64_t epoch,
                                    Result<Token> token, SessionCompletion completion) {
    if (closingFor(epoch)) {
        completion(tl::unexpected(Error{LinkError{"chiuso", std::nullopt, false}}));
        return;
    }
    if (!token) {
        completion(tl::unexpected(token.error()));
        return;
    }
    rememberCredential(token->token);
    if (token->kind == Token::Kind::ephemeral && token->expiresAtMs &&
        *token->expiresAtMs <= opts.scheduler->nowMs()) {
        completion(tl::unexpected(Error{LinkError{
            "gettone già scaduto (controlla data e ora del computer)", std::nullopt, false}}));
        return;
    }
    if (variants_.empty() || variantsKind_ != token->kind) {
        const bool hasGlossary = !trimWhitespace(opts.glossary).empty();
        variants_ = GeminiProtocol::compatVariants(token->kind, hasGlossary);
        variantsKind_ = token->kind;
        variantIdx_ = 0;
    }
    const GeminiVariant variant = variants_[static_cast<size_t>(variantIdx_)];
    auto url = GeminiProtocol::buildUrl(*token, variant.apiVersion);
    if (!url) {
        completion(tl::unexpected(Error{url.error()}));
        return;
    }
    const std::string setup = jsonString(GeminiProtocol::buildSetup(
        opts.targetLanguage, opts.voice, variant.glossary ? opts.glossary : std::string(), false,
        variant.sessionResumption, variant.contextCompression,
        variant.sessionResumption ? handle : std::nullopt));

    const auto ws = opts.makeSocket(*url, {});
    if (!ws) {
        completion(tl::unexpected(Error{LinkError{"connessione fallita", std::nullopt, false}}));
        return;
    }
    const auto session = std::make_shared<Session>(ws);
    session->pending_ = std::move(completion);
    std::erase_if(sessions_, [](const std::weak_ptr<Session>& weak) {
        const auto s = weak.lock();
        return !s || s->socketClosed_;
    });
    sessions_.push_back(session);

    const std::weak_ptr<Session> weakSession = session;
    session->setupTimer_ = opts.scheduler->after(opts.tuning.setupTimeoutMs, [weakSession] {
        const auto s = weakSession.lock();
        if (!s || s->ready) return;
        s->onReady = nullptr;
        s->settle(tl::unexpected(Error{LinkError{"timeout del setup", std::nullopt, false}}));
        s->ws->close(4000, "timeout setup");
    });
    session->onReady = [weakSession] {
        const auto s = weakSession.lock();
        if (!s) return;
        cancelTimer(s->setupTimer_);
        s->settle(s);
    };

    // The socket's callbacks keep the session alive until its close; that close, or the
    // destructor, clears them. Each copies what it needs first: clearing them destroys the
    // closure that is running.
    const std::weak_ptr<GeminiTranslator> weak = self();
    ws->onOpen = [session, setup] {
        const auto s = session;
        const std::string text = setup;
        s->ws->send(text);
    };
    ws->onMessage = [weak, session](const std::string& text) {
        const auto s = session;
        if (const auto self = weak.lock()) self->handleMessage(s, text);
    };
    ws->onClose = [weak, session](int code, const std::string& reason) {
        const auto s = session;
        const auto self = weak.lock();
        const std::string why = reason;
        socketClosed(self, s, code, why);
    };
}

void GeminiTranslator::socketClosed(const std::shared_ptr<GeminiTranslator>& self,
                                    const std::shared_ptr<Session>& session, int code,
                                    const std::string& reason) {
    cancelTimer(session->setupTimer_);
    session->socketClosed_ = true;
    const auto ws = session->ws;
    ws->onOpen = nullptr;
    ws->onMessage = nullptr;
    ws->onClose = nullptr;
    session->onReady = nullptr;
    cancelTimer(session->drainTimer);

    std::string description = "codice " + std::to_string(code);
    if (!reason.empty()) description += " " + reason;

    if (!session->ready) {
        // 1007 and 1008 before the setup is confirmed: the service refused this setup. The
        // transport's final codes (TLS, address, credential refused) end the series too.
        const bool rejected = code == 1007 || code == 1008;
        const bool final = rejected || CloseCode::isFinal(code);
        session->settle(tl::unexpected(Error{LinkError{
            "chiuso prima del setup (" + description + ")",
            final ? std::optional<bool>(false) : std::nullopt, rejected}}));
        return;
    }
    if (!self) return;
    std::erase(self->draining_, session);
    if (!session->retired && self->active_ == session && !self->closing_) {
        const std::string what = "connessione caduta (" + description + ")";
        self->log_.warn(what);
        self->active_ = nullptr;
        self->renew("dropped", what);
    }
}

void GeminiTranslator::handleMessage(const std::shared_ptr<Session>& session,
                                     const std::string& text) {
    // Only the parse is guarded: what the owner's callbacks throw goes up to the core queue's run
    // loop, as with every other link.
    const json message = parseJson(text);
    if (message.is_discarded() || !message.is_object()) {
        log_.warn("JSON non valido dal server");
        return;
    }

    if (message.contains("setupComplete") && !session->ready) {
        session->ready = true;
        auto onReady = std::exchange(session->onReady, nullptr);
        if (onReady) onReady();
    }

    if (const json* update = objectMember(message, "sessionResumptionUpdate")) {
        const std::string* handle = nonEmptyString(*update, "newHandle");
        if (isTrue(*update, "resumable") && handle) resumptionHandle_ = *handle;
    }

    if (const json* goAway = objectMember(message, "goAway")) {
        const json* timeLeft = jsonMember(*goAway, "timeLeft");
        const auto ms = GeminiProtocol::parseDuration(timeLeft ? *timeLeft : json());
        log_.debug("goAway, tempo rimasto: " + describeTimeLeft(ms));
        if (session == active_ && !session->retired) renew("goAway");
    }

    // A draining connection still delivers what it translates.
    if (const json* content = objectMember(message, "serverContent")) handleServerContent(*content);
}

void GeminiTranslator::handleServerContent(const json& content) {
    const std::pair<const char*, TranscriptKind> transcriptions[] = {
        {"inputTranscription", TranscriptKind::input}, {"outputTranscription", TranscriptKind::output}};
    for (const auto& [key, kind] : transcriptions) {
        const json* piece = objectMember(content, key);
        if (!piece) continue;
        if (const std::string* text = nonEmptyString(*piece, "text")) {
            transcript(kind, *text, isTrue(*piece, "finished"));
        }
    }

    if (const json* turn = objectMember(content, "modelTurn")) {
        const json* parts = jsonMember(*turn, "parts");
        if (parts && parts->is_array()) {
            for (const json& part : *parts) {
                const json* inlineData = objectMember(part, "inlineData");
                if (!inlineData) continue;
                const std::string* data = nonEmptyString(*inlineData, "data");
                if (!data) continue;
                const std::string* mime = nonEmptyString(*inlineData, "mimeType");
                if (mime && !mime->starts_with("audio/")) continue;
                // Sized from the Base64 text before decoding: 4 characters carry 3 bytes.
                if (data->size() / 4 * 3 / 2 > maxMessageFrames) {
                    if (!warnedLongAudio_) log_.debug("audio troppo lungo in un messaggio: scartato");
                    warnedLongAudio_ = true;
                    continue;
                }
                // Undecodable Base64 gives an empty chunk, which is still delivered.
                const auto samples = PCM::int16(*data);
                outputBytes += 2 * static_cast<std::int64_t>(samples.size());
                if (onAudio) onAudio(samples);
                maybeEmitUsage();
            }
        }
    }

    if (isTrue(content, "turnComplete")) {
        finalizeTranscripts();
        return;
    }
    if (isTrue(content, "generationComplete")) finalizeTranscripts();
}

void GeminiTranslator::activate(const std::shared_ptr<Session>& session) {
    active_ = session;
    switching_ = false;
    activatedAtMs_ = opts.scheduler->nowMs();
    auto queued = std::exchange(queue_, {});
    for (const auto& chunk : queued) sendChunk(session, chunk);
    cancelTimer(renewTimer_);
    const double renewAfter = opts.tuning.renewAfterMs.value_or(GeminiProtocol::renewAfterMs);
    // An infinite delay means never; the scheduler would take it as "now".
    if (renewAfter > 0 && std::isfinite(renewAfter)) {
        std::weak_ptr<GeminiTranslator> weak = self();
        renewTimer_ = opts.scheduler->after(renewAfter, [weak] {
            if (const auto self = weak.lock()) self->renew("timer");
        });
    }
}

void GeminiTranslator::retire(const std::shared_ptr<Session>& session, double drainMs) {
    session->retired = true;
    if (std::find(draining_.begin(), draining_.end(), session) == draining_.end()) {
        draining_.push_back(session);
    }
    cancelTimer(session->drainTimer);
    if (drainMs <= 0) {
        closeRetired(session);
        return;
    }
    const std::weak_ptr<GeminiTranslator> weak = self();
    const std::weak_ptr<Session> weakSession = session;
    session->drainTimer = opts.scheduler->after(drainMs, [weak, weakSession] {
        const auto s = weakSession.lock();
        if (!s) return;
        if (const auto self = weak.lock()) {
            self->closeRetired(s);
        } else {
            s->ws->close(1000, "rinnovo");
        }
    });
}

void GeminiTranslator::closeRetired(const std::shared_ptr<Session>& session) {
    std::erase(draining_, session);
    cancelTimer(session->drainTimer);
    session->ws->close(1000, "rinnovo");
}

void GeminiTranslator::renew(const std::string& reason, const std::string& dropText) {
    if (closing_ || switching_) return;
    const auto old = active_;
    switching_ = true;
    cancelTimer(renewTimer_);
    log_.debug("rinnovo connessione (" + reason + ")");
    const bool dropped = reason == "dropped";
    // A planned renewal is invisible to the owner; only a drop is reported.
    if (dropped && state != LinkState::reconnecting) setState(LinkState::reconnecting);
    if (old && !old->retired) retire(old, dropped ? 0 : opts.tuning.drainMs);
    const auto epoch = epoch_;
    std::weak_ptr<GeminiTranslator> weak = self();
    SessionCompletion done = [weak, epoch](SessionResult result) {
        const auto self = weak.lock();
        if (!self) return;
        if (result) {
            if (self->closingFor(epoch)) {
                self->retire(*result, 0);
                return;
            }
            self->activate(*result);
            if (self->state != LinkState::open) self->setState(LinkState::open);
            return;
        }
        if (self->closingFor(epoch)) return;
        self->switching_ = false;
        self->active_ = nullptr;
        self->setState(LinkState::error, self->redacted(errorMessage(result.error())));
    };
    if (dropped) {
        // A connection that died young counts as a failed attempt: the reconnection waits the
        // backoff of the young drops in a row, and the retry cap ends them.
        youngDrops_ = opts.scheduler->nowMs() - activatedAtMs_ < shortLivedMs ? youngDrops_ + 1 : 0;
        if (youngDrops_ > 0 && youngDrops_ > opts.tuning.maxRetries) {
            done(tl::unexpected(Error{LinkError{dropText.empty() ? "connessione caduta" : dropText, std::nullopt, false}}));
            return;
        }
        if (youngDrops_ > 0) {
            const double delay = retryDelayMs(opts.tuning, youngDrops_ - 1, opts.random());
            log_.debug("connessione durata meno di " + std::to_string(static_cast<int>(shortLivedMs / 1000)) +
                       " s: nuovo tentativo tra " + std::to_string(static_cast<std::int64_t>(delay)) + " ms");
            (void)opts.scheduler->after(delay, [me = self(), epoch, done] {
                me->openWithRetry(0, std::nullopt, epoch, done);
            });
            return;
        }
    }
    openWithRetry(0, std::nullopt, epoch, std::move(done));
}

bool GeminiTranslator::canSendNow() const {
    return !switching_ && active_ && active_->ws->isOpen();
}

void GeminiTranslator::sendAudio(const std::vector<std::int16_t>& samples) {
    if (closing_ || state == LinkState::closed || state == LinkState::error) return;
    if (canSendNow()) {
        sendChunk(active_, samples);
        armStreamEnd();
        return;
    }
    queue_.push_back(samples);
    while (static_cast<std::int64_t>(queue_.size()) > maxQueueChunks_) {
        queue_.pop_front();
        ++droppedChunks_;
    }
    armStreamEnd();
}

void GeminiTranslator::sendChunk(const std::shared_ptr<Session>& session,
                                 const std::vector<std::int16_t>& samples) {
    session->ws->send(jsonString(GeminiProtocol::buildAudio(samples)));
    inputBytes += 2 * static_cast<std::int64_t>(samples.size());
    maybeEmitUsage();
}

void GeminiTranslator::armStreamEnd() {
    if (!opts.tuning.autoStreamEndMs) return;
    cancelTimer(streamEndTimer_);
    std::weak_ptr<GeminiTranslator> weak = self();
    streamEndTimer_ = opts.scheduler->after(*opts.tuning.autoStreamEndMs, [weak] {
        if (const auto self = weak.lock()) self->sendAudioStreamEnd();
    });
}

void GeminiTranslator::sendAudioStreamEnd() {
    if (canSendNow()) active_->ws->send(jsonString(GeminiProtocol::buildAudioStreamEnd()));
}

void GeminiTranslator::maybeEmitUsage() {
    const double now = opts.scheduler->nowMs();
    if (now - lastUsageEmit_ >= opts.tuning.usageIntervalMs) {
        lastUsageEmit_ = now;
        reportUsage();
    }
}

void GeminiTranslator::transcript(TranscriptKind kind, const std::string& text, bool finished) {
    auto& stored = transcripts_[static_cast<size_t>(kind)];
    // Appending in place keeps the work linear; a full utterance takes no more pieces, and only
    // its end is still reported.
    if (!appendWithin(stored, text, maxTranscriptBytes) && !finished) return;
    if (onTranscript) onTranscript(stored, kind, finished);
    if (finished) stored.clear();
}

void GeminiTranslator::finalizeTranscripts() {
    for (const auto kind : {TranscriptKind::input, TranscriptKind::output}) {
        auto& stored = transcripts_[static_cast<size_t>(kind)];
        if (stored.empty()) continue;
        const std::string text = std::exchange(stored, std::string());
        if (onTranscript) onTranscript(text, kind, true);
    }
}

void GeminiTranslator::close() {
    // A second close, with no connect in between, shows nothing.
    if (closing_ && state == LinkState::closed) return;
    closing_ = true;
    ++epoch_;
    cancelTimer(renewTimer_);
    cancelTimer(streamEndTimer_);
    queue_.clear();  // discarded, not counted as dropped
    if (active_ && std::find(draining_.begin(), draining_.end(), active_) == draining_.end()) {
        draining_.push_back(active_);
    }
    const auto sessions = draining_;
    for (const auto& session : sessions) retire(session, 0);
    active_ = nullptr;
    switching_ = false;
    reportUsage();
    if (state != LinkState::closed) setState(LinkState::closed);
}

}  // namespace quendra
