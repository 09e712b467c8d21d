// A GTK 3 window for the relay's tests under a private X server. It shows one of three trees
// (the sign-in widgets, a deep chain of boxes, a wide grid of labels), publishes it on the
// accessibility bus, and writes one JSON line per X event its window receives:
//
//   relay_test_window [--content widgets|deep|wide] [--geometry X,Y,W,H] [--title TITLE]
//
// The first line is {"window":ID,"pid":PID} once the window is mapped. Commands on standard
// input, one per line: "move X Y", "resize W H", "close". The process ends when its input
// closes.
#include <X11/Xlib.h>
#include <gdk/gdkx.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int DEEP_LEVELS = 90;
constexpr int WIDE_COLUMNS = 25;
constexpr int WIDE_ROWS = 10;

struct Options {
    std::string content = "widgets";
    int x = 100, y = 100, width = 640, height = 480;
    std::string title = "relay test window";
};

GtkWidget* gWindow = nullptr;
Window gXid = 0;

const char* eventName(int type) {
    switch (type) {
        case KeyPress:
            return "KeyPress";
        case KeyRelease:
            return "KeyRelease";
        case ButtonPress:
            return "ButtonPress";
        case ButtonRelease:
            return "ButtonRelease";
        case MotionNotify:
            return "MotionNotify";
        case FocusIn:
            return "FocusIn";
        case FocusOut:
            return "FocusOut";
        default:
            return nullptr;
    }
}

// The keysym the server maps the keycode to now, unshifted.
std::string keysymName(Display* display, unsigned keycode) {
    int perKeycode = 0;
    KeySym* syms = XGetKeyboardMapping(display, static_cast<KeyCode>(keycode), 1, &perKeycode);
    std::string name;
    if (syms != nullptr && perKeycode > 0 && syms[0] != NoSymbol) {
        const char* text = XKeysymToString(syms[0]);
        name = text != nullptr ? text : "";
    }
    XFree(syms);
    return name;
}

GdkFilterReturn logEvent(GdkXEvent* raw, GdkEvent*, gpointer) {
    auto* event = static_cast<XEvent*>(raw);
    const char* name = eventName(event->type);
    if (name == nullptr || event->xany.window != gXid) {
        return GDK_FILTER_CONTINUE;
    }
    const bool synthetic = event->xany.send_event != 0;
    switch (event->type) {
        case KeyPress:
        case KeyRelease: {
            const XKeyEvent& k = event->xkey;
            std::printf(
                "{\"type\":\"%s\",\"keycode\":%u,\"keysym\":\"%s\",\"state\":%u,\"x\":%d,"
                "\"y\":%d,\"root_x\":%d,\"root_y\":%d,\"synthetic\":%s}\n",
                name, k.keycode, keysymName(k.display, k.keycode).c_str(), k.state, k.x, k.y,
                k.x_root, k.y_root, synthetic ? "true" : "false");
            break;
        }
        case ButtonPress:
        case ButtonRelease: {
            const XButtonEvent& b = event->xbutton;
            std::printf(
                "{\"type\":\"%s\",\"button\":%u,\"state\":%u,\"x\":%d,\"y\":%d,\"root_x\":%d,"
                "\"root_y\":%d,\"synthetic\":%s}\n",
                name, b.button, b.state, b.x, b.y, b.x_root, b.y_root,
                synthetic ? "true" : "false");
            break;
        }
        case MotionNotify: {
            const XMotionEvent& m = event->xmotion;
            std::printf(
                "{\"type\":\"%s\",\"state\":%u,\"x\":%d,\"y\":%d,\"root_x\":%d,\"root_y\":%d,"
                "\"synthetic\":%s}\n",
                name, m.state, m.x, m.y, m.x_root, m.y_root, synthetic ? "true" : "false");
            break;
        }
        default:
            std::printf("{\"type\":\"%s\",\"synthetic\":%s}\n", name, synthetic ? "true" : "false");
    }
    return GDK_FILTER_CONTINUE;
}

GtkWidget* labelled(GtkWidget* box, const char* text) {
    GtkWidget* label = gtk_label_new(text);
    gtk_box_pack_start(GTK_BOX(box), label, FALSE, FALSE, 0);
    return label;
}

GtkWidget* entry(GtkWidget* box, const char* text, const char* placeholder, bool visible) {
    GtkWidget* field = gtk_entry_new();
    gtk_entry_set_text(GTK_ENTRY(field), text);
    gtk_entry_set_placeholder_text(GTK_ENTRY(field), placeholder);
    gtk_entry_set_visibility(GTK_ENTRY(field), visible);
    gtk_box_pack_start(GTK_BOX(box), field, FALSE, FALSE, 0);
    return field;
}

