// What the desktop-info plug-in asks of the platform: the host's own cursor, the
// accessibility element under the pointer, the two permission gates and the window list.
// Each platform answers in these terms (desktop_info_macos.mm, desktop_info_x11.cpp,
// tests/desktop_info_fake.h); every decision is made in desktop_info_core.cpp.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace desktop_info {

// The platform's shared cursor objects, in the order the cursor table tests them.
enum class SharedCursor {
    kArrow,
    kIBeam,
    kPointingHand,
    kClosedHand,
    kOpenHand,
    kCrosshair,
    kResizeLeft,
    kResizeRight,
    kResizeUp,
    kResizeDown,
    kResizeLeftRight,
    kResizeUpDown,
    kContextualMenu,
    kDisappearingItem,
    kDragCopy,
    kDragLink,
    kOperationNotAllowed,
    kIBeamForVerticalLayout,
};

// The host's current cursor: absent, one of the shared cursor objects (by identity), or
// another cursor known only by its description text.
struct HostCursor {
    bool present = false;
    std::optional<SharedCursor> shared;
    std::string description;  // read only when `shared` is empty
};

// kCannotComplete: the application asked did not answer within the messaging timeout.
enum class AxStatus { kSuccess, kCannotComplete, kFailure };

// An accessibility element owned by the caller; released when destroyed.
class AxElement {
  public:
    virtual ~AxElement() = default;
};

template <typename T>
struct AxAnswer {
    AxStatus status = AxStatus::kFailure;
    std::optional<T> value;
};

struct AxElementAnswer {
    AxStatus status = AxStatus::kFailure;
    std::unique_ptr<AxElement> element;
};

struct Point {
    double x = 0;
    double y = 0;
};

struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
};

// One entry of the platform's on-screen window list, as raw as the platform gives it.
struct WindowEntry {
    std::optional<int> layer;
    std::optional<uint32_t> number;
    // Present when the entry has bounds; the inner value is empty when they do not convert.
    std::optional<std::optional<Rect>> bounds;
    std::optional<std::string> name;
    std::optional<std::string> ownerName;
};

enum class InputMonitoringAccess { kGranted, kDenied, kUnknown };

class DesktopInfoPlatform {
  public:
    virtual ~DesktopInfoPlatform() = default;

    // Bounds every later accessibility query of the process.
    virtual void setAccessibilityMessagingTimeout(float seconds) = 0;

    virtual bool IsOrvelFrontmost() = 0;
    virtual HostCursor currentCursor() = 0;

    virtual bool isAccessibilityTrusted() = 0;
    // Asks the system to let the process in (a prompt where there is one); reports the answer
    // known at once.
    virtual bool requestAccessibilityTrust() = 0;
    // Seconds on the platform's absolute clock.
    virtual double absoluteTime() = 0;
    virtual std::optional<Point> pointerLocation() = 0;
    virtual AxElementAnswer elementAtPosition(float x, float y) = 0;
    virtual AxAnswer<std::string> role(AxElement& element) = 0;
    virtual AxAnswer<bool> focused(AxElement& element) = 0;

    virtual InputMonitoringAccess checkInputMonitoring() = 0;
    virtual bool requestInputMonitoring() = 0;

    // On-screen windows without desktop elements, front-most first; empty when the platform
    // gives no list at all.
    virtual std::optional<std::vector<WindowEntry>> copyWindowList() = 0;
};

// The platform this build runs on; one definition per platform backend.
std::unique_ptr<DesktopInfoPlatform> MakeDesktopInfoPlatform();

}  // namespace desktop_info
