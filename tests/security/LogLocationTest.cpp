// Where the log may be written, against files and directories another user
// planted: a file of someone else's or a link to one's own file is never
// opened, and neither a per-user area of another user nor a system area
// open to everyone is used. Run as root, with nobody as the other user.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "lib/log/LogCapture.h"
#include "lib/log/LogFilePath.h"
#include "lib/log/LogFiles.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;

namespace {

constexpr uid_t kOtherUser = 65534;

void Chown(const std::string& path, uid_t owner) {
    ASSERT_EQ(chown(path.c_str(), owner, owner), 0) << path;
}

TEST(LogLocation, PlantedFilesAndAreasAreRefused) {
    dctest::TempDir dir;
    dclog::LogCapture capture;
    const std::string foreign = dir.Write("foreign.log", "planted", 0666);
    Chown(foreign, kOtherUser);
    EXPECT_FALSE(dclog::SafeOpen(foreign, 0640).valid());
    EXPECT_TRUE(capture.Contains("Log file '" + foreign + "' belongs to another user.\n"));
    EXPECT_EQ(dctest::ReadFile(foreign), "planted");
    fs::create_symlink(dir.Write("own.log", "mine", 0600), dir.File("link.log"));
    EXPECT_FALSE(dclog::SafeOpen(dir.File("link.log"), 0640).valid());
    EXPECT_EQ(dctest::ReadFile(dir.File("own.log")), "mine");

    const dclog::LogAreas areas{.systemArea = dir.File("system"), .tempRoot = dir.Path()};
    const std::string area = dir.File("tarvelo-" + std::string(getenv("USER") ? getenv("USER") : "root"));
    fs::create_directory(area);
    fs::permissions(area, fs::perms(0700));
    Chown(area, kOtherUser);
    EXPECT_FALSE(dclog::SafeLogDirectory(areas, false));
    Chown(area, geteuid());
    EXPECT_EQ(dclog::SafeLogDirectory(areas, false), area);

    // The system area may belong to root but must not be open to everyone.
    fs::create_directory(areas.systemArea);
    fs::permissions(areas.systemArea, fs::perms(0777));
    EXPECT_FALSE(dclog::SafeLogDirectory(areas, true));
    fs::permissions(areas.systemArea, fs::perms(0755));
    EXPECT_EQ(dclog::SafeLogDirectory(areas, true), areas.systemArea);
}

}  // namespace
