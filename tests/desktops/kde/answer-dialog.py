#!/usr/bin/env python3
"""The user of the test's KDE session, as org.ostrovane.TestUser on the session
bus. answer.js calls Dialog() when the portal's dialog appears; the dialog is
then answered as $SESSION_DIR/dialog-answer says, through KWin's fake input
($FAKE_KEY): "share N" / "window N" click card N (the cards take no keyboard
focus) and press Enter, "deny" presses Esc, "ignore" does nothing. Each
dialog is logged as a line beginning "dialog".

It also stands for the panel's system tray (org.kde.StatusNotifierWatcher):
the portal shows a tray item while it shares, and StopSharing() chooses its
"End" entry, as the user ending the share from the tray does."""
import os, subprocess, time
import dbus, dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

KEY = os.environ['FAKE_KEY']
# The second card's centre from the dialog's top-left corner; cards lie in two
# columns 256 px apart, the second row 172 px lower.
CARD = (406, 239)
WATCHER = 'org.kde.StatusNotifierWatcher'


def log(*x):
    print('%.3f' % time.monotonic(), *x, flush=True)


def policy():
    try:
        with open(os.path.join(os.environ['SESSION_DIR'], 'dialog-answer')) as f:
            return f.read().split() or ['share', '1']
    except OSError:
        return ['share', '1']


class User(dbus.service.Object):
    SUPPORTS_MULTIPLE_OBJECT_PATHS = True

    def __init__(self, bus):
        super().__init__()
        self.bus, self.items, self.dialog, self.origin = bus, [], None, (0, 0)

    @dbus.service.method('org.ostrovane.TestUser', in_signature='sii')
    def Dialog(self, caption, x, y):
        answer = policy()
        log('dialog %r answered %s' % (str(caption), ' '.join(answer)))
        dialog = self.dialog = object()
        self.origin = (x, y)
        if answer[0] in ('share', 'window', 'deny'):
            # The dialog's QML lays itself out first; under load a click can
            # come too early, so it is tried again while the dialog stays.
            GLib.timeout_add(400, lambda: self.press(answer, dialog, 4))

    @dbus.service.method('org.ostrovane.TestUser', in_signature='sii')
    def Moved(self, _, x, y):
        self.origin = (x, y)

    def press(self, answer, dialog, tries):
        if dialog is not self.dialog or tries == 0:
            return False
        if answer[0] == 'deny':
            steps = [['1']]
        else:
            n, (x, y) = int(answer[1]), self.origin
            steps = [['click', str(x + CARD[0] - 256 * (1 - n % 2)), str(y + CARD[1] + 172 * (n >= 2))], ['28']]
        log('pressing', ' '.join(' '.join(step) for step in steps))
        for step in steps:
            subprocess.call([KEY] + step)
            time.sleep(0.25)
        GLib.timeout_add(2000, lambda: self.press(answer, dialog, tries - 1))
        return False

    @dbus.service.method('org.ostrovane.TestUser')
    def Closed(self):
        self.dialog = None

    @dbus.service.method('org.ostrovane.TestUser', out_signature='i')
    def StopSharing(self):
        ended = 0
        for service in self.items:
            try:
                menu = self.bus.get_object(service, '/MenuBar')
                _, (_, _, children) = menu.GetLayout(0, -1, dbus.Array([], signature='s'),
                                                   dbus_interface='com.canonical.dbusmenu')
                for child in children:
                    if child[1].get('label') == 'End':
                        menu.Event(child[0], 'clicked', dbus.Int32(0), dbus.UInt32(0),
                                   dbus_interface='com.canonical.dbusmenu')
                        ended += 1
            except dbus.DBusException:
                pass  # an item of a share that has ended
        log('stop sharing: %d share(s) ended' % ended)
        return ended

    @dbus.service.method(WATCHER, in_signature='s', sender_keyword='sender')
    def RegisterStatusNotifierItem(self, service, sender=None):
        self.items.append(service if service.startswith(':') else sender)

    @dbus.service.method(WATCHER, in_signature='s')
    def RegisterStatusNotifierHost(self, _):
        pass

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature='ss', out_signature='v')
    def Get(self, _, name):
        return self.GetAll(WATCHER)[name]

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature='s', out_signature='a{sv}')
    def GetAll(self, _):
        return {'IsStatusNotifierHostRegistered': True, 'ProtocolVersion': dbus.Int32(0),
                'RegisteredStatusNotifierItems': dbus.Array(self.items, signature='s')}


DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
user = User(bus)
for path in ('/', '/StatusNotifierWatcher'):
    user.add_to_connection(bus, path)
names = [dbus.service.BusName(n, bus) for n in (WATCHER, 'org.ostrovane.TestUser')]
log('answering dialogs')
GLib.MainLoop().run()
