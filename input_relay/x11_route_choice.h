// The one place the X11 platform picks how a window gets its input.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace input_relay {

enum class RouteKind {
    sendEvent,  // events sent to the window alone
    front,      // the server's input path while the window is in front and the user idle
};

// The toolkit an application reports on the accessibility bus ("GTK" "4.8.3", "Qt", "Gecko").
struct Toolkit {
    std::string name;
    std::string version;
};

// Where the route is asked for by name ("window" or "front"; empty for the default).
inline constexpr const char* ROUTE_VARIABLE = "INPUT_RELAY_X11_ROUTE";

// Every toolkit tried drops some sent events (GTK 3 and Firefox pointer events outside real
// crossings, Qt 5 and Firefox the wheel, Chromium drags), so the window is driven in front
// unless sending to it alone is asked for; that is refused for a toolkit that drops every sent
// event (GTK 4), since nothing would arrive. None: the route asked for cannot deliver.
std::optional<RouteKind> chooseRoute(const Toolkit& toolkit, std::string_view requested);

// GTK 4 on X reports every extent relative to its window, not to the screen.
bool reportsWindowRelativeExtents(const Toolkit& toolkit);

}  // namespace input_relay
