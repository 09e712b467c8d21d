// Number and list parsing of the command grammar: the whole text must be the number.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace input_relay {

std::optional<double> parseDouble(std::string_view text);
std::optional<std::int64_t> parseInt64(std::string_view text);
std::optional<std::int32_t> parseInt32(std::string_view text);
std::optional<std::uint32_t> parseUInt32(std::string_view text);
std::vector<std::string> splitDroppingEmpty(std::string_view text, char separator);

}  // namespace input_relay

namespace input_relay {
// Truncates toward zero, saturating at the limits of 64 bits; not-a-number gives 0.
std::int64_t truncatedInt64(double value);
}  // namespace input_relay
