// The OpenAI realtime translation protocol: endpoint, subprotocols, the events the client sends,
// the supported target languages and the redaction of credentials in log text. Stateless; every
// function is free of side effects and safe on any thread.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace quendra::OpenAIProtocol {

inline constexpr const char* model = "gpt-realtime-translate";
inline constexpr const char* host = "api.openai.com";
inline constexpr const char* wsUrl = "wss://api.openai.com/v1/realtime/translations";
// Samples per second of the audio exchanged with the service, both directions.
inline constexpr int apiRateHz = 24000;
inline constexpr const char* transcriptionModel = "gpt-realtime-whisper";
// Factor applied to every received audio chunk (clamped to 16 bits).
inline constexpr double outputGain = 4;
// The only target languages the service translates into.
inline constexpr std::array<std::string_view, 13> outputLanguages = {
    "es", "pt", "fr", "ja", "ru", "zh", "de", "ko", "hi", "id", "vi", "it", "en"};
// Renewal delay when neither the tuning nor the service gives an expiry (25 minutes).
inline constexpr double unconfirmedFallbackRenewMs = 1'500'000;
// A connection is renewed this long before the session expiry the service announced.
inline constexpr double renewMarginMs = 60'000;

// Prefix of the subprotocol that carries the credential.
inline constexpr std::string_view keyProtocolPrefix = "openai-insecure-api-key.";

// `wsUrl` + "?model=" + `model`.
std::string socketUrl();

// "realtime", then the credential subprotocol. The token travels nowhere else.
std::vector<std::string> unconfirmedSubprotocols(const std::string& token);

// Exact, case-sensitive membership in `outputLanguages`.
bool supportsLanguage(std::string_view code);

// The `session.update` event: output language (empty means "en") and, when asked, the model that
// transcribes the input.
nlohmann::json buildSessionUpdate(const std::string& targetLanguage, bool inputTranscription);

// `session.input_audio_buffer.append` carrying 24 kHz samples as base64.
nlohmann::json buildAudioAppend(std::span<const std::int16_t> samples24k);

// `session.close`, sent when a connection is retired while its socket is open.
nlohmann::json buildSessionClose();

// Hides the credential subprotocol, sk-/ek_ keys and bearer values. Linear in the text length.
std::string redact(std::string_view text);

}  // namespace quendra::OpenAIProtocol
