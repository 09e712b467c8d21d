// The selected window driven through the server's input path (XTEST), for toolkits that take
// only real input. That path reaches whatever is under the pointer and holds the focus, so it
// is used only while that is the selected window and the user's own devices rest. The route
// reports what it observes before every event and during waits: whether the pointer is where
// the relay left it, whether a key or button the relay did not press is down, whether the
// window holds the focus and is topmost under the event; the relay decides. The user's pointer
// goes back where it was.
#include <xcb/xtest.h>

#include <array>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <thread>

#include "x11_keyboard.h"
#include "x11_route.h"
#include "x11_windows.h"

namespace input_relay {
namespace {

// The pager source indication: window managers honour it without focus-stealing checks.
constexpr std::uint32_t ACTIVATION_SOURCE_PAGER = 2;
constexpr int FOCUS_ATTEMPTS = 50;
constexpr auto FOCUS_SLICE = std::chrono::milliseconds(20);
constexpr std::uint16_t BUTTON_MASKS = XCB_BUTTON_MASK_1 | XCB_BUTTON_MASK_2 | XCB_BUTTON_MASK_3 |
                                       XCB_BUTTON_MASK_4 | XCB_BUTTON_MASK_5;

template <typename T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

template <typename T>
Reply<T> reply(T* raw) {
    return {raw, &std::free};
}

class FrontRoute : public X11Route {
  public:
    explicit FrontRoute(const RouteContext& context)
        : connection_(context.connection),
          root_(context.root),
          keyboard_(context.keyboard),
          windows_(context.windows),
          clientMask_(xcb_get_setup(context.connection)->resource_id_mask) {}
    FrontRoute(const FrontRoute&) = delete;
    FrontRoute& operator=(const FrontRoute&) = delete;

    // The user's pointer goes back where it was, unless the user has taken it since.
    ~FrontRoute() override {
        if (home_ && moved_ && pointer() == pointer_) {
            fake(XCB_MOTION_NOTIFY, 0, *home_);
        }
        xcb_flush(connection_);
    }

    void focus(xcb_window_t window) override {
        if (!home_) {
            home_ = pointer();
            pointer_ = home_.value_or(Point{});
            before_ = mappedTopLevels();
        }
        target_ = window;
        top_ = topLevel(window);
        if (!focused()) {
            requestFocus();
            for (int i = 0; i < FOCUS_ATTEMPTS && !focused(); ++i) {
                std::this_thread::sleep_for(FOCUS_SLICE);
            }
        }
        focusGiven_ = focusGiven_ || focused();
    }

    void motion(Point location, std::uint16_t) override { moveTo(location); }

    void button(bool press, std::uint8_t number, Point location, std::uint16_t) override {
        if (press) {
            if (location != pointer_) {
                moveTo(location);
            }
            buttons_.insert(number);
        } else {
            buttons_.erase(number);
        }
        fake(press ? XCB_BUTTON_PRESS : XCB_BUTTON_RELEASE, number, pointer_);
    }

    // A key asked for at the shifted level is pressed with a Shift of the relay's own when none
    // is down, and that Shift is released with the key.
    void key(bool press, xcb_keycode_t keycode, Point, std::uint16_t state) override {
        if (!press) {
            release(keycode);
            if (auto shift = shifts_.find(keycode); shift != shifts_.end()) {
                release(shift->second);
                shifts_.erase(shift);
            }
            return;
        }
        if ((state & XCB_MOD_MASK_SHIFT) != 0 && !shiftDown()) {
            if (auto shift = keyboard_.locate(XK_SHIFT_L, {})) {
                pressKey(shift->keycode);
                shifts_[keycode] = shift->keycode;
            }
        }
        pressKey(keycode);
    }

    // A key goes where the focus is; a pointer event must also find the window, or a pop-up
    // of the take, topmost under its point.
    FrontState state(std::optional<Point> location) override {
        if (target_ == XCB_WINDOW_NONE) {
            return FrontState::ok;
        }
        const Readings readings = read(location);
        if (!pointerIdle(readings)) {
            return FrontState::userPointer;
        }
        if (!keysIdle(readings)) {
            return FrontState::userKey;
        }
        if (!focusInside(readings)) {
            return focusGiven_ ? FrontState::focusLost : FrontState::notFocused;
        }
        if (location && !topmost(readings)) {
            return FrontState::stackingChanged;
        }
        return FrontState::ok;
    }

