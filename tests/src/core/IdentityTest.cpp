// The desktop magic, the token derived from it and the desktop id files:
// the controller's proof of identity to the agent.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "lib/log/Log.h"
#include "lib/log/LogCapture.h"
#include "src/core/CommonUtils.h"
#include "src/core/IdentityFiles.h"
#include "src/core/SecretWipe.h"
#include "src/core/SessionDetection.h"
#include "tests/support/Sandbox.h"

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

namespace {

const std::string kMagic = "0123456789abcdefghijABCDEFGHIJ!#%&()*+,-";

TEST(MagicTest, FileIsTakenAsStoredAndOnlyByItsOwner) {
    dctest::TempDir dir;
    EXPECT_EQ(core::ReadMagicFrom(dir.Write("magic", kMagic + "\n").c_str()), kMagic + "\n");

    dclog::LogCapture log;
    std::string missing = dir.File("missing");
    EXPECT_EQ(core::ReadMagicFrom(missing.c_str()), "");
    EXPECT_EQ(log.Lines(), Lines{"CommonUtils->GetDesktopMagic: Fail to open file " + missing +
                                 ", No such file or directory.\n"});
    EXPECT_EQ(log.LevelOf("Fail to open"), dclog::kError);

    std::string path = dir.Write("magic", kMagic, 0600);
    dctest::ChildResult result = dctest::RunForked(
        {},
        [&] {
            if (setresuid(65534, 65534, 65534) != 0) {
                return 2;
            }
            log.Clear();
            bool empty = core::ReadMagicFrom(path.c_str()).empty();
            return empty && log.Contains("Fail to open file " + path + ", Permission denied.\n") ? 0 : 1;
        },
        10s);
    EXPECT_EQ(result.exitStatus, 0) << result.err;
}

TEST(TokenTest, WrongMagicLengthGivesNoTokenAndSecretsAreWiped) {
    dclog::LogCapture log;
    EXPECT_EQ(CommonUtils::GenerateDesktopToken("5", kMagic + "\n"), "");
    const std::string invalid =
        "CommonUtils->GenerateDesktopToken: Invalid desktop magic number, expected length 40, ";
    EXPECT_EQ(log.Lines(), Lines{invalid + "actual length 41.\n"});
    EXPECT_EQ(log.LevelOf(invalid), dclog::kError);

    std::string secret = kMagic;
    const char* storage = secret.data();
    WipeSecret(secret);
    EXPECT_TRUE(secret.empty());
    EXPECT_EQ(std::string(storage, 40), std::string(40, '\0'));
}

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
            dclog::LogCapture log;
            setenv("BRV_DESKTOP_ID", "", 1);
            failures += GetDesktopId() != "" || !log.Lines().empty() ? 8 : 0;
            setenv("BRV_DESKTOP_ID", "77", 1);
            failures += GetDesktopId() != "77" ? 16 : 0;
            return failures;
        },
        10s);
    EXPECT_EQ(result.exitStatus, 0) << result.err;
}

}  // namespace
