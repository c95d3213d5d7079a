#include "core/engine/usage.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "core/links/mock_translator.h"
#include "support/fakes.h"

namespace quendra {
namespace {

std::shared_ptr<Translator> mock() {
    TranslatorOptions options("en", std::make_shared<test::ManualScheduler>(), nullptr, nullptr);
    return std::make_shared<MockTranslator>(options);
}

TEST(UsageLedgerTest, RunningTotalsReplaceAndArchivedTranslatorsAreIgnored) {
    UsageLedger ledger;
    auto t = mock();
    ledger.set("listen", "gemini", {10, 0}, t);
    ledger.set("listen", "gemini", {25, 0}, t);
    EXPECT_EQ(ledger.total(), (Usage{25, 0}));
    ledger.archive("listen");
    ledger.set("listen", "gemini", {30, 0}, t);  // late report of an archived translator
    EXPECT_EQ(ledger.total(), (Usage{25, 0}));
    EXPECT_TRUE(ledger.live().empty());
    ledger.archive("listen");  // nothing live: nothing happens
    EXPECT_EQ(ledger.total(), (Usage{25, 0}));

    // A new translator of the same direction counts on top.
    auto next = mock();
    ledger.set("listen", "gemini", {5, 1}, next);
    EXPECT_EQ(ledger.total(), (Usage{30, 1}));
}

TEST(UsageLedgerTest, ArchivedTranslatorsStayAliveWithTheLedger) {
    auto ledger = std::make_unique<UsageLedger>();
    auto t = mock();
    std::weak_ptr<Translator> weak = t;
    ledger->set("speak", "mock", {1, 1}, t);
    ledger->archive("speak");
    t.reset();
    EXPECT_FALSE(weak.expired());  // identity must stay valid while the ledger lives
    ledger.reset();
    EXPECT_TRUE(weak.expired());
}

TEST(UsageLedgerTest, ByProviderSumsArchivedAndLive) {
    UsageLedger ledger;
    ledger.set("listen", "gemini", {60, 120}, mock());
    ledger.archive("listen");
    ledger.set("speak", "openai", {30, 0}, mock());
    ledger.set("listen", "gemini", {1, 2}, nullptr);
    const auto byProvider = ledger.byProvider();
    EXPECT_EQ(byProvider.at("gemini"), (Usage{61, 122}));
    EXPECT_EQ(byProvider.at("openai"), (Usage{30, 0}));
    EXPECT_EQ(ledger.total(), (Usage{91, 122}));
    EXPECT_EQ(UsageLedger{}.total(), (Usage{0, 0}));
}

TEST(CostTest, EstimatesInEurosRoundedToThousandths) {
    EXPECT_DOUBLE_EQ(Cost::estimateEur({{"gemini", {60, 60}}}), 0.033);
    EXPECT_DOUBLE_EQ(Cost::estimateEur({{"openai", {60, 6000}}}), 0.031);  // 0.034 * 0.9 = 0.0306
    EXPECT_EQ(Cost::estimateEur({{"other", {6000, 6000}}}), 0);
    EXPECT_EQ(Cost::estimateEur({{"gemini", {-60, -60}}}), 0);
    EXPECT_DOUBLE_EQ(Cost::estimateEur({{"gemini", {600, 0}}, {"openai", {600, 0}}}),
                     std::round((10 * 0.0053 + 10 * 0.034) * 0.9 * 1000) / 1000);
    EXPECT_DOUBLE_EQ(Cost::estimateEur(1, 1, "gemini"), 0.033);
    EXPECT_EQ(Cost::estimateEur(1, 1, "nobody"), 0);
    EXPECT_EQ(Cost::estimateEur(-1, -1, "openai"), 0);
}

TEST(CostTest, FormatsWithTwoDecimalsAndADecimalComma) {
    struct Case {
        double amount;
        std::string text;
    };
    const Case cases[] = {
        {1.5, "1,50 €"},
        {0, "0,00 €"},
        {0.004, "0,00 €"},
        {12.345, "12,35 €"},
        {2.675, "2,67 €"},
        {1234567.891, "1234567,89 €"},
        {-0.5, "-0,50 €"},
        {std::numeric_limits<double>::infinity(), "0,00 €"},
        {std::numeric_limits<double>::quiet_NaN(), "0,00 €"},
    };
    for (const auto& c : cases) EXPECT_EQ(Cost::formatEur(c.amount), c.text) << c.amount;
    EXPECT_EQ(Cost::formatEur(1e300).size(), 301u + 3u + 4u);  // every digit, no truncation
}

TEST(AutoStopTest, IdleExactlyAfterTheIdleTime) {
    AutoStop stop(900000, 1000);
    EXPECT_EQ(stop.check(1000 + 899999), std::nullopt);
    EXPECT_EQ(stop.check(1000 + 900000), "idle");
    stop.activity(5000);
    EXPECT_EQ(stop.check(1000 + 900000), std::nullopt);
    EXPECT_EQ(stop.check(905000), "idle");
    EXPECT_EQ(AutoStop::notices().at("capture-ended"),
              "Traduzione spenta: l'app che stavi ascoltando è stata chiusa.");
    EXPECT_EQ(AutoStop::notices().size(), 3u);
}

}  // namespace
}  // namespace quendra
