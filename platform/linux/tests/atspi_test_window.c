/* A GTK window for the AT-SPI client's tests: a button, a focused text entry and a label at
 * fixed places. Prints one JSON line with its process id and the screen centre of each
 * widget once it is shown, and keeps the window until its standard input closes. */
#include <glib-unix.h>
#include <gtk/gtk.h>
#include <stdio.h>
#include <unistd.h>

static GtkWidget* place(GtkWidget* fixed, GtkWidget* widget, int x, int y, int width, int height) {
    gtk_widget_set_size_request(widget, width, height);
    gtk_fixed_put(GTK_FIXED(fixed), widget, x, y);
    return widget;
}

static void centre(GtkWidget* widget, int* x, int* y) {
    GtkAllocation allocation;
    gtk_widget_get_allocation(widget, &allocation);
    int originX = 0, originY = 0, insideX = 0, insideY = 0;
    gdk_window_get_origin(gtk_widget_get_window(gtk_widget_get_toplevel(widget)), &originX,
                          &originY);
    gtk_widget_translate_coordinates(widget, gtk_widget_get_toplevel(widget), allocation.width / 2,
                                     allocation.height / 2, &insideX, &insideY);
    *x = originX + insideX;
    *y = originY + insideY;
}

static GtkWidget *button, *entry, *label;

static gboolean announce(gpointer data) {
    (void)data;
    int bx, by, ex, ey, lx, ly;
    centre(button, &bx, &by);
    centre(entry, &ex, &ey);
    centre(label, &lx, &ly);
    printf("{\"pid\":%d,\"button\":[%d,%d],\"entry\":[%d,%d],\"label\":[%d,%d]}\n", (int)getpid(),
           bx, by, ex, ey, lx, ly);
    fflush(stdout);
    return G_SOURCE_REMOVE;
}

static gboolean on_stdin(gint fd, GIOCondition condition, gpointer data) {
    (void)condition;
    (void)data;
    char buffer[256];
    if (read(fd, buffer, sizeof buffer) > 0) {
        return G_SOURCE_CONTINUE;
    }
    gtk_main_quit();
    return G_SOURCE_REMOVE;
}

static gboolean on_map(GtkWidget* widget, GdkEvent* event, gpointer data) {
    (void)event;
    (void)data;
    /* With no window manager to activate it, the window takes the input focus itself. */
    gdk_window_focus(gtk_widget_get_window(widget), GDK_CURRENT_TIME);
    g_timeout_add(100, announce, NULL);
    return FALSE;
}

int main(int argc, char** argv) {
    gtk_init(&argc, &argv);
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window), "AT-SPI test window");
    gtk_window_move(GTK_WINDOW(window), 100, 100);
    gtk_window_set_default_size(GTK_WINDOW(window), 400, 300);
    GtkWidget* fixed = gtk_fixed_new();
    gtk_container_add(GTK_CONTAINER(window), fixed);
    button = place(fixed, gtk_button_new_with_label("Press"), 20, 20, 120, 40);
    entry = place(fixed, gtk_entry_new(), 20, 100, 200, 30);
    label = place(fixed, gtk_label_new("Static words"), 20, 180, 200, 30);
    g_signal_connect(window, "map-event", G_CALLBACK(on_map), NULL);
    g_unix_fd_add(STDIN_FILENO, G_IO_IN | G_IO_HUP, on_stdin, NULL);
    gtk_widget_show_all(window);
    gtk_widget_grab_focus(entry);
    gtk_main();
    return 0;
}
