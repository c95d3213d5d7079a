#include "core/links/openai/openai_protocol.h"

#include <algorithm>
#include <memory>

#include <re2/re2.h>

#include "core/audio/pcm.h"

namespace quendra::OpenAIProtocol {

namespace {

// RE2 matches in linear time, so a hostile megabyte of text cannot stall the logger. A pattern
// that fails to compile is skipped: that kind of credential stays visible, nothing else changes.
struct Redaction {
    std::unique_ptr<RE2> pattern;
    std::string rewrite;
};

std::unique_ptr<RE2> compile(const char* pattern, bool caseSensitive) {
    RE2::Options options;
    options.set_log_errors(false);
    options.set_case_sensitive(caseSensitive);
    auto re = std::make_unique<RE2>(pattern, options);
    if (!re->ok()) return nullptr;
    return re;
}

const std::array<Redaction, 3>& redactions() {
    static const std::array<Redaction, 3> table = {
        Redaction{compile(R"(openai-insecure-api-key\.[^\s"',]+)", true), "openai-insecure-api-key.***"},
        Redaction{compile(R"(\b(ek_|sk-)[A-Za-z0-9_\-*]{4,})", true), R"(\1***)"},
        Redaction{compile(R"((Bearer\s+)[^\s"']+)", false), R"(\1***)"},
    };
    return table;
}

}  // namespace

std::string socketUrl() { return std::string(wsUrl) + "?model=" + model; }

std::vector<std::string> unconfirmedSubprotocols(const std::string& token) {
    return {"realtime", std::string(keyProtocolPrefix) + token};
}

bool supportsLanguage(std::string_view code) {
    return std::find(outputLanguages.begin(), outputLanguages.end(), code) != outputLanguages.end();
}

nlohmann::json buildSessionUpdate(const std::string& targetLanguage, bool inputTranscription) {
    nlohmann::json audio = {{"output", {{"language", targetLanguage.empty() ? "en" : targetLanguage}}}};
    if (inputTranscription) {
        audio["input"] = {{"transcription", {{"model", transcriptionModel}}}};
    }
    return {{"type", "session.update"}, {"session", {{"audio", std::move(audio)}}}};
}

nlohmann::json buildAudioAppend(std::span<const std::int16_t> samples24k) {
    return {{"type", "session.input_audio_buffer.append"}, {"audio", PCM::base64(samples24k)}};
}

nlohmann::json buildSessionClose() { return {{"type", "session.close"}}; }

std::string redact(std::string_view text) {
    std::string out(text);
    for (const auto& r : redactions()) {
        if (r.pattern) RE2::GlobalReplace(&out, *r.pattern, r.rewrite);
    }
    return out;
}

}  // namespace quendra::OpenAIProtocol
