// Drives the dispatcher with XML payloads and checks what reaches the
// executor, what is logged and which bytes are handed to the transport.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "lib/log/Log.h"
#include "lib/log/LogCapture.h"
#include "src/core/CommonUtils.h"
#include "src/dispatch/IpcMsgDispatcher.h"
#include "src/executor/DesktopCExecutor.h"
#include "src/executor/LockScreenTask.h"
#include "src/executor/LogoutDesktopTask.h"
#include "src/executor/UnlockScreenTask.h"

namespace {

std::string Join(const std::vector<std::string>& parts) {
    std::string text;
    for (const auto& part : parts) {
        text += "[" + part + "]";
    }
    return text;
}

// Stands in for the process boundary: records each operation as one line.
class RecordingExecutor : public DesktopCExecutor {
  public:
    RecordingExecutor() : DesktopCExecutor(nullptr) {}
    void Exec(std::shared_ptr<DesktopCTask> task, bool inQueue) override {
        const char* kind = dynamic_cast<LockScreenTask*>(task.get())      ? "Lock"
                           : dynamic_cast<UnlockScreenTask*>(task.get())  ? "Unlock"
                           : dynamic_cast<LogoutDesktopTask*>(task.get()) ? "Logout"
                                                                          : "?";
        calls.push_back(std::string("Exec ") + kind + (inQueue ? " queued" : " direct"));
    }
    void StartAppProcess(const std::string& name, const std::string& path,
                         const std::vector<std::string>& params, int id) override {
        calls.push_back("App " + Join({name, path, Join(params), std::to_string(id)}));
    }
    void StartProcess(const std::string& name, const std::string& path,
                      const std::vector<std::string>& params, const std::string& stdinStr, int id) override {
        calls.push_back("Start " + Join({name, path, Join(params), stdinStr, std::to_string(id)}));
    }
    void StopProcess(const std::string& name, int id) override {
        calls.push_back("Stop " + Join({name, std::to_string(id)}));
    }
    std::vector<std::string> calls;
};

std::vector<std::string> gSent;

// Stands in for the IPC client, which queues with no context and no time
// limit and hands the written frame to the callback to free.
bool RecordSend(const void* msg, uint32_t length, void* context, IpcOnSentFn onSent, int32_t timeoutMs) {
    EXPECT_EQ(context, nullptr);
    EXPECT_EQ(timeoutMs, 0);
    gSent.emplace_back(static_cast<const char*>(msg), length);
    onSent(static_cast<char*>(std::calloc(length + 9, 1)), length + 8, context);
    return true;
}

class DispatchTest : public ::testing::Test {
  protected:
    void SetUp() override { gSent.clear(); }
    std::vector<std::string> Records() const {
        std::vector<std::string> records;
        for (const auto& line : capture.Lines()) {
            if (line.rfind("IpcMsgDispatcher->", 0) == 0) {
                records.push_back(line.substr(18));
            }
        }
        return records;
    }
    void Parse(const std::string& xml) { dispatcher.ParseMsgPayload(xml); }

