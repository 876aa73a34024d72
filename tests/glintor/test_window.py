#!/usr/bin/python3
"""A GTK 3 window for the cursor-kind tests.

It holds a text entry, a button, a check box and three labels whose accessible
descriptions are "window resize handle", "Close" and "Resize"; beside them a spin
button, a slider that draws its value, and a notebook whose first page holds a
text entry, and a slider described as "Volume"; all on a fixed grid with empty space to the right. Once it is shown it
prints one JSON line with the screen rectangle of every widget, then runs until it
is killed or its standard input closes.

Arguments (all optional): the window's x and y, and the number of extra top-level
windows to show beside it (benchmarks use them to stand for busier applications)."""

import json
import sys

import gi

gi.require_version("Gtk", "3.0")
from gi.repository import GLib, Gtk  # noqa: E402

WINDOW_X = int(sys.argv[1]) if len(sys.argv) > 1 else 100
WINDOW_Y = int(sys.argv[2]) if len(sys.argv) > 2 else 80
EXTRA_WINDOWS = int(sys.argv[3]) if len(sys.argv) > 3 else 0

window = Gtk.Window(title="glintor test window")
window.set_decorated(False)
window.set_default_size(600, 360)
window.move(WINDOW_X, WINDOW_Y)
fixed = Gtk.Fixed()
window.add(fixed)

widgets = {}


def place(name, widget, x, y, width, height, description=None):
    widget.set_size_request(width, height)
    fixed.put(widget, x, y)
    if description is not None:
        widget.get_accessible().set_description(description)
    widgets[name] = widget


place("entry", Gtk.Entry(), 20, 20, 200, 40)
place("button", Gtk.Button(label="Press"), 20, 80, 200, 40)
place("checkbox", Gtk.CheckButton(label="Tick"), 20, 140, 200, 40)
place("resizeHandle", Gtk.Label(label="grip"), 20, 200, 200, 30, "window resize handle")
place("closeLabel", Gtk.Label(label="x"), 20, 250, 200, 30, "Close")
place("resizeLabel", Gtk.Label(label="R"), 20, 300, 200, 30, "Resize")
place("spinButton", Gtk.SpinButton.new_with_range(0, 100, 1), 240, 20, 140, 40)
slider = Gtk.Scale.new_with_range(Gtk.Orientation.HORIZONTAL, 0, 100, 1)
slider.set_value(17)
slider.set_draw_value(True)
place("slider", slider, 240, 80, 140, 50)
# A slider whose description says what it is: that description is its kind. (GTK
# gives a slider that draws its value that value text as description instead.)
described_slider = Gtk.Scale.new_with_range(Gtk.Orientation.HORIZONTAL, 0, 100, 1)
described_slider.set_value(40)
described_slider.set_draw_value(False)
place("describedSlider", described_slider, 240, 310, 140, 40, "Volume")
notebook = Gtk.Notebook()
notebook_entry = Gtk.Entry()
notebook.append_page(notebook_entry, Gtk.Label(label="First"))
notebook.append_page(Gtk.Label(label="second page"), Gtk.Label(label="Second"))
place("notebook", notebook, 240, 150, 150, 150)

extra_windows = []
for index in range(EXTRA_WINDOWS):
    extra = Gtk.Window(title="glintor extra window %d" % index)
    extra.set_decorated(False)
    extra.set_default_size(200, 120)
    extra.move(WINDOW_X + 20 * (index + 1), WINDOW_Y + 20 * (index + 1))
    extra.add(Gtk.Button(label="Extra %d" % index))
    extra_windows.append(extra)


def report():
    origin = window.get_window().get_origin()
    rectangles = {}
    for name, widget in widgets.items():
        allocation = widget.get_allocation()
        rectangles[name] = {"x": origin.x + allocation.x, "y": origin.y + allocation.y,
                            "width": allocation.width, "height": allocation.height}
    # Inside the notebook: placed by the notebook, so found through the window.
    x, y = notebook_entry.translate_coordinates(window, 0, 0)
    allocation = notebook_entry.get_allocation()
    rectangles["notebookEntry"] = {"x": origin.x + x, "y": origin.y + y,
                                   "width": allocation.width, "height": allocation.height}
    width, height = window.get_size()
    rectangles["window"] = {"x": origin.x, "y": origin.y, "width": width, "height": height}
    # Empty space: the right of the window holds no widget.
    rectangles["empty"] = {"x": origin.x + 460, "y": origin.y + 150, "width": 100, "height": 60}
    print(json.dumps(rectangles), flush=True)
    return False


def on_stdin(_channel, _condition):
    Gtk.main_quit()
    return False


window.connect("destroy", Gtk.main_quit)
window.show_all()
for extra in extra_windows:
    extra.show_all()
# The allocation is final once the first frame has been drawn.
window.connect("map-event", lambda *_: GLib.timeout_add(200, report) and False)
GLib.io_add_watch(GLib.IOChannel.unix_new(sys.stdin.fileno()), GLib.PRIORITY_DEFAULT,
                  GLib.IOCondition.HUP | GLib.IOCondition.IN, on_stdin)
Gtk.main()
