#include "src/dispatch/IpcMsgDispatcher.h"

#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

#include "lib/log/Log.h"
#include "src/core/CommonUtils.h"
#include "src/core/SessionDetection.h"
#include "src/dispatch/InboundXml.h"
#include "src/dispatch/MessageNames.h"
#include "src/dispatch/RequestReader.h"
#include "src/executor/DesktopCExecutor.h"
#include "src/executor/LockScreenTask.h"
#include "src/executor/LogoutDesktopTask.h"
#include "src/executor/UnlockScreenTask.h"

namespace pt = boost::property_tree;
using namespace msgnames;

namespace {

// The IPC client hands every queued frame back to us once written; it is
// ours to free.
void ReleaseFrame(char* frame, uint32_t /*frameLength*/, void* /*context*/) {
    std::free(frame);
}

std::string RequiredEnv(std::string_view name) {
    const char* value = std::getenv(std::string(name).c_str());
    if (value == nullptr) {
        throw std::runtime_error("environment variable " + std::string(name) + " is not set");
    }
    return value;
}

const char* LockWord(bool locked) {
    return locked ? "locked" : "unlocked";
}

}  // namespace

std::shared_ptr<IpcMsgDispatcher> IpcMsgDispatcher::GetInstance() {
    static const std::shared_ptr<IpcMsgDispatcher> instance = std::make_shared<IpcMsgDispatcher>();
    return instance;
}

void IpcMsgDispatcher::OnConnected(void* /*userData*/) {
    LogMessage(dclog::kInfo, "IpcMsgDispatcher->%s ipc server connected\n", "OnConnected");
}

void IpcMsgDispatcher::OnIpcMessage(char* payload, uint32_t length, void* /*userData*/) {
    if (payload == nullptr) {
        LogMessage(dclog::kError, "IpcMsgDispatcher->%s No payload buffer, message dropped\n",
                   "OnIpcMessage");
        return;
    }
    payload[length] = '\0';
    GetInstance()->ParseMsgPayload(payload);
}

IpcMsgDispatcher::IpcMsgDispatcher()
    : IpcMsgDispatcher(std::make_shared<DesktopCExecutor>(), IpcClient_SendData) {}

IpcMsgDispatcher::IpcMsgDispatcher(std::shared_ptr<DesktopCExecutor> executor, SendDataFn sendData)
    : executor_(std::move(executor)), sendData_(sendData) {}

IpcMsgDispatcher::~IpcMsgDispatcher() = default;

void IpcMsgDispatcher::ParseMsgPayload(std::string_view payload) {
    try {
        const InboundXml message(payload);
        // A Response, or any other document, needs nothing from us.
        if (message.Tree().find(std::string(kRequest)) != message.Tree().not_found()) {
            ProcessRequest(message.Tree());
        }
    } catch (const pt::xml_parser_error& e) {
        LogMessage(dclog::kError, "IpcMsgDispatcher->%s Parse payload error, cause: %s\n", "ParseMsgPayload",
                   e.message().c_str());
    } catch (const std::exception& e) {
        LogMessage(dclog::kError, "IpcMsgDispatcher->%s Parse error, cause: %s\n", "ParseMsgPayload",
                   e.what());
    } catch (...) {
        LogMessage(dclog::kError, "IpcMsgDispatcher->%s Parse error, cause: %s\n", "ParseMsgPayload",
                   "unknown exception");
    }
}

const std::unordered_map<std::string_view, IpcMsgDispatcher::RequestHandler>&
IpcMsgDispatcher::RequestHandlers() {
    static const std::unordered_map<std::string_view, RequestHandler> handlers{
        {kStartProcess, &IpcMsgDispatcher::ProcessStartProcessRequest},
        {kStopProcess, &IpcMsgDispatcher::ProcessStopProcessRequest},
        {kLockScreen, &IpcMsgDispatcher::ExecTask<LockScreenTask>},
        {kUnlockScreen, &IpcMsgDispatcher::ExecTask<UnlockScreenTask>},
        {kLogoutDesktop, &IpcMsgDispatcher::ExecTask<LogoutDesktopTask>},
    };
    return handlers;
}

void IpcMsgDispatcher::ProcessRequest(const Tree& tree) {
    try {
        const auto name = tree.get<std::string>(XmlPath({kRequest, kAttributes, kNameAttribute}));
        const auto& handlers = RequestHandlers();
        const auto handler = handlers.find(name);
        // Requests of other names (or in another case) are meant for others.
        if (handler == handlers.end()) {
            return;
        }
        (this->*(handler->second))(tree.get_child(std::string(kRequest)));
    } catch (const pt::ptree_error& e) {
        LogMessage(dclog::kError, "IpcMsgDispatcher->%s Parse request payload error, cause: %s\n",
                   "ProcessRequest", e.what());
    } catch (const std::exception& e) {
        LogMessage(dclog::kError, "IpcMsgDispatcher->%s Parse error, cause: %s\n", "ProcessRequest",
                   e.what());
    } catch (...) {
        LogMessage(dclog::kError, "IpcMsgDispatcher->%s Parse error, cause: %s\n", "ProcessRequest",
                   "unknown exception");
    }
}

