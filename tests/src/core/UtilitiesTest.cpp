// Shell commands, short file reads, the host domain, and what the
// controller reports about its session: desktop type and distribution.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <sstream>
#include <thread>

#include "lib/log/Log.h"
#include "lib/log/LogCapture.h"
#include "src/core/CommonUtils.h"
#include "src/core/IdentityFiles.h"
#include "src/core/SessionDetection.h"
#include "tests/support/Sandbox.h"
#include "tests/support/SignalsToLeaveBehind.h"

using namespace std::chrono_literals;
using dctest::ReadFile;

namespace {

// While set, the next open of this path starts a shell command before the
// open returns, as another thread of the daemon might at that moment; the
// shell lists its descriptors into gListing.
std::atomic<const char*> gSpawnOnOpen{nullptr};
std::string gListing;

}  // namespace

extern "C" int open(const char* path, int flags, ...) {
    using Open = int (*)(const char*, int, ...);
    static const auto next = reinterpret_cast<Open>(dlsym(RTLD_NEXT, "open"));
    va_list args;
    va_start(args, flags);
    const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(args, mode_t) : 0;
    va_end(args);
    const int fd = next(path, flags, mode);
    const char* armed = gSpawnOnOpen.load();
    if (fd >= 0 && armed != nullptr && strcmp(armed, path) == 0 && gSpawnOnOpen.exchange(nullptr) == armed) {
        CommonUtils::ExecShell("ls -l /proc/$$/fd > " + gListing, true);
    }
    return fd;
}

