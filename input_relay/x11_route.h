// The ways the X11 platform delivers the relay's input to the selected window. Each way is its
// own file behind this one interface; `chooseRoute` (x11_route_choice.h) picks one per window.
#pragma once

#include <xcb/xcb.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>

#include "platform.h"

namespace platform_linux {
class X11WindowEnumerator;
}

namespace input_relay {

class X11Keyboard;

// A coordinate of the relay as X's 16 bits.
inline std::int16_t coordinate(double value) {
    return static_cast<std::int16_t>(
        std::clamp(std::round(value), double{INT16_MIN}, double{INT16_MAX}));
}

// What a route works with: the display, its root, the keyboard mapping, the window list.
struct RouteContext {
    xcb_connection_t* connection;
    xcb_window_t root;
    X11Keyboard& keyboard;
    const platform_linux::X11WindowEnumerator& windows;
};

class X11Route {
  public:
    virtual ~X11Route() = default;

    // `window` becomes the target: it gets the keyboard focus.
    virtual void focus(xcb_window_t window) = 0;
    // Pointer events at root coordinates; `state` is the button and modifier mask before the
    // event. A release is always delivered: it gives back what the relay holds.
    virtual void motion(Point location, std::uint16_t state) = 0;
    virtual void button(bool press, std::uint8_t number, Point location, std::uint16_t state) = 0;
    virtual void key(bool press, xcb_keycode_t keycode, Point pointer, std::uint16_t state) = 0;
    // What stands between the next event (at `location`, none for keys and waits) and the
    // window; a route that needs nothing of the user or the desktop answers ok.
    virtual FrontState state(std::optional<Point>) { return FrontState::ok; }
    // Whether the window at the point is a pop-up of the take that this route's events reach.
    virtual bool popUpAt(Point) { return false; }
    // The window list was read again: whatever the route keeps about the window's place is
    // stale.
    virtual void windowsChanged() {}
    // Whether the off-window press that opens a gesture belongs on this route.
    virtual bool primes() const = 0;
};

// Events sent to the window alone (SendEvent): the user's pointer and keyboard stay theirs.
std::unique_ptr<X11Route> makeSendEventRoute(const RouteContext& context);
// The server's input path (XTEST) while the window is in front, focused and topmost under
// every event and the user's own devices are idle; the user's pointer is put back at the end.
std::unique_ptr<X11Route> makeFrontRoute(const RouteContext& context);

}  // namespace input_relay
