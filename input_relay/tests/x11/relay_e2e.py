#!/usr/bin/env python3
"""End-to-end runs of input_relay over X11 and AT-SPI against relay_test_window.

Run on a private X server inside a private session bus:
  tools/with-session tools/with-xvfb relay_e2e.py RELAY TEST_WINDOW [unittest args]
Under a window manager (X11_WINDOW_MANAGER set, see platform/linux/tests/with-openbox) only
the cases that depend on one run.
"""
import base64
import json
import os
import queue
import random
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

RELAY = ""
TEST_WINDOW = ""
UNDER_WM = bool(os.environ.get("X11_WINDOW_MANAGER"))
GEOMETRY = (100, 100, 800, 600)
READY_SECONDS = 10.0
CANCELLED = "Selected capture input was cancelled."
LEFT = "Input left the selected capture window."
MOVED = "Selected capture window moved, changed size or closed. Inspect it before another take."
NOT_TRUSTED = ("Turn on assistive technologies for this desktop session (GNOME: Settings > "
               "Accessibility; elsewhere set org.a11y.Status IsEnabled on the session bus) before "
               "assistant capture.")
BUTTON_MASK_1 = 256
SHIFT_MASK = 1
CONTROL_MASK = 4


def set_accessibility(enabled):
    subprocess.run(["gdbus", "call", "--session", "--dest", "org.a11y.Bus", "--object-path",
                    "/org/a11y/bus", "--method", "org.freedesktop.DBus.Properties.Set",
                    "org.a11y.Status", "IsEnabled", "<true>" if enabled else "<false>"],
                   check=True, capture_output=True)


def b64(text):
    return "type:" + base64.b64encode(text.encode()).decode()


