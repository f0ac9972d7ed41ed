// The DesktopController daemon: one instance per graphical desktop.
//
// Start-up proves who the process is (desktop magic, desktop id, IPC token)
// while it still has the rights it was started with, then gives those rights
// up before any thread exists, starts logging and the screen-lock monitor,
// checks that the desktop's display can be reached, publishes the desktop id
// to every child it will start, connects to the agent's IPC service and
// reports the desktop as logged on. The main thread then waits until the
// service ends the connection. Each start-up step below is one function; a
// failed step ends the process through CleanExit with status 1 and one
// message. Command-line arguments are deliberately not read.
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "lib/config/Preference.h"
#include "lib/log/Log.h"
#include "lib/sig/Panic.h"
#include "lib/sig/PollLoop.h"
#include "lib/sig/Sig.h"
#include "src/core/CommonUtils.h"
#include "src/core/DesktopClaim.h"
#include "src/core/DesktopConstants.h"
#include "src/core/DisplayCheck.h"
#include "src/core/SecretWipe.h"
#include "src/core/SessionDetection.h"
#include "src/core/StartUp.h"
#include "src/dispatch/IpcMsgDispatcher.h"
#include "src/ipc/IpcClient.h"
#include "src/logging/LoggerWrapper.h"
#include "src/monitor/LockStatusMonitor.h"

