#!/usr/bin/python3
"""The relay driving real toolkits in front, checked through each application's own state.

  tools/with-xvfb tools/with-session toolkit_e2e.py RELAY TOOLKIT [unittest args]

TOOLKIT is gtk3, gtk4 or qt5 (toolkit_app.py beside this file), or firefox or chromium
(browser_page.html beside this file, full screen, its state read from the title its own
script writes). The user's pointer rests outside the window during every take and must be
back there afterwards. (The X server is started outside the session bus so that the
accessibility bus knows the display.)
"""
import base64
import json
import os
import signal
import subprocess
import sys
import time
import unittest

RELAY = ""
# Read before the cases are defined: some are skipped for browsers.
TOOLKIT = sys.argv[2] if len(sys.argv) > 2 else ""
HERE = os.path.dirname(os.path.abspath(__file__))
APP = os.path.join(HERE, "toolkit_app.py")
PAGE = os.path.join(HERE, "browser_page.html")
BROWSERS = {  # the command showing a page full screen with a fresh profile
    "firefox": lambda profile: ["firefox-esr", "--no-remote", "--new-instance", "--kiosk",
                                "--profile", profile],
    "chromium": lambda profile: ["chromium", "--no-sandbox", "--no-first-run", "--kiosk",
                                 "--force-renderer-accessibility", "--password-store=basic",
                                 f"--user-data-dir={profile}"],
}
# Where browser_page.html places its field and list in a full-screen window.
PAGE_WIDGETS = {"entry": (22, 22, 400, 28), "list": (20, 80, 400, 200)}
PARKED = (5, 5)
READY_SECONDS = 15.0
USER_POINTER = ("The pointer moved or a button was pressed during the take; keep the mouse "
                "still while the window is filmed in front.")
USER_KEY = ("A key was pressed during the take; keep the keyboard still while the window is "
            "filmed in front.")
SENT_DROPPED = ("The selected window's toolkit drops input of this take sent to the window "
                "alone; film with the window in front instead (leave INPUT_RELAY_X11_ROUTE "
                "unset).")
# What each toolkit drops of the input sent to its window alone.
DROPPED_WHEN_SENT = {"gtk3": "pointer events", "gtk4": "everything", "qt5": "the wheel",
                     "firefox": "pointer events"}


def b64(text):
    return "type:" + base64.b64encode(text.encode()).decode()


def xdotool(*args):
    return subprocess.run(["xdotool", *map(str, args)], check=True, capture_output=True,
                          text=True).stdout


def pointer():
    fields = dict(f.split(":") for f in xdotool("getmouselocation").split())
    return int(fields["x"]), int(fields["y"])


def client_area(window):
    """The window's client area on the root, (x, y, width, height) (xdotool's position counts
    a frame twice)."""
    info = subprocess.run(["xwininfo", "-id", str(window)], check=True, capture_output=True,
                          text=True).stdout
    fields = dict(line.strip().split(": ", 1) for line in info.splitlines() if ": " in line)
    return tuple(int(fields[name]) for name in ("Absolute upper-left X", "Absolute upper-left Y",
                                                 "Width", "Height"))


def run_relay(args):
    return subprocess.run([RELAY, *args], capture_output=True, text=True, timeout=60)


def start_accessibility():
    subprocess.run(["gdbus", "call", "--session", "--dest", "org.a11y.Bus", "--object-path",
                    "/org/a11y/bus", "--method", "org.freedesktop.DBus.Properties.Set",
                    "org.a11y.Status", "IsEnabled", "<true>"], check=True, capture_output=True)
    # The registry runs before the applications start, so that every toolkit finds it.
    subprocess.run(["/usr/bin/python3", "-c", "import gi; gi.require_version('Atspi', '2.0');"
                    "from gi.repository import Atspi; Atspi.get_desktop(0).get_child_count()"],
                   check=True, capture_output=True)


