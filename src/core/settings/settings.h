// The user's choices and the two fixed catalogues they are made from (providers, target
// languages), with the stored JSON form of the choices.
//
// Threading: plain values and pure functions; any thread.
#pragma once

#include <array>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "core/settings/service_address.h"

namespace quendra {

struct Settings {
    std::string outputLanguage = "en";
    std::string listenLanguage = "it";
    std::string provider = "gemini";
    std::string voice = "mimic";  // "mimic" asks for no particular voice
    std::string serviceUrl = defaultServiceUrl;  // until the user picks another one
    std::string sessionToken;  // kept in the keychain, never in the stored JSON
    double originalDuckLevel = 0.15;
    double micDuckLevel = 0.12;
    bool listenEnabled = true;
    bool speakEnabled = true;
    std::string glossary;
    bool silenceGate = true;
    std::string listenTarget;    // application id; empty captures the whole computer
    std::string speakOutputUID;  // device the speak direction plays into
    bool captions = false;       // the captions window; the links are asked for transcripts of the input too
    // The user's own API keys by provider id. Like the session token they live in the keychain
    // and never in the stored JSON; a provider with a key needs no account.
    std::map<std::string, std::string> ownKeys;
    // Spending limit per calendar month in euros; none means no limit. Stored as the member
    // "monthlyLimitEur" only when set, so a file without a limit keeps the members of `CodingKeys`.
    std::optional<double> monthlyLimitEur;
    // Written only when a limit is set; read by `decode` beside the members of `CodingKeys`.
    static constexpr std::string_view monthlyLimitMember = "monthlyLimitEur";

    bool operator==(const Settings&) const = default;

    // The own key stored for `provider`, none when there is none (or it is empty).
    std::optional<std::string> ownKey(std::string_view provider) const;

    // The members of the stored JSON object, in the order they are written and read.
    enum class CodingKeys {
        outputLanguage,
        listenLanguage,
        provider,
        voice,
        serviceUrl,
        originalDuckLevel,
        micDuckLevel,
        listenEnabled,
        speakEnabled,
        glossary,
        silenceGate,
        listenTarget,
        speakOutputUID,
        captions,
    };
    static constexpr std::array<CodingKeys, 14> allCodingKeys = {
        CodingKeys::outputLanguage, CodingKeys::listenLanguage, CodingKeys::provider,
        CodingKeys::voice,          CodingKeys::serviceUrl,     CodingKeys::originalDuckLevel,
        CodingKeys::micDuckLevel,   CodingKeys::listenEnabled,  CodingKeys::speakEnabled,
        CodingKeys::glossary,       CodingKeys::silenceGate,    CodingKeys::listenTarget,
        CodingKeys::speakOutputUID, CodingKeys::captions,
    };

    // The stored form: all 14 members with the current values, unrepaired. Never `sessionToken`.
    // A level that is not finite has no JSON number and is written as null.
    nlohmann::json encode() const;
    // The stored form as compact UTF-8 JSON text; invalid UTF-8 in a text is replaced, never
    // thrown about.
    std::string encodeText() const;

    // Builds settings from stored data: member by member, a missing or wrongly typed member
    // keeps its default; `sessionToken` stays empty; the result is sanitized. None only when the
    // data is not a JSON object.
    [[nodiscard]] static std::optional<Settings> decode(const nlohmann::json& stored);
    // The same from JSON text; text that is not JSON at all also gives none. Never throws.
    [[nodiscard]] static std::optional<Settings> decodeText(std::string_view storedText);

    // A copy with the levels made finite and clamped to [0, 1] and an unknown provider replaced
    // by "gemini"; a monthly limit that is not a finite positive amount becomes none; everything
    // else unchanged.
    Settings sanitized() const;
};

// The member name of a key, and the key of a member name (none for any other text).
std::string_view rawValue(Settings::CodingKeys key);
std::optional<Settings::CodingKeys> codingKeyFromRaw(std::string_view raw);

struct ProviderInfo {
    std::string id;
    std::string label;
    std::string note;
    bool needsToken = false;  // reached with a token from the account service
    bool operator==(const ProviderInfo&) const = default;
};

namespace Providers {

// The catalogue, in the order the user sees it.
const std::vector<ProviderInfo>& all();

// The entry whose id is exactly `id` (case-sensitive), or none.
std::optional<ProviderInfo> info(std::string_view id);

// Catalogue entries the user can use given the provider ids the account holds keys for: every
// entry that needs no token, and every entry whose id is in `keys`, in catalogue order.
std::vector<ProviderInfo> available(const std::set<std::string>& keys);

// The provider to switch to when the account's keys change: `current` while it stays available
// (or nothing is), else the first available provider that needs a token, else the first one.
std::string fallback(const std::string& current, const std::set<std::string>& keys);

}  // namespace Providers

struct Language {
    std::string code;
    std::string name;  // Italian, as shown in the pickers
    bool operator==(const Language&) const = default;
};

namespace Languages {

// The target languages, in the order the pickers show them.
const std::vector<Language>& all();

}  // namespace Languages

}  // namespace quendra
