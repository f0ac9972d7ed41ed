#!/usr/bin/python3
"""Stand-ins for the services a desktop's task script and lockers talk to.

On a private system bus ("system"):
  org.freedesktop.login1     one graphical session (plus its seat and user):
                             lock and unlock requests become the session's
                             Lock and Unlock signals, the locker's
                             SetLockedHint shows in LockedHint, and a
                             terminated session is "closing".
  org.gnome.DisplayManager   answers Version, which GNOME Shell asks before
                             it builds its lock screen.

On a private session bus ("session-manager"):
  org.gnome.SessionManager   Logout(mode): the session ends (the name leaves
                             the bus) unless mode is one of IGNORED_MODES,
                             as when an application inhibits the logout.
                             Each call appends "Logout MODE" to CALL_LOG.

On a private session bus ("inactive-screen-saver"):
  org.gnome.ScreenSaver      accepts Lock and SetActive and stays inactive,
                             as a locker that is disabled by policy does.

On a private session bus ("user-manager"):
  org.freedesktop.systemd1   the user's service manager, as far as GetUnit
                             goes: it knows the UNITs it was given, as
                             loaded units, and no others.

Usage: bus-stand-ins.py system BUS_ADDRESS SESSION_ID UID USER DISPLAY TYPE [--ignore-lock]
                         [--ignore-unlock] [--other-session ID DISPLAY]
       bus-stand-ins.py session-manager BUS_ADDRESS IGNORED_MODES CALL_LOG
       bus-stand-ins.py inactive-screen-saver BUS_ADDRESS
       bus-stand-ins.py user-manager BUS_ADDRESS UNIT...
DISPLAY is the X display of the session, or empty for Wayland. With
--ignore-lock, a request to lock the session is accepted and does nothing,
as where the lock screen is disabled by policy; --ignore-unlock does the
same to unlock requests. With --other-session, the
user has a second graphical session of the same type. IGNORED_MODES is a comma
list such as "1" or "1,2", or empty. Prints "ready" once it owns its names;
ends on SIGTERM.

Needs the distribution's python3 with Gio (python3-gi).
"""

import os
import signal
import sys

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

LOGIN1 = "org.freedesktop.login1"
ROOT = "/org/freedesktop/login1"
MANAGER = LOGIN1 + ".Manager"
SESSION = LOGIN1 + ".Session"
SEAT = LOGIN1 + ".Seat"
USER = LOGIN1 + ".User"
PROPERTIES = "org.freedesktop.DBus.Properties"
DISPLAY_MANAGER = "org.gnome.DisplayManager"
DISPLAY_MANAGER_PATH = "/org/gnome/DisplayManager/Manager"
SESSION_MANAGER = "org.gnome.SessionManager"
SESSION_MANAGER_PATH = "/org/gnome/SessionManager"
SCREEN_SAVER = "org.gnome.ScreenSaver"
SCREEN_SAVER_PATH = "/org/gnome/ScreenSaver"
SYSTEMD = "org.freedesktop.systemd1"
SYSTEMD_PATH = "/org/freedesktop/systemd1"