class App:
    """One toolkit_app.py process; its state is read from its own widgets."""

    def __init__(self, title="toolkit app"):
        self.process = subprocess.Popen(["/usr/bin/python3", APP, TOOLKIT, title],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, text=True)
        ready = json.loads(self.process.stdout.readline())
        self.id = ready["window"]
        x0, y0, _, _ = client_area(self.id)
        self.widgets = {name: (x + x0, y + y0, w, h) for name, (x, y, w, h) in
                        ready["widgets"].items()}
        deadline = time.monotonic() + READY_SECONDS
        while run_relay(["elements", f"window:{self.id}"]).returncode != 0:
            if time.monotonic() > deadline:
                raise RuntimeError("the application never became inspectable")
            time.sleep(0.2)

    def at(self, widget, fx=0.5, fy=0.5):
        x, y, w, h = self.widgets[widget]
        return f"{round(x + w * fx)},{round(y + h * fy)}"

    def left_of_text(self, widget):
        x, y, w, h = self.widgets[widget]
        return f"{x + 12},{round(y + h / 2)}"

    def state(self):
        self.process.stdin.write("state\n")
        self.process.stdin.flush()
        return json.loads(self.process.stdout.readline())

    def settled(self):
        """The state once the application has handled what it was sent (a busy machine runs
        the tests two at a time)."""
        time.sleep(0.8)
        return self.state()

    def command(self, line):
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()

    def close(self):
        try:
            self.command("quit")
            self.process.wait(timeout=10)
        except (BrokenPipeError, subprocess.TimeoutExpired):
            self.process.kill()
            self.process.wait()


