// What the controller reports about its session: desktop type, running
// processes, distribution and the session environment.
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <sys/wait.h>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <vector>

#include "lib/log/Log.h"
#include "src/core/CommonUtils.h"
#include "src/core/IdentityFiles.h"
#include "src/core/SessionDetection.h"
#include "tests/src/core/LogCapture.h"
#include "tests/src/core/TestFiles.h"

extern char** environ;

namespace coretest {
namespace {

// A child process under a chosen comm name, alive until destruction.
class NamedProcess {
  public:
    explicit NamedProcess(const char* name) {
        int ready[2];
        if (pipe(ready) != 0 || pipe(release_) != 0) {
            throw std::runtime_error("pipe failed");
        }
        pid_ = fork();
        if (pid_ == 0) {
            prctl(PR_SET_NAME, name);
            close(release_[1]);
            char byte = 0;
            ssize_t ignored = write(ready[1], &byte, 1);
            ignored = read(release_[0], &byte, 1);
            static_cast<void>(ignored);
            _exit(0);
        }
        char byte = 0;
        ssize_t ignored = read(ready[0], &byte, 1);
        static_cast<void>(ignored);
        close(ready[0]);
        close(ready[1]);
        close(release_[0]);
    }
    ~NamedProcess() {
        close(release_[1]);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    pid_t Pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
    int release_[2] = {-1, -1};
};

// Sets or unsets variables for one scope and restores them afterwards.
class ScopedEnv {
  public:
    void Set(const char* name, std::optional<std::string> value) {
        const char* old = getenv(name);
        saved_.push_back({name, old ? std::optional<std::string>(old) : std::nullopt});
        Apply(name, value);
    }
    ~ScopedEnv() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            Apply(it->first.c_str(), it->second);
        }
    }

  private:
    static void Apply(const char* name, const std::optional<std::string>& value) {
        if (value) {
            setenv(name, value->c_str(), 1);
        } else {
            unsetenv(name);
        }
    }
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

std::string TypeFor(std::optional<std::string> current, std::optional<std::string> session) {
    ScopedEnv env;
    env.Set("XDG_CURRENT_DESKTOP", current);
    env.Set("DESKTOP_SESSION", session);
    return GetDesktopType();
}

TEST(DesktopTypeTest, VariablesDecideBeforeRunningProcesses) {
    ASSERT_EQ(FindProcessByName("mate-session"), -1);
    ASSERT_EQ(FindProcessByName("ksmserver"), -1);
    EXPECT_EQ(TypeFor("ubuntu:GNOME", std::nullopt), "gnome");
    EXPECT_EQ(TypeFor("MATE", "plasma"), "mate");
    EXPECT_EQ(TypeFor("KDE", std::nullopt), "kde");
    EXPECT_EQ(TypeFor("X-Cinnamon", "plasmawayland"), "kde");
    EXPECT_EQ(TypeFor("gnome", "mate"), "mate");
    EXPECT_EQ(TypeFor(std::nullopt, "ubuntu-wayland"), "gnome");
    EXPECT_EQ(TypeFor("", "xfce"), "gnome");
    {
        NamedProcess kde("ksmserver");
        EXPECT_EQ(TypeFor(std::nullopt, "xfce"), "kde");
        EXPECT_EQ(TypeFor("GNOME", std::nullopt), "gnome");
        NamedProcess mate("mate-session");
        EXPECT_EQ(TypeFor(std::nullopt, std::nullopt), "mate");
    }
}

TEST(DesktopTypeTest, ProcessesAreFoundByExactCommName) {
    std::string name = "dcprobe" + std::to_string(getpid() % 100000);
    NamedProcess probe(name.c_str());
    EXPECT_EQ(FindProcessByName(name), probe.Pid());
    EXPECT_EQ(FindProcessByName(name.substr(1)), -1);
    EXPECT_EQ(FindProcessByName(name + "x"), -1);
    // The kernel keeps 15 characters of a name; a longer name never matches.
    NamedProcess longName("dc-a-very-long-process-name");
    EXPECT_EQ(FindProcessByName("dc-a-very-long-process-name"), -1);
    EXPECT_EQ(FindProcessByName("dc-a-very-long-"), longName.Pid());
    EXPECT_EQ(core::FindProcessIn("/nonexistent/", name), -1);
}

TEST(EnvironmentTest, MapTakesEveryEntryWithAnEqualsSignLaterOnesWinning) {
    char entries[][16] = {"A=1", "NOEQUALS", "B=", "A=2", "=nameless", "C=x=y"};
    char* custom[] = {entries[0], entries[1], entries[2], entries[3], entries[4], entries[5], nullptr};
    char** saved = environ;
    environ = custom;
    auto map = GetEnvironmentMap();
    environ = saved;
    EXPECT_EQ(map.size(), 4u);
    EXPECT_EQ(map["A"], "2");
    EXPECT_EQ(map["B"], "");
    EXPECT_EQ(map[""], "nameless");
    EXPECT_EQ(map["C"], "x=y");
    EXPECT_EQ(map.count("NOEQUALS"), 0u);

    for (const char* name : {"AUDIODRIVER", "DISPLAY", "WAYLAND_DISPLAY", "QXR_SESSION_ID", "XDG_RUNTIME_DIR",
                             "XSESSION_IS_UP", "_"}) {
        EXPECT_TRUE(IsDesktopEnv(name)) << name;
    }
    for (const char* name : {"display", "PATH", "", "DISPLAY ", "XDG_SESSION_TYPE"}) {
        EXPECT_FALSE(IsDesktopEnv(name)) << name;
    }
}

TEST(DistributionTest, OsReleaseThenReleaseFilesThenLsbRelease) {
    TempDir dir;
    auto detect = [&](const std::string& osRelease, const std::string& lsb = "true") {
        return core::DetectDistribution({dir.Write("os-release", osRelease), dir.Path() + "/etc", lsb});
    };
    EXPECT_EQ(detect("NAME=\"Rocky\"\nVERSION_ID=\"ubuntu\"\nID=\"rocky\"\n"), "rocky");
    EXPECT_EQ(detect("ID=opensuse-leap\n"), "suse");
    EXPECT_EQ(detect("ID=sles\n"), "suse");
    EXPECT_EQ(detect("ID=Ubuntu\n"), "ubuntu");
    EXPECT_EQ(detect("ID_LIKE=debian\nID=debian\n"), "debian");

    ClearLog();
    EXPECT_EQ(detect("ID=linuxmint\n"), "");
    EXPECT_EQ(CountRecords(dclog::kWarning, "Can not find the supported distribution from id=linuxmint.\n"),
              1);
    EXPECT_EQ(CountRecords(dclog::kWarning, "Can not find the supported distribution from .\n"), 1);
    EXPECT_EQ(detect("ID=linuxmint\n", "echo Ubuntu"), "ubuntu");

    dir.Write("etc/redhat-release", "Red Hat\n");
    ClearLog();
    EXPECT_EQ(detect("ID=\"almalinux\"\n"), "rhel");
    EXPECT_EQ(LoggedRecords().size(), 1u);
    dir.Write("etc/centos-release", "CentOS\n");
    EXPECT_EQ(core::DetectDistribution({dir.Path() + "/none", dir.Path() + "/etc", "true"}), "centos");

    EXPECT_EQ(CommonUtils::MapDistribution("sled"), "suse");
    EXPECT_EQ(CommonUtils::MapDistribution("rhel centos"), "rhel");
    EXPECT_EQ(CommonUtils::MapDistribution("Debian"), "");
    EXPECT_EQ(CommonUtils::GetDistribution(), "debian");
}

}  // namespace
}  // namespace coretest
