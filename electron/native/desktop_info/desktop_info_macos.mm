// The desktop-info platform on macOS: AppKit for the host's cursor and the frontmost
// application, Accessibility for the element under the pointer and process trust,
// CoreGraphics for the pointer and the window list, IOKit for Input Monitoring.
#import <AppKit/AppKit.h>
#import <ApplicationServices/ApplicationServices.h>
#import <CoreGraphics/CoreGraphics.h>
#import <IOKit/hidsystem/IOHIDLib.h>

#include <utility>

#include "desktop_info_platform.h"

namespace desktop_info {
namespace {

class MacAxElement : public AxElement {
  public:
    explicit MacAxElement(AXUIElementRef element) : element_(element) {}
    ~MacAxElement() override { CFRelease(element_); }
    MacAxElement(const MacAxElement&) = delete;
    MacAxElement& operator=(const MacAxElement&) = delete;
    AXUIElementRef get() const { return element_; }

  private:
    AXUIElementRef element_;
};

AxStatus ToAxStatus(AXError error) {
    if (error == kAXErrorSuccess) {
        return AxStatus::kSuccess;
    }
    return error == kAXErrorCannotComplete ? AxStatus::kCannotComplete : AxStatus::kFailure;
}

std::optional<std::string> StringValue(CFTypeRef value) {
    if (value == nullptr || CFGetTypeID(value) != CFStringGetTypeID()) {
        return std::nullopt;
    }
    const char* text = [(__bridge NSString*)value UTF8String];
    return std::string(text != nullptr ? text : "");
}

template <typename T>
std::optional<T> NumberValue(CFDictionaryRef entry, CFStringRef key, CFNumberType type) {
    CFTypeRef value = CFDictionaryGetValue(entry, key);
    T number{};
    if (value == nullptr || CFGetTypeID(value) != CFNumberGetTypeID() ||
        !CFNumberGetValue(static_cast<CFNumberRef>(value), type, &number)) {
        return std::nullopt;
    }
    return number;
}

WindowEntry ReadWindowEntry(CFDictionaryRef entry) {
    WindowEntry window;
    window.layer = NumberValue<int>(entry, kCGWindowLayer, kCFNumberIntType);
    if (auto number = NumberValue<int64_t>(entry, kCGWindowNumber, kCFNumberSInt64Type)) {
        window.number = static_cast<uint32_t>(*number);
    }
    CFTypeRef bounds = CFDictionaryGetValue(entry, kCGWindowBounds);
    if (bounds != nullptr) {
        CGRect rect = CGRectZero;
        const bool converts =
            CFGetTypeID(bounds) == CFDictionaryGetTypeID() &&
            CGRectMakeWithDictionaryRepresentation(static_cast<CFDictionaryRef>(bounds), &rect);
        window.bounds = converts ? std::optional<Rect>(Rect{rect.origin.x, rect.origin.y,
                                                            rect.size.width, rect.size.height})
                                 : std::optional<Rect>();
    }
    window.name = StringValue(CFDictionaryGetValue(entry, kCGWindowName));
    window.ownerName = StringValue(CFDictionaryGetValue(entry, kCGWindowOwnerName));
    return window;
}

// The shared cursor objects in the order of the cursor table; identity is what counts.
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wdeprecated-declarations"
std::optional<SharedCursor> SharedCursorOf(NSCursor* cursor) {
    const std::pair<NSCursor*, SharedCursor> table[] = {
        {NSCursor.arrowCursor, SharedCursor::kArrow},
        {NSCursor.IBeamCursor, SharedCursor::kIBeam},
        {NSCursor.pointingHandCursor, SharedCursor::kPointingHand},
        {NSCursor.closedHandCursor, SharedCursor::kClosedHand},
        {NSCursor.openHandCursor, SharedCursor::kOpenHand},
        {NSCursor.crosshairCursor, SharedCursor::kCrosshair},
        {NSCursor.resizeLeftCursor, SharedCursor::kResizeLeft},
        {NSCursor.resizeRightCursor, SharedCursor::kResizeRight},
        {NSCursor.resizeUpCursor, SharedCursor::kResizeUp},
        {NSCursor.resizeDownCursor, SharedCursor::kResizeDown},
        {NSCursor.resizeLeftRightCursor, SharedCursor::kResizeLeftRight},
        {NSCursor.resizeUpDownCursor, SharedCursor::kResizeUpDown},
        {NSCursor.contextualMenuCursor, SharedCursor::kContextualMenu},
        {NSCursor.disappearingItemCursor, SharedCursor::kDisappearingItem},
        {NSCursor.dragCopyCursor, SharedCursor::kDragCopy},
        {NSCursor.dragLinkCursor, SharedCursor::kDragLink},
        {NSCursor.operationNotAllowedCursor, SharedCursor::kOperationNotAllowed},
        {NSCursor.IBeamCursorForVerticalLayout, SharedCursor::kIBeamForVerticalLayout},
    };
    for (const auto& [shared, which] : table) {
        if (cursor == shared) {
            return which;
        }
    }
    return std::nullopt;
}
#pragma clang diagnostic pop

class MacDesktopInfoPlatform : public DesktopInfoPlatform {
  public:
    void setAccessibilityMessagingTimeout(float seconds) override {
        AXUIElementRef systemWide = AXUIElementCreateSystemWide();
        AXUIElementSetMessagingTimeout(systemWide, seconds);
        CFRelease(systemWide);
    }

