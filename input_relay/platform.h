// The operating-system operations the relay calls, in the relay's own value types. Each
// platform implements this once; the relay core decides everything and only asks questions and
// requests actions through it.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace input_relay {

struct Point {
    double x = 0;
    double y = 0;
    bool operator==(const Point&) const = default;
};

struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
    bool operator==(const Rect&) const = default;
};

// One row of the on-screen window list; a value the platform could not read is absent.
struct WindowEntry {
    std::optional<std::uint32_t> number;
    std::optional<Rect> bounds;
    std::optional<std::int32_t> ownerPid;
    std::optional<std::int64_t> layer;
};

// An element of an application's accessibility tree; the platform keeps it alive (retained)
// for as long as the handle exists.
class AxElement {
  public:
    virtual ~AxElement() = default;
};
using Element = std::shared_ptr<const AxElement>;

// Accessibility attribute values the relay distinguishes.
struct AxPoint {
    Point point;
};
struct AxSize {
    double width = 0;
    double height = 0;
};
struct AxError {};       // the per-attribute failure marker of a batched read
struct AxOtherValue {};  // an accessibility value of any other type
struct AxNumber {        // a number object: integral or floating, or a boolean
    std::variant<std::int64_t, double, bool> value;
};
using ElementList = std::vector<Element>;
// std::monostate stands for a value of a type the relay does not read (attributed strings,
// mixed lists, ...).
using AxValue = std::variant<std::monostate, std::string, AxNumber, AxPoint, AxSize, AxError,
                             AxOtherValue, ElementList>;

// Event types, numbered as the window server numbers them.
enum class EventType : std::uint32_t {
    leftMouseDown = 1,
    leftMouseUp = 2,
    mouseMoved = 5,
    leftMouseDragged = 6,
    keyDown = 10,
    keyUp = 11,
    scrollWheel = 22,
};

// A synthesised event as the relay builds it. The platform creates the real event from the HID
// state source with these values, applying them in this order: location, click state, flags,
// Unicode string; then the route fields in `routeFields` order and the window location.
struct Event {
    EventType type = EventType::mouseMoved;
    Point location;                          // pointer and scroll events
    std::optional<std::int64_t> clickState;  // set on the event right after creation
    std::uint16_t keyCode = 0;               // key events
    std::uint64_t flags = 0;       // the exact modifier flags; never the ones the user holds
    std::u16string unicode;        // key events typing a string
    std::int32_t scrollDelta = 0;  // vertical wheel delta in pixels, one wheel
    std::vector<std::pair<std::uint32_t, std::int64_t>> routeFields;  // integer fields
    std::optional<Point> windowLocation;  // position relative to the target window
};

enum class PostOutcome {
    posted,
    notCreated,       // the event could not be created; nothing was posted
    unauthenticated,  // a key event for which no authentication could be made; not posted
};

// The desktop whose conventions the relay follows: which chords belong to it rather than to a
// window, what Command means, what a user switches on for accessibility.
// On a Wayland desktop the relay reaches XWayland windows only: native ones are not X clients.
enum class Desktop { macos, freedesktop, freedesktopWayland };

// The kinds of input a take holds.
struct InputKinds {
    bool pointer = false;  // moves, presses, releases, clicks
    bool scroll = false;
    bool keys = false;  // key chords and typed text
    bool operator==(const InputKinds&) const = default;
    bool overlaps(const InputKinds& other) const {
        return (pointer && other.pointer) || (scroll && other.scroll) || (keys && other.keys);
    }
};

// Whether the user and the desktop still leave the selected window to the relay, where its
// input takes the user's own path to the window (the window in front): the pointer and the
// keyboard rest, the window holds the focus and is topmost under the event.
enum class FrontState {
    ok,               // nothing stands in the way, or the route needs none of it
    userPointer,      // the pointer is not where the relay left it, or a button is down
    userKey,          // a key the relay did not press is down
    focusLost,        // the window had the keyboard focus and has lost it
    stackingChanged,  // another window is topmost under the event
    notFocused,       // the window could not be given the keyboard focus
};

