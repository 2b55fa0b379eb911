#!/usr/bin/python3
"""A minimal X11 clipboard manager for tests: owns CLIPBOARD_MANAGER and, when a program
hands its clipboard over on exit (the SAVE_TARGETS request), fetches the text and writes it
to the file named on the command line. usage: clipboard_manager.py OUTFILE"""
import sys

from Xlib import X, Xatom, display
from Xlib.protocol import event

out = sys.argv[1]
d = display.Display()
screen = d.screen()
win = screen.root.create_window(0, 0, 1, 1, 0, screen.root_depth)
atom = lambda name: d.intern_atom(name)
MANAGER, SAVE, CLIPBOARD = atom("CLIPBOARD_MANAGER"), atom("SAVE_TARGETS"), atom("CLIPBOARD")
UTF8, PROP = atom("UTF8_STRING"), atom("TAVRIK_TEST_SAVED")
win.set_selection_owner(MANAGER, X.CurrentTime)
d.flush()
print("ready", flush=True)

pending = None  # the SAVE_TARGETS request being served
while True:
    e = d.next_event()
    if e.type == X.SelectionRequest and e.selection == MANAGER and e.target == SAVE:
        pending = e
        win.convert_selection(CLIPBOARD, UTF8, PROP, X.CurrentTime)
        d.flush()
    elif e.type == X.SelectionNotify and pending is not None:
        data = win.get_full_property(PROP, X.AnyPropertyType) if e.property != X.NONE else None
        with open(out, "wb") as f:
            f.write(bytes(data.value) if data else b"")
        reply = event.SelectionNotify(time=pending.time, requestor=pending.requestor,
                                      selection=pending.selection, target=pending.target,
                                      property=pending.property)
        pending.requestor.send_event(reply)
        d.flush()
        break
