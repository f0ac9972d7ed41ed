// The sandbox keeps the real machine as it was: a private namespace shows
// the stand-ins and extra binds, and nothing of it reaches the fixed
// directories, whether the agent is installed there or not.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "tests/support/Sandbox.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace dctest {
namespace {

// Which fixed directories exist, and every path below them with its mode
// and content.
std::map<std::string, std::string> FixedDirsState() {
    std::map<std::string, std::string> state;
    for (std::string_view dir : kFixedSystemDirs) {
        std::error_code error;
        if (!fs::exists(dir, error)) {
            continue;
        }
        state[std::string(dir)] = "dir";
        for (const auto& entry : fs::recursive_directory_iterator(dir, error)) {
            const auto status = entry.symlink_status();
            state[entry.path()] = std::to_string(static_cast<unsigned>(status.permissions())) + " " +
                                  (fs::is_regular_file(status) ? ReadFile(entry.path()) : "");
        }
    }
    return state;
}

TEST(PrivateSystemDirsTest, OnlyTheNamespaceSeesStandInsAndBinds) {
    const auto before = FixedDirsState();
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
    // Namespaces of one layout at the same time, as the seats of a sandbox
    // start: an overlay refuses a work directory that another one uses.
    std::vector<std::unique_ptr<ChildProcess>> together;
    for (int i = 0; i < 3; ++i) {
        together.push_back(std::make_unique<ChildProcess>(
            ChildCommand{.argv = {"sh", "-c", "test -d /var/log/tarvelo && sleep 1"}, .layout = &layout}));
    }
    for (auto& child : together) {
        ChildResult concurrent = child->Finish(10s);
        EXPECT_EQ(concurrent.exitStatus, 0) << concurrent.err;
    }
    EXPECT_EQ(FixedDirsState(), before);
    EXPECT_EQ(ReadFile("/etc/passwd").find("dcprobe"), std::string::npos);
}

// An installed agent is stood in for by a first namespace whose fixed
// directories hold content; a whole sandboxed session runs inside it and
// must leave that content byte for byte as it was.
TEST(PrivateSystemDirsTest, AnInstalledAgentsDirectoriesStayAsTheyWere) {
    SystemDirsLayout installed;
    TempDir::WriteAt(installed.HostPath("/etc/tarvelo") + "/config",
                     "DesktopController.log.logLevel = \"error\"\n");
    TempDir::WriteAt(installed.HostPath("/var/tarvelo") + "/brv_desktop_magic", std::string(40, 'm'), 0600);
    TempDir::WriteAt(installed.HostPath("/var/tarvelo") + "/ipc.port", "1\n");
    TempDir::WriteAt(installed.HostPath("/usr/share/tarvelo") + "/rui.pub", "not a key\n");
    ChildResult inside = RunForked(
        {.layout = &installed},
        [] {
            const auto before = FixedDirsState();
            DesktopSandbox session;
            if (!session.StartAndConnect()) {
                return 2;
            }
            session.Service().Close();
            const bool ended = session.FinishDaemon().exitStatus == 0;
            return !ended ? 3 : FixedDirsState() == before ? 0 : 4;
        },
        60s);
    EXPECT_TRUE(inside.exited) << inside.err;
    EXPECT_EQ(inside.exitStatus, 0) << inside.err;
    EXPECT_EQ(ReadFile(installed.HostPath("/var/tarvelo") + "/ipc.port"), "1\n");
    EXPECT_EQ(
        std::distance(fs::directory_iterator(installed.HostPath("/var/tarvelo")), fs::directory_iterator()),
        2);
}

}  // namespace
}  // namespace dctest
