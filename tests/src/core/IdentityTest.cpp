// The desktop magic, the token derived from it and the desktop id files:
// the controller's proof of identity to the agent.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "lib/log/Log.h"
#include "src/core/CommonUtils.h"
#include "src/core/IdentityFiles.h"
#include "src/core/SecretWipe.h"
#include "src/core/SessionDetection.h"
#include "tests/src/core/LogCapture.h"
#include "tests/src/core/TestFiles.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/PrivateSystemDirs.h"

using namespace std::chrono_literals;

namespace coretest {
namespace {

const std::string kMagic = "0123456789abcdefghijABCDEFGHIJ!#%&()*+,-";

// SHA-256 by the openssl command line tool over exactly these bytes, cut
// to the token's 20 bytes.
std::string ReferenceToken(const std::string& bytes) {
    TempDir dir;
    std::string path = dir.Write("input", bytes);
    dctest::ChildResult result =
        dctest::RunChild({.argv = {"openssl", "dgst", "-sha256", "-r", path}, .env = {}}, 10s);
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    return result.out.substr(0, 40);
}

TEST(MagicTest, FileIsTakenAsStoredUpTo63BytesAndUpToNul) {
    TempDir dir;
    EXPECT_EQ(core::ReadMagicFrom(dir.Write("exact", kMagic).c_str()), kMagic);
    EXPECT_EQ(core::ReadMagicFrom(dir.Write("newline", kMagic + "\n").c_str()), kMagic + "\n");
    EXPECT_EQ(core::ReadMagicFrom(dir.Write("long", std::string(100, 'x')).c_str()), std::string(63, 'x'));
    std::string withNul = kMagic;
    withNul[10] = '\0';
    EXPECT_EQ(core::ReadMagicFrom(dir.Write("nul", withNul).c_str()), kMagic.substr(0, 10));
    EXPECT_EQ(core::ReadMagicFrom(dir.Write("empty", "").c_str()), "");

    ClearLog();
    std::string missing = dir.Path() + "/missing";
    EXPECT_EQ(core::ReadMagicFrom(missing.c_str()), "");
    EXPECT_EQ(CountRecords(dclog::kError, "CommonUtils->GetDesktopMagic: Fail to open file " + missing +
                                              ", No such file or directory.\n"),
              1);
}

TEST(MagicTest, UnreadableForOtherUsers) {
    TempDir dir;
    std::string path = dir.Write("magic", kMagic, 0600);
    dctest::ChildResult result = dctest::RunForked(
        {},
        [&] {
            if (setresuid(65534, 65534, 65534) != 0) {
                return 2;
            }
            ClearLog();
            bool empty = core::ReadMagicFrom(path.c_str()).empty();
            bool logged = CountRecords(dclog::kError, "CommonUtils->GetDesktopMagic: Fail to open file " +
                                                          path + ", Permission denied.\n") == 1;
            return empty && logged ? 0 : 1;
        },
        10s);
    EXPECT_EQ(result.exitStatus, 0) << result.err;
}

TEST(MagicTest, FixedPathIsCachedOnlyAfterASuccessfulRead) {
    dctest::SystemDirsLayout layout;
    std::string hostMagic = layout.HostPath("/var/tarvelo") + "/brv_desktop_magic";
    dctest::ChildResult result = dctest::RunForked(
        {.layout = &layout},
        [&] {
            if (!CommonUtils::GetDesktopMagic().empty()) {
                return 1;
            }
            std::ofstream("/var/tarvelo/brv_desktop_magic") << kMagic;
            if (CommonUtils::GetDesktopMagic() != kMagic) {
                return 2;
            }
            std::ofstream("/var/tarvelo/brv_desktop_magic") << "changed";
            return CommonUtils::GetDesktopMagic() == kMagic ? 0 : 3;
        },
        10s);
    EXPECT_EQ(result.exitStatus, 0) << result.err;
}

TEST(TokenTest, MatchesIndependentSha256AndNeverLogsTheMagic) {
    for (const std::string id : {"5", "", "007", "2147483647", "12345678901234567890"}) {
        std::string token = CommonUtils::GenerateDesktopToken(id, kMagic);
        EXPECT_EQ(token.size(), 40u);
        EXPECT_EQ(token, ReferenceToken(id + kMagic)) << "id " << id;
    }

    ClearLog();
    EXPECT_EQ(CommonUtils::GenerateDesktopToken("5", kMagic + "\n"), "");
    EXPECT_EQ(CommonUtils::GenerateDesktopToken("5", kMagic.substr(1)), "");
    EXPECT_EQ(CountRecords(dclog::kError,
                           "CommonUtils->GenerateDesktopToken: Invalid desktop magic number, "
                           "expected length 40, actual length 41.\n"),
              1);
    EXPECT_EQ(CountRecords(dclog::kError,
                           "CommonUtils->GenerateDesktopToken: Invalid desktop magic number, "
                           "expected length 40, actual length 39.\n"),
              1);
    EXPECT_FALSE(AnyRecordContains(kMagic.substr(1, 20)));

    const unsigned char bytes[] = {0x00, 0xAB, 0xFF};
    EXPECT_EQ(CommonUtils::ToHexString(bytes, 3), "00abff");
    EXPECT_EQ(CommonUtils::ToHexString(nullptr, 3), "");
    EXPECT_EQ(CommonUtils::ToHexString(bytes, 0), "");

    std::string secret = kMagic;
    const char* storage = secret.data();
    WipeSecret(secret);
    EXPECT_TRUE(secret.empty());
    EXPECT_EQ(std::string(storage, 40), std::string(40, '\0'));
}

TEST(DesktopIdFileTest, DisplayNamesMapToFileNames) {
    const std::string prefix = core::kDesktopIdPrefix;
    EXPECT_EQ(CommonUtils::GetDisplayFilePath(prefix, ":0"), prefix + "0");
    EXPECT_EQ(CommonUtils::GetDisplayFilePath(prefix, ":10.0"), prefix + "10.0");
    EXPECT_EQ(CommonUtils::GetDisplayFilePath(prefix, "localhost:10.0"), prefix + "10.0");
    EXPECT_EQ(CommonUtils::GetDisplayFilePath(prefix, "wayland-1"), prefix + "1");
    EXPECT_EQ(CommonUtils::GetDisplayFilePath(prefix, "wayland-"), prefix);
    EXPECT_EQ(CommonUtils::GetDisplayFilePath(prefix, "wayland"), prefix + "wayland");
    EXPECT_EQ(CommonUtils::GetDisplayFilePath(prefix, ""), prefix);
}

TEST(DesktopIdFileTest, FirstDesktopIdLineWinsUntrimmed) {
    TempDir dir;
    EXPECT_EQ(core::ReadDesktopIdFrom(dir.Write("a", "FOO=1\n\nDESKTOPID=42\nDESKTOPID=43\n")), "42");
    EXPECT_EQ(core::ReadDesktopIdFrom(dir.Write("b", "DESKTOPID=7\r\n")), "7\r");
    EXPECT_EQ(core::ReadDesktopIdFrom(dir.Write("c", "desktopid=5\nDESKTOPID=9")), "9");

    ClearLog();
    std::string onlyKey = dir.Write("d", "DESKTOPID=\n");
    EXPECT_EQ(core::ReadDesktopIdFrom(onlyKey), "");
    EXPECT_EQ(CountRecords(dclog::kError, "Failed to get desktop id from " + onlyKey + ".\n"), 1);
    std::string missing = dir.Path() + "/none";
    EXPECT_EQ(core::ReadDesktopIdFrom(missing), "");
    EXPECT_EQ(CountRecords(dclog::kError, "Failed to open file " + missing + ".\n"), 1);
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
            ClearLog();
            setenv("BRV_DESKTOP_ID", "", 1);
            failures += GetDesktopId() != "" || !LoggedRecords().empty() ? 8 : 0;
            setenv("BRV_DESKTOP_ID", "77", 1);
            failures += GetDesktopId() != "77" ? 16 : 0;
            return failures;
        },
        10s);
    EXPECT_EQ(result.exitStatus, 0) << result.err;
}

}  // namespace
}  // namespace coretest
