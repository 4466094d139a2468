#!/usr/bin/env python3
"""A full-screen window of a known colour (argv[1], hex) with a small white block
moving along its bottom edge, since a compositor sends a cast nothing while
nothing changes. GTK 3 on Wayland. argv[2] = 'windowed': a 640x360 window
instead (argv[3]: its title)."""
import sys, gi
gi.require_version('Gtk', '3.0')
from gi.repository import Gtk, GLib
c = (sys.argv[1] if len(sys.argv) > 1 else '336699').lstrip('#')
rgb = [int(c[i:i + 2], 16) / 255 for i in (0, 2, 4)]
windowed = len(sys.argv) > 2 and sys.argv[2] == 'windowed'
w = Gtk.Window(title=sys.argv[3] if len(sys.argv) > 3 else 'ostrovane-colour'); w.set_decorated(False)
da = Gtk.DrawingArea(); w.add(da)
pos = [0]
def draw(_, cr):
    if pos[0] == 0:
        print('drawn', flush=True)  # the fixture waits for this
    a = da.get_allocation()
    cr.set_source_rgb(*rgb); cr.paint()
    cr.set_source_rgb(1, 1, 1); cr.rectangle(pos[0] % max(1, a.width - 64), a.height - 24, 64, 16); cr.fill()
def tick():
    pos[0] += 16; da.queue_draw(); return True
da.connect('draw', draw); w.connect('destroy', Gtk.main_quit)
GLib.timeout_add(100, tick)
w.set_default_size(640, 360) if windowed else w.fullscreen()
w.show_all(); Gtk.main()
