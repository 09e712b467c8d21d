// A fake view tree for the backdrop core: views and windows in memory, key-value settings
// that each class accepts or refuses, notifications the test fires, and a log of every
// operation in order.
#pragma once

#include <algorithm>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "backdrop_views.h"

namespace backdrop::testing {

struct FakeView {
    std::string className;
    ViewRef superview = 0;
    std::vector<ViewRef> subviews;
    Rect frame;
    bool wantsLayer = false;
    bool masksToBounds = false;
    bool passThrough = false;
    int held = 0;  // holds taken through createPassThroughOverlay and not released
    std::map<std::string, PropertyValue, std::less<>> values;
};

struct FakeWindow {
    ViewRef contentView = 0;
    bool open = true;
    bool pinned = false;
    std::multimap<WindowEvent, std::function<void(WindowRef)>> observers;
};

class FakeViewSystem : public ViewSystem {
  public:
    bool glassSupported = true;
    bool glassClassIsView = true;
    bool glassClassExists = true;
    // Keys each class accepts; a key not listed is refused.
    std::map<std::string, std::set<std::string, std::less<>>, std::less<>> acceptedKeys = {
        {"NSGlassEffectView", {"state", "cornerRadius", "tintColor"}},
        {"NSWindow", {"shouldAutoFlattenLayerTree", "canHostLayersInWindowServer"}},
        {"StatefulView", {"state"}},
    };
    std::vector<std::string> log;
    std::map<ViewRef, FakeView> views;
    std::map<WindowRef, FakeWindow> windows;

    ViewRef makeView(std::string className = "NSView", Rect frame = {}) {
        const ViewRef ref = nextRef_++;
        views[ref].className = std::move(className);
        views[ref].frame = frame;
        return ref;
    }
    ViewRef makeChild(ViewRef parent, std::string className = "NSView") {
        const ViewRef child = makeView(std::move(className));
        attach(parent, child, views[parent].subviews.end());
        return child;
    }
    WindowRef makeWindow(Rect contentBounds = {0, 0, 800, 600}) {
        const WindowRef ref = nextRef_++;
        windows[ref].contentView = makeView("NSView", contentBounds);
        return ref;
    }
    // Sends `event` to the window's observers, as the platform would.
    void fire(WindowRef window, WindowEvent event) {
        auto [first, last] = windows[window].observers.equal_range(event);
        std::vector<std::function<void(WindowRef)>> handlers;
        for (auto it = first; it != last; ++it) {
            handlers.push_back(it->second);
        }
        for (auto& handler : handlers) {
            handler(window);
        }
    }
    // Closes the window: observers hear of it, then its views are out of any window.
    void close(WindowRef window) {
        fire(window, WindowEvent::kWillClose);
        windows[window].open = false;
    }
    size_t logged(const std::string& prefix) const {
        return std::count_if(log.begin(), log.end(),
                             [&](const std::string& line) { return line.rfind(prefix, 0) == 0; });
    }
    std::vector<std::string> loggedFor(std::uintptr_t ref) const {
        std::vector<std::string> lines;
        std::string tag = " ";
        tag += std::to_string(ref);
        for (const auto& line : log) {
            if (line.find(tag) != std::string::npos) {
                lines.push_back(line);
            }
        }
        return lines;
    }

