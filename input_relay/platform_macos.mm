// The relay's platform on macOS: CoreGraphics events and window list, Accessibility, AppKit
// activation, and the private SkyLight event route looked up by name at run time.
#import <AppKit/AppKit.h>
#import <ApplicationServices/ApplicationServices.h>
#import <Foundation/Foundation.h>
#include <dlfcn.h>
#include <objc/message.h>
#include <objc/runtime.h>

#include <limits>
#include <map>
#include <string>
#include <type_traits>

#include "platform.h"
#include "posix_process.h"

// Private Accessibility function: the window server number of an accessibility window.
// Private: weakly imported, so a macOS without it still launches the relay and answers "no id".
extern "C" AXError _AXUIElementGetWindow(AXUIElementRef element, CGWindowID* identifier)
    __attribute__((weak_import));

namespace input_relay {
namespace {

constexpr const char* SKYLIGHT_PATH =
    "/System/Library/PrivateFrameworks/SkyLight.framework/SkyLight";
constexpr int SKYLIGHT_OPEN_MODE = RTLD_LAZY | RTLD_GLOBAL;  // 9
NSString* const AUTHENTICATION_CLASS = @"SLSEventAuthenticationMessage";
NSString* const AUTHENTICATION_SELECTOR = @"messageWithEventRecord:pid:version:";
// Where the event object keeps its record pointer, in the order they are tried.
constexpr std::size_t RECORD_POINTER_OFFSETS[] = {24, 32, 16};

using PostToPid = void (*)(pid_t, CGEventRef);
using SetAuthentication = void (*)(CGEventRef, id);
using SetWindowLocation = void (*)(CGEventRef, double, double);
using SetIntegerField = void (*)(CGEventRef, uint32_t, int64_t);
using PostEventRecord = int32_t (*)(void*, void*);
using FrontProcess = int32_t (*)(void*);
using ProcessForPid = int32_t (*)(pid_t, void*);
using MessageFactory = id (*)(id, SEL, void*, int32_t, uint32_t);

class MacElement : public AxElement {
  public:
    // Takes over one reference.
    explicit MacElement(AXUIElementRef element) : element_(element) {}
    ~MacElement() override { CFRelease(element_); }
    MacElement(const MacElement&) = delete;
    MacElement& operator=(const MacElement&) = delete;
    AXUIElementRef get() const { return element_; }

