// Arbitrary text through the decoders that read server data: durations (the text itself, and as
// JSON when it parses), Base64 audio, and the log redactor.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "core/links/gemini/gemini_protocol.h"
#include "core/audio/pcm.h"

using namespace quendra;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    (void)GeminiProtocol::parseDuration(nlohmann::json(text));
    const auto parsed = nlohmann::json::parse(text, nullptr, false);
    if (!parsed.is_discarded()) {
        (void)GeminiProtocol::parseDuration(parsed);
        (void)GeminiProtocol::parseDuration(nlohmann::json{{"seconds", parsed}, {"nanos", parsed}});
    }

    // Whatever decodes must encode back to the same samples.
    const auto samples = PCM::int16(text);
    if (samples.size() > size) std::abort();
    if (!samples.empty() && PCM::int16(PCM::base64(samples)) != samples) std::abort();

    const std::string redacted = GeminiProtocol::redact(text);
    if (redacted.size() > 2 * size + 3) std::abort();
    return 0;
}
