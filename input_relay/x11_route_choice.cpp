#include "x11_route_choice.h"

#include <algorithm>
#include <cctype>

namespace input_relay {
namespace {

// The name in any case (GTK 3 says "gtk", GTK 4 "GTK"), and the first digit of the version.
bool major(const Toolkit& toolkit, std::string_view name, char first, char last) {
    return std::equal(toolkit.name.begin(), toolkit.name.end(), name.begin(), name.end(),
                      [](unsigned char a, unsigned char b) {
                          return std::toupper(a) == std::toupper(b);
                      }) &&
           !toolkit.version.empty() && toolkit.version[0] >= first && toolkit.version[0] <= last;
}

bool gtk4OrLater(const Toolkit& toolkit) {
    return major(toolkit, "GTK", '4', '9');
}

// GTK 3 and Firefox take pointer events (the wheel included) only under real crossings, GTK 4
// takes no sent event, Qt 5 takes the wheel only as XInput 2 smooth scrolling, which cannot be
// sent.
InputKinds droppedWhenSent(const Toolkit& toolkit) {
    if (gtk4OrLater(toolkit)) {
        return {.pointer = true, .scroll = true, .keys = true};
    }
    if (major(toolkit, "GTK", '3', '3') || toolkit.name == "Gecko") {
        return {.pointer = true, .scroll = true};
    }
    if (major(toolkit, "Qt", '5', '5')) {
        return {.scroll = true};
    }
    return {};
}

}  // namespace

bool reportsWindowRelativeExtents(const Toolkit& toolkit) {
    return gtk4OrLater(toolkit);
}

RouteKind chooseRoute(std::string_view requested) {
    return requested == "window" ? RouteKind::sendEvent : RouteKind::front;
}

bool delivers(RouteKind route, const Toolkit& toolkit, const InputKinds& kinds) {
    return route == RouteKind::front || !kinds.overlaps(droppedWhenSent(toolkit));
}

}  // namespace input_relay
