#include "src/monitor/LockSignalFilter.h"

#include <chrono>
#include <exception>
#include <optional>
#include <string>

#include "lib/log/Log.h"
#include "src/dispatch/IpcMsgDispatcher.h"
#include "src/monitor/MonitorNames.h"

namespace {

using Clock = std::chrono::system_clock;

// A screen saver that shows its lock dialog emits WakeUpScreen right after
// the Lock call; only one coming later than this means the user woke it.
constexpr std::chrono::nanoseconds kWakeUpAfterLock{1000999999};

struct FilterMemory {
    std::string lastMember;
    std::optional<Clock::time_point> lastLockTime;
    bool lastLocked = false;
};

FilterMemory& Memory() {
    static FilterMemory memory;
    return memory;
}

const char* OrNull(const char* text) {
    return text != nullptr ? text : "(null)";
}

const char* LockWord(bool locked) {
    return locked ? "locked" : "unlocked";
}

// The first argument when it is a boolean. Anything else counts as no
// argument: a malformed signal must not be taken for a state.
std::optional<bool> FirstBoolArgument(DBusMessage* message) {
    DBusMessageIter args;
    if (!dbus_message_iter_init(message, &args) ||
        dbus_message_iter_get_arg_type(&args) != DBUS_TYPE_BOOLEAN) {
        return std::nullopt;
    }
    dbus_bool_t value = FALSE;
    dbus_message_iter_get_basic(&args, &value);
    return value != FALSE;
}

void OnLockCalled(FilterMemory& memory, Clock::time_point now) {
    if (SendNotification(true, memory.lastLocked)) {
        memory.lastLocked = true;
    }
    memory.lastMember = monitornames::kLockMethod;
    memory.lastLockTime = now;
}

void OnWakeUpScreen(FilterMemory& memory, Clock::time_point now) {
    if (memory.lastMember != monitornames::kLockMethod || now - *memory.lastLockTime <= kWakeUpAfterLock) {
        return;
    }
    if (SendNotification(false, memory.lastLocked)) {
        memory.lastLocked = false;
        memory.lastMember = monitornames::kWakeUpScreenSignal;
    }
}

void OnActiveChanged(FilterMemory& memory, DBusMessage* message) {
    if (const auto active = FirstBoolArgument(message)) {
        if (SendNotification(*active, memory.lastLocked)) {
            memory.lastLocked = *active;
        }
    }
    memory.lastMember = monitornames::kActiveChangedSignal;
}

}  // namespace

DBusHandlerResult SignalReceivedCallback(DBusConnection* /*connection*/, DBusMessage* message,
                                         void* userData) {
    FilterMemory& memory = Memory();
    const Clock::time_point now = Clock::now();
    if (!memory.lastLockTime) {
        memory.lastLockTime = now;
    }
    LogMessage(dclog::kInfo, "DesktopCMonitor->%s serial=%u path=%s; interface=%s; member=%s\n",
               "SignalReceivedCallback", dbus_message_get_serial(message),
               OrNull(dbus_message_get_path(message)), OrNull(dbus_message_get_interface(message)),
               OrNull(dbus_message_get_member(message)));

    const char* interfaceName = static_cast<const std::string*>(userData)->c_str();
    if (dbus_message_is_method_call(message, interfaceName, monitornames::kLockMethod)) {
        OnLockCalled(memory, now);
    } else if (dbus_message_is_signal(message, interfaceName, monitornames::kWakeUpScreenSignal)) {
        OnWakeUpScreen(memory, now);
    } else if (dbus_message_is_signal(message, interfaceName, monitornames::kActiveChangedSignal)) {
        OnActiveChanged(memory, message);
    }
    return DBUS_HANDLER_RESULT_HANDLED;
}

bool SendNotification(bool newLocked, bool lastLocked) {
    if (newLocked == lastLocked) {
        LogMessage(dclog::kDebug, "DesktopCMonitor->%s Skip to report %s status\n", "SendNotification",
                   LockWord(newLocked));
        return false;
    }
    LogMessage(dclog::kInfo, "DesktopCMonitor->%s Screen is %s\n", "SendNotification", LockWord(newLocked));
    // This runs inside libdbus's dispatch: nothing may be thrown through it.
    try {
        IpcMsgDispatcher::GetInstance()->NotifyDesktopLocked(newLocked);
    } catch (const std::exception& e) {
        LogMessage(dclog::kError, "DesktopCMonitor->%s Failed to report %s status: %s\n", "SendNotification",
                   LockWord(newLocked), e.what());
    }
    return true;
}
