// The one place the X11 platform picks how a window gets its input.
#pragma once

#include <string>
#include <string_view>

#include "platform.h"

namespace input_relay {

enum class RouteKind {
    sendEvent,  // events sent to the window alone
    front,      // the server's input path while the window is in front and the user idle
};

// The toolkit an application reports on the accessibility bus ("gtk" "3.24.38", "GTK" "4.8.3",
// "Qt" "5.15.8", "Gecko").
struct Toolkit {
    std::string name;
    std::string version;
};

// Where the route is asked for by name ("window" or "front"; empty for the default).
inline constexpr const char* ROUTE_VARIABLE = "INPUT_RELAY_X11_ROUTE";

// Every toolkit tried drops some sent events, so the window is driven in front unless sending
// to it alone is asked for.
RouteKind chooseRoute(std::string_view requested);

// Whether everything of these kinds that the route sends reaches the toolkit. Sent to the
// window alone, input of a kind the toolkit is known to drop does not.
bool delivers(RouteKind route, const Toolkit& toolkit, const InputKinds& kinds);

// GTK 4 on X reports every extent relative to its window, not to the screen.
bool reportsWindowRelativeExtents(const Toolkit& toolkit);

}  // namespace input_relay
