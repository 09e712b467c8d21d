// The relay's platform on an X server and the AT-SPI accessibility bus. Input reaches the
// selected window by one of the routes of x11_route.h, chosen per window.
#include <atspi/atspi.h>
#include <gio/gio.h>
#include <signal.h>
#include <unistd.h>
#include <xcb/res.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "atspi_client.h"
#include "failure.h"
#include "keys.h"
#include "platform.h"
#include "posix_process.h"
#include "session.h"
#include "x11_accessibility.h"
#include "x11_keyboard.h"
#include "x11_route.h"
#include "x11_route_choice.h"
#include "x11_windows.h"

namespace input_relay {
namespace {

using platform_linux::AtspiClient;
using platform_linux::AtspiElement;
using platform_linux::X11Window;
using platform_linux::X11WindowEnumerator;

// Pixels of scrolling one wheel notch (one press of button 4 or 5) stands for.
constexpr std::int32_t SCROLL_NOTCH_PIXELS = 40;
constexpr std::uint8_t BUTTON_LEFT = 1;
constexpr std::uint8_t BUTTON_WHEEL_UP = 4;
constexpr std::uint8_t BUTTON_WHEEL_DOWN = 5;
// Layer of the window list for windows that are not ordinary (docks, kept above, override).
constexpr std::int64_t LAYER_OTHER = 1;
// Readings of a window list that keeps changing while it is read; the last one is used.
constexpr int LIST_ATTEMPTS = 4;
constexpr std::size_t FOCUS_WINDOW_BYTE = 60;
constexpr std::size_t FOCUS_TARGET_BYTE = 138;
constexpr std::uint8_t FOCUS_TARGET = 1;
constexpr auto MAPPING_SETTLE = std::chrono::milliseconds(30);
// The route phase field and the phases of the press and release that open a gesture.
constexpr std::uint32_t FIELD_PHASE = 0;
constexpr std::int64_t PHASE_PRIME_DOWN = 1;
constexpr std::int64_t PHASE_PRIME_UP = 2;
constexpr std::string_view RAISE_ACTION = "AXRaise";
// The pager source indication: window managers honour it without focus-stealing checks.
constexpr std::uint32_t ACTIVATION_SOURCE_PAGER = 2;

template <typename T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

template <typename T>
Reply<T> reply(T* raw) {
    return Reply<T>(raw, &std::free);
}

class X11Platform : public posix_process::PosixProcess<Platform> {
  public:
    X11Platform() {
        int screenNumber = 0;
        connection_ = xcb_connect(nullptr, &screenNumber);
        if (xcb_connection_has_error(connection_) == 0) {
            auto it = xcb_setup_roots_iterator(xcb_get_setup(connection_));
            for (int i = 0; it.rem > 0 && i < screenNumber; ++i) {
                xcb_screen_next(&it);
            }
            if (it.rem > 0) {
                root_ = it.data->root;
            }
        }
        windows_.emplace(connection_, root_);
        keyboard_.emplace(connection_);
    }
    X11Platform(const X11Platform&) = delete;
    X11Platform& operator=(const X11Platform&) = delete;
    ~X11Platform() override {
        // The route puts back what it moved, the keyboard its spare keycodes.
        route_.reset();
        keyboard_.reset();
        // A server may drop what a client sent just before it went away: everything sent is
        // handled before the connection closes.
        sync();
        xcb_disconnect(connection_);
    }

    Desktop desktop() override {
        return platform_linux::currentSessionKind() == platform_linux::SessionKind::wayland
                   ? Desktop::freedesktopWayland
                   : Desktop::freedesktop;
    }

    std::optional<Point> pointerLocation() override {
        if (!connected()) {
            return std::nullopt;
        }
        auto pointer = reply(
            xcb_query_pointer_reply(connection_, xcb_query_pointer(connection_, root_), nullptr));
        if (!pointer) {
            return std::nullopt;
        }
        pointer_ = {double(pointer->root_x), double(pointer->root_y)};
        return pointer_;
    }