  private:
    AXUIElementRef element_;
};

AXUIElementRef axOf(const Element& element) {
    return static_cast<const MacElement&>(*element).get();
}

Element retained(CFTypeRef element) {
    return std::make_shared<MacElement>(static_cast<AXUIElementRef>(CFRetain(element)));
}

NSString* nsString(std::string_view text) {
    return [[NSString alloc] initWithBytes:text.data()
                                    length:text.size()
                                  encoding:NSUTF8StringEncoding];
}

std::string utf8(CFStringRef text) {
    const char* bytes = [(__bridge NSString*)text UTF8String];
    return bytes ? bytes : "";
}

template <typename Number>
std::optional<Number> numberValue(CFDictionaryRef entry, CFStringRef key) {
    CFTypeRef value = CFDictionaryGetValue(entry, key);
    if (!value || CFGetTypeID(value) != CFNumberGetTypeID()) {
        return std::nullopt;
    }
    int64_t number = 0;
    if (!CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberSInt64Type, &number)) {
        return std::nullopt;
    }
    if constexpr (!std::is_same_v<Number, int64_t>) {
        if (number < std::numeric_limits<Number>::min() ||
            number > std::numeric_limits<Number>::max()) {
            return std::nullopt;
        }
    }
    return static_cast<Number>(number);
}

std::optional<Rect> boundsOf(CFDictionaryRef entry) {
    CFTypeRef value = CFDictionaryGetValue(entry, kCGWindowBounds);
    CGRect rect;
    if (!value || CFGetTypeID(value) != CFDictionaryGetTypeID() ||
        !CGRectMakeWithDictionaryRepresentation(static_cast<CFDictionaryRef>(value), &rect)) {
        return std::nullopt;
    }
    return Rect{rect.origin.x, rect.origin.y, rect.size.width, rect.size.height};
}

std::optional<ElementList> elementList(CFTypeRef value) {
    if (!value || CFGetTypeID(value) != CFArrayGetTypeID()) {
        return std::nullopt;
    }
    CFArrayRef array = static_cast<CFArrayRef>(value);
    ElementList list;
    for (CFIndex i = 0; i < CFArrayGetCount(array); ++i) {
        CFTypeRef item = CFArrayGetValueAtIndex(array, i);
        if (!item || CFGetTypeID(item) != AXUIElementGetTypeID()) {
            return std::nullopt;
        }
        list.push_back(retained(item));
    }
    return list;
}

AxValue accessibilityValue(AXValueRef value) {
    switch (AXValueGetType(value)) {
        case kAXValueTypeCGPoint: {
            CGPoint point;
            if (AXValueGetValue(value, kAXValueTypeCGPoint, &point)) {
                return AxPoint{{point.x, point.y}};
            }
            break;
        }
        case kAXValueTypeCGSize: {
            CGSize size;
            if (AXValueGetValue(value, kAXValueTypeCGSize, &size)) {
                return AxSize{size.width, size.height};
            }
            break;
        }
        case kAXValueTypeAXError:
            return AxError{};
        default:
            break;
    }
    return AxOtherValue{};
}

AxValue axValue(CFTypeRef value) {
    if (!value) {
        return std::monostate{};
    }
    const CFTypeID type = CFGetTypeID(value);
    if (type == CFStringGetTypeID()) {
        return utf8(static_cast<CFStringRef>(value));
    }
    if (type == CFBooleanGetTypeID()) {
        return AxNumber{CFBooleanGetValue(static_cast<CFBooleanRef>(value)) != 0};
    }
    if (type == CFNumberGetTypeID()) {
        CFNumberRef number = static_cast<CFNumberRef>(value);
        if (CFNumberIsFloatType(number)) {
            double real = 0;
            CFNumberGetValue(number, kCFNumberDoubleType, &real);
            return AxNumber{real};
        }
        int64_t integer = 0;
        CFNumberGetValue(number, kCFNumberSInt64Type, &integer);
        return AxNumber{integer};
    }
    if (type == AXValueGetTypeID()) {
        return accessibilityValue(static_cast<AXValueRef>(value));
    }
    if (auto list = elementList(value)) {
        return std::move(*list);
    }
    return std::monostate{};
}

bool isKeyEvent(CGEventType type) {
    return type == kCGEventKeyDown || type == kCGEventKeyUp || type == kCGEventFlagsChanged;
}

class MacPlatform : public posix_process::PosixProcess<Platform> {
  public:
    MacPlatform() : hidSource_(CGEventSourceCreate(kCGEventSourceStateHIDSystemState)) {}
    ~MacPlatform() override {
        if (hidSource_) {
            CFRelease(hidSource_);
        }
    }
    MacPlatform(const MacPlatform&) = delete;
    MacPlatform& operator=(const MacPlatform&) = delete;

    // The relay's clocks are the system's own uptime and calendar clocks.
    double uptime() override { return [NSProcessInfo processInfo].systemUptime; }
    double wallClock() override { return [NSDate date].timeIntervalSince1970; }

    Desktop desktop() override { return Desktop::macos; }

    std::optional<Point> pointerLocation() override {
        CGEventRef event = CGEventCreate(nullptr);
        if (!event) {
            return std::nullopt;
        }
        const CGPoint location = CGEventGetLocation(event);
        CFRelease(event);
        return Point{location.x, location.y};
    }

    bool accessibilityTrusted() override { return AXIsProcessTrusted(); }
    bool canPostEvents() override { return CGPreflightPostEventAccess(); }

    std::vector<WindowEntry> visibleWindows() override {
        std::vector<WindowEntry> entries;
        CFArrayRef list = CGWindowListCopyWindowInfo(
            kCGWindowListOptionOnScreenOnly | kCGWindowListExcludeDesktopElements, kCGNullWindowID);
        if (!list) {
            return entries;
        }
        for (CFIndex i = 0; i < CFArrayGetCount(list); ++i) {
            CFTypeRef item = CFArrayGetValueAtIndex(list, i);
            if (!item || CFGetTypeID(item) != CFDictionaryGetTypeID()) {
                entries.emplace_back();
                continue;
            }
            CFDictionaryRef entry = static_cast<CFDictionaryRef>(item);
            entries.push_back({numberValue<std::uint32_t>(entry, kCGWindowNumber), boundsOf(entry),
                               numberValue<std::int32_t>(entry, kCGWindowOwnerPID),
                               numberValue<std::int64_t>(entry, kCGWindowLayer)});
        }
        CFRelease(list);
        return entries;
    }

    Element applicationElement(std::int32_t pid) override {
        return std::make_shared<MacElement>(AXUIElementCreateApplication(pid));
    }

