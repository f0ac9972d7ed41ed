// The client against the reference service over real TLS on loopback: the
// handshake, the client-info record on the wire, refused services and
// refused options. Every case ends with no thread and no semaphore left.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "lib/log/Log.h"
#include "lib/log/LogCapture.h"
#include "src/ipc/IpcClientInternal.h"
#include "tests/src/ipc/ServiceHarness.h"

namespace {

using namespace ipctest;
using Clock = std::chrono::steady_clock;

constexpr int64_t kClientId = 42;
constexpr int kAllLevels = 10;

bool Connect(const ServiceProcess& service, Inbox& inbox, const std::string& magic, int32_t heartbeat = 0,
             int64_t clientId = kClientId) {
    return IpcClient_ConnectWithPaths(service.ClientPaths(), clientId, Inbox::OnConnected, Inbox::OnMessage,
                                      magic.c_str(), "DesktopController", heartbeat, &inbox);
}

std::string Joined(const dclog::LogCapture& capture) {
    std::string text;
    for (const std::string& line : capture.Lines()) {
        text += line;
    }
    return text;
}

std::string Hex(const std::string& bytes) {
    std::string text;
    char pair[3];
    for (unsigned char byte : bytes) {
        snprintf(pair, sizeof pair, "%02x", byte);
        text += pair;
    }
    return text;
}

std::string ExpectedClientInfoFrame(const std::string& token) {
    std::string frame("\x01\x00\x00\x00\x5c\x00\x00\x00", 8);
    frame += token;  // 40 characters, no terminator inside the field
    std::string name = "DesktopController";
    name.resize(40, '\0');
    frame += name;
    frame += std::string("\x2a\x00\x00\x00\x00\x00\x00\x00", 8);  // client id 42, little-endian
    frame += std::string("\x00\x00\x00\x00", 4);                  // heartbeat time-out 0
    return Hex(frame);
}

TEST(IpcHandshake, VerifiesEveryKeyKindSendsTheRecordAndEndsWhenTheServiceCloses) {
    const int threadsBefore = ThreadCount();  // before any harness reader thread
    const std::vector<std::vector<std::string>> keyOptions = {
        {"--key-type", "rsa"},
        {"--key-type", "ec", "--key-bits", "256"},
        {"--key-type", "ec", "--key-bits", "384"},
        {"--key-type", "ec", "--key-bits", "521"},
    };
    const std::string token = TokenFor(kClientId, kMagic);
    for (const auto& keyOption : keyOptions) {
        SCOPED_TRACE(keyOption[1] + (keyOption.size() > 2 ? keyOption[3] : ""));
        dclog::LogCapture capture(kAllLevels);
        std::vector<std::string> arguments = {"--desktop-magic", kMagic, "--client-id", "42", "--commands"};
        arguments.insert(arguments.end(), keyOption.begin(), keyOption.end());
        ServiceProcess service(arguments);
        Inbox inbox;
        ASSERT_TRUE(Connect(service, inbox, token));

        const auto info = service.WaitForLine("CLIENT_INFO");
        ASSERT_TRUE(info);
        EXPECT_NE(info->find("token=ok"), std::string::npos);
        EXPECT_NE(info->find("raw=" + ExpectedClientInfoFrame(token)), std::string::npos) << *info;
        EXPECT_EQ(capture.LevelOf("TCP connection established\n"), dclog::kInfo);
        EXPECT_EQ(capture.LevelOf("Server signature verification success\n"), dclog::kInfo);
        EXPECT_EQ(capture.LevelOf("Send client info, magic " + token.substr(0, 4) + "-***\n"), 10);
        EXPECT_EQ(capture.LevelOf("Successfully get port and magic(" + token.substr(0, 4) +
                                  "-***), clientId is 42\n"),
                  10);
        {
            std::unique_lock lock(inbox.mutex);
            ASSERT_TRUE(inbox.changed.wait_for(lock, 5s, [&] { return inbox.connectedCalls == 1; }));
        }

        service.Command("close");
        const auto start = Clock::now();
        IpcClient_WaitForTerminate();
        EXPECT_LT(Clock::now() - start, 2s);
        EXPECT_EQ(service.WaitForExit(), 0);
        EXPECT_EQ(capture.LevelOf("Failed to read from ssl connection\n"), dclog::kError);
        EXPECT_TRUE(capture.Contains("Failed to receive IPC header\n"));
        EXPECT_TRUE(capture.Contains("Inbound poller thread terminated(stopService = yes)\n"));
        EXPECT_TRUE(capture.Contains("Outbound poller thread terminated(stopService = yes)\n"));
        EXPECT_TRUE(capture.Contains("Service terminated!\n"));
        EXPECT_TRUE(LeftoverSemaphores().empty());
        EXPECT_LE(ThreadCount(), threadsBefore + 1);  // at most the harness's output reader
    }
}

TEST(IpcHandshake, RefusesServicesThatCannotProveTheirKey) {
    struct Case {
        std::vector<std::string> arguments;
        std::vector<std::string> records;
        int serviceStatus;
    };
    const std::vector<Case> cases = {
        {{"--fault", "wrong-signature"},
         {"Server signature verification fail\n", "Failed to verify server\n"},
         0},
        {{"--fault", "foreign-key", "--key-type", "ec"},
         {"Server signature verification fail\n", "Failed to verify server\n"},
         0},
        {{"--fault", "wrong-order"}, {"Expect server hash, but get 3\n", "Failed to verify server\n"}, 0},
        {{"--key-type", "ed25519"}, {"unsupported Key type\n", "Failed to verify server\n"}, 0},
        {{"--fault", "bad-ready"},
         {"Expect IPC_MSG_TYPE_READY, but get 4\n", "Failed to wait service ready\n"},
         0},
        {{"--desktop-magic", kMagic, "--client-id", "7"},
         {"Expect IPC_MSG_TYPE_READY, but get 0\n", "Failed to wait service ready\n"},
         3},
    };
    const int threadsBefore = ThreadCount();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments[1]);
        dclog::LogCapture capture(kAllLevels);
        std::vector<std::string> arguments = c.arguments;
        arguments.insert(arguments.end(), {"--close-after-ms", "3000"});
        ServiceProcess service(arguments);
        Inbox inbox;
        EXPECT_FALSE(Connect(service, inbox, TokenFor(kClientId, kMagic)));
        for (const std::string& record : c.records) {
            EXPECT_EQ(capture.LevelOf(record), dclog::kError) << record << Joined(capture);
        }
        EXPECT_TRUE(capture.Contains("Cleanup TCP socket\n"));
        EXPECT_FALSE(capture.Contains("Service terminated!\n"));
        if (c.serviceStatus != 0) {
            EXPECT_EQ(service.WaitForExit(), c.serviceStatus);
        }
        EXPECT_EQ(inbox.connectedCalls, 0);
        EXPECT_TRUE(LeftoverSemaphores().empty());
        EXPECT_LE(ThreadCount(), threadsBefore + 1);
    }
}

