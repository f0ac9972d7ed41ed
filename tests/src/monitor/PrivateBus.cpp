#include "tests/src/monitor/PrivateBus.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "tests/support/ChildProcess.h"

namespace dctest {

namespace {

std::string Config(const std::string& dir, const std::string& policyRules, const std::string& limits) {
    return "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig>\n"
           "  <type>session</type>\n"
           "  <listen>unix:path=" +
           dir +
           "/bus</listen>\n"
           "  <auth>EXTERNAL</auth>\n"
           "  <policy context=\"default\">\n"
           "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
           "    <allow eavesdrop=\"true\"/>\n"
           "    <allow own=\"*\"/>\n" +
           policyRules + "\n  </policy>\n" + limits + "\n</busconfig>\n";
}

// Reads up to the first line feed, bounded by the deadline.
std::string ReadLine(int fd, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string line;
    while (line.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd pfd{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
            return "";
        }
        char buffer[256];
        const ssize_t count = read(fd, buffer, sizeof buffer);
        if (count <= 0) {
            return "";
        }
        line.append(buffer, static_cast<size_t>(count));
    }
    return line.substr(0, line.find('\n'));
}

}  // namespace

PrivateBus::PrivateBus(const std::string& policyRules, const std::string& limits) {
    char dirTemplate[] = "/tmp/dc-monitor-bus-XXXXXX";
    if (mkdtemp(dirTemplate) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    dir_ = dirTemplate;
    const std::string configPath = dir_ + "/session.conf";
    std::ofstream(configPath) << Config(dir_, policyRules, limits);

    const std::string configArg = "--config-file=" + configPath;
    const char* argv[] = {"dbus-daemon", configArg.c_str(), "--print-address", "--nofork", nullptr};
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe2 failed");
    }
    const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    pid_ = fork();
    if (pid_ == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(devNull, STDERR_FILENO);
        execvp(argv[0], const_cast<char* const*>(argv));
        _exit(kChildExecFailed);
    }
    close(out[1]);
    close(devNull);
    if (pid_ > 0) {
        address_ = ReadLine(out[0], std::chrono::seconds(10));
    }
    close(out[0]);
    if (address_.empty()) {
        Stop();
        throw std::runtime_error("dbus-daemon printed no address");
    }
}

PrivateBus::~PrivateBus() {
    Stop();
}

void PrivateBus::Stop() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status = 0;
        if (!WaitForChildExit(pid_, std::chrono::seconds(5), &status)) {
            kill(pid_, SIGKILL);
            WaitForChildExit(pid_, std::chrono::seconds(5), &status);
        }
        pid_ = -1;
    }
    if (!dir_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
        dir_.clear();
    }
}

}  // namespace dctest
