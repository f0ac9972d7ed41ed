// The desktop id files: which one names the desktop when BRV_DESKTOP_ID
// does not, and which desktop a set-user-id run may speak for.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <vector>

#include "src/core/DesktopClaim.h"
#include "src/core/SessionDetection.h"
#include "tests/support/Sandbox.h"

using namespace std::chrono_literals;

namespace {

TEST(DesktopIdFileTest, EnvironmentDecidesWhichSourceIsUsed) {
    dctest::SystemDirsLayout layout;
    std::string ids = layout.HostPath("/var/tarvelo") + "/brv_desktop";
    std::filesystem::create_directories(ids);
    std::ofstream(ids + "/brv_desktopid.1") << "DESKTOPID=11\n";
    std::ofstream(ids + "/brv_desktopid.0") << "DESKTOPID=10\n";
    dctest::ChildResult result = dctest::RunForked(
        {.layout = &layout},
        [] {
            unsetenv("BRV_DESKTOP_ID");
            unsetenv("WAYLAND_DISPLAY");
            unsetenv("DISPLAY");
            int failures = GetDesktopId() != "" ? 1 : 0;
            setenv("WAYLAND_DISPLAY", "", 1);
            setenv("DISPLAY", ":1", 1);
            failures += GetDesktopId() != "11" ? 2 : 0;
            setenv("WAYLAND_DISPLAY", "wayland-0", 1);
            failures += GetDesktopId() != "10" ? 4 : 0;
            // The variable, when set, is checked end to end.
            return failures;
        },
        10s);
    EXPECT_EQ(result.exitStatus, 0) << result.err;
}

}  // namespace

namespace claims {

using core::ClaimCheck;

constexpr uid_t kUser = 65534;
constexpr uid_t kOther = 1101;
constexpr uid_t kInstalledOwner = 990;

struct ClaimCase {
    const char* what;
    core::ClaimSources sources;
    ClaimCheck check;
    std::string id;       // when not refused
    std::string refusal;  // its beginning, when refused
};

// The rules of a set-user-id run over real files: who owns the id file of
// the display that names the desktop decides, never the environment alone.
TEST(DesktopClaimTest, OnlyTheRealUsersOwnDisplayFileNamesTheDesktop) {
    dctest::TempDir dir;
    auto idFile = [&dir](const std::string& part, const std::string& text, uid_t owner) {
        const std::string path = dir.Write("brv_desktopid." + part, text);
        EXPECT_EQ(chown(path.c_str(), owner, owner), 0);
    };
    idFile("0", "DESKTOPID=10\n", kUser);
    idFile("1", "FOO=1\nDESKTOPID=11\n", 0);
    idFile("2", "DESKTOPID=12\n", kOther);
    idFile("3", "DESKTOPID=13\n", kInstalledOwner);
    idFile("4", "NOTHING=here\n", kUser);
    std::filesystem::create_symlink(dir.File("brv_desktopid.0"), dir.File("brv_desktopid.5"));
    const std::string prefix = dir.File("brv_desktopid.");
    auto from = [&prefix](std::string wayland, std::string display,
                          std::optional<std::string> brv = std::nullopt) {
        return core::ClaimSources{.brvDesktopId = std::move(brv),
                                  .waylandDisplay = std::move(wayland),
                                  .display = std::move(display),
                                  .realUid = kUser,
                                  .installedOwner = kInstalledOwner,
                                  .idFilePrefix = prefix};
    };
    const std::vector<ClaimCase> cases = {
        {"own Wayland file", from("wayland-0", ":1"), ClaimCheck::kNone, "10", ""},
        {"own file, same id asked", from("wayland-0", "", "10"), ClaimCheck::kNone, "10", ""},
        {"own X file", from("", ":0"), ClaimCheck::kNone, "10", ""},
        {"agent's X file", from("", ":1"), ClaimCheck::kOpenDisplay, "11", ""},
        {"installed owner's X file", from("", "unix:3"), ClaimCheck::kOpenDisplay, "13", ""},
        {"borrowed id", from("wayland-0", "", "12"), ClaimCheck::kRefused, "",
         "BRV_DESKTOP_ID \"12\" is not the desktop id 10 (display wayland-0, file " + prefix +
             "0, owner nobody(65534), real user nobody(65534))"},
        {"empty id asked", from("wayland-0", "", ""), ClaimCheck::kRefused, "", "BRV_DESKTOP_ID \"\""},
        {"another user's Wayland display", from("wayland-2", ""), ClaimCheck::kRefused, "",
         "the desktop id file of a Wayland display must belong to the real user (display wayland-2, file " +
             prefix + "2, owner " + core::AccountText(kOther) + ", real user nobody(65534))"},
        {"agent's file on Wayland", from("wayland-1", ""), ClaimCheck::kRefused, "",
         "the desktop id file of a Wayland display must belong to the real user (display wayland-1, file " +
             prefix + "1, owner root(0)"},
        {"another user's X display", from("", ":2"), ClaimCheck::kRefused, "",
         "the desktop id file of an X display must belong to the real user, root or " +
             core::AccountText(kInstalledOwner) + " ("},
        {"agent's file over TCP", from("", "localhost:1"), ClaimCheck::kRefused, "",
         "an X display whose desktop id file belongs to the agent must be a local one"},
        {"no display", from("", ""), ClaimCheck::kRefused, "",
         "no display is set, so no desktop id file names this desktop (display (unset), file (none), owner "
         "(unknown), real user nobody(65534))"},
        {"no file", from("wayland-9", ""), ClaimCheck::kRefused, "", "the desktop id file cannot be read"},
        {"a link to the user's file", from("wayland-5", ""), ClaimCheck::kRefused, "",
         "the desktop id file cannot be read"},
        {"no id line", from("wayland-4", ""), ClaimCheck::kRefused, "",
         "the desktop id file holds no DESKTOPID="},
        {"a path in the name", from("wayland-0/../2", ""), ClaimCheck::kRefused, "",
         "the display name names no desktop id file"},
    };
    for (const ClaimCase& c : cases) {
        SCOPED_TRACE(c.what);
        const core::DesktopClaim claim = core::ClaimFromDisplay(c.sources);
        EXPECT_EQ(claim.check, c.check);
        EXPECT_EQ(claim.id, c.id);
        EXPECT_TRUE(claim.refusal.starts_with(c.refusal)) << claim.refusal;
        EXPECT_EQ(claim.refusal.empty(), c.check != ClaimCheck::kRefused) << claim.refusal;
    }
}

}  // namespace claims
