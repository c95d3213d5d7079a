// The monthly budget: the month's spend across runs, restarts and a month's end on the manual
// clock, the 80 % notice once a month, and the stop and confirmation at the limit.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "app/model/app_model.h"
#include "app/model/month_budget.h"
#include "model_fakes.h"

namespace quendra {
namespace {

using test::ModelRig;

// Milliseconds of a UTC time; the tests run in UTC so that months end where they say.
double utcMs(int year, int month, int day, int hour, int minute, int second) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return static_cast<double>(timegm(&t)) * 1000;
}

class MonthBudgetTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
    }
    std::shared_ptr<test::MemoryMonthSpend> storage = std::make_shared<test::MemoryMonthSpend>();
};

using ProviderUsage = std::map<std::string, Usage>;

TEST_F(MonthBudgetTest, SpendSurvivesRestartsAndStartsOverWhenTheMonthEnds) {
    const double lastMinuteOfJanuary = utcMs(2027, 1, 31, 23, 59, 0);
    {
        MonthBudget budget(storage, lastMinuteOfJanuary);
        EXPECT_EQ(budget.spend().month, "2027-01");
        budget.count({{"openai", Usage{60, 0}}}, std::nullopt, lastMinuteOfJanuary);
        EXPECT_DOUBLE_EQ(budget.spentEur(), 0.031);  // a minute of openai input
        // A second run of the same month adds to the first; its ledger starts empty.
        budget.count({}, std::nullopt, lastMinuteOfJanuary + 1000);
        budget.count({{"gemini", Usage{60, 60}}}, std::nullopt, lastMinuteOfJanuary + 2000);
        budget.flush();
    }
    MonthBudget restarted(storage, lastMinuteOfJanuary + 3000);
    EXPECT_DOUBLE_EQ(restarted.spentEur(), 0.031 + 0.033);
    EXPECT_EQ(restarted.spend().usage.at("gemini"), (Usage{60, 60}));

    // A run under way at midnight: what it had sent by then belongs to January.
    restarted.count({{"openai", Usage{30, 0}}}, std::nullopt, lastMinuteOfJanuary + 30000);
    restarted.count({{"openai", Usage{90, 0}}}, std::nullopt, utcMs(2027, 2, 1, 0, 0, 30));
    EXPECT_EQ(restarted.spend().month, "2027-02");
    EXPECT_EQ(restarted.spend().usage, (ProviderUsage{{"openai", Usage{60, 0}}}));
    EXPECT_DOUBLE_EQ(restarted.spentEur(), 0.031);
    ASSERT_TRUE(storage->text.has_value());
    EXPECT_NE(storage->text->find("\"2027-02\""), std::string::npos) << "a new month is written at once";

    // Stored data of another month counts for nothing.
    MonthBudget march(storage, utcMs(2027, 3, 1, 8, 0, 0));
    EXPECT_EQ(march.spentEur(), 0);
}

TEST_F(MonthBudgetTest, WarnsOnceAMonthAndStopsAtTheLimitUntilConfirmed) {
    const double day = utcMs(2027, 5, 10, 12, 0, 0);
    const std::optional<double> limit = 0.05;
    MonthBudget budget(storage, day);
    EXPECT_EQ(budget.count({{"openai", Usage{60, 0}}}, limit, day), MonthBudget::Event::none);  // 62 %
    EXPECT_EQ(budget.count({{"openai", Usage{90, 0}}}, limit, day + 1000), MonthBudget::Event::warn);  // 92 %
    EXPECT_EQ(budget.count({{"openai", Usage{95, 0}}}, limit, day + 2000), MonthBudget::Event::none);
    EXPECT_FALSE(budget.needsConfirmation(limit, day + 2000));
    EXPECT_EQ(budget.count({{"openai", Usage{120, 0}}}, limit, day + 3000), MonthBudget::Event::limit);
    EXPECT_TRUE(budget.needsConfirmation(limit, day + 3000));
    EXPECT_FALSE(budget.needsConfirmation(std::nullopt, day + 3000)) << "no limit, nothing to confirm";
    EXPECT_FALSE(budget.needsConfirmation(0.10, day + 3000)) << "a raised limit";

    budget.confirm(day + 4000);
    EXPECT_EQ(budget.count({{"openai", Usage{600, 0}}}, limit, day + 5000), MonthBudget::Event::none);
    MonthBudget restarted(storage, day + 6000);
    EXPECT_FALSE(restarted.needsConfirmation(limit, day + 6000)) << "the answer holds for the month";
    EXPECT_EQ(restarted.count({{"openai", Usage{60, 0}}}, limit, day + 7000), MonthBudget::Event::none)
        << "warned already this month";

    MonthBudget june(storage, utcMs(2027, 6, 1, 0, 0, 1));
    EXPECT_EQ(june.count({{"openai", Usage{90, 0}}}, limit, utcMs(2027, 6, 1, 0, 1, 0)), MonthBudget::Event::warn);
}

