#include "tools/desktop-sandbox/IpcService.h"

#include <algorithm>
#include <regex>
#include <stdexcept>

#include "tools/desktop-sandbox/TempDir.h"

namespace sandbox {

IpcService::IpcService(const std::vector<std::string>& argv, std::string errPath, std::optional<uid_t> uid)
    : errPath_(std::move(errPath)),
      child_({.argv = argv, .uid = uid, .gid = uid, .inputPipe = true, .errFile = errPath_}) {
    if (!WaitForLine("^LISTENING ", std::chrono::seconds(10))) {
        throw std::runtime_error("ipc-service did not listen: " + ReadFile(errPath_));
    }
}

std::optional<std::string> IpcService::NextLine(std::chrono::milliseconds timeout) {
    std::optional<std::string> line = child_.ReadLine(timeout);
    if (line) {
        transcript_.push_back(*line);
    }
    return line;
}

std::optional<std::string> IpcService::WaitForLine(const std::string& pattern,
                                                   std::chrono::milliseconds timeout) {
    const std::regex expression(pattern);
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::optional<std::string> line = NextLine(std::chrono::duration_cast<std::chrono::milliseconds>(
               deadline - std::chrono::steady_clock::now()))) {
        if (std::regex_search(*line, expression)) {
            return line;
        }
    }
    return std::nullopt;
}

std::vector<std::string> IpcService::ReadyLines() {
    std::vector<std::string> lines;
    while (std::optional<std::string> line = NextLine(std::chrono::milliseconds(0))) {
        lines.push_back(std::move(*line));
    }
    return lines;
}

void IpcService::Send(const std::string& text) {
    if (text.find('\n') != std::string::npos) {
        throw std::invalid_argument("a send command holds one line; use SendFile");
    }
    child_.Write("send " + text + "\n");
}

ChildResult IpcService::Finish(std::chrono::milliseconds timeout) {
    // Whatever it still reports must not fill the pipe it would block on.
    auto deadline = std::chrono::steady_clock::now() + timeout;
    WaitForLine("$^", timeout);
    ChildResult result = child_.Finish(std::chrono::duration_cast<std::chrono::milliseconds>(
        std::max(deadline - std::chrono::steady_clock::now(), std::chrono::steady_clock::duration::zero())));
    result.err = ReadFile(errPath_);
    return result;
}

std::string IpcService::PayloadOf(const std::string& recvLine) {
    const std::string marker = " payload=";
    std::size_t start = recvLine.find(marker);
    if (start == std::string::npos) {
        return {};
    }
    std::string payload;
    for (std::size_t i = start + marker.size(); i < recvLine.size(); ++i) {
        if (recvLine[i] == '\\' && i + 3 < recvLine.size() && recvLine[i + 1] == 'x') {
            payload += static_cast<char>(std::stoi(recvLine.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            payload += recvLine[i];
        }
    }
    return payload;
}

}  // namespace sandbox
