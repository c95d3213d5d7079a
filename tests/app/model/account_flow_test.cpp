// The login flow against the real account client over a held fetch function: code, verify,
// account, logout, and the answers that arrive too late or say the session has expired.
#include <gtest/gtest.h>

#include "app/model/app_model.h"
#include "model_fakes.h"

namespace quendra {
namespace {

using test::ModelRig;

class AccountFlowTest : public ::testing::Test {
protected:
    ModelRig rig;

    size_t onlyCall(const std::string& path) {
        const auto calls = rig.fetch.to(path);
        EXPECT_EQ(calls.size(), 1u) << path;
        return calls.empty() ? 0 : calls.front();
    }
};

TEST_F(AccountFlowTest, RequestCodeRemembersTheTrimmedAddress) {
    auto model = rig.make();
    model->requestCode("  anna@example.it \n");
    EXPECT_TRUE(model->accountBusy());
    rig.fetch.answer(onlyCall("/api/auth/request-code"), 200, "{}");
    EXPECT_TRUE(model->accountBusy()) << "the answer is moved to the main queue";
    rig.settle();
    EXPECT_FALSE(model->accountBusy());
    EXPECT_EQ(model->codeSentTo(), "anna@example.it");
    EXPECT_EQ(model->accountMessage(), "");
}

TEST_F(AccountFlowTest, RequestCodeFailuresBecomeTheAccountMessage) {
    auto model = rig.make();
    model->requestCode("senza-chiocciola");
    rig.settle();
    EXPECT_FALSE(model->accountBusy());
    EXPECT_EQ(model->accountMessage(), "Scrivi un indirizzo email valido.");
    EXPECT_EQ(model->codeSentTo(), "");

    model->requestCode("anna@example.it");
    EXPECT_EQ(model->accountMessage(), "") << "a new request clears the old message";
    rig.fetch.answer(onlyCall("/api/auth/request-code"), 500, R"({"error":"Servizio in manutenzione."})");
    rig.settle();
    EXPECT_EQ(model->accountMessage(), "Servizio in manutenzione.");
    EXPECT_EQ(model->codeSentTo(), "");
}

TEST_F(AccountFlowTest, VerifyStoresTheSessionAndLoadsTheAccount) {
    auto model = rig.make();
    model->requestCode("anna@example.it");
    rig.fetch.answer(onlyCall("/api/auth/request-code"), 200, "{}");
    rig.settle();

    model->verify("123 456");
    rig.fetch.answer(onlyCall("/api/auth/verify"), 200, R"({"token":"tok-1","email":"anna@example.it"})");
    rig.settle();
    EXPECT_FALSE(model->accountBusy());
    EXPECT_EQ(rig.keychain->writes.back(), (std::pair<std::string, std::string>{"session", "tok-1"}));
    EXPECT_EQ(model->settings().sessionToken, "tok-1");
    EXPECT_EQ(model->codeSentTo(), "");
    EXPECT_EQ(rig.storage->stored.sessionToken, "") << "the token never goes to the settings file";
    EXPECT_FALSE(model->account().has_value());
    EXPECT_EQ(model->availableProviders(), Providers::all()) << "everything while the account loads";

    const auto me = onlyCall("/api/me");
    EXPECT_EQ((*rig.fetch.calls)[me].request.headers.at("Authorization"), "Bearer tok-1");
    rig.fetch.answer(me, 200, R"({"email":"anna@example.it","plan":"pro","keys":{"gemini":{}}})");
    rig.settle();
    ASSERT_TRUE(model->account().has_value());
    EXPECT_EQ(model->account()->keys, std::set<std::string>{"gemini"});
    std::vector<std::string> ids;
    for (const auto& p : model->availableProviders()) ids.push_back(p.id);
    EXPECT_EQ(ids, (std::vector<std::string>{"gemini", "mock"}));
}

TEST_F(AccountFlowTest, AnAccountAnswerAfterLogoutIsIgnored) {
    rig.keychain->items["session"] = "tok-old";
    auto model = rig.make();
    const auto me = onlyCall("/api/me");
    model->logout();
    EXPECT_EQ(rig.fetch.to("/api/auth/logout").size(), 1u);
    EXPECT_EQ(model->settings().sessionToken, "") << "logged out at once, without waiting";
    EXPECT_EQ(rig.keychain->writes.back(), (std::pair<std::string, std::string>{"session", ""}));

    rig.fetch.answer(me, 200, R"({"email":"anna@example.it","keys":{"gemini":{}}})");
    rig.settle();
    EXPECT_FALSE(model->account().has_value());
    EXPECT_EQ(model->settings().provider, "mock");
}

TEST_F(AccountFlowTest, AnExpiredSessionLogsOutOtherFailuresKeepIt) {
    struct Row {
        std::int64_t status;
        std::string body;
        bool clears;
        std::string message;
    };
    const Row rows[] = {
        {401, R"({"error":"unauthorized"})", true, "Sessione scaduta: accedi di nuovo."},
        {500, "{}", false, "Il servizio ha risposto con errore 500."},
    };
    for (const auto& row : rows) {
        ModelRig r;
        r.keychain->items["session"] = "tok";
        r.storage->stored.provider = "gemini";
        auto model = r.make();
        model->start();  // the engine asks for a token too; that request stays unanswered
        r.settle();
        const auto calls = r.fetch.to("/api/me");
        ASSERT_EQ(calls.size(), 1u);
        r.fetch.answer(calls.front(), row.status, row.body);
        r.settle();
        EXPECT_EQ(model->accountMessage(), row.message) << row.status;
        EXPECT_EQ(model->settings().sessionToken.empty(), row.clears) << row.status;
        // Gemini needs a token: an expired session switches translation off and falls back.
        EXPECT_EQ(model->running(), !row.clears) << row.status;
        EXPECT_EQ(model->settings().provider, row.clears ? "mock" : "gemini") << row.status;
        if (row.clears) {
            EXPECT_EQ(r.keychain->writes.back(), (std::pair<std::string, std::string>{"session", ""}));
        }
    }
}

}  // namespace
}  // namespace quendra
