// Frames in both directions once the connection is ready: sizes and byte
// orders, broken frames from the service, back-pressure, heartbeats.
#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <chrono>
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
using Clock = std::chrono::steady_clock;

constexpr int64_t kClientId = 42;

struct Connection {
    explicit Connection(std::vector<std::string> arguments) : service(std::move(arguments)) {}
    ServiceProcess service;
    Inbox inbox;
};

bool Connect(Connection& connection, int32_t heartbeat = 0) {
    return IpcClient_ConnectWithPaths(connection.service.ClientPaths(), kClientId, Inbox::OnConnected,
                                      Inbox::OnMessage, TokenFor(kClientId, kMagic).c_str(),
                                      "DesktopController", heartbeat, &connection.inbox);
}

// Distinct for every seed once the payload is long enough for the prefix.
std::string Pattern(size_t length, unsigned seed) {
    std::string text = "#" + std::to_string(seed) + ":";
    for (size_t i = text.size(); i < length; ++i) {
        text.push_back(static_cast<char>('a' + (i * 7 + seed) % 26));
    }
    text.resize(length);
    return text;
}

std::string Sha256Hex(const std::string& data) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest);
    std::string text;
    char pair[3];
    for (unsigned char byte : digest) {
        snprintf(pair, sizeof pair, "%02x", byte);
        text += pair;
    }
    return text;
}

std::string LeHeaderHex(uint32_t type, uint32_t length) {
    char text[17];
    snprintf(text, sizeof text, "%02x000000%02x%02x%02x%02x", type, length & 0xff, (length >> 8) & 0xff,
             (length >> 16) & 0xff, length >> 24);
    return text;
}

void FreeFrame(char* frame, uint32_t, void*) {
    free(frame);
}

// Ends the connection from the service side and checks that the client
// comes down within the bounds and leaves nothing behind.
void CloseAndExpectCleanEnd(Connection& connection, const dclog::LogCapture& capture) {
    connection.service.Command("close");
    const auto start = Clock::now();
    IpcClient_WaitForTerminate();
    EXPECT_LT(Clock::now() - start, 2s);
    EXPECT_TRUE(capture.Contains("Service terminated!\n"));
    EXPECT_TRUE(LeftoverSemaphores().empty());
}

TEST(IpcTraffic, CarriesPayloadsFromOneByteToOneMebibyteBothWays) {
    dclog::LogCapture capture;
    Connection connection({"--commands", "--print-limit", "16"});
    ASSERT_TRUE(Connect(connection));
    const std::vector<size_t> sizes = {1, 100, 4096, 65536, 1024 * 1024};

    for (size_t i = 0; i < sizes.size(); ++i) {
        const std::string name = "frame" + std::to_string(i);
        connection.service.Dir().Write(name, Pattern(sizes[i], static_cast<unsigned>(i)));
        connection.service.Command("sendfile " + connection.service.Dir().File(name));
    }
    ASSERT_TRUE(connection.inbox.WaitForCount(sizes.size()));
    for (size_t i = 0; i < sizes.size(); ++i) {
        EXPECT_EQ(connection.inbox.payloads[i], Pattern(sizes[i], static_cast<unsigned>(i))) << sizes[i];
        EXPECT_TRUE(connection.inbox.terminated[i]);
    }

    for (size_t i = 0; i < sizes.size(); ++i) {
        const std::string payload = Pattern(sizes[i], static_cast<unsigned>(i + 10));
        ASSERT_TRUE(
            IpcClient_SendData(payload.data(), static_cast<uint32_t>(payload.size()), nullptr, FreeFrame, 0));
    }
    for (size_t i = 0; i < sizes.size(); ++i) {
        const std::string payload = Pattern(sizes[i], static_cast<unsigned>(i + 10));
        const auto line = connection.service.WaitForLine("sha256=" + Sha256Hex(payload));
        ASSERT_TRUE(line) << sizes[i];
        EXPECT_NE(line->find("RECV type=4 length=" + std::to_string(sizes[i]) +
                             " header=" + LeHeaderHex(4, static_cast<uint32_t>(sizes[i]))),
                  std::string::npos)
            << *line;
    }
    CloseAndExpectCleanEnd(connection, capture);
}

TEST(IpcTraffic, RefusesMalformedSends) {
    dclog::LogCapture capture;
    Connection connection({"--commands"});
    ASSERT_TRUE(Connect(connection));
    const char message[] = "<x/>";
    EXPECT_FALSE(IpcClient_SendMessage(message, 4, 0, false, nullptr, FreeFrame, 0));
    EXPECT_FALSE(IpcClient_SendMessage(message, 4, 8, false, nullptr, FreeFrame, 0));
    EXPECT_EQ(capture.LevelOf("Invalid IPC message type 8\n"), dclog::kError);
    EXPECT_FALSE(IpcClient_SendData(nullptr, 4, nullptr, FreeFrame, 0));
    EXPECT_FALSE(IpcClient_SendData(message, 0, nullptr, FreeFrame, 0));
    EXPECT_TRUE(capture.Contains("Invalid parameter: msg=(nil), msgLen=4\n"));
    EXPECT_FALSE(IpcClient_WriteAll(nullptr, 0));
    EXPECT_FALSE(IpcClient_ReadAll(nullptr, 0));
    EXPECT_TRUE(capture.Contains("to wait from server\n"));
    // Type 5 is accepted by the check; the service just prints it.
    EXPECT_TRUE(IpcClient_SendMessage(message, 4, 5, false, nullptr, FreeFrame, 0));
    EXPECT_TRUE(connection.service.WaitForLine("RECV type=5 length=4 header=0500000004000000"));
    CloseAndExpectCleanEnd(connection, capture);
}