using ProcessSerialNumber = std::array<std::uint8_t, 8>;
using FocusRecord = std::array<std::uint8_t, 248>;

class Platform {
  public:
    virtual ~Platform() = default;

    // Clocks, waiting and the process.
    virtual double uptime() = 0;     // seconds, monotonic
    virtual double wallClock() = 0;  // seconds since 1970-01-01 00:00 UTC
    virtual void sleepMicroseconds(std::uint32_t microseconds) = 0;
    virtual std::int32_t parentProcessId() = 0;
    // Unbuffered writes: the bytes have reached the file descriptor when these return.
    virtual void writeOutput(std::string_view bytes) = 0;
    virtual void writeError(std::string_view bytes) = 0;

    virtual Desktop desktop() = 0;

    // Pointer, permissions and windows.
    virtual std::optional<Point> pointerLocation() = 0;
    virtual bool accessibilityTrusted() = 0;
    virtual bool canPostEvents() = 0;
    // Ordinary and other on-screen windows, front to back; empty when the query fails.
    virtual std::vector<WindowEntry> visibleWindows() = 0;

    // Accessibility.
    virtual Element applicationElement(std::int32_t pid) = 0;
    virtual void setMessagingTimeout(const Element& element, double seconds) = 0;
    // The application's "AXWindows"; none on error or when the value is not a list of elements.
    virtual std::optional<ElementList> applicationWindows(const Element& application) = 0;
    virtual std::optional<std::uint32_t> accessibilityWindowId(const Element& window) = 0;
    virtual bool performAction(const Element& element, std::string_view action) = 0;
    // Sets a boolean attribute to true; the outcome is not reported.
    virtual void setAttributeTrue(const Element& element, std::string_view attribute) = 0;
    // One batched read; none when the call fails. Per-attribute failures are AxError entries.
    virtual std::optional<std::vector<AxValue>> copyAttributes(
        const Element& element, const std::vector<std::string_view>& attributes) = 0;

    // Applications and the run loop.
    // The bundle location of the running application with this pid; none without either.
    virtual std::optional<std::string> bundleLocation(std::int32_t pid) = 0;
    // Asks for the application to be opened and activated; `done` is set, possibly from
    // another thread, when the request completes (successfully or not).
    virtual void openApplication(const std::string& bundleLocation,
                                 std::shared_ptr<std::atomic<bool>> done) = 0;
    virtual void runLoopSlice(double seconds) = 0;

    // The scoped event route.
    virtual bool routeFunctionAvailable(std::string_view name) = 0;
    virtual bool authenticationRouteAvailable() = 0;
    virtual std::optional<ProcessSerialNumber> frontProcess() = 0;
    virtual std::optional<ProcessSerialNumber> processForPid(std::int32_t pid) = 0;
    virtual void postEventRecord(const ProcessSerialNumber& process, const FocusRecord& record) = 0;
    // Creates the event, authenticates it for pid when it is a key event, and delivers it to
    // that process only.
    virtual PostOutcome postToPid(std::int32_t pid, const Event& event) = 0;
    // Whether the loaded route delivers every kind of input the take holds to the selected
    // window; asked once, after the route is loaded and before any input.
    virtual bool routeDelivers(const InputKinds& kinds) = 0;
    // Asked before every injected event, with its point for pointer and scroll events and none
    // for keys, and at every slice of a wait (none): what stands between the relay's input and
    // the selected window once it is armed.
    virtual FrontState frontState(std::optional<Point> point) = 0;
    // Whether the point lies inside a pop-up (menu, list) that the selected window's
    // application opened over it since input was armed, and that the route reaches there.
    virtual bool inPopUpOfTake(Point point) = 0;
};

// Made by the platform linked into the program.
std::unique_ptr<Platform> makePlatform();

}  // namespace input_relay
