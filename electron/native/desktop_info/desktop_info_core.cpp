#include "desktop_info_core.h"

#include <algorithm>
#include <utility>

namespace desktop_info {
namespace {

constexpr std::pair<SharedCursor, std::string_view> kCursorTable[] = {
    {SharedCursor::kArrow, "default"},
    {SharedCursor::kIBeam, "text"},
    {SharedCursor::kPointingHand, "pointer"},
    {SharedCursor::kClosedHand, "grabbing"},
    {SharedCursor::kOpenHand, "grab"},
    {SharedCursor::kCrosshair, "crosshair"},
    {SharedCursor::kResizeLeft, "w-resize"},
    {SharedCursor::kResizeRight, "e-resize"},
    {SharedCursor::kResizeUp, "n-resize"},
    {SharedCursor::kResizeDown, "s-resize"},
    {SharedCursor::kResizeLeftRight, "ew-resize"},
    {SharedCursor::kResizeUpDown, "ns-resize"},
    {SharedCursor::kContextualMenu, "context-menu"},
    {SharedCursor::kDisappearingItem, "disappearing-item"},
    {SharedCursor::kDragCopy, "copy"},
    {SharedCursor::kDragLink, "alias"},
    {SharedCursor::kOperationNotAllowed, "not-allowed"},
    {SharedCursor::kIBeamForVerticalLayout, "vertical-text"},
};

struct RoleRow {
    std::string_view role;
    std::string_view name;
    bool onlyWhenFocused;
};

constexpr RoleRow kRoleTable[] = {
    {"AXTextField", "text", true},  {"AXTextArea", "text", true}, {"AXLink", "pointer", false},
    {"AXButton", "pointer", false}, {"AXSlider", "grab", false},  {"AXScrollBar", "grab", false},
};

const RoleRow* FindRole(std::string_view role) {
    auto it = std::find_if(std::begin(kRoleTable), std::end(kRoleTable),
                           [&](const RoleRow& row) { return row.role == role; });
    return it == std::end(kRoleTable) ? nullptr : &*it;
}

// The diagonal resize cursors have no shared object; their description names the diagonal.
std::string DiagonalResizeName(const std::string& description) {
    auto contains = [&](std::string_view word) {
        return description.find(word) != std::string::npos;
    };
    if (!contains("resize")) {
        return std::string(kDefaultCursor);
    }
    if (contains("northeast") || contains("southwest")) {
        return "nesw-resize";
    }
    if (contains("northwest") || contains("southeast")) {
        return "nwse-resize";
    }
    return std::string(kDefaultCursor);
}

}  // namespace

std::string NSCursorToString(const HostCursor& cursor) {
    if (!cursor.present) {
        return std::string(kDefaultCursor);
    }
    if (cursor.shared) {
        for (const auto& [shared, name] : kCursorTable) {
            if (shared == *cursor.shared) {
                return std::string(name);
            }
        }
    }
    return DiagonalResizeName(cursor.description);
}

std::string CursorForRole(std::string_view role, bool focused) {
    const RoleRow* row = FindRole(role);
    if (row == nullptr || (row->onlyWhenFocused && !focused)) {
        return std::string(kDefaultCursor);
    }
    return std::string(row->name);
}

DesktopInfo::DesktopInfo(DesktopInfoPlatform& platform) : platform_(platform) {
    platform_.setAccessibilityMessagingTimeout(kMessagingTimeoutSeconds);
}

std::string DesktopInfo::GetCurrentCursorType() {
    if (platform_.IsOrvelFrontmost()) {
        return NSCursorToString(platform_.currentCursor());
    }
    return GetCursorTypeFromAccessibility();
}

void DesktopInfo::QuietIfUnanswered(AxStatus status) {
    if (status == AxStatus::kCannotComplete) {
        axQuietUntil_ = platform_.absoluteTime() + kQuietPeriodSeconds;
    }
}

std::string DesktopInfo::GetCursorTypeFromAccessibility() {
    const std::string none(kDefaultCursor);
    if (!platform_.isAccessibilityTrusted() || platform_.absoluteTime() < axQuietUntil_) {
        return none;
    }
    const auto mouseLocation = platform_.pointerLocation();
    if (!mouseLocation) {
        return none;
    }
    auto elementUnderMouse = platform_.elementAtPosition(static_cast<float>(mouseLocation->x),
                                                         static_cast<float>(mouseLocation->y));
    QuietIfUnanswered(elementUnderMouse.status);
    if (elementUnderMouse.status != AxStatus::kSuccess || !elementUnderMouse.element) {
        return none;
    }
    const auto role = platform_.role(*elementUnderMouse.element);
    QuietIfUnanswered(role.status);
    if (!role.value) {
        return none;
    }
    const RoleRow* row = FindRole(*role.value);
    bool focused = false;
    if (row != nullptr && row->onlyWhenFocused) {
        const auto focus = platform_.focused(*elementUnderMouse.element);
        QuietIfUnanswered(focus.status);
        focused = focus.value.value_or(false);
    }
    return CursorForRole(*role.value, focused);
}

bool DesktopInfo::HasAccessibilityPermissions() {
    return platform_.isAccessibilityTrusted();
}

bool DesktopInfo::RequestAccessibilityPermissions() {
    return platform_.isAccessibilityTrusted() || platform_.requestAccessibilityTrust();
}

bool DesktopInfo::HasInputMonitoringPermissions() {
    return platform_.checkInputMonitoring() == InputMonitoringAccess::kGranted;
}

bool DesktopInfo::RequestInputMonitoringPermissions() {
    return platform_.requestInputMonitoring();
}

std::vector<WindowRecord> DesktopInfo::GetWindowList() {
    std::vector<WindowRecord> records;
    const auto list = platform_.copyWindowList();
    if (!list) {
        return records;
    }
    for (const WindowEntry& entry : *list) {
        if (entry.layer != 0 || !entry.number || !entry.bounds || !*entry.bounds) {
            continue;
        }
        const Rect& bounds = **entry.bounds;
        records.push_back({*entry.number, entry.name.value_or(""), entry.ownerName.value_or(""),
                           bounds.x, bounds.y, bounds.width, bounds.height});
    }
    return records;
}

}  // namespace desktop_info
