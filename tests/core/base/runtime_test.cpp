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

TEST(ErrorsTest, DefaultAndSilentLoggersCanBeCalledWithoutAChecks) {
    // Callers never test the sinks: an empty one would throw std::bad_function_call.
    for (const Logger& logger : {Logger{}, Logger::silent()}) {
        ASSERT_TRUE(logger.debug && logger.warn);
        EXPECT_NO_THROW(logger.debug("x"));
        EXPECT_NO_THROW(logger.warn("y"));
    }
}

}  // namespace
}  // namespace quendra
