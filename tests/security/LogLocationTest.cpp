// Where the log may be written: never through a symbolic link, never into
// a file another user planted, and, for the per-user area, only into a
// private directory of this user. Run as root, with nobody as the other
// user; a refused file keeps its content.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "lib/log/LogCapture.h"
#include "lib/log/LogFilePath.h"
#include "lib/log/LogFiles.h"
#include "tests/src/ipc/ServiceHarness.h"

namespace fs = std::filesystem;

namespace {

constexpr uid_t kOtherUser = 65534;

std::string Content(const std::string& path) {
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

void Plant(const std::string& path, uid_t owner, fs::perms mode) {
    std::ofstream(path) << "planted";
    ASSERT_EQ(chown(path.c_str(), owner, owner), 0);
    fs::permissions(path, mode);
}

TEST(LogLocation, PlantedLinksAndForeignFilesAreNeverOpened) {
    ipctest::TempDir dir;
    dclog::LogCapture capture;
    fs::create_symlink(dir.File("target.log"), dir.File("dangling.log"));
    EXPECT_FALSE(dclog::SafeOpen(dir.File("dangling.log"), 0640).valid());
    EXPECT_FALSE(fs::exists(dir.File("target.log")));
    EXPECT_TRUE(capture.Contains("Log file '" + dir.File("dangling.log") + "' is a symbolic link.\n"));

    Plant(dir.File("own.log"), geteuid(), fs::perms(0600));
    fs::create_symlink(dir.File("own.log"), dir.File("link.log"));
    EXPECT_FALSE(dclog::SafeOpen(dir.File("link.log"), 0640).valid());

    Plant(dir.File("foreign.log"), kOtherUser, fs::perms(0666));
    EXPECT_FALSE(dclog::SafeOpen(dir.File("foreign.log"), 0640).valid());
    EXPECT_TRUE(capture.Contains("Log file '" + dir.File("foreign.log") + "' belongs to another user.\n"));
    EXPECT_EQ(Content(dir.File("foreign.log")), "planted");

    dclog::UniqueFd fresh = dclog::SafeOpen(dir.File("fresh.log"), 0640);
    ASSERT_TRUE(fresh.valid());
    struct stat st {};
    ASSERT_EQ(fstat(fresh.get(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_NE(fcntl(fresh.get(), F_GETFD) & FD_CLOEXEC, 0);
}

TEST(LogLocation, PerUserAreaMustBeAPrivateDirectoryOfThisUser) {
    ipctest::TempDir root;
    const dclog::LogAreas areas{.systemArea = root.File("system"), .tempRoot = root.Path()};
    const std::string area = root.File("tarvelo-" + std::string(getenv("USER") ? getenv("USER") : "root"));
    dclog::LogCapture capture;

    fs::create_directories(root.File("elsewhere"));
    fs::create_symlink(root.File("elsewhere"), area);
    EXPECT_FALSE(dclog::SafeLogDirectory(areas, false));
    fs::remove(area);

    fs::create_directory(area);
    ASSERT_EQ(chown(area.c_str(), kOtherUser, kOtherUser), 0);
    fs::permissions(area, fs::perms(0700));
    EXPECT_FALSE(dclog::SafeLogDirectory(areas, false));

    ASSERT_EQ(chown(area.c_str(), geteuid(), getegid()), 0);
    fs::permissions(area, fs::perms(0777));
    EXPECT_FALSE(dclog::SafeLogDirectory(areas, false));
    EXPECT_TRUE(capture.Contains("Safe logging area '" + area + "' validation failed!\n"));

    fs::permissions(area, fs::perms(0700));
    EXPECT_EQ(dclog::SafeLogDirectory(areas, false), area);

    // The system area may belong to root but must not be open to everyone.
    fs::create_directory(root.File("system"));
    fs::permissions(root.File("system"), fs::perms(0777));
    EXPECT_FALSE(dclog::SafeLogDirectory(areas, true));
    fs::permissions(root.File("system"), fs::perms(0755));
    EXPECT_EQ(dclog::SafeLogDirectory(areas, true), root.File("system"));
}

}  // namespace