    // Trusted: the session's accessibility bus is on, so applications publish their trees.
    bool accessibilityTrusted() override { return accessibility_.enabled(); }
    // Events can be posted while the display answers.
    bool canPostEvents() override { return connected(); }

    // The list is read again only when the server has reported a change to a listed window,
    // to the root's children or to the root's properties since the last reading; one round
    // trip makes sure every such report made so far has arrived.
    std::vector<WindowEntry> visibleWindows() override {
        if (listed_ && !changedSinceListed()) {
            return *listed_;
        }
        listed_.reset();
        if (route_) {
            route_->windowsChanged();
        }
        for (int attempt = 0; attempt < LIST_ATTEMPTS; ++attempt) {
            auto entries = listWindows();
            const bool newlyWatched = watch(entries);
            if (!changedSinceListed() && !newlyWatched) {
                listed_ = entries;
                return entries;
            }
            if (attempt + 1 == LIST_ATTEMPTS) {
                return entries;
            }
        }
        return {};
    }

    std::vector<WindowEntry> listWindows() {
        std::vector<WindowEntry> entries;
        for (const X11Window& w : windows_->onScreenWindows()) {
            WindowEntry entry;
            entry.number = w.id;
            entry.bounds = Rect{w.bounds.x, w.bounds.y, w.bounds.width, w.bounds.height};
            if (auto pid = ownerPid(w)) {
                entry.ownerPid = *pid;
            }
            entry.layer = w.ordinary ? 0 : LAYER_OTHER;
            entries.push_back(entry);
        }
        return entries;
    }

    Element applicationElement(std::int32_t pid) override {
        if (!connectAtspi()) {
            return std::make_shared<AtspiAxElement>(nullptr);
        }
        AtspiElement desktop(atspi_get_desktop(0));
        if (desktop) {
            for (const Element& application : children(desktop.get()).value_or(ElementList{})) {
                GError* error = nullptr;
                const auto owner = atspi_accessible_get_process_id(accessible(application), &error);
                if (!failed(error) && static_cast<std::int32_t>(owner) == pid) {
                    toolkit_ = toolkitOf(accessible(application));
                    return application;
                }
            }
        }
        return std::make_shared<AtspiAxElement>(nullptr);
    }

    void setMessagingTimeout(const Element&, double seconds) override {
        AtspiClient::setTimeout(std::chrono::milliseconds(std::lround(seconds * 1000)));
    }

    std::optional<ElementList> applicationWindows(const Element& application) override {
        AtspiAccessible* a = accessible(application);
        if (a == nullptr) {
            return std::nullopt;
        }
        return children(a);
    }

    // The on-screen X window of the element's process whose frame or client area has the
    // element's extents. A toolkit that reports extents relative to its window (GTK 4 on X)
    // has its window matched by client size, when one window of the process has that size.
    std::optional<std::uint32_t> accessibilityWindowId(const Element& window) override {
        AtspiAccessible* a = accessible(window);
        if (a == nullptr) {
            return std::nullopt;
        }
        GError* error = nullptr;
        const auto pid = static_cast<pid_t>(atspi_accessible_get_process_id(a, &error));
        auto extents = screenExtents(a);
        if (failed(error) || !extents) {
            return std::nullopt;
        }
        std::vector<std::uint32_t> sameSize;
        for (const X11Window& w : windows_->onScreenWindows()) {
            if (ownerPid(w) != pid) {
                continue;
            }
            const Rect outer{w.bounds.x, w.bounds.y, w.bounds.width, w.bounds.height};
            const auto client = clientRect(w.id);
            if (*extents == outer || client == extents) {
                return w.id;
            }
            if (client && client->width == extents->width && client->height == extents->height) {
                sameSize.push_back(w.id);
            }
        }
        if (reportsWindowRelativeExtents(toolkit_) && sameSize.size() == 1) {
            return sameSize.front();
        }
        return std::nullopt;
    }

