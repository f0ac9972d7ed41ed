#include "tests/e2e/E2eSupport.h"

#include <signal.h>

#include <cerrno>
#include <fstream>
#include <sstream>

namespace e2e {

std::string XmlEscape(const std::string& text) {
    std::string escaped;
    for (char c : text) {
        switch (c) {
            case '&':
                escaped += "&amp;";
                break;
            case '<':
                escaped += "&lt;";
                break;
            case '>':
                escaped += "&gt;";
                break;
            case '"':
                escaped += "&quot;";
                break;
            default:
                escaped += c;
        }
    }
    return escaped;
}

namespace {

std::string Element(const std::string& name, const std::string& text) {
    return "<" + name + ">" + XmlEscape(text) + "</" + name + ">";
}

}  // namespace

std::string StartProcessXml(const StartRequest& request) {
    std::string xml = "<Request name=\"StartProcess\"><StartProcess";
    if (request.isApp) {
        xml += " isApp=\"" + XmlEscape(*request.isApp) + "\"";
    }
    xml += ">" + Element("ProcessName", request.name);
    if (!request.path.empty()) {
        xml += Element("ProcessPath", request.path);
    }
    if (request.stdinText) {
        xml += Element("StdinStr", *request.stdinText);
    }
    xml += "<ProcessParams>";
    for (const std::string& param : request.params) {
        xml += Element("Param", param);
    }
    xml += "</ProcessParams>";
    if (request.connectionId) {
        xml += Element("ConnectionId", *request.connectionId);
    }
    return xml + "</StartProcess></Request>";
}

std::string StopProcessXml(const std::string& name, const std::string& connectionId) {
    return "<Request name=\"StopProcess\"><StopProcess>" + Element("ProcessName", name) +
           Element("ConnectionId", connectionId) + "</StopProcess></Request>";
}

std::string TaskXml(const std::string& requestName) {
    return "<Request name=\"" + requestName + "\"/>";
}

std::string WaitForNotification(dctest::IpcService& service, const std::string& notification) {
    std::optional<std::string> line =
        service.WaitForLine("RECV type=4 .*<Notify name=\"" + notification + "\">", kWait);
    return line ? dctest::IpcService::PayloadOf(*line) : std::string();
}

std::string DesktopLockedXml(bool locked) {
    return kXmlDeclaration + "<Notify name=\"DesktopLocked\"><DesktopLocked><Locked>" +
           (locked ? "true" : "false") + "</Locked></DesktopLocked></Notify>";
}

bool StartAndConnect(dctest::DesktopSession& session, const std::vector<std::string>& extraEnv) {
    session.StartDaemon(session.DaemonEnvironment(extraEnv));
    return !WaitForNotification(session.Service(), "DesktopLogged").empty();
}

bool ProcessAlive(pid_t pid) {
    if (kill(pid, 0) != 0) {
        return errno != ESRCH;
    }
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::size_t close = text.rfind(')');
    return close == std::string::npos || close + 2 >= text.size() || text[close + 2] != 'Z';
}

}  // namespace e2e