    bool IsOrvelFrontmost() override {
        @autoreleasepool {
            NSString* frontApp = NSWorkspace.sharedWorkspace.frontmostApplication.bundleIdentifier;
            NSString* myBundleId = NSBundle.mainBundle.bundleIdentifier;
            return frontApp != nil && [frontApp isEqualToString:myBundleId];
        }
    }

    HostCursor currentCursor() override {
        @autoreleasepool {
            NSCursor* cursor = NSCursor.currentCursor;
            if (cursor == nil) {
                return {};
            }
            if (auto shared = SharedCursorOf(cursor)) {
                return {true, shared, ""};
            }
            const char* cursorDescription = cursor.description.UTF8String;
            return {true, std::nullopt, cursorDescription != nullptr ? cursorDescription : ""};
        }
    }

    bool isAccessibilityTrusted() override { return AXIsProcessTrusted(); }

    bool requestAccessibilityTrust() override {
        @autoreleasepool {
            NSDictionary* options = @{(__bridge NSString*)kAXTrustedCheckOptionPrompt : @YES};
            return AXIsProcessTrustedWithOptions((__bridge CFDictionaryRef)options);
        }
    }

    double absoluteTime() override { return CFAbsoluteTimeGetCurrent(); }

    std::optional<Point> pointerLocation() override {
        CGEventRef event = CGEventCreate(nullptr);
        if (event == nullptr) {
            return std::nullopt;
        }
        const CGPoint mouseLocation = CGEventGetLocation(event);
        CFRelease(event);
        return Point{mouseLocation.x, mouseLocation.y};
    }

    AxElementAnswer elementAtPosition(float x, float y) override {
        AXUIElementRef systemWideElement = AXUIElementCreateSystemWide();
        AXUIElementRef elementUnderMouse = nullptr;
        const AXError error =
            AXUIElementCopyElementAtPosition(systemWideElement, x, y, &elementUnderMouse);
        CFRelease(systemWideElement);
        AxElementAnswer answer{ToAxStatus(error), nullptr};
        if (elementUnderMouse != nullptr) {
            answer.element = std::make_unique<MacAxElement>(elementUnderMouse);
        }
        return answer;
    }

    // Each accessibility call runs in its own pool: the bridged strings are autoreleased and
    // the thread may have none of its own.
    AxAnswer<std::string> role(AxElement& element) override {
        @autoreleasepool {
            CFTypeRef value = nullptr;
            const AXError error = AXUIElementCopyAttributeValue(
                static_cast<MacAxElement&>(element).get(), kAXRoleAttribute, &value);
            AxAnswer<std::string> answer{ToAxStatus(error), StringValue(value)};
            if (value != nullptr) {
                CFRelease(value);
            }
            return answer;
        }
    }

    AxAnswer<bool> focused(AxElement& element) override {
        @autoreleasepool {
            CFTypeRef value = nullptr;
            const AXError error = AXUIElementCopyAttributeValue(
                static_cast<MacAxElement&>(element).get(), kAXFocusedAttribute, &value);
            AxAnswer<bool> answer{ToAxStatus(error), std::nullopt};
            if (value != nullptr) {
                if (CFGetTypeID(value) == CFBooleanGetTypeID()) {
                    answer.value = CFBooleanGetValue(static_cast<CFBooleanRef>(value));
                }
                CFRelease(value);
            }
            return answer;
        }
    }

    InputMonitoringAccess checkInputMonitoring() override {
        switch (IOHIDCheckAccess(kIOHIDRequestTypeListenEvent)) {
            case kIOHIDAccessTypeGranted:
                return InputMonitoringAccess::kGranted;
            case kIOHIDAccessTypeDenied:
                return InputMonitoringAccess::kDenied;
            default:
                return InputMonitoringAccess::kUnknown;
        }
    }

    bool requestInputMonitoring() override {
        return IOHIDRequestAccess(kIOHIDRequestTypeListenEvent);
    }

    std::optional<std::vector<WindowEntry>> copyWindowList() override {
        CFArrayRef list = CGWindowListCopyWindowInfo(
            static_cast<CGWindowListOption>(kCGWindowListOptionOnScreenOnly |
                                            kCGWindowListExcludeDesktopElements),
            kCGNullWindowID);
        if (list == nullptr) {
            return std::nullopt;
        }
        std::vector<WindowEntry> entries;
        for (CFIndex i = 0; i < CFArrayGetCount(list); ++i) {
            CFTypeRef entry = CFArrayGetValueAtIndex(list, i);
            if (entry != nullptr && CFGetTypeID(entry) == CFDictionaryGetTypeID()) {
                entries.push_back(ReadWindowEntry(static_cast<CFDictionaryRef>(entry)));
            }
        }
        CFRelease(list);
        return entries;
    }
};

}  // namespace

std::unique_ptr<DesktopInfoPlatform> MakeDesktopInfoPlatform() {
    return std::make_unique<MacDesktopInfoPlatform>();
}

}  // namespace desktop_info