    bool glassAvailable(std::string_view glassClassName) override {
        return glassSupported && glassClassName == "NSGlassEffectView";
    }
    WindowRef windowOf(ViewRef view) override {
        ViewRef top = view;
        while (top != 0 && views[top].superview != 0) {
            top = views[top].superview;
        }
        for (const auto& [ref, window] : windows) {
            if (window.open && window.contentView == top && top != 0) {
                return ref;
            }
        }
        return 0;
    }
    ViewRef contentViewOf(WindowRef window) override { return windows[window].contentView; }
    Rect boundsOf(ViewRef view) override {
        return {0, 0, views[view].frame.width, views[view].frame.height};
    }
    std::vector<ViewRef> subviewsOf(ViewRef view) override { return views[view].subviews; }
    ViewRef createPassThroughOverlay(Rect frame) override {
        const ViewRef ref = makeView("GlassPassThroughView", frame);
        views[ref].passThrough = true;
        views[ref].wantsLayer = true;
        views[ref].masksToBounds = true;
        views[ref].held = 1;
        record("createPassThroughOverlay", ref);
        return ref;
    }
    void releaseView(ViewRef view) override {
        --views[view].held;
        record("releaseView", view);
    }
    ViewRef CreateClassInstanceByName(std::string_view className) override {
        if (!glassClassExists || className != "NSGlassEffectView" || !glassClassIsView) {
            record("CreateClassInstanceByName(none)", 0);
            return 0;
        }
        const ViewRef ref = makeView(std::string(className));
        record("CreateClassInstanceByName", ref);
        return ref;
    }
    void setFrame(ViewRef view, Rect frame) override {
        views[view].frame = frame;
        record("setFrame", view);
    }
    void setWantsLayer(ViewRef view) override {
        views[view].wantsLayer = true;
        record("setWantsLayer", view);
    }
    void setMasksToBounds(ViewRef view) override {
        views[view].masksToBounds = true;
        record("setMasksToBounds", view);
    }
    void KillLayerShadow(ViewRef view) override { record("KillLayerShadow", view); }
    void addSubview(ViewRef parent, ViewRef child) override {
        attach(parent, child, views[parent].subviews.end());
        record("addSubview", parent, child);
    }
    void addSubviewBelow(ViewRef parent, ViewRef child, ViewRef sibling) override {
        auto& list = views[parent].subviews;
        attach(parent, child, std::find(list.begin(), list.end(), sibling));
        record("addSubviewBelow", parent, child);
    }
    void removeFromSuperview(ViewRef view) override {
        detach(view);
        record("removeFromSuperview", view);
    }
    bool setValue(std::uintptr_t object, std::string_view key,
                  const PropertyValue& value) override {
        const bool isWindow = windows.contains(object);
        const std::string& className = isWindow ? windowClass_ : views[object].className;
        const auto accepted = acceptedKeys.find(className);
        const bool accepts = accepted != acceptedKeys.end() && accepted->second.contains(key);
        log.push_back("setValue " + std::string(key) + "=" + describe(value) +
                      (accepts ? "" : " refused") + " " + std::to_string(object));
        if (accepts && !isWindow) {
            views[object].values.insert_or_assign(std::string(key), value);
        }
        return accepts;
    }
    void setOpaque(WindowRef window, bool opaque) override {
        record("setOpaque " + std::to_string(opaque), window);
    }
    void setClearBackground(WindowRef window) override { record("setClearBackground", window); }
    void setHasShadow(WindowRef window, bool has) override {
        record("setHasShadow " + std::to_string(has), window);
    }
    void setHidesOnDeactivate(WindowRef window, bool hides) override {
        record("setHidesOnDeactivate " + std::to_string(hides), window);
    }
    void setCollectionBehavior(WindowRef window, uint64_t behavior) override {
        record("setCollectionBehavior " + std::to_string(behavior), window);
    }
    void invalidateShadow(WindowRef window) override { record("invalidateShadow", window); }
    bool hasPinnedMarker(WindowRef window) override { return windows[window].pinned; }
    void setPinnedMarker(WindowRef window) override {
        windows[window].pinned = true;
        record("setPinnedMarker", window);
    }
    void observe(WindowRef window, WindowEvent event,
                 std::function<void(WindowRef)> handler) override {
        windows[window].observers.emplace(event, std::move(handler));
        record("observe " + std::to_string(static_cast<int>(event)), window);
    }

    static std::string describe(const PropertyValue& value) {
        std::ostringstream out;
        if (auto* b = std::get_if<bool>(&value)) {
            out << (*b ? "true" : "false");
        } else if (auto* i = std::get_if<long long>(&value)) {
            out << *i;
        } else if (auto* d = std::get_if<double>(&value)) {
            out << *d;
        } else {
            const Color& c = std::get<Color>(value);
            out << "rgba(" << c.red * 255 << "," << c.green * 255 << "," << c.blue * 255 << ","
                << c.alpha * 255 << ")";
        }
        return out.str();
    }

  private:
    void attach(ViewRef parent, ViewRef child, std::vector<ViewRef>::iterator position) {
        views[child].superview = parent;
        views[parent].subviews.insert(position, child);
    }
    void detach(ViewRef view) {
        const ViewRef parent = views[view].superview;
        if (parent != 0) {
            std::erase(views[parent].subviews, view);
            views[view].superview = 0;
        }
    }
    void record(const std::string& what, ViewRef a, ViewRef b = 0) {
        log.push_back(what + " " + std::to_string(a) + (b != 0 ? " " + std::to_string(b) : ""));
    }

    ViewRef nextRef_ = 0x1000;
    const std::string windowClass_ = "NSWindow";
};

}  // namespace backdrop::testing