# Methods and signals; the properties are generated from the values the
# stand-ins hold, so that the two never disagree.
INTROSPECTION = f"""
<node>
  <interface name="{MANAGER}">
    <method name="GetSession"><arg type="s" direction="in"/><arg type="o" direction="out"/></method>
    <method name="GetSessionByPID"><arg type="u" direction="in"/><arg type="o" direction="out"/></method>
    <method name="GetUser"><arg type="u" direction="in"/><arg type="o" direction="out"/></method>
    <method name="GetUserByPID"><arg type="u" direction="in"/><arg type="o" direction="out"/></method>
    <method name="GetSeat"><arg type="s" direction="in"/><arg type="o" direction="out"/></method>
    <method name="ListSessions"><arg type="a(susso)" direction="out"/></method>
    <method name="ListSeats"><arg type="a(so)" direction="out"/></method>
    <method name="ListUsers"><arg type="a(uso)" direction="out"/></method>
    <method name="LockSession"><arg type="s" direction="in"/></method>
    <method name="UnlockSession"><arg type="s" direction="in"/></method>
    <method name="LockSessions"/>
    <method name="UnlockSessions"/>
    <method name="TerminateSession"><arg type="s" direction="in"/></method>
    <method name="Inhibit">
      <arg type="s" direction="in"/><arg type="s" direction="in"/>
      <arg type="s" direction="in"/><arg type="s" direction="in"/>
      <arg type="h" direction="out"/>
    </method>
    <method name="CanPowerOff"><arg type="s" direction="out"/></method>
    <method name="CanReboot"><arg type="s" direction="out"/></method>
    <method name="CanSuspend"><arg type="s" direction="out"/></method>
    <method name="CanHibernate"><arg type="s" direction="out"/></method>
    <method name="CanHybridSleep"><arg type="s" direction="out"/></method>
    <method name="CanSuspendThenHibernate"><arg type="s" direction="out"/></method>
    <method name="CanRebootToBootLoaderMenu"><arg type="s" direction="out"/></method>
    <signal name="PrepareForSleep"><arg type="b"/></signal>
    <signal name="PrepareForShutdown"><arg type="b"/></signal>
  </interface>
  <interface name="{SESSION}">
    <method name="Lock"/>
    <method name="Unlock"/>
    <method name="SetLockedHint"><arg type="b" direction="in"/></method>
    <method name="SetIdleHint"><arg type="b" direction="in"/></method>
    <method name="Activate"/>
    <method name="TakeControl"><arg type="b" direction="in"/></method>
    <method name="ReleaseControl"/>
    <method name="Terminate"/>
    <signal name="Lock"/>
    <signal name="Unlock"/>
  </interface>
  <interface name="{SEAT}">
  </interface>
  <interface name="{USER}">
  </interface>
  <interface name="{DISPLAY_MANAGER}.Manager">
  </interface>
</node>
"""

SESSION_MANAGER_INTROSPECTION = f"""
<node>
  <interface name="{SESSION_MANAGER}">
    <method name="Logout"><arg type="u" direction="in"/></method>
  </interface>
</node>
"""

SCREEN_SAVER_INTROSPECTION = f"""
<node>
  <interface name="{SCREEN_SAVER}">
    <method name="Lock"/>
    <method name="SetActive"><arg type="b" direction="in"/></method>
    <method name="GetActive"><arg type="b" direction="out"/></method>
    <signal name="ActiveChanged"><arg type="b"/></signal>
  </interface>
</node>
"""


USER_MANAGER_INTROSPECTION = f"""
<node>
  <interface name="{SYSTEMD}.Manager">
    <method name="GetUnit"><arg type="s" direction="in"/><arg type="o" direction="out"/></method>
  </interface>
</node>
"""


