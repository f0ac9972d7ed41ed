// Frames once the connection is ready: broken frames from the service and
// back-pressure from one that does not read.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "lib/log/Log.h"
#include "lib/log/LogCapture.h"
#include "src/ipc/IpcClientInternal.h"
#include "src/ipc/IpcClientState.h"
#include "tests/src/ipc/ServiceHarness.h"

namespace {

using namespace ipctest;

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
