// Requests from the service are data, not instructions to the XML parser:
// a document type with entities reads no file and expands nothing, and an
// oversized message is handled without harm, after which the daemon still
// serves the next request.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/security/DaemonSession.h"

namespace fs = std::filesystem;
using namespace sectest;

namespace {

TEST(MessagePath, EntitiesAreNotExpandedAndHugeMessagesAreSurvived) {
    DaemonSession session;
    const std::string secretFile = DaemonSession::Inside("secret.txt");
    std::ofstream(session.Host("secret.txt")) << "file-content-that-must-stay-put";

    // External and nested internal entities; a parser that expanded them
    // would pass the file's text, or a blown-up string, to the probe.
    const std::string laughs =
        "<!ENTITY a \"lol\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;\">"
        "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;\">";
    session.Send(
        "<?xml version=\"1.0\"?><!DOCTYPE Request [<!ENTITY x SYSTEM \"file://" + secretFile + "\">" +
        laughs +
        "]><Request name=\"StartProcess\"><StartProcess isApp=\"false\"><ProcessName>ent</ProcessName>"
        "<ProcessPath>" +
        DaemonSession::Probe() + "</ProcessPath><ProcessParams><p>" + DaemonSession::Inside("ent") +
        "</p><p>&x;</p><p>&c;</p></ProcessParams></StartProcess></Request>");

    // 16 MiB of parameter text in one frame.
    const std::string hugeFile = session.Host("huge.xml");
    {
        std::ofstream huge(hugeFile);
        huge << "<Request name=\"StartProcess\"><StartProcess isApp=\"false\"><ProcessName>huge</ProcessName>"
             << "<ProcessPath>/nonexistent/huge</ProcessPath><ProcessParams><p>" << std::string(16 << 20, 'A')
             << "</p></ProcessParams></StartProcess></Request>";
    }
    session.Service().Command("sendfile " + hugeFile);
    session.Send(StartRequest("after", DaemonSession::Probe(), {DaemonSession::Inside("after")}));

    std::optional<std::string> after = session.WaitForReport("after", 30s);
    ASSERT_TRUE(after) << "the daemon stopped serving requests";
    const std::string log = session.Log();
    std::optional<std::string> ent = session.WaitForReport("ent", 1s);
    if (ent) {
        for (const std::string& arg : ReportLines(*ent, "arg ")) {
            EXPECT_EQ(arg.find("file-content"), std::string::npos);
            EXPECT_EQ(arg.find("lollol"), std::string::npos);
        }
    } else {
        EXPECT_NE(log.find("IpcMsgDispatcher->"), std::string::npos) << log;
    }
    EXPECT_EQ(log.find("file-content"), std::string::npos);
    EXPECT_NE(log.find("/nonexistent/huge"), std::string::npos) << "the huge request was not read";
    EXPECT_EQ(session.Close().exitStatus, 0);
}

}  // namespace
