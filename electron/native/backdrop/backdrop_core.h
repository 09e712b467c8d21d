// Everything the backdrop plug-in decides: the per-window glass state, the preparation of a
// window, the glass view per rect id kept in step with the host's list, and hex colours.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "backdrop_views.h"

namespace backdrop {

inline constexpr std::string_view kGlassClassName = "NSGlassEffectView";
// Joins all Spaces (1), stays out of window cycling (64), shows beside full-screen windows (256).
inline constexpr uint64_t kGlassCollectionBehavior = 321;
inline constexpr double kDefaultCornerRadius = 12;

struct WindowGlassState {
    ViewRef overlay = 0;  // held by the state as well as by its superview
    std::unordered_map<std::string, ViewRef> glassViews;
    WindowRef window = 0;  // the window the overlay was put in; 0 when the root view had none
};

// One element of the host's rect list.
struct GlassRect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
    double cornerRadius = kDefaultCornerRadius;
    std::string tintColor;
};

// The host's rect list, read element by element as the update walks it.
class GlassRectSource {
  public:
    virtual ~GlassRectSource() = default;
    // Read again before every element.
    virtual uint32_t length() = 0;
    // Makes element `index` current; false when it is not an object.
    virtual bool select(uint32_t index) = 0;
    virtual std::string id() = 0;
    virtual GlassRect rect() = 0;
};

// "#RRGGBB", "#RRGGBBAA" or "RRGGBBAA" (each pair read as scanHexInt: reads it); nullopt for
// any other length.
std::optional<Color> ParseHexColor(std::string_view text);

// Sets `value` under `key`, ignoring a refusal.
void SetPropertyIfResponds(ViewSystem& views, std::uintptr_t object, std::string_view key,
                           const PropertyValue& value);
// "state" = 1 on the view and on every view below it, depth-first.
void ForceActiveGlassState(ViewSystem& views, ViewRef view);

class Backdrop : public std::enable_shared_from_this<Backdrop> {
  public:
    // `views` is null on a platform without views.
    explicit Backdrop(std::shared_ptr<ViewSystem> views);
    ~Backdrop();
    Backdrop(const Backdrop&) = delete;
    Backdrop& operator=(const Backdrop&) = delete;

    bool IsBackdropSupported();
    // The live state of the root view's window, made on first use. `electronRootView` != 0.
    WindowGlassState* EnsureWindowState(ViewRef electronRootView);
    // Makes the window's glass views match `rects`: one per listed id, none for the others.
    void UpdateGlassRects(ViewRef electronRootView, GlassRectSource& rects);
    void RemoveAllBackdrops(ViewRef electronRootView);

    const std::unordered_map<ViewRef, WindowGlassState>& windowStates() const {
        return gWindowStates_;
    }

  private:
    void ConfigureLiveGlassWindow(WindowRef window);
    void PinGlassStateAcrossKeyChanges(WindowRef window);
    ViewRef CreateGlassView(Rect frame, double cornerRadius, const std::string& tint);
    void DropWindowState(std::unordered_map<ViewRef, WindowGlassState>::iterator entry);
    void DropStatesOfClosingWindow(WindowRef window);

    std::shared_ptr<ViewSystem> views_;
    // The window states of this environment (the main thread's: in practice the process's),
    // keyed by the root view's identity.
    std::unordered_map<ViewRef, WindowGlassState> gWindowStates_;
};

}  // namespace backdrop