    bool popUpAt(Point location) override {
        if (target_ == XCB_WINDOW_NONE) {
            return false;
        }
        auto under = reply(xcb_translate_coordinates_reply(
            connection_,
            xcb_translate_coordinates(connection_, root_, root_, coordinate(location.x),
                                      coordinate(location.y)),
            nullptr));
        return under && popUpOfTake(under->child);
    }

    bool primes() const override { return false; }

  private:
    static constexpr xcb_keysym_t XK_SHIFT_L = 0xffe1;

    // The readings one check needs, asked for together so that they cost one round trip.
    struct Readings {
        Reply<xcb_query_pointer_reply_t> pointer{nullptr, &std::free};
        Reply<xcb_query_keymap_reply_t> keymap{nullptr, &std::free};
        Reply<xcb_get_input_focus_reply_t> focus{nullptr, &std::free};
        Reply<xcb_translate_coordinates_reply_t> under{nullptr, &std::free};
    };

    Readings read(std::optional<Point> location) {
        auto pointerCookie = xcb_query_pointer(connection_, root_);
        auto keymapCookie = xcb_query_keymap(connection_);
        auto focusCookie = xcb_get_input_focus(connection_);
        Readings readings;
        if (location) {
            auto underCookie = xcb_translate_coordinates(
                connection_, root_, root_, coordinate(location->x), coordinate(location->y));
            readings.under =
                reply(xcb_translate_coordinates_reply(connection_, underCookie, nullptr));
        }
        readings.pointer = reply(xcb_query_pointer_reply(connection_, pointerCookie, nullptr));
        readings.keymap = reply(xcb_query_keymap_reply(connection_, keymapCookie, nullptr));
        readings.focus = reply(xcb_get_input_focus_reply(connection_, focusCookie, nullptr));
        return readings;
    }

    // The pointer is where the relay left it and no button the relay did not press is down.
    bool pointerIdle(const Readings& readings) const {
        const auto& now = readings.pointer;
        return now && Point{double(now->root_x), double(now->root_y)} == pointer_ &&
               (now->mask & BUTTON_MASKS & ~heldButtonMask()) == 0;
    }

    // No key the relay did not press is down.
    bool keysIdle(const Readings& readings) const {
        if (!readings.keymap) {
            return false;
        }
        for (int keycode = 0; keycode < 256; ++keycode) {
            const bool down = (readings.keymap->keys[keycode / 8] >> (keycode % 8) & 1) != 0;
            if (down && keys_.count(static_cast<xcb_keycode_t>(keycode)) == 0) {
                return false;
            }
        }
        return true;
    }

    // The focus is on the window or inside it.
    bool focusInside(const Readings& readings) {
        if (readings.focus) {
            for (xcb_window_t w = readings.focus->focus;
                 w != XCB_WINDOW_NONE && w != root_ && w != XCB_INPUT_FOCUS_POINTER_ROOT;
                 w = parentOf(w)) {
                if (w == target_) {
                    return true;
                }
            }
        }
        return false;
    }

    // The top-level window under the point is the selected window's, or a pop-up its
    // application opened over it during the take.
    bool topmost(const Readings& readings) {
        const auto& under = readings.under;
        return under && (under->child == top_ || popUpOfTake(under->child));
    }

    // A window of the same client, over the others without the window manager (menus,
    // tooltips, completion lists) or transient for the selected window, and not on screen
    // when the take began.
    bool popUpOfTake(xcb_window_t window) {
        if (window == XCB_WINDOW_NONE || before_.count(window) != 0 ||
            (window & ~clientMask_) != (target_ & ~clientMask_)) {
            return false;
        }
        auto attributes = reply(xcb_get_window_attributes_reply(
            connection_, xcb_get_window_attributes(connection_, window), nullptr));
        return attributes && (attributes->override_redirect != 0 || transientForTarget(window));
    }

    bool transientForTarget(xcb_window_t window) {
        auto property = reply(xcb_get_property_reply(
            connection_,
            xcb_get_property(connection_, 0, window, XCB_ATOM_WM_TRANSIENT_FOR, XCB_ATOM_WINDOW, 0,
                             1),
            nullptr));
        return property && xcb_get_property_value_length(property.get()) == 4 &&
               *static_cast<xcb_window_t*>(xcb_get_property_value(property.get())) == target_;
    }

    bool focused() { return focusInside(read(std::nullopt)); }

