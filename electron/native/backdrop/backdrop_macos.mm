// The backdrop view system on macOS: AppKit views and windows, the glass class looked up by
// name, key-value coding that may refuse a key, and window notifications. Compiled with ARC.
#import <AppKit/AppKit.h>
#import <QuartzCore/QuartzCore.h>
#import <objc/runtime.h>

#include <string>

#include "backdrop_views.h"

// Click-through container of a window's glass views: never hit, never opaque. Not flipped on
// purpose: the rectangles the plug-in is given are in the content view's own coordinates, origin
// at the bottom-left and y measured upward from the bottom of the content area, which is
// AppKit's default; a glass view then keeps its distance from the bottom edge on a resize until
// the host sends the new rectangles.
@interface GlassPassThroughView : NSView
@end

// Holds a window's notification observer tokens for as long as the window lives and removes
// the observers when the window goes, so none outlives the window it watches.
@interface GlassObserverTokens : NSObject
- (void)add:(id<NSObject>)token;
@end

@implementation GlassObserverTokens {
    NSMutableArray<id<NSObject>>* _tokens;
}
- (instancetype)init {
    if ((self = [super init])) {
        _tokens = [NSMutableArray array];
    }
    return self;
}
- (void)add:(id<NSObject>)token {
    [_tokens addObject:token];
}
- (void)dealloc {
    for (id<NSObject> token in _tokens) {
        [NSNotificationCenter.defaultCenter removeObserver:token];
    }
}
@end

@implementation GlassPassThroughView
- (NSView*)hitTest:(NSPoint)point {
    return nil;
}
- (BOOL)acceptsFirstMouse:(NSEvent*)event {
    return NO;
}
- (BOOL)isOpaque {
    return NO;
}
@end

namespace backdrop {
namespace {

// Its address marks a window whose observers are installed.
char kPinnedKey;
// Its address keys a window's GlassObserverTokens.
char kObserverTokensKey;

// Glass comes with macOS 26. macOS 26 tells a process linked against an older SDK that it is
// 16.0 (its successors count on from there); no release from 16 to 25 exists, so any major
// version from 16 up is macOS 26 or later, whichever SDK the host was linked against.
const NSInteger kGlassLowestReportedMajorVersion = 16;

bool IsGlassSystem() {
    return NSProcessInfo.processInfo.operatingSystemVersion.majorVersion >=
           kGlassLowestReportedMajorVersion;
}

NSView* View(ViewRef ref) {
    return (__bridge NSView*)reinterpret_cast<void*>(ref);
}
NSWindow* Window(WindowRef ref) {
    return (__bridge NSWindow*)reinterpret_cast<void*>(ref);
}
std::uintptr_t Ref(id object) {
    return reinterpret_cast<std::uintptr_t>((__bridge void*)object);
}
NSString* String(std::string_view text) {
    return [[NSString alloc] initWithBytes:text.data()
                                    length:text.size()
                                  encoding:NSUTF8StringEncoding];
}

id ObjectValue(const PropertyValue& value) {
    if (auto* flag = std::get_if<bool>(&value)) {
        return [NSNumber numberWithBool:*flag];
    }
    if (auto* integer = std::get_if<long long>(&value)) {
        return [NSNumber numberWithInteger:static_cast<NSInteger>(*integer)];
    }
    if (auto* number = std::get_if<double>(&value)) {
        return [NSNumber numberWithDouble:*number];
    }
    const Color& c = std::get<Color>(value);
    // Hex tints are sRGB, as on the web page they come from.
    return [NSColor colorWithSRGBRed:c.red green:c.green blue:c.blue alpha:c.alpha];
}

NSNotificationName NotificationName(WindowEvent event) {
    switch (event) {
        case WindowEvent::kDidBecomeKey:
            return NSWindowDidBecomeKeyNotification;
        case WindowEvent::kDidResignKey:
            return NSWindowDidResignKeyNotification;
        case WindowEvent::kWillClose:
            break;
    }
    return NSWindowWillCloseNotification;
}

class AppKitViewSystem : public ViewSystem {
  public:
    bool glassAvailable(std::string_view glassClassName) override {
        return IsGlassSystem() && NSClassFromString(String(glassClassName)) != nil;
    }

    WindowRef windowOf(ViewRef view) override { return Ref(View(view).window); }
    ViewRef contentViewOf(WindowRef window) override { return Ref(Window(window).contentView); }

    Rect boundsOf(ViewRef view) override {
        const NSRect bounds = View(view).bounds;
        return {bounds.origin.x, bounds.origin.y, bounds.size.width, bounds.size.height};
    }

    std::vector<ViewRef> subviewsOf(ViewRef view) override {
        std::vector<ViewRef> refs;
        for (NSView* subview in [View(view).subviews copy]) {
            refs.push_back(Ref(subview));
        }
        return refs;
    }

