#include "tests/support/IpcService.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace dctest {
namespace {

constexpr auto kListenTimeout = std::chrono::seconds(10);

std::vector<std::string> ServiceArgv(const std::string& binary, const IpcServiceOptions& options) {
    std::vector<std::string> argv = {binary, "--dir", options.dir, "--commands", "--print-limit", "16777216"};
    if (!options.magicFile.empty()) {
        argv.insert(argv.end(), {"--desktop-magic-file", options.magicFile});
    }
    if (options.clientId) {
        argv.insert(argv.end(), {"--client-id", std::to_string(*options.clientId)});
    }
    argv.insert(argv.end(), options.extraArgs.begin(), options.extraArgs.end());
    return argv;
}

std::string ReadWhole(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace

IpcService::IpcService(const std::string& binary, const IpcServiceOptions& options) {
    // A command written after the service ended must fail, not kill the test.
    signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> argvTexts = ServiceArgv(binary, options);
    std::vector<char*> argv;
    for (std::string& text : argvTexts) {
        argv.push_back(text.data());
    }
    argv.push_back(nullptr);
    errPath_ = options.dir + "/ipc-service.err";
    int commands[2];
    int events[2];
    if (pipe2(commands, O_CLOEXEC) != 0 || pipe2(events, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe2 failed");
    }
    pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) {
            _exit(kChildSetupFailed);
        }
        int err = open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        dup2(commands[0], STDIN_FILENO);
        dup2(events[1], STDOUT_FILENO);
        if (err >= 0) {
            dup2(err, STDERR_FILENO);
        }
        execv(argv[0], argv.data());
        _exit(kChildExecFailed);
    }
    close(commands[0]);
    close(events[1]);
    commandFd_ = commands[1];
    events_.emplace(events[0]);
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    std::optional<std::string> listening = WaitForLine("^LISTENING ", kListenTimeout);
    if (!listening) {
        throw std::runtime_error("ipc-service did not listen: " + ReadWhole(errPath_));
    }
    port_ = std::atoi(listening->substr(listening->find(' ') + 1).c_str());
}

IpcService::~IpcService() {
    if (commandFd_ >= 0) {
        close(commandFd_);
    }
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        int status = 0;
        WaitForChildExit(pid_, std::chrono::seconds(10), &status);
    }
    std::error_code ignored;
    std::filesystem::remove(errPath_, ignored);
}

std::optional<std::string> IpcService::WaitForLine(const std::string& pattern,
                                                   std::chrono::milliseconds timeout) {
    const std::regex expression(pattern);
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::optional<std::string> line = events_->ReadLine(deadline)) {
        transcript_.push_back(*line);
        if (std::regex_search(*line, expression)) {
            return line;
        }
    }
    return std::nullopt;
}

void IpcService::Send(const std::string& text) {
    if (text.find('\n') != std::string::npos) {
        throw std::invalid_argument("a send command holds one line; use SendFile");
    }
    Command("send " + text);
}

void IpcService::SendFile(const std::string& path) {
    Command("sendfile " + path);
}

void IpcService::Close() {
    Command("close");
}

void IpcService::Command(const std::string& line) {
    std::string text = line + "\n";
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t count = write(commandFd_, text.data() + done, text.size() - done);
        if (count <= 0) {
            throw std::runtime_error("ipc-service does not take commands any more");
        }
        done += static_cast<std::size_t>(count);
    }
}

ChildResult IpcService::Finish(std::chrono::milliseconds timeout) {
    ChildResult result;
    int status = 0;
    if (!WaitForChildExit(pid_, timeout, &status)) {
        result.timedOut = true;
        return result;
    }
    pid_ = -1;
    if (WIFEXITED(status)) {
        result.exited = true;
        result.exitStatus = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.termSignal = WTERMSIG(status);
    }
    result.err = ReadWhole(errPath_);
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

}  // namespace dctest