    // Raising restacks the X window on top (a window manager gets it as a request).
    bool performAction(const Element& element, std::string_view action) override {
        if (action != RAISE_ACTION) {
            return false;
        }
        auto window = accessibilityWindowId(element);
        if (!window) {
            return false;
        }
        const std::uint32_t above = XCB_STACK_MODE_ABOVE;
        auto cookie = xcb_configure_window_checked(connection_, *window,
                                                   XCB_CONFIG_WINDOW_STACK_MODE, &above);
        if (auto* error = xcb_request_check(connection_, cookie)) {
            std::free(error);
            return false;
        }
        raised_ = *window;
        return true;
    }

    // X has no switch that makes applications publish more of their tree.
    void setAttributeTrue(const Element&, std::string_view) override {}

    std::optional<std::vector<AxValue>> copyAttributes(
        const Element& element, const std::vector<std::string_view>& attributes) override {
        AtspiAccessible* a = accessible(element);
        if (a == nullptr) {
            return std::nullopt;
        }
        return readAttributes(a, attributes, elementExtents(a));
    }

    // The executable of the process stands for the bundle an application is opened from.
    std::optional<std::string> bundleLocation(std::int32_t pid) override {
        std::error_code error;
        auto path = std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", error);
        if (error || path.empty()) {
            return std::nullopt;
        }
        return path.string();
    }

    // Opening the application activates the raised window through the window manager; the
    // request is complete once the server has it.
    void openApplication(const std::string&, std::shared_ptr<std::atomic<bool>> done) override {
        if (raised_ != XCB_WINDOW_NONE) {
            xcb_client_message_event_t message{};
            message.response_type = XCB_CLIENT_MESSAGE;
            message.format = 32;
            message.window = raised_;
            message.type = windows_->atom(X11WindowEnumerator::kNetActiveWindow);
            message.data.data32[0] = ACTIVATION_SOURCE_PAGER;
            message.data.data32[1] = XCB_CURRENT_TIME;
            xcb_send_event(
                connection_, 0, root_,
                XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                reinterpret_cast<const char*>(&message));
            sync();
        }
        done->store(true);
    }

    void runLoopSlice(double seconds) override {
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    }

    // Every route function stands for the route chosen for the window, which works while the
    // display answers; keys need a readable keyboard mapping. A route that cannot deliver to
    // the window is refused here, before any input.
    bool routeFunctionAvailable(std::string_view) override {
        if (!connected()) {
            return false;
        }
        if (!route_) {
            route_ = makeRoute();
        }
        return true;
    }
    bool authenticationRouteAvailable() override { return keyboard_->read(); }

    // A process "serial number" on X is the process id; 0 when no window is active.
    std::optional<ProcessSerialNumber> frontProcess() override {
        if (!connected()) {
            return std::nullopt;
        }
        auto active = windows_->activeWindow();
        auto pid = active ? windows_->windowPid(*active) : std::nullopt;
        return serialNumber(pid.value_or(0));
    }
    std::optional<ProcessSerialNumber> processForPid(std::int32_t pid) override {
        if (pid <= 0 || (kill(pid, 0) != 0 && errno != EPERM)) {
            return std::nullopt;
        }
        return serialNumber(pid);
    }

    // The record to the target names the window that input goes to from now on, and tells it
    // that keyboard input arrives. The window in front needs no notice.
    void postEventRecord(const ProcessSerialNumber&, const FocusRecord& record) override {
        if (record[FOCUS_TARGET_BYTE] != FOCUS_TARGET) {
            return;
        }
        std::uint32_t window = 0;
        for (std::size_t i = 0; i < 4; ++i) {
            window |= std::uint32_t{record[FOCUS_WINDOW_BYTE + i]} << (8 * i);
        }
        target_ = window;
        if (route_) {
            route_->focus(target_);
            xcb_flush(connection_);
        }
    }