    ViewRef createPassThroughOverlay(Rect frame) override {
        GlassPassThroughView* overlay = [[GlassPassThroughView alloc]
            initWithFrame:NSMakeRect(frame.x, frame.y, frame.width, frame.height)];
        overlay.autoresizingMask = NSViewWidthSizable | NSViewHeightSizable;
        overlay.wantsLayer = YES;
        overlay.layer.backgroundColor = NSColor.clearColor.CGColor;
        overlay.layer.masksToBounds = YES;
        return reinterpret_cast<ViewRef>(CFBridgingRetain(overlay));
    }

    void releaseView(ViewRef view) override { CFBridgingRelease(reinterpret_cast<void*>(view)); }

    ViewRef CreateClassInstanceByName(std::string_view className) override {
        Class viewClass = NSClassFromString(String(className));
        if (viewClass == nil) {
            return 0;
        }
        id object = [[viewClass alloc] init];
        if (![object isKindOfClass:NSView.class]) {
            return 0;
        }
        // Alive until the run loop's pool drains, by which time its superview holds it.
        CFAutorelease(CFBridgingRetain(object));
        return Ref(object);
    }

    void setFrame(ViewRef view, Rect frame) override {
        View(view).frame = NSMakeRect(frame.x, frame.y, frame.width, frame.height);
    }
    void setWantsLayer(ViewRef view) override { View(view).wantsLayer = YES; }
    void setMasksToBounds(ViewRef view) override { View(view).layer.masksToBounds = YES; }

    void KillLayerShadow(ViewRef view) override {
        CALayer* layer = View(view).layer;
        if (layer == nil) {
            return;
        }
        layer.shadowOpacity = 0;
        layer.shadowRadius = 0;
        layer.shadowOffset = CGSizeZero;
        layer.shadowColor = nil;
    }

    void addSubview(ViewRef parent, ViewRef child) override {
        [View(parent) addSubview:View(child)];
    }
    void addSubviewBelow(ViewRef parent, ViewRef child, ViewRef sibling) override {
        [View(parent) addSubview:View(child) positioned:NSWindowBelow relativeTo:View(sibling)];
    }
    void removeFromSuperview(ViewRef view) override { [View(view) removeFromSuperview]; }

    bool setValue(std::uintptr_t object, std::string_view key,
                  const PropertyValue& value) override {
        id target = (__bridge id) reinterpret_cast<void*>(object);
        @try {
            [target setValue:ObjectValue(value) forKey:String(key)];
            return true;
        } @catch (NSException*) {
            return false;
        }
    }

    void setOpaque(WindowRef window, bool opaque) override { Window(window).opaque = opaque; }
    void setClearBackground(WindowRef window) override {
        Window(window).backgroundColor = NSColor.clearColor;
    }
    void setHasShadow(WindowRef window, bool hasShadow) override {
        Window(window).hasShadow = hasShadow;
    }
    void setHidesOnDeactivate(WindowRef window, bool hides) override {
        Window(window).hidesOnDeactivate = hides;
    }
    void setCollectionBehavior(WindowRef window, uint64_t behavior) override {
        Window(window).collectionBehavior = static_cast<NSWindowCollectionBehavior>(behavior);
    }
    void invalidateShadow(WindowRef window) override { [Window(window) invalidateShadow]; }

    bool hasPinnedMarker(WindowRef window) override {
        return objc_getAssociatedObject(Window(window), &kPinnedKey) != nil;
    }
    void setPinnedMarker(WindowRef window) override {
        objc_setAssociatedObject(Window(window), &kPinnedKey, @YES, OBJC_ASSOCIATION_RETAIN);
    }

    void observe(WindowRef window, WindowEvent event,
                 std::function<void(WindowRef)> handler) override {
        NSWindow* observed = Window(window);
        __weak NSWindow* weakWindow = observed;
        auto shared = std::make_shared<std::function<void(WindowRef)>>(std::move(handler));
        // Key changes arrive on the main queue; a close is handled at once, before the
        // window lets go of its views.
        NSOperationQueue* queue =
            event == WindowEvent::kWillClose ? nil : NSOperationQueue.mainQueue;
        id<NSObject> token =
            [NSNotificationCenter.defaultCenter addObserverForName:NotificationName(event)
                                                            object:observed
                                                             queue:queue
                                                        usingBlock:^(NSNotification*) {
                                                          NSWindow* strongWindow = weakWindow;
                                                          if (strongWindow != nil) {
                                                              (*shared)(Ref(strongWindow));
                                                          }
                                                        }];
        [TokensOf(observed) add:token];
    }

  private:
    static GlassObserverTokens* TokensOf(NSWindow* window) {
        GlassObserverTokens* tokens = objc_getAssociatedObject(window, &kObserverTokensKey);
        if (tokens == nil) {
            tokens = [[GlassObserverTokens alloc] init];
            objc_setAssociatedObject(window, &kObserverTokensKey, tokens, OBJC_ASSOCIATION_RETAIN);
        }
        return tokens;
    }
};

}  // namespace

std::shared_ptr<ViewSystem> MakeViewSystem() {
    // Stateless and shared by every environment of the process, like AppKit itself.
    static const std::shared_ptr<ViewSystem> system = std::make_shared<AppKitViewSystem>();
    return system;
}

}  // namespace backdrop
