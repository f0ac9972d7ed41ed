// The one-shot standard-input text of a started process is a secret (the
// started component's token). Once it has reached the child, the daemon's
// memory holds no copy of it: not the received frame, not the XML text or
// tree, not the request, not the process object's copy, live or freed.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/ProcessMemory.h"
#include "tests/support/Sandbox.h"

namespace dctest {
namespace {

// 64 characters that occur nowhere else in the daemon.
const std::string kStdinSecret = "stdin-secret-7Hq2Lx9Vb4Nw8Kd3Rf6Ty1Pz5Mc0Gj7Sa2Ue9Wo4Ix8Qn3Bv6Ck";

TEST(StdinWipeTest, NoCopyOfAStdinTextRemainsOnceTheChildHasIt) {
    DesktopSandbox session;
    ASSERT_TRUE(session.StartAndConnect()) << session.Log();
    IpcService& service = session.Service();
    service.Send(StartProcessXml({.name = "holder",
                                  .path = DesktopSandbox::Probe(),
                                  .params = {DesktopSandbox::Inside("holder"), "--stdin"},
                                  .stdinText = kStdinSecret,
                                  .connectionId = "3"}));
    const std::optional<std::string> holder = session.WaitForReport("holder");
    ASSERT_TRUE(holder) << session.Log();
    EXPECT_NE(holder->find("stdin " + kStdinSecret + "\n"), std::string::npos) << *holder;
    // The holder's exit is logged after its monitor thread finished the
    // write. Requests are handled one at a time, so once the next one is
    // logged, the first message's buffers are done with too; it is short,
    // so it cannot overwrite where the first one held the text.
    ASSERT_TRUE(session.WaitForLog(": Process holder(")) << session.Log();
    service.Send(StopProcessXml("none", "3"));
    ASSERT_TRUE(session.WaitForLog("Received stop process request: none\n")) << session.Log();

    EXPECT_EQ(CountInMemory(session.DaemonPid(), kStdinSecret), 0u);
    // The token stays where the connection keeps it, and nowhere else.
    EXPECT_LE(CountInMemory(session.DaemonPid(), IpcToken(session.DesktopId(), session.Magic())), 1u);
}

}  // namespace
}  // namespace dctest