    void setMessagingTimeout(const Element& element, double seconds) override {
        AXUIElementSetMessagingTimeout(axOf(element), static_cast<float>(seconds));
    }

    std::optional<ElementList> applicationWindows(const Element& application) override {
        CFTypeRef value = nullptr;
        const AXError error =
            AXUIElementCopyAttributeValue(axOf(application), kAXWindowsAttribute, &value);
        std::optional<ElementList> windows;
        if (error == kAXErrorSuccess) {
            windows = elementList(value);
        }
        if (value) {
            CFRelease(value);
        }
        return windows;
    }

    std::optional<std::uint32_t> accessibilityWindowId(const Element& window) override {
        CGWindowID number = 0;
        if (_AXUIElementGetWindow == nullptr ||
            _AXUIElementGetWindow(axOf(window), &number) != kAXErrorSuccess) {
            return std::nullopt;
        }
        return number;
    }

    bool performAction(const Element& element, std::string_view action) override {
        return AXUIElementPerformAction(axOf(element), (__bridge CFStringRef)nsString(action)) ==
               kAXErrorSuccess;
    }

    void setAttributeTrue(const Element& element, std::string_view attribute) override {
        AXUIElementSetAttributeValue(axOf(element), (__bridge CFStringRef)nsString(attribute),
                                     kCFBooleanTrue);
    }

    std::optional<std::vector<AxValue>> copyAttributes(
        const Element& element, const std::vector<std::string_view>& attributes) override {
        @autoreleasepool {
            NSMutableArray* names = [NSMutableArray arrayWithCapacity:attributes.size()];
            for (std::string_view name : attributes) {
                [names addObject:nsString(name)];
            }
            CFArrayRef values = nullptr;
            const AXError error = AXUIElementCopyMultipleAttributeValues(
                axOf(element), (__bridge CFArrayRef)names, 0, &values);
            if (error != kAXErrorSuccess || !values) {
                if (values) {
                    CFRelease(values);
                }
                return std::nullopt;
            }
            std::vector<AxValue> result;
            for (CFIndex i = 0; i < CFArrayGetCount(values); ++i) {
                result.push_back(axValue(CFArrayGetValueAtIndex(values, i)));
            }
            CFRelease(values);
            return result;
        }
    }

    std::optional<std::string> bundleLocation(std::int32_t pid) override {
        NSRunningApplication* application =
            [NSRunningApplication runningApplicationWithProcessIdentifier:pid];
        NSURL* url = application.bundleURL;
        if (!application || !url) {
            return std::nullopt;
        }
        return std::string(url.absoluteString.UTF8String);
    }

    void openApplication(const std::string& location,
                         std::shared_ptr<std::atomic<bool>> done) override {
        NSURL* url = [NSURL URLWithString:nsString(location)];
        NSWorkspaceOpenConfiguration* configuration = [NSWorkspaceOpenConfiguration configuration];
        configuration.activates = YES;
        [[NSWorkspace sharedWorkspace] openApplicationAtURL:url
                                              configuration:configuration
                                          completionHandler:^(NSRunningApplication*, NSError*) {
                                            done->store(true);
                                          }];
    }

    void runLoopSlice(double seconds) override {
        [[NSRunLoop currentRunLoop] runUntilDate:[NSDate dateWithTimeIntervalSinceNow:seconds]];
    }

    bool routeFunctionAvailable(std::string_view name) override {
        if (!frameworkOpened_) {
            dlopen(SKYLIGHT_PATH, SKYLIGHT_OPEN_MODE);  // found through RTLD_DEFAULT below
            frameworkOpened_ = true;
        }
        void* address = dlsym(RTLD_DEFAULT, std::string(name).c_str());
        functions_[std::string(name)] = address;
        return address != nullptr;
    }

    bool authenticationRouteAvailable() override {
        messageSelector_ = NSSelectorFromString(AUTHENTICATION_SELECTOR);
        messageClass_ = NSClassFromString(AUTHENTICATION_CLASS);
        return messageClass_ &&
               class_respondsToSelector(object_getClass(messageClass_), messageSelector_);
    }

    std::optional<ProcessSerialNumber> frontProcess() override {
        ProcessSerialNumber psn{};
        if (function<FrontProcess>("_SLPSGetFrontProcess")(psn.data()) != 0) {
            return std::nullopt;
        }
        return psn;
    }

    std::optional<ProcessSerialNumber> processForPid(std::int32_t pid) override {
        ProcessSerialNumber psn{};
        if (function<ProcessForPid>("GetProcessForPID")(pid, psn.data()) != 0) {
            return std::nullopt;
        }
        return psn;
    }

