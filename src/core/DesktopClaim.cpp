#include "src/core/DesktopClaim.h"

#include <pwd.h>
#include <unistd.h>

#include <array>
#include <cstdlib>

#include "src/core/CommonUtils.h"
#include "src/core/ShortFile.h"

namespace core {
namespace {

constexpr std::string_view kWaylandPrefix = "wayland-";

const char* NonEmptyEnv(const char* name) {
    const char* value = getenv(name);
    return value != nullptr && value[0] != '\0' ? value : nullptr;
}

// The part of the display name that ends the id file's name; nothing when
// it could name no file of the id directory.
std::optional<std::string> IdFilePart(const std::string& display) {
    const std::string prefix = "/";
    const std::string path = CommonUtils::GetDisplayFilePath(prefix, display);
    const std::string part = path.substr(prefix.size());
    if (part.empty() || part.find('/') != std::string::npos) {
        return std::nullopt;
    }
    return part;
}

std::string Describe(const DesktopClaim& claim, uid_t realUid) {
    constexpr uid_t kNoOwner = static_cast<uid_t>(-1);
    return "display " + claim.display + ", file " + (claim.file.empty() ? "(none)" : claim.file) +
           ", owner " + (claim.fileOwner == kNoOwner ? "(unknown)" : AccountText(claim.fileOwner)) +
           ", real user " + AccountText(realUid);
}

DesktopClaim Refuse(DesktopClaim claim, const std::string& why, uid_t realUid) {
    claim.check = ClaimCheck::kRefused;
    claim.refusal = why + " (" + Describe(claim, realUid) + ")";
    claim.id.clear();
    return claim;
}

// Opening such a display goes through the local X socket: a display on a
// host name would reach any TCP listener, which proves nothing.
bool IsLocalDisplay(const std::string& display) {
    return display.starts_with(":") || display.starts_with("unix:");
}

bool WrittenByAgent(const DesktopClaim& claim, const ClaimSources& sources) {
    return claim.fileOwner == 0 || claim.fileOwner == sources.installedOwner;
}

// Who may have written the id file of a display of this kind.
ClaimCheck CheckForOwner(const DesktopClaim& claim, bool wayland, const ClaimSources& sources) {
    if (claim.fileOwner == sources.realUid) {
        return ClaimCheck::kNone;
    }
    const bool provable = !wayland && WrittenByAgent(claim, sources) && IsLocalDisplay(claim.display);
    return provable ? ClaimCheck::kOpenDisplay : ClaimCheck::kRefused;
}

std::string OwnerRefusal(const DesktopClaim& claim, bool wayland, const ClaimSources& sources) {
    if (wayland) {
        return "the desktop id file of a Wayland display must belong to the real user";
    }
    if (WrittenByAgent(claim, sources)) {
        return "an X display whose desktop id file belongs to the agent must be a local one (\":N\")";
    }
    return "the desktop id file of an X display must belong to the real user, root or " +
           AccountText(sources.installedOwner);
}

}  // namespace

DesktopClaim ClaimFromDisplay(const ClaimSources& sources) {
    const bool wayland = !sources.waylandDisplay.empty();
    DesktopClaim claim{.display = wayland ? sources.waylandDisplay : sources.display};
    if (claim.display.empty()) {
        claim.display = "(unset)";
        return Refuse(claim, "no display is set, so no desktop id file names this desktop", sources.realUid);
    }
    const std::optional<std::string> part = IdFilePart(claim.display);
    if (!part) {
        return Refuse(claim, "the display name names no desktop id file", sources.realUid);
    }
    claim.file = sources.idFilePrefix + *part;
    const std::optional<OwnedText> file = ReadOwnedFile(claim.file);
    if (!file) {
        return Refuse(claim, "the desktop id file cannot be read", sources.realUid);
    }
    claim.fileOwner = file->owner;
    claim.id = DesktopIdIn(file->content);
    if (claim.id.empty()) {
        return Refuse(claim, "the desktop id file holds no DESKTOPID= line", sources.realUid);
    }
    if (sources.brvDesktopId && *sources.brvDesktopId != claim.id) {
        return Refuse(claim,
                      "BRV_DESKTOP_ID \"" + *sources.brvDesktopId + "\" is not the desktop id " + claim.id,
                      sources.realUid);
    }
    claim.check = CheckForOwner(claim, wayland, sources);
    return claim.check == ClaimCheck::kRefused
               ? Refuse(claim, OwnerRefusal(claim, wayland, sources), sources.realUid)
               : claim;
}

ClaimSources SessionClaimSources() {
    ClaimSources sources{.realUid = getuid(), .installedOwner = geteuid()};
    if (const char* id = getenv("BRV_DESKTOP_ID")) {
        sources.brvDesktopId = id;
    }
    if (const char* wayland = NonEmptyEnv("WAYLAND_DISPLAY")) {
        sources.waylandDisplay = wayland;
    }
    if (const char* display = NonEmptyEnv("DISPLAY")) {
        sources.display = display;
    }
    return sources;
}

std::string DisplayRefusal(const DesktopClaim& claim, uid_t realUid) {
    return "the real user cannot open the X display, so its desktop id file does not make it theirs (" +
           Describe(claim, realUid) + ")";
}

std::string AccountName(uid_t uid) {
    passwd entry{};
    passwd* found = nullptr;
    std::array<char, 4096> buffer{};
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
        return found->pw_name;
    }
    return std::to_string(uid);
}

std::string AccountText(uid_t uid) {
    const std::string name = AccountName(uid);
    const std::string number = std::to_string(uid);
    return name == number ? number : name + "(" + number + ")";
}

}  // namespace core
