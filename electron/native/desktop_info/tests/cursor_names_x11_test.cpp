#include <gtest/gtest.h>

#include "cursor_names_x11.h"
#include "desktop_info_core.h"

namespace desktop_info {
namespace {

TEST(HostCursorFromXCursorName, EveryTableNameHasAnXName) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"left_ptr", "default"},
        {"default", "default"},
        {"xterm", "text"},
        {"text", "text"},
        {"hand2", "pointer"},
        {"pointer", "pointer"},
        {"grabbing", "grabbing"},
        {"closedhand", "grabbing"},
        {"grab", "grab"},
        {"openhand", "grab"},
        {"crosshair", "crosshair"},
        {"tcross", "crosshair"},
        {"left_side", "w-resize"},
        {"w-resize", "w-resize"},
        {"right_side", "e-resize"},
        {"e-resize", "e-resize"},
        {"top_side", "n-resize"},
        {"n-resize", "n-resize"},
        {"bottom_side", "s-resize"},
        {"s-resize", "s-resize"},
        {"sb_h_double_arrow", "ew-resize"},
        {"col-resize", "ew-resize"},
        {"sb_v_double_arrow", "ns-resize"},
        {"row-resize", "ns-resize"},
        {"context-menu", "context-menu"},
        {"copy", "copy"},
        {"dnd-copy", "copy"},
        {"alias", "alias"},
        {"dnd-link", "alias"},
        {"not-allowed", "not-allowed"},
        {"crossed_circle", "not-allowed"},
        {"vertical-text", "vertical-text"},
        {"nesw-resize", "nesw-resize"},
        {"top_right_corner", "nesw-resize"},
        {"bottom_left_corner", "nesw-resize"},
        {"fd_double_arrow", "nesw-resize"},
        {"nwse-resize", "nwse-resize"},
        {"top_left_corner", "nwse-resize"},
        {"bottom_right_corner", "nwse-resize"},
        {"bd_double_arrow", "nwse-resize"},
        {"watch", "default"},
        {"", "default"},
        {"LEFT_PTR", "default"},
        {"Xterm", "default"},
    };
    for (const auto& [name, expected] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(NSCursorToString(HostCursorFromXCursorName(name)), expected);
    }
}

}  // namespace
}  // namespace desktop_info
