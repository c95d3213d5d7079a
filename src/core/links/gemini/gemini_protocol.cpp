#include "core/links/gemini/gemini_protocol.h"

#include <charconv>
#include <cmath>
#include <system_error>

#include <re2/re2.h>

#include "core/audio/pcm.h"
#include "core/base/text.h"

namespace quendra::GeminiProtocol {

namespace {

constexpr std::string_view kUnreserved =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_.!~*'()";

std::string percentEncode(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() * 3);
    for (const char c : text) {
        if (kUnreserved.find(c) != std::string_view::npos) {
            out += c;
        } else {
            const auto byte = static_cast<unsigned char>(c);
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0F];
        }
    }
    return out;
}

// A whole text read as a decimal floating-point number: no surrounding blanks, an optional sign.
std::optional<double> readDecimal(std::string_view text) {
    std::string_view body = text;
    if (!body.empty() && body.front() == '+') {
        body.remove_prefix(1);
        if (!body.empty() && body.front() == '-') return std::nullopt;
    }
    if (body.empty()) return std::nullopt;
    double value = 0;
    const auto [end, ec] =
        std::from_chars(body.data(), body.data() + body.size(), value, std::chars_format::general);
    if (ec != std::errc{} || end != body.data() + body.size()) return std::nullopt;
    return value;
}

}  // namespace

tl::expected<std::string, LinkError> buildUrl(const Token& token, std::string_view apiVersion) {
    if (token.token.empty()) {
        return tl::unexpected(LinkError{"getToken() non ha restituito un gettone", std::nullopt, false});
    }
    std::string url;
    url += apiHost;
    url += "/ws/google.ai.generativelanguage.";
    url += apiVersion;
    url += ".GenerativeService.";
    if (token.kind == Token::Kind::apiKey) {
        url += methodApiKey;
        url += "?key=";
    } else {
        url += unconfirmedMethodEphemeral;
        url += '?';
        url += ephemeralQueryParam;
        url += '=';
    }
    url += percentEncode(token.token);
    return url;
}

std::vector<GeminiVariant> compatVariants(Token::Kind kind, bool hasGlossary) {
    std::vector<std::string> versions{std::string(defaultApiVersion)};
    if (kind == Token::Kind::ephemeral) versions.emplace_back("v1alpha");
    std::vector<GeminiVariant> variants;
    for (const auto& version : versions) {
        variants.push_back({version, true, true, true});
        variants.push_back({version, true, false, true});
        variants.push_back({version, false, false, true});
    }
    if (hasGlossary) {
        const size_t n = variants.size();
        for (size_t i = 0; i < n; ++i) {
            GeminiVariant copy = variants[i];
            copy.glossary = false;
            variants.push_back(copy);
        }
    }
    return variants;
}

std::optional<std::string> buildSystemInstruction(std::string_view targetLanguage,
                                                  std::string_view glossary) {
    const std::string_view trimmed = trimWhitespace(glossary);
    if (trimmed.empty()) return std::nullopt;
    std::string text = "You are translating live speech into the language \"";
    text += targetLanguage;
    text += "\". Keep these names and terms exactly as written below (glossary):\n";
    text += trimmed;
    return text;
}

nlohmann::json buildSetup(std::string_view targetLanguage, std::string_view voice,
                          std::string_view glossary, bool echoTargetLanguage,
                          bool sessionResumption, bool contextCompression,
                          const std::optional<std::string>& handle) {
    using nlohmann::json;
    const std::string language = targetLanguage.empty() ? "en" : std::string(targetLanguage);

    json generationConfig = json::object();
    generationConfig["responseModalities"] = json::array({"AUDIO"});
    generationConfig["translationConfig"] = {{"targetLanguageCode", language},
                                             {"echoTargetLanguage", echoTargetLanguage}};
    if (!voice.empty() && voice != "mimic") {
        generationConfig["speechConfig"] = {
            {"voiceConfig", {{"prebuiltVoiceConfig", {{"voiceName", std::string(voice)}}}}}};
    }

    json setup = json::object();
    setup["model"] = std::string(model);
    setup["generationConfig"] = std::move(generationConfig);
    setup["inputAudioTranscription"] = json::object();
    setup["outputAudioTranscription"] = json::object();
    if (auto instruction = buildSystemInstruction(language, glossary)) {
        setup["systemInstruction"] = {{"parts", json::array({{{"text", *instruction}}})}};
    }
    if (sessionResumption) {
        json resumption = json::object();
        if (handle) resumption["handle"] = *handle;
        setup["sessionResumption"] = std::move(resumption);
    }
    if (contextCompression) {
        setup["contextWindowCompression"] = {{"slidingWindow", json::object()}};
    }
    json message = json::object();
    message["setup"] = std::move(setup);
    return message;
}

nlohmann::json buildAudio(std::span<const std::int16_t> samples) {
    return {{"realtimeInput",
             {{"audio", {{"data", PCM::base64(samples)}, {"mimeType", std::string(inputMime)}}}}}};
}

nlohmann::json buildAudioStreamEnd() { return {{"realtimeInput", {{"audioStreamEnd", true}}}}; }

std::optional<double> parseDuration(const nlohmann::json& value) {
    if (value.is_object()) {
        double seconds = 0;
        if (auto it = value.find("seconds"); it != value.end()) {
            if (it->is_number()) {
                seconds = it->get<double>();
            } else if (it->is_string()) {
                seconds = readDecimal(it->get_ref<const std::string&>()).value_or(0);
            }
        }
        double nanos = 0;
        if (auto it = value.find("nanos"); it != value.end() && it->is_number()) {
            nanos = it->get<double>();
        }
        return seconds * 1000 + nanos / 1000000;
    }
    if (value.is_string()) {
        std::string_view text = value.get_ref<const std::string&>();
        while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
        while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
        if (!text.ends_with('s')) return std::nullopt;
        text.remove_suffix(1);
        const auto seconds = readDecimal(text);
        if (!seconds) return std::nullopt;
        return std::round(*seconds * 1000);
    }
    if (value.is_number()) return value.get<double>() * 1000;
    return std::nullopt;
}

std::string redact(std::string_view text) {
    // RE2 matches in linear time, so a long hostile line cannot stall the logger.
    static const RE2 queryCredential = [] {
        RE2::Options options;
        options.set_case_sensitive(false);
        options.set_log_errors(false);
        return RE2(R"(([?&](?:key|access_token)=)[^&\s"']+)", options);
    }();
    static const RE2 tokenCredential = [] {
        RE2::Options options;
        options.set_log_errors(false);
        return RE2(R"((Token\s+)[A-Za-z0-9._\-/]+)", options);
    }();
    std::string out(text);
    if (queryCredential.ok()) RE2::GlobalReplace(&out, queryCredential, R"(\1***)");
    if (tokenCredential.ok()) RE2::GlobalReplace(&out, tokenCredential, R"(\1***)");
    return out;
}

}  // namespace quendra::GeminiProtocol
