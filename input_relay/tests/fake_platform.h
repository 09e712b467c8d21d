// A scriptable in-memory platform: windows, accessibility trees, permissions, the event route
// and a virtual clock. It records every event posted so tests can assert exact sequences.
#pragma once

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform.h"

namespace input_relay::testing {

struct FakeNode {
    std::optional<std::uint32_t> windowNumber;
    std::map<std::string, AxValue, std::less<>> attributes;  // absent ones read as AxError
    std::vector<int> children;                               // read as "AXChildren"
    bool batchFails = false;
};

struct PostedEvent {
    std::int32_t pid;
    Event event;
    double uptime;
};

// A pop-up window of the selected window's application.
struct FakePopUp {
    Rect bounds;
    bool openedDuringTake = true;
};

// What the posted events left pressed in the target.
struct HeldInput {
    bool button = false;
    std::set<std::uint16_t> keys;
};

class FakePlatform : public Platform {
  public:
    // Scene.
    Desktop desktopKind = Desktop::macos;
    std::optional<Point> pointer = Point{5, 5};
    bool trusted = true;
    bool postAllowed = true;
    std::vector<WindowEntry> windows;
    std::vector<FakeNode> nodes;
    std::map<std::int32_t, std::optional<std::vector<int>>> applicationWindowNodes;
    std::set<std::string, std::less<>> failingActions;
    std::map<std::int32_t, std::string> bundles;
    // Called with the done flag of an activation request; completes at once by default.
    std::function<void(const std::shared_ptr<std::atomic<bool>>&)> onOpenApplication;

    // Route.
    std::set<std::string, std::less<>> missingFunctions;
    bool authenticationRoute = true;
    bool frontProcessFails = false;
    bool processForPidFails = false;
    std::set<EventType> uncreatable;
    std::function<bool(const Event&)> authenticationFails;
    std::vector<FakePopUp> popUps;
    InputKinds dropped;  // what the route loses
    // Answers the front state questions; nothing stands in the way without it.
    std::function<FrontState(std::optional<Point>)> onFrontState;

    // Process.
    std::int64_t uptimeUs = 1'000'000'000;
    double wallBase = 1'700'000'000.0;
    std::int32_t parentPid = 100;
    // Called at every sleep, window-list query and post, with "sleep", "windows" or "post".
    std::function<void(std::string_view)> onCheckpoint;

    // Records.
    std::vector<std::uint32_t> sleeps;
    std::vector<double> runLoopSlices;
    std::vector<std::string> openedBundles;
    std::vector<std::pair<ProcessSerialNumber, FocusRecord>> focusRecords;
    std::vector<PostedEvent> posted;
    std::vector<InputKinds> deliveryQuestions;
    std::vector<std::optional<Point>> frontQuestions;  // the point of each front state question
    std::vector<std::pair<int, std::string>> attributesSet;  // (node, attribute); node -1: app
    std::string out;
    std::string err;

    // Adds a node and returns its index.
    int addNode(FakeNode node);
    // An ordinary window with an accessibility window of the same number owned by pid.
    void addWindow(std::uint32_t number, Rect bounds, std::int32_t pid, std::int64_t layer = 0);

    double uptime() override;
    double wallClock() override;
    void sleepMicroseconds(std::uint32_t microseconds) override;
    std::int32_t parentProcessId() override;
    void writeOutput(std::string_view bytes) override;
    void writeError(std::string_view bytes) override;
    Desktop desktop() override;
    std::optional<Point> pointerLocation() override;
    bool accessibilityTrusted() override;
    bool canPostEvents() override;
    std::vector<WindowEntry> visibleWindows() override;
    Element applicationElement(std::int32_t pid) override;
    void setMessagingTimeout(const Element& element, double seconds) override;
    std::optional<ElementList> applicationWindows(const Element& application) override;
    std::optional<std::uint32_t> accessibilityWindowId(const Element& window) override;
    bool performAction(const Element& element, std::string_view action) override;
    void setAttributeTrue(const Element& element, std::string_view attribute) override;
    std::optional<std::vector<AxValue>> copyAttributes(
        const Element& element, const std::vector<std::string_view>& attributes) override;
    std::optional<std::string> bundleLocation(std::int32_t pid) override;
    void openApplication(const std::string& bundleLocation,
                         std::shared_ptr<std::atomic<bool>> done) override;
    void runLoopSlice(double seconds) override;
    bool routeFunctionAvailable(std::string_view name) override;
    bool authenticationRouteAvailable() override;
    std::optional<ProcessSerialNumber> frontProcess() override;
    std::optional<ProcessSerialNumber> processForPid(std::int32_t pid) override;
    void postEventRecord(const ProcessSerialNumber& process, const FocusRecord& record) override;
    PostOutcome postToPid(std::int32_t pid, const Event& event) override;
    bool routeDelivers(const InputKinds& kinds) override;
    FrontState frontState(std::optional<Point> point) override;
    bool inPopUpOfTake(Point point) override;

    HeldInput heldInput() const;
    Element element(int node) const;
    int nodeOf(const Element& element) const;

  private:
    void checkpoint(std::string_view what);
};

}  // namespace input_relay::testing
