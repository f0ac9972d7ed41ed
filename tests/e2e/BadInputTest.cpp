// Whatever the service sends, the daemon logs one clear record for what it
// cannot use, keeps running, and handles the next valid request. Requests
// are data, not instructions to the XML parser: a document type with
// entities reads no file and expands nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "tests/support/DesktopSession.h"
#include "tests/support/TempDir.h"

namespace dctest {
namespace {

constexpr const char* kPayloadError = "IpcMsgDispatcher->ParseMsgPayload Parse payload error, cause: ";
constexpr const char* kRequestError = "IpcMsgDispatcher->ProcessRequest Parse request payload error, cause: ";
constexpr const char* kStartError =
    "IpcMsgDispatcher->ProcessStartProcessRequest Parse startProcess request error, cause: ";

// A valid request whose effect the test can see: the task script runs.
void ExpectStillServing(DesktopSession& session, std::size_t calls) {
    session.Service().Send(TaskXml("LogoutDesktop"));
    EXPECT_TRUE(session.WaitForTaskCalls(calls)) << session.Log();
}

TEST(BadInputTest, EachBadMessageIsLoggedOnceAndServiceGoesOn) {
    DesktopSession session({.serviceArgs = {"--fault", "zero-length"}});
    IpcService& service = session.Service();
    ASSERT_TRUE(session.StartAndConnect()) << session.Log();
    // The empty frame went out right after READY, before the daemon's first
    // notification arrived.
    const auto& transcript = service.Transcript();
    EXPECT_TRUE(std::any_of(transcript.begin(), transcript.end(), [](const std::string& line) {
        return line.find(" SENT type=4 length=0") != std::string::npos;
    })) << ::testing::PrintToString(transcript);
    ExpectStillServing(session, 1);
    EXPECT_EQ(session.CountInLog("Received an IPC message without payload\n"), 1u) << session.Log();

    service.Send("<Request name=\"LockScreen\"");
    ExpectStillServing(session, 2);
    EXPECT_EQ(session.CountInLog(kPayloadError), 1u) << session.Log();

    // Names are exact; unknown ones and Responses are for someone else.
    service.Send(TaskXml("lockscreen"));
    service.Send(TaskXml("Reboot"));
    service.Send("<Response name=\"LockScreen\"/>");
    ExpectStillServing(session, 3);

    service.Send("<Request><LockScreen/></Request>");
    service.Send(StartProcessXml({.name = "no-path", .connectionId = "1"}));
    service.Send(
        "<Request name=\"StopProcess\"><StopProcess><ProcessName>x</ProcessName></StopProcess></Request>");
    service.Send(StopProcessXml("x", "abc"));
    ExpectStillServing(session, 4);
    EXPECT_EQ(session.CountInLog(std::string(kRequestError) + "No such node (Request.<xmlattr>.name)\n"), 1u)
        << session.Log();
    EXPECT_EQ(session.CountInLog(std::string(kStartError) + "No such node (ProcessPath)\n"), 1u);
    EXPECT_EQ(session.CountInLog(std::string(kRequestError) + "No such node (StopProcess.ConnectionId)\n"),
              1u);
    EXPECT_EQ(session.CountInLog(std::string(kRequestError) + "conversion of data to type \"i\" failed\n"),
              1u);
    EXPECT_EQ(session.CountInLog(kRequestError), 3u);
    EXPECT_EQ(
        session.CountInLog("IpcMsgDispatcher->ProcessStartProcessRequest Received start process request"),
        0u);

    // 8 MiB of XML that never closes its elements.
    std::string huge = session.Host("huge.xml");
    {
        std::ofstream out(huge);
        out << "<Request name=\"StartProcess\"><StartProcess><ProcessParams>";
        for (int i = 0; i < 8 * 1024 * 1024 / 16; ++i) {
            out << "<P>0123456</P>\n";
        }
    }
    service.SendFile(huge);
    ExpectStillServing(session, 5);
    EXPECT_EQ(session.CountInLog(kPayloadError), 2u);
    // The empty frame was an empty document: nothing to log for it.
    EXPECT_EQ(session.CountInLog("Er(02)"), 6u) << session.Log();

    // External and nested internal entities; a parser that expanded them
    // would pass the file's text, or a blown-up string, to the probe.
    TempDir::WriteAt(session.Host("secret.txt"), "file-content-that-must-stay-put");
    service.Send(
        "<?xml version=\"1.0\"?><!DOCTYPE Request [<!ENTITY x SYSTEM \"file://" +
        DesktopSession::Inside("secret.txt") +
        "\"><!ENTITY a \"lol\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;\">"
        "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;\">]><Request name=\"StartProcess\"><StartProcess>"
        "<ProcessName>ent</ProcessName><ProcessPath>" +
        DesktopSession::Probe() + "</ProcessPath><ProcessParams><p>" + DesktopSession::Inside("ent") +
        "</p><p>&x;</p><p>&c;</p></ProcessParams><ConnectionId>1</ConnectionId></StartProcess></Request>");
    // 16 MiB of parameter text in one well-formed request.
    std::string big = TempDir::WriteAt(
        session.Host("big.xml"),
        "<Request "
        "name=\"StartProcess\"><StartProcess><ProcessName>big</ProcessName><ProcessPath>/nonexistent/big"
        "</ProcessPath><ProcessParams><p>" +
            std::string(16 << 20, 'A') +
            "</p></ProcessParams><ConnectionId>1</ConnectionId></StartProcess></Request>");
    service.SendFile(big);
    ExpectStillServing(session, 6);
    EXPECT_TRUE(session.WaitForLog("/nonexistent/big")) << "the big request was not read";
    std::string log = session.Log();
    if (std::optional<std::string> ent = session.WaitForReport("ent", 1s)) {
        EXPECT_EQ(ent->find("file-content"), std::string::npos) << *ent;
        EXPECT_EQ(ent->find("lollol"), std::string::npos) << *ent;
    } else {
        EXPECT_EQ(Occurrences(log, "Er(02)"), 7u) << "the entity request was neither run nor refused\n"
                                                  << log;
    }
    EXPECT_EQ(log.find("file-content"), std::string::npos);
    EXPECT_EQ(log.find("lollol"), std::string::npos);

    service.Close();
    ChildResult result = session.FinishDaemon();
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.exitStatus, 0);
}

}  // namespace
}  // namespace dctest
