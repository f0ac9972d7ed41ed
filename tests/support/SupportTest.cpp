// The test helpers themselves: if these are wrong, every test built on them
// silently checks the wrong thing, or touches the real machine.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/support/ChildProcess.h"
#include "tests/support/PrivateSystemDirs.h"
#include "tests/support/Xvfb.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace dctest {
namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

bool AnyFixedDirExists() {
    for (std::string_view dir : kFixedSystemDirs) {
        if (fs::exists(dir)) {
            return true;
        }
    }
    return false;
}

TEST(ChildProcessTest, CapturesStreamsStatusAndGivesOnlyTheGivenEnvironment) {
    ChildResult result =
        RunChild({.argv = {"sh", "-c", "env; echo oops >&2; exit 3"}, .env = {"ONLY=this"}}, 10s);
    EXPECT_FALSE(result.timedOut);
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.exitStatus, 3);
    // dash adds PWD of its own; nothing from the test's environment leaks.
    EXPECT_NE(result.out.find("ONLY=this\n"), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find("PATH="), std::string::npos) << result.out;
    EXPECT_EQ(result.err, "oops\n");

    ChildResult missing = RunChild({.argv = {"/nonexistent/program"}}, 10s);
    EXPECT_EQ(missing.exitStatus, kChildExecFailed);
}

TEST(ChildProcessTest, TimeoutKillsTheChildAndSwitchedCredentialsApply) {
    auto start = std::chrono::steady_clock::now();
    ChildResult slow = RunChild({.argv = {"sleep", "30"}}, 300ms);
    EXPECT_TRUE(slow.timedOut);
    EXPECT_EQ(slow.termSignal, SIGKILL);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);

    ChildResult ids =
        RunChild({.argv = {"sh", "-c", "id -u; id -g; id -G"}, .uid = 65534, .gid = 65534}, 10s);
    EXPECT_EQ(ids.out, "65534\n65534\n65534\n");
}

TEST(PrivateSystemDirsTest, ChildSeesStandInsAndTheRealSystemStaysUntouched) {
    ASSERT_FALSE(AnyFixedDirExists()) << "this machine has real fixed directories; refusing to run";
    SystemDirsLayout layout;
    std::ofstream(layout.HostPath("/etc/tarvelo") + "/config") << "answer = 42\n";
    ChildResult result =
        RunChild({.argv = {"sh", "-c",
                           "cat /etc/tarvelo/config && echo magic > /var/tarvelo/m && "
                           "touch /var/log/tarvelo/l /usr/lib/tarvelo/u /usr/share/tarvelo/s && "
                           "test -s /etc/os-release && echo ok"},
                  .layout = &layout},
                 10s);
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(result.out, "answer = 42\nok\n");
    EXPECT_EQ(ReadFile(layout.HostPath("/var/tarvelo") + "/m"), "magic\n");
    EXPECT_TRUE(fs::exists(layout.HostPath("/var/log/tarvelo") + "/l"));
    EXPECT_TRUE(fs::exists(layout.HostPath("/usr/lib/tarvelo") + "/u"));
    EXPECT_TRUE(fs::exists(layout.HostPath("/usr/share/tarvelo") + "/s"));
    EXPECT_FALSE(AnyFixedDirExists());
}

TEST(PrivateSystemDirsTest, ExtraBindsReplaceFilesOnlyInsideTheNamespace) {
    SystemDirsLayout layout;
    std::string passwd = layout.Root() + "/passwd";
    fs::copy_file("/etc/passwd", passwd);
    std::ofstream(passwd, std::ios::app) << "dcprobe:x:4242:4242::/nonexistent:/usr/sbin/nologin\n";
    layout.AddBind(passwd, "/etc/passwd");
    ChildResult result = RunChild({.argv = {"getent", "passwd", "dcprobe"}, .layout = &layout}, 10s);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.out, "dcprobe:x:4242:4242::/nonexistent:/usr/sbin/nologin\n");
    EXPECT_EQ(ReadFile("/etc/passwd").find("dcprobe"), std::string::npos);
}

TEST(PrivateSystemDirsTest, ProcessEntersAndLeavesItsOwnNamespace) {
    std::string standIn;
    {
        PrivateSystemDirs dirs;
        standIn = dirs.Layout().HostPath("/var/tarvelo");
        std::ofstream("/var/tarvelo/inside") << "x";
        EXPECT_TRUE(fs::exists(standIn + "/inside"));
        EXPECT_TRUE(fs::exists("/usr/share/tarvelo"));
    }
    EXPECT_FALSE(AnyFixedDirExists());
    EXPECT_FALSE(fs::exists(standIn));
}

TEST(XvfbTest, ServesClientsUntilStopped) {
    if (!XvfbServer::Available()) {
        GTEST_SKIP() << "Xvfb is not installed";
    }
    pid_t pid = -1;
    {
        XvfbServer server;
        pid = server.Pid();
        ChildResult info = RunChild({.argv = {"xdpyinfo"}, .env = {"DISPLAY=" + server.Display()}}, 10s);
        EXPECT_EQ(info.exitStatus, 0) << info.err;
        EXPECT_NE(info.out.find("640x480"), std::string::npos);
    }
    EXPECT_EQ(kill(pid, 0), -1);
}

}  // namespace
}  // namespace dctest
