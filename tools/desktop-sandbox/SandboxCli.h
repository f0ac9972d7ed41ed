// The command line of dc-sandbox and the two sessions it runs.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace sandbox {

struct CliOptions {
    std::string command;                 // "demo", "run" or "exec"
    std::vector<std::string> program{};  // exec: the command to run
    std::string desktop = "mate";
    std::string taskScript{};
    std::string daemonBinary{};
    std::vector<std::string> extraSeatDaemons{};
    std::string logLevel = "debug";
    int seats = 1;
    int seatsPerDisplay = 0;
    bool wayland = false;
    bool setUserId = false;
    bool mateScreenSaver = false;
    bool epochTimes = false;
};

// The options, or nothing after writing the reason to standard error.
std::optional<CliOptions> ParseCommandLine(const std::vector<std::string>& args);
extern const char* const kUsage;

// A timestamped line on standard output.
void Say(const std::string& text, bool epochTimes = false);

int RunDemo(const CliOptions& options);
int RunInteractive(const CliOptions& options);
int RunProgram(const CliOptions& options);

}  // namespace sandbox
