// Session facts read fresh from the environment and /proc on every call,
// so that values published later in the process (BRV_DESKTOP_ID) are seen.
#include "src/core/SessionDetection.h"

#include <dirent.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "lib/log/UniqueDir.h"
#include "src/core/CommonUtils.h"
#include "src/core/DesktopConstants.h"
#include "src/core/IdentityFiles.h"
#include "src/core/ShortFile.h"

extern char** environ;

namespace {

// The variables that describe a desktop session and are reported to the
// agent, in the order the agent expects.
constexpr std::array<std::string_view, 39> kDesktopEnvNames = {
    "AUDIODRIVER",
    "COMPIZ_CONFIG_PROFILE",
    "DESKTOP_AUTOSTART_ID",
    "DBUS_SESSION_BUS_ADDRESS",
    "DISPLAY",
    "WAYLAND_DISPLAY",
    "GDMSESSION",
    "GDM_LANG",
    "GNOME_DESKTOP_SESSION_ID",
    "GNOME_SHELL_SESSION_MODE",
    "GTK_MODULES",
    "HOME",
    "HOSTNAME",
    "LANG",
    "PWD",
    "SHELL",
    "SESSION_MANAGER",
    "SESSIONTYPE",
    "SSH_AGENT_PID",
    "UPSTART_SESSION",
    "USER",
    "USERNAME",
    "QXR_SESSION_ID",
    "WINDOWMANAGER",
    "XAUTHORITY",
    "XDG_VTNR",
    "XDG_SESSION_ID",
    "XDG_SEAT",
    "XDG_SEAT_PATH",
    "XDG_SESSION_PATH",
    "XDG_RUNTIME_DIR",
    "XDG_MENU_PREFIX",
    "XDG_CURRENT_DESKTOP",
    "XDG_GREETER_DATA_DIR",
    "XDG_CONFIG_DIRS",
    "XDG_DATA_DIRS",
    "XDG_SESSION_DESKTOP",
    "XSESSION_IS_UP",
    "_",
};

// The value of a variable that is set and not empty.
const char* NonEmptyEnv(const char* name) {
    const char* value = getenv(name);
    return value != nullptr && value[0] != '\0' ? value : nullptr;
}

bool Contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

std::string TypeFromCurrentDesktop(std::string_view value) {
    if (Contains(value, "GNOME")) {
        return std::string(desktop::kTypeGnome);
    }
    if (Contains(value, "MATE")) {
        return std::string(desktop::kTypeMate);
    }
    if (Contains(value, "KDE")) {
        return std::string(desktop::kTypeKde);
    }
    return {};
}

std::string TypeFromSessionName(std::string_view value) {
    if (Contains(value, "gnome") || Contains(value, "ubuntu")) {
        return std::string(desktop::kTypeGnome);
    }
    if (Contains(value, "mate")) {
        return std::string(desktop::kTypeMate);
    }
    if (Contains(value, "plasma")) {
        return std::string(desktop::kTypeKde);
    }
    return {};
}

}  // namespace

namespace core {

pid_t FindProcessIn(const std::string& procRoot, const std::string& name) {
    dclog::UniqueDir dir = dclog::OpenDir(procRoot.c_str());
    if (!dir) {
        return -1;
    }
    while (const dirent* entry = readdir(dir.get())) {
        long pid = strtol(entry->d_name, nullptr, 10);
        if (pid < 1) {
            continue;
        }
        std::optional<std::string> comm = ReadShortFile(procRoot + entry->d_name + "/comm");
        if (comm && comm->substr(0, comm->find('\n')) == name) {
            return static_cast<pid_t>(pid);
        }
    }
    return -1;
}

}  // namespace core

std::string GetDesktopId() {
    if (const char* id = getenv("BRV_DESKTOP_ID")) {
        return id;
    }
    if (const char* wayland = NonEmptyEnv("WAYLAND_DISPLAY")) {
        return CommonUtils::ReadDesktopId(wayland);
    }
    if (const char* display = NonEmptyEnv("DISPLAY")) {
        return CommonUtils::ReadDesktopId(display);
    }
    return {};
}

std::string GetDesktopType() {
    if (const char* current = NonEmptyEnv("XDG_CURRENT_DESKTOP")) {
        if (std::string type = TypeFromCurrentDesktop(current); !type.empty()) {
            return type;
        }
    }
    if (const char* session = NonEmptyEnv("DESKTOP_SESSION")) {
        if (std::string type = TypeFromSessionName(session); !type.empty()) {
            return type;
        }
    }
    if (FindProcessByName("mate-session") > 0) {
        return std::string(desktop::kTypeMate);
    }
    if (FindProcessByName("ksmserver") > 0) {
        return std::string(desktop::kTypeKde);
    }
    return std::string(desktop::kTypeGnome);
}

pid_t FindProcessByName(const std::string& name) {
    return core::FindProcessIn("/proc/", name);
}

std::unordered_map<std::string, std::string> GetEnvironmentMap() {
    std::unordered_map<std::string, std::string> map;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        std::string_view text(*entry);
        auto equals = text.find('=');
        if (equals == std::string_view::npos) {
            continue;
        }
        map.insert_or_assign(std::string(text.substr(0, equals)), std::string(text.substr(equals + 1)));
    }
    return map;
}

bool IsDesktopEnv(const std::string& name) {
    return std::find(kDesktopEnvNames.begin(), kDesktopEnvNames.end(), name) != kDesktopEnvNames.end();
}
