// Drives the dispatcher with XML payloads and checks what reaches the
// executor, what is logged and which bytes are handed to the transport.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
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

extern char** environ;

namespace {

struct Call {
    std::string op{};
    std::string name{};
    std::string path{};
    std::vector<std::string> params{};
    std::string stdinStr{};
    int connectionId = 0;
    bool inQueue = true;
    std::shared_ptr<DesktopCTask> task{};
};

// Stands in for the process boundary: records every operation instead of
// starting or stopping anything.
class RecordingExecutor : public DesktopCExecutor {
  public:
    RecordingExecutor() : DesktopCExecutor(nullptr) {}

    void Exec(std::shared_ptr<DesktopCTask> task, bool inQueue) override {
        calls.push_back({.op = "Exec", .inQueue = inQueue, .task = std::move(task)});
    }
    void StartAppProcess(const std::string& name, const std::string& path,
                         const std::vector<std::string>& params, int connectionId) override {
        if (name == "throws") {
            throw std::runtime_error("executor refused");
        }
        calls.push_back({.op = "StartAppProcess",
                         .name = name,
                         .path = path,
                         .params = params,
                         .connectionId = connectionId});
    }
    void StartProcess(const std::string& name, const std::string& path,
                      const std::vector<std::string>& params, const std::string& stdinStr,
                      int connectionId) override {
        calls.push_back({.op = "StartProcess",
                         .name = name,
                         .path = path,
                         .params = params,
                         .stdinStr = stdinStr,
                         .connectionId = connectionId});
    }
    void StopProcess(const std::string& name) override {
        calls.push_back({.op = "StopProcess1", .name = name});
    }
    void StopProcess(const std::string& name, int connectionId) override {
        calls.push_back({.op = "StopProcess", .name = name, .connectionId = connectionId});
    }
    void StopAllProcess() override { calls.push_back({.op = "StopAllProcess"}); }

    std::vector<Call> calls;
};

struct SentMessage {
    std::string bytes;
    void* context;
    int32_t timeoutMs;
};
std::vector<SentMessage> gSent;

// Stands in for the IPC client: keeps the bytes and, like the client after
// a write, hands the callback a heap frame it must free.
bool RecordSend(const void* msg, uint32_t length, void* context, IpcOnSentFn onSent, int32_t timeoutMs) {
    gSent.push_back({std::string(static_cast<const char*>(msg), length), context, timeoutMs});
    if (onSent != nullptr) {
        char* frame = static_cast<char*>(std::calloc(length + 9, 1));
        onSent(frame, length + 8, context);
    }
    return true;
}

// Replaces the whole environment for one test and puts it back afterwards.
class ScopedEnvironment {
  public:
    explicit ScopedEnvironment(const std::map<std::string, std::string>& vars) {
        for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
            saved_.emplace_back(*entry);
        }
        clearenv();
        for (const auto& [name, value] : vars) {
            setenv(name.c_str(), value.c_str(), 1);
        }
    }
    ~ScopedEnvironment() {
        clearenv();
        for (const auto& entry : saved_) {
            const auto eq = entry.find('=');
            setenv(entry.substr(0, eq).c_str(), entry.substr(eq + 1).c_str(), 1);
        }
    }

  private:
    std::vector<std::string> saved_;
};

class DispatchTest : public ::testing::Test {
  protected:
    void SetUp() override { gSent.clear(); }

    // The dispatcher's own records, in order.
    std::vector<std::string> DispatcherRecords() const {
        std::vector<std::string> records;
        for (const auto& line : capture.Lines()) {
            if (line.rfind("IpcMsgDispatcher->", 0) == 0) {
                records.push_back(line);
            }
        }
        return records;
    }

    const Call& OnlyCall() const {
        EXPECT_EQ(executor->calls.size(), 1u);
        return executor->calls.back();
    }

    dclog::LogCapture capture{dclog::kDebug};
    std::shared_ptr<RecordingExecutor> executor = std::make_shared<RecordingExecutor>();
    IpcMsgDispatcher dispatcher{executor, RecordSend};
};

std::string StartRequest(const std::string& attributes, const std::string& body) {
    return "<Request name=\"StartProcess\"><StartProcess" + attributes + ">" + body +
           "</StartProcess></Request>";
}

