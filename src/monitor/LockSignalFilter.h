// The message filter behind LockStatusMonitor: reads the lock state out
// of the screen saver's traffic and reports it when it changed.
//
// Its memory (the member last seen, when "Lock" was last called, the state
// last reported) is process-wide and never reset, so one monitor per
// process; it is touched only on the monitor thread.
#pragma once

#include <dbus/dbus.h>

// userData is the screen-saver interface name (a std::string). Every
// message is logged and reported as handled.
DBusHandlerResult SignalReceivedCallback(DBusConnection* connection, DBusMessage* message, void* userData);

// Reports newLocked through the dispatcher unless it equals lastLocked;
// true when it was reported.
bool SendNotification(bool newLocked, bool lastLocked);
