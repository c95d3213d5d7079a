#include "core/settings/settings.h"

#include <algorithm>
#include <cmath>

#include <nlohmann/json.hpp>

#include "core/base/json_text.h"

namespace quendra {
namespace {

// Texts of `Settings::CodingKeys`, indexed by the key's value.
constexpr std::array<std::string_view, 14> kCodingKeyNames = {
    "outputLanguage", "listenLanguage", "provider",      "voice",       "serviceUrl",
    "originalDuckLevel", "micDuckLevel", "listenEnabled", "speakEnabled", "glossary",
    "silenceGate",    "listenTarget",   "speakOutputUID",
    "captions",
};


// Members are written in key order; an ordered object keeps that order in the text.
template <typename Json>
Json encodeAs(const Settings& s) {
    Json out = Json::object();
    for (const auto key : Settings::allCodingKeys) {
        const std::string name(rawValue(key));
        switch (key) {
        case Settings::CodingKeys::outputLanguage: out[name] = s.outputLanguage; break;
        case Settings::CodingKeys::listenLanguage: out[name] = s.listenLanguage; break;
        case Settings::CodingKeys::provider: out[name] = s.provider; break;
        case Settings::CodingKeys::voice: out[name] = s.voice; break;
        case Settings::CodingKeys::serviceUrl: out[name] = s.serviceUrl; break;
        case Settings::CodingKeys::originalDuckLevel: out[name] = s.originalDuckLevel; break;
        case Settings::CodingKeys::micDuckLevel: out[name] = s.micDuckLevel; break;
        case Settings::CodingKeys::listenEnabled: out[name] = s.listenEnabled; break;
        case Settings::CodingKeys::speakEnabled: out[name] = s.speakEnabled; break;
        case Settings::CodingKeys::glossary: out[name] = s.glossary; break;
        case Settings::CodingKeys::silenceGate: out[name] = s.silenceGate; break;
        case Settings::CodingKeys::listenTarget: out[name] = s.listenTarget; break;
        case Settings::CodingKeys::speakOutputUID: out[name] = s.speakOutputUID; break;
        case Settings::CodingKeys::captions: out[name] = s.captions; break;
        }
    }
    if (s.monthlyLimitEur) out[std::string(Settings::monthlyLimitMember)] = *s.monthlyLimitEur;
    return out;
}

void readText(const nlohmann::json& object, std::string_view name, std::string& field) {
    const auto it = object.find(name);
    if (it != object.end() && it->is_string()) field = it->get<std::string>();
}

void readNumber(const nlohmann::json& object, std::string_view name, double& field) {
    const auto it = object.find(name);
    if (it != object.end() && it->is_number()) field = it->get<double>();
}

void readBool(const nlohmann::json& object, std::string_view name, bool& field) {
    const auto it = object.find(name);
    if (it != object.end() && it->is_boolean()) field = it->get<bool>();
}

double sanitizedLevel(double level, double fallback) {
    if (!std::isfinite(level)) return fallback;
    return std::clamp(level, 0.0, 1.0);
}

}  // namespace

std::string_view rawValue(Settings::CodingKeys key) {
    return kCodingKeyNames[static_cast<std::size_t>(key)];
}

std::optional<Settings::CodingKeys> codingKeyFromRaw(std::string_view raw) {
    for (const auto key : Settings::allCodingKeys) {
        if (rawValue(key) == raw) return key;
    }
    return std::nullopt;
}

nlohmann::json Settings::encode() const {
    return encodeAs<nlohmann::json>(*this);
}

std::string Settings::encodeText() const {
    return encodeAs<nlohmann::ordered_json>(*this).dump(-1, ' ', false,
                                                        nlohmann::json::error_handler_t::replace);
}

std::optional<Settings> Settings::decode(const nlohmann::json& stored) {
    if (!stored.is_object()) return std::nullopt;
    Settings s;
    for (const auto key : allCodingKeys) {
        const std::string_view name = rawValue(key);
        switch (key) {
        case CodingKeys::outputLanguage: readText(stored, name, s.outputLanguage); break;
        case CodingKeys::listenLanguage: readText(stored, name, s.listenLanguage); break;
        case CodingKeys::provider: readText(stored, name, s.provider); break;
        case CodingKeys::voice: readText(stored, name, s.voice); break;
        case CodingKeys::serviceUrl: readText(stored, name, s.serviceUrl); break;
        case CodingKeys::originalDuckLevel: readNumber(stored, name, s.originalDuckLevel); break;
        case CodingKeys::micDuckLevel: readNumber(stored, name, s.micDuckLevel); break;
        case CodingKeys::listenEnabled: readBool(stored, name, s.listenEnabled); break;
        case CodingKeys::speakEnabled: readBool(stored, name, s.speakEnabled); break;
        case CodingKeys::glossary: readText(stored, name, s.glossary); break;
        case CodingKeys::silenceGate: readBool(stored, name, s.silenceGate); break;
        case CodingKeys::listenTarget: readText(stored, name, s.listenTarget); break;
        case CodingKeys::speakOutputUID: readText(stored, name, s.speakOutputUID); break;
        case CodingKeys::captions: readBool(stored, name, s.captions); break;
        }
    }
    if (const auto it = stored.find(Settings::monthlyLimitMember); it != stored.end() && it->is_number()) {
        s.monthlyLimitEur = it->get<double>();
    }
    return s.sanitized();
}

std::optional<Settings> Settings::decodeText(std::string_view storedText) {
    const auto parsed = parseJson(storedText);
    if (parsed.is_discarded()) return std::nullopt;
    return decode(parsed);
}

Settings Settings::sanitized() const {
    Settings s = *this;
    s.originalDuckLevel = sanitizedLevel(originalDuckLevel, 0.15);
    s.micDuckLevel = sanitizedLevel(micDuckLevel, 0.12);
    if (!Providers::info(provider)) s.provider = "gemini";
    if (s.monthlyLimitEur && !(std::isfinite(*s.monthlyLimitEur) && *s.monthlyLimitEur > 0)) s.monthlyLimitEur.reset();
    return s;
}

std::optional<std::string> Settings::ownKey(std::string_view provider) const {
    const auto found = ownKeys.find(std::string(provider));
    if (found == ownKeys.end() || found->second.empty()) return std::nullopt;
    return found->second;
}

namespace Providers {

const std::vector<ProviderInfo>& all() {
    static const std::vector<ProviderInfo> catalogue = {
        {"gemini", "Gemini Live Translate", "vero, a consumo", true},
        {"openai", "OpenAI Realtime Translate", "vero, a consumo", true},
        {"mock", "Finto, per prove", "nessuna chiamata, rimanda l'audio dopo 2 s", false},
    };
    return catalogue;
}

std::optional<ProviderInfo> info(std::string_view id) {
    for (const auto& entry : all()) {
        if (entry.id == id) return entry;
    }
    return std::nullopt;
}

std::vector<ProviderInfo> available(const std::set<std::string>& keys) {
    std::vector<ProviderInfo> out;
    for (const auto& entry : all()) {
        if (!entry.needsToken || keys.count(entry.id) > 0) out.push_back(entry);
    }
    return out;
}

std::string fallback(const std::string& current, const std::set<std::string>& keys) {
    const auto list = available(keys);
    if (list.empty()) return current;
    const auto isCurrent = [&](const ProviderInfo& e) { return e.id == current; };
    if (std::any_of(list.begin(), list.end(), isCurrent)) return current;
    const auto needsToken = std::find_if(list.begin(), list.end(),
                                         [](const ProviderInfo& e) { return e.needsToken; });
    return needsToken != list.end() ? needsToken->id : list.front().id;
}

}  // namespace Providers

namespace Languages {

const std::vector<Language>& all() {
    static const std::vector<Language> catalogue = {
        {"it", "Italiano"}, {"en", "Inglese"},    {"fr", "Francese"}, {"es", "Spagnolo"},
        {"de", "Tedesco"},  {"pt", "Portoghese"}, {"nl", "Olandese"}, {"pl", "Polacco"},
        {"ro", "Rumeno"},   {"ar", "Arabo"},      {"zh", "Cinese"},   {"ja", "Giapponese"},
    };
    return catalogue;
}

}  // namespace Languages

}  // namespace quendra
