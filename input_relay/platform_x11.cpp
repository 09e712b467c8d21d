// The relay's platform on an X server and the AT-SPI accessibility bus. Every event is
// addressed to the selected window alone with SendEvent; nothing enters the server's input
// stream, so the pointer and the keyboard of the user stay where they are.
#include <X11/keysym.h>
#include <atspi/atspi.h>
#include <gio/gio.h>
#include <signal.h>
#include <unistd.h>
#include <xcb/res.h>
#include <xcb/xcb.h>

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
#include "keys.h"
#include "platform.h"
#include "posix_process.h"
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
// X's NotifyNormal mode and NotifyNonlinear detail: focus arrives from an unrelated window.
constexpr std::uint8_t FOCUS_MODE_NORMAL = 0;
constexpr std::uint8_t FOCUS_DETAIL_NONLINEAR = 3;
constexpr std::string_view RAISE_ACTION = "AXRaise";
// The pager source indication: window managers honour it without focus-stealing checks.
constexpr std::uint32_t ACTIVATION_SOURCE_PAGER = 2;

// Virtual key codes of the keys with names, and the keysym each stands for on X.
constexpr std::pair<std::uint16_t, xcb_keysym_t> NAMED_KEYSYMS[] = {
    {36, XK_Return},  {48, XK_Tab},    {49, XK_space},     {51, XK_BackSpace}, {53, XK_Escape},
    {123, XK_Left},   {124, XK_Right}, {125, XK_Down},     {126, XK_Up},       {115, XK_Home},
    {119, XK_End},    {116, XK_Prior}, {121, XK_Next},     {117, XK_Delete},   {55, XK_Control_L},
    {56, XK_Shift_L}, {58, XK_Alt_L},  {59, XK_Control_L},
};

// The keysym of one Unicode character: Latin-1 keysyms are the characters themselves, the
// control characters have function keysyms, everything else is a Unicode keysym.
xcb_keysym_t keysymForCharacter(char32_t c) {
    switch (c) {
        case U'\b':
            return XK_BackSpace;
        case U'\t':
            return XK_Tab;
        case U'\n':
            return XK_Linefeed;
        case U'\r':
            return XK_Return;
        case U'\x1b':
            return XK_Escape;
        case U'\x7f':
            return XK_Delete;
        default:
            break;
    }
    if ((c >= 0x20 && c <= 0x7e) || (c >= 0xa0 && c <= 0xff)) {
        return c;
    }
    return 0x01000000 + c;
}

std::optional<xcb_keysym_t> keysymForKeyCode(std::uint16_t code) {
    for (auto [named, keysym] : NAMED_KEYSYMS) {
        if (named == code) {
            return keysym;
        }
    }
    for (const auto& [character, key] : BASE) {
        if (key.code == code) {
            return keysymForCharacter(character);
        }
    }
    return std::nullopt;
}

std::uint16_t modifierMask(Flags flags) {
    std::uint16_t mask = 0;
    const std::pair<Flags, std::uint16_t> masks[] = {{FLAG_SHIFT, XCB_MOD_MASK_SHIFT},
                                                     {FLAG_CONTROL, XCB_MOD_MASK_CONTROL},
                                                     {FLAG_OPTION, XCB_MOD_MASK_1},
                                                     {FLAG_COMMAND, XCB_MOD_MASK_CONTROL}};
    for (auto [flag, bit] : masks) {
        if ((flags & flag) != 0) {
            mask |= bit;
        }
    }
    return mask;
}

std::vector<char32_t> codePoints(const std::u16string& units) {
    std::vector<char32_t> result;
    for (std::size_t i = 0; i < units.size(); ++i) {
        char32_t c = units[i];
        if (c >= 0xd800 && c < 0xdc00 && i + 1 < units.size() && units[i + 1] >= 0xdc00 &&
            units[i + 1] < 0xe000) {
            c = 0x10000 + ((c - 0xd800) << 10) + (units[i + 1] - 0xdc00);
            ++i;
        }
        result.push_back(c);
    }
    return result;
}

std::int16_t coordinate(double value) {
    return static_cast<std::int16_t>(
        std::clamp(std::round(value), double{INT16_MIN}, double{INT16_MAX}));
}

