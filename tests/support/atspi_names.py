#!/usr/bin/python3
"""What a screen reader learns of a program over the accessibility bus (AT-SPI).

    atspi_names.py PID         prints its accessible tree, a "role<TAB>name" line
                               an object, depth first; gives up after 20 seconds
    atspi_names.py -- COMMAND  runs COMMAND on an X display (Xvfb picks a free one)
                               and a D-Bus session of its own, both ended after it
"""
import os
import subprocess
import sys
import time

import dbus


def session(command):
    ready, write = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                            pass_fds=[write], stderr=subprocess.DEVNULL)
    os.close(write)
    try:
        display = os.fdopen(ready).readline().strip() or sys.exit("atspi_names.py: Xvfb did not start")
        return subprocess.call(["dbus-run-session", "--"] + command, env=dict(os.environ, DISPLAY=":" + display))
    finally:
        xvfb.terminate()
        xvfb.wait()


def names(pid):
    deadline = time.monotonic() + 20
    # Asking for its address starts the accessibility bus; Qt, waiting for it to appear, then connects.
    bus = dbus.bus.BusConnection(dbus.SessionBus().call_blocking(
        "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress", "", []))

    def call(name, path, method, signature="", args=(), interface="org.a11y.atspi.Accessible"):
        return bus.call_blocking(name, path, interface, method, signature, args,
                                 timeout=max(0.1, deadline - time.monotonic()))

    def walk(name, path):
        role = call(name, path, "GetRoleName")
        label = call(name, path, "Get", "ss", ["org.a11y.atspi.Accessible", "Name"], "org.freedesktop.DBus.Properties")
        print("%s\t%s" % (role, label))
        for child in call(name, path, "GetChildren"):
            walk(*child)

    # The program as a screen reader finds it: among the applications the registry lists.
    while time.monotonic() < deadline:
        for app in call("org.a11y.atspi.Registry", "/org/a11y/atspi/accessible/root", "GetChildren"):
            if call("org.freedesktop.DBus", "/org/freedesktop/DBus", "GetConnectionUnixProcessID", "s", [app[0]],
                    "org.freedesktop.DBus") == pid:
                return walk(*app)
        time.sleep(0.1)
    sys.exit("atspi_names.py: process %d did not appear on the accessibility bus" % pid)


if __name__ == "__main__":
    sys.exit(session(sys.argv[2:]) if sys.argv[1] == "--" else names(int(sys.argv[1])))
