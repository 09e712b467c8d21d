#include <gtest/gtest.h>

#include "desktop_info_core.h"
#include "desktop_info_fake.h"

namespace desktop_info {
namespace {

using testing::FakeDesktopInfoPlatform;

HostCursor Shared(SharedCursor which) {
    return {true, which, ""};
}
HostCursor Described(std::string description) {
    return {true, std::nullopt, std::move(description)};
}

TEST(NSCursorToString, EveryRowOfTheCursorTable) {
    const std::vector<std::pair<HostCursor, std::string>> cases = {
        {HostCursor{}, "default"},
        {Shared(SharedCursor::kArrow), "default"},
        {Shared(SharedCursor::kIBeam), "text"},
        {Shared(SharedCursor::kPointingHand), "pointer"},
        {Shared(SharedCursor::kClosedHand), "grabbing"},
        {Shared(SharedCursor::kOpenHand), "grab"},
        {Shared(SharedCursor::kCrosshair), "crosshair"},
        {Shared(SharedCursor::kResizeLeft), "w-resize"},
        {Shared(SharedCursor::kResizeRight), "e-resize"},
        {Shared(SharedCursor::kResizeUp), "n-resize"},
        {Shared(SharedCursor::kResizeDown), "s-resize"},
        {Shared(SharedCursor::kResizeLeftRight), "ew-resize"},
        {Shared(SharedCursor::kResizeUpDown), "ns-resize"},
        {Shared(SharedCursor::kContextualMenu), "context-menu"},
        {Shared(SharedCursor::kDisappearingItem), "disappearing-item"},
        {Shared(SharedCursor::kDragCopy), "copy"},
        {Shared(SharedCursor::kDragLink), "alias"},
        {Shared(SharedCursor::kOperationNotAllowed), "not-allowed"},
        {Shared(SharedCursor::kIBeamForVerticalLayout), "vertical-text"},
        {Described("window resize northeast"), "nesw-resize"},
        {Described("resize southwest"), "nesw-resize"},
        {Described("resize northwest"), "nwse-resize"},
        {Described("resize southeast"), "nwse-resize"},
        {Described("resize northeast northwest"), "nesw-resize"},
        {Described("northeast"), "default"},
        {Described("resize"), "default"},
        {Described("Resize Northeast"), "default"},
        {Described("an arrow that is not the shared one"), "default"},
        {Described(""), "default"},
    };
    for (const auto& [cursor, expected] : cases) {
        SCOPED_TRACE(cursor.description);
        EXPECT_EQ(NSCursorToString(cursor), expected);
    }
}

TEST(DesktopInfo, LoadingSetsTheMessagingTimeoutFirst) {
    FakeDesktopInfoPlatform platform;
    DesktopInfo info(platform);
    ASSERT_EQ(platform.calls, std::vector<std::string>{"setAccessibilityMessagingTimeout"});
    EXPECT_FLOAT_EQ(platform.messagingTimeout, 0.05f);
}

TEST(DesktopInfo, FrontmostHostNamesItsOwnCursorWithoutAccessibility) {
    FakeDesktopInfoPlatform platform;
    platform.frontmost = true;
    platform.cursor = Shared(SharedCursor::kClosedHand);
    DesktopInfo info(platform);
    EXPECT_EQ(info.GetCurrentCursorType(), "grabbing");
    EXPECT_EQ(platform.count("isAccessibilityTrusted"), 0u);
}

TEST(DesktopInfo, OtherApplicationFrontmostUsesTheRoleUnderThePointer) {
    struct Case {
        std::optional<std::string> role;
        std::optional<bool> focus;
        std::string expected;
        bool focusAsked;
    };
    const std::vector<Case> cases = {
        {"AXTextField", true, "text", true},      {"AXTextArea", true, "text", true},
        {"AXTextField", false, "default", true},  {"AXTextArea", std::nullopt, "default", true},
        {"AXLink", true, "pointer", false},       {"AXButton", false, "pointer", false},
        {"AXSlider", false, "grab", false},       {"AXScrollBar", false, "grab", false},
        {"AXStaticText", true, "default", false}, {"AXWindow", false, "default", false},
        {std::nullopt, true, "default", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.role.value_or("(no role)"));
        FakeDesktopInfoPlatform platform;
        platform.roleAnswer = {c.role ? AxStatus::kSuccess : AxStatus::kFailure, c.role};
        platform.focusAnswer = {c.focus ? AxStatus::kSuccess : AxStatus::kFailure, c.focus};
        DesktopInfo info(platform);
        EXPECT_EQ(info.GetCurrentCursorType(), c.expected);
        EXPECT_EQ(platform.count("focused"), c.focusAsked ? 1u : 0u);
    }
}

TEST(DesktopInfo, ThePointerPositionIsPassedInSinglePrecision) {
    FakeDesktopInfoPlatform platform;
    platform.pointer = Point{-1280.25, 33.5};
    DesktopInfo info(platform);
    info.GetCursorTypeFromAccessibility();
    EXPECT_EQ(platform.count("elementAtPosition -1280.250000 33.500000"), 1u);
}

TEST(DesktopInfo, MissingPiecesGiveDefaultWithoutFurtherQueries) {
    struct Case {
        std::string name;
        void (*script)(FakeDesktopInfoPlatform&);
        size_t elementQueries;
    };
    const std::vector<Case> cases = {
        {"not trusted", [](FakeDesktopInfoPlatform& p) { p.trusted = false; }, 0},
        {"no pointer", [](FakeDesktopInfoPlatform& p) { p.pointer.reset(); }, 0},
        {"no element", [](FakeDesktopInfoPlatform& p) { p.elementFound = false; }, 1},
        {"element query failed",
         [](FakeDesktopInfoPlatform& p) { p.elementStatus = AxStatus::kFailure; }, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeDesktopInfoPlatform platform;
        c.script(platform);
        DesktopInfo info(platform);
        EXPECT_EQ(info.GetCurrentCursorType(), "default");
        EXPECT_EQ(platform.count("elementAtPosition"), c.elementQueries);
        EXPECT_EQ(platform.count("role"), 0u);
    }
}

// Which of the three queries goes unanswered.
enum class Unanswered { kElement, kRole, kFocus };

TEST(DesktopInfo, AnUnansweredQueryStartsOneQuietSecond) {
    for (Unanswered which : {Unanswered::kElement, Unanswered::kRole, Unanswered::kFocus}) {
        SCOPED_TRACE(static_cast<int>(which));
        FakeDesktopInfoPlatform platform;
        platform.roleAnswer = {AxStatus::kSuccess, "AXTextField"};
        if (which == Unanswered::kElement) {
            platform.elementStatus = AxStatus::kCannotComplete;
        } else if (which == Unanswered::kRole) {
            platform.roleAnswer = {AxStatus::kCannotComplete, std::nullopt};
        } else {
            platform.focusAnswer = {AxStatus::kCannotComplete, std::nullopt};
        }
        DesktopInfo info(platform);
        EXPECT_EQ(info.GetCurrentCursorType(), "default");
        ASSERT_EQ(platform.count("elementAtPosition"), 1u);

        platform.now += 0.999;
        EXPECT_EQ(info.GetCurrentCursorType(), "default");
        EXPECT_EQ(platform.count("elementAtPosition"), 1u) << "queried during the quiet period";

        platform.now += 0.001;
        info.GetCurrentCursorType();
        EXPECT_EQ(platform.count("elementAtPosition"), 2u) << "still quiet once the second is over";
    }
}

TEST(DesktopInfo, ARunOfUnansweredQueriesKeepsExtendingTheQuietPeriod) {
    FakeDesktopInfoPlatform platform;
    platform.elementStatus = AxStatus::kCannotComplete;
    DesktopInfo info(platform);
    info.GetCurrentCursorType();
    platform.now += 1.0;
    info.GetCurrentCursorType();  // unanswered again at now: quiet until now + 1
    platform.now += 0.5;
    platform.elementStatus = AxStatus::kSuccess;
    info.GetCurrentCursorType();
    EXPECT_EQ(platform.count("elementAtPosition"), 2u);
    platform.now += 0.5;
    EXPECT_EQ(info.GetCurrentCursorType(), "pointer");
}

TEST(DesktopInfo, OtherAccessibilityErrorsDoNotQuiet) {
    FakeDesktopInfoPlatform platform;
    platform.elementStatus = AxStatus::kFailure;
    DesktopInfo info(platform);
    info.GetCurrentCursorType();
    info.GetCurrentCursorType();
    EXPECT_EQ(platform.count("elementAtPosition"), 2u);
}

TEST(DesktopInfo, PermissionAnswers) {
    struct Case {
        bool trusted;
        bool grantOnRequest;
        bool expectedRequest;
        size_t prompts;
    };
    for (const Case& c : std::vector<Case>{
             {true, false, true, 0}, {false, true, true, 1}, {false, false, false, 1}}) {
        FakeDesktopInfoPlatform platform;
        platform.trusted = c.trusted;
        platform.grantOnRequest = c.grantOnRequest;
        DesktopInfo info(platform);
        EXPECT_EQ(info.HasAccessibilityPermissions(), c.trusted);
        EXPECT_EQ(info.RequestAccessibilityPermissions(), c.expectedRequest);
        EXPECT_EQ(platform.count("requestAccessibilityTrust"), c.prompts);
    }
    for (auto [access, expected] : std::vector<std::pair<InputMonitoringAccess, bool>>{
             {InputMonitoringAccess::kGranted, true},
             {InputMonitoringAccess::kDenied, false},
             {InputMonitoringAccess::kUnknown, false}}) {
        FakeDesktopInfoPlatform platform;
        platform.inputMonitoring = access;
        DesktopInfo info(platform);
        EXPECT_EQ(info.HasInputMonitoringPermissions(), expected);
    }
    for (bool answer : {true, false}) {
        FakeDesktopInfoPlatform platform;
        platform.inputMonitoringRequestResult = answer;
        DesktopInfo info(platform);
        EXPECT_EQ(info.RequestInputMonitoringPermissions(), answer);
    }
}

WindowEntry Entry(std::optional<int> layer, std::optional<uint32_t> number,
                  std::optional<std::optional<Rect>> bounds,
                  std::optional<std::string> name = "title",
                  std::optional<std::string> owner = "owner") {
    return {layer, number, bounds, name, owner};
}

TEST(DesktopInfo, WindowListKeepsOrdinaryEntriesInOrder) {
    FakeDesktopInfoPlatform platform;
    const Rect r{-1440.5, 12.25, 800, 600.5};
    platform.windows = std::vector<WindowEntry>{
        Entry(0, 7, r, "front", "App"),
        Entry(25, 8, r),                      // menu bar level
        Entry(std::nullopt, 9, r),            // no layer
        Entry(0, std::nullopt, r),            // no number
        Entry(0, 10, std::nullopt),           // no bounds
        Entry(0, 11, std::optional<Rect>{}),  // bounds that do not convert
        Entry(0, 12, Rect{}, std::nullopt, std::nullopt),
        Entry(-1, 13, r),
    };
    DesktopInfo info(platform);
    const auto list = info.GetWindowList();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].windowId, 7u);
    EXPECT_EQ(list[0].name, "front");
    EXPECT_EQ(list[0].ownerName, "App");
    EXPECT_EQ(list[0].x, -1440.5);
    EXPECT_EQ(list[0].y, 12.25);
    EXPECT_EQ(list[0].width, 800);
    EXPECT_EQ(list[0].height, 600.5);
    EXPECT_EQ(list[1].windowId, 12u);
    EXPECT_EQ(list[1].name, "");
    EXPECT_EQ(list[1].ownerName, "");
    EXPECT_EQ(list[1].width, 0);
}

TEST(DesktopInfo, NoWindowListGivesAnEmptyArray) {
    FakeDesktopInfoPlatform platform;
    platform.windows.reset();
    DesktopInfo info(platform);
    EXPECT_TRUE(info.GetWindowList().empty());
}

}  // namespace
}  // namespace desktop_info
