// A scene for recording tests: opens solid-coloured windows (later ones on top), optionally
// claimed for another process, one of them with a bar that moves every frame; prints one
// JSON line with the window ids once they are on screen, and keeps them until its standard
// input closes.
//
//   filmstrip_scene_client [--pid N] [--fps N] RRGGBB:X,Y,W,H[:moving] ...
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "windows_ready.h"

namespace {

struct Spec {
    unsigned long color = 0;
    int x = 0, y = 0;
    unsigned width = 0, height = 0;
    bool moving = false;
};

[[noreturn]] void die(const std::string& message) {
    std::fprintf(stderr, "filmstrip_scene_client: %s\n", message.c_str());
    std::exit(2);
}

Spec parseSpec(const std::string& text) {
    Spec spec;
    char tail[16] = {};
    if (std::sscanf(text.c_str(), "%lx:%d,%d,%u,%u:%15s", &spec.color, &spec.x, &spec.y,
                    &spec.width, &spec.height, tail) < 5) {
        die("bad window spec " + text);
    }
    spec.moving = std::string(tail) == "moving";
    return spec;
}

Window createWindow(Display* d, const Spec& spec, long pid, int index) {
    XSetWindowAttributes attributes{};
    attributes.background_pixel = spec.color;  // a 24-bit TrueColor visual takes RGB as is
    attributes.event_mask = StructureNotifyMask | ExposureMask;
    const Window w = XCreateWindow(d, DefaultRootWindow(d), spec.x, spec.y, spec.width, spec.height,
                                   0, CopyFromParent, InputOutput, CopyFromParent,
                                   CWBackPixel | CWEventMask, &attributes);
    XChangeProperty(d, w, XInternAtom(d, "_NET_WM_PID", False), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&pid), 1);
    const std::string title = "scene " + std::to_string(index);
    XChangeProperty(d, w, XInternAtom(d, "_NET_WM_NAME", False),
                    XInternAtom(d, "UTF8_STRING", False), 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(title.data()),
                    static_cast<int>(title.size()));
    XMapRaised(d, w);
    return w;
}

// A white bar a sixth of the window wide, moved a little further at every frame.
void drawBar(Display* d, Window w, GC gc, const Spec& spec, long frame) {
    const auto barWidth = std::max(spec.width / 6, 1u);
    const auto travel = spec.width - barWidth + 1;
    const auto x = static_cast<int>((static_cast<unsigned long>(frame) * 7) % travel);
    XClearWindow(d, w);
    XFillRectangle(d, w, gc, x, 0, barWidth, spec.height);
}

}  // namespace

int main(int argc, char** argv) {
    long pid = getpid();
    int fps = 60;
    std::vector<Spec> specs;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--pid" && i + 1 < argc) {
            pid = std::atol(argv[++i]);
        } else if (arg == "--fps" && i + 1 < argc) {
            fps = std::max(std::atoi(argv[++i]), 1);
        } else {
            specs.push_back(parseSpec(arg));
        }
    }
    Display* d = XOpenDisplay(nullptr);
    if (d == nullptr) {
        die("cannot open the display");
    }
    std::vector<Window> windows;
    for (size_t i = 0; i < specs.size(); ++i) {
        windows.push_back(createWindow(d, specs[i], pid, static_cast<int>(i)));
    }
    std::set<Window> unmapped(windows.begin(), windows.end());
    while (!unmapped.empty()) {
        XEvent event;
        XNextEvent(d, &event);
        if (event.type == MapNotify) {
            unmapped.erase(event.xmap.window);
        }
    }
    GC gc = XCreateGC(d, DefaultRootWindow(d), 0, nullptr);
    XSetForeground(d, gc, WhitePixel(d, DefaultScreen(d)));
    XSync(d, False);

    announceWindows(windows);

    const auto period = std::chrono::microseconds(1'000'000 / fps);
    auto next = std::chrono::steady_clock::now();
    for (long frame = 0;; ++frame) {
        for (size_t i = 0; i < specs.size(); ++i) {
            if (specs[i].moving) {
                drawBar(d, windows[i], gc, specs[i], frame);
            }
        }
        while (XPending(d) > 0) {
            XEvent event;
            XNextEvent(d, &event);
        }
        XFlush(d);
        next += period;
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
            next - std::chrono::steady_clock::now());
        pollfd input{STDIN_FILENO, POLLIN, 0};
        if (poll(&input, 1, static_cast<int>(std::max<int64_t>(wait.count(), 0))) > 0) {
            char buffer[256];
            if (read(STDIN_FILENO, buffer, sizeof buffer) <= 0) {
                break;
            }
        }
    }
    XFreeGC(d, gc);
    XCloseDisplay(d);
    return 0;
}
