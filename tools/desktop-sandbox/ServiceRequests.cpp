#include "tools/desktop-sandbox/ServiceRequests.h"

#include <openssl/evp.h>

#include <cstdio>

namespace sandbox {
namespace {

std::string XmlEscape(const std::string& text) {
    std::string escaped;
    for (char c : text) {
        escaped += c == '&'   ? "&amp;"
                   : c == '<' ? "&lt;"
                   : c == '>' ? "&gt;"
                   : c == '"' ? "&quot;"
                              : std::string(1, c);
    }
    return escaped;
}

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

std::string DesktopLockedXml(bool locked) {
    return kXmlDeclaration + "<Notify name=\"DesktopLocked\"><DesktopLocked><Locked>" +
           (locked ? "true" : "false") + "</Locked></DesktopLocked></Notify>";
}

std::string IpcToken(const std::string& desktopIdText, const std::string& magic) {
    const std::string text = desktopIdText + magic;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr);
    std::string hex;
    char pair[3];
    for (int i = 0; i < 20; ++i) {
        snprintf(pair, sizeof pair, "%02x", digest[i]);
        hex += pair;
    }
    return hex;
}

}  // namespace sandbox