class Browser(App):
    """A browser showing browser_page.html full screen; the page's script writes its state
    into the title."""

    def __init__(self):
        import tempfile
        self.profile = tempfile.TemporaryDirectory()
        self.process = subprocess.Popen(
            [*BROWSERS[TOOLKIT](self.profile.name), "file://" + PAGE],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        deadline = time.monotonic() + 60
        self.id = None
        while self.id is None:
            if time.monotonic() > deadline:
                raise RuntimeError("the browser never showed the page")
            found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", '"text"'],
                                   capture_output=True, text=True).stdout.split()
            self.id = int(found[0]) if found else None
            time.sleep(0.5)
        self.widgets = dict(PAGE_WIDGETS)
        while run_relay(["elements", f"window:{self.id}"]).returncode != 0:
            if time.monotonic() > deadline:
                raise RuntimeError("the browser never became inspectable")
            time.sleep(0.5)

    def state(self):
        # A loaded browser can leave its title unreadable for a moment while it replaces it;
        # a window that is really gone still fails after the retries.
        for attempt in range(10):
            try:
                title = xdotool("getwindowname", self.id)
                return json.loads(title[:title.rindex("}") + 1])
            except (subprocess.CalledProcessError, ValueError):
                if attempt == 9:
                    raise
                time.sleep(0.2)

    def close(self):
        # The browser's helper processes write into the profile until they are gone too.
        os.killpg(self.process.pid, signal.SIGTERM)
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            pass
        try:
            os.killpg(self.process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.process.wait()
        self.profile.cleanup()


def application():
    return Browser() if TOOLKIT in BROWSERS else App()


class InFront(unittest.TestCase):
    def setUp(self):
        self.app = application()
        self.addCleanup(self.app.close)
        xdotool("mousemove", *PARKED)

    def take(self, *commands):
        done = run_relay([f"window:{self.app.id}", "d:20", "k:30", *commands])
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        self.assertEqual(pointer(), PARKED, "the user's pointer goes back")
        return done

    def test_click_type_select_all_and_retype(self):
        self.take(self.app.at("entry"), "click", b64("Hello é"))
        self.assertEqual(self.app.settled()["text"], "Hello é")
        self.take(self.app.at("entry"), "click", "key:cmd+a", b64("Bye"))
        state = self.app.settled()
        self.assertEqual((state["text"], state["focus"]), ("Bye", "entry"))

    def test_scroll(self):
        self.take(self.app.at("list"), "scroll:200")
        self.assertGreater(self.app.settled()["scroll"], 0)

    @unittest.skipIf(TOOLKIT == "chromium",
                     "Chromium on Xvfb selects nothing on a drag of the XTEST pointer, "
                     "xdotool's included")
    def test_drag_selects(self):
        self.take(self.app.at("entry"), "click", b64("alpha beta gamma"))
        x, y, w, h = self.app.widgets["entry"]
        # From the start of the text past its end; small first steps pass the toolkits' drag
        # threshold as a hand would. The press lands before or just after the first letter.
        steps = [f"{x + dx},{y + h // 2}" for dx in (18, 30, 90, w // 2, w - 5)]
        self.take(f"{x + 12},{y + h // 2}", "down", *steps, "wait:100", "up")
        start, end = self.app.settled()["selection"]
        self.assertIn(start, (0, 1))
        self.assertEqual(end, len("alpha beta gamma"))

    def test_double_click_takes_a_word(self):
        self.take(self.app.at("entry"), "click", b64("alpha beta gamma"))
        self.take(self.app.left_of_text("entry"), "click:2")
        self.assertEqual(self.app.settled()["selection"], [0, len("alpha")])

    @unittest.skipIf(TOOLKIT in BROWSERS, "the page has no menu")
    def test_menu_opened_during_the_take_is_in_scope(self):
        self.take(self.app.at("entry"), "click", b64("gone soon"))
        # The menu drops below its button on the window's bottom edge; its one item sits just
        # under the button (GTK 4's popover a little lower, below its arrow), beyond the window.
        x, y, w, h = self.app.widgets["menu"]
        item = (x + w // 2, y + h + (30 if TOOLKIT == "gtk4" else 14))
        _, top, _, height = client_area(self.app.id)
        self.assertGreaterEqual(item[1], top + height, "the item lies below the window")
        self.take(self.app.at("menu"), "click", "wait:600", "%d,%d" % item, "click")
        self.assertEqual(self.app.settled()["text"], "")

    def test_user_moving_the_pointer_stops_the_take(self):
        self.stopped_by(lambda: xdotool("mousemove", 40, 40), USER_POINTER)

    def test_user_pressing_a_key_stops_the_take(self):
        self.addCleanup(xdotool, "keyup", "shift")
        self.stopped_by(lambda: xdotool("keydown", "shift"), USER_KEY)

    def stopped_by(self, interruption, line):
        relay = subprocess.Popen([RELAY, f"window:{self.app.id}", self.app.at("entry"), "click",
                                  "wait:1500", b64("late")], stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True)
        while json.loads(relay.stdout.readline())["kind"] != "up":
            pass
        interruption()
        _, err = relay.communicate(timeout=10)
        self.assertEqual((relay.returncode, err), (2, line + "\n"))
        self.assertNotIn("late", self.app.settled()["text"])

    @unittest.skipIf(TOOLKIT not in DROPPED_WHEN_SENT, "the toolkit keeps what it is sent")
    def test_sent_input_the_toolkit_drops_is_refused_up_front(self):
        before = self.app.settled()
        done = subprocess.run(
            [RELAY, f"window:{self.app.id}", self.app.at("entry"), "click", b64("sent"),
             self.app.at("list"), "scroll:200"],
            env=dict(os.environ, INPUT_RELAY_X11_ROUTE="window"), capture_output=True, text=True,
            timeout=60)
        self.assertEqual((done.returncode, done.stdout, done.stderr), (2, "", SENT_DROPPED + "\n"))
        after = self.app.settled()
        self.assertEqual((after["text"], after["scroll"]), (before["text"], before["scroll"]))
        self.assertEqual(pointer(), PARKED)

    @unittest.skipIf(TOOLKIT in BROWSERS, "one browser at a time")
    def test_another_applications_focused_window_receives_nothing(self):
        other = App(title="other app")
        self.addCleanup(other.close)
        xdotool("windowfocus", "--sync", other.id)
        xdotool("mousemove", *PARKED)
        self.take(self.app.at("entry"), "click", b64("mine"), "key:cmd+a", self.app.at("list"),
                  "scroll:120")
        self.assertEqual(self.app.settled()["text"], "mine")
        state = other.state()
        self.assertEqual((state["text"], state["other"], state["scroll"]), ("", "untouched", 0))


def main():
    global RELAY, TOOLKIT
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    RELAY, TOOLKIT = sys.argv[1], sys.argv[2]
    start_accessibility()
    unittest.main(argv=[sys.argv[0], *sys.argv[3:]], verbosity=2)


if __name__ == "__main__":
    main()
