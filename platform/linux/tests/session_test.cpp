#include "session.h"

#include <gtest/gtest.h>

namespace {

using platform_linux::SessionKind;
using platform_linux::sessionKindFrom;

struct SessionCase {
    const char* waylandDisplay;
    const char* sessionType;
    SessionKind expected;
};

class SessionKindTest : public testing::TestWithParam<SessionCase> {};

TEST_P(SessionKindTest, ReadsTheSessionFromItsVariables) {
    const SessionCase& c = GetParam();
    EXPECT_EQ(sessionKindFrom(c.waylandDisplay, c.sessionType), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Variables, SessionKindTest,
    testing::Values(SessionCase{nullptr, nullptr, SessionKind::x11},
                    SessionCase{"", "", SessionKind::x11},
                    SessionCase{nullptr, "x11", SessionKind::x11},
                    SessionCase{"wayland-0", nullptr, SessionKind::wayland},
                    SessionCase{nullptr, "wayland", SessionKind::wayland},
                    // A tty or an X session started from a Wayland one keeps no display.
                    SessionCase{"", "tty", SessionKind::x11},
                    SessionCase{"wayland-1", "x11", SessionKind::wayland}));

}  // namespace