    void postEventRecord(const ProcessSerialNumber& process, const FocusRecord& record) override {
        ProcessSerialNumber psn = process;
        FocusRecord bytes = record;
        function<PostEventRecord>("SLPSPostEventRecordTo")(psn.data(), bytes.data());
    }

    PostOutcome postToPid(std::int32_t pid, const Event& event) override {
        CGEventRef created = create(event);
        if (!created) {
            return PostOutcome::notCreated;
        }
        PostOutcome outcome = PostOutcome::posted;
        @autoreleasepool {
            if (isKeyEvent(CGEventGetType(created)) && !authenticate(created, pid)) {
                outcome = PostOutcome::unauthenticated;
            } else {
                function<PostToPid>("SLEventPostToPid")(pid, created);
            }
        }
        CFRelease(created);
        return outcome;
    }

    // The scoped route delivers every kind of input it creates.
    bool routeDelivers(const InputKinds&) override { return true; }
    // The scoped route reaches the window without its being in front or the user idle.
    FrontState frontState(std::optional<Point>) override { return FrontState::ok; }
    // The route marks every event with the selected window, so a pop-up cannot receive it.
    bool inPopUpOfTake(Point) override { return false; }

  private:
    // A route function found by routeFunctionAvailable; the relay loads the route before use.
    template <typename Function>
    Function function(std::string_view name) const {
        return reinterpret_cast<Function>(functions_.find(name)->second);
    }

    // Builds the event from the HID state source and applies the relay's values in order.
    CGEventRef create(const Event& event) const {
        const CGPoint location = CGPointMake(event.location.x, event.location.y);
        CGEventRef created = nullptr;
        switch (event.type) {
            case EventType::keyDown:
            case EventType::keyUp:
                created = CGEventCreateKeyboardEvent(hidSource_, event.keyCode,
                                                     event.type == EventType::keyDown);
                break;
            case EventType::scrollWheel:
                created = CGEventCreateScrollWheelEvent2(hidSource_, kCGScrollEventUnitPixel, 1,
                                                         event.scrollDelta, 0, 0);
                if (created) {
                    CGEventSetLocation(created, location);
                }
                break;
            default:
                created = CGEventCreateMouseEvent(hidSource_, static_cast<CGEventType>(event.type),
                                                  location, kCGMouseButtonLeft);
                break;
        }
        if (!created) {
            return nullptr;
        }
        if (event.clickState) {
            CGEventSetIntegerValueField(created, kCGMouseEventClickState, *event.clickState);
        }
        // Always set: an event from the HID state source otherwise carries the modifiers the
        // user holds, turning a release or a typed character into a chord.
        CGEventSetFlags(created, static_cast<CGEventFlags>(event.flags));
        if (!event.unicode.empty()) {
            CGEventKeyboardSetUnicodeString(created,
                                            static_cast<UniCharCount>(event.unicode.size()),
                                            reinterpret_cast<const UniChar*>(event.unicode.data()));
        }
        for (auto [field, value] : event.routeFields) {
            function<SetIntegerField>("SLEventSetIntegerValueField")(created, field, value);
        }
        if (event.windowLocation) {
            function<SetWindowLocation>("CGEventSetWindowLocation")(
                created, event.windowLocation->x, event.windowLocation->y);
        }
        return created;
    }

    // Attaches an authentication message made for pid from the event's own record.
    bool authenticate(CGEventRef event, std::int32_t pid) const {
        void* record = nullptr;
        for (std::size_t offset : RECORD_POINTER_OFFSETS) {
            record = *reinterpret_cast<void* const*>(reinterpret_cast<const char*>(event) + offset);
            if (record) {
                break;
            }
        }
        if (!record) {
            return false;
        }
        id message = function<MessageFactory>("objc_msgSend")(messageClass_, messageSelector_,
                                                              record, pid, 0);
        if (!message) {
            return false;
        }
        function<SetAuthentication>("SLEventSetAuthenticationMessage")(event, message);
        return true;
    }

    CGEventSourceRef hidSource_;
    bool frameworkOpened_ = false;
    std::map<std::string, void*, std::less<>> functions_;
    Class messageClass_ = nil;
    SEL messageSelector_ = nullptr;
};

}  // namespace

std::unique_ptr<Platform> makePlatform() {
    posix_process::prepareProcess();
    return std::make_unique<MacPlatform>();
}

}  // namespace input_relay
