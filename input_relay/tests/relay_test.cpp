#include <cmath>
#include <functional>
#include <limits>

#include "failure.h"
#include "relay_fixture.h"

namespace input_relay::testing {
namespace {

using Fields = std::vector<std::pair<std::uint32_t, std::int64_t>>;

Fields stampFields(std::int64_t phase, std::int64_t clickState, std::int64_t gesture) {
    return {{0, phase},   {1, clickState}, {3, 0},       {7, 3},      {40, PID},
            {51, WINDOW}, {58, gesture},   {91, WINDOW}, {92, WINDOW}};
}

std::int64_t gestureOf(const Event& event) {
    for (auto [field, value] : event.routeFields) {
        if (field == 58) {
            return value;
        }
    }
    return -1;
}

struct FailureCase {
    std::string name;
    std::vector<std::string> args;
    std::function<void(FakePlatform&)> setup;
    std::string message;
};

void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.name;
}

class StartupFailures : public RelayTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(StartupFailures, EndWithOneLineAndStatusTwoBeforeAnyInput) {
    const FailureCase& c = GetParam();
    if (c.setup) {
        c.setup(platform);
    }
    EXPECT_EQ(run(c.args), 2);
    EXPECT_EQ(platform.err, c.message + "\n");
    EXPECT_EQ(platform.out, "");
    EXPECT_TRUE(platform.posted.empty());
}

INSTANTIATE_TEST_SUITE_P(Relay, StartupFailures,
                         ::testing::
                             Values(
                                 FailureCase{
                                     "NoArguments", {}, nullptr, std::string(messages::NO_WINDOW)},
                                 FailureCase{"ElementsAlone",
                                             {"elements"},
                                             nullptr,
                                             std::string(messages::NO_WINDOW)},
                                 FailureCase{"FirstCommandNotAToken",
                                             {"150,150", TOKEN},
                                             nullptr,
                                             std::string(messages::NO_WINDOW)},
                                 FailureCase{"NoPointer",
                                             {TOKEN},
                                             [](FakePlatform& p) { p.pointer.reset(); },
                                             std::string(messages::NO_POINTER)},
                                 FailureCase{"NotTrustedEvenWithBadToken",
                                             {"window:x"},
                                             [](FakePlatform& p) { p.trusted = false; },
                                             std::string(messages::NO_PERMISSION)},
                                 FailureCase{"NotTrustedOnAFreedesktop",
                                             {TOKEN},
                                             [](FakePlatform& p) {
                                                 p.trusted = false;
                                                 p.desktopKind = Desktop::freedesktop;
                                             },
                                             std::string(messages::NO_ACCESSIBILITY_BUS)},
                                 FailureCase{"CannotPostEvents",
                                             {TOKEN},
                                             [](FakePlatform& p) { p.postAllowed = false; },
                                             std::string(messages::NO_PERMISSION)},
                                 FailureCase{"TokenWithLetters",
                                             {"window:8123x"},
                                             nullptr,
                                             std::string(messages::WINDOW_UNAVAILABLE)},
                                 FailureCase{"TokenWithSpace",
                                             {"window: 8123"},
                                             nullptr,
                                             std::string(messages::WINDOW_UNAVAILABLE)},
                                 FailureCase{"TokenBeyond32Bits",
                                             {"window:4294967296"},
                                             nullptr,
                                             std::string(messages::WINDOW_UNAVAILABLE)},
                                 FailureCase{"TokenWithThirdPiece",
                                             {TOKEN + ":1"},
                                             nullptr,
                                             std::string(messages::WINDOW_UNAVAILABLE)},
                                 FailureCase{"WindowNotOnScreen",
                                             {"window:77"},
                                             nullptr,
                                             std::string(messages::WINDOW_UNAVAILABLE)},
                                 FailureCase{"WindowNotAmongXWaylandWindows",
                                             {"window:77"},
                                             [](FakePlatform& p) {
                                                 p.desktopKind = Desktop::freedesktopWayland;
                                             },
                                             std::string(messages::NOT_XWAYLAND_WINDOW)},
                                 FailureCase{"EntryWithoutBounds",
                                             {TOKEN},
                                             [](FakePlatform& p) { p.windows[0].bounds.reset(); },
                                             std::string(messages::WINDOW_UNAVAILABLE)},
                                 FailureCase{"EntryWithoutOwner",
                                             {TOKEN},
                                             [](FakePlatform& p) { p.windows[0].ownerPid.reset(); },
                                             std::string(messages::WINDOW_UNAVAILABLE)},
                                 FailureCase{
                                     "AccessibilityWindowsUnreadable",
                                     {TOKEN},
                                     [](FakePlatform& p) { p.applicationWindowNodes[PID].reset(); },
                                     std::string(messages::NO_ACCESSIBILITY_WINDOWS)},
                                 FailureCase{"NoAccessibilityWindowWithTheNumber",
                                             {TOKEN},
                                             [](FakePlatform& p) { p.nodes[0].windowNumber = 1; },
                                             messages::noAccessibilityWindow(WINDOW)},
                                 FailureCase{
                                     "RaiseRefused",
                                     {TOKEN},
                                     [](FakePlatform& p) { p.failingActions.insert("AXRaise"); },
                                     std::string(messages::NOT_RAISED)},
                                 FailureCase{
                                     "RouteFunctionMissing",
                                     {TOKEN},
                                     [](FakePlatform& p) {
                                         p.missingFunctions = {"SLEventSetIntegerValueField",
                                                               "GetProcessForPID"};
                                     },
                                     messages::missingRouteFunction("SLEventSetIntegerValueField")},
                                 FailureCase{"AuthenticationClassMissing",
                                             {TOKEN},
                                             [](FakePlatform& p) { p.authenticationRoute = false; },
                                             std::string(messages::NO_KEYBOARD_ROUTE)},
                                 FailureCase{
                                     "FrontProcessUnaddressable",
                                     {TOKEN},
                                     [](FakePlatform& p) { p.frontProcessFails = true; },
                                     std::string(messages::NO_PROCESS)},
                                 FailureCase{"TargetProcessUnaddressable",
                                             {TOKEN},
                                             [](FakePlatform& p) { p.processForPidFails = true; },
                                             std::string(messages::NO_PROCESS)},
                                 FailureCase{"RefusedShortcutLaterInScript",
                                             {TOKEN, "150,150", "key:Meta+Tab"},
                                             nullptr,
                                             messages::refusedShortcut("Meta+Tab")},
                                 FailureCase{"UnknownKeyThatIsNotUtf8",
                                             {TOKEN, "key:\xff"},
                                             nullptr,
                                             messages::unknownKey("\uFFFD")},
                                 FailureCase{"BadPayloadLaterInScript",
                                             {TOKEN, "click", "type:SGVsbG8"},
                                             nullptr,
                                             std::string(messages::INVALID_PAYLOAD)},
                                 FailureCase{"WindowMovedBeforeArming",
                                             {TOKEN},
                                             [](FakePlatform& p) {
                                                 p.onCheckpoint = [&p](std::string_view what) {
                                                     if (what == "sleep") {
                                                         p.windows[0].bounds->x += 1;
                                                     }
                                                 };
                                             },
                                             std::string(messages::WINDOW_CHANGED)}),
                         [](const auto& test) { return test.param.name; });

TEST_F(RelayTest, ATokenAloneRaisesArmsAndExitsWithoutRecords) {
    EXPECT_EQ(run({"window::8123"}), 0);
    EXPECT_EQ(platform.out, "");
    EXPECT_EQ(platform.err, "");
    // 120 ms for the raised window to settle, 50 ms after the focus records.
    EXPECT_EQ(platform.sleeps, std::vector<std::uint32_t>(17, 10000));
    ASSERT_EQ(platform.focusRecords.size(), 2u);
    const FocusRecord& front = platform.focusRecords[0].second;
    EXPECT_EQ(front[4], 248);
    EXPECT_EQ(front[8], 13);
    EXPECT_EQ(front[60] | front[61] << 8 | front[62] << 16 | front[63] << 24, 8123);
    EXPECT_EQ(front[138], 2);
    EXPECT_EQ(platform.focusRecords[1].second[138], 1);
}

TEST_F(RelayTest, MovesAtStepZeroFollowEachOtherWithoutPause) {
    EXPECT_EQ(run({TOKEN, "d:0", "200,200", "300,300"}), 0);
    auto moves = postedOf({EventType::mouseMoved});
    ASSERT_EQ(moves.size(), 2u);
    EXPECT_EQ(platform.posted[0].uptime, platform.posted[1].uptime);
    EXPECT_EQ(records(), (std::vector<std::string>{R"({"kind":"move","x":200,"y":200})",
                                                   R"({"kind":"move","x":300,"y":300})"}));
}

TEST_F(RelayTest, StepPacingTakesTheLastParsableValueWhereverItStands) {
    const std::pair<std::vector<std::string>, double> cases[] = {
        {{TOKEN, "200,200", "300,300"}, 0.008},
        {{TOKEN, "200,200", "300,300", "d:x"}, 0.008},
        {{TOKEN, "d:20", "200,200", "300,300", "d:12.5"}, 0.0125},
        {{TOKEN, "200,200", "d:-3", "300,300"}, 0.0},
    };
    for (const auto& [args, gap] : cases) {
        FakePlatform fresh = withWindow();
        ASSERT_EQ(Relay(fresh, args, cancelled).run(), 0);
        ASSERT_EQ(fresh.posted.size(), 2u);
        EXPECT_NEAR(fresh.posted[1].uptime - fresh.posted[0].uptime, gap, 2e-6) << args.back();
    }
}

TEST_F(RelayTest, CharacterPacingAppliesToTheWholeScript) {
    // "ab": each character takes four key events' 6 ms pauses at most, then waits out k.
    EXPECT_EQ(run({TOKEN, "k:30", "type:YWI=", "k:200"}), 0);
    auto downs = postedOf({EventType::keyDown});
    ASSERT_EQ(downs.size(), 2u);
    std::vector<double> times;
    for (const PostedEvent& p : platform.posted) {
        if (p.event.type == EventType::keyDown) {
            times.push_back(p.uptime);
        }
    }
    EXPECT_NEAR(times[1] - times[0], 0.200, 2e-6);
}

TEST_F(RelayTest, ClickCountsBelowOneOrUnparsableClickOnce) {
    for (const std::string command : {"click", "click:", "click:0", "click:-2", "click:x"}) {
        FakePlatform fresh = withWindow();
        ASSERT_EQ(Relay(fresh, {TOKEN, "150,160", command}, cancelled).run(), 0);
        int downs = 0;
        for (const PostedEvent& p : fresh.posted) {
            downs += p.event.type == EventType::leftMouseDown && p.event.location.x == 150;
        }
        EXPECT_EQ(downs, 1) << command;
    }
}

TEST_F(RelayTest, AMultiClickIsPrimedOnceAndCountsClickStates) {
    EXPECT_EQ(run({TOKEN, "d:0", "150,160", "click:3"}), 0);
    std::vector<std::tuple<EventType, Point, std::optional<std::int64_t>>> seen;
    for (const PostedEvent& p : platform.posted) {
        seen.emplace_back(p.event.type, p.event.location, p.event.clickState);
    }
    const Point at{150, 160};
    const Point off{-1, -1};
    using T = EventType;
    EXPECT_EQ(seen, (decltype(seen){{T::mouseMoved, at, 1},
                                    {T::mouseMoved, at, std::nullopt},
                                    {T::leftMouseDown, off, std::nullopt},
                                    {T::leftMouseUp, off, std::nullopt},
                                    {T::leftMouseDown, at, 1},
                                    {T::leftMouseUp, at, 1},
                                    {T::leftMouseDown, at, 2},
                                    {T::leftMouseUp, at, 2},
                                    {T::leftMouseDown, at, 3},
                                    {T::leftMouseUp, at, 3}}));
    EXPECT_EQ(platform.focusRecords.size(), 4u);  // arming, then the one priming
    std::vector<std::string> expected = {R"({"kind":"move","x":150,"y":160})"};
    for (int i = 0; i < 3; ++i) {
        expected.push_back(R"({"kind":"down","x":150,"y":160})");
        expected.push_back(R"({"kind":"up","x":150,"y":160})");
    }
    EXPECT_EQ(records(), expected);
}

TEST_F(RelayTest, StampsCarryTheWindowAndTheGestureOfTheLastPriming) {
    EXPECT_EQ(run({TOKEN, "d:0", "150,160", "scroll:120", "down", "200,210", "up", "down", "up"}),
              0);
    const auto& posted = platform.posted;
    // Before the first press: gesture 0, window-relative location.
    EXPECT_EQ(posted[0].event.routeFields, stampFields(2, 0, 0));
    EXPECT_EQ(posted[0].event.windowLocation, (Point{50, 60}));
    EXPECT_EQ(posted[1].event.type, EventType::scrollWheel);
    EXPECT_EQ(posted[1].event.scrollDelta, -120);
    EXPECT_EQ(posted[1].event.routeFields, stampFields(2, 0, 0));
    // Priming: move, off-window press (phase 1) and release (phase 2), then the press.
    const std::int64_t first = gestureOf(posted[2].event);
    EXPECT_NE(first, 0);
    EXPECT_EQ(first,
              static_cast<std::int64_t>((platform.wallBase + posted[2].uptime) * 1e6) & 0x7FFFFFFF);
    EXPECT_EQ(posted[3].event.routeFields, stampFields(1, 1, first));
    EXPECT_EQ(posted[3].event.windowLocation, (Point{-101, -101}));
    EXPECT_EQ(posted[4].event.routeFields, stampFields(2, 1, first));
    EXPECT_EQ(posted[5].event.routeFields, stampFields(3, 1, first));
    // A drag is stamped as a press with click state 1 and reported as a move.
    EXPECT_EQ(posted[6].event.type, EventType::leftMouseDragged);
    EXPECT_EQ(posted[6].event.routeFields, stampFields(3, 1, first));
    EXPECT_EQ(posted[7].event.routeFields, stampFields(3, 1, first));
    // The second "down" is primed again with a new gesture.
    EXPECT_NE(gestureOf(posted[9].event), first);
    EXPECT_EQ(gestureOf(posted.back().event), gestureOf(posted[9].event));
    EXPECT_EQ(records()[1], R"({"kind":"scroll","x":150,"y":160,"dy":120})");
    EXPECT_EQ(records()[3], R"({"kind":"move","x":200,"y":210})");
}

TEST_F(RelayTest, PrimingTakesItsFixedPauses) {
    EXPECT_EQ(run({TOKEN, "d:0", "150,160", "down"}), 0);
    const auto& posted = platform.posted;
    ASSERT_EQ(posted.size(), 6u);  // move, primed move, off press, off release, down, release
    EXPECT_NEAR(posted[1].uptime - posted[0].uptime, 0.050, 2e-6);
    EXPECT_NEAR(posted[2].uptime - posted[1].uptime, 0.015, 2e-6);
    EXPECT_NEAR(posted[3].uptime - posted[2].uptime, 0.001, 2e-6);
    EXPECT_NEAR(posted[4].uptime - posted[3].uptime, 0.100, 2e-6);
}

TEST_F(RelayTest, MalformedCommandsAreSkippedSilently) {
    EXPECT_EQ(run({TOKEN, "1,2,3", "5", "a,5", "Click", "window:1", "scroll:", "scroll:1.5",
                   "wait:x", "nothing"}),
              0);
    EXPECT_TRUE(platform.posted.empty());
    EXPECT_EQ(platform.out, "");
}

TEST_F(RelayTest, EmptyPiecesOfAMoveAreDropped) {
    EXPECT_EQ(run({TOKEN, ",150,,160,"}), 0);
    EXPECT_EQ(records(), (std::vector<std::string>{R"({"kind":"move","x":150,"y":160})"}));
}

TEST_F(RelayTest, AMoveOutsideTheWindowReleasesTheHeldButtonWhereThePointerIs) {
    EXPECT_EQ(run({TOKEN, "150,160", "down", "5000,160"}), 2);
    EXPECT_EQ(platform.err, std::string(messages::LEFT_WINDOW) + "\n");
    EXPECT_EQ(records().back(), R"({"kind":"up","x":5000,"y":160})");
    const Event& release = platform.posted.back().event;
    EXPECT_EQ(release.type, EventType::leftMouseUp);
    EXPECT_EQ(release.location, (Point{5000, 160}));
    EXPECT_TRUE(release.routeFields.empty());
}

TEST_F(RelayTest, ADownOutsideTheWindowPostsNothing) {
    platform.pointer = Point{10, 10};
    EXPECT_EQ(run({TOKEN, "down"}), 2);
    EXPECT_EQ(platform.err, std::string(messages::LEFT_WINDOW) + "\n");
    EXPECT_TRUE(platform.posted.empty());
    EXPECT_EQ(platform.out, "");
}

TEST_F(RelayTest, PointsOnTheMinimumEdgesAreInsideAndOnTheMaximumEdgesOutside) {
    const std::pair<std::string, bool> cases[] = {
        {"100,100", true},    {"899.9,699.9", true}, {"900,150", false}, {"150,700", false},
        {"99.99,150", false}, {"nan,150", false},    {"inf,150", false},
    };
    for (const auto& [point, inside] : cases) {
        FakePlatform fresh = withWindow();
        EXPECT_EQ(Relay(fresh, {TOKEN, point, "click"}, cancelled).run(), inside ? 0 : 2) << point;
    }
}

// A menu the window opened during the take may reach beyond the window's frame; a pop-up that
// was already on screen, or a point in none, is still outside.
TEST_F(RelayTest, APointBeyondTheWindowIsInScopeOnlyInsideAPopUpOfTheTake) {
    const Rect below = {150, 690, 120, 60};
    const Rect aside = {300, 690, 120, 60};
    const std::tuple<std::string_view, std::vector<FakePopUp>, bool> cases[] = {
        {"inside a pop-up of the take", {{below, true}}, true},
        {"inside a pop-up from before the take", {{below, false}}, false},
        {"beside a pop-up of the take", {{aside, true}}, false},
        {"no pop-up", {}, false},
    };
    for (const auto& [name, popUps, inScope] : cases) {
        FakePlatform fresh = withWindow();
        fresh.popUps = popUps;
        EXPECT_EQ(Relay(fresh, {TOKEN, "160,160", "200,720", "click"}, cancelled).run(),
                  inScope ? 0 : 2)
            << name;
        const auto downs = std::count_if(fresh.posted.begin(), fresh.posted.end(), [](auto& p) {
            return p.event.type == EventType::leftMouseDown && p.event.location == Point{200, 720};
        });
        EXPECT_EQ(downs, inScope ? 1 : 0) << name;
        EXPECT_EQ(fresh.err, inScope ? "" : std::string(messages::LEFT_WINDOW) + "\n") << name;
    }
}

// Once armed, whatever the platform reports in front of the window ends the take with its own
// line, and what the relay holds is let go.
TEST_F(RelayTest, WhatStandsInFrontOfTheWindowEndsTheTakeWithItsLine) {
    const std::pair<FrontState, std::string_view> cases[] = {
        {FrontState::userPointer, messages::USER_POINTER},
        {FrontState::userKey, messages::USER_KEY},
        {FrontState::focusLost, messages::FOCUS_CHANGED},
        {FrontState::stackingChanged, messages::STACKING_CHANGED},
        {FrontState::notFocused, messages::FRONT_NOT_FOCUSED},
    };
    for (const auto& [state, message] : cases) {
        FakePlatform fresh = withWindow();
        fresh.onFrontState = [&fresh, answer = state](std::optional<Point>) {
            return fresh.heldInput().button ? answer : FrontState::ok;
        };
        EXPECT_EQ(Relay(fresh, {TOKEN, "150,150", "down", "wait:500", "160,160"}, cancelled).run(),
                  2);
        EXPECT_EQ(fresh.err, std::string(message) + "\n");
        EXPECT_FALSE(fresh.heldInput().button);
        EXPECT_TRUE(std::none_of(fresh.posted.begin(), fresh.posted.end(), [](auto& p) {
            return p.event.location == Point{160, 160};
        }));
    }
}

// Pointer and scroll events are asked about at their point, keys and waits without one, and
// nothing is asked before input is armed.
TEST_F(RelayTest, TheFrontIsAskedFromArmingAtEachPointerEventsPoint) {
    platform.onFrontState = [](std::optional<Point>) { return FrontState::userPointer; };
    EXPECT_EQ(run({"elements", TOKEN}), 0);
    EXPECT_TRUE(platform.frontQuestions.empty());

    FakePlatform fresh = withWindow();
    EXPECT_EQ(Relay(fresh, {TOKEN, "d:0", "150,160", "scroll:40", "key:a"}, cancelled).run(), 0);
    std::vector<Point> points;
    for (const auto& point : fresh.frontQuestions) {
        if (point) {
            points.push_back(*point);
        }
    }
    EXPECT_EQ(points, (std::vector<Point>{{150, 160}, {150, 160}}));
    EXPECT_GT(fresh.frontQuestions.size(), points.size());
}

// The route is asked, once and before any input, about the kinds the script will inject;
// commands that are skipped inject nothing.
TEST_F(RelayTest, TheRouteIsAskedAboutTheKindsOfInputTheScriptHolds) {
    const std::pair<std::vector<std::string>, InputKinds> cases[] = {
        {{}, {}},
        {{"d:5", "k:5", "wait:10", "1,2,3", "scroll:x", "type:"}, {}},
        {{"150,150"}, {.pointer = true}},
        {{"click:2"}, {.pointer = true}},
        {{"up"}, {.pointer = true}},
        {{"scroll:40"}, {.scroll = true}},
        {{"key:a"}, {.keys = true}},
        {{"type:YQ=="}, {.keys = true}},
        {{"150,150", "scroll:-40", "key:a"}, {.pointer = true, .scroll = true, .keys = true}},
    };
    for (const auto& [script, kinds] : cases) {
        FakePlatform fresh = withWindow();
        std::vector<std::string> args{TOKEN};
        args.insert(args.end(), script.begin(), script.end());
        Relay(fresh, args, cancelled).run();
        EXPECT_EQ(fresh.deliveryQuestions, std::vector<InputKinds>{kinds}) << args.back();
    }
}

// A route that would lose some of the take refuses it before anything reaches the window.
TEST_F(RelayTest, ATakeTheRouteWouldPartlyLoseIsRefusedUpFront) {
    platform.dropped = {.scroll = true};
    EXPECT_EQ(run({TOKEN, "150,150", "click", "key:a", "scroll:40"}), 2);
    EXPECT_EQ(platform.err, std::string(messages::SENT_EVENTS_DROPPED) + "\n");
    EXPECT_TRUE(platform.posted.empty());
    EXPECT_TRUE(platform.focusRecords.empty());
    EXPECT_EQ(platform.out, "");
    FakePlatform fresh = withWindow();
    fresh.dropped = {.scroll = true};
    EXPECT_EQ(Relay(fresh, {TOKEN, "150,150", "click", "key:a"}, cancelled).run(), 0);
}

TEST_F(RelayTest, TheScopeIsCheckedBeforeEveryEvent) {
    const std::pair<std::function<void(FakePlatform&)>, std::string_view> cases[] = {
        {[](FakePlatform& p) { p.windows[0].bounds->x += 1; }, messages::WINDOW_CHANGED},
        {[](FakePlatform& p) { p.windows[0].bounds->height -= 1; }, messages::WINDOW_CHANGED},
        {[](FakePlatform& p) { p.windows[0].ownerPid = 1; }, messages::WINDOW_CHANGED},
        {[](FakePlatform& p) { p.windows.clear(); }, messages::WINDOW_CHANGED},
        {[](FakePlatform& p) { p.trusted = false; }, messages::PERMISSION_LOST},
        {[](FakePlatform& p) { p.postAllowed = false; }, messages::PERMISSION_LOST},
    };
    for (const auto& [change, message] : cases) {
        FakePlatform fresh = withWindow();
        fresh.onCheckpoint = [&fresh, apply = change](std::string_view what) {
            if (what == "post" && fresh.posted.size() == 1) {
                apply(fresh);
            }
        };
        EXPECT_EQ(Relay(fresh, {TOKEN, "150,150", "160,160"}, cancelled).run(), 2);
        EXPECT_EQ(fresh.err, std::string(message) + "\n");
        EXPECT_EQ(fresh.posted.size(), 1u);
    }
}

TEST_F(RelayTest, ChordsPressModifiersFirstAndReportEveryKeyDown) {
    EXPECT_EQ(run({TOKEN, "key:Meta+Shift+a"}), 0);
    EXPECT_EQ(records(),
              (std::vector<std::string>{
                  R"({"kind":"key","key":"MetaLeft","modifiers":["cmd"],"x":5,"y":5})",
                  R"({"kind":"key","key":"ShiftLeft","modifiers":["shift"],"x":5,"y":5})",
                  R"({"kind":"key","key":"KeyA","modifiers":["cmd","shift"],"x":5,"y":5})"}));
    std::vector<std::tuple<EventType, std::uint16_t, Flags>> seen;
    for (const PostedEvent& p : platform.posted) {
        seen.emplace_back(p.event.type, p.event.keyCode, p.event.flags);
        EXPECT_TRUE(p.event.routeFields.empty());
    }
    using T = EventType;
    const Flags both = FLAG_COMMAND | FLAG_SHIFT;
    EXPECT_EQ(seen, (decltype(seen){{T::keyDown, 55, FLAG_COMMAND},
                                    {T::keyDown, 56, FLAG_SHIFT},
                                    {T::keyDown, 0, both},
                                    {T::keyUp, 0, both},
                                    {T::keyUp, 56, 0},
                                    {T::keyUp, 55, 0}}));
}

TEST_F(RelayTest, TypedCharactersUseKeysWhereTheyCanAndUnicodeElsewhere) {
    // "Aé"
    EXPECT_EQ(run({TOKEN, "type:QcOp"}), 0);
    EXPECT_EQ(records(),
              (std::vector<std::string>{
                  R"({"kind":"key","key":"ShiftLeft","modifiers":["shift"],"x":5,"y":5})",
                  R"({"kind":"key","key":"KeyA","modifiers":["shift"],"x":5,"y":5})"}));
    ASSERT_EQ(platform.posted.size(), 6u);
    const Event& unicodeDown = platform.posted[4].event;
    EXPECT_EQ(unicodeDown.type, EventType::keyDown);
    EXPECT_EQ(unicodeDown.unicode, u"\u00e9");
    EXPECT_EQ(unicodeDown.flags, 0u);
    EXPECT_EQ(platform.posted[5].event.flags, 0u);
    EXPECT_EQ(platform.posted[5].event.type, EventType::keyUp);
    EXPECT_NEAR(platform.posted[5].uptime - platform.posted[4].uptime, 0.012, 2e-6);
}

TEST_F(RelayTest, ScrollsInvertTheSignAndKeepTheGivenAmountInTheRecord) {
    EXPECT_EQ(run({TOKEN, "150,150", "scroll:40", "scroll:-2147483648", "scroll:+7"}), 0);
    auto scrolls = postedOf({EventType::scrollWheel});
    ASSERT_EQ(scrolls.size(), 3u);
    EXPECT_EQ(scrolls[0].scrollDelta, -40);
    EXPECT_EQ(scrolls[1].scrollDelta, std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(scrolls[2].scrollDelta, -7);
    EXPECT_EQ(records()[2], R"({"kind":"scroll","x":150,"y":150,"dy":-2147483648})");
}

TEST_F(RelayTest, AFailureInTheMiddleOfAChordReleasesWhatWentDown) {
    platform.authenticationFails = [](const Event& e) {
        return e.type == EventType::keyDown && e.keyCode == 0;
    };
    EXPECT_EQ(run({TOKEN, "key:cmd+shift+a"}), 2);
    EXPECT_EQ(platform.err, std::string(messages::NOT_AUTHENTICATED) + "\n");
    std::set<std::uint16_t> released;
    for (const Event& e : postedOf({EventType::keyUp})) {
        released.insert(e.keyCode);
    }
    EXPECT_EQ(released, (std::set<std::uint16_t>{0, 55, 56}));
}

TEST_F(RelayTest, KeyUpsThatCannotBeAuthenticatedDoNotRestartTheRelease) {
    platform.authenticationFails = [](const Event& e) { return e.type == EventType::keyUp; };
    EXPECT_EQ(run({TOKEN, "key:shift+b"}), 2);
    EXPECT_EQ(platform.err, std::string(messages::NOT_AUTHENTICATED) + "\n");
}

TEST_F(RelayTest, EventsThatCannotBeCreatedAreSkippedButStillReported) {
    platform.uncreatable = {EventType::leftMouseDown, EventType::mouseMoved};
    EXPECT_EQ(run({TOKEN, "150,150", "click"}), 0);
    EXPECT_EQ(records(), (std::vector<std::string>{R"({"kind":"move","x":150,"y":150})",
                                                   R"({"kind":"down","x":150,"y":150})",
                                                   R"({"kind":"up","x":150,"y":150})"}));
    EXPECT_EQ(postedOf({EventType::leftMouseUp}).size(), 2u);  // priming release and the click's
}

TEST_F(RelayTest, AButtonStillHeldAtTheEndIsReleased) {
    EXPECT_EQ(run({TOKEN, "150,150", "down"}), 0);
    EXPECT_EQ(records().back(), R"({"kind":"up","x":150,"y":150})");
    EXPECT_EQ(platform.posted.back().event.type, EventType::leftMouseUp);
}

TEST_F(RelayTest, RecordsAreStampedWithWallClockMilliseconds) {
    platform.wallBase = 1'700'000'000.123;
    EXPECT_EQ(run({TOKEN, "150,150"}), 0);
    const double at = (platform.wallBase + static_cast<double>(platform.posted[0].uptime)) * 1000;
    EXPECT_NE(platform.out.find("\"at\":" + std::to_string(static_cast<std::int64_t>(at))),
              std::string::npos)
        << platform.out;
}

TEST_F(RelayTest, NonFiniteCoordinatesDropTheRecordButNotTheRelease) {
    EXPECT_EQ(run({TOKEN, "150,150", "down", "inf,150"}), 2);
    EXPECT_EQ(platform.err, std::string(messages::LEFT_WINDOW) + "\n");
    EXPECT_EQ(platform.posted.back().event.type, EventType::leftMouseUp);
    EXPECT_EQ(records().back(), R"({"kind":"down","x":150,"y":150})");
}

TEST_F(RelayTest, WaitsSliceIntoTenMillisecondSleeps) {
    EXPECT_EQ(run({TOKEN, "wait:25", "wait:-4", "wait:0.0015"}), 0);
    std::vector<std::uint32_t> waits(platform.sleeps.end() - 4, platform.sleeps.end());
    EXPECT_EQ(waits, (std::vector<std::uint32_t>{10000, 10000, 5000, 1}));
}

TEST_F(RelayTest, ParentGoneOrSignalDuringAWaitCancelsWithinOneSlice) {
    for (bool viaParent : {false, true}) {
        FakePlatform fresh = withWindow();
        volatile std::sig_atomic_t flag = 0;
        std::int64_t stoppedAt = 0;
        fresh.onCheckpoint = [&](std::string_view what) {
            if (what == "sleep" && fresh.sleeps.size() == 40) {
                stoppedAt = fresh.uptimeUs;
                if (viaParent) {
                    fresh.parentPid = 1;
                } else {
                    flag = 1;
                }
            }
        };
        EXPECT_EQ(Relay(fresh, {TOKEN, "wait:60000"}, flag).run(), 2);
        EXPECT_EQ(fresh.err, std::string(messages::CANCELLED) + "\n");
        EXPECT_EQ(fresh.uptimeUs, stoppedAt);
    }
}

TEST(Microseconds, TruncatesAndHoldsOutOfRangeValues) {
    const std::pair<double, std::uint32_t> cases[] = {
        {8, 8000},
        {0.0015, 1},
        {-1, 0},
        {std::nan(""), 0},
        {4294967.295, 4294967295u},
        {4294967.296, 4294967295u},
        {1e300, 4294967295u},
        {std::numeric_limits<double>::infinity(), 4294967295u},
        {-std::numeric_limits<double>::infinity(), 0},
    };
    for (auto [ms, us] : cases) {
        EXPECT_EQ(microseconds(ms), us) << ms;
    }
}

// ---- raising and occlusion ----

struct CoverCase {
    std::string name;
    std::vector<WindowEntry> front;  // entries in front of the selected window
    bool covered;
};

void PrintTo(const CoverCase& c, std::ostream* os) {
    *os << c.name;
}

class Occlusion : public RelayTest, public ::testing::WithParamInterface<CoverCase> {};

TEST_P(Occlusion, ActivatesTheApplicationOnlyWhenEveryCellIsCovered) {
    const CoverCase& c = GetParam();
    platform.windows.insert(platform.windows.begin(), c.front.begin(), c.front.end());
    EXPECT_EQ(run({TOKEN}), c.covered ? 2 : 0);
    EXPECT_EQ(platform.openedBundles.size(), c.covered ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Relay, Occlusion,
    ::testing::Values(
        CoverCase{"Nothing", {}, false},
        CoverCase{"HalfCovered", {{1, Rect{100, 100, 400, 600}, 1, 0}}, false},
        CoverCase{"TwoHalves",
                  {{1, Rect{100, 100, 400, 600}, 1, 0}, {2, Rect{500, 100, 400, 600}, 1, 0}},
                  true},
        CoverCase{"UnnumberedOccluder", {{std::nullopt, Rect{0, 0, 2000, 2000}, 1, 0}}, true},
        CoverCase{"FloatingPanel", {{1, Rect{0, 0, 2000, 2000}, 1, 3}}, false},
        CoverCase{"NoLayer", {{1, Rect{0, 0, 2000, 2000}, 1, std::nullopt}}, false}),
    [](const auto& test) { return test.param.name; });

TEST_F(RelayTest, ACoveredWindowWhoseApplicationComesForwardPasses) {
    const WindowEntry cover{1, Rect{0, 0, 2000, 2000}, 1, 0};
    platform.windows.insert(platform.windows.begin(), cover);
    platform.onOpenApplication = [this](const std::shared_ptr<std::atomic<bool>>& done) {
        platform.windows.erase(platform.windows.begin());
        done->store(true);
    };
    EXPECT_EQ(run({TOKEN}), 0);
    EXPECT_EQ(platform.openedBundles, (std::vector<std::string>{"/Applications/App4242.app"}));
    EXPECT_EQ(platform.runLoopSlices, (std::vector<double>{0.25}));
}

TEST_F(RelayTest, AnApplicationThatNeverAnswersCostsThreeSecondsAndAQuarter) {
    platform.windows.insert(platform.windows.begin(), {1, Rect{0, 0, 2000, 2000}, 1, 0});
    platform.onOpenApplication = [](const std::shared_ptr<std::atomic<bool>>&) {};
    EXPECT_EQ(run({"elements", TOKEN}), 2);
    EXPECT_EQ(platform.err, std::string(messages::STAYS_HIDDEN) + "\n");
    double total = 0;
    for (double slice : platform.runLoopSlices) {
        total += slice;
    }
    EXPECT_NEAR(total, 3.25, 0.021);
}

TEST_F(RelayTest, ACoveredWindowWithoutABundleFails) {
    platform.windows.insert(platform.windows.begin(), {1, Rect{0, 0, 2000, 2000}, 1, 0});
    platform.bundles.clear();
    EXPECT_EQ(run({TOKEN}), 2);
    EXPECT_EQ(platform.err, std::string(messages::NO_BUNDLE) + "\n");
}

}  // namespace
}  // namespace input_relay::testing
