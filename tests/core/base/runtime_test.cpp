#include "core/base/runtime.h"

#include <gtest/gtest.h>

namespace quendra {
namespace {

TEST(ErrorsTest, MessageAndRetryabilityFollowTheRecordFields) {
    struct Case {
        Error error;
        std::string message;
        bool nonRetryable;
    };
    const Case cases[] = {
        {LinkError{"a", std::nullopt, false}, "a", false},
        {LinkError{"b", true, false}, "b", false},
        {LinkError{"c", false, true}, "c", true},
        {TokenError{"d", 401, false}, "d", true},
        {TokenError{"e", 503, true}, "e", false},
        {TokenError{"f", std::nullopt, true}, "f", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(errorMessage(c.error), c.message);
        EXPECT_EQ(isNonRetryable(c.error), c.nonRetryable) << c.message;
    }
}

TEST(ErrorsTest, SilentLoggerSwallowsBothLevels) {
    Logger logger = Logger::silent();
    logger.debug("x");
    logger.warn("y");
}

}  // namespace
}  // namespace quendra
