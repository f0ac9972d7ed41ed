// The guard of the real machine: a private namespace shows the stand-ins
// and extra binds, and nothing of it reaches the fixed directories, which
// must not exist here at all.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/ChildProcess.h"
#include "tests/support/PrivateSystemDirs.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace dctest {
namespace {

bool AnyFixedDirExists() {
    for (std::string_view dir : kFixedSystemDirs) {
        if (fs::exists(dir)) {
            return true;
        }
    }
    return false;
}

TEST(PrivateSystemDirsTest, OnlyTheNamespaceSeesStandInsAndBinds) {
    ASSERT_FALSE(AnyFixedDirExists()) << "this machine has real fixed directories; refusing to run";
    SystemDirsLayout layout;
    TempDir::WriteAt(layout.HostPath("/etc/tarvelo") + "/config", "answer = 42\n");
    std::string passwd = TempDir::WriteAt(layout.Root() + "/passwd",
                                          ReadFile("/etc/passwd") + "dcprobe:x:4242:4242::/:/bin/false\n");
    layout.AddBind(passwd, "/etc/passwd");
    ChildResult result =
        RunChild({.argv = {"sh", "-c",
                           "cat /etc/tarvelo/config && echo magic > /var/tarvelo/m && "
                           "touch /var/log/tarvelo/l /usr/lib/tarvelo/u /usr/share/tarvelo/s && "
                           "test -s /etc/os-release && getent passwd dcprobe"},
                  .layout = &layout},
                 10s);
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(result.out, "answer = 42\ndcprobe:x:4242:4242::/:/bin/false\n");
    EXPECT_EQ(ReadFile(layout.HostPath("/var/tarvelo") + "/m"), "magic\n");
    for (const char* file : {"/var/log/tarvelo/l", "/usr/lib/tarvelo/u", "/usr/share/tarvelo/s"}) {
        std::string path(file);
        EXPECT_TRUE(
            fs::exists(layout.HostPath(path.substr(0, path.rfind('/'))) + path.substr(path.rfind('/'))));
    }
    EXPECT_FALSE(AnyFixedDirExists());
    EXPECT_EQ(ReadFile("/etc/passwd").find("dcprobe"), std::string::npos);
}

}  // namespace
}  // namespace dctest
