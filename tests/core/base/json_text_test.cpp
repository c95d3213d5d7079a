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

}  // namespace
}  // namespace quendra