    // Asked of the window manager (when one runs, it keeps its own idea of the active window
    // in step) and set directly (when none runs, nobody else sets it).
    void requestFocus() {
        xcb_client_message_event_t message{};
        message.response_type = XCB_CLIENT_MESSAGE;
        message.format = 32;
        message.window = target_;
        message.type = windows_.atom(platform_linux::X11WindowEnumerator::kNetActiveWindow);
        message.data.data32[0] = ACTIVATION_SOURCE_PAGER;
        message.data.data32[1] = XCB_CURRENT_TIME;
        xcb_send_event(connection_, 0, root_,
                       XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                       reinterpret_cast<const char*>(&message));
        xcb_set_input_focus(connection_, XCB_INPUT_FOCUS_PARENT, target_, XCB_CURRENT_TIME);
        xcb_flush(connection_);
    }

    xcb_window_t parentOf(xcb_window_t window) {
        auto tree =
            reply(xcb_query_tree_reply(connection_, xcb_query_tree(connection_, window), nullptr));
        return tree ? tree->parent : xcb_window_t{XCB_WINDOW_NONE};
    }

    // The child of the root that holds the window (its frame under a window manager).
    xcb_window_t topLevel(xcb_window_t window) {
        for (xcb_window_t parent = parentOf(window); parent != XCB_WINDOW_NONE && parent != root_;
             parent = parentOf(window)) {
            window = parent;
        }
        return window;
    }

    std::set<xcb_window_t> mappedTopLevels() {
        std::set<xcb_window_t> mapped;
        auto tree =
            reply(xcb_query_tree_reply(connection_, xcb_query_tree(connection_, root_), nullptr));
        if (!tree) {
            return mapped;
        }
        const xcb_window_t* children = xcb_query_tree_children(tree.get());
        const int count = xcb_query_tree_children_length(tree.get());
        std::vector<xcb_get_window_attributes_cookie_t> cookies;
        for (int i = 0; i < count; ++i) {
            cookies.push_back(xcb_get_window_attributes(connection_, children[i]));
        }
        for (int i = 0; i < count; ++i) {
            auto attributes =
                reply(xcb_get_window_attributes_reply(connection_, cookies[i], nullptr));
            if (attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE) {
                mapped.insert(children[i]);
            }
        }
        return mapped;
    }

    std::optional<Point> pointer() {
        auto now = reply(
            xcb_query_pointer_reply(connection_, xcb_query_pointer(connection_, root_), nullptr));
        if (!now) {
            return std::nullopt;
        }
        return Point{double(now->root_x), double(now->root_y)};
    }

    bool shiftDown() {
        auto shift = keyboard_.locate(XK_SHIFT_L, {});
        return shift && keys_.count(shift->keycode) != 0;
    }

    std::uint16_t heldButtonMask() const {
        std::uint16_t mask = 0;
        for (std::uint8_t number : buttons_) {
            mask |= static_cast<std::uint16_t>(XCB_BUTTON_MASK_1 << (number - 1));
        }
        return mask;
    }

    void moveTo(Point location) {
        fake(XCB_MOTION_NOTIFY, 0, location);
        pointer_ = {double(coordinate(location.x)), double(coordinate(location.y))};
        moved_ = true;
    }

    void pressKey(xcb_keycode_t keycode) {
        keys_.insert(keycode);
        fake(XCB_KEY_PRESS, keycode, pointer_);
    }

    void release(xcb_keycode_t keycode) {
        if (keys_.erase(keycode) != 0) {
            fake(XCB_KEY_RELEASE, keycode, pointer_);
        }
    }

    void fake(std::uint8_t type, std::uint8_t detail, Point location) {
        xcb_test_fake_input(connection_, type, detail, XCB_CURRENT_TIME, root_,
                            coordinate(location.x), coordinate(location.y), 0);
    }

    xcb_connection_t* connection_;
    xcb_window_t root_;
    X11Keyboard& keyboard_;
    const platform_linux::X11WindowEnumerator& windows_;
    std::uint32_t clientMask_;
    xcb_window_t target_ = XCB_WINDOW_NONE;
    xcb_window_t top_ = XCB_WINDOW_NONE;
    std::optional<Point> home_;       // the user's pointer when the take began
    Point pointer_;                   // where the relay left the pointer
    bool moved_ = false;              // the relay has moved the pointer
    bool focusGiven_ = false;         // the window has held the focus since the take began
    std::set<xcb_window_t> before_;   // top-level windows on screen when the take began
    std::set<std::uint8_t> buttons_;  // held by the relay
    std::set<xcb_keycode_t> keys_;    // held by the relay
    std::map<xcb_keycode_t, xcb_keycode_t> shifts_;  // key to the Shift pressed for it
};

}  // namespace

std::unique_ptr<X11Route> makeFrontRoute(const RouteContext& context) {
    return std::make_unique<FrontRoute>(context);
}

}  // namespace input_relay
