// A small AT-SPI client in the terms the desktop-info and relay backends share: whether the
// session's accessibility bus is on, the accessible element at a screen point, and its role
// and state translated to the AX role names those backends speak.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

struct _AtspiAccessible;

namespace platform_linux {

// kCannotComplete: the application behind the element did not answer (or went away) in time.
enum class AtspiStatus { kSuccess, kCannotComplete, kFailed };

// An owned reference to an accessible object; empty when nothing was found.
class AtspiElement {
  public:
    AtspiElement() = default;
    explicit AtspiElement(_AtspiAccessible* accessible) : accessible_(accessible) {}
    AtspiElement(AtspiElement&& other) noexcept;
    AtspiElement& operator=(AtspiElement&& other) noexcept;
    AtspiElement(const AtspiElement&) = delete;
    AtspiElement& operator=(const AtspiElement&) = delete;
    ~AtspiElement();

    _AtspiAccessible* get() const { return accessible_; }
    explicit operator bool() const { return accessible_ != nullptr; }

  private:
    _AtspiAccessible* accessible_ = nullptr;
};

template <typename T>
struct AtspiAnswer {
    AtspiStatus status = AtspiStatus::kFailed;
    std::optional<T> value;
};

// The macOS accessibility role (and subrole, possibly empty) an AT-SPI role stands for. Text
// is a field when it holds a single line (GTK's entries are single-line text) and an area
// otherwise.
struct AxRole {
    std::string_view role;
    std::string_view subrole;
};
AxRole axRoleForAtspiRole(int atspiRole, bool singleLine = false);

class AtspiClient {
  public:
    // Whether the session's accessibility bus is enabled (org.a11y.Status IsEnabled). False
    // without a session bus; never starts one.
    static bool accessibilityEnabled();
    // Turns the accessibility bus on and reports whether it is on now.
    static bool enableAccessibility();
    // How long any one AT-SPI call may wait for an application.
    static void setTimeout(std::chrono::milliseconds timeout);

    // The deepest accessible at (x, y) in screen coordinates, searched in the showing
    // windows of the application of `pid` (of every application when none is given).
    AtspiAnswer<AtspiElement> elementAtPoint(int x, int y, std::optional<pid_t> pid);
    AtspiAnswer<AxRole> role(const AtspiElement& element);
    AtspiAnswer<bool> focused(const AtspiElement& element);

  private:
    bool connect();
    bool connected_ = false;
};

}  // namespace platform_linux