TEST_F(DispatchTest, TaskRequestsRunDirectlyAndUnknownNamesAreIgnored) {
    dispatcher.ParseMsgPayload("<Request name=\"LockScreen\"/>");
    dispatcher.ParseMsgPayload("<Request name=\"UnlockScreen\"><Extra>ignored</Extra></Request>");
    dispatcher.ParseMsgPayload("<?xml version=\"1.0\"?>\n<Request name=\"LogoutDesktop\"></Request>");
    ASSERT_EQ(executor->calls.size(), 3u);
    EXPECT_NE(dynamic_cast<LockScreenTask*>(executor->calls[0].task.get()), nullptr);
    EXPECT_NE(dynamic_cast<UnlockScreenTask*>(executor->calls[1].task.get()), nullptr);
    EXPECT_NE(dynamic_cast<LogoutDesktopTask*>(executor->calls[2].task.get()), nullptr);
    for (const auto& call : executor->calls) {
        EXPECT_EQ(call.op, "Exec");
        EXPECT_FALSE(call.inQueue);
    }

    executor->calls.clear();
    dispatcher.ParseMsgPayload("<Request name=\"lockscreen\"/>");
    dispatcher.ParseMsgPayload("<Request name=\"STARTPROCESS\"><StartProcess/></Request>");
    dispatcher.ParseMsgPayload("<Request name=\"Reboot\"/>");
    dispatcher.ParseMsgPayload("<Response name=\"LockScreen\"><Result>0</Result></Response>");
    dispatcher.ParseMsgPayload("<Hello name=\"LockScreen\"/>");
    EXPECT_TRUE(executor->calls.empty());
    EXPECT_TRUE(DispatcherRecords().empty());
}

TEST_F(DispatchTest, StartProcessHandsOnEveryFieldAsWritten) {
    dispatcher.ParseMsgPayload(StartRequest("", R"(
        <ProcessName> rde </ProcessName>
        <ProcessPath>/usr/bin/rde</ProcessPath>
        <StdinStr>  token&amp;more  </StdinStr>
        <ProcessParams><z>--first</z><a> second </a><Param>third</Param></ProcessParams>
        <ConnectionId>42</ConnectionId>)"));
    const Call& call = OnlyCall();
    EXPECT_EQ(call.op, "StartProcess");
    EXPECT_EQ(call.name, " rde ");
    EXPECT_EQ(call.path, "/usr/bin/rde");
    EXPECT_EQ(call.stdinStr, "  token&more  ");
    EXPECT_EQ(call.params, (std::vector<std::string>{"--first", " second ", "third"}));
    EXPECT_EQ(call.connectionId, 42);
    EXPECT_EQ(DispatcherRecords(),
              std::vector<std::string>{"IpcMsgDispatcher->ProcessStartProcessRequest Received start process "
                                       "request:  rde \n"});

    // Optional fields take their defaults; a bad ConnectionId is no error.
    executor->calls.clear();
    dispatcher.ParseMsgPayload(StartRequest("", "<ProcessName>a</ProcessName><ProcessPath>/p</ProcessPath>"));
    dispatcher.ParseMsgPayload(StartRequest("",
                                            "<ProcessName>b</ProcessName><ProcessPath>/p</ProcessPath>"
                                            "<ProcessParams/><ConnectionId>abc</ConnectionId>"));
    dispatcher.ParseMsgPayload(StartRequest("",
                                            "<ProcessName>c</ProcessName><ProcessPath>/p</ProcessPath>"
                                            "<ConnectionId>-7</ConnectionId>"));
    ASSERT_EQ(executor->calls.size(), 3u);
    for (const auto& call : executor->calls) {
        EXPECT_EQ(call.op, "StartProcess");
        EXPECT_TRUE(call.params.empty());
        EXPECT_EQ(call.stdinStr, "");
    }
    EXPECT_EQ(executor->calls[0].connectionId, -1);
    EXPECT_EQ(executor->calls[1].connectionId, -1);
    EXPECT_EQ(executor->calls[2].connectionId, -7);
}

TEST_F(DispatchTest, IsAppAcceptsOnlyPlainBoolTexts) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"1", true},     {"true", true},   {"  true ", true}, {"\t1\n", true},
        {"0", false},    {"false", false}, {" false", false}, {"yes", false},
        {"TRUE", false}, {"2", false},     {"", false},       {"true x", false},
    };
    const std::string body =
        "<ProcessName>n</ProcessName><ProcessPath>/p</ProcessPath><StdinStr>secret</StdinStr>"
        "<ProcessParams><p>x</p></ProcessParams><ConnectionId>3</ConnectionId>";
    for (const auto& [text, isApp] : cases) {
        executor->calls.clear();
        dispatcher.ParseMsgPayload(StartRequest(" isApp=\"" + text + "\"", body));
        ASSERT_EQ(executor->calls.size(), 1u) << text;
        const Call& call = executor->calls[0];
        EXPECT_EQ(call.op, isApp ? "StartAppProcess" : "StartProcess") << "isApp=\"" << text << "\"";
        EXPECT_EQ(call.stdinStr, isApp ? "" : "secret");
        EXPECT_EQ(call.params, std::vector<std::string>{"x"});
        EXPECT_EQ(call.connectionId, 3);
    }
}

