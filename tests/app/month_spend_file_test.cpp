// The month's spend in its file beside the log: whole after every save, also when the process
// that writes it is killed in the middle of one.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/model/month_budget.h"
#include "app/platform_bindings.h"

namespace quendra {
namespace {

namespace fs = std::filesystem;

class MonthSpendFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/ombrix-month-spend-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { fs::remove_all(dir); }

    // A month whose text grows with `n`, so that a write takes long enough to be cut.
    static MonthSpend month(int n) {
        MonthSpend spend;
        spend.month = "2027-05";
        for (int i = 0; i < 200; ++i) spend.usage["provider-" + std::to_string(i)] = Usage{double(n), double(i)};
        return spend;
    }

    fs::path dir;
};

TEST_F(MonthSpendFileTest, SavesAreWholePrivateAndMakeTheirFolder) {
    MonthSpendFile file(dir / "state" / "ombrix");
    EXPECT_FALSE(file.load().has_value());
    ASSERT_TRUE(file.save(month(1).encodeText()).has_value());
    ASSERT_TRUE(file.save(month(2).encodeText()).has_value());
    const auto text = file.load();
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(MonthSpend::decodeText(*text), month(2));
    struct stat info{};
    ASSERT_EQ(::stat((dir / "state" / "ombrix" / "month-spend.json").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(MonthSpendFileTest, AWriterKilledMidwayLeavesTheLastWholeMonth) {
    MonthSpendFile file(dir);
    ASSERT_TRUE(file.save(month(0).encodeText()).has_value());
    const fs::path path = dir / "month-spend.json";
    for (int round = 0; round < 5; ++round) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            MonthSpendFile writer(dir);
            for (int n = 1;; ++n) (void)writer.save(month(n).encodeText());
        }
        // Let it replace the file a few times, then kill it wherever it is.
        const auto first = fs::last_write_time(path);
        for (int wait = 0; wait < 10000 && fs::last_write_time(path) == first; ++wait) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(3 * round));
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);

        const auto text = file.load();
        ASSERT_TRUE(text.has_value()) << round;
        const auto decoded = MonthSpend::decodeText(*text);
        ASSERT_TRUE(decoded.has_value()) << "round " << round << ": " << text->substr(0, 80);
        EXPECT_EQ(decoded->usage.size(), 200u);
    }
    // A budget reading it after the crash finds a whole month.
    auto storage = std::make_shared<MonthSpendFile>(dir);
    setenv("TZ", "UTC", 1);
    tzset();
    MonthBudget budget(storage, 1'810'382'400'000);  // 15 May 2027
    EXPECT_EQ(budget.spend().usage.size(), 200u);
}

}  // namespace
}  // namespace quendra
