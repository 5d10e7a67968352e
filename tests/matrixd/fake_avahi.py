#!/usr/bin/python3
# An Avahi daemon as matrixd sees it on the system bus, for the announcement tests: it takes the
# name org.freedesktop.Avahi on the bus given, hands out entry groups, and appends one line per
# service added to the file given ("AddService NAME TYPE PORT").
#   fake_avahi.py LOG BUS_ADDRESS
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

GROUP = "org.freedesktop.Avahi.EntryGroup"
SERVER = "org.freedesktop.Avahi.Server"
ESTABLISHED = 2


class Group(dbus.service.Object):
    @dbus.service.method(GROUP, in_signature="iiussssqaay")
    def AddService(self, interface, protocol, flags, name, kind, domain, host, port, txt):
        with open(sys.argv[1], "a") as log:
            log.write("AddService %s %s %d\n" % (name, kind, port))

    @dbus.service.method(GROUP)
    def Commit(self):
        GLib.idle_add(lambda: self.StateChanged(ESTABLISHED, "") and False)

    @dbus.service.method(GROUP)
    def Reset(self):
        pass

    @dbus.service.method(GROUP)
    def Free(self):
        self.remove_from_connection()

    @dbus.service.signal(GROUP, signature="is")
    def StateChanged(self, state, error):
        pass


class Server(dbus.service.Object):
    groups = 0

    @dbus.service.method(SERVER, out_signature="o")
    def EntryGroupNew(self):
        Server.groups += 1
        path = "/Client1/EntryGroup%d" % Server.groups
        Group(self.connection, path)
        return dbus.ObjectPath(path)


DBusGMainLoop(set_as_default=True)
bus = dbus.bus.BusConnection(sys.argv[2])
Server(bus, "/")
name = dbus.service.BusName("org.freedesktop.Avahi", bus)
GLib.MainLoop().run()
