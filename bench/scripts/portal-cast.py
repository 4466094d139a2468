#!/usr/bin/env python3
"""Obtains a screen cast of the first monitor from the desktop portal and runs
a command on its PipeWire remote, for the whole-process video benchmark.

  portal-cast.py CMD ARGS...   ('{fd}' and '{node}' in ARGS are replaced)

Prints "PID <pid>" once the command runs; the portal session lasts as long
as the command, which SIGTERM ends. Needs python3-dbus and python3-gi; run as the session's user
(the portal refuses root).
"""
import os
import signal
import subprocess
import sys

import dbus
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
portal = bus.get_object('org.freedesktop.portal.Desktop', '/org/freedesktop/portal/desktop')
cast = dbus.Interface(portal, 'org.freedesktop.portal.ScreenCast')
sender = bus.get_unique_name()[1:].replace('.', '_')
loop = GLib.MainLoop()
count = [0]


def request(method, *args, options):
    count[0] += 1
    token = 'bench%d_%d' % (os.getpid(), count[0])
    path = '/org/freedesktop/portal/desktop/request/%s/%s' % (sender, token)
    answer = {}

    def on_response(code, results):
        answer['code'], answer['results'] = int(code), results
        loop.quit()
    match = bus.add_signal_receiver(on_response, 'Response', 'org.freedesktop.portal.Request',
                                    'org.freedesktop.portal.Desktop', path)
    options['handle_token'] = token
    getattr(cast, method)(*args, dbus.Dictionary(options, signature='sv'))
    timer = GLib.timeout_add(15000, loop.quit)
    loop.run()
    GLib.source_remove(timer)
    match.remove()
    if answer.get('code') != 0:
        sys.exit('portal-cast: %s answered %s' % (method, answer.get('code', 'nothing')))
    return answer['results']


session = request('CreateSession', options={'session_handle_token': 'bench%d' % os.getpid()})
session = dbus.ObjectPath(session['session_handle'])
request('SelectSources', session,
        options={'types': dbus.UInt32(1), 'multiple': False, 'cursor_mode': dbus.UInt32(2)})
streams = request('Start', session, '', options={})['streams']
fd = cast.OpenPipeWireRemote(session, dbus.Dictionary({}, signature='sv')).take()
os.set_inheritable(fd, True)
argv = [a.replace('{fd}', str(fd)).replace('{node}', str(streams[0][0])) for a in sys.argv[1:]]
# The command's output is not ours to pass on: our reader sees the end of
# our output once we are gone.
child = subprocess.Popen(argv, pass_fds=(fd,), stdout=subprocess.DEVNULL)
signal.signal(signal.SIGTERM, lambda *_: child.terminate())
print('PID %d' % child.pid, flush=True)
sys.exit(child.wait())
