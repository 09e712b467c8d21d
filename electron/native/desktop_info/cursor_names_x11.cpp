#include "cursor_names_x11.h"

#include <algorithm>
#include <iterator>

namespace desktop_info {
namespace {

struct SharedName {
    std::string_view name;
    SharedCursor cursor;
};

constexpr SharedName kSharedNames[] = {
    {"default", SharedCursor::kArrow},
    {"left_ptr", SharedCursor::kArrow},
    {"arrow", SharedCursor::kArrow},
    {"top_left_arrow", SharedCursor::kArrow},
    {"text", SharedCursor::kIBeam},
    {"xterm", SharedCursor::kIBeam},
    {"ibeam", SharedCursor::kIBeam},
    {"pointer", SharedCursor::kPointingHand},
    {"hand", SharedCursor::kPointingHand},
    {"hand1", SharedCursor::kPointingHand},
    {"hand2", SharedCursor::kPointingHand},
    {"pointing_hand", SharedCursor::kPointingHand},
    {"grabbing", SharedCursor::kClosedHand},
    {"closedhand", SharedCursor::kClosedHand},
    {"dnd-none", SharedCursor::kClosedHand},
    {"grab", SharedCursor::kOpenHand},
    {"openhand", SharedCursor::kOpenHand},
    {"crosshair", SharedCursor::kCrosshair},
    {"cross", SharedCursor::kCrosshair},
    {"tcross", SharedCursor::kCrosshair},
    {"cross_reverse", SharedCursor::kCrosshair},
    {"diamond_cross", SharedCursor::kCrosshair},
    {"w-resize", SharedCursor::kResizeLeft},
    {"left_side", SharedCursor::kResizeLeft},
    {"e-resize", SharedCursor::kResizeRight},
    {"right_side", SharedCursor::kResizeRight},
    {"n-resize", SharedCursor::kResizeUp},
    {"top_side", SharedCursor::kResizeUp},
    {"s-resize", SharedCursor::kResizeDown},
    {"bottom_side", SharedCursor::kResizeDown},
    {"ew-resize", SharedCursor::kResizeLeftRight},
    {"col-resize", SharedCursor::kResizeLeftRight},
    {"sb_h_double_arrow", SharedCursor::kResizeLeftRight},
    {"h_double_arrow", SharedCursor::kResizeLeftRight},
    {"split_h", SharedCursor::kResizeLeftRight},
    {"size_hor", SharedCursor::kResizeLeftRight},
    {"ns-resize", SharedCursor::kResizeUpDown},
    {"row-resize", SharedCursor::kResizeUpDown},
    {"sb_v_double_arrow", SharedCursor::kResizeUpDown},
    {"v_double_arrow", SharedCursor::kResizeUpDown},
    {"split_v", SharedCursor::kResizeUpDown},
    {"size_ver", SharedCursor::kResizeUpDown},
    {"context-menu", SharedCursor::kContextualMenu},
    {"copy", SharedCursor::kDragCopy},
    {"dnd-copy", SharedCursor::kDragCopy},
    {"alias", SharedCursor::kDragLink},
    {"link", SharedCursor::kDragLink},
    {"dnd-link", SharedCursor::kDragLink},
    {"not-allowed", SharedCursor::kOperationNotAllowed},
    {"no-drop", SharedCursor::kOperationNotAllowed},
    {"dnd-no-drop", SharedCursor::kOperationNotAllowed},
    {"crossed_circle", SharedCursor::kOperationNotAllowed},
    {"forbidden", SharedCursor::kOperationNotAllowed},
    {"circle", SharedCursor::kOperationNotAllowed},
    {"vertical-text", SharedCursor::kIBeamForVerticalLayout},
};

// X has named diagonal resize cursors where the other platform only describes them.
constexpr std::string_view kNortheastSouthwest = "resize northeast southwest";
constexpr std::string_view kNorthwestSoutheast = "resize northwest southeast";

struct DiagonalName {
    std::string_view name;
    std::string_view description;
};

constexpr DiagonalName kDiagonalNames[] = {
    {"nesw-resize", kNortheastSouthwest},        {"ne-resize", kNortheastSouthwest},
    {"sw-resize", kNortheastSouthwest},          {"top_right_corner", kNortheastSouthwest},
    {"bottom_left_corner", kNortheastSouthwest}, {"fd_double_arrow", kNortheastSouthwest},
    {"size_bdiag", kNortheastSouthwest},         {"nwse-resize", kNorthwestSoutheast},
    {"nw-resize", kNorthwestSoutheast},          {"se-resize", kNorthwestSoutheast},
    {"top_left_corner", kNorthwestSoutheast},    {"bottom_right_corner", kNorthwestSoutheast},
    {"bd_double_arrow", kNorthwestSoutheast},    {"size_fdiag", kNorthwestSoutheast},
};

}  // namespace

HostCursor HostCursorFromXCursorName(std::string_view name) {
    auto shared = std::find_if(std::begin(kSharedNames), std::end(kSharedNames),
                               [&](const SharedName& row) { return row.name == name; });
    if (shared != std::end(kSharedNames)) {
        return {true, shared->cursor, ""};
    }
    auto diagonal = std::find_if(std::begin(kDiagonalNames), std::end(kDiagonalNames),
                                 [&](const DiagonalName& row) { return row.name == name; });
    return {true, std::nullopt,
            std::string(diagonal != std::end(kDiagonalNames) ? diagonal->description : name)};
}

}  // namespace desktop_info
