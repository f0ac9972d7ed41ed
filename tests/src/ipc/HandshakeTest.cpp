// The client against the reference service over real TLS on loopback: the
// service's proof of its key, of every key kind it may have, and services
// that cannot give it. Every case ends with no semaphore left.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lib/log/Log.h"
#include "lib/log/LogCapture.h"
#include "tests/src/ipc/ServiceHarness.h"

namespace {

using namespace ipctest;

TEST(IpcHandshake, VerifiesEveryKeyKindAndEndsWhenTheServiceCloses) {
    for (const std::string bits : {"rsa", "384"}) {
        SCOPED_TRACE(bits);
        dclog::LogCapture capture;
        Peer peer(bits == "rsa" ? std::vector<std::string>{"--key-type", "rsa"}
                                : std::vector<std::string>{"--key-type", "ec", "--key-bits", bits});
        ASSERT_TRUE(peer.Connect());
        EXPECT_TRUE(
            peer.service.WaitForLine("CLIENT_INFO clientId=42 name=DesktopController heartbeat=0 token=ok"));
        EXPECT_EQ(capture.LevelOf("Server signature verification success\n"), dclog::kInfo);
        {
            std::unique_lock lock(peer.inbox.mutex);
            ASSERT_TRUE(
                peer.inbox.changed.wait_for(lock, 5s, [&] { return peer.inbox.connectedCalls == 1; }));
        }
        peer.service.Command("close");
        ExpectCleanEnd(capture);
        EXPECT_EQ(peer.service.WaitForExit(), 0);
    }
}

TEST(IpcHandshake, RefusesServicesThatCannotProveTheirKey) {
    struct Case {
        std::vector<std::string> arguments;
        std::string cause;
        std::string failure;
    };
    const std::vector<Case> cases = {
        {{"--fault", "wrong-signature"}, "Server signature verification fail\n", "verify server"},
        {{"--key-type", "ed25519"}, "unsupported Key type\n", "verify server"},
        {{"--fault", "bad-ready"}, "Expect IPC_MSG_TYPE_READY, but get 4\n", "wait service ready"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments[1]);
        dclog::LogCapture capture;
        std::vector<std::string> arguments = c.arguments;
        arguments.insert(arguments.end(), {"--close-after-ms", "3000"});
        Peer peer(arguments);
        EXPECT_FALSE(peer.Connect());
        EXPECT_EQ(capture.LevelOf(c.cause), dclog::kError);
        EXPECT_EQ(capture.LevelOf("Failed to " + c.failure + "\n"), dclog::kError);
        EXPECT_FALSE(capture.Contains("Service terminated!\n"));
        EXPECT_EQ(peer.inbox.connectedCalls, 0);
        EXPECT_TRUE(LeftoverSemaphores().empty());
    }
}

}  // namespace
