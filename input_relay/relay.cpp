#include "relay.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "elements.h"
#include "failure.h"
#include "grapheme.h"
#include "parse.h"

namespace input_relay {
namespace {

constexpr std::string_view ELEMENTS_MODE = "elements";
constexpr std::string_view WINDOW_PREFIX = "window:";
constexpr std::string_view STEP_PREFIX = "d:";
constexpr std::string_view CHARACTER_PREFIX = "k:";
constexpr std::string_view CLICK = "click";
constexpr std::string_view CLICK_PREFIX = "click:";
constexpr std::string_view PRESS = "down";
constexpr std::string_view RELEASE = "up";
constexpr std::string_view WAIT_PREFIX = "wait:";
constexpr std::string_view SCROLL_PREFIX = "scroll:";
constexpr std::string_view TYPE_PREFIX = "type:";
constexpr std::string_view KEY_PREFIX = "key:";

constexpr std::uint32_t CLICK_HOLD_US = 20000;
constexpr std::uint32_t CLICK_GAP_US = 40000;
constexpr std::uint32_t ARM_SETTLE_US = 50000;
constexpr std::uint32_t RAISE_SETTLE_US = 120000;
constexpr std::uint32_t PRIME_SETTLE_US = 50000;
constexpr std::uint32_t PRIME_MOVE_US = 15000;
constexpr std::uint32_t PRIME_DOWN_US = 1000;
constexpr std::uint32_t PRIME_UP_US = 100000;
constexpr std::uint32_t KEY_EVENT_US = 6000;
constexpr std::uint32_t UNICODE_DOWN_US = 12000;
constexpr double ACTIVATION_SECONDS = 3.0;
constexpr double ACTIVATION_SLICE_SECONDS = 0.02;
constexpr double ACTIVATION_SETTLE_SECONDS = 0.25;
constexpr int COVER_GRID = 16;

constexpr std::uint16_t UNICODE_KEY_CODE = 0;
constexpr Point OFF_WINDOW = {-1, -1};

constexpr std::uint32_t FIELD_PHASE = 0;
constexpr std::uint32_t FIELD_CLICK_STATE = 1;
constexpr std::uint32_t FIELD_BUTTON = 3;
constexpr std::uint32_t FIELD_SUBTYPE = 7;
constexpr std::uint32_t FIELD_TARGET_PID = 40;
constexpr std::uint32_t FIELD_WINDOW = 51;
constexpr std::uint32_t FIELD_GESTURE = 58;
constexpr std::uint32_t FIELD_WINDOW_UNDER_POINTER = 91;
constexpr std::uint32_t FIELD_WINDOW_THAT_CAN_HANDLE = 92;
constexpr std::int64_t SUBTYPE_VALUE = 3;
constexpr std::int64_t PHASE_MOVE = 2;
constexpr std::int64_t PHASE_PRESS = 3;
constexpr std::int64_t PHASE_PRIME_DOWN = 1;
constexpr std::int64_t PHASE_PRIME_UP = 2;

constexpr std::size_t FOCUS_LENGTH_BYTE = 4;
constexpr std::size_t FOCUS_KIND_BYTE = 8;
constexpr std::size_t FOCUS_WINDOW_BYTE = 60;
constexpr std::size_t FOCUS_TARGET_BYTE = 138;
constexpr std::uint8_t FOCUS_KIND = 0x0D;
constexpr std::uint8_t FOCUS_FRONT = 2;
constexpr std::uint8_t FOCUS_TARGET = 1;

Event pointerEvent(EventType type, Point location) {
    Event event;
    event.type = type;
    event.location = location;
    return event;
}

Event keyEvent(bool down, std::uint16_t code) {
    Event event;
    event.type = down ? EventType::keyDown : EventType::keyUp;
    event.keyCode = code;
    return event;
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// "X,Y": a move, or a drag while the button is held.
std::optional<Point> parseMove(std::string_view text) {
    auto pieces = splitDroppingEmpty(text, ',');
    if (pieces.size() != 2) {
        return std::nullopt;
    }
    auto x = parseDouble(pieces[0]);
    auto y = parseDouble(pieces[1]);
    if (!x || !y) {
        return std::nullopt;
    }
    return Point{*x, *y};
}

// What the commands will inject; commands that are skipped inject nothing.
InputKinds inputKindsOf(const std::vector<std::string>& commands) {
    InputKinds kinds;
    for (std::string_view text : commands) {
        if (startsWith(text, WINDOW_PREFIX) || startsWith(text, STEP_PREFIX) ||
            startsWith(text, CHARACTER_PREFIX) || startsWith(text, WAIT_PREFIX)) {
            continue;
        }
        if (text == CLICK || startsWith(text, CLICK_PREFIX) || text == PRESS || text == RELEASE ||
            parseMove(text)) {
            kinds.pointer = true;
        } else if (startsWith(text, SCROLL_PREFIX)) {
            kinds.scroll = kinds.scroll || parseInt32(text.substr(SCROLL_PREFIX.size()));
        } else if (startsWith(text, KEY_PREFIX)) {
            kinds.keys = true;
        } else if (startsWith(text, TYPE_PREFIX)) {
            kinds.keys = kinds.keys || !decodeType(text.substr(TYPE_PREFIX.size())).empty();
        }
    }
    return kinds;
}

const WindowEntry* entryNumbered(const std::vector<WindowEntry>& entries, std::uint32_t number) {
    auto it = std::find_if(entries.begin(), entries.end(),
                           [&](const WindowEntry& e) { return e.number == number; });
    return it == entries.end() ? nullptr : &*it;
}

JsonObject pointRecord(std::string_view kind, Point point) {
    return {{"kind", {std::string(kind)}}, {"x", {point.x}}, {"y", {point.y}}};
}

// The line a take ends with for each thing that stands between its input and the window.
constexpr std::pair<FrontState, std::string_view> FRONT_FAILURES[] = {
    {FrontState::userPointer, messages::USER_POINTER},
    {FrontState::userKey, messages::USER_KEY},
    {FrontState::focusLost, messages::FOCUS_CHANGED},
    {FrontState::stackingChanged, messages::STACKING_CHANGED},
    {FrontState::notFocused, messages::FRONT_NOT_FOCUSED},
};

FocusRecord focusRecord(std::uint32_t window, std::uint8_t target) {
    FocusRecord record{};
    record[FOCUS_LENGTH_BYTE] = static_cast<std::uint8_t>(record.size());
    record[FOCUS_KIND_BYTE] = FOCUS_KIND;
    for (std::size_t i = 0; i < 4; ++i) {
        record[FOCUS_WINDOW_BYTE + i] = static_cast<std::uint8_t>(window >> (8 * i));
    }
    record[FOCUS_TARGET_BYTE] = target;
    return record;
}

}  // namespace

bool contains(const Rect& rect, const Point& point) {
    const double minX = std::min(rect.x, rect.x + rect.width);
    const double minY = std::min(rect.y, rect.y + rect.height);
    return point.x >= minX && point.x < minX + std::abs(rect.width) && point.y >= minY &&
           point.y < minY + std::abs(rect.height);
}

std::uint32_t microseconds(double milliseconds) {
    const double us = milliseconds * 1000.0;
    if (!(us > 0)) {
        return 0;
    }
    if (us >= 4294967296.0) {
        return UINT32_MAX;
    }
    return static_cast<std::uint32_t>(us);
}

// ---- scoped event route ----

const std::array<std::string_view, 8> SkyLight::FUNCTIONS = {
    "SLEventPostToPid",         "SLEventSetAuthenticationMessage",
    "CGEventSetWindowLocation", "SLEventSetIntegerValueField",
    "SLPSPostEventRecordTo",    "_SLPSGetFrontProcess",
    "GetProcessForPID",         "objc_msgSend",
};

SkyLight SkyLight::load(Platform& platform) {
    for (std::string_view name : FUNCTIONS) {
        if (!platform.routeFunctionAvailable(name)) {
            fail(messages::missingRouteFunction(name));
        }
    }
    if (!platform.authenticationRouteAvailable()) {
        fail(std::string(messages::NO_KEYBOARD_ROUTE));
    }
    return SkyLight(platform);
}

void SkyLight::activate(const WindowScope& scope) const {
    auto front = platform_->frontProcess();
    auto target = front ? platform_->processForPid(scope.pid) : std::nullopt;
    if (!front || !target) {
        fail(std::string(messages::NO_PROCESS));
    }
    platform_->postEventRecord(*front, focusRecord(scope.id, FOCUS_FRONT));
    platform_->postEventRecord(*target, focusRecord(scope.id, FOCUS_TARGET));
}

PostOutcome SkyLight::deliver(const Event& event, std::int32_t pid) const {
    return platform_->postToPid(pid, event);
}

void SkyLight::post(const Event& event, std::int32_t pid) const {
    if (deliver(event, pid) == PostOutcome::unauthenticated) {
        fail(std::string(messages::NOT_AUTHENTICATED));
    }
}

void SkyLight::stamp(Event& event, const WindowScope& scope, std::int64_t phase,
                     std::int64_t clickState, std::int64_t gesture) {
    event.routeFields = {
        {FIELD_PHASE, phase},
        {FIELD_CLICK_STATE, clickState},
        {FIELD_BUTTON, 0},
        {FIELD_SUBTYPE, SUBTYPE_VALUE},
        {FIELD_TARGET_PID, scope.pid},
        {FIELD_WINDOW, scope.id},
        {FIELD_GESTURE, gesture},
        {FIELD_WINDOW_UNDER_POINTER, scope.id},
        {FIELD_WINDOW_THAT_CAN_HANDLE, scope.id},
    };
    event.windowLocation =
        Point{event.location.x - scope.bounds.x, event.location.y - scope.bounds.y};
}

// ---- runner ----

Relay::Relay(Platform& platform, std::vector<std::string> args,
             const volatile std::sig_atomic_t& cancelled)
    : platform_(platform), cancelled_(cancelled), conventions_(conventionsOf(platform.desktop())) {
    readOnly_ = !args.empty() && args.front() == ELEMENTS_MODE;
    commands_ = std::move(args);
    if (readOnly_) {
        commands_.erase(commands_.begin());
    }
}

int Relay::run() {
    try {
        start();
        if (readOnly_) {
            printElements(platform_, *scope_);
            return 0;
        }
        arm();
        runCommands();
        releaseInput();
        return 0;
    } catch (const RelayFailure& failure) {
        releaseInput();
        // The line quotes command text, which need not be UTF-8.
        platform_.writeError(repairedUtf8(failure.message) + "\n");
        return 2;
    }
}

void Relay::start() {
    parentProcess_ = platform_.parentProcessId();
    auto pointer = platform_.pointerLocation();
    if (!pointer) {
        fail(std::string(messages::NO_POINTER));
    }
    last_ = *pointer;
    scope_ = resolveScope();
    if (!scope_) {
        fail(std::string(messages::NO_WINDOW));
    }
    for (const std::string& command : commands_) {
        if (startsWith(command, STEP_PREFIX)) {
            stepMs_ = parseDouble(command.substr(STEP_PREFIX.size())).value_or(stepMs_);
        } else if (startsWith(command, CHARACTER_PREFIX)) {
            charMs_ = parseDouble(command.substr(CHARACTER_PREFIX.size())).value_or(charMs_);
        }
    }
    stepUs_ = microseconds(stepMs_);
    charUs_ = microseconds(charMs_);
    for (const std::string& command : commands_) {
        if (startsWith(command, KEY_PREFIX)) {
            resolveSpec(std::string_view(command).substr(KEY_PREFIX.size()), conventions_);
        } else if (startsWith(command, TYPE_PREFIX)) {
            decodeType(std::string_view(command).substr(TYPE_PREFIX.size()));
        }
    }
    raise(*scope_);
}

void Relay::arm() {
    targetPid_ = scope_->pid;
    checkScope(std::nullopt);
    SkyLight sky = SkyLight::load(platform_);
    // Records for events nobody receives would report a take that did not happen.
    if (!platform_.routeDelivers(inputKindsOf(commands_))) {
        fail(std::string(messages::SENT_EVENTS_DROPPED));
    }
    sky.activate(*scope_);
    pacedSleep(ARM_SETTLE_US);
    sky_ = sky;
}

void Relay::runCommands() {
    for (const std::string& command : commands_) {
        runCommand(command);
    }
}

void Relay::runCommand(const std::string& command) {
    const double t0 = platform_.uptime();
    checkCancellation();
    const std::string_view text = command;
    if (startsWith(text, WINDOW_PREFIX) || startsWith(text, STEP_PREFIX) ||
        startsWith(text, CHARACTER_PREFIX)) {
        return;
    }
    if (text == CLICK || startsWith(text, CLICK_PREFIX)) {
        std::int64_t count = 1;
        if (text != CLICK) {
            count =
                std::max<std::int64_t>(1, parseInt64(text.substr(CLICK_PREFIX.size())).value_or(1));
        }
        // Counted without passing the count, which may be the largest there is.
        for (std::int64_t i = 1;; ++i) {
            postMouse(EventType::leftMouseDown, last_, i);
            pacedSleep(CLICK_HOLD_US);
            postMouse(EventType::leftMouseUp, last_, i);
            if (i == count) {
                break;
            }
            pacedSleep(CLICK_GAP_US);
        }
    } else if (text == PRESS || text == RELEASE) {
        postMouse(text == PRESS ? EventType::leftMouseDown : EventType::leftMouseUp, last_);
        pacedSleep(stepUs_, t0);
    } else if (startsWith(text, WAIT_PREFIX)) {
        if (auto ms = parseDouble(text.substr(WAIT_PREFIX.size()))) {
            pacedSleep(microseconds(*ms));
        }
    } else if (startsWith(text, SCROLL_PREFIX)) {
        if (auto amount = parseInt32(text.substr(SCROLL_PREFIX.size()))) {
            postScroll(*amount);
            if (stepUs_ != 0) {
                pacedSleep(stepUs_, t0);
            }
        }
    } else if (startsWith(text, TYPE_PREFIX)) {
        for (const std::u32string& character :
             graphemeClusters(decodeType(text.substr(TYPE_PREFIX.size())))) {
            const double tc = platform_.uptime();
            typeChar(character);
            pacedSleep(charUs_, tc);
        }
    } else if (startsWith(text, KEY_PREFIX)) {
        postKey(resolveSpec(text.substr(KEY_PREFIX.size()), conventions_));
    } else if (auto point = parseMove(text)) {
        last_ = *point;
        postMouse(held_ ? EventType::leftMouseDragged : EventType::mouseMoved, last_);
        if (stepUs_ != 0) {
            pacedSleep(stepUs_, t0);
        }
    }
}

void Relay::pacedSleep(std::uint32_t us, std::optional<double> since) {
    const double end = since.value_or(platform_.uptime()) + us / 1e6;
    for (;;) {
        checkCancellation();
        checkFront(std::nullopt);
        const double remaining = end - platform_.uptime();
        if (remaining <= 0) {
            return;
        }
        // Rounded up so that a sub-microsecond remainder still waits instead of spinning.
        platform_.sleepMicroseconds(static_cast<std::uint32_t>(
            std::min(std::ceil(remaining * 1e6), static_cast<double>(PACING_SLICE_US))));
    }
}

void Relay::checkCancellation() {
    if (cancelled_ != 0 || platform_.parentProcessId() != parentProcess_) {
        fail(std::string(messages::CANCELLED));
    }
}

void Relay::report(JsonObject record) {
    if (!targetPid_) {
        return;
    }
    record.emplace_back("at", Json{truncatedInt64(platform_.wallClock() * 1000)});
    if (auto text = serialize({std::move(record)})) {
        platform_.writeOutput(*text);
        platform_.writeOutput("\n");
    }
}

// ---- window scope ----

std::optional<WindowScope> Relay::resolveScope() {
    if (commands_.empty() || !startsWith(commands_.front(), WINDOW_PREFIX)) {
        return std::nullopt;
    }
    if (!platform_.accessibilityTrusted() || !platform_.canPostEvents()) {
        fail(std::string(conventions_.noPermission));
    }
    auto pieces = splitDroppingEmpty(commands_.front(), ':');
    auto number = pieces.size() == 2 ? parseUInt32(pieces[1]) : std::nullopt;
    if (!number) {
        fail(std::string(messages::WINDOW_UNAVAILABLE));
    }
    const auto entries = platform_.visibleWindows();
    const WindowEntry* entry = entryNumbered(entries, *number);
    if (!entry) {
        fail(std::string(conventions_.windowNotFound));
    }
    if (!entry->bounds || !entry->ownerPid) {
        fail(std::string(messages::WINDOW_UNAVAILABLE));
    }
    Element application = platform_.applicationElement(*entry->ownerPid);
    platform_.setMessagingTimeout(application, MESSAGING_TIMEOUT_SECONDS);
    auto windows = platform_.applicationWindows(application);
    if (!windows) {
        fail(std::string(messages::NO_ACCESSIBILITY_WINDOWS));
    }
    for (const Element& window : *windows) {
        if (platform_.accessibilityWindowId(window) == number) {
            return WindowScope{*number, *entry->bounds, *entry->ownerPid, window};
        }
    }
    fail(messages::noAccessibilityWindow(*number));
}

void Relay::checkScope(std::optional<Point> point) {
    checkCancellation();
    if (!scope_) {
        return;
    }
    if (!platform_.accessibilityTrusted() || !platform_.canPostEvents()) {
        fail(std::string(messages::PERMISSION_LOST));
    }
    const auto entries = platform_.visibleWindows();
    const WindowEntry* entry = entryNumbered(entries, scope_->id);
    if (!entry || entry->bounds != scope_->bounds || entry->ownerPid != scope_->pid) {
        fail(std::string(messages::WINDOW_CHANGED));
    }
    // A menu the window opened during the take may reach past the window's frame.
    if (point && !contains(scope_->bounds, *point) && !platform_.inPopUpOfTake(*point)) {
        fail(std::string(messages::LEFT_WINDOW));
    }
    checkFront(point);
    checkCancellation();
}

// Once input is armed, the user's own devices and the desktop must leave the window to it.
void Relay::checkFront(std::optional<Point> point) {
    if (!targetPid_) {
        return;
    }
    const FrontState state = platform_.frontState(point);
    for (const auto& [failing, line] : FRONT_FAILURES) {
        if (state == failing) {
            fail(std::string(line));
        }
    }
}

bool Relay::covered(const WindowScope& scope) {
    std::vector<Rect> occluders;
    for (const WindowEntry& entry : platform_.visibleWindows()) {
        if (entry.layer != 0) {
            continue;
        }
        if (entry.number == scope.id) {
            break;
        }
        if (entry.bounds) {
            occluders.push_back(*entry.bounds);
        }
    }
    if (occluders.empty()) {
        return false;
    }
    const Rect& b = scope.bounds;
    const double minX = std::min(b.x, b.x + b.width);
    const double minY = std::min(b.y, b.y + b.height);
    constexpr double CELL = 1.0 / COVER_GRID;
    for (int j = 0; j < COVER_GRID; ++j) {
        for (int k = 0; k < COVER_GRID; ++k) {
            const Point sample{minX + (j + 0.5) * std::abs(b.width) * CELL,
                               minY + (k + 0.5) * std::abs(b.height) * CELL};
            if (std::none_of(occluders.begin(), occluders.end(),
                             [&](const Rect& r) { return contains(r, sample); })) {
                return false;
            }
        }
    }
    return true;
}

void Relay::raise(const WindowScope& scope) {
    if (!platform_.performAction(scope.accessibilityWindow, "AXRaise")) {
        fail(std::string(messages::NOT_RAISED));
    }
    pacedSleep(RAISE_SETTLE_US);
    if (!covered(scope)) {
        return;
    }
    auto bundle = platform_.bundleLocation(scope.pid);
    if (!bundle) {
        fail(std::string(messages::NO_BUNDLE));
    }
    auto done = std::make_shared<std::atomic<bool>>(false);
    platform_.openApplication(*bundle, done);
    // Timed on the monotonic clock so that a wall-clock adjustment cannot stretch the wait.
    const double requested = platform_.uptime();
    while (!done->load() && platform_.uptime() - requested < ACTIVATION_SECONDS) {
        platform_.runLoopSlice(ACTIVATION_SLICE_SECONDS);
    }
    platform_.runLoopSlice(ACTIVATION_SETTLE_SECONDS);
    if (covered(scope)) {
        fail(std::string(messages::STAYS_HIDDEN));
    }
}

// ---- synthesis ----

void Relay::stamp(Event& event, std::int64_t phase, std::int64_t clickState) const {
    SkyLight::stamp(event, *scope_, phase, clickState, gesture_);
}

void Relay::post(const Event& event) {
    if (sky_) {
        sky_->post(event, *targetPid_);
    }
}

void Relay::prime(Point point) {
    sky_->activate(*scope_);
    pacedSleep(PRIME_SETTLE_US);
    gesture_ = truncatedInt64(platform_.wallClock() * 1e6) & 0x7FFFFFFF;
    Event move = pointerEvent(EventType::mouseMoved, point);
    stamp(move, PHASE_MOVE, 0);
    post(move);
    pacedSleep(PRIME_MOVE_US);
    // An off-window press and release open the gesture; a step whose event cannot be created
    // is left out, like any event that cannot be created.
    const std::pair<EventType, std::int64_t> steps[] = {
        {EventType::leftMouseDown, PHASE_PRIME_DOWN}, {EventType::leftMouseUp, PHASE_PRIME_UP}};
    for (auto [type, phase] : steps) {
        Event press = pointerEvent(type, OFF_WINDOW);
        stamp(press, phase, 1);
        post(press);
        // Until its release is posted, the off-window press is held like any other.
        primePressed_ = type == EventType::leftMouseDown;
        pacedSleep(primePressed_ ? PRIME_DOWN_US : PRIME_UP_US);
    }
}

void Relay::postMouse(EventType type, Point point, std::int64_t clickState) {
    checkScope(point);
    if (type == EventType::leftMouseDown && clickState == 1) {
        prime(point);
    }
    Event event = pointerEvent(type, point);
    event.clickState = clickState;
    if (type == EventType::mouseMoved) {
        stamp(event, PHASE_MOVE, 0);
    } else {
        stamp(event, PHASE_PRESS, clickState);
    }
    post(event);
    std::string_view kind = "move";
    if (type == EventType::leftMouseDown) {
        held_ = true;
        kind = "down";
    } else if (type == EventType::leftMouseUp) {
        held_ = false;
        kind = "up";
    }
    report(pointRecord(kind, point));
}

void Relay::postScroll(std::int32_t amount) {
    checkScope(last_);
    // The wheel takes the negated amount; the one amount without a 32-bit negation scrolls by
    // the largest delta there is.
    const std::int32_t delta = amount == INT32_MIN ? INT32_MAX : -amount;
    Event event = pointerEvent(EventType::scrollWheel, last_);
    event.scrollDelta = delta;
    stamp(event, PHASE_MOVE, 0);
    post(event);
    JsonObject record = pointRecord("scroll", last_);
    record.emplace_back("dy", Json{std::int64_t{amount}});
    report(std::move(record));
}

void Relay::postKeyEvent(const Key& key, bool down, Flags flags) {
    checkScope(std::nullopt);
    if (down) {
        pressedKeys_.insert(key.code);
    } else {
        pressedKeys_.erase(key.code);
    }
    Event event = keyEvent(down, key.code);
    event.flags = flags;
    post(event);
    if (down) {
        JsonArray modifiers;
        for (std::string& name : reportedModifiers(flags)) {
            modifiers.push_back({std::move(name)});
        }
        report({{"kind", {std::string("key")}},
                {"key", {std::string(key.web)}},
                {"modifiers", {std::move(modifiers)}},
                {"x", {last_.x}},
                {"y", {last_.y}}});
    }
    pacedSleep(KEY_EVENT_US);
}

void Relay::postKey(const KeyChord& chord) {
    std::vector<Key> modifiers;
    for (const auto& [flag, key] : MOD_KEYS) {
        if ((chord.flags & flag) != 0) {
            postKeyEvent(key, true, flag);
            modifiers.push_back(key);
        }
    }
    postKeyEvent(chord.key, true, chord.flags);
    postKeyEvent(chord.key, false, chord.flags);
    for (auto it = modifiers.rbegin(); it != modifiers.rend(); ++it) {
        postKeyEvent(*it, false, 0);
    }
}

void Relay::typeChar(std::u32string_view character) {
    if (auto chord = resolveCharacter(character)) {
        postKey(*chord);
    } else {
        postUnicode(character);
    }
}

void Relay::postUnicode(std::u32string_view character) {
    const std::u16string units = encodeUtf16(character);
    for (bool down : {true, false}) {
        checkScope(std::nullopt);
        if (down) {
            pressedKeys_.insert(UNICODE_KEY_CODE);
        } else {
            pressedKeys_.erase(UNICODE_KEY_CODE);
        }
        Event event = keyEvent(down, UNICODE_KEY_CODE);
        event.unicode = units;
        post(event);
        if (down) {
            pacedSleep(UNICODE_DOWN_US);
        }
    }
}

void Relay::releaseInput() {
    // What is held is taken before anything is posted, and a key-up that cannot be
    // authenticated is passed over rather than failed, so releasing never starts a second
    // release; the failure that led here keeps its own line.
    if (std::exchange(primePressed_, false) && sky_) {
        Event release = pointerEvent(EventType::leftMouseUp, OFF_WINDOW);
        stamp(release, PHASE_PRIME_UP, 1);
        sky_->deliver(release, *targetPid_);
    }
    if (std::exchange(held_, false)) {
        if (sky_) {
            sky_->deliver(pointerEvent(EventType::leftMouseUp, last_), *targetPid_);
        }
        report(pointRecord("up", last_));
    }
    for (std::uint16_t code : std::exchange(pressedKeys_, {})) {
        if (sky_) {
            sky_->deliver(keyEvent(false, code), *targetPid_);
        }
    }
}

}  // namespace input_relay
