#include "tools/desktop-sandbox/SandboxCli.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <mutex>

namespace sandbox {

const char* const kUsage =
    "Usage: dc-sandbox demo [--task-script PATH] [--daemon PATH]\n"
    "       dc-sandbox run [--desktop mate|gnome|kde] [--task-script PATH] [--wayland] [--setuid]\n"
    "                      [--mate-screensaver] [--daemon PATH] [--seats N] [--seats-per-display N]\n"
    "                      [--extra-seat-daemon PATH]\n"
    "                      [--log-level LEVEL] [--epoch-times]\n"
    "       dc-sandbox exec [--desktop NAME] [--wayland] [--mate-screensaver] -- COMMAND [ARG...]\n"
    "       dc-sandbox --help\n"
    "\n"
    "Runs DesktopController on a private desktop, as root: a private mount namespace with\n"
    "stand-ins for /etc/tarvelo, /var/tarvelo, /usr/lib/tarvelo, /usr/share/tarvelo and\n"
    "/var/log/tarvelo (the real ones, if any, stay untouched), a private session bus, Xvfb,\n"
    "a fresh desktop magic and id file, the reference IPC service with a fresh key, and the\n"
    "daemon. Everything it starts is stopped by pid; every wait has a bound.\n"
    "\n"
    "demo   a scripted session: handshake, StartProcess with a one-shot stdin token,\n"
    "       StopProcess, lock and unlock through the task script and the real MATE screen\n"
    "       saver, and the service closing; exit status 0 when every step checked out.\n"
    "run    an interactive session. Commands on standard input:\n"
    "         send TEXT        one data frame to the daemon of the chosen seat\n"
    "         sendfile PATH    a file's content as one data frame\n"
    "         lock | unlock | logout   the LockScreen, UnlockScreen or LogoutScreen request\n"
    "         seat N           the seat the commands above go to from now on (default 0)\n"
    "         close [SEAT]     every service (or that seat's) closes its connection; at\n"
    "                          the end of input, every service does\n"
    "       One timestamped event per line on standard output: the sandbox, each seat's\n"
    "       daemon and log, every line the service reports, and each daemon's exit.\n"
    "exec   runs COMMAND beside a desktop without a daemon, with its DISPLAY (or\n"
    "       WAYLAND_DISPLAY), DBUS_SESSION_BUS_ADDRESS, XDG_CURRENT_DESKTOP and\n"
    "       XDG_RUNTIME_DIR set: to try a task script against the real screen saver\n"
    "       or a program against the real compositor. Its output passes through, and\n"
    "       its exit status is dc-sandbox's (1 when it ran more than ten minutes).\n"
    "\n"
    "Options:\n"
    "  --desktop NAME          desktop type the session announces (default mate)\n"
    "  --task-script PATH      install PATH as the desktop task script (run: default a\n"
    "                          recording one; demo: default the installed script)\n"
    "  --wayland               WAYLAND_DISPLAY instead of Xvfb: with gnome or kde, the real\n"
    "                          GNOME Shell or KWin, headless, which locks the screen itself,\n"
    "                          with logind's stand-in on a private system bus; with mate, a\n"
    "                          name only\n"
    "  --setuid                install the daemon set-user-id to brvcanvas, run it as nobody\n"
    "  --mate-screensaver      start the real mate-screensaver (needs X)\n"
    "  --daemon PATH           the DesktopController binary (default: beside dc-sandbox,\n"
    "                          else the installed one)\n"
    "  --seats N               N desktops on one display and bus, each with its own\n"
    "                          /var/tarvelo, service and daemon (default 1)\n"
    "  --seats-per-display N   with X, start another Xvfb every N seats (default: one for all)\n"
    "  --extra-seat-daemon PATH  one more seat whose daemon is PATH\n"
    "  --log-level LEVEL       the daemons' log level (default debug)\n"
    "  --epoch-times           stamp events with seconds since the epoch; the service\n"
    "                          lines carry the service's own epoch stamps too\n"
    "\n"
    "Exit status: 0 success, 1 failure, 2 bad usage.\n";

namespace {

bool TakeValue(const std::vector<std::string>& args, std::size_t& i, std::string& value) {
    if (i + 1 >= args.size()) {
        std::cerr << "dc-sandbox: " << args[i] << " needs a value\n";
        return false;
    }
    value = args[++i];
    return true;
}

bool ParseOption(const std::vector<std::string>& args, std::size_t& i, CliOptions& options) {
    const std::string& name = args[i];
    std::string value;
    if (name == "--wayland" || name == "--setuid" || name == "--mate-screensaver" ||
        name == "--epoch-times") {
        (name == "--wayland"       ? options.wayland
         : name == "--setuid"      ? options.setUserId
         : name == "--epoch-times" ? options.epochTimes
                                   : options.mateScreenSaver) = true;
        return true;
    }
    if (!TakeValue(args, i, value)) {
        return false;
    }
    if (name == "--desktop" && (value == "mate" || value == "gnome" || value == "kde")) {
        options.desktop = value;
    } else if (name == "--task-script") {
        options.taskScript = value;
    } else if (name == "--daemon") {
        options.daemonBinary = value;
    } else if (name == "--extra-seat-daemon") {
        options.extraSeatDaemons.push_back(value);
    } else if (name == "--log-level") {
        options.logLevel = value;
    } else if ((name == "--seats" || name == "--seats-per-display") &&
               value.find_first_not_of("0123456789") == std::string::npos && !value.empty() &&
               value.size() < 5 && std::stoi(value) >= 1) {
        (name == "--seats" ? options.seats : options.seatsPerDisplay) = std::stoi(value);
    } else {
        std::cerr << "dc-sandbox: bad option " << name << " " << value << "\n";
        return false;
    }
    return true;
}

bool Consistent(const CliOptions& options) {
    const char* problem = options.mateScreenSaver && options.wayland
                              ? "--mate-screensaver needs X, not --wayland"
                          : options.setUserId && (options.seats > 1 || !options.extraSeatDaemons.empty())
                              ? "--setuid takes one seat"
                              : nullptr;
    if (problem != nullptr) {
        std::cerr << "dc-sandbox: " << problem << "\n";
    }
    return problem == nullptr;
}

}  // namespace

std::optional<CliOptions> ParseCommandLine(const std::vector<std::string>& args) {
    if (args.empty() || (args[0] != "demo" && args[0] != "run" && args[0] != "exec")) {
        std::cerr << kUsage;
        return std::nullopt;
    }
    CliOptions options;
    options.command = args[0];
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--" && options.command == "exec") {
            options.program.assign(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
            break;
        }
        if (!args[i].starts_with("--") || !ParseOption(args, i, options)) {
            if (!args[i].starts_with("--")) {
                std::cerr << "dc-sandbox: unexpected argument " << args[i] << "\n";
            }
            return std::nullopt;
        }
    }
    return Consistent(options) ? std::optional(options) : std::nullopt;
}

void Say(const std::string& text, bool epochTimes) {
    static std::mutex lock;
    const auto now = std::chrono::system_clock::now();
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count();
    char stamp[32];
    if (epochTimes) {
        snprintf(stamp, sizeof stamp, "%lld.%06lld", static_cast<long long>(micros / 1000000),
                 static_cast<long long>(micros % 1000000));
    } else {
        const std::time_t seconds = static_cast<std::time_t>(micros / 1000000);
        std::tm parts{};
        gmtime_r(&seconds, &parts);
        const std::size_t length = strftime(stamp, sizeof stamp, "%H:%M:%S", &parts);
        snprintf(stamp + length, sizeof stamp - length, ".%03lld",
                 static_cast<long long>(micros / 1000 % 1000));
    }
    std::lock_guard<std::mutex> guard(lock);
    std::cout << stamp << "  " << text << std::endl;
}

}  // namespace sandbox
