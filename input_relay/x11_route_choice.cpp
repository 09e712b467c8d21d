#include "x11_route_choice.h"

namespace input_relay {
namespace {

bool gtk4OrLater(const Toolkit& toolkit) {
    return toolkit.name == "GTK" && !toolkit.version.empty() && toolkit.version[0] >= '4' &&
           toolkit.version[0] <= '9';
}

}  // namespace

bool reportsWindowRelativeExtents(const Toolkit& toolkit) {
    return gtk4OrLater(toolkit);
}

std::optional<RouteKind> chooseRoute(const Toolkit& toolkit, std::string_view requested) {
    if (requested != "window") {
        return RouteKind::front;
    }
    if (gtk4OrLater(toolkit)) {  // GTK 4 drops every sent event
        return std::nullopt;
    }
    return RouteKind::sendEvent;
}

}  // namespace input_relay
