// The user's own provider keys in the model, and the secrets read from the keychain without
// blocking at start.
#include <gtest/gtest.h>

#include <algorithm>

#include "app/model/app_model.h"
#include "model_fakes.h"

namespace quendra {
namespace {

using test::ModelRig;

constexpr const char* geminiKey = "AIzaSyA-own_key_0123456789abcdefghijkl";
constexpr const char* openaiKey = "sk-proj-Own_Key_0123456789";

std::vector<std::string> ids(const std::vector<ProviderInfo>& providers) {
    std::vector<std::string> out;
    for (const auto& p : providers) out.push_back(p.id);
    return out;
}

bool mentions(const std::vector<std::string>& lines, const std::string& secret) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& line) { return line.find(secret) != std::string::npos; });
}

TEST(OwnKeysTest, AStoredKeyMakesItsProviderAvailableAndReachesItWithoutTheService) {
    ModelRig rig;
    rig.storage->stored.provider = "openai";
    rig.keychain->items["openai-key"] = openaiKey;
    auto model = rig.make();
    EXPECT_EQ(model->settings().provider, "openai") << "no account, yet openai stays chosen";
    EXPECT_EQ(ids(model->availableProviders()), (std::vector<std::string>{"openai", "mock"}));
    EXPECT_TRUE(rig.fetch.to("/api/me").empty()) << "no session: no account to ask";

    model->start();
    rig.settle();
    ASSERT_TRUE(model->running());
    ASSERT_NE(rig.sockets.last(), nullptr);
    const auto& protocols = rig.sockets.last()->protocols;
    EXPECT_NE(std::find(protocols.begin(), protocols.end(), std::string("openai-insecure-api-key.") + openaiKey),
              protocols.end());
    EXPECT_TRUE(rig.fetch.to("/api/token/openai").empty()) << "the key needs no token from the service";

    const auto source = model->engine()->listenSession()->translator()->opts.getToken;
    std::optional<Result<Token>> got;
    source([&](Result<Token> token) { got = std::move(token); });
    ASSERT_TRUE(got && got->has_value()) << "completes at once, on the calling stack";
    EXPECT_EQ(**got, (Token{openaiKey, std::nullopt, Token::Kind::apiKey}));

    EXPECT_FALSE(mentions(rig.logFile, openaiKey));
    EXPECT_FALSE(mentions(rig.standardError, openaiKey));
}

TEST(OwnKeysTest, SettingAndRemovingAKeyGoesToTheKeychainOnly) {
    ModelRig rig;
    auto model = rig.make();
    model->setOwnKey("gemini", "  " + std::string(geminiKey) + "\n");
    rig.settle();
    EXPECT_EQ(rig.keychain->items.at("gemini-key"), geminiKey) << "trimmed";
    EXPECT_EQ(model->settings().ownKey("gemini"), std::optional<std::string>(geminiKey));
    EXPECT_EQ(ids(model->availableProviders()), (std::vector<std::string>{"gemini", "mock"}));
    for (const auto& saved : rig.storage->saves) {
        EXPECT_EQ(saved.encodeText().find(geminiKey), std::string::npos) << "never in the settings file";
    }

    model->setOwnKey("mock", "x");  // takes no key
    EXPECT_EQ(rig.keychain->items.count("mock-key"), 0u);

    rig.changeSettings([](Settings& s) { s.provider = "gemini"; });
    model->setOwnKey("gemini", "");
    rig.settle();
    EXPECT_EQ(rig.keychain->writes.back(), (std::pair<std::string, std::string>{"gemini-key", ""}));
    EXPECT_EQ(rig.keychain->items.count("gemini-key"), 0u);
    EXPECT_EQ(model->settings().provider, "mock") << "without key or account gemini is no longer available";
    EXPECT_EQ(ids(model->availableProviders()), (std::vector<std::string>{"mock"}));
}

TEST(OwnKeysTest, LoggingOutStopsOnlyARunThatNeedsTheAccount) {
    for (const bool ownKey : {true, false}) {
        ModelRig rig;
        rig.storage->stored.provider = "gemini";
        rig.keychain->items["session"] = "sessione";
        if (ownKey) rig.keychain->items["gemini-key"] = geminiKey;
        auto model = rig.make();
        const auto me = rig.fetch.to("/api/me");
        ASSERT_EQ(me.size(), 1u);
        rig.fetch.answer(me.front(), 200, R"({"email":"a@b.it","keys":{"gemini":{}}})");
        rig.settle();
        model->start();
        rig.settle();
        ASSERT_TRUE(model->running());
        EXPECT_EQ(rig.fetch.to("/api/token/gemini").empty(), ownKey) << ownKey;

        model->logout();
        rig.settle();
        EXPECT_EQ(model->running(), ownKey) << ownKey;
        EXPECT_EQ(model->settings().provider, ownKey ? "gemini" : "mock") << ownKey;
        EXPECT_EQ(model->settings().sessionToken, "");
    }
}

TEST(OwnKeysTest, SecretsAreReadWithoutBlockingAndNothingIsDecidedBeforeThey) {
    ModelRig rig;
    rig.storage->stored.provider = "gemini";
    rig.keychain->items["session"] = "sessione";
    rig.keychain->items["gemini-key"] = geminiKey;
    rig.keychain->holdReads = true;  // a locked keyring, its unlock prompt still open
    auto model = rig.make();
    EXPECT_TRUE(model->secretsLoading());
    EXPECT_EQ(rig.keychain->heldReads.size(), 3u);
    EXPECT_EQ(rig.keychain->writes.front(), (std::pair<std::string, std::string>{"teamPassword", ""}));
    EXPECT_EQ(model->settings().provider, "gemini") << "no fallback while the keys are unknown";
    EXPECT_EQ(model->availableProviders().size(), Providers::all().size());
    EXPECT_TRUE(rig.fetch.to("/api/me").empty());
    const auto savesBefore = rig.storage->saves.size();

    model->start();
    rig.settle();
    EXPECT_FALSE(model->running()) << "the start waits for the secrets";

    rig.keychain->answerReads();
    EXPECT_TRUE(model->secretsLoading()) << "answers come back through the main queue";
    rig.settle();
    EXPECT_FALSE(model->secretsLoading());
    EXPECT_EQ(model->settings().sessionToken, "sessione");
    EXPECT_EQ(model->settings().ownKey("gemini"), std::optional<std::string>(geminiKey));
    EXPECT_EQ(rig.fetch.to("/api/me").size(), 1u);
    EXPECT_TRUE(model->running()) << "the waiting start goes on";
    EXPECT_EQ(rig.storage->saves.size(), savesBefore) << "secrets change nothing in the settings file";
}

TEST(OwnKeysTest, AnEmptyKeychainEndsLoadingLoggedOut) {
    ModelRig rig;
    rig.storage->stored.provider = "gemini";
    auto model = rig.make();
    EXPECT_FALSE(model->secretsLoading());
    EXPECT_EQ(model->settings().sessionToken, "");
    EXPECT_EQ(model->settings().provider, "mock") << "nothing allows gemini: the usual fallback";
}

}  // namespace
}  // namespace quendra
