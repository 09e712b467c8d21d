// The desktop-info platform on X11: the cursor name XFixes reports, the window list of the
// shared X11 enumeration, AT-SPI for the element under the pointer, and XInput 2 raw-event
// selection standing in for the Input Monitoring gate X does not have.
#include <unistd.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>
#include <xcb/xinput.h>

#include <chrono>
#include <memory>

#include "atspi_client.h"
#include "cursor_names_x11.h"
#include "desktop_info_platform.h"
#include "x11_windows.h"

namespace desktop_info {
namespace {

using platform_linux::AtspiClient;
using platform_linux::AtspiElement;
using platform_linux::AtspiStatus;
using platform_linux::X11WindowEnumerator;
using platform_linux::XcbReply;

// The layer reported for every window that is not ordinary; ordinary ones are on layer 0.
constexpr int kNonOrdinaryLayer = 1;

AxStatus ToAxStatus(AtspiStatus status) {
    switch (status) {
        case AtspiStatus::kSuccess:
            return AxStatus::kSuccess;
        case AtspiStatus::kCannotComplete:
            return AxStatus::kCannotComplete;
        case AtspiStatus::kFailed:
            break;
    }
    return AxStatus::kFailure;
}

class AtspiAxElement : public AxElement {
  public:
    explicit AtspiAxElement(AtspiElement element) : element_(std::move(element)) {}
    const AtspiElement& element() const { return element_; }

  private:
    AtspiElement element_;
};

// One X connection, opened on first use and opened again after the server went away.
class X11Display {
  public:
    ~X11Display() { disconnect(); }

    bool connect() {
        if (connection_ != nullptr && xcb_connection_has_error(connection_) == 0) {
            return true;
        }
        disconnect();
        int screen = 0;
        connection_ = xcb_connect(nullptr, &screen);
        if (xcb_connection_has_error(connection_) != 0) {
            disconnect();
            return false;
        }
        auto roots = xcb_setup_roots_iterator(xcb_get_setup(connection_));
        for (int i = 0; i < screen; ++i) {
            xcb_screen_next(&roots);
        }
        root_ = roots.data->root;
        enumerator_ = std::make_unique<X11WindowEnumerator>(connection_, root_);
        XcbReply<xcb_xfixes_query_version_reply_t> fixes(xcb_xfixes_query_version_reply(
            connection_, xcb_xfixes_query_version(connection_, XCB_XFIXES_MAJOR_VERSION, 0),
            nullptr));
        cursorNames_ = fixes != nullptr && fixes->major_version >= 2;
        XcbReply<xcb_input_xi_query_version_reply_t> input(xcb_input_xi_query_version_reply(
            connection_, xcb_input_xi_query_version(connection_, 2, 0), nullptr));
        rawEvents_ = input != nullptr && input->major_version >= 2;
        return true;
    }

    xcb_connection_t* connection() const { return connection_; }
    xcb_window_t root() const { return root_; }
    const X11WindowEnumerator& windows() const { return *enumerator_; }
    bool cursorNames() const { return cursorNames_; }
    bool rawEvents() const { return rawEvents_; }

  private:
    void disconnect() {
        enumerator_.reset();
        if (connection_ != nullptr) {
            xcb_disconnect(connection_);
            connection_ = nullptr;
        }
    }

    xcb_connection_t* connection_ = nullptr;
    xcb_window_t root_ = XCB_WINDOW_NONE;
    std::unique_ptr<X11WindowEnumerator> enumerator_;
    bool cursorNames_ = false;
    bool rawEvents_ = false;
};

class X11DesktopInfoPlatform : public DesktopInfoPlatform {
  public:
    void setAccessibilityMessagingTimeout(float seconds) override {
        AtspiClient::setTimeout(
            std::chrono::milliseconds(static_cast<long>(seconds * 1000.0f + 0.5f)));
    }

    bool IsOrvelFrontmost() override {
        if (!display_.connect()) {
            return false;
        }
        const auto active = display_.windows().activeWindow();
        return active && display_.windows().windowPid(*active) == getpid();
    }

    HostCursor currentCursor() override {
        if (!display_.connect() || !display_.cursorNames()) {
            return {};
        }
        xcb_connection_t* c = display_.connection();
        XcbReply<xcb_xfixes_get_cursor_image_and_name_reply_t> reply(
            xcb_xfixes_get_cursor_image_and_name_reply(c, xcb_xfixes_get_cursor_image_and_name(c),
                                                       nullptr));
        if (!reply) {
            return {};
        }
        return HostCursorFromXCursorName(std::string_view(
            xcb_xfixes_get_cursor_image_and_name_name(reply.get()),
            static_cast<size_t>(xcb_xfixes_get_cursor_image_and_name_name_length(reply.get()))));
    }

