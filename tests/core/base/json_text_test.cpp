#include "core/base/json_text.h"

#include <gtest/gtest.h>

namespace quendra {
namespace {

TEST(JsonStringTest, CompactAndRepairsInvalidUtf8) {
    EXPECT_EQ(jsonString(nlohmann::json::object()), "{}");
    EXPECT_EQ(jsonString({{"a", {1, true, "x"}}, {"b", {{"c", nullptr}}}}),
              R"({"a":[1,true,"x"],"b":{"c":null}})");
    const std::string broken = std::string("ab") + char(0xC3) + "c" + char(0xFF);
    EXPECT_EQ(jsonString({{"t", broken}}), "{\"t\":\"ab\xEF\xBF\xBD" "c\xEF\xBF\xBD\"}");
}

TEST(ParseJsonTest, AcceptsOnlyOneWholeValue) {
    EXPECT_EQ(parseJson(R"({"token":"abc"})"), (nlohmann::json{{"token", "abc"}}));
    EXPECT_EQ(parseJson(" [1, 2] \n"), (nlohmann::json{1, 2}));
    const std::string refused[] = {
        std::string("{\"token\":\"abc\"}\0garbage", 23),
        std::string("{\"token\":\"abc\"}\0", 16),
        std::string("{\"a\":\"x\0y\"}", 11),
        R"({"token":"abc"} trailing)",
        "",
        "{",
    };
    for (const auto& text : refused) EXPECT_TRUE(parseJson(text).is_discarded()) << text;
}

}  // namespace
}  // namespace quendra
