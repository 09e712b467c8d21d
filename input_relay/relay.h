// The relay: command script, pacing and cancellation, report stream, window scope, scoped
// event route and input synthesis, over one Platform.
#pragma once

#include <csignal>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "json.h"
#include "keys.h"
#include "platform.h"

namespace input_relay {

struct WindowScope {
    std::uint32_t id = 0;
    Rect bounds;
    std::int32_t pid = 0;
    Element accessibilityWindow;
};

// CGRectContainsPoint: the minimum edges belong to the rectangle, the maximum edges do not.
bool contains(const Rect& rect, const Point& point);

// Step and per-character pacing in whole microseconds: negative and not-a-number give 0;
// values beyond 32 bits (about 71.6 minutes), infinity included, are held at the largest.
std::uint32_t microseconds(double milliseconds);

inline constexpr std::uint32_t PACING_SLICE_US = 10000;

// The loaded scoped event route.
class SkyLight {
  public:
    // The route functions, looked up in this order.
    static const std::array<std::string_view, 8> FUNCTIONS;

    static SkyLight load(Platform& platform);
    void activate(const WindowScope& scope) const;
    // Delivers without failing; the caller decides what an unauthenticated key means.
    PostOutcome deliver(const Event& event, std::int32_t pid) const;
    void post(const Event& event, std::int32_t pid) const;
    static void stamp(Event& event, const WindowScope& scope, std::int64_t phase,
                      std::int64_t clickState, std::int64_t gesture);

  private:
    explicit SkyLight(Platform& platform) : platform_(&platform) {}
    Platform* platform_;
};

class Relay {
  public:
    Relay(Platform& platform, std::vector<std::string> args,
          const volatile std::sig_atomic_t& cancelled);
    // Runs the whole program; returns the exit status (0 or 2).
    int run();

  private:
    void start();
    void arm();
    void runCommands();
    void runCommand(const std::string& command);

    void pacedSleep(std::uint32_t us, std::optional<double> since = std::nullopt);
    void checkCancellation();
    void report(JsonObject record);

    std::optional<WindowScope> resolveScope();
    void checkScope(std::optional<Point> point);
    void checkFront(std::optional<Point> point);
    bool covered(const WindowScope& scope);
    void raise(const WindowScope& scope);

    void prime(Point point);
    void post(const Event& event);
    void stamp(Event& event, std::int64_t phase, std::int64_t clickState) const;
    void postMouse(EventType type, Point point, std::int64_t clickState = 1);
    void postScroll(std::int32_t amount);
    void postKeyEvent(const Key& key, bool down, Flags flags);
    void postKey(const KeyChord& chord);
    void typeChar(std::u32string_view character);
    void postUnicode(std::u32string_view character);
    void releaseInput();

    Platform& platform_;
    const volatile std::sig_atomic_t& cancelled_;
    const Conventions& conventions_;
    bool readOnly_ = false;
    std::vector<std::string> commands_;
    std::int32_t parentProcess_ = 0;
    Point last_;
    bool held_ = false;
    bool primePressed_ = false;
    std::set<std::uint16_t> pressedKeys_;
    std::optional<std::int32_t> targetPid_;
    std::optional<SkyLight> sky_;
    std::int64_t gesture_ = 0;
    std::optional<WindowScope> scope_;
    double stepMs_ = 8.0;
    double charMs_ = 90.0;
    std::uint32_t stepUs_ = 0;
    std::uint32_t charUs_ = 0;
};

}  // namespace input_relay
