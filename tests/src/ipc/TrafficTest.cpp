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

constexpr size_t kBigFrame = 256 * 1024;

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

void FreeFrame(char* frame, uint32_t, void*) {
    free(frame);
}

bool Send(const std::string& payload, int32_t timeoutMs = 0) {
    return IpcClient_SendData(payload.data(), static_cast<uint32_t>(payload.size()), nullptr, FreeFrame,
                              timeoutMs);
}

// Sends big frames to a service that does not read until one is refused;
// the number accepted.
int FillOutboundQueue() {
    int accepted = 0;
    while (accepted < 200 && Send(Pattern(kBigFrame, static_cast<unsigned>(accepted)), 300)) {
        ++accepted;
    }
    return accepted;
}

TEST(IpcTraffic, CarriesPayloadsFromOneByteToOneMebibyteBothWays) {
    dclog::LogCapture capture;
    Peer peer({});
    ASSERT_TRUE(peer.Connect());
    const std::vector<uint32_t> sizes = {1, 100, 65536, 1024 * 1024};
    for (unsigned i = 0; i < sizes.size(); ++i) {
        const std::string name = "frame" + std::to_string(i);
        peer.service.Dir().Write(name, Pattern(sizes[i], i));
        peer.service.Command("sendfile " + peer.service.Dir().File(name));
    }
    ASSERT_TRUE(peer.inbox.WaitForCount(sizes.size()));
    for (unsigned i = 0; i < sizes.size(); ++i) {
        EXPECT_EQ(peer.inbox.payloads[i], Pattern(sizes[i], i)) << sizes[i];
        EXPECT_TRUE(peer.inbox.terminated[i]);
        ASSERT_TRUE(Send(Pattern(sizes[i], i + 10)));
    }
    for (unsigned i = 0; i < sizes.size(); ++i) {
        // The header is type 4 and the length, both little-endian.
        char header[17];
        snprintf(header, sizeof header, "04000000%02x%02x%02x%02x", sizes[i] & 0xff, (sizes[i] >> 8) & 0xff,
                 (sizes[i] >> 16) & 0xff, sizes[i] >> 24);
        EXPECT_TRUE(peer.service.WaitForLine("RECV type=4 length=" + std::to_string(sizes[i]) + " header=" +
                                             header + " sha256=" + Sha256Hex(Pattern(sizes[i], i + 10))))
            << sizes[i];
    }

    // Malformed sends are refused; type 5 passes the check and reaches the service.
    const char message[] = "<x/>";
    EXPECT_FALSE(IpcClient_SendMessage(message, 4, 8, false, nullptr, FreeFrame, 0));
    EXPECT_EQ(capture.LevelOf("Invalid IPC message type 8\n"), dclog::kError);
    EXPECT_TRUE(IpcClient_SendMessage(message, 4, 5, false, nullptr, FreeFrame, 0));
    EXPECT_TRUE(peer.service.WaitForLine("RECV type=5 length=4 header=0500000004000000"));
    peer.service.Command("close");
    ExpectCleanEnd(capture);
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
    FillOutboundQueue();
    ASSERT_TRUE(capture.WaitFor("Failed to queue IPC message", 10s));
    IpcClient_RequestStop();
    ExpectCleanEnd(capture);
    EXPECT_TRUE(capture.Contains("Failed to write to ssl connection\n"));
    EXPECT_TRUE(capture.Contains("Failed to read from ssl connection\n"));
}

TEST(IpcTraffic, HeartbeatFramesGoOutEveryFourSeconds) {
    dclog::LogCapture capture;
    const int threadsBefore = ThreadCount();
    Peer peer({});
    ASSERT_TRUE(peer.Connect(5));
    // Receive loop, two pollers and the heartbeat; the on-connected thread
    // may already have ended.
    EXPECT_GE(ThreadCount(), threadsBefore + 4);
    const auto start = Clock::now();
    const auto info = peer.service.WaitForLine("CLIENT_INFO");
    ASSERT_TRUE(info);
    EXPECT_NE(info->find("heartbeat=5 "), std::string::npos);
    EXPECT_NE(info->find("05000000"), std::string::npos);
    const auto first = peer.service.WaitForLine("RECV type=6", 6s);
    ASSERT_TRUE(first);
    EXPECT_GE(Clock::now() - start, 3500ms);
    EXPECT_NE(first->find("header=0600000001000000 "), std::string::npos);
    EXPECT_NE(first->find("payload=\\x00"), std::string::npos);
    peer.service.Command("close");
    ExpectCleanEnd(capture);
    EXPECT_LE(ThreadCount(), threadsBefore + 1);  // at most the harness's output reader
}

}  // namespace
