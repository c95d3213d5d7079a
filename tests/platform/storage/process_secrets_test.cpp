// A binary of its own: the protection lasts for the rest of the process.
#include "platform/storage/process_secrets.h"

#include <sys/prctl.h>

#include <gtest/gtest.h>

namespace quendra {
namespace {

TEST(ProcessSecrets, TheProcessBecomesNonDumpable) {
    ASSERT_EQ(::prctl(PR_GET_DUMPABLE), 1) << "the test runner should start dumpable";
    EXPECT_EQ(protectProcessSecrets(), std::nullopt);
    EXPECT_EQ(::prctl(PR_GET_DUMPABLE), 0);
    // Calling it again is harmless.
    EXPECT_EQ(protectProcessSecrets(), std::nullopt);
    EXPECT_EQ(::prctl(PR_GET_DUMPABLE), 0);
}

}  // namespace
}  // namespace quendra
