// Unicode text helpers of the relay: strict UTF-8 decoding, UTF-8 and UTF-16 encoding, and the
// split of text into user-perceived characters (extended grapheme clusters).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace input_relay {

enum class BreakClass : std::uint8_t {
    Other,
    CR,
    LF,
    Control,
    Extend,
    ZWJ,
    Regional_Indicator,
    Prepend,
    SpacingMark,
    L,
    V,
    T,
    LV,
    LVT,
    Extended_Pictographic,
};

struct BreakRange {
    char32_t first;
    char32_t last;
    BreakClass breakClass;
};

namespace grapheme_data {
extern const BreakRange BREAK_RANGES[];
extern const std::size_t BREAK_RANGE_COUNT;
extern const BreakRange PICTOGRAPHIC_RANGES[];
extern const std::size_t PICTOGRAPHIC_RANGE_COUNT;
}  // namespace grapheme_data

// None when the bytes are not well-formed UTF-8 (overlong forms, surrogates and values above
// U+10FFFF included).
std::optional<std::u32string> decodeUtf8(std::string_view bytes);
// Each byte that starts no well-formed sequence becomes U+FFFD.
std::string repairedUtf8(std::string_view bytes);
std::string encodeUtf8(std::u32string_view text);
std::u16string encodeUtf16(std::u32string_view text);

std::vector<std::u32string> graphemeClusters(std::u32string_view text);

}  // namespace input_relay
