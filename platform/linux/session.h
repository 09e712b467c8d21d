// Which kind of desktop session this process runs in. On a Wayland session the X display
// is XWayland: it sees XWayland clients only, and its root window holds no picture.
#pragma once

namespace platform_linux {

enum class SessionKind { x11, wayland };

// The session kind from the two variables a Wayland desktop sets for its clients
// (either may be null): a Wayland display to connect to, or a session type of "wayland".
SessionKind sessionKindFrom(const char* waylandDisplay, const char* sessionType);

// The session kind of this process, read from its environment.
SessionKind currentSessionKind();

}  // namespace platform_linux