TEST_F(MonthBudgetTest, TextsOfTheLineAndTheNotices) {
    EXPECT_EQ(MonthBudget::spendLine(3.2), "Questo mese: 3,20 €");
    EXPECT_EQ(MonthBudget::limitNotice(10), "Traduzione spenta: raggiunto il limite di spesa di 10,00 € per questo mese.");
    EXPECT_EQ(MonthBudget::warnNotice(8.1, 10), "Questo mese hai speso 8,10 €, l'80 % del limite di spesa di 10,00 €.");
    EXPECT_FALSE(MonthSpend::decodeText("[]").has_value());
    EXPECT_FALSE(MonthSpend::decodeText("{\"month\":").has_value());
    const auto odd = MonthSpend::decodeText(R"({"month":"2027-05","providers":{"openai":{"inputSeconds":-5},"x":1}})");
    ASSERT_TRUE(odd.has_value());
    EXPECT_EQ(odd->usage, (ProviderUsage{{"openai", Usage{0, 0}}})) << "negative seconds count as none";
}

// The model: the limit stops a priced run with its notice, and a new start asks first.
TEST_F(MonthBudgetTest, TheModelStopsAtTheLimitAndAsksBeforeStartingAgain) {
    ModelRig rig;
    rig.clock->setNowMs(utcMs(2027, 5, 10, 12, 0, 0));
    rig.storage->stored.provider = "openai";
    rig.storage->stored.speakEnabled = false;
    rig.storage->stored.monthlyLimitEur = 0.05;
    rig.keychain->items["openai-key"] = "sk-proj-budget-test";
    auto model = rig.make();
    EXPECT_EQ(model->monthSpentEur(), 0);
    model->start();
    rig.settle();
    ASSERT_TRUE(model->running());

    auto report = [&](double inputSeconds) {
        model->engine()->listenSession()->translator()->onUsage(Usage{inputSeconds, 0});
        rig.advanceMs(TranslationEngine::statusMs);  // the next status carries it
    };
    report(90);
    EXPECT_EQ(model->notice(), MonthBudget::warnNotice(0.046, 0.05));
    EXPECT_TRUE(model->running());
    report(120);
    EXPECT_FALSE(model->running());
    EXPECT_EQ(model->notice(), "Traduzione spenta: raggiunto il limite di spesa di 0,05 € per questo mese.");
    EXPECT_DOUBLE_EQ(model->monthSpentEur(), 0.061);
    ASSERT_TRUE(rig.monthSpend->text.has_value());
    EXPECT_NE(rig.monthSpend->text->find("\"openai\""), std::string::npos);

    model->start();
    EXPECT_FALSE(model->running());
    EXPECT_EQ(model->budgetQuestion(),
              "Questo mese hai già raggiunto il limite di spesa di 0,05 €. Vuoi avviare lo stesso?");
    model->cancelOverBudget();
    EXPECT_EQ(model->budgetQuestion(), "");
    model->start();
    model->confirmOverBudget();
    rig.settle();
    EXPECT_TRUE(model->running());
    EXPECT_EQ(model->budgetQuestion(), "");
}

}  // namespace
}  // namespace quendra
