// The accessibility side of the X11 platform: AT-SPI elements as the relay's elements, their
// attributes under the relay's names, and whether the session's accessibility bus is on.
#pragma once

#include <atspi/atspi.h>
#include <gio/gio.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "atspi_client.h"
#include "platform.h"

namespace input_relay {

class AtspiAxElement : public AxElement {
  public:
    explicit AtspiAxElement(AtspiAccessible* accessible) : element_(accessible) {}
    AtspiAccessible* get() const { return element_.get(); }

  private:
    platform_linux::AtspiElement element_;
};

AtspiAccessible* accessible(const Element& element);
// Any failed call clears its error and reads as "nothing".
bool failed(GError*& error);
std::optional<std::string> takeString(gchar* text, GError*& error);
std::optional<ElementList> children(AtspiAccessible* parent);
std::optional<Rect> screenExtents(AtspiAccessible* a);
// The attributes of one element, `extents` standing for its place on screen; none when its
// role cannot be read.
std::optional<std::vector<AxValue>> readAttributes(AtspiAccessible* a,
                                                   const std::vector<std::string_view>& attributes,
                                                   const std::optional<Rect>& extents);

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
        enabled_ = platform_linux::AtspiClient::accessibilityEnabled();
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

}  // namespace input_relay
