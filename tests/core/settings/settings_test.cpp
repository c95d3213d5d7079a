#include "core/settings/settings.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace quendra {
namespace {

using nlohmann::json;

const std::vector<std::string> kMemberNames = {
    "outputLanguage", "listenLanguage", "provider",      "voice",        "serviceUrl",
    "originalDuckLevel", "micDuckLevel", "listenEnabled", "speakEnabled", "glossary",
    "silenceGate",    "listenTarget",   "speakOutputUID", "captions",
};

// Every member different from its default, so a member that falls back is visible.
Settings customSettings() {
    Settings s;
    s.outputLanguage = "fr";
    s.listenLanguage = "de";
    s.provider = "openai";
    s.voice = "Kore";
    s.serviceUrl = "https://example.test";
    s.originalDuckLevel = 0.5;
    s.micDuckLevel = 0.25;
    s.listenEnabled = false;
    s.speakEnabled = false;
    s.glossary = "Ombrix, Zoë";
    s.silenceGate = false;
    s.listenTarget = "org.mozilla.firefox";
    s.speakOutputUID = "virtual_mic";
    s.captions = true;
    return s;
}

TEST(SettingsTest, DefaultsAreTheDocumentedValues) {
    const Settings s;
    EXPECT_EQ(s.outputLanguage, "en");
    EXPECT_EQ(s.listenLanguage, "it");
    EXPECT_EQ(s.provider, "gemini");
    EXPECT_EQ(s.voice, "mimic");
    EXPECT_EQ(s.serviceUrl, defaultServiceUrl);
    EXPECT_EQ(s.serviceUrl.rfind("https://", 0), 0u);
    EXPECT_EQ(s.sessionToken, "");
    EXPECT_EQ(s.originalDuckLevel, 0.15);
    EXPECT_EQ(s.micDuckLevel, 0.12);
    EXPECT_TRUE(s.listenEnabled);
    EXPECT_TRUE(s.speakEnabled);
    EXPECT_EQ(s.glossary, "");
    EXPECT_TRUE(s.silenceGate);
    EXPECT_EQ(s.listenTarget, "");
    EXPECT_EQ(s.speakOutputUID, "");
    EXPECT_FALSE(s.captions);
}

TEST(SettingsTest, EqualityCoversTheSessionToken) {
    Settings a, b;
    b.sessionToken = "t";
    EXPECT_NE(a, b);
}

TEST(SettingsTest, CodingKeysNameTheFourteenMembersInOrder) {
    ASSERT_EQ(Settings::allCodingKeys.size(), kMemberNames.size());
    for (std::size_t i = 0; i < kMemberNames.size(); ++i) {
        const auto key = Settings::allCodingKeys[i];
        EXPECT_EQ(rawValue(key), kMemberNames[i]);
        EXPECT_EQ(codingKeyFromRaw(kMemberNames[i]), key);
    }
    for (const char* unknown : {"", "sessionToken", "Provider", "provider ", "glossar"}) {
        EXPECT_EQ(codingKeyFromRaw(unknown), std::nullopt) << unknown;
    }
}

TEST(SettingsTest, EncodeWritesFourteenMembersAsTheyAreAndNeverTheToken) {
    Settings s = customSettings();
    s.sessionToken = "secret-session";
    s.originalDuckLevel = 3;  // not repaired on the way out
    s.provider = "unknown";
    const json out = s.encode();
    ASSERT_TRUE(out.is_object());
    EXPECT_EQ(out.size(), 14u);
    for (const auto& name : kMemberNames) EXPECT_TRUE(out.contains(name)) << name;
    EXPECT_FALSE(out.contains("sessionToken"));
    EXPECT_EQ(out["originalDuckLevel"], 3);
    EXPECT_EQ(out["provider"], "unknown");
    EXPECT_EQ(out["listenEnabled"], false);
    EXPECT_EQ(out["glossary"], "Ombrix, Zoë");
    EXPECT_EQ(s.encodeText().find("secret-session"), std::string::npos);
}

TEST(SettingsTest, EncodedSettingsDecodeToTheSameValueWithoutTheToken) {
    Settings s = customSettings();
    s.sessionToken = "secret-session";
    Settings expected = s;
    expected.sessionToken = "";
    EXPECT_EQ(Settings::decode(s.encode()), expected);
    EXPECT_EQ(Settings::decodeText(s.encodeText()), expected);
}

TEST(SettingsTest, EncodeTextSurvivesInvalidUtf8AndNonFiniteLevels) {
    Settings s;
    s.glossary = std::string("ok \xff\xfe end");
    s.originalDuckLevel = std::numeric_limits<double>::quiet_NaN();
    s.micDuckLevel = std::numeric_limits<double>::infinity();
    std::string text;
    ASSERT_NO_THROW(text = s.encodeText());
    const auto decoded = Settings::decodeText(text);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->glossary.substr(0, 3), "ok ");
    EXPECT_EQ(decoded->originalDuckLevel, 0.15);
    EXPECT_EQ(decoded->micDuckLevel, 0.12);
}

