// Input sent to the selected window alone with SendEvent: nothing enters the server's input
// stream, so the pointer and the keyboard of the user stay where they are, and the events
// arrive marked as sent.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "x11_route.h"

namespace input_relay {
namespace {

// X's NotifyNormal mode and NotifyNonlinear detail: focus arrives from an unrelated window.
constexpr std::uint8_t FOCUS_MODE_NORMAL = 0;
constexpr std::uint8_t FOCUS_DETAIL_NONLINEAR = 3;

class SendEventRoute : public X11Route {
  public:
    explicit SendEventRoute(const RouteContext& context)
        : connection_(context.connection), root_(context.root) {}

    // The window learns that keyboard input arrives; the window in front needs no notice.
    void focus(xcb_window_t window) override {
        target_ = window;
        origin_.reset();
        xcb_focus_in_event_t focus{};
        focus.response_type = XCB_FOCUS_IN;
        focus.detail = FOCUS_DETAIL_NONLINEAR;
        focus.event = target_;
        focus.mode = FOCUS_MODE_NORMAL;
        send(focus);
    }

    void motion(Point location, std::uint16_t state) override {
        xcb_motion_notify_event_t x{};
        x.response_type = XCB_MOTION_NOTIFY;
        x.state = state;
        place(x, location);
        send(x);
    }

    void button(bool press, std::uint8_t number, Point location, std::uint16_t state) override {
        event<xcb_button_press_event_t>(press ? XCB_BUTTON_PRESS : XCB_BUTTON_RELEASE, number,
                                        location, state);
    }

    void key(bool press, xcb_keycode_t keycode, Point pointer, std::uint16_t state) override {
        event<xcb_key_press_event_t>(press ? XCB_KEY_PRESS : XCB_KEY_RELEASE, keycode, pointer,
                                     state);
    }

    void windowsChanged() override { origin_.reset(); }
    bool primes() const override { return true; }

  private:
    template <typename XEvent>
    void send(const XEvent& event) {
        // SendEvent carries exactly 32 bytes; an empty mask delivers to the window's creator,
        // the process that owns it, whatever events it selected.
        char bytes[32] = {};
        static_assert(sizeof(XEvent) <= sizeof bytes);
        std::memcpy(bytes, &event, sizeof(XEvent));
        xcb_send_event(connection_, 0, target_, 0, bytes);
    }

    // Fills the position fields of a pointer or key event for the target window.
    template <typename XEvent>
    void place(XEvent& x, Point location) {
        if (!origin_) {
            origin_ = clientOrigin();
        }
        x.time = XCB_CURRENT_TIME;
        x.root = root_;
        x.event = target_;
        x.child = XCB_WINDOW_NONE;
        x.root_x = coordinate(location.x);
        x.root_y = coordinate(location.y);
        x.event_x = coordinate(location.x - origin_->x);
        x.event_y = coordinate(location.y - origin_->y);
        x.same_screen = 1;
    }

    // A key or button event: the two share one layout.
    template <typename XEvent>
    void event(std::uint8_t type, std::uint8_t detail, Point location, std::uint16_t state) {
        XEvent x{};
        x.response_type = type;
        x.detail = detail;
        x.state = state;
        place(x, location);
        send(x);
    }

    Point clientOrigin() {
        auto* origin = xcb_translate_coordinates_reply(
            connection_, xcb_translate_coordinates(connection_, target_, root_, 0, 0), nullptr);
        Point point;
        if (origin != nullptr) {
            point = {double(origin->dst_x), double(origin->dst_y)};
        }
        std::free(origin);
        return point;
    }

    xcb_connection_t* connection_;
    xcb_window_t root_;
    xcb_window_t target_ = XCB_WINDOW_NONE;
    std::optional<Point> origin_;  // of the target window, as fresh as the list
};

}  // namespace

std::unique_ptr<X11Route> makeSendEventRoute(const RouteContext& context) {
    return std::make_unique<SendEventRoute>(context);
}

}  // namespace input_relay
