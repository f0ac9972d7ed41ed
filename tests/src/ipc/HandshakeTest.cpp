// The client against the reference service over real TLS on loopback: the
// handshake, the client-info record on the wire, refused services and
// refused options. Every case ends with no thread and no semaphore left.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lib/log/Log.h"
#include "lib/log/LogCapture.h"
#include "src/ipc/IpcClientInternal.h"
#include "tests/src/ipc/ServiceHarness.h"

namespace {

using namespace ipctest;

constexpr int kAllLevels = 10;

std::string Hex(const std::string& bytes) {
    std::string text;
    char pair[3];
    for (unsigned char byte : bytes) {
        snprintf(pair, sizeof pair, "%02x", byte);
        text += pair;
    }
    return text;
}

TEST(IpcHandshake, VerifiesEveryKeyKindSendsTheRecordAndEndsWhenTheServiceCloses) {
    const int threadsBefore = ThreadCount();
    const std::string token = TokenFor(kClientId, kMagic);
    std::string name = "DesktopController";
    name.resize(40, '\0');
    // Type 1, length 92, then token, name, client id 42 and heartbeat 0, little-endian.
    const std::string frame = std::string("\x01\x00\x00\x00\x5c\x00\x00\x00", 8) + token + name +
                              std::string("\x2a\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00", 12);
    for (const std::string bits : {"rsa", "384"}) {
        SCOPED_TRACE(bits);
        dclog::LogCapture capture(kAllLevels);
        Peer peer(bits == "rsa" ? std::vector<std::string>{"--key-type", "rsa"}
                                : std::vector<std::string>{"--key-type", "ec", "--key-bits", bits});
        ASSERT_TRUE(peer.Connect());
        const auto info = peer.service.WaitForLine("CLIENT_INFO");
        ASSERT_TRUE(info);
        EXPECT_NE(info->find("token=ok raw=" + Hex(frame)), std::string::npos) << *info;
        EXPECT_EQ(capture.LevelOf("Server signature verification success\n"), dclog::kInfo);
        EXPECT_EQ(capture.LevelOf("Send client info, magic " + token.substr(0, 4) + "-***\n"), 10);
        {
            std::unique_lock lock(peer.inbox.mutex);
            ASSERT_TRUE(
                peer.inbox.changed.wait_for(lock, 5s, [&] { return peer.inbox.connectedCalls == 1; }));
        }
        peer.service.Command("close");
        ExpectCleanEnd(capture);
        EXPECT_EQ(peer.service.WaitForExit(), 0);
        EXPECT_EQ(capture.LevelOf("Failed to read from ssl connection\n"), dclog::kError);
        EXPECT_TRUE(capture.Contains("Inbound poller thread terminated(stopService = yes)\n"));
        EXPECT_TRUE(capture.Contains("Outbound poller thread terminated(stopService = yes)\n"));
        EXPECT_LE(ThreadCount(), threadsBefore + 1);  // at most the harness's output reader
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
    const int threadsBefore = ThreadCount();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments[1]);
        dclog::LogCapture capture(kAllLevels);
        std::vector<std::string> arguments = c.arguments;
        arguments.insert(arguments.end(), {"--close-after-ms", "3000"});
        Peer peer(arguments);
        EXPECT_FALSE(peer.Connect());
        EXPECT_EQ(capture.LevelOf(c.cause), dclog::kError);
        EXPECT_EQ(capture.LevelOf("Failed to " + c.failure + "\n"), dclog::kError);
        EXPECT_TRUE(capture.Contains("Cleanup TCP socket\n"));
        EXPECT_FALSE(capture.Contains("Service terminated!\n"));
        EXPECT_EQ(peer.inbox.connectedCalls, 0);
        EXPECT_TRUE(LeftoverSemaphores().empty());
        EXPECT_LE(ThreadCount(), threadsBefore + 1);  // at most the harness's output reader
    }
}

}  // namespace