template <typename T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

template <typename T>
Reply<T> reply(T* raw) {
    return Reply<T>(raw, &std::free);
}

// ---- accessibility values ----

class AtspiAxElement : public AxElement {
  public:
    explicit AtspiAxElement(AtspiAccessible* accessible) : element_(accessible) {}
    AtspiAccessible* get() const { return element_.get(); }

  private:
    AtspiElement element_;
};

AtspiAccessible* accessible(const Element& element) {
    const auto* own = dynamic_cast<const AtspiAxElement*>(element.get());
    return own ? own->get() : nullptr;
}

// Any failed call clears its error and reads as "nothing".
bool failed(GError*& error) {
    if (error == nullptr) {
        return false;
    }
    g_error_free(error);
    error = nullptr;
    return true;
}

std::optional<std::string> takeString(gchar* text, GError*& error) {
    if (failed(error) || text == nullptr) {
        g_free(text);
        return std::nullopt;
    }
    std::string result(text);
    g_free(text);
    return result;
}

AxValue stringOrError(std::optional<std::string> text) {
    if (!text || text->empty()) {
        return AxError{};
    }
    return std::move(*text);
}

std::optional<ElementList> children(AtspiAccessible* parent) {
    GError* error = nullptr;
    const int count = atspi_accessible_get_child_count(parent, &error);
    if (failed(error)) {
        return std::nullopt;
    }
    ElementList list;
    for (int i = 0; i < count; ++i) {
        AtspiAccessible* child = atspi_accessible_get_child_at_index(parent, i, &error);
        if (failed(error)) {
            return std::nullopt;
        }
        if (child != nullptr) {
            list.push_back(std::make_shared<AtspiAxElement>(child));
        }
    }
    return list;
}

struct States {
    AtspiStateSet* set;
    explicit States(AtspiAccessible* a) : set(atspi_accessible_get_state_set(a)) {}
    States(const States&) = delete;
    States& operator=(const States&) = delete;
    ~States() {
        if (set != nullptr) {
            g_object_unref(set);
        }
    }
    AxValue flag(AtspiStateType state) const {
        if (set == nullptr) {
            return AxError{};
        }
        return AxNumber{static_cast<bool>(atspi_state_set_contains(set, state))};
    }
};

std::optional<Rect> screenExtents(AtspiAccessible* a) {
    AtspiComponent* component = atspi_accessible_get_component_iface(a);
    if (component == nullptr) {
        return std::nullopt;
    }
    GError* error = nullptr;
    AtspiRect* extents = atspi_component_get_extents(component, ATSPI_COORD_TYPE_SCREEN, &error);
    g_object_unref(component);
    if (failed(error) || extents == nullptr) {
        return std::nullopt;
    }
    Rect rect{double(extents->x), double(extents->y), double(extents->width),
              double(extents->height)};
    g_free(extents);
    return rect;
}

std::optional<std::string> placeholder(AtspiAccessible* a) {
    GError* error = nullptr;
    GHashTable* attributes = atspi_accessible_get_attributes(a, &error);
    if (failed(error) || attributes == nullptr) {
        return std::nullopt;
    }
    std::optional<std::string> text;
    if (auto* value =
            static_cast<const char*>(g_hash_table_lookup(attributes, "placeholder-text"))) {
        text = value;
    }
    g_hash_table_unref(attributes);
    return text;
}

std::optional<std::string> textContent(AtspiAccessible* a) {
    AtspiText* text = atspi_accessible_get_text_iface(a);
    if (text == nullptr) {
        return std::nullopt;
    }
    GError* error = nullptr;
    const int count = atspi_text_get_character_count(text, &error);
    std::optional<std::string> result;
    if (!failed(error)) {
        result = takeString(atspi_text_get_text(text, 0, count, &error), error);
    }
    g_object_unref(text);
    return result;
}

std::optional<double> currentValue(AtspiAccessible* a) {
    AtspiValue* value = atspi_accessible_get_value_iface(a);
    if (value == nullptr) {
        return std::nullopt;
    }
    GError* error = nullptr;
    const double current = atspi_value_get_current_value(value, &error);
    g_object_unref(value);
    if (failed(error)) {
        return std::nullopt;
    }
    return current;
}

