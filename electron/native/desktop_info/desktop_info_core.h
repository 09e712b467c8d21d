// Everything the desktop-info plug-in decides: cursor names from the host's cursor or from
// the accessibility role under the pointer, the quiet period after an unanswered query, the
// permission answers and the filtering of the window list.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "desktop_info_platform.h"

namespace desktop_info {

inline constexpr std::string_view kDefaultCursor = "default";
inline constexpr float kMessagingTimeoutSeconds = 0.05f;
inline constexpr double kQuietPeriodSeconds = 1.0;

// The cursor table: the first matching row names the cursor.
std::string NSCursorToString(const HostCursor& cursor);

// The role table: the cursor an element of `role` (focused or not) probably shows.
std::string CursorForRole(std::string_view role, bool focused);

struct WindowRecord {
    uint32_t windowId = 0;
    std::string name;
    std::string ownerName;
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
};

class DesktopInfo {
  public:
    // The module-load step: sets the accessibility messaging timeout.
    explicit DesktopInfo(DesktopInfoPlatform& platform);

    std::string GetCurrentCursorType();
    std::string GetCursorTypeFromAccessibility();

    bool HasAccessibilityPermissions();
    bool RequestAccessibilityPermissions();
    bool HasInputMonitoringPermissions();
    bool RequestInputMonitoringPermissions();

    std::vector<WindowRecord> GetWindowList();

  private:
    void QuietIfUnanswered(AxStatus status);

    DesktopInfoPlatform& platform_;
    // No accessibility query is made while the absolute time is earlier than this.
    double axQuietUntil_ = 0;
};

}  // namespace desktop_info
