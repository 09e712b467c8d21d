// The view system the backdrop plug-in works on: the host's windows and views, the glass
// class, key-value settings and window notifications, as plain operations the core
// sequences. Implemented over AppKit (backdrop_macos.mm) and by a fake view tree in tests.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <variant>
#include <vector>

namespace backdrop {

// A platform view or window, by identity (its address); 0 is none.
using ViewRef = std::uintptr_t;
using WindowRef = std::uintptr_t;

struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
};

// Components from 0 to 1 in the calibrated RGB space.
struct Color {
    double red = 0;
    double green = 0;
    double blue = 0;
    double alpha = 1;
};

using PropertyValue = std::variant<bool, long long, double, Color>;

enum class WindowEvent { kDidBecomeKey, kDidResignKey, kWillClose };

class ViewSystem {
  public:
    virtual ~ViewSystem() = default;

    // The system is recent enough for glass and has the named glass class.
    virtual bool glassAvailable(std::string_view glassClassName) = 0;

    virtual WindowRef windowOf(ViewRef view) = 0;
    virtual ViewRef contentViewOf(WindowRef window) = 0;
    virtual Rect boundsOf(ViewRef view) = 0;
    virtual std::vector<ViewRef> subviewsOf(ViewRef view) = 0;

    // A view that lets every click through and is never opaque, sized `frame`, following
    // its superview's width and height, layer-backed with a clear, clipping layer. The
    // caller holds it until releaseView.
    virtual ViewRef createPassThroughOverlay(Rect frame) = 0;
    virtual void releaseView(ViewRef view) = 0;
    // A new instance of the named class when that class exists and is a view, else 0. It
    // lives at least until the current call returns; a superview keeps it after that.
    virtual ViewRef CreateClassInstanceByName(std::string_view className) = 0;

    virtual void setFrame(ViewRef view, Rect frame) = 0;
    virtual void setWantsLayer(ViewRef view) = 0;
    virtual void setMasksToBounds(ViewRef view) = 0;
    // No shadow on the view's layer (opacity, radius, offset, colour); nothing without a layer.
    virtual void KillLayerShadow(ViewRef view) = 0;
    virtual void addSubview(ViewRef parent, ViewRef child) = 0;
    virtual void addSubviewBelow(ViewRef parent, ViewRef child, ViewRef sibling) = 0;
    virtual void removeFromSuperview(ViewRef view) = 0;

    // Key-value setting on a view or window; false when the object refuses the key.
    virtual bool setValue(std::uintptr_t object, std::string_view key,
                          const PropertyValue& value) = 0;

    virtual void setOpaque(WindowRef window, bool opaque) = 0;
    virtual void setClearBackground(WindowRef window) = 0;
    virtual void setHasShadow(WindowRef window, bool hasShadow) = 0;
    virtual void setHidesOnDeactivate(WindowRef window, bool hides) = 0;
    virtual void setCollectionBehavior(WindowRef window, uint64_t behavior) = 0;
    virtual void invalidateShadow(WindowRef window) = 0;

    // The mark of a window whose observers are installed; it stays with the window.
    virtual bool hasPinnedMarker(WindowRef window) = 0;
    virtual void setPinnedMarker(WindowRef window) = 0;
    // Calls `handler` with the window on the main thread whenever `event` happens to it, for
    // as long as the process lives; the window is held weakly and a gone window calls nothing.
    virtual void observe(WindowRef window, WindowEvent event,
                         std::function<void(WindowRef)> handler) = 0;
};

// The view system of this platform; null where there are no views to put glass in.
std::shared_ptr<ViewSystem> MakeViewSystem();

}  // namespace backdrop