class StandIns:
    def __init__(self, connection, session_id, uid, user, display, kind):
        self.connection = connection
        self.ignored = set()
        self.uid = uid
        self.user = user
        self.kind = kind
        self.session_path = ROOT + "/session/" + self.escaped(session_id)
        self.seat_path = ROOT + "/seat/seat0"
        self.user_path = ROOT + "/user/_" + str(uid)
        self.inhibitors = []
        # Every session by id, and each one's properties by object path.
        self.sessions = {session_id: self.session_path}
        self.session_data = {self.session_path: self.session_values(session_id, display)}
        self.values = {
            MANAGER: {
                "IdleHint": GLib.Variant("b", False),
                "BlockInhibited": GLib.Variant("s", ""),
                "DelayInhibited": GLib.Variant("s", ""),
                "InhibitDelayMaxUSec": GLib.Variant("t", 5000000),
                "PreparingForSleep": GLib.Variant("b", False),
                "PreparingForShutdown": GLib.Variant("b", False),
            },
            SESSION: self.session_data[self.session_path],
            SEAT: {
                "Id": GLib.Variant("s", "seat0"),
                "ActiveSession": GLib.Variant("(so)", (session_id, self.session_path)),
                "CanGraphical": GLib.Variant("b", True),
                "Sessions": GLib.Variant("a(so)", [(session_id, self.session_path)]),
            },
            USER: {
                "UID": GLib.Variant("u", uid),
                "Name": GLib.Variant("s", user),
                "State": GLib.Variant("s", "active"),
                "Display": GLib.Variant("(so)", (session_id, self.session_path)),
                "Sessions": GLib.Variant("a(so)", [(session_id, self.session_path)]),
            },
            DISPLAY_MANAGER + ".Manager": {"Version": GLib.Variant("s", "43.0")},
        }

    @staticmethod
    def escaped(name):
        """An object path element, escaped the way logind escapes ids."""
        return "".join(c if c.isalnum() and c.isascii() else "_%02x" % ord(c) for c in name)

    def add_session(self, session_id, display):
        path = ROOT + "/session/" + self.escaped(session_id)
        self.sessions[session_id] = path
        self.session_data[path] = self.session_values(session_id, display)
        listed = GLib.Variant("a(so)", list(self.sessions.items()))
        self.values[SEAT]["Sessions"] = listed
        self.values[USER]["Sessions"] = listed

    def session_values(self, session_id, display):
        now = GLib.get_real_time()
        return {
            "Id": GLib.Variant("s", session_id),
            "User": GLib.Variant("(uo)", (self.uid, self.user_path)),
            "Name": GLib.Variant("s", self.user),
            "Timestamp": GLib.Variant("t", now),
            "TimestampMonotonic": GLib.Variant("t", GLib.get_monotonic_time()),
            "VTNr": GLib.Variant("u", 0),
            "Seat": GLib.Variant("(so)", ("seat0", self.seat_path)),
            "TTY": GLib.Variant("s", ""),
            "Display": GLib.Variant("s", display),
            "Remote": GLib.Variant("b", False),
            "RemoteHost": GLib.Variant("s", ""),
            "RemoteUser": GLib.Variant("s", ""),
            "Service": GLib.Variant("s", "sandbox"),
            "Desktop": GLib.Variant("s", ""),
            "Scope": GLib.Variant("s", "session-" + session_id + ".scope"),
            "Leader": GLib.Variant("u", os.getpid()),
            "Audit": GLib.Variant("u", 0),
            "Type": GLib.Variant("s", self.kind),
            "Class": GLib.Variant("s", "user"),
            "Active": GLib.Variant("b", True),
            "State": GLib.Variant("s", "active"),
            "IdleHint": GLib.Variant("b", False),
            "IdleSinceHint": GLib.Variant("t", 0),
            "IdleSinceHintMonotonic": GLib.Variant("t", 0),
            "LockedHint": GLib.Variant("b", False),
        }

    def introspection(self):
        xml = INTROSPECTION
        for interface in self.values:
            properties = "".join(
                '<property name="%s" type="%s" access="read"/>' % (name, value.get_type_string())
                for name, value in self.values[interface].items()
            )
            opening = '<interface name="%s">' % interface
            xml = xml.replace(opening, opening + properties)
        return xml

    def register(self):
        node = Gio.DBusNodeInfo.new_for_xml(self.introspection())
        # A session, a seat or a user is also reachable by the names
        # "auto" and "self"; signals come from the canonical path only.
        objects = [(path, SESSION) for path in self.session_data] + [
            (ROOT, MANAGER),
            (ROOT + "/session/auto", SESSION),
            (ROOT + "/session/self", SESSION),
            (self.seat_path, SEAT),
            (ROOT + "/seat/auto", SEAT),
            (ROOT + "/seat/self", SEAT),
            (self.user_path, USER),
            (ROOT + "/user/self", USER),
            (DISPLAY_MANAGER_PATH, DISPLAY_MANAGER + ".Manager"),
        ]
        for path, interface in objects:
            self.connection.register_object(
                path, node.lookup_interface(interface), self.on_call, self.on_get, None
            )
        self.connection.add_filter(self.answer_any_interface_get_all)

    def on_get(self, _connection, _sender, path, interface, name):
        return self.values_at(path, interface)[name]

    # auto and self name the first session.
    def values_at(self, path, interface):
        if interface == SESSION:
            return self.session_data.get(path, self.values[SESSION])
        return self.values.get(interface, {})

    # loginctl reads every property with GetAll and an empty interface
    # name, meaning "all interfaces"; Gio refuses that, so it is answered
    # before Gio sees it.
    def answer_any_interface_get_all(self, connection, message, incoming):
        if (
            not incoming
            or message.get_message_type() != Gio.DBusMessageType.METHOD_CALL
            or message.get_interface() != PROPERTIES
            or message.get_member() != "GetAll"
            or message.get_body() is None
            or message.get_body().unpack() != ("",)
        ):
            return message
        reply = Gio.DBusMessage.new_method_reply(message)
        interface = self.interface_at(message.get_path())
        values = self.values_at(message.get_path(), interface)
        reply.set_body(GLib.Variant("(a{sv})", (values,)))
        connection.send_message(reply, Gio.DBusSendMessageFlags.NONE)
        return None

    def interface_at(self, path):
        if path == ROOT:
            return MANAGER
        if path == DISPLAY_MANAGER_PATH:
            return DISPLAY_MANAGER + ".Manager"
        for prefix, interface in (("/session/", SESSION), ("/seat/", SEAT), ("/user/", USER)):
            if path.startswith(ROOT + prefix):
                return interface
        return None

    def on_call(self, _connection, _sender, path, interface, method, parameters, invocation):
        args = parameters.unpack()
        if interface == SESSION:
            known = path if path in self.session_data else self.session_path
            self.session_call(known, method, args, invocation)
        else:
            self.manager_call(method, args, invocation)

    def session_call(self, path, method, args, invocation):
        if method in ("Lock", "Unlock"):
            self.request(path, method)
        elif method == "SetLockedHint":
            self.set_session_value(path, "LockedHint", GLib.Variant("b", args[0]))
        elif method == "Terminate":
            self.terminate(path)
        invocation.return_value(None)

    def manager_call(self, method, args, invocation):
        session = GLib.Variant("(o)", (self.session_path,))
        if method in ("GetSession", "LockSession", "UnlockSession", "TerminateSession"):
            path = self.session_named(args[0])
            if path is None:
                invocation.return_dbus_error(
                    LOGIN1 + ".NoSuchSession", "No session '%s' known" % args[0]
                )
                return
            if method == "GetSession":
                invocation.return_value(GLib.Variant("(o)", (path,)))
                return
            if method == "TerminateSession":
                self.terminate(path)
            else:
                self.request(path, "Lock" if method == "LockSession" else "Unlock")
            invocation.return_value(None)
        elif method == "GetSessionByPID":
            invocation.return_value(session)
        elif method in ("GetUser", "GetUserByPID"):
            invocation.return_value(GLib.Variant("(o)", (self.user_path,)))
        elif method == "GetSeat":
            invocation.return_value(GLib.Variant("(o)", (self.seat_path,)))
        elif method in ("LockSessions", "UnlockSessions"):
            for path in self.session_data:
                self.request(path, "Lock" if method == "LockSessions" else "Unlock")
            invocation.return_value(None)
        else:
            self.listing_call(method, invocation)

    def session_named(self, session_id):
        if session_id in ("auto", "self", ""):
            return self.session_path
        return self.sessions.get(session_id)

    def listing_call(self, method, invocation):
        if method == "ListSessions":
            rows = [(sid, self.uid, self.user, "seat0", path) for sid, path in self.sessions.items()]
            invocation.return_value(GLib.Variant("(a(susso))", (rows,)))
        elif method == "ListSeats":
            invocation.return_value(GLib.Variant("(a(so))", ([("seat0", self.seat_path)],)))
        elif method == "ListUsers":
            row = (self.uid, self.user, self.user_path)
            invocation.return_value(GLib.Variant("(a(uso))", ([row],)))
        elif method == "Inhibit":
            # The inhibition lasts while the caller holds its end open.
            read_end, write_end = os.pipe()
            self.inhibitors.append(read_end)
            fds = Gio.UnixFDList.new_from_array([write_end])
            invocation.return_value_with_unix_fd_list(GLib.Variant("(h)", (0,)), fds)
        else:
            invocation.return_value(GLib.Variant("(s)", ("no",)))

    def request(self, path, name):
        if name not in self.ignored:
            self.connection.emit_signal(None, path, SESSION, name, None)

    # A terminated session closes while its processes are ended; the
    # stand-in has none, so it stays "closing".
    def terminate(self, path):
        self.set_session_value(path, "State", GLib.Variant("s", "closing"))

    def set_session_value(self, path, name, value):
        self.session_data[path][name] = value
        self.connection.emit_signal(
            None,
            path,
            PROPERTIES,
            "PropertiesChanged",
            GLib.Variant("(sa{sv}as)", (SESSION, {name: value}, [])),
        )