    PostOutcome postToPid(std::int32_t, const Event& event) override {
        if (target_ == XCB_WINDOW_NONE || !route_ || !connected()) {
            return PostOutcome::notCreated;
        }
        if (!route_->primes() && priming(event)) {
            return PostOutcome::posted;
        }
        PostOutcome outcome = PostOutcome::posted;
        switch (event.type) {
            case EventType::keyDown:
                outcome = keyDown(event);
                break;
            case EventType::keyUp:
                keyUp(event);
                break;
            case EventType::scrollWheel:
                scroll(event);
                break;
            default:
                pointer(event);
                break;
        }
        xcb_flush(connection_);
        return outcome;
    }

    bool routeDelivers(const InputKinds& kinds) override {
        return route_ && delivers(routeKind_, toolkit_, kinds);
    }

    FrontState frontState(std::optional<Point> point) override {
        return route_ ? route_->state(point) : FrontState::ok;
    }

    bool inPopUpOfTake(Point point) override { return route_ && route_->popUpAt(point); }

  private:
    static Toolkit toolkitOf(AtspiAccessible* application) {
        GError* error = nullptr;
        Toolkit toolkit;
        toolkit.name =
            takeString(atspi_accessible_get_toolkit_name(application, &error), error).value_or("");
        toolkit.version =
            takeString(atspi_accessible_get_toolkit_version(application, &error), error)
                .value_or("");
        return toolkit;
    }

    // On screen: extents relative to the window are moved by the raised window's origin.
    std::optional<Rect> elementExtents(AtspiAccessible* a) {
        auto extents = screenExtents(a);
        if (extents && reportsWindowRelativeExtents(toolkit_) && raised_ != XCB_WINDOW_NONE) {
            const Point origin = clientOrigin(raised_).value_or(Point{});
            extents->x += origin.x;
            extents->y += origin.y;
        }
        return extents;
    }

    std::unique_ptr<X11Route> makeRoute() {
        const char* requested = std::getenv(ROUTE_VARIABLE);
        routeKind_ = chooseRoute(requested != nullptr ? requested : "");
        const RouteContext context{connection_, root_, *keyboard_, *windows_};
        if (routeKind_ == RouteKind::sendEvent) {
            return makeSendEventRoute(context);
        }
        if (!xtestPresent()) {
            fail(std::string(messages::NO_FRONT_ROUTE));
        }
        return makeFrontRoute(context);
    }

    bool xtestPresent() {
        const xcb_query_extension_reply_t* extension =
            xcb_get_extension_data(connection_, &xcb_test_id);
        return extension != nullptr && extension->present != 0;
    }

    // The window's process: its _NET_WM_PID, else the process of the client connection that
    // made it as the server knows it (toolkits such as Tk set no _NET_WM_PID).
    std::optional<std::int32_t> ownerPid(const X11Window& window) {
        if (window.pid != 0) {
            return window.pid;
        }
        xcb_res_client_id_spec_t spec{window.id, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
        auto ids = reply(xcb_res_query_client_ids_reply(
            connection_, xcb_res_query_client_ids(connection_, 1, &spec), nullptr));
        if (!ids) {
            return std::nullopt;
        }
        for (auto it = xcb_res_query_client_ids_ids_iterator(ids.get()); it.rem > 0;
             xcb_res_client_id_value_next(&it)) {
            if ((it.data->spec.mask & XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID) != 0 &&
                xcb_res_client_id_value_value_length(it.data) == 1) {
                const auto pid = static_cast<std::int32_t>(*xcb_res_client_id_value_value(it.data));
                return pid > 0 ? std::optional(pid) : std::nullopt;
            }
        }
        return std::nullopt;
    }

    // Whether any event reached this connection since the last call: only the changes
    // `watch` selected are ever reported to it.
    bool changedSinceListed() {
        sync();
        bool changed = !connected();
        while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
            changed = true;
            std::free(event);
        }
        return changed;
    }

