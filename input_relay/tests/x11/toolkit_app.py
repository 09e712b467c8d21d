#!/usr/bin/python3
"""A small application in one of the toolkits the relay drives for real:

  toolkit_app.py gtk3|gtk4|qt5 [TITLE]

It shows a text field, a word list to scroll, a second text field and a menu button, and
answers on standard output from its own widgets, never from the events it received. The first
line is {"window": XID, "pid": PID, "widgets": {NAME: [X, Y, W, H]}} once it is shown,
rectangles relative to the window's client area. Each "state" line on standard input is
answered with {"text", "selection": [START, END], "scroll", "focus", "other"} of the text
fields and the list; "quit" ends it. The menu button, on the window's bottom edge, opens a
pop-up menu below it, beyond the window, whose one item, "Clear", empties the first field.
"""
import json
import os
import sys

TOOLKIT = sys.argv[1]
TITLE = sys.argv[2] if len(sys.argv) > 2 else "toolkit app"
WORDS = [f"line {i} alpha beta" for i in range(200)]
SIZE = (600, 460)
MENU_BUTTON_WIDTH = 90


def emit(value):
    sys.stdout.write(json.dumps(value) + "\n")
    sys.stdout.flush()


def answer(line, state, quit_):
    line = line.strip()
    if line == "state":
        emit(state())
    elif line == "quit":
        quit_()


def run_gtk(version):
    import gi
    gi.require_version("Gtk", version)
    from gi.repository import GLib, Gtk
    four = version == "4.0"
    if four:
        window = Gtk.Window(title=TITLE)
    else:
        window = Gtk.Window(title=TITLE)
        window.move(100, 100)
    window.set_default_size(*SIZE)
    box = Gtk.Box(orientation=Gtk.Orientation.VERTICAL, spacing=8)
    entry = Gtk.Entry()
    menu_button = Gtk.MenuButton(label="Menu")
    menu_button.set_halign(Gtk.Align.START)
    menu_button.set_size_request(MENU_BUTTON_WIDTH, -1)
    if four:
        popover = Gtk.Popover()
        clear = Gtk.Button(label="Clear")
        clear.connect("clicked", lambda *a: (entry.set_text(""), popover.popdown()))
        popover.set_child(clear)
        menu_button.set_popover(popover)
    else:
        menu_widget = Gtk.Menu()
        item = Gtk.MenuItem(label="Clear")
        item.connect("activate", lambda *a: entry.set_text(""))
        menu_widget.append(item)
        menu_widget.show_all()
        menu_button.set_popup(menu_widget)
    other = Gtk.Entry()
    other.set_text("untouched")
    listing = Gtk.Box(orientation=Gtk.Orientation.VERTICAL)
    for word in WORDS:
        listing.append(Gtk.Label(label=word)) if four else listing.pack_start(
            Gtk.Label(label=word), False, False, 0)
    scrolled = Gtk.ScrolledWindow()
    scrolled.set_vexpand(True)
    if four:
        scrolled.set_child(listing)
        for child in (entry, scrolled, other, menu_button):
            box.append(child)
        window.set_child(box)
    else:
        scrolled.add(listing)
        box.pack_start(entry, False, False, 0)
        box.pack_start(scrolled, True, True, 0)
        box.pack_start(other, False, False, 0)
        box.pack_start(menu_button, False, False, 0)
        window.add(box)
    loop = GLib.MainLoop()
    window.connect("destroy" if not four else "close-request", lambda *a: loop.quit())

    def rect(widget):
        if four:
            # Client-side decorations put the widgets at an offset inside the X window.
            ok, bounds = widget.compute_bounds(window)
            dx, dy = window.get_surface_transform()
            return [round(bounds.origin.x + dx), round(bounds.origin.y + dy),
                    round(bounds.size.width), round(bounds.size.height)]
        x, y = widget.translate_coordinates(window, 0, 0)
        a = widget.get_allocation()
        return [x, y, a.width, a.height]

    def state():
        bounds = entry.get_selection_bounds()
        focus = window.get_focus()

        def within(widget):  # GTK 4 focuses the text inside the entry
            return focus is not None and (focus is widget or focus.is_ancestor(widget))
        return {"text": entry.get_text(), "selection": list(bounds) if bounds else [],
                "scroll": scrolled.get_vadjustment().get_value(),
                "focus": "entry" if within(entry) else "other" if within(other) else None,
                "other": other.get_text()}

    def on_input(source, condition):
        line = sys.stdin.readline()
        if not line:
            loop.quit()
            return False
        answer(line, state, loop.quit)
        return True

    def announce():
        if four:
            surface = window.get_surface()
            xid = surface.get_xid()
        else:
            xid = window.get_window().get_xid()
        emit({"window": xid, "pid": os.getpid(),
              "widgets": {"menu": rect(menu_button), "entry": rect(entry), "list": rect(scrolled),
                          "other": rect(other)}})
        return False

    GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, on_input)
    if four:
        window.present()
    else:
        window.show_all()
    GLib.timeout_add(500, announce)
    loop.run()


def run_qt():
    from PyQt5.QtCore import QSocketNotifier, QTimer
    from PyQt5.QtWidgets import (QApplication, QLabel, QLineEdit, QMenu, QPushButton,
                                 QScrollArea, QVBoxLayout, QWidget)
    app = QApplication([sys.argv[0]])
    window = QWidget()
    window.setWindowTitle(TITLE)
    window.setGeometry(100, 100, *SIZE)
    layout = QVBoxLayout(window)
    entry = QLineEdit()
    menu_button = QPushButton("Menu")
    menu_button.setFixedWidth(MENU_BUTTON_WIDTH)
    popup = QMenu(window)
    popup.addAction("Clear", lambda: entry.setText(""))
    menu_button.setMenu(popup)
    other = QLineEdit("untouched")
    inner = QWidget()
    inner_layout = QVBoxLayout(inner)
    for word in WORDS:
        inner_layout.addWidget(QLabel(word))
    scrolled = QScrollArea()
    scrolled.setWidget(inner)
    for widget in (entry, scrolled, other, menu_button):
        layout.addWidget(widget)

    def rect(widget):
        point = widget.mapTo(window, widget.rect().topLeft())
        return [point.x(), point.y(), widget.width(), widget.height()]

    def state():
        focus = app.focusWidget()
        start = entry.selectionStart()
        return {"text": entry.text(),
                "selection": [start, start + len(entry.selectedText())] if start >= 0 else [],
                "scroll": scrolled.verticalScrollBar().value(),
                "focus": "entry" if focus is entry else "other" if focus is other else None,
                "other": other.text()}

    def on_input():
        line = sys.stdin.readline()
        if not line:
            app.quit()
            return
        answer(line, state, app.quit)

    notifier = QSocketNotifier(sys.stdin.fileno(), QSocketNotifier.Read)
    notifier.activated.connect(on_input)
    window.show()
    QTimer.singleShot(500, lambda: emit({
        "window": int(window.winId()), "pid": os.getpid(),
        "widgets": {"menu": rect(menu_button), "entry": rect(entry), "list": rect(scrolled),
                    "other": rect(other)}}))
    app.exec_()


if __name__ == "__main__":
    if TOOLKIT == "qt5":
        os.environ.setdefault("QT_ACCESSIBILITY", "1")
        os.environ.setdefault("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1")
        run_qt()
    else:
        run_gtk("4.0" if TOOLKIT == "gtk4" else "3.0")
