// The public connect reads only the fixed system files: port and magic
// under /var/tarvelo, the key under /usr/share/tarvelo. Runs inside a
// private mount namespace, so the real directories are never touched.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "lib/log/LogCapture.h"
#include "src/ipc/IpcClient.h"
#include "tests/src/ipc/ServiceHarness.h"
#include "tests/support/PrivateSystemDirs.h"

namespace {

using namespace ipctest;

TEST(IpcSystemPaths, ConnectUsesTheFixedPortMagicAndKeyFiles) {
    dctest::PrivateSystemDirs dirs;  // before any thread of this test exists
    dclog::LogCapture capture;
    const std::string varDir = dirs.Layout().HostPath("/var/tarvelo");
    std::filesystem::create_directories(varDir + "/nordagent");
    std::ofstream(varDir + "/nordagent/ipc.magic") << TokenFor(9, kMagic);
    ServiceProcess service(
        {"--dir", "/var/tarvelo", "--desktop-magic", kMagic, "--client-id", "9", "--commands"});
    std::filesystem::copy_file(varDir + "/rui.pub",
                               dirs.Layout().HostPath("/usr/share/tarvelo") + "/rui.pub");

    Inbox inbox;
    ASSERT_TRUE(IpcClient_Connect(9, nullptr, Inbox::OnMessage, nullptr, "DesktopController", 0, &inbox));
    const auto info = service.WaitForLine("CLIENT_INFO");
    ASSERT_TRUE(info);
    EXPECT_NE(info->find("token=ok"), std::string::npos);
    service.Command("send <Request name=\"LockScreen\"/>");
    ASSERT_TRUE(inbox.WaitForCount(1));
    EXPECT_EQ(inbox.payloads[0], "<Request name=\"LockScreen\"/>");
    service.Command("close");
    ExpectCleanEnd(capture);
    EXPECT_EQ(service.WaitForExit(), 0);
}

}  // namespace
