#include <gtest/gtest.h>

#include "x11_route_choice.h"

namespace input_relay {
namespace {

// Every toolkit is driven in front unless sending to the window alone is asked for; that is
// refused where nothing sent would arrive.
TEST(ChooseRoute, InFrontUnlessTheWindowAloneIsAskedForAndCanReceive) {
    struct Case {
        Toolkit toolkit;
        std::string_view requested;
        std::optional<RouteKind> route;
    };
    const Case cases[] = {
        {{"GTK", "3.24.38"}, "", RouteKind::front},
        {{"GTK", "4.8.3"}, "", RouteKind::front},
        {{"Qt", "5.15.8"}, "", RouteKind::front},
        {{"Gecko", "115.0"}, "front", RouteKind::front},
        {{"", ""}, "", RouteKind::front},
        {{"GTK", "3.24.38"}, "window", RouteKind::sendEvent},
        {{"Qt", "5.15.8"}, "window", RouteKind::sendEvent},
        {{"Chromium", "120"}, "window", RouteKind::sendEvent},
        {{"GTK", "4.8.3"}, "window", std::nullopt},
        {{"GTK", "4.14"}, "window", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(chooseRoute(c.toolkit, c.requested), c.route)
            << c.toolkit.name << " " << c.toolkit.version << " " << c.requested;
    }
}

TEST(ReportsWindowRelativeExtents, OnlyGtk4AndLater) {
    EXPECT_TRUE(reportsWindowRelativeExtents({"GTK", "4.8.3"}));
    EXPECT_FALSE(reportsWindowRelativeExtents({"GTK", "3.24.38"}));
    EXPECT_FALSE(reportsWindowRelativeExtents({"Qt", "5.15.8"}));
    EXPECT_FALSE(reportsWindowRelativeExtents({"GTK", ""}));
}

}  // namespace
}  // namespace input_relay
