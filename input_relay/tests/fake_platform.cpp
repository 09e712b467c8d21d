#include "fake_platform.h"

#include <algorithm>

#include "relay.h"

namespace input_relay::testing {
namespace {

constexpr int APPLICATION_NODE = -1;

struct FakeElement : AxElement {
    FakeElement(int n, std::int32_t p) : node(n), pid(p) {}
    int node;
    std::int32_t pid;
};

ProcessSerialNumber serialOf(std::int32_t pid) {
    ProcessSerialNumber psn{};
    for (std::size_t i = 0; i < 4; ++i) {
        psn[4 + i] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(pid) >> (8 * i));
    }
    return psn;
}

}  // namespace

int FakePlatform::addNode(FakeNode node) {
    nodes.push_back(std::move(node));
    return static_cast<int>(nodes.size()) - 1;
}

void FakePlatform::addWindow(std::uint32_t number, Rect bounds, std::int32_t pid,
                             std::int64_t layer) {
    windows.push_back({number, bounds, pid, layer});
    FakeNode node;
    node.windowNumber = number;
    const int index = addNode(std::move(node));
    auto& list = applicationWindowNodes[pid];
    if (!list) {
        list.emplace();
    }
    list->push_back(index);
    bundles.emplace(pid, "/Applications/App" + std::to_string(pid) + ".app");
}

HeldInput FakePlatform::heldInput() const {
    HeldInput held;
    for (const PostedEvent& p : posted) {
        switch (p.event.type) {
            case EventType::leftMouseDown:
                held.button = true;
                break;
            case EventType::leftMouseUp:
                held.button = false;
                break;
            case EventType::keyDown:
                held.keys.insert(p.event.keyCode);
                break;
            case EventType::keyUp:
                held.keys.erase(p.event.keyCode);
                break;
            default:
                break;
        }
    }
    return held;
}

Element FakePlatform::element(int node) const {
    return std::make_shared<FakeElement>(node, 0);
}

int FakePlatform::nodeOf(const Element& e) const {
    return static_cast<const FakeElement&>(*e).node;
}

void FakePlatform::checkpoint(std::string_view what) {
    if (onCheckpoint) {
        onCheckpoint(what);
    }
}

double FakePlatform::uptime() {
    return static_cast<double>(uptimeUs) / 1e6;
}
double FakePlatform::wallClock() {
    return wallBase + uptime();
}

void FakePlatform::sleepMicroseconds(std::uint32_t microseconds) {
    sleeps.push_back(microseconds);
    uptimeUs += microseconds;
    checkpoint("sleep");
}

std::int32_t FakePlatform::parentProcessId() {
    return parentPid;
}
void FakePlatform::writeOutput(std::string_view bytes) {
    out += bytes;
}
void FakePlatform::writeError(std::string_view bytes) {
    err += bytes;
}
Desktop FakePlatform::desktop() {
    return desktopKind;
}

std::optional<Point> FakePlatform::pointerLocation() {
    return pointer;
}
bool FakePlatform::accessibilityTrusted() {
    return trusted;
}
bool FakePlatform::canPostEvents() {
    return postAllowed;
}

std::vector<WindowEntry> FakePlatform::visibleWindows() {
    checkpoint("windows");
    return windows;
}

Element FakePlatform::applicationElement(std::int32_t pid) {
    return std::make_shared<FakeElement>(APPLICATION_NODE, pid);
}

void FakePlatform::setMessagingTimeout(const Element&, double) {}

std::optional<ElementList> FakePlatform::applicationWindows(const Element& application) {
    auto it = applicationWindowNodes.find(static_cast<const FakeElement&>(*application).pid);
    if (it == applicationWindowNodes.end() || !it->second) {
        return std::nullopt;
    }
    ElementList list;
    for (int node : *it->second) {
        list.push_back(element(node));
    }
    return list;
}

std::optional<std::uint32_t> FakePlatform::accessibilityWindowId(const Element& window) {
    return nodes.at(static_cast<std::size_t>(nodeOf(window))).windowNumber;
}

bool FakePlatform::performAction(const Element&, std::string_view action) {
    return !failingActions.contains(action);
}

void FakePlatform::setAttributeTrue(const Element& e, std::string_view attribute) {
    attributesSet.emplace_back(nodeOf(e), std::string(attribute));
}

std::optional<std::vector<AxValue>> FakePlatform::copyAttributes(
    const Element& e, const std::vector<std::string_view>& attributes) {
    const FakeNode& node = nodes.at(static_cast<std::size_t>(nodeOf(e)));
    if (node.batchFails) {
        return std::nullopt;
    }
    std::vector<AxValue> values;
    for (std::string_view name : attributes) {
        if (name == "AXChildren" && !node.children.empty()) {
            ElementList children;
            for (int child : node.children) {
                children.push_back(element(child));
            }
            values.emplace_back(std::move(children));
        } else if (auto it = node.attributes.find(name); it != node.attributes.end()) {
            values.push_back(it->second);
        } else {
            values.emplace_back(AxError{});
        }
    }
    return values;
}

std::optional<std::string> FakePlatform::bundleLocation(std::int32_t pid) {
    auto it = bundles.find(pid);
    return it == bundles.end() ? std::nullopt : std::optional(it->second);
}

void FakePlatform::openApplication(const std::string& location,
                                   std::shared_ptr<std::atomic<bool>> done) {
    openedBundles.push_back(location);
    if (onOpenApplication) {
        onOpenApplication(done);
    } else {
        done->store(true);
    }
}

void FakePlatform::runLoopSlice(double seconds) {
    runLoopSlices.push_back(seconds);
    uptimeUs += static_cast<std::int64_t>(seconds * 1e6);
}

bool FakePlatform::routeFunctionAvailable(std::string_view name) {
    return !missingFunctions.contains(name);
}

bool FakePlatform::authenticationRouteAvailable() {
    return authenticationRoute;
}

std::optional<ProcessSerialNumber> FakePlatform::frontProcess() {
    return frontProcessFails ? std::nullopt : std::optional(serialOf(1));
}

std::optional<ProcessSerialNumber> FakePlatform::processForPid(std::int32_t pid) {
    return processForPidFails ? std::nullopt : std::optional(serialOf(pid));
}

void FakePlatform::postEventRecord(const ProcessSerialNumber& process, const FocusRecord& record) {
    focusRecords.emplace_back(process, record);
}

PostOutcome FakePlatform::postToPid(std::int32_t pid, const Event& event) {
    if (uncreatable.contains(event.type)) {
        return PostOutcome::notCreated;
    }
    const bool key = event.type == EventType::keyDown || event.type == EventType::keyUp;
    if (key && authenticationFails && authenticationFails(event)) {
        return PostOutcome::unauthenticated;
    }
    posted.push_back({pid, event, uptime()});
    checkpoint("post");
    return PostOutcome::posted;
}

bool FakePlatform::routeDelivers(const InputKinds& kinds) {
    deliveryQuestions.push_back(kinds);
    return !kinds.overlaps(dropped);
}

FrontState FakePlatform::frontState(std::optional<Point> point) {
    frontQuestions.push_back(point);
    return onFrontState ? onFrontState(point) : FrontState::ok;
}

bool FakePlatform::inPopUpOfTake(Point point) {
    return std::any_of(popUps.begin(), popUps.end(), [&](const FakePopUp& popUp) {
        return popUp.openedDuringTake && contains(popUp.bounds, point);
    });
}

}  // namespace input_relay::testing