TEST(IpcTraffic, BrokenFramesFromTheServiceStopTheClient) {
    struct Case {
        std::string fault;
        std::string record;
    };
    const std::vector<Case> cases = {
        {"negative-length", "Invalid payload size -2147483648(80000000)\n"},
        {"garbage-after-ready", "Invalid payload size 1095189793(41474521)\n"},
        {"close-mid-frame", "Failed to receive IPC message\n"},
        {"overlong-length", "Failed to receive IPC message\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        dclog::LogCapture capture;
        Connection connection({"--fault", c.fault, "--close-after-ms", "1000"});
        ASSERT_TRUE(Connect(connection));
        const auto start = Clock::now();
        IpcClient_WaitForTerminate();
        EXPECT_LT(Clock::now() - start, 3s);
        EXPECT_EQ(capture.LevelOf(c.record), dclog::kError);
        EXPECT_TRUE(connection.inbox.payloads.empty());
        EXPECT_TRUE(LeftoverSemaphores().empty());
    }
}

TEST(IpcTraffic, EmptyFrameIsDeliveredAsAnEmptyPayload) {
    dclog::LogCapture capture;
    Connection connection({"--fault", "zero-length", "--commands"});
    ASSERT_TRUE(Connect(connection));
    connection.service.Command("send <after/>");
    ASSERT_TRUE(connection.inbox.WaitForCount(2));
    EXPECT_EQ(connection.inbox.payloads[0], "");
    EXPECT_TRUE(connection.inbox.terminated[0]);
    EXPECT_EQ(connection.inbox.payloads[1], "<after/>");
    EXPECT_EQ(capture.LevelOf("Received an IPC message without payload"), dclog::kWarning);
    CloseAndExpectCleanEnd(connection, capture);
}

TEST(IpcTraffic, SlowServiceFillsTheOutboundQueueAndLosesNothingQueued) {
    dclog::LogCapture capture;
    Connection connection({"--fault", "slow-reader", "--slow-ms", "0", "--commands", "--print-limit", "0"});
    ASSERT_TRUE(Connect(connection));
    const size_t frameSize = 256 * 1024;
    int accepted = 0;
    while (accepted < 200) {
        const std::string payload = Pattern(frameSize, static_cast<unsigned>(accepted));
        if (!IpcClient_SendData(payload.data(), frameSize, nullptr, FreeFrame, 300)) {
            break;
        }
        ++accepted;
    }
    EXPECT_GE(accepted, 30);
    EXPECT_LT(accepted, 200);
    EXPECT_TRUE(capture.Contains("Failed to queue IPC message"));

    connection.service.Command("resume");
    const auto last = connection.service.WaitForLine(
        "sha256=" + Sha256Hex(Pattern(frameSize, static_cast<unsigned>(accepted - 1))), 20s);
    ASSERT_TRUE(last);
    const auto received = connection.service.LinesContaining("RECV type=4");
    ASSERT_EQ(received.size(), static_cast<size_t>(accepted));
    for (int i = 0; i < accepted; ++i) {
        EXPECT_NE(received[i].find(Sha256Hex(Pattern(frameSize, static_cast<unsigned>(i)))),
                  std::string::npos)
            << "frame " << i << " out of order";
    }
    CloseAndExpectCleanEnd(connection, capture);
}

// A stop request from any thread reaches threads that wait on the socket:
// the receive loop on a silent service and the outbound poller stuck in a
// write that the service does not read.
TEST(IpcTraffic, StopRequestWakesThreadsWaitingOnTheSocket) {
    dclog::LogCapture capture;
    Connection connection({"--fault", "slow-reader", "--slow-ms", "0", "--commands", "--print-limit", "0"});
    ASSERT_TRUE(Connect(connection));
    const size_t frameSize = 256 * 1024;
    for (unsigned i = 0; i < 200; ++i) {
        const std::string payload = Pattern(frameSize, i);
        if (!IpcClient_SendData(payload.data(), frameSize, nullptr, FreeFrame, 300)) {
            break;
        }
    }
    ASSERT_TRUE(capture.WaitFor("Failed to queue IPC message", 10s));
    const auto start = Clock::now();
    IpcClient_RequestStop();
    IpcClient_WaitForTerminate();
    EXPECT_LT(Clock::now() - start, 1500ms);
    EXPECT_TRUE(capture.Contains("Failed to write to ssl connection\n"));
    EXPECT_TRUE(capture.Contains("Failed to read from ssl connection\n"));
    EXPECT_TRUE(capture.Contains("Service terminated!\n"));
    EXPECT_TRUE(LeftoverSemaphores().empty());
}

TEST(IpcTraffic, HeartbeatFramesGoOutEveryFourSeconds) {
    dclog::LogCapture capture;
    const int threadsBefore = ThreadCount();
    Connection connection({"--commands"});
    ASSERT_TRUE(Connect(connection, 5));
    // Receive loop, two pollers and the heartbeat; the on-connected thread
    // may already have ended.
    EXPECT_GE(ThreadCount(), threadsBefore + 4);
    const auto start = Clock::now();
    const auto first = connection.service.WaitForLine("RECV type=6", 6s);
    ASSERT_TRUE(first);
    EXPECT_GE(Clock::now() - start, 3500ms);
    EXPECT_NE(first->find("header=0600000001000000 "), std::string::npos);
    EXPECT_NE(first->find("payload=\\x00"), std::string::npos);
    const auto info = connection.service.WaitForLine("CLIENT_INFO");
    ASSERT_TRUE(info);
    EXPECT_NE(info->find("heartbeat=5 "), std::string::npos);
    EXPECT_NE(info->find("05000000"), std::string::npos);
    CloseAndExpectCleanEnd(connection, capture);
    EXPECT_LE(ThreadCount(), threadsBefore + 1);
}

}  // namespace
