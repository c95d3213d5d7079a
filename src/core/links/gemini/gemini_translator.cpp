#include "core/links/gemini/gemini_translator.h"

#include <cmath>
#include <cstdio>
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

class GeminiTranslator::Session final : public Connection {
public:
    Session(std::shared_ptr<WebSocketLike> ws, std::string setup)
        : Connection(std::move(ws)), setup(std::move(setup)) {}
    const std::string setup;
};

GeminiTranslator::GeminiTranslator(TranslatorOptions options)
    : ConnectedTranslator(std::move(options), GeminiProtocol::redact, "rinnovo") {}

GeminiTranslator::~GeminiTranslator() { cancelTimer(streamEndTimer_); }

std::shared_ptr<GeminiTranslator> GeminiTranslator::self() {
    return std::static_pointer_cast<GeminiTranslator>(shared_from_this());
}

// ---------------------------------------------------------------------------------------------
// Connections: setup variants, resumption, setup confirmation

std::optional<std::string> GeminiTranslator::resumptionHandleFor(std::int64_t attempt) const {
    // A handle that failed twice is not offered again.
    return attempt <= 1 ? resumptionHandle_ : std::nullopt;
}

tl::expected<ConnectedTranslator::ConnectionPtr, Error> GeminiTranslator::openConnection(
    const Attempt& attempt, const Token& token) {
    if (auto expired = expiredToken(token)) return tl::unexpected(std::move(*expired));
    if (variants_.empty() || variantsKind_ != token.kind) {
        const bool hasGlossary = !trimWhitespace(opts.glossary).empty();
        variants_ = GeminiProtocol::compatVariants(token.kind, hasGlossary);
        variantsKind_ = token.kind;
        variantIdx_ = 0;
    }
    const GeminiVariant variant = variants_[static_cast<size_t>(variantIdx_)];
    auto url = GeminiProtocol::buildUrl(token, variant.apiVersion);
    if (!url) return tl::unexpected(Error{url.error()});
    std::string setup = jsonString(GeminiProtocol::buildSetup(
        opts.targetLanguage, opts.voice, variant.glossary ? opts.glossary : std::string(), false,
        variant.sessionResumption, variant.contextCompression,
        variant.sessionResumption ? attempt.resumptionHandle : std::nullopt));
    auto ws = openSocket(*url, {});
    if (!ws) return tl::unexpected(ws.error());
    return std::make_shared<Session>(std::move(*ws), std::move(setup));
}

void GeminiTranslator::connectionOpened(const ConnectionPtr& connection) {
    const auto& session = static_cast<const Session&>(*connection);
    session.ws->send(session.setup);
}

void GeminiTranslator::connectionMessage(const ConnectionPtr& connection, const std::string& text) {
    handleMessage(connection, text);
}

Error GeminiTranslator::closedBeforeReady(int code, const std::string& description) const {
    // 1007 and 1008 before the setup is confirmed: the service refused this setup. The
    // transport's final codes (TLS, address, credential refused) end the series too.
    const bool rejected = code == 1007 || code == 1008;
    const bool final = rejected || CloseCode::isFinal(code);
    return Error{LinkError{"chiuso prima del setup (" + description + ")",
                           final ? std::optional<bool>(false) : std::nullopt, rejected}};
}

Error GeminiTranslator::setupTimedOut() const {
    return Error{LinkError{"timeout del setup", std::nullopt, false}};
}

void GeminiTranslator::attemptEnded(const ConnectionPtr& connection, AttemptEnd why) {
    // A socket the peer closed is gone already.
    if (why == AttemptEnd::timedOut) connection->ws->close(4000, "timeout setup");
}

std::optional<std::int64_t> GeminiTranslator::retryAtOnce(const Attempt& attempt, const Error& error) {
    const auto* link = std::get_if<LinkError>(&error);
    if (!link || !link->setupRejected) return std::nullopt;
    if (attempt.resumptionHandle) {
        // The service may refuse a stale handle: try once more without it.
        resumptionHandle_.reset();
        return attempt.number + 1;
    }
    if (variantIdx_ + 1 >= static_cast<std::int64_t>(variants_.size())) return std::nullopt;
    ++variantIdx_;
    const auto& v = variants_[static_cast<size_t>(variantIdx_)];
    log_.warn("setup rifiutato, provo la variante " + std::to_string(variantIdx_) + ": " + v.apiVersion +
              ", ripresa=" + flag(v.sessionResumption) + ", compressione=" + flag(v.contextCompression) +
              ", glossario=" + flag(v.glossary));
    return attempt.number;
}

std::optional<double> GeminiTranslator::renewAfterMs(const ConnectionPtr&) const {
    return opts.tuning.renewAfterMs.value_or(GeminiProtocol::renewAfterMs);
}

void GeminiTranslator::sendQueued(const ConnectionPtr& connection, const std::vector<std::int16_t>& samples) {
    sendChunk(connection, samples);
}

void GeminiTranslator::handleMessage(const ConnectionPtr& session, const std::string& text) {
    // Only the parse is guarded: what the owner's callbacks throw goes up to the core queue's run
    // loop, as with every other link.
    const json message = parseJson(text);
    if (message.is_discarded() || !message.is_object()) {
        log_.warn("JSON non valido dal server");
        return;
    }

    if (message.contains("setupComplete") && !session->ready) connectionReady(session);

    if (const json* update = objectMember(message, "sessionResumptionUpdate")) {
        const std::string* handle = nonEmptyString(*update, "newHandle");
        if (isTrue(*update, "resumable") && handle) resumptionHandle_ = *handle;
    }

    if (const json* goAway = objectMember(message, "goAway")) {
        const json* timeLeft = jsonMember(*goAway, "timeLeft");
        const auto ms = GeminiProtocol::parseDuration(timeLeft ? *timeLeft : json());
        log_.debug("goAway, tempo rimasto: " + describeTimeLeft(ms));
        if (session == active() && !session->retired) renew("goAway");
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

void GeminiTranslator::sendAudio(const std::vector<std::int16_t>& samples) {
    if (!takesAudio()) return;
    if (canSendNow()) {
        sendChunk(active(), samples);
    } else {
        enqueue(samples);
    }
    armStreamEnd();
}

void GeminiTranslator::sendChunk(const ConnectionPtr& session, const std::vector<std::int16_t>& samples) {
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
    if (canSendNow()) active()->ws->send(jsonString(GeminiProtocol::buildAudioStreamEnd()));
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
    if (!closeConnections(false)) return;
    cancelTimer(streamEndTimer_);
    reportUsage();
    if (state != LinkState::closed) setState(LinkState::closed);
}

}  // namespace quendra