// The value an element shows: the text of text roles, the checked state of toggles as 0 or 1,
// the current number of ranges. A password field's text is never read.
AxValue elementValue(AtspiAccessible* a, AtspiRole role, const States& states) {
    switch (role) {
        case ATSPI_ROLE_PASSWORD_TEXT:
            return AxError{};
        case ATSPI_ROLE_ENTRY:
        case ATSPI_ROLE_TEXT:
        case ATSPI_ROLE_LABEL:
        case ATSPI_ROLE_STATIC:
            return stringOrError(textContent(a));
        case ATSPI_ROLE_CHECK_BOX:
        case ATSPI_ROLE_RADIO_BUTTON:
        case ATSPI_ROLE_TOGGLE_BUTTON:
        case ATSPI_ROLE_CHECK_MENU_ITEM:
        case ATSPI_ROLE_RADIO_MENU_ITEM:
            if (states.set == nullptr) {
                return AxError{};
            }
            return AxNumber{
                std::int64_t{atspi_state_set_contains(states.set, ATSPI_STATE_CHECKED) ? 1 : 0}};
        default:
            if (auto number = currentValue(a)) {
                return AxNumber{*number};
            }
            return AxError{};
    }
}

// The role and subrole names the report speaks. A password field is a secure text field in
// its own right, so that its text can never reach the report; toolkits call single-line text
// fields plain text.
std::pair<std::string, std::optional<std::string>> roleNames(AtspiRole role, const States& states) {
    auto names = platform_linux::axRoleForAtspiRole(role);
    if (role == ATSPI_ROLE_PASSWORD_TEXT) {
        return {std::string(names.subrole), std::nullopt};
    }
    if (role == ATSPI_ROLE_TEXT && states.set != nullptr &&
        atspi_state_set_contains(states.set, ATSPI_STATE_SINGLE_LINE)) {
        names = platform_linux::axRoleForAtspiRole(ATSPI_ROLE_ENTRY);
    }
    std::optional<std::string> subrole;
    if (!names.subrole.empty()) {
        subrole = std::string(names.subrole);
    }
    return {std::string(names.role), subrole};
}

// Whether the session's accessibility bus is on, kept current by the bus launcher's change
// notices instead of one bus round trip per question.
class AccessibilityWatch {
  public:
    AccessibilityWatch() {
        // Only a session the environment names: GLib would otherwise start one.
        if (std::getenv("DBUS_SESSION_BUS_ADDRESS") != nullptr) {
            bus_ = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
        }
        if (bus_ == nullptr) {
            return;
        }
        // Subscribed before the first read, so that no change falls between the two.
        subscription_ = g_dbus_connection_signal_subscribe(
            bus_, ACCESSIBILITY_BUS, PROPERTIES_INTERFACE, "PropertiesChanged", ACCESSIBILITY_PATH,
            STATUS_INTERFACE, G_DBUS_SIGNAL_FLAGS_NONE, &AccessibilityWatch::changed, this,
            nullptr);
        enabled_ = AtspiClient::accessibilityEnabled();
    }
    AccessibilityWatch(const AccessibilityWatch&) = delete;
    AccessibilityWatch& operator=(const AccessibilityWatch&) = delete;
    ~AccessibilityWatch() {
        if (bus_ != nullptr) {
            g_dbus_connection_signal_unsubscribe(bus_, subscription_);
            g_object_unref(bus_);
        }
    }

    bool enabled() {
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
        return bus_ != nullptr && !g_dbus_connection_is_closed(bus_) && enabled_;
    }

  private:
    static constexpr const char* ACCESSIBILITY_BUS = "org.a11y.Bus";
    static constexpr const char* ACCESSIBILITY_PATH = "/org/a11y/bus";
    static constexpr const char* PROPERTIES_INTERFACE = "org.freedesktop.DBus.Properties";
    static constexpr const char* STATUS_INTERFACE = "org.a11y.Status";
    static constexpr const char* ENABLED_PROPERTY = "IsEnabled";

