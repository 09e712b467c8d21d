#include <gtest/gtest.h>

#include <array>

#include "backdrop_core.h"
#include "backdrop_fake.h"

namespace backdrop {
namespace {

using testing::FakeView;
using testing::FakeViewSystem;

TEST(ParseHexColor, AcceptsHashSixHashEightAndBareEight) {
    struct Case {
        std::string text;
        std::optional<std::array<int, 4>> rgba;
    };
    const std::vector<Case> cases = {
        {"#A0B0C080", {{160, 176, 192, 128}}},
        {"#A0B0C0", {{160, 176, 192, 255}}},
        {"A0B0C080", {{160, 176, 192, 128}}},
        {"a0b0c0ff", {{160, 176, 192, 255}}},
        {"A0B0C0", std::nullopt},  // six digits need the hash sign
        {"#ABC", std::nullopt},
        {"", std::nullopt},
        {"#A0B0C0D", std::nullopt},    // seven digits
        {"#A0B0C0D0E", std::nullopt},  // nine digits
        {"A0B0C0D0E", std::nullopt},
        {"#G0B0C0", {{0, 176, 192, 255}}},   // a pair starting with no digit reads 0
        {"#AGB0C0", {{10, 176, 192, 255}}},  // the leading digit of the pair is kept
        {"#A0B0C0zz", {{160, 176, 192, 0}}},
        {"##A0B0C0F", {{0, 11, 12, 15}}},  // eight characters after the first hash
        {"#\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9",
         {{0, 0, 0, 255}}},  // counted in UTF-16 units
        {"#\xF0\x9F\x98\x80\xF0\x9F\x98\x80\xF0\x9F\x98\x80",
         {{0, 0, 0, 255}}},  // three surrogate pairs
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const auto color = ParseHexColor(c.text);
        ASSERT_EQ(color.has_value(), c.rgba.has_value());
        if (color) {
            EXPECT_DOUBLE_EQ(color->red, (*c.rgba)[0] / 255.0);
            EXPECT_DOUBLE_EQ(color->green, (*c.rgba)[1] / 255.0);
            EXPECT_DOUBLE_EQ(color->blue, (*c.rgba)[2] / 255.0);
            EXPECT_DOUBLE_EQ(color->alpha, (*c.rgba)[3] / 255.0);
        }
    }
}

class BackdropTest : public ::testing::Test {
  protected:
    std::shared_ptr<FakeViewSystem> views = std::make_shared<FakeViewSystem>();
    std::shared_ptr<Backdrop> backdrop = std::make_shared<Backdrop>(views);
    WindowRef window = views->makeWindow({0, 0, 1024, 768});
    ViewRef content = views->contentViewOf(window);
    ViewRef root = views->makeChild(content);
};

TEST_F(BackdropTest, SupportNeedsViewsAndGlass) {
    EXPECT_TRUE(backdrop->IsBackdropSupported());
    views->glassSupported = false;
    EXPECT_FALSE(backdrop->IsBackdropSupported());
    EXPECT_FALSE(Backdrop(nullptr).IsBackdropSupported());
}

TEST_F(BackdropTest, PreparingAWindowPutsOneOverlayAtTheBackAndConfiguresTheWindowInOrder) {
    const ViewRef front = views->makeChild(content);
    WindowGlassState* state = backdrop->EnsureWindowState(root);
    ASSERT_NE(state, nullptr);
    EXPECT_EQ(backdrop->EnsureWindowState(root), state);

    EXPECT_EQ(views->views[content].subviews, (std::vector<ViewRef>{state->overlay, root, front}));
    EXPECT_EQ(views->logged("createPassThroughOverlay"), 1u);
    const FakeView& overlay = views->views[state->overlay];
    EXPECT_TRUE(overlay.passThrough);
    EXPECT_EQ(overlay.frame.width, 1024);
    EXPECT_EQ(overlay.frame.height, 768);
    EXPECT_EQ(state->window, window);

    const std::string w = " " + std::to_string(window);
    const std::vector<std::string> expected = {
        "setOpaque 0" + w,
        "setClearBackground" + w,
        "setHasShadow 0" + w,
        "setHidesOnDeactivate 0" + w,
        "setCollectionBehavior 321" + w,
        "setValue shouldAutoFlattenLayerTree=false" + w,
        "setValue canHostLayersInWindowServer=false" + w,
        "setValue canHostLayersInWindowServer=true" + w,
        "setPinnedMarker" + w,
        "observe 0" + w,
        "observe 1" + w,
        "observe 2" + w,
        "invalidateShadow" + w,
    };
    EXPECT_EQ(views->loggedFor(window), expected);
    EXPECT_EQ(views->loggedFor(content),
              (std::vector<std::string>{"KillLayerShadow " + std::to_string(content),
                                        "addSubviewBelow " + std::to_string(content) + " " +
                                            std::to_string(state->overlay)}));
}

TEST_F(BackdropTest, AnEmptyContentViewGetsTheOverlayAsItsOnlySubview) {
    const WindowRef bare = views->makeWindow();
    const ViewRef bareContent = views->contentViewOf(bare);
    WindowGlassState* state = backdrop->EnsureWindowState(bareContent);
    EXPECT_EQ(views->views[bareContent].subviews, std::vector<ViewRef>{state->overlay});
    EXPECT_EQ(views->logged("addSubview " + std::to_string(bareContent)), 1u);
}

TEST_F(BackdropTest, AViewOutsideAnyWindowGetsTheOverlayInsideItselfAndNoWindowSettings) {
    const ViewRef loose = views->makeView("NSView", {0, 0, 300, 200});
    views->makeChild(loose);
    WindowGlassState* state = backdrop->EnsureWindowState(loose);
    EXPECT_EQ(views->views[loose].subviews.front(), state->overlay);
    EXPECT_EQ(state->window, 0u);
    EXPECT_EQ(views->logged("setOpaque"), 0u);
    EXPECT_EQ(backdrop->EnsureWindowState(loose), state);
}

TEST_F(BackdropTest, KeyChangesForceTheActiveStateDepthFirstOverTheWholeContentTree) {
    backdrop->EnsureWindowState(root);
    const ViewRef a = views->makeChild(root, "StatefulView");
    const ViewRef a1 = views->makeChild(a, "StatefulView");
    const ViewRef b = views->makeChild(root, "StatefulView");
    views->log.clear();
    views->fire(window, WindowEvent::kDidResignKey);
    std::vector<std::string> stateSettings;
    for (const auto& line : views->log) {
        if (line.rfind("setValue state=1", 0) == 0 && line.find("refused") == std::string::npos) {
            stateSettings.push_back(line.substr(line.rfind(' ') + 1));
        }
    }
    EXPECT_EQ(stateSettings,
              (std::vector<std::string>{std::to_string(a), std::to_string(a1), std::to_string(b)}));
    EXPECT_EQ(views->logged("setValue state=1"), views->views.size())
        << "every view of the content tree is asked";
    views->log.clear();
    views->fire(window, WindowEvent::kDidBecomeKey);
    EXPECT_EQ(views->logged("setValue state=1"), views->views.size());
}

TEST_F(BackdropTest, ObserversAreInstalledOncePerWindow) {
    backdrop->EnsureWindowState(root);
    backdrop->RemoveAllBackdrops(root);
    backdrop->EnsureWindowState(root);
    EXPECT_EQ(views->logged("observe"), 3u);
    EXPECT_EQ(views->logged("setOpaque"), 2u) << "the window settings are applied again";
}

// A scripted rect list; an element is either not an object (nullopt) or an id and a rect.
struct Element {
    std::string id;
    GlassRect rect;
};
class ListSource : public GlassRectSource {
  public:
    explicit ListSource(std::vector<std::optional<Element>> elements)
        : elements_(std::move(elements)) {}
    uint32_t length() override {
        ++lengthReads;
        return static_cast<uint32_t>(elements_.size());
    }
    bool select(uint32_t index) override {
        current_ = elements_[index];
        if (onSelect) {
            onSelect(index);
        }
        return current_.has_value();
    }
    std::string id() override { return current_->id; }
    GlassRect rect() override { return current_->rect; }

