#include "parse.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>

namespace input_relay {
namespace {

// An optional leading "+" is accepted like a sign; "+-1" is not a number.
std::string_view withoutPlus(std::string_view text) {
    if (text.size() > 1 && text[0] == '+' && text[1] != '-' && text[1] != '+') {
        return text.substr(1);
    }
    return text;
}

template <typename Number>
std::optional<Number> parseWhole(std::string_view text) {
    text = withoutPlus(text);
    Number value{};
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

// Like the platform's own number reading: out-of-range values become infinite, "inf" and "nan"
// are numbers; surrounding spaces are not allowed.
std::optional<double> parseDouble(std::string_view text) {
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) {
        return std::nullopt;
    }
    const std::string copy(text);
    char* end = nullptr;
    const double value = std::strtod(copy.c_str(), &end);
    if (end != copy.c_str() + copy.size()) {
        return std::nullopt;
    }
    return value;
}
std::optional<std::int64_t> parseInt64(std::string_view text) {
    return parseWhole<std::int64_t>(text);
}
std::optional<std::int32_t> parseInt32(std::string_view text) {
    return parseWhole<std::int32_t>(text);
}
std::optional<std::uint32_t> parseUInt32(std::string_view text) {
    if (!text.empty() && text[0] == '-') {
        return std::nullopt;
    }
    return parseWhole<std::uint32_t>(text);
}

std::vector<std::string> splitDroppingEmpty(std::string_view text, char separator) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(separator, start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        if (end > start) {
            pieces.emplace_back(text.substr(start, end - start));
        }
        start = end + 1;
    }
    return pieces;
}

}  // namespace input_relay

namespace input_relay {
std::int64_t truncatedInt64(double value) {
    constexpr double LIMIT = 9223372036854775808.0;  // 2^63
    if (std::isnan(value)) {
        return 0;
    }
    if (value >= LIMIT) {
        return INT64_MAX;
    }
    if (value <= -LIMIT) {
        return INT64_MIN;
    }
    return static_cast<std::int64_t>(value);
}
}  // namespace input_relay
