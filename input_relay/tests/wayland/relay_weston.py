#!/usr/bin/env python3
"""input_relay on a Wayland desktop: headless weston and its XWayland.

  tools/with-session tools/with-weston relay_weston.py RELAY TEST_WINDOW [unittest args]

An XWayland window is driven as on X11 (the route that sends events to the window alone);
a window number that is no X client is refused with the Wayland message.
"""
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "x11"))
import relay_e2e  # noqa: E402  (its test window, relay runs and event checks)

NOT_XWAYLAND = ("Selected capture window is not an XWayland window: on Wayland only X11 "
                "(XWayland) windows can be driven; run the app with GDK_BACKEND=x11, "
                "QT_QPA_PLATFORM=xcb or --ozone-platform=x11.")

WESTON_PLACEMENT = ("weston 10 keeps the window at 0,0 of the X screen while GTK tells "
                    "AT-SPI another place, so no accessible window matches the X window")


class OnWeston(unittest.TestCase):
    def test_a_window_that_is_no_x_client_is_refused_naming_wayland(self):
        done = relay_e2e.run_relay(["window:2147483632", "10,10", "click"])
        self.assertNotEqual(done.returncode, 0)
        self.assertIn(NOT_XWAYLAND, done.stderr)
        self.assertEqual(done.stdout, "")

    def test_a_click_and_typing_reach_the_xwayland_window(self):
        try:
            window = relay_e2e.TestWindow(geometry=(0, 0, 400, 300))
        except RuntimeError as error:
            if "No Accessibility window carries window id" not in str(error):
                raise
            self.skipTest(WESTON_PLACEMENT)
        try:
            done = relay_e2e.run_relay([f"window:{window.id}", "200,150", "click",
                                        "type:aGk="])
            self.assertEqual((done.returncode, done.stderr), (0, ""))
            events = window.settled(201, 151)
            kinds = [e["type"] for e in events]
            self.assertIn("ButtonPress", kinds)
            presses = [e["keysym"] for e in events if e["type"] == "KeyPress"]
            self.assertEqual(presses, ["h", "i"])
        finally:
            window.close()


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    relay_e2e.RELAY, relay_e2e.TEST_WINDOW = sys.argv[1], sys.argv[2]
    os.environ["INPUT_RELAY_X11_ROUTE"] = "window"
    os.environ["GDK_BACKEND"] = "x11"  # the test window on XWayland, as the refusal advises
    relay_e2e.set_accessibility(True)
    unittest.main(argv=[sys.argv[0], *sys.argv[3:]], verbosity=2)


if __name__ == "__main__":
    main()
