// A test X client: opens the windows its arguments describe, optionally claims them for
// another process, names a cursor and takes the focus, prints one JSON line with the window
// ids once everything is on screen, and keeps the windows until its standard input closes.
//
//   x11_test_client [--pid N] [--cursor NAME] [--focus] KIND:X,Y,W,H[:TITLE] ...
//
// KIND is normal, dialog, dock, above (kept above), override (override-redirect) or legacy
// (title in WM_NAME only). Other kinds set _NET_WM_NAME to TITLE and WM_NAME to "wm:" TITLE.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/cursorfont.h>
#include <X11/extensions/Xfixes.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "windows_ready.h"

namespace {

struct Spec {
    std::string kind;
    int x, y;
    unsigned width, height;
    std::optional<std::string> title;
};

[[noreturn]] void die(const std::string& message) {
    std::fprintf(stderr, "x11_test_client: %s\n", message.c_str());
    std::exit(2);
}

Spec parseSpec(const std::string& text) {
    Spec spec;
    const auto colon = text.find(':');
    if (colon == std::string::npos) {
        die("bad window spec " + text);
    }
    spec.kind = text.substr(0, colon);
    const auto rest = text.substr(colon + 1);
    const auto titleColon = rest.find(':');
    if (titleColon != std::string::npos) {
        spec.title = rest.substr(titleColon + 1);
    }
    if (std::sscanf(rest.substr(0, titleColon).c_str(), "%d,%d,%u,%u", &spec.x, &spec.y,
                    &spec.width, &spec.height) != 4) {
        die("bad geometry in " + text);
    }
    static const std::set<std::string> kinds = {"normal", "dialog",   "dock",
                                                "above",  "override", "legacy"};
    if (!kinds.contains(spec.kind)) {
        die("unknown window kind " + spec.kind);
    }
    return spec;
}

Atom atom(Display* d, const char* name) {
    return XInternAtom(d, name, False);
}

void setAtomProperty(Display* d, Window w, const char* property, const char* value) {
    Atom a = atom(d, value);
    XChangeProperty(d, w, atom(d, property), XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&a), 1);
}

void setText(Display* d, Window w, Atom property, Atom type, const std::string& text) {
    XChangeProperty(d, w, property, type, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(text.data()),
                    static_cast<int>(text.size()));
}

// The windows a property of the root window lists.
std::vector<Window> rootWindows(Display* d, const char* property) {
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    XGetWindowProperty(d, DefaultRootWindow(d), atom(d, property), 0, 4096, False, XA_WINDOW, &type,
                       &format, &count, &after, &data);
    std::vector<Window> windows;
    if (data != nullptr) {
        windows.assign(reinterpret_cast<Window*>(data), reinterpret_cast<Window*>(data) + count);
        XFree(data);
    }
    return windows;
}

bool windowManagerRunning(Display* d) {
    return !rootWindows(d, "_NET_SUPPORTING_WM_CHECK").empty();
}

// The windows the window manager has taken on.
std::set<Window> managedWindows(Display* d) {
    const auto listed = rootWindows(d, "_NET_CLIENT_LIST");
    return {listed.begin(), listed.end()};
}

bool isActive(Display* d, Window w) {
    return rootWindows(d, "_NET_ACTIVE_WINDOW") == std::vector<Window>{w};
}

Window createWindow(Display* d, const Spec& spec, long pid) {
    XSetWindowAttributes attributes{};
    attributes.override_redirect = spec.kind == "override";
    attributes.background_pixel = WhitePixel(d, DefaultScreen(d));
    attributes.event_mask = StructureNotifyMask | PropertyChangeMask;
    Window w = XCreateWindow(d, DefaultRootWindow(d), spec.x, spec.y, spec.width, spec.height, 0,
                             CopyFromParent, InputOutput, CopyFromParent,
                             CWOverrideRedirect | CWBackPixel | CWEventMask, &attributes);
    XSizeHints hints{};
    hints.flags = USPosition | USSize;
    hints.x = spec.x;
    hints.y = spec.y;
    hints.width = static_cast<int>(spec.width);
    hints.height = static_cast<int>(spec.height);
    XSetWMNormalHints(d, w, &hints);
    XChangeProperty(d, w, atom(d, "_NET_WM_PID"), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&pid), 1);
    if (spec.title) {
        if (spec.kind == "legacy") {
            setText(d, w, XA_WM_NAME, XA_STRING, *spec.title);
        } else {
            setText(d, w, atom(d, "_NET_WM_NAME"), atom(d, "UTF8_STRING"), *spec.title);
            setText(d, w, XA_WM_NAME, XA_STRING, "wm:" + *spec.title);
        }
    }
    if (spec.kind == "dialog") {
        setAtomProperty(d, w, "_NET_WM_WINDOW_TYPE", "_NET_WM_WINDOW_TYPE_DIALOG");
    } else if (spec.kind == "dock") {
        setAtomProperty(d, w, "_NET_WM_WINDOW_TYPE", "_NET_WM_WINDOW_TYPE_DOCK");
    } else if (spec.kind == "above") {
        setAtomProperty(d, w, "_NET_WM_STATE", "_NET_WM_STATE_ABOVE");
    }
    XMapRaised(d, w);
    return w;
}

bool hasProperty(Display* d, Window w, Atom property) {
    int count = 0;
    Atom* properties = XListProperties(d, w, &count);
    bool found = false;
    for (int i = 0; i < count; ++i) {
        found = found || properties[i] == property;
    }
    if (properties != nullptr) {
        XFree(properties);
    }
    return found;
}

