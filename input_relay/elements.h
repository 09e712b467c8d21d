// The accessibility element report of the selected window.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "json.h"
#include "platform.h"

namespace input_relay {

struct WindowScope;

inline constexpr std::size_t ELEMENT_LIMIT = 200;
inline constexpr std::int64_t VISIT_LIMIT = 20000;
inline constexpr double WALK_SECONDS = 4.0;
inline constexpr std::int64_t DEPTH_LIMIT = 80;
inline constexpr std::uint32_t WALK_RETRY_US = 250000;
inline constexpr int WALK_ATTEMPTS = 4;
inline constexpr double MESSAGING_TIMEOUT_SECONDS = 1.0;
inline constexpr std::size_t TEXT_LENGTH = 120;

inline constexpr std::array<std::string_view, 11> ELEMENT_ATTRIBUTES = {
    "AXRole",    "AXSubrole", "AXTitle",    "AXDescription", "AXPlaceholderValue", "AXValue",
    "AXEnabled", "AXFocused", "AXPosition", "AXSize",        "AXChildren",
};

struct ElementWalk {
    JsonArray elements;
    std::int64_t visited = 0;
    bool truncated = false;
    double deadline = 0;
};

// Writes the report document of the scope's window; fails only when it cannot be encoded.
void printElements(Platform& platform, const WindowScope& scope);
void walkElements(Platform& platform, const Element& element, std::int64_t depth,
                  std::optional<std::int64_t> parent, const Rect& within, ElementWalk& walk);
std::array<AxValue, ELEMENT_ATTRIBUTES.size()> elementAttributes(Platform& platform,
                                                                 const Element& element);
std::optional<std::string> elementText(const AxValue& value);
std::string roleName(const std::string& role, const std::optional<std::string>& subrole);
JsonObject rectJSON(const Rect& rect);
// None unless both are readable point and size values with finite numbers.
std::optional<Rect> axRect(const AxValue& position, const AxValue& size);

}  // namespace input_relay