class SessionManager:
    def __init__(self, connection, ignored_modes, call_log, loop):
        self.connection = connection
        self.ignored_modes = ignored_modes
        self.call_log = call_log
        self.loop = loop

    def register(self):
        node = Gio.DBusNodeInfo.new_for_xml(SESSION_MANAGER_INTROSPECTION)
        self.connection.register_object(
            SESSION_MANAGER_PATH, node.lookup_interface(SESSION_MANAGER), self.on_call, None, None
        )

    def on_call(self, _connection, _sender, _path, _interface, _method, parameters, invocation):
        (mode,) = parameters.unpack()
        with open(self.call_log, "a", encoding="utf-8") as log:
            log.write("Logout %d\n" % mode)
        invocation.return_value(None)
        if mode not in self.ignored_modes:
            # The reply goes out first: a real session manager answers and
            # then ends the session.
            self.connection.flush_sync(None)
            self.loop.quit()


def own(connection, name):
    (result,) = connection.call_sync(
        "org.freedesktop.DBus",
        "/org/freedesktop/DBus",
        "org.freedesktop.DBus",
        "RequestName",
        GLib.Variant("(su)", (name, 4)),  # do not queue
        GLib.VariantType("(u)"),
        Gio.DBusCallFlags.NONE,
        -1,
        None,
    ).unpack()
    if result != 1:
        sys.exit("cannot own " + name)


