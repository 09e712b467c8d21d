#include "backdrop_core.h"

#include <unordered_set>
#include <vector>

namespace backdrop {
namespace {

// UTF-16 code units, the unit colour strings are measured and split in.
std::u16string Utf16(std::string_view text) {
    std::u16string units;
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const size_t length = lead < 0x80         ? 1
                              : lead >> 5 == 0x6  ? 2
                              : lead >> 4 == 0xE  ? 3
                              : lead >> 3 == 0x1E ? 4
                                                  : 1;
        if (i + length > text.size()) {
            units.push_back(u'\uFFFD');
            break;
        }
        char32_t code = length == 1 ? lead : lead & (0x3F >> (length - 1));
        for (size_t k = 1; k < length; ++k) {
            code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        }
        if (code >= 0x10000) {
            units.push_back(static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10)));
            units.push_back(static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
        } else {
            units.push_back(static_cast<char16_t>(code));
        }
        i += length;
    }
    return units;
}

int HexDigit(char16_t c) {
    if (c >= u'0' && c <= u'9') {
        return c - u'0';
    }
    if (c >= u'a' && c <= u'f') {
        return c - u'a' + 10;
    }
    if (c >= u'A' && c <= u'F') {
        return c - u'A' + 10;
    }
    return -1;
}

// The leading hexadecimal digits of the pair; 0 when it does not start with one.
double ScanHexPair(std::u16string_view pair) {
    int value = 0;
    for (char16_t c : pair) {
        const int digit = HexDigit(c);
        if (digit < 0) {
            break;
        }
        value = value * 16 + digit;
    }
    return value / 255.0;
}

constexpr size_t kShortestColor = 7;

}  // namespace

std::optional<Color> ParseHexColor(std::string_view text) {
    const std::u16string units = Utf16(text);
    if (units.size() < kShortestColor) {
        return std::nullopt;
    }
    std::u16string_view hex(units);
    if (hex.front() == u'#') {
        hex.remove_prefix(1);
    }
    if (hex.size() != 6 && hex.size() != 8) {
        return std::nullopt;
    }
    auto component = [&](size_t index) { return ScanHexPair(hex.substr(2 * index, 2)); };
    return Color{component(0), component(1), component(2), hex.size() == 8 ? component(3) : 1.0};
}

void SetPropertyIfResponds(ViewSystem& views, std::uintptr_t object, std::string_view key,
                           const PropertyValue& value) {
    if (object != 0 && !key.empty()) {
        views.setValue(object, key, value);
    }
}

void ForceActiveGlassState(ViewSystem& views, ViewRef view) {
    if (view == 0) {
        return;
    }
    SetPropertyIfResponds(views, view, "state", 1LL);
    for (ViewRef subview : views.subviewsOf(view)) {
        ForceActiveGlassState(views, subview);
    }
}

Backdrop::Backdrop(std::shared_ptr<ViewSystem> views) : views_(std::move(views)) {}

Backdrop::~Backdrop() {
    for (auto& [root, state] : gWindowStates_) {
        views_->releaseView(state.overlay);
    }
}

bool Backdrop::IsBackdropSupported() {
    return views_ && views_->glassAvailable(kGlassClassName);
}

WindowGlassState* Backdrop::EnsureWindowState(ViewRef electronRootView) {
    auto found = gWindowStates_.find(electronRootView);
    if (found != gWindowStates_.end()) {
        // An overlay that left the window it was put in belongs to a window that is gone
        // or was rebuilt; its entry must not be used.
        if (views_->windowOf(found->second.overlay) == found->second.window) {
            return &found->second;
        }
        DropWindowState(found);
    }
    const WindowRef window = views_->windowOf(electronRootView);
    ViewRef contentView = electronRootView;
    if (window != 0) {
        contentView = views_->contentViewOf(window);
        ConfigureLiveGlassWindow(window);
    }
    views_->KillLayerShadow(contentView);
    const ViewRef overlay = views_->createPassThroughOverlay(views_->boundsOf(contentView));
    views_->KillLayerShadow(overlay);
    const std::vector<ViewRef> subviews = views_->subviewsOf(contentView);
    if (subviews.empty()) {
        views_->addSubview(contentView, overlay);
    } else {
        views_->addSubviewBelow(contentView, overlay, subviews.front());
    }
    return &gWindowStates_.insert_or_assign(electronRootView, WindowGlassState{overlay, {}, window})
                .first->second;
}

void Backdrop::ConfigureLiveGlassWindow(WindowRef window) {
    views_->setOpaque(window, false);
    views_->setClearBackground(window);
    views_->setHasShadow(window, false);
    views_->setHidesOnDeactivate(window, false);
    views_->setCollectionBehavior(window, kGlassCollectionBehavior);
    SetPropertyIfResponds(*views_, window, "shouldAutoFlattenLayerTree", false);
    // Passing through false makes the window rebuild its layer hosting with the value true.
    SetPropertyIfResponds(*views_, window, "canHostLayersInWindowServer", false);
    SetPropertyIfResponds(*views_, window, "canHostLayersInWindowServer", true);
    PinGlassStateAcrossKeyChanges(window);
    views_->invalidateShadow(window);
}