void IpcMsgDispatcher::ProcessStartProcessRequest(const Tree& request) {
    try {
        const ProcessStartRequest start = ReadStartRequest(request);
        LogMessage(dclog::kInfo, "IpcMsgDispatcher->%s Received start process request: %s\n",
                   "ProcessStartProcessRequest", start.name.c_str());
        if (start.isApp) {
            executor_->StartAppProcess(start.name, start.path, start.params, start.connectionId);
        } else {
            executor_->StartProcess(start.name, start.path, start.params, start.stdinStr, start.connectionId);
        }
    } catch (const pt::ptree_error& e) {
        LogMessage(dclog::kError, "IpcMsgDispatcher->%s Parse startProcess request error, cause: %s\n",
                   "ProcessStartProcessRequest", e.what());
    } catch (const std::exception& e) {
        LogMessage(dclog::kError, "IpcMsgDispatcher->%s Parse error, cause: %s\n",
                   "ProcessStartProcessRequest", e.what());
    } catch (...) {
        LogMessage(dclog::kError, "IpcMsgDispatcher->%s Parse error, cause: %s\n",
                   "ProcessStartProcessRequest", "unknown exception");
    }
}

// Errors here belong to ProcessRequest, which catches and logs them.
void IpcMsgDispatcher::ProcessStopProcessRequest(const Tree& request) {
    const auto name = ReadRequestText(request, XmlPath({kStopProcess, kProcessName}));
    LogMessage(dclog::kInfo, "IpcMsgDispatcher->%s Received stop process request: %s\n", "ProcessRequest",
               name.c_str());
    const auto connectionId = request.get<int32_t>(XmlPath({kStopProcess, kConnectionId}));
    executor_->StopProcess(name, connectionId);
}

// Screen and session tasks may take long; the executor runs each on a
// thread of its own so the next message is not held up.
template <typename Task>
void IpcMsgDispatcher::ExecTask(const Tree& /*request*/) {
    executor_->Exec(std::make_shared<Task>(), false);
}

void IpcMsgDispatcher::NotifyDesktopLocked(bool locked) {
    Tree tree;
    try {
        tree.put(XmlPath({kNotify, kAttributes, kNameAttribute}), std::string(kDesktopLocked));
        tree.put(XmlPath({kNotify, kDesktopLocked, kLocked}), locked);
    } catch (const pt::ptree_error& e) {
        LogMessage(dclog::kError, "IpcMsgDispatcher->%s put ptree error, cause: %s\n", "NotifyDesktopLocked",
                   e.what());
        return;
    }
    LogMessage(dclog::kInfo, "IpcMsgDispatcher->%s Notify desktop is %s\n", "NotifyDesktopLocked",
               LockWord(locked));
    SendXmlMsg(tree);
}

void IpcMsgDispatcher::NotifyDesktopLogged() {
    std::string desktopId;
    Tree tree;
    try {
        desktopId = GetDesktopId();
        tree = BuildDesktopLogged(desktopId);
    } catch (const pt::ptree_error& e) {
        LogMessage(dclog::kError, "IpcMsgDispatcher->%s put ptree error, cause: %s\n", "NotifyDesktopLogged",
                   e.what());
        return;
    } catch (const std::exception& e) {
        LogMessage(dclog::kError, "IpcMsgDispatcher->%s put error, cause: %s\n", "NotifyDesktopLogged",
                   e.what());
        return;
    }
    LogMessage(dclog::kInfo, "IpcMsgDispatcher->%s Notify desktop %s is logged\n", "NotifyDesktopLogged",
               desktopId.c_str());
    SendXmlMsg(tree);
}

IpcMsgDispatcher::Tree IpcMsgDispatcher::BuildDesktopLogged(const std::string& desktopId) {
    Tree tree;
    tree.put(XmlPath({kNotify, kAttributes, kNameAttribute}), std::string(kDesktopLogged));
    tree.put(XmlPath({kNotify, kDesktopLogged, kDesktopId}), desktopId);
    tree.put(XmlPath({kNotify, kDesktopLogged, kUserName}), RequiredEnv(kUserEnv));
    tree.put(XmlPath({kNotify, kDesktopLogged, kUserDomain}), CommonUtils::GetHostDomain());
    tree.put(XmlPath({kNotify, kDesktopLogged, kDesktopType}), GetDesktopType());
    if (const char* runtimeDir = std::getenv(std::string(kRuntimeDirEnv).c_str())) {
        tree.put(XmlPath({kNotify, kDesktopLogged, kUserRunTimeDir}), std::string(runtimeDir));
    }
    for (const auto& [name, value] : GetEnvironmentMap()) {
        if (IsDesktopEnv(name)) {
            tree.put(XmlPath({kNotify, kDesktopLogged, kDesktopEnvs, name}), value);
        }
    }
    return tree;
}

void IpcMsgDispatcher::SendXmlMsg(const Tree& tree) {
    std::ostringstream out;
    pt::write_xml(
        out, tree,
        pt::xml_writer_make_settings<std::string>(kIndentChar, kIndentCount, std::string(kEncoding)));
    const std::string text = out.str();
    LogMessage(dclog::kDebug, "IpcMsgDispatcher->%s send ipc message: %s\n", "SendXmlMsg", text.c_str());
    sendData_(text.data(), static_cast<uint32_t>(text.size()), nullptr, ReleaseFrame, 0);
}