    dclog::LogCapture capture{dclog::kDebug};
    std::shared_ptr<RecordingExecutor> executor = std::make_shared<RecordingExecutor>();
    IpcMsgDispatcher dispatcher{executor, RecordSend};
};

std::string Start(const std::string& attributes, const std::string& body) {
    return "<Request name=\"StartProcess\"><StartProcess" + attributes + ">" + body +
           "</StartProcess></Request>";
}
const std::string kNamePath = "<ProcessName>n</ProcessName><ProcessPath>/p</ProcessPath>";

TEST_F(DispatchTest, RequestsReachTheExecutorWithTheirFields) {
    Parse("<Request name=\"LockScreen\"/>");
    Parse("<Request name=\"UnlockScreen\"><Extra>ignored</Extra></Request>");
    Parse("<?xml version=\"1.0\"?>\n<Request name=\"LogoutDesktop\"></Request>");
    Parse(Start("",
                "<ProcessName> rde </ProcessName><ProcessPath>/usr/bin/rde</ProcessPath>"
                "<StdinStr>  tok&amp;en  </StdinStr><ConnectionId>42</ConnectionId>"
                "<ProcessParams><!-- a note --><z>--first</z><a> second </a><Param>third</Param>"
                "</ProcessParams>"));
    Parse(Start("", kNamePath));
    Parse(Start("", kNamePath + "<ProcessParams/><ConnectionId>abc</ConnectionId>"));
    Parse(Start("", kNamePath + "<ConnectionId>-7</ConnectionId>"));
    // isApp is a bool text: blanks around it are fine, other spellings are not.
    Parse(Start(" isApp=\"\t1\n\"", kNamePath + "<StdinStr>s</StdinStr><ConnectionId>3</ConnectionId>"));
    Parse(Start(" isApp=\"TRUE\"", kNamePath + "<StdinStr>s</StdinStr><ConnectionId>3</ConnectionId>"));
    Parse(
        "<Request name=\"StopProcess\"><StopProcess><ProcessName>rde</ProcessName>"
        "<ConnectionId>9</ConnectionId></StopProcess></Request>");
    EXPECT_EQ(executor->calls, (std::vector<std::string>{
                                   "Exec Lock direct", "Exec Unlock direct", "Exec Logout direct",
                                   "Start [ rde ][/usr/bin/rde][[--first][ second ][third]][  tok&en  ][42]",
                                   "Start [n][/p][][][-1]", "Start [n][/p][][][-1]", "Start [n][/p][][][-7]",
                                   "App [n][/p][][3]", "Start [n][/p][][s][3]", "Stop [rde][9]"}));
    EXPECT_EQ(Records()[0], "ProcessStartProcessRequest Received start process request:  rde \n");
    EXPECT_EQ(Records().back(), "ProcessRequest Received stop process request: rde\n");
}

TEST_F(DispatchTest, PayloadEndsAtLengthOrAtTheFirstZeroByte) {
    // Through the process-wide dispatcher, so only requests that fail
    // before reaching its executor.
    const std::string stop =
        "<Request name=\"StopProcess\"><StopProcess><ProcessName>cut</ProcessName>"
        "</StopProcess></Request>";
    std::string beyondLength = stop + "<junk" + '\0';
    IpcMsgDispatcher::OnIpcMessage(beyondLength.data(), static_cast<uint32_t>(stop.size()), nullptr);
    std::string zeroInside = stop + '\0' + "<junk" + '\0';
    IpcMsgDispatcher::OnIpcMessage(zeroInside.data(), static_cast<uint32_t>(zeroInside.size() - 1), nullptr);
    const std::string received = "ProcessRequest Received stop process request: cut\n";
    const std::string noId =
        "ProcessRequest Parse request payload error, cause: No such node (StopProcess.ConnectionId)\n";
    EXPECT_EQ(Records(), (std::vector<std::string>{received, noId, received, noId}));
}

const std::string kDeclaration = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";

TEST_F(DispatchTest, DesktopLoggedCarriesIdentityAndEscapedEnvironment) {
    // Of these only USER is reported environment.
    clearenv();
    setenv("BRV_DESKTOP_ID", "17", 1);
    setenv("DESKTOP_SESSION", "plasma", 1);
    dispatcher.NotifyDesktopLogged();
    EXPECT_TRUE(gSent.empty());
    EXPECT_EQ(Records(), std::vector<std::string>{
                             "NotifyDesktopLogged put error, cause: environment variable USER is not set\n"});

    setenv("USER", "a&b<c>d\"e'f", 1);
    dispatcher.NotifyDesktopLogged();
    const std::string user = "a&amp;b&lt;c&gt;d&quot;e&apos;f";
    ASSERT_EQ(gSent.size(), 1u);
    EXPECT_EQ(gSent[0],
              kDeclaration +
                  "<Notify name=\"DesktopLogged\"><DesktopLogged><DesktopId>17</DesktopId><UserName>" + user +
                  "</UserName><UserDomain>" + CommonUtils::GetHostDomain() +
                  "</UserDomain><DesktopType>kde</DesktopType><DesktopEnvs><USER>" + user +
                  "</USER></DesktopEnvs></DesktopLogged></Notify>");
}

}  // namespace