    // Selects the changes that can alter the list: the stacking, mapping and geometry of the
    // root's children and of every window between a listed window and the root, and the
    // properties of the root and of the listed windows. True when a window was newly watched.
    bool watch(const std::vector<WindowEntry>& entries) {
        bool newly =
            select(root_, XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_PROPERTY_CHANGE);
        for (const WindowEntry& entry : entries) {
            if (!entry.number || !select(*entry.number, XCB_EVENT_MASK_STRUCTURE_NOTIFY |
                                                            XCB_EVENT_MASK_PROPERTY_CHANGE)) {
                continue;
            }
            newly = true;
            for (xcb_window_t w = parentOf(*entry.number); w != XCB_WINDOW_NONE && w != root_;
                 w = parentOf(w)) {
                select(w, XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY);
            }
        }
        return newly;
    }

    bool select(xcb_window_t window, std::uint32_t mask) {
        if (!watched_.insert(window).second) {
            return false;
        }
        xcb_change_window_attributes(connection_, window, XCB_CW_EVENT_MASK, &mask);
        return true;
    }

    xcb_window_t parentOf(xcb_window_t window) {
        auto tree =
            reply(xcb_query_tree_reply(connection_, xcb_query_tree(connection_, window), nullptr));
        return tree ? tree->parent : xcb_window_t{XCB_WINDOW_NONE};
    }

