#!/usr/bin/python3
# An Avahi daemon as matrixd sees it on the system bus, for the announcement tests: it takes the
# name org.freedesktop.Avahi on the bus given, hands out entry groups, and appends one line per
# service added to the file given ("AddService NAME TYPE PORT"); a browser for web services
# finds one other matrixd panel, "Studio B" at 10.0.0.7:9980.
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


BROWSER = "org.freedesktop.Avahi.ServiceBrowser"


class Browser(dbus.service.Object):
    @dbus.service.signal(BROWSER, signature="iisssu")
    def ItemNew(self, interface, protocol, name, kind, domain, flags):
        pass


class Server(dbus.service.Object):
    groups = 0

    @dbus.service.method(SERVER, out_signature="o")
    def EntryGroupNew(self):
        Server.groups += 1
        path = "/Client1/EntryGroup%d" % Server.groups
        Group(self.connection, path)
        return dbus.ObjectPath(path)

    @dbus.service.method(SERVER, in_signature="iissu", out_signature="o")
    def ServiceBrowserNew(self, interface, protocol, kind, domain, flags):
        Server.groups += 1
        path = "/Client1/ServiceBrowser%d" % Server.groups
        browser = Browser(self.connection, path)
        GLib.idle_add(lambda: browser.ItemNew(2, 0, "Studio B", kind, "local", 0) and False)
        return dbus.ObjectPath(path)

    @dbus.service.method(SERVER, in_signature="iisssiu", out_signature="iissssisqaayu")
    def ResolveService(self, interface, protocol, name, kind, domain, aprotocol, flags):
        txt = [dbus.ByteArray(b"matrixd=panel"), dbus.ByteArray(b"path=/")]
        return (interface, protocol, name, kind, domain, "studio-b.local", 0, "10.0.0.7",
                dbus.UInt16(9980), txt, dbus.UInt32(0))


DBusGMainLoop(set_as_default=True)
bus = dbus.bus.BusConnection(sys.argv[2])
Server(bus, "/")
name = dbus.service.BusName("org.freedesktop.Avahi", bus)
GLib.MainLoop().run()