    std::vector<std::optional<Element>>& elements() { return elements_; }
    std::function<void(uint32_t)> onSelect;
    int lengthReads = 0;

  private:
    std::vector<std::optional<Element>> elements_;
    std::optional<Element> current_;
};

Element Glass(std::string id, double x, double y, double width, double height,
              double cornerRadius = kDefaultCornerRadius, std::string tint = "") {
    return {std::move(id), {x, y, width, height, cornerRadius, std::move(tint)}};
}

class UpdateTest : public BackdropTest {
  protected:
    void update(std::vector<std::optional<Element>> elements) {
        ListSource source(std::move(elements));
        backdrop->UpdateGlassRects(root, source);
    }
    const std::unordered_map<std::string, ViewRef>& glass() { return state().glassViews; }
    const WindowGlassState& state() { return backdrop->windowStates().at(root); }
    FakeView& view(const std::string& id) { return views->views[glass().at(id)]; }
};

TEST_F(UpdateTest, NewIdsGetGlassViewsInFrontOfEarlierOnes) {
    update({Glass("a", 10, 20, 100, 50), Glass("b", 0, 0, 30, 30, 4, "#FF000080")});
    ASSERT_EQ(glass().size(), 2u);
    EXPECT_EQ(views->views[state().overlay].subviews,
              (std::vector<ViewRef>{glass().at("a"), glass().at("b")}));
    const FakeView& a = view("a");
    EXPECT_EQ(a.className, "NSGlassEffectView");
    EXPECT_EQ(a.frame.x, 10);
    EXPECT_EQ(a.frame.width, 100);
    EXPECT_TRUE(a.wantsLayer && a.masksToBounds);
    EXPECT_EQ(std::get<double>(a.values.at("cornerRadius")), 12);
    EXPECT_EQ(std::get<long long>(a.values.at("state")), 1);
    EXPECT_FALSE(a.values.contains("tintColor"));
    const Color tint = std::get<Color>(view("b").values.at("tintColor"));
    EXPECT_DOUBLE_EQ(tint.alpha, 128 / 255.0);
    EXPECT_EQ(std::get<double>(view("b").values.at("cornerRadius")), 4);
}

TEST_F(UpdateTest, AListedIdKeepsItsViewAndIsOnlyMovedAndRestyled) {
    update({Glass("a", 10, 20, 100, 50, 8, "#A0B0C0")});
    const ViewRef first = glass().at("a");
    views->log.clear();
    update({Glass("a", 5, 6, 70, 80, 0, "")});
    EXPECT_EQ(glass().at("a"), first);
    EXPECT_EQ(views->logged("CreateClassInstanceByName"), 0u);
    EXPECT_EQ(view("a").frame.x, 5);
    EXPECT_EQ(view("a").frame.height, 80);
    EXPECT_EQ(std::get<double>(view("a").values.at("cornerRadius")), 0)
        << "the update path sets any radius";
    EXPECT_DOUBLE_EQ(std::get<Color>(view("a").values.at("tintColor")).red, 160 / 255.0)
        << "an empty tint keeps the old one";
    EXPECT_EQ(views->logged("setValue state"), 0u) << "the state is not forced again";

    update({Glass("a", 5, 6, 70, 80, 3, "A0B0C0")});
    EXPECT_DOUBLE_EQ(std::get<Color>(view("a").values.at("tintColor")).red, 160 / 255.0)
        << "a refused tint keeps the old one";
    update({Glass("a", 5, 6, 70, 80, 3, "#00000000")});
    EXPECT_DOUBLE_EQ(std::get<Color>(view("a").values.at("tintColor")).red, 0);
}

TEST_F(UpdateTest, ANewViewWithRadiusZeroKeepsTheClassDefault) {
    update({Glass("zero", 0, 0, 10, 10, 0), Glass("negative", 0, 0, 10, 10, -3)});
    EXPECT_FALSE(view("zero").values.contains("cornerRadius"));
    EXPECT_FALSE(view("negative").values.contains("cornerRadius"));
}

TEST_F(UpdateTest, ListedWithoutSizeKeepsTheViewUntouchedAndUnlistedRemovesIt) {
    update({Glass("a", 1, 2, 30, 40), Glass("b", 1, 2, 30, 40)});
    const ViewRef a = glass().at("a");
    const ViewRef b = glass().at("b");
    views->log.clear();
    update({Glass("a", 9, 9, 0, 40), Glass("x", 0, 0, 10, -1)});
    EXPECT_EQ(glass().size(), 1u);
    EXPECT_EQ(glass().at("a"), a);
    EXPECT_EQ(views->views[a].frame.x, 1);
    EXPECT_EQ(views->loggedFor(a), std::vector<std::string>{});
    EXPECT_EQ(views->views[b].superview, 0u);
}

TEST_F(UpdateTest, AnEmptyListRemovesEveryGlassViewButTheOverlayStays) {
    update({Glass("a", 1, 2, 30, 40), Glass("b", 1, 2, 30, 40)});
    const ViewRef overlay = state().overlay;
    update({});
    EXPECT_TRUE(glass().empty());
    EXPECT_EQ(state().overlay, overlay);
    EXPECT_TRUE(views->views[overlay].subviews.empty());
    EXPECT_EQ(views->views[overlay].superview, content);
}

TEST_F(UpdateTest, ElementsThatAreNotObjectsOrHaveNoIdArePassedOver) {
    update({std::nullopt, Glass("", 0, 0, 10, 10), Glass("ok", 0, 0, 10, 10)});
    EXPECT_EQ(glass().size(), 1u);
    EXPECT_TRUE(glass().contains("ok"));
}

TEST_F(UpdateTest, TheSameIdTwiceCreatesOnceThenUpdates) {
    update({Glass("a", 0, 0, 10, 10), Glass("a", 50, 60, 70, 80)});
    EXPECT_EQ(views->logged("CreateClassInstanceByName"), 1u);
    EXPECT_EQ(view("a").frame.x, 50);
}

TEST_F(UpdateTest, AGlassViewThatCannotBeMadeIsTriedAgainNextTime) {
    views->glassClassIsView = false;
    update({Glass("a", 0, 0, 10, 10)});
    EXPECT_TRUE(glass().empty());
    views->glassClassIsView = true;
    update({Glass("a", 0, 0, 10, 10)});
    EXPECT_TRUE(glass().contains("a"));
}

TEST_F(UpdateTest, WorksWithoutAPriorInitialization) {
    EXPECT_TRUE(backdrop->windowStates().empty());
    update({Glass("a", 0, 0, 10, 10)});
    EXPECT_EQ(views->logged("createPassThroughOverlay"), 1u);
}

TEST_F(UpdateTest, TheLengthIsReadAgainBeforeEveryElement) {
    ListSource source({Glass("a", 0, 0, 10, 10)});
    source.onSelect = [&](uint32_t index) {
        if (index == 0) {
            source.elements().push_back(Glass("b", 0, 0, 10, 10));
        }
    };
    backdrop->UpdateGlassRects(root, source);
    EXPECT_EQ(glass().size(), 2u);
    EXPECT_EQ(source.lengthReads, 3);
}

TEST_F(UpdateTest, HostCodeRemovingTheBackdropsMidUpdateIsSurvived) {
    update({Glass("a", 0, 0, 10, 10)});
    ListSource source({Glass("a", 0, 0, 10, 10), Glass("b", 0, 0, 10, 10)});
    source.onSelect = [&](uint32_t) { backdrop->RemoveAllBackdrops(root); };
    backdrop->UpdateGlassRects(root, source);
    EXPECT_EQ(glass().size(), 1u);
    EXPECT_TRUE(glass().contains("b"));
}

TEST_F(UpdateTest, RemoveAllTakesOutGlassAndOverlayAndTheNextCallStartsAfresh) {
    update({Glass("a", 0, 0, 10, 10)});
    const ViewRef overlay = state().overlay;
    const ViewRef a = glass().at("a");
    backdrop->RemoveAllBackdrops(root);
    EXPECT_TRUE(backdrop->windowStates().empty());
    EXPECT_EQ(views->views[a].superview, 0u);
    EXPECT_EQ(views->views[overlay].superview, 0u);
    EXPECT_EQ(views->views[overlay].held, 0);
    backdrop->RemoveAllBackdrops(root);
    backdrop->RemoveAllBackdrops(views->makeView());
    update({Glass("a", 0, 0, 10, 10)});
    EXPECT_NE(state().overlay, overlay);
}

TEST_F(UpdateTest, AClosedWindowsEntryIsDroppedAndNeverUsed) {
    update({Glass("a", 0, 0, 10, 10)});
    const ViewRef overlay = state().overlay;
    views->close(window);
    EXPECT_TRUE(backdrop->windowStates().empty());
    EXPECT_EQ(views->views[overlay].held, 0);

    // A new window whose root view has the same identity gets a state of its own.
    const WindowRef next = views->makeWindow();
    views->views[root].superview = 0;
    views->addSubview(views->contentViewOf(next), root);
    update({Glass("a", 0, 0, 10, 10)});
    EXPECT_EQ(state().window, next);
    EXPECT_NE(state().overlay, overlay);
}

TEST_F(UpdateTest, AnOverlayTakenOutOfItsWindowIsReplaced) {
    update({Glass("a", 0, 0, 10, 10)});
    const ViewRef overlay = state().overlay;
    views->removeFromSuperview(overlay);
    update({Glass("a", 0, 0, 10, 10)});
    EXPECT_NE(state().overlay, overlay);
    EXPECT_EQ(views->views[overlay].held, 0);
    EXPECT_EQ(views->views[content].subviews.front(), state().overlay);
}

TEST_F(UpdateTest, ObserversOutlivingTheBackdropDoNothing) {
    update({Glass("a", 0, 0, 10, 10)});
    const ViewRef overlay = state().overlay;
    backdrop.reset();
    EXPECT_EQ(views->views[overlay].held, 0) << "the overlay is let go with the backdrop";
    views->close(window);
    views.reset();
}

}  // namespace
}  // namespace backdrop
