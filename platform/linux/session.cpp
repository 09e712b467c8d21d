#include "session.h"

#include <cstdlib>
#include <cstring>

namespace platform_linux {

SessionKind sessionKindFrom(const char* waylandDisplay, const char* sessionType) {
    const bool hasWaylandDisplay = waylandDisplay != nullptr && *waylandDisplay != '\0';
    const bool waylandType = sessionType != nullptr && std::strcmp(sessionType, "wayland") == 0;
    return hasWaylandDisplay || waylandType ? SessionKind::wayland : SessionKind::x11;
}

SessionKind currentSessionKind() {
    return sessionKindFrom(std::getenv("WAYLAND_DISPLAY"), std::getenv("XDG_SESSION_TYPE"));
}

}  // namespace platform_linux