TEST(SettingsTest, DecodingAnEmptyObjectGivesTheDefaults) {
    EXPECT_EQ(Settings::decode(json::object()), Settings{});
    EXPECT_EQ(Settings::decodeText("{}"), Settings{});
}

TEST(SettingsTest, DecodingFailsOnlyForDataThatIsNotAnObject) {
    const char* texts[] = {
        "", " ", "[]", "[{}]", "null", "true", "0", "\"{}\"", "{", "{\"provider\":", "{\"a\":1,}",
        "{'provider':'mock'}", "{} trailing", "\xff\xfe", "{\"glossary\":\"\xff\"}",
    };
    for (const char* text : texts) {
        EXPECT_EQ(Settings::decodeText(text), std::nullopt) << text;
    }
    EXPECT_EQ(Settings::decodeText(std::string("{}\0{]", 5)), std::nullopt);
    EXPECT_EQ(Settings::decode(json::array()), std::nullopt);
    EXPECT_EQ(Settings::decode(json(nullptr)), std::nullopt);
    // Deep nesting must neither crash nor fail the object around it.
    const std::string deep = "{\"x\":" + std::string(5000, '[') + std::string(5000, ']') + "}";
    EXPECT_EQ(Settings::decodeText(deep), Settings{});
}

// For every member: missing, or present with any JSON type other than its own, it keeps its
// default while every other member keeps its stored value.
TEST(SettingsTest, EachMissingOrWronglyTypedMemberFallsBackAlone) {
    const json stored = customSettings().encode();
    const json defaults = Settings{}.encode();
    const std::vector<json> wrongForText = {1, 0.5, true, nullptr, json::array(), json::object()};
    const std::vector<json> wrongForNumber = {"0.5", true, false, nullptr, json::array({0.5}),
                                              json::object()};
    const std::vector<json> wrongForBool = {"false", 0, 1, nullptr, json::array(), json::object()};

    for (const auto& name : kMemberNames) {
        const json& sample = stored[name];
        const auto& wrong = sample.is_string()   ? wrongForText
                            : sample.is_number() ? wrongForNumber
                                                 : wrongForBool;
        std::vector<json> variants;
        json missing = stored;
        missing.erase(name);
        variants.push_back(missing);
        for (const auto& value : wrong) {
            json v = stored;
            v[name] = value;
            variants.push_back(v);
        }
        for (const auto& input : variants) {
            const auto decoded = Settings::decode(input);
            ASSERT_TRUE(decoded) << input.dump();
            const json out = decoded->encode();
            for (const auto& other : kMemberNames) {
                const json& want = other == name ? defaults[other] : stored[other];
                EXPECT_EQ(out[other], want) << "member " << other << " of " << input.dump();
            }
        }
    }
}

TEST(SettingsTest, DecodingRepairsLevelsAndProvidersAndIgnoresTheToken) {
    struct Case {
        const char* text;
        double original;
        double mic;
        const char* provider;
    };
    const Case cases[] = {
        {R"({"originalDuckLevel":2.5,"micDuckLevel":-1})", 1, 0, "gemini"},
        {R"({"originalDuckLevel":1,"micDuckLevel":0})", 1, 0, "gemini"},
        {R"({"originalDuckLevel":"0.5","micDuckLevel":0.3})", 0.15, 0.3, "gemini"},
        {R"({"originalDuckLevel":-0.0001,"micDuckLevel":1.0001})", 0, 1, "gemini"},
        {R"({"provider":"claude"})", 0.15, 0.12, "gemini"},
        {R"({"provider":"Gemini"})", 0.15, 0.12, "gemini"},
        {R"({"provider":""})", 0.15, 0.12, "gemini"},
        {R"({"provider":"mock"})", 0.15, 0.12, "mock"},
        {R"({"provider":"openai","sessionToken":"stolen"})", 0.15, 0.12, "openai"},
        {R"({"listenEnabled":"false","unknown":[1,2]})", 0.15, 0.12, "gemini"},
    };
    for (const auto& c : cases) {
        const auto s = Settings::decodeText(c.text);
        ASSERT_TRUE(s) << c.text;
        EXPECT_EQ(s->originalDuckLevel, c.original) << c.text;
        EXPECT_EQ(s->micDuckLevel, c.mic) << c.text;
        EXPECT_EQ(s->provider, c.provider) << c.text;
        EXPECT_EQ(s->sessionToken, "") << c.text;
        EXPECT_TRUE(s->listenEnabled) << c.text;
    }
}

