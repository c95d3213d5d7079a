// The Gemini Live bidirectional streaming protocol, as far as it does not depend on a link's state:
// constants, the endpoint URL, the setup variants the link falls back through, the client messages,
// the duration parser for server messages and the redaction of credentials in log text.
// Stateless and free of side effects; safe on any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>
#include <tl/expected.hpp>

#include "core/base/runtime.h"

namespace quendra {

// One way of shaping the setup message.
struct GeminiVariant {
    std::string apiVersion;  // "v1beta" or "v1alpha", part of the endpoint path
    bool sessionResumption = false;
    bool contextCompression = false;
    bool glossary = false;  // the user's glossary may go out as a system instruction
    bool operator==(const GeminiVariant&) const = default;
};

namespace GeminiProtocol {

inline constexpr std::string_view model = "models/gemini-4-live-translate";
inline constexpr std::string_view apiHost = "wss://generativelanguage.googleapis.com";
inline constexpr std::string_view defaultApiVersion = "v1beta";
inline constexpr std::string_view methodApiKey = "BidiGenerateContent";
inline constexpr std::string_view unconfirmedMethodEphemeral = "BidiGenerateContentConstrained";
inline constexpr std::string_view ephemeralQueryParam = "access_token";
inline constexpr std::string_view inputMime = "audio/pcm;rate=16000";
// The service ends every connection after this long...
inline constexpr double connectionLifetimeMs = 600000;
// ...so a ready connection is replaced one minute earlier unless the tuning says otherwise.
inline constexpr double renewAfterMs = 540000;

// The endpoint for `token` (its text and kind only) and `apiVersion`, with the token
// percent-encoded into the query. An empty token text fails.
[[nodiscard]] tl::expected<std::string, LinkError> buildUrl(const Token& token, std::string_view apiVersion);

// Setup shapes to try, most capable first: 3 per API version ("v1beta", plus "v1alpha" for
// ephemeral tokens), repeated without the glossary when there is one.
std::vector<GeminiVariant> compatVariants(Token::Kind kind, bool hasGlossary);

// The instruction that carries the glossary, or none when the glossary is blank.
std::optional<std::string> buildSystemInstruction(std::string_view targetLanguage,
                                                  std::string_view glossary);

// The first message of every connection. An empty target language means "en". The handle goes in
// only when `sessionResumption` is set.
nlohmann::json buildSetup(std::string_view targetLanguage, std::string_view voice,
                          std::string_view glossary, bool echoTargetLanguage,
                          bool sessionResumption, bool contextCompression,
                          const std::optional<std::string>& handle);

// One chunk of 16 kHz mono audio, Base64 of its little-endian bytes.
nlohmann::json buildAudio(std::span<const std::int16_t> samples);
// Tells the service that the speaker paused.
nlohmann::json buildAudioStreamEnd();

// A server duration in milliseconds: {seconds, nanos} objects, "12.5s" texts (rounded to whole
// milliseconds) and plain numbers of seconds. Anything else, a null value included, gives none.
std::optional<double> parseDuration(const nlohmann::json& value);

// Hides `key` / `access_token` query values and credentials after the word "Token". Linear in the
// length of the text.
std::string redact(std::string_view text);

}  // namespace GeminiProtocol
}  // namespace quendra
