// Who may answer on the service's port. A signature over bytes the service
// chooses can be recorded from the real service and replayed, so a peer
// that presents a valid one but runs as another user than root or the
// owner of the port file must never receive the client info, which holds
// the desktop's token.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/Sandbox.h"

namespace dctest {
namespace {

// Neither root, nor nobody (who starts the set-user-id daemon), nor the
// magic's owner.
constexpr uid_t kStranger = 4242;

std::string PortOf(const DesktopSandbox& session) {
    return std::to_string(std::stoi(ReadFile(session.PortPath())));
}

TEST(ServiceOwner, AServiceOfAnotherUserWithAValidSignatureNeverSeesTheToken) {
    // The port file stays root's, as the agent left it when its service
    // went down; the stranger's service holds the key the way a replay
    // holds a recorded signature.
    DesktopSandbox session({.serviceUid = kStranger, .portFileOwner = 0, .setUserId = true});
    const std::string port = PortOf(session);
    session.StartDaemon();
    const ChildResult result = session.FinishDaemon();
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(session.CountInLog("Server signature verification success\n"), 1u) << session.Log();
    EXPECT_EQ(
        session.CountInLog("Service on port " + port +
                           " belongs to uid 4242, expected root or uid 0 (owner of /var/tarvelo/ipc.port)\n"),
        1u);
    EXPECT_EQ(session.CountInLog("Failed to verify server\n"), 1u);
    EXPECT_EQ(session.CountInLog("Failed to connect ipcserver, exiting.\n"), 1u);
    EXPECT_EQ(session.CountInLog("Send client info"), 0u);
    ASSERT_TRUE(session.Service().WaitForLine("CLOSED ", kWait));
    const std::vector<std::string>& transcript = session.Service().Transcript();
    EXPECT_TRUE(std::none_of(transcript.begin(), transcript.end(), [](const std::string& line) {
        return line.find("CLIENT_INFO") != std::string::npos;
    })) << session.Service().Finish(kWait).out;
}

TEST(ServiceOwner, ServicesOfRootAndOfThePortFilesOwnerAreAccepted) {
    struct Case {
        std::optional<uid_t> serviceUid;
        std::optional<uid_t> portFileOwner;
        uid_t expected;
    };
    const Case cases[] = {
        {std::nullopt, std::nullopt, 0},
        // Root may run the service whoever owns the port file.
        {std::nullopt, kStranger, 0},
        {kStranger, kStranger, kStranger},
    };
    for (const Case& accepted : cases) {
        SCOPED_TRACE(accepted.expected);
        DesktopSandbox session({.serviceUid = accepted.serviceUid, .portFileOwner = accepted.portFileOwner});
        ASSERT_TRUE(session.StartAndConnect()) << session.Log();
        EXPECT_EQ(session.CountInLog("Service on port " + PortOf(session) + " belongs to uid " +
                                     std::to_string(accepted.expected) + "\n"),
                  1u)
            << session.Log();
        const std::vector<std::string>& transcript = session.Service().Transcript();
        EXPECT_TRUE(std::any_of(transcript.begin(), transcript.end(), [](const std::string& line) {
            return line.find(" CLIENT_INFO ") != std::string::npos &&
                   line.find(" token=ok ") != std::string::npos;
        }));
        session.Service().Close();
        EXPECT_EQ(session.FinishDaemon().exitStatus, 0);
    }
}

}  // namespace
}  // namespace dctest
