// What the controller reports about its session: desktop type, running
// processes and distribution.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <vector>

#include "lib/log/Log.h"
#include "lib/log/LogCapture.h"
#include "src/core/IdentityFiles.h"
#include "src/core/SessionDetection.h"
#include "tests/support/TempDir.h"

namespace {

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

void SetOrUnset(const char* name, const std::optional<std::string>& value) {
    value ? setenv(name, value->c_str(), 1) : unsetenv(name);
}

// The desktop type with the two session variables set (or unset) for this
// call only.
std::string TypeFor(std::optional<std::string> current, std::optional<std::string> session) {
    std::pair<const char*, std::optional<std::string>> variables[] = {{"XDG_CURRENT_DESKTOP", current},
                                                                      {"DESKTOP_SESSION", session}};
    for (auto& [name, value] : variables) {
        const char* old = getenv(name);
        std::optional<std::string> saved = old ? std::optional<std::string>(old) : std::nullopt;
        SetOrUnset(name, value);
        value = saved;
    }
    std::string type = GetDesktopType();
    for (const auto& [name, value] : variables) {
        SetOrUnset(name, value);
    }
    return type;
}

TEST(DesktopTypeTest, VariablesDecideBeforeRunningProcesses) {
    ASSERT_EQ(FindProcessByName("mate-session"), -1);
    ASSERT_EQ(FindProcessByName("ksmserver"), -1);
    EXPECT_EQ(TypeFor("ubuntu:GNOME", std::nullopt), "gnome");
    EXPECT_EQ(TypeFor("X-Cinnamon", "plasmawayland"), "kde");
    NamedProcess kde("ksmserver");
    EXPECT_EQ(TypeFor(std::nullopt, "xfce"), "kde");
    EXPECT_EQ(TypeFor("GNOME", std::nullopt), "gnome");
    NamedProcess mate("mate-session");
    EXPECT_EQ(TypeFor(std::nullopt, std::nullopt), "mate");
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
