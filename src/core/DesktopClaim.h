// Which desktop a set-user-id run may speak for.
//
// Such a run reads the machine-wide magic, so it could derive the token of
// any desktop id it is told. The id must therefore come from something the
// real user cannot forge: the id file the agent wrote for the session's
// display, owned by that user; or, for an X display, owned by the agent,
// when the user can open the display with their own X authority (checked
// after the drop, by the caller). BRV_DESKTOP_ID only counts when it names
// that same id. Runs that are not set-user-id keep taking the id from the
// environment: their user cannot read the magic anyway.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "src/core/IdentityFiles.h"

namespace core {

enum class ClaimCheck {
    kNone,         // the id stands as found
    kOpenDisplay,  // the real user must be able to open the X display
    kRefused,
};

// What the session says about itself, and who asks.
struct ClaimSources {
    std::optional<std::string> brvDesktopId{};  // BRV_DESKTOP_ID, when set
    std::string waylandDisplay{};               // empty when unset or empty
    std::string display{};                      // DISPLAY, empty when unset or empty
    uid_t realUid = 0;
    // The account the program is installed set-user-id to (the magic's
    // owner), which may write id files as the agent does.
    uid_t installedOwner = 0;
    std::string idFilePrefix = kDesktopIdPrefix;
};

struct DesktopClaim {
    std::string id{};
    ClaimCheck check = ClaimCheck::kNone;
    std::string display{};  // the display whose id file decided
    std::string file{};
    uid_t fileOwner = static_cast<uid_t>(-1);
    std::string refusal{};  // why, when refused: display, file, owner and real user
};

// The set-user-id rules over the sources.
DesktopClaim ClaimFromDisplay(const ClaimSources& sources);

// The sources of this process: its environment, real uid and effective uid.
ClaimSources SessionClaimSources();

// Why the real user could not open the claim's X display, in the same
// terms as a refusal.
std::string DisplayRefusal(const DesktopClaim& claim, uid_t realUid);

// "name(uid)", or the bare number when the account has no name.
std::string AccountText(uid_t uid);
// The account's name, or its number when it has none.
std::string AccountName(uid_t uid);

}  // namespace core
