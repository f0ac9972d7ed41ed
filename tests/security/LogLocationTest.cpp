// Where the log may be written, against files and directories another user
// planted: a file of someone else's or a link to one's own file is never
// opened, a system area open to everyone is not used, and a per-user area
// name another user took first gives way to a fresh private directory.
// Run as root, with nobody as the other user.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "lib/log/LogCapture.h"
#include "lib/log/LogFilePath.h"
#include "lib/log/LogFiles.h"
#include "tests/support/Sandbox.h"

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
    // The system area may belong to root but must not be open to everyone.
    fs::create_directory(areas.systemArea);
    fs::permissions(areas.systemArea, fs::perms(0777));
    EXPECT_FALSE(dclog::SafeLogDirectory(areas, true));
    fs::permissions(areas.systemArea, fs::perms(0755));
    EXPECT_EQ(dclog::SafeLogDirectory(areas, true), areas.systemArea);
}

// The area is named after the effective user, whatever USER says. In a
// shared temp root another user can take that name first, as a directory
// or as a link to one of ours; the log then goes to a fresh directory that
// only we own, and the warning names both.
TEST(LogLocation, SquattedUserAreaGivesWayToAFreshPrivateDirectory) {
    dctest::TempDir dir;
    fs::permissions(dir.Path(), fs::perms(01777));
    const dclog::LogAreas areas{.systemArea = dir.File("system"), .tempRoot = dir.Path()};
    const std::string area = dir.File(std::string("tarvelo-") + getpwuid(geteuid())->pw_name);
    const std::string user = getenv("USER") ? getenv("USER") : "";
    setenv("USER", "someone-else", 1);
    EXPECT_EQ(dclog::SafeLogDirectory(areas, false), area);
    setenv("USER", user.c_str(), 1);
    fs::remove(area);
    const std::string own = dir.File("own");
    fs::create_directory(own);
    fs::permissions(own, fs::perms(0700));

    for (const bool link : {false, true}) {
        SCOPED_TRACE(link ? "link" : "directory");
        const auto squat = [&] {
            return link ? symlink(own.c_str(), area.c_str()) : mkdir(area.c_str(), 0700);
        };
        ASSERT_EQ(dctest::RunForked({.uid = kOtherUser, .gid = kOtherUser}, squat, std::chrono::seconds(10))
                      .exitStatus,
                  0);
        dclog::LogCapture capture;
        const std::optional<std::string> fresh = dclog::SafeLogDirectory(areas, false);
        ASSERT_TRUE(fresh);
        EXPECT_TRUE(fresh->starts_with(area + "-")) << *fresh;
        struct stat st {};
        ASSERT_EQ(lstat(fresh->c_str(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_uid, geteuid());
        EXPECT_EQ(st.st_mode & 07777, 0700u);
        EXPECT_TRUE(capture.Contains("'" + area + "'") && capture.Contains("'" + *fresh + "'"));
        fs::remove(area);
    }
    EXPECT_TRUE(fs::is_empty(own));
}

}  // namespace
