// dc-sandbox: DesktopController on a private desktop, for a demo, for
// integrators who try a task script or a distribution without installing
// the agent, and for the bench.
#include <unistd.h>

#include <exception>
#include <filesystem>
#include <iostream>

#include "tools/desktop-sandbox/DesktopSandbox.h"
#include "tools/desktop-sandbox/SandboxCli.h"

namespace {

// The build tree keeps every program in one directory; an install puts
// the daemon in the binary directory and the tools in a private one.
std::string DefaultDaemon() {
    const std::string beside = sandbox::BuiltBinary("DesktopController");
    return std::filesystem::exists(beside) ? beside : DC_INSTALLED_DAEMON;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        std::cout << sandbox::kUsage;
        return 0;
    }
    std::optional<sandbox::CliOptions> options = sandbox::ParseCommandLine(args);
    if (!options) {
        return 2;
    }
    if (geteuid() != 0) {
        std::cerr << "dc-sandbox: run as root (it builds a private mount namespace)\n";
        return 1;
    }
    if (options->daemonBinary.empty()) {
        options->daemonBinary = DefaultDaemon();
    }
    try {
        return options->command == "demo"  ? sandbox::RunDemo(*options)
               : options->command == "run" ? sandbox::RunInteractive(*options)
                                           : sandbox::RunProgram(*options);
    } catch (const std::exception& error) {
        std::cerr << "dc-sandbox: " << error.what() << "\n";
        return 1;
    }
}