GtkWidget* widgets() {
    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 4);
    labelled(box, "Name");
    entry(box, "Ada", "Your name", true);
    labelled(box, "Password");
    entry(box, "secret", "Your password", false);
    GtkWidget* remember = gtk_check_button_new_with_label("Remember me");
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(remember), TRUE);
    gtk_box_pack_start(GTK_BOX(box), remember, FALSE, FALSE, 0);
    GtkWidget* disabled = gtk_button_new_with_label("Cancel");
    gtk_widget_set_sensitive(disabled, FALSE);
    gtk_box_pack_start(GTK_BOX(box), gtk_button_new_with_label("Sign in"), FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(box), disabled, FALSE, FALSE, 0);
    return box;
}

GtkWidget* deep() {
    GtkWidget* outer = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    GtkWidget* inner = outer;
    for (int i = 1; i < DEEP_LEVELS; ++i) {
        GtkWidget* next = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
        gtk_box_pack_start(GTK_BOX(inner), next, TRUE, TRUE, 0);
        inner = next;
    }
    labelled(inner, "Bottom");
    return outer;
}

GtkWidget* wide() {
    GtkWidget* grid = gtk_grid_new();
    for (int i = 0; i < WIDE_COLUMNS * WIDE_ROWS; ++i) {
        const std::string text = std::to_string(i);
        gtk_grid_attach(GTK_GRID(grid), gtk_label_new(text.c_str()), i % WIDE_COLUMNS,
                        i / WIDE_COLUMNS, 1, 1);
    }
    return grid;
}

gboolean announce(GtkWidget*, GdkEvent*, gpointer) {
    std::printf("{\"window\":%lu,\"pid\":%d}\n", static_cast<unsigned long>(gXid), getpid());
    return FALSE;
}

gboolean command(GIOChannel* channel, GIOCondition, gpointer) {
    gchar* line = nullptr;
    if (g_io_channel_read_line(channel, &line, nullptr, nullptr, nullptr) != G_IO_STATUS_NORMAL) {
        gtk_main_quit();
        return FALSE;
    }
    int a = 0, b = 0;
    if (std::sscanf(line, "move %d %d", &a, &b) == 2) {
        gtk_window_move(GTK_WINDOW(gWindow), a, b);
    } else if (std::sscanf(line, "resize %d %d", &a, &b) == 2) {
        gtk_window_resize(GTK_WINDOW(gWindow), a, b);
    } else if (std::strncmp(line, "close", 5) == 0) {
        gtk_widget_hide(gWindow);
    }
    gdk_display_flush(gdk_display_get_default());
    g_free(line);
    return TRUE;
}

Options parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        if (flag == "--content") {
            options.content = argv[i + 1];
        } else if (flag == "--title") {
            options.title = argv[i + 1];
        } else if (flag != "--geometry" ||
                   std::sscanf(argv[i + 1], "%d,%d,%d,%d", &options.x, &options.y, &options.width,
                               &options.height) != 4) {
            std::fprintf(stderr, "relay_test_window: bad argument %s\n", argv[i]);
            std::exit(64);
        }
    }
    return options;
}

// The window reads its input below GTK, as the X events its filter logs, so it names a
// toolkit of its own: GTK 3's widgets drop sent pointer events, and the relay refuses to send
// those to a GTK 3 window.
const gchar* toolkitName() {
    return "relay test window";
}

}  // namespace

int main(int argc, char** argv) {
    // Core X events reach the window's own filter whichever input extension GTK uses.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const Options options = parse(argc, argv);
    gtk_init(nullptr, nullptr);
    static_cast<AtkUtilClass*>(g_type_class_ref(ATK_TYPE_UTIL))->get_toolkit_name = toolkitName;
    gWindow = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(gWindow), options.title.c_str());
    gtk_window_set_default_size(GTK_WINDOW(gWindow), options.width, options.height);
    gtk_window_move(GTK_WINDOW(gWindow), options.x, options.y);
    GtkWidget* content = options.content == "deep"   ? deep()
                         : options.content == "wide" ? wide()
                                                     : widgets();
    gtk_container_add(GTK_CONTAINER(gWindow), content);
    g_signal_connect(gWindow, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
    g_signal_connect(gWindow, "map-event", G_CALLBACK(announce), nullptr);
    gtk_widget_realize(gWindow);
    gXid = gdk_x11_window_get_xid(gtk_widget_get_window(gWindow));
    gdk_window_add_filter(nullptr, logEvent, nullptr);
    gtk_widget_show_all(gWindow);
    GIOChannel* input = g_io_channel_unix_new(STDIN_FILENO);
    g_io_add_watch(input, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP), command, nullptr);
    gtk_main();
    g_io_channel_unref(input);
    return 0;
}
