#!/usr/bin/python3
"""A StatusNotifierWatcher with a host of its own, and a client for the items it holds: the
desktop's side of a tray icon, for tests on a private session bus.

  sni_host.py watch              own org.kde.StatusNotifierWatcher, print "watching", then
                                 "registered ITEM" / "unregistered ITEM" lines until killed
  sni_host.py items              the items registered, one a line
  sni_host.py get PROPERTY       a property of the item (byte arrays as their length)
  sni_host.py call METHOD ARG..  Activate X Y, SecondaryActivate X Y, ContextMenu X Y or
                                 Scroll DELTA ORIENTATION; prints the ms until the reply
  sni_host.py layout             the item's menu, a line an entry: ID, LABEL, FLAGS
                                 (separator, disabled, checked, unchecked), tab-separated
  sni_host.py click LABEL        Event "clicked" on the first entry whose label starts so
ITEM is SERVICE/PATH; --item ITEM picks one, otherwise the first registered is used.
Exit status 1 when there is no item or the item fails to answer.
"""
import argparse
import sys
import time

import dbus
import dbus.service

WATCHER = 'org.kde.StatusNotifierWatcher'
ITEM = 'org.kde.StatusNotifierItem'
MENU = 'com.canonical.dbusmenu'
PROPS = 'org.freedesktop.DBus.Properties'


class Watcher(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, '/StatusNotifierWatcher')
        self.items = []
        bus.add_signal_receiver(self.owner_changed, 'NameOwnerChanged', 'org.freedesktop.DBus')

    @dbus.service.method(WATCHER, in_signature='s', sender_keyword='sender')
    def RegisterStatusNotifierItem(self, service, sender=None):
        # A service name (its object at the usual path) or an object path of the caller.
        item = sender + service if service.startswith('/') else service + '/StatusNotifierItem'
        if item not in self.items:
            self.items.append(item)
            self.StatusNotifierItemRegistered(item)
            print('registered', item, flush=True)

    @dbus.service.method(WATCHER, in_signature='s')
    def RegisterStatusNotifierHost(self, service):
        pass

    @dbus.service.signal(WATCHER, signature='s')
    def StatusNotifierItemRegistered(self, item):
        pass

    @dbus.service.signal(WATCHER, signature='s')
    def StatusNotifierItemUnregistered(self, item):
        pass

    @dbus.service.signal(WATCHER, signature='')
    def StatusNotifierHostRegistered(self):
        pass

    @dbus.service.method(PROPS, in_signature='ss', out_signature='v')
    def Get(self, interface, name):
        return self.GetAll(interface)[name]

    @dbus.service.method(PROPS, in_signature='s', out_signature='a{sv}')
    def GetAll(self, interface):
        return {'RegisteredStatusNotifierItems': dbus.Array(self.items, signature='s'),
                'IsStatusNotifierHostRegistered': True, 'ProtocolVersion': dbus.Int32(0)}

    def owner_changed(self, name, old, new):
        if new:
            return
        for item in [i for i in self.items if i.split('/', 1)[0] == name]:
            self.items.remove(item)
            self.StatusNotifierItemUnregistered(item)
            print('unregistered', item, flush=True)


def watch(bus):
    from gi.repository import GLib
    watcher = Watcher(bus)
    # The names are held while the loop runs.
    names = [dbus.service.BusName(WATCHER, bus, do_not_queue=True),
             dbus.service.BusName('org.kde.StatusNotifierHost-%d' % id(watcher), bus)]
    watcher.StatusNotifierHostRegistered()
    print('watching', flush=True)
    GLib.MainLoop().run()
    del names


def item_object(bus, item):
    if not item:
        watcher = bus.get_object(WATCHER, '/StatusNotifierWatcher')
        items = watcher.Get(WATCHER, 'RegisteredStatusNotifierItems', dbus_interface=PROPS)
        if not items:
            sys.exit('no item registered')
        item = str(items[0])
    # Watchers list "SERVICE/PATH", or a bare service whose item is at the usual path.
    service, _, path = item.partition('/')
    return service, bus.get_object(service, '/' + (path or 'StatusNotifierItem'))


def plain(value):
    if isinstance(value, bytes):
        return '<%d bytes>' % len(value)
    if isinstance(value, (list, tuple)):
        return [plain(v) for v in value]
    return str(value)


def entries(bus, service, item):
    path = item.Get(ITEM, 'Menu', dbus_interface=PROPS)
    menu = bus.get_object(service, path)
    _, (_, _, children) = menu.GetLayout(0, -1, [], dbus_interface=MENU, timeout=5)
    for child_id, props, _ in children:
        flags = []
        if props.get('type') == 'separator':
            flags.append('separator')
        if not props.get('enabled', True):
            flags.append('disabled')
        if props.get('toggle-type'):
            flags.append('checked' if props.get('toggle-state') == 1 else 'unchecked')
        label = str(props.get('label', '')).replace('__', '\0').replace('_', '').replace('\0', '_')
        yield menu, int(child_id), label, ','.join(flags)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--item')
    parser.add_argument('command', choices=['watch', 'items', 'get', 'call', 'layout', 'click'])
    parser.add_argument('args', nargs='*')
    args = parser.parse_args()
    if args.command == 'watch':
        from dbus.mainloop.glib import DBusGMainLoop
        DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    if args.command == 'watch':
        watch(bus)
        return
    if args.command == 'items':
        watcher = bus.get_object(WATCHER, '/StatusNotifierWatcher')
        for item in watcher.Get(WATCHER, 'RegisteredStatusNotifierItems', dbus_interface=PROPS):
            print(item)
        return
    service, item = item_object(bus, args.item)
    if args.command == 'get':
        print(plain(item.Get(ITEM, args.args[0], dbus_interface=PROPS, byte_arrays=True)))
    elif args.command == 'call':
        method, rest = args.args[0], args.args[1:]
        values = [dbus.Int32(rest[0]), dbus.String(rest[1])] if method == 'Scroll' else [dbus.Int32(v) for v in rest]
        start = time.monotonic()
        item.get_dbus_method(method, ITEM)(*values, timeout=5)
        print(round((time.monotonic() - start) * 1000))
    elif args.command == 'layout':
        for _, child_id, label, flags in entries(bus, service, item):
            print('%d\t%s\t%s' % (child_id, label, flags))
    else:
        for menu, child_id, label, _ in entries(bus, service, item):
            if label and label.startswith(args.args[0]):
                menu.Event(child_id, 'clicked', dbus.String('', variant_level=1), dbus.UInt32(0),
                           dbus_interface=MENU, timeout=5)
                return
        sys.exit('no entry ' + args.args[0])


if __name__ == '__main__':
    try:
        main()
    except dbus.DBusException as error:
        sys.exit(str(error))
