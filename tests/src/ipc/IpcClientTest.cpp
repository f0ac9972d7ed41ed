// The client against the reference service over real TLS on loopback: the
// service's proof of its key, of every key kind it may have, and services
// that cannot give it; once connected, broken frames from the service and
// back-pressure from one that does not read. Every case ends with no
// semaphore left.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "lib/log/Log.h"
#include "lib/log/LogCapture.h"
#include "src/ipc/IpcClientInternal.h"
#include "src/ipc/IpcClientState.h"
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
        peer.service.Command("close");
        ExpectCleanEnd(capture);
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

TEST(IpcTraffic, BrokenFramesFromTheServiceStopTheClient) {
    const std::pair<std::string, std::string> cases[] = {
        {"negative-length", "Invalid payload size -2147483648(80000000)\n"},
        {"close-mid-frame", "Failed to receive IPC message\n"},
    };
    for (const auto& [fault, record] : cases) {
        SCOPED_TRACE(fault);
        dclog::LogCapture capture;
        Peer peer({"--fault", fault, "--close-after-ms", "1000"});
        ASSERT_TRUE(peer.Connect());
        ExpectCleanEnd(capture);
        EXPECT_EQ(capture.LevelOf(record), dclog::kError);
        EXPECT_TRUE(peer.inbox.payloads.empty());
    }
}

// A stop request from any thread reaches threads that wait on the socket:
// the receive loop on a silent service and the outbound poller stuck in a
// write that the service does not read.
TEST(IpcTraffic, StopRequestWakesThreadsWaitingOnTheSocket) {
    dclog::LogCapture capture;
    Peer peer({"--fault", "slow-reader", "--slow-ms", "0", "--print-limit", "0"});
    ASSERT_TRUE(peer.Connect());
    // Big frames until the queue in front of the stuck write is full.
    const std::string frame(256 * 1024, 'f');
    const auto freeFrame = [](char* sent, uint32_t, void*) { free(sent); };
    for (int i = 0; i < 200 && IpcClient_SendData(frame.data(), static_cast<uint32_t>(frame.size()), nullptr,
                                                  freeFrame, 300);
         ++i) {
    }
    ASSERT_TRUE(capture.WaitFor("Failed to queue IPC message", 10s));
    IpcClient_RequestStop();
    ExpectCleanEnd(capture);
    EXPECT_TRUE(capture.Contains("Failed to write to ssl connection\n"));
    EXPECT_TRUE(capture.Contains("Failed to read from ssl connection\n"));
}

}  // namespace