TEST_F(DispatchTest, BrokenRequestsAreLoggedAndDropped) {
    dispatcher.ParseMsgPayload(StartRequest("", "<ProcessName>n</ProcessName>"));
    dispatcher.ParseMsgPayload("<Request name=\"StartProcess\"/>");
    dispatcher.ParseMsgPayload("<Request><StartProcess/></Request>");
    dispatcher.ParseMsgPayload(
        "<Request name=\"StopProcess\"><StopProcess><ProcessName>s</ProcessName>"
        "</StopProcess></Request>");
    dispatcher.ParseMsgPayload(
        "<Request name=\"StopProcess\"><StopProcess><ProcessName>t</ProcessName>"
        "<ConnectionId>x1</ConnectionId></StopProcess></Request>");
    dispatcher.ParseMsgPayload("<Request name=\"LockScreen\">");
    dispatcher.ParseMsgPayload("not xml at all");
    dispatcher.ParseMsgPayload(
        StartRequest(" isApp=\"true\"", "<ProcessName>throws</ProcessName><ProcessPath>/p</ProcessPath>"));
    EXPECT_TRUE(executor->calls.empty());
    EXPECT_EQ(
        DispatcherRecords(),
        (std::vector<std::string>{
            "IpcMsgDispatcher->ProcessStartProcessRequest Parse startProcess request error, cause: No such "
            "node (ProcessPath)\n",
            "IpcMsgDispatcher->ProcessStartProcessRequest Parse startProcess request error, cause: No such "
            "node (StartProcess)\n",
            "IpcMsgDispatcher->ProcessRequest Parse request payload error, cause: No such node "
            "(Request.<xmlattr>.name)\n",
            "IpcMsgDispatcher->ProcessRequest Received stop process request: s\n",
            "IpcMsgDispatcher->ProcessRequest Parse request payload error, cause: No such node "
            "(StopProcess.ConnectionId)\n",
            "IpcMsgDispatcher->ProcessRequest Received stop process request: t\n",
            "IpcMsgDispatcher->ProcessRequest Parse request payload error, cause: conversion of data to "
            "type \"i\" failed\n",
            "IpcMsgDispatcher->ParseMsgPayload Parse payload error, cause: unexpected end of data\n",
            "IpcMsgDispatcher->ParseMsgPayload Parse payload error, cause: expected <\n",
            "IpcMsgDispatcher->ProcessStartProcessRequest Received start process request: throws\n",
            "IpcMsgDispatcher->ProcessStartProcessRequest Parse error, cause: executor refused\n",
        }));
    for (const auto& line : DispatcherRecords()) {
        EXPECT_EQ(capture.LevelOf(line),
                  line.find("Received") == std::string::npos ? dclog::kError : dclog::kInfo)
            << line;
    }
}

TEST_F(DispatchTest, StopProcessPassesNameAndConnection) {
    dispatcher.ParseMsgPayload(
        "<Request name=\"StopProcess\"><StopProcess><ProcessName>rde</ProcessName>"
        "<ConnectionId>9</ConnectionId></StopProcess></Request>");
    const Call& call = OnlyCall();
    EXPECT_EQ(call.op, "StopProcess");
    EXPECT_EQ(call.name, "rde");
    EXPECT_EQ(call.connectionId, 9);
    EXPECT_TRUE(capture.Contains("IpcMsgDispatcher->ProcessRequest Received stop process request: rde\n"));
}

TEST_F(DispatchTest, PayloadEndsAtLengthOrAtTheFirstZeroByte) {
    // These go through the process-wide dispatcher, so they use requests
    // that stop at a parse error before reaching any executor.
    const std::string stop =
        "<Request name=\"StopProcess\"><StopProcess><ProcessName>cut</ProcessName>"
        "</StopProcess></Request>";
    std::string buffer = stop + "<junk beyond the length";
    buffer.push_back('\0');
    IpcMsgDispatcher::OnIpcMessage(buffer.data(), static_cast<uint32_t>(stop.size()), nullptr);

    std::string zeroInside = stop;
    zeroInside.push_back('\0');
    zeroInside += "<trailing junk";
    zeroInside.push_back('\0');
    IpcMsgDispatcher::OnIpcMessage(zeroInside.data(), static_cast<uint32_t>(zeroInside.size() - 1), nullptr);

    IpcMsgDispatcher::OnConnected(nullptr);
    const std::string received = "IpcMsgDispatcher->ProcessRequest Received stop process request: cut\n";
    const std::string noId =
        "IpcMsgDispatcher->ProcessRequest Parse request payload error, cause: No such node "
        "(StopProcess.ConnectionId)\n";
    EXPECT_EQ(DispatcherRecords(),
              (std::vector<std::string>{received, noId, received, noId,
                                        "IpcMsgDispatcher->OnConnected ipc server connected\n"}));
}