    static void changed(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                        GVariant* parameters, gpointer self) {
        GVariant* properties = nullptr;
        g_variant_get(parameters, "(&s@a{sv}@as)", nullptr, &properties, nullptr);
        gboolean enabled = FALSE;
        if (properties != nullptr &&
            g_variant_lookup(properties, ENABLED_PROPERTY, "b", &enabled)) {
            static_cast<AccessibilityWatch*>(self)->enabled_ = enabled != FALSE;
        }
        if (properties != nullptr) {
            g_variant_unref(properties);
        }
    }

    GDBusConnection* bus_ = nullptr;
    guint subscription_ = 0;
    bool enabled_ = false;
};

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
    }
    X11Platform(const X11Platform&) = delete;
    X11Platform& operator=(const X11Platform&) = delete;
    ~X11Platform() override {
        // The spare keycodes bound for typing are given back.
        for (const auto& [keycode, keysym] : spares_) {
            bindKeysym(keycode, XCB_NO_SYMBOL);
        }
        // A server may drop what a client sent just before it went away: everything sent is
        // handled before the connection closes.
        sync();
        xcb_disconnect(connection_);
    }

    Desktop desktop() override { return Desktop::freedesktop; }

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
        origin_.reset();
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
    // element's extents.
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
        for (const X11Window& w : windows_->onScreenWindows()) {
            if (ownerPid(w) != pid) {
                continue;
            }
            const Rect outer{w.bounds.x, w.bounds.y, w.bounds.width, w.bounds.height};
            if (*extents == outer || clientRect(w.id) == extents) {
                return w.id;
            }
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
        GError* error = nullptr;
        const AtspiRole role = atspi_accessible_get_role(a, &error);
        if (failed(error)) {
            return std::nullopt;
        }
        const States states(a);
        auto [roleName, subrole] = roleNames(role, states);
        const auto extents = screenExtents(a);
        std::vector<AxValue> values;
        for (std::string_view attribute : attributes) {
            values.push_back(
                attributeValue(a, attribute, roleName, subrole, role, states, extents));
        }
        return values;
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

    // Every route function stands for SendEvent to a window of the display, which works
    // while the display answers; keys need a readable keyboard mapping.
    bool routeFunctionAvailable(std::string_view) override { return connected(); }
    bool authenticationRouteAvailable() override { return readKeyboardMapping(); }

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
        origin_.reset();
        xcb_focus_in_event_t focus{};
        focus.response_type = XCB_FOCUS_IN;
        focus.detail = FOCUS_DETAIL_NONLINEAR;
        focus.event = target_;
        focus.mode = FOCUS_MODE_NORMAL;
        send(focus);
    }

    PostOutcome postToPid(std::int32_t, const Event& event) override {
        if (target_ == XCB_WINDOW_NONE || !connected()) {
            return PostOutcome::notCreated;
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

  private:
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

    struct KeyLocation {
        xcb_keycode_t keycode = 0;
        bool shifted = false;
    };

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

    AxValue attributeValue(AtspiAccessible* a, std::string_view attribute,
                           const std::string& roleName, const std::optional<std::string>& subrole,
                           AtspiRole role, const States& states,
                           const std::optional<Rect>& extents) {
        GError* error = nullptr;
        if (attribute == "AXRole") {
            return roleName;
        }
        if (attribute == "AXSubrole") {
            return subrole ? AxValue{*subrole} : AxValue{AxError{}};
        }
        if (attribute == "AXTitle") {
            return stringOrError(takeString(atspi_accessible_get_name(a, &error), error));
        }
        if (attribute == "AXDescription") {
            return stringOrError(takeString(atspi_accessible_get_description(a, &error), error));
        }
        if (attribute == "AXPlaceholderValue") {
            return stringOrError(placeholder(a));
        }
        if (attribute == "AXValue") {
            return elementValue(a, role, states);
        }
        if (attribute == "AXEnabled") {
            return states.flag(ATSPI_STATE_ENABLED);
        }
        if (attribute == "AXFocused") {
            return states.flag(ATSPI_STATE_FOCUSED);
        }
        if (attribute == "AXPosition" && extents) {
            return AxPoint{{extents->x, extents->y}};
        }
        if (attribute == "AXSize" && extents) {
            return AxSize{extents->width, extents->height};
        }
        if (attribute == "AXChildren") {
            if (auto list = children(a)) {
                return std::move(*list);
            }
        }
        return AxError{};
    }

    // ---- events ----

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
            origin_ = clientOrigin(target_).value_or(Point{});
        }
        const Point origin = *origin_;
        x.time = XCB_CURRENT_TIME;
        x.root = root_;
        x.event = target_;
        x.child = XCB_WINDOW_NONE;
        x.root_x = coordinate(location.x);
        x.root_y = coordinate(location.y);
        x.event_x = coordinate(location.x - origin.x);
        x.event_y = coordinate(location.y - origin.y);
        x.same_screen = 1;
    }

    // A key or button event: the two share one layout.
    template <typename XEvent>
    void press(std::uint8_t type, std::uint8_t detail, Point location, std::uint16_t state) {
        XEvent x{};
        x.response_type = type;
        x.detail = detail;
        x.state = state;
        place(x, location);
        send(x);
    }

    void button(std::uint8_t type, std::uint8_t number, Point location, std::uint16_t state) {
        press<xcb_button_press_event_t>(type, number, location, state);
    }

    void pointer(const Event& event) {
        pointer_ = event.location;
        switch (event.type) {
            case EventType::leftMouseDown:
                button(XCB_BUTTON_PRESS, BUTTON_LEFT, event.location, 0);
                buttonHeld_ = true;
                return;
            case EventType::leftMouseUp:
                button(XCB_BUTTON_RELEASE, BUTTON_LEFT, event.location, XCB_BUTTON_MASK_1);
                buttonHeld_ = false;
                return;
            default: {
                xcb_motion_notify_event_t x{};
                x.response_type = XCB_MOTION_NOTIFY;
                x.state = buttonHeld_ ? XCB_BUTTON_MASK_1 : 0;
                place(x, event.location);
                send(x);
            }
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
            button(XCB_BUTTON_PRESS, wheel, event.location, mask);
            button(XCB_BUTTON_RELEASE, wheel, event.location,
                   mask | (wheel == BUTTON_WHEEL_UP ? XCB_BUTTON_MASK_4 : XCB_BUTTON_MASK_5));
        }
    }

    void key(std::uint8_t type, xcb_keycode_t keycode, std::uint16_t state) {
        press<xcb_key_press_event_t>(type, keycode, pointer_, state);
    }

    PostOutcome keyDown(const Event& event) {
        const std::uint16_t state = modifierMask(event.flags.value_or(0));
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
            auto location = locate(keysyms[i]);
            if (!location) {
                return PostOutcome::unauthenticated;
            }
            const std::uint16_t levelState =
                state | (location->shifted ? std::uint16_t{XCB_MOD_MASK_SHIFT} : 0);
            key(XCB_KEY_PRESS, location->keycode, levelState);
            if (i + 1 < keysyms.size()) {
                key(XCB_KEY_RELEASE, location->keycode, levelState);
            } else {
                pressed_[event.keyCode] = location->keycode;
            }
        }
        return PostOutcome::posted;
    }

    // Only what this relay pressed is released: nothing else is down on the window's side.
    void keyUp(const Event& event) {
        auto it = pressed_.find(event.keyCode);
        if (it != pressed_.end()) {
            key(XCB_KEY_RELEASE, it->second, modifierMask(event.flags.value_or(0)));
            pressed_.erase(it);
        }
    }

    // ---- keyboard mapping ----

    bool readKeyboardMapping() {
        if (!connected()) {
            return false;
        }
        const xcb_setup_t* setup = xcb_get_setup(connection_);
        minKeycode_ = setup->min_keycode;
        const int count = setup->max_keycode - setup->min_keycode + 1;
        auto mapping = reply(xcb_get_keyboard_mapping_reply(
            connection_, xcb_get_keyboard_mapping(connection_, minKeycode_, count), nullptr));
        if (!mapping || mapping->keysyms_per_keycode == 0) {
            return false;
        }
        perKeycode_ = mapping->keysyms_per_keycode;
        const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(mapping.get());
        keysyms_.assign(syms, syms + xcb_get_keyboard_mapping_keysyms_length(mapping.get()));
        return true;
    }

    // The keycode that types the keysym unshifted or with Shift. When no key holds it, a free
    // keycode is bound to it and stays bound until the relay ends (or needs the keycode for
    // another character), so that a client reading its events late still finds the
    // character on the key; the bindings are undone when the relay ends.
    std::optional<KeyLocation> locate(xcb_keysym_t keysym) {
        if (!readKeyboardMapping()) {
            return std::nullopt;
        }
        const std::size_t count = keysyms_.size() / perKeycode_;
        for (std::size_t level = 0; level < std::min<std::size_t>(2, perKeycode_); ++level) {
            for (std::size_t k = 0; k < count; ++k) {
                if (keysyms_[k * perKeycode_ + level] == keysym) {
                    return KeyLocation{keycodeAt(k), level == 1};
                }
            }
        }
        auto spare = freeKeycode();
        if (!spare) {
            return std::nullopt;
        }
        bindKeysym(*spare, keysym);
        spares_.erase(std::remove_if(spares_.begin(), spares_.end(),
                                     [&](const auto& s) { return s.first == *spare; }),
                      spares_.end());
        spares_.emplace_back(*spare, keysym);
        return KeyLocation{*spare, false};
    }

    // A keycode without symbols, else the one bound longest ago that is not held down.
    std::optional<xcb_keycode_t> freeKeycode() const {
        const std::size_t count = keysyms_.size() / perKeycode_;
        for (std::size_t k = count; k-- > 0;) {
            const auto first = keysyms_.begin() + static_cast<std::ptrdiff_t>(k * perKeycode_);
            if (std::all_of(first, first + perKeycode_,
                            [](xcb_keysym_t s) { return s == XCB_NO_SYMBOL; })) {
                return keycodeAt(k);
            }
        }
        for (const auto& [keycode, keysym] : spares_) {
            if (std::none_of(pressed_.begin(), pressed_.end(),
                             [&](const auto& p) { return p.second == keycode; })) {
                return keycode;
            }
        }
        return std::nullopt;
    }

    xcb_keycode_t keycodeAt(std::size_t index) const {
        return static_cast<xcb_keycode_t>(minKeycode_ + index);
    }

    // Binds the keysym to both levels of the keycode (NoSymbol frees it). The server tells
    // every client about the new mapping before it delivers any later event.
    void bindKeysym(xcb_keycode_t keycode, xcb_keysym_t keysym) {
        std::vector<xcb_keysym_t> syms(perKeycode_, XCB_NO_SYMBOL);
        syms[0] = keysym;
        if (perKeycode_ > 1) {
            syms[1] = keysym;
        }
        xcb_change_keyboard_mapping(connection_, 1, keycode, perKeycode_, syms.data());
    }

    xcb_connection_t* connection_ = nullptr;
    xcb_window_t root_ = XCB_WINDOW_NONE;
    std::optional<X11WindowEnumerator> windows_;
    std::optional<std::vector<WindowEntry>> listed_;
    std::optional<Point> origin_;  // of the target window, as fresh as the list
    std::set<xcb_window_t> watched_;
    AccessibilityWatch accessibility_;
    bool atspiConnected_ = false;
    xcb_window_t raised_ = XCB_WINDOW_NONE;
    xcb_window_t target_ = XCB_WINDOW_NONE;
    Point pointer_;
    bool buttonHeld_ = false;
    std::int64_t scrollCarry_ = 0;
    std::map<std::uint16_t, xcb_keycode_t> pressed_;              // virtual key code to X keycode
    std::vector<std::pair<xcb_keycode_t, xcb_keysym_t>> spares_;  // oldest binding first
    xcb_keycode_t minKeycode_ = 0;
    std::uint8_t perKeycode_ = 0;
    std::vector<xcb_keysym_t> keysyms_;
};

}  // namespace

std::unique_ptr<Platform> makePlatform() {
    posix_process::prepareProcess();
    return std::make_unique<X11Platform>();
}

}  // namespace input_relay
