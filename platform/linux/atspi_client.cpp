#include "atspi_client.h"

#include <atspi/atspi.h>
#include <gio/gio.h>

#include <cstdlib>
#include <utility>

namespace platform_linux {
namespace {

constexpr const char* kBusName = "org.a11y.Bus";
constexpr const char* kBusPath = "/org/a11y/bus";
constexpr const char* kStatusInterface = "org.a11y.Status";
constexpr const char* kEnabledProperty = "IsEnabled";
// The bus launcher may need a moment to be activated; a status read waits this long at most.
constexpr int kStatusTimeoutMs = 250;
// Applications nest their widgets a few dozen levels deep at most.
constexpr int kDescentLimit = 64;

// The session bus, only when the environment names one: asking GLib for it otherwise
// would start a bus through X11 autolaunch and leave it running.
GDBusConnection* sessionBus() {
    if (std::getenv("DBUS_SESSION_BUS_ADDRESS") == nullptr) {
        return nullptr;
    }
    return g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
}

GVariant* callProperties(GDBusConnection* bus, const char* method, GVariant* arguments) {
    return g_dbus_connection_call_sync(bus, kBusName, kBusPath, "org.freedesktop.DBus.Properties",
                                       method, arguments, nullptr, G_DBUS_CALL_FLAGS_NONE,
                                       kStatusTimeoutMs, nullptr, nullptr);
}

bool readEnabled(GDBusConnection* bus) {
    GVariant* reply =
        callProperties(bus, "Get", g_variant_new("(ss)", kStatusInterface, kEnabledProperty));
    if (reply == nullptr) {
        return false;
    }
    GVariant* boxed = nullptr;
    g_variant_get(reply, "(v)", &boxed);
    const bool enabled =
        g_variant_is_of_type(boxed, G_VARIANT_TYPE_BOOLEAN) && g_variant_get_boolean(boxed);
    g_variant_unref(boxed);
    g_variant_unref(reply);
    return enabled;
}

// Any failed AT-SPI call is a failed exchange with an application (it did not answer in
// time, or it went away): libatspi reports no finer reason.
template <typename T>
AtspiAnswer<T> answer(GError* error, std::optional<T> value) {
    if (error != nullptr) {
        g_error_free(error);
        return {AtspiStatus::kCannotComplete, std::nullopt};
    }
    return {value ? AtspiStatus::kSuccess : AtspiStatus::kFailed, std::move(value)};
}

bool hasState(AtspiAccessible* accessible, AtspiStateType state) {
    AtspiStateSet* states = atspi_accessible_get_state_set(accessible);
    const bool result = states != nullptr && atspi_state_set_contains(states, state);
    if (states != nullptr) {
        g_object_unref(states);
    }
    return result;
}

// The showing top-level window of `application` that contains the point.
AtspiAnswer<AtspiElement> windowAt(AtspiAccessible* application, int x, int y) {
    GError* error = nullptr;
    const int count = atspi_accessible_get_child_count(application, &error);
    for (int i = 0; error == nullptr && i < count; ++i) {
        AtspiElement window(atspi_accessible_get_child_at_index(application, i, &error));
        if (!window || !hasState(window.get(), ATSPI_STATE_SHOWING)) {
            continue;
        }
        AtspiComponent* component = atspi_accessible_get_component_iface(window.get());
        if (component == nullptr) {
            continue;
        }
        const bool inside =
            atspi_component_contains(component, x, y, ATSPI_COORD_TYPE_SCREEN, &error);
        g_object_unref(component);
        if (inside) {
            return answer(error, std::optional<AtspiElement>(std::move(window)));
        }
    }
    return answer<AtspiElement>(error, std::nullopt);
}

AtspiAnswer<AtspiElement> deepestAt(AtspiElement element, int x, int y) {
    for (int depth = 0; depth < kDescentLimit; ++depth) {
        AtspiComponent* component = atspi_accessible_get_component_iface(element.get());
        if (component == nullptr) {
            break;
        }
        GError* error = nullptr;
        AtspiElement child(atspi_component_get_accessible_at_point(
            component, x, y, ATSPI_COORD_TYPE_SCREEN, &error));
        g_object_unref(component);
        if (error != nullptr) {
            return answer<AtspiElement>(error, std::nullopt);
        }
        if (!child || child.get() == element.get()) {
            break;
        }
        element = std::move(child);
    }
    return {AtspiStatus::kSuccess, std::move(element)};
}

}  // namespace

AtspiElement::AtspiElement(AtspiElement&& other) noexcept
    : accessible_(std::exchange(other.accessible_, nullptr)) {}

AtspiElement& AtspiElement::operator=(AtspiElement&& other) noexcept {
    if (this != &other) {
        if (accessible_ != nullptr) {
            g_object_unref(accessible_);
        }
        accessible_ = std::exchange(other.accessible_, nullptr);
    }
    return *this;
}

AtspiElement::~AtspiElement() {
    if (accessible_ != nullptr) {
        g_object_unref(accessible_);
    }
}

AxRole axRoleForAtspiRole(int atspiRole, bool singleLine) {
    switch (static_cast<AtspiRole>(atspiRole)) {
        case ATSPI_ROLE_PUSH_BUTTON:
        case ATSPI_ROLE_TOGGLE_BUTTON:
        case ATSPI_ROLE_PUSH_BUTTON_MENU:
            return {"AXButton", ""};
        case ATSPI_ROLE_LINK:
            return {"AXLink", ""};
        case ATSPI_ROLE_ENTRY:
            return {"AXTextField", ""};
        case ATSPI_ROLE_PASSWORD_TEXT:
            return {"AXTextField", "AXSecureTextField"};
        case ATSPI_ROLE_TEXT:
            return singleLine ? AxRole{"AXTextField", ""} : AxRole{"AXTextArea", ""};
        case ATSPI_ROLE_SLIDER:
            return {"AXSlider", ""};
        case ATSPI_ROLE_SCROLL_BAR:
            return {"AXScrollBar", ""};
        case ATSPI_ROLE_SPIN_BUTTON:
            return {"AXIncrementor", ""};
        case ATSPI_ROLE_LABEL:
        case ATSPI_ROLE_STATIC:
            return {"AXStaticText", ""};
        case ATSPI_ROLE_CHECK_BOX:
            return {"AXCheckBox", ""};
        case ATSPI_ROLE_RADIO_BUTTON:
            return {"AXRadioButton", ""};
        case ATSPI_ROLE_PAGE_TAB:
            return {"AXRadioButton", "AXTabButton"};
        case ATSPI_ROLE_PAGE_TAB_LIST:
            return {"AXTabGroup", ""};
        case ATSPI_ROLE_COMBO_BOX:
            return {"AXComboBox", ""};
        case ATSPI_ROLE_MENU_BAR:
            return {"AXMenuBar", ""};
        case ATSPI_ROLE_MENU:
            return {"AXMenu", ""};
        case ATSPI_ROLE_MENU_ITEM:
        case ATSPI_ROLE_CHECK_MENU_ITEM:
        case ATSPI_ROLE_RADIO_MENU_ITEM:
            return {"AXMenuItem", ""};
        case ATSPI_ROLE_FRAME:
        case ATSPI_ROLE_WINDOW:
            return {"AXWindow", "AXStandardWindow"};
        case ATSPI_ROLE_DIALOG:
        case ATSPI_ROLE_ALERT:
            return {"AXWindow", "AXDialog"};
        case ATSPI_ROLE_APPLICATION:
            return {"AXApplication", ""};
        case ATSPI_ROLE_IMAGE:
        case ATSPI_ROLE_ICON:
            return {"AXImage", ""};
        case ATSPI_ROLE_TABLE:
            return {"AXTable", ""};
        case ATSPI_ROLE_TREE:
        case ATSPI_ROLE_TREE_TABLE:
            return {"AXOutline", ""};
        case ATSPI_ROLE_TABLE_ROW:
            return {"AXRow", ""};
        case ATSPI_ROLE_TABLE_CELL:
            return {"AXCell", ""};
        case ATSPI_ROLE_LIST:
        case ATSPI_ROLE_LIST_BOX:
            return {"AXList", ""};
        case ATSPI_ROLE_TOOL_BAR:
            return {"AXToolbar", ""};
        case ATSPI_ROLE_PROGRESS_BAR:
            return {"AXProgressIndicator", ""};
        case ATSPI_ROLE_SCROLL_PANE:
            return {"AXScrollArea", ""};
        case ATSPI_ROLE_SPLIT_PANE:
            return {"AXSplitGroup", ""};
        case ATSPI_ROLE_HEADING:
            return {"AXHeading", ""};
        case ATSPI_ROLE_DOCUMENT_WEB:
            return {"AXWebArea", ""};
        case ATSPI_ROLE_PANEL:
        case ATSPI_ROLE_FILLER:
        case ATSPI_ROLE_GROUPING:
        case ATSPI_ROLE_SECTION:
            return {"AXGroup", ""};
        default:
            return {"AXUnknown", ""};
    }
}

bool AtspiClient::accessibilityEnabled() {
    GDBusConnection* bus = sessionBus();
    if (bus == nullptr) {
        return false;
    }
    const bool enabled = readEnabled(bus);
    g_object_unref(bus);
    return enabled;
}

bool AtspiClient::enableAccessibility() {
    GDBusConnection* bus = sessionBus();
    if (bus == nullptr) {
        return false;
    }
    GVariant* reply = callProperties(
        bus, "Set",
        g_variant_new("(ssv)", kStatusInterface, kEnabledProperty, g_variant_new_boolean(TRUE)));
    if (reply != nullptr) {
        g_variant_unref(reply);
    }
    const bool enabled = readEnabled(bus);
    g_object_unref(bus);
    return enabled;
}

void AtspiClient::setTimeout(std::chrono::milliseconds timeout) {
    const auto ms = static_cast<gint>(timeout.count());
    atspi_set_timeout(ms, ms);
}

bool AtspiClient::connect() {
    if (!connected_) {
        // 0: connected now; 1: the process was already connected.
        connected_ = atspi_init() <= 1;
    }
    return connected_;
}

AtspiAnswer<AtspiElement> AtspiClient::elementAtPoint(int x, int y, std::optional<pid_t> pid) {
    if (!connect()) {
        return {};
    }
    AtspiElement desktop(atspi_get_desktop(0));
    if (!desktop) {
        return {};
    }
    GError* error = nullptr;
    const int count = atspi_accessible_get_child_count(desktop.get(), &error);
    for (int i = 0; error == nullptr && i < count; ++i) {
        AtspiElement application(atspi_accessible_get_child_at_index(desktop.get(), i, &error));
        if (!application) {
            continue;
        }
        if (pid && static_cast<pid_t>(atspi_accessible_get_process_id(application.get(), &error)) !=
                       *pid) {
            continue;
        }
        auto window = windowAt(application.get(), x, y);
        if (window.status != AtspiStatus::kFailed) {
            return window.value ? deepestAt(std::move(*window.value), x, y) : std::move(window);
        }
    }
    return answer<AtspiElement>(error, std::nullopt);
}

AtspiAnswer<AxRole> AtspiClient::role(const AtspiElement& element) {
    GError* error = nullptr;
    const AtspiRole role = atspi_accessible_get_role(element.get(), &error);
    const bool singleLine =
        role == ATSPI_ROLE_TEXT && hasState(element.get(), ATSPI_STATE_SINGLE_LINE);
    return answer(error, std::optional<AxRole>(axRoleForAtspiRole(role, singleLine)));
}

AtspiAnswer<bool> AtspiClient::focused(const AtspiElement& element) {
    return {AtspiStatus::kSuccess, hasState(element.get(), ATSPI_STATE_FOCUSED)};
}

}  // namespace platform_linux
