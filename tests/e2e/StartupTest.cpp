// The DesktopController binary from the outside: exit statuses, the exact
// messages on standard error, the log records, and that a set-user-id run
// gives up its rights before any thread starts. Every run happens in a
// private mount namespace with temp directories over the fixed paths.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/support/ChildProcess.h"
#include "tests/support/DesktopSession.h"
#include "tests/support/IpcService.h"
#include "tests/support/PrivateSystemDirs.h"
#include "tests/support/Xvfb.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const std::string kMagic = "0123456789abcdefghijABCDEFGHIJ!#%&()*+,-";
constexpr uid_t kNobody = 65534;
constexpr uid_t kMagicOwner = 990;

std::string ReadFile(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string HexOf(const std::string& bytes) {
    std::string hex;
    char pair[3];
    for (unsigned char c : bytes) {
        snprintf(pair, sizeof pair, "%02x", c);
        hex += pair;
    }
    return hex;
}

// The first 20 bytes of SHA-256, in lower-case hex.
std::string TokenOf(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr);
    return HexOf(std::string(reinterpret_cast<char*>(digest), 20));
}

std::string Binary() {
    return std::string(getenv("DC_BUILD_DIR")) + "/bin/DesktopController";
}

class StartupTest : public ::testing::Test {
  protected:
    void SetUp() override {
        logDir_ = layout_.Root() + "/log";
        fs::create_directories(logDir_);
        fs::permissions(logDir_, fs::perms::all);
        std::ofstream(layout_.HostPath("/etc/tarvelo") + "/config")
            << "DesktopController.log.filename = \"" << LogPath() << "\"\n";
    }

    void WriteMagic(const std::string& magic) {
        std::string path = layout_.HostPath("/var/tarvelo") + "/brv_desktop_magic";
        std::ofstream(path) << magic;
        chmod(path.c_str(), 0600);
    }

    void WriteDesktopIdFile(const std::string& display, const std::string& content) {
        std::string dir = layout_.HostPath("/var/tarvelo") + "/brv_desktop";
        fs::create_directories(dir);
        std::ofstream(dir + "/brv_desktopid." + display) << content;
    }

    dctest::ChildResult Run(std::vector<std::string> env, std::vector<std::string> args = {}) {
        std::vector<std::string> argv = {Binary()};
        argv.insert(argv.end(), args.begin(), args.end());
        env.push_back("PATH=/usr/bin:/bin");
        return dctest::RunChild({.argv = argv, .env = env, .layout = &layout_}, 30s);
    }

    std::string LogPath() const { return logDir_ + "/controller.log"; }
    std::string Log() const { return ReadFile(LogPath()); }
    bool Logged(const std::string& text) const { return Log().find(text) != std::string::npos; }

    dctest::SystemDirsLayout layout_;
    std::string logDir_;
};

const std::string kMagicMessage = "DesktopController: failed to read desktop magic, exiting.\n";

TEST_F(StartupTest, MissingMagicEndsBeforeAnythingElseWhateverTheArguments) {
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{}, {"--help"}, {"-v", "x"}}) {
        dctest::ChildResult result = Run({"BRV_DESKTOP_ID=5"}, args);
        EXPECT_TRUE(result.exited);
        EXPECT_EQ(result.exitStatus, 1);
        EXPECT_EQ(result.err, kMagicMessage);
        EXPECT_FALSE(fs::exists(LogPath()));
    }
}

TEST_F(StartupTest, InvalidDesktopIdsAreRefusedOnStandardError) {
    WriteMagic(kMagic);
    WriteDesktopIdFile("1", "DESKTOPID=11\n");
    dctest::ChildResult letters = Run({"BRV_DESKTOP_ID=12a"});
    EXPECT_EQ(letters.exitStatus, 1);
    EXPECT_EQ(letters.err, "DesktopController: invalid desktop id \"12a\", exiting.\n");

    dctest::ChildResult empty = Run({"BRV_DESKTOP_ID=", "DISPLAY=:1"});
    EXPECT_EQ(empty.exitStatus, 1);
    EXPECT_EQ(empty.err, "DesktopController: invalid desktop id \"\", exiting.\n");

    dctest::ChildResult huge = Run({"BRV_DESKTOP_ID=2147483648", "WAYLAND_DISPLAY="});
    EXPECT_EQ(huge.exitStatus, 1);
    EXPECT_EQ(huge.err,
              "DesktopController: desktop id \"2147483648\" is out of range for a client id, exiting.\n");
    EXPECT_TRUE(Logged("Desktop id 2147483648 is out of range for a client id, exiting."));
}

TEST_F(StartupTest, MagicOfWrongLengthFailsAtTheTokenAfterLoggingStarted) {
    WriteMagic(kMagic + "\n");
    dctest::ChildResult result = Run({"BRV_DESKTOP_ID=5", "WAYLAND_DISPLAY="});
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(Logged("Failed to generate ipc token, exiting.")) << Log();
    EXPECT_FALSE(Logged(kMagic.substr(0, 20)));
}

