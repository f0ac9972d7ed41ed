// The set-user-id start: the daemon reads the magic with the rights of the
// magic's owner and gives them up for good before it reads anything the
// invoking user controls. Afterwards the user can neither read the
// process's memory nor obtain a core file of it, the log belongs to the
// user, and neither the magic nor the token is left in memory, the log or
// standard error.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>

#include "tests/security/DaemonSession.h"

namespace fs = std::filesystem;
using namespace sectest;

namespace {

// Run as the invoking user: can it open the daemon's memory or environment?
int OpenAsNobody(pid_t pid, const std::string& file) {
    const std::string path = "/proc/" + std::to_string(pid) + "/" + file;
    dctest::ChildResult result = dctest::RunForked(
        {.uid = kNobody, .gid = kNobody}, [&path] { return open(path.c_str(), O_RDONLY) < 0 ? 0 : 1; }, 10s);
    return result.exitStatus;
}

uid_t OwnerOf(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_uid : static_cast<uid_t>(-1);
}

TEST(Privilege, UserCannotReadTheDaemonAndNoSecretOutlivesTheHandshake) {
    SessionOptions options;
    options.userPreferences =
        "DesktopController.log.filename = \"/var/tarvelo/sectest/home/mine.log\"\n"
        "DesktopController.log.logLevel = \"error\"\n";
    DaemonSession session(options);

    // Non-dumpable after the drop: the kernel hands /proc entries to root
    // and refuses the user, although the user owns every id of the process.
    EXPECT_EQ(OpenAsNobody(session.Pid(), "mem"), 0);
    EXPECT_EQ(OpenAsNobody(session.Pid(), "environ"), 0);
    EXPECT_EQ(OwnerOf("/proc/" + std::to_string(session.Pid()) + "/status"), 0u);

    // The magic is gone from memory once the token exists; the token stays
    // only in the IPC client's state, which the design keeps for the
    // connection's life.
    EXPECT_EQ(CountInMemory(session.Pid(), kMagic), 0u);
    EXPECT_LE(CountInMemory(session.Pid(), session.Token()), 1u);

    dctest::ChildResult result = session.Close();
    EXPECT_EQ(result.exitStatus, 0);
    const std::string log = session.Log();
    EXPECT_NE(log.find("Log level of DesktopController is verbose"), std::string::npos) << log;
    EXPECT_NE(log.find("Send client info, magic "), std::string::npos);
    for (const std::string& secret : {kMagic, session.Token()}) {
        EXPECT_EQ(log.find(secret.substr(0, 8)), std::string::npos);
        EXPECT_EQ(result.err.find(secret.substr(0, 8)), std::string::npos);
        EXPECT_EQ(result.out.find(secret.substr(0, 8)), std::string::npos);
    }
    // The user's own preference files are not read by a set-user-id run,
    // and the log file is created only after the drop.
    EXPECT_FALSE(fs::exists(session.Host("home/mine.log")));
    EXPECT_EQ(OwnerOf(session.HostLogPath()), kNobody);
}

TEST(Privilege, DefaultLogGoesToTheUsersPrivateAreaWhateverTmpdirSays) {
    SessionOptions options;
    options.configureLogFile = false;
    options.env = {"TMPDIR=/var/tarvelo/sectest"};
    DaemonSession session(options);
    const std::string area = session.HostTmp() + "/tarvelo-nobody";
    const std::string log = area + "/brevant-DesktopController-" + std::to_string(session.Pid()) + ".log";
    EXPECT_EQ(session.Close().exitStatus, 0);

    // The loader drops TMPDIR for a set-user-id program, so the area is
    // the one in /tmp, made by and for the user.
    struct stat st {};
    ASSERT_EQ(lstat(area.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_uid, kNobody);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(OwnerOf(log), kNobody);
    EXPECT_FALSE(fs::exists(session.Host("tarvelo-nobody")));
}

TEST(Privilege, CrashOfASetUserIdRunLeavesNoCoreForTheUser) {
    SessionOptions options;
    // Even when the host asks the panic path to make the process dumpable.
    options.hostPreferences = "coreDumpFlags = \"1\"\n";
    options.allowCores = true;
    DaemonSession session(options);
    ASSERT_EQ(kill(session.Pid(), SIGSEGV), 0);
    dctest::ChildResult result = session.Close();
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.exitStatus, 255);
    const std::string log = session.Log();
    EXPECT_NE(log.find("Unexpected signal: 11."), std::string::npos) << log;
    EXPECT_NE(log.find("failed to dump core"), std::string::npos) << log;
    for (const auto& entry : fs::directory_iterator(session.Host(""))) {
        EXPECT_FALSE(entry.path().filename().string().starts_with("core")) << entry.path();
    }
}

}  // namespace
