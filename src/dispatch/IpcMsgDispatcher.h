// The bridge between the IPC client and the controller's work. Inbound XML
// requests are parsed here and handed to the executor; lock-state changes
// and the logged-on event leave here as XML notifications.
//
// One dispatcher per process, reached through GetInstance; it owns the
// executor. The controller never answers a request: bad messages are only
// logged, and no exception leaves this class except from the notify
// operations (anything that is not a property-tree error while sending).
//
// Threads: OnIpcMessage and the request handling run on the IPC client's
// inbound poller, one message at a time; OnConnected on the on-connected
// thread; NotifyDesktopLocked on the lock monitor's thread;
// NotifyDesktopLogged on the main thread. There is no lock here: every
// operation works on a tree of its own, the executor is thread-safe and
// sending only queues.
#pragma once

#include <boost/property_tree/ptree_fwd.hpp>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "src/ipc/IpcClient.h"

class DesktopCExecutor;

class IpcMsgDispatcher {
  public:
    // Queues one finished XML text; the production transport is
    // IpcClient_SendData.
    using SendDataFn = bool (*)(const void* msg, uint32_t length, void* context, IpcOnSentFn onSent,
                                int32_t timeoutMs);

    // Built on first use, thread-safe; lives until the process ends.
    static std::shared_ptr<IpcMsgDispatcher> GetInstance();

    // IpcOnConnectedFn: only logs.
    static void OnConnected(void* userData);
    // IpcOnMessageFn: the buffer holds length + 1 bytes; the text ends at
    // the first zero byte, so a zero inside the payload cuts it short.
    static void OnIpcMessage(char* payload, uint32_t length, void* userData);

    // The process-wide instance: a default executor and the IPC client.
    IpcMsgDispatcher();
    // Any other executor and transport, e.g. recording ones.
    IpcMsgDispatcher(std::shared_ptr<DesktopCExecutor> executor, SendDataFn sendData);
    ~IpcMsgDispatcher();

    IpcMsgDispatcher(const IpcMsgDispatcher&) = delete;
    IpcMsgDispatcher& operator=(const IpcMsgDispatcher&) = delete;

    // Handles one inbound message; every error is logged and drops it.
    // No copy of its texts is left once it returns.
    void ParseMsgPayload(std::string_view payload);

    // Sends DesktopLocked with "true" or "false".
    void NotifyDesktopLocked(bool locked);
    // Sends DesktopLogged with the desktop's identity and session
    // environment; nothing is sent when USER is unset.
    void NotifyDesktopLogged();

  private:
    using Tree = boost::property_tree::ptree;
    // Every handler receives the Request element.
    using RequestHandler = void (IpcMsgDispatcher::*)(const Tree& request);

    static const std::unordered_map<std::string_view, RequestHandler>& RequestHandlers();

    void ProcessRequest(const Tree& tree);
    void ProcessStartProcessRequest(const Tree& request);
    void ProcessStopProcessRequest(const Tree& request);
    template <typename Task>
    void ExecTask(const Tree& request);

    static Tree BuildDesktopLogged(const std::string& desktopId);
    void SendXmlMsg(const Tree& tree);

    std::shared_ptr<DesktopCExecutor> executor_;
    SendDataFn sendData_;
};