void Backdrop::PinGlassStateAcrossKeyChanges(WindowRef window) {
    if (views_->hasPinnedMarker(window)) {
        return;
    }
    views_->setPinnedMarker(window);
    // The observers outlive this object: they hold the view system and this object weakly.
    auto forceActive = [weakViews = std::weak_ptr<ViewSystem>(views_)](WindowRef w) {
        if (auto views = weakViews.lock()) {
            ForceActiveGlassState(*views, views->contentViewOf(w));
        }
    };
    views_->observe(window, WindowEvent::kDidBecomeKey, forceActive);
    views_->observe(window, WindowEvent::kDidResignKey, forceActive);
    views_->observe(window, WindowEvent::kWillClose, [weakSelf = weak_from_this()](WindowRef w) {
        if (auto self = weakSelf.lock()) {
            self->DropStatesOfClosingWindow(w);
        }
    });
}

void Backdrop::DropStatesOfClosingWindow(WindowRef window) {
    for (auto it = gWindowStates_.begin(); it != gWindowStates_.end();) {
        auto next = std::next(it);
        if (it->second.window == window) {
            DropWindowState(it);
        }
        it = next;
    }
}

void Backdrop::DropWindowState(std::unordered_map<ViewRef, WindowGlassState>::iterator entry) {
    WindowGlassState& state = entry->second;
    for (auto& [id, view] : state.glassViews) {
        views_->removeFromSuperview(view);
    }
    state.glassViews.clear();
    views_->removeFromSuperview(state.overlay);
    views_->releaseView(state.overlay);
    gWindowStates_.erase(entry);
}

ViewRef Backdrop::CreateGlassView(Rect frame, double cornerRadius, const std::string& tint) {
    const ViewRef view = views_->CreateClassInstanceByName(kGlassClassName);
    if (view == 0) {
        return 0;
    }
    views_->setFrame(view, frame);
    views_->setWantsLayer(view);
    views_->KillLayerShadow(view);
    views_->setMasksToBounds(view);
    // A radius of 0 or less keeps the glass class's own default.
    if (cornerRadius > 0) {
        SetPropertyIfResponds(*views_, view, "cornerRadius", cornerRadius);
    }
    if (!tint.empty()) {
        if (auto color = ParseHexColor(tint)) {
            SetPropertyIfResponds(*views_, view, "tintColor", *color);
        }
    }
    ForceActiveGlassState(*views_, view);
    return view;
}

void Backdrop::UpdateGlassRects(ViewRef electronRootView, GlassRectSource& rects) {
    EnsureWindowState(electronRootView);
    std::unordered_set<std::string> seenIds;
    for (uint32_t index = 0; index < rects.length(); ++index) {
        if (!rects.select(index)) {
            continue;
        }
        std::string id = rects.id();
        if (id.empty()) {
            continue;
        }
        // Before the size test: an id listed with no size keeps its view as it is.
        seenIds.insert(id);
        const GlassRect rect = rects.rect();
        if (!(rect.width > 0) || !(rect.height > 0)) {
            continue;
        }
        // Reading the element ran the host's code, which may have changed this window's
        // state: look it up again rather than keep a reference across the reads.
        WindowGlassState& state = *EnsureWindowState(electronRootView);
        const Rect frame{rect.x, rect.y, rect.width, rect.height};
        auto existing = state.glassViews.find(id);
        if (existing != state.glassViews.end()) {
            views_->setFrame(existing->second, frame);
            SetPropertyIfResponds(*views_, existing->second, "cornerRadius", rect.cornerRadius);
            if (auto color =
                    rect.tintColor.empty() ? std::nullopt : ParseHexColor(rect.tintColor)) {
                SetPropertyIfResponds(*views_, existing->second, "tintColor", *color);
            }
        } else if (const ViewRef glass =
                       CreateGlassView(frame, rect.cornerRadius, rect.tintColor)) {
            views_->addSubview(state.overlay, glass);
            state.glassViews.emplace(std::move(id), glass);
        }
    }
    WindowGlassState& state = *EnsureWindowState(electronRootView);
    std::vector<std::string> unlisted;
    for (const auto& [id, view] : state.glassViews) {
        if (!seenIds.contains(id)) {
            unlisted.push_back(id);
        }
    }
    for (const std::string& id : unlisted) {
        views_->removeFromSuperview(state.glassViews.at(id));
        state.glassViews.erase(id);
    }
}

void Backdrop::RemoveAllBackdrops(ViewRef electronRootView) {
    auto found = gWindowStates_.find(electronRootView);
    if (found != gWindowStates_.end()) {
        DropWindowState(found);
    }
}

}  // namespace backdrop
