#!/usr/bin/python3
"""A freedesktop notification server that records what it is sent.

Owns org.freedesktop.Notifications on the session bus and appends one JSON line per Notify
call to the file given as the first argument, so tests can read exactly what a desktop's
notification daemon would have received.
"""
import json
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

NAME = "org.freedesktop.Notifications"
PATH = "/org/freedesktop/Notifications"


def plain(value):
    if isinstance(value, (dbus.Byte, dbus.Int32, dbus.UInt32, dbus.Int64, dbus.UInt64)):
        return int(value)
    if isinstance(value, dbus.Boolean):
        return bool(value)
    if isinstance(value, (dbus.String, dbus.ObjectPath)):
        return str(value)
    if isinstance(value, (dbus.Array, list)):
        return [plain(v) for v in value]
    if isinstance(value, (dbus.Dictionary, dict)):
        return {str(k): plain(v) for k, v in value.items()}
    return value


class Recorder(dbus.service.Object):
    def __init__(self, bus, record):
        super().__init__(bus, PATH)
        self.record = record
        self.next_id = 0

    @dbus.service.method(NAME, in_signature="susssasa{sv}i", out_signature="u")
    def Notify(self, app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout):
        self.next_id += 1
        entry = {
            "app_name": str(app_name), "replaces_id": int(replaces_id), "app_icon": str(app_icon),
            "summary": str(summary), "body": str(body), "actions": plain(actions), "hints": plain(hints),
            "expire_timeout": int(expire_timeout),
        }
        with open(self.record, "a", encoding="utf-8") as out:
            out.write(json.dumps(entry, sort_keys=True) + "\n")
        return self.next_id

    @dbus.service.method(NAME, in_signature="", out_signature="as")
    def GetCapabilities(self):
        return ["body"]

    @dbus.service.method(NAME, in_signature="", out_signature="ssss")
    def GetServerInformation(self):
        return ["recorder", "vigilorb tests", "1", "1.2"]

    @dbus.service.method(NAME, in_signature="u", out_signature="")
    def CloseNotification(self, notification_id):
        pass


def main():
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    Recorder(bus, sys.argv[1])
    # Claimed last, so a client that sees the name finds the object ready.
    name = dbus.service.BusName(NAME, bus, do_not_queue=True)
    GLib.MainLoop().run()
    del name


if __name__ == "__main__":
    main()
