// What crosses from the daemon into the processes it starts: only the
// standard descriptors, the desktop user's ids and no secret. Request texts
// reach a child as plain arguments, never through a shell, and the desktop
// task script only ever sees fixed words, whatever the session environment
// and /etc/os-release say.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "tests/security/DaemonSession.h"

namespace fs = std::filesystem;
using namespace sectest;

namespace {

std::vector<std::string> DescriptorNumbers(const std::string& report) {
    std::vector<std::string> numbers;
    for (const std::string& line : ReportLines(report, "fd ")) {
        numbers.push_back(line.substr(0, line.find(' ')));
    }
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

std::string Target(const std::string& report, const std::string& fd) {
    for (const std::string& line : ReportLines(report, "fd " + fd + " -> ")) {
        return line;
    }
    return {};
}

void ExpectNoSecret(const std::string& report, const DaemonSession& session) {
    EXPECT_EQ(report.find(kMagic), std::string::npos);
    EXPECT_EQ(report.find(session.Token()), std::string::npos);
    EXPECT_EQ(report.find(kMagic.substr(0, 12)), std::string::npos);
}

TEST(ChildBoundary, ChildrenGetOnlyStandardDescriptorsTheUsersIdsAndNoSecret) {
    DaemonSession session;
    session.Send(StartRequest("named", DaemonSession::Probe(), {DaemonSession::Inside("named"), "--stdin"},
                              "one-shot-text"));
    session.Send(StartRequest("app", DaemonSession::Probe(), {DaemonSession::Inside("app")}, "", true));
    session.Send(TaskRequest("LockScreen"));

    for (const char* name : {"named", "app", "task-lock"}) {
        SCOPED_TRACE(name);
        std::optional<std::string> report = session.WaitForReport(name);
        ASSERT_TRUE(report) << session.Log();
        // Descriptors 0 to 2 and nothing else: no TLS or D-Bus socket, log
        // file, signal pipe or stdin pipe end of the daemon.
        EXPECT_EQ(DescriptorNumbers(*report), (std::vector<std::string>{"0", "1", "2"})) << *report;
        EXPECT_EQ(ReportLines(*report, "uid "), std::vector<std::string>{"65534 65534 65534"});
        EXPECT_NE(report->find("env BRV_DESKTOP_ID=5\n"), std::string::npos);
        ExpectNoSecret(*report, session);
    }
    std::string named = *session.WaitForReport("named");
    EXPECT_TRUE(Target(named, "0").starts_with("pipe:")) << named;
    EXPECT_EQ(ReportLines(named, "stdin "), std::vector<std::string>{"one-shot-text"});
    EXPECT_EQ(Target(*session.WaitForReport("app"), "0"), "/dev/null");

    dctest::ChildResult result = session.Close();
    EXPECT_EQ(result.exitStatus, 0);
}

TEST(ChildBoundary, RequestTextsAndSessionValuesNeverReachAShell) {
    const std::string marker = "/tmp/shell-ran";
    SessionOptions options;
    options.env = {"XDG_CURRENT_DESKTOP=GNOME; touch " + marker + "-desktop",
                   "DESKTOP_SESSION=mate$(touch " + marker + "-session)"};
    options.osRelease = "NAME=x\nID=\"debian; touch " + marker + "-release\"\n";
    DaemonSession session(options);

    // A program file whose name is full of shell syntax, and arguments that
    // a shell would expand or split.
    const std::string oddName = "probe; touch x $(id) `id` | cat";
    fs::copy_file(session.HostProbe(), fs::path(session.HostProbe()).parent_path() / oddName);
    const std::vector<std::string> params = {DaemonSession::Inside("odd"),
                                             "$(touch " + marker + "-param)",
                                             "a b;touch " + marker + "-semicolon",
                                             "`id`",
                                             "'\"",
                                             "*"};
    session.Send(StartRequest("odd", "/usr/lib/tarvelo/sectest/" + oddName, params));
    session.Send(TaskRequest("UnlockScreen"));
    session.Send(TaskRequest("LogoutDesktop"));

    std::optional<std::string> odd = session.WaitForReport("odd");
    ASSERT_TRUE(odd) << session.Log();
    std::vector<std::string> expectedArgs = {"odd"};
    expectedArgs.insert(expectedArgs.end(), params.begin(), params.end());
    EXPECT_EQ(ReportLines(*odd, "arg "), expectedArgs);

    std::optional<std::string> unlock = session.WaitForReport("task-unlock");
    std::optional<std::string> logout = session.WaitForReport("task-logout");
    ASSERT_TRUE(unlock && logout) << session.Log();
    const std::string script = "/usr/lib/tarvelo/nordagent/desktop/desktopCTask.sh";
    EXPECT_EQ(ReportLines(*unlock, "arg "),
              (std::vector<std::string>{DaemonSession::Probe(), DaemonSession::Inside("task-unlock"), "-a",
                                        "unlock", "-d", "debian", "-t", "gnome"}));
    EXPECT_EQ(ReportLines(*logout, "arg "),
              (std::vector<std::string>{DaemonSession::Probe(), DaemonSession::Inside("task-logout"), "-a",
                                        "logout", "-t", "gnome"}));
    EXPECT_EQ(session.Close().exitStatus, 0);

    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(session.HostTmp())) {
        left.push_back(entry.path().filename().string());
    }
    EXPECT_TRUE(std::none_of(left.begin(), left.end(), [](const std::string& name) {
        return name.starts_with("shell-ran");
    })) << "a shell ran a command built from request or session text";
}

}  // namespace
