#!/usr/bin/env python3
"""The user of the test's GNOME session, at its keyboard: keys are typed through
Mutter's own org.gnome.Mutter.RemoteDesktop (headless Mutter has no input
devices). It watches the session bus for the portal backend's ScreenCast.Start
and, when no restore token answers it within a second, answers the dialog as
$SESSION_DIR/dialog-answer says: "share N" (the N-th monitor row), "window N"
(the N-th row of a window dialog), "deny" or "ignore". Each dialog is logged as
a line beginning "dialog". At start it leaves the overview and opens the
shell's D-Bus Eval through Looking Glass, as a developer would, so that the
fixture can press the shell's own "stop sharing" button."""
import os, sys, threading, time
import dbus
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

KEYSYMS = {'Return': 0xff0d, 'Tab': 0xff09, 'Escape': 0xff1b, 'space': 0x20, 'Down': 0xff54,
           'Home': 0xff50, 'F2': 0xffbf, 'shift': 0xffe1, 'ctrl': 0xffe3, 'alt': 0xffe9}
UNSAFE = 'global.context.unsafe_mode=true'


def log(*x):
    print('%.3f' % time.monotonic(), *x, flush=True)


# xdp-gnome 43's dialog: "Remember this selection" has the focus; Tab enters
# the list, Home/Down move the selection, ctrl+shift+Tab leaves it for Share.
def row_keys(n):
    return ['Tab', 'Home'] + ['Down'] * (n - 1) + ['ctrl+shift+Tab', 'space']


class Keyboard:
    """One RemoteDesktop session for the session's life: a client binds
    wl_keyboard only when the seat gains one, so a fresh one loses keys."""

    def __init__(self, bus):
        self.bus, self.session = bus, None

    def open(self):
        rd = self.bus.get_object('org.gnome.Mutter.RemoteDesktop', '/org/gnome/Mutter/RemoteDesktop')
        path = rd.CreateSession(dbus_interface='org.gnome.Mutter.RemoteDesktop')
        self.session = dbus.Interface(self.bus.get_object('org.gnome.Mutter.RemoteDesktop', path),
                                      'org.gnome.Mutter.RemoteDesktop.Session')
        self.session.Start()

    def type(self, keys):
        for _ in (1, 2):
            try:
                if self.session is None:
                    self.open()
                for k in keys:
                    syms = [KEYSYMS.get(p) or ord(p) for p in k.split('+')]
                    for s in syms:
                        self.session.NotifyKeyboardKeysym(dbus.UInt32(s), True)
                    for s in reversed(syms):
                        self.session.NotifyKeyboardKeysym(dbus.UInt32(s), False)
                    time.sleep(0.08)
                return True
            except dbus.DBusException as e:
                log('keyboard error:', e.get_dbus_message())
                self.session = None
        return False


def answer_keys():
    try:
        with open(os.path.join(os.environ['SESSION_DIR'], 'dialog-answer')) as f:
            mode = f.read().split()
    except OSError:
        mode = []
    mode = mode or ['share', '1']
    if mode[0] in ('share', 'window'):
        return mode, row_keys(int(mode[1]))
    return mode, ['Escape'] if mode[0] == 'deny' else None


def answer(kb, done, handle):
    if done.wait(1.0):
        return  # a restore token answered: no dialog
    mode, keys = answer_keys()
    log('dialog for', handle, 'answered', ' '.join(mode))
    for _ in range(5):  # under load the first keys can come before the dialog has focus
        if keys is None or done.is_set():
            return
        kb.type(keys)
        if done.wait(2.0):
            return


def unlock_eval(bus, kb):
    shell = dbus.Interface(bus.get_object('org.gnome.Shell', '/org/gnome/Shell'), 'org.gnome.Shell')
    for _ in range(3):
        kb.type(['alt+F2'])
        time.sleep(1.0)
        kb.type(['l', 'g', 'Return'])
        time.sleep(1.5)
        kb.type(list(UNSAFE) + ['Return'])
        time.sleep(0.5)
        kb.type(['Escape'])
        if shell.Eval('1')[0]:
            return True
    return False


def main():
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    kb = Keyboard(bus)
    kb.type(['Escape'])  # GNOME opens the overview at login
    if not unlock_eval(bus, kb):
        sys.exit('the shell did not take Looking Glass input')
    monitor = dbus.bus.BusConnection(os.environ['DBUS_SESSION_BUS_ADDRESS'])
    rules = ["type='method_call',interface='org.freedesktop.impl.portal.ScreenCast',member='Start'",
             "type='method_return'", "type='error'"]
    monitor.call_blocking('org.freedesktop.DBus', '/org/freedesktop/DBus', 'org.freedesktop.DBus.Monitoring',
                          'BecomeMonitor', 'asu', (rules, dbus.UInt32(0)))
    pending = {}

    def seen(_, msg):
        if msg.get_type() == 1 and msg.get_member() == 'Start':
            done = pending[(msg.get_sender(), msg.get_serial())] = threading.Event()
            threading.Thread(target=answer, args=(kb, done, str(msg.get_args_list()[0])), daemon=True).start()
        elif msg.get_type() in (2, 3):
            done = pending.pop((msg.get_destination(), msg.get_reply_serial()), None)
            if done:
                done.set()
    monitor.add_message_filter(seen)
    log('watching for ScreenCast dialogs')
    GLib.MainLoop().run()


main()
