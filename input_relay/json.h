// A compact JSON writer for report records and the element report.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace input_relay {

struct Json;
using JsonArray = std::vector<Json>;
using JsonObject = std::vector<std::pair<std::string, Json>>;

struct Json {
    template <typename Value>
    Json(Value v) : value(std::move(v)) {}  // NOLINT(google-explicit-constructor): a JSON literal
    Json(const char*) = delete;             // would turn into a boolean
    std::variant<bool, std::int64_t, double, std::string, JsonArray, JsonObject> value;
};

// Compact text (no spaces, no line breaks); none when a number is not finite or a string is not
// well-formed UTF-8, which JSON cannot carry.
std::optional<std::string> serialize(const Json& json);

}  // namespace input_relay