TEST(IpcHandshake, RefusesBadOptionsBeforeConnecting) {
    dclog::LogCapture capture(kAllLevels);
    TempDir dir;
    const IpcClientPaths paths{dir.File("ipc.port"), dir.File("ipc.magic"), dir.File("rui.pub")};
    const std::string token = TokenFor(kClientId, kMagic);
    auto connect = [&](const std::string& magic, int32_t heartbeat) {
        return IpcClient_ConnectWithPaths(paths, kClientId, nullptr, nullptr, magic.c_str(),
                                          "DesktopController", heartbeat, nullptr);
    };

    EXPECT_FALSE(connect(token, 4));
    EXPECT_EQ(capture.LevelOf("Invalid heartbeat timeout, must be 0 or greater than 4\n"), dclog::kError);

    EXPECT_FALSE(connect(token, 0));
    EXPECT_TRUE(capture.Contains("Failed to get port from file\n"));
    EXPECT_TRUE(capture.Contains("Failed to parse option\n"));

    // Port 1 on loopback: nothing listens there.
    dir.Write("ipc.port", "1\n");
    EXPECT_FALSE(connect(token.substr(0, 39), 0));
    EXPECT_TRUE(capture.Contains("Invalid customized magic length: 39(expect 40 bytes)\n"));
    EXPECT_FALSE(connect(token + "x", 0));
    EXPECT_TRUE(capture.Contains("Invalid customized magic length: 41(expect 40 bytes)\n"));

    EXPECT_FALSE(connect(token, 0));
    EXPECT_TRUE(capture.Contains("Failed to connect to server, errno: 111\n"));
    EXPECT_TRUE(capture.Contains("Failed to establish connection to server\n"));
    EXPECT_TRUE(LeftoverSemaphores().empty());
}

}  // namespace
