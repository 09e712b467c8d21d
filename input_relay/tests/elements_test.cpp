#include <limits>

#include "elements.h"
#include "failure.h"
#include "relay_fixture.h"

namespace input_relay::testing {
namespace {

AxValue text(std::string s) {
    return AxValue{std::move(s)};
}
AxValue number(std::variant<std::int64_t, double, bool> n) {
    return AxValue{AxNumber{n}};
}

FakeNode visible(std::string role, Rect frame,
                 std::map<std::string, AxValue, std::less<>> more = {}) {
    FakeNode node;
    node.attributes = std::move(more);
    node.attributes["AXRole"] = text(std::move(role));
    node.attributes["AXPosition"] = AxPoint{{frame.x, frame.y}};
    node.attributes["AXSize"] = AxSize{frame.width, frame.height};
    return node;
}

class ElementReport : public RelayTest {
  public:
    // The selected window's accessibility element is node 0.
    int add(FakeNode node, int parent = 0) {
        const int index = platform.addNode(std::move(node));
        platform.nodes[static_cast<std::size_t>(parent)].children.push_back(index);
        return index;
    }
    void addWide(int count, int parent = 0) {
        for (int i = 0; i < count; ++i) {
            add(visible("AXButton", {110, 110, 10, 10}), parent);
        }
    }
    int report() { return run({"elements", TOKEN}); }
    std::string document() const { return platform.out; }
};

TEST_F(ElementReport, DescribesRolesLabelsValuesFramesAndParents) {
    platform.nodes[0].attributes =
        visible("AXWindow", BOUNDS, {{"AXTitle", text("Doc")}}).attributes;
    add(visible(
        "AXButton", {110.5, 120, 10.5, 20},
        {{"AXTitle", text("")}, {"AXDescription", text("Save")}, {"AXEnabled", number(false)}}));
    add(visible("AXSecureTextField", {110, 150, 100, 20},
                {{"AXPlaceholderValue", text("Password")},
                 {"AXValue", text("hunter2")},
                 {"AXFocused", number(true)}}));
    add(visible("AXStaticText", {99.5, 180, 100, 20},
                {{"AXTitle", text("Hello")}, {"AXValue", number(std::int64_t{3})}}));
    add(visible("AXCheckBox", {110, 210, 20, 20}, {{"AXValue", number(std::int64_t{1})}}));
    add(visible("AXGroup", {110, 240, 20, 20},
                {{"AXSubrole", text("AXTabButton")}, {"AXValue", number(true)}}));
    const int hidden = add(visible("AXGroup", {110, 270, 0, 20}));
    add(visible("AXButton", {110, 270, 20, 20}, {{"AXTitle", text("Inner")}}), hidden);
    add(visible("AXButton", {2000, 2000, 20, 20}));  // outside the window
    FakeNode unreadable;
    unreadable.batchFails = true;
    add(unreadable);

    EXPECT_EQ(report(), 0);
    EXPECT_EQ(platform.err, "");
    EXPECT_EQ(
        document(),
        R"({"elements":[)"
        R"({"index":0,"role":"window","label":"Doc","frame":{"x":100,"y":100,"width":800,"height":600},"enabled":true,"focused":false},)"
        R"({"index":1,"role":"button","label":"Save","frame":{"x":111,"y":120,"width":11,"height":20},"enabled":false,"focused":false,"parent":0},)"
        R"({"index":2,"role":"secureTextField","label":"Password","frame":{"x":110,"y":150,"width":100,"height":20},"enabled":true,"focused":true,"parent":0},)"
        R"({"index":3,"role":"staticText","label":"Hello","frame":{"x":100,"y":180,"width":100,"height":20},"enabled":true,"focused":false,"parent":0,"value":"Hello"},)"
        R"({"index":4,"role":"checkBox","label":"","frame":{"x":110,"y":210,"width":20,"height":20},"enabled":true,"focused":false,"parent":0,"value":1},)"
        R"({"index":5,"role":"tab","label":"","frame":{"x":110,"y":240,"width":20,"height":20},"enabled":true,"focused":false,"parent":0,"value":true},)"
        R"({"index":6,"role":"button","label":"Inner","frame":{"x":110,"y":270,"width":20,"height":20},"enabled":true,"focused":false,"parent":0})"
        R"(],"truncated":false})"
        "\n");
    EXPECT_EQ(platform.attributesSet,
              (std::vector<std::pair<int, std::string>>{{-1, "AXEnhancedUserInterface"},
                                                        {-1, "AXManualAccessibility"}}));
    EXPECT_TRUE(platform.posted.empty());
}

TEST_F(ElementReport, LimitsCountsAndDepthAndSaysSo) {
    struct Case {
        std::string name;
        std::function<void(ElementReport&)> build;
        std::size_t records;
        bool truncated;
    };
    const Case cases[] = {
        {"500 visible", [](ElementReport& r) { r.addWide(500); }, 200, true},
        {"exactly 200", [](ElementReport& r) { r.addWide(199); }, 200, false},
        {"deeper than 80",
         [](ElementReport& r) {
             int parent = 0;
             for (int depth = 1; depth <= 85; ++depth) {
                 parent = r.add(visible("AXGroup", {110, 110, 10, 10}), parent);
             }
         },
         81, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        platform = withWindow();
        platform.nodes[0].attributes = visible("AXWindow", BOUNDS).attributes;
        c.build(*this);
        ASSERT_EQ(report(), 0);
        const std::string doc = document();
        std::size_t records = 0;
        for (std::size_t at = doc.find("\"index\""); at != std::string::npos;
             at = doc.find("\"index\"", at + 1)) {
            ++records;
        }
        EXPECT_EQ(records, c.records);
        EXPECT_NE(doc.find(c.truncated ? "\"truncated\":true" : "\"truncated\":false"),
                  std::string::npos);
    }
}

TEST_F(ElementReport, RetriesASparseTreeWhileTimeIsLeft) {
    EXPECT_EQ(report(), 0);
    EXPECT_EQ(document(), "{\"elements\":[],\"truncated\":false}\n");
    const std::vector<std::uint32_t> retries(3, 250000);
    EXPECT_EQ(std::vector<std::uint32_t>(platform.sleeps.end() - 3, platform.sleeps.end()),
              retries);
}

TEST_F(ElementReport, AWalkPastTheDeadlineStopsAndIsTruncated) {
    platform.nodes[0].attributes = visible("AXWindow", BOUNDS).attributes;
    ElementWalk walk;
    walk.deadline = platform.uptime() - 1;
    walkElements(platform, platform.element(0), 0, std::nullopt, BOUNDS, walk);
    EXPECT_TRUE(walk.truncated);
    EXPECT_TRUE(walk.elements.empty());
}

TEST_F(ElementReport, ANumberJsonCannotCarryFailsTheReport) {
    platform.nodes[0].attributes = visible("AXSlider", BOUNDS).attributes;
    platform.nodes[0].attributes["AXValue"] = number(std::numeric_limits<double>::quiet_NaN());
    EXPECT_EQ(report(), 2);
    EXPECT_EQ(platform.err, std::string(messages::ELEMENT_REPORT_UNENCODABLE) + "\n");
    EXPECT_EQ(platform.out, "");
}

TEST(ElementText, CutsToTheFirst120Characters) {
    std::string title;
    for (int i = 0; i < 200; ++i) {
        title += "e\u0301";  // one character of two code points
    }
    std::string first120;
    for (int i = 0; i < 120; ++i) {
        first120 += "e\u0301";
    }
    EXPECT_EQ(elementText(AxValue{title}), first120);
    EXPECT_EQ(elementText(AxValue{std::string()}), std::nullopt);
    EXPECT_EQ(elementText(AxValue{AxNumber{std::int64_t{5}}}), std::nullopt);
    EXPECT_EQ(elementText(AxValue{}), std::nullopt);
}

TEST(RoleName, MapsSubrolesAndShortensRoles) {
    const std::tuple<std::string, std::optional<std::string>, std::string> cases[] = {
        {"AXButton", std::nullopt, "button"},
        {"AXStaticText", std::nullopt, "staticText"},
        {"AXMenuItem", "AXSomething", "menuItem"},
        {"AXRadioButton", "AXTabButton", "tab"},
        {"AXTextField", "AXSearchField", "searchField"},
        {"AXCheckBox", "AXSwitch", "switch"},
        {"AXCheckBox", "AXToggle", "switch"},
        {"", std::nullopt, ""},
        {"Custom", std::nullopt, "custom"},
    };
    for (const auto& [role, subrole, name] : cases) {
        EXPECT_EQ(roleName(role, subrole), name) << role;
    }
}

TEST(RectJSON, RoundsHalvesAwayFromZeroAndSaturates) {
    EXPECT_EQ(serialize({rectJSON({2.5, -2.5, 10.5, 1e300})}),
              R"({"x":3,"y":-3,"width":11,"height":9223372036854775807})");
}

// Element values that are real numbers: the shortest text that reads back, in the C locale.
TEST(Serialize, WritesRealsAsTheirShortestText) {
    EXPECT_EQ(serialize({JsonArray{0.5, -0.0, 2.0, 0.1, 1.0 / 3, 1e-4, 0.001, 1e21, 5e-324,
                                   123456789012345680000.0}}),
              "[0.5,-0,2,0.1,0.3333333333333333,1e-04,0.001,1e+21,5e-324,"
              "123456789012345683968]");
    EXPECT_EQ(serialize({std::numeric_limits<double>::quiet_NaN()}), std::nullopt);
}

TEST(AxRect, NeedsAPointAndASizeOfFiniteNumbers) {
    const AxValue point = AxPoint{{1, 2}};
    const AxValue size = AxSize{3, 4};
    EXPECT_EQ(axRect(point, size), (Rect{1, 2, 3, 4}));
    EXPECT_EQ(axRect(size, point), std::nullopt);
    EXPECT_EQ(axRect(point, AxOtherValue{}), std::nullopt);
    EXPECT_EQ(axRect(AxPoint{{std::numeric_limits<double>::infinity(), 2}}, size), std::nullopt);
}

}  // namespace
}  // namespace input_relay::testing