// A window manager that has not yet forgotten these windows would take the next client's
// windows, which may reuse their ids, for them.
void waitUntilUnmanaged(Display* d, const std::set<Window>& windows) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        const std::set<Window> managed = managedWindows(d);
        const bool listed = std::any_of(windows.begin(), windows.end(),
                                        [&](Window w) { return managed.contains(w); });
        if (!listed || std::chrono::steady_clock::now() > deadline) {
            return;
        }
        poll(nullptr, 0, 10);
    }
}

// Waits until every window is mapped and, under a window manager, managed (listed, frame
// extents set), so that a lister sees the final picture.
void waitUntilShown(Display* d, const std::vector<Window>& windows,
                    const std::set<Window>& framed) {
    std::set<Window> unmapped(windows.begin(), windows.end());
    std::set<Window> unframed = framed;
    const Atom extents = atom(d, "_NET_FRAME_EXTENTS");
    const Atom clientList = atom(d, "_NET_CLIENT_LIST");
    const Atom wmState = atom(d, "WM_STATE");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    auto nextRequest = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    while (!unmapped.empty() || !unframed.empty()) {
        if (!unframed.empty()) {
            const std::set<Window> managed = managedWindows(d);
            // A manager that keeps no client list (weston's) says only ICCCM's WM_STATE.
            const bool listing = hasProperty(d, DefaultRootWindow(d), clientList);
            std::erase_if(unframed, [&](Window w) {
                return listing ? managed.contains(w) && hasProperty(d, w, extents)
                               : hasProperty(d, w, wmState);
            });
        }
        while (XPending(d) > 0) {
            XEvent event;
            XNextEvent(d, &event);
            if (event.type == MapNotify) {
                unmapped.erase(event.xmap.window);
            }
        }
        if (unmapped.empty() && unframed.empty()) {
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            die("windows did not appear: " + std::to_string(unmapped.size()) + " unmapped, " +
                std::to_string(unframed.size()) + " without frame extents");
        }
        // A window manager still starting up may drop a map request: ask again now and then.
        if (std::chrono::steady_clock::now() > nextRequest) {
            for (Window w : unmapped) {
                XMapRaised(d, w);
            }
            XFlush(d);
            nextRequest += std::chrono::milliseconds(500);
        }
        pollfd fd{ConnectionNumber(d), POLLIN, 0};
        poll(&fd, 1, 50);
    }
}

// The window manager answers an activation request asynchronously, and may miss one while
// it is still starting up: ask until it is done.
void takeFocus(Display* d, Window w, bool managed) {
    if (!managed) {
        XSetInputFocus(d, w, RevertToParent, CurrentTime);
        return;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (int attempt = 0; !isActive(d, w); ++attempt) {
        if (std::chrono::steady_clock::now() > deadline) {
            die("the window manager did not activate the window");
        }
        if (attempt % 25 == 0) {
            XEvent event{};
            event.xclient.type = ClientMessage;
            event.xclient.window = w;
            event.xclient.message_type = atom(d, "_NET_ACTIVE_WINDOW");
            event.xclient.format = 32;
            event.xclient.data.l[0] = 2;  // from a pager: obeyed without focus-stealing checks
            event.xclient.data.l[1] = CurrentTime;
            XSendEvent(d, DefaultRootWindow(d), False,
                       SubstructureRedirectMask | SubstructureNotifyMask, &event);
            XFlush(d);
        }
        poll(nullptr, 0, 20);
    }
}

}  // namespace

int main(int argc, char** argv) {
    long pid = getpid();
    std::optional<std::string> cursorName;
    bool focus = false;
    std::vector<Spec> specs;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--pid" && i + 1 < argc) {
            pid = std::atol(argv[++i]);
        } else if (arg == "--cursor" && i + 1 < argc) {
            cursorName = argv[++i];
        } else if (arg == "--focus") {
            focus = true;
        } else {
            specs.push_back(parseSpec(arg));
        }
    }
    Display* d = XOpenDisplay(nullptr);
    if (d == nullptr) {
        die("cannot open the display");
    }
    const bool managed = windowManagerRunning(d);
    std::vector<Window> windows;
    std::set<Window> framed;
    for (const Spec& spec : specs) {
        windows.push_back(createWindow(d, spec, pid));
        if (managed && spec.kind != "override") {
            framed.insert(windows.back());
        }
    }
    XFlush(d);
    waitUntilShown(d, windows, framed);
    if (!windows.empty() && cursorName) {
        Cursor cursor = XCreateFontCursor(d, XC_left_ptr);
        XFixesSetCursorName(d, cursor, cursorName->c_str());
        for (Window w : windows) {
            XDefineCursor(d, w, cursor);
        }
        XWarpPointer(d, None, windows.front(), 0, 0, 0, 0,
                     static_cast<int>(specs.front().width / 2),
                     static_cast<int>(specs.front().height / 2));
    }
    if (!windows.empty() && focus) {
        takeFocus(d, windows.front(), managed);
    }
    XSync(d, False);

    announceWindows(windows);

    char buffer[256];
    while (read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
    }
    for (Window w : windows) {
        XDestroyWindow(d, w);
    }
    XSync(d, False);
    if (managed) {
        waitUntilUnmanaged(d, framed);
    }
    XCloseDisplay(d);
    return 0;
}