def on_inactive_screen_saver_call(_connection, _sender, _path, _interface, method, _args, invocation):
    invocation.return_value(GLib.Variant("(b)", (False,)) if method == "GetActive" else None)


def connect(address):
    flags = (
        Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
        | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION
    )
    return Gio.DBusConnection.new_for_address_sync(address, flags, None, None)


def start_system(args, _loop):
    if len(args) < 6:
        sys.exit(__doc__)
    address, session_id, uid, user, display, kind = args[:6]
    connection = connect(address)
    stand_ins = StandIns(connection, session_id, int(uid), user, display, kind)
    options = args[6:]
    while options:
        if options[0] in ("--ignore-lock", "--ignore-unlock"):
            stand_ins.ignored.add("Lock" if options[0] == "--ignore-lock" else "Unlock")
            options = options[1:]
        elif options[0] == "--other-session" and len(options) >= 3:
            stand_ins.add_session(options[1], options[2])
            options = options[3:]
        else:
            sys.exit(__doc__)
    stand_ins.register()
    own(connection, LOGIN1)
    own(connection, DISPLAY_MANAGER)
    return connection


def start_session_manager(args, loop):
    if len(args) != 3:
        sys.exit(__doc__)
    address, ignored, call_log = args
    connection = connect(address)
    modes = {int(mode) for mode in ignored.split(",") if mode}
    manager = SessionManager(connection, modes, call_log, loop)
    manager.register()
    own(connection, SESSION_MANAGER)
    return connection


def start_inactive_screen_saver(args, _loop):
    if len(args) != 1:
        sys.exit(__doc__)
    connection = connect(args[0])
    node = Gio.DBusNodeInfo.new_for_xml(SCREEN_SAVER_INTROSPECTION)
    connection.register_object(
        SCREEN_SAVER_PATH,
        node.lookup_interface(SCREEN_SAVER),
        on_inactive_screen_saver_call,
        None,
        None,
    )
    own(connection, SCREEN_SAVER)
    return connection


# A unit's object path: the name with every character but letters and
# digits escaped, the way systemd escapes it.
def unit_path(unit):
    return SYSTEMD_PATH + "/unit/" + StandIns.escaped(unit)


def start_user_manager(args, _loop):
    if len(args) < 2:
        sys.exit(__doc__)
    address, units = args[0], set(args[1:])
    connection = connect(address)

    def on_call(_connection, _sender, _path, _interface, _method, parameters, invocation):
        (unit,) = parameters.unpack()
        if unit in units:
            invocation.return_value(GLib.Variant("(o)", (unit_path(unit),)))
        else:
            invocation.return_dbus_error(SYSTEMD + ".NoSuchUnit", "Unit %s not loaded." % unit)

    node = Gio.DBusNodeInfo.new_for_xml(USER_MANAGER_INTROSPECTION)
    connection.register_object(
        SYSTEMD_PATH, node.lookup_interface(SYSTEMD + ".Manager"), on_call, None, None
    )
    own(connection, SYSTEMD)
    return connection


def main():
    roles = {
        "system": start_system,
        "session-manager": start_session_manager,
        "inactive-screen-saver": start_inactive_screen_saver,
        "user-manager": start_user_manager,
    }
    if len(sys.argv) < 2 or sys.argv[1] not in roles:
        sys.exit(__doc__)
    loop = GLib.MainLoop()
    # Held here: the connection closes, and the names go, when it is freed.
    connection = roles[sys.argv[1]](sys.argv[2:], loop)
    for signum in (signal.SIGTERM, signal.SIGINT):
        GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signum, loop.quit)
    print("ready", flush=True)
    loop.run()
    connection.flush_sync(None)


if __name__ == "__main__":
    main()
