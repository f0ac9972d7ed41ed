// A set-user-id start goes on only when the drop to the real user id held
// completely; any other outcome names both ids and what went wrong.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "src/core/PrivilegeDrop.h"

namespace {

TEST(PrivilegeDropTest, OnlyAFullDropToTheRealUserPasses) {
    const std::string prefix = "DesktopController: failed to drop privileges from user id 990 to 1000: ";
    EXPECT_EQ(PrivilegeDropFailure(990, 1000, {.after = {1000, 1000, 1000}}), "");
    EXPECT_EQ(
        PrivilegeDropFailure(990, 1000, {.setResult = -1, .setError = EPERM, .after = {1000, 1000, 1000}}),
        prefix + "setresuid: Operation not permitted, exiting.\n");
    EXPECT_EQ(
        PrivilegeDropFailure(990, 1000, {.setResult = -1, .setError = EINVAL, .after = {1000, 990, 990}}),
        prefix + "setresuid: Invalid argument, exiting.\n");
    EXPECT_EQ(PrivilegeDropFailure(990, 1000, {.getResult = -1, .getError = EFAULT}),
              prefix + "getresuid: Bad address, exiting.\n");
    // A call that reports success yet leaves any one id behind.
    EXPECT_EQ(PrivilegeDropFailure(990, 1000, {.after = {990, 1000, 1000}}),
              prefix + "real, effective and saved user id are 990, 1000 and 1000 afterwards, exiting.\n");
    EXPECT_EQ(PrivilegeDropFailure(990, 1000, {.after = {1000, 990, 1000}}),
              prefix + "real, effective and saved user id are 1000, 990 and 1000 afterwards, exiting.\n");
    EXPECT_EQ(PrivilegeDropFailure(990, 1000, {.after = {1000, 1000, 990}}),
              prefix + "real, effective and saved user id are 1000, 1000 and 990 afterwards, exiting.\n");
}

}  // namespace
