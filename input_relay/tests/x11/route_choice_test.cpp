#include <gtest/gtest.h>

#include "x11_route_choice.h"

namespace input_relay {
namespace {

TEST(ChooseRoute, InFrontUnlessTheWindowAloneIsAskedFor) {
    EXPECT_EQ(chooseRoute(""), RouteKind::front);
    EXPECT_EQ(chooseRoute("front"), RouteKind::front);
    EXPECT_EQ(chooseRoute("Window"), RouteKind::front);
    EXPECT_EQ(chooseRoute("window"), RouteKind::sendEvent);
}

// Sent to the window alone, a take is delivered only when its toolkit keeps every kind of
// input it holds; in front, everything arrives.
TEST(Delivers, SentInputOnlyOfKindsTheToolkitKeeps) {
    const InputKinds pointer{.pointer = true};
    const InputKinds scroll{.scroll = true};
    const InputKinds keys{.keys = true};
    const InputKinds keysAndPointer{.pointer = true, .keys = true};
    struct Case {
        Toolkit toolkit;
        InputKinds kinds;
        bool sent;
    };
    const Case cases[] = {
        {{"gtk", "3.24.38"}, keys, true},
        {{"gtk", "3.24.38"}, pointer, false},
        {{"gtk", "3.24.38"}, scroll, false},
        {{"GTK", "4.8.3"}, keys, false},
        {{"GTK", "4.14"}, pointer, false},
        {{"GTK", "4.8.3"}, {}, true},
        {{"GTK", "3.24.38"}, pointer, false},
        {{"Qt", "5.15.8"}, keysAndPointer, true},
        {{"Qt", "5.15.8"}, scroll, false},
        {{"Gecko", "115.0"}, keys, true},
        {{"Gecko", "115.0"}, pointer, false},
        {{"Gecko", "115.0"}, scroll, false},
        {{"Chromium", "120"}, {.pointer = true, .scroll = true, .keys = true}, true},
        {{"", ""}, scroll, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(delivers(RouteKind::sendEvent, c.toolkit, c.kinds), c.sent)
            << c.toolkit.name << " " << c.toolkit.version;
        EXPECT_TRUE(delivers(RouteKind::front, c.toolkit, c.kinds));
    }
}

TEST(ReportsWindowRelativeExtents, OnlyGtk4AndLater) {
    EXPECT_TRUE(reportsWindowRelativeExtents({"GTK", "4.8.3"}));
    EXPECT_FALSE(reportsWindowRelativeExtents({"gtk", "3.24.38"}));
    EXPECT_FALSE(reportsWindowRelativeExtents({"Qt", "5.15.8"}));
    EXPECT_FALSE(reportsWindowRelativeExtents({"GTK", ""}));
}

}  // namespace
}  // namespace input_relay
