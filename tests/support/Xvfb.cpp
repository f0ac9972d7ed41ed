#include "tests/support/Xvfb.h"

#include <unistd.h>

#include <chrono>
#include <csignal>
#include <stdexcept>

namespace dctest {
namespace {

constexpr const char* kXvfbPath = "/usr/bin/Xvfb";

}  // namespace

bool XvfbServer::Available() {
    return access(kXvfbPath, X_OK) == 0;
}

XvfbServer::XvfbServer()
    : server_({.argv = {kXvfbPath, "-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "640x480x24"},
               .env = {"PATH=/usr/bin:/bin"},
               .errFile = "/dev/null"}) {
    std::optional<std::string> number = server_.ReadLine(std::chrono::seconds(10));
    if (!number || number->empty()) {
        server_.Stop(SIGTERM);
        throw std::runtime_error("Xvfb did not report a display");
    }
    display_ = ":" + *number;
}

}  // namespace dctest
