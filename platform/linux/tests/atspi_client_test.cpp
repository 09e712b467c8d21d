// The AT-SPI client against a real accessibility bus and a GTK window; run inside
// dbus-run-session on a private X server.
#include <atspi/atspi.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "atspi_client.h"
#include "test_client.h"

namespace platform_linux {
namespace {

using testing::TestClient;

struct WindowFacts {
    int pid = 0;
    int button[2] = {};
    int entry[2] = {};
    int label[2] = {};
};

WindowFacts Parse(const std::string& line) {
    WindowFacts facts;
    std::sscanf(line.c_str(), "{\"pid\":%d,\"button\":[%d,%d],\"entry\":[%d,%d],\"label\":[%d,%d]}",
                &facts.pid, &facts.button[0], &facts.button[1], &facts.entry[0], &facts.entry[1],
                &facts.label[0], &facts.label[1]);
    return facts;
}

TEST(AtspiClient, WithoutASessionBusNothingIsEnabledAndNoBusIsStarted) {
    const std::string address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    EXPECT_FALSE(AtspiClient::accessibilityEnabled());
    EXPECT_FALSE(AtspiClient::enableAccessibility());
    setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
}

TEST(AtspiClient, RolesAndFocusOfTheElementsOfARealWindow) {
    EXPECT_FALSE(AtspiClient::accessibilityEnabled());
    ASSERT_TRUE(AtspiClient::enableAccessibility());
    EXPECT_TRUE(AtspiClient::accessibilityEnabled());
    // Generous: the first calls start the registry; the product's 50 ms bound is not under test.
    AtspiClient::setTimeout(std::chrono::milliseconds(2000));

    TestClient window({}, ATSPI_TEST_WINDOW);
    const WindowFacts facts = Parse(window.line());
    ASSERT_GT(facts.pid, 0) << window.line();

    AtspiClient client;
    // The window registers with the accessibility registry a moment after it is shown.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    AtspiAnswer<AtspiElement> button;
    while (std::chrono::steady_clock::now() < deadline) {
        button = client.elementAtPoint(facts.button[0], facts.button[1], facts.pid);
        if (button.value && client.role(*button.value).value->role == "AXButton") {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_TRUE(button.value.has_value());
    EXPECT_EQ(client.role(*button.value).value->role, "AXButton");
    EXPECT_EQ(client.focused(*button.value).value, false);

    auto entry = client.elementAtPoint(facts.entry[0], facts.entry[1], facts.pid);
    ASSERT_TRUE(entry.value.has_value());
    EXPECT_EQ(client.role(*entry.value).value->role, "AXTextField");
    EXPECT_EQ(client.focused(*entry.value).value, true);

    auto label = client.elementAtPoint(facts.label[0], facts.label[1], facts.pid);
    ASSERT_TRUE(label.value.has_value());
    EXPECT_EQ(client.role(*label.value).value->role, "AXStaticText");

    auto elsewhere = client.elementAtPoint(facts.button[0], facts.button[1], facts.pid + 100000);
    EXPECT_FALSE(elsewhere.value.has_value()) << "another process has no window there";
}

TEST(AxRoleForAtspiRole, MapsRolesOntoAxNames) {
    const std::vector<std::tuple<AtspiRole, std::string, std::string>> cases = {
        {ATSPI_ROLE_TEXT, "AXTextArea", ""},
        {ATSPI_ROLE_PUSH_BUTTON, "AXButton", ""},
        {ATSPI_ROLE_LINK, "AXLink", ""},
        {ATSPI_ROLE_ENTRY, "AXTextField", ""},
        {ATSPI_ROLE_PASSWORD_TEXT, "AXTextField", "AXSecureTextField"},
        {ATSPI_ROLE_SLIDER, "AXSlider", ""},
        {ATSPI_ROLE_SCROLL_BAR, "AXScrollBar", ""},
        {ATSPI_ROLE_LABEL, "AXStaticText", ""},
        {ATSPI_ROLE_CHECK_BOX, "AXCheckBox", ""},
        {ATSPI_ROLE_DIALOG, "AXWindow", "AXDialog"},
        {ATSPI_ROLE_INVALID, "AXUnknown", ""},
    };
    for (const auto& [role, name, subrole] : cases) {
        const AxRole ax = axRoleForAtspiRole(role);
        EXPECT_EQ(ax.role, name);
        EXPECT_EQ(ax.subrole, subrole);
    }
    EXPECT_EQ(axRoleForAtspiRole(ATSPI_ROLE_TEXT, true).role, "AXTextField");
}

}  // namespace
}  // namespace platform_linux