    bool isAccessibilityTrusted() override { return AtspiClient::accessibilityEnabled(); }
    bool requestAccessibilityTrust() override { return AtspiClient::enableAccessibility(); }

    // A monotonic clock: the quiet period must not stretch or vanish when the wall clock is set.
    double absoluteTime() override {
        return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }

    std::optional<Point> pointerLocation() override {
        if (!display_.connect()) {
            return std::nullopt;
        }
        xcb_connection_t* c = display_.connection();
        XcbReply<xcb_query_pointer_reply_t> pointer(
            xcb_query_pointer_reply(c, xcb_query_pointer(c, display_.root()), nullptr));
        if (!pointer || !pointer->same_screen) {
            return std::nullopt;
        }
        return Point{static_cast<double>(pointer->root_x), static_cast<double>(pointer->root_y)};
    }

    AxElementAnswer elementAtPosition(float x, float y) override {
        auto answer =
            atspi_.elementAtPoint(static_cast<int>(x), static_cast<int>(y), ownerAt(x, y));
        AxElementAnswer result{ToAxStatus(answer.status), nullptr};
        if (answer.value && *answer.value) {
            result.element = std::make_unique<AtspiAxElement>(std::move(*answer.value));
        }
        return result;
    }

    AxAnswer<std::string> role(AxElement& element) override {
        const auto answer = atspi_.role(static_cast<AtspiAxElement&>(element).element());
        if (!answer.value) {
            return {ToAxStatus(answer.status), std::nullopt};
        }
        return {ToAxStatus(answer.status), std::string(answer.value->role)};
    }

    AxAnswer<bool> focused(AxElement& element) override {
        const auto answer = atspi_.focused(static_cast<AtspiAxElement&>(element).element());
        return {ToAxStatus(answer.status), answer.value};
    }

    // X asks no one's permission: listening is granted when the server accepts a selection of
    // raw key events on the root window, which is what a global input listener needs.
    InputMonitoringAccess checkInputMonitoring() override {
        if (!display_.connect() || !display_.rawEvents()) {
            return InputMonitoringAccess::kDenied;
        }
        xcb_connection_t* c = display_.connection();
        const bool granted = selectRawKeys(c, XCB_INPUT_XI_EVENT_MASK_RAW_KEY_PRESS);
        selectRawKeys(c, 0);
        while (XcbReply<xcb_generic_event_t> event{xcb_poll_for_event(c)}) {
        }
        return granted ? InputMonitoringAccess::kGranted : InputMonitoringAccess::kDenied;
    }

    bool requestInputMonitoring() override {
        return checkInputMonitoring() == InputMonitoringAccess::kGranted;
    }

    std::optional<std::vector<WindowEntry>> copyWindowList() override {
        if (!display_.connect()) {
            return std::nullopt;
        }
        std::vector<WindowEntry> entries;
        for (const auto& window : display_.windows().onScreenWindows()) {
            entries.push_back(
                {window.ordinary ? 0 : kNonOrdinaryLayer, window.id,
                 Rect{window.bounds.x, window.bounds.y, window.bounds.width, window.bounds.height},
                 window.title, window.ownerName});
        }
        return entries;
    }

  private:
    bool selectRawKeys(xcb_connection_t* c, uint32_t mask) {
        struct {
            xcb_input_event_mask_t head;
            uint32_t bits;
        } selection{{XCB_INPUT_DEVICE_ALL_MASTER, 1}, mask};
        XcbReply<xcb_generic_error_t> error(xcb_request_check(
            c, xcb_input_xi_select_events_checked(c, display_.root(), 1, &selection.head)));
        return error == nullptr;
    }

    // The process owning the front-most window under the point, so that the accessibility
    // search asks the application the user sees there.
    std::optional<pid_t> ownerAt(float x, float y) {
        if (!display_.connect()) {
            return std::nullopt;
        }
        for (const auto& window : display_.windows().onScreenWindows()) {
            const auto& b = window.bounds;
            if (x >= b.x && y >= b.y && x < b.x + b.width && y < b.y + b.height) {
                return window.pid > 0 ? std::optional<pid_t>(window.pid) : std::nullopt;
            }
        }
        return std::nullopt;
    }

    X11Display display_;
    AtspiClient atspi_;
};

}  // namespace

std::unique_ptr<DesktopInfoPlatform> MakeDesktopInfoPlatform() {
    return std::make_unique<X11DesktopInfoPlatform>();
}

}  // namespace desktop_info
