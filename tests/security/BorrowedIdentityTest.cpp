// A desktop user runs the installed set-user-id daemon, which can read the
// machine-wide magic and so derive any desktop's token. It must speak only
// for the user's own desktop: another user's desktop id, display or user
// name in the environment gets a refusal with status 1 and never reaches
// the service, while the user's own desktop still connects.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/Sandbox.h"

namespace dctest {
namespace {

// The environment with name set to value, in place of the default entry.
std::vector<std::string> With(std::vector<std::string> env, const std::string& name,
                              const std::string& value) {
    std::erase_if(env, [&name](const std::string& entry) { return entry.starts_with(name + "="); });
    env.push_back(name + "=" + value);
    return env;
}

struct Refusal {
    std::vector<std::string> env;
    std::string reason;  // what standard error says between the prefix and the end
};

// Each start ends with status 1, its reason on standard error and once in
// its fresh log, and without a byte of client information at the service.
void ExpectRefused(DesktopSandbox& session, const Refusal& refusal) {
    session.StartDaemon(refusal.env);
    const ChildResult result = session.FinishDaemon();
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.exitStatus, 1);
    // Xlib may say first why it could not open a display.
    EXPECT_TRUE(result.err.ends_with("DesktopController: " + refusal.reason + ", exiting.\n")) << result.err;
    EXPECT_EQ(Occurrences(result.err, "DesktopController: "), 1u) << result.err;
    EXPECT_EQ(session.CountInLog("Desktop identity refused: " + refusal.reason + ", exiting.\n"), 1u)
        << session.Log();
    EXPECT_FALSE(session.Service().WaitForLine("CLIENT_INFO", 500ms));
}

std::string Describe(const std::string& display, const std::string& part, const std::string& owner) {
    return "(display " + display + ", file /var/tarvelo/brv_desktop/brv_desktopid." + part + ", owner " +
           owner + ", real user nobody(65534))";
}

TEST(BorrowedIdentityTest, AnotherUsersWaylandDesktopIdOrNameIsRefusedAndTheOwnDesktopConnects) {
    DesktopSandbox session({.setUserId = true});
    const std::string victimId = "4242";
    session.WriteDesktopIdFile("wayland-7", victimId, kOtherDesktopUser);
    const std::vector<std::string> env = session.DaemonEnvironment();
    const std::string ownFile = Describe("wayland-0", "0", "nobody(65534)");
    const std::string victimFile = Describe("wayland-7", "7", "dcvictim(1101)");
    const std::string notTheUsers = "the desktop id file of a Wayland display must belong to the real user ";
    for (const Refusal& refusal : std::vector<Refusal>{
             {With(env, "BRV_DESKTOP_ID", victimId), "BRV_DESKTOP_ID \"" + victimId +
                                                         "\" is not the desktop id " + session.DesktopId() +
                                                         " " + ownFile},
             {With(env, "WAYLAND_DISPLAY", "wayland-7"), notTheUsers + victimFile},
             {With(With(env, "WAYLAND_DISPLAY", "wayland-7"), "BRV_DESKTOP_ID", victimId),
              notTheUsers + victimFile},
             {With(With(env, "WAYLAND_DISPLAY", ""), "DISPLAY", ""),
              "no display is set, so no desktop id file names this desktop (display (unset), file (none), "
              "owner "
              "(unknown), real user nobody(65534))"},
         }) {
        SCOPED_TRACE(refusal.reason);
        ExpectRefused(session, refusal);
    }

    // The own desktop, named once more by BRV_DESKTOP_ID, under the
    // victim's USER: the real user is reported, to the service and in the
    // environment the children inherit.
    session.StartDaemon(With(With(env, "BRV_DESKTOP_ID", session.DesktopId()), "USER", "dcvictim"));
    const std::string logged = session.WaitForNotification("DesktopLogged");
    ASSERT_FALSE(logged.empty()) << session.Log();
    EXPECT_NE(logged.find("<DesktopId>" + session.DesktopId() + "</DesktopId>"), std::string::npos) << logged;
    EXPECT_NE(logged.find("<UserName>nobody</UserName>"), std::string::npos) << logged;
    EXPECT_NE(logged.find("<USER>nobody</USER>"), std::string::npos) << logged;
    EXPECT_EQ(logged.find("dcvictim"), std::string::npos) << logged;
    EXPECT_EQ(session.CountInLog("USER \"dcvictim\" is not the real user nobody, who is reported instead\n"),
              1u)
        << session.Log();
}

TEST(BorrowedIdentityTest, TheHostMayTrustTheEnvironmentAndIsWarnedAtEveryStart) {
    // The agent wrote the id file of this display as root, as agents did
    // before desktops were kept apart.
    DesktopSandbox session({.setUserId = true,
                            .idFileOwner = 0,
                            .preferences = "DesktopController.identity.trustEnvironment = \"true\"\n"});
    ASSERT_TRUE(session.StartAndConnect()) << session.Log();
    EXPECT_EQ(session.CountInLog("DesktopController.identity.trustEnvironment is set: desktop id " +
                                 session.DesktopId() +
                                 " is taken from the environment unchecked, so any local user can speak for "
                                 "any desktop\n"),
              1u)
        << session.Log();
}

TEST(BorrowedIdentityTest, AnAgentWrittenXDisplayIsClaimedOnlyWithTheUsersOwnXAuthority) {
    if (!DesktopSandbox::XvfbAvailable()) {
        GTEST_SKIP() << "Xvfb is not installed";
    }
    DesktopSandbox session({.x11 = true, .setUserId = true, .idFileOwner = 0, .xAuthority = true});
    const std::string display = session.DisplayEnv().substr(session.DisplayEnv().find('=') + 1);
    const std::string part = display.substr(1);
    // The X authority of another user: the cookie is right, but nobody
    // cannot read it.
    const std::string foreign = session.Host("foreign.Xauthority");
    TempDir::WriteAt(foreign, ReadFile(session.Host("home/.Xauthority")), 0600);
    const std::vector<std::string> env = session.DaemonEnvironment();
    const std::string cannotOpen =
        "the real user cannot open the X display, so its desktop id file does not make it theirs " +
        Describe(display, part, "root(0)");
    for (const Refusal& refusal : std::vector<Refusal>{
             {With(env, "XAUTHORITY", DesktopSandbox::Inside("foreign.Xauthority")), cannotOpen},
             // An empty WAYLAND_DISPLAY skips the designed display check, not this one.
             {With(With(env, "XAUTHORITY", DesktopSandbox::Inside("foreign.Xauthority")), "WAYLAND_DISPLAY",
                   ""),
              cannotOpen},
             {With(env, "DISPLAY", "localhost" + display),
              "an X display whose desktop id file belongs to the agent must be a local one (\":N\") " +
                  Describe("localhost" + display, part, "root(0)")},
         }) {
        SCOPED_TRACE(refusal.reason);
        ExpectRefused(session, refusal);
    }
    session.WriteDesktopIdFile(display, session.DesktopId(), kOtherDesktopUser);
    ExpectRefused(session, {env,
                            "the desktop id file of an X display must belong to the real user, root or "
                            "brvcanvas(990) " +
                                Describe(display, part, "dcvictim(1101)")});

    // The user's own desktop connects, whether the agent wrote its id file
    // or the user owns it, and with or without a matching BRV_DESKTOP_ID.
    for (const uid_t owner : {uid_t{0}, kNobody}) {
        SCOPED_TRACE(owner);
        session.WriteDesktopIdFile(display, session.DesktopId(), owner);
        ASSERT_TRUE(session.StartAndConnect(
            owner == 0 ? std::vector<std::string>{}
                       : std::vector<std::string>{"BRV_DESKTOP_ID=" + session.DesktopId()}))
            << session.Log();
        session.Service().Close();
        EXPECT_EQ(session.FinishDaemon().exitStatus, 0);
        session.RestartService();
    }
}

}  // namespace
}  // namespace dctest
