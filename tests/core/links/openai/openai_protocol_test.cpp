#include "core/links/openai/openai_protocol.h"

#include <gtest/gtest.h>

#include "core/base/json_text.h"

namespace quendra {
namespace {

namespace P = OpenAIProtocol;

TEST(OpenAIProtocolTest, SocketAddressAndSubprotocols) {
    EXPECT_EQ(P::socketUrl(),
              "wss://api.openai.com/v1/realtime/translations?model=gpt-realtime-translate");
    EXPECT_EQ(P::unconfirmedSubprotocols("ek_abc"),
              (std::vector<std::string>{"realtime", "openai-insecure-api-key.ek_abc"}));
    EXPECT_EQ(P::unconfirmedSubprotocols(""),
              (std::vector<std::string>{"realtime", "openai-insecure-api-key."}));
}

TEST(OpenAIProtocolTest, OnlyListedLanguagesExactlyAsWritten) {
    for (const char* code : {"it", "en", "zh", "es", "vi"}) EXPECT_TRUE(P::supportsLanguage(code)) << code;
    for (const char* code : {"pl", "EN", "", "en-US", " it"}) EXPECT_FALSE(P::supportsLanguage(code)) << code;
    EXPECT_EQ(P::outputLanguages.size(), 13u);
    EXPECT_EQ(P::outputLanguages.front(), "es");
    EXPECT_EQ(P::outputLanguages.back(), "en");
}

TEST(OpenAIProtocolTest, SessionUpdateDefaultsLanguageAndAddsTranscriptionOnRequest) {
    const auto plain = P::buildSessionUpdate("", false);
    EXPECT_EQ(jsonString(plain), R"({"session":{"audio":{"output":{"language":"en"}}},"type":"session.update"})");
    const auto withInput = P::buildSessionUpdate("ja", true);
    EXPECT_EQ(withInput["session"]["audio"]["output"]["language"], "ja");
    EXPECT_EQ(withInput["session"]["audio"]["input"]["transcription"]["model"], "gpt-realtime-whisper");
}

TEST(OpenAIProtocolTest, ClientEvents) {
    const std::vector<std::int16_t> samples = {1, -2};
    EXPECT_EQ(jsonString(P::buildAudioAppend(samples)),
              R"({"audio":"AQD+/w==","type":"session.input_audio_buffer.append"})");
    EXPECT_EQ(jsonString(P::buildSessionClose()), R"({"type":"session.close"})");
}

TEST(OpenAIProtocolTest, RedactHidesTheThreeCredentialShapes) {
    struct Case {
        std::string in, out;
    };
    const Case cases[] = {
        {R"(protocols: realtime, openai-insecure-api-key.ek_12345, x)",
         R"(protocols: realtime, openai-insecure-api-key.***, x)"},
        {R"(["openai-insecure-api-key.abc"])", R"(["openai-insecure-api-key.***"])"},
        {"openai-insecure-api-key.", "openai-insecure-api-key."},
        {"key sk-abc end", "key sk-abc end"},
        {"key sk-abcd end", "key sk-*** end"},
        {"key sk-proj_A-b*9xyz", "key sk-***"},
        {"ek_abc", "ek_abc"},
        {"token=ek_abcd1234.", "token=ek_***."},
        {"xsk-abcdef", "xsk-abcdef"},  // not at a word boundary
        {"Authorization: bearer abc.def/ghi next", "Authorization: bearer *** next"},
        {"BEARER\t'q' Bearer  \"zz\"", "BEARER\t'q' Bearer  \"zz\""},
        {"Bearer  tok", "Bearer  ***"},
        {"nulla da nascondere: errore 42", "nulla da nascondere: errore 42"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(P::redact(c.in), c.out) << c.in;
}

TEST(OpenAIProtocolTest, RedactHidesAnApiKeyInEveryPlaceItTravels) {
    // OpenAI API keys: the project form and the older user form.
    for (const std::string key : {"sk-proj-Ab3_dE-fGhIjKlMnOpQrStUvWxYz0123456789", "sk-Ab3dEfGhIjKlMnOpQrSt"}) {
        const auto protocols = P::unconfirmedSubprotocols(key);
        const std::string lines[] = {"protocolli: " + protocols[0] + ", " + protocols[1],
                                     "OpenAI ha rifiutato la chiave " + key + ".",
                                     "Authorization: Bearer " + key};
        for (const auto& line : lines) {
            const std::string shown = P::redact(line);
            EXPECT_EQ(shown.find(key.substr(3)), std::string::npos) << shown;
        }
    }
}

TEST(OpenAIProtocolTest, RedactIsSafeOnAMegabyteLine) {
    std::string line(1 << 20, 'a');
    line += " Bearer secret";
    std::string keys;
    for (int i = 0; i < 50000; ++i) keys += "sk-";  // many almost-matches in a row
    line += " " + keys + "abcd";
    // The key characters include "-", so the whole run is one key.
    EXPECT_EQ(P::redact(line), std::string(1 << 20, 'a') + " Bearer *** sk-***");

    const std::string credential = P::keyProtocolPrefix.data() + std::string(1 << 20, 'k');
    EXPECT_EQ(P::redact(credential), "openai-insecure-api-key.***");
}

}  // namespace
}  // namespace quendra