namespace {

// Prints "<start ns> <end ns>" of its own run.
const char* kTimedCommand = "s=$(date +%s%N); sleep 0.3; echo \"$s $(date +%s%N)\"";

// True when the runs recorded as "<start> <end>" lines in text overlap.
bool RunsOverlap(const std::string& text) {
    std::istringstream lines(text);
    long long start1 = 0, end1 = 0, start2 = 0, end2 = 0;
    EXPECT_TRUE(lines >> start1 >> end1 >> start2 >> end2) << text;
    return start1 < end2 && start2 < end1;
}

TEST(ExecShellTest, RunVariantWaitsForItsShellAndSerialisesCallersAndBothStartShellsWithDefaults) {
    dctest::TempDir dir;
    std::string command = std::string("{ ") + kTimedCommand + "; } >> " + dir.File("intervals");
    std::thread other([&] { EXPECT_TRUE(CommonUtils::ExecShell(command, true)); });
    EXPECT_TRUE(CommonUtils::ExecShell(command, true));
    other.join();
    EXPECT_FALSE(RunsOverlap(ReadFile(dir.File("intervals"))));

    dclog::LogCapture log(dclog::kDebug);
    std::string name = dir.File("name");
    EXPECT_TRUE(CommonUtils::ExecShell("echo \"$0\" > " + name, true));
    EXPECT_EQ(ReadFile(name), "execshell\n");
    EXPECT_EQ(log.LevelOf("CommonUtils->ExecShell Command echo \"$0\" > " + name + " executed\n"),
              dclog::kDebug);
    EXPECT_TRUE(CommonUtils::ExecShell("no-such-command-anywhere 2>/dev/null", true));

    // Whatever the caller ignores or blocks, the shell starts with defaults.
    const std::string listSignals = "grep -E '^Sig(Ign|Blk)' /proc/self/status";
    std::string captured = "kept ";
    {
        dctest::SignalsToLeaveBehind signals;
        EXPECT_TRUE(CommonUtils::ExecShell(listSignals + " > " + dir.File("sig"), true));
        EXPECT_TRUE(CommonUtils::ExecShell(listSignals, captured));
    }
    const std::string defaults = dctest::SignalsToLeaveBehind::kChildDefaults;
    EXPECT_EQ(ReadFile(dir.File("sig")), defaults);
    EXPECT_EQ(captured, "kept " + defaults);
}

TEST(FileAccessTest, AChildStartedWhileAFileIsReadInheritsNoneOfIt) {
    dctest::TempDir dir;
    gListing = dir.File("fds");
    // The descriptors of a child started while path was open for reading.
    auto childFdsWhileReading = [&](const std::string& path, auto read) {
        unlink(gListing.c_str());
        gSpawnOnOpen = path.c_str();
        read();
        EXPECT_EQ(gSpawnOnOpen.load(), nullptr) << path << " was never opened";
        return ReadFile(gListing);
    };
    const std::string id = dir.Write("id", "DESKTOPID=5\n");
    const std::string osRelease = dir.Write("os-release", "ID=debian\n");
    const std::string comm = dir.Write("42/comm", "probe\n");
    const std::pair<std::string, std::function<void()>> reads[] = {
        {id, [&] { EXPECT_EQ(core::ReadDesktopIdFrom(id), "5"); }},
        {osRelease, [&] { EXPECT_EQ(core::DistributionFromOsRelease(osRelease), "debian"); }},
        {comm, [&] { EXPECT_EQ(core::FindProcessIn(dir.Path() + "/", "probe"), 42); }},
        {id, [&] { EXPECT_TRUE(CommonUtils::FileExists(id)); }},
    };
    for (const auto& [path, read] : reads) {
        const std::string fds = childFdsWhileReading(path, read);
        EXPECT_NE(fds.find(gListing), std::string::npos) << fds;
        EXPECT_EQ(fds.find(path), std::string::npos) << fds;
    }
}

// Resolves in a child with its own host name and its own hosts file, so the
// answer depends on nothing outside the test. Returns the domain on one line,
// then every record logged as "<level> <text>".
std::string HostDomainWith(const std::string& hosts) {
    dctest::TempDir dir;
    std::string hostsPath = dir.Write("hosts", hosts);
    std::string nsswitch = dir.Write("nsswitch.conf", "hosts: files\n");
    dctest::ChildResult result = dctest::RunForked(
        {},
        [&] {
            if (unshare(CLONE_NEWNS | CLONE_NEWUTS) != 0 ||
                mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount(hostsPath.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0 ||
                mount(nsswitch.c_str(), "/etc/nsswitch.conf", nullptr, MS_BIND, nullptr) != 0 ||
                sethostname("dcprobe", 7) != 0) {
                return 2;
            }
            dclog::LogCapture log;
            std::printf("%s\n", CommonUtils::GetHostDomain().c_str());
            for (const std::string& line : log.Lines()) {
                std::printf("%d %s", log.LevelOf(line), line.c_str());
            }
            return std::fflush(stdout) == 0 ? 0 : 3;
        },
        10s);
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    return result.out;
}

TEST(HostDomainTest, DomainPartOfTheOfficialNameElseTheHostName) {
    // The domain part of the official name is checked end to end.
    EXPECT_EQ(HostDomainWith("127.0.1.1 dcprobe\n"), "dcprobe\n");

    // Enough aliases that the first work buffer is too small.
    std::string aliases;
    for (int i = 0; i < 200; ++i) {
        aliases += " alias-number-" + std::to_string(i) + ".example.org";
    }
    EXPECT_EQ(HostDomainWith("127.0.1.1 dcprobe.big.example.org dcprobe" + aliases + "\n"),
              "big.example.org\n");

    EXPECT_EQ(HostDomainWith("127.0.0.1 localhost\n"),
              "dcprobe\n2 CommonUtils->GetHostDomain Failed to call gethostbyname_r, error: Unknown host\n");
}

// A child under a chosen comm name, alive until destruction.
struct NamedProcess {
    explicit NamedProcess(const char* name) : pid(fork()) {
        if (pid == 0) {
            prctl(PR_SET_NAME, name);
            pause();
            _exit(0);
        }
        while (pid > 0 &&
               dctest::ReadFile("/proc/" + std::to_string(pid) + "/comm") != name + std::string("\n")) {
            sched_yield();
        }
    }
    ~NamedProcess() {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    const pid_t pid;
};

// The desktop type with the two session variables set, or unset when null.
std::string TypeFor(const char* current, const char* session) {
    current != nullptr ? setenv("XDG_CURRENT_DESKTOP", current, 1) : unsetenv("XDG_CURRENT_DESKTOP");
    session != nullptr ? setenv("DESKTOP_SESSION", session, 1) : unsetenv("DESKTOP_SESSION");
    return GetDesktopType();
}

TEST(DesktopTypeTest, VariablesDecideBeforeRunningProcesses) {
    ASSERT_EQ(FindProcessByName("mate-session"), -1);
    ASSERT_EQ(FindProcessByName("ksmserver"), -1);
    EXPECT_EQ(TypeFor("ubuntu:GNOME", nullptr), "gnome");
    EXPECT_EQ(TypeFor("X-Cinnamon", "plasmawayland"), "kde");
    NamedProcess kde("ksmserver");
    EXPECT_EQ(TypeFor(nullptr, "xfce"), "kde");
    EXPECT_EQ(TypeFor("GNOME", nullptr), "gnome");
    NamedProcess mate("mate-session");
    EXPECT_EQ(TypeFor(nullptr, nullptr), "mate");
}

TEST(DistributionTest, OsReleaseThenLsbRelease) {
    dctest::TempDir dir;
    auto detect = [&](const std::string& osRelease, const std::string& lsb = "true") {
        return core::DetectDistribution({dir.Write("os-release", osRelease), dir.File("etc"), lsb});
    };
    EXPECT_EQ(detect("NAME=\"Rocky\"\nVERSION_ID=\"ubuntu\"\nID=\"rocky\"\n"), "rocky");

    dclog::LogCapture log;
    EXPECT_EQ(detect("ID=linuxmint\n"), "");
    EXPECT_EQ(log.Lines(),
              (std::vector<std::string>{"Can not find the supported distribution from id=linuxmint.\n",
                                        "Can not find the supported distribution from .\n"}));
    EXPECT_EQ(log.LevelOf("Can not find"), dclog::kWarning);
    EXPECT_EQ(detect("ID=linuxmint\n", "echo Ubuntu"), "ubuntu");
}

}  // namespace