TEST_F(StartupTest, DesktopIdWithLeadingZerosIsAcceptedAndPublished) {
    WriteMagic(kMagic);
    WriteDesktopIdFile("0", "DESKTOPID=007\n");
    // The reference service derives its expected token from the decimal
    // client id ("7"), so it refuses this one; the client info on the wire
    // shows what the daemon sent: client id 7, token made from "007".
    dctest::IpcService service(dctest::BuiltBinary("ipc-service"),
                               {.dir = layout_.HostPath("/var/tarvelo"),
                                .magicFile = layout_.HostPath("/var/tarvelo") + "/brv_desktop_magic",
                                .clientId = 7});
    fs::copy_file(layout_.HostPath("/var/tarvelo") + "/rui.pub",
                  layout_.HostPath("/usr/share/tarvelo") + "/rui.pub");
    dctest::ChildProcess daemon({.argv = {Binary()},
                                 .env = {"WAYLAND_DISPLAY=wayland-0", "USER=e2e", "PATH=/usr/bin:/bin"},
                                 .layout = &layout_});
    std::optional<std::string> info = service.WaitForLine("CLIENT_INFO", 20s);
    ASSERT_TRUE(info) << Log();
    EXPECT_NE(info->find(" clientId=7 name=DesktopController "), std::string::npos) << *info;
    EXPECT_NE(info->find(" raw=010000005c000000" + HexOf(TokenOf("007" + kMagic))), std::string::npos)
        << *info;
    dctest::ChildResult result = daemon.Finish(20s);
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_TRUE(Logged("Desktop Controller client ID 007")) << Log();
}

TEST_F(StartupTest, XDisplayIsRequiredUnlessWaylandIsSet) {
    WriteMagic(kMagic);
    dctest::ChildResult unset = Run({"BRV_DESKTOP_ID=5"});
    EXPECT_EQ(unset.exitStatus, 1);
    EXPECT_TRUE(Logged("Failed to open display (unset), exiting.")) << Log();
    EXPECT_FALSE(Logged("Desktop Controller client ID"));

    dctest::ChildResult wayland = Run({"BRV_DESKTOP_ID=6", "WAYLAND_DISPLAY="});
    EXPECT_TRUE(Logged("Desktop Controller client ID 6")) << Log();

    if (!dctest::XvfbServer::Available()) {
        GTEST_SKIP() << "Xvfb is not installed";
    }
    dctest::XvfbServer server;
    dctest::ChildResult x11 = Run({"BRV_DESKTOP_ID=8", "DISPLAY=" + server.Display()});
    EXPECT_TRUE(Logged("Desktop Controller client ID 8")) << Log();
    EXPECT_EQ(x11.exitStatus, 1);
}

// An X "server" that accepts a connection and never answers, so that the
// controller sits in its display check, after privileges were dropped.
class SilentXServer {
  public:
    SilentXServer() {
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        for (int number = 200; number < 400; ++number) {
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            std::string name = "/tmp/.X11-unix/X" + std::to_string(number);
            std::copy(name.begin(), name.end(), address.sun_path + 1);
            socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
            if (bind(fd_, reinterpret_cast<sockaddr*>(&address), length) == 0 && listen(fd_, 4) == 0) {
                display_ = ":" + std::to_string(number);
                return;
            }
        }
    }
    ~SilentXServer() {
        if (client_ >= 0) {
            close(client_);
        }
        close(fd_);
    }
    const std::string& Display() const { return display_; }
    bool AwaitClient(std::chrono::milliseconds timeout) {
        pollfd entry{fd_, POLLIN, 0};
        if (poll(&entry, 1, static_cast<int>(timeout.count())) != 1) {
            return false;
        }
        client_ = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        return client_ >= 0;
    }
    void Hangup() {
        close(client_);
        client_ = -1;
    }

  private:
    int fd_ = -1;
    int client_ = -1;
    std::string display_;
};

std::vector<std::string> ThreadUidLines(pid_t pid) {
    std::vector<std::string> lines;
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        std::istringstream status(ReadFile(task.path().string() + "/status"));
        std::string line;
        while (std::getline(status, line)) {
            if (line.starts_with("Uid:")) {
                lines.push_back(line);
            }
        }
    }
    return lines;
}

TEST_F(StartupTest, SetUserIdRunReadsTheMagicThenDropsRightsInEveryThread) {
    std::string passwd = layout_.Root() + "/passwd";
    fs::copy_file("/etc/passwd", passwd);
    std::ofstream(passwd, std::ios::app) << "brvcanvas:x:990:990::/nonexistent:/usr/sbin/nologin\n";
    layout_.AddBind(passwd, "/etc/passwd");
    WriteMagic(kMagic);
    std::string magicPath = layout_.HostPath("/var/tarvelo") + "/brv_desktop_magic";
    ASSERT_EQ(chown(magicPath.c_str(), kMagicOwner, kMagicOwner), 0);
    std::string binary = layout_.Root() + "/DesktopController";
    fs::copy_file(Binary(), binary);
    ASSERT_EQ(chown(binary.c_str(), kMagicOwner, kMagicOwner), 0);
    ASSERT_EQ(chmod(binary.c_str(), 04755), 0);

    SilentXServer xServer;
    ASSERT_FALSE(xServer.Display().empty());
    dctest::ChildProcess child({.argv = {binary},
                                .env = {"BRV_DESKTOP_ID=5", "DISPLAY=" + xServer.Display()},
                                .uid = kNobody,
                                .gid = kNobody,
                                .layout = &layout_});
    ASSERT_TRUE(xServer.AwaitClient(20s)) << "the controller never reached its display check";
    std::vector<std::string> uids = ThreadUidLines(child.Pid());
    ASSERT_FALSE(uids.empty());
    for (const std::string& line : uids) {
        EXPECT_EQ(line, "Uid:\t65534\t65534\t65534\t65534");
    }
    xServer.Hangup();
    dctest::ChildResult result = child.Finish(20s);
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(Logged("Failed to open display " + xServer.Display() + ", exiting.")) << Log();
}

}  // namespace