    // Returns once the server has handled every request sent so far.
    void sync() {
        std::free(
            xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
    }

    bool connected() const { return xcb_connection_has_error(connection_) == 0 && root_ != 0; }

    bool connectAtspi() {
        // 0: connected now; 1: the process was already connected.
        atspiConnected_ = atspiConnected_ || atspi_init() <= 1;
        return atspiConnected_;
    }

    static ProcessSerialNumber serialNumber(std::int32_t pid) {
        ProcessSerialNumber psn{};
        std::memcpy(psn.data(), &pid, sizeof pid);
        return psn;
    }

    std::optional<Rect> clientRect(xcb_window_t window) {
        auto geometry = reply(
            xcb_get_geometry_reply(connection_, xcb_get_geometry(connection_, window), nullptr));
        auto origin = clientOrigin(window);
        if (!geometry || !origin) {
            return std::nullopt;
        }
        return Rect{origin->x, origin->y, double(geometry->width), double(geometry->height)};
    }

    std::optional<Point> clientOrigin(xcb_window_t window) {
        auto origin = reply(xcb_translate_coordinates_reply(
            connection_, xcb_translate_coordinates(connection_, window, root_, 0, 0), nullptr));
        if (!origin) {
            return std::nullopt;
        }
        return Point{double(origin->dst_x), double(origin->dst_y)};
    }

    // ---- events ----

    // The off-window press and release that open a gesture carry the priming phases.
    static bool priming(const Event& event) {
        if (event.type != EventType::leftMouseDown && event.type != EventType::leftMouseUp) {
            return false;
        }
        return std::any_of(event.routeFields.begin(), event.routeFields.end(), [](auto field) {
            return field.first == FIELD_PHASE &&
                   (field.second == PHASE_PRIME_DOWN || field.second == PHASE_PRIME_UP);
        });
    }

    void pointer(const Event& event) {
        pointer_ = event.location;
        const std::uint16_t mask = buttonHeld_ ? XCB_BUTTON_MASK_1 : 0;
        switch (event.type) {
            case EventType::leftMouseDown:
                route_->button(true, BUTTON_LEFT, event.location, mask);
                buttonHeld_ = true;
                return;
            case EventType::leftMouseUp:
                route_->button(false, BUTTON_LEFT, event.location, XCB_BUTTON_MASK_1);
                buttonHeld_ = false;
                return;
            default:
                route_->motion(event.location, mask);
        }
    }

    // One press and release of a wheel button per notch; what is left of a notch waits for
    // the next scroll. A positive delta scrolls up.
    void scroll(const Event& event) {
        scrollCarry_ += event.scrollDelta;
        const std::int64_t notches = scrollCarry_ / SCROLL_NOTCH_PIXELS;
        scrollCarry_ -= notches * SCROLL_NOTCH_PIXELS;
        const std::uint8_t wheel = notches > 0 ? BUTTON_WHEEL_UP : BUTTON_WHEEL_DOWN;
        const std::uint16_t mask = buttonHeld_ ? XCB_BUTTON_MASK_1 : 0;
        for (std::int64_t i = 0; i < std::abs(notches); ++i) {
            route_->button(true, wheel, event.location, mask);
            route_->button(
                false, wheel, event.location,
                mask | (wheel == BUTTON_WHEEL_UP ? XCB_BUTTON_MASK_4 : XCB_BUTTON_MASK_5));
        }
    }

    PostOutcome keyDown(const Event& event) {
        const std::uint16_t state = modifierMask(event.flags);
        std::vector<xcb_keysym_t> keysyms;
        if (event.unicode.empty()) {
            auto keysym = keysymForKeyCode(event.keyCode);
            if (!keysym) {
                return PostOutcome::notCreated;
            }
            keysyms.push_back(*keysym);
        } else {
            for (char32_t c : codePoints(event.unicode)) {
                keysyms.push_back(keysymForCharacter(c));
            }
        }
        // Every character of a cluster but the last is pressed and released at once; the last
        // is held like any key until its release.
        for (std::size_t i = 0; i < keysyms.size(); ++i) {
            auto location = keyboard_->locate(keysyms[i], pressed_);
            if (!location) {
                return PostOutcome::unauthenticated;
            }
            if (location->newlyBound) {
                settleMapping();
            }
            const std::uint16_t levelState =
                state | (location->shifted ? std::uint16_t{XCB_MOD_MASK_SHIFT} : 0);
            route_->key(true, location->keycode, pointer_, levelState);
            if (i + 1 < keysyms.size()) {
                route_->key(false, location->keycode, pointer_, levelState);
            } else {
                pressed_[event.keyCode] = location->keycode;
            }
        }
        return PostOutcome::posted;
    }

    // A client that rereads its keymap on the change notice (Firefox) gets the time to do so
    // before the key arrives.
    void settleMapping() {
        sync();
        std::this_thread::sleep_for(MAPPING_SETTLE);
    }

    // Only what this relay pressed is released: nothing else is down on the window's side.
    void keyUp(const Event& event) {
        auto it = pressed_.find(event.keyCode);
        if (it != pressed_.end()) {
            route_->key(false, it->second, pointer_, modifierMask(event.flags));
            pressed_.erase(it);
        }
    }

    xcb_connection_t* connection_ = nullptr;
    xcb_window_t root_ = XCB_WINDOW_NONE;
    std::optional<X11WindowEnumerator> windows_;
    std::optional<std::vector<WindowEntry>> listed_;
    std::set<xcb_window_t> watched_;
    AccessibilityWatch accessibility_;
    bool atspiConnected_ = false;
    xcb_window_t raised_ = XCB_WINDOW_NONE;
    xcb_window_t target_ = XCB_WINDOW_NONE;
    Point pointer_;
    bool buttonHeld_ = false;
    std::int64_t scrollCarry_ = 0;
    std::map<std::uint16_t, xcb_keycode_t> pressed_;  // virtual key code to X keycode
    std::optional<X11Keyboard> keyboard_;
    std::unique_ptr<X11Route> route_;
    RouteKind routeKind_ = RouteKind::front;
    Toolkit toolkit_;
};

}  // namespace

std::unique_ptr<Platform> makePlatform() {
    posix_process::prepareProcess();
    return std::make_unique<X11Platform>();
}

}  // namespace input_relay