constexpr const char* kDeclaration = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";

TEST_F(DispatchTest, DesktopLockedIsSentAsCompactXml) {
    dispatcher.NotifyDesktopLocked(true);
    dispatcher.NotifyDesktopLocked(false);
    ASSERT_EQ(gSent.size(), 2u);
    const std::string locked = std::string(kDeclaration) +
                               "<Notify name=\"DesktopLocked\"><DesktopLocked><Locked>true</Locked>"
                               "</DesktopLocked></Notify>";
    EXPECT_EQ(gSent[0].bytes, locked);
    EXPECT_EQ(gSent[1].bytes, std::string(kDeclaration) +
                                  "<Notify name=\"DesktopLocked\"><DesktopLocked><Locked>false</Locked>"
                                  "</DesktopLocked></Notify>");
    EXPECT_EQ(gSent[0].context, nullptr);
    EXPECT_EQ(gSent[0].timeoutMs, 0);
    EXPECT_EQ(DispatcherRecords(),
              (std::vector<std::string>{
                  "IpcMsgDispatcher->NotifyDesktopLocked Notify desktop is locked\n",
                  "IpcMsgDispatcher->SendXmlMsg send ipc message: " + locked + "\n",
                  "IpcMsgDispatcher->NotifyDesktopLocked Notify desktop is unlocked\n",
                  "IpcMsgDispatcher->SendXmlMsg send ipc message: " + gSent[1].bytes + "\n",
              }));
    EXPECT_EQ(capture.LevelOf("send ipc message"), dclog::kDebug);
}

TEST_F(DispatchTest, DesktopLoggedCarriesIdentityAndEscapedEnvironment) {
    const std::string domain = CommonUtils::GetHostDomain();
    const std::string user = "a&b<c>d\"e'f";
    const std::string userEscaped = "a&amp;b&lt;c&gt;d&quot;e&apos;f";
    const std::string head =
        std::string(kDeclaration) +
        "<Notify name=\"DesktopLogged\"><DesktopLogged><DesktopId>17</DesktopId><UserName>" + userEscaped +
        "</UserName><UserDomain>" + domain + "</UserDomain><DesktopType>kde</DesktopType>";
    {
        // DESKTOP_SESSION and BRV_DESKTOP_ID are not reported; USER is.
        ScopedEnvironment env({{"BRV_DESKTOP_ID", "17"}, {"USER", user}, {"DESKTOP_SESSION", "plasma"}});
        dispatcher.NotifyDesktopLogged();
    }
    ASSERT_EQ(gSent.size(), 1u);
    EXPECT_EQ(gSent[0].bytes,
              head + "<DesktopEnvs><USER>" + userEscaped + "</USER></DesktopEnvs></DesktopLogged></Notify>");
    EXPECT_TRUE(capture.Contains("IpcMsgDispatcher->NotifyDesktopLogged Notify desktop 17 is logged\n"));

    {
        ScopedEnvironment env({{"BRV_DESKTOP_ID", "17"},
                               {"USER", user},
                               {"DESKTOP_SESSION", "plasma"},
                               {"XDG_RUNTIME_DIR", "/run/user/1000"}});
        dispatcher.NotifyDesktopLogged();
    }
    ASSERT_EQ(gSent.size(), 2u);
    const std::string withRuntime = head + "<UserRunTimeDir>/run/user/1000</UserRunTimeDir><DesktopEnvs>";
    const std::string userEnv = "<USER>" + userEscaped + "</USER>";
    const std::string runtimeEnv = "<XDG_RUNTIME_DIR>/run/user/1000</XDG_RUNTIME_DIR>";
    const std::string tail = "</DesktopEnvs></DesktopLogged></Notify>";
    // The environment map has no defined order.
    EXPECT_TRUE(gSent[1].bytes == withRuntime + userEnv + runtimeEnv + tail ||
                gSent[1].bytes == withRuntime + runtimeEnv + userEnv + tail)
        << gSent[1].bytes;
}

TEST_F(DispatchTest, DesktopLoggedNeedsUser) {
    {
        ScopedEnvironment env({{"BRV_DESKTOP_ID", "17"}, {"DESKTOP_SESSION", "gnome"}});
        dispatcher.NotifyDesktopLogged();
    }
    EXPECT_TRUE(gSent.empty());
    EXPECT_EQ(DispatcherRecords(),
              std::vector<std::string>{"IpcMsgDispatcher->NotifyDesktopLogged put error, "
                                       "cause: environment variable USER is not set\n"});
    EXPECT_EQ(capture.LevelOf("put error"), dclog::kError);
}

}  // namespace