class TestWindow:
    """One relay_test_window process; its event log grows in the background."""

    def __init__(self, content="widgets", geometry=GEOMETRY, title="relay test window"):
        self.process = subprocess.Popen(
            [TEST_WINDOW, "--content", content, "--geometry", ",".join(map(str, geometry)),
             "--title", title],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.events = []
        self.lock = threading.Condition()
        ready = json.loads(self.process.stdout.readline())
        self.id, self.pid = ready["window"], ready["pid"]
        self.geometry = geometry
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        self._await_accessible()

    def _read(self):
        for line in self.process.stdout:
            with self.lock:
                self.events.append(json.loads(line))
                self.lock.notify_all()

    def _await_accessible(self):
        # The tree reaches the bus a moment after the window is mapped.
        deadline = time.monotonic() + READY_SECONDS
        while True:
            done = run_relay([f"window:{self.id}"])
            if done.returncode == 0:
                return
            if time.monotonic() > deadline:
                raise RuntimeError(f"the test window never became inspectable: {done.stderr}")
            time.sleep(0.1)

    def command(self, line):
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()

    def wait_for(self, predicate, seconds=5.0):
        """Events so far once one satisfies predicate."""
        deadline = time.monotonic() + seconds
        with self.lock:
            while not any(predicate(e) for e in self.events):
                if not self.lock.wait(deadline - time.monotonic()):
                    raise AssertionError("the window never received the expected event")
            return list(self.events)

    def settled(self, x, y):
        """All events up to a final move to (x, y) sent by a run of its own."""
        done = run_relay([f"window:{self.id}", f"{x},{y}"])
        if done.returncode != 0:
            raise AssertionError(f"the final move failed: {done.stderr}")
        return self.wait_for(lambda e: e["type"] == "MotionNotify" and
                             (e["root_x"], e["root_y"]) == (x, y))

    def close(self):
        self.process.stdin.close()
        self.process.wait(timeout=10)
        self.reader.join(timeout=10)
        self.process.stdout.close()


def run_relay(args, **kwargs):
    return subprocess.run([RELAY, *args], capture_output=True, text=True, timeout=30, **kwargs)


def records_of(done):
    return [json.loads(line) for line in done.stdout.splitlines()]


def expected_events(records):
    """The event each record stands for, as (type, detail, root x, root y)."""
    events = []
    for r in records:
        point = (round(r["x"]), round(r["y"]))
        if r["kind"] == "move":
            events.append(("MotionNotify", None) + point)
        elif r["kind"] in ("down", "up"):
            events.append(("ButtonPress" if r["kind"] == "down" else "ButtonRelease", 1) + point)
        elif r["kind"] == "scroll":
            events.append(("ButtonPress", 4 if r["dy"] < 0 else 5) + point)
    return events


def as_tuple(event):
    detail = event.get("button") if event["type"].startswith("Button") else None
    return (event["type"], detail, event.get("root_x"), event.get("root_y"))


def unbalanced(events):
    """Buttons and keycodes pressed more often than released."""
    count = {}
    for e in events:
        if e["type"] in ("ButtonPress", "KeyPress"):
            name = ("button", e["button"]) if "button" in e else ("key", e["keycode"])
            count[name] = count.get(name, 0) + 1
        elif e["type"] in ("ButtonRelease", "KeyRelease"):
            name = ("button", e["button"]) if "button" in e else ("key", e["keycode"])
            count[name] = count.get(name, 0) - 1
    return {name: n for name, n in count.items() if n != 0}


class RelayCase(unittest.TestCase):
    def setUp(self):
        self.window = TestWindow()
        self.addCleanup(lambda: self.window.close())

    def token(self):
        return f"window:{self.window.id}"

    def changed_during_a_run(self, change):
        """The failure line of a run whose window or permission changes between two moves."""
        relay = subprocess.Popen([RELAY, self.token(), "300,300", "wait:1500", "310,300"],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.assertEqual(json.loads(relay.stdout.readline())["kind"], "move")
        change()
        _, err = relay.communicate(timeout=10)
        self.assertEqual(relay.returncode, 2)
        moves = [e for e in self.window.events if e["type"] == "MotionNotify"]
        self.assertNotIn(310, [e["root_x"] for e in moves])
        return err

    def assert_delivered(self, records, events):
        """The records' events arrive in order, every event synthetic and placed in the
        window as well as on the root."""
        x0, y0 = self.window.geometry[:2]
        pointer = [e for e in events if "root_x" in e and e["type"] != "KeyPress"
                   and e["type"] != "KeyRelease"]
        remaining = iter(as_tuple(e) for e in pointer)
        for wanted in expected_events(records):
            self.assertIn(wanted, remaining, f"{wanted} missing or out of order")
        for e in events:
            self.assertTrue(e["synthetic"], e)
            if "root_x" in e:
                self.assertEqual((e["x"], e["y"]), (e["root_x"] - x0, e["root_y"] - y0), e)


@unittest.skipIf(UNDER_WM, "no window manager needed")
class Examples(RelayCase):
    def test_click_type_and_return(self):
        done = run_relay([self.token(), "d:12", "k:60", "640,360", "click", "type:SGVsbG8=",
                          "key:Enter"])
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        records = records_of(done)
        self.assertEqual([r["kind"] for r in records], ["move", "down", "up"] + ["key"] * 7)
        self.assertEqual([r["key"] for r in records[3:]],
                         ["ShiftLeft", "KeyH", "KeyE", "KeyL", "KeyL", "KeyO", "Enter"])
        events = self.window.settled(641, 361)
        self.assert_delivered(records, events)
        presses = [e for e in events if e["type"] == "KeyPress"]
        self.assertEqual([e["keysym"] for e in presses],
                         ["Shift_L", "h", "e", "l", "l", "o", "Return"])
        self.assertEqual(presses[1]["state"] & SHIFT_MASK, SHIFT_MASK)
        self.assertEqual(unbalanced(events), {})

    def test_drag(self):
        done = run_relay([self.token(), "300,200", "down", "420,200", "500,260", "up"])
        self.assertEqual(done.returncode, 0, done.stderr)
        records = records_of(done)
        self.assertEqual([r["kind"] for r in records], ["move", "down", "move", "move", "up"])
        events = self.window.settled(301, 201)
        self.assert_delivered(records, events)
        drags = [e for e in events if e["type"] == "MotionNotify" and e["state"] & BUTTON_MASK_1]
        self.assertEqual([(e["root_x"], e["root_y"]) for e in drags], [(420, 200), (500, 260)])

    def test_double_click_and_scroll(self):
        done = run_relay([self.token(), "700,400", "click:2", "wait:250", "scroll:-120"])
        self.assertEqual(done.returncode, 0, done.stderr)
        records = records_of(done)
        self.assertEqual([r["kind"] for r in records],
                         ["move", "down", "up", "down", "up", "scroll"])
        self.assertEqual(records[-1]["dy"], -120)
        events = self.window.settled(701, 401)
        self.assert_delivered(records, events)
        wheel = [e["button"] for e in events if e["type"] == "ButtonPress" and e["button"] > 3]
        self.assertEqual(wheel, [4, 4, 4])
        self.assertEqual(unbalanced(events), {})

    def test_elements(self):
        before = len(self.window.events)
        done = run_relay(["elements", self.token()])
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        report = json.loads(done.stdout)
        self.assertFalse(report["truncated"])
        by_label = {e["label"]: e for e in report["elements"]}
        cases = [  # label, role, value (None: no value)
            ("Name", "staticText", "Name"),
            ("Your name", "textField", "Ada"),
            ("Your password", "secureTextField", None),
            ("Remember me", "checkBox", 1),
            ("Sign in", "button", None),
        ]
        for label, role, value in cases:
            with self.subTest(label=label):
                element = by_label[label]
                self.assertEqual(element["role"], role)
                self.assertEqual(element.get("value"), value)
                self.assertIn("parent", element)
        self.assertFalse(by_label["Cancel"]["enabled"])
        self.assertNotIn("secret", done.stdout)
        window = report["elements"][0]
        self.assertEqual((window["role"], window["frame"]),
                         ("window", dict(zip(("x", "y", "width", "height"), GEOMETRY))))
        self.assertEqual(self.window.events[before:], [], "the report injects nothing")


@unittest.skipIf(UNDER_WM, "no window manager needed")
class Input(RelayCase):
    def test_character_no_key_holds_and_chord(self):
        done = run_relay([self.token(), "k:0", "300,300", b64("aé"), "key:cmd+shift+a"])
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual([r.get("key") for r in records_of(done)],
                         [None, "KeyA", "MetaLeft", "ShiftLeft", "KeyA"])
        events = self.window.settled(301, 301)
        presses = [(e["keysym"], e["state"]) for e in events if e["type"] == "KeyPress"]
        # Command stands for Control, as in CommandOrControl accelerators.
        self.assertEqual(presses, [("a", 0), ("eacute", 0), ("Control_L", CONTROL_MASK),
                                   ("Shift_L", SHIFT_MASK), ("a", CONTROL_MASK | SHIFT_MASK)])
        self.assertEqual(unbalanced(events), {})

    def test_edges(self):
        x, y, w, h = GEOMETRY
        cases = [  # point, exit status, failure line
            ((x, y), 0, ""),
            ((x + w - 1, y + h - 1), 0, ""),
            ((x + w, y + 10), 2, LEFT + "\n"),
            ((x + 10, y + h), 2, LEFT + "\n"),
        ]
        for (px, py), status, line in cases:
            with self.subTest(point=(px, py)):
                done = run_relay([self.token(), f"{px},{py}", "click"])
                self.assertEqual((done.returncode, done.stderr), (status, line))

    def test_permission_lost_during_a_run(self):
        self.addCleanup(set_accessibility, True)
        self.assertEqual(self.changed_during_a_run(lambda: set_accessibility(False)),
                         "Accessibility permission is no longer available.\n")

    def test_not_trusted_without_the_accessibility_bus(self):
        set_accessibility(False)
        self.addCleanup(set_accessibility, True)
        done = run_relay([self.token(), "300,300"])
        self.assertEqual((done.returncode, done.stderr), (2, NOT_TRUSTED + "\n"))


class WindowChanges(RelayCase):
    def test_window_changed_between_commands(self):
        cases = ["move 150 150", "resize 700 500", "close"]
        for command in cases:
            with self.subTest(command=command):
                self.assertEqual(self.changed_during_a_run(lambda: self.window.command(command)),
                                 MOVED + "\n")
                self.window.close()
                self.window = TestWindow()


class Coverage(RelayCase):
    def test_covered_window_brought_forward(self):
        cover = TestWindow(geometry=GEOMETRY, title="cover")
        self.addCleanup(cover.close)
        done = run_relay([self.token(), "400,300", "click"])
        self.assertEqual(done.returncode, 0, done.stderr)
        events = self.window.settled(401, 301)
        self.assertIn(("ButtonPress", 1, 400, 300), [as_tuple(e) for e in events])
        self.assertEqual([e for e in cover.events if e["type"].startswith("Button")], [])


@unittest.skipIf(UNDER_WM, "no window manager needed")
class Stopping(RelayCase):
    def test_sigterm_during_a_long_wait_releases_the_button(self):
        relay = subprocess.Popen([RELAY, self.token(), "300,300", "down", "wait:60000"],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        while json.loads(relay.stdout.readline())["kind"] != "down":
            pass
        relay.send_signal(signal.SIGTERM)
        out, err = relay.communicate(timeout=5)
        self.assertEqual((relay.returncode, err), (2, CANCELLED + "\n"))
        self.assertEqual([json.loads(line)["kind"] for line in out.splitlines()], ["up"])
        events = self.window.settled(302, 302)
        self.assertEqual(unbalanced(events), {}, "\n".join(map(json.dumps, events)))

    def test_parent_killed(self):
        with tempfile.TemporaryDirectory() as tmp:
            err_path = os.path.join(tmp, "err")
            parent = subprocess.Popen(
                ["sh", "-c", f'"$@" 2>{err_path} & echo $!; wait', "sh", RELAY, self.token(),
                 "300,300", "down", "wait:60000"], stdout=subprocess.PIPE, text=True)
            relay_pid = int(parent.stdout.readline())
            self.window.wait_for(lambda e: e["type"] == "ButtonPress" and e["root_x"] == 300)
            parent.kill()
            parent.wait()
            deadline = time.monotonic() + 5
            while os.path.exists(f"/proc/{relay_pid}") and time.monotonic() < deadline:
                time.sleep(0.01)
            self.assertFalse(os.path.exists(f"/proc/{relay_pid}"), "the relay outlived its parent")
            with open(err_path, encoding="utf-8") as err:
                self.assertEqual(err.read(), CANCELLED + "\n")
        events = self.window.settled(302, 302)
        self.assertEqual(unbalanced(events), {}, "\n".join(map(json.dumps, events)))

    def test_hundred_runs_cut_at_random_moments_release_everything(self):
        script = [self.token(), "d:0", "k:0", "300,300", "down", "340,320", "up",
                  "key:cmd+shift+a", b64("Hé"), "click", "scroll:-40"]
        rng = random.Random(7)
        for _ in range(100):
            relay = subprocess.Popen([RELAY, *script], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
            try:
                relay.wait(timeout=rng.uniform(0.0, 0.6))
            except subprocess.TimeoutExpired:
                relay.send_signal(signal.SIGTERM)
            # A signal before the handlers are installed ends the process before it has
            # connected to the display, so that cut has nothing to release either.
            self.assertIn(relay.wait(timeout=5), (0, 2, -signal.SIGTERM))
        events = self.window.settled(302, 302)
        self.assertEqual(unbalanced(events), {}, "\n".join(map(json.dumps, events)))


@unittest.skipIf(UNDER_WM, "no window manager needed")
class Owners(unittest.TestCase):
    def test_a_window_without_net_wm_pid_is_owned_through_its_client(self):
        # _NET_WM_PID 0 says nothing; the X server still knows the client's process, so the
        # window is found and only its missing accessibility tree stops the take.
        client = subprocess.Popen([os.environ["X11_TEST_CLIENT"], "--pid", "0",
                                   "normal:200,200,300,200:no pid"],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.addCleanup(client.wait)
        self.addCleanup(client.stdin.close)
        window = json.loads(client.stdout.readline())["windows"][0]
        done = run_relay([f"window:{window}", "250,250"])
        self.assertEqual(done.returncode, 2)
        self.assertTrue(done.stderr.startswith(
            "Could not inspect the selected application's windows through Accessibility."),
            done.stderr)


@unittest.skipIf(UNDER_WM, "no window manager needed")
class WithoutADisplay(unittest.TestCase):
    def test_no_pointer_without_a_display(self):
        env = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
        for display in (None, ":987"):
            with self.subTest(display=display):
                done = run_relay(["window:1", "300,300"],
                                 env=env if display is None else dict(env, DISPLAY=display))
                self.assertEqual((done.returncode, done.stdout, done.stderr),
                                 (2, "", "Could not inspect the current pointer before capture "
                                         "input.\n"))


class Reports(unittest.TestCase):
    def report(self, content):
        window = TestWindow(content=content)
        self.addCleanup(window.close)
        done = run_relay(["elements", f"window:{window.id}"])
        self.assertEqual(done.returncode, 0, done.stderr)
        return json.loads(done.stdout)

    @unittest.skipIf(UNDER_WM, "no window manager needed")
    def test_wide_subtree_is_cut_at_200(self):
        report = self.report("wide")
        self.assertTrue(report["truncated"])
        self.assertEqual(len(report["elements"]), 200)

    @unittest.skipIf(UNDER_WM, "no window manager needed")
    def test_deep_subtree_is_cut_below_level_80(self):
        report = self.report("deep")
        self.assertTrue(report["truncated"])
        labels = [e["label"] for e in report["elements"]]
        self.assertNotIn("Bottom", labels)
        # Each record names the one before it: the chain is walked depth first.
        parents = [e.get("parent") for e in report["elements"][1:]]
        self.assertEqual(parents, list(range(len(parents))))

    def test_window_and_its_widgets(self):
        report = self.report("widgets")
        self.assertEqual(report["elements"][0]["role"], "window")
        self.assertIn("Sign in", [e["label"] for e in report["elements"]])


def main():
    global RELAY, TEST_WINDOW
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    RELAY, TEST_WINDOW = sys.argv[1], sys.argv[2]
    # These cases read the X events the window receives: they drive the route that sends
    # events to the window alone, whose events the log marks as sent.
    os.environ["INPUT_RELAY_X11_ROUTE"] = "window"
    set_accessibility(True)
    unittest.main(argv=[sys.argv[0], *sys.argv[3:]], verbosity=2)


if __name__ == "__main__":
    main()
