// The relay's one failure path: every failure is a RelayFailure carrying its line; the runner
// catches it, releases held input, writes the line and ends with status 2.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace input_relay {

struct RelayFailure {
    std::string message;
};

[[noreturn]] inline void fail(std::string message) {
    throw RelayFailure{std::move(message)};
}

namespace messages {
inline constexpr std::string_view NO_POINTER =
    "Could not inspect the current pointer before capture input.";
inline constexpr std::string_view NO_WINDOW = "Packaged input requires a selected capture window.";
inline constexpr std::string_view CANCELLED = "Selected capture input was cancelled.";
inline constexpr std::string_view INVALID_PAYLOAD = "Invalid UTF-8 input payload.";
inline constexpr std::string_view NO_PERMISSION =
    "Enable Orvel in System Settings > Privacy & Security > Accessibility before assistant "
    "capture.";
inline constexpr std::string_view NO_ACCESSIBILITY_BUS =
    "Turn on assistive technologies for this desktop session (GNOME: Settings > Accessibility; "
    "elsewhere set org.a11y.Status IsEnabled on the session bus) before assistant capture.";
inline constexpr std::string_view WINDOW_UNAVAILABLE = "Selected capture window is unavailable.";
inline constexpr std::string_view NOT_XWAYLAND_WINDOW =
    "Selected capture window is not an XWayland window: on Wayland only X11 (XWayland) windows "
    "can be driven; run the app with GDK_BACKEND=x11, QT_QPA_PLATFORM=xcb or "
    "--ozone-platform=x11.";
inline constexpr std::string_view NO_ACCESSIBILITY_WINDOWS =
    "Could not inspect the selected application's windows through Accessibility.";
inline constexpr std::string_view NOT_RAISED =
    "The selected window could not be brought on screen.";
inline constexpr std::string_view NO_BUNDLE =
    "The selected window's app has no bundle to activate.";
inline constexpr std::string_view STAYS_HIDDEN =
    "The selected window stays hidden behind other windows and has stopped painting.";
inline constexpr std::string_view PERMISSION_LOST =
    "Accessibility permission is no longer available.";
inline constexpr std::string_view WINDOW_CHANGED =
    "Selected capture window moved, changed size or closed. Inspect it before another take.";
inline constexpr std::string_view LEFT_WINDOW = "Input left the selected capture window.";
inline constexpr std::string_view NO_KEYBOARD_ROUTE =
    "This macOS lacks the keyboard authentication route; film with the window in front instead.";
inline constexpr std::string_view NO_PROCESS = "Could not address the selected window's process.";
inline constexpr std::string_view NOT_AUTHENTICATED =
    "Could not authenticate a key for the selected window.";
inline constexpr std::string_view NO_FRONT_ROUTE =
    "This X server has no XTEST extension to drive the selected window in front; run the take "
    "on a server that has it.";
inline constexpr std::string_view SENT_EVENTS_DROPPED =
    "The selected window's toolkit drops input of this take sent to the window alone; film "
    "with the window in front instead (leave INPUT_RELAY_X11_ROUTE unset).";
inline constexpr std::string_view FRONT_NOT_FOCUSED =
    "The selected window could not be given the keyboard focus to film it in front.";
inline constexpr std::string_view USER_POINTER =
    "The pointer moved or a button was pressed during the take; keep the mouse still while the "
    "window is filmed in front.";
inline constexpr std::string_view USER_KEY =
    "A key was pressed during the take; keep the keyboard still while the window is filmed in "
    "front.";
inline constexpr std::string_view FOCUS_CHANGED =
    "The selected window lost the keyboard focus during the take.";
inline constexpr std::string_view STACKING_CHANGED =
    "Another window came over the selected window during the take.";
inline constexpr std::string_view ELEMENT_REPORT_UNENCODABLE =
    "Could not encode the element report.";

inline std::string unknownKey(std::string_view specification) {
    return "Unknown key in capture input (" + std::string(specification) + ").";
}
inline std::string refusedShortcut(std::string_view specification) {
    return "Assistant capture refuses window and app switching shortcuts (" +
           std::string(specification) + "); they are not scoped to a window.";
}
inline std::string refusedDesktopShortcut(std::string_view specification) {
    return "Assistant capture refuses window, workspace and session shortcuts (" +
           std::string(specification) + "); they are not scoped to a window.";
}
inline std::string noAccessibilityWindow(std::uint32_t number) {
    return "No Accessibility window carries window id " + std::to_string(number) +
           ": it is gone or not yet inspectable. Discover the windows again.";
}
inline std::string missingRouteFunction(std::string_view name) {
    return "This macOS lacks the scoped input route (" + std::string(name) +
           "); film with the window in front instead.";
}
}  // namespace messages

}  // namespace input_relay
