// The on-screen top-level windows of an X display, front to back, in the terms the
// recorder, the relay and the window list share: X window id, owning process, title,
// owner name and bounds in root coordinates including the window manager's frame.
#pragma once

#include <sys/types.h>
#include <xcb/xcb.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform_linux {

// An XCB reply (or error), freed when it goes.
struct XcbFree {
    void operator()(void* p) const { std::free(p); }
};
template <typename T>
using XcbReply = std::unique_ptr<T, XcbFree>;

struct WindowBounds {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
};

struct X11Window {
    uint32_t id = 0;        // the client window, never the window manager's frame
    pid_t pid = 0;          // from _NET_WM_PID; 0 when the client does not say
    std::string title;      // _NET_WM_NAME, else WM_NAME, else ""
    std::string ownerName;  // the owning process's name; "" when unknown
    WindowBounds bounds;    // outer rectangle: border and frame extents included
    bool ordinary = false;  // normal or dialog, not override-redirect, not kept above, not a dock
};

// Reads window lists and window facts from one connection; atoms are interned once.
// Every query answers "nothing" instead of failing when the connection is broken.
class X11WindowEnumerator {
  public:
    X11WindowEnumerator(xcb_connection_t* connection, xcb_window_t root);

    // Viewable top-level client windows on the current desktop, front-most first, in the
    // server's stacking order. With an EWMH window manager the clients are those of its
    // client list (found inside their frames) plus override-redirect windows; with one that
    // keeps no client list (weston's), the windows it gave a WM_STATE; on a bare server the
    // root's mapped children are the clients.
    std::vector<X11Window> onScreenWindows() const;

    // The window the window manager calls active (_NET_ACTIVE_WINDOW), else the input focus.
    std::optional<xcb_window_t> activeWindow() const;

    // The process named by `window` or by its nearest ancestor (_NET_WM_PID).
    std::optional<pid_t> windowPid(xcb_window_t window) const;

    enum Atom {
        kNetClientList,
        kWmName,
        kNetWmName,
        kNetWmPid,
        kNetWmWindowType,
        kNetWmWindowTypeNormal,
        kNetWmWindowTypeDialog,
        kNetWmState,
        kNetWmStateAbove,
        kNetWmDesktop,
        kNetCurrentDesktop,
        kNetFrameExtents,
        kNetActiveWindow,
        kNetSupportingWmCheck,
        kUtf8String,
        kWmState,
        kAtomCount
    };
    xcb_atom_t atom(Atom which) const { return atoms_[which]; }

  private:
    bool windowManagerRunning() const;

    xcb_connection_t* connection_;
    xcb_window_t root_;
    xcb_atom_t atoms_[kAtomCount] = {};
};

// The name of a local process: its executable's file name, else its command name; "" when
// the process is unknown.
std::string processName(pid_t pid);

}  // namespace platform_linux