namespace {

const std::string kAppName(desktop::kApplicationName);

// The magic and the token live here, not on main's stack: exit() does not
// unwind main, but it does run these destructors, so the secrets are wiped
// on every way out.
SecretText magic;
SecretText token;

void InitFoundation() {
    Preference_Init();
    Panic_Init();
    Poll_InitDefault();
    Sig_Init();
    Sig_BlockAsynchronous();
}

void ReadDesktopMagic() {
    magic.value = CommonUtils::GetDesktopMagic();
    if (magic.value.empty()) {
        fprintf(stderr, "DesktopController: failed to read desktop magic, exiting.\n");
        CleanExit(kExitStartupFailed);
    }
}

// Whether the process was started set-user-id; decided before the drop,
// after which the real and effective ids are the same.
bool setUserIdRun = false;
bool trustEnvironment = false;

// A set-user-id run can derive any desktop's token, so it speaks only for
// the desktop whose id file makes it the real user's, unless the host
// chose to trust the environment as runs without raised rights do.
core::DesktopClaim ClaimDesktop() {
    setUserIdRun = getuid() != geteuid();
    trustEnvironment = setUserIdRun && Preference_GetBool(false, desktop::kPrefTrustEnvironment);
    if (!setUserIdRun || trustEnvironment) {
        return {.id = GetDesktopId()};
    }
    return core::ClaimFromDisplay(core::SessionClaimSources());
}

// Only decimal digits are accepted; leading zeros and any length pass here.
std::string ValidDesktopId(const std::string& id) {
    if (id.empty() || id.find_first_not_of("0123456789") != std::string::npos) {
        fprintf(stderr, "DesktopController: invalid desktop id \"%s\", exiting.\n", id.c_str());
        CleanExit(kExitStartupFailed);
    }
    return id;
}

void StartLogging() {
    SetLoggerSlot(LoggerWrapper::getInstance(kAppName));
}

[[noreturn]] void RefuseIdentity(const std::string& why) {
    fprintf(stderr, "DesktopController: %s, exiting.\n", why.c_str());
    LogMessage(dclog::kError, "Desktop identity refused: %s, exiting.\n", why.c_str());
    CleanExit(kExitStartupFailed);
}

// The user name the service is told is the real user's, whatever USER
// says; children see the same name.
void ReportRealUser() {
    const std::string real = core::AccountName(getuid());
    const char* user = getenv("USER");
    if (user == nullptr || real != user) {
        LogMessage(dclog::kWarning, "USER \"%s\" is not the real user %s, who is reported instead\n",
                   user != nullptr ? user : "(unset)", real.c_str());
        setenv("USER", real.c_str(), 1);
    }
}

// Runs after the drop, so the X display is opened with the user's own X
// authority, and while the process still has a single thread.
void EnforceClaim(const core::DesktopClaim& claim) {
    if (!setUserIdRun) {
        return;
    }
    if (claim.check == core::ClaimCheck::kRefused) {
        RefuseIdentity(claim.refusal);
    }
    if (claim.check == core::ClaimCheck::kOpenDisplay && !core::CanOpenDefaultDisplay()) {
        RefuseIdentity(core::DisplayRefusal(claim, getuid()));
    }
    if (trustEnvironment) {
        LogMessage(dclog::kWarning,
                   "%s is set: desktop id %s is taken from the environment unchecked, so any local user can "
                   "speak for any desktop\n",
                   desktop::kPrefTrustEnvironment, claim.id.c_str());
    }
    ReportRealUser();
}

void RequireToken() {
    if (token.value.empty()) {
        LogMessage(dclog::kError, "Failed to generate ipc token, exiting.\n");
        CleanExit(kExitStartupFailed);
    }
}

// Wayland sessions (WAYLAND_DISPLAY set, even to an empty value) have no X
// display to test.
void RequireDisplay() {
    if (getenv("WAYLAND_DISPLAY") != nullptr) {
        return;
    }
    if (!core::CanOpenDefaultDisplay()) {
        const char* name = getenv("DISPLAY");
        LogMessage(dclog::kError, "Failed to open display %s, exiting.\n",
                   name != nullptr ? name : "(unset)");
        CleanExit(kExitStartupFailed);
    }
}

// Every child started from here on inherits the id.
void PublishDesktopId(const std::string& id) {
    setenv("BRV_DESKTOP_ID", id.c_str(), 1);
    LogMessage(dclog::kInfo, "Desktop Controller client ID %s", id.c_str());
}

// The id is all digits, so the only way to fail is a value beyond the
// signed 32-bit range, which cannot be a client id.
int32_t ClientId(const std::string& id) {
    errno = 0;
    long long value = strtoll(id.c_str(), nullptr, 10);
    if (errno == ERANGE || value > INT32_MAX) {
        fprintf(stderr, "DesktopController: desktop id \"%s\" is out of range for a client id, exiting.\n",
                id.c_str());
        LogMessage(dclog::kError, "Desktop id %s is out of range for a client id, exiting.\n", id.c_str());
        CleanExit(kExitStartupFailed);
    }
    return static_cast<int32_t>(value);
}

std::shared_ptr<LockStatusMonitor> lockMonitor;

// The monitor's thread starts here; its own failures are logged by it and
// do not stop start-up. Every later exit stops and joins it first.
void StartLockMonitor() {
    lockMonitor = std::make_shared<LockStatusMonitor>();
    lockMonitor->Start();
    SetBeforeExit([] { lockMonitor->Stop(); });
}

// No heartbeat and no user context; the token travels as the client magic.
// A service that stalls in the handshake ends start-up at the deadline.
// Earlier daemons of this user that were killed left their queue names
// behind; they go first, under the user id the queues are made with.
void ConnectToService(int32_t clientId) {
    IpcClient_RemoveLeftoverSemaphores();
    IpcClient_SetConnectTimeout(
        Preference_GetInt32(kIpcDefaultConnectTimeoutMs, desktop::kPrefConnectTimeoutMs));
    bool connected =
        IpcClient_Connect(clientId, IpcMsgDispatcher::OnConnected, IpcMsgDispatcher::OnIpcMessage,
                          token.value.c_str(), kAppName.c_str(), 0, nullptr);
    if (!connected) {
        LogMessage(dclog::kError, "Failed to connect ipcserver, exiting.\n");
        CleanExit(kExitStartupFailed);
    }
    WipeSecret(token.value);
}

}  // namespace

int main() {
    InitFoundation();
    ReadDesktopMagic();
    const core::DesktopClaim claim = ClaimDesktop();
    const bool refused = claim.check == core::ClaimCheck::kRefused;
    std::string id = refused ? std::string() : ValidDesktopId(claim.id);
    if (!refused) {
        token.value = CommonUtils::GenerateDesktopToken(id, magic.value);
    }
    WipeSecret(magic.value);
    CommonUtils::ForgetDesktopMagic();
    DropPrivileges();
    StartLogging();
    EnforceClaim(claim);
    StartLockMonitor();
    RequireToken();
    RequireDisplay();
    PublishDesktopId(id);
    ConnectToService(ClientId(id));
    IpcMsgDispatcher::GetInstance()->NotifyDesktopLogged();
    Sig_UnblockAsynchronous();
    IpcClient_WaitForTerminate();
    CleanExit(kExitNormal);
}