TEST(SettingsTest, SanitizedRepairsOnlyLevelsAndProvider) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        double in;
        double original;
        double mic;
    };
    const Case cases[] = {{nan, 0.15, 0.12}, {inf, 0.15, 0.12}, {-inf, 0.15, 0.12},
                          {7, 1, 1},         {-3, 0, 0},        {0.4, 0.4, 0.4}};
    for (const auto& c : cases) {
        Settings s = customSettings();
        s.sessionToken = "kept";
        s.originalDuckLevel = c.in;
        s.micDuckLevel = c.in;
        s.provider = "nope";
        Settings want = s;
        want.originalDuckLevel = c.original;
        want.micDuckLevel = c.mic;
        want.provider = "gemini";
        EXPECT_EQ(s.sanitized(), want) << c.in;
    }
}

TEST(SettingsTest, OwnKeysAreNeverStoredAndTheMonthlyLimitOnlyWhenSet) {
    Settings s;
    s.ownKeys = {{"gemini", "AIzaSyA-secret"}, {"openai", ""}};
    EXPECT_EQ(s.ownKey("gemini"), std::optional<std::string>("AIzaSyA-secret"));
    EXPECT_EQ(s.ownKey("openai"), std::nullopt) << "an empty key is no key";
    const std::string text = s.encodeText();
    EXPECT_EQ(text.find("AIzaSyA"), std::string::npos);
    EXPECT_FALSE(s.encode().contains("monthlyLimitEur")) << "no limit: the stored form is unchanged";
    EXPECT_EQ(s.encode(), Settings{}.encode());
    EXPECT_TRUE(Settings::decodeText(text)->ownKeys.empty());

    s.monthlyLimitEur = 12.5;
    EXPECT_EQ(s.encode().at("monthlyLimitEur"), 12.5);
    EXPECT_EQ(Settings::decodeText(s.encodeText())->monthlyLimitEur, std::optional<double>(12.5));
    struct Case {
        const char* stored;
        std::optional<double> limit;
    };
    const Case cases[] = {{R"({"monthlyLimitEur":"10"})", std::nullopt},
                          {R"({"monthlyLimitEur":0})", std::nullopt},
                          {R"({"monthlyLimitEur":-4})", std::nullopt},
                          {R"({"monthlyLimitEur":null})", std::nullopt},
                          {R"({"monthlyLimitEur":3})", 3.0}};
    for (const auto& c : cases) EXPECT_EQ(Settings::decodeText(c.stored)->monthlyLimitEur, c.limit) << c.stored;
}

TEST(ProvidersTest, CatalogueAndLookupAreExactAndCaseSensitive) {
    const std::vector<ProviderInfo> want = {
        {"gemini", "Gemini Live Translate", "vero, a consumo", true},
        {"openai", "OpenAI Realtime Translate", "vero, a consumo", true},
        {"mock", "Finto, per prove", "nessuna chiamata, rimanda l'audio dopo 2 s", false},
    };
    EXPECT_EQ(Providers::all(), want);
    EXPECT_EQ(Providers::info("openai"), want[1]);
    EXPECT_EQ(Providers::info("Gemini"), std::nullopt);
    EXPECT_EQ(Providers::info(""), std::nullopt);
}

TEST(ProvidersTest, AvailableAndFallbackFollowTheAccountKeys) {
    const auto& all = Providers::all();
    struct Case {
        std::set<std::string> keys;
        std::vector<ProviderInfo> available;
        std::string current;
        std::string fallback;
    };
    const Case cases[] = {
        {{}, {all[2]}, "gemini", "mock"},
        {{}, {all[2]}, "mock", "mock"},
        {{"openai"}, {all[1], all[2]}, "gemini", "openai"},
        {{"openai"}, {all[1], all[2]}, "mock", "mock"},
        {{"gemini", "openai"}, all, "openai", "openai"},
        {{"openai", "gemini", "elevenlabs", "Gemini"}, all, "mock", "mock"},
        {{"elevenlabs"}, {all[2]}, "openai", "mock"},
        {{"gemini"}, {all[0], all[2]}, "unknown", "gemini"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Providers::available(c.keys), c.available) << c.current;
        EXPECT_EQ(Providers::fallback(c.current, c.keys), c.fallback) << c.current;
    }
}

TEST(LanguagesTest, TwelveTargetsInPickerOrder) {
    const std::vector<Language> want = {
        {"it", "Italiano"}, {"en", "Inglese"},    {"fr", "Francese"}, {"es", "Spagnolo"},
        {"de", "Tedesco"},  {"pt", "Portoghese"}, {"nl", "Olandese"}, {"pl", "Polacco"},
        {"ro", "Rumeno"},   {"ar", "Arabo"},      {"zh", "Cinese"},   {"ja", "Giapponese"},
    };
    EXPECT_EQ(Languages::all(), want);
}

}  // namespace
}  // namespace quendra
